// Running out of memory: KQ_EOutOfMemory raised without memory of its own,
// with the n-th allocation failing for every n along round trips of nested
// containers, and in a process whose address space is exhausted.
#include <sys/resource.h>
#include <unistd.h>

#include <string_view>

#include "internal/kq_memalloc_failure.h"
#include "kq_memalloc.h"
#include "kq_tarray.h"
#include "kq_tdict.h"
#include "kq_tlist.h"
#include "kq_tstring.h"
#include "kq_tunknown.h"
#define KQ_TEST_OWN_OPERATOR_NEW
#include "test_support.h"

namespace {

// The failing allocator: once armed with n, the n-th request (the library's
// heap requests, source 1, and this program's operator new, source 2,
// counted together) fails, and in the persistent mode every request after
// it too. The sources of the failed requests collect in gSourcesHit.
std::atomic<bool> gArmed{false}, gPersistent{false}, gHit{false};
std::atomic<long> gRemaining{0};
std::atomic<int> gSourcesHit{0};

bool Fails(int source) {
  if (!gArmed.load()) return false;
  if (gHit.load() && gPersistent.load()) return true;
  if (--gRemaining != 0) return false;
  gHit = true;
  gSourcesHit |= source;
  return true;
}

bool LibraryHeapFails() { return Fails(1); }
bool OperatorNewFails() { return Fails(2); }

// Arms the failing allocator for one scope and disarms it on every path.
class FailureWindow {
 public:
  FailureWindow(long n, bool persistent) {
    gRemaining = n;
    gPersistent = persistent;
    gHit = false;
    gArmed = true;
  }
  ~FailureWindow() { Close(); }

