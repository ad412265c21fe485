// The object model: class records, the registry, casts by name, the
// library initialisation function and the interface defaults.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kq_eexception.h"
#include "kq_ihashable.h"
#include "kq_ihumanreadable.h"
#include "kq_initialization.h"
#include "kq_iprintable.h"
#include "kq_iunpacking.h"
#include "kq_tmutex.h"
#include "kq_tstring.h"

namespace {

std::vector<std::string> gInitLog;
bool gDerivedInitSucceeds = false;

}  // namespace

class KQ_TProbeBase : public KQ_TObject, public virtual KQ_IPrintable {
  KQ_CLASS(KQ_TProbeBase, KQ_TObject, KQ_IPrintable)
  static bool KQ_Initialize() {
    gInitLog.push_back("base");
    return true;
  }
  void PrintOn(std::ostream& os) const override { os << "base"; }
};
KQ_CLASS_IMPL_ON_FIRST_USE(KQ_TProbeBase)

class KQ_TProbeDerived : public KQ_TProbeBase,
                         public virtual KQ_IHashable,
                         public virtual KQ_IHumanReadable {
  KQ_CLASS(KQ_TProbeDerived, KQ_TProbeBase, KQ_IHashable, KQ_IHumanReadable)
  static bool KQ_Initialize() {
    gInitLog.push_back("derived");
    return gDerivedInitSucceeds;
  }
  void KQ_Pack(KQ_IPacking&) const override {}
  void KQ_Unpack(KQ_IUnpacking&) override {}
  KQ_IPackable* KQ_Clone(void*) const override { return new KQ_TProbeDerived(*this); }
  bool KQ_IsIdent(KQ_IPackable const& other) const override {
    return other.KQ_Cast("KQ_TProbeDerived") != nullptr;
  }
  bool WriteTo(KQ_THumanReadableStream&) const override { return false; }
  bool ReadFrom(KQ_THumanReadableStream&) override { return false; }
  std::uint32_t KQ_HashValue(std::uint32_t shift) const override { return shift; }
};
KQ_CLASS_IMPL_ON_FIRST_USE(KQ_TProbeDerived)

// An abstract class gets no factory.
class KQ_TProbeAbstract : public KQ_TObject {
  KQ_CLASS(KQ_TProbeAbstract, KQ_TObject)
  virtual void Work() = 0;
};
KQ_CLASS_IMPL(KQ_TProbeAbstract)

// A class with no init function of its own.
class KQ_TProbePlain : public KQ_TObject {
  KQ_CLASS(KQ_TProbePlain, KQ_TObject)
};
KQ_CLASS_IMPL(KQ_TProbePlain)

TEST(ClassRegistry, BuiltInRecordsExistWithoutRegistration) {
  struct Expected {
    char const* name;
    std::uint32_t size;
    bool isInterface;
  };
  Expected const builtIns[] = {
      {"ILLEGAL", 0, true},       {"NULL", 0, true},        {"KQ_TInt8", 1, false},
      {"KQ_TInt16", 2, false},    {"KQ_TInt32", 4, false},  {"KQ_TInt64", 8, false},
      {"KQ_TUInt8", 1, false},    {"KQ_TUInt16", 2, false}, {"KQ_TUInt32", 4, false},
      {"KQ_TUInt64", 8, false},   {"KQ_TBool", 1, false},   {"KQ_TChar", 1, false},
      {"KQ_TFloat", 4, false},    {"KQ_TDouble", 8, false}, {"KQ_TPointer", 8, false},
      {"KQ_TCPointer", 8, false},
  };
  for (Expected const& e : builtIns) {
    KQ_TClass const* record = KQ_TClass::FindClass(e.name);
    ASSERT_NE(record, nullptr) << e.name;
    EXPECT_EQ(record->Size(), e.size) << e.name;
    EXPECT_EQ(record->IsInterface(), e.isInterface) << e.name;
    EXPECT_EQ(record->ParentClass(), nullptr);
    EXPECT_EQ(record->Factory(), nullptr);
    EXPECT_EQ(record->NrOfInterfaces(), 0u);
  }
  EXPECT_EQ(&KQ_TClass::KQ_TUInt32Class(), KQ_TClass::FindClass("KQ_TUInt32"));
  EXPECT_EQ(&KQ_TClass::IllegalClass(), KQ_TClass::FindClass("ILLEGAL"));
  EXPECT_EQ(KQ_TClass::FindClass("KQ_TNoSuchClass"), nullptr);
  EXPECT_EQ(KQ_TClass::FindClass(nullptr), nullptr);
}

