#!/usr/bin/env python3
"""NPKI key files made and read without the agent's code: key derivations by
hashlib, SEED-CBC by the openssl command, the DER wrapping by
`openssl asn1parse -genconf`. The tests' independent route.

  npki_keys.py make OUTDIR             the committed fixtures
  npki_keys.py certs KEYDIR OUTDIR     the NPKI tree certificates, signed with KEYDIR/key.pem
  npki_keys.py decrypt KEY PASSWORD OUT
      any of the three schemes; writes the PrivateKeyInfo DER to OUT and
      prints "scheme salt-hex iterations"
"""

import hashlib
import os
import subprocess
import sys
import tempfile

OID_PBE_SHA_SEED = "1.2.410.200004.1.15"
OID_SEED_CBC = "1.2.410.200004.1.4"
OID_PBES2 = "1.2.840.113549.1.5.13"
OID_PBKDF2 = "1.2.840.113549.1.5.12"
FIXED_IV = b"0123456789012345"
PASSWORD = "npki-Pass1!"
PFX_PASSWORD = "pfx-Pass2?"
ITERATIONS = 2048


def run(args, data=None):
    return subprocess.run(args, input=data, stdout=subprocess.PIPE, check=True).stdout


def pbkdf1_sha1(password, salt, iterations):
    block = hashlib.sha1(password + salt).digest()
    for _ in range(iterations - 1):
        block = hashlib.sha1(block).digest()
    return block


def seed_cbc(data, key, iv, decrypt):
    return run(["openssl", "enc", "-seed-cbc", "-provider", "legacy", "-provider", "default",
                "-K", key.hex(), "-iv", iv.hex()] + (["-d"] if decrypt else []), data)


def key_iv(scheme, password, salt, iterations, iv=None):
    """The SEED key and IV of each scheme."""
    if scheme == "pbes2":
        return hashlib.pbkdf2_hmac("sha1", password, salt, iterations, 20)[:16], iv
    dk = pbkdf1_sha1(password, salt, iterations)
    if scheme == "seed":
        return dk[:16], hashlib.sha1(dk[16:20]).digest()[:16]
    return dk[:16], FIXED_IV


def wrap(scheme, salt, iterations, iv, ciphertext, path):
    if scheme == "pbes2":
        alg = (f"[alg]\noid=OID:{OID_PBES2}\nparams=SEQUENCE:pbes2\n"
               f"[pbes2]\nkdf=SEQUENCE:kdf\nenc=SEQUENCE:enc\n"
               f"[kdf]\noid=OID:{OID_PBKDF2}\nparams=SEQUENCE:kdfparams\n"
               f"[kdfparams]\nsalt=FORMAT:HEX,OCTETSTRING:{salt.hex()}\niter=INTEGER:{iterations}\n"
               f"[enc]\noid=OID:{OID_SEED_CBC}\niv=FORMAT:HEX,OCTETSTRING:{iv.hex()}\n")
    else:
        oid = OID_PBE_SHA_SEED if scheme == "seed" else OID_SEED_CBC
        alg = (f"[alg]\noid=OID:{oid}\nparams=SEQUENCE:pbe\n"
               f"[pbe]\nsalt=FORMAT:HEX,OCTETSTRING:{salt.hex()}\niter=INTEGER:{iterations}\n")
    conf = ("asn1=SEQUENCE:epki\n[epki]\nalg=SEQUENCE:alg\n"
            f"data=FORMAT:HEX,OCTETSTRING:{ciphertext.hex()}\n" + alg)
    run(["openssl", "asn1parse", "-genconf", "/dev/stdin", "-out", path, "-noout"], conf.encode())


def encrypt_key(scheme, pkcs8, password, path):
    salt = os.urandom(8)
    iv = os.urandom(16) if scheme == "pbes2" else None
    key, iv = key_iv(scheme, password.encode(), salt, ITERATIONS, iv)
    wrap(scheme, salt, ITERATIONS, iv, seed_cbc(pkcs8, key, iv, False), path)


# --- a minimal DER reader, enough for EncryptedPrivateKeyInfo ---

def children(data):
    """The (tag, value) items of a constructed value."""
    pos, out = 0, []
    while pos < len(data):
        tag, length, pos = data[pos], data[pos + 1], pos + 2
        if length & 0x80:
            count = length & 0x7F
            length, pos = int.from_bytes(data[pos:pos + count], "big"), pos + count
        out.append((tag, data[pos:pos + length]))
        pos += length
    return out


