#!/usr/bin/env bash
# Runs one command with test doubles of platform DLLs in the Wine prefix's system directory:
#   with-doubles.sh SYSDIR DLL... -- COMMAND...
# Wine's own files are put back afterwards (also after an interrupted earlier run), and the
# doubles are preferred only through WINEDLLOVERRIDES of this command, so other programs in
# the prefix keep Wine's built-in libraries.
set -u
prefix=${VESK_WINEPREFIX:-$(cd "$(dirname "$0")/../.." && pwd)/build/wineprefix}
sysdir=$prefix/drive_c/windows/$1
shift
dlls=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do dlls+=("$1"); shift; done
shift
if [ ! -d "$sysdir" ]; then
  echo "with-doubles.sh: no system directory $sysdir" >&2
  exit 1
fi
names=()
restore() {
  for d in "${dlls[@]}"; do
    n=$(basename "$d")
    [ -f "$sysdir/$n.vesk-saved" ] && mv -f "$sysdir/$n.vesk-saved" "$sysdir/$n"
  done
}
restore
trap restore EXIT
for d in "${dlls[@]}"; do
  n=$(basename "$d")
  [ -f "$sysdir/$n" ] && cp -p "$sysdir/$n" "$sysdir/$n.vesk-saved"
  cp "$d" "$sysdir/$n"
  names+=("${n%.dll}")
done
overrides=$(IFS=,; echo "${names[*]}")=n,b
WINEDLLOVERRIDES="$overrides${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}" "$@"
