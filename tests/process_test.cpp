// Processes: exit codes, signals, kills, timed waits, command lines, Find.
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>

#include "kq_tprocess.h"
#include "test_support.h"

namespace {

using Pair = std::pair<char const*, char const*>;

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

std::int32_t ResultOf(std::string const& commandLine) {
  return KQ_TProcess(commandLine.c_str()).Join().Result();
}

TEST(Process, WordsOfTheCommandLineBecomeTheArgumentsAndBadUseAndFailedStartsRaise) {
  // A program in a directory whose name holds blanks and both quotes.
  std::string const directory = ::testing::TempDir() + "kq \"q\" 'x' " + std::to_string(getpid());
  std::string const script = directory + "/echo";
  mkdir(directory.c_str(), 0700);
  kqtest::WriteFile(script,
                    "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done > \"$0.out\"\n");
  ASSERT_EQ(chmod(script.c_str(), 0700), 0);
  std::string program = "\"";
  for (char c : script) program += c == '"' ? std::string("\\\"") : std::string(1, c);
  program += "\" ";

  for (auto const& [words, arguments] :
       {Pair{"a b\tc", "[a][b][c]"}, Pair{"  lead   trail  ", "[lead][trail]"},
        Pair{R"("b c" d)", "[b c][d]"}, Pair{R"("it's \"here\"")", R"([it's "here"])"},
        Pair{R"(x"y z"w)", "[xy zw]"}, Pair{R"(a\b c\\\\"d e")", R"([a\b][c\\d e])"},
        Pair{R"(\\\"a)", R"([\"a])"}, Pair{R"("a""b")", R"([a"b])"}, Pair{R"("" x)", "[][x]"}}) {
    ASSERT_EQ(ResultOf(program + words), 0) << words;
    EXPECT_EQ(kqtest::ReadFile(script + ".out"), arguments) << words;
  }
  std::filesystem::remove_all(directory);

  // Bad use and failed starts raise.
  KQ_TProcess unbound;
  std::function<void()> const operations[] = {
      [&] { unbound.Join(); },      [&] { unbound.Join(5); },  [&] { unbound.Kill(); },
      [&] { unbound.IsRunning(); }, [&] { unbound.Result(); }, [&] { unbound.Signal(); },
      [&] { unbound.ProcessID(); },
  };
  for (auto const& operation : operations) EXPECT_THROW(operation(), KQ_EProcessNotBound);

  KQ_TProcess started("/bin/true");
  KQ_TAny data;
  EXPECT_EQ(kqtest::RaisedMessage([&] { started = "/bin/false"; }, &data),
            "KQ_EProcessAlreadyBound|KQ_EProcessAlreadyBound");
  EXPECT_TRUE(data == KQ_TAny("/bin/false") && started.Join().Result() == 0);

  for (auto const& [commandLine, reason] :
       {Pair{"/nonexistent/kq program", "No such file or directory"},
        Pair{"kq-no-such-program-anywhere", "No such file or directory"},
        Pair{"/", "Permission denied"}, Pair{" \t ", "No such file or directory"}}) {
    SCOPED_TRACE(commandLine);
    KQ_TProcess process;
    EXPECT_EQ(kqtest::RaisedMessage([&, line = commandLine] { process = line; }, &data),
              std::string("KQ_ECouldNotCreateProcess|KQ_ECouldNotCreateProcess: ") + reason);
    EXPECT_TRUE(data == KQ_TAny(commandLine));
    EXPECT_THROW(process.IsRunning(), KQ_EProcessNotBound);
  }
}

TEST(Process, ExitCodesTellHowAChildEndedFindWatchesItAndNoChildStaysAZombie) {
  KQ_TProcess child("sleep 30");
  std::unique_ptr<KQ_TProcess> found(KQ_TProcess::Find(child.ProcessID()));
  EXPECT_TRUE(IdOf(*found) == IdOf(child) && found->IsRunning() && !found->Join(10));
  EXPECT_FALSE(found->Kill().Join().IsRunning());
  // The caller's own child: the watch learns the code, the owner still reaps.
  EXPECT_TRUE(found->Result() == 1 && IsZombie(IdOf(child)) && child.Join().Result() == 1);

  std::unique_ptr<KQ_TProcess> parent(KQ_TProcess::Find(KQ_TAny(std::uint32_t(getppid()))));
  EXPECT_TRUE(parent->IsRunning() && !parent->Join(0));
  // No such process: nothing can be reached.
  std::unique_ptr<KQ_TProcess> missing(KQ_TProcess::Find(KQ_TAny(std::uint32_t{0x7FFFFFF0})));
  EXPECT_TRUE(missing->IsRunning() && !missing->Join().Kill().Join(10) && missing->Result() == 0);

  KQ_TProcess& current = KQ_TProcess::CurrentProcess();
  EXPECT_TRUE(IdOf(current) == static_cast<std::uint32_t>(getpid()) && current.IsRunning());
  EXPECT_THROW(current.Join(0), KQ_EProcessException);
  // No child stays a zombie once its last owner is gone.
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
  kill(static_cast<pid_t>(pid), SIGKILL);
  watch->Join();
  EXPECT_TRUE(IsZombie(pid));
  ResultOf("/bin/true");
  EXPECT_TRUE(IsReaped(pid));
  EXPECT_EXIT(KQ_TProcess::CurrentProcess().Kill(), ::testing::ExitedWithCode(1), "");

  // Exit codes tell how a child ended.
  // A command line, the result and the signal that ended it.
  using Row = std::tuple<char const*, std::int32_t, std::int32_t>;
  for (auto const& [commandLine, result, signal] :
       {Row{"/bin/true", 0, 0}, Row{"sh -c \"exit 255\"", 255, 0},
        Row{"sh -c \"kill -TERM $$\"", 128 + SIGTERM, SIGTERM},
        Row{"sh -c \"ulimit -c 0; kill -SEGV $$\"", 128 + SIGSEGV, SIGSEGV},
        Row{"sh -c \"kill -KILL $$\"", 1, SIGKILL}}) {
    KQ_TProcess process(commandLine);
    EXPECT_FALSE(process.Join().IsRunning());
    EXPECT_TRUE(process.Result() == result && process.Signal() == signal) << commandLine;
  }
  // A copy watches the same child.
  KQ_TProcess sleeper("sleep 30");
  KQ_TProcess const copy(sleeper);
  EXPECT_TRUE(sleeper.IsRunning() && sleeper.Result() == 0 && !sleeper.Join(0) &&
              !sleeper.Join(20));
  sleeper.Kill().Join();
  EXPECT_TRUE(!copy.IsRunning() && copy.Result() == 1 && sleeper.Kill().Join(0));
}

TEST(Process, AChildInheritsTheCallersDescriptorsButNotTheLibrarys) {
  KQ_TProcess running("sleep 30");
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  // The child sees the pipe and none of the pidfds.
  std::string seen = "test -e /proc/self/fd/" + std::to_string(ends[0]);
  for (auto const& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error) == "anon_inode:[pidfd]")
      seen += " && ! test -e /proc/self/fd/" + entry.path().filename().string();
  }
  if (seen.find('!') == std::string::npos) GTEST_SKIP() << "the system gives no pidfds";
  EXPECT_EQ(ResultOf("sh -c \"" + seen + "\""), 0) << seen;
  close(ends[0]);
  close(ends[1]);
  running.Kill();
}

}  // namespace
