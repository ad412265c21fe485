// The data stream and the packed format: the golden vectors, the reader's
// rules, and input that is damaged, huge or deeply nested.
#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <tuple>

#include "kq_tany.h"
#include "kq_tarray.h"
#include "kq_tdatablock.h"
#include "kq_tdict.h"
#include "kq_tlist.h"
#include "kq_tqueue.h"
#include "kq_tstackentry.h"
#include "kq_tstring.h"
#include "kq_ttree.h"
#include "kq_tunknown.h"
#include "test_support.h"

using namespace kqtest;

// A packable class, and one that packs it as a section between its own fields.
class TestBase : public KQ_TObject, public virtual KQ_IPackable {
  KQ_CLASS(TestBase, KQ_TObject, KQ_IPackable)
  TestBase() = default;
  explicit TestBase(std::int32_t value) : fValue(value) {}
  std::int32_t fValue = 0;
  void KQ_Pack(KQ_IPacking& packer) const override { packer << fValue; }
  void KQ_Unpack(KQ_IUnpacking& unpacker) override { unpacker >> fValue; }
  KQ_IPackable* KQ_Clone(void*) const override { return new TestBase(*this); }
  bool KQ_IsIdent(KQ_IPackable const& other) const override {
    auto const* base = static_cast<TestBase const*>(other.KQ_Cast("TestBase"));
    return base != nullptr && base->fValue == fValue;
  }
};
KQ_CLASS_IMPL(TestBase)

class TestDerived : public TestBase {
  KQ_CLASS(TestDerived, TestBase)
  TestDerived() = default;
  TestDerived(std::int32_t value, double extra) : TestBase(value), fExtra(extra) {}
  double fExtra = 0;
  void KQ_Pack(KQ_IPacking& packer) const override {
    packer << std::int8_t{7};
    packer.InsertClassHeader("TestBase");
    TestBase::KQ_Pack(packer);
    packer.InsertClassTrailer("TestBase");
    packer << fExtra;
  }
  void KQ_Unpack(KQ_IUnpacking& unpacker) override {
    std::int8_t own = 0;
    unpacker >> own;
    unpacker.ExtractClassHeader("TestBase");
    TestBase::KQ_Unpack(unpacker);
    unpacker.ExtractClassTrailer("TestBase");
    unpacker >> fExtra;
  }
  KQ_IPackable* KQ_Clone(void*) const override { return new TestDerived(*this); }
};
KQ_CLASS_IMPL(TestDerived)

// A subclass of a class with a code: written by name, not by the code.
class TestString : public KQ_TString {
  KQ_CLASS(TestString, KQ_TString)
  TestString() = default;
  explicit TestString(char const* text) : KQ_TString(text) {}
};
KQ_CLASS_IMPL(TestString)

namespace {

// What Extract keeping unknown classes gives for bytes.
std::unique_ptr<KQ_IPackable> Kept(Bytes const& bytes) {
  return std::unique_ptr<KQ_IPackable>(Input(bytes).data.Extract(true));
}

// The T that operator>> reads from bytes into a T that held 1.
template <class T>
T ReadAs(Bytes const& bytes) {
  T value = static_cast<T>(1);
  Input(bytes).data >> value;
  return value;
}

// How Extract keeping and dropping unknown classes, SkipData, >> into a
// TestBase and >> into a list take bytes: "obj" or "null" (from Extract) or
// "ok", and "+n" when n bytes are left; else what it raised, shortened.
std::string Reads(Bytes const& bytes) {
  static std::map<std::string, std::string> const shortNames = {{"KQ_EWrongPackedType", "type"},
                                                                {"KQ_EStreamEndReached", "end"},
                                                                {"KQ_EWrongPacketSize", "size"}};
  std::string all;
  for (int reader = 0; reader < 5; ++reader) {
    Input in(bytes);
    std::string result = "ok";
    std::string const raised = Raised([&] {
      TestBase base;
      KQ_TList list;
      if (reader < 2) {
        result = std::unique_ptr<KQ_IPackable>(in.data.Extract(reader == 0)) ? "obj" : "null";
      }
      if (reader == 2) in.data.SkipData();
      if (reader == 3) in.data >> base;
      if (reader == 4) in.data >> list;
    });
    auto const found = shortNames.find(raised);
    if (!raised.empty()) result = found == shortNames.end() ? raised : found->second;
    if (raised.empty() && in.data.Available() != 0) {
      result += "+" + std::to_string(in.data.Available());
    }
    all += (all.empty() ? "" : " ") + result;
  }
  return all;
}

class DataStreamTest : public InitializedTest {};

// Registers record under code for the life of the object.
struct CodeRegistration {
  CodeRegistration(unsigned char c, KQ_TClass const* record)
      : code(c), saved(KQ_TDataStream::SpecificType(c)) {
    KQ_TDataStream::RegisterSpecificType(code, record);
  }
  ~CodeRegistration() { KQ_TDataStream::RegisterSpecificType(code, saved); }
  unsigned char code;
  KQ_TClass const* saved;
};

// The golden entries: "= name" starts one, and hex bytes follow.
std::vector<std::pair<std::string, Bytes>> LoadGolden() {
  std::ifstream in(std::string(KQ_TEST_DATA_DIR) + "/packed_golden.txt");
  EXPECT_TRUE(in.good());
  std::vector<std::pair<std::string, Bytes>> entries;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line.substr(0, line.find('#')));
    for (std::string word; words >> word;) {
      if (word == "=") {
        entries.emplace_back();
        words >> entries.back().first;
      } else if (!entries.empty() && word.size() == 2) {
        entries.back().second.push_back(static_cast<unsigned char>(std::stoi(word, nullptr, 16)));
      } else {
        ADD_FAILURE() << "bad byte " << word;
      }
    }
  }
  return entries;
}

