#include "kq_ttextstream.h"

#include <cstring>
#include <optional>
#include <utility>

#include "kq_eexception.h"
#include "kq_memalloc.h"

KQ_CLASS_IMPL(KQ_TTextStream)

KQ_TString const KQ_TTextStream::sWhiteSpace(" \t\n\r");

namespace {

constexpr std::uint16_t kAsciiLimit = 0x80;

// The lower case of a unit; the ASCII letters without a table look-up.
inline std::uint16_t LowerOf(std::uint16_t c) {
  if (c < kAsciiLimit)
    return c >= 'A' && c <= 'Z' ? static_cast<std::uint16_t>(c + ('a' - 'A')) : c;
  return Unicode_ToLower(c);
}

// Fills map for set (lowered first when lowerCase). The units are kept when
// there are at most kMaxUnits of them; otherwise the map serves one scan.
template <class SetMap>
void FillSetMap(SetMap& map, KQ_TString const& set, bool lowerCase) {
  auto const* units = static_cast<KQ_TUniChar const*>(set);
  std::uint32_t const count = set.Length();
  // Built in locals: the two words stay in registers.
  std::uint64_t low = 0;
  std::uint64_t high = 0;
  std::uint16_t all = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint16_t const c = lowerCase ? LowerOf(units[i]) : std::uint16_t{units[i]};
    all |= c;
    std::uint64_t const bit = std::uint64_t{1} << (c & 63);
    low |= c < 64 ? bit : 0;
    high |= c >= 64 && c < kAsciiLimit ? bit : 0;
  }
  map.fAscii[0] = low;
  map.fAscii[1] = high;
  map.fHasHigh = all >= kAsciiLimit;
  if (count <= SetMap::kMaxUnits) {
    std::memcpy(map.fUnits, units, count * sizeof(std::uint16_t));
    map.fCount = count;
  } else {
    map.fCount = SetMap::kNone;
  }
}

template <class SetMap>
bool SetMapHolds(SetMap const& map, KQ_TString const& set) {
  return set.Length() == map.fCount &&
         std::memcmp(map.fUnits, set.Units(), map.fCount * sizeof(std::uint16_t)) == 0;
}

}  // namespace

// The characters of a scanner's set: ASCII members in a 128-bit map, the
// others found by a search of the set's units.
class KQ_TTextStream::CharSet {
 public:
  CharSet(SetMap const& map, KQ_TString const& units)
      : fUnits(static_cast<KQ_TUniChar const*>(units)),
        fCount(units.Length()),
        fHasHigh(map.fHasHigh),
        fAscii{map.fAscii[0], map.fAscii[1]} {}

  bool Contains(std::uint16_t c) const {
    if (c < kAsciiLimit) return (fAscii[c >> 6] >> (c & 63)) & 1;
    if (!fHasHigh) return false;
    for (std::uint32_t i = 0; i < fCount; ++i) {
      if (std::uint16_t{fUnits[i]} == c) return true;
    }
    return false;
  }

 private:
  KQ_TUniChar const* fUnits;
  std::uint32_t fCount;
  bool fHasHigh;
  std::uint64_t fAscii[2];
};

// Construction and binding

KQ_TTextStream::KQ_TTextStream()
    : fStream(nullptr),
      fLineCount(0),
      fBytesRead(0),
      fPushCount(0),
      fPushCapacity(0),
      fPushStack(nullptr),
      fMemory(nullptr) {}

KQ_TTextStream::KQ_TTextStream(KQ_IStream& stream) : KQ_TTextStream() { Bind(&stream); }

KQ_TTextStream::~KQ_TTextStream() { KQ_Free(fPushStack); }

KQ_TTextStream& KQ_TTextStream::operator=(KQ_IStream& stream) {
  if (&stream != static_cast<KQ_IStream*>(this)) Bind(&stream);
  return *this;
}

void KQ_TTextStream::Bind(KQ_IStream* stream) {
  fStream = stream;
  fMemory = nullptr;
  if (stream != nullptr && &stream->ClassObject() == KQ_TMemoryStream::KQ_ClassObject()) {
    fMemory = static_cast<KQ_TMemoryStream*>(stream->KQ_Cast("KQ_TMemoryStream"));
  }
  fLineCount = 0;
  fPushCount = 0;
}

