// What holders of strings outside the string class need of it: the hash of
// bare units (an Any keeps a short string in its value cell), and the way
// from a part of a string to the string (the containers hold their keys by
// an interface, the Any its objects).
#pragma once

#include <cstddef>
#include <cstdint>
#include <typeinfo>

#include "kq_tstring.h"

namespace kq::tstring {

// KQ_TString::KQ_HashValue(shift) of n units.
inline std::uint32_t UnitsHash(std::uint16_t const* units, std::uint32_t n, std::uint32_t shift) {
  std::uint32_t hash = 0;
  std::uint32_t const bits = shift % 32;
  for (std::uint32_t i = 0; i < n; ++i) hash = ((hash * 65521u) << bits) + units[i];
  return hash;
}

// Whether part belongs to a string of the class KQ_TString itself (not of a
// class derived from it).
template <class Part>
bool IsPlainString(Part const& part) {
  return typeid(part) == typeid(KQ_TString);
}

// The string part belongs to, which IsPlainString must have confirmed. Every
// string of the class itself has the same layout, so the way back from a
// part to the whole is one constant step, taken without reading the
// object's class first.
template <class Part>
KQ_TString const& PlainStringOf(Part const& part) {
  static std::ptrdiff_t const offset = [] {
    KQ_TString const sample;
    return reinterpret_cast<char const*>(static_cast<Part const*>(&sample)) -
           reinterpret_cast<char const*>(&sample);
  }();
  return *reinterpret_cast<KQ_TString const*>(reinterpret_cast<char const*>(&part) - offset);
}

}  // namespace kq::tstring