// How a golden entry's value is packed, and its bytes read (all of them).
struct Builder {
  std::function<void(KQ_TDataStream&)> pack;
  std::function<void(Bytes const&)> read;
};

using Named = std::pair<std::string const, Builder>;

template <class T>
Named Basic(std::string const& name, T value) {
  return {name,
          {[value](KQ_TDataStream& data) { data << value; },
           [value](Bytes const& bytes) {
             Input in(bytes);
             ExpectNext(in.data, value);
             EXPECT_EQ(in.data.Available(), 0u);
           }}};
}

// Extract gives an identical object of the same class, packing to the same
// bytes; operator>> into a new instance of the class reads the same.
Named Object(std::string const& name, KQ_IPackable const& prototype) {
  std::shared_ptr<KQ_IPackable const> const expected(prototype.KQ_Clone());
  return {name,
          {[expected](KQ_TDataStream& data) { data << *expected; },
           [expected](Bytes const& bytes) {
             Input in(bytes);
             std::unique_ptr<KQ_IPackable> const read(in.data.Extract(true));
             ASSERT_NE(read.get(), nullptr);
             EXPECT_EQ(in.data.Available(), 0u);
             EXPECT_EQ(read->KQ_PackClassObject(), expected->KQ_PackClassObject());
             EXPECT_TRUE(expected->KQ_IsIdent(*read) && read->KQ_IsIdent(*expected));
             EXPECT_EQ(Hex(Packed(*read)), Hex(bytes)) << "packing the unpacked object";
             if (expected->KQ_PackClassObject() == nullptr) return;  // an unknown class
             std::unique_ptr<KQ_TObject> fresh(expected->KQ_PackClassObject()->CreateInstance());
             ASSERT_NE(fresh.get(), nullptr);
             auto* target = static_cast<KQ_IPackable*>(fresh->KQ_Cast("KQ_IPackable"));
             Input again(bytes);
             again.data >> *target;
             EXPECT_TRUE(expected->KQ_IsIdent(*target)) << "operator>> into a new instance";
             EXPECT_EQ(again.data.Available(), 0u);
           }}};
}

