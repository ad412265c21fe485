#include "kq_tstring.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "internal/kq_content_hash.h"
#include "internal/kq_inline_buffer.h"
#include "internal/kq_packed_format.h"
#include "internal/kq_text_escape.h"
#include "internal/kq_tstring_match.h"
#include "internal/kq_tstring_simd.h"
#include "internal/kq_tstring_units.h"
#include "internal/kq_tstring_utf8.h"
#include "kq_eexception.h"
#include "kq_ipacking.h"
#include "kq_iunpacking.h"
#include "kq_memalloc.h"
#include "kq_tdatastream.h"
#include "kq_thumanreadablestream.h"

static_assert(sizeof(KQ_TUniChar) == sizeof(std::uint16_t) &&
                  std::is_standard_layout_v<KQ_TUniChar>,
              "the buffer is handed out as an array of KQ_TUniChar");
static_assert(sizeof(wchar_t) == 4, "wide strings are UTF-32");

KQ_CLASS_IMPL(KQ_TString)

bool KQ_TString::KQ_Initialize() {
  KQ_TDataStream::RegisterSpecificType(65, KQ_ClassObject());
  return true;
}

using kq::tstring::kNone;

namespace {

// Makes the compiler prove that a static is initialised before any code
// runs, so other translation units' static initialisers can rely on it.
#if defined(__clang__)
#define KQ_CONSTINIT_ [[clang::require_constant_initialization]]
#elif defined(__GNUC__)
#define KQ_CONSTINIT_ __constinit
#else
#define KQ_CONSTINIT_
#endif

// Room for a string that is constructed in place once and never destroyed,
// so it stays valid through every other static destructor.
union StaticString {
  constexpr StaticString() : fNone() {}
  ~StaticString() {}
  char fNone;
  KQ_TString fString;
};

KQ_CONSTINIT_ StaticString gEmpty;
KQ_CONSTINIT_ StaticString gLineFeed;

// What the mutable operator[] hands out for an index out of range.
thread_local KQ_TUniChar tOutOfRangeUnit;

std::uint32_t CheckedLength(std::uint64_t length) {
  if (length > KQ_TString::kMaxLength) KQ_THROW(KQ_EOutOfMemory());
  return static_cast<std::uint32_t>(length);
}

// Buffers are shared between copies until one of them changes: each starts
// with a head holding its reference count and its capacity in units, and a
// string points at the units behind the head. A string changes its units in
// place only when it holds the sole reference to a buffer large enough
// (Own); otherwise it takes a buffer of its own first. The empty strings
// share one static buffer, so making one costs no allocation.
struct BufferHead {
  std::atomic<std::uint32_t> refs;
  std::uint32_t capacity;
};

struct EmptyBuffer {
  BufferHead head;
  std::uint16_t unit;
};
KQ_CONSTINIT_ EmptyBuffer gEmptyBuffer{{1, 1}, 0};

std::uint16_t* EmptyUnits() { return &gEmptyBuffer.unit; }

BufferHead& HeadOf(std::uint16_t const* units) {
  return *reinterpret_cast<BufferHead*>(
      const_cast<unsigned char*>(reinterpret_cast<unsigned char const*>(units)) -
      sizeof(BufferHead));
}

static_assert(offsetof(EmptyBuffer, unit) == sizeof(BufferHead), "units follow the head");

// A buffer of capacity units with one reference.
std::uint16_t* NewBuffer(std::uint32_t capacity) {
  void* const block =
      KQ_Alloc(sizeof(BufferHead) + capacity * std::uint32_t{sizeof(std::uint16_t)});
  auto* const head = new (block) BufferHead{{1}, capacity};
  return reinterpret_cast<std::uint16_t*>(head + 1);
}

std::uint16_t* Share(std::uint16_t* units) {
  if (units != EmptyUnits()) HeadOf(units).refs.fetch_add(1, std::memory_order_relaxed);
  return units;
}

// The last release frees the buffer; the one before it publishes its reads
// of the units to the holder that may then change them in place.
void Release(std::uint16_t* units) {
  if (units == EmptyUnits()) return;
  BufferHead& head = HeadOf(units);
  if (head.refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    head.~BufferHead();
    KQ_Free(&head);
  }
}

bool Owns(std::uint16_t const* units, std::uint32_t capacity) {
  if (units == EmptyUnits()) return false;
  BufferHead const& head = HeadOf(units);
  return head.refs.load(std::memory_order_acquire) == 1 && head.capacity >= capacity;
}

// A string buffer held while it is filled, released if that fails.
using HeldBuffer = std::unique_ptr<std::uint16_t, void (*)(std::uint16_t*)>;

HeldBuffer HoldNewBuffer(std::uint32_t capacity) { return {NewBuffer(capacity), &Release}; }

// Scratch room for units, freed with KQ_Free.
std::uint16_t* NewUnits(std::uint32_t count) {
  return static_cast<std::uint16_t*>(KQ_Alloc(count * std::uint32_t{sizeof(std::uint16_t)}));
}

void* NewTemporary(std::uint64_t bytes) {
  if (bytes > 0xFFFFFFFFu) KQ_THROW(KQ_EOutOfMemory());
  return KQ_AllocTemp(static_cast<std::uint32_t>(bytes));
}

std::uint16_t UnitOfChar(char c) { return std::uint16_t(KQ_TUniChar(c)); }

// The number of elements before the first zero one, at most n. Pointers
// from outside are read one element at a time: nothing behind the zero may
// be touched.
template <class T>
std::size_t BoundedLength(T const* text, std::uint32_t n) {
  if (text == nullptr) return 0;
  std::size_t i = 0;
  while (i < n && text[i] != 0) ++i;
  return i;
}

// The bytes of UTF-8 text before its zero byte, at most n of them.
struct Utf8Bytes {
  unsigned char const* bytes;
  std::size_t size;
};

Utf8Bytes BoundedUtf8(char const* utf8, std::uint32_t n) {
  if (utf8 == nullptr) return {nullptr, 0};
  std::size_t size;
  if (n == KQ_TString::kUpToZero) {
    size = std::strlen(utf8);
  } else {
    void const* zero = std::memchr(utf8, 0, n);
    size = zero == nullptr ? n : static_cast<std::size_t>(static_cast<char const*>(zero) - utf8);
  }
  return {reinterpret_cast<unsigned char const*>(utf8), size};
}

// Checked UTF-8 input and the number of units it decodes to.
struct Utf8Source {
  Utf8Bytes text;
  std::uint32_t units;
};

Utf8Source ScanUtf8(char const* utf8, std::uint32_t n) {
  Utf8Bytes const text = BoundedUtf8(utf8, n);
  std::size_t const units = kq::tstring::CountUtf8(text.bytes, text.size);
  if (units == kNone) KQ_THROW(KQ_EIllegalUTF8Character());
  return {text, CheckedLength(units)};
}

bool IsHighSurrogate(std::uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(std::uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// UTF-32 to UTF-16. A surrogate pair given as two wide characters is kept;
// lone surrogates and values beyond U+10FFFF become U+FFFD.
std::size_t WideUnitCount(wchar_t const* text, std::size_t count) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < count; ++i) {
    auto const c = static_cast<std::uint32_t>(text[i]);
    if (c >= 0x10000 && c <= 0x10FFFF) {
      units += 2;
    } else if (IsHighSurrogate(c) && i + 1 < count &&
               IsLowSurrogate(static_cast<std::uint32_t>(text[i + 1]))) {
      units += 2;
      ++i;
    } else {
      ++units;
    }
  }
  return units;
}

void WideToUnits(wchar_t const* text, std::size_t count, std::uint16_t* out) {
  for (std::size_t i = 0; i < count; ++i) {
    auto const c = static_cast<std::uint32_t>(text[i]);
    if (c >= 0x10000 && c <= 0x10FFFF) {
      *out++ = static_cast<std::uint16_t>(0xD800 + ((c - 0x10000) >> 10));
      *out++ = static_cast<std::uint16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else if (IsHighSurrogate(c) && i + 1 < count &&
               IsLowSurrogate(static_cast<std::uint32_t>(text[i + 1]))) {
      *out++ = static_cast<std::uint16_t>(c);
      *out++ = static_cast<std::uint16_t>(text[++i]);
    } else if (c > 0xFFFF || IsHighSurrogate(c) || IsLowSurrogate(c)) {
      *out++ = 0xFFFD;
    } else {
      *out++ = static_cast<std::uint16_t>(c);
    }
  }
}

int CompareUnits(std::uint16_t const* a, std::size_t aCount, std::uint16_t const* b,
                 std::size_t bCount, bool ignoreCase) {
  std::size_t const common = std::min(aCount, bCount);
  std::size_t i = 0;
  for (;;) {
    i += kq::tstring::FirstMismatch(a + i, b + i, common - i);
    if (i == common) break;
    std::uint16_t ua = a[i];
    std::uint16_t ub = b[i];
    if (ignoreCase) {
      ua = Unicode_ToUpper(ua);
      ub = Unicode_ToUpper(ub);
      if (ua == ub) {
        ++i;
        continue;
      }
    }
    return ua < ub ? -1 : 1;
  }
  return aCount < bCount ? -1 : aCount > bCount ? 1 : 0;
}

bool EqualUnits(std::uint16_t const* a, std::size_t aCount, std::uint16_t const* b,
                std::size_t bCount) {
  return aCount == bCount && kq::tstring::FirstMismatch(a, b, aCount) == aCount;
}

// Where each unit first occurs in a set of units: a table for the units
// below 256, a search for the others.
class UnitIndex {
 public:
  explicit UnitIndex(KQ_TString const& set) : fUnits(set.Units()), fCount(set.Length()) {
    std::fill(fLow, fLow + 256, -1);
    for (std::uint32_t i = fCount; i-- > 0;) {
      if (fUnits[i] < 256) {
        fLow[fUnits[i]] = static_cast<std::int32_t>(i);
      } else {
        fHasHigh = true;
      }
    }
  }

  std::int32_t IndexOf(std::uint16_t unit) const {
    if (unit < 256) return fLow[unit];
    if (!fHasHigh) return -1;
    std::size_t const at = kq::tstring::FindUnit(fUnits, fCount, unit);
    return at == kNone ? -1 : static_cast<std::int32_t>(at);
  }

 private:
  std::uint16_t const* fUnits;
  std::uint32_t fCount;
  bool fHasHigh = false;
  std::int32_t fLow[256];
};

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// The number of bytes a character starting with b takes, 0 when b cannot
// start one.
std::size_t SequenceLength(unsigned char b) {
  if (b < 0x80) return 1;
  if ((b & 0xE0) == 0xC0) return 2;
  if ((b & 0xF0) == 0xE0) return 3;
  return 0;
}

// The bytes at the end of a block that begin a character the block does not
// finish.
std::size_t UnfinishedTail(unsigned char const* bytes, std::size_t size) {
  if (size >= 1 && SequenceLength(bytes[size - 1]) > 1) return 1;
  if (size >= 2 && IsContinuation(bytes[size - 1]) && SequenceLength(bytes[size - 2]) == 3) {
    return 2;
  }
  return 0;
}

}  // namespace

KQ_CONSTINIT_ KQ_TString const& KQ_TString::sEmpty = gEmpty.fString;
KQ_CONSTINIT_ KQ_TString const& KQ_TString::sLineFeed = gLineFeed.fString;

kq::TStringStatics::TStringStatics() {
  static bool const constructed = [] {
    new (&gEmpty.fString) KQ_TString();
    new (&gLineFeed.fString) KQ_TString(u'\n');
    return true;
  }();
  static_cast<void>(constructed);
}

// Construction

KQ_TString::KQ_TString() : fLength(0), fCapacity(CapacityFor(0)), fBuffer(EmptyUnits()) {}

KQ_TString::KQ_TString(std::uint32_t n)
    : fLength(0), fCapacity(CapacityFor(CheckedLength(n))), fBuffer(NewBuffer(fCapacity)) {
  fBuffer[0] = 0;
}

KQ_TString::KQ_TString(RawUnits, std::uint16_t const* units, std::uint32_t n)
    : fLength(CheckedLength(n)), fCapacity(CapacityFor(n)), fBuffer(NewBuffer(fCapacity)) {
  if (n != 0) std::memcpy(fBuffer, units, n * sizeof(std::uint16_t));
  fBuffer[n] = 0;
}

KQ_TString::KQ_TString(KQ_TUniChar const& unit) : KQ_TString(std::uint16_t(unit)) {}

KQ_TString::KQ_TString(char unit) : KQ_TString(UnitOfChar(unit)) {}

KQ_TString::KQ_TString(std::uint16_t unit) : KQ_TString(RawUnits{}, &unit, 1) {}

KQ_TString::KQ_TString(char16_t unit) : KQ_TString(static_cast<std::uint16_t>(unit)) {}

KQ_TString::KQ_TString(wchar_t c) : fLength(0), fCapacity(0) {
  fLength = static_cast<std::uint32_t>(WideUnitCount(&c, 1));
  fCapacity = CapacityFor(fLength);
  fBuffer = NewBuffer(fCapacity);
  WideToUnits(&c, 1, fBuffer);
  fBuffer[fLength] = 0;
}

KQ_TString::KQ_TString(KQ_TUniChar const* units, std::uint32_t n)
    : KQ_TString(reinterpret_cast<std::uint16_t const*>(units), n) {}

KQ_TString::KQ_TString(std::uint16_t const* units, std::uint32_t n)
    : KQ_TString(RawUnits{}, units, static_cast<std::uint32_t>(BoundedLength(units, n))) {}

KQ_TString::KQ_TString(char16_t const* units, std::uint32_t n)
    : KQ_TString(reinterpret_cast<std::uint16_t const*>(units), n) {}

KQ_TString::KQ_TString(wchar_t const* text, std::uint32_t n) : fLength(0), fCapacity(0) {
  std::size_t const count = BoundedLength(text, n);
  fLength = CheckedLength(WideUnitCount(text, count));
  fCapacity = CapacityFor(fLength);
  fBuffer = NewBuffer(fCapacity);
  WideToUnits(text, count, fBuffer);
  fBuffer[fLength] = 0;
}

KQ_TString::KQ_TString(char const* utf8, std::uint32_t n) : fLength(0), fCapacity(0) {
  Utf8Bytes const text = BoundedUtf8(utf8, n);
  if (text.size > kMaxLength) {
    // Too long to give every byte a unit: count first.
    Utf8Source const source = ScanUtf8(utf8, n);
    fLength = source.units;
    fCapacity = CapacityFor(fLength);
    fBuffer = NewBuffer(fCapacity);
    kq::tstring::DecodeUtf8(text.bytes, text.size, fBuffer);
    fBuffer[fLength] = 0;
    return;
  }
  // The text needs at most one unit per byte: check and decode in one pass
  // into that much room. When the exact capacity is smaller, the units move
  // to a buffer of that capacity (a fresh block rather than a shrunk one, so
  // large texts keep reusing the same heap blocks).
  std::uint32_t const room = CapacityFor(static_cast<std::uint32_t>(text.size));
  HeldBuffer decoded = HoldNewBuffer(room);
  std::size_t const units = kq::tstring::DecodeUtf8Checked(text.bytes, text.size, decoded.get());
  if (units == kNone) KQ_THROW(KQ_EIllegalUTF8Character());
  fLength = static_cast<std::uint32_t>(units);
  fCapacity = CapacityFor(fLength);
  if (fCapacity == room) {
    fBuffer = decoded.release();
  } else {
    fBuffer = NewBuffer(fCapacity);
    std::memcpy(fBuffer, decoded.get(), units * sizeof(std::uint16_t));
  }
  fBuffer[fLength] = 0;
}

KQ_TString::KQ_TString(kq::ConstUtf8Text utf8, std::uint32_t n)
    : KQ_TString(reinterpret_cast<char const*>(utf8), n) {}

KQ_TString KQ_TString::FromUTF8(char const* bytes, std::uint32_t size, UTF8Rule rule) {
  auto const* const in = reinterpret_cast<unsigned char const*>(bytes);
  std::unique_ptr<std::uint16_t, void (*)(void*)> const units(NewUnits(CheckedLength(size) + 1),
                                                              &KQ_Free);
  std::size_t count = 0;
  switch (rule) {
    case UTF8Rule::kLibrary:
      count = kq::tstring::DecodeUtf8Checked(in, size, units.get());
      break;
    case UTF8Rule::kStandard:
      count = kq::tstring::DecodeStandardUtf8(in, size, units.get());
      break;
    case UTF8Rule::kBytes:
      count = kq::tstring::DecodeLosslessUtf8(in, size, units.get());
      break;
  }
  if (count == kNone) KQ_THROW(KQ_EIllegalUTF8Character());
  return KQ_TString(RawUnits{}, units.get(), static_cast<std::uint32_t>(count));
}

std::string KQ_TString::ToUTF8(UTF8Rule rule) const {
  std::string text(std::size_t{fLength} * 3, '\0');
  auto* const out = reinterpret_cast<unsigned char*>(text.data());
  std::size_t size = 0;
  switch (rule) {
    case UTF8Rule::kLibrary:
      size = kq::tstring::EncodeLibraryUtf8(fBuffer, fLength, out);
      break;
    case UTF8Rule::kStandard:
      size = kq::tstring::EncodeStandardUtf8(fBuffer, fLength, out);
      break;
    case UTF8Rule::kBytes:
      size = kq::tstring::EncodeLosslessUtf8(fBuffer, fLength, out);
      break;
  }
  text.resize(size);
  return text;
}

// A copy shares the buffer; its capacity is that of a string of its length.
KQ_TString::KQ_TString(KQ_TString const& other)
    : KQ_IInterface(other),
      KQ_IPackable(other),
      KQ_IHashable(other),
      KQ_IPrintable(other),
      KQ_IScanable(other),
      KQ_IHumanReadable(other),
      KQ_TObject(other),
      fLength(other.fLength),
      fCapacity(CapacityFor(other.fLength)),
      fBuffer(Share(other.fBuffer)) {}

// A moved string takes the buffer; the string moved from is left empty.
KQ_TString::KQ_TString(KQ_TString&& other) noexcept : KQ_TString() {
  std::swap(fLength, other.fLength);
  std::swap(fCapacity, other.fCapacity);
  std::swap(fBuffer, other.fBuffer);
}

KQ_TString::~KQ_TString() { Release(fBuffer); }

void KQ_TString::Grow(std::uint32_t capacity) {
  if (Owns(fBuffer, capacity)) return;
  std::uint32_t const bytes = capacity * std::uint32_t{sizeof(std::uint16_t)};
  if (fBuffer != EmptyUnits() && HeadOf(fBuffer).refs.load(std::memory_order_acquire) == 1) {
    // Held alone: the heap may grow it where it lies.
    auto* const head =
        static_cast<BufferHead*>(KQ_Realloc(&HeadOf(fBuffer), sizeof(BufferHead) + bytes));
    head->capacity = capacity;
    fBuffer = reinterpret_cast<std::uint16_t*>(head + 1);
    return;
  }
  std::uint16_t* const buffer = NewBuffer(capacity);
  std::memcpy(buffer, fBuffer, (fLength + 1) * std::uint32_t{sizeof(std::uint16_t)});
  Release(fBuffer);
  fBuffer = buffer;
}

std::uint16_t* KQ_TString::Own(std::uint32_t keep) {
  if (!Owns(fBuffer, fCapacity)) {
    std::uint16_t* const buffer = NewBuffer(fCapacity);
    if (keep != 0) std::memcpy(buffer, fBuffer, keep * sizeof(std::uint16_t));
    Release(fBuffer);
    fBuffer = buffer;
  }
  return fBuffer;
}

// Filling: the callers compute the final length first and hand in a
// function that writes exactly that many units.

template <class Fill>
void KQ_TString::AssignWith(std::uint64_t length, Fill fill) {
  std::uint32_t const n = CheckedLength(length);
  std::uint32_t const capacity = CapacityFor(n) > fCapacity ? CapacityFor(n) : fCapacity;
  if (!Owns(fBuffer, capacity)) {
    // The old buffer may hold the source; it goes only once the copy is made.
    HeldBuffer buffer = HoldNewBuffer(capacity);
    fill(buffer.get());
    Release(fBuffer);
    fBuffer = buffer.release();
    fCapacity = capacity;
  } else {
    fill(fBuffer);
  }
  fLength = n;
  fBuffer[n] = 0;
}

template <class Fill>
void KQ_TString::AppendWith(std::uint64_t length, Fill fill) {
  std::uint32_t const n = CheckedLength(fLength + length);
  if (CapacityFor(n) > fCapacity) fCapacity = CapacityFor(n);
  Grow(fCapacity);
  fill(fBuffer + fLength);
  fLength = n;
  fBuffer[n] = 0;
}

void KQ_TString::AssignUnits(std::uint16_t const* units, std::uint32_t n) {
  if (units == fBuffer && n == fLength) return;
  AssignWith(n, [units, n](std::uint16_t* out) {
    if (n != 0) std::memmove(out, units, n * sizeof(std::uint16_t));
  });
}

void KQ_TString::AppendUnits(std::uint16_t const* units, std::uint32_t n) {
  if (n == 0) return;
  // Units from this very buffer must be found again after it has moved.
  auto const source = reinterpret_cast<std::uintptr_t>(units);
  auto const begin = reinterpret_cast<std::uintptr_t>(fBuffer);
  bool const inside = source >= begin && source < begin + fCapacity * sizeof(std::uint16_t);
  std::size_t const offset = (source - begin) / sizeof(std::uint16_t);
  AppendWith(n, [this, units, n, inside, offset](std::uint16_t* out) {
    std::memmove(out, inside ? fBuffer + offset : units, n * sizeof(std::uint16_t));
  });
}

void KQ_TString::AssignUtf8(char const* utf8, std::uint32_t n) {
  Utf8Source const source = ScanUtf8(utf8, n);
  AssignWith(source.units, [&source](std::uint16_t* out) {
    kq::tstring::DecodeUtf8(source.text.bytes, source.text.size, out);
  });
}

void KQ_TString::AppendUtf8(char const* utf8, std::uint32_t n) {
  Utf8Source const source = ScanUtf8(utf8, n);
  AppendWith(source.units, [&source](std::uint16_t* out) {
    kq::tstring::DecodeUtf8(source.text.bytes, source.text.size, out);
  });
}

void KQ_TString::AssignWide(wchar_t const* text, std::size_t count) {
  AssignWith(WideUnitCount(text, count),
             [text, count](std::uint16_t* out) { WideToUnits(text, count, out); });
}

void KQ_TString::AppendWide(wchar_t const* text, std::size_t count) {
  AppendWith(WideUnitCount(text, count),
             [text, count](std::uint16_t* out) { WideToUnits(text, count, out); });
}

// Assignment

// The buffer is shared; the capacity stays when it is large enough.
KQ_TString& KQ_TString::operator=(KQ_TString const& other) {
  if (this != &other) {
    std::uint16_t* const buffer = Share(other.fBuffer);
    Release(fBuffer);
    fBuffer = buffer;
    fLength = other.fLength;
    if (CapacityFor(fLength) > fCapacity) fCapacity = CapacityFor(fLength);
  }
  return *this;
}

KQ_TString& KQ_TString::operator=(KQ_TUniChar const& unit) { return *this = std::uint16_t(unit); }

KQ_TString& KQ_TString::operator=(char const* utf8) {
  AssignUtf8(utf8, kUpToZero);
  return *this;
}

KQ_TString& KQ_TString::operator=(kq::ConstUtf8Text utf8) {
  return *this = reinterpret_cast<char const*>(utf8);
}

KQ_TString& KQ_TString::operator=(std::uint16_t const* units) {
  AssignUnits(units, static_cast<std::uint32_t>(BoundedLength(units, kUpToZero)));
  return *this;
}

KQ_TString& KQ_TString::operator=(char16_t const* units) {
  return *this = reinterpret_cast<std::uint16_t const*>(units);
}

KQ_TString& KQ_TString::operator=(wchar_t const* text) {
  AssignWide(text, BoundedLength(text, kUpToZero));
  return *this;
}

KQ_TString& KQ_TString::operator=(char unit) { return *this = UnitOfChar(unit); }

KQ_TString& KQ_TString::operator=(std::uint16_t unit) {
  AssignUnits(&unit, 1);
  return *this;
}

KQ_TString& KQ_TString::operator=(char16_t unit) {
  return *this = static_cast<std::uint16_t>(unit);
}

KQ_TString& KQ_TString::operator=(wchar_t c) {
  AssignWide(&c, 1);
  return *this;
}

KQ_IPackable& KQ_TString::operator=(KQ_IUnpacking& unpacker) {
  return KQ_IPackable::operator=(unpacker);
}

// Appending

KQ_TString& KQ_TString::operator+=(KQ_TString const& other) {
  AppendUnits(other.fBuffer, other.fLength);
  return *this;
}

KQ_TString& KQ_TString::operator+=(KQ_TUniChar const& unit) { return *this += std::uint16_t(unit); }

KQ_TString& KQ_TString::operator+=(char const* utf8) {
  AppendUtf8(utf8, kUpToZero);
  return *this;
}

KQ_TString& KQ_TString::operator+=(kq::ConstUtf8Text utf8) {
  return *this += reinterpret_cast<char const*>(utf8);
}

KQ_TString& KQ_TString::operator+=(std::uint16_t const* units) {
  AppendUnits(units, static_cast<std::uint32_t>(BoundedLength(units, kUpToZero)));
  return *this;
}

KQ_TString& KQ_TString::operator+=(char16_t const* units) {
  return *this += reinterpret_cast<std::uint16_t const*>(units);
}

KQ_TString& KQ_TString::operator+=(wchar_t const* text) {
  AppendWide(text, BoundedLength(text, kUpToZero));
  return *this;
}

KQ_TString& KQ_TString::operator+=(char unit) { return *this += UnitOfChar(unit); }

KQ_TString& KQ_TString::operator+=(std::uint16_t unit) {
  AppendUnits(&unit, 1);
  return *this;
}

KQ_TString& KQ_TString::operator+=(char16_t unit) {
  return *this += static_cast<std::uint16_t>(unit);
}

KQ_TString& KQ_TString::operator+=(wchar_t c) {
  AppendWide(&c, 1);
  return *this;
}

KQ_TString KQ_TString::operator+(KQ_TString const& other) const {
  KQ_TString result(CheckedLength(std::uint64_t{fLength} + other.fLength));
  result.AppendUnits(fBuffer, fLength);
  result.AppendUnits(other.fBuffer, other.fLength);
  return result;
}

#define KQ_TSTRING_PLUS_(Argument)                         \
  KQ_TString KQ_TString::operator+(Argument value) const { \
    KQ_TString result(*this);                              \
    result += value;                                       \
    return result;                                         \
  }
KQ_TSTRING_PLUS_(KQ_TUniChar const&)
KQ_TSTRING_PLUS_(char const*)
KQ_TSTRING_PLUS_(kq::ConstUtf8Text)
KQ_TSTRING_PLUS_(std::uint16_t const*)
KQ_TSTRING_PLUS_(char16_t const*)
KQ_TSTRING_PLUS_(wchar_t const*)
KQ_TSTRING_PLUS_(char)
KQ_TSTRING_PLUS_(std::uint16_t)
KQ_TSTRING_PLUS_(char16_t)
KQ_TSTRING_PLUS_(wchar_t)
#undef KQ_TSTRING_PLUS_

KQ_TString operator+(char const* utf8, KQ_TString const& s) {
  KQ_TString result(utf8);
  result += s;
  return result;
}

KQ_TString operator+(wchar_t const* text, KQ_TString const& s) {
  KQ_TString result(text);
  result += s;
  return result;
}

// Access and conversion

KQ_TString& KQ_TString::Truncate(std::uint32_t n) {
  if (n < fLength) {
    Own(n)[n] = 0;
    fLength = n;
  }
  return *this;
}

KQ_TUniChar& KQ_TString::operator[](std::int32_t i) {
  std::int64_t const index = i < 0 ? std::int64_t{i} + fLength : i;
  if (index < 0 || index >= fLength) {
    tOutOfRangeUnit = KQ_TUniChar();
    return tOutOfRangeUnit;
  }
  return reinterpret_cast<KQ_TUniChar*>(Own(fLength + 1))[index];
}

KQ_TUniChar KQ_TString::operator[](std::int32_t i) const {
  std::int64_t const index = i < 0 ? std::int64_t{i} + fLength : i;
  if (index < 0 || index >= fLength) return KQ_TUniChar();
  return KQ_TUniChar(fBuffer[index]);
}

KQ_TString::operator KQ_TUniChar const*() const {
  return reinterpret_cast<KQ_TUniChar const*>(fBuffer);
}

// Most text is ASCII: it is narrowed in one pass into a block sized for
// exactly that. Only when a unit from 0x80 up appears is the exact size of
// the rest computed and the text moved into a second temporary.
char const* KQ_TString::UTF8() const {
  auto* const ascii = static_cast<unsigned char*>(NewTemporary(std::uint64_t{fLength} + 1));
  std::size_t const narrowed = kq::tstring::NarrowAscii(fBuffer, fLength, ascii);
  if (narrowed == fLength || fBuffer[narrowed] == 0) {
    ascii[narrowed] = 0;
    return reinterpret_cast<char const*>(ascii);
  }
  std::size_t used = 0;
  std::size_t const rest = kq::tstring::Utf8Size(fBuffer + narrowed, fLength - narrowed, &used);
  auto* const out = static_cast<unsigned char*>(NewTemporary(std::uint64_t{narrowed} + rest + 1));
  std::memcpy(out, ascii, narrowed);
  kq::tstring::EncodeUtf8(fBuffer + narrowed, used, out + narrowed);
  out[narrowed + rest] = 0;
  return reinterpret_cast<char const*>(out);
}

KQ_TString::operator char*() const { return const_cast<char*>(UTF8()); }

KQ_TString::operator kq::Utf8Text() const {
  return reinterpret_cast<kq::Utf8Text>(const_cast<char*>(UTF8()));
}

KQ_TString::operator std::uint16_t*() const {
  std::size_t const bytes = (std::size_t{fLength} + 1) * sizeof(std::uint16_t);
  auto* const out = static_cast<std::uint16_t*>(NewTemporary(bytes));
  std::memcpy(out, fBuffer, bytes);
  return out;
}

KQ_TString::operator wchar_t*() const {
  std::size_t count = 0;
  for (std::uint32_t i = 0; i < fLength; ++i, ++count) {
    if (IsHighSurrogate(fBuffer[i]) && i + 1 < fLength && IsLowSurrogate(fBuffer[i + 1])) ++i;
  }
  auto* const out =
      static_cast<wchar_t*>(NewTemporary((std::uint64_t{count} + 1) * sizeof(wchar_t)));
  wchar_t* next = out;
  for (std::uint32_t i = 0; i < fLength; ++i) {
    std::uint32_t const unit = fBuffer[i];
    if (IsHighSurrogate(unit) && i + 1 < fLength && IsLowSurrogate(fBuffer[i + 1])) {
      *next++ = static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (fBuffer[++i] - 0xDC00));
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      *next++ = static_cast<wchar_t>(0xFFFD);
    } else {
      *next++ = static_cast<wchar_t>(unit);
    }
  }
  *next = 0;
  return out;
}

