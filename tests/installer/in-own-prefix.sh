#!/usr/bin/env bash
# Runs commands in a Wine prefix made for them alone and removed afterwards:
#   in-own-prefix.sh DIR ARCH COMMAND... [--next COMMAND...]...
# ARCH is win64 or win32 (tests/wine/make-prefix.sh). The commands run one after another with
# VESK_WINEPREFIX and WINEPREFIX naming the new prefix; the exit code is the first failing one's.
# The prefix's own wineserver (and everything in that prefix) is stopped at the end; the
# commands get VESK_OWN_PREFIX_LIMIT seconds in all (default 150), so that the cleanup runs
# before a test driver's own time limit.
set -u
here=$(cd "$(dirname "$0")/../.." && pwd)
dir=$1
arch=$2
shift 2
"$here/tests/wine/make-prefix.sh" "$dir" "$arch" || exit 1
export VESK_WINEPREFIX=$(cd "$dir" && pwd)
export WINEPREFIX=$VESK_WINEPREFIX WINEDEBUG=${WINEDEBUG:--all}
finish() {
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  rm -rf "$VESK_WINEPREFIX"
}
trap finish EXIT
# As scripts/run-tests.sh does: one persistent server, services started off the caller's pipes.
wineserver -p </dev/null >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1
status=0
while [ $# -gt 0 ]; do
  command=()
  while [ $# -gt 0 ] && [ "$1" != "--next" ]; do command+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  left=$(( ${VESK_OWN_PREFIX_LIMIT:-150} - SECONDS ))
  [ $left -gt 0 ] || { echo "in-own-prefix.sh: out of time" >&2; exit 124; }
  timeout "$left" "${command[@]}"
  rc=$?
  [ $status -eq 0 ] && status=$rc
done
exit $status
