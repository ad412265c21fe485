#include "kq_tarray.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "internal/kq_read_budget.h"
#include "kq_eexception.h"
#include "kq_ipacking.h"
#include "kq_iunpacking.h"
#include "kq_memalloc.h"
#include "kq_tdatastream.h"
#include "kq_thumanreadablestream.h"

KQ_CLASS_IMPL(KQ_TArray)
KQ_CLASS_IMPL(KQ_TArrayIterationInfo)

namespace {

constexpr unsigned char kPackingCode = 70;
constexpr std::int64_t kMaxIndex = std::numeric_limits<std::int32_t>::max();
// The most slots one raw block can have: its size in bytes is a 32-bit
// number.
constexpr std::uint64_t kMaxSlots = std::numeric_limits<std::uint32_t>::max() / sizeof(KQ_TAny);
// The smallest raw block.
constexpr std::uint64_t kMinSlots = 16;
// The widest array the text reader builds. The text form leaves ILLEGAL
// elements out, so a few bytes of text could otherwise ask for any number of
// elements.
constexpr std::int64_t kMaxTextSpan = std::int64_t{1} << 20;

// Window limits of an open side: down to the next multiple of 8 for the
// lower side, up for the upper side; an exact multiple stays.
std::int64_t RoundDown8(std::int64_t index) { return index - (index % 8 + 8) % 8; }
std::int64_t RoundUp8(std::int64_t index) { return RoundDown8(index + 7); }

// The keys handed out by array cursors: a ring of 1024 Anys per thread,
// made as they are first needed. A key stays valid until the ring comes
// round to its slot again.
class KeyRing {
 public:
  static constexpr std::uint32_t kSlots = 1024;

  KQ_TAny& Take(std::int32_t index) {
    std::unique_ptr<KQ_TAny>& slot = fSlots[fNext];
    if (slot == nullptr) {
      slot = std::make_unique<KQ_TAny>(index);
    } else {
      *slot = index;
    }
    fNext = (fNext + 1) % kSlots;
    return *slot;
  }

 private:
  std::unique_ptr<KQ_TAny> fSlots[kSlots];
  std::uint32_t fNext = 0;
};

thread_local std::unique_ptr<KeyRing> tKeyRing;

}  // namespace

bool KQ_TArray::KQ_Initialize() {
  KQ_TDataStream::RegisterSpecificType(kPackingCode, KQ_ClassObject());
  return true;
}

KQ_TArray::KQ_TArray()
    : fRaw(nullptr),
      fRawLower(0),
      fRawCapacity(0),
      fStorageLower(0),
      fStorageUpper(0),
      fLower(0),
      fUpper(0),
      fLowerFixed(false),
      fUpperFixed(false) {}

KQ_TArray::KQ_TArray(std::uint32_t n) : KQ_TArray() {
  if (n > kMaxIndex) KQ_THROW(KQ_EOutOfBoundsOfArray());
  Widen(0, n);
  fUpper = static_cast<std::int32_t>(n);
  fLowerFixed = fUpperFixed = true;
}

KQ_TArray::KQ_TArray(std::int32_t first, std::int32_t last) : KQ_TArray() {
  if (first > last) std::swap(first, last);
  if (last == kMaxIndex) KQ_THROW(KQ_EOutOfBoundsOfArray());
  Clear(first);
  Widen(first, std::int64_t{last} + 1);
  fUpper = last + 1;
  fLowerFixed = fUpperFixed = true;
}

// Delegating first: once the empty array is made, the destructor cleans up
// after a copy that raises.
KQ_TArray::KQ_TArray(KQ_TArray const& other) : KQ_TArray() {
  Clear(other.fLower);
  Widen(other.fLower, other.fUpper);
  fUpper = other.fUpper;
  for (std::int64_t i = other.fLower; i < other.fUpper; ++i) At(i) = other.At(i);
  fLowerFixed = other.fLowerFixed;
  fUpperFixed = other.fUpperFixed;
}

KQ_TArray::~KQ_TArray() { Clear(0); }

