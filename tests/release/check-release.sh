#!/usr/bin/env bash
# The release path as a test, with stand-in co-installers of Microsoft's names and exact sizes:
#   - a release refuses co-installer files without Microsoft's signature, naming the file;
#   - two release builds (the checkout, and a copy of its files elsewhere; fresh build trees)
#     give byte-identical programs, carry no test-build text and no build path;
#   - with SIGN_PFX, all three programs are signed, the installers before they are embedded.
# Prints the sizes, the SHA-256 sums and the build times.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
check() {  # check DESCRIPTION COMMAND...
  if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; fi
}
export JOBS=2
export SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)

# Stand-ins: the four names and exact sizes the build checks, unsigned.
redist=$work/redist
mkdir -p "$redist/x86" "$redist/amd64"
while IFS=, read -r dir name length; do
  head -c "$length" /dev/urandom >"$redist/$dir/$name"
done <<'ROWS'
x86,WdfCoInstaller01011.dll,1629040
x86,winusbcoinstaller2.dll,851176
amd64,WdfCoInstaller01011.dll,1795952
amd64,winusbcoinstaller2.dll,1002728
ROWS

# Without the test-only flag the unsigned files stop the build when it is configured.
cmake -S "$root" -B "$work/refused" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-mingw.cmake" \
  -DVESK_BUILD_TESTS=OFF -DVESK_RELEASE=ON -DVESK_REDIST_DIR="$redist" -DVESK_SOURCE_DATE_EPOCH=1 \
  -DVESK_INSTALLER_X64="$work/none.exe" >"$work/refused.log" 2>&1
rc=$?
check "an unsigned co-installer stops the release build" [ $rc -ne 0 ]
check "the refusal names the file" \
  grep -q "release: $redist/x86/WdfCoInstaller01011.dll carries no Authenticode signature" "$work/refused.log"

# Build A in the checkout, build B from a copy of the same files in another place.
mkdir -p "$work/copy/of/the/source"
(cd "$root" && git ls-files -z | xargs -0 tar -cf - ) | tar -xf - -C "$work/copy/of/the/source"
start=$(date +%s)
"$root/scripts/build-release.sh" --test-unsigned-redist "$redist" "$work/a" "$work/a/dist" >"$work/a.log" 2>&1
rc_a=$?
mid=$(date +%s)
"$work/copy/of/the/source/scripts/build-release.sh" --test-unsigned-redist "$redist" "$work/build-b" "$work/dist-b" \
  >"$work/b.log" 2>&1
rc_b=$?
end=$(date +%s)
echo "release build A: $((mid - start)) s, build B: $((end - mid)) s"
check "release build A" [ $rc_a -eq 0 ]
check "release build B" [ $rc_b -eq 0 ]
[ $rc_a -eq 0 ] || tail -n 30 "$work/a.log"
[ $rc_b -eq 0 ] || tail -n 30 "$work/b.log"
grep '^release: ' "$work/a.log"

setup=Morvane-Windows-Driver-Setup.exe
programs_a=("$work/a/dist/$setup" "$work/a/x86/bin/installer_x86.exe" "$work/a/x64/bin/installer_x64.exe")
programs_b=("$work/dist-b/$setup" "$work/build-b/x86/bin/installer_x86.exe" "$work/build-b/x64/bin/installer_x64.exe")
for i in 0 1 2; do
  sum_a=$(sha256sum <"${programs_a[$i]}" | cut -d' ' -f1)
  sum_b=$(sha256sum <"${programs_b[$i]}" | cut -d' ' -f1)
  echo "sha256 $(basename "${programs_a[$i]}"): A $sum_a, B $sum_b"
  check "$(basename "${programs_a[$i]}") is byte-identical in both builds" [ -n "$sum_a" -a "$sum_a" = "$sum_b" ]
done
check "dist has SHA256SUMS for the setup program" \
  bash -c "cd '$work/a/dist' && sha256sum -c SHA256SUMS >/dev/null && grep -q ' $setup\$' SHA256SUMS"

# Strings of the release programs: no test-build text (ASCII or UTF-16LE), no build paths.
present() {  # present FILE TEXT: TEXT in FILE, as ASCII or as UTF-16LE
  /usr/bin/python3 -c 'import sys; d = open(sys.argv[1], "rb").read(); t = sys.argv[2]
sys.exit(0 if t.encode() in d or t.encode("utf-16le") in d else 1)' "$1" "$2"
}
absent() { ! present "$@"; }
for p in "${programs_a[@]}"; do
  n=$(basename "$p")
  check "$n: no \"test build\" text" absent "$p" "test build"
  check "$n: does not read VESK_TEST_BUILD" absent "$p" "VESK_TEST_BUILD"
  check "$n: no build path" absent "$p" "$work"
  check "$n: stripped (no symbol table)" bash -c "! x86_64-w64-mingw32-objdump -t '$p' | grep -q '^\['"
