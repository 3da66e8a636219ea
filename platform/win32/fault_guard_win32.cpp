// Processor faults on Windows arrive as structured exceptions. GCC has no
// __try/__except, so the guard registers an exception frame of its own on the
// stack, as __try does: it costs no system call, needs no state outside the
// guarded call, and leaves nothing behind when the module is unloaded.
#include <windows.h>

#include "platform/fault_guard.h"

namespace {

// The registration record first, so that the frame the system hands to the
// handler is the whole guard.
struct GuardFrame {
  EXCEPTION_REGISTRATION_RECORD registration;
  void* landing[5];  // __builtin_setjmp buffer
};

// The thread's information block, which holds the head of its chain of
// exception frames; FS:[0x18] points to it. (Read directly: GCC misreads the
// header's segment intrinsic as an out-of-bounds access.)
NT_TIB* ThreadInformation() {
  NT_TIB* information = nullptr;
  asm("movl %%fs:0x18, %0" : "=r"(information));
  return information;
}

// The faults a processor raises while running the guarded code. Everything
// else (debugger notifications, exceptions raised on purpose, stack overflow,
// which needs its guard page back) goes on to the frames further out.
bool IsProcessorFault(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
      return true;
    default:
      return false;
  }
}

[[noreturn]] void Land(GuardFrame* frame, EXCEPTION_RECORD* record) {
  // Runs the unwind handlers of frames registered inside the guarded call and
  // unlinks them. Some versions of RtlUnwind do not keep the callee-saved
  // registers, so the frame is read back from memory afterwards.
  GuardFrame* volatile kept = frame;
  RtlUnwind(&frame->registration, nullptr, record, nullptr);
  GuardFrame* const guard = kept;
  ThreadInformation()->ExceptionList = guard->registration.Next;
  __builtin_longjmp(guard->landing, 1);
}

EXCEPTION_DISPOSITION NTAPI OnException(EXCEPTION_RECORD* record, void* establisherFrame,
                                        CONTEXT* /*context*/, void* /*dispatcherContext*/) {
  if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0 ||
      !IsProcessorFault(record->ExceptionCode)) {
    return ExceptionContinueSearch;
  }
  Land(static_cast<GuardFrame*>(establisherFrame), record);
}

}  // namespace

namespace plat {

bool RunGuarded(GuardedWork work, void* context) noexcept {
  GuardFrame frame{};
  frame.registration.Handler = &OnException;
  frame.registration.Next = ThreadInformation()->ExceptionList;
  if (__builtin_setjmp(frame.landing) != 0) {
    return false;  // the handler has unlinked the frame
  }
  ThreadInformation()->ExceptionList = &frame.registration;
  PublishForGuard();
  work(context);
  PublishForGuard();
  ThreadInformation()->ExceptionList = frame.registration.Next;
  return true;
}

// Nothing to install: the guard lives on the stack of each guarded call.
void RetainFaultInterception() {}
void ReleaseFaultInterception() {}

}  // namespace plat
