#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Sets everything up and runs every test: installs missing Debian
# packages (as root), proves that the module, the reference engine and
# quorlin-say build without any test dependency (preset release) and
# that the Debian package made from that build speaks, then
# configures, builds and runs CTest, in parallel, for the 64-bit build
# with warnings as errors, the sanitizer build and the 32-bit build, and
# gives each fuzz target a bounded run. Prints the time each step took.
#
# usage: ./test.sh [step...]   (default: release ci asan m32 fuzz; the
#        fuzz step is left out when QUORLIN_SKIP_FUZZ=1)
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh --test

presets=("${@:-release ci asan m32 fuzz}")
read -r -a presets <<<"${presets[*]}"
jobs=$(nproc)
passed=0
failed=0
timings=()

elapsed() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }
# Prints the time of each step and the count line, and exits.
finish() {
  echo "=== time taken ==="
  printf '%s\n' "${timings[@]}"
  echo "total: $passed passed, $failed failed"
  exit "$1"
}

for preset in "${presets[@]}"; do
  start=$SECONDS
  if [[ $preset == fuzz ]]; then
    [[ ${QUORLIN_SKIP_FUZZ:-0} == 1 ]] && continue
    status=0
    scripts/fuzz.sh || status=$?
    timings+=("fuzz: $(elapsed $((SECONDS - start)))")
    if ((status != 0)); then
      echo "test.sh: a fuzz target failed" >&2
      finish "$status"
    fi
    continue
  fi
  echo "=== $preset ==="
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  if [[ $preset == release ]]; then
    # Built without tests: nothing to run but the client itself, and the
    # package made from this build, as the README makes it.
    build/release/bin/quorlin-say --version
    tests/package/package_test.sh cpack build/release
    timings+=("$preset (build and package): $(elapsed $((SECONDS - start)))")
    continue
  fi
  log=build/$preset/ctest-output.log
  status=0
  ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$log" || status=$?
  timings+=("$preset: $(elapsed $((SECONDS - start)))")
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [[ $summary =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    failed=$((failed + BASH_REMATCH[1]))
    passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
  fi
  if ((status != 0)); then
    echo "test.sh: tests failed in the $preset configuration" >&2
    finish "$status"
  fi
done

finish 0
