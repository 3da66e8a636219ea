#!/usr/bin/python3
"""Checks the checker: doctored copies of a packaged DLL, each with one fault
that Wine would not notice and Windows would, must each be refused by
check_dll.py for that fault.

Also checks the 32-bit post-link step: given the build's DLL, which still
has its symbols, it must refuse a copy whose table of safe handlers lists
another handler.

usage: check_dll_test.py PACKAGE_OR_DLL...
       check_dll_test.py --post-link NM DLL"""
import os
import shutil
import sys
import tempfile

import pefile

import check_dll

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cmake"))
import load_config_directory  # noqa: E402

LOAD_CONFIG = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]
TLS = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_TLS"]
EXCEPTION = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXCEPTION"]
AMD64 = pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]
RUNTIME_FUNCTION_SIZE = 12
NO_SEH = pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_NO_SEH"]
HIGH_ENTROPY_VA = pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA"]
NX_COMPAT = pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_NX_COMPAT"]
MEM_WRITE = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"]


def another_function(pe):
    """The address of code that is not the guard's handler: an entry point."""
    return check_dll.export_addresses(pe)["GetCPUSpeed"]


def load_config_of_72_bytes(pe):
    pe.OPTIONAL_HEADER.DATA_DIRECTORY[LOAD_CONFIG].Size = 72


def safe_handler_elsewhere(pe):
    """Lists another address in the code whose four bytes the code holds too
    (a label the guard pushes or stores), which a search for the listed
    address among the code's bytes would take for the handler."""
    base = pe.OPTIONAL_HEADER.ImageBase
    table = pe.DIRECTORY_ENTRY_LOAD_CONFIG.struct.SEHandlerTable - base
    handler = pe.get_dword_at_rva(table)
    text = next(section for section in pe.sections if check_dll.is_executable(section))
    code = text.get_data()
    held = {int.from_bytes(code[at:at + 4], "little") - base for at in range(len(code) - 3)}
    pe.set_dword_at_rva(table, min(rva for rva in held if rva != handler and text.contains_rva(rva)))


def two_safe_handlers(pe):
    pe.DIRECTORY_ENTRY_LOAD_CONFIG.struct.SEHandlerCount = 2


def no_nx_compat(pe):
    pe.OPTIONAL_HEADER.DllCharacteristics &= ~NX_COMPAT


def padded_past_16_kib(pe):
    """Returns what to append to the image: bytes past its end."""
    return bytes(check_dll.MAX_SIZE + 1 - len(pe.__data__))


def decorated_name_elsewhere(pe):
    """_GetCPUSpeed@16 points at another entry point than GetCPUSpeed."""
    symbols = {check_dll.text(symbol.name): symbol for symbol in pe.DIRECTORY_ENTRY_EXPORT.symbols}
    pe.set_dword_at_offset(symbols["_GetCPUSpeed@16"].address_offset, symbols["init"].address)


def imports_from_user32(pe):
    """Renames the import msvcrt.dll to user32.dll, in place."""
    entry = next(entry for entry in pe.DIRECTORY_ENTRY_IMPORT if entry.dll.lower() == b"msvcrt.dll")
    pe.set_bytes_at_rva(entry.struct.Name, b"user32.dll\0")


def writable_code(pe):
    text = next(section for section in pe.sections if check_dll.is_executable(section))
    text.Characteristics |= MEM_WRITE


def no_seh(pe):
    pe.OPTIONAL_HEADER.DllCharacteristics |= NO_SEH


def guarded_function(pe):
    return next(function for function in pe.DIRECTORY_ENTRY_EXCEPTION
                if function.unwindinfo.Flags & function.unwindinfo.UNW_FLAG_EHANDLER)


def handler_named_nowhere(pe):
    guarded_function(pe).unwindinfo.Flags = 0


def handler_elsewhere(pe):
    guarded_function(pe).unwindinfo.ExceptionHandler = another_function(pe)


def low_entropy_randomisation(pe):
    pe.OPTIONAL_HEADER.DllCharacteristics &= ~HIGH_ENTROPY_VA


def windows_version_6(pe):
    pe.OPTIONAL_HEADER.MajorOperatingSystemVersion = 6


def subsystem_version_6(pe):
    pe.OPTIONAL_HEADER.MajorSubsystemVersion = 6


def minor_windows_version_up(pe):
    pe.OPTIONAL_HEADER.MinorOperatingSystemVersion += 1


def amd64_machine(pe):
    pe.FILE_HEADER.Machine = AMD64


def unwinds_with_rtlunwind(pe):
    """Renames the import RtlUnwindEx to RtlUnwind, in place."""
    symbol = next(symbol for entry in pe.DIRECTORY_ENTRY_IMPORT for symbol in entry.imports
                  if symbol.name == b"RtlUnwindEx")
    pe.set_bytes_at_offset(symbol.name_offset, b"RtlUnwind\0")


def empty_tls_directory(pe):
    """A TLS directory entry with an address and a size of 0."""
    pe.OPTIONAL_HEADER.DATA_DIRECTORY[TLS].VirtualAddress = pe.sections[0].VirtualAddress
    pe.OPTIONAL_HEADER.DATA_DIRECTORY[TLS].Size = 0


