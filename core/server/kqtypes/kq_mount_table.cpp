#include "internal/kq_mount_table.h"

#include <cstddef>

#include "platform/kq_sys_path.h"
#include "platform/kq_sys_volume.h"

namespace kq {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// One field from position i on, octal escapes decoded; i ends behind it.
std::string Field(std::string const& line, std::size_t& i) {
  while (i < line.size() && IsBlank(line[i])) ++i;
  std::string field;
  while (i < line.size() && !IsBlank(line[i])) {
    char const c = line[i];
    bool const octal = c == '\\' && i + 3 < line.size() && line[i + 1] >= '0' &&
                       line[i + 1] <= '3' && line[i + 2] >= '0' && line[i + 2] <= '7' &&
                       line[i + 3] >= '0' && line[i + 3] <= '7';
    if (octal) {
      field.push_back(static_cast<char>((line[i + 1] - '0') * 64 + (line[i + 2] - '0') * 8 +
                                        (line[i + 3] - '0')));
      i += 4;
    } else {
      field.push_back(c);
      ++i;
    }
  }
  return field;
}

// Normalised segments of path joined behind base ("" or an absolute path).
std::string Normalised(std::string const& base, std::string const& path) {
  std::string result = base;
  std::size_t begin = 0;
  while (begin <= path.size()) {
    std::size_t end = path.find('/', begin);
    if (end == std::string::npos) end = path.size();
    std::size_t const length = end - begin;
    if (length == 2 && path[begin] == '.' && path[begin + 1] == '.') {
      std::size_t const slash = result.rfind('/');
      result.erase(slash == std::string::npos ? 0 : slash);
    } else if (length != 0 && !(length == 1 && path[begin] == '.')) {
      result += '/';
      result.append(path, begin, length);
    }
    begin = end + 1;
  }
  return result.empty() ? "/" : result;
}

std::string WithoutSlashes(std::string text) {
  while (!text.empty() && text.back() == '/') text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && text[start] == '/') ++start;
  return text.substr(start);
}

}  // namespace

std::vector<Mount> ParseMountTable(std::string const& text) {
  std::vector<Mount> mounts;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string const line = text.substr(begin, end - begin);
    begin = end + 1;
    std::size_t i = 0;
    Mount mount;
    mount.source = Field(line, i);
    mount.mountPoint = Field(line, i);
    mount.type = Field(line, i);
    if (mount.type.empty() || mount.source[0] == '#' || mount.mountPoint[0] != '/') continue;
    mount.mountPoint = Normalised("", mount.mountPoint);
    mounts.push_back(std::move(mount));
  }
  return mounts;
}

std::vector<Mount> ReadMounts() {
  std::string text;
  if (!sys::ReadMountTable(&text)) return {};
  return ParseMountTable(text);
}

bool IsBelow(std::string const& path, std::string const& directory) {
  if (directory.empty()) return true;
  if (directory == "/") return !path.empty() && path[0] == '/';
  return path.compare(0, directory.size(), directory) == 0 &&
         (path.size() == directory.size() || path[directory.size()] == '/');
}

Mount const* FindMount(std::vector<Mount> const& mounts, std::string const& path) {
  Mount const* found = nullptr;
  for (Mount const& mount : mounts) {
    if (IsBelow(path, mount.mountPoint) &&
        (found == nullptr || mount.mountPoint.size() >= found->mountPoint.size())) {
      found = &mount;
    }
  }
  return found;
}

bool IsNetworkFileSystem(std::string const& type) {
  static char const* const kTypes[] = {
      "nfs",  "nfs4",  "cifs",      "smb3",           "smbfs",       "ncpfs",      "afs",
      "ceph", "coda",  "9p",        "davfs",          "lustre",      "fuse.sshfs", "sshfs",
      "gfs2", "ocfs2", "glusterfs", "fuse.glusterfs", "fuse.rclone", "fuse.s3fs"};
  for (char const* known : kTypes) {
    if (type == known) return true;
  }
  return false;
}

bool RemoteOf(Mount const& mount, std::string* host, std::string* directory) {
  if (!IsNetworkFileSystem(mount.type)) return false;
  std::string const& source = mount.source;
  if (source.compare(0, 2, "//") == 0) {
    std::size_t const slash = source.find('/', 2);
    *host = source.substr(2, slash == std::string::npos ? std::string::npos : slash - 2);
    *directory = slash == std::string::npos ? std::string() : WithoutSlashes(source.substr(slash));
    return !host->empty();
  }
  // [address]:path, host:path or user@host:path.
  std::size_t const at = source.find('@');
  std::size_t const hostBegin = at < source.find(':') ? at + 1 : 0;
  std::size_t colon = source.find(':', hostBegin);
  if (source.compare(hostBegin, 1, "[") == 0) {
    std::size_t const close = source.find(']', hostBegin);
    if (close == std::string::npos) return false;
    colon = source.find(':', close);
    *host = source.substr(hostBegin + 1, close - hostBegin - 1);
  } else if (colon != std::string::npos) {
    *host = source.substr(hostBegin, colon - hostBegin);
  }
  if (colon == std::string::npos || host->empty()) return false;
  *directory = WithoutSlashes(Normalised("", source.substr(colon + 1)));
  return true;
}

std::string AbsolutePath(std::string const& path) {
  std::string base;
  if ((path.empty() || path[0] != '/') && sys::CurrentDirectory(&base)) base = Normalised("", base);
  if (base == "/") base.clear();
  return Normalised(base, path);
}

}  // namespace kq
