// The mutex is a state word used as a Linux futex, an owner and a recursion
// depth, plus a per-thread list of the mutexes the thread holds.
//
// A robust recursive pthread mutex would give the same behaviour, but its
// uncontended lock and release cost about three times those of a plain
// recursive mutex (the robust-list bookkeeping done on every lock), and the
// memory pool and every KQ_TMutex user pay that. Here the uncontended paths
// are one compare-and-swap and one exchange on the state word, like a plain
// mutex, and a few plain stores into the holder's own list. Robustness comes
// from that list: when a thread ends, every mutex still on it is marked
// abandoned and its sleepers are woken.
#include "kq_sys_mutex.h"

#include <sys/single_threaded.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "kq_sys_futex_linux.h"
#include "kq_sys_heldlocks_posix.h"

namespace {

// Values of the state word.
constexpr std::uint32_t kFree = 0;
constexpr std::uint32_t kHeld = 1;
// Held, and some thread may be asleep on the word: releasing must wake one.
constexpr std::uint32_t kHeldWithWaiters = 2;
// The holder ended without releasing; the next acquirer takes the mutex over.
constexpr std::uint32_t kHeldAbandoned = 3;

void Abandon(kq::sys::Mutex* m);

using HeldMutexes = kq::sys::HeldLocks<kq::sys::Mutex, &Abandon>;

// In the initial TLS block, so that its address is one instruction away (the
// default model for a shared library calls __tls_get_addr, which doubled the
// cost of an uncontended lock). Its address is the thread's identity as a
// holder.
__attribute__((tls_model("initial-exec"))) thread_local HeldMutexes tSelf;

// While the process has a single thread, nobody else can see the state word,
// so the uncontended paths use plain loads and stores instead of locked
// instructions, as the C library's own mutexes do. Creating (or joining) a
// thread orders everything done before it, so switching between the two
// ways is safe.
bool SingleThreaded() { return __libc_single_threaded != 0; }

}  // namespace

// The holder is null while the mutex is free or abandoned.
class kq::sys::Mutex : public Holdable<Mutex, HeldMutexes> {
 public:
  std::atomic<std::uint32_t> state{kFree};
};

namespace {

using kq::sys::Mutex;
using kq::sys::MutexLock;

// Runs for each mutex still held when its holder ends.
void Abandon(Mutex* m) {
  // Changing the word also stops a sleeper that is just about to wait.
  if (m->state.exchange(kHeldAbandoned, std::memory_order_acq_rel) == kHeldWithWaiters) {
    kq::sys::FutexWake(&m->state, kq::sys::kFutexWakeAll);
  }
}

// The contended path; observed is the state seen by the failed fast path.
// Kept out of line so that the uncontended path stays short.
__attribute__((noinline)) MutexLock LockSlow(Mutex* m, HeldMutexes* self,
                                             std::uint32_t milliseconds, std::uint32_t observed) {
  // Waiting is no error: leave the caller's pending error as it was.
  int const savedErrno = errno;
  if (milliseconds == 0) {
    for (;;) {
      if (observed != kFree && observed != kHeldAbandoned) return MutexLock::kTimedOut;
      std::uint32_t const seen = observed;
      if (m->state.compare_exchange_weak(observed, kHeld, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
        self->Take(m);
        return seen == kFree ? MutexLock::kLocked : MutexLock::kAbandoned;
      }
    }
  }
  bool const forever = milliseconds == kq::sys::kWaitForever;
  timespec const deadline = forever ? timespec{} : kq::sys::MonotonicDeadlineAfter(milliseconds);
  for (;;) {
    std::uint32_t const c = m->state.exchange(kHeldWithWaiters, std::memory_order_acquire);
    if (c == kFree || c == kHeldAbandoned) {
      self->Take(m);
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
  if (mutex != nullptr && tSelf.Forget(mutex)) delete mutex;
}

MutexLock LockMutex(Mutex* mutex, std::uint32_t milliseconds) noexcept {
  HeldMutexes* self = &tSelf;
  if (self->Holds(mutex)) {
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
      self->Take(mutex);
      return MutexLock::kLocked;
    }
  } else if (mutex->state.compare_exchange_strong(observed, kHeld, std::memory_order_acquire,
                                                  std::memory_order_relaxed)) {
    self->Take(mutex);
    return MutexLock::kLocked;
  }
  return LockSlow(mutex, self, milliseconds, observed);
}

bool UnlockMutex(Mutex* mutex) noexcept {
  HeldMutexes* self = &tSelf;
  if (!self->Holds(mutex)) {
    errno = EPERM;
    return false;
  }
  if (--mutex->depth > 0) return true;
  self->Release(mutex);
  if (SingleThreaded()) {
    mutex->state.store(kFree, std::memory_order_relaxed);
  } else if (mutex->state.exchange(kFree, std::memory_order_release) == kHeldWithWaiters) {
    kq::sys::FutexWake(&mutex->state, 1);
  }
  return true;
}

void AbandonHeldMutexes() noexcept { tSelf.LetGoOfAll(); }

}  // namespace kq::sys
