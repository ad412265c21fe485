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
  bool ignoreCase;
  bool expected;
};

void CheckAll(std::vector<Case> const& cases) {
  for (Case const& c : cases) {
    EXPECT_EQ(Match(c.pattern, c.text, c.ignoreCase), c.expected)
        << "pattern \"" << std::string(c.pattern.begin(), c.pattern.end()) << "\" text \""
        << std::string(c.text.begin(), c.text.end()) << "\" ignoreCase " << c.ignoreCase;
  }
}

TEST(MatchPattern, LiteralsAndTheWholeTextRule) {
  CheckAll({
      {u"", u"", false, true},
      {u"", u"a", false, false},
      {u"a", u"", false, false},
      {u"abc", u"abc", false, true},
      {u"abc", u"abcd", false, false},
      {u"abc", u"ab", false, false},
      {u"abc", u"xabc", false, false},
      {u"b", u"a", false, false},
      // Units outside ASCII, the zero unit and the last unit are ordinary.
      {u"\u00E9\uFFFF", u"\u00E9\uFFFF", false, true},
      {std::u16string(u"a\0b", 3), std::u16string(u"a\0b", 3), false, true},
      {std::u16string(u"a\0b", 3), u"a", false, false},
      // ] and ^ outside a class, and | outside a group, are ordinary units.
      {u"a]", u"a]", false, true},
      {u"^a", u"^a", false, true},
      {u"a|b", u"a|b", false, true},
      {u"a|b", u"a", false, false},
      {u"a|b", u"b", false, false},
  });
}

TEST(MatchPattern, StarAndQuestionMark) {
  CheckAll({
      {u"a*c", u"abbbc", false, true},
      {u"a*c", u"ac", false, true},
      {u"a*c", u"abcx", false, false},
      {u"a*c", u"cac", false, false},
      {u"*", u"", false, true},
      {u"*", u"anything at all", false, true},
      {u"**", u"", false, true},
      {u"ab*", u"abcdef", false, true},
      {u"ab*", u"a", false, false},
      {u"(a*|b)", u"azzz", false, true},
      {u"(a*|b)", u"bzzz", false, false},
      {u"x*(|y)", u"xabc", false, true},
      {u"x*(z|y)", u"xabc", false, false},
      {u"x*(z|y)", u"xabcy", false, true},
      {u"*a", u"bbba", false, true},
      {u"*a", u"bbab", false, false},
      {u"a*a", u"a", false, false},
      {u"a*a", u"aa", false, true},
      {u"*ab*ab*", u"xxabyyab", false, true},
      {u"*ab*ab*", u"xxabyyba", false, false},
      {u"a*b*c", u"abcbc", false, true},
      {u"a?c", u"ac", false, false},
      {u"a?c", u"abc", false, true},
      {u"a?c", u"abbc", false, false},
      {u"?", u"", false, false},
      {u"??", u"x", false, false},
      {u"??", u"xy", false, true},
      {u"*?", u"", false, false},
      {u"*?", u"z", false, true},
      {u"?*?", u"zz", false, true},
  });
}

TEST(MatchPattern, CharacterClasses) {
  CheckAll({
      {u"[abc]", u"b", false, true},
      {u"[abc]", u"d", false, false},
      {u"[abc]", u"", false, false},
      {u"[abc]", u"ab", false, false},
      {u"[^x]", u"y", false, true},
      {u"[^x]", u"x", false, false},
      {u"[^x]", u"", false, false},
      {u"[^x]", u"yy", false, false},
      // A ] first in the class (after an optional ^) is a member.
      {u"[]]", u"]", false, true},
      {u"[]]", u"a", false, false},
      {u"[]a]", u"a", false, true},
      {u"[^]]", u"]", false, false},
      {u"[^]]", u"a", false, true},
      {u"[^]a]", u"b", false, true},
      {u"[^]a]", u"a", false, false},
      // No ranges: - is a member like any other.
      {u"[a-c]", u"-", false, true},
      {u"[a-c]", u"a", false, true},
      {u"[a-c]", u"c", false, true},
      {u"[a-c]", u"b", false, false},
      // ^ later in the class, and the other special units, are members.
      {u"[a^]", u"^", false, true},
      {u"[*?(|)]", u"|", false, true},
      {u"[*?(|)]", u")", false, true},
      {u"[*]", u"x", false, false},
      {u"[[]", u"[", false, true},
      // A backslash makes the next unit a member.
      {u"[\\]]", u"]", false, true},
      {u"[\\]]", u"\\", false, false},
      {u"[\\\\]", u"\\", false, true},
      {u"[\\^a]", u"^", false, true},
      // Classes inside text.
      {u"x[yz]*", u"xz123", false, true},
      {u"*[0-9]", u"abc-", false, true},
      {u"*[0-9]", u"abc5", false, false},
  });
}

