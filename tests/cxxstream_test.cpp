// The standard-stream adapter: the kind chosen by the standard stream's type,
// the unbound adapter, reads to the end and short reads, range reads that do
// not wait for more than their minimum, writes, skips, flushing without
// closing, copies, packing and printing through string and file streams, and
// which streams are terminals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <istream>
#include <memory>
#include <ostream>
#include <random>
#include <sstream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "kq_eexception.h"
#include "kq_initialization.h"
#include "kq_tany.h"
#include "kq_tcxxstream.h"
#include "kq_tdatastream.h"
#include "kq_tdict.h"
#include "kq_thumanreadablestream.h"
#include "kq_tlist.h"
#include "kq_tmemorystream.h"
#include "kq_tstring.h"

namespace {

class CxxStreamTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__()); }
};

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
  int Fetches() const { return fFetches; }

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
  int fFetches = 0;
};

// A string buffer that counts how often it is flushed.
class CountingBuffer : public std::stringbuf {
 public:
  int Syncs() const { return fSyncs; }

 protected:
  int sync() override {
    ++fSyncs;
    return std::stringbuf::sync();
  }

 private:
  int fSyncs = 0;
};

// A device that takes no bytes, gives none and cannot seek.
class DeadBuffer : public std::streambuf {};

KQ_TDict SampleDict() {
  KQ_TDict dict;
  dict["name"] = KQ_TAny("caf\xC3\xA9");
  dict["count"] = KQ_TAny(std::int32_t{-42});
  dict["big"] = KQ_TAny(std::uint64_t{18000000000000000000ull});
  dict["ratio"] = KQ_TAny(0.125);
  dict["none"] = KQ_TAny(nullptr);
  return dict;
}

KQ_TList SampleList() {
  KQ_TList list;
  list.AddAtTail(KQ_TAny(std::int8_t{-5}));
  list.AddAtTail(KQ_TAny("two\nlines"));
  list.AddAtTail(KQ_TAny('\xFF'));
  list.AddAtTail(KQ_TAny(true));
  list.AddAtTail(KQ_TAny(SampleDict()));
  return list;
}

// Gives the process a terminal (the far side of a new pseudo-terminal) on
// one standard descriptor and /dev/null on the other two for as long as it
// lives, then puts the original descriptors back. Nothing can be reported
// meanwhile: the test's own output would go to the stand-ins.
class StandardChannels {
 public:
  explicit StandardChannels(int terminal) {
    std::cout.flush();
    std::cerr.flush();
    std::clog.flush();
    std::fflush(nullptr);
    fLeader = posix_openpt(O_RDWR | O_NOCTTY);
    if (fLeader < 0 || grantpt(fLeader) != 0 || unlockpt(fLeader) != 0) return;
    char const* name = ptsname(fLeader);
    int const follower = name != nullptr ? open(name, O_RDWR | O_NOCTTY) : -1;
    int const none = open("/dev/null", O_RDWR);
    if (follower >= 0 && none >= 0) {
      for (int d = 0; d < 3; ++d) {
        fSaved[d] = dup(d);
        dup2(d == terminal ? follower : none, d);
      }
      fReady = true;
    }
    if (follower >= 0) close(follower);
    if (none >= 0) close(none);
  }
  StandardChannels(StandardChannels const&) = delete;
  StandardChannels& operator=(StandardChannels const&) = delete;
  ~StandardChannels() {
    if (fReady) {
      std::fflush(nullptr);
      for (int d = 0; d < 3; ++d) {
        if (fSaved[d] >= 0) {
          dup2(fSaved[d], d);
          close(fSaved[d]);
        } else {
          close(d);
        }
      }
    }
    if (fLeader >= 0) close(fLeader);
  }

  bool Ready() const { return fReady; }

 private:
  int fLeader = -1;
  int fSaved[3] = {-1, -1, -1};
  bool fReady = false;
};

std::string TempPath(char const* name) {
  std::random_device random;
  return testing::TempDir() + name + std::to_string(random()) + ".bin";
}

}  // namespace