// Comparison

int KQ_TString::CompareWith(KQ_TString const& other, bool ignoreCase) const {
  return CompareUnits(fBuffer, fLength, other.fBuffer, other.fLength, ignoreCase);
}

bool KQ_TString::Matches(KQ_TString const& pattern, bool ignoreCase) const {
  return kq::MatchPattern(fBuffer, fLength, pattern.fBuffer, pattern.fLength, ignoreCase);
}

#define KQ_TSTRING_UNITS_OF_(expression, units, count)                                   \
  std::uint16_t const* const units = reinterpret_cast<std::uint16_t const*>(expression); \
  std::size_t const count = BoundedLength(units, kUpToZero)

#define KQ_TSTRING_COMPARISONS_(op, Test)                          \
  bool KQ_TString::operator op(KQ_TString const& other) const {    \
    return Test(other.fBuffer, other.fLength);                     \
  }                                                                \
  bool KQ_TString::operator op(char const* utf8) const {           \
    KQ_TString const other(utf8);                                  \
    return Test(other.fBuffer, other.fLength);                     \
  }                                                                \
  bool KQ_TString::operator op(kq::ConstUtf8Text utf8) const {     \
    return *this op reinterpret_cast<char const*>(utf8);           \
  }                                                                \
  bool KQ_TString::operator op(std::uint16_t const* units) const { \
    KQ_TSTRING_UNITS_OF_(units, otherUnits, otherCount);           \
    return Test(otherUnits, otherCount);                           \
  }                                                                \
  bool KQ_TString::operator op(char16_t const* units) const {      \
    KQ_TSTRING_UNITS_OF_(units, otherUnits, otherCount);           \
    return Test(otherUnits, otherCount);                           \
  }                                                                \
  bool KQ_TString::operator op(wchar_t const* text) const {        \
    KQ_TString const other(text);                                  \
    return Test(other.fBuffer, other.fLength);                     \
  }

