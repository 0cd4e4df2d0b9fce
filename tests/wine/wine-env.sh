# Sourced by the scripts that start Wine: says whether this machine can run 32-bit Windows
# programs, and makes `wine` work either way.
# Some kernels cannot execute 32-bit programs at all (built without IA32 emulation): Wine's
# 32-bit loader then fails with "Exec format error", and Debian's wine script still picks it, so
# every Wine call fails, 64-bit programs included. There the 64-bit loader is used directly and
# VESK_WIN32=0 tells the callers that 32-bit programs (the x86 tree) cannot run.
if /usr/lib/wine/wine --version >/dev/null 2>&1 || [ ! -x /usr/lib/wine/wine64 ]; then
  export VESK_WIN32=1
else
  export VESK_WIN32=0
  PATH=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/loader64:$PATH
  export PATH WINELOADER=/usr/lib/wine/wine64
fi
