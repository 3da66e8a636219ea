// Takes the host's place: loads a meter module, shows what it offers and
// polls its meter, printing each reading with its unit and time, and whether
// the call measured or handed back the text it had.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>

#include "plugin/plugin_api.h"
#include "tools/exit_status.h"
#include "tools/meter_entries.h"
#include "tools/meter_host_options.h"
#include "tools/sys/module_loader.h"

namespace {

constexpr int kInfoIndices = 7;

volatile std::sig_atomic_t gInterrupted = 0;

void OnInterrupt(int /*signal*/) { gInterrupted = 1; }

const char* OrNull(const char* text) { return text != nullptr ? text : "(null)"; }

void ShowOffer(const std::string& path, const MeterEntries& entries) {
  std::printf("module     %s\n", path.c_str());
  if (entries.getinfo != nullptr) {
    static const char* const kInfoNames[kInfoIndices] = {"name", "credits", "version", "date",
                                                         "date", "info 5",  "contact"};
    for (int index = 0; index < kInfoIndices; ++index) {
      std::printf("%-10s %s\n", kInfoNames[index],
                  OrNull(entries.getinfo(static_cast<std::uint32_t>(index))));
    }
  }
  if (entries.dlltype != nullptr) {
    std::printf("type       %d\n", static_cast<int>(entries.dlltype()));
  }
  if (entries.init != nullptr) {
    const char* functions = OrNull(entries.init());
    std::printf("meters     %s\n", functions);
    if (entries.getparam != nullptr) {
      std::printf("parameters %s\n", OrNull(entries.getparam(functions)));
    }
  }
  std::fflush(stdout);
}

bool IsNumber(const char* text) {
  if (*text == '-') {
    ++text;
  }
  if (*text == '\0') {
    return false;
  }
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') {
      return false;
    }
  }
  return true;
}

// A measurement keeps the calling thread busy for 50 ms; a call that hands
// back the text it had takes microseconds.
constexpr auto kMeasuringCall = std::chrono::milliseconds(25);

void PrintReading(const char* text, bool measured) {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  char stamp[32] = "";
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::gmtime(&now));
  const char* how = measured ? "measured" : "cached";
  if (text == nullptr) {
    std::printf("%s UTC  (null)  %s\n", stamp, how);
  } else if (IsNumber(text)) {
    std::printf("%s UTC  %s MHz  %s\n", stamp, text, how);
  } else if (*text == '\0') {
    std::printf("%s UTC  (not measured yet)\n", stamp);
  } else {
    std::printf("%s UTC  %s  %s\n", stamp, text, how);
  }
  std::fflush(stdout);
}

// Sleeps in short slices so that an interrupt ends the wait promptly.
void Pause(std::uint32_t ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (gInterrupted == 0 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<std::uint32_t>(ms, 20)));
  }
}

// False when the module cannot start a meter instance.
bool PollMeter(const MeterEntries& entries, const HostOptions& options) {
  MeterInstance* instance = StartMeterInstance("meter-host", entries);
  if (instance == nullptr) {
    return false;
  }
  for (std::uint32_t reading = 0; gInterrupted == 0;) {
    const auto start = std::chrono::steady_clock::now();
    const char* text = entries.getCPUSpeed(instance, options.intervalText.c_str(),
                                           options.priorityText.c_str(), options.classText.c_str());
    PrintReading(text, std::chrono::steady_clock::now() - start >= kMeasuringCall);
    if (options.readings != 0 && ++reading >= options.readings) {
      break;
    }
    Pause(options.pollMs);
  }
  entries.dllshutdown(instance);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  HostOptions options;
  if (const auto stop =
          HandleCommandLine("meter-host", argc, argv, HostCommandLine(options), options.help)) {
    return *stop;
  }
  sys::LoadedModule module;
  MeterEntries entries;
  std::string path;
  if (!OpenMeterModule("meter-host", options.modulePath, module, entries, path)) {
    return kExitModule;
  }
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  ShowOffer(path, entries);
  const bool polled = PollMeter(entries, options);
  sys::UnloadModule(module);
  return FinishOutput("meter-host", polled ? kExitOk : kExitModule);
}
