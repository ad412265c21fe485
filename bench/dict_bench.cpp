// The dictionary against std::unordered_map<std::u16string, std::int32_t>:
// building a table of string keys mapping to integers, looking keys up, and
// packing and unpacking the table through the data stream against a
// hand-written encoder and decoder of the same bytes.
//
// Keys are 8 to 40 units long. Lookups go through keys of their own (equal
// text in buffers of their own, as a caller's keys would be), taken in a
// shuffled order, so that a large table is reached where the caches do not
// help; they are measured at 200, 1,000, 10,000 and 100,000 entries.
//
// Hostile input: packed dictionaries whose keys all share the library's
// hash value (64-bit integers that differ only in their high half, strings
// built from blocks that hash alike) or that hold objects of a class this
// process does not know. Their figure is the CPU time of one reading.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "kq_initialization.h"
#include "kq_tany.h"
#include "kq_tdatastream.h"
#include "kq_tdict.h"
#include "kq_tmemorystream.h"
#include "kq_tstring.h"
#include "kq_tunknown.h"

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

// Key i: "k", its number and "_", filled with letters up to 8 + (7 i mod 33)
// units.
std::vector<std::u16string> const& U16Keys() {
  static std::vector<std::u16string> const keys = [] {
    std::vector<std::u16string> k;
    k.reserve(kBuildCount);
    for (std::int64_t i = 0; i < kBuildCount; ++i) {
      std::string key = "k" + std::to_string(i) + "_";
      auto const length = static_cast<std::size_t>(8 + (i * 7) % 33);
      while (key.size() < length) key += static_cast<char>('a' + (key.size() * 5 + i) % 26);
      k.emplace_back(key.begin(), key.end());
    }
    return k;
  }();
  return keys;
}

KQ_TString MakeKey(std::u16string const& text) {
  return KQ_TString(text.c_str(), static_cast<std::uint32_t>(text.size()));
}

std::vector<KQ_TString> const& Keys() {
  static std::vector<KQ_TString> const keys = [] {
    std::vector<KQ_TString> k;
    k.reserve(kBuildCount);
    for (std::u16string const& text : U16Keys()) k.push_back(MakeKey(text));
    return k;
  }();
  return keys;
}

// The first count keys made anew, in a shuffled order. Each is made before
// the shuffle, so that the order of the keys in memory is not the order in
// which they are looked up.
template <class Key, class Make>
std::vector<Key> ShuffledProbes(std::int64_t count, Make make) {
  std::vector<Key> probes;
  probes.reserve(static_cast<std::size_t>(count));
  for (std::int64_t i = 0; i < count; ++i) probes.push_back(make(U16Keys()[i]));
  std::shuffle(probes.begin(), probes.end(), std::mt19937(12345));
  return probes;
}

std::unique_ptr<KQ_TDict> MakeDict(std::int64_t count) {
  auto dict = std::make_unique<KQ_TDict>();
  std::vector<KQ_TString> const& keys = Keys();
  for (std::int64_t i = 0; i < count; ++i) {
    (*dict)[keys[static_cast<std::size_t>(i)]] = static_cast<std::int32_t>(i);
  }
  return dict;
}

std::unordered_map<std::u16string, std::int32_t> MakeMap(std::int64_t count) {
  std::unordered_map<std::u16string, std::int32_t> map;
  std::vector<std::u16string> const& keys = U16Keys();
  for (std::int64_t i = 0; i < count; ++i) {
    map[keys[static_cast<std::size_t>(i)]] = static_cast<std::int32_t>(i);
  }
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
    std::unordered_map<std::u16string, std::int32_t> map = MakeMap(state.range(0));
    benchmark::DoNotOptimize(map.size());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Baseline_UnorderedMapBuild)->Arg(kBuildCount)->Unit(benchmark::kMillisecond);

