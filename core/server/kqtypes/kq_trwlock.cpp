#include "kq_trwlock.h"

#include <atomic>
#include <new>

#include "kq_eexception.h"
#include "platform/kq_sys_rwlock.h"

// Shared by all copies of one lock.
struct KQ_TRWLock::Record {
  std::atomic<std::uint32_t> fReferences;
  kq::sys::RWLock* fHandle;

  // The lock of a usable object; raises for an object whose lock could not
  // be created.
  static kq::sys::RWLock* HandleOf(Record const* record) {
    if (record == nullptr) {
      KQ_THROW(KQ_ERWLockException(KQ_TString("KQ_TRWLock not initialized")));
    }
    return record->fHandle;
  }

  // Frees the lock when the last copy goes.
  void Drop() {
    if (fReferences.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      kq::sys::DeleteRWLock(fHandle);
      delete this;
    }
  }
};

using kq::sys::RWLockResult;

KQ_CLASS_IMPL(KQ_TRWLock)

KQ_TRWLock::KQ_TRWLock() : fRecord(nullptr) {
  kq::sys::RWLock* handle = kq::sys::NewRWLock();
  if (handle == nullptr) return;
  fRecord = new (std::nothrow) Record{{1}, handle};
  if (fRecord == nullptr) kq::sys::DeleteRWLock(handle);
}

KQ_TRWLock::KQ_TRWLock(KQ_TRWLock const& other)
    : KQ_IInterface(other), KQ_TObject(other), fRecord(other.fRecord) {
  if (fRecord != nullptr) fRecord->fReferences.fetch_add(1, std::memory_order_relaxed);
}

KQ_TRWLock& KQ_TRWLock::operator=(KQ_TRWLock const& other) {
  if (other.fRecord != fRecord) {
    if (other.fRecord != nullptr) {
      other.fRecord->fReferences.fetch_add(1, std::memory_order_relaxed);
    }
    if (fRecord != nullptr) fRecord->Drop();
    fRecord = other.fRecord;
  }
  return *this;
}

KQ_TRWLock::~KQ_TRWLock() {
  if (fRecord != nullptr) fRecord->Drop();
}

KQ_TRWLock& KQ_TRWLock::RLock(bool) {
  if (kq::sys::ReadLock(Record::HandleOf(fRecord)) == RWLockResult::kTooMany) {
    KQ_THROW(KQ_ERWLockException(KQ_TString("KQ_TRWLock: too many readers")));
  }
  return *this;
}

KQ_TRWLock& KQ_TRWLock::RUnlock() {
  if (kq::sys::ReadUnlock(Record::HandleOf(fRecord)) == RWLockResult::kNotHeld) {
    KQ_THROW(KQ_ENoActiveReadLocks());
  }
  return *this;
}

KQ_TRWLock& KQ_TRWLock::WLock() {
  switch (kq::sys::WriteLock(Record::HandleOf(fRecord))) {
    case RWLockResult::kDeadLock:
      KQ_THROW(KQ_EDeadLock());
    case RWLockResult::kTooMany:
      KQ_THROW(KQ_ERWLockException(KQ_TString("KQ_TRWLock: too many write locks")));
    default:
      return *this;
  }
}

KQ_TRWLock& KQ_TRWLock::WUnlock() {
  if (kq::sys::WriteUnlock(Record::HandleOf(fRecord)) == RWLockResult::kNotHeld) {
    KQ_THROW(KQ_ENoActiveWriteLocks());
  }
  return *this;
}

KQ_TRWLock& KQ_TRWLock::operator++(int) { return RLock(false); }
KQ_TRWLock& KQ_TRWLock::operator++() { return RLock(false); }
KQ_TRWLock& KQ_TRWLock::operator--(int) { return RUnlock(); }
KQ_TRWLock& KQ_TRWLock::operator--() { return RUnlock(); }
