// Processor faults on Windows arrive as structured exceptions. GCC has no
// __try/__except, so the guard registers an exception frame of its own on the
// stack, as __try does: it costs no system call, needs no state outside the
// guarded call, and leaves nothing behind when the module is unloaded.
//
// Windows calls a handler registered on the stack only where the image that
// holds it lists it in its table of safe exception handlers, which the
// image's load configuration points to. The guard's handler is the one entry
// of that table.
#include <windows.h>

#include <cstddef>

#include "platform/fault_guard.h"
#include "platform/win32/guard_filter_win32.h"

namespace {

// The registration record first, so that the frame the system hands to the
// handler is the whole guard.
struct GuardFrame {
  EXCEPTION_REGISTRATION_RECORD registration;
  void* landing[5];  // __builtin_setjmp buffer
  const void* faultAddress;
};

// The thread's information block, which holds the head of its chain of
// exception frames; FS:[0x18] points to it. (Read directly: GCC misreads the
// header's segment intrinsic as an out-of-bounds access.)
NT_TIB* ThreadInformation() {
  NT_TIB* information = nullptr;
  asm("movl %%fs:0x18, %0" : "=r"(information));
  return information;
}

// Runs the unwind handlers of the frames registered inside the guarded call
// and unlinks them, as compilers' own __except support calls RtlUnwind: the
// continuation address is the instruction after the call, where the unwind
// comes back to. RtlUnwind need not keep EBX, ESI and EDI. Its import slot is
// called by name, which needs no register to address it.
void UnwindTo(GuardFrame* target, EXCEPTION_RECORD* record) {
  asm volatile(
      "pushl $0\n\t"
      "pushl %%ecx\n\t"
      "pushl $1f\n\t"
      "pushl %%eax\n\t"
      "call *__imp__RtlUnwind@16\n"
      "1:"
      : "+a"(target), "+c"(record)
      :
      : "edx", "ebx", "esi", "edi", "memory", "cc");
}

[[noreturn]] void Land(GuardFrame* frame, EXCEPTION_RECORD* record) {
  // Some versions of RtlUnwind do not keep the callee-saved registers, so
  // the frame is read back from memory afterwards.
  GuardFrame* volatile kept = frame;
  UnwindTo(frame, record);
  GuardFrame* const guard = kept;
  ThreadInformation()->ExceptionList = guard->registration.Next;
  __builtin_longjmp(guard->landing, 1);
}

// The guard's handler, under a fixed name for the table of safe handlers.
EXCEPTION_DISPOSITION NTAPI OnException(EXCEPTION_RECORD* record, void* establisherFrame,
                                        CONTEXT* context,
                                        void* dispatcherContext) asm("meter_guard_on_exception");

EXCEPTION_DISPOSITION NTAPI OnException(EXCEPTION_RECORD* record, void* establisherFrame,
                                        CONTEXT* /*context*/, void* /*dispatcherContext*/) {
  if (!plat::win32::TakenByGuard(*record)) {
    return ExceptionContinueSearch;
  }
  auto* frame = static_cast<GuardFrame*>(establisherFrame);
  frame->faultAddress = plat::win32::FaultAddress(*record);
  plat::win32::RearmGuardPage(*record);
  Land(frame, record);
}

// The table of safe exception handlers: the image-relative address of each
// handler that a frame on the stack may name. Only the assembler can write an
// image-relative address.
asm(".section .rdata,\"dr\"\n"
    ".p2align 2\n"
    "meter_safe_handlers:\n"
    "  .rva meter_guard_on_exception\n"
    ".text\n");
extern "C" const DWORD kSafeHandlers[1] asm("meter_safe_handlers");

// The load configuration, as far as the handler table: the fields Windows XP
// reads (Microsoft's PE format documentation, "The Load Configuration
// Structure"). The structure says it is 72 bytes long, and the build makes
// the image's directory entry point to it with the size 64, the value XP
// takes as the version of the structure; later versions of Windows accept
// 64 and read the fields the structure's own size covers. The linkers do not
// fill that entry for a MinGW image (cmake/load_config_directory.py does).
//
// The security cookie is one of the module's own, holding the default value,
// which the loader replaces with a random one: a release checker takes a
// load configuration without one for a damaged image. No code of the module
// reads it (nothing is built with stack protection).
struct LoadConfig {
  DWORD size;
  DWORD unused[14];  // time stamp to edit list: none used here
  DWORD* securityCookie;
  const DWORD* handlerTable;
  DWORD handlerCount;
};
static_assert(offsetof(LoadConfig, securityCookie) ==
              offsetof(IMAGE_LOAD_CONFIG_DIRECTORY32, SecurityCookie));
static_assert(offsetof(LoadConfig, handlerTable) ==
              offsetof(IMAGE_LOAD_CONFIG_DIRECTORY32, SEHandlerTable));
static_assert(offsetof(LoadConfig, handlerCount) ==
              offsetof(IMAGE_LOAD_CONFIG_DIRECTORY32, SEHandlerCount));
static_assert(sizeof(LoadConfig) == 72);

// Writable, so that the loader can randomise it.
constexpr DWORD kDefaultSecurityCookie = 0xBB40E64E;
DWORD gSecurityCookie = kDefaultSecurityCookie;

}  // namespace

// The name linkers and tools look for.
extern "C" __attribute__((used)) const LoadConfig kLoadConfig asm("__load_config_used") = {
    sizeof(LoadConfig), {}, &gSecurityCookie, kSafeHandlers, 1};

namespace plat {

bool RunGuarded(GuardedWork work, void* context, const void** faultAddress) noexcept {
  GuardFrame frame{};
  frame.registration.Handler = &OnException;
  frame.registration.Next = ThreadInformation()->ExceptionList;
  if (__builtin_setjmp(frame.landing) != 0) {
    // The handler has unlinked the frame.
    if (faultAddress != nullptr) {
      *faultAddress = static_cast<volatile GuardFrame*>(&frame)->faultAddress;
    }
    return false;
  }
  ThreadInformation()->ExceptionList = &frame.registration;
  PublishForGuard();
  work(context);
  PublishForGuard();
  ThreadInformation()->ExceptionList = frame.registration.Next;
  return true;
}

}  // namespace plat
