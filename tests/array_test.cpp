// The array: bounds on fixed and open sides, the storage window that open
// sides widen in steps of 8, iteration over the slots that are not ILLEGAL
// and deletion while iterating, equality and copies, printing, the packed
// form (exact bytes, round trips, damaged and hostile input) and the text
// form.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "kq_eexception.h"
#include "kq_initialization.h"
#include "kq_tany.h"
#include "kq_tarray.h"
#include "kq_tclass.h"
#include "kq_tdatastream.h"
#include "kq_thumanreadablestream.h"
#include "kq_titerator.h"
#include "kq_tlist.h"
#include "kq_tmemorystream.h"
#include "kq_tstring.h"

using namespace kqtest;

namespace {

class ArrayEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__());
    ASSERT_EQ(KQ_TDataStream::SpecificType(70), KQ_TArray::KQ_ClassObject());
    ASSERT_EQ(KQ_TDataStream::SpecificType(64), KQ_TAny::KQ_ClassObject());
  }
};

::testing::Environment* const gEnvironment =
    ::testing::AddGlobalTestEnvironment(new ArrayEnvironment);

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

// The elements in range, as text: "i" for an integer, "-" for ILLEGAL, "n"
// for NULL, "?" for anything else.
std::string Slots(KQ_TArray const& array) {
  std::string slots;
  for (std::int64_t i = array.LowerBound(); i <= array.UpperBound(); ++i) {
    KQ_TAny const& value = array[static_cast<std::int32_t>(i)];
    if (!slots.empty()) slots += ' ';
    if (value.IsIllegal()) {
      slots += '-';
    } else if (value.IsNull()) {
      slots += 'n';
    } else if (value.Kind() == KQ_TAny::kInt32) {
      slots += std::to_string(static_cast<std::int32_t>(value));
    } else {
      slots += '?';
    }
  }
  return slots;
}

std::int32_t IndexOf(KQ_IPackable const& key) {
  auto const* any = static_cast<KQ_TAny const*>(key.KQ_Cast("KQ_TAny"));
  if (any == nullptr || any->Kind() != KQ_TAny::kInt32) throw std::runtime_error("not an index");
  return static_cast<std::int32_t>(*any);
}

// The indexes an iterator visits forwards and backwards.
std::vector<std::int32_t> Forwards(KQ_TArray const& array) {
  std::vector<std::int32_t> seen;
  KQ_TConstIterator it(array);
  for (it.Start(); !it.IsDone(); it.Next()) seen.push_back(IndexOf(it.Key()));
  return seen;
}

std::vector<std::int32_t> Backwards(KQ_TArray const& array) {
  std::vector<std::int32_t> seen;
  KQ_TConstIterator it(array);
  for (it.End(); !it.IsDone(); it.Prev()) seen.push_back(IndexOf(it.Key()));
  return seen;
}

Bytes Long(std::int32_t v) { return Number(0x03, static_cast<std::uint32_t>(v)); }

Bytes Bool(bool b) { return {0x09, static_cast<unsigned char>(b ? 1 : 0)}; }

Bytes const kAnyIllegal = {0x40, 0x05, 0x00};

Bytes ArrayHeader(std::int32_t lower, std::int32_t upper, bool lowerFixed, bool upperFixed) {
  return Join({{0x46}, Long(lower), Long(upper), Bool(lowerFixed), Bool(upperFixed)});
}

}  // namespace

