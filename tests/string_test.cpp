// KQ_TString: capacity, UTF-8 and its kernels, every argument kind, searches,
// derived strings, case, hashing, formatting, streams, packing, sharing.
#include <cwchar>
#include <random>
#include <tuple>

#include "internal/kq_tstring_simd.h"
#include "kq_tany.h"
#include "kq_tstring.h"
#include "test_support.h"

namespace {

using kqtest::ExpectOrder;
using Units = std::vector<std::uint16_t>;

// A string made at static initialisation of this unit from the shared
// strings of another unit.
KQ_TString const gStaticCopy = KQ_TString::sLineFeed + KQ_TString::sEmpty;

Units UnitsOf(KQ_TString const& s) { return Units(s.Units(), s.Units() + s.Length()); }

kq::ConstUtf8Text Utf8(char const* text) { return reinterpret_cast<kq::ConstUtf8Text>(text); }

TEST(StringCapacity, FollowsTheStepRuleEverywhere) {
  std::uint32_t const steps[][2] = {{0, 16},      {15, 16},     {16, 32},     {2047, 2048},
                                    {2048, 2064}, {2049, 2112}, {2111, 2112}, {2112, 2176}};
  for (auto const& step : steps) {
    EXPECT_EQ(KQ_TString::CapacityFor(step[0]), step[1]);
    EXPECT_EQ(KQ_TString(std::string(step[0], 'x').c_str()).Capacity(), step[1]) << step[0];
  }
  KQ_TString reserved(100);
  EXPECT_EQ(reserved.Length(), 0u);
  EXPECT_EQ(reserved.Capacity(), 112u);

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
  // The shared strings exist before other units' static initialisers run.
  EXPECT_EQ(UnitsOf(gStaticCopy), Units{u'\n'});
}

TEST(StringUtf8, DecodesOneTwoAndThreeByteCharactersAndOverlongForms) {
  // Bytes, bound, units, and whether the units encode back to the bytes.
  std::uint32_t const all = KQ_TString::kUpToZero;
  std::tuple<char const*, std::uint32_t, Units, bool> const cases[] = {
      {"\x7F", all, {0x007F}, true},
      {"\xDF\xBF", all, {0x07FF}, true},
      {"\xE0\xA0\x80", all, {0x0800}, true},
      {"\xEF\xBF\xBF", all, {0xFFFF}, true},
      {"a\xC2\x80z", all, {0x0061, 0x0080, 0x007A}, true},
      {"\xED\xA0\xBD\xED\xB8\x80", all, {0xD83D, 0xDE00}, true},
      {"\xC1\xA1", all, {0x0061}, false},
      {"\xC0\x80", all, {0x0000}, false},
      // The bound cuts like the zero byte does.
      {"ab\xE2\x82\xAC", 2, {'a', 'b'}, false},
  };
  for (auto const& [bytes, n, units, shortest] : cases) {
    SCOPED_TRACE(bytes);
    KQ_TString const s(bytes, n);
    EXPECT_EQ(UnitsOf(s), units);
    if (!shortest) continue;
    EXPECT_STREQ(static_cast<char*>(s), bytes);
  }
  // Encoding stops at the first zero unit.
  KQ_TString const s = KQ_TString("a") + u'\0' + u'b';
  EXPECT_EQ(s.Length(), 3u);
  EXPECT_STREQ(s.UTF8(), "a");
}

TEST(StringUtf8, RejectsFourByteLeadsLoneContinuationsAndCutSequences) {
  std::vector<std::pair<std::string, std::uint32_t>> cases = {
      {"\xC3\xA9", 1}, {"ab\xE2\x82\xAC", 4}, {"ab\xE2\x82\xAC", 3}};
  for (char const* b : {"\xF0\x9F\x98\x80", "\x80", "\xF8\x80\x80\x80\x80", "\xFF", "\xC3",
                        "\xC3\x41", "\xE2\x82", "\xE2\x82\x41", "\xE2\x41\xAC"}) {
    cases.emplace_back(b, KQ_TString::kUpToZero);
  }
  for (auto const& [bytes, n] : cases) {
    EXPECT_THROW(KQ_TString(bytes.c_str(), n), KQ_EIllegalUTF8Character) << bytes;
  }
  // A failed assignment or append leaves the string as it was.
  KQ_TString kept("keep");
  EXPECT_THROW(kept = "\xF0\x9F\x98\x80", KQ_EIllegalUTF8Character);
  EXPECT_THROW(kept += "x\x80", KQ_EIllegalUTF8Character);
  EXPECT_EQ(kept, "keep");
}

TEST(StringUtf8Rules, StandardUtf8TakesEveryCharacterAndNothingElse) {
  using Rule = KQ_TString::UTF8Rule;
  std::pair<std::string, Units> const good[] = {
      {std::string("a\0b", 3), {0x61, 0, 0x62}},
      {"\xC2\x80\xDF\xBF", {0x80, 0x7FF}},
      {"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF", {0x800, 0xD7FF, 0xE000, 0xFFFF}},
      {"\xF0\x90\x80\x80", {0xD800, 0xDC00}},
      {"\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}},
      {std::string(40, 'z') + "\xC3\xA4", {}}};
  for (auto const& [bytes, units] : good) {
    KQ_TString const s = KQ_TString::FromUTF8(bytes.data(), bytes.size(), Rule::kStandard);
    EXPECT_TRUE(units.empty() || UnitsOf(s) == units) << bytes;
    EXPECT_EQ(s.ToUTF8(Rule::kStandard), bytes);
  }
  // Overlong forms, encoded surrogates, beyond U+10FFFF, stray and cut bytes.
  for (char const* b :
       {"\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
        "\xF5\x80\x80\x80", "\x80", "\xE2\x82", "\xF0\x9F\x98", "\xC3\x41", "\xFF"}) {
    EXPECT_THROW(KQ_TString::FromUTF8(b, std::strlen(b), Rule::kStandard), KQ_EIllegalUTF8Character)
        << b;
  }
  // A lone surrogate goes out as U+FFFD, so the output is always valid; the
  // library's rule writes every unit on its own.
  std::uint16_t const lone[] = {0x41, 0xD83D, 0x42, 0xDE00, 0};
  EXPECT_EQ(KQ_TString(lone).ToUTF8(Rule::kStandard), "A\xEF\xBF\xBD\x42\xEF\xBF\xBD");
  std::uint16_t const pair[] = {0xD83D, 0xDE00, 0};
  EXPECT_EQ(KQ_TString(pair).ToUTF8(Rule::kLibrary), "\xED\xA0\xBD\xED\xB8\x80");
  EXPECT_EQ(KQ_TString::FromUTF8("\xC0\x80\0x", 4, Rule::kLibrary).Length(), 3u);
  EXPECT_THROW(KQ_TString::FromUTF8("\xF0\x9F\x98\x80", 4, Rule::kLibrary),
               KQ_EIllegalUTF8Character);
}

TEST(StringUtf8Rules, BytesRoundTripWhateverTheyHold) {
  using Rule = KQ_TString::UTF8Rule;
  std::vector<std::string> inputs = {
      "", "plain", "\x80", "\xFF\xFE", "\xED\xA0\x80", "a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80\xC3"};
  std::string every;
  for (int b = 1; b < 256; ++b) every += static_cast<char>(b);
  inputs.push_back(every);
  for (std::string const& bytes : inputs) {
    KQ_TString const s = KQ_TString::FromUTF8(bytes.data(), bytes.size(), Rule::kBytes);
    EXPECT_EQ(s.ToUTF8(Rule::kBytes), bytes);
  }
  // Valid text decodes as standard UTF-8; each invalid byte is one unit.
  EXPECT_EQ(UnitsOf(KQ_TString::FromUTF8("\xF0\x9F\x98\x80\xC0\x80", 6, Rule::kBytes)),
            (Units{0xD83D, 0xDE00, 0xDCC0, 0xDC80}));
  // Other lone surrogates go out in three bytes.
  std::uint16_t const lone[] = {0xDC10, 0};
  EXPECT_EQ(KQ_TString(lone).ToUTF8(Rule::kBytes), "\xED\xB0\x90");
}

// Construction, assignment, append and operator+ of each argument give units.
template <class... A>
void ExpectEveryFormGives(Units const& units, A... args) {
  Units appended = {'x'};
  appended.insert(appended.end(), units.begin(), units.end());
  auto const check = [&](auto arg) {
    EXPECT_EQ(UnitsOf(KQ_TString(arg)), units);
    KQ_TString assigned("previous");
    assigned = arg;
    EXPECT_EQ(UnitsOf(assigned), units);
    KQ_TString grown("x");
    grown += arg;
    EXPECT_EQ(UnitsOf(grown), appended);
    EXPECT_EQ(UnitsOf(KQ_TString("x") + arg), appended);
  };
  (check(args), ...);
}

TEST(StringArguments, EveryKindBuildsAssignsAndAppends) {
  std::uint16_t const units[] = {'a', 0x00E9, 'c', 0, 'x'};
  // Invalid code points and lone surrogates become U+FFFD; a pair already
  // split into two wide characters is kept. Null pointers and a zero first
  // unit give the empty string; a char is a signed byte.
  wchar_t const invalid[] = {0x110000, 0xD800, 'a', 0xDC00, static_cast<wchar_t>(-5), 0x10FFFF, 0};
  wchar_t const pair[] = {0xD83D, 0xDE00, 0};
  std::uint16_t const zeroFirst[] = {0, 'x', 0};
  wchar_t const wideZeroFirst[] = {0, 'x', 0};
  ExpectEveryFormGives(
      {}, static_cast<char const*>(nullptr), static_cast<kq::ConstUtf8Text>(nullptr),
      static_cast<std::uint16_t const*>(nullptr), static_cast<char16_t const*>(nullptr),
      static_cast<wchar_t const*>(nullptr), zeroFirst, wideZeroFirst);
  ExpectEveryFormGives({'h', 0xE9}, "h\xC3\xA9", Utf8("h\xC3\xA9"), u"h\u00e9");
  ExpectEveryFormGives({'a', 0xE9, 'c'}, units);
  ExpectEveryFormGives({'x', 0xD83D, 0xDE00, 'y'}, L"x\U0001F600y");
  ExpectEveryFormGives({0xFFFD, 0xFFFD, 'a', 0xFFFD, 0xFFFD, 0xDBFF, 0xDFFF}, invalid);
  ExpectEveryFormGives({0xD83D, 0xDE00}, pair, L'\U0001F600');
  ExpectEveryFormGives({'a', 'b'}, KQ_TString("ab"));
  ExpectEveryFormGives({0xFFE9}, static_cast<char>(0xE9));
  ExpectEveryFormGives({0xD800}, std::uint16_t{0xD800});
  ExpectEveryFormGives({0}, std::uint16_t{0}, L'\0');

  // The bounds count units and wide characters.
  EXPECT_EQ(UnitsOf(KQ_TString(units, 2)), (Units{'a', 0xE9}));
  EXPECT_EQ(KQ_TString(reinterpret_cast<KQ_TUniChar const*>(units), 100).Length(), 3u);
  EXPECT_EQ(KQ_TString(L"a\U0001F600b", 2).Length(), 3u);
  EXPECT_EQ(L"x" + KQ_TString("y"), "xy");
  EXPECT_EQ((KQ_TString("ab") + KQ_TString("cd")).Capacity(), 16u);

  // Out as wide characters, pairs become UTF-32 and lone surrogates U+FFFD.
  EXPECT_EQ(std::wstring(static_cast<wchar_t*>(KQ_TString(L"x\U0001F600y"))), L"x\U0001F600y");
  std::uint16_t const lone[] = {0xDE00, 'a', 0xD83D, 0};
  EXPECT_EQ(std::wstring(static_cast<wchar_t*>(KQ_TString(lone))), L"\xFFFD\x61\xFFFD");
}

TEST(StringArguments, AssignmentAndAppendTakeTheirOwnUnits) {
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

  // Appending the string to itself, and a part of itself, across a growth.
  KQ_TString grow(std::string(15, 'x').c_str());
  grow += grow;
  EXPECT_EQ(grow, std::string(30, 'x').c_str());
  KQ_TString tail("0123456789abcdef");
  tail += tail.Units() + 10;
  EXPECT_EQ(tail, "0123456789abcdefabcdef");
}

TEST(StringAccess, IndexesFromBothEndsAndGuardsTheRange) {
  KQ_TString s("abc");
  // Out of range the mutable form hands out a zero unit that is reset on
  // every access, so a write to it never shows.
  std::int64_t const big = std::int64_t{1} << 40;
  std::pair<std::int64_t, char> const at[] = {{0, 'a'}, {-1, 'c'}, {-3, 'a'}, {1, 'b'},
                                              {3, 0},   {-4, 0},   {big, 0},  {-big, 0}};
  for (auto const& [index, unit] : at) {
    KQ_TString const& cs = s;
    EXPECT_EQ(std::uint16_t(cs[index]), static_cast<std::uint16_t>(unit)) << index;
    s[index] = 'x';
    EXPECT_EQ(std::uint16_t(s[index]), unit == 0 ? 0 : 'x') << index;
    std::string written = "abc";
    if (unit != 0) written[static_cast<std::size_t>(index + 3) % 3] = 'x';
    EXPECT_STREQ(s.UTF8(), written.c_str()) << index;
    s = "abc";
  }
  EXPECT_EQ(std::uint16_t(s[0xFFFFFFFFu]), 0u);
  // Beyond the end of a shortened string its old units still lie in the buffer.
  KQ_TString shortened("abcdef");
  shortened.Truncate(2);
  KQ_TString const& cShortened = shortened;
  EXPECT_EQ(std::uint16_t(cShortened[3]), 0u);

  std::uint16_t* copy = s;
  EXPECT_NE(copy, s.Units());
  EXPECT_EQ(std::memcmp(copy, s.Units(), 4 * sizeof(std::uint16_t)), 0);

  EXPECT_EQ(s.Truncate(1), "a");
  EXPECT_EQ(s.Units()[1], 0u);
  EXPECT_EQ(s.Capacity(), 16u);
}

TEST(StringCompare, OrdersUnitsUnsignedWithAndWithoutCase) {
  // Units compare unsigned; ÿ and Ÿ are one pair.
  std::tuple<KQ_TString, KQ_TString, bool, int> const cases[] = {
      {"abc", "ABD", true, -1}, {"abc", "ABC", true, 0},        {"abc", "ABC", false, 1},
      {"ab", "abc", false, -1}, {"abc", "ab", false, 1},        {"\xC3\xBF", "\xC5\xB8", true, 0},
      {"", "", false, 0},       {"\xEF\xBF\xBF", "a", false, 1}};
  for (auto const& [left, right, ignoreCase, order] : cases) {
    EXPECT_EQ(left.CompareWith(right, ignoreCase), order) << left << " " << right;
  }
  // Long strings take the vector paths.
  KQ_TString const a(std::string(100, 'm').c_str());
  EXPECT_EQ(a.CompareWith(a.Replace(99, 1, "n")), -1);
  EXPECT_EQ(a.CompareWith(a.Replace(40, 1, "M"), true), 0);
}

TEST(StringCompare, OperatorsWorkWithEveryOperandKind) {
  KQ_TString const s("abc");
  std::uint16_t const units[] = {'a', 'b', 'c', 0};
  ExpectOrder(s, KQ_TString("abd"), -1);
  ExpectOrder(s, "abb", 1);
  ExpectOrder(s, units, 0);
  ExpectOrder(s, L"ab", 1);
  ExpectOrder(s, static_cast<char const*>(nullptr), 1);
  ExpectOrder(KQ_TString(), static_cast<wchar_t const*>(nullptr), 0);
  // Only the whole string is equal: an embedded zero unit counts.
  ExpectOrder(KQ_TString("ab") + std::uint16_t{0}, "ab", 1);
  EXPECT_TRUE("abc" == s && L"abc" == s && "abb" < s && "abd" > s);
}

TEST(StringFind, SearchesUnitsAndNeedlesWithTheStartRules) {
  KQ_TString const s("abcabc");
  std::tuple<char const*, std::int32_t, std::int32_t> const needles[] = {
      {"bc", 0, 1},  {"bc", 2, 4},   {"ca", 0, 2},  {"bc", 5, -1},
      {"abc", 3, 3}, {"abc", 4, -1}, {"bc", -2, 4}, {"ab", -100, 0},
      {"", 2, 2},    {"", 6, 6},     {"", 7, -1},   {"abcabcd", 0, -1}};
  for (auto const& [needle, start, found] : needles) {
    EXPECT_EQ(s.Find(KQ_TString(needle), start), found) << needle << " from " << start;
  }
  EXPECT_EQ(KQ_TString().Find(""), 0);
  // Forward, from -1 only the last unit is searched and the zero unit is
  // found at the end; backwards, a start beyond the end is lowered.
  std::tuple<char, std::int32_t, bool, std::int32_t> const units[] = {
      {'c', 0, false, 2},   {'c', 3, false, 5},  {'a', -1, false, -1}, {'c', -1, false, 5},
      {'\0', 0, false, 6},  {'\0', 3, false, 6}, {'a', 7, false, -1},  {'b', 2, false, 4},
      {'a', -1, true, 3},   {'a', 2, true, 0},   {'c', 100, true, 5},  {'c', -100, true, -1},
      {'a', -100, true, 0}, {'\0', -1, true, -1}};
  for (auto const& [unit, start, reverse, found] : units) {
    EXPECT_EQ(s.Find(unit, start, reverse), found) << unit << " from " << start << " " << reverse;
  }
  EXPECT_EQ(KQ_TString("x\xC3\xA9").Find(static_cast<char>(0xE9)), -1);  // a signed byte
  EXPECT_EQ(KQ_TString("x\xC3\xA9").Find(std::uint16_t{0xE9}), 1);
  std::tuple<char const*, std::int32_t, bool, std::int32_t> const sets[] = {
      {"xc", 0, false, 2}, {"xc", 3, false, 5}, {"xyz", 0, false, -1}, {"", 0, false, 6},
      {"", 0, true, -1},   {"ab", -1, true, 4}, {"ab", 2, true, 1}};
  for (auto const& [set, start, reverse, found] : sets) {
    EXPECT_EQ(s.FindChars(set, start, reverse), found) << set << " from " << start;
  }
  EXPECT_EQ(KQ_TString("a\xE4\xB8\xAD\x62").FindChars("\xE4\xB8\xAD"), 1);
}

TEST(StringDerived, SubstringsAndReplacementsLeaveTheSourceAlone) {
  KQ_TString const s("abcdef");
  // With null: the substring.
  std::tuple<std::int32_t, std::int32_t, char const*, char const*> const parts[] = {
      {-3, 2, nullptr, "de"},   {10, 1, nullptr, ""},      {6, -1, nullptr, ""},
      {2, -1, nullptr, "cdef"}, {2, 100, nullptr, "cdef"}, {-100, 2, nullptr, "ab"},
      {1, 0, nullptr, ""},      {1, 2, "XY", "aXYdef"},    {-2, 1, "_", "abcd_f"},
      {4, -1, "!", "abcd!"},    {4, 10, "", "abcd"},       {10, 1, "+", "abcdef+"}};
  for (auto const& [start, count, with, result] : parts) {
    EXPECT_EQ(with == nullptr ? s.Substring(start, count) : s.Replace(start, count, with), result)
        << start << " " << count;
  }
  EXPECT_EQ(KQ_TString().Replace(3, 4, "with"), "with");
  EXPECT_EQ(s, "abcdef");

  // Text, what, with, maxCount, start and the result.
  using Replacement =
      std::tuple<char const*, char const*, char const*, std::uint32_t, std::int32_t, char const*>;
  Replacement const occurrences[] = {
      {"aaaa", "a", "xy", 2, 0, "xyxyaa"}, {"aaaa", "a", "xy", 0, 0, "xyxyxyxy"},
      {"aaaa", "a", "xy", 0, 2, "aaxyxy"}, {"aaaa", "a", "xy", 0, -1, "aaaxy"},
      {"aaa", "aa", "b", 0, 0, "ba"},      {"aaaa", "", "x", 0, 0, "aaaa"},
      {"aaaa", "a", "x", 0, 4, "aaaa"},    {"aaaa", "b", "x", 0, 0, "aaaa"}};
  for (auto const& [source, what, with, maxCount, start, result] : occurrences) {
    KQ_TString const text(source);
    EXPECT_EQ(text.Replace(what, with, maxCount, start), result)
        << source << " " << what << " " << maxCount << " " << start;
  }

  // Units: the zero unit as to removes, as from changes nothing. Sets: the
  // first index of a unit in from wins, a unit beyond to is removed.
  Replacement const units[] = {
      {"banana", "a", "o", 0, 0, "bonono"}, {"banana", "a", "o", 2, 0, "bonona"},
      {"banana", "a", "o", 0, 3, "banono"}, {"banana", "a", "", 0, 0, "bnn"},
      {"banana", "a", "", 0, -2, "banan"},  {"banana", "", "x", 0, 0, "banana"},
      {"banana", "a", "x", 0, 6, "banana"}};
  for (auto const& [text, from, to, maxCount, start, result] : units) {
    EXPECT_EQ(KQ_TString(text).Replace(KQ_TUniChar(*from), KQ_TUniChar(*to), maxCount, start),
              result)
        << from << to << " " << maxCount << " " << start;
  }
  Replacement const sets[] = {
      {"abc", "ab", "A", 0, 0, "Ac"},         {"abcabc", "cb", "CB", 0, 0, "aBCaBC"},
      {"abcabc", "cb", "CB", 3, 0, "aBCaBc"}, {"abcabc", "cb", "CB", 0, 3, "abcaBC"},
      {"abcabc", "cb", "", 0, 0, "aa"},       {"abcabc", "", "x", 0, 0, "abcabc"},
      {"aab", "aa", "xy", 0, 0, "xxb"},       {"a\xE4\xB8\xAD", "\xE4\xB8\xAD", "z", 0, 0, "az"}};
  for (auto const& [text, from, to, maxCount, start, result] : sets) {
    EXPECT_EQ(KQ_TString(text).ReplaceChars(from, to, maxCount, start), result)
        << text << " " << from << " " << maxCount << " " << start;
  }
  // Replacing by nothing removes every occurrence.
  EXPECT_EQ(KQ_TString("aaaa").Replace("a", ""), "");
}

TEST(StringCase, MapsEveryUnitThroughTheTablesAndMatchesWithOrWithoutCase) {
  KQ_TString const s("Hello \xC3\xBF \xC5\xB8 \xCE\xB1\xCE\x91 \xD0\xB4 \xE4\xB8\xAD");
  EXPECT_EQ(s.ToUpper(), "HELLO \xC5\xB8 \xC5\xB8 \xCE\x91\xCE\x91 \xD0\x94 \xE4\xB8\xAD");
  EXPECT_EQ(s.ToLower(), "hello \xC3\xBF \xC3\xBF \xCE\xB1\xCE\xB1 \xD0\xB4 \xE4\xB8\xAD");
  EXPECT_EQ(KQ_TString("MiXeD").MakeLower(), "mixed");
  // Patterns match with and without case.
  EXPECT_TRUE(KQ_TString("ABC").Matches("a?c", true));
  EXPECT_FALSE(KQ_TString("ABC").Matches("a?c", false));
}

TEST(StringHash, MultipliesBy65521AndShiftsBeforeEachUnit) {
  // "ab": 97 * 65521 + 98; shifted by 1: (97 * 65521 << 1) + 98.
  std::tuple<char const*, std::uint32_t, std::uint32_t> const cases[] = {
      {"ab", 0, 6355635},
      {"ab", 1, 12711172},
      {"ab", 33, 12711172},
      {"abc", 5, 0x95944CA3},
      {"\xEF\xBF\xBF", 0, 0xFFFF},
      {"", 0, 0},
      {"a longer key that wraps around", 3, 0xD8826014u}};
  for (auto const& [text, shift, hash] : cases) {
    EXPECT_EQ(KQ_TString(text).KQ_HashValue(shift), hash) << text;
  }
}

TEST(StringFormat, FormatsIntoAtMost8192Bytes) {
  EXPECT_EQ(KQ_TString::Format("%d-%s-%.2f", 42, "x\xC3\xA9", 1.5), "42-x\xC3\xA9-1.50");
  EXPECT_EQ(KQ_TString::Format(static_cast<char const*>(nullptr)).Length(), 0u);

  std::string const fill(8192, 'f');
  KQ_TString const exact = KQ_TString::Format("%s", fill.c_str());
  EXPECT_EQ(exact.Length(), 8192u);
  EXPECT_THROW(KQ_TString::Format("%s!", fill.c_str()), KQ_EStringFormatException);
  // A wide character the "C" locale cannot convert makes formatting fail.
  EXPECT_THROW(KQ_TString::Format("%ls", L"\u00e9"), KQ_EStringFormatException);
  // The output is decoded as UTF-8.
  EXPECT_THROW(KQ_TString::Format("%s", "\x80"), KQ_EIllegalUTF8Character);
  // A zero byte in the output ends the text.
  EXPECT_EQ(KQ_TString::Format("a%cb", 0), "a");
}

TEST(StringStream, PrintsAndScansUtf8) {
  EXPECT_EQ(kqtest::Printed(KQ_TString("tab\t\xC3\xA9 \xE4\xB8\xAD")),
            "tab\t\xC3\xA9 \xE4\xB8\xAD");

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
  std::FILE* file =
      FileWith(std::string("h\xC3\xA9llo,w\xE4\xB8\xADrld") + '\0' + "z\xC3\x41\x80\x62");
  KQ_TString s("old");
  EXPECT_EQ(s.Read(file, ","), 1u);
  EXPECT_EQ(UnitsOf(s), (Units{'h', 0xE9, 'l', 'l', 'o'}));
  EXPECT_EQ(s.Read(file, "\xE4\xB8\xAD"), 1u);  // a delimiter beyond one byte
  EXPECT_EQ(s, "w");
  EXPECT_EQ(s.Read(file, ","), 1u);  // the zero byte stops
  EXPECT_EQ(s, "rld");
  // A broken sequence and a lone continuation give the unit 0 each.
  EXPECT_EQ(s.Read(file, ","), 0u);
  EXPECT_EQ(UnitsOf(s), (Units{'z', 0, 'A', 0, 'b'}));
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

// Copies share their units until one changes: any writing member, or the
// reference indexing hands out, leaves every other copy as it was.
TEST(StringSharing, AChangedCopyLeavesTheOthersAlone) {
  struct Change {
    char const* name;
    std::function<void(KQ_TString&)> change;
  };
  std::vector<Change> const changes = {
      {"index", [](KQ_TString& s) { s[0] = KQ_TUniChar(u'X'); }},
      {"append", [](KQ_TString& s) { s += "!"; }},
      {"assign", [](KQ_TString& s) { s = u"other"; }},
      {"truncate", [](KQ_TString& s) { s.Truncate(3); }},
      {"unpack",
       [](KQ_TString& s) { kqtest::ReadInto(s, kqtest::Packed(KQ_TString("unpacked"))); }},
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

// Moving takes the units themselves and leaves an empty string that can be
// used again.
TEST(StringSharing, AMovedStringTakesItsSourcesUnits) {
  KQ_TString source("moved text of some length");
  std::uint16_t const* const units = source.Units();
  KQ_TString const taken(std::move(source));
  EXPECT_EQ(taken.Units(), units);
  EXPECT_EQ(taken, KQ_TString("moved text of some length"));
  EXPECT_EQ(source.Length(), 0u);  // NOLINT(bugprone-use-after-move)
  source += "again";
  EXPECT_EQ(source, KQ_TString("again"));
  EXPECT_EQ(taken, KQ_TString("moved text of some length"));
}

// Copies made, read and changed on several threads (under the thread sanitizer too).
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

// The packed bytes are among the data stream's golden vectors.
TEST(StringPacking, ReadsTheLengthAndUnitsIntoABufferLargeEnough) {
  // Read back from a recording: the buffer is kept when large enough.
  auto reading = [](std::uint32_t length, std::string const& packet) {
    auto recorder = std::make_unique<ElementRecorder>();
    *recorder << length;
    recorder->WritePacket(packet.data(), static_cast<std::uint32_t>(packet.size()));
    return recorder;
  };
  KQ_TString s("previous contents");
  auto small = reading(3, std::string("\x00\x41\x00\xE9\x4E\x2D", 6));
  s.KQ_Unpack(*small);
  EXPECT_EQ(s, "A\xC3\xA9\xE4\xB8\xAD");
  EXPECT_EQ(s.Capacity(), 32u);
  s.KQ_Unpack(*reading(0, ""));
  EXPECT_EQ(s.Length(), 0u);
  // Reading that fails leaves the string empty, whether the length is
  // refused or the units end early.
  s = "x";
  EXPECT_THROW(s.KQ_Unpack(*reading(0xFFFFFFF0u, "")), KQ_EOutOfMemory);
  EXPECT_EQ(s.Length(), 0u);
  s = "x";
  EXPECT_THROW(s.KQ_Unpack(*reading(4, std::string("\x00\x41\x00", 3))), KQ_EStreamEndReached);
  EXPECT_EQ(s.Length(), 0u);
  EXPECT_STREQ(s.UTF8(), "");
}

TEST(StringPacking, RoundTripsAndClonesThroughTheDataStream) {
  KQ_TMemoryStream memory;
  KQ_TDataStream data(memory);
  // Long enough to arrive in several pieces.
  KQ_TString big;
  for (int i = 0; i < 100000; ++i) big += static_cast<std::uint16_t>(0x20 + i % 0xFFD0);
  big.KQ_Pack(data);
  memory.Seek(0);
  KQ_TString second;
  second.KQ_Unpack(data);
  EXPECT_EQ(second, big);
  EXPECT_EQ(second.Capacity(), KQ_TString::CapacityFor(100000));
  EXPECT_EQ(second.Units()[100000], 0u);

  // A length the bytes do not back up raises, without a buffer of that length.
  KQ_TString victim("kept?");
  kqtest::Input lying({7, 0x7F, 0xFF, 0xFF, 0, 0x0F, 0xFF, 0xFF, 0xFE, 0, 0, 0x41, 0, 0x42});
  EXPECT_THROW(victim.KQ_Unpack(lying.data), KQ_EStreamException);
  EXPECT_EQ(victim.Length(), 0u);
  EXPECT_LT(victim.Capacity(), 1u << 20);

  // Clones and identity go by the units.
  KQ_TString const s("key");
  EXPECT_TRUE(s.KQ_IsIdent(*std::unique_ptr<KQ_IPackable>(s.KQ_Clone())));
  EXPECT_FALSE(s.KQ_IsIdent(KQ_TString("kez")));
}

// The kernels: both forms agree with each other and a reference on random input.
namespace k = kq::tstring;

struct Kernels {
  char const* name;
  decltype(&k::CountUtf8Portable) count;
  decltype(&k::DecodeUtf8Portable) decode;
  decltype(&k::DecodeUtf8CheckedPortable) decodeChecked;
  decltype(&k::Utf8SizePortable) size;
  decltype(&k::EncodeUtf8Portable) encode;
  decltype(&k::NarrowAsciiPortable) narrow;
  decltype(&k::FirstMismatchPortable) mismatch;
  decltype(&k::FindUnitPortable) findUnit;
  decltype(&k::FindLastUnitPortable) findLastUnit;
  decltype(&k::FindUnitsPortable) findUnits;
};

Kernels const kKernels[] = {
    {"portable", k::CountUtf8Portable, k::DecodeUtf8Portable, k::DecodeUtf8CheckedPortable,
     k::Utf8SizePortable, k::EncodeUtf8Portable, k::NarrowAsciiPortable, k::FirstMismatchPortable,
     k::FindUnitPortable, k::FindLastUnitPortable, k::FindUnitsPortable},
#if defined(__SSE2__)
    {"sse2", k::CountUtf8Sse2, k::DecodeUtf8Sse2, k::DecodeUtf8CheckedSse2, k::Utf8SizeSse2,
     k::EncodeUtf8Sse2, k::NarrowAsciiSse2, k::FirstMismatchSse2, k::FindUnitSse2,
     k::FindLastUnitSse2, k::FindUnitsSse2},
#endif
};

// Characters of one, two and three bytes in their shortest forms. Unless
// valid, surrogates and some arbitrary bytes come among them.
std::vector<unsigned char> RandomUtf8ish(std::mt19937& random, std::size_t characters, bool valid) {
  std::vector<unsigned char> bytes;
  auto const put = [&bytes](unsigned b) { bytes.push_back(static_cast<unsigned char>(b)); };
  for (std::size_t i = 0; i < characters; ++i) {
    unsigned const kind = random() % (valid ? 9 : 10);
    unsigned const u = random() % 0x10000;
    unsigned v = kind < 5 ? 1 + u % 127 : kind < 7 ? 0x80 + u % 0x780 : 0x800 + u % 0xF800;
    if (valid && v >= 0xD800 && v <= 0xDFFF) v ^= 0x4000;
    if (kind == 9) {
      put(1 + random() % 255);
    } else if (v < 0x80) {
      put(v);
    } else if (v < 0x800) {
      put(0xC0 | v >> 6), put(0x80 | (v & 0x3F));
    } else {
      put(0xE0 | v >> 12), put(0x80 | (v >> 6 & 0x3F)), put(0x80 | (v & 0x3F));
    }
  }
  return bytes;
}

TEST(StringKernels, Utf8FormsAgreeOnRandomInput) {
  std::mt19937 random(20240601);
  for (int round = 0; round < 3000; ++round) {
    std::size_t const characters = round < 2000 ? round % 80 : 300 + round % 700;
    // Most rounds stay valid UTF-8 so that decoding is exercised too.
    bool const valid = round % 3 != 0;
    std::vector<unsigned char> const bytes = RandomUtf8ish(random, characters, valid);
    std::size_t const count = k::CountUtf8Portable(bytes.data(), bytes.size());
    Units reference;
    std::vector<unsigned char> encoded;
    for (Kernels const& f : kKernels) {
      SCOPED_TRACE(f.name);
      ASSERT_EQ(f.count(bytes.data(), bytes.size()), count) << round;
      // The checking decoder has room for one unit per byte and must stay in it.
      Units checked(bytes.size() + 1, 0xAAAA);
      ASSERT_EQ(f.decodeChecked(bytes.data(), bytes.size(), checked.data()), count) << round;
      ASSERT_EQ(checked.back(), 0xAAAA);
      if (count == k::kNone) continue;
      Units units(count + 1, 0xAAAA);
      f.decode(bytes.data(), bytes.size(), units.data());
      ASSERT_EQ(units[count], 0xAAAA) << "wrote past the counted units";
      units.pop_back();
      ASSERT_TRUE(std::equal(units.begin(), units.end(), checked.begin()));
      if (reference.empty()) reference = units;
      ASSERT_EQ(units, reference) << round;
      std::size_t used = 0;
      std::size_t const size = f.size(units.data(), count, &used);
      ASSERT_EQ(used, count);
      std::vector<unsigned char> out(size + 1, 0xAA);
      ASSERT_EQ(f.encode(units.data(), used, out.data()), size);
      ASSERT_EQ(out[size], 0xAA);
      out.pop_back();
      if (encoded.empty()) encoded = out;
      ASSERT_EQ(out, encoded) << round;
      ASSERT_TRUE(!valid || out == bytes) << "the shortest forms come back";
    }
  }
}

TEST(StringKernels, SizingAndNarrowingStopAtTheFirstZeroUnitInBothForms) {
  // ASCII runs long enough for the vector paths, with a zero unit or a wide
  // unit at every position.
  for (std::size_t length : {7u, 16u, 33u, 70u}) {
    for (std::size_t at = 0; at < length; ++at) {
      for (std::uint16_t stop : {0, 0x4E2D}) {
        Units units(length, 'a');
        units[at] = stop;
        for (Kernels const& f : kKernels) {
          SCOPED_TRACE(testing::Message() << f.name << " " << length << " " << at << " " << stop);
          std::size_t used = 0;
          ASSERT_EQ(f.size(units.data(), length, &used), stop == 0 ? at : length + 2);
          ASSERT_EQ(used, stop == 0 ? at : length);
          std::vector<unsigned char> out(length + 1, 0xAA);
          ASSERT_EQ(f.narrow(units.data(), length, out.data()), at);
          ASSERT_TRUE(std::all_of(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(at),
                                  [](auto b) { return b == 'a'; }));
          ASSERT_TRUE(f.narrow != k::NarrowAsciiPortable || out[at] == 0xAA);
        }
      }
    }
  }
}

TEST(StringKernels, SearchAndCompareFormsAgreeOnRandomInput) {
  std::mt19937 random(99);
  auto const letters = [&random](std::size_t n) {
    std::u16string s(n, u'a');
    for (auto& u : s) u = static_cast<char16_t>(u'a' + random() % 4);
    return s;
  };
  auto const none = [](std::size_t i) { return i == std::u16string::npos ? k::kNone : i; };
  auto const units = [](std::u16string const& s) {
    return reinterpret_cast<std::uint16_t const*>(s.data());
  };
  for (int round = 0; round < 3000; ++round) {
    std::size_t const count = round < 2000 ? round % 90 : 200 + round % 500;
    std::u16string const hay = letters(count);
    char16_t const unit = letters(1)[0];
    std::size_t const needleCount = 1 + round % 13;
    std::u16string const needle =
        count >= needleCount && round % 2 == 0
            ? hay.substr(random() % (count - needleCount + 1), needleCount)
            : letters(needleCount);
    std::u16string other(hay);
    std::size_t mismatch = count;
    if (count != 0 && round % 4 != 0) {
      mismatch = random() % count;
      other[mismatch] ^= 0x8000;
    }
    for (Kernels const& f : kKernels) {
      SCOPED_TRACE(f.name);
      ASSERT_EQ(f.findUnit(units(hay), count, unit), none(hay.find(unit))) << round;
      ASSERT_EQ(f.findLastUnit(units(hay), count, unit), none(hay.rfind(unit))) << round;
      ASSERT_EQ(f.findUnits(units(hay), count, units(needle), needleCount), none(hay.find(needle)))
          << round;
      ASSERT_EQ(f.mismatch(units(hay), units(other), count), mismatch) << round;
    }
  }
}

}  // namespace
