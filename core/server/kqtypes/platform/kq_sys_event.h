// The pulse event under KQ_TEvent.
//
// A pulse wakes every thread that is waiting at that moment and is then
// forgotten: a thread that starts waiting afterwards waits for the next pulse.
// Waiting has two steps so that a caller can join it to a lock: BeginWait
// registers the caller and hands out a ticket (taken while the caller still
// holds the lock that guards its condition), EndWait sleeps until a pulse
// later than that ticket. A pulse that falls between the two steps is not
// lost, so a waiter that checked its condition under the lock cannot miss the
// pulse of a thread that changed the condition under the same lock.
#pragma once

#include <cstdint>

#include "kq_sys_mutex.h"
#include "kq_types.h"

namespace kq::sys {

class Event;

// A new event, or null when the system cannot provide one.
Event* NewEvent() noexcept;
// Frees the event; no thread may be waiting on it.
void DeleteEvent(Event* event) noexcept;
// Registers the caller as a waiter; every BeginWait is followed by one
// EndWait with the ticket it returned.
std::uint32_t BeginWait(Event* event) noexcept;
// Sleeps until a pulse after the ticket was handed out, at most the given
// milliseconds (0 only tests, kWaitForever of kq_sys_mutex.h waits without
// limit), and ends the registration. True when pulsed; false on time-out or
// when the system refuses the wait.
bool EndWait(Event* event, std::uint32_t ticket, std::uint32_t milliseconds) noexcept;
// Wakes every registered waiter; false when the system refuses the wake-up.
bool PulseEvent(Event* event) noexcept;

}  // namespace kq::sys
