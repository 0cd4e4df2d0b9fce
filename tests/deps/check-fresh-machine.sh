#!/usr/bin/env bash
# On a machine without the build packages, the README's commands must install them before anything
# else runs, and stop with one clear line when they cannot. Shims model that machine: dpkg-query
# finds nothing installed, dpkg works, apt-get and apt record their arguments (and the order of
# every call) and fail, cmake, wine and wineserver record and fail. The project is copied into a
# throw-away folder, so the real build tree and prefix are never touched.
#   check-fresh-machine.sh SOURCE_DIR
# What the shims cannot model: a real download and install (the registry is not asked), and a
# machine without root and sudo (the check runs as whoever runs the suite; see the last case).
set -u
src=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
check() {  # check DESCRIPTION COMMAND...
  if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; fi
}

# A copy of the project as it stands (tracked and new files), without build output.
mkdir "$work/src"
if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
  (cd "$src" && git ls-files -co --exclude-standard -z | xargs -0 cp --parents -t "$work/src" 2>/dev/null)
else
  (cd "$src" && tar --exclude=./build --exclude='./build-*' -cf - .) | tar -xf - -C "$work/src"
fi

shims=$work/shims
mkdir "$shims"
calls=$work/calls
# APT_MODE: fail (no registry: update fails), refuse (update works, every install is refused).
make_shims() {
  rm -f "$shims"/*
  printf '#!/bin/sh\nexit 1\n' >"$shims/dpkg-query"
  printf '#!/bin/sh\necho "dpkg $*" >>%s\nexit 0\n' "$calls" >"$shims/dpkg"
  for t in cmake wine wine64 wineboot wineserver Xvfb; do
    printf '#!/bin/sh\necho "%s $*" >>%s\nexit 1\n' "$t" "$calls" >"$shims/$t"
  done
  for t in apt-get apt; do
    if [ "$1" = refuse ]; then
      printf '#!/bin/sh\necho "%s $*" >>%s\ncase " $* " in *" update "*) exit 0;; esac\nexit 100\n' "$t" "$calls" >"$shims/$t"
    else
      printf '#!/bin/sh\necho "%s $*" >>%s\nexit 100\n' "$t" "$calls" >"$shims/$t"
    fi
  done
  chmod +x "$shims"/*
}

first_tool() {  # the first call that was not dpkg's
  grep -v '^dpkg ' "$calls" | head -n1 | cut -d' ' -f1
}

# target  apt mode  a package its set must name
cases=(
  "demo   fail    wine32:i386"
  "test   fail    wine32:i386"
  "all    fail    g++-mingw-w64-i686"
  "test   refuse  xvfb"
)
for row in "${cases[@]}"; do
  read -r target mode pkg <<<"$row"
  make_shims "$mode"
  : >"$calls"
  start=$(date +%s)
  (cd "$work/src" && PATH="$shims:$PATH" timeout 60 make "$target" </dev/null >"$work/out" 2>&1)
  rc=$?
  took=$(( $(date +%s) - start ))
  label="make $target (apt: $mode)"
  check "$label exits non-zero" [ $rc -ne 0 ] && [ $rc -ne 124 ]
  check "$label stops within seconds (took $took s)" [ $took -le 20 ]
  check "$label asks apt first" [ "$(first_tool)" = apt-get ]
  check "$label asks apt to update or install" grep -Eq '^apt-get .*(update|install)' "$calls"
  check "$label never reaches cmake or Wine" bash -c "! grep -Eq '^(cmake|wine|wine64|wineboot|wineserver|Xvfb) ' '$calls'"
  check "$label ends with one line naming $pkg and the command to install it" \
    bash -c "grep -c '^ensure-deps: could not install .*$pkg.*apt-get install -y' '$work/out' | grep -qx 1"
  check "$label shows no CMake error" bash -c "! grep -Eq 'CMake Error|CMAKE_C_COMPILER|No such file' '$work/out'"
  check "$label builds nothing and makes no Wine prefix" bash -c "[ ! -e '$work/src/build' ]"
  [ $fail -eq 0 ] || { echo "--- output"; cat "$work/out"; echo "--- calls"; cat "$calls"; }
  [ "$mode" = refuse ] && check "$label retries with the main suites before giving up" \
    grep -q 'retrying with the main suites only' "$work/out"
done

# Nothing missing: quiet, no apt call.
make_shims fail
printf '#!/bin/sh\nprintf "install ok installed"\n' >"$shims/dpkg-query"
chmod +x "$shims/dpkg-query"
: >"$calls"
PATH="$shims:$PATH" "$work/src/scripts/ensure-deps.sh" demo >"$work/out" 2>&1
rc=$?
check "all present: exit 0" [ $rc -eq 0 ]
check "all present: prints nothing" [ ! -s "$work/out" ]
check "all present: asks apt nothing" bash -c "! grep -q '^apt' '$calls'"

# Not root and no sudo: modelled by an id that says 1000 and a PATH without sudo.
make_shims fail
printf '#!/bin/sh\necho 1000\n' >"$shims/id"
chmod +x "$shims/id"
mkdir -p "$work/bin"
for t in bash sh env grep cat mktemp rm awk date dirname head cut printf; do
  p=$(command -v $t) && ln -sf "$p" "$work/bin/$t"
done
: >"$calls"
PATH="$shims:$work/bin" "$work/src/scripts/ensure-deps.sh" build >"$work/out" 2>&1
rc=$?
check "no root, no sudo: exit 1 with a line saying to run as root" \
  bash -c "[ $rc -eq 1 ] && grep -q 'not root and no sudo' '$work/out' && ! grep -q '^apt' '$calls'"
exit $fail
