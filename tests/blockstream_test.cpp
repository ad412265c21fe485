// The block stream: writing in place without shortening, reads at and
// beyond the end, the caller's block against an owned copy, copies that
// share or copy, size changes and marks, and packing into a block.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "kq_eexception.h"
#include "kq_tblockstream.h"
#include "kq_tdatablock.h"
#include "kq_tdatastream.h"
#include "kq_tlist.h"
#include "kq_tmemorystream.h"

// A block of a class of its own: the stream must reach it through its
// members, never behind its back.
class CountingBlock : public KQ_TDataBlock {
  KQ_CLASS(CountingBlock, KQ_TDataBlock)
  KQ_TDataBlock& SetAt(std::uint32_t position, void const* data, std::uint32_t size) override {
    ++fSetAts;
    return KQ_TDataBlock::SetAt(position, data, size);
  }
  int fSetAts = 0;
};
KQ_CLASS_IMPL(CountingBlock)

namespace {

template <class Bytes>
std::string Text(Bytes const& bytes) {
  return std::string(reinterpret_cast<char const*>(bytes.Data()), bytes.Size());
}

KQ_TDataBlock Block(std::string const& text) {
  return KQ_TDataBlock(text.data(), static_cast<std::uint32_t>(text.size()));
}

TEST(BlockStream, WritesOverwriteInPlaceAndReadsStopAtTheEnd) {
  KQ_TBlockStream stream;
  char buffer[8] = {};
  EXPECT_EQ(stream.Available(), 0u);
  EXPECT_THROW(stream.Read(), KQ_EStreamEndReached);
  EXPECT_THROW(stream.Read(buffer, 0), KQ_EStreamEndReached);
  EXPECT_FALSE(stream.Skip(0));
  stream.Write("", 0);
  stream.Write("abcdef", 6);
  EXPECT_EQ(stream.Seek(2), 6u);
  stream.Write(static_cast<unsigned char>('x'));
  stream.Write("YZ", 2);
  EXPECT_EQ(Text(stream.DataBlock()), "abxYZf");
  stream.Write("12", 2);
  EXPECT_EQ(Text(stream.DataBlock()), "abxYZ12");

  stream.Seek(1);
  EXPECT_EQ(stream.Read(buffer, 1, 3), 3u);
  EXPECT_EQ(std::string(buffer, 3), "bxY");
  EXPECT_THROW(stream.Read(buffer, 4), KQ_EStreamEndReached);
  EXPECT_EQ(stream.Position(), 4u);
  EXPECT_TRUE(stream.Skip(1));
  EXPECT_EQ(stream.Read(buffer, 0, 8), 2u);
  // Beyond the end nothing is read and a write extends to its own end.
  stream.Seek(20);
  EXPECT_EQ(stream.Available(), 0u);
  EXPECT_FALSE(stream.Skip(1));
  stream.Write(static_cast<unsigned char>('!'));
  EXPECT_EQ(stream.Size(), 21u);
}

TEST(BlockStream, BlocksAreWorkedOnInPlaceSharedOrCopied) {
  KQ_TDataBlock callers = Block("0123");
  KQ_TBlockStream borrowing(callers);
  borrowing.Seek(4);
  borrowing.Write("45", 2);
  borrowing.Mark(7, 0);
  KQ_TBlockStream owning(static_cast<KQ_TDataBlock const&>(callers));
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
    c.asConst ? target = static_cast<KQ_TBlockStream const&>(*c.source) : target = *c.source;
    EXPECT_EQ(target.Position(), c.source->Position());
    EXPECT_EQ(&target.DataBlock() == &c.source->DataBlock(), c.shares);
    EXPECT_EQ(Text(target.DataBlock()), Text(c.source->DataBlock()));
  }
  KQ_TBlockStream copy(borrowing);
  copy.Rewind(7);
  EXPECT_EQ(copy.Position(), 6u);
  EXPECT_EQ(Text(callers), "012345");

  // A block assigned starts over at 0 without marks; the stream's own block
  // handed back stays its own.
  owning = callers;
  EXPECT_THROW(owning.Rewind(7), KQ_EIllegalStreamMark);
  owning.Write("Q", 1);
  EXPECT_EQ(Text(callers), "Q12345");
  owning = static_cast<KQ_TDataBlock const&>(callers);
  owning = owning.DataBlock();
  owning.Write("R", 1);
  EXPECT_EQ(Text(callers), "Q12345");
  EXPECT_EQ(Text(owning.DataBlock()), "R12345");
}

