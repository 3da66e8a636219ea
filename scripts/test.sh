#!/usr/bin/env bash
# Installs what the tests need, builds every form and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

step() { printf '\n== %s\n' "$*"; }
# No Wine server outlives the run.
stop_wine() { WINEPREFIX="$PWD/build/windows/wineprefix" wineserver -k 2>/dev/null || true; }
trap stop_wine EXIT

step "format and lint"
sources=$(git ls-files '*.cpp' '*.h')
clang-format --dry-run -Werror $sources
cmake --preset linux >/dev/null
clang-tidy -p build/linux --quiet measure/*.cpp plugin/*.cpp platform/posix/*.cpp host/*.cpp

for preset in linux linux-asan linux-tsan; do
  step "build and test: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

step "exported names of the Linux module"
exported=$(nm -D --defined-only build/linux/cpuspeed.so | awk '{print $3}' | sort | tr '\n' ' ')
expected="GetCPUSpeed dllshutdown dllstartup dlltype getinfo getparam init "
if [ "$exported" != "$expected" ]; then
  echo "exports: $exported; expected: $expected" >&2
  exit 1
fi
echo "$exported"

step "Windows DLL: build and inspect"
cmake --preset windows >/dev/null
cmake --build --preset windows
ctest --preset windows -R '^dll\.'

step "Windows DLL: tests under Wine"
# Wine's 32-bit loader is a 32-bit Linux program. Where the kernel runs those
# natively, the Windows suite runs here; on a kernel without a 32-bit mode it
# runs only on request, through qemu's user-mode emulator (slowly: minutes per
# program start).
if [ "${METER_WINE_EMULATED:-0}" = 1 ]; then
  bash scripts/enable-i386.sh
  ctest --preset windows -E '^dll\.'
elif [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
  ctest --preset windows -E '^dll\.'
else
  echo "SKIPPED: this machine's kernel cannot run 32-bit programs, so Wine cannot start here;"
  echo "         METER_WINE_EMULATED=1 bash scripts/test.sh runs the Windows suite through qemu-i386."
fi
