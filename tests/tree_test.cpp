// What only the tree does. Integer Any keys hash to value + 4: in 8 buckets
// the key k sits in bucket (k + 4) % 8.
#include <map>
#include <random>

#include "kq_titerator.h"
#include "kq_tstring.h"
#include "kq_ttree.h"
#include "test_support.h"

using namespace kqtest;

// A tree of a class of its own: paths walk through it as through any tree.
class TestTree : public KQ_TTree {
  KQ_CLASS(TestTree, KQ_TTree)
};
KQ_CLASS_IMPL(TestTree)

TEST(TreeTest, PathsCreateSubtreesAndSplitAtSlashes) {
  KQ_TTree tree;
  tree("a/b/c", '/') = 5;
  EXPECT_EQ(tree.Entries(), 1u);
  EXPECT_EQ(tree.Depth(), 3u);
  EXPECT_FALSE(tree.HasKey("b"));
  KQ_TTree& a = tree("a");
  EXPECT_EQ(&a("b"), &tree.SubTreeOfKey("a/b", '/'));
  // Empty components are ignored: leading, doubled and trailing slashes.
  KQ_TTree const& constant = tree;
  EXPECT_EQ(IntOf(constant("/a//b/c//", '/')), 5);
  EXPECT_TRUE(constant.HasKey("a/b/c", '.')) << "the separator argument is not read";
  EXPECT_FALSE(constant.HasKey("a/b/d", '/'));
  // An empty path is the tree itself; it has no value.
  EXPECT_TRUE(constant.HasKey("///", '/'));
  EXPECT_EQ(&constant.SubTreeOfKey("/", '/'), &tree);
  EXPECT_EQ(constant.ValueOfKey("", '/'), nullptr);
  ExpectEachRaises("KQ_ENoMatchingTreeKey", {[&] { tree("", '/'); }, [&] { constant("//", '/'); }});

  // Writing through a longer path reuses the subtrees on the way;
  // components are whole string keys, not prefixes.
  tree("a/b/d", '/') = 6;
  tree("a/e", '/') = KQ_TAny("e");
  tree("ab", '/') = 1;
  EXPECT_EQ(tree.Entries(), 4u);
  EXPECT_EQ(a.Entries(), 3u);
  EXPECT_EQ(*tree.ValueOfKey("a/b/d", '/'), Int(6));
  EXPECT_EQ(constant.ValueOfKey(KQ_TString("a/b/zz"), '/'), nullptr);
  // A component finds a key that is a string held in an Any as well.
  KQ_TTree held;
  held[KQ_TAny(KQ_TString("x"))].Assign(new KQ_TTree(tree));
  KQ_TTree const& heldConstant = held;
  EXPECT_TRUE(heldConstant.HasKey("x/a/b/c", '/'));
  EXPECT_EQ(*heldConstant.ValueOfKey("x/a/b/d", '/'), Int(6));
  held["own"].Assign(new TestTree);
  held("own/k", '/') = 3;
  EXPECT_EQ(*heldConstant.ValueOfKey("own/k", '/'), Int(3));
  EXPECT_STREQ(heldConstant["own"]->ClassName(), "TestTree");
}

TEST(TreeTest, WalksThroughMissingOrPlainEntriesRaise) {
  KQ_TTree tree;
  tree["x"] = 1;
  tree("t/u", '/') = 2;
  static_cast<void>(tree["blank"]);
  KQ_TTree const& constant = tree;
  // A value entry that is still ILLEGAL is an entry all the same.
  ExpectEachRaises("KQ_EEntryIsNotASubtree",
                   {[&] { tree("x"); }, [&] { constant("x"); }, [&] { tree("x/y", '/') = 3; },
                    [&] { tree.SubTreeOfKey("x", '/'); }, [&] { constant.HasKey("x/y", '/'); },
                    [&] { constant.SubTreeOfKey("t/u", '/'); }, [&] { tree("blank"); }});
  ExpectEachRaises(
      "KQ_ENoMatchingTreeKey",
      {[&] { constant.HasKey("nowhere/y", '/'); }, [&] { constant("nowhere"); },
       [&] { static_cast<void>(constant["nowhere"]); }, [&] { constant("t/nowhere", '/'); },
       [&] { constant.ValueOfKey("nowhere/y", '/'); }});
  EXPECT_EQ(tree.Entries(), 3u) << "failed walks add nothing";

  // The non-const walks create what they miss, even when they find nothing
  // at the end.
  KQ_TTree fresh;
  EXPECT_EQ(fresh.ValueOfKey("p/q", '/'), nullptr);
  EXPECT_TRUE(fresh.HasKey("p"));
  fresh.Remove("r/s/t", '/');
  fresh.Remove("", '/');
  // Keys are cloned as the dictionary clones them: a subtree under a key
  // whose clone is not hashable is refused.
  EXPECT_EQ(Raised([&] { fresh(CountedKey(6, 6, CountedKey::kPlain)); }), "KQ_EIllegalCast");
  EXPECT_EQ(CountedPlain::sLive, 0);
  EXPECT_EQ(fresh.Depth(), 3u);
  EXPECT_EQ(fresh.Entries(), 0u);
}

