// The tree: paths that create subtrees and the errors of walks through
// entries that are missing or hold no tree, counting and emptiness over
// nested levels, the fixed table, comparisons and merging, one-level
// iteration with deletion, cloned keys, printing, the packed form (exact
// bytes, round trips, damaged input) and the text form.
//
// Integer Any keys hash to value + 4 and a one-unit string key to its unit,
// so in 8 buckets the key k sits in bucket (k + 4) % 8 and "a" in bucket 1.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.h"
#include "kq_eexception.h"
#include "kq_initialization.h"
#include "kq_tany.h"
#include "kq_tclass.h"
#include "kq_tdatastream.h"
#include "kq_thumanreadablestream.h"
#include "kq_titerator.h"
#include "kq_tlist.h"
#include "kq_tmemorystream.h"
#include "kq_tstring.h"
#include "kq_ttree.h"

using namespace kqtest;

// A hashable key whose clone may be of a class that is not hashable;
// counts its live instances.
class TreeTestKey : public KQ_TObject, public virtual KQ_IHashable {
  KQ_CLASS(TreeTestKey, KQ_TObject, KQ_IHashable)
  TreeTestKey() { ++sLive; }
  TreeTestKey(std::int32_t id, bool badClone) : fId(id), fBadClone(badClone) { ++sLive; }
  TreeTestKey(TreeTestKey const& other)
      : KQ_IInterface(other), KQ_TObject(other), fId(other.fId), fBadClone(other.fBadClone) {
    ++sLive;
  }
  ~TreeTestKey() override { --sLive; }
  std::uint32_t KQ_HashValue(std::uint32_t seed) const override {
    return seed + static_cast<std::uint32_t>(fId);
  }
  bool KQ_IsIdent(KQ_IPackable const& other) const override {
    auto const* key = static_cast<TreeTestKey const*>(other.KQ_Cast("TreeTestKey"));
    return key != nullptr && key->fId == fId;
  }
  KQ_IPackable* KQ_Clone(void*) const override {
    if (fBadClone) return new KQ_TList();
    return new TreeTestKey(*this);
  }
  void KQ_Pack(KQ_IPacking& packer) const override { packer << fId; }
  void KQ_Unpack(KQ_IUnpacking& unpacker) override { unpacker >> fId; }

  static int sLive;
  std::int32_t fId = 0;
  bool fBadClone = false;
};
KQ_CLASS_IMPL(TreeTestKey)
int TreeTestKey::sLive = 0;

namespace {

class TreeEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__());
    ASSERT_EQ(KQ_TDataStream::SpecificType(73), KQ_TTree::KQ_ClassObject());
    TreeTestKey::KQ_ClassObject();
  }
};

::testing::Environment* const gEnvironment =
    ::testing::AddGlobalTestEnvironment(new TreeEnvironment);

KQ_TAny Int(std::int32_t value) { return KQ_TAny(value); }

std::int32_t IntOf(KQ_IPackable const& packable) {
  auto const* any = static_cast<KQ_TAny const*>(packable.KQ_Cast("KQ_TAny"));
  if (any == nullptr) throw std::runtime_error("not an Any");
  return static_cast<std::int32_t>(*any);
}

// A packed one-unit string.
Bytes Key(char c) {
  return Join({{0x41}, Number(0x07, 1), Number(0x0F, 2), {0x00, static_cast<unsigned char>(c)}});
}

Bytes TreeHeader(std::uint32_t count) { return Join({{0x49}, Number(0x07, count)}); }

}  // namespace

