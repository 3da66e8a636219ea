// Keeps a meter module busy the way a long-running host does: several threads,
// each with instances of its own, calling for a bounded time; then says what
// happened. Fails on any failure text or on memory that keeps growing.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "tools/command_line.h"
#include "tools/exit_status.h"
#include "tools/meter_entries.h"
#include "tools/sys/module_loader.h"
#include "tools/sys/process_memory.h"
#include "tools/sys/terminal.h"

namespace {

constexpr std::uint64_t kGrowthLimitKilobytes = 1024;
const char kFailure[] = "An unexpected error was returned";
constexpr auto kMeasuringTime = std::chrono::milliseconds(45);

struct Options {
  std::string modulePath;
  std::uint32_t threads = 4;
  std::uint32_t instances = 3;
  std::uint32_t seconds = 60;
  bool help = false;
};

std::vector<Option> SoakCommandLine(Options& options) {
  return {
      {"module", 'm', "PATH",
       "module to soak (default: the one beside this program or installed with it)",
       &options.modulePath},
      {"threads", 0, "N", "threads calling the meter (default 4)",
       WholeNumber{&options.threads, 1, 1000}},
      {"instances", 0, "N", "instances per thread (default 3)",
       WholeNumber{&options.instances, 1, 1000}},
      {"seconds", 0, "N", "how long (default 60)", WholeNumber{&options.seconds, 1, 1'000'000}},
      {"help", 'h', "", "show this text", &options.help},
  };
}

struct Counts {
  std::atomic<bool> stop{false};
  std::atomic<long> calls{0};
  std::atomic<long> updates{0};
  std::atomic<long> failures{0};
};

// One instance in four of each thread (the first, the fifth, ...) updates on
// every call; the others once a second, with the levels hosts use by default
// and with unusual texts. An instance
// the module could not create counts as a failure and is not called.
void Work(const MeterEntries& entries, const Options& options,
          std::chrono::steady_clock::time_point deadline, Counts& counts) {
  static const char* const kIntervals[] = {"0", "1", " +1", "1x"};
  static const char* const kThreads[] = {"15", "30", "", "-7"};
  static const char* const kClasses[] = {"2", "4", "x", "99999999999"};
  std::vector<MeterInstance*> instances;
  for (std::uint32_t index = 0; index < options.instances; ++index) {
    MeterInstance* instance = entries.dllstartup(0, 0);
    if (instance != nullptr) {
      instances.push_back(instance);
    } else {
      ++counts.failures;
    }
  }
  for (std::uint64_t call = 0;
       !instances.empty() && !counts.stop && std::chrono::steady_clock::now() < deadline; ++call) {
    const std::size_t which = call % instances.size();
    const std::size_t texts = which % 4;
    const auto before = std::chrono::steady_clock::now();
    const char* result =
        entries.getCPUSpeed(instances[which], kIntervals[texts], kThreads[texts], kClasses[texts]);
    ++counts.calls;
    // A buffer may come back at the address of the one it replaced, so an
    // update shows in the time it took: a measurement waits 50 ms.
    if (std::chrono::steady_clock::now() - before >= kMeasuringTime) {
      ++counts.updates;
    }
    if (std::strcmp(result, kFailure) == 0) {
      ++counts.failures;
    }
    if (which + 1 == instances.size()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  for (MeterInstance* instance : instances) {
    entries.dllshutdown(instance);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const auto stop =
          HandleCommandLine("meter-soak", argc, argv, SoakCommandLine(options), options.help)) {
    return *stop;
  }
  sys::LoadedModule module;
  MeterEntries entries;
  std::string path;
  if (!OpenMeterModule("meter-soak", options.modulePath, module, entries, path) ||
      !ProbeMeterInstance("meter-soak", module, entries)) {
    return kExitModule;
  }

  Counts counts;
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::seconds(options.seconds);
  std::vector<std::thread> threads;
  const auto joinAll = [&threads] {
    for (std::thread& thread : threads) {
      thread.join();
    }
  };
  for (std::uint32_t index = 0; index < options.threads; ++index) {
    try {
      threads.emplace_back([&] { Work(entries, options, deadline, counts); });
    } catch (const std::system_error& error) {
      counts.stop = true;
      joinAll();
      sys::UnloadModule(module);
      std::fprintf(stderr, "meter-soak: cannot start thread %u of %u: %s\n", index + 1,
                   options.threads, error.what());
      return kExitFailed;
    }
  }
  // Memory once the threads have settled, then its peak over the rest.
  std::this_thread::sleep_for(std::chrono::milliseconds(
      std::min<std::uint64_t>(2000, std::uint64_t{options.seconds} * 200)));
  const std::uint64_t settled = sys::ResidentKilobytes();
  std::uint64_t peak = settled;
  // Progress on a terminal only: a log would get one long line.
  const bool showProgress = sys::IsTerminal(2);
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    peak = std::max(peak, sys::ResidentKilobytes());
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    if (showProgress) {
      std::fprintf(stderr, "\r%3lld/%u s  %ld calls  %ld updates  %ld failures  %llu KiB",
                   static_cast<long long>(elapsed.count()), options.seconds, counts.calls.load(),
                   counts.updates.load(), counts.failures.load(),
                   static_cast<unsigned long long>(sys::ResidentKilobytes()));
    }
  }
  joinAll();
  sys::UnloadModule(module);
  if (showProgress) {
    std::fprintf(stderr, "\n");
  }
  const bool grew = peak > settled + kGrowthLimitKilobytes;
  std::printf("threads %u, instances %u each, %u s\n", options.threads, options.instances,
              options.seconds);
  std::printf("calls %ld, updates %ld, failures %ld\n", counts.calls.load(), counts.updates.load(),
              counts.failures.load());
  std::printf("resident memory: %llu KiB settled, %llu KiB peak%s\n",
              static_cast<unsigned long long>(settled), static_cast<unsigned long long>(peak),
              grew ? " (grew)" : "");
  return FinishOutput("meter-soak", counts.failures.load() == 0 && !grew ? kExitOk : kExitFailed);
}
