// The data stream and the binary packing format: the hand-written golden
// vectors of tests/data/packed_golden.txt, the reader's rules and edge
// cases, and input that is truncated, huge, deeply nested or random.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kq_eexception.h"
#include "kq_initialization.h"
#include "kq_tany.h"
#include "kq_tarray.h"
#include "kq_tclass.h"
#include "kq_tdatablock.h"
#include "kq_tdatastream.h"
#include "kq_tdict.h"
#include "kq_tlist.h"
#include "kq_tmemorystream.h"
#include "kq_tmutex.h"
#include "kq_tqueue.h"
#include "kq_tsemaphore.h"
#include "kq_tstackentry.h"
#include "kq_tstring.h"
#include "kq_tthread.h"
#include "kq_ttree.h"
#include "kq_tunknown.h"
#include "test_support.h"

using Bytes = std::vector<unsigned char>;

// A packable class with one field, and a class derived from it that packs
// the base's state as a class section between fields of its own.
class TestBase : public KQ_TObject, public virtual KQ_IPackable {
  KQ_CLASS(TestBase, KQ_TObject, KQ_IPackable)
  TestBase() = default;
  explicit TestBase(std::int32_t value) : fValue(value) {}
  TestBase(TestBase const& other) = default;
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
  TestDerived(TestDerived const& other) = default;
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

// A class with a factory that is not packable.
class TestPlain : public KQ_TObject {
  KQ_CLASS(TestPlain, KQ_TObject)
};
KQ_CLASS_IMPL(TestPlain)

// A subclass of a class with a code: written by name, not by the code.
class TestString : public KQ_TString {
  KQ_CLASS(TestString, KQ_TString)
  TestString() = default;
  explicit TestString(char const* text) : KQ_TString(text) {}
};
KQ_CLASS_IMPL(TestString)

namespace {

std::string Hex(Bytes const& bytes) {
  static char const digits[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned char b : bytes) {
    if (!text.empty()) text += ' ';
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

Bytes Contents(KQ_TMemoryStream const& stream) {
  if (stream.Size() == 0) return {};
  return Bytes(stream.Data(), stream.Data() + stream.Size());
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (Bytes const& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes Text(std::string const& text) { return Bytes(text.begin(), text.end()); }

// A u32 length then the bytes of name, after tag.
Bytes Header(unsigned char tag, std::string const& name) {
  auto const n = static_cast<std::uint32_t>(name.size());
  Bytes bytes = {tag, static_cast<unsigned char>(n >> 24), static_cast<unsigned char>(n >> 16),
                 static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)};
  return Join({bytes, Text(name)});
}

Bytes Repeat(Bytes const& part, std::size_t times) {
  Bytes all;
  all.reserve(part.size() * times);
  for (std::size_t i = 0; i < times; ++i) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// A data stream reading a private copy of bytes.
struct Input {
  explicit Input(Bytes b)
      : bytes(std::move(b)),
        memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()),
               static_cast<std::uint32_t>(bytes.size())),
        data(memory) {}
  Bytes bytes;
  KQ_TMemoryStream memory;
  KQ_TDataStream data;
};

// Packs with a function and returns the bytes.
Bytes Packed(std::function<void(KQ_TDataStream&)> const& pack) {
  KQ_TMemoryStream memory;
  KQ_TDataStream data(memory);
  pack(data);
  return Contents(memory);
}

Bytes PackedObject(KQ_IPackable const& object) {
  return Packed([&](KQ_TDataStream& data) { data << object; });
}

// Runs f and reports whether it raised a library exception; any other
// exception fails the test.
bool RaisesLibraryException(std::function<void()> const& f) {
  try {
    f();
  } catch (KQ_EException const&) {
    return true;
  } catch (std::exception const& e) {
    ADD_FAILURE() << "not a library exception: " << e.what();
    return true;
  } catch (...) {
    ADD_FAILURE() << "not a library exception";
    return true;
  }
  return false;
}

template <class E>
bool Raises(std::function<void()> const& f) {
  try {
    f();
  } catch (E const&) {
    return true;
  } catch (KQ_EException const& e) {
    ADD_FAILURE() << "raised " << e.ClassName() << " instead";
    return true;
  }
  return false;
}

template <class T>
std::unique_ptr<T> As(KQ_IPackable* object, char const* className) {
  std::unique_ptr<KQ_IPackable> owned(object);
  if (owned == nullptr) return nullptr;
  auto* cast = static_cast<T*>(owned->KQ_Cast(className));
  if (cast == nullptr) return nullptr;
  owned.release();
  return std::unique_ptr<T>(cast);
}

class DataStreamTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__());
    Expect(64, KQ_TAny::KQ_ClassObject());
    Expect(65, KQ_TString::KQ_ClassObject());
    Expect(71, KQ_TList::KQ_ClassObject());
    // Records are made on first use; the name-based readers need them.
    TestBase::KQ_ClassObject();
    TestDerived::KQ_ClassObject();
    TestPlain::KQ_ClassObject();
    ReaderUnpackable::KQ_ClassObject();
    KQ_TThread::KQ_ClassObject();
    KQ_TSemaphore::KQ_ClassObject();
    KQ_TMutex::KQ_ClassObject();
    TestString::KQ_ClassObject();
    KQ_TStackEntry::KQ_ClassObject();
    KQ_TDataBlock::KQ_ClassObject();
    KQ_TUnknown::KQ_ClassObject();
  }

  // The library registers its codes while it initialises; until every class
  // does so, the suite registers what is missing and says so.
  static void Expect(unsigned char code, KQ_TClass const* record) {
    KQ_TClass const* registered = KQ_TDataStream::SpecificType(code);
    if (registered == record) return;
    ASSERT_EQ(registered, nullptr) << "code " << int{code} << " holds another class";
    std::cout << "[   NOTE   ] code " << int{code} << " (" << record->ClassName()
              << ") registered by the test: initialisation did not register it\n";
    KQ_TDataStream::RegisterSpecificType(code, record);
  }
};

// Registers record under code for the life of the object.
class CodeRegistration {
 public:
  CodeRegistration(unsigned char code, KQ_TClass const* record)
      : fCode(code), fSaved(KQ_TDataStream::SpecificType(code)) {
    KQ_TDataStream::RegisterSpecificType(code, record);
  }
  CodeRegistration(CodeRegistration const&) = delete;
  CodeRegistration& operator=(CodeRegistration const&) = delete;
  ~CodeRegistration() { KQ_TDataStream::RegisterSpecificType(fCode, fSaved); }

