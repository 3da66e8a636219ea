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
#include <thread>
#include <vector>

#include "host/meter_entries.h"
#include "host/sys/module_loader.h"
#include "host/sys/process_memory.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitModule = 3;
constexpr int kExitFailed = 1;
constexpr std::uint64_t kGrowthLimitKilobytes = 1024;
const char kFailure[] = "An unexpected error was returned";
constexpr auto kMeasuringTime = std::chrono::milliseconds(45);

struct Options {
  std::string modulePath;
  unsigned long threads = 4;
  unsigned long instances = 3;
  unsigned long seconds = 60;
};

bool ParseOptions(int argc, char** argv, Options& options, std::string& error) {
  for (int index = 1; index < argc; index += 2) {
    const std::string option = argv[index];
    if (index + 1 >= argc) {
      error = "option '" + option + "' needs a value";
      return false;
    }
    const char* value = argv[index + 1];
    if (option == "-m" || option == "--module") {
      options.modulePath = value;
      continue;
    }
    unsigned long* number = option == "--threads"     ? &options.threads
                            : option == "--instances" ? &options.instances
                            : option == "--seconds"   ? &options.seconds
                                                      : nullptr;
    if (number == nullptr) {
      error = "unknown option '" + option + "'";
      return false;
    }
    char* end = nullptr;
    *number = std::strtoul(value, &end, 10);
    if (*value < '0' || *value > '9' || *end != '\0' || *number == 0 || *number > 1000) {
      error = "option '" + option + "' needs a whole number from 1 to 1000, got '" + value + "'";
      return false;
    }
  }
  return true;
}

struct Counts {
  std::atomic<long> calls{0};
  std::atomic<long> updates{0};
  std::atomic<long> failures{0};
};

// Instance 0 of each thread updates on every call; the others once a second,
// with the levels hosts use by default and with unusual texts.
void Work(const MeterEntries& entries, const Options& options,
          std::chrono::steady_clock::time_point deadline, Counts& counts) {
  static const char* const kIntervals[] = {"0", "1", " +1", "1x"};
  static const char* const kThreads[] = {"15", "30", "", "-7"};
  static const char* const kClasses[] = {"2", "4", "x", "99999999999"};
  std::vector<MeterInstance*> instances;
  for (unsigned long index = 0; index < options.instances; ++index) {
    instances.push_back(entries.dllstartup(0, 0));
  }
  for (unsigned long call = 0; std::chrono::steady_clock::now() < deadline; ++call) {
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
  std::string error;
  if (!ParseOptions(argc, argv, options, error)) {
    std::fprintf(stderr,
                 "meter-soak: %s\nusage: meter-soak [-m PATH] [--threads N] [--instances N] "
                 "[--seconds N]\n",
                 error.c_str());
    return kExitUsage;
  }
  sys::LoadedModule module;
  MeterEntries entries;
  std::string path;
  if (!OpenMeterModule(options.modulePath, module, entries, path, error)) {
    std::fprintf(stderr, "meter-soak: %s\n", error.c_str());
    return kExitModule;
  }

  Counts counts;
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::seconds(options.seconds);
  std::vector<std::thread> threads;
  for (unsigned long index = 0; index < options.threads; ++index) {
    threads.emplace_back([&] { Work(entries, options, deadline, counts); });
  }
  // Memory once the threads have settled, then its peak over the rest.
  std::this_thread::sleep_for(std::chrono::milliseconds(std::min(2000UL, options.seconds * 200)));
  const std::uint64_t settled = sys::ResidentKilobytes();
  std::uint64_t peak = settled;
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    peak = std::max(peak, sys::ResidentKilobytes());
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    std::fprintf(stderr, "\r%3lld/%lu s  %ld calls  %ld updates  %ld failures  %llu KiB",
                 static_cast<long long>(elapsed.count()), options.seconds, counts.calls.load(),
                 counts.updates.load(), counts.failures.load(),
                 static_cast<unsigned long long>(sys::ResidentKilobytes()));
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  sys::UnloadModule(module);
  std::fprintf(stderr, "\n");
  const bool grew = peak > settled + kGrowthLimitKilobytes;
  std::printf("threads %lu, instances %lu each, %lu s\n", options.threads, options.instances,
              options.seconds);
  std::printf("calls %ld, updates %ld, failures %ld\n", counts.calls.load(), counts.updates.load(),
              counts.failures.load());
  std::printf("resident memory: %llu KiB settled, %llu KiB peak%s\n",
              static_cast<unsigned long long>(settled), static_cast<unsigned long long>(peak),
              grew ? " (grew)" : "");
  return counts.failures.load() == 0 && !grew ? 0 : kExitFailed;
}