TEST(ClassRegistry, BucketHashTreatsBytesAsSignedChars) {
  EXPECT_EQ(KQ_TClass::BucketOf(""), 0u);
  EXPECT_EQ(KQ_TClass::BucketOf("A"), 65u);
  EXPECT_EQ(KQ_TClass::BucketOf("ab"), (97u * 65521u + 98u) & 0xFFFu);
  // 0xC3 as a signed char is -61: h wraps to 0xFFFFFFC3.
  EXPECT_EQ(KQ_TClass::BucketOf("\xC3"), 0xFC3u);
}

TEST(ClassRegistry, SameBucketNamesAndRepeatedRegistration) {
  // Find a second name in the bucket of "A" by search.
  static char const first[] = "A";
  static char candidate[3] = {'\x01', '\x01', '\0'};
  bool found = false;
  for (int b0 = 1; b0 < 128 && !found; ++b0) {
    for (int b1 = 1; b1 < 128 && !found; ++b1) {
      candidate[0] = static_cast<char>(b0);
      candidate[1] = static_cast<char>(b1);
      found = KQ_TClass::BucketOf(candidate) == KQ_TClass::BucketOf(first);
    }
  }
  ASSERT_TRUE(found);
  KQ_TClass* a = KQ_TClass::GetClassObject(false, first, 16, nullptr, nullptr, nullptr);
  KQ_TClass* b = KQ_TClass::GetClassObject(true, candidate, 0, nullptr, nullptr, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(KQ_TClass::FindClass("A"), a);
  EXPECT_EQ(KQ_TClass::FindClass(candidate), b);
  // A second registration returns the first record unchanged.
  KQ_TClass* again = KQ_TClass::GetClassObject(true, "A", 99, nullptr, nullptr, nullptr);
  EXPECT_EQ(again, a);
  EXPECT_EQ(again->Size(), 16u);
  EXPECT_FALSE(again->IsInterface());
}

TEST(ClassRecord, RecordsDescribeParentsInterfacesAndFactories) {
  KQ_TClass const* derived = KQ_TProbeDerived::KQ_ClassObject();
  EXPECT_STREQ(derived->ClassName(), "KQ_TProbeDerived");
  EXPECT_EQ(derived->Size(), sizeof(KQ_TProbeDerived));
  EXPECT_EQ(derived->ParentClass(), KQ_TProbeBase::KQ_ClassObject());
  EXPECT_EQ(KQ_TProbeBase::KQ_ParentClass(), KQ_TObject::KQ_ClassObject());
  EXPECT_EQ(KQ_TObject::KQ_ParentClass(), nullptr);
  ASSERT_EQ(derived->NrOfInterfaces(), 2u);
  EXPECT_STREQ(derived->Interfaces()[0]->ClassName(), "KQ_IHashable");
  EXPECT_STREQ(derived->Interfaces()[1]->ClassName(), "KQ_IHumanReadable");
  EXPECT_EQ(derived, KQ_TClass::FindClass("KQ_TProbeDerived"));

  KQ_TClass const* hashable = KQ_IHashable::KQ_ClassObject();
  EXPECT_TRUE(hashable->IsInterface());
  EXPECT_EQ(hashable->Size(), 0u);
  EXPECT_EQ(hashable->ParentClass(), nullptr);
  ASSERT_EQ(hashable->NrOfInterfaces(), 1u);
  EXPECT_STREQ(hashable->Interfaces()[0]->ClassName(), "KQ_IPackable");
  EXPECT_EQ(KQ_IInterface::KQ_ClassObject()->NrOfInterfaces(), 0u);
  EXPECT_TRUE(KQ_IPrintable::KQ_HasInterface("KQ_IInterface"));

  // Creation by name.
  KQ_TObject* created = KQ_TClass::FindClass("KQ_TProbeDerived")->CreateInstance();
  ASSERT_NE(created, nullptr);
  EXPECT_STREQ(created->ClassName(), "KQ_TProbeDerived");
  delete created;
  EXPECT_EQ(KQ_TProbeAbstract::KQ_Factory(), nullptr);
  EXPECT_EQ(KQ_TProbeAbstract::KQ_ClassObject()->CreateInstance(), nullptr);
  EXPECT_EQ(KQ_TObject::KQ_Factory(), nullptr);

  // Init functions: only classes that declare their own register one.
  EXPECT_NE(KQ_TProbeBase::KQ_ClassObject()->InitFunction(), nullptr);
  EXPECT_EQ(KQ_TProbePlain::KQ_ClassObject()->InitFunction(), nullptr);
}

TEST(ClassRecord, SuperclassAndInterfaceQueries) {
  EXPECT_TRUE(KQ_TObject::KQ_HasSuperclass("KQ_TObject"));
  EXPECT_TRUE(KQ_TProbeDerived::KQ_HasSuperclass("KQ_TObject"));
  EXPECT_TRUE(KQ_TProbeDerived::KQ_HasSuperclass("KQ_TProbeBase"));
  EXPECT_FALSE(KQ_TProbeDerived::KQ_HasSuperclass("KQ_IHashable"));
  EXPECT_FALSE(KQ_TProbeBase::KQ_HasSuperclass("KQ_TProbeDerived"));
  // Interfaces: declared ones and their super-interfaces, not the parent's.
  EXPECT_TRUE(KQ_TProbeDerived::KQ_HasInterface("KQ_IPackable"));
  EXPECT_TRUE(KQ_TProbeDerived::KQ_HasInterface("KQ_IInterface"));
  EXPECT_FALSE(KQ_TProbeDerived::KQ_HasInterface("KQ_IPrintable"));
  EXPECT_FALSE(KQ_TProbeDerived::KQ_HasInterface("KQ_TProbeDerived"));
  EXPECT_TRUE(KQ_TString::KQ_HasInterface("KQ_IPackable"));
  // An exception class declares no interfaces of its own...
  EXPECT_FALSE(KQ_EIllegalCast::KQ_HasInterface("KQ_IThrowable"));
  EXPECT_TRUE(KQ_EException::KQ_HasInterface("KQ_IThrowable"));
  // ...but its objects still cast to them.
  KQ_EIllegalCast cast;
  EXPECT_NE(cast.KQ_Cast("KQ_IThrowable"), nullptr);

  KQ_TProbeDerived object;
  KQ_IPackable const& asPackable = object;
  EXPECT_STREQ(asPackable.ClassName(), "KQ_TProbeDerived");
  EXPECT_TRUE(asPackable.HasInterface("KQ_IHumanReadable"));
  EXPECT_TRUE(asPackable.HasSuperclass("KQ_TProbeBase"));
  EXPECT_TRUE(object.Implements("KQ_IHashable"));
  EXPECT_FALSE(object.Implements("KQ_IPrintable"));
}

TEST(ClassCast, CastsReturnTheRequestedPart) {
  KQ_TProbeDerived object;
  KQ_IInterface const& root = static_cast<KQ_IHashable const&>(object);
  EXPECT_EQ(root.KQ_Cast("KQ_TProbeDerived"), static_cast<void*>(&object));
  EXPECT_EQ(root.KQ_Cast("KQ_TProbeBase"),
            static_cast<void*>(static_cast<KQ_TProbeBase*>(&object)));
  EXPECT_EQ(root.KQ_Cast("KQ_TObject"), static_cast<void*>(static_cast<KQ_TObject*>(&object)));
  EXPECT_EQ(root.KQ_Cast("KQ_IPrintable"),
            static_cast<void*>(static_cast<KQ_IPrintable*>(&object)));
  EXPECT_EQ(root.KQ_Cast("KQ_IPackable"), static_cast<void*>(static_cast<KQ_IPackable*>(&object)));
  EXPECT_EQ(root.KQ_Cast("KQ_IHumanReadable"),
            static_cast<void*>(static_cast<KQ_IHumanReadable*>(&object)));
  EXPECT_EQ(root.KQ_Cast("KQ_IInterface"),
            static_cast<void*>(static_cast<KQ_IInterface*>(&object)));
  EXPECT_EQ(root.KQ_Cast("KQ_IScanable"), nullptr);
  EXPECT_EQ(root.KQ_Cast(nullptr), nullptr);
  EXPECT_EQ(root.KQ_DynamicInfo(nullptr),
            static_cast<void const*>(KQ_TProbeDerived::KQ_ClassObject()));
  EXPECT_EQ(root.KQ_MostDerivedObject(), static_cast<void*>(&object));
  EXPECT_EQ(&root.ClassObject(), KQ_TProbeDerived::KQ_ClassObject());

  KQ_TObject plain;
  EXPECT_EQ(plain.KQ_Cast("KQ_TObject"), static_cast<void*>(&plain));
  EXPECT_EQ(plain.KQ_Cast("KQ_IInterface"), nullptr);
}

TEST(ClassCast, DynamicCastRaisesIllegalCastWithBothNames) {
  KQ_TMutex mutex;
  EXPECT_EQ(mutex.KQ_Cast("KQ_IInterface"), nullptr);
  try {
    mutex.DynamicCast("KQ_IInterface", "caller.cpp", 42);
    FAIL() << "no exception";
  } catch (KQ_EIllegalCast const& e) {
    EXPECT_EQ(e.KQ_Message(), KQ_TString("Illegal cast from \"KQ_TMutex\" to \"KQ_IInterface\""));
    EXPECT_EQ(e.KQ_ExceptionLine(), 42u);
    EXPECT_EQ(e.KQ_ExceptionFile(), KQ_TString("caller.cpp"));
  }
  KQ_TMutex const& constMutex = mutex;
  EXPECT_THROW(constMutex.DynamicCast("KQ_IPackable"), KQ_EIllegalCast);
  EXPECT_EQ(mutex.DynamicCast("KQ_TMutex"), static_cast<void*>(&mutex));
}

TEST(ClassInitialization, ParentFirstAndFailuresRetried) {
  gInitLog.clear();
  gDerivedInitSucceeds = false;
  KQ_TClass const* derived = KQ_TProbeDerived::KQ_ClassObject();
  EXPECT_FALSE(derived->Initialize());
  EXPECT_FALSE(derived->IsInitialized());
  EXPECT_TRUE(KQ_TProbeBase::KQ_ClassObject()->IsInitialized());
  EXPECT_TRUE(KQ_TClass::Initialized());
  gDerivedInitSucceeds = true;
  EXPECT_TRUE(derived->Initialize());
  EXPECT_TRUE(derived->IsInitialized());
  // Once initialised, nothing runs again.
  EXPECT_TRUE(derived->Initialize());
  EXPECT_EQ(gInitLog, (std::vector<std::string>{"base", "derived", "derived"}));
}

// Of a sample of the library's classes and interfaces and every class of
// the exception table, the names whose records are missing or not
// initialised. Only looks records up: creates none.
std::vector<std::string> RecordsNotInitialised() {
  static char const* const kNames[] = {"KQ_IInterface",
                                       "KQ_TObject",
                                       "KQ_TString",
                                       "KQ_TAny",
                                       "KQ_TList",
                                       "KQ_TStackEntry",
                                       "KQ_TMutex",
                                       "KQ_TSemaphore",
                                       "KQ_TIterator",
                                       "KQ_TConstIterator",
                                       "KQ_TListIterationInfo",
                                       "KQ_IRunnable",
                                       "KQ_TQueueIterationInfo",
                                       "KQ_EException",
#define KQ_EXCEPTION_NAME_(X, Parent) #X,
                                       KQ_EXCEPTION_TREE(KQ_EXCEPTION_NAME_)
#undef KQ_EXCEPTION_NAME_
  };
  std::vector<std::string> missing;
  for (char const* name : kNames) {
    KQ_TClass const* record = KQ_TClass::FindClass(name);
    if (record == nullptr || !record->IsInitialized()) missing.emplace_back(name);
  }
  return missing;
}

TEST(ClassInitialization, LibraryFunctionInitialisesEveryRecord) {
  EXPECT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__());
  EXPECT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__());
  EXPECT_EQ(RecordsNotInitialised(), std::vector<std::string>{});
}

