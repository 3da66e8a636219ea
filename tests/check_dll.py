#!/usr/bin/python3
"""Reads the Windows DLL as a PE file, from the build or from inside the
package, and checks what a host relies on and what it lets into the host's
process: the export table, the imports, thread-local callbacks, the size and
the version block; and the rules a Windows loader enforces that Wine does
not: the image's protections, its table of safe exception handlers, its
relocations and the calling convention of its entry point and exports."""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
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


def check_protections(pe, problems):
    """Data execution prevention and address randomisation on, structured
    exception handling not switched off; no page both writable and
    executable, none writable and shared between processes."""
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    for name in ("IMAGE_DLLCHARACTERISTICS_NX_COMPAT", "IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE"):
        if not flags & pefile.DLL_CHARACTERISTICS[name]:
            problems.append(f"{name} is not set")
    if flags & pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_NO_SEH"]:
        problems.append("IMAGE_DLLCHARACTERISTICS_NO_SEH is set: no fault can reach the guard")
    writable = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"]
    for section in pe.sections:
        name = section.Name.rstrip(b"\0").decode(errors="replace")
        characteristics = section.Characteristics
        if characteristics & writable and characteristics & pefile.SECTION_CHARACTERISTICS[
                "IMAGE_SCN_MEM_EXECUTE"]:
            problems.append(f"section {name} is writable and executable")
        if characteristics & writable and characteristics & pefile.SECTION_CHARACTERISTICS[
                "IMAGE_SCN_MEM_SHARED"]:
            problems.append(f"section {name} is writable and shared")


def section_at(pe, rva):
    for section in pe.sections:
        if section.contains_rva(rva):
            return section
    return None


