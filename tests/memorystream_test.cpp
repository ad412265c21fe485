// The memory stream: growth of owned buffers, truncation by writes after a
// backward seek, positions beyond the end, marks, lent buffers (fixed, copied
// when needed, grown by an expander), copies and the 32-bit limits.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "kq_eexception.h"
#include "kq_istream.h"
#include "kq_tdatastream.h"
#include "kq_tmemorystream.h"

namespace {

std::string Contents(KQ_TMemoryStream const& stream) {
  return std::string(reinterpret_cast<char const*>(stream.Data()), stream.Size());
}

void WriteText(KQ_IStream& stream, std::string const& text) {
  stream.Write(text.data(), static_cast<std::uint32_t>(text.size()));
}

std::uint32_t GrownCapacity(std::uint64_t needed) {
  return static_cast<std::uint32_t>((2 * needed + 1023) & ~std::uint64_t{1023});
}

}  // namespace

TEST(MemoryStream, FreshStreamIsEmptyAndAnswersAllCapabilities) {
  KQ_TMemoryStream stream;
  KQ_IStream& s = stream;
  EXPECT_TRUE(s.Readable());
  EXPECT_TRUE(s.Writable());
  EXPECT_TRUE(s.Markable());
  EXPECT_TRUE(s.Seekable());
  EXPECT_TRUE(s.Close());
  EXPECT_TRUE(s.Flush());
  EXPECT_EQ(s.Available(), 0u);
  EXPECT_EQ(stream.Data(), nullptr);
  EXPECT_EQ(stream.Capacity(), 0u);
  EXPECT_THROW(s.Read(), KQ_EStreamEndReached);
  unsigned char byte = 0;
  EXPECT_THROW(s.Read(&byte, 1), KQ_EStreamEndReached);
  EXPECT_THROW(s.Read(&byte, 1, 1), KQ_EStreamEndReached);
  EXPECT_EQ(s.Read(&byte, 0, 1), 0u);
  EXPECT_FALSE(s.Skip(1));
  EXPECT_TRUE(s.Skip(0));
  EXPECT_EQ(s.Position(), 0u);
  EXPECT_STREQ(stream.ClassName(), "KQ_TMemoryStream");
  EXPECT_NE(stream.KQ_Cast("KQ_IStream"), nullptr);
}

TEST(MemoryStream, OwnedBufferGrowsToTwiceTheNeedInWholeKiB) {
  struct Case {
    std::uint32_t first, second, capacityAfterFirst, capacityAfterSecond;
  };
  // Two bulk writes to a fresh stream and the capacity after each.
  Case const cases[] = {
      {1, 0, 1024, 1024},       {511, 1, 1024, 1024},  {512, 0, 1024, 1024},
      {513, 0, 2048, 2048},     {1024, 0, 2048, 2048}, {1024, 1025, 2048, 5120},
      {1024, 1024, 2048, 2048}, {3000, 1, 6144, 6144}, {2048, 1, 4096, 4096},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(std::to_string(c.first) + " then " + std::to_string(c.second));
    std::vector<unsigned char> bytes(c.first + c.second);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7);
    KQ_TMemoryStream stream;
    stream.Write(bytes.data(), c.first);
    EXPECT_EQ(stream.Capacity(), c.capacityAfterFirst);
    stream.Write(bytes.data() + c.first, c.second);
    EXPECT_EQ(stream.Capacity(), c.capacityAfterSecond);
    ASSERT_EQ(stream.Size(), bytes.size());
    EXPECT_EQ(std::memcmp(stream.Data(), bytes.data(), bytes.size()), 0);
  }
}

TEST(MemoryStream, ByteWritesGrowAtTheSameBoundariesAndReadBackInOrder) {
  KQ_TMemoryStream stream;
  KQ_IStream& s = stream;
  std::vector<std::uint32_t> capacities;
  for (std::uint32_t i = 0; i < 10000; ++i) {
    s.Write(static_cast<unsigned char>(i % 251));
    if (capacities.empty() || capacities.back() != stream.Capacity()) {
      capacities.push_back(stream.Capacity());
    }
  }
  // Needs of 1, 1025, 3073 and 7169 bytes trigger the growth.
  EXPECT_EQ(capacities, (std::vector<std::uint32_t>{1024, 3072, 7168, 15360}));
  EXPECT_EQ(stream.Size(), 10000u);
  EXPECT_EQ(s.Position(), 10000u);
  EXPECT_EQ(s.Seek(0), 10000u);
  for (std::uint32_t i = 0; i < 10000; ++i) {
    ASSERT_EQ(s.Read(), static_cast<unsigned char>(i % 251)) << i;
  }
  EXPECT_EQ(s.Available(), 0u);
  EXPECT_THROW(s.Read(), KQ_EStreamEndReached);
  EXPECT_EQ(s.Position(), 10000u);
}

