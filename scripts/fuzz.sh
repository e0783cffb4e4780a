#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (preset fuzz) and gives each a
# bounded run, starting from a temporary copy of its committed corpus so
# that the run never adds files to the tree. Fails on the first target
# that crashes, leaks or fails one of its checks; the input that did it
# is kept under build/fuzz/artifacts/<target>/.
#
# QUORLIN_FUZZ_SECONDS, when set, replaces every target's time (for a
# quick smoke run or a long soak).
set -euo pipefail
cd "$(dirname "$0")/.."

# One line per target: name, seconds, corpus directory under fuzz/.
targets=(
  "fuzz_prepare_text 30 corpus/prepare_text"
)

names=()
for entry in "${targets[@]}"; do
  read -r name _ _ <<<"$entry"
  names+=("$name")
done

cmake --preset fuzz
cmake --build --preset fuzz --target "${names[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for entry in "${targets[@]}"; do
  read -r name seconds corpus <<<"$entry"
  seconds=${QUORLIN_FUZZ_SECONDS:-$seconds}
  artifacts=build/fuzz/artifacts/$name
  mkdir -p "$work/$name" "$artifacts"
  cp -R "fuzz/$corpus/." "$work/$name/"
  echo "=== $name: ${seconds}s ==="
  if ! "build/fuzz/fuzz/$name" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$artifacts/" "$work/$name"; then
    echo "fuzz.sh: $name failed; the input is in $artifacts/" >&2
    exit 1
  fi
done