TEST(ArrayTest, ConstructorsSetBoundsFlagsAndIllegalElements) {
  KQ_TArray const empty;
  EXPECT_EQ(empty.Size(), 0u);
  EXPECT_EQ(empty.LowerBound(), 0);
  EXPECT_EQ(empty.UpperBound(), -1);
  EXPECT_FALSE(empty.LowerFixed());
  EXPECT_FALSE(empty.UpperFixed());
  EXPECT_EQ(empty.StorageLower(), 0);
  EXPECT_EQ(empty.StorageUpper(), 0);
  EXPECT_FALSE(empty.KQ_HRMultiLine());

  KQ_TArray const sized(10);
  EXPECT_EQ(sized.Size(), 10u);
  EXPECT_EQ(sized.LowerBound(), 0);
  EXPECT_EQ(sized.UpperBound(), 9);
  EXPECT_TRUE(sized.LowerFixed());
  EXPECT_TRUE(sized.UpperFixed());
  EXPECT_EQ(Slots(sized), "- - - - - - - - - -");
  EXPECT_EQ(sized.StorageUpper(), 10) << "a fixed size takes exactly its storage";
  EXPECT_TRUE(sized.KQ_HRMultiLine());

  KQ_TArray const swapped(7, 3);
  EXPECT_EQ(swapped.LowerBound(), 3);
  EXPECT_EQ(swapped.UpperBound(), 7);
  EXPECT_EQ(swapped.Size(), 5u);
  KQ_TArray const negative(-2, 2);
  EXPECT_EQ(negative.Size(), 5u);
  EXPECT_EQ(Slots(negative), "- - - - -");
  KQ_TArray const single(kMin, kMin);
  EXPECT_EQ(single.LowerBound(), kMin);
  EXPECT_EQ(single.Size(), 1u);

  // The exclusive upper bound is a 32-bit signed number: the index 2^31 - 1
  // is never valid.
  EXPECT_EQ(Raised([] { KQ_TArray(0x80000000u); }), "KQ_EOutOfBoundsOfArray");
  EXPECT_EQ(Raised([] { KQ_TArray(5, kMax); }), "KQ_EOutOfBoundsOfArray");
  KQ_TArray open;
  EXPECT_EQ(Raised([&] { open[kMax] = 1; }), "KQ_EOutOfBoundsOfArray");
  EXPECT_EQ(open.Size(), 0u);
}

TEST(ArrayTest, OpenSidesGrowTheStorageInStepsOfEight) {
  KQ_TArray array;
  array[5] = 50;
  EXPECT_EQ(array.LowerBound(), 0);
  EXPECT_EQ(array.UpperBound(), 5);
  EXPECT_EQ(Slots(array), "- - - - - 50");
  EXPECT_EQ(array.StorageLower(), 0);
  EXPECT_EQ(array.StorageUpper(), 9) << "storage up to index 8";
  EXPECT_FALSE(array.UpperFixed());

  array[-3] = -30;
  EXPECT_EQ(array.LowerBound(), -3);
  EXPECT_EQ(array.StorageLower(), -8);
  EXPECT_EQ(Slots(array), "-30 - - - - - - - 50");

  // Inside the window nothing moves; one index beyond it the window grows
  // by the next step.
  array[8] = 80;
  EXPECT_EQ(array.StorageUpper(), 9);
  array[9] = 90;
  EXPECT_EQ(array.StorageUpper(), 17);
  array[16] = 160;
  EXPECT_EQ(array.StorageUpper(), 17) << "an exact multiple of 8 stays";
  array[-8] = -80;
  EXPECT_EQ(array.StorageLower(), -8);
  array[-9] = -90;
  EXPECT_EQ(array.StorageLower(), -16);
  EXPECT_EQ(array.Size(), 26u);
  EXPECT_EQ(static_cast<std::int32_t>(array[-9]), -90);
  EXPECT_EQ(static_cast<std::int32_t>(array[16]), 160);

  // Appending walks the upper bound up; every element keeps its value while
  // the storage beneath moves.
  KQ_TArray appended;
  for (std::int32_t i = 0; i < 1000; ++i) {
    appended += KQ_TAny(i);
    ASSERT_EQ(appended.UpperBound(), i);
    ASSERT_EQ(appended.StorageUpper(), (i + 7) / 8 * 8 + 1) << i;
  }
  for (std::int32_t i = 0; i < 1000; ++i) ASSERT_EQ(static_cast<std::int32_t>(appended[i]), i);
  // Growing downwards one index at a time does the same at the other end.
  KQ_TArray descending;
  for (std::int32_t i = -1; i >= -1000; --i) descending[i] = i;
  EXPECT_EQ(descending.LowerBound(), -1000);
  EXPECT_EQ(descending.UpperBound(), -1);
  EXPECT_EQ(descending.StorageLower(), -1000);
  EXPECT_EQ(descending.StorageUpper(), 0);
  for (std::int32_t i = -1; i >= -1000; --i) ASSERT_EQ(static_cast<std::int32_t>(descending[i]), i);

  // An index whose storage cannot be had at all fails before anything
  // changes.
  EXPECT_EQ(Raised([&] { descending[2000000000] = 1; }), "KQ_EOutOfMemory");
  EXPECT_EQ(descending.UpperBound(), -1);
  EXPECT_EQ(descending.StorageUpper(), 0);
}

