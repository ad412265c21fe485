#include "internal/kq_tstring_utf8.h"

#include <cstring>

#include "internal/kq_tstring_simd.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kq::tstring {

namespace {

// Widens the ASCII bytes at the front of [bytes, bytes + size) into out;
// returns how many there were. Sixteen at a time where SSE2 is there.
inline std::size_t WidenAscii(unsigned char const* bytes, std::size_t size, std::uint16_t* out) {
  std::size_t i = 0;
#if defined(__SSE2__)
  __m128i const zero = _mm_setzero_si128();
  for (; i + 16 <= size; i += 16) {
    __m128i const chunk = _mm_loadu_si128(reinterpret_cast<__m128i const*>(bytes + i));
    if (_mm_movemask_epi8(chunk) != 0) break;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(chunk, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_unpackhi_epi8(chunk, zero));
  }
#endif
  for (; i < size && bytes[i] < 0x80; ++i) out[i] = bytes[i];
  return i;
}

inline bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the valid standard sequence at bytes (at most size bytes
// long) and its code point, or 0 when none starts there.
inline std::size_t Sequence(unsigned char const* bytes, std::size_t size, std::uint32_t* point) {
  unsigned char const lead = bytes[0];
  if (lead < 0xC2 || lead > 0xF4) return 0;
  if (lead < 0xE0) {
    if (size < 2 || !IsContinuation(bytes[1])) return 0;
    *point = (std::uint32_t{lead} & 0x1F) << 6 | (bytes[1] & 0x3F);
    return 2;
  }
  // The second byte's range rules out overlong forms, surrogates and code
  // points beyond U+10FFFF.
  unsigned char const low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  unsigned char const high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  if (size < 2 || bytes[1] < low || bytes[1] > high) return 0;
  if (lead < 0xF0) {
    if (size < 3 || !IsContinuation(bytes[2])) return 0;
    *point = (std::uint32_t{lead} & 0x0F) << 12 | (std::uint32_t{bytes[1]} & 0x3F) << 6 |
             (bytes[2] & 0x3F);
    return 3;
  }
  if (size < 4 || !IsContinuation(bytes[2]) || !IsContinuation(bytes[3])) return 0;
  *point = (std::uint32_t{lead} & 0x07) << 18 | (std::uint32_t{bytes[1]} & 0x3F) << 12 |
           (std::uint32_t{bytes[2]} & 0x3F) << 6 | (bytes[3] & 0x3F);
  return 4;
}

template <bool kLossless>
std::size_t Decode(unsigned char const* bytes, std::size_t size, std::uint16_t* out) {
  std::size_t in = 0;
  std::size_t written = 0;
  while (in < size) {
    if (bytes[in] < 0x80) {
      std::size_t const run = WidenAscii(bytes + in, size - in, out + written);
      in += run;
      written += run;
      continue;
    }
    std::uint32_t point = 0;
    std::size_t const length = Sequence(bytes + in, size - in, &point);
    if (length == 0) {
      if constexpr (!kLossless) return kNone;
      out[written++] = static_cast<std::uint16_t>(0xDC00 + bytes[in]);
      ++in;
      continue;
    }
    in += length;
    if (point < 0x10000) {
      out[written++] = static_cast<std::uint16_t>(point);
    } else {
      point -= 0x10000;
      out[written++] = static_cast<std::uint16_t>(0xD800 + (point >> 10));
      out[written++] = static_cast<std::uint16_t>(0xDC00 + (point & 0x3FF));
    }
  }
  return written;
}

inline unsigned char* PutThree(std::uint32_t unit, unsigned char* out) {
  out[0] = static_cast<unsigned char>(0xE0 | (unit >> 12));
  out[1] = static_cast<unsigned char>(0x80 | ((unit >> 6) & 0x3F));
  out[2] = static_cast<unsigned char>(0x80 | (unit & 0x3F));
  return out + 3;
}

enum class Rule { kLibrary, kStandard, kLossless };

template <Rule kRule>
std::size_t Encode(std::uint16_t const* units, std::size_t count, unsigned char* out) {
  unsigned char* const start = out;
  std::size_t i = 0;
  while (i < count) {
    // Copies ASCII runs, stopping also at zero units, which go out as bytes.
    std::size_t const ascii = NarrowAscii(units + i, count - i, out);
    i += ascii;
    out += ascii;
    if (i == count) break;
    std::uint32_t const unit = units[i++];
    if (unit < 0x80) {
      *out++ = static_cast<unsigned char>(unit);
    } else if (unit < 0x800) {
      *out++ = static_cast<unsigned char>(0xC0 | (unit >> 6));
      *out++ = static_cast<unsigned char>(0x80 | (unit & 0x3F));
    } else if (unit < 0xD800 || unit > 0xDFFF || kRule == Rule::kLibrary) {
      out = PutThree(unit, out);
    } else if (unit < 0xDC00 && i < count && units[i] >= 0xDC00 && units[i] <= 0xDFFF) {
      std::uint32_t const point = 0x10000 + ((unit - 0xD800) << 10) + (units[i++] - 0xDC00);
      *out++ = static_cast<unsigned char>(0xF0 | (point >> 18));
      *out++ = static_cast<unsigned char>(0x80 | ((point >> 12) & 0x3F));
      *out++ = static_cast<unsigned char>(0x80 | ((point >> 6) & 0x3F));
      *out++ = static_cast<unsigned char>(0x80 | (point & 0x3F));
    } else if constexpr (kRule == Rule::kLossless) {
      if (unit >= 0xDC80 && unit <= 0xDCFF) {
        *out++ = static_cast<unsigned char>(unit - 0xDC00);
      } else {
        out = PutThree(unit, out);
      }
    } else {
      out = PutThree(0xFFFD, out);
    }
  }
  return static_cast<std::size_t>(out - start);
}

}  // namespace

std::size_t DecodeStandardUtf8(unsigned char const* bytes, std::size_t size, std::uint16_t* out) {
  return Decode<false>(bytes, size, out);
}

std::size_t DecodeLosslessUtf8(unsigned char const* bytes, std::size_t size, std::uint16_t* out) {
  return Decode<true>(bytes, size, out);
}

std::size_t EncodeLibraryUtf8(std::uint16_t const* units, std::size_t count, unsigned char* out) {
  return Encode<Rule::kLibrary>(units, count, out);
}

std::size_t EncodeStandardUtf8(std::uint16_t const* units, std::size_t count, unsigned char* out) {
  return Encode<Rule::kStandard>(units, count, out);
}

std::size_t EncodeLosslessUtf8(std::uint16_t const* units, std::size_t count, unsigned char* out) {
  return Encode<Rule::kLossless>(units, count, out);
}

}  // namespace kq::tstring
