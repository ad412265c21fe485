#include "kq_tany.h"

#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "internal/kq_content_hash.h"
#include "internal/kq_packed_format.h"
#include "internal/kq_pool.h"
#include "internal/kq_tstring_units.h"
#include "kq_eexception.h"
#include "kq_ipacking.h"
#include "kq_iunpacking.h"
#include "kq_tdatastream.h"
#include "kq_thumanreadablestream.h"
#include "kq_tstring.h"

KQ_CLASS_IMPL(KQ_TAny)

using namespace kq::packed;

bool KQ_TAny::KQ_Initialize() {
  KQ_TDataStream::RegisterSpecificType(64, KQ_ClassObject());
  return true;
}

namespace {

// Result slots of KQ_Cast_Contents for "Name *" casts of the two interface
// pointer kinds. One per kind and thread: a call overwrites only its own
// thread's slot, so readers on other threads are never disturbed.
thread_local void* tInterfaceSlot = nullptr;
thread_local void const* tCInterfaceSlot = nullptr;

// The basic-type record of kinds 0 to 15; ILLEGAL for every other kind.
KQ_TClass const& BasicRecord(std::uint32_t kind) {
  switch (kind) {
    case KQ_TAny::kNull:
      return KQ_TClass::NullClass();
#define KQ_ANY_RECORD_(kind, member, Type, tag, record, hash) \
  case KQ_TAny::kind:                                         \
    return KQ_TClass::record();
      KQ_ANY_BASIC_KINDS(KQ_ANY_RECORD_)
#undef KQ_ANY_RECORD_
    case KQ_TAny::kPointer:
      return KQ_TClass::KQ_TPointerClass();
    case KQ_TAny::kCPointer:
      return KQ_TClass::KQ_TCPointerClass();
    default:
      return KQ_TClass::IllegalClass();
  }
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Length of name without its trailing blanks.
std::size_t TrimmedLength(char const* name) {
  std::size_t end = std::strlen(name);
  while (end > 0 && IsBlank(name[end - 1])) --end;
  return end;
}

bool EndsInStar(char const* name) {
  std::size_t const end = TrimmedLength(name);
  return end > 0 && name[end - 1] == '*';
}

// The hash contribution of a floating value: x * 65521 truncated to a signed
// 64-bit integer (0 for NaN or out of range), low 32 bits modulo 62191.
std::uint32_t FloatingHash(double x) {
  constexpr double kTwoTo63 = 9223372036854775808.0;
  double const product = x * 65521.0;
  if (!(product >= -kTwoTo63 && product < kTwoTo63)) return 0;
  return static_cast<std::uint32_t>(static_cast<std::int64_t>(product)) % 62191u;
}

std::uint32_t AddressHash(void const* p) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
}

void PrintObject(std::ostream& os, KQ_IInterface const& object) {
  auto const* printable =
      static_cast<KQ_IPrintable const*>(object.KQ_DynamicInfo(KQ_IPrintable::KQ_ClassName()));
  if (printable != nullptr) {
    printable->PrintOn(os);
  } else {
    os << "<NON-PRINTABLE>";
  }
}

// Whether an Any of a kind holding From converts to To: the same type; an
// integer to a wider or equal integer of the same signedness; any number to
// a floating type. Bools and chars convert only to themselves.
template <class From, class To>
constexpr bool kConverts = std::is_same_v<From, To> ||
                           (std::is_arithmetic_v<From> && !std::is_same_v<From, bool> &&
                            !std::is_same_v<From, char> &&
                            (std::is_floating_point_v<To> ||
                             (std::is_integral_v<From> && std::is_integral_v<To> &&
                              !std::is_same_v<To, bool> && !std::is_same_v<To, char> &&
                              std::is_signed_v<From> == std::is_signed_v<To> &&
                              sizeof(From) <= sizeof(To))));

// The hash contribution of a basic value: integers as their low 32 bits
// (sign-extended when narrower), floating values by FloatingHash.
template <class T>
std::uint32_t ValueHash(T value) {
  if constexpr (std::is_floating_point_v<T>) {
    return FloatingHash(value);
  } else if constexpr (std::is_same_v<T, char>) {
    return static_cast<std::uint32_t>(static_cast<signed char>(value));
  } else {
    return static_cast<std::uint32_t>(value);
  }
}

// The content hash of a kind and a value of it. Both zeros of a floating
// type hash as +0, as they are equal.
template <class T>
std::uint64_t KindAndValueHash(std::uint32_t kind, T value) {
  if constexpr (std::is_floating_point_v<T>) {
    if (value == 0) value = 0;
  }
  unsigned char bytes[sizeof kind + sizeof value];
  std::memcpy(bytes, &kind, sizeof kind);
  std::memcpy(bytes + sizeof kind, &value, sizeof value);
  return kq::ContentHash(bytes, sizeof bytes);
}

// A held object as a key; KQ_EAnyContainsUnhashableType when it cannot be
// one.
KQ_IHashable const& HashableOf(KQ_IPackable const& object) {
  auto const* hashable =
      static_cast<KQ_IHashable const*>(object.KQ_DynamicInfo(KQ_IHashable::KQ_ClassName()));
  if (hashable == nullptr) KQ_THROW(KQ_EAnyContainsUnhashableType());
  return *hashable;
}

// The value of a cell converted to To, for the kinds that convert to it;
// KQ_EIllegalCastFromAny for every other kind.
template <class To, class CellT>
To Converted(CellT const& cell) {
  switch (cell.fKind) {
#define KQ_ANY_CONVERT_(kind, member, Type, tag, record, hash)                     \
  case KQ_TAny::kind:                                                              \
    if constexpr (kConverts<Type, To>) return static_cast<To>(cell.fValue.member); \
    break;
    KQ_ANY_BASIC_KINDS(KQ_ANY_CONVERT_)
#undef KQ_ANY_CONVERT_
    default:
      break;
  }
  KQ_THROW(KQ_EIllegalCastFromAny());
}

// An element of a basic value on the direct path: the Any's code, the kind
// as a tagged unsigned char, the value's tag, then its bytes.
constexpr std::uint32_t kElementHead = 4;

// Bytes of the value and its tag for each kind of the direct path (a size
// of 0 for the other kinds).
struct ElementTable {
  unsigned char fValueSize[KQ_TAny::kObject + 1];
  unsigned char fTag[KQ_TAny::kObject + 1];
  constexpr ElementTable() : fValueSize(), fTag() {
#define KQ_ANY_ELEMENT_(kind, member, Type, tag, ...) \
  fValueSize[KQ_TAny::kind] = sizeof(Type);           \
  fTag[KQ_TAny::kind] = tag;
    KQ_ANY_BASIC_KINDS(KQ_ANY_ELEMENT_)
#undef KQ_ANY_ELEMENT_
  }
};
constexpr ElementTable kElements{};

}  // namespace

