#!/usr/bin/env python3
"""Writes the Windows test kit: the Windows test programs of the built trees with the files they
read, a run-tests.cmd that runs them in the suite's order, and a README for the maintainer.

    scripts/windows-kit.py BUILD OUT      e.g. scripts/windows-kit.py build build/windows-kit

The list comes from CTest's own list of each Windows tree (ctest --show-only=json-v1), so a test
added to the suite lands in the kit by itself. Tests that are not Windows programs (shell and
CMake checks) stay on the Linux side. No test double goes into the kit: a real Windows has every
service the suite replaces under Wine; on Wine the runner skips, with the reason, the tests that
need one."""
import json
import os
import shutil
import subprocess
import sys

TREES = ("x64", "x86")
BACKSLASH = "\\"
# Wrappers of the suite that put test doubles into the Wine prefix: what the test then needs is
# a Windows service Wine lacks.
DOUBLE_WRAPPERS = ("with-doubles.sh", "check-catalogs.sh")
# Environment variables that name a double rather than a file the test reads.
DOUBLE_ENV = ("VESK_GPO_DOUBLE", "VESK_E2E_GPO_DOUBLE", "VESK_E2E_GPO_DOUBLE_WOW")
# Wine-only settings: meaningless on Windows.
WINE_ENV = ("WINEDLLOVERRIDES",)
# Unix settings that Wine turns into the system's time zone or locale when it starts: a runner
# cannot set them, on Windows they are settings of the machine.
SYSTEM_ENV = {"TZ": "time zone", "LC_ALL": "locale", "LANG": "locale"}
# The suite's runners of Windows programs: what follows them up to the program is theirs.
WRAPPERS = ("run-test.sh", "with-xvfb.sh", "with-doubles.sh", "check-catalogs.sh", "in-own-prefix.sh")


def ctest_list(tree_dir):
    out = subprocess.run(["ctest", "--test-dir", tree_dir, "--show-only=json-v1"], check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)["tests"]


def unix_path(value):
    """The Unix path a value names (plain, or as Wine's Z: drive), or None."""
    v = value
    if len(v) > 2 and v[:2].upper() == "Z:":
        v = v[2:].replace("\\", "/")
    return v if v.startswith("/") and os.path.exists(v) else None


def kit_entries(build):
    entries, outside = [], []
    for tree in TREES:
        tree_dir = os.path.join(build, tree)
        if not os.path.isfile(os.path.join(tree_dir, "CTestTestfile.cmake")):
            continue
        for test in ctest_list(tree_dir):
            command = test.get("command", [])
            exe_at = next((i for i, c in enumerate(command) if c.endswith(".exe")), None)
            # A check run by a shell script of its own (one that reads programs) is no Windows test.
            if exe_at is not None and exe_at > 0 and os.path.basename(command[0]) not in WRAPPERS:
                exe_at = None
            if exe_at is None:
                outside.append(test["name"])
                continue
            props = {p["name"]: p["value"] for p in test.get("properties", [])}
            env = props.get("ENVIRONMENT", [])
            doubles = []
            for c in command[:exe_at]:
                if os.path.basename(c) in DOUBLE_WRAPPERS:
                    doubles += [os.path.basename(x) for x in command[:exe_at] if x.endswith(".dll")]
            kept_env, files = [], []
            for item in env:
                name, _, value = item.partition("=")
                if name in DOUBLE_ENV:
                    doubles.append(os.path.basename(value.replace("\\", "/")))
                    continue
                if name in WINE_ENV:
                    continue
                if name in SYSTEM_ENV:
                    kept_env.append((name, ("system", "%s %s" % (SYSTEM_ENV[name], value))))
                    continue
                path = unix_path(value)
                if (path and os.path.isdir(path)) or (not path and value.startswith("/")):
                    kept_env.append((name, None))  # made by a Linux-side fixture test
                    continue
                if path:
                    files.append(path)
                    kept_env.append((name, ("file", os.path.basename(path))))
                else:
                    kept_env.append((name, ("text", value)))
            entries.append({
                "tree": tree,
                "name": test["name"],
                "exe": os.path.relpath(command[exe_at], os.path.join(tree_dir, "bin")),
                "exe_path": command[exe_at],
                "args": command[exe_at + 1:],
                "env": kept_env,
                "files": files,
                "doubles": sorted(set(doubles)),
                "skip": props.get("SKIP_RETURN_CODE"),
            })
    return entries, outside


def wine_reason(e):
    if e["doubles"]:
        return "needs " + ", ".join(e["doubles"]) + " in place of a Windows service Wine lacks (the suite installs test doubles)"
    if any(v is None for _, v in e["env"]):
        return "needs a fixture the Linux side makes"
    return ""


