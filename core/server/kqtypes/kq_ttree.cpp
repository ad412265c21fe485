#include "kq_ttree.h"

#include <algorithm>
#include <utility>

#include "kq_eexception.h"
#include "kq_ipacking.h"
#include "kq_iunpacking.h"
#include "kq_memalloc.h"
#include "kq_tdatastream.h"
#include "kq_thumanreadablestream.h"

KQ_CLASS_IMPL(KQ_TTree)
KQ_CLASS_IMPL(KQ_TTreeIterationInfo)

// One entry: the next node of its chain, the key's full hash, the owned
// clone of the key and the value. The hash sits beside the link so that a
// chain walk asks KQ_IsIdent only of keys whose hash matches.
struct KQ_TTree::Node {
  Node(std::unique_ptr<KQ_IHashable> key, std::uint32_t hash)
      : fNext(nullptr), fHash(hash), fKey(std::move(key)) {}
  Node(Node const&) = delete;
  Node& operator=(Node const&) = delete;

  Node* fNext;
  std::uint32_t fHash;
  std::unique_ptr<KQ_IHashable> fKey;
  KQ_TAny fValue;
};

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

// One level of print indentation for the lifetime of the guard, given back
// even when printing an entry raises.
class IndentLevel {
 public:
  IndentLevel() { KQ_IPrintable::Indent(); }
  ~IndentLevel() { KQ_IPrintable::ReverseIndent(); }
  IndentLevel(IndentLevel const&) = delete;
  IndentLevel& operator=(IndentLevel const&) = delete;
};

// The tree's own copy of a key. A clone that is not hashable raises
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

bool KQ_TTree::KQ_Initialize() {
  KQ_TDataStream::RegisterSpecificType(kPackingCode, KQ_ClassObject());
  return true;
}

KQ_TTree::KQ_TTree() : KQ_TTree(kDefaultBuckets) {}

KQ_TTree::KQ_TTree(std::uint32_t buckets) {
  fTable.fBucketCount = buckets == 0 ? kDefaultBuckets : buckets;
  fTable.fBuckets = static_cast<Node**>(KQ_CAlloc(fTable.fBucketCount, sizeof(Node*)));
}

// Delegating first: once the empty tree is made, the destructor cleans up
// after a copy that raises.
KQ_TTree::KQ_TTree(KQ_TTree const& other, std::uint32_t buckets) : KQ_TTree(buckets) {
  CopyFrom(other);
}

KQ_TTree::~KQ_TTree() {
  Clear();
  KQ_Free(fTable.fBuckets);
}

KQ_TTree& KQ_TTree::operator=(KQ_TTree const& other) {
  if (this == &other) return *this;
  // The copy is complete before anything of this tree goes, which also
  // covers a tree given one of its own subtrees.
  KQ_TTree copy(other, fTable.fBucketCount);
  Swap(copy);
  return *this;
}

KQ_IPackable& KQ_TTree::operator=(KQ_IUnpacking& unpacker) {
  return KQ_IPackable::operator=(unpacker);
}

bool KQ_TTree::IsEmpty() const {
  for (std::uint32_t b = 0; b < fTable.fBucketCount; ++b) {
    for (Node const* node = fTable.fBuckets[b]; node != nullptr; node = node->fNext) {
      KQ_TTree const* subtree = SubtreeOf(node->fValue);
      if (subtree == nullptr || !subtree->IsEmpty()) return false;
    }
  }
  return true;
}

std::uint32_t KQ_TTree::Entries() const {
  std::uint32_t count = 0;
  for (std::uint32_t b = 0; b < fTable.fBucketCount; ++b) {
    for (Node const* node = fTable.fBuckets[b]; node != nullptr; node = node->fNext) {
      KQ_TTree const* subtree = SubtreeOf(node->fValue);
      count += subtree != nullptr ? subtree->Entries() : 1;
    }
  }
  return count;
}