TEST(MemoryStream, WriteAfterBackwardSeekCutsTheStream) {
  KQ_TMemoryStream stream;
  WriteText(stream, "abcdef");
  EXPECT_EQ(stream.Seek(2), 6u);
  stream.Write(static_cast<unsigned char>('x'));
  EXPECT_EQ(Contents(stream), "abx");
  EXPECT_EQ(stream.Position(), 3u);
  EXPECT_EQ(stream.Available(), 0u);

  // A bulk write cuts the same way, and so does one of no bytes.
  WriteText(stream, "defgh");
  stream.Seek(1);
  WriteText(stream, "YZ");
  EXPECT_EQ(Contents(stream), "aYZ");
  stream.Seek(1);
  stream.Write("", 0);
  EXPECT_EQ(Contents(stream), "a");
}

TEST(MemoryStream, ReadsCheckWhatIsLeftAndFailWithoutMoving) {
  KQ_TMemoryStream stream;
  WriteText(stream, "0123456789");
  stream.Seek(4);
  char buffer[16] = {};
  EXPECT_THROW(stream.Read(buffer, 7), KQ_EStreamEndReached);
  EXPECT_THROW(stream.Read(buffer, 7, 10), KQ_EStreamEndReached);
  EXPECT_EQ(stream.Position(), 4u);
  EXPECT_EQ(stream.Read(buffer, 2, 3), 3u);
  EXPECT_EQ(std::string(buffer, 3), "456");
  EXPECT_EQ(stream.Read(buffer, 0, 16), 3u);
  EXPECT_EQ(std::string(buffer, 3), "789");
  stream.Seek(0);
  stream.Read(buffer, 10);
  EXPECT_EQ(std::string(buffer, 10), "0123456789");
  stream.Seek(5);
  EXPECT_FALSE(stream.Skip(6));
  EXPECT_EQ(stream.Position(), 5u);
  EXPECT_TRUE(stream.Skip(5));
  EXPECT_EQ(stream.Position(), 10u);
}

TEST(MemoryStream, WritingInPlaceOffersOnlyTheRoomThereIsAndCutsLikeAWrite) {
  unsigned char lent[8] = {};
  KQ_TMemoryStream stream(lent, sizeof lent, 0);
  EXPECT_EQ(stream.WriteRoom(9), nullptr);
  unsigned char* room = stream.WriteRoom(5);
  ASSERT_EQ(room, lent);
  std::memcpy(room, "hello", 5);
  stream.Wrote(5);
  EXPECT_EQ(Contents(stream), "hello");
  EXPECT_EQ(stream.Position(), 5u);
  EXPECT_EQ(stream.WriteRoom(4), nullptr);
  EXPECT_EQ(stream.WriteRoom(3), lent + 5);

  // After a backward seek the room starts at the position, and taking it
  // cuts the stream there.
  stream.Seek(1);
  room = stream.WriteRoom(2);
  ASSERT_EQ(room, lent + 1);
  room[0] = 'E';
  room[1] = 'L';
  stream.Wrote(2);
  EXPECT_EQ(Contents(stream), "hEL");

  // A fresh owning stream has no room until a write has grown it.
  KQ_TMemoryStream fresh;
  EXPECT_EQ(fresh.WriteRoom(1), nullptr);
  WriteText(fresh, "x");
  EXPECT_NE(fresh.WriteRoom(100), nullptr);
}

