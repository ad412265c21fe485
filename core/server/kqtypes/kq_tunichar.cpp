#include "kq_tunichar.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <cwchar>

#include "kq_eexception.h"
#include "kq_memalloc.h"

// The character tables are built by the compiler from the range lists below,
// which are the library's definition of the classes and case pairs. The
// builders refuse (by failing constant evaluation) a range that leaves its
// page, a unit given the same class twice, a case delta for a unit without
// the matching class, and a cased unit whose delta is missing, so a slip in a
// list does not compile.

namespace {

enum Flag : std::uint8_t {
  kUpper = 1,
  kLower = 2,
  kPunct = 4,
  kSpace = 8,
  kDigit = 64,
};

// Units first..last inclusive; with step 2 every second unit from first.
struct Units {
  std::uint16_t first;
  std::uint16_t last;
  std::uint16_t step = 1;
};

constexpr Units One(std::uint16_t unit) { return {unit, unit, 1}; }
constexpr Units Step2(std::uint16_t first, std::uint16_t last) { return {first, last, 2}; }

struct ClassRun {
  Flag flag;
  Units units;
};

struct DeltaRun {
  std::int16_t delta;
  Units units;
};

using FlagTable = std::array<std::uint8_t, 256>;

constexpr void RequireInPage(std::uint8_t page, Units units) {
  if (units.first > units.last || (units.first >> 8) != page || (units.last >> 8) != page ||
      (units.step != 1 && units.step != 2)) {
    throw "range outside its page";
  }
}

template <std::size_t N>
constexpr FlagTable BuildFlags(std::uint8_t page, ClassRun const (&runs)[N]) {
  FlagTable table{};
  for (ClassRun const& run : runs) {
    RequireInPage(page, run.units);
    for (unsigned u = run.units.first; u <= run.units.last; u += run.units.step) {
      if (table[u & 0xFF] & run.flag) throw "unit listed twice for one class";
      table[u & 0xFF] |= run.flag;
    }
  }
  return table;
}

// One direction of case mapping for one page. Every unit listed must carry
// `from` (lower case for the upper-case direction and vice versa) and every
// unit carrying it must be listed exactly once, with delta 0 for units that
// have no partner.
template <class Delta, std::size_t N>
constexpr std::array<Delta, 256> BuildDeltas(std::uint8_t page, FlagTable const& flags, Flag from,
                                             DeltaRun const (&runs)[N]) {
  std::array<Delta, 256> table{};
  std::array<bool, 256> listed{};
  for (DeltaRun const& run : runs) {
    RequireInPage(page, run.units);
    if (run.delta != static_cast<Delta>(run.delta)) throw "delta too wide for its table";
    for (unsigned u = run.units.first; u <= run.units.last; u += run.units.step) {
      if (!(flags[u & 0xFF] & from)) throw "delta for a unit without the class";
      if (listed[u & 0xFF]) throw "unit listed twice";
      listed[u & 0xFF] = true;
      table[u & 0xFF] = static_cast<Delta>(run.delta);
    }
  }
  for (std::size_t i = 0; i < 256; ++i) {
    if ((flags[i] & from) && !listed[i]) throw "cased unit without a delta";
  }
  return table;
}

// Character classes, page by page.

constexpr ClassRun kClasses00[] = {
    {kUpper, {0x0041, 0x005A}}, {kUpper, {0x00C0, 0x00D6}}, {kUpper, {0x00D8, 0x00DE}},
    {kLower, {0x0061, 0x007A}}, {kLower, {0x00DF, 0x00F6}}, {kLower, {0x00F8, 0x00FF}},
    {kPunct, {0x0021, 0x002F}}, {kPunct, {0x003A, 0x0040}}, {kPunct, {0x005B, 0x0060}},
    {kPunct, {0x007B, 0x007E}}, {kPunct, One(0x00A1)},      {kPunct, One(0x00A7)},
    {kPunct, One(0x00AB)},      {kPunct, One(0x00AD)},      {kSpace, {0x0000, 0x0020}},
    {kSpace, One(0x00A0)},      {kDigit, {0x0030, 0x0039}},
};

constexpr ClassRun kClasses01[] = {
    {kUpper, Step2(0x0100, 0x0136)}, {kUpper, Step2(0x0139, 0x0147)},
    {kUpper, Step2(0x014A, 0x0178)}, {kUpper, Step2(0x0179, 0x017D)},
    {kUpper, {0x0181, 0x0182}},      {kUpper, One(0x0184)},
    {kUpper, {0x0186, 0x0187}},      {kUpper, {0x0189, 0x018B}},
    {kUpper, {0x018E, 0x0191}},      {kUpper, {0x0193, 0x0194}},
    {kUpper, {0x0196, 0x0198}},      {kUpper, {0x019C, 0x019D}},
    {kUpper, {0x019F, 0x01A0}},      {kUpper, Step2(0x01A2, 0x01A6)},
    {kUpper, One(0x01A7)},           {kUpper, One(0x01A9)},
    {kUpper, One(0x01AC)},           {kUpper, {0x01AE, 0x01AF}},
    {kUpper, {0x01B1, 0x01B3}},      {kUpper, One(0x01B5)},
    {kUpper, {0x01B7, 0x01B8}},      {kUpper, One(0x01BC)},
    {kUpper, {0x01C4, 0x01C5}},      {kUpper, {0x01C7, 0x01C8}},
    {kUpper, {0x01CA, 0x01CB}},      {kUpper, Step2(0x01CD, 0x01DB)},
    {kUpper, Step2(0x01DE, 0x01EE)}, {kLower, Step2(0x0101, 0x0137)},
    {kLower, Step2(0x0138, 0x0148)}, {kLower, Step2(0x0149, 0x0177)},
    {kLower, Step2(0x017A, 0x0180)}, {kLower, One(0x0183)},
    {kLower, One(0x0185)},           {kLower, One(0x0188)},
    {kLower, {0x018C, 0x018D}},      {kLower, One(0x0192)},
    {kLower, One(0x0195)},           {kLower, {0x0199, 0x019B}},
    {kLower, One(0x019E)},           {kLower, Step2(0x01A1, 0x01A5)},
    {kLower, One(0x01A8)},           {kLower, One(0x01AB)},
    {kLower, One(0x01AD)},           {kLower, One(0x01B0)},
    {kLower, One(0x01B4)},           {kLower, One(0x01B6)},
    {kLower, {0x01B9, 0x01BA}},      {kLower, One(0x01BD)},
    {kLower, One(0x01C6)},           {kLower, One(0x01C9)},
    {kLower, Step2(0x01CC, 0x01DC)}, {kLower, Step2(0x01DD, 0x01EF)},
    {kLower, One(0x01F0)},
};

constexpr ClassRun kClasses03[] = {
    {kUpper, One(0x0386)},      {kUpper, {0x0388, 0x038A}},      {kUpper, One(0x038C)},
    {kUpper, {0x038E, 0x038F}}, {kUpper, {0x0391, 0x03A1}},      {kUpper, {0x03A3, 0x03AB}},
    {kUpper, {0x03D2, 0x03D4}}, {kUpper, Step2(0x03DA, 0x03EE)}, {kLower, One(0x0390)},
    {kLower, {0x03AC, 0x03D1}}, {kLower, {0x03D5, 0x03D6}},      {kLower, Step2(0x03DB, 0x03EF)},
    {kLower, {0x03F0, 0x03F2}}, {kPunct, One(0x03D7)},
};

constexpr ClassRun kClasses04[] = {
    {kUpper, {0x0401, 0x040C}},      {kUpper, {0x040E, 0x042F}},
    {kUpper, Step2(0x0460, 0x0480)}, {kUpper, Step2(0x0490, 0x04C0)},
    {kUpper, Step2(0x04C1, 0x04CB)}, {kLower, {0x0430, 0x044F}},
    {kLower, {0x0451, 0x045C}},      {kLower, {0x045E, 0x045F}},
    {kLower, Step2(0x0461, 0x0481)}, {kLower, Step2(0x0491, 0x04BF)},
    {kLower, Step2(0x04C2, 0x04CC)},
};

constexpr ClassRun kClasses24[] = {
    {kUpper, {0x24B6, 0x24CF}},
    {kLower, {0x249C, 0x24B5}},
    {kLower, {0x24D0, 0x24E9}},
};

constexpr FlagTable kNoFlags{};
constexpr FlagTable kFlags00 = BuildFlags(0x00, kClasses00);
constexpr FlagTable kFlags01 = BuildFlags(0x01, kClasses01);
constexpr FlagTable kFlags03 = BuildFlags(0x03, kClasses03);
constexpr FlagTable kFlags04 = BuildFlags(0x04, kClasses04);
constexpr FlagTable kFlags24 = BuildFlags(0x24, kClasses24);

// Flag tables by high byte, for pages 0x00 to 0x24.
constexpr std::uint8_t kLastPage = 0x24;
constexpr std::array<FlagTable const*, kLastPage + 1> BuildPageIndex() {
  std::array<FlagTable const*, kLastPage + 1> index{};
  for (FlagTable const*& entry : index) entry = &kNoFlags;
  index[0x00] = &kFlags00;
  index[0x01] = &kFlags01;
  index[0x03] = &kFlags03;
  index[0x04] = &kFlags04;
  index[0x24] = &kFlags24;
  return index;
}
constexpr auto kPageFlags = BuildPageIndex();

// Upper-case direction: the delta added to a lower-case unit.

constexpr DeltaRun kToUpper00[] = {
    {-32, {0x0061, 0x007A}}, {-32, {0x00E0, 0x00F6}}, {-32, {0x00F8, 0x00FE}},
    {121, One(0x00FF)},      {0, One(0x00DF)},
};

constexpr DeltaRun kToUpper01[] = {
    {-1, Step2(0x0101, 0x0137)},
    {-1, Step2(0x013A, 0x0148)},
    {-1, Step2(0x014B, 0x0177)},
    {-1, Step2(0x017A, 0x017E)},
    {-1, One(0x0183)},
    {-1, One(0x0185)},
    {-1, One(0x0188)},
    {-1, One(0x018C)},
    {-1, One(0x0192)},
    {-1, One(0x0199)},
    {-1, Step2(0x01A1, 0x01A5)},
    {-1, One(0x01A8)},
    {-1, One(0x01AD)},
    {-1, One(0x01B0)},
    {-1, One(0x01B4)},
    {-1, One(0x01B6)},
    {-1, One(0x01B9)},
    {-1, One(0x01BD)},
    {-1, Step2(0x01CE, 0x01DC)},
    {-1, Step2(0x01DF, 0x01EF)},
    {-2, One(0x01C6)},
    {-2, One(0x01C9)},
    {-2, One(0x01CC)},
    {-79, One(0x01DD)},
    {0, One(0x0138)},
    {0, One(0x0149)},
    {0, One(0x0180)},
    {0, One(0x018D)},
    {0, One(0x0195)},
    {0, {0x019A, 0x019B}},
    {0, One(0x019E)},
    {0, One(0x01AB)},
    {0, One(0x01BA)},
    {0, One(0x01F0)},
};

constexpr DeltaRun kToUpper03[] = {
    {-1, Step2(0x03DB, 0x03EF)},
    {-31, One(0x03C2)},
    {-32, {0x03B1, 0x03C1}},
    {-32, {0x03C3, 0x03CB}},
    {-37, {0x03AD, 0x03AF}},
    {-38, One(0x03AC)},
    {-47, One(0x03D5)},
    {-54, One(0x03D6)},
    {-57, One(0x03D1)},
    {-62, One(0x03D0)},
    {-63, {0x03CD, 0x03CE}},
    {-64, One(0x03CC)},
    {0, One(0x0390)},
    {0, One(0x03B0)},
    {0, One(0x03CF)},
    {0, {0x03F0, 0x03F2}},
};

constexpr DeltaRun kToUpper04[] = {
    {-1, Step2(0x0461, 0x0481)}, {-1, Step2(0x0491, 0x04BF)}, {-1, Step2(0x04C2, 0x04CC)},
    {-32, {0x0430, 0x044F}},     {-80, {0x0451, 0x045C}},     {-80, {0x045E, 0x045F}},
};

// Lower-case direction: the delta added to an upper-case unit. Page 0x01
// needs 16-bit deltas (they reach 219).

constexpr DeltaRun kToLower00[] = {
    {32, {0x0041, 0x005A}},
    {32, {0x00C0, 0x00D6}},
    {32, {0x00D8, 0x00DE}},
};

constexpr DeltaRun kToLower01[] = {
    {1, Step2(0x0100, 0x0136)}, {1, Step2(0x0139, 0x0147)}, {1, Step2(0x014A, 0x0176)},
    {1, Step2(0x0179, 0x017D)}, {1, One(0x0182)},           {1, One(0x0184)},
    {1, One(0x0187)},           {1, One(0x018B)},           {1, One(0x0191)},
    {1, One(0x0198)},           {1, Step2(0x01A0, 0x01A4)}, {1, One(0x01A7)},
    {1, One(0x01AC)},           {1, One(0x01AF)},           {1, One(0x01B3)},
    {1, One(0x01B5)},           {1, One(0x01B8)},           {1, One(0x01BC)},
    {1, One(0x01C5)},           {1, One(0x01C8)},           {1, Step2(0x01CB, 0x01DB)},
    {1, Step2(0x01DE, 0x01EE)}, {2, One(0x01C4)},           {2, One(0x01C7)},
    {2, One(0x01CA)},           {-121, One(0x0178)},        {79, One(0x018E)},
    {202, One(0x018F)},         {203, One(0x0190)},         {205, {0x0189, 0x018A}},
    {205, One(0x0193)},         {206, One(0x0186)},         {207, One(0x0194)},
    {209, One(0x0197)},         {210, One(0x0181)},         {211, One(0x0196)},
    {211, One(0x019C)},         {213, One(0x019D)},         {214, One(0x019F)},
    {217, {0x01B1, 0x01B2}},    {218, One(0x01A9)},         {218, One(0x01AE)},
    {219, One(0x01B7)},         {0, One(0x01A6)},
};

constexpr DeltaRun kToLower03[] = {
    {1, Step2(0x03DA, 0x03EE)}, {32, {0x0391, 0x03A1}}, {32, {0x03A3, 0x03AB}},
    {37, {0x0388, 0x038A}},     {38, One(0x0386)},      {63, {0x038E, 0x038F}},
    {64, One(0x038C)},          {-13, One(0x03D2)},     {-6, One(0x03D3)},
    {-9, One(0x03D4)},
};

constexpr DeltaRun kToLower04[] = {
    {1, Step2(0x0460, 0x0480)}, {1, Step2(0x0490, 0x04BE)}, {1, Step2(0x04C1, 0x04CB)},
    {32, {0x0410, 0x042F}},     {80, {0x0401, 0x040C}},     {80, {0x040E, 0x040F}},
    {0, One(0x04C0)},
};

constexpr auto kUpperDeltas00 = BuildDeltas<std::int8_t>(0x00, kFlags00, kLower, kToUpper00);
constexpr auto kUpperDeltas01 = BuildDeltas<std::int8_t>(0x01, kFlags01, kLower, kToUpper01);
constexpr auto kUpperDeltas03 = BuildDeltas<std::int8_t>(0x03, kFlags03, kLower, kToUpper03);
constexpr auto kUpperDeltas04 = BuildDeltas<std::int8_t>(0x04, kFlags04, kLower, kToUpper04);
constexpr auto kLowerDeltas00 = BuildDeltas<std::int8_t>(0x00, kFlags00, kUpper, kToLower00);
constexpr auto kLowerDeltas01 = BuildDeltas<std::int16_t>(0x01, kFlags01, kUpper, kToLower01);
constexpr auto kLowerDeltas03 = BuildDeltas<std::int8_t>(0x03, kFlags03, kUpper, kToLower03);
constexpr auto kLowerDeltas04 = BuildDeltas<std::int8_t>(0x04, kFlags04, kUpper, kToLower04);

// The enclosed letters map by range: circled small a-z (U+24D0-U+24E9) and
// circled capital A-Z (U+24B6-U+24CF) are 26 apart; the parenthesised small
// letters U+249C-U+24B5 are lower case without a partner.
constexpr std::uint16_t kCircledDistance = 26;
constexpr std::uint16_t kFirstCircledSmall = 0x24D0;

std::uint8_t FlagsOf(std::uint16_t c) {
  unsigned const page = c >> 8;
  return page > kLastPage ? 0 : (*kPageFlags[page])[c & 0xFF];
}

std::uint16_t Shifted(std::uint16_t c, int delta) { return static_cast<std::uint16_t>(c + delta); }

}  // namespace

