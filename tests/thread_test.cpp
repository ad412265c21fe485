// KQ_TThread: thread code of the three kinds, states and results, failing
// code and code that ends its thread through the C library, Start/Stop/Join,
// adoption, the thread tree, auto-free, priorities, the property dictionary
// (with the print indentation kept there), copies, and a bounded stress run
// of threads that create and join children.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "kq_eexception.h"
#include "kq_initialization.h"
#include "kq_iprintable.h"
#include "kq_tclass.h"
#include "kq_tmutex.h"
#include "kq_tsemaphore.h"
#include "kq_tthread.h"

namespace {

using Clock = std::chrono::steady_clock;

class ThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__()); }
};

// Waits until condition holds, at most five seconds.
template <class F>
bool Eventually(F condition) {
  auto const end = Clock::now() + std::chrono::seconds(5);
  while (!condition()) {
    if (Clock::now() > end) return false;
    KQ_TThread::Sleep(1);
  }
  return true;
}

std::int32_t Twice(void* argument) { return 2 * *static_cast<std::int32_t*>(argument); }
std::int32_t Seven(void*) { return 7; }
std::int32_t RaiseLibraryException(void*) { KQ_THROW(KQ_EListException()); }
std::int32_t RaiseStdException(void*) { throw std::runtime_error("thread code failed"); }
std::int32_t RaiseInt(void*) { throw 42; }

// Ends its thread through the C library inside a scope that records its end,
// so that unwinding shows.
std::int32_t ExitThroughTheCLibrary(void* argument) {
  struct Mark {
    std::atomic<bool>* unwound;
    ~Mark() { *unwound = true; }
  } const mark{static_cast<std::atomic<bool>*>(argument)};
  pthread_exit(nullptr);
}

// Blocks until the semaphore handed in as argument is released.
std::int32_t WaitFor(void* argument) {
  static_cast<KQ_TSemaphore*>(argument)->Lock();
  return 5;
}

// Sleeps in steps and counts them, for ever.
std::int32_t CountForever(void* argument) {
  auto* counter = static_cast<std::atomic<std::int32_t>*>(argument);
  for (;;) {
    ++*counter;
    KQ_TThread::Sleep(1);
  }
}

struct Adder : KQ_IRunnable {
  std::int32_t Run(void* argument) override { return 100 + *static_cast<std::int32_t*>(argument); }
};

struct Derived : KQ_TThread {
  explicit Derived(std::atomic<bool>* destroyed = nullptr) : fDestroyed(destroyed) {}
  ~Derived() override {
    if (fDestroyed != nullptr) *fDestroyed = true;
  }
  std::int32_t Run(void* argument) override {
    seenSelf = &KQ_TThread::CurrentThread() == this;
    seenId = KQ_TThread::CurrentThread().ThreadID();
    return argument == nullptr ? 11 : 12;
  }
  std::atomic<bool>* fDestroyed;
  std::atomic<bool> seenSelf{false};
  std::atomic<std::uint32_t> seenId{0};
};

bool ListsChild(KQ_TThread const& parent, KQ_TThread const* child) {
  return parent.Children().Contains(KQ_TAny(static_cast<void*>(const_cast<KQ_TThread*>(child))));
}

