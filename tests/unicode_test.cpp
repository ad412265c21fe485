// Unicode character classes, case mapping and KQ_TUniChar. The class and
// case tables are checked unit by unit, over all 65536 units, against a
// second transcription of their range lists kept here in text form.
#include <clocale>

#include "kq_tunichar.h"
#include "test_support.h"

namespace {

using kqtest::ExpectOrder;

// The tables in text form: "@-32 0061-007A 00E0-00F6/2" gives the value -32
// to the units 0061 to 007A and to every second unit from 00E0 to 00F6.
// Classes are flags (1 upper, 2 lower, 4 punctuation, 8 space, 64 digit),
// the case mappings deltas; units not listed have no class and keep their
// value.
char const kClasses[] =
    "@1 0041-005A 00C0-00D6 00D8-00DE @2 0061-007A 00DF-00F6 00F8-00FF @4 0021-002F "
    "003A-0040 005B-0060 007B-007E 00A1 00A7 00AB 00AD @8 0000-0020 00A0 @64 0030-0039 @1 "
    "0100-0136/2 0139-0147/2 014A-0178/2 0179-017D/2 0181-0182 0184 0186-0187 0189-018B "
    "018E-0191 0193-0194 0196-0198 019C-019D 019F-01A0 01A2-01A6/2 01A7 01A9 01AC 01AE-01AF "
    "01B1-01B3 01B5 01B7-01B8 01BC 01C4-01C5 01C7-01C8 01CA-01CB 01CD-01DB/2 01DE-01EE/2 @2 "
    "0101-0137/2 0138-0148/2 0149-0177/2 017A-0180/2 0183 0185 0188 018C-018D 0192 0195 "
    "0199-019B 019E 01A1-01A5/2 01A8 01AB 01AD 01B0 01B4 01B6 01B9-01BA 01BD 01C6 01C9 "
    "01CC-01DC/2 01DD-01EF/2 01F0 @1 0386 0388-038A 038C 038E-038F 0391-03A1 03A3-03AB "
    "03D2-03D4 03DA-03EE/2 @2 0390 03AC-03D1 03D5-03D6 03DB-03EF/2 03F0-03F2 @4 03D7 @1 "
    "0401-040C 040E-042F 0460-0480/2 0490-04C0/2 04C1-04CB/2 @2 0430-044F 0451-045C "
    "045E-045F 0461-0481/2 0491-04BF/2 04C2-04CC/2 @1 24B6-24CF @2 249C-24B5 24D0-24E9";
char const kToUpper[] =
    "@-32 0061-007A 00E0-00F6 00F8-00FE @121 00FF @-1 0101-0137/2 013A-0148/2 014B-0177/2 "
    "017A-017E/2 0183 0185 0188 018C 0192 0199 01A1-01A5/2 01A8 01AD 01B0 01B4 01B6 01B9 "
    "01BD 01CE-01DC/2 01DF-01EF/2 @-2 01C6 01C9 01CC @-79 01DD @-1 03DB-03EF/2 @-31 03C2 "
    "@-32 03B1-03C1 03C3-03CB @-37 03AD-03AF @-38 03AC @-47 03D5 @-54 03D6 @-57 03D1 @-62 "
    "03D0 @-63 03CD-03CE @-64 03CC @-1 0461-0481/2 0491-04BF/2 04C2-04CC/2 @-32 0430-044F "
    "@-80 0451-045C 045E-045F @-26 24D0-24E9";
char const kToLower[] =
    "@32 0041-005A 00C0-00D6 00D8-00DE @1 0100-0136/2 0139-0147/2 014A-0176/2 0179-017D/2 "
    "0182 0184 0187 018B 0191 0198 01A0-01A4/2 01A7 01AC 01AF 01B3 01B5 01B8 01BC 01C5 01C8 "
    "01CB-01DB/2 01DE-01EE/2 @2 01C4 01C7 01CA @-121 0178 @79 018E @202 018F @203 0190 @205 "
    "0189-018A 0193 @206 0186 @207 0194 @209 0197 @210 0181 @211 0196 019C @213 019D @214 "
    "019F @217 01B1-01B2 @218 01A9 01AE @219 01B7 @1 03DA-03EE/2 @32 0391-03A1 03A3-03AB "
    "@37 0388-038A @38 0386 @63 038E-038F @64 038C @-13 03D2 @-6 03D3 @-9 03D4 @1 "
    "0460-0480/2 0490-04BE/2 04C1-04CB/2 @32 0410-042F @80 0401-040C 040E-040F @26 "
    "24B6-24CF";

// Calls add(value, unit) for every unit of the text form.
template <class Add>
void Expand(char const* text, Add add) {
  std::istringstream in(text);
  std::string item;
  int value = 0;
  while (in >> item) {
    if (item[0] == '@') {
      value = std::stoi(item.substr(1));
      continue;
    }
    std::size_t const dash = item.find('-');
    std::size_t const slash = item.find('/');
    unsigned const first = std::stoul(item.substr(0, dash), nullptr, 16);
    unsigned const last =
        dash == std::string::npos ? first : std::stoul(item.substr(dash + 1), nullptr, 16);
    unsigned const step = slash == std::string::npos ? 1 : std::stoul(item.substr(slash + 1));
    for (unsigned u = first; u <= last; u += step) add(value, u);
  }
}

std::vector<std::uint16_t> ExpectedMapping(char const* text) {
  std::vector<std::uint16_t> map(0x10000);
  for (unsigned u = 0; u < 0x10000; ++u) map[u] = static_cast<std::uint16_t>(u);
  Expand(text, [&](int delta, unsigned u) { map[u] = static_cast<std::uint16_t>(u + delta); });
  return map;
}

TEST(UnicodeTables, ClassesOfEveryUnitFollowTheRangeLists) {
  std::vector<int> expected(0x10000, 0);
  Expand(kClasses, [&](int flag, unsigned u) { expected[u] |= flag; });
  for (unsigned u = 0; u < 0x10000; ++u) {
    KQ_TUniChar const c(static_cast<std::uint16_t>(u));
    int const flags = (c.IsUpper() ? 1 : 0) | (c.IsLower() ? 2 : 0) | (c.IsPunct() ? 4 : 0) |
                      (c.IsSpace() ? 8 : 0) | (c.IsDigit() ? 64 : 0);
    ASSERT_EQ(flags, expected[u]) << std::hex << "U+" << u;
  }
}

TEST(UnicodeTables, CaseMappingOfEveryUnitFollowsTheDeltaLists) {
  std::vector<std::uint16_t> const upper = ExpectedMapping(kToUpper);
  std::vector<std::uint16_t> const lower = ExpectedMapping(kToLower);
  for (unsigned u = 0; u < 0x10000; ++u) {
    KQ_TUniChar const c(static_cast<std::uint16_t>(u));
    ASSERT_EQ(std::uint16_t(c.ToUpper()), upper[u]) << std::hex << "ToUpper U+" << u;
    ASSERT_EQ(std::uint16_t(c.ToLower()), lower[u]) << std::hex << "ToLower U+" << u;
  }
}

// A character made from each argument, and one assigned it, hold the unit.
template <class... A>
void ExpectUnit(std::uint16_t unit, A... args) {
  auto const check = [unit](auto arg) {
    EXPECT_EQ(std::uint16_t(KQ_TUniChar(arg)), unit) << std::hex << unit;
    KQ_TUniChar assigned(std::uint16_t{0x1234});
    assigned = arg;
    EXPECT_EQ(std::uint16_t(assigned), unit) << std::hex << unit;
  };
  (check(args), ...);
}

TEST(UniChar, ConstructionFromUnitsAndCharacters) {
  ExpectUnit(0xFFFF, std::uint16_t{0xFFFF});
  ExpectUnit(0x20AC, u'\u20AC', L'\u20AC');
  // A wide character or an integer beyond U+FFFF, or a negative one, is no
  // unit; a char is a signed byte.
  ExpectUnit(0xFFFD, L'\U0001F600', static_cast<wchar_t>(-1), 0x10000);
  ExpectUnit(0xFFE9, static_cast<char>(0xE9));
  // The char conversion keeps units below 256 and gives 0 for the rest.
  EXPECT_EQ(char(KQ_TUniChar(std::uint16_t{0xE9})), static_cast<char>(0xE9));
  EXPECT_EQ(char(KQ_TUniChar(std::uint16_t{0x100})), '\0');
  EXPECT_TRUE(!KQ_TUniChar() && !!KQ_TUniChar('x'));
}

TEST(UniChar, ComparisonsOrderUnsignedUnitsAndSignExtendChars) {
  KQ_TUniChar const c('a');
  KQ_TUniChar const top(std::uint16_t{0xFFFF});  // units are unsigned: the greatest
  char const e9 = static_cast<char>(0xE9);       // U+FFE9, not U+00E9
  ExpectOrder(c, 'a', 0);
  ExpectOrder(top, c, 1);
  ExpectOrder(KQ_TUniChar(std::uint16_t{0xFFE9}), e9, 0);
  ExpectOrder(KQ_TUniChar(std::uint16_t{0xE9}), e9, -1);
  // Other integers compare by value.
  ExpectOrder(top, 0x10000, -1);
  EXPECT_TRUE('a' == c && e9 > c);
}

TEST(UniChar, ConvertsToUtf8) {
  std::pair<std::uint16_t, char const*> const cases[] = {
      {0x7F, "\x7F"},          {0x80, "\xC2\x80"},       {0x7FF, "\xDF\xBF"},
      {0x800, "\xE0\xA0\x80"}, {0xFFFF, "\xEF\xBF\xBF"}, {0, ""}};
  for (auto const& [unit, bytes] : cases) {
    EXPECT_STREQ(static_cast<char const*>(KQ_TUniChar(unit)), bytes) << unit;
  }
  // Each conversion hands out its own temporary.
  char const* first = KQ_TUniChar('x');
  char const* second = KQ_TUniChar('y');
  EXPECT_NE(first, second);
  EXPECT_STREQ(first, "x");
}

KQ_TUniChar FromUtf8(char const* text) {
  return KQ_TUniChar(reinterpret_cast<kq::ConstUtf8Text>(text));
}

TEST(UniChar, DecodesTheFirstUtf8Character) {
  // Overlong forms decode as they are.
  std::pair<char const*, std::uint16_t> const cases[] = {
      {"\xC3\xA9xyz", 0xE9}, {"\xEF\xBF\xBF", 0xFFFF}, {"", 0}, {"\xE0\x81\x81", 0x41}};
  for (auto const& [bytes, unit] : cases) EXPECT_EQ(std::uint16_t(FromUtf8(bytes)), unit) << bytes;
  EXPECT_EQ(std::uint16_t(KQ_TUniChar(kq::ConstUtf8Text{})), 0);
  // Four-byte characters, continuation bytes and cut sequences are illegal.
  for (char const* bad :
       {"\xF0\x9F\x98\x80", "\x80", "\xC3", "\xC3x", "\xE2\x82", "\xE2x\xAC", "\xFF"}) {
    EXPECT_THROW(FromUtf8(bad), KQ_EIllegalUTF8Character) << bad;
  }
}

TEST(UniChar, ConvertsLocaleTextWithTheMultibyteConversion) {
  EXPECT_EQ(std::uint16_t(KQ_TUniChar(static_cast<char const*>(nullptr))), 0);
  EXPECT_EQ(std::uint16_t(KQ_TUniChar("Hello")), 'H');
  std::string const saved = std::setlocale(LC_CTYPE, nullptr);
  if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) GTEST_SKIP() << "no C.UTF-8 locale";
  // A failed conversion gives 0; a character beyond U+FFFF is no unit.
  std::pair<char const*, std::uint16_t> const cases[] = {
      {"\xC3\xA9t\xC3\xA9", 0xE9}, {"\x80", 0}, {"\xE2\x82", 0}, {"\xF0\x9F\x98\x80", 0xFFFD}};
  for (auto const& [text, unit] : cases) EXPECT_EQ(std::uint16_t(KQ_TUniChar(text)), unit) << text;
  std::setlocale(LC_CTYPE, saved.c_str());
}

}  // namespace