#define KQ_TSTRING_EQUAL_(units, count) EqualUnits(fBuffer, fLength, units, count)
#define KQ_TSTRING_UNEQUAL_(units, count) !EqualUnits(fBuffer, fLength, units, count)
#define KQ_TSTRING_LESS_(units, count) (CompareUnits(fBuffer, fLength, units, count, false) < 0)
#define KQ_TSTRING_LESS_EQUAL_(units, count) \
  (CompareUnits(fBuffer, fLength, units, count, false) <= 0)
#define KQ_TSTRING_GREATER_(units, count) (CompareUnits(fBuffer, fLength, units, count, false) > 0)
#define KQ_TSTRING_GREATER_EQUAL_(units, count) \
  (CompareUnits(fBuffer, fLength, units, count, false) >= 0)

KQ_TSTRING_COMPARISONS_(==, KQ_TSTRING_EQUAL_)
KQ_TSTRING_COMPARISONS_(!=, KQ_TSTRING_UNEQUAL_)
KQ_TSTRING_COMPARISONS_(<, KQ_TSTRING_LESS_)
KQ_TSTRING_COMPARISONS_(<=, KQ_TSTRING_LESS_EQUAL_)
KQ_TSTRING_COMPARISONS_(>, KQ_TSTRING_GREATER_)
KQ_TSTRING_COMPARISONS_(>=, KQ_TSTRING_GREATER_EQUAL_)

