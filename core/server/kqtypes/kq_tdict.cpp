#include "kq_tdict.h"

#include <algorithm>
#include <new>
#include <utility>

#include "kq_eexception.h"
#include "kq_ipacking.h"
#include "kq_iunpacking.h"
#include "kq_memalloc.h"
#include "kq_tdatastream.h"
#include "kq_thumanreadablestream.h"
#include "kq_tstring.h"

KQ_CLASS_IMPL(KQ_TDict)
KQ_CLASS_IMPL(KQ_TDictIterationInfo)

// One entry: the next node of its chain, the key's full hash, the owned
// clone of the key and the value. The hash sits beside the link, in the same
// cache line, because a chain walk (long once the table stopped growing)
// reads only these two for every key whose hash does not match; KQ_IsIdent is
// asked only of keys with a matching hash. Identical keys hash alike, so this
// finds exactly the entry KQ_IsIdent alone would find. Growing the table
// calls no key either. A node
// is made in a slot of one of the dictionary's node blocks.
struct KQ_TDict::Node {
  Node(std::unique_ptr<KQ_IHashable> key, std::uint32_t hash)
      : fNext(nullptr), fHash(hash), fKey(std::move(key)) {}
  Node(Node const&) = delete;
  Node& operator=(Node const&) = delete;

  Node* fNext;
  std::uint32_t fHash;
  std::unique_ptr<KQ_IHashable> fKey;
  KQ_TAny fValue;
};

// A block of node slots, followed in the same allocation by its slots. The
// first block of a dictionary holds a few nodes; each further block twice as
// many as the one before, up to kMaxSlots.
struct KQ_TDict::NodeBlock {
  static constexpr std::uint32_t kFirstSlots = 4;
  static constexpr std::uint32_t kMaxSlots = 4096;
  // The slots start after the header, aligned for nodes.
  static constexpr std::size_t SlotOffset() {
    return (sizeof(NodeBlock) + alignof(Node) - 1) / alignof(Node) * alignof(Node);
  }
  static std::uint32_t AllocationSize(std::uint32_t slots) {
    return static_cast<std::uint32_t>(SlotOffset() + std::size_t{slots} * sizeof(Node));
  }

  void* Slot(std::uint32_t i) {
    return reinterpret_cast<unsigned char*>(this) + SlotOffset() + std::size_t{i} * sizeof(Node);
  }

  NodeBlock* fNext;
  std::uint32_t fCapacity;
  std::uint32_t fUsed;
};

// The slot of a destroyed node, linked into the dictionary's free slots.
struct KQ_TDict::FreeSlot {
  FreeSlot* fNext;
};

namespace {

constexpr unsigned char kPackingCode = 69;

// One level of print indentation for the lifetime of the guard, given back
// even when printing an entry raises.
class IndentLevel {
 public:
  IndentLevel() { KQ_IPrintable::Indent(); }
  ~IndentLevel() { KQ_IPrintable::ReverseIndent(); }
  IndentLevel(IndentLevel const&) = delete;
  IndentLevel& operator=(IndentLevel const&) = delete;
};

// The dictionary's own copy of a key. A clone that is not hashable raises
// KQ_EIllegalCast and is destroyed.
std::unique_ptr<KQ_IHashable> HashableClone(KQ_IHashable const& key) {
  std::unique_ptr<KQ_IPackable> clone(key.KQ_Clone());
  if (clone == nullptr) KQ_THROW(KQ_EIllegalCast());
  auto* hashable = static_cast<KQ_IHashable*>(
      clone->DynamicCast(KQ_IHashable::KQ_ClassName(), __FILE__, __LINE__));
  std::unique_ptr<KQ_IHashable> owned(hashable);
  clone.release();
  return owned;
}

}  // namespace

bool KQ_TDict::KQ_Initialize() {
  KQ_TDataStream::RegisterSpecificType(kPackingCode, KQ_ClassObject());
  return true;
}

KQ_TDict::KQ_TDict() : KQ_TDict(kDefaultBuckets) {}

KQ_TDict::KQ_TDict(std::uint32_t buckets)
    : fTable{0, 0, nullptr}, fBlocks(nullptr), fFreeSlots(nullptr) {
  std::uint32_t const count = buckets == 0 ? kDefaultBuckets : buckets;
  fTable.fBuckets = NewBuckets(count);
  fTable.fBucketCount = count;
}

