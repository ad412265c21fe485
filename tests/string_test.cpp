#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "internal/kq_tstring_simd.h"
#include "kq_eexception.h"
#include "kq_ipacking.h"
#include "kq_iunpacking.h"
#include "kq_tany.h"
#include "kq_tdatastream.h"
#include "kq_tmemorystream.h"
#include "kq_tstring.h"

namespace {

// A string made at static initialisation of this unit from the shared
// strings of another unit.
KQ_TString const gStaticCopy = KQ_TString::sLineFeed + KQ_TString::sEmpty;

std::vector<std::uint16_t> UnitsOf(KQ_TString const& s) {
  return std::vector<std::uint16_t>(s.Units(), s.Units() + s.Length());
}

TEST(StringCapacity, FollowsTheStepRuleEverywhere) {
  EXPECT_EQ(KQ_TString::CapacityFor(0), 16u);
  EXPECT_EQ(KQ_TString::CapacityFor(15), 16u);
  EXPECT_EQ(KQ_TString::CapacityFor(16), 32u);
  EXPECT_EQ(KQ_TString::CapacityFor(2047), 2048u);
  EXPECT_EQ(KQ_TString::CapacityFor(2048), 2064u);
  EXPECT_EQ(KQ_TString::CapacityFor(2049), 2112u);
  EXPECT_EQ(KQ_TString::CapacityFor(2111), 2112u);
  EXPECT_EQ(KQ_TString::CapacityFor(2112), 2176u);

  EXPECT_EQ(KQ_TString().Capacity(), 16u);
  EXPECT_EQ(KQ_TString(std::string(16, 'x').c_str()).Capacity(), 32u);
  EXPECT_EQ(KQ_TString(std::string(2048, 'x').c_str()).Capacity(), 2064u);
  EXPECT_EQ(KQ_TString(std::string(2049, 'x').c_str()).Capacity(), 2112u);
  KQ_TString reserved(100);
  EXPECT_EQ(reserved.Length(), 0u);
  EXPECT_EQ(reserved.Capacity(), 112u);
  EXPECT_EQ(KQ_TString(100L).Capacity(), 112u);
  EXPECT_EQ(KQ_TString(std::size_t{5}).Capacity(), 16u);

  // Appending one unit at a time reallocates only at the steps.
  KQ_TString grown;
  for (int i = 0; i < 2049; ++i) {
    grown += u'a';
    ASSERT_EQ(grown.Capacity(), KQ_TString::CapacityFor(grown.Length())) << i;
  }
  EXPECT_EQ(grown.Capacity(), 2112u);

  // Assignment keeps a buffer that is large enough, copies get their own size.
  KQ_TString big(std::string(2049, 'y').c_str());
  big = "ab";
  EXPECT_EQ(big.Capacity(), 2112u);
  EXPECT_EQ(big, "ab");
  EXPECT_EQ(KQ_TString(big).Capacity(), 16u);
  KQ_TString small("ab");
  small = KQ_TString(std::string(40, 'z').c_str());
  EXPECT_EQ(small.Capacity(), 48u);
  EXPECT_EQ(small.Units()[40], 0u);
}

TEST(StringStatics, AreConstructedBeforeOtherStaticInitialisers) {
  EXPECT_EQ(KQ_TString::sEmpty.Length(), 0u);
  EXPECT_EQ(KQ_TString::sEmpty.Capacity(), 16u);
  EXPECT_EQ(KQ_TString::sLineFeed.Length(), 1u);
  EXPECT_EQ(KQ_TString::sLineFeed[0], u'\n');
  EXPECT_EQ(gStaticCopy, "\n");
  EXPECT_EQ(KQ_TString::sEmpty.CompareWith(KQ_TString()), 0);
}

TEST(StringUtf8, DecodesAndEncodesOneTwoAndThreeByteCharacters) {
  struct Case {
    char const* bytes;
    std::vector<std::uint16_t> units;
  };
  Case const cases[] = {
      {"\xC3\xA9", {0x00E9}},
      {"\x7F", {0x007F}},
      {"\xDF\xBF", {0x07FF}},
      {"\xE0\xA0\x80", {0x0800}},
      {"\xEF\xBF\xBF", {0xFFFF}},
      {"a\xC2\x80z", {0x0061, 0x0080, 0x007A}},
      {"\xE2\x82\xAC\xE4\xB8\xAD", {0x20AC, 0x4E2D}},
      {"\xED\xA0\xBD\xED\xB8\x80", {0xD83D, 0xDE00}},
  };
  for (Case const& c : cases) {
    KQ_TString const s(c.bytes);
    EXPECT_EQ(UnitsOf(s), c.units) << c.bytes;
    EXPECT_STREQ(s.UTF8(), c.bytes);
    EXPECT_STREQ(static_cast<char*>(s), c.bytes);
    EXPECT_STREQ(*static_cast<kq::Utf8Text>(s), c.bytes);
  }
  // Overlong forms decode as they stand.
  EXPECT_EQ(UnitsOf(KQ_TString("\xC1\xA1")), std::vector<std::uint16_t>{0x0061});
  EXPECT_EQ(UnitsOf(KQ_TString("\xE0\x81\xA1")), std::vector<std::uint16_t>{0x0061});
  EXPECT_EQ(UnitsOf(KQ_TString("\xC0\x80")), std::vector<std::uint16_t>{0x0000});
  // Encoding stops at the first zero unit.
  std::uint16_t const withZero[] = {'a', 0, 'b'};
  KQ_TString const s = KQ_TString(withZero, 1) + u'\0' + u'b';
  EXPECT_EQ(s.Length(), 3u);
  EXPECT_STREQ(s.UTF8(), "a");
  // Both UTF-8 argument kinds decode the same.
  auto const array = reinterpret_cast<kq::ConstUtf8Text>("\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(KQ_TString(array), KQ_TString("\xC3\xA9t\xC3\xA9"));
  EXPECT_EQ(KQ_TString(array, 3), KQ_TString("\xC3\xA9t"));
}

TEST(StringUtf8, RejectsFourByteLeadsLoneContinuationsAndCutSequences) {
  EXPECT_THROW(KQ_TString("\xF0\x9F\x98\x80"), KQ_EIllegalUTF8Character);
  EXPECT_THROW(KQ_TString("\x80"), KQ_EIllegalUTF8Character);
  EXPECT_THROW(KQ_TString("abc\xBF"), KQ_EIllegalUTF8Character);
  EXPECT_THROW(KQ_TString("\xF8\x80\x80\x80\x80"), KQ_EIllegalUTF8Character);
  EXPECT_THROW(KQ_TString("\xFF"), KQ_EIllegalUTF8Character);
  EXPECT_THROW(KQ_TString("\xC3"), KQ_EIllegalUTF8Character);
  EXPECT_THROW(KQ_TString("\xC3"
                          "A"),
               KQ_EIllegalUTF8Character);
  EXPECT_THROW(KQ_TString("\xE2\x82"), KQ_EIllegalUTF8Character);
  EXPECT_THROW(KQ_TString("\xE2\x82"
                          "A"),
               KQ_EIllegalUTF8Character);
  EXPECT_THROW(KQ_TString("\xE2"
                          "A\xAC"),
               KQ_EIllegalUTF8Character);
  // The bound n cuts sequences like the zero byte does.
  EXPECT_THROW(KQ_TString("\xC3\xA9", 1), KQ_EIllegalUTF8Character);
  EXPECT_THROW(KQ_TString("ab\xE2\x82\xAC", 4), KQ_EIllegalUTF8Character);
  EXPECT_THROW(KQ_TString("ab\xE2\x82\xAC", 3), KQ_EIllegalUTF8Character);
  EXPECT_EQ(KQ_TString("ab\xE2\x82\xAC", 5).Length(), 3u);
  EXPECT_EQ(KQ_TString("ab\xE2\x82\xAC", 2), "ab");
  EXPECT_EQ(KQ_TString("ab\xE2\x82\xAC", 0).Length(), 0u);
  // The exception carries no message of its own.
  try {
    KQ_TString("\x80");
    FAIL();
  } catch (KQ_EStringException const& e) {
    EXPECT_STREQ(e.ClassName(), "KQ_EIllegalUTF8Character");
  }
  // A failed assignment or append leaves the string as it was.
  KQ_TString kept("keep");
  EXPECT_THROW(kept = "\xF0\x9F\x98\x80", KQ_EIllegalUTF8Character);
  EXPECT_THROW(kept += "x\x80", KQ_EIllegalUTF8Character);
  EXPECT_EQ(kept, "keep");
}

TEST(StringUtf8Rules, StandardUtf8TakesEveryCharacterAndNothingElse) {
  using Rule = KQ_TString::UTF8Rule;
  struct Case {
    std::string bytes;
    std::vector<std::uint16_t> units;
  };
  Case const good[] = {
      {std::string("a\0b", 3), {0x61, 0, 0x62}},
      {"\xC2\x80\xDF\xBF", {0x80, 0x7FF}},
      {"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF", {0x800, 0xD7FF, 0xE000, 0xFFFF}},
      {"\xF0\x90\x80\x80", {0xD800, 0xDC00}},
      {"\xF0\x9F\x98\x80x", {0xD83D, 0xDE00, 0x78}},
      {"\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}},
      {std::string(40, 'z') + "\xC3\xA4", {}},
  };
  for (Case const& c : good) {
    KQ_TString const s = KQ_TString::FromUTF8(c.bytes.data(), c.bytes.size(), Rule::kStandard);
    if (!c.units.empty()) {
      EXPECT_EQ(UnitsOf(s), c.units) << c.bytes;
    }
    EXPECT_EQ(s.ToUTF8(Rule::kStandard), c.bytes);
  }
  // Overlong forms, encoded surrogates, beyond U+10FFFF, stray and cut bytes.
  char const* const bad[] = {"\xC0\x80",
                             "\xC1\xBF",
                             "\xE0\x9F\xBF",
                             "\xF0\x8F\xBF\xBF",
                             "\xED\xA0\x80",
                             "\xED\xBF\xBF",
                             "\xF4\x90\x80\x80",
                             "\xF5\x80\x80\x80",
                             "\x80",
                             "ab\xBF",
                             "\xE2\x82",
                             "\xF0\x9F\x98",
                             "\xC3"
                             "A",
                             "\xFF"};
  for (char const* b : bad) {
    EXPECT_THROW(KQ_TString::FromUTF8(b, std::strlen(b), Rule::kStandard), KQ_EIllegalUTF8Character)
        << b;
  }
  // A lone surrogate goes out as U+FFFD, so the output is always valid; the
  // library's rule writes every unit on its own.
  std::uint16_t const lone[] = {0x41, 0xD83D, 0x42, 0xDE00, 0};
  EXPECT_EQ(KQ_TString(lone).ToUTF8(Rule::kStandard),
            "A\xEF\xBF\xBD"
            "B\xEF\xBF\xBD");
  std::uint16_t const pair[] = {0xD83D, 0xDE00, 0};
  EXPECT_EQ(KQ_TString(pair).ToUTF8(Rule::kLibrary), "\xED\xA0\xBD\xED\xB8\x80");
  EXPECT_EQ(KQ_TString::FromUTF8("\xC0\x80\0x", 4, Rule::kLibrary).Length(), 3u);
  EXPECT_THROW(KQ_TString::FromUTF8("\xF0\x9F\x98\x80", 4, Rule::kLibrary),
               KQ_EIllegalUTF8Character);
}

TEST(StringUtf8Rules, BytesRoundTripWhateverTheyHold) {
  using Rule = KQ_TString::UTF8Rule;
  std::mt19937 random(7);
  std::vector<std::string> inputs = {
      "", "plain", "\x80", "\xFF\xFE", "\xED\xA0\x80", "a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80\xC3"};
  std::string every;
  for (int b = 1; b < 256; ++b) every += static_cast<char>(b);
  inputs.push_back(every);
  for (int n = 0; n < 200; ++n) {
    std::string bytes(random() % 64, '\0');
    for (char& c : bytes)
      c = static_cast<char>(random() % 4 == 0 ? 0x80 + random() % 128 : random());
    inputs.push_back(bytes);
  }
  for (std::string const& bytes : inputs) {
    KQ_TString const s = KQ_TString::FromUTF8(bytes.data(), bytes.size(), Rule::kBytes);
    EXPECT_EQ(s.ToUTF8(Rule::kBytes), bytes);
  }
  // Valid text decodes as standard UTF-8; each invalid byte is one unit.
  EXPECT_EQ(UnitsOf(KQ_TString::FromUTF8("\xF0\x9F\x98\x80\xC0\x80", 6, Rule::kBytes)),
            (std::vector<std::uint16_t>{0xD83D, 0xDE00, 0xDCC0, 0xDC80}));
  // Other lone surrogates go out in three bytes.
  std::uint16_t const lone[] = {0xDC10, 0};
  EXPECT_EQ(KQ_TString(lone).ToUTF8(Rule::kBytes), "\xED\xB0\x90");
}

TEST(StringUtf8, NeverReadsBeyondTheBoundOrTheZeroByte) {
  // Heap blocks without a terminator: a read past them is caught by the
  // address sanitizer build.
  std::string const text = "h\xC3\xA9llo w\xE2\x82\xACrld, long enough for a block of sixteen";
  for (std::size_t size = 0; size <= text.size(); ++size) {
    std::unique_ptr<char[]> block(new char[size == 0 ? 1 : size]);
    std::memcpy(block.get(), text.data(), size);
    bool cut = false;
    try {
      KQ_TString const s(block.get(), static_cast<std::uint32_t>(size));
      EXPECT_EQ(std::string(s.UTF8()), text.substr(0, size));
    } catch (KQ_EIllegalUTF8Character const&) {
      cut = true;
    }
    // Only the sizes that split é (2 bytes at 1) or € (3 bytes at 8) fail.
    EXPECT_EQ(cut, size == 2 || size == 9 || size == 10) << size;
  }
  char const withZero[] = {'a', 'b', '\0', 'c', 'd'};
  EXPECT_EQ(KQ_TString(withZero, 5), "ab");
}

TEST(StringConstruction, TakesEveryArgumentKind) {
  EXPECT_EQ(KQ_TString(static_cast<char const*>(nullptr)).Length(), 0u);
  EXPECT_EQ(KQ_TString(static_cast<wchar_t const*>(nullptr)).Length(), 0u);
  EXPECT_EQ(KQ_TString(static_cast<std::uint16_t const*>(nullptr)).Length(), 0u);
  EXPECT_EQ(KQ_TString(static_cast<KQ_TUniChar const*>(nullptr), 5).Length(), 0u);
  EXPECT_EQ(KQ_TString(static_cast<kq::ConstUtf8Text>(nullptr)).Length(), 0u);

  std::uint16_t const units[] = {'a', 0x00E9, 'c', 0, 'x'};
  EXPECT_EQ(UnitsOf(KQ_TString(units)), (std::vector<std::uint16_t>{'a', 0x00E9, 'c'}));
  EXPECT_EQ(UnitsOf(KQ_TString(units, 2)), (std::vector<std::uint16_t>{'a', 0x00E9}));
  EXPECT_EQ(KQ_TString(u"h\u00e9").Length(), 2u);
  EXPECT_EQ(KQ_TString(reinterpret_cast<KQ_TUniChar const*>(units), 100).Length(), 3u);

  EXPECT_EQ(UnitsOf(KQ_TString(KQ_TUniChar(std::uint16_t{0x263A}))),
            std::vector<std::uint16_t>{0x263A});
  EXPECT_EQ(UnitsOf(KQ_TString('A')), std::vector<std::uint16_t>{0x0041});
  EXPECT_EQ(UnitsOf(KQ_TString(static_cast<char>(0xE9))), std::vector<std::uint16_t>{0xFFE9});
  EXPECT_EQ(UnitsOf(KQ_TString(std::uint16_t{0xD800})), std::vector<std::uint16_t>{0xD800});
  EXPECT_EQ(UnitsOf(KQ_TString(u'\u00e9')), std::vector<std::uint16_t>{0x00E9});
  EXPECT_EQ(UnitsOf(KQ_TString(std::uint16_t{0})), std::vector<std::uint16_t>{0});
  EXPECT_EQ(UnitsOf(KQ_TString(L'\0')), std::vector<std::uint16_t>{0});
}

TEST(StringWide, ConvertsUtf32ToSurrogatePairsAndBack) {
  KQ_TString const smile(L"x\U0001F600y");
  EXPECT_EQ(UnitsOf(smile), (std::vector<std::uint16_t>{'x', 0xD83D, 0xDE00, 'y'}));
  wchar_t const* wide = smile;
  EXPECT_EQ(std::wstring(wide), std::wstring(L"x\U0001F600y"));
  EXPECT_EQ(UnitsOf(KQ_TString(L'\U0001F600')), (std::vector<std::uint16_t>{0xD83D, 0xDE00}));

  // Invalid code points and lone surrogates become U+FFFD.
  wchar_t const invalid[] = {0x110000, 0xD800, 'a', 0xDC00, static_cast<wchar_t>(-5), 0x10FFFF, 0};
  EXPECT_EQ(UnitsOf(KQ_TString(invalid)),
            (std::vector<std::uint16_t>{0xFFFD, 0xFFFD, 'a', 0xFFFD, 0xFFFD, 0xDBFF, 0xDFFF}));
  // A pair already split into two wide characters is kept.
  wchar_t const pair[] = {0xD83D, 0xDE00, 0};
  EXPECT_EQ(UnitsOf(KQ_TString(pair)), (std::vector<std::uint16_t>{0xD83D, 0xDE00}));
  // The bound counts wide characters.
  EXPECT_EQ(KQ_TString(L"a\U0001F600b", 2).Length(), 3u);

  // Lone surrogates in the units come out as U+FFFD.
  std::uint16_t const lone[] = {0xDE00, 'a', 0xD83D, 0};
  EXPECT_EQ(std::wstring(static_cast<wchar_t*>(KQ_TString(lone))), std::wstring(L"\xFFFD"
                                                                                L"a"
                                                                                L"\xFFFD"));
  EXPECT_EQ(std::wstring(static_cast<wchar_t*>(KQ_TString())), std::wstring());
}

TEST(StringAssignment, CoversEveryKindAndAliasing) {
  KQ_TString s;
  s = "h\xC3\xA9";
  EXPECT_EQ(UnitsOf(s), (std::vector<std::uint16_t>{'h', 0x00E9}));
  s = reinterpret_cast<kq::ConstUtf8Text>("ab");
  EXPECT_EQ(s, "ab");
  s = L"\U0001F600";
  EXPECT_EQ(s.Length(), 2u);
  s = u"xyz";
  EXPECT_EQ(s, "xyz");
  std::uint16_t const units[] = {'q', 0};
  s = units;
  EXPECT_EQ(s, "q");
  s = KQ_TUniChar(std::uint16_t{'k'});
  EXPECT_EQ(s, "k");
  s = static_cast<char>(0x80);
  EXPECT_EQ(UnitsOf(s), std::vector<std::uint16_t>{0xFF80});
  s = std::uint16_t{0x4E2D};
  EXPECT_EQ(UnitsOf(s), std::vector<std::uint16_t>{0x4E2D});
  s = u'w';
  EXPECT_EQ(s, "w");
  s = L'\U0001F600';
  EXPECT_EQ(UnitsOf(s), (std::vector<std::uint16_t>{0xD83D, 0xDE00}));
  s = static_cast<char const*>(nullptr);
  EXPECT_EQ(s.Length(), 0u);

  KQ_TString self("same");
  std::uint16_t const* buffer = self.Units();
  KQ_TString const& alias = self;
  self = alias;
  EXPECT_EQ(self, "same");
  EXPECT_EQ(self.Units(), buffer);
  self = self.Units() + 1;
  EXPECT_EQ(self, "ame");
  self = self[0];
  EXPECT_EQ(self, "a");
}

TEST(StringAppend, CoversEveryKindAndGrowsFromItself) {
  KQ_TString s("a");
  s += KQ_TString("b");
  s += KQ_TUniChar(std::uint16_t{'c'});
  s += "\xC3\xA9";
  s += reinterpret_cast<kq::ConstUtf8Text>("d");
  std::uint16_t const units[] = {'e', 0};
  s += units;
  s += u"f";
  s += L"\U0001F600";
  s += 'g';
  s += std::uint16_t{'h'};
  s += u'i';
  s += L'j';
  EXPECT_EQ(UnitsOf(s), (std::vector<std::uint16_t>{'a', 'b', 'c', 0xE9, 'd', 'e', 'f', 0xD83D,
                                                    0xDE00, 'g', 'h', 'i', 'j'}));
  s += static_cast<char const*>(nullptr);
  EXPECT_EQ(s.Length(), 13u);

  // Appending the string to itself, and a part of itself, across a growth.
  KQ_TString grow(std::string(15, 'x').c_str());
  grow += grow;
  EXPECT_EQ(grow, std::string(30, 'x').c_str());
  KQ_TString tail("0123456789abcdef");
  tail += tail.Units() + 10;
  EXPECT_EQ(tail, "0123456789abcdefabcdef");

  EXPECT_EQ(KQ_TString("ab") + KQ_TString("cd"), "abcd");
  EXPECT_EQ((KQ_TString("ab") + KQ_TString("cd")).Capacity(), 16u);
  EXPECT_EQ(KQ_TString("a") + "\xC3\xA9", "a\xC3\xA9");
  EXPECT_EQ(KQ_TString("a") + L"b", "ab");
  EXPECT_EQ(KQ_TString("a") + u"b", "ab");
  EXPECT_EQ(KQ_TString("a") + 'b', "ab");
  EXPECT_EQ(KQ_TString("a") + std::uint16_t{'b'}, "ab");
  EXPECT_EQ(KQ_TString("a") + L'b', "ab");
  EXPECT_EQ(KQ_TString("a") + KQ_TUniChar('b'), "ab");
  EXPECT_EQ("x" + KQ_TString("y"), "xy");
  EXPECT_EQ(L"x" + KQ_TString("y"), "xy");
}

TEST(StringAccess, IndexesFromBothEndsAndGuardsTheRange) {
  KQ_TString s("abc");
  EXPECT_EQ(s[0], 'a');
  EXPECT_EQ(s[-1], 'c');
  EXPECT_EQ(s[-3], 'a');
  EXPECT_EQ(s[std::size_t{2}], 'c');
  EXPECT_EQ(s[-1LL], 'c');
  s[1] = 'B';
  s[-1] = u'C';
  EXPECT_EQ(s, "aBC");

  // Out of range the mutable form hands out a zero unit that is reset on
  // every access, so a write to it never shows.
  s[3] = 'x';
  EXPECT_EQ(s[3], 0);
  s[-4] = 'y';
  EXPECT_EQ(std::uint16_t(s[-4]), 0u);
  EXPECT_EQ(std::uint16_t(s[std::uint64_t{1} << 40]), 0u);
  EXPECT_EQ(std::uint16_t(s[-(std::int64_t{1} << 40)]), 0u);
  EXPECT_EQ(std::uint16_t(s[0xFFFFFFFFu]), 0u);
  EXPECT_EQ(s, "aBC");
  KQ_TString const& cs = s;
  EXPECT_EQ(std::uint16_t(cs[3]), 0u);
  EXPECT_EQ(std::uint16_t(cs[-4]), 0u);
  EXPECT_EQ(cs[-2], 'B');

  EXPECT_EQ(static_cast<KQ_TUniChar const*>(s), reinterpret_cast<KQ_TUniChar const*>(s.Units()));
  std::uint16_t* copy = s;
  EXPECT_NE(copy, s.Units());
  EXPECT_EQ(std::memcmp(copy, s.Units(), 4 * sizeof(std::uint16_t)), 0);

  EXPECT_EQ(s.Truncate(5), "aBC");
  EXPECT_EQ(s.Truncate(1), "a");
  EXPECT_EQ(s.Units()[1], 0u);
  EXPECT_EQ(s.Capacity(), 16u);
}

TEST(StringCompare, OrdersUnitsUnsignedWithAndWithoutCase) {
  EXPECT_EQ(KQ_TString("abc").CompareWith("ABD", true), -1);
  EXPECT_EQ(KQ_TString("abc").CompareWith("ABC", true), 0);
  EXPECT_EQ(KQ_TString("abc").CompareWith("ABC", false), 1);
  EXPECT_EQ(KQ_TString("ab").CompareWith("abc"), -1);
  EXPECT_EQ(KQ_TString("abc").CompareWith("ab"), 1);
  EXPECT_EQ(KQ_TString().CompareWith(KQ_TString::sEmpty), 0);
  EXPECT_EQ(KQ_TString(std::uint16_t{0xFFFF}).CompareWith("a"), 1);
  EXPECT_EQ(KQ_TString("\xC3\xBF").CompareWith("\xC5\xB8", true), 0);  // ÿ and Ÿ

  // Long strings differing at every position around the vector widths.
  for (std::uint32_t length : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 100u}) {
    for (std::uint32_t at = 0; at < length; ++at) {
      KQ_TString a(std::string(length, 'm').c_str());
      KQ_TString b(a);
      b[static_cast<std::int32_t>(at)] = 'n';
      ASSERT_EQ(a.CompareWith(b), -1) << length << " " << at;
      ASSERT_EQ(b.CompareWith(a), 1);
      ASSERT_FALSE(a == b);
      b[static_cast<std::int32_t>(at)] = 'M';
      ASSERT_EQ(a.CompareWith(b, true), 0);
      ASSERT_EQ(a.CompareWith(b), 1);
    }
  }
}

TEST(StringCompare, OperatorsWorkWithEveryOperandKind) {
  KQ_TString const s("abc");
  KQ_TString const t("abd");
  EXPECT_TRUE(s == "abc");
  EXPECT_TRUE("abc" == s);
  EXPECT_TRUE(s == L"abc");
  EXPECT_TRUE(L"abc" == s);
  EXPECT_TRUE(s == u"abc");
  EXPECT_TRUE(u"abc" == s);
  EXPECT_TRUE(s == reinterpret_cast<kq::ConstUtf8Text>("abc"));
  std::uint16_t const units[] = {'a', 'b', 'c', 0};
  EXPECT_TRUE(s == units);
  EXPECT_TRUE(units == s);
  EXPECT_TRUE(s < t);
  EXPECT_TRUE(s <= t);
  EXPECT_TRUE(t > s);
  EXPECT_TRUE(t >= s);
  EXPECT_TRUE(s != t);
  EXPECT_FALSE(s != "abc");
  EXPECT_TRUE("abb" < s);
  EXPECT_TRUE("abd" > s);
  EXPECT_TRUE(s <= "abc");
  EXPECT_TRUE(s >= L"abc");
  EXPECT_TRUE(s > static_cast<char const*>(nullptr));
  EXPECT_TRUE(KQ_TString() == static_cast<wchar_t const*>(nullptr));
  EXPECT_TRUE(KQ_TString() == static_cast<std::uint16_t const*>(nullptr));
  // Only the whole string is equal: an embedded zero unit counts.
  KQ_TString withZero("ab");
  withZero += std::uint16_t{0};
  EXPECT_TRUE(withZero != "ab");
  EXPECT_TRUE(withZero > "ab");

  std::ostringstream out;
  out << KQ_TString("h\xC3\xA9") << '|' << s;
  EXPECT_EQ(out.str(), "h\xC3\xA9|abc");
}

TEST(StringMatch, FollowsThePatternLanguage) {
  EXPECT_TRUE(KQ_TString("abbbc").Matches("a*c"));
  EXPECT_TRUE(KQ_TString("ac").Matches("a*c"));
  EXPECT_FALSE(KQ_TString("ac").Matches("a?c"));
  EXPECT_TRUE(KQ_TString("y").Matches("[^x]"));
  EXPECT_TRUE(KQ_TString("]").Matches("[]]"));
  EXPECT_TRUE(KQ_TString("baz").Matches("(foo|ba(r|z))"));
  EXPECT_TRUE(KQ_TString("*").Matches("\\*"));
  EXPECT_FALSE(KQ_TString("a").Matches("\\*"));
  EXPECT_TRUE(KQ_TString("-").Matches("[a-c]"));
  EXPECT_FALSE(KQ_TString("b").Matches("[a-c]"));
  EXPECT_TRUE(KQ_TString().Matches(""));
  EXPECT_FALSE(KQ_TString("a").Matches(""));
  EXPECT_TRUE(KQ_TString("ABC").Matches("a?c", true));
  EXPECT_FALSE(KQ_TString("ABC").Matches("a?c", false));
}

TEST(StringFind, SearchesUnitsAndNeedlesWithTheStartRules) {
  KQ_TString const s("abcabc");
  EXPECT_EQ(s.Find(KQ_TString("bc")), 1);
  EXPECT_EQ(s.Find("bc", 2), 4);
  EXPECT_EQ(s.Find(reinterpret_cast<kq::ConstUtf8Text>("ca")), 2);
  EXPECT_EQ(s.Find("bc", 5), -1);
  EXPECT_EQ(s.Find("abc", 3), 3);
  EXPECT_EQ(s.Find("abc", 4), -1);
  EXPECT_EQ(s.Find("bc", -2), 4);
  EXPECT_EQ(s.Find("ab", -100), 0);
  EXPECT_EQ(s.Find("", 2), 2);
  EXPECT_EQ(s.Find("", 6), 6);
  EXPECT_EQ(s.Find("", 7), -1);
  EXPECT_EQ(s.Find("abcabcd"), -1);
  EXPECT_EQ(KQ_TString().Find(""), 0);

  // Single units, forward.
  EXPECT_EQ(s.Find('c'), 2);
  EXPECT_EQ(s.Find('c', 3), 5);
  EXPECT_EQ(s.Find('a', -1), -1);  // only the last unit is searched
  EXPECT_EQ(s.Find('c', -1), 5);
  EXPECT_EQ(s.Find(std::uint16_t{0}), 6);
  EXPECT_EQ(s.Find('\0', 3), 6);
  EXPECT_EQ(s.Find('a', 7), -1);
  EXPECT_EQ(s.Find(u'b'), 1);
  EXPECT_EQ(s.Find(L'b'), 1);
  EXPECT_EQ(s.Find(KQ_TUniChar('b'), 2), 4);
  EXPECT_EQ(KQ_TString("x\xC3\xA9").Find(static_cast<char>(0xE9)), -1);
  EXPECT_EQ(KQ_TString("x\xC3\xA9").Find(std::uint16_t{0xE9}), 1);

  // Single units, backwards.
  EXPECT_EQ(s.Find('a', -1, true), 3);
  EXPECT_EQ(s.Find('a', 2, true), 0);
  EXPECT_EQ(s.Find('c', 100, true), 5);
  EXPECT_EQ(s.Find('c', -100, true), -1);
  EXPECT_EQ(s.Find('a', -100, true), 0);
  EXPECT_EQ(s.Find('\0', -1, true), -1);
  EXPECT_EQ(KQ_TString().Find('a', 0, true), -1);

  // Sets.
  EXPECT_EQ(s.FindChars("xc"), 2);
  EXPECT_EQ(s.FindChars("xc", 3), 5);
  EXPECT_EQ(s.FindChars("xyz"), -1);
  EXPECT_EQ(s.FindChars(""), 6);
  EXPECT_EQ(s.FindChars("", 0, true), -1);
  EXPECT_EQ(s.FindChars("ab", -1, true), 4);
  EXPECT_EQ(s.FindChars("ab", 2, true), 1);
  EXPECT_EQ(KQ_TString("a\xE4\xB8\xAD"
                       "b")
                .FindChars("\xE4\xB8\xAD"),
            1);

  // Long texts exercise the vector paths.
  std::string text(1000, 'x');
  text[600] = 'y';
  text.replace(700, 5, "needl");
  text.replace(900, 6, "needle");
  KQ_TString const long_(text.c_str());
  EXPECT_EQ(long_.Find("needle"), 900);
  EXPECT_EQ(long_.Find("needle", 901), -1);
  EXPECT_EQ(long_.Find('y'), 600);
  EXPECT_EQ(long_.Find('y', 601), -1);
  EXPECT_EQ(long_.Find('n', -1, true), 900);
  EXPECT_EQ(long_.Find('y', 599, true), -1);
}

TEST(StringDerived, SubstringAndReplaceByPosition) {
  KQ_TString const s("abcdef");
  EXPECT_EQ(s.Substring(-3, 2), "de");
  EXPECT_EQ(s.Substring(10, 1).Length(), 0u);
  EXPECT_EQ(s.Substring(6).Length(), 0u);
  EXPECT_EQ(s.Substring(2), "cdef");
  EXPECT_EQ(s.Substring(2, -5), "cdef");
  EXPECT_EQ(s.Substring(2, 100), "cdef");
  EXPECT_EQ(s.Substring(-100, 2), "ab");
  EXPECT_EQ(s.Substring(1, 0).Length(), 0u);

  EXPECT_EQ(s.Replace(1, 2, "XY"), "aXYdef");
  EXPECT_EQ(s.Replace(-2, 1, "_"), "abcd_f");
  EXPECT_EQ(s.Replace(4, -1, "!"), "abcd!");
  EXPECT_EQ(s.Replace(4, 10, ""), "abcd");
  EXPECT_EQ(s.Replace(10, 1, "+"), "abcdef+");
  EXPECT_EQ(s.Replace(6, 0, "+"), "abcdef+");
  EXPECT_EQ(s.Replace(0, 0, ""), "abcdef");
  EXPECT_EQ(KQ_TString().Replace(3, 4, "with"), "with");
  EXPECT_EQ(s, "abcdef");
}

TEST(StringDerived, ReplaceOccurrencesAndUnits) {
  KQ_TString const a("aaaa");
  EXPECT_EQ(a.Replace("a", "xy", 2, 0), "xyxyaa");
  EXPECT_EQ(a.Replace("a", "xy", 0, 0), "xyxyxyxy");
  EXPECT_EQ(a.Replace("a", "xy", 0, 2), "aaxyxy");
  EXPECT_EQ(a.Replace("a", "xy", 0, -1), "aaaxy");
  EXPECT_EQ(a.Replace("aa", "b"), "bb");
  EXPECT_EQ(KQ_TString("aaa").Replace("aa", "b"), "ba");
  EXPECT_EQ(a.Replace("a", ""), "");
  EXPECT_EQ(a.Replace("", "x"), "aaaa");
  EXPECT_EQ(a.Replace("a", "x", 0, 4), "aaaa");
  EXPECT_EQ(KQ_TString().Replace("a", "x"), "");
  EXPECT_EQ(a.Replace("b", "x"), "aaaa");
  EXPECT_EQ(KQ_TString("h\xC3\xA9h\xC3\xA9").Replace("\xC3\xA9", "e"), "hehe");
  EXPECT_EQ(a.Replace(KQ_TString("a"), "b", 1), "baaa");
  EXPECT_EQ(a.Replace("a", KQ_TString("b"), 1), "baaa");
  EXPECT_EQ(a.Replace(reinterpret_cast<kq::ConstUtf8Text>("aa"),
                      reinterpret_cast<kq::ConstUtf8Text>("c")),
            "cc");

  KQ_TString const u("banana");
  EXPECT_EQ(u.Replace(KQ_TUniChar('a'), KQ_TUniChar('o')), "bonono");
  EXPECT_EQ(u.Replace(KQ_TUniChar('a'), KQ_TUniChar('o'), 2), "bonona");
  EXPECT_EQ(u.Replace(KQ_TUniChar('a'), KQ_TUniChar('o'), 0, 3), "banono");
  EXPECT_EQ(u.Replace(KQ_TUniChar('a'), KQ_TUniChar()), "bnn");
  EXPECT_EQ(u.Replace(KQ_TUniChar('a'), KQ_TUniChar(), 1), "bnana");
  EXPECT_EQ(u.Replace(KQ_TUniChar('a'), KQ_TUniChar(), 0, -2), "banan");
  EXPECT_EQ(u.Replace(KQ_TUniChar(), KQ_TUniChar('x')), "banana");
  EXPECT_EQ(u.Replace(KQ_TUniChar('a'), KQ_TUniChar('x'), 0, 6), "banana");
  EXPECT_EQ(KQ_TString().Replace(KQ_TUniChar('a'), KQ_TUniChar('x')), "");

  EXPECT_EQ(KQ_TString("abc").ReplaceChars("ab", "A", 0, 0), "Ac");
  EXPECT_EQ(KQ_TString("abcabc").ReplaceChars("cb", "CB"), "aBCaBC");
  EXPECT_EQ(KQ_TString("abcabc").ReplaceChars("cb", "CB", 3), "aBCaBc");
  EXPECT_EQ(KQ_TString("abcabc").ReplaceChars("cb", "CB", 0, 3), "abcaBC");
  EXPECT_EQ(KQ_TString("abcabc").ReplaceChars("cb", ""), "aa");
  EXPECT_EQ(KQ_TString("abcabc").ReplaceChars("", "x"), "abcabc");
  EXPECT_EQ(KQ_TString("aab").ReplaceChars("aa", "xy"), "xxb");  // first index wins
  EXPECT_EQ(KQ_TString("a\xE4\xB8\xAD").ReplaceChars("\xE4\xB8\xAD", "z"), "az");
  EXPECT_EQ(KQ_TString().ReplaceChars("a", "b"), "");
}

TEST(StringCase, MapsEveryUnitThroughTheTables) {
  KQ_TString const s("Hello \xC3\xBF \xC5\xB8 \xCE\xB1\xCE\x91 \xD0\xB4 \xE4\xB8\xAD");
  EXPECT_EQ(s.ToUpper(), "HELLO \xC5\xB8 \xC5\xB8 \xCE\x91\xCE\x91 \xD0\x94 \xE4\xB8\xAD");
  EXPECT_EQ(s.ToLower(), "hello \xC3\xBF \xC3\xBF \xCE\xB1\xCE\xB1 \xD0\xB4 \xE4\xB8\xAD");
  KQ_TString t("MiXeD");
  EXPECT_EQ(&t.MakeLower(), &t);
  EXPECT_EQ(t, "mixed");
  EXPECT_EQ(t.MakeUpper(), "MIXED");
}

TEST(StringHash, UsesTheRegistryMultiplierAndTheShift) {
  EXPECT_EQ(KQ_TString().KQ_HashValue(0), 0u);
  EXPECT_EQ(KQ_TString("a").KQ_HashValue(0), 97u);
  EXPECT_EQ(KQ_TString("ab").KQ_HashValue(0), 97u * 65521u + 98u);
  EXPECT_EQ(KQ_TString("ab").KQ_HashValue(1), ((97u * 65521u) << 1) + 98u);
  EXPECT_EQ(KQ_TString("ab").KQ_HashValue(33), KQ_TString("ab").KQ_HashValue(1));
  std::uint32_t h = 0;
  for (char c : std::string("a longer key that wraps around")) {
    h = h * 65521u + static_cast<std::uint32_t>(c);
  }
  EXPECT_EQ(KQ_TString("a longer key that wraps around").KQ_HashValue(0), h);
  EXPECT_EQ(KQ_TString("\xEF\xBF\xBF").KQ_HashValue(0), 0xFFFFu);
}

TEST(StringFormat, FormatsIntoAtMost8192Bytes) {
  EXPECT_EQ(KQ_TString::Format("%d-%s-%.2f", 42, "x\xC3\xA9", 1.5), "42-x\xC3\xA9-1.50");
  EXPECT_EQ(KQ_TString::Format(static_cast<char const*>(nullptr)).Length(), 0u);
  EXPECT_EQ(KQ_TString::Format(KQ_TString("<%s|%u>"), "\xC3\xA9", 7u), "<\xC3\xA9|7>");

  std::string const fill(8192, 'f');
  KQ_TString const exact = KQ_TString::Format("%s", fill.c_str());
  EXPECT_EQ(exact.Length(), 8192u);
  EXPECT_THROW(KQ_TString::Format("%s!", fill.c_str()), KQ_EStringFormatException);
  EXPECT_THROW(KQ_TString::Format("%9000d", 1), KQ_EStringFormatException);
  EXPECT_EQ(KQ_TString::Format("%8191d|", 1).Length(), 8192u);
  EXPECT_THROW(KQ_TString::Format("%8192d|", 1), KQ_EStringFormatException);
  // A wide character the "C" locale cannot convert makes formatting fail.
  EXPECT_THROW(KQ_TString::Format("%ls", L"\u00e9"), KQ_EStringFormatException);
  // The output is decoded as UTF-8.
  EXPECT_THROW(KQ_TString::Format("%s", "\x80"), KQ_EIllegalUTF8Character);
  // A zero byte in the output ends the text.
  EXPECT_EQ(KQ_TString::Format("a%cb", 0), "a");
}

TEST(StringStream, PrintsAndScansUtf8) {
  std::ostringstream out;
  KQ_TString("tab\t\xC3\xA9 \xE4\xB8\xAD").PrintOn(out);
  EXPECT_EQ(out.str(), "tab\t\xC3\xA9 \xE4\xB8\xAD");

  std::string source("first line\nsecond\xC3\xA9;rest");
  source += '\0';
  source += "tail";
  std::istringstream lines(source);
  KQ_TString s("old contents");
  s.ScanFrom(lines);
  EXPECT_EQ(s, "first line");
  s.ScanFrom(lines, ";x");
  EXPECT_EQ(s, "second\xC3\xA9");
  lines >> s;  // stops at the zero byte
  EXPECT_EQ(s, "rest");
  s.ScanFrom(lines, "");
  EXPECT_EQ(s, "tail");
  s.ScanFrom(lines, "");
  EXPECT_EQ(s.Length(), 0u);

  std::istringstream bad("ok\x80\n");
  EXPECT_THROW(s.ScanFrom(bad), KQ_EIllegalUTF8Character);
  std::istringstream cut("ab\xE4\xB8");
  EXPECT_THROW(s.ScanFrom(cut), KQ_EIllegalUTF8Character);
}

TEST(StringStream, KeepsCharactersWholeAcrossTheBlockBoundary) {
  // Blocks hold 255 bytes; put two- and three-byte characters across the
  // first and later boundaries at every offset.
  for (std::size_t prefix = 250; prefix < 256; ++prefix) {
    for (char const* character : {"\xC3\xA9", "\xE4\xB8\xAD"}) {
      std::string text(prefix, 'a');
      for (int k = 0; k < 200; ++k) text += character;
      std::istringstream in(text + "\nnext");
      KQ_TString s;
      s.ScanFrom(in);
      ASSERT_EQ(s.Length(), prefix + 200) << prefix;
      ASSERT_EQ(std::string(s.UTF8()), text) << prefix;
      KQ_TString next;
      next.ScanFrom(in);
      ASSERT_EQ(next, "next");
    }
  }
}

// Writes bytes into a temporary file and rewinds it.
std::FILE* FileWith(std::string const& bytes) {
  std::FILE* file = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::rewind(file);
  return file;
}

TEST(StringRead, ReadsCharactersUpToADelimiter) {
  std::FILE* file = FileWith(std::string("h\xC3\xA9llo,w\xE4\xB8\xADrld") + '\0' +
                             "z\xC3"
                             "A\x80"
                             "b");
  KQ_TString s("old");
  EXPECT_EQ(s.Read(file, ","), 1u);
  EXPECT_EQ(UnitsOf(s), (std::vector<std::uint16_t>{'h', 0xE9, 'l', 'l', 'o'}));
  EXPECT_EQ(s.Read(file, "\xE4\xB8\xAD"), 1u);  // a delimiter beyond one byte
  EXPECT_EQ(s, "w");
  EXPECT_EQ(s.Read(file, ","), 1u);  // the zero byte stops
  EXPECT_EQ(s, "rld");
  // A broken sequence and a lone continuation give the unit 0 each.
  EXPECT_EQ(s.Read(file, ","), 0u);
  EXPECT_EQ(UnitsOf(s), (std::vector<std::uint16_t>{'z', 0, 'A', 0, 'b'}));
  std::fclose(file);

  file = FileWith("end\xE4\xB8");
  EXPECT_THROW(s.Read(file, ""), KQ_EIllegalUTF8Character);
  std::fclose(file);

  std::string longText;
  for (int i = 0; i < 300; ++i) longText += "x\xC3\xA9";
  file = FileWith(longText);
  EXPECT_EQ(s.Read(file, "\n"), 0u);
  EXPECT_EQ(std::string(s.UTF8()), longText);
  std::fclose(file);
}

// Records what a string packs, in the order it packs it.
class RecordingPacker : public KQ_IPacking {
 public:
  std::vector<std::uint32_t> fLongs;
  std::vector<std::string> fPackets;
  int fOtherCalls = 0;

  KQ_IPacking& operator<<(KQ_IPackable const&) override { return Other(); }
  KQ_IPacking& operator<<(double) override { return Other(); }
  KQ_IPacking& operator<<(float) override { return Other(); }
  KQ_IPacking& operator<<(char) override { return Other(); }
  KQ_IPacking& operator<<(bool) override { return Other(); }
  KQ_IPacking& operator<<(std::uint64_t) override { return Other(); }
  KQ_IPacking& operator<<(std::uint32_t value) override {
    fLongs.push_back(value);
    return *this;
  }
  KQ_IPacking& operator<<(std::uint16_t) override { return Other(); }
  KQ_IPacking& operator<<(std::uint8_t) override { return Other(); }
  KQ_IPacking& operator<<(std::int64_t) override { return Other(); }
  KQ_IPacking& operator<<(std::int32_t) override { return Other(); }
  KQ_IPacking& operator<<(std::int16_t) override { return Other(); }
  KQ_IPacking& operator<<(std::int8_t) override { return Other(); }
  KQ_IPacking& WritePacket(void const* data, std::uint32_t size) override {
    fPackets.emplace_back(static_cast<char const*>(data), size);
    return *this;
  }
  KQ_IPacking& WriteRawPacket(void const*, std::uint32_t) override { return Other(); }
  KQ_IPacking& InsertClassHeader(char const*) override { return Other(); }
  KQ_IPacking& InsertClassTrailer(char const*) override { return Other(); }

 private:
  KQ_IPacking& Other() {
    ++fOtherCalls;
    return *this;
  }
};

// Hands out one 32-bit number and one packet.
class ScriptedUnpacker : public KQ_IUnpacking {
 public:
  ScriptedUnpacker(std::uint32_t length, std::string packet)
      : fLength(length), fPacket(std::move(packet)) {}
  std::uint32_t fLength;
  std::string fPacket;
  std::uint32_t fRequested = 0;

  using KQ_IUnpacking::ReadPacket;
  KQ_IUnpacking& operator>>(KQ_IPackable&) override { return *this; }
  KQ_IUnpacking& operator>>(double&) override { return *this; }
  KQ_IUnpacking& operator>>(float&) override { return *this; }
  KQ_IUnpacking& operator>>(char&) override { return *this; }
  KQ_IUnpacking& operator>>(bool&) override { return *this; }
  KQ_IUnpacking& operator>>(std::uint64_t&) override { return *this; }
  KQ_IUnpacking& operator>>(std::uint32_t& value) override {
    value = fLength;
    return *this;
  }
  KQ_IUnpacking& operator>>(std::uint16_t&) override { return *this; }
  KQ_IUnpacking& operator>>(std::uint8_t&) override { return *this; }
  KQ_IUnpacking& operator>>(std::int64_t&) override { return *this; }
  KQ_IUnpacking& operator>>(std::int32_t&) override { return *this; }
  KQ_IUnpacking& operator>>(std::int16_t&) override { return *this; }
  KQ_IUnpacking& operator>>(std::int8_t&) override { return *this; }
  std::uint32_t ReadPacket(void* buffer, std::uint32_t size, std::uint32_t) override {
    fRequested = size;
    std::memcpy(buffer, fPacket.data(), std::min<std::size_t>(size, fPacket.size()));
    // A packet shorter than asked for ends the data, after its bytes landed.
    if (fPacket.size() < size) KQ_THROW(KQ_EStreamEndReached());
    return size;
  }
  KQ_IUnpacking& ReadRawPacket(void*, std::uint32_t) override { return *this; }
  KQ_IUnpacking& ExtractClassHeader(char const*) override { return *this; }
  KQ_IUnpacking& ExtractClassTrailer(char const*) override { return *this; }
  void SkipData() override {}
  unsigned char Peek() override { return 0; }
  KQ_IPackable* Extract(bool) override { return nullptr; }
};

// Copies share their units until one of them changes: whatever changes a
// copy, through any writing member or the reference that indexing hands out,
// leaves every other copy as it was.
TEST(StringSharing, AChangedCopyLeavesTheOthersAlone) {
  struct Change {
    char const* name;
    std::function<void(KQ_TString&)> change;
  };
  std::vector<Change> const changes = {
      {"index", [](KQ_TString& s) { s[0] = KQ_TUniChar(u'X'); }},
      {"index from the end", [](KQ_TString& s) { s[-1] = KQ_TUniChar(u'Y'); }},
      {"append", [](KQ_TString& s) { s += "!"; }},
      {"append itself", [](KQ_TString& s) { s += s; }},
      {"assign", [](KQ_TString& s) { s = u"other"; }},
      {"truncate", [](KQ_TString& s) { s.Truncate(3); }},
      {"lower", [](KQ_TString& s) { s.MakeLower(); }},
      {"upper", [](KQ_TString& s) { s.MakeUpper(); }},
      {"scan",
       [](KQ_TString& s) {
         std::istringstream in("scanned words");
         s.ScanFrom(in);
       }},
      {"unpack",
       [](KQ_TString& s) {
         KQ_TMemoryStream memory;
         KQ_TDataStream data(memory);
         data << KQ_TString("unpacked");
         memory.Seek(0);
         data >> s;
       }},
  };
  for (Change const& c : changes) {
    KQ_TString const original("Shared Text of some length");
    KQ_TString expected(original.UTF8());  // a string of its own
    c.change(expected);
    KQ_TString copy(original);
    KQ_TString copyOfCopy = copy;
    c.change(copy);
    EXPECT_EQ(copy, expected) << c.name;
    EXPECT_EQ(original, KQ_TString("Shared Text of some length")) << c.name;
    EXPECT_EQ(copyOfCopy, original) << c.name;
  }
}

// Copies of one string made, read and changed from several threads at once
// (run under the thread sanitizer too).
TEST(StringSharing, CopiesAreSafeFromManyThreads) {
  KQ_TString const shared("one text that every thread copies");
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&shared, &wrong, t] {
      for (int i = 0; i < 2000; ++i) {
        KQ_TString copy(shared);
        KQ_TString kept = copy;
        copy += static_cast<char>('a' + t);
        if (kept != shared || copy.Length() != shared.Length() + 1 ||
            copy[-1] != KQ_TUniChar(static_cast<char16_t>('a' + t))) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(shared, KQ_TString("one text that every thread copies"));
}

TEST(StringPacking, WritesTheLengthAndBigEndianUnits) {
  RecordingPacker packer;
  KQ_TString("A\xC3\xA9\xE4\xB8\xAD").KQ_Pack(packer);
  KQ_TString().KQ_Pack(packer);
  EXPECT_EQ(packer.fOtherCalls, 0);
  EXPECT_EQ(packer.fLongs, (std::vector<std::uint32_t>{3, 0}));
  ASSERT_EQ(packer.fPackets.size(), 2u);
  EXPECT_EQ(packer.fPackets[0], std::string("\x00\x41\x00\xE9\x4E\x2D", 6));
  EXPECT_EQ(packer.fPackets[1], std::string());

  KQ_TString s("previous contents");
  ScriptedUnpacker unpacker(3, std::string("\x00\x41\x00\xE9\x4E\x2D", 6));
  s.KQ_Unpack(unpacker);
  EXPECT_EQ(unpacker.fRequested, 6u);
  EXPECT_EQ(s, "A\xC3\xA9\xE4\xB8\xAD");
  EXPECT_EQ(s.Capacity(), 32u);  // the buffer was large enough

  std::string wide;
  for (int i = 0; i < 3000; ++i) wide += std::string("\xD8\x3D\xDE\x00", 4);
  ScriptedUnpacker large(6000, wide);
  s.KQ_Unpack(large);
  EXPECT_EQ(s.Length(), 6000u);
  EXPECT_EQ(s.Capacity(), KQ_TString::CapacityFor(6000));
  EXPECT_EQ(s[0], std::uint16_t{0xD83D});
  EXPECT_EQ(s[-1], std::uint16_t{0xDE00});
  EXPECT_EQ(s.Units()[6000], 0u);

  ScriptedUnpacker empty(0, std::string());
  s.KQ_Unpack(empty);
  EXPECT_EQ(s.Length(), 0u);

  ScriptedUnpacker huge(0xFFFFFFF0u, std::string());
  EXPECT_THROW(s.KQ_Unpack(huge), KQ_EOutOfMemory);
  EXPECT_EQ(s.Length(), 0u);

  ScriptedUnpacker cut(4, std::string("\x00\x41\x00", 3));
  EXPECT_THROW(s.KQ_Unpack(cut), KQ_EStreamEndReached);
  EXPECT_EQ(s.Length(), 0u);
  EXPECT_EQ(s.Units()[0], 0u);
  EXPECT_STREQ(s.UTF8(), "");
}

TEST(StringPacking, RoundTripsThroughTheDataStream) {
  KQ_TMemoryStream memory;
  KQ_TDataStream data(memory);
  KQ_TString("A\xC3\xA9").KQ_Pack(data);
  std::string const packed(reinterpret_cast<char const*>(memory.Data()), memory.Size());
  EXPECT_EQ(packed, std::string("\x07\x00\x00\x00\x02\x0F\x00\x00\x00\x04\x00\x41\x00\xE9", 14));

  // Long enough to arrive in several pieces.
  KQ_TString big;
  for (int i = 0; i < 100000; ++i) big += static_cast<std::uint16_t>(0x20 + i % 0xFFD0);
  big.KQ_Pack(data);
  memory.Seek(0);
  KQ_TString first("something long enough to keep its own buffer of units");
  first.KQ_Unpack(data);
  EXPECT_EQ(first, "A\xC3\xA9");
  EXPECT_EQ(first.Capacity(), 64u);
  KQ_TString second;
  second.KQ_Unpack(data);
  EXPECT_EQ(second, big);
  EXPECT_EQ(second.Capacity(), KQ_TString::CapacityFor(100000));
  EXPECT_EQ(second.Units()[100000], 0u);

  // A length that the bytes do not back up raises once the data ends.
  std::string const lying("\x07\x7F\xFF\xFF\x00\x0F\xFF\xFF\xFE\x00\x00\x41\x00\x42", 14);
  KQ_TMemoryStream short_(const_cast<char*>(lying.data()), static_cast<std::uint32_t>(lying.size()),
                          static_cast<std::uint32_t>(lying.size()));
  KQ_TDataStream reader(short_);
  KQ_TString victim("kept?");
  EXPECT_THROW(victim.KQ_Unpack(reader), KQ_EStreamException);
  EXPECT_EQ(victim.Length(), 0u);
  EXPECT_LT(victim.Capacity(), 1u << 20);
}

TEST(StringPacking, ClonesComparesAndDescribesItsClass) {
  KQ_TString const s("key");
  std::unique_ptr<KQ_IPackable> clone(s.KQ_Clone());
  auto const* copy = static_cast<KQ_TString const*>(clone->KQ_Cast("KQ_TString"));
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, &s);
  EXPECT_EQ(*copy, "key");
  EXPECT_TRUE(s.KQ_IsIdent(*clone));
  EXPECT_FALSE(s.KQ_IsIdent(KQ_TString("kez")));
  EXPECT_FALSE(s.KQ_IsIdent(KQ_TAny(std::int32_t{5})));

  EXPECT_STREQ(s.ClassName(), "KQ_TString");
  EXPECT_STREQ(KQ_TString::KQ_ClassName(), "KQ_TString");
  EXPECT_TRUE(KQ_TString::KQ_HasInterface("KQ_IPackable"));
  EXPECT_TRUE(KQ_TString::KQ_HasInterface("KQ_IHumanReadable"));
  EXPECT_NE(s.KQ_Cast("KQ_IHashable"), nullptr);
  EXPECT_NE(s.KQ_Cast("KQ_IScanable"), nullptr);
  std::unique_ptr<KQ_TObject> created(KQ_TString::KQ_ClassObject()->CreateInstance());
  auto const* fresh = static_cast<KQ_TString const*>(created->KQ_Cast("KQ_TString"));
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(fresh->Length(), 0u);
}

// The kernels: both forms must agree with each other and with a plain
// reference on many random inputs.

// Characters of one, two and three bytes in their shortest forms. Unless
// valid, surrogates and some arbitrary bytes come among them.
std::vector<unsigned char> RandomUtf8ish(std::mt19937& random, std::size_t characters, bool valid) {
  std::vector<unsigned char> bytes;
  std::uniform_int_distribution<int> kind(0, valid ? 8 : 9);
  std::uniform_int_distribution<int> byte(0, 255);
  for (std::size_t i = 0; i < characters; ++i) {
    int const k = kind(random);
    unsigned const u =
        static_cast<unsigned>(byte(random)) | (static_cast<unsigned>(byte(random)) << 8);
    if (k < 5) {
      bytes.push_back(static_cast<unsigned char>(1 + u % 127));
    } else if (k < 7) {
      unsigned const v = 0x80 + u % 0x780;
      bytes.push_back(static_cast<unsigned char>(0xC0 | (v >> 6)));
      bytes.push_back(static_cast<unsigned char>(0x80 | (v & 0x3F)));
    } else if (k < 9) {
      unsigned v = 0x800 + u % 0xF800;
      if (valid && v >= 0xD800 && v <= 0xDFFF) v ^= 0x4000;
      bytes.push_back(static_cast<unsigned char>(0xE0 | (v >> 12)));
      bytes.push_back(static_cast<unsigned char>(0x80 | ((v >> 6) & 0x3F)));
      bytes.push_back(static_cast<unsigned char>(0x80 | (v & 0x3F)));
    } else {
      bytes.push_back(static_cast<unsigned char>(1 + byte(random) % 255));
    }
  }
  return bytes;
}

TEST(StringKernels, Utf8FormsAgreeOnRandomInput) {
  using namespace kq::tstring;
  std::mt19937 random(20240601);
  for (int round = 0; round < 3000; ++round) {
    std::size_t const characters = round < 2000 ? round % 80 : 300 + round % 700;
    // Most rounds stay valid UTF-8 so that decoding is exercised too.
    std::vector<unsigned char> const bytes = RandomUtf8ish(random, characters, round % 3 != 0);
    std::size_t const portable = CountUtf8Portable(bytes.data(), bytes.size());
    // The checking decoder has room for one unit per byte and must stay in it.
    std::vector<std::uint16_t> checked(bytes.size() + 1, 0xAAAA);
    ASSERT_EQ(DecodeUtf8CheckedPortable(bytes.data(), bytes.size(), checked.data()), portable);
    ASSERT_EQ(checked.back(), 0xAAAA);
#if defined(__SSE2__)
    ASSERT_EQ(CountUtf8Sse2(bytes.data(), bytes.size()), portable) << round;
    std::vector<std::uint16_t> fastChecked(bytes.size() + 1, 0xAAAA);
    ASSERT_EQ(DecodeUtf8CheckedSse2(bytes.data(), bytes.size(), fastChecked.data()), portable)
        << round;
    ASSERT_EQ(fastChecked.back(), 0xAAAA);
#endif
    if (portable == kNone) continue;
    std::vector<std::uint16_t> units(portable + 1, 0xAAAA);
    DecodeUtf8Portable(bytes.data(), bytes.size(), units.data());
    ASSERT_EQ(units[portable], 0xAAAA) << "wrote past the counted units";
    ASSERT_TRUE(std::equal(units.begin(), units.end() - 1, checked.begin()));
#if defined(__SSE2__)
    std::vector<std::uint16_t> fast(portable + 1, 0xAAAA);
    DecodeUtf8Sse2(bytes.data(), bytes.size(), fast.data());
    ASSERT_EQ(fast, units) << round;
    ASSERT_TRUE(std::equal(units.begin(), units.end() - 1, fastChecked.begin()));
#endif
    std::size_t used = 0;
    std::size_t const size = Utf8SizePortable(units.data(), portable, &used);
    ASSERT_EQ(used, portable);
    std::vector<unsigned char> encoded(size + 1, 0xAA);
    ASSERT_EQ(EncodeUtf8Portable(units.data(), used, encoded.data()), size);
    ASSERT_EQ(encoded[size], 0xAA);
#if defined(__SSE2__)
    std::size_t fastUsed = 0;
    ASSERT_EQ(Utf8SizeSse2(units.data(), portable, &fastUsed), size);
    ASSERT_EQ(fastUsed, used);
    std::vector<unsigned char> fastEncoded(size + 1, 0xAA);
    ASSERT_EQ(EncodeUtf8Sse2(units.data(), used, fastEncoded.data()), size);
    ASSERT_EQ(fastEncoded, encoded);
#endif
    // Shortest forms survive the round trip.
    if (round % 3 != 0) {
      ASSERT_EQ(std::vector<unsigned char>(encoded.begin(), encoded.begin() + size), bytes);
    }
  }
}

TEST(StringKernels, Utf8CheckFindsFaultsAtEveryPositionOfTheBlocks) {
  using namespace kq::tstring;
  char const* const pieces[] = {"\xC3",     "\xE2\x82", "\x80",     "\xBF\xBF",     "\xF0",
                                "\xF4\x8F", "\xFF",     "\xC3\xA9", "\xE2\x82\xAC", "\xE2\x61",
                                "\xC3\xC3", "\xEF\xBF", "\xC0\x80", "\xE0\x80\x80"};
  for (std::size_t length = 0; length <= 70; ++length) {
    for (std::size_t at = 0; at <= length; ++at) {
      for (char const* piece : pieces) {
        std::string text(length, 'a');
        text.insert(at, piece);
        auto const* bytes = reinterpret_cast<unsigned char const*>(text.data());
        std::size_t const portable = CountUtf8Portable(bytes, text.size());
        std::vector<std::uint16_t> out(text.size() + 1, 0xAAAA);
        ASSERT_EQ(DecodeUtf8CheckedPortable(bytes, text.size(), out.data()), portable);
        // Exactly the complete pieces are legal.
        std::string const p(piece);
        bool const legal =
            p == "\xC3\xA9" || p == "\xE2\x82\xAC" || p == "\xC0\x80" || p == "\xE0\x80\x80";
        ASSERT_EQ(portable != kNone, legal) << length << " " << at << " " << p.size();
#if defined(__SSE2__)
        ASSERT_EQ(CountUtf8Sse2(bytes, text.size()), portable) << length << " " << at;
        std::vector<std::uint16_t> fast(text.size() + 1, 0xAAAA);
        ASSERT_EQ(DecodeUtf8CheckedSse2(bytes, text.size(), fast.data()), portable)
            << length << " " << at;
        ASSERT_EQ(fast.back(), 0xAAAA);
        // Beyond the units the room may hold anything.
        if (legal) {
          ASSERT_TRUE(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(portable),
                                 fast.begin()));
        }
#endif
      }
    }
  }
}

TEST(StringKernels, SizeStopsAtTheFirstZeroUnitInBothForms) {
  using namespace kq::tstring;
  std::mt19937 random(7);
  std::uniform_int_distribution<int> unit(0, 0xFFFF);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::uint16_t> units(round % 70);
    // Many ASCII units, so that the vector path runs, and sometimes a zero.
    for (auto& u : units) {
      u = static_cast<std::uint16_t>(unit(random) % 4 == 0 ? unit(random) | 1
                                                           : 1 + unit(random) % 0x7F);
    }
    if (!units.empty() && round % 2 == 0) {
      units[static_cast<std::size_t>(unit(random)) % units.size()] = 0;
    }
    std::size_t used = 0;
    std::size_t const size = Utf8SizePortable(units.data(), units.size(), &used);
    std::size_t expectedUsed = 0;
    std::size_t expectedSize = 0;
    while (expectedUsed < units.size() && units[expectedUsed] != 0) {
      std::uint16_t const u = units[expectedUsed++];
      expectedSize += u < 0x80 ? 1 : u < 0x800 ? 2 : 3;
    }
    ASSERT_EQ(used, expectedUsed);
    ASSERT_EQ(size, expectedSize);
#if defined(__SSE2__)
    std::size_t fastUsed = 0;
    ASSERT_EQ(Utf8SizeSse2(units.data(), units.size(), &fastUsed), size);
    ASSERT_EQ(fastUsed, used);
#endif
  }
}