TEST(TreeTest, PathsCreateSubtreesAndSplitAtSlashes) {
  KQ_TTree tree;
  tree("a/b/c", '/') = 5;
  EXPECT_EQ(tree.Entries(), 1u);
  EXPECT_EQ(tree.Depth(), 3u);
  EXPECT_TRUE(tree.HasKey("a"));
  EXPECT_FALSE(tree.HasKey("b"));
  KQ_TTree& a = tree("a");
  EXPECT_EQ(a.Depth(), 2u);
  EXPECT_EQ(&a("b"), &tree.SubTreeOfKey("a/b", '/'));
  EXPECT_EQ(static_cast<std::int32_t>(a("b")["c"]), 5);

  // Empty components are ignored: leading, doubled and trailing slashes.
  KQ_TTree const& constant = tree;
  EXPECT_EQ(static_cast<std::int32_t>(constant("/a//b/c//", '/')), 5);
  EXPECT_EQ(&constant.SubTreeOfKey("//a/b/", '/'), &a("b"));
  EXPECT_TRUE(constant.HasKey("a///b", '/'));
  EXPECT_TRUE(constant.HasKey(L"a/b/c", '/'));
  EXPECT_TRUE(constant.HasKey(u"a/b/c", L'/'));
  EXPECT_TRUE(constant.HasKey(KQ_TString("a/b/c"), '/'));
  EXPECT_FALSE(constant.HasKey("a/b/d", '/'));
  // The separator argument is not read: paths always split at "/".
  EXPECT_TRUE(constant.HasKey("a/b/c", '.'));
  EXPECT_FALSE(tree.HasKey("a.b", '.'));

  // An empty path is the tree itself; it has no value.
  EXPECT_TRUE(constant.HasKey("", '/'));
  EXPECT_TRUE(constant.HasKey("///", '/'));
  EXPECT_EQ(&tree.SubTreeOfKey("", '/'), &tree);
  EXPECT_EQ(&constant.SubTreeOfKey("/", '/'), &tree);
  EXPECT_EQ(constant.ValueOfKey("", '/'), nullptr);
  EXPECT_EQ(Raised([&] { tree("", '/'); }), "KQ_ENoMatchingTreeKey");
  EXPECT_EQ(Raised([&] { constant("//", '/'); }), "KQ_ENoMatchingTreeKey");

  // Writing through a longer path reuses the subtrees on the way.
  tree(u"a/b/d", '/') = 6;
  tree(L"a/e", '/') = KQ_TAny("e");
  EXPECT_EQ(tree.Entries(), 3u);
  EXPECT_EQ(a.Entries(), 3u);
  EXPECT_EQ(*tree.ValueOfKey("a/b/d", '/'), Int(6));
  EXPECT_EQ(constant.ValueOfKey(KQ_TString("a/b/zz"), '/'), nullptr);
  EXPECT_EQ(tree.SubTreeOfKey(L"a/b", '/').BucketCount(), 8u);
  // Components are whole string keys, not prefixes.
  tree("ab", '/') = 1;
  EXPECT_TRUE(tree.HasKey("ab"));
  EXPECT_EQ(tree.Entries(), 4u);
  // A component finds a key that is a string held in an Any as well.
  KQ_TTree held;
  held[KQ_TAny(KQ_TString("x"))].Assign(new KQ_TTree(tree));
  KQ_TTree const& heldConstant = held;
  EXPECT_TRUE(heldConstant.HasKey("x/a/b/c", '/'));
  EXPECT_EQ(*heldConstant.ValueOfKey("x/a/b/d", '/'), Int(6));
  EXPECT_EQ(heldConstant.ValueOfKey("x/a/b/q", '/'), nullptr);
  EXPECT_EQ(Raised([&] { heldConstant.HasKey("y/a", '/'); }), "KQ_ENoMatchingTreeKey");
}