// Delegating first makes the dictionary complete, so that a failing copy of
// an entry destroys the entries copied before it.
KQ_TDict::KQ_TDict(KQ_TDict const& other, std::uint32_t buckets) : KQ_TDict(buckets) {
  *this += other;
}

KQ_TDict::~KQ_TDict() {
  Clear();
  KQ_Free(fTable.fBuckets);
}

KQ_TDict& KQ_TDict::operator=(KQ_TDict const& other) {
  if (this == &other) return *this;
  KQ_TDict copy(other, fTable.fBucketCount);
  Swap(copy);
  return *this;
}

KQ_IPackable& KQ_TDict::operator=(KQ_IUnpacking& unpacker) {
  return KQ_IPackable::operator=(unpacker);
}

bool KQ_TDict::IsEmpty() const { return fTable.fEntries == 0; }

std::uint32_t KQ_TDict::Entries() const { return fTable.fEntries; }

bool KQ_TDict::HasKey(wchar_t const* key) const { return HasKey(KQ_TString(key)); }

bool KQ_TDict::HasKey(char const* key) const { return HasKey(KQ_TString(key)); }

bool KQ_TDict::HasKey(char16_t const* key) const { return HasKey(KQ_TString(key)); }

bool KQ_TDict::HasKey(KQ_IHashable const& key) const { return Find(key) != nullptr; }

bool KQ_TDict::Contains(KQ_TAny const& value) const {
  for (std::uint32_t b = fTable.fBucketCount; b-- > 0;) {
    for (Node const* node = fTable.fBuckets[b]; node != nullptr; node = node->fNext) {
      if (node->fValue == value) return true;
    }
  }
  return false;
}

KQ_IHashable const& KQ_TDict::KeyOf(KQ_TAny const& value) const {
  for (std::uint32_t b = fTable.fBucketCount; b-- > 0;) {
    for (Node const* node = fTable.fBuckets[b]; node != nullptr; node = node->fNext) {
      if (node->fValue == value) return *node->fKey;
    }
  }
  KQ_THROW(KQ_ENoMatchingDictValue());
}

KQ_TAny const& KQ_TDict::operator[](wchar_t const* key) const {
  return (*this)[static_cast<KQ_IHashable const&>(KQ_TString(key))];
}

KQ_TAny const& KQ_TDict::operator[](char const* key) const {
  return (*this)[static_cast<KQ_IHashable const&>(KQ_TString(key))];
}

KQ_TAny const& KQ_TDict::operator[](char16_t const* key) const {
  return (*this)[static_cast<KQ_IHashable const&>(KQ_TString(key))];
}

KQ_TAny const& KQ_TDict::operator[](KQ_IHashable const& key) const {
  Node const* node = Find(key);
  return node != nullptr ? node->fValue : KQ_TAny::Illegal();
}

KQ_TAny& KQ_TDict::operator[](wchar_t const* key) {
  return (*this)[static_cast<KQ_IHashable const&>(KQ_TString(key))];
}

KQ_TAny& KQ_TDict::operator[](char const* key) {
  return (*this)[static_cast<KQ_IHashable const&>(KQ_TString(key))];
}

KQ_TAny& KQ_TDict::operator[](char16_t const* key) {
  return (*this)[static_cast<KQ_IHashable const&>(KQ_TString(key))];
}

KQ_TAny& KQ_TDict::operator[](KQ_IHashable const& key) { return Slot(key)->fValue; }

