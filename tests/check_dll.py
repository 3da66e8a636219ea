#!/usr/bin/python3
"""Reads the Windows DLL as a PE file, from the build or from inside the
package, and checks what a host relies on and what it lets into the host's
process: the export table, the imports, thread-local callbacks, the size and
the version block."""
import os
import sys
import zipfile

import pefile

ENTRY_POINTS = {
    "init": 0, "getparam": 4, "getinfo": 4, "dlltype": 0,
    "dllstartup": 8, "dllshutdown": 4, "GetCPUSpeed": 16,
}
MAX_SIZE = 64 * 1024
# The kernel services the meter calls, and what a MinGW C runtime's DLL
# start-up may add.
ALLOWED_IMPORTS = {
    "kernel32.dll": {
        "QueryPerformanceFrequency", "QueryPerformanceCounter", "GetCurrentProcess",
        "GetPriorityClass", "SetPriorityClass", "GetCurrentThread", "GetThreadPriority",
        "SetThreadPriority", "GetSystemTimeAsFileTime", "RtlUnwind",
        "InitializeCriticalSection", "EnterCriticalSection", "LeaveCriticalSection",
        "DeleteCriticalSection", "GetModuleHandleA", "GetModuleHandleW", "GetProcAddress",
        "LoadLibraryA", "LoadLibraryW", "FreeLibrary", "Sleep", "TlsGetValue", "VirtualProtect",
        "VirtualQuery", "GetLastError",
    },
    "msvcrt.dll": {
        "malloc", "free", "calloc", "realloc", "memset", "memcpy", "memmove", "memcmp", "strlen",
        "strcmp", "strncmp", "_initterm", "_amsg_exit", "__dllonexit", "_onexit", "_lock",
        "_unlock", "abort", "_errno",
    },
}


def text(value):
    return value.decode() if isinstance(value, bytes) else value


def check_exports(pe, problems):
    exports = {text(symbol.name): symbol.address for symbol in pe.DIRECTORY_ENTRY_EXPORT.symbols}
    expected = set(ENTRY_POINTS) | {f"_{name}@{size}" for name, size in ENTRY_POINTS.items()}
    if set(exports) != expected:
        problems.append(f"exports {sorted(exports)}, expected {sorted(expected)}")
        return
    for name, size in ENTRY_POINTS.items():
        if exports[name] != exports[f"_{name}@{size}"]:
            problems.append(f"{name} and _{name}@{size} are at different addresses")


def check_imports(pe, problems):
    counts = {}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = text(entry.dll).lower()
        allowed = ALLOWED_IMPORTS.get(dll)
        if allowed is None:
            problems.append(f"imports from {dll}")
            continue
        names = [text(symbol.name) or f"#{symbol.ordinal}" for symbol in entry.imports]
        counts[dll] = len(names)
        extra = sorted(set(names) - allowed)
        if extra:
            problems.append(f"imports {', '.join(extra)} from {dll}")
    return counts


def check_tls(pe, problems):
    """Callbacks the loader runs at every thread start and end, before DllMain."""
    tls = getattr(pe, "DIRECTORY_ENTRY_TLS", None)
    if tls is None or tls.struct.AddressOfCallBacks == 0:
        return 0
    base = pe.OPTIONAL_HEADER.ImageBase
    callbacks = 0
    rva = tls.struct.AddressOfCallBacks - base
    while pe.get_dword_at_rva(rva + 4 * callbacks):
        callbacks += 1
    if callbacks:
        problems.append(f"{callbacks} thread-local callbacks")
    return callbacks


def check_version(pe, file_name, problems):
    fixed = pe.VS_FIXEDFILEINFO[0]
    expected_fixed = {
        "FileVersionMS": 0x00010001, "FileVersionLS": 0,
        "ProductVersionMS": 0x00010001, "ProductVersionLS": 0,
        "FileFlagsMask": 0x3F, "FileFlags": 0, "FileOS": 0x4, "FileType": 0x2,
        "FileSubtype": 0, "FileDateMS": 0, "FileDateLS": 0,
    }
    for field, value in expected_fixed.items():
        if getattr(fixed, field) != value:
            problems.append(f"{field} is {getattr(fixed, field):#x}, expected {value:#x}")

    strings, translations = {}, []
    for info in pe.FileInfo[0]:
        if text(info.Key) == "StringFileInfo":
            for table in info.StringTable:
                if text(table.LangID).upper() != "040904B0":
                    problems.append(f"string table {text(table.LangID)}, expected 040904B0")
                strings.update({text(k): text(v) for k, v in table.entries.items()})
        elif text(info.Key) == "VarFileInfo":
            for var in info.Var:
                translations.extend(var.entry.values())
    if translations != ["0x0409 0x04b0"]:
        problems.append(f"translations {translations}, expected 0x0409 0x04b0")
    expected_strings = {
        "FileVersion": "1.1.0.0", "ProductVersion": "1.1.0.0",
        "FileDescription": "CPU Speed Orbitane Plugin", "ProductName": "CPU Speed Orbitane Plugin",
        "Comments": "Kestrane", "InternalName": file_name, "OriginalFilename": file_name,
    }
    for key, value in expected_strings.items():
        if strings.get(key) != value:
            problems.append(f"{key} is {strings.get(key)!r}, expected {value!r}")
    for key in ("CompanyName", "LegalCopyright"):
        if not strings.get(key):
            problems.append(f"{key} is missing")


def read_dll(path):
    """The DLL's bytes and file name, from the file itself or from the one
    DLL inside a package."""
    if not zipfile.is_zipfile(path):
        with open(path, "rb") as file:
            return file.read(), os.path.basename(path)
    with zipfile.ZipFile(path) as package:
        members = [name for name in package.namelist() if name.lower().endswith(".dll")]
        if len(members) != 1:
            raise SystemExit(f"{path}: holds {len(members)} DLLs, expected one")
        return package.read(members[0]), os.path.basename(members[0])


def main(path):
    data, file_name = read_dll(path)
    pe = pefile.PE(data=data)
    problems = []
    if pe.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]:
        problems.append("not a 32-bit x86 image")
    if not pe.is_dll():
        problems.append("not a DLL")
    if len(data) > MAX_SIZE:
        problems.append(f"{len(data)} bytes, more than {MAX_SIZE}")
    if pe.FILE_HEADER.NumberOfSymbols:
        problems.append("carries a symbol table")
    check_exports(pe, problems)
    counts = check_imports(pe, problems)
    callbacks = check_tls(pe, problems)
    check_version(pe, file_name, problems)
    for problem in problems:
        print(f"{path}: {problem}")
    imports = ", ".join(f"{count} from {dll}" for dll, count in sorted(counts.items()))
    print(f"{file_name}: {len(data)} bytes, {sum(counts.values())} imported functions "
          f"({imports}), {callbacks} thread-local callbacks")
    if not problems:
        print(f"{file_name}: 14 exports in 7 pairs, imports within the allowed set, "
              "version block as published")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
