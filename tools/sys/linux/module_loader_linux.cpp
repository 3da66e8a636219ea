#include <dlfcn.h>
#include <unistd.h>

#include <climits>

#include "tools/sys/module_loader.h"

namespace sys {

LoadedModule LoadModule(const std::string& path, std::string& error) {
  LoadedModule module;
  // A bare name would make dlopen search the library path; a plug-in is named
  // by its file.
  const std::string target = path.find('/') == std::string::npos ? "./" + path : path;
  module.handle = dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module.handle == nullptr) {
    const char* reason = dlerror();
    error = reason != nullptr ? reason : "unknown error";
  }
  return module;
}

void* FindEntryPoint(const LoadedModule& module, const char* name) {
  return module.handle != nullptr ? dlsym(module.handle, name) : nullptr;
}

void UnloadModule(LoadedModule& module) {
  if (module.handle != nullptr) {
    dlclose(module.handle);
    module.handle = nullptr;
  }
}

std::string ProgramFolder() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) {
    return "./";
  }
  const std::string program(path, static_cast<std::size_t>(length));
  return program.substr(0, program.rfind('/') + 1);
}

std::string ModuleFileName(const std::string& base) { return base + ".so"; }

std::string DecoratedEntryName(const std::string& /*name*/, int /*argumentBytes*/) { return {}; }

}  // namespace sys
