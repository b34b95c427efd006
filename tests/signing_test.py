#!/usr/bin/python3
"""Signing as publishers do it: with a PKCS#12 file, and with a key that never leaves a
PKCS#11 token (SoftHSM2, made afresh for the run), its certificate from a throwaway CA and
timestamps from an authority on 127.0.0.1; the PIN tried once and never on a command line;
re-signing a release; and the release gate that names each bad exe. Each case runs with the
machine's osslsigncode and with Debian 12's own 2.5."""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "publisher"))
sys.path.insert(0, str(ROOT / "tests"))
import damage  # noqa: E402
import pki  # noqa: E402
from fish_kit import fish_folder, resources, signing  # noqa: E402

KIT = str(ROOT / "publisher" / "fish-kit")
# A Windows program with resources, but no updater.
NOT_AN_UPDATER = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/notepad.exe"
FISH = {"12345": ROOT / "tests" / "fish-12345", "20030": ROOT / "resources" / "fish-20030"}
# Debian 12's own osslsigncode, unpacked by tools/setup.sh beside the machine's newer one.
OLD_SIGNER = Path(os.environ.get("PELAGIO_OSSLSIGNCODE_2_5_ROOT",
                                 "/var/cache/pelagio-tools/osslsigncode-2.5"),
                  "usr/bin/osslsigncode")


def errors_of(result):
    return [line for line in result.stderr.splitlines() if line.startswith("fish-kit: error: ")]


def signer_versions():
    """[(version line, the osslsigncode to put first on PATH, or None for the machine's)]."""
    versions = []
    for binary, first_on_path in ((shutil.which("osslsigncode"), False), (str(OLD_SIGNER), True)):
        if binary is None or not Path(binary).exists():
            raise AssertionError(f"{binary or 'osslsigncode'} is missing: run tools/setup.sh")
        line = subprocess.run([binary, "--version"], capture_output=True,
                              text=True).stdout.splitlines()[0]
        versions.append((line, binary if first_on_path else None))
    return versions