TEST(ArrayTest, FixedSidesRaiseAndLeaveTheArrayUnchanged) {
  KQ_TArray sized(10);
  sized[3] = 3;
  EXPECT_EQ(Raised([&] { sized[10] = 1; }), "KQ_EOutOfBoundsOfArray");
  EXPECT_EQ(Raised([&] { sized[-1] = 1; }), "KQ_EOutOfBoundsOfArray");
  EXPECT_EQ(Raised([&] { sized += KQ_TAny(1); }), "KQ_EOutOfBoundsOfArray");
  EXPECT_EQ(sized.Size(), 10u);
  EXPECT_EQ(sized.StorageUpper(), 10);

  // The const form never grows, even on open sides.
  KQ_TArray const& constant = sized;
  EXPECT_EQ(static_cast<std::int32_t>(constant[3]), 3);
  KQ_TArray open;
  KQ_TArray const& constOpen = open;
  EXPECT_EQ(Raised([&] { static_cast<void>(constOpen[0]); }), "KQ_EOutOfBoundsOfArray");
  EXPECT_EQ(Raised([&] { static_cast<void>(constant[10]); }), "KQ_EOutOfBoundsOfArray");
  EXPECT_EQ(Raised([&] { static_cast<void>(constant[-1]); }), "KQ_EOutOfBoundsOfArray");
  EXPECT_EQ(open.Size(), 0u);

  // One side open, the other fixed.
  sized.SetLowerFixed(false);
  sized[-2] = -2;
  EXPECT_EQ(sized.LowerBound(), -2);
  EXPECT_EQ(Raised([&] { sized[10] = 1; }), "KQ_EOutOfBoundsOfArray");
  sized.SetUpperFixed(false).SetLowerFixed(true);
  sized += KQ_TAny(10);
  EXPECT_EQ(sized.UpperBound(), 10);
  EXPECT_EQ(Raised([&] { sized[-3] = 1; }), "KQ_EOutOfBoundsOfArray");
  EXPECT_EQ(Slots(sized), "-2 - - - - 3 - - - - - - 10");
}

