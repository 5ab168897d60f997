#!/usr/bin/env python3
"""Checks the signing of the deliverables and the package, outside Wine:
- each of the six signed files verifies with osslsigncode against the test CA, SHA-256,
  signed by the test publisher, with the product name and the publisher's URL;
- a signed deliverable is its unsigned build byte for byte, but for the PE checksum and the
  certificate table the signature adds (so its VERSIONINFO and code are untouched);
- a certificate that cannot sign (wrong password, expired, not for code signing) fails with
  its reason and leaves the file as it was, with nothing beside it;
- the unsigned build carries no signature.

  check-signatures.py BIN_DIR SIGN_SCRIPT
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

DELIVERABLES = ["Keyvora.dll", "Ambrel.exe", "vantor.exe", "Tumblet.exe", "orvcheck.exe"]
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def verify(path, ca):
    result = subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-in", path],
                            capture_output=True, text=True)
    return result.returncode, result.stdout + result.stderr


def masked(data):
    """The PE file without the two fields signing changes: the checksum, the security directory."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    data = bytearray(data)
    data[optional + 64:optional + 68] = b"\0" * 4
    data[directories + 4 * 8:directories + 5 * 8] = b"\0" * 8
    return bytes(data)


def main():
    bin_dir, sign = sys.argv[1:3]
    certs = os.path.join(bin_dir, "testcerts")
    ca = os.path.join(certs, "test-ca.pem")
    password = os.path.join(certs, "code-signing.password")

    for name in DELIVERABLES + ["Orvane.msi"]:
        code, output = verify(os.path.join(bin_dir, "signed", name), ca)
        check(code == 0 and "Succeeded" in output,
              "%s does not verify:\n%s" % (name, output))
        for text in ("Message digest algorithm: SHA256", "Subject: /CN=Tessam Test Publisher",
                     "Text description: Orvane smart-card access point", "URL description: https://"):
            check(text in output, "%s: no '%s' in its signature" % (name, text))

    for name in DELIVERABLES:
        unsigned = open(os.path.join(bin_dir, name), "rb").read()
        signed = open(os.path.join(bin_dir, "signed", name), "rb").read()
        check(len(signed) > len(unsigned) and masked(signed[:len(unsigned)]) == masked(unsigned),
              "%s: the signed file differs from the build beyond the signature" % name)
        code, output = verify(os.path.join(bin_dir, name), ca)
        check(code != 0 and "No signature found" in output, "%s: the unsigned build carries a signature" % name)

    with tempfile.TemporaryDirectory() as work:
        wrong = os.path.join(work, "wrong.password")
        open(wrong, "w").write("not the password\n")
        for pfx, secret, reason in (
                ("code-signing.pfx", wrong, "does not open with the password"),
                ("code-signing-expired.pfx", password, "the certificate has expired"),
                ("tls-server-only.pfx", password, "the certificate is not made for code signing")):
            target = os.path.join(work, "Keyvora.dll")
            shutil.copy(os.path.join(bin_dir, "Keyvora.dll"), target)
            result = subprocess.run([sign, "files", os.path.join(certs, pfx), secret, target],
                                    capture_output=True, text=True)
            check(result.returncode != 0 and reason in result.stderr,
                  "%s: signing did not fail with '%s': %s" % (pfx, reason, result.stderr))
            check(open(target, "rb").read() == open(os.path.join(bin_dir, "Keyvora.dll"), "rb").read(),
                  "%s: the file was changed by a signing that failed" % pfx)
            check(sorted(os.listdir(work)) == ["Keyvora.dll", "wrong.password"],
                  "%s: a signing that failed left %s" % (pfx, sorted(os.listdir(work))))

    for failure in failures:
        print("check-signatures: " + failure)
    if not failures:
        print("check-signatures: 5 signed files verify, 4 equal their build but for the signature, "
              "3 unusable certificates refused")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
