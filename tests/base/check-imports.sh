#!/usr/bin/env bash
# Every program imports only kernel32, user32, gdi32, advapi32 and msvcrt: nothing else is
# loaded before the program has restricted the search to the system directory (SetupAPI,
# Cfgmgr32, Newdev, Shell32, Ole32, Comctl32 ... are loaded by name after that). No runtime
# DLLs (libstdc++, libgcc, libwinpthread).
#   check-imports.sh EXE...
set -u
allowed=" kernel32.dll user32.dll gdi32.dll advapi32.dll msvcrt.dll "
status=0
for exe in "$@"; do
  if [ ! -f "$exe" ]; then echo "FAIL $exe: missing"; status=1; continue; fi
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
  [ -n "$dlls" ] || { echo "FAIL $exe: no import table read"; status=1; continue; }
  for d in $dlls; do
    case "$allowed" in
      *" $d "*) ;;
      *) echo "FAIL $(basename "$exe") imports $d"; status=1 ;;
    esac
  done
  echo "$(basename "$exe"): $(echo $dlls)"
done
[ $status -eq 0 ] && echo "imports: all allowed"
exit $status
