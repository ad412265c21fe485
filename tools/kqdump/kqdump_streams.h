// The byte streams of kqdump: a buffered input over a C file that counts the
// bytes it has delivered and can keep a copy of them, and a buffered output
// over a C file. Both are ordinary KQ_IStream implementations, so the data
// stream and the human-readable stream read and write through them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "kq_istream.h"
#include "kq_tobject.h"

namespace kqdump {

class FileInput : public KQ_TObject, public virtual KQ_IStream {
  KQ_CLASS(FileInput, KQ_TObject, KQ_IStream)
  // Called after every refill with the number of bytes delivered so far.
  using Progress = std::function<void(std::uint64_t offset)>;

  // Reads file, which stays open (and owned by the caller).
  explicit FileInput(std::FILE* file);
  FileInput(FileInput const&) = delete;
  FileInput& operator=(FileInput const&) = delete;
  ~FileInput() override;

  // Bytes delivered so far, counted from the start of the file.
  std::uint64_t Offset() const {
    return fOffset + static_cast<std::uint64_t>(fNext - fBuffer.get());
  }
  // True when every byte has been delivered.
  bool AtEnd();
  // From now on every byte delivered is appended to copy as well, until
  // EndCopy.
  void BeginCopy(std::vector<unsigned char>* copy);
  void EndCopy();
  // At the end of the file, deliver one line feed before reporting the end:
  // a number at the very end of a text then ends like any other.
  void SetFinalLineFeed(bool on) { fFinalLineFeed = on; }
  void SetProgress(Progress progress) { fProgress = std::move(progress); }

  bool Close() override { return true; }
  bool Flush() override { return true; }
  bool Readable() const override { return true; }
  // The bytes in the buffer; reading more may wait for the device.
  std::uint32_t Available() const override { return static_cast<std::uint32_t>(fEnd - fNext); }
  std::uint32_t Read(void* buffer, std::uint32_t minimum, std::uint32_t maximum) override;
  KQ_IStream& Read(void* buffer, std::uint32_t count) override;
  unsigned char Read() override;
  bool Skip(std::uint32_t count) override;

 private:
  // Refills an empty buffer; false at the end of the file. Raises
  // KQ_EStreamIOError when the device fails.
  bool Refill();
  void SaveCopy();

  std::FILE* fFile;
  std::unique_ptr<unsigned char[]> fBuffer;
  unsigned char* fNext;
  unsigned char* fEnd;
  std::uint64_t fOffset;  // of the buffer's first byte
  std::vector<unsigned char>* fCopy;
  unsigned char* fCopyFrom;
  bool fFinalLineFeed;
  bool fFinalLineFeedGiven;
  Progress fProgress;
};

class FileOutput : public KQ_TObject, public virtual KQ_IStream {
  KQ_CLASS(FileOutput, KQ_TObject, KQ_IStream)
  // Writes to file, which stays open (and owned by the caller). Writing
  // failures raise KQ_EStreamIOError.
  explicit FileOutput(std::FILE* file);
  FileOutput(FileOutput const&) = delete;
  FileOutput& operator=(FileOutput const&) = delete;
  // Writes what is buffered; failures are dropped (call Flush to see them).
  ~FileOutput() override;

  bool Close() override { return Flush(); }
  // Writes what is buffered and flushes the file.
  bool Flush() override;
  bool Writable() const override { return true; }
  // Whether a write or flush has failed.
  bool Failed() const { return fFailed; }
  KQ_IStream& Write(void const* buffer, std::uint32_t count) override;
  KQ_IStream& Write(unsigned char byte) override;

 private:
  void Drain();
  [[noreturn]] void Fail();

  std::FILE* fFile;
  std::unique_ptr<unsigned char[]> fBuffer;
  std::uint32_t fUsed;
  bool fFailed;
};

}  // namespace kqdump
