// The character layer under the text parser: a 10 MB ASCII document (lines
// of words and numbers) decoded through a KQ_TTextStream bound to a memory
// stream, one character at a time with ReadChar and in 64 KiB blocks with
// Read(buffer, count), and scanned into tokens with ReadSpan. Baselines in the
// same run: memcpy of the whole document, and a hand-written UTF-8 decoding
// loop over the raw bytes. Throughput is reported in bytes per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kq_initialization.h"
#include "kq_tmemorystream.h"
#include "kq_tstring.h"
#include "kq_ttextstream.h"

namespace {

constexpr std::size_t kDocumentSize = 10 * 1024 * 1024;

std::string const& Document() {
  static std::string const document = [] {
    __KQ_INITIALIZATION_FUNCTION_kqtypes__();
    std::string text;
    text.reserve(kDocumentSize);
    std::uint32_t n = 12345;
    while (text.size() < kDocumentSize) {
      text += "value ";
      text += std::to_string(n % 100000);
      text += ".";
      text += std::to_string(n % 977);
      text += (n % 7 == 0) ? "\n" : " ";
      n = n * 1103515245u + 12345u;
    }
    text.resize(kDocumentSize);
    text.back() = '\n';
    return text;
  }();
  return document;
}

// A memory stream lending the document (no copy).
KQ_TMemoryStream& Source() {
  static KQ_TMemoryStream memory;
  std::string const& document = Document();
  memory.SetBuffer(const_cast<char*>(document.data()), static_cast<std::uint32_t>(document.size()),
                   static_cast<std::uint32_t>(document.size()));
  return memory;
}

void BM_TextStream_ReadChar(benchmark::State& state) {
  KQ_TMemoryStream& memory = Source();
  auto const size = static_cast<std::uint32_t>(Document().size());
  for (auto _ : state) {
    memory.Seek(0);
    KQ_TTextStream text(memory);
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < size; ++i) sum += std::uint16_t{text.ReadChar()};
    benchmark::DoNotOptimize(sum);
    if (text.LineNr() == 0) state.SkipWithError("no line feeds counted");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * size);
}
BENCHMARK(BM_TextStream_ReadChar)->Unit(benchmark::kMillisecond);

// The same through the stream interface (what a caller holding only a
// KQ_TTextStream reference or pointer pays).
KQ_NOINLINE KQ_TTextStream& Opaque(KQ_TTextStream& text) {
  benchmark::DoNotOptimize(&text);
  return text;
}

void BM_TextStream_ReadCharVirtual(benchmark::State& state) {
  KQ_TMemoryStream& memory = Source();
  auto const size = static_cast<std::uint32_t>(Document().size());
  for (auto _ : state) {
    memory.Seek(0);
    KQ_TTextStream local(memory);
    KQ_TTextStream& text = Opaque(local);
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < size; ++i) sum += std::uint16_t{text.ReadChar()};
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * size);
}
BENCHMARK(BM_TextStream_ReadCharVirtual)->Unit(benchmark::kMillisecond);

void BM_TextStream_ReadBlocks(benchmark::State& state) {
  KQ_TMemoryStream& memory = Source();
  auto const size = static_cast<std::uint32_t>(Document().size());
  std::vector<unsigned char> block(65536);
  for (auto _ : state) {
    memory.Seek(0);
    KQ_TTextStream text(memory);
    for (std::uint32_t done = 0; done < size; done += 65536) {
      std::uint32_t const count = size - done < 65536 ? size - done : 65536;
      text.Read(block.data(), count);
    }
    benchmark::DoNotOptimize(block.data());
    if (text.LineNr() == 0) state.SkipWithError("no line feeds counted");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * size);
}
BENCHMARK(BM_TextStream_ReadBlocks)->Unit(benchmark::kMillisecond);

// Words and numbers taken as spans, the scanner loop of the text parser.
void BM_TextStream_ReadSpan(benchmark::State& state) {
  KQ_TMemoryStream& memory = Source();
  auto const size = static_cast<std::uint32_t>(Document().size());
  KQ_TString const word("abcdefghijklmnopqrstuvwxyz0123456789.");
  for (auto _ : state) {
    memory.Seek(0);
    KQ_TTextStream text(memory);
    std::uint32_t units = 0;
    // The document ends with a line feed: stop at the last span.
    while (memory.Available() > 1) units += text.ReadSpan(word).Length();
    benchmark::DoNotOptimize(units);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * size);
}
BENCHMARK(BM_TextStream_ReadSpan)->Unit(benchmark::kMillisecond);

void BM_Baseline_Memcpy(benchmark::State& state) {
  std::string const& document = Document();
  std::vector<char> target(document.size());
  for (auto _ : state) {
    std::memcpy(target.data(), document.data(), document.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document.size()));
}
BENCHMARK(BM_Baseline_Memcpy)->Unit(benchmark::kMillisecond);

// The decoding rules written directly over the bytes, without stream,
// pushback or line count.
void BM_Baseline_DecodeLoop(benchmark::State& state) {
  std::string const& document = Document();
  auto const* bytes = reinterpret_cast<unsigned char const*>(document.data());
  std::size_t const size = document.size();
  for (auto _ : state) {
    std::uint32_t sum = 0;
    std::size_t i = 0;
    while (i < size) {
      unsigned char const b1 = bytes[i++];
      if (b1 < 0x80 || i == size) {
        sum += b1;
      } else if ((b1 & 0xE0) == 0xC0 && (bytes[i] & 0xC0) == 0x80) {
        sum += ((b1 & 0x1F) << 6) | (bytes[i++] & 0x3F);
      } else {
        sum += b1;
      }
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_Baseline_DecodeLoop)->Unit(benchmark::kMillisecond);

}  // namespace
