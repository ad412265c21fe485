// KQ_TEvent: a monitor, that is a recursive lock joined to a condition.
//
// Lock and Unlock take and release the lock, which the holder may take
// again; the event counts how often its holder has taken it. Wait gives up
// every hold the caller has (the whole count), sleeps until the next Signal
// and takes the lock back as often as it held it. Signal wakes every thread
// that is waiting at that moment; a signal with no waiter is lost. A waiter
// counts as waiting from the moment it gave the lock up, so a thread that
// changes a condition and signals under the lock cannot slip between a
// waiter's check of that condition and its sleep:
//
//   event.Lock();
//   while (!ready) event.Wait();
//   event.Unlock();
//
// With KQ_TEVENT_DEBUG set to 5 or more, Lock, Unlock and Signal write a
// line each to the standard error stream. Copies share one event, which
// lives until the last copy is destroyed.
#pragma once

#include <cstdint>

#include "kq_tobject.h"

class KQ_EXPORT KQ_TEvent : public virtual KQ_TObject {
  KQ_CLASS(KQ_TEvent, KQ_TObject)
  // Milliseconds value of Wait that waits without limit.
  static constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;

  // An event nobody holds or waits on; KQ_ECouldNotCreateEvent when the
  // system has none to give (KQ_ECouldNotCreateMutex for its lock).
  KQ_TEvent();
  // The copy uses the same event as other.
  KQ_TEvent(KQ_TEvent const& other);
  KQ_TEvent& operator=(KQ_TEvent const& other);
  ~KQ_TEvent() override;

  // Waits for a signal at most milliseconds (0 only tests, kWaitForever
  // waits without limit). The caller holds the lock as often afterwards as
  // before. True when signalled, false on time-out or error.
  virtual bool Wait(std::uint32_t milliseconds);
  // Waits for a signal without limit; KQ_ECouldNotWaitOnEvent when the
  // system refuses the wait.
  virtual KQ_TEvent& Wait();
  // Wakes every current waiter, with or without the lock held (it takes the
  // lock for the moment of the signal); KQ_ECouldNotSignalEvent on failure.
  virtual KQ_TEvent& Signal();
  // Wait().
  virtual KQ_TEvent& operator++(int);
  virtual KQ_TEvent& operator++();
  // Signal().
  virtual KQ_TEvent& operator--(int);
  virtual KQ_TEvent& operator--();
  // Takes the lock once more.
  virtual KQ_TEvent& Lock();
  // Releases one hold; KQ_ECouldNotUnlockMutex when the calling thread has
  // none.
  virtual KQ_TEvent& Unlock();
  // Releases every hold of the calling thread and returns how many it had
  // (0 for a thread that holds none).
  virtual std::uint32_t Delock();
  // Takes the lock count times, at least once (Relock(0) holds it once).
  // Meant to give back what Delock returned.
  virtual KQ_TEvent& Relock(std::uint32_t count);

 private:
  struct Record;
  Record* fRecord;
};
