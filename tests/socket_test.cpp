// KQ_TSocket, KQ_TSocketSet and KQ_TSocketPair over 127.0.0.1.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>

#include "kq_tsocket.h"
#include "kq_tsocketpair.h"
#include "kq_tsocketset.h"
#include "kq_tthread.h"
#include "test_support.h"

namespace {

using namespace kqtest;
using std::chrono::milliseconds;
using SocketTest = kqtest::InitializedTest;

// A listening socket on a free loopback port.
KQ_TSocket Listener() {
  KQ_TSocket listener;
  listener.Bind(KQ_TSocket::kLoopback, 0, false).Listen(64);
  return listener;
}

// Waits until socket has bytes (or its peer's close) to read.
void AwaitInput(KQ_TSocket& socket) { ASSERT_TRUE(KQ_TSocketSet(socket).Wait(5000)); }

std::string ReadString(KQ_TSocket& socket, std::uint32_t count) {
  std::string bytes(count, '\0');
  socket.Read(bytes.data(), count);
  return bytes;
}

// Four bytes arrive at once, six more later: mode 0 waits for the minimum, the
// others return after one receive and raise when that was too short.
TEST_F(SocketTest, ReadModesAndTimeOutsDecideHowLongReadsAndWritesWait) {
  // A mode, the minimum asked for and the bytes read (-1: it raises).
  using Row = std::tuple<KQ_TSocket::TMode, std::uint32_t, std::int64_t>;
  for (auto const& [mode, minimum, expected] :
       {Row{KQ_TSocket::kReadAll, 10, 10}, Row{KQ_TSocket::kReadOnce, 10, -1},
        Row{KQ_TSocket::kReadOnce, 1, 4}, Row{KQ_TSocket::kNonBlocking, 1, 4}}) {
    SCOPED_TRACE(mode);
    KQ_TSocketPair pair;
    EXPECT_TRUE(pair[0].SetMode(mode) == KQ_TSocket::kReadAll && pair[0].Mode() == mode);
    char buffer[10] = {};
    EXPECT_EQ(pair[0].Read(buffer, 0, 10), 0u);
    EXPECT_TRUE(mode != KQ_TSocket::kNonBlocking ||
                Raised([&] { pair[0].Read(buffer, 1, 10); }) == "KQ_ECouldNotReadFromSocket");
    pair[1].Write("0123", 4);
    std::thread writer;  // the rest arrives while a read in mode 0 waits
    if (mode == KQ_TSocket::kReadAll) {
      writer = std::thread([&] {
        std::this_thread::sleep_for(milliseconds(50));
        pair[1].Write("456789", 6);
      });
    } else {
      AwaitInput(pair[0]);
    }
    std::int64_t read = -1;
    EXPECT_EQ(Raised([&, minimum = minimum] { read = pair[0].Read(buffer, minimum, 10); }),
              expected < 0 ? "KQ_ECouldNotReadFromSocket" : "");
    if (writer.joinable()) writer.join();
    EXPECT_EQ(read, expected);
    EXPECT_EQ(std::string(buffer, read > 0 ? read : 0),
              std::string("0123456789", read > 0 ? read : 0));
  }

  // Time-outs: each setter gives the one before; zero is the shortest (1 ms,
  // rounded up to a tick), a negative one none. They end waits.
  KQ_TSocketPair pair;
  KQ_TSocket& s = pair[0];
  EXPECT_EQ(s.SetReadTimeOut(0), 0);
  std::int32_t const shortest = s.ReadTimeOut();
  EXPECT_TRUE(shortest >= 1 && shortest <= 10 && s.SetReadTimeOut(-5) == shortest &&
              s.ReadTimeOut() == 0 && s.SetReadTimeOut(100) == 0)
      << shortest;
  EXPECT_TRUE(s.SetWriteTimeOut(1500) == 0 && s.WriteTimeOut() == 1500 &&
              s.SetWriteTimeOut(100) == 1500);
  char byte;
  auto const start = Clock::now();
  EXPECT_THROW(pair[0].Read(&byte, 1), KQ_ECouldNotReadFromSocket);
  EXPECT_GE(Clock::now() - start, milliseconds(90));
  // A peer that never reads: the send buffers fill and a send times out.
  std::vector<char> const block(1 << 16, 'x');
  auto const flood = [&] {
    for (int i = 0; i < 100000; ++i) pair[0].Write(block.data(), block.size());
  };
  EXPECT_THROW(flood(), KQ_ECouldNotWriteToSocket);
}

TEST_F(SocketTest, BufferedBytesWaitForFlushAndCopiesTakeTheirOwn) {
  KQ_TSocketPair pair;
  KQ_TSocket& writer = pair[1];
  EXPECT_TRUE(writer.RawWrite("x", 0) == 0 && !writer.SetBuffered(true) &&
              writer.RawWrite("0123456789", 10) == 10);
  KQ_TSocket copy(writer);
  EXPECT_TRUE(copy.Buffered());
  copy.Write('!');
  EXPECT_TRUE(!KQ_TSocketSet(pair[0]).Wait(50) && copy.Flush());
  EXPECT_EQ(ReadString(pair[0], 11), "0123456789!");
  EXPECT_TRUE(writer.SetBuffered(false));  // flushes
  writer.Write("ab", 2);
  EXPECT_TRUE(ReadString(pair[0], 12) == "0123456789ab" && !pair[0].Ready());
}

TEST_F(SocketTest, PeerClosingAndClosedSocketsAreReportedNotFatal) {
  KQ_TSocketPair pair;
  pair[1].Write("abc", 3);
  AwaitInput(pair[0]);
  char peeked[3];
  EXPECT_TRUE(!pair[0].HasFailed() && pair[0].Ready() && pair[0].Available() == 3 &&
              pair[0].RawPeek(peeked, 3) == 3);
  EXPECT_TRUE(pair[0].Skip(2) && pair[0].Read() == 'c');
  {  // copies going leave the socket open
    KQ_TSocket another(pair[1]);
    KQ_TSocket assigned;
    assigned = another;
  }
  EXPECT_TRUE(pair[1].Handle() >= 0 && pair[1].Close() && pair[1].Handle() == -1 &&
              pair[1].HasFailed() && !pair[1].Ready() && pair[1].Available() == 0);
  AwaitInput(pair[0]);
  EXPECT_TRUE(pair[0].HasFailed() &&
              Raised([&] { pair[0].Read(); }) == "KQ_ECouldNotReadFromSocket");
  // Writing into a reset connection raises and never raises SIGPIPE.
  EXPECT_THROW(pair[0].Write("x", 1), KQ_ECouldNotWriteToSocket);
  EXPECT_THROW(pair[1].Write("x", 1), KQ_ECouldNotWriteToSocket);
  // Closing through a copy closes every copy and wakes a thread that waits
  // in a read.
  KQ_TSocketPair idle;
  std::thread closer([copy = idle[0]]() mutable {
    std::this_thread::sleep_for(milliseconds(50));
    copy.Close();
  });
  EXPECT_THROW(idle[0].Read(), KQ_ECouldNotReadFromSocket);
  closer.join();
  EXPECT_EQ(idle[0].Handle(), -1);
}

TEST_F(SocketTest, ServersAndClientsFindEachOtherAndReportMisuseAndPeersLeavingMidway) {
  KQ_TSocket listener = Listener();
  std::uint16_t const port = listener.Port();
  EXPECT_FALSE(listener.HasFailed());
  KQ_TSocket client;
  ASSERT_TRUE(client.Connect(KQ_TString(""), port));
  KQ_TSocket server = listener.Accept();
  EXPECT_TRUE(client.RemoteHost() == KQ_TSocket::kLoopback && client.RemotePort() == port &&
              server.RemotePort() == client.Port());
  for (KQ_TSocket* s : {&listener, &client, &server})
    EXPECT_NE(fcntl(s->Handle(), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(Raised([] { KQ_TSocket().Listen(1); }), "KQ_ECouldNotListenOnSocket");
  EXPECT_EQ(Raised([] { KQ_TSocket().Accept(); }), "KQ_ENoConnectionForAccept");
  EXPECT_EQ(Raised([&] { KQ_TSocket().Bind(KQ_TSocket::kLoopback, port, true); }),
            "KQ_ECouldNotBindSocket");
  KQ_TSocket refused;
  EXPECT_FALSE(refused.Connect(KQ_TSocket::kLoopback, KQ_TSocket().Bind(0, false).Port()));

  // A data stream over a socket whose peer goes away in the middle of a string.
  KQ_TSocketPair pair;
  Bytes const cut = Join({{0x41}, Number(0x07, 5), Number(0x0F, 10), {0, 'a'}});
  pair[1].Write(cut.data(), static_cast<std::uint32_t>(cut.size()));
  pair[1].Close();
  KQ_TDataStream in(pair[0]);
  KQ_TString text;
  EXPECT_EQ(Raised([&] { in >> text; }), "KQ_ECouldNotReadFromSocket");
}

TEST_F(SocketTest, SetsHoldAtMost512SocketsAndReportWhatWaits) {
  KQ_TSocketPair pair;
  KQ_TSocketSet set;
  std::vector<KQ_TSocket> quiet;
  for (std::uint32_t i = 0; i < KQ_TSocketSet::kMaxSockets; ++i) {
    set += quiet.emplace_back(Listener());
    set += quiet.back();  // a member is held once
  }
  pair[1].Write('x');
  AwaitInput(pair[0]);
  EXPECT_FALSE((set + pair[0]).Wait(0));  // full: the 513th is ignored
  set -= quiet[0];
  set += pair[0];
  EXPECT_TRUE(set.Wait(0) && set.Ready(pair[0]));
  EXPECT_FALSE(set.Ready(quiet[1]) || set.HasFailed(pair[0]));
  // Removing a member keeps the others.
  KQ_TSocket late;
  ASSERT_TRUE(late.Connect(KQ_TSocket::kLoopback, quiet.back().Port()));
  KQ_TSocketSet listeners = set - pair[0];
  EXPECT_TRUE(listeners.Wait(5000) && listeners.Ready(quiet.back()));

  KQ_TSocketSet waiter = KQ_TSocketSet(pair[1]) + KQ_TSocketSet(pair[0]) - pair[0];
  EXPECT_FALSE(waiter.Wait(50));
  std::thread waker([&] {
    std::this_thread::sleep_for(milliseconds(20));
    pair[0].Write('w');
  });
  EXPECT_TRUE(waiter.Wait(-1) && waiter.Ready(pair[1]));
  waker.join();
  EXPECT_EQ(pair[0].Read() + pair[1].Read(), 'x' + 'w');
  EXPECT_THROW((waiter -= pair[1]).Wait(0), KQ_ECouldNotListenOnSocket);
  EXPECT_TRUE(&pair[5] == &pair[1] && &pair[-1] == &pair[0]);
}

// In a child with 256 MiB of address space to spare, a string that claims
// 4 GiB but ends after 1 MiB raises the socket's exception.
TEST_F(SocketTest, APeerClaimingA4GiBStringCostsOnlyWhatArrives) {
  using namespace std::string_literals;
  std::string const claim =
      "\x41\x07\x7F\xFF\xFF\x00\x0F\xFF\xFF\xFE\x00"s + std::string(1 << 20, 'a');
  KQ_TSocketPair pair;
  pid_t const child = fork();
  if (child == 0) {
    pair[1].Close();  // this process's hold only
    std::uint64_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    rlim_t const bytes = pages * sysconf(_SC_PAGESIZE) + (rlim_t{256} << 20);
    rlimit const limit{bytes, bytes};
    setrlimit(RLIMIT_AS, &limit);
    KQ_TDataStream in(pair[0]);
    KQ_TString text;
    _exit(Raised([&] { in >> text; }) == "KQ_ECouldNotReadFromSocket" ? 0 : 1);
  }
  pair[1].Write(claim.data(), static_cast<std::uint32_t>(claim.size()));
  pair[1].Close();
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
