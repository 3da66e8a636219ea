#!/usr/bin/python3
"""Reads a Windows DLL of the module, 32-bit or 64-bit, as a PE file, from
the build or from inside the package, and checks what a host relies on and
what it lets into the host's process: the export table, the imports, thread
-local storage, the size and the version block; and the rules a Windows
loader and exception dispatcher enforce that Wine does not: the image's
protections, the declared Windows version, its relocations, the entry
point, and where exceptions find the guard's handler (the 32-bit image's
table of safe handlers, the 64-bit image's unwind data); and the image rules
of Microsoft's release checker (BinSkim) that can be decided without a PDB.

usage: check_dll.py --version X.Y.Z PACKAGE_OR_DLL

Exits 0 when the DLL passes, 1 when it does not."""
import argparse
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
MAX_SIZE = 16 * 1024
KERNEL_SERVICES = {
    "QueryPerformanceFrequency", "QueryPerformanceCounter", "GetCurrentProcess",
    "GetPriorityClass", "SetPriorityClass", "GetCurrentThread", "GetThreadPriority",
    "SetThreadPriority", "GetSystemTimeAsFileTime",
    # The guard puts back the guard page whose alarm it takes.
    "VirtualQuery", "VirtualProtect",
}
C_LIBRARY = {"malloc", "free", "_errno"}
PAGE = 0x1000
# The value a security cookie holds until the loader randomises it.
DEFAULT_COOKIE = 0xBB40E64E
FOUR_GIB = 1 << 32


class Width:
    """What differs between the two forms."""

    def __init__(self, machine, bits, unwind, windows_version, objdump, word, entry_bytes):
        self.machine = machine
        self.bits = bits
        # The kernel service the guard unwinds with.
        self.unwind = unwind
        # The oldest Windows that runs the image: the oldest whose KERNEL32
        # has every import (32-bit), the first for x86-64 (64-bit).
        self.windows_version = windows_version
        self.objdump = objdump
        self.word = word
        # Bytes of arguments the entry point removes as it returns.
        self.entry_bytes = entry_bytes


WIDTHS = {
    pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]:
        Width("i386", 32, "RtlUnwind", (4, 0), "i686-w64-mingw32-objdump", "<I", 12),
    pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]:
        Width("AMD64", 64, "RtlUnwindEx", (5, 2), "x86_64-w64-mingw32-objdump", "<Q", 0),
}


def text(value):
    return value.decode() if isinstance(value, bytes) else value


def export_addresses(pe):
    return {text(symbol.name): symbol.address for symbol in pe.DIRECTORY_ENTRY_EXPORT.symbols}


def check_exports(pe, problems):
    names = [text(symbol.name) for symbol in pe.DIRECTORY_ENTRY_EXPORT.symbols]
    exports = export_addresses(pe)
    expected = set(ENTRY_POINTS) | {f"_{name}@{size}" for name, size in ENTRY_POINTS.items()}
    if sorted(names) != sorted(expected):
        problems.append(f"exports {sorted(names)}, expected {sorted(expected)}")
        return
    for name, size in ENTRY_POINTS.items():
        if exports[name] != exports[f"_{name}@{size}"]:
            problems.append(f"{name} and _{name}@{size} are at different addresses")


def imported(pe):
    """{dll: {function: import address table slot}}."""
    imports = {}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        slots = imports.setdefault(text(entry.dll).lower(), {})
        for symbol in entry.imports:
            slots[text(symbol.name) or f"#{symbol.ordinal}"] = symbol.address
    return imports


def check_imports(pe, width, problems):
    """The meter's kernel services, the guard's unwind, the C heap and errno: no
    more."""
    allowed = {"kernel32.dll": KERNEL_SERVICES | {width.unwind}, "msvcrt.dll": C_LIBRARY}
    imports = imported(pe)
    for dll, names in imports.items():
        if dll not in allowed:
            problems.append(f"imports from {dll}")
            continue
        extra = sorted(set(names) - allowed[dll])
        if extra:
            problems.append(f"imports {', '.join(extra)} from {dll}")
    return {dll: len(names) for dll, names in imports.items()}


def check_tls(pe, problems):
    """No thread-local storage: its callbacks run at every thread start and
    end, before DllMain, and its slots are allocated in every thread."""
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_TLS"]]
    if entry.VirtualAddress or entry.Size:
        problems.append("has thread-local storage")


