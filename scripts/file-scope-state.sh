#!/usr/bin/env bash
# The product's mutable file-scope variables, read from what was built: every data or BSS symbol
# that the product's archives and program entries define (never the tests'), one line each with
# the object that holds it, then their number. Constants are in read-only sections and not
# listed; nor are a function's own statics (name "f()::x") and their guards.
#   scripts/file-scope-state.sh [BUILD_TREE]     (default build/x86, the setup program's tree)
# A report to read, not a test: README "How it works" says why each one listed is process-wide.
set -euo pipefail
tree=${1:-build/x86}
[ -d "$tree" ] || { echo "file-scope-state: no build tree $tree (run make first)" >&2; exit 2; }
prefix=  # 32-bit Windows symbols carry a leading underscore
if grep -q "i686-w64-mingw32" "$tree/CMakeCache.txt" 2>/dev/null; then
  nm=i686-w64-mingw32-nm
  prefix=_
elif grep -q "x86_64-w64-mingw32" "$tree/CMakeCache.txt" 2>/dev/null; then
  nm=x86_64-w64-mingw32-nm
else
  nm=nm
fi
objects=()
for a in "$tree"/libvesk/libvesk_*.a "$tree"/libvesk/tools/libvesk_*.a "$tree"/app/libsetup_*.a \
         "$tree"/installer/libinstaller_*.a; do
  [ -f "$a" ] && objects+=("$a")
done
while IFS= read -r -d '' o; do objects+=("$o"); done < <(
  find "$tree/app/CMakeFiles" "$tree/installer/CMakeFiles" -path '*Morvane-Windows-Driver-Setup.dir/*' -name 'main.cpp.obj' -print0 \
    -o -path '*installer_x*.dir/*' -name 'main.cpp.obj' -print0 2>/dev/null)
[ ${#objects[@]} -gt 0 ] || { echo "file-scope-state: nothing built in $tree" >&2; exit 2; }

# "archive:object:address type name": thread-locals show as __emutls_v.<mangled name>.
"$nm" --defined-only -A "${objects[@]}" 2>/dev/null |
  awk -v prefix="$prefix" '$2 ~ /^[bBdD]$/ {
         file = $1; sub(/:[0-9a-f]+$/, "", file); n = split(file, parts, "/"); file = parts[n]
         name = $3; kind = ""
         if (prefix != "" && substr(name, 1, 1) == prefix) name = substr(name, 2)
         if (name ~ /^__emutls_v\./) { sub(/^__emutls_v\./, "", name); kind = "thread_local " }
         if (name ~ /^_ZZ/) next
         else if (name ~ /^\./ || name ~ /^__/ || name ~ /^_ZGV/) next
         print file "\t" kind name }' |
  c++filt | sort -u | awk '{ print } END { print "mutable file-scope variables: " NR }'
