// The packed format's hot path: a KQ_TList of 1,000,000 Anys holding doubles,
// packed into a KQ_TMemoryStream and unpacked from it, against a plain
// hand-written encoder and decoder of the same bytes (list header, then per
// element 0x40, the kind as 0x05 0x0D, and 0x0C with eight big-endian bytes)
// working on a std::vector. Packing writes over one output buffer per side
// that is kept from iteration to iteration (so neither side pays for fresh
// pages); unpacking builds and destroys its result inside the timed loop on
// both sides.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "kq_initialization.h"
#include "kq_tany.h"
#include "kq_tdatastream.h"
#include "kq_tlist.h"
#include "kq_tmemorystream.h"

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

}  // namespace
