#include "kq_tevent.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "kq_eexception.h"
#include "kq_tmutex.h"
#include "kq_tthread.h"
#include "pathbridge.h"
#include "platform/kq_sys_event.h"

// Shared by all copies of one event.
struct KQ_TEvent::Record {
  std::atomic<std::uint32_t> fReferences{1};
  kq::sys::Event* fEvent = nullptr;
  // The monitor lock.
  KQ_TMutex fLock;
  // How often the holder of fLock took it through Lock; guarded by fLock.
  // Zero whenever fLock is free.
  std::uint32_t fLockCount = 0;

  ~Record() { kq::sys::DeleteEvent(fEvent); }

  // Frees the record when the last copy goes.
  void Drop() {
    if (fReferences.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
};

namespace {

// Whether the debug lines are on. Each line's site asks once, at its first
// use, and keeps the answer.
bool DebugEnabled() {
  char const* value = getenv_utf8("KQ_TEVENT_DEBUG");
  return value != nullptr && std::atoi(value) >= 5;
}

unsigned long AddressOf(void const* p) {
  return static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(p));
}

// One debug line naming the calling thread and the event.
void Trace(char const* format, void const* event) {
  std::fprintf(stderr, format, AddressOf(&KQ_TThread::CurrentThread()), AddressOf(event));
}

// One debug line naming the calling thread, the event and its lock count.
void Trace(char const* format, void const* event, std::uint32_t count) {
  std::fprintf(stderr, format, AddressOf(&KQ_TThread::CurrentThread()), AddressOf(event),
               static_cast<int>(count));
}

}  // namespace

KQ_CLASS_IMPL(KQ_TEvent)

KQ_TEvent::KQ_TEvent() : fRecord(new Record()) {
  fRecord->fEvent = kq::sys::NewEvent();
  if (fRecord->fEvent == nullptr) {
    delete fRecord;
    fRecord = nullptr;
    KQ_THROW(KQ_ECouldNotCreateEvent());
  }
}

KQ_TEvent::KQ_TEvent(KQ_TEvent const& other)
    : KQ_IInterface(other), KQ_TObject(other), fRecord(other.fRecord) {
  fRecord->fReferences.fetch_add(1, std::memory_order_relaxed);
}

KQ_TEvent& KQ_TEvent::operator=(KQ_TEvent const& other) {
  if (other.fRecord != fRecord) {
    other.fRecord->fReferences.fetch_add(1, std::memory_order_relaxed);
    fRecord->Drop();
    fRecord = other.fRecord;
  }
  return *this;
}

KQ_TEvent::~KQ_TEvent() { fRecord->Drop(); }

bool KQ_TEvent::Wait(std::uint32_t milliseconds) {
  Record* const r = fRecord;
  // A temporary hold, so that the count can be read and the caller's holds
  // given up while nobody else can change either.
  r->fLock.Lock();
  std::uint32_t const held = r->fLockCount;
  for (std::uint32_t i = 0; i < held; ++i) r->fLock.Release();
  r->fLockCount = 0;
  // The ticket is taken before the last hold goes, so a Signal given under
  // the lock after the caller looked at its condition reaches this wait.
  std::uint32_t const ticket = kq::sys::BeginWait(r->fEvent);
  r->fLock.Release();
  bool const signalled = kq::sys::EndWait(r->fEvent, ticket, milliseconds);
  r->fLock.Lock();
  r->fLockCount = 0;
  for (std::uint32_t i = 0; i < held; ++i) {
    r->fLock.Lock();
    ++r->fLockCount;
  }
  r->fLock.Release();
  return signalled;
}

KQ_TEvent& KQ_TEvent::Wait() {
  if (!Wait(kWaitForever)) KQ_THROW(KQ_ECouldNotWaitOnEvent());
  return *this;
}

KQ_TEvent& KQ_TEvent::Signal() {
  Record* const r = fRecord;
  r->fLock.Lock();
  static bool const debugSignaling = DebugEnabled();
  if (debugSignaling) Trace("Thread 0x%08lx is signaling event 0x%08lx\n", r);
  if (!kq::sys::PulseEvent(r->fEvent)) {
    static bool const debugFailed = DebugEnabled();
    if (debugFailed) Trace("Thread 0x%08lx failed to signal event 0x%08lx\n", r);
    r->fLock.Release();
    KQ_THROW(KQ_ECouldNotSignalEvent());
  }
  static bool const debugSignaled = DebugEnabled();
  if (debugSignaled) Trace("Thread 0x%08lx is signaled event 0x%08lx\n", r);
  r->fLock.Release();
  return *this;
}

KQ_TEvent& KQ_TEvent::operator++(int) { return Wait(); }
KQ_TEvent& KQ_TEvent::operator++() { return Wait(); }
KQ_TEvent& KQ_TEvent::operator--(int) { return Signal(); }
KQ_TEvent& KQ_TEvent::operator--() { return Signal(); }

KQ_TEvent& KQ_TEvent::Lock() {
  Record* const r = fRecord;
  r->fLock.Lock();
  std::uint32_t const count = ++r->fLockCount;
  static bool const debug = DebugEnabled();
  if (debug) Trace("Thread 0x%08lx locked event 0x%08lx: now %d locks\n", r, count);
  return *this;
}

KQ_TEvent& KQ_TEvent::Unlock() {
  Record* const r = fRecord;
  // Only the holder may touch the count. An immediate attempt succeeds for
  // the holder, or when the lock is free, where the count is 0; a thread
  // without a hold is refused before it changes anything.
  if (!r->fLock.AttemptLock(0)) KQ_THROW(KQ_ECouldNotUnlockMutex());
  if (r->fLockCount == 0) {
    r->fLock.Release();
    KQ_THROW(KQ_ECouldNotUnlockMutex());
  }
  std::uint32_t const count = --r->fLockCount;
  static bool const debug = DebugEnabled();
  if (debug) Trace("Thread 0x%08lx unlocked event 0x%08lx: now %d locks\n", r, count);
  r->fLock.Release();
  r->fLock.Release();
  return *this;
}

std::uint32_t KQ_TEvent::Delock() {
  Record* const r = fRecord;
  // As in Unlock: a thread that another thread's hold keeps out has nothing
  // to give up.
  if (!r->fLock.AttemptLock(0)) return 0;
  std::uint32_t const held = r->fLockCount;
  for (std::uint32_t i = 0; i < held; ++i) r->fLock.Release();
  r->fLockCount = 0;
  r->fLock.Release();
  return held;
}

KQ_TEvent& KQ_TEvent::Relock(std::uint32_t count) {
  Record* const r = fRecord;
  r->fLock.Lock();
  r->fLockCount = 1;
  while (r->fLockCount < count) {
    r->fLock.Lock();
    ++r->fLockCount;
  }
  return *this;
}