KQ_IStream& KQ_TTextStream::Bound() const {
  if (fStream == nullptr) KQ_THROW(KQ_EStreamIsNotBound());
  return *fStream;
}

// Pushback

// Doubles the stack (at least 16 bytes) until it holds needed bytes.
void KQ_TTextStream::GrowPushback(std::uint64_t needed) {
  if (needed > 0xFFFFFFFFu) KQ_THROW(KQ_EOutOfMemory());
  std::uint64_t capacity = fPushCapacity < 16 ? 16 : std::uint64_t{fPushCapacity} * 2;
  if (capacity < needed) capacity = needed;
  if (capacity > 0xFFFFFFFFu) capacity = 0xFFFFFFFFu;
  fPushStack =
      static_cast<unsigned char*>(KQ_Realloc(fPushStack, static_cast<std::uint32_t>(capacity)));
  fPushCapacity = static_cast<std::uint32_t>(capacity);
}

KQ_TTextStream& KQ_TTextStream::Unread(unsigned char byte) {
  Push(byte);
  return *this;
}

KQ_TTextStream& KQ_TTextStream::Unread(void const* bytes, std::uint32_t count) {
  if (count == 0) return *this;
  if (std::uint64_t{fPushCount} + count > fPushCapacity) {
    GrowPushback(std::uint64_t{fPushCount} + count);
  }
  auto const* data = static_cast<unsigned char const*>(bytes);
  for (std::uint32_t i = count; i > 0; --i) Push(data[i - 1]);
  return *this;
}

KQ_TTextStream& KQ_TTextStream::Unread(KQ_TUniChar c) {
  std::uint16_t const unit = c;
  unsigned char bytes[3];
  std::uint32_t count;
  if (unit < 0x80) {
    bytes[0] = static_cast<unsigned char>(unit);
    count = 1;
  } else if (unit < 0x800) {
    bytes[0] = static_cast<unsigned char>(0xC0 | (unit >> 6));
    bytes[1] = static_cast<unsigned char>(0x80 | (unit & 0x3F));
    count = 2;
  } else {
    bytes[0] = static_cast<unsigned char>(0xE0 | (unit >> 12));
    bytes[1] = static_cast<unsigned char>(0x80 | ((unit >> 6) & 0x3F));
    bytes[2] = static_cast<unsigned char>(0x80 | (unit & 0x3F));
    count = 3;
  }
  return Unread(bytes, count);
}

// Pops up to count bytes into bytes; returns how many.
std::uint32_t KQ_TTextStream::PopInto(unsigned char* bytes, std::uint32_t count) {
  std::uint32_t taken = 0;
  while (taken < count && fPushCount > 0) bytes[taken++] = fPushStack[--fPushCount];
  return taken;
}

void KQ_TTextStream::CountLineFeeds(void const* bytes, std::uint32_t count) {
  auto const* p = static_cast<unsigned char const*>(bytes);
  auto const* const end = p + count;
  // Short pieces (numbers, indentation) are counted in place; a call to
  // memchr costs more than looking at a few bytes.
  if (count <= 32) {
    for (; p != end; ++p) fLineCount += *p == '\n';
    return;
  }
  while (p != end) {
    p = static_cast<unsigned char const*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (p == nullptr) break;
    ++fLineCount;
    ++p;
  }
}

// Characters

unsigned char KQ_TTextStream::ReadByteSlow() {
  unsigned char const byte = fPushCount > 0 ? fPushStack[--fPushCount] : Bound().Read();
  if (byte == '\n') ++fLineCount;
  ++fBytesRead;
  return byte;
}

KQ_TUniChar KQ_TTextStream::DecodeTail(unsigned char b1) {
  unsigned char const b2 = Read();
  bool const continued = (b2 & 0xC0) == 0x80;
  if ((b1 & 0xE0) == 0xC0 && continued) {
    return KQ_TUniChar(static_cast<std::uint16_t>(((b1 & 0x1F) << 6) | (b2 & 0x3F)));
  }
  if ((b1 & 0xF0) == 0xE0 && continued) {
    unsigned char const b3 = Read();
    if ((b3 & 0xC0) == 0x80) {
      return KQ_TUniChar(static_cast<std::uint16_t>((b1 << 12) | ((b2 & 0x3F) << 6) | (b3 & 0x3F)));
    }
    Push(b3);
  }
  Push(b2);
  return KQ_TUniChar(std::uint16_t{b1});
}

