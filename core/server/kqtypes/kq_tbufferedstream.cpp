#include "kq_tbufferedstream.h"

#include <cstdint>
#include <cstring>

#include "internal/kq_stream_marks.h"
#include "kq_eexception.h"
#include "kq_memalloc.h"

KQ_CLASS_IMPL(KQ_TBufferedStream)

namespace {

std::uint32_t BufferSize(std::uint32_t size) {
  return size > KQ_TBufferedStream::kSmallestBufferSize ? size
                                                        : KQ_TBufferedStream::kSmallestBufferSize;
}

unsigned char* CopyBuffer(unsigned char const* buffer, std::uint32_t size) {
  return buffer != nullptr ? static_cast<unsigned char*>(KQ_MakeCopy(buffer, size)) : nullptr;
}

}  // namespace

KQ_TBufferedStream::KQ_TBufferedStream()
    : KQ_TBufferedStream(kDefaultBufferSize, kDefaultBufferSize) {}

KQ_TBufferedStream::KQ_TBufferedStream(std::uint32_t readSize, std::uint32_t writeSize)
    : fStream(nullptr),
      fReadBuffer(nullptr),
      fWriteBuffer(nullptr),
      fReadSize(BufferSize(readSize)),
      fWriteSize(BufferSize(writeSize)),
      fReadFill(0),
      fWriteFill(0),
      fReadIndex(0),
      fWriteIndex(0),
      fReadBase(0),
      fWriteBase(0),
      fMarks(nullptr) {}

KQ_TBufferedStream::KQ_TBufferedStream(KQ_IStream& stream, std::uint32_t readSize,
                                       std::uint32_t writeSize)
    : KQ_TBufferedStream(readSize, writeSize) {
  *this = stream;
}

KQ_TBufferedStream::KQ_TBufferedStream(KQ_TBufferedStream const& other) : KQ_TBufferedStream() {
  *this = other;
}

KQ_TBufferedStream::~KQ_TBufferedStream() {
  FlushQuietly();
  Release();
}

void KQ_TBufferedStream::FlushQuietly() noexcept {
  if (fStream == nullptr) return;
  try {
    Flush();
  } catch (...) {
    // Nobody is left to tell; see the header.
  }
}

void KQ_TBufferedStream::Release() {
  KQ_Free(fReadBuffer);
  KQ_Free(fWriteBuffer);
  fReadBuffer = nullptr;
  fWriteBuffer = nullptr;
  kq::FreeStreamMarks(fMarks);
}

KQ_TBufferedStream& KQ_TBufferedStream::operator=(KQ_TBufferedStream const& other) {
  if (this == &other) return *this;
  unsigned char* const readBuffer = CopyBuffer(other.fReadBuffer, other.fReadSize);
  unsigned char* writeBuffer = nullptr;
  std::uint32_t* marks = nullptr;
  try {
    writeBuffer = CopyBuffer(other.fWriteBuffer, other.fWriteSize);
    marks = kq::CopyStreamMarks(other.fMarks);
    if (fStream != nullptr) Flush();
  } catch (...) {
    KQ_Free(readBuffer);
    KQ_Free(writeBuffer);
    kq::FreeStreamMarks(marks);
    throw;
  }
  Release();
  fStream = other.fStream;
  fReadBuffer = readBuffer;
  fWriteBuffer = writeBuffer;
  fReadSize = other.fReadSize;
  fWriteSize = other.fWriteSize;
  fReadFill = other.fReadFill;
  fWriteFill = other.fWriteFill;
  fReadIndex = other.fReadIndex;
  fWriteIndex = other.fWriteIndex;
  fReadBase = other.fReadBase;
  fWriteBase = other.fWriteBase;
  fMarks = marks;
  return *this;
}

KQ_TBufferedStream& KQ_TBufferedStream::operator=(KQ_IStream& stream) {
  if (&stream == static_cast<KQ_IStream*>(this)) return *this;
  if (fStream != nullptr) Flush();
  fStream = &stream;
  fReadFill = 0;
  fWriteFill = 0;
  fReadIndex = 0;
  fWriteIndex = 0;
  fReadBase = stream.Seekable() ? stream.Position() : 0;
  fWriteBase = fReadBase;
  return *this;
}

KQ_IStream& KQ_TBufferedStream::Bound() const {
  if (fStream == nullptr) KQ_THROW(KQ_EStreamIsNotBound());
  return *fStream;
}

void KQ_TBufferedStream::ReadBlock() {
  KQ_IStream& stream = Bound();
  PassReadBuffer();
  if (fReadBuffer == nullptr) fReadBuffer = static_cast<unsigned char*>(KQ_Alloc(fReadSize));
  fReadFill = stream.Read(fReadBuffer, 1, fReadSize);
}

void KQ_TBufferedStream::PassReadBuffer() {
  if (fReadFill == 0) {
    // Reading starts where the writing stopped.
    WriteBlock();
    fReadBase = fWriteBase;
  } else {
    fReadBase += fReadFill;
  }
  // Not reading now, at the bound stream's position.
  fReadFill = 0;
  fReadIndex = 0;
  fWriteBase = fReadBase;
}

void KQ_TBufferedStream::WriteBlock() {
  if (fWriteFill == 0) return;
  fStream->Write(fWriteBuffer, fWriteFill);
  if (fStream->Seekable()) {
    fStream->Seek(fWriteBase + fWriteIndex);
    fWriteBase = fStream->Position();
  } else {
    fWriteBase += fWriteFill;
  }
  fWriteIndex = 0;
  fWriteFill = 0;
}