KQ_TArray& KQ_TArray::operator=(KQ_TArray const& other) {
  if (this == &other) return *this;
  KQ_TArray copy(other);
  Swap(copy);
  return *this;
}

KQ_IPackable& KQ_TArray::operator=(KQ_IUnpacking& unpacker) {
  return KQ_IPackable::operator=(unpacker);
}

std::uint32_t KQ_TArray::Size() const {
  return static_cast<std::uint32_t>(std::int64_t{fUpper} - fLower);
}

std::int32_t KQ_TArray::LowerBound() const { return fLower; }

std::int32_t KQ_TArray::UpperBound() const { return fUpper - 1; }

KQ_TArray& KQ_TArray::SetSize(std::uint32_t n) {
  MoveUpper(std::int64_t{fLower} + n, true);
  fUpperFixed = true;
  fLowerFixed = true;
  return *this;
}

KQ_TArray& KQ_TArray::SetLowerBound(std::int32_t index, bool fixed) {
  MoveLower(index, fixed);
  fLowerFixed = fixed;
  return *this;
}

KQ_TArray& KQ_TArray::SetUpperBound(std::int32_t index, bool fixed) {
  MoveUpper(std::int64_t{index} + 1, fixed);
  fUpperFixed = fixed;
  return *this;
}

bool KQ_TArray::LowerFixed() const { return fLowerFixed; }

bool KQ_TArray::UpperFixed() const { return fUpperFixed; }

KQ_TArray& KQ_TArray::SetLowerFixed(bool fixed) {
  fLowerFixed = fixed;
  return *this;
}

KQ_TArray& KQ_TArray::SetUpperFixed(bool fixed) {
  fUpperFixed = fixed;
  return *this;
}

KQ_TAny const& KQ_TArray::operator[](std::int32_t index) const {
  if (index < fLower || index >= fUpper) KQ_THROW(KQ_EOutOfBoundsOfArray());
  return At(index);
}

KQ_TAny& KQ_TArray::operator[](std::int32_t index) {
  if (index >= fLower && index < fUpper) return At(index);
  if (index < fLower) {
    if (fLowerFixed) KQ_THROW(KQ_EOutOfBoundsOfArray());
    MoveLower(index, false);
  } else {
    if (fUpperFixed) KQ_THROW(KQ_EOutOfBoundsOfArray());
    MoveUpper(std::int64_t{index} + 1, false);
  }
  return At(index);
}

KQ_TArray& KQ_TArray::operator+=(KQ_TAny const& value) {
  if (fUpper == kMaxIndex) KQ_THROW(KQ_EOutOfBoundsOfArray());
  (*this)[fUpper] = value;
  return *this;
}

bool KQ_TArray::operator==(KQ_TArray const& other) const {
  if (fLower != other.fLower || fUpper != other.fUpper) return false;
  for (std::int64_t i = fLower; i < fUpper; ++i) {
    if (!(At(i) == other.At(i))) return false;
  }
  return true;
}

bool KQ_TArray::operator!=(KQ_TArray const& other) const { return !(*this == other); }

KQ_IIterationInfo* KQ_TArray::CreateIterationInfo() const {
  return new KQ_TArrayIterationInfo(*this);
}

void KQ_TArray::KQ_Pack(KQ_IPacking& packer) const {
  packer << fLower << fUpper << fLowerFixed << fUpperFixed;
  for (std::int64_t i = fLower; i < fUpper; ++i) {
    packer << static_cast<KQ_IPackable const&>(At(i));
  }
}

void KQ_TArray::KQ_Unpack(KQ_IUnpacking& unpacker) {
  Clear(0);
  std::int32_t lower = 0;
  std::int32_t upper = 0;
  bool lowerFixed = false;
  bool upperFixed = false;
  unpacker >> lower >> upper >> lowerFixed >> upperFixed;
  if (upper < lower) KQ_THROW(KQ_EWrongPackedType());
  Clear(lower);
  fLowerFixed = lowerFixed;
  fUpperFixed = upperFixed;
  for (std::int64_t i = lower; i < upper; ++i) {
    // The element is read before it gets a slot: storage follows the data.
    KQ_TAny value;
    unpacker >> static_cast<KQ_IPackable&>(value);
    kq::ReadBudget::Charge(sizeof(KQ_TAny));
    MoveUpper(i + 1, true);
    At(i).Swap(value);
  }
}

