#include "kq_tclass.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "kq_memalloc.h"
#include "kq_protocol.h"
#include "pathbridge.h"

namespace {

constexpr std::uint32_t kBucketCount = 4096;

// One bucket: the records registered under names with this hash, oldest
// first. Readers scan without a lock; a writer publishes a grown copy of the
// array and then the new count, so a reader always sees a complete array.
// A replaced array is never freed, because a reader may still be scanning
// it: the slot behind the last record keeps it reachable. Buckets stay a few
// entries long, so this costs next to nothing.
struct Bucket {
  std::atomic<std::uint32_t> count;
  std::atomic<KQ_TClass* const*> entries;
};

// Zero-initialised before any constructor runs, so the built-in records can
// register themselves during static initialisation in any order.
Bucket gBuckets[kBucketCount];
std::mutex gRegistryWriteLock;
bool gInitialized = false;

void Register(KQ_TClass* record, char const* name) {
  Bucket& bucket = gBuckets[KQ_TClass::BucketOf(name)];
  std::lock_guard<std::mutex> guard(gRegistryWriteLock);
  std::uint32_t const count = bucket.count.load(std::memory_order_relaxed);
  KQ_TClass* const* previous = bucket.entries.load(std::memory_order_relaxed);
  auto** grown = static_cast<KQ_TClass**>(KQ_Alloc((count + 2) * sizeof(KQ_TClass*)));
  if (count != 0) std::memcpy(grown, previous, count * sizeof(KQ_TClass*));
  grown[count] = record;
  grown[count + 1] = reinterpret_cast<KQ_TClass*>(const_cast<KQ_TClass**>(previous));
  bucket.entries.store(grown, std::memory_order_release);
  bucket.count.store(count + 1, std::memory_order_release);
}

bool DebugSwitchOn() {
  static bool const on = [] {
    char const* value = getenv_utf8("DEBUG_KQTCLASS");
    return value != nullptr && value[0] == '1';
  }();
  return on;
}

}  // namespace

std::uint32_t KQ_TClass::BucketOf(char const* name) {
  std::uint32_t h = 0;
  for (char const* p = name; *p != '\0'; ++p) {
    h = h * 65521u +
        static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(*p)));
  }
  return h & (kBucketCount - 1);
}

KQ_TClass::KQ_TClass(bool isInterface, char const* name, std::uint32_t size,
                     KQ_TClass const* parent, Factory_t factory, InitFunction_t initFunction)
    : fIsSetUp(false),
      fIsInterface(isInterface),
      fIsInitialized(false),
      fName(name),
      fSize(size),
      fFactory(factory),
      fInitFunction(initFunction),
      fParent(parent),
      fNrOfInterfaces(0),
      fInterfaces(nullptr) {
  Register(this, name);
}

KQ_TClass& KQ_TClass::operator=(KQ_TClass const& other) {
  fIsSetUp = other.fIsSetUp;
  fIsInterface = other.fIsInterface;
  fIsInitialized = other.fIsInitialized;
  fName = other.fName;
  fSize = other.fSize;
  fFactory = other.fFactory;
  fInitFunction = other.fInitFunction;
  fParent = other.fParent;
  fNrOfInterfaces = other.fNrOfInterfaces;
  fInterfaces = other.fInterfaces;
  return *this;
}

KQ_TClass* KQ_TClass::GetClassObject(bool isInterface, char const* name, std::uint32_t size,
                                     KQ_TClass const* parent, Factory_t factory,
                                     InitFunction_t initFunction) {
  if (KQ_TClass* found = FindClass(name)) return found;
  if (DebugSwitchOn()) {
    std::printf("GetClassObject %s\n", name);
    std::fflush(stdout);
  }
  return new KQ_TClass(isInterface, name, size, parent, factory, initFunction);
}

KQ_TClass* KQ_TClass::FindClass(char const* name) {
  if (name == nullptr) return nullptr;
  Bucket const& bucket = gBuckets[BucketOf(name)];
  std::uint32_t count = bucket.count.load(std::memory_order_acquire);
  KQ_TClass* const* entries = bucket.entries.load(std::memory_order_acquire);
  while (count > 0) {
    KQ_TClass* record = entries[--count];
    if (kq::SameName(record->fName, name)) return record;
  }
  return nullptr;
}

