// Class lookup by name against a standard hash map of the same names.
#include <benchmark/benchmark.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "kq_initialization.h"
#include "kq_tclass.h"

namespace {

// The names of every record the library creates, looked up in turn.
std::vector<std::string> const& Names() {
  static std::vector<std::string> const names = [] {
    __KQ_INITIALIZATION_FUNCTION_kqtypes__();
    std::vector<std::string> result;
    for (char const* name :
         {"KQ_TString", "KQ_TAny", "KQ_TList", "KQ_TDict", "KQ_EOutOfMemory", "KQ_IPackable",
          "KQ_TUInt32", "KQ_EIllegalURLExtension", "KQ_TDataStream", "KQ_TMemoryStream",
          "KQ_TStackEntry", "KQ_EDynamicObjectSymbolNotFound", "KQ_IHumanReadable", "KQ_TMutex",
          "KQ_TListIterationInfo", "KQ_EException"}) {
      result.emplace_back(name);
    }
    return result;
  }();
  return names;
}

void BM_FindClass(benchmark::State& state) {
  std::vector<std::string> const& names = Names();
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(KQ_TClass::FindClass(names[i].c_str()));
    i = (i + 1) % names.size();
  }
}
BENCHMARK(BM_FindClass);

void BM_Baseline_UnorderedMapFind(benchmark::State& state) {
  std::vector<std::string> const& names = Names();
  std::unordered_map<std::string, KQ_TClass const*> map;
  for (std::string const& name : names) map.emplace(name, KQ_TClass::FindClass(name.c_str()));
  // Pad the map to the size of the registry so both tables hold as many names.
  for (int extra = 0; extra < 200; ++extra)
    map.emplace("KQ_TPadding" + std::to_string(extra), nullptr);
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(map.find(names[i]));
    i = (i + 1) % names.size();
  }
}
BENCHMARK(BM_Baseline_UnorderedMapFind);

}  // namespace
