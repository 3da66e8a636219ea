#!/usr/bin/env python3
"""Points a 32-bit DLL's load-configuration directory entry at the image's
__load_config_used structure, which the MinGW linkers do not do (GNU ld
leaves the entry empty; lld gives it the structure's own size).

The entry's size is 64: Windows XP takes it as the version of the structure
and reads the safe exception handler table only at that size; later versions
of Windows accept it and read the fields the structure's own size covers
(Microsoft's PE format documentation, "The Load Configuration Structure").

usage: load_config_directory.py NM DLL"""
import struct
import subprocess
import sys

SYMBOL = "__load_config_used"
LOAD_CONFIG_ENTRY = 10
DIRECTORY_SIZE = 64
PE32_MAGIC = 0x10B


def symbol_address(nm, path):
    listing = subprocess.run([nm, "--defined-only", path], check=True, capture_output=True,
                             text=True).stdout
    for line in listing.splitlines():
        fields = line.split()
        if len(fields) == 3 and fields[2] == SYMBOL:
            return int(fields[0], 16)
    raise SystemExit(f"{path}: no symbol {SYMBOL}")


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


def main(nm, path):
    address = symbol_address(nm, path)
    with open(path, "rb") as file:
        image = bytearray(file.read())
    (header,) = struct.unpack_from("<I", image, 0x3C)
    optional = header + 24
    (magic,) = struct.unpack_from("<H", image, optional)
    if image[header:header + 4] != b"PE\0\0" or magic != PE32_MAGIC:
        raise SystemExit(f"{path}: not a 32-bit PE image")
    (image_base,) = struct.unpack_from("<I", image, optional + 28)
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
