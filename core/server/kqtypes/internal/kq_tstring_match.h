// The pattern matcher behind KQ_TString::Matches.
//
// A pattern is a sequence of 16-bit units; only these ASCII units are special:
//
//   *          any run of units, including none
//   ?          exactly one unit
//   [abc]      one unit out of the listed ones; [^abc] one unit not listed.
//              A ] right after [ or [^ is a member; - is an ordinary member
//              (there are no ranges); \ makes the next unit a member.
//   (a|b(c|d)) any one alternative; alternatives hold any pattern elements,
//              including further groups; | separates the alternatives of the
//              innermost open group
//   \x         the unit x itself (a \ at the very end stands for itself)
//
// Every other unit matches itself; a | outside any group is an ordinary unit.
// With ignoreCase, text and pattern units (class members too) are compared
// after Unicode_ToUpper. The whole text must match the whole pattern, so the
// empty pattern matches only the empty text. A malformed pattern (a [ without
// its ], a ( without its ), a ) without its () matches nothing.
//
// The pattern is compiled into a small automaton that follows every way of
// matching at once, so the time is at most proportional to the text length
// times the pattern length, whatever the pattern, and no recursion depends on
// the input (a pattern of a hundred thousand nested groups is fine).
#pragma once

#include <cstdint>

#include "kq_types.h"

namespace kq {

// True when the whole text matches the whole pattern. A pointer may be null
// only when its length is 0.
bool MatchPattern(std::uint16_t const* text, std::uint32_t textLength, std::uint16_t const* pattern,
                  std::uint32_t patternLength, bool ignoreCase);

}  // namespace kq
