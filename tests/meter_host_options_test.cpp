// The host program's command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/meter_host_options.h"

namespace {

bool Parse(std::vector<const char*> arguments, HostOptions& options, std::string& error) {
  arguments.insert(arguments.begin(), "meter-host");
  return ParseCommandLine(static_cast<int>(arguments.size()), arguments.data(),
                          HostCommandLine(options), error);
}

TEST(HostOptions, DefaultsAreTheHostsUsualParameters) {
  HostOptions options;
  std::string error;
  ASSERT_TRUE(Parse({}, options, error));
  EXPECT_EQ(options.intervalText, "1");
  EXPECT_EQ(options.priorityText, "30");
  EXPECT_EQ(options.classText, "4");
  EXPECT_TRUE(options.modulePath.empty());
  EXPECT_EQ(options.readings, 0U);
}

TEST(HostOptions, MeterTextsPassUncheckedNumbersAreChecked) {
  HostOptions options;
  std::string error;
  ASSERT_TRUE(Parse(
      {"-i", "-5", "--thread", "fast", "-c", "", "--count", "4294967295", "-p", "0", "-m", "x.so"},
      options, error))
      << error;
  EXPECT_EQ(options.intervalText, "-5");
  EXPECT_EQ(options.priorityText, "fast");
  EXPECT_EQ(options.classText, "");
  EXPECT_EQ(options.readings, 4294967295U);
  EXPECT_EQ(options.pollMs, 0U);
  EXPECT_EQ(options.modulePath, "x.so");
}

TEST(HostOptions, RejectionsNameTheProblem) {
  const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
      {{"-x"}, "unknown option '-x'"},
      {{"--interval"}, "option '--interval' needs a value"},
      {{"-n", ""}, "option '-n' needs a whole number from 0 to 4294967295, got ''"},
      {{"-n", "1e3"}, "got '1e3'"},
      {{"-p", "+5"}, "got '+5'"},
      {{"-n", "4294967296"}, "got '4294967296'"},
      {{"-m", ""}, "option '-m' needs a path, got an empty one"},
      {{"--count=x"}, "option '--count' needs a whole number"},
      {{"--help=yes"}, "option '--help' takes no value"},
      {{"-n", "2", "extra"}, "unexpected argument 'extra'"},
  };
  for (const auto& [arguments, message] : cases) {
    HostOptions options;
    std::string error;
    EXPECT_FALSE(Parse(arguments, options, error)) << message;
    EXPECT_NE(error.find(message), std::string::npos) << error;
  }
}

}  // namespace