// Several threads make the first call of the library function at once;
// every one must see true and, at that moment, the whole sequence done,
// also those that called while another thread was running it. Exits with 0
// when so, else prints what went wrong and exits with 1.
void CallTheLibraryFunctionFromSeveralThreadsAtOnce() {
  constexpr int kThreads = 8;
  std::atomic<int> arriving{kThreads};
  std::vector<int> results(kThreads, -1);
  std::vector<std::vector<std::string>> missing(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      arriving.fetch_sub(1);
      while (arriving.load() > 0) std::this_thread::yield();
      results[i] = __KQ_INITIALIZATION_FUNCTION_kqtypes__() ? 1 : 0;
      missing[i] = RecordsNotInitialised();
    });
  }
  for (std::thread& thread : threads) thread.join();
  bool ok = __KQ_INITIALIZATION_FUNCTION_kqtypes__();
  for (int i = 0; i < kThreads; ++i) {
    if (results[i] != 1 || !missing[i].empty()) {
      std::fprintf(stderr, "thread %d: result %d, %zu records not initialised\n", i, results[i],
                   missing[i].size());
      ok = false;
    }
  }
  std::exit(ok ? 0 : 1);
}

TEST(ClassInitialization, LibraryFunctionCalledFromSeveralThreadsAtOnce) {
  // Each round runs in a process of its own, so that each makes the first
  // call again.
  for (int round = 0; round < 10; ++round) {
    EXPECT_EXIT(CallTheLibraryFunctionFromSeveralThreadsAtOnce(), testing::ExitedWithCode(0), "")
        << "round " << round;
  }
}

