#!/usr/bin/env bash
# libFuzzer (clang -fsanitize=fuzzer) on every parser of outside bytes, for a bounded time each:
#   scripts/fuzz.sh [SECONDS] [BUILD] [TARGET...]     (defaults: 60, build, all targets)
# Fails when a target cannot be built or reports a finding (crash, leak, time-out). Prints the
# executions each target reached. `make test` runs it for a few seconds per target (fuzz_smoke).
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${2:-build}
shift 2 2>/dev/null || shift $#
only=" $* "
out=$build/fuzz
command -v clang++ >/dev/null || { echo "fuzz.sh: clang++ not found (Debian package clang)" >&2; exit 1; }
status=0

# fuzz NAME MAX_LEN SEED_FN -- SOURCES... : builds NAME from the sources, seeds its corpus with
# SEED_FN DIR, runs it for the time given.
fuzz() {
  local name=$1 max_len=$2 seed=$3
  shift 4
  [ "$only" = "  " ] || [[ "$only" == *" $name "* ]] || return 0
  local dir=$out/$name
  mkdir -p "$dir/corpus"
  rm -f "$dir"/crash-* "$dir"/leak-* "$dir"/timeout-* "$dir"/oom-*
  if ! clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
      -Ilibvesk/include -Ilibvesk/src/base/portable -Ilibvesk/src/package/portable -Ilibvesk/src/devices/portable \
      -Iapp/portable -Iinstaller/portable "$@" -o "$dir/$name" 2>"$dir/build.log"; then
    echo "fuzz $name: FAILED to build (see $dir/build.log)"; status=1; return
  fi
  $seed "$dir/corpus"
  "$dir/$name" -max_total_time="$seconds" -max_len="$max_len" -print_final_stats=1 -artifact_prefix="$dir/" \
    "$dir/corpus" >"$dir/fuzz.log" 2>&1
  local execs
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/fuzz.log")
  if ! grep -q 'DONE' "$dir/fuzz.log" || ls "$dir"/crash-* "$dir"/leak-* "$dir"/timeout-* "$dir"/oom-* >/dev/null 2>&1; then
    echo "fuzz $name: FINDING after ${execs:-?} executions (see $dir/fuzz.log and the artifacts in $dir)"
    grep -E '^(==|SUMMARY)' "$dir/fuzz.log" | head -5
    status=1
  else
    echo "fuzz $name: ${execs:-?} executions in ${seconds} s, no finding"
  fi
}

no_seeds() { :; }
# The templates as they are carried, behind each delimiter choice.
template_seeds() { for t in libvesk/templates/*.in; do printf '\0' | cat - "$t" >"$1/$(basename "$t").seed"; done; }
syslog_seeds() {
  printf '>>>  [Device Install]\r\n>>>  Section start\r\n     dvi: x\r\n<ins>\r\nrest' >"$1/log.seed"
  printf 'a\rb\nc\r\n\r\n\0d\r' >"$1/breaks.seed"
}
# The co-installer stand-ins the Windows trees built.
pe_seeds() {
  for dll in "$build"/x86/standins/x86/*.dll "$build"/x64/standins/amd64/*.dll; do
    if [ -f "$dll" ]; then cp "$dll" "$1/$(basename "$(dirname "$dll")")-$(basename "$dll")"; fi
  done
}
inf_seeds() { printf 'AT32 "Bootloader" DFU 100%%\r\n\x7f\xc2\x85\xe2\x82\xac' >"$1/text.seed"; printf 'VID_2E3C&PID_DF11' >"$1/id.seed"; }
id_seeds() {
  printf '\x00USB\\VID_2E3C&PID_DF11&REV_0200\0USB\\Class_FE&SubClass_01&Prot_02\0USB\\VID_2E3C&PID_DF11\\5&1A2B3C4D&0&1' >"$1/dfu.seed"
  printf '\x07\0\0USB\\VID_046D&PID_C52B&MI_02\\7&x&0&0002' >"$1/composite.seed"
}
description_seeds() { printf '\x03\x00AT32 Bootloader DFU  \t\r\n' >"$1/dfu.seed"; printf '\xff\x01' >"$1/empty.seed"; }

fuzz fuzz_expand_tokens 4096 template_seeds -- tests/package/fuzz_expand_tokens.cpp libvesk/src/package/portable/expand_tokens.cpp
fuzz fuzz_syslog_lines 4096 syslog_seeds -- tests/installer/fuzz_syslog_lines.cpp installer/portable/syslog_lines.cpp
fuzz fuzz_pe_version 65536 pe_seeds -- tests/package/fuzz_pe_version.cpp libvesk/src/package/portable/pe_version.cpp
fuzz fuzz_inf_quoting 4096 inf_seeds -- tests/package/fuzz_inf_quoting.cpp libvesk/src/package/portable/inf_values.cpp \
  libvesk/src/package/portable/expand_tokens.cpp
fuzz fuzz_instance_ids 2048 id_seeds -- tests/devices/fuzz_instance_ids.cpp libvesk/src/devices/portable/device_fields.cpp \
  app/portable/dfu_identity.cpp
fuzz fuzz_device_description 512 description_seeds -- tests/devices/fuzz_device_description.cpp \
  libvesk/src/devices/portable/device_fields.cpp
exit $status
