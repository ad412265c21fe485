#include "internal/kq_stream_marks.h"

#include "kq_eexception.h"
#include "kq_memalloc.h"

namespace kq {

namespace {

constexpr std::uint32_t kMarkCount = 256;

}  // namespace

void SetStreamMark(std::uint32_t*& marks, unsigned char id, std::uint32_t position) {
  if (marks == nullptr) {
    marks = static_cast<std::uint32_t*>(KQ_CAlloc(kMarkCount, sizeof(std::uint32_t)));
  }
  marks[id] = position;
}

std::uint32_t& StreamMark(std::uint32_t* marks, unsigned char id) {
  if (marks == nullptr) KQ_THROW(KQ_EIllegalStreamMark());
  return marks[id];
}

std::uint32_t* CopyStreamMarks(std::uint32_t const* marks) {
  if (marks == nullptr) return nullptr;
  return static_cast<std::uint32_t*>(KQ_MakeCopy(marks, kMarkCount * sizeof(std::uint32_t)));
}

void FreeStreamMarks(std::uint32_t*& marks) {
  KQ_Free(marks);
  marks = nullptr;
}

}  // namespace kq