// A short string's cell: the common head, with the length plus one in
// fShort and the object made of the string in fValue.fString (null until it
// is made), then the units. Readers of one constant Any may make the object
// on several threads at once, so that pointer is read and set atomically;
// the units never change.
struct KQ_TAny::ShortCell : Cell {
  std::uint16_t fUnits[kShortUnits];

  std::uint32_t Length() const { return fShort - 1; }
  KQ_TString* Made() const { return __atomic_load_n(&fValue.fString, __ATOMIC_ACQUIRE); }
  // The cell when its object has not been made: the units are the value.
  static ShortCell const* Unmade(Cell const& cell) {
    auto const* const shortCell = static_cast<ShortCell const*>(&cell);
    return cell.fShort != 0 && shortCell->Made() == nullptr ? shortCell : nullptr;
  }
  static ShortCell* New(std::uint32_t length) {
    static_assert(sizeof(ShortCell) <= kq::kBigCellSize, "a short string fits a big cell");
    auto* const cell = static_cast<ShortCell*>(kq::PoolTakeBigCell());
    cell->fKind = kObject;
    cell->fShort = length + 1;
    cell->fValue.fString = nullptr;
    return cell;
  }
  // The object, made now when it has not been.
  KQ_TString* Object() {
    KQ_TString* made = Made();
    if (made != nullptr) return made;
    auto* const fresh = new KQ_TString(KQ_TString::RawUnits{}, fUnits, Length());
    if (__atomic_compare_exchange_n(&fValue.fString, &made, fresh, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE)) {
      return fresh;
    }
    delete fresh;
    return made;
  }
  bool SameUnits(std::uint16_t const* units, std::uint32_t length) const {
    return length == Length() && std::memcmp(fUnits, units, length * sizeof *units) == 0;
  }
  // As KQ_TString::KQ_IsIdent.
  bool IsIdent(KQ_IPackable const& other) const {
    auto const* const text = static_cast<KQ_TString const*>(other.KQ_Cast("KQ_TString"));
    return text != nullptr && SameUnits(text->Units(), text->Length());
  }
};

inline KQ_TAny::Cell* KQ_TAny::NewCell(std::uint32_t kind) {
  static_assert(sizeof(Cell) <= kq::kCellSize, "a pool cell has the room of a value cell");
  auto* cell = static_cast<Cell*>(kq::PoolTakeCell());
  cell->fKind = kind;
  cell->fShort = 0;
  cell->fValue.fRaw = 0;
  return cell;
}

KQ_TAny::Cell* KQ_TAny::NewObjectCell(KQ_IPackable* object) {
  std::unique_ptr<KQ_IPackable> owned(object);
  Cell* cell = NewCell(object == nullptr ? kNull : kObject);
  cell->fValue.fObject = owned.release();
  return cell;
}

KQ_TAny::Cell* KQ_TAny::NewCloneCell(KQ_IPackable const& object) {
  if (kq::tstring::IsPlainString(object)) return NewStringCell(kq::tstring::PlainStringOf(object));
  return NewObjectCell(object.KQ_Clone());
}

