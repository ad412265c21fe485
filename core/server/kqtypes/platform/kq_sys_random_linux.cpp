#include "kq_sys_random.h"

#include <sys/random.h>

#include <cerrno>

namespace kq::sys {

bool RandomBytes(void* buffer, std::size_t size) noexcept {
  int const saved = errno;
  auto* out = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    ssize_t const got = getrandom(out + done, size - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  errno = saved;
  return done == size;
}

}  // namespace kq::sys
