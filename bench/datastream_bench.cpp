// The packed format's hot path: a KQ_TList of 1,000,000 Anys holding doubles,
// packed into a KQ_TMemoryStream and unpacked from it, against a plain
// hand-written encoder and decoder of the same bytes (list header, then per
// element 0x40, the kind as 0x05 0x0D, and 0x0C with eight big-endian bytes)
// working on a std::vector. Packing writes over one output buffer per side
// that is kept from iteration to iteration (so neither side pays for fresh
// pages); unpacking builds and destroys its result inside the timed loop on
// both sides.
//
// The same for a KQ_TDict of 100,000 KQ_TString keys of 8 to 40 units mapping
// to 32-bit integers, against a hand-written encoder of the same keys and
// values held as std::u16string and std::int32_t (each key, like the
// dictionary's, in a buffer of its own), and a hand-written decoder into a
// std::unordered_map.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kq_initialization.h"
#include "kq_tany.h"
#include "kq_tdatastream.h"
#include "kq_tdict.h"
#include "kq_tlist.h"
#include "kq_tmemorystream.h"
#include "kq_tstring.h"

namespace {

constexpr std::uint32_t kCount = 1000000;

std::vector<double> const& Values() {
  static std::vector<double> const values = [] {
    std::vector<double> v(kCount);
    for (std::uint32_t i = 0; i < kCount; ++i) v[i] = i * 0.37 - 1000.0;
    return v;
  }();
  return values;
}

// The codes of the classes involved, registered by the library's
// initialisation (or here, while it does not yet).
void Initialize() {
  __KQ_INITIALIZATION_FUNCTION_kqtypes__();
  if (KQ_TDataStream::SpecificType(64) == nullptr) {
    KQ_TDataStream::RegisterSpecificType(64, KQ_TAny::KQ_ClassObject());
  }
  if (KQ_TDataStream::SpecificType(71) == nullptr) {
    KQ_TDataStream::RegisterSpecificType(71, KQ_TList::KQ_ClassObject());
  }
}

KQ_TList const& List() {
  static KQ_TList const list = [] {
    Initialize();
    KQ_TList l;
    for (double value : Values()) l.AddAtTail(KQ_TAny(value));
    return l;
  }();
  return list;
}

void PutBE64(std::vector<std::uint8_t>& out, std::uint64_t bits) {
  for (int shift = 56; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(bits >> shift));
}

// The baseline encoder: the same bytes, straight into a vector.
void EncodeByHand(std::vector<double> const& values, std::vector<std::uint8_t>& out) {
  out.clear();
  auto const count = static_cast<std::uint32_t>(values.size());
  out.push_back(0x47);
  out.push_back(0x07);
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(count >> shift));
  for (double value : values) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    out.push_back(0x40);
    out.push_back(0x05);
    out.push_back(0x0D);
    out.push_back(0x0C);
    PutBE64(out, bits);
  }
}

std::vector<std::uint8_t> EncodedByHand() {
  std::vector<std::uint8_t> bytes;
  EncodeByHand(Values(), bytes);
  return bytes;
}

// The baseline decoder: checks every tag, as a reader of outside data must.
bool DecodeByHand(std::vector<std::uint8_t> const& in, std::vector<double>& values) {
  std::size_t at = 0;
  auto need = [&](std::size_t n) { return in.size() - at >= n; };
  if (!need(6) || in[0] != 0x47 || in[1] != 0x07) return false;
  std::uint32_t const count = (std::uint32_t{in[2]} << 24) | (std::uint32_t{in[3]} << 16) |
                              (std::uint32_t{in[4]} << 8) | in[5];
  at = 6;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!need(12) || in[at] != 0x40 || in[at + 1] != 0x05 || in[at + 2] != 0x0D ||
        in[at + 3] != 0x0C) {
      return false;
    }
    std::uint64_t bits = 0;
    for (int k = 0; k < 8; ++k) bits = bits << 8 | in[at + 4 + k];
    double value;
    std::memcpy(&value, &bits, sizeof value);
    values.push_back(value);
    at += 12;
  }
  return true;
}

