// What only the dictionary does. Integer Any keys hash to value + 4: in 8
// buckets the key k sits in bucket (k + 4) % 8.
#include <map>
#include <typeinfo>

#include "kq_tdict.h"
#include "kq_titerator.h"
#include "kq_tstring.h"
#include "kq_tunknown.h"
#include "test_support.h"

using namespace kqtest;

// A string of a class of its own.
class NamedString : public KQ_TString {
  KQ_CLASS(NamedString, KQ_TString)
  NamedString() = default;
  explicit NamedString(char const* text) : KQ_TString(text) {}
  KQ_IPackable* KQ_Clone(void*) const override { return new NamedString(*this); }
};
KQ_CLASS_IMPL(NamedString)

namespace {

// The integer keys in iteration order.
std::vector<std::int32_t> Order(KQ_TDict const& dict) {
  std::vector<std::int32_t> keys;
  KQ_TConstIterator it(dict);
  for (it.Start(); !it.IsDone(); it.Next()) keys.push_back(IntOf(it.Key()));
  return keys;
}

// A dictionary mapping each integer key to ten times itself, added in order.
KQ_TDict IntDict(std::vector<std::int32_t> const& keys, std::uint32_t buckets = 0) {
  KQ_TDict dict(buckets);
  for (std::int32_t k : keys) dict.Add(Int(k), Int(10 * k));
  return dict;
}

std::vector<std::int32_t> Range(std::int32_t count) {
  std::vector<std::int32_t> keys;
  for (std::int32_t k = 0; k < count; ++k) keys.push_back(k);
  return keys;
}

}  // namespace

TEST(DictTest, TheTableDoublesBeforeTheInsertionThatWouldOverfillItAndStopsAt256) {
  EXPECT_EQ(KQ_TDict(0).BucketCount(), 8u);
  // {buckets to start with, keys added, buckets then}
  struct Case {
    std::uint32_t initial;
    std::int32_t keys;
    std::uint32_t buckets;
  };
  Case const cases[] = {{0, 8, 8},       {0, 9, 16},       {0, 128, 128},   {0, 129, 256},
                        {0, 1000, 256},  {1, 1, 1},        {1, 2, 2},       {100, 101, 200},
                        {100, 201, 256}, {256, 3000, 256}, {300, 3000, 300}};
  for (Case const& c : cases) {
    KQ_TDict const dict = IntDict(Range(c.keys), c.initial);
    EXPECT_EQ(dict.BucketCount(), c.buckets) << c.keys << " keys from " << c.initial;
    EXPECT_EQ(dict.Entries(), static_cast<std::uint32_t>(c.keys));
    for (std::int32_t k = 0; k < c.keys; k += 7) EXPECT_EQ(IntOf(dict[Int(k)]), 10 * k);
    EXPECT_FALSE(dict.HasKey(Int(c.keys)));
  }
  KQ_TDict full = IntDict(Range(8));
  full.Add(Int(3), Int(-1));
  EXPECT_EQ(full.BucketCount(), 8u) << "replacing a value is no insertion";
}

TEST(DictTest, IterationRunsThroughBucketsAscendingNewestFirstWithinABucket) {
  // The key handed out is the stored key, not a copy.
  KQ_TDict dict = IntDict({4, 12});
  KQ_TIterator it(dict);
  EXPECT_EQ(&static_cast<KQ_IPackable const&>(dict.KeyOf(Int(120))), &it.Key());

  // In 8 and in 16 buckets, 0, 16 and 32 share bucket 4; 5, 6, 1, 2, 3 sit
  // alone.
  KQ_TDict grown = IntDict({0, 16, 32, 5, 6, 1, 2, 3});
  EXPECT_EQ(Order(grown), (std::vector<std::int32_t>{5, 6, 32, 16, 0, 1, 2, 3}));
  // Growing pushes the chain 32, 16, 0 onto the new bucket 4 head by head,
  // which reverses it; 40 goes to bucket 12.
  grown.Add(Int(40), Int(400));
  ASSERT_EQ(grown.BucketCount(), 16u);
  EXPECT_EQ(Order(grown), (std::vector<std::int32_t>{0, 16, 32, 1, 2, 3, 5, 6, 40}));

  // From 200 to 256 buckets two old buckets merge: 6 (old bucket 10) and
  // 262 (old bucket 66) both go to bucket 10. The old buckets are walked
  // from the last, so 6 ends up ahead although 262 came later.
  KQ_TDict merged(200);
  merged.Add(Int(6), Int(0)).Add(Int(262), Int(0));
  for (std::int32_t k = 1000; merged.Entries() < 200; ++k) merged.Add(Int(k), Int(0));
  merged.Add(Int(-4), Int(0));  // hash 0
  ASSERT_EQ(merged.BucketCount(), 256u);
  std::vector<std::int32_t> const order = Order(merged);
  EXPECT_EQ(order.front(), -4);
  EXPECT_LT(std::find(order.begin(), order.end(), 6), std::find(order.begin(), order.end(), 262));
}