TEST(ClassDebugSwitch, SilentWithoutTheVariable) {
  ASSERT_EQ(std::getenv("DEBUG_KQTCLASS"), nullptr);
  testing::internal::CaptureStdout();
  EXPECT_STREQ(KQ_TProbePlain::KQ_ClassName(), "KQ_TProbePlain");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Printable, PrefixFollowsTheThreadIndentation) {
  KQ_IPrintable::SetIndentation(0);
  EXPECT_STREQ(KQ_IPrintable::Prefix(), "");
  KQ_IPrintable::Indent();
  EXPECT_EQ(KQ_IPrintable::Indentation(), 2u);
  KQ_IPrintable::SetIndentation(40);
  EXPECT_EQ(std::string(KQ_IPrintable::Prefix()), std::string(40, ' '));
  KQ_IPrintable::SetIndentation(41);
  EXPECT_EQ(std::string(KQ_IPrintable::Prefix()), std::string(41, ' '));
  KQ_IPrintable::SetIndentation(5);
  KQ_IPrintable::ReverseIndent();
  EXPECT_EQ(KQ_IPrintable::Indentation(), 3u);
  for (std::uint32_t start : {1u, 2u}) {
    KQ_IPrintable::SetIndentation(start);
    KQ_IPrintable::ReverseIndent();
    EXPECT_EQ(KQ_IPrintable::Indentation(), 0u);
  }
  KQ_IPrintable::ReverseIndent();
  EXPECT_EQ(KQ_IPrintable::Indentation(), 0u);
}