 private:
  unsigned char fCode;
  KQ_TClass const* fSaved;
};

// Golden vectors

struct GoldenEntry {
  std::string name;
  Bytes bytes;
};

std::vector<GoldenEntry> LoadGolden() {
  std::string const path = std::string(KQ_TEST_DATA_DIR) + "/packed_golden.txt";
  std::ifstream in(path);
  EXPECT_TRUE(in.good()) << "cannot open " << path;
  std::vector<GoldenEntry> entries;
  std::string line;
  int lineNr = 0;
  while (std::getline(in, line)) {
    ++lineNr;
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::string word;
    if (!(words >> word)) continue;
    if (word == "=") {
      GoldenEntry entry;
      EXPECT_TRUE(static_cast<bool>(words >> entry.name)) << "line " << lineNr << ": no name";
      entries.push_back(entry);
      continue;
    }
    EXPECT_FALSE(entries.empty()) << "line " << lineNr << ": bytes before the first entry";
    if (entries.empty()) continue;
    do {
      bool const wellFormed = word.size() == 2 &&
                              std::isxdigit(static_cast<unsigned char>(word[0])) &&
                              std::isxdigit(static_cast<unsigned char>(word[1]));
      EXPECT_TRUE(wellFormed) << "line " << lineNr << ": bad byte '" << word << "'";
      if (wellFormed) {
        entries.back().bytes.push_back(static_cast<unsigned char>(std::stoi(word, nullptr, 16)));
      }
    } while (words >> word);
  }
  return entries;
}

// How the value of one golden entry is made and checked.
struct Builder {
  // Packs the value.
  std::function<void(KQ_TDataStream&)> pack;
  // Reads the value from a stream over the golden bytes and checks it.
  std::function<void(KQ_TDataStream&)> read;
};

template <class T>
void ExpectSameValue(T expected, T actual) {
  if constexpr (std::is_floating_point_v<T>) {
    if (std::isnan(expected)) {
      EXPECT_TRUE(std::isnan(actual));
      return;
    }
  }
  EXPECT_EQ(expected, actual);
}

template <class T>
Builder Basic(T value) {
  return {[value](KQ_TDataStream& data) { data << value; },
          [value](KQ_TDataStream& data) {
            T read{};
            data >> read;
            ExpectSameValue(value, read);
          }};
}

using Maker = std::function<std::unique_ptr<KQ_IPackable>()>;

// An object: Extract gives an identical object of the same class, which
// packs to the same bytes again; operator>> into a default instance of the
// class reads the same contents.
Builder Object(Maker make) {
  return {[make](KQ_TDataStream& data) { data << *make(); },
          [make](KQ_TDataStream& data) {
            std::unique_ptr<KQ_IPackable> const expected = make();
            std::unique_ptr<KQ_IPackable> const read(data.Extract(true));
            ASSERT_NE(read.get(), nullptr);
            EXPECT_EQ(read->KQ_PackClassObject(), expected->KQ_PackClassObject());
            EXPECT_TRUE(expected->KQ_IsIdent(*read));
            EXPECT_TRUE(read->KQ_IsIdent(*expected));
            Bytes const repacked = PackedObject(*read);
            auto const* memory =
                static_cast<KQ_TMemoryStream*>(data.BoundStream()->KQ_Cast("KQ_TMemoryStream"));
            ASSERT_NE(memory, nullptr);
            EXPECT_EQ(Hex(repacked), Hex(Contents(*memory))) << "packing the unpacked object";

            std::unique_ptr<KQ_TObject> fresh(expected->KQ_PackClassObject()->CreateInstance());
            ASSERT_NE(fresh.get(), nullptr);
            auto* target = static_cast<KQ_IPackable*>(fresh->KQ_Cast("KQ_IPackable"));
            Input again(Contents(*memory));
            again.data >> *target;
            EXPECT_TRUE(expected->KQ_IsIdent(*target)) << "operator>> into a new instance";
            EXPECT_EQ(again.data.Available(), 0u);
          }};
}

// An object of a class no process knows: the unknown made from its bytes
// packs to them, Extract(true) gives an equal unknown, and Extract(false)
// gives what checkKnown accepts.
Builder Unknown(char const* className, Bytes bytes, std::function<void(KQ_IPackable*)> checkKnown) {
  auto const headerSize = static_cast<std::uint32_t>(5 + std::strlen(className));
  auto const contentLength = static_cast<std::uint32_t>(bytes.size() - headerSize - 1);
  auto make = [=] {
    auto unknown = std::make_unique<KQ_TUnknown>(className, bytes.data(),
                                                 static_cast<std::uint32_t>(bytes.size()));
    unknown->SetOffset(headerSize);
    unknown->SetLength(contentLength);
    return unknown;
  };
  return {[make](KQ_TDataStream& data) { data << *make(); },
          [make, bytes, checkKnown](KQ_TDataStream& data) {
            auto read = As<KQ_TUnknown>(data.Extract(true), "KQ_TUnknown");
            ASSERT_NE(read, nullptr);
            EXPECT_TRUE(*read == *make());
            EXPECT_EQ(Hex(PackedObject(*read)), Hex(bytes));
            Input again(bytes);
            std::unique_ptr<KQ_IPackable> known(again.data.Extract(false));
            checkKnown(known.get());
            EXPECT_EQ(again.data.Available(), 0u);
          }};
}

std::map<std::string, Builder> GoldenBuilders() {
  std::map<std::string, Builder> b;
  b["short_minus_2"] = Basic(std::int16_t{-2});
  b["long_minus_1"] = Basic(std::int32_t{-1});
  b["int64_minus_2"] = Basic(std::int64_t{-2});
  b["uint8_200"] = Basic(std::uint8_t{200});
  b["uint16_65535"] = Basic(std::uint16_t{65535});
  b["uint32_70000"] = Basic(std::uint32_t{70000});
  b["uint64_1"] = Basic(std::uint64_t{1});
  b["int8_minus_128"] = Basic(std::int8_t{-128});
  b["bool_true"] = Basic(true);
  b["bool_false"] = Basic(false);
  b["char_A"] = Basic('A');
  b["float_minus_zero"] = Basic(-0.0f);
  b["float_one"] = Basic(1.0f);
  b["float_minus_2_5"] = Basic(-2.5f);
  b["float_nan"] = Basic(std::numeric_limits<float>::quiet_NaN());
  b["float_plus_infinity"] = Basic(std::numeric_limits<float>::infinity());
  b["double_one"] = Basic(1.0);
  b["double_minus_infinity"] = Basic(-std::numeric_limits<double>::infinity());
  b["double_nan"] = Basic(std::numeric_limits<double>::quiet_NaN());
  b["double_0_1"] = Basic(0.1);
  b["packet_abc"] = {[](KQ_TDataStream& data) { data.WritePacket("abc", 3); },
                     [](KQ_TDataStream& data) {
                       char buffer[16] = {};
                       EXPECT_EQ(data.ReadPacket(buffer, 0, sizeof buffer), 3u);
                       EXPECT_STREQ(buffer, "abc");
                     }};
  b["string_ab"] = Object([] { return std::make_unique<KQ_TString>("ab"); });
  b["string_empty"] = Object([] { return std::make_unique<KQ_TString>(); });
  b["string_e_acute_euro"] = Object([] { return std::make_unique<KQ_TString>(u"\u00E9\u20AC"); });
  b["any_illegal"] = Object([] { return std::make_unique<KQ_TAny>(); });
  b["any_null"] = Object([] { return std::make_unique<KQ_TAny>(nullptr); });
  b["any_int32_5"] = Object([] { return std::make_unique<KQ_TAny>(std::int32_t{5}); });
  b["any_uint64_7"] = Object([] { return std::make_unique<KQ_TAny>(std::uint64_t{7}); });
  b["any_char_z"] = Object([] { return std::make_unique<KQ_TAny>('z'); });
  b["any_float_1_5"] = Object([] { return std::make_unique<KQ_TAny>(1.5f); });
  b["any_double_1_5"] = Object([] { return std::make_unique<KQ_TAny>(1.5); });
  b["any_string_x"] = Object([] { return std::make_unique<KQ_TAny>(KQ_TString("x")); });
  b["list_empty"] = Object([] { return std::make_unique<KQ_TList>(); });
  b["list_int_string"] = Object([] {
    auto list = std::make_unique<KQ_TList>();
    list->AddAtTail(KQ_TAny(std::int32_t{1}));
    list->AddAtTail(KQ_TAny(KQ_TString("x")));
    return list;
  });
  b["list_nested"] = Object([] {
    KQ_TList inner;
    inner.AddAtTail(KQ_TAny(true));
    auto list = std::make_unique<KQ_TList>();
    list->AddAtTail(KQ_TAny(inner));
    return list;
  });
  b["dict_a_1"] = Object([] {
    auto dict = std::make_unique<KQ_TDict>();
    dict->Add("a", KQ_TAny(std::int32_t{1}));
    return dict;
  });
  b["stack_entry_f_g_7"] = Object([] { return std::make_unique<KQ_TStackEntry>("f", "g", 7); });
  b["exception_illegal_time_m"] =
      Object([] { return std::make_unique<KQ_EIllegalTime>(KQ_TString("m")); });
  b["datablock_1_2_3"] = Object([] {
    unsigned char const bytes[] = {1, 2, 3};
    return std::make_unique<KQ_TDataBlock>(bytes, 3);
  });
  b["datablock_empty"] = Object([] { return std::make_unique<KQ_TDataBlock>(); });
  b["array_minus1_2_lower_fixed"] = Object([] {
    auto array = std::make_unique<KQ_TArray>(-1, 1);
    (*array)[-1] = KQ_TAny(std::int32_t{5});
    (*array)[1] = KQ_TAny(std::int32_t{7});
    array->SetUpperFixed(false);
    return array;
  });
  b["array_empty"] = Object([] { return std::make_unique<KQ_TArray>(); });
  b["tree_s_a_1"] = Object([] {
    KQ_TTree inner;
    inner["a"] = KQ_TAny(std::int32_t{1});
    auto tree = std::make_unique<KQ_TTree>();
    (*tree)["s"] = KQ_TAny(inner);
    return tree;
  });
  b["queue_two_elements"] = Object([] {
    auto queue = std::make_unique<KQ_TQueue>();
    queue->Add(KQ_TAny(1.5f), -1);
    queue->Add(KQ_TAny(std::int32_t{10}), 5);
    return queue;
  });
  b["unknown_moon_42"] =
      Unknown("KQ_TMoon", Join({Header(0x0D, "KQ_TMoon"), {0x07, 0, 0, 0, 0x2A, 0xFF}}),
              [](KQ_IPackable* known) { EXPECT_EQ(known, nullptr); });
  b["unknown_lunar_error_with_base"] = Unknown(
      "KQ_TLunarError",
      Join({Header(0x0D, "KQ_TLunarError"),
            {0x05, 0x07},
            Header(0x0E, "KQ_EException"),
            {0x47, 0x07, 0, 0, 0, 0},
            {0x41, 0x07, 0, 0, 0, 1, 0x0F, 0, 0, 0, 2, 0, 'm'},
            {0x40, 0x05, 0x00, 0xFF, 0xFF}}),
      [](KQ_IPackable* known) {
        ASSERT_NE(known, nullptr);
        auto const* exception = static_cast<KQ_EException*>(known->KQ_Cast("KQ_EException"));
        ASSERT_NE(exception, nullptr);
        EXPECT_STREQ(known->ClassName(), "KQ_EException");
        EXPECT_EQ(exception->KQ_Message(), KQ_TString("m"));
        EXPECT_TRUE(exception->KQ_StackTrace().IsEmpty());
      });
  return b;
}

TEST_F(DataStreamTest, GoldenVectorsPackAndUnpackByteForByte) {
  std::vector<GoldenEntry> const entries = LoadGolden();
  ASSERT_FALSE(entries.empty());
  std::map<std::string, Builder> const builders = GoldenBuilders();
  for (GoldenEntry const& entry : entries) {
    SCOPED_TRACE("golden entry " + entry.name);
    auto const found = builders.find(entry.name);
    if (found == builders.end()) {
      ADD_FAILURE() << "no builder for golden entry " << entry.name;
      continue;
    }
    Builder const& builder = found->second;
    EXPECT_EQ(Hex(Packed(builder.pack)), Hex(entry.bytes));

    Input read(entry.bytes);
    builder.read(read.data);
    EXPECT_EQ(read.data.Available(), 0u) << "the reader left bytes";

    Input skip(entry.bytes);
    skip.data.SkipData();
    EXPECT_EQ(skip.data.Available(), 0u) << "SkipData did not pass exactly one element";
  }
  for (auto const& named : builders) {
    std::string const& name = named.first;
    bool const listed = std::any_of(entries.begin(), entries.end(),
                                    [&](GoldenEntry const& e) { return e.name == name; });
    EXPECT_TRUE(listed) << "builder " << name << " has no golden entry";
  }
}

TEST_F(DataStreamTest, EveryProperPrefixOfAGoldenVectorRaises) {
  std::map<std::string, Builder> const builders = GoldenBuilders();
  for (GoldenEntry const& entry : LoadGolden()) {
    auto const found = builders.find(entry.name);
    if (found == builders.end()) continue;
    Builder const& builder = found->second;
    for (std::size_t length = 0; length < entry.bytes.size(); ++length) {
      SCOPED_TRACE(entry.name + " cut to " + std::to_string(length) + " bytes");
      Bytes const prefix(entry.bytes.begin(), entry.bytes.begin() + length);
      EXPECT_TRUE(RaisesLibraryException([&] {
        Input in(prefix);
        builder.read(in.data);
      })) << "the value's own reader";
      EXPECT_TRUE(RaisesLibraryException([&] { Input(prefix).data.SkipData(); }));
      EXPECT_TRUE(RaisesLibraryException([&] { delete Input(prefix).data.Extract(true); }));
      EXPECT_TRUE(RaisesLibraryException([&] { delete Input(prefix).data.Extract(false); }));
    }
  }
}

// Basic values

TEST_F(DataStreamTest, IntegersKeepTheirWidthAndRangeAndOtherIntegerTypesForward) {
  Bytes const bytes = Packed([](KQ_TDataStream& data) {
    data << std::numeric_limits<std::int8_t>::min() << std::numeric_limits<std::int16_t>::max()
         << std::numeric_limits<std::int32_t>::min() << std::numeric_limits<std::int64_t>::min()
         << std::numeric_limits<std::uint8_t>::max() << std::numeric_limits<std::uint16_t>::max()
         << std::numeric_limits<std::uint32_t>::max() << std::numeric_limits<std::uint64_t>::max();
    data << 5LL << 7u << 9L << 3ULL << 1 << static_cast<unsigned short>(4);
  });
  EXPECT_EQ(Hex(bytes),
            "01 80 02 7F FF 03 80 00 00 00 04 80 00 00 00 00 00 00 00 05 FF 06 FF FF 07 FF FF FF "
            "FF 08 FF FF FF FF FF FF FF FF 04 00 00 00 00 00 00 00 05 07 00 00 00 07 04 00 00 00 "
            "00 00 00 00 09 08 00 00 00 00 00 00 00 03 03 00 00 00 01 06 00 04");
  Input in(bytes);
  std::int8_t i8 = 0;
  std::int16_t i16 = 0;
  std::int32_t i32 = 0;
  std::int64_t i64 = 0;
  std::uint8_t u8 = 0;
  std::uint16_t u16 = 0;
  std::uint32_t u32 = 0;
  std::uint64_t u64 = 0;
  in.data >> i8 >> i16 >> i32 >> i64 >> u8 >> u16 >> u32 >> u64;
  EXPECT_EQ(i8, std::numeric_limits<std::int8_t>::min());
  EXPECT_EQ(i16, std::numeric_limits<std::int16_t>::max());
  EXPECT_EQ(i32, std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(i64, std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(u8, std::numeric_limits<std::uint8_t>::max());
  EXPECT_EQ(u16, std::numeric_limits<std::uint16_t>::max());
  EXPECT_EQ(u32, std::numeric_limits<std::uint32_t>::max());
  EXPECT_EQ(u64, std::numeric_limits<std::uint64_t>::max());
  long long ll = 0;
  unsigned u = 0;
  long l = 0;
  unsigned long long ull = 0;
  int i = 0;
  unsigned short us = 0;
  in.data >> ll >> u >> l >> ull >> i >> us;
  EXPECT_EQ(ll, 5);
  EXPECT_EQ(u, 7u);
  EXPECT_EQ(l, 9);
  EXPECT_EQ(ull, 3u);
  EXPECT_EQ(i, 1);
  EXPECT_EQ(us, 4);
}

TEST_F(DataStreamTest, AnyNonZeroBoolByteIsTrue) {
  bool value = false;
  Input(Bytes{0x09, 0x07}).data >> value;
  EXPECT_TRUE(value);
  Input(Bytes{0x09, 0x80}).data >> value;
  EXPECT_TRUE(value);
  Input(Bytes{0x09, 0x00}).data >> value;
  EXPECT_FALSE(value);
}

TEST_F(DataStreamTest, AWrongTagRaisesAfterConsumingTheElement) {
  Input in(Bytes{0x03, 0, 0, 0, 1, 0x05, 0x07});
  std::uint32_t wrong = 99;
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] { in.data >> wrong; }));
  EXPECT_EQ(wrong, 99u);
  EXPECT_EQ(in.data.Available(), 2u);
  std::uint8_t next = 0;
  in.data >> next;
  EXPECT_EQ(next, 7);

