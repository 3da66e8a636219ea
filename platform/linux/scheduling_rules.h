// How the Linux platform layer carries the priority class and the thread
// priority onto a thread's nice value and scheduling policy, and which changes
// a thread without CAP_SYS_NICE could undo. Plain rules over plain values: the
// layer reads the thread's state and limits, and asks these.
//
// Priority class -> nice value of the calling thread:
//   idle 0x40 -> 19, below normal 0x4000 -> 10, normal 0x20 -> 0,
//   above normal 0x8000 -> -5, high 0x80 -> -10, realtime 0x100 -> -20.
// Thread priority -> scheduling policy of the calling thread (nice kept):
//   -15 (idle) -> SCHED_IDLE, -14..-1 -> SCHED_BATCH, 0..14 -> SCHED_OTHER,
//   +15 (time critical) -> SCHED_FIFO at priority 1, reset on fork, so that
//   a child forked while the thread is raised starts as an ordinary thread.
// States outside the tables read back as tagged values that restore them
// exactly: 0x10000 + nice + 20 for the class; 0x20000 with the policy, the
// real-time priority and the reset-on-fork bit (0x1000) for the thread.
#pragma once

#include <sys/resource.h>

#include <cstdint>

namespace plat::scheduling {

// A thread's scheduling policy and real-time priority.
struct Schedule {
  int policy;  // without SCHED_RESET_ON_FORK
  int priority;
  bool resetOnFork;
};

// The soft limits that bound what a thread without CAP_SYS_NICE may do.
struct SchedulingLimits {
  rlim_t nice;              // RLIMIT_NICE: nice may go down to 20 - nice
  rlim_t realTimePriority;  // RLIMIT_RTPRIO
};

// A policy and priority the kernel accepts.
bool IsValidSchedule(const Schedule& schedule);

// A nice value in the kernel's range, -20..19.
bool IsValidNice(int nice);

// SCHED_FIFO or SCHED_RR.
bool IsRealTime(int policy);

// The nice value a priority class stands for; false for no class. Tagged
// classes (0x10000 + nice + 20) stand for any nice value.
bool NiceForClass(std::uint32_t priorityClass, int& nice);

// The class that stands for a nice value: a table entry, else a tagged one.
std::uint32_t ClassForNice(int nice);

// The schedule a thread priority stands for; false for no priority.
bool ScheduleForPriority(std::int32_t priority, Schedule& schedule);

// The thread priority that stands for a schedule: every real-time schedule
// reads back tagged, so time critical is only ever asked for, never put back.
std::int32_t PriorityForSchedule(const Schedule& schedule);

// Whether a thread without privilege, once at nice value changed, could go
// back to nice value original.
bool UnprivilegedMayUndoNice(int changed, int original, const SchedulingLimits& limits);

// Whether a thread without privilege at nice value nice, once under schedule
// changed, could go back to schedule original.
bool UnprivilegedMayUndoSchedule(const Schedule& changed, const Schedule& original, int nice,
                                 const SchedulingLimits& limits);

}  // namespace plat::scheduling
