// Arbitrary bytes through the UTF-8 decoder of KQ_TString, with and without a
// length bound, compared with a plain reference decoder; text that decodes is
// encoded again and must come back as it was.
//
// The first input byte picks how many of the remaining bytes the bound
// allows; the bytes are copied into heap blocks of exactly their size, so a
// read beyond the bound or the zero byte is caught by the address sanitizer.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "internal/kq_tstring_simd.h"
#include "kq_eexception.h"
#include "kq_tstring.h"

namespace {

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// The units of bytes [0, size), or false when a byte is illegal.
bool ReferenceDecode(unsigned char const* bytes, std::size_t size,
                     std::vector<std::uint16_t>& units, bool& overlong) {
  overlong = false;
  for (std::size_t i = 0; i < size;) {
    unsigned const b0 = bytes[i];
    if (b0 < 0x80) {
      units.push_back(static_cast<std::uint16_t>(b0));
      i += 1;
    } else if ((b0 & 0xE0) == 0xC0 && size - i >= 2 && IsContinuation(bytes[i + 1])) {
      units.push_back(static_cast<std::uint16_t>(((b0 & 0x1F) << 6) | (bytes[i + 1] & 0x3F)));
      overlong = overlong || b0 < 0xC2;
      i += 2;
    } else if ((b0 & 0xF0) == 0xE0 && size - i >= 3 && IsContinuation(bytes[i + 1]) &&
               IsContinuation(bytes[i + 2])) {
      units.push_back(static_cast<std::uint16_t>(
          ((b0 & 0x0F) << 12) | ((bytes[i + 1] & 0x3F) << 6) | (bytes[i + 2] & 0x3F)));
      overlong = overlong || (b0 == 0xE0 && bytes[i + 1] < 0xA0);
      i += 3;
    } else {
      return false;
    }
  }
  return true;
}

void Check(bool condition) {
  if (!condition) std::abort();
}

// Decodes through the string and checks it against the reference.
void DecodeAndCompare(char const* text, std::uint32_t bound, std::size_t visible) {
  auto const* bytes = reinterpret_cast<unsigned char const*>(text);
  std::vector<std::uint16_t> expected;
  bool overlong = false;
  bool const valid = ReferenceDecode(bytes, visible, expected, overlong);

#if defined(__SSE2__)
  std::size_t const counted = kq::tstring::CountUtf8Sse2(bytes, visible);
  Check(counted == kq::tstring::CountUtf8Portable(bytes, visible));
  Check((counted != kq::tstring::kNone) == valid);
#endif

  std::unique_ptr<KQ_TString> decoded;
  try {
    decoded.reset(new KQ_TString(text, bound));
  } catch (KQ_EIllegalUTF8Character const&) {
    Check(!valid);
    return;
  }
  Check(valid);
  KQ_TString const& s = *decoded;
  Check(s.Length() == expected.size());
  Check(expected.empty() ||
        std::memcmp(s.Units(), expected.data(), expected.size() * sizeof(std::uint16_t)) == 0);
  Check(s.Units()[s.Length()] == 0);
  Check(s.Capacity() == KQ_TString::CapacityFor(s.Length()));

  // Encoding stops at the first zero unit; decoding that gives the same
  // units back, and shortest forms give the same bytes back.
  char const* const encoded = s.UTF8();
  std::size_t const encodedSize = std::strlen(encoded);
  KQ_TString const again(encoded);
  std::int32_t const zero = s.Find(std::uint16_t{0});
  Check(again == s.Substring(0, zero));
  if (!overlong) {
    Check(encodedSize == visible);
    Check(std::memcmp(encoded, text, visible) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t const length = size - 1;
  std::uint32_t const bound = static_cast<std::uint32_t>(data[0] % (length + 1));

  // Bounded: a block without a terminator, read no further than the bound.
  std::unique_ptr<char[]> block(new char[length == 0 ? 1 : length]);
  std::memcpy(block.get(), data + 1, length);
  void const* zero = std::memchr(block.get(), 0, bound);
  std::size_t const boundedVisible =
      zero == nullptr ? bound
                      : static_cast<std::size_t>(static_cast<char const*>(zero) - block.get());
  DecodeAndCompare(block.get(), bound, boundedVisible);

  // Unbounded: the same bytes with a terminator.
  std::unique_ptr<char[]> terminated(new char[length + 1]);
  std::memcpy(terminated.get(), data + 1, length);
  terminated[length] = '\0';
  DecodeAndCompare(terminated.get(), KQ_TString::kUpToZero, std::strlen(terminated.get()));
  return 0;
}