TEST(Printable, IndentLevelGivesItsLevelBackAlsoWhenPrintingRaises) {
  KQ_IPrintable::SetIndentation(4);
  try {
    KQ_IPrintable::IndentLevel const outer;
    EXPECT_EQ(KQ_IPrintable::Indentation(), 6u);
    KQ_IPrintable::IndentLevel const inner;
    EXPECT_STREQ(KQ_IPrintable::Prefix(), "        ");
    throw std::runtime_error("printing failed");
  } catch (std::runtime_error const&) {
  }
  EXPECT_EQ(KQ_IPrintable::Indentation(), 4u);
  KQ_IPrintable::SetIndentation(0);
}

TEST(Printable, IndentationIsPerThread) {
  KQ_IPrintable::SetIndentation(6);
  std::uint32_t seenByOther = 99;
  std::thread other([&] {
    seenByOther = KQ_IPrintable::Indentation();
    KQ_IPrintable::SetIndentation(10);
  });
  other.join();
  EXPECT_EQ(seenByOther, 0u);
  EXPECT_EQ(KQ_IPrintable::Indentation(), 6u);
  KQ_IPrintable::SetIndentation(0);
  KQ_TProbeBase base;
  std::ostringstream os;
  os << base;
  EXPECT_EQ(os.str(), "base");
}

