#include "kq_tlist.h"

#include <new>

#include "kq_eexception.h"
#include "kq_ipacking.h"
#include "kq_iunpacking.h"
#include "kq_tdatastream.h"
#include "kq_thumanreadablestream.h"

KQ_CLASS_IMPL(KQ_TList)

bool KQ_TList::KQ_Initialize() {
  KQ_TDataStream::RegisterSpecificType(71, KQ_ClassObject());
  return true;
}
KQ_CLASS_IMPL(KQ_TListIterationInfo)

namespace {

// One level of print indentation for the lifetime of the guard, given back
// even when an element's printing raises.
class IndentLevel {
 public:
  IndentLevel() { KQ_IPrintable::Indent(); }
  ~IndentLevel() { KQ_IPrintable::ReverseIndent(); }
  IndentLevel(IndentLevel const&) = delete;
  IndentLevel& operator=(IndentLevel const&) = delete;
};

}  // namespace

struct KQ_TList::KeyBlock {
  KeyBlock* fNext;
  std::uint32_t fCapacity;

  KQ_TListKey* Keys() { return reinterpret_cast<KQ_TListKey*>(this + 1); }
};

namespace {
constexpr std::uint32_t kFirstBlock = 8;
constexpr std::uint32_t kLargestBlock = 4096;
}  // namespace

void* KQ_TList::KeyRoom() {
  static_assert(sizeof(KeyBlock) % alignof(KQ_TListKey) == 0, "keys follow the block header");
  if (fSpare != nullptr) {
    void* const room = fSpare;
    fSpare = *static_cast<void**>(room);
    return room;
  }
  if (fFreshKeys == 0) {
    std::uint32_t const capacity =
        fBlocks == nullptr
            ? kFirstBlock
            : (fBlocks->fCapacity < kLargestBlock ? fBlocks->fCapacity * 2 : kLargestBlock);
    auto* const block = static_cast<KeyBlock*>(
        ::operator new (sizeof(KeyBlock) + std::size_t{capacity} * sizeof(KQ_TListKey)));
    block->fNext = fBlocks;
    block->fCapacity = capacity;
    fBlocks = block;
    fFreshKeys = capacity;
  }
  return fBlocks->Keys() + (fBlocks->fCapacity - fFreshKeys--);
}

void KQ_TList::ReturnRoom(void* room) {
  *static_cast<void**>(room) = fSpare;
  fSpare = room;
}

void KQ_TList::DestroyKey(KQ_TListKey* key) {
  key->~KQ_TListKey();
  ReturnRoom(key);
}

void KQ_TList::ReleaseBlocks() {
  while (fBlocks != nullptr) {
    KeyBlock* const next = fBlocks->fNext;
    ::operator delete(fBlocks);
    fBlocks = next;
  }
  fFreshKeys = 0;
  fSpare = nullptr;
}

KQ_TList::KQ_TList()
    : fHead(nullptr), fTail(nullptr), fCount(0), fFreshKeys(0), fBlocks(nullptr), fSpare(nullptr) {}

KQ_TList::KQ_TList(KQ_TList const& other)
    : KQ_IInterface(other),
      KQ_TObject(other),
      fHead(nullptr),
      fTail(nullptr),
      fCount(0),
      fFreshKeys(0),
      fBlocks(nullptr),
      fSpare(nullptr) {
  try {
    for (KQ_TListKey const* key = other.fHead; key != nullptr; key = key->fNext) {
      LinkValue(key->fValue, fTail, nullptr);
    }
  } catch (...) {
    Clear();
    throw;
  }
}

KQ_TList::~KQ_TList() { Clear(); }

KQ_TList& KQ_TList::operator=(KQ_TList const& other) {
  if (this == &other) return *this;
  KQ_TList copy(other);
  Clear();
  TakeKeys(copy);
  return *this;
}

KQ_IPackable& KQ_TList::operator=(KQ_IUnpacking& unpacker) {
  return KQ_IPackable::operator=(unpacker);
}

bool KQ_TList::IsEmpty() const { return fCount == 0; }

std::uint32_t KQ_TList::Entries() const { return fCount; }

bool KQ_TList::Contains(KQ_TAny const& value) const { return KeyOf(value) != nullptr; }

KQ_TListKey const* KQ_TList::KeyAt(std::uint32_t index) const { return Walk(index); }

KQ_TListKey* KQ_TList::KeyAt(std::uint32_t index) { return Walk(index); }

KQ_TListKey const* KQ_TList::KeyOf(KQ_TAny const& value) const {
  for (KQ_TListKey const* key = fHead; key != nullptr; key = key->fNext) {
    if (key->fValue == value) return key;
  }
  return nullptr;
}