// The unknown object that reading bytes of a class named name gives.
KQ_TUnknown Unknown(char const* name, Bytes const& bytes) {
  auto const header = static_cast<std::uint32_t>(5 + std::strlen(name));
  KQ_TUnknown unknown(name, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  unknown.SetOffset(header).SetLength(static_cast<std::uint32_t>(bytes.size()) - header - 1);
  return unknown;
}

std::map<std::string, Builder> GoldenBuilders() {
  using FL = std::numeric_limits<float>;
  using DL = std::numeric_limits<double>;
  KQ_TList intString, nested, inner;
  (intString += KQ_TAny(std::int32_t{1})) += KQ_TAny(KQ_TString("x"));
  inner += KQ_TAny(true);
  nested += KQ_TAny(inner);
  KQ_TDict dict;
  dict.Add("a", KQ_TAny(std::int32_t{1}));
  KQ_TArray array(-1, 1);
  array[-1] = KQ_TAny(std::int32_t{5});
  array[1] = KQ_TAny(std::int32_t{7});
  array.SetUpperFixed(false);
  KQ_TTree tree, subtree;
  subtree["a"] = KQ_TAny(std::int32_t{1});
  tree["s"] = KQ_TAny(subtree);
  KQ_TQueue queue;
  queue.Add(KQ_TAny(1.5f), -1);
  queue.Add(KQ_TAny(std::int32_t{10}), 5);
  Bytes const moon = Join({Header(0x0D, "KQ_TMoon"), Number(0x07, 42), {0xFF}});
  Bytes const lunarError = Join({Header(0x0D, "KQ_TLunarError"),
                                 {0x05, 0x07},
                                 Header(0x0E, "KQ_EException"),
                                 {0x47, 0x07, 0, 0, 0, 0},
                                 {0x41, 0x07, 0, 0, 0, 1, 0x0F, 0, 0, 0, 2, 0, 'm'},
                                 {0x40, 0x05, 0x00, 0xFF, 0xFF}});
  Named const packet = {"packet_abc",
                        {[](KQ_TDataStream& data) { data.WritePacket("abc", 3); },
                         [](Bytes const& bytes) {
                           char buffer[16] = {};
                           Input in(bytes);
                           EXPECT_EQ(in.data.ReadPacket(buffer, 0, sizeof buffer), 3u);
                           EXPECT_STREQ(buffer, "abc");
                           EXPECT_EQ(in.data.Available(), 0u);
                         }}};
  return {Basic("short_minus_2", std::int16_t{-2}),
          Basic("long_minus_1", std::int32_t{-1}),
          Basic("int64_minus_2", std::int64_t{-2}),
          Basic("uint8_200", std::uint8_t{200}),
          Basic("uint16_65535", std::uint16_t{65535}),
          Basic("uint32_70000", std::uint32_t{70000}),
          Basic("uint64_1", std::uint64_t{1}),
          Basic("int8_minus_128", std::int8_t{-128}),
          Basic("bool_true", true),
          Basic("bool_false", false),
          Basic("char_A", 'A'),
          Basic("float_minus_zero", -0.0f),
          Basic("float_one", 1.0f),
          Basic("float_minus_2_5", -2.5f),
          Basic("float_nan", FL::quiet_NaN()),
          Basic("float_plus_infinity", FL::infinity()),
          Basic("double_one", 1.0),
          Basic("double_minus_infinity", -DL::infinity()),
          Basic("double_nan", DL::quiet_NaN()),
          Basic("double_0_1", 0.1),
          packet,
          Object("string_ab", KQ_TString(u"ab")),
          Object("string_empty", KQ_TString(u"")),
          Object("string_e_acute_euro", KQ_TString(u"\u00E9\u20AC")),
          Object("any_illegal", KQ_TAny()),
          Object("any_null", KQ_TAny(nullptr)),
          Object("any_int32_5", KQ_TAny(std::int32_t{5})),
          Object("any_uint64_7", KQ_TAny(std::uint64_t{7})),
          Object("any_char_z", KQ_TAny('z')),
          Object("any_float_1_5", KQ_TAny(1.5f)),
          Object("any_double_1_5", KQ_TAny(1.5)),
          Object("any_string_x", KQ_TAny(KQ_TString("x"))),
          Object("list_empty", KQ_TList()),
          Object("list_int_string", intString),
          Object("list_nested", nested),
          Object("dict_a_1", dict),
          Object("stack_entry_f_g_7", KQ_TStackEntry("f", "g", 7)),
          Object("exception_illegal_time_m", KQ_EIllegalTime(KQ_TString("m"))),
          Object("datablock_1_2_3", KQ_TDataBlock("\1\2\3", 3)),
          Object("datablock_empty", KQ_TDataBlock()),
          Object("array_minus1_2_lower_fixed", array),
          Object("array_empty", KQ_TArray()),
          Object("tree_s_a_1", tree),
          Object("queue_two_elements", queue),
          Object("unknown_moon_42", Unknown("KQ_TMoon", moon)),
          Object("unknown_lunar_error_with_base", Unknown("KQ_TLunarError", lunarError))};
}

// Golden entries pack and read back, SkipData passes each whole, and every
// proper prefix raises from every reader.
TEST_F(DataStreamTest, GoldenVectorsPackAndUnpackByteForByteAndTheirPrefixesRaise) {
  auto const entries = LoadGolden();
  ASSERT_FALSE(entries.empty());
  std::map<std::string, Builder> const builders = GoldenBuilders();
  for (auto const& [name, bytes] : entries) {
    SCOPED_TRACE("golden entry " + name);
    auto const found = builders.find(name);
    if (found == builders.end()) {
      ADD_FAILURE() << "no builder";
      continue;
    }
    EXPECT_EQ(Hex(PackedBy(found->second.pack)), Hex(bytes));
    found->second.read(bytes);
    Input skip(bytes);
    skip.data.SkipData();
    EXPECT_EQ(skip.data.Available(), 0u) << "SkipData did not pass exactly one element";
    for (std::size_t length = 0; length < bytes.size(); ++length) {
      SCOPED_TRACE("cut to " + std::to_string(length) + " bytes");
      Bytes const prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
      std::string const raised = Raised([&] { found->second.read(prefix); });
      EXPECT_TRUE(raised != "" && raised != "foreign") << raised;
      std::string const reads = Reads(prefix);
      for (char const* done : {"obj", "null", "ok", "foreign"}) {
        EXPECT_EQ(reads.find(done), std::string::npos) << reads;
      }
    }
  }
  for (auto const& named : builders) {
    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(),
                            [&](auto const& e) { return e.first == named.first; }))
        << "builder " << named.first << " has no golden entry";
  }
}

TEST_F(DataStreamTest, TypedReadsTakeOnlyTheirOwnTagAndConsumeAWrongOne) {
  Input in(Bytes{0x03, 0, 0, 0, 1, 0x05, 0x07});
  std::uint32_t wrong = 99;
  EXPECT_EQ(Raised([&] { in.data >> wrong; }), "KQ_EWrongPackedType");
  EXPECT_EQ(wrong, 99u);
  EXPECT_EQ(in.data.Available(), 2u);
  ExpectNext(in.data, std::uint8_t{7});
  // No conversion between types of the same width or between widths.
  EXPECT_EQ(Raised([] { ReadAs<std::int16_t>({0x06, 0, 1}); }), "KQ_EWrongPackedType");
  // Any byte but zero is true.
  EXPECT_TRUE(ReadAs<bool>({0x09, 0x80}));
}

Bytes Number64(unsigned char tag, std::uint64_t u) {
  Bytes const low = Number(0, static_cast<std::uint32_t>(u));
  return Join(
      {Number(tag, static_cast<std::uint32_t>(u >> 32)), Bytes(low.begin() + 1, low.end())});
}

