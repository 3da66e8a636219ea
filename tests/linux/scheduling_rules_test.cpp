// The Linux scheduling tables and the rules for a thread without
// CAP_SYS_NICE, for limits that a test process may not be able to set.
#include <gtest/gtest.h>
#include <sched.h>

#include "platform/linux/scheduling_rules.h"
#include "platform/platform.h"

namespace {

using plat::scheduling::Schedule;
using plat::scheduling::SchedulingLimits;

constexpr rlim_t kNoLimit = RLIM_INFINITY;

TEST(SchedulingRules, TaggedValuesCoverExactlyTheKernelsRanges) {
  struct Case {
    std::uint32_t priorityClass;
    bool valid;
    int nice;
  };
  for (const Case& test :
       {Case{0x10000, true, -20}, Case{0x10017, true, 3}, Case{0x10027, true, 19},
        Case{0x10028, false, 0}, Case{0x100FF, false, 0}, Case{0x20000, false, 0}}) {
    int nice = 0;
    EXPECT_EQ(plat::scheduling::NiceForClass(test.priorityClass, nice), test.valid)
        << std::hex << test.priorityClass;
    if (test.valid) {
      EXPECT_EQ(nice, test.nice) << std::hex << test.priorityClass;
    }
  }
  // Every schedule reads back as a value that restores it: the table's own,
  // and those outside it as tags.
  for (const Schedule& schedule : {Schedule{SCHED_OTHER, 0, false}, Schedule{SCHED_BATCH, 0, false},
                                   Schedule{SCHED_IDLE, 0, false}, Schedule{SCHED_OTHER, 0, true},
                                   Schedule{SCHED_IDLE, 0, true}, Schedule{SCHED_FIFO, 1, false},
                                   Schedule{SCHED_RR, 99, true}, Schedule{SCHED_FIFO, 1, true}}) {
    Schedule back{};
    ASSERT_TRUE(plat::scheduling::ScheduleForPriority(
        plat::scheduling::PriorityForSchedule(schedule), back));
    EXPECT_EQ(back.policy, schedule.policy);
    EXPECT_EQ(back.priority, schedule.priority);
    EXPECT_EQ(back.resetOnFork, schedule.resetOnFork);
  }
}

TEST(SchedulingRules, UnprivilegedNiceGoesBackOnlyWithinTheLimit) {
  struct Case {
    int changed;
    int original;
    rlim_t limit;
    bool mayUndo;
  };
  // RLIMIT_NICE n lets the thread lower its nice value down to 20 - n.
  for (const Case& test : {Case{10, 0, 15, false}, Case{10, 5, 15, true}, Case{10, 4, 15, false},
                           Case{19, 5, 15, true}, Case{10, 0, 20, true}, Case{10, 0, 0, false},
                           Case{0, 10, 0, true}, Case{0, 0, 0, true}, Case{19, -20, kNoLimit, true},
                           Case{19, -20, 40, true}, Case{19, -20, 39, false}}) {
    EXPECT_EQ(
        plat::scheduling::UnprivilegedMayUndoNice(test.changed, test.original, {test.limit, 0}),
        test.mayUndo)
        << "from nice " << test.original << " to " << test.changed << ", limit " << test.limit;
  }
}

TEST(SchedulingRules, UnprivilegedScheduleGoesBackOnlyWhereTheKernelAllows) {
  const Schedule other{SCHED_OTHER, 0, false};
  const Schedule otherResetOnFork{SCHED_OTHER, 0, true};
  const Schedule idle{SCHED_IDLE, 0, false};
  const Schedule fifo1{SCHED_FIFO, 1, false};
  const Schedule fifo10{SCHED_FIFO, 10, false};
  const Schedule timeCritical{SCHED_FIFO, 1, true};
  struct Case {
    const char* what;
    Schedule changed;
    Schedule original;
    int nice;
    SchedulingLimits limits;
    bool mayUndo;
  };
  for (const Case& test : {
           Case{"a real-time thread sets its own schedule again", fifo1, fifo1, 0, {0, 0}, true},
           Case{"back to real time from another policy needs RLIMIT_RTPRIO",
                other,
                fifo1,
                0,
                {0, 0},
                false},
           Case{"... which allows it", other, fifo1, 0, {0, 1}, true},
           Case{"back to a higher real-time priority beyond the limit",
                fifo1,
                fifo10,
                0,
                {0, 5},
                false},
           Case{"... up to the limit", fifo1, fifo10, 0, {0, 10}, true},
           Case{"leaving SCHED_IDLE takes the nice value anew", idle, other, 0, {19, 0}, false},
           Case{"... within RLIMIT_NICE", idle, other, 0, {20, 0}, true},
           Case{"... from a higher nice value", idle, other, 1, {19, 0}, true},
           Case{"only CAP_SYS_NICE clears the reset-on-fork flag",
                otherResetOnFork,
                other,
                0,
                {kNoLimit, kNoLimit},
                false},
           Case{"time critical carries the flag",
                timeCritical,
                other,
                0,
                {kNoLimit, kNoLimit},
                false},
           Case{"setting the flag again is anyone's", other, otherResetOnFork, 0, {0, 0}, true},
       }) {
    EXPECT_EQ(plat::scheduling::UnprivilegedMayUndoSchedule(test.changed, test.original, test.nice,
                                                            test.limits),
              test.mayUndo)
        << test.what;
  }
}

}  // namespace
