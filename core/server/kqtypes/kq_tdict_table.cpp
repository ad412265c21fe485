#include "internal/kq_tdict_table.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <typeinfo>
#include <utility>
#include <vector>

#include "internal/kq_content_hash.h"
#include "internal/kq_read_budget.h"
#include "kq_eexception.h"
#include "kq_ihumanreadable.h"
#include "kq_ipacking.h"
#include "kq_iprintable.h"
#include "kq_iunpacking.h"
#include "kq_memalloc.h"
#include "kq_tdatastream.h"
#include "kq_thumanreadablestream.h"

namespace kq {

namespace {

constexpr std::uint32_t kNoNode = DictTable::kNoNode;

// Node storage: blocks of node slots, each allocation holding its slots from
// a cache line on, so that a node's entry and its room lie in one line each,
// with the start of the allocation just before the first slot. The first
// block of a table holds a few nodes, each further block twice as many as
// the one before, up to the numbers a block can give (2,048 nodes, 256 KB,
// so that the newest block of a large table leaves little unused).
constexpr std::uint32_t kFirstSlots = 4;
constexpr std::uint32_t kMaxSlots = 1u << DictTableOps::kBlockShift;
constexpr std::uint32_t kGrowingBlocks = 9;
static_assert(kFirstSlots << kGrowingBlocks == kMaxSlots);
// The last number a full set of blocks would give is kNoNode.
constexpr std::uint32_t kMaxBlocks = kNoNode >> DictTableOps::kBlockShift;
constexpr std::size_t kLine = 64;
static_assert(sizeof(DictNode) == 2 * kLine);

// The index: its first size, and its fill, at most kIndexFill of its slots
// (in eighths).
constexpr std::uint32_t kFirstIndexSize = 8;
constexpr std::uint32_t kIndexFill = 6;

std::uint32_t BlockSlots(std::uint32_t block) {
  return block < kGrowingBlocks ? kFirstSlots << block : kMaxSlots;
}

DictNode* NewBlock(std::uint32_t slots) {
  void* const start =
      KQ_Alloc(static_cast<std::uint32_t>(kLine + std::size_t{slots} * sizeof(DictNode)));
  std::uintptr_t const first =
      (reinterpret_cast<std::uintptr_t>(start) + sizeof start + kLine - 1) / kLine * kLine;
  std::memcpy(reinterpret_cast<void*>(first - sizeof start), &start, sizeof start);
  return reinterpret_cast<DictNode*>(first);
}

void FreeBlock(DictNode* first) {
  void* start = nullptr;
  std::memcpy(&start, reinterpret_cast<unsigned char*>(first) - sizeof start, sizeof start);
  KQ_Free(start);
}

// The slot of a destroyed node, linked into the table's free slots.
struct DictFreeSlot {
  std::uint32_t fNext;
};

void AddBlock(DictTable& table) {
  std::uint32_t const count = table.fBlockCount;
  if (count == kMaxBlocks) KQ_THROW(KQ_EOutOfMemory());
  // The list of blocks has room for a power of two of them.
  if ((count & (count - 1)) == 0) {
    std::uint32_t const room = count == 0 ? 1 : 2 * count;
    table.fBlocks = static_cast<DictNode**>(
        KQ_Realloc(table.fBlocks, static_cast<std::uint32_t>(room * sizeof(DictNode*))));
  }
  table.fBlocks[count] = NewBlock(BlockSlots(count));
  table.fBlockCount = count + 1;
  table.fNewestBlockUsed = 0;
}

// Node storage: a node is made in a free slot of the table's blocks and its
// slot is given back when it is destroyed. Keeping the nodes of one table
// together keeps a walk along a long chain within few pages.
std::uint32_t TakeSlot(DictTable& table) {
  if (table.fFreeSlots != kNoNode) {
    std::uint32_t const number = table.fFreeSlots;
    table.fFreeSlots =
        std::launder(reinterpret_cast<DictFreeSlot*>(DictTableOps::At(table, number)))->fNext;
    return number;
  }
  if (table.fBlockCount == 0 || table.fNewestBlockUsed == BlockSlots(table.fBlockCount - 1)) {
    AddBlock(table);
  }
  return (table.fBlockCount - 1) << DictTableOps::kBlockShift | table.fNewestBlockUsed++;
}

void ReleaseSlot(DictTable& table, std::uint32_t number) {
  new (DictTableOps::At(table, number)) DictFreeSlot{table.fFreeSlots};
  table.fFreeSlots = number;
}

// A node in a free slot, holding key (a key given by its owner, or a key to
// copy).
template <class Key>
std::uint32_t NewNode(DictTable& table, Key&& key, DictKeyHashes hashes) {
  std::uint32_t const number = TakeSlot(table);
  try {
    new (DictTableOps::At(table, number)) DictNode(std::forward<Key>(key), hashes);
  } catch (...) {
    ReleaseSlot(table, number);
    throw;
  }
  return number;
}

void DeleteNode(DictTable& table, std::uint32_t number) {
  DictTableOps::At(table, number)->~DictNode();
  ReleaseSlot(table, number);
}

std::uint32_t* NewBuckets(std::uint32_t count) {
  if (count > 0xFFFFFFFFu / sizeof(std::uint32_t)) KQ_THROW(KQ_EOutOfMemory());
  auto* const buckets = static_cast<std::uint32_t*>(
      KQ_Alloc(static_cast<std::uint32_t>(count * sizeof(std::uint32_t))));
  std::fill(buckets, buckets + count, kNoNode);
  return buckets;
}

// Pushes node, numbered number, onto the head of the chain whose head is
// held by head.
void PushFront(DictTable const& table, std::uint32_t& head, std::uint32_t number, DictNode* node) {
  if (head == kNoNode) {
    node->fNext = kNoNode;
    node->fPrev = number;
  } else {
    DictNode* const first = DictTableOps::At(table, head);
    node->fNext = head;
    node->fPrev = first->fPrev;
    first->fPrev = number;
  }
  head = number;
}

void TakeOutOfChain(DictTable& table, DictNode const* node) {
  std::uint32_t& head = table.fBuckets[node->fHash % table.fBucketCount];
  DictNode* const first = DictTableOps::At(table, head);
  if (node == first) {
    head = node->fNext;
    if (head != kNoNode) DictTableOps::At(table, head)->fPrev = node->fPrev;
    return;
  }
  DictTableOps::At(table, node->fPrev)->fNext = node->fNext;
  DictNode* const following = node->fNext != kNoNode ? DictTableOps::At(table, node->fNext) : first;
  following->fPrev = node->fPrev;
}

void GrowIfFull(DictTable& table) {
  if (table.fEntries < table.fBucketCount || table.fBucketCount >= table.fGrowthLimit) return;
  std::uint32_t const count = std::min(table.fBucketCount * 2, table.fGrowthLimit);
  std::uint32_t* const buckets = NewBuckets(count);
  for (std::uint32_t b = table.fBucketCount; b-- > 0;) {
    for (std::uint32_t n = table.fBuckets[b]; n != kNoNode;) {
      DictNode* const node = DictTableOps::At(table, n);
      std::uint32_t const next = node->fNext;
      PushFront(table, buckets[node->fHash % count], n, node);
      n = next;
    }
  }
  KQ_Free(table.fBuckets);
  table.fBuckets = buckets;
  table.fBucketCount = count;
}

void PlaceInIndex(DictIndexSlot* slots, std::uint32_t size, DictIndexSlot entry) {
  std::uint32_t i = DictTableOps::Home(entry.fTag, size);
  while (slots[i].fNode != kNoNode) i = DictTableOps::NextSlot(i, size);
  slots[i] = entry;
}

// Makes room in the index for one more entry: a full index grows by half,
// placing its entries anew by their tags alone.
void GrowIndexIfFull(DictTable& table) {
  std::uint64_t const size = table.fIndexSize;
  if ((std::uint64_t{table.fEntries} + 1) * 8 <= size * kIndexFill) return;
  std::uint64_t const grown = size == 0 ? kFirstIndexSize : size + size / 2;
  if (grown > 0xFFFFFFFFu / sizeof(DictIndexSlot)) KQ_THROW(KQ_EOutOfMemory());
  auto const count = static_cast<std::uint32_t>(grown);
  auto* const slots = static_cast<DictIndexSlot*>(
      KQ_Alloc(static_cast<std::uint32_t>(count * sizeof(DictIndexSlot))));
  std::fill(slots, slots + count, DictIndexSlot{0, kNoNode});
  for (std::uint32_t i = 0; i < table.fIndexSize; ++i) {
    if (table.fIndex[i].fNode != kNoNode) PlaceInIndex(slots, count, table.fIndex[i]);
  }
  KQ_Free(table.fIndex);
  table.fIndex = slots;
  table.fIndexSize = count;
}

// Frees slot, moving back the entries after it that it kept from their
// homes, so that no probe stops short of them.
void EraseFromIndex(DictTable& table, DictIndexSlot* slot) {
  DictIndexSlot* const slots = table.fIndex;
  std::uint32_t const size = table.fIndexSize;
  auto hole = static_cast<std::uint32_t>(slot - slots);
  for (std::uint32_t i = DictTableOps::NextSlot(hole, size); slots[i].fNode != kNoNode;
       i = DictTableOps::NextSlot(i, size)) {
    std::uint32_t const home = DictTableOps::Home(slots[i].fTag, size);
    bool const placed = hole <= i ? hole < home && home <= i : hole < home || home <= i;
    if (!placed) {
      slots[hole] = slots[i];
      hole = i;
    }
  }
  slots[hole].fNode = kNoNode;
}

// Takes the node of slot out of the index and its chain and destroys it.
void Unlink(DictTable& table, DictIndexSlot* slot) {
  std::uint32_t const number = slot->fNode;
  EraseFromIndex(table, slot);
  TakeOutOfChain(table, DictTableOps::At(table, number));
  --table.fEntries;
  DeleteNode(table, number);
}

// Links a new node holding key into its chain and the index.
template <class Key>
DictNode* LinkNode(DictTable& table, Key&& key, DictKeyHashes hashes) {
  std::uint32_t const number = NewNode(table, std::forward<Key>(key), hashes);
  try {
    GrowIfFull(table);
    GrowIndexIfFull(table);
  } catch (...) {
    DeleteNode(table, number);
    throw;
  }
  DictNode* const node = DictTableOps::At(table, number);
  PushFront(table, table.fBuckets[hashes.fHash % table.fBucketCount], number, node);
  PlaceInIndex(table.fIndex, table.fIndexSize, DictIndexSlot{hashes.fTag, number});
  ++table.fEntries;
  return node;
}

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
    std::uint32_t chains[kChainsAtOnce];
    std::uint32_t const lanes = end - begin;
    for (std::uint32_t i = 0; i < lanes; ++i) {
      chains[i] = table.fBuckets[begin + i];
      fLanes[i].clear();
    }
    for (bool more = true; more;) {
      more = false;
      for (std::uint32_t i = 0; i < lanes; ++i) {
        if (DictNode const* const node = DictTableOps::AtOrNull(table, chains[i])) {
          fLanes[i].push_back(
              PackingEntry{&node->Key(), KQ_TDataStream::ElementWriter::Noted(node->fValue)});
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
      fBlockCount(0),
      fNewestBlockUsed(0),
      fFreeSlots(kNoNode),
      fIndexSize(0),
      fIndex(nullptr) {
  std::uint32_t const count = buckets == 0 ? kDefaultBuckets : buckets;
  fBuckets = NewBuckets(count);
  fBucketCount = count;
}

DictTable::~DictTable() {
  DictTableOps::Clear(*this);
  KQ_Free(fBuckets);
}

namespace {

// A clone of key, owned by the caller. A clone that is not hashable raises
// KQ_EIllegalCast and is destroyed.
KQ_IHashable* HashableClone(KQ_IHashable const& key) {
  std::unique_ptr<KQ_IPackable> clone(key.KQ_Clone());
  if (clone == nullptr) KQ_THROW(KQ_EIllegalCast());
  auto* hashable = static_cast<KQ_IHashable*>(
      clone->DynamicCast(KQ_IHashable::KQ_ClassName(), __FILE__, __LINE__));
  clone.release();
  return hashable;
}

bool IsPlainAny(KQ_IHashable const& key) { return typeid(key) == typeid(KQ_TAny); }

// The key a node holds: null for a plain string, copied into the node's
// room; a plain Any is copied there too; another key is cloned.
KQ_IHashable* OwnKey(KQ_IHashable const& key, unsigned char* room) {
  if (tstring::IsPlainString(key)) {
    new (room) KQ_TString(tstring::PlainStringOf(key));
    return nullptr;
  }
  if (IsPlainAny(key)) return new (room) KQ_TAny(dynamic_cast<KQ_TAny const&>(key));
  return HashableClone(key);
}

// The same for a key the node is given: a plain string or Any is moved into
// the room, another key is kept.
KQ_IHashable* OwnKey(std::unique_ptr<KQ_IHashable> key, unsigned char* room) {
  if (tstring::IsPlainString(*key)) {
    new (room) KQ_TString(std::move(const_cast<KQ_TString&>(tstring::PlainStringOf(*key))));
    return nullptr;
  }
  if (IsPlainAny(*key)) {
    auto* const any = new (room) KQ_TAny;
    any->Swap(dynamic_cast<KQ_TAny&>(*key));
    return any;
  }
  return key.release();
}

}  // namespace

DictNode::DictNode(KQ_IHashable const& key, DictKeyHashes hashes)
    : fNext(kNoNode),
      fPrev(kNoNode),
      fHash(hashes.fHash),
      fTag(hashes.fTag),
      fKey(OwnKey(key, fRoom)) {}

DictNode::DictNode(std::unique_ptr<KQ_IHashable> key, DictKeyHashes hashes)
    : fNext(kNoNode),
      fPrev(kNoNode),
      fHash(hashes.fHash),
      fTag(hashes.fTag),
      fKey(OwnKey(std::move(key), fRoom)) {}

DictNode::~DictNode() {
  auto const key = reinterpret_cast<std::uintptr_t>(fKey);
  auto const room = reinterpret_cast<std::uintptr_t>(fRoom);
  if (fKey == nullptr) {
    RoomString().~KQ_TString();
  } else if (key - room < sizeof fRoom) {
    fKey->~KQ_IHashable();
  } else {
    delete fKey;
  }
}

DictNode* DictTableOps::Slot(DictTable& table, KQ_IHashable const& key) {
  std::uint32_t const tag = TagOf(key.KQ_ContentHash());
  if (Node* node = Find(table, key, tag)) return node;
  std::uint32_t const hash = key.KQ_HashValue(0);
  return Link(table, key, DictKeyHashes{hash, tag});
}

DictNode* DictTableOps::Slot(DictTable& table, KQ_IHashable const& key, DictKeyHashes hashes) {
  if (Node* node = Find(table, key, hashes.fTag)) return node;
  return Link(table, key, hashes);
}

DictNode* DictTableOps::Link(DictTable& table, std::unique_ptr<KQ_IHashable> key,
                             DictKeyHashes hashes) {
  return LinkNode(table, std::move(key), hashes);
}

DictNode* DictTableOps::Link(DictTable& table, KQ_IHashable const& key, DictKeyHashes hashes) {
  return LinkNode(table, key, hashes);
}

void DictTableOps::Store(DictTable& table, std::unique_ptr<KQ_IHashable> key, DictKeyHashes hashes,
                         KQ_TAny& value) {
  Node* node = Find(table, *key, hashes.fTag);
  if (node == nullptr) node = Link(table, std::move(key), hashes);
  node->fValue.Swap(value);
}

void DictTableOps::Remove(DictTable& table, KQ_IHashable const& key) {
  DictIndexSlot* const slot = FindSlot(table, TagOf(key.KQ_ContentHash()),
                                       [&key](Node const& node) { return Identical(node, key); });
  if (slot != nullptr) Unlink(table, slot);
}

void DictTableOps::RemoveNode(DictTable& table, Node const& node) {
  DictIndexSlot* const slot =
      FindSlot(table, node.fTag, [&node](Node const& candidate) { return &candidate == &node; });
  if (slot != nullptr) Unlink(table, slot);
}

void DictTableOps::Clear(DictTable& table) {
  for (std::uint32_t b = 0; b < table.fBucketCount; ++b) {
    for (std::uint32_t n = table.fBuckets[b]; n != kNoNode;) {
      Node* const node = At(table, n);
      n = node->fNext;
      node->~Node();
    }
    table.fBuckets[b] = kNoNode;
  }
  table.fEntries = 0;
  for (std::uint32_t i = 0; i < table.fBlockCount; ++i) FreeBlock(table.fBlocks[i]);
  KQ_Free(table.fBlocks);
  table.fBlocks = nullptr;
  table.fBlockCount = 0;
  table.fNewestBlockUsed = 0;
  table.fFreeSlots = kNoNode;
  KQ_Free(table.fIndex);
  table.fIndex = nullptr;
  table.fIndexSize = 0;
}

void DictTableOps::Swap(DictTable& table, DictTable& other) {
  std::swap(table.fBucketCount, other.fBucketCount);
  std::swap(table.fEntries, other.fEntries);
  std::swap(table.fGrowthLimit, other.fGrowthLimit);
  std::swap(table.fBuckets, other.fBuckets);
  std::swap(table.fBlocks, other.fBlocks);
  std::swap(table.fBlockCount, other.fBlockCount);
  std::swap(table.fNewestBlockUsed, other.fNewestBlockUsed);
  std::swap(table.fFreeSlots, other.fFreeSlots);
  std::swap(table.fIndexSize, other.fIndexSize);
  std::swap(table.fIndex, other.fIndex);
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
      write.Key(node.Key());
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
    ReadBudget::Charge(sizeof(DictNode));
    DictKeyHashes const hashes = HashesOf(*key);
    Store(table, std::move(key), hashes, value);
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
            static_cast<KQ_IPrintable const*>(node.Key().KQ_Cast(KQ_IPrintable::KQ_ClassName()));
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
        node.Key().KQ_Cast(KQ_IHumanReadable::KQ_ClassName()));
    if (key != nullptr) {
      stream << *key;
    } else {
      stream.WritePackable(node.Key());
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
    DictKeyHashes hashes{};
    try {
      hashes = HashesOf(*key);
    } catch (KQ_EAnyContainsUnhashableType const&) {
      // An Any read from a packed block may hold an object that cannot be a
      // key.
      stream.SyntaxError();
    }
    stream.Expect(']').Expect('=');
    KQ_TAny value;
    stream >> static_cast<KQ_IHumanReadable&>(value);
    ReadBudget::Charge(sizeof(DictNode));
    Store(table, std::move(key), hashes, value);
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
  DictTable const& table = Table();
  if (fBeforeStart) return Start();
  if (fAfterEnd) return *this;
  if (fCurrent->fNext != kNoNode) {
    fCurrent = DictTableOps::At(table, fCurrent->fNext);
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
  if (fCurrent != Head(fBucket)) {
    fCurrent = DictTableOps::At(table, fCurrent->fPrev);
  } else if (!SeekBackward(fBucket)) {
    fCurrent = nullptr;
    fBeforeStart = true;
  }
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

KQ_IPackable& DictTableCursor::Key() { return Current().Key(); }

KQ_TAny& DictTableCursor::Value() { return Current().fValue; }

KQ_IIterationInfo& DictTableCursor::DeleteItem() {
  DictNode const& removed = Current();
  Prev();
  DictTableOps::RemoveNode(*fTable, removed);
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

DictNode* DictTableCursor::Head(std::uint32_t bucket) const {
  return DictTableOps::AtOrNull(*fTable, fTable->fBuckets[bucket]);
}

bool DictTableCursor::SeekForward(std::uint32_t bucket) {
  DictTable const& table = Table();
  for (std::uint32_t b = bucket; b < table.fBucketCount; ++b) {
    if (DictNode* const head = Head(b)) {
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
    if (DictNode const* const head = Head(b)) {
      fBucket = b;
      fCurrent = DictTableOps::At(table, head->fPrev);
      return true;
    }
  }
  return false;
}

}  // namespace kq
