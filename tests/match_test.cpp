// Pattern matching of strings: every element of the pattern language, the
// treatment of malformed patterns, case folding, and patterns that would take
// exponential time or deep recursion in a backtracking matcher.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "internal/kq_tstring_match.h"

namespace {

std::vector<std::uint16_t> Units(std::u16string const& s) { return {s.begin(), s.end()}; }

bool Match(std::u16string const& pattern, std::u16string const& text, bool ignoreCase = false) {
  std::vector<std::uint16_t> const p = Units(pattern);
  std::vector<std::uint16_t> const t = Units(text);
  return kq::MatchPattern(t.data(), static_cast<std::uint32_t>(t.size()), p.data(),
                          static_cast<std::uint32_t>(p.size()), ignoreCase);
}

std::u16string Repeat(std::u16string const& s, std::size_t n) {
  std::u16string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

struct Case {
  std::u16string pattern;
  std::u16string text;
  bool expected;
};

template <std::size_t N>
void CheckAll(Case const (&cases)[N], bool ignoreCase = false) {
  for (Case const& c : cases) {
    EXPECT_EQ(Match(c.pattern, c.text, ignoreCase), c.expected)
        << "pattern \"" << std::string(c.pattern.begin(), c.pattern.end()) << "\" text \""
        << std::string(c.text.begin(), c.text.end()) << "\" ignoreCase " << ignoreCase;
  }
}

TEST(MatchPattern, LiteralsAndTheWholeTextRule) {
  // Units outside ASCII, the zero unit and the last unit are ordinary. ] and ^ outside a class,
  // and | outside a group, are ordinary units.
  Case const cases[] = {{u"", u"", true},
                        {u"", u"a", false},
                        {u"a", u"", false},
                        {u"abc", u"abc", true},
                        {u"abc", u"abcd", false},
                        {u"abc", u"ab", false},
                        {u"abc", u"xabc", false},
                        {u"b", u"a", false},
                        {u"\u00E9\uFFFF", u"\u00E9\uFFFF", true},
                        {std::u16string(u"a\0b", 3), std::u16string(u"a\0b", 3), true},
                        {std::u16string(u"a\0b", 3), u"a", false},
                        {u"a]", u"a]", true},
                        {u"^a", u"^a", true},
                        {u"a|b", u"a|b", true},
                        {u"a|b", u"a", false},
                        {u"a|b", u"b", false}};
  CheckAll(cases);
}

TEST(MatchPattern, StarAndQuestionMark) {
  Case const cases[] = {{u"a*c", u"abbbc", true},
                        {u"a*c", u"ac", true},
                        {u"a*c", u"abcx", false},
                        {u"a*c", u"cac", false},
                        {u"*", u"", true},
                        {u"*", u"anything at all", true},
                        {u"**", u"", true},
                        {u"ab*", u"abcdef", true},
                        {u"ab*", u"a", false},
                        {u"(a*|b)", u"azzz", true},
                        {u"(a*|b)", u"bzzz", false},
                        {u"x*(|y)", u"xabc", true},
                        {u"x*(z|y)", u"xabc", false},
                        {u"x*(z|y)", u"xabcy", true},
                        {u"*a", u"bbba", true},
                        {u"*a", u"bbab", false},
                        {u"a*a", u"a", false},
                        {u"a*a", u"aa", true},
                        {u"*ab*ab*", u"xxabyyab", true},
                        {u"*ab*ab*", u"xxabyyba", false},
                        {u"a*b*c", u"abcbc", true},
                        {u"a?c", u"ac", false},
                        {u"a?c", u"abc", true},
                        {u"a?c", u"abbc", false},
                        {u"?", u"", false},
                        {u"??", u"x", false},
                        {u"??", u"xy", true},
                        {u"*?", u"", false},
                        {u"*?", u"z", true},
                        {u"?*?", u"zz", true}};
  CheckAll(cases);
}

TEST(MatchPattern, CharacterClasses) {
  // A ] first in the class (after an optional ^) is a member. No ranges: - is a member like any
  // other. ^ later in the class, and the other special units, are members. A backslash makes the
  // next unit a member. Classes inside text.
  Case const cases[] = {
      {u"[abc]", u"b", true},     {u"[abc]", u"d", false},     {u"[abc]", u"", false},
      {u"[abc]", u"ab", false},   {u"[^x]", u"y", true},       {u"[^x]", u"x", false},
      {u"[^x]", u"", false},      {u"[^x]", u"yy", false},     {u"[]]", u"]", true},
      {u"[]]", u"a", false},      {u"[]a]", u"a", true},       {u"[^]]", u"]", false},
      {u"[^]]", u"a", true},      {u"[^]a]", u"b", true},      {u"[^]a]", u"a", false},
      {u"[a-c]", u"-", true},     {u"[a-c]", u"a", true},      {u"[a-c]", u"c", true},
      {u"[a-c]", u"b", false},    {u"[a^]", u"^", true},       {u"[*?(|)]", u"|", true},
      {u"[*?(|)]", u")", true},   {u"[*]", u"x", false},       {u"[[]", u"[", true},
      {u"[\\]]", u"]", true},     {u"[\\]]", u"\\", false},    {u"[\\\\]", u"\\", true},
      {u"[\\^a]", u"^", true},    {u"x[yz]*", u"xz123", true}, {u"*[0-9]", u"abc-", true},
      {u"*[0-9]", u"abc5", false}};
  CheckAll(cases);
}

TEST(MatchPattern, GroupsAndAlternatives) {
  // | belongs to the innermost open group only. Matching goes on behind the group, trying every
  // alternative. A star after a group is an ordinary star, not a repetition. Classes and escapes
  // inside groups hide their | and ).
  Case const cases[] = {{u"(foo|ba(r|z))", u"baz", true},
                        {u"(foo|ba(r|z))", u"bar", true},
                        {u"(foo|ba(r|z))", u"foo", true},
                        {u"(foo|ba(r|z))", u"ba", false},
                        {u"(foo|ba(r|z))", u"bazz", false},
                        {u"(foo|ba(r|z))", u"fo", false},
                        {u"()", u"", true},
                        {u"()", u"a", false},
                        {u"(|a)b", u"b", true},
                        {u"(|a)b", u"ab", true},
                        {u"(a|)b", u"b", true},
                        {u"((a))", u"a", true},
                        {u"(a(b|c)|d)", u"ab", true},
                        {u"(a(b|c)|d)", u"ac", true},
                        {u"(a(b|c)|d)", u"d", true},
                        {u"(a(b|c)|d)", u"b", false},
                        {u"(a(b|c)|d)", u"ad", false},
                        {u"(a|ab)c", u"abc", true},
                        {u"(ab|a)bc", u"abc", true},
                        {u"(a*|b)c", u"aaac", true},
                        {u"(a*|b)c", u"bc", true},
                        {u"(a*|b)c", u"c", false},
                        {u"(*|b)c", u"c", true},
                        {u"(a*|b)c", u"bbc", false},
                        {u"(*x|y?)z", u"qqxz", true},
                        {u"(*x|y?)z", u"ywz", true},
                        {u"(*x|y?)z", u"yz", false},
                        {u"(a|b)*", u"azzz", true},
                        {u"(a|b)*", u"zab", false},
                        {u"([|]|x)", u"|", true},
                        {u"([|]|x)", u"x", true},
                        {u"([)]x|y)", u")x", true},
                        {u"([)]x|y)", u"y", true},
                        {u"(a\\|b|c)", u"a|b", true},
                        {u"(a\\|b|c)", u"b", false},
                        {u"(a\\)|c)", u"a)", true}};
  CheckAll(cases);
}

TEST(MatchPattern, Escapes) {
  // A backslash with nothing behind it stands for itself.
  Case const cases[] = {
      {u"\\*", u"*", true},           {u"\\*", u"a", false},  {u"\\*", u"", false},
      {u"\\?", u"?", true},           {u"\\?", u"x", false},  {u"\\[a]", u"[a]", true},
      {u"\\(a|b\\)", u"(a|b)", true}, {u"\\\\", u"\\", true}, {u"\\a", u"a", true},
      {u"a\\", u"a\\", true},         {u"a\\", u"a", false}};
  CheckAll(cases);
}

TEST(MatchPattern, OnlyUnitsBelow256AreSpecial) {
  // The low byte of each of these units is a special unit.
  // * + 0x100. ? + 0x100. [ ] + 0x100. ( | ) + 0x100. \ + 0x100 does not escape.
  Case const cases[] = {
      {u"\u012A", u"\u012A", true},
      {u"\u012A", u"abc", false},
      {u"\u013F", u"x", false},
      {u"\u015Bab\u015D", u"\u015Bab\u015D", true},
      {u"\u015Bab\u015D", u"a", false},
      {u"\u0128a\u017Cb\u0129", u"\u0128a\u017Cb\u0129", true},
      {u"\u0128a\u017Cb\u0129", u"a", false},
      {u"\u015C*", u"\u015Cxyz", true},
  };
  CheckAll(cases);
}

TEST(MatchPattern, MalformedPatternsMatchNothing) {
  // The fault may sit in an alternative that is never taken.
  Case const cases[] = {
      {u"[abc", u"a", false},     {u"[abc", u"[abc", false}, {u"[]", u"]", false},
      {u"[]", u"", false},        {u"[^]", u"x", false},     {u"[\\]", u"]", false},
      {u"*[", u"[", false},       {u"(a", u"a", false},      {u"(a|b", u"b", false},
      {u"a)", u"a)", false},      {u"a)", u"a", false},      {u"(a))", u"a", false},
      {u")(", u"", false},        {u"*(", u"", false},       {u"(a|[b)", u"a", false},
      {u"a*(b|(c)", u"ab", false}};
  CheckAll(cases);
}

TEST(MatchPattern, IgnoreCaseFoldsTextPatternAndClassMembers) {
  // Folding follows the library's case tables: \u00DF has no upper case, final
  // sigma folds with sigma, \u0130 and \u0131 are one pair, the parenthesised
  // letters and Armenian have no pairs; other units compare as they are.
  Case const folded[] = {{u"ABC", u"abc", true},
                         {u"abc", u"AbC", true},
                         {u"a*C", u"AxYc", true},
                         {u"[xY]", u"y", true},
                         {u"[xY]", u"X", true},
                         {u"[^a]", u"A", false},
                         {u"(FOO|bar)", u"Bar", true},
                         {u"(FOO|bar)", u"foo", true},
                         {u"\u00C9T\u00C9", u"\u00E9t\u00E9", true},
                         {u"\u0178", u"\u00FF", true},
                         {u"\u00DF", u"SS", false},
                         {u"\u03A3", u"\u03C2", true},
                         {u"\u03A3", u"\u03C3", true},
                         {u"\u0416", u"\u0436", true},
                         {u"\u0130", u"\u0131", true},
                         {u"\u24B6", u"\u24D0", true},
                         {u"\u24B6", u"\u249C", false},
                         {u"\u0531", u"\u0561", false},
                         {u"1", u"1", true}};
  CheckAll(folded, true);
  Case const exact[] = {{u"ABC", u"abc", false}, {u"[xY]", u"y", false}, {u"[^a]", u"A", true}};
  CheckAll(exact);
}

TEST(MatchPattern, PatternsThatDefeatBacktrackingFinish) {
  std::u16string const as = Repeat(u"a", 10000);
  Case const cases[] = {{u"*a*a*a*a*a*a*b", as, false},
                        {u"*a*a*a*a*a*a*b", as + u"b", true},
                        {Repeat(u"*a", 30) + u"c", Repeat(u"a", 200), false},
                        {Repeat(u"(a|a)", 2000) + u"c", Repeat(u"a", 2000), false},
                        {Repeat(u"(a|a)", 2000) + u"c", Repeat(u"a", 2000) + u"c", true},
                        {Repeat(u"(a*|b)", 200) + u"c", Repeat(u"a", 2000), false},
                        {Repeat(u"*", 10000), as, true},
                        {Repeat(u"*?", 5000), Repeat(u"a", 4999), false},
                        {Repeat(u"*?", 5000), Repeat(u"a", 5000), true}};
  CheckAll(cases);
  EXPECT_FALSE(Match(u"*a*a*a*a*a*a*b", as, true));
}

TEST(MatchPattern, DeeplyNestedPatternsDoNotExhaustTheStack) {
  std::size_t const depth = 100000;
  std::u16string const nested = Repeat(u"(", depth) + u"a" + Repeat(u")", depth);
  std::u16string const alternatives = Repeat(u"(x|", depth) + u"a" + Repeat(u")", depth);
  Case const cases[] = {
      {nested, u"a", true},
      {nested, u"b", false},
      {nested, u"", false},
      {alternatives, u"a", true},
      {alternatives, u"x", true},
      {alternatives, u"xa", false},
      {Repeat(u"(", depth), u"", false},
      {Repeat(u")", depth), u"", false},
      {Repeat(u"(", depth) + Repeat(u")", depth - 1), u"", false},
      {Repeat(u"(", depth) + Repeat(u"|", depth) + Repeat(u")", depth), u"", true},
      {u"[" + Repeat(u"bc", depth) + u"a]", u"a", true},
      {u"[" + Repeat(u"bc", depth) + u"a]", u"d", false}};
  CheckAll(cases);
}

}  // namespace
