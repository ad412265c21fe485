// What every container does alike, as one typed test over the list, the
// queue, the array, the dictionary and the tree.
#include <limits>

#include "kq_tarray.h"
#include "kq_tdict.h"
#include "kq_titerator.h"
#include "kq_tlist.h"
#include "kq_tpackage.h"
#include "kq_tqueue.h"
#include "kq_tstring.h"
#include "kq_ttree.h"
#include "test_support.h"

using namespace kqtest;

namespace {

// Every container is filled with these keys, each holding ten times itself:
// 0, 8 and 16 share a bucket of eight, and so do 4 and 12.
std::vector<std::int32_t> const kKeys = {0, 8, 16, 4, 12, 1, 3, 6};

Bytes Header(unsigned char code, std::uint32_t count) {
  return Join({{code}, Number(0x07, count)});
}

// The queue has no packing code and travels by name.
Bytes QueueHeader(std::uint32_t count) {
  return Join({kqtest::Header(0x0D, "KQ_TQueue"), Number(0x07, count)});
}

Bytes ArrayHeader(std::int32_t lower, std::int32_t upper, bool lowerFixed, bool upperFixed) {
  auto const bound = [](std::int32_t b) { return Number(0x03, static_cast<std::uint32_t>(b)); };
  return Join({{0x46}, bound(lower), bound(upper), {0x09, lowerFixed}, {0x09, upperFixed}});
}

KQ_TList ListOf(std::vector<KQ_TAny> const& values) {
  KQ_TList list;
  for (KQ_TAny const& value : values) list.Add(value);
  return list;
}

struct ListKind {
  static constexpr char const* kName = "LIST";
  using Container = KQ_TList;
  using Cursor = KQ_TListIterationInfo;
  static constexpr bool kIndexed = false;
  static void Put(KQ_TList& list, std::int32_t, KQ_TAny const& value) { list.Add(value); }
  static std::vector<std::int32_t> Order() { return kKeys; }
  static void Sample(KQ_TList& list) {
    list.Add(KQ_TAny(ListOf({KQ_TAny("in"), Int(3)})));
    list.Add(Int(-7));
    list.Add(KQ_TAny(KQ_TString("end")));
    list.Add(KQ_TAny(CountedKey(2, 5)));
  }
  // An element that is no Any leaves no half-made element behind.
  template <class Check>
  static void Refusals(Check check) {
    check(Join({Header(0x47, 0xFFFFFFFFu), AnyInt(1), AnyInt(2)}), "KQ_EStreamEndReached", {1, 2});
    check(Join({Header(0x47, 3), AnyInt(5), Number(0x03, 6)}), "KQ_EWrongPackedType", {5});
  }
  template <class Check>
  static void Printings(Check check) {
    KQ_TList innermost = ListOf({KQ_TAny('z')});
    check(0,
          ListOf({KQ_TAny('a'), KQ_TAny(ListOf({KQ_TAny('b'), KQ_TAny('c'), KQ_TAny(innermost)})),
                  KQ_TAny(true)}),
          "LIST\n{\n  a\n  LIST\n    {\n      b\n      c\n      LIST\n        {\n          z\n"
          "        }\n    }\n  TRUE\n}");
  }
};

struct QueueKind {
  static constexpr char const* kName = "QUEUE";
  using Container = KQ_TQueue;
  using Cursor = KQ_TQueueIterationInfo;
  static constexpr bool kIndexed = false;
  static void Put(KQ_TQueue& queue, std::int32_t, KQ_TAny const& value) { queue.Add(value, 0); }
  static std::vector<std::int32_t> Order() { return kKeys; }
  static void Sample(KQ_TQueue& queue) {
    KQ_TQueue inner;
    inner.Add(KQ_TAny("x"), 1);
    queue.Add(KQ_TAny(inner), 3);
    queue.Add(Int(5), -3);
    queue.Add(KQ_TAny(CountedKey(2, 5)), -3);
  }
  // A priority of the wrong type.
  template <class Check>
  static void Refusals(Check check) {
    check(Join({QueueHeader(1), Number(0x07, 1), AnyInt(1), {0xFF}}), "KQ_EWrongPackedType", {});
    check(Join({QueueHeader(0xFFFFFFFFu), Number(0x03, 1), AnyInt(1)}), "KQ_EStreamEndReached",
          {1});
  }
  template <class Check>
  static void Printings(Check check) {
    KQ_TQueue queue;
    queue.Add(Int(1), 5);
    queue.Add(KQ_TAny("two"), 5);
    queue.Add(Int(3), -2);
    check(0, queue, "QUEUE\n{\n  Priority 5:\n    1\n    two\n  Priority -2:\n    3\n}");
  }
};

struct ArrayKind {
  static constexpr char const* kName = "ARRAY";
  using Container = KQ_TArray;
  using Cursor = KQ_TArrayIterationInfo;
  static constexpr bool kIndexed = true;
  static void Put(KQ_TArray& array, std::int32_t key, KQ_TAny const& value) { array[key] = value; }
  static std::vector<std::int32_t> Order() { return {0, 1, 3, 4, 6, 8, 12, 16}; }
  static void Sample(KQ_TArray& array) {
    KQ_TArray inner(2);
    inner[1] = KQ_TAny("in");
    array = KQ_TArray(-1, 3);
    array[-1] = KQ_TAny(inner);
    array[0] = 3;
    array[2] = KQ_TAny(KQ_TString("end"));
    array[3] = KQ_TAny(CountedKey(2, 5));
  }
  // An upper bound below the lower one; a bound of the wrong type.
  template <class Check>
  static void Refusals(Check check) {
    check(ArrayHeader(5, 4, true, true), "KQ_EWrongPackedType", {});
    check(Join({{0x46}, {0x09, 1}, Number(0x03, 0), {0x09, 1}, {0x09, 1}}), "KQ_EWrongPackedType",
          {});
    constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
    check(Join({ArrayHeader(-kMax - 1, kMax, true, true), AnyInt(1), AnyInt(2)}),
          "KQ_EStreamEndReached", {1, 2});
  }
  template <class Check>
  static void Printings(Check check) {
    KQ_TArray inner(1);
    inner[0] = 2;
    KQ_TArray outer(-1, 0);
    outer[0] = KQ_TAny(inner);
    check(2, outer,
          "ARRAY\n  {\n    [-1] = [KQ_TANY::ILLEGAL]\n    [0] = ARRAY\n      {\n        [0] = 2\n"
          "      }\n  }");
  }
};

struct DictKind {
  static constexpr char const* kName = "DICT";
  using Container = KQ_TDict;
  using Cursor = KQ_TDictIterationInfo;
  static constexpr bool kIndexed = false;
  static void Put(KQ_TDict& dict, std::int32_t key, KQ_TAny const& value) {
    dict.Add(Int(key), value);
  }
  // Buckets ascending, the newest entry first within one.
  static std::vector<std::int32_t> Order() { return {12, 4, 6, 16, 8, 0, 1, 3}; }
  static void Sample(KQ_TDict& dict) {
    KQ_TDict inner;
    inner.Add(Int(5), KQ_TAny(KQ_TString("w")));
    dict.Add("k", KQ_TAny(KQ_TString("v")))
        .Add(Int(1), Int(2))
        .Add(CountedKey(3, 4), KQ_TAny(inner));
  }
  // Keys that are no object, not hashable, or hold what cannot be hashed;
  // counts far beyond the data.
  template <class Check>
  static void Refusals(Check check) {
    check(Join({Header(0x45, 1), {0x00}, AnyInt(1)}), "KQ_EWrongPackedType", {});
    check(Join({Header(0x45, 1), Packed(CountedPlain(5)), AnyInt(1)}), "KQ_EWrongPackedType", {});
    check(Join({Header(0x45, 1), Packed(KQ_TAny(ListOf({Int(1)}))), AnyInt(1)}),
          "KQ_EAnyContainsUnhashableType", {});
    check(Join({Header(0x45, 100000000), AnyInt(1), AnyInt(2), {0x40, 0x05}}),
          "KQ_EStreamEndReached", {2});
  }
  template <class Check>
  static void Printings(Check check) {
    // The tree prints through the same table; here the key that cannot print.
    KQ_TDict keyed;
    keyed.Add(CountedKey(1, 0), KQ_TAny(nullptr));
    check(4, keyed, "DICT\n    {\n      [<NON-PRINTABLE>] = [KQ_TANY::NULL]\n    }");
  }
};

struct TreeKind {
  static constexpr char const* kName = "TREE";
  using Container = KQ_TTree;
  using Cursor = KQ_TTreeIterationInfo;
  static constexpr bool kIndexed = false;
  static void Put(KQ_TTree& tree, std::int32_t key, KQ_TAny const& value) {
    tree[Int(key)] = value;
  }
  static std::vector<std::int32_t> Order() { return DictKind::Order(); }
  static void Sample(KQ_TTree& tree) {
    tree("a/b", '/') = KQ_TAny("v");
    tree[Int(1)] = 2;
    tree[CountedKey(4, 4)] = 3;
  }
  // The dictionary's reader reads trees too.
  template <class Check>
  static void Refusals(Check) {}
  template <class Check>
  static void Printings(Check check) {
    KQ_TTree tree;
    tree["a"] = 1;
    tree("b/c", '/') = KQ_TAny("v");
    check(0, tree, "TREE\n{\n  [b] = TREE\n    {\n      [c] = v\n    }\n  [a] = 1\n}");
  }
};

template <class Kind>
void Fill(typename Kind::Container& container) {
  for (std::int32_t key : kKeys) Kind::Put(container, key, Int(10 * key));
}

template <class Kind>
std::vector<std::int32_t> Filling() {
  std::vector<std::int32_t> values;
  for (std::int32_t key : Kind::Order()) values.push_back(10 * key);
  return values;
}

// The integers in iteration order, forwards or backwards (-1 for any other
// value).
std::vector<std::int32_t> Values(KQ_IIteratable const& container, bool backwards = false) {
  std::vector<std::int32_t> seen;
  KQ_TConstIterator it(container);
  for (backwards ? it.End() : it.Start(); !it.IsDone(); backwards ? it.Prev() : it.Next()) {
    seen.push_back(it.Value().Kind() == KQ_TAny::kInt32 ? static_cast<std::int32_t>(it.Value())
                                                        : -1);
  }
  return seen;
}

std::int32_t ValueAt(KQ_TIterator const& it) { return static_cast<std::int32_t>(it.Value()); }

// Standing before the start or after the end, a cursor has no element.
void ExpectNoElement(KQ_TIterator& it) {
  ExpectEachRaises("KQ_EIteratorOutOfBounds",
                   {[&] { it.Key(); }, [&] { it.Value(); }, [&] { it.DeleteItem(); }});
}

}  // namespace

