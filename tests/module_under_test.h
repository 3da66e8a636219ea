// The module built beside the tests, loaded as a host loads it.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "plugin/plugin_api.h"
#include "tools/sys/module_loader.h"

struct Module {
  sys::LoadedModule loaded;
  DllStartupEntry dllstartup = nullptr;
  DllShutdownEntry dllshutdown = nullptr;
  GetCPUSpeedEntry getCPUSpeed = nullptr;
  GetInfoEntry getinfo = nullptr;
  GetParamEntry getparam = nullptr;
};

// The module built beside the tests, or the one that METER_MODULE_UNDER_TEST
// names (a packaged one, say).
std::string ModuleUnderTestPath();

// Loads that module and finds the entry points the tests call; a failure to
// load is a test failure.
Module LoadModuleUnderTest();

// Runs work on a new thread with a stack of stackBytes, and waits for it.
void RunOnThreadWithStack(std::size_t stackBytes, const std::function<void()>& work);
