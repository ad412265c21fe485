#include "kq_tthread.h"

#include <atomic>
#include <cstring>
#include <string>

#include "kq_eexception.h"
#include "kq_tmutex.h"
#include "platform/kq_sys_error.h"
#include "platform/kq_sys_mutex.h"
#include "platform/kq_sys_thread.h"
#include "platform/kq_sys_user.h"

// The operating-system side of a thread, shared by all objects that refer
// to the thread. State, result, thread id and system id are written by the
// thread itself and read by others without a lock; the lock orders Start,
// Stop, SetThreadCode and the waiters' taking of the handle.
struct KQ_TThread::Record {
  std::atomic<std::uint32_t> fReferences{1};
  kq::sys::Mutex* fLock = nullptr;
  kq::sys::Thread* fHandle = nullptr;
  std::atomic<std::uint32_t> fThreadId{0};
  std::atomic<std::int32_t> fState{kNotStarted};
  std::atomic<std::int32_t> fResult{0};
  Function_t fFunction = nullptr;
  KQ_IRunnable* fRunnable = nullptr;
  void* fArgument = nullptr;
  // The object that CurrentThread() gives on the thread and that auto-free
  // deletes; null once that object is gone.
  std::atomic<KQ_TThread*> fOwner{nullptr};
  std::atomic<bool> fAutoFree{false};
  bool fAdopted = false;
  // Set on the thread itself when its last object went while the code ran:
  // the thread frees the record when the code returns.
  bool fOrphaned = false;
  // The system's id of the thread while it runs its code, else 0.
  std::atomic<std::int32_t> fSystemId{0};
  // The priority asked for, or kNoPriority.
  std::atomic<std::int32_t> fPriority{kNoPriority};

  static constexpr std::int32_t kNoPriority = 1000;
};

namespace {

// The thread-tree lock. Made on first use and never destroyed, so that
// threads still running while the process ends can use it.
KQ_TMutex& TreeLock() {
  static KQ_TMutex* const lock = new KQ_TMutex();
  return *lock;
}

// Made while the library loads.
[[maybe_unused]] KQ_TMutex& kTreeLockAtLoad = TreeLock();

// The lock of a thread that was ended while holding it is taken over.
class TreeGuard {
 public:
  TreeGuard() : fHeld(TreeLock().AttemptLock(KQ_TMutex::kWaitForever)) {}
  ~TreeGuard() {
    if (fHeld) TreeLock().Release();
  }
  TreeGuard(TreeGuard const&) = delete;
  TreeGuard& operator=(TreeGuard const&) = delete;

 private:
  bool fHeld;
};

class RecordGuard {
 public:
  explicit RecordGuard(kq::sys::Mutex* lock) : fLock(lock), fHeld(false) {
    kq::sys::MutexLock const locked = kq::sys::LockMutex(lock, kq::sys::kWaitForever);
    fHeld = locked == kq::sys::MutexLock::kLocked || locked == kq::sys::MutexLock::kAbandoned;
  }
  ~RecordGuard() {
    if (fHeld) kq::sys::UnlockMutex(fLock);
  }
  RecordGuard(RecordGuard const&) = delete;
  RecordGuard& operator=(RecordGuard const&) = delete;

 private:
  kq::sys::Mutex* fLock;
  bool fHeld;
};

std::uint32_t NextThreadId() {
  static std::atomic<std::uint32_t> next{1};
  std::uint32_t id = next.fetch_add(1, std::memory_order_relaxed);
  while (id == 0) id = next.fetch_add(1, std::memory_order_relaxed);
  return id;
}

bool IsActive(std::int32_t state) {
  return state == KQ_TThread::kStarting || state == KQ_TThread::kRunning;
}

// The priority scale and its nice values.
std::int32_t LevelOf(std::int32_t priority) {
  if (priority <= -100) return -100;
  if (priority <= -66) return -66;
  if (priority <= -33) return -33;
  if (priority < 33) return 0;
  if (priority < 66) return 33;
  if (priority < 100) return 66;
  return 100;
}

int NiceOf(std::int32_t level) {
  switch (level) {
    case -100:
      return 19;
    case -66:
      return 10;
    case -33:
      return 5;
    case 33:
      return -5;
    case 66:
      return -10;
    case 100:
      return -20;
    default:
      return 0;
  }
}

std::int32_t LevelOfNice(int nice) {
  switch (nice) {
    case 19:
      return -100;
    case 10:
      return -66;
    case 5:
      return -33;
    case -5:
      return 33;
    case -10:
      return 66;
    case -20:
      return 100;
    default:
      return 0;
  }
}

// Children are listed by address: reading them needs no call into an
// object that another thread may be destroying.
KQ_TAny AddressOf(KQ_TThread const* thread) {
  return KQ_TAny(static_cast<void*>(const_cast<KQ_TThread*>(thread)));
}

KQ_TThread* ThreadAt(KQ_TListKey const* key) {
  return static_cast<KQ_TThread*>(static_cast<void*>(key->Value()));
}

// A domain that names this machine's accounts for SetCurrentUser.
bool IsOwnDomain(KQ_TString const& domain) {
  if (domain.Length() == 0 || domain == ".") return true;
  std::string const host = kq::sys::HostName();
  std::string const nis = kq::sys::NisDomainName();
  return domain.CompareWith(KQ_TString(host.c_str()), true) == 0 ||
         (!nis.empty() && domain.CompareWith(KQ_TString(nis.c_str()), true) == 0);
}

}  // namespace