TEST(MatchPattern, GroupsAndAlternatives) {
  CheckAll({
      {u"(foo|ba(r|z))", u"baz", false, true},
      {u"(foo|ba(r|z))", u"bar", false, true},
      {u"(foo|ba(r|z))", u"foo", false, true},
      {u"(foo|ba(r|z))", u"ba", false, false},
      {u"(foo|ba(r|z))", u"bazz", false, false},
      {u"(foo|ba(r|z))", u"fo", false, false},
      {u"()", u"", false, true},
      {u"()", u"a", false, false},
      {u"(|a)b", u"b", false, true},
      {u"(|a)b", u"ab", false, true},
      {u"(a|)b", u"b", false, true},
      {u"((a))", u"a", false, true},
      // | belongs to the innermost open group only.
      {u"(a(b|c)|d)", u"ab", false, true},
      {u"(a(b|c)|d)", u"ac", false, true},
      {u"(a(b|c)|d)", u"d", false, true},
      {u"(a(b|c)|d)", u"b", false, false},
      {u"(a(b|c)|d)", u"ad", false, false},
      // Matching goes on behind the group, trying every alternative.
      {u"(a|ab)c", u"abc", false, true},
      {u"(ab|a)bc", u"abc", false, true},
      {u"(a*|b)c", u"aaac", false, true},
      {u"(a*|b)c", u"bc", false, true},
      {u"(a*|b)c", u"c", false, false},
      {u"(*|b)c", u"c", false, true},
      {u"(a*|b)c", u"bbc", false, false},
      {u"(*x|y?)z", u"qqxz", false, true},
      {u"(*x|y?)z", u"ywz", false, true},
      {u"(*x|y?)z", u"yz", false, false},
      // A star after a group is an ordinary star, not a repetition.
      {u"(a|b)*", u"azzz", false, true},
      {u"(a|b)*", u"zab", false, false},
      // Classes and escapes inside groups hide their | and ).
      {u"([|]|x)", u"|", false, true},
      {u"([|]|x)", u"x", false, true},
      {u"([)]x|y)", u")x", false, true},
      {u"([)]x|y)", u"y", false, true},
      {u"(a\\|b|c)", u"a|b", false, true},
      {u"(a\\|b|c)", u"b", false, false},
      {u"(a\\)|c)", u"a)", false, true},
  });
}

TEST(MatchPattern, Escapes) {
  CheckAll({
      {u"\\*", u"*", false, true},
      {u"\\*", u"a", false, false},
      {u"\\*", u"", false, false},
      {u"\\?", u"?", false, true},
      {u"\\?", u"x", false, false},
      {u"\\[a]", u"[a]", false, true},
      {u"\\(a|b\\)", u"(a|b)", false, true},
      {u"\\\\", u"\\", false, true},
      {u"\\a", u"a", false, true},
      // A backslash with nothing behind it stands for itself.
      {u"a\\", u"a\\", false, true},
      {u"a\\", u"a", false, false},
  });
}

TEST(MatchPattern, OnlyUnitsBelow256AreSpecial) {
  // The low byte of each of these units is a special unit.
  CheckAll({
      {u"\u012A", u"\u012A", false, true},  // * + 0x100
      {u"\u012A", u"abc", false, false},
      {u"\u013F", u"x", false, false},                      // ? + 0x100
      {u"\u015Bab\u015D", u"\u015Bab\u015D", false, true},  // [ ] + 0x100
      {u"\u015Bab\u015D", u"a", false, false},
      {u"\u0128a\u017Cb\u0129", u"\u0128a\u017Cb\u0129", false, true},  // ( | ) + 0x100
      {u"\u0128a\u017Cb\u0129", u"a", false, false},
      {u"\u015C*", u"\u015Cxyz", false, true},  // \ + 0x100 does not escape
  });
}

