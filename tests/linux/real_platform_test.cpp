// The Linux platform layer and the measurement on this machine's own clocks
// and scheduler.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/timex.h>
#include <time.h>
#include <unistd.h>
#include <x86intrin.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <utility>
#include <vector>

#include "measure/cpu_speed.h"
#include "platform/platform.h"
#include "tests/linux/thread_state.h"
#include "tests/test_helpers.h"

namespace {

// Each priority class and the nice value it stands for on Linux.
const std::pair<std::uint32_t, int> kClassNice[] = {
    {plat::kIdlePriorityClass, 19},  {plat::kBelowNormalPriorityClass, 10},
    {plat::kNormalPriorityClass, 0}, {plat::kAboveNormalPriorityClass, -5},
    {plat::kHighPriorityClass, -10}, {plat::kRealtimePriorityClass, -20}};

// Restores RLIMIT_NICE when the test ends.
class NiceLimit {
 public:
  explicit NiceLimit(rlim_t soft) {
    getrlimit(RLIMIT_NICE, &saved_);
    // Raising the hard limit needs CAP_SYS_RESOURCE, which the tests run with.
    const rlimit changed{soft, std::max(soft, saved_.rlim_max)};
    setrlimit(RLIMIT_NICE, &changed);
  }
  ~NiceLimit() { setrlimit(RLIMIT_NICE, &saved_); }
  static bool Is(rlim_t soft) {
    rlimit now{};
    return getrlimit(RLIMIT_NICE, &now) == 0 && now.rlim_cur == soft;
  }
  NiceLimit(const NiceLimit&) = delete;
  NiceLimit& operator=(const NiceLimit&) = delete;

