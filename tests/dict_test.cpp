// The dictionary: growth of the table and the order it gives, the key forms,
// cloned keys, comparisons, iteration with deletion, printing, and packing
// through the data stream, damaged and hostile packed input included.
//
// Integer Any keys hash to value + 4, so they pick their bucket: in 8
// buckets the key k sits in bucket (k + 4) % 8.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <limits>
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
#include "kq_ipacking.h"
#include "kq_iunpacking.h"
#include "kq_tany.h"
#include "kq_tclass.h"
#include "kq_tdatastream.h"
#include "kq_tdict.h"
#include "kq_titerator.h"
#include "kq_tlist.h"
#include "kq_tmemorystream.h"
#include "kq_tstring.h"
#include "kq_tunknown.h"

using namespace kqtest;

// A packable object that is not hashable; counts its live instances.
class TestPlain : public KQ_TObject, public virtual KQ_IPackable {
  KQ_CLASS(TestPlain, KQ_TObject, KQ_IPackable)
  TestPlain() { ++sLive; }
  explicit TestPlain(std::int32_t id) : fId(id) { ++sLive; }
  TestPlain(TestPlain const& other) : KQ_IInterface(other), KQ_TObject(other), fId(other.fId) {
    ++sLive;
  }
  ~TestPlain() override { --sLive; }
  void KQ_Pack(KQ_IPacking& packer) const override { packer << fId; }
  void KQ_Unpack(KQ_IUnpacking& unpacker) override { unpacker >> fId; }
  KQ_IPackable* KQ_Clone(void*) const override { return new TestPlain(*this); }
  bool KQ_IsIdent(KQ_IPackable const& other) const override {
    auto const* plain = static_cast<TestPlain const*>(other.KQ_Cast("TestPlain"));
    return plain != nullptr && plain->fId == fId;
  }

  static int sLive;
  std::int32_t fId = 0;
};
KQ_CLASS_IMPL(TestPlain)
int TestPlain::sLive = 0;

// A hashable key that cannot print itself, with a hash the test chooses and
// a clone that may be of the wrong kind; counts its live instances.
class TestKey : public KQ_TObject, public virtual KQ_IHashable {
  KQ_CLASS(TestKey, KQ_TObject, KQ_IHashable)
  enum CloneMode : std::int32_t { kSelf, kNotHashable, kNoClone };
  TestKey() { ++sLive; }
  TestKey(std::int32_t id, std::uint32_t hash, CloneMode mode = kSelf)
      : fId(id), fHash(hash), fMode(mode) {
    ++sLive;
  }
  TestKey(TestKey const& other)
      : KQ_IInterface(other),
        KQ_TObject(other),
        fId(other.fId),
        fHash(other.fHash),
        fMode(other.fMode) {
    ++sLive;
  }
  ~TestKey() override { --sLive; }
  std::uint32_t KQ_HashValue(std::uint32_t seed) const override { return seed + fHash; }
  bool KQ_IsIdent(KQ_IPackable const& other) const override {
    auto const* key = static_cast<TestKey const*>(other.KQ_Cast("TestKey"));
    return key != nullptr && key->fId == fId;
  }
  KQ_IPackable* KQ_Clone(void*) const override {
    if (fMode == kNotHashable) return new TestPlain(fId);
    if (fMode == kNoClone) return nullptr;
    return new TestKey(*this);
  }
  void KQ_Pack(KQ_IPacking& packer) const override { packer << fId << fHash; }
  void KQ_Unpack(KQ_IUnpacking& unpacker) override { unpacker >> fId >> fHash; }

  static int sLive;
  std::int32_t fId = 0;
  std::uint32_t fHash = 0;
  CloneMode fMode = kSelf;
};
KQ_CLASS_IMPL(TestKey)
int TestKey::sLive = 0;

namespace {

// The library registers the packing codes while it initialises. The
// dictionary's own code must come from its class initialisation; the codes
// of the Any and the string are registered here when initialisation does not
// do it yet, and the run says so.
class DictEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__());
    ASSERT_TRUE(KQ_TDict::KQ_ClassObject()->Initialize());
    ASSERT_EQ(KQ_TDataStream::SpecificType(69), KQ_TDict::KQ_ClassObject());
    Expect(64, KQ_TAny::KQ_ClassObject());
    Expect(65, KQ_TString::KQ_ClassObject());
    TestKey::KQ_ClassObject();
    TestPlain::KQ_ClassObject();
  }

 private:
  static void Expect(unsigned char code, KQ_TClass const* record) {
    KQ_TClass const* registered = KQ_TDataStream::SpecificType(code);
    if (registered == record) return;
    ASSERT_EQ(registered, nullptr) << "code " << int{code} << " holds another class";
    std::cout << "[   NOTE   ] code " << int{code} << " (" << record->ClassName()
              << ") registered by the test: initialisation did not register it\n";
    KQ_TDataStream::RegisterSpecificType(code, record);
  }
};

::testing::Environment* const gEnvironment =
    ::testing::AddGlobalTestEnvironment(new DictEnvironment);

KQ_TAny Int(std::int32_t value) { return KQ_TAny(value); }

std::int32_t IntOf(KQ_IPackable const& packable) {
  auto const* any = static_cast<KQ_TAny const*>(packable.KQ_Cast("KQ_TAny"));
  EXPECT_NE(any, nullptr);
  return any == nullptr ? -1 : static_cast<std::int32_t>(*any);
}

// The integer keys in iteration order (forwards or backwards).
std::vector<std::int32_t> Order(KQ_TDict const& dict) {
  std::vector<std::int32_t> keys;
  KQ_TConstIterator it(dict);
  for (it.Start(); !it.IsDone(); it.Next()) keys.push_back(IntOf(it.Key()));
  return keys;
}

std::vector<std::int32_t> ReverseOrder(KQ_TDict const& dict) {
  std::vector<std::int32_t> keys;
  KQ_TConstIterator it(dict);
  for (it.End(); !it.IsDone(); it.Prev()) keys.push_back(IntOf(it.Key()));
  return keys;
}

// A dictionary mapping each integer key to ten times itself, added in order.
KQ_TDict IntDict(std::vector<std::int32_t> const& keys, std::uint32_t buckets = 0) {
  KQ_TDict dict(buckets);
  for (std::int32_t k : keys) dict.Add(Int(k), Int(10 * k));
  return dict;
}

Bytes DictHeader(std::uint32_t count) { return Join({{0x45}, Number(0x07, count)}); }

}  // namespace

TEST(DictTest, NewTablesHaveEightBucketsUnlessToldOtherwise) {
  EXPECT_EQ(KQ_TDict().BucketCount(), 8u);
  EXPECT_EQ(KQ_TDict(0).BucketCount(), 8u);
  EXPECT_EQ(KQ_TDict(3).BucketCount(), 3u);
  EXPECT_EQ(KQ_TDict(1000).BucketCount(), 1000u);
  KQ_TDict const empty;
  EXPECT_TRUE(empty.IsEmpty());
  EXPECT_EQ(empty.Entries(), 0u);
  EXPECT_FALSE(empty.KQ_HRMultiLine());
}

