#!/usr/bin/env python3
"""Writes the binary seed inputs of the certificate fuzz targets (the text
seeds are plain files, edited by hand). Run once; the output is committed.

  make_seeds.py OUTDIR_OF_CORPORA     (normally tests/fuzz/corpus)

Each input starts with the target's selector byte (see the target), then the
DER. Small EC keys and an iteration count of 1 keep every execution fast, so
that the fuzzer's time goes into the parsers; the RSA fixtures of
tests/data/keys stand for the real NPKI files."""

import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
KEYS = os.path.join(HERE, "..", "data", "keys")
sys.path.insert(0, KEYS)
import npki_keys  # noqa: E402

PFX = npki_keys.PFX_PASSWORD
KEY = npki_keys.PASSWORD


def run(args, data=None):
    return subprocess.run(args, input=data, stdout=subprocess.PIPE, check=True).stdout


def put(folder, name, selector, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(bytes([selector]) + data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def main(out):
    p12 = os.path.join(out, "fuzz_pkcs12")
    p8 = os.path.join(out, "fuzz_pkcs8")
    with tempfile.TemporaryDirectory() as work:
        w = lambda name: os.path.join(work, name)
        run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", w("ec.pem")])
        run(["openssl", "req", "-new", "-x509", "-key", w("ec.pem"), "-days", "3650",
             "-subj", "/C=KR/O=yessign/OU=personal4IB/CN=fuzz()0011", "-out", w("ec.crt")])
        pfx = ["openssl", "pkcs12", "-export", "-inkey", w("ec.pem"), "-in", w("ec.crt")]
        # Selector byte: bit 0 the password (0 the real one, 1 none), the
        # rest the property asked.
        put(p12, "ec_legacy_iter1", 0 | 2 * 1, run(pfx + ["-passout", "pass:" + PFX, "-noiter", "-nomaciter",
                                                      "-certpbe", "PBE-SHA1-3DES", "-keypbe", "PBE-SHA1-3DES",
                                                      "-macalg", "sha1"]))
        put(p12, "ec_plain_nomac", 1 | 2 * 3, run(pfx + ["-passout", "pass:", "-nomac",
                                                     "-keypbe", "NONE", "-certpbe", "NONE"]))
        put(p12, "ec_plain_nomac_sel0", 1, run(pfx + ["-passout", "pass:", "-nomac",
                                                      "-keypbe", "NONE", "-certpbe", "NONE"]))
        put(p12, "ec_aes_iter1", 0 | 2 * 2, run(pfx + ["-passout", "pass:" + PFX, "-iter", "1", "-maciter"]))
        for name in ("legacy", "aes", "nocert", "nokey"):
            put(p12, "rsa_" + name, 0, read(os.path.join(KEYS, name + ".p12")))

        # Selector byte: 0 the real password, 1 none, 2 a wrong one.
        pkcs8 = run(["openssl", "pkcs8", "-topk8", "-nocrypt", "-in", w("ec.pem"), "-outform", "DER"])
        npki_keys.ITERATIONS = 1
        for scheme in ("seed", "seedcbc", "pbes2"):
            npki_keys.encrypt_key(scheme, pkcs8, KEY, w("k"))
            put(p8, "ec_" + scheme + "_iter1", 0, read(w("k")))
            put(p8, "rsa_" + scheme, 0, read(os.path.join(KEYS, "signPri." + scheme + ".key")))
        put(p8, "rsa_seed_wrong_password", 2, read(os.path.join(KEYS, "signPri.seed.key")))
        put(p8, "ec_3des", 0, run(["openssl", "pkcs8", "-topk8", "-in", w("ec.pem"), "-outform", "DER",
                                   "-v1", "PBE-SHA1-3DES", "-iter", "1", "-passout", "pass:" + KEY]))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
