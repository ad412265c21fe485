// The buffered stream: buffer sizes, when bytes reach the bound stream and
// how often it is asked for more, positions while bytes wait, reads and
// writes mixed over one position, skips, seeks and marks, the unbound
// stream, and packing through buffers in front of a file.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "kq_eexception.h"
#include "kq_tblockstream.h"
#include "kq_tbufferedstream.h"
#include "kq_tcxxstream.h"
#include "kq_tdatastream.h"
#include "kq_tlist.h"
#include "kq_tmemorystream.h"

namespace {

// A memory stream that counts the calls that fetch bytes from it.
class CountingStream : public KQ_TMemoryStream {
 public:
  std::uint32_t Read(void* buffer, std::uint32_t minimum, std::uint32_t maximum) override {
    ++fRangeReads;
    return KQ_TMemoryStream::Read(buffer, minimum, maximum);
  }
  int fRangeReads = 0;
};

template <class Bytes>
std::string Text(Bytes const& bytes) {
  return std::string(reinterpret_cast<char const*>(bytes.Data()), bytes.Size());
}

void Fill(KQ_TMemoryStream& memory, std::string const& text) {
  memory.Write(text.data(), static_cast<std::uint32_t>(text.size()));
  memory.Seek(0);
}

TEST(BufferedStream, AFullWriteBufferGoesOutInOneWrite) {
  for (std::uint32_t asked : {0u, 100u, 256u, 257u}) {
    EXPECT_EQ(KQ_TBufferedStream(asked, asked).WriteBufferSize(), asked < 256 ? 256 : asked);
  }
  KQ_TMemoryStream memory;
  KQ_TBufferedStream stream(memory, 256, 256);
  for (int i = 0; i < 600; ++i) stream.Write(static_cast<unsigned char>(i));
  EXPECT_EQ(memory.Size(), 512u);
  EXPECT_EQ(stream.Position(), 600u);
  EXPECT_TRUE(stream.Flush());
  EXPECT_EQ(memory.Size(), 600u);
  // A block write fills the buffer to its end before each flush.
  stream.Write(std::string(700, 'b').data(), 700);
  EXPECT_EQ(memory.Size(), 600u + 512u);
  {
    KQ_TBufferedStream last(memory);
    last.Write("end", 3);
  }
  EXPECT_EQ(Text(memory).substr(memory.Size() - 3), "end");
}

TEST(BufferedStream, ReadsRefillABufferFullAtATime) {
  std::string text;
  for (int i = 0; i < 1000; ++i) text += static_cast<char>('a' + i % 26);
  CountingStream memory;
  Fill(memory, text);
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
  EXPECT_EQ(stream.Position(), 950u);
  EXPECT_EQ(stream.Read(), text[950]);
  EXPECT_FALSE(stream.Skip(500));
  // Bytes read before the end stay in the caller's buffer.
  KQ_TMemoryStream shortMemory;
  Fill(shortMemory, "xyz");
  KQ_TBufferedStream shortStream(shortMemory);
  EXPECT_THROW(shortStream.Read(buffer, 5), KQ_EStreamEndReached);
  EXPECT_EQ(std::string(buffer, 3), "xyz");
}

TEST(BufferedStream, ReadsAndWritesShareOnePosition) {
  KQ_TDataBlock bytes("0123456789", 10);
  KQ_TBlockStream block(bytes);
  block.Seek(2);
  KQ_TBufferedStream stream(block);
  EXPECT_EQ(stream.Position(), 2u);
  EXPECT_EQ(stream.Read(), '2');
  EXPECT_EQ(stream.Read(), '3');
  // The write goes where the reading stopped.
  stream.Write("ab", 2);
  EXPECT_EQ(stream.Position(), 6u);
  // Reading again writes the waiting bytes out first and goes on after them.
  EXPECT_EQ(stream.Read(), '6');
  EXPECT_EQ(Text(bytes), "0123ab6789");
  EXPECT_EQ(stream.Position(), 7u);

  EXPECT_EQ(stream.Seek(1), 7u);
  stream.Write(static_cast<unsigned char>('X'));
  EXPECT_EQ(stream.Position(), 2u);
  stream.Mark(3, 0);
  stream.Write("YZ", 2);
  stream.Rewind(3);
  EXPECT_EQ(stream.Read(), 'Y');
  EXPECT_EQ(Text(bytes), "0XYZab6789");
  stream.ClearMark(3).Rewind(3);
  EXPECT_EQ(stream.Read(), '0');
}

TEST(BufferedStream, CapabilitiesComeFromTheBoundStream) {
  KQ_TBufferedStream unbound;
  EXPECT_FALSE(unbound.Readable() || unbound.Writable() || unbound.Markable() ||
               unbound.Seekable());
  char buffer[1];
  std::function<void(KQ_TBufferedStream&)> const operations[] = {
      [](KQ_TBufferedStream& s) { s.Close(); },
      [](KQ_TBufferedStream& s) { s.Flush(); },
      [](KQ_TBufferedStream& s) { s.Available(); },
      [](KQ_TBufferedStream& s) { s.Read(); },
      [&](KQ_TBufferedStream& s) { s.Read(buffer, 0, 1); },
      [](KQ_TBufferedStream& s) { s.Skip(0); },
      [](KQ_TBufferedStream& s) { s.Write(static_cast<unsigned char>(1)); },
      [&](KQ_TBufferedStream& s) { s.Write(buffer, 0); },
      [](KQ_TBufferedStream& s) { s.Mark(0, 0); },
      [](KQ_TBufferedStream& s) { s.Position(); },
      [](KQ_TBufferedStream& s) { s.Seek(0); },
  };
  for (auto const& operation : operations) {
    EXPECT_THROW(operation(unbound), KQ_EStreamIsNotBound);
  }

  KQ_TMemoryStream memory;
  KQ_TBufferedStream overMemory(memory);
  EXPECT_THROW(overMemory.Rewind(0), KQ_EIllegalStreamMark);
  overMemory.ClearMark(0);

  std::stringstream text("abc");
  KQ_TCxxStream adapter(text);
  KQ_TBufferedStream overAdapter(adapter);
  EXPECT_TRUE(overAdapter.Readable() && !overAdapter.Seekable());
  EXPECT_THROW(overAdapter.Mark(0, 0), KQ_EStreamIsNotMarkable);
  EXPECT_THROW(overAdapter.Rewind(0), KQ_EStreamIsNotMarkable);
  EXPECT_THROW(overAdapter.Position(), KQ_EStreamIsNotSeekable);
  // Without positions, bytes read ahead survive a write.
  EXPECT_EQ(overAdapter.Read(), 'a');
  overAdapter.Write("Z", 1);
  EXPECT_EQ(overAdapter.Read(), 'b');
}

TEST(BufferedStream, PackedValuesGoThroughBuffersToAFileAndBack) {
  KQ_TList list;
  for (std::int32_t i = 0; i < 2000; ++i) list.AddAtTail(KQ_TAny(i * 7));
  // Written through small buffers, read back through a copy of a reader.
  std::string const path = ::testing::TempDir() + "kq_bufferedstream_file";
  {
    std::fstream file(path, std::ios_base::in | std::ios_base::out | std::ios_base::trunc |
                                std::ios_base::binary);
    KQ_TCxxStream device(file);
    KQ_TBufferedStream buffered(device, 512, 512);
    KQ_TDataStream packer(buffered);
    packer << list << std::int32_t{-1};
    EXPECT_TRUE(buffered.Close());
  }
  std::ifstream file(path, std::ios_base::binary);
  KQ_TCxxStream device(file);
  KQ_TBufferedStream buffered(device, 300, 300);
  KQ_TBufferedStream copy(buffered);
  KQ_TDataStream unpacker(copy);
  KQ_TList back;
  std::int32_t last = 0;
  unpacker >> back >> last;
  EXPECT_TRUE(back == list);
  EXPECT_EQ(last, -1);
  std::remove(path.c_str());
}

}  // namespace
