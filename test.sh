#!/usr/bin/env bash
# Sets everything up and runs every test: installs missing Debian
# packages (as root), then configures, builds and runs CTest for the
# 64-bit build with warnings as errors, the sanitizer build and the
# 32-bit build, and gives each fuzz target a bounded run.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh

presets=("${@:-ci asan m32}")
read -r -a presets <<<"${presets[*]}"
for preset in "${presets[@]}"; do
  echo "=== $preset ==="
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

if [[ -x scripts/fuzz.sh ]]; then
  scripts/fuzz.sh
fi
