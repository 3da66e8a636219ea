// The built module as a host sees it: loaded by path, used through its entry
// points and unloaded again.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "tests/module_under_test.h"
#include "tests/test_helpers.h"
#include "tools/sys/process_memory.h"

namespace {

TEST(Module, MeasuresThroughItsEntryPoints) {
  Module module = LoadModuleUnderTest();
  MeterInstance* instance = module.dllstartup(0, 0);
  ASSERT_NE(instance, nullptr);
  const std::string text = module.getCPUSpeed(instance, "10", "15", "2");
  EXPECT_GT(std::stoi(text), 100) << text;
  EXPECT_STREQ(module.getinfo(0), "CPU Speed Orbitane Plugin");
  EXPECT_EQ(module.dllshutdown(instance), 0);
  sys::UnloadModule(module.loaded);
}

TEST(Module, EveryEntryPointUnderEachOfItsNamesLeadsToOneFunction) {
  Module module = LoadModuleUnderTest();
  const std::pair<const char*, int> entries[] = {
      {"init", 0},       {"getparam", 4},    {"getinfo", 4},      {"dlltype", 0},
      {"dllstartup", 8}, {"dllshutdown", 4}, {"GetCPUSpeed", 16},
  };
  for (const auto& [name, argumentBytes] : entries) {
    void* plain = sys::FindEntryPoint(module.loaded, name);
    EXPECT_NE(plain, nullptr) << name;
    const std::string decorated = sys::DecoratedEntryName(name, argumentBytes);
    if (!decorated.empty()) {
      EXPECT_EQ(sys::FindEntryPoint(module.loaded, decorated.c_str()), plain) << decorated;
    }
  }
  sys::UnloadModule(module.loaded);
}

// A null host text gives the failure text, with the scheduling as the call
// found it; the next due call measures again.
TEST(Module, NullHostTextGivesTheFailureTextAndTheNextDueCallMeasures) {
  Module module = LoadModuleUnderTest();
  MeterInstance* instance = module.dllstartup(0, 0);
  ASSERT_NE(instance, nullptr);
  const std::uint32_t priorityClass = plat::GetPriorityClass();
  const std::int32_t priority = plat::GetThreadPriority();
  EXPECT_STREQ(module.getCPUSpeed(instance, "0", "30", nullptr), kFailureText);
  EXPECT_EQ(plat::GetPriorityClass(), priorityClass);
  EXPECT_EQ(plat::GetThreadPriority(), priority);
  const std::string measured = module.getCPUSpeed(instance, "0", "15", "2");
  EXPECT_GT(std::strtol(measured.c_str(), nullptr, 10), 100) << measured;
  EXPECT_EQ(module.dllshutdown(instance), 0);
  sys::UnloadModule(module.loaded);
}

// A host that polls one meter: 20 updates and 100 cached calls after each
// on one instance, and the C heap in use stays exactly where the first left
// it, so that one block lost per update shows.
TEST(Module, LongUseOfOneInstanceKeepsTheHeapSteady) {
  Module module = LoadModuleUnderTest();
  MeterInstance* instance = module.dllstartup(0, 0);
  ASSERT_NE(instance, nullptr);
  module.getCPUSpeed(instance, "0", "15", "2");
  const std::uint64_t settled = sys::HeapBytesInUse();
  int failures = 0;
  for (int update = 0; update < 20; ++update) {
    const char* measured = module.getCPUSpeed(instance, "0", "15", "2");
    failures += std::strcmp(measured, kFailureText) == 0 ? 1 : 0;
    for (int call = 0; call < 100; ++call) {
      failures += module.getCPUSpeed(instance, "3600", "30", "4") == measured ? 0 : 1;
    }
  }
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(sys::HeapBytesInUse(), settled);
  EXPECT_EQ(module.dllshutdown(instance), 0);
  sys::UnloadModule(module.loaded);
}

}  // namespace
