#!/usr/bin/env bash
# Runs every test tree: a fresh Wine prefix for this run, one wineserver for the whole suite.
set -uo pipefail
build=$(cd "${1:-build}" && pwd)
export VESK_WINEPREFIX=$build/wineprefix
export WINEPREFIX=$VESK_WINEPREFIX WINEDEBUG=-all
unset DISPLAY
start=$(date +%s)
tests/wine/make-prefix.sh "$VESK_WINEPREFIX" win64 || exit 1
# A persistent wineserver makes each program start cheap; its stdio must not hold CTest's pipes.
wineserver -p </dev/null >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1  # starts the prefix's services once, off CTest's pipes
trap 'WINEPREFIX=$VESK_WINEPREFIX wineserver -k >/dev/null 2>&1 || true' EXIT
status=0
for tree in native x64 x86; do
  [ -f "$build/$tree/CTestTestfile.cmake" ] || continue
  echo "== tests: $tree"
  ctest --test-dir "$build/$tree" --output-on-failure -j 2 || status=1
done
echo "== all tests took $(( $(date +%s) - start )) s"
exit $status
