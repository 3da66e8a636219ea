#include "tests/module_under_test.h"

#include <gtest/gtest.h>

#include <string>

Module LoadModuleUnderTest() {
  Module module;
  std::string error;
  module.loaded = sys::LoadModule(METER_MODULE_PATH, error);
  EXPECT_NE(module.loaded.handle, nullptr) << error;
  module.dllstartup =
      reinterpret_cast<DllStartupEntry>(sys::FindEntryPoint(module.loaded, "dllstartup"));
  module.dllshutdown =
      reinterpret_cast<DllShutdownEntry>(sys::FindEntryPoint(module.loaded, "dllshutdown"));
  module.getCPUSpeed =
      reinterpret_cast<GetCPUSpeedEntry>(sys::FindEntryPoint(module.loaded, "GetCPUSpeed"));
  module.getinfo = reinterpret_cast<GetInfoEntry>(sys::FindEntryPoint(module.loaded, "getinfo"));
  return module;
}