TEST_F(CxxStreamTest, TheStandardStreamsTypeChoosesTheKind) {
  std::stringstream both;
  std::istringstream in;
  std::ostringstream out;
  struct Case {
    char const* what;
    KQ_TCxxStream stream;
    bool readable, writable;
  };
  std::vector<Case> cases;
  cases.push_back({"stringstream", KQ_TCxxStream(both), true, true});
  cases.push_back({"istringstream", KQ_TCxxStream(in), true, false});
  cases.push_back({"ostringstream", KQ_TCxxStream(out), false, true});
  cases.push_back({"iostream&", KQ_TCxxStream(static_cast<std::iostream&>(both)), true, true});
  cases.push_back(
      {"istream& of a stringstream", KQ_TCxxStream(static_cast<std::istream&>(both)), true, false});
  cases.push_back(
      {"ostream& of a stringstream", KQ_TCxxStream(static_cast<std::ostream&>(both)), false, true});
  std::fstream file;
  std::ifstream inFile;
  std::ofstream outFile;
  cases.push_back({"fstream", KQ_TCxxStream(file), true, true});
  cases.push_back({"ifstream", KQ_TCxxStream(inFile), true, false});
  cases.push_back({"ofstream", KQ_TCxxStream(outFile), false, true});
  KQ_TCxxStream assigned;
  assigned = both;
  cases.push_back({"assigned stringstream", assigned, true, true});
  assigned = in;
  cases.push_back({"assigned istringstream", assigned, true, false});
  assigned = out;
  cases.push_back({"assigned ostringstream", assigned, false, true});
  assigned = file;
  cases.push_back({"assigned fstream", assigned, true, true});
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.stream.Readable(), c.readable);
    EXPECT_EQ(c.stream.Writable(), c.writable);
    EXPECT_FALSE(c.stream.Markable());
    EXPECT_FALSE(c.stream.Seekable());
    EXPECT_EQ(c.stream.Available(), c.readable ? 1u : 0u);
  }

  KQ_TCxxStream adapter(both);
  EXPECT_STREQ(adapter.ClassName(), "KQ_TCxxStream");
  EXPECT_NE(adapter.KQ_Cast("KQ_IStream"), nullptr);
  EXPECT_TRUE(KQ_TCxxStream::KQ_HasInterface("KQ_IStream"));
}

TEST_F(CxxStreamTest, AnUnboundAdapterRaisesNotBoundForAllButMarkableAndSeekable) {
  std::unique_ptr<KQ_TObject> created(KQ_TCxxStream::KQ_Factory()());
  ASSERT_NE(created, nullptr);
  KQ_TCxxStream fresh;
  KQ_TCxxStream copied(fresh);
  std::ostringstream out;
  KQ_TCxxStream reassigned(out);
  reassigned = fresh;
  std::vector<std::pair<char const*, KQ_IStream*>> const adapters = {
      {"default", &fresh},
      {"factory", static_cast<KQ_IStream*>(created->KQ_Cast("KQ_IStream"))},
      {"copy of unbound", &copied},
      {"assigned unbound", &reassigned},
  };
  char buffer[4] = {};
  std::vector<std::pair<char const*, std::function<void(KQ_IStream&)>>> const operations = {
      {"Close", [](KQ_IStream& s) { s.Close(); }},
      {"Flush", [](KQ_IStream& s) { s.Flush(); }},
      {"Readable", [](KQ_IStream& s) { s.Readable(); }},
      {"Writable", [](KQ_IStream& s) { s.Writable(); }},
      {"Available", [](KQ_IStream& s) { s.Available(); }},
      {"Read()", [](KQ_IStream& s) { s.Read(); }},
      {"Read count", [&](KQ_IStream& s) { s.Read(buffer, 1); }},
      {"Read range", [&](KQ_IStream& s) { s.Read(buffer, 0, 4); }},
      {"Skip", [](KQ_IStream& s) { s.Skip(0); }},
      {"Write byte", [](KQ_IStream& s) { s.Write(static_cast<unsigned char>('x')); }},
      {"Write count", [&](KQ_IStream& s) { s.Write(buffer, 1); }},
      {"Mark", [](KQ_IStream& s) { s.Mark(0, 0); }},
      {"ClearMark", [](KQ_IStream& s) { s.ClearMark(0); }},
      {"Rewind", [](KQ_IStream& s) { s.Rewind(0); }},
      {"Position", [](KQ_IStream& s) { s.Position(); }},
      {"Seek", [](KQ_IStream& s) { s.Seek(0); }},
  };
  for (auto const& [kind, adapter] : adapters) {
    ASSERT_NE(adapter, nullptr) << kind;
    EXPECT_FALSE(adapter->Markable()) << kind;
    EXPECT_FALSE(adapter->Seekable()) << kind;
    for (auto const& [name, operation] : operations) {
      EXPECT_THROW(operation(*adapter), KQ_EStreamIsNotBound) << kind << ": " << name;
    }
  }
  EXPECT_EQ(out.str(), "");
}

