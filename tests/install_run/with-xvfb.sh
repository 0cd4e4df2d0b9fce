#!/usr/bin/env bash
# Runs one command on a display of its own: with-xvfb.sh COMMAND...
# Xvfb picks a free display number and writes it to a file; the command gets DISPLAY for it.
set -u
numfile=$(mktemp)
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$numfile" >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; rm -f "$numfile"' EXIT
for _ in $(seq 100); do
  [ -s "$numfile" ] && break
  sleep 0.1
done
if [ ! -s "$numfile" ]; then
  echo "with-xvfb.sh: Xvfb did not start" >&2
  exit 1
fi
export DISPLAY=:$(head -n1 "$numfile")
"$@"
