#include "kq_tany.h"

#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "kq_eexception.h"
#include "kq_ipacking.h"
#include "kq_iunpacking.h"
#include "kq_memalloc.h"
#include "kq_tdatastream.h"
#include "kq_thumanreadablestream.h"
#include "kq_tmutex.h"
#include "kq_tstring.h"

KQ_CLASS_IMPL(KQ_TAny)

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
    case KQ_TAny::kInt8:
      return KQ_TClass::KQ_TInt8Class();
    case KQ_TAny::kInt16:
      return KQ_TClass::KQ_TInt16Class();
    case KQ_TAny::kInt32:
      return KQ_TClass::KQ_TInt32Class();
    case KQ_TAny::kInt64:
      return KQ_TClass::KQ_TInt64Class();
    case KQ_TAny::kUInt8:
      return KQ_TClass::KQ_TUInt8Class();
    case KQ_TAny::kUInt16:
      return KQ_TClass::KQ_TUInt16Class();
    case KQ_TAny::kUInt32:
      return KQ_TClass::KQ_TUInt32Class();
    case KQ_TAny::kUInt64:
      return KQ_TClass::KQ_TUInt64Class();
    case KQ_TAny::kBool:
      return KQ_TClass::KQ_TBoolClass();
    case KQ_TAny::kChar:
      return KQ_TClass::KQ_TCharClass();
    case KQ_TAny::kFloat:
      return KQ_TClass::KQ_TFloatClass();
    case KQ_TAny::kDouble:
      return KQ_TClass::KQ_TDoubleClass();
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

template <class T>
void ReadValue(KQ_IUnpacking& unpacker, T& slot) {
  T value{};
  unpacker >> value;
  slot = value;
}

// Value cells have a store of their own, since every Any needs one: cells
// are carved from slabs of kSlabCells that are never given back, each
// thread keeps a chain of free cells, and a process-wide stack holds batches
// of free cells under a lock. A thread that runs out takes one batch (or
// carves a new slab) in one step. A thread whose chain grows to kBatch cells
// sets the chain aside whole, handing back the one it had set aside before,
// and takes it up again when its chain runs dry. So a cell costs a lock only
// once per kBatch allocations, no chain is ever walked to cut a batch, and
// cells made together lie together.
struct FreeCell {
  FreeCell* next;
  // In the first cell of a batch on the process-wide stack: the next batch.
  FreeCell* nextBatch;
};

constexpr std::uint32_t kSlabCells = 256;
constexpr std::uint32_t kBatch = 256;

enum : std::uint8_t { kCellsUnused, kCellsActive, kCellsClosed };

struct CellCache {
  FreeCell* head;
  // Cells in the chain at head (a batch handed back at a thread's end may
  // be longer or shorter than counted: the count only decides when the
  // chain is set aside).
  std::uint32_t count;
  std::uint8_t state;
  // A whole batch set aside, or null.
  FreeCell* full;
};

// Trivial and in the initial TLS block, as the pool's cache (one
// instruction to reach).
#if defined(__GNUC__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local CellCache tCells;

struct Slab {
  Slab* next;
  // Keeps the cells aligned as the heap aligns its blocks.
  alignas(alignof(std::max_align_t)) unsigned char cells[kSlabCells * sizeof(FreeCell)];
};

// Built on first use and never destroyed, so it serves static destructors
// and threads that outlive main.
KQ_TMutex& CellLock() {
  static KQ_TMutex* const lock = new KQ_TMutex();
  return *lock;
}

FreeCell* gBatches;
// Every slab, so that the memory stays reachable for leak checkers.
Slab* gSlabs;

class CellLockHold {
 public:
  CellLockHold() { CellLock()++; }
  ~CellLockHold() { CellLock()--; }
  CellLockHold(CellLockHold const&) = delete;
  CellLockHold& operator=(CellLockHold const&) = delete;
};

