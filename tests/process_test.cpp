// Processes: how a child ends and what its exit code reads, killing and
// timed waits, the words of a command line (a program path with blanks and
// quotes among them), the unbound and the failed start, Find of a child and
// of a process that is none, the calling process, waiting from several
// threads, no zombie left behind and no library descriptor in a child.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kq_eexception.h"
#include "kq_tclass.h"
#include "kq_tprocess.h"

namespace {

std::uint32_t IdOf(KQ_TProcess const& process) {
  return static_cast<std::uint32_t>(process.ProcessID());
}

bool IsZombie(std::uint32_t pid) {
  siginfo_t info{};
  return waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

bool IsReaped(std::uint32_t pid) {
  return waitpid(static_cast<pid_t>(pid), nullptr, WNOHANG) == -1 && errno == ECHILD;
}

std::string Message(KQ_EException const& e) { return e.KQ_Message().UTF8(); }

TEST(Process, ExitCodesTellHowAChildEnded) {
  struct Case {
    char const* commandLine;
    std::int32_t result, signal;
  };
  Case const cases[] = {
      {"/bin/true", 0, 0},
      {"sh -c \"exit 3\"", 3, 0},
      {"sh -c \"exit 255\"", 255, 0},
      {"sh -c \"kill -TERM $$\"", 128 + SIGTERM, SIGTERM},
      {"sh -c \"ulimit -c 0; kill -SEGV $$\"", 128 + SIGSEGV, SIGSEGV},
      {"sh -c \"kill -KILL $$\"", 1, SIGKILL},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.commandLine);
    KQ_TProcess process(c.commandLine);
    process.Join();
    EXPECT_FALSE(process.IsRunning());
    EXPECT_EQ(process.Result(), c.result);
    EXPECT_EQ(process.Signal(), c.signal);
  }
}

TEST(Process, KillEndsAChildWithCodeOneAndWaitsEndWithTheirTime) {
  KQ_TProcess process("sleep 30");
  KQ_TProcess const copy(process);
  EXPECT_TRUE(process.IsRunning());
  EXPECT_EQ(process.Result(), 0);
  EXPECT_FALSE(process.Join(0));
  EXPECT_FALSE(process.Join(20));
  process.Kill();
  process.Join();
  EXPECT_FALSE(copy.IsRunning());
  EXPECT_EQ(copy.Result(), 1);
  EXPECT_EQ(copy.Signal(), SIGKILL);
  EXPECT_TRUE(process.Kill().Join(0));
}

class ScratchDirectory {
 public:
  // A directory whose name holds blanks and both kinds of quotes.
  ScratchDirectory()
      : fPath(::testing::TempDir() + "kq proc \"q\" 'x' " + std::to_string(getpid())) {
    mkdir(fPath.c_str(), 0700);
  }
  ~ScratchDirectory() {
    std::remove((fPath + "/echo").c_str());
    std::remove((fPath + "/args").c_str());
    rmdir(fPath.c_str());
  }
  std::string const& Path() const { return fPath; }

 private:
  std::string fPath;
};

TEST(Process, WordsOfTheCommandLineBecomeTheArguments) {
  ScratchDirectory const directory;
  std::string const script = directory.Path() + "/echo";
  {
    std::ofstream out(script);
    out << "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done > \"$(dirname "
           "\"$0\")/args\"\n";
  }
  ASSERT_EQ(chmod(script.c_str(), 0700), 0);
  std::string quoted = "\"";
  for (char c : script) quoted += c == '"' ? std::string("\\\"") : std::string(1, c);
  quoted += "\"";

  struct Case {
    char const* words;
    char const* arguments;
  };
  Case const cases[] = {
      {"a b\tc", "[a][b][c]"},    {"  lead   trail  ", "[lead][trail]"},
      {R"("b c" d)", "[b c][d]"}, {R"("it's \"here\"")", R"([it's "here"])"},
      {R"(x"y z"w)", "[xy zw]"},  {R"(a\b c\\\\"d e")", R"([a\b][c\\d e])"},
      {R"(\\\"a)", R"([\"a])"},   {R"("a""b")", R"([a"b])"},
      {R"("" x)", "[][x]"},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.words);
    KQ_TProcess process((quoted + " " + c.words).c_str());
    process.Join();
    ASSERT_EQ(process.Result(), 0);
    std::ifstream in(directory.Path() + "/args");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), c.arguments);
  }
}

