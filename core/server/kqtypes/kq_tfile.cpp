#include "kq_tfile.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "internal/kq_file_support.h"
#include "kq_eexception.h"
#include "kq_memalloc.h"
#include "pathbridge.h"
#include "platform/kq_sys_file.h"

KQ_CLASS_IMPL(KQ_TFile)

namespace {

constexpr std::uint32_t kMarkCount = 256;
constexpr std::uint64_t kLargest32 = UINT32_MAX;

// The access a mode selects, by its low three bits.
bool OpensSomething(unsigned char mode) {
  unsigned char const access = mode & 7;
  return access >= KQ_TFile::ReadOnly && access <= KQ_TFile::Append;
}

kq::sys::StreamMode StreamModeOf(unsigned char mode) {
  switch (mode & 7) {
    case KQ_TFile::ReadOnly:
      return kq::sys::StreamMode::kRead;
    case KQ_TFile::WriteOnly:
      return kq::sys::StreamMode::kWrite;
    case KQ_TFile::ReadWrite:
      return kq::sys::StreamMode::kUpdate;
    default:
      return kq::sys::StreamMode::kAppend;
  }
}

}  // namespace

KQ_TFile::KQ_TFile()
    : fFile(nullptr),
      fMode(ReadOnly),
      fOwned(true),
      fMarks(nullptr),
      fLastAccess(LastAccess::kNone) {}

KQ_TFile::KQ_TFile(std::FILE* file, unsigned char mode) : KQ_TFile() {
  fFile = file;
  fMode = mode;
  fOwned = false;
}

KQ_TFile::KQ_TFile(KQ_TString const& localName, unsigned char mode) : KQ_TFile() {
  Reopen(localName, mode);
}

KQ_TFile::KQ_TFile(KQ_TURL const& url, unsigned char mode) : KQ_TFile() { Reopen(url, mode); }

KQ_TFile::KQ_TFile(KQ_TFile const& other) : KQ_TFile() {
  fURL = other.fURL;
  fLocalName = other.fLocalName;
  fMode = other.fMode;
  if (other.fFile != nullptr) Open();
  if (other.fMarks != nullptr) {
    fMarks = static_cast<std::uint64_t*>(KQ_MakeCopy(other.fMarks, kMarkCount * sizeof *fMarks));
  }
}

KQ_TFile::~KQ_TFile() {
  if (fOwned && fFile != nullptr) std::fclose(fFile);
  KQ_Free(fMarks);
}

KQ_TFile& KQ_TFile::operator=(KQ_TFile const& other) { return Reopen(other, fMode); }

KQ_TFile& KQ_TFile::operator=(KQ_TURL const& url) { return Reopen(url, fMode); }

KQ_TFile& KQ_TFile::operator=(KQ_TString const& localName) { return Reopen(localName, fMode); }

KQ_TFile& KQ_TFile::Reopen(KQ_TFile const& other, unsigned char mode) {
  // Reopening moves this file's own marks to 0, other's are copied after.
  std::uint64_t* marks = nullptr;
  if (&other != this && other.fMarks != nullptr) {
    marks = static_cast<std::uint64_t*>(KQ_MakeCopy(other.fMarks, kMarkCount * sizeof *marks));
  }
  try {
    Reopen(KQ_TString(other.fLocalName), mode);
  } catch (...) {
    KQ_Free(marks);
    throw;
  }
  if (marks != nullptr) {
    KQ_Free(fMarks);
    fMarks = marks;
  }
  return *this;
}

KQ_TFile& KQ_TFile::Reopen(KQ_TURL const& url, unsigned char mode) {
  KQ_TString const localName = url.LocalName();
  fURL = url;
  fLocalName = localName;
  fMode = mode;
  Open();
  return *this;
}

KQ_TFile& KQ_TFile::Reopen(KQ_TString const& localName, unsigned char mode) {
  fLocalName = localName;
  fURL = KQ_TURL();
  fMode = mode;
  Open();
  return *this;
}

void KQ_TFile::Open() {
  if (fMarks != nullptr) std::memset(fMarks, 0, kMarkCount * sizeof *fMarks);
  fLastAccess = LastAccess::kNone;
  if (!OpensSomething(fMode)) {
    Forget();
    KQ_THROW_FILE_FAULT(KQ_ECouldNotOpenFile, URL());
  }
  std::string name;
  if (!kq::FileSystemName(fLocalName, &name)) {
    Forget();
    KQ_THROW_SYSTEM_ERROR(KQ_ECouldNotOpenFile, URL());
  }
  fFile = kq::sys::OpenStream(name.c_str(), StreamModeOf(fMode), (fMode & TextMode) != 0, fFile);
  if (fFile == nullptr) KQ_THROW_SYSTEM_ERROR(KQ_ECouldNotOpenFile, URL());
}

void KQ_TFile::Forget() {
  std::uint32_t const error = kq::sys::LastError();
  if (fOwned && fFile != nullptr) std::fclose(fFile);
  fFile = nullptr;
  kq::sys::SetLastError(error);
}

