// Sleeping on a 32-bit word and waking its sleepers (Linux futexes, private
// to the process), and the monotonic deadlines that timed sleeps take.
//
// For the platform layer's own use. Callers keep errno themselves: a failed
// call leaves the system's error in it.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>

namespace kq::sys {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "an atomic 32-bit word must be usable as a futex");

// Count of FutexWake that wakes every sleeper.
inline constexpr int kFutexWakeAll = INT_MAX;

enum class FutexSleep {
  // Woken, or the word no longer held the expected value, or a signal
  // interrupted the sleep; none of it is a promise, the caller looks again.
  kWoken,
  kTimedOut,
  // The system refused the sleep; errno tells why.
  kFailed,
};

// Sleeps while the word holds expected, until woken or until the absolute
// CLOCK_MONOTONIC deadline (null: no deadline).
inline FutexSleep FutexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected,
                            timespec const* deadline) {
  // The bitset form takes an absolute deadline; matching any bit, it is woken
  // by every FutexWake on the word.
  if (syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_BITSET_PRIVATE,
              expected, deadline, nullptr, FUTEX_BITSET_MATCH_ANY) == 0) {
    return FutexSleep::kWoken;
  }
  switch (errno) {
    case EAGAIN:
    case EINTR:
      return FutexSleep::kWoken;
    case ETIMEDOUT:
      return FutexSleep::kTimedOut;
    default:
      return FutexSleep::kFailed;
  }
}

// Wakes up to count sleepers of the word; false when the system refuses.
inline bool FutexWake(std::atomic<std::uint32_t>* word, int count) {
  return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, count,
                 nullptr, nullptr, 0) != -1;
}

// The CLOCK_MONOTONIC time the given milliseconds from now, for FutexWait.
inline timespec MonotonicDeadlineAfter(std::uint32_t milliseconds) {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += static_cast<time_t>(milliseconds / 1000);
  t.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_nsec -= 1000000000L;
    ++t.tv_sec;
  }
  return t;
}

}  // namespace kq::sys