KQ_TAny::Cell* KQ_TAny::NewStringCell(KQ_TString const& text) {
  std::uint32_t const length = text.Length();
  if (length > kShortUnits) return NewObjectCell(new KQ_TString(text));
  ShortCell* const cell = ShortCell::New(length);
  std::memcpy(cell->fUnits, text.Units(), length * sizeof(std::uint16_t));
  return cell;
}

// A short string is copied as the units it was made from, or as its object
// once that stands for the value.
inline KQ_TAny::Cell* KQ_TAny::NewCopyCell(Cell const& source) {
  if (source.fKind == kObject) {
    if (source.fShort == 0) return NewObjectCell(source.fValue.fObject->KQ_Clone());
    auto const& shortSource = static_cast<ShortCell const&>(source);
    if (KQ_TString const* const made = shortSource.Made()) return NewStringCell(*made);
    ShortCell* const cell = ShortCell::New(shortSource.Length());
    std::memcpy(cell->fUnits, shortSource.fUnits, sizeof cell->fUnits);
    return cell;
  }
  Cell* cell = NewCell(source.fKind);
  if (source.fKind > kNull && source.fKind < kObject) cell->fValue = source.fValue;
  return cell;
}

inline void KQ_TAny::DestroyCell(Cell* cell) {
  if (cell->fKind == kObject) {
    if (cell->fShort != 0) {
      delete static_cast<ShortCell*>(cell)->Made();
      kq::PoolGiveBigCell(cell);
      return;
    }
    delete cell->fValue.fObject;
  }
  kq::PoolGiveCell(cell);
}

void KQ_TAny::ReplaceCell(Cell* cell) {
  Cell* const old = fCell;
  fCell = cell;
  DestroyCell(old);
}

// A short string's cell is replaced by a plain one.
inline KQ_TAny::Value& KQ_TAny::Reset(std::uint32_t kind) {
  if (fCell->fKind == kObject) {
    if (fCell->fShort != 0) {
      ReplaceCell(NewCell(kind));
      return fCell->fValue;
    }
    delete fCell->fValue.fObject;
  }
  fCell->fKind = kind;
  fCell->fValue.fRaw = 0;
  return fCell->fValue;
}

void KQ_TAny::TakeObject(KQ_IPackable* object) {
  if (fCell->fKind == kObject && object != nullptr) {
    KQ_IPackable const* const held =
        fCell->fShort != 0 ? static_cast<ShortCell*>(fCell)->Made() : fCell->fValue.fObject;
    if (held == object) return;
  }
  std::unique_ptr<KQ_IPackable> owned(object);
  if (object == nullptr) {
    Reset(kNull);
  } else {
    Reset(kObject).fObject = owned.release();
  }
}

KQ_IPackable* KQ_TAny::HeldObject() const {
  if (fCell->fKind != kObject) KQ_THROW(KQ_EIllegalCastFromAny());
  if (fCell->fShort != 0) return static_cast<ShortCell*>(fCell)->Object();
  return fCell->fValue.fObject;
}

KQ_TAny::KQ_TAny() : fCell(NewCell(kIllegal)) {}
KQ_TAny::KQ_TAny(std::nullptr_t) : fCell(NewCell(kNull)) {}
KQ_TAny::KQ_TAny(std::int8_t value) : fCell(NewCell(kInt8)) { fCell->fValue.fInt8 = value; }
KQ_TAny::KQ_TAny(std::int16_t value) : fCell(NewCell(kInt16)) { fCell->fValue.fInt16 = value; }
KQ_TAny::KQ_TAny(std::int32_t value) : fCell(NewCell(kInt32)) { fCell->fValue.fInt32 = value; }
KQ_TAny::KQ_TAny(std::int64_t value) : fCell(NewCell(kInt64)) { fCell->fValue.fInt64 = value; }
KQ_TAny::KQ_TAny(std::uint8_t value) : fCell(NewCell(kUInt8)) { fCell->fValue.fUInt8 = value; }
KQ_TAny::KQ_TAny(std::uint16_t value) : fCell(NewCell(kUInt16)) { fCell->fValue.fUInt16 = value; }
KQ_TAny::KQ_TAny(std::uint32_t value) : fCell(NewCell(kUInt32)) { fCell->fValue.fUInt32 = value; }
KQ_TAny::KQ_TAny(std::uint64_t value) : fCell(NewCell(kUInt64)) { fCell->fValue.fUInt64 = value; }
KQ_TAny::KQ_TAny(bool value) : fCell(NewCell(kBool)) { fCell->fValue.fBool = value; }
KQ_TAny::KQ_TAny(char value) : fCell(NewCell(kChar)) { fCell->fValue.fChar = value; }
KQ_TAny::KQ_TAny(float value) : fCell(NewCell(kFloat)) { fCell->fValue.fFloat = value; }
KQ_TAny::KQ_TAny(double value) : fCell(NewCell(kDouble)) { fCell->fValue.fDouble = value; }
KQ_TAny::KQ_TAny(void* pointer) : fCell(NewCell(kPointer)) { fCell->fValue.fPointer = pointer; }
KQ_TAny::KQ_TAny(void const* pointer) : fCell(NewCell(kCPointer)) {
  fCell->fValue.fCPointer = pointer;
}
KQ_TAny::KQ_TAny(KQ_IInterface* object) : fCell(NewCell(kInterface)) {
  fCell->fValue.fInterface = object;
}
KQ_TAny::KQ_TAny(KQ_IInterface const* object) : fCell(NewCell(kCInterface)) {
  fCell->fValue.fCInterface = object;
}
// The string is made before the cell, so a text that does not decode leaves
// nothing behind.
KQ_TAny::KQ_TAny(char const* text) : fCell(NewStringCell(KQ_TString(text))) {}
KQ_TAny::KQ_TAny(wchar_t const* text) : fCell(NewStringCell(KQ_TString(text))) {}
KQ_TAny::KQ_TAny(char16_t const* text) : fCell(NewStringCell(KQ_TString(text))) {}
KQ_TAny::KQ_TAny(KQ_IPackable const& object) : fCell(NewCloneCell(object)) {}
KQ_TAny::KQ_TAny(KQ_TAny const& other)
    : KQ_IInterface(other),
      KQ_IPackable(other),
      KQ_IHashable(other),
      KQ_IPrintable(other),
      KQ_IHumanReadable(other),
      KQ_TObject(other),
      fCell(NewCopyCell(*other.fCell)) {}

