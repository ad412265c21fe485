// Keeps the calling thread's errno across calls made for a query or on a
// path that succeeds, so that no stale error completes the message of a
// later exception.
#pragma once

#include <cerrno>

namespace kq::sys {

class ErrnoGuard {
 public:
  ErrnoGuard() : fSaved(errno) {}
  ~ErrnoGuard() { errno = fSaved; }
  ErrnoGuard(ErrnoGuard const&) = delete;
  ErrnoGuard& operator=(ErrnoGuard const&) = delete;

 private:
  int fSaved;
};

}  // namespace kq::sys
