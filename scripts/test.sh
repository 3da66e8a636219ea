#!/usr/bin/env bash
# Installs what the tests need, builds every form and runs every test.
#
# Sourced, it defines its steps without running them (tests/scripts_test.sh).
set -euo pipefail

# Where 32-bit Wine's loader is, and where qemu's emulator would be
# registered for 32-bit programs.
wine32_loader=${WINE32_LOADER:-/usr/lib/wine/wine}
qemu_i386_binfmt=${QEMU_I386_BINFMT:-/proc/sys/fs/binfmt_misc/qemu-i386}

step() { printf '\n== %s\n' "$*"; }
# Steps that did not run, each with its reason, repeated at the end.
skipped=()
skip() {
  skipped+=("$1: $2")
  printf 'SKIPPED: %s\n' "$2"
}
# No Wine server outlives the run.
stop_wine() {
  for build in windows windows-x64; do
    WINEPREFIX="$PWD/build/$build/wineprefix" wineserver -k 2>/dev/null || true
  done
}
# Why 32-bit Wine cannot run natively here; nothing when it can. Its loader is
# a 32-bit Linux program: some kernels have no 32-bit mode, and the optional
# wine32:i386 package may not have installed.
wine32_missing_reason() {
  local probe error
  if [ -e "$qemu_i386_binfmt" ]; then
    echo "32-bit programs go through qemu-i386's emulator on this machine, not the kernel;" \
      "METER_WINE_EMULATED=1 bash scripts/test.sh runs the 32-bit suites that way (slowly)"
    return
  fi
  # The smallest 32-bit program: it exits with status 0.
  probe=$(mktemp -d)
  printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' >"$probe/exit.s"
  if ! { as --32 -o "$probe/exit.o" "$probe/exit.s" &&
    ld -m elf_i386 -o "$probe/exit" "$probe/exit.o"; } 2>/dev/null; then
    echo "the 32-bit probe program could not be built (as --32, ld -m elf_i386 from binutils)," \
      "so whether this kernel runs 32-bit programs is unknown"
  elif ! "$probe/exit" 2>/dev/null; then
    echo "this machine's kernel has no 32-bit mode, so 32-bit Wine cannot start here;" \
      "METER_WINE_EMULATED=1 bash scripts/test.sh tries the 32-bit suites through qemu-i386"
  elif [ ! -x "$wine32_loader" ]; then
    echo "32-bit Wine is not installed (the optional package wine32:i386);" \
      "apt-get install wine32:i386, then run this command again"
  elif ! error=$("$wine32_loader" --version 2>&1); then
    echo "32-bit Wine is installed but its loader does not start: $(printf '%s' "$error" | head -n 1)"
  fi
  rm -rf "$probe"
}

# Checks a Windows package with check_dll.py, then checks the checker against
# doctored copies of its DLL.
check_package() {
  /usr/bin/python3 tests/check_dll.py "$1"
  /usr/bin/python3 tests/check_dll_test.py "$1"
}

# Drives the module's tests, a fault among them, through the DLL in a package
# as a user unpacks it, with the test programs of the build in $1.
test_packaged_dll() {
  local folder="$1/packaged-$(basename "$(dirname "$2")")"
  rm -rf "$folder" && mkdir -p "$folder"
  (cd "$folder" && cmake -E tar xf "$OLDPWD/$2")
  METER_MODULE_UNDER_TEST="$PWD/$folder/cpuspeed.dll" "$1/wine-run.sh" \
    "$1/tests/platform_tests.exe" --gtest_filter='Module.*:Win32Module.*'
}

# clang-tidy's findings alone: not its count of the warnings it suppressed.
lint() {
  local log
  log=$(mktemp)
  if ! clang-tidy -p build/linux --quiet "$@" 2>"$log"; then
    cat "$log" >&2
    rm -f "$log"
    return 1
  fi
  grep -v -E '^[0-9]+ warnings? generated\.$' "$log" >&2 || true
  rm -f "$log"
}

# Builds the module alone in a second folder of another name and checks that
# the file it makes there has the same bytes as the first build's: two builds
# of one commit are the same wherever and whenever they are made.
same_bytes_from_second_build() {
  local preset=$1 target=$2 file=$3 second="build/second-$1"
  rm -rf "$second"
  cmake --preset "$preset" -B "$second" -DMETER_MODULE_ONLY=ON >/dev/null
  cmake --build "$second" --target "$target" >/dev/null
  cmp "build/$preset/$file" "$second/$file"
  echo "$file: the same bytes from build/$preset and $second"
}