TEST(Process, BadUseAndFailedStartsRaise) {
  KQ_TProcess unbound;
  std::function<void()> const operations[] = {
      [&] { unbound.Join(); },      [&] { unbound.Join(5); },  [&] { unbound.Kill(); },
      [&] { unbound.IsRunning(); }, [&] { unbound.Result(); }, [&] { unbound.Signal(); },
      [&] { unbound.ProcessID(); },
  };
  for (auto const& operation : operations) EXPECT_THROW(operation(), KQ_EProcessNotBound);
  std::unique_ptr<KQ_TObject> created(KQ_TClass::FindClass("KQ_TProcess")->CreateInstance());
  EXPECT_THROW(static_cast<KQ_TProcess*>(created->KQ_Cast("KQ_TProcess"))->Join(),
               KQ_EProcessNotBound);

  KQ_TProcess started("/bin/true");
  try {
    started = "/bin/false";
    ADD_FAILURE() << "a bound process started again";
  } catch (KQ_EProcessAlreadyBound const& e) {
    EXPECT_TRUE(e.KQ_Data() == KQ_TAny("/bin/false"));
    EXPECT_EQ(Message(e), "KQ_EProcessAlreadyBound");
  }
  started.Join();
  EXPECT_EQ(started.Result(), 0);

  struct Case {
    char const* commandLine;
    char const* reason;
  };
  Case const failures[] = {{"/nonexistent/kq program", "No such file or directory"},
                           {"kq-no-such-program-anywhere", "No such file or directory"},
                           {"/", "Permission denied"},
                           {"", "No such file or directory"},
                           {" \t ", "No such file or directory"}};
  for (Case const& c : failures) {
    SCOPED_TRACE(c.commandLine);
    KQ_TProcess process;
    try {
      process = c.commandLine;
      ADD_FAILURE() << "started";
    } catch (KQ_ECouldNotCreateProcess const& e) {
      EXPECT_EQ(Message(e), std::string("KQ_ECouldNotCreateProcess: ") + c.reason);
      EXPECT_TRUE(e.KQ_Data() == KQ_TAny(c.commandLine));
    }
    EXPECT_THROW(process.IsRunning(), KQ_EProcessNotBound);
  }
}

TEST(Process, FindWatchesAProcessWithoutWaitingForIt) {
  KQ_TProcess child("sleep 30");
  std::unique_ptr<KQ_TProcess> found(KQ_TProcess::Find(child.ProcessID()));
  EXPECT_EQ(IdOf(*found), IdOf(child));
  EXPECT_TRUE(found->IsRunning());
  EXPECT_FALSE(found->Join(10));
  found->Kill();
  found->Join();
  EXPECT_FALSE(found->IsRunning());
  // The caller's own child: the watch learns the code, the owner still reaps.
  EXPECT_EQ(found->Result(), 1);
  EXPECT_TRUE(IsZombie(IdOf(child)));
  EXPECT_EQ(child.Join().Result(), 1);

  std::unique_ptr<KQ_TProcess> parent(KQ_TProcess::Find(KQ_TAny(std::uint32_t(getppid()))));
  EXPECT_TRUE(parent->IsRunning());
  EXPECT_FALSE(parent->Join(0));
  EXPECT_EQ(parent->Result(), 0);

  // No such process: nothing can be reached.
  std::unique_ptr<KQ_TProcess> missing(KQ_TProcess::Find(KQ_TAny(std::uint32_t{0x7FFFFFF0})));
  EXPECT_TRUE(missing->IsRunning());
  missing->Join().Kill();
  EXPECT_FALSE(missing->Join(10));
  EXPECT_EQ(missing->Result(), 0);
  EXPECT_EQ(IdOf(*missing), 0x7FFFFFF0u);
}

