#include "kq_tdict_table.h"

#include <algorithm>
#include <new>
#include <utility>
#include <vector>

#include "kq_eexception.h"
#include "kq_ihumanreadable.h"
#include "kq_ipacking.h"
#include "kq_iprintable.h"
#include "kq_iunpacking.h"
#include "kq_memalloc.h"
#include "kq_tdatastream.h"
#include "kq_thumanreadablestream.h"

namespace kq {

// A block of node slots, followed in the same allocation by its slots, the
// first of which starts on a cache line, so that a node of a line's size
// lies in one line. The first block of a table holds a few nodes; each
// further block twice as many as the one before, up to kMaxSlots.
struct DictTable::NodeBlock {
  static constexpr std::uint32_t kFirstSlots = 4;
  static constexpr std::uint32_t kMaxSlots = 4096;
  static constexpr std::size_t kLine = 64;
  static std::uint32_t AllocationSize(std::uint32_t slots) {
    return static_cast<std::uint32_t>(sizeof(NodeBlock) + kLine +
                                      std::size_t{slots} * sizeof(Node));
  }

  void* Slot(std::uint32_t i) {
    std::uintptr_t const first =
        (reinterpret_cast<std::uintptr_t>(this) + sizeof(NodeBlock) + kLine - 1) / kLine * kLine;
    return reinterpret_cast<unsigned char*>(first) + std::size_t{i} * sizeof(Node);
  }

  NodeBlock* fNext;
  std::uint32_t fCapacity;
  std::uint32_t fUsed;
};

// The slot of a destroyed node, linked into the table's free slots.
struct DictTable::FreeSlot {
  FreeSlot* fNext;
};

namespace {

// A table of fewer entries than kListFrom is packed as it is walked. A
// larger one is packed a group of kChainsAtOnce buckets at a time: the
// group's entries are listed first, then written, fetching an entry's key
// and value 2 kAhead entries before it is written and the key's text kAhead
// entries before.
constexpr std::uint32_t kListFrom = 1024;
constexpr std::uint32_t kChainsAtOnce = 32;
constexpr std::size_t kAhead = 6;

// An entry as packing writes it.
struct PackingEntry {
  KQ_IHashable const* fKey;
  KQ_TDataStream::ElementWriter::Noted fValue;
};

// The entries of a group of buckets in packing order, the buckets from the
// last to the first and each chain from its head, listed by following the
// group's chains side by side, so that the cache misses on their nodes
// overlap instead of coming one after the other. Writing from the list then
// leaves the nodes alone. The lists keep their room from group to group.
class PackingGroup {
 public:
  PackingGroup() = default;
  PackingGroup(PackingGroup const&) = delete;
  PackingGroup& operator=(PackingGroup const&) = delete;

  std::vector<PackingEntry> const& List(DictTable const& table, std::uint32_t begin,
                                        std::uint32_t end) {
    DictTable::Node const* chains[kChainsAtOnce];
    std::uint32_t const lanes = end - begin;
    for (std::uint32_t i = 0; i < lanes; ++i) {
      chains[i] = table.Head(begin + i);
      fLanes[i].clear();
    }
    for (bool more = true; more;) {
      more = false;
      for (std::uint32_t i = 0; i < lanes; ++i) {
        if (DictTable::Node const* const node = chains[i]) {
          fLanes[i].push_back(
              PackingEntry{node->fKey.get(), KQ_TDataStream::ElementWriter::Noted(node->fValue)});
          chains[i] = node->fNext;
          more = true;
        }
      }
    }
    fEntries.clear();
    for (std::uint32_t i = lanes; i-- > 0;) {
      fEntries.insert(fEntries.end(), fLanes[i].begin(), fLanes[i].end());
    }
    return fEntries;
  }