template <class Kind>
class ContainerTest : public InitializedTest {};

using Kinds = ::testing::Types<ListKind, QueueKind, ArrayKind, DictKind, TreeKind>;
TYPED_TEST_SUITE(ContainerTest, Kinds);

TYPED_TEST(ContainerTest, IteratesEveryElementOnceEachWayAndStopsAtTheEnds) {
  typename TypeParam::Container container;
  Fill<TypeParam>(container);
  std::vector<std::int32_t> const order = Filling<TypeParam>();
  EXPECT_EQ(Values(container), order);
  EXPECT_EQ(Values(container, true), std::vector<std::int32_t>(order.rbegin(), order.rend()));

  KQ_TIterator it(container);
  EXPECT_EQ(ValueAt(it), order.front()) << "a new cursor stands on the first element";
  --it;
  EXPECT_TRUE(it.IsBeforeStart());
  EXPECT_FALSE(it.IsAfterEnd());
  ExpectNoElement(it);
  it--;
  EXPECT_TRUE(it.IsBeforeStart());
  it++;
  EXPECT_EQ(ValueAt(it), order.front());
  ++it.End();
  EXPECT_TRUE(it.IsAfterEnd());
  EXPECT_FALSE(it.IsBeforeStart());
  ExpectNoElement(it);
  it.Next();
  EXPECT_TRUE(it.IsAfterEnd());
  it.Prev();
  EXPECT_EQ(ValueAt(it), order.back());
  // Values change through the read-write iterator.
  it.Start().Next().Value() = Int(-5);
  EXPECT_EQ(Values(container)[1], -5);

  // Copies and assignments of iterators move on their own.
  KQ_TIterator copy(it);
  copy.Next();
  EXPECT_EQ(ValueAt(copy), order[2]);
  EXPECT_EQ(ValueAt(it), -5);
  KQ_TIterator assigned;
  assigned = copy;
  assigned.Next();
  EXPECT_EQ(ValueAt(assigned), order[3]);
  EXPECT_EQ(ValueAt(copy), order[2]);
  KQ_TConstIterator reader(copy);
  (--reader)--;
  EXPECT_EQ(static_cast<std::int32_t>(reader.Value()), order[0]);
  // Assigning a container starts over on it.
  typename TypeParam::Container other;
  TypeParam::Put(other, 1, Int(7));
  assigned = other;
  EXPECT_EQ(ValueAt(assigned), 7);
}