TEST(TreeTest, CountingAndEmptinessLookThroughSubtreesAndTheTableNeverGrows) {
  KQ_TTree tree;
  EXPECT_EQ(tree.Depth(), 1u);
  tree("empty");
  EXPECT_TRUE(tree.IsEmpty()) << "a tree holding only an empty subtree is empty";
  EXPECT_EQ(tree.Entries(), 0u);
  EXPECT_EQ(tree.Depth(), 2u);
  EXPECT_TRUE(tree.KQ_HRMultiLine());
  tree.SubTreeOfKey("a/b/c/d", '/');
  EXPECT_EQ(tree.Depth(), 5u);
  tree("a/b/v", '/') = nullptr;
  EXPECT_FALSE(tree.IsEmpty()) << "a NULL value is a value";
  tree["top"] = KQ_TAny();
  EXPECT_EQ(tree.Entries(), 2u) << "an ILLEGAL value counts too";
  tree.Remove("a/b/v", '/').Remove("top");
  EXPECT_TRUE(tree.IsEmpty());
  tree.Remove("a");
  EXPECT_EQ(tree.Depth(), 2u) << "a subtree goes with all it holds";

  // The table never grows; copies choose their own.
  EXPECT_EQ(KQ_TTree(0).BucketCount(), 8u);
  KQ_TTree wide(100);
  EXPECT_EQ(wide.BucketCount(), 100u);
  KQ_TTree full;
  for (std::int32_t i = 0; i < 1000; ++i) full[Int(i)] = i * 2;
  EXPECT_EQ(full.BucketCount(), 8u);
  // Clones and subtrees made by a walk have 8; assignment keeps the table.
  KQ_TTree copy(full, 64);
  EXPECT_EQ(copy.BucketCount(), 64u);
  EXPECT_TRUE(copy == full);
  std::unique_ptr<KQ_IPackable> const clone(wide.KQ_Clone());
  EXPECT_EQ(As<KQ_TTree>(clone).BucketCount(), 8u);
  EXPECT_EQ(wide("s").BucketCount(), 8u);
  KQ_TTree assigned(3);
  assigned = full;
  EXPECT_EQ(assigned.BucketCount(), 3u);
}

TEST(TreeTest, ComparisonsLookIntoSubtreesAndMergingMergesThem) {
  KQ_TTree a;
  a("x/y", '/') = 1;
  a["z"] = 2;
  KQ_TTree b;
  b["z"] = 2;
  b("x/y", '/') = 1;
  EXPECT_TRUE(a == b);
  b("x/w", '/') = 3;
  EXPECT_TRUE(a != b) << "subtrees compare whole";
  EXPECT_TRUE(a <= b);
  EXPECT_FALSE(a >= b);
  // Where the other holds a subtree this side must hold one too; a key
  // missing on the other side fails too.
  KQ_TTree plain;
  plain["x"] = 1;
  EXPECT_FALSE(plain <= a);
  EXPECT_FALSE(a <= plain);

  // Subtrees under the same key merge, everything else is replaced by a
  // copy of the other's value.
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
  merged("fresh/f", '/') = 9;
  EXPECT_EQ(*other.ValueOfKey("fresh/f", '/'), Int(8)) << "merged subtrees are copies";
  // Merging a tree into itself, or a tree it holds into it, changes nothing
  // that is being walked.
  KQ_TTree self;
  self("k/l", '/') = 1;
  self += self;
  EXPECT_EQ(self.Entries(), 1u);
  KQ_TTree holder;
  holder("k/k", '/') = 1;
  holder += holder("k");
  EXPECT_EQ(holder["k"], Int(1)) << "the plain value replaced the subtree it came from";
  KQ_TTree outer;
  outer("a/a", '/') = 1;
  outer["b"] = 2;
  KQ_TTree& inner = outer("a");
  inner += outer;
  EXPECT_EQ(inner["b"], Int(2));
  EXPECT_EQ(*inner.ValueOfKey("a/a", '/'), Int(1)) << "the whole outer tree, as it was";
  EXPECT_EQ(outer.Entries(), 3u);
}

TEST(TreeTest, SearchesAndIterationStayOnOneLevelWhereSubtreesAreValues) {
  KQ_TTree tree;
  tree[Int(3)] = 7;
  tree("sub/v", '/') = 8;
  EXPECT_EQ(IntOf(tree.KeyOf(7)), 3);
  EXPECT_FALSE(tree.Contains(8)) << "one level only";
  EXPECT_EQ(Raised([&] { tree.KeyOf(8); }), "KQ_ENoMatchingTreeValue");
  KQ_TTree copy = tree("sub");
  EXPECT_TRUE(tree.Contains(KQ_TAny(copy)));
  // Deleting everything, the subtree included.
  KQ_TIterator it(tree);
  int subtrees = 0;
  for (it.Start(); !it.IsDone(); it.Next()) {
    subtrees += it.Value().Kind() == KQ_TAny::kObject && (*it.Value()).KQ_Cast("KQ_TTree") ? 1 : 0;
    it.DeleteItem();
  }
  EXPECT_EQ(subtrees, 1);
  EXPECT_EQ(tree.Depth(), 1u);
  EXPECT_FALSE(tree.KQ_HRMultiLine());
}

TEST(TreeTest, StorageOfRemovedEntriesAndSubtreesIsReusedCleanly) {
  // Values and two-level subtrees come and go many times over. The model
  // holds -(step + 1) for a subtree made at step (its leaf holds step).
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
  KQ_TTree expected;
  for (auto const& [key, value] : model) {
    if (value < 0) {
      expected(Int(key))("inner")["leaf"] = -value - 1;
    } else {
      expected[Int(key)] = value;
    }
  }
  EXPECT_TRUE(tree == expected);
  EXPECT_EQ(tree.Entries(), model.size());
  std::unique_ptr<KQ_IPackable> const back(Extracted(Packed(tree)));
  EXPECT_TRUE(As<KQ_TTree>(back) == tree);
}
