// KQ_TMutex and KQ_TSemaphore: recursion, time-outs, ownership, abandonment,
// counts and their limits, shared copies, and mutual exclusion under load.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "kq_eexception.h"
#include "kq_tclass.h"
#include "kq_tmutex.h"
#include "kq_tsemaphore.h"

namespace {

using Clock = std::chrono::steady_clock;

template <class F>
auto OnOtherThread(F f) -> decltype(f()) {
  decltype(f()) result{};
  std::thread t([&] { result = f(); });
  t.join();
  return result;
}

// True when another thread can take the mutex at once (it then releases it).
bool OtherThreadGets(KQ_TMutex& mutex) {
  return OnOtherThread([&] {
    bool const got = mutex.AttemptLock(0);
    if (got) mutex.Release();
    return got;
  });
}

std::int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Ends a thread that holds the mutex twice without releasing it.
void AbandonFromOtherThread(KQ_TMutex& mutex) {
  std::thread([&] {
    mutex.Lock();
    mutex.Lock();
  }).join();
}

TEST(MutexTest, ClassProtocolCreatesWorkingObjectsByName) {
  for (char const* name : {"KQ_TMutex", "KQ_TSemaphore"}) {
    SCOPED_TRACE(name);
    KQ_TClass const* record = std::strcmp(name, "KQ_TMutex") == 0 ? KQ_TMutex::KQ_ClassObject()
                                                                  : KQ_TSemaphore::KQ_ClassObject();
    EXPECT_STREQ(record->ClassName(), name);
    ASSERT_NE(record->ParentClass(), nullptr);
    EXPECT_STREQ(record->ParentClass()->ClassName(), "KQ_TObject");
    EXPECT_EQ(record->NrOfInterfaces(), 0u);
    EXPECT_EQ(KQ_TClass::FindClass(name), record);
    KQ_TObject* created = record->CreateInstance();
    ASSERT_NE(created, nullptr);
    EXPECT_STREQ(created->ClassName(), name);
    EXPECT_TRUE(created->HasSuperclass("KQ_TObject"));
    if (auto* mutex = static_cast<KQ_TMutex*>(created->KQ_Cast("KQ_TMutex"))) {
      EXPECT_TRUE(mutex->AttemptLock(0));
      mutex->Release();
      EXPECT_EQ(created->KQ_Cast("KQ_TSemaphore"), nullptr);
    } else {
      auto* semaphore = static_cast<KQ_TSemaphore*>(created->KQ_Cast("KQ_TSemaphore"));
      ASSERT_NE(semaphore, nullptr);
      // Created with one count by the default constructor.
      EXPECT_TRUE(semaphore->AttemptLock(0));
      EXPECT_FALSE(semaphore->AttemptLock(0));
    }
    delete created;
  }
}

TEST(MutexTest, HolderLocksRecursivelyAndOthersWaitForTheLastRelease) {
  KQ_TMutex mutex;
  EXPECT_TRUE(OtherThreadGets(mutex));
  mutex.Lock();
  EXPECT_TRUE(mutex.AttemptLock(0));
  EXPECT_TRUE(mutex.AttemptLock(100));
  EXPECT_FALSE(OtherThreadGets(mutex));
  mutex.Release();
  mutex.Release();
  EXPECT_FALSE(OtherThreadGets(mutex));
  mutex.Release();
  EXPECT_TRUE(OtherThreadGets(mutex));

  // The four operators are Lock and Release and return the mutex itself.
  EXPECT_EQ(&(++mutex), &mutex);
  EXPECT_EQ(&(mutex++), &mutex);
  EXPECT_FALSE(OtherThreadGets(mutex));
  EXPECT_EQ(&(mutex--), &mutex);
  EXPECT_FALSE(OtherThreadGets(mutex));
  EXPECT_EQ(&(--mutex), &mutex);
  EXPECT_TRUE(OtherThreadGets(mutex));
  EXPECT_THROW(--mutex, KQ_ECouldNotUnlockMutex);
  EXPECT_THROW(mutex--, KQ_ECouldNotUnlockMutex);
}

TEST(MutexTest, AttemptLockTimesOutOrGetsTheMutexWhenReleased) {
  KQ_TMutex mutex;
  mutex.Lock();
  EXPECT_FALSE(OnOtherThread([&] { return mutex.AttemptLock(0); }));
  auto const start = Clock::now();
  EXPECT_FALSE(OnOtherThread([&] { return mutex.AttemptLock(60); }));
  EXPECT_GE(MillisecondsSince(start), 55);

  // Waiters with a long limit and without limit both get it once released.
  for (std::uint32_t limit : {10000u, KQ_TMutex::kWaitForever}) {
    SCOPED_TRACE(limit);
    std::atomic<bool> released{false};
    auto waiter = std::async(std::launch::async, [&] {
      bool const got = mutex.AttemptLock(limit);
      bool const afterRelease = released.load();
      if (got) mutex.Release();
      return got && afterRelease;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    released = true;
    mutex.Release();
    EXPECT_TRUE(waiter.get());
    mutex.Lock();
  }
  mutex.Release();
}

TEST(MutexTest, ReleaseByAThreadThatDoesNotHoldItRaises) {
  KQ_TMutex mutex;
  EXPECT_THROW(mutex.Release(), KQ_ECouldNotUnlockMutex);
  mutex.Lock();
  bool const raised = OnOtherThread([&] {
    try {
      mutex.Release();
    } catch (KQ_EMutexException const&) {
      return true;
    }
    return false;
  });
  EXPECT_TRUE(raised);
  EXPECT_FALSE(OtherThreadGets(mutex));
  mutex.Release();
  EXPECT_THROW(mutex.Release(), KQ_ECouldNotUnlockMutex);
  EXPECT_TRUE(OtherThreadGets(mutex));
}

TEST(MutexTest, AbandonedMutexGoesToAttemptLockButMakesLockRaise) {
  KQ_TMutex mutex;
  AbandonFromOtherThread(mutex);
  // AttemptLock takes the abandoned mutex over, at one level.
  EXPECT_TRUE(mutex.AttemptLock(0));
  EXPECT_FALSE(OtherThreadGets(mutex));
  mutex.Release();
  EXPECT_TRUE(OtherThreadGets(mutex));

  AbandonFromOtherThread(mutex);
  EXPECT_TRUE(mutex.AttemptLock(KQ_TMutex::kWaitForever));
  mutex.Release();

  // Lock raises, and the mutex is free again afterwards.
  AbandonFromOtherThread(mutex);
  EXPECT_THROW(mutex.Lock(), KQ_ECouldNotLockMutex);
  EXPECT_THROW(mutex.Release(), KQ_ECouldNotUnlockMutex);
  EXPECT_TRUE(OtherThreadGets(mutex));
  mutex.Lock();
  mutex.Release();
}

// Runs wait on a new thread while another thread holds the mutex, then ends
// the holder without releasing; returns what wait returned.
template <class F>
int WaitThroughAbandonment(KQ_TMutex& mutex, F wait) {
  std::promise<void> end;
  std::promise<void> locked;
  std::thread holder([&] {
    mutex.Lock();
    locked.set_value();
    end.get_future().wait();
  });
  locked.get_future().wait();
  auto waiter = std::async(std::launch::async, wait);
  // Give the waiter time to fall asleep on the mutex.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  end.set_value();
  holder.join();
  return waiter.get();
}

TEST(MutexTest, SleepingWaitersLearnOfAbandonment) {
  KQ_TMutex mutex;
  int const attempted = WaitThroughAbandonment(mutex, [&] {
    // Far longer than the test takes: a missed wake-up shows as false.
    bool const got = mutex.AttemptLock(60000);
    if (got) mutex.Release();
    return got ? 1 : 0;
  });
  EXPECT_EQ(attempted, 1);
  EXPECT_TRUE(OtherThreadGets(mutex));

  int const locked = WaitThroughAbandonment(mutex, [&] {
    try {
      mutex.Lock();
    } catch (KQ_ECouldNotLockMutex const&) {
      return 1;
    }
    mutex.Release();
    return 0;
  });
  EXPECT_EQ(locked, 1);
  EXPECT_TRUE(OtherThreadGets(mutex));
}

TEST(MutexTest, CopiesShareOneMutexThatOutlivesTheOriginal) {
  auto* original = new KQ_TMutex();
  KQ_TMutex copy(*original);
  original->Lock();
  EXPECT_FALSE(OtherThreadGets(copy));
  copy.Release();
  EXPECT_TRUE(OtherThreadGets(*original));

  KQ_TMutex assigned;
  assigned.Lock();
  assigned = *original;
  // The replaced mutex (still held) is gone; the copy now names the original.
  EXPECT_TRUE(OtherThreadGets(assigned));
  original->Lock();
  EXPECT_FALSE(OtherThreadGets(assigned));
  delete original;
  copy.Release();
  EXPECT_TRUE(OtherThreadGets(assigned));
  KQ_TMutex const& same = assigned;
  assigned = same;
  EXPECT_TRUE(assigned.AttemptLock(0));
  assigned.Release();
}

TEST(MutexTest, MutexDestroyedWhileHeldLeavesTheHoldersOtherLocksIntact) {
  std::thread([] {
    KQ_TMutex kept;
    kept.Lock();
    {
      KQ_TMutex dropped;
      dropped.Lock();
      dropped.Lock();
    }
    KQ_TMutex later;
    later.Lock();
    later.Release();
    kept.Release();
    EXPECT_THROW(kept.Release(), KQ_ECouldNotUnlockMutex);
  }).join();
}

TEST(MutexTest, LocksExcludeEachOtherUnderLoad) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  KQ_TMutex mutex;
  KQ_TSemaphore semaphore;
  long mutexGuarded = 0;
  long semaphoreGuarded = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        mutex++;
        ++mutex;
        ++mutexGuarded;
        mutex--;
        --mutex;
        semaphore.Lock();
        ++semaphoreGuarded;
        semaphore.Release();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(mutexGuarded, kThreads * kRounds);
  EXPECT_EQ(semaphoreGuarded, kThreads * kRounds);
}

TEST(SemaphoreTest, CountsAreTakenAndGivenByAnyThread) {
  KQ_TSemaphore empty(0);
  EXPECT_FALSE(empty.AttemptLock(0));
  auto const start = Clock::now();
  EXPECT_FALSE(empty.AttemptLock(40));
  EXPECT_GE(MillisecondsSince(start), 35);
  std::thread([&] { empty.Release(); }).join();
  EXPECT_TRUE(empty.AttemptLock(0));
  EXPECT_FALSE(empty.AttemptLock(0));

  KQ_TSemaphore three(3);
  EXPECT_TRUE(three.AttemptLock(0));
  EXPECT_EQ(&(three++), &three);
  EXPECT_EQ(&(++three), &three);
  EXPECT_FALSE(three.AttemptLock(0));
  EXPECT_EQ(&(three--), &three);
  EXPECT_EQ(&(--three), &three);
  EXPECT_TRUE(OnOtherThread([&] { return three.AttemptLock(0); }));
  EXPECT_TRUE(three.AttemptLock(0));
  EXPECT_FALSE(three.AttemptLock(0));

  // Copies share the count.
  KQ_TSemaphore copy(three);
  KQ_TSemaphore assigned;
  assigned = copy;
  copy.Release();
  EXPECT_TRUE(assigned.AttemptLock(0));
  EXPECT_FALSE(three.AttemptLock(0));
}

TEST(SemaphoreTest, DefaultSemaphoreIsALockThatIsNotRecursive) {
  KQ_TSemaphore lock;
  lock.Lock();
  EXPECT_FALSE(lock.AttemptLock(0));
  std::atomic<bool> released{false};
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    released = true;
    lock.Release();
  });
  // Blocks until the other thread has given the count back.
  lock.Lock();
  EXPECT_TRUE(released.load());
  releaser.join();
  EXPECT_FALSE(lock.AttemptLock(0));
  lock.Release();
  EXPECT_TRUE(lock.AttemptLock(KQ_TSemaphore::kWaitForever));
}

TEST(SemaphoreTest, CountStaysWithinZeroTo65535) {
  EXPECT_THROW(KQ_TSemaphore(-1), KQ_ECouldNotCreateSemaphore);
  EXPECT_THROW(KQ_TSemaphore(65536), KQ_ESemaphoreException);

  KQ_TSemaphore full(65535);
  EXPECT_THROW(full.Release(), KQ_ECouldNotUnlockSemaphore);
  EXPECT_THROW(full--, KQ_ECouldNotUnlockSemaphore);
  EXPECT_TRUE(full.AttemptLock(0));
  full.Release();
  EXPECT_THROW(full.Release(), KQ_ECouldNotUnlockSemaphore);

  // Racing releases near the maximum: exactly the missing two succeed.
  KQ_TSemaphore almost(65533);
  std::atomic<int> succeeded{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        try {
          almost.Release();
          ++succeeded;
        } catch (KQ_ECouldNotUnlockSemaphore const&) {
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(succeeded.load(), 2);
  int taken = 0;
  while (almost.AttemptLock(0)) ++taken;
  EXPECT_EQ(taken, 65535);
  almost.Release();
  EXPECT_TRUE(almost.AttemptLock(0));
}

}  // namespace