 private:
  std::vector<PackingEntry> fLanes[kChainsAtOnce];
  std::vector<PackingEntry> fEntries;
};

void PrefetchEntry(PackingEntry const& entry) {
  KQ_PREFETCH(entry.fKey);
  KQ_TDataStream::ElementWriter::Prefetch(entry.fValue);
}

}  // namespace

DictTable::DictTable(std::uint32_t buckets, std::uint32_t growthLimit)
    : fBucketCount(0),
      fEntries(0),
      fGrowthLimit(growthLimit),
      fBuckets(nullptr),
      fBlocks(nullptr),
      fFreeSlots(nullptr) {
  std::uint32_t const count = buckets == 0 ? kDefaultBuckets : buckets;
  fBuckets = NewBuckets(count);
  fBucketCount = count;
}

DictTable::~DictTable() {
  Clear();
  KQ_Free(fBuckets);
}

std::unique_ptr<KQ_IHashable> DictTable::HashableClone(KQ_IHashable const& key) {
  std::unique_ptr<KQ_IPackable> clone(key.KQ_Clone());
  if (clone == nullptr) KQ_THROW(KQ_EIllegalCast());
  auto* hashable = static_cast<KQ_IHashable*>(
      clone->DynamicCast(KQ_IHashable::KQ_ClassName(), __FILE__, __LINE__));
  std::unique_ptr<KQ_IHashable> owned(hashable);
  clone.release();
  return owned;
}

DictTable::Node* DictTable::Slot(KQ_IHashable const& key) { return Slot(key, key.KQ_HashValue(0)); }

DictTable::Node* DictTable::Slot(KQ_IHashable const& key, std::uint32_t hash) {
  if (Node* node = *FindLink(key, hash)) return node;
  return Link(HashableClone(key), hash);
}

DictTable::Node* DictTable::Link(std::unique_ptr<KQ_IHashable> key, std::uint32_t hash) {
  Node* const node = NewNode(std::move(key), hash);
  try {
    GrowIfFull();
  } catch (...) {
    DeleteNode(node);
    throw;
  }
  Node*& head = fBuckets[hash % fBucketCount];
  node->fNext = head;
  head = node;
  ++fEntries;
  return node;
}

void DictTable::Store(std::unique_ptr<KQ_IHashable> key, std::uint32_t hash, KQ_TAny& value) {
  Node* node = Find(*key, hash);
  if (node == nullptr) node = Link(std::move(key), hash);
  node->fValue.Swap(value);
}

void DictTable::Remove(KQ_IHashable const& key) {
  Node** link = FindLink(key, key.KQ_HashValue(0));
  if (*link != nullptr) Unlink(link);
}

void DictTable::RemoveNode(std::uint32_t bucket, Node const* node) {
  Node** link = &fBuckets[bucket];
  while (*link != nullptr && *link != node) link = &(*link)->fNext;
  if (*link != nullptr) Unlink(link);
}

void DictTable::Clear() {
  for (std::uint32_t b = 0; b < fBucketCount; ++b) {
    Node* node = fBuckets[b];
    while (node != nullptr) {
      Node* const next = node->fNext;
      node->~Node();
      node = next;
    }
    fBuckets[b] = nullptr;
  }
  fEntries = 0;
  while (fBlocks != nullptr) {
    NodeBlock* const next = fBlocks->fNext;
    KQ_Free(fBlocks);
    fBlocks = next;
  }
  fFreeSlots = nullptr;
}

void DictTable::Swap(DictTable& other) {
  std::swap(fBucketCount, other.fBucketCount);
  std::swap(fEntries, other.fEntries);
  std::swap(fGrowthLimit, other.fGrowthLimit);
  std::swap(fBuckets, other.fBuckets);
  std::swap(fBlocks, other.fBlocks);
  std::swap(fFreeSlots, other.fFreeSlots);
}

DictTable::Node* DictTable::FindValue(KQ_TAny const& value) const {
  return FindIf([&value](Node const& node) { return node.fValue == value; });
}

// Nodes, keys, the keys' text and the values' cells all lie apart, and the
// packing order visits them in an order no hardware prefetcher can guess,
// so writing a large table's entries as a walk reaches them would wait for
// several cache misses per entry, one after the other. Its entries are
// therefore listed a group at a time, and each is fetched in stages some
// entries before it is written: its key and value, then the key's text,
// which can only be found once the key is there.
void DictTable::Pack(KQ_IPacking& packer) const {
  packer << fEntries;
  KQ_TDataStream::ElementWriter write(packer);
  if (fEntries < kListFrom) {
    ForEach([&write](Node const& node) {
      write.Key(*node.fKey);
      write(node.fValue);
    });
    return;
  }
  PackingGroup group;
  for (std::uint32_t end = fBucketCount; end > 0;) {
    std::uint32_t const begin = end > kChainsAtOnce ? end - kChainsAtOnce : 0;
    std::vector<PackingEntry> const& entries = group.List(*this, begin, end);
    std::size_t const count = entries.size();
    for (std::size_t i = 0; i < count; ++i) {
      if (i + 2 * kAhead < count) PrefetchEntry(entries[i + 2 * kAhead]);
      if (i + kAhead < count) KQ_TDataStream::ElementWriter::PrefetchKey(*entries[i + kAhead].fKey);
      write.Key(*entries[i].fKey);
      write(entries[i].fValue);
    }
    end = begin;
  }
}

void DictTable::Unpack(KQ_IUnpacking& unpacker) {
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
    std::uint32_t const hash = key->KQ_HashValue(0);
    Store(std::move(key), hash, value);
  }
}

