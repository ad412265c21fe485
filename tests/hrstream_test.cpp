// The human-readable stream and its text format: the forms of the basic
// values both ways, characters and strings with their escapes, the framing
// of objects, packed blocks, Extract of every form, syntax errors with their
// line numbers, and input that is malformed, cut short or nested too deep.
#include <gtest/gtest.h>

#include <cctype>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <locale>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kq_eexception.h"
#include "kq_initialization.h"
#include "kq_tany.h"
#include "kq_tarray.h"
#include "kq_tclass.h"
#include "kq_thumanreadablestream.h"
#include "kq_tmemorystream.h"
#include "kq_tpackage.h"
#include "kq_tstring.h"
#include "kq_tthread.h"
#include "test_support.h"

// A packable class without a text form: written as a packed block.
class HrPackedOnly : public KQ_TObject, public virtual KQ_IPackable {
  KQ_CLASS(HrPackedOnly, KQ_TObject, KQ_IPackable)
  HrPackedOnly() = default;
  explicit HrPackedOnly(std::int32_t value) : fValue(value) {}
  HrPackedOnly(HrPackedOnly const&) = default;
  std::int32_t fValue = 0;
  void KQ_Pack(KQ_IPacking& packer) const override { packer << fValue; }
  void KQ_Unpack(KQ_IUnpacking& unpacker) override { unpacker >> fValue; }
  KQ_IPackable* KQ_Clone(void*) const override { return new HrPackedOnly(*this); }
  bool KQ_IsIdent(KQ_IPackable const& other) const override {
    auto const* same = static_cast<HrPackedOnly const*>(other.KQ_Cast("HrPackedOnly"));
    return same != nullptr && same->fValue == fValue;
  }
};
KQ_CLASS_IMPL(HrPackedOnly)

// A point written on one line with the default framing: "HrPoint { 1 2 }".
class HrPoint : public KQ_TObject, public virtual KQ_IPackable, public virtual KQ_IHumanReadable {
  KQ_CLASS(HrPoint, KQ_TObject, KQ_IPackable, KQ_IHumanReadable)
  HrPoint() = default;
  HrPoint(std::int32_t x, std::int32_t y) : fX(x), fY(y) {}
  HrPoint(HrPoint const&) = default;
  std::int32_t fX = 0;
  std::int32_t fY = 0;
  void KQ_Pack(KQ_IPacking& packer) const override { packer << fX << fY; }
  void KQ_Unpack(KQ_IUnpacking& unpacker) override { unpacker >> fX >> fY; }
  KQ_IPackable* KQ_Clone(void*) const override { return new HrPoint(*this); }
  bool KQ_IsIdent(KQ_IPackable const& other) const override {
    auto const* same = static_cast<HrPoint const*>(other.KQ_Cast("HrPoint"));
    return same != nullptr && same->fX == fX && same->fY == fY;
  }
  bool KQ_HRMultiLine() const override { return false; }
  bool WriteTo(KQ_THumanReadableStream& stream) const override {
    stream << fX;
    stream.WriteTokens(" ");
    stream << fY;
    return false;
  }
  bool ReadFrom(KQ_THumanReadableStream& stream) override {
    stream >> fX >> fY;
    return false;
  }
};
KQ_CLASS_IMPL(HrPoint)

// A box over several lines holding one value of any form, and reading its
// own closing brace: nests as deep as the input does.
class HrBox : public KQ_TObject, public virtual KQ_IPackable, public virtual KQ_IHumanReadable {
  KQ_CLASS(HrBox, KQ_TObject, KQ_IPackable, KQ_IHumanReadable)
  HrBox() = default;
  HrBox(HrBox const&) = default;
  KQ_TAny fFirst;
  KQ_TAny fSecond;
  void KQ_Pack(KQ_IPacking& packer) const override { packer << fFirst << fSecond; }
  void KQ_Unpack(KQ_IUnpacking& unpacker) override { unpacker >> fFirst >> fSecond; }
  KQ_IPackable* KQ_Clone(void*) const override { return new HrBox(*this); }
  bool KQ_IsIdent(KQ_IPackable const& other) const override {
    auto const* same = static_cast<HrBox const*>(other.KQ_Cast("HrBox"));
    return same != nullptr && same->fFirst == fFirst && same->fSecond == fSecond;
  }
  bool WriteTo(KQ_THumanReadableStream& stream) const override {
    stream << fFirst << cr << fSecond;
    return false;
  }
  bool ReadFrom(KQ_THumanReadableStream& stream) override {
    stream >> fFirst >> fSecond;
    stream.Expect('}');
    return true;
  }
};
KQ_CLASS_IMPL(HrBox)

// Human-readable but not packable: Extract refuses it.
class HrTextOnly : public KQ_TObject, public virtual KQ_IHumanReadable {
  KQ_CLASS(HrTextOnly, KQ_TObject, KQ_IHumanReadable)
  bool WriteTo(KQ_THumanReadableStream&) const override { return false; }
  bool ReadFrom(KQ_THumanReadableStream&) override { return false; }
};
KQ_CLASS_IMPL(HrTextOnly)

namespace {

class HrStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__());
    // Records of the test classes exist before any text names them.
    HrPackedOnly::KQ_ClassObject();
    HrPoint::KQ_ClassObject();
    HrBox::KQ_ClassObject();
    HrTextOnly::KQ_ClassObject();
    ReaderUnpackable::KQ_ClassObject();
    KQ_TThread::KQ_ClassObject();
  }
};

std::string Contents(KQ_TMemoryStream const& memory) {
  if (memory.Size() == 0) return {};
  return std::string(reinterpret_cast<char const*>(memory.Data()), memory.Size());
}

// The text that write produces on a fresh stream.
std::string Written(std::function<void(KQ_THumanReadableStream&)> const& write) {
  KQ_TMemoryStream memory;
  KQ_THumanReadableStream stream(memory);
  write(stream);
  return Contents(memory);
}

template <class T>
std::string WrittenValue(T value) {
  return Written([value](KQ_THumanReadableStream& stream) { stream << value; });
}

// A stream reading a private copy of text.
struct Input {
  explicit Input(std::string const& text) : stream(memory) {
    if (!text.empty()) memory.Write(text.data(), static_cast<std::uint32_t>(text.size()));
    memory.Seek(0);
  }
  // What is left to read.
  std::string Rest() {
    std::string rest;
    while (stream.Available() > 0) rest += static_cast<char>(stream.Read());
    return rest;
  }
  KQ_TMemoryStream memory;
  KQ_THumanReadableStream stream;
};

// The readers of numbers and words read one character past the token, so
// the helpers end the text with a blank.
template <class T>
T ReadValue(std::string const& text) {
  Input input(text + " ");
  T value{};
  input.stream >> value;
  return value;
}

