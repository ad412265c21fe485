// The human-readable stream and the text format: the forms of values both
// ways, escapes, framing, the layout of containers, packed blocks, syntax
// errors, strict reading, and input that is damaged, too deep or too large.
#include <gtest/gtest.h>

#include <cctype>
#include <clocale>
#include <limits>
#include <map>
#include <random>
#include <utility>

#include "kq_tany.h"
#include "kq_tarray.h"
#include "kq_tdatablock.h"
#include "kq_tdict.h"
#include "kq_tlist.h"
#include "kq_tpackage.h"
#include "kq_tqueue.h"
#include "kq_tstring.h"
#include "kq_tunknown.h"
#include "test_support.h"

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

// A box of two values over several lines that reads its own closing brace.
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

namespace {

using kqtest::Raised;

class HrStreamTest : public kqtest::InitializedTest {};

// The text that write produces on a fresh stream.
std::string WrittenBy(std::function<void(KQ_THumanReadableStream&)> const& write) {
  KQ_TMemoryStream memory;
  KQ_THumanReadableStream stream(memory);
  write(stream);
  return kqtest::Chars(memory);
}

// A value written at an indentation (which the writer must leave as it
// found it), with exact floats when asked.
template <class T>
std::string Written(T const& value, bool exact = false, std::uint32_t indentation = 0) {
  return WrittenBy([&](KQ_THumanReadableStream& stream) {
    for (std::uint32_t i = 0; i < indentation; i += 2) stream.Indent();
    stream.SetExactFloats(exact) << value;
    EXPECT_EQ(stream.Indentation(), indentation) << "the writer left the indentation unbalanced";
  });
}

// A stream reading a private copy of text.
struct Input {
  explicit Input(std::string const& text) : stream(memory) {
    kqtest::WriteText(memory, text);
    memory.Seek(0);
  }
  // What is left to read.
  std::string Rest() {
    std::string rest;
    while (stream.Available() > 0) rest += static_cast<char>(stream.Read());
    return rest;
  }
  std::unique_ptr<KQ_IHumanReadable> Extract() {
    return std::unique_ptr<KQ_IHumanReadable>(stream.Extract());
  }
  KQ_TMemoryStream memory;
  KQ_THumanReadableStream stream;
};

// Readers of numbers and words read past the token: the text ends in a blank.
std::unique_ptr<KQ_IHumanReadable> Extracted(std::string const& text) {
  return Input(text + " ").Extract();
}

template <class T = KQ_TAny>
T const& As(std::unique_ptr<KQ_IHumanReadable> const& object) {
  auto const* cast = static_cast<T const*>(object->KQ_Cast(T::KQ_ClassName()));
  if (cast == nullptr) throw std::runtime_error(std::string("not a ") + T::KQ_ClassName());
  return *cast;
}

// Reads text into object; gives what is left unread.
std::string ReadInto(KQ_IHumanReadable& object, std::string const& text) {
  Input input(text);
  input.stream >> object;
  return input.Rest();
}

template <class T>
T ReadValue(std::string const& text) {
  T value{};
  Input(text + " ").stream >> value;
  return value;
}

template <class T>
KQ_TAny Typed(KQ_THumanReadableStream& stream) {
  T value{};
  stream >> value;
  return KQ_TAny(value);
}

// What the reader of a basic type ("i8" ... "u64", "bool", "char", "f32",
// "f64"), Extract ("") or a new object of the named class makes of text: the
// value written back with exact floats, or the exception's class, or for a
// syntax error its message and what was expected and found.
std::string ReadBack(std::string const& reader, std::string const& text, bool strict = false) {
  static std::map<std::string, KQ_TAny (*)(KQ_THumanReadableStream&)> const typed = {
      {"i8", Typed<std::int8_t>},    {"i16", Typed<std::int16_t>},  {"i32", Typed<std::int32_t>},
      {"i64", Typed<std::int64_t>},  {"u8", Typed<std::uint8_t>},   {"u16", Typed<std::uint16_t>},
      {"u32", Typed<std::uint32_t>}, {"u64", Typed<std::uint64_t>}, {"bool", Typed<bool>},
      {"char", Typed<char>},         {"f32", Typed<float>},         {"f64", Typed<double>}};
  Input input(text + " ");
  input.stream.SetStrict(strict);
  try {
    std::unique_ptr<KQ_IHumanReadable> object;
    if (auto const found = typed.find(reader); found != typed.end()) {
      object = std::make_unique<KQ_TAny>(found->second(input.stream));
    } else if (reader.empty()) {
      object = input.Extract();
    } else {
      KQ_TObject* const made = KQ_TClass::FindClass(reader.c_str())->CreateInstance();
      object.reset(static_cast<KQ_IHumanReadable*>(made->KQ_Cast("KQ_IHumanReadable")));
      input.stream >> *object;
    }
    return Written(*object, true);
  } catch (KQ_EHRSyntaxError const& e) {
    std::string raised = KQ_TString(e.KQ_Message()).UTF8();
    if (e.KQ_Data().Kind() == KQ_TAny::kObject) {
      raised +=
          ": " +
          std::string(static_cast<KQ_TString const*>(e.KQ_Data()->KQ_Cast("KQ_TString"))->UTF8());
    }
    return raised.substr(4);
  } catch (KQ_EException const& e) {
    return e.ClassName();
  }
}

KQ_TString FromUtf16(std::u16string const& units) {
  return KQ_TString(reinterpret_cast<std::uint16_t const*>(units.c_str()));
}

// The bytes as the writer of packed blocks gives them: lower-case hex pairs.
std::string HexPairs(kqtest::Bytes const& bytes) {
  std::string hex;
  for (unsigned char b : bytes) hex += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
  return hex;
}

TEST_F(HrStreamTest, ValuesAreWrittenInTheirFormAndReadBackEqual) {
  struct Case {
    KQ_TAny value;
    char const* text;
  };
  Case const narrow[] = {{true, "TRUE"},       {nullptr, "NULL"}, {1.5f, "1.500000S"},
                         {2.5e-6, "0.000003"}, {'a', "'a'"},      {'\n', "'\\n'"},
                         {'\\', "'\\\\'"},     {'\'', "'\\''"},   {'\0', "'\\000'"},
                         {'\x7f', "'\\177'"},  {'"', "'\"'"},     {'\r', "'\\r'"}};
  Case const medium[] = {{std::int8_t(-5), "-5B"},  {std::int32_t(7), "7"},
                         {std::int64_t(5), "5X"},   {std::uint8_t(200), "200UB"},
                         {std::uint64_t(7), "7UX"}, {KQ_TAny(), "ILLEGAL"},
                         {-0.0000004, "-0.000000"}, {-0.000001, "-0.000001"},
                         {KQ_TString(), "\"\""},    {HrPoint(1, 2), "HrPoint { 1 2 }"}};
  Case const wide[] = {{std::numeric_limits<std::int64_t>::min(), "-9223372036854775808X"},
                       {std::numeric_limits<std::uint64_t>::max(), "18446744073709551615UX"},
                       {1e15 + 0.5, "1000000000000000.500000"},
                       {static_cast<char>(200), "'\\310'"},
                       {FromUtf16(u"\u00e4"), "\"\\303\\244\""},
                       {KQ_TString("a\"b\\c\r\n\b\x01~"), "\"a\\\"b\\\\c\\r\\n\\b\\001~\""}};
  for (auto const& [table, size] : {std::pair<Case const*, std::size_t>{narrow, std::size(narrow)},
                                    {medium, std::size(medium)},
                                    {wide, std::size(wide)}}) {
    for (Case const& c : std::vector<Case>(table, table + size)) {
      SCOPED_TRACE(c.text);
      EXPECT_EQ(Written(c.value), c.text);
      Input input(std::string(c.text) + " ");
      KQ_TAny back(std::int32_t{99});
      input.stream >> back;
      EXPECT_EQ(back.Kind(), c.value.Kind());
      EXPECT_EQ(Written(back), c.text);
    }
  }
  std::string const huge = Written(std::numeric_limits<double>::max());
  EXPECT_EQ(huge.size(), 309u + 7u);
  // C texts are written as strings; a string stops at its first zero unit.
  EXPECT_EQ(Written("x\ty"), "\"x\\ty\"");
  KQ_TString withZero("ab");
  withZero[1] = std::uint16_t{0};
  EXPECT_EQ(Written(withZero), "\"a\"");
  // Pointers have no text form.
  int target = 0;
  EXPECT_THROW(Written(KQ_TAny(static_cast<void*>(&target))), KQ_EAnyContainsUnpackableType);
  // A long string crosses the writer's buffer; units of the basic plane.
  std::u16string longText = u"\t\u00e9\"\\\u07ff\u0800\uffff";
  for (int i = 0; i < 3000; ++i) longText += static_cast<char16_t>(i % 3 ? 'a' + i % 26 : 0x20ac);
  EXPECT_EQ(ReadValue<KQ_TString>(Written(FromUtf16(longText))), FromUtf16(longText));
}

// Every reader, lenient and strict (which refuses what lenient changes):
// integers up to 32 bits are C literals, narrowed unchecked, saturating at
// 32 bits; 64-bit ones decimal with a suffix; floating point as strtod; \u,
// octal and plain escapes in strings; Extract takes the kind the suffix
// names and known packable human-readable classes; errors give their line.
TEST_F(HrStreamTest, ReadersTakeTheirFormsAndReportWhatTheyExpected) {
  struct Case {
    char const* reader;
    std::string text;
    char const* read;              // written back, or the exception
    char const* strict = nullptr;  // when strict reading differs
  };
  char const* const kSyntax = "line 0";
  char const* const kEnd = "KQ_EStreamEndReached";
  Case const narrow[] = {
      {"i32", "010", "8"},     {"i32", "0x1b", "27"},    {"i32", "-0X1BL", "-27"},
      {"i32", "7UB", "7"},     {"i32", "0x", "0"},       {"i8", "-128", "-128B"},
      {"i32", "08", kSyntax},  {"i32", "5bs", kSyntax},  {"i32", "}", kSyntax},
      {"u32", "-1", kSyntax},  {"i64", "5x", "5X"},      {"i64", "010X", "10X"},
      {"u64", "7U", "7UX"},    {"i64", "5UXL", kSyntax}, {"f64", "2e3", "2000.0"},
      {"f64", "-.5l", "-0.5"}, {"f64", "+7.", "7.0"},    {"f64", "1e-999", "0.0"},
      {"f32", "0.1", "0.1S"},  {"f64", "+-1", kSyntax},  {"f64", ".", kSyntax},
      {"f64", "5e", kSyntax},  {"f64", "inf", kSyntax},  {"bool", "tRuE", "TRUE"},
      {"bool", "1", kSyntax},  {"", "300S", "300S"},     {"", "7l", "7"},
      {"", "-5B", "-5B"},      {"", "7UL", "7U"},        {"", "200ub", "200UB"},
      {"", "010", "10"},       {"", ".5", "0.5"},        {"", "false", "FALSE"},
      {"", "'\\n'", "'\\n'"},  {"", "null", "NULL"},     {"", "5bs", kSyntax},
      {"", "1.5x", kSyntax},   {"", "1.5UB", kSyntax},   {"", "-", kSyntax},
      {"", "7UU", kSyntax},    {"", "{ }", kSyntax},     {"", " \n\t ", kEnd}};
  Case const medium[] = {{"i32", "\xc2\xa0\f 42", "42"},    {"i8", "300", "44B", kSyntax},
                         {"u8", "0x1bb", "187UB", kSyntax}, {"i64", "0x10X", kSyntax},
                         {"f64", "2E+3L", "2000.0"},        {"f64", "1e999", "1e999"},
                         {"f32", "1e999S", "1e999S"},       {"f64", "1.5ls", kSyntax},
                         {"char", " \n 'x'", "'x'"},        {"char", "'\\q'", kSyntax},
                         {"char", "'\\18'", kSyntax},       {"KQ_TString", "  abc\"", kSyntax},
                         {"KQ_TString", "\"abc", kEnd},     {"", "ILLEGAL", "ILLEGAL"},
                         {"", "  \"text\"", "\"text\""},    {"", "1e39S", "1e999S", kSyntax},
                         {"", "-129B", "127B", kSyntax},    {"", "hrpoint { 5 6 }", kSyntax},
                         {"", "HrPoint 5 6 }", kSyntax},    {"", "HrPoint { 5 6", kEnd},
                         {"", "KQ_IPackable 41 }", kSyntax}};
  Case const wide[] = {
      {"i32", "99999999999", "2147483647", kSyntax},
      {"i32", "-99999999999", "-2147483648", kSyntax},
      {"i32", "-2147483648", "-2147483648"},
      {"u32", "99999999999U", "4294967295U", kSyntax},
      {"u32", "4294967295", "4294967295U"},
      {"i64", "9223372036854775808X", "9223372036854775807X", kSyntax},
      {"i64", "-9223372036854775808X", "-9223372036854775808X"},
      {"u64", "99999999999999999999UX", "18446744073709551615UX", kSyntax},
      {"f32", "3.4028235e38", "340282346638528859811704183484516925440.0S"},
      {"f32", "-1e39", "-1e999S", "line 0: expected a number that fits a float, found -1e+39"},
      {"char", "'ab'", "line 0: expected a closing quote, found 'b'"},
      {"KQ_TString", "\"\\u00e4\\u20AC\"", "\"\\303\\244\\342\\202\\254\""},
      {"KQ_TString", "\"\\101\\0618\\7x\"", "\"A18\\007x\""},
      {"KQ_TString", "\"\\303\\244\"", "\"\\303\\244\""},
      {"KQ_TString", "\"\\q\\\"\\\\\"", "\"q\\\"\\\\\""},
      {"KQ_TString", "\"\\u4x\"", "\"x\""},
      {"KQ_TString", "\"\\377\"", "KQ_EIllegalUTF8Character"},
      {"", "3000000000", "2147483647", kSyntax},
      {"", "-3000000000x", "-3000000000X"},
      {"", "--5", "line 0: expected a number, found \"--5\""},
      {"", "4294967296U", "4294967295U", kSyntax},
      {"", "\"ab\\u0000cd\"", "\"ab\"", kSyntax},
      {"", "\"\\301\\201\"", "\"A\"", kSyntax},
      {"", "KQ_IPackable {\n 4005020107 4005020108 }", "7B",
       "line 1: expected one packed object, found 5 bytes after it"},
      {"", "KQ_TNoSuchClass { }", kSyntax},
      {"", "KQ_ECouldNotOpenFile { }", kSyntax},
      {"", "KQ_TList ( }", "line 0: expected '{', found '('"},
      {"", "KQ_IPackable { 0g }", "line 0: expected a second hexadecimal digit, found 'g'"},
      {"HrPoint", "HrPoint { 5 6 }", "HrPoint { 5 6 }"},
      {"HrPoint", "HrBox { 1 2 }", kSyntax},
      {"HrPoint", "HrPoint { 1 2 3 }", kSyntax},
      {"HrBox", "  HrBox\n{HrPoint{3 4}\t-7X }", "HrBox {\n  HrPoint { 3 4 }\n  -7X\n}"},
      {"", "KQ_TList {\n  1\n  @\n}", "line 2"},
      {"", "KQ_TList {\n  KQ_TList {\n    1\n  ]\n}", "line 3"},
      {"", "KQ_TDict {\n  [ \"a\" ] = 1\n  [ \"b\" ]  2\n}", "line 2"},
      {"", "KQ_TDataBlock {\n  0102 0g\n}", "line 1"},
      {"KQ_TList", "KQ_TDict {  }", kSyntax},
      {"KQ_TDataBlock", "\n\nKQ_TList { 1 }", "line 2"}};
  for (auto const& [table, size] : {std::pair<Case const*, std::size_t>{narrow, std::size(narrow)},
                                    {medium, std::size(medium)},
                                    {wide, std::size(wide)}}) {
    for (Case const& c : std::vector<Case>(table, table + size)) {
      SCOPED_TRACE(std::string(c.reader) + " reads " + c.text);
      std::string const read = ReadBack(c.reader, c.text);
      EXPECT_EQ(read.substr(0, std::strlen(c.read)), c.read);
      std::string const strict = ReadBack(c.reader, c.text, true);
      char const* const want = c.strict != nullptr ? c.strict : c.read;
      EXPECT_EQ(strict.substr(0, std::strlen(want)), want);
    }
  }
  // Cut texts; lines counted in a string; the byte after a token is left.
  EXPECT_EQ(ReadValue<double>("4e-320"), 4e-320);
  Input raw("\"a\nb\xc3\xa4\" 12,0x5");
  KQ_TString s;
  std::int32_t after = 0;
  raw.stream >> s >> after;
  EXPECT_EQ(s, FromUtf16(u"a\nb\u00e4"));
  EXPECT_EQ(after, 12);
  EXPECT_EQ(raw.stream.LineNr(), 1u);
  EXPECT_EQ(raw.Rest(), ",0x5");
}

template <class T>
bool SameBits(T a, T b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// The exact text of value reads back to its bits, by the typed reader and by
// Extract, which gives the kind the suffix names.
template <class T>
void ExpectExactTextReadsBack(T value, decltype(KQ_TAny().Kind()) kind) {
  std::string const text = Written(value, true);
  EXPECT_TRUE(SameBits(ReadValue<T>(text), value)) << text;
  std::unique_ptr<KQ_IHumanReadable> const extracted = Extracted(text);
  EXPECT_EQ(As(extracted).Kind(), kind) << text;
  EXPECT_TRUE(SameBits(static_cast<T>(As(extracted)), value)) << text;
}

// The default form is printf's "%f" in the C locale (ties round to even),
// also a few units in the last place from half-way between two six-decimal
// numbers, where a careless scaled-integer formatting rounds the wrong way;
// the readers agree with strtod to the bit. The exact form of doubles and
// floats of every exponent reads back to the same bits, by the typed readers
// and by Extract, which gives the kind the suffix names.
TEST_F(HrStreamTest, FloatingPointTextAgreesWithTheCLibraryAndTheExactFormReadsBack) {
  ASSERT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
  EXPECT_EQ(Written(0.1, true) + " " + Written(2.0, true) + " " + Written(-0.0, true) + " " +
                Written(1e-7, true) + " " + Written(1e22, true),
            "0.1 2.0 -0.0 0.0000001 10000000000000000000000.0");
  std::vector<double> values = {
      0.0078125, 0.0234375, -1e-9, 4294967295.9999995, std::nextafter(4294967296.0, 0.0),
      0.0000005, 0.0000015};
  // Random bits (every exponent), and numbers a few units from half-way
  // between two six-decimal ones.
  std::mt19937_64 random(7);
  for (int i = 0; i < 60000; ++i) {
    std::uint64_t const bits = random();
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    if (i % 2 == 1) {
      value = (static_cast<double>(bits % 4000000000000000ull) + 0.5) / 1e6;
      for (int step = static_cast<int>(random() % 5); step > 0; --step) {
        value = std::nextafter(value, i % 4 == 1 ? 0.0 : 1e300);
      }
    }
    values.push_back(i % 3 == 0 ? -value : value);
  }
  char expected[400];
  for (double const value : values) {
    if (HasFailure()) return;
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof value);
    auto const narrow = static_cast<std::uint32_t>(bits >> 32);
    float single = 0;
    std::memcpy(&single, &narrow, sizeof single);
    if (!std::isnan(single)) ExpectExactTextReadsBack(single, KQ_TAny::kFloat);
    if (std::isnan(value)) continue;
    ExpectExactTextReadsBack(value, KQ_TAny::kDouble);
    if (!std::isfinite(value)) continue;
    std::snprintf(expected, sizeof expected, "%f", value);
    EXPECT_EQ(Written(value), expected);
    std::snprintf(expected, sizeof expected, "%.17g", value);
    EXPECT_TRUE(SameBits(ReadValue<double>(expected), value)) << expected;
    if (std::fabs(value) < 1e38) {
      EXPECT_EQ(ReadValue<float>(expected), static_cast<float>(std::strtod(expected, nullptr)))
          << expected;
      std::snprintf(expected, sizeof expected, "%fS",
                    static_cast<double>(static_cast<float>(value)));
      EXPECT_EQ(Written(static_cast<float>(value)), expected);
    }
  }
}

TEST_F(HrStreamTest, IndentationManipulatorsAndLineCount) {
  KQ_TMemoryStream memory;
  KQ_THumanReadableStream stream(memory);
  stream.Indent().Indent();
  // Rebinding resets the indentation, which stops at 0.
  KQ_TMemoryStream second;
  stream = second;
  stream.ReverseIndent().Indent().Indent().Indent().ReverseIndent();
  EXPECT_EQ(stream.Indentation(), 4u);
  stream << 1 << cr << indent << 2 << cr << back << prefix << 3 << endl << flush;
  EXPECT_EQ(kqtest::Chars(second), "1\n    2\n" + std::string(10, ' ') + "3\n");

  // Readers report the line they stopped on; a character 0 ends a token.
  Input input(std::string("1\0002\n3\nxyz", 9));
  std::int32_t a = 0, b = 0, c = 0;
  EXPECT_EQ(kqtest::RaisedMessage([&] { input.stream >> a >> b >> c >> c; }),
            "KQ_EHRSyntaxError| at line 2");
  EXPECT_EQ(std::vector<std::int32_t>({a, b, c}), std::vector<std::int32_t>({1, 2, 3}));
  Input peek(" \n x");
  EXPECT_EQ(peek.stream.PeekNonWhite(), 'x');
  EXPECT_EQ(peek.Rest(), "x");
}

// An unpackable class named by the text is refused by its record, as an
// object or inside a packed block (as an unknown class): no instance is made.
TEST_F(HrStreamTest, ClassesThatAreNotPackableAreNeverInstantiated) {
  ReaderUnpackable::sMade = 0;
  for (std::string const name : {"ReaderUnpackable", "KQ_TThread"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ReadBack("", name + " { }"),
              "line 0: expected a class with a text form, found \"" + name + "\"");
    kqtest::Bytes const packed = kqtest::Join({kqtest::Header(0x0D, name), {0xFF}});
    KQ_TPackage package;
    package = As(Extracted("KQ_IPackable { " + kqtest::Hex(packed) + " }"));
    EXPECT_EQ(package.Size(), 3 + packed.size());
  }
  EXPECT_EQ(ReaderUnpackable::sMade, 0);
}

// An object without a text form is written as packed bytes in hex, 64 to a
// line, a level deeper than the braces; either case and spaces read back.
TEST_F(HrStreamTest, ObjectsWithoutATextFormAreWrittenAsPackedBytes) {
  KQ_ECouldNotOpenFile raised("no such file", KQ_TAny(42));
  raised.__PREPARE_FOR_THROW__(120, "opener.cpp");
  std::string const hex = HexPairs(kqtest::Packed(raised));
  ASSERT_GT(hex.size(), 256u);
  auto const lines = [&hex](std::size_t indentation) {
    std::string text;
    for (std::size_t at = 0; at < hex.size(); at += 128) {
      text += "\n" + std::string(indentation, ' ') + hex.substr(at, 128);
    }
    return text;
  };
  KQ_TList list;
  list.Add(raised);
  std::string const text = Written(list, false, 2);
  EXPECT_EQ(text, "KQ_TList {\n    KQ_IPackable {" + lines(6) + "\n    }\n  }");
  std::unique_ptr<KQ_IHumanReadable> const read = Extracted(text);
  ASSERT_TRUE(list.KQ_IsIdent(As<KQ_TList>(read)));
  EXPECT_STREQ(As<KQ_TList>(read).Head()->ClassName(), "KQ_ECouldNotOpenFile");
}

// On a small stack nested text reads or raises, never overruns the stack;
// within the limit it reads on the main thread.
TEST_F(HrStreamTest, DeepNestingOnASmallStackRaisesInsteadOfOverrunningIt) {
  // A container level opens two reads (object and Any), a box one.
  std::size_t const limit = KQ_THumanReadableStream::kMaxDepth / 2;
  for (char const* opening :
       {"KQ_TList { ", "KQ_TArray { [0] = ", "KQ_TDict { [ \"k\" ] = ", "HrBox { 1 "}) {
    SCOPED_TRACE(opening);
    for (std::size_t depth : {std::size_t{20}, limit / 2, limit - 1, limit + 1, 4 * limit}) {
      SCOPED_TRACE(depth);
      std::string text;
      for (std::size_t i = 0; i < depth; ++i) text += opening;
      text += "1";
      for (std::size_t i = 0; i < depth; ++i) text += " }";
      std::string raised;
      ASSERT_TRUE(kqtest::RunOnStack(kqtest::kSmallStack,
                                     [&] { raised = Raised([&] { Extracted(text); }); }));
      EXPECT_TRUE(raised.empty() ? depth <= limit : raised == "KQ_EHRSyntaxError" && depth != 20)
          << raised;
      EXPECT_EQ(Raised([&] { Extracted(text); }), depth <= limit ? "" : "KQ_EHRSyntaxError");
    }
  }
}

// Text claiming far more memory than it holds passes the read's budget;
// written text stays within it; a raised budget takes the refused text.
TEST_F(HrStreamTest, TextThatClaimsFarMoreMemoryThanItHoldsRaises) {
  std::string const sparse = "KQ_TArray { [0] = 1 [1048575] = 2 }";
  std::string hundred = "KQ_TList {";
  for (int i = 0; i < 100; ++i) hundred += " " + sparse;
  EXPECT_EQ(ReadBack("", sparse),
            "line 0: expected input that claims memory in proportion to its size, found more");
  for (std::string const& text :
       {hundred + " }", std::string("KQ_TArray { [1048575] = 1 [0] = 2 }")}) {
    EXPECT_EQ(ReadBack("KQ_TArray", text).substr(0, 7), "line 0:");
  }
  KQ_TArray large;
  for (std::int32_t i = 0; i < 100000; ++i) large[i] = KQ_TAny(i * 3);
  EXPECT_TRUE(large.KQ_IsIdent(As<KQ_TArray>(Extracted(Written(large)))));
  kqtest::ReadBudgetChange<KQ_THumanReadableStream> const raised(64, std::uint64_t{1} << 30);
  EXPECT_EQ(As<KQ_TArray>(Extracted(sparse)).Size(), 1048576u);
}

// An object of a class no process knows, as a data stream reads it.
std::unique_ptr<KQ_IPackable> UnknownObject() {
  kqtest::Input in(kqtest::Join(
      {kqtest::Header(0x0D, "KQ_TNoSuchTextClass"), kqtest::AnyInt(-3), {0x09, 0x01, 0xFF}}));
  return std::unique_ptr<KQ_IPackable>(in.data.Extract(true));
}

TEST_F(HrStreamTest, ContainersAreLaidOutLineByLine) {
  KQ_TList inner, list;
  inner.Add(2);
  inner.Add("two");
  for (KQ_TAny const& value : {KQ_TAny(1), KQ_TAny(inner), KQ_TAny(KQ_TList()), KQ_TAny(1.5),
                               KQ_TAny(), KQ_TAny(nullptr)}) {
    list.Add(value);
  }
  EXPECT_EQ(Written(list),
            "KQ_TList {\n  1\n  KQ_TList {\n    2\n    \"two\"\n  }\n  KQ_TList {  }\n  1.500000\n"
            "  ILLEGAL\n  NULL\n}");
  // Reading is free in its white space, and replaces what the list held.
  KQ_TList read;
  read.Add("old");
  EXPECT_EQ(ReadInto(read, "KQ_TList{1 KQ_TList\t{2\r\n\"two\"}KQ_TList{}1.5 illegal Null}"), "");
  EXPECT_TRUE(read == list);

  KQ_TDict single, nested;
  single.Add("a", 1);
  nested.Add("k", inner);
  EXPECT_EQ(Written(single), "KQ_TDict {\n  [ \"a\" ] = 1\n}");
  // Items spanning lines sit a level deeper than the line they start on.
  EXPECT_EQ(Written(nested),
            "KQ_TDict {\n  [ \"k\" ] = KQ_TList {\n        2\n        \"two\"\n      }\n}");
  // Reading replaces the entries; a repeated key keeps the later value.
  KQ_TDict readDict;
  readDict.Add("old", 0);
  EXPECT_EQ(ReadInto(readDict, "KQ_TDict{[\"a\"]=0[ \"a\" ]\n=\n1}"), "");
  EXPECT_TRUE(readDict == single);

  // Data blocks: pairs of bytes, sixteen bytes to a line.
  unsigned char bytes[18];
  for (unsigned char b = 0; b < 18; ++b) bytes[b] = b;
  EXPECT_EQ(Written(KQ_TDataBlock(bytes, 18)),
            "KQ_TDataBlock {\n  0001 0203 0405 0607 0809 0a0b 0c0d 0e0f \n  1011 \n}");
  // Either case and any white space between bytes; the old bytes go.
  KQ_TDataBlock block("old", 3);
  EXPECT_EQ(ReadInto(block, "KQ_TDataBlock {AB cD\n\t0F}"), "");
  EXPECT_TRUE(block == KQ_TDataBlock("\xAB\xCD\x0F", 3));
}

// A list nesting every kind (the tree has tests of its own; a queue inside a
// list is seen to read its own closing brace) reads back identical and writes the same text. Every
// proper prefix ends too early, and any byte replaced still reads or fails cleanly (syntax error,
// end of input, or inside a string or packed block their own error).
TEST_F(HrStreamTest, ATextOfEveryKindReadsBackAndItsDamagedFormsFailCleanly) {
  KQ_TDict dict;
  dict.Add("block", KQ_TDataBlock("\x01\x02\x03\x04\x05", 5));
  dict.Add(KQ_TAny(5), 'c');
  dict.Add(KQ_TAny(-0.5), KQ_TAny(nullptr));
  KQ_TArray array(-2, 1);
  array[-2] = KQ_TAny(std::int16_t{-7});
  array[1] = KQ_TAny(KQ_TList());
  KQ_TQueue queue;
  queue.Add(KQ_TAny(1), 2);
  queue.Add(KQ_TAny("q"), 2);
  queue.Add(KQ_TAny(3), -1);
  KQ_EOutOfBoundsOfList raised;
  raised.KQ_Message() = FromUtf16(u"m\u00e4");
  raised.KQ_Data() = KQ_TAny(std::uint8_t{4});
  raised.__PREPARE_FOR_THROW__(1, "f");
  KQ_TList list;
  for (KQ_TAny const& value :
       {KQ_TAny(dict), KQ_TAny(KQ_TList()), KQ_TAny("s\\\"t\xC3\xA4"),
        KQ_TAny(FromUtf16(u"\U0001F600 {}[]=\uFFFF\x01\u4E2D")), KQ_TAny(std::uint64_t{7}),
        KQ_TAny(std::numeric_limits<std::int64_t>::min()), KQ_TAny(std::int8_t{-128}),
        KQ_TAny(std::uint16_t{65535}), KQ_TAny(-1.25f), KQ_TAny(0.001), KQ_TAny('\xC8'),
        KQ_TAny(true), KQ_TAny(), KQ_TAny(raised), KQ_TAny(*UnknownObject()), KQ_TAny(array),
        KQ_TAny(queue)}) {
    list.Add(value);
  }
  std::string const text = Written(list);
  std::unique_ptr<KQ_IHumanReadable> const read = Extracted(text);
  EXPECT_TRUE(list.KQ_IsIdent(As<KQ_TList>(read)) && As<KQ_TList>(read).KQ_IsIdent(list));
  EXPECT_EQ(Written(*read), text);
  auto const failure = [](std::string const& damaged) -> std::string {
    try {
      Input(damaged).Extract();
      return "read";
    } catch (KQ_EHRSyntaxError const&) {
    } catch (KQ_EStreamEndReached const&) {
    } catch (KQ_EStringException const&) {
      return "inside";
    } catch (KQ_EPackingException const&) {
      return "inside";
    } catch (KQ_EException const& e) {
      return e.ClassName();
    }
    return "clean";
  };
  for (std::size_t length = 0; length < text.size(); ++length) {
    EXPECT_EQ(failure(text.substr(0, length)), "clean") << "prefix of " << length << " bytes";
  }
  for (std::size_t at = 0; at < text.size(); ++at) {
    for (char const replacement :
         {'}', '{', '[', ']', '=', '"', '\'', '\\', ' ', '\n', 'x', '0', '.', '-', '\0', '\xFF'}) {
      std::string damaged = text;
      damaged[at] = replacement;
      std::string const result = failure(damaged);
      EXPECT_TRUE(result == "read" || result == "clean" || result == "inside")
          << result << ": byte " << at << " replaced by " << int{replacement};
    }
  }
}

}  // namespace