KQ_IPackable* KQ_TArray::KQ_Clone(void*) const { return new KQ_TArray(*this); }

bool KQ_TArray::KQ_IsIdent(KQ_IPackable const& other) const {
  auto const* array = static_cast<KQ_TArray const*>(other.KQ_Cast(KQ_ClassName()));
  return array != nullptr && *this == *array;
}

void KQ_TArray::PrintOn(std::ostream& os) const {
  os << "ARRAY\n" << KQ_IPrintable::Prefix() << "{\n";
  {
    KQ_IPrintable::IndentLevel const deeper;
    for (std::int64_t i = fLower; i < fUpper; ++i) {
      os << KQ_IPrintable::Prefix() << '[' << i << "] = ";
      {
        // A value printed over several lines puts them one level deeper.
        KQ_IPrintable::IndentLevel const nested;
        At(i).PrintOn(os);
      }
      os << '\n';
    }
  }
  os << KQ_IPrintable::Prefix() << '}';
}

bool KQ_TArray::WriteTo(KQ_THumanReadableStream& stream) const {
  for (std::int64_t i = fLower; i < fUpper; ++i) {
    KQ_TAny const& element = At(i);
    if (i != fLower) {
      if (element.IsIllegal()) continue;
      stream << cr;
    }
    char tokens[24];
    std::snprintf(tokens, sizeof tokens, "[%d] =", static_cast<int>(i));
    stream.WriteTokens(tokens);
    stream << indent << static_cast<KQ_IHumanReadable const&>(element) << back;
  }
  return false;
}

bool KQ_TArray::ReadFrom(KQ_THumanReadableStream& stream) {
  Clear(0);
  bool first = true;
  while (stream.PeekNonWhite() != '}') {
    std::int32_t index = 0;
    stream.Expect('[') >> index;
    stream.Expect(']').Expect('=');
    KQ_TAny value;
    stream >> static_cast<KQ_IHumanReadable&>(value);
    if (first) {
      // The first index read starts the array, so a lower bound other than 0
      // comes back.
      Clear(index);
      first = false;
    }
    std::int64_t const lower = std::min<std::int64_t>(fLower, index);
    std::int64_t const upper = std::max<std::int64_t>(fUpper, std::int64_t{index} + 1);
    if (upper - lower > kMaxTextSpan || upper > kMaxIndex) {
      stream.SyntaxError("indexes of an array that fits in memory",
                         KQ_TString::Format("[%d]", index));
    }
    // An index far from the others opens every slot between them.
    kq::ReadBudget::Charge(
        static_cast<std::uint64_t>(upper - lower - (std::int64_t{fUpper} - fLower)) *
        sizeof(KQ_TAny));
    (*this)[index].Swap(value);
  }
  stream.Read();
  return true;
}

bool KQ_TArray::KQ_HRMultiLine() const { return fUpper != fLower; }

void KQ_TArray::MoveUpper(std::int64_t upper, bool exact) {
  if (upper > kMaxIndex) KQ_THROW(KQ_EOutOfBoundsOfArray());
  if (upper < fLower) {
    // Past the lower bound: the array is left empty at the new bound, its
    // window moved to end at the new limit (or to start at the bound when the
    // window is smaller than the rounding).
    if (fLowerFixed) KQ_THROW(KQ_EOutOfBoundsOfArray());
    std::int64_t const width = fStorageUpper - fStorageLower;
    std::int64_t const end = (exact ? upper - 1 : RoundUp8(upper - 1)) + 1;
    ShiftWindow(std::min(end - width, upper));
    fLower = fUpper = static_cast<std::int32_t>(upper);
    return;
  }
  if (upper > fStorageUpper) {
    std::int64_t const limit = exact ? upper - 1 : RoundUp8(upper - 1);
    std::int64_t const oldEnd = fStorageUpper;
    Widen(fStorageLower, limit + 1);
    Reset(fUpper, oldEnd);
  } else {
    Reset(fUpper, upper);
  }
  fUpper = static_cast<std::int32_t>(upper);
}

