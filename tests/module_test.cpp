// The built module as a host sees it: loaded by path, used through its entry
// points and unloaded again.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "tests/module_under_test.h"

namespace {

TEST(Module, HidesEverythingButItsEntryPoints) {
  Module module = LoadModuleUnderTest();
  ASSERT_NE(module.dllstartup, nullptr);
  ASSERT_NE(module.getCPUSpeed, nullptr);
  EXPECT_EQ(plat::FindEntryPoint(module.loaded, "MeasureCPUSpeed"), nullptr);
  EXPECT_EQ(plat::FindEntryPoint(module.loaded, "_Z8SpinWaitj"), nullptr);
  EXPECT_EQ(plat::FindEntryPoint(module.loaded, "kFailureText"), nullptr);
  plat::UnloadModule(module.loaded);
}

TEST(Module, MeasuresThroughItsEntryPoints) {
  Module module = LoadModuleUnderTest();
  MeterInstance* instance = module.dllstartup(0, 0);
  ASSERT_NE(instance, nullptr);
  const std::string text = module.getCPUSpeed(instance, "10", "15", "2");
  EXPECT_GT(std::stoi(text), 100) << text;
  EXPECT_STREQ(module.getinfo(0), "CPU Speed Orbitane Plugin");
  EXPECT_EQ(module.dllshutdown(instance), 0);
  plat::UnloadModule(module.loaded);
}

TEST(Module, EveryEntryPointUnderEachOfItsNamesLeadsToOneFunction) {
  Module module = LoadModuleUnderTest();
  const std::pair<const char*, int> entries[] = {
      {"init", 0},       {"getparam", 4},    {"getinfo", 4},      {"dlltype", 0},
      {"dllstartup", 8}, {"dllshutdown", 4}, {"GetCPUSpeed", 16},
  };
  for (const auto& [name, argumentBytes] : entries) {
    void* plain = plat::FindEntryPoint(module.loaded, name);
    EXPECT_NE(plain, nullptr) << name;
    const std::string decorated = plat::DecoratedEntryName(name, argumentBytes);
    if (!decorated.empty()) {
      EXPECT_EQ(plat::FindEntryPoint(module.loaded, decorated.c_str()), plain) << decorated;
    }
  }
  plat::UnloadModule(module.loaded);
}

}  // namespace