TEST(TreeTest, WalksThroughMissingOrPlainEntriesRaise) {
  KQ_TTree tree;
  tree["x"] = 1;
  tree("t/u", '/') = 2;
  KQ_TTree const& constant = tree;

  EXPECT_EQ(Raised([&] { tree("x"); }), "KQ_EEntryIsNotASubtree");
  EXPECT_EQ(Raised([&] { constant("x"); }), "KQ_EEntryIsNotASubtree");
  EXPECT_EQ(Raised([&] { tree("x/y", '/') = 3; }), "KQ_EEntryIsNotASubtree");
  EXPECT_EQ(Raised([&] { tree.SubTreeOfKey("x", '/'); }), "KQ_EEntryIsNotASubtree");
  EXPECT_EQ(Raised([&] { constant.HasKey("x/y", '/'); }), "KQ_EEntryIsNotASubtree");
  EXPECT_EQ(Raised([&] { constant.HasKey("nowhere/y", '/'); }), "KQ_ENoMatchingTreeKey");
  EXPECT_EQ(Raised([&] { constant("nowhere"); }), "KQ_ENoMatchingTreeKey");
  EXPECT_EQ(Raised([&] { static_cast<void>(constant["nowhere"]); }), "KQ_ENoMatchingTreeKey");
  EXPECT_EQ(Raised([&] { constant("t/nowhere", '/'); }), "KQ_ENoMatchingTreeKey");
  EXPECT_EQ(Raised([&] { constant.ValueOfKey("nowhere/y", '/'); }), "KQ_ENoMatchingTreeKey");
  EXPECT_EQ(Raised([&] { constant.SubTreeOfKey("t/u", '/'); }), "KQ_EEntryIsNotASubtree");
  EXPECT_EQ(tree.Entries(), 2u) << "failed walks add nothing";
  EXPECT_FALSE(tree.HasKey("nowhere"));

  // A value entry that is still ILLEGAL is an entry all the same.
  static_cast<void>(tree["blank"]);
  EXPECT_EQ(Raised([&] { tree("blank"); }), "KQ_EEntryIsNotASubtree");

  // The non-const walks create what they miss, even when they find nothing
  // at the end.
  KQ_TTree fresh;
  EXPECT_EQ(fresh.ValueOfKey("p/q", '/'), nullptr);
  EXPECT_TRUE(fresh.HasKey("p"));
  EXPECT_TRUE(fresh.IsEmpty());
  EXPECT_EQ(fresh.Depth(), 2u);
  fresh.Remove("r/s/t", '/');
  EXPECT_TRUE(fresh.HasKey("r/s", '/'));
  EXPECT_EQ(fresh.Entries(), 0u);
  fresh.Remove("", '/');
  EXPECT_EQ(fresh.Depth(), 3u);
}

TEST(TreeTest, CountingAndEmptinessLookThroughSubtrees) {
  KQ_TTree tree;
  EXPECT_TRUE(tree.IsEmpty());
  EXPECT_EQ(tree.Entries(), 0u);
  EXPECT_EQ(tree.Depth(), 1u);
  tree("empty");
  EXPECT_TRUE(tree.IsEmpty()) << "a tree holding only an empty subtree is empty";
  EXPECT_EQ(tree.Entries(), 0u);
  EXPECT_EQ(tree.Depth(), 2u);
  EXPECT_TRUE(tree.KQ_HRMultiLine());
  tree.SubTreeOfKey("a/b/c/d", '/');
  EXPECT_TRUE(tree.IsEmpty());
  EXPECT_EQ(tree.Depth(), 5u);
  tree("a/b/v", '/') = nullptr;
  EXPECT_FALSE(tree.IsEmpty()) << "a NULL value is a value";
  EXPECT_EQ(tree.Entries(), 1u);
  tree["top"] = KQ_TAny();
  EXPECT_EQ(tree.Entries(), 2u) << "an ILLEGAL value counts too";
  tree.Remove("a/b/v", '/').Remove("top");
  EXPECT_TRUE(tree.IsEmpty());
  tree.Remove("a");
  EXPECT_EQ(tree.Depth(), 2u) << "a subtree goes with all it holds";
}

TEST(TreeTest, TheTableNeverGrows) {
  EXPECT_EQ(KQ_TTree().BucketCount(), 8u);
  EXPECT_EQ(KQ_TTree(0).BucketCount(), 8u);
  KQ_TTree wide(100);
  EXPECT_EQ(wide.BucketCount(), 100u);
  KQ_TTree tree;
  for (std::int32_t i = 0; i < 1000; ++i) tree[Int(i)] = i * 2;
  EXPECT_EQ(tree.BucketCount(), 8u);
  EXPECT_EQ(tree.Entries(), 1000u);
  for (std::int32_t i = 0; i < 1000; ++i) ASSERT_EQ(tree[Int(i)], Int(i * 2));
  // Copies and clones take their own count; subtrees made by a walk have 8.
  KQ_TTree copy(tree, 64);
  EXPECT_EQ(copy.BucketCount(), 64u);
  EXPECT_TRUE(copy == tree);
  std::unique_ptr<KQ_IPackable> clone(wide.KQ_Clone());
  EXPECT_EQ(As<KQ_TTree>(clone).BucketCount(), 8u);
  EXPECT_EQ(wide("s").BucketCount(), 8u);
  KQ_TTree assigned(3);
  assigned = tree;
  EXPECT_EQ(assigned.BucketCount(), 3u) << "assignment keeps the table";
  EXPECT_TRUE(assigned == tree);
}