TEST(MemoryStream, PositionBeyondTheSizeReadsNothingAndWritingExtends) {
  KQ_TMemoryStream stream;
  WriteText(stream, "abc");
  EXPECT_EQ(stream.Seek(10), 3u);
  EXPECT_EQ(stream.Available(), 0u);
  EXPECT_THROW(stream.Read(), KQ_EStreamEndReached);
  char buffer[4];
  EXPECT_EQ(stream.Read(buffer, 0, 4), 0u);
  EXPECT_FALSE(stream.Skip(1));
  EXPECT_TRUE(stream.Skip(0));
  EXPECT_EQ(stream.Position(), 10u);
  EXPECT_EQ(stream.Size(), 3u);
  stream.Write(static_cast<unsigned char>('z'));
  EXPECT_EQ(stream.Size(), 11u);
  EXPECT_EQ(stream.Data()[0], 'a');
  EXPECT_EQ(stream.Data()[10], 'z');

  // Beyond the capacity the need counts from the position.
  stream.Seek(5000);
  WriteText(stream, "end");
  EXPECT_EQ(stream.Size(), 5003u);
  EXPECT_EQ(stream.Capacity(), GrownCapacity(5003));
  EXPECT_EQ(std::string(reinterpret_cast<char const*>(stream.Data()) + 5000, 3), "end");
}

TEST(MemoryStream, MarksReturnToRecordedPositionsAndNeedATable) {
  KQ_TMemoryStream stream;
  WriteText(stream, std::string(300, 'm'));
  EXPECT_THROW(stream.Rewind(0), KQ_EIllegalStreamMark);
  EXPECT_THROW(stream.ClearMark(0), KQ_EIllegalStreamMark);

  stream.Seek(2);
  stream.Mark(3, 1);  // the limit is not used
  char buffer[200];
  stream.Read(buffer, 200);
  stream.Rewind(3);
  EXPECT_EQ(stream.Position(), 2u);
  stream.Seek(17);
  stream.Mark(255, 0);
  stream.Seek(250);
  stream.Rewind(255);
  EXPECT_EQ(stream.Position(), 17u);
  // A mark never set is at 0; so is a cleared one.
  stream.Seek(50);
  stream.Rewind(7);
  EXPECT_EQ(stream.Position(), 0u);
  stream.ClearMark(3);
  stream.Seek(50);
  stream.Rewind(3);
  EXPECT_EQ(stream.Position(), 0u);
  stream.Rewind(255);
  EXPECT_EQ(stream.Position(), 17u);

  // Clear and SetBuffer drop the table.
  stream.Clear();
  EXPECT_THROW(stream.Rewind(255), KQ_EIllegalStreamMark);
  stream.Mark(1, 0);
  unsigned char lent[4];
  stream.SetBuffer(lent, sizeof lent, 0);
  EXPECT_THROW(stream.ClearMark(1), KQ_EIllegalStreamMark);
}

TEST(MemoryStream, LentBufferWithoutGrowthIsFixed) {
  unsigned char lent[4] = {};
  KQ_TMemoryStream stream(lent, sizeof lent, 0);
  EXPECT_FALSE(stream.CopyIfNeeded());
  EXPECT_EQ(stream.Data(), lent);
  for (unsigned char b : {'a', 'b', 'c', 'd'}) stream.Write(b);
  EXPECT_THROW(stream.Write(static_cast<unsigned char>('e')), KQ_EStreamEndReached);
  EXPECT_EQ(stream.Size(), 4u);
  EXPECT_EQ(stream.Position(), 4u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(lent), 4), "abcd");

  // A failed bulk write leaves the size alone, even when it would have cut.
  stream.Seek(1);
  EXPECT_THROW(WriteText(stream, "wxyz"), KQ_EStreamEndReached);
  EXPECT_EQ(stream.Size(), 4u);
  EXPECT_EQ(stream.Position(), 1u);
  EXPECT_THROW(stream[4], KQ_EStreamEndReached);
  EXPECT_THROW(stream.SetSize(5), KQ_EStreamEndReached);
  EXPECT_EQ(stream.Size(), 4u);

  // The size given with the buffer is readable, and cut to the capacity.
  unsigned char text[3] = {'x', 'y', 'z'};
  KQ_TMemoryStream reader(text, 3, 10);
  EXPECT_EQ(reader.Size(), 3u);
  EXPECT_EQ(reader.Read(), 'x');
  KQ_TMemoryStream none(nullptr, 100, 50);
  EXPECT_EQ(none.Size(), 0u);
  EXPECT_THROW(none.Write(static_cast<unsigned char>(1)), KQ_EStreamEndReached);
}

