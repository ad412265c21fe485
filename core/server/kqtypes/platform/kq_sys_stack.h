// The calling thread's call stack, resolved to function names and, where the
// images carry debug information, source files and lines.
//
// Exceptions capture it while they are prepared when stack traces are
// switched on, so capturing never throws and never crashes: when a step
// fails the frames collected so far are returned.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kq_types.h"

namespace kq::sys {

struct StackFrame {
  // Demangled ("KQ_TString::Find(KQ_TString const&, int) const"); empty when
  // no symbol covers the address.
  std::string function;
  // Source file and line of the call; empty and 0 without debug information.
  std::string file;
  std::uint32_t line = 0;
  // Path of the executable or shared library holding the code; empty when
  // unknown.
  std::string module;
};

// The call stack of the calling thread, innermost frame first. With
// skipFrames 0 the first frame is the function that called CaptureStack; each
// further skipped frame starts the result one caller further out. At most
// 256 frames are reported.
std::vector<StackFrame> CaptureStack(unsigned skipFrames) noexcept;

}  // namespace kq::sys