TEST_F(ThreadTest, ClassRecordAndExceptionTree) {
  KQ_TClass const* record = KQ_TThread::KQ_ClassObject();
  EXPECT_STREQ(record->ClassName(), "KQ_TThread");
  EXPECT_STREQ(record->ParentClass()->ClassName(), "KQ_TObject");
  EXPECT_EQ(record->NrOfInterfaces(), 1u);
  EXPECT_TRUE(record->Implements("KQ_IRunnable"));
  // The registry's thread runs the base Run: finished, result 0.
  std::unique_ptr<KQ_TObject> made(KQ_TClass::FindClass("KQ_TThread")->CreateInstance());
  auto* thread = static_cast<KQ_TThread*>(made->KQ_Cast("KQ_TThread"));
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(made->KQ_Cast("KQ_IRunnable"), nullptr);
  EXPECT_EQ(thread->ThreadState(), KQ_TThread::kNotStarted);
  thread->Start().Join();
  EXPECT_TRUE(thread->IsFinished());
  EXPECT_EQ(thread->Result(), 0);

  for (auto const* child :
       {KQ_ECouldNotCreateThread::KQ_ClassObject(), KQ_ECouldNotStartThread::KQ_ClassObject(),
        KQ_EThreadAlreadyStarted::KQ_ClassObject(), KQ_EThreadAccountDisabled::KQ_ClassObject(),
        KQ_EThreadIllegalUserOrPassword::KQ_ClassObject(),
        KQ_EThreadNotPrivileged::KQ_ClassObject()}) {
    EXPECT_STREQ(child->ParentClass()->ClassName(), "KQ_EThreadException") << child->ClassName();
  }
  EXPECT_STREQ(KQ_EThreadException::KQ_ParentClass()->ClassName(), "KQ_EException");
}

TEST_F(ThreadTest, RunsFunctionsRunnablesAndOverriddenRun) {
  std::int32_t value = 21;
  KQ_TThread function(&Twice, &value);
  EXPECT_EQ(function.Result(), 0);
  function.Start().Join();
  EXPECT_TRUE(function.IsFinished());
  EXPECT_FALSE(function.IsRunning());
  EXPECT_FALSE(function.HasFailed());
  EXPECT_EQ(function.Result(), 42);
  EXPECT_NE(function.ThreadID(), 0u) << "stays set after a normal end";

  Adder adder;
  KQ_TThread runnable(adder, &value);
  runnable.Start().Join();
  EXPECT_EQ(runnable.Result(), 121);

  Derived derived;
  derived.Start().Join();
  EXPECT_EQ(derived.Result(), 11);
  EXPECT_TRUE(derived.seenSelf) << "CurrentThread() on a started thread is its object";
  EXPECT_EQ(derived.seenId.load(), derived.ThreadID());

  // No code at all: failed.
  KQ_TThread none(static_cast<KQ_TThread::Function_t>(nullptr));
  none.Start().Join();
  EXPECT_TRUE(none.HasFailed());
  EXPECT_EQ(none.Result(), 0);
}

TEST_F(ThreadTest, CodeCanBeReplacedOnlyBeforeTheStart) {
  std::int32_t value = 1;
  KQ_TThread thread;
  thread = &Seven;
  thread.Start().Join();
  EXPECT_EQ(thread.Result(), 7);
  EXPECT_THROW(thread.Start(), KQ_EThreadAlreadyStarted);
  EXPECT_THROW(thread = &Twice, KQ_EThreadAlreadyStarted);
  Adder adder;
  EXPECT_THROW(thread = adder, KQ_EThreadAlreadyStarted);
  EXPECT_THROW(thread.SetThreadCode(&Twice, &value), KQ_EThreadAlreadyStarted);
  EXPECT_THROW(thread.SetThreadCode(adder, &value), KQ_EThreadAlreadyStarted);
  EXPECT_EQ(thread.Result(), 7) << "the failed replacements changed nothing";

  // After Stop the thread id is clear: new code, a new start and a new id.
  std::uint32_t const firstId = thread.ThreadID();
  thread.Stop();
  EXPECT_EQ(thread.ThreadID(), 0u);
  EXPECT_TRUE(thread.IsFinished()) << "Stop leaves a finished thread finished";
  thread.SetThreadCode(adder, &value).Start().Join();
  EXPECT_EQ(thread.Result(), 101);
  EXPECT_NE(thread.ThreadID(), firstId);
  thread.Stop();
  thread = &Seven;
  thread.Start().Join();
  EXPECT_EQ(thread.Result(), 7);
}