// Every form of text is a string key, and an Any holding a string is the
// same key either way round; other keys find what is identical to them.
TEST(DictTest, KeysThatAreIdenticalFindEachOtherWhateverTheirForm) {
  KQ_TDict dict;
  std::uint32_t const seven = 7;
  dict.Add("caf\xC3\xA9", Int(1)).Add(L"\U0001F600", Int(2)).Add(u"\u00DF", Int(3));
  dict.Add(KQ_TAny(0.0), Int(4))
      .Add(KQ_TUnknown("KQ_TNoSuchKey", &seven, sizeof seven), Int(5))
      .Add(KQ_TAny(KQ_TString("held")), Int(6));
  KQ_TDict const& read = dict;
  EXPECT_TRUE(read.HasKey(L"caf\u00E9") && read.HasKey(u"caf\u00E9"));
  EXPECT_FALSE(read.HasKey("cafe"));
  EXPECT_EQ(IntOf(read[KQ_TString(u"\xD83D\xDE00")]), 2);
  EXPECT_EQ(IntOf(read[KQ_TAny("caf\xC3\xA9")]), 1);
  EXPECT_EQ(IntOf(*read.ValueOfKey(L"\u00DF")), 3);
  EXPECT_EQ(read.ValueOfKey(u"nope"), nullptr);
  EXPECT_EQ(IntOf(read[KQ_TAny(-0.0)]), 4);
  EXPECT_EQ(IntOf(read["held"]), 6);
  EXPECT_EQ(IntOf(read[KQ_TUnknown("KQ_TNoSuchKey", &seven, sizeof seven)]), 5);
  EXPECT_FALSE(read.HasKey(KQ_TUnknown("KQ_TOtherKey", &seven, sizeof seven)));
  dict.Remove(u"\u00DF").Remove(Int(3));
  EXPECT_EQ(dict.Entries(), 5u);
  // Values and keys of different kinds are different.
  dict.Add(Int(5), Int(1)).Add(KQ_TAny(std::int64_t{5}), Int(2));
  EXPECT_EQ(dict.Entries(), 7u);
  EXPECT_EQ(IntOf(dict[Int(5)]), 1);
}

// However a key arrives (added, unpacked, read from text, copied with the
// dictionary), the dictionary keeps a key of the key's own class, which
// outlives the caller's and goes with its dictionary.
TEST(DictTest, EveryKeyKeepsItsClassWhereverItCameFrom) {
  ASSERT_EQ(CountedKey::sLive, 0);
  {
    KQ_TDict dict;
    {
      NamedString const named("named");
      KQ_TString const plain("plain text of some length");
      dict.Add(named, Int(1)).Add(plain, Int(2)).Add(KQ_TAny(std::int64_t{3}), Int(3));
      dict.Add(CountedKey(4, 7), Int(4)).Add(KQ_TAny(KQ_TString("held")), Int(5));
      dict.Add(KQ_TAny(CountedKey(6, 7)), Int(6));
    }
    std::map<std::int32_t, char const*> const expected = {
        {1, typeid(NamedString).name()}, {2, typeid(KQ_TString).name()},
        {3, typeid(KQ_TAny).name()},     {4, typeid(CountedKey).name()},
        {5, typeid(KQ_TAny).name()},     {6, typeid(KQ_TAny).name()}};
    KQ_TDict copied(dict);
    KQ_TDict unpacked;
    ReadInto(unpacked, Packed(dict));
    KQ_TDict read;
    ReadText(read, Text(dict));
    for (KQ_TDict* d : {&dict, &copied, &unpacked, &read}) {
      std::map<std::int32_t, char const*> classes;
      for (KQ_TConstIterator it(*d); !it.IsDone(); it.Next())
        classes[IntOf(it.Value())] = typeid(it.Key()).name();
      std::map<std::int32_t, char const*> want = expected;
      if (d == &read) {
        // The text form of a string names no class, so both read back as
        // plain strings; a key without a text form comes back in an Any.
        want[1] = want[5] = typeid(KQ_TString).name();
        want[4] = typeid(KQ_TAny).name();
      }
      EXPECT_EQ(classes, want);
      // A plain string and a string of another class find each other.
      EXPECT_EQ(IntOf((*d)[NamedString("plain text of some length")]), 2);
      EXPECT_EQ(IntOf((*d)[KQ_TString("named")]), 1);
      EXPECT_EQ(IntOf((*d)[KQ_TAny(std::int64_t{3})]), 3);
      EXPECT_EQ(IntOf((*d)[CountedKey(4, 7)]), 4);
      EXPECT_EQ(IntOf((*d)["held"]), 5);
    }
  }
  EXPECT_EQ(CountedKey::sLive, 0) << "every key went with its dictionary";
}