void KQ_TAny::Abandon(KQ_TAny& any) { DestroyCell(any.fCell); }

KQ_TAny::~KQ_TAny() { DestroyCell(fCell); }

KQ_TAny const& KQ_TAny::Illegal() {
  static KQ_TAny const* const illegal = new KQ_TAny();
  return *illegal;
}

KQ_TAny const& KQ_TAny::Null() {
  static KQ_TAny const* const null = new KQ_TAny(nullptr);
  return *null;
}

KQ_TClass const& KQ_TAny::ClassObject() const {
  Value const& value = fCell->fValue;
  switch (fCell->fKind) {
    case kInterface:
      return value.fInterface != nullptr ? value.fInterface->ClassObject() : KQ_TClass::NullClass();
    case kCInterface:
      return value.fCInterface != nullptr ? value.fCInterface->ClassObject()
                                          : KQ_TClass::NullClass();
    case kObject:
      return fCell->fShort != 0 ? *KQ_TString::KQ_ClassObject() : value.fObject->ClassObject();
    default:
      return BasicRecord(fCell->fKind);
  }
}

KQ_TClass const* KQ_TAny::KQ_PackClassObject() const { return KQ_ClassObject(); }

void* KQ_TAny::KQ_Cast(char const* name) const {
  if (void* own = KQ_TObject::KQ_Cast(name)) return own;
  return name == nullptr ? nullptr : KQ_Cast_Contents(name);
}

void* KQ_TAny::KQ_Cast_Contents(char const* name) const {
  if (name == nullptr) return KQ_DynamicInfo(nullptr);
  std::uint32_t const kind = fCell->fKind;
  Value& value = fCell->fValue;
  switch (kind) {
    case kPointer:
    case kCPointer:
      // A raw pointer answers any pointer type name.
      if (EndsInStar(name)) return &value;
      return std::strcmp(name, BasicRecord(kind).ClassName()) == 0 ? &value : nullptr;
    case kInterface:
    case kCInterface: {
      KQ_IInterface const* held = kind == kInterface ? value.fInterface : value.fCInterface;
      std::size_t end = TrimmedLength(name);
      if (end == 0 || name[end - 1] != '*') {
        if (held != nullptr) {
          if (void* part = held->KQ_Cast(name)) return part;
        }
        return KQ_DynamicInfo(name);
      }
      // "Name *" or "const Name *": a pointer to a slot holding the cast.
      if (end == 1) KQ_THROW(KQ_EIllegalCastFromAny());
      --end;
      while (end > 0 && IsBlank(name[end - 1])) --end;
      std::size_t begin = 0;
      bool const isConst =
          end >= 5 && std::strncmp(name, "const", 5) == 0 && (end == 5 || IsBlank(name[5]));
      if (isConst) {
        begin = 5;
        while (begin < end && IsBlank(name[begin])) ++begin;
      }
      // A const pointer is never handed out as a non-const one.
      if (begin == end || (kind == kCInterface && !isConst)) {
        KQ_THROW(KQ_EIllegalCastFromAny());
      }
      std::string const className(name + begin, end - begin);
      void* const cast = held != nullptr ? held->KQ_Cast(className.c_str()) : nullptr;
      if (kind == kInterface) {
        tInterfaceSlot = cast;
        return &tInterfaceSlot;
      }
      tCInterfaceSlot = cast;
      return &tCInterfaceSlot;
    }
    case kObject:
      return HeldObject()->KQ_Cast(name);
    default:
      if (kind < kInt8 || kind > kDouble) return nullptr;
      return std::strcmp(name, BasicRecord(kind).ClassName()) == 0 ? &value : nullptr;
  }
}

