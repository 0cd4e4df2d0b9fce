#!/usr/bin/env bash
# The setup program under Wine against a simulated Morvane bootloader, start to finish:
#   scripts/demo.sh [BUILD]
# A private Wine prefix and X display at 200 % (192 DPI); the setup program started with nothing
# connected, its first check awaited; then a synthetic USB device 2E3C:DF11 (vesk-usbdev) plugged
# in, the window's own check awaited, "Install WinUSB" clicked and confirmed, the outcome
# awaited. Written into one output folder (VESK_DEMO_OUT, default BUILD/demo-<time>):
#   0-no-device.png  1-after-check.png  2-progress.png  3-outcome.png   screenshots (200 %)
#   diagnostics.txt    the pane, copied with the program's "Copy diagnostics" button
#   device.txt         the simulated device's properties after the installation
#   summary.txt        status line, timings, how fast the window answered, device service
# The prefix and the display are removed afterwards. Exit code 0 only for a verified install.
# VESK_DEMO_RUNS=N installs N times in the same prefix, each with a new simulated bootloader and a
# new start of the setup program whose "user" reads the window for 3 s before clicking; the
# summary adds "from Yes to verified" (median, maximum) and the median of each step's time, read
# from the program's "vesk-timing:" debugger lines (timing.txt has every run's).
# VESK_DEMO_PREFIX=DIR uses an existing prefix (e.g. the tests') instead and leaves it in place.
# VESK_DEMO_DPI (default 192) is the display's DPI while the setup program runs.
# VESK_DEMO_TREE=x86|x64 chooses the build: the shipped 32-bit program (x86, the default), or its
# 64-bit test build (x64, the default where this machine cannot run 32-bit programs).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
. "$root/tests/wine/wine-env.sh"
tree=${VESK_DEMO_TREE:-}
if [ -z "$tree" ]; then
  tree=x86
  if [ "$VESK_WIN32" = 0 ]; then
    tree=x64
    echo "demo: this machine's kernel cannot run 32-bit programs (no IA32 emulation): the demo runs the"
    echo "demo: 64-bit test build of the setup program (same sources; the shipped program is 32-bit)"
  fi
fi
case "$tree" in
  x86) sysdir=syswow64 ;;
  x64) sysdir=system32 ;;
  *) echo "demo: VESK_DEMO_TREE must be x86 or x64" >&2; exit 2 ;;
esac
# The 64-bit setup program is built in the x64-setup tree (x64 builds only the installer's side).
dir=$tree
[ "$tree" = x64 ] && dir=x64-setup
bin=$build/$dir/bin
setup_exe=$bin/Morvane-Windows-Driver-Setup.exe
for f in "$setup_exe" "$bin/setup_demo.exe" "$bin/vesk-usbdev.exe" "$build/$dir/doubles/wintrust.dll"; do
  if [ ! -f "$f" ]; then echo "demo: $f is missing (make BUILD=${1:-build} build-all)" >&2; exit 1; fi
done
runs=${VESK_DEMO_RUNS:-1}
case "$runs" in
  '' | *[!0-9]* | 0) echo "demo: VESK_DEMO_RUNS must be a positive number" >&2; exit 2 ;;