// Beyond the golden vectors: subnormal magnitudes are written as zero, every
// NaN as the quiet one.
TEST_F(DataStreamTest, FloatingPointPatternsAreComputedFromTheValue) {
  using FL = std::numeric_limits<float>;
  using DL = std::numeric_limits<double>;
  auto const expect = [](auto value, Bytes const& bytes) {
    EXPECT_EQ(Hex(PackedBy([&](KQ_TDataStream& data) { data << value; })), Hex(bytes)) << value;
  };
  expect(0.1f, Number(0x0B, 0x3DCCCCCDu));
  expect(-FL::quiet_NaN(), Number(0x0B, 0x7FC00000u));
  expect(FL::signaling_NaN(), Number(0x0B, 0x7FC00000u));
  expect(FL::denorm_min(), Number(0x0B, 0));
  expect(-1e300, Number64(0x0C, 0xFE37E43C8800759Cu));
  expect(-0.0, Number64(0x0C, 0));
  expect(-DL::min() / 4, Number64(0x0C, 0));
}

// The bytes read as an F give value, bit for bit (any NaN for a NaN).
template <class F>
void ExpectReadAs(Bytes const& bytes, F value) {
  F const read = ReadAs<F>(bytes);
  if (std::isnan(value)) {
    EXPECT_TRUE(std::isnan(read)) << Hex(bytes);
  } else {
    EXPECT_EQ(std::memcmp(&read, &value, sizeof read), 0) << Hex(bytes) << " gave " << read;
  }
}

TEST_F(DataStreamTest, TheReaderDecodesSpecialPatternsByItsRules) {
  using FL = std::numeric_limits<float>;
  using DL = std::numeric_limits<double>;
  ExpectReadAs(Number(0x0B, 0), 0.0f);
  ExpectReadAs(Number(0x0B, 0xFF800000u), -FL::infinity());
  ExpectReadAs(Number(0x0B, 0x7F800001u), FL::quiet_NaN());
  // Everything else is (1.mantissa) x 2^(exponent - bias), even exponent 0.
  ExpectReadAs(Number(0x0B, 0x80000000u), -std::ldexp(1.0f, -127));
  ExpectReadAs(Number(0x0B, 0x00400000u), std::ldexp(1.5f, -127));
  ExpectReadAs(Number64(0x0C, 0xFFF0000000000000u), -DL::infinity());
  ExpectReadAs(Number64(0x0C, 0x7FF0000000000001u), DL::quiet_NaN());
  ExpectReadAs(Number64(0x0C, 0x8000000000000000u), -std::ldexp(1.0, -1023));
}

TEST_F(DataStreamTest, PacketsCarryTheirLengthAndReadPacketChecksItsRange) {
  auto packet = [](std::uint32_t n) {
    Bytes const payload(n, 0xAB);
    return PackedBy([&](KQ_TDataStream& data) { data.WritePacket(payload.data(), n); });
  };
  EXPECT_EQ(packet(300), Join({Number(0x0F, 300), Bytes(300, 0xAB)}));
  unsigned char buffer[16] = {};
  for (std::uint32_t n : {3u, 4u, 8u, 9u}) {
    bool const fits = n == 4 || n == 8;
    std::uint32_t read = 0;
    EXPECT_EQ(Raised([&] { read = Input(packet(n)).data.ReadPacket(buffer, 4, 8); }),
              fits ? "" : "KQ_EWrongPacketSize");
    EXPECT_EQ(read, fits ? n : 0u);
    EXPECT_TRUE(!fits || buffer[n - 1] == 0xAB);
  }
  EXPECT_EQ(Raised([&] { Input(packet(5)).data.ReadPacket(buffer, std::uint32_t{4}); }),
            "KQ_EWrongPacketSize");
  EXPECT_EQ(Raised([&] { Input(Number(0x07, 4)).data.ReadPacket(buffer, 0, 8); }),
            "KQ_EWrongPackedType");
  // Raw packets carry no framing.
  Bytes const raw = PackedBy([](KQ_TDataStream& data) { data.WriteRawPacket("xyz", 3); });
  EXPECT_EQ(Hex(raw), "78 79 7A");
  char text[4] = {};
  Input(raw).data.ReadRawPacket(text, 3);
  EXPECT_STREQ(text, "xyz");
}

TEST_F(DataStreamTest, ClassHeadersAndTrailersMustMatch) {
  Bytes const section = PackedBy([](KQ_TDataStream& data) {
    data.InsertClassHeader("Base");
    data << true;
    data.InsertClassTrailer("Base");
  });
  EXPECT_EQ(Hex(section), "0E 00 00 00 04 42 61 73 65 09 01 FF");
  Input in(section);
  in.data.ExtractClassHeader("Base");
  ExpectNext(in.data, true);
  in.data.ExtractClassTrailer("anything");
  EXPECT_EQ(in.data.Available(), 0u);

  Bytes object = section;
  object[0] = 0x0D;
  for (auto const& [bytes, name] :
       {std::pair{section, "Bass"}, std::pair{section, "Bases"}, std::pair{object, "Base"}}) {
    EXPECT_EQ(Raised([&] { Input(bytes).data.ExtractClassHeader(name); }), "KQ_EWrongPackedType")
        << name;
  }
  EXPECT_EQ(Raised([&] { Input(Bytes{0xFE}).data.ExtractClassTrailer("Base"); }),
            "KQ_EWrongPackedType");
}