bool Unicode_IsUpper(std::uint16_t c) { return FlagsOf(c) & kUpper; }
bool Unicode_IsLower(std::uint16_t c) { return FlagsOf(c) & kLower; }
bool Unicode_IsPunct(std::uint16_t c) { return FlagsOf(c) & kPunct; }
bool Unicode_IsSpace(std::uint16_t c) { return FlagsOf(c) & kSpace; }
bool Unicode_IsDigit(std::uint16_t c) { return FlagsOf(c) & kDigit; }

std::uint16_t Unicode_ToUpper(std::uint16_t c) {
  if (!(FlagsOf(c) & kLower)) return c;
  unsigned const low = c & 0xFF;
  switch (c >> 8) {
    case 0x00:
      return Shifted(c, kUpperDeltas00[low]);
    case 0x01:
      return Shifted(c, kUpperDeltas01[low]);
    case 0x03:
      return Shifted(c, kUpperDeltas03[low]);
    case 0x04:
      return Shifted(c, kUpperDeltas04[low]);
    default:
      return c >= kFirstCircledSmall ? Shifted(c, -kCircledDistance) : c;
  }
}

std::uint16_t Unicode_ToLower(std::uint16_t c) {
  if (!(FlagsOf(c) & kUpper)) return c;
  unsigned const low = c & 0xFF;
  switch (c >> 8) {
    case 0x00:
      return Shifted(c, kLowerDeltas00[low]);
    case 0x01:
      return Shifted(c, kLowerDeltas01[low]);
    case 0x03:
      return Shifted(c, kLowerDeltas03[low]);
    case 0x04:
      return Shifted(c, kLowerDeltas04[low]);
    default:
      return Shifted(c, kCircledDistance);
  }
}

