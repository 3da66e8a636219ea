#!/usr/bin/python3
"""Writes a zip of the given files, in the order given, so that two builds of
one commit give the same bytes: every entry dated SOURCE_DATE_EPOCH (or, by
default, 1980-01-01, the first date a zip can hold), with fixed permissions
and no owner or other extra fields.

usage: package_zip.py ZIP FOLDER FILE..."""
import os
import sys
import time
import zipfile

EARLIEST = (1980, 1, 1, 0, 0, 0)


def entry_date():
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if not epoch:
        return EARLIEST
    return max(EARLIEST, tuple(time.gmtime(int(epoch)))[:6])


def main(zip_path, folder, names):
    date = entry_date()
    with zipfile.ZipFile(zip_path + ".part", "w", zipfile.ZIP_DEFLATED) as package:
        for name in names:
            entry = zipfile.ZipInfo(name, date)
            entry.external_attr = 0o100644 << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = 3  # Unix, whatever system writes it
            with open(os.path.join(folder, name), "rb") as file:
                package.writestr(entry, file.read(), compresslevel=9)
    os.replace(zip_path + ".part", zip_path)
    print(f"package: {zip_path}")


if __name__ == "__main__":
    if len(sys.argv) < 4:
        raise SystemExit(__doc__)
    main(sys.argv[1], sys.argv[2], sys.argv[3:])
