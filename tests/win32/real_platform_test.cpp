// The Win32 platform layer and the measurement on the kernel services of the
// machine (or of Wine) itself.
#include <gtest/gtest.h>
#include <windows.h>
#include <x86intrin.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <thread>
#include <vector>

#include "measure/cpu_speed.h"
#include "platform/platform.h"
#include "tests/module_under_test.h"
#include "tests/test_helpers.h"

namespace {

std::int64_t Counter() {
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

// Time-stamp cycles per microsecond over at least 500 ms of the counter.
double ReferenceMegahertz() {
  LARGE_INTEGER frequency{};
  QueryPerformanceFrequency(&frequency);
  const std::int64_t start = Counter();
  const std::uint64_t startCycles = __rdtsc();
  Sleep(500);
  std::int64_t end = Counter();
  while (end - start < frequency.QuadPart / 2) {
    end = Counter();
  }
  const std::uint64_t endCycles = __rdtsc();
  const double seconds = static_cast<double>(end - start) / static_cast<double>(frequency.QuadPart);
  return static_cast<double>(endCycles - startCycles) / seconds / 1e6;
}

TEST(Win32Platform, CounterAndSystemTimeComeFromTheKernel) {
  std::int64_t frequency = 0;
  plat::CounterClock clock = 0;
  ASSERT_TRUE(plat::QueryCounterFrequency(frequency, clock));
  LARGE_INTEGER kernel{};
  QueryPerformanceFrequency(&kernel);
  EXPECT_EQ(frequency, kernel.QuadPart);
  std::int64_t before = 0;
  std::int64_t after = 0;
  ASSERT_TRUE(plat::QueryCounter(clock, before));
  Sleep(20);
  ASSERT_TRUE(plat::QueryCounter(clock, after));
  EXPECT_GE(after - before, frequency / 100);

  const auto unixSeconds = static_cast<double>(std::time(nullptr));
  const std::uint64_t seconds = plat::GetSystemTime() / 10'000'000;
  EXPECT_NEAR(static_cast<double>(seconds - 11'644'473'600ULL), unixSeconds, 2.0);
}

TEST(Win32Platform, PriorityClassAndThreadPriorityRoundTrip) {
  const std::uint32_t originalClass = plat::GetPriorityClass();
  const std::int32_t originalPriority = plat::GetThreadPriority();
  ASSERT_NE(originalClass, 0U);
  ASSERT_NE(originalPriority, plat::kThreadPriorityErrorReturn);
  for (std::uint32_t priorityClass : {plat::kBelowNormalPriorityClass, plat::kNormalPriorityClass,
                                      plat::kAboveNormalPriorityClass, plat::kHighPriorityClass}) {
    ASSERT_TRUE(plat::SetPriorityClass(priorityClass));
    EXPECT_EQ(plat::GetPriorityClass(), priorityClass);
  }
  for (std::int32_t priority : {-15, -2, -1, 0, 1, 2, 15}) {
    ASSERT_TRUE(plat::SetThreadPriority(priority));
    EXPECT_EQ(plat::GetThreadPriority(), priority);
  }
  EXPECT_FALSE(plat::SetThreadPriority(99));
  ASSERT_TRUE(plat::SetThreadPriority(originalPriority));
  ASSERT_TRUE(plat::SetPriorityClass(originalClass));
  EXPECT_EQ(plat::GetThreadPriority(), originalPriority);
  EXPECT_EQ(plat::GetPriorityClass(), originalClass);
}

TEST(Win32Platform, MeasurementAgreesWithLongCounterReference) {
  const double reference = ReferenceMegahertz();
  std::vector<std::int32_t> readings;
  for (int index = 0; index < 5; ++index) {
    readings.push_back(
        MeasureOnce(1, 50, plat::kThreadPriorityTimeCritical, plat::kHighPriorityClass));
  }
  std::sort(readings.begin(), readings.end());
  EXPECT_NEAR(readings[2], reference, reference * 0.01)
      << "readings " << readings[0] << ".." << readings[4];
}

// The class is the whole process's. Two threads measuring at once at
// different class levels: one measurement at a time changes it, so each
// round ends in the class it found. And a class the host sets while a
// measurement runs, as a monitor going to the background does, stands.
TEST(Win32Module, ClassComesBackAfterOverlappingMeasurementsAndAHostsOwnChangeStands) {
  Module module = LoadModuleUnderTest();
  const DWORD found = GetPriorityClass(GetCurrentProcess());
  int raised = 0;
  for (int round = 0; round < 8; ++round) {
    std::vector<std::thread> threads;
    for (const char* classLevel : {"4", "3"}) {
      threads.emplace_back([&module, classLevel] {
        MeterInstance* instance = module.dllstartup(0, 0);
        for (int update = 0; update < 2; ++update) {
          module.getCPUSpeed(instance, "0", "15", classLevel);
        }
        module.dllshutdown(instance);
      });
    }
    for (std::thread& thread : threads) {
      thread.join();
    }
    raised += GetPriorityClass(GetCurrentProcess()) != found ? 1 : 0;
    SetPriorityClass(GetCurrentProcess(), found);
  }
  EXPECT_EQ(raised, 0) << "rounds of 8 that left the class raised";

  // The host changes the class once the measurement spins: its thread is
  // then time critical, which the measurement sets after the class.
  std::atomic<bool> done{false};
  std::atomic<HANDLE> thread{nullptr};
  std::thread measuring([&module, &done, &thread] {
    HANDLE self = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    thread = self;
    MeterInstance* instance = module.dllstartup(0, 0);
    module.getCPUSpeed(instance, "0", "30", "4");
    module.dllshutdown(instance);
    done = true;
  });
  while (!done &&
         (thread == nullptr || GetThreadPriority(thread) != THREAD_PRIORITY_TIME_CRITICAL)) {
  }
  const bool changedMidMeasurement =
      SetPriorityClass(GetCurrentProcess(), IDLE_PRIORITY_CLASS) && !done;
  measuring.join();
  CloseHandle(thread);
  EXPECT_TRUE(changedMidMeasurement) << "the measurement never ran in the high class";
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(IDLE_PRIORITY_CLASS));
  SetPriorityClass(GetCurrentProcess(), found);
  sys::UnloadModule(module.loaded);
}

}  // namespace
