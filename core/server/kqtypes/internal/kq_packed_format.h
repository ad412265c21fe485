// The binary packing format in one place: its tags, the big-endian byte
// order, the floating-point codec and the table of the Any's kinds. The data
// stream, the Any, the string and the data block write and read packed
// bytes through what is here, so a change of the format is made once.
//
// Every element starts with a one-byte tag:
//
//   0x00 no object            0x08 u64          0x0E class section: u32 n, name,
//   0x01 signed char          0x09 bool (1)          elements, 0xFF
//   0x02 short                0x0A char         0x0F packet: u32 n, n bytes
//   0x03 32-bit integer       0x0B float        0x40..0x49 (and any other code
//   0x04 64-bit integer       0x0C double            registered with the data
//   0x05 unsigned char        0x0D object: u32 n,    stream): an object of that
//   0x06 unsigned short            type name,        class, no trailer
//   0x07 unsigned 32-bit           elements, 0xFF
//                                                0xFF trailer
//
// Numbers are big-endian. Floating-point values are IEEE 754 bit patterns
// computed from the value (sign, exponent, scaled mantissa), never copied
// from memory: any NaN is written as the quiet NaN 0x7FC00000 /
// 0x7FF8000000000000, both zeros as all bits clear, infinities with their
// sign. A magnitude below the smallest normal number is written as zero (all
// bits clear): the reader turns every pattern other than zero, infinity and
// NaN into (1.mantissa) x 2^(exponent - bias), so a subnormal pattern would
// not read back as the value it came from.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "kq_tany.h"
#include "kq_tclass.h"

namespace kq::packed {

enum Tag : unsigned char {
  kNoObject = 0x00,
  kInt8Tag = 0x01,
  kInt16Tag = 0x02,
  kInt32Tag = 0x03,
  kInt64Tag = 0x04,
  kUInt8Tag = 0x05,
  kUInt16Tag = 0x06,
  kUInt32Tag = 0x07,
  kUInt64Tag = 0x08,
  kBoolTag = 0x09,
  kCharTag = 0x0A,
  kFloatTag = 0x0B,
  kDoubleTag = 0x0C,
  kObjectTag = 0x0D,
  kSectionTag = 0x0E,
  kPacketTag = 0x0F,
  kTrailer = 0xFF
};

// The kinds of an Any that hold a basic value: kind number, member of the
// Any's value cell, C++ type, packed tag, basic class record, and the
// constant the Any's hash adds for the kind. Every per-kind rule of the Any
// and of the format is expanded from this table.
#define KQ_ANY_BASIC_KINDS(X)                                        \
  X(kInt8, fInt8, std::int8_t, kInt8Tag, KQ_TInt8Class, 2)           \
  X(kInt16, fInt16, std::int16_t, kInt16Tag, KQ_TInt16Class, 3)      \
  X(kInt32, fInt32, std::int32_t, kInt32Tag, KQ_TInt32Class, 4)      \
  X(kInt64, fInt64, std::int64_t, kInt64Tag, KQ_TInt64Class, 4)      \
  X(kUInt8, fUInt8, std::uint8_t, kUInt8Tag, KQ_TUInt8Class, 5)      \
  X(kUInt16, fUInt16, std::uint16_t, kUInt16Tag, KQ_TUInt16Class, 6) \
  X(kUInt32, fUInt32, std::uint32_t, kUInt32Tag, KQ_TUInt32Class, 7) \
  X(kUInt64, fUInt64, std::uint64_t, kUInt64Tag, KQ_TUInt64Class, 7) \
  X(kBool, fBool, bool, kBoolTag, KQ_TBoolClass, 8)                  \
  X(kChar, fChar, char, kCharTag, KQ_TCharClass, 9)                  \
  X(kFloat, fFloat, float, kFloatTag, KQ_TFloatClass, 10)            \
  X(kDouble, fDouble, double, kDoubleTag, KQ_TDoubleClass, 11)

// The kinds that hold an address the Any does not own: kind number, member,
// C++ type, and the hash constant. They are compared and hashed by address
// and never packed.
#define KQ_ANY_POINTER_KINDS(X)                 \
  X(kPointer, fPointer, void*, 12)              \
  X(kCPointer, fCPointer, void const*, 13)      \
  X(kInterface, fInterface, KQ_IInterface*, 14) \
  X(kCInterface, fCInterface, KQ_IInterface const*, 15)

// The tag of each basic type.
template <class T>
struct TagOf;
#define KQ_PACKED_TAG_OF_(kind, member, Type, tag, record, hash) \
  template <>                                                    \
  struct TagOf<Type> {                                           \
    static constexpr Tag kValue = tag;                           \
  };
KQ_ANY_BASIC_KINDS(KQ_PACKED_TAG_OF_)
#undef KQ_PACKED_TAG_OF_

// Bytes of the value behind each tag of a basic type (0 for other tags).
struct TagSizes {
  unsigned char fSize[256];
  constexpr TagSizes() : fSize() {
#define KQ_PACKED_TAG_SIZE_(kind, member, Type, tag, record, hash) fSize[tag] = sizeof(Type);
    KQ_ANY_BASIC_KINDS(KQ_PACKED_TAG_SIZE_)
#undef KQ_PACKED_TAG_SIZE_
  }
};
inline constexpr TagSizes kTagSizes{};

// Big-endian byte order.

inline void StoreBE16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}