def check_version(pe, file_name, version, problems):
    """The version block as published, for the project's version X.Y.Z."""
    if not hasattr(pe, "VS_FIXEDFILEINFO") or not hasattr(pe, "FileInfo"):
        problems.append("has no version block")
        return
    major, minor, patch = (int(part) for part in version.split("."))
    fixed = pe.VS_FIXEDFILEINFO[0]
    expected_fixed = {
        "FileVersionMS": major << 16 | minor, "FileVersionLS": patch << 16,
        "ProductVersionMS": major << 16 | minor, "ProductVersionLS": patch << 16,
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
        "FileVersion": f"{version}.0", "ProductVersion": f"{version}.0",
        "FileDescription": "CPU Speed Orbitane Plugin", "ProductName": "CPU Speed Orbitane Plugin",
        "Comments": "Kestrane", "InternalName": file_name, "OriginalFilename": file_name,
    }
    for key, value in expected_strings.items():
        if strings.get(key) != value:
            problems.append(f"{key} is {strings.get(key)!r}, expected {value!r}")
    for key in ("CompanyName", "LegalCopyright"):
        if not strings.get(key):
            problems.append(f"{key} is missing")


def check_protections(pe, width, problems):
    """Data execution prevention and address randomisation on (above 4 GiB
    too for 64 bits, with the image based there), relocations kept,
    structured exception handling not switched off, no demand for a signature
    nor for Control Flow Guard tables the image lacks; pages of at least 4 KiB,
    none both writable and executable, none writable and shared between
    processes, the imports in none that is executable; a checksum that is
    absent or right."""
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    wanted = ["IMAGE_DLLCHARACTERISTICS_NX_COMPAT", "IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE"]
    if width.bits == 64:
        wanted.append("IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA")
        if pe.OPTIONAL_HEADER.ImageBase < FOUR_GIB:
            problems.append(f"image base {pe.OPTIONAL_HEADER.ImageBase:#x} is below 4 GiB")
    for name in wanted:
        if not flags & pefile.DLL_CHARACTERISTICS[name]:
            problems.append(f"{name} is not set")
    if flags & pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_NO_SEH"]:
        problems.append("IMAGE_DLLCHARACTERISTICS_NO_SEH is set: no fault can reach the guard")
    if flags & pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_FORCE_INTEGRITY"]:
        problems.append("IMAGE_DLLCHARACTERISTICS_FORCE_INTEGRITY is set: Windows loads it only "
                        "signed")
    if flags & pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_GUARD_CF"]:
        problems.append("IMAGE_DLLCHARACTERISTICS_GUARD_CF is set without the guard's tables")
    if pe.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS[
            "IMAGE_FILE_RELOCS_STRIPPED"]:
        problems.append("IMAGE_FILE_RELOCS_STRIPPED is set: the image cannot be moved")
    if pe.OPTIONAL_HEADER.SectionAlignment < PAGE:
        problems.append(f"SectionAlignment {pe.OPTIONAL_HEADER.SectionAlignment:#x} is below a "
                        "page")
    if pe.OPTIONAL_HEADER.CheckSum not in (0, pe.generate_checksum()):
        problems.append(f"checksum {pe.OPTIONAL_HEADER.CheckSum:#x} does not match the image "
                        f"({pe.generate_checksum():#x})")
    for entry, what in (("IMAGE_DIRECTORY_ENTRY_IMPORT", "import directory"),
                        ("IMAGE_DIRECTORY_ENTRY_IAT", "import address table")):
        rva = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY[entry]].VirtualAddress
        if rva and is_executable(section_at(pe, rva)):
            problems.append(f"the {what} lies in an executable section")
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


def check_windows_version(pe, width, problems):
    header = pe.OPTIONAL_HEADER
    for kind in ("OperatingSystem", "Subsystem"):
        found = (getattr(header, f"Major{kind}Version"), getattr(header, f"Minor{kind}Version"))
        if found != width.windows_version:
            problems.append(f"{kind} version {found[0]}.{found[1]}, expected "
                            f"{width.windows_version[0]}.{width.windows_version[1]}")


def section_at(pe, rva):
    for section in pe.sections:
        if section.contains_rva(rva):
            return section
    return None


