// The engine's setup, element-index query, coordinate average and group moments in C++, without
// Python, at 1 and 10 million source particles (clusters of 1 to 8, 90% enabled, shuffled, 1000
// trailing entries): the engine's own cost, to set against the same calls made from Python.
#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "vireo20/sci/parallel.h"
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

// Per-entry rows of three doubles and masses by source particle, as the job passes them; all in
// arrays on huge pages, as NumPy's large arrays are.
struct Moving {
  boost::shared_ptr<MPUpscaling::CoordinateArray> positions, velocities, forces;
  boost::shared_ptr<MPUpscaling::DoubleArray> masses;
};

Moving make_moving(const Step& p_Step)
{
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  const std::size_t rows = p_Step.enabled->size() + trailing_count;
  Moving moving{boost::shared_ptr<MPUpscaling::CoordinateArray>(new MPUpscaling::CoordinateArray(rows)),
                boost::shared_ptr<MPUpscaling::CoordinateArray>(new MPUpscaling::CoordinateArray(rows)),
                boost::shared_ptr<MPUpscaling::CoordinateArray>(new MPUpscaling::CoordinateArray(rows)),
                boost::shared_ptr<MPUpscaling::DoubleArray>(new MPUpscaling::DoubleArray(p_Step.parents->size()))};
  double* r = &moving.positions->data()[0][0];
  double* v = &moving.velocities->data()[0][0];
  double* f = &moving.forces->data()[0][0];
  for (std::size_t k = 0; k < 3 * rows; ++k) r[k] = uniform(random), v[k] = uniform(random), f[k] = uniform(random);
  for (std::size_t p = 0; p < p_Step.parents->size(); ++p) moving.masses->data()[p] = 0.5 + uniform(random);
  return moving;
}

// The centres every per-group array is taken about: the time group moments is measured against.
void engine_coordinate_average(benchmark::State& p_State)
{
  const Step step = make_step(static_cast<std::int32_t>(p_State.range(0)));
  const Moving moving = make_moving(step);
  MPUpscaling engine(step.parents);
  engine.setup(0, step.enabled, trailing_count);
  for (auto _ : p_State) benchmark::DoNotOptimize(engine.weighted_average(moving.positions, moving.masses).get());
  p_State.SetItemsProcessed(p_State.iterations() * static_cast<std::int64_t>(step.enabled->size()));
}

// Every per-group array (velocities and forces given) into buffers made once, as the module fills
// NumPy arrays.
void engine_group_moments(benchmark::State& p_State)
{
  const Step step = make_step(static_cast<std::int32_t>(p_State.range(0)));
  const Moving moving = make_moving(step);
  MPUpscaling engine(step.parents);
  engine.setup(0, step.enabled, trailing_count);
  const auto centres = engine.weighted_average(moving.positions, moving.masses);
  vireo20::ups::GroupMomentsInput in;
  in.centres = &centres->data()[0][0];
  in.centre_rows = static_cast<std::int64_t>(centres->size());
  in.positions = &moving.positions->data()[0][0];
  in.position_rows = in.velocity_rows = in.force_rows = static_cast<std::int64_t>(moving.positions->size());
  in.masses = moving.masses->data();
  in.mass_count = static_cast<std::int64_t>(moving.masses->size());
  in.velocities = &moving.velocities->data()[0][0];
  in.forces = &moving.forces->data()[0][0];
  const std::size_t rows = centres->size();
  std::vector<std::int32_t> count(rows);
  std::vector<double> rg(rows), gyration(6 * rows), inertia(6 * rows), angmom(3 * rows), omega(3 * rows), torque(3 * rows);
  const vireo20::ups::GroupMomentsOutput out{count.data(), rg.data(), gyration.data(), inertia.data(),
                                             angmom.data(), omega.data(), torque.data()};
  for (auto _ : p_State) {
    vireo20::ups::group_moments(engine, in, out, vireo20::ups::thread_count());
    benchmark::DoNotOptimize(omega.data());
  }
  p_State.SetItemsProcessed(p_State.iterations() * static_cast<std::int64_t>(step.enabled->size()));
}

double fastest(const std::vector<double>& p_Times) { return *std::min_element(p_Times.begin(), p_Times.end()); }

}  // namespace

// Every engine benchmark runs at 1M and 10M particles, best of five in wall time.
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
BENCHMARK(engine_coordinate_average)->Apply(at_both_sizes);
BENCHMARK(engine_group_moments)->Apply(at_both_sizes);

BENCHMARK_MAIN();
