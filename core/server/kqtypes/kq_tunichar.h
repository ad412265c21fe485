// KQ_TUniChar: one 16-bit Unicode code unit, and the character-class and
// case-mapping functions of the library.
//
// Classification and case mapping cover the Latin (U+0000-U+01FF), Greek
// (U+0300-U+03FF), Cyrillic (U+0400-U+04FF) and enclosed-letter
// (U+2400-U+24FF) pages; every other unit has no class and maps to itself.
// The case pairs are the library's own tables, not the current Unicode data:
// U+0130 and U+0131 map onto each other, U+00FF upper-cases to U+0178.
#pragma once

#include <cstdint>
#include <type_traits>

#include "kq_types.h"

KQ_EXPORT bool Unicode_IsUpper(std::uint16_t c);
KQ_EXPORT bool Unicode_IsLower(std::uint16_t c);
KQ_EXPORT bool Unicode_IsPunct(std::uint16_t c);
// All C0 control units count as white space, as does U+00A0.
KQ_EXPORT bool Unicode_IsSpace(std::uint16_t c);
KQ_EXPORT bool Unicode_IsDigit(std::uint16_t c);
// c unchanged unless it is lower case on a covered page. Units that are lower
// case but have no partner (U+00DF, U+249C-U+24B5) stay unchanged.
KQ_EXPORT std::uint16_t Unicode_ToUpper(std::uint16_t c);
// c unchanged unless it is upper case on a covered page.
KQ_EXPORT std::uint16_t Unicode_ToLower(std::uint16_t c);

namespace kq {

// The narrow-string kinds at the library's boundary: a char const* is text of
// the current locale, a char const (*)[1] is UTF-8.
using Utf8Text = char (*)[1];
using ConstUtf8Text = char const (*)[1];

// Integer and character types that KQ_TUniChar takes and compares by value,
// besides the exact forms std::uint16_t and char (which is sign-extended).
template <class T>
inline constexpr bool kIsOtherUnitValue =
    std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char> &&
    !std::is_same_v<T, std::uint16_t>;

template <class T>
using EnableIfOtherUnitValue = std::enable_if_t<kIsOtherUnitValue<T>, int>;

// The unit of a code point, or U+FFFD for a value that is no 16-bit unit.
template <class T>
constexpr std::uint16_t UnitOf(T value) {
  if constexpr (std::is_signed_v<T>) {
    if (value < 0) return 0xFFFD;
  }
  return static_cast<std::uint64_t>(value) > 0xFFFF ? std::uint16_t{0xFFFD}
                                                    : static_cast<std::uint16_t>(value);
}

// The value clamped to -1 .. 0x10000, so that comparing it with a unit as a
// 32-bit number gives the same order as comparing the full values.
template <class T>
constexpr std::int32_t ClampedUnitValue(T value) {
  if constexpr (std::is_signed_v<T>) {
    if (value < 0) return -1;
  }
  return static_cast<std::uint64_t>(value) > 0xFFFF ? 0x10000 : static_cast<std::int32_t>(value);
}

}  // namespace kq

// One UTF-16 code unit. A plain value class: no class record, no virtual
// operations.
//
// A char is a signed byte: KQ_TUniChar(char(0xE9)) holds U+FFE9. Values that
// are no 16-bit unit (a wchar_t or other integer below 0 or above 0xFFFF, a
// locale character beyond U+FFFF) become U+FFFD, the replacement character.
//
// Because the unit converts to several scalar types, code that needs a number
// names the type: std::uint16_t(c) rather than int(c).
class KQ_EXPORT KQ_TUniChar {
 public:
  KQ_TUniChar() = default;
  KQ_TUniChar(std::uint16_t unit) : fUnit(unit) {}
  KQ_TUniChar(char16_t unit) : fUnit(unit) {}
  KQ_TUniChar(wchar_t c) : fUnit(kq::UnitOf(c)) {}
  KQ_TUniChar(char c) : fUnit(static_cast<std::uint16_t>(static_cast<signed char>(c))) {}
  template <class T, kq::EnableIfOtherUnitValue<T> = 0>
  KQ_TUniChar(T value) : fUnit(kq::UnitOf(value)) {}
  // The first character of text in the current locale's multibyte encoding;
  // 0 for a null pointer or when the conversion fails.
  KQ_TUniChar(char const* text);
  // The first character of UTF-8 text; 0 for null or empty text. Raises
  // KQ_EIllegalUTF8Character when the text does not start with a one-, two-
  // or three-byte character.
  KQ_TUniChar(kq::ConstUtf8Text text);