TEST(DictTest, AddingAKeyAgainReplacesItsValueAndConstReadsAddNothing) {
  KQ_TDict dict;
  dict.Add("a", Int(1)).Add("a", Int(2));
  EXPECT_EQ(dict.Entries(), 1u);
  EXPECT_EQ(IntOf(dict["a"]), 2);
  dict[KQ_TString("a")] = KQ_TString("text");
  EXPECT_TRUE(dict["a"] == KQ_TAny(KQ_TString("text")));

  KQ_TDict const& view = dict;
  KQ_TAny const& missing = view["b"];
  EXPECT_EQ(&missing, &KQ_TAny::Illegal()) << "the shared constant ILLEGAL value";
  EXPECT_EQ(&view[Int(7)], &missing);
  EXPECT_FALSE(dict.HasKey("b"));
  KQ_TAny& added = dict["b"];
  EXPECT_TRUE(added.IsIllegal());
  EXPECT_NE(&added, &KQ_TAny::Illegal());
  EXPECT_EQ(dict.Entries(), 2u);
  // Unpacked, a repeated key takes the later value.
  Bytes const entries = Join({AnyInt(1), AnyInt(5), AnyInt(2), AnyInt(6), AnyInt(1), AnyInt(7)});
  ReadInto(dict, Join({{0x45}, Number(0x07, 3), entries}));
  EXPECT_EQ(Order(dict), (std::vector<std::int32_t>{1, 2}));
  EXPECT_EQ(IntOf(dict[Int(1)]), 7);
}

TEST(DictTest, TheDictionaryKeepsItsOwnCloneOfEveryKeyAndRefusesKeysItCannotHash) {
  ASSERT_EQ(CountedKey::sLive + CountedPlain::sLive, 0);
  {
    KQ_TDict keys;
    CountedKey const first(1, 7);
    keys.Add(first, Int(1));
    EXPECT_EQ(CountedKey::sLive, 2) << "the caller's key and the dictionary's clone";
    keys.Add(CountedKey(1, 7), Int(2));
    EXPECT_EQ(CountedKey::sLive, 2) << "an existing key is not cloned again";
    keys.Add(CountedKey(2, 7), Int(3));
    EXPECT_EQ(CountedKey::sLive, 3);
    keys.Remove(CountedKey(1, 7));
    EXPECT_EQ(CountedKey::sLive, 2) << "Remove destroys the stored key";
    EXPECT_FALSE(keys.HasKey(first));
    KQ_TDict copy(keys);
    EXPECT_EQ(CountedKey::sLive, 3);

    // A key whose clone is not hashable raises and changes nothing, even in
    // a full table that a successful insertion would grow.
    KQ_TDict dict = IntDict(Range(8));
    std::vector<std::int32_t> const before = Order(dict);
    CountedKey const plain(1, 3, CountedKey::kPlain);
    CountedKey const none(2, 3, CountedKey::kNone);
    ExpectEachRaises("KQ_EIllegalCast",
                     {[&] { dict.Add(plain, Int(1)); }, [&] { dict[plain] = Int(1); },
                      [&] { dict.Add(none, Int(1)); }});
    EXPECT_EQ(CountedPlain::sLive, 0) << "the rejected clones are destroyed";
    EXPECT_EQ(dict.BucketCount(), 8u);
    EXPECT_EQ(Order(dict), before);
    // Reading such a key needs no clone.
    EXPECT_TRUE(static_cast<KQ_TDict const&>(dict)[plain].IsIllegal());
    EXPECT_EQ(dict.ValueOfKey(plain), nullptr);
    dict.Remove(plain);
    EXPECT_EQ(dict.Entries(), 8u);
    // Nor does a refused key keep any storage: the next key takes the place
    // of the entry removed before it.
    KQ_TAny const* const place = &dict[Int(7)];
    dict.Remove(Int(7));
    ExpectEachRaises("KQ_EIllegalCast", {[&] { dict.Add(plain, Int(1)); }});
    EXPECT_EQ(&dict[Int(70)], place);
  }
  EXPECT_EQ(CountedKey::sLive, 0);
  // A key whose hash cannot be computed raises before anything is cloned.
  KQ_TDict dict;
  KQ_TAny const unhashable{CountedPlain(3)};
  EXPECT_THROW(dict.Add(unhashable, Int(1)), KQ_EAnyContainsUnhashableType);
  EXPECT_TRUE(dict.IsEmpty());
  EXPECT_EQ(CountedPlain::sLive, 1);
}

