// Byte streams over memory, over a data block and in front of another
// stream: what every kind shares (reads at and beyond the end, skips, seeks
// and marks), and each one's own rules: the memory stream's growth, cuts,
// lent buffers, expanders, copies and 32-bit limits; the block stream's
// writes in place and shared blocks; the buffered stream's buffer sizes,
// refills, one position for reads and writes, and unbound operations.
#include <gtest/gtest.h>

#include <utility>

#include "kq_tblockstream.h"
#include "kq_tbufferedstream.h"
#include "kq_tcxxstream.h"
#include "kq_tlist.h"
#include "test_support.h"

using namespace kqtest;

namespace {

KQ_TDataBlock Block(std::string const& text) {
  return KQ_TDataBlock(text.data(), static_cast<std::uint32_t>(text.size()));
}

// Ten bytes through a stream of each kind: reads at and beyond the end,
// skips, seeks and marks behave alike, but for a buffered stream keeping
// what a failed read took and clearing a mark without a table of marks.
TEST(Streams, EveryKindReadsSkipsSeeksAndMarksAlike) {
  KQ_TMemoryStream memory, belowBuffered, belowData;
  KQ_TBlockStream block;
  KQ_TBufferedStream buffered(belowBuffered);
  KQ_TDataStream data(belowData);
  struct Kind {
    char const* name;
    KQ_IStream& stream;
    bool buffered;
  };
  for (Kind const& kind : {Kind{"memory", memory, false}, Kind{"block", block, false},
                           Kind{"buffered", buffered, true}, Kind{"data", data, false}}) {
    SCOPED_TRACE(kind.name);
    KQ_IStream& s = kind.stream;
    EXPECT_TRUE(s.Readable() && s.Writable() && s.Markable() && s.Seekable());
    EXPECT_TRUE(s.Flush() && s.Close());
    EXPECT_EQ(Raised([&] { s.Rewind(0); }), "KQ_EIllegalStreamMark");
    EXPECT_EQ(Raised([&] { s.ClearMark(0); }), kind.buffered ? "" : "KQ_EIllegalStreamMark");

    WriteText(s, "0123456789");
    EXPECT_EQ(s.Position(), 10u);
    EXPECT_EQ(s.Seek(4), 10u);
    char buffer[16] = {};
    EXPECT_EQ(Raised([&] { s.Read(buffer, 7); }), "KQ_EStreamEndReached");
    EXPECT_EQ(s.Position(), kind.buffered ? 10u : 4u);
    s.Seek(4);
    EXPECT_EQ(Raised([&] { s.Read(buffer, 7, 10); }), "KQ_EStreamEndReached");
    s.Seek(4);
    EXPECT_EQ(s.Read(buffer, 2, 3), 3u);
    EXPECT_EQ(s.Read(buffer, 0, 16), 3u);
    EXPECT_EQ(std::string(buffer, 3), "789");
    s.Seek(5);
    EXPECT_FALSE(s.Skip(6));
    EXPECT_EQ(s.Position(), 5u);
    EXPECT_TRUE(s.Skip(5));
    EXPECT_EQ(s.Position(), 10u);

    // A mark returns to where it was set (its limit is not used); one never
    // set, or cleared, is at 0.
    s.Seek(2);
    s.Mark(3, 1);
    s.Seek(17);
    s.Mark(255, 0);
    s.Seek(6);
    s.Rewind(3);
    EXPECT_EQ(s.Position(), 2u);
    EXPECT_EQ(s.Read(), '2');
    s.Rewind(7);
    EXPECT_EQ(s.Position(), 0u);
    s.Seek(5);
    s.ClearMark(3).Rewind(3);
    EXPECT_EQ(s.Position(), 0u);
    s.Rewind(255);
    EXPECT_EQ(s.Position(), 17u);

    // Beyond the end nothing is read, and a write extends to its own end.
    EXPECT_EQ(s.Available(), 0u);
    EXPECT_EQ(Raised([&] { s.Read(); }), "KQ_EStreamEndReached");
    EXPECT_EQ(s.Read(buffer, 0, 4), 0u);
    EXPECT_FALSE(s.Skip(1));
    s.Write(static_cast<unsigned char>('z'));
    EXPECT_EQ(s.Seek(0), 18u);
    s.Read(buffer, 10);
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
    s.Seek(17);
    EXPECT_EQ(s.Read(), 'z');
  }
}

// The memory stream

TEST(MemoryStream, AnOwnedBufferGrowsToTwiceTheNeedInWholeKiB) {
  struct Case {
    std::uint32_t first, second, capacityAfterFirst, capacityAfterSecond;
  };
  // Two bulk writes to a fresh stream and the capacity after each.
  Case const cases[] = {
      {1, 0, 1024, 1024}, {511, 1, 1024, 1024}, {513, 0, 2048, 2048}, {1024, 1025, 2048, 5120}};
  for (Case const& c : cases) {
    SCOPED_TRACE(std::to_string(c.first) + " then " + std::to_string(c.second));
    Bytes bytes(c.first + c.second);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7);
    KQ_TMemoryStream stream;
    stream.Write(bytes.data(), c.first);
    EXPECT_EQ(stream.Capacity(), c.capacityAfterFirst);
    stream.Write(bytes.data() + c.first, c.second);
    EXPECT_EQ(stream.Capacity(), c.capacityAfterSecond);
    EXPECT_EQ(BytesIn(stream), bytes);
  }
  // Byte writes grow at needs of 1, 1025 and 3073 bytes; beyond the
  // capacity the need counts from the position, and indexing and SetSize
  // grow alike.
  KQ_TMemoryStream stream;
  Bytes written;
  std::vector<std::uint32_t> capacities;
  for (std::uint32_t i = 0; i < 4000; ++i) {
    written.push_back(static_cast<unsigned char>(i % 251));
    stream.Write(written.back());
    if (capacities.empty() || capacities.back() != stream.Capacity()) {
      capacities.push_back(stream.Capacity());
    }
  }
  EXPECT_EQ(capacities, (std::vector<std::uint32_t>{1024, 3072, 7168}));
  EXPECT_EQ(BytesIn(stream), written);
  stream.Seek(20000);
  WriteText(stream, "end");
  EXPECT_EQ(stream.Size(), 20003u);
  EXPECT_EQ(stream.Capacity(), 40960u);
  stream[49999] = 'Q';
  EXPECT_EQ(stream.Size(), 50000u);
  EXPECT_EQ(stream.Capacity(), 100352u);
  EXPECT_EQ(Raised([&] { std::as_const(stream)[50000]; }), "KQ_EStreamEndReached");
  stream.SetSize(10);
  EXPECT_EQ(stream.Position(), 10u);
  stream.SetSize(120000);
  EXPECT_EQ(stream.Capacity(), 240640u);
  EXPECT_EQ(stream.Position(), 10u);
}