TEST_F(CxxStreamTest, ReadGivesCharactersUntilTheEndAndAvailableFollowsTheState) {
  std::istringstream in("ab");
  KQ_TCxxStream stream(in);
  EXPECT_EQ(stream.Available(), 1u);
  EXPECT_EQ(stream.Read(), 'a');
  EXPECT_EQ(stream.Available(), 1u);
  EXPECT_EQ(stream.Read(), 'b');
  EXPECT_EQ(stream.Available(), 1u);
  EXPECT_THROW(stream.Read(), KQ_EStreamEndReached);
  EXPECT_EQ(stream.Available(), 0u);
  EXPECT_THROW(stream.Read(), KQ_EStreamEndReached);

  // Bytes above 127 come back unsigned.
  std::istringstream high(std::string("\xFF\x80\x00", 3));
  KQ_TCxxStream highStream(high);
  EXPECT_EQ(highStream.Read(), 0xFF);
  EXPECT_EQ(highStream.Read(), 0x80);
  EXPECT_EQ(highStream.Read(), 0x00);
  EXPECT_THROW(highStream.Read(), KQ_EStreamEndReached);
}

TEST_F(CxxStreamTest, CountedReadsRaiseWhenShortAndRangeReadsTakeWhatIsThere) {
  {
    std::istringstream in("abc");
    KQ_TCxxStream stream(in);
    char buffer[5] = {};
    EXPECT_THROW(stream.Read(buffer, 5), KQ_EStreamIOError);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    EXPECT_EQ(stream.Available(), 0u);
  }
  {
    std::istringstream in("abc");
    KQ_TCxxStream stream(in);
    char buffer[5] = {};
    EXPECT_EQ(stream.Read(buffer, 1, 5), 3u);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    EXPECT_EQ(stream.Read(buffer, 0, 5), 0u);
    EXPECT_THROW(stream.Read(buffer, 1, 5), KQ_EStreamIOError);
  }
  {
    std::istringstream in("abcdef");
    KQ_TCxxStream stream(in);
    EXPECT_EQ(ReadString(stream, 2), "ab");
    EXPECT_EQ(ReadString(stream, 0), "");
    char buffer[4] = {};
    EXPECT_THROW(stream.Read(buffer, 5, 5), KQ_EStreamIOError);
    EXPECT_EQ(std::string(buffer, 4), "cdef");
  }
  {
    // A minimum above the maximum never writes past the maximum.
    std::istringstream in("abcdef");
    KQ_TCxxStream stream(in);
    std::vector<char> buffer(2);
    EXPECT_EQ(stream.Read(buffer.data(), 4, 2), 2u);
    EXPECT_EQ(std::string(buffer.data(), 2), "ab");
    EXPECT_EQ(stream.Read(), 'c');
  }
}