void BM_PackListOfDoubles(benchmark::State& state) {
  KQ_TList const& list = List();
  KQ_TMemoryStream memory;
  KQ_TDataStream data(memory);
  for (auto _ : state) {
    memory.Seek(0);
    data << list;
    benchmark::DoNotOptimize(memory.Data());
  }
  state.SetItemsProcessed(state.iterations() * kCount);
}
BENCHMARK(BM_PackListOfDoubles)->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_Baseline_EncodeDoublesByHand(benchmark::State& state) {
  std::vector<double> const& values = Values();
  std::vector<std::uint8_t> bytes;
  for (auto _ : state) {
    EncodeByHand(values, bytes);
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetItemsProcessed(state.iterations() * kCount);
}
BENCHMARK(BM_Baseline_EncodeDoublesByHand)->Unit(benchmark::kMillisecond)->Repetitions(5);

// The same hand encoder walking the KQ_TList itself: what is left of the
// gap above is the packing path, not the container.
void BM_Baseline_EncodeListByHand(benchmark::State& state) {
  KQ_TList const& list = List();
  std::vector<std::uint8_t> out;
  for (auto _ : state) {
    out.clear();
    out.push_back(0x47);
    out.push_back(0x07);
    for (int shift = 24; shift >= 0; shift -= 8) {
      out.push_back(static_cast<std::uint8_t>(list.Entries() >> shift));
    }
    for (KQ_TListKey const* key = list.KeyAtHead(); key != nullptr; key = key->Next()) {
      double const value = key->Value();
      std::uint64_t bits;
      std::memcpy(&bits, &value, sizeof bits);
      out.push_back(0x40);
      out.push_back(0x05);
      out.push_back(0x0D);
      out.push_back(0x0C);
      PutBE64(out, bits);
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kCount);
}
BENCHMARK(BM_Baseline_EncodeListByHand)->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_UnpackListOfDoubles(benchmark::State& state) {
  std::vector<std::uint8_t> bytes = EncodedByHand();
  List();
  for (auto _ : state) {
    KQ_TMemoryStream memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                            static_cast<std::uint32_t>(bytes.size()));
    KQ_TDataStream data(memory);
    KQ_TList list;
    data >> list;
    benchmark::DoNotOptimize(&list);
  }
  state.SetItemsProcessed(state.iterations() * kCount);
}
BENCHMARK(BM_UnpackListOfDoubles)->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_Baseline_DecodeDoublesByHand(benchmark::State& state) {
  std::vector<std::uint8_t> const bytes = EncodedByHand();
  for (auto _ : state) {
    std::vector<double> values;
    bool const ok = DecodeByHand(bytes, values);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(values.data());
  }
  state.SetItemsProcessed(state.iterations() * kCount);
}
BENCHMARK(BM_Baseline_DecodeDoublesByHand)->Unit(benchmark::kMillisecond)->Repetitions(5);

// Not a baseline but the floor of unpacking into a list: making and
// destroying the same KQ_TList element by element, with no bytes involved.
void BM_Reference_BuildAndDestroyList(benchmark::State& state) {
  std::vector<double> const& values = Values();
  List();
  for (auto _ : state) {
    KQ_TList list;
    for (double value : values) list.AddAtTail(KQ_TAny(value));
    benchmark::DoNotOptimize(&list);
  }
  state.SetItemsProcessed(state.iterations() * kCount);
}
BENCHMARK(BM_Reference_BuildAndDestroyList)->Unit(benchmark::kMillisecond)->Repetitions(5);

constexpr std::uint32_t kDictCount = 100000;

// Key i is "k", its number and "_", filled with letters up to 8 + (7 i mod
// 33) units; its value is 3 i.
std::vector<std::pair<std::u16string, std::int32_t>> const& DictEntries() {
  static std::vector<std::pair<std::u16string, std::int32_t>> const entries = [] {
    std::vector<std::pair<std::u16string, std::int32_t>> e;
    e.reserve(kDictCount);
    for (std::uint32_t i = 0; i < kDictCount; ++i) {
      std::string key = "k" + std::to_string(i) + "_";
      std::size_t const length = 8 + (i * 7) % 33;
      while (key.size() < length) key += static_cast<char>('a' + (key.size() * 5 + i) % 26);
      e.emplace_back(std::u16string(key.begin(), key.end()), static_cast<std::int32_t>(i * 3));
    }
    return e;
  }();
  return entries;
}

KQ_TDict const& StringDict() {
  static std::unique_ptr<KQ_TDict> const dict = [] {
    Initialize();
    auto d = std::make_unique<KQ_TDict>();
    for (auto const& [key, value] : DictEntries()) {
      d->Add(KQ_TString(key.c_str(), static_cast<std::uint32_t>(key.size())), KQ_TAny(value));
    }
    return d;
  }();
  return *dict;
}

void PutBE32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// The baseline encoder: dictionary code and count, then per entry the key
// (string code, unit count, packet of big-endian units) and the value (Any
// code, kind 4 as an unsigned char, tagged 32-bit integer).
void EncodeDictByHand(std::vector<std::pair<std::u16string, std::int32_t>> const& entries,
                      std::vector<std::uint8_t>& out) {
  out.clear();
  out.push_back(0x45);
  out.push_back(0x07);
  PutBE32(out, static_cast<std::uint32_t>(entries.size()));
  for (auto const& [key, value] : entries) {
    auto const length = static_cast<std::uint32_t>(key.size());
    out.push_back(0x41);
    out.push_back(0x07);
    PutBE32(out, length);
    out.push_back(0x0F);
    PutBE32(out, 2 * length);
    for (char16_t unit : key) {
      out.push_back(static_cast<std::uint8_t>(unit >> 8));
      out.push_back(static_cast<std::uint8_t>(unit));
    }
    out.push_back(0x40);
    out.push_back(0x05);
    out.push_back(0x04);
    out.push_back(0x03);
    PutBE32(out, static_cast<std::uint32_t>(value));
  }
}

std::vector<std::uint8_t> PackedDict() {
  KQ_TMemoryStream memory;
  KQ_TDataStream data(memory);
  data << StringDict();
  return std::vector<std::uint8_t>(memory.Data(), memory.Data() + memory.Size());
}

// The baseline decoder: checks every tag and length, as a reader of outside
// data must.
bool DecodeDictByHand(std::vector<std::uint8_t> const& in,
                      std::unordered_map<std::u16string, std::int32_t>& map) {
  std::size_t at = 0;
  auto need = [&](std::size_t n) { return in.size() - at >= n; };
  auto u32 = [&](std::size_t i) {
    return (std::uint32_t{in[i]} << 24) | (std::uint32_t{in[i + 1]} << 16) |
           (std::uint32_t{in[i + 2]} << 8) | in[i + 3];
  };
  if (!need(6) || in[0] != 0x45 || in[1] != 0x07) return false;
  std::uint32_t const count = u32(2);
  at = 6;
  std::u16string key;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!need(11) || in[at] != 0x41 || in[at + 1] != 0x07 || in[at + 6] != 0x0F) return false;
    std::uint32_t const units = u32(at + 2);
    if (u32(at + 7) != 2 * units) return false;
    at += 11;
    if ((in.size() - at) / 2 < units) return false;
    key.resize(units);
    for (std::uint32_t u = 0; u < units; ++u, at += 2) {
      key[u] = static_cast<char16_t>(in[at] << 8 | in[at + 1]);
    }
    if (!need(8) || in[at] != 0x40 || in[at + 1] != 0x05 || in[at + 2] != 0x04 ||
        in[at + 3] != 0x03) {
      return false;
    }
    map[key] = static_cast<std::int32_t>(u32(at + 4));
    at += 8;
  }
  return true;
}

