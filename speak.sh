#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Speaks a sentence through quorlin into a WAV file, from a fresh checkout:
# installs the missing Debian packages of the build (when run as root;
# none of the test toolchain), configures the 64-bit build without tests
# (preset release), builds the module, the reference engine and
# quorlin-say, then speaks the text given as arguments (or a default
# sentence) into quorlin.wav in the current directory.
#
# usage: ./speak.sh [-o FILE.wav] [text...]
set -euo pipefail

output=quorlin.wav
if [[ ${1:-} == -o ]]; then
  if [[ $# -lt 2 ]]; then
    echo "usage: $0 [-o FILE.wav] [text...]" >&2
    exit 2
  fi
  output=$2
  shift 2
fi
if [[ $# -gt 0 ]]; then
  text="$*"
else
  text="Hello from quorlin. This sentence was spoken through the module."
fi
# The file is named relative to where the script was started.
[[ $output == /* ]] || output="$PWD/$output"

cd "$(dirname "$0")"
scripts/install-deps.sh

cmake --preset release
cmake --build --preset release

build/release/bin/quorlin-say -q -o "$output" -- "$text"

rate=$(od -An -t u4 -j 24 -N 4 "$output" | tr -d ' ')
bytes=$(od -An -t u4 -j 40 -N 4 "$output" | tr -d ' ')
seconds=$(awk -v b="$bytes" -v r="$rate" 'BEGIN { printf "%.2f", b / 2 / r }')
echo "Wrote $output: $seconds s of speech at $rate Hz"
echo "Listen to it with any audio player, e.g.: aplay $output (Debian package alsa-utils)"
