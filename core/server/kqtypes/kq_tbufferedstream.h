// KQ_TBufferedStream: a filter that puts one read buffer and one write buffer
// in front of another stream, so that many small reads and writes become few
// large calls to a slow device (a file, a socket, a standard stream).
//
// The bound stream is not owned and not closed when the filter goes; the
// filter flushes its write buffer into it when it is destroyed or bound to
// another stream. A refill asks the bound stream for at least one byte and
// at most a read buffer full; a full write buffer goes to the bound stream in
// one write, followed by a Flush of the bound stream. Buffers are allocated
// on first use; each holds at least 256 bytes (4096 by default).
//
// Positions: the filter keeps its own, so that Position and marks stay right
// while bytes wait in a buffer. Over a seekable stream reading and writing
// share the bound stream's one position: a write after reads goes where the
// reading stopped (the unread rest of the read buffer is dropped), and a read
// after writes writes the waiting bytes out first. Over a stream without
// positions (a socket) the two directions are independent, so bytes read
// ahead are never dropped. Seek writes the waiting bytes out, moves the bound
// stream and drops the read buffer.
//
// Copies take the other's bound stream, positions and a copy of both buffers,
// waiting bytes included: when both will write, flush the source first.
//
// Failures of the bound stream pass through. KQ_EStreamEndReached from a
// refill reaches the reader; the bytes already copied into its buffer stay
// there. A destructor cannot report: a failing last flush is dropped, so
// callers that care call Flush or Close first. One thread at a time.
#pragma once

#include <cstdint>

#include "kq_istream.h"
#include "kq_tobject.h"

class KQ_EXPORT KQ_TBufferedStream : public KQ_TObject, public virtual KQ_IStream {
  KQ_CLASS(KQ_TBufferedStream, KQ_TObject, KQ_IStream)
  static constexpr std::uint32_t kDefaultBufferSize = 4096;
  static constexpr std::uint32_t kSmallestBufferSize = 256;

  // Unbound, with buffers of the given sizes (a size below 256 counts as
  // 256).
  KQ_TBufferedStream();
  KQ_TBufferedStream(std::uint32_t readSize, std::uint32_t writeSize);
  // The same, bound to stream as by operator=(KQ_IStream&).
  explicit KQ_TBufferedStream(KQ_IStream& stream, std::uint32_t readSize = kDefaultBufferSize,
                              std::uint32_t writeSize = kDefaultBufferSize);
  KQ_TBufferedStream(KQ_TBufferedStream const& other);
  // Flushes when bound (a failure is dropped); the bound stream stays open.
  ~KQ_TBufferedStream() override;

  // Flushes when bound, then takes the other's bound stream, sizes,
  // positions, buffers and marks (see above). Self-assignment does nothing.
  virtual KQ_TBufferedStream& operator=(KQ_TBufferedStream const& other);
  // Flushes when a stream was bound, then binds stream with empty buffers
  // at its position (when it has one). Binding the filter to itself does
  // nothing.
  virtual KQ_TBufferedStream& operator=(KQ_IStream& stream);

  std::uint32_t ReadBufferSize() const { return fReadSize; }
  std::uint32_t WriteBufferSize() const { return fWriteSize; }

  // Every operation but the capability queries raises KQ_EStreamIsNotBound
  // while unbound; the queries then answer false and otherwise ask the bound
  // stream.
  //
  // Flush, then Close of the bound stream; true when both succeed.
  bool Close() override;
  // Writes the write buffer out, then flushes the bound stream and returns
  // its answer.
  bool Flush() override;
  bool Readable() const override;
  bool Writable() const override;
  bool Markable() const override;
  bool Seekable() const override;
  // The bound stream's Available() plus the unread bytes of the read buffer.
  std::uint32_t Available() const override;
  // At least minimum bytes (refilling as often as needed), then whatever
  // else the read buffer holds, up to maximum.
  std::uint32_t Read(void* buffer, std::uint32_t minimum, std::uint32_t maximum) override;
  KQ_IStream& Read(void* buffer, std::uint32_t count) override;
  unsigned char Read() override {
    if (fReadIndex < fReadFill) return fReadBuffer[fReadIndex++];
    return ReadRefilling();
  }
  // Skips within the read buffer when it holds count more bytes; otherwise
  // the buffered bytes count as skipped and the rest is skipped on the bound
  // stream, whose answer is returned.
  bool Skip(std::uint32_t count) override;
  KQ_IStream& Write(void const* buffer, std::uint32_t count) override;
  KQ_IStream& Write(unsigned char byte) override {
    if (fWriteIndex < fWriteSize && fWriteBuffer != nullptr && fReadFill == 0) {
      fWriteBuffer[fWriteIndex++] = byte;
      if (fWriteIndex > fWriteFill) fWriteFill = fWriteIndex;
      return *this;
    }
    return WriteSlow(byte);
  }
  // Marks need a markable bound stream (else KQ_EStreamIsNotMarkable) and
  // record Position(); the limit is not used. ClearMark of a mark never set
  // does nothing; Rewind raises KQ_EIllegalStreamMark before the first Mark
  // and otherwise seeks to the mark.
  KQ_IStream& Mark(unsigned char id, std::uint32_t limit) override;
  KQ_IStream& ClearMark(unsigned char id) override;
  KQ_IStream& Rewind(unsigned char id) override;
  // Positions need a seekable bound stream (else KQ_EStreamIsNotSeekable).
  std::uint32_t Position() const override;
  // Returns the previous Position().
  std::uint32_t Seek(std::uint32_t position) override;

 private:
  KQ_IStream& Bound() const;
  // Refills the read buffer from the bound stream: at least one byte (or
  // KQ_EStreamEndReached), at most a buffer full.
  void ReadBlock();
  // Leaves the read buffer behind: the read base moves to the bound
  // stream's position (past the buffer, or, when not reading, where the
  // writing stopped, after the waiting bytes went out), and the stream is
  // not reading.
  void PassReadBuffer();
  // Writes the write buffer out to the bound stream and empties it.
  void WriteBlock();
  // Gets the write buffer ready to take bytes: allocated, and, after reads
  // over a seekable stream, placed where the reading stopped.
  void PrepareWrite();
  // Takes over the read-buffer bytes not yet handed out, up to count.
  std::uint32_t TakeBuffered(unsigned char* buffer, std::uint32_t count);
  KQ_NOINLINE unsigned char ReadRefilling();
  KQ_NOINLINE KQ_IStream& WriteSlow(unsigned char byte);
  // Flushes, dropping a failure: for the destructor.
  void FlushQuietly() noexcept;
  void Release();

  KQ_IStream* fStream;
  unsigned char* fReadBuffer;
  unsigned char* fWriteBuffer;
  std::uint32_t fReadSize;
  std::uint32_t fWriteSize;
  // Valid bytes in the read buffer; not 0 exactly while reading (the buffer
  // was filled and not dropped since).
  std::uint32_t fReadFill;
  // The highest write index reached since the buffer was last written out.
  std::uint32_t fWriteFill;
  std::uint32_t fReadIndex;
  std::uint32_t fWriteIndex;
  // Positions in the bound stream of each buffer's first byte.
  std::uint32_t fReadBase;
  std::uint32_t fWriteBase;
  std::uint32_t* fMarks;
};
