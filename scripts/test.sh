#!/usr/bin/env bash
# Installs what the tests need, builds every form and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

step() { printf '\n== %s\n' "$*"; }

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
