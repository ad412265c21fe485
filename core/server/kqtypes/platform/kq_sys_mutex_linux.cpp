// The mutex is a state word used as a Linux futex, an owner and a recursion
// depth, plus a per-thread list of the mutexes the thread holds.
//
// A robust recursive pthread mutex would give the same behaviour, but its
// uncontended lock and release cost about three times those of a plain
// recursive mutex (the robust-list bookkeeping done on every lock), and the
// memory pool and every KQ_TMutex user pay that. Here the uncontended paths
// are one compare-and-swap and one exchange on the state word, like a plain
// mutex, and a few plain stores into the holder's own list. Robustness comes
// from that list: when a thread ends, a thread-specific-data destructor marks
// every mutex still on it abandoned and wakes its sleepers. Such destructors
// run after the C++ thread_local destructors, so a lock taken in one of those
// is covered too.
#include "kq_sys_mutex.h"

#include <pthread.h>
#include <sys/single_threaded.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "kq_sys_futex_linux.h"

namespace {

// Values of the state word.
constexpr std::uint32_t kFree = 0;
constexpr std::uint32_t kHeld = 1;
// Held, and some thread may be asleep on the word: releasing must wake one.
constexpr std::uint32_t kHeldWithWaiters = 2;
// The holder ended without releasing; the next acquirer takes the mutex over.
constexpr std::uint32_t kHeldAbandoned = 3;

struct ThreadState {
  // Most recently acquired first.
  kq::sys::Mutex* held;
  // True while the thread-end destructor is registered for this thread.
  bool armed;
};

// Trivial, so reaching it needs no initialisation guard, and in the initial
// TLS block, so that its address is one instruction away (the default model
// for a shared library calls __tls_get_addr, which doubled the cost of an
// uncontended lock). Its address is the thread's identity as a holder:
// unique among live threads, and never left in a mutex after the thread has
// ended.
__attribute__((tls_model("initial-exec"))) thread_local ThreadState tSelf;

// While the process has a single thread, nobody else can see the state word,
// so the uncontended paths use plain loads and stores instead of locked
// instructions, as the C library's own mutexes do. Creating (or joining) a
// thread orders everything done before it, so switching between the two
// ways is safe.
bool SingleThreaded() { return __libc_single_threaded != 0; }

}  // namespace

class kq::sys::Mutex {
 public:
  std::atomic<std::uint32_t> state{kFree};
  // The holder, null when free or abandoned. Written only by the holder.
  std::atomic<ThreadState const*> owner{nullptr};
  // The remaining fields belong to the holder.
  std::uint32_t depth = 0;
  Mutex* previousHeld = nullptr;
  Mutex* nextHeld = nullptr;
};

