// The command line of the program that takes the host's place.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/command_line.h"

struct HostOptions {
  std::string modulePath;  // empty: the module built beside the program
  // The meter's three parameter texts, passed on unchecked as a host would.
  std::string intervalText = "1";
  std::string priorityText = "30";
  std::string classText = "4";
  std::uint32_t readings = 0;  // 0: until interrupted
  std::uint32_t pollMs = 1000;
  bool help = false;
};

// The options, each with its place in options.
std::vector<Option> HostCommandLine(HostOptions& options);