bool KQ_TFile::Trunc() {
  RequireOpen();
  std::uint64_t length = 0;
  return std::fflush(fFile) == 0 && kq::sys::StreamPosition(fFile, &length) &&
         kq::sys::TruncateStream(fFile, length);
}

KQ_TURL KQ_TFile::URL() const {
  if (fURL.Protocol().Length() == 0 && fLocalName.Length() != 0) {
    fURL = KQ_TURL::LocalToURL(fLocalName);
  }
  return fURL;
}

KQ_TString KQ_TFile::LocalName() const { return fLocalName; }

std::uint32_t KQ_TFile::Length() const {
  std::uint64_t const length = Length64();
  if (length > kLargest32) RaiseTooLarge("length", length, "Length64");
  return static_cast<std::uint32_t>(length);
}

std::uint64_t KQ_TFile::Length64() const {
  RequireOpen();
  PathBridgeStat status;
  if (std::fflush(fFile) != 0 || fstat32_utf8(kq::sys::StreamDescriptor(fFile), &status) != 0) {
    KQ_THROW_SYSTEM_ERROR(KQ_EStreamIOError, URL());
  }
  return status.size;
}

std::uint64_t KQ_TFile::Position64() const {
  RequireOpen();
  std::uint64_t position = 0;
  if (!kq::sys::StreamPosition(fFile, &position)) KQ_THROW_SYSTEM_ERROR(KQ_EStreamIOError, URL());
  return position;
}

std::uint64_t KQ_TFile::Seek64(std::uint64_t position) {
  std::uint64_t const previous = Position64();
  if (!kq::sys::SeekStream(fFile, position)) KQ_THROW_SYSTEM_ERROR(KQ_EStreamIOError, URL());
  fLastAccess = LastAccess::kNone;
  return previous;
}

bool KQ_TFile::Close() {
  if (fFile != nullptr) {
    if (std::fflush(fFile) != 0) return false;
    // A wrapped stream is closed too: closing is what the caller asked for.
    bool const closed = std::fclose(fFile) == 0;
    fFile = nullptr;
    if (fMarks != nullptr) std::memset(fMarks, 0, kMarkCount * sizeof *fMarks);
    if (!closed) return false;
  }
  return true;
}

bool KQ_TFile::Flush() { return fFile == nullptr || std::fflush(fFile) == 0; }

bool KQ_TFile::Readable() const { return fFile != nullptr && (fMode & 5) != 0; }

bool KQ_TFile::Writable() const { return fFile != nullptr && (fMode & 6) != 0; }

bool KQ_TFile::Markable() const { return fFile != nullptr; }

bool KQ_TFile::Seekable() const { return fFile != nullptr; }

std::uint32_t KQ_TFile::Available() const {
  RequireOpen();
  if (!Readable()) KQ_THROW_FILE_FAULT(KQ_EStreamIOError, URL());
  std::uint64_t const length = Length64();
  std::uint64_t const position = Position64();
  std::uint64_t const left = position < length ? length - position : 0;
  if (left > kLargest32) RaiseTooLarge("number of bytes left", left, "Length64 and Position64");
  return static_cast<std::uint32_t>(left);
}

std::uint32_t KQ_TFile::Read(void* buffer, std::uint32_t minimum, std::uint32_t maximum) {
  RequireReadable();
  if (maximum == 0) return 0;
  if (minimum > maximum) minimum = maximum;
  auto* const bytes = static_cast<unsigned char*>(buffer);
  std::uint32_t total = 0;
  do {
    std::size_t const count = std::fread(bytes + total, 1, maximum - total, fFile);
    if (count == 0) RaiseReadFailure();
    total += static_cast<std::uint32_t>(count);
  } while (total < minimum);
  return total;
}

KQ_IStream& KQ_TFile::Read(void* buffer, std::uint32_t count) {
  Read(buffer, count, count);
  return *this;
}

unsigned char KQ_TFile::Read() {
  RequireReadable();
  int const byte = std::fgetc(fFile);
  if (byte == EOF) RaiseReadFailure();
  return static_cast<unsigned char>(byte);
}

bool KQ_TFile::Skip(std::uint32_t count) {
  RequireReadable();
  if (!kq::sys::SkipInStream(fFile, count)) KQ_THROW_SYSTEM_ERROR(KQ_EStreamIOError, URL());
  fLastAccess = LastAccess::kNone;
  return true;
}

KQ_IStream& KQ_TFile::Write(void const* buffer, std::uint32_t count) {
  RequireWritable();
  if (std::fwrite(buffer, 1, count, fFile) < count) RaiseStreamError();
  return *this;
}

KQ_IStream& KQ_TFile::Write(unsigned char byte) {
  RequireWritable();
  if (std::fputc(byte, fFile) == EOF) RaiseStreamError();
  return *this;
}

