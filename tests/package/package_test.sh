#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The Debian package as a user gets it: builds it with CPack from the
# build tree, checks its control fields and its file list (nothing on PATH
# but quorlin-say, nothing on the system library path, the module and its
# engine in their private tree, the documents present), unpacks it into a
# scratch root with dpkg -x, and has the unpacked quorlin-say speak a
# sentence with no --module option, so that it must find the unpacked
# module by itself. The WAV must hold speech: a well-formed header for
# 22050 Hz 16-bit mono, a data size that matches the file, more than half
# a second of audio and a peak well above silence. Last, with the module
# moved away the same command must fail, which proves that it was the
# unpacked module that spoke. The recommended configuration must be a
# conffile that the unpacked module reads without a warning, the same
# text as the documented example, the Debian
# changelog must name the package's version, and lintian (when installed)
# must find nothing but what the module's private tree causes.
#
# usage: package_test.sh <cpack> <build dir>
set -euo pipefail

cpack=$1
build=$2

scratch=$(mktemp -d "${TMPDIR:-/tmp}/quorlin-package-XXXXXX")
cleanup() {
  if [[ ${keep:-0} == 1 ]]; then
    echo "package_test: scratch files kept in $scratch" >&2
  else
    rm -rf "$scratch"
  fi
}
trap cleanup EXIT

fail() {
  echo "package_test: $*" >&2
  keep=1
  exit 1
}

# --- build the package --------------------------------------------------
"$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" \
  >"$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log" >&2; fail "cpack failed"; }
debs=("$scratch"/out/*.deb)
[[ ${#debs[@]} == 1 && -f ${debs[0]} ]] || fail "expected one .deb in $scratch/out, found: ${debs[*]}"
deb=${debs[0]}
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"

# --- control fields -----------------------------------------------------
for field in Package Version Architecture Maintainer Section Description Depends; do
  value=$(dpkg-deb -f "$deb" "$field")
  [[ -n $value ]] || fail "control field $field is empty"
  echo "$field: ${value%%$'\n'*}"
done
[[ $(dpkg-deb -f "$deb" Package) == quorlin ]] || fail "package name is not quorlin"
depends=$(dpkg-deb -f "$deb" Depends)
# From dpkg-shlibdeps: the engine's libraries and the C library.
for lib in libc6 libespeak-ng1 libsoxr0; do
  pattern="(^|[ ,])$lib([ ,(]|\$)"
  [[ $depends =~ $pattern ]] || fail "Depends lacks $lib: $depends"
done

# --- file list ----------------------------------------------------------
# dpkg-deb -c lists "./usr/bin/quorlin-say" and the like in its last column.
mapfile -t paths < <(dpkg-deb -c "$deb" | awk '{ print $NF }' | sed 's|^\./|/|')
module_dir=
for p in "${paths[@]}"; do
  [[ $p == */ ]] && continue
  case $p in
    /usr/bin/quorlin-say) ;;
    /bin/* | /sbin/* | /usr/bin/* | /usr/sbin/* | /usr/games/* | /usr/local/*)
      fail "$p would land on PATH" ;;
    /usr/lib/*/quorlin/bin/quorlin | /usr/lib/quorlin/bin/quorlin)
      module_dir=${p%/bin/quorlin} ;;
  esac
  # The system library path: files directly in a lib directory, or in its
  # multiarch directory.
  if [[ $p =~ ^(/usr)?/lib(32|64|x32)?/([^/]*-linux-gnu[^/]*/)?[^/]+$ ]]; then
    fail "$p would land on the system library path"
  fi
