#!/usr/bin/env bash
# The install step and the test command's 32-bit Wine check, against stub
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
      sed 's/^/  /' <<<"$output"
      failed=1
    fi
  done
}

# install-deps.sh with apt-get failing its first updates UPDATE_FAILURES
# times (all when "always"), and its installs failing for the packages named
# in FAILING; dpkg-query reports every other package installed.
install_case() {
  local what=$1 update_failures=$2 failing=$3 expected_status=$4 output status
  shift 4
  rm -rf "$stubs/bin" && mkdir -p "$stubs/bin"
  echo 0 >"$stubs/updates"
  stub dpkg 'exit 0'
  stub apt-get "
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
    sed 's/^/  /' <<<"$output"
    failed=1
  fi
  expect "$what" "$output" "$@"
  updates=$(cat "$stubs/updates")
}

install_case "updates that fail twice, then succeed" 2 "" 0 \
  "try 1 of 3" "try 2 of 3" "!WARNING" "required packages installed" \
  "optional package installed: wine32:i386"
[ "$updates" = 3 ] || { echo "FAILED: apt-get update ran $updates times, expected 3"; failed=1; }
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
  rm -rf "$stubs/bin" && mkdir -p "$stubs/bin"
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

if [ "$failed" = 0 ]; then
  echo "install step and 32-bit Wine check: every case passed"
fi
exit "$failed"