template <class T>
void ExpectSyntaxError(std::string const& text) {
  Input input(text + " ");
  T value{};
  EXPECT_THROW(input.stream >> value, KQ_EHRSyntaxError) << "text: " << text;
}

std::unique_ptr<KQ_IHumanReadable> Extracted(std::string const& text) {
  Input input(text + " ");
  return std::unique_ptr<KQ_IHumanReadable>(input.stream.Extract());
}

KQ_TAny const& AsAny(std::unique_ptr<KQ_IHumanReadable> const& object) {
  auto const* any = static_cast<KQ_TAny const*>(object->KQ_Cast("KQ_TAny"));
  if (any == nullptr) throw std::runtime_error("not an Any");
  return *any;
}

std::uint32_t KindOf(std::string const& text) { return AsAny(Extracted(text)).Kind(); }

KQ_TString StringFromUtf16(std::u16string const& units) {
  return KQ_TString(reinterpret_cast<std::uint16_t const*>(units.c_str()));
}

// A decimal separator of a comma, for the C++ global locale.
struct CommaDecimal : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

}  // namespace

TEST_F(HrStreamTest, BasicValuesAreWrittenWithTheirSuffixes) {
  EXPECT_EQ(WrittenValue(std::int8_t{-5}), "-5B");
  EXPECT_EQ(WrittenValue(std::int16_t{300}), "300S");
  EXPECT_EQ(WrittenValue(std::int32_t{7}), "7");
  EXPECT_EQ(WrittenValue(std::int64_t{5}), "5X");
  EXPECT_EQ(WrittenValue(std::uint8_t{200}), "200UB");
  EXPECT_EQ(WrittenValue(std::uint16_t{60000}), "60000US");
  EXPECT_EQ(WrittenValue(std::uint32_t{7}), "7U");
  EXPECT_EQ(WrittenValue(std::uint64_t{7}), "7UX");
  EXPECT_EQ(WrittenValue(true), "TRUE");
  EXPECT_EQ(WrittenValue(false), "FALSE");
  EXPECT_EQ(WrittenValue(1.5f), "1.500000S");
  EXPECT_EQ(WrittenValue(1.5), "1.500000");
  EXPECT_EQ(WrittenValue(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808X");
  EXPECT_EQ(WrittenValue(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615UX");
  EXPECT_EQ(WrittenValue(std::numeric_limits<std::int32_t>::min()), "-2147483648");
  // Other integer types go to the width of their size.
  EXPECT_EQ(WrittenValue(5LL), "5X");
  EXPECT_EQ(WrittenValue(5ULL), "5UX");
  EXPECT_EQ(WrittenValue(5L), sizeof(long) == 8 ? "5X" : "5");
  EXPECT_EQ(WrittenValue(5u), "5U");
  // Six decimals, rounded, never an exponent.
  EXPECT_EQ(WrittenValue(1e20), "100000000000000000000.000000");
  EXPECT_EQ(WrittenValue(-0.0000004), "-0.000000");
  EXPECT_EQ(WrittenValue(0.1), "0.100000");
  EXPECT_EQ(WrittenValue(2.5e-6), "0.000003");
  EXPECT_EQ(WrittenValue(123456.7890125f), "123456.789062S");
  std::string const huge = WrittenValue(std::numeric_limits<double>::max());
  EXPECT_EQ(huge.size(), 309u + 7u);
  EXPECT_EQ(huge.substr(0, 6), "179769");
}

TEST_F(HrStreamTest, BasicValuesReadBackIntoTheirOwnTypes) {
  std::string const text =
      Written([](KQ_THumanReadableStream& s) {
        s << std::int8_t{-5} << cr << std::int16_t{300} << cr << std::int32_t{-7} << cr
          << std::int64_t{-5000000000} << cr << std::uint8_t{200} << cr << std::uint16_t{60000}
          << cr << std::uint32_t{4000000000u} << cr << std::numeric_limits<std::uint64_t>::max()
          << cr << true << cr << 'q' << cr << 0.25f << cr << -1234.5 << cr << false;
      }) +
      " ";
  Input input(text);
  std::int8_t i8 = 0;
  std::int16_t i16 = 0;
  std::int32_t i32 = 0;
  std::int64_t i64 = 0;
  std::uint8_t u8 = 0;
  std::uint16_t u16 = 0;
  std::uint32_t u32 = 0;
  std::uint64_t u64 = 0;
  bool b1 = false;
  bool b2 = true;
  char c = 0;
  float f = 0;
  double d = 0;
  input.stream >> i8 >> i16 >> i32 >> i64 >> u8 >> u16 >> u32 >> u64 >> b1 >> c >> f >> d >> b2;
  EXPECT_EQ(i8, -5);
  EXPECT_EQ(i16, 300);
  EXPECT_EQ(i32, -7);
  EXPECT_EQ(i64, -5000000000);
  EXPECT_EQ(u8, 200);
  EXPECT_EQ(u16, 60000);
  EXPECT_EQ(u32, 4000000000u);
  EXPECT_EQ(u64, std::numeric_limits<std::uint64_t>::max());
  EXPECT_TRUE(b1);
  EXPECT_EQ(c, 'q');
  EXPECT_EQ(f, 0.25f);
  EXPECT_EQ(d, -1234.5);
  EXPECT_FALSE(b2);
  EXPECT_EQ(input.stream.LineNr(), 12u);
  // long long and long read through the forwarding template.
  EXPECT_EQ(ReadValue<long long>("-9X"), -9);
  EXPECT_EQ(ReadValue<unsigned long long>("9UX"), 9u);
}

TEST_F(HrStreamTest, IntegerReadersTakeCLiteralsAndAnySuffix) {
  EXPECT_EQ(ReadValue<std::int64_t>("5X"), 5);
  EXPECT_EQ(ReadValue<std::int64_t>("5x"), 5);
  ExpectSyntaxError<std::int64_t>("5");
  EXPECT_EQ(ReadValue<std::int32_t>("5"), 5);
  EXPECT_EQ(ReadValue<std::int32_t>("010"), 8);
  EXPECT_EQ(ReadValue<std::int32_t>("0x1b"), 27);
  EXPECT_EQ(ReadValue<std::int32_t>("-0X1BL"), -27);
  EXPECT_EQ(ReadValue<std::int32_t>("7UB"), 7);
  EXPECT_EQ(ReadValue<std::int32_t>("+7"), 7);
  // "0x" without a hexadecimal digit is 0 with the suffix x.
  EXPECT_EQ(ReadValue<std::int32_t>("0x"), 0);
  // Narrowed without a range check; 32-bit overflow saturates like strtol.
  EXPECT_EQ(ReadValue<std::int8_t>("300"), 44);
  EXPECT_EQ(ReadValue<std::uint8_t>("0x1bb"), 0xbb);
  EXPECT_EQ(ReadValue<std::int16_t>("70000S"), 4464);
  EXPECT_EQ(ReadValue<std::int32_t>("99999999999"), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(ReadValue<std::int32_t>("-99999999999"), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(ReadValue<std::uint32_t>("99999999999U"), 0xFFFFFFFFu);
  EXPECT_EQ(ReadValue<std::uint32_t>("4294967295"), 0xFFFFFFFFu);
  // 64-bit: decimal, with a suffix, saturating.
  EXPECT_EQ(ReadValue<std::uint64_t>("7U"), 7u);
  EXPECT_EQ(ReadValue<std::uint64_t>("7UX"), 7u);
  EXPECT_EQ(ReadValue<std::uint64_t>("-5X"), std::numeric_limits<std::uint64_t>::max() - 4);
  EXPECT_EQ(ReadValue<std::int64_t>("9223372036854775808X"),
            std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(ReadValue<std::int64_t>("-9223372036854775808X"),
            std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(ReadValue<std::uint64_t>("99999999999999999999UX"),
            std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(ReadValue<std::int64_t>("010X"), 10);
  ExpectSyntaxError<std::int64_t>("0x10X");
  ExpectSyntaxError<std::int64_t>("5UXL");
  ExpectSyntaxError<std::int32_t>("08");
  ExpectSyntaxError<std::int32_t>("5bs");
  ExpectSyntaxError<std::int32_t>("5bu");
  ExpectSyntaxError<std::int32_t>("--5");
  ExpectSyntaxError<std::int32_t>("}");
  ExpectSyntaxError<std::int32_t>("u");
  // The unsigned readers do not take a minus sign at all.
  ExpectSyntaxError<std::uint32_t>("-1");
  // The first character outside the token's set is left for the next read.
  Input input("12,0x5");
  std::int32_t value = 0;
  input.stream >> value;
  EXPECT_EQ(value, 12);
  EXPECT_EQ(input.Rest(), ",0x5");
}

TEST_F(HrStreamTest, FloatingPointReadersTakeStrtodNumbersWithLOrS) {
  EXPECT_EQ(ReadValue<double>("1.5"), 1.5);
  EXPECT_EQ(ReadValue<double>("2e3"), 2000.0);
  EXPECT_EQ(ReadValue<double>("2E+3L"), 2000.0);
  EXPECT_EQ(ReadValue<double>("-.5l"), -0.5);
  EXPECT_EQ(ReadValue<double>("+7."), 7.0);
  EXPECT_EQ(ReadValue<float>("1.5S"), 1.5f);
  EXPECT_EQ(ReadValue<float>("0.1"), 0.1f);
  // Narrowing rounds as the hardware does, to infinity only past the top.
  EXPECT_EQ(ReadValue<float>("3.4028235e38"), std::numeric_limits<float>::max());
  EXPECT_EQ(ReadValue<float>("-1e39"), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(static_cast<float>(AsAny(Extracted("1e39S"))), std::numeric_limits<float>::infinity());
  EXPECT_EQ(ReadValue<double>("0.1"), 0.1);
  EXPECT_EQ(ReadValue<double>("1e999"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(ReadValue<double>("-1e999"), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(ReadValue<double>("1e-999"), 0.0);
  EXPECT_EQ(ReadValue<double>("4e-320"), 4e-320);
  EXPECT_EQ(ReadValue<double>("1e99999"), std::numeric_limits<double>::infinity());
  ExpectSyntaxError<double>("1.5ls");
  ExpectSyntaxError<double>("1.5e");
  ExpectSyntaxError<double>("1.5SS");
  ExpectSyntaxError<double>("+-1");
  ExpectSyntaxError<double>(".");
  ExpectSyntaxError<double>("5e");
  ExpectSyntaxError<double>("inf");
  // Every double written reads back to the same six decimals.
  for (double value : {0.0, -3.25, 1e15 + 0.5, 123.456789, -0.000001}) {
    std::string const text = WrittenValue(value);
    EXPECT_EQ(WrittenValue(ReadValue<double>(text)), text);
  }
}

TEST_F(HrStreamTest, FloatingPointTextAgreesWithTheCLibraryInTheCLocale) {
  ASSERT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
  // Exact ties round to even as printf does.
  EXPECT_EQ(WrittenValue(0.0078125), "0.007812");
  EXPECT_EQ(WrittenValue(0.0234375), "0.023438");
  std::mt19937_64 random(20240601);
  for (int i = 0; i < 20000; ++i) {
    double value = 0;
    if (i % 2 == 0) {
      std::uint64_t const bits = random();
      std::memcpy(&value, &bits, sizeof value);
      if (!std::isfinite(value)) continue;
    } else {
      value = std::ldexp(static_cast<double>(random() % 2000001) - 1000000.0,
                         static_cast<int>(random() % 90) - 60);
    }
    char expected[400];
    std::snprintf(expected, sizeof expected, "%f", value);
    ASSERT_EQ(WrittenValue(value), expected);
    char token[40];
    std::snprintf(token, sizeof token, "%.17g", value);
    double const parsed = ReadValue<double>(token);
    ASSERT_EQ(std::memcmp(&parsed, &value, sizeof value), 0) << token;
    if (std::fabs(value) < 1e38) {
      ASSERT_EQ(ReadValue<float>(token), static_cast<float>(std::strtod(token, nullptr))) << token;
    }
  }
}

TEST_F(HrStreamTest, NumbersNextToARoundingBoundaryAgreeWithTheCLibrary) {
  // Values a few units in the last place from half-way between two
  // six-decimal numbers, where a careless scaled-integer formatting rounds
  // the wrong way, and plain values of every size the integers cover.
  std::mt19937_64 random(7);
  char expected[400];
  for (int i = 0; i < 40000; ++i) {
    double const units = static_cast<double>(random() % 4000000000000000ull);
    double value = (units + 0.5) / 1e6;
    for (int step = static_cast<int>(random() % 5); step > 0; --step) {
      value = std::nextafter(value, i % 2 == 0 ? 0.0 : 1e300);
    }
    if (i % 3 == 0) value = -value;
    if (i % 7 == 0) value = std::ldexp(static_cast<double>(random() % 1000000), -(i % 40));
    std::snprintf(expected, sizeof expected, "%f", value);
    ASSERT_EQ(WrittenValue(value), expected) << i;
    std::snprintf(expected, sizeof expected, "%fS", static_cast<double>(static_cast<float>(value)));
    ASSERT_EQ(WrittenValue(static_cast<float>(value)), expected) << i;
  }
  EXPECT_EQ(WrittenValue(-0.0), "-0.000000");
  EXPECT_EQ(WrittenValue(-1e-9), "-0.000000");
  for (double edge : {4294967295.9999995, 4294967296.0, std::nextafter(4294967296.0, 0.0),
                      0.0000005, 0.0000015, 0.0000025}) {
    std::snprintf(expected, sizeof expected, "%f", edge);
    EXPECT_EQ(WrittenValue(edge), expected);
  }
}

template <class T>
std::string WrittenExact(T value) {
  return Written(
      [value](KQ_THumanReadableStream& stream) { stream.SetExactFloats(true) << value; });
}

template <class T>
bool SameBits(T a, T b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST_F(HrStreamTest, ExactFloatsReadBackToTheSameBits) {
  EXPECT_EQ(WrittenExact(0.1), "0.1");
  EXPECT_EQ(WrittenExact(2.0), "2.0");
  EXPECT_EQ(WrittenExact(-0.0), "-0.0");
  EXPECT_EQ(WrittenExact(1e-7), "0.0000001");
  EXPECT_EQ(WrittenExact(1e22), "10000000000000000000000.0");
  EXPECT_EQ(WrittenExact(std::numeric_limits<double>::infinity()), "1e999");
  EXPECT_EQ(WrittenExact(-std::numeric_limits<float>::infinity()), "-1e999S");
  EXPECT_EQ(WrittenExact(0.1f), "0.1S");
  EXPECT_EQ(WrittenExact(16777217.0f), "16777216.0S");
  std::mt19937_64 random(99);
  for (int i = 0; i < 20000; ++i) {
    std::uint64_t const bits = random();
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    // Every exponent, including subnormals, and a fifth of short decimals.
    if (i % 5 == 0)
      value = static_cast<double>(static_cast<std::int64_t>(bits % 20000001) - 10000000) / 1000;
    if (std::isnan(value)) continue;
    std::string const text = WrittenExact(value);
    ASSERT_TRUE(text.find('.') != std::string::npos || text.find('e') != std::string::npos) << text;
    ASSERT_TRUE(SameBits(ReadValue<double>(text), value)) << text;
    ASSERT_EQ(AsAny(Extracted(text)).Kind(), KQ_TAny::kDouble) << text;
    ASSERT_TRUE(SameBits(static_cast<double>(AsAny(Extracted(text))), value)) << text;
    auto const narrow = static_cast<std::uint32_t>(bits >> 32);
    float single = 0;
    std::memcpy(&single, &narrow, sizeof single);
    if (std::isnan(single)) continue;
    std::string const floatText = WrittenExact(single);
    ASSERT_TRUE(SameBits(ReadValue<float>(floatText), single)) << floatText;
    ASSERT_EQ(AsAny(Extracted(floatText)).Kind(), KQ_TAny::kFloat) << floatText;
    ASSERT_TRUE(SameBits(static_cast<float>(AsAny(Extracted(floatText))), single)) << floatText;
  }
  // The default form is untouched by the setting of another stream.
  EXPECT_EQ(WrittenValue(0.1), "0.100000");
}

TEST_F(HrStreamTest, BoolsAreTrueOrFalseInAnyCase) {
  EXPECT_TRUE(ReadValue<bool>("tRuE"));
  EXPECT_FALSE(ReadValue<bool>("  False"));
  ExpectSyntaxError<bool>("yes");
  ExpectSyntaxError<bool>("truee");
  ExpectSyntaxError<bool>("fals");
  ExpectSyntaxError<bool>("1");
}

TEST_F(HrStreamTest, CharactersAreQuotedAndEscaped) {
  struct Case {
    char value;
    char const* text;
  };
  Case const cases[] = {
      {'a', "'a'"},        {'\n', "'\\n'"},     {static_cast<char>(200), "'\\310'"},
      {'\\', "'\\\\'"},    {'\'', "'\\''"},     {'\t', "'\\t'"},
      {'\b', "'\\b'"},     {'\r', "'\\r'"},     {'\0', "'\\000'"},
      {'\x7f', "'\\177'"}, {'\x1b', "'\\033'"}, {'"', "'\"'"},
      {' ', "' '"},        {'~', "'~'"},        {static_cast<char>(255), "'\\377'"},
  };
  for (Case const& c : cases) {
    EXPECT_EQ(WrittenValue(c.value), c.text);
    EXPECT_EQ(ReadValue<char>(c.text), c.value) << c.text;
  }
  EXPECT_EQ(ReadValue<char>(" \n 'x'"), 'x');
  ExpectSyntaxError<char>("x");
  ExpectSyntaxError<char>("'\\q'");
  ExpectSyntaxError<char>("'\\12'");
  ExpectSyntaxError<char>("'\\18'");
  ExpectSyntaxError<char>("'ab'");
  Input cut("'\\3");
  char c = 0;
  EXPECT_THROW(cut.stream >> c, KQ_EStreamEndReached);
}

TEST_F(HrStreamTest, StringsEscapeEveryByteOfTheirUtf8) {
  auto written = [](KQ_TString const& s) {
    return Written([&s](KQ_THumanReadableStream& stream) { stream << s; });
  };
  EXPECT_EQ(written(StringFromUtf16(u"\u00e4")), "\"\\303\\244\"");
  EXPECT_EQ(written(StringFromUtf16(u"\t\u00e9")), "\"\\t\\303\\251\"");
  EXPECT_EQ(written(KQ_TString()), "\"\"");
  EXPECT_EQ(written(KQ_TString("a\"b\\c\r\n\b\x01~")), "\"a\\\"b\\\\c\\r\\n\\b\\001~\"");
  EXPECT_EQ(written(StringFromUtf16(u"\u20ac")), "\"\\342\\202\\254\"");
  // The form stops at the first zero unit.
  KQ_TString withZero("ab");
  withZero[1] = std::uint16_t{0};
  ASSERT_EQ(withZero.Length(), 2u);
  EXPECT_EQ(written(withZero), "\"a\"");
  // C texts are written as strings.
  EXPECT_EQ(Written([](KQ_THumanReadableStream& s) { s << "x\ty"; }), "\"x\\ty\"");
  EXPECT_THROW(Written([](KQ_THumanReadableStream& s) { s << "\xff"; }), KQ_EIllegalUTF8Character);

  // A long string crosses the writer's buffer and reads back.
  std::u16string longText;
  for (int i = 0; i < 3000; ++i)
    longText += static_cast<char16_t>(i % 3 == 0 ? 0x20ac : 'a' + i % 26);
  KQ_TString const longString = StringFromUtf16(longText);
  for (KQ_TString const& s :
       {StringFromUtf16(u"\u00e4"), StringFromUtf16(u"\t\u00e9\"\\\u07ff\u0800\uffff"),
        KQ_TString(), longString}) {
    Input input(written(s));
    KQ_TString back("old");
    input.stream >> back;
    EXPECT_EQ(back, s);
  }
}

TEST_F(HrStreamTest, StringReaderTakesOctalHexAndPlainEscapes) {
  auto read = [](std::string const& text) { return ReadValue<KQ_TString>(text); };
  EXPECT_EQ(read("\"\\u00e4\\u20AC\""), StringFromUtf16(u"\u00e4\u20ac"));
  EXPECT_EQ(read("\"\\u0041\""), KQ_TString("A"));
  // One to three octal digits; the first other byte is read as text.
  EXPECT_EQ(read("\"\\101\\0618\\7x\""), KQ_TString("A18\x07x"));
  EXPECT_EQ(read("\"\\303\\244\""), StringFromUtf16(u"\u00e4"));
  // A backslash before any other byte stands for that byte.
  EXPECT_EQ(read("\"\\q\\\"\\\\\""), KQ_TString("q\"\\"));
  EXPECT_EQ(read("\"\\b\\n\\r\\t\""), KQ_TString("\b\n\r\t"));
  // A \u cut short gives nothing; the byte that cut it is read as text.
  EXPECT_EQ(read("\"\\u4x\""), KQ_TString("x"));
  EXPECT_EQ(read("\"\\u00e\""), KQ_TString());
  // Raw bytes between the quotes are UTF-8, line feeds included.
  Input raw("\"a\nb\xc3\xa4\" 5 ");
  KQ_TString s;
  std::int32_t after = 0;
  raw.stream >> s >> after;
  EXPECT_EQ(s, StringFromUtf16(u"a\nb\u00e4"));
  EXPECT_EQ(after, 5);
  EXPECT_EQ(raw.stream.LineNr(), 1u);

  Input noQuote("  abc\"");
  KQ_TString target;
  EXPECT_THROW(noQuote.stream >> target, KQ_EHRSyntaxError);
  Input unterminated("\"abc");
  EXPECT_THROW(unterminated.stream >> target, KQ_EStreamEndReached);
  Input notUtf8("\"\\377\"");
  EXPECT_THROW(notUtf8.stream >> target, KQ_EIllegalUTF8Character);
}

TEST_F(HrStreamTest, IndentationAndManipulators) {
  KQ_TMemoryStream memory;
  KQ_THumanReadableStream stream(memory);
  for (int i = 0; i < 42; ++i) stream.Indent();
  EXPECT_EQ(stream.Indentation(), 84u);
  stream.AddPrefix();
  EXPECT_EQ(Contents(memory), std::string(84, ' '));

  KQ_TMemoryStream second;
  stream = second;
  EXPECT_EQ(stream.Indentation(), 0u);
  stream.ReverseIndent();
  EXPECT_EQ(stream.Indentation(), 0u);
  stream.Indent().ReverseIndent().ReverseIndent();
  EXPECT_EQ(stream.Indentation(), 0u);
  stream.Indent().Indent().Indent().ReverseIndent();
  EXPECT_EQ(stream.Indentation(), 4u);

  stream << 1 << cr << indent << 2 << cr << back << prefix << 3 << endl << flush;
  EXPECT_EQ(Contents(second), "1\n    2\n" + std::string(10, ' ') + "3\n");
}

TEST_F(HrStreamTest, SyntaxErrorsReportTheLineOfTheInput) {
  Input input("1\n2\nxyz");
  std::int32_t a = 0;
  std::int32_t b = 0;
  std::int32_t c = 0;
  try {
    input.stream >> a >> b >> c;
    FAIL() << "no syntax error";
  } catch (KQ_EHRSyntaxError const& e) {
    EXPECT_EQ(e.KQ_Message(), KQ_TString(" at line 2"));
  }
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 2);

  Input first("?");
  try {
    first.stream.SyntaxError();
  } catch (KQ_EHRException const& e) {
    EXPECT_EQ(e.KQ_Message(), KQ_TString(" at line 0"));
  }

  // Rebinding starts counting again.
  KQ_TMemoryStream other;
  input.stream = other;
  EXPECT_EQ(input.stream.LineNr(), 0u);
}

TEST_F(HrStreamTest, SyntaxErrorsSayWhatWasExpectedAndFound) {
  struct Case {
    std::string text;
    char const* value;
  };
  Case const cases[] = {
      {"--5", "expected a number, found \"--5\""},
      {"KQ_TNoSuchClass { }",
       "expected a class with a text form, found \"KQ_TNoSuchClass\", a class "
       "unknown here"},
      {"KQ_IPackable { 0g }", "expected a second hexadecimal digit, found 'g'"},
      {"KQ_TList ( }", "expected '{', found '('"},
      {"'\\08'", "expected three octal digits, found '8'"},
      {"KQ_TString { \"a\" ]", "expected '}', found ']'"},
  };
  for (Case const& c : cases) {
    Input input(c.text + " ");
    try {
      delete input.stream.Extract();
      ADD_FAILURE() << "no syntax error for " << c.text;
    } catch (KQ_EHRSyntaxError const& e) {
      EXPECT_EQ(e.KQ_Message(), KQ_TString(" at line 0"));
      auto const* found = static_cast<KQ_TString const*>(e.KQ_Data()->KQ_Cast("KQ_TString"));
      ASSERT_NE(found, nullptr) << c.text;
      EXPECT_EQ(*found, KQ_TString(c.value)) << c.text;
    }
  }
}

TEST_F(HrStreamTest, StrictReadingRefusesWhatTheDefaultWouldChange) {
  struct Case {
    std::string text;
    char const* lenient;  // the value read without strictness
  };
  Case const cases[] = {
      {"300B", "44B"},
      {"-129B", "127B"},
      {"256UB", "0UB"},
      {"70000S", "4464S"},
      {"99999999999", "2147483647"},
      {"4294967296U", "4294967295U"},
      {"-1U", "4294967295U"},
      {"99999999999999999999X", "9223372036854775807X"},
      {"1e39S", "1e999S"},
      {"\"ab\\u0000cd\"", "\"ab\""},
      {"\"ab\\400cd\"", "\"ab\\000cd\""},
      {"\"\\301\\201\"", "\"A\""},
      {"KQ_IPackable {\n 4005020107 4005020108 }", "KQ_IPackable { 4005020107 }"},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.text);
    auto const text = [](KQ_IHumanReadable const& object) {
      return Written(
          [&object](KQ_THumanReadableStream& stream) { stream.SetExactFloats(true) << object; });
    };
    std::unique_ptr<KQ_IHumanReadable> const lenient(Extracted(c.text));
    std::unique_ptr<KQ_IHumanReadable> const expected(Extracted(c.lenient));
    EXPECT_EQ(text(*lenient), text(*expected));
    Input strict(c.text + " ");
    strict.stream.SetStrict(true);
    EXPECT_THROW(delete strict.stream.Extract(), KQ_EHRSyntaxError);
  }
  // The typed readers check their own type; fitting values pass.
  Input typed("-128 127 255 65535 -2147483648 300 ");
  typed.stream.SetStrict(true);
  std::int8_t low = 0;
  std::int8_t high = 0;
  std::uint8_t byte = 0;
  std::uint16_t word = 0;
  std::int32_t least = 0;
  typed.stream >> low >> high >> byte >> word >> least;
  EXPECT_EQ(low, -128);
  EXPECT_EQ(high, 127);
  EXPECT_EQ(byte, 255);
  EXPECT_EQ(word, 65535);
  EXPECT_EQ(least, INT32_MIN);
  EXPECT_THROW(typed.stream >> byte, KQ_EHRSyntaxError);
  Input exact("\"\\303\\244\" 1e999S 3.5S ");
  exact.stream.SetStrict(true);
  KQ_TString umlaut;
  float infinite = 0;
  float small = 0;
  exact.stream >> static_cast<KQ_IHumanReadable&>(umlaut) >> infinite >> small;
  EXPECT_EQ(umlaut.Length(), 1u);
  EXPECT_TRUE(std::isinf(infinite));
  EXPECT_EQ(small, 3.5f);
}

TEST_F(HrStreamTest, ObjectsUseTheDefaultFramingOnOneOrSeveralLines) {
  HrBox box;
  box.fFirst = HrPoint(1, -2);
  box.fSecond = KQ_TAny(KQ_TString("s"));
  std::string const text = Written([&box](KQ_THumanReadableStream& s) {
    s.Indent();
    s << box;
  });
  EXPECT_EQ(text, "HrBox {\n    HrPoint { 1 -2 }\n    \"s\"\n  }");

  Input input("  HrBox\n{HrPoint{3 4}\t-7X }");
  HrBox back;
  input.stream >> back;
  EXPECT_TRUE(back.fFirst == KQ_TAny(HrPoint(3, 4)));
  EXPECT_TRUE(back.fSecond == KQ_TAny(std::int64_t{-7}));

  Input roundTrip(text);
  roundTrip.stream >> back;
  EXPECT_TRUE(box.KQ_IsIdent(back));

  HrPoint point;
  Input wrongName("HrBox { 1 2 }");
  EXPECT_THROW(wrongName.stream >> point, KQ_EHRSyntaxError);
  Input noOpening("HrPoint 1 2 }");
  EXPECT_THROW(noOpening.stream >> point, KQ_EHRSyntaxError);
  Input noClosing("HrPoint { 1 2 3 }");
  EXPECT_THROW(noClosing.stream >> point, KQ_EHRSyntaxError);
}

TEST_F(HrStreamTest, ExtractGivesTheKindOfEveryNumericForm) {
  struct Case {
    char const* text;
    std::uint32_t kind;
  };
  Case const cases[] = {
      {"300S", KQ_TAny::kInt16},      {"7", KQ_TAny::kInt32},     {"7l", KQ_TAny::kInt32},
      {"-5B", KQ_TAny::kInt8},        {"5X", KQ_TAny::kInt64},    {"7U", KQ_TAny::kUInt32},
      {"7UL", KQ_TAny::kUInt32},      {"200ub", KQ_TAny::kUInt8}, {"60000US", KQ_TAny::kUInt16},
      {"7UX", KQ_TAny::kUInt64},      {"1.5", KQ_TAny::kDouble},  {"1.5S", KQ_TAny::kFloat},
      {"1.5L", KQ_TAny::kDouble},     {"2e3", KQ_TAny::kDouble},  {".5", KQ_TAny::kDouble},
      {"TRUE", KQ_TAny::kBool},       {"false", KQ_TAny::kBool},  {"'a'", KQ_TAny::kChar},
      {"ILLEGAL", KQ_TAny::kIllegal}, {"null", KQ_TAny::kNull},
  };
  for (Case const& c : cases) EXPECT_EQ(KindOf(c.text), c.kind) << c.text;

  EXPECT_EQ(static_cast<std::int16_t>(AsAny(Extracted("300S"))), 300);
  EXPECT_EQ(static_cast<double>(AsAny(Extracted("2e3"))), 2000.0);
  EXPECT_EQ(static_cast<float>(AsAny(Extracted("1.5S"))), 1.5f);
  EXPECT_EQ(static_cast<std::int8_t>(AsAny(Extracted("-5B"))), -5);
  EXPECT_EQ(static_cast<std::uint32_t>(AsAny(Extracted("4000000000U"))), 4000000000u);
  EXPECT_EQ(static_cast<std::int32_t>(AsAny(Extracted("3000000000"))),
            std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(static_cast<std::int64_t>(AsAny(Extracted("-3000000000x"))), -3000000000);
  EXPECT_EQ(static_cast<std::uint64_t>(AsAny(Extracted("18446744073709551615UX"))),
            std::numeric_limits<std::uint64_t>::max());
  // Base 10 only: a leading zero is not octal here.
  EXPECT_EQ(static_cast<std::int32_t>(AsAny(Extracted("010"))), 10);
  EXPECT_EQ(static_cast<char>(AsAny(Extracted("'\\n'"))), '\n');
  EXPECT_TRUE(static_cast<bool>(AsAny(Extracted("tRuE"))));

  auto string = Extracted("  \"text\"");
  ASSERT_NE(string->KQ_Cast("KQ_TString"), nullptr);
  EXPECT_EQ(*static_cast<KQ_TString const*>(string->KQ_Cast("KQ_TString")), KQ_TString("text"));

  for (char const* bad : {"5bs", "1.5x", "1.5UB", "--5", "5e", "-", "+x", "7UU", "1.5Sx"}) {
    EXPECT_THROW(Extracted(bad), KQ_EHRSyntaxError) << bad;
  }
}

TEST_F(HrStreamTest, ExtractCreatesObjectsOnlyOfReadableAndPackableClasses) {
  auto point = Extracted("HrPoint { 5 6 }");
  auto const* p = static_cast<HrPoint const*>(point->KQ_Cast("HrPoint"));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->fX, 5);
  EXPECT_EQ(p->fY, 6);

  for (char const* bad : {"NoSuchClass { }", "KQ_TMemoryStream { }", "HrTextOnly { }",
                          "HrPackedOnly { }", "KQ_IPackable { }", "KQ_IHumanReadable { }", "{ }",
                          "HrPoint 5 6 }", "HrPoint { 5 6", "hrpoint { 5 6 }"}) {
    Input input(bad);
    try {
      std::unique_ptr<KQ_IHumanReadable> object(input.stream.Extract());
      ADD_FAILURE() << "accepted: " << bad;
    } catch (KQ_EHRSyntaxError const&) {
    } catch (KQ_EStreamEndReached const&) {
    }
  }
  EXPECT_THROW(Extracted("HrPoint { 5 6"), KQ_EStreamEndReached);
  EXPECT_THROW(Extracted("NoSuchClass { }"), KQ_EHRSyntaxError);
  EXPECT_THROW(Extracted("HrTextOnly { }"), KQ_EHRSyntaxError);
  EXPECT_THROW(Extracted(" \n\t "), KQ_EStreamEndReached);
}

// A class the text names that is not packable is refused by its record: no
// instance is made, whether it stands as an object or inside a packed block
// (where it reads as an unknown class).
TEST_F(HrStreamTest, ClassesThatAreNotPackableAreNeverInstantiated) {
  ReaderUnpackable::sMade = 0;
  for (char const* name : {"ReaderUnpackable", "KQ_TThread"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(Extracted(std::string(name) + " { }"), KQ_EHRSyntaxError);
    std::string hex = "0d0000";
    char length[24];
    std::snprintf(length, sizeof length, "%04zx", std::strlen(name));
    hex += length;
    for (char const* c = name; *c != '\0'; ++c) {
      char digits[3];
      std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(*c));
      hex += digits;
    }
    hex += "ff";
    auto const packed = Extracted("KQ_IPackable { " + hex + " }");
    KQ_TAny const& held = AsAny(packed);
    ASSERT_EQ(held.Kind(), KQ_TAny::kObject);
    KQ_TPackage package;
    package = held;
    EXPECT_EQ(package.Size(), 3 + hex.size() / 2);
  }
  EXPECT_EQ(ReaderUnpackable::sMade, 0);
}

TEST_F(HrStreamTest, PackablesAreWrittenAsHexLinesAndReadBack) {
  // A string of 27 units packs to 65 bytes: code, length element, packet.
  KQ_TString const string("abcdefghijklmnopqrstuvwxyz!");
  KQ_TPackage package;
  package = string;
  ASSERT_EQ(package.Size(), 65u);
  std::string hex;
  for (std::uint32_t i = 0; i < package.Size(); ++i) {
    static char const digits[] = "0123456789abcdef";
    hex += digits[package.Data()[i] >> 4];
    hex += digits[package.Data()[i] & 15];
  }
  std::string const text = Written([&string](KQ_THumanReadableStream& s) {
    s.Indent();
    s.WritePackable(string);
  });
  EXPECT_EQ(text,
            "KQ_IPackable {\n    " + hex.substr(0, 128) + "\n    " + hex.substr(128) + "\n  }");
  EXPECT_EQ(hex.substr(128), "21");

  auto extracted = Extracted(text);
  KQ_TAny const& any = AsAny(extracted);
  ASSERT_EQ(any.Kind(), KQ_TAny::kObject);
  EXPECT_TRUE(any->KQ_IsIdent(string));

  // Upper-case digits, white space before pairs, an Any holding a packable
  // without a text form.
  KQ_TAny const packedOnly{HrPackedOnly(0x41424344)};
  std::string const packedText = WrittenValue(packedOnly);
  EXPECT_EQ(packedText.substr(0, 15), "KQ_IPackable {\n");
  Input input(packedText);
  KQ_TAny back;
  input.stream >> back;
  EXPECT_TRUE(back == packedOnly);
  std::string upper = packedText;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  std::string spaced;
  for (std::size_t i = upper.find('\n'); i < upper.size(); ++i) {
    if (std::isxdigit(static_cast<unsigned char>(upper[i])) && i % 2 == 1) spaced += " \n\t";
    spaced += upper[i];
  }
  Input relaxed("kq_ipackable {" + spaced);
  KQ_TAny again;
  relaxed.stream >> again;
  EXPECT_TRUE(again == packedOnly);

  for (char const* bad :
       {"KQ_IPackable { 4 1 }", "KQ_IPackable { 4g }", "KQ_IPackable 41 }", "KQ_IPackable { 4}"}) {
    EXPECT_THROW(Extracted(bad), KQ_EHRSyntaxError) << bad;
  }
}

TEST_F(HrStreamTest, AnyWritesEachKindInItsOwnForm) {
  EXPECT_EQ(WrittenValue(KQ_TAny()), "ILLEGAL");
  EXPECT_EQ(WrittenValue(KQ_TAny(nullptr)), "NULL");
  EXPECT_EQ(WrittenValue(KQ_TAny(std::int8_t{-1})), "-1B");
  EXPECT_EQ(WrittenValue(KQ_TAny(std::uint16_t{9})), "9US");
  EXPECT_EQ(WrittenValue(KQ_TAny(std::int64_t{-9})), "-9X");
  EXPECT_EQ(WrittenValue(KQ_TAny(2.0f)), "2.000000S");
  EXPECT_EQ(WrittenValue(KQ_TAny('\'')), "'\\''");
  EXPECT_EQ(WrittenValue(KQ_TAny("abc")), "\"abc\"");
  EXPECT_EQ(WrittenValue(KQ_TAny(HrPoint(1, 2))), "HrPoint { 1 2 }");
  int target = 0;
  EXPECT_THROW(WrittenValue(KQ_TAny(static_cast<void*>(&target))), KQ_EAnyContainsUnpackableType);
  EXPECT_THROW(WrittenValue(KQ_TAny(static_cast<void const*>(&target))),
               KQ_EAnyContainsUnpackableType);

  KQ_TAny const values[] = {KQ_TAny(),
                            KQ_TAny(nullptr),
                            KQ_TAny(std::int8_t{-100}),
                            KQ_TAny(std::int16_t{-300}),
                            KQ_TAny(std::int32_t{123456}),
                            KQ_TAny(-(std::int64_t{1} << 40)),
                            KQ_TAny(std::uint8_t{255}),
                            KQ_TAny(std::uint16_t{65535}),
                            KQ_TAny(std::uint32_t{0xFFFFFFFFu}),
                            KQ_TAny(std::uint64_t{1} << 63),
                            KQ_TAny(true),
                            KQ_TAny('\0'),
                            KQ_TAny(-0.5f),
                            KQ_TAny(1e-3),
                            KQ_TAny("t\u00e4xt"),
                            KQ_TAny(HrPoint(-1, 0))};
  std::string const text = Written([&values](KQ_THumanReadableStream& s) {
    for (KQ_TAny const& value : values) s << value << cr;
  });
  Input input(text);
  for (KQ_TAny const& value : values) {
    KQ_TAny back(std::int32_t{99});
    input.stream >> back;
    EXPECT_EQ(back.Kind(), value.Kind());
    EXPECT_TRUE(back == value) << text;
  }
}

TEST_F(HrStreamTest, NestingIsBoundedAndCutInputRaisesEndReached) {
  auto nested = [](int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += "HrBox { ";
    text += "1 2";
    for (int i = 0; i < depth; ++i) text += " } 3";
    return text;
  };
  auto const shallow = Extracted(nested(100));
  ASSERT_NE(shallow->KQ_Cast("HrBox"), nullptr);
  EXPECT_THROW(Extracted(nested(5000)), KQ_EHRSyntaxError);

  // Every cut before the last brace leaves the box unfinished.
  HrBox box;
  std::string const whole = nested(3);
  for (std::size_t cut = 0; cut < whole.rfind('}'); ++cut) {
    Input input(whole.substr(0, cut));
    EXPECT_THROW(input.stream >> box, KQ_EException) << cut;
  }
}

// Nested text on a thread with a small stack: whatever the depth, a read
// gives the object or raises the reader's exception, and never overruns the
// stack. The same text within the depth limit reads on the main thread.
TEST_F(HrStreamTest, DeepNestingOnASmallStackRaisesInsteadOfOverrunningIt) {
  auto nested = [](char const* opening, char const* innermost, std::size_t depth) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) text += opening;
    text += innermost;
    for (std::size_t i = 0; i < depth; ++i) text += " }";
    return text;
  };
  // Each level of these containers opens two reads: the object and the Any
  // holding it.
  std::size_t const limit = KQ_THumanReadableStream::kMaxDepth / 2;
  for (char const* opening : {"KQ_TList { ", "KQ_TArray { [0] = ", "KQ_TDict { [ \"k\" ] = "}) {
    SCOPED_TRACE(opening);
    for (std::size_t depth : {std::size_t{20}, limit / 2, limit - 1, limit + 1, 4 * limit}) {
      SCOPED_TRACE(depth);
      std::string const text = nested(opening, "1", depth);
      bool raised = false;
      ASSERT_TRUE(kqtest::RunOnStack(kqtest::kSmallStack, [&] {
        try {
          Extracted(text);
        } catch (KQ_EHRSyntaxError const&) {
          raised = true;
        }
      }));
      if (depth == 20) {
        EXPECT_FALSE(raised);
      } else if (depth > limit) {
        EXPECT_TRUE(raised);
      } else {
        EXPECT_NE(Extracted(text), nullptr);
      }
    }
  }
}

// Text that describes far more memory than it holds raises once it passes
// the read's budget; text written by the stream stays within it, and a
// raised budget takes what the default refuses.
TEST_F(HrStreamTest, TextThatClaimsFarMoreMemoryThanItHoldsRaises) {
  std::string const sparse = "KQ_TArray { [0] = 1 [1048575] = 2 }";
  ASSERT_EQ(sparse.size(), 35u);
  std::string hundredArrays = "KQ_TList {";
  for (int i = 0; i < 100; ++i) hundredArrays += " " + sparse;
  hundredArrays += " }";
  std::string const hundred = hundredArrays;
  std::string const lower = "KQ_TArray { [1048575] = 1 [0] = 2 }";
  for (std::string const* text : {&sparse, &hundred, &lower}) {
    EXPECT_THROW(Extracted(*text), KQ_EHRSyntaxError) << text->substr(0, 40);
    KQ_TArray array;
    Input input(*text);
    EXPECT_THROW(input.stream >> static_cast<KQ_IHumanReadable&>(array), KQ_EHRSyntaxError);
  }

  KQ_TArray large;
  for (std::int32_t i = 0; i < 100000; ++i) large[i] = KQ_TAny(i * 3);
  std::string const written = Written([&](KQ_THumanReadableStream& stream) {
    stream << static_cast<KQ_IHumanReadable const&>(large);
  });
  auto const read = Extracted(written);
  auto const* array = static_cast<KQ_TArray const*>(read->KQ_Cast("KQ_TArray"));
  ASSERT_NE(array, nullptr);
  EXPECT_TRUE(*array == large);

  kqtest::ReadBudgetChange<KQ_THumanReadableStream> const raised(64, std::uint64_t{1} << 30);
  auto const wide = Extracted(sparse);
  auto const* opened = static_cast<KQ_TArray const*>(wide->KQ_Cast("KQ_TArray"));
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(opened->Size(), 1048576u);
  EXPECT_EQ(static_cast<std::int32_t>((*opened)[1048575]), 2);
}

TEST_F(HrStreamTest, RandomInputRaisesLibraryExceptionsOnly) {
  std::string const seeds[] = {
      "HrBox { HrPoint { 1 2 } \"a\\303\\244\\u20ac\" }",
      "KQ_IPackable {\n  4107000000054f\n}",
      "'\\310' 1.5S -5B 7UX tRuE null ILLEGAL 0x1b",
  };
  std::mt19937 random(12345);
  char const alphabet[] = "{}'\"\\ \n0123456789.eEsSuUxXbBlL+-HrBoxPintKQ_\xc3\xa4\xff";
  for (int round = 0; round < 3000; ++round) {
    std::string text = seeds[round % 3];
    int const edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
      std::size_t const at = random() % text.size();
      char const c = alphabet[random() % (sizeof alphabet - 1)];
      switch (random() % 3) {
        case 0:
          text[at] = c;
          break;
        case 1:
          text.insert(at, 1, c);
          break;
        default:
          text.erase(at, 1);
          break;
      }
      if (text.empty()) text = "x";
    }
    Input input(text);
    try {
      for (int i = 0; i < 8; ++i) std::unique_ptr<KQ_IHumanReadable>(input.stream.Extract());
    } catch (KQ_EException const&) {
    }
  }
}

TEST_F(HrStreamTest, WhiteSpaceAndZeroCharactersFollowTheSpanRules) {
  // A character 0 is dropped and ends a token that has begun.
  Input zero(
      std::string("1\0"
                  "2 ",
                  4));
  std::int32_t a = 0;
  std::int32_t b = 0;
  zero.stream >> a >> b;
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 2);
  // Other white space (here a no-break space and a form feed) is skipped
  // before a token.
  EXPECT_EQ(ReadValue<std::int32_t>("\xc2\xa0\f 42"), 42);
  Input peek(" \n x");
  EXPECT_EQ(peek.stream.PeekNonWhite(), 'x');
  EXPECT_EQ(peek.stream.LineNr(), 1u);
  EXPECT_EQ(peek.Rest(), "x");
  Input expect("\t{ }");
  expect.stream.Expect('{').Expect('}');
  EXPECT_THROW(expect.stream.Expect('}'), KQ_EStreamEndReached);
}

TEST_F(HrStreamTest, NumbersIgnoreTheProcessLocale) {
  std::locale const previousGlobal =
      std::locale::global(std::locale(std::locale::classic(), new CommaDecimal));
  EXPECT_EQ(WrittenValue(1234.5), "1234.500000");
  EXPECT_EQ(ReadValue<double>("2.25"), 2.25);
  std::locale::global(previousGlobal);

  std::string const previous = std::setlocale(LC_ALL, nullptr);
  char const* found = nullptr;
  for (char const* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "ru_RU.UTF-8"}) {
    if (std::setlocale(LC_ALL, name) != nullptr) {
      found = name;
      break;
    }
  }
  if (found == nullptr) {
    GTEST_SKIP() << "no comma-decimal C locale is installed";
  }
  EXPECT_STREQ(std::localeconv()->decimal_point, ",");
  EXPECT_EQ(WrittenValue(1234.5), "1234.500000");
  EXPECT_EQ(WrittenValue(0.5f), "0.500000S");
  EXPECT_EQ(ReadValue<double>("2.25"), 2.25);
  EXPECT_EQ(static_cast<float>(AsAny(Extracted("-1.75S"))), -1.75f);
  std::setlocale(LC_ALL, previous.c_str());
}