def is_executable(section):
    return section is not None and bool(
        section.Characteristics & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"])


def disassemble(width, dll_path, start=None, length=0x1000):
    """Instructions as (address, mnemonic, operands): from start on, or of
    every executable section."""
    tool = os.environ.get("OBJDUMP") or shutil.which(width.objdump) or "objdump"
    command = [tool, "-d", "--no-show-raw-insn", dll_path]
    if start is not None:
        command += [f"--start-address={start:#x}", f"--stop-address={start + length:#x}"]
    listing = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    for line in listing.splitlines():
        match = re.match(r"\s*([0-9a-f]+):\s+(\S+)\s*(.*)", line)
        if match:
            yield int(match.group(1), 16), match.group(2), match.group(3).strip()


def registered_handlers(instructions):
    """The code addresses the code writes into the handler field of an
    exception frame it links in: the word 4 bytes above a stack slot whose
    address it takes (lea), between two returns that enclose a read of the
    thread's information block (%fs:)."""
    handlers, stretch = set(), []
    for instruction in list(instructions) + [(0, "ret", "")]:
        stretch.append(instruction)
        if not instruction[1].startswith("ret"):
            continue
        if any("%fs:" in operands for _, _, operands in stretch):
            slots = set()
            for _, mnemonic, operands in stretch:
                match = re.fullmatch(r"(-?0x[0-9a-f]+|)\((%e[bs]p)\),%e\w\w", operands)
                if mnemonic == "lea" and match:
                    slots.add((int(match.group(1) or "0", 16), match.group(2)))
            for _, mnemonic, operands in stretch:
                match = re.fullmatch(r"\$0x([0-9a-f]+),(-?0x[0-9a-f]+|)\((%e[bs]p)\)", operands)
                if mnemonic.startswith("mov") and match and \
                        (int(match.group(2) or "0", 16) - 4, match.group(3)) in slots:
                    handlers.add(int(match.group(1), 16))
        stretch = []
    return handlers


def check_security_cookie(pe, problems):
    """32-bit: the load configuration names a security cookie of the image's
    own, in a writable section that is not executable, holding the default
    value, which the loader replaces with a random one."""
    config = getattr(pe, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
    if config is None:
        return
    rva = config.struct.SecurityCookie - pe.OPTIONAL_HEADER.ImageBase
    section = section_at(pe, rva) if config.struct.SecurityCookie else None
    if section is None:
        problems.append("the security cookie could not be located")
        return
    writable = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"]
    if not section.Characteristics & writable or is_executable(section):
        problems.append("the security cookie is not in a writable data section")
    elif pe.get_dword_at_rva(rva) != DEFAULT_COOKIE:
        problems.append(f"the security cookie holds {pe.get_dword_at_rva(rva):#x}, expected "
                        f"{DEFAULT_COOKIE:#x}")


def check_safe_handlers(pe, width, dll_path, problems):
    """32-bit: the load configuration lists the guard's handler, the one the
    code writes into the exception frame it registers on the stack, as the
    image's only safe exception handler; the directory entry has the size
    that Windows XP requires (64)."""
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
    registered = registered_handlers(disassemble(width, dll_path))
    if registered != {base + handler}:
        listed = ", ".join(f"{address - base:#x}" for address in sorted(registered)) or "none"
        problems.append(f"the safe handler {handler:#x} is not the one the code registers "
                        f"({listed})")
    return handler


def calls_through(width, dll_path, begin, end, slot):
    """Whether the code from begin to end calls through the import slot."""
    for _, mnemonic, operands in disassemble(width, dll_path, begin, end - begin):
        if mnemonic.startswith("call") and f"# {slot:#x}" in operands:
            return True
    return False


def code_entries(pe, width, dll_path, extents):
    """Where code is entered: every direct call's target, every jump's target
    outside the function (of extents) the jump is in, every code address the
    code takes (lea), the exports and the entry point."""
    base = pe.OPTIONAL_HEADER.ImageBase
    entries = {base + pe.OPTIONAL_HEADER.AddressOfEntryPoint}
    entries |= {base + address for address in export_addresses(pe).values()}

    def same_function(a, b):
        return any(begin <= a < end and begin <= b < end for begin, end in extents)

    for address, mnemonic, operands in disassemble(width, dll_path):
        direct = re.fullmatch(r"(?:0x)?([0-9a-f]+)(?: <.*>)?", operands)
        taken = re.search(r"# (?:0x)?([0-9a-f]+)", operands)
        if mnemonic.startswith("call") and direct:
            entries.add(int(direct.group(1), 16))
        elif mnemonic.startswith("j") and direct and \
                not same_function(address, int(direct.group(1), 16)):
            entries.add(int(direct.group(1), 16))
        elif mnemonic == "lea" and taken:
            entries.add(int(taken.group(1), 16))
    return {address for address in entries
            if is_executable(section_at(pe, address - base))}


def check_unwind_data(pe, width, dll_path, problems):
    """64-bit: the dispatcher walks the stack with the exception directory.
    Each function in it has unwind data, the table is sorted, every function
    that is entered (and so can be on the stack at a fault) is in it, and
    exactly one names an exception handler: the guard's, which unwinds with
    RtlUnwindEx."""
    functions = getattr(pe, "DIRECTORY_ENTRY_EXCEPTION", [])
    if not functions:
        problems.append("no exception directory: no fault can reach the guard")
        return None
    handlers, previous_end = [], 0
    for function in functions:
        begin, end = function.struct.BeginAddress, function.struct.EndAddress
        unwind = function.unwindinfo
        if unwind is None or unwind.Version not in (1, 2) or \
                section_at(pe, function.struct.UnwindData) is None:
            problems.append(f"the function at {begin:#x} has no unwind data")
            continue
        if begin < previous_end or end <= begin:
            problems.append(f"the function at {begin:#x} is out of order or overlaps")
        previous_end = end
        if unwind.Flags & (unwind.UNW_FLAG_EHANDLER | unwind.UNW_FLAG_UHANDLER):
            handlers.append((begin, unwind.ExceptionHandler))
    base = pe.OPTIONAL_HEADER.ImageBase
    starts = {base + function.struct.BeginAddress for function in functions}
    extents = [(base + function.struct.BeginAddress, base + function.struct.EndAddress)
               for function in functions]
    for address in sorted(code_entries(pe, width, dll_path, extents) - starts):
        # An import's thunk jumps on before it touches the stack: a leaf.
        first = next(disassemble(width, dll_path, address, 16), (0, "", ""))
        if not (first[1] == "jmp" and re.fullmatch(r"\*0x[0-9a-f]+\(%rip\).*", first[2])):
            problems.append(f"the code entered at {address - base:#x} has no unwind data")
    if len(handlers) != 1:
        problems.append(f"{len(handlers)} functions name an exception handler, expected 1")
        return None
    handler = handlers[0][1]
    extent = [(f.struct.BeginAddress, f.struct.EndAddress) for f in functions
              if f.struct.BeginAddress == handler]
    slot = imported(pe).get("kernel32.dll", {}).get(width.unwind)
    if not extent or slot is None or \
            not calls_through(width, dll_path, base + extent[0][0], base + extent[0][1], slot):
        problems.append(f"the exception handler {handler:#x} is not the guard's: it does not "
                        f"unwind with {width.unwind}")
    return handler


def check_relocations(pe, width, data, folder, problems):
    """Relocated to another base, the image keeps no absolute address into
    the old one: in the code, no instruction's operand; in the data, no
    aligned word, where compilers put addresses."""
    old_base = pe.OPTIONAL_HEADER.ImageBase
    old_end = old_base + pe.OPTIONAL_HEADER.SizeOfImage
    moved = pefile.PE(data=data)
    new_base = 0x20000000 if old_base != 0x20000000 else 0x30000000
    moved_path = os.path.join(folder, "relocated.dll")
    try:
        moved.relocate_image(new_base if width.bits == 32 else new_base << 8)
        moved.write(moved_path)
    except (struct.error, pefile.PEFormatError) as error:
        # Relocation also moves what the directories point to, such as a
        # TLS directory's addresses: garbage there cannot be relocated.
        problems.append(f"cannot be relocated: {error}")
        return
    for address, mnemonic, operands in disassemble(width, moved_path):
        for number in re.findall(r"0x([0-9a-f]+)", operands):
            if old_base <= int(number, 16) < old_end:
                problems.append(f"relocated, the code at {address:#x} still has {mnemonic} "
                                f"{operands}")
    size = struct.calcsize(width.word)
    for section in moved.sections:
        if is_executable(section):
            continue
        name = section.Name.rstrip(b"\0").decode(errors="replace")
        contents = section.get_data()
        usable = len(contents) - len(contents) % size
        for index, (value,) in enumerate(struct.iter_unpack(width.word, contents[:usable])):
            if old_base <= value < old_end:
                problems.append(f"relocated, section {name} still holds {value:#x} at offset "
                                f"{index * size:#x}")


def function_body(width, dll_path, start):
    """The instructions of the function at start: up to the return or jump
    out that no branch inside the function leads past."""
    body, furthest = [], start
    for address, mnemonic, operands in disassemble(width, dll_path, start):
        body.append((address, mnemonic, operands))
        target = re.fullmatch(r"(?:0x)?([0-9a-f]+)(?: <.*>)?", operands)
        if mnemonic.startswith("j") and target:
            furthest = max(furthest, int(target.group(1), 16))
        if (mnemonic.startswith("ret") or mnemonic == "jmp") and address >= furthest:
            return body
    return body


def returned_bytes(operands):
    return int(operands.lstrip("$"), 16) if operands else 0


def check_calling_convention(pe, width, dll_path, problems):
    """The entry point returns TRUE and removes its arguments (12 bytes on
    32 bits); on 32 bits each export removes the bytes its decorated name
    says."""
    base = pe.OPTIONAL_HEADER.ImageBase
    entry = function_body(width, dll_path, base + pe.OPTIONAL_HEADER.AddressOfEntryPoint)
    for index, (address, mnemonic, operands) in enumerate(entry):
        if not mnemonic.startswith("ret"):
            continue
        writes = [f"{m} {o}" for _, m, o in entry[:index] if re.search(r"%[er]?ax$|%al$", o)]
        if returned_bytes(operands) != width.entry_bytes or not writes or \
                writes[-1] != "mov $0x1,%eax":
            problems.append(f"the entry point returns at {address:#x} with {mnemonic} {operands}"
                            f" after {writes[-1] if writes else 'nothing in eax'}")
    if width.bits != 32:
        return
    exports = export_addresses(pe)
    for name, size in ENTRY_POINTS.items():
        if name not in exports:
            continue
        returns = [(address, operands) for address, mnemonic, operands in
                   function_body(width, dll_path, base + exports[name])
                   if mnemonic.startswith("ret")]
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


def problems_of(data, file_name, version):
    """Everything wrong with the DLL, and what the report prints of it."""
    pe = pefile.PE(data=data)
    width = WIDTHS.get(pe.FILE_HEADER.Machine)
    if width is None:
        return [f"machine {pe.FILE_HEADER.Machine:#x} is neither i386 nor AMD64"], {}
    problems = []
    expected_magic = pefile.OPTIONAL_HEADER_MAGIC_PE if width.bits == 32 else \
        pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS
    if pe.OPTIONAL_HEADER.Magic != expected_magic:
        return [f"an {width.machine} image without the {width.bits}-bit optional header"], {}
    if not pe.is_dll():
        problems.append("not a DLL")
    if len(data) > MAX_SIZE:
        problems.append(f"{len(data)} bytes, more than {MAX_SIZE}")
    if pe.FILE_HEADER.NumberOfSymbols:
        problems.append("carries a symbol table")
    check_protections(pe, width, problems)
    check_windows_version(pe, width, problems)
    with tempfile.TemporaryDirectory() as folder:
        dll_path = os.path.join(folder, file_name)
        with open(dll_path, "wb") as file:
            file.write(data)
        if width.bits == 32:
            handler = check_safe_handlers(pe, width, dll_path, problems)
            check_security_cookie(pe, problems)
        else:
            handler = check_unwind_data(pe, width, dll_path, problems)
        check_relocations(pe, width, data, folder, problems)
        check_calling_convention(pe, width, dll_path, problems)
    check_exports(pe, problems)
    counts = check_imports(pe, width, problems)
    check_tls(pe, problems)
    check_version(pe, file_name, version, problems)
    return problems, {"width": width, "counts": counts, "handler": handler}


def main(path, version):
    data, file_name = read_dll(path)
    problems, found = problems_of(data, file_name, version)
    for problem in problems:
        print(f"{path}: {problem}")
    if not found:
        return 1
    width, counts, handler = found["width"], found["counts"], found["handler"]
    imports = ", ".join(f"{count} from {dll}" for dll, count in sorted(counts.items()))
    print(f"{file_name}: {width.machine}, {len(data)} bytes, {sum(counts.values())} imported "
          f"functions ({imports}), no thread-local storage")
    if handler is not None:
        where = "safe exception handlers" if width.bits == 32 else "exception handlers named"
        print(f"{file_name}: {where}: the guard's at {handler:#x} alone")
    if not problems:
        version = ".".join(map(str, width.windows_version))
        print(f"{file_name}: 14 exports in 7 pairs, imports within the allowed set, "
              f"version block as published, Windows {version} and later")
        if width.bits == 32:
            print(f"{file_name}: NX and ASLR on, SEH on, no writable code or shared data, every "
                  "address relocated, entry point and exports return as declared, security "
                  "cookie in place")
        else:
            print(f"{file_name}: NX and high-entropy ASLR on, no writable code or shared data, "
                  "every address relocated, unwind data for every function entered")
    return 1 if problems else 0


def arguments():
    parser = argparse.ArgumentParser(description="Checks a Windows DLL of the module.")
    parser.add_argument("--version", required=True, help="the project's version, X.Y.Z")
    parser.add_argument("path", help="the DLL, or a package that holds it")
    return parser.parse_args()


if __name__ == "__main__":
    options = arguments()
    sys.exit(main(options.path, options.version))