main() {
  cd "$(dirname "$0")/.."
  bash scripts/install-deps.sh
  trap stop_wine EXIT

  step "format and lint"
  sources=$(git ls-files '*.cpp' '*.h')
  clang-format --dry-run -Werror $sources
  cmake --preset linux >/dev/null
  # Everything the Linux build compiles; the Windows-only sources are checked by
  # the cross compiler's warnings.
  lint \
    $(git ls-files 'measure/*.cpp' 'plugin/*.cpp' 'platform/linux/*.cpp' 'tools/*.cpp' |
      grep -v -e dll_main -e /win32/)

  for preset in linux linux-asan linux-tsan; do
    step "build and test: $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
  done

  step "the Linux module: exported names and the libraries it needs"
  exported=$(nm -D --defined-only build/linux/cpuspeed.so | awk '{print $3}' | sort | tr '\n' ' ')
  expected="GetCPUSpeed dllshutdown dllstartup dlltype getinfo getparam init "
  if [ "$exported" != "$expected" ]; then
    echo "exports: $exported; expected: $expected" >&2
    exit 1
  fi
  echo "exports: $exported"
  needed=$(readelf -d build/linux/cpuspeed.so | awk '/NEEDED/ {print $5}' | tr -d '[]' | tr '\n' ' ')
  if [ "$needed" != "libc.so.6 " ]; then
    echo "needs: $needed; expected: libc.so.6 alone" >&2
    exit 1
  fi
  echo "needs: $needed"
  same_bytes_from_second_build linux cpuspeed cpuspeed.so

  step "the Linux install: the installed host program finds the installed module"
  rm -rf build/install-check
  cmake --install build/linux --prefix "$PWD/build/install-check" >/dev/null
  build/install-check/bin/meter-host --count 1 --interval 0 | grep -E 'module|MHz'

  step "fuzzing: each target for ${FUZZ_SECONDS:=30} s"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz
  for target in getparam meter_parameters; do
    corpus="build/fuzz/corpus-$target"
    mkdir -p "$corpus"
    "build/fuzz/fuzz/fuzz_$target" -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 \
      "$corpus" "fuzz/corpus/$target" 2>&1 | grep -E '^(stat::number_of_executed_units|Done|==)'
  done

  step "soak: 4 threads, 3 instances each, ${SOAK_SECONDS:=20} s"
  build/linux/meter-soak --threads 4 --instances 3 --seconds "$SOAK_SECONDS" 2>/dev/null

  step "soak under valgrind memcheck: 2 threads, 5 s"
  valgrind --quiet --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    --log-file=build/valgrind-soak.log \
    build/linux/meter-soak --module build/linux/cpuspeed.so --threads 2 --instances 2 --seconds 5 \
    2>/dev/null || { cat build/valgrind-soak.log; exit 1; }
  cat build/valgrind-soak.log

  step "Windows DLL, 32-bit: build, package and inspect the packaged DLL"
  cmake --preset windows >/dev/null
  cmake --build --preset windows
  cmake --build --preset windows --target package
  check_package build/windows/cpuspeed-meter-*-win32.zip
  same_bytes_from_second_build windows package "$(basename build/windows/cpuspeed-meter-*-win32.zip)"
  /usr/bin/python3 tests/check_dll_test.py --post-link i686-w64-mingw32-nm build/windows/cpuspeed.dll

  step "Windows DLL, 32-bit, built with clang and lld: package and inspect the packaged DLL"
  cmake --preset windows-clang >/dev/null
  cmake --build --preset windows-clang --target package
  check_package build/windows-clang/cpuspeed-meter-*-win32.zip
  same_bytes_from_second_build windows-clang package \
    "$(basename build/windows-clang/cpuspeed-meter-*-win32.zip)"
  /usr/bin/python3 tests/check_dll_test.py --post-link i686-w64-mingw32-nm build/windows-clang/cpuspeed.dll
  # The guard's assembly builds with clang at every optimisation level.
  cmake --build --preset windows-clang --target platform_guard_unoptimised

  step "Windows DLL, 64-bit: build, package and inspect the packaged DLL"
  cmake --preset windows-x64 >/dev/null
  cmake --build --preset windows-x64
  cmake --build --preset windows-x64 --target package
  check_package build/windows-x64/cpuspeed-meter-*-win64.zip
  same_bytes_from_second_build windows-x64 package \
    "$(basename build/windows-x64/cpuspeed-meter-*-win64.zip)"

  step "Windows DLL, 64-bit: tests under 64-bit Wine"
  test_packaged_dll build/windows-x64 build/windows-x64/cpuspeed-meter-*-win64.zip
  ctest --preset windows-x64

  step "Windows DLL, 32-bit: tests under 32-bit Wine"
  # Wine's 32-bit loader is a 32-bit Linux program. Where the kernel runs those
  # natively, the 32-bit suites run here; on a kernel without a 32-bit mode they
  # run only on request, through qemu's user-mode emulator (slowly: minutes per
  # program start).
  if [ "${METER_WINE_EMULATED:-0}" = 1 ]; then
    bash scripts/enable-i386.sh
  fi
  reason=
  if [ "${METER_WINE_EMULATED:-0}" != 1 ]; then
    reason=$(wine32_missing_reason)
  fi
  if [ -z "$reason" ]; then
    test_packaged_dll build/windows build/windows/cpuspeed-meter-*-win32.zip
    test_packaged_dll build/windows build/windows-clang/cpuspeed-meter-*-win32.zip
    ctest --preset windows
  else
    skip "Windows DLL, 32-bit: tests under 32-bit Wine" "$reason"
  fi

  step "summary"
  if [ ${#skipped[@]} -eq 0 ]; then
    echo "every step ran and passed"
  else
    echo "every step ran and passed but ${#skipped[@]} that did not run:"
    printf 'SKIPPED %s\n' "${skipped[@]}"
  fi
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  main
fi