void BM_PackDictOfStrings(benchmark::State& state) {
  KQ_TDict const& dict = StringDict();
  KQ_TMemoryStream memory;
  KQ_TDataStream data(memory);
  for (auto _ : state) {
    memory.Seek(0);
    data << dict;
    benchmark::DoNotOptimize(memory.Data());
  }
  state.SetItemsProcessed(state.iterations() * kDictCount);
}
BENCHMARK(BM_PackDictOfStrings)->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_Baseline_EncodeDictByHand(benchmark::State& state) {
  auto const& entries = DictEntries();
  std::vector<std::uint8_t> bytes;
  for (auto _ : state) {
    EncodeDictByHand(entries, bytes);
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetItemsProcessed(state.iterations() * kDictCount);
}
BENCHMARK(BM_Baseline_EncodeDictByHand)->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_UnpackDictOfStrings(benchmark::State& state) {
  std::vector<std::uint8_t> bytes = PackedDict();
  for (auto _ : state) {
    KQ_TMemoryStream memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                            static_cast<std::uint32_t>(bytes.size()));
    KQ_TDataStream data(memory);
    KQ_TDict dict;
    data >> dict;
    if (dict.Entries() != kDictCount) state.SkipWithError("unpacking failed");
  }
  state.SetItemsProcessed(state.iterations() * kDictCount);
}
BENCHMARK(BM_UnpackDictOfStrings)->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_Baseline_DecodeDictByHand(benchmark::State& state) {
  std::vector<std::uint8_t> const bytes = PackedDict();
  for (auto _ : state) {
    std::unordered_map<std::u16string, std::int32_t> map;
    if (!DecodeDictByHand(bytes, map) || map.size() != kDictCount) {
      state.SkipWithError("decoding failed");
    }
  }
  state.SetItemsProcessed(state.iterations() * kDictCount);
}
BENCHMARK(BM_Baseline_DecodeDictByHand)->Unit(benchmark::kMillisecond)->Repetitions(5);

}  // namespace
