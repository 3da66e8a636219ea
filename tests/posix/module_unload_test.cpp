// A host that unloads the module with an instance still alive: the module
// stays loaded, so its handler and its entry points stay valid, and ending
// the last instance leaves none of its fault handlers installed.
#include <gtest/gtest.h>
#include <signal.h>

#include "tests/module_under_test.h"

namespace {

void* Handler(int signal) {
  struct sigaction action {};
  sigaction(signal, nullptr, &action);
  return reinterpret_cast<void*>(action.sa_handler);
}

TEST(Module, UnloadWithInstancesAliveKeepsTheModuleAndTheLastEndLeavesNoHandler) {
  const void* before[] = {Handler(SIGSEGV), Handler(SIGILL), Handler(SIGBUS), Handler(SIGFPE)};
  for (int round = 0; round < 100; ++round) {
    Module module = LoadModuleUnderTest();
    MeterInstance* kept = module.dllstartup(0, 0);
    MeterInstance* ended = module.dllstartup(0, 0);
    ASSERT_NE(kept, nullptr);
    EXPECT_NE(Handler(SIGSEGV), before[0]);
    module.getCPUSpeed(ended, "-1", "0", "0");
    module.dllshutdown(ended);
    // The host forgets to end one instance before unloading, then ends it
    // through the entry point it kept.
    sys::UnloadModule(module.loaded);
    EXPECT_NE(Handler(SIGSEGV), before[0]) << "an instance is still alive";
    EXPECT_EQ(module.dllshutdown(kept), 0);
    const void* after[] = {Handler(SIGSEGV), Handler(SIGILL), Handler(SIGBUS), Handler(SIGFPE)};
    for (int index = 0; index < 4; ++index) {
      ASSERT_EQ(after[index], before[index]) << "round " << round << " signal " << index;
    }
  }
}

}  // namespace
