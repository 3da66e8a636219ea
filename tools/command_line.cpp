#include "tools/command_line.h"

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/exit_status.h"

namespace {

bool ParseWholeNumber(const char* text, const WholeNumber& number) {
  if (*text < '0' || *text > '9') {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (*end != '\0' || errno != 0 || value < number.minimum || value > number.maximum) {
    return false;
  }
  *number.value = static_cast<std::uint32_t>(value);
  return true;
}

bool ParsePositive(const char* text, double& value) {
  char* end = nullptr;
  value = std::strtod(text, &end);
  return end != text && *end == '\0' && value > 0;
}

// Takes one option's value; false with error naming the problem.
bool Take(const Option& option, const std::string& name, const char* value, std::string& error) {
  if (const auto* flag = std::get_if<bool*>(&option.target)) {
    **flag = true;
    return true;
  }
  if (const auto* text = std::get_if<std::string*>(&option.target)) {
    if (*value == '\0' && std::string(option.valueName) == "PATH") {
      error = "option '" + name + "' needs a path, got an empty one";
      return false;
    }
    **text = value;
    return true;
  }
  if (const auto* number = std::get_if<WholeNumber>(&option.target)) {
    if (!ParseWholeNumber(value, *number)) {
      error = "option '" + name + "' needs a whole number from " + std::to_string(number->minimum) +
              " to " + std::to_string(number->maximum) + ", got '" + value + "'";
      return false;
    }
    return true;
  }
  if (!ParsePositive(value, *std::get<double*>(option.target))) {
    error = "option '" + name + "' needs a positive number, got '" + value + "'";
    return false;
  }
  return true;
}

bool IsFlag(const Option& option) { return std::holds_alternative<bool*>(option.target); }

// getopt_long answers a long option with its value: the option's index past
// every character a short option can be.
constexpr int kLongBase = 256;

constexpr std::size_t kHelpColumn = 26;

// The option getopt_long answered with, by its short character or value.
const Option* Find(const std::vector<Option>& options, int answer) {
  if (answer >= kLongBase && answer - kLongBase < static_cast<int>(options.size())) {
    return &options[static_cast<std::size_t>(answer - kLongBase)];
  }
  for (const Option& option : options) {
    if (option.shortName != 0 && option.shortName == answer) {
      return &option;
    }
  }
  return nullptr;
}

std::string NameOf(const Option& option, int answer) {
  return answer >= kLongBase ? std::string("--") + option.longName
                             : std::string("-") + option.shortName;
}

}  // namespace

bool ParseCommandLine(int argc, const char* const* argv, const std::vector<Option>& options,
                      std::string& error) {
  // '+': stop at the first argument that is not an option, so that argv keeps
  // its order; ':': tell a missing value from an unknown option.
  std::string shortOptions = "+:";
  std::vector<option> longOptions;
  for (std::size_t index = 0; index < options.size(); ++index) {
    const Option& each = options[index];
    const int argument = IsFlag(each) ? no_argument : required_argument;
    longOptions.push_back({each.longName, argument, nullptr, kLongBase + static_cast<int>(index)});
    if (each.shortName != 0) {
      shortOptions += each.shortName;
      shortOptions += argument == no_argument ? "" : ":";
    }
  }
  longOptions.push_back({nullptr, 0, nullptr, 0});

  // getopt_long takes argv as modifiable only to reorder it, which '+' rules out.
  const auto* arguments = const_cast<char* const*>(argv);
  opterr = 0;
  optind = 0;  // start afresh, also on a later call
  for (;;) {
    const int answer =
        getopt_long(argc, arguments, shortOptions.c_str(), longOptions.data(), nullptr);
    if (answer == -1) {
      break;
    }
    const Option* found = Find(options, answer == '?' || answer == ':' ? optopt : answer);
    if (answer == '?') {
      error = found != nullptr ? "option '" + NameOf(*found, optopt) + "' takes no value"
              : optopt != 0    ? std::string("unknown option '-") + static_cast<char>(optopt) + "'"
                               : std::string("unknown option '") + argv[optind - 1] + "'";
      return false;
    }
    if (found == nullptr) {
      error = std::string("unknown option '") + argv[optind - 1] + "'";
      return false;
    }
    const std::string name = NameOf(*found, answer == ':' ? optopt : answer);
    if (answer == ':') {
      error = "option '" + name + "' needs a value";
      return false;
    }
    if (!Take(*found, name, optarg != nullptr ? optarg : "", error)) {
      return false;
    }
  }
  if (optind < argc) {
    error = std::string("unexpected argument '") + argv[optind] + "'";
    return false;
  }
  return true;
}

std::string Usage(const char* program, const std::vector<Option>& options) {
  std::string usage = std::string("usage: ") + program + " [options]\n";
  for (const Option& option : options) {
    std::string line = option.shortName != 0 ? std::string("  -") + option.shortName + ", "
                                             : std::string("      ");
    line += std::string("--") + option.longName;
    if (!IsFlag(option)) {
      line += std::string(" ") + option.valueName;
    }
    line.resize(std::max<std::size_t>(line.size() + 1, kHelpColumn), ' ');
    // A help text's further lines line up under its first.
    for (const char* help = option.help; *help != '\0'; ++help) {
      line += *help;
      if (*help == '\n') {
        line.append(kHelpColumn, ' ');
      }
    }
    usage += line + "\n";
  }
  return usage;
}

std::optional<int> HandleCommandLine(const char* program, int argc, const char* const* argv,
                                     const std::vector<Option>& options, const bool& help) {
  std::string error;
  if (!ParseCommandLine(argc, argv, options, error)) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program, error.c_str(),
                 program);
    return kExitUsage;
  }
  if (help) {
    std::fputs(Usage(program, options).c_str(), stdout);
    return FinishOutput(program, kExitOk);
  }
  return std::nullopt;
}

int FinishOutput(const char* program, int status) {
  errno = 0;
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) {
    return status;
  }
  std::fprintf(stderr, "%s: cannot write the standard output: %s\n", program,
               errno != 0 ? std::strerror(errno) : "write error");
  return status == kExitOk ? kExitFailed : status;
}
