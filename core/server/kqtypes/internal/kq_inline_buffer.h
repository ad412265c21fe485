// A growable array that starts inside the object: the readers build names,
// tokens and texts of outside data in it, so short ones cost no heap call,
// and long ones grow on the heap with the input, never by a length the
// input claims.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kq_eexception.h"
#include "kq_memalloc.h"

namespace kq {

template <class T, std::uint32_t kInline>
class InlineBuffer {
  static_assert(std::is_trivially_copyable_v<T>, "elements are moved as bytes");

 public:
  // At most limit elements; growing beyond raises KQ_EOutOfMemory.
  explicit InlineBuffer(std::uint32_t limit = 0x7FFFFFFFu / sizeof(T)) : fLimit(limit) {}
  InlineBuffer(InlineBuffer const&) = delete;
  InlineBuffer& operator=(InlineBuffer const&) = delete;
  ~InlineBuffer() {
    if (fData != fInline) KQ_Free(fData);
  }

  void Append(T element) {
    if (fLength == fCapacity) Grow(std::uint64_t{fLength} + 1);
    fData[fLength++] = element;
  }
  // Room for size elements, keeping those held; the length is unchanged.
  T* Reserve(std::uint32_t size) {
    if (size > fCapacity) Grow(size);
    return fData;
  }
  // The elements followed by a zero element, which is not counted.
  T const* Terminated() {
    Reserve(fLength + 1)[fLength] = T();
    return fData;
  }
  T* Data() { return fData; }
  T const* Data() const { return fData; }
  std::uint32_t Length() const { return fLength; }
  void SetLength(std::uint32_t length) { fLength = length; }

 private:
  void Grow(std::uint64_t needed) {
    if (needed > fLimit) KQ_THROW(KQ_EOutOfMemory());
    std::uint64_t capacity = std::uint64_t{fCapacity} * 2;
    if (capacity < needed) capacity = needed;
    if (capacity > fLimit) capacity = fLimit;
    auto const bytes = static_cast<std::uint32_t>(capacity * sizeof(T));
    if (fData == fInline) {
      auto* const data = static_cast<T*>(KQ_Alloc(bytes));
      std::memcpy(data, fInline, fLength * sizeof(T));
      fData = data;
    } else {
      fData = static_cast<T*>(KQ_Realloc(fData, bytes));
    }
    fCapacity = static_cast<std::uint32_t>(capacity);
  }

  T fInline[kInline];
  T* fData = fInline;
  std::uint32_t fLength = 0;
  std::uint32_t fCapacity = kInline;
  std::uint32_t fLimit;
};

}  // namespace kq