KQ_CLASS_IMPL(KQ_TThread)

KQ_TThread::Record* KQ_TThread::NewRecord(KQ_TThread* owner) {
  auto* record = new Record();
  record->fLock = kq::sys::NewMutex();
  if (record->fLock == nullptr) {
    delete record;
    KQ_THROW(KQ_EOutOfMemory());
  }
  record->fOwner.store(owner, std::memory_order_relaxed);
  return record;
}

// The thread object runs itself; it is a runnable only once constructed.
KQ_TThread::KQ_TThread(void* argument) : KQ_TThread(nullptr, nullptr, argument) {
  fRecord->fRunnable = this;
}

KQ_TThread::KQ_TThread(KQ_IRunnable& runnable, void* argument)
    : KQ_TThread(&runnable, nullptr, argument) {}

KQ_TThread::KQ_TThread(Function_t function, void* argument)
    : KQ_TThread(nullptr, function, argument) {}

KQ_TThread::KQ_TThread(KQ_IRunnable* runnable, Function_t function, void* argument)
    : fParent(nullptr),
      fRecord(NewRecord(this)),
      fCachedKey(nullptr),
      fCachedValue(nullptr),
      fCacheDisabled(false) {
  fRecord->fRunnable = runnable;
  fRecord->fFunction = function;
  fRecord->fArgument = argument;
  LinkToCreator();
}

KQ_TThread::KQ_TThread(AdoptTag)
    : fParent(nullptr),
      fRecord(NewRecord(this)),
      fCachedKey(nullptr),
      fCachedValue(nullptr),
      fCacheDisabled(false) {
  fRecord->fRunnable = this;
}

KQ_TThread::KQ_TThread(KQ_TThread const& other)
    : KQ_IInterface(other),
      KQ_TObject(other),
      KQ_IRunnable(other),
      fProperties(other.fProperties),
      fParent(nullptr),
      fRecord(other.fRecord),
      fCachedKey(nullptr),
      fCachedValue(nullptr),
      fCacheDisabled(false) {
  fRecord->fReferences.fetch_add(1, std::memory_order_relaxed);
  try {
    TreeGuard const guard;
    LinkTo(other.fParent);
  } catch (...) {
    DropRecord(fRecord);
    throw;
  }
}

KQ_TThread& KQ_TThread::operator=(KQ_TThread const& other) {
  if (&other == this) return *this;
  fProperties = other.fProperties;
  ForgetCachedValue();
  Record* old = nullptr;
  {
    TreeGuard const guard;
    if (other.fParent != fParent) {
      UnlinkFromParent();
      LinkTo(other.fParent);
    }
    if (other.fRecord != fRecord) {
      old = fRecord;
      other.fRecord->fReferences.fetch_add(1, std::memory_order_relaxed);
      fRecord = other.fRecord;
    }
  }
  if (old != nullptr) {
    KQ_TThread* expected = this;
    old->fOwner.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
    DropRecord(old);
  }
  return *this;
}

KQ_TThread::~KQ_TThread() {
  {
    TreeGuard const guard;
    for (KQ_TListKey* key = fChildren.IsEmpty() ? nullptr : fChildren.KeyAtHead(); key != nullptr;
         key = key->Next()) {
      KQ_TThread* child = ThreadAt(key);
      if (child->fParent != this) continue;
      child->fParent = fParent;
      if (fParent != nullptr) fParent->fChildren += AddressOf(child);
    }
    UnlinkFromParent();
  }
  KQ_TThread* expected = this;
  fRecord->fOwner.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
  DropRecord(fRecord);
}

