#include "internal/kq_tstring_simd.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kq {
namespace tstring {

namespace {

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// The length of the character that starts with the non-ASCII byte at
// bytes[i], or 0 when it is illegal there.
std::size_t MultiByteLength(unsigned char const* bytes, std::size_t i, std::size_t size) {
  unsigned const b0 = bytes[i];
  std::size_t const left = size - i;
  if ((b0 & 0xE0) == 0xC0) return left >= 2 && IsContinuation(bytes[i + 1]) ? 2 : 0;
  if ((b0 & 0xF0) == 0xE0) {
    return left >= 3 && IsContinuation(bytes[i + 1]) && IsContinuation(bytes[i + 2]) ? 3 : 0;
  }
  return 0;
}

// Decodes the validated multi-byte character at bytes[i]; returns its length.
std::size_t DecodeMultiByte(unsigned char const* bytes, std::size_t i, std::uint16_t* out) {
  unsigned const b0 = bytes[i];
  if ((b0 & 0xE0) == 0xC0) {
    *out = static_cast<std::uint16_t>(((b0 & 0x1F) << 6) | (bytes[i + 1] & 0x3F));
    return 2;
  }
  *out = static_cast<std::uint16_t>(((b0 & 0x0F) << 12) | ((bytes[i + 1] & 0x3F) << 6) |
                                    (bytes[i + 2] & 0x3F));
  return 3;
}

std::size_t EncodedLength(std::uint16_t unit) { return unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3; }

std::size_t EncodeUnit(std::uint16_t unit, unsigned char* out) {
  if (unit < 0x80) {
    out[0] = static_cast<unsigned char>(unit);
    return 1;
  }
  if (unit < 0x800) {
    out[0] = static_cast<unsigned char>(0xC0 | (unit >> 6));
    out[1] = static_cast<unsigned char>(0x80 | (unit & 0x3F));
    return 2;
  }
  out[0] = static_cast<unsigned char>(0xE0 | (unit >> 12));
  out[1] = static_cast<unsigned char>(0x80 | ((unit >> 6) & 0x3F));
  out[2] = static_cast<unsigned char>(0x80 | (unit & 0x3F));
  return 3;
}

// Eight bytes at once without caring for byte order: true when none has its
// high bit set.
bool EightAscii(unsigned char const* bytes) {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return (word & 0x8080808080808080u) == 0;
}

}  // namespace

std::size_t CountUtf8Portable(unsigned char const* bytes, std::size_t size) {
  std::size_t units = 0;
  std::size_t i = 0;
  while (i < size) {
    while (size - i >= 8 && EightAscii(bytes + i)) {
      i += 8;
      units += 8;
    }
    if (i == size) break;
    if (bytes[i] < 0x80) {
      ++i;
    } else {
      std::size_t const length = MultiByteLength(bytes, i, size);
      if (length == 0) return kNone;
      i += length;
    }
    ++units;
  }
  return units;
}

void DecodeUtf8Portable(unsigned char const* bytes, std::size_t size, std::uint16_t* out) {
  std::size_t i = 0;
  while (i < size) {
    while (size - i >= 8 && EightAscii(bytes + i)) {
      for (int k = 0; k < 8; ++k) out[k] = bytes[i + k];
      i += 8;
      out += 8;
    }
    if (i == size) break;
    if (bytes[i] < 0x80) {
      *out = bytes[i];
      ++i;
    } else {
      i += DecodeMultiByte(bytes, i, out);
    }
    ++out;
  }
}

std::size_t Utf8SizePortable(std::uint16_t const* units, std::size_t count, std::size_t* used) {
  std::size_t bytes = 0;
  std::size_t i = 0;
  for (; i < count && units[i] != 0; ++i) bytes += EncodedLength(units[i]);
  *used = i;
  return bytes;
}

std::size_t EncodeUtf8Portable(std::uint16_t const* units, std::size_t count, unsigned char* out) {
  unsigned char* const start = out;
  for (std::size_t i = 0; i < count; ++i) out += EncodeUnit(units[i], out);
  return static_cast<std::size_t>(out - start);
}

std::size_t NarrowAsciiPortable(std::uint16_t const* units, std::size_t count, unsigned char* out) {
  std::size_t i = 0;
  for (; i < count && units[i] != 0 && units[i] < 0x80; ++i)
    out[i] = static_cast<unsigned char>(units[i]);
  return i;
}

std::size_t FirstMismatchPortable(std::uint16_t const* a, std::uint16_t const* b,
                                  std::size_t count) {
  std::size_t i = 0;
  while (i < count && a[i] == b[i]) ++i;
  return i;
}

std::size_t FindUnitPortable(std::uint16_t const* units, std::size_t count, std::uint16_t unit) {
  for (std::size_t i = 0; i < count; ++i) {
    if (units[i] == unit) return i;
  }
  return kNone;
}

std::size_t FindLastUnitPortable(std::uint16_t const* units, std::size_t count,
                                 std::uint16_t unit) {
  for (std::size_t i = count; i > 0; --i) {
    if (units[i - 1] == unit) return i - 1;
  }
  return kNone;
}

std::size_t FindUnitsPortable(std::uint16_t const* haystack, std::size_t count,
                              std::uint16_t const* needle, std::size_t needleCount) {
  if (needleCount > count) return kNone;
  std::size_t const lastStart = count - needleCount;
  std::size_t const tailBytes = (needleCount - 1) * sizeof(std::uint16_t);
  for (std::size_t i = 0; i <= lastStart; ++i) {
    if (haystack[i] == needle[0] && std::memcmp(haystack + i + 1, needle + 1, tailBytes) == 0) {
      return i;
    }
  }
  return kNone;
}

std::size_t DecodeUtf8CheckedPortable(unsigned char const* bytes, std::size_t size,
                                      std::uint16_t* out) {
  std::uint16_t* const start = out;
  for (std::size_t i = 0; i < size; ++out) {
    if (bytes[i] < 0x80) {
      *out = bytes[i];
      ++i;
    } else if (MultiByteLength(bytes, i, size) == 0) {
      return kNone;
    } else {
      i += DecodeMultiByte(bytes, i, out);
    }
  }
  return static_cast<std::size_t>(out - start);
}

#if defined(__SSE2__)

namespace {

__m128i Load(void const* p) { return _mm_loadu_si128(static_cast<__m128i const*>(p)); }
void Store(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }

unsigned LowestBit(unsigned mask) { return static_cast<unsigned>(__builtin_ctz(mask)); }
unsigned HighestBit(unsigned mask) { return 31u - static_cast<unsigned>(__builtin_clz(mask)); }

// The compilers' popcount becomes a library call without -mpopcnt.
unsigned Popcount16(unsigned x) {
  x = x - ((x >> 1) & 0x5555u);
  x = (x & 0x3333u) + ((x >> 2) & 0x3333u);
  x = (x + (x >> 4)) & 0x0F0Fu;
  return (x + (x >> 8)) & 0x1Fu;
}

// Byte masks of a comparison; a 16-bit comparison gives two bits per unit.
unsigned Mask(__m128i comparison) { return static_cast<unsigned>(_mm_movemask_epi8(comparison)); }

// Bytes at or above c, as unsigned numbers.
__m128i AtLeast(__m128i v, unsigned char c) {
  __m128i const limit = _mm_set1_epi8(static_cast<char>(c));
  return _mm_cmpeq_epi8(_mm_max_epu8(v, limit), v);
}

// Checks UTF-8 16 bytes at a time without following the characters: a byte
// must be a continuation byte exactly when the byte before it is a two- or
// three-byte lead or the byte two before it is a three-byte lead, and no byte
// may be 0xF0 or above. The leads of the last block carry into the next one.
class Utf8Check {
 public:
  // Checks one block; returns the mask of its continuation bytes.
  unsigned Step(__m128i v) {
    __m128i const from80 = AtLeast(v, 0x80);
    __m128i const fromC0 = AtLeast(v, 0xC0);
    __m128i const fromE0 = AtLeast(v, 0xE0);
    __m128i const fromF0 = AtLeast(v, 0xF0);
    __m128i const continuation = _mm_andnot_si128(fromC0, from80);
    __m128i const lead = _mm_andnot_si128(fromF0, fromC0);
    __m128i const lead3 = _mm_andnot_si128(fromF0, fromE0);
    __m128i const afterLead = _mm_or_si128(_mm_slli_si128(lead, 1), _mm_srli_si128(fLead, 15));
    __m128i const afterLead3 = _mm_or_si128(_mm_slli_si128(lead3, 2), _mm_srli_si128(fLead3, 14));
    __m128i const expected = _mm_or_si128(afterLead, afterLead3);
    fError = _mm_or_si128(fError, _mm_or_si128(_mm_xor_si128(continuation, expected), fromF0));
    fLead = lead;
    fLead3 = lead3;
    return Mask(continuation);
  }