TEST_F(DataStreamTest, ObjectsOfRegisteredClassesUseTheirCodeOthersTheirName) {
  // A subclass of a registered class is written by name.
  EXPECT_EQ(
      Hex(Packed(TestString("a"))),
      Hex(Join({Header(0x0D, "TestString"), Number(0x07, 1), Number(0x0F, 2), {0, 'a', 0xFF}})));
  {
    CodeRegistration code(201, TestBase::KQ_ClassObject());
    EXPECT_EQ(Hex(Packed(TestBase(3))), "C9 03 00 00 00 03");
    {
      // The highest code of a class wins.
      CodeRegistration lower(150, TestBase::KQ_ClassObject());
      EXPECT_EQ(Hex(Packed(TestBase(3))), "C9 03 00 00 00 03");
      CodeRegistration higher(230, TestBase::KQ_ClassObject());
      EXPECT_EQ(Hex(Packed(TestBase(3))), "E6 03 00 00 00 03");
    }
    EXPECT_EQ(Reads(Join({{0xC9}, Number(0x03, 9)})), "obj obj ok ok type");
  }
  EXPECT_EQ(KQ_TDataStream::SpecificType(201), nullptr);
  // Without a code, the code byte is no longer understood.
  EXPECT_EQ(Reads(Join({{0xC9}, Number(0x03, 9)})), "type type ok+5 type type");
}

TEST_F(DataStreamTest, OperatorForObjectsTakesCodesOnlyForTheObjectsOwnClass) {
  Bytes const string = Packed(KQ_TString("hi"));
  KQ_TString read("hi");
  EXPECT_EQ(Reads(string), "obj obj ok type type");
  // Tag 0 is no object: nothing is read and the object stays as it was.
  Input none(Bytes{0x00, 0x05, 0x01});
  none.data >> read;
  EXPECT_EQ(read, KQ_TString("hi"));
  EXPECT_EQ(none.data.Available(), 2u);
  // Another class without a section of this one; a section for an object.
  EXPECT_EQ(Raised([&] { Input(Packed(TestBase(2))).data >> read; }), "KQ_EWrongPackedType");
  Bytes section = Packed(TestBase(2));
  section[0] = 0x0E;
  TestBase base;
  EXPECT_EQ(Raised([&] { Input(section).data >> base; }), "KQ_EWrongPackedType");
}

TEST_F(DataStreamTest, AnObjectIsReadAsTheBaseClassWhoseSectionItCarries) {
  Bytes const derived = Packed(TestDerived(41, 2.5));
  EXPECT_EQ(Hex(derived),
            Hex(Join({Header(0x0D, "TestDerived"),
                      {0x01, 0x07},
                      Header(0x0E, "TestBase"),
                      {0x03, 0, 0, 0, 41, 0xFF, 0x0C, 0x40, 0x04, 0, 0, 0, 0, 0, 0, 0xFF}})));
  // Into a base instance: the other elements and the trailer are skipped.
  Input in(Join({derived, {0x09, 0x01}}));
  TestBase base;
  in.data >> base;
  EXPECT_EQ(base.fValue, 41);
  ExpectNext(in.data, true);
  // Extract knows the derived class itself.
  EXPECT_EQ(As<TestDerived>(Extracted(derived)).fExtra, 2.5);

  // Of an unknown class, the first section stands in for it, however deep.
  Bytes const unknownWrapper = Join({Header(0x0D, "KQ_TNowhere"),
                                     {0x05, 0x01},
                                     Header(0x0E, "KQ_TAlsoNowhere"),
                                     Header(0x0E, "TestBase"),
                                     {0x03, 0, 0, 0, 8, 0xFF, 0x09, 0x00, 0xFF},
                                     Header(0x0E, "TestBase"),
                                     {0x03, 0, 0, 0, 9, 0xFF, 0xFF}});
  EXPECT_EQ(As<TestBase>(Extracted(unknownWrapper)).fValue, 8);
  Input(unknownWrapper).data >> base;
  EXPECT_EQ(base.fValue, 8);
}

