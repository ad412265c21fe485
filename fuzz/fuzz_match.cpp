// Fuzz target for the pattern matcher behind KQ_TString::Matches.
//
// Input: byte 0 selects the unit width (bit 0 clear: every byte is a unit;
// set: every two bytes are one little-endian unit), byte 1 is the pattern
// length in units, the units that follow are the pattern (as far as the input
// reaches) and the rest is the text.
//
// Every input is matched both with and without case folding. Short inputs
// are also matched by a plain backtracking matcher written here from the
// pattern rules, and both answers must agree; and a pattern made by escaping
// every unit of the text must match that text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "internal/kq_tstring_match.h"
#include "kq_tunichar.h"

namespace {

using Units = std::vector<std::uint16_t>;

// The reference: walks the pattern element by element, trying every choice
// of a * and every alternative of a group recursively.
class Reference {
 public:
  Reference(Units const& pattern, Units const& text, bool ignoreCase)
      : fP(pattern), fT(text), fIgnoreCase(ignoreCase) {}

  bool Matches() { return Valid() && At(0, 0); }

 private:
  static constexpr std::size_t kBad = static_cast<std::size_t>(-1);

  std::uint16_t Fold(std::uint16_t u) const { return fIgnoreCase ? Unicode_ToUpper(u) : u; }

  // Index behind the element starting at i (a class, an escape or one unit),
  // or kBad for a class without its closing bracket.
  std::size_t Skip(std::size_t i) const {
    if (fP[i] == '\\') return i + 1 < fP.size() ? i + 2 : i + 1;
    if (fP[i] != '[') return i + 1;
    std::size_t j = i + 1;
    if (j < fP.size() && fP[j] == '^') ++j;
    if (j < fP.size() && fP[j] == ']') ++j;
    for (; j < fP.size(); ++j) {
      if (fP[j] == ']') return j + 1;
      if (fP[j] == '\\') ++j;
    }
    return kBad;
  }

  // Checks brackets and groups, and notes which elements lie inside a group.
  bool Valid() {
    fInGroup.assign(fP.size(), false);
    std::size_t depth = 0;
    for (std::size_t i = 0; i < fP.size();) {
      fInGroup[i] = depth > 0;
      if (fP[i] == '(') ++depth;
      if (fP[i] == ')') {
        if (depth == 0) return false;
        --depth;
      }
      i = Skip(i);
      if (i == kBad) return false;
    }
    return depth == 0;
  }

  // Index behind the ) that closes the group containing position i.
  std::size_t CloseOf(std::size_t i) const {
    std::size_t depth = 0;
    for (;; i = Skip(i)) {
      if (fP[i] == '(') ++depth;
      if (fP[i] == ')') {
        if (depth == 0) return i + 1;
        --depth;
      }
    }
  }

  bool Literal(std::size_t ti, std::uint16_t unit, std::size_t next) {
    return ti < fT.size() && Fold(fT[ti]) == Fold(unit) && At(next, ti + 1);
  }

  bool At(std::size_t pi, std::size_t ti) {
    if (pi == fP.size()) return ti == fT.size();
    std::uint16_t const u = fP[pi];
    switch (u) {
      case '*':
        for (std::size_t k = ti; k <= fT.size(); ++k) {
          if (At(pi + 1, k)) return true;
        }
        return false;
      case '?':
        return ti < fT.size() && At(pi + 1, ti + 1);
      case '[': {
        std::size_t const close = Skip(pi) - 1;
        if (ti == fT.size()) return false;
        std::size_t j = pi + 1;
        bool const negated = fP[j] == '^';
        if (negated) ++j;
        bool found = false;
        if (fP[j] == ']' && j < close) found = Fold(fP[j++]) == Fold(fT[ti]);
        for (; j < close; ++j) {
          if (fP[j] == '\\') ++j;
          if (Fold(fP[j]) == Fold(fT[ti])) found = true;
        }
        return found != negated && At(close + 1, ti + 1);
      }
      case '(': {
        std::size_t depth = 0;
        if (At(pi + 1, ti)) return true;
        for (std::size_t j = pi + 1;; j = Skip(j)) {
          if (fP[j] == '(') ++depth;
          if (fP[j] == ')') {
            if (depth == 0) return false;
            --depth;
          }
          if (fP[j] == '|' && depth == 0 && At(j + 1, ti)) return true;
        }
      }
      case '|':
        if (!fInGroup[pi]) return Literal(ti, u, pi + 1);
        return At(CloseOf(pi + 1), ti);
      case ')':
        return At(pi + 1, ti);
      case '\\':
        if (pi + 1 == fP.size()) return Literal(ti, u, pi + 1);
        return Literal(ti, fP[pi + 1], pi + 2);
      default:
        return Literal(ti, u, pi + 1);
    }
  }

  Units const& fP;
  Units const& fT;
  bool fIgnoreCase;
  std::vector<bool> fInGroup;
};

bool Match(Units const& pattern, Units const& text, bool ignoreCase) {
  return kq::MatchPattern(text.data(), static_cast<std::uint32_t>(text.size()), pattern.data(),
                          static_cast<std::uint32_t>(pattern.size()), ignoreCase);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  if (size < 2) return 0;
  bool const wide = data[0] & 1;
  std::size_t const patternLength = data[1];
  Units units;
  if (wide) {
    for (std::size_t i = 2; i + 1 < size; i += 2) {
      units.push_back(static_cast<std::uint16_t>(data[i] | (data[i + 1] << 8)));
    }
  } else {
    units.assign(data + 2, data + size);
  }
  std::size_t const split = patternLength < units.size() ? patternLength : units.size();
  Units const pattern(units.begin(), units.begin() + static_cast<std::ptrdiff_t>(split));
  Units const text(units.begin() + static_cast<std::ptrdiff_t>(split), units.end());

  Units escaped;
  for (std::uint16_t u : text) {
    escaped.push_back('\\');
    escaped.push_back(u);
  }

  for (bool ignoreCase : {false, true}) {
    bool const result = Match(pattern, text, ignoreCase);
    if (pattern.size() < 12 && text.size() < 12 &&
        result != Reference(pattern, text, ignoreCase).Matches()) {
      std::abort();
    }
    if (!Match(escaped, text, ignoreCase)) std::abort();
  }
  return 0;
}