TEST(MatchPattern, MalformedPatternsMatchNothing) {
  CheckAll({
      {u"[abc", u"a", false, false},
      {u"[abc", u"[abc", false, false},
      {u"[]", u"]", false, false},
      {u"[]", u"", false, false},
      {u"[^]", u"x", false, false},
      {u"[\\]", u"]", false, false},
      {u"*[", u"[", false, false},
      {u"(a", u"a", false, false},
      {u"(a|b", u"b", false, false},
      {u"a)", u"a)", false, false},
      {u"a)", u"a", false, false},
      {u"(a))", u"a", false, false},
      {u")(", u"", false, false},
      {u"*(", u"", false, false},
      // The fault may sit in an alternative that is never taken.
      {u"(a|[b)", u"a", false, false},
      {u"a*(b|(c)", u"ab", false, false},
  });
}

TEST(MatchPattern, IgnoreCaseFoldsTextPatternAndClassMembers) {
  CheckAll({
      {u"ABC", u"abc", true, true},
      {u"ABC", u"abc", false, false},
      {u"abc", u"AbC", true, true},
      {u"a*C", u"AxYc", true, true},
      {u"[xY]", u"y", true, true},
      {u"[xY]", u"X", true, true},
      {u"[xY]", u"y", false, false},
      {u"[^a]", u"A", true, false},
      {u"[^a]", u"A", false, true},
      {u"(FOO|bar)", u"Bar", true, true},
      {u"(FOO|bar)", u"foo", true, true},
      // Folding follows the library's case tables.
      {u"\u00C9T\u00C9", u"\u00E9t\u00E9", true, true},  // É, é
      {u"\u0178", u"\u00FF", true, true},                // Ÿ, ÿ
      {u"\u00DF", u"SS", true, false},                   // ß has no upper case
      {u"\u03A3", u"\u03C2", true, true},                // Σ and final ς
      {u"\u03A3", u"\u03C3", true, true},                // Σ and σ
      {u"\u0416", u"\u0436", true, true},                // Ж, ж
      {u"\u0130", u"\u0131", true, true},                // İ and ı are one pair here
      {u"\u24B6", u"\u24D0", true, true},                // circled A, circled a
      {u"\u24B6", u"\u249C", true, false},               // parenthesised a stays
      // Units without a case pair are compared as they are.
      {u"\u0531", u"\u0561", true, false},  // Armenian is not covered
      {u"1", u"1", true, true},
  });
}

TEST(MatchPattern, PatternsThatDefeatBacktrackingFinish) {
  std::u16string const as = Repeat(u"a", 10000);
  CheckAll({
      {u"*a*a*a*a*a*a*b", as, false, false},
      {u"*a*a*a*a*a*a*b", as + u"b", false, true},
      {u"*a*a*a*a*a*a*b", as, true, false},
      {Repeat(u"*a", 30) + u"c", Repeat(u"a", 200), false, false},
      {Repeat(u"(a|a)", 2000) + u"c", Repeat(u"a", 2000), false, false},
      {Repeat(u"(a|a)", 2000) + u"c", Repeat(u"a", 2000) + u"c", false, true},
      {Repeat(u"(a*|b)", 200) + u"c", Repeat(u"a", 2000), false, false},
      {Repeat(u"*", 10000), as, false, true},
      {Repeat(u"*?", 5000), Repeat(u"a", 4999), false, false},
      {Repeat(u"*?", 5000), Repeat(u"a", 5000), false, true},
  });
}

TEST(MatchPattern, DeeplyNestedPatternsDoNotExhaustTheStack) {
  std::size_t const depth = 100000;
  std::u16string const nested = Repeat(u"(", depth) + u"a" + Repeat(u")", depth);
  std::u16string const alternatives = Repeat(u"(x|", depth) + u"a" + Repeat(u")", depth);
  CheckAll({
      {nested, u"a", false, true},
      {nested, u"b", false, false},
      {nested, u"", false, false},
      {alternatives, u"a", false, true},
      {alternatives, u"x", false, true},
      {alternatives, u"xa", false, false},
      {Repeat(u"(", depth), u"", false, false},
      {Repeat(u")", depth), u"", false, false},
      {Repeat(u"(", depth) + Repeat(u")", depth - 1), u"", false, false},
      {Repeat(u"(", depth) + Repeat(u"|", depth) + Repeat(u")", depth), u"", false, true},
      {u"[" + Repeat(u"bc", depth) + u"a]", u"a", false, true},
      {u"[" + Repeat(u"bc", depth) + u"a]", u"d", false, false},
  });
}

}  // namespace