TEST(MemoryStream, LentBufferIsCopiedWhenItMustGrow) {
  unsigned char lent[4] = {};
  KQ_TMemoryStream stream(lent, sizeof lent, 0);
  stream.SetCopyIfNeeded(true);
  EXPECT_TRUE(stream.CopyIfNeeded());
  WriteText(stream, "abcd");
  EXPECT_EQ(stream.Data(), lent);
  stream.Write(static_cast<unsigned char>('e'));
  EXPECT_NE(stream.Data(), lent);
  EXPECT_EQ(stream.Capacity(), 1024u);
  EXPECT_EQ(Contents(stream), "abcde");
  // The lent buffer keeps what was written into it and is not written to
  // any more.
  stream.Seek(0);
  stream.Write(static_cast<unsigned char>('A'));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(lent), 4), "abcd");
  // From now on the stream owns its buffer: it grows by reallocation.
  WriteText(stream, std::string(3000, 'q'));
  EXPECT_EQ(stream.Capacity(), GrownCapacity(3001));
}

struct ExpanderLog {
  static std::vector<std::uint32_t> offered;
  static std::uint32_t extra;
  static bool refuse;
  static bool shrink;

  static void Reset() {
    offered.clear();
    extra = 0;
    refuse = false;
    shrink = false;
  }

  // Grows a malloc'ed buffer with realloc, which moves it whenever it likes.
  static void* Expand(KQ_TMemoryStream& stream, std::uint32_t& capacity) {
    offered.push_back(capacity);
    if (refuse) return nullptr;
    capacity += extra;
    if (shrink) capacity = 2;
    return std::realloc(stream.Data(), capacity);
  }
};
std::vector<std::uint32_t> ExpanderLog::offered;
std::uint32_t ExpanderLog::extra = 0;
bool ExpanderLog::refuse = false;
bool ExpanderLog::shrink = false;

TEST(MemoryStream, ExpanderSuppliesLargerBuffers) {
  ExpanderLog::Reset();
  auto* lent = static_cast<unsigned char*>(std::malloc(8));
  KQ_TMemoryStream stream(lent, 8, 0, &ExpanderLog::Expand);
  WriteText(stream, "12345678");
  EXPECT_TRUE(ExpanderLog::offered.empty());
  std::string text;
  for (int i = 0; i < 5000; ++i) text += static_cast<char>('a' + i % 26);
  WriteText(stream, text);
  stream.Write(static_cast<unsigned char>('!'));
  // One call for the bulk write; the byte fits.
  EXPECT_EQ(ExpanderLog::offered, (std::vector<std::uint32_t>{GrownCapacity(5008)}));
  EXPECT_EQ(stream.Capacity(), GrownCapacity(5008));
  EXPECT_EQ(Contents(stream), "12345678" + text + "!");

  // The expander may give more than asked for; the stream takes it.
  ExpanderLog::extra = 100;
  stream.Seek(GrownCapacity(5008));
  stream.Write(static_cast<unsigned char>('#'));
  EXPECT_EQ(stream.Capacity(), GrownCapacity(GrownCapacity(5008) + 1) + 100);
  EXPECT_EQ(stream.Data()[5008], '!');

  // A refusal raises KQ_EOutOfMemory and changes nothing.
  ExpanderLog::refuse = true;
  std::uint32_t const capacity = stream.Capacity();
  std::uint32_t const size = stream.Size();
  unsigned char const* data = stream.Data();
  stream.Seek(capacity);
  EXPECT_THROW(stream.Write(static_cast<unsigned char>(1)), KQ_EOutOfMemory);
  EXPECT_EQ(stream.Capacity(), capacity);
  EXPECT_EQ(stream.Size(), size);
  EXPECT_EQ(stream.Data(), data);
  EXPECT_EQ(stream.Position(), capacity);

  // The buffer stays the caller's: the stream does not free it.
  void* mine = stream.Data();
  stream.Clear();
  std::free(mine);
}

