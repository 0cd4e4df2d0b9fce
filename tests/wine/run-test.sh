#!/usr/bin/env bash
# CTest's emulator for the Windows test programs: runs one under Wine in the suite's prefix.
# Wine starts its background processes (services, explorer) from whichever program needs them
# first, and they inherit that program's stdio; the output therefore goes through a file, so
# that no pipe of CTest's stays open after the test has ended.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
export WINEPREFIX=${VESK_WINEPREFIX:-$here/../../build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
# A test build prepares packages only where this says that it runs as a test.
export VESK_TEST_BUILD=1
if [ ! -d "$WINEPREFIX/drive_c" ]; then
  echo "run-test.sh: no Wine prefix at $WINEPREFIX (run 'make test', or scripts/run-tests.sh)" >&2
  exit 1
fi
out=$(mktemp)
trap 'rm -f "$out"' EXIT
wine "$@" </dev/null >"$out" 2>&1
rc=$?
cat "$out"
exit $rc
