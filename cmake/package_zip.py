#!/usr/bin/python3
"""Writes a package's zip: the given files, in the order given, then
SOURCE.txt, which names the commit the files were built from, and
SHA256SUMS.txt, the checksums of every file before it. The commit is the
zip's comment too. Two builds of one commit give the same bytes: every entry
dated SOURCE_DATE_EPOCH (or, by default, 1980-01-01, the first date a zip can
hold), with fixed permissions and no owner or other extra fields. The texts
have Windows line endings.

usage: package_zip.py --source SOURCE_FOLDER ZIP FOLDER FILE..."""
import hashlib
import os
import subprocess
import sys
import time
import zipfile

EARLIEST = (1980, 1, 1, 0, 0, 0)


def entry_date():
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if not epoch:
        return EARLIEST
    return max(EARLIEST, tuple(time.gmtime(int(epoch)))[:6])


def git(source, *arguments):
    return subprocess.run(["git", "-C", source, *arguments], capture_output=True, text=True)


def source_line(source):
    """Which commit the package was built from, and whether the tree had
    changes to tracked files beside it."""
    commit = git(source, "rev-parse", "HEAD")
    if commit.returncode != 0:
        return "Built from a source tree that is not a git checkout: no commit to name."
    changed = git(source, "status", "--porcelain", "--untracked-files=no").stdout.strip()
    return (f"Built from commit {commit.stdout.strip()}"
            f"{', with local changes' if changed else ''}.")


def main(source, zip_path, folder, names):
    date = entry_date()
    contents = []
    for name in names:
        with open(os.path.join(folder, name), "rb") as file:
            contents.append((name, file.read()))
    line = source_line(source)
    contents.append(("SOURCE.txt", f"{line}\r\n".encode()))
    sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\r\n" for name, data in contents)
    contents.append(("SHA256SUMS.txt", sums.encode()))
    with zipfile.ZipFile(zip_path + ".part", "w", zipfile.ZIP_DEFLATED) as package:
        package.comment = line.encode()
        for name, data in contents:
            entry = zipfile.ZipInfo(name, date)
            entry.external_attr = 0o100644 << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = 3  # Unix, whatever system writes it
            package.writestr(entry, data, compresslevel=9)
    os.replace(zip_path + ".part", zip_path)
    print(f"package: {zip_path} ({line})")


if __name__ == "__main__":
    if len(sys.argv) < 6 or sys.argv[1] != "--source":
        raise SystemExit(__doc__)
    main(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:])
