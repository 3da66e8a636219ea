#include "tests/module_under_test.h"

#include <gtest/gtest.h>

#include <string>

Module LoadModuleUnderTest() {
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
