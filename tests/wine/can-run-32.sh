#!/usr/bin/env bash
# Exit 0 when this machine's kernel can run 32-bit programs (so Wine runs the x86 tree), 1 when it
# cannot. Asked before anything is built: Wine's 32-bit loader, else the i386 dynamic loader; with
# neither installed there is no evidence against it, and most kernels can.
for probe in /usr/lib/wine/wine /lib/ld-linux.so.2; do
  if [ -x "$probe" ]; then
    "$probe" --version >/dev/null 2>&1
    exit $?
  fi
done
exit 0
