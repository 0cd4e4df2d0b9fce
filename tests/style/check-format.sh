#!/usr/bin/env bash
# Every C and C++ source of the project is formatted by the repository's .clang-format, with the
# clang-format of Debian 12 (version 14): another version formats some constructs differently.
#   check-format.sh SOURCE_DIR
set -u
cd "$1" || exit 1
tool=$(command -v clang-format-14) || { echo "FAILED: clang-format-14 not found (Debian package clang-format-14)"; exit 1; }
case "$("$tool" --version)" in
  *"version 14."*) ;;
  *) echo "FAILED: $tool is not version 14: $("$tool" --version)"; exit 1 ;;
esac
if git rev-parse --git-dir >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -co --exclude-standard -- '*.c' '*.cpp' '*.h' | sort)
else
  mapfile -t files < <(find . -path ./build -prune -o -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print | sort)
fi
bad=()
for f in "${files[@]}"; do
  [ -f "$f" ] || continue
  "$tool" --style=file --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
echo "checked ${#files[@]} sources"
if [ ${#bad[@]} -ne 0 ]; then
  echo "FAILED: not formatted (run: clang-format-14 -i FILE):"
  printf '  %s\n' "${bad[@]}"
  exit 1
fi
echo "ok: every source is formatted"
