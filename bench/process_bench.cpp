// Starting a child that runs /bin/true and waiting for it: KQ_TProcess
// (object made from a command line, joined and destroyed, as a program
// would use it) against posix_spawn plus waitpid.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <vector>

#include "kq_tprocess.h"

extern char** environ;

namespace {

void BM_PosixSpawnWaitpid(benchmark::State& state) {
  char const* const arguments[] = {"/bin/true", nullptr};
  for (auto _ : state) {
    pid_t pid = 0;
    if (posix_spawn(&pid, arguments[0], nullptr, nullptr, const_cast<char* const*>(arguments),
                    environ) != 0) {
      state.SkipWithError("posix_spawn failed");
      break;
    }
    int status = 0;
    waitpid(pid, &status, 0);
  }
}

void BM_TProcessStartJoin(benchmark::State& state) {
  for (auto _ : state) {
    KQ_TProcess process("/bin/true");
    benchmark::DoNotOptimize(process.Join().Result());
  }
}

// Starting processes is at the mercy of whatever else the machine runs: the
// fastest repetition is reported beside the usual statistics.
double Fastest(std::vector<double> const& times) {
  return *std::min_element(times.begin(), times.end());
}

BENCHMARK(BM_PosixSpawnWaitpid)->UseRealTime()->ComputeStatistics("min", Fastest);
BENCHMARK(BM_TProcessStartJoin)->UseRealTime()->ComputeStatistics("min", Fastest);

}  // namespace