TEST(ArrayTest, MovingBoundsResetsWhatComesBackIntoRange) {
  KQ_TArray array(0, 9);
  for (std::int32_t i = 0; i < 10; ++i) array[i] = i;

  // Shrinking keeps the old values in storage; growing again brings the
  // indexes back ILLEGAL, not with the values they held.
  array.SetUpperBound(4, true);
  EXPECT_EQ(Slots(array), "0 1 2 3 4");
  EXPECT_EQ(array.StorageUpper(), 10);
  array.SetUpperBound(7, true);
  EXPECT_EQ(Slots(array), "0 1 2 3 4 - - -");
  array.SetLowerBound(3, true);
  EXPECT_EQ(Slots(array), "3 4 - - -");
  array.SetLowerBound(1, true);
  EXPECT_EQ(Slots(array), "- - 3 4 - - -");

  // A fixed side grows exactly; an open one to the next multiple of 8.
  array.SetUpperBound(20, true);
  EXPECT_EQ(array.StorageUpper(), 21);
  EXPECT_TRUE(array.UpperFixed());
  array.SetUpperBound(21, false);
  EXPECT_EQ(array.StorageUpper(), 25);
  EXPECT_FALSE(array.UpperFixed());
  array.SetLowerBound(-1, true);
  EXPECT_EQ(array.StorageLower(), -1);
  array.SetLowerBound(-2, false);
  EXPECT_EQ(array.StorageLower(), -8);
  EXPECT_FALSE(array.LowerFixed());

  // SetSize counts from the lower bound and fixes both sides; size 0 is
  // allowed even with both sides fixed.
  array.SetSize(3);
  EXPECT_EQ(array.LowerBound(), -2);
  EXPECT_EQ(array.UpperBound(), 0);
  EXPECT_TRUE(array.LowerFixed() && array.UpperFixed());
  array.SetSize(0);
  EXPECT_EQ(array.Size(), 0u);
  EXPECT_EQ(array.UpperBound(), -3);
  EXPECT_EQ(Raised([&] { array.SetSize(0xFFFFFFFFu); }), "KQ_EOutOfBoundsOfArray");
  EXPECT_EQ(Raised([&] { array.SetUpperBound(kMax, false); }), "KQ_EOutOfBoundsOfArray");
  EXPECT_EQ(array.Size(), 0u);
}

TEST(ArrayTest, MovingABoundPastTheOtherEmptiesOrRaises) {
  KQ_TArray array(0, 9);
  for (std::int32_t i = 0; i < 10; ++i) array[i] = i;
  // The opposite side is fixed: nothing changes.
  EXPECT_EQ(Raised([&] { array.SetUpperBound(-5, false); }), "KQ_EOutOfBoundsOfArray");
  EXPECT_EQ(Raised([&] { array.SetLowerBound(11, false); }), "KQ_EOutOfBoundsOfArray");
  EXPECT_EQ(Slots(array), "0 1 2 3 4 5 6 7 8 9");
  EXPECT_TRUE(array.UpperFixed());

  // The opposite side is open: every element goes, and the array is empty
  // at the new bound, its storage moved rather than reallocated.
  array.SetLowerFixed(false);
  array.SetUpperBound(-5, true);
  EXPECT_EQ(array.Size(), 0u);
  EXPECT_EQ(array.UpperBound(), -5);
  EXPECT_TRUE(array.UpperFixed());
  EXPECT_EQ(array.StorageUpper() - array.StorageLower(), 10);
  EXPECT_EQ(array.StorageUpper(), -4) << "a fixed side ends the window at the bound";
  array.SetUpperBound(-2, true);
  EXPECT_EQ(Slots(array), "- - -") << "old values never come back";
  EXPECT_TRUE(Forwards(array).empty());

  KQ_TArray open;
  for (std::int32_t i = 0; i < 16; ++i) open[i] = i;
  open.SetLowerBound(100, false);
  EXPECT_EQ(open.Size(), 0u);
  EXPECT_EQ(open.LowerBound(), 100);
  EXPECT_EQ(open.StorageLower(), 96) << "an open side starts the window at a multiple of 8";
  open[103] = 3;
  EXPECT_EQ(Slots(open), "- - - 3");
  // Past the other side while it is open, from an array without storage.
  KQ_TArray bare;
  bare.SetUpperBound(-6, false);
  EXPECT_EQ(bare.Size(), 0u);
  EXPECT_EQ(bare.UpperBound(), -6);
  bare[-4] = 4;
  EXPECT_EQ(bare.LowerBound(), -5);
  EXPECT_EQ(Slots(bare), "- 4");
}