TEST_F(ThreadTest, FailingCodeEndsTheThreadFailedAndKeepsTheResult) {
  for (KQ_TThread::Function_t code : {&RaiseLibraryException, &RaiseStdException, &RaiseInt}) {
    KQ_TThread thread(code);
    thread.Start().Join();
    EXPECT_TRUE(thread.HasFailed());
    EXPECT_FALSE(thread.IsFinished());
    EXPECT_EQ(thread.Result(), 0);
  }
  // A result from an earlier run stays.
  KQ_TThread thread(&Seven);
  thread.Start().Join();
  thread.Stop();
  thread.SetThreadCode(&RaiseStdException, nullptr).Start().Join();
  EXPECT_TRUE(thread.HasFailed());
  EXPECT_EQ(thread.Result(), 7);
}

TEST_F(ThreadTest, CodeThatEndsItsThreadThroughTheCLibraryUnwindsAndEndsFailed) {
  std::atomic<bool> unwound{false};
  KQ_TThread thread(&ExitThroughTheCLibrary, &unwound);
  thread.Start().Join();
  EXPECT_TRUE(unwound);
  EXPECT_TRUE(thread.HasFailed());
  EXPECT_EQ(thread.Result(), 0);
}

TEST_F(ThreadTest, JoinWaitsForRunningThreadsOnlyAndManyMayWait) {
  KQ_TThread fresh(&Seven);
  auto const start = Clock::now();
  fresh.Join();
  EXPECT_EQ(fresh.ThreadState(), KQ_TThread::kNotStarted);

  KQ_TSemaphore gate(0);
  KQ_TThread blocked(&WaitFor, &gate);
  blocked.Start();
  EXPECT_TRUE(Eventually([&] { return blocked.ThreadState() == KQ_TThread::kRunning; }));
  EXPECT_TRUE(blocked.IsRunning());
  std::atomic<int> joined{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      blocked.Join();
      ++joined;
    });
  }
  KQ_TThread::Sleep(20);
  EXPECT_EQ(joined.load(), 0) << "nobody returns before the code does";
  gate.Release();
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(joined.load(), 4);
  EXPECT_TRUE(blocked.IsFinished());
  EXPECT_EQ(blocked.Result(), 5);
  blocked.Join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

TEST_F(ThreadTest, JoinRefusesToWaitForItselfOrForAnAdoptedThread) {
  struct SelfJoiner : KQ_TThread {
    std::int32_t Run(void*) override {
      try {
        CurrentThread().Join();
      } catch (KQ_EThreadException const&) {
        return 1;
      }
      return 0;
    }
  };
  SelfJoiner self;
  self.Start().Join();
  EXPECT_EQ(self.Result(), 1);
  EXPECT_THROW(KQ_TThread::CurrentThread().Join(), KQ_EThreadException);

  // A thread the library did not start cannot be waited for; Stop only
  // marks it.
  KQ_TSemaphore adopted(0);
  KQ_TSemaphore checked(0);
  KQ_TThread* object = nullptr;
  std::thread foreign([&] {
    object = &KQ_TThread::CurrentThread();
    adopted.Release();
    checked.Lock();
  });
  adopted.Lock();
  EXPECT_THROW(object->Join(), KQ_EThreadException);
  object->Stop();
  EXPECT_TRUE(object->HasFailed());
  EXPECT_EQ(object->ThreadID(), 0u);
  checked.Release();
  foreign.join();
}