  // Checks the last size (< 16) bytes, padded with zero bytes so that a
  // character cut short by the end shows as an error.
  unsigned Finish(unsigned char const* bytes, std::size_t size) {
    alignas(16) unsigned char last[16] = {};
    if (size != 0) std::memcpy(last, bytes, size);
    return Step(_mm_load_si128(reinterpret_cast<__m128i const*>(last)));
  }

  // True when the last block ends in a lead that still needs continuation
  // bytes.
  bool Pending() const {
    return Mask(_mm_or_si128(_mm_srli_si128(fLead, 15), _mm_srli_si128(fLead3, 14))) != 0;
  }
  // For a block of ASCII bytes that needs no check.
  void SkipAscii() {
    fLead = _mm_setzero_si128();
    fLead3 = _mm_setzero_si128();
  }
  bool Failed() const { return Mask(fError) != 0; }

 private:
  __m128i fError = _mm_setzero_si128();
  __m128i fLead = _mm_setzero_si128();
  __m128i fLead3 = _mm_setzero_si128();
};

void StoreWidened(std::uint16_t* out, __m128i v) {
  __m128i const zero = _mm_setzero_si128();
  Store(out, _mm_unpacklo_epi8(v, zero));
  Store(out + 8, _mm_unpackhi_epi8(v, zero));
}

// The unit of a character that starts with lead, given the two bytes after
// it, for eight byte positions at once (16-bit lanes). Positions that hold
// no character start give garbage.
__m128i CharacterUnits(__m128i lead, __m128i next, __m128i nextButOne) {
  __m128i const low6 = _mm_set1_epi16(0x3F);
  __m128i const first = _mm_and_si128(next, low6);
  __m128i const second = _mm_and_si128(nextButOne, low6);
  __m128i const pair =
      _mm_or_si128(_mm_slli_epi16(_mm_and_si128(lead, _mm_set1_epi16(0x1F)), 6), first);
  __m128i const triple =
      _mm_or_si128(_mm_or_si128(_mm_slli_epi16(lead, 12), _mm_slli_epi16(first, 6)), second);
  __m128i const two = _mm_cmpgt_epi16(lead, _mm_set1_epi16(0xBF));
  __m128i const three = _mm_cmpgt_epi16(lead, _mm_set1_epi16(0xDF));
  __m128i const upToTwo = _mm_or_si128(_mm_andnot_si128(two, lead), _mm_and_si128(two, pair));
  return _mm_or_si128(_mm_andnot_si128(three, upToTwo), _mm_and_si128(three, triple));
}

// Decodes the characters that start in the 16 bytes at p (p[16] and p[17]
// must be readable); starts holds one bit per byte that starts a character.
// Every candidate unit is stored and the position advances only at starts,
// so out[count] is overwritten too: the caller keeps room for one unit more.
std::uint16_t* DecodeBlock(unsigned char const* p, unsigned starts, std::uint16_t* out) {
  __m128i const zero = _mm_setzero_si128();
  __m128i const b0 = Load(p);
  __m128i const b1 = Load(p + 1);
  __m128i const b2 = Load(p + 2);
  alignas(16) std::uint16_t units[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(units),
                  CharacterUnits(_mm_unpacklo_epi8(b0, zero), _mm_unpacklo_epi8(b1, zero),
                                 _mm_unpacklo_epi8(b2, zero)));
  _mm_store_si128(reinterpret_cast<__m128i*>(units + 8),
                  CharacterUnits(_mm_unpackhi_epi8(b0, zero), _mm_unpackhi_epi8(b1, zero),
                                 _mm_unpackhi_epi8(b2, zero)));
  // Positions come from the mask, not from the previous character's length,
  // and the loop has a fixed count: nothing waits for a load or a mispredicted
  // branch.
  std::size_t position = 0;
  for (int k = 0; k < 16; ++k) {
    out[position] = units[k];
    position += (starts >> k) & 1u;
  }
  return out + position;
}

// Decodes with or without checking. One unit is kept per byte that is no
// continuation byte, so unchecked the output needs room only for the units
// the bytes decode to, checked for size units.
template <bool kCheck>
std::size_t DecodeUtf8Blocks(unsigned char const* bytes, std::size_t size, std::uint16_t* out) {
  __m128i const continuationBits = _mm_set1_epi8(static_cast<char>(0xC0));
  __m128i const continuation = _mm_set1_epi8(static_cast<char>(0x80));
  std::uint16_t* const start = out;
  Utf8Check check;
  bool pending = false;
  std::size_t i = 0;
  // With 20 bytes left a character starts after this block (characters
  // take at most three bytes), so the unit DecodeBlock writes beyond its
  // count is overwritten later and stays within the output.
  for (; size - i >= 20; i += 16) {
    if (!pending) {
      // A run of ASCII, 32 bytes at a time.
      std::size_t const runStart = i;
      for (; size - i >= 52; i += 32) {
        __m128i const a = Load(bytes + i);
        __m128i const b = Load(bytes + i + 16);
        if (Mask(_mm_or_si128(a, b)) != 0) break;
        StoreWidened(out, a);
        StoreWidened(out + 16, b);
        out += 32;
      }
      if (kCheck && i != runStart) check.SkipAscii();
    }
    __m128i const v = Load(bytes + i);
    if (!pending && Mask(v) == 0) {
      if (kCheck) check.SkipAscii();
      StoreWidened(out, v);
      out += 16;
      continue;
    }
    unsigned continuations;
    if (kCheck) {
      continuations = check.Step(v);
      pending = check.Pending();
    } else {
      continuations = Mask(_mm_cmpeq_epi8(_mm_and_si128(v, continuationBits), continuation));
    }
    out = DecodeBlock(bytes + i, ~continuations & 0xFFFFu, out);
  }
  if (kCheck) {
    std::size_t checked = i;
    if (size - checked >= 16) {
      check.Step(Load(bytes + checked));
      checked += 16;
    }
    check.Finish(bytes + checked, size - checked);
  }
  // The characters that start in the last few bytes, read no further than
  // size; continuation bytes belong to characters already written.
  while (i < size) {
    unsigned const b0 = bytes[i];
    if ((b0 & 0xC0) == 0x80) {
      ++i;
      continue;
    }
    std::size_t const length = b0 >= 0xE0 ? 3 : b0 >= 0xC0 ? 2 : 1;
    if (size - i < length) break;
    if (length == 1) {
      *out = static_cast<std::uint16_t>(b0);
    } else {
      DecodeMultiByte(bytes, i, out);
    }
    ++out;
    i += length;
  }
  if (kCheck && check.Failed()) return kNone;
  return static_cast<std::size_t>(out - start);
}

}  // namespace

std::size_t CountUtf8Sse2(unsigned char const* bytes, std::size_t size) {
  Utf8Check check;
  bool pending = false;
  std::size_t units = 0;
  std::size_t i = 0;
  for (; size - i >= 32; i += 32) {
    __m128i const a = Load(bytes + i);
    __m128i const b = Load(bytes + i + 16);
    if (!pending && Mask(_mm_or_si128(a, b)) == 0) {
      check.SkipAscii();
      units += 32;
      continue;
    }
    units += 32 - Popcount16(check.Step(a)) - Popcount16(check.Step(b));
    pending = check.Pending();
  }
  if (size - i >= 16) {
    units += 16 - Popcount16(check.Step(Load(bytes + i)));
    i += 16;
  }
  units += (size - i) - Popcount16(check.Finish(bytes + i, size - i));
  return check.Failed() ? kNone : units;
}

void DecodeUtf8Sse2(unsigned char const* bytes, std::size_t size, std::uint16_t* out) {
  DecodeUtf8Blocks<false>(bytes, size, out);
}

std::size_t DecodeUtf8CheckedSse2(unsigned char const* bytes, std::size_t size,
                                  std::uint16_t* out) {
  return DecodeUtf8Blocks<true>(bytes, size, out);
}

// Whether the 32 units at units are all ASCII and none is zero; then low
// and high hold them packed to bytes, 16 each.
inline bool AsciiRun32(std::uint16_t const* units, __m128i* low, __m128i* high) {
  __m128i const zero = _mm_setzero_si128();
  __m128i const a = Load(units);
  __m128i const b = Load(units + 8);
  __m128i const c = Load(units + 16);
  __m128i const d = Load(units + 24);
  __m128i const any = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
  __m128i const above7F = _mm_set1_epi16(static_cast<short>(0xFF80));
  if (Mask(_mm_cmpeq_epi16(_mm_and_si128(any, above7F), zero)) != 0xFFFF) return false;
  *low = _mm_packus_epi16(a, b);
  *high = _mm_packus_epi16(c, d);
  return Mask(_mm_cmpeq_epi8(_mm_min_epu8(*low, *high), zero)) == 0;
}

std::size_t Utf8SizeSse2(std::uint16_t const* units, std::size_t count, std::size_t* used) {
  __m128i const zero = _mm_setzero_si128();
  __m128i const above7F = _mm_set1_epi16(static_cast<short>(0xFF80));
  __m128i const above7FF = _mm_set1_epi16(static_cast<short>(0xF800));
  // Every unit takes 3 bytes less one per threshold it stays below. The
  // comparisons give -1 per unit and lane; two sums of them grow side by
  // side and are added up before a lane can overflow.
  std::size_t bytes = 0;
  std::size_t i = 0;
  // Runs of ASCII without a zero unit, 32 units at a time: packed to bytes,
  // ASCII units stay themselves, so one byte comparison finds a zero.
  __m128i low;
  __m128i high;
  for (; count - i >= 32 && AsciiRun32(units + i, &low, &high); i += 32) bytes += 32;
  bool zeroFound = false;
  while (!zeroFound && count - i >= 16) {
    __m128i belowA = _mm_setzero_si128();
    __m128i belowB = _mm_setzero_si128();
    std::size_t const roundStart = i;
    std::size_t const roundEnd =
        i + std::min<std::size_t>((count - i) & ~std::size_t{15}, 16 * 8192);
    for (; i < roundEnd; i += 16) {
      __m128i const a = Load(units + i);
      __m128i const b = Load(units + i + 8);
      if (Mask(_mm_or_si128(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero))) != 0) {
        zeroFound = true;
        break;
      }
      belowA =
          _mm_add_epi16(belowA, _mm_add_epi16(_mm_cmpeq_epi16(_mm_and_si128(a, above7F), zero),
                                              _mm_cmpeq_epi16(_mm_and_si128(a, above7FF), zero)));
      belowB =
          _mm_add_epi16(belowB, _mm_add_epi16(_mm_cmpeq_epi16(_mm_and_si128(b, above7F), zero),
                                              _mm_cmpeq_epi16(_mm_and_si128(b, above7FF), zero)));
    }
    __m128i const ones = _mm_set1_epi16(1);
    alignas(16) std::int32_t sums[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(sums),
                    _mm_add_epi32(_mm_madd_epi16(belowA, ones), _mm_madd_epi16(belowB, ones)));
    std::int64_t const below = std::int64_t{sums[0]} + sums[1] + sums[2] + sums[3];
    bytes += 3 * (i - roundStart) - static_cast<std::size_t>(-below);
  }
  for (; i < count && units[i] != 0; ++i) bytes += EncodedLength(units[i]);
  *used = i;
  return bytes;
}

