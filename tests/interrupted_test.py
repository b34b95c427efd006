#!/usr/bin/python3
"""Runs killed at any moment (kill -9, as a cancelled CI job or a power cut does) leave
nothing half-made in OUTPUT; the next run removes what they left beside it and writes the
release whole; and a second run into an OUTPUT in use is refused with one line."""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "publisher"))
sys.path.insert(0, str(ROOT / "tests"))
import pki  # noqa: E402
from fish_kit import fish_folder, resources, staging  # noqa: E402

KIT = str(ROOT / "publisher" / "fish-kit")
FISH = {"12345": ROOT / "tests" / "fish-12345", "20030": ROOT / "resources" / "fish-20030"}
RELEASE = ["PelagioUpdate-12345.exe", "PelagioUpdate-20030.exe", "summary.tsv"]


def kit(*arguments, environment=None):
    return subprocess.run([KIT, *map(str, arguments)], capture_output=True, text=True,
                          env=environment)


class Started:
    """A kit run in a process group of its own, its stderr read line by line."""

    def __init__(self, arguments, environment=None):
        self.process = subprocess.Popen([KIT, *map(str, arguments)], stderr=subprocess.PIPE,
                                        stdout=subprocess.DEVNULL, text=True, env=environment,
                                        start_new_session=True)
        self.lines, self.wanted, self.seen = [], None, threading.Event()
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()

    def read(self):
        for line in self.process.stderr:
            self.lines.append(line.rstrip("\n"))
            if self.wanted and self.wanted in line:
                self.seen.set()

    def wait_for_line(self, text, timeout=120):
        self.wanted = text
        if any(text in line for line in self.lines):
            return True
        return self.seen.wait(timeout)

    def kill(self):
        os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait()
        self.reader.join(10)
        self.process.stderr.close()

    def said(self):
        return "\n".join(self.lines)


class Interrupted(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.w = Path(cls.work.name)
        cls.ca = pki.Authority(cls.w / "ca")
        cls.tsa = pki.TimeStampAuthority(cls.w / "ca", cls.ca)
        cls.p12, cls.password = cls.ca.pkcs12_file("publisher", "Fish Publisher", "fish")
        cls.catalogue = cls.w / "catalogue"
        for number, folder in FISH.items():
            shutil.copytree(folder, cls.catalogue / f"fish-{number}")
        built = kit("build", cls.catalogue, cls.w / "unsigned")
        assert built.returncode == 0, built.stderr

    @classmethod
    def tearDownClass(cls):
        cls.tsa.close()
        cls.work.cleanup()

    def assert_whole_release(self, output):
        self.assertEqual(sorted(p.name for p in output.iterdir()), RELEASE)
        for number, folder in FISH.items():
            exe = output / f"PelagioUpdate-{number}.exe"
            self.assertEqual(resources.check_exe(exe, fish_folder.convert(folder)), [])
        self.assertFalse(staging.staging_folder(output).exists(), "staging left beside OUTPUT")

    def test_killed_while_signing(self):
        signing = ["--pkcs12", self.p12, "--password-file", self.password, "--timestamp",
                   self.tsa.url, "--sign-jobs", "1"]
        cases = [("build", ["build", self.catalogue]), ("sign", ["sign", self.w / "unsigned"])]
        for command, source in cases:
            with self.subTest(command=command):
                output = self.w / f"killed-{command}"
                self.tsa.reached.clear()
                self.tsa.released.clear()
                self.tsa.let_through = 1  # the probe before signing; the first exe is held
                self.tsa.holding.set()
                run = Started([*source, output, *signing])
                try:
                    self.assertTrue(self.tsa.reached.wait(120),
                                    f"no exe went to be timestamped; the kit said:\n{run.said()}")
                    # Meanwhile a second run into the same OUTPUT is refused.
                    second = kit(*source, output, *signing)
                    self.assertEqual(second.returncode, 1, second.stderr)
                    self.assertEqual(len(second.stderr.splitlines()), 1, second.stderr)
                    self.assertIn(f"another fish-kit run (process {run.process.pid}) is "
                                  "writing to it", second.stderr)
                finally:
                    run.kill()
                    self.tsa.holding.clear()
                    self.tsa.released.set()
                left = sorted(p.name for p in output.iterdir()) if output.exists() else []
                self.assertEqual(left, [], "a killed run left files in OUTPUT")
                self.assertTrue(staging.staging_folder(output).exists())
                again = kit(*source, output, *signing)
                self.assertEqual(again.returncode, 0, again.stderr)
                self.assertIn("removing what a killed run left", again.stderr)
                self.assert_whole_release(output)

    def test_killed_while_building(self):
        output = self.w / "killed-mid-build"
        # What an earlier kit left inside OUTPUT when it was killed while it signed.
        old = output / "tmpk3x9q2ab"
        old.mkdir(parents=True)
        (old / "PelagioUpdate-40002.exe").write_bytes(b"MZ half-written")
        # A folder of the same kind of name that holds the publisher's own file stays.
        own = output / "tmpq8w2e5rt"
        own.mkdir()
        (own / "notes.txt").write_text("mine\n")
        # A build tree of its own, so that there is compiling and linking to interrupt.
        environment = dict(os.environ, FISH_KIT_WORK=str(self.w / "fresh-kit"))
        run = Started(["build", self.catalogue, output], environment)
        try:
            self.assertTrue(run.wait_for_line("fish-kit: building 2 updaters"), run.said())
        finally:
            run.kill()
        self.assertEqual(sorted(p.name for p in output.iterdir()), [old.name, own.name])
        again = kit("build", self.catalogue, output, environment=environment)
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertIn(f"removing {old}, left by a killed run", again.stderr)
        self.assertTrue((own / "notes.txt").is_file(), f"the publisher's {own}/notes.txt was "
                        "removed")
        shutil.rmtree(own)
        self.assert_whole_release(output)

    def test_unpack_after_a_killed_unpack_and_beside_a_running_one(self):
        exe = self.w / "unsigned" / "PelagioUpdate-12345.exe"
        folder = self.w / "unpacked" / "clownfish"
        # What killed unpacks left: this kit's staging, and an earlier kit's beside it.
        half = staging.staging_folder(folder) / "fish"
        half.mkdir(parents=True)
        (half / "data.vmf").write_bytes(b"half")
        earlier = folder.parent / ".clownfish-x1y2z3w4"
        earlier.mkdir()
        (earlier / "data.vmf").write_bytes(b"half")
        with staging.staged(folder):
            busy = kit("unpack", exe, folder)
        self.assertEqual(busy.returncode, 1, busy.stderr)
        self.assertEqual(len(busy.stderr.splitlines()), 1, busy.stderr)
        self.assertIn("another fish-kit run", busy.stderr)
        self.assertFalse(folder.exists())
        half.mkdir(parents=True)  # the lock's holder removed it: a killed run's again
        (half / "data.vmf").write_bytes(b"half")
        done = kit("unpack", exe, folder)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(sorted(p.name for p in folder.iterdir()),
                         ["data.vmf", "fish.txt", "icon.ico", "picture.bmp", "thumbnail.bmp"])
        self.assertEqual(sorted(p.name for p in folder.parent.iterdir()), ["clownfish"])


if __name__ == "__main__":
    unittest.main()
