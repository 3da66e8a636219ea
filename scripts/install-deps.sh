#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, as root.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends \
  build-essential cmake ninja-build clang clang-format clang-tidy \
  libgtest-dev libgmock-dev googletest libbenchmark-dev \
  binutils