inline void StoreBE32(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

inline void StoreBE64(unsigned char* p, std::uint64_t v) {
  StoreBE32(p, static_cast<std::uint32_t>(v >> 32));
  StoreBE32(p + 4, static_cast<std::uint32_t>(v));
}

inline std::uint16_t LoadBE16(unsigned char const* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline std::uint32_t LoadBE32(unsigned char const* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

inline std::uint64_t LoadBE64(unsigned char const* p) {
  return (std::uint64_t{p[0]} << 56) | (std::uint64_t{p[1]} << 48) | (std::uint64_t{p[2]} << 40) |
         (std::uint64_t{p[3]} << 32) | (std::uint64_t{p[4]} << 24) | (std::uint64_t{p[5]} << 16) |
         (std::uint64_t{p[6]} << 8) | std::uint64_t{p[7]};
}

// count UTF-16 units, each high byte first. A std::size_t index lets the
// compiler turn these loops into vector code.
inline void StoreUnitsBE(unsigned char* out, std::uint16_t const* units, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) StoreBE16(out + 2 * i, units[i]);
}

inline void LoadUnitsBE(std::uint16_t* units, unsigned char const* in, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) units[i] = LoadBE16(in + 2 * i);
}

// Floating point. A normal number (exponent field neither all zeros nor all
// ones) is its machine's IEEE pattern, which the format's computation gives
// exactly, so only zeros, subnormals, infinities and NaNs leave the inline
// part.

static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559,
              "normal numbers are copied as their IEEE patterns");

std::uint32_t EncodeSpecialFloat(float value);
std::uint64_t EncodeSpecialDouble(double value);
float DecodeSpecialFloat(std::uint32_t bits);
double DecodeSpecialDouble(std::uint64_t bits);

inline std::uint32_t EncodeFloat(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  if (((bits >> 23) & 0xFFu) - 1u < 0xFEu) return bits;
  return EncodeSpecialFloat(value);
}

inline std::uint64_t EncodeDouble(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  if (((bits >> 52) & 0x7FFu) - 1u < 0x7FEu) return bits;
  return EncodeSpecialDouble(value);
}

inline float DecodeFloat(std::uint32_t bits) {
  if (((bits >> 23) & 0xFFu) - 1u < 0xFEu) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
  return DecodeSpecialFloat(bits);
}

inline double DecodeDouble(std::uint64_t bits) {
  if (((bits >> 52) & 0x7FFu) - 1u < 0x7FEu) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
  return DecodeSpecialDouble(bits);
}

// The value of a basic type in its packed bytes (without the tag).
template <class T>
inline void StoreValue(unsigned char* out, T value) {
  if constexpr (std::is_same_v<T, float>) {
    StoreBE32(out, EncodeFloat(value));
  } else if constexpr (std::is_same_v<T, double>) {
    StoreBE64(out, EncodeDouble(value));
  } else if constexpr (std::is_same_v<T, bool>) {
    out[0] = value ? 1 : 0;
  } else if constexpr (sizeof(T) == 1) {
    out[0] = static_cast<unsigned char>(value);
  } else if constexpr (sizeof(T) == 2) {
    StoreBE16(out, static_cast<std::uint16_t>(value));
  } else if constexpr (sizeof(T) == 4) {
    StoreBE32(out, static_cast<std::uint32_t>(value));
  } else {
    static_assert(sizeof(T) == 8, "a basic value has 1, 2, 4 or 8 bytes");
    StoreBE64(out, static_cast<std::uint64_t>(value));
  }
}

// A bool is true for any non-zero byte.
template <class T>
inline T LoadValue(unsigned char const* in) {
  if constexpr (std::is_same_v<T, float>) {
    return DecodeFloat(LoadBE32(in));
  } else if constexpr (std::is_same_v<T, double>) {
    return DecodeDouble(LoadBE64(in));
  } else if constexpr (std::is_same_v<T, bool>) {
    return in[0] != 0;
  } else if constexpr (sizeof(T) == 1) {
    return static_cast<T>(in[0]);
  } else if constexpr (sizeof(T) == 2) {
    return static_cast<T>(LoadBE16(in));
  } else if constexpr (sizeof(T) == 4) {
    return static_cast<T>(LoadBE32(in));
  } else {
    return static_cast<T>(LoadBE64(in));
  }
}

// A string element's head: the string's packing code, its length as a
// tagged unsigned 32-bit number, and the tag and byte count of the packet
// of its units.
constexpr std::uint32_t kStringHeadSize = 11;

inline void StoreStringHead(unsigned char* out, unsigned char code, std::uint32_t length) {
  out[0] = code;
  out[1] = kUInt32Tag;
  StoreBE32(out + 2, length);
  out[6] = kPacketTag;
  StoreBE32(out + 7, length * 2);
}

// An object header or class section head: the tag and the name's length.
constexpr std::uint32_t kNamedHeadSize = 5;

}  // namespace kq::packed