void KQ_TThread::LinkToCreator() {
  try {
    TreeGuard const guard;
    LinkTo(&CurrentThread());
  } catch (...) {
    DropRecord(fRecord);
    throw;
  }
}

void KQ_TThread::LinkTo(KQ_TThread* parent) {
  if (parent == nullptr) return;
  parent->fChildren += AddressOf(this);
  fParent = parent;
}

void KQ_TThread::UnlinkFromParent() {
  if (fParent == nullptr) return;
  if (KQ_TListKey* key = fParent->fChildren.KeyOf(AddressOf(this))) fParent->fChildren.Rem(key);
  fParent = nullptr;
}

void KQ_TThread::DropRecord(Record* record) {
  if (record->fReferences.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  bool const onItsThread = kq::sys::ThreadSlot() == record;
  if (onItsThread && !record->fAdopted &&
      IsActive(record->fState.load(std::memory_order_acquire))) {
    // The code is still running on this very thread: let it finish.
    kq::sys::Thread* handle = nullptr;
    {
      RecordGuard const guard(record->fLock);
      handle = record->fHandle;
      record->fHandle = nullptr;
    }
    if (handle != nullptr) kq::sys::CloseThread(handle);
    record->fOrphaned = true;
    return;
  }
  ReleaseSystemThread(record);
  if (onItsThread) kq::sys::SetThreadSlot(nullptr, nullptr);
  kq::sys::DeleteMutex(record->fLock);
  delete record;
}

void KQ_TThread::ReleaseSystemThread(Record* record) {
  kq::sys::Thread* handle = nullptr;
  bool active = false;
  {
    RecordGuard const guard(record->fLock);
    if (record->fThreadId.load(std::memory_order_relaxed) == 0) return;
    std::int32_t const state = record->fState.load(std::memory_order_acquire);
    active = IsActive(state);
    if (state == kNotStarted || active) record->fState.store(kFailed, std::memory_order_release);
    handle = record->fHandle;
    record->fHandle = nullptr;
    record->fThreadId.store(0, std::memory_order_release);
    // The system id of a thread about to end may be reused.
    if (active && handle != nullptr) record->fSystemId.store(0, std::memory_order_seq_cst);
  }
  if (handle == nullptr) return;
  if (active) {
    kq::sys::KillThread(handle);
  } else {
    kq::sys::CloseThread(handle);
  }
}

void KQ_TThread::Entry(void* argument) {
  auto* record = static_cast<Record*>(argument);
  kq::sys::SetThreadSlot(record, nullptr);
  std::int32_t const systemId = kq::sys::SystemThreadId();
  record->fSystemId.store(systemId, std::memory_order_seq_cst);
  std::int32_t const priority = record->fPriority.load(std::memory_order_seq_cst);
  if (priority != Record::kNoPriority) kq::sys::SetThreadNice(systemId, NiceOf(priority));
  record->fState.store(kRunning, std::memory_order_release);
  bool finished = false;
  if (record->fFunction != nullptr || record->fRunnable != nullptr) {
    // An exception from the code ends it as failed; when the thread itself
    // is ended from inside the code, the record is left before it goes.
    finished = kq::sys::RunThreadBody(
        [](void* code) {
          auto* r = static_cast<Record*>(code);
          r->fResult.store(r->fFunction != nullptr ? r->fFunction(r->fArgument)
                                                   : r->fRunnable->Run(r->fArgument),
                           std::memory_order_relaxed);
        },
        record, [](void* ending) { Leave(static_cast<Record*>(ending), false); });
  }
  Leave(record, finished);
}

void KQ_TThread::Leave(Record* record, bool finished) {
  record->fSystemId.store(0, std::memory_order_seq_cst);
  bool const autoFree = record->fAutoFree.load(std::memory_order_acquire);
  KQ_TThread* const owner = record->fOwner.load(std::memory_order_acquire);
  bool const orphaned = record->fOrphaned;
  // Once the state is published another thread may release the object and
  // the record: from here on the record is read only when this thread owns
  // it (orphaned).
  record->fState.store(finished ? kFinished : kFailed, std::memory_order_release);
  // From here on CurrentThread() on this thread adopts it afresh (the
  // object may go at any time).
  if (kq::sys::ThreadSlot() == record) kq::sys::SetThreadSlot(nullptr, nullptr);
  if (orphaned) {
    kq::sys::DeleteMutex(record->fLock);
    delete record;
  } else if (autoFree && owner != nullptr) {
    delete owner;
  }
}

void KQ_TThread::AdoptedThreadEnded(void* argument) {
  auto* record = static_cast<Record*>(argument);
  if (KQ_TThread* owner = record->fOwner.load(std::memory_order_acquire)) delete owner;
}

KQ_TThread& KQ_TThread::Adopt() {
  auto* thread = new KQ_TThread(AdoptTag{});
  Record* record = thread->fRecord;
  record->fAdopted = true;
  record->fThreadId.store(NextThreadId(), std::memory_order_relaxed);
  record->fSystemId.store(kq::sys::SystemThreadId(), std::memory_order_seq_cst);
  record->fState.store(kRunning, std::memory_order_release);
  kq::sys::SetThreadSlot(record, &AdoptedThreadEnded);
  return *thread;
}

KQ_TThread& KQ_TThread::CurrentThread() {
  auto* record = static_cast<Record*>(kq::sys::ThreadSlot());
  if (record != nullptr) {
    if (KQ_TThread* owner = record->fOwner.load(std::memory_order_acquire)) return *owner;
  }
  return Adopt();
}

KQ_TThread& KQ_TThread::operator=(Function_t function) { return SetThreadCode(function, nullptr); }

KQ_TThread& KQ_TThread::operator=(KQ_IRunnable& runnable) {
  return SetThreadCode(runnable, nullptr);
}

KQ_TThread& KQ_TThread::SetThreadCode(Function_t function, void* argument) {
  RecordGuard const guard(fRecord->fLock);
  if (fRecord->fThreadId.load(std::memory_order_relaxed) != 0) {
    KQ_THROW(KQ_EThreadAlreadyStarted());
  }
  fRecord->fFunction = function;
  fRecord->fRunnable = nullptr;
  fRecord->fArgument = argument;
  return *this;
}

KQ_TThread& KQ_TThread::SetThreadCode(KQ_IRunnable& runnable, void* argument) {
  RecordGuard const guard(fRecord->fLock);
  if (fRecord->fThreadId.load(std::memory_order_relaxed) != 0) {
    KQ_THROW(KQ_EThreadAlreadyStarted());
  }
  fRecord->fFunction = nullptr;
  fRecord->fRunnable = &runnable;
  fRecord->fArgument = argument;
  return *this;
}

KQ_TThread& KQ_TThread::Start() {
  Record* record = fRecord;
  RecordGuard const guard(record->fLock);
  if (record->fThreadId.load(std::memory_order_relaxed) != 0) {
    KQ_THROW(KQ_EThreadAlreadyStarted());
  }
  kq::sys::Thread* handle = kq::sys::NewThread();
  if (handle == nullptr) KQ_THROW(KQ_ECouldNotCreateThread());
  std::int32_t const previous = record->fState.load(std::memory_order_relaxed);
  record->fHandle = handle;
  record->fThreadId.store(NextThreadId(), std::memory_order_release);
  record->fState.store(kStarting, std::memory_order_release);
  if (!kq::sys::LaunchThread(handle, &Entry, record)) {
    std::uint32_t const error = kq::sys::LastError();
    record->fState.store(previous, std::memory_order_release);
    record->fThreadId.store(0, std::memory_order_release);
    record->fHandle = nullptr;
    kq::sys::CloseThread(handle);
    kq::sys::SetLastError(error);
    KQ_THROW(KQ_ECouldNotCreateThread());
  }
  return *this;
}

KQ_TThread& KQ_TThread::Stop() {
  ReleaseSystemThread(fRecord);
  return *this;
}

KQ_TThread& KQ_TThread::Join() {
  Record* record = fRecord;
  kq::sys::Thread* handle = nullptr;
  {
    RecordGuard const guard(record->fLock);
    if (record->fThreadId.load(std::memory_order_relaxed) == 0 ||
        !IsActive(record->fState.load(std::memory_order_acquire))) {
      return *this;
    }
    handle = record->fHandle;
    if (handle != nullptr) kq::sys::RetainThread(handle);
  }
  bool const waited = handle != nullptr && kq::sys::WaitForThread(handle);
  if (handle != nullptr) kq::sys::ReleaseThread(handle);
  if (!waited) KQ_THROW(KQ_EThreadException());
  return *this;
}

KQ_TThread& KQ_TThread::JoinChildren() {
  for (;;) {
    kq::sys::Thread* handle = nullptr;
    {
      TreeGuard const guard;
      for (KQ_TListKey* key = fChildren.IsEmpty() ? nullptr : fChildren.KeyAtHead();
           key != nullptr && handle == nullptr; key = key->Next()) {
        Record* child = ThreadAt(key)->fRecord;
        RecordGuard const childGuard(child->fLock);
        if (child->fHandle != nullptr && IsActive(child->fState.load(std::memory_order_acquire))) {
          handle = child->fHandle;
          kq::sys::RetainThread(handle);
        }
      }
    }
    if (handle == nullptr) return *this;
    bool const waited = kq::sys::WaitForThread(handle);
    kq::sys::ReleaseThread(handle);
    if (!waited) KQ_THROW(KQ_EThreadException());
  }
}

bool KQ_TThread::IsRunning() const {
  return IsActive(fRecord->fState.load(std::memory_order_acquire));
}

bool KQ_TThread::IsFinished() const {
  return fRecord->fState.load(std::memory_order_acquire) == kFinished;
}

bool KQ_TThread::HasFailed() const {
  return fRecord->fState.load(std::memory_order_acquire) == kFailed;
}

std::int32_t KQ_TThread::Result() const { return fRecord->fResult.load(std::memory_order_acquire); }

signed char KQ_TThread::Priority() const {
  std::int32_t const systemId = fRecord->fSystemId.load(std::memory_order_seq_cst);
  int nice = 0;
  if (systemId != 0 && kq::sys::ThreadNice(systemId, &nice)) {
    return static_cast<signed char>(LevelOfNice(nice));
  }
  std::int32_t const asked = fRecord->fPriority.load(std::memory_order_relaxed);
  return static_cast<signed char>(asked == Record::kNoPriority ? 0 : asked);
}

KQ_TThread& KQ_TThread::SetPriority(signed char priority) {
  std::int32_t const level = LevelOf(priority);
  // Entry stores the system id and then reads the priority; in this order
  // here, at least one of the two sides sees the other's store.
  fRecord->fPriority.store(level, std::memory_order_seq_cst);
  std::int32_t const systemId = fRecord->fSystemId.load(std::memory_order_seq_cst);
  if (systemId != 0) kq::sys::SetThreadNice(systemId, NiceOf(level));
  return *this;
}

bool KQ_TThread::AutoFree() const { return fRecord->fAutoFree.load(std::memory_order_acquire); }

KQ_TThread& KQ_TThread::SetAutoFree(bool autoFree) {
  fRecord->fAutoFree.store(autoFree, std::memory_order_release);
  return *this;
}

bool KQ_TThread::HasKey(wchar_t const* key) const { return fProperties.HasKey(key); }
bool KQ_TThread::HasKey(char const* key) const { return fProperties.HasKey(key); }
bool KQ_TThread::HasKey(char16_t const* key) const { return fProperties.HasKey(key); }
bool KQ_TThread::HasKey(KQ_IHashable const& key) const { return fProperties.HasKey(key); }

bool KQ_TThread::Contains(KQ_TAny const& value) const { return fProperties.Contains(value); }

KQ_IHashable const& KQ_TThread::KeyOf(KQ_TAny const& value) const {
  return fProperties.KeyOf(value);
}

KQ_TAny const& KQ_TThread::operator[](wchar_t const* key) const { return fProperties[key]; }
KQ_TAny const& KQ_TThread::operator[](char const* key) const { return fProperties[key]; }
KQ_TAny const& KQ_TThread::operator[](char16_t const* key) const { return fProperties[key]; }
KQ_TAny const& KQ_TThread::operator[](KQ_IHashable const& key) const { return fProperties[key]; }

KQ_TAny& KQ_TThread::operator[](wchar_t const* key) {
  ForgetCachedValue();
  return fProperties[key];
}

KQ_TAny& KQ_TThread::operator[](char const* key) {
  ForgetCachedValue();
  return fProperties[key];
}

KQ_TAny& KQ_TThread::operator[](char16_t const* key) {
  ForgetCachedValue();
  return fProperties[key];
}

KQ_TAny& KQ_TThread::operator[](KQ_IHashable const& key) {
  ForgetCachedValue();
  return fProperties[key];
}

KQ_TAny* KQ_TThread::ValueOfKey(wchar_t const* key) { return fProperties.ValueOfKey(key); }
KQ_TAny* KQ_TThread::ValueOfKey(char const* key) { return fProperties.ValueOfKey(key); }
KQ_TAny* KQ_TThread::ValueOfKey(char16_t const* key) { return fProperties.ValueOfKey(key); }
KQ_TAny* KQ_TThread::ValueOfKey(KQ_IHashable const& key) { return fProperties.ValueOfKey(key); }

KQ_TThread& KQ_TThread::Add(wchar_t const* key, KQ_TAny const& value) {
  ForgetCachedValue();
  fProperties.Add(key, value);
  return *this;
}

KQ_TThread& KQ_TThread::Add(char const* key, KQ_TAny const& value) {
  ForgetCachedValue();
  fProperties.Add(key, value);
  return *this;
}

KQ_TThread& KQ_TThread::Add(char16_t const* key, KQ_TAny const& value) {
  ForgetCachedValue();
  fProperties.Add(key, value);
  return *this;
}

KQ_TThread& KQ_TThread::Add(KQ_IHashable const& key, KQ_TAny const& value) {
  ForgetCachedValue();
  fProperties.Add(key, value);
  return *this;
}

KQ_TThread& KQ_TThread::Remove(wchar_t const* key) {
  ForgetCachedValue();
  fProperties.Remove(key);
  return *this;
}

KQ_TThread& KQ_TThread::Remove(char const* key) {
  ForgetCachedValue();
  fProperties.Remove(key);
  return *this;
}

KQ_TThread& KQ_TThread::Remove(char16_t const* key) {
  ForgetCachedValue();
  fProperties.Remove(key);
  return *this;
}

KQ_TThread& KQ_TThread::Remove(KQ_IHashable const& key) {
  ForgetCachedValue();
  fProperties.Remove(key);
  return *this;
}

KQ_IIterationInfo* KQ_TThread::CreateIterationInfo() const {
  // The cursor may delete the cached entry at any time from now on.
  fCacheDisabled = true;
  ForgetCachedValue();
  return fProperties.CreateIterationInfo();
}

std::int32_t KQ_TThread::Run(void*) { return 0; }

KQ_TAny* KQ_TThread::CachedValueOfKey(KQ_TString const& key) {
  if (fCachedKey == &key) return fCachedValue;
  KQ_TAny* value = fProperties.ValueOfKey(static_cast<KQ_IHashable const&>(key));
  if (!fCacheDisabled) {
    fCachedKey = &key;
    fCachedValue = value;
  }
  return value;
}

std::int32_t KQ_TThread::ThreadState() const {
  return fRecord->fState.load(std::memory_order_acquire);
}

std::uint32_t KQ_TThread::ThreadID() const {
  return fRecord->fThreadId.load(std::memory_order_acquire);
}

KQ_TThread* KQ_TThread::Parent() const {
  TreeGuard const guard;
  return fParent;
}

KQ_TList KQ_TThread::Children() const {
  TreeGuard const guard;
  return fChildren;
}

void KQ_TThread::Sleep(std::uint32_t milliseconds) { kq::sys::SleepMilliseconds(milliseconds); }

KQ_TUserInfo KQ_TThread::CurrentUser() { return KQ_TUserInfo::CurrentUser(); }

KQ_TUserInfo KQ_TThread::SetCurrentUser(KQ_TUserInfo const& user, KQ_TString const& password) {
  if (!IsOwnDomain(user.Domain())) KQ_THROW(KQ_EThreadIllegalUserOrPassword());
  KQ_TUserInfo previous = KQ_TUserInfo::CurrentUser();
  std::string const name = user.UserID().UTF8();
  // A temporary of the ring; wiped at once so that the password does not
  // linger there.
  char* secret = password;
  kq::sys::SwitchResult const result = kq::sys::SwitchThreadUser(name.c_str(), secret);
  std::memset(secret, 0, std::strlen(secret));
  switch (result) {
    case kq::sys::SwitchResult::kSwitched:
      return previous;
    case kq::sys::SwitchResult::kAccountDisabled:
      KQ_THROW(KQ_EThreadAccountDisabled());
    case kq::sys::SwitchResult::kNotPrivileged:
      KQ_THROW(KQ_EThreadNotPrivileged());
    case kq::sys::SwitchResult::kIllegalUserOrPassword:
      break;
  }
  KQ_THROW(KQ_EThreadIllegalUserOrPassword());
}

KQ_TUserInfo KQ_TThread::RevertToOriginalUser() {
  KQ_TUserInfo previous = KQ_TUserInfo::CurrentUser();
  if (!kq::sys::RevertThreadUser()) KQ_THROW(KQ_EThreadNotPrivileged());
  return previous;
}