TEST(StringKernels, AsciiNarrowingStopsAtZeroOrWideUnitsInBothForms) {
  using namespace kq::tstring;
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::uint16_t> units(random() % 100);
    for (std::uint16_t& u : units) u = static_cast<std::uint16_t>(1 + random() % 0x7F);
    std::size_t stop = units.size();
    if (!units.empty() && round % 4 != 0) {
      stop = random() % units.size();
      units[stop] = round % 4 == 1 ? 0 : static_cast<std::uint16_t>(0x80 + random() % 0xFF00);
    }
    std::vector<unsigned char> out(units.size() + 1, 0xAA);
    ASSERT_EQ(NarrowAsciiPortable(units.data(), units.size(), out.data()), stop);
    for (std::size_t i = 0; i < stop; ++i) ASSERT_EQ(out[i], units[i]);
    ASSERT_EQ(out[stop], 0xAA);
#if defined(__SSE2__)
    std::vector<unsigned char> fast(units.size() + 1, 0xAA);
    ASSERT_EQ(NarrowAsciiSse2(units.data(), units.size(), fast.data()), stop);
    ASSERT_TRUE(
        std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(stop), fast.begin()));
#endif
  }
  // The conversion gives the same bytes whichever path it takes.
  KQ_TString mixed(u"abc\u00e9def");
  EXPECT_STREQ(mixed.UTF8(),
               "abc\xC3\xA9"
               "def");
  KQ_TString cut(u"ab");
  cut += KQ_TUniChar(std::uint16_t{0});
  cut += "cd";
  EXPECT_STREQ(cut.UTF8(), "ab");
}

