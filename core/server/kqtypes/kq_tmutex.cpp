#include "kq_tmutex.h"

#include <atomic>

#include "kq_eexception.h"
#include "platform/kq_sys_mutex.h"

// Shared by all copies of one mutex.
struct KQ_TMutex::Record {
  std::atomic<std::uint32_t> fReferences;
  kq::sys::Mutex* fHandle;

  // Closes the handle when the last copy goes.
  void Drop() {
    if (fReferences.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      kq::sys::DeleteMutex(fHandle);
      delete this;
    }
  }
};

KQ_CLASS_IMPL(KQ_TMutex)

KQ_TMutex::KQ_TMutex() : fRecord(new Record{{1}, nullptr}) {
  fRecord->fHandle = kq::sys::NewMutex();
  if (fRecord->fHandle == nullptr) {
    delete fRecord;
    fRecord = nullptr;
    KQ_THROW(KQ_ECouldNotCreateMutex());
  }
}

KQ_TMutex::KQ_TMutex(KQ_TMutex const& other)
    : KQ_IInterface(other), KQ_TObject(other), fRecord(other.fRecord) {
  fRecord->fReferences.fetch_add(1, std::memory_order_relaxed);
}

KQ_TMutex& KQ_TMutex::operator=(KQ_TMutex const& other) {
  if (other.fRecord != fRecord) {
    other.fRecord->fReferences.fetch_add(1, std::memory_order_relaxed);
    fRecord->Drop();
    fRecord = other.fRecord;
  }
  return *this;
}

KQ_TMutex::~KQ_TMutex() { fRecord->Drop(); }

bool KQ_TMutex::AttemptLock(std::uint32_t milliseconds) {
  kq::sys::MutexLock const r = kq::sys::LockMutex(fRecord->fHandle, milliseconds);
  return r == kq::sys::MutexLock::kLocked || r == kq::sys::MutexLock::kAbandoned;
}

KQ_TMutex& KQ_TMutex::Lock() {
  kq::sys::MutexLock const r = kq::sys::LockMutex(fRecord->fHandle, kWaitForever);
  if (r != kq::sys::MutexLock::kLocked) {
    if (r == kq::sys::MutexLock::kAbandoned) kq::sys::UnlockMutex(fRecord->fHandle);
    KQ_THROW(KQ_ECouldNotLockMutex());
  }
  return *this;
}

KQ_TMutex& KQ_TMutex::Release() {
  if (!kq::sys::UnlockMutex(fRecord->fHandle)) KQ_THROW(KQ_ECouldNotUnlockMutex());
  return *this;
}

KQ_TMutex& KQ_TMutex::operator++(int) { return Lock(); }
KQ_TMutex& KQ_TMutex::operator++() { return Lock(); }
KQ_TMutex& KQ_TMutex::operator--(int) { return Release(); }
KQ_TMutex& KQ_TMutex::operator--() { return Release(); }
