#!/usr/bin/env bash
# The install step and the test command's own steps (the 32-bit Wine check,
# stopping the Wine servers, the second build's comparison), against stub
# commands put first on PATH: no package is installed and nothing on the
# machine is asked.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
stubs=$(mktemp -d)
trap 'rm -rf "$stubs"' EXIT
failed=0

# A stub command: name, then its body as a shell script.
stub() {
  printf '#!/bin/sh\n%s\n' "$2" >"$stubs/bin/$1"
  chmod +x "$stubs/bin/$1"
}

# Checks that the output holds (or, with !, lacks) each text given.
expect() {
  local what=$1 output=$2 text
  shift 2
  for text in "$@"; do
    if [ "${text#!}" != "$text" ]; then
      if grep -qF -- "${text#!}" <<<"$output"; then
        echo "FAILED: $what: printed '${text#!}'"
        failed=1
      fi
    elif ! grep -qF -- "$text" <<<"$output"; then
      echo "FAILED: $what: did not print '$text'; printed:"
      printf '  %s\n' "${output//$'\n'/$'\n'  }"
      failed=1
    fi
  done
}

# A fresh folder of stubs, each of which logs its name and arguments.
fresh_stubs() {
  rm -rf "${stubs:?}/bin" && mkdir -p "$stubs/bin"
  : >"$stubs/calls"
}

# install-deps.sh with apt-get failing its first updates UPDATE_FAILURES
# times (all when "always"), and its installs failing for the packages named
# in FAILING; dpkg-query reports every other package installed.
install_case() {
  local what=$1 update_failures=$2 failing=$3 expected_status=$4 output status
  shift 4
  fresh_stubs
  echo 0 >"$stubs/updates"
  stub dpkg "echo \"dpkg \$*\" >>$stubs/calls"
  stub apt-get "
echo \"apt-get \$1\" >>$stubs/calls
case \$1 in
  update)
    count=\$((\$(cat $stubs/updates) + 1)); echo \$count >$stubs/updates
    [ '$update_failures' = always ] || [ \$count -le ${update_failures/always/0} ] || exit 0
    echo 'E: Failed to fetch http://mirror/dists/bookworm/main/binary-i386/Packages.xz  File has unexpected size'
    exit 100 ;;
  install)
    for package in $failing; do
      case \" \$* \" in *\" \$package \"*)
        echo \"E: Unable to correct problems, you have held broken packages.\"
        echo \" \$package : Depends: libwine (= 8.0) but it is not going to be installed\"
        exit 100 ;;
      esac
    done ;;
esac
exit 0"
  stub dpkg-query "
for package in $failing; do [ \"\$3\" = \"\$package\" ] && { echo not-installed; exit 0; }; done
echo installed"
  status=0
  output=$(PATH="$stubs/bin:$PATH" APT_RETRY_SECONDS=0 bash "$root/scripts/install-deps.sh" 2>&1) ||
    status=$?
  if [ "$status" != "$expected_status" ]; then
    echo "FAILED: $what: exit status $status, expected $expected_status; printed:"
    printf '  %s\n' "${output//$'\n'/$'\n'  }"
    failed=1
  fi
  expect "$what" "$output" "$@"
  updates=$(cat "$stubs/updates")
}

install_case "updates that fail twice, then succeed" 2 "" 0 \
  "try 1 of 3" "try 2 of 3" "!WARNING" "required packages installed" \
  "optional package installed: wine32:i386"
[ "$updates" = 3 ] || { echo "FAILED: apt-get update ran $updates times, expected 3"; failed=1; }
# 32-bit Wine can come only from the i386 package lists.
[ "$(head -n 2 "$stubs/calls")" = $'dpkg --add-architecture i386\napt-get update' ] ||
  { echo "FAILED: the i386 architecture was not added before the first update"; failed=1; }
install_case "updates that always fail" always "" 0 \
  "WARNING: apt-get update failed 3 times" "WARNING:   E: Failed to fetch" \
  "required packages installed"
install_case "a required package that cannot be installed" 0 "lld" 1 \
  "ERROR: required packages could not be installed: lld" "!optional package"
install_case "the optional package that cannot be installed" 0 "wine32:i386" 0 \
  "required packages installed" \
  "OPTIONAL PACKAGE NOT INSTALLED: wine32:i386 (apt: Unable to correct problems" \
  "first unmet: wine32:i386 : Depends: libwine"

# scripts/test.sh's reason why the 32-bit Wine suites cannot run, with the
# assembler, the linker, the probe program they make and Wine's loader as
# stubs; empty when they can run.
wine32_case() {
  local what=$1 probe_status=$2 loader=$3 binfmt=$4 expected=$5 reason
  fresh_stubs
  for tool in mktemp rm printf head chmod; do
    ln -s "$(command -v "$tool")" "$stubs/bin/$tool"
  done
  if [ "$probe_status" != "no assembler" ]; then
    stub as 'exit 0'
    # The linker writes the probe program: it exits with probe_status.
    stub ld "while [ \$# -gt 1 ]; do [ \"\$1\" = -o ] && out=\$2; shift; done
printf '#!/bin/sh\nexit $probe_status\n' >\"\$out\"; chmod +x \"\$out\""
  fi
  rm -f "$stubs/wine" "$stubs/binfmt"
  case $loader in
    works) printf '#!/bin/sh\necho wine-8.0\n' >"$stubs/wine" ;;
    fails) printf '#!/bin/sh\necho "wine: could not load ntdll.so: mismatch" >&2\nexit 1\n' \
      >"$stubs/wine" ;;
  esac
  [ -e "$stubs/wine" ] && chmod +x "$stubs/wine"
  [ "$binfmt" = registered ] && touch "$stubs/binfmt"
  reason=$(
    # shellcheck disable=SC2030 # for this case alone
    export WINE32_LOADER="$stubs/wine" QEMU_I386_BINFMT="$stubs/binfmt" PATH="$stubs/bin"
    # shellcheck source=/dev/null
    source "$root/scripts/test.sh"
    wine32_missing_reason
  )
  if [ -z "$expected" ] && [ -n "$reason" ]; then
    echo "FAILED: $what: the 32-bit suites would be skipped: $reason"
    failed=1
  elif [ -n "$expected" ]; then
    expect "$what" "$reason" "$expected"
  fi
}

