#!/usr/bin/env bash
# Checks the Windows test kit: check-kit.sh BUILD
# Contents: every test of each built Windows tree's CTest list that runs a Windows program is in
# the kit, in the suite's order, with its program; no test double is in it; the README says how
# to run it. Runner: under Wine, a passing test, a Windows-only case, a test that needs a double
# and a failing program come out as PASS, SKIP with reason, SKIP with reason and FAIL, with the
# counts last and a non-zero exit code for the failure.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }

kit=$work/windows-kit
"$root/scripts/windows-kit.py" "$build" "$kit" || fail "the kit could not be made"
[ -f "$work/windows-kit.zip" ] || fail "no zip beside the kit"
[ -f "$kit/run-tests.cmd" ] && [ -f "$kit/README.txt" ] || fail "run-tests.cmd or README.txt missing"
grep -q "snapshot" "$kit/README.txt" && grep -qi "administrator" "$kit/README.txt" || fail "README says nothing of snapshot and administrator"

# The suite's Windows programs (run by the suite's Wine runners), in CTest's order, against the
# runner's calls.
want=$work/want.txt
: >"$want"
for tree in x64 x86; do
  [ -f "$build/$tree/CTestTestfile.cmake" ] || continue
  ctest --test-dir "$build/$tree" --show-only=json-v1 | python3 -c '
import json, sys
wrappers = ("run-test.sh", "with-xvfb.sh", "with-doubles.sh", "check-catalogs.sh", "in-own-prefix.sh")
for t in json.load(sys.stdin)["tests"]:
    c = t.get("command", [])
    if c and (c[0].endswith(".exe") or (c[0].rsplit("/", 1)[-1] in wrappers and any(x.endswith(".exe") for x in c))):
        print(t["name"])' >>"$want"
done
[ -s "$want" ] || fail "no Windows test in the suite's list"
sed -n 's/^call :run "\([^"]*\)".*/\1/p' "$kit/run-tests.cmd" | tr -d '\r' >"$work/got.txt"
diff -u "$want" "$work/got.txt" || fail "the runner's tests differ from the suite's list"
while IFS=$'\t' read -r name command; do
  program=${command%% *}
  [ -f "$kit/$(echo "$program" | tr '\\' /)" ] || fail "$name: its program $program is not in the kit"
done < <(tr -d '\r' <"$kit/tests.txt")
# The doubles the suite builds (by content: the planted-DLL test carries a marker of a DLL's name).
doubles=$(find "$build"/x64/doubles "$build"/x64/installer-doubles "$build"/x86/doubles "$build"/x86/installer-doubles \
  -name '*.dll' -exec sha256sum {} + 2>/dev/null | cut -d' ' -f1 | sort -u)
[ -n "$doubles" ] || fail "no test doubles found in $build to compare with"
while read -r sum file; do
  grep -qx "$sum" <<<"$doubles" && fail "a test double is in the kit: $file"
done < <(find "$kit" -type f -exec sha256sum {} +)

# The runner under Wine, on three tests of the 64-bit tree (one needs a double; the setup side's
# tests are in the x86 tree) and one failing program.
. "$root/tests/wine/wine-env.sh"
export WINEPREFIX=${VESK_WINEPREFIX:-$build/wineprefix} WINEDEBUG=-all
pass=$(grep -m1 -o '^call :run "x64.test_error_text"' "$kit/run-tests.cmd" | cut -d'"' -f2)
[ -n "$pass" ] || fail "x64.test_error_text is not in the runner"
printf 'call :run "kit.fails" "%%SystemRoot%%\\system32\\cmd.exe" "/c exit 3" "" ""\r\n' >"$work/fails.txt"
# The failing program goes first, so the runner's own order and counts are checked with it.
awk -v f="$(cat "$work/fails.txt")" '/^call :run / && !done { print f; done = 1 } { print }' "$kit/run-tests.cmd" >"$work/run.cmd"
mv "$work/run.cmd" "$kit/run-tests.cmd"
(cd "$kit" && wine cmd /c run-tests.cmd kit.fails x64.test_error_text x64.test_files.windows_only x64.test_phantom_devices \
  </dev/null >"$work/runner.log" 2>&1)
rc=$?
results=$(tr -d '\r' <"$kit/results.txt")
echo "$results"
[ $rc -ne 0 ] || fail "the runner exited 0 after a failure"
expect() { grep -qx -- "$1" <<<"$results" || fail "results.txt lacks a line '$1'"; }
expect "FAIL kit.fails"
expect "PASS x64.test_error_text"
grep -Eq '^SKIP x64\.test_files\.windows_only: .*owner' <<<"$results" || fail "the Windows-only case is not skipped with its reason"
grep -Eq '^SKIP x64\.test_phantom_devices: needs .*cfgmgr32\.dll.*Wine lacks' <<<"$results" || fail "the phantom-device test is not skipped for its double"
[ "$(tail -n 1 <<<"$results")" = "1 passed, 1 failed, 2 skipped" ] || fail "the last line is not the counts"
[ "$(wc -l <<<"$results")" -eq 5 ] || fail "results.txt has lines for tests that were not named"
echo "kit: $(wc -l <"$want") tests, runner checked"