TEST_F(ThreadTest, StopEndsARunningThreadAtOnceAndAbandonsItsMutexes) {
  std::atomic<std::int32_t> counter{0};
  KQ_TThread looping(&CountForever, &counter);
  looping.Start();
  ASSERT_TRUE(Eventually([&] { return counter.load() > 3; }));
  looping.Stop();
  EXPECT_TRUE(looping.HasFailed());
  EXPECT_EQ(looping.ThreadID(), 0u);
  std::int32_t const stoppedAt = counter.load();
  KQ_TThread::Sleep(30);
  EXPECT_EQ(counter.load(), stoppedAt) << "the code runs no more";
  looping.Join();
  // It can be started again.
  looping.Start();
  EXPECT_TRUE(Eventually([&] { return counter.load() > stoppedAt + 3; }));
  looping.Stop();

  // A mutex held by the stopped thread is abandoned: the next Lock raises
  // (and frees it), AttemptLock then gets it.
  KQ_TMutex mutex;
  struct Holder : KQ_TThread {
    explicit Holder(KQ_TMutex& m) : mutex(m) {}
    std::int32_t Run(void*) override {
      mutex.Lock();
      holding = true;
      for (;;) Sleep(1);
    }
    KQ_TMutex& mutex;
    std::atomic<bool> holding{false};
  };
  Holder holder(mutex);
  holder.Start();
  ASSERT_TRUE(Eventually([&] { return holder.holding.load(); }));
  EXPECT_FALSE(mutex.AttemptLock(0));
  holder.Stop();
  EXPECT_THROW(mutex.Lock(), KQ_ECouldNotLockMutex);
  EXPECT_TRUE(mutex.AttemptLock(0));
  mutex.Release();

  // Destroying the last object of a running thread ends it too.
  std::atomic<std::int32_t> second{0};
  {
    KQ_TThread doomed(&CountForever, &second);
    doomed.Start();
    ASSERT_TRUE(Eventually([&] { return second.load() > 3; }));
  }
  std::int32_t const endedAt = second.load();
  KQ_TThread::Sleep(30);
  EXPECT_EQ(second.load(), endedAt);
}

TEST_F(ThreadTest, AThreadThatStopsItselfEndsThere) {
  struct SelfStopper : KQ_TThread {
    std::int32_t Run(void*) override {
      before = true;
      CurrentThread().Stop();
      after = true;
      return 1;
    }
    std::atomic<bool> before{false};
    std::atomic<bool> after{false};
  };
  SelfStopper stopper;
  stopper.Start();
  ASSERT_TRUE(Eventually([&] { return stopper.HasFailed(); }));
  stopper.Join();
  KQ_TThread::Sleep(20);
  EXPECT_TRUE(stopper.before);
  EXPECT_FALSE(stopper.after);
  EXPECT_EQ(stopper.ThreadID(), 0u);
  EXPECT_EQ(stopper.Result(), 0);
}

TEST_F(ThreadTest, CurrentThreadAdoptsForeignThreadsOnce) {
  KQ_TThread& main = KQ_TThread::CurrentThread();
  EXPECT_EQ(&KQ_TThread::CurrentThread(), &main);
  EXPECT_TRUE(main.IsRunning());
  EXPECT_NE(main.ThreadID(), 0u);
  EXPECT_EQ(main.Parent(), nullptr);
  // Stop on an adopted thread only marks it.
  KQ_TThread* foreignObject = nullptr;
  std::uint32_t foreignId = 0;
  bool stable = false;
  std::thread foreign([&] {
    foreignObject = &KQ_TThread::CurrentThread();
    stable = &KQ_TThread::CurrentThread() == foreignObject;
    foreignId = foreignObject->ThreadID();
  });
  foreign.join();
  EXPECT_TRUE(stable);
  EXPECT_NE(foreignObject, &main);
  EXPECT_NE(foreignId, 0u);
  EXPECT_NE(foreignId, main.ThreadID());
}