void PushBatch(FreeCell* first) {
  CellLockHold hold;
  first->nextBatch = gBatches;
  gBatches = first;
}

// Gives the thread's cells back when the thread ends; later frees of the
// thread go straight to the stack.
struct CellCacheCloser {
  bool registered = false;
  ~CellCacheCloser() {
    CellCache& cache = tCells;
    cache.state = kCellsClosed;
    if (cache.head != nullptr) PushBatch(cache.head);
    if (cache.full != nullptr) PushBatch(cache.full);
    cache.head = nullptr;
    cache.full = nullptr;
    cache.count = 0;
  }
};

thread_local CellCacheCloser tCellCloser;

void Activate(CellCache& cache) {
  if (cache.state == kCellsUnused) {
    tCellCloser.registered = true;
    cache.state = kCellsActive;
  }
}

KQ_NOINLINE FreeCell* RefillCells(CellCache& cache) {
  if (FreeCell* const first = cache.full) {
    cache.full = nullptr;
    cache.count = kBatch;
    return first;
  }
  Activate(cache);
  FreeCell* first;
  {
    CellLockHold hold;
    first = gBatches;
    if (first != nullptr) gBatches = first->nextBatch;
  }
  if (first == nullptr) {
    Slab* const slab = static_cast<Slab*>(KQ_Alloc(sizeof(Slab)));
    auto* const cells = reinterpret_cast<FreeCell*>(slab->cells);
    for (std::uint32_t i = 0; i + 1 < kSlabCells; ++i) cells[i].next = &cells[i + 1];
    cells[kSlabCells - 1].next = nullptr;
    {
      CellLockHold hold;
      slab->next = gSlabs;
      gSlabs = slab;
    }
    first = cells;
  }
  cache.count = kBatch;
  if (cache.state == kCellsClosed) {
    // A closed thread keeps nothing: one cell for the caller, the rest back.
    if (first->next != nullptr) PushBatch(first->next);
    cache.count = 0;
    first->next = nullptr;
  }
  return first;
}

KQ_NOINLINE void ReleaseCells(CellCache& cache, FreeCell* cell) {
  if (cache.state == kCellsClosed) {
    cell->next = nullptr;
    PushBatch(cell);
    return;
  }
  Activate(cache);
  cell->next = cache.head;
  cache.head = cell;
  if (++cache.count < kBatch) return;
  if (cache.full != nullptr) PushBatch(cache.full);
  cache.full = cache.head;
  cache.head = nullptr;
  cache.count = 0;
}

void* TakeCell() {
  CellCache& cache = tCells;
  FreeCell* cell = cache.head;
  if (cell == nullptr) cell = RefillCells(cache);
  cache.head = cell->next;
  if (cache.count != 0) --cache.count;
  return cell;
}

void GiveCell(void* p) {
  CellCache& cache = tCells;
  auto* const cell = static_cast<FreeCell*>(p);
  if (cache.state == kCellsActive && cache.count + 1 < kBatch) {
    cell->next = cache.head;
    cache.head = cell;
    ++cache.count;
    return;
  }
  ReleaseCells(cache, cell);
}

}  // namespace

inline KQ_TAny::Cell* KQ_TAny::NewCell(std::uint32_t kind) {
  static_assert(sizeof(Cell) <= sizeof(FreeCell) && alignof(Cell) <= alignof(FreeCell),
                "a free cell has the room of a value cell");
  auto* cell = static_cast<Cell*>(TakeCell());
  cell->fKind = kind;
  cell->fValue.fRaw = 0;
  return cell;
}

KQ_TAny::Cell* KQ_TAny::NewObjectCell(KQ_IPackable* object) {
  std::unique_ptr<KQ_IPackable> owned(object);
  Cell* cell = NewCell(object == nullptr ? kNull : kObject);
  cell->fValue.fObject = owned.release();
  return cell;
}