TEST_F(CxxStreamTest, RangeReadsWaitForTheMinimumOnlyAndTakeWhatIsReady) {
  BurstBuffer device({"abc", "defg", "hi"});
  std::istream in(&device);
  KQ_TCxxStream stream(in);
  char buffer[10] = {};
  EXPECT_EQ(stream.Read(buffer, 2, 10), 3u);
  EXPECT_EQ(std::string(buffer, 3), "abc");
  EXPECT_EQ(device.Fetches(), 1);
  // The minimum spans two bursts; the rest of the second is taken too.
  EXPECT_EQ(stream.Read(buffer, 5, 10), 6u);
  EXPECT_EQ(std::string(buffer, 6), "defghi");
  EXPECT_EQ(device.Fetches(), 3);
  EXPECT_EQ(stream.Read(buffer, 0, 10), 0u);
  EXPECT_EQ(stream.Available(), 1u);
  EXPECT_THROW(stream.Read(buffer, 1, 10), KQ_EStreamIOError);
  EXPECT_EQ(stream.Available(), 0u);
}

TEST_F(CxxStreamTest, WritesReachTheStreamAndRefusedWritesRaise) {
  std::ostringstream out;
  KQ_TCxxStream stream(out);
  stream.Write(static_cast<unsigned char>(0xFF)).Write("bc\0d", 4).Write(nullptr, 0);
  EXPECT_EQ(out.str(), std::string("\xFF"
                                   "bc\0d",
                                   5));

  DeadBuffer dead;
  std::ostream refusing(&dead);
  KQ_TCxxStream refused(refusing);
  EXPECT_THROW(refused.Write(static_cast<unsigned char>('x')), KQ_EStreamIOError);
  refusing.clear();
  EXPECT_THROW(refused.Write("xyz", 3), KQ_EStreamIOError);
  // A stream already in error takes nothing.
  std::ostringstream failed;
  failed.setstate(std::ios_base::failbit);
  KQ_TCxxStream failedStream(failed);
  EXPECT_THROW(failedStream.Write(static_cast<unsigned char>('x')), KQ_EStreamIOError);
  EXPECT_EQ(failed.str(), "");
}

TEST_F(CxxStreamTest, EachKindRefusesTheDirectionItLacks) {
  std::istringstream in("abc");
  KQ_TCxxStream input(in);
  EXPECT_THROW(input.Write(static_cast<unsigned char>('x')), KQ_EStreamIsNotWritable);
  EXPECT_THROW(input.Write("x", 1), KQ_EStreamIsNotWritable);
  EXPECT_EQ(input.Read(), 'a');

  std::ostringstream out;
  KQ_TCxxStream output(out);
  char buffer[2] = {};
  EXPECT_THROW(output.Read(), KQ_EStreamIsNotReadable);
  EXPECT_THROW(output.Read(buffer, 1), KQ_EStreamIsNotReadable);
  EXPECT_THROW(output.Read(buffer, 0, 2), KQ_EStreamIsNotReadable);
  EXPECT_EQ(output.Available(), 0u);

  std::stringstream both("abc");
  KQ_TCxxStream bound(both);
  for (KQ_IStream* s : {static_cast<KQ_IStream*>(&input), static_cast<KQ_IStream*>(&output),
                        static_cast<KQ_IStream*>(&bound)}) {
    EXPECT_THROW(s->Mark(1, 10), KQ_EStreamIsNotMarkable);
    EXPECT_THROW(s->ClearMark(1), KQ_EStreamIsNotMarkable);
    EXPECT_THROW(s->Rewind(1), KQ_EStreamIsNotMarkable);
    EXPECT_THROW(s->Position(), KQ_EStreamIsNotSeekable);
    EXPECT_THROW(s->Seek(0), KQ_EStreamIsNotSeekable);
  }
}

