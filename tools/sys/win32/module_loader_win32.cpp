#include <windows.h>

#include "tools/sys/module_loader.h"

namespace sys {

namespace {

// The system's text for error code about file, its inserts (%1) filled with
// the file's name, and the code itself: "Bad EXE format for x.dll. (error
// 193)". Formatted without inserts, since a text may name more than it is
// given, then filled here.
std::string ErrorText(DWORD code, const std::string& file) {
  char message[512] = "";
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, 0, message, sizeof message, nullptr);
  std::string text;
  for (DWORD at = 0; at < length; ++at) {
    if (message[at] == '%' && message[at + 1] >= '1' && message[at + 1] <= '9') {
      text += file;
      while (message[at + 1] >= '0' && message[at + 1] <= '9') {
        ++at;
      }
    } else {
      text += message[at];
    }
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  if (text.empty()) {
    return "error " + std::to_string(code);
  }
  return text + " (error " + std::to_string(code) + ")";
}

}  // namespace

LoadedModule LoadModule(const std::string& path, std::string& error) {
  LoadedModule module;
  // No error dialog for a module that cannot be loaded: the caller reports it.
  const UINT previousMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  module.handle = LoadLibraryA(path.c_str());
  SetErrorMode(previousMode);
  if (module.handle == nullptr) {
    error = ErrorText(GetLastError(), path);
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