TEST(MemoryStream, AWriteAfterABackwardSeekCutsTheStreamAndMayComeFromItsOwnBuffer) {
  KQ_TMemoryStream stream;
  WriteText(stream, "abcdef");
  stream.Seek(2);
  stream.Write(static_cast<unsigned char>('x'));
  EXPECT_EQ(Chars(stream), "abx");
  stream.Seek(1);
  WriteText(stream, "YZ");
  EXPECT_EQ(Chars(stream), "aYZ");
}

TEST(MemoryStream, ALentBufferIsFixedCopiedOrGrownByAnExpander) {
  unsigned char lent[4] = {};
  KQ_TMemoryStream stream(lent, sizeof lent, 0);
  stream.Mark(1, 0);
  for (unsigned char b : {'a', 'b', 'c', 'd'}) stream.Write(b);
  EXPECT_EQ(Raised([&] { stream.Write(static_cast<unsigned char>('e')); }), "KQ_EStreamEndReached");
  // A failed bulk write leaves the size alone, even when it would have cut.
  stream.Seek(1);
  EXPECT_EQ(Raised([&] { WriteText(stream, "wxyz"); }), "KQ_EStreamEndReached");
  EXPECT_EQ(Raised([&] { stream.SetSize(5); }), "KQ_EStreamEndReached");
  EXPECT_EQ(stream.Size(), 4u);
  EXPECT_EQ(std::string(lent, lent + 4), "abcd");
  // SetBuffer and Clear drop the marks; the size given is cut to the
  // capacity, and a null buffer has none.
  stream.SetBuffer(lent, sizeof lent, 10);
  EXPECT_EQ(Raised([&] { stream.Rewind(1); }), "KQ_EIllegalStreamMark");
  EXPECT_EQ(Chars(stream), "abcd");
  stream.Mark(1, 0).Seek(2);
  stream.Clear();
  EXPECT_EQ(Raised([&] { stream.Rewind(1); }), "KQ_EIllegalStreamMark");
  EXPECT_EQ(stream.Position() + stream.Size() + stream.Capacity(), 0u);
}

