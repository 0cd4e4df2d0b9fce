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
# What could not be checked on this system: whole trees here, single tests and cases from each
# tree's log below. In CI (CI=true) a tree that cannot run is a failure.
not_checked=()
tree_not_run() {
  not_checked+=("$1: $2")
  if [ "${CI:-}" = true ]; then
    echo "== tests: $1 FAILED: $2 (CI=true: every tree must run)"
    status=1
  else
    echo "== tests: $1 SKIPPED: $2"
  fi
}
for tree in ${VESK_TREES:-native x64 x86 x64-setup}; do
  if [ ! -f "$build/$tree/CTestTestfile.cmake" ]; then
    # x64-setup exists only where the kernel cannot run 32-bit programs.
    [ "$tree" = x64-setup ] || tree_not_run "$tree" "the tree is not built (make build-all)"
    continue
  fi
  if [ "$tree" = x64 ] && [ -z "${VESK_TREES:-}" ] && [ -f "$build/x64-setup/CTestTestfile.cmake" ]; then
    continue
  fi
  if [ "$tree" = x86 ] && [ "$VESK_WIN32" = 0 ]; then
    reason="this machine's kernel cannot run 32-bit programs (no IA32 emulation), so Wine cannot start
   the 32-bit programs of the x86 tree"
    if [ -f "$build/x64-setup/CTestTestfile.cmake" ]; then
      # Not a fault of the run: the x64-setup tree runs the same tests as 64-bit builds.
      not_checked+=("x86: $reason; the x64-setup tree ran its tests as 64-bit builds")
      echo "== tests: x86 SKIPPED: $reason; the x64-setup tree runs them as 64-bit builds"
    else
      tree_not_run x86 "$reason, and no x64-setup tree runs them instead"
    fi
    continue
  fi
  echo "== tests: $tree"
  # Each program prints "SKIPPED: case: reason" for what it could not check
  # (tests/support/wine_cannot.h); the JUnit report keeps every test's output.
  junit=$build/$tree/Testing/run-tests-junit.xml
  rm -f "$junit"
  ctest --test-dir "$build/$tree" --output-on-failure -j 2 --output-junit "$junit" "$@" || status=1
  if [ -f "$junit" ]; then
    while IFS= read -r line; do not_checked+=("$line"); done < <(python3 - "$junit" <<'PY'
import sys
import xml.etree.ElementTree as ET
for case in ET.parse(sys.argv[1]).getroot().iter("testcase"):
    for out in case.iter("system-out"):
        for line in (out.text or "").splitlines():
            if line.startswith("SKIPPED: "):
                print(case.get("name") + ": " + line[len("SKIPPED: "):])
PY
)
  fi
done
if [ ${#not_checked[@]} -gt 0 ]; then
  echo "== not checked on this system (${#not_checked[@]}); a real Windows runs these (make windows-kit):"
  printf '   %s\n' "${not_checked[@]}"
fi
echo "== all tests took $(( $(date +%s) - start )) s"
exit $status