TEST(DictTest, TableDoublesBeforeTheInsertionThatWouldOverfillItAndStopsAt256) {
  KQ_TDict dict;
  // bucketsAfter[n]: the bucket count once n keys are in.
  std::vector<std::uint32_t> bucketsAfter{dict.BucketCount()};
  for (std::int32_t k = 0; k < 1000; ++k) {
    dict.Add(Int(k), Int(k * 3));
    bucketsAfter.push_back(dict.BucketCount());
  }
  std::vector<std::pair<std::size_t, std::uint32_t>> const milestones = {
      {0, 8},   {8, 8},    {9, 16},    {16, 16},   {17, 32},   {32, 32},   {33, 64},
      {64, 64}, {65, 128}, {128, 128}, {129, 256}, {256, 256}, {257, 256}, {1000, 256}};
  for (auto const& [entries, buckets] : milestones) {
    EXPECT_EQ(bucketsAfter[entries], buckets) << "with " << entries << " keys";
  }
  for (std::size_t n = 1; n < bucketsAfter.size(); ++n) {
    ASSERT_GE(bucketsAfter[n], bucketsAfter[n - 1]) << "the table never shrinks";
  }
  EXPECT_EQ(dict.BucketCount(), 256u);
  EXPECT_EQ(dict.Entries(), 1000u);
  for (std::int32_t k = 0; k < 1000; ++k) {
    KQ_TAny const* value = dict.ValueOfKey(Int(k));
    ASSERT_NE(value, nullptr) << k;
    EXPECT_EQ(static_cast<std::int32_t>(*value), k * 3);
  }
  EXPECT_FALSE(dict.HasKey(Int(1000)));

  // The 8th insertion fits, the 9th grows the table first.
  KQ_TDict small = IntDict({0, 1, 2, 3, 4, 5, 6, 7});
  EXPECT_EQ(small.BucketCount(), 8u);
  small.Add(Int(8), Int(0));
  EXPECT_EQ(small.BucketCount(), 16u);
  // Replacing a value is no insertion: a full table stays as it is.
  KQ_TDict full = IntDict({0, 1, 2, 3, 4, 5, 6, 7});
  full.Add(Int(3), Int(-1));
  EXPECT_EQ(full.BucketCount(), 8u);
}

TEST(DictTest, LargeOrOddTablesGrowOnlyUpTo256) {
  std::vector<std::int32_t> keys;
  for (std::int32_t k = 0; k < 3000; ++k) keys.push_back(k);
  KQ_TDict big = IntDict(keys, 1000);
  EXPECT_EQ(big.BucketCount(), 1000u);
  EXPECT_EQ(big.Entries(), 3000u);
  EXPECT_EQ(IntDict(keys, 300).BucketCount(), 300u);
  EXPECT_EQ(IntDict(keys, 256).BucketCount(), 256u);

  // 100 buckets double to 200 and are then capped at 256.
  KQ_TDict odd(100);
  for (std::int32_t k = 0; k < 100; ++k) odd.Add(Int(k), Int(k));
  EXPECT_EQ(odd.BucketCount(), 100u);
  odd.Add(Int(100), Int(100));
  EXPECT_EQ(odd.BucketCount(), 200u);
  for (std::int32_t k = 101; k < 200; ++k) odd.Add(Int(k), Int(k));
  EXPECT_EQ(odd.BucketCount(), 200u);
  odd.Add(Int(200), Int(200));
  EXPECT_EQ(odd.BucketCount(), 256u);
  for (std::int32_t k = 0; k <= 200; ++k) ASSERT_EQ(static_cast<std::int32_t>(odd[Int(k)]), k);

  // A single bucket grows too.
  KQ_TDict one(1);
  one.Add(Int(1), Int(1));
  EXPECT_EQ(one.BucketCount(), 1u);
  one.Add(Int(2), Int(2));
  EXPECT_EQ(one.BucketCount(), 2u);
}