#undef KQ_TSTRING_EQUAL_
#undef KQ_TSTRING_UNEQUAL_
#undef KQ_TSTRING_LESS_
#undef KQ_TSTRING_LESS_EQUAL_
#undef KQ_TSTRING_GREATER_
#undef KQ_TSTRING_GREATER_EQUAL_
#undef KQ_TSTRING_COMPARISONS_
#undef KQ_TSTRING_UNITS_OF_

// Search

std::int64_t KQ_TString::ForwardStart(std::int32_t start) const {
  std::int64_t position = start;
  if (position < 0) position = std::max<std::int64_t>(position + fLength, 0);
  return position;
}

std::int32_t KQ_TString::Find(KQ_TString const& needle, std::int32_t start) const {
  std::int64_t const from = ForwardStart(start);
  if (from > std::int64_t{fLength} - needle.fLength) return -1;
  if (needle.fLength == 0) return static_cast<std::int32_t>(from);
  std::size_t const at =
      kq::tstring::FindUnits(fBuffer + from, fLength - from, needle.fBuffer, needle.fLength);
  return at == kNone ? -1 : static_cast<std::int32_t>(from + at);
}

std::int32_t KQ_TString::Find(char const* utf8Needle, std::int32_t start) const {
  return Find(KQ_TString(utf8Needle), start);
}

