// KQ_TAny: kinds and overload resolution, conversions, equality, hashing,
// ownership of held objects, casts into the contents, printing, packing.
#include <ios>
#include <iterator>
#include <limits>
#include <set>
#include <thread>
#include <tuple>
#include <utility>

#include "kq_tany.h"
#include "kq_tstring.h"
#include "test_support.h"

namespace {

using kqtest::Printed;

// An Any with an out-of-range kind, as only a bad packed kind byte makes it.
KQ_TAny AnyOfKind(std::uint8_t kind) {
  ElementRecorder recorder;
  recorder << kind;
  KQ_TAny any;
  any.KQ_Unpack(recorder);
  return any;
}

KQ_TString gText("text");
int gTarget = 0;

// One sample of every kind 0 to 19, in kind order.
std::vector<KQ_TAny> SamplesOfEveryKind() {
  void* const pointer = &gTarget;
  KQ_IInterface* const text = &gText;
  std::vector<KQ_TAny> samples = {KQ_TAny(),
                                  nullptr,
                                  std::int8_t{-3},
                                  std::int16_t{-3},
                                  std::int32_t{-3},
                                  std::int64_t{-3},
                                  std::uint8_t{3},
                                  std::uint16_t{3},
                                  std::uint32_t{3},
                                  std::uint64_t{3},
                                  true,
                                  'c',
                                  2.5f,
                                  2.5,
                                  pointer,
                                  static_cast<void const*>(pointer),
                                  text,
                                  static_cast<KQ_IInterface const*>(text),
                                  "held",
                                  AnyOfKind(19)};
  return samples;
}

// Held objects: CountedKey (hashable, identical by id, hash = seed + its
// hash) and CountedPlain (packable only), both counting live instances.
using Key = CountedKey;
using Plain = CountedPlain;

class AnyTest : public ::testing::Test {
 protected:
  void SetUp() override { Key::sLive = 0; }
  static int Live() { return Key::sLive; }
};

}  // namespace

// An Any made from each argument, and one assigned it, hold the kind.
template <class... A>
void ExpectKind(std::uint32_t kind, A... args) {
  auto const check = [kind](auto arg) {
    EXPECT_EQ(KQ_TAny(arg).Kind(), kind);
    KQ_TAny assigned(std::int64_t{1});
    assigned = arg;
    EXPECT_EQ(assigned.Kind(), kind);
  };
  (check(args), ...);
}

TEST_F(AnyTest, ArgumentTypesPickTheirKind) {
  int target = 0;
  KQ_TString text("abc");
  char buffer[] = "mutable";
  bool const wideLong = sizeof(long) == 8;
  ExpectKind(KQ_TAny::kNull, nullptr);
  ExpectKind(KQ_TAny::kInt32, 5);
  ExpectKind(KQ_TAny::kInt64, 5LL, std::int64_t{5});
  ExpectKind(wideLong ? KQ_TAny::kInt64 : KQ_TAny::kInt32, 7L);
  ExpectKind(KQ_TAny::kUInt32, 3u);
  ExpectKind(KQ_TAny::kUInt64, 3ull, std::uint64_t{3});
  ExpectKind(wideLong ? KQ_TAny::kUInt64 : KQ_TAny::kUInt32, 3ul);
  ExpectKind(KQ_TAny::kDouble, 1.5);
  ExpectKind(KQ_TAny::kPointer, &target);
  ExpectKind(KQ_TAny::kCPointer, static_cast<int const*>(&target));
  ExpectKind(KQ_TAny::kInterface, &text);
  ExpectKind(KQ_TAny::kCInterface, static_cast<KQ_TString const*>(&text));
  ExpectKind(KQ_TAny::kObject, text, "abc", buffer, L"abc", u"abc");
}

