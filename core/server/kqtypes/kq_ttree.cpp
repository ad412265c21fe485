#include "kq_ttree.h"

#include <algorithm>
#include <memory>
#include <typeinfo>

#include "internal/kq_tdict_table.h"
#include "kq_eexception.h"
#include "kq_tdatastream.h"

KQ_CLASS_IMPL(KQ_TTree)
KQ_CLASS_IMPL(KQ_TTreeIterationInfo)

using Node = kq::DictNode;
// The table's functions, each given the level's table record.
using Table = kq::DictTableOps;

// The components of a path, one after the other: runs of units up to the
// next "/", the runs of "/" between them (and at either end) skipped.
class KQ_TTree::Path {
 public:
  explicit Path(KQ_TString const& text) : fText(text), fBegin(0), fEnd(0), fFollowing(0) {
    SkipSeparators();
  }
  Path(Path const&) = delete;
  Path& operator=(Path const&) = delete;

  // Moves to the next component; false when there is none.
  bool Next() {
    std::uint32_t const length = fText.Length();
    if (fFollowing >= length) return false;
    std::uint16_t const* const units = fText.Units();
    fBegin = fEnd = fFollowing;
    while (fEnd < length && units[fEnd] != kSeparator) ++fEnd;
    fFollowing = fEnd;
    SkipSeparators();
    return true;
  }
  // The current component, as a new string key.
  KQ_TString Component() const {
    return fText.Substring(static_cast<std::int32_t>(fBegin),
                           static_cast<std::int32_t>(fEnd - fBegin));
  }
  // Whether no component follows the current one.
  bool IsLast() const { return fFollowing >= fText.Length(); }
  // The entry of level whose key is the current component, or null; no key
  // is made for a level whose keys are plain strings.
  Node* Find(KQ_TTree const& level) const {
    return Table::FindSubstring(level.fTable, fText, fBegin, fEnd - fBegin);
  }

 private:
  static constexpr std::uint16_t kSeparator = 0x2F;

  void SkipSeparators() {
    std::uint16_t const* const units = fText.Units();
    std::uint32_t const length = fText.Length();
    while (fFollowing < length && units[fFollowing] == kSeparator) ++fFollowing;
  }

  KQ_TString const& fText;
  // The current component's units, and where the next one starts (the
  // length of the text after the last).
  std::uint32_t fBegin;
  std::uint32_t fEnd;
  std::uint32_t fFollowing;
};

namespace {

constexpr unsigned char kPackingCode = 73;

}  // namespace

bool KQ_TTree::KQ_Initialize() {
  KQ_TDataStream::RegisterSpecificType(kPackingCode, KQ_ClassObject());
  return true;
}

KQ_TTree::KQ_TTree() : KQ_TTree(kDefaultBuckets) {}

// The table never grows: its growth limit is 0.
KQ_TTree::KQ_TTree(std::uint32_t buckets) : fTable(buckets, 0) {}

// Delegating first: once the empty tree is made, the destructor cleans up
// after a copy that raises.
KQ_TTree::KQ_TTree(KQ_TTree const& other, std::uint32_t buckets) : KQ_TTree(buckets) {
  Table::ForEach(other.fTable, [this](Node const& node) {
    Table::Link(fTable, node.Key(), node.Hashes())->fValue = node.fValue;
  });
}

KQ_TTree::~KQ_TTree() = default;

KQ_TTree& KQ_TTree::operator=(KQ_TTree const& other) {
  if (this == &other) return *this;
  // The copy is complete before anything of this tree goes, which also
  // covers a tree given one of its own subtrees.
  KQ_TTree copy(other, fTable.fBucketCount);
  Table::Swap(fTable, copy.fTable);
  return *this;
}

KQ_IPackable& KQ_TTree::operator=(KQ_IUnpacking& unpacker) {
  return KQ_IPackable::operator=(unpacker);
}

bool KQ_TTree::IsEmpty() const {
  return Table::FindIf(fTable, [](Node const& node) {
           KQ_TTree const* subtree = SubtreeOf(node.fValue);
           return subtree == nullptr || !subtree->IsEmpty();
         }) == nullptr;
}

std::uint32_t KQ_TTree::Entries() const {
  std::uint32_t count = 0;
  Table::ForEach(fTable, [&count](Node const& node) {
    KQ_TTree const* subtree = SubtreeOf(node.fValue);
    count += subtree != nullptr ? subtree->Entries() : 1;
  });
  return count;
}

