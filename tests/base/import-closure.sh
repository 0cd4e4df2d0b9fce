#!/usr/bin/env bash
# The names of every DLL that the programs' import tables reach, directly or through the
# system DLLs they import (looked up among the PE files in DLLDIR, e.g. Wine's builtin
# i386-windows or x86_64-windows folder, or a prefix's system32), one lowercase name a line:
#   import-closure.sh DLLDIR EXE...
set -euo pipefail
dir=$1
shift
imports() { x86_64-w64-mingw32-objdump -p "$1" | awk '/DLL Name:/ {print tolower($3)}'; }
declare -A seen=()
queue=()
for exe in "$@"; do
  [ -f "$exe" ] || { echo "import-closure.sh: missing $exe" >&2; exit 1; }
  queue+=($(imports "$exe"))
done
[ ${#queue[@]} -gt 0 ] || { echo "import-closure.sh: no import table read" >&2; exit 1; }
while [ ${#queue[@]} -gt 0 ]; do
  name=${queue[0]}
  queue=("${queue[@]:1}")
  [ -n "${seen[$name]:-}" ] && continue
  seen[$name]=1
  # API sets (api-ms-win-*) are names only; other DLLs are walked when the folder has them.
  [ -f "$dir/$name" ] && queue+=($(imports "$dir/$name"))
done
printf '%s\n' "${!seen[@]}" | sort
