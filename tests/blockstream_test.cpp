// The block stream: writing in place without shortening, reads at and
// beyond the end, the caller's block against an owned copy, copies that
// share or copy, size changes and marks, and packing into a block.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "kq_eexception.h"
#include "kq_tblockstream.h"
#include "kq_tdatablock.h"
#include "kq_tdatastream.h"
#include "kq_tdict.h"
#include "kq_tlist.h"
#include "kq_tmemorystream.h"

namespace {

std::string Text(KQ_TDataBlock const& block) {
  return std::string(reinterpret_cast<char const*>(block.Data()), block.Size());
}

KQ_TDataBlock Block(std::string const& text) {
  return KQ_TDataBlock(text.data(), static_cast<std::uint32_t>(text.size()));
}

TEST(BlockStream, WritesOverwriteInPlaceAndExtendOnlyAtTheEnd) {
  KQ_TBlockStream stream;
  EXPECT_EQ(stream.Size(), 0u);
  EXPECT_EQ(stream.Available(), 0u);
  EXPECT_THROW(stream.Read(), KQ_EStreamEndReached);
  char none[1];
  EXPECT_THROW(stream.Read(none, 0), KQ_EStreamEndReached);
  EXPECT_FALSE(stream.Skip(0));
  stream.Write("", 0);
  EXPECT_EQ(stream.Size(), 0u);

  stream.Write("abcdef", 6);
  EXPECT_EQ(stream.Seek(2), 6u);
  stream.Write(static_cast<unsigned char>('x'));
  EXPECT_EQ(Text(stream.DataBlock()), "abxdef");
  stream.Write("YZ", 2);
  EXPECT_EQ(Text(stream.DataBlock()), "abxYZf");
  stream.Write("123", 3);
  EXPECT_EQ(Text(stream.DataBlock()), "abxYZ123");
  EXPECT_EQ(stream.Position(), 8u);

  // Beyond the end nothing is read and a write extends to its own end.
  stream.Seek(20);
  EXPECT_EQ(stream.Available(), 0u);
  EXPECT_FALSE(stream.Skip(1));
  EXPECT_THROW(stream.Read(), KQ_EStreamEndReached);
  stream.Write(static_cast<unsigned char>('!'));
  EXPECT_EQ(stream.Size(), 21u);
  EXPECT_EQ(stream.DataBlock().Data()[20], '!');
}

TEST(BlockStream, ReadsTakeWhatIsLeftAndAFailedReadChangesNothing) {
  KQ_TBlockStream stream(Block("hello"));
  char buffer[8] = {};
  EXPECT_EQ(stream.Read(buffer, 1, 3), 3u);
  EXPECT_EQ(std::string(buffer, 3), "hel");
  EXPECT_THROW(stream.Read(buffer, 3), KQ_EStreamEndReached);
  EXPECT_THROW(stream.Read(buffer, 3, 8), KQ_EStreamEndReached);
  EXPECT_EQ(stream.Position(), 3u);
  EXPECT_EQ(stream.Read(buffer, 0, 8), 2u);
  EXPECT_EQ(std::string(buffer, 2), "lo");
  EXPECT_TRUE(stream.Skip(0));
  EXPECT_THROW(stream.Read(), KQ_EStreamEndReached);
  stream.Seek(1);
  EXPECT_TRUE(stream.Skip(3));
  EXPECT_EQ(stream.Read(), 'o');
}

TEST(BlockStream, WorksOnTheCallersBlockOrOnItsOwnCopy) {
  KQ_TDataBlock callers = Block("abc");
  {
    KQ_TBlockStream inPlace(callers);
    inPlace.Seek(3);
    inPlace.Write("def", 3);
    EXPECT_EQ(&inPlace.DataBlock(), &callers);
  }
  EXPECT_EQ(Text(callers), "abcdef");

  KQ_TDataBlock const constant = Block("abc");
  KQ_TBlockStream copying(constant);
  copying.Write("X", 1);
  EXPECT_EQ(Text(constant), "abc");
  EXPECT_EQ(Text(copying.DataBlock()), "Xbc");

  // Assigning a block starts over at position 0 and forgets the marks.
  copying.Mark(1, 0);
  copying = callers;
  EXPECT_EQ(copying.Position(), 0u);
  EXPECT_THROW(copying.Rewind(1), KQ_EIllegalStreamMark);
  copying.Write("Q", 1);
  EXPECT_EQ(Text(callers), "Qbcdef");
  copying = static_cast<KQ_TDataBlock const&>(callers);
  copying.Write("R", 1);
  EXPECT_EQ(Text(callers), "Qbcdef");
  // The stream's own block handed back stays its own.
  copying = copying.DataBlock();
  copying.Write("S", 1);
  EXPECT_EQ(Text(copying.DataBlock()), "Sbcdef");
}

TEST(BlockStream, CopiesShareABorrowedBlockAndCopyAnOwnedOne) {
  KQ_TDataBlock callers = Block("0123456789");
  KQ_TBlockStream borrowing(callers);
  borrowing.Seek(4);
  borrowing.Mark(7, 0);
  KQ_TBlockStream owning(Block("abcdefghij"));
  owning.Seek(2);

  struct Case {
    char const* name;
    KQ_TBlockStream* source;
    bool constSource;
    bool shares;
  };
  Case const cases[] = {{"borrowing", &borrowing, false, true},
                        {"borrowing, const", &borrowing, true, false},
                        {"owning", &owning, false, false}};
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    KQ_TBlockStream target;
    if (c.constSource) {
      target = static_cast<KQ_TBlockStream const&>(*c.source);
    } else {
      target = *c.source;
    }
    EXPECT_EQ(target.Position(), c.source->Position());
    EXPECT_EQ(&target.DataBlock() == &c.source->DataBlock(), c.shares);
    EXPECT_EQ(Text(target.DataBlock()), Text(c.source->DataBlock()));
  }
  KQ_TBlockStream copied(borrowing);
  EXPECT_NE(&copied.DataBlock(), &callers);
  copied.Seek(0);
  copied.Rewind(7);
  EXPECT_EQ(copied.Position(), 4u);
  KQ_TBlockStream& self = borrowing;
  borrowing = self;
  EXPECT_EQ(&borrowing.DataBlock(), &callers);
}

