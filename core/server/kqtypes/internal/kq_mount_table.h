// The mount table as KQ_TVolumeInfo and KQ_TURL's local names read it.
//
// Everything here is the system's bytes: mount points and paths as the
// kernel takes them, compared byte for byte.
#pragma once

#include <string>
#include <vector>

namespace kq {

struct Mount {
  // What is mounted: a block device ("/dev/sda1"), a remote export
  // ("srv:/export", "//srv/share") or a name ("tmpfs").
  std::string source;
  // Absolute, without a trailing "/" (but "/" itself).
  std::string mountPoint;
  std::string type;
};

// The lines of a mount table (fstab layout: source, mount point, type and
// options separated by blanks, with blanks, tabs, line feeds and
// backslashes inside a field written as \040, \011, \012 and \134). Lines
// with fewer than three fields and comments are passed over.
std::vector<Mount> ParseMountTable(std::string const& text);

// The system's mount table; empty when it cannot be read.
std::vector<Mount> ReadMounts();

// The mount whose mount point holds path (absolute and normalised, see
// AbsolutePath): the longest such mount point, and of several mounts on
// the same point the last, which hides the others. Null when none does.
Mount const* FindMount(std::vector<Mount> const& mounts, std::string const& path);

// True for the types of file systems that another machine serves (nfs,
// cifs, sshfs and the like).
bool IsNetworkFileSystem(std::string const& type);

// The host and exported directory of a network mount: "host:/export" and
// "user@host:export" give host and "export", "//host/share/dir" gives host
// and "share/dir"; the directory has no leading or trailing "/". False for
// a mount that is no network file system or whose source has no such form.
bool RemoteOf(Mount const& mount, std::string* host, std::string* directory);

// The absolute form of a path: a relative one is taken from the current
// directory (or from "/" when there is none), then "." segments and
// repeated "/" are dropped and ".." takes back a segment (at the root it
// stays there), without looking at the file system.
std::string AbsolutePath(std::string const& path);

// True when path is directory or lies below it (both normalised, without
// leading or trailing "/" for relative ones, "/" or absolute otherwise).
bool IsBelow(std::string const& path, std::string const& directory);

}  // namespace kq
