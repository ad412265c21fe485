// Standard UTF-8 and its lossless variant for names that are bytes, beside
// the library's own rule (kq_tstring_simd.h).
//
// Standard UTF-8 decodes one- to four-byte sequences; a code point beyond
// U+FFFF becomes a surrogate pair. Overlong forms, encoded surrogates
// (ED A0..BF xx), code points beyond U+10FFFF, stray continuation bytes,
// lead bytes C0, C1 and F5..FF and sequences cut short are not UTF-8.
//
// The lossless variant decodes every byte sequence: what is standard UTF-8
// decodes as above, and each byte that does not begin a valid sequence
// becomes the lone surrogate U+DC80 + (byte - 0x80), a unit that no valid
// sequence gives. Encoding turns such a lone unit back into its byte, so
// bytes -> units -> bytes gives the bytes back exactly.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kq::tstring {

// Decodes size bytes into out, which has room for size units. Returns the
// units written, or kNone (see kq_tstring_simd.h) at the first byte that is
// not standard UTF-8.
std::size_t DecodeStandardUtf8(unsigned char const* bytes, std::size_t size, std::uint16_t* out);
// The same without failure: invalid bytes become U+DC80..U+DCFF.
std::size_t DecodeLosslessUtf8(unsigned char const* bytes, std::size_t size, std::uint16_t* out);

// Encodes count units into out, which has room for 3 * count bytes; returns
// the bytes written. A surrogate pair gives its code point's four bytes. A
// lone surrogate gives U+FFFD (EF BF BD) in the standard form, so the
// result is always valid; in the lossless form U+DC80..U+DCFF give their
// byte and any other lone surrogate its three-byte form.
std::size_t EncodeStandardUtf8(std::uint16_t const* units, std::size_t count, unsigned char* out);
// Every unit on its own, zero units too (the library's rule).
std::size_t EncodeLibraryUtf8(std::uint16_t const* units, std::size_t count, unsigned char* out);
std::size_t EncodeLosslessUtf8(std::uint16_t const* units, std::size_t count, unsigned char* out);

}  // namespace kq::tstring
