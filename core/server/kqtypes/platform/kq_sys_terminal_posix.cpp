#include "kq_sys_terminal.h"

#include <unistd.h>

namespace kq::sys {

bool IsTerminal(StandardChannel channel) noexcept {
  int descriptor = STDIN_FILENO;
  if (channel == StandardChannel::kOutput) descriptor = STDOUT_FILENO;
  if (channel == StandardChannel::kError) descriptor = STDERR_FILENO;
  return isatty(descriptor) == 1;
}

}  // namespace kq::sys