TEST_F(CxxStreamTest, SkipMovesThePositionsOfItsKind) {
  std::istringstream in("abcdef");
  KQ_TCxxStream input(in);
  EXPECT_TRUE(input.Skip(2));
  EXPECT_EQ(input.Read(), 'c');
  EXPECT_TRUE(input.Skip(0));
  EXPECT_EQ(input.Read(), 'd');
  EXPECT_THROW(input.Skip(10), KQ_EStreamIOError);

  std::ostringstream out("abcdef");
  KQ_TCxxStream output(out);
  EXPECT_TRUE(output.Skip(2));
  output.Write(static_cast<unsigned char>('X'));
  EXPECT_EQ(out.str(), "abXdef");

  // A string stream keeps two positions: both move.
  std::stringstream both("abcdef");
  KQ_TCxxStream bidirectional(both);
  EXPECT_TRUE(bidirectional.Skip(3));
  EXPECT_EQ(bidirectional.Read(), 'd');
  bidirectional.Write(static_cast<unsigned char>('Y'));
  EXPECT_EQ(both.str(), "abcYef");

  // A file stream keeps one position for both directions: it moves once.
  std::string const path = TempPath("kq_cxxstream_skip_");
  { std::ofstream(path, std::ios_base::binary) << "abcdef"; }
  {
    std::fstream file(path, std::ios_base::in | std::ios_base::out | std::ios_base::binary);
    ASSERT_TRUE(file.is_open());
    KQ_TCxxStream stream(file);
    EXPECT_TRUE(stream.Skip(2));
    EXPECT_EQ(stream.Read(), 'c');
    EXPECT_TRUE(stream.Skip(1));
    EXPECT_EQ(stream.Read(), 'e');
  }
  std::remove(path.c_str());

  DeadBuffer dead;
  std::istream unseekable(&dead);
  KQ_TCxxStream deadStream(unseekable);
  EXPECT_THROW(deadStream.Skip(1), KQ_EStreamIOError);
}

TEST_F(CxxStreamTest, CloseAndFlushFlushOutputOnlyAndNeverClose) {
  CountingBuffer device;
  std::iostream both(&device);
  {
    KQ_TCxxStream stream(both);
    stream.Write("abc", 3);
  }
  EXPECT_EQ(device.Syncs(), 0) << "the destructor flushed";
  {
    KQ_TCxxStream stream(both);
    EXPECT_TRUE(stream.Flush());
    EXPECT_EQ(device.Syncs(), 1);
    EXPECT_TRUE(stream.Close());
    EXPECT_EQ(device.Syncs(), 2);
    stream.Write("d", 1);
    EXPECT_EQ(ReadString(stream, 4), "abcd");
  }
  {
    KQ_TCxxStream input(static_cast<std::istream&>(both));
    EXPECT_TRUE(input.Close());
    EXPECT_TRUE(input.Flush());
    EXPECT_EQ(device.Syncs(), 2);
    KQ_TCxxStream output(static_cast<std::ostream&>(both));
    EXPECT_TRUE(output.Close());
    EXPECT_EQ(device.Syncs(), 3);
  }

  // Close on a file stream: the bytes are on disk, the file is still open.
  std::string const path = TempPath("kq_cxxstream_close_");
  std::ofstream file(path, std::ios_base::binary);
  ASSERT_TRUE(file.is_open());
  KQ_TCxxStream stream(file);
  stream.Write("hello", 5);
  EXPECT_TRUE(stream.Close());
  EXPECT_TRUE(file.is_open());
  auto const onDisk = [&path] {
    std::ifstream reader(path, std::ios_base::binary);
    return std::string(std::istreambuf_iterator<char>(reader), std::istreambuf_iterator<char>());
  };
  EXPECT_EQ(onDisk(), "hello");
  stream.Write(static_cast<unsigned char>('!'));
  EXPECT_TRUE(stream.Flush());
  EXPECT_EQ(onDisk(), "hello!");
  file.close();
  std::remove(path.c_str());
}

