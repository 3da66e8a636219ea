#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, as root.
#
# A mirror out of step serves an index that does not match its release file
# for a while. Such an index is retried, then left out with a warning: the
# install that follows decides. Every package but 32-bit Wine and qemu's
# emulator is required. Those two are optional: only the 32-bit Windows
# suites need 32-bit Wine, and qemu only where they are asked to run on a
# kernel without a 32-bit mode; scripts/test.sh says why the suites did not
# run where they cannot.
#
# Sourced, it defines its steps without running them (tests/scripts_test.sh).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

required=(
  build-essential cmake ninja-build clang lld clang-format clang-tidy
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  binutils valgrind libclang-rt-14-dev
  g++-mingw-w64-i686 mingw-w64-i686-dev g++-mingw-w64-x86-64 mingw-w64-x86-64-dev
  wine wine64 python3-pefile shellcheck flake8
)
optional=(wine32:i386 qemu-user-static)

# apt-get update, a few tries apart; what still fails after the last is named.
update_package_lists() {
  local log=$1 attempts=${APT_UPDATE_ATTEMPTS:-3} attempt
  for attempt in $(seq "$attempts"); do
    if apt-get update -q >"$log" 2>&1; then
      return 0
    fi
    if [ "$attempt" -eq "$attempts" ]; then
      echo "WARNING: apt-get update failed $attempts times; going on with the package lists it has." >&2
      grep -E '^(E|W): Failed to fetch' "$log" | sed 's/^/WARNING:   /' >&2 || tail -n 3 "$log" >&2
    else
      echo "apt-get update failed (try $attempt of $attempts); trying again in ${APT_RETRY_SECONDS:-20} s" >&2
      sleep "${APT_RETRY_SECONDS:-20}"
    fi
  done
}

installed() {
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
}

# The required packages as one set; fails naming those that are missing.
install_required() {
  local log=$1 package missing=()
  if ! apt-get install -y -q --no-install-recommends "${required[@]}" >"$log" 2>&1; then
    cat "$log" >&2
    for package in "${required[@]}"; do
      installed "$package" || missing+=("$package")
    done
    echo "ERROR: required packages could not be installed: ${missing[*]:-see the messages above}" >&2
    return 1
  fi
  echo "required packages installed: ${required[*]}"
}

# Each optional package, or a line saying why it is not there.
install_optional() {
  local log=$1 package reason unmet
  for package in "${optional[@]}"; do
    if apt-get install -y -q --no-install-recommends "$package" >"$log" 2>&1; then
      echo "optional package installed: $package"
    else
      # apt's error, and the first dependency it could not meet, on one line.
      reason=$(grep -E '^E: ' "$log" | head -n 1 | sed 's/^E: //')
      unmet=$(grep -E 'Depends: ' "$log" | head -n 1 | tr -s ' ' | sed 's/^ //')
      echo "OPTIONAL PACKAGE NOT INSTALLED: $package (apt: ${reason:-$(tail -n 1 "$log")}${unmet:+; first unmet: $unmet})"
    fi
  done
}

main() {
  local log status=0
  log=$(mktemp)
  # Wine's 32-bit loader comes from the i386 architecture.
  dpkg --add-architecture i386
  update_package_lists "$log"
  install_required "$log" && install_optional "$log" || status=$?
  rm -f "$log"
  return "$status"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  main
fi
