// The Linux module is a guest that installs nothing in the host's process:
// no signal handler at any point of its life, and dlclose unloads it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <string>
#include <thread>

#include "tests/module_under_test.h"

namespace {

// Every signal's action, and the kernel's own view of the caught signals.
struct Dispositions {
  std::string caught;  // SigCgt in /proc/self/status
  void* handlers[NSIG];
  int flags[NSIG];
  bool operator==(const Dispositions& other) const {
    for (int signal = 1; signal < NSIG; ++signal) {
      if (handlers[signal] != other.handlers[signal] || flags[signal] != other.flags[signal]) {
        return false;
      }
    }
    return caught == other.caught;
  }
};

void PrintTo(const Dispositions& dispositions, std::ostream* out) {
  *out << dispositions.caught;
  for (int signal = 1; signal < NSIG; ++signal) {
    if (dispositions.handlers[signal] != nullptr) {
      *out << ", " << signal << ": " << dispositions.handlers[signal] << " flags "
           << dispositions.flags[signal];
    }
  }
}

Dispositions ReadDispositions() {
  Dispositions now{};
  for (int signal = 1; signal < NSIG; ++signal) {
    struct sigaction action {};
    sigaction(signal, nullptr, &action);
    now.handlers[signal] = reinterpret_cast<void*>(action.sa_handler);
    now.flags[signal] = action.sa_flags;
  }
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigCgt:", 0) == 0) {
      now.caught = line;
    }
  }
  return now;
}

bool Mapped(const std::string& path) {
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    if (line.find(path) != std::string::npos) {
      return true;
    }
  }
  return false;
}

TEST(LinuxModule, ChangesNoSignalDispositionBeforeDuringOrAfterItsUse) {
  // The C library installs a handler of its own with the process's second
  // thread; the first is started here, before anything is compared.
  std::thread([] {}).join();
  const Dispositions before = ReadDispositions();
  Module module = LoadModuleUnderTest();
  MeterInstance* instance = module.dllstartup(0, 0);
  ASSERT_NE(instance, nullptr);
  std::atomic<bool> measuring{true};
  std::thread meter([&] {
    for (int update = 0; update < 6; ++update) {
      module.getCPUSpeed(instance, "0", "15", "2");
    }
    measuring = false;
  });
  int looks = 0;
  while (measuring) {
    EXPECT_EQ(ReadDispositions(), before) << "during a measurement";
    ++looks;
  }
  meter.join();
  EXPECT_GT(looks, 0);
  EXPECT_EQ(ReadDispositions(), before) << "after the measurements";
  EXPECT_EQ(module.dllshutdown(instance), 0);
  sys::UnloadModule(module.loaded);
  EXPECT_EQ(ReadDispositions(), before) << "after the module ended";
}

TEST(LinuxModule, UnloadsAtDlcloseAfterUse) {
  const std::string path = ModuleUnderTestPath();
  Module module = LoadModuleUnderTest();
  ASSERT_TRUE(Mapped(path));
  MeterInstance* instance = module.dllstartup(0, 0);
  module.getCPUSpeed(instance, "0", "15", "2");
  module.dllshutdown(instance);
  sys::UnloadModule(module.loaded);
  EXPECT_FALSE(Mapped(path)) << "the module stays in the process after dlclose";
}

// errno as the host had it after every entry point, on every path: due calls
// at several levels, a call that is not due, a refused counter, a null text,
// startup and shutdown.
TEST(LinuxModule, LeavesErrnoAsTheHostHadIt) {
  Module module = LoadModuleUnderTest();
  const auto keepsErrno = [](const char* what, const auto& call) {
    errno = 4242;
    call();
    EXPECT_EQ(errno, 4242) << what;
  };
  MeterInstance* instance = nullptr;
  keepsErrno("dllstartup", [&] { instance = module.dllstartup(0, 0); });
  const char* const levels[][2] = {{"30", "5"}, {"15", "2"}, {"0", "1"}};
  for (const auto& pair : levels) {
    const char* const thread = pair[0];
    const char* const priorityClass = pair[1];
    keepsErrno(thread, [&] { module.getCPUSpeed(instance, "0", thread, priorityClass); });
  }
  keepsErrno("a call that is not due", [&] { module.getCPUSpeed(instance, "3600", "15", "2"); });
  keepsErrno("a null text", [&] { module.getCPUSpeed(instance, "0", nullptr, "2"); });
  std::thread([&] {
    prctl(PR_SET_TSC, PR_TSC_SIGSEGV, 0, 0, 0);
    keepsErrno("a refused counter", [&] { module.getCPUSpeed(instance, "0", "15", "2"); });
    prctl(PR_SET_TSC, PR_TSC_ENABLE, 0, 0, 0);
  }).join();
  keepsErrno("dllshutdown", [&] { module.dllshutdown(instance); });
}

}  // namespace