TEST(TreeTest, KeysAreClonedAndMustStayHashable) {
  ASSERT_EQ(TreeTestKey::sLive, 0);
  {
    KQ_TTree tree;
    TreeTestKey key(3, false);
    tree[key] = 1;
    key.fId = 4;
    EXPECT_FALSE(tree.HasKey(key)) << "the tree holds its own clone";
    EXPECT_TRUE(tree.HasKey(TreeTestKey(3, false)));
    EXPECT_EQ(Raised([&] { tree[TreeTestKey(5, true)] = 2; }), "KQ_EIllegalCast");
    EXPECT_EQ(Raised([&] { tree(TreeTestKey(6, true)); }), "KQ_EIllegalCast");
    EXPECT_EQ(tree.Entries(), 1u);
    EXPECT_EQ(TreeTestKey::sLive, 2);
  }
  EXPECT_EQ(TreeTestKey::sLive, 0);
}

TEST(TreeTest, ComparisonsAndMerging) {
  KQ_TTree a;
  a("x/y", '/') = 1;
  a["z"] = 2;
  KQ_TTree b;
  b["z"] = 2;
  b("x/y", '/') = 1;
  EXPECT_TRUE(a == b);
  EXPECT_TRUE(a.KQ_IsIdent(b));
  EXPECT_TRUE(a <= b && a >= b);
  b("x/w", '/') = 3;
  EXPECT_TRUE(a != b) << "subtrees compare whole";
  EXPECT_TRUE(a <= b);
  EXPECT_FALSE(a >= b);
  EXPECT_TRUE(b >= a);
  a["only"] = 0;
  EXPECT_FALSE(a <= b);
  a.Remove("only");
  // Where the other holds a subtree this side must hold one too.
  KQ_TTree plain;
  plain["x"] = 1;
  EXPECT_FALSE(plain <= a);
  EXPECT_FALSE(a <= plain);
  // Values compare by identity: a 32-bit 1 is not a 64-bit 1.
  KQ_TTree wide;
  wide["z"] = std::int64_t{2};
  KQ_TTree narrow;
  narrow["z"] = 2;
  EXPECT_FALSE(wide == narrow);
  EXPECT_FALSE(a.KQ_IsIdent(KQ_TAny(1)));

  // Merging: subtrees under the same key merge, everything else is replaced
  // by a copy of the other's value.
  KQ_TTree merged;
  merged("x/old", '/') = 0;
  merged["z"] = 99;
  merged("plain/p", '/') = 5;
  KQ_TTree other;
  other("x/y", '/') = 1;
  other["z"] = 2;
  other["plain"] = 7;
  other("fresh/f", '/') = 8;
  merged += other;
  EXPECT_EQ(merged.Entries(), 5u);
  EXPECT_EQ(*merged.ValueOfKey("x/old", '/'), Int(0));
  EXPECT_EQ(*merged.ValueOfKey("x/y", '/'), Int(1));
  EXPECT_EQ(merged["z"], Int(2));
  EXPECT_EQ(merged["plain"], Int(7));
  EXPECT_TRUE(other <= merged);
  merged("fresh/f", '/') = 9;
  EXPECT_EQ(*other.ValueOfKey("fresh/f", '/'), Int(8)) << "merged subtrees are copies";

  // Merging a tree into itself, or a tree it holds into it, changes nothing
  // that was being walked.
  KQ_TTree self;
  self("k/l", '/') = 1;
  self += self;
  EXPECT_EQ(self.Entries(), 1u);
  KQ_TTree holder;
  holder("k/k", '/') = 1;
  holder += holder("k");
  EXPECT_EQ(holder["k"], Int(1)) << "the plain value replaced the subtree it came from";
  EXPECT_EQ(holder.Entries(), 1u);
  KQ_TTree outer;
  outer("a/a", '/') = 1;
  outer["b"] = 2;
  KQ_TTree& inner = outer("a");
  inner += outer;
  EXPECT_EQ(inner["b"], Int(2));
  EXPECT_EQ(*inner.ValueOfKey("a/a", '/'), Int(1)) << "the whole outer tree, as it was, merged in";
  EXPECT_EQ(outer.Entries(), 3u);
}

