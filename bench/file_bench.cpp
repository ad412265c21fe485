// Files, against the C library and the system in the same run:
// - reading and writing a 256 MB file in blocks of 64 KiB through KQ_TFile,
//   against fread and fwrite on a C stream of their own;
// - 1,000,000 doubles packed through a KQ_TDataStream over a KQ_TFile and
//   unpacked again (MB/s of packed bytes: 9 a double), against fwrite and
//   fread of the same 9-byte records;
// - listing a directory of 100,000 entries with their information
//   (KQ_TFileInfo::ChildrenInfo, without and with owners), against readdir
//   plus stat of each entry's path.
//
// The files are made once, in the directory named by KQ_BENCH_DIR (else the
// system's temporary directory), and removed when the program ends. Both
// sides read what the page cache holds.
//
// Run with --benchmark_filter=File --benchmark_repetitions=5
// --benchmark_report_aggregates_only=true and compare the medians.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "kq_initialization.h"
#include "kq_tdatastream.h"
#include "kq_tfile.h"
#include "kq_tfileinfo.h"
#include "kq_tlist.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kBlock = 64 * 1024;
constexpr std::size_t kBlocks = 256 * 1024 * 1024 / kBlock;
constexpr std::uint32_t kDoubles = 1000000;
constexpr std::size_t kRecord = 9;
constexpr int kEntries = 100000;

// The scratch directory with the 256 MB file and the directory to list.
class Scratch {
 public:
  static Scratch& Get() {
    static Scratch scratch;
    return scratch;
  }
  ~Scratch() { fs::remove_all(fDirectory); }

  std::string const& BigFile() {
    if (!fs::exists(fBigFile)) {
      std::FILE* file = std::fopen(fBigFile.c_str(), "wb");
      std::vector<char> const block(kBlock, 'x');
      for (std::size_t i = 0; i < kBlocks; ++i) std::fwrite(block.data(), 1, kBlock, file);
      std::fclose(file);
    }
    return fBigFile;
  }

  std::string const& Listed() {
    if (!fs::exists(fListed)) {
      fs::create_directory(fListed);
      for (int i = 0; i < kEntries; ++i) {
        std::FILE* file = std::fopen((fListed + "/entry-" + std::to_string(i)).c_str(), "wb");
        std::fputs("some bytes", file);
        std::fclose(file);
      }
    }
    return fListed;
  }

  std::string Path(char const* name) const { return fDirectory + "/" + name; }

 private:
  Scratch() {
    char const* base = std::getenv("KQ_BENCH_DIR");
    std::string pattern =
        (base != nullptr ? fs::path(base) : fs::temp_directory_path()) / "kq_file_bench_XXXXXX";
    fDirectory = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    fBigFile = fDirectory + "/big";
    fListed = fDirectory + "/listed";
  }

  std::string fDirectory;
  std::string fBigFile;
  std::string fListed;
};

KQ_TString Name(std::string const& path) { return KQ_TString(path.c_str()); }

void FileReadKQ(benchmark::State& state) {
  std::string const& path = Scratch::Get().BigFile();
  std::vector<char> buffer(kBlock);
  for (auto _ : state) {
    KQ_TFile file(Name(path), KQ_TFile::ReadOnly);
    for (std::size_t i = 0; i < kBlocks; ++i) file.Read(buffer.data(), kBlock, kBlock);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlocks * kBlock));
}

void FileReadFread(benchmark::State& state) {
  std::string const& path = Scratch::Get().BigFile();
  std::vector<char> buffer(kBlock);
  for (auto _ : state) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    for (std::size_t i = 0; i < kBlocks; ++i) {
      if (std::fread(buffer.data(), 1, kBlock, file) != kBlock) state.SkipWithError("short read");
    }
    std::fclose(file);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlocks * kBlock));
}

void FileWriteKQ(benchmark::State& state) {
  std::string const path = Scratch::Get().Path("written-kq");
  std::vector<char> const buffer(kBlock, 'w');
  for (auto _ : state) {
    KQ_TFile file(Name(path), KQ_TFile::WriteOnly);
    for (std::size_t i = 0; i < kBlocks; ++i) file.Write(buffer.data(), kBlock);
    file.Close();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlocks * kBlock));
}