namespace {

using kq::sys::Mutex;
using kq::sys::MutexLock;

void Unlink(Mutex* m, ThreadState* self) {
  if (m->previousHeld != nullptr) {
    m->previousHeld->nextHeld = m->nextHeld;
  } else {
    self->held = m->nextHeld;
  }
  if (m->nextHeld != nullptr) m->nextHeld->previousHeld = m->previousHeld;
  m->previousHeld = nullptr;
  m->nextHeld = nullptr;
}

// Runs when a thread that has held a mutex ends (value is its ThreadState).
void ThreadEnded(void* value) {
  auto* self = static_cast<ThreadState*>(value);
  self->armed = false;
  while (Mutex* m = self->held) {
    Unlink(m, self);
    m->depth = 0;
    m->owner.store(nullptr, std::memory_order_relaxed);
    // Changing the word also stops a sleeper that is just about to wait.
    if (m->state.exchange(kHeldAbandoned, std::memory_order_acq_rel) == kHeldWithWaiters) {
      kq::sys::FutexWake(&m->state, kq::sys::kFutexWakeAll);
    }
  }
}

pthread_key_t ThreadEndKey() {
  static pthread_key_t const key = [] {
    pthread_key_t k;
    pthread_key_create(&k, &ThreadEnded);
    return k;
  }();
  return key;
}

inline void Take(Mutex* m, ThreadState* self) {
  m->owner.store(self, std::memory_order_relaxed);
  m->depth = 1;
  m->previousHeld = nullptr;
  m->nextHeld = self->held;
  if (self->held != nullptr) self->held->previousHeld = m;
  self->held = m;
  if (!self->armed) {
    // Registered again after a thread-end pass, should a later destructor of
    // the ending thread take a lock.
    self->armed = true;
    pthread_setspecific(ThreadEndKey(), self);
  }
}

// The contended path; observed is the state seen by the failed fast path.
// Kept out of line so that the uncontended path stays short.
__attribute__((noinline)) MutexLock LockSlow(Mutex* m, ThreadState* self,
                                             std::uint32_t milliseconds, std::uint32_t observed) {
  // Waiting is no error: leave the caller's pending error as it was.
  int const savedErrno = errno;
  if (milliseconds == 0) {
    for (;;) {
      if (observed != kFree && observed != kHeldAbandoned) return MutexLock::kTimedOut;
      std::uint32_t const seen = observed;
      if (m->state.compare_exchange_weak(observed, kHeld, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
        Take(m, self);
        return seen == kFree ? MutexLock::kLocked : MutexLock::kAbandoned;
      }
    }
  }
  bool const forever = milliseconds == kq::sys::kWaitForever;
  timespec const deadline = forever ? timespec{} : kq::sys::MonotonicDeadlineAfter(milliseconds);
  for (;;) {
    std::uint32_t const c = m->state.exchange(kHeldWithWaiters, std::memory_order_acquire);
    if (c == kFree || c == kHeldAbandoned) {
      Take(m, self);
      errno = savedErrno;
      return c == kFree ? MutexLock::kLocked : MutexLock::kAbandoned;
    }
    if (kq::sys::FutexWait(&m->state, kHeldWithWaiters, forever ? nullptr : &deadline) ==
        kq::sys::FutexSleep::kTimedOut) {
      errno = savedErrno;
      return MutexLock::kTimedOut;
    }
  }
}

}  // namespace

namespace kq::sys {

Mutex* NewMutex() noexcept { return new (std::nothrow) Mutex(); }

void DeleteMutex(Mutex* mutex) noexcept {
  if (mutex == nullptr) return;
  ThreadState* self = &tSelf;
  ThreadState const* owner = mutex->owner.load(std::memory_order_acquire);
  if (owner == self) {
    Unlink(mutex, self);
  } else if (owner != nullptr) {
    // Still on the other thread's list, which that thread walks when it ends.
    return;
  }
  delete mutex;
}

MutexLock LockMutex(Mutex* mutex, std::uint32_t milliseconds) noexcept {
  ThreadState* self = &tSelf;
  if (mutex->owner.load(std::memory_order_relaxed) == self) {
    if (mutex->depth == UINT32_MAX) {
      errno = EAGAIN;
      return MutexLock::kFailed;
    }
    ++mutex->depth;
    return MutexLock::kLocked;
  }
  std::uint32_t observed = kFree;
  if (SingleThreaded()) {
    observed = mutex->state.load(std::memory_order_relaxed);
    if (observed == kFree) {
      mutex->state.store(kHeld, std::memory_order_relaxed);
      Take(mutex, self);
      return MutexLock::kLocked;
    }
  } else if (mutex->state.compare_exchange_strong(observed, kHeld, std::memory_order_acquire,
                                                  std::memory_order_relaxed)) {
    Take(mutex, self);
    return MutexLock::kLocked;
  }
  return LockSlow(mutex, self, milliseconds, observed);
}

bool UnlockMutex(Mutex* mutex) noexcept {
  ThreadState* self = &tSelf;
  if (mutex->owner.load(std::memory_order_relaxed) != self) {
    errno = EPERM;
    return false;
  }
  if (--mutex->depth > 0) return true;
  Unlink(mutex, self);
  mutex->owner.store(nullptr, std::memory_order_relaxed);
  if (SingleThreaded()) {
    mutex->state.store(kFree, std::memory_order_relaxed);
  } else if (mutex->state.exchange(kFree, std::memory_order_release) == kHeldWithWaiters) {
    kq::sys::FutexWake(&mutex->state, 1);
  }
  return true;
}

void AbandonHeldMutexes() noexcept { ThreadEnded(&tSelf); }

}  // namespace kq::sys