TEST(TreeTest, ContainsAndKeyOfSearchOneLevelLastBucketFirst) {
  KQ_TTree tree;
  tree[Int(0)] = 7;  // bucket 4
  tree[Int(3)] = 7;  // bucket 7
  tree("sub/v", '/') = 8;
  EXPECT_TRUE(tree.Contains(7));
  EXPECT_FALSE(tree.Contains(8)) << "one level only";
  EXPECT_EQ(IntOf(tree.KeyOf(7)), 3);
  EXPECT_EQ(Raised([&] { tree.KeyOf(8); }), "KQ_ENoMatchingTreeValue");
  KQ_TTree copy = tree("sub");
  EXPECT_TRUE(tree.Contains(KQ_TAny(copy)));
}

TEST(TreeTest, IteratesOneLevelAndDeletesSafely) {
  KQ_TTree tree;
  for (std::int32_t k : {0, 8, 16, 3, 1}) tree[Int(k)] = k;
  tree("sub/deep", '/') = 1;
  // Buckets ascending, newest first within a bucket: 16, 8, 0 in bucket 4,
  // then 1 in bucket 5 and 3 in bucket 7.
  std::vector<std::int32_t> keys;
  KQ_TIterator it(tree);
  for (it.Start(); !it.IsDone(); it.Next()) {
    if (it.Value().Kind() == KQ_TAny::kObject) {
      EXPECT_NE((*it.Value()).KQ_Cast("KQ_TTree"), nullptr) << "a subtree is a value";
      continue;
    }
    keys.push_back(IntOf(it.Key()));
  }
  EXPECT_EQ(keys, (std::vector<std::int32_t>{16, 8, 0, 1, 3}));
  keys.clear();
  for (it.End(); !it.IsDone(); it.Prev()) {
    if (it.Value().Kind() != KQ_TAny::kObject) keys.push_back(IntOf(it.Key()));
  }
  EXPECT_EQ(keys, (std::vector<std::int32_t>{3, 1, 0, 8, 16}));

  // Deleting the entries of bucket 4 while walking forwards.
  keys.clear();
  for (it.Start(); !it.IsDone(); it.Next()) {
    if (it.Value().Kind() == KQ_TAny::kObject) continue;
    keys.push_back(IntOf(it.Key()));
    if (IntOf(it.Key()) % 8 == 0) it.DeleteItem();
  }
  EXPECT_EQ(keys, (std::vector<std::int32_t>{16, 8, 0, 1, 3}));
  EXPECT_EQ(tree.Entries(), 3u);
  EXPECT_FALSE(tree.HasKey(Int(8)));
  // Deleting everything, subtree included.
  for (it.Start(); !it.IsDone(); it.Next()) it.DeleteItem();
  EXPECT_EQ(tree.Depth(), 1u);
  EXPECT_FALSE(tree.KQ_HRMultiLine());
  it.Start();
  EXPECT_TRUE(it.IsDone());
  EXPECT_EQ(Raised([&] { it.Key(); }), "KQ_EIteratorOutOfBounds");
  KQ_TTreeIterationInfo unbound;
  EXPECT_EQ(Raised([&] { unbound.End(); }), "KQ_EIteratorNotInitialized");
}

TEST(TreeTest, StorageOfRemovedEntriesAndSubtreesIsReusedCleanly) {
  // Values and two-level subtrees come and go many times over, so the
  // storage of removed entries is used again. The model holds -(step + 1)
  // for a subtree made at step (its leaf holds step).
  std::mt19937 random(20241205);
  std::map<std::int32_t, std::int32_t> model;
  KQ_TTree tree;
  for (std::int32_t step = 0; step < 6000; ++step) {
    auto const key = static_cast<std::int32_t>(random() % 200);
    unsigned const action = random() % 3;
    if (action == 0) {
      tree.Remove(Int(key));
      model.erase(key);
    } else if (action == 1 && model.count(key) == 0) {
      tree(Int(key))("inner")["leaf"] = step;
      model[key] = -(step + 1);
    } else if (action == 2) {
      tree.Add(Int(key), Int(step));
      model[key] = step;
    }
  }
  KQ_TTree const& view = tree;
  for (std::int32_t k = 0; k < 200; ++k) {
    KQ_TAny const* value = view.ValueOfKey(Int(k));
    auto const expected = model.find(k);
    if (expected == model.end()) {
      EXPECT_EQ(value, nullptr) << k;
    } else if (expected->second < 0) {
      EXPECT_EQ(IntOf(view(Int(k))("inner")["leaf"]), -expected->second - 1) << k;
    } else {
      ASSERT_NE(value, nullptr) << k;
      EXPECT_EQ(IntOf(*value), expected->second) << k;
    }
  }
  EXPECT_EQ(tree.Entries(), model.size());
  EXPECT_EQ(tree.BucketCount(), 8u);
  std::unique_ptr<KQ_IPackable> back(Extracted(Packed(tree)));
  EXPECT_TRUE(As<KQ_TTree>(back) == tree);
}

