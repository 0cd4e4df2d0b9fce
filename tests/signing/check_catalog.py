#!/usr/bin/python3
"""Judges the files that one catalog test program left behind with the independent checkers
(catdump.py, and osslsigncode for signatures), including negative controls: a tampered catalog
and a changed member file must be rejected.

usage: check_catalog.py TEST_NAME OUT_DIR CHECKERS_DIR
Catalog members name their file by its bare, lower-cased name, so each subdirectory of a
package (x86, amd64) is checked as its own flat view together with the package's top level."""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

GUID_PE = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
GUID_INF = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"
OS_LIST = "7_X86,7_X64,8_X86,8_X64,8_ARM,10_X86,10_X64,10_ARM"
OSATTR = "2:5.1,2:5.2,2:6.0,2:6.1"
FLAGS = "0x10010001"
OPUS = "3000"
STATEMENT = "300c060a2b060104018237020115"

failures = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what)
    if not cond:
        failures.append(what)


def catdump(tools, cat, *args):
    p = subprocess.run(["/usr/bin/python3", os.path.join(tools, "catdump.py"), cat, "--json", *args],
                       capture_output=True, text=True)
    try:
        return p.returncode, json.loads(p.stdout)
    except ValueError:
        return p.returncode, {"unreadable": p.stdout + p.stderr}


def views(tree, work):
    """One flat directory per subdirectory of tree (recursively flattened), each with the
    top-level files; names lower-cased as the catalog's File attributes are."""
    top = [f for f in os.listdir(tree) if os.path.isfile(os.path.join(tree, f))]
    subs = [s for s in os.listdir(tree) if os.path.isdir(os.path.join(tree, s))] or [None]
    out = []
    for s in subs:
        v = os.path.join(work, "view-%s" % (s or "top"))
        os.makedirs(v)
        for f in top:
            shutil.copy(os.path.join(tree, f), os.path.join(v, f.lower()))
        if s:
            for root, _, files in os.walk(os.path.join(tree, s)):
                for f in files:
                    shutil.copy(os.path.join(root, f), os.path.join(v, f.lower()))
        out.append(v)
    return out


