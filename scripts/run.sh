#!/usr/bin/env bash
# Builds the Linux module and the host program, then prints a few readings.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null || ! command -v g++ >/dev/null; then
  bash scripts/install-deps.sh
fi
cmake --preset linux >/dev/null
cmake --build --preset linux --target meter-host cpuspeed
exec build/linux/meter-host --count "${READINGS:-5}" "$@"
