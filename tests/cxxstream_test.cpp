// The standard-stream adapter: kinds, reads, writes, skips, flushing, copies, terminals.
#include <fcntl.h>

#include <cerrno>
#include <iostream>
#include <random>
#include <streambuf>
#include <utility>

#include "kq_tcxxstream.h"
#include "kq_tlist.h"
#include "test_support.h"

using namespace kqtest;

namespace {

using CxxStreamTest = InitializedTest;

std::string ReadString(KQ_IStream& stream, std::uint32_t count) {
  std::string text(count, '\0');
  stream.Read(text.data(), count);
  return text;
}

// A device that hands out its bytes in bursts: the get area holds one burst
// at a time and nothing beyond it is reported ready, so fetching the next
// burst is what would wait on a pipe or a terminal.
class BurstBuffer : public std::streambuf {
 public:
  explicit BurstBuffer(std::vector<std::string> bursts) : fBursts(std::move(bursts)) {}
  int fFetches = 0;

 protected:
  int_type underflow() override {
    if (fNext == fBursts.size()) return traits_type::eof();
    ++fFetches;
    std::string& burst = fBursts[fNext++];
    setg(burst.data(), burst.data(), burst.data() + burst.size());
    return traits_type::to_int_type(burst[0]);
  }
  std::streamsize showmanyc() override { return 0; }

 private:
  std::vector<std::string> fBursts;
  std::size_t fNext = 0;
};

// A string buffer that counts how often it is flushed.
class CountingBuffer : public std::stringbuf {
 public:
  int fSyncs = 0;

 protected:
  int sync() override {
    ++fSyncs;
    return std::stringbuf::sync();
  }
};

// A device that takes no bytes, gives none and cannot seek.
class DeadBuffer : public std::streambuf {};

TEST_F(CxxStreamTest, TheStandardStreamsTypeChoosesTheKind) {
  std::stringstream both("x");
  std::istringstream in("x");
  std::ostringstream out;
  struct Case {
    char const* what;
    KQ_TCxxStream stream;
    bool readable, writable;
  };
  std::vector<Case> cases = {
      {"stringstream", KQ_TCxxStream(both), true, true},
      {"istringstream", KQ_TCxxStream(in), true, false},
      {"ostringstream", KQ_TCxxStream(out), false, true},
      {"istream& of a stringstream", KQ_TCxxStream(static_cast<std::istream&>(both)), true, false},
      {"ostream& of a stringstream", KQ_TCxxStream(static_cast<std::ostream&>(both)), false, true},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.stream.Readable(), c.readable);
    EXPECT_EQ(c.stream.Writable(), c.writable);
    EXPECT_FALSE(c.stream.Markable() || c.stream.Seekable());
    EXPECT_EQ(c.stream.Available(), c.readable ? 1u : 0u);
    KQ_TCxxStream s = c.stream;
    char buffer[2] = {};
    char const* const notReadable = c.readable ? "" : "KQ_EStreamIsNotReadable";
    char const* const notWritable = c.writable ? "" : "KQ_EStreamIsNotWritable";
    std::pair<char const*, std::function<void()>> const refusals[] = {
        {notReadable, [&] { s.Read(buffer, 0, 2); }},
        {notReadable, [&] { s.Read(); }},
        {notWritable, [&] { s.Write(static_cast<unsigned char>('y')); }},
        {"KQ_EStreamIsNotMarkable", [&] { s.Mark(1, 10); }},
        {"KQ_EStreamIsNotSeekable", [&] { s.Position(); }},
    };
    // A stream of each kind refuses the direction it lacks, and all of them
    // marks and positions.
    for (auto const& [raised, operation] : refusals) {
      EXPECT_EQ(*raised != '\0' ? Raised(operation) : std::string(), raised);
    }
  }
}