// Heap bytes per entry of a table of 100,000 entries, keys and values
// included (the keys' text is shared with the caller's keys, so it is not
// counted on the dictionary's side). Large blocks come from their own
// mappings, which the heap counts apart.
std::size_t HeapBytesInUse() {
  struct mallinfo2 const info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

template <class Make>
void MeasureHeapPerEntry(benchmark::State& state, Make make) {
  for (auto _ : state) {
    std::size_t const before = HeapBytesInUse();
    auto table = make(kBuildCount);
    std::size_t const after = HeapBytesInUse();
    state.counters["bytes_per_entry"] =
        static_cast<double>(after - before) / static_cast<double>(kBuildCount);
  }
}

void BM_DictHeapPerEntry(benchmark::State& state) {
  Initialize();
  Keys();
  MeasureHeapPerEntry(state, MakeDict);
}
BENCHMARK(BM_DictHeapPerEntry)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Baseline_UnorderedMapHeapPerEntry(benchmark::State& state) {
  U16Keys();
  MeasureHeapPerEntry(state, MakeMap);
}
BENCHMARK(BM_Baseline_UnorderedMapHeapPerEntry)->Iterations(1)->Unit(benchmark::kMillisecond);

// One lookup per iteration, cycling through the probes of a table of
// range(0) entries.
void BM_DictLookup(benchmark::State& state) {
  Initialize();
  std::int64_t const count = state.range(0);
  std::unique_ptr<KQ_TDict const> const dict = MakeDict(count);
  std::vector<KQ_TString> const probes = ShuffledProbes<KQ_TString>(count, MakeKey);
  std::size_t i = 0;
  std::int64_t sum = 0;
  for (auto _ : state) {
    KQ_TAny const* value = dict->ValueOfKey(probes[i]);
    sum += static_cast<std::int32_t>(*value);
    if (++i == probes.size()) i = 0;
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DictLookup)->Arg(200)->Arg(1000)->Arg(10000)->Arg(100000);

void BM_Baseline_UnorderedMapLookup(benchmark::State& state) {
  std::int64_t const count = state.range(0);
  std::unordered_map<std::u16string, std::int32_t> const map = MakeMap(count);
  std::vector<std::u16string> const probes =
      ShuffledProbes<std::u16string>(count, [](std::u16string const& text) { return text; });
  std::size_t i = 0;
  std::int64_t sum = 0;
  for (auto _ : state) {
    sum += map.find(probes[i])->second;
    if (++i == probes.size()) i = 0;
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
  for (int shift = 24; shift >= 0; shift -= 8) {
    out.push_back(static_cast<unsigned char>(v >> shift));
  }
}

// The baseline encoder: dictionary code and count, then per entry the
// string key (code, unit count, packet of big-endian units) and the Any
// value (code, kind, 32-bit integer).
std::vector<unsigned char> EncodeByHand(
    std::unordered_map<std::u16string, std::int32_t> const& map) {
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
                  std::unordered_map<std::u16string, std::int32_t>& map) {
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
    map[key] = static_cast<std::int32_t>(value);
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
  std::unordered_map<std::u16string, std::int32_t> const map = MakeMap(kBuildCount);
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::vector<unsigned char> const packed = EncodeByHand(map);
    bytes = packed.size();
    benchmark::DoNotOptimize(packed.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_Baseline_EncodeMapByHand)->Unit(benchmark::kMillisecond);

// Reads one packed dictionary per iteration; the entry count is checked.
void UnpackEachIteration(benchmark::State& state, std::vector<unsigned char> packed,
                         std::uint32_t entries) {
  for (auto _ : state) {
    KQ_TMemoryStream memory(packed.data(), static_cast<std::uint32_t>(packed.size()),
                            static_cast<std::uint32_t>(packed.size()));
    KQ_TDataStream data(memory);
    std::unique_ptr<KQ_IPackable> const read(data.Extract(false));
    auto const* dict =
        read == nullptr ? nullptr : static_cast<KQ_TDict const*>(read->KQ_Cast("KQ_TDict"));
    if (dict == nullptr || dict->Entries() != entries) state.SkipWithError("unpacking failed");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(packed.size()));
}

void BM_DictUnpack(benchmark::State& state) {
  UnpackEachIteration(state, PackDict(PackedDict()), kBuildCount);
}
BENCHMARK(BM_DictUnpack)->Unit(benchmark::kMillisecond);

void BM_Baseline_DecodeMapByHand(benchmark::State& state) {
  std::vector<unsigned char> const packed = EncodeByHand(MakeMap(kBuildCount));
  for (auto _ : state) {
    std::unordered_map<std::u16string, std::int32_t> map;
    if (!DecodeByHand(packed, map) || map.size() != kBuildCount) {
      state.SkipWithError("decoding failed");
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(packed.size()));
}
BENCHMARK(BM_Baseline_DecodeMapByHand)->Unit(benchmark::kMillisecond);

// A packed dictionary of count entries, key i being key(i) and its value the
// 32-bit integer i, written entry by entry (a dictionary of such keys is
// exactly what is slow to build where their hash decides).
template <class Key>
std::vector<unsigned char> PackEntries(std::uint32_t count, Key key) {
  KQ_TMemoryStream memory;
  unsigned char const code = 0x45;
  memory.Write(&code, 1);
  KQ_TDataStream data(memory);
  data << count;
  for (std::uint32_t i = 0; i < count; ++i) {
    data << key(i) << KQ_TAny(static_cast<std::int32_t>(i));
  }
  return std::vector<unsigned char>(memory.Data(), memory.Data() + memory.Size());
}

// 64-bit integers that differ only in their high half.
void BM_DictUnpackSameHashInt64(benchmark::State& state) {
  Initialize();
  auto const count = static_cast<std::uint32_t>(state.range(0));
  UnpackEachIteration(
      state,
      PackEntries(count,
                  [](std::uint32_t i) {
                    return KQ_TAny(static_cast<std::int64_t>(std::uint64_t{i} << 32 | 7));
                  }),
      count);
}
BENCHMARK(BM_DictUnpackSameHashInt64)->Arg(50000)->Unit(benchmark::kMillisecond);

// Strings of 16 blocks of two units, each block either (2, 1) or
// (1, 65522): both add the same to the hash, so all 65,536 such strings
// share it.
void BM_DictUnpackSameHashStrings(benchmark::State& state) {
  Initialize();
  auto const count = static_cast<std::uint32_t>(state.range(0));
  UnpackEachIteration(state,
                      PackEntries(count,
                                  [](std::uint32_t i) {
                                    std::u16string text;
                                    for (int bit = 0; bit < 16; ++bit) {
                                      text +=
                                          (i >> bit & 1) != 0 ? u"\x0002\x0001" : u"\x0001\xFFF2";
                                    }
                                    return MakeKey(text);
                                  }),
                      count);
}
BENCHMARK(BM_DictUnpackSameHashStrings)->Arg(50000)->Unit(benchmark::kMillisecond);

// Anys holding objects of a class this process does not know, each kept as
// a KQ_TUnknown whose content is one 32-bit number.
void BM_DictUnpackUnknownKeys(benchmark::State& state) {
  Initialize();
  auto const count = static_cast<std::uint32_t>(state.range(0));
  UnpackEachIteration(
      state,
      PackEntries(count,
                  [](std::uint32_t i) {
                    unsigned char const content[] = {0x07, static_cast<unsigned char>(i >> 24),
                                                     static_cast<unsigned char>(i >> 16),
                                                     static_cast<unsigned char>(i >> 8),
                                                     static_cast<unsigned char>(i)};
                    auto* unknown = new KQ_TUnknown("NoSuchClass", content, sizeof content);
                    unknown->SetLength(sizeof content);
                    KQ_TAny key;
                    key.Assign(unknown);
                    return key;
                  }),
      count);
}
BENCHMARK(BM_DictUnpackUnknownKeys)->Arg(20000)->Unit(benchmark::kMillisecond);

}  // namespace
