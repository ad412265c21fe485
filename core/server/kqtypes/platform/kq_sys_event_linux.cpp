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

#include <atomic>
#include <cerrno>
#include <new>

#include "kq_sys_futex_linux.h"

class kq::sys::Event {
 public:
  std::atomic<std::uint32_t> pulses{0};
  std::atomic<std::uint32_t> waiters{0};
};

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
  timespec const deadline =
      forever || milliseconds == 0 ? timespec{} : MonotonicDeadlineAfter(milliseconds);
  bool pulsed = false;
  bool failed = false;
  for (;;) {
    if (event->pulses.load(std::memory_order_acquire) != ticket) {
      pulsed = true;
      break;
    }
    if (milliseconds == 0) break;
    FutexSleep const s = FutexWait(&event->pulses, ticket, forever ? nullptr : &deadline);
    if (s == FutexSleep::kFailed) {
      failed = true;
      break;
    }
    if (s == FutexSleep::kTimedOut) {
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
  return FutexWake(&event->pulses, kFutexWakeAll);
}

}  // namespace kq::sys
