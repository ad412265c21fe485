// The chained hash table behind KQ_TDict and KQ_TTree: the layout of a node
// and the functions that work on a table record (kq::DictTable, which the
// containers hold). Internal to the library: only the sources of the two
// containers and of the table include this header, and it is not installed.
//
// Two structures share the nodes. The buckets fix the order: a key's bucket
// is its KQ_HashValue(0) modulo the bucket count, and a new node goes to the
// head of its bucket's chain. The index finds: an open-addressed table of
// (tag, node number) slots, the tag being the high half of the key's content
// hash (KQ_IHashable::KQ_ContentHash), placed by the tag and probed one slot
// after the other. Two keys are the same key when the stored one's
// KQ_IsIdent accepts the other; identical keys have the same content hash,
// so the index finds exactly the node a walk of the chain would find, and a
// lookup asks KQ_IsIdent only of keys whose tag matches, however many keys
// share their KQ_HashValue. The index holds at most 6 entries for 8 slots
// and grows by half, so it takes 11 to 16 bytes per entry, and a probe
// seldom runs long whatever the secret makes of the keys.
//
// Chains are linked both ways by node numbers; a chain's head links back to
// its last node, so that a node leaves its chain, and a cursor steps back,
// without walking it.
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
#include <cstring>
#include <memory>
#include <new>
#include <ostream>
#include <utility>

#include "internal/kq_content_hash.h"
#include "internal/kq_tstring_units.h"
#include "kq_ihashable.h"
#include "kq_tany.h"
#include "kq_tdict.h"
#include "kq_tstring.h"

class KQ_IPacking;
class KQ_IUnpacking;
class KQ_THumanReadableStream;

namespace kq {

// A key's two hashes: its bucket comes from the first, its place in the
// index from the second.
struct DictKeyHashes {
  std::uint32_t fHash;
  std::uint32_t fTag;
};

// One entry: its chain's links, the key's KQ_HashValue(0) and tag, the
// owned key and the value in its first cache line. A key of the class
// KQ_TString or KQ_TAny itself lives in the second, the node's room, so that
// a look-up reaches a string key's text without first reading where the key
// is; any other key is an object of its own.
struct DictNode {
  // The node's own copy of key.
  DictNode(KQ_IHashable const& key, DictKeyHashes hashes);
  // Takes key (owned from now on, even when this raises).
  DictNode(std::unique_ptr<KQ_IHashable> key, DictKeyHashes hashes);
  DictNode(DictNode const&) = delete;
  DictNode& operator=(DictNode const&) = delete;
  ~DictNode();

  DictKeyHashes Hashes() const { return DictKeyHashes{fHash, fTag}; }

  KQ_IHashable& Key() const { return fKey != nullptr ? *fKey : RoomString(); }
  // The key when it is a plain string, or null.
  KQ_TString const* StringKey() const { return fKey == nullptr ? &RoomString() : nullptr; }

  // The next node of the chain (kNoNode at its end), and the one before
  // (for the chain's head, its last node).
  std::uint32_t fNext;
  std::uint32_t fPrev;
  std::uint32_t fHash;
  std::uint32_t fTag;
  KQ_TAny fValue;
  // The key, which may lie in fRoom; null for a string in fRoom. It is made
  // after the value, which is then destroyed should making it fail.
  KQ_IHashable* fKey;
  alignas(64) unsigned char fRoom[sizeof(KQ_TString) > sizeof(KQ_TAny) ? sizeof(KQ_TString)
                                                                       : sizeof(KQ_TAny)];

 private:
  KQ_TString& RoomString() const {
    return *std::launder(reinterpret_cast<KQ_TString*>(const_cast<unsigned char*>(fRoom)));
  }
};

// A slot of the index: a node and its key's tag; fNode is kNoNode in a free
// slot.
struct DictIndexSlot {
  std::uint32_t fTag;
  std::uint32_t fNode;
};

// The table's functions, each given the record it works on.
class DictTableOps {
 public:
  using Node = DictNode;

  // A node number is its block's number and its place in the block, in the
  // low kBlockShift bits.
  static constexpr std::uint32_t kBlockShift = 11;

  static Node* At(DictTable const& table, std::uint32_t number) {
    return table.fBlocks[number >> kBlockShift] + (number & ((1u << kBlockShift) - 1));
  }
  static Node* AtOrNull(DictTable const& table, std::uint32_t number) {
    return number == DictTable::kNoNode ? nullptr : At(table, number);
  }

  // Where the index places a tag: the tag scaled to the index's size. A
  // probe goes on from there with NextSlot.
  static std::uint32_t Home(std::uint32_t tag, std::uint32_t size) {
    return static_cast<std::uint32_t>((std::uint64_t{tag} * size) >> 32);
  }
  static std::uint32_t NextSlot(std::uint32_t i, std::uint32_t size) {
    return i + 1 == size ? 0 : i + 1;
  }

  // The high half of a content hash.
  static std::uint32_t TagOf(std::uint64_t contentHash) {
    return static_cast<std::uint32_t>(contentHash >> 32);
  }
  static DictKeyHashes HashesOf(KQ_IHashable const& key) {
    std::uint32_t const tag = TagOf(key.KQ_ContentHash());
    return DictKeyHashes{key.KQ_HashValue(0), tag};
  }

