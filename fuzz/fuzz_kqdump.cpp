// kqdump itself, both ways. The first byte chooses the direction; the rest
// is the file kqdump is given.
//
// Dumping: bad data ends with status 1, anything else with 0; a dump that
// succeeds packs again (kqdump --pack) to exactly the input.
// Packing text: status 0 or 1 likewise; what packs dumps and packs again to
// the same bytes.
// Any other status, a crash, a leak or a sanitizer report is a fault.
// kqdump reports bad data on standard error, one line per input: run long
// sessions with -close_fd_mask=2 (crashing inputs are still saved).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kqdump.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

using Bytes = std::vector<unsigned char>;

std::filesystem::path const& Directory() {
  static std::filesystem::path const directory = [] {
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("fuzz_kqdump." + std::to_string(std::rand()));
    std::filesystem::create_directories(path);
    return path;
  }();
  return directory;
}

void WriteFile(std::filesystem::path const& path, Bytes const& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<char const*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

Bytes ReadFile(std::filesystem::path const& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs kqdump [--pack] on input with its standard output going to output;
// the exit status.
int Run(bool pack, std::filesystem::path const& input, std::filesystem::path const& output) {
  Check(std::freopen(output.c_str(), "wb", stdout) != nullptr);
  std::string program = "kqdump";
  std::string option = "--pack";
  std::string file = input.string();
  std::vector<char*> argv{program.data()};
  if (pack) argv.push_back(option.data());
  argv.push_back(file.data());
  argv.push_back(nullptr);
  int const status = kqdump::Main(static_cast<int>(argv.size() - 1), argv.data());
  std::fflush(stdout);
  return status;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  if (size == 0 || size > 1 << 20) return 0;
  bool const text = (data[0] & 1) != 0;
  std::filesystem::path const input = Directory() / "input";
  std::filesystem::path const first = Directory() / "first";
  std::filesystem::path const second = Directory() / "second";
  std::filesystem::path const third = Directory() / "third";
  Bytes const bytes(data + 1, data + size);
  WriteFile(input, bytes);
  int const status = Run(text, input, first);
  Check(status == 0 || status == 1);
  if (status != 0) return 0;
  if (!text) {
    Check(Run(true, first, second) == 0);
    Check(ReadFile(second) == bytes);
  } else {
    Check(Run(false, first, second) == 0);
    Check(Run(true, second, third) == 0);
    Check(ReadFile(third) == ReadFile(first));
  }
  return 0;
}
