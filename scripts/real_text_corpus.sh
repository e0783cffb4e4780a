#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds the real-text corpus of the meaning-loss measure (bench/real_text_loss):
# about 1 MB of what a screen reader's user reads on a Debian system —
# licences, copyright files, changelogs, READMEs, man pages, HTML and C
# headers — one paragraph per message, paragraphs apart by a blank line.
# The files are a fixed list, taken from packages every machine that runs
# scripts/install-deps.sh --test has, each cut at a fixed size, so that two
# such machines build the same corpus; a file that is missing is named on
# standard error and skipped.
#
# usage: scripts/real_text_corpus.sh [OUT]   (default build/real-text.txt)
set -euo pipefail
out=${1:-build/real-text.txt}
mkdir -p "$(dirname "$out")"

# Each line: a kind (plain, gz, man, html), the most bytes taken, a path.
sources=(
  "plain 60000 /usr/share/common-licenses/GPL-3"
  "plain 40000 /usr/share/common-licenses/GPL-2"
  "plain 30000 /usr/share/common-licenses/LGPL-2.1"
  "plain 25000 /usr/share/common-licenses/Apache-2.0"
  "plain 25000 /usr/share/common-licenses/MPL-2.0"
  "plain 8000 /usr/share/common-licenses/Artistic"
  "plain 3000 /usr/share/common-licenses/BSD"
  "plain 30000 /usr/share/doc/libicu-dev/copyright"
  "plain 20000 /usr/share/doc/espeak-ng-data/copyright"
  "plain 15000 /usr/share/doc/cmake/copyright"
  "plain 10000 /usr/share/doc/valgrind/copyright"
  "plain 10000 /usr/share/doc/bash/copyright"
  "plain 10000 /usr/share/doc/coreutils/copyright"
  "plain 8000 /usr/share/doc/libsoxr-dev/copyright"
  "plain 40000 /usr/share/doc/gcc-12/copyright"
  "plain 25000 /usr/share/doc/libc6/copyright"
  "plain 15000 /usr/share/doc/git/copyright"
  "gz 40000 /usr/share/doc/bash/changelog.Debian.gz"
  "gz 40000 /usr/share/doc/coreutils/changelog.Debian.gz"
  "gz 40000 /usr/share/doc/apt/changelog.gz"
  "gz 30000 /usr/share/doc/cmake/changelog.Debian.gz"
  "gz 30000 /usr/share/doc/valgrind/changelog.Debian.gz"
  "gz 20000 /usr/share/doc/espeak-ng/changelog.Debian.gz"
  "gz 20000 /usr/share/doc/sox/changelog.Debian.gz"
  "gz 20000 /usr/share/doc/make/changelog.Debian.gz"
  "gz 20000 /usr/share/doc/tar/NEWS.gz"
  "gz 20000 /usr/share/doc/grep/NEWS.gz"
  "gz 15000 /usr/share/doc/sed/NEWS.gz"
  "plain 30000 /usr/share/doc/base-files/README.FHS"
  "plain 10000 /usr/share/doc/base-files/README"
  "gz 20000 /usr/share/doc/apt/README.md.gz"
  "gz 20000 /usr/share/doc/bash/README.gz"
  "man 60000 /usr/share/man/man1/bash.1.gz"
  "man 25000 /usr/share/man/man1/cmake.1.gz"
  "man 25000 /usr/share/man/man1/valgrind.1.gz"
  "man 25000 /usr/share/man/man1/sox.1.gz"
  "man 15000 /usr/share/man/man1/espeak-ng.1.gz"
  "man 15000 /usr/share/man/man1/ls.1.gz"
  "man 15000 /usr/share/man/man1/grep.1.gz"
  "man 15000 /usr/share/man/man1/find.1.gz"
  "man 15000 /usr/share/man/man8/apt-get.8.gz"
  "man 10000 /usr/share/man/man1/tar.1.gz"
  "man 30000 /usr/share/man/man1/git.1.gz"
  "man 30000 /usr/share/man/man1/less.1.gz"
  "man 30000 /usr/share/man/man1/curl.1.gz"
  "html 40000 /usr/share/doc/bzip2/manual.html"
  "html 30000 /usr/share/doc/espeak-ng/README.html"
  "html 15000 /usr/share/doc/base-passwd/users-and-groups.html"
  "plain 30000 /usr/include/stdio.h"
  "plain 25000 /usr/include/string.h"
  "plain 30000 /usr/include/unicode/uchar.h"
  "plain 25000 /usr/include/espeak-ng/speak_lib.h"
  "plain 15000 /usr/include/soxr.h"
  "plain 30000 /usr/include/gtest/gtest.h"
  "plain 20000 /usr/include/benchmark/benchmark.h"
  "plain 20000 /usr/include/stdlib.h"
  "plain 20000 /usr/include/unistd.h"
  "plain 20000 /usr/include/pthread.h"
  "plain 15000 /usr/include/math.h"
)

# The text of one source, cut at `bytes` and then at the last line end.
# head ends the pipe early, so the status of what feeds it is not looked at.
text_of() (
  set +o pipefail
  local kind=$1 bytes=$2 path=$3
  case $kind in
    plain) cat "$path" ;;
    gz) zcat "$path" ;;
    # Rendered as a reader sees it, without the overstrike of bold.
    man) mandoc -T utf8 "$path" 2>/dev/null | sed 's/.\x08//g' ;;
    # HTML is read as text, tags and all: what a message holds when a
    # reader speaks the file, and the markup rules' own test.
    html) cat "$path" ;;
  esac | head -c "$bytes" | sed '$d'
)

tmp=$(mktemp "$out.XXXXXX")
trap 'rm -f "$tmp"' EXIT
for s in "${sources[@]}"; do
  read -r kind bytes path <<<"$s"
  if [[ ! -r $path ]]; then
    echo "real_text_corpus.sh: $path is missing, skipped" >&2
    continue
  fi
  text_of "$kind" "$bytes" "$path" >>"$tmp"
  printf '\n\n' >>"$tmp"
done
mv "$tmp" "$out"
trap - EXIT
echo "real_text_corpus.sh: $(wc -c <"$out") bytes in $out" >&2