inline KQ_TAny::Cell* KQ_TAny::NewCopyCell(Cell const& source) {
  if (source.fKind == kObject) return NewObjectCell(source.fValue.fObject->KQ_Clone());
  Cell* cell = NewCell(source.fKind);
  if (source.fKind > kNull && source.fKind < kObject) cell->fValue = source.fValue;
  return cell;
}

inline KQ_TAny::Value& KQ_TAny::Reset(std::uint32_t kind) {
  if (fCell->fKind == kObject) delete fCell->fValue.fObject;
  fCell->fKind = kind;
  fCell->fValue.fRaw = 0;
  return fCell->fValue;
}

void KQ_TAny::TakeObject(KQ_IPackable* object) {
  if (fCell->fKind == kObject && fCell->fValue.fObject == object) return;
  if (object == nullptr) {
    Reset(kNull);
  } else {
    Reset(kObject).fObject = object;
  }
}

KQ_IPackable* KQ_TAny::HeldObject() const {
  if (fCell->fKind != kObject) KQ_THROW(KQ_EIllegalCastFromAny());
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
KQ_TAny::KQ_TAny(char const* text) : fCell(NewObjectCell(new KQ_TString(text))) {}
KQ_TAny::KQ_TAny(wchar_t const* text) : fCell(NewObjectCell(new KQ_TString(text))) {}
KQ_TAny::KQ_TAny(char16_t const* text) : fCell(NewObjectCell(new KQ_TString(text))) {}
KQ_TAny::KQ_TAny(KQ_IPackable const& object) : fCell(NewObjectCell(object.KQ_Clone())) {}
KQ_TAny::KQ_TAny(KQ_TAny const& other)
    : KQ_IInterface(other),
      KQ_IPackable(other),
      KQ_IHashable(other),
      KQ_IPrintable(other),
      KQ_IHumanReadable(other),
      KQ_TObject(other),
      fCell(NewCopyCell(*other.fCell)) {}

void KQ_TAny::Abandon(KQ_TAny& any) {
  if (any.fCell->fKind == kObject) delete any.fCell->fValue.fObject;
  GiveCell(any.fCell);
}

KQ_TAny::~KQ_TAny() {
  if (fCell->fKind == kObject) delete fCell->fValue.fObject;
  GiveCell(fCell);
}

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
      return value.fObject->ClassObject();
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
      return value.fObject->KQ_Cast(name);
    default:
      if (kind < kInt8 || kind > kDouble) return nullptr;
      return std::strcmp(name, BasicRecord(kind).ClassName()) == 0 ? &value : nullptr;
  }
}

KQ_TAny& KQ_TAny::operator=(KQ_TAny const& other) {
  if (&other == this) return *this;
  if (other.fCell->fKind == kObject) {
    TakeObject(other.fCell->fValue.fObject->KQ_Clone());
    return *this;
  }
  // other may live inside the object released here: copy its cell first.
  Cell const source = *other.fCell;
  Value& value = Reset(source.fKind);
  if (source.fKind > kNull && source.fKind < kObject) value = source.fValue;
  return *this;
}

KQ_TAny& KQ_TAny::operator=(KQ_IPackable const& object) {
  TakeObject(object.KQ_Clone());
  return *this;
}

KQ_TAny& KQ_TAny::operator=(wchar_t const* text) {
  TakeObject(new KQ_TString(text));
  return *this;
}

KQ_TAny& KQ_TAny::operator=(char const* text) {
  TakeObject(new KQ_TString(text));
  return *this;
}

