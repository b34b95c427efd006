#!/usr/bin/python3
"""The fish kit: bad input caught with a clear error, a catalogue with bad fish, the same
bytes from any checkout path, and Authenticode signing."""
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
import fish_kit  # noqa: E402
from PIL import Image  # noqa: E402

GOOD = ROOT / "tests" / "fish-12345"
KIT = [sys.executable, str(ROOT / "tools" / "fish_kit.py")]


def fish_copy(parent, name, description=None):
    folder = Path(parent) / name
    shutil.copytree(GOOD, folder)
    if description is not None:
        (folder / "fish.txt").write_text(description, encoding="utf-8")
    return folder


def description(number="12345", ja="カクレクマノミ", en="Ocellaris clownfish", extra=""):
    return f"number: {number}\nname-ja: {ja}\nname-en: {en}\n{extra}"


class BadInput(unittest.TestCase):
    def test_each_bad_input_names_the_folder_and_the_field(self):
        def replace(name, data):
            return lambda f: (f / name).write_bytes(data)

        def image(name, size, mode="RGB"):
            return lambda f: Image.new(mode, size).save(f / name)

        def remove(name):
            return lambda f: (f / name).unlink()

        cases = [
            ("data.vmf", remove("data.vmf"), "cannot be read"),
            ("data.vmf", replace("data.vmf", b""), "is empty"),
            ("picture", remove("picture.png"), "missing"),
            ("picture.png", replace("picture.png", b"not a picture"), "cannot be read"),
            ("picture.png", image("picture.png", (97, 42)), "expected 96 x 42 pixels, found 97 x 42"),
            ("thumbnail.png", image("thumbnail.png", (74, 31)), "expected 74 x 32 pixels, found 74 x 31"),
            ("icon", image("icon.png", (40, 40), "RGBA"), "at least 48 pixels, found 40 x 40"),
            ("icon", image("icon.png", (64, 48), "RGBA"), "square"),
            ("number", description(number="1234567"), "1 to 6 digits"),
            ("number", description(number="0x12"), "plain decimal"),
            ("number", description(number=""), "plain decimal"),
            ("name-ja", description(ja="カクレ\u2603"), "U+2603"),
            ("name-ja", description(ja=""), "is empty"),
            ("name-ja", description(ja="カクレクマノミカクレクマノミ"), "28 bytes"),
            ("name-en", description(en=""), "printable ASCII"),
            ("name-en", description(en="Clown\u00e9"), "printable ASCII"),
            ("fish.txt", description(extra="colour: orange\n"), "unknown key 'colour'"),
            ("name-en", "number: 12345\nname-ja: カクレクマノミ\n", "missing"),
        ]
        with tempfile.TemporaryDirectory() as parent:
            for index, (field, change, problem) in enumerate(cases):
                with self.subTest(field=field, problem=problem):
                    folder = fish_copy(parent, f"fish{index}")
                    if isinstance(change, str):
                        (folder / "fish.txt").write_text(change, encoding="utf-8")
                    else:
                        change(folder)
                    with self.assertRaises(fish_kit.FishError) as caught:
                        fish_kit.convert(folder)
                    message = str(caught.exception)
                    self.assertIn(f"{folder}: {field}", message)
                    self.assertIn(problem, message)
                    self.assertNotIn("\n", message)