wine32_case "32-bit Wine installed" 0 works none ""
wine32_case "no assembler" "no assembler" works none "could not be built"
wine32_case "a kernel without a 32-bit mode" 1 works none "has no 32-bit mode"
wine32_case "32-bit Wine not installed" 0 missing none "32-bit Wine is not installed"
wine32_case "a loader that does not start" 0 fails none "loader does not start: wine: could not load"
wine32_case "qemu registered for 32-bit programs" 0 works registered "go through qemu-i386"

# The test command's own steps, with cmake, cmp and wineserver as stubs.
steps_case() {
  local what=$1 expected_status=$2 output status=0
  shift 2
  output=$(
    # shellcheck disable=SC2031 # for this case alone
    export PATH="$stubs/bin:$PATH"
    cd "$stubs"
    # shellcheck source=/dev/null
    source "$root/scripts/test.sh"
    "$@"
  ) || status=$?
  if [ "$status" != "$expected_status" ]; then
    echo "FAILED: $what: exit status $status, expected $expected_status: $output"
    failed=1
  fi
}

# Every Windows build's Wine server is stopped, each in its own prefix.
fresh_stubs
stub wineserver "echo \"wineserver \$* \$WINEPREFIX\" >>$stubs/calls"
steps_case "stopping the Wine servers" 0 stop_wine
expect "stopping the Wine servers" "$(cat "$stubs/calls")" \
  "wineserver -k $stubs/build/windows/wineprefix" "wineserver -k $stubs/build/windows-x64/wineprefix"

# The second build's file is compared with the first build's, and bytes that
# differ fail the step. The stub cmake's build writes the file the second
# folder's name asks for.
fresh_stubs
mkdir -p "$stubs/build/windows"
echo first >"$stubs/build/windows/file.zip"
stub cmake "[ \"\$1\" = --build ] || exit 0; mkdir -p \$2; cat $stubs/second >\$2/file.zip"
echo first >"$stubs/second"
steps_case "second build with the same bytes" 0 same_bytes_from_second_build windows package file.zip
echo other >"$stubs/second"
steps_case "second build with other bytes" 1 same_bytes_from_second_build windows package file.zip

# The 32-bit Wine suites run only where nothing stands in their way.
fresh_stubs
(
  # shellcheck source=/dev/null
  source "$root/scripts/test.sh"
  # shellcheck disable=SC2317 # called by the step below
  test_packaged_dll() { echo "ran $*" >>"$stubs/calls"; }
  # shellcheck disable=SC2317
  skip() { echo "skipped: $2" >>"$stubs/calls"; }
  clang_dll_under_wine ""
  clang_dll_under_wine "no 32-bit mode"
)
expect "32-bit suites" "$(cat "$stubs/calls")" "ran build/windows" "skipped: no 32-bit mode"
[ "$(wc -l <"$stubs/calls")" = 2 ] || { echo "FAILED: 32-bit suites: $(cat "$stubs/calls")"; failed=1; }

# A test program passes only where it exits 0 and its own summary says that
# every test it ran passed or was skipped: not one that dies quietly.
summary_case() {
  local what=$1 expected_status=$2 output=$3 status=$4 result=0
  sh "$root/tests/gtest_summary.sh" sh -c "printf '$output'; exit $status" >/dev/null 2>&1 ||
    result=$?
  [ "$result" = "$expected_status" ] ||
    { echo "FAILED: gtest summary, $what: exit status $result"; failed=1; }
}
ran='[==========] 3 tests from 1 test suite ran. (5 ms total)\n'
summary_case "every test passed" 0 "${ran}[  PASSED  ] 3 tests.\n" 0
summary_case "one skipped" 0 "${ran}[  PASSED  ] 2 tests.\n[  SKIPPED ] 1 test, listed below:\n" 0
summary_case "a failure, then exit status 0" 1 "${ran}[  PASSED  ] 2 tests.\n" 0
summary_case "nothing printed, exit status 0" 1 "" 0
summary_case "every test passed, then a crash" 1 "${ran}[  PASSED  ] 3 tests.\n" 139

# A package's entries carry SOURCE_DATE_EPOCH's date in UTC, whatever the
# builder's time zone: the same bytes at UTC and at UTC+14.
mkdir -p "$stubs/package" && echo text >"$stubs/package/README.txt"
for zone in UTC0 EAST-14; do
  SOURCE_DATE_EPOCH=1700000000 TZ=$zone "$root/cmake/package_zip.py" --source "$stubs" \
    "$stubs/$zone.zip" "$stubs/package" README.txt >/dev/null
done
cmp -s "$stubs/UTC0.zip" "$stubs/EAST-14.zip" ||
  { echo "FAILED: the package's dates depend on the time zone"; failed=1; }

if [ "$failed" = 0 ]; then
  echo "install step and the test command's steps: every case passed"
fi
exit "$failed"
