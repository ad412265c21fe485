// Streams in front of a file and over a data block.
//
// A KQ_TBufferedStream over a file, one byte at a time: 1,000,000 single-
// byte writes (then Close) and 1,000,000 single-byte reads, against
// std::ofstream::put and std::ifstream::get on the same file, which the
// buffered stream reaches through a KQ_TFile.
//
// Packing into a KQ_TBlockStream against a KQ_TMemoryStream: a KQ_TList of
// 10,000 Anys (integers, doubles and short strings) and a KQ_TDict of 1,000
// string keys, packed with a data stream. "Reused" packs over the stream of
// the previous iteration from position 0 (a program that keeps its stream);
// "Fresh" packs into a new stream each time, growth included. The data
// stream writes straight into a memory stream's buffer; every other stream
// it reaches through KQ_IStream::Write, so a memory stream that it does not
// recognise is measured too, as the floor of that general path.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "kq_initialization.h"
#include "kq_tblockstream.h"
#include "kq_tbufferedstream.h"
#include "kq_tdatastream.h"
#include "kq_tdict.h"
#include "kq_tfile.h"
#include "kq_tlist.h"
#include "kq_tmemorystream.h"
#include "kq_tstring.h"

namespace {

constexpr std::uint32_t kBytes = 1000000;

// A file of kBytes bytes, removed when the program ends.
struct ScratchFile {
  ScratchFile() : path("/tmp/kq_stream_bench_" + std::to_string(getpid())) {
    std::ofstream out(path, std::ios_base::binary);
    for (std::uint32_t i = 0; i < kBytes; ++i) out.put(static_cast<char>(i));
  }
  ~ScratchFile() { std::remove(path.c_str()); }
  std::string const path;
};

std::string const& FilePath() {
  static ScratchFile const file;
  return file.path;
}

void BM_StdOfstreamPutBytes(benchmark::State& state) {
  for (auto _ : state) {
    std::ofstream out(FilePath(), std::ios_base::binary | std::ios_base::trunc);
    for (std::uint32_t i = 0; i < kBytes; ++i) out.put(static_cast<char>(i));
    out.close();
  }
}

void BM_BufferedStreamWriteBytes(benchmark::State& state) {
  for (auto _ : state) {
    KQ_TFile device(KQ_TString(FilePath().c_str()), KQ_TFile::WriteOnly);
    KQ_TBufferedStream buffered(device);
    for (std::uint32_t i = 0; i < kBytes; ++i) buffered.Write(static_cast<unsigned char>(i));
    buffered.Close();
  }
}

void BM_StdIfstreamGetBytes(benchmark::State& state) {
  for (auto _ : state) {
    std::ifstream in(FilePath(), std::ios_base::binary);
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < kBytes; ++i) sum += static_cast<std::uint32_t>(in.get());
    benchmark::DoNotOptimize(sum);
  }
}

void BM_BufferedStreamReadBytes(benchmark::State& state) {
  for (auto _ : state) {
    KQ_TFile device(KQ_TString(FilePath().c_str()), KQ_TFile::ReadOnly);
    KQ_TBufferedStream buffered(device);
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < kBytes; ++i) sum += buffered.Read();
    benchmark::DoNotOptimize(sum);
  }
}

KQ_TList const& SampleList() {
  static KQ_TList const list = [] {
    __KQ_INITIALIZATION_FUNCTION_kqtypes__();
    KQ_TList l;
    for (std::int32_t i = 0; i < 10000; ++i) {
      switch (i % 3) {
        case 0:
          l.AddAtTail(KQ_TAny(i));
          break;
        case 1:
          l.AddAtTail(KQ_TAny(i * 0.25));
          break;
        default:
          l.AddAtTail(KQ_TAny(("item " + std::to_string(i)).c_str()));
      }
    }
    return l;
  }();
  return list;
}

KQ_TDict const& SampleDict() {
  static KQ_TDict const dict = [] {
    __KQ_INITIALIZATION_FUNCTION_kqtypes__();
    KQ_TDict d;
    for (std::int32_t i = 0; i < 1000; ++i) d[("key " + std::to_string(i)).c_str()] = KQ_TAny(i);
    return d;
  }();
  return dict;
}

}  // namespace

// A memory stream that the data stream does not recognise as one, so that it
// takes the general path through KQ_IStream::Write that every other stream
// takes: the floor for any stream but the memory stream itself.
class KQ_TGeneralPathMemoryStream : public KQ_TMemoryStream {
  KQ_CLASS(KQ_TGeneralPathMemoryStream, KQ_TMemoryStream)
};
KQ_CLASS_IMPL(KQ_TGeneralPathMemoryStream)

namespace {

template <class Stream, class Value>
void PackReused(benchmark::State& state, Value const& value) {
  Stream stream;
  KQ_TDataStream packer(stream);
  for (auto _ : state) {
    stream.Seek(0);
    packer << value;
  }
  state.SetBytesProcessed(state.iterations() * stream.Size());
}

template <class Stream, class Value>
void PackFresh(benchmark::State& state, Value const& value) {
  for (auto _ : state) {
    Stream stream;
    KQ_TDataStream packer(stream);
    packer << value;
    benchmark::DoNotOptimize(stream.Size());
  }
}

void BM_PackListReused_Memory(benchmark::State& s) {
  PackReused<KQ_TMemoryStream>(s, SampleList());
}
void BM_PackListReused_Block(benchmark::State& s) { PackReused<KQ_TBlockStream>(s, SampleList()); }
void BM_PackDictReused_Memory(benchmark::State& s) {
  PackReused<KQ_TMemoryStream>(s, SampleDict());
}
void BM_PackDictReused_Block(benchmark::State& s) { PackReused<KQ_TBlockStream>(s, SampleDict()); }
void BM_PackListReused_GeneralPath(benchmark::State& s) {
  PackReused<KQ_TGeneralPathMemoryStream>(s, SampleList());
}
void BM_PackDictReused_GeneralPath(benchmark::State& s) {
  PackReused<KQ_TGeneralPathMemoryStream>(s, SampleDict());
}
void BM_PackListFresh_Memory(benchmark::State& s) { PackFresh<KQ_TMemoryStream>(s, SampleList()); }
void BM_PackListFresh_Block(benchmark::State& s) { PackFresh<KQ_TBlockStream>(s, SampleList()); }

BENCHMARK(BM_StdOfstreamPutBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BufferedStreamWriteBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StdIfstreamGetBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BufferedStreamReadBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PackListReused_Memory)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PackListReused_Block)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PackDictReused_Memory)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PackDictReused_Block)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PackListReused_GeneralPath)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PackDictReused_GeneralPath)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PackListFresh_Memory)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PackListFresh_Block)->Unit(benchmark::kMicrosecond);

}  // namespace
