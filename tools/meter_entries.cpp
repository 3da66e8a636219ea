#include "tools/meter_entries.h"

#include <cstdio>
#include <filesystem>

namespace {

struct EntryName {
  const char* name;
  int argumentBytes;
  bool required;
};

// Finds an entry point under its plain name and, where the OS decorates
// names, under its decorated one too; both must lead to the same code.
// Returns false with error set when the module breaks that.
template <typename Entry>
bool Resolve(const sys::LoadedModule& module, const EntryName& entry, Entry& address,
             std::string& error) {
  void* plain = sys::FindEntryPoint(module, entry.name);
  const std::string decorated = sys::DecoratedEntryName(entry.name, entry.argumentBytes);
  void* other = decorated.empty() ? plain : sys::FindEntryPoint(module, decorated.c_str());
  address = reinterpret_cast<Entry>(plain);
  if (plain == nullptr && other == nullptr && !entry.required) {
    return true;
  }
  if (plain == nullptr || other == nullptr) {
    error = std::string("has no entry point '") + (plain == nullptr ? entry.name : decorated) + "'";
    return false;
  }
  if (plain != other) {
    error =
        std::string("exports '") + entry.name + "' and '" + decorated + "' at different addresses";
    return false;
  }
  return true;
}

// The module built beside the program, or else the one installed with it.
std::string DefaultModulePath() {
  const std::string name = sys::ModuleFileName("cpuspeed");
  const std::string beside = sys::ProgramFolder() + name;
  const std::string installed = sys::ProgramFolder() + METER_MODULE_FROM_PROGRAMS + "/" + name;
  return std::filesystem::exists(beside) || !std::filesystem::exists(installed) ? beside
                                                                                : installed;
}

}  // namespace

bool ResolveAll(const sys::LoadedModule& module, MeterEntries& entries, std::string& error) {
  return Resolve(module, {"init", 0, false}, entries.init, error) &&
         Resolve(module, {"getparam", 4, false}, entries.getparam, error) &&
         Resolve(module, {"getinfo", 4, false}, entries.getinfo, error) &&
         Resolve(module, {"dlltype", 0, false}, entries.dlltype, error) &&
         Resolve(module, {"dllstartup", 8, true}, entries.dllstartup, error) &&
         Resolve(module, {"dllshutdown", 4, true}, entries.dllshutdown, error) &&
         Resolve(module, {"GetCPUSpeed", 16, true}, entries.getCPUSpeed, error);
}

bool OpenMeterModule(const char* program, const std::string& requestedPath,
                     sys::LoadedModule& module, MeterEntries& entries, std::string& path) {
  path = requestedPath.empty() ? DefaultModulePath() : requestedPath;
  std::string reason;
  module = sys::LoadModule(path, reason);
  if (module.handle == nullptr) {
    std::fprintf(stderr, "%s: cannot load module '%s': %s\n", program, path.c_str(),
                 reason.c_str());
    return false;
  }
  if (!ResolveAll(module, entries, reason)) {
    std::fprintf(stderr, "%s: module '%s' %s\n", program, path.c_str(), reason.c_str());
    sys::UnloadModule(module);
    return false;
  }
  return true;
}

MeterInstance* StartMeterInstance(const char* program, const MeterEntries& entries) {
  MeterInstance* instance = entries.dllstartup(0, 0);
  if (instance == nullptr) {
    std::fprintf(stderr, "%s: the module could not create a meter instance\n", program);
  }
  return instance;
}

bool ProbeMeterInstance(const char* program, sys::LoadedModule& module,
                        const MeterEntries& entries) {
  MeterInstance* probe = StartMeterInstance(program, entries);
  if (probe == nullptr) {
    sys::UnloadModule(module);
    return false;
  }
  entries.dllshutdown(probe);
  return true;
}
