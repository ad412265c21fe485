#include "kq_tmemorystream.h"

#include <cstdint>
#include <cstring>

#include "kq_eexception.h"
#include "kq_memalloc.h"

KQ_CLASS_IMPL(KQ_TMemoryStream)

namespace {

constexpr std::uint32_t kMarkCount = 256;
constexpr std::uint32_t kMarksBytes = kMarkCount * std::uint32_t{sizeof(std::uint32_t)};
constexpr std::uint64_t kLargestCapacity = UINT32_MAX;

}  // namespace

KQ_TMemoryStream::KQ_TMemoryStream()
    : fOwnsBuffer(true),
      fCopyIfNeeded(false),
      fPosition(0),
      fSize(0),
      fCapacity(0),
      fData(nullptr),
      fMarks(nullptr),
      fExpander(nullptr) {}

KQ_TMemoryStream::KQ_TMemoryStream(void* buffer, std::uint32_t capacity, std::uint32_t size,
                                   Expander_t expander)
    : KQ_TMemoryStream() {
  SetBuffer(buffer, capacity, size, expander);
}

KQ_TMemoryStream::KQ_TMemoryStream(KQ_TMemoryStream const& other) : KQ_TMemoryStream() {
  CopyFrom(other);
}

KQ_TMemoryStream::KQ_TMemoryStream(KQ_TMemoryStream& other) : KQ_TMemoryStream() { *this = other; }

KQ_TMemoryStream::~KQ_TMemoryStream() { Release(); }

KQ_TMemoryStream& KQ_TMemoryStream::operator=(KQ_TMemoryStream const& other) {
  if (this != &other) CopyFrom(other);
  return *this;
}

KQ_TMemoryStream& KQ_TMemoryStream::operator=(KQ_TMemoryStream& other) {
  if (this == &other) return *this;
  if (other.fOwnsBuffer) {
    CopyFrom(other);
    return *this;
  }
  std::uint32_t* marks = nullptr;
  if (other.fMarks != nullptr) {
    marks = static_cast<std::uint32_t*>(KQ_MakeCopy(other.fMarks, kMarksBytes));
  }
  Release();
  fOwnsBuffer = false;
  fCopyIfNeeded = other.fCopyIfNeeded;
  fPosition = other.fPosition;
  fSize = other.fSize;
  fCapacity = other.fCapacity;
  fData = other.fData;
  fMarks = marks;
  fExpander = other.fExpander;
  return *this;
}

void KQ_TMemoryStream::CopyFrom(KQ_TMemoryStream const& other) {
  auto* const data = static_cast<unsigned char*>(KQ_Alloc(other.fCapacity));
  std::uint32_t* marks = nullptr;
  if (other.fMarks != nullptr) {
    try {
      marks = static_cast<std::uint32_t*>(KQ_MakeCopy(other.fMarks, kMarksBytes));
    } catch (...) {
      KQ_Free(data);
      throw;
    }
  }
  // Only the valid bytes carry anything; the rest of the capacity is
  // undefined in the source too.
  if (other.fSize != 0) std::memcpy(data, other.fData, other.fSize);
  Release();
  fOwnsBuffer = true;
  fCopyIfNeeded = false;
  fPosition = other.fPosition;
  fSize = other.fSize;
  fCapacity = other.fCapacity;
  fData = data;
  fMarks = marks;
  fExpander = nullptr;
}

void KQ_TMemoryStream::Release() {
  if (fOwnsBuffer) KQ_Free(fData);
  KQ_Free(fMarks);
  fData = nullptr;
  fMarks = nullptr;
}

KQ_TMemoryStream& KQ_TMemoryStream::SetBuffer(void* buffer, std::uint32_t capacity,
                                              std::uint32_t size, Expander_t expander) {
  Release();
  if (buffer == nullptr) capacity = 0;
  fOwnsBuffer = false;
  fCopyIfNeeded = false;
  fPosition = 0;
  fCapacity = capacity;
  fSize = size < capacity ? size : capacity;
  fData = static_cast<unsigned char*>(buffer);
  fExpander = expander;
  return *this;
}

unsigned char const* KQ_TMemoryStream::Data() const { return fData; }

unsigned char* KQ_TMemoryStream::Data() { return fData; }

unsigned char const& KQ_TMemoryStream::operator[](std::uint32_t i) const {
  if (i >= fSize) RaiseEndReached();
  return fData[i];
}

unsigned char& KQ_TMemoryStream::operator[](std::uint32_t i) {
  if (i >= fSize) {
    std::uint64_t const needed = std::uint64_t{i} + 1;
    Reserve(needed);
    fSize = static_cast<std::uint32_t>(needed);
  }
  return fData[i];
}

std::uint32_t KQ_TMemoryStream::Size() const { return fSize; }

KQ_TMemoryStream& KQ_TMemoryStream::Clear() {
  Release();
  fOwnsBuffer = true;
  fCopyIfNeeded = false;
  fPosition = 0;
  fSize = 0;
  fCapacity = 0;
  fExpander = nullptr;
  return *this;
}

KQ_TMemoryStream& KQ_TMemoryStream::SetSize(std::uint32_t size) {
  Reserve(size);
  fSize = size;
  if (fPosition > size) fPosition = size;
  return *this;
}

bool KQ_TMemoryStream::CopyIfNeeded() const { return fCopyIfNeeded; }

KQ_TMemoryStream& KQ_TMemoryStream::SetCopyIfNeeded(bool copy) {
  fCopyIfNeeded = copy;
  return *this;
}