void KQ_TArray::MoveLower(std::int64_t lower, bool exact) {
  if (lower > fUpper) {
    if (fUpperFixed) KQ_THROW(KQ_EOutOfBoundsOfArray());
    std::int64_t const width = fStorageUpper - fStorageLower;
    std::int64_t const start = exact ? lower : RoundDown8(lower);
    ShiftWindow(start + width < lower ? lower - width : start);
    fLower = fUpper = static_cast<std::int32_t>(lower);
    return;
  }
  if (lower < fStorageLower) {
    std::int64_t const limit = exact ? lower : RoundDown8(lower);
    std::int64_t const oldStart = fStorageLower;
    Widen(limit, fStorageUpper);
    Reset(oldStart, fLower);
  } else {
    Reset(lower, fLower);
  }
  fLower = static_cast<std::int32_t>(lower);
}

void KQ_TArray::Widen(std::int64_t from, std::int64_t to) {
  if (from >= fStorageLower && to <= fStorageUpper) return;
  std::uint64_t const needed = static_cast<std::uint64_t>(to - from);
  if (fRaw != nullptr && from >= fRawLower && to <= fRawLower + fRawCapacity) {
    // Room in the raw block: new elements below and above the window.
    std::int64_t below = from;
    std::int64_t above = fStorageUpper;
    try {
      for (; below < fStorageLower; ++below) new (&At(below)) KQ_TAny();
      for (; above < to; ++above) new (&At(above)) KQ_TAny();
    } catch (...) {
      for (std::int64_t i = from; i < below; ++i) At(i).~KQ_TAny();
      for (std::int64_t i = fStorageUpper; i < above; ++i) At(i).~KQ_TAny();
      throw;
    }
    fStorageLower = from;
    fStorageUpper = to;
    return;
  }
  if (needed > kMaxSlots) KQ_THROW(KQ_EOutOfMemory());
  std::uint64_t const capacity =
      std::min(kMaxSlots, std::max({needed, std::uint64_t{fRawCapacity} * 2, kMinSlots}));
  // The spare room goes to the side that grows.
  std::int64_t const rawLower =
      from < fStorageLower ? to - static_cast<std::int64_t>(capacity) : from;
  auto* const raw =
      static_cast<KQ_TAny*>(KQ_Alloc(static_cast<std::uint32_t>(capacity * sizeof(KQ_TAny))));
  std::int64_t made = from;
  try {
    for (; made < to; ++made) new (&raw[made - rawLower]) KQ_TAny();
  } catch (...) {
    while (made-- > from) raw[made - rawLower].~KQ_TAny();
    KQ_Free(raw);
    throw;
  }
  // The old elements move by exchanging their values with the new ones.
  for (std::int64_t i = fStorageLower; i < fStorageUpper; ++i) {
    raw[i - rawLower].Swap(At(i));
    At(i).~KQ_TAny();
  }
  KQ_Free(fRaw);
  fRaw = raw;
  fRawLower = rawLower;
  fRawCapacity = static_cast<std::uint32_t>(capacity);
  fStorageLower = from;
  fStorageUpper = to;
}

void KQ_TArray::ShiftWindow(std::int64_t start) {
  Reset(fStorageLower, fStorageUpper);
  std::int64_t const shift = start - fStorageLower;
  fRawLower += shift;
  fStorageLower += shift;
  fStorageUpper += shift;
}

void KQ_TArray::Reset(std::int64_t from, std::int64_t to) {
  for (std::int64_t i = from; i < to; ++i) {
    if (!At(i).IsIllegal()) At(i) = KQ_TAny::Illegal();
  }
}

void KQ_TArray::Clear(std::int32_t at) {
  for (std::int64_t i = fStorageLower; i < fStorageUpper; ++i) At(i).~KQ_TAny();
  KQ_Free(fRaw);
  fRaw = nullptr;
  fRawLower = at;
  fRawCapacity = 0;
  fStorageLower = fStorageUpper = at;
  fLower = fUpper = at;
  fLowerFixed = fUpperFixed = false;
}

