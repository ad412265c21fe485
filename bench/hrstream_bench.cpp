// The text format against the binary packing format on the same values in
// the same run: a KQ_TList of 1,000,000 Anys holding doubles, and a KQ_TDict
// of 100,000 string keys (8 to 40 units) mapping to 32-bit integers. Each is
// written as text through a KQ_THumanReadableStream and packed through a
// KQ_TDataStream into a memory stream that is kept from iteration to
// iteration, then parsed back and unpacked into a fresh container inside the
// timed loop. Targets: writing text within 5x of packing, parsing within 10x
// of unpacking.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kq_initialization.h"
#include "kq_tany.h"
#include "kq_tdatastream.h"
#include "kq_tdict.h"
#include "kq_thumanreadablestream.h"
#include "kq_tlist.h"
#include "kq_tmemorystream.h"
#include "kq_tstring.h"

namespace {

constexpr std::uint32_t kListCount = 1000000;
constexpr std::uint32_t kDictCount = 100000;

KQ_TList const& DoubleList() {
  static KQ_TList const list = [] {
    __KQ_INITIALIZATION_FUNCTION_kqtypes__();
    KQ_TList l;
    for (std::uint32_t i = 0; i < kListCount; ++i) l.AddAtTail(KQ_TAny(i * 0.37 - 1000.0));
    return l;
  }();
  return list;
}

// Keys of 8 to 40 letters and digits, each made unique by its number.
KQ_TDict const& StringDict() {
  static std::unique_ptr<KQ_TDict> const dict = [] {
    __KQ_INITIALIZATION_FUNCTION_kqtypes__();
    auto d = std::make_unique<KQ_TDict>();
    for (std::uint32_t i = 0; i < kDictCount; ++i) {
      std::string key = "k" + std::to_string(i) + "_";
      std::size_t const length = 8 + (i * 7) % 33;
      while (key.size() < length) key += static_cast<char>('a' + (key.size() * 5 + i) % 26);
      d->Add(KQ_TString(key.c_str()), KQ_TAny(static_cast<std::int32_t>(i * 3)));
    }
    return d;
  }();
  return *dict;
}

template <class Container>
void WriteText(benchmark::State& state, Container const& container, std::int64_t items) {
  KQ_TMemoryStream memory;
  KQ_THumanReadableStream text(memory);
  for (auto _ : state) {
    memory.Seek(0);
    text << container;
    benchmark::DoNotOptimize(memory.Data());
  }
  state.SetItemsProcessed(state.iterations() * items);
  state.counters["bytes"] = memory.Size();
}

template <class Container>
void Pack(benchmark::State& state, Container const& container, std::int64_t items) {
  KQ_TMemoryStream memory;
  KQ_TDataStream data(memory);
  for (auto _ : state) {
    memory.Seek(0);
    data << container;
    benchmark::DoNotOptimize(memory.Data());
  }
  state.SetItemsProcessed(state.iterations() * items);
  state.counters["bytes"] = memory.Size();
}

template <class Container>
std::vector<unsigned char> TextOf(Container const& container) {
  KQ_TMemoryStream memory;
  KQ_THumanReadableStream text(memory);
  text << container << endl;
  return std::vector<unsigned char>(memory.Data(), memory.Data() + memory.Size());
}

template <class Container>
std::vector<unsigned char> PackedOf(Container const& container) {
  KQ_TMemoryStream memory;
  KQ_TDataStream data(memory);
  data << container;
  return std::vector<unsigned char>(memory.Data(), memory.Data() + memory.Size());
}

template <class Container>
void ParseText(benchmark::State& state, std::vector<unsigned char>& bytes, std::int64_t items) {
  for (auto _ : state) {
    KQ_TMemoryStream memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                            static_cast<std::uint32_t>(bytes.size()));
    KQ_THumanReadableStream text(memory);
    Container container;
    text >> container;
    benchmark::DoNotOptimize(&container);
  }
  state.SetItemsProcessed(state.iterations() * items);
}

template <class Container>
void Unpack(benchmark::State& state, std::vector<unsigned char>& bytes, std::int64_t items) {
  for (auto _ : state) {
    KQ_TMemoryStream memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                            static_cast<std::uint32_t>(bytes.size()));
    KQ_TDataStream data(memory);
    Container container;
    data >> container;
    benchmark::DoNotOptimize(&container);
  }
  state.SetItemsProcessed(state.iterations() * items);
}

void BM_TextWriteListOfDoubles(benchmark::State& state) {
  WriteText(state, DoubleList(), kListCount);
}
BENCHMARK(BM_TextWriteListOfDoubles)->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_Baseline_PackListOfDoublesForText(benchmark::State& state) {
  Pack(state, DoubleList(), kListCount);
}
BENCHMARK(BM_Baseline_PackListOfDoublesForText)->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_TextParseListOfDoubles(benchmark::State& state) {
  std::vector<unsigned char> bytes = TextOf(DoubleList());
  ParseText<KQ_TList>(state, bytes, kListCount);
}
BENCHMARK(BM_TextParseListOfDoubles)->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_Baseline_UnpackListOfDoublesForText(benchmark::State& state) {
  std::vector<unsigned char> bytes = PackedOf(DoubleList());
  Unpack<KQ_TList>(state, bytes, kListCount);
}
BENCHMARK(BM_Baseline_UnpackListOfDoublesForText)->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_TextWriteDictOfStrings(benchmark::State& state) {
  WriteText(state, StringDict(), kDictCount);
}
BENCHMARK(BM_TextWriteDictOfStrings)->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_Baseline_PackDictOfStringsForText(benchmark::State& state) {
  Pack(state, StringDict(), kDictCount);
}
BENCHMARK(BM_Baseline_PackDictOfStringsForText)->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_TextParseDictOfStrings(benchmark::State& state) {
  std::vector<unsigned char> bytes = TextOf(StringDict());
  ParseText<KQ_TDict>(state, bytes, kDictCount);
}
BENCHMARK(BM_TextParseDictOfStrings)->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_Baseline_UnpackDictOfStringsForText(benchmark::State& state) {
  std::vector<unsigned char> bytes = PackedOf(StringDict());
  Unpack<KQ_TDict>(state, bytes, kDictCount);
}
BENCHMARK(BM_Baseline_UnpackDictOfStringsForText)->Unit(benchmark::kMillisecond)->Repetitions(5);

}  // namespace