std::int32_t KQ_TString::Find(kq::ConstUtf8Text utf8Needle, std::int32_t start) const {
  return Find(KQ_TString(utf8Needle), start);
}

std::int32_t KQ_TString::FindUnitFrom(std::uint16_t c, std::int32_t start, bool reverse) const {
  std::int64_t from = ForwardStart(start);
  if (!reverse) {
    if (from > fLength) return -1;
    // The terminator takes part, so the zero unit is found at the end.
    std::size_t const at = kq::tstring::FindUnit(fBuffer + from, fLength - from + 1, c);
    return at == kNone ? -1 : static_cast<std::int32_t>(from + at);
  }
  if (from >= fLength) from = std::int64_t{fLength} - 1;
  if (from < 0) return -1;
  std::size_t const at = kq::tstring::FindLastUnit(fBuffer, static_cast<std::size_t>(from) + 1, c);
  return at == kNone ? -1 : static_cast<std::int32_t>(at);
}

std::int32_t KQ_TString::Find(KQ_TUniChar const& c, std::int32_t start, bool reverse) const {
  return FindUnitFrom(std::uint16_t(c), start, reverse);
}

std::int32_t KQ_TString::Find(char c, std::int32_t start, bool reverse) const {
  return FindUnitFrom(UnitOfChar(c), start, reverse);
}

