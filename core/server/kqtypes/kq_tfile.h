// KQ_TFile: a file as a byte stream, opened through the C library's buffered
// streams by local name or by "file" URL. It is readable, writable, seekable
// and markable according to its open mode, and the static members copy,
// rename and remove files by name.
//
// Open modes (one of the first four, optionally with TextMode, which is
// binary mode on this system):
//
//   ReadOnly   1  reads an existing file
//   WriteOnly  2  creates the file or empties it, and writes
//   ReadWrite  3  reads and writes from the start; creates a missing file,
//                 never empties an existing one
//   Append     4  reads anywhere, writes at the end; creates a missing file
//
// Any other value in the low three bits opens nothing and raises
// KQ_ECouldNotOpenFile without touching the file system. A directory is not
// opened. Reading and writing may alternate freely. Every descriptor is
// close-on-exec.
//
// Names are bytes: a KQ_TString becomes the file system's name by its kBytes
// rule, so every name a file system can hold (invalid UTF-8 included) is
// reached. A name that holds a zero byte, or the network form "//host/path"
// of another host (KQ_TURL::LocalName gives it for a URL that no mount
// reaches), opens nothing.
//
// Large files. Positions, sizes and counts of the stream interface are 32
// bits wide. The file underneath is read and written with 64-bit positions,
// so a file of 4 GiB or more is fully usable through Read, Write, Skip, Mark,
// Rewind and Trunc, and through Length64, Position64 and Seek64. Length,
// Position, Available and Seek raise KQ_EStreamIOError (with a message
// naming the 64-bit member to use) instead of answering a number that does
// not fit; nothing has changed when they do.
//
// Failures. The exceptions about a file carry its URL (computed from the
// local name when the file was opened by name; empty for a wrapped C stream)
// as their value and an empty message, which is completed with the system's
// text of the failure where the system reported one.
//
// A KQ_TFile is used by one thread at a time.
#pragma once

#include <cstdint>
#include <cstdio>

#include "kq_istream.h"
#include "kq_tobject.h"
#include "kq_tstring.h"
#include "kq_turl.h"

class KQ_EXPORT KQ_TFile : public KQ_TObject, public virtual KQ_IStream {
  KQ_CLASS(KQ_TFile, KQ_TObject, KQ_IStream)
  static constexpr unsigned char ReadOnly = 1;
  static constexpr unsigned char WriteOnly = 2;
  static constexpr unsigned char ReadWrite = 3;
  static constexpr unsigned char Append = 4;
  static constexpr unsigned char TextMode = 8;

  // No file, ReadOnly.
  KQ_TFile();
  // Wraps an open C stream, which the destructor leaves open; no names.
  KQ_TFile(std::FILE* file, unsigned char mode);
  // Open the named file (KQ_ECouldNotOpenFile when it cannot be opened).
  KQ_TFile(KQ_TString const& localName, unsigned char mode);
  // The URL's local name; a URL that is no "file" URL raises from
  // KQ_TURL::LocalName.
  KQ_TFile(KQ_TURL const& url, unsigned char mode);
  // The names, mode and marks of other; when other is open, the same file
  // is opened again by its local name and mode, with a position of its own
  // (WriteOnly empties it again).
  KQ_TFile(KQ_TFile const& other);
  // Closes an open file unless it is a wrapped C stream.
  ~KQ_TFile() override;

  // Reopen(..., the current mode).
  virtual KQ_TFile& operator=(KQ_TFile const& other);
  virtual KQ_TFile& operator=(KQ_TURL const& url);
  virtual KQ_TFile& operator=(KQ_TString const& localName);
  // Reopens by other's local name, then (unless other is this file) takes a
  // copy of other's marks when it has any.
  virtual KQ_TFile& Reopen(KQ_TFile const& other, unsigned char mode);
  // Keeps the URL, takes its local name and opens.
  virtual KQ_TFile& Reopen(KQ_TURL const& url, unsigned char mode);
  // Keeps the local name, forgets the URL and opens.
  //
  // Opening sets every mark to 0 and reuses the C stream of an open file
  // (freopen). When it fails, or the mode selects nothing, the file is
  // closed, the new names and mode stay and KQ_ECouldNotOpenFile is raised.
  virtual KQ_TFile& Reopen(KQ_TString const& localName, unsigned char mode);
  // Cuts the file at the current position; false when the system refuses
  // (a file not open for writing, for one). KQ_EStreamIsNotBound when no
  // file is open.
  virtual bool Trunc();
  // The URL; for a file opened by local name it is computed from that name
  // (KQ_TURL::LocalToURL) the first time and kept.
  virtual KQ_TURL URL() const;
  virtual KQ_TString LocalName() const;
  // The size of the file in bytes, after flushing what is buffered.
  // KQ_EStreamIsNotBound when no file is open, KQ_EStreamIOError when the
  // size cannot be read or is 4 GiB or more (see Length64).
  virtual std::uint32_t Length() const;