TYPED_TEST(ContainerTest, AnEmptyContainerIsDoneAtOnceAndAnElementAddedLaterIsFound) {
  typename TypeParam::Container container;
  KQ_TIterator it(container);
  EXPECT_TRUE(it.IsAfterEnd());
  EXPECT_NE(it.IsBeforeStart(), TypeParam::kIndexed) << "an index stays at the lower bound";
  ExpectNoElement(it);
  it.End();
  EXPECT_TRUE(it.IsDone());
  it.Next();
  it.Prev();
  EXPECT_TRUE(it.IsDone());

  // Next() before the start acts as Start().
  TypeParam::Put(container, 5, Int(50));
  it.Next();
  ASSERT_FALSE(it.IsDone());
  EXPECT_EQ(ValueAt(it), 50);
}

TYPED_TEST(ContainerTest, ACursorWithoutAContainerRaisesOnEveryOperation) {
  typename TypeParam::Cursor unbound;
  std::unique_ptr<KQ_IIterationInfo> clone(unbound.Clone());
  for (KQ_IIterationInfo* cursor : {static_cast<KQ_IIterationInfo*>(&unbound), clone.get()}) {
    ExpectEachRaises(
        "KQ_EIteratorNotInitialized",
        {[&] { cursor->Start(); }, [&] { cursor->Next(); }, [&] { cursor->Prev(); },
         [&] { cursor->End(); }, [&] { cursor->IsBeforeStart(); }, [&] { cursor->IsAfterEnd(); },
         [&] { cursor->Key(); }, [&] { cursor->Value(); }, [&] { cursor->DeleteItem(); }});
  }
}