  // No conversion between types of the same width or between widths.
  std::int16_t s = 0;
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] { Input(Bytes{0x06, 0, 1}).data >> s; }));
  double d = 0;
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] {
    Input(Bytes{0x0B, 0x3F, 0x80, 0, 0, 0, 0, 0, 0}).data >> d;
  }));
  char c = 0;
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] { Input(Bytes{0x01, 0x41}).data >> c; }));
}

std::uint32_t FloatBits(float f) {
  std::uint32_t bits;
  std::memcpy(&bits, &f, 4);
  return bits;
}

std::uint64_t DoubleBits(double d) {
  std::uint64_t bits;
  std::memcpy(&bits, &d, 8);
  return bits;
}

std::uint64_t WrittenBits(Bytes const& bytes) {
  std::uint64_t bits = 0;
  for (std::size_t i = 1; i < bytes.size(); ++i) bits = bits << 8 | bytes[i];
  return bits;
}

TEST_F(DataStreamTest, FloatingPointPatternsAreComputedFromTheValue) {
  using FL = std::numeric_limits<float>;
  using DL = std::numeric_limits<double>;
  struct FloatCase {
    float value;
    std::uint32_t bits;
  };
  FloatCase const floats[] = {
      {1.0f, 0x3F800000u},
      {-2.5f, 0xC0200000u},
      {0.1f, 0x3DCCCCCDu},
      {FL::max(), 0x7F7FFFFFu},
      {-FL::max(), 0xFF7FFFFFu},
      {FL::min(), 0x00800000u},
      {-FL::min(), 0x80800000u},
      {FL::infinity(), 0x7F800000u},
      {-FL::infinity(), 0xFF800000u},
      {FL::quiet_NaN(), 0x7FC00000u},
      {-FL::quiet_NaN(), 0x7FC00000u},
      {FL::signaling_NaN(), 0x7FC00000u},
      {0.0f, 0},
      {-0.0f, 0},
      // Subnormal magnitudes are written as zero.
      {FL::denorm_min(), 0},
      {-FL::denorm_min(), 0},
      {FL::min() / 2, 0},
  };
  for (FloatCase const& c : floats) {
    SCOPED_TRACE(c.value);
    Bytes const bytes = Packed([&](KQ_TDataStream& data) { data << c.value; });
    ASSERT_EQ(bytes.size(), 5u);
    EXPECT_EQ(bytes[0], 0x0B);
    EXPECT_EQ(WrittenBits(bytes), c.bits);
  }
  struct DoubleCase {
    double value;
    std::uint64_t bits;
  };
  DoubleCase const doubles[] = {
      {1.0, 0x3FF0000000000000u},
      {0.1, 0x3FB999999999999Au},
      {-1e300, 0xFE37E43C8800759Cu},
      {DL::max(), 0x7FEFFFFFFFFFFFFFu},
      {DL::min(), 0x0010000000000000u},
      {-DL::min(), 0x8010000000000000u},
      {DL::infinity(), 0x7FF0000000000000u},
      {-DL::infinity(), 0xFFF0000000000000u},
      {DL::quiet_NaN(), 0x7FF8000000000000u},
      {-DL::quiet_NaN(), 0x7FF8000000000000u},
      {-0.0, 0},
      {DL::denorm_min(), 0},
      {-DL::min() / 4, 0},
  };
  for (DoubleCase const& c : doubles) {
    SCOPED_TRACE(c.value);
    Bytes const bytes = Packed([&](KQ_TDataStream& data) { data << c.value; });
    ASSERT_EQ(bytes.size(), 9u);
    EXPECT_EQ(bytes[0], 0x0C);
    EXPECT_EQ(WrittenBits(bytes), c.bits);
  }
}