std::uint32_t KQ_TTree::Depth() const {
  std::uint32_t deepest = 0;
  Table::ForEach(fTable, [&deepest](Node const& node) {
    if (KQ_TTree const* subtree = SubtreeOf(node.fValue)) {
      deepest = std::max(deepest, subtree->Depth());
    }
  });
  return deepest + 1;
}

bool KQ_TTree::HasKey(wchar_t const* path, KQ_TUniChar const& separator) const {
  return HasKey(KQ_TString(path), separator);
}

bool KQ_TTree::HasKey(char const* path, KQ_TUniChar const& separator) const {
  return HasKey(KQ_TString(path), separator);
}

bool KQ_TTree::HasKey(char16_t const* path, KQ_TUniChar const& separator) const {
  return HasKey(KQ_TString(path), separator);
}

bool KQ_TTree::HasKey(KQ_TString const& path, KQ_TUniChar const&) const {
  Path components(path);
  if (!components.Next()) return true;
  return components.Find(LastLevel(components)) != nullptr;
}

bool KQ_TTree::HasKey(wchar_t const* key) const {
  return HasKey(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

bool KQ_TTree::HasKey(char const* key) const {
  return HasKey(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

bool KQ_TTree::HasKey(char16_t const* key) const {
  return HasKey(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

bool KQ_TTree::HasKey(KQ_IHashable const& key) const { return Table::Find(fTable, key) != nullptr; }

bool KQ_TTree::Contains(KQ_TAny const& value) const {
  return Table::FindValue(fTable, value) != nullptr;
}

KQ_IHashable const& KQ_TTree::KeyOf(KQ_TAny const& value) const {
  Node const* node = Table::FindValue(fTable, value);
  if (node == nullptr) KQ_THROW(KQ_ENoMatchingTreeValue());
  return node->Key();
}

KQ_TAny const& KQ_TTree::operator[](wchar_t const* key) const {
  return (*this)[static_cast<KQ_IHashable const&>(KQ_TString(key))];
}

KQ_TAny const& KQ_TTree::operator[](char const* key) const {
  return (*this)[static_cast<KQ_IHashable const&>(KQ_TString(key))];
}

KQ_TAny const& KQ_TTree::operator[](char16_t const* key) const {
  return (*this)[static_cast<KQ_IHashable const&>(KQ_TString(key))];
}

KQ_TAny const& KQ_TTree::operator[](KQ_IHashable const& key) const {
  Node const* node = Table::Find(fTable, key);
  if (node == nullptr) KQ_THROW(KQ_ENoMatchingTreeKey());
  return node->fValue;
}

KQ_TAny& KQ_TTree::operator[](wchar_t const* key) {
  return (*this)[static_cast<KQ_IHashable const&>(KQ_TString(key))];
}

KQ_TAny& KQ_TTree::operator[](char const* key) {
  return (*this)[static_cast<KQ_IHashable const&>(KQ_TString(key))];
}

KQ_TAny& KQ_TTree::operator[](char16_t const* key) {
  return (*this)[static_cast<KQ_IHashable const&>(KQ_TString(key))];
}

KQ_TAny& KQ_TTree::operator[](KQ_IHashable const& key) { return Table::Slot(fTable, key)->fValue; }

KQ_TAny const& KQ_TTree::operator()(wchar_t const* path, KQ_TUniChar const& separator) const {
  return (*this)(KQ_TString(path), separator);
}

KQ_TAny const& KQ_TTree::operator()(char const* path, KQ_TUniChar const& separator) const {
  return (*this)(KQ_TString(path), separator);
}

KQ_TAny const& KQ_TTree::operator()(char16_t const* path, KQ_TUniChar const& separator) const {
  return (*this)(KQ_TString(path), separator);
}

KQ_TAny const& KQ_TTree::operator()(KQ_TString const& path, KQ_TUniChar const&) const {
  Path components(path);
  if (!components.Next()) KQ_THROW(KQ_ENoMatchingTreeKey());
  auto& level = LastLevel(components);
  return level[components.Component()];
}

KQ_TAny& KQ_TTree::operator()(wchar_t const* path, KQ_TUniChar const& separator) {
  return (*this)(KQ_TString(path), separator);
}

KQ_TAny& KQ_TTree::operator()(char const* path, KQ_TUniChar const& separator) {
  return (*this)(KQ_TString(path), separator);
}

KQ_TAny& KQ_TTree::operator()(char16_t const* path, KQ_TUniChar const& separator) {
  return (*this)(KQ_TString(path), separator);
}

KQ_TAny& KQ_TTree::operator()(KQ_TString const& path, KQ_TUniChar const&) {
  Path components(path);
  if (!components.Next()) KQ_THROW(KQ_ENoMatchingTreeKey());
  auto& level = LastLevel(components);
  return level[components.Component()];
}

KQ_TTree const& KQ_TTree::operator()(wchar_t const* key) const {
  return (*this)(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TTree const& KQ_TTree::operator()(char const* key) const {
  return (*this)(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TTree const& KQ_TTree::operator()(char16_t const* key) const {
  return (*this)(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TTree const& KQ_TTree::operator()(KQ_IHashable const& key) const {
  return SubtreeAt(Table::Find(fTable, key));
}

KQ_TTree const& KQ_TTree::SubtreeAt(Node const* node) {
  if (node == nullptr) KQ_THROW(KQ_ENoMatchingTreeKey());
  KQ_TTree const* subtree = SubtreeOf(node->fValue);
  if (subtree == nullptr) KQ_THROW(KQ_EEntryIsNotASubtree());
  return *subtree;
}

KQ_TTree& KQ_TTree::operator()(wchar_t const* key) {
  return (*this)(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TTree& KQ_TTree::operator()(char const* key) {
  return (*this)(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TTree& KQ_TTree::operator()(char16_t const* key) {
  return (*this)(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TTree& KQ_TTree::operator()(KQ_IHashable const& key) {
  if (Node* node = Table::Find(fTable, key)) {
    KQ_TTree* subtree = SubtreeOf(node->fValue);
    if (subtree == nullptr) KQ_THROW(KQ_EEntryIsNotASubtree());
    return *subtree;
  }
  auto subtree = std::make_unique<KQ_TTree>();
  Node* node = Table::Link(fTable, key, Table::HashesOf(key));
  node->fValue.Assign(subtree.get());
  return *subtree.release();
}

KQ_TAny const* KQ_TTree::ValueOfKey(wchar_t const* path, KQ_TUniChar const& separator) const {
  return ValueOfKey(KQ_TString(path), separator);
}

KQ_TAny const* KQ_TTree::ValueOfKey(char const* path, KQ_TUniChar const& separator) const {
  return ValueOfKey(KQ_TString(path), separator);
}

KQ_TAny const* KQ_TTree::ValueOfKey(char16_t const* path, KQ_TUniChar const& separator) const {
  return ValueOfKey(KQ_TString(path), separator);
}

KQ_TAny const* KQ_TTree::ValueOfKey(KQ_TString const& path, KQ_TUniChar const&) const {
  Path components(path);
  if (!components.Next()) return nullptr;
  Node const* node = components.Find(LastLevel(components));
  return node != nullptr ? &node->fValue : nullptr;
}

KQ_TAny* KQ_TTree::ValueOfKey(wchar_t const* path, KQ_TUniChar const& separator) {
  return ValueOfKey(KQ_TString(path), separator);
}

KQ_TAny* KQ_TTree::ValueOfKey(char const* path, KQ_TUniChar const& separator) {
  return ValueOfKey(KQ_TString(path), separator);
}

KQ_TAny* KQ_TTree::ValueOfKey(char16_t const* path, KQ_TUniChar const& separator) {
  return ValueOfKey(KQ_TString(path), separator);
}

KQ_TAny* KQ_TTree::ValueOfKey(KQ_TString const& path, KQ_TUniChar const&) {
  Path components(path);
  if (!components.Next()) return nullptr;
  auto& level = LastLevel(components);
  return level.ValueOfKey(components.Component());
}

KQ_TAny const* KQ_TTree::ValueOfKey(wchar_t const* key) const {
  return ValueOfKey(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TAny const* KQ_TTree::ValueOfKey(char const* key) const {
  return ValueOfKey(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TAny const* KQ_TTree::ValueOfKey(char16_t const* key) const {
  return ValueOfKey(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TAny const* KQ_TTree::ValueOfKey(KQ_IHashable const& key) const {
  Node const* node = Table::Find(fTable, key);
  return node != nullptr ? &node->fValue : nullptr;
}

KQ_TAny* KQ_TTree::ValueOfKey(wchar_t const* key) {
  return ValueOfKey(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TAny* KQ_TTree::ValueOfKey(char const* key) {
  return ValueOfKey(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TAny* KQ_TTree::ValueOfKey(char16_t const* key) {
  return ValueOfKey(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TAny* KQ_TTree::ValueOfKey(KQ_IHashable const& key) {
  Node* node = Table::Find(fTable, key);
  return node != nullptr ? &node->fValue : nullptr;
}

KQ_TTree const& KQ_TTree::SubTreeOfKey(wchar_t const* path, KQ_TUniChar const& separator) const {
  return SubTreeOfKey(KQ_TString(path), separator);
}

KQ_TTree const& KQ_TTree::SubTreeOfKey(char const* path, KQ_TUniChar const& separator) const {
  return SubTreeOfKey(KQ_TString(path), separator);
}

KQ_TTree const& KQ_TTree::SubTreeOfKey(char16_t const* path, KQ_TUniChar const& separator) const {
  return SubTreeOfKey(KQ_TString(path), separator);
}

KQ_TTree const& KQ_TTree::SubTreeOfKey(KQ_TString const& path, KQ_TUniChar const&) const {
  Path components(path);
  if (!components.Next()) return *this;
  auto& level = LastLevel(components);
  return level(components.Component());
}

KQ_TTree& KQ_TTree::SubTreeOfKey(wchar_t const* path, KQ_TUniChar const& separator) {
  return SubTreeOfKey(KQ_TString(path), separator);
}

KQ_TTree& KQ_TTree::SubTreeOfKey(char const* path, KQ_TUniChar const& separator) {
  return SubTreeOfKey(KQ_TString(path), separator);
}

KQ_TTree& KQ_TTree::SubTreeOfKey(char16_t const* path, KQ_TUniChar const& separator) {
  return SubTreeOfKey(KQ_TString(path), separator);
}

KQ_TTree& KQ_TTree::SubTreeOfKey(KQ_TString const& path, KQ_TUniChar const&) {
  Path components(path);
  if (!components.Next()) return *this;
  auto& level = LastLevel(components);
  return level(components.Component());
}

KQ_TTree& KQ_TTree::Add(wchar_t const* key, KQ_TAny const& value) {
  return Add(static_cast<KQ_IHashable const&>(KQ_TString(key)), value);
}

KQ_TTree& KQ_TTree::Add(char const* key, KQ_TAny const& value) {
  return Add(static_cast<KQ_IHashable const&>(KQ_TString(key)), value);
}

KQ_TTree& KQ_TTree::Add(char16_t const* key, KQ_TAny const& value) {
  return Add(static_cast<KQ_IHashable const&>(KQ_TString(key)), value);
}

KQ_TTree& KQ_TTree::Add(KQ_IHashable const& key, KQ_TAny const& value) {
  (*this)[key] = value;
  return *this;
}

KQ_TTree& KQ_TTree::Remove(wchar_t const* path, KQ_TUniChar const& separator) {
  return Remove(KQ_TString(path), separator);
}

KQ_TTree& KQ_TTree::Remove(char const* path, KQ_TUniChar const& separator) {
  return Remove(KQ_TString(path), separator);
}

KQ_TTree& KQ_TTree::Remove(char16_t const* path, KQ_TUniChar const& separator) {
  return Remove(KQ_TString(path), separator);
}

KQ_TTree& KQ_TTree::Remove(KQ_TString const& path, KQ_TUniChar const&) {
  Path components(path);
  if (components.Next()) {
    auto& level = LastLevel(components);
    level.Remove(components.Component());
  }
  return *this;
}

KQ_TTree& KQ_TTree::Remove(wchar_t const* key) {
  return Remove(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TTree& KQ_TTree::Remove(char const* key) {
  return Remove(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TTree& KQ_TTree::Remove(char16_t const* key) {
  return Remove(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TTree& KQ_TTree::Remove(KQ_IHashable const& key) {
  Table::Remove(fTable, key);
  return *this;
}

bool KQ_TTree::operator==(KQ_TTree const& other) const {
  return IsPartOf(other, false) && Table::FindIf(other.fTable, [this](Node const& node) {
                                     return Table::Find(fTable, node.Key(), node.fTag) == nullptr;
                                   }) == nullptr;
}

bool KQ_TTree::operator!=(KQ_TTree const& other) const { return !(*this == other); }

bool KQ_TTree::operator<=(KQ_TTree const& other) const { return IsPartOf(other, true); }

bool KQ_TTree::operator>=(KQ_TTree const& other) const { return other.IsPartOf(*this, true); }

KQ_TTree& KQ_TTree::operator+=(KQ_TTree const& other) {
  // When one of the two trees holds the other (or they are the same), the
  // merge walks a copy: the walk must not see, or lose, the entries the merge
  // changes.
  if (Holds(other) || other.Holds(*this)) return *this += KQ_TTree(other);
  Table::ForEach(other.fTable, [this](Node const& node) {
    KQ_TTree const* theirs = SubtreeOf(node.fValue);
    Node* mine = Table::Find(fTable, node.Key(), node.fTag);
    KQ_TTree* ours = mine != nullptr ? SubtreeOf(mine->fValue) : nullptr;
    if (theirs != nullptr && ours != nullptr) {
      *ours += *theirs;
    } else {
      if (mine == nullptr) mine = Table::Link(fTable, node.Key(), node.Hashes());
      mine->fValue = node.fValue;
    }
  });
  return *this;
}

KQ_IIterationInfo* KQ_TTree::CreateIterationInfo() const {
  return new KQ_TTreeIterationInfo(*this);
}

void KQ_TTree::KQ_Pack(KQ_IPacking& packer) const { Table::Pack(fTable, packer); }

void KQ_TTree::KQ_Unpack(KQ_IUnpacking& unpacker) { Table::Unpack(fTable, unpacker); }

KQ_IPackable* KQ_TTree::KQ_Clone(void*) const { return new KQ_TTree(*this); }

bool KQ_TTree::KQ_IsIdent(KQ_IPackable const& other) const {
  auto const* tree = static_cast<KQ_TTree const*>(other.KQ_Cast(KQ_ClassName()));
  return tree != nullptr && *this == *tree;
}

void KQ_TTree::PrintOn(std::ostream& os) const { Table::Print(fTable, os, "TREE"); }

bool KQ_TTree::WriteTo(KQ_THumanReadableStream& stream) const {
  Table::Write(fTable, stream);
  return false;
}

bool KQ_TTree::ReadFrom(KQ_THumanReadableStream& stream) {
  Table::Read(fTable, stream);
  return true;
}

bool KQ_TTree::KQ_HRMultiLine() const { return fTable.fEntries != 0; }

KQ_TTree* KQ_TTree::SubtreeOf(KQ_TAny const& value) {
  if (value.Kind() != KQ_TAny::kObject) return nullptr;
  KQ_IPackable const& held = *value;
  // A tree of this very class is known by its type, which a path walk asks
  // at every level; objects of other classes ask their class record.
  if (typeid(held) == typeid(KQ_TTree)) {
    return static_cast<KQ_TTree*>(const_cast<void*>(dynamic_cast<void const*>(&held)));
  }
  return static_cast<KQ_TTree*>(held.KQ_Cast(KQ_ClassName()));
}

KQ_TTree const& KQ_TTree::LastLevel(Path& path) const {
  KQ_TTree const* level = this;
  for (; !path.IsLast(); path.Next()) level = &SubtreeAt(path.Find(*level));
  return *level;
}

KQ_TTree& KQ_TTree::LastLevel(Path& path) {
  KQ_TTree* level = this;
  for (; !path.IsLast(); path.Next()) {
    level = &(*level)(static_cast<KQ_IHashable const&>(path.Component()));
  }
  return *level;
}

bool KQ_TTree::IsPartOf(KQ_TTree const& other, bool subtree) const {
  // Looks for an entry that other does not match.
  return Table::FindIf(fTable, [&other, subtree](Node const& node) {
           Node const* theirs = Table::Find(other.fTable, node.Key(), node.fTag);
           if (theirs == nullptr) return true;
           KQ_TTree const* theirTree = subtree ? SubtreeOf(theirs->fValue) : nullptr;
           if (theirTree == nullptr) return !node.fValue.KQ_IsIdent(theirs->fValue);
           KQ_TTree const* mine = SubtreeOf(node.fValue);
           return mine == nullptr || !mine->IsPartOf(*theirTree, true);
         }) == nullptr;
}

bool KQ_TTree::Holds(KQ_TTree const& tree) const {
  return this == &tree || Table::FindIf(fTable, [&tree](Node const& node) {
                            KQ_TTree const* subtree = SubtreeOf(node.fValue);
                            return subtree != nullptr && subtree->Holds(tree);
                          }) != nullptr;
}

KQ_TTreeIterationInfo::KQ_TTreeIterationInfo() : DictTableCursor(nullptr) {}

KQ_TTreeIterationInfo::KQ_TTreeIterationInfo(KQ_TTree const& tree)
    : DictTableCursor(&tree.fTable) {}

KQ_TTreeIterationInfo::~KQ_TTreeIterationInfo() = default;

KQ_IIterationInfo* KQ_TTreeIterationInfo::Clone() const { return new KQ_TTreeIterationInfo(*this); }