TEST_F(CxxStreamTest, AnUnboundAdapterRaisesNotBoundForAllButMarkableAndSeekable) {
  KQ_TCxxStream fresh;
  KQ_TCxxStream copied(fresh);
  std::ostringstream out;
  KQ_TCxxStream reassigned(out);
  reassigned = fresh;
  char buffer[4] = {};
  for (KQ_TCxxStream* s : {&fresh, &copied, &reassigned}) {
    EXPECT_FALSE(s->Markable() || s->Seekable());
    ExpectEachRaises(
        "KQ_EStreamIsNotBound",
        {[&] { s->Close(); }, [&] { s->Flush(); }, [&] { s->Readable(); }, [&] { s->Writable(); },
         [&] { s->Available(); }, [&] { s->Read(buffer, 0, 4); }, [&] { s->Skip(0); },
         [&] { s->Write(buffer, 1); }, [&] { s->Mark(0, 0); }, [&] { s->Position(); }});
  }
  EXPECT_EQ(out.str(), "");
}

TEST_F(CxxStreamTest, ReadsGiveBytesUntilTheEndAndShortCountedReadsRaise) {
  std::istringstream in(std::string("\xFF\x80\x00", 3));
  KQ_TCxxStream stream(in);
  // Bytes above 127 come back unsigned; Available follows the state.
  for (unsigned char expected : {0xFF, 0x80, 0x00}) {
    EXPECT_EQ(stream.Available(), 1u);
    EXPECT_EQ(stream.Read(), expected);
  }
  EXPECT_EQ(stream.Available(), 1u);
  EXPECT_EQ(Raised([&] { stream.Read(); }), "KQ_EStreamEndReached");
  EXPECT_EQ(stream.Available(), 0u);

  std::istringstream abc("abc");
  KQ_TCxxStream counted(abc);
  char buffer[5] = {};
  EXPECT_EQ(Raised([&] { counted.Read(buffer, 5); }), "KQ_EStreamIOError");
  EXPECT_EQ(std::string(buffer, 3), "abc");
}

TEST_F(CxxStreamTest, RangeReadsWaitForTheMinimumOnlyAndTakeWhatIsReady) {
  BurstBuffer device({"abc", "defg", "hi"});
  std::istream in(&device);
  KQ_TCxxStream stream(in);
  char buffer[10] = {};
  EXPECT_EQ(stream.Read(buffer, 2, 10), 3u);
  EXPECT_EQ(std::string(buffer, 3), "abc");
  EXPECT_EQ(device.fFetches, 1);
  // The minimum spans two bursts; the rest of the second is taken too.
  EXPECT_EQ(stream.Read(buffer, 5, 10), 6u);
  EXPECT_EQ(std::string(buffer, 6), "defghi");
  EXPECT_EQ(device.fFetches, 3);
  EXPECT_EQ(Raised([&] { stream.Read(buffer, 1, 10); }), "KQ_EStreamIOError");
}

TEST_F(CxxStreamTest, WritesReachTheStreamAndRefusedWritesRaise) {
  std::ostringstream out;
  KQ_TCxxStream stream(out);
  stream.Write(static_cast<unsigned char>(0xFF)).Write("bc\0d", 4).Write(nullptr, 0);
  EXPECT_EQ(out.str(), std::string("\377bc\0d", 5));

  DeadBuffer dead;
  std::ostream refusing(&dead);
  KQ_TCxxStream refused(refusing);
  EXPECT_EQ(Raised([&] { refused.Write("xyz", 3); }), "KQ_EStreamIOError");
}

