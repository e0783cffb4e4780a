#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
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

# One line per target: name, seconds, corpus directory under fuzz/, and
# any further libFuzzer flags. The protocol and config targets point
# stderr elsewhere while the module runs, so libFuzzer reports on a copy
# of its own (-close_fd_mask=2). The protocol target runs some inputs in
# child processes, which must not inherit a half-alive RSS-watching
# thread; a hang there fails the run after 20 seconds.
targets=(
  "fuzz_prepare_text 60 corpus/prepare_text"
  "fuzz_protocol 60 corpus/protocol -close_fd_mask=2 -rss_limit_mb=0 -malloc_limit_mb=2048 -timeout=20"
  "fuzz_config 60 corpus/config -close_fd_mask=2"
)

names=()
for entry in "${targets[@]}"; do
  read -r name _ <<<"$entry"
  names+=("$name")
done

cmake --preset fuzz
cmake --build --preset fuzz --target "${names[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The targets' own scratch files go inside the work folder, so that a
# run that dies leaves nothing behind in $TMPDIR.
mkdir "$work/tmp"

for entry in "${targets[@]}"; do
  read -r name seconds corpus flags <<<"$entry"
  seconds=${QUORLIN_FUZZ_SECONDS:-$seconds}
  artifacts=build/fuzz/artifacts/$name
  mkdir -p "$work/$name" "$artifacts"
  cp -R "fuzz/$corpus/." "$work/$name/"
  log=build/fuzz/$name.log
  echo "=== $name: ${seconds}s (log: $log) ==="
  # libFuzzer reports every new input; its log goes to a file, and only
  # the summary, or on failure the end of the log, is shown.
  # shellcheck disable=SC2086 # the flags are separate words
  if ! TMPDIR="$work/tmp" "build/fuzz/fuzz/$name" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$artifacts/" ${flags:-} "$work/$name" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "fuzz.sh: $name failed; the input is in $artifacts/" >&2
    exit 1
  fi
  grep -E '^(Done|stat::(number_of_executed_units|new_units_added|peak_rss_mb))' "$log" || true
done
