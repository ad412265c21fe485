// KQ_TThread: code, states, Start/Stop/Join, the thread tree, priorities, properties.

#include "kq_tsemaphore.h"
#include "kq_tthread.h"
#include "test_support.h"

namespace {

using kqtest::Eventually;
using kqtest::Raised;
using ThreadTest = kqtest::InitializedTest;

std::int32_t Twice(void* argument) { return 2 * *static_cast<std::int32_t*>(argument); }
std::int32_t Seven(void*) { return 7; }

// Blocks until the semaphore handed in as argument is released.
std::int32_t WaitFor(void* argument) {
  static_cast<KQ_TSemaphore*>(argument)->Lock();
  return 5;
}

// Sleeps in steps and counts them, for ever.
std::int32_t CountForever(void* argument) {
  for (auto* counter = static_cast<std::atomic<std::int32_t>*>(argument);; KQ_TThread::Sleep(1))
    ++*counter;
}

// True when counter stands still for a while: its thread has ended.
bool Stopped(std::atomic<std::int32_t> const& counter) {
  std::int32_t const before = counter.load();
  KQ_TThread::Sleep(30);
  return counter.load() == before;
}

struct Adder : KQ_IRunnable {
  std::int32_t Run(void* argument) override { return 100 + *static_cast<std::int32_t*>(argument); }
};

// A thread whose code is body.
struct Lambda : KQ_TThread {
  explicit Lambda(std::function<std::int32_t()> b) : body(std::move(b)) {}
  std::int32_t Run(void*) override { return body(); }
  std::function<std::int32_t()> body;
};

bool ListsChild(KQ_TThread const& parent, KQ_TThread const* child) {
  return parent.Children().Contains(KQ_TAny(static_cast<void*>(const_cast<KQ_TThread*>(child))));
}

TEST_F(ThreadTest, RunsItsCodeWhichCanBeReplacedOnlyBeforeTheStart) {
  std::int32_t value = 21;
  KQ_TThread function(&Twice, &value);
  function.Start().Join();
  EXPECT_TRUE(function.IsFinished() && !function.IsRunning() && !function.HasFailed() &&
              function.Result() == 42);
  Adder adder;
  EXPECT_EQ(KQ_TThread(adder, &value).Start().Join().Result(), 121);
  std::atomic<KQ_TThread*> seen{nullptr};
  Lambda derived([&] { return seen = &KQ_TThread::CurrentThread(), 11; });
  EXPECT_EQ(derived.Start().Join().Result(), 11);
  EXPECT_EQ(seen.load(), &derived) << "CurrentThread() on a started thread is its object";
  // The base Run does nothing and succeeds; no code at all fails.
  KQ_TThread none(static_cast<KQ_TThread::Function_t>(nullptr));
  KQ_TThread thread;
  EXPECT_TRUE(none.Start().Join().HasFailed() && none.Result() == 0 &&
              thread.Start().Join().IsFinished() && thread.Result() == 0);
  kqtest::ExpectEachRaises("KQ_EThreadAlreadyStarted",
                           {[&] { thread.Start(); }, [&] { thread = adder; },
                            [&] { thread.SetThreadCode(&Twice, &value); }});
  // After Stop the thread id is clear: new code, a new start and a new id.
  std::uint32_t const firstId = thread.ThreadID();  // stays set after a normal end
  // Stop leaves a finished thread finished.
  EXPECT_TRUE(firstId != 0 && thread.Stop().ThreadID() == 0 && thread.IsFinished());
  thread = &Seven;
  EXPECT_TRUE(thread.Start().Join().Result() == 7 && thread.ThreadID() != firstId);
}

// Failing code raises a library exception, another exception or no class at
// all, or ends the thread through the C library (which must unwind it).
TEST_F(ThreadTest, FailingCodeEndsTheThreadFailedAndKeepsTheResult) {
  std::atomic<bool> unwound{false};
  auto const exitThroughTheCLibrary = [&]() -> std::int32_t {
    struct Mark {
      std::atomic<bool>& unwound;
      ~Mark() { unwound = true; }
    } const mark{unwound};
    pthread_exit(nullptr);
  };
  std::function<std::int32_t()> const codes[] = {
      []() -> std::int32_t { KQ_THROW(KQ_EListException()); },
      []() -> std::int32_t { throw std::runtime_error("thread code failed"); },
      []() -> std::int32_t { throw 42; }, exitThroughTheCLibrary};
  for (auto const& code : codes) {
    Lambda thread(code);
    thread.Start().Join();
    EXPECT_TRUE(thread.HasFailed() && !thread.IsFinished() && thread.Result() == 0);
  }
  EXPECT_TRUE(unwound);
  // A result from an earlier run stays.
  Lambda thread([] { return 7; });
  thread.Start().Join().Stop();
  thread.body = []() -> std::int32_t { throw std::runtime_error("failed"); };
  EXPECT_TRUE(thread.Start().Join().HasFailed() && thread.Result() == 7);
}

TEST_F(ThreadTest, StopEndsARunningThreadAtOnceEvenItsOwnAndJoinWaitsOnlyForOthers) {
  std::atomic<std::int32_t> counter{0};
  KQ_TThread looping(&CountForever, &counter);
  looping.Start();
  ASSERT_TRUE(Eventually([&] { return counter.load() > 3; }));
  EXPECT_TRUE(looping.Stop().ThreadID() == 0 && looping.HasFailed());
  auto const start = kqtest::Clock::now();
  EXPECT_TRUE(Stopped(counter)) << "the code runs no more";
  EXPECT_GE(kqtest::MillisecondsSince(start), 30) << "Sleep waits at least the given time";
  looping.Join();

  std::atomic<int> steps{0};
  Lambda stopper([&] {
    ++steps;
    KQ_TThread::CurrentThread().Stop();
    ++steps;
    return 1;
  });
  stopper.Start();
  ASSERT_TRUE(Eventually([&] { return stopper.HasFailed(); }));
  stopper.Join();
  KQ_TThread::Sleep(20);
  EXPECT_TRUE(steps.load() == 1 && stopper.ThreadID() == 0 && stopper.Result() == 0);

  // Join waits for running threads only and refuses to wait for itself.
  KQ_TSemaphore gate(0);
  KQ_TThread blocked(&WaitFor, &gate);
  blocked.Start();
  EXPECT_TRUE(Eventually([&] { return blocked.IsRunning(); }));
  std::vector<std::future<void>> waiters;
  for (int i = 0; i < 2; ++i)
    waiters.push_back(std::async(std::launch::async, [&] { blocked.Join(); }));
  for (auto& waiter : waiters) EXPECT_TRUE(kqtest::StillBlocked(waiter));
  gate.Release();
  for (auto& waiter : waiters) waiter.get();
  EXPECT_EQ(blocked.Join().Result(), 5);

  Lambda self(
      [] { return Raised([] { KQ_TThread::CurrentThread().Join(); }) == "KQ_EThreadException"; });
  EXPECT_EQ(self.Start().Join().Result(), 1);
  // A thread the library did not start, such as this one, is adopted once;
  // it cannot be waited for, and Stop only marks it.
  KQ_TThread& main = KQ_TThread::CurrentThread();
  EXPECT_TRUE(&KQ_TThread::CurrentThread() == &main && main.IsRunning() && main.ThreadID() != 0 &&
              main.Parent() == nullptr && Raised([&] { main.Join(); }) == "KQ_EThreadException");
  EXPECT_TRUE(kqtest::OnOtherThread([&] {
    KQ_TThread& foreign = KQ_TThread::CurrentThread();
    return &foreign != &main && foreign.ThreadID() != main.ThreadID() &&
           foreign.Stop().ThreadID() == 0 && foreign.HasFailed();
  }));
}

TEST_F(ThreadTest, ThreadsFormATreeThatSurvivesInnerNodesAndThreadsThatFreeThemselves) {
  KQ_TThread& main = KQ_TThread::CurrentThread();
  auto child = std::make_unique<KQ_TThread>(&Seven);
  EXPECT_TRUE(child->Parent() == &main && ListsChild(main, child.get()));

  // The inner node creates two grandchildren on its own thread.
  KQ_TThread* grandchildren[2] = {};
  std::atomic<int> freedRan{0};
  auto inner = std::make_unique<Lambda>([&] {
    grandchildren[0] = new KQ_TThread(&Seven);
    grandchildren[1] = &(new KQ_TThread(&Seven))->Start();
    // A third frees itself; JoinChildren waits for every started child.
    (new Lambda([&] { return KQ_TThread::Sleep(20), ++freedRan; }))->SetAutoFree(true).Start();
    KQ_TThread::CurrentThread().JoinChildren();
    return grandchildren[1]->IsFinished() && freedRan == 1 ? 0 : 1;
  });
  EXPECT_EQ(inner->Start().Join().Result(), 0);
  std::unique_ptr<KQ_TThread> first(grandchildren[0]);
  std::unique_ptr<KQ_TThread> second(grandchildren[1]);
  EXPECT_TRUE(first->Parent() == inner.get() && inner->Children().Entries() == 2);
  inner.reset();
  EXPECT_TRUE(first->Parent() == &main && second->Parent() == &main)
      << "children move up to the grandparent";
  EXPECT_TRUE(ListsChild(main, first.get()) && ListsChild(main, second.get()));

  // Children of an adopted thread have no parent once it has ended.
  std::unique_ptr<KQ_TThread> orphan(kqtest::OnOtherThread([] { return new KQ_TThread(&Seven); }));
  EXPECT_TRUE(orphan->Parent() == nullptr && !ListsChild(main, orphan.get()));

  // An auto-free thread deletes its object, and with it its code, when the code ends.
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> const code = token;
  auto* thread = new Lambda([token] { return 0; });
  token.reset();
  thread->SetAutoFree(true).Start();
  EXPECT_TRUE(Eventually([&] { return code.expired(); }) &&
              !ListsChild(KQ_TThread::CurrentThread(), thread));
}

TEST_F(ThreadTest, PropertiesFormAPerThreadDictionaryAndPrioritiesMapOntoSevenLevels) {
  KQ_TThread thread(&Seven);
  thread.Add("name", KQ_TAny("worker")).Add(L"count", KQ_TAny(std::int32_t{3}));
  thread.Add(u"wide", KQ_TAny(true)).Add(KQ_TString("key"), KQ_TAny(std::int32_t{4}));
  KQ_TThread const& constant = thread;
  // The const form adds nothing.
  EXPECT_TRUE(static_cast<std::int32_t>(constant["count"]) == 3 &&
              constant[L"missing"].IsIllegal() && !thread.HasKey(L"missing"));
  thread["added"] = std::int32_t{9};
  EXPECT_TRUE(static_cast<std::int32_t>(*thread.ValueOfKey("added")) == 9 &&
              thread.ValueOfKey(u"nothing") == nullptr &&
              thread.KeyOf(KQ_TAny(std::int32_t{4})).KQ_IsIdent(KQ_TString("key")));
  thread.Remove("added").Remove(L"count").Remove(u"wide").Remove(KQ_TString("key"));
  EXPECT_TRUE(!thread.HasKey("added") && !thread.HasKey(L"count") && !thread.HasKey(u"wide") &&
              !thread.HasKey(KQ_TString("key")) && thread.HasKey(L"name"));

  // The print indentation lives there; changes made through the dictionary
  // are seen at once.
  KQ_TThread& self = KQ_TThread::CurrentThread();
  wchar_t const* const key = L"KQ_IPrintable_Indentation";
  KQ_IPrintable::SetIndentation(6);
  KQ_TAny const* stored = self.ValueOfKey(key);
  ASSERT_TRUE(stored != nullptr && stored->Kind() == KQ_TAny::kUInt32);
  EXPECT_EQ(static_cast<std::uint32_t>(*stored), 6u);
  self[key] = std::int32_t{5};
  EXPECT_EQ(KQ_IPrintable::Indentation(), 0u) << "not an unsigned 32-bit value";
  self.Add(key, KQ_TAny(std::uint32_t{3}));
  EXPECT_EQ(KQ_IPrintable::Indentation(), 3u);
  self.Remove(key);
  EXPECT_EQ(KQ_IPrintable::Indentation(), 0u);
  // Deleting the entry through a cursor is safe too.
  KQ_IPrintable::SetIndentation(4);
  std::unique_ptr<KQ_IIterationInfo> cursor(self.CreateIterationInfo());
  for (cursor->Start(); !cursor->IsAfterEnd(); cursor->Next())
    if (cursor->Key().KQ_IsIdent(KQ_TString(key))) cursor->DeleteItem();
  EXPECT_EQ(KQ_IPrintable::Indentation(), 0u);

  // Priorities map onto seven levels.
  std::vector<std::pair<int, int>> const cases = {
      {-128, -100}, {-100, -100}, {-99, -66},  {-66, -66},   {-65, -33}, {-33, -33},
      {-32, 0},     {32, 0},      {33, 33},    {65, 33},     {66, 66},   {99, 66},
      {100, 100},   {127, 100},   {1000, 100}, {-1000, -100}};
  KQ_TThread unstarted(&Seven);
  EXPECT_EQ(unstarted.Priority(), 0);
  for (auto const& [asked, level] : cases)
    EXPECT_EQ(unstarted.SetPriority(asked).Priority(), level) << "asked " << asked;
  EXPECT_TRUE(unstarted.SetPriority(70u).Priority() == 66 &&
              unstarted.SetPriority(std::uint64_t{1} << 40).Priority() == 100);

  // A running thread reports what the system gives it. Lowering is always
  // allowed; raising above normal needs privileges.
  bool const privileged = KQ_TThread::CurrentUser().UserID() == "root";
  signed char const ownBefore = KQ_TThread::CurrentThread().Priority();
  KQ_TSemaphore gate(0);
  KQ_TThread running(&WaitFor, &gate);
  running.SetPriority(-66).Start();
  ASSERT_TRUE(Eventually([&] { return running.ThreadState() == KQ_TThread::kRunning; }));
  // Asked before the start, applied at the start.
  EXPECT_TRUE(running.Priority() == -66 &&
              running.SetPriority(-33).Priority() == (privileged ? -33 : -66) &&
              running.SetPriority(-128).Priority() == -100);
  for (auto const& [asked, level] : privileged ? cases : decltype(cases)())
    EXPECT_EQ(running.SetPriority(asked).Priority(), level) << "asked " << asked;
  gate.Release();
  running.Join();
  EXPECT_EQ(KQ_TThread::CurrentThread().Priority(), ownBefore) << "other threads keep theirs";
}

TEST_F(ThreadTest, CopiesShareTheThreadAndJoinTheTree) {
  KQ_TThread& main = KQ_TThread::CurrentThread();
  KQ_TSemaphore gate(0);
  auto original = std::make_unique<KQ_TThread>(&WaitFor, &gate);
  original->Add("p", KQ_TAny(std::int32_t{1}));
  KQ_TThread copy(*original);
  EXPECT_TRUE(copy.HasKey("p") && copy.Parent() == &main && ListsChild(main, &copy) &&
              ListsChild(main, original.get()));
  copy.Start();
  EXPECT_TRUE(original->ThreadID() == copy.ThreadID() && original->IsRunning() &&
              Raised([&] { original->Start(); }) == "KQ_EThreadAlreadyStarted");
  // The original goes; the thread lives on with the copy.
  original.reset();
  EXPECT_TRUE(copy.IsRunning());
  gate.Release();
  EXPECT_EQ(copy.Join().Result(), 5);

  // Assignment takes the other's thread and parent; the old thread goes
  // with its last object.
  std::atomic<std::int32_t> counter{0};
  KQ_TThread looping(&CountForever, &counter);
  looping.Start();
  ASSERT_TRUE(Eventually([&] { return counter.load() > 2; }));
  KQ_TThread target(&CountForever, &counter);
  target.Start();
  target = copy;
  EXPECT_TRUE(target.Result() == 5 && target.ThreadID() == copy.ThreadID());
  looping = target;
  EXPECT_TRUE(Stopped(counter)) << "both looping threads ended with their last object";
}

}  // namespace
