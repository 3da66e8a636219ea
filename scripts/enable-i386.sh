#!/usr/bin/env bash
# Lets this machine run 32-bit x86 Linux programs, which Wine's 32-bit loader
# is: natively where the kernel can, else through qemu's user-mode emulator
# registered with binfmt_misc (some virtual machines have no 32-bit mode).
set -euo pipefail
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  exit 0
fi
binfmt=/proc/sys/fs/binfmt_misc
[ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
if [ ! -e "$binfmt/qemu-i386" ]; then
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  echo ":qemu-i386:M::${magic}:${mask}:/usr/bin/qemu-i386-static:F" >"$binfmt/register"
fi
/usr/lib/wine/wine --version >/dev/null
echo "32-bit programs run through qemu-i386 on this machine (slowly)"
