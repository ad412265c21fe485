// What only the array does: bounds, the storage window and its text form.
#include <limits>

#include "kq_tarray.h"
#include "kq_titerator.h"
#include "kq_tstring.h"
#include "test_support.h"

using namespace kqtest;

namespace {

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

// The elements in range, as text: the integer, "-" for ILLEGAL, "n" for
// NULL, "?" for anything else.
std::string Slots(KQ_TArray const& array) {
  std::string slots;
  for (std::int64_t i = array.LowerBound(); i <= array.UpperBound(); ++i) {
    KQ_TAny const& value = array[static_cast<std::int32_t>(i)];
    slots += slots.empty() ? "" : " ";
    slots += value.IsIllegal()                 ? "-"
             : value.IsNull()                  ? "n"
             : value.Kind() == KQ_TAny::kInt32 ? std::to_string(static_cast<std::int32_t>(value))
                                               : "?";
  }
  return slots;
}

// The storage window and the bounds: "storage lower, storage upper: lower..upper".
std::string Window(KQ_TArray const& array) {
  return std::to_string(array.StorageLower()) + "," + std::to_string(array.StorageUpper()) + ": " +
         std::to_string(array.LowerBound()) + ".." + std::to_string(array.UpperBound());
}

Bytes ArrayHeader(std::int32_t lower, std::int32_t upper, bool lowerFixed, bool upperFixed) {
  auto const bound = [](std::int32_t b) { return Number(0x03, static_cast<std::uint32_t>(b)); };
  return Join({{0x46}, bound(lower), bound(upper), {0x09, lowerFixed}, {0x09, upperFixed}});
}

}  // namespace

TEST(ArrayTest, ConstructorsSetBoundsFlagsAndIllegalElements) {
  KQ_TArray const empty;
  EXPECT_EQ(Window(empty), "0,0: 0..-1");
  EXPECT_FALSE(empty.LowerFixed() || empty.UpperFixed());
  KQ_TArray const sized(10);
  EXPECT_EQ(Window(sized), "0,10: 0..9") << "a fixed size takes exactly its storage";
  EXPECT_TRUE(sized.LowerFixed() && sized.UpperFixed());
  EXPECT_EQ(Slots(sized), "- - - - - - - - - -");
  EXPECT_EQ(Window(KQ_TArray(7, 3)), "3,8: 3..7");
  EXPECT_EQ(KQ_TArray(kMin, kMin).Size(), 1u);
  // The exclusive upper bound is a 32-bit signed number: the index 2^31 - 1
  // is never valid.
  KQ_TArray open;
  ExpectEachRaises("KQ_EOutOfBoundsOfArray", {[] { KQ_TArray(0x80000000u); },
                                              [] { KQ_TArray(5, kMax); }, [&] { open[kMax] = 1; }});
  EXPECT_EQ(open.Size(), 0u);
}

TEST(ArrayTest, OpenSidesGrowTheStorageInStepsOfEight) {
  KQ_TArray array;
  array[5] = 50;
  EXPECT_EQ(Window(array), "0,9: 0..5") << "storage up to index 8";
  array[-3] = -30;
  EXPECT_EQ(Window(array), "-8,9: -3..5");
  EXPECT_EQ(Slots(array), "-30 - - - - - - - 50");
  // Inside the window nothing moves; one index beyond it the window grows
  // by the next step, an exact multiple of 8 staying.
  struct Step {
    std::int32_t index;
    char const* window;
  };
  for (Step const step :
       {Step{8, "-8,9: -3..8"}, Step{9, "-8,17: -3..9"}, Step{16, "-8,17: -3..16"},
        Step{-8, "-8,17: -8..16"}, Step{-9, "-16,17: -9..16"}}) {
    array[step.index] = step.index * 10;
    EXPECT_EQ(Window(array), step.window) << step.index;
  }
  EXPECT_EQ(static_cast<std::int32_t>(array[16]), 160) << "kept while the storage grew down";

  // Appending walks the upper bound up; every element keeps its value
  // while the storage beneath moves.
  KQ_TArray appended;
  for (std::int32_t i = 0; i < 1000; ++i) appended += KQ_TAny(i);
  for (std::int32_t i = 0; i < 1000; ++i) ASSERT_EQ(static_cast<std::int32_t>(appended[i]), i);
  EXPECT_EQ(Window(appended), "0,1001: 0..999");
  // An index whose storage cannot be had fails before anything changes.
  EXPECT_EQ(Raised([&] { appended[2000000000] = 1; }), "KQ_EOutOfMemory");
  EXPECT_EQ(Window(appended), "0,1001: 0..999");
}