done
[[ -n $module_dir ]] || fail "no module at <libdir>/quorlin/bin/quorlin"
# The private tree holds the module and its engine, and nothing else: no
# fake engine, no test programs.
private=$(printf '%s\n' "${paths[@]}" | grep "^$module_dir/" | grep -v '/$' | sort)
expected=$(printf '%s\n' "$module_dir/bin/quorlin" "$module_dir/lib/libibmeci50.so")
[[ $private == "$expected" ]] || fail "the private tree holds:
$private
expected:
$expected"
for want in /usr/share/doc/quorlin/copyright /usr/share/doc/quorlin/changelog.gz \
    /usr/share/doc/quorlin/changelog.Debian.gz /etc/quorlin.conf \
    /usr/share/doc/quorlin/quorlin.conf.example /usr/share/man/man1/quorlin-say.1.gz \
    /usr/share/man/man5/quorlin.conf.5.gz /usr/share/man/man8/quorlin.8.gz; do
  printf '%s\n' "${paths[@]}" | grep -qx -- "$want" || fail "the package lacks $want"
done
echo "files: ${#paths[@]} entries, module in $module_dir"

# --- unpack and speak ---------------------------------------------------
root=$scratch/root
dpkg -x "$deb" "$root"
grep -q "GPL-3+" "$root/usr/share/doc/quorlin/copyright" || fail "copyright lacks the GPL"
grep -q "BSD-2-clause" "$root/usr/share/doc/quorlin/copyright" || fail "copyright lacks the BSD licence"

wav=$scratch/spoken/hello.wav
mkdir -p "$scratch/spoken"
sentence="Hello from the installed package. This sentence was spoken through the module."
# From the scratch folder, so that nothing of the build tree is near.
(cd "$scratch" && "$root/usr/bin/quorlin-say" -q -o "$wav" -- "$sentence") \
  >"$scratch/say.log" 2>&1 || { cat "$scratch/say.log" >&2; fail "the installed quorlin-say failed"; }
[[ -f $wav ]] || fail "no WAV was written"

# Unsigned little-endian field of <bytes> bytes at <offset>.
field() { od -An -t "u$2" -j "$1" -N "$2" "$wav" | tr -d ' '; }
tag() { dd if="$wav" bs=1 skip="$1" count=4 status=none; }

size=$(stat -c %s "$wav")
((size >= 44)) || fail "WAV of $size bytes"
[[ $(tag 0) == RIFF && $(tag 8) == WAVE ]] || fail "no RIFF/WAVE header"
(($(field 4 4) == size - 8)) || fail "RIFF size $(field 4 4) for a file of $size bytes"
# Walk the chunks to "fmt " and "data".
offset=12
data_offset=0 data_bytes=0 have_fmt=0
while ((offset + 8 <= size)); do
  id=$(tag "$offset")
  length=$(field $((offset + 4)) 4)
  case $id in
    "fmt ")
      have_fmt=1
      format=$(field $((offset + 8)) 2) channels=$(field $((offset + 10)) 2)
      rate=$(field $((offset + 12)) 4) byte_rate=$(field $((offset + 16)) 4)
      align=$(field $((offset + 20)) 2) bits=$(field $((offset + 22)) 2)
      [[ "$format $channels $rate $byte_rate $align $bits" == "1 1 22050 44100 2 16" ]] ||
        fail "format, channels, rate, byte rate, alignment, bits: $format $channels $rate $byte_rate $align $bits" ;;
    data)
      data_offset=$((offset + 8)) data_bytes=$length
      break ;;
  esac
  offset=$((offset + 8 + length + length % 2))
done
((have_fmt)) || fail "no fmt chunk"
((data_offset > 0)) || fail "no data chunk"
((data_offset + data_bytes == size)) ||
  fail "data chunk of $data_bytes bytes at $data_offset in a file of $size bytes"
((data_bytes % 2 == 0)) || fail "odd data size $data_bytes"
# More than half a second of speech...
((data_bytes > 22050)) || fail "only $data_bytes bytes of audio"
# ...and not silence: the loudest sample above -30 dBFS (1000 of 32767).
peak=$(od -An -v -t d2 -j "$data_offset" -N "$data_bytes" "$wav" |
  awk '{ for (i = 1; i <= NF; i++) { v = $i < 0 ? -$i : $i; if (v > m) m = v } } END { print m + 0 }')
