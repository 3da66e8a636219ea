#!/usr/bin/python3
"""Checks the checker: doctored copies of a packaged DLL, each with one fault
that Wine would not notice and Windows would, must each be refused by
check_dll.py for that fault.

Also checks the checker as a program: its exit status for a doctored copy
and for a package of two DLLs; and the 32-bit post-link step: given the
build's DLL, which still has its symbols, it must refuse a copy whose table
of safe handlers lists another handler.

usage: check_dll_test.py --version X.Y.Z PACKAGE_OR_DLL...
       check_dll_test.py --post-link NM DLL"""
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

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
FORCE_INTEGRITY = pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_FORCE_INTEGRITY"]
GUARD_CF = pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_GUARD_CF"]
RELOCS_STRIPPED = pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"]
MEM_WRITE = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"]
MEM_EXECUTE = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"]
MEM_SHARED = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_SHARED"]
IMPORT = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]
CHECKER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check_dll.py")


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
    elsewhere = (rva for rva in held if rva != handler and text.contains_rva(rva))
    pe.set_dword_at_rva(table, min(elsewhere))


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


def writable_section(pe):
    return next(section for section in pe.sections if section.Characteristics & MEM_WRITE and
                not check_dll.is_executable(section))


def shared_writable_data(pe):
    writable_section(pe).Characteristics |= MEM_SHARED


def executable_imports(pe):
    check_dll.section_at(pe, pe.OPTIONAL_HEADER.DATA_DIRECTORY[IMPORT].VirtualAddress) \
        .Characteristics |= MEM_EXECUTE


def force_integrity(pe):
    pe.OPTIONAL_HEADER.DllCharacteristics |= FORCE_INTEGRITY


def guard_cf_without_tables(pe):
    pe.OPTIONAL_HEADER.DllCharacteristics |= GUARD_CF


def relocations_stripped(pe):
    pe.FILE_HEADER.Characteristics |= RELOCS_STRIPPED


def wrong_checksum(pe):
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum() ^ 0x10


def sections_below_a_page(pe):
    pe.OPTIONAL_HEADER.SectionAlignment = 0x200


def image_base_below_4_gib(pe):
    pe.OPTIONAL_HEADER.ImageBase = 0x10000000


def extra_export(pe):
    """A fifteenth export name, "malloc" (the import's string), beside the
    fourteen, in new name and ordinal tables in the slack of a data
    section."""
    directory = pe.DIRECTORY_ENTRY_EXPORT.struct
    count = directory.NumberOfNames
    names = [pe.get_dword_at_rva(directory.AddressOfNames + 4 * at) for at in range(count)]
    ordinals = [pe.get_word_at_rva(directory.AddressOfNameOrdinals + 2 * at) for at in range(count)]
    malloc = next(symbol for entry in pe.DIRECTORY_ENTRY_IMPORT for symbol in entry.imports
                  if symbol.name == b"malloc")
    names.append(malloc.hint_name_table_rva + 2)
    ordinals.append(ordinals[0])
    size = 6 * (count + 1)
    section = next(section for section in pe.sections if not check_dll.is_executable(section)
                   and section.SizeOfRawData >= (section.Misc_VirtualSize + 3) // 4 * 4 + size)
    free = section.VirtualAddress + (section.Misc_VirtualSize + 3) // 4 * 4
    pe.set_bytes_at_rva(free, b"".join(name.to_bytes(4, "little") for name in names))
    pe.set_bytes_at_rva(free + 4 * (count + 1),
                        b"".join(ordinal.to_bytes(2, "little") for ordinal in ordinals))
    section.Misc_VirtualSize = free + size - section.VirtualAddress
    directory.AddressOfNames = free
    directory.AddressOfNameOrdinals = free + 4 * (count + 1)
    directory.NumberOfNames = count + 1


def version_strings_missing(pe):
    """The version block's string table renamed, so that no string is found."""
    at = pe.__data__.find("StringFileInfo".encode("utf-16-le"))
    pe.set_bytes_at_offset(at, "StringFileInfX".encode("utf-16-le"))


def patch_in(pe, start, old, new):
    """Replaces the first bytes old at or after the address start."""
    rva = start - pe.OPTIONAL_HEADER.ImageBase
    offset = pe.get_offset_from_rva(rva)
    at = pe.__data__.find(old, offset, offset + 0x400)
    pe.set_bytes_at_offset(at, new)


def entry_point_returns_false(pe):
    base = pe.OPTIONAL_HEADER.ImageBase
    patch_in(pe, base + pe.OPTIONAL_HEADER.AddressOfEntryPoint, b"\xb8\x01\x00\x00\x00",
             b"\xb8\x00\x00\x00\x00")


def export_removes_too_few_bytes(pe):
    """GetCPUSpeed returns with ret $0xc where _GetCPUSpeed@16 says 16."""
    patch_in(pe, pe.OPTIONAL_HEADER.ImageBase + another_function(pe), b"\xc2\x10\x00",
             b"\xc2\x0c\x00")


def relocation_dropped(pe, in_code):
    """The first relocation of an address in code (or in data) is made
    padding: relocated, that address keeps the old base."""
    for block in pe.DIRECTORY_ENTRY_BASERELOC:
        for entry in block.entries:
            if entry.type and check_dll.is_executable(check_dll.section_at(pe, entry.rva)) == \
                    in_code:
                entry.struct.Data = 0
                return
    raise AssertionError("no such relocation")


def relocation_in_code_dropped(pe):
    relocation_dropped(pe, True)


def relocation_in_data_dropped(pe):
    relocation_dropped(pe, False)


def no_security_cookie(pe):
    pe.DIRECTORY_ENTRY_LOAD_CONFIG.struct.SecurityCookie = 0


def security_cookie_in_code(pe):
    pe.DIRECTORY_ENTRY_LOAD_CONFIG.struct.SecurityCookie = \
        pe.OPTIONAL_HEADER.ImageBase + another_function(pe)


def security_cookie_not_default(pe):
    base = pe.OPTIONAL_HEADER.ImageBase
    pe.set_dword_at_rva(pe.DIRECTORY_ENTRY_LOAD_CONFIG.struct.SecurityCookie - base, 0x1234)


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


def index_of_entry_point(pe, entries, export="GetCPUSpeed"):
    begin = check_dll.export_addresses(pe)[export]
    return next(index for index, entry in enumerate(entries) if entry.BeginAddress == begin)


def copy_entry(to, source):
    for field in FUNCTION_FIELDS:
        setattr(to, field, getattr(source, field))


def drop_pdata_entry(pe, export):
    """Drops the unwind entry of an exported function: the ones after it move
    up and the directory is one entry shorter."""
    entries = runtime_functions(pe)
    for at in range(index_of_entry_point(pe, entries, export), len(entries) - 1):
        copy_entry(entries[at], entries[at + 1])
    pe.OPTIONAL_HEADER.DATA_DIRECTORY[EXCEPTION].Size -= RUNTIME_FUNCTION_SIZE


def pdata_entry_dropped(pe):
    drop_pdata_entry(pe, "GetCPUSpeed")


def pdata_entry_of_an_export_never_called_dropped(pe):
    drop_pdata_entry(pe, "dlltype")


def two_functions_name_the_handler(pe):
    """Another function shares the guarded function's unwind data, handler
    and all."""
    entries = runtime_functions(pe)
    guarded = guarded_function(pe).struct
    other = next(entry for entry in entries if entry.BeginAddress != guarded.BeginAddress)
    other.UnwindData = guarded.UnwindData


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
                (writable_code, "is writable and executable"),
                (shared_writable_data, "is writable and shared"),
                (executable_imports, "the import directory lies in an executable section"),
                (force_integrity, "FORCE_INTEGRITY is set"),
                (guard_cf_without_tables, "GUARD_CF is set without the guard's tables"),
                (relocations_stripped, "RELOCS_STRIPPED is set"),
                (wrong_checksum, "does not match the image"),
                (sections_below_a_page, "SectionAlignment 0x200 is below a page"),
                (extra_export, "'malloc'"),
                (version_strings_missing, "FileVersion is None"),
                (entry_point_returns_false, "after mov $0x0,%eax"),
                (relocation_in_data_dropped, "relocated, section")]

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
         (empty_tls_directory, "has thread-local storage"),
         (export_removes_too_few_bytes, "removing 12 bytes, _GetCPUSpeed@16 says 16"),
         (relocation_in_code_dropped, "relocated, the code at"),
         (no_security_cookie, "the security cookie could not be located"),
         (security_cookie_in_code, "the security cookie is not in a writable data section"),
         (security_cookie_not_default, "the security cookie holds 0x1234")],
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
         (pdata_entry_of_an_export_never_called_dropped, "has no unwind data"),
         (two_functions_name_the_handler, "2 functions name an exception handler"),
         (image_base_below_4_gib, "is below 4 GiB"),
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


