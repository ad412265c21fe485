// The event is a pulse counter used as a Linux futex, plus a count of the
// registered waiters.
//
// A ticket is the value of the counter when the waiter registered; a pulse
// increments the counter, so a waiter has been pulsed exactly when the
// counter differs from its ticket, whether or not it was already asleep.
// The waiter count only spares a pulse without waiters the system call: the
// waiter raises it before reading the counter and the pulse raises the
// counter before reading the waiter count (all sequentially consistent), so
// either the pulse sees the waiter and wakes it, or the waiter's ticket
// already includes the pulse and it waits for the next one.
#include "kq_sys_event.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <new>

class kq::sys::Event {
 public:
  std::atomic<std::uint32_t> pulses{0};
  std::atomic<std::uint32_t> waiters{0};
};

namespace {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "the pulse counter must be usable as a futex");

timespec DeadlineAfter(std::uint32_t milliseconds) {
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

enum class Sleep { kWoken, kTimedOut, kFailed };

// Sleeps while the counter holds ticket, until woken or until the absolute
// CLOCK_MONOTONIC deadline (null: no deadline). Woken also covers spurious
// returns; the caller looks at the counter again.
Sleep FutexWait(std::atomic<std::uint32_t>* word, std::uint32_t ticket, timespec const* deadline) {
  long const r =
      syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_BITSET_PRIVATE, ticket,
              deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
  if (r == 0) return Sleep::kWoken;
  switch (errno) {
    case EAGAIN:
    case EINTR:
      return Sleep::kWoken;
    case ETIMEDOUT:
      return Sleep::kTimedOut;
    default:
      return Sleep::kFailed;
  }
}

}  // namespace

namespace kq::sys {

Event* NewEvent() noexcept { return new (std::nothrow) Event(); }

void DeleteEvent(Event* event) noexcept { delete event; }

std::uint32_t BeginWait(Event* event) noexcept {
  event->waiters.fetch_add(1, std::memory_order_seq_cst);
  return event->pulses.load(std::memory_order_seq_cst);
}

bool EndWait(Event* event, std::uint32_t ticket, std::uint32_t milliseconds) noexcept {
  // Waiting is no error: leave the caller's pending error as it was.
  int const savedErrno = errno;
  bool const forever = milliseconds == kWaitForever;
  timespec const deadline = forever || milliseconds == 0 ? timespec{} : DeadlineAfter(milliseconds);
  bool pulsed = false;
  bool failed = false;
  for (;;) {
    if (event->pulses.load(std::memory_order_acquire) != ticket) {
      pulsed = true;
      break;
    }
    if (milliseconds == 0) break;
    Sleep const s = FutexWait(&event->pulses, ticket, forever ? nullptr : &deadline);
    if (s == Sleep::kFailed) {
      failed = true;
      break;
    }
    if (s == Sleep::kTimedOut) {
      // A pulse may have come just as the time ran out.
      pulsed = event->pulses.load(std::memory_order_acquire) != ticket;
      break;
    }
  }
  event->waiters.fetch_sub(1, std::memory_order_relaxed);
  if (!failed) errno = savedErrno;
  return pulsed;
}

bool PulseEvent(Event* event) noexcept {
  event->pulses.fetch_add(1, std::memory_order_seq_cst);
  if (event->waiters.load(std::memory_order_seq_cst) == 0) return true;
  return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&event->pulses), FUTEX_WAKE_PRIVATE,
                 INT_MAX, nullptr, nullptr, 0) != -1;
}

}  // namespace kq::sys
