// KQ_TDict: a chained hash table from hashable keys to KQ_TAny values.
//
// Keys are any objects implementing KQ_IHashable (a KQ_TString, a KQ_TAny or
// a caller's class); the dictionary stores its own clone of every key, so a
// key object changed by the caller afterwards does not affect it. Text keys
// given as char, wchar_t or char16_t strings become KQ_TString keys.
//
// A key's bucket is its KQ_HashValue(0) modulo the bucket count; two keys are
// the same key when the stored one's KQ_IsIdent accepts the other. A new
// dictionary has 8 buckets. Before an insertion that would raise the load
// factor above 1 the table doubles, up to 256 buckets; a table of 256 or more
// buckets never grows again, so its chains lengthen as it fills. The table
// never shrinks. The buckets fix the order of iteration, packing and
// printing; an index beside them finds an entry by its key's content hash
// (KQ_IHashable::KQ_ContentHash), so that looking up, adding and removing
// a key cost the same whatever the table's size and however many keys
// share its KQ_HashValue.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>

#include "kq_ihashable.h"
#include "kq_ihumanreadable.h"
#include "kq_iiteratable.h"
#include "kq_iiterationinfo.h"
#include "kq_ipackable.h"
#include "kq_iprintable.h"
#include "kq_tany.h"
#include "kq_tobject.h"

namespace kq {

struct DictNode;
struct DictIndexSlot;

// The table record of a dictionary, and of every level of a tree: the
// counts, the chain heads, the blocks its nodes live in and the index that
// finds them. Nodes are named by numbers (their block and place in it), so
// that links and index entries take 32 bits. The table's functions (lookup,
// growth, packing, printing) are the library's own and work on this record;
// callers use the containers.
struct KQ_EXPORT DictTable {
  static constexpr std::uint32_t kDefaultBuckets = 8;
  // The number of no node: an empty bucket, the end of a chain.
  static constexpr std::uint32_t kNoNode = 0xFFFFFFFFu;

  // buckets buckets (kDefaultBuckets when 0), growing up to growthLimit.
  DictTable(std::uint32_t buckets, std::uint32_t growthLimit);
  DictTable(DictTable const&) = delete;
  DictTable& operator=(DictTable const&) = delete;
  // Destroys the nodes chain by chain, one after the other (no recursion,
  // whatever the chains' length).
  ~DictTable();

  std::uint32_t fBucketCount;
  std::uint32_t fEntries;
  std::uint32_t fGrowthLimit;
  // fBucketCount chain heads, kNoNode for an empty bucket.
  std::uint32_t* fBuckets;
  // The first node of each block that holds nodes, oldest first; how many
  // nodes of the newest block are in use; and the first of the slots of
  // destroyed nodes waiting to be used again (kNoNode for none).
  DictNode** fBlocks;
  std::uint32_t fBlockCount;
  std::uint32_t fNewestBlockUsed;
  std::uint32_t fFreeSlots;
  // fIndexSize slots (none before the first entry) that find a node by its
  // key's content hash.
  std::uint32_t fIndexSize;
  DictIndexSlot* fIndex;
};

// The cursor of a table: it stands on an entry, or before the first, or
// after the last, and walks the buckets from the first to the last, each
// chain from its head. A cursor made without a table raises
// KQ_EIteratorNotInitialized from every operation but Clone. The cursors of
// the dictionary and of the tree are this one under their own names.
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
  DictNode& Current() const;
  DictNode* Head(std::uint32_t bucket) const;
  // Stands on the first node of the first non-empty bucket from bucket on
  // (the last node of the last non-empty bucket below bucket); false when
  // there is none.
  bool SeekForward(std::uint32_t bucket);
  bool SeekBackward(std::uint32_t bucket);

  DictTable* fTable;
  std::uint32_t fBucket;
  DictNode* fCurrent;
  bool fBeforeStart;
  bool fAfterEnd;
};

}  // namespace kq