TEST_F(ThreadTest, ThreadsFormATreeThatSurvivesInnerNodes) {
  KQ_TThread& main = KQ_TThread::CurrentThread();
  auto child = std::make_unique<KQ_TThread>(&Seven);
  EXPECT_EQ(child->Parent(), &main);
  EXPECT_TRUE(ListsChild(main, child.get()));

  // The inner node creates two grandchildren on its own thread.
  struct Creator : KQ_TThread {
    std::int32_t Run(void*) override {
      first = new KQ_TThread(&Seven);
      second = new KQ_TThread(&Seven);
      second->Start();
      return 0;
    }
    KQ_TThread* first = nullptr;
    KQ_TThread* second = nullptr;
  };
  auto inner = std::make_unique<Creator>();
  inner->Start().Join();
  std::unique_ptr<KQ_TThread> first(inner->first);
  std::unique_ptr<KQ_TThread> second(inner->second);
  EXPECT_EQ(first->Parent(), inner.get());
  EXPECT_EQ(inner->Children().Entries(), 2u);
  inner.reset();
  EXPECT_EQ(first->Parent(), &main) << "children move up to the grandparent";
  EXPECT_EQ(second->Parent(), &main);
  EXPECT_TRUE(ListsChild(main, first.get()));
  EXPECT_TRUE(ListsChild(main, second.get()));
  second->Join();
  KQ_TThread const* const gone = second.get();
  second.reset();
  EXPECT_FALSE(ListsChild(main, gone));

  // Children of an adopted thread have no parent once it has ended.
  KQ_TThread* orphan = nullptr;
  KQ_TThread* adopted = nullptr;
  std::thread foreign([&] {
    adopted = &KQ_TThread::CurrentThread();
    orphan = new KQ_TThread(&Seven);
  });
  foreign.join();
  std::unique_ptr<KQ_TThread> owned(orphan);
  EXPECT_EQ(orphan->Parent(), nullptr);
  EXPECT_FALSE(ListsChild(main, orphan));
  (void)adopted;
}

TEST_F(ThreadTest, JoinChildrenWaitsForEveryChildIncludingSelfFreeingOnes) {
  struct Parent : KQ_TThread {
    std::int32_t Run(void*) override {
      std::vector<std::unique_ptr<KQ_TThread>> kept;
      for (int i = 0; i < 12; ++i) {
        auto* child = new KQ_TThread(&Child, this);
        if (i % 2 == 0) {
          child->SetAutoFree(true);
        } else {
          kept.emplace_back(child);
        }
        child->Start();
      }
      CurrentThread().JoinChildren();
      return done.load();
    }
    static std::int32_t Child(void* argument) {
      KQ_TThread::Sleep(5);
      ++static_cast<Parent*>(argument)->done;
      return 0;
    }
    std::atomic<std::int32_t> done{0};
  };
  Parent parent;
  parent.Start().Join();
  EXPECT_TRUE(parent.IsFinished());
  EXPECT_EQ(parent.Result(), 12);
  EXPECT_EQ(parent.Children().Entries(), 0u) << "the kept children are gone, the others freed";
}

TEST_F(ThreadTest, AutoFreeDeletesTheObjectOnItsThread) {
  std::atomic<bool> destroyed{false};
  auto* thread = new Derived(&destroyed);
  EXPECT_FALSE(thread->AutoFree());
  thread->SetAutoFree(true);
  EXPECT_TRUE(thread->AutoFree());
  thread->Start();
  EXPECT_TRUE(Eventually([&] { return destroyed.load(); }));
  EXPECT_FALSE(ListsChild(KQ_TThread::CurrentThread(), thread));
}

TEST_F(ThreadTest, DeletingTheObjectOnItsOwnThreadLetsTheCodeFinish) {
  struct SelfDeleter : KQ_TThread {
    explicit SelfDeleter(std::atomic<int>& s) : steps(s) {}
    std::int32_t Run(void*) override {
      std::atomic<int>& counter = steps;
      delete this;
      counter = 2;
      return 0;
    }
    std::atomic<int>& steps;
  };
  std::atomic<int> steps{0};
  (new SelfDeleter(steps))->Start();
  EXPECT_TRUE(Eventually([&] { return steps.load() == 2; }));
}

