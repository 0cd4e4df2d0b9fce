#!/usr/bin/env bash
# Fuzzes expand_tokens and the installer's setup-log line splitting with libFuzzer
# (clang -fsanitize=fuzzer) for a bounded time each; not part of the test run.   scripts/fuzz.sh [SECONDS] [BUILD]     (defaults: 60, build)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
out=${2:-build}/fuzz
mkdir -p "$out/corpus"
command -v clang++ >/dev/null || { echo "fuzz.sh: clang++ not found (Debian package clang)" >&2; exit 1; }
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -Ilibvesk/src/package/portable -Ilibvesk/include \
  tests/package/fuzz_expand_tokens.cpp libvesk/src/package/portable/expand_tokens.cpp -o "$out/fuzz_expand_tokens"
# Seeds: the templates as they are carried, behind each delimiter choice.
for t in libvesk/templates/*.in; do
  printf '\0' | cat - "$t" >"$out/corpus/$(basename "$t").seed"
done
"$out/fuzz_expand_tokens" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
  -artifact_prefix="$out/" "$out/corpus" 2>&1 | tee "$out/fuzz.log" | grep -E '^(#[0-9]+ +DONE|stat::|==|SUMMARY|Done)' || true
grep -q 'DONE' "$out/fuzz.log" && ! ls "$out"/crash-* "$out"/leak-* "$out"/timeout-* >/dev/null 2>&1 || exit 1

# The installer's splitting of setup-log chunks into lines, seeded with log-like text.
sl=$out/syslog_lines
mkdir -p "$sl/corpus"
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -Iinstaller/portable tests/installer/fuzz_syslog_lines.cpp installer/portable/syslog_lines.cpp -o "$sl/fuzz_syslog_lines"
printf '>>>  [Device Install]\r\n>>>  Section start\r\n     dvi: x\r\n<ins>\r\nrest' >"$sl/corpus/log.seed"
printf 'a\rb\nc\r\n\r\n\0d\r' >"$sl/corpus/breaks.seed"
"$sl/fuzz_syslog_lines" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
  -artifact_prefix="$sl/" "$sl/corpus" 2>&1 | tee "$sl/fuzz.log" | grep -E '^(#[0-9]+ +DONE|stat::|==|SUMMARY|Done)' || true
grep -q 'DONE' "$sl/fuzz.log" && ! ls "$sl"/crash-* "$sl"/leak-* "$sl"/timeout-* >/dev/null 2>&1
