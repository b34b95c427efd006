#!/usr/bin/python3
"""Benchmark (not a test): the seconds per fish that signing takes, through a key in a
PKCS#11 token (SoftHSM2, one signer at a time, as a token allows) with and without an RFC 3161
timestamp from a local authority, and through a PKCS#12 file for comparison.

usage: tools/bench/bench_signing.py [COUNT (default 20)]"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(ROOT / "tests"))
import pki  # noqa: E402

KIT = str(ROOT / "publisher" / "fish-kit")


def catalogue(folder, count):
    """count copies of the second fish, each with a number and data of its own."""
    for i in range(1, count + 1):
        fish = folder / f"fish-{30000 + i}"
        shutil.copytree(ROOT / "tests" / "fish-12345", fish)
        text = (fish / "fish.txt").read_text(encoding="utf-8")
        (fish / "fish.txt").write_text(text.replace("number: 12345", f"number: {30000 + i}"),
                                       encoding="utf-8")
        with open(fish / "data.vmf", "ab") as data:
            data.write(f"fish {i}\r\n".encode())


def timed(what, count, command, environment):
    start = time.monotonic()
    result = subprocess.run(command, capture_output=True, text=True, env=environment)
    elapsed = time.monotonic() - start
    if result.returncode != 0:
        sys.exit(f"bench: {what} FAILED:\n{result.stderr[-2000:]}")
    print(f"bench: {what}: {count} fish in {elapsed:.1f} s, {elapsed / count:.3f} s per fish")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("count", type=int, nargs="?", default=20)
    count = parser.parse_args().count
    with tempfile.TemporaryDirectory() as work:
        w = Path(work)
        ca = pki.Authority(w / "ca")
        tsa = pki.TimeStampAuthority(w / "ca", ca)
        token = pki.SoftToken(w / "token")
        chain = ca.chain_file(ca.issue(token.public_key, "Bench Publisher", pki.CODE_SIGNING, 1),
                              "chain.pem")
        p12, password = ca.pkcs12_file("bench", "Bench Publisher", "bench")
        environment = dict(token.environment(), FISH_KIT_WORK=str(w / "kit"))
        catalogue(w / "catalogue", count)
        print(f"bench: building {count} unsigned fish")
        subprocess.run([KIT, "build", str(w / "catalogue"), str(w / "built")], check=True,
                       capture_output=True, env=environment)
        token_key = ["--pkcs11-module", pki.SOFTHSM, "--key", token.uri, "--cert", str(chain),
                     "--pin-file", str(token.pin_file)]
        file_key = ["--pkcs12", str(p12), "--password-file", str(password)]
        for what, options in (("token, no timestamp", token_key),
                              ("token, with timestamp", token_key + ["--timestamp", tsa.url]),
                              ("PKCS#12, no timestamp", file_key),
                              ("PKCS#12, with timestamp", file_key + ["--timestamp", tsa.url])):
            output = w / what.replace(" ", "").replace(",", "-").replace("#", "")
            timed(f"sign with {what}", count,
                  [KIT, "sign", str(w / "built"), str(output), *options], environment)
        print(f"bench: {os.cpu_count()} cores; {tsa.requests} timestamps served")
        tsa.close()


if __name__ == "__main__":
    main()