KQ_TAny& KQ_TAny::operator=(char16_t const* text) {
  TakeObject(new KQ_TString(text));
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

KQ_TAny::operator std::int8_t() const {
  if (fCell->fKind != kInt8) KQ_THROW(KQ_EIllegalCastFromAny());
  return fCell->fValue.fInt8;
}

KQ_TAny::operator std::int16_t() const {
  Value const& value = fCell->fValue;
  switch (fCell->fKind) {
    case kInt8:
      return value.fInt8;
    case kInt16:
      return value.fInt16;
    default:
      KQ_THROW(KQ_EIllegalCastFromAny());
  }
  return 0;
}

KQ_TAny::operator std::int32_t() const {
  Value const& value = fCell->fValue;
  switch (fCell->fKind) {
    case kInt8:
      return value.fInt8;
    case kInt16:
      return value.fInt16;
    case kInt32:
      return value.fInt32;
    default:
      KQ_THROW(KQ_EIllegalCastFromAny());
  }
  return 0;
}

KQ_TAny::operator std::int64_t() const {
  Value const& value = fCell->fValue;
  switch (fCell->fKind) {
    case kInt8:
      return value.fInt8;
    case kInt16:
      return value.fInt16;
    case kInt32:
      return value.fInt32;
    case kInt64:
      return value.fInt64;
    default:
      KQ_THROW(KQ_EIllegalCastFromAny());
  }
  return 0;
}

KQ_TAny::operator std::uint8_t() const {
  if (fCell->fKind != kUInt8) KQ_THROW(KQ_EIllegalCastFromAny());
  return fCell->fValue.fUInt8;
}

KQ_TAny::operator std::uint16_t() const {
  Value const& value = fCell->fValue;
  switch (fCell->fKind) {
    case kUInt8:
      return value.fUInt8;
    case kUInt16:
      return value.fUInt16;
    default:
      KQ_THROW(KQ_EIllegalCastFromAny());
  }
  return 0;
}

KQ_TAny::operator std::uint32_t() const {
  Value const& value = fCell->fValue;
  switch (fCell->fKind) {
    case kUInt8:
      return value.fUInt8;
    case kUInt16:
      return value.fUInt16;
    case kUInt32:
      return value.fUInt32;
    default:
      KQ_THROW(KQ_EIllegalCastFromAny());
  }
  return 0;
}

KQ_TAny::operator std::uint64_t() const {
  Value const& value = fCell->fValue;
  switch (fCell->fKind) {
    case kUInt8:
      return value.fUInt8;
    case kUInt16:
      return value.fUInt16;
    case kUInt32:
      return value.fUInt32;
    case kUInt64:
      return value.fUInt64;
    default:
      KQ_THROW(KQ_EIllegalCastFromAny());
  }
  return 0;
}

KQ_TAny::operator bool() const {
  if (fCell->fKind != kBool) KQ_THROW(KQ_EIllegalCastFromAny());
  return fCell->fValue.fBool;
}

KQ_TAny::operator char() const {
  if (fCell->fKind != kChar) KQ_THROW(KQ_EIllegalCastFromAny());
  return fCell->fValue.fChar;
}

// Integers and doubles round to the nearest float; unsigned values convert as
// unsigned.
KQ_TAny::operator float() const {
  Value const& value = fCell->fValue;
  switch (fCell->fKind) {
    case kInt8:
      return static_cast<float>(value.fInt8);
    case kInt16:
      return static_cast<float>(value.fInt16);
    case kInt32:
      return static_cast<float>(value.fInt32);
    case kInt64:
      return static_cast<float>(value.fInt64);
    case kUInt8:
      return static_cast<float>(value.fUInt8);
    case kUInt16:
      return static_cast<float>(value.fUInt16);
    case kUInt32:
      return static_cast<float>(value.fUInt32);
    case kUInt64:
      return static_cast<float>(value.fUInt64);
    case kFloat:
      return value.fFloat;
    case kDouble:
      return static_cast<float>(value.fDouble);
    default:
      KQ_THROW(KQ_EIllegalCastFromAny());
  }
  return 0.0f;
}

KQ_TAny::operator double() const {
  Value const& value = fCell->fValue;
  switch (fCell->fKind) {
    case kInt8:
      return value.fInt8;
    case kInt16:
      return value.fInt16;
    case kInt32:
      return value.fInt32;
    case kInt64:
      return static_cast<double>(value.fInt64);
    case kUInt8:
      return value.fUInt8;
    case kUInt16:
      return value.fUInt16;
    case kUInt32:
      return value.fUInt32;
    case kUInt64:
      return static_cast<double>(value.fUInt64);
    case kFloat:
      return value.fFloat;
    case kDouble:
      return value.fDouble;
    default:
      KQ_THROW(KQ_EIllegalCastFromAny());
  }
  return 0.0;
}

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
    case kInt8:
      return a.fInt8 == b.fInt8;
    case kInt16:
      return a.fInt16 == b.fInt16;
    case kInt32:
      return a.fInt32 == b.fInt32;
    case kInt64:
      return a.fInt64 == b.fInt64;
    case kUInt8:
      return a.fUInt8 == b.fUInt8;
    case kUInt16:
      return a.fUInt16 == b.fUInt16;
    case kUInt32:
      return a.fUInt32 == b.fUInt32;
    case kUInt64:
      return a.fUInt64 == b.fUInt64;
    case kBool:
      return a.fBool == b.fBool;
    case kChar:
      return a.fChar == b.fChar;
    case kFloat:
      return a.fFloat == b.fFloat;
    case kDouble:
      return a.fDouble == b.fDouble;
    case kPointer:
      return a.fPointer == b.fPointer;
    case kCPointer:
      return a.fCPointer == b.fCPointer;
    case kInterface:
      return a.fInterface == b.fInterface;
    case kCInterface:
      return a.fCInterface == b.fCInterface;
    case kObject:
      return a.fObject->KQ_IsIdent(*b.fObject);
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
    case kInt8:
      v = static_cast<std::uint32_t>(static_cast<std::int32_t>(value.fInt8));
      k = 2;
      break;
    case kInt16:
      v = static_cast<std::uint32_t>(static_cast<std::int32_t>(value.fInt16));
      k = 3;
      break;
    case kInt32:
      v = static_cast<std::uint32_t>(value.fInt32);
      k = 4;
      break;
    case kInt64:
      v = static_cast<std::uint32_t>(value.fInt64);
      k = 4;
      break;
    case kUInt8:
      v = value.fUInt8;
      k = 5;
      break;
    case kUInt16:
      v = value.fUInt16;
      k = 6;
      break;
    case kUInt32:
      v = value.fUInt32;
      k = 7;
      break;
    case kUInt64:
      v = static_cast<std::uint32_t>(value.fUInt64);
      k = 7;
      break;
    case kBool:
      v = value.fBool ? 1 : 0;
      k = 8;
      break;
    case kChar:
      v = static_cast<std::uint32_t>(
          static_cast<std::int32_t>(static_cast<signed char>(value.fChar)));
      k = 9;
      break;
    case kFloat:
      v = FloatingHash(value.fFloat);
      k = 10;
      break;
    case kDouble:
      v = FloatingHash(value.fDouble);
      k = 11;
      break;
    case kPointer:
      v = AddressHash(value.fPointer);
      k = 12;
      break;
    case kCPointer:
      v = AddressHash(value.fCPointer);
      k = 13;
      break;
    case kInterface:
      v = AddressHash(value.fInterface);
      k = 14;
      break;
    case kCInterface:
      v = AddressHash(value.fCInterface);
      k = 15;
      break;
    case kObject: {
      auto const* hashable = static_cast<KQ_IHashable const*>(
          value.fObject->KQ_DynamicInfo(KQ_IHashable::KQ_ClassName()));
      if (hashable == nullptr) KQ_THROW(KQ_EAnyContainsUnhashableType());
      return hashable->KQ_HashValue(seed);
    }
    default:
      KQ_THROW(KQ_EAnyContainsUnhashableType());
  }
  return seed + v + k;
}

