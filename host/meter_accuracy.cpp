// Judges the meter module against references measured on the same machine in
// the same run: the kernel's own TSC frequency, where it publishes one, and
// time-stamp cycles over long windows of a raw clock.
#include <x86intrin.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/accuracy_stats.h"
#include "host/meter_entries.h"
#include "host/sys/module_loader.h"
#include "host/sys/reference_clock.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitModule = 3;

const char kUsage[] =
    "usage: meter-accuracy [options]\n"
    "  -m, --module PATH     module to judge (default: the one built beside this program)\n"
    "  -n, --count N         readings per run (default 200)\n"
    "  -p, --pause-ms N      pause between readings (default 200)\n"
    "  -t, --thread TEXT     thread priority level (default 30)\n"
    "  -c, --class TEXT      priority class level (default 5)\n"
    "      --load            run under a load on every core, with the boost and without it\n"
    "      --kernel-mhz X    the kernel's TSC frequency, where this program cannot read it\n"
    "      --csv FILE        write every reading to FILE\n";

struct Options {
  std::string modulePath;
  unsigned long count = 200;
  unsigned long pauseMs = 200;
  std::string thread = "30";
  std::string priorityClass = "5";
  bool load = false;
  double kernelMhz = 0;
  std::string csvPath;
};

bool ParseNumber(const char* text, unsigned long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtoul(text, &end, 10);
  return *text >= '0' && *text <= '9' && *end == '\0' && errno == 0;
}

bool ParseOptions(int argc, char** argv, Options& options, std::string& error) {
  for (int index = 1; index < argc; ++index) {
    const std::string option = argv[index];
    if (option == "--load") {
      options.load = true;
      continue;
    }
    if (index + 1 >= argc) {
      error = "option '" + option + "' needs a value";
      return false;
    }
    const char* value = argv[++index];
    bool valid = true;
    if (option == "-m" || option == "--module") {
      options.modulePath = value;
    } else if (option == "-n" || option == "--count") {
      valid = ParseNumber(value, options.count) && options.count > 0;
    } else if (option == "-p" || option == "--pause-ms") {
      valid = ParseNumber(value, options.pauseMs);
    } else if (option == "-t" || option == "--thread") {
      options.thread = value;
    } else if (option == "-c" || option == "--class") {
      options.priorityClass = value;
    } else if (option == "--kernel-mhz") {
      char* end = nullptr;
      options.kernelMhz = std::strtod(value, &end);
      valid = *end == '\0' && options.kernelMhz > 0;
    } else if (option == "--csv") {
      options.csvPath = value;
    } else {
      error = "unknown option '" + option + "'";
      return false;
    }
    if (!valid) {
      error = "option '" + option + "' got an invalid value '" + value + "'";
      return false;
    }
  }
  return true;
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

// Busy threads on every core at normal priority, for as long as it lives.
class Load {
 public:
  Load() {
    const unsigned cores = std::max(1U, std::thread::hardware_concurrency());
    for (unsigned core = 0; core < cores; ++core) {
      threads_.emplace_back([this] {
        while (!stop_.load(std::memory_order_relaxed)) {
        }
      });
    }
  }
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
  std::vector<std::thread> threads_;
};

struct Run {
  std::string label;
  std::string thread;
  std::string priorityClass;
  std::vector<double> readings;
};

void TakeReadings(const MeterEntries& entries, const Options& options, Run& run) {
  MeterInstance* instance = entries.dllstartup(0, 0);
  if (instance == nullptr) {
    return;
  }
  for (unsigned long index = 0; index < options.count; ++index) {
    std::this_thread::sleep_for(std::chrono::milliseconds(options.pauseMs));
    const char* text =
        entries.getCPUSpeed(instance, "0", run.thread.c_str(), run.priorityClass.c_str());
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end != text && *end == '\0') {
      run.readings.push_back(value);
    } else {
      std::fprintf(stderr, "\nreading %lu failed: %s\n", index + 1, text);
    }
    std::fprintf(stderr, "\r%s: %lu/%lu readings", run.label.c_str(), index + 1, options.count);
  }
  std::fprintf(stderr, "\n");
  entries.dllshutdown(instance);
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

bool WriteCsv(const std::string& path, const std::vector<Run>& runs) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    return false;
  }
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
  std::string error;
  if (!ParseOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "meter-accuracy: %s\n%s", error.c_str(), kUsage);
    return kExitUsage;
  }
  sys::LoadedModule module;
  MeterEntries entries;
  std::string path;
  if (!OpenMeterModule(options.modulePath, module, entries, path, error)) {
    std::fprintf(stderr, "meter-accuracy: %s\n", error.c_str());
    return kExitModule;
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
    const Load load;
    runs.push_back({"loaded, boosted", options.thread, options.priorityClass, {}});
    runs.push_back({"loaded, no boost", "15", "2", {}});
    for (Run& run : runs) {
      TakeReadings(entries, options, run);
    }
  } else {
    runs.push_back({"idle", options.thread, options.priorityClass, {}});
    TakeReadings(entries, options, runs.back());
  }
  for (const Run& run : runs) {
    Report(run, kernelMhz, windowMhz);
  }
  if (!options.csvPath.empty() && !WriteCsv(options.csvPath, runs)) {
    std::fprintf(stderr, "meter-accuracy: cannot write '%s'\n", options.csvPath.c_str());
  }
  sys::UnloadModule(module);
  return 0;
}