TEST(Process, TheCallingProcessRunsAndCannotWaitForItself) {
  KQ_TProcess& current = KQ_TProcess::CurrentProcess();
  EXPECT_EQ(&current, &KQ_TProcess::CurrentProcess());
  EXPECT_EQ(IdOf(current), static_cast<std::uint32_t>(getpid()));
  EXPECT_TRUE(current.IsRunning());
  EXPECT_EQ(current.Result(), 0);
  EXPECT_THROW(current.Join(), KQ_EProcessException);
  EXPECT_THROW(current.Join(0), KQ_EProcessException);
  // Kill ends the caller with code 1.
  EXPECT_EXIT(KQ_TProcess::CurrentProcess().Kill(), ::testing::ExitedWithCode(1), "");
}

TEST(Process, SeveralThreadsWaitForOneChild) {
  KQ_TProcess process("sleep 30");
  std::int32_t results[2] = {-1, -1};
  std::vector<std::thread> waiters;
  for (std::int32_t& result : results) {
    waiters.emplace_back([copy = process, &result]() mutable { result = copy.Join().Result(); });
  }
  EXPECT_FALSE(process.Join(20));
  process.Kill();
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(results[0], 1);
  EXPECT_EQ(results[1], 1);
}

TEST(Process, NoChildStaysAZombie) {
  std::uint32_t pid = 0;
  std::unique_ptr<KQ_TProcess> watch;
  {
    KQ_TProcess ended("/bin/true");
    pid = IdOf(ended);
    watch.reset(KQ_TProcess::Find(ended.ProcessID()));
    watch->Join();
    EXPECT_TRUE(IsZombie(pid));
  }
  EXPECT_TRUE(IsReaped(pid));

  // A child given up while it runs is reaped once it has ended.
  {
    KQ_TProcess running("sleep 30");
    pid = IdOf(running);
    watch.reset(KQ_TProcess::Find(running.ProcessID()));
  }
  EXPECT_TRUE(watch->IsRunning());
  kill(static_cast<pid_t>(pid), SIGKILL);
  watch->Join();
  EXPECT_TRUE(IsZombie(pid));
  KQ_TProcess("/bin/true").Join();
  EXPECT_TRUE(IsReaped(pid));
}

// The descriptors of this process that point at a process (pidfds).
std::vector<int> ProcessDescriptors() {
  std::vector<int> found;
  DIR* directory = opendir("/proc/self/fd");
  while (dirent* entry = readdir(directory)) {
    char target[64] = {};
    std::string const link = std::string("/proc/self/fd/") + entry->d_name;
    if (readlink(link.c_str(), target, sizeof target - 1) > 0 &&
        std::string(target) == "anon_inode:[pidfd]") {
      found.push_back(std::stoi(entry->d_name));
    }
  }
  closedir(directory);
  return found;
}

TEST(Process, AChildInheritsTheCallersDescriptorsButNotTheLibrarys) {
  KQ_TProcess running("sleep 30");
  std::vector<int> const library = ProcessDescriptors();
  if (library.empty()) GTEST_SKIP() << "the system gives no pidfds";
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  auto const open = [](int descriptor) {
    std::string const line = "sh -c \"test -e /proc/self/fd/" + std::to_string(descriptor) + "\"";
    return KQ_TProcess(line.c_str()).Join().Result() == 0;
  };
  EXPECT_TRUE(open(ends[0]));
  for (int descriptor : library) EXPECT_FALSE(open(descriptor)) << descriptor;
  close(ends[0]);
  close(ends[1]);
  running.Kill();
}

}  // namespace