 private:
  rlimit saved_{};
};

std::int64_t RawNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_RAW, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Time-stamp cycles per microsecond over at least 500 ms of the raw clock.
double ReferenceMegahertz() {
  const std::int64_t start = RawNanoseconds();
  const std::uint64_t startCycles = __rdtsc();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::int64_t end = RawNanoseconds();
  while (end - start < 500'000'000) {
    end = RawNanoseconds();
  }
  const std::uint64_t endCycles = __rdtsc();
  return static_cast<double>(endCycles - startCycles) * 1000.0 / static_cast<double>(end - start);
}

TEST(RealPlatform, CountersRunAtTheirStatedRates) {
  std::int64_t frequency = 0;
  plat::CounterClock clock = 0;
  ASSERT_TRUE(plat::QueryCounterFrequency(frequency, clock));
  EXPECT_EQ(frequency, 1'000'000'000);
  std::int64_t before = 0;
  std::int64_t after = 0;
  ASSERT_TRUE(plat::QueryCounter(clock, before));
  const std::uint64_t systemBefore = plat::GetSystemTime();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(plat::QueryCounter(clock, after));
  const std::int64_t elapsed = after - before;
  const std::uint64_t systemElapsed = plat::GetSystemTime() - systemBefore;
  EXPECT_GE(elapsed, 20'000'000);
  EXPECT_LT(elapsed, 2'000'000'000);
  EXPECT_GE(systemElapsed, 150'000U);  // 100 ns units
  EXPECT_LT(systemElapsed, 20'000'000U);
}

TEST(RealPlatform, SystemTimeCountsFrom1601) {
  const auto unixSeconds = static_cast<std::uint64_t>(::time(nullptr));
  const std::uint64_t seconds = plat::GetSystemTime() / 10'000'000;
  EXPECT_NEAR(static_cast<double>(seconds - 11'644'473'600ULL), static_cast<double>(unixSeconds),
              2.0);
}

// Five readings, in order, with the boost, as the meter's defaults ask: a
// busy machine that preempts the wait past its end would otherwise lengthen
// it.
std::vector<std::int32_t> FiveBoostedReadings() {
  std::vector<std::int32_t> readings(5);
  for (std::int32_t& reading : readings) {
    reading = MeasureOnce(1, 50, plat::kThreadPriorityTimeCritical, plat::kRealtimePriorityClass);
  }
  std::sort(readings.begin(), readings.end());
  return readings;
}

TEST(RealPlatform, MeasurementAgreesWithLongRawClockReference) {
  const double reference = ReferenceMegahertz();
  const std::vector<std::int32_t> readings = FiveBoostedReadings();
  EXPECT_NEAR(readings[2], reference, reference * 0.01)
      << "readings " << ::testing::PrintToString(readings);
}

// Slews CLOCK_MONOTONIC through the kernel's tick length while it lives, as
// a time daemon correcting an offset does; the raw clock keeps its rate.
class SlewedClock {
 public:
  explicit SlewedClock(long percent) {
    timex now{};
    if (adjtimex(&now) < 0) {
      return;
    }
    saved_ = now.tick;
    timex slewed{};
    slewed.modes = ADJ_TICK;
    slewed.tick = now.tick * (100 + percent) / 100;
    slewed_ = adjtimex(&slewed) >= 0;
  }
  ~SlewedClock() {
    if (slewed_) {
      timex back{};
      back.modes = ADJ_TICK;
      back.tick = saved_;
      adjtimex(&back);
    }
  }
  bool slewed() const { return slewed_; }
  SlewedClock(const SlewedClock&) = delete;
  SlewedClock& operator=(const SlewedClock&) = delete;

 private:
  long saved_ = 0;
  bool slewed_ = false;
};

// CLOCK_MONOTONIC's rate against the raw clock's over 200 ms.
double MonotonicRate() {
  timespec monotonic{};
  clock_gettime(CLOCK_MONOTONIC, &monotonic);
  const std::int64_t raw = RawNanoseconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  timespec monotonicAfter{};
  clock_gettime(CLOCK_MONOTONIC, &monotonicAfter);
  const std::int64_t rawElapsed = RawNanoseconds() - raw;
  const double monotonicElapsed =
      static_cast<double>(monotonicAfter.tv_sec - monotonic.tv_sec) * 1e9 +
      static_cast<double>(monotonicAfter.tv_nsec - monotonic.tv_nsec);
  return monotonicElapsed / static_cast<double>(rawElapsed);
}

// Time daemons slew CLOCK_MONOTONIC; the wait is timed by the raw clock,
// which they leave alone.
TEST(RealPlatform, MeasurementIsExactWhileTheClockIsSlewed) {
  for (long percent : {1L, -1L}) {
    const SlewedClock slewed(percent);
    if (!slewed.slewed()) {
      GTEST_SKIP() << "the clock cannot be slewed here (adjtimex needs CAP_SYS_TIME)";
    }
    const double rate = MonotonicRate();
    if (std::abs(rate - (1.0 + 0.01 * static_cast<double>(percent))) > 0.003) {
      // A time daemon of the machine's own may be steering the clock too.
      GTEST_SKIP() << "CLOCK_MONOTONIC ran at " << rate << " of the raw clock, not slewed by "
                   << percent << " %";
    }
    const double reference = ReferenceMegahertz();
    const std::vector<std::int32_t> readings = FiveBoostedReadings();
    EXPECT_NEAR(readings[2], reference, reference * 0.002)
        << "slewed by " << percent << " %, readings " << ::testing::PrintToString(readings);
  }
}

TEST(RealPlatform, UnboostedMeasurementOnABusyMachineCountsTheWaitsRealLength) {
  const double reference = ReferenceMegahertz();
  // A busy thread more than there are cores and no boost: the scheduler
  // preempts the measuring thread, also as its wait reaches its end.
  std::atomic<bool> stop{false};
  std::vector<std::thread> load;
  for (unsigned core = 0; core <= std::max(1U, std::thread::hardware_concurrency()); ++core) {
    load.emplace_back([&stop] {
      while (!stop.load(std::memory_order_relaxed)) {
      }
    });
  }
  std::vector<std::int32_t> readings;
  int close = 0;
  for (int index = 0; index < 9; ++index) {
    readings.push_back(MeasureOnce(1, 50, plat::kThreadPriorityErrorReturn, 0));
    close += std::abs(readings.back() - reference) <= reference * 0.002 ? 1 : 0;
  }
  stop = true;
  for (std::thread& thread : load) {
    thread.join();
  }
  EXPECT_GE(close, 7) << "reference " << reference << " MHz, readings "
                      << ::testing::PrintToString(readings);
}

TEST(RealPlatform, PriorityClassesBecomeNiceValuesAndComeBackExactly) {
  if (!Privileged()) {
    GTEST_SKIP() << "needs CAP_SYS_NICE to lower nice values again";
  }
  OnOwnThread([] {
    const pid_t self = ThisThread();
    const Observed found = Observe(self);
    const std::uint32_t original = plat::GetPriorityClass();
    ASSERT_NE(original, 0U);
    for (const auto& [priorityClass, nice] : kClassNice) {
      ASSERT_TRUE(plat::SetPriorityClass(priorityClass));
      EXPECT_EQ(Observe(self).nice, nice);
      EXPECT_EQ(plat::GetPriorityClass(), priorityClass);
    }
    // A nice value outside the table reads back as a value that restores it.
    ASSERT_EQ(setpriority(PRIO_PROCESS, static_cast<id_t>(self), 3), 0);
    const std::uint32_t odd = plat::GetPriorityClass();
    ASSERT_TRUE(plat::SetPriorityClass(plat::kHighPriorityClass));
    ASSERT_TRUE(plat::SetPriorityClass(odd));
    EXPECT_EQ(Observe(self).nice, 3);
    EXPECT_FALSE(plat::SetPriorityClass(0x12345));
    ASSERT_TRUE(plat::SetPriorityClass(original));
    EXPECT_EQ(Observe(self), found);
  });
}

TEST(RealPlatform, ThreadPrioritiesBecomePoliciesAndComeBackExactly) {
  if (!Privileged()) {
    GTEST_SKIP() << "needs CAP_SYS_NICE for real-time policies";
  }
  OnOwnThread([] {
    const pid_t self = ThisThread();
    const Observed found = Observe(self);
    const std::int32_t original = plat::GetThreadPriority();
    ASSERT_NE(original, plat::kThreadPriorityErrorReturn);
    const std::pair<std::int32_t, Observed> table[] = {
        {-15, {SCHED_IDLE, 0, found.nice}}, {-14, {SCHED_BATCH, 0, found.nice}},
        {-1, {SCHED_BATCH, 0, found.nice}}, {0, {SCHED_OTHER, 0, found.nice}},
        {14, {SCHED_OTHER, 0, found.nice}}, {15, {SCHED_FIFO | SCHED_RESET_ON_FORK, 1, found.nice}},
    };
    for (const auto& [priority, expected] : table) {
      ASSERT_TRUE(plat::SetThreadPriority(priority)) << priority;
      EXPECT_EQ(Observe(self), expected) << priority;
    }
    // States the table never produces read back as values that restore them.
    const sched_param roundRobin{7};
    ASSERT_EQ(sched_setscheduler(self, SCHED_RR | SCHED_RESET_ON_FORK, &roundRobin), 0);
    const Observed odd = Observe(self);
    const std::int32_t oddPriority = plat::GetThreadPriority();
    ASSERT_TRUE(plat::SetThreadPriority(-15));
    ASSERT_TRUE(plat::SetThreadPriority(oddPriority));
    EXPECT_EQ(Observe(self), odd);
    EXPECT_FALSE(plat::SetThreadPriority(16));
    EXPECT_FALSE(plat::SetThreadPriority(-16));
    ASSERT_TRUE(plat::SetThreadPriority(original));
    EXPECT_EQ(Observe(self), found);
  });
}

TEST(RealPlatform, UnprivilegedChangesThatCouldNotBeUndoneAreRefused) {
  const NiceLimit noLowering(0);
  ASSERT_TRUE(NiceLimit::Is(0));
  OnOwnThread([] {
    ASSERT_TRUE(DropSchedulingPrivilege());
    const pid_t self = ThisThread();
    const Observed found = Observe(self);
    // From whatever nice the tests started at: raising it is allowed by the
    // kernel but could not be undone, and lowering it is not allowed. Only
    // the class of the nice value the thread has is taken.
    for (const auto& [priorityClass, nice] : kClassNice) {
      EXPECT_EQ(plat::SetPriorityClass(priorityClass), nice == found.nice) << nice;
    }
    // SCHED_IDLE could not be left again; real time needs RLIMIT_RTPRIO and
    // sets the reset-on-fork flag, which could not be cleared again.
    EXPECT_FALSE(plat::SetThreadPriority(-15));
    EXPECT_FALSE(plat::SetThreadPriority(15));
    EXPECT_EQ(Observe(self), found);
    // What can be undone is still done.
    EXPECT_TRUE(plat::SetThreadPriority(-1));
    EXPECT_EQ(Observe(self).policy, SCHED_BATCH);
    EXPECT_TRUE(plat::SetThreadPriority(0));
    EXPECT_EQ(Observe(self), found);
  });
}

// Unprivileged threads keep their own schedules: a real-time thread sets its
// own again after reading it, a SCHED_OTHER thread keeps its reset-on-fork
// flag across a read, a set and a measurement, and the flag, which could not
// be cleared again, is refused to a thread without it.
TEST(RealPlatform, UnprivilegedThreadsKeepTheirOwnSchedules) {
  if (!Privileged()) {
    GTEST_SKIP() << "needs CAP_SYS_NICE to set a real-time schedule first";
  }
  struct Case {
    const char* what;
    int policy;
    int priority;
    std::int32_t asked;  // 0: what was read
    bool taken;
  };
  constexpr std::int32_t kOtherResetOnFork = 0x21000;
  for (const Case& test :
       {Case{"SCHED_FIFO 1", SCHED_FIFO, 1, 0, true},
        Case{"SCHED_RR 3, reset on fork", SCHED_RR | SCHED_RESET_ON_FORK, 3, 0, true},
        Case{"SCHED_OTHER, reset on fork", SCHED_OTHER | SCHED_RESET_ON_FORK, 0, 0, true},
        Case{"SCHED_OTHER, asking for the flag", SCHED_OTHER, 0, kOtherResetOnFork, false}}) {
    const int status = InChild([&test] {
      const rlimit noRealTime{0, 0};
      const sched_param param{test.priority};
      if (sched_setscheduler(0, test.policy, &param) != 0 ||
          setrlimit(RLIMIT_RTPRIO, &noRealTime) != 0 || !DropSchedulingPrivilege()) {
        return 99;
      }
      const Observed found = Observe(ThisThread());
      const std::int32_t read = plat::GetThreadPriority();
      if (plat::SetThreadPriority(test.asked != 0 ? test.asked : read) != test.taken) {
        return 1;
      }
      if (!(Observe(ThisThread()) == found)) {
        return 2;
      }
      MeasureOnce(1, 50, plat::kThreadPriorityNormal, plat::kNormalPriorityClass);
      return Observe(ThisThread()) == found ? 0 : 3;
    });
    EXPECT_EQ(status, 0) << test.what << ": 1 the set was " << (test.taken ? "refused" : "taken")
                         << ", 2 the schedule changed, 3 a measurement changed it, 99 no setup";
  }
}

TEST(RealPlatform, UnprivilegedNiceRaiseWithinTheLimitIsAllowedAndUndone) {
  if (getpriority(PRIO_PROCESS, 0) != 0) {
    GTEST_SKIP() << "runs from nice 0";
  }
  const NiceLimit downToZero(20);
  if (!NiceLimit::Is(20)) {
    GTEST_SKIP() << "RLIMIT_NICE cannot be raised to 20 here (no CAP_SYS_RESOURCE)";
  }
  OnOwnThread([] {
    ASSERT_TRUE(DropSchedulingPrivilege());
    const pid_t self = ThisThread();
    ASSERT_TRUE(plat::SetPriorityClass(plat::kBelowNormalPriorityClass));
    EXPECT_EQ(Observe(self).nice, 10);
    ASSERT_TRUE(plat::SetThreadPriority(-15));
    EXPECT_EQ(Observe(self).policy, SCHED_IDLE);
    EXPECT_TRUE(plat::SetThreadPriority(0));
    EXPECT_TRUE(plat::SetPriorityClass(plat::kNormalPriorityClass));
    EXPECT_EQ(Observe(self), (Observed{SCHED_OTHER, 0, 0}));
  });
}

TEST(RealPlatform, MeasurementChangesSchedulingWhileItRunsThenRestoresIt) {
  if (!Privileged()) {
    GTEST_SKIP() << "needs CAP_SYS_NICE";
  }
  std::atomic<pid_t> measuring{0};
  std::atomic<bool> done{false};
  Observed before{};
  Observed after{};
  std::thread meter([&] {
    before = Observe(ThisThread());
    measuring = ThisThread();
    // Several passes, so that the observer cannot miss the boost.
    MeasureOnce(8, 50, plat::kThreadPriorityTimeCritical, plat::kHighPriorityClass);
    after = Observe(ThisThread());
    done = true;
  });
  while (measuring == 0) {
  }
  bool sawBoost = false;
  while (!done && !sawBoost) {
    const Observed now = Observe(measuring);
    sawBoost = now == Observed{SCHED_FIFO | SCHED_RESET_ON_FORK, 1, -10};
  }
  meter.join();
  EXPECT_TRUE(sawBoost);
  EXPECT_EQ(after, before);
}

}  // namespace
