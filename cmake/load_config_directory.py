#!/usr/bin/env python3
"""Points a 32-bit DLL's load-configuration directory entry at the image's
__load_config_used structure, which the MinGW linkers do not do (GNU ld
leaves the entry empty; lld gives it the structure's own size). It refuses
a structure whose table of safe exception handlers does not list the
guard's handler alone: Windows would then refuse the guard's frame, and the
first fault the guard should catch would end the host.

The entry's size is 64: Windows XP takes it as the version of the structure
and reads the safe exception handler table only at that size; later versions
of Windows accept it and read the fields the structure's own size covers
(Microsoft's PE format documentation, "The Load Configuration Structure").

usage: load_config_directory.py NM DLL"""
import struct
import subprocess
import sys

SYMBOL = "__load_config_used"
HANDLER = "meter_guard_on_exception"
# Offset in IMAGE_LOAD_CONFIG_DIRECTORY32 of the handler table's address,
# followed by its count.
HANDLER_TABLE = 0x40
LOAD_CONFIG_ENTRY = 10
DIRECTORY_SIZE = 64
PE32_MAGIC = 0x10B


def symbol_addresses(nm, path):
    listing = subprocess.run([nm, "--defined-only", path], check=True, capture_output=True,
                             text=True).stdout
    addresses = {}
    for line in listing.splitlines():
        fields = line.split()
        if len(fields) == 3 and fields[2] in (SYMBOL, HANDLER):
            addresses[fields[2]] = int(fields[0], 16)
    for name in (SYMBOL, HANDLER):
        if name not in addresses:
            raise SystemExit(f"{path}: no symbol {name}")
    return addresses


def file_offset(sections, address):
    """Where the image's address lies in the file."""
    for virtual_address, virtual_size, raw_offset in sections:
        if virtual_address <= address < virtual_address + virtual_size:
            return raw_offset + address - virtual_address
    raise SystemExit(f"address {address:#x} lies in no section")


def checksum(image, checksum_offset):
    """The PE checksum: 16-bit words summed with end-around carry, the
    checksum field left out, plus the file's length."""
    padded = image + b"\0" * (len(image) % 2)
    total = 0
    for offset, (word,) in enumerate(struct.iter_unpack("<H", padded)):
        if offset * 2 not in (checksum_offset, checksum_offset + 2):
            total += word
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(image)


def check_handler_table(image, sections, config, handler, path):
    """The table lists one handler, the guard's."""
    table, count = struct.unpack_from("<II", image, file_offset(sections, config) +
                                      HANDLER_TABLE)
    listed = struct.unpack_from("<I", image, file_offset(sections, table))[0] if table else 0
    if count != 1 or listed != handler:
        raise SystemExit(f"{path}: the table of safe handlers lists {count} entries, the first "
                         f"{listed:#x}; expected the one entry {handler:#x} ({HANDLER})")


def main(nm, path):
    addresses = symbol_addresses(nm, path)
    with open(path, "rb") as file:
        image = bytearray(file.read())
    (header,) = struct.unpack_from("<I", image, 0x3C)
    optional = header + 24
    (magic,) = struct.unpack_from("<H", image, optional)
    if image[header:header + 4] != b"PE\0\0" or magic != PE32_MAGIC:
        raise SystemExit(f"{path}: not a 32-bit PE image")
    (image_base,) = struct.unpack_from("<I", image, optional + 28)
    (section_count,) = struct.unpack_from("<H", image, header + 6)
    (optional_size,) = struct.unpack_from("<H", image, header + 20)
    sections = []
    for index in range(section_count):
        entry = optional + optional_size + 40 * index
        virtual_size, virtual_address, _, raw_offset = struct.unpack_from("<IIII", image, entry + 8)
        sections.append((image_base + virtual_address, virtual_size, raw_offset))
    address = addresses[SYMBOL]
    check_handler_table(image, sections, address, addresses[HANDLER] - image_base, path)
    (directories,) = struct.unpack_from("<I", image, optional + 92)
    if directories <= LOAD_CONFIG_ENTRY:
        raise SystemExit(f"{path}: has no load-configuration directory entry")
    struct.pack_into("<II", image, optional + 96 + 8 * LOAD_CONFIG_ENTRY, address - image_base,
                     DIRECTORY_SIZE)
    checksum_offset = optional + 64
    (old_checksum,) = struct.unpack_from("<I", image, checksum_offset)
    if old_checksum:
        struct.pack_into("<I", image, checksum_offset, checksum(image, checksum_offset))
    with open(path, "wb") as file:
        file.write(image)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    main(sys.argv[1], sys.argv[2])
