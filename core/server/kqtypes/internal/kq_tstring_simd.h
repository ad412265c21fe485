// The inner loops of KQ_TString: UTF-8 counting, decoding and encoding, unit
// search and comparison.
//
// Every kernel exists twice: a portable scalar form (...Portable) and, where
// the compiler targets SSE2, a form that works on 16 bytes at a time
// (...Sse2). The unsuffixed name is the one the string uses; it picks the
// SSE2 form at compile time. Both forms are exported so that the tests can
// check that they agree on the same inputs.
//
// The kernels see only bounded ranges: a byte range never contains a zero
// byte the caller has not accounted for, and no kernel reads outside
// [p, p + size).
#pragma once

#include <cstddef>
#include <cstdint>

#include "kq_types.h"

namespace kq {
namespace tstring {

// Returned by the counting kernels for bytes that are not UTF-8 as the string
// accepts it, and by the search kernels for "not found".
inline constexpr std::size_t kNone = ~std::size_t{0};

// The number of units the bytes decode to, or kNone. A byte below 0x80 is one
// unit; 110xxxxx with one continuation byte and 1110xxxx with two are one
// unit each (overlong forms included); a sequence cut short by the end of the
// range, a lone continuation byte and any lead byte from 0xF0 up are illegal.
std::size_t CountUtf8Portable(unsigned char const* bytes, std::size_t size);
// Decodes bytes that CountUtf8 accepted into out, which has room for the
// counted units.
void DecodeUtf8Portable(unsigned char const* bytes, std::size_t size, std::uint16_t* out);
// Checks and decodes in one pass: the number of units written, or kNone
// when CountUtf8 would reject the bytes (out then holds garbage). out needs
// room for size units, whatever the bytes.
std::size_t DecodeUtf8CheckedPortable(unsigned char const* bytes, std::size_t size,
                                      std::uint16_t* out);
// The number of units before the first zero unit (at most count), stored in
// *used, and the number of bytes their UTF-8 form takes: one below 0x80, two
// below 0x800, else three (surrogates too, one unit at a time).
std::size_t Utf8SizePortable(std::uint16_t const* units, std::size_t count, std::size_t* used);
// Encodes count units, none of them zero, into out; returns the bytes written.
std::size_t EncodeUtf8Portable(std::uint16_t const* units, std::size_t count, unsigned char* out);
// Copies units below 0x80 as bytes into out, up to the first unit that is 0
// or from 0x80 up; returns how many were copied (count when all of them).
std::size_t NarrowAsciiPortable(std::uint16_t const* units, std::size_t count, unsigned char* out);
// The index of the first unit where a and b differ, or count.
std::size_t FirstMismatchPortable(std::uint16_t const* a, std::uint16_t const* b,
                                  std::size_t count);
// The index of the first (or last) unit equal to unit, or kNone.
std::size_t FindUnitPortable(std::uint16_t const* units, std::size_t count, std::uint16_t unit);
std::size_t FindLastUnitPortable(std::uint16_t const* units, std::size_t count, std::uint16_t unit);
// The index of the first occurrence of the needle (needleCount >= 1) in the
// haystack, or kNone.
std::size_t FindUnitsPortable(std::uint16_t const* haystack, std::size_t count,
                              std::uint16_t const* needle, std::size_t needleCount);

#if defined(__SSE2__)
std::size_t CountUtf8Sse2(unsigned char const* bytes, std::size_t size);
void DecodeUtf8Sse2(unsigned char const* bytes, std::size_t size, std::uint16_t* out);
std::size_t DecodeUtf8CheckedSse2(unsigned char const* bytes, std::size_t size, std::uint16_t* out);
std::size_t Utf8SizeSse2(std::uint16_t const* units, std::size_t count, std::size_t* used);
std::size_t EncodeUtf8Sse2(std::uint16_t const* units, std::size_t count, unsigned char* out);
std::size_t NarrowAsciiSse2(std::uint16_t const* units, std::size_t count, unsigned char* out);
std::size_t FirstMismatchSse2(std::uint16_t const* a, std::uint16_t const* b, std::size_t count);
std::size_t FindUnitSse2(std::uint16_t const* units, std::size_t count, std::uint16_t unit);
std::size_t FindLastUnitSse2(std::uint16_t const* units, std::size_t count, std::uint16_t unit);
std::size_t FindUnitsSse2(std::uint16_t const* haystack, std::size_t count,
                          std::uint16_t const* needle, std::size_t needleCount);
#define KQ_TSTRING_KERNEL_(name) name##Sse2
#else
#define KQ_TSTRING_KERNEL_(name) name##Portable
#endif

inline std::size_t CountUtf8(unsigned char const* bytes, std::size_t size) {
  return KQ_TSTRING_KERNEL_(CountUtf8)(bytes, size);
}
inline void DecodeUtf8(unsigned char const* bytes, std::size_t size, std::uint16_t* out) {
  KQ_TSTRING_KERNEL_(DecodeUtf8)(bytes, size, out);
}
inline std::size_t DecodeUtf8Checked(unsigned char const* bytes, std::size_t size,
                                     std::uint16_t* out) {
  return KQ_TSTRING_KERNEL_(DecodeUtf8Checked)(bytes, size, out);
}
inline std::size_t Utf8Size(std::uint16_t const* units, std::size_t count, std::size_t* used) {
  return KQ_TSTRING_KERNEL_(Utf8Size)(units, count, used);
}
inline std::size_t EncodeUtf8(std::uint16_t const* units, std::size_t count, unsigned char* out) {
  return KQ_TSTRING_KERNEL_(EncodeUtf8)(units, count, out);
}
inline std::size_t NarrowAscii(std::uint16_t const* units, std::size_t count, unsigned char* out) {
  return KQ_TSTRING_KERNEL_(NarrowAscii)(units, count, out);
}
inline std::size_t FirstMismatch(std::uint16_t const* a, std::uint16_t const* b,
                                 std::size_t count) {
  return KQ_TSTRING_KERNEL_(FirstMismatch)(a, b, count);
}
inline std::size_t FindUnit(std::uint16_t const* units, std::size_t count, std::uint16_t unit) {
  return KQ_TSTRING_KERNEL_(FindUnit)(units, count, unit);
}
inline std::size_t FindLastUnit(std::uint16_t const* units, std::size_t count, std::uint16_t unit) {
  return KQ_TSTRING_KERNEL_(FindLastUnit)(units, count, unit);
}
inline std::size_t FindUnits(std::uint16_t const* haystack, std::size_t count,
                             std::uint16_t const* needle, std::size_t needleCount) {
  return KQ_TSTRING_KERNEL_(FindUnits)(haystack, count, needle, needleCount);
}

#undef KQ_TSTRING_KERNEL_

}  // namespace tstring
}  // namespace kq
