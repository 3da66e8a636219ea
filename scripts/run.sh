#!/usr/bin/env bash
# Builds the Linux module and the host program, then prints a few readings,
# polling once a second at the levels advised for a desktop: interval 5,
# thread level 15, class level 2. Options given are passed on to meter-host
# after these (so they win); READINGS sets how many readings (default 5).
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null || ! command -v g++ >/dev/null; then
  bash scripts/install-deps.sh
fi
cmake --preset linux >/dev/null
cmake --build --preset linux --target meter-host cpuspeed
echo "meter-host --count ${READINGS:-5} --interval 5 --thread 15 --class 2 $*"
exec build/linux/meter-host --count "${READINGS:-5}" --interval 5 --thread 15 --class 2 "$@"