TEST_F(DataStreamTest, NormalNumbersRoundTripBitForBit) {
  std::mt19937_64 random(20240611);
  for (int i = 0; i < 20000; ++i) {
    std::uint32_t fbits = static_cast<std::uint32_t>(random());
    std::uint32_t const fexp = (fbits >> 23) & 0xFF;
    if (fexp == 0 || fexp == 0xFF) fbits ^= 0x40000000u;  // into the normal range
    float f;
    std::memcpy(&f, &fbits, 4);
    std::uint64_t dbits = random();
    std::uint64_t const dexp = (dbits >> 52) & 0x7FF;
    if (dexp == 0 || dexp == 0x7FF) dbits ^= 0x4000000000000000u;
    double d;
    std::memcpy(&d, &dbits, 8);

    Bytes const bytes = Packed([&](KQ_TDataStream& data) { data << f << d; });
    ASSERT_EQ(bytes.size(), 14u);
    ASSERT_EQ(WrittenBits(Bytes(bytes.begin(), bytes.begin() + 5)), fbits);
    ASSERT_EQ(WrittenBits(Bytes(bytes.begin() + 5, bytes.end())), dbits);
    Input in(bytes);
    float fr = 0;
    double dr = 0;
    in.data >> fr >> dr;
    ASSERT_EQ(FloatBits(fr), fbits);
    ASSERT_EQ(DoubleBits(dr), dbits);
  }
}

TEST_F(DataStreamTest, TheReaderDecodesSpecialPatternsByItsRules) {
  auto readFloat = [](std::uint32_t bits) {
    float value = 0;
    Input(Bytes{0x0B, static_cast<unsigned char>(bits >> 24),
                static_cast<unsigned char>(bits >> 16), static_cast<unsigned char>(bits >> 8),
                static_cast<unsigned char>(bits)})
            .data >>
        value;
    return value;
  };
  auto readDouble = [](std::uint64_t bits) {
    Bytes bytes = {0x0C};
    for (int shift = 56; shift >= 0; shift -= 8)
      bytes.push_back(static_cast<unsigned char>(bits >> shift));
    double value = 0;
    Input(bytes).data >> value;
    return value;
  };
  EXPECT_EQ(FloatBits(readFloat(0)), 0u);
  EXPECT_EQ(readFloat(0x7F800000u), std::numeric_limits<float>::infinity());
  EXPECT_EQ(readFloat(0xFF800000u), -std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(readFloat(0x7F800001u)));
  EXPECT_TRUE(std::isnan(readFloat(0xFFC00000u)));
  // Everything else is (1.mantissa) x 2^(exponent - bias), even a zero
  // exponent field.
  EXPECT_EQ(readFloat(0x80000000u), -std::ldexp(1.0f, -127));
  EXPECT_EQ(readFloat(0x00400000u), std::ldexp(1.5f, -127));
  EXPECT_EQ(DoubleBits(readDouble(0)), 0u);
  EXPECT_EQ(readDouble(0xFFF0000000000000u), -std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(readDouble(0x7FF0000000000001u)));
  EXPECT_EQ(readDouble(0x8000000000000000u), -std::ldexp(1.0, -1023));
  EXPECT_EQ(readDouble(0x3FF8000000000000u), 1.5);
}

// Packets, sections and raw bytes

TEST_F(DataStreamTest, ReadPacketChecksTagAndLengthRange) {
  auto packet = [](std::uint32_t n) {
    return Packed([&](KQ_TDataStream& data) {
      Bytes payload(n, 0xAB);
      data.WritePacket(payload.data(), n);
    });
  };
  EXPECT_EQ(Hex(packet(0)), "0F 00 00 00 00");
  EXPECT_EQ(packet(300).size(), 305u);
  unsigned char buffer[16];
  for (std::uint32_t n : {4u, 8u}) {
    Input in(packet(n));
    EXPECT_EQ(in.data.ReadPacket(buffer, 4, 8), n);
    EXPECT_EQ(buffer[n - 1], 0xAB);
  }
  for (std::uint32_t n : {3u, 9u}) {
    EXPECT_TRUE(
        Raises<KQ_EWrongPacketSize>([&] { Input(packet(n)).data.ReadPacket(buffer, 4, 8); }));
  }
  EXPECT_TRUE(Raises<KQ_EWrongPacketSize>(
      [&] { Input(packet(5)).data.ReadPacket(buffer, std::uint32_t{4}); }));
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] {
    Input(Bytes{0x07, 0, 0, 0, 4, 1, 2, 3, 4}).data.ReadPacket(buffer, 0, 8);
  }));

  // Raw packets carry no framing.
  Bytes const raw = Packed([](KQ_TDataStream& data) { data.WriteRawPacket("xyz", 3); });
  EXPECT_EQ(Hex(raw), "78 79 7A");
  char text[4] = {};
  Input(raw).data.ReadRawPacket(text, 3);
  EXPECT_STREQ(text, "xyz");
}

TEST_F(DataStreamTest, ClassHeadersAndTrailersMustMatch) {
  Bytes const section = Packed([](KQ_TDataStream& data) {
    data.InsertClassHeader("Base");
    data << true;
    data.InsertClassTrailer("Base");
  });
  EXPECT_EQ(Hex(section), "0E 00 00 00 04 42 61 73 65 09 01 FF");
  Input in(section);
  in.data.ExtractClassHeader("Base");
  bool value = false;
  in.data >> value;
  in.data.ExtractClassTrailer("anything");
  EXPECT_TRUE(value);

  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] { Input(section).data.ExtractClassHeader("Bass"); }));
  EXPECT_TRUE(
      Raises<KQ_EWrongPackedType>([&] { Input(section).data.ExtractClassHeader("Bases"); }));
  Bytes object = section;
  object[0] = 0x0D;
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] { Input(object).data.ExtractClassHeader("Base"); }));
  EXPECT_TRUE(
      Raises<KQ_EWrongPackedType>([&] { Input(Bytes{0xFE}).data.ExtractClassTrailer("Base"); }));
  // A long name goes out as header and name.
  std::string const longName(1000, 'n');
  Bytes const longSection =
      Packed([&](KQ_TDataStream& data) { data.InsertClassHeader(longName.c_str()); });
  EXPECT_EQ(longSection, Header(0x0E, longName));
  Input(longSection).data.ExtractClassHeader(longName.c_str());
}

// Objects

TEST_F(DataStreamTest, ObjectsOfRegisteredClassesUseTheirCodeOthersTheirName) {
  EXPECT_EQ(Hex(PackedObject(KQ_TString("ab"))), "41 07 00 00 00 02 0F 00 00 00 04 00 61 00 62");
  // A subclass of a registered class is written by name.
  EXPECT_EQ(
      Hex(PackedObject(TestString("a"))),
      Hex(Join({Header(0x0D, "TestString"), {0x07, 0, 0, 0, 1, 0x0F, 0, 0, 0, 2, 0, 'a', 0xFF}})));
  EXPECT_EQ(PackedObject(TestBase(3)), Join({Header(0x0D, "TestBase"), {0x03, 0, 0, 0, 3, 0xFF}}));
  {
    CodeRegistration code(201, TestBase::KQ_ClassObject());
    EXPECT_EQ(Hex(PackedObject(TestBase(3))), "C9 03 00 00 00 03");
    {
      // The highest code of a class wins.
      CodeRegistration lower(150, TestBase::KQ_ClassObject());
      EXPECT_EQ(Hex(PackedObject(TestBase(3))), "C9 03 00 00 00 03");
      CodeRegistration higher(230, TestBase::KQ_ClassObject());
      EXPECT_EQ(Hex(PackedObject(TestBase(3))), "E6 03 00 00 00 03");
    }
    auto read = As<TestBase>(Input(Bytes{0xC9, 0x03, 0, 0, 0, 9}).data.Extract(false), "TestBase");
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->fValue, 9);
    TestBase into;
    Input in(Bytes{0xC9, 0x03, 0, 0, 0, 4, 0xC9, 0x03, 0, 0, 0, 5});
    in.data >> into;
    EXPECT_EQ(into.fValue, 4);
    in.data.SkipData();
    EXPECT_EQ(in.data.Available(), 0u);
  }
  EXPECT_EQ(KQ_TDataStream::SpecificType(201), nullptr);
  // Without a code, the code byte is no longer understood.
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([] {
    delete Input(Bytes{0xC9, 0x03, 0, 0, 0, 9}).data.Extract(true);
  }));
}

TEST_F(DataStreamTest, OperatorForObjectsTakesCodesOnlyForTheObjectsOwnClass) {
  Bytes const string = PackedObject(KQ_TString("hi"));
  KQ_TString read;
  Input(string).data >> read;
  EXPECT_EQ(read, KQ_TString("hi"));
  TestBase base(1);
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] { Input(string).data >> base; }));
  KQ_TList list;
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] { Input(string).data >> list; }));

  // Tag 0 is no object: nothing is read and the object stays as it was.
  Input none(Bytes{0x00, 0x05, 0x01});
  none.data >> read;
  EXPECT_EQ(read, KQ_TString("hi"));
  EXPECT_EQ(none.data.Available(), 2u);

  // A named object of another class without a section of this one.
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] { Input(PackedObject(TestBase(2))).data >> read; }));
  // A section header where an object is expected.
  Bytes section = PackedObject(TestBase(2));
  section[0] = 0x0E;
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] { Input(section).data >> base; }));
}

