#!/usr/bin/env bash
# The demo's path as a test: scripts/demo.sh in the suite's prefix (VESK_WINEPREFIX), then its
# output folder checked: the bootloader plugged in after the first check and found by the
# window's own check, a verified install, the worker's lines in order, the simulated device's
# service WinUSB, four screenshots of the display.
#   check-demo.sh BUILD_DIR TREE      (TREE: the build of the setup program, x86 or x64)
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$1
export VESK_DEMO_TREE=${2:-x86}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fail=0
check() {  # check DESCRIPTION COMMAND...
  if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; fi
}

VESK_DEMO_PREFIX=$VESK_WINEPREFIX VESK_DEMO_OUT=$out "$root/scripts/demo.sh" "$build"
rc=$?
check "demo exit code 0" [ $rc -eq 0 ]
check "status line of a verified install" \
  grep -qx 'status: Success: WinUSB binding verified. Reconnect in BOOT0.' "$out/summary.txt"
check "the device's service is WinUSB" grep -qix 'service: WinUSB' "$out/device.txt"
check "the progress window was seen" grep -qx 'progress window seen: yes' "$out/summary.txt"
check "the bootloader plugged in later was found by the window's own check within 3 s" \
  grep -Eqx "plugged in, found by the window's own check after: [0-2]\.[0-9]+ s" "$out/summary.txt"
check "the window's reply times during the installation are measured" \
  grep -Eq '^window reply during the installation, longest: [0-9.]+ ms, 99th percentile: [0-9.]+ ms \([1-9][0-9]* asks' "$out/summary.txt"

# The worker's lines, in this order (library lines may come between them).
expected=(
  "Morvane Windows Driver Setup 1.0.1 / libvesk 1.5.1"
  "AT32 bootloader IDs are shared; this helper cannot uniquely identify the Morvane brand."
  "Found DFU 2E3C:DF11. Current driver: (none)"
  "Ready. Confirm this is your only connected AT32 DFU device, then click Install WinUSB."
  "Found DFU 2E3C:DF11. Current driver: (none)"
  "Driver package and installer logs: C:\\ProgramData\\Morvane-Driver-{"
  "Preparing the fixed WinUSB package. Do not unplug Morvane."
  "Installing WinUSB for the AT32 DFU bootloader only."
  "Windows accepted the package. Checking that WinUSB is actually bound..."
  "SUCCESS: WinUSB binding verified. No firmware or game packs were changed."
  "Unplug Morvane, reconnect in BOOT0, then open "
)
in_order() {
  local i=0 line
  while IFS= read -r line; do
    line=${line%$'\r'}
    [ $i -lt ${#expected[@]} ] && [[ "$line" == "${expected[$i]}"* ]] && i=$((i + 1))
  done <"$out/diagnostics.txt"
  [ $i -eq ${#expected[@]} ] || { echo "  stopped before: ${expected[$i]}"; return 1; }
}
check "diagnostics (copied by the program's button) hold the worker's lines in order" in_order
first_check=$(tr -d '\r' <"$out/diagnostics.txt" | awk 'seen { print; exit } /^AT32 bootloader IDs are shared/ { seen = 1 }')
check "the first check, before the plug-in, found no bootloader ($first_check)" \
  bash -c "[ -n \"\$1\" ] && [[ \"\$1\" != 'Found DFU'* ]]" _ "$first_check"
check "no removed-directories line without a removed directory" \
  bash -c "! grep -q '^Removed 0 ' '$out/diagnostics.txt'"
check "the last line names the updater" grep -q "then open .*/updater\.\$" <(tail -n1 "$out/diagnostics.txt" | tr -d '\r')

for shot in 0-no-device 1-after-check 2-progress 3-outcome; do
  check "screenshot $shot of the whole display" \
    [ "$(identify -format '%wx%h' "$out/$shot.png" 2>/dev/null)" = 1600x1200 ]
done
[ $fail -eq 0 ] || { echo "--- diagnostics.txt"; cat "$out/diagnostics.txt"; echo "--- summary.txt"; cat "$out/summary.txt"; }
exit $fail
