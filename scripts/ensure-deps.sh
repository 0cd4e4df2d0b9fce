#!/usr/bin/env bash
# Installs the Debian packages a target needs, only those that are missing. Idempotent.
#   ensure-deps.sh build   cross compilers, CMake
#   ensure-deps.sh test    + Wine (64- and 32-bit), Xvfb, doctest, native sanitizers, checkers
#   ensure-deps.sh demo    + ImageMagick and x11-apps for the screenshots
#   ensure-deps.sh release + osslsigncode (checks the co-installers' signatures, signs)
set -euo pipefail
what=${1:-build}

build_pkgs=(cmake make g++ g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools binutils-mingw-w64-x86-64 usbutils)
test_pkgs=(wine wine64 wine32:i386 xvfb xauth doctest-dev python3 python3-asn1crypto python3-cryptography
           osslsigncode openssl)
demo_pkgs=(imagemagick x11-apps)
release_pkgs=(osslsigncode)

pkgs=("${build_pkgs[@]}")
case "$what" in
  build) ;;
  test) pkgs+=("${test_pkgs[@]}") ;;
  demo) pkgs+=("${test_pkgs[@]}" "${demo_pkgs[@]}") ;;
  release) pkgs+=("${release_pkgs[@]}") ;;
  *) echo "usage: $0 build|test|demo|release" >&2; exit 2 ;;
esac

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=
[ "$(id -u)" -ne 0 ] && SUDO=sudo
echo "ensure-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
if ! $SUDO apt-get install -y -qq "${missing[@]}"; then
  # A stale i386 security index can make wine32:i386 unsatisfiable (version skew of
  # liblzma5/zlib1g); the main suites alone are consistent.
  echo "ensure-deps: retrying with the main suites only"
  parts=$(mktemp -d)
  # The machine's own mirrors, without the security suite.
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk 'BEGIN{RS="";ORS="\n\n"} /Suites:[^\n]*bookworm/ && !/security/' "$f" >>"$parts/main.sources"
  done
  [ -f /etc/apt/sources.list ] && grep -E '^deb .* bookworm(-updates)? ' /etc/apt/sources.list >"$parts/main.list" || true
  $SUDO apt-get -o Dir::Etc::SourceParts="$parts" -o Dir::Etc::SourceList=/dev/null update -qq
  $SUDO apt-get -o Dir::Etc::SourceParts="$parts" -o Dir::Etc::SourceList=/dev/null install -y -qq "${missing[@]}"
  rm -rf "$parts"
  $SUDO apt-get update -qq || true
fi