TEST_F(ThreadTest, PrioritiesMapOntoSevenLevels) {
  struct Case {
    int asked;
    int level;
  };
  std::vector<Case> const cases = {{-128, -100}, {-100, -100}, {-99, -66}, {-66, -66}, {-65, -33},
                                   {-33, -33},   {-32, 0},     {10, 0},    {32, 0},    {33, 33},
                                   {65, 33},     {66, 66},     {99, 66},   {100, 100}, {127, 100},
                                   {1000, 100},  {-1000, -100}};
  KQ_TThread unstarted(&Seven);
  EXPECT_EQ(unstarted.Priority(), 0);
  for (Case const& c : cases) {
    unstarted.SetPriority(c.asked);
    EXPECT_EQ(unstarted.Priority(), c.level) << "asked " << c.asked;
  }
  unstarted.SetPriority(70u);
  EXPECT_EQ(unstarted.Priority(), 66);
  unstarted.SetPriority(std::uint64_t{1} << 40);
  EXPECT_EQ(unstarted.Priority(), 100);
  unstarted.SetPriority(static_cast<signed char>(-40));
  EXPECT_EQ(unstarted.Priority(), -33);

  // A running thread reports what the system gives it. Lowering is always
  // allowed; raising above normal needs privileges.
  bool const privileged = KQ_TThread::CurrentUser().UserID() == "root";
  signed char const ownBefore = KQ_TThread::CurrentThread().Priority();
  KQ_TSemaphore gate(0);
  KQ_TThread running(&WaitFor, &gate);
  running.SetPriority(-66);
  running.Start();
  ASSERT_TRUE(Eventually([&] { return running.ThreadState() == KQ_TThread::kRunning; }));
  EXPECT_EQ(running.Priority(), -66) << "asked before the start, applied at the start";
  running.SetPriority(-33);
  EXPECT_EQ(running.Priority(), privileged ? -33 : -66);
  running.SetPriority(-128);
  EXPECT_EQ(running.Priority(), -100);
  if (privileged) {
    for (Case const& c : cases) {
      running.SetPriority(c.asked);
      EXPECT_EQ(running.Priority(), c.level) << "asked " << c.asked;
    }
  }
  gate.Release();
  running.Join();
  EXPECT_EQ(KQ_TThread::CurrentThread().Priority(), ownBefore) << "other threads keep theirs";
}

TEST_F(ThreadTest, PropertiesFormAPerThreadDictionary) {
  KQ_TThread thread(&Seven);
  thread.Add("name", KQ_TAny("worker")).Add(L"count", KQ_TAny(std::int32_t{3}));
  thread.Add(u"wide", KQ_TAny(true));
  thread.Add(KQ_TString("key"), KQ_TAny(std::int32_t{4}));
  EXPECT_TRUE(thread.HasKey("count"));
  EXPECT_TRUE(thread.HasKey(L"name"));
  EXPECT_TRUE(thread.HasKey(u"wide"));
  EXPECT_TRUE(thread.HasKey(KQ_TString("key")));
  EXPECT_FALSE(thread.HasKey("missing"));
  KQ_TThread const& constant = thread;
  EXPECT_EQ(static_cast<std::int32_t>(constant["count"]), 3);
  EXPECT_TRUE(constant[L"missing"].IsIllegal());
  EXPECT_FALSE(thread.HasKey(L"missing")) << "the const form adds nothing";
  thread["added"] = std::int32_t{9};
  EXPECT_EQ(static_cast<std::int32_t>(*thread.ValueOfKey("added")), 9);
  EXPECT_EQ(thread.ValueOfKey(u"nothing"), nullptr);
  EXPECT_TRUE(thread.Contains(KQ_TAny(std::int32_t{9})));
  EXPECT_TRUE(thread.KeyOf(KQ_TAny(std::int32_t{4})).KQ_IsIdent(KQ_TString("key")));
  EXPECT_THROW(thread.KeyOf(KQ_TAny(std::int32_t{99})), KQ_ENoMatchingDictValue);
  thread.Remove("added").Remove(L"count").Remove(u"wide").Remove(KQ_TString("absent"));
  EXPECT_FALSE(thread.HasKey("added"));
  std::unique_ptr<KQ_IIterationInfo> cursor(thread.CreateIterationInfo());
  int entries = 0;
  for (cursor->Start(); !cursor->IsAfterEnd(); cursor->Next()) ++entries;
  EXPECT_EQ(entries, 2);

  // The dictionary of another thread is its own.
  KQ_TThread::CurrentThread().Add("marker", KQ_TAny(std::int32_t{1}));
  struct Looker : KQ_TThread {
    std::int32_t Run(void*) override { return CurrentThread().HasKey("marker") ? 1 : 0; }
  };
  Looker looker;
  looker.Start().Join();
  EXPECT_EQ(looker.Result(), 0);
  KQ_TThread::CurrentThread().Remove("marker");
}