TEST_F(AnyTest, ConversionMatrixAllowsOnlyWideningWithinOneSignedness) {
  struct Row {
    char const* name;
    std::function<void(KQ_TAny const&)> convert;
    std::set<std::uint32_t> accepted;
  };
#define KQ_TO_(T) #T, [](KQ_TAny const& a) { (void)static_cast<T>(a); }
  std::set<std::uint32_t> const numbers = {2, 3, 4, 5, 6, 7, 8, 9, 12, 13};
  std::vector<Row> const rows = {
      {KQ_TO_(std::int8_t), {2}},
      {KQ_TO_(std::int32_t), {2, 3, 4}},
      {KQ_TO_(std::int64_t), {2, 3, 4, 5}},
      {KQ_TO_(std::uint8_t), {6}},
      {KQ_TO_(std::uint32_t), {6, 7, 8}},
      {KQ_TO_(std::uint64_t), {6, 7, 8, 9}},
      {KQ_TO_(bool), {10}},
      {KQ_TO_(char), {11}},
      {KQ_TO_(float), numbers},
      {KQ_TO_(double), numbers},
      {KQ_TO_(void*), {14}},
      {KQ_TO_(void const*), {14, 15}},
      {KQ_TO_(KQ_IInterface*), {16}},
      {KQ_TO_(KQ_IInterface const*), {16, 17}},
      {KQ_TO_(char*), {18}},
      {"operator*", [](KQ_TAny const& a) { (void)*a; }, {18}},
  };
#undef KQ_TO_
  std::vector<KQ_TAny> const samples = SamplesOfEveryKind();
  ASSERT_EQ(samples.size(), 20u);
  for (Row const& row : rows) {
    for (KQ_TAny const& sample : samples) {
      std::uint32_t const kind = sample.Kind();
      if (row.accepted.count(kind) != 0) {
        EXPECT_NO_THROW(row.convert(sample)) << row.name << " from kind " << kind;
      } else {
        EXPECT_THROW(row.convert(sample), KQ_EIllegalCastFromAny)
            << row.name << " from kind " << kind;
      }
    }
  }
}

