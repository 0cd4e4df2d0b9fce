#!/usr/bin/env bash
# Installs the Debian packages a target needs, only those that are missing. Idempotent and quiet
# when nothing is missing.
#   ensure-deps.sh build   cross compilers, CMake
#   ensure-deps.sh test    + Wine (64- and 32-bit), Xvfb, doctest, native sanitizers, libFuzzer, checkers, and
#                          what the demo's own test uses (ImageMagick, x11-apps) and the release
#                          test (osslsigncode, openssl)
#   ensure-deps.sh demo    the same as test
#   ensure-deps.sh release + osslsigncode (checks the co-installers' signatures, signs)
# When packages cannot be installed (no registry, a refused package) it ends with one line that
# names them and the command to install them by hand, and exits 1.
set -uo pipefail
what=${1:-build}

build_pkgs=(cmake make g++ g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools binutils-mingw-w64-x86-64 usbutils)
test_pkgs=(wine wine64 wine32:i386 xvfb xauth doctest-dev python3 python3-asn1crypto python3-cryptography
  imagemagick x11-apps git clang-format-14 osslsigncode openssl clang libclang-rt-14-dev)
release_pkgs=(osslsigncode)

pkgs=("${build_pkgs[@]}")
case "$what" in
  build) ;;
  test | demo) pkgs+=("${test_pkgs[@]}") ;;
  release) pkgs+=("${release_pkgs[@]}") ;;
  *) echo "usage: $0 build|test|demo|release" >&2; exit 2 ;;
esac

missing_now() {
  local p
  for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}
mapfile -t missing < <(missing_now)
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "ensure-deps: cannot install ${missing[*]} (not root and no sudo); as root run: apt-get update && apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  SUDO=sudo
fi
echo "ensure-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt_quiet() { $SUDO apt-get -qq -o Dpkg::Use-Pty=0 "$@" >/dev/null; }

install_all() {
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
    dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386 || return 1
  fi
  apt_quiet update || return 1
  apt_quiet install -y "${missing[@]}" && return 0
  # A stale i386 security index can make wine32:i386 unsatisfiable (version skew of
  # liblzma5/zlib1g); the main suites alone are consistent.
  echo "ensure-deps: retrying with the main suites only"
  local parts rc
  parts=$(mktemp -d)
  # The machine's own mirrors, without the security suite.
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk 'BEGIN{RS="";ORS="\n\n"} /Suites:[^\n]*bookworm/ && !/security/' "$f" >>"$parts/main.sources"
  done
  [ -f /etc/apt/sources.list ] && grep -E '^deb .* bookworm(-updates)? ' /etc/apt/sources.list >"$parts/main.list"
  local main=(-o Dir::Etc::SourceParts="$parts" -o Dir::Etc::SourceList=/dev/null)
  apt_quiet "${main[@]}" update && apt_quiet "${main[@]}" install -y "${missing[@]}"
  rc=$?
  rm -rf "$parts"
  apt_quiet update || true
  return $rc
}

install_all
mapfile -t still < <(missing_now)
if [ ${#still[@]} -ne 0 ]; then
  echo "ensure-deps: could not install ${still[*]}; install them by hand with: ${SUDO:+sudo }apt-get update && ${SUDO:+sudo }apt-get install -y ${still[*]}" >&2
  exit 1
fi