TEST(TreeTest, PrintsEntriesWithSubtreesDeeper) {
  KQ_TTree tree;
  tree["a"] = 1;
  tree("b/c", '/') = KQ_TAny("v");
  EXPECT_EQ(Printed(tree), "TREE\n{\n  [b] = TREE\n    {\n      [c] = v\n    }\n  [a] = 1\n}");
  EXPECT_EQ(Printed(KQ_TTree()), "TREE\n{\n}");
  KQ_TTree keyed;
  keyed[TreeTestKey(1, false)] = nullptr;
  EXPECT_EQ(Printed(keyed), "TREE\n{\n  [<NON-PRINTABLE>] = [KQ_TANY::NULL]\n}");
  EXPECT_EQ(KQ_IPrintable::Indentation(), 0u);
}

TEST(TreeTest, PacksEachLevelWithSubtreesNested) {
  KQ_TTree tree;
  tree["a"] = 1;
  EXPECT_EQ(Packed(tree), Join({TreeHeader(1), Key('a'), AnyInt(1)}));
  EXPECT_EQ(Packed(KQ_TTree()), TreeHeader(0));
  KQ_TTree nested;
  nested["s"] = KQ_TAny(tree);
  EXPECT_EQ(
      Packed(nested),
      Join({TreeHeader(1), Key('s'), {0x40, 0x05, 0x12}, TreeHeader(1), Key('a'), AnyInt(1)}));

  // Round trips, through Extract and into an existing tree.
  KQ_TTree big;
  big("config/net/port", '/') = 8080;
  big("config/net/host", '/') = KQ_TAny("localhost");
  big("config/empty", '/');
  big[Int(5)] = 2.5;
  big[TreeTestKey(9, false)] = KQ_TAny('c');
  for (std::int32_t i = 0; i < 300; ++i) big(KQ_TString::Format("many/k%d", i), '/') = i;
  std::unique_ptr<KQ_IPackable> const back = Extracted(Packed(big));
  EXPECT_TRUE(As<KQ_TTree>(back) == big);
  EXPECT_EQ(As<KQ_TTree>(back).Entries(), big.Entries());
  EXPECT_EQ(As<KQ_TTree>(back).Depth(), 3u);
  KQ_TTree read;
  read["old"] = 1;
  ReadInto(read, Packed(big));
  EXPECT_TRUE(read == big);
  EXPECT_FALSE(read.HasKey("old"));

  // A repeated key takes the later value.
  ReadInto(read, Join({TreeHeader(2), Key('k'), AnyInt(1), Key('k'), AnyInt(2)}));
  EXPECT_EQ(read["k"], Int(2));
  EXPECT_EQ(read.Entries(), 1u);
}