std::size_t NarrowAsciiSse2(std::uint16_t const* units, std::size_t count, unsigned char* out) {
  __m128i const zero = _mm_setzero_si128();
  __m128i const above7F = _mm_set1_epi16(static_cast<short>(0xFF80));
  std::size_t i = 0;
  // 32 and then 16 units at a time while all of them are ASCII and none is
  // zero: packed to bytes, a zero unit is a zero byte.
  __m128i low;
  __m128i high;
  for (; count - i >= 32 && AsciiRun32(units + i, &low, &high); i += 32) {
    Store(out + i, low);
    Store(out + i + 16, high);
  }
  for (; count - i >= 16; i += 16) {
    __m128i const a = Load(units + i);
    __m128i const b = Load(units + i + 8);
    if (Mask(_mm_cmpeq_epi16(_mm_and_si128(_mm_or_si128(a, b), above7F), zero)) != 0xFFFF) break;
    __m128i const bytes = _mm_packus_epi16(a, b);
    if (Mask(_mm_cmpeq_epi8(bytes, zero)) != 0) break;
    Store(out + i, bytes);
  }
  return i + NarrowAsciiPortable(units + i, count - i, out + i);
}

std::size_t EncodeUtf8Sse2(std::uint16_t const* units, std::size_t count, unsigned char* out) {
  __m128i const zero = _mm_setzero_si128();
  __m128i const above7F = _mm_set1_epi16(static_cast<short>(0xFF80));
  __m128i const above7FF = _mm_set1_epi16(static_cast<short>(0xF800));
  __m128i const low6 = _mm_set1_epi16(0x3F);
  __m128i const mark = _mm_set1_epi16(0x80);
  unsigned char* const start = out;
  std::size_t i = 0;
  // Every unit takes at least one byte, so with 16 units left a block of 16
  // bytes fits, and with 3 more units behind a block of 8 its last four-byte
  // store fits too.
  while (count - i >= 11) {
    // A run of ASCII, 32 units at a time.
    for (; count - i >= 32; i += 32, out += 32) {
      __m128i const a = Load(units + i);
      __m128i const b = Load(units + i + 8);
      __m128i const c = Load(units + i + 16);
      __m128i const d = Load(units + i + 24);
      __m128i const any = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
      if (Mask(_mm_cmpeq_epi16(_mm_and_si128(any, above7F), zero)) != 0xFFFF) break;
      Store(out, _mm_packus_epi16(a, b));
      Store(out + 16, _mm_packus_epi16(c, d));
    }
    if (count - i < 11) break;
    if (count - i >= 16) {
      __m128i const a = Load(units + i);
      __m128i const b = Load(units + i + 8);
      if (Mask(_mm_cmpeq_epi16(_mm_and_si128(_mm_or_si128(a, b), above7F), zero)) == 0xFFFF) {
        Store(out, _mm_packus_epi16(a, b));
        i += 16;
        out += 16;
        continue;
      }
    }
    // Eight units: their bytes as 32-bit words (first byte lowest) and their
    // lengths, then one store per unit at a position that only depends on
    // the lengths.
    __m128i const u = Load(units + i);
    __m128i const one = _mm_cmpeq_epi16(_mm_and_si128(u, above7F), zero);
    __m128i const upToTwo = _mm_cmpeq_epi16(_mm_and_si128(u, above7FF), zero);
    __m128i const tail = _mm_or_si128(mark, _mm_and_si128(u, low6));
    __m128i const middle = _mm_or_si128(mark, _mm_and_si128(_mm_srli_epi16(u, 6), low6));
    __m128i const leadOfTwo = _mm_or_si128(_mm_set1_epi16(0xC0), _mm_srli_epi16(u, 6));
    __m128i const leadOfThree = _mm_or_si128(_mm_set1_epi16(0xE0), _mm_srli_epi16(u, 12));
    __m128i const twoBytes = _mm_or_si128(leadOfTwo, _mm_slli_epi16(tail, 8));
    __m128i const threeLow = _mm_or_si128(leadOfThree, _mm_slli_epi16(middle, 8));
    __m128i low =
        _mm_or_si128(_mm_and_si128(upToTwo, twoBytes), _mm_andnot_si128(upToTwo, threeLow));
    low = _mm_or_si128(_mm_and_si128(one, u), _mm_andnot_si128(one, low));
    __m128i const high = _mm_andnot_si128(upToTwo, tail);
    alignas(16) std::uint32_t words[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(words), _mm_unpacklo_epi16(low, high));
    _mm_store_si128(reinterpret_cast<__m128i*>(words + 4), _mm_unpackhi_epi16(low, high));
    alignas(16) std::uint16_t lengths[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(lengths),
                    _mm_add_epi16(_mm_set1_epi16(3), _mm_add_epi16(one, upToTwo)));
    for (int k = 0; k < 8; ++k) {
      // The vector path exists only on x86, which stores little-endian.
      std::memcpy(out, &words[k], sizeof words[k]);
      out += lengths[k];
    }
    i += 8;
  }
  for (; i < count; ++i) out += EncodeUnit(units[i], out);
  return static_cast<std::size_t>(out - start);
}