void KQ_TAny::KQ_Pack(KQ_IPacking& packer) const {
  Value const& value = fCell->fValue;
  packer << static_cast<std::uint8_t>(fCell->fKind);
  switch (fCell->fKind) {
    case kInt8:
      packer << value.fInt8;
      break;
    case kInt16:
      packer << value.fInt16;
      break;
    case kInt32:
      packer << value.fInt32;
      break;
    case kInt64:
      packer << value.fInt64;
      break;
    case kUInt8:
      packer << value.fUInt8;
      break;
    case kUInt16:
      packer << value.fUInt16;
      break;
    case kUInt32:
      packer << value.fUInt32;
      break;
    case kUInt64:
      packer << value.fUInt64;
      break;
    case kBool:
      packer << value.fBool;
      break;
    case kChar:
      packer << value.fChar;
      break;
    case kFloat:
      packer << value.fFloat;
      break;
    case kDouble:
      packer << value.fDouble;
      break;
    case kPointer:
    case kCPointer:
    case kInterface:
    case kCInterface:
      KQ_THROW(KQ_EAnyContainsUnpackableType());
      break;
    case kObject:
      packer << static_cast<KQ_IPackable const&>(*value.fObject);
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
    case kInt8:
      ReadValue(unpacker, value.fInt8);
      break;
    case kInt16:
      ReadValue(unpacker, value.fInt16);
      break;
    case kInt32:
      ReadValue(unpacker, value.fInt32);
      break;
    case kInt64:
      ReadValue(unpacker, value.fInt64);
      break;
    case kUInt8:
      ReadValue(unpacker, value.fUInt8);
      break;
    case kUInt16:
      ReadValue(unpacker, value.fUInt16);
      break;
    case kUInt32:
      ReadValue(unpacker, value.fUInt32);
      break;
    case kUInt64:
      ReadValue(unpacker, value.fUInt64);
      break;
    case kBool:
      ReadValue(unpacker, value.fBool);
      break;
    case kChar:
      ReadValue(unpacker, value.fChar);
      break;
    case kFloat:
      ReadValue(unpacker, value.fFloat);
      break;
    case kDouble:
      ReadValue(unpacker, value.fDouble);
      break;
    default:
      break;
  }
}

