// One level of nesting for the life of the guard. The readers of outside
// data (the packed format, the text format) count their open levels, so
// that input nested deeper than their limit raises the reader's exception
// instead of exhausting the call stack. The limit alone does not suffice on
// a thread with a small stack, so a level is also refused when the calling
// thread's stack runs low.
#pragma once

#include <cstdint>

#include "platform/kq_sys_thread.h"

namespace kq {

// Stack a reader keeps free below the level it opens: room for the frames
// between two levels (at most 1.3 KB per level of nesting in an unoptimised
// build, for the deepest path of either reader), for the work of the
// innermost value, and for raising the reader's exception (about 10 KB).
// Resolving a captured stack trace (KQ_STACKTRACE) for the first time can
// take 150 KB more, which a thread with a small stack does not have.
constexpr std::uintptr_t kNestingStackReserve = 64 * 1024;

// Whether the calling thread's stack has less than kNestingStackReserve left
// below the caller's frame. A frame outside the stack the system reports
// (an alternate signal stack, a coroutine's own) is not judged.
inline bool StackRunningLow() {
  sys::StackBounds const bounds = sys::CallingThreadStack();
  auto const here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  return here > bounds.low && here <= bounds.high && here - bounds.low < kNestingStackReserve;
}

class NestingGuard {
 public:
  // Raises through tooDeep (which must not return) when depth has reached
  // limit or the stack runs low; otherwise opens a level.
  template <class TooDeep>
  NestingGuard(std::uint32_t& depth, std::uint32_t limit, TooDeep tooDeep) : fDepth(depth) {
    if (depth >= limit || StackRunningLow()) tooDeep();
    ++depth;
  }
  NestingGuard(NestingGuard const&) = delete;
  NestingGuard& operator=(NestingGuard const&) = delete;
  ~NestingGuard() { --fDepth; }

 private:
  std::uint32_t& fDepth;
};

}  // namespace kq
