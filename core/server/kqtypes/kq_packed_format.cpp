#include "internal/kq_packed_format.h"

#include <cmath>

namespace kq::packed {

namespace {

// 2^k, exact for every k of the table below (2^-1023 is a subnormal double
// and still exact).
constexpr double Pow2(int k) {
  double result = 1.0;
  double base = k < 0 ? 0.5 : 2.0;
  unsigned n = static_cast<unsigned>(k < 0 ? -k : k);
  while (n != 0) {
    if ((n & 1u) != 0) result *= base;
    if (n > 1) base *= base;
    n >>= 1;
  }
  return result;
}

// 2^(e - 1023) for every double exponent field e that is not all ones.
struct Pow2Table {
  double fValue[2047];
  constexpr Pow2Table() : fValue() {
    for (int e = 0; e < 2047; ++e) fValue[e] = Pow2(e - 1023);
  }
};
constexpr Pow2Table kPow2{};

constexpr std::uint32_t kFloatNaN = 0x7FC00000u;
constexpr std::uint32_t kFloatInfinity = 0x7F800000u;
constexpr std::uint64_t kDoubleNaN = 0x7FF8000000000000u;
constexpr std::uint64_t kDoubleInfinity = 0x7FF0000000000000u;

}  // namespace

// The pattern of a value that is not a normal number: sign, exponent from
// the binary logarithm (frexp), mantissa by scaling the fraction.
// Subnormal magnitudes give zero.
std::uint32_t EncodeSpecialFloat(float value) {
  if (std::isnan(value)) return kFloatNaN;
  if (value == 0.0f) return 0;
  std::uint32_t const sign = std::signbit(value) ? 0x80000000u : 0;
  double const magnitude = std::fabs(static_cast<double>(value));
  if (std::isinf(magnitude)) return sign | kFloatInfinity;
  int e = 0;
  double const m = std::frexp(magnitude, &e);  // magnitude = m * 2^e, m in [0.5, 1)
  int const exponent = e - 1;
  if (exponent > 127) return sign | kFloatInfinity;
  if (exponent < -126) return 0;
  auto const mantissa = static_cast<std::uint32_t>((2.0 * m - 1.0) * 8388608.0);  // 2^23
  return sign | (static_cast<std::uint32_t>(exponent + 127) << 23) | mantissa;
}

std::uint64_t EncodeSpecialDouble(double value) {
  if (std::isnan(value)) return kDoubleNaN;
  if (value == 0.0) return 0;
  std::uint64_t const sign = std::signbit(value) ? 0x8000000000000000u : 0;
  double const magnitude = std::fabs(value);
  if (std::isinf(magnitude)) return sign | kDoubleInfinity;
  int e = 0;
  double const m = std::frexp(magnitude, &e);
  int const exponent = e - 1;
  if (exponent > 1023) return sign | kDoubleInfinity;
  if (exponent < -1022) return 0;
  auto const mantissa = static_cast<std::uint64_t>((2.0 * m - 1.0) * 4503599627370496.0);  // 2^52
  return sign | (static_cast<std::uint64_t>(exponent + 1023) << 52) | mantissa;
}

// The value of a pattern whose exponent field is all zeros or all ones:
// (1 + mantissa / 2^23) * 2^(exponent - 127), which for a zero field reads
// a subnormal pattern as a tiny normal number, as every other pattern.
float DecodeSpecialFloat(std::uint32_t bits) {
  if (bits == 0) return 0.0f;
  bool const negative = (bits & 0x80000000u) != 0;
  std::uint32_t const exponent = (bits >> 23) & 0xFFu;
  std::uint32_t const mantissa = bits & 0x7FFFFFu;
  if (exponent == 0xFFu) {
    if (mantissa != 0) return std::nanf("");
    return negative ? -HUGE_VALF : HUGE_VALF;
  }
  double const magnitude = (1.0 + mantissa / 8388608.0) * kPow2.fValue[exponent - 127 + 1023];
  return static_cast<float>(negative ? -magnitude : magnitude);
}

double DecodeSpecialDouble(std::uint64_t bits) {
  if (bits == 0) return 0.0;
  bool const negative = (bits >> 63) != 0;
  auto const exponent = static_cast<std::uint32_t>((bits >> 52) & 0x7FFu);
  std::uint64_t const mantissa = bits & 0xFFFFFFFFFFFFFu;
  if (exponent == 0x7FFu) {
    if (mantissa != 0) return std::nan("");
    return negative ? -HUGE_VAL : HUGE_VAL;
  }
  double const magnitude =
      (1.0 + static_cast<double>(mantissa) / 4503599627370496.0) * kPow2.fValue[exponent];
  return negative ? -magnitude : magnitude;
}

}  // namespace kq::packed