  // The node of key, whose tag is tag, or null. Inline, as the lookups of
  // both containers come down to these.
  static Node* Find(DictTable const& table, KQ_IHashable const& key) {
    if (IsPlainString(key)) {
      KQ_TString const& string = AsString(key);
      return FindUnits(table, string.Units(), string.Length(),
                       [&key]() -> KQ_IHashable const& { return key; });
    }
    return Find(table, key, TagOf(key.KQ_ContentHash()));
  }
  static Node* Find(DictTable const& table, KQ_IHashable const& key, std::uint32_t tag) {
    DictIndexSlot* const slot =
        FindSlot(table, tag, [&key](Node const& node) { return Identical(node, key); });
    return slot != nullptr ? At(table, slot->fNode) : nullptr;
  }
  // The node whose key is identical to text.Substring(begin, length), or
  // null. The substring is made only to be shown to a key that is not a
  // plain string.
  static Node* FindSubstring(DictTable const& table, KQ_TString const& text, std::uint32_t begin,
                             std::uint32_t length) {
    return FindUnits(table, text.Units() + begin, length, [&]() {
      return text.Substring(static_cast<std::int32_t>(begin), static_cast<std::int32_t>(length));
    });
  }
  // The node of key, made with a hashable clone of key and an ILLEGAL value
  // when absent; the second form is given the key's hashes.
  static Node* Slot(DictTable& table, KQ_IHashable const& key);
  static Node* Slot(DictTable& table, KQ_IHashable const& key, DictKeyHashes hashes);
  // Makes a node holding key (owned from now on, even when this raises) or
  // a copy of it, grows the table when it is full and pushes the node onto
  // its chain.
  static Node* Link(DictTable& table, std::unique_ptr<KQ_IHashable> key, DictKeyHashes hashes);
  static Node* Link(DictTable& table, KQ_IHashable const& key, DictKeyHashes hashes);
  // Gives key, whose hashes are hashes, the value taken from value, as an
  // assignment through the non-const operator[] of a container does, but
  // without cloning the key (which is destroyed when already present).
  static void Store(DictTable& table, std::unique_ptr<KQ_IHashable> key, DictKeyHashes hashes,
                    KQ_TAny& value);
  // Destroys the node of key with its key and value; nothing when absent.
  // key may be the stored key itself.
  static void Remove(DictTable& table, KQ_IHashable const& key);
  // Destroys node, even one whose key is not identical to itself (an Any
  // holding NaN).
  static void RemoveNode(DictTable& table, Node const& node);
  // Destroys every node and frees the node storage and the index; the
  // buckets stay.
  static void Clear(DictTable& table);
  static void Swap(DictTable& table, DictTable& other);

  // The first node in the walking order (buckets from the last to the first,
  // each chain from its head) for which test(node) is true, or null.
  template <class Test>
  static Node* FindIf(DictTable const& table, Test test) {
    for (std::uint32_t b = table.fBucketCount; b-- > 0;) {
      for (std::uint32_t n = table.fBuckets[b]; n != DictTable::kNoNode;) {
        Node* const node = At(table, n);
        if (test(*node)) return node;
        n = node->fNext;
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
  // The index slot of the node with tag for which match(node) is true, or
  // null: the slots from the tag's home on, up to the first free one.
  template <class Match>
  static DictIndexSlot* FindSlot(DictTable const& table, std::uint32_t tag, Match match) {
    std::uint32_t const size = table.fIndexSize;
    if (size == 0) return nullptr;
    for (std::uint32_t i = Home(tag, size);; i = NextSlot(i, size)) {
      DictIndexSlot* const slot = &table.fIndex[i];
      if (slot->fNode == DictTable::kNoNode) return nullptr;
      if (slot->fTag == tag && match(*At(table, slot->fNode))) return slot;
    }
  }

  // The node whose key is the plain string of length units at units, or
  // null. A plain string's content hash is that of its units, so it is made
  // here without asking the key; key() gives what a stored key of another
  // class is shown.
  template <class Key>
  static Node* FindUnits(DictTable const& table, std::uint16_t const* units, std::uint32_t length,
                         Key key) {
    std::uint32_t const tag = TagOf(ContentHash(units, std::size_t{length} * sizeof *units));
    DictIndexSlot* const slot = FindSlot(table, tag, [&](Node const& node) {
      if (KQ_TString const* stored = node.StringKey()) return SameUnits(*stored, units, length);
      return node.Key().KQ_IsIdent(key());
    });
    return slot != nullptr ? At(table, slot->fNode) : nullptr;
  }

  // A string and nothing derived from it: its identity is its units.
  static bool IsPlainString(KQ_IHashable const& key) { return tstring::IsPlainString(key); }
  static KQ_TString const& AsString(KQ_IHashable const& key) { return tstring::PlainStringOf(key); }
  // Keys are mostly short: eight bytes at a time, inline, beat a call to
  // memcmp.
  static bool SameUnits(KQ_TString const& string, std::uint16_t const* units,
                        std::uint32_t length) {
    if (string.Length() != length) return false;
    auto const* a = reinterpret_cast<unsigned char const*>(string.Units());
    auto const* b = reinterpret_cast<unsigned char const*>(units);
    std::size_t bytes = std::size_t{length} * sizeof *units;
    for (; bytes >= 8; a += 8, b += 8, bytes -= 8) {
      if (Load<std::uint64_t>(a) != Load<std::uint64_t>(b)) return false;
    }
    if (bytes >= 4) {
      if (Load<std::uint32_t>(a) != Load<std::uint32_t>(b)) return false;
      a += 4, b += 4, bytes -= 4;
    }
    return bytes == 0 || Load<std::uint16_t>(a) == Load<std::uint16_t>(b);
  }
  template <class T>
  static T Load(unsigned char const* bytes) {
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
  }
  // node's key's KQ_IsIdent(key), compared directly between two plain
  // strings.
  static bool Identical(Node const& node, KQ_IHashable const& key) {
    KQ_TString const* const stored = node.StringKey();
    if (stored != nullptr && IsPlainString(key)) {
      KQ_TString const& string = AsString(key);
      return SameUnits(*stored, string.Units(), string.Length());
    }
    return node.Key().KQ_IsIdent(key);
  }
};

}  // namespace kq