TEST_F(DataStreamTest, UnknownObjectsAreKeptByteForByte) {
  Bytes const inner = Join(
      {Header(0x0D, "KQ_TInner"), {0x05, 0x01}, Number(0x0F, 5000), Bytes(5000, 0x5A), {0xFF}});
  // An unknown in an Any in an unknown: in its own block and the outer one.
  Bytes const outer = Join({Header(0x0D, "KQ_TOuter"),
                            {0x40, 0x05, 0x12},
                            inner,
                            {0x00, 0x0A, 0x41},
                            Header(0x0E, "KQ_TSection"),
                            {0x06, 0, 1, 0xFF},
                            Packed(TestBase(5)),
                            {0xFF}});
  Input in(Join({outer, {0x09, 0x01}}));
  std::unique_ptr<KQ_IPackable> const read(in.data.Extract(true));
  KQ_TUnknown const& unknown = As<KQ_TUnknown>(read);
  EXPECT_STREQ(unknown.KQ_PackTypeID(), "KQ_TOuter");
  EXPECT_EQ(Hex(BytesIn(unknown.DataBlock())), Hex(outer));
  EXPECT_EQ(unknown.Offset(), 5u + 9u);
  EXPECT_EQ(unknown.Length(), outer.size() - 14 - 1);
  EXPECT_EQ(Hex(Packed(unknown)), Hex(outer));
  EXPECT_EQ(in.data.Available(), 2u);
  // A section read on its own keeps its tag in the block, packs as an object.
  Bytes const section = Join({Header(0x0E, "KQ_TSection"), {0x06, 0, 1, 0xFF}});
  auto const fromSection = Kept(section);
  EXPECT_EQ(As<KQ_TUnknown>(fromSection).DataBlock().Data()[0], 0x0E);
  Bytes asObject = section;
  asObject[0] = 0x0D;
  EXPECT_EQ(Packed(*fromSection), asObject);
}

// Unpackable classes read by name as unknown ones and raise by a code; no
// instance is made (of one that counts them, of a thread).
TEST_F(DataStreamTest, ClassesThatAreNotPackableAreNeverInstantiated) {
  ReaderUnpackable::sMade = 0;
  for (char const* name : {"ReaderUnpackable", "KQ_TThread"}) {
    SCOPED_TRACE(name);
    Bytes const object = Join({Header(0x0D, name), {0x05, 0x01, 0xFF}});
    EXPECT_EQ(Packed(As<KQ_TUnknown>(Kept(object))), object);
    EXPECT_EQ(Reads(object), "obj null ok type type");
    // As the base section of an unknown class.
    Bytes section = object;
    section[0] = 0x0E;
    EXPECT_EQ(Reads(Join({Header(0x0D, "KQ_TNowhere"), section, {0xFF}})), "obj null ok type type");
  }
  CodeRegistration code(201, ReaderUnpackable::KQ_ClassObject());
  CodeRegistration interface(202, KQ_IPackable::KQ_ClassObject());
  for (Bytes const& bytes :
       {Bytes{0xC9, 0xFF}, Join({Header(0x0D, "KQ_TNowhere"), {0xC9, 0xFF}}), Bytes{0xCA}}) {
    EXPECT_EQ(Reads(bytes), "type type type type type") << Hex(bytes);
  }
  EXPECT_EQ(ReaderUnpackable::sMade, 0);
}

TEST_F(DataStreamTest, DamagedInputRaisesTheReadersExceptions) {
  Bytes badTrailer = Packed(TestBase(1));
  badTrailer.back() = 0xFE;
  Bytes const longUnknown =
      Join({Header(0x0D, std::string(KQ_TDataStream::kMaxNameLength, 'z')), {0xFF}});
  Bytes const forged = Join({Number(0x07, 0xFFFFFFF0u), Number(0x0F, 0xFFFFFFF0u)});
  struct Case {
    char const* what;
    Bytes bytes;
    char const* reads;
  } const cases[] = {
      // Tags that are no object.
      {"no object", Join({{0x00}, Bytes(8, 0)}), "type type ok+8 ok+8 ok+8"},
      {"zero in a name", Join({Header(0x0D, std::string("KQ_TString\0x", 12)), {0xFF}}),
       "type type ok type type"},
      {"trailer that is not 0xFF", badTrailer, "type type end type end"},
      // Lengths and counts far beyond the data.
      {"data block", Join({Header(0x0D, "KQ_TDataBlock"), forged, {1, 2, 3}}),
       "end end type type type"},
      {"list", Join({{0x47}, Number(0x07, 100000000), Repeat({0x40, 0x05, 0x01}, 3)}),
       "end end end type end"},
      {"string",
       {0x41, 0x07, 0x7F, 0xFF, 0xFF, 0x00, 0x0F, 0xFF, 0xFF, 0xFE,
        0x00, 0x00, 0x41, 0x00, 0x42, 0x00, 0x43, 0x00, 0x44, 0x00},
       "end end end type type"},
      {"huge string", Join({{0x41}, Number(0x07, 0xFFFFFFFFu), Number(0x0F, 0xFFFFFFFEu)}),
       "KQ_EOutOfMemory KQ_EOutOfMemory KQ_EOutOfMemory type type"},
      // Names beyond the limit are refused unread; others read as they come.
      {"name beyond the limit", Join({Number(0x0D, 0x10001), Raw("KQ")}),
       "type type type type type"},
      {"name at the limit, cut", Bytes(longUnknown.begin(), longUnknown.begin() + 9000),
       "end end type type type"},
      {"unknown object with a 4 GiB packet",
       Join({Header(0x0D, "KQ_TNowhere"), Number(0x0F, 0xFFFFFFF0u), Bytes(100, 7)}),
       "end type type type type"}};
  for (Case const& c : cases) EXPECT_EQ(Reads(c.bytes), c.reads) << c.what;
  EXPECT_EQ(Packed(As<KQ_TUnknown>(Kept(longUnknown))), longUnknown);
}