((peak > 1000)) || fail "peak sample $peak: silence"
echo "spoken: $(awk -v b="$data_bytes" 'BEGIN { printf "%.2f", b / 44100 }') s at 22050 Hz, peak $peak"

# --- the unpacked module did the speaking -------------------------------
mv "$root$module_dir/bin/quorlin" "$scratch/quorlin.moved"
if (cd "$scratch" && "$root/usr/bin/quorlin-say" -q -o "$scratch/spoken/none.wav" -- "$sentence") \
    >"$scratch/say-without.log" 2>&1; then
  fail "quorlin-say still spoke with the unpacked module moved away"
fi
echo "without the unpacked module, quorlin-say fails as it should"
mv "$scratch/quorlin.moved" "$root$module_dir/bin/quorlin"

# --- the recommended configuration --------------------------------------
dpkg-deb -e "$deb" "$scratch/control"
# The module opens ICU at run time, so no link names it: the package must.
grep -Eq '^Depends:.*\blibicu[0-9]+' "$scratch/control/control" ||
  fail "the package does not depend on ICU: $(grep '^Depends:' "$scratch/control/control")"
[[ -f $scratch/control/conffiles ]] || fail "the package has no conffiles"
grep -qx /etc/quorlin.conf "$scratch/control/conffiles" ||
  fail "/etc/quorlin.conf is not a conffile: $(cat "$scratch/control/conffiles")"
printf 'INIT\nQUIT\n' | "$root$module_dir/bin/quorlin" "$root/etc/quorlin.conf" \
  >"$scratch/module.out" 2>"$scratch/module.err" ||
  { cat "$scratch/module.err" >&2; fail "the unpacked module failed with its configuration"; }
for want in "streaming 1" "index marks 1" "faithful text 1" "languages 1"; do
  grep -qx "quorlin: Config: $want" "$scratch/module.err" ||
    fail "the unpacked module did not read '$want' from /etc/quorlin.conf"
done
! grep "^quorlin: config " "$scratch/module.err" || fail "/etc/quorlin.conf has lines the module warns about"
cmp -s "$root/etc/quorlin.conf" "$root/usr/share/doc/quorlin/quorlin.conf.example" ||
  fail "/etc/quorlin.conf and the documented example differ"
echo "/etc/quorlin.conf: a conffile, read by the unpacked module"

# --- the changelogs -----------------------------------------------------
version=$(dpkg-deb -f "$deb" Version)
top=$(gzip -dc "$root/usr/share/doc/quorlin/changelog.Debian.gz" | head -n 1)
[[ $top == "quorlin ($version) "* ]] || fail "changelog.Debian.gz begins '$top', not version $version"
gzip -dc "$root/usr/share/doc/quorlin/changelog.gz" | grep -q "^## " ||
  fail "changelog.gz is not the upstream changelog"

# --- lintian ------------------------------------------------------------
# The module's private tree (a program and a library under
# /usr/lib/quorlin, a manual page for a program off PATH) causes these.
if command -v lintian >/dev/null; then
  lintian --pedantic "$deb" >"$scratch/lintian.log" 2>&1 || true
  cat "$scratch/lintian.log"
  allowed=" executable-in-usr-lib repeated-path-segment spare-manual-page "
  # Each finding reads "X: quorlin: tag [context]"; lintian's own failure
  # (no finding, but an error) must fail too.
  tags=$(awk '/^[EWIPXOC]: / { print $3 }' "$scratch/lintian.log" | sort -u)
  for tag in $tags; do
    [[ $allowed == *" $tag "* ]] || fail "lintian reports $tag"
  done
  grep -v '^[EWIPXOCN]: \|running with root privileges' "$scratch/lintian.log" | grep . &&
    fail "lintian printed something other than findings"
  echo "lintian: only ${tags:-no tags} from the private tree"
else
  echo "lintian not installed: not run"
fi
