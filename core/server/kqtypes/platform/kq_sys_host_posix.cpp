#include "kq_sys_host.h"

#include <unistd.h>

#include <cerrno>

namespace kq::sys {

bool HostName(char* buffer, std::size_t size) noexcept {
  int const saved = errno;
  bool const found = gethostname(buffer, size - 1) == 0 && buffer[0] != '\0';
  buffer[size - 1] = '\0';
  errno = saved;
  return found;
}

}  // namespace kq::sys