void DictTable::Print(std::ostream& os, char const* heading) const {
  os << heading << '\n' << KQ_IPrintable::Prefix() << "{\n";
  {
    KQ_IPrintable::IndentLevel const entries;
    ForEach([&os](Node const& node) {
      os << KQ_IPrintable::Prefix() << '[';
      {
        KQ_IPrintable::IndentLevel const nested;
        auto const* key =
            static_cast<KQ_IPrintable const*>(node.fKey->KQ_Cast(KQ_IPrintable::KQ_ClassName()));
        if (key != nullptr) {
          key->PrintOn(os);
        } else {
          os << "<NON-PRINTABLE>";
        }
        os << "] = ";
        node.fValue.PrintOn(os);
      }
      os << '\n';
    });
  }
  os << KQ_IPrintable::Prefix() << '}';
}

void DictTable::Write(KQ_THumanReadableStream& stream) const {
  bool first = true;
  ForEach([&](Node const& node) {
    if (!first) stream << cr;
    first = false;
    stream.WriteTokens("[ ");
    stream << indent;
    auto const* key = static_cast<KQ_IHumanReadable const*>(
        node.fKey->KQ_Cast(KQ_IHumanReadable::KQ_ClassName()));
    if (key != nullptr) {
      stream << *key;
    } else {
      stream.WritePackable(*node.fKey);
    }
    stream.WriteTokens(" ] = ");
    stream << indent << static_cast<KQ_IHumanReadable const&>(node.fValue) << back << back;
  });
}

void DictTable::Read(KQ_THumanReadableStream& stream) {
  Clear();
  for (;;) {
    stream.SkipWhiteSpace();
    unsigned char const opening = stream.Read();
    if (opening == '}') return;
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
    Store(std::move(key), hash, value);
  }
}

DictTable::Node** DictTable::NewBuckets(std::uint32_t count) {
  return static_cast<Node**>(KQ_CAlloc(count, sizeof(Node*)));
}

void DictTable::GrowIfFull() {
  if (fEntries < fBucketCount || fBucketCount >= fGrowthLimit) return;
  std::uint32_t const count = std::min(fBucketCount * 2, fGrowthLimit);
  Node** const buckets = NewBuckets(count);
  for (std::uint32_t b = fBucketCount; b-- > 0;) {
    Node* node = fBuckets[b];
    while (node != nullptr) {
      Node* const next = node->fNext;
      Node*& head = buckets[node->fHash % count];
      node->fNext = head;
      head = node;
      node = next;
    }
  }
  KQ_Free(fBuckets);
  fBuckets = buckets;
  fBucketCount = count;
}

