// KQ_TSemaphore: a counting semaphore between the threads of the process.
//
// Lock takes one count and Release adds one; the count lies between 0 and
// 65535. The semaphore has no owner: any thread may release a count that
// another took, and a thread that locks twice needs two counts (a default
// semaphore, created with one count, is a lock that is not recursive).
// Copies share one semaphore, which lives until the last copy is destroyed.
#pragma once

#include <cstdint>

#include "kq_tobject.h"

class KQ_EXPORT KQ_TSemaphore : public virtual KQ_TObject {
  KQ_CLASS(KQ_TSemaphore, KQ_TObject)
  static constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;
  static constexpr std::int32_t kMaximumCount = 65535;

  // One count.
  KQ_TSemaphore();
  // KQ_ECouldNotCreateSemaphore when initialCount lies outside 0..65535 or
  // the system has no semaphore to give.
  explicit KQ_TSemaphore(std::int32_t initialCount);
  // The copy uses the same semaphore as other.
  KQ_TSemaphore(KQ_TSemaphore const& other);
  KQ_TSemaphore& operator=(KQ_TSemaphore const& other);
  ~KQ_TSemaphore() override;

  // Takes a count, waiting at most milliseconds (0 only tests, kWaitForever
  // waits without limit). False on time-out; never raises.
  virtual bool AttemptLock(std::uint32_t milliseconds);
  // Takes a count, waiting without limit; KQ_ECouldNotLockSemaphore on
  // failure.
  virtual KQ_TSemaphore& Lock();
  // Adds a count; KQ_ECouldNotUnlockSemaphore when the count is 65535.
  virtual KQ_TSemaphore& Release();
  // Lock.
  virtual KQ_TSemaphore& operator++(int);
  virtual KQ_TSemaphore& operator++();
  // Release.
  virtual KQ_TSemaphore& operator--(int);
  virtual KQ_TSemaphore& operator--();

 private:
  struct Record;
  Record* fRecord;
};
