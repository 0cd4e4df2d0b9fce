#!/usr/bin/env bash
# The device-list benchmark in a Wine prefix of its own:
#   tests/devices/bench-device-list.sh [BUILD] [TREE] [N ...]    e.g. ... build x86 10 100 500
# Builds bench_device_list in BUILD/TREE (default build, x86), makes a fresh prefix in
# BUILD/bench-prefix, runs the program there and removes the prefix's wineserver afterwards.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(cd "${1:-build}" && pwd)
tree=${2:-x86}
shift 2 || shift $#
cmake --build "$build/$tree" --target bench_device_list >/dev/null
export WINEPREFIX=$build/bench-prefix WINEDEBUG=-all
unset DISPLAY
tests/wine/make-prefix.sh "$WINEPREFIX" win64 >/dev/null
wineserver -p </dev/null >/dev/null 2>&1
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
echo "bench_device_list ($tree, Wine $(wine --version)):"
wine "$build/$tree/bin/bench_device_list.exe" "$@"