TEST(DictTest, ContainsAndKeyOfSearchTheLastBucketFirst) {
  // 4 (bucket 0) and 3 (bucket 7) hold "v"; 12 then 20 (bucket 0) hold "w".
  KQ_TDict dict;
  dict.Add(Int(4), KQ_TAny("v")).Add(Int(3), KQ_TAny("v")).Add(Int(12), KQ_TAny("w"));
  dict.Add(Int(20), KQ_TAny("w")).Add(Int(1), Int(9));
  EXPECT_EQ(IntOf(dict.KeyOf(KQ_TAny("v"))), 3);
  EXPECT_EQ(IntOf(dict.KeyOf(KQ_TAny("w"))), 20);
  EXPECT_TRUE(dict.Contains(KQ_TAny("v")));
  EXPECT_FALSE(dict.Contains(KQ_TAny(std::int64_t{9})));
  EXPECT_THROW(dict.KeyOf(KQ_TAny("x")), KQ_ENoMatchingDictValue);
  // ILLEGAL is not contained until an entry holds it.
  EXPECT_FALSE(dict.Contains(KQ_TAny()));
  dict["empty"];
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
  EXPECT_FALSE(a1 <= a2b2) << "same key, another value";
  EXPECT_FALSE(a1b2 <= a1);
  // Equality ignores the bucket count and the order of insertion.
  KQ_TDict b2a1(1000);
  b2a1.Add("a", Int(1)).Add("b", Int(2));
  EXPECT_TRUE(a1b2 == b2a1 && b2a1 == a1b2);
  // A key of another class is another key.
  KQ_TDict anyKey;
  anyKey.Add(Int(1), Int(1));
  KQ_TDict countedKey;
  countedKey.Add(CountedKey(1, 5), Int(1));
  EXPECT_FALSE(anyKey == countedKey);
}

TEST(DictTest, MergingCopiesAndAssignmentTakeTheirBucketCounts) {
  KQ_TDict target;
  target.Add("a", Int(1)).Add("b", Int(2));
  KQ_TDict source;
  source.Add("b", Int(20)).Add("c", Int(30));
  target += source;
  EXPECT_EQ(target.Entries(), 3u);
  EXPECT_EQ(IntOf(target["b"]), 20) << "equal keys take the other's value";
  EXPECT_EQ(IntOf(target["c"]), 30);
  KQ_TDict const before(target);
  target += target;
  EXPECT_TRUE(target == before);

  // An Any holding NaN is a key not identical to itself: each addition
  // makes a new entry, adding a dictionary to itself too, and deleting
  // through a cursor still finds each.
  KQ_TDict nan;
  nan.Add(KQ_TAny(std::nan("")), Int(1)).Add(KQ_TAny(std::nan("")), Int(2));
  EXPECT_EQ(nan.Entries(), 2u);
  EXPECT_FALSE(nan.HasKey(KQ_TAny(std::nan(""))));
  nan += nan;
  EXPECT_EQ(nan.Entries(), 4u);
  // A cursor that deletes nothing would loop for ever: the steps are bounded.
  int steps = 0;
  for (KQ_TIterator it(nan); !it.IsDone() && steps < 10; it.Next(), ++steps) it.DeleteItem();
  EXPECT_EQ(steps, 4);
  EXPECT_TRUE(nan.IsEmpty());

  KQ_TDict const fifty = IntDict(Range(50));
  EXPECT_EQ(fifty.BucketCount(), 64u);
  EXPECT_EQ(KQ_TDict(fifty, 1000).BucketCount(), 1000u);
  EXPECT_TRUE(KQ_TDict(fifty, 1000) == fifty);
  EXPECT_EQ(KQ_TDict(fifty).BucketCount(), 64u) << "a plain copy grows from 8 as it fills";
  // Assignment keeps the bucket count.
  KQ_TDict assigned(1000);
  assigned.Add("old", Int(0));
  assigned = fifty;
  EXPECT_EQ(assigned.BucketCount(), 1000u);
  EXPECT_TRUE(assigned == fifty);
  assigned = KQ_TDict();
  EXPECT_EQ(assigned.BucketCount(), 1000u);
}