TEST_F(CxxStreamTest, CopiesAndAssignmentsShareTheStandardStream) {
  std::ostringstream out;
  KQ_TCxxStream original(out);
  KQ_TCxxStream copy(original);
  KQ_TCxxStream assigned;
  assigned = original;
  original.Write("a", 1);
  copy.Write("b", 1);
  assigned.Write("c", 1);
  EXPECT_EQ(out.str(), "abc");
  EXPECT_FALSE(copy.Readable());

  // Rebinding one adapter does not affect its copies.
  std::istringstream in("xy");
  assigned = in;
  EXPECT_TRUE(assigned.Readable());
  EXPECT_FALSE(assigned.Writable());
  EXPECT_EQ(assigned.Read(), 'x');
  copy.Write("d", 1);
  EXPECT_EQ(out.str(), "abcd");
  KQ_TCxxStream const& self = assigned;
  assigned = self;
  EXPECT_EQ(assigned.Read(), 'y');
}

TEST_F(CxxStreamTest, OnlyAStandardStreamOnATerminalIsOneAndAskingKeepsThePendingError) {
  struct Stream {
    char const* name;
    std::ios const* stream;
    // The descriptor whose terminal makes the stream one; -1: none does.
    int descriptor;
  };
  std::ostream sharingOutput(std::cout.rdbuf());
  std::istream sharingInput(std::cin.rdbuf());
  std::stringstream text;
  Stream const streams[] = {
      {"cin", &std::cin, 0},
      {"cout", &std::cout, 1},
      {"cerr", &std::cerr, 2},
      {"clog", &std::clog, 2},
      {"an output stream on cout's buffer", &sharingOutput, -1},
      {"an input stream on cin's buffer", &sharingInput, -1},
      {"a string stream", &text, -1},
  };
  constexpr std::size_t kCount = sizeof streams / sizeof streams[0];
  for (int terminal = 0; terminal < 3; ++terminal) {
    bool answers[kCount] = {};
    int errors[kCount] = {};
    bool ready = false;
    {
      StandardChannels const channels(terminal);
      ready = channels.Ready();
      for (std::size_t i = 0; ready && i < kCount; ++i) {
        // /dev/null is no terminal, and the system says so through errno.
        errno = EDOM;
        answers[i] = KQ_TCxxStream::IsTerminal(*streams[i].stream);
        errors[i] = errno;
      }
    }
    if (!ready) GTEST_SKIP() << "no pseudo-terminal to be had";
    for (std::size_t i = 0; i < kCount; ++i) {
      SCOPED_TRACE(std::string(streams[i].name) + " with the terminal on descriptor " +
                   std::to_string(terminal));
      EXPECT_EQ(answers[i], streams[i].descriptor == terminal);
      EXPECT_EQ(errors[i], EDOM);
    }
  }
}

TEST_F(CxxStreamTest, PackedValuesRoundTripThroughAStringStream) {
  KQ_TDict const dict = SampleDict();
  KQ_TList const list = SampleList();
  std::stringstream both;
  KQ_TCxxStream stream(both);
  KQ_TDataStream data(stream);
  data << dict << list << std::int32_t{-7};
  EXPECT_TRUE(data.Flush());

  // The same bytes as packing into memory.
  KQ_TMemoryStream memory;
  KQ_TDataStream reference(memory);
  reference << dict << list << std::int32_t{-7};
  ASSERT_EQ(both.str().size(), memory.Size());
  EXPECT_EQ(both.str(), std::string(reinterpret_cast<char const*>(memory.Data()), memory.Size()));
  EXPECT_EQ(static_cast<unsigned char>(both.str()[0]), 69);

  KQ_TDict dictBack;
  KQ_TList listBack;
  std::int32_t number = 0;
  data >> dictBack >> listBack >> number;
  EXPECT_TRUE(dictBack == dict);
  EXPECT_TRUE(listBack == list);
  EXPECT_EQ(number, -7);
  EXPECT_THROW(data.Read(), KQ_EStreamEndReached);

  // An input-only adapter over the packed bytes rebuilds the objects too.
  std::istringstream in(both.str());
  KQ_TCxxStream input(in);
  KQ_TDataStream reader(input);
  std::unique_ptr<KQ_IPackable> extracted(reader.Extract(false));
  ASSERT_NE(extracted, nullptr);
  EXPECT_STREQ(extracted->ClassName(), "KQ_TDict");
  EXPECT_TRUE(dict.KQ_IsIdent(*extracted));
  extracted.reset(reader.Extract(false));
  ASSERT_NE(extracted, nullptr);
  EXPECT_TRUE(list.KQ_IsIdent(*extracted));
}

