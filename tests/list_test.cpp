// What only the doubly linked list does.
#include <limits>

#include "kq_titerator.h"
#include "kq_tlist.h"
#include "test_support.h"

using namespace kqtest;

namespace {

KQ_TList MakeList(std::vector<std::int32_t> const& values) {
  KQ_TList list;
  for (std::int32_t v : values) list.AddAtTail(v);
  return list;
}

// The list's values from the head, its links, owners, tail and count
// checked on the way.
::testing::AssertionResult Holds(KQ_TList const& list, std::string const& expected) {
  return ChainHolds(list, expected,
                    [](KQ_TListKey const& key) { return std::to_string(IntOf(key.Value())); });
}

void* KeyAddress(KQ_IPackable const& key) {
  auto const* any = static_cast<KQ_TAny const*>(key.KQ_Cast("KQ_TAny"));
  if (any == nullptr || any->Kind() != KQ_TAny::kPointer) return nullptr;
  return static_cast<void*>(*any);
}

}  // namespace

TEST(ListTest, AddingLinksAtBothEndsAndAroundKeys) {
  KQ_TList list;
  KQ_TListKey* two = list.Add(2);
  KQ_TListKey* one = list.AddAtHead(1);
  KQ_TListKey* four = list.AddAtTail(4);
  list.AddBefore(four, 3);
  EXPECT_TRUE(Holds(list, "1 2 3 4"));
  list.AddAfter(four, 5);
  list.AddBefore(one, 0);
  list.AddAfter(two, 25);
  EXPECT_TRUE(Holds(list, "0 1 2 25 3 4 5"));
  // A null key: AddBefore appends, AddAfter prepends, on an empty list too.
  list.AddBefore(nullptr, 9);
  list.AddAfter(nullptr, -1);
  EXPECT_TRUE(Holds(list, "-1 0 1 2 25 3 4 5 9"));
  KQ_TList empty;
  empty.AddAfter(nullptr, 8);
  EXPECT_TRUE(Holds(empty, "8"));
  list += 13;
  EXPECT_EQ(IntOf(list.Tail()), 13);
  EXPECT_EQ(IntOf(list.Head()), -1);
}

TEST(ListTest, PositionsAreCheckedAtTheBoundary) {
  KQ_TList list = MakeList({0, 10, 20, 30, 40, 50, 60, 70, 80});
  // Every position, in both halves of the list.
  std::uint32_t index = 0;
  for (KQ_TListKey const* key = list.KeyAtHead(); key != nullptr; key = key->Next(), ++index) {
    EXPECT_EQ(list.KeyAt(index), key) << index;
    EXPECT_EQ(IntOf(list[index]), static_cast<std::int32_t>(index * 10));
  }
  ExpectEachRaises("KQ_EOutOfBoundsOfList",
                   {[&] { list.KeyAt(9); }, [&] { list.KeyAt(0xFFFFFFFFu); }});
  list[4] = std::int32_t{44};
  list.RemAt(8).RemAt(0).RemAt(3);
  EXPECT_TRUE(Holds(list, "10 20 30 50 60 70"));
  list.RemAtHead().RemAtTail();
  EXPECT_TRUE(Holds(list, "20 30 50 60"));
}

TEST(ListTest, RemovalByKeyAndByValue) {
  KQ_TList list = MakeList({1, 2, 3, 2, 0});
  EXPECT_EQ(list.KeyOf(2), list.KeyAt(1));
  EXPECT_TRUE(list.Contains(3));
  EXPECT_FALSE(list.Contains(7));
  list.Rem(2);
  EXPECT_TRUE(Holds(list, "1 3 2 0"));
  list.Rem(0);
  EXPECT_TRUE(Holds(list, "1 3 2")) << "a literal 0 is a value, not a null key";
  list -= list.KeyAtHead();
  list -= 2;
  EXPECT_TRUE(Holds(list, "3"));
}