TEST_F(DataStreamTest, AnObjectIsReadAsTheBaseClassWhoseSectionItCarries) {
  Bytes const derived = PackedObject(TestDerived(41, 2.5));
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
  bool after = false;
  in.data >> after;
  EXPECT_TRUE(after);

  // Extract knows the derived class itself.
  auto whole = As<TestDerived>(Input(derived).data.Extract(false), "TestDerived");
  ASSERT_NE(whole, nullptr);
  EXPECT_EQ(whole->fValue, 41);
  EXPECT_EQ(whole->fExtra, 2.5);

  // Of an unknown class, the first section stands in for it, however deep.
  Bytes const unknownWrapper = Join({Header(0x0D, "KQ_TNowhere"),
                                     {0x05, 0x01},
                                     Header(0x0E, "KQ_TAlsoNowhere"),
                                     Header(0x0E, "TestBase"),
                                     {0x03, 0, 0, 0, 8, 0xFF, 0x09, 0x00, 0xFF},
                                     Header(0x0E, "TestBase"),
                                     {0x03, 0, 0, 0, 9, 0xFF, 0xFF}});
  Input wrapped(unknownWrapper);
  auto known = As<TestBase>(wrapped.data.Extract(false), "TestBase");
  ASSERT_NE(known, nullptr);
  EXPECT_EQ(known->fValue, 8);
  EXPECT_EQ(wrapped.data.Available(), 0u);
  TestBase viaOperator;
  Input(unknownWrapper).data >> viaOperator;
  EXPECT_EQ(viaOperator.fValue, 8);

  // Only the first section is tried.
  Bytes const firstUnknown = Join({Header(0x0D, "KQ_TNowhere"),
                                   Header(0x0E, "KQ_TAlsoNowhere"),
                                   {0xFF},
                                   Header(0x0E, "TestBase"),
                                   {0x03, 0, 0, 0, 9, 0xFF, 0xFF}});
  Input first(firstUnknown);
  std::unique_ptr<KQ_IPackable> const none(first.data.Extract(false));
  EXPECT_EQ(none.get(), nullptr);
  EXPECT_EQ(first.data.Available(), 0u);
}

TEST_F(DataStreamTest, UnknownObjectsAreKeptByteForByte) {
  Bytes const packet(5000, 0x5A);
  Bytes const inner = Join({Header(0x0D, "KQ_TInner"),
                            {0x05, 0x01},
                            Packed([&](KQ_TDataStream& d) { d.WritePacket(packet.data(), 5000); }),
                            {0xFF}});
  // An Any holding an unknown inside an unknown: the inner one is recorded
  // into its own block and into the outer one.
  Bytes const outer = Join({Header(0x0D, "KQ_TOuter"),
                            {0x40, 0x05, 0x12},
                            inner,
                            {0x00, 0x0A, 0x41},
                            Header(0x0E, "KQ_TSection"),
                            {0x06, 0, 1, 0xFF},
                            PackedObject(TestBase(5)),
                            {0xFF}});
  Input in(Join({outer, {0x09, 0x01}}));
  auto unknown = As<KQ_TUnknown>(in.data.Extract(true), "KQ_TUnknown");
  ASSERT_NE(unknown, nullptr);
  EXPECT_STREQ(unknown->KQ_PackTypeID(), "KQ_TOuter");
  KQ_TDataBlock const& block = unknown->DataBlock();
  EXPECT_EQ(Hex(Bytes(block.Data(), block.Data() + block.Size())), Hex(outer));
  EXPECT_EQ(unknown->Offset(), 5u + 9u);
  EXPECT_EQ(unknown->Length(), outer.size() - 14 - 1);
  EXPECT_EQ(Hex(PackedObject(*unknown)), Hex(outer));
  EXPECT_EQ(in.data.Available(), 2u);

  // The inner unknown, as the Any read it.
  Input innerIn(Bytes(outer.begin() + 14, outer.end()));
  KQ_TAny any;
  innerIn.data >> any;
  ASSERT_EQ(any.Kind(), KQ_TAny::kObject);
  auto const* held = static_cast<KQ_TUnknown const*>(any->KQ_Cast("KQ_TUnknown"));
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(
      Hex(Bytes(held->DataBlock().Data(), held->DataBlock().Data() + held->DataBlock().Size())),
      Hex(inner));

  // A section of an unknown class read on its own keeps its tag in the
  // block and packs as an object.
  Bytes const section = Join({Header(0x0E, "KQ_TSection"), {0x06, 0, 1, 0xFF}});
  auto fromSection = As<KQ_TUnknown>(Input(section).data.Extract(true), "KQ_TUnknown");
  ASSERT_NE(fromSection, nullptr);
  EXPECT_EQ(fromSection->DataBlock().Data()[0], 0x0E);
  Bytes asObject = section;
  asObject[0] = 0x0D;
  EXPECT_EQ(PackedObject(*fromSection), asObject);

  // A class that exists but is not packable is kept as unknown, or gives null.
  Bytes const plain = Join({Header(0x0D, "TestPlain"), {0x05, 0x01, 0xFF}});
  auto keptPlain = As<KQ_TUnknown>(Input(plain).data.Extract(true), "KQ_TUnknown");
  ASSERT_NE(keptPlain, nullptr);
  EXPECT_EQ(PackedObject(*keptPlain), plain);
  std::unique_ptr<KQ_IPackable> const plainBase(Input(plain).data.Extract(false));
  EXPECT_EQ(plainBase.get(), nullptr);
}

TEST_F(DataStreamTest, ExtractRaisesForTagsThatAreNoObjectAndForNamesThatAreNoClassName) {
  for (unsigned char tag : {0x00, 0x01, 0x07, 0x0C, 0x0F, 0x30, 0xFF}) {
    SCOPED_TRACE(int{tag});
    EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] {
      delete Input(Bytes{tag, 0, 0, 0, 0, 0, 0, 0, 0}).data.Extract(true);
    }));
  }
  Bytes zeroInName = Join({Header(0x0D, std::string("KQ_TString\0x", 12)), {0xFF}});
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] { delete Input(zeroInName).data.Extract(true); }));
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] { delete Input(zeroInName).data.Extract(false); }));
  // A trailer that is not 0xFF after a known class's contents.
  Bytes badTrailer = PackedObject(TestBase(1));
  badTrailer.back() = 0xFE;
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] { delete Input(badTrailer).data.Extract(true); }));
  TestBase base;
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] { Input(badTrailer).data >> base; }));
  // A registered code whose class is not packable.
  CodeRegistration code(200, TestPlain::KQ_ClassObject());
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([] {
    delete Input(Bytes{0xC8, 0xFF}).data.Extract(true);
  }));
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([] { Input(Bytes{0xC8, 0xFF}).data.SkipData(); }));
  CodeRegistration interfaceCode(202, KQ_IPackable::KQ_ClassObject());
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([] { delete Input(Bytes{0xCA}).data.Extract(true); }));
}

// Classes that are not packable, named by the input: by name they read as
// unknown classes, by a registered code they raise, and either way the
// reader refuses them by their record without making an instance.
TEST_F(DataStreamTest, ClassesThatAreNotPackableAreNeverInstantiated) {
  ReaderUnpackable::sMade = 0;
  for (char const* name : {"ReaderUnpackable", "KQ_TThread", "KQ_TSemaphore", "KQ_TMutex"}) {
    SCOPED_TRACE(name);
    Bytes const object = Join({Header(0x0D, name), {0x05, 0x01, 0xFF}});
    auto kept = As<KQ_TUnknown>(Input(object).data.Extract(true), "KQ_TUnknown");
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(PackedObject(*kept), object);
    std::unique_ptr<KQ_IPackable> const dropped(Input(object).data.Extract(false));
    EXPECT_EQ(dropped, nullptr);
    // Held by an Any, and as the base section of an unknown class.
    KQ_TAny any;
    Input(Join({{0x40, 0x05, 0x12}, object})).data >> any;
    EXPECT_EQ(any.Kind(), 18);
    EXPECT_EQ(PackedObject(any), Join({{0x40, 0x05, 0x12}, object}));
    Bytes section = object;
    section[0] = 0x0E;
    std::unique_ptr<KQ_IPackable> const base(
        Input(Join({Header(0x0D, "KQ_TNowhere"), section, {0xFF}})).data.Extract(false));
    EXPECT_EQ(base, nullptr);
    TestBase target;
    EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] { Input(object).data >> target; }));
  }
  CodeRegistration code(201, ReaderUnpackable::KQ_ClassObject());
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([] {
    delete Input(Bytes{0xC9, 0xFF}).data.Extract(true);
  }));
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([] { Input(Bytes{0xC9, 0xFF}).data.SkipData(); }));
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([] {
    delete Input(Join({Header(0x0D, "KQ_TNowhere"), {0xC9, 0xFF}})).data.Extract(true);
  }));
  EXPECT_EQ(ReaderUnpackable::sMade, 0);
}

TEST_F(DataStreamTest, AnysOfUnpackableOrUnknownKindsReadSafely) {
  for (unsigned char kind : {14, 15, 16, 17, 19, 100, 255}) {
    SCOPED_TRACE(int{kind});
    Input in(Bytes{0x40, 0x05, kind, 0x09, 0x01});
    auto any = As<KQ_TAny>(in.data.Extract(true), "KQ_TAny");
    ASSERT_NE(any, nullptr);
    EXPECT_EQ(any->Kind(), kind);
    EXPECT_EQ(in.data.Available(), 2u);
    if (kind <= 17) {
      EXPECT_TRUE(Raises<KQ_EAnyContainsUnpackableType>([&] { PackedObject(*any); }));
    } else {
      EXPECT_EQ(PackedObject(*any), (Bytes{0x40, 0x05, kind}));
    }
  }
}