def oid_text(value):
    parts, n = [value[0] // 40, value[0] % 40], 0
    for b in value[1:]:
        n = (n << 7) | (b & 0x7F)
        if not b & 0x80:
            parts.append(n)
            n = 0
    return ".".join(map(str, parts))


def decrypt(path, password, out):
    with open(path, "rb") as f:
        (_, alg), (_, ciphertext) = children(children(f.read())[0][1])
    (_, oid), (_, params) = children(alg)
    oid = oid_text(oid)
    iv = None
    if oid == OID_PBES2:
        (_, kdf), (_, enc) = children(params)
        _, kdfparams = children(kdf)[1]
        (_, salt), (_, iters) = children(kdfparams)[:2]
        iv = children(enc)[1][1]
        scheme = "pbes2"
    else:
        (_, salt), (_, iters) = children(params)
        scheme = {OID_PBE_SHA_SEED: "seed", OID_SEED_CBC: "seedcbc"}[oid]
    iterations = int.from_bytes(iters, "big")
    key, iv = key_iv(scheme, password.encode(), salt, iterations, iv)
    with open(out, "wb") as f:
        f.write(seed_cbc(ciphertext, key, iv, True))
    print(scheme, salt.hex(), iterations)


def make(outdir):
    os.makedirs(outdir, exist_ok=True)
    p = lambda name: os.path.join(outdir, name)
    run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
         "-out", p("key.pem")])
    run(["openssl", "pkcs8", "-topk8", "-nocrypt", "-in", p("key.pem"), "-outform", "DER",
         "-out", p("key.p8.der")])
    run(["openssl", "req", "-new", "-x509", "-key", p("key.pem"), "-days", "7300",
         "-subj", "/C=KR/O=org1/OU=unit1/CN=name1", "-out", p("cert.pem")])
    run(["openssl", "x509", "-in", p("cert.pem"), "-outform", "DER", "-out", p("signCert.der")])
    with open(p("key.p8.der"), "rb") as f:
        pkcs8 = f.read()
    for scheme in ("seed", "seedcbc", "pbes2"):
        encrypt_key(scheme, pkcs8, PASSWORD, p(f"signPri.{scheme}.key"))

    pfx = ["openssl", "pkcs12", "-export", "-passout", "pass:" + PFX_PASSWORD]
    run(pfx + ["-legacy", "-in", p("cert.pem"), "-inkey", p("key.pem"), "-out", p("legacy.p12")])
    run(pfx + ["-in", p("cert.pem"), "-inkey", p("key.pem"), "-out", p("aes.p12")])
    run(pfx + ["-nokeys", "-in", p("cert.pem"), "-out", p("nokey.p12")])
    run(pfx + ["-nocerts", "-inkey", p("key.pem"), "-out", p("nocert.p12")])

    # A subject whose text form runs past 1024 bytes.
    long_subject = "/C=KR" + "".join(f"/OU={chr(65 + i) * 60}" for i in range(18)) + "/CN=long"
    run(["openssl", "req", "-new", "-x509", "-key", p("key.pem"), "-days", "7300",
         "-subj", long_subject, "-out", p("longsubject.pem")])
    run(pfx + ["-in", p("longsubject.pem"), "-inkey", p("key.pem"), "-out", p("longsubject.p12")])
    for name in ("cert.pem", "longsubject.pem"):
        os.unlink(p(name))


def certs(keydir, outdir):
    """Certificates as NPKI folders hold them: a CA-issued one with a UTF-8
    Korean name, two OU attributes, a 16-byte serial and certificatePolicies;
    a version 1 one signed with SHA-1 valid past 2050 (GeneralizedTime); a
    zero serial; a 4-byte serial with its top bit set; a 5-byte serial."""
    os.makedirs(outdir, exist_ok=True)
    key = os.path.join(keydir, "key.pem")
    with tempfile.TemporaryDirectory() as work:
        w = lambda name: os.path.join(work, name)
        o = lambda name: os.path.join(outdir, name)
        with open(w("policy.cnf"), "w") as f:
            f.write("certificatePolicies=1.2.410.200005.1.1.4\n")
        run(["openssl", "req", "-new", "-x509", "-key", key, "-days", "7300", "-set_serial", "1",
             "-subj", "/C=KR/O=yessign/OU=AccreditedCA/CN=yessignCA Class 2", "-out", w("ca.pem")])
        issued = [
            ("korean", "/C=KR/O=yessign/OU=personal4IB/OU=BANK/CN=\ud64d\uae38\ub3d9()0012345",
             "0x0102030405060708090A0B0C0D0E0F10", ["-CA", w("ca.pem"), "-CAkey", key,
                                                    "-days", "7300", "-extfile", w("policy.cnf")]),
            ("plain", "/C=KR/O=plain/CN=plain1", "0x00FF", ["-key", key, "-sha1", "-days", "10000"]),
            ("zero", "/C=KR/O=zero/CN=zero", "0", ["-key", key, "-days", "3650"]),
            ("negserial", "/C=KR/O=neg/OU=one/CN=neg", "0x80000001", ["-key", key, "-days", "3650"]),
            ("fivebyte", "/C=KR/O=five/CN=five", "0x0102030405", ["-key", key, "-days", "3650"]),
        ]
        for name, subject, serial, signing in issued:
            run(["openssl", "req", "-new", "-key", key, "-utf8", "-subj", subject, "-out", w("req.csr")])
            run(["openssl", "x509", "-req", "-in", w("req.csr"), "-set_serial", serial, "-outform", "DER",
                 "-out", o(name + ".der")] + signing)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "make":
        make(sys.argv[2])
    elif len(sys.argv) == 4 and sys.argv[1] == "certs":
        certs(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 5 and sys.argv[1] == "decrypt":
        decrypt(sys.argv[2], sys.argv[3], sys.argv[4])
    else:
        sys.exit(__doc__)
