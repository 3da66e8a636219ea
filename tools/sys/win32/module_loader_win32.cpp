#include <windows.h>

#include "tools/sys/module_loader.h"

namespace sys {

LoadedModule LoadModule(const std::string& path, std::string& error) {
  LoadedModule module;
  // No error dialog for a module that cannot be loaded: the caller reports it.
  const UINT previousMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  module.handle = LoadLibraryA(path.c_str());
  SetErrorMode(previousMode);
  if (module.handle == nullptr) {
    const DWORD code = GetLastError();
    char message[256] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, message, sizeof message, nullptr);
    error = length > 0 ? std::string(message, length) : "error " + std::to_string(code);
    while (!error.empty() &&
           (error.back() == '\n' || error.back() == '\r' || error.back() == ' ')) {
      error.pop_back();
    }
  }
  return module;
}

void* FindEntryPoint(const LoadedModule& module, const char* name) {
  if (module.handle == nullptr) {
    return nullptr;
  }
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module.handle), name));
}

void UnloadModule(LoadedModule& module) {
  if (module.handle != nullptr) {
    FreeLibrary(static_cast<HMODULE>(module.handle));
    module.handle = nullptr;
  }
}

std::string ProgramFolder() {
  char path[MAX_PATH] = "";
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  const std::string program(path, length);
  const std::size_t separator = program.find_last_of("\\/");
  return separator == std::string::npos ? ".\\" : program.substr(0, separator + 1);
}

std::string ModuleFileName(const std::string& base) { return base + ".dll"; }

std::string DecoratedEntryName(const std::string& name, int argumentBytes) {
  return "_" + name + "@" + std::to_string(argumentBytes);
}

}  // namespace sys
