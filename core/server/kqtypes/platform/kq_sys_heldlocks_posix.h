// The locks a thread holds, kept on a list of its own, so that the locks
// still on it when the thread ends are let go of instead of staying held for
// ever.
//
// For the platform layer's own use. A lock type derives from
// Holdable<Lock, HeldLocks<Lock, LetGo>>, and each thread has one
// HeldLocks<Lock, LetGo> per lock type: trivial, so that it can live in
// initial-exec thread-local storage without an initialisation guard. Its
// address is the thread's identity as a holder: unique among live threads,
// and never left in a lock after the thread has ended. When the thread ends,
// a thread-specific-data destructor releases every lock still on the list,
// most recently taken first, and then calls LetGo(lock) to free it for other
// threads. Such destructors run after the C++ thread_local destructors, so a
// lock taken in one of those is covered too.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

namespace kq::sys {

// What a lock carries for its holder: who it is (written only by the holder,
// null while nobody holds the lock), and, belonging to the holder, how often
// it has taken the lock and the lock's place on its list.
template <class Lock, class Holder>
struct Holdable {
  std::atomic<Holder const*> owner{nullptr};
  std::uint32_t depth = 0;
  Lock* previousHeld = nullptr;
  Lock* nextHeld = nullptr;
};

template <class Lock, void (*LetGo)(Lock*)>
class HeldLocks {
 public:
  bool Holds(Lock const* lock) const { return lock->owner.load(std::memory_order_relaxed) == this; }

  // Makes this thread the holder, once, of a lock nobody holds.
  void Take(Lock* lock) {
    lock->owner.store(this, std::memory_order_relaxed);
    lock->depth = 1;
    lock->previousHeld = nullptr;
    lock->nextHeld = fFirst;
    if (fFirst != nullptr) fFirst->previousHeld = lock;
    fFirst = lock;
    if (!fArmed) {
      // Registered again after a thread-end pass, should a later destructor
      // of the ending thread take a lock.
      fArmed = true;
      pthread_setspecific(ThreadEndKey(), this);
    }
  }

  // Stops holding a lock that this thread holds at depth 0; the caller then
  // frees it for other threads.
  void Release(Lock* lock) {
    if (lock->previousHeld != nullptr) {
      lock->previousHeld->nextHeld = lock->nextHeld;
    } else {
      fFirst = lock->nextHeld;
    }
    if (lock->nextHeld != nullptr) lock->nextHeld->previousHeld = lock->previousHeld;
    lock->previousHeld = nullptr;
    lock->nextHeld = nullptr;
    lock->owner.store(nullptr, std::memory_order_relaxed);
  }

  // For a lock about to be freed: takes it off the list when this thread
  // holds it. False when another thread holds it: the lock stays on that
  // thread's list, which the thread walks when it ends, so it must not be
  // freed.
  bool Forget(Lock* lock) {
    HeldLocks const* const owner = lock->owner.load(std::memory_order_acquire);
    if (owner == this) Release(lock);
    return owner == nullptr || owner == this;
  }

  // Lets go of every lock this thread holds, as the thread's end does.
  void LetGoOfAll() {
    fArmed = false;
    while (Lock* lock = fFirst) {
      lock->depth = 0;
      Release(lock);
      LetGo(lock);
    }
  }

 private:
  static void ThreadEnded(void* list) { static_cast<HeldLocks*>(list)->LetGoOfAll(); }

  static pthread_key_t ThreadEndKey() {
    static pthread_key_t const key = [] {
      pthread_key_t k;
      pthread_key_create(&k, &ThreadEnded);
      return k;
    }();
    return key;
  }

  // Most recently taken first.
  Lock* fFirst;
  // True while the thread-end destructor is registered for this thread.
  bool fArmed;
};

}  // namespace kq::sys