def is_executable(section):
    return section is not None and bool(
        section.Characteristics & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"])


def check_safe_handlers(pe, problems):
    """The load configuration lists the guard's handler, the one the code
    registers on the stack, as the image's only safe exception handler; the
    directory entry has the size that Windows XP requires (64)."""
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]]
    config = getattr(pe, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
    if entry.VirtualAddress == 0 or config is None:
        problems.append("no load configuration: Windows takes any address as a safe handler")
        return None
    if entry.Size != 64:
        problems.append(f"load configuration directory of {entry.Size} bytes, expected 64")
    if config.struct.Size < 72:
        problems.append(f"load configuration of {config.struct.Size} bytes has no handler table")
        return None
    if config.struct.SEHandlerCount != 1 or config.struct.SEHandlerTable == 0:
        problems.append(f"{config.struct.SEHandlerCount} safe handlers listed, expected 1")
        return None
    base = pe.OPTIONAL_HEADER.ImageBase
    handler = pe.get_dword_at_rva(config.struct.SEHandlerTable - base)
    if not is_executable(section_at(pe, handler)):
        problems.append(f"the safe handler {handler:#x} is not code")
        return None
    # The guard writes its handler's address into the frame it registers.
    code = b"".join(section.get_data() for section in pe.sections if is_executable(section))
    if (base + handler).to_bytes(4, "little") not in code:
        problems.append(f"the safe handler {handler:#x} is not the one the code registers")
    return handler


def objdump():
    return os.environ.get("OBJDUMP") or shutil.which("i686-w64-mingw32-objdump") or "objdump"


def disassemble(dll_path, start=None, length=0x1000):
    """Instructions as (address, mnemonic, operands): from start on, or of
    every executable section."""
    command = [objdump(), "-d", "--no-show-raw-insn", dll_path]
    if start is not None:
        command += [f"--start-address={start:#x}", f"--stop-address={start + length:#x}"]
    listing = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    for line in listing.splitlines():
        match = re.match(r"\s*([0-9a-f]+):\s+(\S+)\s*(.*)", line)
        if match:
            yield int(match.group(1), 16), match.group(2), match.group(3).strip()


def check_relocations(pe, data, folder, problems):
    """Relocated to another base, the image keeps no absolute address into
    the old one: in the code, no instruction's operand; in the data, no
    aligned word, where compilers put addresses."""
    old_base = pe.OPTIONAL_HEADER.ImageBase
    old_end = old_base + pe.OPTIONAL_HEADER.SizeOfImage
    moved = pefile.PE(data=data)
    moved.relocate_image(0x20000000 if old_base != 0x20000000 else 0x30000000)
    moved_path = os.path.join(folder, "relocated.dll")
    moved.write(moved_path)
    for address, mnemonic, operands in disassemble(moved_path):
        for number in re.findall(r"0x([0-9a-f]+)", operands):
            if old_base <= int(number, 16) < old_end:
                problems.append(f"relocated, the code at {address:#x} still has {mnemonic} "
                                f"{operands}")
    for section in moved.sections:
        if is_executable(section):
            continue
        name = section.Name.rstrip(b"\0").decode(errors="replace")
        contents = section.get_data()
        for index, (value,) in enumerate(struct.iter_unpack("<I", contents[:len(contents) & ~3])):
            if old_base <= value < old_end:
                problems.append(f"relocated, section {name} still holds {value:#x} at offset "
                                f"{index * 4:#x}")


def function_body(dll_path, start):
    """The instructions of the function at start: up to the return or jump
    out that no branch inside the function leads past."""
    body, furthest = [], start
    for address, mnemonic, operands in disassemble(dll_path, start):
        body.append((address, mnemonic, operands))
        target = re.fullmatch(r"(?:0x)?([0-9a-f]+)(?: <.*>)?", operands)
        if mnemonic.startswith("j") and target:
            furthest = max(furthest, int(target.group(1), 16))
        if (mnemonic.startswith("ret") or mnemonic == "jmp") and address >= furthest:
            return body
    return body


def returned_bytes(operands):
    return int(operands.lstrip("$"), 16) if operands else 0


def check_calling_convention(pe, dll_path, problems):
    """The entry point returns TRUE and removes its 12 bytes of arguments;
    each export removes the bytes its decorated name says."""
    base = pe.OPTIONAL_HEADER.ImageBase
    entry = function_body(dll_path, base + pe.OPTIONAL_HEADER.AddressOfEntryPoint)
    for index, (address, mnemonic, operands) in enumerate(entry):
        if not mnemonic.startswith("ret"):
            continue
        writes = [f"{m} {o}" for _, m, o in entry[:index] if re.search(r"%e?ax$|%al$", o)]
        if returned_bytes(operands) != 12 or not writes or writes[-1] != "mov $0x1,%eax":
            problems.append(f"the entry point returns at {address:#x} with {mnemonic} {operands}"
                            f" after {writes[-1] if writes else 'nothing in eax'}")
    exports = {text(symbol.name): symbol.address for symbol in pe.DIRECTORY_ENTRY_EXPORT.symbols}
    for name, size in ENTRY_POINTS.items():
        if name not in exports:
            continue
        returns = [(address, operands) for address, mnemonic, operands in
                   function_body(dll_path, base + exports[name]) if mnemonic.startswith("ret")]
        if not returns:
            problems.append(f"{name} has no return of its own")
        for address, operands in returns:
            if returned_bytes(operands) != size:
                problems.append(f"{name} returns at {address:#x} removing "
                                f"{returned_bytes(operands)} bytes, _{name}@{size} says {size}")


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
    check_protections(pe, problems)
    handler = check_safe_handlers(pe, problems)
    with tempfile.TemporaryDirectory() as folder:
        dll_path = os.path.join(folder, file_name)
        with open(dll_path, "wb") as file:
            file.write(data)
        check_relocations(pe, data, folder, problems)
        check_calling_convention(pe, dll_path, problems)
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
    if handler is not None:
        print(f"{file_name}: safe exception handlers: the guard's at {handler:#x} alone")
    if not problems:
        print(f"{file_name}: 14 exports in 7 pairs, imports within the allowed set, "
              "version block as published")
        print(f"{file_name}: NX and ASLR on, SEH on, no writable code or shared data, every "
              "address relocated, entry point and exports return as declared")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