TEST_F(ThreadTest, PrintIndentationLivesInTheThreadsProperties) {
  KQ_TThread& self = KQ_TThread::CurrentThread();
  KQ_IPrintable::SetIndentation(6);
  KQ_TAny const* stored = self.ValueOfKey(L"KQ_IPrintable_Indentation");
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->Kind(), KQ_TAny::kUInt32);
  EXPECT_EQ(static_cast<std::uint32_t>(*stored), 6u);
  KQ_IPrintable::Indent();
  EXPECT_EQ(KQ_IPrintable::Indentation(), 8u);
  // Changes made through the dictionary are seen at once.
  self.Add(L"KQ_IPrintable_Indentation", KQ_TAny(std::uint32_t{3}));
  EXPECT_EQ(KQ_IPrintable::Indentation(), 3u);
  self[L"KQ_IPrintable_Indentation"] = std::uint32_t{5};
  EXPECT_EQ(KQ_IPrintable::Indentation(), 5u);
  self[L"KQ_IPrintable_Indentation"] = std::int32_t{5};
  EXPECT_EQ(KQ_IPrintable::Indentation(), 0u) << "not an unsigned 32-bit value";
  self.Remove(L"KQ_IPrintable_Indentation");
  EXPECT_EQ(KQ_IPrintable::Indentation(), 0u);
  KQ_IPrintable::SetIndentation(4);
  // Deleting the entry through a cursor is safe too.
  {
    std::unique_ptr<KQ_IIterationInfo> cursor(self.CreateIterationInfo());
    for (cursor->Start(); !cursor->IsAfterEnd();) {
      if (cursor->Key().KQ_IsIdent(KQ_TString(L"KQ_IPrintable_Indentation"))) {
        cursor->DeleteItem();
      }
      cursor->Next();
    }
  }
  EXPECT_EQ(KQ_IPrintable::Indentation(), 0u);
  KQ_IPrintable::SetIndentation(2);
  EXPECT_STREQ(KQ_IPrintable::Prefix(), "  ");

  // Each thread has its own.
  struct Printer : KQ_TThread {
    std::int32_t Run(void*) override {
      std::int32_t const initial = static_cast<std::int32_t>(KQ_IPrintable::Indentation());
      KQ_IPrintable::SetIndentation(10);
      return initial * 100 + static_cast<std::int32_t>(KQ_IPrintable::Indentation());
    }
  };
  Printer printer;
  printer.Start().Join();
  EXPECT_EQ(printer.Result(), 10);
  std::uint32_t onForeign = 99;
  std::thread([&] { onForeign = KQ_IPrintable::Indentation(); }).join();
  EXPECT_EQ(onForeign, 0u);
  EXPECT_EQ(KQ_IPrintable::Indentation(), 2u);
  KQ_IPrintable::SetIndentation(0);
}

