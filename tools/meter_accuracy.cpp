// Judges the meter module against references measured on the same machine in
// the same run: the kernel's own TSC frequency, where it publishes one, and
// time-stamp cycles over long windows of a raw clock.
#include <x86intrin.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/accuracy_stats.h"
#include "tools/command_line.h"
#include "tools/exit_status.h"
#include "tools/meter_entries.h"
#include "tools/sys/module_loader.h"
#include "tools/sys/reference_clock.h"
#include "tools/sys/terminal.h"
#include "tools/sys/unprivileged.h"

namespace {

struct Options {
  std::string modulePath;
  std::uint32_t count = 200;
  std::uint32_t pauseMs = 200;
  std::string thread = "30";
  std::string priorityClass = "5";
  bool load = false;
  double kernelMhz = 0;
  std::string csvPath;
  bool help = false;
};

std::vector<Option> AccuracyCommandLine(Options& options) {
  return {
      {"module", 'm', "PATH",
       "module to judge (default: the one beside this program or installed with it)",
       &options.modulePath},
      {"count", 'n', "N", "readings per run (default 200)",
       WholeNumber{&options.count, 1, 1'000'000}},
      {"pause-ms", 'p', "N", "pause between readings (default 200)",
       WholeNumber{&options.pauseMs, 0, 60'000}},
      {"thread", 't', "TEXT", "thread priority level (default 30)", &options.thread},
      {"class", 'c', "TEXT", "priority class level (default 5)", &options.priorityClass},
      {"load", 0, "",
       "keep every core busy (a thread more than there are cores), then take\n"
       "three runs: with the levels, with them as nobody (when run as root),\n"
       "and with levels 15 and 2",
       &options.load},
      {"kernel-mhz", 0, "X", "the kernel's TSC frequency, where this program cannot read it",
       &options.kernelMhz},
      {"csv", 0, "FILE", "write every reading to FILE", &options.csvPath},
      {"help", 'h', "", "show this text", &options.help},
  };
}

// One end of a window: the raw clock read between two time-stamp reads, so
// the time-stamp value that belongs to it is known within their gap.
struct Stamp {
  std::int64_t nanoseconds;
  double cycles;
  std::uint64_t gap;
};

Stamp TakeStamp() {
  Stamp best{0, 0, ~std::uint64_t{0}};
  for (int attempt = 0; attempt < 50; ++attempt) {
    const std::uint64_t before = __rdtsc();
    const std::int64_t now = sys::ReadRawNanoseconds();
    const std::uint64_t after = __rdtsc();
    if (after - before < best.gap) {
      best = {now, static_cast<double>(before) + static_cast<double>(after - before) / 2,
              after - before};
    }
  }
  return best;
}

// Time-stamp cycles per microsecond over windows of at least one second of
// the raw clock; the window whose ends were read most tightly wins.
double LongWindowMegahertz() {
  double best = 0;
  std::uint64_t bestGap = ~std::uint64_t{0};
  for (int window = 0; window < 3; ++window) {
    const Stamp start = TakeStamp();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const Stamp end = TakeStamp();
    const double megahertz = (end.cycles - start.cycles) * 1000.0 /
                             static_cast<double>(end.nanoseconds - start.nanoseconds);
    if (start.gap + end.gap < bestGap) {
      bestGap = start.gap + end.gap;
      best = megahertz;
    }
  }
  return best;
}

// Busy threads at normal priority, one more than there are cores, for as
// long as it lives: every core busy, and the meter's thread always has
// company to be preempted for. Each notes the longest time it was kept off
// the processor, which is what a boosted measurement costs the others.
class Load {
 public:
  Load() {
    const unsigned cores = std::max(1U, std::thread::hardware_concurrency());
    for (unsigned core = 0; core <= cores; ++core) {
      threads_.emplace_back([this] {
        auto last = std::chrono::steady_clock::now();
        while (!stop_.load(std::memory_order_relaxed)) {
          const auto now = std::chrono::steady_clock::now();
          const std::int64_t gap =
              std::chrono::duration_cast<std::chrono::microseconds>(now - last).count();
          last = now;
          std::int64_t longest = longestGap_.load(std::memory_order_relaxed);
          while (gap > longest && !longestGap_.compare_exchange_weak(longest, gap)) {
          }
        }
      });
    }
  }
  // The longest gap any busy thread saw since the last call, in ms.
  double TakeLongestGapMs() { return static_cast<double>(longestGap_.exchange(0)) / 1000.0; }
  ~Load() {
    stop_ = true;
    for (std::thread& thread : threads_) {
      thread.join();
    }
  }
  Load(const Load&) = delete;
  Load& operator=(const Load&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::atomic<std::int64_t> longestGap_{0};  // microseconds
  std::vector<std::thread> threads_;
};

struct Run {
  std::string label;
  std::string thread;
  std::string priorityClass;
  bool asNobody = false;
  bool taken = false;  // false for the nobody run where the program is not root
  std::vector<double> readings;
  std::vector<double> callMs;  // how long each call took
  double longestGapMs = 0;     // under load only
};

Run NewRun(const char* label, const std::string& thread, const std::string& priorityClass,
           bool asNobody) {
  Run run;
  run.label = label;
  run.thread = thread;
  run.priorityClass = priorityClass;
  run.asNobody = asNobody;
  return run;
}

// The readings and how long each call took, in ms, pairwise in one series
// (as a child process hands them back).
std::vector<double> TakeReadings(const MeterEntries& entries, const Options& options,
                                 const Run& run) {
  std::vector<double> readings;
  MeterInstance* instance = StartMeterInstance("meter-accuracy", entries);
  if (instance == nullptr) {
    return readings;
  }
  const bool showProgress = sys::IsTerminal(2);
  for (std::uint32_t index = 0; index < options.count; ++index) {
    std::this_thread::sleep_for(std::chrono::milliseconds(options.pauseMs));
    const auto start = std::chrono::steady_clock::now();
    const char* text =
        entries.getCPUSpeed(instance, "0", run.thread.c_str(), run.priorityClass.c_str());
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end != text && *end == '\0') {
      readings.push_back(value);
      readings.push_back(took.count());
    } else {
      std::fprintf(stderr, "%sreading %u failed: %s\n", showProgress ? "\n" : "", index + 1, text);
    }
    if (showProgress) {
      std::fprintf(stderr, "\r%s: %u/%u readings", run.label.c_str(), index + 1, options.count);
    }
  }
  if (showProgress) {
    std::fprintf(stderr, "\n");
  }
  entries.dllshutdown(instance);
  return readings;
}

// Takes the run's readings, in a child process as nobody where it asks so.
void TakeRun(const MeterEntries& entries, const Options& options, Run& run) {
  std::vector<double> pairs;
  std::string reason;
  run.taken = true;
  if (!run.asNobody) {
    pairs = TakeReadings(entries, options, run);
  } else if (!sys::RunAsNobody([&] { return TakeReadings(entries, options, run); }, pairs,
                               reason)) {
    std::fprintf(stderr, "%s: not taken (%s)\n", run.label.c_str(), reason.c_str());
    run.taken = false;
  }
  for (std::size_t index = 0; index + 1 < pairs.size(); index += 2) {
    run.readings.push_back(pairs[index]);
    run.callMs.push_back(pairs[index + 1]);
  }
}

void PrintRow(const char* name, const Summary& summary, const char* format) {
  std::printf("  %-28s", name);
  for (double value : {summary.median, summary.p1, summary.p99, summary.min, summary.max}) {
    std::printf(format, value);
  }
  std::printf("\n");
}

std::vector<double> Errors(const std::vector<double>& readings, double reference, double scale) {
  std::vector<double> errors;
  errors.reserve(readings.size());
  for (double reading : readings) {
    errors.push_back((reading - reference) * scale);
  }
  return errors;
}

void Report(const Run& run, double kernelMhz, double windowMhz) {
  std::printf("\n%s (thread level %s, class level %s): %zu readings\n", run.label.c_str(),
              run.thread.c_str(), run.priorityClass.c_str(), run.readings.size());
  std::printf("  %-28s%10s%10s%10s%10s%10s\n", "", "median", "p1", "p99", "min", "max");
  PrintRow("reading, MHz", Summarize(run.readings), "%10.0f");
  PrintRow("call took, ms", Summarize(run.callMs), "%10.1f");
  if (run.longestGapMs > 0) {
    std::printf("  longest time a busy thread was kept waiting: %.1f ms\n", run.longestGapMs);
  }
  struct Reference {
    const char* name;
    double megahertz;
  };
  for (const Reference& reference :
       {Reference{"kernel TSC", kernelMhz}, Reference{"long window", windowMhz}}) {
    if (reference.megahertz <= 0) {
      continue;
    }
    const std::vector<double> errors = Errors(run.readings, reference.megahertz, 1.0);
    const std::string mhz = std::string("error vs ") + reference.name + ", MHz";
    const std::string ppm = std::string("error vs ") + reference.name + ", ppm";
    PrintRow(mhz.c_str(), Summarize(errors), "%10.2f");
    PrintRow(ppm.c_str(),
             Summarize(Errors(run.readings, reference.megahertz, 1e6 / reference.megahertz)),
             "%10.0f");
    std::printf("  within +-1 MHz of %s: %.1f %%\n", reference.name,
                100.0 * ShareWithin(errors, 1.0));
  }
  const double histogramReference = kernelMhz > 0 ? kernelMhz : windowMhz;
  std::printf("  errors vs %s:\n", kernelMhz > 0 ? "kernel TSC" : "long window");
  for (const std::string& line : Histogram(Errors(run.readings, histogramReference, 1.0), 5, 50)) {
    std::printf("    %s\n", line.c_str());
  }
}

// Writes every reading to file, which it closes; false when not all of it
// was written.
bool WriteCsv(std::FILE* file, const std::vector<Run>& runs) {
  std::fprintf(file, "run,thread,class,index,mhz\n");
  for (const Run& run : runs) {
    for (std::size_t index = 0; index < run.readings.size(); ++index) {
      std::fprintf(file, "%s,%s,%s,%zu,%.0f\n", run.label.c_str(), run.thread.c_str(),
                   run.priorityClass.c_str(), index + 1, run.readings[index]);
    }
  }
  return std::fclose(file) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const auto stop = HandleCommandLine("meter-accuracy", argc, argv,
                                          AccuracyCommandLine(options), options.help)) {
    return *stop;
  }
  sys::LoadedModule module;
  MeterEntries entries;
  std::string path;
  if (!OpenMeterModule("meter-accuracy", options.modulePath, module, entries, path) ||
      !ProbeMeterInstance("meter-accuracy", module, entries)) {
    return kExitModule;
  }
  // A run takes minutes: an output that cannot be written is found out now.
  std::FILE* csv = nullptr;
  if (!options.csvPath.empty() && (csv = std::fopen(options.csvPath.c_str(), "w")) == nullptr) {
    std::fprintf(stderr, "meter-accuracy: cannot write '%s': %s\n", options.csvPath.c_str(),
                 std::strerror(errno));
    sys::UnloadModule(module);
    return kExitFailed;
  }

  std::string kernelSource = "given on the command line";
  double kernelMhz = options.kernelMhz;
  if (kernelMhz <= 0 && !sys::KernelTscMegahertz(kernelMhz, kernelSource)) {
    kernelMhz = 0;
  }
  std::fprintf(stderr, "measuring the long-window reference (3 s)...\n");
  const double windowMhz = LongWindowMegahertz();
  std::printf("module            %s\n", path.c_str());
  if (kernelMhz > 0) {
    std::printf("kernel TSC        %.3f MHz (%s)\n", kernelMhz, kernelSource.c_str());
  } else {
    std::printf("kernel TSC        unavailable on this machine\n");
  }
  std::printf(
      "long window       %.3f MHz (time-stamp cycles over 1 s of the raw clock, best of 3)\n",
      windowMhz);

  std::vector<Run> runs;
  if (options.load) {
    runs.push_back(NewRun("loaded", options.thread, options.priorityClass, false));
    runs.push_back(NewRun("loaded, as nobody", options.thread, options.priorityClass, true));
    runs.push_back(NewRun("loaded", "15", "2", false));
  } else {
    runs.push_back(NewRun("idle", options.thread, options.priorityClass, false));
  }
  {
    std::optional<Load> load;
    if (options.load) {
      load.emplace();
    }
    // A busy thread notes a wait only when it runs again: a pause before
    // each count lets the waits so far be noted.
    const auto longestGapSoFar = [&load] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      return load ? load->TakeLongestGapMs() : 0.0;
    };
    for (Run& run : runs) {
      longestGapSoFar();
      TakeRun(entries, options, run);
      run.longestGapMs = longestGapSoFar();
    }
  }
  sys::UnloadModule(module);
  int status = kExitOk;
  for (const Run& run : runs) {
    if (!run.readings.empty()) {
      Report(run, kernelMhz, windowMhz);
    } else if (run.taken) {
      // The module loaded and answered: readings that all failed are a
      // verdict on it, not a module that cannot be used.
      std::fprintf(stderr, "meter-accuracy: the %s run took no reading\n", run.label.c_str());
      status = kExitFailed;
    }
  }
  if (csv != nullptr && !WriteCsv(csv, runs)) {
    std::fprintf(stderr, "meter-accuracy: cannot write '%s'\n", options.csvPath.c_str());
    status = kExitFailed;
  }
  return FinishOutput("meter-accuracy", status);
}