KQ_TTextStream& KQ_TTextStream::operator<<(char const* text) {
  KQ_IStream& stream = Bound();
  if (text == nullptr) return *this;
  auto const length = static_cast<std::uint32_t>(std::strlen(text));
  CountLineFeeds(text, length);
  stream.Write(text, length);
  return *this;
}

std::uint32_t KQ_TTextStream::LineNr() const { return fLineCount; }

// Scanners

namespace {

// Unicode_IsSpace for the ASCII units, as a 128-bit map.
class AsciiSpaces {
 public:
  AsciiSpaces() {
    for (std::uint16_t c = 0; c < kAsciiLimit; ++c) {
      if (Unicode_IsSpace(c)) fBits[c >> 6] |= std::uint64_t{1} << (c & 63);
    }
  }
  bool Contains(unsigned char c) const { return (fBits[c >> 6] >> (c & 63)) & 1; }

 private:
  std::uint64_t fBits[2] = {0, 0};
};

AsciiSpaces const& Spaces() {
  static AsciiSpaces const spaces;
  return spaces;
}

// Gathers a scanner's units in a small buffer and appends them to the
// result in pieces, so that a short result is built with one allocation.
class Gatherer {
 public:
  void Add(std::uint16_t c) {
    if (fCount == kPiece) Flush();
    fPiece[fCount++] = c;
  }
  KQ_TString Result() {
    if (!fSpilled) return KQ_TString(fPiece, fCount);
    Flush();
    return std::move(*fSpilled);
  }

 private:
  static constexpr std::uint32_t kPiece = 128;

  void Flush() {
    fPiece[fCount] = 0;
    if (fSpilled) {
      *fSpilled += fPiece;
    } else {
      fSpilled.emplace(fPiece, fCount);
    }
    fCount = 0;
  }

  std::uint16_t fPiece[kPiece + 1];
  std::uint32_t fCount = 0;
  std::optional<KQ_TString> fSpilled;
};

}  // namespace

// The scanners share one loop. A token ends at a character of the set (a
// delimiter); a span ends at a character outside it. The character that ends
// the scan is given back, except white space met while nothing was taken,
// which is skipped.
//
// While the pushback is empty and the bound stream is a memory stream, ASCII
// bytes are taken straight from its buffer: each is consumed, counted and
// (when it ends the scan) pushed back exactly as a single-byte read would do,
// and the stream's position is moved past them once. Any other byte goes
// through the decoder.
template <bool kToken, bool kLowerCase>
KQ_TString KQ_TTextStream::Scan(std::uint32_t max, CharSet const& members) {
  AsciiSpaces const& spaces = Spaces();
  Gatherer taken;
  std::uint32_t length = 0;
  while (length < max) {
    if (fPushCount == 0 && fMemory != nullptr) {
      KQ_TMemoryStream& memory = *fMemory;
      unsigned char const* const data = memory.KQ_TMemoryStream::Data();
      std::uint32_t const size = memory.KQ_TMemoryStream::Size();
      std::uint32_t at = memory.KQ_TMemoryStream::Position();
      bool ended = false;
      while (at < size && length < max) {
        unsigned char const b = data[at];
        if (b == 0 || b >= kAsciiLimit) break;
        ++at;
        ++fBytesRead;
        if (b == '\n') ++fLineCount;
        if (members.Contains(kLowerCase ? LowerOf(b) : b) != kToken) {
          taken.Add(b);
          ++length;
        } else if (length != 0 || !spaces.Contains(b)) {
          Push(b);
          ended = true;
          break;
        }
      }
      memory.KQ_TMemoryStream::Seek(at);
      if (ended || length == max) break;
    }
    std::uint16_t const c = Decode();
    if (c == 0) {
      if (length == 0) continue;
      break;
    }
    if (members.Contains(kLowerCase ? LowerOf(c) : c) != kToken) {
      taken.Add(c);
      ++length;
    } else if (length == 0 && Unicode_IsSpace(c)) {
      continue;
    } else {
      Unread(KQ_TUniChar(c));
      break;
    }
  }
  return taken.Result();
}