TEST(ListTest, AnEmptyListHasNoEndsAndKeysOfAnotherListOrNoKeyAreRefused) {
  KQ_TList empty;
  ExpectEachRaises("KQ_EOutOfBoundsOfList", {[&] { empty.Head(); }, [&] { empty.Tail(); },
                                             [&] { empty.KeyAt(0); }, [&] { empty.RemAtHead(); }});
  EXPECT_EQ(empty.KeyOf(1), nullptr);
  EXPECT_FALSE(empty.Contains(1));
  KQ_TList mine = MakeList({1, 2});
  KQ_TList theirs = MakeList({8, 9});
  KQ_TListKey* foreign = theirs.KeyAtHead();
  KQ_TListKey* head = mine.KeyAtHead();
  ExpectEachRaises("KQ_EElementNotInList",
                   {[&] { empty.Rem(1); }, [&] { mine.Rem(9); }, [&] { mine.Rem(nullptr); },
                    [&] { mine.Rem(foreign); }, [&] { mine.AddBefore(foreign, 3); },
                    [&] { mine.AddAfter(foreign, 3); }, [&] { mine.MoveBefore(head, foreign); },
                    [&] { mine.MoveAfter(foreign, head); }, [&] { mine.MoveBefore(nullptr, head); },
                    [&] { mine.MoveAfter(head, nullptr); }});
  EXPECT_TRUE(Holds(mine, "1 2"));
  EXPECT_TRUE(Holds(theirs, "8 9"));
}

TEST(ListTest, MovesRelinkHeadTailAndNeighbours) {
  struct Case {
    bool before;
    std::uint32_t where;
    std::uint32_t key;
    char const* expected;
  };
  Case const cases[] = {
      {false, 4, 0, "1 2 3 4 0"},  // head to tail
      {true, 0, 4, "4 0 1 2 3"},   // tail to head
      {true, 0, 2, "2 0 1 3 4"},   // middle to head
      {false, 4, 2, "0 1 3 4 2"},  // middle to tail
      {false, 1, 0, "1 0 2 3 4"},  // head after its successor
      {true, 1, 2, "0 2 1 3 4"},   // successor before its predecessor
      {true, 3, 2, "0 1 2 3 4"},   // already before
      {false, 4, 4, "0 1 2 3 4"},  // after itself
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(std::string(c.before ? "before " : "after ") + std::to_string(c.where) + ", key " +
                 std::to_string(c.key));
    KQ_TList list = MakeList({0, 1, 2, 3, 4});
    KQ_TListKey* where = list.KeyAt(c.where);
    KQ_TListKey* key = list.KeyAt(c.key);
    EXPECT_EQ(c.before ? list.MoveBefore(where, key) : list.MoveAfter(where, key), key);
    EXPECT_TRUE(Holds(list, c.expected));
  }
}

TEST(ListTest, EqualityComparesValuesInOrder) {
  KQ_TList const a = MakeList({1, 2, 3});
  EXPECT_FALSE(a == MakeList({3, 2, 1}));
  // A list holding a NaN is unequal even to itself.
  KQ_TList nan;
  nan.Add(std::numeric_limits<double>::quiet_NaN());
  EXPECT_FALSE(nan == nan);
}

TEST(ListTest, TheCursorsKeyIsTheAddressOfItsListKeyHeldPerCursor) {
  KQ_TList list = MakeList({5, 6});
  KQ_TIterator it(list);
  KQ_IPackable& first = it.Key();
  KQ_TConstIterator other(list);
  EXPECT_EQ(KeyAddress(other.Next().Key()), list.KeyAt(1));
  EXPECT_EQ(KeyAddress(first), list.KeyAt(0)) << "another cursor's Key() leaves this one's alone";
}

TEST(ListTest, KeysKeepTheirPlaceAndLongListsAreCopiedAndDestroyedWithoutRecursion) {
  // Keys are handed out from blocks and reused after removal: a key stays
  // where it is as long as it is linked, however many come and go around it.
  KQ_TList list;
  std::vector<KQ_TListKey*> keys;
  for (std::int32_t i = 0; i < 100000; ++i) keys.push_back(list.Add(i));
  KQ_TListKey* const kept = keys[4321];
  for (std::int32_t i = 0; i < 100000; i += 2) list.Rem(keys[i]);
  for (std::int32_t i = 0; i < 3000; ++i) list.AddAtHead(-i);
  EXPECT_EQ(list.Entries(), 53000u);
  EXPECT_EQ(IntOf(kept->Value()), 4321);
  EXPECT_EQ(kept->Container(), &list);
  std::int64_t sum = 0;
  for (KQ_TListKey const* key = list.KeyAtHead(); key != nullptr; key = key->Next()) {
    sum += IntOf(key->Value());
  }
  // The odd numbers below 100000 and the negated numbers below 3000.
  EXPECT_EQ(sum, 50000LL * 50000 - 2999LL * 3000 / 2);
  auto copy = std::make_unique<KQ_TList>(list);
  EXPECT_TRUE(*copy == list);
  copy.reset();
  // Assignment over a list with rooms of removed keys among the live ones.
  KQ_TList const source = MakeList({7, 8});
  list = source;
  EXPECT_TRUE(Holds(list, "7 8"));
}