KQ_TAny const* KQ_TDict::ValueOfKey(wchar_t const* key) const {
  return ValueOfKey(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TAny const* KQ_TDict::ValueOfKey(char const* key) const {
  return ValueOfKey(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TAny const* KQ_TDict::ValueOfKey(char16_t const* key) const {
  return ValueOfKey(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TAny const* KQ_TDict::ValueOfKey(KQ_IHashable const& key) const {
  Node const* node = Find(key);
  return node != nullptr ? &node->fValue : nullptr;
}

KQ_TAny* KQ_TDict::ValueOfKey(wchar_t const* key) {
  return ValueOfKey(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TAny* KQ_TDict::ValueOfKey(char const* key) {
  return ValueOfKey(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TAny* KQ_TDict::ValueOfKey(char16_t const* key) {
  return ValueOfKey(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TAny* KQ_TDict::ValueOfKey(KQ_IHashable const& key) {
  Node* node = Find(key);
  return node != nullptr ? &node->fValue : nullptr;
}

KQ_TDict& KQ_TDict::Add(wchar_t const* key, KQ_TAny const& value) {
  return Add(static_cast<KQ_IHashable const&>(KQ_TString(key)), value);
}

KQ_TDict& KQ_TDict::Add(char const* key, KQ_TAny const& value) {
  return Add(static_cast<KQ_IHashable const&>(KQ_TString(key)), value);
}

KQ_TDict& KQ_TDict::Add(char16_t const* key, KQ_TAny const& value) {
  return Add(static_cast<KQ_IHashable const&>(KQ_TString(key)), value);
}

KQ_TDict& KQ_TDict::Add(KQ_IHashable const& key, KQ_TAny const& value) {
  (*this)[key] = value;
  return *this;
}

KQ_TDict& KQ_TDict::Remove(wchar_t const* key) {
  return Remove(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TDict& KQ_TDict::Remove(char const* key) {
  return Remove(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TDict& KQ_TDict::Remove(char16_t const* key) {
  return Remove(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TDict& KQ_TDict::Remove(KQ_IHashable const& key) {
  std::uint32_t const hash = key.KQ_HashValue(0);
  Node** link = FindLink(key, hash);
  // key may be the stored key itself: it is not used once the node is gone.
  if (*link != nullptr) Unlink(link);
  return *this;
}

bool KQ_TDict::operator==(KQ_TDict const& other) const {
  return fTable.fEntries == other.fTable.fEntries && IsSubsetOf(other);
}

bool KQ_TDict::operator!=(KQ_TDict const& other) const { return !(*this == other); }

bool KQ_TDict::operator<=(KQ_TDict const& other) const {
  return fTable.fEntries <= other.fTable.fEntries && IsSubsetOf(other);
}

bool KQ_TDict::operator>=(KQ_TDict const& other) const { return other <= *this; }

KQ_TDict& KQ_TDict::operator+=(KQ_TDict const& other) {
  // Adding to itself walks a copy: a key that is not identical to itself
  // (an Any holding NaN) adds a new entry each time, which must not land in
  // the table being walked.
  if (this == &other) return *this += KQ_TDict(other);
  for (std::uint32_t b = other.fTable.fBucketCount; b-- > 0;) {
    for (Node const* node = other.fTable.fBuckets[b]; node != nullptr; node = node->fNext) {
      Slot(*node->fKey, node->fHash)->fValue = node->fValue;
    }
  }
  return *this;
}

KQ_IIterationInfo* KQ_TDict::CreateIterationInfo() const {
  return new KQ_TDictIterationInfo(*this);
}

void KQ_TDict::KQ_Pack(KQ_IPacking& packer) const {
  packer << fTable.fEntries;
  KQ_TDataStream::ElementWriter writeValue(packer);
  for (std::uint32_t b = fTable.fBucketCount; b-- > 0;) {
    for (Node const* node = fTable.fBuckets[b]; node != nullptr; node = node->fNext) {
      // Keys live apart from their nodes: fetching the next one while this
      // one is written hides most of the wait for it.
      if (node->fNext != nullptr) KQ_PREFETCH(node->fNext->fKey.get());
      packer << static_cast<KQ_IPackable const&>(*node->fKey);
      writeValue(node->fValue);
    }
  }
}

void KQ_TDict::KQ_Unpack(KQ_IUnpacking& unpacker) {
  Clear();
  std::uint32_t count = 0;
  unpacker >> count;
  KQ_TDataStream::ElementReader readValue(unpacker);
  for (std::uint32_t i = 0; i < count; ++i) {
    // The key comes from the data: it may be no object at all, or one that
    // cannot be a key.
    std::unique_ptr<KQ_IPackable> packed(unpacker.Extract(false));
    auto* hashable =
        packed == nullptr
            ? nullptr
            : static_cast<KQ_IHashable*>(packed->KQ_Cast(KQ_IHashable::KQ_ClassName()));
    if (hashable == nullptr) KQ_THROW(KQ_EWrongPackedType());
    std::unique_ptr<KQ_IHashable> key(hashable);
    packed.release();
    KQ_TAny value;
    readValue(value);
    // As an assignment through operator[], without cloning the key that was
    // just read.
    std::uint32_t const hash = key->KQ_HashValue(0);
    Node* node = Find(*key, hash);
    if (node == nullptr) node = Link(std::move(key), hash);
    node->fValue.Swap(value);
  }
}

KQ_IPackable* KQ_TDict::KQ_Clone(void*) const { return new KQ_TDict(*this); }

bool KQ_TDict::KQ_IsIdent(KQ_IPackable const& other) const {
  auto const* dict = static_cast<KQ_TDict const*>(other.KQ_Cast(KQ_ClassName()));
  return dict != nullptr && *this == *dict;
}

void KQ_TDict::PrintOn(std::ostream& os) const {
  os << "DICT\n" << KQ_IPrintable::Prefix() << "{\n";
  {
    IndentLevel const entries;
    for (std::uint32_t b = fTable.fBucketCount; b-- > 0;) {
      for (Node const* node = fTable.fBuckets[b]; node != nullptr; node = node->fNext) {
        os << KQ_IPrintable::Prefix() << '[';
        {
          IndentLevel const nested;
          auto const* key =
              static_cast<KQ_IPrintable const*>(node->fKey->KQ_Cast(KQ_IPrintable::KQ_ClassName()));
          if (key != nullptr) {
            key->PrintOn(os);
          } else {
            os << "<NON-PRINTABLE>";
          }
          os << "] = ";
          node->fValue.PrintOn(os);
        }
        os << '\n';
      }
    }
  }
  os << KQ_IPrintable::Prefix() << '}';
}

bool KQ_TDict::KQ_HRMultiLine() const { return fTable.fEntries != 0; }

bool KQ_TDict::WriteTo(KQ_THumanReadableStream& stream) const {
  bool first = true;
  for (std::uint32_t b = fTable.fBucketCount; b-- > 0;) {
    for (Node const* node = fTable.fBuckets[b]; node != nullptr; node = node->fNext) {
      if (!first) stream << cr;
      first = false;
      stream.WriteTokens("[ ");
      stream << indent;
      auto const* key = static_cast<KQ_IHumanReadable const*>(
          node->fKey->KQ_Cast(KQ_IHumanReadable::KQ_ClassName()));
      if (key != nullptr) {
        stream << *key;
      } else {
        stream.WritePackable(*node->fKey);
      }
      stream.WriteTokens(" ] = ");
      stream << indent << static_cast<KQ_IHumanReadable const&>(node->fValue) << back << back;
    }
  }
  return false;
}

bool KQ_TDict::ReadFrom(KQ_THumanReadableStream& stream) {
  Clear();
  for (;;) {
    stream.SkipWhiteSpace();
    unsigned char const opening = stream.Read();
    if (opening == '}') return true;
    if (opening != '[') stream.SyntaxError();
    std::unique_ptr<KQ_IHumanReadable> read(stream.Extract());
    auto* const hashable = static_cast<KQ_IHashable*>(read->KQ_Cast(KQ_IHashable::KQ_ClassName()));
    if (hashable == nullptr) stream.SyntaxError();
    std::unique_ptr<KQ_IHashable> key(hashable);
    read.release();
    std::uint32_t hash = 0;
    try {
      hash = key->KQ_HashValue(0);
    } catch (KQ_EAnyContainsUnhashableType const&) {
      // An Any read from a packed block may hold an object that cannot be a
      // key.
      stream.SyntaxError();
    }
    stream.Expect(']').Expect('=');
    KQ_TAny value;
    stream >> static_cast<KQ_IHumanReadable&>(value);
    // As an assignment through operator[], without cloning the key that was
    // just read.
    Node* node = Find(*key, hash);
    if (node == nullptr) node = Link(std::move(key), hash);
    node->fValue.Swap(value);
  }
}

KQ_TDict::Node** KQ_TDict::NewBuckets(std::uint32_t count) {
  return static_cast<Node**>(KQ_CAlloc(count, sizeof(Node*)));
}

KQ_TDict::Node** KQ_TDict::FindLink(KQ_IHashable const& key, std::uint32_t hash) const {
  Node** link = &fTable.fBuckets[hash % fTable.fBucketCount];
  while (*link != nullptr && !((*link)->fHash == hash && (*link)->fKey->KQ_IsIdent(key))) {
    link = &(*link)->fNext;
  }
  return link;
}

KQ_TDict::Node* KQ_TDict::Find(KQ_IHashable const& key, std::uint32_t hash) const {
  return *FindLink(key, hash);
}

KQ_TDict::Node* KQ_TDict::Find(KQ_IHashable const& key) const {
  return *FindLink(key, key.KQ_HashValue(0));
}

KQ_TDict::Node* KQ_TDict::Slot(KQ_IHashable const& key) { return Slot(key, key.KQ_HashValue(0)); }

KQ_TDict::Node* KQ_TDict::Slot(KQ_IHashable const& key, std::uint32_t hash) {
  if (Node* node = *FindLink(key, hash)) return node;
  return Link(HashableClone(key), hash);
}

KQ_TDict::Node* KQ_TDict::Link(std::unique_ptr<KQ_IHashable> key, std::uint32_t hash) {
  Node* const node = NewNode(std::move(key), hash);
  try {
    GrowIfFull();
  } catch (...) {
    DeleteNode(node);
    throw;
  }
  Node*& head = fTable.fBuckets[hash % fTable.fBucketCount];
  node->fNext = head;
  head = node;
  ++fTable.fEntries;
  return node;
}

void KQ_TDict::GrowIfFull() {
  if (fTable.fEntries < fTable.fBucketCount || fTable.fBucketCount >= kMaxGrownBuckets) return;
  std::uint32_t const count = std::min(fTable.fBucketCount * 2, kMaxGrownBuckets);
  Node** const buckets = NewBuckets(count);
  for (std::uint32_t b = fTable.fBucketCount; b-- > 0;) {
    Node* node = fTable.fBuckets[b];
    while (node != nullptr) {
      Node* const next = node->fNext;
      Node*& head = buckets[node->fHash % count];
      node->fNext = head;
      head = node;
      node = next;
    }
  }
  KQ_Free(fTable.fBuckets);
  fTable.fBuckets = buckets;
  fTable.fBucketCount = count;
}

void KQ_TDict::Unlink(Node** link) {
  Node* const node = *link;
  *link = node->fNext;
  --fTable.fEntries;
  DeleteNode(node);
}

void KQ_TDict::RemoveNode(std::uint32_t bucket, Node const* node) {
  Node** link = &fTable.fBuckets[bucket];
  while (*link != nullptr && *link != node) link = &(*link)->fNext;
  if (*link != nullptr) Unlink(link);
}

bool KQ_TDict::IsSubsetOf(KQ_TDict const& other) const {
  for (std::uint32_t b = 0; b < fTable.fBucketCount; ++b) {
    for (Node const* node = fTable.fBuckets[b]; node != nullptr; node = node->fNext) {
      Node const* theirs = other.Find(*node->fKey, node->fHash);
      if (theirs == nullptr || !node->fValue.KQ_IsIdent(theirs->fValue)) return false;
    }
  }
  return true;
}

KQ_TDict::Node* KQ_TDict::NewNode(std::unique_ptr<KQ_IHashable> key, std::uint32_t hash) {
  void* const slot = TakeSlot();
  try {
    return new (slot) Node(std::move(key), hash);
  } catch (...) {
    ReleaseSlot(slot);
    throw;
  }
}

void KQ_TDict::DeleteNode(Node* node) {
  node->~Node();
  ReleaseSlot(node);
}

void* KQ_TDict::TakeSlot() {
  if (fFreeSlots != nullptr) {
    FreeSlot* const slot = fFreeSlots;
    fFreeSlots = slot->fNext;
    return slot;
  }
  if (fBlocks == nullptr || fBlocks->fUsed == fBlocks->fCapacity) {
    std::uint32_t const capacity = fBlocks == nullptr
                                       ? NodeBlock::kFirstSlots
                                       : std::min(fBlocks->fCapacity * 2, NodeBlock::kMaxSlots);
    fBlocks = new (KQ_Alloc(NodeBlock::AllocationSize(capacity))) NodeBlock{fBlocks, capacity, 0};
  }
  return fBlocks->Slot(fBlocks->fUsed++);
}

void KQ_TDict::ReleaseSlot(void* slot) { fFreeSlots = new (slot) FreeSlot{fFreeSlots}; }

void KQ_TDict::Clear() {
  for (std::uint32_t b = 0; b < fTable.fBucketCount; ++b) {
    Node* node = fTable.fBuckets[b];
    while (node != nullptr) {
      Node* const next = node->fNext;
      node->~Node();
      node = next;
    }
    fTable.fBuckets[b] = nullptr;
  }
  fTable.fEntries = 0;
  while (fBlocks != nullptr) {
    NodeBlock* const next = fBlocks->fNext;
    KQ_Free(fBlocks);
    fBlocks = next;
  }
  fFreeSlots = nullptr;
}

void KQ_TDict::Swap(KQ_TDict& other) {
  std::swap(fTable, other.fTable);
  std::swap(fBlocks, other.fBlocks);
  std::swap(fFreeSlots, other.fFreeSlots);
}

KQ_TDictIterationInfo::KQ_TDictIterationInfo()
    : fDict(nullptr), fBucket(0), fCurrent(nullptr), fBeforeStart(true), fAfterEnd(true) {}

KQ_TDictIterationInfo::KQ_TDictIterationInfo(KQ_TDict const& dict)
    // The cursor of a dictionary given as constant may still delete through
    // DeleteItem; KQ_TConstIterator is the read-only way to walk.
    : fDict(const_cast<KQ_TDict*>(&dict)),
      fBucket(0),
      fCurrent(nullptr),
      fBeforeStart(true),
      fAfterEnd(true) {
  Start();
}

KQ_TDictIterationInfo::~KQ_TDictIterationInfo() = default;

KQ_IIterationInfo* KQ_TDictIterationInfo::Clone() const { return new KQ_TDictIterationInfo(*this); }

KQ_IIterationInfo& KQ_TDictIterationInfo::Start() {
  Dict();
  bool const found = SeekForward(0);
  if (!found) fCurrent = nullptr;
  fBeforeStart = fAfterEnd = !found;
  return *this;
}

KQ_IIterationInfo& KQ_TDictIterationInfo::End() {
  bool const found = SeekBackward(Dict().fTable.fBucketCount);
  if (!found) fCurrent = nullptr;
  fBeforeStart = fAfterEnd = !found;
  return *this;
}

KQ_IIterationInfo& KQ_TDictIterationInfo::Next() {
  Dict();
  if (fBeforeStart) return Start();
  if (fAfterEnd) return *this;
  if (fCurrent->fNext != nullptr) {
    fCurrent = fCurrent->fNext;
  } else if (!SeekForward(fBucket + 1)) {
    fCurrent = nullptr;
    fAfterEnd = true;
  }
  return *this;
}

KQ_IIterationInfo& KQ_TDictIterationInfo::Prev() {
  KQ_TDict const& dict = Dict();
  if (fAfterEnd) return End();
  if (fBeforeStart) return *this;
  KQ_TDict::Node* previous = dict.fTable.fBuckets[fBucket];
  if (previous == fCurrent) {
    if (!SeekBackward(fBucket)) {
      fCurrent = nullptr;
      fBeforeStart = true;
    }
    return *this;
  }
  while (previous != nullptr && previous->fNext != fCurrent) previous = previous->fNext;
  fCurrent = previous;
  fBeforeStart = previous == nullptr;
  return *this;
}

bool KQ_TDictIterationInfo::IsBeforeStart() const {
  Dict();
  return fBeforeStart;
}

bool KQ_TDictIterationInfo::IsAfterEnd() const {
  Dict();
  return fAfterEnd;
}

KQ_IPackable& KQ_TDictIterationInfo::Key() { return *Current().fKey; }

KQ_TAny& KQ_TDictIterationInfo::Value() { return Current().fValue; }

KQ_IIterationInfo& KQ_TDictIterationInfo::DeleteItem() {
  KQ_TDict::Node const& removed = Current();
  std::uint32_t const bucket = fBucket;
  Prev();
  fDict->RemoveNode(bucket, &removed);
  return *this;
}

KQ_TDict& KQ_TDictIterationInfo::Dict() const {
  if (fDict == nullptr) KQ_THROW(KQ_EIteratorNotInitialized());
  return *fDict;
}

KQ_TDict::Node& KQ_TDictIterationInfo::Current() const {
  Dict();
  if (fBeforeStart || fAfterEnd || fCurrent == nullptr) KQ_THROW(KQ_EIteratorOutOfBounds());
  return *fCurrent;
}

bool KQ_TDictIterationInfo::SeekForward(std::uint32_t bucket) {
  KQ_TDict const& dict = Dict();
  for (std::uint32_t b = bucket; b < dict.fTable.fBucketCount; ++b) {
    if (dict.fTable.fBuckets[b] != nullptr) {
      fBucket = b;
      fCurrent = dict.fTable.fBuckets[b];
      return true;
    }
  }
  return false;
}

bool KQ_TDictIterationInfo::SeekBackward(std::uint32_t bucket) {
  KQ_TDict const& dict = Dict();
  for (std::uint32_t b = bucket; b-- > 0;) {
    KQ_TDict::Node* node = dict.fTable.fBuckets[b];
    if (node != nullptr) {
      while (node->fNext != nullptr) node = node->fNext;
      fBucket = b;
      fCurrent = node;
      return true;
    }
  }
  return false;
}