TEST(ArrayTest, IterationSkipsIllegalSlotsBothWays) {
  KQ_TArray array(-2, 6);
  array[-1] = 1;
  array[1] = nullptr;
  array[2] = 2;
  array[6] = 6;
  EXPECT_EQ(Forwards(array), (std::vector<std::int32_t>{-1, 1, 2, 6}));
  EXPECT_EQ(Backwards(array), (std::vector<std::int32_t>{6, 2, 1, -1}));

  KQ_TIterator it(array);
  EXPECT_EQ(IndexOf(it.Key()), -1) << "a new cursor stands on the first element";
  EXPECT_EQ(static_cast<std::int32_t>(it.Value()), 1);
  it.Value() = 10;
  EXPECT_EQ(static_cast<std::int32_t>(array[-1]), 10);
  // Stepping off either end stops there: Prev() after the end acts as End(),
  // Next() before the start as Start().
  it.End();
  it.Next();
  EXPECT_TRUE(it.IsAfterEnd());
  it.Next();
  it.Prev();
  EXPECT_EQ(IndexOf(it.Key()), 6);
  it.Start();
  it.Prev();
  EXPECT_TRUE(it.IsBeforeStart());
  EXPECT_FALSE(it.IsAfterEnd());
  EXPECT_EQ(Raised([&] { it.Value(); }), "KQ_EIteratorOutOfBounds");
  EXPECT_EQ(Raised([&] { it.Key(); }), "KQ_EIteratorOutOfBounds");
  EXPECT_EQ(Raised([&] { it.DeleteItem(); }), "KQ_EIteratorOutOfBounds");
  it.Prev();
  it.Next();
  EXPECT_EQ(IndexOf(it.Key()), -1);

  // Copies move independently.
  KQ_TIterator copy(it);
  copy.Next();
  EXPECT_EQ(IndexOf(copy.Key()), 1);
  EXPECT_EQ(IndexOf(it.Key()), -1);

  // Arrays of only ILLEGAL elements, and empty ones, are done at once.
  KQ_TArray illegal(5);
  KQ_TConstIterator none(illegal);
  EXPECT_TRUE(none.IsDone());
  none.End();
  EXPECT_TRUE(none.IsDone());
  KQ_TArray empty;
  KQ_TConstIterator nothing(empty);
  EXPECT_TRUE(nothing.IsDone());
  EXPECT_EQ(Raised([&] { nothing.Value(); }), "KQ_EIteratorOutOfBounds");

  KQ_TArrayIterationInfo unbound;
  EXPECT_EQ(Raised([&] { unbound.Start(); }), "KQ_EIteratorNotInitialized");
  EXPECT_EQ(Raised([&] { unbound.IsAfterEnd(); }), "KQ_EIteratorNotInitialized");
  EXPECT_EQ(Raised([&] { unbound.Value(); }), "KQ_EIteratorNotInitialized");
  std::unique_ptr<KQ_IIterationInfo> clone(unbound.Clone());
  EXPECT_EQ(Raised([&] { clone->Next(); }), "KQ_EIteratorNotInitialized");
}

TEST(ArrayTest, KeysStayValidUntilTheRingComesRound) {
  KQ_TArray array;
  for (std::int32_t i = 0; i < 2000; ++i) array[i] = i;
  KQ_TIterator it(array);
  KQ_IPackable& first = it.Key();
  std::vector<KQ_IPackable*> keys;
  for (std::int32_t i = 1; i < 1024; ++i) {
    it.Next();
    keys.push_back(&it.Key());
  }
  // 1023 keys later the first one still holds its index; the ring hands out
  // distinct Anys in the meantime.
  EXPECT_EQ(IndexOf(first), 0);
  EXPECT_EQ(IndexOf(*keys.back()), 1023);
  EXPECT_NE(keys.front(), &first);
  it.Next();
  it.Key();
  EXPECT_EQ(IndexOf(first), 1024) << "the 1025th key reuses the first slot";
}

