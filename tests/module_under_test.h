// The module built beside the tests, loaded as a host loads it.
#pragma once

#include "host/sys/module_loader.h"
#include "plugin/plugin_api.h"

struct Module {
  sys::LoadedModule loaded;
  DllStartupEntry dllstartup = nullptr;
  DllShutdownEntry dllshutdown = nullptr;
  GetCPUSpeedEntry getCPUSpeed = nullptr;
  GetInfoEntry getinfo = nullptr;
};

// Loads it and finds the entry points the tests call; a failure to load is a
// test failure.
Module LoadModuleUnderTest();
