// Keeps the caller's pending error (errno) for the life of the keeper.
//
// For the platform layer's own use: calls made on the way to an answer (or
// while cleaning up after a failure) set errno even when they succeed, and
// the caller's exception must see the error that mattered.
#pragma once

#include <cerrno>

namespace kq::sys {

class ErrnoKeeper {
 public:
  ErrnoKeeper() : fSaved(errno) {}
  ~ErrnoKeeper() { errno = fSaved; }
  ErrnoKeeper(ErrnoKeeper const&) = delete;
  ErrnoKeeper& operator=(ErrnoKeeper const&) = delete;

 private:
  int fSaved;
};

}  // namespace kq::sys