TEST(ArrayTest, FixedSidesRaiseAndLeaveTheArrayUnchanged) {
  KQ_TArray sized(10);
  sized[3] = 3;
  KQ_TArray const& constant = sized;
  KQ_TArray open;
  KQ_TArray const& constOpen = open;
  // The const form never grows, even on open sides.
  ExpectEachRaises(
      "KQ_EOutOfBoundsOfArray",
      {[&] { sized[10] = 1; }, [&] { sized[-1] = 1; }, [&] { sized += KQ_TAny(1); },
       [&] { static_cast<void>(constOpen[0]); }, [&] { static_cast<void>(constant[10]); },
       [&] { static_cast<void>(constant[-1]); }});
  EXPECT_EQ(Window(sized), "0,10: 0..9");
  EXPECT_EQ(open.Size(), 0u);

  // One side open, the other fixed.
  sized.SetLowerFixed(false);
  sized[-2] = -2;
  EXPECT_EQ(Raised([&] { sized[10] = 1; }), "KQ_EOutOfBoundsOfArray");
  sized.SetUpperFixed(false).SetLowerFixed(true);
  sized += KQ_TAny(10);
  EXPECT_EQ(Raised([&] { sized[-3] = 1; }), "KQ_EOutOfBoundsOfArray");
  EXPECT_EQ(Slots(sized), "-2 - - - - 3 - - - - - - 10");
}

TEST(ArrayTest, MovingBoundsResetsWhatComesBackIntoRange) {
  KQ_TArray array(0, 9);
  for (std::int32_t i = 0; i < 10; ++i) array[i] = i;
  // Shrinking keeps the old values in storage; growing again brings the
  // indexes back ILLEGAL.
  array.SetUpperBound(4, true);
  EXPECT_EQ(Slots(array), "0 1 2 3 4");
  EXPECT_EQ(array.StorageUpper(), 10);
  array.SetUpperBound(7, true);
  array.SetLowerBound(3, true);
  array.SetLowerBound(1, true);
  EXPECT_EQ(Slots(array), "- - 3 4 - - -");
  // A fixed side grows exactly, an open one to the next multiple of 8.
  array.SetUpperBound(20, true);
  EXPECT_EQ(Window(array), "0,21: 1..20");
  array.SetUpperBound(21, false);
  array.SetLowerBound(-1, true);
  EXPECT_EQ(Window(array), "-1,25: -1..21");
  EXPECT_FALSE(array.UpperFixed());
  array.SetLowerBound(-2, false);
  EXPECT_EQ(Window(array), "-8,25: -2..21");
  EXPECT_FALSE(array.LowerFixed());
  // SetSize counts from the lower bound and fixes both sides; size 0 is
  // allowed even with both sides fixed.
  array.SetSize(3);
  EXPECT_EQ(Window(array), "-8,25: -2..0");
  EXPECT_TRUE(array.LowerFixed() && array.UpperFixed());
  array.SetSize(0);
  EXPECT_EQ(array.UpperBound(), -3);
  ExpectEachRaises("KQ_EOutOfBoundsOfArray", {[&] { array.SetSize(0xFFFFFFFFu); },
                                              [&] { array.SetUpperBound(kMax, false); }});
  EXPECT_EQ(array.Size(), 0u);
}

TEST(ArrayTest, MovingABoundPastTheOtherEmptiesOrRaises) {
  KQ_TArray array(0, 9);
  for (std::int32_t i = 0; i < 10; ++i) array[i] = i;
  // The opposite side is fixed: nothing changes.
  ExpectEachRaises("KQ_EOutOfBoundsOfArray", {[&] { array.SetUpperBound(-5, false); },
                                              [&] { array.SetLowerBound(11, false); }});
  EXPECT_EQ(Slots(array), "0 1 2 3 4 5 6 7 8 9");
  // The opposite side is open: every element goes, and the array is empty
  // at the new bound, its storage moved rather than reallocated; a fixed
  // side ends the window at the bound.
  array.SetLowerFixed(false);
  array.SetUpperBound(-5, true);
  EXPECT_EQ(Window(array), "-14,-4: -4..-5");
  EXPECT_TRUE(array.UpperFixed());
  array.SetUpperBound(-2, true);
  EXPECT_EQ(Slots(array), "- - -") << "old values never come back";

  // An open side starts the window at a multiple of 8.
  KQ_TArray open;
  for (std::int32_t i = 0; i < 16; ++i) open[i] = i;
  open.SetLowerBound(100, false);
  EXPECT_EQ(Window(open), "96,113: 100..99");
  // Past the other side while it is open, from an array without storage.
  KQ_TArray bare;
  bare.SetUpperBound(-6, false);
  EXPECT_EQ(bare.UpperBound(), -6);
  bare[-4] = 4;
  EXPECT_EQ(bare.LowerBound(), -5);
  EXPECT_EQ(Slots(bare), "- 4");
}

