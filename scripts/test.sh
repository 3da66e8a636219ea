#!/usr/bin/env bash
# Installs what the tests need, runs each form's workflow (configure, build,
# every labelled check: cmake --workflow --preset FORM), and then what needs
# more than one tree or more than a test: the second builds whose bytes must
# match the first's, fuzzing, the soak and the clang DLL under the GCC
# tree's Wine tests. Ends with a summary that lists every step it skipped.
#
# Sourced, it defines its steps without running them (tests/scripts_test.sh).
set -euo pipefail

# Where 32-bit Wine's loader is, and where qemu's emulator would be
# registered for 32-bit programs.
wine32_loader=${WINE32_LOADER:-/usr/lib/wine/wine}
qemu_i386_binfmt=${QEMU_I386_BINFMT:-/proc/sys/fs/binfmt_misc/qemu-i386}
# The Windows builds, each with a Wine prefix of its own.
windows_builds=(windows windows-x64)

step() { printf '\n== %s\n' "$*"; }
# Steps that did not run, each with its reason, repeated at the end.
skipped=()
skip() {
  skipped+=("$1: $2")
  printf 'SKIPPED: %s\n' "$2"
}
# No Wine server outlives the run: each Windows build's prefix has its own.
stop_wine() {
  local build
  for build in "${windows_builds[@]}"; do
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
  # shellcheck disable=SC2016 # assembly, not shell
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

# Drives the module's tests, a fault among them, through the DLL of package $2
# as a user unpacks it, with the test programs of the build in $1.
test_packaged_dll() {
  local build=$1 package=$2 folder
  folder="$build/packaged-$(basename "$package" .zip)"
  rm -rf "$folder" && mkdir -p "$folder"
  (cd "$folder" && cmake -E tar xf "$OLDPWD/$package")
  METER_MODULE_UNDER_TEST="$PWD/$folder/cpuspeed.dll" sh tests/gtest_summary.sh \
    "$build/wine-run.sh" "$build/tests/platform_tests.exe" --gtest_filter='Module.*:Win32Module.*'
}

# The clang build has no test programs of its own: its packaged DLL runs
# under the GCC tree's, where 32-bit Wine runs (reason $1 empty).
clang_dll_under_wine() {
  if [ -z "$1" ]; then
    test_packaged_dll build/windows build/windows-clang/cpuspeed-meter-*-win32-clang.zip
  else
    skip "32-bit Wine suites" "$1"
  fi
}

# Builds target alone in a second folder of another name and checks that the
# file it makes there has the same bytes as the one in the preset's own
# build: two builds of one commit are the same wherever and whenever they
# are made.
same_bytes_from_second_build() {
  local preset=$1 target=$2 file=$3 second="build/second-$1"
  rm -rf "$second"
  cmake --preset "$preset" -B "$second" -DMETER_PACKAGE_ONLY=ON >/dev/null
  cmake --build "$second" --target "$target" >/dev/null
  cmp "build/$preset/$file" "$second/$file" || return
  echo "$file: the same bytes from build/$preset and $second"
}

main() {
  cd "$(dirname "$0")/.."
  bash scripts/install-deps.sh
  trap stop_wine EXIT

  for preset in linux linux-asan linux-tsan; do
    step "workflow: $preset"
    cmake --workflow --preset "$preset"
  done
  same_bytes_from_second_build linux cpuspeed cpuspeed.so

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
  build/linux/meter-soak --threads 4 --instances 3 --seconds "$SOAK_SECONDS"

  step "soak under valgrind memcheck: 2 threads, 5 s"
  valgrind --quiet --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    --log-file=build/valgrind-soak.log \
    build/linux/meter-soak --module build/linux/cpuspeed.so --threads 2 --instances 2 --seconds 5 ||
    { cat build/valgrind-soak.log; exit 1; }
  cat build/valgrind-soak.log

  # Wine's 32-bit loader is a 32-bit Linux program. Where the kernel runs those
  # natively, the 32-bit suites run; on a kernel without a 32-bit mode they run
  # only on request, through qemu's user-mode emulator (slowly: minutes per
  # program start). Where they cannot, the 32-bit trees' Wine tests are each
  # one skipped test, and the package gates still run.
  if [ "${METER_WINE_EMULATED:-0}" = 1 ]; then
    bash scripts/enable-i386.sh
    reason=
  else
    reason=$(wine32_missing_reason)
  fi
  for preset in windows-x64 windows windows-clang; do
    step "workflow: $preset"
    cmake --workflow --preset "$preset"
  done
  step "the clang DLL, packaged, under the 32-bit GCC tree's Wine tests"
  clang_dll_under_wine "$reason"

  step "Windows packages: the same bytes from a second build"
  for preset in windows windows-clang windows-x64; do
    package=$(basename "$(ls "build/$preset"/cpuspeed-meter-*.zip)")
    same_bytes_from_second_build "$preset" package "$package"
  done

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
