// The object model: class records, the registry, casts by name, the
// library initialisation function and the interface defaults.
#include <ctime>
#include <iterator>
#include <set>

#include "kq_ihashable.h"
#include "kq_initialization.h"
#include "kqtypes.h"
#include "test_support.h"

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

// The records of the basic kinds are checked with the Any's kinds.
TEST(ClassRegistry, BucketsChainNamesAndRepeatedRegistrationKeepsTheFirst) {
  EXPECT_EQ(KQ_TClass::FindClass("KQ_TNoSuchClass"), nullptr);
  EXPECT_EQ(KQ_TClass::FindClass(nullptr), nullptr);
  EXPECT_EQ(KQ_TClass::BucketOf("ab"), (97u * 65521u + 98u) & 0xFFFu);
  // 0xC3 as a signed char is -61: h wraps to 0xFFFFFFC3.
  EXPECT_EQ(KQ_TClass::BucketOf("\xC3"), 0xFC3u);
  // "\x01P" hashes to 65521 + 80, whose low twelve bits are those of "A".
  static char const first[] = "A";
  static char const candidate[] = "\x01P";
  ASSERT_EQ(KQ_TClass::BucketOf(candidate), 65u);
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

// Names, parents, declared interfaces and factories of the library's own
// classes are checked by the class protocol table below; the probes add
// sizes, interface records, abstract classes and init functions.
TEST(ClassRecord, RecordsDescribeSizesInterfacesAndFactories) {
  KQ_TClass const* derived = KQ_TProbeDerived::KQ_ClassObject();
  EXPECT_EQ(derived->Size(), sizeof(KQ_TProbeDerived));
  EXPECT_EQ(derived->ParentClass(), KQ_TProbeBase::KQ_ClassObject());
  ASSERT_EQ(derived->NrOfInterfaces(), 2u);
  EXPECT_STREQ(derived->Interfaces()[1]->ClassName(), "KQ_IHumanReadable");
  EXPECT_EQ(KQ_TObject::KQ_ParentClass(), nullptr);

  KQ_TClass const* hashable = KQ_IHashable::KQ_ClassObject();
  EXPECT_TRUE(hashable->IsInterface());
  EXPECT_EQ(hashable->Size(), 0u);
  EXPECT_TRUE(KQ_IPrintable::KQ_HasInterface("KQ_IInterface"));

  std::unique_ptr<KQ_TObject> created(derived->CreateInstance());
  ASSERT_NE(created, nullptr);
  EXPECT_STREQ(created->ClassName(), "KQ_TProbeDerived");
  EXPECT_EQ(KQ_TProbeAbstract::KQ_ClassObject()->CreateInstance(), nullptr);
  EXPECT_EQ(KQ_TObject::KQ_Factory(), nullptr);
  // Init functions: only classes that declare their own register one.
  EXPECT_NE(KQ_TProbeBase::KQ_ClassObject()->InitFunction(), nullptr);
  EXPECT_EQ(KQ_TProbePlain::KQ_ClassObject()->InitFunction(), nullptr);

  // Interfaces: declared ones and their super-interfaces, not the parent's.
  EXPECT_FALSE(KQ_TProbeDerived::KQ_HasSuperclass("KQ_IHashable"));
  EXPECT_TRUE(KQ_TProbeDerived::KQ_HasInterface("KQ_IPackable"));
  EXPECT_FALSE(KQ_TProbeDerived::KQ_HasInterface("KQ_IPrintable"));
}

// Through virtual bases a cast by name gives the address of the part.
TEST(ClassCast, CastsReturnTheRequestedPart) {
  KQ_TProbeDerived object;
  KQ_IInterface const& root = static_cast<KQ_IHashable const&>(object);
  EXPECT_EQ(root.KQ_Cast("KQ_TProbeDerived"), static_cast<void*>(&object));
  EXPECT_EQ(root.KQ_Cast("KQ_TProbeBase"),
            static_cast<void*>(static_cast<KQ_TProbeBase*>(&object)));
  EXPECT_EQ(root.KQ_Cast("KQ_IPrintable"),
            static_cast<void*>(static_cast<KQ_IPrintable*>(&object)));
  EXPECT_EQ(root.KQ_Cast("KQ_IInterface"),
            static_cast<void*>(static_cast<KQ_IInterface*>(&object)));
  EXPECT_EQ(root.KQ_Cast(nullptr), nullptr);
  EXPECT_EQ(root.KQ_MostDerivedObject(), static_cast<void*>(&object));
  EXPECT_EQ(&root.ClassObject(), KQ_TProbeDerived::KQ_ClassObject());
  KQ_TObject plain;
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
  EXPECT_THROW(static_cast<KQ_TMutex const&>(mutex).DynamicCast("KQ_IPackable"), KQ_EIllegalCast);
  EXPECT_EQ(mutex.DynamicCast("KQ_TMutex"), static_cast<void*>(&mutex));
}

// The class protocol of the library's classes: the record's name and
// parent, the interfaces it declares in order, the packing code under which
// the data stream knows it (-1: none) and the class of the cursor its
// objects hand out. The registry creates an object of every one.
struct ClassFacts {
  KQ_TClass const* record;
  char const* name;
  char const* parent;
  char const* interfaces;  // separated by blanks
  int code;
  char const* cursor;
};

char const* const kObject = "KQ_TObject";
char const* const kContainer = "KQ_IPackable KQ_IIteratable KQ_IPrintable KQ_IHumanReadable";
char const* const kValue = "KQ_IPackable KQ_IPrintable KQ_IHumanReadable";
char const* const kRecord = "KQ_IPackable KQ_IHumanReadable";
char const* const kStream = "KQ_IStream";
char const* const kCursor = "KQ_IIterationInfo";

#define KQ_FACTS_(X) X::KQ_ClassObject(), #X
ClassFacts const kClassFacts[] = {
    {KQ_FACTS_(KQ_TString), kObject, "KQ_IHashable KQ_IPrintable KQ_IScanable KQ_IHumanReadable",
     65, nullptr},
    {KQ_FACTS_(KQ_TAny), kObject, "KQ_IHashable KQ_IPrintable KQ_IHumanReadable", 64, nullptr},
    {KQ_FACTS_(KQ_TURL), kObject,
     "KQ_IPackable KQ_IHashable KQ_IPrintable KQ_IScanable KQ_IHumanReadable", 0x43, nullptr},
    {KQ_FACTS_(KQ_TArray), kObject, kContainer, 70, "KQ_TArrayIterationInfo"},
    {KQ_FACTS_(KQ_TDict), kObject, kContainer, 69, "KQ_TDictIterationInfo"},
    {KQ_FACTS_(KQ_TList), kObject, kContainer, 71, "KQ_TListIterationInfo"},
    {KQ_FACTS_(KQ_TQueue), kObject, kContainer, -1, "KQ_TQueueIterationInfo"},
    {KQ_FACTS_(KQ_TTree), kObject, kContainer, 73, "KQ_TTreeIterationInfo"},
    {KQ_FACTS_(KQ_TArrayIterationInfo), kObject, kCursor, -1, nullptr},
    {KQ_FACTS_(KQ_TIterator), kObject, "", -1, nullptr},
    {KQ_FACTS_(KQ_TTime), kObject, kValue, 72, nullptr},
    {KQ_FACTS_(KQ_TInterval), kObject, kValue, -1, nullptr},
    {KQ_FACTS_(KQ_TDataBlock), kObject, kRecord, -1, nullptr},
    {KQ_FACTS_(KQ_TFileInfo), kObject, kRecord, 0x42, nullptr},
    {KQ_FACTS_(KQ_TUserInfo), kObject, kRecord, 0x44, nullptr},
    {KQ_FACTS_(KQ_TStackEntry), kObject, "KQ_IPackable KQ_IPrintable", -1, nullptr},
    {KQ_FACTS_(KQ_TUnknown), kObject, "KQ_IHashable", -1, nullptr},
    {KQ_FACTS_(KQ_TPackage), kObject, "KQ_IPackable KQ_IPacking KQ_IUnpacking", -1, nullptr},
    {KQ_FACTS_(KQ_TDataStream), kObject, "KQ_IStream KQ_IPacking KQ_IUnpacking", -1, nullptr},
    {KQ_FACTS_(KQ_THumanReadableStream), kObject, kStream, -1, nullptr},
    {KQ_FACTS_(KQ_TFile), kObject, kStream, -1, nullptr},
    {KQ_FACTS_(KQ_TSocket), kObject, kStream, -1, nullptr},
    {KQ_FACTS_(KQ_TThread), kObject, "KQ_IRunnable", -1, nullptr},
    {KQ_FACTS_(KQ_TMutex), kObject, "", -1, nullptr},
    {KQ_FACTS_(KQ_EException), kObject, "KQ_IThrowable KQ_IPackable KQ_IPrintable", -1, nullptr}};
#undef KQ_FACTS_

// Each interface and the one it extends (KQ_IInterface for the rest).
std::pair<char const*, char const*> const kInterfaces[] = {
    {"KQ_IHashable", "KQ_IPackable"}, {"KQ_IPackable", nullptr},      {"KQ_IPrintable", nullptr},
    {"KQ_IScanable", nullptr},        {"KQ_IHumanReadable", nullptr}, {"KQ_IIteratable", nullptr},
    {"KQ_IIterationInfo", nullptr},   {"KQ_IStream", nullptr},        {"KQ_IPacking", nullptr},
    {"KQ_IUnpacking", nullptr},       {"KQ_IRunnable", nullptr},      {"KQ_IThrowable", nullptr}};

void ExpectFacts(ClassFacts const& c) {
  ASSERT_NE(c.record, nullptr);
  EXPECT_STREQ(c.record->ClassName(), c.name);
  EXPECT_EQ(KQ_TClass::FindClass(c.name), c.record);
  EXPECT_FALSE(c.record->IsInterface());
  ASSERT_NE(c.record->ParentClass(), nullptr);
  EXPECT_STREQ(c.record->ParentClass()->ClassName(), c.parent);
  EXPECT_TRUE(c.record->HasSuperclass("KQ_TObject"));
  std::istringstream declared(c.interfaces);
  std::vector<std::string> const names{std::istream_iterator<std::string>(declared), {}};
  ASSERT_EQ(c.record->NrOfInterfaces(), names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(c.record->Interfaces()[i]->ClassName(), names[i]);
  }
  std::set<std::string> implemented(names.begin(), names.end());
  for (auto const& [name, extended] : kInterfaces) {
    if (extended != nullptr && implemented.count(name) != 0) implemented.insert(extended);
  }
  // An exception casts to the interfaces of KQ_EException, which its
  // record does not declare.
  std::set<std::string> casts = implemented;
  if (c.record->HasSuperclass("KQ_EException")) {
    casts = {"KQ_IThrowable", "KQ_IPackable", "KQ_IPrintable"};
  }
  for (auto const& [name, extended] : kInterfaces) {
    EXPECT_EQ(c.record->Implements(name), implemented.count(name) != 0) << name;
  }
  int code = -1;
  for (int k = 0; k < 256; ++k) {
    if (KQ_TDataStream::SpecificType(static_cast<unsigned char>(k)) == c.record) code = k;
  }
  EXPECT_EQ(code, c.code);

  std::unique_ptr<KQ_TObject> made(c.record->CreateInstance());
  ASSERT_NE(made, nullptr);
  // An Any and an unknown object name what they hold: nothing yet.
  bool const namesContents = c.code == 64 || std::string(c.name) == "KQ_TUnknown";
  EXPECT_STREQ(made->ClassName(), namesContents ? "ILLEGAL" : c.name);
  EXPECT_EQ(made->KQ_DynamicInfo(nullptr), c.record);
  EXPECT_EQ(made->KQ_Cast(c.name), made->KQ_MostDerivedObject());
  EXPECT_EQ(made->KQ_Cast("KQ_TObject"), static_cast<void*>(made.get()));
  EXPECT_EQ(made->KQ_Cast("KQ_IInterface") != nullptr, !casts.empty());
  for (auto const& [name, extended] : kInterfaces) {
    EXPECT_EQ(made->KQ_Cast(name) != nullptr, casts.count(name) != 0) << name;
  }
  // Other classes of the table are reached only when they are ancestors.
  for (ClassFacts const& other : kClassFacts) {
    EXPECT_EQ(made->KQ_Cast(other.name) != nullptr, c.record->HasSuperclass(other.name))
        << other.name;
  }
  auto const* iteratable = static_cast<KQ_IIteratable*>(made->KQ_Cast("KQ_IIteratable"));
  if (c.cursor == nullptr) return;
  ASSERT_NE(iteratable, nullptr);
  std::unique_ptr<KQ_IIterationInfo> cursor(iteratable->CreateIterationInfo());
  EXPECT_STREQ(cursor->ClassName(), c.cursor);
}

TEST(ClassProtocol, EveryLibraryClassHasItsRecordCastsAndFactory) {
  for (ClassFacts const& c : kClassFacts) {
    SCOPED_TRACE(c.name);
    ExpectFacts(c);
  }
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
  std::istringstream names(
      "KQ_IInterface KQ_TObject KQ_TString KQ_TAny KQ_TList KQ_TStackEntry KQ_TMutex KQ_TSemaphore "
      "KQ_TIterator KQ_TConstIterator KQ_TListIterationInfo KQ_IRunnable KQ_TQueueIterationInfo "
      "KQ_EException"
#define KQ_EXCEPTION_NAME_(X, Parent) " " #X
      KQ_EXCEPTION_TREE(KQ_EXCEPTION_NAME_)
#undef KQ_EXCEPTION_NAME_
  );
  std::vector<std::string> missing;
  for (std::string name; names >> name;) {
    KQ_TClass const* record = KQ_TClass::FindClass(name.c_str());
    if (record == nullptr || !record->IsInitialized()) missing.push_back(name);
  }
  return missing;
}

// Several threads make the first call of the library function at once;
// every one must see true and, at that moment, the whole sequence done,
// also those that called while another thread was running it. Exits with 0
// when so, else with 1.
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
  for (int i = 0; i < kThreads; ++i) ok = ok && results[i] == 1 && missing[i].empty();
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

// The indentation is per thread; an IndentLevel gives its level back also
// when printing raises.
TEST(Printable, IndentationPrefixLevelsAndThreads) {
  KQ_IPrintable::SetIndentation(41);
  EXPECT_EQ(std::string(KQ_IPrintable::Prefix()), std::string(41, ' '));
  KQ_IPrintable::SetIndentation(5);
  KQ_IPrintable::ReverseIndent();
  EXPECT_EQ(KQ_IPrintable::Indentation(), 3u);
  for (std::uint32_t start : {1u, 2u, 0u}) {
    KQ_IPrintable::SetIndentation(start);
    KQ_IPrintable::ReverseIndent();
    EXPECT_EQ(KQ_IPrintable::Indentation(), 0u);
  }
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
  EXPECT_EQ(kqtest::OnOtherThread([] {
              std::uint32_t const seen = KQ_IPrintable::Indentation();
              KQ_IPrintable::SetIndentation(10);
              return seen;
            }),
            0u);
  EXPECT_EQ(KQ_IPrintable::Indentation(), 4u);
  KQ_IPrintable::SetIndentation(0);
}

TEST(InterfaceDefaults, PackingDefaultsAndWidths) {
  ElementRecorder recorder;
  recorder.WritePacket("1234567", 7);
  recorder << std::uint32_t{0xA1B2C3D4u} << std::int64_t{-5};
  KQ_IUnpacking& unpacker = recorder;
  char buffer[8];
  unpacker.ReadPacket(buffer, 7);
  EXPECT_EQ(recorder.fPacketSizes, (std::vector<std::uint32_t>{7, 7}));
  // Other integer types read the fixed width of their size.
  unsigned int u = 0;
  long long ll = 0;
  unpacker >> u >> ll;
  EXPECT_EQ(u, 0xA1B2C3D4u);
  EXPECT_EQ(ll, -5);
  EXPECT_TRUE(recorder.AllRead());

  KQ_TProbeDerived object;
  EXPECT_STREQ(object.KQ_PackTypeID(), "KQ_TProbeDerived");
  EXPECT_EQ(object.KQ_PackClassObject(), KQ_TProbeDerived::KQ_ClassObject());
  EXPECT_TRUE(object.KQ_HRMultiLine());
}