KQ_TListKey* KQ_TList::KeyOf(KQ_TAny const& value) {
  return const_cast<KQ_TListKey*>(static_cast<KQ_TList const*>(this)->KeyOf(value));
}

KQ_TAny const& KQ_TList::ObjectAt(std::uint32_t index) const { return Walk(index)->fValue; }

KQ_TAny& KQ_TList::ObjectAt(std::uint32_t index) { return Walk(index)->fValue; }

KQ_TAny const& KQ_TList::operator[](std::uint32_t index) const { return ObjectAt(index); }

KQ_TAny& KQ_TList::operator[](std::uint32_t index) { return ObjectAt(index); }

KQ_TListKey const* KQ_TList::KeyAtHead() const { return First(); }

KQ_TListKey* KQ_TList::KeyAtHead() { return First(); }

KQ_TListKey const* KQ_TList::KeyAtTail() const { return Last(); }

KQ_TListKey* KQ_TList::KeyAtTail() { return Last(); }

KQ_TAny const& KQ_TList::Head() const { return First()->fValue; }

KQ_TAny& KQ_TList::Head() { return First()->fValue; }

KQ_TAny const& KQ_TList::Tail() const { return Last()->fValue; }

KQ_TAny& KQ_TList::Tail() { return Last()->fValue; }

KQ_TListKey* KQ_TList::Add(KQ_TAny const& value) { return AddAtTail(value); }

KQ_TListKey* KQ_TList::AddAtHead(KQ_TAny const& value) { return LinkValue(value, nullptr, fHead); }

KQ_TListKey* KQ_TList::AddAtTail(KQ_TAny const& value) { return LinkValue(value, fTail, nullptr); }

KQ_TListKey* KQ_TList::AddBefore(KQ_TListKey const* key, KQ_TAny const& value) {
  if (key == nullptr) return AddAtTail(value);
  KQ_TListKey* where = Own(key);
  return LinkValue(value, where->fPrev, where);
}

KQ_TListKey* KQ_TList::AddAfter(KQ_TListKey const* key, KQ_TAny const& value) {
  if (key == nullptr) return AddAtHead(value);
  KQ_TListKey* where = Own(key);
  return LinkValue(value, where, where->fNext);
}

KQ_TListKey* KQ_TList::MoveBefore(KQ_TListKey const* where, KQ_TListKey const* key) {
  KQ_TListKey* moved = Own(key);
  KQ_TListKey* anchor = Own(where);
  if (anchor == moved) return moved;
  Unlink(moved);
  return Link(moved, anchor->fPrev, anchor);
}

KQ_TListKey* KQ_TList::MoveAfter(KQ_TListKey const* where, KQ_TListKey const* key) {
  KQ_TListKey* moved = Own(key);
  KQ_TListKey* anchor = Own(where);
  if (anchor == moved) return moved;
  Unlink(moved);
  return Link(moved, anchor, anchor->fNext);
}

KQ_TList& KQ_TList::operator+=(KQ_TAny const& value) {
  Add(value);
  return *this;
}

KQ_TList& KQ_TList::Rem(KQ_TAny const& value) { return Rem(KeyOf(value)); }

KQ_TList& KQ_TList::Rem(KQ_TListKey const* key) {
  KQ_TListKey* removed = Own(key);
  Unlink(removed);
  DestroyKey(removed);
  if (fCount == 0) ReleaseBlocks();
  return *this;
}

KQ_TList& KQ_TList::RemAt(std::uint32_t index) { return Rem(Walk(index)); }

KQ_TList& KQ_TList::RemAtHead() { return Rem(First()); }

KQ_TList& KQ_TList::RemAtTail() { return Rem(Last()); }

KQ_TList& KQ_TList::operator-=(KQ_TListKey const* key) { return Rem(key); }

KQ_TList& KQ_TList::operator-=(KQ_TAny const& value) { return Rem(value); }

bool KQ_TList::operator==(KQ_TList const& other) const {
  if (fCount != other.fCount) return false;
  KQ_TListKey const* mine = fHead;
  KQ_TListKey const* theirs = other.fHead;
  for (; mine != nullptr; mine = mine->fNext, theirs = theirs->fNext) {
    if (!(mine->fValue == theirs->fValue)) return false;
  }
  return true;
}

bool KQ_TList::operator!=(KQ_TList const& other) const { return !(*this == other); }

KQ_IIterationInfo* KQ_TList::CreateIterationInfo() const {
  return new KQ_TListIterationInfo(*this);
}