TEST(ArrayTest, DeletingWhileIteratingEmptiesSlotsInPlace) {
  KQ_TArray array;
  for (std::int32_t i = 0; i < 10; ++i) array[i] = i;
  array[4] = KQ_TAny();

  // Deleting every other element: the cursor stays, so Next() reaches the
  // following element.
  KQ_TIterator it(array);
  std::vector<std::int32_t> visited;
  for (it.Start(); !it.IsDone(); it.Next()) {
    visited.push_back(IndexOf(it.Key()));
    if (IndexOf(it.Key()) % 2 == 0) {
      it.DeleteItem();
      EXPECT_TRUE(it.Value().IsIllegal()) << "the cursor still stands on the emptied slot";
    }
  }
  EXPECT_EQ(visited, (std::vector<std::int32_t>{0, 1, 2, 3, 5, 6, 7, 8, 9}));
  EXPECT_EQ(Slots(array), "- 1 - 3 - 5 - 7 - 9");
  EXPECT_EQ(array.Size(), 10u) << "deleting empties slots, it never moves bounds";

  // Deleting everything, walking backwards.
  for (it.End(); !it.IsDone(); it.Prev()) it.DeleteItem();
  EXPECT_EQ(Slots(array), "- - - - - - - - - -");
  it.Start();
  EXPECT_TRUE(it.IsDone());
}

TEST(ArrayTest, EqualityCopiesAndAssignment) {
  KQ_TArray a(0, 2);
  a[0] = 1;
  a[2] = KQ_TAny("two");
  KQ_TArray b(0, 2);
  b[0] = 1;
  b[2] = KQ_TAny("two");
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a != b);
  EXPECT_TRUE(a.KQ_IsIdent(b));
  b[1] = KQ_TAny();
  EXPECT_TRUE(a == b) << "ILLEGAL equals ILLEGAL";
  b[1] = nullptr;
  EXPECT_TRUE(a != b);
  // Equal elements at other indexes are another array.
  KQ_TArray shifted(1, 3);
  shifted[1] = 1;
  shifted[3] = KQ_TAny("two");
  EXPECT_TRUE(a != shifted);
  EXPECT_FALSE(a.KQ_IsIdent(KQ_TAny(1)));
  // The flags do not take part.
  KQ_TArray open = a;
  open.SetLowerFixed(false);
  EXPECT_TRUE(open == a);

  // A copy owns its elements (held objects cloned) and its flags.
  KQ_TList list;
  list.Add(5);
  a[1] = KQ_TAny(list);
  KQ_TArray copy(a);
  EXPECT_TRUE(copy == a);
  EXPECT_TRUE(copy.LowerFixed() && copy.UpperFixed());
  EXPECT_NE(&*copy[1], &*a[1]);
  copy[1] = 0;
  EXPECT_TRUE(a[1].Kind() == KQ_TAny::kObject);
  std::unique_ptr<KQ_IPackable> clone(a.KQ_Clone());
  EXPECT_TRUE(a.KQ_IsIdent(*clone));

  KQ_TArray target;
  target[-20] = 1;
  target = a;
  EXPECT_TRUE(target == a);
  EXPECT_EQ(target.LowerBound(), 0);
  EXPECT_TRUE(target.UpperFixed());
  KQ_TArray const& alias = target;
  target = alias;
  EXPECT_TRUE(target == a);
  target[2] = 3;
  EXPECT_EQ(Slots(a).back(), '?') << "the original keeps its string";
}

TEST(ArrayTest, PrintsOneIndexPerLineWithNestedValuesDeeper) {
  KQ_TArray array(-1, 1);
  array[-1] = 7;
  array[1] = KQ_TAny("x");
  EXPECT_EQ(Printed(array), "ARRAY\n{\n  [-1] = 7\n  [0] = [KQ_TANY::ILLEGAL]\n  [1] = x\n}");
  EXPECT_EQ(Printed(KQ_TArray()), "ARRAY\n{\n}");

  KQ_TArray inner(1);
  inner[0] = 2;
  KQ_TArray outer(1);
  outer[0] = KQ_TAny(inner);
  std::ostringstream os;
  KQ_IPrintable::SetIndentation(2);
  os << outer;
  KQ_IPrintable::SetIndentation(0);
  EXPECT_EQ(os.str(), "ARRAY\n  {\n    [0] = ARRAY\n      {\n        [0] = 2\n      }\n  }");
  EXPECT_EQ(KQ_IPrintable::Indentation(), 0u);
}

