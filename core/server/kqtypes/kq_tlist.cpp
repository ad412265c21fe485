#include "kq_tlist.h"

#include <new>

#include "internal/kq_read_budget.h"
#include "internal/kq_tlist_chain.h"
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

// The chain's functions, each given the chain they work on.
using Chain = kq::ChainOps;

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

KQ_TList::KQ_TList() : fFreshKeys(0), fBlocks(nullptr), fSpare(nullptr) {}

KQ_TList::KQ_TList(KQ_TList const& other)
    : KQ_IInterface(other), KQ_TObject(other), fFreshKeys(0), fBlocks(nullptr), fSpare(nullptr) {
  try {
    for (KQ_TListKey const* key = other.fChain.fHead; key != nullptr; key = key->fNext) {
      LinkValue(key->fValue, fChain.fTail, nullptr);
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

bool KQ_TList::IsEmpty() const { return fChain.fCount == 0; }

std::uint32_t KQ_TList::Entries() const { return fChain.fCount; }

bool KQ_TList::Contains(KQ_TAny const& value) const { return KeyOf(value) != nullptr; }

KQ_TListKey const* KQ_TList::KeyAt(std::uint32_t index) const { return Walk(index); }

KQ_TListKey* KQ_TList::KeyAt(std::uint32_t index) { return Walk(index); }

KQ_TListKey const* KQ_TList::KeyOf(KQ_TAny const& value) const {
  return Chain::Find(fChain, value);
}

KQ_TListKey* KQ_TList::KeyOf(KQ_TAny const& value) { return Chain::Find(fChain, value); }

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

KQ_TListKey* KQ_TList::AddAtHead(KQ_TAny const& value) {
  return LinkValue(value, nullptr, fChain.fHead);
}

KQ_TListKey* KQ_TList::AddAtTail(KQ_TAny const& value) {
  return LinkValue(value, fChain.fTail, nullptr);
}

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
  Chain::Unlink(fChain, moved);
  return Link(moved, anchor->fPrev, anchor);
}

KQ_TListKey* KQ_TList::MoveAfter(KQ_TListKey const* where, KQ_TListKey const* key) {
  KQ_TListKey* moved = Own(key);
  KQ_TListKey* anchor = Own(where);
  if (anchor == moved) return moved;
  Chain::Unlink(fChain, moved);
  return Link(moved, anchor, anchor->fNext);
}

KQ_TList& KQ_TList::operator+=(KQ_TAny const& value) {
  Add(value);
  return *this;
}

KQ_TList& KQ_TList::Rem(KQ_TAny const& value) { return Rem(KeyOf(value)); }

KQ_TList& KQ_TList::Rem(KQ_TListKey const* key) {
  KQ_TListKey* removed = Own(key);
  Chain::Unlink(fChain, removed);
  DestroyKey(removed);
  if (fChain.fCount == 0) ReleaseBlocks();
  return *this;
}

KQ_TList& KQ_TList::RemAt(std::uint32_t index) { return Rem(Walk(index)); }

KQ_TList& KQ_TList::RemAtHead() { return Rem(First()); }

KQ_TList& KQ_TList::RemAtTail() { return Rem(Last()); }

KQ_TList& KQ_TList::operator-=(KQ_TListKey const* key) { return Rem(key); }

KQ_TList& KQ_TList::operator-=(KQ_TAny const& value) { return Rem(value); }

bool KQ_TList::operator==(KQ_TList const& other) const {
  if (fChain.fCount != other.fChain.fCount) return false;
  KQ_TListKey const* mine = fChain.fHead;
  KQ_TListKey const* theirs = other.fChain.fHead;
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
  packer << fChain.fCount;
  KQ_TDataStream::ElementWriter write(packer);
  for (KQ_TListKey const* key = fChain.fHead; key != nullptr; key = key->fNext) write(key->fValue);
}

void KQ_TList::KQ_Unpack(KQ_IUnpacking& unpacker) {
  Clear();
  std::uint32_t count = 0;
  unpacker >> count;
  KQ_TDataStream::ElementReader read(unpacker);
  for (std::uint32_t i = 0; i < count; ++i) AppendRead(read);
}

KQ_IPackable* KQ_TList::KQ_Clone(void*) const { return new KQ_TList(*this); }

bool KQ_TList::KQ_IsIdent(KQ_IPackable const& other) const {
  auto const* list = static_cast<KQ_TList const*>(other.KQ_Cast("KQ_TList"));
  return list != nullptr && *this == *list;
}

void KQ_TList::PrintOn(std::ostream& os) const {
  os << "LIST\n" << KQ_IPrintable::Prefix() << "{\n";
  {
    KQ_IPrintable::IndentLevel const deeper;
    for (KQ_TListKey const* key = fChain.fHead; key != nullptr; key = key->fNext) {
      os << KQ_IPrintable::Prefix();
      // A value printed over several lines puts them one level deeper still.
      KQ_IPrintable::IndentLevel const nested;
      key->fValue.PrintOn(os);
      os << '\n';
    }
  }
  os << KQ_IPrintable::Prefix() << '}';
}

bool KQ_TList::KQ_HRMultiLine() const { return fChain.fCount != 0; }

bool KQ_TList::WriteTo(KQ_THumanReadableStream& stream) const {
  for (KQ_TListKey const* key = fChain.fHead; key != nullptr; key = key->fNext) {
    if (key != fChain.fHead) stream << cr;
    stream << static_cast<KQ_IHumanReadable const&>(key->fValue);
  }
  return false;
}

bool KQ_TList::ReadFrom(KQ_THumanReadableStream& stream) {
  Clear();
  auto read = [&stream](KQ_TAny& value) { stream >> static_cast<KQ_IHumanReadable&>(value); };
  while (stream.PeekNonWhite() != '}') AppendRead(read);
  stream.Read();
  return true;
}

template <class Read>
void KQ_TList::AppendRead(Read& read) {
  kq::ReadBudget::Charge(sizeof(KQ_TListKey));
  void* const room = KeyRoom();
  KQ_TListKey* key;
  try {
    key = new (room) KQ_TListKey;
  } catch (...) {
    ReturnRoom(room);
    throw;
  }
  try {
    read(key->fValue);
  } catch (...) {
    DestroyKey(key);
    if (fChain.fCount == 0) ReleaseBlocks();
    throw;
  }
  Link(key, fChain.fTail, nullptr);
}

KQ_TListKey* KQ_TList::Link(KQ_TListKey* key, KQ_TListKey* prev, KQ_TListKey* next) {
  key->fContainer = this;
  Chain::Link(fChain, key, prev, next);
  return key;
}

KQ_TListKey* KQ_TList::LinkValue(KQ_TAny const& value, KQ_TListKey* prev, KQ_TListKey* next) {
  void* const room = KeyRoom();
  KQ_TListKey* key;
  try {
    key = new (room) KQ_TListKey(this, value);
  } catch (...) {
    ReturnRoom(room);
    if (fChain.fCount == 0) ReleaseBlocks();
    throw;
  }
  return Link(key, prev, next);
}

KQ_TListKey* KQ_TList::Own(KQ_TListKey const* key) {
  if (key == nullptr || key->fContainer != this) KQ_THROW(KQ_EElementNotInList());
  // A key of this list is reachable through this non-const list anyway.
  return const_cast<KQ_TListKey*>(key);
}

KQ_TListKey* KQ_TList::Walk(std::uint32_t index) const {
  if (index >= fChain.fCount) KQ_THROW(KQ_EOutOfBoundsOfList());
  return Chain::At(fChain, index);
}

KQ_TListKey* KQ_TList::First() const {
  if (fChain.fHead == nullptr) KQ_THROW(KQ_EOutOfBoundsOfList());
  return fChain.fHead;
}

KQ_TListKey* KQ_TList::Last() const {
  if (fChain.fTail == nullptr) KQ_THROW(KQ_EOutOfBoundsOfList());
  return fChain.fTail;
}

void KQ_TList::Clear() {
  // The blocks go right after, so each value only gives back what it owns:
  // no destructor writes to the key, and a long list's keys leave the cache
  // without being written back.
  for (KQ_TListKey* key = fChain.fHead; key != nullptr; key = key->fNext) {
    KQ_TAny::Abandon(key->fValue);
  }
  fChain = {};
  ReleaseBlocks();
}

// This list is empty and has no blocks.
void KQ_TList::TakeKeys(KQ_TList& other) {
  for (KQ_TListKey* key = other.fChain.fHead; key != nullptr; key = key->fNext)
    key->fContainer = this;
  fChain = other.fChain;
  fFreshKeys = other.fFreshKeys;
  fBlocks = other.fBlocks;
  fSpare = other.fSpare;
  other.fChain = {};
  other.fFreshKeys = 0;
  other.fBlocks = nullptr;
  other.fSpare = nullptr;
}

KQ_TListIterationInfo::KQ_TListIterationInfo() : KQ_TChainIterationInfo(nullptr) {}

KQ_TListIterationInfo::KQ_TListIterationInfo(KQ_TList const& list)
    : KQ_TChainIterationInfo(&list) {}

KQ_TListIterationInfo::~KQ_TListIterationInfo() = default;

KQ_IIterationInfo* KQ_TListIterationInfo::Clone() const { return new KQ_TListIterationInfo(*this); }
