#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, as root.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
# Wine's 32-bit loader comes from the i386 architecture; 64-bit Wine runs the
# 64-bit Windows form on any x86-64 kernel.
dpkg --add-architecture i386
apt-get update -q
apt-get install -y -q --no-install-recommends \
  build-essential cmake ninja-build clang lld clang-format clang-tidy \
  libgtest-dev libgmock-dev googletest libbenchmark-dev \
  binutils valgrind libclang-rt-14-dev \
  g++-mingw-w64-i686 mingw-w64-i686-dev g++-mingw-w64-x86-64 mingw-w64-x86-64-dev \
  wine wine32:i386 wine64 python3-pefile qemu-user-static
