#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs the Debian packages that building and testing quorlin needs,
# when they are missing. Needs root for the install; without root it
# names what is missing and fails.
set -euo pipefail

packages=(
  cmake ninja-build g++ gcc git
  g++-multilib            # the 32-bit build
  qemu-user               # runs the 32-bit tests (qemu-i386)
  googletest              # GoogleTest sources, built per configuration
  libbenchmark-dev        # benchmarks
  clang libclang-rt-14-dev  # libFuzzer targets
  libespeak-ng-dev espeak-ng  # the reference engine, and the end-to-end comparison
  libsoxr-dev             # resampling in the reference engine
  valgrind                # memcheck and instruction counts
  hyperfine               # wall-time comparisons in scripts/measure.sh
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
  echo "quorlin needs these Debian packages: ${missing[*]}" >&2
  echo "run this script as root, or: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi

echo "installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
