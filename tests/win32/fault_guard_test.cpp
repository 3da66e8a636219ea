// The Windows fault guard: structured exceptions from processor faults inside
// it come back as a result; everything else passes on untouched.
#include <gtest/gtest.h>
#include <windows.h>
#include <xmmintrin.h>

#include <cstring>

#include "platform/fault_guard.h"
#include "platform/win32/guard_filter_win32.h"
#include "tests/module_under_test.h"
#include "tests/processor_faults.h"
#include "tests/test_helpers.h"

namespace {

void AccessViolation(void* /*context*/) { RaiseFault(ScriptedFault::kAccessViolation); }
void IllegalInstruction(void* /*context*/) { RaiseFault(ScriptedFault::kIllegalInstruction); }
void PrivilegedInstruction(void* /*context*/) { RaiseFault(ScriptedFault::kPrivilegedInstruction); }
void DivideByZero(void* /*context*/) { RaiseFault(ScriptedFault::kDivideByZero); }
void Finishes(void* context) { *static_cast<int*>(context) = 42; }

constexpr DWORD kHostException = 0xE0001234;
void RaisesHostException(void* context) {
  RaiseException(kHostException, 0, 0, nullptr);
  *static_cast<int*>(context) = 7;
}

#if defined(__i386__)
// The head of the thread's chain of exception frames.
void* ExceptionChainHead() {
  NT_TIB* information = nullptr;
  asm volatile("movl %%fs:0x18, %0" : "=r"(information));
  return information->ExceptionList;
}

DWORD_PTR& InstructionPointer(CONTEXT& context) { return context.Eip; }
#else
// x86-64 keeps no chain of frames: the guard's handler is in the unwind data.
void* ExceptionChainHead() { return nullptr; }

DWORD_PTR& InstructionPointer(CONTEXT& context) { return context.Rip; }
#endif

volatile LONG gHostSaw = 0;

// A host's own vectored handler: takes the exceptions that are its own.
LONG CALLBACK HostHandler(EXCEPTION_POINTERS* exception) {
  const DWORD code = exception->ExceptionRecord->ExceptionCode;
  if (code == kHostException) {
    gHostSaw = static_cast<LONG>(code);
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  DWORD_PTR& instruction = InstructionPointer(*exception->ContextRecord);
  if (code == EXCEPTION_ILLEGAL_INSTRUCTION && instruction != 0 &&
      *reinterpret_cast<const unsigned short*>(instruction) == 0x0B0F) {
    gHostSaw = static_cast<LONG>(code);
    instruction += 2;  // past the ud2 outside the guard
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

TEST(Win32FaultGuard, EveryProcessorFaultComesBackAsFalse) {
  void* const head = ExceptionChainHead();
  for (plat::GuardedWork work :
       {&AccessViolation, &IllegalInstruction, &PrivilegedInstruction, &DivideByZero}) {
    EXPECT_FALSE(plat::RunGuarded(work, nullptr));
    EXPECT_EQ(ExceptionChainHead(), head) << "the guard's frame is unlinked";
  }
  int result = 0;
  EXPECT_TRUE(plat::RunGuarded(&Finishes, &result));
  EXPECT_EQ(result, 42);
  EXPECT_EQ(ExceptionChainHead(), head);
}

TEST(Win32FaultGuard, ExceptionsThatAreNotFaultsAndFaultsOutsideReachTheHost) {
  void* handler = AddVectoredExceptionHandler(1, &HostHandler);
  ASSERT_NE(handler, nullptr);
  int result = 0;
  gHostSaw = 0;
  EXPECT_TRUE(plat::RunGuarded(&RaisesHostException, &result));
  EXPECT_EQ(result, 7);
  EXPECT_EQ(static_cast<DWORD>(gHostSaw), kHostException);

  gHostSaw = 0;
  asm volatile("ud2");
  EXPECT_EQ(static_cast<DWORD>(gHostSaw), static_cast<DWORD>(EXCEPTION_ILLEGAL_INSTRUCTION));
  RemoveVectoredExceptionHandler(handler);
}

// A function outside the image that holds the guard, as the C library's heap
// is for the module: a ud2, then a return. A fault there during a guarded
// call goes on to the host, here its last-resort filter, which steps over it.
using OutsideCode = void (*)();
volatile LONG gFilterSaw = 0;

LONG WINAPI StepOverUd2(EXCEPTION_POINTERS* exception) {
  gFilterSaw = static_cast<LONG>(exception->ExceptionRecord->ExceptionCode);
  InstructionPointer(*exception->ContextRecord) += 2;
  return EXCEPTION_CONTINUE_EXECUTION;
}

TEST(Win32FaultGuard, FaultsInCodeOutsideTheImageReachTheHost) {
  const unsigned char code[] = {0x0F, 0x0B, 0xC3};  // ud2; ret
  void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
  ASSERT_NE(page, nullptr);
  CopyMemory(page, code, sizeof code);
  LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(&StepOverUd2);
  gFilterSaw = 0;
  EXPECT_TRUE(
      plat::RunGuarded([](void* outside) { reinterpret_cast<OutsideCode>(outside)(); }, page));
  EXPECT_EQ(static_cast<DWORD>(gFilterSaw), static_cast<DWORD>(EXCEPTION_ILLEGAL_INSTRUCTION));
  SetUnhandledExceptionFilter(previous);
  VirtualFree(page, 0, MEM_RELEASE);
}

// Programs name their threads for debuggers by raising this exception; a
// module that changes the process's exception handling at load would hide it
// from the host's own handler. The host's handler also sees each fault the
// guard takes, once, before the guard.
constexpr DWORD kThreadNameException = 0x406D1388;
volatile LONG gThreadNamesSeen = 0;
volatile LONG gAccessViolationsSeen = 0;

LONG CALLBACK CountHostExceptions(EXCEPTION_POINTERS* exception) {
  const DWORD code = exception->ExceptionRecord->ExceptionCode;
  if (code == EXCEPTION_ACCESS_VIOLATION) {
    ++gAccessViolationsSeen;
  }
  if (code != kThreadNameException) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  ++gThreadNamesSeen;
  return EXCEPTION_CONTINUE_EXECUTION;
}

bool HostSeesThreadName() {
  const LONG before = gThreadNamesSeen;
  RaiseException(kThreadNameException, 0, 0, nullptr);
  return gThreadNamesSeen == before + 1;
}

TEST(Win32Module, LoadingAndFaultsLeaveTheProcesssExceptionHandlingAlone) {
  void* handler = AddVectoredExceptionHandler(1, &CountHostExceptions);
  ASSERT_NE(handler, nullptr);
  EXPECT_TRUE(HostSeesThreadName()) << "before LoadLibrary";
  Module module = LoadModuleUnderTest();
  MeterInstance* instance = module.dllstartup(0, 0);
  EXPECT_TRUE(HostSeesThreadName()) << "while the DLL is loaded";
  gAccessViolationsSeen = 0;
  const char* unreadable = reinterpret_cast<const char*>(16);
  EXPECT_STREQ(module.getCPUSpeed(instance, "0", "15", unreadable), kFailureText);
  EXPECT_EQ(gAccessViolationsSeen, 1);
  EXPECT_TRUE(HostSeesThreadName()) << "after a fault the guard took";
  module.dllshutdown(instance);
  sys::UnloadModule(module.loaded);
  EXPECT_TRUE(HostSeesThreadName()) << "after FreeLibrary";
  RemoveVectoredExceptionHandler(handler);
}

// The filter on its own, with made-up records: Wine raises other codes for
// the SSE faults than Windows does.
TEST(Win32FaultGuard, FilterTakesProcessorFaultsInItsImageAlone) {
  EXCEPTION_RECORD record{};
  record.ExceptionAddress = reinterpret_cast<void*>(&Finishes);
  for (DWORD code : {static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION),
                     static_cast<DWORD>(STATUS_FLOAT_MULTIPLE_FAULTS),
                     static_cast<DWORD>(STATUS_FLOAT_MULTIPLE_TRAPS)}) {
    record.ExceptionCode = code;
    EXPECT_TRUE(plat::win32::TakenByGuard(record)) << std::hex << code;
  }
  for (DWORD code :
       {static_cast<DWORD>(EXCEPTION_BREAKPOINT), static_cast<DWORD>(EXCEPTION_SINGLE_STEP),
        static_cast<DWORD>(EXCEPTION_STACK_OVERFLOW), kHostException}) {
    record.ExceptionCode = code;
    EXPECT_FALSE(plat::win32::TakenByGuard(record)) << std::hex << code;
  }
  record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  record.ExceptionFlags = EXCEPTION_UNWINDING;
  EXPECT_FALSE(plat::win32::TakenByGuard(record)) << "an unwind";
  record.ExceptionFlags = 0;
  record.ExceptionAddress = reinterpret_cast<void*>(&GetTickCount);
  EXPECT_FALSE(plat::win32::TakenByGuard(record)) << "another image's fault";
}

// A breakpoint in guarded work goes on to the debugger or, here, the host's
// last-resort filter, which steps over it; the work then returns normally.
volatile LONG gBreakpointsSeen = 0;

LONG WINAPI StepOverBreakpoint(EXCEPTION_POINTERS* exception) {
  if (exception->ExceptionRecord->ExceptionCode != EXCEPTION_BREAKPOINT) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  ++gBreakpointsSeen;
  DWORD_PTR& instruction = InstructionPointer(*exception->ContextRecord);
  if (*reinterpret_cast<const unsigned char*>(instruction) == 0xCC) {
    instruction += 1;
  }
  return EXCEPTION_CONTINUE_EXECUTION;
}

TEST(Win32FaultGuard, BreakpointInsideGoesOnToTheHost) {
  LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(&StepOverBreakpoint);
  gBreakpointsSeen = 0;
  int result = 0;
  EXPECT_TRUE(plat::RunGuarded(
      [](void* context) {
        asm volatile("int3");
        *static_cast<int*>(context) = 42;
      },
      &result));
  EXPECT_EQ(result, 42);
  EXPECT_EQ(gBreakpointsSeen, 1);
  SetUnhandledExceptionFilter(previous);
}

#if defined(__x86_64__)
unsigned short X87ControlWord() {
  unsigned short word = 0;
  asm volatile("fnstcw %0" : "=m"(word));
  return word;
}

// Work that changes both floating-point controls, then faults: the caller's
// controls come back.
TEST(Win32FaultGuard, ACaughtFaultGivesTheCallerItsFloatingPointControlsBack) {
  const unsigned int mxcsr = _mm_getcsr();
  const unsigned short control = X87ControlWord();
  EXPECT_FALSE(plat::RunGuarded(
      [](void* /*context*/) {
        _mm_setcsr(0x9FC0 ^ 0x6000);  // flush to zero, round toward zero
        const unsigned short truncate = 0x0F7F;
        asm volatile("fldcw %0" : : "m"(truncate));
        RaiseFault(ScriptedFault::kAccessViolation);
      },
      nullptr));
  EXPECT_EQ(_mm_getcsr(), mxcsr);
  EXPECT_EQ(X87ControlWord(), control);
}

// The host leaves an unmasked x87 divide-by-zero pending, as an fdiv by zero
// does until the next waiting instruction, and then calls with an unreadable
// text. The caught fault must not raise that exception inside the guard,
// which would take it and land again without end; it stays pending for the
// host. A host handler counts (and clears) any that is raised.
volatile LONG gX87Raised = 0;

LONG CALLBACK ClearRaisedX87(EXCEPTION_POINTERS* exception) {
  const DWORD code = exception->ExceptionRecord->ExceptionCode;
  if (code != EXCEPTION_FLT_DIVIDE_BY_ZERO && code != EXCEPTION_FLT_INVALID_OPERATION) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  ++gX87Raised;
  exception->ContextRecord->FltSave.StatusWord &= 0x7F00;  // no exception flags, none pending
  return EXCEPTION_CONTINUE_EXECUTION;
}

TEST(Win32Module, PendingX87ExceptionOfTheHostStaysPendingAcrossACaughtFault) {
  Module module = LoadModuleUnderTest();
  MeterInstance* instance = module.dllstartup(0, 0);
  void* handler = AddVectoredExceptionHandler(1, &ClearRaisedX87);
  const unsigned short control = X87ControlWord();
  const unsigned short unmaskedDivide = control & ~0x0004;
  gX87Raised = 0;
  asm volatile("fldcw %0\n\tfld1\n\tfldz\n\tfdivrp" : : "m"(unmaskedDivide));  // 1 / 0
  const char* text = module.getCPUSpeed(instance, "0", "15", reinterpret_cast<const char*>(16));
  unsigned short status = 0;
  asm volatile("fnstsw %0\n\tfnclex\n\tfstp %%st(0)\n\tfldcw %1" : "=m"(status) : "m"(control));
  RemoveVectoredExceptionHandler(handler);
  EXPECT_STREQ(text, kFailureText);
  EXPECT_EQ(gX87Raised, 0) << "the host's exception was raised inside the module";
  EXPECT_EQ(status & 0x0084, 0x0084) << "the exception is no longer pending";
  module.dllshutdown(instance);
  sys::UnloadModule(module.loaded);
}
#endif

// A page of the host's with the given protection, holding an instance's
// bytes as the module left them.
MeterInstance* InstanceInPage(DWORD protection) {
  void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  std::memset(page, 0, 4096);
  DWORD previous = 0;
  VirtualProtect(page, 4096, protection, &previous);
  return static_cast<MeterInstance*>(page);
}

// A stale or corrupted instance, one the module cannot read or cannot write,
// gives the failure text; ending one it cannot read frees nothing and answers
// 0. A host handler that only counts sees each fault and changes nothing.
TEST(Win32Module, InstanceTheModuleCannotUseGivesTheFailureText) {
  Module module = LoadModuleUnderTest();
  void* handler = AddVectoredExceptionHandler(1, &CountHostExceptions);
  for (DWORD protection : {static_cast<DWORD>(PAGE_NOACCESS), static_cast<DWORD>(PAGE_READONLY)}) {
    MeterInstance* unusable = InstanceInPage(protection);
    gAccessViolationsSeen = 0;
    EXPECT_STREQ(module.getCPUSpeed(unusable, "0", "15", "2"), kFailureText) << protection;
    EXPECT_GE(gAccessViolationsSeen, 1);
    if (protection == PAGE_NOACCESS) {
      EXPECT_EQ(module.dllshutdown(unusable), 0);
    }
    VirtualFree(unusable, 0, MEM_RELEASE);
  }
  RemoveVectoredExceptionHandler(handler);
  EXPECT_STREQ(module.getparam(reinterpret_cast<const char*>(16)), "|");
  sys::UnloadModule(module.loaded);
}

// During a guarded fault, the host's first-chance handler takes a lock and
// calls entry points that fault on what it passes. Each entry's own guard
// takes its fault, so the handler returns and frees its lock, and the outer
// call still gives the failure text.
struct NestedCalls {
  Module* module;
  CRITICAL_SECTION lock;
  volatile LONG inside;
  volatile LONG returned;
  const char* answer;
};
NestedCalls gNested{};

LONG CALLBACK CallEntriesWhileDispatching(EXCEPTION_POINTERS* exception) {
  if (exception->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION ||
      gNested.inside != 0) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  gNested.inside = 1;
  EnterCriticalSection(&gNested.lock);
  gNested.answer = gNested.module->getparam(reinterpret_cast<const char*>(16));
  gNested.module->dllshutdown(reinterpret_cast<MeterInstance*>(16));
  LeaveCriticalSection(&gNested.lock);
  ++gNested.returned;
  gNested.inside = 0;
  return EXCEPTION_CONTINUE_SEARCH;
}

TEST(Win32Module, EntryPointsCalledWhileAFaultIsDispatchedTakeTheirOwnFaults) {
  Module module = LoadModuleUnderTest();
  MeterInstance* instance = module.dllstartup(0, 0);
  gNested = NestedCalls{&module, {}, 0, 0, nullptr};
  InitializeCriticalSection(&gNested.lock);
  void* handler = AddVectoredExceptionHandler(1, &CallEntriesWhileDispatching);
  const char* text = module.getCPUSpeed(instance, "0", "15", reinterpret_cast<const char*>(16));
  RemoveVectoredExceptionHandler(handler);
  EXPECT_STREQ(text, kFailureText);
  EXPECT_EQ(gNested.returned, 1) << "the handler never returned";
  EXPECT_STREQ(gNested.answer, "|");
  bool lockFree = false;
  RunOnThreadWithStack(64 * 1024, [&lockFree] {
    lockFree = TryEnterCriticalSection(&gNested.lock) != FALSE;
    if (lockFree) {
      LeaveCriticalSection(&gNested.lock);
    }
  });
  EXPECT_TRUE(lockFree);
  DeleteCriticalSection(&gNested.lock);
  module.dllshutdown(instance);
  sys::UnloadModule(module.loaded);
}

}  // namespace
