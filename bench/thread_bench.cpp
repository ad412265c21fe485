// Starting and joining a thread: KQ_TThread (object made, started, joined
// and destroyed, as a program would use it) against std::thread (made and
// joined); and the calling thread's object and print indentation, which
// other code reads often, against a plain thread_local variable.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

#include "kq_iprintable.h"
#include "kq_tthread.h"

namespace {

std::int32_t Nothing(void*) { return 0; }

void BM_StdThreadStartJoin(benchmark::State& state) {
  for (auto _ : state) {
    std::thread thread([] {});
    thread.join();
  }
}

void BM_TThreadStartJoin(benchmark::State& state) {
  for (auto _ : state) {
    KQ_TThread thread(&Nothing);
    thread.Start().Join();
  }
}

// The thread object made once and started again after Stop, so only the
// system thread comes and goes.
void BM_TThreadRestartJoin(benchmark::State& state) {
  KQ_TThread thread(&Nothing);
  for (auto _ : state) {
    thread.Start().Join();
    thread.Stop();
  }
}

thread_local std::uint32_t tBaseline = 0;

void BM_ThreadLocalRead(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(&tBaseline);
    benchmark::DoNotOptimize(tBaseline);
  }
}

void BM_TThreadCurrentThread(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(&KQ_TThread::CurrentThread());
}

void BM_PrintableIndentation(benchmark::State& state) {
  KQ_IPrintable::SetIndentation(4);
  for (auto _ : state) benchmark::DoNotOptimize(KQ_IPrintable::Indentation());
  KQ_IPrintable::SetIndentation(0);
}

// Starting threads is at the mercy of whatever else the machine runs: the
// fastest repetition is reported beside the usual statistics.
double Fastest(std::vector<double> const& times) {
  return *std::min_element(times.begin(), times.end());
}

BENCHMARK(BM_StdThreadStartJoin)->UseRealTime()->ComputeStatistics("min", Fastest);
BENCHMARK(BM_TThreadStartJoin)->UseRealTime()->ComputeStatistics("min", Fastest);
BENCHMARK(BM_TThreadRestartJoin)->UseRealTime()->ComputeStatistics("min", Fastest);
BENCHMARK(BM_ThreadLocalRead);
BENCHMARK(BM_TThreadCurrentThread);
BENCHMARK(BM_PrintableIndentation);

}  // namespace
