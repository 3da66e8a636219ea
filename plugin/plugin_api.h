// The entry points a host calls, as the module exports them. Hosts include
// this header for the signatures; the module for the declarations.
#pragma once

#include <cstdint>

struct MeterInstance;

// 32-bit Windows hosts call every entry point with the standard system
// convention, in which the callee removes its arguments. x86-64 Windows has
// one calling convention. The DLL's export list names the entry points.
#if defined(_WIN32) && defined(__i386__)
#define METER_CALL __stdcall
#define METER_EXPORT
#elif defined(_WIN32)
#define METER_CALL
#define METER_EXPORT
#else
#define METER_CALL
#define METER_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

// Discovery: constant answers whose pointers never change.
METER_EXPORT const char* METER_CALL init();
METER_EXPORT const char* METER_CALL getparam(const char* functionName);
METER_EXPORT const char* METER_CALL getinfo(std::uint32_t index);
METER_EXPORT std::int32_t METER_CALL dlltype();

// Meter instances and the meter function.
METER_EXPORT MeterInstance* METER_CALL dllstartup(std::uint32_t first, std::uint32_t second);
METER_EXPORT std::int32_t METER_CALL dllshutdown(MeterInstance* instance);
METER_EXPORT const char* METER_CALL GetCPUSpeed(MeterInstance* instance, const char* intervalText,
                                                const char* priorityText, const char* classText);
}

using InitEntry = const char*(METER_CALL*)();
using GetParamEntry = const char*(METER_CALL*)(const char*);
using GetInfoEntry = const char*(METER_CALL*)(std::uint32_t);
using DllTypeEntry = std::int32_t(METER_CALL*)();
using DllStartupEntry = MeterInstance*(METER_CALL*)(std::uint32_t, std::uint32_t);
using DllShutdownEntry = std::int32_t(METER_CALL*)(MeterInstance*);
using GetCPUSpeedEntry = const char*(METER_CALL*)(MeterInstance*, const char*, const char*,
                                                  const char*);
