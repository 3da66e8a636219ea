// The Windows fault guard: structured exceptions from processor faults inside
// it come back as a result; everything else passes on untouched.
#include <gtest/gtest.h>
#include <windows.h>

#include "platform/fault_guard.h"
#include "tests/module_under_test.h"
#include "tests/processor_faults.h"

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
  EXPECT_STREQ(module.getCPUSpeed(instance, "0", "15", unreadable),
               "An unexpected error was returned");
  EXPECT_EQ(gAccessViolationsSeen, 1);
  EXPECT_TRUE(HostSeesThreadName()) << "after a fault the guard took";
  module.dllshutdown(instance);
  sys::UnloadModule(module.loaded);
  EXPECT_TRUE(HostSeesThreadName()) << "after FreeLibrary";
  RemoveVectoredExceptionHandler(handler);
}

}  // namespace