TEST_F(AnyTest, ConversionsExtendAndRoundValues) {
  EXPECT_EQ(static_cast<std::int32_t>(KQ_TAny(std::int16_t{-2})), -2);
  EXPECT_EQ(static_cast<std::int64_t>(KQ_TAny(std::int32_t{-2147483647 - 1})), -2147483647LL - 1);
  EXPECT_EQ(static_cast<std::uint64_t>(KQ_TAny(std::uint32_t{0xFFFFFFFF})), 0xFFFFFFFFull);
  EXPECT_EQ(static_cast<double>(KQ_TAny(2.5f)), 2.5);
  // Unsigned values convert as unsigned, not through their signed bits.
  EXPECT_EQ(static_cast<float>(KQ_TAny(std::uint32_t{0xFFFFFFFF})), 4294967296.0f);
  EXPECT_EQ(static_cast<double>(KQ_TAny(std::numeric_limits<std::uint64_t>::max())),
            18446744073709551616.0);
  // Round to nearest.
  EXPECT_EQ(static_cast<float>(KQ_TAny(std::int32_t{16777217})), 16777216.0f);
  EXPECT_EQ(static_cast<float>(KQ_TAny(0.1)), 0.1f);

  EXPECT_FALSE(static_cast<bool>(KQ_TAny(false)));
  KQ_TString text("x");
  KQ_IInterface* asInterface = &text;
  EXPECT_EQ(static_cast<KQ_IInterface*>(KQ_TAny(&text)), asInterface);
  EXPECT_EQ(static_cast<KQ_IInterface const*>(KQ_TAny(static_cast<KQ_TString const*>(&text))),
            asInterface);
  // A failed conversion leaves the Any as it was.
  KQ_TAny any(std::int64_t{-9});
  EXPECT_THROW((void)static_cast<std::int32_t>(any), KQ_EIllegalCastFromAny);
  EXPECT_EQ(static_cast<std::int64_t>(any), -9);

  // Held texts convert to C strings, other objects do not.
  KQ_TAny const held("\xC3\xA9t\xC3\xA9");
  EXPECT_STREQ(static_cast<char*>(held), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(std::wstring(static_cast<wchar_t*>(held)), L"\u00E9t\u00E9");
  EXPECT_THROW((void)static_cast<char*>(KQ_TAny(Plain())), KQ_EIllegalCast);
}

TEST_F(AnyTest, EqualityNeedsTheSameKindAndValue) {
  int target = 0;
  KQ_TString text("x");
  double const nanD = std::numeric_limits<double>::quiet_NaN();
  std::tuple<char const*, KQ_TAny, KQ_TAny, bool> const cases[] = {
      {"32-bit 5 vs 64-bit 5", KQ_TAny(std::int32_t{5}), KQ_TAny(std::int64_t{5}), false},
      {"double NaN", KQ_TAny(nanD), KQ_TAny(nanD), false},
      {"+0 and -0", KQ_TAny(0.0), KQ_TAny(-0.0), true},
      {"NULL", KQ_TAny::Null(), KQ_TAny(nullptr), true},
      {"ILLEGAL vs NULL", KQ_TAny(), KQ_TAny(nullptr), false},
      {"pointer", KQ_TAny(&target), KQ_TAny(&target), true},
      {"pointer vs const pointer", KQ_TAny(static_cast<void*>(&target)),
       KQ_TAny(static_cast<void const*>(&target)), false},
      {"interface", KQ_TAny(&text), KQ_TAny(&text), true},
      {"held texts", KQ_TAny("x"), KQ_TAny(text), true},
      {"keys", KQ_TAny(Key(4, 1)), KQ_TAny(Key(4, 2)), true},
      {"other keys", KQ_TAny(Key(4)), KQ_TAny(Key(5)), false},
      {"unknown kinds", AnyOfKind(19), AnyOfKind(19), false},
  };
  for (auto const& [what, left, right, equal] : cases) {
    EXPECT_EQ(left == right, equal) << what;
  }
  KQ_TAny const unknown = AnyOfKind(200);
  EXPECT_FALSE(unknown == unknown);
}

TEST_F(AnyTest, IdentityDelegatesToTheHeldObjectOrComparesAnys) {
  KQ_TAny const five(5);
  EXPECT_TRUE(five.KQ_IsIdent(KQ_TAny(5)));
  EXPECT_FALSE(five.KQ_IsIdent(Key(5)));
  EXPECT_TRUE(KQ_TAny(Key(3)).KQ_IsIdent(Key(3)));

  std::unique_ptr<KQ_IPackable> clone(five.KQ_Clone(&gTarget));
  EXPECT_TRUE(kqtest::As<KQ_TAny>(clone) == five);
}

TEST_F(AnyTest, HashFollowsTheKindTable) {
  float const nanF = std::numeric_limits<float>::quiet_NaN();
  double const nanD = std::numeric_limits<double>::quiet_NaN();
  // Pointers hash their address (its low 32 bits) plus 12 to 15.
  auto* address = reinterpret_cast<void*>(std::uintptr_t{0x123456789});
  std::uint32_t const low = 0x23456789;
  KQ_TString text("t");
  auto const interfaceLow = static_cast<std::uint32_t>(
      reinterpret_cast<std::uintptr_t>(static_cast<KQ_IInterface*>(&text)));
  std::tuple<char const*, KQ_TAny, std::uint32_t, std::uint32_t> const cases[] = {
      {"ILLEGAL", KQ_TAny(), 0, 0},
      {"NULL", KQ_TAny(nullptr), 0, 1},
      {"long 5", KQ_TAny(std::int32_t{5}), 0, 9},
      {"long 5, seed wraps", KQ_TAny(std::int32_t{5}), 0xFFFFFFFF, 8},
      {"signed char -1", KQ_TAny(std::int8_t{-1}), 0, 1},
      {"64-bit low bits", KQ_TAny(std::int64_t{0x100000005}), 0, 9},
      {"unsigned long max", KQ_TAny(std::uint32_t{0xFFFFFFFF}), 0, 6},
      {"unsigned 64-bit low bits", KQ_TAny(std::uint64_t{0xFFFFFFFF00000002}), 0, 9},
      {"true", KQ_TAny(true), 0, 9},
      {"char A", KQ_TAny('A'), 0, 74},
      {"char 0xE9 sign-extended", KQ_TAny(static_cast<char>(0xE9)), 0, 0xFFFFFFF2},
      {"float 1.5", KQ_TAny(1.5f), 0, 36100},
      {"float NaN", KQ_TAny(nanF), 0, 10},
      {"double 0.5", KQ_TAny(0.5), 0, 32771},
      {"double beyond 64 bits", KQ_TAny(1e30), 0, 11},
      {"double NaN", KQ_TAny(nanD), 0, 11},
      {"held hashable object", KQ_TAny(Key(7, 1007)), 5, 1012},
      {"pointer", KQ_TAny(address), 0, low + 12},
      {"const pointer", KQ_TAny(static_cast<void const*>(address)), 0, low + 13},
      {"interface", KQ_TAny(&text), 1, interfaceLow + 15},
      {"const interface", KQ_TAny(static_cast<KQ_TString const*>(&text)), 1, interfaceLow + 16}};
  for (auto const& [what, any, seed, hash] : cases) EXPECT_EQ(any.KQ_HashValue(seed), hash) << what;

  EXPECT_THROW((void)KQ_TAny(Plain()).KQ_HashValue(0), KQ_EAnyContainsUnhashableType);
  EXPECT_THROW((void)AnyOfKind(19).KQ_HashValue(0), KQ_EAnyContainsUnhashableType);
}

// Live() counts the keys alive: an object held is a clone of its own.
TEST_F(AnyTest, HeldObjectsAreOwnedClonedAndReleased) {
  {
    Key original(1);
    KQ_TAny held(original);
    EXPECT_EQ(Live(), 2);
    EXPECT_NE(&*held, static_cast<KQ_IPackable*>(&original));
    {
      KQ_TAny copy(held);
      EXPECT_EQ(Live(), 3);
      KQ_TAny assigned;
      assigned = held;
      EXPECT_EQ(Live(), 4);
      assigned = 5;  // re-assignment releases the clone
      EXPECT_EQ(Live(), 3);
    }
    // Self-assignment changes nothing and clones nothing.
    KQ_IPackable const* before = &*held;
    KQ_TAny& same = held;
    held = same;
    EXPECT_EQ(&*held, before);
    EXPECT_EQ(Live(), 2);
    // Assigning the held object to its own Any clones before releasing.
    held = *held;
    EXPECT_EQ(Live(), 2);
    EXPECT_TRUE(held.KQ_IsIdent(original));
  }
  EXPECT_EQ(Live(), 0);

  {
    // Kind 16 does not own what it points to, nor does a copy of it.
    Key pointed(2);
    {
      KQ_TAny const pointer(static_cast<KQ_IInterface*>(&pointed));
      KQ_TAny const copy(pointer);
    }
    EXPECT_EQ(Live(), 1);
  }

  {
    // Assign takes the object over without cloning it.
    auto* adopted = new Key(3);
    KQ_TAny any;
    any.Assign(adopted);
    EXPECT_EQ(&*any, static_cast<KQ_IPackable*>(adopted));
    any.Assign(adopted);  // taking over the held object again keeps it
    EXPECT_EQ(Live(), 1);
    any.Assign(nullptr);
    EXPECT_EQ(Live(), 0);
    EXPECT_EQ(any.Kind(), KQ_TAny::kNull);
  }

  {
    // Swap moves the objects between the Anys without cloning.
    auto* const leftObject = new Key(10);
    auto* const rightObject = new Key(20);
    KQ_TAny left, right;
    left.Assign(leftObject).Swap(right.Assign(rightObject));
    EXPECT_EQ(Live(), 2);
    EXPECT_TRUE(&*left == static_cast<KQ_IPackable*>(rightObject) &&
                &*right == static_cast<KQ_IPackable*>(leftObject));
  }
  EXPECT_EQ(Live(), 0);
}

TEST_F(AnyTest, ClassObjectNamesTheContents) {
  std::vector<char const*> const names = {"ILLEGAL",    "NULL",       "KQ_TInt8",    "KQ_TInt16",
                                          "KQ_TInt32",  "KQ_TInt64",  "KQ_TUInt8",   "KQ_TUInt16",
                                          "KQ_TUInt32", "KQ_TUInt64", "KQ_TBool",    "KQ_TChar",
                                          "KQ_TFloat",  "KQ_TDouble", "KQ_TPointer", "KQ_TCPointer",
                                          "KQ_TString", "KQ_TString", "KQ_TString",  "ILLEGAL"};
  // The records of the basic kinds exist without registration.
  std::vector<KQ_TAny> const samples = SamplesOfEveryKind();
  ASSERT_EQ(samples.size(), names.size());
  for (std::size_t i = 0; i < samples.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "kind " << i);
    KQ_TClass const& record = samples[i].ClassObject();
    EXPECT_STREQ(record.ClassName(), names[i]);
    EXPECT_EQ(KQ_TClass::FindClass(names[i]), &record);
    EXPECT_EQ(samples[i].KQ_DynamicInfo(nullptr), KQ_TAny::KQ_ClassObject());
  }
  EXPECT_STREQ(KQ_TAny(static_cast<KQ_IInterface const*>(nullptr)).ClassName(), "NULL");
  EXPECT_STREQ(KQ_TAny(Plain()).ClassName(), "CountedPlain");
}