void KQ_TList::KQ_Pack(KQ_IPacking& packer) const {
  packer << fCount;
  KQ_TDataStream::ElementWriter write(packer);
  for (KQ_TListKey const* key = fHead; key != nullptr; key = key->fNext) write(key->fValue);
}

void KQ_TList::KQ_Unpack(KQ_IUnpacking& unpacker) {
  Clear();
  std::uint32_t count = 0;
  unpacker >> count;
  KQ_TDataStream::ElementReader read(unpacker);
  for (std::uint32_t i = 0; i < count; ++i) {
    // Read straight into an unlinked key: no copy (and no clone of a held
    // object) per element.
    void* const room = KeyRoom();
    KQ_TListKey* key;
    try {
      key = new (room) KQ_TListKey();
    } catch (...) {
      ReturnRoom(room);
      throw;
    }
    try {
      read(key->fValue);
    } catch (...) {
      DestroyKey(key);
      if (fCount == 0) ReleaseBlocks();
      throw;
    }
    Link(key, fTail, nullptr);
  }
}

KQ_IPackable* KQ_TList::KQ_Clone(void*) const { return new KQ_TList(*this); }

bool KQ_TList::KQ_IsIdent(KQ_IPackable const& other) const {
  auto const* list = static_cast<KQ_TList const*>(other.KQ_Cast("KQ_TList"));
  return list != nullptr && *this == *list;
}

void KQ_TList::PrintOn(std::ostream& os) const {
  os << "LIST\n" << KQ_IPrintable::Prefix() << "{\n";
  {
    IndentLevel const deeper;
    for (KQ_TListKey const* key = fHead; key != nullptr; key = key->fNext) {
      os << KQ_IPrintable::Prefix();
      // A value printed over several lines puts them one level deeper still.
      IndentLevel const nested;
      key->fValue.PrintOn(os);
      os << '\n';
    }
  }
  os << KQ_IPrintable::Prefix() << '}';
}

bool KQ_TList::KQ_HRMultiLine() const { return fCount != 0; }

bool KQ_TList::WriteTo(KQ_THumanReadableStream& stream) const {
  for (KQ_TListKey const* key = fHead; key != nullptr; key = key->fNext) {
    if (key != fHead) stream << cr;
    stream << static_cast<KQ_IHumanReadable const&>(key->fValue);
  }
  return false;
}

bool KQ_TList::ReadFrom(KQ_THumanReadableStream& stream) {
  Clear();
  while (stream.PeekNonWhite() != '}') {
    // As in KQ_Unpack: read straight into an unlinked key.
    void* const room = KeyRoom();
    KQ_TListKey* key;
    try {
      key = new (room) KQ_TListKey();
    } catch (...) {
      ReturnRoom(room);
      throw;
    }
    try {
      stream >> static_cast<KQ_IHumanReadable&>(key->fValue);
    } catch (...) {
      DestroyKey(key);
      if (fCount == 0) ReleaseBlocks();
      throw;
    }
    Link(key, fTail, nullptr);
  }
  stream.Read();
  return true;
}

KQ_TListKey* KQ_TList::Link(KQ_TListKey* key, KQ_TListKey* prev, KQ_TListKey* next) {
  key->fContainer = this;
  key->fPrev = prev;
  key->fNext = next;
  if (prev != nullptr) {
    prev->fNext = key;
  } else {
    fHead = key;
  }
  if (next != nullptr) {
    next->fPrev = key;
  } else {
    fTail = key;
  }
  ++fCount;
  return key;
}

KQ_TListKey* KQ_TList::LinkValue(KQ_TAny const& value, KQ_TListKey* prev, KQ_TListKey* next) {
  void* const room = KeyRoom();
  KQ_TListKey* key;
  try {
    key = new (room) KQ_TListKey(this, value);
  } catch (...) {
    ReturnRoom(room);
    if (fCount == 0) ReleaseBlocks();
    throw;
  }
  return Link(key, prev, next);
}

void KQ_TList::Unlink(KQ_TListKey* key) {
  if (key->fPrev != nullptr) {
    key->fPrev->fNext = key->fNext;
  } else {
    fHead = key->fNext;
  }
  if (key->fNext != nullptr) {
    key->fNext->fPrev = key->fPrev;
  } else {
    fTail = key->fPrev;
  }
  key->fPrev = nullptr;
  key->fNext = nullptr;
  --fCount;
}

KQ_TListKey* KQ_TList::Own(KQ_TListKey const* key) {
  if (key == nullptr || key->fContainer != this) KQ_THROW(KQ_EElementNotInList());
  // A key of this list is reachable through this non-const list anyway.
  return const_cast<KQ_TListKey*>(key);
}