TEST(MemoryStream, ExpanderThatGivesTooLittleCannotMakeTheStreamOverrun) {
  ExpanderLog::Reset();
  ExpanderLog::shrink = true;
  auto* lent = static_cast<unsigned char*>(std::malloc(4));
  KQ_TMemoryStream stream(lent, 4, 0, &ExpanderLog::Expand);
  WriteText(stream, "abcd");
  EXPECT_THROW(WriteText(stream, "efgh"), KQ_EOutOfMemory);
  EXPECT_EQ(stream.Capacity(), 2u);
  EXPECT_EQ(stream.Size(), 2u);
  EXPECT_EQ(stream.Available(), 0u);
  std::free(stream.Data());
}

TEST(MemoryStream, ClearForgetsButDoesNotFreeALentBuffer) {
  auto* lent = new unsigned char[16];
  std::memcpy(lent, "lent", 4);
  KQ_TMemoryStream stream(lent, 16, 4);
  stream.Seek(2);
  stream.Clear();
  EXPECT_EQ(stream.Data(), nullptr);
  EXPECT_EQ(stream.Size(), 0u);
  EXPECT_EQ(stream.Position(), 0u);
  EXPECT_EQ(stream.Capacity(), 0u);
  stream.Write(static_cast<unsigned char>('n'));
  EXPECT_EQ(stream.Capacity(), 1024u);
  EXPECT_NE(stream.Data(), lent);
  EXPECT_EQ(std::memcmp(lent, "lent", 4), 0);
  delete[] lent;
}

TEST(MemoryStream, IndexingAndSetSize) {
  KQ_TMemoryStream stream;
  stream[2999] = 'Q';
  EXPECT_EQ(stream.Size(), 3000u);
  EXPECT_EQ(stream.Capacity(), GrownCapacity(3000));
  EXPECT_EQ(stream.Position(), 0u);
  KQ_TMemoryStream const& view = stream;
  EXPECT_EQ(view[2999], 'Q');
  EXPECT_THROW(view[3000], KQ_EStreamEndReached);

  stream.Seek(2000);
  stream.SetSize(10);
  EXPECT_EQ(stream.Size(), 10u);
  EXPECT_EQ(stream.Position(), 10u);
  EXPECT_EQ(stream.Capacity(), GrownCapacity(3000));
  stream.SetSize(7000);
  EXPECT_EQ(stream.Capacity(), GrownCapacity(7000));
  EXPECT_EQ(stream.Size(), 7000u);
  EXPECT_EQ(stream.Position(), 10u);
}

TEST(MemoryStream, NeedsBeyondThirtyTwoBitsRaiseInsteadOfWrapping) {
  KQ_TMemoryStream stream;
  WriteText(stream, "abc");
  stream.Seek(0xFFFFFFFFu);
  EXPECT_THROW(stream.Write(static_cast<unsigned char>(1)), KQ_EOutOfMemory);
  stream.Seek(0xFFFFFFF0u);
  EXPECT_THROW(WriteText(stream, std::string(32, 'x')), KQ_EOutOfMemory);
  // Representable, but twice the need is not.
  stream.Seek(0x80000000u);
  EXPECT_THROW(stream.Write(static_cast<unsigned char>(1)), KQ_EOutOfMemory);
  EXPECT_THROW(stream[0xFFFFFFFFu], KQ_EOutOfMemory);
  EXPECT_EQ(stream.Size(), 3u);
  EXPECT_EQ(stream.Capacity(), 1024u);
  EXPECT_EQ(Contents(stream), "abc");

  unsigned char lent[8];
  KQ_TMemoryStream fixed(lent, sizeof lent, 0);
  fixed.Seek(0xFFFFFFFFu);
  EXPECT_THROW(fixed.Write(static_cast<unsigned char>(1)), KQ_EStreamEndReached);
  EXPECT_EQ(fixed.Size(), 0u);
}

TEST(MemoryStream, WritingFromItsOwnBufferSurvivesGrowthAndOverlap) {
  KQ_TMemoryStream stream;
  std::string text;
  for (int i = 0; i < 1000; ++i) text += static_cast<char>('A' + i % 23);
  WriteText(stream, text);
  WriteText(stream, text);
  // 2000 bytes fill 2048; copying them onto the end moves the buffer.
  ASSERT_EQ(stream.Capacity(), 2048u);
  stream.Write(stream.Data(), stream.Size());
  EXPECT_EQ(Contents(stream), text + text + text + text);

  KQ_TMemoryStream small;
  WriteText(small, "abcdef");
  small.Seek(1);
  small.Write(small.Data(), 5);
  EXPECT_EQ(Contents(small), "aabcde");
}