TYPED_TEST(ContainerTest, DeletingWhileIteratingVisitsEveryElementOnce) {
  std::vector<std::int32_t> const order = Filling<TypeParam>();
  // Deleting everything, every element at an odd place, every one at an
  // even place.
  for (int keep = 0; keep < 3; ++keep) {
    typename TypeParam::Container container;
    Fill<TypeParam>(container);
    std::vector<std::int32_t> seen;
    std::vector<std::int32_t> kept;
    KQ_TIterator it(container);
    for (it.Start(); !it.IsDone(); it.Next()) {
      seen.push_back(ValueAt(it));
      if (keep != 0 && seen.size() % 2 == static_cast<std::size_t>(keep - 1)) {
        kept.push_back(seen.back());
      } else {
        it.DeleteItem();
      }
    }
    EXPECT_EQ(seen, order) << keep;
    EXPECT_EQ(Values(container), kept) << keep;
    EXPECT_TRUE(it.IsAfterEnd());
  }

  // Backwards: a cursor that steps back as it deletes needs no Prev(); an
  // index stays on the emptied slot.
  typename TypeParam::Container container;
  Fill<TypeParam>(container);
  std::vector<std::int32_t> deleted;
  KQ_TIterator it(container);
  for (it.End(); !it.IsDone() && deleted.size() <= order.size();) {
    deleted.push_back(ValueAt(it));
    it.DeleteItem();
    if (TypeParam::kIndexed) it.Prev();
  }
  EXPECT_EQ(deleted, std::vector<std::int32_t>(order.rbegin(), order.rend()));
  EXPECT_TRUE(Values(container).empty());
  EXPECT_TRUE(it.IsBeforeStart());
}

TYPED_TEST(ContainerTest, CopiesAreEqualAndOwnTheirElements) {
  using Container = typename TypeParam::Container;
  Container original;
  Fill<TypeParam>(original);
  TypeParam::Put(original, 20, KQ_TAny(ListOf({Int(1)})));
  auto const held = [](Container const& c) -> KQ_IPackable const* {
    KQ_TConstIterator it(c);
    while (!it.IsDone() && it.Value().Kind() != KQ_TAny::kObject) it.Next();
    return it.IsDone() ? nullptr : &*it.Value();
  };

  Container copy(original);
  EXPECT_TRUE(copy == original);
  EXPECT_TRUE(copy.KQ_IsIdent(original));
  ASSERT_NE(held(copy), nullptr);
  EXPECT_NE(held(copy), held(original)) << "a held object is cloned, not shared";
  KQ_TIterator(copy).Value() = Int(-99);
  EXPECT_TRUE(copy != original);
  EXPECT_FALSE(copy.KQ_IsIdent(original));

  // One element fewer, either way round; a value of another kind.
  Container shorter(original);
  KQ_TIterator(shorter).DeleteItem();
  EXPECT_FALSE(shorter == original);
  EXPECT_FALSE(original == shorter);
  Container narrow;
  Fill<TypeParam>(narrow);
  Container wide;
  for (std::int32_t key : kKeys) TypeParam::Put(wide, key, KQ_TAny(std::int64_t{10 * key}));
  EXPECT_FALSE(wide == narrow);
  EXPECT_FALSE(original.KQ_IsIdent(KQ_TAny(1)));

  Container assigned;
  TypeParam::Put(assigned, 2, Int(99));
  assigned = original;
  EXPECT_TRUE(assigned == original);
  EXPECT_NE(held(assigned), held(original));
  Container& self = assigned;
  assigned = self;
  EXPECT_TRUE(assigned == original);
  assigned = Container();
  EXPECT_TRUE(Values(assigned).empty());

  std::unique_ptr<KQ_IPackable> const clone(original.KQ_Clone());
  EXPECT_TRUE(As<Container>(clone) == original);
}