KQ_IStream& KQ_TFile::Mark(unsigned char id, std::uint32_t) {
  std::uint64_t const position = Position64();
  if (fMarks == nullptr) {
    fMarks = static_cast<std::uint64_t*>(KQ_CAlloc(kMarkCount, sizeof *fMarks));
  }
  fMarks[id] = position;
  return *this;
}

KQ_IStream& KQ_TFile::ClearMark(unsigned char id) {
  RequireOpen();
  if (fMarks == nullptr) KQ_THROW_FILE_FAULT(KQ_EIllegalStreamMark, URL());
  fMarks[id] = 0;
  return *this;
}

KQ_IStream& KQ_TFile::Rewind(unsigned char id) {
  RequireOpen();
  if (fMarks == nullptr) KQ_THROW_FILE_FAULT(KQ_EIllegalStreamMark, URL());
  Seek64(fMarks[id]);
  return *this;
}

std::uint32_t KQ_TFile::Position() const {
  std::uint64_t const position = Position64();
  if (position > kLargest32) RaiseTooLarge("position", position, "Position64");
  return static_cast<std::uint32_t>(position);
}

std::uint32_t KQ_TFile::Seek(std::uint32_t position) {
  std::uint64_t const previous = Position64();
  if (previous > kLargest32) RaiseTooLarge("position", previous, "Seek64");
  Seek64(position);
  return static_cast<std::uint32_t>(previous);
}

bool KQ_TFile::Copy(KQ_TString const& from, KQ_TString const& to, bool failIfExists) {
  std::string source;
  std::string target;
  return kq::FileSystemName(from, &source) && kq::FileSystemName(to, &target) &&
         kq::sys::CopyFile(source.c_str(), target.c_str(), failIfExists);
}

bool KQ_TFile::Copy(KQ_TURL const& from, KQ_TURL const& to, bool failIfExists) {
  try {
    return Copy(from.LocalName(), to.LocalName(), failIfExists);
  } catch (KQ_EURLException const&) {
    return false;
  }
}

void KQ_TFile::Remove(KQ_TString const& localName) {
  std::string name;
  if (!kq::FileSystemName(localName, &name) || !kq::sys::RemoveFile(name.c_str())) {
    KQ_THROW_SYSTEM_ERROR(KQ_ECouldNotRemoveFile, localName);
  }
}

void KQ_TFile::Remove(KQ_TURL const& url) { Remove(url.LocalName()); }

void KQ_TFile::Rename(KQ_TString const& from, KQ_TString const& to) {
  std::string source;
  std::string target;
  if (!kq::FileSystemName(from, &source) || !kq::FileSystemName(to, &target) ||
      !kq::sys::RenamePath(source.c_str(), target.c_str())) {
    KQ_THROW_SYSTEM_ERROR(KQ_ECouldNotRenameFile, from);
  }
}

void KQ_TFile::Rename(KQ_TURL const& from, KQ_TURL const& to) {
  Rename(from.LocalName(), to.LocalName());
}

void KQ_TFile::RequireOpen() const {
  if (fFile == nullptr) KQ_THROW_FILE_FAULT(KQ_EStreamIsNotBound, URL());
}

void KQ_TFile::RequireReadable() {
  RequireOpen();
  if (!Readable()) KQ_THROW_FILE_FAULT(KQ_EStreamIOError, URL());
  SwitchTo(LastAccess::kRead);
}

void KQ_TFile::RequireWritable() {
  RequireOpen();
  if (!Writable()) KQ_THROW_FILE_FAULT(KQ_EStreamIOError, URL());
  SwitchTo(LastAccess::kWrite);
}

void KQ_TFile::SwitchTo(LastAccess access) {
  if (fLastAccess != access && fLastAccess != LastAccess::kNone) {
    // The C library wants a positioning call between writing and reading;
    // moving by nothing is one.
    if (!kq::sys::SkipInStream(fFile, 0)) KQ_THROW_SYSTEM_ERROR(KQ_EStreamIOError, URL());
  }
  fLastAccess = access;
}

void KQ_TFile::RaiseTooLarge(char const* what, std::uint64_t value, char const* use) const {
  KQ_THROW(KQ_EStreamIOError(
      KQ_TString::Format("The file's %s, %" PRIu64 " bytes, does not fit 32 bits; use %s", what,
                         value, use),
      KQ_TAny(URL())));
}

void KQ_TFile::RaiseReadFailure() {
  if (std::ferror(fFile) != 0) RaiseStreamError();
  // A later read may find bytes that were appended meanwhile.
  std::clearerr(fFile);
  KQ_THROW_FILE_FAULT(KQ_EStreamEndReached, URL());
}

void KQ_TFile::RaiseStreamError() {
  // The stream's error flag goes, so that the next operation is judged on
  // its own.
  std::clearerr(fFile);
  KQ_THROW_SYSTEM_ERROR(KQ_EStreamIOError, URL());
}
