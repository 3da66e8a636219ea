#!/usr/bin/python3
"""Reads the built Windows DLL as a PE file and checks what a host relies on:
the export table, the imports and the version block."""
import os
import sys

import pefile

ENTRY_POINTS = {
    "init": 0, "getparam": 4, "getinfo": 4, "dlltype": 0,
    "dllstartup": 8, "dllshutdown": 4, "GetCPUSpeed": 16,
}
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ntdll.dll", "user32.dll", "advapi32.dll"}


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
    for entry in pe.DIRECTORY_ENTRY_IMPORT:
        name = text(entry.dll).lower()
        if name not in SYSTEM_DLLS:
            problems.append(f"imports from {name}, which is not a system DLL")


def check_version(pe, path, problems):
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
    file_name = os.path.basename(path)
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


def main(path):
    pe = pefile.PE(path)
    problems = []
    if pe.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]:
        problems.append("not a 32-bit x86 image")
    if not pe.is_dll():
        problems.append("not a DLL")
    check_exports(pe, problems)
    check_imports(pe, problems)
    check_version(pe, path, problems)
    for problem in problems:
        print(f"{path}: {problem}")
    if not problems:
        print(f"{path}: 14 exports in 7 pairs, system imports only, version block as published")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
