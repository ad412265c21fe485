// Unicode character classes, case mapping and KQ_TUniChar.
//
// The class and case tables are checked unit by unit, over all 65536 units,
// against a second transcription of the range lists kept here in text form
// ("0100-0136/2" is every second unit from 0100 to 0136).
#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kq_eexception.h"
#include "kq_tunichar.h"

namespace {

enum : std::uint8_t { kUpper = 1, kLower = 2, kPunct = 4, kSpace = 8, kDigit = 64 };

std::vector<std::uint16_t> Expand(std::string const& ranges) {
  std::vector<std::uint16_t> units;
  std::istringstream in(ranges);
  std::string item;
  while (in >> item) {
    std::size_t const dash = item.find('-');
    std::size_t const slash = item.find('/');
    unsigned const first = std::stoul(item.substr(0, dash), nullptr, 16);
    unsigned const last =
        dash == std::string::npos ? first : std::stoul(item.substr(dash + 1), nullptr, 16);
    unsigned const step = slash == std::string::npos ? 1 : std::stoul(item.substr(slash + 1));
    for (unsigned u = first; u <= last; u += step) units.push_back(static_cast<std::uint16_t>(u));
  }
  return units;
}

struct ClassList {
  std::uint8_t flag;
  char const* ranges;
};

std::vector<ClassList> const kClassLists = {
    {kUpper, "0041-005A 00C0-00D6 00D8-00DE"},
    {kLower, "0061-007A 00DF-00F6 00F8-00FF"},
    {kPunct, "0021-002F 003A-0040 005B-0060 007B-007E 00A1 00A7 00AB 00AD"},
    {kSpace, "0000-0020 00A0"},
    {kDigit, "0030-0039"},
    {kUpper,
     "0100-0136/2 0139-0147/2 014A-0178/2 0179-017D/2 0181-0182 0184 0186-0187 0189-018B "
     "018E-0191 0193-0194 0196-0198 019C-019D 019F-01A0 01A2-01A6/2 01A7 01A9 01AC 01AE-01AF "
     "01B1-01B3 01B5 01B7-01B8 01BC 01C4-01C5 01C7-01C8 01CA-01CB 01CD-01DB/2 01DE-01EE/2"},
    {kLower,
     "0101-0137/2 0138-0148/2 0149-0177/2 017A-0180/2 0183 0185 0188 018C-018D 0192 0195 "
     "0199-019B 019E 01A1-01A5/2 01A8 01AB 01AD 01B0 01B4 01B6 01B9-01BA 01BD 01C6 01C9 "
     "01CC-01DC/2 01DD-01EF/2 01F0"},
    {kUpper, "0386 0388-038A 038C 038E-038F 0391-03A1 03A3-03AB 03D2-03D4 03DA-03EE/2"},
    {kLower, "0390 03AC-03D1 03D5-03D6 03DB-03EF/2 03F0-03F2"},
    {kPunct, "03D7"},
    {kUpper, "0401-040C 040E-042F 0460-0480/2 0490-04C0/2 04C1-04CB/2"},
    {kLower, "0430-044F 0451-045C 045E-045F 0461-0481/2 0491-04BF/2 04C2-04CC/2"},
    {kUpper, "24B6-24CF"},
    {kLower, "249C-24B5 24D0-24E9"},
};

struct CaseList {
  int delta;
  char const* ranges;
};

// Units not listed keep their value.
std::vector<CaseList> const kToUpperLists = {
    {-32, "0061-007A 00E0-00F6 00F8-00FE"},
    {121, "00FF"},
    {-1,
     "0101-0137/2 013A-0148/2 014B-0177/2 017A-017E/2 0183 0185 0188 018C 0192 0199 "
     "01A1-01A5/2 01A8 01AD 01B0 01B4 01B6 01B9 01BD 01CE-01DC/2 01DF-01EF/2"},
    {-2, "01C6 01C9 01CC"},
    {-79, "01DD"},
    {-1, "03DB-03EF/2"},
    {-31, "03C2"},
    {-32, "03B1-03C1 03C3-03CB"},
    {-37, "03AD-03AF"},
    {-38, "03AC"},
    {-47, "03D5"},
    {-54, "03D6"},
    {-57, "03D1"},
    {-62, "03D0"},
    {-63, "03CD-03CE"},
    {-64, "03CC"},
    {-1, "0461-0481/2 0491-04BF/2 04C2-04CC/2"},
    {-32, "0430-044F"},
    {-80, "0451-045C 045E-045F"},
    {-26, "24D0-24E9"},
};

std::vector<CaseList> const kToLowerLists = {
    {32, "0041-005A 00C0-00D6 00D8-00DE"},
    {1,
     "0100-0136/2 0139-0147/2 014A-0176/2 0179-017D/2 0182 0184 0187 018B 0191 0198 "
     "01A0-01A4/2 01A7 01AC 01AF 01B3 01B5 01B8 01BC 01C5 01C8 01CB-01DB/2 01DE-01EE/2"},
    {2, "01C4 01C7 01CA"},
    {-121, "0178"},
    {79, "018E"},
    {202, "018F"},
    {203, "0190"},
    {205, "0189-018A 0193"},
    {206, "0186"},
    {207, "0194"},
    {209, "0197"},
    {210, "0181"},
    {211, "0196 019C"},
    {213, "019D"},
    {214, "019F"},
    {217, "01B1-01B2"},
    {218, "01A9 01AE"},
    {219, "01B7"},
    {1, "03DA-03EE/2"},
    {32, "0391-03A1 03A3-03AB"},
    {37, "0388-038A"},
    {38, "0386"},
    {63, "038E-038F"},
    {64, "038C"},
    {-13, "03D2"},
    {-6, "03D3"},
    {-9, "03D4"},
    {1, "0460-0480/2 0490-04BE/2 04C1-04CB/2"},
    {32, "0410-042F"},
    {80, "0401-040C 040E-040F"},
    {26, "24B6-24CF"},
};

std::vector<std::uint8_t> ExpectedFlags() {
  std::vector<std::uint8_t> flags(0x10000, 0);
  for (ClassList const& list : kClassLists) {
    for (std::uint16_t u : Expand(list.ranges)) flags[u] |= list.flag;
  }
  return flags;
}

std::vector<std::uint16_t> ExpectedMapping(std::vector<CaseList> const& lists) {
  std::vector<std::uint16_t> map(0x10000);
  for (unsigned u = 0; u < 0x10000; ++u) map[u] = static_cast<std::uint16_t>(u);
  for (CaseList const& list : lists) {
    for (std::uint16_t u : Expand(list.ranges)) map[u] = static_cast<std::uint16_t>(u + list.delta);
  }
  return map;
}

std::uint8_t ActualFlags(std::uint16_t u) {
  return static_cast<std::uint8_t>(
      (Unicode_IsUpper(u) ? kUpper : 0) | (Unicode_IsLower(u) ? kLower : 0) |
      (Unicode_IsPunct(u) ? kPunct : 0) | (Unicode_IsSpace(u) ? kSpace : 0) |
      (Unicode_IsDigit(u) ? kDigit : 0));
}

TEST(UnicodeTables, ClassesOfEveryUnitFollowTheRangeLists) {
  std::vector<std::uint8_t> const expected = ExpectedFlags();
  for (unsigned u = 0; u < 0x10000; ++u) {
    ASSERT_EQ(ActualFlags(static_cast<std::uint16_t>(u)), expected[u]) << std::hex << "U+" << u;
  }
}

TEST(UnicodeTables, ClassCountsPerPage) {
  // Counts of upper, lower, punctuation, space and digit units per page.
  std::map<unsigned, std::vector<int>> const counts = {
      {0x00, {56, 58, 36, 34, 10}}, {0x01, {122, 110, 0, 0, 0}}, {0x03, {47, 55, 1, 0, 0}},
      {0x04, {94, 93, 0, 0, 0}},    {0x24, {26, 52, 0, 0, 0}},
  };
  std::uint8_t const bits[] = {kUpper, kLower, kPunct, kSpace, kDigit};
  for (unsigned page = 0; page < 0x100; ++page) {
    std::vector<int> found(5, 0);
    for (unsigned low = 0; low < 0x100; ++low) {
      std::uint8_t const f = ActualFlags(static_cast<std::uint16_t>(page << 8 | low));
      for (int k = 0; k < 5; ++k) found[k] += (f & bits[k]) ? 1 : 0;
    }
    auto const it = counts.find(page);
    EXPECT_EQ(found, it == counts.end() ? std::vector<int>(5, 0) : it->second)
        << std::hex << "page " << page;
  }
}

TEST(UnicodeTables, CaseMappingOfEveryUnitFollowsTheDeltaLists) {
  std::vector<std::uint16_t> const upper = ExpectedMapping(kToUpperLists);
  std::vector<std::uint16_t> const lower = ExpectedMapping(kToLowerLists);
  for (unsigned u = 0; u < 0x10000; ++u) {
    auto const c = static_cast<std::uint16_t>(u);
    ASSERT_EQ(Unicode_ToUpper(c), upper[u]) << std::hex << "ToUpper U+" << u;
    ASSERT_EQ(Unicode_ToLower(c), lower[u]) << std::hex << "ToLower U+" << u;
  }
}

TEST(UnicodeTables, CasePairsAreConsistent) {
  std::set<unsigned> lowerWithoutRoundTrip;
  std::set<unsigned> upperWithoutRoundTrip;
  std::set<unsigned> lowerWithoutPartner;
  std::set<unsigned> upperWithoutPartner;
  for (unsigned u = 0; u < 0x10000; ++u) {
    auto const c = static_cast<std::uint16_t>(u);
    std::uint16_t const up = Unicode_ToUpper(c);
    std::uint16_t const down = Unicode_ToLower(c);
    EXPECT_FALSE(Unicode_IsUpper(c) && Unicode_IsLower(c)) << std::hex << u;
    // Only cased units move, and an upper-case result is always upper case.
    if (up != c) {
      EXPECT_TRUE(Unicode_IsLower(c)) << std::hex << u;
      EXPECT_TRUE(Unicode_IsUpper(up)) << std::hex << u;
      if (Unicode_ToLower(up) != c) lowerWithoutRoundTrip.insert(u);
    } else if (Unicode_IsLower(c)) {
      lowerWithoutPartner.insert(u);
    }
    if (down != c) {
      EXPECT_TRUE(Unicode_IsUpper(c)) << std::hex << u;
      if (Unicode_ToUpper(down) != c) upperWithoutRoundTrip.insert(u);
    } else if (Unicode_IsUpper(c)) {
      upperWithoutPartner.insert(u);
    }
  }
  // Final sigma and the Greek symbol variants upper-case to letters whose
  // lower case is the ordinary form.
  EXPECT_EQ(lowerWithoutRoundTrip, (std::set<unsigned>{0x03C2, 0x03D0, 0x03D1, 0x03D5, 0x03D6}));
  // Latin letters whose lower case lies on the IPA page (which has no
  // table), the titlecase digraphs, and the Greek upsilon-with-hook forms.
  EXPECT_EQ(upperWithoutRoundTrip,
            (std::set<unsigned>{0x0181, 0x0186, 0x0189, 0x018A, 0x018F, 0x0190, 0x0193, 0x0194,
                                0x0196, 0x0197, 0x019C, 0x019D, 0x019F, 0x01A9, 0x01AE, 0x01B1,
                                0x01B2, 0x01B7, 0x01C5, 0x01C8, 0x01CB, 0x03D2, 0x03D3, 0x03D4}));
  std::set<unsigned> expectedLowerAlone = {0x00DF, 0x0138, 0x0149, 0x0180, 0x018D, 0x0195,
                                           0x019A, 0x019B, 0x019E, 0x01AB, 0x01BA, 0x01F0,
                                           0x0390, 0x03B0, 0x03CF, 0x03F0, 0x03F1, 0x03F2};
  for (unsigned u = 0x249C; u <= 0x24B5; ++u) expectedLowerAlone.insert(u);
  EXPECT_EQ(lowerWithoutPartner, expectedLowerAlone);
  EXPECT_EQ(upperWithoutPartner, (std::set<unsigned>{0x01A6, 0x04C0}));
}

TEST(UnicodeTables, NamedEdgeCases) {
  EXPECT_TRUE(Unicode_IsSpace(0x0000));
  EXPECT_TRUE(Unicode_IsSpace(0x001F));
  EXPECT_TRUE(Unicode_IsSpace(0x0020));
  EXPECT_FALSE(Unicode_IsSpace(0x007F));
  EXPECT_EQ(ActualFlags(0x007F), 0);
  EXPECT_EQ(ActualFlags(0x0085), 0);
  EXPECT_TRUE(Unicode_IsSpace(0x00A0));
  EXPECT_FALSE(Unicode_IsLower(0x00B5));
  EXPECT_FALSE(Unicode_IsLower(0x00AA));
  EXPECT_FALSE(Unicode_IsLower(0x00BA));
  EXPECT_TRUE(Unicode_IsLower(0x00DF));
  EXPECT_EQ(Unicode_ToUpper(0x00DF), 0x00DF);
  EXPECT_EQ(Unicode_ToUpper(0x00FF), 0x0178);
  EXPECT_EQ(Unicode_ToLower(0x0178), 0x00FF);
  EXPECT_EQ(Unicode_ToLower(0x0181), 0x0253);
  EXPECT_EQ(Unicode_ToLower(0x0130), 0x0131);
  EXPECT_EQ(Unicode_ToUpper(0x0131), 0x0130);
  EXPECT_EQ(Unicode_ToUpper(0x24D0), 0x24B6);
  EXPECT_EQ(Unicode_ToLower(0x24CF), 0x24E9);
  EXPECT_TRUE(Unicode_IsLower(0x249C));
  EXPECT_EQ(Unicode_ToUpper(0x249C), 0x249C);
  EXPECT_FALSE(Unicode_IsUpper(0x0531));
  EXPECT_EQ(Unicode_ToLower(0x0531), 0x0531);
  // Titlecase U+01C5 is upper case here: it lower-cases but never upper-cases.
  EXPECT_EQ(Unicode_ToUpper(0x01C5), 0x01C5);
  EXPECT_EQ(Unicode_ToLower(0x01C5), 0x01C6);
  EXPECT_EQ(Unicode_ToUpper(0x01C6), 0x01C4);
  EXPECT_TRUE(Unicode_IsPunct(0x03D7));
  EXPECT_TRUE(Unicode_IsDigit('7'));
  EXPECT_FALSE(Unicode_IsDigit(0x0660));  // Arabic-Indic digits are not covered
  // Units whose low byte is a letter on a covered page.
  EXPECT_EQ(ActualFlags(0x0241), 0);
  EXPECT_EQ(ActualFlags(0x2541), 0);
  EXPECT_EQ(Unicode_ToUpper(0x2561), 0x2561);
  EXPECT_EQ(Unicode_ToLower(0xFF21), 0xFF21);
}

TEST(UniChar, ConstructionFromUnitsAndCharacters) {
  EXPECT_EQ(std::uint16_t(KQ_TUniChar()), 0);
  EXPECT_EQ(std::uint16_t(KQ_TUniChar(std::uint16_t{0xFFFF})), 0xFFFF);
  EXPECT_EQ(std::uint16_t(KQ_TUniChar(u'\u20AC')), 0x20AC);
  EXPECT_EQ(std::uint16_t(KQ_TUniChar(L'\u20AC')), 0x20AC);
  // A wide character beyond U+FFFF, or a negative one, is no unit.
  EXPECT_EQ(std::uint16_t(KQ_TUniChar(L'\U0001F600')), 0xFFFD);
  EXPECT_EQ(std::uint16_t(KQ_TUniChar(static_cast<wchar_t>(-1))), 0xFFFD);
  EXPECT_EQ(std::uint16_t(KQ_TUniChar(0x100)), 0x100);
  EXPECT_EQ(std::uint16_t(KQ_TUniChar(0x10000)), 0xFFFD);
  // A char is a signed byte.
  EXPECT_EQ(std::uint16_t(KQ_TUniChar('a')), 0x61);
  EXPECT_EQ(std::uint16_t(KQ_TUniChar('\x7F')), 0x7F);
  EXPECT_EQ(std::uint16_t(KQ_TUniChar(static_cast<char>(0xE9))), 0xFFE9);
  EXPECT_EQ(std::uint16_t(KQ_TUniChar(static_cast<char>(0x80))), 0xFF80);
  EXPECT_EQ(char(KQ_TUniChar(static_cast<char>(0xE9))), '\0');
  // The char conversion keeps units below 256 and gives 0 for the rest.
  EXPECT_EQ(char(KQ_TUniChar(std::uint16_t{0xE9})), static_cast<char>(0xE9));
  EXPECT_EQ(char(KQ_TUniChar(std::uint16_t{0x100})), '\0');
  EXPECT_EQ(wchar_t(KQ_TUniChar(std::uint16_t{0xFFFF})), L'\xFFFF');

  KQ_TUniChar c;
  c = 'b';
  EXPECT_EQ(std::uint16_t(c), 0x62);
  c = static_cast<char>(0xFF);
  EXPECT_EQ(std::uint16_t(c), 0xFFFF);
  c = std::uint16_t{0x3A3};
  EXPECT_EQ(std::uint16_t(c), 0x3A3);
  c = L'\u0416';
  EXPECT_EQ(std::uint16_t(c), 0x416);
  c = u'x';
  EXPECT_EQ(std::uint16_t(c), 0x78);
  c = 0x41;
  EXPECT_EQ(std::uint16_t(c), 0x41);
  c = KQ_TUniChar(std::uint16_t{7});
  EXPECT_EQ(std::uint16_t(c), 7);
  EXPECT_FALSE(!c);
  EXPECT_TRUE(!KQ_TUniChar());
}

TEST(UniChar, ComparisonsOrderUnsignedUnitsAndSignExtendChars) {
  KQ_TUniChar const c('a');
  EXPECT_TRUE(c == 'a');
  EXPECT_TRUE('a' == c);
  EXPECT_TRUE(c == u'a');
  EXPECT_TRUE(c == L'a');
  EXPECT_TRUE(c == 0x61);
  EXPECT_TRUE(c == std::uint16_t{0x61});
  EXPECT_TRUE(std::uint16_t{0x61} == c);
  EXPECT_TRUE(c != 'b');
  EXPECT_TRUE(c < KQ_TUniChar(0x100));
  EXPECT_TRUE(KQ_TUniChar(0x100) > c);
  EXPECT_TRUE(c <= c);
  EXPECT_TRUE(c >= 'a');
  EXPECT_FALSE(c < 'a');
  // Units are unsigned: U+FFFF is the greatest.
  KQ_TUniChar const top(std::uint16_t{0xFFFF});
  EXPECT_TRUE(top > c);
  EXPECT_TRUE(top > KQ_TUniChar(std::uint16_t{0x7FFF}));
  // A char operand is sign-extended, so byte 0xE9 is U+FFE9, not U+00E9.
  char const e9 = static_cast<char>(0xE9);
  EXPECT_TRUE(KQ_TUniChar(std::uint16_t{0xFFE9}) == e9);
  EXPECT_FALSE(KQ_TUniChar(std::uint16_t{0xE9}) == e9);
  EXPECT_TRUE(KQ_TUniChar(std::uint16_t{0xE9}) < e9);
  EXPECT_TRUE(e9 > c);
  // Other integers compare by value.
  EXPECT_FALSE(c == -1);
  EXPECT_TRUE(c > -1);
  EXPECT_TRUE(top < 0x10000);
  EXPECT_FALSE(KQ_TUniChar() == 0x10000);
  EXPECT_TRUE(0x62 > c);
}

TEST(UniChar, ClassAndCaseMembers) {
  KQ_TUniChar const ae(std::uint16_t{0xE6});
  EXPECT_TRUE(ae.IsLower());
  EXPECT_FALSE(ae.IsUpper());
  EXPECT_EQ(ae.ToUpper(), KQ_TUniChar(std::uint16_t{0xC6}));
  EXPECT_EQ(ae.ToUpper().ToLower(), ae);
  EXPECT_TRUE(KQ_TUniChar('5').IsDigit());
  EXPECT_TRUE(KQ_TUniChar('!').IsPunct());
  EXPECT_TRUE(KQ_TUniChar('\t').IsSpace());
  EXPECT_FALSE(KQ_TUniChar('x').IsSpace());
  EXPECT_EQ(KQ_TUniChar(std::uint16_t{0x3C2}).ToUpper(), 0x3A3);
}

std::string Utf8Of(KQ_TUniChar c) {
  char const* narrow = c;
  kq::Utf8Text utf8 = c;
  // Both conversions give the same bytes.
  EXPECT_STREQ(narrow, reinterpret_cast<char const*>(utf8));
  return narrow;
}

TEST(UniChar, ConvertsToUtf8) {
  EXPECT_EQ(Utf8Of(KQ_TUniChar(std::uint16_t{0xE9})), "\xC3\xA9");
  EXPECT_EQ(Utf8Of(KQ_TUniChar('A')), "A");
  EXPECT_EQ(Utf8Of(KQ_TUniChar(std::uint16_t{0x7F})), "\x7F");
  EXPECT_EQ(Utf8Of(KQ_TUniChar(std::uint16_t{0x80})), "\xC2\x80");
  EXPECT_EQ(Utf8Of(KQ_TUniChar(std::uint16_t{0x7FF})), "\xDF\xBF");
  EXPECT_EQ(Utf8Of(KQ_TUniChar(std::uint16_t{0x800})), "\xE0\xA0\x80");
  EXPECT_EQ(Utf8Of(KQ_TUniChar(std::uint16_t{0xD800})), "\xED\xA0\x80");
  EXPECT_EQ(Utf8Of(KQ_TUniChar(std::uint16_t{0xFFFF})), "\xEF\xBF\xBF");
  EXPECT_EQ(Utf8Of(KQ_TUniChar()), "");
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
  EXPECT_EQ(std::uint16_t(FromUtf8("\xC3\xA9xyz")), 0xE9);
  EXPECT_EQ(std::uint16_t(FromUtf8("abc")), 'a');
  EXPECT_EQ(std::uint16_t(FromUtf8("\xE2\x82\xAC")), 0x20AC);
  EXPECT_EQ(std::uint16_t(FromUtf8("\xEF\xBF\xBF")), 0xFFFF);
  EXPECT_EQ(std::uint16_t(FromUtf8("")), 0);
  EXPECT_EQ(std::uint16_t(KQ_TUniChar(kq::ConstUtf8Text{})), 0);
  // Overlong forms decode as they are.
  EXPECT_EQ(std::uint16_t(FromUtf8("\xC0\x80")), 0);
  EXPECT_EQ(std::uint16_t(FromUtf8("\xC1\xBF")), 0x7F);
  EXPECT_EQ(std::uint16_t(FromUtf8("\xE0\x81\x81")), 0x41);
  // Four-byte characters, continuation bytes and cut sequences are illegal.
  for (char const* bad : {"\xF0\x9F\x98\x80", "\x80", "\xBF", "\xC3", "\xC3x", "\xE2\x82",
                          "\xE2\x82x", "\xE2x\xAC", "\xF8\x80\x80\x80\x80", "\xFF"}) {
    EXPECT_THROW(FromUtf8(bad), KQ_EIllegalUTF8Character) << bad;
  }
  KQ_TUniChar c;
  c = reinterpret_cast<kq::ConstUtf8Text>("\xD0\x96");
  EXPECT_EQ(std::uint16_t(c), 0x416);
}

// Sets LC_CTYPE for the lifetime of the object.
class CtypeLocale {
 public:
  explicit CtypeLocale(char const* name) : fSaved(std::setlocale(LC_CTYPE, nullptr)) {
    fActive = std::setlocale(LC_CTYPE, name) != nullptr;
  }
  ~CtypeLocale() { std::setlocale(LC_CTYPE, fSaved.c_str()); }
  bool Active() const { return fActive; }