std::uint32_t KQ_TTree::Depth() const {
  std::uint32_t deepest = 0;
  for (std::uint32_t b = 0; b < fTable.fBucketCount; ++b) {
    for (Node const* node = fTable.fBuckets[b]; node != nullptr; node = node->fNext) {
      if (KQ_TTree const* subtree = SubtreeOf(node->fValue)) {
        deepest = std::max(deepest, subtree->Depth());
      }
    }
  }
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
  auto const& level = LastLevel(components);
  return level.HasKey(components.Component());
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

bool KQ_TTree::HasKey(KQ_IHashable const& key) const { return Find(key) != nullptr; }

bool KQ_TTree::Contains(KQ_TAny const& value) const {
  for (std::uint32_t b = fTable.fBucketCount; b-- > 0;) {
    for (Node const* node = fTable.fBuckets[b]; node != nullptr; node = node->fNext) {
      if (node->fValue == value) return true;
    }
  }
  return false;
}

KQ_IHashable const& KQ_TTree::KeyOf(KQ_TAny const& value) const {
  for (std::uint32_t b = fTable.fBucketCount; b-- > 0;) {
    for (Node const* node = fTable.fBuckets[b]; node != nullptr; node = node->fNext) {
      if (node->fValue == value) return *node->fKey;
    }
  }
  KQ_THROW(KQ_ENoMatchingTreeValue());
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
  Node const* node = Find(key);
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

KQ_TAny& KQ_TTree::operator[](KQ_IHashable const& key) { return Slot(key)->fValue; }

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
  Node const* node = Find(key);
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
  std::uint32_t const hash = key.KQ_HashValue(0);
  if (Node* node = *FindLink(key, hash)) {
    KQ_TTree* subtree = SubtreeOf(node->fValue);
    if (subtree == nullptr) KQ_THROW(KQ_EEntryIsNotASubtree());
    return *subtree;
  }
  auto subtree = std::make_unique<KQ_TTree>();
  Node* node = Link(HashableClone(key), hash);
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
  auto& level = LastLevel(components);
  return level.ValueOfKey(components.Component());
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
  Node const* node = Find(key);
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
  Node* node = Find(key);
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
  Node** link = FindLink(key, key.KQ_HashValue(0));
  // key may be the stored key itself: it is not used once the node is gone.
  if (Node* node = *link) {
    *link = node->fNext;
    delete node;
  }
  return *this;
}

bool KQ_TTree::operator==(KQ_TTree const& other) const {
  if (!IsPartOf(other, false)) return false;
  for (std::uint32_t b = 0; b < other.fTable.fBucketCount; ++b) {
    for (Node const* node = other.fTable.fBuckets[b]; node != nullptr; node = node->fNext) {
      if (*FindLink(*node->fKey, node->fHash) == nullptr) return false;
    }
  }
  return true;
}

bool KQ_TTree::operator!=(KQ_TTree const& other) const { return !(*this == other); }

bool KQ_TTree::operator<=(KQ_TTree const& other) const { return IsPartOf(other, true); }

bool KQ_TTree::operator>=(KQ_TTree const& other) const { return other.IsPartOf(*this, true); }

KQ_TTree& KQ_TTree::operator+=(KQ_TTree const& other) {
  // When one of the two trees holds the other (or they are the same), the
  // merge walks a copy: the walk must not see, or lose, the entries the merge
  // changes.
  if (Holds(other) || other.Holds(*this)) return *this += KQ_TTree(other);
  for (std::uint32_t b = other.fTable.fBucketCount; b-- > 0;) {
    for (Node const* node = other.fTable.fBuckets[b]; node != nullptr; node = node->fNext) {
      KQ_TTree const* theirs = SubtreeOf(node->fValue);
      Node* mine = *FindLink(*node->fKey, node->fHash);
      KQ_TTree* ours = mine != nullptr ? SubtreeOf(mine->fValue) : nullptr;
      if (theirs != nullptr && ours != nullptr) {
        *ours += *theirs;
      } else {
        if (mine == nullptr) mine = Link(HashableClone(*node->fKey), node->fHash);
        mine->fValue = node->fValue;
      }
    }
  }
  return *this;
}

KQ_IIterationInfo* KQ_TTree::CreateIterationInfo() const {
  return new KQ_TTreeIterationInfo(*this);
}

void KQ_TTree::KQ_Pack(KQ_IPacking& packer) const {
  std::uint32_t count = 0;
  for (std::uint32_t b = 0; b < fTable.fBucketCount; ++b) {
    for (Node const* node = fTable.fBuckets[b]; node != nullptr; node = node->fNext) ++count;
  }
  packer << count;
  for (std::uint32_t b = fTable.fBucketCount; b-- > 0;) {
    for (Node const* node = fTable.fBuckets[b]; node != nullptr; node = node->fNext) {
      packer << static_cast<KQ_IPackable const&>(*node->fKey);
      packer << static_cast<KQ_IPackable const&>(node->fValue);
    }
  }
}

void KQ_TTree::KQ_Unpack(KQ_IUnpacking& unpacker) {
  Clear();
  std::uint32_t count = 0;
  unpacker >> count;
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
    unpacker >> static_cast<KQ_IPackable&>(value);
    // As an assignment through operator[], without cloning the key read.
    std::uint32_t const hash = key->KQ_HashValue(0);
    Node* node = *FindLink(*key, hash);
    if (node == nullptr) node = Link(std::move(key), hash);
    node->fValue.Swap(value);
  }
}

