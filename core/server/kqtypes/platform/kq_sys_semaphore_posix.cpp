// A POSIX semaphore with the maximum kept beside it.
//
// sem_post only stops at SEM_VALUE_MAX, so the maximum is enforced by a
// count reserved before each post and given back after each completed wait:
// it never falls below the semaphore's own count, and a post that would take
// it past the maximum is refused. Timed waits use sem_timedwait, whose
// deadline is on CLOCK_REALTIME (sem_clockwait would take CLOCK_MONOTONIC,
// but the thread sanitizer does not follow it); the time left is kept on
// CLOCK_MONOTONIC, so a wall clock set forward cannot end a wait early.
#include "kq_sys_semaphore.h"

#include <semaphore.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <new>

class kq::sys::Semaphore {
 public:
  sem_t handle;
  std::uint32_t maximum = 0;
  std::atomic<std::uint32_t> reserved{0};
};

namespace {

std::int64_t MonotonicNanos() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

timespec RealtimeAfter(std::int64_t nanos) {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  nanos += t.tv_nsec;
  t.tv_sec += static_cast<time_t>(nanos / 1000000000);
  t.tv_nsec = static_cast<long>(nanos % 1000000000);
  return t;
}

bool TimedWait(sem_t* handle, std::uint32_t milliseconds) {
  std::int64_t const end = MonotonicNanos() + static_cast<std::int64_t>(milliseconds) * 1000000;
  for (;;) {
    std::int64_t const left = end - MonotonicNanos();
    if (left <= 0) return false;
    timespec const deadline = RealtimeAfter(left);
    if (sem_timedwait(handle, &deadline) == 0) return true;
    if (errno != ETIMEDOUT && errno != EINTR) return false;
  }
}

}  // namespace

namespace kq::sys {

Semaphore* NewSemaphore(std::uint32_t initialCount, std::uint32_t maximumCount) noexcept {
  if (initialCount > maximumCount) {
    errno = EINVAL;
    return nullptr;
  }
  auto* s = new (std::nothrow) Semaphore();
  if (s == nullptr) return nullptr;
  if (sem_init(&s->handle, 0, initialCount) != 0) {
    delete s;
    return nullptr;
  }
  s->maximum = maximumCount;
  s->reserved.store(initialCount, std::memory_order_relaxed);
  return s;
}

void DeleteSemaphore(Semaphore* semaphore) noexcept {
  if (semaphore == nullptr) return;
  sem_destroy(&semaphore->handle);
  delete semaphore;
}

bool WaitSemaphore(Semaphore* semaphore, std::uint32_t milliseconds) noexcept {
  // Waiting is no error: a time-out leaves the caller's pending error as it was.
  int const savedErrno = errno;
  bool taken;
  if (milliseconds == 0) {
    taken = sem_trywait(&semaphore->handle) == 0;
    if (!taken && errno == EAGAIN) errno = savedErrno;
  } else if (milliseconds == kWaitForever) {
    int r;
    while ((r = sem_wait(&semaphore->handle)) != 0 && errno == EINTR) {
    }
    taken = r == 0;
  } else {
    taken = TimedWait(&semaphore->handle, milliseconds);
    if (!taken && (errno == ETIMEDOUT || errno == EINTR)) errno = savedErrno;
  }
  if (!taken) return false;
  errno = savedErrno;
  semaphore->reserved.fetch_sub(1, std::memory_order_relaxed);
  return true;
}

bool PostSemaphore(Semaphore* semaphore) noexcept {
  std::uint32_t count = semaphore->reserved.load(std::memory_order_relaxed);
  do {
    if (count >= semaphore->maximum) {
      errno = EOVERFLOW;
      return false;
    }
  } while (!semaphore->reserved.compare_exchange_weak(count, count + 1, std::memory_order_relaxed));
  if (sem_post(&semaphore->handle) != 0) {
    semaphore->reserved.fetch_sub(1, std::memory_order_relaxed);
    return false;
  }
  return true;
}

}  // namespace kq::sys
