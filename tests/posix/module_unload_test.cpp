// Unloading the module leaves none of its fault handlers installed.
#include <gtest/gtest.h>
#include <signal.h>

#include "tests/module_under_test.h"

namespace {

void* Handler(int signal) {
  struct sigaction action {};
  sigaction(signal, nullptr, &action);
  return reinterpret_cast<void*>(action.sa_handler);
}

TEST(Module, UnloadingLeavesNoHandlerBehindEvenWithInstancesAlive) {
  const void* before[] = {Handler(SIGSEGV), Handler(SIGILL), Handler(SIGBUS), Handler(SIGFPE)};
  for (int round = 0; round < 100; ++round) {
    Module module = LoadModuleUnderTest();
    MeterInstance* kept = module.dllstartup(0, 0);
    MeterInstance* ended = module.dllstartup(0, 0);
    ASSERT_NE(kept, nullptr);
    EXPECT_NE(Handler(SIGSEGV), before[0]);
    module.getCPUSpeed(ended, "-1", "0", "0");
    module.dllshutdown(ended);
    // The host forgets to end one instance before unloading.
    sys::UnloadModule(module.loaded);
    const void* after[] = {Handler(SIGSEGV), Handler(SIGILL), Handler(SIGBUS), Handler(SIGFPE)};
    for (int index = 0; index < 4; ++index) {
      ASSERT_EQ(after[index], before[index]) << "round " << round << " signal " << index;
    }
    // A later load of the module can still end it.
    Module again = LoadModuleUnderTest();
    EXPECT_EQ(again.dllshutdown(kept), 0);
    sys::UnloadModule(again.loaded);
  }
}

}  // namespace