FUNCTION_FIELDS = ("BeginAddress", "EndAddress", "UnwindData")


def runtime_functions(pe):
    """The exception directory's entries, whose fields pefile writes back."""
    return [function.struct for function in pe.DIRECTORY_ENTRY_EXCEPTION]


def index_of_entry_point(pe, entries):
    begin = another_function(pe)
    return next(index for index, entry in enumerate(entries) if entry.BeginAddress == begin)


def copy_entry(to, source):
    for field in FUNCTION_FIELDS:
        setattr(to, field, getattr(source, field))


def pdata_entry_dropped(pe):
    """Drops the unwind entry of an exported function: the ones after it move
    up and the directory is one entry shorter."""
    entries = runtime_functions(pe)
    for at in range(index_of_entry_point(pe, entries), len(entries) - 1):
        copy_entry(entries[at], entries[at + 1])
    pe.OPTIONAL_HEADER.DATA_DIRECTORY[EXCEPTION].Size -= RUNTIME_FUNCTION_SIZE


def pdata_entries_swapped(pe):
    entries = runtime_functions(pe)
    at = min(index_of_entry_point(pe, entries), len(entries) - 2)
    first = {field: getattr(entries[at], field) for field in FUNCTION_FIELDS}
    copy_entry(entries[at], entries[at + 1])
    for field, value in first.items():
        setattr(entries[at + 1], field, value)


# Rules that hold for both widths.
EITHER_WIDTH = [(no_nx_compat, "NX_COMPAT is not set"),
                (padded_past_16_kib, "more than 16384"),
                (decorated_name_elsewhere, "GetCPUSpeed and _GetCPUSpeed@16 are at different"),
                (imports_from_user32, "imports from user32.dll"),
                (writable_code, "is writable and executable")]

DOCTORED = {
    32: EITHER_WIDTH + [
         (load_config_of_72_bytes, "load configuration directory of 72 bytes"),
         (two_safe_handlers, "2 safe handlers listed, expected 1"),
         (safe_handler_elsewhere, "is not the one the code registers"),
         (no_seh, "NO_SEH is set"),
         (windows_version_6, "OperatingSystem version 6.0"),
         (subsystem_version_6, "Subsystem version 6.0"),
         (minor_windows_version_up, "OperatingSystem version 4.1"),
         (amd64_machine, "without the 64-bit optional header"),
         (empty_tls_directory, "has thread-local storage")],
    64: EITHER_WIDTH + [
         (handler_named_nowhere, "0 functions name an exception handler"),
         (handler_elsewhere, "is not the guard's"),
         (low_entropy_randomisation, "HIGH_ENTROPY_VA is not set"),
         (windows_version_6, "OperatingSystem version 6.2"),
         (subsystem_version_6, "Subsystem version 6.2"),
         (minor_windows_version_up, "OperatingSystem version 5.3"),
         (unwinds_with_rtlunwind, "imports RtlUnwind from kernel32.dll"),
         (empty_tls_directory, "has thread-local storage"),
         (pdata_entry_dropped, "has no unwind data"),
         (pdata_entries_swapped, "is out of order or overlaps")],
}


def post_link_refuses_another_handler(nm, dll):
    """The post-link step, run on a copy of the build's DLL whose table of
    safe handlers lists an entry point in place of the guard's handler."""
    with tempfile.TemporaryDirectory() as folder:
        copy = os.path.join(folder, os.path.basename(dll))
        shutil.copy(dll, copy)
        pe = pefile.PE(copy)
        table = pe.DIRECTORY_ENTRY_LOAD_CONFIG.struct.SEHandlerTable - pe.OPTIONAL_HEADER.ImageBase
        pe.set_dword_at_rva(table, another_function(pe))
        data = bytes(pe.write())
        pe.close()
        with open(copy, "wb") as file:
            file.write(data)
        try:
            load_config_directory.main(nm, copy)
        except SystemExit as refusal:
            refused = "the table of safe handlers lists" in str(refusal)
            print(f"{dll}: post-link step on a table listing another handler: "
                  f"{'refused' if refused else 'ACCEPTED'} ({refusal})")
            return 0 if refused else 1
        print(f"{dll}: post-link step on a table listing another handler: ACCEPTED")
        return 1


def main(paths):
    accepted = 0
    for path in paths:
        data, file_name = check_dll.read_dll(path)
        bits = check_dll.WIDTHS[pefile.PE(data=data).FILE_HEADER.Machine].bits
        for doctor, expected in DOCTORED[bits]:
            pe = pefile.PE(data=data)
            appended = doctor(pe) or b""
            problems, _ = check_dll.problems_of(bytes(pe.write()) + appended, file_name)
            refused = any(expected in problem for problem in problems)
            accepted += 0 if refused else 1
            print(f"{path}: {doctor.__name__.replace('_', ' ')}: "
                  f"{'refused' if refused else 'ACCEPTED'} ({'; '.join(problems) or 'no problem'})")
    return 1 if accepted else 0


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--post-link":
        sys.exit(post_link_refuses_another_handler(sys.argv[2], sys.argv[3]))
    if len(sys.argv) < 2 or sys.argv[1].startswith("-"):
        raise SystemExit(__doc__)
    sys.exit(main(sys.argv[1:]))