// Skipping

TEST_F(DataStreamTest, SkipDataPassesOneElementOfEveryKind) {
  std::vector<Bytes> const elements = {
      {0x00},
      {0xFF},
      {0x30},
      {0x01, 1},
      {0x05, 1},
      {0x09, 1},
      {0x0A, 1},
      {0x02, 1, 2},
      {0x06, 1, 2},
      {0x03, 1, 2, 3, 4},
      {0x07, 1, 2, 3, 4},
      {0x0B, 1, 2, 3, 4},
      {0x04, 1, 2, 3, 4, 5, 6, 7, 8},
      {0x08, 1, 2, 3, 4, 5, 6, 7, 8},
      {0x0C, 1, 2, 3, 4, 5, 6, 7, 8},
      {0x0F, 0, 0, 0, 2, 0xFF, 0xFF},
      Join({Header(0x0D, "KQ_TNowhere"),
            {0x0F, 0, 0, 0, 1, 0xFF},
            Header(0x0E, "Inner"),
            {0x00, 0xFF, 0xFF}}),
      PackedObject(KQ_TString("skipped")),
      PackedObject(TestBase(1)),
  };
  Bytes all;
  for (Bytes const& element : elements) all = Join({all, element});
  Input in(Join({all, {0x09, 0x01}}));
  std::uint32_t expected = in.data.Available();
  for (Bytes const& element : elements) {
    SCOPED_TRACE(Hex(element));
    in.data.SkipData();
    expected -= static_cast<std::uint32_t>(element.size());
    ASSERT_EQ(in.data.Available(), expected);
  }
  bool last = false;
  in.data >> last;
  EXPECT_TRUE(last);

  // A length beyond the data cannot be skipped.
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([] {
    Input(Bytes{0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2}).data.SkipData();
  }));
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([] {
    Input(Bytes{0x0D, 0xFF, 0xFF, 0xFF, 0xF0, 1, 2}).data.SkipData();
  }));
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([] { Input(Bytes{0x04, 1, 2}).data.SkipData(); }));
}

// Bad input: huge claims, deep nesting, random bytes

TEST_F(DataStreamTest, HugeLengthsAndCountsFailAtTheEndOfTheData) {
  // A data block, a packet and a list that claim far more than the data hold.
  Bytes const block = Join({Header(0x0D, "KQ_TDataBlock"),
                            {0x07, 0xFF, 0xFF, 0xFF, 0xF0},
                            {0x0F, 0xFF, 0xFF, 0xFF, 0xF0, 1, 2, 3}});
  EXPECT_TRUE(Raises<KQ_EStreamEndReached>([&] { delete Input(block).data.Extract(true); }));
  KQ_TDataBlock target;
  EXPECT_TRUE(Raises<KQ_EStreamEndReached>([&] { Input(block).data >> target; }));

  Bytes const list = Join({{0x47, 0x07, 0x05, 0xF5, 0xE1, 0x00}, Repeat({0x40, 0x05, 0x01}, 3)});
  EXPECT_TRUE(Raises<KQ_EStreamEndReached>([&] { delete Input(list).data.Extract(true); }));

  Bytes const string = {0x41, 0x07, 0x7F, 0xFF, 0xFF, 0x00, 0x0F, 0xFF, 0xFF, 0xFE,
                        0x00, 0x00, 0x41, 0x00, 0x42, 0x00, 0x43, 0x00, 0x44, 0x00};
  EXPECT_TRUE(RaisesLibraryException([&] { delete Input(string).data.Extract(true); }));
  Bytes const hugeString = {0x41, 0x07, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0xFE};
  EXPECT_TRUE(RaisesLibraryException([&] { delete Input(hugeString).data.Extract(true); }));

  // Names longer than any class name are refused before they are read.
  Bytes const longName = {0x0D, 0x00, 0x01, 0x00, 0x01, 'K', 'Q'};
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] { delete Input(longName).data.Extract(true); }));
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] { delete Input(longName).data.Extract(false); }));
  // Names up to the limit are read as they arrive.
  Bytes const longUnknown =
      Join({Header(0x0D, std::string(KQ_TDataStream::kMaxNameLength, 'z')), {0xFF}});
  auto kept = As<KQ_TUnknown>(Input(longUnknown).data.Extract(true), "KQ_TUnknown");
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(PackedObject(*kept), longUnknown);
  EXPECT_TRUE(Raises<KQ_EStreamEndReached>([&] {
    delete Input(Bytes(longUnknown.begin(), longUnknown.begin() + 9000)).data.Extract(true);
  }));

  // An unknown object whose packet claims 4 GiB: recording stops at the end.
  Bytes const unknownPacket =
      Join({Header(0x0D, "KQ_TNowhere"), {0x0F, 0xFF, 0xFF, 0xFF, 0xF0}, Bytes(100, 7)});
  EXPECT_TRUE(
      Raises<KQ_EStreamEndReached>([&] { delete Input(unknownPacket).data.Extract(true); }));
  EXPECT_TRUE(
      Raises<KQ_EWrongPackedType>([&] { delete Input(unknownPacket).data.Extract(false); }));
}

TEST_F(DataStreamTest, ReadPacketGrowingAppendsWhatArrives) {
  Bytes payload(200000);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<unsigned char>(i * 7);
  Bytes const packed = Packed([&](KQ_TDataStream& data) {
    data.WritePacket(payload.data(), static_cast<std::uint32_t>(payload.size()));
  });
  // A data block reads its packet in those pieces too.
  KQ_TDataBlock block("xy", 2);
  Input sized(Join({{0x07, 0x00, 0x03, 0x0D, 0x40}, packed}));
  block.KQ_Unpack(sized.data);
  ASSERT_EQ(block.Size(), 200000u);
  EXPECT_EQ(std::memcmp(block.Data(), payload.data(), payload.size()), 0);

  std::vector<std::uint32_t> pieces;
  Bytes collected;
  struct Sink {
    std::vector<std::uint32_t>* pieces;
    Bytes* collected;
  } sink{&pieces, &collected};
  Input(packed).data.ReadPacketGrowing(
      200000,
      [](void* context, unsigned char const* bytes, std::uint32_t count) {
        auto* s = static_cast<Sink*>(context);
        s->pieces->push_back(count);
        s->collected->insert(s->collected->end(), bytes, bytes + count);
      },
      &sink);
  EXPECT_EQ(pieces, (std::vector<std::uint32_t>{65536, 65536, 65536, 3392}));
  EXPECT_EQ(collected, payload);

  auto const ignore = [](void*, unsigned char const*, std::uint32_t) {};
  EXPECT_TRUE(Raises<KQ_EWrongPacketSize>(
      [&] { Input(packed).data.ReadPacketGrowing(199999, ignore, nullptr); }));
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] {
    Input(Bytes{0x07, 0, 0, 0, 1, 9}).data.ReadPacketGrowing(1, ignore, nullptr);
  }));
  // Twenty bytes that claim 4 GiB: the data end first, and a data block
  // reading them keeps nothing.
  Bytes const claim = Join({{0x0F, 0xFF, 0xFF, 0xFF, 0xF0}, Bytes(15, 1)});
  EXPECT_TRUE(Raises<KQ_EStreamEndReached>(
      [&] { Input(claim).data.ReadPacketGrowing(0xFFFFFFF0u, ignore, nullptr); }));
  KQ_TDataBlock other("ab", 2);
  EXPECT_TRUE(Raises<KQ_EStreamEndReached>([&] {
    Input forged(Join({{0x07, 0xFF, 0xFF, 0xFF, 0xF0}, claim}));
    other.KQ_Unpack(forged.data);
  }));
  EXPECT_EQ(other.Size(), 0u);
}

TEST_F(DataStreamTest, DeepNestingRaisesInsteadOfExhaustingTheStack) {
  std::size_t const levels = 100000;
  Bytes const objects = Repeat(Header(0x0D, "KQ_TMoon"), levels);
  Bytes const sections =
      Join({Header(0x0D, "KQ_TMoon"), Repeat(Header(0x0E, "KQ_TCrater"), levels)});
  Bytes const lists = Repeat({0x47, 0x07, 0, 0, 0, 1, 0x40, 0x05, 0x12}, levels);
  Bytes const anys = Repeat({0x40, 0x05, 0x12}, levels);
  for (Bytes const* bytes : {&objects, &sections, &lists, &anys}) {
    EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] { delete Input(*bytes).data.Extract(true); }));
    EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] { delete Input(*bytes).data.Extract(false); }));
    EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] { Input(*bytes).data.SkipData(); }));
    TestBase base;
    EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] { Input(*bytes).data >> base; }));
    KQ_TList list;
    EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] { Input(*bytes).data >> list; }));
  }

  // Nesting within the limit reads and packs again, also on a stream that
  // failed before (the depth is given back on every path).
  Bytes const deepList =
      Join({Repeat({0x47, 0x07, 0, 0, 0, 1, 0x40, 0x05, 0x12}, 450), {0x47, 0x07, 0, 0, 0, 0}});
  Input shared(lists);
  EXPECT_TRUE(Raises<KQ_EWrongPackedType>([&] { delete shared.data.Extract(true); }));
  KQ_TMemoryStream fresh(const_cast<unsigned char*>(deepList.data()),
                         static_cast<std::uint32_t>(deepList.size()),
                         static_cast<std::uint32_t>(deepList.size()));
  shared.data = fresh;
  std::unique_ptr<KQ_IPackable> read(shared.data.Extract(true));
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(PackedObject(*read), deepList);
  Bytes const deepSections = Join({Header(0x0D, "KQ_TMoon"),
                                   Repeat(Header(0x0E, "KQ_TCrater"), 900),
                                   Header(0x0E, "TestBase"),
                                   {0x03, 0, 0, 0, 6, 0xFF},
                                   Bytes(901, 0xFF)});
  TestBase base;
  Input(deepSections).data >> base;
  EXPECT_EQ(base.fValue, 6);
}