 private:
  std::string fSaved;
  bool fActive = false;
};

TEST(UniChar, ConvertsLocaleTextWithTheMultibyteConversion) {
  EXPECT_EQ(std::uint16_t(KQ_TUniChar(static_cast<char const*>(nullptr))), 0);
  EXPECT_EQ(std::uint16_t(KQ_TUniChar("")), 0);
  EXPECT_EQ(std::uint16_t(KQ_TUniChar("Hello")), 'H');
  CtypeLocale utf8("C.UTF-8");
  if (!utf8.Active()) GTEST_SKIP() << "no C.UTF-8 locale";
  EXPECT_EQ(std::uint16_t(KQ_TUniChar("\xC3\xA9t\xC3\xA9")), 0xE9);
  EXPECT_EQ(std::uint16_t(KQ_TUniChar("\xE2\x82\xAC")), 0x20AC);
  // A failed conversion gives 0; a character beyond U+FFFF is no unit.
  EXPECT_EQ(std::uint16_t(KQ_TUniChar("\x80")), 0);
  EXPECT_EQ(std::uint16_t(KQ_TUniChar("\xE2\x82")), 0);
  EXPECT_EQ(std::uint16_t(KQ_TUniChar("\xF0\x9F\x98\x80")), 0xFFFD);
  KQ_TUniChar c;
  c = "\xD0\x96";
  EXPECT_EQ(std::uint16_t(c), 0x416);
}

}  // namespace