  KQ_TUniChar& operator=(std::uint16_t unit) { return Set(KQ_TUniChar(unit)); }
  KQ_TUniChar& operator=(char16_t unit) { return Set(KQ_TUniChar(unit)); }
  KQ_TUniChar& operator=(wchar_t c) { return Set(KQ_TUniChar(c)); }
  KQ_TUniChar& operator=(char c) { return Set(KQ_TUniChar(c)); }
  template <class T, kq::EnableIfOtherUnitValue<T> = 0>
  KQ_TUniChar& operator=(T value) {
    return Set(KQ_TUniChar(value));
  }
  KQ_TUniChar& operator=(char const* text) { return Set(KQ_TUniChar(text)); }
  KQ_TUniChar& operator=(kq::ConstUtf8Text text) { return Set(KQ_TUniChar(text)); }

  operator std::uint16_t() const { return fUnit; }
  operator wchar_t() const { return static_cast<wchar_t>(fUnit); }
  // The unit when below 256, else 0.
  operator char() const { return fUnit < 256 ? static_cast<char>(fUnit) : '\0'; }
  // The UTF-8 bytes of the unit and a zero byte, in a temporary of the ring
  // (never freed by the caller). Both conversions give the same bytes.
  operator char*() const;
  operator kq::Utf8Text() const;

  bool operator!() const { return fUnit == 0; }

  bool IsUpper() const { return Unicode_IsUpper(fUnit); }
  bool IsLower() const { return Unicode_IsLower(fUnit); }
  bool IsDigit() const { return Unicode_IsDigit(fUnit); }
  bool IsPunct() const { return Unicode_IsPunct(fUnit); }
  bool IsSpace() const { return Unicode_IsSpace(fUnit); }
  KQ_TUniChar ToUpper() const { return KQ_TUniChar(Unicode_ToUpper(fUnit)); }
  KQ_TUniChar ToLower() const { return KQ_TUniChar(Unicode_ToLower(fUnit)); }

 private:
  KQ_TUniChar& Set(KQ_TUniChar other) {
    fUnit = other.fUnit;
    return *this;
  }

  std::uint16_t fUnit = 0;
};

// Comparisons order the 16-bit values as unsigned numbers. A char operand is
// sign-extended first, like the char constructor; any other integer or
// character type compares by its value (so c == -1 is false for every c).
#define KQ_UNICHAR_COMPARISON_(op)                                                          \
  inline bool operator op(KQ_TUniChar a, KQ_TUniChar b) {                                   \
    return std::uint16_t(a) op std::uint16_t(b);                                            \
  }                                                                                         \
  inline bool operator op(KQ_TUniChar a, std::uint16_t b) { return std::uint16_t(a) op b; } \
  inline bool operator op(std::uint16_t a, KQ_TUniChar b) { return a op std::uint16_t(b); } \
  inline bool operator op(KQ_TUniChar a, char b) {                                          \
    return std::uint16_t(a) op std::uint16_t(KQ_TUniChar(b));                               \
  }                                                                                         \
  inline bool operator op(char a, KQ_TUniChar b) {                                          \
    return std::uint16_t(KQ_TUniChar(a)) op std::uint16_t(b);                               \
  }                                                                                         \
  template <class T, kq::EnableIfOtherUnitValue<T> = 0>                                     \
  inline bool operator op(KQ_TUniChar a, T b) {                                             \
    return std::int32_t{std::uint16_t(a)} op kq::ClampedUnitValue(b);                       \
  }                                                                                         \
  template <class T, kq::EnableIfOtherUnitValue<T> = 0>                                     \
  inline bool operator op(T a, KQ_TUniChar b) {                                             \
    return kq::ClampedUnitValue(a) op std::int32_t{std::uint16_t(b)};                       \
  }

KQ_UNICHAR_COMPARISON_(==)
KQ_UNICHAR_COMPARISON_(!=)
KQ_UNICHAR_COMPARISON_(<)
KQ_UNICHAR_COMPARISON_(<=)
KQ_UNICHAR_COMPARISON_(>)
KQ_UNICHAR_COMPARISON_(>=)

#undef KQ_UNICHAR_COMPARISON_
