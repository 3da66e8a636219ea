#include "host/host_options.h"

#include <cstring>
#include <limits>

const char kHostUsage[] =
    "usage: meter-host [options]\n"
    "  -m, --module PATH     module to load (default: the one built beside this program)\n"
    "  -i, --interval TEXT   update interval in seconds, as the host passes it (default 1)\n"
    "  -t, --thread TEXT     thread priority level 0..30 (default 30)\n"
    "  -c, --class TEXT      priority class level 1..5 (default 4)\n"
    "  -n, --count N         stop after N readings (default 0: until interrupted)\n"
    "  -p, --poll-ms N       milliseconds between calls (default 1000)\n"
    "  -h, --help            show this text\n";

namespace {

bool ParseWholeNumber(const char* text, std::uint32_t& value) {
  if (*text == '\0') {
    return false;
  }
  std::uint64_t accumulated = 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') {
      return false;
    }
    accumulated = accumulated * 10 + static_cast<std::uint64_t>(*text - '0');
    if (accumulated > std::numeric_limits<std::uint32_t>::max()) {
      return false;
    }
  }
  value = static_cast<std::uint32_t>(accumulated);
  return true;
}

bool Is(const char* argument, const char* shortName, const char* longName) {
  return std::strcmp(argument, shortName) == 0 || std::strcmp(argument, longName) == 0;
}

}  // namespace

bool ParseHostOptions(int argc, const char* const* argv, HostOptions& options, std::string& error) {
  for (int index = 1; index < argc; ++index) {
    const char* option = argv[index];
    if (Is(option, "-h", "--help")) {
      options.help = true;
      continue;
    }
    std::string* text = nullptr;
    std::uint32_t* number = nullptr;
    if (Is(option, "-m", "--module")) {
      text = &options.modulePath;
    } else if (Is(option, "-i", "--interval")) {
      text = &options.intervalText;
    } else if (Is(option, "-t", "--thread")) {
      text = &options.priorityText;
    } else if (Is(option, "-c", "--class")) {
      text = &options.classText;
    } else if (Is(option, "-n", "--count")) {
      number = &options.readings;
    } else if (Is(option, "-p", "--poll-ms")) {
      number = &options.pollMs;
    } else {
      error = std::string("unknown option '") + option + "'";
      return false;
    }
    if (index + 1 >= argc) {
      error = std::string("option '") + option + "' needs a value";
      return false;
    }
    const char* value = argv[++index];
    if (text == &options.modulePath && *value == '\0') {
      error = std::string("option '") + option + "' needs a module path, got an empty one";
      return false;
    }
    if (text != nullptr) {
      *text = value;
    } else if (!ParseWholeNumber(value, *number)) {
      error = std::string("option '") + option +
              "' needs a whole number from 0 to 4294967295, got '" + value + "'";
      return false;
    }
  }
  return true;
}
