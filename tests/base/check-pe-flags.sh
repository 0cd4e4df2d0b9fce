#!/usr/bin/env bash
# Every program asks Windows for address-space randomisation and no-execute data: DYNAMIC_BASE
# with its relocations kept, NX_COMPAT, and HIGH_ENTROPY_VA for 64-bit images; and it was
# built with stack canaries (the check routine is linked in, libssp statically).
#   check-pe-flags.sh EXE...
set -u
status=0
for exe in "$@"; do
  name=$(basename "$exe")
  if [ ! -f "$exe" ]; then echo "FAIL $exe: missing"; status=1; continue; fi
  header=$(x86_64-w64-mingw32-objdump -p "$exe")
  magic=$(awk '$1 == "Magic" {print $2; exit}' <<<"$header")
  dll=$(awk '$1 == "DllCharacteristics" {print $2; exit}' <<<"$header")
  characteristics=$(awk '$1 == "Characteristics" {sub(/^0x/, "", $2); print $2; exit}' <<<"$header")
  if [ -z "$magic" ] || [ -z "$dll" ] || [ -z "$characteristics" ]; then
    echo "FAIL $name: no PE header read"; status=1; continue
  fi
  want=$(( 0x0040 | 0x0100 ))               # DYNAMIC_BASE, NX_COMPAT
  [ "$magic" = 020b ] && want=$(( want | 0x0020 ))  # PE32+: HIGH_ENTROPY_VA
  have=$(( 0x$dll ))
  for flag in 0x0020:HIGH_ENTROPY_VA 0x0040:DYNAMIC_BASE 0x0100:NX_COMPAT; do
    bit=$(( ${flag%%:*} ))
    if (( want & bit )) && ! (( have & bit )); then echo "FAIL $name: ${flag#*:} missing"; status=1; fi
  done
  if (( 0x$characteristics & 0x0001 )); then echo "FAIL $name: relocations stripped, nothing to randomise"; status=1; fi
  if ! x86_64-w64-mingw32-objdump -t "$exe" | grep -q '__stack_chk_fail'; then
    echo "FAIL $name: no stack protector linked in"; status=1
  fi
  echo "$name: magic $magic DllCharacteristics 0x$dll Characteristics 0x$characteristics"
done
[ $status -eq 0 ] && echo "pe flags: all present"
exit $status