KQ_TAny& KQ_TAny::operator=(KQ_TAny const& other) {
  if (&other == this) return *this;
  // other may live inside the object released here: its copy is made first.
  if (other.fCell->fKind == kObject) {
    ReplaceCell(NewCopyCell(*other.fCell));
    return *this;
  }
  Cell const source = *other.fCell;
  Value& value = Reset(source.fKind);
  if (source.fKind > kNull && source.fKind < kObject) value = source.fValue;
  return *this;
}

// The new cell is made before the old one goes: object may live in it.
KQ_TAny& KQ_TAny::operator=(KQ_IPackable const& object) {
  ReplaceCell(NewCloneCell(object));
  return *this;
}

KQ_TAny& KQ_TAny::operator=(wchar_t const* text) {
  ReplaceCell(NewStringCell(KQ_TString(text)));
  return *this;
}

KQ_TAny& KQ_TAny::operator=(char const* text) {
  ReplaceCell(NewStringCell(KQ_TString(text)));
  return *this;
}

KQ_TAny& KQ_TAny::operator=(char16_t const* text) {
  ReplaceCell(NewStringCell(KQ_TString(text)));
  return *this;
}

KQ_TAny& KQ_TAny::operator=(std::nullptr_t) {
  Reset(kNull);
  return *this;
}

KQ_TAny& KQ_TAny::operator=(KQ_IInterface const* object) {
  Reset(kCInterface).fCInterface = object;
  return *this;
}

KQ_TAny& KQ_TAny::operator=(KQ_IInterface* object) {
  Reset(kInterface).fInterface = object;
  return *this;
}

KQ_TAny& KQ_TAny::operator=(void const* pointer) {
  Reset(kCPointer).fCPointer = pointer;
  return *this;
}

KQ_TAny& KQ_TAny::operator=(void* pointer) {
  Reset(kPointer).fPointer = pointer;
  return *this;
}

KQ_TAny& KQ_TAny::operator=(double value) {
  Reset(kDouble).fDouble = value;
  return *this;
}

KQ_TAny& KQ_TAny::operator=(float value) {
  Reset(kFloat).fFloat = value;
  return *this;
}

KQ_TAny& KQ_TAny::operator=(char value) {
  Reset(kChar).fChar = value;
  return *this;
}

KQ_TAny& KQ_TAny::operator=(bool value) {
  Reset(kBool).fBool = value;
  return *this;
}

KQ_TAny& KQ_TAny::operator=(std::uint64_t value) {
  Reset(kUInt64).fUInt64 = value;
  return *this;
}

KQ_TAny& KQ_TAny::operator=(std::uint32_t value) {
  Reset(kUInt32).fUInt32 = value;
  return *this;
}

KQ_TAny& KQ_TAny::operator=(std::uint16_t value) {
  Reset(kUInt16).fUInt16 = value;
  return *this;
}

KQ_TAny& KQ_TAny::operator=(std::uint8_t value) {
  Reset(kUInt8).fUInt8 = value;
  return *this;
}

KQ_TAny& KQ_TAny::operator=(std::int64_t value) {
  Reset(kInt64).fInt64 = value;
  return *this;
}

KQ_TAny& KQ_TAny::operator=(std::int32_t value) {
  Reset(kInt32).fInt32 = value;
  return *this;
}

KQ_TAny& KQ_TAny::operator=(std::int16_t value) {
  Reset(kInt16).fInt16 = value;
  return *this;
}

KQ_TAny& KQ_TAny::operator=(std::int8_t value) {
  Reset(kInt8).fInt8 = value;
  return *this;
}

KQ_TAny::operator std::int8_t() const { return Converted<std::int8_t>(*fCell); }
KQ_TAny::operator std::int16_t() const { return Converted<std::int16_t>(*fCell); }
KQ_TAny::operator std::int32_t() const { return Converted<std::int32_t>(*fCell); }
KQ_TAny::operator std::int64_t() const { return Converted<std::int64_t>(*fCell); }
KQ_TAny::operator std::uint8_t() const { return Converted<std::uint8_t>(*fCell); }
KQ_TAny::operator std::uint16_t() const { return Converted<std::uint16_t>(*fCell); }
KQ_TAny::operator std::uint32_t() const { return Converted<std::uint32_t>(*fCell); }
KQ_TAny::operator std::uint64_t() const { return Converted<std::uint64_t>(*fCell); }
KQ_TAny::operator bool() const { return Converted<bool>(*fCell); }
KQ_TAny::operator char() const { return Converted<char>(*fCell); }
// Integers and doubles round to the nearest float; unsigned values convert
// as unsigned.
KQ_TAny::operator float() const { return Converted<float>(*fCell); }
KQ_TAny::operator double() const { return Converted<double>(*fCell); }

