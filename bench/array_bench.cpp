// Element access cost of Array<double,1>: ten million doubles summed through operator[] and through
// data(), beside the same loop over a std::vector<double>; prints the array/vector time ratios.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "quill20/core/array/Array1D.h"

namespace {

using quill20::core::Array;

constexpr std::uint64_t element_count = 10000000;
constexpr int repetitions = 15;

void sum_vector(benchmark::State& p_State, const std::vector<double>* p_Values)
{
  const std::vector<double>& values = *p_Values;
  for (auto _ : p_State) {
    double sum = 0.0;
    for (std::size_t i = 0; i < values.size(); ++i) sum += values[i];
    benchmark::DoNotOptimize(sum);
  }
  p_State.SetItemsProcessed(p_State.iterations() * values.size());
}

void sum_array_index(benchmark::State& p_State, const Array<double, 1>* p_Values)
{
  const Array<double, 1>& values = *p_Values;
  for (auto _ : p_State) {
    double sum = 0.0;
    for (std::uint64_t i = 0; i < values.size(); ++i) sum += values[i];
    benchmark::DoNotOptimize(sum);
  }
  p_State.SetItemsProcessed(p_State.iterations() * values.size());
}

void sum_array_data(benchmark::State& p_State, const Array<double, 1>* p_Values)
{
  for (auto _ : p_State) {
    const double* values = p_Values->data();
    const std::uint64_t count = p_Values->size();
    double sum = 0.0;
    for (std::uint64_t i = 0; i < count; ++i) sum += values[i];
    benchmark::DoNotOptimize(sum);
  }
  p_State.SetItemsProcessed(p_State.iterations() * p_Values->size());
}

double fastest(const std::vector<double>& p_Times) { return *std::min_element(p_Times.begin(), p_Times.end()); }

// Shows the usual console output and keeps the median and minimum time of every benchmark.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& p_Runs) override
  {
    ConsoleReporter::ReportRuns(p_Runs);
    for (const Run& run : p_Runs)
      if (run.run_type == Run::RT_Aggregate)
        m_Times[run.run_name.function_name][run.aggregate_name] = run.GetAdjustedRealTime();
  }

  // Time of p_Name over the vector loop's time, by the given statistic; 0 when either is missing.
  double ratio(const std::string& p_Name, const std::string& p_Statistic) const
  {
    const double array = lookup(p_Name, p_Statistic), vector = lookup("sum_vector", p_Statistic);
    return array > 0 && vector > 0 ? array / vector : 0.0;
  }

 private:
  double lookup(const std::string& p_Name, const std::string& p_Statistic) const
  {
    const auto entry = m_Times.find(p_Name);
    if (entry == m_Times.end()) return 0.0;
    const auto value = entry->second.find(p_Statistic);
    return value == entry->second.end() ? 0.0 : value->second;
  }

  std::map<std::string, std::map<std::string, double>> m_Times;
};

}  // namespace

int main(int argc, char** argv)
{
  std::vector<double> vector_values(element_count);
  Array<double, 1> array_values(element_count);
  for (std::uint64_t i = 0; i < element_count; ++i)
    vector_values[i] = array_values[i] = static_cast<double>(i % 1000) * 0.25;

  // Interleaved repetitions keep load from other processes from favouring one loop.
  std::vector<char*> arguments(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  arguments.push_back(interleave);
  int argument_count = static_cast<int>(arguments.size());
  benchmark::Initialize(&argument_count, arguments.data());
  if (benchmark::ReportUnrecognizedArguments(argument_count, arguments.data())) return 1;

  for (auto* registered : {benchmark::RegisterBenchmark("sum_vector", sum_vector, &vector_values),
                           benchmark::RegisterBenchmark("sum_array_index", sum_array_index, &array_values),
                           benchmark::RegisterBenchmark("sum_array_data", sum_array_data, &array_values)})
    registered->Unit(benchmark::kMillisecond)
        ->Repetitions(repetitions)
        ->ReportAggregatesOnly(true)
        ->ComputeStatistics("min", fastest);

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  bool within = true;
  std::printf("\nArray<double,1> / std::vector<double>, summing %llu doubles:\n",
              static_cast<unsigned long long>(element_count));
  for (const char* name : {"sum_array_index", "sum_array_data"}) {
    const double median = reporter.ratio(name, "median"), minimum = reporter.ratio(name, "min");
    std::printf("  %-16s ratio %.3f (median), %.3f (fastest)\n", name, median, minimum);
    within = within && median > 0 && median <= 1.05;
  }
  std::printf(within ? "  array loops within 5%% of the vector loop\n"
                     : "  WARNING: an array loop is more than 5%% slower than the vector loop\n");
  return 0;
}
