// A host's library that starts a meter from its constructor, as it is loaded:
// the dynamic loader holds its lock meanwhile. Before it starts the meter
// (the module named by METER_TEST_MODULE, already loaded), it writes a byte to
// the descriptor METER_TEST_LOADING_FD and gives the test time to start one.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>

#include "plugin/plugin_api.h"

namespace {

__attribute__((constructor)) void StartMeterWhileLoading() {
  const char* module = std::getenv("METER_TEST_MODULE");
  const char* loading = std::getenv("METER_TEST_LOADING_FD");
  if (module == nullptr || loading == nullptr) {
    return;
  }
  const char byte = 'L';
  if (write(std::atoi(loading), &byte, 1) != 1) {
    return;
  }
  usleep(100'000);
  void* handle = dlopen(module, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) {
    return;
  }
  const auto start = reinterpret_cast<DllStartupEntry>(dlsym(handle, "dllstartup"));
  const auto end = reinterpret_cast<DllShutdownEntry>(dlsym(handle, "dllshutdown"));
  end(start(0, 0));
  dlclose(handle);
}

}  // namespace
