// KQ_TRWLock: a reader-writer lock, any number of readers or one writer.
//
// Readers never wait for one another: a reader waits only while another
// thread writes. A writer waits until no reader is registered; readers that
// keep arriving may keep it waiting. Read registrations belong to no thread,
// so any thread may end one. The write lock belongs to its thread, which may
// take it again (and releases it as often) and may register as a reader
// while it writes; such a registration keeps every writer out until it is
// ended, the thread itself included, whose WLock then raises KQ_EDeadLock.
// A thread that holds a read registration and calls WLock waits for ever.
// A writer that ends without WUnlock leaves the lock to the next thread.
// Copies share one lock, which lives until the last copy is destroyed.
#pragma once

#include <cstdint>

#include "kq_tobject.h"

class KQ_EXPORT KQ_TRWLock : public virtual KQ_TObject {
  KQ_CLASS(KQ_TRWLock, KQ_TObject)
  // A free lock. Never raises: when the system has no lock to give, every
  // later operation raises KQ_ERWLockException "KQ_TRWLock not initialized".
  KQ_TRWLock();
  // The copy uses the same lock as other.
  KQ_TRWLock(KQ_TRWLock const& other);
  KQ_TRWLock& operator=(KQ_TRWLock const& other);
  ~KQ_TRWLock() override;

  // Registers a reader, waiting while another thread writes. The argument
  // has no effect. KQ_ERWLockException when 0x7FFFFFFF readers are
  // registered already.
  virtual KQ_TRWLock& RLock(bool unused = false);
  // Ends one read registration; KQ_ENoActiveReadLocks when none is left.
  virtual KQ_TRWLock& RUnlock();
  // Makes the calling thread the writer (once more, when it is already).
  // KQ_EDeadLock when the writer itself still has read registrations.
  virtual KQ_TRWLock& WLock();
  // Releases one level of the write lock; KQ_ENoActiveWriteLocks when the
  // calling thread is not the writer.
  virtual KQ_TRWLock& WUnlock();
  // RLock(false).
  virtual KQ_TRWLock& operator++(int);
  virtual KQ_TRWLock& operator++();
  // RUnlock().
  virtual KQ_TRWLock& operator--(int);
  virtual KQ_TRWLock& operator--();

 private:
  struct Record;
  // Null when the lock could not be created.
  Record* fRecord;
};