KQ_TListKey* KQ_TList::Walk(std::uint32_t index) const {
  if (index >= fCount) KQ_THROW(KQ_EOutOfBoundsOfList());
  KQ_TListKey* key;
  if (index < fCount / 2) {
    key = fHead;
    for (std::uint32_t i = 0; i < index; ++i) key = key->fNext;
  } else {
    key = fTail;
    for (std::uint32_t i = fCount - 1; i > index; --i) key = key->fPrev;
  }
  return key;
}

KQ_TListKey* KQ_TList::First() const {
  if (fHead == nullptr) KQ_THROW(KQ_EOutOfBoundsOfList());
  return fHead;
}

KQ_TListKey* KQ_TList::Last() const {
  if (fTail == nullptr) KQ_THROW(KQ_EOutOfBoundsOfList());
  return fTail;
}

void KQ_TList::Clear() {
  KQ_TListKey* key = fHead;
  while (key != nullptr) {
    KQ_TListKey* next = key->fNext;
    key->~KQ_TListKey();
    key = next;
  }
  fHead = nullptr;
  fTail = nullptr;
  fCount = 0;
  ReleaseBlocks();
}

// This list is empty and has no blocks.
void KQ_TList::TakeKeys(KQ_TList& other) {
  for (KQ_TListKey* key = other.fHead; key != nullptr; key = key->fNext) key->fContainer = this;
  fHead = other.fHead;
  fTail = other.fTail;
  fCount = other.fCount;
  fFreshKeys = other.fFreshKeys;
  fBlocks = other.fBlocks;
  fSpare = other.fSpare;
  other.fHead = nullptr;
  other.fTail = nullptr;
  other.fCount = 0;
  other.fFreshKeys = 0;
  other.fBlocks = nullptr;
  other.fSpare = nullptr;
}

KQ_TListIterationInfo::KQ_TListIterationInfo()
    : fList(nullptr), fCurrent(nullptr), fBeforeStart(true), fAfterEnd(true) {}

KQ_TListIterationInfo::KQ_TListIterationInfo(KQ_TList const& list)
    // The cursor of a list given as constant may still delete through
    // DeleteItem; KQ_TConstIterator is the read-only way to walk.
    : fList(const_cast<KQ_TList*>(&list)), fCurrent(nullptr), fBeforeStart(true), fAfterEnd(true) {
  Start();
}

KQ_TListIterationInfo::~KQ_TListIterationInfo() = default;

KQ_IIterationInfo* KQ_TListIterationInfo::Clone() const { return new KQ_TListIterationInfo(*this); }

KQ_IIterationInfo& KQ_TListIterationInfo::Start() {
  fCurrent = List().fHead;
  fBeforeStart = fAfterEnd = fCurrent == nullptr;
  return *this;
}

KQ_IIterationInfo& KQ_TListIterationInfo::End() {
  fCurrent = List().fTail;
  fBeforeStart = fAfterEnd = fCurrent == nullptr;
  return *this;
}

KQ_IIterationInfo& KQ_TListIterationInfo::Next() {
  List();
  if (fBeforeStart) return Start();
  if (fCurrent != nullptr) fCurrent = fCurrent->Next();
  fAfterEnd = fCurrent == nullptr;
  return *this;
}

KQ_IIterationInfo& KQ_TListIterationInfo::Prev() {
  List();
  if (fAfterEnd) return End();
  if (fCurrent != nullptr) fCurrent = fCurrent->Prev();
  fBeforeStart = fCurrent == nullptr;
  return *this;
}

bool KQ_TListIterationInfo::IsBeforeStart() const {
  List();
  return fBeforeStart;
}

bool KQ_TListIterationInfo::IsAfterEnd() const {
  List();
  return fAfterEnd;
}

KQ_IPackable& KQ_TListIterationInfo::Key() {
  fKey = static_cast<void*>(&Current());
  return fKey;
}

KQ_TAny& KQ_TListIterationInfo::Value() { return Current().Value(); }

KQ_IIterationInfo& KQ_TListIterationInfo::DeleteItem() {
  KQ_TListKey& removed = Current();
  Prev();
  fList->Rem(&removed);
  return *this;
}

KQ_TList& KQ_TListIterationInfo::List() const {
  if (fList == nullptr) KQ_THROW(KQ_EIteratorNotInitialized());
  return *fList;
}

KQ_TListKey& KQ_TListIterationInfo::Current() const {
  List();
  if (fBeforeStart || fAfterEnd || fCurrent == nullptr) KQ_THROW(KQ_EIteratorOutOfBounds());
  return *fCurrent;
}
