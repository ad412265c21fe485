// KQ_TString against plain baselines on the same data, 1 MiB each:
//
//   UTF-8 to string and back, ASCII         memcpy of the same bytes
//   UTF-8 to string and back, mixed text    bytes per second (Latin, Greek, CJK)
//   Find of a 12-unit needle                std::u16string::find
//   CompareWith of equal strings            std::u16string::compare
//
// Run with --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
// and compare the medians of each pair.
//
// The UTF-8 form comes in a temporary of the ring, which reuses a slot's
// block in place once the ring has come round. The ...Steady benchmarks take
// the other 1023 slots outside the timing, so every conversion meets its
// slot's block of the last round; ...FreshTemporary ones measure first use
// of new memory, page faults included.

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kq_memalloc.h"
#include "kq_tstring.h"

namespace {

constexpr std::size_t kBytes = std::size_t{1} << 20;
constexpr std::size_t kUnits = kBytes / sizeof(std::uint16_t);

std::string const& AsciiText() {
  static std::string const text = [] {
    std::mt19937 random(1);
    std::string t;
    t.reserve(kBytes);
    while (t.size() < kBytes) t += static_cast<char>(' ' + random() % 95);
    return t;
  }();
  return text;
}

// Words of Latin with accents, Greek and CJK, separated by spaces and
// punctuation, cut at a character boundary near 1 MiB.
std::string const& MixedText() {
  static std::string const text = [] {
    char const* const words[] = {
        "caf\xC3\xA9",
        "na\xC3\xAFve",
        "stra\xC3\x9F\x65",
        "garden",
        "\xCE\xB1\xCE\xBB\xCF\x86\xCE\xB1",
        "\xCE\xBA\xCF\x8C\xCF\x83\xCE\xBC\xCE\xBF\xCF\x82",
        "\xE4\xB8\xAD\xE6\x96\x87",
        "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
        "\xE6\xBC\xA2\xE5\xAD\x97",
        "text",
    };
    std::mt19937 random(2);
    std::string t;
    while (t.size() < kBytes - 32) {
      t += words[random() % (sizeof words / sizeof words[0])];
      t += random() % 8 == 0 ? ", " : " ";
    }
    return t;
  }();
  return text;
}

void Utf8ToStringAscii(benchmark::State& state) {
  std::string const& text = AsciiText();
  for (auto _ : state) {
    KQ_TString s(text.c_str());
    benchmark::DoNotOptimize(s.Units());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(Utf8ToStringAscii);

void Utf8AssignAscii(benchmark::State& state) {
  std::string const& text = AsciiText();
  KQ_TString s;
  for (auto _ : state) {
    s = text.c_str();
    benchmark::DoNotOptimize(s.Units());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(Utf8AssignAscii);

// Takes the other slots of the ring, so that the next temporary reuses the
// slot of the last one.
void CompleteTheRing() {
  for (int slot = 1; slot < 1024; ++slot) KQ_AllocTemp(1);
}

void StringToUtf8Steady(benchmark::State& state, std::string const& text) {
  KQ_TString const s(text.c_str());
  benchmark::DoNotOptimize(s.UTF8());
  CompleteTheRing();
  for (auto _ : state) {
    benchmark::DoNotOptimize(s.UTF8());
    state.PauseTiming();
    CompleteTheRing();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void StringToUtf8AsciiSteady(benchmark::State& state) { StringToUtf8Steady(state, AsciiText()); }
BENCHMARK(StringToUtf8AsciiSteady);

void StringToUtf8AsciiFreshTemporary(benchmark::State& state) {
  KQ_TString const s(AsciiText().c_str());
  for (auto _ : state) benchmark::DoNotOptimize(s.UTF8());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * AsciiText().size()));
}
BENCHMARK(StringToUtf8AsciiFreshTemporary);

void MemcpyBaseline(benchmark::State& state) {
  std::string const& text = AsciiText();
  std::vector<char> target(text.size() + 1);
  for (auto _ : state) {
    std::memcpy(target.data(), text.c_str(), text.size() + 1);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(MemcpyBaseline);

void Utf8ToStringMixed(benchmark::State& state) {
  std::string const& text = MixedText();
  for (auto _ : state) {
    KQ_TString s(text.c_str());
    benchmark::DoNotOptimize(s.Units());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(Utf8ToStringMixed);

void StringToUtf8MixedSteady(benchmark::State& state) { StringToUtf8Steady(state, MixedText()); }
BENCHMARK(StringToUtf8MixedSteady);

// Lower-case letters and spaces; the needle occurs once, at the very end.
struct SearchData {
  KQ_TString fText;
  KQ_TString fNeedle;
  std::u16string fStdText;
  std::u16string fStdNeedle;
};

SearchData const& Search() {
  static SearchData const data = [] {
    std::mt19937 random(3);
    std::u16string needle = u"quixotically";
    std::u16string text;
    text.reserve(kUnits);
    while (text.size() < kUnits - needle.size()) {
      std::uint32_t const r = random() % 32;
      text += r < 26 ? static_cast<char16_t>(u'a' + r) : u' ';
    }
    text += needle;
    SearchData d;
    d.fText = KQ_TString(reinterpret_cast<std::uint16_t const*>(text.c_str()));
    d.fNeedle = KQ_TString(reinterpret_cast<std::uint16_t const*>(needle.c_str()));
    d.fStdText = text;
    d.fStdNeedle = needle;
    return d;
  }();
  return data;
}

void FindNeedle(benchmark::State& state) {
  SearchData const& d = Search();
  for (auto _ : state) benchmark::DoNotOptimize(d.fText.Find(d.fNeedle));
  if (d.fText.Find(d.fNeedle) != static_cast<std::int32_t>(kUnits - 12))
    state.SkipWithError("miss");
}
BENCHMARK(FindNeedle);

void FindNeedleStdU16String(benchmark::State& state) {
  SearchData const& d = Search();
  for (auto _ : state) benchmark::DoNotOptimize(d.fStdText.find(d.fStdNeedle));
}
BENCHMARK(FindNeedleStdU16String);

// Two equal strings of 1 MiB that differ only in their last unit.
struct CompareData {
  KQ_TString fLeft;
  KQ_TString fRight;
  std::u16string fStdLeft;
  std::u16string fStdRight;
};

CompareData const& Compare() {
  static CompareData const data = [] {
    CompareData d;
    std::u16string const& text = Search().fStdText;
    d.fStdLeft = text;
    d.fStdRight = text;
    d.fStdRight.back() = u'!';
    d.fLeft = KQ_TString(reinterpret_cast<std::uint16_t const*>(d.fStdLeft.c_str()));
    d.fRight = KQ_TString(reinterpret_cast<std::uint16_t const*>(d.fStdRight.c_str()));
    return d;
  }();
  return data;
}

void CompareWithEqual(benchmark::State& state) {
  CompareData const& d = Compare();
  for (auto _ : state) benchmark::DoNotOptimize(d.fLeft.CompareWith(d.fRight));
}
BENCHMARK(CompareWithEqual);

void CompareStdU16String(benchmark::State& state) {
  CompareData const& d = Compare();
  for (auto _ : state) benchmark::DoNotOptimize(d.fStdLeft.compare(d.fStdRight));
}
BENCHMARK(CompareStdU16String);

}  // namespace
