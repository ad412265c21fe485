// KQ_TTree: a nested dictionary. A hash table from hashable keys to KQ_TAny
// values in which a value may itself hold a KQ_TTree (a subtree), so that a
// text path such as "a/b/c" addresses a value through a chain of subtrees:
// every component but the last names a subtree, the last names the value.
//
// Each level is an ordinary tree: a fixed number of buckets (8 unless the
// constructor is told otherwise; the table never grows) holding chains of
// entries, each with the tree's own clone of its key. A key's bucket is its
// KQ_HashValue(0) modulo the bucket count; two keys are the same key when
// the stored one's KQ_IsIdent accepts the other. Text keys given as char,
// wchar_t or char16_t strings become KQ_TString keys.
//
// Paths. The operations that take a separator argument take a path. A path
// is always split at "/" (the separator argument is accepted for callers
// that pass one, and not read); empty components are ignored, so "/a//b/"
// names a then b. Each component is a KQ_TString key. The non-const walks
// create the subtrees they miss; the const walks raise
// KQ_ENoMatchingTreeKey for a missing component and KQ_EEntryIsNotASubtree
// for one whose value is not a tree.
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
#include "kq_tdict.h"
#include "kq_tobject.h"
#include "kq_tstring.h"
#include "kq_tunichar.h"