def windows_reason(e):
    if any(v is None for _, v in e["env"]):
        names = ", ".join(n for n, v in e["env"] if v is None)
        return "needs a fixture the Linux side makes (" + names + ")"
    settings = [v[1] for _, v in e["env"] if v and v[0] == "system"]
    if settings:
        return "runs under a " + ", ".join(settings) + " that the suite sets through Wine; here it is the machine's"
    return ""


def probe_lines(entries):
    """Asks the first doctest program of each tree for its version: one that cannot start says
    that this system runs no program of that kind."""
    lines = []
    for tree, flag in (("x64", "NO_WIN64"), ("x86", "NO_WIN32")):
        probe = next((e for e in entries if e["tree"] == tree and os.path.basename(e["exe"]).startswith("test_")), None)
        if probe:
            exe = probe["exe"].replace("/", BACKSLASH)
            lines.append('"%%KIT%%%s%sbin%s%s" --version >nul 2>&1' % (tree, BACKSLASH, BACKSLASH, exe))
            lines.append("if errorlevel 1 set %s=1" % flag)
    return lines


def cmd_quote(s):
    return s.replace("%", "%%")


def write_runner(path, entries):
    lines = [
        "@echo off",
        "rem Runs the suite's Windows test programs in the suite's order; writes results.txt:",
        "rem one line per test (PASS name, FAIL name, SKIP name: reason) and the counts last.",
        "rem   run-tests.cmd [NAME...]   only the tests named",
        "setlocal",
        'set "KIT=%~dp0"',
        'set "RESULTS=%KIT%results.txt"',
        'set "LOGS=%KIT%logs"',
        'if not exist "%LOGS%" mkdir "%LOGS%"',
        'type nul > "%RESULTS%"',
        "set ONLY=%*",
        "set /a PASSED=0",
        "set /a FAILED=0",
        "set /a SKIPPED=0",
        "set ON_WINE=",
        'reg query "HKCU\\Software\\Wine" >nul 2>&1 && set ON_WINE=1',
        "if defined ON_WINE echo This is Wine: tests that need a Windows service Wine lacks are skipped.",
        "rem Which programs this system can start: 32-bit Windows runs no 64-bit program, and some",
        "rem kernels that Wine runs on start no 32-bit one.",
        "set NO_WIN64=",
        "set NO_WIN32=",
    ] + probe_lines(entries) + [
        "rem The test programs are test builds: they prepare packages only where this says so.",
        "set VESK_TEST_BUILD=1",
        "",
    ]
    for e in entries:
        for name, value in e["env"]:
            if value is None or value[0] == "system":
                continue
            kind, v = value
            v = "%KIT%" + e["tree"] + "\\files\\" + v if kind == "file" else cmd_quote(v)
            lines.append('set "%s=%s"' % (name, v))
        args = " ".join(cmd_quote(a) for a in e["args"])
        lines.append('call :run "%s" "%%KIT%%%s\\bin\\%s" "%s" "%s" "%s"' % (
            e["name"], e["tree"], e["exe"].replace("/", "\\"), args, wine_reason(e), windows_reason(e)))
        for name, value in e["env"]:
            if value is not None and value[0] != "system":
                lines.append('set "%s="' % name)
    lines += [
        "",
        '>>"%RESULTS%" echo %PASSED% passed, %FAILED% failed, %SKIPPED% skipped',
        'type "%RESULTS%"',
        "if %FAILED% gtr 0 exit /b 1",
        "exit /b 0",
        "",
        ":run",
        "rem %1 name, %2 program, %3 arguments, %4 reason to skip on Wine, %5 reason to skip anywhere",
        'set "NAME=%~1"',
        "if not defined ONLY goto :chosen",
        "set HIT=",
        'for %%t in (%ONLY%) do if "%%~t"=="%NAME%" set HIT=1',
        "if not defined HIT goto :eof",
        ":chosen",
        'if "%NAME:~0,4%"=="x86." if defined NO_WIN32 (',
        '  >>"%RESULTS%" echo SKIP %NAME%: this system cannot start 32-bit programs',
        "  set /a SKIPPED+=1",
        "  goto :eof",
        ")",
        'if "%NAME:~0,4%"=="x64." if defined NO_WIN64 (',
        '  >>"%RESULTS%" echo SKIP %NAME%: this system cannot start 64-bit programs',
        "  set /a SKIPPED+=1",
        "  goto :eof",
        ")",
        'if not "%~5"=="" (',
        '  >>"%RESULTS%" echo SKIP %NAME%: %~5',
        "  set /a SKIPPED+=1",
        "  goto :eof",
        ")",
        'if defined ON_WINE if not "%~4"=="" (',
        '  >>"%RESULTS%" echo SKIP %NAME%: %~4',
        "  set /a SKIPPED+=1",
        "  goto :eof",
        ")",
        "echo %NAME%",
        '"%~2" %~3 > "%LOGS%\\%NAME%.log" 2>&1',
        "set RC=%ERRORLEVEL%",
        'if "%RC%"=="0" (',
        '  >>"%RESULTS%" echo PASS %NAME%',
        "  set /a PASSED+=1",
        "  goto :eof",
        ")",
        'if "%RC%"=="77" goto :skipped',
        '>>"%RESULTS%" echo FAIL %NAME%',
        "set /a FAILED+=1",
        "goto :eof",
        ":skipped",
        "set REASON=",
        'for /f "usebackq tokens=1* delims=:" %%a in ("%LOGS%\\%NAME%.log") do if "%%a"=="SKIPPED" if not defined REASON set "REASON=%%b"',
        'if not defined REASON set "REASON= the program reported it could not check here"',
        '>>"%RESULTS%" echo SKIP %NAME%:%REASON%',
        "set /a SKIPPED+=1",
        "goto :eof",
        "",
    ]
    with open(path, "w", newline="\r\n") as f:
        f.write("\n".join(lines))