class KQ_EXPORT KQ_TDict : public KQ_TObject,
                           public virtual KQ_IPackable,
                           public virtual KQ_IIteratable,
                           public virtual KQ_IPrintable,
                           public virtual KQ_IHumanReadable {
  KQ_CLASS(KQ_TDict, KQ_TObject, KQ_IPackable, KQ_IIteratable, KQ_IPrintable, KQ_IHumanReadable)
  // The bucket count of a new dictionary, and the count beyond which a
  // table no longer grows.
  static constexpr std::uint32_t kDefaultBuckets = kq::DictTable::kDefaultBuckets;
  static constexpr std::uint32_t kMaxGrownBuckets = 256;

  // Registers the class with the data stream under its packing code, 69.
  static bool KQ_Initialize();

  KQ_TDict();
  // buckets buckets (kDefaultBuckets when 0).
  explicit KQ_TDict(std::uint32_t buckets);
  // buckets buckets (kDefaultBuckets when 0) holding clones of the other's
  // entries, added as by Add. A plain copy therefore starts small and grows
  // as it fills.
  KQ_TDict(KQ_TDict const& other, std::uint32_t buckets = 0);
  // Destroys the entries chain by chain, one node after the other (no
  // recursion, whatever the chains' length).
  ~KQ_TDict() override;

  // Replaces all entries with clones of the other's. The dictionary keeps
  // its own bucket count, and keeps its old entries when copying fails.
  virtual KQ_TDict& operator=(KQ_TDict const& other);
  // Unpacks the dictionary from the stream.
  KQ_IPackable& operator=(KQ_IUnpacking& unpacker) override;

  virtual bool IsEmpty() const;
  virtual std::uint32_t Entries() const;

  virtual bool HasKey(wchar_t const* key) const;
  virtual bool HasKey(char const* key) const;
  virtual bool HasKey(char16_t const* key) const;
  virtual bool HasKey(KQ_IHashable const& key) const;

  // Whether some entry holds a value equal to value (KQ_TAny::operator==).
  virtual bool Contains(KQ_TAny const& value) const;
  // The stored key of the first entry holding a value equal to value,
  // searching the buckets from the last to the first and each chain from
  // its head; KQ_ENoMatchingDictValue when there is none.
  virtual KQ_IHashable const& KeyOf(KQ_TAny const& value) const;

  // The const forms give a shared constant ILLEGAL value for a missing key
  // and add nothing. The non-const forms add a missing key (with an ILLEGAL
  // value) and return its value for the caller to assign. A key whose clone
  // is not hashable raises KQ_EIllegalCast and leaves the dictionary
  // unchanged.
  virtual KQ_TAny const& operator[](wchar_t const* key) const;
  virtual KQ_TAny const& operator[](char const* key) const;
  virtual KQ_TAny const& operator[](char16_t const* key) const;
  virtual KQ_TAny const& operator[](KQ_IHashable const& key) const;
  virtual KQ_TAny& operator[](wchar_t const* key);
  virtual KQ_TAny& operator[](char const* key);
  virtual KQ_TAny& operator[](char16_t const* key);
  virtual KQ_TAny& operator[](KQ_IHashable const& key);

  // The value of key, or null when the key is absent.
  virtual KQ_TAny const* ValueOfKey(wchar_t const* key) const;
  virtual KQ_TAny const* ValueOfKey(char const* key) const;
  virtual KQ_TAny const* ValueOfKey(char16_t const* key) const;
  virtual KQ_TAny const* ValueOfKey(KQ_IHashable const& key) const;
  virtual KQ_TAny* ValueOfKey(wchar_t const* key);
  virtual KQ_TAny* ValueOfKey(char const* key);
  virtual KQ_TAny* ValueOfKey(char16_t const* key);
  virtual KQ_TAny* ValueOfKey(KQ_IHashable const& key);

  // (*this)[key] = value: an existing key takes the new value.
  virtual KQ_TDict& Add(wchar_t const* key, KQ_TAny const& value);
  virtual KQ_TDict& Add(char const* key, KQ_TAny const& value);
  virtual KQ_TDict& Add(char16_t const* key, KQ_TAny const& value);
  virtual KQ_TDict& Add(KQ_IHashable const& key, KQ_TAny const& value);

  // Destroys the entry of key with its key and value; a missing key changes
  // nothing.
  virtual KQ_TDict& Remove(wchar_t const* key);
  virtual KQ_TDict& Remove(char const* key);
  virtual KQ_TDict& Remove(char16_t const* key);
  virtual KQ_TDict& Remove(KQ_IHashable const& key);

  // Equal entry counts, and every key of this dictionary is in the other
  // with a value identical (KQ_IsIdent) to this one's.
  virtual bool operator==(KQ_TDict const& other) const;
  virtual bool operator!=(KQ_TDict const& other) const;
  // Sub-dictionary tests: every entry of the smaller side is in the other
  // side with an identical value.
  virtual bool operator<=(KQ_TDict const& other) const;
  virtual bool operator>=(KQ_TDict const& other) const;
  // Assigns every entry of other into this dictionary, so that equal keys
  // take the other's value.
  virtual KQ_TDict& operator+=(KQ_TDict const& other);

  // The current number of buckets.
  std::uint32_t BucketCount() const { return fTable.fBucketCount; }

  // A new KQ_TDictIterationInfo standing on the first entry: buckets in
  // ascending order, each chain from its head (the newest entry of a bucket
  // first).
  KQ_IIterationInfo* CreateIterationInfo() const override;

  // The entry count as an unsigned 32-bit number, then, buckets from the
  // last to the first and each chain from its head, every key and then its
  // value as packable objects.
  void KQ_Pack(KQ_IPacking& packer) const override;
  // Empties the dictionary, reads the count and then the pairs; a repeated
  // key takes the later value. A key that is missing (no object) or not
  // hashable raises KQ_EWrongPackedType. The count is not trusted: nothing
  // is reserved by it, and a stream that ends early raises its own exception
  // with the pairs read so far kept.
  void KQ_Unpack(KQ_IUnpacking& unpacker) override;
  // A copy with kDefaultBuckets buckets that grows as it fills.
  KQ_IPackable* KQ_Clone(void* where = nullptr) const override;
  // Another dictionary equal by operator==.
  bool KQ_IsIdent(KQ_IPackable const& other) const override;
  // "DICT", a line break, then at the current indentation "{", one line two
  // spaces deeper per entry ("[key] = value", in the packing order, with
  // nested lines of key and value two spaces deeper still, and
  // "<NON-PRINTABLE>" for a key that cannot print itself), and "}" with no
  // line break after it.
  void PrintOn(std::ostream& os) const override;
  // True unless the dictionary is empty.
  bool KQ_HRMultiLine() const override;
  // One line per entry, in the packing order: "[ key ] = value", key and
  // value in their text forms, each indented one level further than the
  // line before it when it spans several lines. A key without a text form
  // of its own is written as its packed block, which reads back as an Any
  // holding it. Returns false: the framing writes and reads the closing
  // brace.
  bool WriteTo(KQ_THumanReadableStream& stream) const override;
  // Empties the dictionary, then reads entries up to the closing brace,
  // which it consumes; returns true. A repeated key takes the later value.
  // A missing "[", "]" or "=", and a key that cannot be hashed, raise
  // KQ_EHRSyntaxError with the entries read before kept.
  bool ReadFrom(KQ_THumanReadableStream& stream) override;

 private:
  friend class KQ_TDictIterationInfo;

  // Every entry of this dictionary is in other with an identical value.
  bool IsSubsetOf(KQ_TDict const& other) const;

  kq::DictTable fTable;
};

// The cursor of a dictionary: it stands on an entry, or before the first,
// or after the last. The order is the buckets' ascending order, each chain
// from its head. A cursor made without a dictionary raises
// KQ_EIteratorNotInitialized from every operation but Clone. Removing the
// current entry with DeleteItem steps back first, so that a following Next()
// reaches the entry after the removed one.
class KQ_EXPORT KQ_TDictIterationInfo : public kq::DictTableCursor {
  KQ_CLASS(KQ_TDictIterationInfo, KQ_TObject, KQ_IIterationInfo)
  KQ_TDictIterationInfo();
  // Positioned as by Start(). The dictionary is not owned; the cursor may
  // delete entries of it through DeleteItem.
  explicit KQ_TDictIterationInfo(KQ_TDict const& dict);
  KQ_TDictIterationInfo(KQ_TDictIterationInfo const& other) = default;
  KQ_TDictIterationInfo& operator=(KQ_TDictIterationInfo const& other) = default;
  ~KQ_TDictIterationInfo() override;

  KQ_IIterationInfo* Clone() const override;
};