TEST_F(AnyTest, CastContentsOfBasicValuesAndRawPointers) {
  KQ_TAny const number(std::int32_t{42});
  auto* stored = static_cast<std::int32_t*>(number.KQ_Cast_Contents("KQ_TInt32"));
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(*stored, 42);
  // The Any's own class and interfaces come before its contents.
  EXPECT_EQ(number.KQ_Cast("KQ_TAny"), &number);
  EXPECT_EQ(number.KQ_Cast("KQ_IHashable"), static_cast<KQ_IHashable const*>(&number));

  int target = 0;
  KQ_TAny const raw(&target);
  void* slot = raw.KQ_Cast_Contents("int *");
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(*static_cast<int**>(slot), &target);
  EXPECT_EQ(raw.KQ_Cast_Contents("Anything*  "), slot);
  KQ_TAny const constRaw(static_cast<int const*>(&target));
  EXPECT_NE(constRaw.KQ_Cast_Contents("KQ_TCPointer"), nullptr);
  EXPECT_EQ(*static_cast<int const**>(constRaw.KQ_Cast_Contents("const int *")), &target);

  // Other kinds, classes the contents lack, and contents that are no value.
  KQ_TAny const none, null(nullptr), real(2.5), unknown = AnyOfKind(19), held("abc");
  std::pair<KQ_TAny const*, char const*> const empty[] = {
      {&number, "KQ_TInt64"}, {&number, "KQ_TInt32 "}, {&number, "KQ_TAny"},
      {&none, "ILLEGAL"},     {&null, "NULL"},         {&real, "KQ_TFloat"},
      {&raw, "KQ_TCPointer"}, {&raw, "int"},           {&constRaw, "KQ_TPointer"},
      {&unknown, "ILLEGAL"},  {&unknown, "x *"},       {&held, "CountedKey"},
      {&held, "KQ_TString *"}};
  for (auto const& [any, name] : empty) EXPECT_EQ(any->KQ_Cast_Contents(name), nullptr) << name;
}

