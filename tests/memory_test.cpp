// KQ_Alloc and its family, the small-block pool and the ring of temporaries.
#include <limits>

#include "kq_memalloc.h"
#define KQ_TEST_OWN_OPERATOR_NEW
#include "test_support.h"

namespace {

using namespace kqtest;

void Fill(void* p, std::size_t n, unsigned char seed) {
  for (std::size_t i = 0; i < n; ++i) static_cast<unsigned char*>(p)[i] = seed + i;
}

bool Holds(void const* p, std::size_t n, unsigned char seed) {
  for (std::size_t i = 0; i < n; ++i) {
    if (static_cast<unsigned char const*>(p)[i] != static_cast<unsigned char>(seed + i))
      return false;
  }
  return true;
}

bool Aligned(void const* p) {
  return reinterpret_cast<std::uintptr_t>(p) % alignof(std::max_align_t) == 0;
}

TEST(HeapTest, BlocksHoldTheirContentsAndZeroSizesGiveNull) {
  char const text[] = "copied bytes";
  EXPECT_EQ(KQ_Alloc(0), nullptr);
  EXPECT_EQ(KQ_CAlloc(16, 0), nullptr);
  EXPECT_EQ(KQ_MakeCopy(text, 0), nullptr);
  KQ_Free(nullptr);
  // Size 0 releases the block (the sanitizers would report a leak otherwise).
  EXPECT_EQ(KQ_Realloc(KQ_Alloc(10), 0), nullptr);

  void* p = KQ_Realloc(nullptr, 24);
  Fill(p, 24, 7);
  p = KQ_Realloc(p, 100000);
  EXPECT_TRUE(Holds(p, 24, 7));
  KQ_Free(p);
  auto* zeroed = static_cast<unsigned char*>(KQ_CAlloc(5, 7));
  EXPECT_EQ(std::count(zeroed, zeroed + 35, 0), 35);
  KQ_Free(zeroed);
  // count * size overflows the address space, so calloc fails on any machine.
  EXPECT_THROW(KQ_CAlloc(0xFFFFFFFFu, 0xFFFFFFFFu), KQ_EOutOfMemory);
}

// Keeps the compiler from leaving out a new-expression whose result is unused.
char* volatile gKeep;

void NewAndDelete(std::size_t size) {
  gKeep = new char[size];
  delete[] gKeep;
}

TEST(HeapTest, ExhaustionRaisesOutOfMemoryInOperatorNewWhenAsked) {
  struct Restore {
    ~Restore() { KQ_IgnoreOutOfMemory(); }
  } const restore;
  // More than any machine can give; volatile keeps the compiler from
  // reasoning about the size.
  std::size_t volatile huge = std::numeric_limits<std::size_t>::max() / 4;
  KQ_CatchOutOfMemory();
  EXPECT_THROW(NewAndDelete(huge), KQ_EOutOfMemory);
  KQ_IgnoreOutOfMemory();
  EXPECT_EQ(std::get_new_handler(), nullptr);
  EXPECT_THROW(NewAndDelete(huge), std::bad_alloc);
}

// The pool keeps four size classes. The class of a block shows in reuse: a
// freed block comes back only for a request of its own class.
TEST(PoolTest, SizesFallIntoTheirClassesAtTheBoundaries) {
  constexpr std::uint32_t kCapacity[] = {32, 128, 512, 4096};
  constexpr std::uint32_t kSizeOfClass[] = {1, 33, 129, 513};
  struct Case {
    std::uint32_t size;
    int sizeClass;
  };
  for (Case const c : {Case{0, 0}, Case{1, 0}, Case{32, 0}, Case{33, 1}, Case{128, 1}, Case{129, 2},
                       Case{512, 2}, Case{513, 3}, Case{4096, 3}}) {
    SCOPED_TRACE(c.size);
    void* p = KQ_PoolAlloc(c.size);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(Aligned(p));
    // The whole capacity of the class is usable whatever was asked for.
    Fill(p, kCapacity[c.sizeClass], 3);
    KQ_PoolFree(p);
    for (int k = 0; k < 4; ++k) {
      void* q = KQ_PoolAlloc(kSizeOfClass[k]);
      EXPECT_EQ(q == p, k == c.sizeClass) << "class " << k;
      KQ_PoolFree(q);
    }
  }
}

TEST(PoolTest, FreedBlocksComeBackLastInFirstOutAcrossThreads) {
  KQ_PoolFree(nullptr);
  // Far more blocks than a thread keeps for itself: the order holds across
  // the process-wide lists too.
  std::vector<void*> blocks(100);
  for (void*& p : blocks) p = KQ_PoolAlloc(20);
  for (void* p : blocks) KQ_PoolFree(p);
  for (int i = 99; i >= 0; --i) EXPECT_EQ(KQ_PoolAlloc(20), blocks[i]) << i;
  for (void* p : blocks) KQ_PoolFree(p);
  // Blocks freed by a thread that has ended serve the next thread.
  auto const allocateAndFree = [] {
    void* p = KQ_PoolAlloc(300);
    KQ_PoolFree(p);
    return p;
  };
  EXPECT_EQ(kqtest::OnOtherThread(allocateAndFree), kqtest::OnOtherThread(allocateAndFree));
}

TEST(PoolTest, ReallocKeepsContentsAndTheBlockWhileItFitsAndLargeBlocksStayLarge) {
  // A large block is no class's: freeing it leaves the free lists alone.
  void* top = KQ_PoolAlloc(4096);
  KQ_PoolFree(top);
  void* large = KQ_PoolAlloc(4097);
  EXPECT_TRUE(Aligned(large));
  Fill(large, 4097, 1);
  KQ_PoolFree(large);
  EXPECT_EQ(KQ_PoolAlloc(4096), top);
  KQ_PoolFree(top);

  void* p = KQ_PoolAlloc(10);
  EXPECT_EQ(KQ_PoolRealloc(p, 32), p);
  EXPECT_EQ(KQ_PoolRealloc(p, 0), p);
  // Growing a class-0 block to 100 bytes makes a class-1 block.
  Fill(p, 32, 5);
  void* q = KQ_PoolRealloc(p, 100);
  EXPECT_TRUE(Holds(q, 32, 5));
  EXPECT_EQ(KQ_PoolRealloc(q, 128), q);
  Fill(q, 128, 6);
  // From a class straight to a large block.
  large = KQ_PoolRealloc(q, 10000);
  EXPECT_TRUE(Holds(large, 128, 6));
  // It stays large when it shrinks below every class.
  void* small = KQ_PoolAlloc(10);
  KQ_PoolFree(small);
  KQ_PoolFree(KQ_PoolRealloc(large, 10));
  EXPECT_EQ(KQ_PoolAlloc(10), small);
  KQ_PoolFree(small);
  KQ_PoolFree(KQ_PoolRealloc(nullptr, 20));  // a null block is allocated

  // CAlloc zeroes exactly the bytes asked for.
  p = KQ_PoolAlloc(32);
  std::memset(p, 0xCD, 32);
  KQ_PoolFree(p);
  auto* zeroed = static_cast<unsigned char*>(KQ_PoolCAlloc(10));
  ASSERT_EQ(static_cast<void*>(zeroed), p);
  EXPECT_EQ(std::count(zeroed, zeroed + 10, 0), 10);
  EXPECT_EQ(std::count(zeroed + 10, zeroed + 32, 0xCD), 22);
  KQ_PoolFree(zeroed);
}

TEST(PoolTest, ThreadsShareThePoolWithoutHandingOutABlockTwice) {
  // Each thread fills every block it takes with its own pattern and checks
  // the pattern before the block goes: a block handed out twice at once
  // shows as a broken pattern. Every other block is released by the next
  // thread instead of its own.
  struct Block {
    void* p;
    std::uint32_t size;
    unsigned char seed;
  };
  constexpr int kThreads = 4;
  std::vector<Block> handedOver[kThreads];
  std::atomic<int> corrupted{0};
  auto const release = [&corrupted](Block const& b) {
    if (!Holds(b.p, b.size, b.seed)) ++corrupted;
    KQ_PoolFree(b.p);
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Block live[8];
      for (int i = 0; i < 4000; ++i) {
        auto const size = static_cast<std::uint32_t>((i * 37 + t * 11) % 4200);
        Block& b = live[i % 8] = {KQ_PoolAlloc(size), size, static_cast<unsigned char>(t * 50 + i)};
        Fill(b.p, b.size, b.seed);
        for (int k = 0; i % 8 == 7 && k < 8; ++k) {
          k % 2 == 0 ? release(live[k]) : handedOver[(t + 1) % kThreads].push_back(live[k]);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  threads.clear();
  for (auto& blocks : handedOver) {
    threads.emplace_back([&blocks, &release] {
      for (Block const& b : blocks) release(b);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(corrupted.load(), 0);
}

struct Counted {
  static inline int destroyed = 0;
  ~Counted() { ++destroyed; }
  char payload[40];
};

TEST(RingTest, SlotsAreReusedByResizingTheirBlocks) {
  void* first = KQ_AllocTemp(40);
  ASSERT_NE(first, nullptr);
  Fill(first, 40, 11);
  for (int i = 0; i < 1023; ++i) ASSERT_NE(KQ_AllocTemp(16), first);
  // Valid until the ring comes round again, when the 1025th temporary
  // resizes the first one's block, contents and all.
  EXPECT_TRUE(Holds(first, 40, 11));
  EXPECT_TRUE(Holds(KQ_AllocTemp(40), 40, 11));
  // A registered heap block is resized in the same way.
  char const text[] = "registered";
  void* block = KQ_MakeCopy(text, sizeof text);
  EXPECT_EQ(KQ_RegisterTemp(block, false), block);
  for (int i = 0; i < 1023; ++i) KQ_AllocTemp(16);
  EXPECT_EQ(std::memcmp(KQ_AllocTemp(sizeof text), text, sizeof text), 0);
  EXPECT_EQ(KQ_AllocTemp(0), nullptr);
  EXPECT_EQ(KQ_RegisterTemp(nullptr, false), nullptr);
}

TEST(RingTest, ThreadsShareTheRingOnceClassesAreInitialised) {
  ASSERT_TRUE(KQ_TObject::KQ_ClassObject()->Initialize());
  ASSERT_TRUE(KQ_TClass::Initialized());
  std::atomic<int> nulls{0};
  Counted::destroyed = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5000; ++i) {
        if (i % 3 == t % 3) {
          KQ_RegisterTemp(new Counted(), true);
        } else {
          nulls += KQ_AllocTemp(static_cast<std::uint32_t>(1 + i % 300)) == nullptr;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(nulls.load(), 0);
  // The ring has 1024 slots: a registered object is released with operator
  // delete (without its destructor) when the ring comes round to its slot.
  auto* object = new (::operator new(sizeof(Counted))) Counted();
  gWatched = object;
  gWatchedDeletes = 0;
  EXPECT_EQ(KQ_RegisterTemp(object, true), object);
  for (int i = 0; i < 1023; ++i) KQ_AllocTemp(4);
  EXPECT_EQ(gWatchedDeletes.load(), 0);
  KQ_RegisterTemp(nullptr, false);
  EXPECT_EQ(gWatchedDeletes.load(), 1);
  EXPECT_EQ(Counted::destroyed, 0);
  gWatched = nullptr;
}

}  // namespace