  // Disarms; true when the armed request was reached.
  bool Close() {
    gArmed = false;
    return gHit.load();
  }
};

class OutOfMemoryTest : public kqtest::InitializedTest {
 protected:
  void SetUp() override {
    kqtest::InitializedTest::SetUp();
    KQ_CatchOutOfMemory();
    kq::heap::SetFailurePredicate(&LibraryHeapFails);
    kqtest::gNewFails = &OperatorNewFails;
  }
  void TearDown() override {
    kq::heap::SetFailurePredicate(nullptr);
    kqtest::gNewFails = nullptr;
    KQ_IgnoreOutOfMemory();
  }
};

// Nested containers of strings and numbers, as a program would pack them.
KQ_TDict Sample() {
  KQ_TList list;
  list.AddAtTail(KQ_TAny(2.5));
  list.AddAtTail(KQ_TAny(KQ_TString(std::string(300, 'x').c_str())));
  KQ_TArray array;
  for (std::int32_t i = 0; i < 20; ++i) array += KQ_TAny(std::uint64_t{1} << i);
  KQ_TDict dict;
  dict.Add("list", KQ_TAny(static_cast<KQ_IPackable const&>(list)));
  dict.Add("array", KQ_TAny(static_cast<KQ_IPackable const&>(array)));
  for (std::int32_t i = 0; i < 12; ++i) {
    dict.Add(std::to_string(i).c_str(),
             KQ_TAny(KQ_TString(std::string(i * 7, static_cast<char>('a' + i)).c_str())));
  }
  return dict;
}

// Runs one round trip and names the outcome; the catch clauses take no
// memory, so that they work while the allocator still fails.
std::string_view Attempt(std::function<bool()> const& roundTrip) {
  try {
    return roundTrip() ? "right" : "a wrong result";
  } catch (KQ_EOutOfMemory const&) {
    return "KQ_EOutOfMemory";
  } catch (KQ_EException const&) {
    return "another library exception";
  } catch (...) {
    return "a foreign exception";
  }
}

struct RoundTrip {
  char const* name;
  std::function<bool(KQ_TDict const&)> run;
};

RoundTrip const kRoundTrips[] = {
    {"packing and unpacking",
     [](KQ_TDict const& sample) {
       std::unique_ptr<KQ_IPackable> const back = kqtest::Extracted(kqtest::Packed(sample));
       return back != nullptr && sample.KQ_IsIdent(*back);
     }},
    {"writing and reading text",
     [](KQ_TDict const& sample) {
       KQ_TDict back;
       kqtest::ReadText(back, kqtest::Text(sample) + " ");
       return back == sample;
     }},
    {"copying and comparing",
     [](KQ_TDict const& sample) {
       KQ_TDict const copy(sample);
       return copy == sample;
     }},
};

// For n = 1, 2, ... the n-th request fails (and, persistent, every later
// one) until a run gets through without reaching it. Every run ends with
// the right result or KQ_EOutOfMemory.
TEST_F(OutOfMemoryTest, EveryFailingRequestOfARoundTripRaisesOutOfMemory) {
  KQ_TDict const sample = Sample();
  for (RoundTrip const& trip : kRoundTrips) {
    ASSERT_EQ(Attempt([&] { return trip.run(sample); }), "right") << trip.name;
    for (bool const persistent : {false, true}) {
      SCOPED_TRACE(std::string(trip.name) + (persistent ? ", persistent" : ", one request"));
      gSourcesHit = 0;
      int raised = 0;
      long n = 1;
      for (;; ++n) {
        FailureWindow window(n, persistent);
        std::string_view const outcome = Attempt([&] { return trip.run(sample); });
        bool const reached = window.Close();
        ASSERT_TRUE(outcome == "right" || outcome == "KQ_EOutOfMemory")
            << "request " << n << " failed, the run gave " << outcome;
        if (!reached) {
          ASSERT_EQ(outcome, "right") << "request " << n;
          break;
        }
        raised += outcome == "KQ_EOutOfMemory";
        ASSERT_LT(n, 100000) << "the round trip never got through";
      }
      // The failures reached both kinds of request, and most of them
      // surfaced rather than being absorbed on the way.
      EXPECT_GT(n, 10);
      EXPECT_GT(raised, (n - 1) / 2);
      EXPECT_EQ(gSourcesHit.load(), 3);
    }
  }
}

// With every request failing, each way of running out raises
// KQ_EOutOfMemory; what() still names it.
TEST_F(OutOfMemoryTest, OutOfMemoryIsRaisedWhenNoRequestSucceeds) {
  std::pair<char const*, std::function<void()>> const cases[] = {
      {"KQ_Alloc", [] { KQ_Free(KQ_Alloc(64)); }},
      {"KQ_CAlloc", [] { KQ_Free(KQ_CAlloc(4, 16)); }},
      {"KQ_Realloc", [] { KQ_Free(KQ_Realloc(nullptr, 64)); }},
      {"operator new", [] { delete new KQ_TList(); }},
      {"a string", [] { KQ_TString const text("a text that needs a buffer of its own"); }},
      {"KQ_THROW", [] { KQ_THROW(KQ_EOutOfMemory()); }},
  };
  for (auto const& [name, raise] : cases) {
    std::string what = "nothing";
    {
      FailureWindow window(1, true);
      try {
        raise();
      } catch (KQ_EOutOfMemory const& e) {
        char const* const text = e.what();
        window.Close();
        what = text;
      } catch (...) {
      }
    }
    EXPECT_EQ(what, "KQ_EOutOfMemory") << name;
  }
}

// An exception raised while nothing can be allocated keeps its class and
// message; only the trace is missing, and preparing it again once memory is
// back fills it in.
TEST_F(OutOfMemoryTest, ExceptionsRaisedWithoutMemoryKeepClassAndMessage) {
  KQ_TString const message("the message");
  bool caught = false;
  KQ_EIllegalCast copy;
  {
    FailureWindow window(1, true);
    try {
      KQ_THROW(KQ_EIllegalCast(message));
    } catch (KQ_EIllegalCast const& e) {
      caught = true;
      window.Close();
      copy = e;
    }
  }
  ASSERT_TRUE(caught);
  EXPECT_TRUE(copy.KQ_Message() == message);
  EXPECT_TRUE(copy.KQ_StackTrace().IsEmpty());
  EXPECT_EQ(copy.KQ_ExceptionLine(), 0u);
  EXPECT_TRUE(copy.KQ_Data().IsIllegal());
  copy.__PREPARE_FOR_THROW__(42, "site.cpp");
  EXPECT_EQ(copy.KQ_ExceptionLine(), 42u);
  EXPECT_EQ(copy.KQ_ExceptionFile().UTF8(), std::string("site.cpp"));
}

// A shortage while an unknown inflates is not taken for bytes that make no
// object: once memory is back, the next attempt inflates it.
TEST_F(OutOfMemoryTest, AnUnknownInflatesOnceMemoryIsBack) {
  kqtest::Bytes const bytes =
      kqtest::Join({kqtest::Header(0x0D, "KQ_TList"), {0x07, 0, 0, 0, 0, 0xFF}});
  KQ_TUnknown const unknown("KQ_TList", bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  {
    FailureWindow window(1, true);
    EXPECT_EQ(unknown.KQ_Cast("KQ_TList"), nullptr);
    EXPECT_TRUE(window.Close());
  }
  EXPECT_NE(unknown.KQ_Cast("KQ_TList"), nullptr);
}

struct Chained {
  Chained* next;
};

// In a child whose address space is limited to 64 MB beyond what it uses
// (the first field of /proc/self/statm, in pages): takes memory until even
// the smallest request fails, catching KQ_EOutOfMemory at each step, then
// grows a string and makes an object until that fails too. Exits with 0
// when all raised, 10 without a limit, 11 otherwise, 12 for a wrong what().
void ExhaustTheAddressSpace() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t pages = 0;
  statm >> pages;
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(10);
  limit.rlim_cur = pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)) + (64u << 20);
  if (setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(10);
  KQ_CatchOutOfMemory();

  Chained* chain = nullptr;
  int raised = 0;
  for (std::uint32_t size = 1u << 20; size >= sizeof(Chained);) {
    try {
      auto* block = static_cast<Chained*>(KQ_Alloc(size));
      block->next = chain;
      chain = block;
    } catch (KQ_EOutOfMemory const& e) {
      if (std::strncmp(e.what(), "KQ_EOutOfMemory", 15) != 0) std::_Exit(12);
      ++raised;
      size /= 2;
    }
  }
  bool stringRaised = false;
  try {
    KQ_TString text("grows");
    for (;;) text += text;
  } catch (std::exception const& e) {
    stringRaised = std::strncmp(e.what(), "KQ_EOutOfMemory", 15) == 0;
  }
  bool newRaised = false;
  try {
    delete new KQ_TDict();
  } catch (KQ_EException const& e) {
    newRaised = e.KQ_Cast("KQ_EOutOfMemory") != nullptr;
  }
  while (chain != nullptr) {
    Chained* const next = chain->next;
    KQ_Free(chain);
    chain = next;
  }
  std::_Exit(raised > 10 && stringRaised && newRaised ? 0 : 11);
}

TEST(OutOfMemoryProcessTest, AnExhaustedAddressSpaceRaisesInsteadOfCrashing) {
#if defined(KQ_TEST_SANITIZED)
  GTEST_SKIP() << "the sanitizers reserve more address space than any limit leaves";
#endif
  ASSERT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__());
  EXPECT_EXIT(ExhaustTheAddressSpace(), testing::ExitedWithCode(0), "");
}

}  // namespace