  // The 64-bit companions of Length, Position and Seek, with the same
  // exceptions but for the size limit.
  std::uint64_t Length64() const;
  std::uint64_t Position64() const;
  // Moves to position; returns the position before.
  std::uint64_t Seek64(std::uint64_t position);

  // Closes the file. False, with the file kept open, when its buffered bytes
  // cannot be written (the C library drops them all the same, so the next
  // Close closes); false, with the file closed, when the system reports an
  // error while closing. Marks are set to 0; the names stay. True when
  // nothing is open.
  bool Close() override;
  // Pushes buffered bytes into the file (so that they survive the end of the
  // process); false when they cannot be written. True when nothing is open.
  bool Flush() override;
  // Open, and the mode has bit 0 or 2 (ReadOnly, ReadWrite, Append).
  bool Readable() const override;
  // Open, and the mode has bit 1 or 2 (WriteOnly, ReadWrite, Append).
  bool Writable() const override;
  // Whenever a file is open.
  bool Markable() const override;
  bool Seekable() const override;

  // Each stream operation raises KQ_EStreamIsNotBound when no file is open.
  //
  // Length minus the position, 0 when the position lies beyond the end;
  // KQ_EStreamIOError when the file is not readable or the bytes left are
  // 4 GiB or more.
  std::uint32_t Available() const override;
  // Reads until at least minimum bytes (a minimum above maximum counts as
  // maximum) and returns how many, at most maximum: one read when minimum
  // is 0. KQ_EStreamEndReached when a read meets the end of the file first,
  // also for a minimum of 0 (unless maximum is 0 as well: that reads
  // nothing); bytes read before the end are then lost to the caller.
  // KQ_EStreamIOError when the file is not readable or the system fails.
  std::uint32_t Read(void* buffer, std::uint32_t minimum, std::uint32_t maximum) override;
  KQ_IStream& Read(void* buffer, std::uint32_t count) override;
  unsigned char Read() override;
  // Moves the position on by count bytes (beyond the end is allowed) and
  // answers true; KQ_EStreamIOError when the file is not readable or the
  // system refuses.
  bool Skip(std::uint32_t count) override;
  // KQ_EStreamIOError when the file is not writable or not every byte could
  // be written (a full disk, for one).
  KQ_IStream& Write(void const* buffer, std::uint32_t count) override;
  KQ_IStream& Write(unsigned char byte) override;
  // Marks hold 64-bit positions; the table of 256 is allocated by the first
  // Mark, and the limit is not used (a file can always go back). ClearMark
  // and Rewind raise KQ_EIllegalStreamMark while no mark was ever set on the
  // file; Rewind to a mark that was never set goes to position 0.
  KQ_IStream& Mark(unsigned char id, std::uint32_t limit) override;
  KQ_IStream& ClearMark(unsigned char id) override;
  KQ_IStream& Rewind(unsigned char id) override;
  // KQ_EStreamIOError beyond 4 GiB - 1 (see Position64 and Seek64).
  std::uint32_t Position() const override;
  std::uint32_t Seek(std::uint32_t position) override;

  // Copies the file's bytes, permissions and times; an existing target is
  // replaced unless failIfExists is set. False when the copy fails (and a
  // target it created is removed again), also when both name the same
  // file. Never raises, not even for a URL without a local name.
  static bool Copy(KQ_TString const& from, KQ_TString const& to, bool failIfExists);
  static bool Copy(KQ_TURL const& from, KQ_TURL const& to, bool failIfExists);
  // Removes a file (not a directory); KQ_ECouldNotRemoveFile, with the name
  // as its value, when the system refuses.
  static void Remove(KQ_TString const& localName);
  static void Remove(KQ_TURL const& url);
  // Renames a file or directory, replacing an existing file of the new
  // name; KQ_ECouldNotRenameFile, with the source name as its value, when
  // the system refuses.
  static void Rename(KQ_TString const& from, KQ_TString const& to);
  static void Rename(KQ_TURL const& from, KQ_TURL const& to);

 private:
  // What the C stream did last: a switch between reading and writing must
  // pass through a positioning call.
  enum class LastAccess : unsigned char { kNone, kRead, kWrite };

  // Opens the stored local name in the stored mode (see Reopen).
  void Open();
  // Closes the C stream unless it is a wrapped one, and forgets it; the
  // pending error stays.
  void Forget();
  // The checks every byte operation begins with.
  void RequireOpen() const;
  void RequireReadable();
  void RequireWritable();
  void SwitchTo(LastAccess access);
  // Raises KQ_EStreamIOError saying that value does not fit 32 bits and
  // which member to use.
  [[noreturn]] void RaiseTooLarge(char const* what, std::uint64_t value, char const* use) const;
  // The end of the file, or the system's error when the stream has one.
  [[noreturn]] void RaiseReadFailure();
  // The system's error of a failed read or write.
  [[noreturn]] void RaiseStreamError();

  std::FILE* fFile;
  unsigned char fMode;
  mutable KQ_TURL fURL;
  KQ_TString fLocalName;
  bool fOwned;
  std::uint64_t* fMarks;
  LastAccess fLastAccess;
};
