#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs the Debian packages quorlin needs, when they are missing.
#
#   scripts/install-deps.sh          what building and running the module,
#                                    the reference engine and quorlin-say
#                                    needs (speak.sh)
#   scripts/install-deps.sh --test   that, and the test toolchain (test.sh)
#
# Needs root for the install; without root it names what is missing and
# fails.
set -euo pipefail

build_packages=(
  cmake ninja-build gcc g++ pkg-config
  libespeak-ng-dev espeak-ng-data  # the reference engine, and the voices it speaks with
  libsoxr-dev                      # resampling in the reference engine
  libicu-dev                       # Unicode normalisation, transliteration and names
)
test_packages=(
  googletest              # GoogleTest sources, built per configuration
  libbenchmark-dev        # benchmarks
  g++-multilib            # the 32-bit build
  qemu-user               # runs the 32-bit tests (qemu-i386)
  clang                   # libFuzzer targets, with the runtime of its version (below)
  espeak-ng               # the end-to-end comparison with eSpeak NG's own output
  valgrind                # memcheck and instruction counts
  mandoc groff-base       # man page lint
  dpkg-dev file           # dpkg-shlibdeps, and file for CPack, for the package test
  lintian                 # the package test's policy check
  hyperfine               # wall-time comparisons in scripts/measure.sh
  sox alsa-utils          # the streamed WAV header read by sox and aplay without a warning
  unicode-cldr-core python3  # regenerating the spoken-name tables, to compare with the tree's
)

case ${1:-} in
  "") packages=("${build_packages[@]}") ;;
  --test) packages=("${build_packages[@]}" "${test_packages[@]}") ;;
  *) echo "usage: $0 [--test]" >&2; exit 2 ;;
esac

# Installs those of the named packages that are missing, or, without
# root, names them and fails.
install_missing() {
  local missing=() p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  ((${#missing[@]} == 0)) && return 0
  if [[ $(id -u) -ne 0 ]]; then
    echo "quorlin needs these Debian packages: ${missing[*]}" >&2
    echo "run this script as root, or: sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
}

install_missing "${packages[@]}"
# libFuzzer and the sanitizer runtimes come with the clang of the same
# major version, in a package named after it.
if [[ ${1:-} == --test ]]; then
  install_missing "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"
fi

# The 32-bit build links the i386 ICU. Installing it beside the 64-bit one
# would turn on a foreign architecture for the whole system, so its two
# packages are fetched with a private package list and unpacked into the
# tree's build/, where the 32-bit toolchain file looks for them.
fetch_i386_icu() {
  local root=build/i386-deps version
  version=$(dpkg-query -W -f='${Version}' libicu-dev)
  if [[ -f $root/.version && $(cat "$root/.version") == "$version" ]]; then return 0; fi
  local state=${TMPDIR:-/tmp}/quorlin-apt-i386
  local opts=(-o APT::Architecture=i386 -o APT::Architectures=i386
              -o Dir::State::Lists="$state/lists" -o Dir::Cache="$state/cache")
  mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$state/debs"
  # An index that fails to update (a mirror mid-sync) need not matter: the
  # download below fails if the packages cannot be had.
  apt-get -qq "${opts[@]}" update </dev/null >/dev/null 2>&1 || true
  local runtime
  runtime=$(dpkg-query -W -f='${Depends}' libicu-dev | grep -o '^libicu[0-9]*')
  rm -f "$state"/debs/*.deb
  (cd "$state/debs" &&
   apt-get -qq "${opts[@]}" download "libicu-dev=$version" "$runtime=$version" </dev/null \
     2> >(grep -v 'unsandboxed' >&2))
  rm -rf "$root"
  mkdir -p "$root"
  local deb
  for deb in "$state"/debs/*.deb; do dpkg-deb -x "$deb" "$root"; done
  echo "$version" >"$root/.version"
}
if [[ ${1:-} == --test ]]; then
  cd "$(dirname "$0")/.."
  fetch_i386_icu
fi
