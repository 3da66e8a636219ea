// The entry points of a loaded meter module, as the programs that take the
// host's place reach them.
#pragma once

#include <string>

#include "plugin/plugin_api.h"
#include "tools/sys/module_loader.h"

struct MeterEntries {
  InitEntry init = nullptr;
  GetParamEntry getparam = nullptr;
  GetInfoEntry getinfo = nullptr;
  DllTypeEntry dlltype = nullptr;
  DllStartupEntry dllstartup = nullptr;
  DllShutdownEntry dllshutdown = nullptr;
  GetCPUSpeedEntry getCPUSpeed = nullptr;
};

// Finds every entry point under each of its names. The discovery entry
// points are optional; the meter's three are not. False with error naming
// the problem when the module lacks one or its names lead to different code.
bool ResolveAll(const sys::LoadedModule& module, MeterEntries& entries, std::string& error);

// Loads the module at requestedPath, or when it is empty the one built beside
// the running program or installed with it (path says which), and resolves
// its entry points. False after a one-line message on stderr, "program: "
// and the module and the problem.
bool OpenMeterModule(const char* program, const std::string& requestedPath,
                     sys::LoadedModule& module, MeterEntries& entries, std::string& path);

// A new meter instance, or null after the one-line message "program: the
// module could not create a meter instance" on stderr.
MeterInstance* StartMeterInstance(const char* program, const MeterEntries& entries);

// Whether the module can create meter instances: one is started and ended
// again, before a run that would otherwise find out late. When it cannot, the
// module is unloaded after StartMeterInstance's message.
bool ProbeMeterInstance(const char* program, sys::LoadedModule& module,
                        const MeterEntries& entries);
