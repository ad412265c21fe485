#include "internal/kq_tdict_table.h"

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
struct DictNodeBlock {
  static constexpr std::uint32_t kFirstSlots = 4;
  static constexpr std::uint32_t kMaxSlots = 4096;
  static constexpr std::size_t kLine = 64;
  static std::uint32_t AllocationSize(std::uint32_t slots) {
    return static_cast<std::uint32_t>(sizeof(DictNodeBlock) + kLine +
                                      std::size_t{slots} * sizeof(DictNode));
  }

  void* Slot(std::uint32_t i) {
    std::uintptr_t const first =
        (reinterpret_cast<std::uintptr_t>(this) + sizeof(DictNodeBlock) + kLine - 1) / kLine *
        kLine;
    return reinterpret_cast<unsigned char*>(first) + std::size_t{i} * sizeof(DictNode);
  }

  DictNodeBlock* fNext;
  std::uint32_t fCapacity;
  std::uint32_t fUsed;
};

// The slot of a destroyed node, linked into the table's free slots.
struct DictFreeSlot {
  DictFreeSlot* fNext;
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
    DictNode const* chains[kChainsAtOnce];
    std::uint32_t const lanes = end - begin;
    for (std::uint32_t i = 0; i < lanes; ++i) {
      chains[i] = table.fBuckets[begin + i];
      fLanes[i].clear();
    }
    for (bool more = true; more;) {
      more = false;
      for (std::uint32_t i = 0; i < lanes; ++i) {
        if (DictNode const* const node = chains[i]) {
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

DictNode** NewBuckets(std::uint32_t count) {
  return static_cast<DictNode**>(KQ_CAlloc(count, sizeof(DictNode*)));
}

void GrowIfFull(DictTable& table) {
  if (table.fEntries < table.fBucketCount || table.fBucketCount >= table.fGrowthLimit) return;
  std::uint32_t const count = std::min(table.fBucketCount * 2, table.fGrowthLimit);
  DictNode** const buckets = NewBuckets(count);
  for (std::uint32_t b = table.fBucketCount; b-- > 0;) {
    DictNode* node = table.fBuckets[b];
    while (node != nullptr) {
      DictNode* const next = node->fNext;
      DictNode*& head = buckets[node->fHash % count];
      node->fNext = head;
      head = node;
      node = next;
    }
  }
  KQ_Free(table.fBuckets);
  table.fBuckets = buckets;
  table.fBucketCount = count;
}

// Node storage: a node is made in a free slot of the table's blocks and its
// slot is given back when it is destroyed. Keeping the nodes of one table
// together keeps a walk along a long chain within few pages.
void* TakeSlot(DictTable& table) {
  if (table.fFreeSlots != nullptr) {
    DictFreeSlot* const slot = table.fFreeSlots;
    table.fFreeSlots = slot->fNext;
    return slot;
  }
  DictNodeBlock*& blocks = table.fBlocks;
  if (blocks == nullptr || blocks->fUsed == blocks->fCapacity) {
    std::uint32_t const capacity = blocks == nullptr
                                       ? DictNodeBlock::kFirstSlots
                                       : std::min(blocks->fCapacity * 2, DictNodeBlock::kMaxSlots);
    blocks =
        new (KQ_Alloc(DictNodeBlock::AllocationSize(capacity))) DictNodeBlock{blocks, capacity, 0};
  }
  return blocks->Slot(blocks->fUsed++);
}

void ReleaseSlot(DictTable& table, void* slot) {
  table.fFreeSlots = new (slot) DictFreeSlot{table.fFreeSlots};
}

DictNode* NewNode(DictTable& table, std::unique_ptr<KQ_IHashable> key, std::uint32_t hash) {
  void* const slot = TakeSlot(table);
  try {
    return new (slot) DictNode(std::move(key), hash);
  } catch (...) {
    ReleaseSlot(table, slot);
    throw;
  }
}

void DeleteNode(DictTable& table, DictNode* node) {
  node->~DictNode();
  ReleaseSlot(table, node);
}

// Takes the node out of the link (a bucket's head or a node's next) that
// holds it and destroys it.
void Unlink(DictTable& table, DictNode** link) {
  DictNode* const node = *link;
  *link = node->fNext;
  --table.fEntries;
  DeleteNode(table, node);
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
  DictTableOps::Clear(*this);
  KQ_Free(fBuckets);
}

std::unique_ptr<KQ_IHashable> DictTableOps::HashableClone(KQ_IHashable const& key) {
  std::unique_ptr<KQ_IPackable> clone(key.KQ_Clone());
  if (clone == nullptr) KQ_THROW(KQ_EIllegalCast());
  auto* hashable = static_cast<KQ_IHashable*>(
      clone->DynamicCast(KQ_IHashable::KQ_ClassName(), __FILE__, __LINE__));
  std::unique_ptr<KQ_IHashable> owned(hashable);
  clone.release();
  return owned;
}

DictNode* DictTableOps::Slot(DictTable& table, KQ_IHashable const& key) {
  return Slot(table, key, key.KQ_HashValue(0));
}

DictNode* DictTableOps::Slot(DictTable& table, KQ_IHashable const& key, std::uint32_t hash) {
  if (Node* node = *FindLink(table, key, hash)) return node;
  return Link(table, HashableClone(key), hash);
}

DictNode* DictTableOps::Link(DictTable& table, std::unique_ptr<KQ_IHashable> key,
                             std::uint32_t hash) {
  Node* const node = NewNode(table, std::move(key), hash);
  try {
    GrowIfFull(table);
  } catch (...) {
    DeleteNode(table, node);
    throw;
  }
  Node*& head = table.fBuckets[hash % table.fBucketCount];
  node->fNext = head;
  head = node;
  ++table.fEntries;
  return node;
}

void DictTableOps::Store(DictTable& table, std::unique_ptr<KQ_IHashable> key, std::uint32_t hash,
                         KQ_TAny& value) {
  Node* node = Find(table, *key, hash);
  if (node == nullptr) node = Link(table, std::move(key), hash);
  node->fValue.Swap(value);
}

void DictTableOps::Remove(DictTable& table, KQ_IHashable const& key) {
  Node** link = FindLink(table, key, key.KQ_HashValue(0));
  if (*link != nullptr) Unlink(table, link);
}

void DictTableOps::RemoveNode(DictTable& table, std::uint32_t bucket, Node const* node) {
  Node** link = &table.fBuckets[bucket];
  while (*link != nullptr && *link != node) link = &(*link)->fNext;
  if (*link != nullptr) Unlink(table, link);
}

void DictTableOps::Clear(DictTable& table) {
  for (std::uint32_t b = 0; b < table.fBucketCount; ++b) {
    Node* node = table.fBuckets[b];
    while (node != nullptr) {
      Node* const next = node->fNext;
      node->~Node();
      node = next;
    }
    table.fBuckets[b] = nullptr;
  }
  table.fEntries = 0;
  while (table.fBlocks != nullptr) {
    DictNodeBlock* const next = table.fBlocks->fNext;
    KQ_Free(table.fBlocks);
    table.fBlocks = next;
  }
  table.fFreeSlots = nullptr;
}

void DictTableOps::Swap(DictTable& table, DictTable& other) {
  std::swap(table.fBucketCount, other.fBucketCount);
  std::swap(table.fEntries, other.fEntries);
  std::swap(table.fGrowthLimit, other.fGrowthLimit);
  std::swap(table.fBuckets, other.fBuckets);
  std::swap(table.fBlocks, other.fBlocks);
  std::swap(table.fFreeSlots, other.fFreeSlots);
}

DictNode* DictTableOps::FindValue(DictTable const& table, KQ_TAny const& value) {
  return FindIf(table, [&value](Node const& node) { return node.fValue == value; });
}

// Nodes, keys, the keys' text and the values' cells all lie apart, and the
// packing order visits them in an order no hardware prefetcher can guess,
// so writing a large table's entries as a walk reaches them would wait for
// several cache misses per entry, one after the other. Its entries are
// therefore listed a group at a time, and each is fetched in stages some
// entries before it is written: its key and value, then the key's text,
// which can only be found once the key is there.
void DictTableOps::Pack(DictTable const& table, KQ_IPacking& packer) {
  packer << table.fEntries;
  KQ_TDataStream::ElementWriter write(packer);
  if (table.fEntries < kListFrom) {
    ForEach(table, [&write](Node const& node) {
      write.Key(*node.fKey);
      write(node.fValue);
    });
    return;
  }
  PackingGroup group;
  for (std::uint32_t end = table.fBucketCount; end > 0;) {
    std::uint32_t const begin = end > kChainsAtOnce ? end - kChainsAtOnce : 0;
    std::vector<PackingEntry> const& entries = group.List(table, begin, end);
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

void DictTableOps::Unpack(DictTable& table, KQ_IUnpacking& unpacker) {
  Clear(table);
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
    Store(table, std::move(key), hash, value);
  }
}

void DictTableOps::Print(DictTable const& table, std::ostream& os, char const* heading) {
  os << heading << '\n' << KQ_IPrintable::Prefix() << "{\n";
  {
    KQ_IPrintable::IndentLevel const entries;
    ForEach(table, [&os](Node const& node) {
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

void DictTableOps::Write(DictTable const& table, KQ_THumanReadableStream& stream) {
  bool first = true;
  ForEach(table, [&](Node const& node) {
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

void DictTableOps::Read(DictTable& table, KQ_THumanReadableStream& stream) {
  Clear(table);
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
    Store(table, std::move(key), hash, value);
  }
}

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
  bool const found = SeekBackward(Table().fBucketCount);
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
  DictNode* previous = table.fBuckets[fBucket];
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
  DictNode const& removed = Current();
  std::uint32_t const bucket = fBucket;
  Prev();
  DictTableOps::RemoveNode(*fTable, bucket, &removed);
  return *this;
}

DictTable& DictTableCursor::Table() const {
  if (fTable == nullptr) KQ_THROW(KQ_EIteratorNotInitialized());
  return *fTable;
}

DictNode& DictTableCursor::Current() const {
  Table();
  if (fBeforeStart || fAfterEnd || fCurrent == nullptr) KQ_THROW(KQ_EIteratorOutOfBounds());
  return *fCurrent;
}

bool DictTableCursor::SeekForward(std::uint32_t bucket) {
  DictTable const& table = Table();
  for (std::uint32_t b = bucket; b < table.fBucketCount; ++b) {
    if (DictNode* const head = table.fBuckets[b]) {
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
    DictNode* node = table.fBuckets[b];
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
