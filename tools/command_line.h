// The command line of the programs that take the host's place, read with the
// C library's getopt_long for all of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// Where an option's value goes: a flag, a text taken as it is, a whole
// number within bounds, or a positive number.
struct WholeNumber {
  std::uint32_t* value;
  std::uint32_t minimum;
  std::uint32_t maximum;
};
using OptionTarget = std::variant<bool*, std::string*, WholeNumber, double*>;

struct Option {
  const char* longName;
  char shortName;         // 0: the long name only
  const char* valueName;  // shown in the usage text; ignored for flags
  const char* help;
  OptionTarget target;
};

// Reads argv into the options' targets. False with error naming the problem:
// an unknown option, a missing or malformed value, an argument that is not an
// option. An empty text for an option whose valueName is "PATH" is refused.
bool ParseCommandLine(int argc, const char* const* argv, const std::vector<Option>& options,
                      std::string& error);

// "usage: program [options]" and a line per option.
std::string Usage(const char* program, const std::vector<Option>& options);

// What a host program does with its command line: goes on (nothing returned)
// or ends with the exit status returned, 2 after a one-line message naming
// the problem and a hint to --help, 0 after the usage text when help (the
// target of the options' help flag) was asked for.
std::optional<int> HandleCommandLine(const char* program, int argc, const char* const* argv,
                                     const std::vector<Option>& options, const bool& help);

// The exit status once the standard output is flushed: status where all the
// program printed was written; else, after a one-line message, 1 (where status
// was 0) or status.
int FinishOutput(const char* program, int status);
