// KQ_TAny of an integer: construct, copy and destroy, against the system
// heap's malloc and free of a 16-byte block (the size of one value cell);
// and of a string, against std::variant.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <variant>

#include "kq_tany.h"
#include "kq_tstring.h"

namespace {

// Two Anys, so two value cells taken from the pool and given back.
void BM_AnyIntegerConstructCopyDestroy(benchmark::State& state) {
  std::int32_t value = 0;
  for (auto _ : state) {
    KQ_TAny any(value);
    KQ_TAny copy(any);
    benchmark::DoNotOptimize(&copy);
    ++value;
  }
}
BENCHMARK(BM_AnyIntegerConstructCopyDestroy);

// The baseline: one malloc and free of 16 bytes.
void BM_Baseline_Malloc16Free(benchmark::State& state) {
  for (auto _ : state) {
    void* block = std::malloc(16);
    benchmark::DoNotOptimize(block);
    std::free(block);
  }
}
BENCHMARK(BM_Baseline_Malloc16Free);

// The same number of heap blocks as the Any cycle above: two.
void BM_Baseline_TwoMalloc16Free(benchmark::State& state) {
  for (auto _ : state) {
    void* first = std::malloc(16);
    benchmark::DoNotOptimize(first);
    void* second = std::malloc(16);
    benchmark::DoNotOptimize(second);
    std::free(second);
    std::free(first);
  }
}
BENCHMARK(BM_Baseline_TwoMalloc16Free);

// An Any made from an existing string of ten units, copied and destroyed,
// against a variant of the usual alternatives holding the same text.
void BM_AnyOfStringConstructCopyDestroy(benchmark::State& state) {
  KQ_TString const text(u"ten units!");
  for (auto _ : state) {
    KQ_TAny any(text);
    KQ_TAny copy(any);
    benchmark::DoNotOptimize(&copy);
  }
}
BENCHMARK(BM_AnyOfStringConstructCopyDestroy);

void BM_Baseline_VariantOfStringConstructCopyDestroy(benchmark::State& state) {
  std::u16string const text(u"ten units!");
  for (auto _ : state) {
    std::variant<std::int32_t, double, std::u16string> value(text);
    auto copy(value);
    benchmark::DoNotOptimize(&copy);
  }
}
BENCHMARK(BM_Baseline_VariantOfStringConstructCopyDestroy);

}  // namespace
