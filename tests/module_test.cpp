// The built module as a host sees it: loaded by path, used through its entry
// points and unloaded again.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "platform/module_loader.h"
#include "plugin/plugin_api.h"

namespace {

struct Module {
  plat::LoadedModule loaded;
  DllStartupEntry dllstartup = nullptr;
  DllShutdownEntry dllshutdown = nullptr;
  GetCPUSpeedEntry getCPUSpeed = nullptr;
  GetInfoEntry getinfo = nullptr;
};

Module Load() {
  Module module;
  std::string error;
  module.loaded = plat::LoadModule(METER_MODULE_PATH, error);
  EXPECT_NE(module.loaded.handle, nullptr) << error;
  module.dllstartup =
      reinterpret_cast<DllStartupEntry>(plat::FindEntryPoint(module.loaded, "dllstartup"));
  module.dllshutdown =
      reinterpret_cast<DllShutdownEntry>(plat::FindEntryPoint(module.loaded, "dllshutdown"));
  module.getCPUSpeed =
      reinterpret_cast<GetCPUSpeedEntry>(plat::FindEntryPoint(module.loaded, "GetCPUSpeed"));
  module.getinfo = reinterpret_cast<GetInfoEntry>(plat::FindEntryPoint(module.loaded, "getinfo"));
  return module;
}

void* Handler(int signal) {
  struct sigaction action {};
  sigaction(signal, nullptr, &action);
  return reinterpret_cast<void*>(action.sa_handler);
}

TEST(Module, HidesEverythingButItsEntryPoints) {
  Module module = Load();
  ASSERT_NE(module.dllstartup, nullptr);
  ASSERT_NE(module.getCPUSpeed, nullptr);
  EXPECT_EQ(plat::FindEntryPoint(module.loaded, "MeasureCPUSpeed"), nullptr);
  EXPECT_EQ(plat::FindEntryPoint(module.loaded, "_Z8SpinWaitj"), nullptr);
  EXPECT_EQ(plat::FindEntryPoint(module.loaded, "kFailureText"), nullptr);
  plat::UnloadModule(module.loaded);
}

TEST(Module, MeasuresThroughItsEntryPoints) {
  Module module = Load();
  MeterInstance* instance = module.dllstartup(0, 0);
  ASSERT_NE(instance, nullptr);
  const std::string text = module.getCPUSpeed(instance, "10", "15", "2");
  EXPECT_GT(std::stoi(text), 100) << text;
  EXPECT_STREQ(module.getinfo(0), "CPU Speed Orbitane Plugin");
  EXPECT_EQ(module.dllshutdown(instance), 0);
  plat::UnloadModule(module.loaded);
}

TEST(Module, UnloadingLeavesNoHandlerBehindEvenWithInstancesAlive) {
  const void* before[] = {Handler(SIGSEGV), Handler(SIGILL), Handler(SIGBUS), Handler(SIGFPE)};
  for (int round = 0; round < 100; ++round) {
    Module module = Load();
    MeterInstance* kept = module.dllstartup(0, 0);
    MeterInstance* ended = module.dllstartup(0, 0);
    ASSERT_NE(kept, nullptr);
    EXPECT_NE(Handler(SIGSEGV), before[0]);
    module.getCPUSpeed(ended, "-1", "0", "0");
    module.dllshutdown(ended);
    // The host forgets to end one instance before unloading.
    plat::UnloadModule(module.loaded);
    const void* after[] = {Handler(SIGSEGV), Handler(SIGILL), Handler(SIGBUS), Handler(SIGFPE)};
    for (int index = 0; index < 4; ++index) {
      ASSERT_EQ(after[index], before[index]) << "round " << round << " signal " << index;
    }
    // A later load of the module can still end it.
    Module again = Load();
    EXPECT_EQ(again.dllshutdown(kept), 0);
    plat::UnloadModule(again.loaded);
  }
}

}  // namespace