README = """Morvane Windows Driver Setup - test kit for a real Windows

What this is
  The suite's Windows test programs (64-bit in x64\\, 32-bit in x86\\) with the files they read,
  and run-tests.cmd, which runs them one after the other in the suite's order. The list was made
  from the suite's own list of tests when the kit was built. It carries no test doubles: a real
  Windows has every service that the suite replaces under Wine.

How to run it
  1. Use a Windows 10 or 11 virtual machine (x64) and take a snapshot first.
  2. Copy this folder into the machine, for example to C:\\vesk-kit.
  3. Open a command prompt as administrator (right-click, "Run as administrator"), go to the
     folder and run:   run-tests.cmd
     (run-tests.cmd NAME... runs only the tests named).
  4. Read results.txt: one line per test, "PASS name", "FAIL name" or "SKIP name: reason", and
     last "N passed, N failed, N skipped". The output of each test is in logs\\NAME.log.
  5. Restore the snapshot afterwards.

What it changes on the machine
  - Synthetic device nodes (root-enumerated USB devices such as 2E3C:DF11 with made-up
    instance IDs); each test removes the ones it made.
  - Self-signed test certificates in the machine's "Root" and "TrustedPublisher" stores and
    in the current user's stores, and signing key containers; the tests remove what they add.
  - Driver package folders "Morvane-Driver-{GUID}" under C:\\ProgramData and scratch folders
    under %TEMP%; driver packages staged in the driver store by the installer tests.
  - The stored restore-point policy (HKLM\\SOFTWARE\\Morvane\\Driver Setup) and the local group
    policy value "DisableSystemRestore", both put back by the tests.
  - Guard mutexes, the installer and logger pipes: they end with the programs.
  A test that fails half-way may leave any of these behind: that is what the snapshot is for.

What needs a real Windows
  Tests whose names end in ".windows_only" are skipped under Wine: they check what Wine cannot
  enforce or observe (owners read back, access lists on files, private namespaces, integrity
  labels, junctions, a squatted first pipe instance). Here they run for real.
"""


def main():
    build, out = sys.argv[1], sys.argv[2]
    entries, outside = kit_entries(build)
    if not entries:
        sys.exit("windows-kit: no Windows test tree built in %s (make build-all)" % build)
    if os.path.isdir(out):
        shutil.rmtree(out)
    os.makedirs(out)
    for tree in sorted({e["tree"] for e in entries}):
        shutil.copytree(os.path.join(build, tree, "bin"), os.path.join(out, tree, "bin"))
    for e in entries:
        if not os.path.isfile(e["exe_path"]):
            sys.exit("windows-kit: %s is not built: %s" % (e["name"], e["exe_path"]))
        for f in e["files"]:
            os.makedirs(os.path.join(out, e["tree"], "files"), exist_ok=True)
            shutil.copy2(f, os.path.join(out, e["tree"], "files", os.path.basename(f)))
    write_runner(os.path.join(out, "run-tests.cmd"), entries)
    with open(os.path.join(out, "tests.txt"), "w", newline="\r\n") as f:
        for e in entries:
            f.write("%s\t%s\\bin\\%s %s\n" % (e["name"], e["tree"], e["exe"].replace("/", "\\"), " ".join(e["args"])))
    with open(os.path.join(out, "README.txt"), "w", newline="\r\n") as f:
        f.write(README)
        f.write("\nChecks that stay on the Linux side (not Windows programs): %s\n" % ", ".join(outside))
    archive = shutil.make_archive(out, "zip", os.path.dirname(out), os.path.basename(out))
    print("windows-kit: %d tests in %s (and %s)" % (len(entries), out, archive))


if __name__ == "__main__":
    main()
