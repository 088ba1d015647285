#!/usr/bin/env bash
# Installs the Debian packages a job needs, only when some are missing.
# Usage: tools/install-deps.sh demo|test
set -euo pipefail

common=(g++ cmake binutils octave liboctave-dev libgtest-dev libbenchmark-dev)
case "${1:-test}" in
  # The default preset configures the tests and benchmarks too.
  demo) wanted=("${common[@]}") ;;
  # clang and its runtimes for the fuzz preset; valgrind for the memcheck test;
  # the ARM64 cross compiler, its C library and qemu for the arm64 preset;
  # clang-format for the formatting check; git lists the files it checks.
  test) wanted=("${common[@]}" googletest mingw-w64 wine wine64 clang libclang-rt-14-dev valgrind
                g++-aarch64-linux-gnu libc6-dev-arm64-cross qemu-user clang-format git) ;;
  *) echo "usage: $0 demo|test" >&2; exit 2 ;;
esac

missing=()
for p in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing Debian packages: ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