KQ_IPackable* KQ_TTree::KQ_Clone(void*) const { return new KQ_TTree(*this); }

bool KQ_TTree::KQ_IsIdent(KQ_IPackable const& other) const {
  auto const* tree = static_cast<KQ_TTree const*>(other.KQ_Cast(KQ_ClassName()));
  return tree != nullptr && *this == *tree;
}

void KQ_TTree::PrintOn(std::ostream& os) const {
  os << "TREE\n" << KQ_IPrintable::Prefix() << "{\n";
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

bool KQ_TTree::WriteTo(KQ_THumanReadableStream& stream) const {
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

bool KQ_TTree::ReadFrom(KQ_THumanReadableStream& stream) {
  Clear();
  while (stream.PeekNonWhite() != '}') {
    stream.Expect('[');
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
    // As an assignment through operator[], without cloning the key read.
    Node* node = *FindLink(*key, hash);
    if (node == nullptr) node = Link(std::move(key), hash);
    node->fValue.Swap(value);
  }
  stream.Read();
  return true;
}

bool KQ_TTree::KQ_HRMultiLine() const {
  for (std::uint32_t b = 0; b < fTable.fBucketCount; ++b) {
    if (fTable.fBuckets[b] != nullptr) return true;
  }
  return false;
}

KQ_TTree* KQ_TTree::SubtreeOf(KQ_TAny const& value) {
  if (value.Kind() != KQ_TAny::kObject) return nullptr;
  return static_cast<KQ_TTree*>((*value).KQ_Cast(KQ_ClassName()));
}

KQ_TTree::Node** KQ_TTree::FindLink(KQ_IHashable const& key, std::uint32_t hash) const {
  Node** link = &fTable.fBuckets[hash % fTable.fBucketCount];
  while (*link != nullptr && !((*link)->fHash == hash && (*link)->fKey->KQ_IsIdent(key))) {
    link = &(*link)->fNext;
  }
  return link;
}

KQ_TTree::Node* KQ_TTree::Find(KQ_IHashable const& key) const {
  return *FindLink(key, key.KQ_HashValue(0));
}

KQ_TTree::Node* KQ_TTree::Slot(KQ_IHashable const& key) {
  std::uint32_t const hash = key.KQ_HashValue(0);
  if (Node* node = *FindLink(key, hash)) return node;
  return Link(HashableClone(key), hash);
}

KQ_TTree::Node* KQ_TTree::Link(std::unique_ptr<KQ_IHashable> key, std::uint32_t hash) {
  auto* node = new Node(std::move(key), hash);
  Node*& head = fTable.fBuckets[hash % fTable.fBucketCount];
  node->fNext = head;
  head = node;
  return node;
}

void KQ_TTree::RemoveNode(std::uint32_t bucket, Node const* node) {
  Node** link = &fTable.fBuckets[bucket];
  while (*link != nullptr && *link != node) link = &(*link)->fNext;
  if (Node* found = *link) {
    *link = found->fNext;
    delete found;
  }
}

KQ_TTree const& KQ_TTree::LastLevel(Path& path) const {
  KQ_TTree const* level = this;
  for (; !path.IsLast(); path.Next()) {
    level = &(*level)(static_cast<KQ_IHashable const&>(path.Component()));
  }
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
  for (std::uint32_t b = 0; b < fTable.fBucketCount; ++b) {
    for (Node const* node = fTable.fBuckets[b]; node != nullptr; node = node->fNext) {
      Node const* theirs = *other.FindLink(*node->fKey, node->fHash);
      if (theirs == nullptr) return false;
      KQ_TTree const* theirTree = subtree ? SubtreeOf(theirs->fValue) : nullptr;
      if (theirTree != nullptr) {
        KQ_TTree const* mine = SubtreeOf(node->fValue);
        if (mine == nullptr || !mine->IsPartOf(*theirTree, true)) return false;
      } else if (!node->fValue.KQ_IsIdent(theirs->fValue)) {
        return false;
      }
    }
  }
  return true;
}

bool KQ_TTree::Holds(KQ_TTree const& tree) const {
  if (this == &tree) return true;
  for (std::uint32_t b = 0; b < fTable.fBucketCount; ++b) {
    for (Node const* node = fTable.fBuckets[b]; node != nullptr; node = node->fNext) {
      KQ_TTree const* subtree = SubtreeOf(node->fValue);
      if (subtree != nullptr && subtree->Holds(tree)) return true;
    }
  }
  return false;
}

void KQ_TTree::CopyFrom(KQ_TTree const& other) {
  for (std::uint32_t b = other.fTable.fBucketCount; b-- > 0;) {
    for (Node const* node = other.fTable.fBuckets[b]; node != nullptr; node = node->fNext) {
      Link(HashableClone(*node->fKey), node->fHash)->fValue = node->fValue;
    }
  }
}

void KQ_TTree::Clear() {
  for (std::uint32_t b = 0; b < fTable.fBucketCount; ++b) {
    Node* node = fTable.fBuckets[b];
    while (node != nullptr) {
      Node* const next = node->fNext;
      delete node;
      node = next;
    }
    fTable.fBuckets[b] = nullptr;
  }
}

void KQ_TTree::Swap(KQ_TTree& other) { std::swap(fTable, other.fTable); }

KQ_TTreeIterationInfo::KQ_TTreeIterationInfo()
    : fTree(nullptr), fBucket(0), fCurrent(nullptr), fBeforeStart(true), fAfterEnd(true) {}

KQ_TTreeIterationInfo::KQ_TTreeIterationInfo(KQ_TTree const& tree)
    // The cursor of a tree given as constant may still delete through
    // DeleteItem; KQ_TConstIterator is the read-only way to walk.
    : fTree(const_cast<KQ_TTree*>(&tree)),
      fBucket(0),
      fCurrent(nullptr),
      fBeforeStart(true),
      fAfterEnd(true) {
  Start();
}

KQ_TTreeIterationInfo::~KQ_TTreeIterationInfo() = default;

KQ_IIterationInfo* KQ_TTreeIterationInfo::Clone() const { return new KQ_TTreeIterationInfo(*this); }

KQ_IIterationInfo& KQ_TTreeIterationInfo::Start() {
  bool const found = SeekForward(0);
  if (!found) fCurrent = nullptr;
  fBeforeStart = fAfterEnd = !found;
  return *this;
}

KQ_IIterationInfo& KQ_TTreeIterationInfo::End() {
  bool const found = SeekBackward(Tree().fTable.fBucketCount);
  if (!found) fCurrent = nullptr;
  fBeforeStart = fAfterEnd = !found;
  return *this;
}

KQ_IIterationInfo& KQ_TTreeIterationInfo::Next() {
  Tree();
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

KQ_IIterationInfo& KQ_TTreeIterationInfo::Prev() {
  KQ_TTree const& tree = Tree();
  if (fAfterEnd) return End();
  if (fBeforeStart) return *this;
  KQ_TTree::Node* previous = tree.fTable.fBuckets[fBucket];
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

bool KQ_TTreeIterationInfo::IsBeforeStart() const {
  Tree();
  return fBeforeStart;
}

bool KQ_TTreeIterationInfo::IsAfterEnd() const {
  Tree();
  return fAfterEnd;
}

KQ_IPackable& KQ_TTreeIterationInfo::Key() { return *Current().fKey; }

KQ_TAny& KQ_TTreeIterationInfo::Value() { return Current().fValue; }

KQ_IIterationInfo& KQ_TTreeIterationInfo::DeleteItem() {
  KQ_TTree::Node const& removed = Current();
  std::uint32_t const bucket = fBucket;
  Prev();
  fTree->RemoveNode(bucket, &removed);
  return *this;
}

KQ_TTree& KQ_TTreeIterationInfo::Tree() const {
  if (fTree == nullptr) KQ_THROW(KQ_EIteratorNotInitialized());
  return *fTree;
}

KQ_TTree::Node& KQ_TTreeIterationInfo::Current() const {
  Tree();
  if (fBeforeStart || fAfterEnd || fCurrent == nullptr) KQ_THROW(KQ_EIteratorOutOfBounds());
  return *fCurrent;
}

bool KQ_TTreeIterationInfo::SeekForward(std::uint32_t bucket) {
  KQ_TTree const& tree = Tree();
  for (std::uint32_t b = bucket; b < tree.fTable.fBucketCount; ++b) {
    if (tree.fTable.fBuckets[b] != nullptr) {
      fBucket = b;
      fCurrent = tree.fTable.fBuckets[b];
      return true;
    }
  }
  return false;
}

bool KQ_TTreeIterationInfo::SeekBackward(std::uint32_t bucket) {
  KQ_TTree const& tree = Tree();
  for (std::uint32_t b = bucket; b-- > 0;) {
    KQ_TTree::Node* node = tree.fTable.fBuckets[b];
    if (node != nullptr) {
      while (node->fNext != nullptr) node = node->fNext;
      fBucket = b;
      fCurrent = node;
      return true;
    }
  }
  return false;
}
