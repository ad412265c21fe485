// The dictionary against std::unordered_map<std::u16string, int>: building a
// table of string keys mapping to integers, looking keys up, and packing and
// unpacking the table through the data stream against a hand-written encoder
// and decoder of the same bytes.
//
// The dictionary's table stops growing at 256 buckets by design, so its
// chains lengthen as it fills: lookups are measured at 200, 1,000, 10,000 and
// 100,000 entries to show how the cost grows with the size.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "kq_initialization.h"
#include "kq_tany.h"
#include "kq_tdatastream.h"
#include "kq_tdict.h"
#include "kq_tmemorystream.h"
#include "kq_tstring.h"

namespace {

constexpr std::int64_t kBuildCount = 100000;

// The codes of the classes involved, registered by the library's
// initialisation (or here, while it does not yet).
void Initialize() {
  static bool const done = [] {
    __KQ_INITIALIZATION_FUNCTION_kqtypes__();
    KQ_TDict::KQ_ClassObject()->Initialize();
    if (KQ_TDataStream::SpecificType(64) == nullptr) {
      KQ_TDataStream::RegisterSpecificType(64, KQ_TAny::KQ_ClassObject());
    }
    if (KQ_TDataStream::SpecificType(65) == nullptr) {
      KQ_TDataStream::RegisterSpecificType(65, KQ_TString::KQ_ClassObject());
    }
    return true;
  }();
  benchmark::DoNotOptimize(done);
}

// "key0", "key1", ... as the library's strings and as UTF-16 strings.
std::vector<KQ_TString> const& Keys() {
  static std::vector<KQ_TString> const keys = [] {
    std::vector<KQ_TString> k;
    k.reserve(kBuildCount);
    for (std::int64_t i = 0; i < kBuildCount; ++i) {
      k.push_back(KQ_TString::Format("key%lld", static_cast<long long>(i)));
    }
    return k;
  }();
  return keys;
}

std::vector<std::u16string> const& U16Keys() {
  static std::vector<std::u16string> const keys = [] {
    std::vector<std::u16string> k;
    k.reserve(kBuildCount);
    for (std::int64_t i = 0; i < kBuildCount; ++i) {
      std::string const narrow = "key" + std::to_string(i);
      k.emplace_back(narrow.begin(), narrow.end());
    }
    return k;
  }();
  return keys;
}

std::unique_ptr<KQ_TDict> MakeDict(std::int64_t count) {
  auto dict = std::make_unique<KQ_TDict>();
  std::vector<KQ_TString> const& keys = Keys();
  for (std::int64_t i = 0; i < count; ++i) {
    (*dict)[keys[static_cast<std::size_t>(i)]] = static_cast<std::int32_t>(i);
  }
  return dict;
}

std::unordered_map<std::u16string, int> MakeMap(std::int64_t count) {
  std::unordered_map<std::u16string, int> map;
  std::vector<std::u16string> const& keys = U16Keys();
  for (std::int64_t i = 0; i < count; ++i)
    map[keys[static_cast<std::size_t>(i)]] = static_cast<int>(i);
  return map;
}

void BM_DictBuild(benchmark::State& state) {
  Initialize();
  Keys();
  for (auto _ : state) {
    std::unique_ptr<KQ_TDict> dict = MakeDict(state.range(0));
    benchmark::DoNotOptimize(dict->Entries());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_DictBuild)->Arg(kBuildCount)->Unit(benchmark::kMillisecond);

void BM_Baseline_UnorderedMapBuild(benchmark::State& state) {
  U16Keys();
  for (auto _ : state) {
    std::unordered_map<std::u16string, int> map = MakeMap(state.range(0));
    benchmark::DoNotOptimize(map.size());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Baseline_UnorderedMapBuild)->Arg(kBuildCount)->Unit(benchmark::kMillisecond);

// One lookup per iteration, cycling through every key of a table of
// range(0) entries.
void BM_DictLookup(benchmark::State& state) {
  Initialize();
  std::int64_t const count = state.range(0);
  std::unique_ptr<KQ_TDict const> const dict = MakeDict(count);
  std::vector<KQ_TString> const& keys = Keys();
  std::int64_t i = 0;
  std::int64_t sum = 0;
  for (auto _ : state) {
    KQ_TAny const* value = dict->ValueOfKey(keys[static_cast<std::size_t>(i)]);
    sum += static_cast<std::int32_t>(*value);
    if (++i == count) i = 0;
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
  state.counters["buckets"] = dict->BucketCount();
}
BENCHMARK(BM_DictLookup)->Arg(200)->Arg(1000)->Arg(10000)->Arg(100000);

void BM_Baseline_UnorderedMapLookup(benchmark::State& state) {
  std::int64_t const count = state.range(0);
  std::unordered_map<std::u16string, int> const map = MakeMap(count);
  std::vector<std::u16string> const& keys = U16Keys();
  std::int64_t i = 0;
  std::int64_t sum = 0;
  for (auto _ : state) {
    sum += map.find(keys[static_cast<std::size_t>(i)])->second;
    if (++i == count) i = 0;
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Baseline_UnorderedMapLookup)->Arg(200)->Arg(1000)->Arg(10000)->Arg(100000);

// Packing: the library's stream against the same bytes written by hand.
KQ_TDict const& PackedDict() {
  static std::unique_ptr<KQ_TDict> const dict = [] {
    Initialize();
    return MakeDict(kBuildCount);
  }();
  return *dict;
}

std::vector<unsigned char> PackDict(KQ_TDict const& dict) {
  KQ_TMemoryStream memory;
  KQ_TDataStream data(memory);
  data << dict;
  return std::vector<unsigned char>(memory.Data(), memory.Data() + memory.Size());
}

void PutU32(std::vector<unsigned char>& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<unsigned char>(v >> shift));
}

// The baseline encoder: dictionary code and count, then per entry the
// string key (code, unit count, packet of big-endian units) and the Any
// value (code, kind, 32-bit integer).
std::vector<unsigned char> EncodeByHand(std::unordered_map<std::u16string, int> const& map) {
  std::vector<unsigned char> out;
  out.push_back(0x45);
  out.push_back(0x07);
  PutU32(out, static_cast<std::uint32_t>(map.size()));
  for (auto const& [key, value] : map) {
    auto const length = static_cast<std::uint32_t>(key.size());
    out.push_back(0x41);
    out.push_back(0x07);
    PutU32(out, length);
    out.push_back(0x0F);
    PutU32(out, 2 * length);
    for (char16_t unit : key) {
      out.push_back(static_cast<unsigned char>(unit >> 8));
      out.push_back(static_cast<unsigned char>(unit));
    }
    out.push_back(0x40);
    out.push_back(0x05);
    out.push_back(0x04);
    out.push_back(0x03);
    PutU32(out, static_cast<std::uint32_t>(value));
  }
  return out;
}

// The baseline decoder: checks every tag and length, as a reader of outside
// data must.
class ByteReader {
 public:
  explicit ByteReader(std::vector<unsigned char> const& in) : fIn(in) {}
  bool Byte(unsigned char& b) {
    if (fAt >= fIn.size()) return false;
    b = fIn[fAt++];
    return true;
  }
  bool Expect(unsigned char tag) {
    unsigned char b = 0;
    return Byte(b) && b == tag;
  }
  bool U32(std::uint32_t& v) {
    if (fIn.size() - fAt < 4) return false;
    v = static_cast<std::uint32_t>(fIn[fAt]) << 24 |
        static_cast<std::uint32_t>(fIn[fAt + 1]) << 16 |
        static_cast<std::uint32_t>(fIn[fAt + 2]) << 8 | fIn[fAt + 3];
    fAt += 4;
    return true;
  }
  bool Units(std::u16string& s, std::uint32_t count) {
    if ((fIn.size() - fAt) / 2 < count) return false;
    s.resize(count);
    for (std::uint32_t i = 0; i < count; ++i, fAt += 2) {
      s[i] = static_cast<char16_t>(fIn[fAt] << 8 | fIn[fAt + 1]);
    }
    return true;
  }

 private:
  std::vector<unsigned char> const& fIn;
  std::size_t fAt = 0;
};

bool DecodeByHand(std::vector<unsigned char> const& in,
                  std::unordered_map<std::u16string, int>& map) {
  ByteReader r(in);
  std::uint32_t count = 0;
  if (!r.Expect(0x45) || !r.Expect(0x07) || !r.U32(count)) return false;
  map.clear();
  std::u16string key;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t units = 0;
    std::uint32_t bytes = 0;
    std::uint32_t value = 0;
    if (!r.Expect(0x41) || !r.Expect(0x07) || !r.U32(units) || !r.Expect(0x0F) || !r.U32(bytes) ||
        bytes != 2 * units || !r.Units(key, units) || !r.Expect(0x40) || !r.Expect(0x05) ||
        !r.Expect(0x04) || !r.Expect(0x03) || !r.U32(value)) {
      return false;
    }
    map[key] = static_cast<int>(value);
  }
  return true;
}

void BM_DictPack(benchmark::State& state) {
  KQ_TDict const& dict = PackedDict();
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::vector<unsigned char> const packed = PackDict(dict);
    bytes = packed.size();
    benchmark::DoNotOptimize(packed.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_DictPack)->Unit(benchmark::kMillisecond);

void BM_Baseline_EncodeMapByHand(benchmark::State& state) {
  std::unordered_map<std::u16string, int> const map = MakeMap(kBuildCount);
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::vector<unsigned char> const packed = EncodeByHand(map);
    bytes = packed.size();
    benchmark::DoNotOptimize(packed.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_Baseline_EncodeMapByHand)->Unit(benchmark::kMillisecond);

void BM_DictUnpack(benchmark::State& state) {
  std::vector<unsigned char> packed = PackDict(PackedDict());
  for (auto _ : state) {
    KQ_TMemoryStream memory(packed.data(), static_cast<std::uint32_t>(packed.size()),
                            static_cast<std::uint32_t>(packed.size()));
    KQ_TDataStream data(memory);
    std::unique_ptr<KQ_IPackable> const dict(data.Extract(false));
    if (dict == nullptr) state.SkipWithError("nothing unpacked");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(packed.size()));
}
BENCHMARK(BM_DictUnpack)->Unit(benchmark::kMillisecond);

void BM_Baseline_DecodeMapByHand(benchmark::State& state) {
  std::vector<unsigned char> const packed = EncodeByHand(MakeMap(kBuildCount));
  for (auto _ : state) {
    std::unordered_map<std::u16string, int> map;
    if (!DecodeByHand(packed, map) || map.size() != kBuildCount) {
      state.SkipWithError("decoding failed");
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(packed.size()));
}
BENCHMARK(BM_Baseline_DecodeMapByHand)->Unit(benchmark::kMillisecond);

}  // namespace