TEST_F(ThreadTest, CopiesShareTheThreadAndJoinTheTree) {
  KQ_TThread& main = KQ_TThread::CurrentThread();
  KQ_TSemaphore gate(0);
  auto original = std::make_unique<KQ_TThread>(&WaitFor, &gate);
  original->Add("p", KQ_TAny(std::int32_t{1}));
  KQ_TThread copy(*original);
  EXPECT_TRUE(copy.HasKey("p"));
  EXPECT_EQ(copy.Parent(), &main);
  EXPECT_TRUE(ListsChild(main, &copy));
  EXPECT_TRUE(ListsChild(main, original.get()));
  copy.Start();
  EXPECT_EQ(original->ThreadID(), copy.ThreadID());
  EXPECT_TRUE(original->IsRunning());
  EXPECT_THROW(original->Start(), KQ_EThreadAlreadyStarted);
  // The original goes; the thread lives on with the copy.
  original.reset();
  EXPECT_TRUE(copy.IsRunning());
  gate.Release();
  copy.Join();
  EXPECT_EQ(copy.Result(), 5);

  // Assignment takes the other's thread and parent; the old thread goes
  // with its last object.
  std::atomic<std::int32_t> counter{0};
  KQ_TThread looping(&CountForever, &counter);
  looping.Start();
  ASSERT_TRUE(Eventually([&] { return counter.load() > 2; }));
  KQ_TThread target(&CountForever, &counter);
  target.Start();
  target = copy;
  EXPECT_EQ(target.Result(), 5);
  EXPECT_EQ(target.ThreadID(), copy.ThreadID());
  looping = target;
  std::int32_t const stoppedAt = counter.load();
  KQ_TThread::Sleep(30);
  EXPECT_EQ(counter.load(), stoppedAt) << "both looping threads ended with their last object";
}

TEST_F(ThreadTest, SleepWaitsAtLeastTheGivenTime) {
  auto const start = Clock::now();
  KQ_TThread::Sleep(0);
  KQ_TThread::Sleep(25);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(25));
}

// Threads that create children, some of which create children of their
// own, join them and go; bounded in count. Run under the sanitizers it
// also shows that no thread record or object is left behind.
TEST_F(ThreadTest, StressTreesOfThreadsCreatingAndJoiningChildren) {
  struct Node : KQ_TThread {
    Node(int d, std::atomic<std::int32_t>& c) : depth(d), count(c) {}
    std::int32_t Run(void*) override {
      ++count;
      if (depth == 0) return 1;
      std::vector<std::unique_ptr<Node>> kept;
      for (int i = 0; i < 3; ++i) {
        auto* child = new Node(depth - 1, count);
        if ((i + depth) % 2 == 0) {
          child->SetAutoFree(true);
          child->Start();
        } else {
          kept.emplace_back(child);
          child->Start();
        }
      }
      CurrentThread().JoinChildren();
      std::int32_t sum = 1;
      for (auto const& child : kept) sum += child->Result();
      return sum;
    }
    int depth;
    std::atomic<std::int32_t>& count;
  };
  KQ_TThread& main = KQ_TThread::CurrentThread();
  std::uint32_t const childrenBefore = main.Children().Entries();
  std::atomic<std::int32_t> count{0};
  auto const deadline = Clock::now() + std::chrono::seconds(20);
  int rounds = 0;
  for (; rounds < 6 && Clock::now() < deadline; ++rounds) {
    std::vector<std::unique_ptr<Node>> roots;
    for (int i = 0; i < 4; ++i) roots.emplace_back(new Node(3, count));
    for (auto& root : roots) root->Start();
    main.JoinChildren();
    for (auto& root : roots) EXPECT_TRUE(root->IsFinished());
  }
  // 4 roots of 1 + 3 + 9 + 27 nodes each, per round.
  EXPECT_EQ(count.load(), rounds * 4 * 40);
  EXPECT_EQ(main.Children().Entries(), childrenBefore);
}

}  // namespace