std::int32_t KQ_TString::Find(std::uint16_t c, std::int32_t start, bool reverse) const {
  return FindUnitFrom(c, start, reverse);
}

std::int32_t KQ_TString::Find(char16_t c, std::int32_t start, bool reverse) const {
  return FindUnitFrom(static_cast<std::uint16_t>(c), start, reverse);
}

std::int32_t KQ_TString::Find(wchar_t c, std::int32_t start, bool reverse) const {
  return FindUnitFrom(std::uint16_t(KQ_TUniChar(c)), start, reverse);
}

std::int32_t KQ_TString::FindChars(KQ_TString const& set, std::int32_t start, bool reverse) const {
  std::int64_t from = ForwardStart(start);
  if (!reverse) {
    if (from > fLength) return -1;
    if (set.fLength == 0) return static_cast<std::int32_t>(fLength);
    UnitIndex const index(set);
    for (std::int64_t i = from; i < fLength; ++i) {
      if (index.IndexOf(fBuffer[i]) >= 0) return static_cast<std::int32_t>(i);
    }
    return -1;
  }
  if (set.fLength == 0) return -1;
  if (from >= fLength) from = std::int64_t{fLength} - 1;
  UnitIndex const index(set);
  for (std::int64_t i = from; i >= 0; --i) {
    if (index.IndexOf(fBuffer[i]) >= 0) return static_cast<std::int32_t>(i);
  }
  return -1;
}

// Derived strings

KQ_TString KQ_TString::Substring(std::int32_t start, std::int32_t count) const {
  std::int64_t const from = ForwardStart(start);
  if (from >= fLength) return KQ_TString();
  std::int64_t const rest = fLength - from;
  std::int64_t const taken = count < 0 || count > rest ? rest : count;
  return KQ_TString(RawUnits{}, fBuffer + from, static_cast<std::uint32_t>(taken));
}

KQ_TString KQ_TString::Replace(std::int32_t start, std::int32_t count,
                               KQ_TString const& with) const {
  if (fLength == 0) return with;
  std::int64_t const from = std::min<std::int64_t>(ForwardStart(start), fLength);
  std::int64_t const rest = fLength - from;
  std::int64_t const removed = count < 0 || count > rest ? rest : count;
  KQ_TString result(CheckedLength(std::uint64_t{fLength} - removed + with.fLength));
  result.AppendUnits(fBuffer, static_cast<std::uint32_t>(from));
  result.AppendUnits(with.fBuffer, with.fLength);
  result.AppendUnits(fBuffer + from + removed, static_cast<std::uint32_t>(rest - removed));
  return result;
}

KQ_TString KQ_TString::Replace(KQ_TString const& what, KQ_TString const& with,
                               std::uint32_t maxCount, std::int32_t start) const {
  std::int64_t const from = ForwardStart(start);
  if (fLength == 0 || what.fLength == 0 || from >= fLength) return *this;
  // The next occurrence at or after position, or kNone.
  auto const next = [this, &what](std::size_t position) {
    std::size_t const at =
        kq::tstring::FindUnits(fBuffer + position, fLength - position, what.fBuffer, what.fLength);
    return at == kNone ? kNone : position + at;
  };
  std::uint64_t matches = 0;
  for (std::size_t position = static_cast<std::size_t>(from); maxCount == 0 || matches < maxCount;
       ++matches) {
    std::size_t const at = next(position);
    if (at == kNone) break;
    position = at + what.fLength;
  }
  if (matches == 0) return *this;
  std::int64_t const growth = std::int64_t{with.fLength} - what.fLength;
  KQ_TString result(CheckedLength(fLength + static_cast<std::int64_t>(matches) * growth));
  std::size_t position = static_cast<std::size_t>(from);
  result.AppendUnits(fBuffer, static_cast<std::uint32_t>(from));
  for (std::uint64_t k = 0; k < matches; ++k) {
    std::size_t const at = next(position);
    result.AppendUnits(fBuffer + position, static_cast<std::uint32_t>(at - position));
    result.AppendUnits(with.fBuffer, with.fLength);
    position = at + what.fLength;
  }
  result.AppendUnits(fBuffer + position, static_cast<std::uint32_t>(fLength - position));
  return result;
}

KQ_TString KQ_TString::Replace(char const* what, char const* with, std::uint32_t maxCount,
                               std::int32_t start) const {
  return Replace(KQ_TString(what), KQ_TString(with), maxCount, start);
}

KQ_TString KQ_TString::Replace(KQ_TString const& what, char const* with, std::uint32_t maxCount,
                               std::int32_t start) const {
  return Replace(what, KQ_TString(with), maxCount, start);
}

KQ_TString KQ_TString::Replace(char const* what, KQ_TString const& with, std::uint32_t maxCount,
                               std::int32_t start) const {
  return Replace(KQ_TString(what), with, maxCount, start);
}

KQ_TString KQ_TString::Replace(kq::ConstUtf8Text what, kq::ConstUtf8Text with,
                               std::uint32_t maxCount, std::int32_t start) const {
  return Replace(KQ_TString(what), KQ_TString(with), maxCount, start);
}

KQ_TString KQ_TString::Replace(KQ_TUniChar const& from, KQ_TUniChar const& to,
                               std::uint32_t maxCount, std::int32_t start) const {
  std::uint16_t const fromUnit = from;
  std::uint16_t const toUnit = to;
  std::int64_t const first = ForwardStart(start);
  if (fromUnit == 0 || fLength == 0 || first >= fLength) return *this;
  auto const next = [this, fromUnit](std::size_t position) {
    std::size_t const at = kq::tstring::FindUnit(fBuffer + position, fLength - position, fromUnit);
    return at == kNone ? kNone : position + at;
  };
  if (toUnit != 0) {
    KQ_TString result(*this);
    std::uint16_t* const units = result.Own(fLength + 1);
    std::uint32_t replaced = 0;
    for (std::size_t position = static_cast<std::size_t>(first);
         maxCount == 0 || replaced < maxCount; ++replaced) {
      std::size_t const at = next(position);
      if (at == kNone) break;
      units[at] = toUnit;
      position = at + 1;
    }
    return result;
  }
  std::uint32_t removed = 0;
  for (std::size_t position = static_cast<std::size_t>(first); maxCount == 0 || removed < maxCount;
       ++removed) {
    std::size_t const at = next(position);
    if (at == kNone) break;
    position = at + 1;
  }
  KQ_TString result(fLength - removed);
  std::size_t position = static_cast<std::size_t>(first);
  result.AppendUnits(fBuffer, static_cast<std::uint32_t>(first));
  for (std::uint32_t k = 0; k < removed; ++k) {
    std::size_t const at = next(position);
    result.AppendUnits(fBuffer + position, static_cast<std::uint32_t>(at - position));
    position = at + 1;
  }
  result.AppendUnits(fBuffer + position, static_cast<std::uint32_t>(fLength - position));
  return result;
}