void KQ_TBufferedStream::PrepareWrite() {
  if (fReadFill != 0 && fStream->Seekable()) {
    // The bound stream stands at the end of the read buffer; the write goes
    // where the reader stopped.
    std::uint32_t const position = fReadBase + fReadIndex;
    fStream->Seek(position);
    fReadFill = 0;
    fReadIndex = 0;
    fReadBase = position;
    fWriteBase = position;
  }
  if (fWriteBuffer == nullptr) fWriteBuffer = static_cast<unsigned char*>(KQ_Alloc(fWriteSize));
}

std::uint32_t KQ_TBufferedStream::TakeBuffered(unsigned char* buffer, std::uint32_t count) {
  std::uint32_t const buffered = fReadFill - fReadIndex;
  std::uint32_t const taken = count < buffered ? count : buffered;
  if (taken != 0) std::memcpy(buffer, fReadBuffer + fReadIndex, taken);
  fReadIndex += taken;
  return taken;
}

bool KQ_TBufferedStream::Close() {
  bool const flushed = Flush();
  bool const closed = fStream->Close();
  return flushed && closed;
}

bool KQ_TBufferedStream::Flush() {
  KQ_IStream& stream = Bound();
  WriteBlock();
  return stream.Flush();
}

bool KQ_TBufferedStream::Readable() const { return fStream != nullptr && fStream->Readable(); }

bool KQ_TBufferedStream::Writable() const { return fStream != nullptr && fStream->Writable(); }

bool KQ_TBufferedStream::Markable() const { return fStream != nullptr && fStream->Markable(); }

bool KQ_TBufferedStream::Seekable() const { return fStream != nullptr && fStream->Seekable(); }

std::uint32_t KQ_TBufferedStream::Available() const {
  return Bound().Available() + (fReadFill - fReadIndex);
}

std::uint32_t KQ_TBufferedStream::Read(void* buffer, std::uint32_t minimum, std::uint32_t maximum) {
  Bound();
  if (minimum > maximum) minimum = maximum;
  auto* const bytes = static_cast<unsigned char*>(buffer);
  std::uint32_t copied = TakeBuffered(bytes, maximum);
  while (copied < minimum) {
    ReadBlock();
    copied += TakeBuffered(bytes + copied, maximum - copied);
  }
  return copied;
}

KQ_IStream& KQ_TBufferedStream::Read(void* buffer, std::uint32_t count) {
  Read(buffer, count, count);
  return *this;
}

unsigned char KQ_TBufferedStream::ReadRefilling() {
  ReadBlock();
  return fReadBuffer[fReadIndex++];
}

bool KQ_TBufferedStream::Skip(std::uint32_t count) {
  KQ_IStream& stream = Bound();
  std::uint32_t const buffered = fReadFill - fReadIndex;
  if (count <= buffered) {
    fReadIndex += count;
    return true;
  }
  PassReadBuffer();
  std::uint32_t const rest = count - buffered;
  bool const skipped = stream.Skip(rest);
  if (skipped) fReadBase += rest;
  fWriteBase = fReadBase;
  return skipped;
}

KQ_IStream& KQ_TBufferedStream::Write(void const* buffer, std::uint32_t count) {
  Bound();
  if (count == 0) return *this;
  PrepareWrite();
  auto const* bytes = static_cast<unsigned char const*>(buffer);
  while (count > fWriteSize - fWriteIndex) {
    std::uint32_t const room = fWriteSize - fWriteIndex;
    std::memcpy(fWriteBuffer + fWriteIndex, bytes, room);
    fWriteIndex = fWriteSize;
    fWriteFill = fWriteSize;
    Flush();
    bytes += room;
    count -= room;
  }
  std::memcpy(fWriteBuffer + fWriteIndex, bytes, count);
  fWriteIndex += count;
  if (fWriteIndex > fWriteFill) fWriteFill = fWriteIndex;
  return *this;
}

KQ_IStream& KQ_TBufferedStream::WriteSlow(unsigned char byte) {
  Bound();
  PrepareWrite();
  if (fWriteIndex >= fWriteSize) Flush();
  fWriteBuffer[fWriteIndex++] = byte;
  if (fWriteIndex > fWriteFill) fWriteFill = fWriteIndex;
  return *this;
}

KQ_IStream& KQ_TBufferedStream::Mark(unsigned char id, std::uint32_t) {
  if (!Bound().Markable()) KQ_THROW(KQ_EStreamIsNotMarkable());
  kq::SetStreamMark(fMarks, id, Position());
  return *this;
}

KQ_IStream& KQ_TBufferedStream::ClearMark(unsigned char id) {
  if (!Bound().Markable()) KQ_THROW(KQ_EStreamIsNotMarkable());
  if (fMarks != nullptr) fMarks[id] = 0;
  return *this;
}

KQ_IStream& KQ_TBufferedStream::Rewind(unsigned char id) {
  if (!Bound().Markable()) KQ_THROW(KQ_EStreamIsNotMarkable());
  Seek(kq::StreamMark(fMarks, id));
  return *this;
}

std::uint32_t KQ_TBufferedStream::Position() const {
  if (!Bound().Seekable()) KQ_THROW(KQ_EStreamIsNotSeekable());
  return fReadFill != 0 ? fReadBase + fReadIndex : fWriteBase + fWriteIndex;
}

std::uint32_t KQ_TBufferedStream::Seek(std::uint32_t position) {
  std::uint32_t const previous = Position();
  Flush();
  fStream->Seek(position);
  fReadFill = 0;
  fReadIndex = 0;
  fReadBase = position;
  fWriteBase = position;
  return previous;
}