// Grows a malloc'ed buffer with realloc, which moves it whenever it likes,
// and records what the stream asked for.
struct Expander {
  static inline std::vector<std::uint32_t> offered;
  static inline std::uint32_t extra = 0;
  static inline bool refuse = false;
  static inline bool shrink = false;

  static void* Expand(KQ_TMemoryStream& stream, std::uint32_t& capacity) {
    offered.push_back(capacity);
    if (refuse) return nullptr;
    capacity = shrink ? 2 : capacity + extra;
    return std::realloc(stream.Data(), capacity);
  }
};

TEST(MemoryStream, AnExpanderSuppliesLargerBuffers) {
  KQ_TMemoryStream stream(std::malloc(8), 8, 0, &Expander::Expand);
  WriteText(stream, "12345678");
  EXPECT_TRUE(Expander::offered.empty());
  std::string const text(5000, 't');
  WriteText(stream, text);
  stream.Write(static_cast<unsigned char>('!'));
  // One call for the bulk write; the byte fits.
  EXPECT_EQ(Expander::offered, (std::vector<std::uint32_t>{10240}));
  // The expander may give more than asked for; the stream takes it.
  Expander::extra = 100;
  stream.Seek(10240);
  stream.Write(static_cast<unsigned char>('#'));
  EXPECT_EQ(stream.Capacity(), 21504u + 100u);
  EXPECT_EQ(stream.Data()[5008], '!');
  // A refusal raises KQ_EOutOfMemory and changes nothing.
  Expander::refuse = true;
  unsigned char const* data = stream.Data();
  stream.Seek(21604);
  EXPECT_EQ(Raised([&] { stream.Write(static_cast<unsigned char>(1)); }), "KQ_EOutOfMemory");
  EXPECT_EQ(stream.Capacity(), 21604u);
  EXPECT_EQ(stream.Data(), data);
  // The buffer stays the caller's: the stream does not free it.
  void* mine = stream.Data();
  stream.Clear();
  std::free(mine);

  // One that gives too little cannot make the stream overrun.
  Expander::refuse = false;
  Expander::shrink = true;
  KQ_TMemoryStream small(std::malloc(4), 4, 0, &Expander::Expand);
  WriteText(small, "abcd");
  EXPECT_EQ(Raised([&] { WriteText(small, "efgh"); }), "KQ_EOutOfMemory");
  EXPECT_EQ(small.Capacity(), 2u);
  EXPECT_EQ(small.Size(), 2u);
  std::free(small.Data());
}

