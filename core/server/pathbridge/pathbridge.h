// pathbridge: environment and file-system calls that take and give UTF-8.
//
// Each function behaves like the runtime library's function of the same name
// without the suffix. On platforms whose environment and file names are
// UTF-8 already (Linux among them) they are those calls.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define PATHBRIDGE_EXPORT __declspec(dllexport)
#else
#define PATHBRIDGE_EXPORT __attribute__((visibility("default")))
#endif

// The status record filled by stat32_utf8 and fstat32_utf8.
struct PathBridgeStat {
  std::uint32_t mode;       // type and permission bits; 0x4000 marks a directory
  std::uint64_t size;       // bytes
  std::int64_t accessTime;  // seconds since 1970 UTC
  std::int64_t modificationTime;
  std::int64_t changeTime;
};

extern "C" {
// The variable's value, or null when it is not set. The text stays readable
// until the variable is changed.
PATHBRIDGE_EXPORT char const* getenv_utf8(char const* name);
// Sets "NAME=value" for the process; 0 on success. The text is copied.
PATHBRIDGE_EXPORT int putenv_utf8(char const* assignment);
// 0 and a filled record on success, non-zero on failure.
PATHBRIDGE_EXPORT int stat32_utf8(char const* path, PathBridgeStat* status);
PATHBRIDGE_EXPORT int fstat32_utf8(int descriptor, PathBridgeStat* status);
// 0 when the directory was removed.
PATHBRIDGE_EXPORT int rmdir_utf8(char const* path);
}