TEST_F(AnyTest, CastContentsOfInterfacePointersUsesResultSlots) {
  KQ_TString text("s");
  KQ_TAny const pointer(&text);
  auto** slot = static_cast<KQ_TString**>(pointer.KQ_Cast_Contents("KQ_TString *"));
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(*slot, &text);
  EXPECT_EQ(*static_cast<KQ_TString**>(pointer.KQ_Cast_Contents("const \t KQ_TString\t*  ")),
            &text);
  EXPECT_EQ(*static_cast<KQ_IHashable**>(pointer.KQ_Cast_Contents("KQ_IHashable *")),
            static_cast<KQ_IHashable*>(&text));
  // A class the object does not have leaves a null pointer in the slot.
  EXPECT_EQ(*static_cast<void**>(pointer.KQ_Cast_Contents("CountedKey *")), nullptr);
  // Each call overwrites the slot of its kind.
  KQ_TString other("o");
  EXPECT_EQ(KQ_TAny(&other).KQ_Cast_Contents("KQ_TString *"), slot);
  EXPECT_EQ(*slot, &other);
  for (char const* malformed : {"*", "  *", "const *", "const*", " \t * "}) {
    EXPECT_THROW((void)pointer.KQ_Cast_Contents(malformed), KQ_EIllegalCastFromAny) << malformed;
  }
  EXPECT_EQ(pointer.Kind(), KQ_TAny::kInterface);

  // A const pointer is handed out only under a const name.
  KQ_TAny const constPointer(static_cast<KQ_TString const*>(&text));
  EXPECT_THROW((void)constPointer.KQ_Cast_Contents("KQ_TString *"), KQ_EIllegalCastFromAny);
  auto* constSlot =
      static_cast<KQ_TString const**>(constPointer.KQ_Cast_Contents("const KQ_TString *"));
  ASSERT_NE(constSlot, nullptr);
  EXPECT_EQ(*constSlot, &text);
  EXPECT_NE(static_cast<void*>(constSlot), static_cast<void*>(slot));

  // A null pointer gives a slot holding null. Without "*": the pointed
  // object's part, else the Any's own.
  KQ_TAny const nullPointer(static_cast<KQ_IInterface*>(nullptr));
  EXPECT_EQ(*static_cast<void**>(nullPointer.KQ_Cast_Contents("KQ_TString *")), nullptr);
  EXPECT_EQ(pointer.KQ_Cast("KQ_TString"), &text);
  EXPECT_EQ(pointer.KQ_Cast_Contents("KQ_TAny"), &pointer);
  EXPECT_EQ(pointer.KQ_Cast_Contents("CountedKey"), nullptr);
  EXPECT_EQ(nullPointer.KQ_Cast_Contents("KQ_TAny"), &nullPointer);
  EXPECT_EQ(nullPointer.KQ_Cast_Contents("KQ_TString"), nullptr);

  // A held object: KQ_Cast finds the Any's own interface, the contents cast
  // the object's.
  KQ_TAny const held("abc");
  auto* string = static_cast<KQ_TString*>(held.KQ_Cast_Contents("KQ_TString"));
  EXPECT_EQ(string, static_cast<KQ_IPackable const*>(&*held));
  EXPECT_EQ(held.KQ_Cast("KQ_TString"), string);
  EXPECT_EQ(held.KQ_Cast("KQ_IPrintable"), static_cast<KQ_IPrintable const*>(&held));
  EXPECT_EQ(held.KQ_Cast_Contents("KQ_IPrintable"), static_cast<KQ_IPrintable*>(string));
}

