#include "tests/module_under_test.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

std::string ModuleUnderTestPath() {
  const char* path = std::getenv("METER_MODULE_UNDER_TEST");
  return path != nullptr ? path : METER_MODULE_PATH;
}

Module LoadModuleUnderTest() {
  Module module;
  std::string error;
  module.loaded = sys::LoadModule(ModuleUnderTestPath(), error);
  EXPECT_NE(module.loaded.handle, nullptr) << error;
  module.dllstartup =
      reinterpret_cast<DllStartupEntry>(sys::FindEntryPoint(module.loaded, "dllstartup"));
  module.dllshutdown =
      reinterpret_cast<DllShutdownEntry>(sys::FindEntryPoint(module.loaded, "dllshutdown"));
  module.getCPUSpeed =
      reinterpret_cast<GetCPUSpeedEntry>(sys::FindEntryPoint(module.loaded, "GetCPUSpeed"));
  module.getinfo = reinterpret_cast<GetInfoEntry>(sys::FindEntryPoint(module.loaded, "getinfo"));
  module.getparam = reinterpret_cast<GetParamEntry>(sys::FindEntryPoint(module.loaded, "getparam"));
  return module;
}

namespace {

#if defined(_WIN32)
DWORD WINAPI RunWork(void* work) {
#else
void* RunWork(void* work) {
#endif
  (*static_cast<const std::function<void()>*>(work))();
  return {};
}

}  // namespace

void RunOnThreadWithStack(std::size_t stackBytes, const std::function<void()>& work) {
  auto* argument = const_cast<std::function<void()>*>(&work);
#if defined(_WIN32)
  HANDLE thread = CreateThread(nullptr, stackBytes, &RunWork, argument,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  ASSERT_NE(thread, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
#else
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, stackBytes);
  pthread_t thread{};
  ASSERT_EQ(pthread_create(&thread, &attributes, &RunWork, argument), 0);
  pthread_attr_destroy(&attributes);
  pthread_join(thread, nullptr);
#endif
}