TEST_F(CxxStreamTest, PrintedTextRoundTripsThroughStringStreams) {
  KQ_TList const list = SampleList();
  KQ_TString const text("line \"one\"\n\t\xE2\x82\xAC");
  std::ostringstream out;
  {
    KQ_TCxxStream stream(out);
    KQ_THumanReadableStream printer(stream);
    printer << list << cr << text << cr << std::int64_t{-5000000000} << cr << 2.5 << cr;
    EXPECT_TRUE(printer.Flush());
  }
  // Exactly the text printed into memory.
  KQ_TMemoryStream memory;
  {
    KQ_THumanReadableStream printer(memory);
    printer << list << cr << text << cr << std::int64_t{-5000000000} << cr << 2.5 << cr;
  }
  EXPECT_EQ(out.str(), std::string(reinterpret_cast<char const*>(memory.Data()), memory.Size()));
  EXPECT_NE(out.str().find("-5000000000X\n2.500000\n"), std::string::npos) << out.str();

  std::istringstream in(out.str());
  KQ_TCxxStream stream(in);
  KQ_THumanReadableStream parser(stream);
  KQ_TList listBack;
  KQ_TString textBack;
  std::int64_t big = 0;
  double ratio = 0;
  parser >> listBack >> textBack >> big >> ratio;
  EXPECT_TRUE(listBack == list);
  EXPECT_TRUE(textBack == text);
  EXPECT_EQ(big, -5000000000);
  EXPECT_EQ(ratio, 2.5);
}

TEST_F(CxxStreamTest, PackedValuesRoundTripThroughAFile) {
  std::string const path = TempPath("kq_cxxstream_file_");
  KQ_TDict const dict = SampleDict();
  KQ_TList const list = SampleList();
  // Bytes that text mode or a signed char could spoil.
  std::string const raw("\r\n\x1A\xFF\x00\x80", 6);
  {
    std::fstream file(path, std::ios_base::in | std::ios_base::out | std::ios_base::trunc |
                                std::ios_base::binary);
    ASSERT_TRUE(file.is_open());
    KQ_TCxxStream stream(file);
    KQ_TDataStream data(stream);
    data << list << dict;
    stream.Write(raw.data(), static_cast<std::uint32_t>(raw.size()));
    EXPECT_TRUE(stream.Close());
    ASSERT_TRUE(file.is_open());

    file.seekg(0);
    KQ_TList listBack;
    KQ_TDict dictBack;
    data >> listBack >> dictBack;
    EXPECT_TRUE(listBack == list);
    EXPECT_TRUE(dictBack == dict);
    EXPECT_EQ(ReadString(stream, static_cast<std::uint32_t>(raw.size())), raw);
    EXPECT_THROW(stream.Read(), KQ_EStreamEndReached);
  }
  // A separate reader sees everything that was written.
  {
    std::ifstream file(path, std::ios_base::binary);
    ASSERT_TRUE(file.is_open());
    KQ_TCxxStream stream(file);
    KQ_TDataStream data(stream);
    KQ_TList listBack;
    KQ_TDict dictBack;
    data >> listBack >> dictBack;
    EXPECT_TRUE(listBack == list);
    EXPECT_TRUE(dictBack == dict);
    char buffer[16] = {};
    EXPECT_EQ(stream.Read(buffer, 1, sizeof buffer), raw.size());
    EXPECT_EQ(std::string(buffer, raw.size()), raw);
  }
  EXPECT_EQ(std::remove(path.c_str()), 0);
}