void KQ_TMemoryStream::ExpandIfNeeded(std::uint32_t count) {
  std::uint64_t const needed = std::uint64_t{fPosition} + count;
  Reserve(needed);
  fSize = static_cast<std::uint32_t>(needed);
}

void KQ_TMemoryStream::Reserve(std::uint64_t needed) {
  if (needed <= fCapacity) return;
  if (!fOwnsBuffer && !fCopyIfNeeded && fExpander == nullptr) RaiseEndReached();
  std::uint64_t const wanted = (2 * needed + 1023) & ~std::uint64_t{1023};
  if (wanted > kLargestCapacity) KQ_THROW(KQ_EOutOfMemory());
  auto const capacity = static_cast<std::uint32_t>(wanted);
  if (fOwnsBuffer) {
    fData = static_cast<unsigned char*>(KQ_Realloc(fData, capacity));
    fCapacity = capacity;
    return;
  }
  if (fCopyIfNeeded) {
    auto* const data = static_cast<unsigned char*>(KQ_Alloc(capacity));
    if (fSize != 0) std::memcpy(data, fData, fSize);
    fData = data;
    fOwnsBuffer = true;
    fCapacity = capacity;
    return;
  }
  // The expander sees the stream's own capacity field, already raised, and
  // may raise it further.
  std::uint32_t const oldCapacity = fCapacity;
  fCapacity = capacity;
  void* data;
  try {
    data = fExpander(*this, fCapacity);
  } catch (...) {
    fCapacity = oldCapacity;
    throw;
  }
  if (data == nullptr) {
    fCapacity = oldCapacity;
    KQ_THROW(KQ_EOutOfMemory());
  }
  fData = static_cast<unsigned char*>(data);
  // An expander that lowered the capacity below the need has still handed
  // over its buffer; keep the stream within it.
  if (fCapacity < needed) {
    if (fSize > fCapacity) fSize = fCapacity;
    KQ_THROW(KQ_EOutOfMemory());
  }
}

bool KQ_TMemoryStream::Close() { return true; }

bool KQ_TMemoryStream::Flush() { return true; }

bool KQ_TMemoryStream::Readable() const { return true; }

bool KQ_TMemoryStream::Writable() const { return true; }

bool KQ_TMemoryStream::Markable() const { return true; }

bool KQ_TMemoryStream::Seekable() const { return true; }

std::uint32_t KQ_TMemoryStream::Available() const {
  return fPosition < fSize ? fSize - fPosition : 0;
}

std::uint32_t KQ_TMemoryStream::Read(void* buffer, std::uint32_t minimum, std::uint32_t maximum) {
  std::uint32_t const available = Available();
  if (minimum > available) RaiseEndReached();
  std::uint32_t const count = maximum < available ? maximum : available;
  if (count != 0) std::memcpy(buffer, fData + fPosition, count);
  fPosition += count;
  return count;
}

KQ_IStream& KQ_TMemoryStream::Read(void* buffer, std::uint32_t count) {
  if (count > Available()) RaiseEndReached();
  if (count != 0) std::memcpy(buffer, fData + fPosition, count);
  fPosition += count;
  return *this;
}

bool KQ_TMemoryStream::Skip(std::uint32_t count) {
  if (count > Available()) return false;
  fPosition += count;
  return true;
}

KQ_IStream& KQ_TMemoryStream::Write(void const* buffer, std::uint32_t count) {
  auto const* source = static_cast<unsigned char const*>(buffer);
  if (std::uint64_t{fPosition} + count > fCapacity) {
    // Growth may move the buffer; a source inside it moves along.
    auto const from = reinterpret_cast<std::uintptr_t>(source);
    auto const begin = reinterpret_cast<std::uintptr_t>(fData);
    bool const inside = fData != nullptr && from >= begin && from < begin + fCapacity;
    ExpandIfNeeded(count);
    if (inside) source = fData + (from - begin);
  } else {
    fSize = fPosition + count;
  }
  // The source may overlap the destination when it lies in this stream.
  if (count != 0) std::memmove(fData + fPosition, source, count);
  fPosition += count;
  return *this;
}

KQ_IStream& KQ_TMemoryStream::WriteGrowing(unsigned char byte) {
  ExpandIfNeeded(1);
  fData[fPosition++] = byte;
  return *this;
}

void KQ_TMemoryStream::RaiseEndReached() const { KQ_THROW(KQ_EStreamEndReached()); }

KQ_IStream& KQ_TMemoryStream::Mark(unsigned char id, std::uint32_t) {
  if (fMarks == nullptr) {
    fMarks = static_cast<std::uint32_t*>(KQ_CAlloc(kMarkCount, sizeof(std::uint32_t)));
  }
  fMarks[id] = fPosition;
  return *this;
}

KQ_IStream& KQ_TMemoryStream::ClearMark(unsigned char id) {
  if (fMarks == nullptr) KQ_THROW(KQ_EIllegalStreamMark());
  fMarks[id] = 0;
  return *this;
}

KQ_IStream& KQ_TMemoryStream::Rewind(unsigned char id) {
  if (fMarks == nullptr) KQ_THROW(KQ_EIllegalStreamMark());
  fPosition = fMarks[id];
  return *this;
}

std::uint32_t KQ_TMemoryStream::Position() const { return fPosition; }

std::uint32_t KQ_TMemoryStream::Seek(std::uint32_t position) {
  std::uint32_t const previous = fPosition;
  fPosition = position;
  return previous;
}
