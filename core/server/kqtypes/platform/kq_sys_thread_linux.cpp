// Threads on Linux: joinable POSIX threads with a phase word that waiters
// sleep on, a real-time signal that ends a thread at once, the slot in
// initial-exec thread-local storage, and per-thread nice values.
//
// Reaping: exactly one party joins (or, on the thread itself, detaches) the
// system thread, whoever claims it first: the first waiter, which then
// waits with pthread_join as std::thread does, or the owner when it closes
// the thread. Other waiters sleep on the phase word, which the thread sets
// when it leaves its entry. Joining promptly matters: the C library hands
// the stack of a thread that has fully ended to the next new thread, while
// a thread started before the last one has gone costs a fresh stack.
//
// Phases of a thread: idle (not launched), running (its entry runs), done
// (the entry returned or unwound), killing (KillThread claimed it while it
// ran) and killed (it stopped for good). Leaving the entry and KillThread
// race for the step out of running with a compare-and-swap, so exactly one
// of them decides how the thread ends.
//
// Ending at once: POSIX has no call that ends one thread from outside, and
// cancellation unwinds the stack (running destructors and catch blocks of
// code that does not expect it). KillThread therefore signals the thread,
// whose handler leaves the mutexes it holds abandoned and jumps
// (siglongjmp) back to the start routine, past every frame of the thread
// code, none of which runs again. The start routine then returns as usual,
// so the system thread ends the ordinary way: thread-end destructors run
// and the stack is given back. Ending the system thread right in the
// handler would skip that bookkeeping and leave the stack mapped until the
// process ends. A killed thread stays until its killer has sent the signal,
// so that the signal never reaches a thread that has gone.
#include "kq_sys_thread.h"

#include <cxxabi.h>
#include <pthread.h>
#include <sched.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <new>

#include "kq_sys_futex_linux.h"
#include "kq_sys_mutex.h"

namespace {

enum Phase : std::uint32_t { kIdle, kRunning, kDone, kKilling, kKilled };

}  // namespace

class kq::sys::Thread {
 public:
  // The owner's reference, the running thread's, and waiters'.
  std::atomic<std::uint32_t> references{1};
  // A Phase; also the word that waiters sleep on.
  std::atomic<std::uint32_t> phase{kIdle};
  // Threads asleep (or about to sleep) on the phase word; leaving the entry
  // makes the wake-up call only when there are any.
  std::atomic<std::uint32_t> sleepers{0};
  // Set once KillThread has sent its signal; a killed thread waits for it.
  std::atomic<std::uint32_t> signalled{0};
  // Whether some party has claimed the reaping of the system thread.
  std::atomic<bool> reapClaimed{false};
  pthread_t handle{};
  kq::sys::ThreadEntry entry = nullptr;
  void* argument = nullptr;
  // Where an ended thread leaves its code, in the start routine.
  sigjmp_buf exit;
};

