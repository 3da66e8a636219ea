// The meter's cost against its references, each ratio taken within one run:
// a call that is not due against a bare read of the system time, one update
// against the 50 ms it must take, and an instance's start and end.
#include <benchmark/benchmark.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "plugin/parameters.h"
#include "plugin/plugin_api.h"

namespace {

void BareSystemTimeRead(benchmark::State& state) {
  timespec now{};
  for (auto _ : state) {
    clock_gettime(CLOCK_REALTIME, &now);
    benchmark::DoNotOptimize(now);
  }
}
BENCHMARK(BareSystemTimeRead);

void ParameterConversions(benchmark::State& state) {
  const char* texts[] = {"3600", "30", "4"};
  for (auto _ : state) {
    benchmark::DoNotOptimize(texts);
    const std::int32_t interval = TextToInt32(texts[0]);
    const std::int32_t priority = ThreadPriorityFromLevel(TextToInt32(texts[1]));
    const std::uint32_t priorityClass = PriorityClassFromLevel(TextToInt32(texts[2]));
    benchmark::DoNotOptimize(interval);
    benchmark::DoNotOptimize(priority);
    benchmark::DoNotOptimize(priorityClass);
  }
}
BENCHMARK(ParameterConversions);

void NotDueCall(benchmark::State& state) {
  MeterInstance* instance = dllstartup(0, 0);
  GetCPUSpeed(instance, "3600", "30", "4");
  for (auto _ : state) {
    benchmark::DoNotOptimize(GetCPUSpeed(instance, "3600", "30", "4"));
  }
  dllshutdown(instance);
}
BENCHMARK(NotDueCall);

// With the boost hosts ask for by default. Each update rests 100 ms first, as
// a polling host would, so that the kernel's real-time throttling (95 % of
// each second) is not charged to the update.
void Update(benchmark::State& state) {
  MeterInstance* instance = dllstartup(0, 0);
  for (auto _ : state) {
    state.PauseTiming();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    state.ResumeTiming();
    benchmark::DoNotOptimize(GetCPUSpeed(instance, "0", "30", "5"));
  }
  dllshutdown(instance);
}
BENCHMARK(Update)->Unit(benchmark::kMillisecond)->Iterations(20)->Repetitions(3)->UseRealTime();

void StartupAndShutdown(benchmark::State& state) {
  for (auto _ : state) {
    MeterInstance* instance = dllstartup(0, 0);
    benchmark::DoNotOptimize(instance);
    dllshutdown(instance);
  }
}
BENCHMARK(StartupAndShutdown);

// Prints what the run measured as the ratios the targets are stated in.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median") {
        nanoseconds_[run.run_name.function_name] = run.GetAdjustedRealTime() * Scale(run);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // The ratios whose benchmarks ran (a filter may have left some out).
  void PrintRatios() const {
    const double bare = Measured("BareSystemTimeRead");
    if (bare > 0 && Measured("NotDueCall") > 0) {
      std::printf("\nnot-due call / bare clock_gettime(CLOCK_REALTIME): %.2f (target <= 1)\n",
                  Measured("NotDueCall") / bare);
    }
    if (bare > 0 && Measured("ParameterConversions") > 0) {
      std::printf("parameter conversions / bare clock_gettime:        %.2f\n",
                  Measured("ParameterConversions") / bare);
    }
    if (Measured("Update") > 0) {
      std::printf("one update, median wall time:                      %.3f ms (target <= 50.25)\n",
                  Measured("Update") / 1e6);
    }
  }

 private:
  double Measured(const std::string& name) const {
    const auto found = nanoseconds_.find(name);
    return found != nanoseconds_.end() ? found->second : 0;
  }
  static double Scale(const Run& run) {
    switch (run.time_unit) {
      case benchmark::kMillisecond:
        return 1e6;
      case benchmark::kMicrosecond:
        return 1e3;
      default:
        return 1.0;
    }
  }
  std::map<std::string, double> nanoseconds_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