void KQ_TArray::Swap(KQ_TArray& other) {
  std::swap(fRaw, other.fRaw);
  std::swap(fRawLower, other.fRawLower);
  std::swap(fRawCapacity, other.fRawCapacity);
  std::swap(fStorageLower, other.fStorageLower);
  std::swap(fStorageUpper, other.fStorageUpper);
  std::swap(fLower, other.fLower);
  std::swap(fUpper, other.fUpper);
  std::swap(fLowerFixed, other.fLowerFixed);
  std::swap(fUpperFixed, other.fUpperFixed);
}

KQ_TArrayIterationInfo::KQ_TArrayIterationInfo() : fArray(nullptr), fIndex(0) {}

KQ_TArrayIterationInfo::KQ_TArrayIterationInfo(KQ_TArray const& array)
    // The cursor of an array given as constant may still empty slots through
    // DeleteItem; KQ_TConstIterator is the read-only way to walk.
    : fArray(const_cast<KQ_TArray*>(&array)), fIndex(0) {
  Start();
}

KQ_TArrayIterationInfo::~KQ_TArrayIterationInfo() = default;

KQ_IIterationInfo* KQ_TArrayIterationInfo::Clone() const {
  return new KQ_TArrayIterationInfo(*this);
}

KQ_IIterationInfo& KQ_TArrayIterationInfo::Start() {
  SeekForward(Array().fLower);
  return *this;
}

KQ_IIterationInfo& KQ_TArrayIterationInfo::End() {
  SeekBackward(std::int64_t{Array().fUpper} - 1);
  return *this;
}

KQ_IIterationInfo& KQ_TArrayIterationInfo::Next() {
  KQ_TArray const& array = Array();
  SeekForward(std::max<std::int64_t>(fIndex, std::int64_t{array.fLower} - 1) + 1);
  return *this;
}

KQ_IIterationInfo& KQ_TArrayIterationInfo::Prev() {
  KQ_TArray const& array = Array();
  SeekBackward(std::min<std::int64_t>(fIndex, array.fUpper) - 1);
  return *this;
}

bool KQ_TArrayIterationInfo::IsBeforeStart() const { return fIndex < Array().fLower; }

bool KQ_TArrayIterationInfo::IsAfterEnd() const { return fIndex >= Array().fUpper; }

KQ_IPackable& KQ_TArrayIterationInfo::Key() {
  Current();
  if (tKeyRing == nullptr) tKeyRing = std::make_unique<KeyRing>();
  return tKeyRing->Take(static_cast<std::int32_t>(fIndex));
}

KQ_TAny& KQ_TArrayIterationInfo::Value() { return Current(); }

KQ_IIterationInfo& KQ_TArrayIterationInfo::DeleteItem() {
  Current() = KQ_TAny::Illegal();
  return *this;
}

KQ_TArray& KQ_TArrayIterationInfo::Array() const {
  if (fArray == nullptr) KQ_THROW(KQ_EIteratorNotInitialized());
  return *fArray;
}

KQ_TAny& KQ_TArrayIterationInfo::Current() const {
  KQ_TArray const& array = Array();
  if (fIndex < array.fLower || fIndex >= array.fUpper) KQ_THROW(KQ_EIteratorOutOfBounds());
  return array.At(fIndex);
}

void KQ_TArrayIterationInfo::SeekForward(std::int64_t index) {
  KQ_TArray const& array = Array();
  while (index < array.fUpper && array.At(index).IsIllegal()) ++index;
  fIndex = std::min<std::int64_t>(index, array.fUpper);
}

void KQ_TArrayIterationInfo::SeekBackward(std::int64_t index) {
  KQ_TArray const& array = Array();
  while (index >= array.fLower && array.At(index).IsIllegal()) --index;
  fIndex = std::max<std::int64_t>(index, std::int64_t{array.fLower} - 1);
}