done
check "the release setup program has its version line" \
  present "${programs_a[0]}" "Morvane Windows Driver Setup 1.0.1 / libvesk 1.5.1"

# Signing: a throw-away certificate; build A again with it (only the signing and the payload
# change). All three verify against the certificate; the setup program carries the signed installers.
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj "/O=Release Test/CN=Throw-away signer" \
  -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/sign.pfx" -passout pass:test-pass
SIGN_PFX=$work/sign.pfx SIGN_PASS=test-pass \
  "$root/scripts/build-release.sh" --test-unsigned-redist "$redist" "$work/a" "$work/a/dist" >"$work/signed.log" 2>&1
rc=$?
check "signed release build" [ $rc -eq 0 ]
[ $rc -eq 0 ] || tail -n 30 "$work/signed.log"
for p in "$work/a/dist/$setup" "$work/a/signed/installer_x86.exe" "$work/a/signed/installer_x64.exe"; do
  check "$(basename "$p") verifies against the throw-away certificate" \
    bash -c "osslsigncode verify -CAfile '$work/cert.pem' -in '$p' >'$work/verify.log' 2>&1 && grep -q 'Message digest algorithm  : SHA256' '$work/verify.log'"
done
carries() {  # carries OUTER INNER: INNER's bytes inside OUTER
  /usr/bin/python3 -c 'import sys; sys.exit(0 if open(sys.argv[2],"rb").read() in open(sys.argv[1],"rb").read() else 1)' "$1" "$2"
}
for i in x86 x64; do
  check "the setup program carries the signed installer_$i" carries "$work/a/dist/$setup" "$work/a/signed/installer_$i.exe"
done
check "the signed setup program's SHA256SUMS is its own" bash -c "cd '$work/a/dist' && sha256sum -c SHA256SUMS >/dev/null"

# The signature check itself, on a real PE (the signed installer with its signature replaced).
sign_as() {  # sign_as SUBJECT IN OUT
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj "$1" -keyout "$work/k.pem" -out "$work/c-$4.pem" >/dev/null 2>&1
  openssl pkcs12 -export -inkey "$work/k.pem" -in "$work/c-$4.pem" -out "$work/k.pfx" -passout pass:p
  osslsigncode sign -h sha256 -pkcs12 "$work/k.pfx" -pass p -in "$2" -out "$3" >/dev/null
}
pe=$work/a/x64/bin/installer_x64.exe
sign_as "/O=Microsoft Corporation/CN=Looks like Microsoft" "$pe" "$work/ms.dll" ms
sign_as "/O=Someone Else/CN=Not Microsoft" "$pe" "$work/other.dll" other
cp "$work/ms.dll" "$work/changed.dll"
printf 'X' | dd of="$work/changed.dll" bs=1 seek=4096 conv=notrunc 2>/dev/null
verdict() {  # verdict FILE [CA]: the check's first line, or "accepted"
  local out
  out=$("$root/scripts/check-redist-signature.sh" "$@" 2>&1) && echo accepted || echo "$out" | head -n1
}
check "a Microsoft-named signer is accepted" [ "$(verdict "$work/ms.dll")" = accepted ]
check "... and with its chain checked against its root" [ "$(verdict "$work/ms.dll" "$work/c-ms.pem")" = accepted ]
check "a chain that does not lead to the given root is refused" \
  [ "$(verdict "$work/ms.dll" "$work/c-other.pem")" = "release: $work/ms.dll has a signer whose certificate chain does not verify against $work/c-other.pem" ]
check "another signer is refused" \
  [ "$(verdict "$work/other.dll")" = "release: $work/other.dll is signed by \"/O=Someone Else/CN=Not Microsoft\", not by Microsoft" ]
check "a file changed after signing is refused" \
  [ "$(verdict "$work/changed.dll")" = "release: $work/changed.dll does not match its Authenticode signature (changed after signing)" ]
check "an unsigned file is refused" \
  [ "$(verdict "$pe")" = "release: $pe carries no Authenticode signature" ]

exit $fail