KQ_TAny::operator void*() const {
  if (fCell->fKind != kPointer) KQ_THROW(KQ_EIllegalCastFromAny());
  return fCell->fValue.fPointer;
}

KQ_TAny::operator void const*() const {
  Value const& value = fCell->fValue;
  switch (fCell->fKind) {
    case kPointer:
      return value.fPointer;
    case kCPointer:
      return value.fCPointer;
    default:
      KQ_THROW(KQ_EIllegalCastFromAny());
  }
  return nullptr;
}

KQ_TAny::operator KQ_IInterface*() const {
  if (fCell->fKind != kInterface) KQ_THROW(KQ_EIllegalCastFromAny());
  return fCell->fValue.fInterface;
}

KQ_TAny::operator KQ_IInterface const*() const {
  Value const& value = fCell->fValue;
  switch (fCell->fKind) {
    case kInterface:
      return value.fInterface;
    case kCInterface:
      return value.fCInterface;
    default:
      KQ_THROW(KQ_EIllegalCastFromAny());
  }
  return nullptr;
}

KQ_TAny::operator char*() const {
  auto* text = static_cast<KQ_TString*>(
      HeldObject()->DynamicCast(KQ_TString::KQ_ClassName(), __FILE__, __LINE__));
  return static_cast<char*>(*text);
}

KQ_TAny::operator wchar_t*() const {
  auto* text = static_cast<KQ_TString*>(
      HeldObject()->DynamicCast(KQ_TString::KQ_ClassName(), __FILE__, __LINE__));
  return static_cast<wchar_t*>(*text);
}

KQ_IPackable const& KQ_TAny::operator*() const { return *HeldObject(); }
KQ_IPackable& KQ_TAny::operator*() { return *HeldObject(); }
KQ_IPackable const* KQ_TAny::operator->() const { return HeldObject(); }
KQ_IPackable* KQ_TAny::operator->() { return HeldObject(); }

KQ_TAny& KQ_TAny::Assign(KQ_IPackable* object) {
  TakeObject(object);
  return *this;
}

KQ_TAny& KQ_TAny::Swap(KQ_TAny& other) {
  std::swap(fCell, other.fCell);
  return *this;
}

bool KQ_TAny::operator==(KQ_TAny const& other) const {
  std::uint32_t const kind = fCell->fKind;
  if (kind != other.fCell->fKind) return false;
  Value const& a = fCell->fValue;
  Value const& b = other.fCell->fValue;
  switch (kind) {
    case kIllegal:
    case kNull:
      return true;
#define KQ_ANY_EQUAL_(kind, member, ...) \
  case kind:                             \
    return a.member == b.member;
      KQ_ANY_BASIC_KINDS(KQ_ANY_EQUAL_)
      KQ_ANY_POINTER_KINDS(KQ_ANY_EQUAL_)
#undef KQ_ANY_EQUAL_
    case kObject:
      if (ShortCell const* const mine = ShortCell::Unmade(*fCell)) {
        if (ShortCell const* const theirs = ShortCell::Unmade(*other.fCell)) {
          return mine->SameUnits(theirs->fUnits, theirs->Length());
        }
        return mine->IsIdent(*other.HeldObject());
      }
      return HeldObject()->KQ_IsIdent(*other.HeldObject());
    default:
      return false;
  }
}

bool KQ_TAny::operator!=(KQ_TAny const& other) const { return !(*this == other); }

std::uint32_t KQ_TAny::KQ_HashValue(std::uint32_t seed) const {
  Value const& value = fCell->fValue;
  std::uint32_t v = 0;
  std::uint32_t k = 0;
  switch (fCell->fKind) {
    case kIllegal:
      break;
    case kNull:
      k = 1;
      break;
#define KQ_ANY_HASH_(kind, member, Type, tag, record, hash) \
  case kind:                                                \
    v = ValueHash(value.member);                            \
    k = hash;                                               \
    break;
      KQ_ANY_BASIC_KINDS(KQ_ANY_HASH_)
#undef KQ_ANY_HASH_
#define KQ_ANY_HASH_(kind, member, Type, hash) \
  case kind:                                   \
    v = AddressHash(value.member);             \
    k = hash;                                  \
    break;
      KQ_ANY_POINTER_KINDS(KQ_ANY_HASH_)
#undef KQ_ANY_HASH_
    case kObject:
      if (ShortCell const* const held = ShortCell::Unmade(*fCell)) {
        return kq::tstring::UnitsHash(held->fUnits, held->Length(), seed);
      }
      return HashableOf(*HeldObject()).KQ_HashValue(seed);
    default:
      KQ_THROW(KQ_EAnyContainsUnhashableType());
  }
  return seed + v + k;
}