TEST(MemoryStream, ConstCopiesOwnTheirBytesAndMarks) {
  KQ_TMemoryStream original;
  WriteText(original, "hello world");
  original.Seek(6);
  original.Mark(9, 0);
  original.Seek(3);

  KQ_TMemoryStream const& source = original;
  KQ_TMemoryStream copy(source);
  EXPECT_NE(copy.Data(), original.Data());
  EXPECT_EQ(Contents(copy), "hello world");
  EXPECT_EQ(copy.Position(), 3u);
  EXPECT_EQ(copy.Capacity(), original.Capacity());
  copy.Rewind(9);
  EXPECT_EQ(copy.Position(), 6u);
  original.Mark(9, 0);  // at 3; the copy keeps its own table
  copy.Seek(0);
  copy.Rewind(9);
  EXPECT_EQ(copy.Position(), 6u);
  copy.Write(static_cast<unsigned char>('W'));
  EXPECT_EQ(Contents(original), "hello world");

  KQ_TMemoryStream assigned;
  WriteText(assigned, "old");
  assigned = source;
  EXPECT_EQ(Contents(assigned), "hello world");
  EXPECT_NE(assigned.Data(), original.Data());
  KQ_TMemoryStream const& self = assigned;
  assigned = self;
  EXPECT_EQ(Contents(assigned), "hello world");

  // A const copy of a lent stream owns a copy: it grows freely.
  unsigned char lent[5] = {'l', 'e', 'n', 't', '!'};
  KQ_TMemoryStream fixed(lent, 5, 5);
  KQ_TMemoryStream owned(std::as_const(fixed));
  EXPECT_NE(owned.Data(), lent);
  owned.Seek(5);
  owned.Write(static_cast<unsigned char>('?'));
  EXPECT_EQ(Contents(owned), "lent!?");
}

TEST(MemoryStream, NonConstCopiesShareALentBuffer) {
  unsigned char lent[6] = {'s', 'h', 'a', 'r', 'e', 'd'};
  KQ_TMemoryStream fixed(lent, 6, 6);
  fixed.SetCopyIfNeeded(true);
  fixed.Seek(2);
  fixed.Mark(0, 0);
  KQ_TMemoryStream shared(fixed);
  EXPECT_EQ(shared.Data(), lent);
  EXPECT_EQ(shared.Position(), 2u);
  EXPECT_TRUE(shared.CopyIfNeeded());
  shared.Seek(5);
  shared.Rewind(0);
  EXPECT_EQ(shared.Position(), 2u);
  shared.Write(static_cast<unsigned char>('A'));
  EXPECT_EQ(lent[2], 'A');
  // Growing copies the sharer's bytes away; the other stream keeps the
  // lent buffer.
  shared.Seek(6);
  shared.Write(static_cast<unsigned char>('+'));
  EXPECT_NE(shared.Data(), lent);
  EXPECT_EQ(fixed.Data(), lent);

  // An owning source is copied even through a non-const reference.
  KQ_TMemoryStream owner;
  WriteText(owner, "own");
  KQ_TMemoryStream other;
  other = owner;
  EXPECT_NE(other.Data(), owner.Data());
  EXPECT_EQ(Contents(other), "own");
  KQ_TMemoryStream& alias = other;
  other = alias;
  EXPECT_EQ(Contents(other), "own");
}

TEST(MemoryStream, CarriesPackedValuesThroughADataStream) {
  KQ_TMemoryStream memory;
  KQ_TDataStream packer(memory);
  packer << std::int16_t{-2} << std::uint32_t{0xDEADBEEF} << true;
  std::string const expected("\x02\xFF\xFE\x07\xDE\xAD\xBE\xEF\x09\x01", 10);
  EXPECT_EQ(Contents(memory), expected);

  KQ_TMemoryStream source(memory.Data(), memory.Size(), memory.Size());
  KQ_TDataStream unpacker(source);
  std::int16_t s = 0;
  std::uint32_t u = 0;
  bool b = false;
  unpacker >> s >> u >> b;
  EXPECT_EQ(s, -2);
  EXPECT_EQ(u, 0xDEADBEEFu);
  EXPECT_TRUE(b);
  EXPECT_THROW(unpacker >> b, KQ_EStreamEndReached);
}