def check_catalog(tools, cat, tree, hwid, files, signed_by=None, label=""):
    """Members, attributes and digests against the tree; signature against the certificate."""
    rc, dump = catdump(tools, cat)
    check(rc == 0, "%s: catdump accepts the catalog" % label)
    attrs = dump.get("catalog_attributes", {})
    check(attrs.get("HWID1", {}).get("value") == hwid, "%s: HWID1 is %s" % (label, hwid))
    check(attrs.get("OS", {}).get("value") == OS_LIST, "%s: OS list" % label)
    check(all(a.get("flags") == FLAGS for a in attrs.values()), "%s: catalog attribute flags %s" % (label, FLAGS))
    members = dump.get("members", [])
    check(sorted(m["attrs"].get("File") for m in members) == sorted(files),
          "%s: members %s" % (label, sorted(files)))
    for m in members:
        f = m["attrs"].get("File", "")
        pe = not f.endswith(".inf")
        check(m.get("subject_guid") == (GUID_PE if pe else GUID_INF), "%s: %s subject GUID" % (label, f))
        check(m.get("cert_version") == "0x200", "%s: %s version 0x200" % (label, f))
        check(m.get("data_oid") == ("1.3.6.1.4.1.311.2.1.15" if pe else "1.3.6.1.4.1.311.2.1.25"),
              "%s: %s indirect data type" % (label, f))
        check(m.get("digest_alg") == "sha1", "%s: %s SHA-1 digest" % (label, f))
        check(m["attrs"].get("OSAttr") == OSATTR, "%s: %s OSAttr" % (label, f))
        check(set(m["attr_flags"].values()) == {FLAGS}, "%s: %s attribute flags" % (label, f))
    if tree:
        with tempfile.TemporaryDirectory() as work:
            verified = {}
            for v in views(tree, work):
                _, d = catdump(tools, cat, "--files", v)
                for m in d.get("members", []):
                    if str(m.get("file_check", "")).startswith("ok"):
                        verified[m["tag"]] = m["attrs"].get("File")
            check(len(verified) == len(members) and len(members) > 0 or not members,
                  "%s: every member's digest matches its file (%d of %d)" % (label, len(verified), len(members)))
            # Negative control: one changed member file is caught.
            v = views(tree, os.path.join(work, "changed"))[0]
            victim = next((f for f in sorted(os.listdir(v)) if f in files), None)
            if victim:
                with open(os.path.join(v, victim), "r+b") as fh:
                    fh.seek(-1, 2)
                    last = fh.read(1)
                    fh.seek(-1, 2)
                    fh.write(bytes([last[0] ^ 0xFF]))
                rc, d = catdump(tools, cat, "--files", v)
                check(rc == 1 and any(str(m.get("file_check", "")).startswith("MISMATCH") for m in d.get("members", [])),
                      "%s: a changed %s is rejected" % (label, victim))
    if signed_by is None:
        check(not dump.get("signers"), "%s: unsigned" % label)
        rc, _ = catdump(tools, cat, "--require-signed")
        check(rc == 1, "%s: --require-signed rejects it" % label)
        return
    rc, d = catdump(tools, cat, "--cafile", signed_by, "--require-signed")
    check(rc == 0, "%s: catdump verifies the signature against the certificate from the stores" % label)
    signers = d.get("signers", [])
    check(len(signers) == 1, "%s: one signer" % label)
    if signers:
        s = signers[0]
        check(s.get("digest_alg") == "sha256", "%s: SHA-256 signature" % label)
        check(s.get("signature") == "valid", "%s: RSA signature valid" % label)
        check(s.get("trust") == "signer certificate is the given CA file certificate", "%s: signer is the certificate" % label)
        check(s.get("signer_key_bits") == 4096, "%s: 4096-bit key" % label)
        sa = s.get("signed_attrs", {})
        check(sa.get("1.3.6.1.4.1.311.2.1.12") == [OPUS], "%s: SP opus info attribute" % label)
        check(sa.get("1.3.6.1.4.1.311.2.1.11") == [STATEMENT], "%s: statement type individual" % label)
        check(set(sa) == {"1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4", "1.3.6.1.4.1.311.2.1.12",
                          "1.3.6.1.4.1.311.2.1.11"}, "%s: exactly the four authenticated attributes" % label)
    osslsigncode(cat, signed_by, label)
    # Negative control: a catalog changed after signing is rejected by both.
    with tempfile.TemporaryDirectory() as work:
        bad = os.path.join(work, "tampered.cat")
        data = bytearray(open(cat, "rb").read())
        at = data.find("OSAttr".encode("utf-16-be"))
        check(at > 0, "%s: found a byte to tamper with" % label)
        data[at + 1] ^= 0x01
        open(bad, "wb").write(data)
        rc, _ = catdump(tools, bad, "--cafile", signed_by, "--require-signed")
        check(rc == 1, "%s: catdump rejects the tampered catalog" % label)
        osslsigncode(bad, signed_by, label + " (tampered)", expect_ok=False)


def check_certificate(cert_der, subject, sig_alg, label):
    """The signing certificate as openssl reads it."""
    p = subprocess.run(["openssl", "x509", "-inform", "DER", "-in", cert_der, "-noout", "-text"],
                       capture_output=True, text=True)
    check(p.returncode == 0, "%s: openssl reads the certificate" % label)
    text = p.stdout
    escaped = subject.replace("\\", "\\\\")
    check("Subject: CN = %s\n" % escaped in text and "Issuer: CN = %s\n" % escaped in text,
          "%s: subject and issuer %s" % (label, subject))
    check(text.count("Signature Algorithm: %s" % sig_alg) == 2, "%s: signed with %s" % (label, sig_alg))
    check("Not After : Jan  1 00:00:00 2029 GMT" in text, "%s: valid until 2029-01-01 00:00:00 UTC" % label)
    check("Public-Key: (4096 bit)" in text, "%s: 4096-bit key" % label)
    check(re.search(r"X509v3 Extended Key Usage: critical\n\s+Code Signing\n", text) is not None,
          "%s: critical EKU code signing only" % label)
    with tempfile.TemporaryDirectory() as work:
        pem = os.path.join(work, "cert.pem")
        subprocess.run(["openssl", "x509", "-inform", "DER", "-in", cert_der, "-out", pem], check=True)
        v = subprocess.run(["openssl", "verify", "-CAfile", pem, pem], capture_output=True, text=True)
        check(v.returncode == 0, "%s: openssl verifies the self-signature" % label)