std::uint64_t KQ_TAny::KQ_ContentHash() const {
  Value const& value = fCell->fValue;
  std::uint32_t const kind = fCell->fKind;
  switch (kind) {
    case kIllegal:
    case kNull:
      return kq::ContentHash(&kind, sizeof kind);
#define KQ_ANY_CONTENT_HASH_(kind, member, ...) \
  case kind:                                    \
    return KindAndValueHash(kind, value.member);
      KQ_ANY_BASIC_KINDS(KQ_ANY_CONTENT_HASH_)
      KQ_ANY_POINTER_KINDS(KQ_ANY_CONTENT_HASH_)
#undef KQ_ANY_CONTENT_HASH_
    case kObject:
      if (ShortCell const* const held = ShortCell::Unmade(*fCell)) {
        return kq::ContentHash(held->fUnits, std::size_t{held->Length()} * sizeof *held->fUnits);
      }
      return HashableOf(*HeldObject()).KQ_ContentHash();
    default:
      KQ_THROW(KQ_EAnyContainsUnhashableType());
  }
}

void KQ_TAny::KQ_Pack(KQ_IPacking& packer) const {
  Value const& value = fCell->fValue;
  packer << static_cast<std::uint8_t>(fCell->fKind);
  switch (fCell->fKind) {
#define KQ_ANY_PACK_(kind, member, ...) \
  case kind:                            \
    packer << value.member;             \
    break;
    KQ_ANY_BASIC_KINDS(KQ_ANY_PACK_)
#undef KQ_ANY_PACK_
#define KQ_ANY_UNPACKABLE_(kind, ...) case kind:
    KQ_ANY_POINTER_KINDS(KQ_ANY_UNPACKABLE_)
#undef KQ_ANY_UNPACKABLE_
    KQ_THROW(KQ_EAnyContainsUnpackableType());
    break;
    case kObject:
      packer << static_cast<KQ_IPackable const&>(*HeldObject());
      break;
    default:
      break;
  }
}

// A failure part-way leaves the kind read so far with an empty value. An
// object is held only once it has been read completely, so kind 18 never
// appears without its object.
void KQ_TAny::KQ_Unpack(KQ_IUnpacking& unpacker) {
  Reset(kIllegal);
  std::uint8_t kind = 0;
  unpacker >> kind;
  if (kind == kObject) {
    TakeObject(unpacker.Extract(true));
    return;
  }
  Value& value = Reset(kind);
  switch (kind) {
#define KQ_ANY_UNPACK_(kind, member, Type, ...) \
  case kind: {                                  \
    Type read{};                                \
    unpacker >> read;                           \
    value.member = read;                        \
    break;                                      \
  }
    KQ_ANY_BASIC_KINDS(KQ_ANY_UNPACK_)
#undef KQ_ANY_UNPACK_
    default:
      break;
  }
}

KQ_IPackable* KQ_TAny::KQ_Clone(void*) const { return new KQ_TAny(*this); }

bool KQ_TAny::KQ_IsIdent(KQ_IPackable const& other) const {
  if (fCell->fKind == kObject) {
    if (ShortCell const* const held = ShortCell::Unmade(*fCell)) return held->IsIdent(other);
    return HeldObject()->KQ_IsIdent(other);
  }
  auto const* any = static_cast<KQ_TAny const*>(other.KQ_Cast(KQ_ClassName()));
  return any != nullptr && *this == *any;
}

void KQ_TAny::PrintOn(std::ostream& os) const {
  Value const& value = fCell->fValue;
  switch (fCell->fKind) {
    case kIllegal:
      os << "[KQ_TANY::ILLEGAL]";
      break;
    case kNull:
      os << "[KQ_TANY::NULL]";
      break;
    case kInt8:
      os << static_cast<char>(value.fInt8);
      break;
    case kInt16:
      os << value.fInt16;
      break;
    case kInt32:
      os << value.fInt32;
      break;
    case kInt64: {
      // Plain decimal whatever the stream's format flags.
      char text[24];
      std::snprintf(text, sizeof text, "%" PRId64, value.fInt64);
      os << text;
      break;
    }
    case kUInt8:
      os << static_cast<char>(value.fUInt8);
      break;
    case kUInt16:
      os << value.fUInt16;
      break;
    case kUInt32:
      os << value.fUInt32;
      break;
    case kUInt64: {
      char text[24];
      std::snprintf(text, sizeof text, "%" PRIu64, value.fUInt64);
      os << text;
      break;
    }
    case kBool:
      os << (value.fBool ? "TRUE" : "FALSE");
      break;
    case kChar:
      os << value.fChar;
      break;
    case kFloat:
      os << value.fFloat;
      break;
    case kDouble:
      os << value.fDouble;
      break;
    case kPointer:
      os << value.fPointer;
      break;
    case kCPointer:
      os << value.fCPointer;
      break;
    case kInterface:
      if (value.fInterface == nullptr) {
        os << "NULL";
      } else {
        PrintObject(os, *value.fInterface);
      }
      break;
    case kCInterface:
      if (value.fCInterface != nullptr) PrintObject(os, *value.fCInterface);
      break;
    case kObject:
      PrintObject(os, *HeldObject());
      break;
    default:
      break;
  }
}