// Nested input on a thread with a small stack: whatever the depth, a read
// gives the object or raises the reader's exception, and never overruns the
// stack. The same input within the depth limit reads on the main thread.
TEST_F(DataStreamTest, DeepNestingOnASmallStackRaisesInsteadOfOverrunningIt) {
  struct Shape {
    char const* name;
    std::function<Bytes(std::size_t)> nested;
    std::size_t levelsPerNesting;
  };
  Shape const shapes[] = {
      {"lists of Anys",
       [](std::size_t n) {
         return Join(
             {Repeat({0x47, 0x07, 0, 0, 0, 1, 0x40, 0x05, 0x12}, n), {0x47, 0x07, 0, 0, 0, 0}});
       },
       2},
      {"objects of an unknown class",
       [](std::size_t n) {
         return Join({Repeat(Header(0x0D, "KQ_TMoon"), n), Bytes(n, 0xFF)});
       },
       1},
      {"sections of an unknown class",
       [](std::size_t n) {
         return Join({Repeat(Header(0x0E, "KQ_TCrater"), n), Bytes(n, 0xFF)});
       },
       1},
  };
  for (Shape const& shape : shapes) {
    SCOPED_TRACE(shape.name);
    std::size_t const limit = KQ_TDataStream::kMaxDepth / shape.levelsPerNesting;
    for (std::size_t depth : {std::size_t{20}, limit / 2, limit - 1, limit + 1, 4 * limit}) {
      SCOPED_TRACE(depth);
      Bytes const bytes = shape.nested(depth);
      for (bool keep : {true, false}) {
        bool raised = false;
        ASSERT_TRUE(kqtest::RunOnStack(kqtest::kSmallStack, [&] {
          raised = Raises<KQ_EWrongPackedType>([&] { delete Input(bytes).data.Extract(keep); });
        }));
        if (depth == 20) {
          EXPECT_FALSE(raised);
        } else if (depth > limit) {
          EXPECT_TRUE(raised);
        }
      }
      bool raised = false;
      ASSERT_TRUE(kqtest::RunOnStack(kqtest::kSmallStack, [&] {
        raised = Raises<KQ_EWrongPackedType>([&] { Input(bytes).data.SkipData(); });
      }));
      if (depth > limit) {
        EXPECT_TRUE(raised);
      } else {
        EXPECT_FALSE(Raises<KQ_EWrongPackedType>([&] { delete Input(bytes).data.Extract(true); }));
      }
    }
  }
}

// Every top-level read has a memory budget in proportion to the bytes it
// consumes: packed containers stay far within the default one, and a budget
// lowered below what their slots and entries take raises.
TEST_F(DataStreamTest, ContainersReadWithinTheReadBudget) {
  KQ_TArray array;
  KQ_TList list;
  KQ_TDict dict;
  // Numbers take the data stream's fast path over memory, which must count
  // what it consumes like any other.
  for (std::int32_t i = 0; i < 20000; ++i) {
    array[i] = KQ_TAny(i * 0.5);
    list.AddAtTail(KQ_TAny(i));
    dict.Add(KQ_TString::Format("%d", i), KQ_TAny(-i));
  }
  for (KQ_IPackable const* container :
       std::initializer_list<KQ_IPackable const*>{&array, &list, &dict}) {
    Bytes const bytes = PackedObject(*container);
    SCOPED_TRACE(Hex(Bytes(bytes.begin(), bytes.begin() + 1)));
    std::unique_ptr<KQ_IPackable> const read(Input(bytes).data.Extract(true));
    ASSERT_NE(read, nullptr);
    EXPECT_TRUE(read->KQ_IsIdent(*container));
    {
      kqtest::ReadBudgetChange<KQ_TDataStream> const tight(1, 1024);
      EXPECT_TRUE(Raises<KQ_EWrongPacketSize>([&] { delete Input(bytes).data.Extract(true); }));
      EXPECT_TRUE(Raises<KQ_EWrongPacketSize>([&] { Input(bytes).data.SkipData(); }));
      // Inside an Any the container's read spends the outer read's budget.
      KQ_TAny any;
      EXPECT_TRUE(Raises<KQ_EWrongPacketSize>([&] {
        Input(Join({{0x40, 0x05, 0x12}, bytes})).data >> any;
      }));
    }
    std::unique_ptr<KQ_IPackable> const again(Input(bytes).data.Extract(true));
    EXPECT_NE(again, nullptr);
  }
}

// Mutations of the golden vectors and plain random bytes, run through every
// reader: each either succeeds or raises a library exception.
void ReadEverything(Bytes const& bytes) {
  for (bool keep : {true, false}) {
    Input in(bytes);
    try {
      while (in.data.Available() > 0) {
        std::unique_ptr<KQ_IPackable> object(in.data.Extract(keep));
        if (object) PackedObject(*object);
      }
    } catch (KQ_EException const&) {
    }
  }
  RaisesLibraryException([&] {
    Input in(bytes);
    while (in.data.Available() > 0) in.data.SkipData();
  });
  std::unique_ptr<KQ_IPackable> const targets[] = {
      std::make_unique<KQ_TString>(),     std::make_unique<KQ_TAny>(),
      std::make_unique<KQ_TList>(),       std::make_unique<KQ_EException>(),
      std::make_unique<KQ_TStackEntry>(), std::make_unique<KQ_TDataBlock>(),
      std::make_unique<TestBase>()};
  for (auto const& target : targets) {
    RaisesLibraryException([&] { Input(bytes).data >> *target; });
  }
}

TEST_F(DataStreamTest, RandomAndMutatedInputNeverCrashes) {
  std::vector<GoldenEntry> const golden = LoadGolden();
  ASSERT_FALSE(golden.empty());
  std::mt19937 random(4242);
  auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  for (int round = 0; round < 3000; ++round) {
    Bytes bytes;
    if (round % 3 == 0) {
      bytes.resize(pick(64));
      for (unsigned char& b : bytes) b = static_cast<unsigned char>(random());
    } else {
      bytes = golden[pick(golden.size())].bytes;
      for (std::size_t edits = 1 + pick(4); edits > 0; --edits) {
        std::size_t const at = pick(bytes.size() + 1);
        switch (pick(4)) {
          case 0:
            if (at < bytes.size()) bytes[at] = static_cast<unsigned char>(random());
            break;
          case 1:
            bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                         static_cast<unsigned char>(random()));
            break;
          case 2:
            if (at < bytes.size()) bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at));
            break;
          default: {
            Bytes const& other = golden[pick(golden.size())].bytes;
            bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), other.begin(),
                         other.end());
          }
        }
      }
    }
    SCOPED_TRACE(Hex(bytes));
    ReadEverything(bytes);
  }
}

// The stream side

TEST_F(DataStreamTest, AnUnboundStreamRaisesForEveryByteOperation) {
  KQ_TDataStream data;
  EXPECT_EQ(data.BoundStream(), nullptr);
  EXPECT_FALSE(data.Readable());
  EXPECT_FALSE(data.Writable());
  EXPECT_FALSE(data.Markable());
  EXPECT_FALSE(data.Seekable());
  unsigned char buffer[4];
  std::vector<std::function<void()>> const operations = {
      [&] { data.Close(); },
      [&] { data.Flush(); },
      [&] { data.Available(); },
      [&] { data.Read(); },
      [&] { data.Read(buffer, 1); },
      [&] { data.Read(buffer, 0, 4); },
      [&] { data.Skip(1); },
      [&] { data.Write(buffer, 1); },
      [&] { data.Write(std::uint8_t{1}); },
      [&] { data.Mark(1, 0); },
      [&] { data.ClearMark(1); },
      [&] { data.Rewind(1); },
      [&] { data.Position(); },
      [&] { data.Seek(0); },
      [&] { data << 1; },
      [&] { data << KQ_TString("x"); },
      [&] { data.WritePacket(buffer, 0); },
      [&] { data.WriteRawPacket(buffer, 0); },
      [&] { data.InsertClassHeader("A"); },
      [&] {
        std::int32_t value;
        data >> value;
      },
      [&] { data.ReadPacket(buffer, 0, 4); },
      [&] { data.ReadRawPacket(buffer, 0); },
      [&] { data.ExtractClassHeader("A"); },
      [&] { data.SkipData(); },
      [&] { data.Peek(); },
      [&] { delete data.Extract(true); },
  };
  for (std::size_t i = 0; i < operations.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(Raises<KQ_EStreamIsNotBound>(operations[i]));
  }
}

