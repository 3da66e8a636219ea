// The Windows fault guard: structured exceptions from processor faults inside
// it come back as a result; everything else passes on untouched.
#include <gtest/gtest.h>
#include <windows.h>
#include <xmmintrin.h>

#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/fault_guard.h"
#include "platform/win32/guard_filter_win32.h"
#include "tests/module_under_test.h"
#include "tests/processor_faults.h"
#include "tests/test_helpers.h"

namespace {

void Raise(void* fault) { RaiseFault(*static_cast<const ScriptedFault*>(fault)); }
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

// Each kind of fault the processor raises for the instruction it runs, for
// real, whatever code the system gives it (Wine gives other codes than
// Windows for some).
TEST(Win32FaultGuard, EveryProcessorFaultComesBackAsFalse) {
  void* const head = ExceptionChainHead();
  for (ScriptedFault fault :
       {ScriptedFault::kAccessViolation, ScriptedFault::kIllegalInstruction,
        ScriptedFault::kPrivilegedInstruction, ScriptedFault::kDivideByZero,
        ScriptedFault::kIntegerOverflow, ScriptedFault::kX87InvalidOperation,
        ScriptedFault::kX87DivideByZero, ScriptedFault::kX87Overflow, ScriptedFault::kX87Underflow,
        ScriptedFault::kX87Inexact, ScriptedFault::kX87Denormal, ScriptedFault::kX87StackCheck,
        ScriptedFault::kSseDivideByZero}) {
    EXPECT_FALSE(plat::RunGuarded(&Raise, &fault)) << static_cast<int>(fault);
    ClearFloatingPointFaults();
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

// The filter on its own, with made-up records, for what no instruction here
// raises: an in-page error needs a failing disk, a misalignment the
// processor's alignment check, and Windows gives SSE faults codes of its own.
// Exceptions that are no fault of the processor's go on.
TEST(Win32FaultGuard, FilterTakesProcessorFaultsInItsImageAlone) {
  EXCEPTION_RECORD record{};
  record.ExceptionAddress = reinterpret_cast<void*>(&Finishes);
  for (DWORD code :
       std::initializer_list<DWORD>{EXCEPTION_IN_PAGE_ERROR, EXCEPTION_DATATYPE_MISALIGNMENT,
                                    EXCEPTION_ARRAY_BOUNDS_EXCEEDED, STATUS_FLOAT_MULTIPLE_FAULTS,
                                    STATUS_FLOAT_MULTIPLE_TRAPS}) {
    record.ExceptionCode = code;
    EXPECT_TRUE(plat::win32::TakenByGuard(record)) << std::hex << record.ExceptionCode;
  }
  for (DWORD code : std::initializer_list<DWORD>{EXCEPTION_BREAKPOINT, EXCEPTION_SINGLE_STEP,
                                                 EXCEPTION_STACK_OVERFLOW, STATUS_INVALID_HANDLE,
                                                 kHostException}) {
    record.ExceptionCode = code;
    EXPECT_FALSE(plat::win32::TakenByGuard(record)) << std::hex << record.ExceptionCode;
  }
  record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  for (DWORD flags :
       {static_cast<DWORD>(EXCEPTION_UNWINDING), static_cast<DWORD>(EXCEPTION_EXIT_UNWIND)}) {
    record.ExceptionFlags = flags;
    EXPECT_FALSE(plat::win32::TakenByGuard(record)) << "an unwind, flags " << flags;
  }
  record.ExceptionFlags = 0;
  // The image's extent by its own headers: from its base, SizeOfImage bytes.
  const auto base = reinterpret_cast<std::uintptr_t>(&__ImageBase);
  const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + static_cast<std::uintptr_t>(__ImageBase.e_lfanew));
  const std::uintptr_t end = base + headers->OptionalHeader.SizeOfImage;
  const std::pair<std::uintptr_t, bool> addresses[] = {
      {base, true},
      {end - 1, true},
      {end, false},
      {base - 1, false},
      {reinterpret_cast<std::uintptr_t>(&GetTickCount), false}};
  for (const auto& [address, taken] : addresses) {
    record.ExceptionAddress = reinterpret_cast<void*>(address);
    EXPECT_EQ(plat::win32::TakenByGuard(record), taken) << std::hex << address;
  }
}

#if defined(__i386__)
// A host's own frame on the chain, outside the guarded call: a caught fault
// unwinds to the guard's frame and no further, so the host's handler is
// never called, neither to dispatch nor to unwind.
volatile LONG gHostFrameCalls = 0;

EXCEPTION_DISPOSITION NTAPI CountHostFrameCalls(EXCEPTION_RECORD* /*record*/, void* /*frame*/,
                                                CONTEXT* /*context*/, void* /*dispatcher*/) {
  ++gHostFrameCalls;
  return ExceptionContinueSearch;
}

TEST(Win32FaultGuard, ACaughtFaultUnwindsNoFrameOutsideTheGuard) {
  NT_TIB* information = nullptr;
  asm volatile("movl %%fs:0x18, %0" : "=r"(information));
  EXCEPTION_REGISTRATION_RECORD hostFrame{};
  hostFrame.Handler = &CountHostFrameCalls;
  hostFrame.Next = information->ExceptionList;
  information->ExceptionList = &hostFrame;
  gHostFrameCalls = 0;
  ScriptedFault fault = ScriptedFault::kAccessViolation;
  const bool finished = plat::RunGuarded(&Raise, &fault);
  void* const head = information->ExceptionList;
  information->ExceptionList = hostFrame.Next;
  EXPECT_FALSE(finished);
  EXPECT_EQ(head, &hostFrame);
  EXPECT_EQ(gHostFrameCalls, 0);
}
#endif

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
// 0. A host handler that only counts sees one fault per call: the module
// reads the instance before any text, and after a fault on the instance
// itself leaves it alone, also where the interval text is bad too.
TEST(Win32Module, InstanceTheModuleCannotUseGivesTheFailureText) {
  Module module = LoadModuleUnderTest();
  void* handler = AddVectoredExceptionHandler(1, &CountHostExceptions);
  const char* const unreadable = reinterpret_cast<const char*>(16);
  const std::pair<DWORD, const char*> cases[] = {
      {PAGE_NOACCESS, "0"}, {PAGE_READONLY, "0"}, {PAGE_NOACCESS, unreadable}};
  for (const auto& [protection, interval] : cases) {
    MeterInstance* unusable = InstanceInPage(protection);
    gAccessViolationsSeen = 0;
    EXPECT_STREQ(module.getCPUSpeed(unusable, interval, "15", "2"), kFailureText) << protection;
    EXPECT_EQ(gAccessViolationsSeen, 1)
        << protection << (interval == unreadable ? ", bad text" : "");
    if (protection == PAGE_NOACCESS) {
      gAccessViolationsSeen = 0;
      EXPECT_EQ(module.dllshutdown(unusable), 0);
      EXPECT_EQ(gAccessViolationsSeen, 1);
    }
    VirtualFree(unusable, 0, MEM_RELEASE);
  }
  RemoveVectoredExceptionHandler(handler);
  EXPECT_STREQ(module.getparam(unreadable), "|");
  sys::UnloadModule(module.loaded);
}

// A host's memory in a PAGE_GUARD page: the module's first touch raises a
// guard-page violation, which the host's vectored handler sees once, first.
// Where the handler passes it on, each entry point gives its failure answer,
// leaves the memory alone and puts the guard back, which the system took
// off: a page of the host's own, and the guard page of another thread's
// stack, which that thread needs to grow. Where the host continues, the
// access is made again on the plain page and the call is served.
volatile LONG gGuardPagesSeen = 0;
volatile LONG gGuardPagesContinued = 0;

LONG CALLBACK CountGuardPages(EXCEPTION_POINTERS* exception) {
  if (exception->ExceptionRecord->ExceptionCode != STATUS_GUARD_PAGE_VIOLATION) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  ++gGuardPagesSeen;
  return gGuardPagesContinued != 0 ? EXCEPTION_CONTINUE_EXECUTION : EXCEPTION_CONTINUE_SEARCH;
}

bool Guarded(const void* address) {
  MEMORY_BASIC_INFORMATION page{};
  return VirtualQuery(address, &page, sizeof page) == sizeof page &&
         (page.Protect & PAGE_GUARD) != 0;
}

// A thread that waits with its stack's guard page below it, and that page.
struct StackGuardPage {
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE found = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  char* page = nullptr;
  HANDLE thread = nullptr;

  StackGuardPage() {
    thread = CreateThread(nullptr, 0, &FindAndWait, this, 0, nullptr);
    WaitForSingleObject(found, INFINITE);
  }
  static DWORD WINAPI FindAndWait(void* context) {
    auto* self = static_cast<StackGuardPage*>(context);
    MEMORY_BASIC_INFORMATION region{};
    for (auto* at = reinterpret_cast<char*>(&region);
         self->page == nullptr && VirtualQuery(at, &region, sizeof region) != 0;
         at = static_cast<char*>(region.BaseAddress) - 1) {
      if ((region.Protect & PAGE_GUARD) != 0) {
        self->page = static_cast<char*>(region.BaseAddress) + region.RegionSize - 4096;
      }
    }
    SetEvent(self->found);
    WaitForSingleObject(self->done, INFINITE);
    return 0;
  }
  ~StackGuardPage() {
    SetEvent(done);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(done);
    CloseHandle(found);
  }
  StackGuardPage(const StackGuardPage&) = delete;
  StackGuardPage& operator=(const StackGuardPage&) = delete;
};

TEST(Win32Module, MemoryInAGuardPageGivesTheFailureAnswerAndStaysGuarded) {
  Module module = LoadModuleUnderTest();
  MeterInstance* instance = module.dllstartup(0, 0);
  void* handler = AddVectoredExceptionHandler(1, &CountGuardPages);
  enum class Where { kInstance, kIntervalText, kParameterName, kShutdownInstance };
  struct Case {
    const char* what;
    Where where;
    bool onAnotherStack;
    bool hostContinues;
    const char* expected;  // nullptr: dllshutdown's 0
  };
  const char* const labels = module.getparam("GetCPUSpeed");
  for (const Case& test :
       {Case{"instance", Where::kInstance, false, false, kFailureText},
        Case{"interval text", Where::kIntervalText, false, false, kFailureText},
        Case{"getparam name", Where::kParameterName, false, false, "|"},
        Case{"dllshutdown instance", Where::kShutdownInstance, false, false, nullptr},
        Case{"getparam name, host continues", Where::kParameterName, false, true, labels},
        Case{"instance on another stack", Where::kInstance, true, false, kFailureText},
        Case{"interval text on another stack", Where::kIntervalText, true, false, kFailureText},
        Case{"getparam name on another stack", Where::kParameterName, true, false, "|"},
        Case{"dllshutdown instance on another stack", Where::kShutdownInstance, true, false,
             nullptr}}) {
    const StackGuardPage stack;
    char* page = stack.page;
    char before[4096];
    if (!test.onAnotherStack) {
      page =
          static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
      ASSERT_NE(page, nullptr);
      std::memset(page, 0x5A, 4096);
      std::strcpy(page, test.where == Where::kParameterName ? "GetCPUSpeed" : "0");
      std::memcpy(before, page, sizeof before);
      DWORD previous = 0;
      VirtualProtect(page, 4096, PAGE_READWRITE | PAGE_GUARD, &previous);
    }
    ASSERT_NE(page, nullptr) << test.what << ": no guard page below the thread's stack";
    gGuardPagesSeen = 0;
    gGuardPagesContinued = test.hostContinues ? 1 : 0;
    auto* inPage = reinterpret_cast<MeterInstance*>(page);
    switch (test.where) {
      case Where::kInstance:
        EXPECT_STREQ(module.getCPUSpeed(inPage, "0", "15", "2"), test.expected) << test.what;
        break;
      case Where::kIntervalText:
        EXPECT_STREQ(module.getCPUSpeed(instance, page, "15", "2"), test.expected) << test.what;
        break;
      case Where::kParameterName:
        EXPECT_STREQ(module.getparam(page), test.expected) << test.what;
        break;
      case Where::kShutdownInstance:
        EXPECT_EQ(module.dllshutdown(inPage), 0) << test.what;
        break;
    }
    EXPECT_EQ(gGuardPagesSeen, 1) << test.what;
    EXPECT_EQ(Guarded(page), !test.hostContinues) << test.what;
    if (!test.onAnotherStack) {
      DWORD previous = 0;
      VirtualProtect(page, 4096, PAGE_READWRITE, &previous);
      EXPECT_EQ(std::memcmp(page, before, sizeof before), 0) << test.what << " was written";
      VirtualFree(page, 0, MEM_RELEASE);
    }
  }
  RemoveVectoredExceptionHandler(handler);
  module.dllshutdown(instance);
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