TEST_F(DataStreamTest, ReadPacketGrowingAppendsWhatArrives) {
  Bytes payload(200000);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<unsigned char>(i * 7);
  Bytes const packed = Join({Number(0x0F, 200000), payload});
  struct Sink {
    std::vector<std::uint32_t> pieces;
    Bytes collected;
  } sink;
  auto const collect = [](void* context, unsigned char const* bytes, std::uint32_t count) {
    auto* s = static_cast<Sink*>(context);
    s->pieces.push_back(count);
    s->collected.insert(s->collected.end(), bytes, bytes + count);
  };
  EXPECT_EQ(Input(packed).data.ReadPacketGrowing(200000, collect, &sink), 200000u);
  EXPECT_EQ(sink.pieces, (std::vector<std::uint32_t>{65536, 65536, 65536, 3392}));
  EXPECT_EQ(sink.collected, payload);
  auto const ignore = [](void*, unsigned char const*, std::uint32_t) {};
  EXPECT_EQ(Raised([&] { Input(packed).data.ReadPacketGrowing(199999, ignore, nullptr); }),
            "KQ_EWrongPacketSize");
  // Twenty bytes that claim 4 GiB: the data end first.
  Bytes const claim = Join({Number(0x0F, 0xFFFFFFF0u), Bytes(15, 1)});
  EXPECT_EQ(Raised([&] { Input(claim).data.ReadPacketGrowing(0xFFFFFFF0u, ignore, nullptr); }),
            "KQ_EStreamEndReached");
}

// On a small stack nested input reads or raises, never overruns; on the main
// thread one stream reads every depth, too deep first: depth is given back.
TEST_F(DataStreamTest, DeepNestingRaisesInsteadOfOverrunningASmallStack) {
  struct Shape {
    char const* name;
    Bytes open, close, innermost;
    std::size_t levelsPerNesting;
  } const shapes[] = {{"lists of Anys",
                       {0x47, 0x07, 0, 0, 0, 1, 0x40, 0x05, 0x12},
                       {},
                       {0x47, 0x07, 0, 0, 0, 0},
                       2},
                      {"objects of an unknown class", Header(0x0D, "KQ_TMoon"), {0xFF}, {}, 1},
                      {"sections of an unknown class", Header(0x0E, "KQ_TCrater"), {0xFF}, {}, 1}};
  KQ_TDataStream shared;
  for (Shape const& shape : shapes) {
    SCOPED_TRACE(shape.name);
    std::size_t const limit = KQ_TDataStream::kMaxDepth / shape.levelsPerNesting;
    for (std::size_t depth : {4 * limit, limit + 1, std::size_t{20}, limit - 1}) {
      SCOPED_TRACE(depth);
      Bytes bytes = Join({Repeat(shape.open, depth), shape.innermost, Repeat(shape.close, depth)});
      std::string const expected = depth <= limit ? "" : "KQ_EWrongPackedType";
      std::string raised[3];
      ASSERT_TRUE(RunOnStack(kSmallStack, [&] {
        raised[0] = Raised([&] { delete Input(bytes).data.Extract(true); });
        raised[1] = Raised([&] { delete Input(bytes).data.Extract(false); });
        raised[2] = Raised([&] { Input(bytes).data.SkipData(); });
      }));
      for (std::string const& r : raised) {
        EXPECT_TRUE(r == expected || (depth != 20 && r == "KQ_EWrongPackedType")) << r;
      }
      auto const size = static_cast<std::uint32_t>(bytes.size());
      KQ_TMemoryStream memory(bytes.data(), size, size);
      shared = memory;
      EXPECT_EQ(Raised([&] { delete shared.Extract(true); }), expected);
    }
  }
  // Into a base instance through sections nested within the limit.
  TestBase base;
  Input(Join({Header(0x0D, "KQ_TMoon"), Repeat(Header(0x0E, "KQ_TCrater"), 900),
              Header(0x0E, "TestBase"), Number(0x03, 6), Bytes(902, 0xFF)}))
          .data >>
      base;
  EXPECT_EQ(base.fValue, 6);
}

// A read's memory budget grows with the bytes it consumes: containers stay
// within the default and raise below it, also inside an Any.
TEST_F(DataStreamTest, ContainersReadWithinTheReadBudget) {
  KQ_TArray array;
  KQ_TList list;
  KQ_TDict dict;
  // Numbers take the fast path over memory, which counts like any other.
  for (std::int32_t i = 0; i < 20000; ++i) {
    array[i] = KQ_TAny(i * 0.5);
    list.AddAtTail(KQ_TAny(i));
    dict.Add(KQ_TString::Format("%d", i), KQ_TAny(-i));
  }
  for (KQ_IPackable const* container :
       std::initializer_list<KQ_IPackable const*>{&array, &list, &dict}) {
    Bytes const bytes = Packed(*container);
    SCOPED_TRACE(int{bytes[0]});
    std::unique_ptr<KQ_IPackable> const read(Input(bytes).data.Extract(true));
    ASSERT_NE(read, nullptr);
    EXPECT_TRUE(read->KQ_IsIdent(*container));
    {
      ReadBudgetChange<KQ_TDataStream> const tight(1, 1024);
      KQ_TAny any;
      ExpectEachRaises(
          "KQ_EWrongPacketSize",
          {[&] { delete Input(bytes).data.Extract(true); }, [&] { Input(bytes).data.SkipData(); },
           [&] {
             Input(Join({{0x40, 0x05, 0x12}, bytes})).data >> any;
           }});
    }
    EXPECT_NE(std::unique_ptr<KQ_IPackable>(Input(bytes).data.Extract(true)), nullptr);
  }
}

