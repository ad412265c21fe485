// The recursive, robust mutex under KQ_TMutex.
//
// The thread that holds a mutex may lock it again and must release it as
// often as it locked it. A holder that ends without releasing leaves the
// mutex abandoned: the next thread to acquire it is told so and becomes its
// holder.
#pragma once

#include <cstdint>

#include "kq_types.h"

namespace kq::sys {

class Mutex;

enum class MutexLock {
  kLocked,     // the caller holds the mutex (one more level when it held it already)
  kAbandoned,  // the caller holds the mutex, whose previous holder ended holding it
  kTimedOut,   // the mutex stayed held by another thread
  kFailed,     // the recursion count of the caller is exhausted
};

// Milliseconds value of LockMutex that waits without limit.
inline constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;

// A new, unowned mutex, or null when the system cannot provide one.
Mutex* NewMutex() noexcept;
// Frees the mutex without releasing it. A mutex still held by another live
// thread cannot be taken away from that thread and is left to the process.
void DeleteMutex(Mutex* mutex) noexcept;
// Acquires the mutex, waiting at most the given milliseconds: 0 only tests,
// kWaitForever waits without limit.
MutexLock LockMutex(Mutex* mutex, std::uint32_t milliseconds) noexcept;
// Releases one level; false (and nothing changes) when the calling thread
// does not hold the mutex.
bool UnlockMutex(Mutex* mutex) noexcept;
// Leaves every mutex the calling thread holds abandoned, as its end would.
// For a thread that is ended at once, without running its thread-end
// destructors; safe in a signal handler that interrupted any code but this
// file's own.
void AbandonHeldMutexes() noexcept;

}  // namespace kq::sys