bool KQ_TClass::Initialized() { return gInitialized; }

bool KQ_TClass::HasSuperclass(char const* name) const {
  for (KQ_TClass const* c = this; c != nullptr; c = c->fParent) {
    if (kq::SameName(c->fName, name)) return true;
  }
  return false;
}

bool KQ_TClass::Implements(char const* name) const {
  for (std::uint32_t i = fNrOfInterfaces; i > 0; --i) {
    if (fInterfaces[i - 1]->RecImplements(name)) return true;
  }
  return false;
}

bool KQ_TClass::RecImplements(char const* name) const {
  return kq::SameName(fName, name) || Implements(name);
}

KQ_TClass& KQ_TClass::AddInterface(KQ_TClass const* interfaceRecord) {
  fInterfaces = static_cast<KQ_TClass const**>(
      KQ_Realloc(fInterfaces, (fNrOfInterfaces + 1) * sizeof(KQ_TClass const*)));
  fInterfaces[fNrOfInterfaces++] = interfaceRecord;
  return *this;
}

KQ_TObject* KQ_TClass::CreateInstance() const { return fFactory ? fFactory() : nullptr; }

// Parent first, then the interfaces from the last to the first, then the
// class's own init function. A failure is not remembered, so the next call
// tries again.
bool KQ_TClass::Initialize() const {
  if (fIsInitialized) return true;
  bool ok = fParent == nullptr || fParent->Initialize();
  for (std::uint32_t i = fNrOfInterfaces; ok && i > 0; --i) ok = fInterfaces[i - 1]->Initialize();
  if (ok && fInitFunction != nullptr) ok = fInitFunction();
  fIsInitialized = ok;
  gInitialized = true;
  return ok;
}

KQ_TClass KQ_TClass::sIllegal(true, "ILLEGAL", 0, nullptr, nullptr, nullptr);
KQ_TClass KQ_TClass::sNull(true, "NULL", 0, nullptr, nullptr, nullptr);
KQ_TClass KQ_TClass::sInt8(false, "KQ_TInt8", 1, nullptr, nullptr, nullptr);
KQ_TClass KQ_TClass::sInt16(false, "KQ_TInt16", 2, nullptr, nullptr, nullptr);
KQ_TClass KQ_TClass::sInt32(false, "KQ_TInt32", 4, nullptr, nullptr, nullptr);
KQ_TClass KQ_TClass::sInt64(false, "KQ_TInt64", 8, nullptr, nullptr, nullptr);
KQ_TClass KQ_TClass::sUInt8(false, "KQ_TUInt8", 1, nullptr, nullptr, nullptr);
KQ_TClass KQ_TClass::sUInt16(false, "KQ_TUInt16", 2, nullptr, nullptr, nullptr);
KQ_TClass KQ_TClass::sUInt32(false, "KQ_TUInt32", 4, nullptr, nullptr, nullptr);
KQ_TClass KQ_TClass::sUInt64(false, "KQ_TUInt64", 8, nullptr, nullptr, nullptr);
KQ_TClass KQ_TClass::sBool(false, "KQ_TBool", 1, nullptr, nullptr, nullptr);
KQ_TClass KQ_TClass::sChar(false, "KQ_TChar", 1, nullptr, nullptr, nullptr);
KQ_TClass KQ_TClass::sFloat(false, "KQ_TFloat", 4, nullptr, nullptr, nullptr);
KQ_TClass KQ_TClass::sDouble(false, "KQ_TDouble", 8, nullptr, nullptr, nullptr);
KQ_TClass KQ_TClass::sPointer(false, "KQ_TPointer", sizeof(void*), nullptr, nullptr, nullptr);
KQ_TClass KQ_TClass::sCPointer(false, "KQ_TCPointer", sizeof(void*), nullptr, nullptr, nullptr);

kq::ClassRegistration::ClassRegistration(KQ_TClass const* (*accessor)()) {
  KQ_TClass const* const record = accessor();
  if (KQ_TClass::Initialized()) record->Initialize();
}
