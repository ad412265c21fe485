// The lock is one state word used as a Linux futex (the writer bit and the
// reader count), a count of sleeping threads, and the writer's identity and
// recursion depth, plus a per-thread list of the write locks the thread holds.
//
// Taking and leaving a read registration are one compare-and-swap each on
// the state word, like the C library's own reader-writer lock. Readers and
// writers sleep on the same word; whoever frees the lock (the last reader
// leaving, the writer releasing) wakes every sleeper when there is one, and
// each looks at the word again. The sleeper count spares those paths the
// system call when nobody sleeps: a sleeper raises it before reading the
// word and a releaser changes the word before reading the count (all
// sequentially consistent), so either the releaser sees the sleeper, or the
// sleeper sees the word already changed and does not sleep on it.
//
// Robustness of the write lock works as for the mutex: the writer keeps the
// locks it holds on a thread-local list, and every lock still on it is freed
// when the thread ends.
#include "kq_sys_rwlock.h"

#include <atomic>
#include <cerrno>
#include <new>

#include "kq_sys_futex_linux.h"
#include "kq_sys_heldlocks_posix.h"

namespace {

// The state word: the writer bit and the count of registered readers.
constexpr std::uint32_t kWriter = 0x80000000u;
constexpr std::uint32_t kReaders = kq::sys::kMaximumReaders;

static_assert((kWriter & kReaders) == 0 && (kWriter | kReaders) == 0xFFFFFFFFu,
              "the writer bit and the reader count fill the state word");

void FreeWriter(kq::sys::RWLock* lock);

using HeldWriteLocks = kq::sys::HeldLocks<kq::sys::RWLock, &FreeWriter>;

// In the initial TLS block, so that reaching it costs one instruction. Its
// address is the thread's identity as a writer.
__attribute__((tls_model("initial-exec"))) thread_local HeldWriteLocks tSelf;

}  // namespace

// The holder is the writer, null when there is none.
class kq::sys::RWLock : public Holdable<RWLock, HeldWriteLocks> {
 public:
  std::atomic<std::uint32_t> state{0};
  std::atomic<std::uint32_t> sleepers{0};
};

namespace {

using kq::sys::RWLock;
using kq::sys::RWLockResult;

void WakeSleepers(RWLock* lock) {
  if (lock->sleepers.load(std::memory_order_seq_cst) == 0) return;
  kq::sys::FutexWake(&lock->state, kq::sys::kFutexWakeAll);
}

// Sleeps once, if the state word still shows the caller blocked; the caller
// looks at the word again afterwards (a wake-up is no promise).
template <class Blocked>
void Await(RWLock* lock, Blocked blocked) {
  // Waiting is no error: leave the caller's pending error as it was.
  int const savedErrno = errno;
  lock->sleepers.fetch_add(1, std::memory_order_seq_cst);
  std::uint32_t const seen = lock->state.load(std::memory_order_seq_cst);
  if (blocked(seen)) kq::sys::FutexWait(&lock->state, seen, nullptr);
  lock->sleepers.fetch_sub(1, std::memory_order_relaxed);
  errno = savedErrno;
}

// Clears the writer bit of a lock whose writer has let go of it (also when
// the writer ended holding it).
void FreeWriter(RWLock* lock) {
  lock->state.fetch_and(~kWriter, std::memory_order_seq_cst);
  WakeSleepers(lock);
}

}  // namespace

namespace kq::sys {

RWLock* NewRWLock() noexcept { return new (std::nothrow) RWLock(); }

void DeleteRWLock(RWLock* lock) noexcept {
  if (lock != nullptr && tSelf.Forget(lock)) delete lock;
}

RWLockResult ReadLock(RWLock* lock) noexcept {
  std::uint32_t s = lock->state.load(std::memory_order_relaxed);
  for (;;) {
    // The writer itself may register as a reader.
    if ((s & kWriter) != 0 && !tSelf.Holds(lock)) {
      Await(lock, [](std::uint32_t seen) { return (seen & kWriter) != 0; });
      s = lock->state.load(std::memory_order_relaxed);
      continue;
    }
    if ((s & kReaders) == kReaders) return RWLockResult::kTooMany;
    if (lock->state.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
      return RWLockResult::kDone;
    }
  }
}

RWLockResult ReadUnlock(RWLock* lock) noexcept {
  std::uint32_t s = lock->state.load(std::memory_order_relaxed);
  do {
    if ((s & kReaders) == 0) return RWLockResult::kNotHeld;
  } while (!lock->state.compare_exchange_weak(s, s - 1, std::memory_order_seq_cst,
                                              std::memory_order_relaxed));
  // Only a lock left entirely free lets a sleeper on.
  if (s == 1) WakeSleepers(lock);
  return RWLockResult::kDone;
}

RWLockResult WriteLock(RWLock* lock) noexcept {
  HeldWriteLocks* self = &tSelf;
  if (self->Holds(lock)) {
    // No other thread can register while this one writes.
    if ((lock->state.load(std::memory_order_relaxed) & kReaders) != 0) {
      return RWLockResult::kDeadLock;
    }
    if (lock->depth == UINT32_MAX) return RWLockResult::kTooMany;
    ++lock->depth;
    return RWLockResult::kDone;
  }
  for (;;) {
    std::uint32_t free = 0;
    if (lock->state.compare_exchange_strong(free, kWriter, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
      break;
    }
    Await(lock, [](std::uint32_t seen) { return seen != 0; });
  }
  self->Take(lock);
  return RWLockResult::kDone;
}

RWLockResult WriteUnlock(RWLock* lock) noexcept {
  HeldWriteLocks* self = &tSelf;
  if (!self->Holds(lock)) return RWLockResult::kNotHeld;
  if (--lock->depth > 0) return RWLockResult::kDone;
  self->Release(lock);
  FreeWriter(lock);
  return RWLockResult::kDone;
}

}  // namespace kq::sys
