#!/usr/bin/env bash
# The names the planted-DLL test puts beside the programs, one "name order" a line:
#   planted-names.sh DLLDIR OUT [-b NAME]... EXE...
# Every DLL in the programs' import closure (import-closure.sh over DLLDIR), the names that
# planting usually tries, and the libraries the programs load by name. The order is "n" (the
# test has Wine prefer the planted file, as Windows would when its search reached the
# program's folder) except for the closure of the five imported system DLLs as Wine builds
# them: Wine has no known-DLL list, so its loader takes their own imports (its user32 needs
# version.dll) from the program's folder; on Windows they are known DLLs and come from
# System32. Those are planted under Wine's own order (its builtin first). Crypt32 and WinTrust
# (loaded by name only by the signing code, whose own test plants mssign32) are left out: a
# planted crypt32 preferred next to a planted setupapi hangs Wine's process start. "-b NAME"
# adds a name that Wine's own DLLs load from the program's folder, with the reason beside it
# in CMakeLists.txt.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=$1
out=$2
shift 2
extra=""
while [ "${1:-}" = -b ]; do
  extra+=" $2"
  shift 2
done
basic=()
for d in kernel32 user32 gdi32 advapi32 msvcrt; do basic+=("$dir/$d.dll"); done
wine_own=" $("$here/import-closure.sh" "$dir" "${basic[@]}" | tr '\n' ' ') kernel32.dll user32.dll gdi32.dll advapi32.dll msvcrt.dll$extra "
{
  "$here/import-closure.sh" "$dir" "$@"
  printf '%s.dll\n' version uxtheme dwmapi cryptbase userenv winmm profapi \
    setupapi cfgmgr32 newdev shell32 ole32 oleaut32 comctl32 mssign32
} | sort -u | grep -v '^api-ms-\|^ext-ms-' | while read -r name; do
  case "$wine_own" in
    *" $name "*) echo "$name b" ;;
    *) echo "$name n" ;;
  esac
done >"$out.tmp"
mv "$out.tmp" "$out"
