#!/usr/bin/env bash
# The release programs:
#   scripts/build-release.sh [--test-unsigned-redist] REDIST BUILD DIST
# REDIST holds Microsoft's co-installers in x86/ and amd64/ (names, sizes and signatures are
# checked when the 32-bit tree is configured). BUILD gets the two trees (x64, x86), DIST the setup
# program and SHA256SUMS. The same commit gives the same bytes in any BUILD (unsigned).
# Environment: SIGN_PFX (and SIGN_PASS) signs both installers before the setup program embeds them
# and the setup program after linking (SHA-256); SIGN_TIMESTAMP=<url> adds a time stamp.
# REDIST_CA: PEM with Microsoft's roots, to check the co-installers' signature chain as well.
# JOBS: parallel jobs (default 2). --test-unsigned-redist is for the release build's tests only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
unsigned_redist=OFF
if [ "${1:-}" = --test-unsigned-redist ]; then
  unsigned_redist=ON
  shift
fi
if [ $# -ne 3 ] || [ -z "$1" ]; then
  echo "usage: make release REDIST=<dir with x86/ and amd64/ holding Microsoft's co-installers>" >&2
  exit 2
fi
redist=$(cd "$1" && pwd)
mkdir -p "$2" "$3"
build=$(cd "$2" && pwd)
dist=$(cd "$3" && pwd)
jobs=${JOBS:-2}

# The file times inside the package: the commit's time, so that every build of it agrees.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)}

sign() {  # sign IN OUT
  local args=(sign -h sha256 -pkcs12 "$SIGN_PFX" -in "$1" -out "$2.tmp")
  [ -n "${SIGN_TIMESTAMP:-}" ] && args+=(-ts "$SIGN_TIMESTAMP")
  rm -f "$2.tmp"
  # The password goes through a pipe, never onto a command line that others can read.
  if ! osslsigncode "${args[@]}" -readpass <(printf '%s' "${SIGN_PASS:-}") >/dev/null; then
    echo "release: could not sign $1" >&2
    exit 1
  fi
  mv -f "$2.tmp" "$2"
  echo "release: signed $2"
}
if [ -n "${SIGN_PFX:-}" ]; then
  [ -f "$SIGN_PFX" ] || { echo "release: SIGN_PFX $SIGN_PFX is missing" >&2; exit 1; }
  command -v osslsigncode >/dev/null || { echo "release: osslsigncode is missing" >&2; exit 1; }
fi

common=(-DCMAKE_BUILD_TYPE=MinSizeRel -DVESK_BUILD_TESTS=OFF -DVESK_RELEASE=ON -DVESK_REDIST_DIR="$redist"
        -DVESK_SOURCE_DATE_EPOCH="$SOURCE_DATE_EPOCH" -DVESK_REDIST_CA="${REDIST_CA:-}"
        -DVESK_TEST_UNSIGNED_REDIST=$unsigned_redist)
signed=$build/signed
mkdir -p "$signed"

cmake -S "$root" -B "$build/x64" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64-mingw.cmake" "${common[@]}" >/dev/null
cmake --build "$build/x64" -j "$jobs" --target installer_x64
installer_x64=$build/x64/bin/installer_x64.exe
installer_x86=
if [ -n "${SIGN_PFX:-}" ]; then
  sign "$installer_x64" "$signed/installer_x64.exe"
  installer_x64=$signed/installer_x64.exe
  installer_x86=$signed/installer_x86.exe
fi

cmake -S "$root" -B "$build/x86" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-mingw.cmake" "${common[@]}" \
  -DVESK_INSTALLER_X64="$installer_x64" -DVESK_INSTALLER_X86="$installer_x86" >/dev/null
cmake --build "$build/x86" -j "$jobs" --target installer_x86
[ -n "${SIGN_PFX:-}" ] && sign "$build/x86/bin/installer_x86.exe" "$installer_x86"
cmake --build "$build/x86" -j "$jobs" --target Morvane-Windows-Driver-Setup

setup=Morvane-Windows-Driver-Setup.exe
rm -f "$dist/$setup" "$dist/SHA256SUMS"
if [ -n "${SIGN_PFX:-}" ]; then
  sign "$build/x86/bin/$setup" "$dist/$setup"
else
  cp "$build/x86/bin/$setup" "$dist/$setup"
fi
(cd "$dist" && sha256sum "$setup" >SHA256SUMS)

size() { stat -c %s "$1"; }
carried=0
for f in "$redist"/x86/WdfCoInstaller01011.dll "$redist"/x86/winusbcoinstaller2.dll \
         "$redist"/amd64/WdfCoInstaller01011.dll "$redist"/amd64/winusbcoinstaller2.dll; do
  carried=$((carried + $(size "$f")))
done
echo "release: installer_x86.exe $(size "$build/x86/bin/installer_x86.exe") bytes," \
     "installer_x64.exe $(size "$build/x64/bin/installer_x64.exe") bytes (goal: at most 204800 each)"
echo "release: $setup $(size "$dist/$setup") bytes; co-installers $carried bytes" \
     "(goal: at most $((carried + 1048576)))"
echo "release: $dist/SHA256SUMS"
cat "$dist/SHA256SUMS"