namespace {

// Records the sizes that the two-argument ReadPacket passes on.
class RecordingUnpacker : public KQ_TObject, public virtual KQ_IUnpacking {
  KQ_CLASS(RecordingUnpacker, KQ_TObject, KQ_IUnpacking)
  std::vector<std::uint32_t> sizes;
  KQ_IUnpacking& operator>>(KQ_IPackable&) override { return *this; }
  KQ_IUnpacking& operator>>(double&) override { return *this; }
  KQ_IUnpacking& operator>>(float&) override { return *this; }
  KQ_IUnpacking& operator>>(char&) override { return *this; }
  KQ_IUnpacking& operator>>(bool&) override { return *this; }
  KQ_IUnpacking& operator>>(std::uint64_t&) override { return *this; }
  KQ_IUnpacking& operator>>(std::uint32_t& v) override {
    v = 0xA1B2C3D4u;
    return *this;
  }
  KQ_IUnpacking& operator>>(std::uint16_t&) override { return *this; }
  KQ_IUnpacking& operator>>(std::uint8_t&) override { return *this; }
  KQ_IUnpacking& operator>>(std::int64_t& v) override {
    v = -5;
    return *this;
  }
  KQ_IUnpacking& operator>>(std::int32_t&) override { return *this; }
  KQ_IUnpacking& operator>>(std::int16_t&) override { return *this; }
  KQ_IUnpacking& operator>>(std::int8_t&) override { return *this; }
  std::uint32_t ReadPacket(void*, std::uint32_t size, std::uint32_t limit) override {
    sizes.push_back(size);
    sizes.push_back(limit);
    return size;
  }
  using KQ_IUnpacking::ReadPacket;
  KQ_IUnpacking& ReadRawPacket(void*, std::uint32_t) override { return *this; }
  KQ_IUnpacking& ExtractClassHeader(char const*) override { return *this; }
  KQ_IUnpacking& ExtractClassTrailer(char const*) override { return *this; }
  void SkipData() override {}
  unsigned char Peek() override { return 0; }
  KQ_IPackable* Extract(bool) override { return nullptr; }
};
KQ_CLASS_IMPL(RecordingUnpacker)

}  // namespace

TEST(InterfaceDefaults, PackingDefaultsAndWidths) {
  RecordingUnpacker unpacker;
  char buffer[8];
  unpacker.ReadPacket(buffer, 7);
  EXPECT_EQ(unpacker.sizes, (std::vector<std::uint32_t>{7, 7}));
  // Other integer types read the fixed width of their size.
  unsigned int u = 0;
  long long ll = 0;
  unpacker >> u >> ll;
  EXPECT_EQ(u, 0xA1B2C3D4u);
  EXPECT_EQ(ll, -5);

  KQ_TProbeDerived object;
  EXPECT_STREQ(object.KQ_PackTypeID(), "KQ_TProbeDerived");
  EXPECT_EQ(object.KQ_PackClassObject(), KQ_TProbeDerived::KQ_ClassObject());
  EXPECT_TRUE(object.KQ_HRMultiLine());
}
