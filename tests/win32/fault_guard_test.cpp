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

void* ExceptionChainHead() {
  NT_TIB* information = nullptr;
  asm volatile("movl %%fs:0x18, %0" : "=r"(information));
  return information->ExceptionList;
}

volatile LONG gHostSaw = 0;

// A host's own vectored handler: takes the exceptions that are its own.
LONG CALLBACK HostHandler(EXCEPTION_POINTERS* exception) {
  const DWORD code = exception->ExceptionRecord->ExceptionCode;
  if (code == kHostException) {
    gHostSaw = static_cast<LONG>(code);
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  if (code == EXCEPTION_ILLEGAL_INSTRUCTION && exception->ContextRecord->Eip != 0 &&
      *reinterpret_cast<const unsigned short*>(exception->ContextRecord->Eip) == 0x0B0F) {
    gHostSaw = static_cast<LONG>(code);
    exception->ContextRecord->Eip += 2;  // past the ud2 outside the guard
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

// Programs name their threads for debuggers by raising this exception; a
// module that changes the process's exception handling at load would hide it
// from the host's own handler.
constexpr DWORD kThreadNameException = 0x406D1388;
volatile LONG gThreadNamesSeen = 0;

LONG CALLBACK CountThreadNames(EXCEPTION_POINTERS* exception) {
  if (exception->ExceptionRecord->ExceptionCode != kThreadNameException) {
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

TEST(Win32Module, LoadingLeavesTheProcesssExceptionHandlingAlone) {
  void* handler = AddVectoredExceptionHandler(1, &CountThreadNames);
  ASSERT_NE(handler, nullptr);
  EXPECT_TRUE(HostSeesThreadName()) << "before LoadLibrary";
  Module module = LoadModuleUnderTest();
  MeterInstance* instance = module.dllstartup(0, 0);
  EXPECT_TRUE(HostSeesThreadName()) << "while the DLL is loaded";
  module.dllshutdown(instance);
  sys::UnloadModule(module.loaded);
  EXPECT_TRUE(HostSeesThreadName()) << "after FreeLibrary";
  RemoveVectoredExceptionHandler(handler);
}

}  // namespace
