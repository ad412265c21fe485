#include "kq_sys_terminal.h"

#include <unistd.h>

#include <cerrno>

namespace kq::sys {

bool IsTerminal(StandardChannel channel) noexcept {
  int descriptor = STDIN_FILENO;
  if (channel == StandardChannel::kOutput) descriptor = STDOUT_FILENO;
  if (channel == StandardChannel::kError) descriptor = STDERR_FILENO;
  // isatty sets errno when the answer is no; asking is no error.
  int const saved = errno;
  bool const terminal = isatty(descriptor) == 1;
  errno = saved;
  return terminal;
}

}  // namespace kq::sys