TEST(BlockStream, SizeChangesAndMarks) {
  KQ_TBlockStream stream(Block("0123456789"));
  EXPECT_THROW(stream.Rewind(0), KQ_EIllegalStreamMark);
  EXPECT_THROW(stream.ClearMark(0), KQ_EIllegalStreamMark);
  stream.Seek(8);
  stream.Mark(5, 0).Mark(6, 0);
  stream.SetSize(3);
  EXPECT_EQ(stream.Size(), 3u);
  EXPECT_EQ(stream.Position(), 3u);
  EXPECT_THROW(stream.Rewind(5), KQ_EIllegalStreamMark);
  stream.SetSize(6);
  EXPECT_EQ(stream.Size(), 6u);
  EXPECT_EQ(Text(stream.DataBlock()).substr(0, 3), "012");

  stream.Seek(2);
  stream.Mark(1, 0);
  stream.Seek(5);
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
  EXPECT_EQ(stream.Position(), 0u);
  EXPECT_EQ(stream.DataBlock().Capacity(), reserved);
  EXPECT_THROW(stream.Rewind(1), KQ_EIllegalStreamMark);
}

TEST(BlockStream, PackedValuesGoInAndComeBackAsFromMemory) {
  KQ_TList list;
  list.AddAtTail(KQ_TAny("text"));
  list.AddAtTail(KQ_TAny(std::int32_t{-3}));
  list.AddAtTail(KQ_TAny(0.5));
  KQ_TDict dict;
  dict["list"] = KQ_TAny(list);

  KQ_TBlockStream block;
  KQ_TDataStream packer(block);
  packer << dict << list;
  KQ_TMemoryStream memory;
  KQ_TDataStream reference(memory);
  reference << dict << list;
  EXPECT_EQ(Text(block.DataBlock()),
            std::string(reinterpret_cast<char const*>(memory.Data()), memory.Size()));

  KQ_TBlockStream reader(static_cast<KQ_TDataBlock const&>(block.DataBlock()));
  KQ_TDataStream unpacker(reader);
  KQ_TDict dictBack;
  KQ_TList listBack;
  unpacker >> dictBack >> listBack;
  EXPECT_TRUE(dictBack == dict);
  EXPECT_TRUE(listBack == list);
  EXPECT_EQ(reader.Available(), 0u);
}

}  // namespace