esac
out=${VESK_DEMO_OUT:-$build/demo-$(date +%Y%m%d-%H%M%S)}
mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -f "$out"/*.png "$out"/*.done "$out"/*.txt

work=$(mktemp -d)
xvfb=""
own_prefix=1
if [ -n "${VESK_DEMO_PREFIX:-}" ]; then
  own_prefix=0
  # That prefix's default desktop may have started without a display: the driver makes its own.
  export VESK_DEMO_DESKTOP=1
  export WINEPREFIX=$(cd "$VESK_DEMO_PREFIX" && pwd)
else
  export WINEPREFIX=$work/prefix
fi
export VESK_WINEPREFIX=$WINEPREFIX WINEDEBUG=-all
# The demo's program is a test build: it prepares a package only with this set.
export VESK_TEST_BUILD=1
export VESK_DEMO_DPI=${VESK_DEMO_DPI:-192}
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }
cleanup() {
  [ -n "${device:-}" ] && wine "$bin/vesk-usbdev.exe" remove "$device" </dev/null >/dev/null 2>&1
  if [ $own_prefix = 1 ]; then wineserver -k >/dev/null 2>&1; fi
  if [ -n "$xvfb" ]; then kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

if [ $own_prefix = 1 ]; then
  echo "demo: making a private Wine prefix (about half a minute)"
  "$root/tests/wine/make-prefix.sh" "$WINEPREFIX" win64 >/dev/null || exit 1
fi

# A display of our own; the prefix's desktop is started on it.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1600x1200x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb=$!
display=""
read -r -t 10 display <"$work/display" || true
if [ -z "$display" ]; then echo "demo: Xvfb did not start" >&2; exit 1; fi
export DISPLAY=:$display
# Wine's background processes start with the first program and keep its stdio: they get none
# of ours (a pipe of ours held open by them would never end), and every output goes via files.
if [ $own_prefix = 1 ]; then
  wineserver -p </dev/null >/dev/null 2>&1
  wine cmd /c exit </dev/null >/dev/null 2>&1
fi

# The simulated bootloader, plugged in when the driver asks (after the first check).
plug_in() {
  wine "$bin/vesk-usbdev.exe" bootloader </dev/null >"$work/device" 2>&1
  device=$(tr -d '\r' <"$work/device" | tail -n1)
  case "$device" in
    'USB\VID_2E3C&PID_DF11\'*) echo "demo: simulated bootloader plugged in: $device" ;;
    *) echo "demo: could not make the simulated bootloader: $device" >&2; device="" ;;
  esac
}

shot() {  # the whole display, as the user would see it
  xwd -root -silent -display "$DISPLAY" >"$work/$1.xwd" && convert "xwd:$work/$1.xwd" "$out/$1.png"
}

status_line="" ready="" found="" install="" progress=yes reply_max="" reply_p99="" reply_samples=""
yes_to_verified=() verified_runs=0
: >"$out/timing.txt"
for run in $(seq 1 "$runs"); do
  if [ "$run" -gt 1 ] && [ -n "${device:-}" ]; then
    # The last run bound WinUSB: unplugged, and the next run plugs in a new bootloader.
    wine "$bin/vesk-usbdev.exe" remove "$device" </dev/null >/dev/null 2>&1
    device=""
  fi
  # The catalog is signed through Wine's missing signing services: the test doubles stand in.
  # The driver writes to a file that is followed here (a pipe could be held open by the desktop
  # process that Wine starts from it). The programs' debugger output carries their step times.
  : >"$work/driver.out"
  WINEDEBUG=-all,warn+debugstr \
  "$root/tests/support/with-doubles.sh" $sysdir "$build/$dir/doubles/wintrust.dll" "$build/$dir/doubles/mssign32.dll" -- \
    wine "$bin/setup_demo.exe" "$(winpath "$setup_exe")" "$(winpath "$out")" </dev/null >"$work/driver.out" 2>"$work/driver.err" &
  driver=$!
  while IFS= read -r line; do
    line=${line%$'\r'}
    case "$line" in
      "SNAPSHOT "*) name=${line#SNAPSHOT }; shot "$name"; : >"$out/$name.done" ;;
      PLUG_IN) plug_in; : >"$out/plugged.done" ;;
      "FOUND_SECONDS "*) found=${line#FOUND_SECONDS } ;;
      "STATUS "*) status_line=${line#STATUS } ;;
      "READY_SECONDS "*) ready=${line#READY_SECONDS } ;;
      "INSTALL_SECONDS "*) install=${line#INSTALL_SECONDS } ;;
      "YES_TO_VERIFIED_SECONDS "*) yes_to_verified+=("${line#YES_TO_VERIFIED_SECONDS }"); verified_runs=$((verified_runs + 1)) ;;
      "REPLY_MAX_MS "*) reply_max=${line#REPLY_MAX_MS } ;;
      "REPLY_P99_MS "*) reply_p99=${line#REPLY_P99_MS } ;;
      "REPLY_SAMPLES "*) reply_samples=${line#REPLY_SAMPLES } ;;
      NO_PROGRESS_WINDOW) progress=no ;;
      *) echo "demo: $line" ;;
    esac
  done < <(tail -n +1 -f --pid=$driver "$work/driver.out")
  wait $driver
  rm -f "$out"/*.done
  # 0024:warn:debugstr:OutputDebugStringA "vesk-timing: catalog 40 ms\n"
  sed -n 's/.*"vesk-timing: \(.*\) \([0-9]*\) ms\\n".*/\1\t\2/p' "$work/driver.err" |
    sed "s/^/$run\t/" >>"$out/timing.txt"
done

[ -n "${device:-}" ] && wine "$bin/vesk-usbdev.exe" query "$device" </dev/null >"$work/query" 2>&1
tr -d '\r' <"$work/query" >"$out/device.txt"
service=$(sed -n 's/^ *[Ss]ervice[^:=]*[:=] *//p' "$out/device.txt" | head -n1)
{
  echo "status: $status_line"
  echo "first check (nothing connected) done after: ${ready:-?} s"
  echo "plugged in, found by the window's own check after: ${found:-?} s"
  echo "installation (check, prepare, install, verify): ${install:-?} s"
  echo "setup program: $tree build"
  echo "progress window seen: $progress"
  echo "window reply during the installation, longest: ${reply_max:-?} ms, 99th percentile: ${reply_p99:-?} ms (${reply_samples:-0} asks, one every 20 ms)"
  echo "runs: $runs (each: a new program start, a new bootloader plugged in and found, 3 s reading, Install WinUSB, Yes)"
  printf '%s\n' "${yes_to_verified[@]}" | sort -n | awk -v runs="$runs" '
    NF { v[++n] = $1 }
    END {
      if (n == 0) { print "from Yes to verified: no run verified"; exit }
      m = (n % 2) ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
      printf "from Yes to verified: median %.2f s, maximum %.2f s (%d of %d runs verified)\n", m, v[n], n, runs
    }'
  # The median of each step over the runs, in the order the steps come.
  awk -F '\t' '
    !($2 in n) { order[++steps] = $2 }
    { n[$2]++; t[$2, n[$2]] = $3 }
    END {
      line = "steps, median of the runs (ms):"
      for (i = 1; i <= steps; i++) {
        s = order[i]; k = n[s]
        for (a = 1; a <= k; a++) for (b = a + 1; b <= k; b++)
          if (t[s, b] < t[s, a]) { x = t[s, a]; t[s, a] = t[s, b]; t[s, b] = x }
        m = (k % 2) ? t[s, (k + 1) / 2] : (t[s, k / 2] + t[s, k / 2 + 1]) / 2
        line = line sprintf(" %s %d,", s, m)
      }
      sub(/,$/, "", line); print line
    }' "$out/timing.txt"
  echo "device: $device"
  echo "device service: ${service:-(none)}"
} >"$out/summary.txt"

echo "demo: output in $out"
ls "$out" | sed 's/^/demo:   /'
cat "$out/summary.txt" | sed 's/^/demo: /'
[ "$status_line" = "Success: WinUSB binding verified. Reconnect in BOOT0." ]
