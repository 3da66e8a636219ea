#!/usr/bin/python3
"""Checks the checker: doctored copies of a packaged DLL, each with one fault
that Wine would not notice and Windows would, must each be refused by
check_dll.py for that fault.

usage: check_dll_test.py PACKAGE_OR_DLL..."""
import sys

import pefile

import check_dll

LOAD_CONFIG = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]
NO_SEH = pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_NO_SEH"]
HIGH_ENTROPY_VA = pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA"]


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


DOCTORED = {
    32: [(load_config_of_72_bytes, "load configuration directory of 72 bytes"),
         (safe_handler_elsewhere, "is not the one the code registers"),
         (no_seh, "NO_SEH is set"),
         (windows_version_6, "OperatingSystem version 6.0")],
    64: [(handler_named_nowhere, "0 functions name an exception handler"),
         (handler_elsewhere, "is not the guard's"),
         (low_entropy_randomisation, "HIGH_ENTROPY_VA is not set"),
         (windows_version_6, "OperatingSystem version 6.2")],
}


def main(paths):
    accepted = 0
    for path in paths:
        data, file_name = check_dll.read_dll(path)
        bits = check_dll.WIDTHS[pefile.PE(data=data).FILE_HEADER.Machine].bits
        for doctor, expected in DOCTORED[bits]:
            pe = pefile.PE(data=data)
            doctor(pe)
            problems, _ = check_dll.problems_of(bytes(pe.write()), file_name)
            refused = any(expected in problem for problem in problems)
            accepted += 0 if refused else 1
            print(f"{path}: {doctor.__name__.replace('_', ' ')}: "
                  f"{'refused' if refused else 'ACCEPTED'} ({'; '.join(problems) or 'no problem'})")
    return 1 if accepted else 0


if __name__ == "__main__":
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    sys.exit(main(sys.argv[1:]))
