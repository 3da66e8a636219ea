#include "tools/meter_host_options.h"

#include <limits>

namespace {

constexpr std::uint32_t kAny = std::numeric_limits<std::uint32_t>::max();

}  // namespace

std::vector<Option> HostCommandLine(HostOptions& options) {
  return {
      {"module", 'm', "PATH",
       "module to load (default: the one beside this program or installed with it)",
       &options.modulePath},
      {"interval", 'i', "TEXT", "update interval in seconds, as the host passes it (default 1)",
       &options.intervalText},
      {"thread", 't', "TEXT", "thread priority level 0..30 (default 30)", &options.priorityText},
      {"class", 'c', "TEXT", "priority class level 1..5 (default 4)", &options.classText},
      {"count", 'n', "N", "stop after N readings (default 0: until interrupted)",
       WholeNumber{&options.readings, 0, kAny}},
      {"poll-ms", 'p', "N", "milliseconds between calls (default 1000)",
       WholeNumber{&options.pollMs, 0, kAny}},
      {"help", 'h', "", "show this text", &options.help},
  };
}