class Catalogue(unittest.TestCase):
    def test_builds_the_good_fish_and_lists_every_error(self):
        with tempfile.TemporaryDirectory() as work:
            catalogue = Path(work) / "catalogue"
            fish_copy(catalogue, "a-clownfish")
            fish_copy(catalogue, "b-second", description(number="12346"))
            (fish_copy(catalogue, "c-empty", description(number="12347")) / "data.vmf").write_bytes(b"")
            fish_copy(catalogue, "d-same-number")
            output = Path(work) / "out"
            result = subprocess.run(KIT + ["build", str(catalogue), str(output)],
                                    capture_output=True, text=True)
            self.assertEqual(result.returncode, 1, result.stderr)
            self.assertEqual(sorted(p.name for p in output.iterdir()),
                             ["PelagioUpdate-12345.exe", "PelagioUpdate-12346.exe", "summary.tsv"])
            errors = result.stderr.strip().splitlines()
            self.assertEqual(len(errors), 2, result.stderr)
            self.assertIn("c-empty: data.vmf: is empty", errors[0])
            self.assertIn("d-same-number: number: 12345 is also the number of", errors[1])
            summary = (output / "summary.tsv").read_text(encoding="utf-8").splitlines()
            self.assertEqual(len(summary), 5)
            self.assertTrue(summary[1].startswith("12345\tカクレクマノミ\tOcellaris clownfish\t"))
            for exe, folder in (("PelagioUpdate-12345.exe", "a-clownfish"),
                                ("PelagioUpdate-12346.exe", "b-second")):
                # Windows' installer detection elevates an exe without a manifest by its name.
                self.assertIn("Update", exe)
                fish = fish_kit.convert(catalogue / folder)
                self.assertEqual(fish_kit.check_exe(output / exe, fish), [])

    def test_same_fish_same_bytes_from_any_checkout_path(self):
        sources = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-co", "--exclude-standard"],
                                 capture_output=True,
                                 text=True, check=True).stdout.split()
        exes = []
        with tempfile.TemporaryDirectory() as work:
            for checkout in ("first", "somewhere/else/second"):
                copy = Path(work) / checkout
                for name in filter(lambda n: (ROOT / n).exists(), sources):
                    (copy / name).parent.mkdir(parents=True, exist_ok=True)
                    shutil.copy2(ROOT / name, copy / name)
                subprocess.run([sys.executable, str(copy / "tools" / "fish_kit.py"), "build",
                                str(GOOD), str(copy / "out")], check=True,
                               capture_output=True)
                exes.append((copy / "out" / "PelagioUpdate-12345.exe").read_bytes())
        self.assertEqual(len(exes[0]), len(exes[1]))
        self.assertTrue(exes[0] == exes[1], "two checkouts built different bytes")


class Signing(unittest.TestCase):
    def test_signed_exe_verifies_against_its_ca(self):
        with tempfile.TemporaryDirectory() as work:
            w = Path(work)

            def openssl(*arguments):
                subprocess.run(["openssl", *arguments], check=True, capture_output=True, cwd=w)

            (w / "code.ext").write_text("basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\n"
                                        "extendedKeyUsage=codeSigning\n")
            openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key",
                    "-out", "ca.pem", "-days", "2", "-subj", "/CN=Throwaway Test CA")
            openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "code.key", "-out",
                    "code.csr", "-subj", "/CN=Fish Publisher")
            openssl("x509", "-req", "-in", "code.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                    "-CAcreateserial", "-out", "code.pem", "-days", "2", "-extfile", "code.ext")
            (w / "password").write_text("fish\n")
            openssl("pkcs12", "-export", "-inkey", "code.key", "-in", "code.pem", "-certfile",
                    "ca.pem", "-out", "code.p12", "-passout", "pass:fish")
            result = subprocess.run(KIT + ["build", str(GOOD), str(w / "out"), "--pkcs12",
                                           str(w / "code.p12"), "--password-file",
                                           str(w / "password")], capture_output=True, text=True)
            self.assertEqual(result.returncode, 0, result.stderr)
            exe = w / "out" / "PelagioUpdate-12345.exe"
            verify = subprocess.run(["osslsigncode", "verify", "-CAfile", str(w / "ca.pem"),
                                     "-in", str(exe)], capture_output=True, text=True)
            self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
            self.assertIn("Signature verification: ok", verify.stdout)
            self.assertEqual(fish_kit.check_exe(exe, fish_kit.convert(GOOD)), [])


if __name__ == "__main__":
    unittest.main()
