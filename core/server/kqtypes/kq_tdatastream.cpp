#include "kq_tdatastream.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <typeinfo>

#include "kq_eexception.h"
#include "kq_ipackable.h"
#include "kq_memalloc.h"
#include "kq_tclass.h"
#include "kq_tdatablock.h"
#include "kq_tmemorystream.h"
#include "kq_tstring.h"
#include "kq_tunknown.h"

KQ_CLASS_IMPL(KQ_TDataStream)

namespace {

// The tags of the packed format.
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

// The table of specific types, and its codes from the highest down, so that
// a writer finds the highest code of a class without walking all 256.
KQ_TClass const* sSpecificTypes[256];
unsigned char sCodesDescending[256];
unsigned sCodeCount;

// Bytes a skipping reader passes per read while it records them.
constexpr std::uint32_t kSkipChunk = 4096;
// Bytes a name buffer grows by while the name arrives.
constexpr std::uint32_t kNameChunk = 4096;
// A header and a name up to this length go out in one Write.
constexpr std::uint32_t kShortName = 59;

template <class E>
[[noreturn]] KQ_NOINLINE void Raise(std::uint32_t line) {
  E raised;
  raised.__PREPARE_FOR_THROW__(line, __FILE__);
  static_cast<KQ_IThrowable const&>(raised).KQ_Throw();
  std::abort();
}

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

static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559,
              "normal numbers are copied as their IEEE patterns");

constexpr std::uint32_t kFloatNaN = 0x7FC00000u;
constexpr std::uint32_t kFloatInfinity = 0x7F800000u;
constexpr std::uint64_t kDoubleNaN = 0x7FF8000000000000u;
constexpr std::uint64_t kDoubleInfinity = 0x7FF0000000000000u;

