#include "internal/kq_tstring_match.h"

#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

#include "kq_tunichar.h"

// The pattern becomes a program for a Thompson-style automaton. Consuming
// instructions (a unit, any unit, a class, the loop of a *) each test one text
// unit; splits and jumps move between instructions without consuming. The
// matcher keeps the set of instructions that could consume the next text unit
// and advances all of them together, so it never backtracks. All jumps point
// forward, except that a * loops on itself while it consumes.

namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

enum class Op : std::uint8_t {
  kUnit,   // the text unit equals `unit`
  kAny,    // any text unit
  kClass,  // the text unit is (or, negated, is not) among `count` members from `first`
  kStar,   // any text unit, then this instruction again; or go on without consuming
  kSplit,  // go on at `first` and at `count`
  kJump,   // go on at `first`
  kMatch,  // the whole pattern has matched
};

struct Instruction {
  Op op;
  bool negated = false;
  // For kStar: every rest of the text matches, because the end of the
  // pattern is reached behind the * without consuming (as in "a*" or "(b*|c)").
  bool acceptsRest = false;
  std::uint16_t unit = 0;
  std::size_t first = 0;
  std::size_t count = 0;
};

class Program {
 public:
  // Compiles the pattern; false when it is malformed.
  bool Compile(std::uint16_t const* pattern, std::size_t length, bool ignoreCase);
  bool Run(std::uint16_t const* text, std::size_t length, bool ignoreCase);

 private:
  // An open group: its current split, and the chain of the jumps that end
  // its finished alternatives, linked through their targets until the group
  // closes.
  struct Group {
    std::size_t split;
    std::size_t jumps;
  };

  std::size_t Emit(Op op, std::uint16_t unit = 0, std::size_t first = 0, std::size_t count = 0) {
    fCode.push_back(Instruction{op, false, false, unit, first, count});
    return fCode.size() - 1;
  }
  bool IsMember(Instruction const& c, std::uint16_t unit) const;
  // Adds the instructions reachable from pc without consuming to `states`.
  void Follow(std::size_t pc, std::vector<std::size_t>& states);

  std::vector<Instruction> fCode;
  std::vector<std::uint16_t> fMembers;
  std::vector<std::size_t> fPending;
  std::vector<std::uint64_t> fSeenIn;
  std::uint64_t fGeneration = 0;
  bool fMatched = false;
  bool fAcceptsRest = false;
};

bool Program::Compile(std::uint16_t const* pattern, std::size_t length, bool ignoreCase) {
  auto const fold = [ignoreCase](std::uint16_t u) { return ignoreCase ? Unicode_ToUpper(u) : u; };
  std::vector<Group> groups;
  std::size_t i = 0;
  while (i < length) {
    std::uint16_t const u = pattern[i++];
    switch (u) {
      case '*':
        Emit(Op::kStar);
        break;
      case '?':
        Emit(Op::kAny);
        break;
      case '[': {
        bool const negated = i < length && pattern[i] == '^';
        if (negated) ++i;
        std::size_t const first = fMembers.size();
        if (i < length && pattern[i] == ']') fMembers.push_back(fold(pattern[i++]));
        while (i < length && pattern[i] != ']') {
          if (pattern[i] == '\\' && i + 1 < length) ++i;
          fMembers.push_back(fold(pattern[i++]));
        }
        if (i == length) return false;
        ++i;
        fCode[Emit(Op::kClass, 0, first, fMembers.size() - first)].negated = negated;
        break;
      }
      case '(':
        groups.push_back(Group{Emit(Op::kSplit, 0, fCode.size() + 1, kNone), kNone});
        break;
      case '|':
        if (groups.empty()) {
          Emit(Op::kUnit, fold(u));
        } else {
          Group& group = groups.back();
          group.jumps = Emit(Op::kJump, 0, group.jumps);
          fCode[group.split].count = fCode.size();
          group.split = Emit(Op::kSplit, 0, fCode.size() + 1, kNone);
        }
        break;
      case ')': {
        if (groups.empty()) return false;
        Group const group = groups.back();
        groups.pop_back();
        // The last alternative has no successor to split to.
        fCode[group.split].op = Op::kJump;
        for (std::size_t jump = group.jumps; jump != kNone;) {
          std::size_t const next = fCode[jump].first;
          fCode[jump].first = fCode.size();
          jump = next;
        }
        break;
      }
      case '\\':
        Emit(Op::kUnit, fold(i < length ? pattern[i++] : u));
        break;
      default:
        Emit(Op::kUnit, fold(u));
        break;
    }
  }
  if (!groups.empty()) return false;
  Emit(Op::kMatch);

  // Splits and jumps only go forward, so one backward pass finds the places
  // from which the end of the pattern is reached without consuming.
  std::vector<bool> reachesEnd(fCode.size(), false);
  for (std::size_t pc = fCode.size(); pc-- > 0;) {
    Instruction& c = fCode[pc];
    if (c.op == Op::kMatch) {
      reachesEnd[pc] = true;
    } else if (c.op == Op::kJump) {
      reachesEnd[pc] = reachesEnd[c.first];
    } else if (c.op == Op::kSplit) {
      reachesEnd[pc] = reachesEnd[c.first] || reachesEnd[c.count];
    } else if (c.op == Op::kStar) {
      c.acceptsRest = reachesEnd[pc + 1];
    }
  }
  return true;
}