def doctored(data, doctor):
    """The DLL with the doctor's one fault; its checksum, where it has one,
    made right again but for the doctor that makes it wrong."""
    pe = pefile.PE(data=data)
    appended = doctor(pe) or b""
    copy = pefile.PE(data=bytes(pe.write()) + appended)
    if copy.OPTIONAL_HEADER.CheckSum and doctor is not wrong_checksum:
        copy.OPTIONAL_HEADER.CheckSum = copy.generate_checksum()
    return bytes(copy.write())


def checker_exit_status(path, version):
    return subprocess.run([CHECKER, "--version", version, path], capture_output=True).returncode


def program_refuses(path, data, file_name, version):
    """The checker as a program exits 1 for a doctored copy and for a
    package of two DLLs (whose first may be a good one)."""
    accepted = 0
    with tempfile.TemporaryDirectory() as folder:
        copy = os.path.join(folder, file_name)
        with open(copy, "wb") as file:
            file.write(doctored(data, no_nx_compat))
        package = os.path.join(folder, "two.zip")
        with zipfile.ZipFile(package, "w") as two:
            two.writestr(file_name, data)
            two.writestr("other.dll", data)
        for what, target in (("a doctored copy", copy), ("a package of two DLLs", package)):
            status = checker_exit_status(target, version)
            accepted += 0 if status == 1 else 1
            print(f"{path}: check_dll.py on {what}: "
                  f"{'refused' if status == 1 else 'ACCEPTED'} (exit status {status})")
    return accepted


def main(paths, version):
    accepted = 0
    for path in paths:
        data, file_name = check_dll.read_dll(path)
        bits = check_dll.WIDTHS[pefile.PE(data=data).FILE_HEADER.Machine].bits
        for doctor, expected in DOCTORED[bits]:
            problems, _ = check_dll.problems_of(doctored(data, doctor), file_name, version)
            refused = any(expected in problem for problem in problems)
            accepted += 0 if refused else 1
            print(f"{path}: {doctor.__name__.replace('_', ' ')}: "
                  f"{'refused' if refused else 'ACCEPTED'} ({'; '.join(problems) or 'no problem'})")
        accepted += program_refuses(path, data, file_name, version)
    return 1 if accepted else 0


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--post-link":
        sys.exit(post_link_refuses_another_handler(sys.argv[2], sys.argv[3]))
    if len(sys.argv) < 4 or sys.argv[1] != "--version":
        raise SystemExit(__doc__)
    sys.exit(main(sys.argv[3:], sys.argv[2]))