KQ_IPackable* KQ_TAny::KQ_Clone(void*) const { return new KQ_TAny(*this); }

bool KQ_TAny::KQ_IsIdent(KQ_IPackable const& other) const {
  if (fCell->fKind == kObject) return fCell->fValue.fObject->KQ_IsIdent(other);
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
      PrintObject(os, *value.fObject);
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
    case kInt8:
      stream << value.fInt8;
      break;
    case kInt16:
      stream << value.fInt16;
      break;
    case kInt32:
      stream << value.fInt32;
      break;
    case kInt64:
      stream << value.fInt64;
      break;
    case kUInt8:
      stream << value.fUInt8;
      break;
    case kUInt16:
      stream << value.fUInt16;
      break;
    case kUInt32:
      stream << value.fUInt32;
      break;
    case kUInt64:
      stream << value.fUInt64;
      break;
    case kBool:
      stream << value.fBool;
      break;
    case kChar:
      stream << value.fChar;
      break;
    case kFloat:
      stream << value.fFloat;
      break;
    case kDouble:
      stream << value.fDouble;
      break;
    case kPointer:
    case kCPointer:
    case kInterface:
    case kCInterface:
      KQ_THROW(KQ_EAnyContainsUnpackableType());
      break;
    case kObject: {
      auto const* const readable =
          static_cast<KQ_IHumanReadable const*>(value.fObject->KQ_Cast("KQ_IHumanReadable"));
      if (readable != nullptr) {
        stream << *readable;
      } else {
        stream.WritePackable(*value.fObject);
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
  return true;
}

void KQ_TAny::KQ_WriteTo(KQ_THumanReadableStream& stream) const { WriteTo(stream); }

void KQ_TAny::KQ_ReadFrom(KQ_THumanReadableStream& stream) { ReadFrom(stream); }