std::size_t FirstMismatchSse2(std::uint16_t const* a, std::uint16_t const* b, std::size_t count) {
  std::size_t i = 0;
  for (; count - i >= 16; i += 16) {
    __m128i const same0 = _mm_cmpeq_epi16(Load(a + i), Load(b + i));
    __m128i const same1 = _mm_cmpeq_epi16(Load(a + i + 8), Load(b + i + 8));
    if (Mask(_mm_and_si128(same0, same1)) == 0xFFFF) continue;
    unsigned const mask0 = Mask(same0);
    if (mask0 != 0xFFFF) return i + LowestBit(~mask0) / 2;
    return i + 8 + LowestBit(~Mask(same1)) / 2;
  }
  if (count - i >= 8) {
    unsigned const mask = Mask(_mm_cmpeq_epi16(Load(a + i), Load(b + i)));
    if (mask != 0xFFFF) return i + LowestBit(~mask) / 2;
    i += 8;
  }
  while (i < count && a[i] == b[i]) ++i;
  return i;
}

std::size_t FindUnitSse2(std::uint16_t const* units, std::size_t count, std::uint16_t unit) {
  __m128i const wanted = _mm_set1_epi16(static_cast<short>(unit));
  std::size_t i = 0;
  for (; count - i >= 16; i += 16) {
    __m128i const hit0 = _mm_cmpeq_epi16(Load(units + i), wanted);
    __m128i const hit1 = _mm_cmpeq_epi16(Load(units + i + 8), wanted);
    unsigned const mask = Mask(hit0) | (Mask(hit1) << 16);
    if (mask != 0) return i + LowestBit(mask) / 2;
  }
  if (count - i >= 8) {
    unsigned const mask = Mask(_mm_cmpeq_epi16(Load(units + i), wanted));
    if (mask != 0) return i + LowestBit(mask) / 2;
    i += 8;
  }
  for (; i < count; ++i) {
    if (units[i] == unit) return i;
  }
  return kNone;
}