namespace {

using kq::sys::Thread;

// The thread whose entry the calling thread runs; read by the signal
// handler, hence initial-exec (no lazy allocation on first access).
__attribute__((tls_model("initial-exec"))) thread_local Thread* tCurrent = nullptr;

struct SlotState {
  void* value;
  kq::sys::ThreadEndHook hook;
  // True while the thread-end destructor is registered for this thread.
  bool registered;
};
__attribute__((tls_model("initial-exec"))) thread_local SlotState tSlot;

// Wakes the threads asleep on the phase word, if there are any.
void WakeWaiters(Thread* thread) {
  if (thread->sleepers.load(std::memory_order_seq_cst) != 0) {
    kq::sys::FutexWake(&thread->phase, kq::sys::kFutexWakeAll);
  }
}

// Publishes a phase that ends the waiters' wait. The store and the load of
// the sleeper count pair with the waiters' increment and load of the phase
// (both sequentially consistent), so a waiter either sees the new phase or
// is seen and woken.
void LeavePhase(Thread* thread, std::uint32_t phase) {
  thread->phase.store(phase, std::memory_order_seq_cst);
  WakeWaiters(thread);
}

void Drop(Thread* thread) {
  if (thread->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete thread;
}

// Leaves the code of the calling thread, which KillThread has claimed.
[[noreturn]] void EndKilledThread(Thread* self) {
  kq::sys::AbandonHeldMutexes();
  siglongjmp(self->exit, 1);
}

// A real-time signal some way above the first one free for programs
// (SIGRTMIN), which other libraries are the likeliest to take.
int KillSignal() { return SIGRTMIN + 6; }

void OnKillSignal(int) {
  Thread* self = tCurrent;
  // A stray signal, or one that arrives after the thread left its entry.
  if (self == nullptr || self->phase.load(std::memory_order_acquire) != kKilling) return;
  EndKilledThread(self);
}

void InstallKillHandler() {
  static bool const installed = [] {
    struct sigaction action {};
    action.sa_handler = &OnKillSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(KillSignal(), &action, nullptr) == 0;
  }();
  (void)installed;
}

// Runs when the entry has returned or unwinds (the thread called
// pthread_exit, or was cancelled).
struct LeaveEntry {
  Thread* thread;
  ~LeaveEntry() {
    std::uint32_t expected = kRunning;
    if (!thread->phase.compare_exchange_strong(expected, kDone, std::memory_order_seq_cst)) {
      EndKilledThread(thread);
    }
    WakeWaiters(thread);
    tCurrent = nullptr;
    Drop(thread);
  }
};

void RunEntry(Thread* thread) {
  LeaveEntry const leave{thread};
  thread->entry(thread->argument);
}

void* Trampoline(void* argument) {
  auto* thread = static_cast<Thread*>(argument);
  // The signal mask is not saved (that would cost a system call): a jump
  // from the handler leaves the kill signal blocked for the rest of the
  // thread's life, which is what it should be.
  if (sigsetjmp(thread->exit, 0) == 0) {
    tCurrent = thread;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    // The creator may block the signal; this thread must not.
    sigset_t kill;
    sigemptyset(&kill);
    sigaddset(&kill, KillSignal());
    pthread_sigmask(SIG_UNBLOCK, &kill, nullptr);
    // A kill signal that came before the handler could find this thread
    // was taken for a stray one; the claim is still there to see.
    if (thread->phase.load(std::memory_order_acquire) == kKilling) EndKilledThread(thread);
    RunEntry(thread);
  } else {
    // Whatever arrives from now on is stray to the handler.
    tCurrent = nullptr;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    while (thread->signalled.load(std::memory_order_acquire) == 0) {
      kq::sys::FutexWait(&thread->signalled, 0, nullptr);
    }
    LeavePhase(thread, kKilled);
    Drop(thread);
  }
  return nullptr;
}

void SlotEnded(void* state) {
  auto* slot = static_cast<SlotState*>(state);
  slot->registered = false;
  void* const value = slot->value;
  kq::sys::ThreadEndHook const hook = slot->hook;
  slot->value = nullptr;
  slot->hook = nullptr;
  if (value != nullptr && hook != nullptr) hook(value);
}

pthread_key_t SlotKey() {
  static pthread_key_t const key = [] {
    pthread_key_t k;
    pthread_key_create(&k, &SlotEnded);
    return k;
  }();
  return key;
}

}  // namespace

namespace kq::sys {

Thread* NewThread() noexcept {
  InstallKillHandler();
  return new (std::nothrow) Thread();
}

bool LaunchThread(Thread* thread, ThreadEntry entry, void* argument) noexcept {
  if (thread->phase.load(std::memory_order_relaxed) != kIdle) {
    errno = EINVAL;
    return false;
  }
  thread->entry = entry;
  thread->argument = argument;
  thread->references.fetch_add(1, std::memory_order_relaxed);
  thread->phase.store(kRunning, std::memory_order_relaxed);
  int const error = pthread_create(&thread->handle, nullptr, &Trampoline, thread);
  if (error != 0) {
    thread->phase.store(kIdle, std::memory_order_relaxed);
    thread->references.fetch_sub(1, std::memory_order_relaxed);
    errno = error;
    return false;
  }
  return true;
}

void RetainThread(Thread* thread) noexcept {
  thread->references.fetch_add(1, std::memory_order_relaxed);
}

void ReleaseThread(Thread* thread) noexcept { Drop(thread); }

// Joins or detaches the system thread unless another party has claimed
// that; true when this call did it.
bool Reap(Thread* thread) {
  if (thread->reapClaimed.exchange(true, std::memory_order_acq_rel)) return false;
  if (thread == tCurrent) {
    pthread_detach(thread->handle);
  } else {
    pthread_join(thread->handle, nullptr);
  }
  return true;
}

// Waits while the phase is running or killing (or, with untilKilled, until
// it is killed).
void WaitForPhase(Thread* thread, bool untilKilled) {
  for (;;) {
    std::uint32_t const phase = thread->phase.load(std::memory_order_acquire);
    if (untilKilled ? phase == kKilled : phase != kRunning && phase != kKilling) return;
    int const savedErrno = errno;
    thread->sleepers.fetch_add(1, std::memory_order_seq_cst);
    FutexWait(&thread->phase, phase, nullptr);
    thread->sleepers.fetch_sub(1, std::memory_order_relaxed);
    errno = savedErrno;
  }
}

bool WaitForThread(Thread* thread) noexcept {
  if (thread == tCurrent) return false;
  if (thread->phase.load(std::memory_order_acquire) == kIdle) return true;
  int const savedErrno = errno;
  if (!Reap(thread)) WaitForPhase(thread, false);
  errno = savedErrno;
  return true;
}

void CloseThread(Thread* thread) noexcept {
  if (thread->phase.load(std::memory_order_acquire) != kIdle) {
    int const savedErrno = errno;
    Reap(thread);
    errno = savedErrno;
  }
  Drop(thread);
}

bool KillThread(Thread* thread) noexcept {
  std::uint32_t expected = kRunning;
  if (!thread->phase.compare_exchange_strong(expected, kKilling, std::memory_order_acq_rel)) {
    CloseThread(thread);
    return false;
  }
  if (thread == tCurrent) {
    // The owner's reference goes now; the thread's own goes in the start
    // routine.
    thread->signalled.store(1, std::memory_order_release);
    Reap(thread);
    Drop(thread);
    EndKilledThread(thread);
  }
  int const savedErrno = errno;
  pthread_kill(thread->handle, KillSignal());
  thread->signalled.store(1, std::memory_order_release);
  FutexWake(&thread->signalled, kFutexWakeAll);
  // The handler runs at once unless the thread blocks the signal; then the
  // thread leaves when its entry returns.
  WaitForPhase(thread, true);
  Reap(thread);
  errno = savedErrno;
  Drop(thread);
  return true;
}

void* ThreadSlot() noexcept { return tSlot.value; }

void SetThreadSlot(void* value, ThreadEndHook atEnd) noexcept {
  tSlot.value = value;
  tSlot.hook = atEnd;
  if (atEnd != nullptr && !tSlot.registered) {
    tSlot.registered = true;
    pthread_setspecific(SlotKey(), &tSlot);
  }
}

std::int32_t SystemThreadId() noexcept { return static_cast<std::int32_t>(gettid()); }

bool ThreadNice(std::int32_t systemId, int* nice) noexcept {
  int const savedErrno = errno;
  errno = 0;
  int const value = getpriority(PRIO_PROCESS, static_cast<id_t>(systemId));
  bool const known = !(value == -1 && errno != 0);
  errno = savedErrno;
  if (known) *nice = value;
  return known;
}

bool SetThreadNice(std::int32_t systemId, int nice) noexcept {
  int const savedErrno = errno;
  auto const id = static_cast<id_t>(systemId);
  bool done = setpriority(PRIO_PROCESS, id, nice) == 0;
  if (!done && (errno == EACCES || errno == EPERM)) {
    // Unprivileged callers may go down to 20 - RLIMIT_NICE.
    rlimit limit{};
    if (getrlimit(RLIMIT_NICE, &limit) == 0) {
      rlim_t const allowed = limit.rlim_cur > 40 ? 40 : limit.rlim_cur;
      int const floor = 20 - static_cast<int>(allowed);
      int current = 0;
      if (floor > nice && floor <= 19 && ThreadNice(systemId, &current) && floor < current) {
        done = setpriority(PRIO_PROCESS, id, floor) == 0;
      }
    }
  }
  errno = savedErrno;
  return done;
}

bool RunThreadBody(ThreadBody body, void* argument, ThreadBody beforeEnding) {
  try {
    body(argument);
    return true;
  } catch (...) {
    // The C library unwinds the thread to end it (thread exit,
    // cancellation); swallowing that would abort the process. Such an
    // unwinding is no C++ exception (it has no type or object, so a handler
    // for it would bind a reference to nothing): it is told by that.
    if (abi::__cxa_current_exception_type() == nullptr) {
      beforeEnding(argument);
      throw;
    }
    return false;
  }
}

// The initial thread's stack is reported too: its size follows the stack
// limit the process started with, and its top the mapping it lies in.
StackBounds CallingThreadStack() noexcept {
  // Asked at every level a reader opens.
  struct Known {
    StackBounds bounds;
    bool asked;
  };
  __attribute__((tls_model("initial-exec"))) static thread_local Known known{};
  StackBounds& bounds = known.bounds;
  if (known.asked) return bounds;
  known.asked = true;
  int const savedErrno = errno;
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    void* low = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attributes, &low, &size) == 0 && low != nullptr) {
      bounds.low = reinterpret_cast<std::uintptr_t>(low);
      bounds.high = bounds.low + size;
    }
    pthread_attr_destroy(&attributes);
  }
  errno = savedErrno;
  return bounds;
}

void SleepMilliseconds(std::uint32_t milliseconds) noexcept {
  int const savedErrno = errno;
  if (milliseconds == 0) {
    sched_yield();
  } else {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }
  errno = savedErrno;
}

}  // namespace kq::sys