TEST(StringKernels, SearchAndCompareFormsAgreeOnRandomInput) {
  using namespace kq::tstring;
  std::mt19937 random(99);
  std::uniform_int_distribution<int> letter(0, 3);
  for (int round = 0; round < 3000; ++round) {
    std::size_t const count = round < 2000 ? round % 90 : 200 + round % 500;
    std::vector<std::uint16_t> hay(count);
    for (auto& u : hay) u = static_cast<std::uint16_t>(0x61 + letter(random));
    std::uint16_t const unit = static_cast<std::uint16_t>(0x61 + letter(random));

    std::size_t first = kNone;
    std::size_t last = kNone;
    for (std::size_t i = 0; i < count; ++i) {
      if (hay[i] == unit) {
        if (first == kNone) first = i;
        last = i;
      }
    }
    ASSERT_EQ(FindUnitPortable(hay.data(), count, unit), first);
    ASSERT_EQ(FindLastUnitPortable(hay.data(), count, unit), last);

    std::size_t const needleCount = 1 + round % 13;
    std::vector<std::uint16_t> needle(needleCount);
    if (count >= needleCount && round % 2 == 0) {
      std::size_t const from = static_cast<std::size_t>(random()) % (count - needleCount + 1);
      std::copy(hay.begin() + from, hay.begin() + from + needleCount, needle.begin());
    } else {
      for (auto& u : needle) u = static_cast<std::uint16_t>(0x61 + letter(random));
    }
    std::u16string const hayText(hay.begin(), hay.end());
    std::u16string const needleText(needle.begin(), needle.end());
    std::size_t const expected = hayText.find(needleText);
    std::size_t const found = FindUnitsPortable(hay.data(), count, needle.data(), needleCount);
    ASSERT_EQ(found, expected == std::u16string::npos ? kNone : expected);

    std::vector<std::uint16_t> other(hay);
    std::size_t mismatch = count;
    if (count != 0 && round % 4 != 0) {
      mismatch = static_cast<std::size_t>(random()) % count;
      other[mismatch] ^= 0x8000;
    }
    ASSERT_EQ(FirstMismatchPortable(hay.data(), other.data(), count), mismatch);
#if defined(__SSE2__)
    ASSERT_EQ(FindUnitSse2(hay.data(), count, unit), first);
    ASSERT_EQ(FindLastUnitSse2(hay.data(), count, unit), last);
    ASSERT_EQ(FindUnitsSse2(hay.data(), count, needle.data(), needleCount), found) << round;
    ASSERT_EQ(FirstMismatchSse2(hay.data(), other.data(), count), mismatch);
#endif
  }
}

TEST(StringConversion, RoundTripsLongMixedText) {
  std::mt19937 random(5);
  std::vector<unsigned char> const bytes = RandomUtf8ish(random, 20000, true);
  std::string const valid(bytes.begin(), bytes.end());
  KQ_TString s;
  s = valid.c_str();
  EXPECT_EQ(s.Length(), 20000u);
  EXPECT_EQ(std::string(s.UTF8()), valid);
  EXPECT_EQ(KQ_TString(static_cast<wchar_t*>(s)), s);
  EXPECT_EQ(KQ_TString(static_cast<std::uint16_t*>(s)), s);
  std::ostringstream out;
  out << s;
  EXPECT_EQ(out.str(), valid);
}

}  // namespace