KQ_TString KQ_TString::ReplaceChars(KQ_TString const& from, KQ_TString const& to,
                                    std::uint32_t maxCount, std::int32_t start) const {
  std::int64_t const first = ForwardStart(start);
  if (from.fLength == 0 || fLength == 0 || first >= fLength) return *this;
  UnitIndex const index(from);
  // One pass to size the result, one to fill it.
  std::uint32_t replaced = 0;
  std::uint32_t removed = 0;
  std::uint32_t end = static_cast<std::uint32_t>(first);
  for (; end < fLength && (maxCount == 0 || replaced < maxCount); ++end) {
    std::int32_t const k = index.IndexOf(fBuffer[end]);
    if (k < 0) continue;
    ++replaced;
    if (static_cast<std::uint32_t>(k) >= to.fLength) ++removed;
  }
  KQ_TString result(fLength - removed);
  std::uint16_t* out = result.fBuffer;
  std::memcpy(out, fBuffer, first * sizeof(std::uint16_t));
  out += first;
  for (std::uint32_t i = static_cast<std::uint32_t>(first); i < end; ++i) {
    std::int32_t const k = index.IndexOf(fBuffer[i]);
    if (k < 0) {
      *out++ = fBuffer[i];
    } else if (static_cast<std::uint32_t>(k) < to.fLength) {
      *out++ = to.fBuffer[k];
    }
  }
  std::memcpy(out, fBuffer + end, (fLength - end) * sizeof(std::uint16_t));
  result.fLength = fLength - removed;
  result.fBuffer[result.fLength] = 0;
  return result;
}

KQ_TString KQ_TString::ToLower() const {
  KQ_TString result(*this);
  return result.MakeLower();
}

KQ_TString KQ_TString::ToUpper() const {
  KQ_TString result(*this);
  return result.MakeUpper();
}

KQ_TString& KQ_TString::MakeLower() {
  std::uint16_t* const units = Own(fLength + 1);
  for (std::uint32_t i = 0; i < fLength; ++i) units[i] = Unicode_ToLower(units[i]);
  return *this;
}

KQ_TString& KQ_TString::MakeUpper() {
  std::uint16_t* const units = Own(fLength + 1);
  for (std::uint32_t i = 0; i < fLength; ++i) units[i] = Unicode_ToUpper(units[i]);
  return *this;
}

// Formatting

KQ_TString KQ_TString::Format(char const* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  struct End {
    va_list& list;
    ~End() { va_end(list); }
  } const end{arguments};
  return FormatVA(format, arguments);
}

KQ_TString KQ_TString::FormatVA(char const* format, va_list arguments) {
  if (format == nullptr) return KQ_TString();
  // Room for the longest output and the terminating zero.
  constexpr int kMostBytes = 8192;
  char buffer[kMostBytes + 1];
  int const written = std::vsnprintf(buffer, sizeof buffer, format, arguments);
  if (written < 0 || written > kMostBytes) {
    KQ_THROW(KQ_EStringFormatException());
  }
  return KQ_TString(buffer, static_cast<std::uint32_t>(written));
}

KQ_TString KQ_TString::FormatVA(KQ_TString const& format, va_list arguments) {
  return FormatVA(format.UTF8(), arguments);
}

// Streams

void KQ_TString::PrintOn(std::ostream& os) const {
  constexpr std::size_t kChunk = 1024;
  unsigned char bytes[3 * kChunk];
  std::size_t const zero = kq::tstring::FindUnit(fBuffer, fLength, 0);
  std::size_t const count = zero == kNone ? fLength : zero;
  for (std::size_t i = 0; i < count; i += kChunk) {
    std::size_t const size =
        kq::tstring::EncodeUtf8(fBuffer + i, std::min(kChunk, count - i), bytes);
    os.write(reinterpret_cast<char const*>(bytes), static_cast<std::streamsize>(size));
  }
}

void KQ_TString::ScanFrom(std::istream& is) { ScanFrom(is, sLineFeed); }

void KQ_TString::ScanFrom(std::istream& is, KQ_TString const& delimiters) {
  constexpr std::size_t kBlock = 255;
  UnitIndex const stops(delimiters);
  Truncate(0);
  unsigned char block[kBlock];
  std::size_t filled = 0;
  for (;;) {
    std::istream::int_type const c = is.get();
    if (c == std::istream::traits_type::eof() || c == 0) break;
    auto const byte = static_cast<unsigned char>(c);
    if (stops.IndexOf(byte) >= 0) break;
    block[filled++] = byte;
    if (filled == kBlock) {
      std::size_t const kept = UnfinishedTail(block, kBlock);
      AppendUtf8(reinterpret_cast<char const*>(block), static_cast<std::uint32_t>(kBlock - kept));
      std::memmove(block, block + kBlock - kept, kept);
      filled = kept;
    }
  }
  AppendUtf8(reinterpret_cast<char const*>(block), static_cast<std::uint32_t>(filled));
}

std::uint32_t KQ_TString::Read(std::FILE* file, KQ_TString const& delimiters) {
  UnitIndex const stops(delimiters);
  Truncate(0);
  // Units are gathered locally and appended in batches.
  std::uint16_t units[256];
  std::uint32_t unitCount = 0;
  unsigned char pending[3];
  std::size_t have = 0;
  std::size_t need = 0;
  bool stopped = false;
  for (;;) {
    int const c = std::getc(file);
    if (c == EOF) break;
    if (c == 0) {
      stopped = true;
      break;
    }
    auto const byte = static_cast<unsigned char>(c);
    std::uint16_t unit = 0;
    if (have != 0 && !IsContinuation(byte)) {
      // The gathered bytes can no longer become a character: they give the
      // unit 0, and this byte starts over.
      std::ungetc(c, file);
      have = 0;
    } else if (have != 0) {
      pending[have++] = byte;
      if (have < need) continue;
      kq::tstring::DecodeUtf8(pending, have, &unit);
      have = 0;
    } else {
      need = SequenceLength(byte);
      if (need == 1) {
        unit = byte;
      } else if (need > 1) {
        pending[have++] = byte;
        continue;
      }
    }
    if (stops.IndexOf(unit) >= 0) {
      stopped = true;
      break;
    }
    units[unitCount++] = unit;
    if (unitCount == 256) {
      AppendUnits(units, unitCount);
      unitCount = 0;
    }
  }
  AppendUnits(units, unitCount);
  if (have != 0)
    AppendUtf8(reinterpret_cast<char const*>(pending), static_cast<std::uint32_t>(have));
  return stopped ? 1 : 0;
}

// Packing

void KQ_TString::KQ_Pack(KQ_IPacking& packer) const {
  packer << fLength;
  std::uint32_t const size = fLength * std::uint32_t{sizeof(std::uint16_t)};
  std::unique_ptr<unsigned char, void (*)(void*)> const bytes(
      static_cast<unsigned char*>(KQ_Alloc(size)), &KQ_Free);
  kq::packed::StoreUnitsBE(bytes.get(), fBuffer, fLength);
  unsigned char const none = 0;
  packer.WritePacket(size == 0 ? &none : bytes.get(), size);
}

