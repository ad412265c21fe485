// The counting semaphore under KQ_TSemaphore: no owner, any thread may add a
// count, and the count never passes the maximum given at creation.
#pragma once

#include <cstdint>

#include "kq_sys_mutex.h"
#include "kq_types.h"

namespace kq::sys {

class Semaphore;

// A new semaphore holding initialCount, or null when initialCount exceeds
// maximumCount or the system cannot provide one.
Semaphore* NewSemaphore(std::uint32_t initialCount, std::uint32_t maximumCount) noexcept;
// Frees the semaphore; no thread may be waiting on it.
void DeleteSemaphore(Semaphore* semaphore) noexcept;
// Takes one count, waiting at most the given milliseconds: 0 only tests,
// kWaitForever (kq_sys_mutex.h) waits without limit. False on time-out or
// failure.
bool WaitSemaphore(Semaphore* semaphore, std::uint32_t milliseconds) noexcept;
// Adds one count; false (and nothing changes) when that would pass the
// maximum.
bool PostSemaphore(Semaphore* semaphore) noexcept;

}  // namespace kq::sys