class KQ_EXPORT KQ_TTree : public KQ_TObject,
                           public virtual KQ_IPackable,
                           public virtual KQ_IIteratable,
                           public virtual KQ_IPrintable,
                           public virtual KQ_IHumanReadable {
  KQ_CLASS(KQ_TTree, KQ_TObject, KQ_IPackable, KQ_IIteratable, KQ_IPrintable, KQ_IHumanReadable)
  static constexpr std::uint32_t kDefaultBuckets = kq::DictTable::kDefaultBuckets;

  // Registers the class with the data stream under packing code 73.
  static bool KQ_Initialize();

  KQ_TTree();
  // buckets buckets (kDefaultBuckets when 0).
  explicit KQ_TTree(std::uint32_t buckets);
  // buckets buckets (kDefaultBuckets when 0) holding clones of the other's
  // entries; subtrees are copied whole, each with kDefaultBuckets buckets.
  KQ_TTree(KQ_TTree const& other, std::uint32_t buckets = 0);
  ~KQ_TTree() override;

  // Replaces all entries with clones of the other's; the tree keeps its own
  // bucket count, and its old entries when copying fails.
  virtual KQ_TTree& operator=(KQ_TTree const& other);
  // Unpacks the tree from the stream.
  KQ_IPackable& operator=(KQ_IUnpacking& unpacker) override;

  // True when every entry of this level is a subtree that is itself empty.
  virtual bool IsEmpty() const;
  // The values that are not trees, counted through every subtree.
  virtual std::uint32_t Entries() const;
  // 1 + the largest depth of the subtrees; 1 for a tree without subtrees.
  virtual std::uint32_t Depth() const;

  // Path forms: true for an empty path; otherwise the intermediate
  // components are walked with the const subtree lookup (which raises) and
  // the last level is asked for the last component.
  virtual bool HasKey(wchar_t const* path, KQ_TUniChar const& separator) const;
  virtual bool HasKey(char const* path, KQ_TUniChar const& separator) const;
  virtual bool HasKey(char16_t const* path, KQ_TUniChar const& separator) const;
  virtual bool HasKey(KQ_TString const& path, KQ_TUniChar const& separator) const;
  // Single-level forms.
  virtual bool HasKey(wchar_t const* key) const;
  virtual bool HasKey(char const* key) const;
  virtual bool HasKey(char16_t const* key) const;
  virtual bool HasKey(KQ_IHashable const& key) const;

  // Whether an entry of this level holds a value equal to value
  // (KQ_TAny::operator==).
  virtual bool Contains(KQ_TAny const& value) const;
  // The stored key of the first entry of this level holding a value equal to
  // value, searching the buckets from the last to the first and each chain
  // from its head; KQ_ENoMatchingTreeValue when there is none.
  virtual KQ_IHashable const& KeyOf(KQ_TAny const& value) const;

  // The value of a key of this level. The const forms raise
  // KQ_ENoMatchingTreeKey for a missing key; the non-const forms add it
  // with an ILLEGAL value (a key whose clone is not hashable raises
  // KQ_EIllegalCast and changes nothing).
  virtual KQ_TAny const& operator[](wchar_t const* key) const;
  virtual KQ_TAny const& operator[](char const* key) const;
  virtual KQ_TAny const& operator[](char16_t const* key) const;
  virtual KQ_TAny const& operator[](KQ_IHashable const& key) const;
  virtual KQ_TAny& operator[](wchar_t const* key);
  virtual KQ_TAny& operator[](char const* key);
  virtual KQ_TAny& operator[](char16_t const* key);
  virtual KQ_TAny& operator[](KQ_IHashable const& key);

  // Path forms: the value at the path. The non-const forms create the
  // missing subtrees and the final entry (ILLEGAL); the const forms raise
  // for anything missing. An empty path names no value and raises
  // KQ_ENoMatchingTreeKey.
  virtual KQ_TAny const& operator()(wchar_t const* path, KQ_TUniChar const& separator) const;
  virtual KQ_TAny const& operator()(char const* path, KQ_TUniChar const& separator) const;
  virtual KQ_TAny const& operator()(char16_t const* path, KQ_TUniChar const& separator) const;
  virtual KQ_TAny const& operator()(KQ_TString const& path, KQ_TUniChar const& separator) const;
  virtual KQ_TAny& operator()(wchar_t const* path, KQ_TUniChar const& separator);
  virtual KQ_TAny& operator()(char const* path, KQ_TUniChar const& separator);
  virtual KQ_TAny& operator()(char16_t const* path, KQ_TUniChar const& separator);
  virtual KQ_TAny& operator()(KQ_TString const& path, KQ_TUniChar const& separator);
  // Single-level forms: the subtree of a key. An entry that holds no tree
  // raises KQ_EEntryIsNotASubtree; a missing key raises
  // KQ_ENoMatchingTreeKey in the const forms and is added holding a new
  // empty tree of kDefaultBuckets buckets in the non-const forms.
  virtual KQ_TTree const& operator()(wchar_t const* key) const;
  virtual KQ_TTree const& operator()(char const* key) const;
  virtual KQ_TTree const& operator()(char16_t const* key) const;
  virtual KQ_TTree const& operator()(KQ_IHashable const& key) const;
  virtual KQ_TTree& operator()(wchar_t const* key);
  virtual KQ_TTree& operator()(char const* key);
  virtual KQ_TTree& operator()(char16_t const* key);
  virtual KQ_TTree& operator()(KQ_IHashable const& key);

  // Path forms: the value at the path, or null when the last component is
  // missing (and for an empty path). The non-const forms create the missing
  // intermediate subtrees; the const forms raise for them.
  virtual KQ_TAny const* ValueOfKey(wchar_t const* path, KQ_TUniChar const& separator) const;
  virtual KQ_TAny const* ValueOfKey(char const* path, KQ_TUniChar const& separator) const;
  virtual KQ_TAny const* ValueOfKey(char16_t const* path, KQ_TUniChar const& separator) const;
  virtual KQ_TAny const* ValueOfKey(KQ_TString const& path, KQ_TUniChar const& separator) const;
  virtual KQ_TAny* ValueOfKey(wchar_t const* path, KQ_TUniChar const& separator);
  virtual KQ_TAny* ValueOfKey(char const* path, KQ_TUniChar const& separator);
  virtual KQ_TAny* ValueOfKey(char16_t const* path, KQ_TUniChar const& separator);
  virtual KQ_TAny* ValueOfKey(KQ_TString const& path, KQ_TUniChar const& separator);
  // Single-level forms: the value of the key, or null.
  virtual KQ_TAny const* ValueOfKey(wchar_t const* key) const;
  virtual KQ_TAny const* ValueOfKey(char const* key) const;
  virtual KQ_TAny const* ValueOfKey(char16_t const* key) const;
  virtual KQ_TAny const* ValueOfKey(KQ_IHashable const& key) const;
  virtual KQ_TAny* ValueOfKey(wchar_t const* key);
  virtual KQ_TAny* ValueOfKey(char const* key);
  virtual KQ_TAny* ValueOfKey(char16_t const* key);
  virtual KQ_TAny* ValueOfKey(KQ_IHashable const& key);

  // The subtree reached by following every component of the path (created
  // when missing in the non-const forms); an empty path gives this tree.
  virtual KQ_TTree const& SubTreeOfKey(wchar_t const* path, KQ_TUniChar const& separator) const;
  virtual KQ_TTree const& SubTreeOfKey(char const* path, KQ_TUniChar const& separator) const;
  virtual KQ_TTree const& SubTreeOfKey(char16_t const* path, KQ_TUniChar const& separator) const;
  virtual KQ_TTree const& SubTreeOfKey(KQ_TString const& path, KQ_TUniChar const& separator) const;
  virtual KQ_TTree& SubTreeOfKey(wchar_t const* path, KQ_TUniChar const& separator);
  virtual KQ_TTree& SubTreeOfKey(char const* path, KQ_TUniChar const& separator);
  virtual KQ_TTree& SubTreeOfKey(char16_t const* path, KQ_TUniChar const& separator);
  virtual KQ_TTree& SubTreeOfKey(KQ_TString const& path, KQ_TUniChar const& separator);

  // (*this)[key] = value on this level: an existing key takes the new value.
  virtual KQ_TTree& Add(wchar_t const* key, KQ_TAny const& value);
  virtual KQ_TTree& Add(char const* key, KQ_TAny const& value);
  virtual KQ_TTree& Add(char16_t const* key, KQ_TAny const& value);
  virtual KQ_TTree& Add(KQ_IHashable const& key, KQ_TAny const& value);

  // Path forms: the intermediate subtrees are walked with the non-const
  // lookup (so missing ones are created), then the last component is
  // removed from the last level. An empty path removes nothing.
  virtual KQ_TTree& Remove(wchar_t const* path, KQ_TUniChar const& separator);
  virtual KQ_TTree& Remove(char const* path, KQ_TUniChar const& separator);
  virtual KQ_TTree& Remove(char16_t const* path, KQ_TUniChar const& separator);
  virtual KQ_TTree& Remove(KQ_TString const& path, KQ_TUniChar const& separator);
  // Single-level forms: destroys the entry with its key and value (a subtree
  // with all it holds); a missing key changes nothing.
  virtual KQ_TTree& Remove(wchar_t const* key);
  virtual KQ_TTree& Remove(char const* key);
  virtual KQ_TTree& Remove(char16_t const* key);
  virtual KQ_TTree& Remove(KQ_IHashable const& key);

  // Every entry of this tree is in the other with an identical value
  // (KQ_IsIdent, so subtrees compare whole), and every key of the other is
  // in this tree.
  virtual bool operator==(KQ_TTree const& other) const;
  virtual bool operator!=(KQ_TTree const& other) const;
  // Sub-tree tests: every entry of the smaller side is in the other side;
  // where the other side holds a subtree this side must hold one that is
  // again <= it, elsewhere the values must be identical.
  virtual bool operator<=(KQ_TTree const& other) const;
  virtual bool operator>=(KQ_TTree const& other) const;
  // Merges other into this tree: where both hold subtrees under a key the
  // other's subtree is merged into this one's, elsewhere this tree takes a
  // copy of the other's value.
  virtual KQ_TTree& operator+=(KQ_TTree const& other);

  // The number of buckets of this level.
  std::uint32_t BucketCount() const { return fTable.fBucketCount; }

  // A new KQ_TTreeIterationInfo over this level (subtrees appear as
  // values), in the order of a dictionary's cursor.
  KQ_IIterationInfo* CreateIterationInfo() const override;

  // Packing, printing and the text form take this level's entries in the
  // order and the forms of KQ_TDict, whose members of the same names
  // describe them; a subtree value is packed, printed and written as the
  // tree it is, so the whole tree nests. Printing starts with "TREE".
  void KQ_Pack(KQ_IPacking& packer) const override;
  void KQ_Unpack(KQ_IUnpacking& unpacker) override;
  void PrintOn(std::ostream& os) const override;
  bool WriteTo(KQ_THumanReadableStream& stream) const override;
  bool ReadFrom(KQ_THumanReadableStream& stream) override;
  // A copy with kDefaultBuckets buckets, subtrees included.
  KQ_IPackable* KQ_Clone(void* where = nullptr) const override;
  // Another tree equal by operator==.
  bool KQ_IsIdent(KQ_IPackable const& other) const override;
  // True unless this level has no entry.
  bool KQ_HRMultiLine() const override;

 private:
  friend class KQ_TTreeIterationInfo;

  class Path;

  // The subtree held by value, or null.
  static KQ_TTree* SubtreeOf(KQ_TAny const& value);
  // The subtree held by node; KQ_ENoMatchingTreeKey for no node,
  // KQ_EEntryIsNotASubtree for a node holding something else.
  static KQ_TTree const& SubtreeAt(kq::DictNode const* node);
  // The level that holds the last component of path, walking the others
  // with the const or the non-const subtree lookup.
  KQ_TTree const& LastLevel(Path& path) const;
  KQ_TTree& LastLevel(Path& path);
  // Every entry of this level is in other, subtrees by <= (subtree true) or
  // every value identical (subtree false).
  bool IsPartOf(KQ_TTree const& other, bool subtree) const;
  // Whether tree is this tree or one of the subtrees it holds, at any depth.
  bool Holds(KQ_TTree const& tree) const;

  kq::DictTable fTable;
};

// The cursor of a tree, over one level (subtrees appear as values): it
// stands on an entry, or before the first, or after the last, in the order
// of the dictionary's cursor. A cursor made without a tree raises
// KQ_EIteratorNotInitialized from every operation but Clone.
class KQ_EXPORT KQ_TTreeIterationInfo : public kq::DictTableCursor {
  KQ_CLASS(KQ_TTreeIterationInfo, KQ_TObject, KQ_IIterationInfo)
  KQ_TTreeIterationInfo();
  // Positioned as by Start(). The tree is not owned; the cursor may delete
  // entries of it through DeleteItem.
  explicit KQ_TTreeIterationInfo(KQ_TTree const& tree);
  KQ_TTreeIterationInfo(KQ_TTreeIterationInfo const& other) = default;
  KQ_TTreeIterationInfo& operator=(KQ_TTreeIterationInfo const& other) = default;
  ~KQ_TTreeIterationInfo() override;

  KQ_IIterationInfo* Clone() const override;
};
