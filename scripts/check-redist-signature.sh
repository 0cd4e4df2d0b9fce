#!/usr/bin/env bash
# Refuses a co-installer that lacks an intact Authenticode signature by Microsoft:
#   check-redist-signature.sh FILE [CA_FILE]
# The digest in the signature must match the file, and the signer's subject must name
# O=Microsoft Corporation. With CA_FILE (Microsoft's root certificates as PEM, e.g. exported on
# a Windows PC) the signer's chain must verify against it too; Debian's CA bundle holds no
# Microsoft code-signing root, so without CA_FILE the chain is not checked.
set -u
file=$1
ca=${2:-}
fail() { echo "release: $file $*" >&2; exit 1; }
[ -f "$file" ] || fail "is missing"
command -v osslsigncode >/dev/null || { echo "release: osslsigncode is missing (scripts/ensure-deps.sh release)" >&2; exit 1; }
if [ -n "$ca" ]; then
  out=$(osslsigncode verify -CAfile "$ca" -in "$file" 2>&1)
else
  out=$(osslsigncode verify -in "$file" 2>&1)
fi
rc=$?
digest() { sed -n "s/^$1 message digest *: *\([0-9A-Fa-f]*\).*/\1/p" <<<"$out" | head -n1; }
current=$(digest Current)
calculated=$(digest Calculated)
[ -n "$current" ] || fail "carries no Authenticode signature"
[ "$current" = "$calculated" ] || fail "does not match its Authenticode signature (changed after signing)"
subject=$(awk '/Signer.s certificate:/ { found = 1 }
               found && /Subject:/ { sub(/^[ \t]*Subject: */, ""); print; exit }' <<<"$out")
case "/$subject/" in
  */O=Microsoft\ Corporation/*) ;;
  *) fail "is signed by \"$subject\", not by Microsoft" ;;
esac
if [ -n "$ca" ] && [ $rc -ne 0 ]; then
  fail "has a signer whose certificate chain does not verify against $ca"
fi
exit 0