TEST_F(CxxStreamTest, SkipMovesThePositionsOfItsKind) {
  std::istringstream in("abcdef");
  KQ_TCxxStream input(in);
  EXPECT_TRUE(input.Skip(2));
  EXPECT_EQ(input.Read(), 'c');
  EXPECT_EQ(Raised([&] { input.Skip(10); }), "KQ_EStreamIOError");
  std::ostringstream out("abcdef");
  KQ_TCxxStream output(out);
  EXPECT_TRUE(output.Skip(2));
  EXPECT_EQ(Raised([&] { output.Skip(10); }), "KQ_EStreamIOError");

  // A string stream keeps two positions: both move.
  std::stringstream both("abcdef");
  KQ_TCxxStream bidirectional(both);
  EXPECT_TRUE(bidirectional.Skip(3));
  EXPECT_EQ(bidirectional.Read(), 'd');
  bidirectional.Write(static_cast<unsigned char>('Y'));
  EXPECT_EQ(both.str(), "abcYef");

  // A file stream keeps one position for both directions: it moves once.
  std::string const path =
      testing::TempDir() + "kq_cxxstream_skip_" + std::to_string(std::random_device()());
  std::ofstream(path, std::ios_base::binary) << "abcdef";
  {
    std::fstream file(path, std::ios_base::in | std::ios_base::out | std::ios_base::binary);
    ASSERT_TRUE(file.is_open());
    KQ_TCxxStream stream(file);
    EXPECT_TRUE(stream.Skip(2));
    EXPECT_EQ(stream.Read(), 'c');
  }
  std::remove(path.c_str());

  DeadBuffer dead;
  std::istream unseekable(&dead);
  KQ_TCxxStream deadStream(unseekable);
  EXPECT_EQ(Raised([&] { deadStream.Skip(1); }), "KQ_EStreamIOError");
}

TEST_F(CxxStreamTest, CloseAndFlushFlushOutputOnlyAndNeverClose) {
  CountingBuffer device;
  std::iostream both(&device);
  {
    KQ_TCxxStream stream(both);
    stream.Write("abc", 3);
  }
  EXPECT_EQ(device.fSyncs, 0) << "the destructor flushed";
  KQ_TCxxStream stream(both);
  EXPECT_TRUE(stream.Flush());
  EXPECT_EQ(device.fSyncs, 1);
  EXPECT_TRUE(stream.Close());
  EXPECT_EQ(device.fSyncs, 2);
  stream.Write("d", 1);
  EXPECT_EQ(ReadString(stream, 4), "abcd");
  KQ_TCxxStream input(static_cast<std::istream&>(both));
  EXPECT_TRUE(input.Close() && input.Flush());
  EXPECT_EQ(device.fSyncs, 2);
}

// In a child, the far side of a new pseudo-terminal goes on one standard
// descriptor and /dev/null on the other two (status 77: no pseudo-terminal).
TEST_F(CxxStreamTest, OnlyAStandardStreamOnATerminalIsOneAndAskingKeepsThePendingError) {
  for (int terminal = 0; terminal < 3; ++terminal) {
    int const status = InChild([terminal] {
      int const leader = posix_openpt(O_RDWR | O_NOCTTY);
      char const* name =
          leader >= 0 && grantpt(leader) == 0 && unlockpt(leader) == 0 ? ptsname(leader) : nullptr;
      int const follower = name != nullptr ? open(name, O_RDWR | O_NOCTTY) : -1;
      int const none = open("/dev/null", O_RDWR);
      if (follower < 0 || none < 0) _exit(77);
      for (int d = 0; d < 3; ++d) dup2(d == terminal ? follower : none, d);
      std::ostream sharingOutput(std::cout.rdbuf());
      std::istream sharingInput(std::cin.rdbuf());
      std::stringstream text;
      // Each stream and the descriptor whose terminal makes it one (-1: none).
      std::pair<std::ios const*, int> const streams[] = {
          {&std::cin, 0},       {&std::cout, 1},     {&std::cerr, 2}, {&std::clog, 2},
          {&sharingOutput, -1}, {&sharingInput, -1}, {&text, -1}};
      bool right = true;
      for (auto const& [stream, descriptor] : streams) {
        // /dev/null is no terminal, and the system says so through errno.
        errno = EDOM;
        right = right && KQ_TCxxStream::IsTerminal(*stream) == (descriptor == terminal) &&
                errno == EDOM;
      }
      return right;
    });
    if (status == 77) GTEST_SKIP() << "no pseudo-terminal to be had";
    EXPECT_EQ(status, 0) << "the terminal on descriptor " << terminal;
  }
}

}  // namespace