TEST(TreeTest, DamagedPackedTreesRaiseLibraryExceptions) {
  KQ_TTree tree;
  tree("a/b", '/') = KQ_TAny("v");
  tree[Int(1)] = 2;
  tree[TreeTestKey(4, false)] = 3;
  Bytes const bytes = Packed(tree);
  int const live = TreeTestKey::sLive;
  ExpectDamageRaisesOnlyLibraryExceptions(bytes, {0x00, 0x05, 0x0D, 0x40, 0x49, 0x7F, 0xFF});
  EXPECT_EQ(TreeTestKey::sLive, live) << "no key read from damaged data is left behind";

  // Keys that are no object, or not hashable.
  EXPECT_EQ(Raised([] {
              Extracted(Join({TreeHeader(1), {0x00}, AnyInt(1)}));
            }),
            "KQ_EWrongPackedType");
  EXPECT_EQ(Raised([] {
              Extracted(Join({TreeHeader(1), Packed(KQ_TList()), AnyInt(1)}));
            }),
            "KQ_EWrongPackedType");
  // A count far beyond the data; the pairs that arrived are kept.
  Bytes const hostile = Join({TreeHeader(0xFFFFFFFFu), Key('k'), AnyInt(1)});
  EXPECT_EQ(Raised([&] { Extracted(hostile); }), "KQ_EStreamEndReached");
  KQ_TTree partial;
  EXPECT_EQ(Raised([&] { ReadInto(partial, hostile); }), "KQ_EStreamEndReached");
  EXPECT_EQ(partial["k"], Int(1));
  // Nesting deeper than the data stream allows.
  Bytes deep;
  for (int i = 0; i < 2000; ++i) {
    Bytes const level = Join({TreeHeader(1), Key('d'), {0x40, 0x05, 0x12}});
    deep.insert(deep.end(), level.begin(), level.end());
  }
  EXPECT_EQ(Raised([&] { Extracted(deep); }), "KQ_EWrongPackedType");
}

TEST(TreeTest, TextFormNestsSubtrees) {
  KQ_TTree tree;
  tree["a"] = 1;
  EXPECT_EQ(Text(tree), "KQ_TTree {\n  [ \"a\" ] = 1\n}");
  EXPECT_EQ(Text(KQ_TTree()), "KQ_TTree {  }");
  KQ_TTree nested;
  nested["s"] = KQ_TAny(tree);
  EXPECT_EQ(Text(nested),
            "KQ_TTree {\n"
            "  [ \"s\" ] = KQ_TTree {\n"
            "        [ \"a\" ] = 1\n"
            "      }\n"
            "}");

  KQ_TTree big;
  big("x/y/z", '/') = KQ_TAny("deep");
  big[Int(7)] = true;
  big("x/w", '/') = -1.5;
  KQ_TTree read;
  read["old"] = 0;
  ReadText(read, Text(big));
  EXPECT_TRUE(read == big);
  EXPECT_FALSE(read.HasKey("old"));
  ReadText(read, "KQ_TTree{[\"k\"]=1[ \"k\" ]\n=\n2}");
  EXPECT_EQ(read["k"], Int(2));
  EXPECT_EQ(read.Entries(), 1u);

  KQ_TTree target;
  EXPECT_EQ(Raised([&] { ReadText(target, "KQ_TTree { \"a\" ] = 1 }"); }), "KQ_EHRSyntaxError");
  EXPECT_EQ(Raised([&] { ReadText(target, "KQ_TTree { [ \"a\" = 1 }"); }), "KQ_EHRSyntaxError");
  EXPECT_EQ(Raised([&] { ReadText(target, "KQ_TTree { [ KQ_TList {  } ] = 1 }"); }),
            "KQ_EHRSyntaxError");
  EXPECT_EQ(Raised([&] { ReadText(target, "KQ_TTree { [ \"a\" ] = 1"); }), "KQ_EStreamEndReached");
}

TEST(TreeTest, ClassRecordAndCasts) {
  std::unique_ptr<KQ_TObject> made(KQ_TTree::KQ_Create());
  ASSERT_NE(made, nullptr);
  EXPECT_STREQ(made->ClassName(), "KQ_TTree");
  EXPECT_NE(made->KQ_Cast("KQ_IPackable"), nullptr);
  EXPECT_NE(made->KQ_Cast("KQ_IIteratable"), nullptr);
  EXPECT_NE(made->KQ_Cast("KQ_IPrintable"), nullptr);
  EXPECT_NE(made->KQ_Cast("KQ_IHumanReadable"), nullptr);
  EXPECT_EQ(made->KQ_Cast("KQ_IHashable"), nullptr);
  EXPECT_EQ(KQ_TClass::FindClass("KQ_TTreeIterationInfo"), KQ_TTreeIterationInfo::KQ_ClassObject());
  KQ_TTree tree;
  std::unique_ptr<KQ_IIterationInfo> cursor(tree.CreateIterationInfo());
  EXPECT_STREQ(cursor->ClassName(), "KQ_TTreeIterationInfo");
}
