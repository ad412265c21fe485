// Threads under KQ_TThread: start one, wait for it, end it at once, the
// calling thread's slot, scheduling priority, stack and sleeping.
//
// A Thread is reference counted: its owner holds one reference from
// NewThread until CloseThread or KillThread, the running thread holds one
// while it runs, and WaitForThread's callers may hold more (RetainThread /
// ReleaseThread) so that the object outlives their wait even when the owner
// lets go of it meanwhile.
#pragma once

#include <cstdint>

#include "kq_types.h"

namespace kq::sys {

class Thread;

using ThreadEntry = void (*)(void* argument);
using ThreadEndHook = void (*)(void* value);
using ThreadBody = void (*)(void* argument);

// A thread not yet launched, with the owner's reference; null when memory is
// short.
Thread* NewThread() noexcept;
// Launches the thread running entry(argument). False, with the last error
// set, when the system refuses; the thread may then be launched again or
// closed. A thread is launched at most once.
bool LaunchThread(Thread* thread, ThreadEntry entry, void* argument) noexcept;
// A waiter's reference, and giving it back.
void RetainThread(Thread* thread) noexcept;
void ReleaseThread(Thread* thread) noexcept;
// Waits until the entry has returned (or unwound) or the thread was ended
// by KillThread; at once for a thread never launched. The first waiter
// waits for the system thread to end altogether. False, without waiting,
// when called on the thread itself.
bool WaitForThread(Thread* thread) noexcept;
// The owner gives up its reference. Unless a waiter has done so already,
// the system thread is reclaimed: joined when called from another thread
// (waiting for a thread still running to end), detached when called on the
// thread itself.
void CloseThread(Thread* thread) noexcept;
// Ends the thread at once unless its entry has already returned, then
// closes it as CloseThread. The thread leaves its code wherever it is,
// without unwinding it (no destructor or catch block of the code runs), and
// then ends as threads do, thread-end destructors included. The library
// mutexes it holds become abandoned; any other lock it holds stays held. A
// thread that blocks every signal leaves only when its entry returns, until
// which KillThread waits. Called on the thread itself it does not return.
// True when the thread was ended, false when its entry had returned.
bool KillThread(Thread* thread) noexcept;

// The calling thread's slot: one pointer, null until set. With a hook, the
// hook runs with the value when the thread ends while the value is still
// set (not for the process's initial thread, whose end is the process's).
void* ThreadSlot() noexcept;
void SetThreadSlot(void* value, ThreadEndHook atEnd) noexcept;

// The system's id of the calling thread (never 0).
std::int32_t SystemThreadId() noexcept;
// Scheduling priority as a nice value, -20 (most favoured) to 19. Reading
// gives false when the thread does not exist. Setting a value the caller is
// not allowed (only privileged callers may lower a nice value below the
// limit set for them) sets the lowest allowed value instead, when that
// still moves the thread in the direction asked for; false when nothing
// could be set. Neither changes the last error.
bool ThreadNice(std::int32_t systemId, int* nice) noexcept;
bool SetThreadNice(std::int32_t systemId, int nice) noexcept;

// Runs body(argument) on the calling thread and tells how it ended: true
// when it returned, false when an exception left it (the exception is
// dropped). The unwinding by which the system ends a thread (a thread exit or
// a cancellation) is no such exception: beforeEnding(argument) runs, and the
// unwinding goes on through the caller to the end of the thread.
bool RunThreadBody(ThreadBody body, void* argument, ThreadBody beforeEnding);

// The calling thread's stack: the lowest address it may grow down to and
// the address just above it; both 0 when the system does not tell. Asked of
// the system once per thread, so that readers may check their depth against
// it at every level.
struct StackBounds {
  std::uintptr_t low = 0;
  std::uintptr_t high = 0;
};
StackBounds CallingThreadStack() noexcept;

// Suspends the calling thread; 0 gives the processor to another ready
// thread.
void SleepMilliseconds(std::uint32_t milliseconds) noexcept;

}  // namespace kq::sys