TEST_F(DataStreamTest, AnUnboundStreamRaisesForEveryByteOperation) {
  KQ_TDataStream data;
  unsigned char buffer[4];
  std::int32_t value;
  ExpectUnboundRefuses(
      data,
      {[&] { data << 1; }, [&] { data << KQ_TString("x"); }, [&] { data.WritePacket(buffer, 0); },
       [&] { data.WriteRawPacket(buffer, 0); }, [&] { data.InsertClassHeader("A"); },
       [&] { data >> value; }, [&] { data.ReadPacket(buffer, 0, 4); },
       [&] { data.ReadRawPacket(buffer, 0); }, [&] { data.ExtractClassHeader("A"); },
       [&] { data.SkipData(); }, [&] { data.Peek(); }, [&] { delete data.Extract(true); }});
}

TEST_F(DataStreamTest, PushbackBytesAreReadFirstAndGoWhenTheBoundStreamMoves) {
  KQ_TMemoryStream memory;
  KQ_TDataStream data(memory);
  WriteText(data, "abcdefgh");
  data.Seek(0);
  EXPECT_EQ(data.Peek(), 'a');
  EXPECT_EQ(data.Read(), 'a');
  data.Unread("xyz", 3);
  EXPECT_EQ(data.Available(), 10u);
  for (char expected : std::string("xyzb")) EXPECT_EQ(data.Read(), expected);
  // The range read takes the pushback bytes, then asks the bound stream.
  data.Unread('2').Unread('1');
  unsigned char buffer[8] = {};
  EXPECT_EQ(data.Read(buffer, 1, 4), 4u);
  EXPECT_EQ(std::string(buffer, buffer + 4), "12cd");
  // Skip passes pushback bytes first.
  data.Unread('q');
  EXPECT_TRUE(data.Skip(2));
  EXPECT_EQ(data.Read(), 'f');
  // Rewind and Seek drop the pushback bytes.
  data.Mark(3, 0);
  data.Unread('z');
  data.Rewind(3);
  EXPECT_EQ(data.Read(), 'g') << "Rewind drops the pushback bytes";
  data.Unread('z');
  data.Seek(4);
  EXPECT_EQ(data.Read(), 'e') << "Seek drops the pushback bytes";
  // Rebinding and Close empty the stack.
  data.Unread('s');
  KQ_TMemoryStream other;
  data = other;
  EXPECT_EQ(data.Available(), 0u);
  data.Unread('t');
  EXPECT_TRUE(data.Close());
  EXPECT_EQ(data.Available(), 0u);
  // A typed read takes a peeked tag.
  Input typed(Bytes{0x02, 0xFF, 0xFE});
  EXPECT_EQ(typed.data.Peek(), 0x02);
  ExpectNext(typed.data, std::int16_t{-2});
}

// A list's elements over memory (the fast path) and over another data stream
// give the general path's bytes, and read back to them.
TEST_F(DataStreamTest, ContainerElementsTakeTheSameBytesOnEveryPath) {
  using FL = std::numeric_limits<float>;
  using DL = std::numeric_limits<double>;
  KQ_TList nested;
  nested.Add(std::int32_t{1});
  nested.Add(std::int32_t{2});
  KQ_TList list;
  std::apply([&](auto... value) { (list.Add(value), ...); },
             std::make_tuple(std::int8_t{-5}, std::int16_t{-300}, std::int32_t{-70000},
                             std::int64_t{-5000000000}, std::uint8_t{200}, std::uint16_t{60000},
                             std::uint32_t{4000000000u}, std::uint64_t{18000000000000000000u}, true,
                             'q', 1.5f, -0.0f, FL::denorm_min(), -FL::infinity(), FL::quiet_NaN(),
                             -2.25, DL::denorm_min(), DL::infinity(), DL::quiet_NaN(), KQ_TAny(),
                             nullptr, "text", nested));
  Bytes const elements = PackedBy([&](KQ_TDataStream& data) {
    static_cast<KQ_IPacking&>(data) << list.Entries();
    for (KQ_TListKey const* key = list.KeyAtHead(); key != nullptr; key = key->Next()) {
      static_cast<KQ_IPacking&>(data) << static_cast<KQ_IPackable const&>(key->Value());
    }
  });
  KQ_TMemoryStream memory, innerMemory;
  KQ_TDataStream data(memory), inner(innerMemory), outer(inner);
  list.KQ_Pack(data);
  list.KQ_Pack(outer);
  EXPECT_EQ(Hex(Contents(memory)), Hex(elements));
  EXPECT_EQ(Hex(Contents(innerMemory)), Hex(elements));
  for (KQ_TDataStream* reader : {&data, &outer}) {
    reader->Seek(0);
    KQ_TList read;
    read.KQ_Unpack(*reader);
    EXPECT_EQ(Hex(PackedBy([&](KQ_TDataStream& again) { read.KQ_Pack(again); })), Hex(elements));
  }
}

}  // namespace
