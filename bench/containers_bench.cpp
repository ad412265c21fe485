// The array, the priority queue and the tree against their baselines:
//
// - KQ_TArray indexed reads and writes over 1,000,000 elements against
//   std::vector<KQ_TAny> (the same values, without bounds and growth);
// - KQ_TQueue filled with n elements of random priority and drained from the
//   head, against std::priority_queue of (priority, insertion number) pairs,
//   which gives the same first-in first-out order among equal priorities;
//   n = 1,000, 10,000 and 100,000 show how the cost per element grows;
// - KQ_TTree lookup of a three-level path against three chained KQ_TDict
//   lookups of the same keys and against three std::unordered_map lookups,
//   with 8, 64 and 512 entries on every level. The tree's table has a fixed
//   8 buckets and the dictionary's grows up to 256, so their chains lengthen
//   with the entries; both find an entry through their index.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <queue>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kq_initialization.h"
#include "kq_tany.h"
#include "kq_tarray.h"
#include "kq_tdict.h"
#include "kq_tqueue.h"
#include "kq_tstring.h"
#include "kq_ttree.h"

namespace {

constexpr std::int32_t kArraySize = 1000000;

void Initialize() {
  static bool const done = __KQ_INITIALIZATION_FUNCTION_kqtypes__();
  benchmark::DoNotOptimize(done);
}

// Arrays are used through a reference to a heap object, as callers holding
// one do.
std::unique_ptr<KQ_TArray> MakeArray() {
  auto array = std::make_unique<KQ_TArray>(static_cast<std::uint32_t>(kArraySize));
  for (std::int32_t i = 0; i < kArraySize; ++i) (*array)[i] = i;
  return array;
}

std::vector<KQ_TAny> MakeVector() {
  std::vector<KQ_TAny> vector(static_cast<std::size_t>(kArraySize));
  for (std::int32_t i = 0; i < kArraySize; ++i) vector[static_cast<std::size_t>(i)] = i;
  return vector;
}

void BM_ArrayIndexedRead(benchmark::State& state) {
  Initialize();
  std::unique_ptr<KQ_TArray> const owned = MakeArray();
  KQ_TArray& array = *owned;
  for (auto _ : state) {
    std::int64_t sum = 0;
    for (std::int32_t i = 0; i < kArraySize; ++i) sum += static_cast<std::int32_t>(array[i]);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kArraySize);
}
BENCHMARK(BM_ArrayIndexedRead)->Unit(benchmark::kMillisecond);

void BM_Baseline_VectorIndexedRead(benchmark::State& state) {
  std::vector<KQ_TAny> const vector = MakeVector();
  for (auto _ : state) {
    std::int64_t sum = 0;
    for (std::int32_t i = 0; i < kArraySize; ++i) {
      sum += static_cast<std::int32_t>(vector[static_cast<std::size_t>(i)]);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kArraySize);
}
BENCHMARK(BM_Baseline_VectorIndexedRead)->Unit(benchmark::kMillisecond);

void BM_ArrayIndexedWrite(benchmark::State& state) {
  Initialize();
  std::unique_ptr<KQ_TArray> const owned = MakeArray();
  KQ_TArray& array = *owned;
  std::int32_t round = 0;
  for (auto _ : state) {
    for (std::int32_t i = 0; i < kArraySize; ++i) array[i] = i + round;
    ++round;
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kArraySize);
}
BENCHMARK(BM_ArrayIndexedWrite)->Unit(benchmark::kMillisecond);

void BM_Baseline_VectorIndexedWrite(benchmark::State& state) {
  std::vector<KQ_TAny> vector = MakeVector();
  std::int32_t round = 0;
  for (auto _ : state) {
    for (std::int32_t i = 0; i < kArraySize; ++i) vector[static_cast<std::size_t>(i)] = i + round;
    ++round;
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kArraySize);
}
BENCHMARK(BM_Baseline_VectorIndexedWrite)->Unit(benchmark::kMillisecond);

// Appending one element at a time to an open array: the storage window moves
// in steps of 8 indexes over a raw block that doubles.
void BM_ArrayAppend(benchmark::State& state) {
  Initialize();
  for (auto _ : state) {
    KQ_TArray array;
    for (std::int32_t i = 0; i < kArraySize; ++i) array += KQ_TAny(i);
    benchmark::DoNotOptimize(array.Size());
  }
  state.SetItemsProcessed(state.iterations() * kArraySize);
}
BENCHMARK(BM_ArrayAppend)->Unit(benchmark::kMillisecond);

void BM_Baseline_VectorAppend(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<KQ_TAny> vector;
    for (std::int32_t i = 0; i < kArraySize; ++i) vector.emplace_back(i);
    benchmark::DoNotOptimize(vector.size());
  }
  state.SetItemsProcessed(state.iterations() * kArraySize);
}
BENCHMARK(BM_Baseline_VectorAppend)->Unit(benchmark::kMillisecond);

std::vector<std::int32_t> RandomPriorities(std::int64_t count) {
  std::mt19937 random(42);
  std::vector<std::int32_t> priorities(static_cast<std::size_t>(count));
  for (std::int32_t& p : priorities) p = static_cast<std::int32_t>(random());
  return priorities;
}

void BM_QueueInsertDrain(benchmark::State& state) {
  Initialize();
  std::vector<std::int32_t> const priorities = RandomPriorities(state.range(0));
  for (auto _ : state) {
    KQ_TQueue queue;
    std::int32_t value = 0;
    for (std::int32_t p : priorities) queue.Add(value++, p);
    std::int64_t sum = 0;
    while (!queue.IsEmpty()) {
      sum += static_cast<std::int32_t>(queue.Head());
      queue.RemAtHead();
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_QueueInsertDrain)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

void BM_Baseline_PriorityQueueInsertDrain(benchmark::State& state) {
  std::vector<std::int32_t> const priorities = RandomPriorities(state.range(0));
  for (auto _ : state) {
    // Highest priority first; among equals the lowest insertion number.
    std::priority_queue<std::pair<std::int32_t, std::int64_t>> queue;
    std::int64_t order = 0;
    for (std::int32_t p : priorities) queue.emplace(p, -order++);
    std::int64_t sum = 0;
    while (!queue.empty()) {
      sum -= queue.top().second;
      queue.pop();
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Baseline_PriorityQueueInsertDrain)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMicrosecond);

// The key names of one level: "key0", "key1", ...
std::vector<KQ_TString> LevelKeys(std::int64_t entries) {
  std::vector<KQ_TString> keys;
  for (std::int64_t i = 0; i < entries; ++i) {
    keys.push_back(KQ_TString::Format("key%lld", static_cast<long long>(i)));
  }
  return keys;
}

// Three levels of entries plain values but for the one the looked-up path
// goes through, the middle key of each level.
std::unique_ptr<KQ_TTree> MakeTree(std::vector<KQ_TString> const& keys) {
  auto tree = std::make_unique<KQ_TTree>();
  KQ_TTree* level = tree.get();
  KQ_TString const& middle = keys[keys.size() / 2];
  for (int depth = 0; depth < 3; ++depth) {
    for (KQ_TString const& key : keys) {
      if (depth < 2 && &key == &middle) continue;
      (*level)[key] = depth;
    }
    if (depth < 2) level = &(*level)(middle);
  }
  return tree;
}

std::unique_ptr<KQ_TDict> MakeDicts(std::vector<KQ_TString> const& keys, int depth = 0) {
  auto dict = std::make_unique<KQ_TDict>();
  KQ_TString const& middle = keys[keys.size() / 2];
  for (KQ_TString const& key : keys) {
    if (depth < 2 && &key == &middle) {
      (*dict)[key].Assign(MakeDicts(keys, depth + 1).release());
    } else {
      (*dict)[key] = depth;
    }
  }
  return dict;
}

void BM_TreePathLookup(benchmark::State& state) {
  Initialize();
  std::vector<KQ_TString> const keys = LevelKeys(state.range(0));
  std::unique_ptr<KQ_TTree const> const tree = MakeTree(keys);
  KQ_TString const& middle = keys[keys.size() / 2];
  KQ_TString const path = middle + "/" + middle + "/" + middle;
  std::int64_t sum = 0;
  for (auto _ : state) {
    KQ_TAny const* value = tree->ValueOfKey(path, '/');
    sum += static_cast<std::int32_t>(*value);
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TreePathLookup)->Arg(8)->Arg(64)->Arg(512);

void BM_Baseline_ThreeDictLookups(benchmark::State& state) {
  Initialize();
  std::vector<KQ_TString> const keys = LevelKeys(state.range(0));
  std::unique_ptr<KQ_TDict const> const dict = MakeDicts(keys);
  KQ_TString const& middle = keys[keys.size() / 2];
  std::int64_t sum = 0;
  for (auto _ : state) {
    KQ_TDict const* level = dict.get();
    for (int depth = 0; depth < 2; ++depth) {
      KQ_TAny const* inner = level->ValueOfKey(middle);
      level = static_cast<KQ_TDict const*>((**inner).KQ_Cast("KQ_TDict"));
    }
    sum += static_cast<std::int32_t>(*level->ValueOfKey(middle));
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Baseline_ThreeDictLookups)->Arg(8)->Arg(64)->Arg(512);

// The same keys in three maps, and the middle key of each looked up in
// turn through a copy of its own.
void BM_Baseline_ThreeUnorderedMapLookups(benchmark::State& state) {
  std::unordered_map<std::u16string, std::int32_t> levels[3];
  for (int depth = 0; depth < 3; ++depth) {
    for (std::int64_t i = 0; i < state.range(0); ++i) {
      std::string const key = "key" + std::to_string(i);
      levels[depth][std::u16string(key.begin(), key.end())] = depth;
    }
  }
  std::string const middle = "key" + std::to_string(state.range(0) / 2);
  std::u16string const probe(middle.begin(), middle.end());
  std::int64_t sum = 0;
  for (auto _ : state) {
    for (auto const& level : levels) sum += level.find(probe)->second;
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Baseline_ThreeUnorderedMapLookups)->Arg(8)->Arg(64)->Arg(512);

}  // namespace
