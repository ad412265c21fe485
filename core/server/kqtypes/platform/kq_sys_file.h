// Files and directories under KQ_TFile and KQ_TFileInfo: buffered streams
// with 64-bit positions, the status of a path, directory listings, tree
// removal, copying, renaming and removing.
//
// Paths are the system's bytes, zero-terminated. Every function reports
// failure by its result and leaves the system's error pending (errno) for
// the caller's exception. Every descriptor opened here is close-on-exec, so
// no child process inherits a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace kq::sys {

// How a stream is opened: for reading; for writing, created or emptied; for
// reading and writing from its start, created when missing (an existing file
// is never emptied); for reading and appending, created when missing.
enum class StreamMode { kRead, kWrite, kUpdate, kAppend };

// Opens path as a buffered stream. text asks for text mode, which is binary
// mode on this system. With reuse, that stream is reopened on path (freopen)
// instead of a new one being made; on failure it is closed. A directory is
// refused (EISDIR).
std::FILE* OpenStream(char const* path, StreamMode mode, bool text, std::FILE* reuse) noexcept;
// The stream's position in bytes from its start.
bool StreamPosition(std::FILE* stream, std::uint64_t* position) noexcept;
// Moves to a position from the start, or by count from the current
// position; a position beyond the end is allowed.
bool SeekStream(std::FILE* stream, std::uint64_t position) noexcept;
bool SkipInStream(std::FILE* stream, std::uint64_t count) noexcept;
// Cuts (or extends) the stream's file to length bytes; flush first.
bool TruncateStream(std::FILE* stream, std::uint64_t length) noexcept;
// The descriptor under the stream.
int StreamDescriptor(std::FILE* stream) noexcept;

// False, with the error set, for a name that this system would not open as
// the file it means: one that holds a zero byte (EINVAL), or the network form
// "//host/path" of a file on another host, which the system would take for a
// local path (EREMOTE).
bool UsableName(char const* name, std::size_t size) noexcept;

struct FileTime {
  std::int64_t seconds = 0;  // since 1970-01-01 00:00:00 UTC
  std::uint32_t nanoseconds = 0;
};

struct FileStatus {
  bool directory = false;
  std::uint64_t size = 0;
  std::uint32_t owner = 0;  // user id
  FileTime access;
  FileTime modification;
  // The birth time where the file system keeps one, else the time of the
  // last status change.
  FileTime creation;
};

// The status of path, of the link itself when followLinks is false.
bool PathStatus(char const* path, bool followLinks, FileStatus* status) noexcept;
// Whether the name exists (a link counts, wherever it points).
bool PathExists(char const* path) noexcept;

// Receives each entry of a directory: its name and, when asked for, its
// status (of the entry itself, not of what a link points at; null
// otherwise).
using DirectoryVisitor = std::function<void(std::string const& name, FileStatus const* status)>;

// Hands every entry of the directory but "." and ".." to visit, in the order
// the system gives them. An entry removed while the directory is read is
// left out. False when the directory cannot be opened or read, or the status
// of an entry cannot be read. What visit raises passes through.
bool ReadDirectory(char const* path, bool withStatus, DirectoryVisitor const& visit);

// Removes a file (or a link), renames (an existing target is replaced),
// creates a directory (parents are not).
bool RemoveFile(char const* path) noexcept;
bool RenamePath(char const* from, char const* to) noexcept;
bool MakeDirectory(char const* path) noexcept;

// Copies the bytes, permissions and times of the file from to the file to,
// which is created, or emptied when it exists and failIfExists is false.
// Fails, leaving to alone, when both name the same file. A copy that fails
// after creating to removes it again.
bool CopyFile(char const* from, char const* to, bool failIfExists) noexcept;

enum class TreeRemoval {
  kRemoved,
  // Everything that could be removed is gone, but path itself is not.
  kNotRemoved,
  // A directory of the tree could not be opened as one: it vanished, became
  // something else (a link, a file) or cannot be read. The removal stopped
  // there.
  kNotListed,
};

// Removes the directory path and everything below it. Links are removed,
// never followed (a link at path itself is removed as the entry path
// names), and every directory is opened through its parent's descriptor, so
// a tree that is changed meanwhile cannot lead the removal out of itself.
// Entries that cannot be removed are passed over. For kNotListed, unlisted
// receives the failing directory's path relative to path (empty for path
// itself), with the error pending. One descriptor is held per level of the
// tree, so a tree deeper than the process may open files is not listed.
TreeRemoval RemoveTree(char const* path, std::string* unlisted);

}  // namespace kq::sys