TEST(ArrayTest, PacksBoundsFlagsThenEveryElement) {
  KQ_TArray array(-1, 1);
  array[-1] = 5;
  array[1] = 7;
  array.SetUpperFixed(false);
  EXPECT_EQ(Packed(array),
            Join({ArrayHeader(-1, 2, true, false), AnyInt(5), kAnyIllegal, AnyInt(7)}));
  EXPECT_EQ(Packed(KQ_TArray()), ArrayHeader(0, 0, false, false));

  // Unpacking replaces what was there and restores bounds and flags.
  KQ_TArray read;
  read[-40] = 1;
  ReadInto(read, Packed(array));
  EXPECT_TRUE(read == array);
  EXPECT_TRUE(read.LowerFixed());
  EXPECT_FALSE(read.UpperFixed());
  EXPECT_EQ(read.StorageLower(), -1);
  EXPECT_EQ(read.StorageUpper(), 2) << "unpacked storage covers exactly the bounds";
  // An element of tag 0 (no object) stays ILLEGAL.
  KQ_TArray zeros;
  ReadInto(zeros, Join({ArrayHeader(3, 5, false, true), {0x00}, AnyInt(4)}));
  EXPECT_EQ(zeros.LowerBound(), 3);
  EXPECT_EQ(Slots(zeros), "- 4");
  EXPECT_TRUE(zeros.UpperFixed());

  // Round trips of nested and large arrays.
  KQ_TArray nested;
  nested[-3] = KQ_TAny(array);
  nested[0] = KQ_TAny(KQ_TString("s"));
  nested[2] = 2.5;
  std::unique_ptr<KQ_IPackable> const back = Extracted(Packed(nested));
  EXPECT_TRUE(As<KQ_TArray>(back) == nested);
  EXPECT_FALSE(As<KQ_TArray>(back).LowerFixed());

  KQ_TArray large(100000);
  for (std::int32_t i = 0; i < 100000; i += 3) large[i] = i;
  std::unique_ptr<KQ_IPackable> const largeBack = Extracted(Packed(large));
  EXPECT_TRUE(As<KQ_TArray>(largeBack) == large);
}

TEST(ArrayTest, DamagedPackedArraysRaiseLibraryExceptions) {
  KQ_TArray inner(2);
  inner[1] = KQ_TAny("in");
  KQ_TArray array(-1, 2);
  array[-1] = KQ_TAny(inner);
  array[0] = 3;
  array[2] = KQ_TAny(KQ_TString("end"));
  Bytes const bytes = Packed(array);

  ExpectDamageRaisesOnlyLibraryExceptions(bytes, {0x00, 0x01, 0x03, 0x46, 0x7F, 0x80, 0xFF});

  // An upper bound below the lower one.
  EXPECT_EQ(Raised([] { Extracted(ArrayHeader(5, 4, true, true)); }), "KQ_EWrongPackedType");
  // Bounds that would need gigabytes, with two elements behind them: the
  // stream ends long before anything large is allocated, and the elements
  // that arrived are kept.
  Bytes const hostile = Join({ArrayHeader(kMin, kMax, true, true), AnyInt(1), AnyInt(2)});
  EXPECT_EQ(Raised([&] { Extracted(hostile); }), "KQ_EStreamEndReached");
  KQ_TArray partial;
  EXPECT_EQ(Raised([&] { ReadInto(partial, hostile); }), "KQ_EStreamEndReached");
  EXPECT_EQ(partial.LowerBound(), kMin);
  EXPECT_EQ(Slots(partial), "1 2");
  EXPECT_LE(partial.StorageUpper() - partial.StorageLower(), 2);
  // A wrongly typed bound or flag.
  EXPECT_EQ(Raised([] {
              Extracted(Join({{0x46}, Bool(true), Long(0), Bool(true), Bool(true)}));
            }),
            "KQ_EWrongPackedType");
}

