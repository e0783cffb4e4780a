#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Sets everything up and runs every test: installs missing Debian
# packages (as root), then configures, builds and runs CTest for the
# 64-bit build with warnings as errors, the sanitizer build and the
# 32-bit build, and gives each fuzz target a bounded run.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh

presets=("${@:-ci asan m32}")
read -r -a presets <<<"${presets[*]}"
passed=0
failed=0
for preset in "${presets[@]}"; do
  echo "=== $preset ==="
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  log=build/$preset/ctest-output.log
  status=0
  ctest --preset "$preset" 2>&1 | tee "$log" || status=$?
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [[ $summary =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    failed=$((failed + BASH_REMATCH[1]))
    passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
  fi
  if ((status != 0)); then
    echo "test.sh: tests failed in the $preset configuration" >&2
    echo "total: $passed passed, $failed failed"
    exit "$status"
  fi
done

if [[ -x scripts/fuzz.sh && ${QUORLIN_SKIP_FUZZ:-0} != 1 ]]; then
  scripts/fuzz.sh
fi

echo "total: $passed passed, $failed failed"
