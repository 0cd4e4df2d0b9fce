#!/usr/bin/env bash
# Makes a fresh Wine prefix for the tests: make-prefix.sh DIR [win64|win32] [BUILD]
# Windows 10 (build 19045 unless BUILD is given), no window manager, no Mono or Gecko.
set -euo pipefail
. "$(dirname "$0")/wine-env.sh"
dir=$1
arch=${2:-win64}
build=${3:-19045}
rm -rf "$dir"
mkdir -p "$(dirname "$dir")"
export WINEPREFIX=$(cd "$(dirname "$dir")" && pwd)/$(basename "$dir")
export WINEARCH=$arch WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
wineboot -i >/dev/null 2>&1
winecfg /v win10 >/dev/null 2>&1
views=(/reg:32)
[ "$arch" = win64 ] && views+=(/reg:64)
for view in "${views[@]}"; do
  for value in CurrentBuildNumber CurrentBuild; do
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion' /v $value /t REG_SZ /d "$build" /f $view >/dev/null 2>&1
  done
done
# Without a window manager every hide or destroy of a top-level window waits about 2 s.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
wineserver -w
echo "make-prefix: $arch prefix (Windows 10 build $build) at $WINEPREFIX"