// The length comes from outside: the packet is taken in pieces as they
// arrive, so the buffer grows with bytes that are really there (at most
// twice as many), and takes the exact capacity at the end.
void KQ_TString::KQ_Unpack(KQ_IUnpacking& unpacker) {
  Truncate(0);
  std::uint32_t length = 0;
  unpacker >> length;
  std::uint32_t const capacity = CapacityFor(CheckedLength(length));
  struct Receiver {
    KQ_TString& string;
    std::uint32_t length;
    static void Append(void* context, unsigned char const* bytes, std::uint32_t count) {
      Receiver& self = *static_cast<Receiver*>(context);
      KQ_TString& s = self.string;
      std::uint32_t const units = count / 2;
      if (s.fLength + units >= s.fCapacity) {
        s.fCapacity = static_cast<std::uint32_t>(std::min<std::uint64_t>(
            std::uint64_t{s.fLength + units} * 2, std::uint64_t{self.length} + 1));
      }
      s.Grow(s.fCapacity);
      kq::packed::LoadUnitsBE(s.fBuffer + s.fLength, bytes, units);
      s.fLength += units;
      s.fBuffer[s.fLength] = 0;
    }
  } receiver{*this, length};
  try {
    unpacker.ReadPacketGrowing(length * std::uint32_t{sizeof(std::uint16_t)}, &Receiver::Append,
                               &receiver);
  } catch (...) {
    Truncate(0);
    throw;
  }
  if (length == 0) return;
  if (fCapacity < capacity) fCapacity = capacity;
  Grow(fCapacity);
  fLength = length;
  fBuffer[length] = 0;
}

KQ_IPackable* KQ_TString::KQ_Clone(void*) const { return new KQ_TString(*this); }

bool KQ_TString::KQ_IsIdent(KQ_IPackable const& other) const {
  auto const* const string = static_cast<KQ_TString const*>(other.KQ_Cast("KQ_TString"));
  return string != nullptr && EqualUnits(fBuffer, fLength, string->fBuffer, string->fLength);
}

std::uint32_t KQ_TString::KQ_HashValue(std::uint32_t shift) const {
  return kq::tstring::UnitsHash(fBuffer, fLength, shift);
}

std::uint64_t KQ_TString::KQ_ContentHash() const {
  return kq::ContentHash(fBuffer, std::size_t{fLength} * sizeof *fBuffer);
}

// The text format

namespace {

inline int HexDigitValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool KQ_TString::WriteTo(KQ_THumanReadableStream& stream) const {
  // Each unit takes at most three UTF-8 bytes of four characters each.
  constexpr std::uint32_t kRoom = 512;
  constexpr std::uint32_t kMostPerUnit = 12;
  char buffer[kRoom];
  char* out = buffer;
  *out++ = '"';
  for (std::uint32_t i = 0; i < fLength && fBuffer[i] != 0; ++i) {
    if (out + kMostPerUnit + 1 > buffer + kRoom) {
      stream.Write(buffer, static_cast<std::uint32_t>(out - buffer));
      out = buffer;
    }
    std::uint16_t const unit = fBuffer[i];
    if (unit < 0x80) {
      out = kq::text::EscapeByte(static_cast<unsigned char>(unit), '"', out);
    } else if (unit < 0x800) {
      out = kq::text::EscapeByte(static_cast<unsigned char>(0xC0 | (unit >> 6)), '"', out);
      out = kq::text::EscapeByte(static_cast<unsigned char>(0x80 | (unit & 0x3F)), '"', out);
    } else {
      out = kq::text::EscapeByte(static_cast<unsigned char>(0xE0 | (unit >> 12)), '"', out);
      out = kq::text::EscapeByte(static_cast<unsigned char>(0x80 | ((unit >> 6) & 0x3F)), '"', out);
      out = kq::text::EscapeByte(static_cast<unsigned char>(0x80 | (unit & 0x3F)), '"', out);
    }
  }
  *out++ = '"';
  stream.Write(buffer, static_cast<std::uint32_t>(out - buffer));
  return true;
}

bool KQ_TString::ReadFrom(KQ_THumanReadableStream& stream) {
  unsigned char const opening = stream.SkipWhiteSpace().Read();
  if (opening != '"') stream.SyntaxError("a string in double quotes", stream.Quoted(opening));
  // The UTF-8 bytes of the string, growing with the input.
  kq::InlineBuffer<unsigned char, 256> bytes(kMaxLength);
  for (unsigned char byte = stream.Read(); byte != '"'; byte = stream.Read()) {
    if (byte != '\\') {
      bytes.Append(byte);
      continue;
    }
    byte = stream.Read();
    if (int const letter = kq::text::LetterEscape(byte); letter >= 0) {
      bytes.Append(static_cast<unsigned char>(letter));
      continue;
    }
    switch (byte) {
      case 'u': {
        std::uint32_t unit = 0;
        int digits = 0;
        for (; digits < 4; ++digits) {
          unsigned char const c = stream.Read();
          int const value = HexDigitValue(c);
          if (value < 0) {
            stream.Unread(c);
            break;
          }
          unit = unit << 4 | static_cast<std::uint32_t>(value);
        }
        if (digits < 4) break;
        if (unit == 0 && stream.Strict()) {
          stream.SyntaxError("a character other than zero", KQ_TString("\\u0000"));
        }
        if (unit < 0x80) {
          bytes.Append(static_cast<unsigned char>(unit));
        } else if (unit < 0x800) {
          bytes.Append(static_cast<unsigned char>(0xC0 | (unit >> 6)));
          bytes.Append(static_cast<unsigned char>(0x80 | (unit & 0x3F)));
        } else {
          bytes.Append(static_cast<unsigned char>(0xE0 | (unit >> 12)));
          bytes.Append(static_cast<unsigned char>(0x80 | ((unit >> 6) & 0x3F)));
          bytes.Append(static_cast<unsigned char>(0x80 | (unit & 0x3F)));
        }
        break;
      }
      default: {
        if (byte < '0' || byte > '7') {
          bytes.Append(byte);
          break;
        }
        std::uint32_t value = byte - '0';
        for (int more = 0; more < 2; ++more) {
          unsigned char const c = stream.Read();
          if (c < '0' || c > '7') {
            stream.Unread(c);
            break;
          }
          value = value * 8 + (c - '0');
        }
        if ((value == 0 || value > 255) && stream.Strict()) {
          stream.SyntaxError("an octal escape from 1 to 377", KQ_TString::Format("\\%o", value));
        }
        bytes.Append(static_cast<unsigned char>(value));
        break;
      }
    }
  }
  char const* const text = reinterpret_cast<char const*>(bytes.Terminated());
  *this = text;
  // The library writes every character in its shortest form; another form
  // would read as the same characters and write back differently, and a
  // zero byte would end the string early.
  if (stream.Strict()) {
    if (std::strlen(text) != bytes.Length()) {
      stream.SyntaxError("a character other than zero", KQ_TString("a zero byte"));
    }
    if (ToUTF8(UTF8Rule::kLibrary) != text) {
      stream.SyntaxError("UTF-8 in its shortest form", KQ_TString("an overlong form"));
    }
  }
  return false;
}

void KQ_TString::KQ_WriteTo(KQ_THumanReadableStream& stream) const { WriteTo(stream); }

void KQ_TString::KQ_ReadFrom(KQ_THumanReadableStream& stream) { ReadFrom(stream); }
