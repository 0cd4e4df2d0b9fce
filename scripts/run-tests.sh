#!/usr/bin/env bash
# Runs the test trees of one build directory:
#   scripts/run-tests.sh [BUILD] [ctest arguments...]     e.g. scripts/run-tests.sh build -R devices
# A fresh Wine prefix per run (VESK_REUSE_PREFIX=1 keeps an existing one), one persistent
# wineserver for the whole run. VESK_TREES="x86" limits the trees (default: native x64 x86
# x64-setup; a built x64-setup tree, which holds all of x64's tests, runs in place of x64).
set -uo pipefail
build=$(cd "${1:-build}" && pwd)
shift || true
. "$(dirname "$0")/../tests/wine/wine-env.sh"
export VESK_WINEPREFIX=$build/wineprefix
export WINEPREFIX=$VESK_WINEPREFIX WINEDEBUG=-all
# A test build prepares packages only where this says that it runs as a test (also in the
# scripts that start Wine programs without tests/wine/run-test.sh).
export VESK_TEST_BUILD=1
unset DISPLAY
start=$(date +%s)
if [ "${VESK_REUSE_PREFIX:-0}" != 1 ] || [ ! -d "$VESK_WINEPREFIX/drive_c" ]; then
  tests/wine/make-prefix.sh "$VESK_WINEPREFIX" win64 || exit 1
fi
# A persistent wineserver makes each program start cheap; its stdio must not hold CTest's pipes.
wineserver -p </dev/null >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1  # starts the prefix's services once, off CTest's pipes
trap 'WINEPREFIX=$VESK_WINEPREFIX wineserver -k >/dev/null 2>&1 || true' EXIT
status=0
for tree in ${VESK_TREES:-native x64 x86 x64-setup}; do
  [ -f "$build/$tree/CTestTestfile.cmake" ] || continue
  if [ "$tree" = x64 ] && [ -z "${VESK_TREES:-}" ] && [ -f "$build/x64-setup/CTestTestfile.cmake" ]; then
    continue
  fi
  if [ "$tree" = x86 ] && [ "$VESK_WIN32" = 0 ]; then
    echo "== tests: x86 SKIPPED: this machine's kernel cannot run 32-bit programs (no IA32 emulation),"
    echo "   so Wine cannot start the 32-bit programs of the x86 tree; the x64-setup tree runs them as 64-bit builds"
    continue
  fi
  echo "== tests: $tree"
  ctest --test-dir "$build/$tree" --output-on-failure -j 2 "$@" || status=1
done
echo "== all tests took $(( $(date +%s) - start )) s"
exit $status