class Release(unittest.TestCase):
    """One throwaway CA, time-stamping authority and token for the whole run."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.w = Path(cls.work.name)
        cls.ca = pki.Authority(cls.w / "ca")
        cls.tsa = pki.TimeStampAuthority(cls.w / "ca", cls.ca)
        cls.token = pki.SoftToken(cls.w / "token")
        certificate = cls.ca.issue(cls.token.public_key, "Token Publisher", pki.CODE_SIGNING, 1)
        cls.chain = cls.ca.chain_file(certificate, "token-chain.pem")
        cls.p12, cls.password = cls.ca.pkcs12_file("file-publisher", "File Publisher", "fish")
        cls.catalogue = cls.w / "catalogue"
        for number, folder in FISH.items():
            shutil.copytree(folder, cls.catalogue / f"fish-{number}")
        cls.versions = signer_versions()

    @classmethod
    def tearDownClass(cls):
        cls.tsa.close()
        cls.work.cleanup()

    def token_options(self, module=pki.SOFTHSM, pin_file=None):
        return ["--pkcs11-module", module, "--key", self.token.uri, "--cert", self.chain,
                "--pin-file", pin_file or self.token.pin_file]

    def kit(self, *arguments, signer=None, spy_log=None, prefix=()):
        environment = self.token.environment(spy_log)
        if signer:
            bin_folder = self.w / "old-signer"
            bin_folder.mkdir(exist_ok=True)
            link = bin_folder / "osslsigncode"
            link.unlink(missing_ok=True)
            link.symlink_to(signer)
            environment["PATH"] = f"{bin_folder}:{environment['PATH']}"
        return subprocess.run([*prefix, KIT, *map(str, arguments)], capture_output=True,
                              text=True, env=environment)

    def verify(self, release, *options, signer=None, prefix=()):
        return self.kit("verify", release, "--ca", self.ca.pem, "--tsa-ca", self.ca.pem,
                        *options, signer=signer, prefix=prefix)

    def test_token_release_verifies_and_outlives_its_certificate(self):
        for version, signer in self.versions:
            with self.subTest(osslsigncode=version):
                output = self.w / f"token-{bool(signer)}"
                trace = self.w / f"execve-{bool(signer)}.log"
                # Every process the build starts, with its whole command line.
                built = self.kit("build", self.catalogue, output, *self.token_options(),
                                 "--timestamp", self.tsa.url, signer=signer,
                                 prefix=["strace", "-f", "-qq", "-e", "trace=execve", "-s",
                                         "4096", "-o", trace])
                self.assertEqual(built.returncode, 0, built.stderr)
                self.assertIn("fish-kit: signing 2 exes with 1 signer at once", built.stderr)
                started = trace.read_text(errors="replace")
                self.assertIn("osslsigncode", started, "the trace saw no signer start")
                self.assertNotIn(self.token.pin, started,
                                 "a command line carried the PIN:\n" + "\n".join(
                                     line for line in started.splitlines()
                                     if self.token.pin in line))
                exes = sorted(p.name for p in output.glob("*.exe"))
                self.assertEqual(exes, ["PelagioUpdate-12345.exe", "PelagioUpdate-20030.exe"])
                now = self.verify(output, "--catalogue", self.catalogue, signer=signer)
                self.assertEqual(now.returncode, 0, now.stderr)
                self.assertIn("2 exes verified, no problem (signed by CN=Token Publisher)",
                              now.stderr)
                # Two days on, the one-day certificate has expired; the timestamp holds.
                later = self.verify(output, "--catalogue", self.catalogue, signer=signer,
                                    prefix=["faketime", "-f", "+2d"])
                self.assertEqual(later.returncode, 0, later.stderr)

    def test_wrong_pin_is_tried_once_and_signs_nothing(self):
        wrong = self.w / "wrong-pin"
        wrong.write_text("0000\n")
        wrong.chmod(0o600)
        for version, signer in self.versions:
            with self.subTest(osslsigncode=version):
                spy_log = self.w / f"spy-{bool(signer)}.log"
                output = self.w / f"wrong-pin-{bool(signer)}"
                result = self.kit("build", self.catalogue, output,
                                  *self.token_options(pki.PKCS11_SPY, wrong), signer=signer,
                                  spy_log=spy_log)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
                self.assertIn("the PIN in", result.stderr)
                logins = spy_log.read_text(errors="replace").count("C_Login")
                self.assertEqual(logins, 1, "logins to the token")
                self.assertEqual(list(output.glob("*")) if output.exists() else [], [])

    def test_each_bad_key_ends_the_run_with_one_line(self):
        other_ca = pki.Authority(self.w / "other-ca", "Other CA")
        stranger = other_ca.issue(other_ca.key.public_key(), "Stranger", pki.CODE_SIGNING, 1)
        foreign_chain = other_ca.chain_file(stranger, "stranger-chain.pem")
        expired = self.ca.chain_file(self.ca.issue(self.token.public_key, "Token Publisher",
                                                   pki.CODE_SIGNING, -1, starts=-3),
                                     "expired-chain.pem")
        early = self.ca.chain_file(self.ca.issue(self.token.public_key, "Token Publisher",
                                                 pki.CODE_SIGNING, 30, starts=2),
                                   "early-chain.pem")
        loose = self.w / "loose-pin"
        loose.write_text(self.token.pin + "\n")
        loose.chmod(0o644)
        cases = [
            ("certificate of another key", ["--cert", foreign_chain], "belongs to the key"),
            ("expired certificate", ["--cert", expired], "the certificate expired on"),
            ("certificate not yet valid", ["--cert", early], "the certificate is valid only from"),
            ("missing key", ["--key", "pkcs11:token=Fish%20Token;object=nothing"],
             "holds no private key object=nothing; it holds object=code signing id=%42: name "
             "one with object= (its label) or id="),
            ("PIN file others can read", ["--pin-file", loose],
             f"--pin-file {loose}: other users can read it (mode 0644); make it yours alone: "
             f"chmod 600 {loose}"),
            ("missing token", ["--key", "pkcs11:token=Elsewhere;object=code%20signing"],
             "no token of"),
            ("PIN in the URI", ["--key", self.token.uri + "?pin-value=2468"], "--pin-file"),
        ]
        for what, change, problem in cases:
            with self.subTest(what):
                options = self.token_options()
                options[options.index(change[0]) + 1] = change[1]
                output = self.w / f"bad-key-{what.replace(' ', '-')}"
                result = self.kit("build", FISH["12345"], output, *options)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertEqual(len(errors_of(result)), 1, result.stderr)
                self.assertIn(problem, result.stderr)
                self.assertFalse(output.exists() and any(output.glob("*.exe")))

    def test_a_key_that_fails_stops_the_signing(self):
        wrong = self.w / "wrong-password"
        wrong.write_text("not the password\n")
        wrong.chmod(0o600)
        output = self.w / "wrong-password-release"
        result = self.kit("build", self.catalogue, output, "--pkcs12", self.p12,
                          "--password-file", wrong, "--sign-jobs", "1")
        self.assertEqual(result.returncode, 1, result.stderr)
        errors = errors_of(result)
        self.assertEqual(len(errors), 2, result.stderr)
        self.assertIn("fish-12345: signing: Failed to parse PKCS#12 file", errors[0])
        self.assertIn("fish-20030: signing: not signed: signing stopped after "
                      "PelagioUpdate-12345.exe failed", errors[1])
        self.assertEqual(list(output.glob("*.exe")), [])

    def test_signing_options_that_do_not_go_together_are_usage_errors(self):
        token = self.token_options()
        cases = [
            (["build", FISH["12345"], self.w / "u", "--pkcs12", self.p12, *token], "one key"),
            (["build", FISH["12345"], self.w / "u", *token[:-2]], "go together"),
            (["build", FISH["12345"], self.w / "u", "--timestamp", self.tsa.url], "needs a key"),
            (["sign", self.w / "u", self.w / "v"], "needs a key"),
        ]
        for arguments, problem in cases:
            with self.subTest(problem=problem, arguments=arguments[3:]):
                result = self.kit(*arguments)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(problem, result.stderr)

    def test_sign_replaces_a_pkcs12_signature_with_the_tokens(self):
        for version, signer in self.versions:
            with self.subTest(osslsigncode=version):
                first = self.w / f"p12-{bool(signer)}"
                built = self.kit("build", self.catalogue, first, "--pkcs12", self.p12,
                                 "--password-file", self.password, "--timestamp",
                                 self.tsa.url, signer=signer)
                self.assertEqual(built.returncode, 0, built.stderr)
                before = self.verify(first, signer=signer)
                self.assertIn("signed by CN=File Publisher", before.stderr)
                again = self.w / f"resigned-{bool(signer)}"
                resigned = self.kit("sign", first, again, *self.token_options(), "--timestamp",
                                    self.tsa.url, signer=signer)
                self.assertEqual(resigned.returncode, 0, resigned.stderr)
                after = self.verify(again, "--catalogue", self.catalogue, signer=signer)
                self.assertEqual(after.returncode, 0, after.stderr)
                self.assertIn("signed by CN=Token Publisher", after.stderr)
                for exe in first.glob("*.exe"):
                    self.assertEqual(resources.read_resources((again / exe.name).read_bytes()),
                                     resources.read_resources(exe.read_bytes()), exe.name)
                    # Replaced, not nested beside the old one.
                    check = subprocess.run(["osslsigncode", "verify", "-CAfile", self.ca.pem,
                                            "-in", again / exe.name], capture_output=True,
                                           text=True)
                    self.assertIn("Number of verified signatures: 1", check.stdout)

    def test_sign_refuses_what_is_not_an_updater(self):
        folder = self.w / "not-updaters"
        folder.mkdir()
        (folder / "notes.exe").write_bytes(b"MZ not really\n")
        shutil.copyfile(NOT_AN_UPDATER, folder / "tool.exe")
        result = self.kit("sign", folder, self.w / "not-signed", *self.token_options())
        self.assertEqual(result.returncode, 1, result.stderr)
        errors = errors_of(result)
        self.assertEqual(len(errors), 2, result.stderr)
        self.assertIn("notes.exe: not a Windows program", errors[0])
        self.assertIn("tool.exe: not an updater: resource", errors[1])
        self.assertEqual(list((self.w / "not-signed").glob("*.exe")), [])

    def test_an_older_kits_exe_is_signed_and_verifies_with_a_note(self):
        built = self.w / "older-built"
        self.assertEqual(self.kit("build", self.catalogue, built).returncode, 0)
        older = self.w / "older"
        older.mkdir()
        for exe in built.glob("*.exe"):
            (older / exe.name).write_bytes(damage.without_manifest(exe.read_bytes()))
        release = self.w / "older-release"
        signed = self.kit("sign", older, release, *self.token_options(), "--timestamp",
                          self.tsa.url)
        self.assertEqual(signed.returncode, 0, signed.stderr)
        result = self.verify(release, "--catalogue", self.catalogue)
        self.assertEqual(result.returncode, 0, result.stderr)
        for exe in older.glob("*.exe"):
            self.assertIn(f"fish-kit: {release / exe.name}: has no application manifest",
                          result.stderr)

    def test_verify_names_each_bad_exe(self):
        good = self.w / "gate-good"
        built = self.kit("build", self.catalogue, good, *self.token_options(), "--timestamp",
                         self.tsa.url)
        self.assertEqual(built.returncode, 0, built.stderr)
        victim = "PelagioUpdate-20030.exe"

        def tampered(release):
            data = bytearray((release / victim).read_bytes())
            vmf = resources.read_resources(bytes(data))[(resources.RT_RCDATA, "DATA.VMF", 1028)]
            at = bytes(data).find(vmf[1000:1064]) + 10
            data[at] ^= 0x01
            (release / victim).write_bytes(data)
            summary = release / "summary.tsv"  # so that only the signature can tell
            summary.unlink()

        def signed_with(*options):
            def change(release):
                # sign replaces the exe's signature.
                result = self.kit("sign", release / victim, self.w / "other-signed", *options)
                self.assertEqual(result.returncode, 0, result.stderr)
                shutil.copyfile(self.w / "other-signed" / victim, release / victim)
                (release / "summary.tsv").unlink()
            return change

        def summary_lies(release):
            summary = release / "summary.tsv"
            lines = summary.read_text(encoding="utf-8").splitlines()
            fields = lines[2].split("\t")
            fields[4] = "0" * 64
            lines[2] = "\t".join(fields)
            summary.write_text("\n".join(lines) + "\n", encoding="utf-8")

        other_ca = pki.Authority(self.w / "other-tsa", "Other Time CA")
        other_tsa = pki.TimeStampAuthority(self.w / "other-tsa", other_ca)
        self.addCleanup(other_tsa.close)

        def sha1_signed(release):
            # Signed as the kit never signs: with a SHA-1 digest, through the same token (the
            # authority stamps SHA-256 only).
            unsigned = self.w / "sha1-unsigned.exe"
            key = signing.TokenKey(pki.SOFTHSM, self.token.uri, self.chain, self.token.pin_file)
            for step in (["remove-signature", "-in", release / victim, "-out", unsigned],
                         ["sign", *key.arguments(), "-h", "sha1", "-in", unsigned, "-out",
                          release / "sha1.exe"]):
                subprocess.run(["osslsigncode", *map(str, step)], check=True,
                               capture_output=True, env=self.token.environment())
            os.replace(release / "sha1.exe", release / victim)
            unsigned.unlink()
            (release / "summary.tsv").unlink()

        cases = [
            ("tampered", tampered, "its bytes changed after it was signed"),
            # osslsigncode says so, but exits 0: only its verdict tells.
            ("another authority's timestamp",
             signed_with(*self.token_options(), "--timestamp", other_tsa.url),
             "timestamp does not verify"),
            ("SHA-1 digest", sha1_signed, "is signed with a sha1 digest, not SHA-256"),
            ("another certificate", signed_with("--pkcs12", self.p12, "--password-file",
                                                self.password, "--timestamp", self.tsa.url),
             "is signed by another certificate (CN=File Publisher"),
            ("no timestamp", signed_with(*self.token_options()), "has no timestamp"),
            ("summary lies", summary_lies, "summary.tsv gives another SHA-256"),
        ]
        for what, change, problem in cases:
            with self.subTest(what):
                release = self.w / f"gate-{what.replace(' ', '-')}"
                shutil.copytree(good, release)
                change(release)
                result = self.verify(release, "--catalogue", self.catalogue)
                print(f"\n  verify, {what}:\n    " + "\n    ".join(result.stderr.splitlines()))
                self.assertEqual(result.returncode, 1, result.stderr)
                errors = errors_of(result)
                self.assertTrue(errors, result.stderr)
                self.assertTrue(all(victim in line for line in errors), result.stderr)
                self.assertTrue(any(problem in line for line in errors), result.stderr)
                self.assertIn("1 of 2 exes fail", result.stderr)


    def test_verify_says_what_to_do_and_misses_no_fish(self):
        release = self.w / "gate-whole"
        built = self.kit("build", self.catalogue, release, *self.token_options(), "--timestamp",
                         self.tsa.url)
        self.assertEqual(built.returncode, 0, built.stderr)
        # --ca serves the timestamps too; without it, the answer names the option.
        alone = self.kit("verify", release, "--ca", self.ca.pem)
        self.assertEqual(alone.returncode, 0, alone.stderr)
        untrusted = self.kit("verify", release)
        self.assertEqual(untrusted.returncode, 1, untrusted.stderr)
        for line in errors_of(untrusted):
            self.assertTrue(line.endswith("signature does not verify: its certificate chain "
                                          "does not lead to a trusted root: give the CA's "
                                          "certificate with --ca") or
                            "timestamp does not verify: its chain does not lead to a trusted "
                            "root: give the time-stamping authority's CA certificate with "
                            "--tsa-ca" in line, line)
        self.assertEqual(len(errors_of(untrusted)), 4, untrusted.stderr)
        # A catalogue of one fish more than the release, and one broken fish folder.
        catalogue = self.w / "gate-catalogue"
        shutil.copytree(self.catalogue, catalogue)
        third = shutil.copytree(FISH["12345"], catalogue / "fish-12399")
        (third / "fish.txt").write_text((third / "fish.txt").read_text(
            encoding="utf-8").replace("12345", "12399"), encoding="utf-8")
        broken = shutil.copytree(FISH["12345"], catalogue / "fish-broken")
        (broken / "fish.txt").write_text("number: 12398\n", encoding="utf-8")
        result = self.verify(release, "--catalogue", catalogue)
        print("\n  verify, a fish missing and one broken:\n    " +
              "\n    ".join(result.stderr.splitlines()))
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(errors_of(result), [
            f"fish-kit: error: {broken}: its fish folder is broken: name-ja: missing from "
            "fish.txt",
            f"fish-kit: error: {broken}: its fish folder is broken: name-en: missing from "
            "fish.txt",
            f"fish-kit: error: {third}: fish 12399 (カクレクマノミ): no exe in the release"])
        self.assertIn("verify: 3 problems; 0 of 2 exes fail; of the catalogue's 4 fish, 1 "
                      "broken, 1 without an exe", result.stderr)


class TimestampFallback(unittest.TestCase):
    def test_timestamped_signature_outlives_the_certificate(self):
        with tempfile.TemporaryDirectory() as work:
            w = Path(work)
            ca = pki.Authority(w)
            tsa = pki.TimeStampAuthority(w, ca)
            self.addCleanup(tsa.close)
            p12, password = ca.pkcs12_file("code", "Fish Publisher", "fish")
            with socket.socket() as closed:
                closed.bind(("127.0.0.1", 0))
                dead_url = f"http://127.0.0.1:{closed.getsockname()[1]}/"
            good = fish_folder.convert(FISH["12345"])

            def kit(*arguments):
                return subprocess.run([KIT, *map(str, arguments)], capture_output=True,
                                      text=True)

            signing = ["--pkcs12", p12, "--password-file", password]
            # The first server is down: asked once before signing, it is left out, and the
            # second gives the timestamps.
            requests = tsa.requests
            stamped = kit("build", FISH["12345"], w / "stamped", *signing, "--timestamp",
                          dead_url, "--timestamp", tsa.url)
            self.assertEqual(stamped.returncode, 0, stamped.stderr)
            warnings = [line for line in stamped.stderr.splitlines() if "warning" in line]
            self.assertEqual(warnings, [f"fish-kit: warning: timestamp server {dead_url}: it "
                                        "cannot be reached ([Errno 111] Connection refused); "
                                        "signing with the others"])
            self.assertEqual(tsa.requests - requests, 2, "the probe and one exe")
            self.assertIn("fish-kit: signed 1 of 1", stamped.stderr)
            plain = kit("build", FISH["12345"], w / "plain", *signing)
            self.assertEqual(plain.returncode, 0, plain.stderr)
            warnings = [line for line in plain.stderr.splitlines() if "warning" in line]
            self.assertEqual(len(warnings), 1, plain.stderr)
            self.assertIn("--timestamp", warnings[0])
            unreachable = kit("build", FISH["12345"], w / "unreachable", *signing,
                              "--timestamp", dead_url)
            self.assertEqual(unreachable.returncode, 1, unreachable.stderr)
            self.assertEqual(len(errors_of(unreachable)), 1, unreachable.stderr)
            self.assertIn(f"no timestamp server gives a timestamp ({dead_url}: it cannot be "
                          "reached", errors_of(unreachable)[0])
            self.assertIn("nothing was signed", errors_of(unreachable)[0])
            # Stopped before the build: nothing was built, signed or counted.
            self.assertNotIn("signed", unreachable.stderr.replace("nothing was signed", ""))
            self.assertFalse((w / "unreachable").exists())

            def verify(exe, *options):
                return subprocess.run(["osslsigncode", "verify", "-CAfile", str(ca.pem),
                                       "-TSA-CAfile", str(ca.pem), *options, "-in",
                                       str(exe)], capture_output=True, text=True)

            exe = w / "stamped" / "PelagioUpdate-12345.exe"
            now = verify(exe)
            self.assertEqual(now.returncode, 0, now.stdout + now.stderr)
            self.assertIn("Timestamp Server Signature verification: ok", now.stdout)
            self.assertIn("Signature verification: ok", now.stdout)
            self.assertEqual(resources.check_exe(exe, good), [])
            # Two days on, the code-signing certificate has expired.
            later = str(int(time.time()) + 2 * 86400)
            after = verify(exe, "-time", later)
            self.assertEqual(after.returncode, 0, after.stdout + after.stderr)
            expired = verify(w / "plain" / "PelagioUpdate-12345.exe", "-time", later)
            self.assertNotEqual(expired.returncode, 0, expired.stdout)
            self.assertIn("certificate has expired", expired.stdout + expired.stderr)


if __name__ == "__main__":
    unittest.main()
