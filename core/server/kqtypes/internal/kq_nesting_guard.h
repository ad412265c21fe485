// One level of nesting for the life of the guard. The readers of outside
// data (the packed format, the text format) count their open levels, so
// that input nested deeper than their limit raises the reader's exception
// instead of exhausting the call stack.
#pragma once

#include <cstdint>

namespace kq {

class NestingGuard {
 public:
  // Raises through tooDeep (which must not return) when depth has reached
  // limit; otherwise opens a level.
  template <class TooDeep>
  NestingGuard(std::uint32_t& depth, std::uint32_t limit, TooDeep tooDeep) : fDepth(depth) {
    if (depth >= limit) tooDeep();
    ++depth;
  }
  NestingGuard(NestingGuard const&) = delete;
  NestingGuard& operator=(NestingGuard const&) = delete;
  ~NestingGuard() { --fDepth; }

 private:
  std::uint32_t& fDepth;
};

}  // namespace kq