TEST_F(DataStreamTest, PushbackBytesAreReadFirstAndInOrder) {
  Input in(Bytes{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'});
  KQ_TDataStream& data = in.data;
  EXPECT_EQ(data.Peek(), 'a');
  EXPECT_EQ(data.Peek(), 'a');
  EXPECT_EQ(data.Read(), 'a');
  unsigned char const given[] = {'x', 'y', 'z'};
  data.Unread(given, 3);
  EXPECT_EQ(data.Available(), 10u);
  EXPECT_EQ(data.Read(), 'x');
  EXPECT_EQ(data.Read(), 'y');
  EXPECT_EQ(data.Read(), 'z');
  EXPECT_EQ(data.Read(), 'b');

  // The range read takes the pushback bytes, then asks the bound stream.
  data.Unread('2').Unread('1');
  unsigned char buffer[8] = {};
  EXPECT_EQ(data.Read(buffer, 1, 4), 4u);
  EXPECT_EQ(std::string(buffer, buffer + 4), "12cd");
  data.Unread('3');
  EXPECT_EQ(data.Read(buffer, 0, 1), 1u);
  EXPECT_EQ(buffer[0], '3');
  EXPECT_EQ(data.Read(buffer, 0, 0), 0u);

  // Skip passes pushback bytes first.
  data.Unread("uvw", 3);
  EXPECT_TRUE(data.Skip(2));
  EXPECT_EQ(data.Read(), 'w');
  data.Unread('q');
  EXPECT_TRUE(data.Skip(2));
  EXPECT_EQ(data.Read(), 'f');
  EXPECT_FALSE(data.Skip(5));

  // Many bytes given back one by one grow the stack.
  Bytes many(1000);
  for (std::size_t i = 0; i < many.size(); ++i) {
    many[i] = static_cast<unsigned char>(i);
    data.Unread(static_cast<unsigned char>(999 - i));
  }
  Bytes back(1000);
  data.Read(back.data(), 1000);
  for (std::size_t i = 0; i < back.size(); ++i) ASSERT_EQ(back[i], static_cast<unsigned char>(i));

  // A typed read after a Peek takes the peeked tag.
  Input typed(Bytes{0x02, 0xFF, 0xFE});
  EXPECT_EQ(typed.data.Peek(), 0x02);
  std::int16_t value = 0;
  typed.data >> value;
  EXPECT_EQ(value, -2);
  // SkipData over 0x00 or 0xFF consumes that single byte.
  Input single(Bytes{0x00, 0xFF, 0x09});
  single.data.SkipData();
  EXPECT_EQ(single.data.Available(), 2u);
  single.data.SkipData();
  EXPECT_EQ(single.data.Available(), 1u);
}

TEST_F(DataStreamTest, StreamOperationsGoToTheBoundStream) {
  KQ_TMemoryStream memory;
  KQ_TDataStream data(memory);
  EXPECT_EQ(data.BoundStream(), &memory);
  EXPECT_TRUE(data.Readable() && data.Writable() && data.Markable() && data.Seekable());
  data.Write("abcdef", 6);
  data.Write(std::uint8_t{'g'});
  EXPECT_EQ(memory.Size(), 7u);
  EXPECT_EQ(data.Position(), 7u);
  EXPECT_EQ(data.Seek(1), 7u);
  data.Mark(3, 0);
  EXPECT_EQ(data.Read(), 'b');
  data.Unread('z');
  data.Rewind(3);
  EXPECT_EQ(data.Read(), 'b') << "Rewind drops the pushback bytes";
  data.Unread('z');
  data.Seek(4);
  EXPECT_EQ(data.Read(), 'e') << "Seek drops the pushback bytes";
  data.ClearMark(3);
  EXPECT_TRUE(data.Flush());

  // Copies share the bound stream but not the pushback bytes.
  data.Unread('p');
  KQ_TDataStream copy(data);
  EXPECT_EQ(copy.BoundStream(), &memory);
  EXPECT_EQ(copy.Read(), 'p');
  EXPECT_EQ(data.Read(), 'p');
  KQ_TDataStream assigned;
  data.Unread('r');
  assigned = data;
  EXPECT_EQ(assigned.Read(), 'r');
  EXPECT_EQ(data.Read(), 'r');

  // Binding to itself does nothing; to another stream empties the stack.
  data.Unread('s');
  data = static_cast<KQ_IStream&>(data);
  EXPECT_EQ(data.BoundStream(), &memory);
  EXPECT_EQ(data.Peek(), 's');
  KQ_TMemoryStream other;
  data = other;
  EXPECT_EQ(data.BoundStream(), &other);
  EXPECT_EQ(data.Available(), 0u);
  // Close empties the stack and closes the bound stream.
  data.Unread('t');
  EXPECT_TRUE(data.Close());
  EXPECT_EQ(data.Available(), 0u);

  // The data stream is itself a stream another data stream can be bound to.
  KQ_TMemoryStream bottom;
  KQ_TDataStream middle(bottom);
  KQ_TDataStream top(static_cast<KQ_IStream&>(middle));
  top << std::int16_t{-2};
  EXPECT_EQ(Hex(Contents(bottom)), "02 FF FE");
  bottom.Seek(0);
  std::int16_t value = 0;
  top >> value;
  EXPECT_EQ(value, -2);
}

}  // namespace

TEST_F(DataStreamTest, ContainerElementsTakeTheSameBytesOnEveryPath) {
  using FL = std::numeric_limits<float>;
  using DL = std::numeric_limits<double>;
  KQ_TList list;
  list.Add(std::int8_t{-5});
  list.Add(std::int16_t{-300});
  list.Add(std::int32_t{-70000});
  list.Add(std::int64_t{-5000000000});
  list.Add(std::uint8_t{200});
  list.Add(std::uint16_t{60000});
  list.Add(std::uint32_t{4000000000u});
  list.Add(std::uint64_t{18000000000000000000u});
  list.Add(true);
  list.Add('q');
  for (float f : {1.5f, -0.0f, FL::denorm_min(), FL::infinity(), -FL::infinity(), FL::quiet_NaN(),
                  FL::max(), FL::min()}) {
    list.Add(f);
  }
  for (double d :
       {-2.25, -0.0, DL::denorm_min(), DL::infinity(), DL::quiet_NaN(), DL::max(), DL::min()}) {
    list.Add(d);
  }
  list.Add(KQ_TAny());
  list.Add(nullptr);
  list.Add("text");
  KQ_TList nested;
  nested.Add(std::int32_t{1});
  nested.Add(std::int32_t{2});
  list.Add(nested);

  // The list's elements, each written on its own through the general path.
  KQ_TMemoryStream expectedMemory;
  KQ_TDataStream expected(expectedMemory);
  static_cast<KQ_IPacking&>(expected) << list.Entries();
  for (KQ_TListKey const* key = list.KeyAtHead(); key != nullptr; key = key->Next()) {
    static_cast<KQ_IPacking&>(expected) << static_cast<KQ_IPackable const&>(key->Value());
  }
  Bytes const elements = Contents(expectedMemory);

  // The list through a data stream over memory, and through one over
  // another data stream (no direct memory access).
  KQ_TMemoryStream memory;
  KQ_TDataStream data(memory);
  list.KQ_Pack(data);
  EXPECT_EQ(Hex(Contents(memory)), Hex(elements));
  KQ_TMemoryStream innerMemory;
  KQ_TDataStream inner(innerMemory);
  KQ_TDataStream outer(inner);
  list.KQ_Pack(outer);
  EXPECT_EQ(Hex(Contents(innerMemory)), Hex(elements));

  // Both readers give back a list that packs to the same bytes.
  for (KQ_TDataStream* reader : {&data, &outer}) {
    reader->Seek(0);
    KQ_TList read;
    read.KQ_Unpack(*reader);
    ASSERT_EQ(read.Entries(), list.Entries());
    KQ_TMemoryStream again;
    KQ_TDataStream againData(again);
    read.KQ_Pack(againData);
    EXPECT_EQ(Hex(Contents(again)), Hex(elements));
    EXPECT_EQ(read.KeyAtHead()->Value().Kind(), KQ_TAny::kInt8);
    EXPECT_EQ(static_cast<std::int64_t>(read[3]), -5000000000);
  }

  // A damaged element in the middle: after the count (5 bytes), the int8
  // (5) and the int16 (6), the int32's value tag says int16 instead.
  Bytes damaged = elements;
  ASSERT_EQ(damaged[19], 0x03);
  damaged[19] = 0x02;
  KQ_TMemoryStream damagedMemory;
  damagedMemory.Write(damaged.data(), static_cast<std::uint32_t>(damaged.size()));
  damagedMemory.Seek(0);
  KQ_TDataStream damagedData(damagedMemory);
  KQ_TList partial;
  EXPECT_THROW(partial.KQ_Unpack(damagedData), KQ_EWrongPackedType);

  // Every cut of the bytes raises instead of reading past them.
  for (std::size_t cut = 0; cut < elements.size(); ++cut) {
    KQ_TMemoryStream cutMemory;
    if (cut > 0) cutMemory.Write(elements.data(), static_cast<std::uint32_t>(cut));
    cutMemory.Seek(0);
    KQ_TDataStream cutData(cutMemory);
    KQ_TList cutList;
    EXPECT_ANY_THROW(cutList.KQ_Unpack(cutData)) << "cut at " << cut;
  }
}
