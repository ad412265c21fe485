#include "kqdump_streams.h"

#include <algorithm>
#include <cstring>

#include "kq_eexception.h"

namespace kqdump {

namespace {

constexpr std::size_t kBufferSize = 1 << 16;

}  // namespace

KQ_CLASS_IMPL(FileInput)

FileInput::FileInput(std::FILE* file)
    : fFile(file),
      fBuffer(new unsigned char[kBufferSize]),
      fNext(fBuffer.get()),
      fEnd(fBuffer.get()),
      fOffset(0),
      fCopy(nullptr),
      fCopyFrom(nullptr),
      fFinalLineFeed(false),
      fFinalLineFeedGiven(false) {}

FileInput::~FileInput() = default;

void FileInput::SaveCopy() {
  if (fCopy != nullptr) fCopy->insert(fCopy->end(), fCopyFrom, fNext);
  fCopyFrom = fNext;
}

void FileInput::BeginCopy(std::vector<unsigned char>* copy) {
  fCopy = copy;
  fCopyFrom = fNext;
}

void FileInput::EndCopy() {
  SaveCopy();
  fCopy = nullptr;
}

bool FileInput::Refill() {
  if (fNext != fEnd) return true;
  SaveCopy();
  fOffset += static_cast<std::uint64_t>(fEnd - fBuffer.get());
  fNext = fEnd = fCopyFrom = fBuffer.get();
  std::size_t const got = std::fread(fBuffer.get(), 1, kBufferSize, fFile);
  if (got == 0 && std::ferror(fFile) != 0) KQ_THROW(KQ_EStreamIOError());
  if (got == 0 && fFinalLineFeed && !fFinalLineFeedGiven) {
    fFinalLineFeedGiven = true;
    fBuffer[0] = '\n';
    fEnd = fBuffer.get() + 1;
    return true;
  }
  fEnd = fBuffer.get() + got;
  if (fProgress && got != 0) fProgress(fOffset + got);
  return got != 0;
}

bool FileInput::AtEnd() { return !Refill(); }

std::uint32_t FileInput::Read(void* buffer, std::uint32_t minimum, std::uint32_t maximum) {
  auto* out = static_cast<unsigned char*>(buffer);
  std::uint32_t done = 0;
  while (done < maximum) {
    // Past the minimum, take only what is at hand rather than wait.
    if (fNext == fEnd && (done >= minimum || !Refill())) break;
    auto const piece = static_cast<std::uint32_t>(
        std::min<std::ptrdiff_t>(fEnd - fNext, static_cast<std::ptrdiff_t>(maximum - done)));
    std::memcpy(out + done, fNext, piece);
    fNext += piece;
    done += piece;
  }
  if (done < minimum) KQ_THROW(KQ_EStreamEndReached());
  return done;
}

KQ_IStream& FileInput::Read(void* buffer, std::uint32_t count) {
  if (static_cast<std::uint32_t>(fEnd - fNext) >= count) {
    std::memcpy(buffer, fNext, count);
    fNext += count;
    return *this;
  }
  Read(buffer, count, count);
  return *this;
}

unsigned char FileInput::Read() {
  if (fNext == fEnd && !Refill()) KQ_THROW(KQ_EStreamEndReached());
  return *fNext++;
}

bool FileInput::Skip(std::uint32_t count) {
  while (count > 0) {
    if (fNext == fEnd && !Refill()) return false;
    auto const piece = static_cast<std::uint32_t>(
        std::min<std::ptrdiff_t>(fEnd - fNext, static_cast<std::ptrdiff_t>(count)));
    fNext += piece;
    count -= piece;
  }
  return true;
}

KQ_CLASS_IMPL(FileOutput)

FileOutput::FileOutput(std::FILE* file)
    : fFile(file), fBuffer(new unsigned char[kBufferSize]), fUsed(0), fFailed(false) {}

FileOutput::~FileOutput() {
  if (fUsed != 0 && !fFailed) std::fwrite(fBuffer.get(), 1, fUsed, fFile);
}

void FileOutput::Fail() {
  fFailed = true;
  fUsed = 0;
  KQ_THROW(KQ_EStreamIOError());
}

void FileOutput::Drain() {
  if (fUsed != 0 && std::fwrite(fBuffer.get(), 1, fUsed, fFile) != fUsed) Fail();
  fUsed = 0;
}

bool FileOutput::Flush() {
  Drain();
  if (std::fflush(fFile) != 0) Fail();
  return true;
}

KQ_IStream& FileOutput::Write(void const* buffer, std::uint32_t count) {
  if (count > kBufferSize - fUsed) {
    Drain();
    if (count >= kBufferSize) {
      if (std::fwrite(buffer, 1, count, fFile) != count) Fail();
      return *this;
    }
  }
  std::memcpy(fBuffer.get() + fUsed, buffer, count);
  fUsed += count;
  return *this;
}

KQ_IStream& FileOutput::Write(unsigned char byte) {
  if (fUsed == kBufferSize) Drain();
  fBuffer[fUsed++] = byte;
  return *this;
}

}  // namespace kqdump
