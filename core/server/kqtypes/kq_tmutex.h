// KQ_TMutex: a recursive mutex between the threads of the process.
//
// The thread that holds the mutex may lock it again and must release it as
// often as it locked it. A holder that ends without releasing leaves the
// mutex abandoned: the next AttemptLock gets it (and true), while Lock raises
// KQ_ECouldNotLockMutex. Copies share one mutex, which lives until the last
// copy is destroyed; destruction does not release a mutex that is held.
#pragma once

#include <cstdint>

#include "kq_tobject.h"

class KQ_EXPORT KQ_TMutex : public virtual KQ_TObject {
  KQ_CLASS(KQ_TMutex, KQ_TObject)
  // Milliseconds value of AttemptLock that waits without limit.
  static constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;

  // A new, unowned mutex; KQ_ECouldNotCreateMutex when the system has none.
  KQ_TMutex();
  // The copy uses the same mutex as other.
  KQ_TMutex(KQ_TMutex const& other);
  KQ_TMutex& operator=(KQ_TMutex const& other);
  ~KQ_TMutex() override;

  // Waits at most milliseconds (0 only tests, kWaitForever waits without
  // limit). True when the caller now holds the mutex, also when it was
  // abandoned; false on time-out. Never raises.
  virtual bool AttemptLock(std::uint32_t milliseconds);
  // Waits without limit. An abandoned mutex raises KQ_ECouldNotLockMutex and
  // is left free again, so the failure does not block other threads.
  virtual KQ_TMutex& Lock();
  // KQ_ECouldNotUnlockMutex when the calling thread does not hold the mutex.
  virtual KQ_TMutex& Release();
  // Lock.
  virtual KQ_TMutex& operator++(int);
  virtual KQ_TMutex& operator++();
  // Release.
  virtual KQ_TMutex& operator--(int);
  virtual KQ_TMutex& operator--();

 private:
  struct Record;
  Record* fRecord;
};
