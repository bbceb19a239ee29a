"""Checks the program as it ships: stripped, within its size budget, the unstripped copy kept in
symbols/, and the build's Authenticode step (cmake/authenticode.cmake) signing it so that
`osslsigncode verify` accepts the result and refuses a changed byte or a mismatched key.

The certificate is made here, self-signed for code signing, without a time-stamp server."""

import argparse
import shutil
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

SIZE_BUDGET = 7 * 1024 * 1024 // 4  # 1.75 MiB: key lists and self-update took it past 1.5


def coff_symbols(exe):
    """The number of COFF symbols a PE file carries (0 once stripped)."""
    data = exe.read_bytes()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError(f"{exe} is not a PE file")
    return struct.unpack_from("<I", data, pe + 4 + 12)[0]


def run(*command):
    return subprocess.run(command, capture_output=True, text=True)


def make_identity(folder, name):
    key, cert = folder / f"{name}.key", folder / f"{name}.pem"
    made = run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
               "-subj", f"/CN={name}", "-addext", "extendedKeyUsage=codeSigning",
               "-keyout", str(key), "-out", str(cert))
    if made.returncode != 0:
        raise RuntimeError(made.stderr)
    return cert, key


def sign(source, exe, cert, key):
    return run("cmake", f"-DFILE={exe}", f"-DCERT={cert}", f"-DKEY={key}",
               "-P", str(source / "cmake" / "authenticode.cmake"))


def verify(exe, ca):
    return run("osslsigncode", "verify", "-CAfile", str(ca), "-in", str(exe)).returncode == 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", type=Path, required=True)
    parser.add_argument("--source", type=Path, required=True)
    a = parser.parse_args()
    failures = []

    def check(ok, what):
        print(("ok   " if ok else "FAIL ") + what)
        if not ok:
            failures.append(what)

    for name in ("vtlauncher.exe", "vtlauncher_testkey.exe"):
        shipped, kept = a.build / name, a.build / "symbols" / name
        size = shipped.stat().st_size
        check(size <= SIZE_BUDGET, f"{name}: {size} bytes, budget {SIZE_BUDGET}")
        check(coff_symbols(shipped) == 0, f"{name}: stripped")
        check(kept.exists() and coff_symbols(kept) > 0, f"symbols/{name}: keeps its symbols")

    with tempfile.TemporaryDirectory() as scratch:
        scratch = Path(scratch)
        cert, key = make_identity(scratch, "VT Test Signer")
        other_cert, other_key = make_identity(scratch, "Someone Else")
        program = a.build / "vtlauncher.exe"
        unsigned = scratch / "unsigned.exe"
        shutil.copy(program, unsigned)
        check(not verify(unsigned, cert), "an unsigned program does not verify")

        signed = scratch / "signed.exe"
        shutil.copy(program, signed)
        result = sign(a.source, signed, cert, key)
        check(result.returncode == 0, "signing succeeds " + result.stderr.strip())
        check(verify(signed, cert), "the signed program verifies against its certificate")
        check(not verify(signed, other_cert), "and not against another certificate")

        changed = scratch / "changed.exe"
        data = bytearray(signed.read_bytes())
        data[len(data) // 3] ^= 0x01
        changed.write_bytes(bytes(data))
        check(not verify(changed, cert), "one changed byte of a signed program fails to verify")

        mismatched = scratch / "mismatched.exe"
        shutil.copy(program, mismatched)
        result = sign(a.source, mismatched, cert, other_key)
        check(result.returncode != 0, "a key that is not the certificate's is refused")
        check(mismatched.read_bytes() == program.read_bytes(),
              "and the program is left as it was")
        check(not (scratch / "mismatched.exe.signing").exists(), "with nothing left beside it")

    print(f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
