// What a KQ_TString computes from its units alone, for the holders of units
// outside a string object (an Any keeps a short string in its value cell).
#pragma once

#include <cstdint>

namespace kq::tstring {

// KQ_TString::KQ_HashValue(shift) of n units.
inline std::uint32_t UnitsHash(std::uint16_t const* units, std::uint32_t n, std::uint32_t shift) {
  std::uint32_t hash = 0;
  std::uint32_t const bits = shift % 32;
  for (std::uint32_t i = 0; i < n; ++i) hash = ((hash * 65521u) << bits) + units[i];
  return hash;
}

}  // namespace kq::tstring