std::size_t FindLastUnitSse2(std::uint16_t const* units, std::size_t count, std::uint16_t unit) {
  __m128i const wanted = _mm_set1_epi16(static_cast<short>(unit));
  std::size_t end = count;
  while (end >= 8) {
    end -= 8;
    unsigned const mask = Mask(_mm_cmpeq_epi16(Load(units + end), wanted));
    if (mask != 0) return end + HighestBit(mask) / 2;
  }
  while (end > 0) {
    --end;
    if (units[end] == unit) return end;
  }
  return kNone;
}

std::size_t FindUnitsSse2(std::uint16_t const* haystack, std::size_t count,
                          std::uint16_t const* needle, std::size_t needleCount) {
  if (needleCount > count) return kNone;
  if (needleCount == 1) return FindUnitSse2(haystack, count, needle[0]);
  // Candidates are the positions whose first and last unit both match; only
  // they are compared in full.
  __m128i const first = _mm_set1_epi16(static_cast<short>(needle[0]));
  __m128i const last = _mm_set1_epi16(static_cast<short>(needle[needleCount - 1]));
  std::size_t const lastStart = count - needleCount;
  std::size_t const middleBytes = (needleCount - 2) * sizeof(std::uint16_t);
  std::uint16_t const* const lastUnits = haystack + needleCount - 1;
  auto const verify = [&](std::size_t base, unsigned mask) -> std::size_t {
    for (mask &= 0x55555555u; mask != 0; mask &= mask - 1) {
      std::size_t const at = base + LowestBit(mask) / 2;
      if (std::memcmp(haystack + at + 1, needle + 1, middleBytes) == 0) return at;
    }
    return kNone;
  };
  std::size_t i = 0;
  for (; i + 15 <= lastStart; i += 16) {
    __m128i const hit0 = _mm_and_si128(_mm_cmpeq_epi16(Load(haystack + i), first),
                                       _mm_cmpeq_epi16(Load(lastUnits + i), last));
    __m128i const hit1 = _mm_and_si128(_mm_cmpeq_epi16(Load(haystack + i + 8), first),
                                       _mm_cmpeq_epi16(Load(lastUnits + i + 8), last));
    unsigned const mask = Mask(hit0) | (Mask(hit1) << 16);
    if (mask != 0) {
      std::size_t const at = verify(i, mask);
      if (at != kNone) return at;
    }
  }
  for (; i <= lastStart; ++i) {
    if (haystack[i] == needle[0] && lastUnits[i] == needle[needleCount - 1] &&
        std::memcmp(haystack + i + 1, needle + 1, middleBytes) == 0) {
      return i;
    }
  }
  return kNone;
}

#endif  // __SSE2__

}  // namespace tstring
}  // namespace kq