// The bit pattern of value: sign, exponent from the binary logarithm
// (frexp), mantissa by scaling the fraction. Subnormal magnitudes give zero.
// For a normal number (exponent field neither all zeros nor all ones) that
// computation gives exactly the machine's IEEE pattern, so those are taken
// as they are and only zeros, subnormals, infinities and NaNs are computed.
std::uint32_t EncodeFloat(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  if (((bits >> 23) & 0xFFu) - 1u < 0xFEu) return bits;
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

std::uint64_t EncodeDouble(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  if (((bits >> 52) & 0x7FFu) - 1u < 0x7FEu) return bits;
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

// The value of a pattern: (1 + mantissa / 2^23) * 2^(exponent - 127), which
// for the exponent fields of normal numbers is the machine's own reading.
float DecodeFloat(std::uint32_t bits) {
  if (((bits >> 23) & 0xFFu) - 1u < 0xFEu) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
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

double DecodeDouble(std::uint64_t bits) {
  if (((bits >> 52) & 0x7FFu) - 1u < 0x7FEu) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
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

// A new default instance of record viewed as packable; KQ_EWrongPackedType
// when the class cannot make one or it is not packable.
std::unique_ptr<KQ_IPackable> NewPackable(KQ_TClass const& record, std::uint32_t line) {
  std::unique_ptr<KQ_TObject> instance(record.IsInterface() ? nullptr : record.CreateInstance());
  auto* const packable =
      instance ? static_cast<KQ_IPackable*>(instance->KQ_Cast("KQ_IPackable")) : nullptr;
  if (packable == nullptr) Raise<KQ_EWrongPackedType>(line);
  instance.release();
  return std::unique_ptr<KQ_IPackable>(packable);
}

}  // namespace

// A byte buffer for names: on the stack while small, then on the heap.
class KQ_TDataStream::NameBuffer {
 public:
  NameBuffer() = default;
  NameBuffer(NameBuffer const&) = delete;
  NameBuffer& operator=(NameBuffer const&) = delete;
  ~NameBuffer() {
    if (fData != fLocal) KQ_Free(fData);
  }

  // Room for size bytes, keeping those held so far.
  unsigned char* Grow(std::uint32_t size) {
    if (size > fCapacity) {
      if (fData == fLocal) {
        auto* heap = static_cast<unsigned char*>(KQ_Alloc(size));
        std::memcpy(heap, fLocal, sizeof fLocal);
        fData = heap;
      } else {
        fData = static_cast<unsigned char*>(KQ_Realloc(fData, size));
      }
      fCapacity = size;
    }
    return fData;
  }

  unsigned char* Data() { return fData; }

 private:
  unsigned char fLocal[256];
  unsigned char* fData = fLocal;
  std::uint32_t fCapacity = sizeof fLocal;
};

// One level of nesting for the life of the guard.
class KQ_TDataStream::DepthGuard {
 public:
  explicit DepthGuard(KQ_TDataStream& stream) : fStream(stream) {
    if (stream.fDepth >= kMaxDepth) Raise<KQ_EWrongPackedType>(__LINE__);
    ++stream.fDepth;
  }
  DepthGuard(DepthGuard const&) = delete;
  DepthGuard& operator=(DepthGuard const&) = delete;
  ~DepthGuard() { --fStream.fDepth; }

 private:
  KQ_TDataStream& fStream;
};

// Records into block for the life of the scope, then restores the recording
// that was active before (if any).
class KQ_TDataStream::RecordingScope {
 public:
  RecordingScope(KQ_TDataStream& stream, KQ_TDataBlock& block)
      : fStream(stream), fSavedBlock(stream.fRecordBlock), fSavedPosition(stream.fRecordPosition) {
    stream.fRecordBlock = &block;
    stream.fRecordPosition = block.Size();
  }
  RecordingScope(RecordingScope const&) = delete;
  RecordingScope& operator=(RecordingScope const&) = delete;
  ~RecordingScope() {
    fStream.fRecordBlock = fSavedBlock;
    fStream.fRecordPosition = fSavedPosition;
  }

  // The outer recording gets the bytes recorded here from start on: they
  // were read while this block was recording, so the outer block lacks them.
  void PassOn(KQ_TDataBlock const& block, std::uint32_t start) {
    if (fSavedBlock == nullptr || fStream.fRecordPosition <= start) return;
    std::uint32_t const count = fStream.fRecordPosition - start;
    fSavedBlock->SetAt(fSavedPosition, block.Data() + start, count);
    fSavedPosition += count;
  }

 private:
  KQ_TDataStream& fStream;
  KQ_TDataBlock* fSavedBlock;
  std::uint32_t fSavedPosition;
};

// Construction and binding

KQ_TDataStream::KQ_TDataStream()
    : fStream(nullptr),
      fPushCapacity(0),
      fPushCount(0),
      fPushStack(nullptr),
      fRecordPosition(0),
      fRecordBlock(nullptr),
      fMemory(nullptr),
      fDepth(0) {}

KQ_TDataStream::KQ_TDataStream(KQ_IStream& stream) : KQ_TDataStream() { Bind(&stream); }

KQ_TDataStream::KQ_TDataStream(KQ_TDataStream const& other)
    : KQ_IInterface(other),
      KQ_IStream(other),
      KQ_IPacking(other),
      KQ_IUnpacking(other),
      KQ_TObject(other),
      fStream(nullptr),
      fPushCapacity(0),
      fPushCount(0),
      fPushStack(nullptr),
      fRecordPosition(0),
      fRecordBlock(nullptr),
      fMemory(nullptr),
      fDepth(0) {
  Bind(other.fStream);
  CopyPushback(other);
}

KQ_TDataStream::~KQ_TDataStream() { KQ_Free(fPushStack); }

KQ_TDataStream& KQ_TDataStream::operator=(KQ_TDataStream const& other) {
  if (this != &other) {
    Bind(other.fStream);
    CopyPushback(other);
  }
  return *this;
}

KQ_TDataStream& KQ_TDataStream::operator=(KQ_IStream& stream) {
  if (&stream != static_cast<KQ_IStream*>(this)) Bind(&stream);
  return *this;
}

void KQ_TDataStream::Bind(KQ_IStream* stream) {
  fStream = stream;
  fMemory = nullptr;
  if (stream != nullptr && &stream->ClassObject() == KQ_TMemoryStream::KQ_ClassObject()) {
    fMemory = static_cast<KQ_TMemoryStream*>(stream->KQ_Cast("KQ_TMemoryStream"));
  }
  fPushCount = 0;
  fRecordPosition = 0;
}

void KQ_TDataStream::CopyPushback(KQ_TDataStream const& other) {
  ReservePushback(other.fPushCount);
  if (other.fPushCount != 0) std::memcpy(fPushStack, other.fPushStack, other.fPushCount);
  fPushCount = other.fPushCount;
}

// Grows the pushback stack to the next multiple of 256 that holds count.
void KQ_TDataStream::ReservePushback(std::uint64_t count) {
  if (count <= fPushCapacity) return;
  std::uint64_t const capacity = (count + 255) / 256 * 256;
  if (capacity > 0xFFFFFFFFu) Raise<KQ_EOutOfMemory>(__LINE__);
  fPushStack =
      static_cast<unsigned char*>(KQ_Realloc(fPushStack, static_cast<std::uint32_t>(capacity)));
  fPushCapacity = static_cast<std::uint32_t>(capacity);
}

KQ_TDataStream& KQ_TDataStream::Unread(void const* data, std::uint32_t count) {
  ReservePushback(std::uint64_t{fPushCount} + count);
  auto const* bytes = static_cast<unsigned char const*>(data);
  for (std::uint32_t i = count; i > 0; --i) fPushStack[fPushCount++] = bytes[i - 1];
  if (fRecordBlock != nullptr) fRecordPosition -= count < fRecordPosition ? count : fRecordPosition;
  return *this;
}

KQ_TDataStream& KQ_TDataStream::Unread(unsigned char byte) {
  ReservePushback(std::uint64_t{fPushCount} + 1);
  fPushStack[fPushCount++] = byte;
  if (fRecordBlock != nullptr && fRecordPosition > 0) --fRecordPosition;
  return *this;
}

void KQ_TDataStream::RegisterSpecificType(unsigned char code, KQ_TClass const* record) {
  sSpecificTypes[code] = record;
  sCodeCount = 0;
  for (int c = 255; c >= 0; --c) {
    if (sSpecificTypes[c] != nullptr)
      sCodesDescending[sCodeCount++] = static_cast<unsigned char>(c);
  }
}

KQ_TClass const* KQ_TDataStream::SpecificType(unsigned char code) { return sSpecificTypes[code]; }

// Byte paths

KQ_IStream& KQ_TDataStream::Bound() const {
  if (fStream == nullptr) Raise<KQ_EStreamIsNotBound>(__LINE__);
  return *fStream;
}

// Put and Fetch are inline so that a basic value's constant size reaches
// the memory stream's copy.
inline void KQ_TDataStream::Put(void const* bytes, std::uint32_t count) {
  if (fMemory != nullptr) {
    fMemory->Append(bytes, count);
  } else {
    Bound().Write(bytes, count);
  }
}

inline void KQ_TDataStream::Fetch(void* buffer, std::uint32_t count) {
  if (fPushCount == 0 && fRecordBlock == nullptr && fMemory != nullptr) {
    fMemory->KQ_TMemoryStream::Read(buffer, count);
  } else {
    FetchSlow(buffer, count);
  }
}

void KQ_TDataStream::FetchSlow(void* buffer, std::uint32_t count) {
  KQ_IStream& stream = Bound();
  if (count == 0) return;
  auto* const bytes = static_cast<unsigned char*>(buffer);
  std::uint32_t taken = 0;
  while (taken < count && fPushCount > 0) bytes[taken++] = fPushStack[--fPushCount];
  if (taken < count) stream.Read(bytes + taken, count - taken);
  if (fRecordBlock != nullptr) Record(bytes, count);
}

unsigned char KQ_TDataStream::FetchByte() {
  if (fPushCount == 0 && fRecordBlock == nullptr) {
    if (fMemory != nullptr) return fMemory->KQ_TMemoryStream::Read();
    return Bound().Read();
  }
  KQ_IStream& stream = Bound();
  unsigned char const byte = fPushCount > 0 ? fPushStack[--fPushCount] : stream.Read();
  if (fRecordBlock != nullptr) Record(&byte, 1);
  return byte;
}

std::uint32_t KQ_TDataStream::FetchU32() {
  unsigned char bytes[4];
  Fetch(bytes, 4);
  return LoadBE32(bytes);
}

void KQ_TDataStream::Record(void const* bytes, std::uint32_t count) {
  fRecordBlock->SetAt(fRecordPosition, bytes, count);
  fRecordPosition += count;
}

void KQ_TDataStream::SkipOrRaise(std::uint32_t count) {
  if (!Skip(count)) Raise<KQ_EWrongPackedType>(__LINE__);
}

void KQ_TDataStream::ReadTrailer() {
  if (FetchByte() != kTrailer) Raise<KQ_EWrongPackedType>(__LINE__);
}

// Reads tag and value with one read and checks the tag.
void KQ_TDataStream::FetchTagged(unsigned char* bytes, std::uint32_t count, unsigned char tag) {
  Fetch(bytes, count);
  if (bytes[0] != tag) Raise<KQ_EWrongPackedType>(__LINE__);
}

// Reads a name of length bytes into the buffer as the bytes arrive and
// terminates it.
char const* KQ_TDataStream::FetchName(NameBuffer& buffer, std::uint32_t length) {
  if (length > kMaxNameLength) Raise<KQ_EWrongPackedType>(__LINE__);
  std::uint32_t have = 0;
  while (have < length) {
    std::uint32_t const chunk = length - have < kNameChunk ? length - have : kNameChunk;
    Fetch(buffer.Grow(have + chunk + 1) + have, chunk);
    have += chunk;
  }
  buffer.Grow(length + 1)[length] = 0;
  return reinterpret_cast<char const*>(buffer.Data());
}

// KQ_IStream

bool KQ_TDataStream::Close() {
  KQ_IStream& stream = Bound();
  fPushCount = 0;
  fRecordPosition = 0;
  return stream.Close();
}

bool KQ_TDataStream::Flush() { return Bound().Flush(); }

bool KQ_TDataStream::Readable() const { return fStream != nullptr && fStream->Readable(); }
bool KQ_TDataStream::Writable() const { return fStream != nullptr && fStream->Writable(); }
bool KQ_TDataStream::Markable() const { return fStream != nullptr && fStream->Markable(); }
bool KQ_TDataStream::Seekable() const { return fStream != nullptr && fStream->Seekable(); }

std::uint32_t KQ_TDataStream::Available() const {
  std::uint64_t const total = std::uint64_t{Bound().Available()} + fPushCount;
  return total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(total);
}

std::uint32_t KQ_TDataStream::Read(void* buffer, std::uint32_t minimum, std::uint32_t maximum) {
  KQ_IStream& stream = Bound();
  auto* const bytes = static_cast<unsigned char*>(buffer);
  std::uint32_t taken = 0;
  while (taken < maximum && fPushCount > 0) bytes[taken++] = fPushStack[--fPushCount];
  std::uint32_t total = taken;
  if (taken < maximum) {
    total += stream.Read(bytes + taken, minimum > taken ? minimum - taken : 0, maximum - taken);
  }
  if (fRecordBlock != nullptr && total != 0) Record(bytes, total);
  return total;
}

KQ_IStream& KQ_TDataStream::Read(void* buffer, std::uint32_t count) {
  FetchSlow(buffer, count);
  return *this;
}

unsigned char KQ_TDataStream::Read() { return FetchByte(); }

bool KQ_TDataStream::Skip(std::uint32_t count) {
  KQ_IStream& stream = Bound();
  if (fRecordBlock != nullptr) {
    // Every byte passed over belongs to the recording.
    unsigned char chunk[kSkipChunk];
    while (count > 0) {
      std::uint32_t const n = count < kSkipChunk ? count : kSkipChunk;
      FetchSlow(chunk, n);
      count -= n;
    }
    return true;
  }
  if (count <= fPushCount) {
    fPushCount -= count;
    return true;
  }
  count -= fPushCount;
  fPushCount = 0;
  return stream.Skip(count);
}

KQ_IStream& KQ_TDataStream::Write(void const* buffer, std::uint32_t count) {
  Bound().Write(buffer, count);
  return *this;
}

KQ_IStream& KQ_TDataStream::Write(unsigned char byte) {
  Bound().Write(byte);
  return *this;
}

KQ_IStream& KQ_TDataStream::Mark(unsigned char id, std::uint32_t limit) {
  Bound().Mark(id, limit);
  return *this;
}

KQ_IStream& KQ_TDataStream::ClearMark(unsigned char id) {
  Bound().ClearMark(id);
  return *this;
}

KQ_IStream& KQ_TDataStream::Rewind(unsigned char id) {
  Bound().Rewind(id);
  fPushCount = 0;
  return *this;
}

std::uint32_t KQ_TDataStream::Position() const { return Bound().Position(); }

std::uint32_t KQ_TDataStream::Seek(std::uint32_t position) {
  std::uint32_t const previous = Bound().Seek(position);
  fPushCount = 0;
  return previous;
}

// KQ_IPacking

KQ_IPacking& KQ_TDataStream::operator<<(KQ_IPackable const& object) {
  if (KQ_TClass const* const record = object.KQ_PackClassObject()) {
    for (unsigned i = 0; i < sCodeCount; ++i) {
      unsigned char const code = sCodesDescending[i];
      if (sSpecificTypes[code] == record) {
        if (fMemory != nullptr) {
          fMemory->KQ_TMemoryStream::Write(code);
        } else {
          Bound().Write(code);
        }
        object.KQ_Pack(*this);
        return *this;
      }
    }
  }
  char const* const id = object.KQ_PackTypeID();
  std::size_t const length = std::strlen(id);
  if (length > 0xFFFFFFFFu - 5) Raise<KQ_EWrongPackedType>(__LINE__);
  unsigned char header[5 + kShortName];
  header[0] = kObjectTag;
  StoreBE32(header + 1, static_cast<std::uint32_t>(length));
  if (length <= kShortName) {
    std::memcpy(header + 5, id, length);
    Put(header, static_cast<std::uint32_t>(5 + length));
  } else {
    Put(header, 5);
    Put(id, static_cast<std::uint32_t>(length));
  }
  object.KQ_Pack(*this);
  unsigned char const trailer = kTrailer;
  Put(&trailer, 1);
  return *this;
}

KQ_IPacking& KQ_TDataStream::operator<<(double value) {
  unsigned char bytes[9] = {kDoubleTag};
  StoreBE64(bytes + 1, EncodeDouble(value));
  Put(bytes, sizeof bytes);
  return *this;
}

KQ_IPacking& KQ_TDataStream::operator<<(float value) {
  unsigned char bytes[5] = {kFloatTag};
  StoreBE32(bytes + 1, EncodeFloat(value));
  Put(bytes, sizeof bytes);
  return *this;
}

KQ_IPacking& KQ_TDataStream::operator<<(char value) {
  unsigned char const bytes[2] = {kCharTag, static_cast<unsigned char>(value)};
  Put(bytes, sizeof bytes);
  return *this;
}

KQ_IPacking& KQ_TDataStream::operator<<(bool value) {
  unsigned char const bytes[2] = {kBoolTag, static_cast<unsigned char>(value ? 1 : 0)};
  Put(bytes, sizeof bytes);
  return *this;
}

KQ_IPacking& KQ_TDataStream::operator<<(std::uint64_t value) {
  unsigned char bytes[9] = {kUInt64Tag};
  StoreBE64(bytes + 1, value);
  Put(bytes, sizeof bytes);
  return *this;
}

KQ_IPacking& KQ_TDataStream::operator<<(std::uint32_t value) {
  unsigned char bytes[5] = {kUInt32Tag};
  StoreBE32(bytes + 1, value);
  Put(bytes, sizeof bytes);
  return *this;
}

KQ_IPacking& KQ_TDataStream::operator<<(std::uint16_t value) {
  unsigned char bytes[3] = {kUInt16Tag};
  StoreBE16(bytes + 1, value);
  Put(bytes, sizeof bytes);
  return *this;
}

KQ_IPacking& KQ_TDataStream::operator<<(std::uint8_t value) {
  unsigned char const bytes[2] = {kUInt8Tag, value};
  Put(bytes, sizeof bytes);
  return *this;
}

KQ_IPacking& KQ_TDataStream::operator<<(std::int64_t value) {
  unsigned char bytes[9] = {kInt64Tag};
  StoreBE64(bytes + 1, static_cast<std::uint64_t>(value));
  Put(bytes, sizeof bytes);
  return *this;
}

KQ_IPacking& KQ_TDataStream::operator<<(std::int32_t value) {
  unsigned char bytes[5] = {kInt32Tag};
  StoreBE32(bytes + 1, static_cast<std::uint32_t>(value));
  Put(bytes, sizeof bytes);
  return *this;
}

KQ_IPacking& KQ_TDataStream::operator<<(std::int16_t value) {
  unsigned char bytes[3] = {kInt16Tag};
  StoreBE16(bytes + 1, static_cast<std::uint16_t>(value));
  Put(bytes, sizeof bytes);
  return *this;
}

KQ_IPacking& KQ_TDataStream::operator<<(std::int8_t value) {
  unsigned char const bytes[2] = {kInt8Tag, static_cast<unsigned char>(value)};
  Put(bytes, sizeof bytes);
  return *this;
}

KQ_IPacking& KQ_TDataStream::WritePacket(void const* data, std::uint32_t size) {
  unsigned char header[5 + kShortName];
  header[0] = kPacketTag;
  StoreBE32(header + 1, size);
  if (size <= kShortName) {
    if (size != 0) std::memcpy(header + 5, data, size);
    Put(header, 5 + size);
  } else {
    Put(header, 5);
    Put(data, size);
  }
  return *this;
}

KQ_IPacking& KQ_TDataStream::WriteRawPacket(void const* data, std::uint32_t size) {
  if (size != 0) {
    Put(data, size);
  } else {
    Bound();
  }
  return *this;
}

KQ_IPacking& KQ_TDataStream::InsertClassHeader(char const* className) {
  if (className == nullptr) className = "";
  std::size_t const length = std::strlen(className);
  if (length > 0xFFFFFFFFu - 5) Raise<KQ_EWrongPackedType>(__LINE__);
  unsigned char header[5 + kShortName];
  header[0] = kSectionTag;
  StoreBE32(header + 1, static_cast<std::uint32_t>(length));
  if (length <= kShortName) {
    std::memcpy(header + 5, className, length);
    Put(header, static_cast<std::uint32_t>(5 + length));
  } else {
    Put(header, 5);
    Put(className, static_cast<std::uint32_t>(length));
  }
  return *this;
}

KQ_IPacking& KQ_TDataStream::InsertClassTrailer(char const*) {
  unsigned char const trailer = kTrailer;
  Put(&trailer, 1);
  return *this;
}

// KQ_IUnpacking

KQ_IUnpacking& KQ_TDataStream::operator>>(double& value) {
  unsigned char bytes[9];
  FetchTagged(bytes, sizeof bytes, kDoubleTag);
  value = DecodeDouble(LoadBE64(bytes + 1));
  return *this;
}

KQ_IUnpacking& KQ_TDataStream::operator>>(float& value) {
  unsigned char bytes[5];
  FetchTagged(bytes, sizeof bytes, kFloatTag);
  value = DecodeFloat(LoadBE32(bytes + 1));
  return *this;
}

KQ_IUnpacking& KQ_TDataStream::operator>>(char& value) {
  unsigned char bytes[2];
  FetchTagged(bytes, sizeof bytes, kCharTag);
  value = static_cast<char>(bytes[1]);
  return *this;
}

KQ_IUnpacking& KQ_TDataStream::operator>>(bool& value) {
  unsigned char bytes[2];
  FetchTagged(bytes, sizeof bytes, kBoolTag);
  value = bytes[1] != 0;
  return *this;
}

KQ_IUnpacking& KQ_TDataStream::operator>>(std::uint64_t& value) {
  unsigned char bytes[9];
  FetchTagged(bytes, sizeof bytes, kUInt64Tag);
  value = LoadBE64(bytes + 1);
  return *this;
}

KQ_IUnpacking& KQ_TDataStream::operator>>(std::uint32_t& value) {
  unsigned char bytes[5];
  FetchTagged(bytes, sizeof bytes, kUInt32Tag);
  value = LoadBE32(bytes + 1);
  return *this;
}

KQ_IUnpacking& KQ_TDataStream::operator>>(std::uint16_t& value) {
  unsigned char bytes[3];
  FetchTagged(bytes, sizeof bytes, kUInt16Tag);
  value = LoadBE16(bytes + 1);
  return *this;
}

KQ_IUnpacking& KQ_TDataStream::operator>>(std::uint8_t& value) {
  unsigned char bytes[2];
  FetchTagged(bytes, sizeof bytes, kUInt8Tag);
  value = bytes[1];
  return *this;
}

KQ_IUnpacking& KQ_TDataStream::operator>>(std::int64_t& value) {
  unsigned char bytes[9];
  FetchTagged(bytes, sizeof bytes, kInt64Tag);
  value = static_cast<std::int64_t>(LoadBE64(bytes + 1));
  return *this;
}

KQ_IUnpacking& KQ_TDataStream::operator>>(std::int32_t& value) {
  unsigned char bytes[5];
  FetchTagged(bytes, sizeof bytes, kInt32Tag);
  value = static_cast<std::int32_t>(LoadBE32(bytes + 1));
  return *this;
}

KQ_IUnpacking& KQ_TDataStream::operator>>(std::int16_t& value) {
  unsigned char bytes[3];
  FetchTagged(bytes, sizeof bytes, kInt16Tag);
  value = static_cast<std::int16_t>(LoadBE16(bytes + 1));
  return *this;
}

KQ_IUnpacking& KQ_TDataStream::operator>>(std::int8_t& value) {
  unsigned char bytes[2];
  FetchTagged(bytes, sizeof bytes, kInt8Tag);
  value = static_cast<std::int8_t>(bytes[1]);
  return *this;
}

std::uint32_t KQ_TDataStream::ReadPacket(void* buffer, std::uint32_t minimum,
                                         std::uint32_t maximum) {
  unsigned char header[5];
  Fetch(header, 5);
  if (header[0] != kPacketTag) Raise<KQ_EWrongPackedType>(__LINE__);
  std::uint32_t const length = LoadBE32(header + 1);
  if (length < minimum || length > maximum) Raise<KQ_EWrongPacketSize>(__LINE__);
  if (length != 0) Fetch(buffer, length);
  return length;
}

KQ_IUnpacking& KQ_TDataStream::ReadRawPacket(void* buffer, std::uint32_t size) {
  if (size != 0) {
    Fetch(buffer, size);
  } else {
    Bound();
  }
  return *this;
}

KQ_IUnpacking& KQ_TDataStream::ExtractClassHeader(char const* className) {
  if (className == nullptr) className = "";
  unsigned char header[5];
  Fetch(header, 5);
  if (header[0] != kSectionTag) Raise<KQ_EWrongPackedType>(__LINE__);
  std::uint32_t const length = LoadBE32(header + 1);
  if (length != std::strlen(className)) Raise<KQ_EWrongPackedType>(__LINE__);
  NameBuffer buffer;
  char const* const name = FetchName(buffer, length);
  if (std::memcmp(name, className, length) != 0) Raise<KQ_EWrongPackedType>(__LINE__);
  return *this;
}

KQ_IUnpacking& KQ_TDataStream::ExtractClassTrailer(char const*) {
  ReadTrailer();
  return *this;
}

unsigned char KQ_TDataStream::Peek() {
  if (fPushCount > 0) {
    Bound();
    return fPushStack[fPushCount - 1];
  }
  unsigned char const byte = FetchByte();
  Unread(byte);
  return byte;
}

void KQ_TDataStream::SkipData() {
  DepthGuard depth(*this);
  unsigned char const tag = FetchByte();
  switch (tag) {
    case kInt8Tag:
    case kUInt8Tag:
    case kBoolTag:
    case kCharTag:
      SkipOrRaise(1);
      return;
    case kInt16Tag:
    case kUInt16Tag:
      SkipOrRaise(2);
      return;
    case kInt32Tag:
    case kUInt32Tag:
    case kFloatTag:
      SkipOrRaise(4);
      return;
    case kInt64Tag:
    case kUInt64Tag:
    case kDoubleTag:
      SkipOrRaise(8);
      return;
    case kObjectTag:
    case kSectionTag:
      SkipOrRaise(FetchU32());
      while (Peek() != kTrailer) SkipData();
      FetchByte();
      return;
    case kPacketTag:
      SkipOrRaise(FetchU32());
      return;
    default:
      break;
  }
  if (KQ_TClass const* const record = sSpecificTypes[tag]) {
    NewPackable(*record, __LINE__)->KQ_Unpack(*this);
  }
}

// Containers' elements

unsigned char KQ_TDataStream::CodeOf(KQ_TClass const* record) {
  for (unsigned i = 0; i < sCodeCount; ++i) {
    if (sSpecificTypes[sCodesDescending[i]] == record) return sCodesDescending[i];
  }
  return 0;
}

namespace {

// The data stream itself, when object is exactly one: a class derived from
// it may change how values are written, so it takes the general path.
template <class Interface>
KQ_TDataStream* ExactDataStream(Interface& object) {
  auto* const stream = dynamic_cast<KQ_TDataStream*>(&object);
  return stream != nullptr && typeid(*stream) == typeid(KQ_TDataStream) ? stream : nullptr;
}

// Bytes of the tagged value of each basic kind of an Any (tag included),
// 0 for the kinds that the element paths leave to the general path.
constexpr unsigned char kElementSize[KQ_TAny::kDouble + 1] = {0, 0, 2, 3, 5, 9, 2,
                                                              3, 5, 9, 2, 2, 5, 9};
constexpr unsigned char kElementTag[KQ_TAny::kDouble + 1] = {
    0,          0,          kInt8Tag,   kInt16Tag, kInt32Tag, kInt64Tag, kUInt8Tag,
    kUInt16Tag, kUInt32Tag, kUInt64Tag, kBoolTag,  kCharTag,  kFloatTag, kDoubleTag};

// A string element's head: its code, its length as a tagged unsigned 32-bit
// number, and the tag and byte count of the packet of its units.
constexpr std::uint32_t kStringHeaderSize = 11;

void StoreStringHeader(unsigned char* bytes, unsigned char code, std::uint32_t length) {
  bytes[0] = code;
  bytes[1] = kUInt32Tag;
  StoreBE32(bytes + 2, length);
  bytes[6] = kPacketTag;
  StoreBE32(bytes + 7, length * 2);
}

}  // namespace

KQ_TDataStream::ElementWriter::ElementWriter(KQ_IPacking& packer)
    : fPacker(packer),
      fData(ExactDataStream(packer)),
      fAnyCode(CodeOf(KQ_TAny::KQ_ClassObject())),
      fStringCode(0) {
  if (fAnyCode == 0) fData = nullptr;
  if (fData != nullptr) fStringCode = CodeOf(KQ_TString::KQ_ClassObject());
}

KQ_TDataStream::ElementReader::ElementReader(KQ_IUnpacking& unpacker)
    : fUnpacker(unpacker),
      fData(ExactDataStream(unpacker)),
      fAnyCode(CodeOf(KQ_TAny::KQ_ClassObject())) {
  if (fAnyCode == 0) fData = nullptr;
}

void KQ_TDataStream::ElementWriter::PrefetchKey(KQ_IPackable const& key) {
  if (typeid(key) != typeid(KQ_TString)) return;
  auto const& string = *static_cast<KQ_TString const*>(dynamic_cast<void const*>(&key));
  KQ_PREFETCH(string.Units());
  if (string.Length() != 0) KQ_PREFETCH(string.Units() + string.Length() - 1);
}

// The Any's code, the kind as a tagged unsigned char, then the tagged value.
void KQ_TDataStream::PackElement(KQ_TAny const& value, KQ_TAny::Cell const* cell,
                                 unsigned char code) {
  std::uint32_t const kind = cell->fKind;
  if (kind > KQ_TAny::kDouble || kElementSize[kind] == 0) {
    *this << static_cast<KQ_IPackable const&>(value);
    return;
  }
  KQ_TAny::Value const& v = cell->fValue;
  std::uint32_t const size = 3u + kElementSize[kind];
  unsigned char local[12];
  unsigned char* const room = fMemory != nullptr ? fMemory->WriteRoom(size) : nullptr;
  unsigned char* const bytes = room != nullptr ? room : local;
  bytes[0] = code;
  bytes[1] = kUInt8Tag;
  bytes[2] = static_cast<unsigned char>(kind);
  bytes[3] = kElementTag[kind];
  unsigned char* const out = bytes + 4;
  switch (kind) {
    case KQ_TAny::kInt8:
    case KQ_TAny::kUInt8:
      out[0] = v.fUInt8;
      break;
    case KQ_TAny::kBool:
      out[0] = v.fBool ? 1 : 0;
      break;
    case KQ_TAny::kChar:
      out[0] = static_cast<unsigned char>(v.fChar);
      break;
    case KQ_TAny::kInt16:
    case KQ_TAny::kUInt16:
      StoreBE16(out, v.fUInt16);
      break;
    case KQ_TAny::kInt32:
    case KQ_TAny::kUInt32:
      StoreBE32(out, v.fUInt32);
      break;
    case KQ_TAny::kFloat:
      StoreBE32(out, EncodeFloat(v.fFloat));
      break;
    case KQ_TAny::kDouble:
      StoreBE64(out, EncodeDouble(v.fDouble));
      break;
    default:
      StoreBE64(out, v.fUInt64);
      break;
  }
  if (room != nullptr) {
    fMemory->Wrote(size);
  } else {
    Put(local, size);
  }
}

// The string's code, its length as a tagged unsigned 32-bit number, then
// one packet of its units, each high byte first: what operator<< writes for
// it through KQ_TString::KQ_Pack, put together here in few writes. A key of
// any other class, a class derived from KQ_TString included, takes
// operator<<.
void KQ_TDataStream::PackStringElement(KQ_IPackable const& key, unsigned char code) {
  if (typeid(key) != typeid(KQ_TString)) {
    *this << key;
    return;
  }
  auto const& string = *static_cast<KQ_TString const*>(dynamic_cast<void const*>(&key));
  std::uint32_t const length = string.Length();
  std::uint16_t const* const units = string.Units();
  std::uint64_t const total = kStringHeaderSize + std::uint64_t{length} * 2;
  if (fMemory != nullptr && total <= 0xFFFFFFFFu) {
    if (unsigned char* const room = fMemory->WriteRoom(static_cast<std::uint32_t>(total))) {
      StoreStringHeader(room, code, length);
      unsigned char* const out = room + kStringHeaderSize;
      for (std::size_t i = 0; i < length; ++i) StoreBE16(out + 2 * i, units[i]);
      fMemory->Wrote(static_cast<std::uint32_t>(total));
      return;
    }
  }
  unsigned char bytes[256];
  StoreStringHeader(bytes, code, length);
  std::uint32_t used = kStringHeaderSize;
  std::uint32_t done = 0;
  for (;;) {
    std::uint32_t count = (sizeof bytes - used) / 2;
    if (count > length - done) count = length - done;
    // A std::size_t index lets the compiler turn this loop into vector code.
    unsigned char* const out = bytes + used;
    std::uint16_t const* const in = units + done;
    for (std::size_t i = 0; i < count; ++i) StoreBE16(out + 2 * i, in[i]);
    used += 2 * count;
    done += count;
    if (done == length) break;
    Put(bytes, used);
    used = 0;
  }
  Put(bytes, used);
}

// Reads in place from a memory stream when the whole element is there in
// the expected form; anything else (pushback, recording, another stream,
// another kind, a damaged or cut element) takes the general path, which
// reads or raises exactly as for any packable.
void KQ_TDataStream::UnpackElement(KQ_TAny& value, unsigned char code) {
  KQ_TAny::Cell* const cell = value.fCell;
  if (fMemory != nullptr && fPushCount == 0 && fRecordBlock == nullptr &&
      cell->fKind != KQ_TAny::kObject) {
    unsigned char const* const head = fMemory->Lookahead(3);
    if (head != nullptr && head[0] == code && head[1] == kUInt8Tag && head[2] <= KQ_TAny::kDouble &&
        kElementSize[head[2]] != 0) {
      unsigned char const kind = head[2];
      std::uint32_t const size = 3u + kElementSize[kind];
      unsigned char const* const bytes = fMemory->Lookahead(size);
      if (bytes != nullptr && bytes[3] == kElementTag[kind]) {
        unsigned char const* const in = bytes + 4;
        KQ_TAny::Value v;
        v.fRaw = 0;
        switch (kind) {
          case KQ_TAny::kInt8:
          case KQ_TAny::kUInt8:
            v.fUInt8 = in[0];
            break;
          case KQ_TAny::kBool:
            v.fBool = in[0] != 0;
            break;
          case KQ_TAny::kChar:
            v.fChar = static_cast<char>(in[0]);
            break;
          case KQ_TAny::kInt16:
          case KQ_TAny::kUInt16:
            v.fUInt16 = LoadBE16(in);
            break;
          case KQ_TAny::kInt32:
          case KQ_TAny::kUInt32:
            v.fUInt32 = LoadBE32(in);
            break;
          case KQ_TAny::kFloat:
            v.fFloat = DecodeFloat(LoadBE32(in));
            break;
          case KQ_TAny::kDouble:
            v.fDouble = DecodeDouble(LoadBE64(in));
            break;
          default:
            v.fUInt64 = LoadBE64(in);
            break;
        }
        cell->fKind = kind;
        cell->fValue = v;
        fMemory->Advance(size);
        return;
      }
    }
  }
  *this >> static_cast<KQ_IPackable&>(value);
}

KQ_IUnpacking& KQ_TDataStream::operator>>(KQ_IPackable& object) {
  DepthGuard depth(*this);
  unsigned char const tag = FetchByte();
  if (tag == kNoObject) return *this;
  KQ_TClass const* const record = object.KQ_PackClassObject();
  if (record != nullptr && record == sSpecificTypes[tag]) {
    object.KQ_Unpack(*this);
    return *this;
  }
  if (tag != kObjectTag || !ExtractPackable(object)) Raise<KQ_EWrongPackedType>(__LINE__);
  return *this;
}

// The stream stands after the tag of an object header or a class section.
// True when object was found (its own type, or a section of it nested at any
// depth) and unpacked; the whole element is consumed either way.
bool KQ_TDataStream::ExtractPackable(KQ_IPackable& object) {
  DepthGuard depth(*this);
  char const* const id = object.KQ_PackTypeID();
  std::uint32_t const length = FetchU32();
  if (length == std::strlen(id)) {
    NameBuffer buffer;
    char const* const name = FetchName(buffer, length);
    if (std::memcmp(name, id, length) == 0) {
      object.KQ_Unpack(*this);
      ReadTrailer();
      return true;
    }
  } else {
    SkipOrRaise(length);
  }
  while (Peek() != kTrailer) {
    if (Peek() != kSectionTag) {
      SkipData();
      continue;
    }
    FetchByte();
    if (ExtractPackable(object)) {
      while (Peek() != kTrailer) SkipData();
      FetchByte();
      return true;
    }
  }
  FetchByte();
  return false;
}

KQ_IPackable* KQ_TDataStream::Extract(bool keepUnknown) {
  DepthGuard depth(*this);
  unsigned char const tag = FetchByte();
  if (KQ_TClass const* const record = sSpecificTypes[tag]) {
    std::unique_ptr<KQ_IPackable> object = NewPackable(*record, __LINE__);
    object->KQ_Unpack(*this);
    return object.release();
  }
  if (tag != kObjectTag && tag != kSectionTag) Raise<KQ_EWrongPackedType>(__LINE__);
  std::uint32_t const length = FetchU32();
  NameBuffer buffer;
  char const* const name = FetchName(buffer, length);
  if (std::memchr(name, 0, length) != nullptr) Raise<KQ_EWrongPackedType>(__LINE__);
  KQ_TClass const* const record = KQ_TClass::FindClass(name);
  if (record != nullptr && !record->IsInterface()) {
    std::unique_ptr<KQ_TObject> instance(record->CreateInstance());
    if (instance) {
      if (auto* const packable = static_cast<KQ_IPackable*>(instance->KQ_Cast("KQ_IPackable"))) {
        instance.release();
        std::unique_ptr<KQ_IPackable> object(packable);
        object->KQ_Unpack(*this);
        ReadTrailer();
        return object.release();
      }
    }
  }
  if (!keepUnknown) return ExtractBaseSection();
  return ExtractUnknown(tag, name, length);
}

// The elements of an object of an unknown class, up to its trailer: the
// first class section stands in for the object, when it gives one.
KQ_IPackable* KQ_TDataStream::ExtractBaseSection() {
  std::unique_ptr<KQ_IPackable> result;
  bool sectionSeen = false;
  while (Peek() != kTrailer) {
    if (!sectionSeen && Peek() == kSectionTag) {
      sectionSeen = true;
      result.reset(Extract(false));
    } else {
      SkipData();
    }
  }
  FetchByte();
  return result.release();
}

// Keeps the object of an unknown class byte for byte: the header is
// rebuilt from what was read, content and trailer are recorded as they are
// skipped.
KQ_IPackable* KQ_TDataStream::ExtractUnknown(unsigned char tag, char const* name,
                                             std::uint32_t length) {
  auto unknown = std::make_unique<KQ_TUnknown>(name);
  KQ_TDataBlock& block = unknown->DataBlock();
  unsigned char header[5] = {tag};
  StoreBE32(header + 1, length);
  block.Append(header, 5);
  block.Append(name, length);
  std::uint32_t const start = block.Size();
  unknown->SetOffset(start);
  RecordingScope recording(*this, block);
  while (Peek() != kTrailer) SkipData();
  unknown->SetLength(fRecordPosition - start);
  FetchByte();
  recording.PassOn(block, start);
  return unknown.release();
}

std::uint32_t KQ_TDataStream::ReadPacketGrowing(KQ_TDataBlock& block, std::uint32_t expectedSize) {
  unsigned char header[5];
  Fetch(header, 5);
  if (header[0] != kPacketTag) Raise<KQ_EWrongPackedType>(__LINE__);
  std::uint32_t const length = LoadBE32(header + 1);
  if (length != expectedSize) Raise<KQ_EWrongPacketSize>(__LINE__);
  std::uint32_t const before = block.Size();
  if (std::uint64_t{before} + length > 0xFFFFFFFFu) Raise<KQ_EOutOfMemory>(__LINE__);
  try {
    // The reservation doubles with the bytes that arrived, so a long packet
    // is not copied once per piece.
    std::uint32_t reserved = before;
    std::uint32_t done = 0;
    while (done < length) {
      std::uint32_t const chunk = length - done < kPacketChunk ? length - done : kPacketChunk;
      std::uint32_t const end = before + done + chunk;
      if (end > reserved) {
        std::uint64_t const doubled = 2 * std::uint64_t{reserved};
        reserved = doubled > end
                       ? static_cast<std::uint32_t>(doubled < 0xFFFFFFFFu ? doubled : 0xFFFFFFFFu)
                       : end;
        block[reserved - 1];
      }
      block.Trunc(end);
      block[end - 1];
      Fetch(block.Data() + before + done, chunk);
      done += chunk;
    }
  } catch (...) {
    block.Trunc(before);
    throw;
  }
  return length;
}

std::uint32_t KQ_TDataStream::ReadPacketGrowing(std::uint32_t expectedSize, PacketSink sink,
                                                void* context) {
  unsigned char header[5];
  Fetch(header, 5);
  if (header[0] != kPacketTag) Raise<KQ_EWrongPackedType>(__LINE__);
  std::uint32_t const length = LoadBE32(header + 1);
  if (length != expectedSize) Raise<KQ_EWrongPacketSize>(__LINE__);
  if (length == 0) return 0;
  std::uint32_t const pieceSize = length < kPacketChunk ? length : kPacketChunk;
  std::unique_ptr<unsigned char, void (*)(void*)> const piece(
      static_cast<unsigned char*>(KQ_Alloc(pieceSize)), &KQ_Free);
  std::uint32_t done = 0;
  while (done < length) {
    std::uint32_t const chunk = length - done < pieceSize ? length - done : pieceSize;
    Fetch(piece.get(), chunk);
    sink(context, piece.get(), chunk);
    done += chunk;
  }
  return length;
}