TEST(DictTest, IterationRunsThroughBucketsAscendingNewestFirstWithinABucket) {
  // Buckets of 8: 4 and 12 -> 0, 0 -> 4, 1 -> 5, 3 -> 7.
  KQ_TDict dict = IntDict({4, 0, 3, 12, 1});
  EXPECT_EQ(Order(dict), (std::vector<std::int32_t>{12, 4, 0, 1, 3}));
  EXPECT_EQ(ReverseOrder(dict), (std::vector<std::int32_t>{3, 1, 0, 4, 12}));

  KQ_TIterator it(dict);
  EXPECT_FALSE(it.IsDone());
  EXPECT_EQ(IntOf(it.Key()), 12) << "a new cursor stands on the first entry";
  EXPECT_EQ(static_cast<std::int32_t>(it.Value()), 120);
  it.Value() = Int(-5);
  EXPECT_EQ(static_cast<std::int32_t>(dict[Int(12)]), -5);

  // Stepping off either end, and back.
  it.Prev();
  EXPECT_TRUE(it.IsBeforeStart());
  EXPECT_FALSE(it.IsAfterEnd());
  EXPECT_THROW(it.Key(), KQ_EIteratorOutOfBounds);
  EXPECT_THROW(it.Value(), KQ_EIteratorOutOfBounds);
  EXPECT_THROW(it.DeleteItem(), KQ_EIteratorOutOfBounds);
  it.Prev();
  EXPECT_TRUE(it.IsBeforeStart());
  it.Next();
  EXPECT_EQ(IntOf(it.Key()), 12);
  it.End();
  EXPECT_EQ(IntOf(it.Key()), 3);
  it.Next();
  EXPECT_TRUE(it.IsAfterEnd());
  EXPECT_FALSE(it.IsBeforeStart());
  EXPECT_THROW(it.Key(), KQ_EIteratorOutOfBounds);
  EXPECT_THROW(it.DeleteItem(), KQ_EIteratorOutOfBounds);
  it.Next();
  EXPECT_TRUE(it.IsAfterEnd());
  it.Prev();
  EXPECT_EQ(IntOf(it.Key()), 3);
  // Within a chain backwards: from 4 to 12.
  it.Start().Next();
  EXPECT_EQ(IntOf(it.Key()), 4);
  it.Prev();
  EXPECT_EQ(IntOf(it.Key()), 12);

  // A clone of the cursor moves on its own.
  KQ_TIterator copy(it);
  copy.Next().Next();
  EXPECT_EQ(IntOf(copy.Key()), 0);
  EXPECT_EQ(IntOf(it.Key()), 12);

  // The key handed out is the stored key, not a copy.
  KQ_IPackable& stored = it.Key();
  EXPECT_EQ(&stored, &it.Key());
  EXPECT_EQ(&static_cast<KQ_IPackable const&>(dict.KeyOf(Int(-5))), &stored);

  KQ_TDict empty;
  KQ_TIterator none(empty);
  EXPECT_TRUE(none.IsDone());
  EXPECT_TRUE(none.IsBeforeStart() && none.IsAfterEnd());
  EXPECT_THROW(none.Value(), KQ_EIteratorOutOfBounds);
  none.End();
  EXPECT_TRUE(none.IsDone());
  none.Next();
  none.Prev();
  EXPECT_TRUE(none.IsDone());

  KQ_TDictIterationInfo unbound;
  EXPECT_THROW(unbound.Start(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(unbound.Next(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(unbound.Prev(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(unbound.End(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(unbound.IsAfterEnd(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(unbound.Key(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(unbound.Value(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(unbound.DeleteItem(), KQ_EIteratorNotInitialized);
  std::unique_ptr<KQ_IIterationInfo> unboundCopy(unbound.Clone());
  EXPECT_THROW(unboundCopy->IsBeforeStart(), KQ_EIteratorNotInitialized);
}

TEST(DictTest, GrowingMovesChainsLastBucketFirstPushingOntoTheNewHeads) {
  // In 8 and in 16 buckets, 0, 16 and 32 share bucket 4; the fillers 5, 6,
  // 1, 2, 3 sit in buckets 1, 2, 5, 6, 7 (9, 10, 5, 6, 7 in 16).
  KQ_TDict dict = IntDict({0, 16, 32, 5, 6, 1, 2, 3});
  ASSERT_EQ(dict.BucketCount(), 8u);
  EXPECT_EQ(Order(dict), (std::vector<std::int32_t>{5, 6, 32, 16, 0, 1, 2, 3}));
  // Rehashing pushes the chain 32, 16, 0 onto the new bucket 4 head by head,
  // which reverses it; 40 goes to bucket 12.
  dict.Add(Int(40), Int(400));
  ASSERT_EQ(dict.BucketCount(), 16u);
  EXPECT_EQ(Order(dict), (std::vector<std::int32_t>{0, 16, 32, 1, 2, 3, 5, 6, 40}));
  // A key inserted afterwards is the new head of its bucket.
  dict.Add(Int(48), Int(480));
  EXPECT_EQ(Order(dict), (std::vector<std::int32_t>{48, 0, 16, 32, 1, 2, 3, 5, 6, 40}));

  // From 200 to 256 buckets two old buckets merge into one: 6 (hash 10,
  // old bucket 10) and 262 (hash 266, old bucket 66) both go to bucket 10.
  // The old buckets are walked from the last, so 262 is pushed first and 6
  // ends up at the head, although 262 was inserted later.
  KQ_TDict merged(200);
  merged.Add(Int(6), Int(0));
  merged.Add(Int(262), Int(0));
  for (std::int32_t k = 1000; merged.Entries() < 200; ++k) merged.Add(Int(k), Int(0));
  ASSERT_EQ(merged.BucketCount(), 200u);
  merged.Add(Int(-4), Int(0));  // hash 0
  ASSERT_EQ(merged.BucketCount(), 256u);
  std::vector<std::int32_t> const order = Order(merged);
  auto position = [&order](std::int32_t key) {
    return std::find(order.begin(), order.end(), key) - order.begin();
  };
  EXPECT_EQ(order.front(), -4);
  EXPECT_LT(position(6), position(262));
  EXPECT_EQ(order.size(), 201u);
  EXPECT_EQ(ReverseOrder(merged), std::vector<std::int32_t>(order.rbegin(), order.rend()));
}

TEST(DictTest, TextKeysOfEveryFormAreStringKeys) {
  KQ_TDict dict;
  dict.Add("caf\xC3\xA9", Int(1));
  dict.Add(L"\U0001F600", Int(2));
  dict.Add(u"\u00DF", Int(3));
  EXPECT_EQ(dict.Entries(), 3u);

  KQ_TDict const& view = dict;
  KQ_TString const cafe("caf\xC3\xA9");
  EXPECT_TRUE(view.HasKey("caf\xC3\xA9"));
  EXPECT_TRUE(view.HasKey(L"caf\u00E9"));
  EXPECT_TRUE(view.HasKey(u"caf\u00E9"));
  EXPECT_TRUE(view.HasKey(cafe));
  EXPECT_FALSE(view.HasKey("cafe"));
  // A character beyond the BMP as UTF-32 and as UTF-16 reaches the same key.
  EXPECT_EQ(static_cast<std::int32_t>(view[u"\U0001F600"]), 2);
  EXPECT_EQ(static_cast<std::int32_t>(view[KQ_TString(u"\xD83D\xDE00")]), 2);
  EXPECT_EQ(static_cast<std::int32_t>(view[L"\u00DF"]), 3);
  EXPECT_EQ(static_cast<std::int32_t>(view[KQ_TString(u"\u00DF")]), 3);
  // An Any holding a string finds the string key.
  EXPECT_EQ(static_cast<std::int32_t>(view[KQ_TAny("caf\xC3\xA9")]), 1);

  ASSERT_NE(view.ValueOfKey(L"caf\u00E9"), nullptr);
  EXPECT_EQ(static_cast<std::int32_t>(*view.ValueOfKey(u"caf\u00E9")), 1);
  EXPECT_EQ(view.ValueOfKey("nope"), nullptr);
  EXPECT_EQ(view.ValueOfKey(L"nope"), nullptr);
  EXPECT_EQ(view.ValueOfKey(u"nope"), nullptr);
  *dict.ValueOfKey("caf\xC3\xA9") = Int(10);
  *dict.ValueOfKey(L"\u00DF") = Int(30);
  *dict.ValueOfKey(u"\U0001F600") = Int(20);
  EXPECT_EQ(static_cast<std::int32_t>(view[cafe]), 10);
  EXPECT_EQ(static_cast<std::int32_t>(view["\xC3\x9F"]), 30);
  EXPECT_EQ(static_cast<std::int32_t>(view[L"\U0001F600"]), 20);
  EXPECT_EQ(dict.ValueOfKey(KQ_TString("x")), nullptr);

  dict[L"w"] = Int(4);
  dict[u"u"] = Int(5);
  dict["c"] = Int(6);
  EXPECT_EQ(dict.Entries(), 6u);
  EXPECT_TRUE(dict.HasKey(KQ_TString("w")) && dict.HasKey("u") && dict.HasKey(u"c"));

  dict.Remove(L"w").Remove(u"u").Remove("c").Remove(KQ_TString(u"\u00DF"));
  EXPECT_EQ(dict.Entries(), 2u);
  EXPECT_FALSE(dict.HasKey("w") || dict.HasKey("u") || dict.HasKey("c") || dict.HasKey(u"\u00DF"));
  // Removing a missing key changes nothing.
  dict.Remove("missing").Remove(Int(3));
  EXPECT_EQ(dict.Entries(), 2u);
  // The stored keys are strings.
  KQ_TConstIterator it(dict);
  for (it.Start(); !it.IsDone(); it.Next()) {
    EXPECT_NE(it.Key().KQ_Cast("KQ_TString"), nullptr);
    EXPECT_EQ(it.Key().KQ_Cast("KQ_TAny"), nullptr);
  }
}

TEST(DictTest, AddingAKeyAgainReplacesItsValueAndConstReadsAddNothing) {
  KQ_TDict dict;
  dict.Add("a", Int(1)).Add("a", Int(2));
  EXPECT_EQ(dict.Entries(), 1u);
  EXPECT_EQ(static_cast<std::int32_t>(dict["a"]), 2);
  dict[KQ_TString("a")] = KQ_TString("text");
  EXPECT_EQ(dict.Entries(), 1u);
  EXPECT_TRUE(dict["a"] == KQ_TAny(KQ_TString("text")));

  KQ_TDict const& view = dict;
  KQ_TAny const& missing = view["b"];
  EXPECT_TRUE(missing.IsIllegal());
  EXPECT_EQ(&missing, &KQ_TAny::Illegal()) << "the shared constant ILLEGAL value";
  EXPECT_EQ(&view[L"c"], &view[Int(7)]);
  EXPECT_EQ(dict.Entries(), 1u);
  EXPECT_FALSE(dict.HasKey("b"));

  KQ_TAny& added = dict["b"];
  EXPECT_TRUE(added.IsIllegal());
  EXPECT_NE(&added, &KQ_TAny::Illegal());
  EXPECT_EQ(dict.Entries(), 2u);
  EXPECT_TRUE(dict.HasKey("b"));
  EXPECT_TRUE(KQ_TAny::Illegal().IsIllegal());
  EXPECT_TRUE(dict.KQ_HRMultiLine());

  // Values of different kinds are different values, and so are keys.
  dict.Add(Int(5), Int(1));
  dict.Add(KQ_TAny(std::int64_t{5}), Int(2));
  EXPECT_EQ(dict.Entries(), 4u);
  EXPECT_EQ(static_cast<std::int32_t>(dict[Int(5)]), 1);
}

TEST(DictTest, TheDictionaryKeepsItsOwnCloneOfEveryKey) {
  KQ_TString key("alpha");
  KQ_TDict dict;
  dict.Add(key, Int(1));
  key = "beta";
  EXPECT_TRUE(dict.HasKey("alpha"));
  EXPECT_FALSE(dict.HasKey("beta"));
  EXPECT_NE(&dict.KeyOf(Int(1)), static_cast<KQ_IHashable const*>(&key));

  ASSERT_EQ(TestKey::sLive, 0);
  {
    KQ_TDict keys;
    TestKey const first(1, 7);
    keys.Add(first, Int(1));
    EXPECT_EQ(TestKey::sLive, 2) << "the caller's key and the dictionary's clone";
    keys.Add(TestKey(1, 7), Int(2));
    EXPECT_EQ(TestKey::sLive, 2) << "an existing key is not cloned again";
    keys.Add(TestKey(2, 7), Int(3));
    EXPECT_EQ(TestKey::sLive, 3);
    keys.Remove(TestKey(1, 7));
    EXPECT_EQ(TestKey::sLive, 2) << "Remove destroys the stored key";
    EXPECT_FALSE(keys.HasKey(first));
    KQ_TDict copy(keys);
    EXPECT_EQ(TestKey::sLive, 3);
  }
  EXPECT_EQ(TestKey::sLive, 0);
}

TEST(DictTest, AKeyWhoseCloneIsNotHashableRaisesAndChangesNothing) {
  ASSERT_EQ(TestKey::sLive, 0);
  ASSERT_EQ(TestPlain::sLive, 0);
  {
    // A full table: a successful insertion would grow it.
    KQ_TDict dict = IntDict({0, 1, 2, 3, 4, 5, 6, 7});
    std::vector<std::int32_t> const before = Order(dict);
    TestKey const wrong(1, 3, TestKey::kNotHashable);
    TestKey const none(2, 3, TestKey::kNoClone);
    EXPECT_THROW(dict.Add(wrong, Int(1)), KQ_EIllegalCast);
    EXPECT_THROW(dict[wrong] = Int(1), KQ_EIllegalCast);
    EXPECT_THROW(dict.Add(none, Int(1)), KQ_EIllegalCast);
    EXPECT_EQ(TestPlain::sLive, 0) << "the rejected clones are destroyed";
    EXPECT_EQ(dict.Entries(), 8u);
    EXPECT_EQ(dict.BucketCount(), 8u);
    EXPECT_EQ(Order(dict), before);
    EXPECT_FALSE(dict.HasKey(wrong));

    // Reading such a key needs no clone.
    EXPECT_TRUE(static_cast<KQ_TDict const&>(dict)[wrong].IsIllegal());
    EXPECT_EQ(dict.ValueOfKey(wrong), nullptr);
    dict.Remove(wrong);
    EXPECT_EQ(dict.Entries(), 8u);
  }
  EXPECT_EQ(TestKey::sLive, 0);
  EXPECT_EQ(TestPlain::sLive, 0);

  // A key whose hash cannot be computed raises before anything is cloned.
  KQ_TDict dict;
  KQ_TAny const unhashable{TestPlain(3)};
  EXPECT_THROW(dict.Add(unhashable, Int(1)), KQ_EAnyContainsUnhashableType);
  EXPECT_TRUE(dict.IsEmpty());
  EXPECT_EQ(TestPlain::sLive, 1);
}

TEST(DictTest, ContainsAndKeyOfSearchTheLastBucketFirst) {
  KQ_TDict dict;
  // 4 (bucket 0) and 3 (bucket 7) hold "v"; 12 then 20 (both bucket 0)
  // hold "w".
  dict.Add(Int(4), KQ_TAny("v"));
  dict.Add(Int(3), KQ_TAny("v"));
  dict.Add(Int(12), KQ_TAny("w"));
  dict.Add(Int(20), KQ_TAny("w"));
  dict.Add(Int(1), Int(9));
  EXPECT_EQ(IntOf(dict.KeyOf(KQ_TAny("v"))), 3);
  EXPECT_EQ(IntOf(dict.KeyOf(KQ_TAny("w"))), 20);
  EXPECT_EQ(IntOf(dict.KeyOf(Int(9))), 1);
  EXPECT_TRUE(dict.Contains(KQ_TAny("v")));
  EXPECT_TRUE(dict.Contains(Int(9)));
  EXPECT_FALSE(dict.Contains(KQ_TAny(std::int64_t{9})));
  EXPECT_FALSE(dict.Contains(KQ_TAny("x")));
  EXPECT_THROW(dict.KeyOf(KQ_TAny("x")), KQ_ENoMatchingDictValue);
  EXPECT_THROW(dict.KeyOf(Int(0)), KQ_EDictException);
  EXPECT_THROW(KQ_TDict().KeyOf(KQ_TAny()), KQ_ENoMatchingDictValue);
  // A missing value also means ILLEGAL is not contained until it is added.
  EXPECT_FALSE(dict.Contains(KQ_TAny()));
  dict["empty"];
  EXPECT_TRUE(dict.Contains(KQ_TAny()));
  EXPECT_NE(dict.KeyOf(KQ_TAny()).KQ_Cast("KQ_TString"), nullptr);
}

TEST(DictTest, ComparisonsLookAtKeysAndIdenticalValuesOnly) {
  KQ_TDict a1;
  a1.Add("a", Int(1));
  KQ_TDict a1b2;
  a1b2.Add("b", Int(2)).Add("a", Int(1));
  KQ_TDict a2b2;
  a2b2.Add("a", Int(2)).Add("b", Int(2));

  EXPECT_TRUE(a1 <= a1b2);
  EXPECT_FALSE(a1 <= a2b2);
  EXPECT_TRUE(a1b2 >= a1);
  EXPECT_FALSE(a2b2 >= a1);
  EXPECT_FALSE(a1b2 <= a1);
  EXPECT_TRUE(a1 <= a1 && a1 >= a1);
  EXPECT_TRUE(KQ_TDict() <= a1);
  EXPECT_FALSE(a1 == a1b2);
  EXPECT_TRUE(a1 != a1b2);
  EXPECT_FALSE(a1b2 == a2b2) << "same keys, one value differs";

  // Equality ignores the bucket count and the order of insertion.
  KQ_TDict b2a1(1000);
  b2a1.Add("a", Int(1)).Add("b", Int(2));
  EXPECT_TRUE(a1b2 == b2a1);
  EXPECT_TRUE(b2a1 == a1b2);
  EXPECT_FALSE(a1b2 != b2a1);
  EXPECT_TRUE(a1b2 <= b2a1 && a1b2 >= b2a1);
  EXPECT_TRUE(a1b2.KQ_IsIdent(b2a1));
  EXPECT_FALSE(a1b2.KQ_IsIdent(a1));
  EXPECT_FALSE(a1b2.KQ_IsIdent(KQ_TString("a")));

  // Values compare by kind and by their objects' identity.
  KQ_TDict wide;
  wide.Add("a", KQ_TAny(std::int64_t{1}));
  EXPECT_FALSE(a1 == wide);
  KQ_TDict nested1;
  nested1.Add("d", KQ_TAny(a1b2));
  KQ_TDict nested2;
  nested2.Add("d", KQ_TAny(b2a1));
  EXPECT_TRUE(nested1 == nested2);
  nested2["d"] = KQ_TAny(a2b2);
  EXPECT_FALSE(nested1 == nested2);
  // A key of another class is another key.
  KQ_TDict anyKey;
  anyKey.Add(Int(1), Int(1));
  KQ_TDict testKey;
  testKey.Add(TestKey(1, 5), Int(1));
  EXPECT_FALSE(anyKey == testKey);
}

TEST(DictTest, PlusAssignCopyAndAssignmentCloneEntries) {
  KQ_TDict target;
  target.Add("a", Int(1)).Add("b", Int(2));
  KQ_TDict source;
  source.Add("b", Int(20)).Add("c", Int(30));
  target += source;
  EXPECT_EQ(target.Entries(), 3u);
  EXPECT_EQ(static_cast<std::int32_t>(target["a"]), 1);
  EXPECT_EQ(static_cast<std::int32_t>(target["b"]), 20) << "equal keys take the other's value";
  EXPECT_EQ(static_cast<std::int32_t>(target["c"]), 30);
  EXPECT_EQ(source.Entries(), 2u);
  EXPECT_TRUE(source <= target);
  KQ_TDict const before(target);
  target += target;
  EXPECT_TRUE(target == before);

  // An Any holding NaN is a key that is not identical to itself: each
  // addition makes a new entry, adding a dictionary to itself too.
  KQ_TDict nan;
  nan.Add(KQ_TAny(std::nan("")), Int(1));
  nan.Add(KQ_TAny(std::nan("")), Int(2));
  EXPECT_EQ(nan.Entries(), 2u);
  EXPECT_FALSE(nan.HasKey(KQ_TAny(std::nan(""))));
  nan += nan;
  EXPECT_EQ(nan.Entries(), 4u);

  // Copies hold their own values and keys.
  KQ_TDict object;
  object.Add("s", KQ_TAny(KQ_TString("x")));
  KQ_TDict copy(object);
  copy["s"] = KQ_TAny(KQ_TString("y"));
  EXPECT_TRUE(object["s"] == KQ_TAny(KQ_TString("x")));
  EXPECT_EQ(copy.BucketCount(), 8u);

  std::vector<std::int32_t> keys;
  for (std::int32_t k = 0; k < 50; ++k) keys.push_back(k);
  KQ_TDict const fifty = IntDict(keys);
  EXPECT_EQ(fifty.BucketCount(), 64u);
  KQ_TDict sized(fifty, 1000);
  EXPECT_EQ(sized.BucketCount(), 1000u);
  EXPECT_TRUE(sized == fifty);
  KQ_TDict plain(fifty);
  EXPECT_EQ(plain.BucketCount(), 64u) << "a plain copy grows from 8 as it fills";
  EXPECT_TRUE(plain == fifty);

  std::unique_ptr<KQ_IPackable> clone(fifty.KQ_Clone());
  KQ_TDict const& cloned = As<KQ_TDict>(clone);
  EXPECT_TRUE(cloned == fifty);
  EXPECT_NE(&cloned, &fifty);

  // Assignment replaces the entries and keeps the bucket count.
  KQ_TDict assigned(1000);
  assigned.Add("old", Int(0));
  assigned = fifty;
  EXPECT_EQ(assigned.BucketCount(), 1000u);
  EXPECT_TRUE(assigned == fifty);
  EXPECT_FALSE(assigned.HasKey("old"));
  KQ_TDict& self = assigned;
  assigned = self;
  EXPECT_TRUE(assigned == fifty);
  assigned = KQ_TDict();
  EXPECT_TRUE(assigned.IsEmpty());
  EXPECT_EQ(assigned.BucketCount(), 1000u);
}

TEST(DictTest, DeletingWhileIteratingForwardsVisitsEveryEntryOnce) {
  // Chains of several entries (4, 12 in bucket 0; 0, 8, 16 in bucket 4) and
  // single entries (6, 1, 3 in buckets 2, 5, 7).
  std::vector<std::int32_t> const keys = {0, 8, 16, 4, 12, 1, 3, 6};
  KQ_TDict const original = IntDict(keys);
  std::vector<std::int32_t> const order = Order(original);
  ASSERT_EQ(order, (std::vector<std::int32_t>{12, 4, 6, 16, 8, 0, 1, 3}));

  // Copies are built in the packing order, which reverses chains: each
  // dictionary below is built afresh.
  KQ_TDict all = IntDict(keys);
  std::vector<std::int32_t> visited;
  KQ_TIterator it(all);
  for (it.Start(); !it.IsDone(); it.Next()) {
    visited.push_back(IntOf(it.Key()));
    it.DeleteItem();
  }
  EXPECT_EQ(visited, order);
  EXPECT_TRUE(all.IsEmpty());
  EXPECT_TRUE(it.IsAfterEnd());

  for (int keepFirst = 0; keepFirst < 2; ++keepFirst) {
    KQ_TDict half = IntDict(keys);
    std::vector<std::int32_t> seen;
    std::vector<std::int32_t> kept;
    bool remove = keepFirst == 0;
    KQ_TIterator walk(half);
    for (walk.Start(); !walk.IsDone(); walk.Next()) {
      seen.push_back(IntOf(walk.Key()));
      if (remove) {
        walk.DeleteItem();
      } else {
        kept.push_back(seen.back());
      }
      remove = !remove;
    }
    EXPECT_EQ(seen, order);
    EXPECT_EQ(Order(half), kept);
    EXPECT_EQ(half.Entries(), kept.size());
    for (std::int32_t k : kept) EXPECT_EQ(static_cast<std::int32_t>(half[Int(k)]), 10 * k);
  }

  // Deleting the last entry leaves the cursor on the one before it.
  KQ_TDict last = IntDict(keys);
  KQ_TIterator end(last);
  end.End().DeleteItem();
  EXPECT_EQ(IntOf(end.Key()), 1);
  end.Next();
  EXPECT_TRUE(end.IsAfterEnd());

  // Keys not identical to themselves are deleted all the same.
  KQ_TDict nan;
  nan.Add(KQ_TAny(std::nan("")), Int(1));
  nan.Add(KQ_TAny(std::nan("")), Int(2));
  KQ_TIterator n(nan);
  int steps = 0;
  for (n.Start(); !n.IsDone() && steps < 10; n.Next(), ++steps) n.DeleteItem();
  EXPECT_EQ(steps, 2);
  EXPECT_TRUE(nan.IsEmpty());
}

TEST(DictTest, AddingAndRemovingAtRandomMatchesAMapModel) {
  // Entries are removed and added again many times over, so the slots of
  // removed entries are used again; the table grows on the way.
  std::mt19937 random(20240611);
  std::map<std::int32_t, std::int32_t> model;
  KQ_TDict dict;
  for (int step = 0; step < 20000; ++step) {
    auto const key = static_cast<std::int32_t>(random() % 600);
    switch (random() % 4) {
      case 0:
        dict.Remove(Int(key));
        model.erase(key);
        break;
      case 1: {
        // Delete through a cursor standing on the key, when it is there.
        KQ_TIterator it(dict);
        for (it.Start(); !it.IsDone(); it.Next()) {
          if (IntOf(it.Key()) == key) {
            it.DeleteItem();
            break;
          }
        }
        model.erase(key);
        break;
      }
      default:
        dict.Add(Int(key), Int(step));
        model[key] = step;
    }
    ASSERT_EQ(dict.Entries(), model.size()) << "step " << step;
  }
  std::map<std::int32_t, std::int32_t> walked;
  KQ_TConstIterator it(dict);
  for (it.Start(); !it.IsDone(); it.Next()) {
    EXPECT_TRUE(walked.emplace(IntOf(it.Key()), IntOf(it.Value())).second) << "seen twice";
  }
  EXPECT_EQ(walked, model);
  for (std::int32_t k = 0; k < 600; ++k) EXPECT_EQ(dict.HasKey(Int(k)), model.count(k) == 1) << k;
  EXPECT_EQ(dict.BucketCount(), 256u);
}

namespace {

// Keys of one kind that all share the library's hash value, which fixes
// the order but must not slow down or confuse finding them: 64-bit integers
// that differ in their high half, objects of an unknown class, and strings
// built from
// two two-unit blocks of equal hash ((2, 1) and (1, 65522)).
std::vector<std::unique_ptr<KQ_IHashable>> SameHashKeys(int kind, std::uint32_t count) {
  std::vector<std::unique_ptr<KQ_IHashable>> keys;
  for (std::uint32_t i = 0; i < count; ++i) {
    switch (kind) {
      case 0:
        keys.push_back(std::make_unique<KQ_TAny>(static_cast<std::int64_t>(i) << 32 | 7));
        break;
      case 1: {
        // An Any holding an object of a class this process does not know,
        // its content one 32-bit number.
        unsigned char const content[] = {0x07, static_cast<unsigned char>(i >> 8),
                                         static_cast<unsigned char>(i), 0, 0};
        auto* unknown = new KQ_TUnknown("KQ_TNoSuchKey", content, sizeof content);
        unknown->SetLength(sizeof content);
        auto key = std::make_unique<KQ_TAny>();
        key->Assign(unknown);
        keys.push_back(std::move(key));
        break;
      }
      default: {
        std::u16string units;
        for (int block = 0; block < 12; ++block) {
          units += (i >> block & 1) != 0 ? u"\x0002\x0001" : u"\x0001\xFFF2";
        }
        keys.push_back(std::make_unique<KQ_TString>(units.data(), units.size()));
      }
    }
  }
  return keys;
}

}  // namespace

TEST(DictTest, KeysSharingOneHashAreFoundRemovedAndPackedLikeAnyOthers) {
  std::uint32_t const count = 4096;
  for (int kind : {0, 1, 2}) {
    SCOPED_TRACE("kind " + std::to_string(kind));
    auto const keys = SameHashKeys(kind, count);
    for (auto const& key : keys) ASSERT_EQ(key->KQ_HashValue(0), keys[0]->KQ_HashValue(0));
    KQ_TDict dict;
    for (std::uint32_t i = 0; i < count; ++i) dict.Add(*keys[i], Int(static_cast<std::int32_t>(i)));
    ASSERT_EQ(dict.Entries(), count);
    KQ_TDict const& read = dict;
    for (std::uint32_t i = 0; i < count; i += 97)
      EXPECT_EQ(IntOf(read[*keys[i]]), static_cast<std::int32_t>(i));
    // Every third key goes by Remove, the one after it through a cursor.
    for (std::uint32_t i = 0; i < count; i += 3) dict.Remove(*keys[i]);
    KQ_TIterator it(dict);
    for (it.Start(); !it.IsDone();) {
      if (IntOf(it.Value()) % 3 == 1) {
        it.DeleteItem();
      } else {
        it.Next();
      }
    }
    std::vector<int> seen(count);
    KQ_TConstIterator walk(dict);
    for (walk.Start(); !walk.IsDone(); walk.Next()) ++seen[IntOf(walk.Value())];
    for (std::uint32_t i = 0; i < count; ++i) {
      bool const kept = i % 3 == 2;
      ASSERT_EQ(seen[i], kept ? 1 : 0) << i;
      ASSERT_EQ(read.HasKey(*keys[i]), kept) << i;
    }
    // Read back keeping unknown objects as they are.
    Bytes bytes = Packed(dict);
    KQ_TMemoryStream memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                            static_cast<std::uint32_t>(bytes.size()));
    KQ_TDataStream data(memory);
    std::unique_ptr<KQ_IPackable> const copy(data.Extract(true));
    // Each value comes back with its key's bytes (unknown objects compare by
    // where their bytes sit, so equality of the dictionaries would not do).
    auto const keyBytes = [](KQ_TDict const& of) {
      std::map<std::int32_t, Bytes> found;
      KQ_TConstIterator entry(of);
      for (entry.Start(); !entry.IsDone(); entry.Next()) {
        found[IntOf(entry.Value())] = Packed(entry.Key());
      }
      return found;
    };
    EXPECT_EQ(keyBytes(As<KQ_TDict>(copy)), keyBytes(dict));
  }
}

TEST(DictTest, KeysThatAreIdenticalFindEachOtherWhateverTheirForm) {
  KQ_TDict dict;
  dict.Add(KQ_TAny(0.0), Int(1));
  dict.Add("key", Int(2));
  std::uint32_t const seven = 7;
  dict.Add(KQ_TUnknown("KQ_TNoSuchKey", &seven, sizeof seven), Int(3));
  KQ_TDict const& read = dict;
  EXPECT_EQ(IntOf(read[KQ_TAny(-0.0)]), 1);
  EXPECT_EQ(IntOf(read[KQ_TString("key")]), 2);
  EXPECT_EQ(IntOf(read[u"key"]), 2);
  EXPECT_EQ(IntOf(read[KQ_TUnknown("KQ_TNoSuchKey", &seven, sizeof seven)]), 3);
  EXPECT_FALSE(read.HasKey(KQ_TUnknown("KQ_TOtherKey", &seven, sizeof seven)));
  EXPECT_EQ(dict.Entries(), 3u);
}

TEST(DictTest, PrintingShowsOneEntryPerLineWithNestedLinesDeeper) {
  KQ_TDict dict;
  // Packing order: 2 (bucket 6) before 1 (bucket 5).
  dict.Add(Int(1), Int(10));
  dict.Add(Int(2), KQ_TAny("two"));
  EXPECT_EQ(Printed(dict), "DICT\n{\n  [2] = two\n  [1] = 10\n}");
  EXPECT_EQ(Printed(KQ_TDict()), "DICT\n{\n}");

  KQ_TDict inner;
  inner.Add("x", Int(2));
  KQ_TDict outer;
  outer.Add("outer", KQ_TAny(inner));
  EXPECT_EQ(Printed(outer), "DICT\n{\n  [outer] = DICT\n    {\n      [x] = 2\n    }\n}");

  KQ_TDict keyed;
  keyed.Add(TestKey(1, 0), KQ_TAny(nullptr));
  std::ostringstream os;
  KQ_IPrintable::SetIndentation(4);
  os << keyed;
  KQ_IPrintable::SetIndentation(0);
  EXPECT_EQ(os.str(), "DICT\n    {\n      [<NON-PRINTABLE>] = [KQ_TANY::NULL]\n    }");

  // A list value prints in its own layout, its lines one level deeper.
  KQ_TList list;
  list.AddAtTail(Int(1));
  KQ_TDict withList;
  withList.Add("l", KQ_TAny(list));
  EXPECT_EQ(Printed(withList), "DICT\n{\n  [l] = LIST\n    {\n      1\n    }\n}");
  EXPECT_EQ(KQ_IPrintable::Indentation(), 0u);
}

TEST(DictTest, ClassProtocolNamesTheDictionaryAndItsInterfaces) {
  std::unique_ptr<KQ_TObject> made(KQ_TDict::KQ_Create());
  ASSERT_NE(made, nullptr);
  EXPECT_STREQ(made->ClassName(), "KQ_TDict");
  EXPECT_NE(made->KQ_Cast("KQ_IPackable"), nullptr);
  EXPECT_NE(made->KQ_Cast("KQ_IIteratable"), nullptr);
  EXPECT_NE(made->KQ_Cast("KQ_IPrintable"), nullptr);
  EXPECT_NE(made->KQ_Cast("KQ_IHumanReadable"), nullptr);
  EXPECT_EQ(made->KQ_Cast("KQ_IHashable"), nullptr);
  EXPECT_EQ(KQ_TClass::FindClass("KQ_TDict"), KQ_TDict::KQ_ClassObject());
  EXPECT_EQ(KQ_TClass::FindClass("KQ_TDictIterationInfo"), KQ_TDictIterationInfo::KQ_ClassObject());
  KQ_TDict dict;
  std::unique_ptr<KQ_IIterationInfo> cursor(dict.CreateIterationInfo());
  EXPECT_STREQ(cursor->ClassName(), "KQ_TDictIterationInfo");
}

TEST(DictTest, PackingWritesTheCountThenPairsLastBucketFirst) {
  // 3 (bucket 7) first, then bucket 4 from its head: 8, then 0.
  KQ_TDict dict = IntDict({0, 8, 3});
  EXPECT_EQ(Packed(dict), Join({DictHeader(3), AnyInt(3), AnyInt(30), AnyInt(8), AnyInt(80),
                                AnyInt(0), AnyInt(0)}));
  EXPECT_EQ(Packed(KQ_TDict()), DictHeader(0));

  KQ_TDict text;
  text.Add("a", Int(1));
  EXPECT_EQ(Packed(text),
            Join({DictHeader(1), {0x41, 0x07, 0, 0, 0, 1, 0x0F, 0, 0, 0, 2, 0, 'a'}, AnyInt(1)}));

  // Unpacking into a filled dictionary empties it first; a repeated key
  // takes the later value.
  KQ_TDict target = IntDict({50, 51});
  ReadInto(target,
           Join({DictHeader(3), AnyInt(1), AnyInt(5), AnyInt(2), AnyInt(6), AnyInt(1), AnyInt(7)}));
  EXPECT_EQ(target.Entries(), 2u);
  EXPECT_EQ(static_cast<std::int32_t>(target[Int(1)]), 7);
  EXPECT_EQ(static_cast<std::int32_t>(target[Int(2)]), 6);
  EXPECT_FALSE(target.HasKey(Int(50)));
}

TEST(DictTest, PackingGivesEveryEntrysOwnBytesInThePackingOrder) {
  // Large tables are listed before they are written, and string keys go out
  // in one step: the bytes must be those of each key and value packed alone,
  // buckets from the last, chains from the head. String lengths cross the
  // writer's pieces of 256 bytes, units use both bytes, and some keys are
  // Anys, which take the general path.
  for (std::uint32_t const count : {20u, 3000u}) {
    KQ_TDict dict;
    for (std::uint32_t i = 0; i < count; ++i) {
      if (i % 7 == 3) {
        dict.Add(Int(-static_cast<std::int32_t>(i)), Int(static_cast<std::int32_t>(i)));
        continue;
      }
      // One empty key (i = 0); the others hold 1 to 300 units.
      std::u16string text(i % 300 == 0 && i != 0 ? 300 : i % 300, u'x');
      for (std::size_t u = 0; u < text.size(); ++u) {
        text[u] = static_cast<char16_t>(1 + (i * 31 + u * 977) % 0xFFFE);
      }
      dict.Add(KQ_TString(text.data(), static_cast<std::uint32_t>(text.size())),
               Int(static_cast<std::int32_t>(i)));
    }
    ASSERT_EQ(dict.Entries(), count);

    // The cursor's order (buckets from the first), regrouped by bucket from
    // the last.
    struct Entry {
      std::uint32_t bucket;
      Bytes bytes;
    };
    std::vector<Entry> entries;
    KQ_TConstIterator it(dict);
    for (it.Start(); !it.IsDone(); it.Next()) {
      auto const* key = static_cast<KQ_IHashable const*>(it.Key().KQ_Cast("KQ_IHashable"));
      ASSERT_NE(key, nullptr);
      entries.push_back({key->KQ_HashValue(0) % dict.BucketCount(),
                         Join({Packed(it.Key()), Packed(it.Value())})});
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](Entry const& a, Entry const& b) { return a.bucket > b.bucket; });
    Bytes expected = DictHeader(count);
    for (Entry const& entry : entries) {
      expected.insert(expected.end(), entry.bytes.begin(), entry.bytes.end());
    }
    EXPECT_EQ(Packed(dict), expected) << count << " entries";

    // A data stream over another data stream has no direct path: every key
    // and value goes through operator<<, with the same bytes.
    KQ_TMemoryStream innerMemory;
    KQ_TDataStream inner(innerMemory);
    KQ_TDataStream outer(inner);
    outer << dict;
    EXPECT_EQ(Contents(innerMemory), expected) << count << " entries, general path";

    // A fixed buffer that runs out part way raises and keeps what fitted.
    Bytes room(expected.size() / 2);
    KQ_TMemoryStream fixed(room.data(), static_cast<std::uint32_t>(room.size()), 0);
    KQ_TDataStream cut(fixed);
    EXPECT_THROW(cut << dict, KQ_EStreamEndReached);
    ASSERT_GT(fixed.Size(), 0u);
    EXPECT_TRUE(std::equal(room.begin(), room.begin() + fixed.Size(), expected.begin()));
  }
}

TEST(DictTest, RoundTripsThroughTheDataStream) {
  KQ_TDict inner;
  inner.Add(u"\u00E9t\u00E9", KQ_TAny(3.5));
  KQ_TDict dict;
  dict.Add("int", Int(-7))
      .Add("string", KQ_TAny(KQ_TString("value")))
      .Add("null", KQ_TAny(nullptr))
      .Add("illegal", KQ_TAny())
      .Add("dict", KQ_TAny(inner))
      .Add(Int(42), KQ_TAny(true))
      .Add(TestKey(9, 1234), KQ_TAny('c'));
  Bytes const bytes = Packed(dict);
  EXPECT_EQ(bytes.front(), 0x45);

  std::unique_ptr<KQ_IPackable> extracted = Extracted(bytes);
  KQ_TDict const& back = As<KQ_TDict>(extracted);
  EXPECT_TRUE(back == dict);
  EXPECT_EQ(back.Entries(), 7u);
  EXPECT_TRUE(back["illegal"].IsIllegal());
  EXPECT_TRUE(back.HasKey("illegal"));
  EXPECT_TRUE(back["null"].IsNull());
  EXPECT_TRUE(back[TestKey(9, 0)].IsIllegal()) << "the hash came back too";
  EXPECT_EQ(static_cast<char>(back[TestKey(9, 1234)]), 'c');

  KQ_TDict read;
  ReadInto(read, bytes);
  EXPECT_TRUE(read == dict);

  // A large dictionary: chains hundreds of entries long.
  KQ_TDict large;
  for (std::int32_t i = 0; i < 100000; ++i) {
    large.Add(KQ_TString::Format("key%d", i), Int(i));
  }
  ASSERT_EQ(large.Entries(), 100000u);
  std::unique_ptr<KQ_IPackable> largeBack = Extracted(Packed(large));
  KQ_TDict const& largeDict = As<KQ_TDict>(largeBack);
  EXPECT_EQ(largeDict.Entries(), 100000u);
  EXPECT_EQ(largeDict.BucketCount(), 256u);
  EXPECT_TRUE(largeDict == large);
  EXPECT_EQ(static_cast<std::int32_t>(largeDict["key99999"]), 99999);
}

TEST(DictTest, DamagedPackedDictionariesRaiseLibraryExceptions) {
  ASSERT_EQ(TestKey::sLive, 0);
  KQ_TDict inner;
  inner.Add(Int(5), KQ_TAny(KQ_TString("w")));
  KQ_TDict dict;
  dict.Add("k", KQ_TAny(KQ_TString("v"))).Add(Int(1), Int(2)).Add(TestKey(3, 4), KQ_TAny(inner));
  Bytes const bytes = Packed(dict);
  int const liveKeys = TestKey::sLive;
  ASSERT_EQ(liveKeys, 1) << "the dictionary's own clone";

  ExpectDamageRaisesOnlyLibraryExceptions(bytes, {0x00, 0x01, 0x0D, 0x40, 0x45, 0x7F, 0xFF});
  // Every truncation read into an existing dictionary raises too.
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    Bytes const cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    KQ_TDict into;
    EXPECT_NE(Raised([&] { ReadInto(into, cut); }), "") << n;
  }
  EXPECT_EQ(TestKey::sLive, liveKeys) << "no key read from damaged data is left behind";

  // A key of tag 0 (no object).
  EXPECT_EQ(Raised([] {
              Extracted(Join({DictHeader(1), {0x00}, AnyInt(1)}));
            }),
            "KQ_EWrongPackedType");
  // A key that is not hashable: a packed list, a packed TestPlain.
  KQ_TList list;
  list.AddAtTail(KQ_TAny(KQ_TString("element")));
  Bytes const listKey = Join({DictHeader(1), Packed(list), AnyInt(1)});
  EXPECT_EQ(Raised([&] { Extracted(listKey); }), "KQ_EWrongPackedType");
  KQ_TDict into;
  EXPECT_EQ(Raised([&] { ReadInto(into, listKey); }), "KQ_EWrongPackedType");
  EXPECT_EQ(Raised([] {
              Extracted(Join({DictHeader(1), Packed(TestPlain(5)), AnyInt(1)}));
            }),
            "KQ_EWrongPackedType");
  EXPECT_EQ(TestPlain::sLive, 0);
  // A hashable class holding something that cannot be hashed.
  EXPECT_EQ(Raised([&] {
              Extracted(Join({DictHeader(1), Packed(KQ_TAny(list)), AnyInt(1)}));
            }),
            "KQ_EAnyContainsUnhashableType");
  // A count far beyond the data fails at the end of the data.
  Bytes const huge = Join({DictHeader(100000000), AnyInt(1), AnyInt(2), {0x40, 0x05}});
  EXPECT_EQ(Raised([&] { Extracted(huge); }), "KQ_EStreamEndReached");
  Bytes const hugeAtOnce = Join({DictHeader(0xFFFFFFFFu)});
  EXPECT_NE(Raised([&] { Extracted(hugeAtOnce); }), "");
  // The pairs read before the damage stay.
  KQ_TDict partial;
  EXPECT_NE(Raised([&] { ReadInto(partial, huge); }), "");
  EXPECT_EQ(partial.Entries(), 1u);
  EXPECT_EQ(static_cast<std::int32_t>(partial[Int(1)]), 2);
}