TEST_F(AnyTest, PrintingFollowsTheKind) {
  int target = 0;
  std::ostringstream pointerText;
  pointerText << static_cast<void const*>(&target);
  KQ_TString text("p");
  std::pair<KQ_TAny, std::string> const cases[] = {
      {KQ_TAny(), "[KQ_TANY::ILLEGAL]"},
      {KQ_TAny(nullptr), "[KQ_TANY::NULL]"},
      {KQ_TAny(std::int8_t{65}), "A"},
      {KQ_TAny('C'), "C"},
      {KQ_TAny(std::int32_t{-123456}), "-123456"},
      {KQ_TAny(std::uint32_t{4000000000u}), "4000000000"},
      {KQ_TAny(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {KQ_TAny(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
      {KQ_TAny(true), "TRUE"},
      {KQ_TAny(false), "FALSE"},
      {KQ_TAny(1.5f), "1.5"},
      {KQ_TAny(-0.25), "-0.25"},
      {KQ_TAny(&target), pointerText.str()},
      {KQ_TAny(static_cast<void const*>(&target)), pointerText.str()},
      {KQ_TAny(static_cast<KQ_IInterface*>(nullptr)), "NULL"},
      {KQ_TAny(static_cast<KQ_IInterface const*>(nullptr)), ""},
      {KQ_TAny(&text), "p"},
      {KQ_TAny("h\xC3\xA9"), "h\xC3\xA9"},
      {KQ_TAny(Plain()), "<NON-PRINTABLE>"},
      {AnyOfKind(19), ""}};
  for (auto const& [any, printed] : cases) EXPECT_EQ(Printed(any), printed) << any.Kind();

  // 64-bit values are plain decimal whatever the stream's flags; the other
  // integers use the stream's inserters.
  std::ostringstream os;
  os << std::hex << KQ_TAny(std::int64_t{255}) << ' ' << KQ_TAny(std::int32_t{255}) << ' '
     << KQ_TAny(std::uint64_t{255}) << ' ' << KQ_TAny(std::uint32_t{255});
  EXPECT_EQ(os.str(), "255 ff 255 ff");
}

TEST_F(AnyTest, PackingWritesTheKindByteThenTheExactType) {
  // The samples of the kinds 0 to 13 and the type packed after the kind.
  std::vector<KQ_TAny> const samples = SamplesOfEveryKind();
  char const* const types[] = {nullptr, nullptr, "i8",  "i16",  "i32",  "i64", "u8",
                               "u16",   "u32",   "u64", "bool", "char", "f32", "f64"};
  for (std::uint32_t kind = KQ_TAny::kIllegal; kind <= KQ_TAny::kDouble; ++kind) {
    KQ_TAny const& any = samples[kind];
    SCOPED_TRACE(kind);
    EXPECT_EQ(any.Kind(), kind);
    ElementRecorder recorder;
    any.KQ_Pack(recorder);
    std::vector<std::string> packed = {"u8"};
    if (types[kind] != nullptr) packed.emplace_back(types[kind]);
    ASSERT_EQ(recorder.Types(), packed);
    EXPECT_EQ(recorder.fEntries[0].bits, any.Kind());
    // Read back over an Any that holds an object: the object is released.
    KQ_TAny back;
    back.Assign(new Key(1));
    back.KQ_Unpack(recorder);
    EXPECT_TRUE(recorder.AllRead());
    EXPECT_EQ(Live(), 0);
    EXPECT_EQ(back.Kind(), any.Kind());
    EXPECT_TRUE(back == any);
  }

  // A held object goes through operator<<(const KQ_IPackable&) and comes
  // back from Extract, owned and not cloned again.
  {
    KQ_TAny const held{Key(12)};
    ElementRecorder recorder;
    held.KQ_Pack(recorder);
    EXPECT_EQ(recorder.Types(), (std::vector<std::string>{"u8", "object"}));
    EXPECT_EQ(recorder.fEntries[0].bits, 18u);
    KQ_IPackable const* recorded = recorder.fEntries[1].object.get();
    KQ_TAny back;
    back.KQ_Unpack(recorder);
    EXPECT_EQ(&*back, recorded);
    EXPECT_TRUE(back == held);
  }
  EXPECT_EQ(Live(), 0);
}

TEST_F(AnyTest, PointerKindsAreNotPackable) {
  int target = 0;
  KQ_TString text("p");
  for (KQ_TAny const& pointer : {KQ_TAny(&target), KQ_TAny(static_cast<void const*>(&target)),
                                 KQ_TAny(&text), KQ_TAny(static_cast<KQ_TString const*>(&text))}) {
    ElementRecorder recorder;
    EXPECT_THROW(pointer.KQ_Pack(recorder), KQ_EAnyContainsUnpackableType);
    ASSERT_EQ(recorder.Types(), std::vector<std::string>{"u8"});
    EXPECT_EQ(recorder.fEntries[0].bits, pointer.Kind());

    // Unpacking a pointer kind reads nothing more and gives a null value.
    KQ_TAny back(std::int64_t{77});
    back.KQ_Unpack(recorder);
    EXPECT_TRUE(recorder.AllRead());
    EXPECT_EQ(back.Kind(), pointer.Kind());
    if (back.Kind() <= KQ_TAny::kCPointer) {
      EXPECT_EQ(static_cast<void const*>(back), nullptr);
    } else {
      EXPECT_EQ(static_cast<KQ_IInterface const*>(back), nullptr);
    }
  }
}

TEST_F(AnyTest, UnpackingBadOrShortInput) {
  // An unknown kind is stored as read, nothing more is read, and copies and
  // the packed form keep it.
  ElementRecorder recorder;
  recorder << std::uint8_t{200} << std::int32_t{5};
  KQ_TAny unknown;
  unknown.KQ_Unpack(recorder);
  EXPECT_EQ(unknown.Kind(), 200u);
  EXPECT_EQ(recorder.fNext, 1u);
  KQ_TAny assigned(1);
  EXPECT_EQ((assigned = KQ_TAny(unknown)).Kind(), 200u);
  ElementRecorder repacked;
  unknown.KQ_Pack(repacked);
  EXPECT_EQ(repacked.Words(), "u8 200");

  // A value cut short leaves the kind read so far with an empty value; the
  // object held before is already gone.
  ElementRecorder shortValue;
  shortValue << std::uint8_t{KQ_TAny::kInt64};
  KQ_TAny partial;
  partial.Assign(new Key(1));
  EXPECT_THROW(partial.KQ_Unpack(shortValue), KQ_EStreamEndReached);
  EXPECT_EQ(Live(), 0);
  EXPECT_EQ(partial.Kind(), KQ_TAny::kInt64);
  EXPECT_EQ(static_cast<std::int64_t>(partial), 0);

  // An object that cannot be read leaves no object kind without an object.
  ElementRecorder shortObject;
  shortObject << std::uint8_t{KQ_TAny::kObject};
  KQ_TAny noObject(std::int8_t{1});
  EXPECT_THROW(noObject.KQ_Unpack(shortObject), KQ_EStreamEndReached);
  EXPECT_EQ(noObject.Kind(), KQ_TAny::kIllegal);
  ElementRecorder empty;
  KQ_TAny untouched(2);
  EXPECT_THROW(untouched.KQ_Unpack(empty), KQ_EStreamEndReached);
  EXPECT_EQ(untouched.Kind(), KQ_TAny::kIllegal);
}

TEST_F(AnyTest, ValuesMadeInOneThreadAreReleasedInAnother) {
  // Cells move between the threads' free chains and the shared stack; the
  // sanitizer builds check that none is lost or used twice. Each thread
  // releases another's values, then makes its own from the cells it got.
  constexpr int kThreads = 4;
  constexpr int kValues = 3000;
  std::vector<std::vector<KQ_TAny*>> made(kThreads);
  auto const run = [](auto body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(body, t);
    for (auto& thread : threads) thread.join();
  };
  run([&made](int t) {
    for (int i = 0; i < kValues; ++i) made[t].push_back(new KQ_TAny(std::int32_t{t * kValues + i}));
  });
  run([&made](int t) {
    int const owner = (t + 1) % kThreads;
    for (int i = 0; i < kValues; ++i) {
      EXPECT_EQ(static_cast<std::int32_t>(*made[owner][i]), owner * kValues + i);
      delete made[owner][i];
      KQ_TAny local(static_cast<double>(i));
      EXPECT_EQ(static_cast<double>(local), i);
    }
  });
}

// A string of up to 16 units lives in the Any's cell until an object is
// asked for; every observer must see the same as for a held string object,
// and once the object exists its changes are the value.
TEST_F(AnyTest, ShortStringsInTheCellActAsHeldStringObjects) {
  KQ_TString zeroInside(u"a");
  zeroInside += char16_t{0};
  zeroInside += u"b";
  std::tuple<char const*, KQ_TString> const cases[] = {
      {"empty", KQ_TString()},
      {"a zero unit inside", zeroInside},
      {"16 units, the longest in the cell", KQ_TString(u"sixteen units ok")},
      {"17 units, held as an object", KQ_TString(u"seventeen units!!")},
  };
  for (auto const& [what, text] : cases) {
    SCOPED_TRACE(what);
    KQ_TAny const any(text);
    KQ_TAny object;
    object.Assign(new KQ_TString(text));
    EXPECT_EQ(any.Kind(), KQ_TAny::kObject);
    EXPECT_EQ(&any.ClassObject(), KQ_TString::KQ_ClassObject());
    EXPECT_TRUE(any == object && object == any && any.KQ_IsIdent(text));
    EXPECT_FALSE(any == KQ_TAny(text + u"x"));
    EXPECT_EQ(any.KQ_HashValue(7), text.KQ_HashValue(7));
    EXPECT_EQ(any.KQ_ContentHash(), text.KQ_ContentHash());
    EXPECT_EQ(kqtest::Packed(any), kqtest::Packed(object));

    // A copy changed through its object: the change is its value from then
    // on, for copies of it too, and the original keeps its own.
    KQ_TAny copy(any);
    auto* const held = static_cast<KQ_TString*>(copy.KQ_Cast("KQ_TString"));
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(held->Length(), text.Length());
    EXPECT_EQ(*held, text);
    *held += u"!";
    KQ_TString const changed = text + u"!";
    KQ_TAny const copyOfCopy(copy);
    for (KQ_TAny const* changedAny : {&std::as_const(copy), &copyOfCopy}) {
      EXPECT_TRUE(*changedAny == KQ_TAny(changed));
      EXPECT_FALSE(*changedAny == any);
      EXPECT_EQ(changedAny->KQ_HashValue(3), changed.KQ_HashValue(3));
      EXPECT_EQ(changedAny->KQ_ContentHash(), changed.KQ_ContentHash());
    }
    EXPECT_EQ(&*copy, static_cast<KQ_IPackable*>(held));
    EXPECT_EQ(*static_cast<KQ_TString const*>(any.KQ_Cast("KQ_TString")), text);

    // Assignments between the forms, the string's own object included.
    KQ_TAny assigned(Key(1));
    assigned = any;
    EXPECT_EQ(Live(), 0);
    EXPECT_TRUE(assigned == any);
    assigned = *assigned;
    EXPECT_TRUE(assigned == any);
    assigned = 5;
    EXPECT_EQ(static_cast<std::int32_t>(assigned), 5);
    assigned = copy;
    EXPECT_TRUE(assigned == copy);
    KQ_TAny replaced(any);
    replaced = Key(2);
    EXPECT_TRUE(replaced.KQ_IsIdent(Key(2)));
    EXPECT_EQ(Live(), 1);
  }
}

TEST_F(AnyTest, ThreadsReadingOneShortStringShareOneObject) {
  KQ_TAny const any(u"shared");
  constexpr int kThreads = 4;
  std::vector<KQ_IPackable const*> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&any, &seen, t] {
      EXPECT_EQ(any.KQ_HashValue(0), KQ_TString(u"shared").KQ_HashValue(0));
      KQ_TAny const copy(any);
      seen[t] = &*any;
      EXPECT_TRUE(copy == any);
    });
  }
  for (auto& thread : threads) thread.join();
  for (KQ_IPackable const* object : seen) EXPECT_EQ(object, seen[0]);
}