TEST(ArrayTest, TextFormKeepsTheLowerBoundAndSkipsEmptySlots) {
  KQ_TArray array(-2, 3);
  array[-1] = 5;
  array[1] = KQ_TAny("s");
  std::string const text = Text(array);
  EXPECT_EQ(text, "KQ_TArray {\n  [-2] =ILLEGAL\n  [-1] =5\n  [1] =\"s\"\n}");
  EXPECT_EQ(Text(KQ_TArray()), "KQ_TArray {  }");

  // Reading back: both sides open, bounds from the indexes read (the upper
  // one ends at the last element written).
  KQ_TArray read(10);
  ReadText(read, text);
  EXPECT_EQ(read.LowerBound(), -2);
  EXPECT_EQ(read.UpperBound(), 1);
  EXPECT_FALSE(read.LowerFixed());
  EXPECT_FALSE(read.UpperFixed());
  EXPECT_EQ(Slots(read), "- 5 - ?");
  EXPECT_EQ(static_cast<char const*>(static_cast<char*>(read[1])), std::string("s"));

  // Nested arrays, free white space, indexes in any order.
  KQ_TArray nested;
  ReadText(nested, "KQ_TArray{[3]=KQ_TArray{[0]=1}\n[ -1 ] = 2}");
  EXPECT_EQ(nested.LowerBound(), -1);
  EXPECT_EQ(nested.UpperBound(), 3);
  KQ_TArray expectedInner;
  expectedInner[0] = 1;
  EXPECT_TRUE((*nested[3]).KQ_IsIdent(expectedInner));

  for (char const* bad : {"KQ_TArray { 0] = 1 }", "KQ_TArray { [0 = 1 }", "KQ_TArray { [0] 1 }",
                          "KQ_TArray { [x] = 1 }", "KQ_TArray { [0] = 1 [2000000] = 2 }"}) {
    KQ_TArray target;
    EXPECT_EQ(Raised([&] { ReadText(target, bad); }), "KQ_EHRSyntaxError") << bad;
  }
  KQ_TArray target;
  EXPECT_EQ(Raised([&] { ReadText(target, "KQ_TArray { [0] = 1"); }), "KQ_EStreamEndReached");
}

TEST(ArrayTest, ClassRecordCastsAndPackingCode) {
  std::unique_ptr<KQ_TObject> made(KQ_TArray::KQ_Create());
  ASSERT_NE(made, nullptr);
  EXPECT_STREQ(made->ClassName(), "KQ_TArray");
  EXPECT_NE(made->KQ_Cast("KQ_IPackable"), nullptr);
  EXPECT_NE(made->KQ_Cast("KQ_IIteratable"), nullptr);
  EXPECT_NE(made->KQ_Cast("KQ_IPrintable"), nullptr);
  EXPECT_NE(made->KQ_Cast("KQ_IHumanReadable"), nullptr);
  EXPECT_EQ(made->KQ_Cast("KQ_IHashable"), nullptr);
  EXPECT_EQ(KQ_TClass::FindClass("KQ_TArrayIterationInfo"),
            KQ_TArrayIterationInfo::KQ_ClassObject());
  KQ_TArray array;
  std::unique_ptr<KQ_IIterationInfo> cursor(array.CreateIterationInfo());
  EXPECT_STREQ(cursor->ClassName(), "KQ_TArrayIterationInfo");
  EXPECT_EQ(Packed(array).front(), 0x46);
}