bool KQ_TAny::WriteTo(KQ_THumanReadableStream& stream) const {
  Value const& value = fCell->fValue;
  switch (fCell->fKind) {
    case kNull:
      stream.WriteTokens("NULL");
      break;
#define KQ_ANY_WRITE_(kind, member, ...) \
  case kind:                             \
    stream << value.member;              \
    break;
      KQ_ANY_BASIC_KINDS(KQ_ANY_WRITE_)
#undef KQ_ANY_WRITE_
#define KQ_ANY_UNWRITABLE_(kind, ...) case kind:
      KQ_ANY_POINTER_KINDS(KQ_ANY_UNWRITABLE_)
#undef KQ_ANY_UNWRITABLE_
      KQ_THROW(KQ_EAnyContainsUnpackableType());
      break;
    case kObject: {
      KQ_IPackable const* const held = HeldObject();
      auto const* const readable =
          static_cast<KQ_IHumanReadable const*>(held->KQ_Cast("KQ_IHumanReadable"));
      if (readable != nullptr) {
        stream << *readable;
      } else {
        stream.WritePackable(*held);
      }
      break;
    }
    default:
      stream.WriteTokens("ILLEGAL");
      break;
  }
  return true;
}

bool KQ_TAny::ReadFrom(KQ_THumanReadableStream& stream) {
  std::unique_ptr<KQ_IHumanReadable> extracted(stream.Extract());
  // The extracted object is destroyed afterwards, so its value is taken
  // over instead of copied.
  if (auto* const any = static_cast<KQ_TAny*>(extracted->KQ_Cast(KQ_ClassName()))) {
    Swap(*any);
  } else if (auto* const packable =
                 static_cast<KQ_IPackable*>(extracted->KQ_Cast("KQ_IPackable"))) {
    extracted.release();
    TakeObject(packable);
  }
  return false;
}

void KQ_TAny::KQ_WriteTo(KQ_THumanReadableStream& stream) const { WriteTo(stream); }

void KQ_TAny::KQ_ReadFrom(KQ_THumanReadableStream& stream) { ReadFrom(stream); }

// The direct path of containers' elements

void KQ_TAny::PackElementOf(Cell const& cell, KQ_TAny const& value, KQ_TDataStream& stream,
                            unsigned char code) {
  std::uint32_t const kind = cell.fKind;
  std::uint32_t const valueSize = kind <= kObject ? kElements.fValueSize[kind] : 0;
  if (valueSize == 0) {
    stream << static_cast<KQ_IPackable const&>(value);
    return;
  }
  std::uint32_t const size = kElementHead + valueSize;
  unsigned char local[kElementHead + 8];
  unsigned char* const room = stream.WriteRoom(size);
  unsigned char* const bytes = room != nullptr ? room : local;
  bytes[0] = code;
  bytes[1] = kUInt8Tag;
  bytes[2] = static_cast<unsigned char>(kind);
  bytes[3] = kElements.fTag[kind];
  switch (kind) {
#define KQ_ANY_STORE_(kind, member, ...)                  \
  case kind:                                              \
    StoreValue(bytes + kElementHead, cell.fValue.member); \
    break;
    KQ_ANY_BASIC_KINDS(KQ_ANY_STORE_)
#undef KQ_ANY_STORE_
    default:
      break;
  }
  if (room != nullptr) {
    stream.Wrote(size);
  } else {
    stream.Write(local, size);
  }
}

void KQ_TAny::KQ_PackElement(KQ_TDataStream& stream, unsigned char code) const {
  PackElementOf(*fCell, *this, stream, code);
}

void KQ_TAny::Noted::KQ_PackElement(KQ_TDataStream& stream, unsigned char code) const {
  PackElementOf(*fCell, *fValue, stream, code);
}

// Reads in place when the whole element is there in the expected form;
// anything else (another kind, a damaged or cut element, a stream without
// the direct path) takes the general path, which reads or raises exactly as
// for any packable.
void KQ_TAny::KQ_UnpackElement(KQ_TDataStream& stream, unsigned char code) {
  unsigned char const* const head = stream.Lookahead(3);
  if (head != nullptr && head[0] == code && head[1] == kUInt8Tag && head[2] <= kObject &&
      kElements.fValueSize[head[2]] != 0) {
    std::uint32_t const kind = head[2];
    std::uint32_t const size = kElementHead + kElements.fValueSize[kind];
    unsigned char const* const bytes = stream.Lookahead(size);
    if (bytes != nullptr && bytes[3] == kElements.fTag[kind]) {
      Value& value = Reset(kind);
      switch (kind) {
#define KQ_ANY_LOAD_(kind, member, Type, ...)             \
  case kind:                                              \
    value.member = LoadValue<Type>(bytes + kElementHead); \
    break;
        KQ_ANY_BASIC_KINDS(KQ_ANY_LOAD_)
#undef KQ_ANY_LOAD_
        default:
          break;
      }
      stream.Advance(size);
      return;
    }
  }
  stream >> static_cast<KQ_IPackable&>(*this);
}
