#!/usr/bin/env python3
"""The tests' own certificate authority and the server certificates it issues, made with the
openssl command when a test server starts (nothing of it is kept in the repository).

  test_authority.py DIR      makes DIR/ca.pem and the server certificates below, or keeps
                             them when they are all there and good for another day

Server certificates (DIR/<name>.pem with its key DIR/<name>.key):
  loopback    for 127.0.0.1 and localhost: a host the launcher must take
  other-name  for other-name.invalid only: a host whose certificate names someone else
Test builds of the launcher trust DIR/ca.pem alone; no system store knows it.
"""

import os
import subprocess
import sys
import tempfile

CA = "ca"
SERVERS = {
    "loopback": "IP:127.0.0.1,DNS:localhost",
    "other-name": "DNS:other-name.invalid",
}
AUTHORITY_DAYS = 3650
SERVER_DAYS = 825
STILL_GOOD_SECONDS = 86400


def openssl(*arguments, cwd):
    result = subprocess.run(["openssl", *arguments], cwd=cwd, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        raise RuntimeError("openssl %s failed:\n%s" % (arguments[0], result.stdout))


def still_good(directory):
    for name in [CA] + list(SERVERS):
        for suffix in (".pem", ".key"):
            if not os.path.isfile(os.path.join(directory, name + suffix)):
                return False
        check = subprocess.run(["openssl", "x509", "-noout", "-checkend", str(STILL_GOOD_SECONDS),
                                "-in", os.path.join(directory, name + ".pem")],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if check.returncode != 0:
            return False
    return True


def issue(work):
    """A new authority and its server certificates, in `work`."""
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", str(AUTHORITY_DAYS),
            "-subj", "/CN=qz4launcher test authority", "-keyout", CA + ".key", "-out", CA + ".pem",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=work)
    for name, names in SERVERS.items():
        extensions = os.path.join(work, name + ".ext")
        with open(extensions, "w") as file:
            file.write("basicConstraints=critical,CA:FALSE\n"
                       "keyUsage=critical,digitalSignature,keyEncipherment\n"
                       "extendedKeyUsage=serverAuth\n"
                       "subjectKeyIdentifier=hash\n"
                       "authorityKeyIdentifier=keyid\n"
                       "subjectAltName=%s\n" % names)
        openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=qz4launcher test " + name,
                "-keyout", name + ".key", "-out", name + ".csr", cwd=work)
        openssl("x509", "-req", "-sha256", "-days", str(SERVER_DAYS), "-in", name + ".csr",
                "-CA", CA + ".pem", "-CAkey", CA + ".key", "-set_serial", str(int.from_bytes(os.urandom(8), "big")),
                "-extfile", extensions, "-out", name + ".pem", cwd=work)


def make(directory):
    """Makes sure `directory` holds a usable authority and its server certificates; the
    servers call it before they listen, so no client sees a set half replaced."""
    os.makedirs(directory, exist_ok=True)
    if still_good(directory):
        return
    with tempfile.TemporaryDirectory(dir=directory) as work:
        issue(work)
        for name in list(SERVERS) + [CA]:
            for suffix in (".key", ".pem"):
                os.replace(os.path.join(work, name + suffix), os.path.join(directory, name + suffix))


def main():
    if len(sys.argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    make(os.path.abspath(sys.argv[1]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