void DictTable::Unlink(Node** link) {
  Node* const node = *link;
  *link = node->fNext;
  --fEntries;
  DeleteNode(node);
}

DictTable::Node* DictTable::NewNode(std::unique_ptr<KQ_IHashable> key, std::uint32_t hash) {
  void* const slot = TakeSlot();
  try {
    return new (slot) Node(std::move(key), hash);
  } catch (...) {
    ReleaseSlot(slot);
    throw;
  }
}

void DictTable::DeleteNode(Node* node) {
  node->~Node();
  ReleaseSlot(node);
}

void* DictTable::TakeSlot() {
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

void DictTable::ReleaseSlot(void* slot) { fFreeSlots = new (slot) FreeSlot{fFreeSlots}; }

DictTableCursor::DictTableCursor(DictTable const* table)
    // The cursor of a container given as constant may still delete through
    // DeleteItem; KQ_TConstIterator is the read-only way to walk.
    : fTable(const_cast<DictTable*>(table)),
      fBucket(0),
      fCurrent(nullptr),
      fBeforeStart(true),
      fAfterEnd(true) {
  if (fTable != nullptr) Start();
}

DictTableCursor::~DictTableCursor() = default;

KQ_IIterationInfo& DictTableCursor::Start() {
  Table();
  bool const found = SeekForward(0);
  if (!found) fCurrent = nullptr;
  fBeforeStart = fAfterEnd = !found;
  return *this;
}

KQ_IIterationInfo& DictTableCursor::End() {
  bool const found = SeekBackward(Table().BucketCount());
  if (!found) fCurrent = nullptr;
  fBeforeStart = fAfterEnd = !found;
  return *this;
}

KQ_IIterationInfo& DictTableCursor::Next() {
  Table();
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

KQ_IIterationInfo& DictTableCursor::Prev() {
  DictTable const& table = Table();
  if (fAfterEnd) return End();
  if (fBeforeStart) return *this;
  DictTable::Node* previous = table.Head(fBucket);
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

bool DictTableCursor::IsBeforeStart() const {
  Table();
  return fBeforeStart;
}

bool DictTableCursor::IsAfterEnd() const {
  Table();
  return fAfterEnd;
}

KQ_IPackable& DictTableCursor::Key() { return *Current().fKey; }

KQ_TAny& DictTableCursor::Value() { return Current().fValue; }

KQ_IIterationInfo& DictTableCursor::DeleteItem() {
  DictTable::Node const& removed = Current();
  std::uint32_t const bucket = fBucket;
  Prev();
  fTable->RemoveNode(bucket, &removed);
  return *this;
}

DictTable& DictTableCursor::Table() const {
  if (fTable == nullptr) KQ_THROW(KQ_EIteratorNotInitialized());
  return *fTable;
}

DictTable::Node& DictTableCursor::Current() const {
  Table();
  if (fBeforeStart || fAfterEnd || fCurrent == nullptr) KQ_THROW(KQ_EIteratorOutOfBounds());
  return *fCurrent;
}

bool DictTableCursor::SeekForward(std::uint32_t bucket) {
  DictTable const& table = Table();
  for (std::uint32_t b = bucket; b < table.BucketCount(); ++b) {
    if (DictTable::Node* const head = table.Head(b)) {
      fBucket = b;
      fCurrent = head;
      return true;
    }
  }
  return false;
}

bool DictTableCursor::SeekBackward(std::uint32_t bucket) {
  DictTable const& table = Table();
  for (std::uint32_t b = bucket; b-- > 0;) {
    DictTable::Node* node = table.Head(b);
    if (node != nullptr) {
      while (node->fNext != nullptr) node = node->fNext;
      fBucket = b;
      fCurrent = node;
      return true;
    }
  }
  return false;
}

}  // namespace kq