TEST(MemoryStream, NeedsBeyondThirtyTwoBitsRaiseInsteadOfWrapping) {
  KQ_TMemoryStream stream;
  WriteText(stream, "abc");
  for (std::uint32_t position : {0xFFFFFFFFu, 0xFFFFFFF0u, 0x80000000u}) {
    stream.Seek(position);
    EXPECT_EQ(Raised([&] { WriteText(stream, std::string(32, 'x')); }), "KQ_EOutOfMemory");
    EXPECT_EQ(Raised([&] { stream.Write(static_cast<unsigned char>(1)); }), "KQ_EOutOfMemory");
  }
  EXPECT_EQ(Raised([&] { stream[0xFFFFFFFFu]; }), "KQ_EOutOfMemory");
  EXPECT_EQ(stream.Capacity(), 1024u);
  EXPECT_EQ(Chars(stream), "abc");
}

TEST(MemoryStream, ConstCopiesOwnTheirBytesAndNonConstOnesShareALentBuffer) {
  unsigned char lent[11] = {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'};
  KQ_TMemoryStream original(lent, 11, 11);
  original.SetCopyIfNeeded(true);
  original.Seek(6);
  original.Mark(9, 0);
  original.Seek(3);
  KQ_TMemoryStream copy(std::as_const(original));
  KQ_TMemoryStream shared(original);
  EXPECT_EQ(copy.Position(), 3u);
  EXPECT_NE(copy.Data(), lent);
  EXPECT_EQ(shared.Data(), lent);
  original.Mark(9, 0);  // at 3; the copies keep tables of their own
  // A const copy grows freely; growing copies the sharer's bytes away.
  for (KQ_TMemoryStream* s : {&copy, &shared}) {
    s->Rewind(9);
    EXPECT_EQ(s->Position(), 6u);
    s->Write(static_cast<unsigned char>('W'));
    WriteText(*s, "?????");
    EXPECT_EQ(Chars(*s), "hello W?????");
  }
  EXPECT_EQ(std::string(lent, lent + 11), "hello World");
  EXPECT_NE(shared.Data(), lent);
  EXPECT_EQ(original.Data(), lent);
}

// The block stream

TEST(BlockStream, WritesOverwriteInPlaceAndAStreamWithoutABlockHasNothingToRead) {
  KQ_TBlockStream stream;
  char buffer[8] = {};
  EXPECT_EQ(Raised([&] { stream.Read(buffer, 0); }), "KQ_EStreamEndReached");
  EXPECT_EQ(Raised([&] { stream.Read(buffer, 0, 1); }), "KQ_EStreamEndReached");
  EXPECT_FALSE(stream.Skip(0));
  WriteText(stream, "abcdef");
  stream.Seek(2);
  stream.Write(static_cast<unsigned char>('x'));
  WriteText(stream, "YZ");
  EXPECT_EQ(Chars(stream.DataBlock()), "abxYZf");
  WriteText(stream, "12");
  EXPECT_EQ(Chars(stream.DataBlock()), "abxYZ12");
}

TEST(BlockStream, BlocksAreWorkedOnInPlaceSharedOrCopied) {
  KQ_TDataBlock callers = Block("0123");
  KQ_TBlockStream borrowing(callers);
  borrowing.Seek(4);
  WriteText(borrowing, "45");
  borrowing.Mark(7, 0);
  KQ_TBlockStream owning(std::as_const(callers));
  owning.Seek(1);

  struct Case {
    char const* name;
    KQ_TBlockStream* source;
    bool asConst, shares;
  };
  for (Case const& c :
       {Case{"borrowing", &borrowing, false, true},
        Case{"borrowing, const", &borrowing, true, false}, Case{"owning", &owning, false, false}}) {
    SCOPED_TRACE(c.name);
    KQ_TBlockStream target;
    c.asConst ? target = std::as_const(*c.source) : target = *c.source;
    EXPECT_EQ(target.Position(), c.source->Position());
    EXPECT_EQ(&target.DataBlock() == &c.source->DataBlock(), c.shares);
    EXPECT_EQ(Chars(target.DataBlock()), Chars(c.source->DataBlock()));
  }
  KQ_TBlockStream copy(borrowing);
  copy.Rewind(7);
  EXPECT_TRUE(copy.Position() == 6u && &copy.DataBlock() != &borrowing.DataBlock());
  EXPECT_EQ(Chars(callers), "012345");

  // A block assigned starts over at 0 without marks; the stream's own block
  // handed back stays its own.
  owning = callers;
  EXPECT_EQ(Raised([&] { owning.Rewind(7); }), "KQ_EIllegalStreamMark");
  WriteText(owning, "Q");
  EXPECT_EQ(Chars(callers), "Q12345");
}

TEST(BlockStream, SizeChangesAndClearForgetTheMarks) {
  KQ_TBlockStream stream(Block("0123456789"));
  stream.Seek(8);
  stream.Mark(5, 0);
  stream.SetSize(3);
  EXPECT_EQ(stream.Position(), 3u);
  EXPECT_EQ(Raised([&] { stream.Rewind(5); }), "KQ_EIllegalStreamMark");
  stream.SetSize(6).Seek(2);
  stream.Mark(1, 0).Seek(5);
  stream.Rewind(1);
  EXPECT_EQ(stream.Read(), '2');
  stream.Clear();
  EXPECT_EQ(stream.Size(), 0u);
  EXPECT_EQ(Raised([&] { stream.Rewind(1); }), "KQ_EIllegalStreamMark");
}

// The buffered stream

// A memory stream that counts the calls that fetch bytes from it.
class CountingStream : public KQ_TMemoryStream {
 public:
  std::uint32_t Read(void* buffer, std::uint32_t minimum, std::uint32_t maximum) override {
    ++fRangeReads;
    return KQ_TMemoryStream::Read(buffer, minimum, maximum);
  }
  int fRangeReads = 0;
};

TEST(BlockStream, PackedValuesGoInAndComeBackAsFromMemoryWhereverTheyStart) {
  KQ_TList list;
  for (std::int32_t i = 0; i < 500; ++i) list.AddAtTail(i % 2 ? KQ_TAny(i) : KQ_TAny("text"));
  Bytes const packed = Packed(list);

  struct Case {
    char const* name;
    std::string before;  // the block's bytes before packing
    std::uint32_t position;
  } const cases[] = {
      {"inside a longer block", std::string(20000, 'q'), 7},
      {"beyond the end", "head", 9},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    KQ_TDataBlock block;
    block.SetData(c.before.data(), static_cast<std::uint32_t>(c.before.size()));
    KQ_TBlockStream stream(block);
    stream.Seek(c.position);
    KQ_TDataStream packer(stream);
    packer << list;
    std::uint32_t const end = c.position + static_cast<std::uint32_t>(packed.size());
    EXPECT_EQ(stream.Position(), end);
    std::string const after = Chars(block);
    ASSERT_EQ(after.size(), std::max<std::size_t>(end, c.before.size()));
    EXPECT_EQ(after.substr(0, std::min<std::size_t>(c.position, c.before.size())),
              c.before.substr(0, c.position));
    EXPECT_EQ(Raw(after.substr(c.position, packed.size())), packed);
    EXPECT_EQ(after.substr(std::min<std::size_t>(end, after.size())),
              c.before.substr(std::min<std::size_t>(end, c.before.size())));

    stream.Seek(c.position);
    KQ_TList back;
    packer >> back;
    EXPECT_TRUE(back == list);
    EXPECT_EQ(stream.Position(), end);
  }
}

TEST(BufferedStream, AFullWriteBufferGoesOutInOneWrite) {
  EXPECT_EQ(KQ_TBufferedStream(100, 100).WriteBufferSize(), 256u);
  KQ_TMemoryStream memory;
  KQ_TBufferedStream stream(memory, 256, 256);
  for (int i = 0; i < 600; ++i) stream.Write(static_cast<unsigned char>(i));
  EXPECT_EQ(memory.Size(), 512u);
  EXPECT_EQ(stream.Position(), 600u);
  EXPECT_TRUE(stream.Flush());
  EXPECT_EQ(memory.Size(), 600u);
  // A block write fills the buffer to its end before each flush.
  WriteText(stream, std::string(700, 'b'));
  EXPECT_EQ(memory.Size(), 600u + 512u);
}

TEST(BufferedStream, ReadsRefillABufferFullAtATime) {
  std::string text;
  for (int i = 0; i < 1000; ++i) text += static_cast<char>('a' + i % 26);
  CountingStream memory;
  WriteText(memory, text);
  memory.Seek(0);
  KQ_TBufferedStream stream(memory, 300, 300);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(stream.Read(), text[i]);
  EXPECT_EQ(memory.fRangeReads, 1);
  EXPECT_EQ(stream.Available(), 990u);
  char buffer[600];
  stream.Read(buffer, 600);
  EXPECT_EQ(std::string(buffer, 600), text.substr(10, 600));
  EXPECT_EQ(stream.Read(buffer, 0, 600), 290u);
  EXPECT_EQ(memory.fRangeReads, 3);
  EXPECT_TRUE(stream.Skip(50));
  EXPECT_EQ(stream.Read(), text[950]);
  // Bytes read before the end stay in the caller's buffer.
  KQ_TMemoryStream shortMemory;
  WriteText(shortMemory, "xyz");
  shortMemory.Seek(0);
  KQ_TBufferedStream shortStream(shortMemory);
  EXPECT_EQ(Raised([&] { shortStream.Read(buffer, 5); }), "KQ_EStreamEndReached");
  EXPECT_EQ(std::string(buffer, 3), "xyz");
}

TEST(BufferedStream, ReadsAndWritesShareOnePosition) {
  KQ_TDataBlock bytes = Block("0123456789");
  KQ_TBlockStream block(bytes);
  block.Seek(2);
  KQ_TBufferedStream stream(block);
  EXPECT_EQ(stream.Position(), 2u);
  EXPECT_EQ(stream.Read(), '2');
  EXPECT_EQ(stream.Read(), '3');
  // The write goes where the reading stopped.
  WriteText(stream, "ab");
  EXPECT_EQ(stream.Position(), 6u);
  // Reading again writes the waiting bytes out first and goes on after them.
  EXPECT_EQ(stream.Read(), '6');
  EXPECT_EQ(Chars(bytes), "0123ab6789");
  EXPECT_EQ(stream.Position(), 7u);
}

TEST(BufferedStream, CapabilitiesComeFromTheBoundStream) {
  KQ_TBufferedStream unbound;
  EXPECT_FALSE(unbound.Readable() || unbound.Writable() || unbound.Markable() ||
               unbound.Seekable());
  char buffer[1];
  ExpectEachRaises(
      "KQ_EStreamIsNotBound",
      {[&] { unbound.Close(); }, [&] { unbound.Flush(); }, [&] { unbound.Available(); },
       [&] { unbound.Read(buffer, 0, 1); }, [&] { unbound.Skip(0); },
       [&] { unbound.Write(buffer, 0); }, [&] { unbound.Mark(0, 0); }, [&] { unbound.Position(); },
       [&] { unbound.Seek(0); }});

  std::stringstream text("abc");
  KQ_TCxxStream adapter(text);
  KQ_TBufferedStream overAdapter(adapter);
  EXPECT_TRUE(overAdapter.Readable() && !overAdapter.Seekable());
  EXPECT_EQ(Raised([&] { overAdapter.Mark(0, 0); }), "KQ_EStreamIsNotMarkable");
  EXPECT_EQ(Raised([&] { overAdapter.Rewind(0); }), "KQ_EStreamIsNotMarkable");
  EXPECT_EQ(Raised([&] { overAdapter.Position(); }), "KQ_EStreamIsNotSeekable");
  // Without positions, bytes read ahead survive a write.
  EXPECT_EQ(overAdapter.Read(), 'a');
  WriteText(overAdapter, "Z");
  EXPECT_EQ(overAdapter.Read(), 'b');
}

}  // namespace
