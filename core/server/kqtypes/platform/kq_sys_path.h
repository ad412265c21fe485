// File names of this machine: the current directory and links resolved.
//
// Paths are the system's bytes.
#pragma once

#include <string>

namespace kq::sys {

// The calling process's current directory; false when it has none (it was
// removed) or it cannot be read.
bool CurrentDirectory(std::string* path);

// The absolute path with every link, "." and ".." resolved; false when the
// path does not exist.
bool RealPath(char const* path, std::string* resolved);

}  // namespace kq::sys
