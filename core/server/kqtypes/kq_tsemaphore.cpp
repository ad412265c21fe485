#include "kq_tsemaphore.h"

#include <atomic>

#include "kq_eexception.h"
#include "platform/kq_sys_semaphore.h"

// Shared by all copies of one semaphore.
struct KQ_TSemaphore::Record {
  std::atomic<std::uint32_t> fReferences;
  kq::sys::Semaphore* fHandle;

  // Closes the handle when the last copy goes.
  void Drop() {
    if (fReferences.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      kq::sys::DeleteSemaphore(fHandle);
      delete this;
    }
  }
};

KQ_CLASS_IMPL(KQ_TSemaphore)

KQ_TSemaphore::KQ_TSemaphore() : KQ_TSemaphore(1) {}

KQ_TSemaphore::KQ_TSemaphore(std::int32_t initialCount) : fRecord(new Record{{1}, nullptr}) {
  if (initialCount >= 0) {
    fRecord->fHandle = kq::sys::NewSemaphore(static_cast<std::uint32_t>(initialCount),
                                             static_cast<std::uint32_t>(kMaximumCount));
  }
  if (fRecord->fHandle == nullptr) {
    delete fRecord;
    fRecord = nullptr;
    KQ_THROW(KQ_ECouldNotCreateSemaphore());
  }
}

KQ_TSemaphore::KQ_TSemaphore(KQ_TSemaphore const& other)
    : KQ_IInterface(other), KQ_TObject(other), fRecord(other.fRecord) {
  fRecord->fReferences.fetch_add(1, std::memory_order_relaxed);
}

KQ_TSemaphore& KQ_TSemaphore::operator=(KQ_TSemaphore const& other) {
  if (other.fRecord != fRecord) {
    other.fRecord->fReferences.fetch_add(1, std::memory_order_relaxed);
    fRecord->Drop();
    fRecord = other.fRecord;
  }
  return *this;
}

KQ_TSemaphore::~KQ_TSemaphore() { fRecord->Drop(); }

bool KQ_TSemaphore::AttemptLock(std::uint32_t milliseconds) {
  return kq::sys::WaitSemaphore(fRecord->fHandle, milliseconds);
}

KQ_TSemaphore& KQ_TSemaphore::Lock() {
  if (!kq::sys::WaitSemaphore(fRecord->fHandle, kWaitForever)) {
    KQ_THROW(KQ_ECouldNotLockSemaphore());
  }
  return *this;
}

KQ_TSemaphore& KQ_TSemaphore::Release() {
  if (!kq::sys::PostSemaphore(fRecord->fHandle)) KQ_THROW(KQ_ECouldNotUnlockSemaphore());
  return *this;
}

KQ_TSemaphore& KQ_TSemaphore::operator++(int) { return Lock(); }
KQ_TSemaphore& KQ_TSemaphore::operator++() { return Lock(); }
KQ_TSemaphore& KQ_TSemaphore::operator--(int) { return Release(); }
KQ_TSemaphore& KQ_TSemaphore::operator--() { return Release(); }