TEST(DictTest, KeysSharingOneHashAreFoundAndRemovedLikeAnyOthers) {
  // Keys of one kind that all share the library's hash value: 64-bit
  // integers that differ in their high half, and strings built from two
  // two-unit blocks of equal hash ((2, 1) and (1, 65522)).
  std::uint32_t const count = 4096;
  for (int kind : {0, 2}) {
    SCOPED_TRACE("kind " + std::to_string(kind));
    std::vector<std::unique_ptr<KQ_IHashable>> keys;
    for (std::uint32_t i = 0; i < count; ++i) {
      if (kind == 0) {
        keys.push_back(std::make_unique<KQ_TAny>(static_cast<std::int64_t>(i) << 32 | 7));
      } else {
        std::u16string units;
        for (int block = 0; block < 12; ++block)
          units += (i >> block & 1) != 0 ? u"\x0002\x0001" : u"\x0001\xFFF2";
        keys.push_back(std::make_unique<KQ_TString>(units.data(), units.size()));
      }
      ASSERT_EQ(keys.back()->KQ_HashValue(0), keys[0]->KQ_HashValue(0));
    }
    KQ_TDict dict;
    for (std::uint32_t i = 0; i < count; ++i) dict.Add(*keys[i], Int(static_cast<std::int32_t>(i)));
    ASSERT_EQ(dict.Entries(), count);
    KQ_TDict const& read = dict;
    for (std::uint32_t i = 0; i < count; i += 97)
      EXPECT_EQ(IntOf(read[*keys[i]]), static_cast<std::int32_t>(i));
    // Every third key goes by Remove, the one after it through a cursor.
    for (std::uint32_t i = 0; i < count; i += 3) dict.Remove(*keys[i]);
    for (KQ_TIterator it(dict); !it.IsDone(); it.Next())
      if (IntOf(it.Value()) % 3 == 1) it.DeleteItem();
    std::vector<int> seen(count);
    for (KQ_TConstIterator it(dict); !it.IsDone(); it.Next()) ++seen[IntOf(it.Value())];
    for (std::uint32_t i = 0; i < count; ++i) {
      ASSERT_EQ(seen[i], i % 3 == 2 ? 1 : 0) << i;
      ASSERT_EQ(read.HasKey(*keys[i]), i % 3 == 2) << i;
    }
  }
}

TEST(DictTest, PackingGivesEveryEntrysOwnBytesInThePackingOrder) {
  // Large tables are listed before they are written and string keys go out
  // in one step, yet the bytes are those of each key and value packed alone,
  // buckets from the last, chains from the head. String lengths cross the
  // writer's pieces of 256 bytes; some keys are Anys (the general path).
  for (std::uint32_t const count : {20u, 3000u}) {
    KQ_TDict dict;
    for (std::uint32_t i = 0; i < count; ++i) {
      if (i % 7 == 3) {
        dict.Add(Int(-static_cast<std::int32_t>(i)), Int(static_cast<std::int32_t>(i)));
        continue;
      }
      // One empty key (i = 0); the others hold 1 to 300 units.
      std::u16string text(i % 300 == 0 && i != 0 ? 300 : i % 300, u'x');
      for (std::size_t u = 0; u < text.size(); ++u)
        text[u] = static_cast<char16_t>(1 + (i * 31 + u * 977) % 0xFFFE);
      dict.Add(KQ_TString(text.data(), static_cast<std::uint32_t>(text.size())),
               Int(static_cast<std::int32_t>(i)));
    }
    // The cursor's order (buckets from the first), regrouped by bucket from
    // the last.
    std::vector<std::pair<std::uint32_t, Bytes>> entries;
    KQ_TConstIterator it(dict);
    for (it.Start(); !it.IsDone(); it.Next()) {
      auto const& key = *static_cast<KQ_IHashable const*>(it.Key().KQ_Cast("KQ_IHashable"));
      entries.emplace_back(key.KQ_HashValue(0) % dict.BucketCount(),
                           Join({Packed(it.Key()), Packed(it.Value())}));
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](auto const& a, auto const& b) { return a.first > b.first; });
    Bytes expected = Join({{0x45}, Number(0x07, count)});
    for (auto const& entry : entries)
      expected.insert(expected.end(), entry.second.begin(), entry.second.end());
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