KQ_TUniChar::KQ_TUniChar(char const* text) {
  if (text == nullptr) return;
  wchar_t wide = 0;
  std::mbstate_t state{};
  std::size_t const used = std::mbrtowc(&wide, text, std::strlen(text), &state);
  if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2)) return;
  fUnit = kq::UnitOf(wide);
}

KQ_TUniChar::KQ_TUniChar(kq::ConstUtf8Text text) {
  if (text == nullptr) return;
  auto const* bytes = reinterpret_cast<unsigned char const*>(text);
  auto const continuation = [](unsigned b) { return (b & 0xC0) == 0x80; };
  unsigned const b0 = bytes[0];
  if (b0 < 0x80) {
    fUnit = static_cast<std::uint16_t>(b0);
    return;
  }
  // b0 is not the terminating zero, so bytes[1] exists; bytes[2] is read
  // only when bytes[1] is a continuation byte, which is never zero.
  unsigned const b1 = bytes[1];
  if ((b0 & 0xE0) == 0xC0 && continuation(b1)) {
    fUnit = static_cast<std::uint16_t>(((b0 & 0x1F) << 6) | (b1 & 0x3F));
  } else if ((b0 & 0xF0) == 0xE0 && continuation(b1) && continuation(bytes[2])) {
    unsigned const b2 = bytes[2];
    fUnit = static_cast<std::uint16_t>(((b0 & 0x0F) << 12) | ((b1 & 0x3F) << 6) | (b2 & 0x3F));
  } else {
    KQ_THROW(KQ_EIllegalUTF8Character());
  }
}

KQ_TUniChar::operator char*() const {
  auto* out = static_cast<unsigned char*>(KQ_AllocTemp(4));
  unsigned const u = fUnit;
  if (u < 0x80) {
    out[0] = static_cast<unsigned char>(u);
    out[1] = 0;
  } else if (u < 0x800) {
    out[0] = static_cast<unsigned char>(0xC0 | (u >> 6));
    out[1] = static_cast<unsigned char>(0x80 | (u & 0x3F));
    out[2] = 0;
  } else {
    out[0] = static_cast<unsigned char>(0xE0 | (u >> 12));
    out[1] = static_cast<unsigned char>(0x80 | ((u >> 6) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (u & 0x3F));
    out[3] = 0;
  }
  return reinterpret_cast<char*>(out);
}

KQ_TUniChar::operator kq::Utf8Text() const {
  return reinterpret_cast<kq::Utf8Text>(static_cast<char*>(*this));
}
