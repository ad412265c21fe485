// Basic definitions shared by every kqtypes header: the export marker and the
// mapping of the compiler's integer types onto the library's fixed widths.
//
// The library's observable widths are fixed: a "long" of the object model is
// 32 bits, whatever the compiler's `long` is. Interfaces therefore take
// std::int32_t, std::uint32_t and friends. So that a caller's `long`,
// `long long` or `unsigned` literal never makes an overload set ambiguous,
// overloaded operations add one template that forwards every other integer
// type to the fixed-width type of the same size and signedness.
#pragma once

#include <cstdint>
#include <type_traits>

#if defined(_WIN32)
#define KQ_EXPORT __declspec(dllexport)
#define KQ_NOINLINE __declspec(noinline)
#else
#define KQ_EXPORT __attribute__((visibility("default")))
#define KQ_NOINLINE __attribute__((noinline))
#endif

// Asks the processor to start loading what address points at.
#if defined(__GNUC__)
#define KQ_PREFETCH(address) __builtin_prefetch(address)
#else
#define KQ_PREFETCH(address) ((void)(address))
#endif

namespace kq {

// Whether two class or interface names are equal. Casts and registry
// lookups compare a name with many short names that share the "KQ_" start;
// the same literal often arrives as the same pointer, and a mismatch shows
// within a few characters, so this inline loop beats a library call.
inline bool SameName(char const* a, char const* b) {
  if (a == b) return true;
  while (*a == *b) {
    if (*a == '\0') return true;
    ++a;
    ++b;
  }
  return false;
}

template <std::size_t Size, bool Signed>
struct FixedIntOfSize;
template <>
struct FixedIntOfSize<1, true> {
  using type = std::int8_t;
};
template <>
struct FixedIntOfSize<2, true> {
  using type = std::int16_t;
};
template <>
struct FixedIntOfSize<4, true> {
  using type = std::int32_t;
};
template <>
struct FixedIntOfSize<8, true> {
  using type = std::int64_t;
};
template <>
struct FixedIntOfSize<1, false> {
  using type = std::uint8_t;
};
template <>
struct FixedIntOfSize<2, false> {
  using type = std::uint16_t;
};
template <>
struct FixedIntOfSize<4, false> {
  using type = std::uint32_t;
};
template <>
struct FixedIntOfSize<8, false> {
  using type = std::uint64_t;
};

// The fixed-width integer type with T's size and signedness.
template <class T>
using FixedInt = typename FixedIntOfSize<sizeof(T), std::is_signed_v<T>>::type;

template <class T>
inline constexpr bool kIsCharacterType =
    std::is_same_v<T, bool> || std::is_same_v<T, char> || std::is_same_v<T, wchar_t> ||
    std::is_same_v<T, char16_t> || std::is_same_v<T, char32_t>;

// True for an integer type that is not itself one of the fixed-width types
// (for example `long long` where std::int64_t is `long`).
template <class T, bool = std::is_integral_v<T> && !kIsCharacterType<T>>
struct IsOtherInteger : std::false_type {};
template <class T>
struct IsOtherInteger<T, true> : std::bool_constant<!std::is_same_v<T, FixedInt<T>>> {};
template <class T>
inline constexpr bool kIsOtherInteger = IsOtherInteger<T>::value;

template <class T>
using EnableIfOtherInteger = std::enable_if_t<kIsOtherInteger<T>, int>;

}  // namespace kq