void FileWriteFwrite(benchmark::State& state) {
  std::string const path = Scratch::Get().Path("written-c");
  std::vector<char> const buffer(kBlock, 'w');
  for (auto _ : state) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    for (std::size_t i = 0; i < kBlocks; ++i) std::fwrite(buffer.data(), 1, kBlock, file);
    std::fclose(file);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlocks * kBlock));
}

void FilePackDoublesKQ(benchmark::State& state) {
  __KQ_INITIALIZATION_FUNCTION_kqtypes__();
  std::string const path = Scratch::Get().Path("doubles-kq");
  for (auto _ : state) {
    {
      KQ_TFile file(Name(path), KQ_TFile::WriteOnly);
      KQ_TDataStream data(file);
      for (std::uint32_t i = 0; i < kDoubles; ++i) data << i * 0.37;
    }
    KQ_TFile file(Name(path), KQ_TFile::ReadOnly);
    KQ_TDataStream data(file);
    double sum = 0;
    for (std::uint32_t i = 0; i < kDoubles; ++i) {
      double value = 0;
      data >> value;
      sum += value;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 2 * kDoubles * kRecord));
}

void FilePackDoublesFwrite(benchmark::State& state) {
  std::string const path = Scratch::Get().Path("doubles-c");
  for (auto _ : state) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    for (std::uint32_t i = 0; i < kDoubles; ++i) {
      double const value = i * 0.37;
      std::uint64_t bits = 0;
      std::memcpy(&bits, &value, sizeof bits);
      unsigned char record[kRecord] = {0x0C};
      for (int b = 0; b < 8; ++b) record[1 + b] = static_cast<unsigned char>(bits >> (56 - 8 * b));
      std::fwrite(record, 1, kRecord, out);
    }
    std::fclose(out);
    std::FILE* in = std::fopen(path.c_str(), "rb");
    double sum = 0;
    unsigned char record[kRecord];
    while (std::fread(record, 1, kRecord, in) == kRecord) {
      std::uint64_t bits = 0;
      for (int b = 0; b < 8; ++b) bits = bits << 8 | record[1 + b];
      double value = 0;
      std::memcpy(&value, &bits, sizeof value);
      sum += value;
    }
    std::fclose(in);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 2 * kDoubles * kRecord));
}

void FileListKQ(benchmark::State& state) {
  KQ_TFileInfo const directory(Name(Scratch::Get().Listed()), true);
  bool const skipOwners = state.range(0) == 0;
  for (auto _ : state) {
    KQ_TList const listed = directory.ChildrenInfo(skipOwners);
    if (listed.Entries() != kEntries) state.SkipWithError("entries missing");
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
}

void FileListReaddirStat(benchmark::State& state) {
  std::string const& listed = Scratch::Get().Listed();
  for (auto _ : state) {
    DIR* directory = opendir(listed.c_str());
    std::string path = listed + "/";
    std::size_t const base = path.size();
    int count = 0;
    while (dirent const* entry = readdir(directory)) {
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      path.resize(base);
      path += entry->d_name;
      struct stat status;
      if (stat(path.c_str(), &status) == 0) ++count;
    }
    closedir(directory);
    if (count != kEntries) state.SkipWithError("entries missing");
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
}

BENCHMARK(FileReadKQ)->Unit(benchmark::kMillisecond);
BENCHMARK(FileReadFread)->Unit(benchmark::kMillisecond);
BENCHMARK(FileWriteKQ)->Unit(benchmark::kMillisecond);
BENCHMARK(FileWriteFwrite)->Unit(benchmark::kMillisecond);
BENCHMARK(FilePackDoublesKQ)->Unit(benchmark::kMillisecond);
BENCHMARK(FilePackDoublesFwrite)->Unit(benchmark::kMillisecond);
BENCHMARK(FileListKQ)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(FileListReaddirStat)->Unit(benchmark::kMillisecond);

}  // namespace
