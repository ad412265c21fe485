// The chained hash table behind KQ_TDict and KQ_TTree, and the cursor that
// walks it. Both containers hold one table each and derive their cursors from
// DictTableCursor; callers of the library use the containers, not these.
//
// A key's bucket is its KQ_HashValue(0) modulo the bucket count; two keys are
// the same key when the stored one's KQ_IsIdent accepts the other. Every node
// keeps its key's full hash beside its link, so a chain walk asks KQ_IsIdent
// only of keys whose hash matches (identical keys hash alike, so this finds
// exactly the node KQ_IsIdent alone would find), and growing calls no key.
// A new node goes to the head of its bucket's chain.
//
// Growth: before an insertion that finds at least as many entries as
// buckets, a table with fewer buckets than its growth limit doubles, capped
// at the limit, moving the nodes bucket by bucket from the last, each chain
// from its head, to the heads of their new chains. A table at or above its
// limit (a limit of 0: every table) never grows, and no table shrinks.
//
// Orders: whole-table walks (packing, printing, writing, merging, searching
// by value) go through the buckets from the last to the first and each chain
// from its head; the cursor goes through the buckets from the first to the
// last, each chain from its head.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <utility>

#include "kq_ihashable.h"
#include "kq_iiterationinfo.h"
#include "kq_tany.h"
#include "kq_tobject.h"

class KQ_IPacking;
class KQ_IUnpacking;
class KQ_THumanReadableStream;

namespace kq {

class KQ_EXPORT DictTable {
 public:
  static constexpr std::uint32_t kDefaultBuckets = 8;

  // One entry: the next node of its chain (null at the end), the key's
  // KQ_HashValue(0), the owned key and the value.
  struct Node {
    Node(std::unique_ptr<KQ_IHashable> key, std::uint32_t hash)
        : fNext(nullptr), fHash(hash), fKey(std::move(key)) {}
    Node(Node const&) = delete;
    Node& operator=(Node const&) = delete;

    Node* fNext;
    std::uint32_t fHash;
    std::unique_ptr<KQ_IHashable> fKey;
    KQ_TAny fValue;
  };

  // buckets buckets (kDefaultBuckets when 0), growing up to growthLimit.
  DictTable(std::uint32_t buckets, std::uint32_t growthLimit);
  DictTable(DictTable const&) = delete;
  DictTable& operator=(DictTable const&) = delete;
  // Destroys the nodes chain by chain, one after the other (no recursion,
  // whatever the chains' length).
  ~DictTable();

  std::uint32_t BucketCount() const { return fBucketCount; }
  std::uint32_t Entries() const { return fEntries; }
  // The head of a bucket's chain, or null.
  Node* Head(std::uint32_t bucket) const { return fBuckets[bucket]; }

  // The table's own copy of a key. A clone that is not hashable raises
  // KQ_EIllegalCast and is destroyed.
  static std::unique_ptr<KQ_IHashable> HashableClone(KQ_IHashable const& key);

  // The node of key, whose KQ_HashValue(0) is hash, or null. Inline, as
  // the lookups of both containers come down to these.
  Node* Find(KQ_IHashable const& key) const { return *FindLink(key, key.KQ_HashValue(0)); }
  Node* Find(KQ_IHashable const& key, std::uint32_t hash) const { return *FindLink(key, hash); }
  // The node of key, made with a hashable clone of key and an ILLEGAL value
  // when absent.
  Node* Slot(KQ_IHashable const& key);
  Node* Slot(KQ_IHashable const& key, std::uint32_t hash);
  // Makes a node holding key (owned from now on, even when this raises),
  // grows the table when it is full and pushes the node onto its chain.
  Node* Link(std::unique_ptr<KQ_IHashable> key, std::uint32_t hash);
  // Gives key, whose KQ_HashValue(0) is hash, the value taken from value,
  // as an assignment through the non-const operator[] of a container does,
  // but without cloning the key (which is destroyed when already present).
  void Store(std::unique_ptr<KQ_IHashable> key, std::uint32_t hash, KQ_TAny& value);
  // Destroys the node of key with its key and value; nothing when absent.
  // key may be the stored key itself.
  void Remove(KQ_IHashable const& key);
  // Destroys node when it is in bucket, even one whose key is not identical
  // to itself (an Any holding NaN).
  void RemoveNode(std::uint32_t bucket, Node const* node);
  // Destroys every node and frees the node storage; the buckets stay.
  void Clear();
  void Swap(DictTable& other);

  // The first node in the walking order (buckets from the last to the first,
  // each chain from its head) for which test(node) is true, or null.
  template <class Test>
  Node* FindIf(Test test) const {
    for (std::uint32_t b = fBucketCount; b-- > 0;) {
      for (Node* node = fBuckets[b]; node != nullptr; node = node->fNext) {
        if (test(*node)) return node;
      }
    }
    return nullptr;
  }
  // visit(node) for every node in the walking order.
  template <class Visit>
  void ForEach(Visit visit) const {
    FindIf([&visit](Node& node) {
      visit(node);
      return false;
    });
  }
  // The first node in the walking order whose value equals value
  // (KQ_TAny::operator==), or null.
  Node* FindValue(KQ_TAny const& value) const;

