#!/usr/bin/env bash
# CTest's runner of the catalog tests:
#   check-catalogs.sh NAME SYSDIR DLL... -- RUNNER PROGRAM [ARGS...]
# Runs the program with the doubles installed (tests/support/with-doubles.sh), then hands the
# files it left in VESK_CATALOG_OUT to the independent checkers (check_catalog.py). Without the checkers
# (a clone without ../shared) the test is reported as skipped (77), and in CI (CI=true) it fails.
set -u
here=$(cd "$(dirname "$0")" && pwd)
name=$1
shift
# VESK_WINE_APP_VERSION: the Windows version Wine reports to this program (its AppDefaults).
if [ -n "${VESK_WINE_APP_VERSION:-}" ]; then
  WINEPREFIX=${VESK_WINEPREFIX:-$WINEPREFIX} wine reg add "HKCU\\Software\\Wine\\AppDefaults\\$name.exe" \
    /v Version /t REG_SZ /d "$VESK_WINE_APP_VERSION" /f </dev/null >/dev/null 2>&1 || exit 1
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
VESK_CATALOG_OUT="Z:$(echo "$out" | tr / '\\')" "$here/../support/with-doubles.sh" "$@"
rc=$?
[ $rc -eq 0 ] || exit $rc
tools=$(cd "$here/../.." && pwd)/../shared/tools/catalog
if [ ! -f "$tools/catdump.py" ]; then
  if [ "${CI:-}" = true ]; then
    echo "FAILED: independent catalog checkers not found at $tools: $name's catalogs were not checked"
    exit 1
  fi
  echo "SKIPPED: $name: independent catalog checkers not found at $tools: its catalogs were not checked"
  exit 77
fi
/usr/bin/python3 "$here/check_catalog.py" "$name" "$out" "$tools"
