#!/usr/bin/env bash
# Runs a command with a private X display: with-xvfb.sh COMMAND [ARGS...]
# Xvfb picks a free display number itself (-displayfd); it is stopped when the command ends.
set -uo pipefail
fifo=$(mktemp -u)
mkfifo "$fifo"
# Room for a setup window at 200 % (1432 by 1020 pixels): Wine keeps windows within the screen.
Xvfb -displayfd 3 -screen 0 1920x1200x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
xvfb=$!
display=""
read -r -t 10 display <"$fifo" || true
rm -f "$fifo"
if [ -z "$display" ]; then
  echo "with-xvfb.sh: Xvfb did not start" >&2
  kill "$xvfb" 2>/dev/null
  exit 1
fi
export DISPLAY=:$display
"$@"
rc=$?
kill "$xvfb" 2>/dev/null
wait "$xvfb" 2>/dev/null
exit $rc