bool Program::IsMember(Instruction const& c, std::uint16_t unit) const {
  for (std::size_t k = c.first; k < c.first + c.count; ++k) {
    if (fMembers[k] == unit) return true;
  }
  return false;
}

void Program::Follow(std::size_t pc, std::vector<std::size_t>& states) {
  fPending.push_back(pc);
  while (!fPending.empty()) {
    pc = fPending.back();
    fPending.pop_back();
    if (fSeenIn[pc] == fGeneration) continue;
    fSeenIn[pc] = fGeneration;
    Instruction const& c = fCode[pc];
    switch (c.op) {
      case Op::kSplit:
        fPending.push_back(c.count);
        fPending.push_back(c.first);
        break;
      case Op::kJump:
        fPending.push_back(c.first);
        break;
      case Op::kMatch:
        fMatched = true;
        break;
      case Op::kStar:
        if (c.acceptsRest) fAcceptsRest = true;
        states.push_back(pc);
        fPending.push_back(pc + 1);
        break;
      case Op::kUnit:
      case Op::kAny:
      case Op::kClass:
        states.push_back(pc);
        break;
    }
  }
}

bool Program::Run(std::uint16_t const* text, std::size_t length, bool ignoreCase) {
  fSeenIn.assign(fCode.size(), 0);
  std::vector<std::size_t> current;
  std::vector<std::size_t> next;
  fGeneration = 1;
  Follow(0, current);
  for (std::size_t i = 0; i < length; ++i) {
    if (fAcceptsRest) return true;
    if (current.empty()) return false;
    std::uint16_t const u = ignoreCase ? Unicode_ToUpper(text[i]) : text[i];
    ++fGeneration;
    fMatched = false;
    next.clear();
    for (std::size_t const pc : current) {
      Instruction const& c = fCode[pc];
      switch (c.op) {
        case Op::kUnit:
          if (c.unit == u) Follow(pc + 1, next);
          break;
        case Op::kClass:
          if (IsMember(c, u) != c.negated) Follow(pc + 1, next);
          break;
        case Op::kAny:
          Follow(pc + 1, next);
          break;
        case Op::kStar:
          Follow(pc, next);
          break;
        case Op::kSplit:
        case Op::kJump:
        case Op::kMatch:
          break;
      }
    }
    std::swap(current, next);
  }
  return fMatched;
}

}  // namespace

namespace kq {

bool MatchPattern(std::uint16_t const* text, std::uint32_t textLength, std::uint16_t const* pattern,
                  std::uint32_t patternLength, bool ignoreCase) {
  Program program;
  return program.Compile(pattern, patternLength, ignoreCase) &&
         program.Run(text, textLength, ignoreCase);
}

}  // namespace kq
