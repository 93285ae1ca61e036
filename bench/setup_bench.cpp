// The engine's setup and element-index query in C++, without Python, at 1 and 10 million source
// particles (clusters of 1 to 8, 90% enabled, shuffled, 1000 trailing entries): the engine's own cost,
// to set against the same calls made from Python.
#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "vireo20/vireo20.h"

namespace {

using IntArray = quill20::core::Array<int, 1>;
constexpr std::int32_t trailing_count = 1000;

// The same kind of data as bench/upscaling_bench.py: clusters of consecutive slots over permuted ids,
// the first member of each cluster its parent.
struct Step {
  boost::shared_ptr<IntArray> parents;
  boost::shared_ptr<IntArray> enabled;
};

Step make_step(std::int32_t p_Particles)
{
  std::mt19937_64 random(20261206);
  std::vector<int> ids(static_cast<std::size_t>(p_Particles));
  std::iota(ids.begin(), ids.end(), 0);
  std::shuffle(ids.begin(), ids.end(), random);
  Step step{boost::shared_ptr<IntArray>(new IntArray(ids.size())), nullptr};
  int* parents = step.parents->data();
  for (std::int32_t slot = 0; slot < p_Particles;) {
    const std::int32_t size = std::min<std::int32_t>(1 + static_cast<std::int32_t>(random() % 8), p_Particles - slot);
    parents[ids[slot]] = -1;
    for (std::int32_t k = 1; k < size; ++k) parents[ids[slot + k]] = ids[slot];
    slot += size;
  }
  std::vector<int> enabled;
  for (std::int32_t p = 0; p < p_Particles; ++p)
    if (random() % 10 != 0) enabled.push_back(p);
  std::shuffle(enabled.begin(), enabled.end(), random);
  step.enabled.reset(new IntArray(enabled.size()));
  std::copy(enabled.begin(), enabled.end(), step.enabled->data());
  return step;
}

void engine_setup(benchmark::State& p_State)
{
  const Step step = make_step(static_cast<std::int32_t>(p_State.range(0)));
  MPUpscaling engine(step.parents);
  for (auto _ : p_State) {
    engine.setup(0, step.enabled, trailing_count);
    benchmark::DoNotOptimize(engine.topology().get());
  }
  p_State.counters["upscaled"] = engine.number_of_upscaled_particles();
  p_State.SetItemsProcessed(p_State.iterations() * static_cast<std::int64_t>(step.enabled->size()));
}

void engine_element_indexes(benchmark::State& p_State)
{
  const Step step = make_step(static_cast<std::int32_t>(p_State.range(0)));
  MPUpscaling engine(step.parents);
  engine.setup(0, step.enabled, trailing_count);
  for (auto _ : p_State) benchmark::DoNotOptimize(engine.get_element_particles_indexes().get());
  p_State.SetItemsProcessed(p_State.iterations() * static_cast<std::int64_t>(step.enabled->size()));
}

double fastest(const std::vector<double>& p_Times) { return *std::min_element(p_Times.begin(), p_Times.end()); }

}  // namespace

// Both engine benchmarks run at 1M and 10M particles, best of five in wall time.
void at_both_sizes(benchmark::internal::Benchmark* p_Benchmark)
{
  p_Benchmark->Arg(1000000)
      ->Arg(10000000)
      ->Unit(benchmark::kMillisecond)
      ->Repetitions(5)
      ->ReportAggregatesOnly(true)
      ->ComputeStatistics("min", fastest)
      ->UseRealTime();
}

BENCHMARK(engine_setup)->Apply(at_both_sizes);
BENCHMARK(engine_element_indexes)->Apply(at_both_sizes);

BENCHMARK_MAIN();