TYPED_TEST(ContainerTest, PrintsEveryElementOnItsOwnLineWithNestedOnesDeeper) {
  using Container = typename TypeParam::Container;
  EXPECT_EQ(Printed(Container()), std::string(TypeParam::kName) + "\n{\n}");
  EXPECT_FALSE(Container().KQ_HRMultiLine());
  Container filled;
  Fill<TypeParam>(filled);
  EXPECT_TRUE(filled.KQ_HRMultiLine());
  TypeParam::Printings(
      [](std::uint32_t indentation, Container const& c, std::string const& expected) {
        KQ_IPrintable::SetIndentation(indentation);
        std::string const printed = Printed(c);
        EXPECT_EQ(KQ_IPrintable::Indentation(), indentation);
        KQ_IPrintable::SetIndentation(0);
        EXPECT_EQ(printed, expected);
      });
}

// The exact bytes of each container are among the data stream's golden
// vectors; here the packed form is read back, also over a filled container.
TYPED_TEST(ContainerTest, ReadsItsPackedFormBackOverWhatWasThere) {
  using Container = typename TypeParam::Container;
  Container sample;
  for (bool const empty : {true, false}) {
    if (!empty) TypeParam::Sample(sample);
    Bytes const bytes = Packed(sample);
    std::unique_ptr<KQ_IPackable> const back = Extracted(bytes);
    EXPECT_TRUE(As<Container>(back) == sample);
    Container into;
    Fill<TypeParam>(into);
    ReadInto(into, bytes);
    EXPECT_TRUE(into == sample) << "reading replaces what was there";
  }

  // Through a packer and an unpacker that are not a data stream, element by
  // element.
  KQ_TPackage package;
  sample.KQ_Pack(package);
  package.Rewind(0);
  Container general;
  general.KQ_Unpack(package);
  EXPECT_TRUE(general == sample);
}

TYPED_TEST(ContainerTest, DamagedOrHostilePackedInputRaisesLibraryExceptionsAndKeepsWhatArrived) {
  using Container = typename TypeParam::Container;
  {
    Container sample;
    TypeParam::Sample(sample);
    int const keys = CountedKey::sLive;
    ExpectDamageRaisesOnlyLibraryExceptions(
        Packed(sample),
        {0x00, 0x01, 0x03, 0x05, 0x07, 0x0D, 0x40, 0x45, 0x46, 0x49, 0x7F, 0x80, 0xFF});
    EXPECT_EQ(CountedKey::sLive, keys) << "no key read from damaged data is left behind";
  }
  EXPECT_EQ(CountedKey::sLive, 0);

  // Input the readers refuse, and counts far beyond the data: nothing is
  // reserved by them, the stream's end is reported and the elements read so
  // far stay.
  TypeParam::Refusals(
      [](Bytes const& bytes, std::string const& raised, std::vector<std::int32_t> const& arrived) {
        EXPECT_EQ(Raised([&] { Extracted(bytes); }), raised);
        Container partial;
        EXPECT_EQ(Raised([&] { ReadInto(partial, bytes); }), raised);
        EXPECT_EQ(Values(partial), arrived);
      });
  EXPECT_EQ(CountedPlain::sLive, 0);
}

// Every operation of an iterator asks for its cursor first, which raises
// when there is none; copies of such an iterator have none either.
TEST(IteratorTest, WithoutAContainerEveryOperationRaises) {
  KQ_TIterator it;
  KQ_TIterator copy(it);
  KQ_TConstIterator fromEmpty(it);
  EXPECT_EQ(fromEmpty.Container(), nullptr);
  ExpectEachRaises("KQ_EIteratorNotInitialized",
                   {[&] { it.DeleteItem(); }, [&] { copy.IsDone(); }, [&] { fromEmpty.Value(); }});
  EXPECT_THROW(it.Start(), KQ_EIteratorException) << "the family root catches it too";
}