TEST(ArrayTest, TheCursorVisitsNullButNotIllegalSlotsAndKeysLiveUntilTheRingComesRound) {
  KQ_TArray array(-2, 6);
  array[-1] = 1;
  array[1] = nullptr;
  array[6] = 6;
  std::vector<std::int32_t> indexes;
  KQ_TIterator it(array);
  for (it.Start(); !it.IsDone(); it.Next()) indexes.push_back(IntOf(it.Key()));
  EXPECT_EQ(indexes, (std::vector<std::int32_t>{-1, 1, 6}));
  it.End().DeleteItem();
  EXPECT_EQ(Slots(array), "- 1 - n - - - - -") << "deleting empties slots, it never moves bounds";

  // 1023 keys later the first one still holds its index: the ring of
  // temporaries hands out distinct Anys in the meantime.
  KQ_TArray many;
  for (std::int32_t i = 0; i < 2000; ++i) many[i] = i;
  KQ_TIterator walk(many);
  KQ_IPackable& first = walk.Key();
  KQ_IPackable* last = &first;
  for (std::int32_t i = 1; i < 1024; ++i) last = &walk.Next().Key();
  EXPECT_EQ(IntOf(first), 0);
  EXPECT_EQ(IntOf(*last), 1023);
  EXPECT_NE(last, &first);
}

TEST(ArrayTest, EqualityTakesBoundsAndElementsButNotFlags) {
  KQ_TArray a(0, 2);
  a[0] = 1;
  a[2] = KQ_TAny("two");
  KQ_TArray b = a;
  b[1] = KQ_TAny();
  EXPECT_TRUE(a == b) << "ILLEGAL equals ILLEGAL";
  b[1] = nullptr;
  EXPECT_TRUE(a != b);
  KQ_TArray shifted(1, 3);
  shifted[1] = 1;
  shifted[3] = KQ_TAny("two");
  EXPECT_TRUE(a != shifted) << "equal elements at other indexes";
  KQ_TArray open = a;
  open.SetLowerFixed(false);
  EXPECT_TRUE(open == a);
  // Copies and assignments take the bounds and the flags.
  EXPECT_TRUE(KQ_TArray(a).UpperFixed());
  KQ_TArray target;
  target[-20] = 1;
  target = a;
  EXPECT_EQ(Window(target), "0,3: 0..2");
  EXPECT_TRUE(target.LowerFixed() && target.UpperFixed());
}

TEST(ArrayTest, UnpackingRestoresBoundsFlagsAndExactStorage) {
  KQ_TArray read;
  read[-40] = 1;
  ReadInto(read, Join({ArrayHeader(-1, 2, true, false), AnyInt(5), {0x40, 0x05, 0x00}, AnyInt(7)}));
  EXPECT_EQ(Window(read), "-1,2: -1..1") << "storage covers exactly the bounds";
  EXPECT_TRUE(read.LowerFixed());
  EXPECT_FALSE(read.UpperFixed());
  EXPECT_EQ(Slots(read), "5 - 7");
  // An element of tag 0 (no object) stays ILLEGAL.
  ReadInto(read, Join({ArrayHeader(3, 5, false, true), {0x00}, AnyInt(4)}));
  EXPECT_EQ(Window(read), "3,5: 3..4");
  EXPECT_EQ(Slots(read), "- 4");
}

TEST(ArrayTest, TheTextFormKeepsTheLowerBoundAndSkipsEmptySlots) {
  KQ_TArray array(-2, 3);
  array[-1] = 5;
  array[1] = KQ_TAny("s");
  EXPECT_EQ(Text(array), "KQ_TArray {\n  [-2] =ILLEGAL\n  [-1] =5\n  [1] =\"s\"\n}");
  EXPECT_EQ(Text(KQ_TArray()), "KQ_TArray {  }");
  // Reading: both sides open, bounds from the indexes read in any order.
  KQ_TArray read(10);
  ReadText(read, "KQ_TArray{[3]=4\n[ -1 ] = 2}");
  EXPECT_EQ(Slots(read), "2 - - - 4");
  EXPECT_FALSE(read.LowerFixed() || read.UpperFixed());

  for (char const* bad : {"KQ_TArray { 0] = 1 }", "KQ_TArray { [0 = 1 }", "KQ_TArray { [0] 1 }",
                          "KQ_TArray { [x] = 1 }"}) {
    EXPECT_EQ(Raised([&] { ReadText(read, bad); }), "KQ_EHRSyntaxError") << bad;
  }
}
