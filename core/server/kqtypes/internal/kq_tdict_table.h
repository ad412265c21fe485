// The chained hash table behind KQ_TDict and KQ_TTree: the layout of a node
// and the functions that work on a table record (kq::DictTable, which the
// containers hold). Internal to the library: only the sources of the two
// containers and of the table include this header, and it is not installed.
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
#include "kq_tany.h"
#include "kq_tdict.h"

class KQ_IPacking;
class KQ_IUnpacking;
class KQ_THumanReadableStream;

namespace kq {

// One entry: the next node of its chain (null at the end), the key's
// KQ_HashValue(0), the owned key and the value.
struct DictNode {
  DictNode(std::unique_ptr<KQ_IHashable> key, std::uint32_t hash)
      : fNext(nullptr), fHash(hash), fKey(std::move(key)) {}
  DictNode(DictNode const&) = delete;
  DictNode& operator=(DictNode const&) = delete;

  DictNode* fNext;
  std::uint32_t fHash;
  std::unique_ptr<KQ_IHashable> fKey;
  KQ_TAny fValue;
};

// The table's functions, each given the record it works on.
class DictTableOps {
 public:
  using Node = DictNode;

  // The table's own copy of a key. A clone that is not hashable raises
  // KQ_EIllegalCast and is destroyed.
  static std::unique_ptr<KQ_IHashable> HashableClone(KQ_IHashable const& key);

  // The node of key, whose KQ_HashValue(0) is hash, or null. Inline, as
  // the lookups of both containers come down to these.
  static Node* Find(DictTable const& table, KQ_IHashable const& key) {
    return *FindLink(table, key, key.KQ_HashValue(0));
  }
  static Node* Find(DictTable const& table, KQ_IHashable const& key, std::uint32_t hash) {
    return *FindLink(table, key, hash);
  }
  // The node of key, made with a hashable clone of key and an ILLEGAL value
  // when absent.
  static Node* Slot(DictTable& table, KQ_IHashable const& key);
  static Node* Slot(DictTable& table, KQ_IHashable const& key, std::uint32_t hash);
  // Makes a node holding key (owned from now on, even when this raises),
  // grows the table when it is full and pushes the node onto its chain.
  static Node* Link(DictTable& table, std::unique_ptr<KQ_IHashable> key, std::uint32_t hash);
  // Gives key, whose KQ_HashValue(0) is hash, the value taken from value,
  // as an assignment through the non-const operator[] of a container does,
  // but without cloning the key (which is destroyed when already present).
  static void Store(DictTable& table, std::unique_ptr<KQ_IHashable> key, std::uint32_t hash,
                    KQ_TAny& value);
  // Destroys the node of key with its key and value; nothing when absent.
  // key may be the stored key itself.
  static void Remove(DictTable& table, KQ_IHashable const& key);
  // Destroys node when it is in bucket, even one whose key is not identical
  // to itself (an Any holding NaN).
  static void RemoveNode(DictTable& table, std::uint32_t bucket, Node const* node);
  // Destroys every node and frees the node storage; the buckets stay.
  static void Clear(DictTable& table);
  static void Swap(DictTable& table, DictTable& other);

  // The first node in the walking order (buckets from the last to the first,
  // each chain from its head) for which test(node) is true, or null.
  template <class Test>
  static Node* FindIf(DictTable const& table, Test test) {
    for (std::uint32_t b = table.fBucketCount; b-- > 0;) {
      for (Node* node = table.fBuckets[b]; node != nullptr; node = node->fNext) {
        if (test(*node)) return node;
      }
    }
    return nullptr;
  }
  // visit(node) for every node in the walking order.
  template <class Visit>
  static void ForEach(DictTable const& table, Visit visit) {
    FindIf(table, [&visit](Node& node) {
      visit(node);
      return false;
    });
  }
  // The first node in the walking order whose value equals value
  // (KQ_TAny::operator==), or null.
  static Node* FindValue(DictTable const& table, KQ_TAny const& value);

  // The entry count as an unsigned 32-bit number, then in the walking order
  // every key and then its value as packable objects.
  static void Pack(DictTable const& table, KQ_IPacking& packer);
  // Empties the table, then reads what Pack writes; a repeated key takes
  // the later value. A key that is missing (no object) or not hashable
  // raises KQ_EWrongPackedType. The count is not trusted: nothing is
  // reserved by it, and a stream that ends early raises its own exception
  // with the pairs read so far kept.
  static void Unpack(DictTable& table, KQ_IUnpacking& unpacker);
  // heading, a line break, then at the current indentation "{", one line
  // two spaces deeper per entry in the walking order ("[key] = value", with
  // nested lines two spaces deeper still, and "<NON-PRINTABLE>" for a key
  // that cannot print itself), and "}" with no line break after it.
  static void Print(DictTable const& table, std::ostream& os, char const* heading);
  // One line per entry in the walking order: "[ key ] = value", key and
  // value in their text forms, each indented one level further than the
  // line before it when it spans several lines. A key without a text form
  // of its own is written as its packed block.
  static void Write(DictTable const& table, KQ_THumanReadableStream& stream);
  // Empties the table, then reads entries up to the closing brace, which it
  // consumes. A missing "[", "]" or "=", and a key that cannot be hashed,
  // raise KQ_EHRSyntaxError with the entries read before kept.
  static void Read(DictTable& table, KQ_THumanReadableStream& stream);

 private:
  // The link (a bucket's head or a node's next) that holds the node of key;
  // it holds null when the key is absent.
  static Node** FindLink(DictTable const& table, KQ_IHashable const& key, std::uint32_t hash) {
    Node** link = &table.fBuckets[hash % table.fBucketCount];
    while (*link != nullptr && !((*link)->fHash == hash && (*link)->fKey->KQ_IsIdent(key))) {
      link = &(*link)->fNext;
    }
    return link;
  }
};

}  // namespace kq