template <bool kToken, bool kLowerCase>
KQ_TString KQ_TTextStream::ScanWith(std::uint32_t max, KQ_TString const& set) {
  SetMap& map = fSetMaps[kLowerCase ? 1 : 0];
  if (!SetMapHolds(map, set)) FillSetMap(map, set, kLowerCase);
  // Members beyond ASCII are searched for in the lowered set.
  if (kLowerCase && map.fHasHigh) {
    KQ_TString const lowered = set.ToLower();
    return Scan<kToken, kLowerCase>(max, CharSet(map, lowered));
  }
  return Scan<kToken, kLowerCase>(max, CharSet(map, set));
}

KQ_TString KQ_TTextStream::ReadToken(std::uint32_t max, KQ_TString const& delimiters) {
  return ScanWith<true, false>(max, delimiters);
}

KQ_TString KQ_TTextStream::ReadToken(KQ_TString const& delimiters) {
  return ReadToken(kNoLimit, delimiters);
}

KQ_TString KQ_TTextStream::ReadSpan(std::uint32_t max, KQ_TString const& set) {
  return ScanWith<false, false>(max, set);
}

KQ_TString KQ_TTextStream::ReadSpan(KQ_TString const& set) { return ReadSpan(kNoLimit, set); }

KQ_TString KQ_TTextStream::ReadNCSpan(std::uint32_t max, KQ_TString const& set) {
  return ScanWith<false, true>(max, set);
}

KQ_TString KQ_TTextStream::ReadNCSpan(KQ_TString const& set) { return ReadNCSpan(kNoLimit, set); }

// KQ_IStream

bool KQ_TTextStream::Close() {
  KQ_IStream& stream = Bound();
  fPushCount = 0;
  return stream.Close();
}

bool KQ_TTextStream::Flush() { return Bound().Flush(); }

bool KQ_TTextStream::Readable() const { return fStream != nullptr && fStream->Readable(); }
bool KQ_TTextStream::Writable() const { return fStream != nullptr && fStream->Writable(); }
bool KQ_TTextStream::Markable() const { return fStream != nullptr && fStream->Markable(); }
bool KQ_TTextStream::Seekable() const { return fStream != nullptr && fStream->Seekable(); }

std::uint32_t KQ_TTextStream::Available() const {
  std::uint64_t const total = std::uint64_t{Bound().Available()} + fPushCount;
  return total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(total);
}

std::uint32_t KQ_TTextStream::Read(void* buffer, std::uint32_t minimum, std::uint32_t maximum) {
  KQ_IStream& stream = Bound();
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::uint32_t total = PopInto(bytes, maximum);
  if (total < maximum) {
    std::uint32_t const rest = minimum > total ? minimum - total : 0;
    total += stream.Read(bytes + total, rest, maximum - total);
  }
  CountLineFeeds(bytes, total);
  fBytesRead += total;
  return total;
}

KQ_IStream& KQ_TTextStream::Read(void* buffer, std::uint32_t count) {
  KQ_IStream& stream = Bound();
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::uint32_t const taken = PopInto(bytes, count);
  if (taken < count) stream.Read(bytes + taken, count - taken);
  CountLineFeeds(bytes, count);
  fBytesRead += count;
  return *this;
}

bool KQ_TTextStream::Skip(std::uint32_t count) {
  Bound();
  for (std::uint32_t i = 0; i < count; ++i) Read();
  return true;
}

KQ_IStream& KQ_TTextStream::Write(void const* buffer, std::uint32_t count) {
  KQ_IStream& stream = Bound();
  CountLineFeeds(buffer, count);
  if (fMemory != nullptr) {
    fMemory->Append(buffer, count);
  } else {
    stream.Write(buffer, count);
  }
  return *this;
}

KQ_IStream& KQ_TTextStream::Write(unsigned char byte) {
  Bound().Write(byte);
  if (byte == '\n') ++fLineCount;
  return *this;
}

KQ_IStream& KQ_TTextStream::Mark(unsigned char id, std::uint32_t limit) {
  Bound().Mark(id, limit);
  return *this;
}

KQ_IStream& KQ_TTextStream::ClearMark(unsigned char id) {
  Bound().ClearMark(id);
  return *this;
}

KQ_IStream& KQ_TTextStream::Rewind(unsigned char id) {
  Bound().Rewind(id);
  return *this;
}

std::uint32_t KQ_TTextStream::Position() const { return Bound().Position(); }

std::uint32_t KQ_TTextStream::Seek(std::uint32_t position) { return Bound().Seek(position); }