def osslsigncode(cat, cert_der, label, expect_ok=True):
    exe = shutil.which("osslsigncode")
    version = subprocess.run([exe, "--version"], capture_output=True, text=True).stdout if exe else ""
    # "osslsigncode 2.9, using: ..."; Debian's 2.5 cannot verify catalogs.
    m = re.match(r"osslsigncode (\d+)\.(\d+)", version)
    if not exe or not m or (int(m.group(1)), int(m.group(2))) < (2, 6):
        print("NOTICE: osslsigncode 2.6 or later not found (%s): second opinion on %s skipped" %
              (version.splitlines()[0] if version else "none", label))
        return
    with tempfile.TemporaryDirectory() as work:
        pem = os.path.join(work, "cert.pem")
        subprocess.run(["openssl", "x509", "-inform", "DER", "-in", cert_der, "-out", pem], check=True)
        p = subprocess.run([exe, "verify", "-in", cat, "-CAfile", pem], capture_output=True, text=True)
        ok = p.returncode == 0 and "Signature verification: ok" in p.stdout
        if ok != expect_ok:
            print(p.stdout + p.stderr)
        check(ok == expect_ok, "%s: osslsigncode verify %s" % (label, "accepts" if expect_ok else "rejects"))


def main():
    name, out, tools = sys.argv[1:4]
    o = lambda *p: os.path.join(out, *p)  # noqa: E731
    if name == "test_catalog":
        check_catalog(tools, o("mixed.cat"), o("mixed-tree"), "usb\\vid_2e3c&pid_df11",
                      ["wdfcoinstaller01011.dll", "wdfcoinstaller01011.dll", "helper.sys", "dev.inf"], label="mixed")
        check_catalog(tools, o("empty.cat"), None, "usb\\vid_1234&pid_5678&mi_02", [], label="empty")
    elif name == "test_signing":
        check_catalog(tools, o("signed.cat"), o("signed-tree"), "usb\\vid_2e3c&pid_df11", ["dev.inf"],
                      signed_by=o("signed-cert.der"), label="signed")
        package = ["wdfcoinstaller01011.dll", "wdfcoinstaller01011.dll", "winusbcoinstaller2.dll",
                   "winusbcoinstaller2.dll", "morvane-dfu.inf"]
        check_catalog(tools, o("package", "morvane-dfu.cat"), o("package"), "usb\\vid_2e3c&pid_df11", package,
                      signed_by=o("package-cert.der"), label="package")
        check_certificate(o("signed-cert.der"), "Catalog Test (libvesk autogenerated)", "sha256WithRSAEncryption",
                          "signing certificate")
        check_certificate(o("package-cert.der"), "USB\\VID_2E3C&PID_DF11 (libvesk autogenerated)",
                          "sha256WithRSAEncryption", "package certificate")
    elif name == "test_unsigned":
        check_catalog(tools, o("unsigned.cat"), o("unsigned-package"), "usb\\vid_2e3c&pid_df11",
                      ["wdfcoinstaller01011.dll", "wdfcoinstaller01011.dll", "winusbcoinstaller2.dll",
                       "winusbcoinstaller2.dll", "morvane-dfu.inf"], label="unsigned package")
    elif name == "test_win7":
        check_catalog(tools, o("win7-unsigned.cat"), None, "usb\\vid_2e3c&pid_df11",
                      ["wdfcoinstaller01011.dll", "wdfcoinstaller01011.dll", "winusbcoinstaller2.dll",
                       "winusbcoinstaller2.dll", "morvane-dfu.inf"], label="windows 7 package")
        check_certificate(o("win7-cert.der"), "USB\\VID_2E3C&PID_DF11 (libvesk autogenerated)",
                          "sha1WithRSAEncryption", "windows 7 certificate")
    else:
        check(False, "no checks known for %s" % name)
    print("%d checks failed" % len(failures) if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