  // The entry count as an unsigned 32-bit number, then in the walking order
  // every key and then its value as packable objects.
  void Pack(KQ_IPacking& packer) const;
  // Empties the table, then reads what Pack writes; a repeated key takes
  // the later value. A key that is missing (no object) or not hashable
  // raises KQ_EWrongPackedType. The count is not trusted: nothing is
  // reserved by it, and a stream that ends early raises its own exception
  // with the pairs read so far kept.
  void Unpack(KQ_IUnpacking& unpacker);
  // heading, a line break, then at the current indentation "{", one line
  // two spaces deeper per entry in the walking order ("[key] = value", with
  // nested lines two spaces deeper still, and "<NON-PRINTABLE>" for a key
  // that cannot print itself), and "}" with no line break after it.
  void Print(std::ostream& os, char const* heading) const;
  // One line per entry in the walking order: "[ key ] = value", key and
  // value in their text forms, each indented one level further than the
  // line before it when it spans several lines. A key without a text form
  // of its own is written as its packed block.
  void Write(KQ_THumanReadableStream& stream) const;
  // Empties the table, then reads entries up to the closing brace, which it
  // consumes. A missing "[", "]" or "=", and a key that cannot be hashed,
  // raise KQ_EHRSyntaxError with the entries read before kept.
  void Read(KQ_THumanReadableStream& stream);

 private:
  struct NodeBlock;
  struct FreeSlot;

  static Node** NewBuckets(std::uint32_t count);
  // The link (a bucket's head or a node's next) that holds the node of key;
  // it holds null when the key is absent.
  Node** FindLink(KQ_IHashable const& key, std::uint32_t hash) const {
    Node** link = &fBuckets[hash % fBucketCount];
    while (*link != nullptr && !((*link)->fHash == hash && (*link)->fKey->KQ_IsIdent(key))) {
      link = &(*link)->fNext;
    }
    return link;
  }
  void GrowIfFull();
  // Takes the node out of the link that holds it and destroys it.
  void Unlink(Node** link);
  // Node storage: a node is made in a free slot of the table's blocks and
  // its slot is given back when it is destroyed.
  Node* NewNode(std::unique_ptr<KQ_IHashable> key, std::uint32_t hash);
  void DeleteNode(Node* node);
  void* TakeSlot();
  void ReleaseSlot(void* slot);

  std::uint32_t fBucketCount;
  std::uint32_t fEntries;
  std::uint32_t fGrowthLimit;
  // fBucketCount chain heads, null for an empty bucket.
  Node** fBuckets;
  // The blocks that hold the nodes, newest first, and the slots of destroyed
  // nodes waiting to be used again. Keeping the nodes of one table together
  // keeps a walk along a long chain within few pages.
  NodeBlock* fBlocks;
  FreeSlot* fFreeSlots;
};

// The cursor of a table: it stands on an entry, or before the first, or
// after the last, and walks the buckets from the first to the last, each
// chain from its head. A cursor made without a table raises
// KQ_EIteratorNotInitialized from every operation but Clone.
class KQ_EXPORT DictTableCursor : public KQ_TObject, public virtual KQ_IIterationInfo {
 public:
  // Each cursor class answers casts through its own class protocol.
  void* KQ_DynamicInfo(char const* name) const override = 0;

  // On the first (last) entry; on an empty table both flags are set.
  KQ_IIterationInfo& Start() override;
  KQ_IIterationInfo& End() override;
  // Next() before the first entry acts as Start(); Prev() after the last
  // acts as End(). Stepping off an end sets its flag.
  KQ_IIterationInfo& Next() override;
  KQ_IIterationInfo& Prev() override;
  bool IsBeforeStart() const override;
  bool IsAfterEnd() const override;
  // The stored key (not to be changed: its hash places the entry) and the
  // value of the current entry.
  KQ_IPackable& Key() override;
  KQ_TAny& Value() override;
  // Steps back with Prev(), then removes the entry it stood on, so that a
  // following Next() reaches the entry after the removed one. The entry
  // itself goes, even one whose key is not identical to itself.
  KQ_IIterationInfo& DeleteItem() override;

 protected:
  // Over table (not owned; null for a cursor without one), positioned as by
  // Start(). The cursor may delete entries through DeleteItem.
  explicit DictTableCursor(DictTable const* table);
  DictTableCursor(DictTableCursor const& other) = default;
  DictTableCursor& operator=(DictTableCursor const& other) = default;
  ~DictTableCursor() override;

 private:
  DictTable& Table() const;
  DictTable::Node& Current() const;
  // Stands on the first node of the first non-empty bucket from bucket on
  // (the last node of the last non-empty bucket below bucket); false when
  // there is none.
  bool SeekForward(std::uint32_t bucket);
  bool SeekBackward(std::uint32_t bucket);

  DictTable* fTable;
  std::uint32_t fBucket;
  DictTable::Node* fCurrent;
  bool fBeforeStart;
  bool fAfterEnd;
};

}  // namespace kq
