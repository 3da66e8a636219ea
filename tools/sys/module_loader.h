// Loading a plug-in module and finding its entry points, for the programs
// that take the host's place.
#pragma once

#include <string>

namespace sys {

struct LoadedModule {
  void* handle = nullptr;
};

// Loads the module at path; on failure handle stays null and error says why.
LoadedModule LoadModule(const std::string& path, std::string& error);

// The address of an exported name, or null.
void* FindEntryPoint(const LoadedModule& module, const char* name);

void UnloadModule(LoadedModule& module);

// The folder the running program lives in, with a trailing separator.
std::string ProgramFolder();

// The file name a module called base has on this OS.
std::string ModuleFileName(const std::string& base);

// The second name an entry point taking argumentBytes of arguments is
// exported under on this OS, or empty where entry points have one name.
std::string DecoratedEntryName(const std::string& name, int argumentBytes);

}  // namespace sys
