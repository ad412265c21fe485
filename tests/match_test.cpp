// Pattern matching of strings: every element of the pattern language, the
// treatment of malformed patterns, case folding, and patterns that would take
// exponential time or deep recursion in a backtracking matcher.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "internal/kq_tstring_match.h"

namespace {

bool Match(std::u16string const& pattern, std::u16string const& text, bool ignoreCase) {
  std::vector<std::uint16_t> const p(pattern.begin(), pattern.end());
  std::vector<std::uint16_t> const t(text.begin(), text.end());
  return kq::MatchPattern(t.data(), static_cast<std::uint32_t>(t.size()), p.data(),
                          static_cast<std::uint32_t>(p.size()), ignoreCase);
}

std::u16string Repeat(std::u16string const& s, std::size_t n) {
  std::u16string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

// A pattern, the texts it matches and the texts it does not.
struct Row {
  std::u16string pattern;
  std::vector<std::u16string> match;
  std::vector<std::u16string> miss;
};

std::string Narrow(std::u16string const& s) { return std::string(s.begin(), s.end()); }

void CheckRows(std::vector<Row> const& rows, bool ignoreCase = false) {
  for (Row const& row : rows) {
    for (bool expected : {true, false}) {
      for (std::u16string const& text : expected ? row.match : row.miss) {
        EXPECT_EQ(Match(row.pattern, text, ignoreCase), expected)
            << "pattern \"" << Narrow(row.pattern) << "\" text \"" << Narrow(text)
            << "\" ignoreCase " << ignoreCase;
      }
    }
  }
}

TEST(MatchPattern, EachElementOfThePatternLanguage) {
  std::u16string const zero(u"a\0b", 3);
  CheckRows({
      // The whole text must match. Units outside ASCII, the zero unit and the
      // last unit are ordinary; so are ] and ^ outside a class and | outside
      // a group.
      {u"", {u""}, {u"a"}},
      {u"abc", {u"abc"}, {u"abcd", u"ab", u"xabc", u""}},
      {zero, {zero}, {u"a"}},
      {u"^a", {u"^a"}, {}},
      {u"a|b", {u"a|b"}, {u"a", u"b"}},
      // Star and question mark.
      {u"a*c", {u"abbbc", u"ac"}, {u"abcx", u"cac"}},
      {u"*", {u"", u"anything at all"}, {}},
      {u"(a*|b)", {u"azzz"}, {u"bzzz"}},
      {u"x*(z|y)", {u"xabcy"}, {u"xabc"}},
      {u"a?c", {u"abc"}, {u"ac", u"abbc"}},
      // Classes: a ] first (after an optional ^) is a member; no ranges, so -
      // is a member like any other; ^ later on, the other special units and
      // a unit behind a backslash are members.
      {u"[abc]", {u"b"}, {u"d", u"", u"ab"}},
      {u"[^x]", {u"y"}, {u"x", u"", u"yy"}},
      {u"[]]", {u"]"}, {u"a"}},
      {u"[^]]", {u"a"}, {u"]"}},
      {u"[a-c]", {u"-", u"a", u"c"}, {u"b"}},
      {u"[*?(|)]", {u"|", u")"}, {}},
      {u"[\\]]", {u"]"}, {u"\\"}},
      // Groups: | belongs to the innermost open group; matching goes on
      // behind the group with every alternative; a star after a group is an
      // ordinary star; classes and escapes inside hide their | and ).
      {u"(foo|ba(r|z))", {u"baz", u"bar", u"foo"}, {u"ba", u"bazz", u"fo"}},
      {u"()", {u""}, {u"a"}},
      {u"(|a)b", {u"b", u"ab"}, {}},
      {u"(a*|b)c", {u"aaac", u"bc"}, {u"c", u"bbc"}},
      {u"(*x|y?)z", {u"qqxz", u"ywz"}, {u"yz"}},
      {u"(a|b)*", {u"azzz"}, {u"zab"}},
      {u"([|]|x)", {u"|", u"x"}, {}},
      {u"(a\\|b|c)", {u"a|b"}, {u"b"}},
      // Escapes; a backslash with nothing behind it stands for itself.
      {u"\\*", {u"*"}, {u"a", u""}},
      {u"a\\", {u"a\\"}, {u"a"}},
      // Only units below 256 are special: these have a special low byte.
      {u"\u012A", {u"\u012A"}, {u"abc"}},
      {u"\u0128a\u017Cb\u0129", {u"\u0128a\u017Cb\u0129"}, {u"a"}},
      // Malformed patterns match nothing, even with the fault in an
      // alternative that is never taken.
      {u"[abc", {}, {u"a", u"[abc"}},
      {u"[]", {}, {u"]", u""}},
      {u"(a", {}, {u"a"}},
      {u"a)", {}, {u"a)", u"a"}},
      {u"(a|[b)", {}, {u"a"}},
  });
}

TEST(MatchPattern, IgnoreCaseFoldsTextPatternAndClassMembers) {
  // Folding follows the library's case tables: \u00DF has no upper case, final
  // sigma folds with sigma, \u0130 and \u0131 are one pair, the parenthesised
  // letters and Armenian have no pairs; other units compare as they are.
  CheckRows({{u"ABC", {u"abc"}, {}},
             {u"[xY]", {u"y", u"X"}, {}},
             {u"(FOO|bar)", {u"Bar", u"foo"}, {}},
             {u"\u0178", {u"\u00FF"}, {}},
             {u"\u00DF", {}, {u"SS"}},
             {u"\u03A3", {u"\u03C2", u"\u03C3"}, {}},
             {u"\u0130", {u"\u0131"}, {}},
             {u"\u24B6", {u"\u24D0"}, {u"\u249C"}},
             {u"\u0531", {}, {u"\u0561"}}},
            true);
  CheckRows({{u"ABC", {}, {u"abc"}}, {u"[xY]", {}, {u"y"}}, {u"[^a]", {u"A"}, {}}});
}

TEST(MatchPattern, PatternsThatDefeatBacktrackingFinish) {
  std::u16string const as = Repeat(u"a", 10000);
  std::u16string const a2000 = Repeat(u"a", 2000);
  CheckRows({{u"*a*a*a*a*a*a*b", {as + u"b"}, {as}},
             {Repeat(u"*a", 30) + u"c", {}, {Repeat(u"a", 200)}},
             {Repeat(u"(a|a)", 2000) + u"c", {a2000 + u"c"}, {a2000}},
             {Repeat(u"(a*|b)", 200) + u"c", {}, {a2000}},
             {Repeat(u"*", 10000), {as}, {}},
             {Repeat(u"*?", 5000), {Repeat(u"a", 5000)}, {Repeat(u"a", 4999)}}});
  EXPECT_FALSE(Match(u"*a*a*a*a*a*a*b", as, true));
}

TEST(MatchPattern, DeeplyNestedPatternsDoNotExhaustTheStack) {
  std::size_t const depth = 100000;
  std::u16string const open = Repeat(u"(", depth);
  std::u16string const close = Repeat(u")", depth);
  std::u16string const members = u"[" + Repeat(u"bc", depth) + u"a]";
  CheckRows({{open + u"a" + close, {u"a"}, {u"b", u""}},
             {Repeat(u"(x|", depth) + u"a" + close, {u"a", u"x"}, {u"xa"}},
             {open, {}, {u""}},
             {close, {}, {u""}},
             {open + Repeat(u")", depth - 1), {}, {u""}},
             {open + Repeat(u"|", depth) + close, {u""}, {}},
             {members, {u"a"}, {u"d"}}});
}

}  // namespace