TEST(BlockStream, SizeChangesForgetTheMarks) {
  KQ_TBlockStream stream(Block("0123456789"));
  EXPECT_THROW(stream.Rewind(0), KQ_EIllegalStreamMark);
  EXPECT_THROW(stream.ClearMark(0), KQ_EIllegalStreamMark);
  stream.Seek(8);
  stream.Mark(5, 0);
  stream.SetSize(3);
  EXPECT_EQ(stream.Position(), 3u);
  EXPECT_THROW(stream.Rewind(5), KQ_EIllegalStreamMark);
  stream.SetSize(6).Seek(2);
  stream.Mark(1, 0).Seek(5);
  stream.Rewind(1);
  EXPECT_EQ(stream.Read(), '2');
  stream.Rewind(9);
  EXPECT_EQ(stream.Position(), 0u);
  stream.Seek(4);
  stream.ClearMark(1).Rewind(1);
  EXPECT_EQ(stream.Position(), 0u);
  std::uint32_t const reserved = stream.DataBlock().Capacity();
  stream.Clear();
  EXPECT_EQ(stream.Size(), 0u);
  EXPECT_EQ(stream.DataBlock().Capacity(), reserved);
  EXPECT_THROW(stream.Rewind(1), KQ_EIllegalStreamMark);
}

TEST(BlockStream, PackedValuesGoInAndComeBackAsFromMemoryWhereverTheyStart) {
  KQ_TList list;
  for (std::int32_t i = 0; i < 500; ++i) list.AddAtTail(i % 2 ? KQ_TAny(i) : KQ_TAny("text"));
  KQ_TMemoryStream memory;
  KQ_TDataStream reference(memory);
  reference << list;
  std::string const packed = Text(memory);

  struct Case {
    char const* name;
    std::string before;  // the block's bytes before packing
    std::uint32_t position;
    bool ownClass;
  } const cases[] = {
      {"a new stream", "", 0, false},
      {"inside a longer block", std::string(20000, 'q'), 7, false},
      {"at the end", "head", 4, false},
      {"beyond the end", "head", 9, false},
      {"a block of another class", "head", 4, true},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    CountingBlock counted;
    KQ_TDataBlock plain;
    KQ_TDataBlock& block = c.ownClass ? counted : plain;
    block.SetData(c.before.data(), static_cast<std::uint32_t>(c.before.size()));
    KQ_TBlockStream stream;
    if (!c.before.empty()) stream = block;
    stream.Seek(c.position);
    KQ_TDataStream packer(stream);
    packer << list;
    std::uint32_t const end = c.position + static_cast<std::uint32_t>(packed.size());
    EXPECT_EQ(stream.Position(), end);
    std::string const after = Text(stream.DataBlock());
    ASSERT_EQ(after.size(), std::max<std::size_t>(end, c.before.size()));
    EXPECT_EQ(after.substr(0, std::min<std::size_t>(c.position, c.before.size())),
              c.before.substr(0, c.position));
    EXPECT_EQ(after.substr(c.position, packed.size()), packed);
    if (end < c.before.size()) {
      EXPECT_EQ(after.substr(end), c.before.substr(end));
    }
    if (c.ownClass) {
      EXPECT_GT(counted.fSetAts, 1);
    }

    stream.Seek(c.position);
    KQ_TList back;
    packer >> back;
    EXPECT_TRUE(back == list);
    EXPECT_EQ(stream.Position(), end);
  }
}

TEST(BlockStream, PackingFillsTheReservationExactlyBeforeGrowingIt) {
  KQ_TDataBlock block(std::string(1019, 'r').data(), 1019);
  ASSERT_EQ(block.Capacity(), 1024u);
  KQ_TBlockStream stream(block);
  stream.Seek(1019);
  KQ_TDataStream packer(stream);
  packer << std::int32_t{0x01020304};
  EXPECT_EQ(block.Size(), 1024u);
  EXPECT_EQ(block.Capacity(), 1024u);
  EXPECT_EQ(Text(block).substr(1019), std::string("\x03\x01\x02\x03\x04", 5));
  packer << std::int32_t{5};
  EXPECT_EQ(block.Size(), 1029u);
  stream.Seek(1019);
  std::int32_t first = 0;
  std::int32_t second = 0;
  packer >> first >> second;
  EXPECT_EQ(first, 0x01020304);
  EXPECT_EQ(second, 5);
  EXPECT_THROW(packer >> first, KQ_EStreamEndReached);
}

}  // namespace
