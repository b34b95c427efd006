#!/usr/bin/python3
"""Damaged input never takes the kit down: a catalogue of one good fish and a few dozen fish
each with one artwork file damaged at random (seeded) builds the good fish and names each bad
one on one line, and a hundred damaged copies of a built exe are each unpacked whole or
refused with one line, never with a traceback. tools/fuzz/fuzz_fish_kit.py runs longer passes."""
import contextlib
import io
import os
import random
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "publisher"))
sys.path.insert(0, str(ROOT / "tests"))
import damage  # noqa: E402
from fish_kit import cli  # noqa: E402

KIT = str(ROOT / "publisher" / "fish-kit")
GOOD = ROOT / "tests" / "fish-12345"
SEED = 20261210
ARTWORK = ("picture.png", "thumbnail.png", "icon.png")


def damaged_catalogue(folder, rng, per_kind):
    """A good fish and per_kind fish for each kind of damage and artwork file; returns
    {fish folder: what was damaged}."""
    made = {}
    shutil.copytree(GOOD, folder / "fish-00-good")
    number = 40000
    for kind in damage.ARTWORK_KINDS:
        for name in ARTWORK:
            for _ in range(per_kind):
                number += 1
                fish = folder / f"fish-{number}"
                shutil.copytree(GOOD, fish)
                (fish / "fish.txt").write_text((GOOD / "fish.txt").read_text(
                    encoding="utf-8").replace("12345", str(number)), encoding="utf-8")
                (fish / name).write_bytes(damage.damaged_artwork(
                    (GOOD / name).read_bytes(), Path(name).suffix, kind, rng))
                made[fish] = f"{name} {kind}"
    return made


def unpack_in_process(exe, folder):
    """(exit status, what it printed) of fish-kit unpack, run in this process."""
    errors = io.StringIO()
    with contextlib.redirect_stderr(errors):
        status = cli.main(["unpack", str(exe), str(folder)])
    return status, errors.getvalue()


class Fuzz(unittest.TestCase):
    def test_damaged_artwork_fails_only_its_fish(self):
        rng = random.Random(SEED)
        with tempfile.TemporaryDirectory() as work:
            catalogue, output = Path(work) / "catalogue", Path(work) / "out"
            made = damaged_catalogue(catalogue, rng, 2)
            environment = dict(os.environ, FISH_KIT_WORK=os.environ.get(
                "FUZZ_KIT_WORK", str(ROOT / "build" / "fuzz-kit")))
            result = subprocess.run([KIT, "build", str(catalogue), str(output)],
                                    capture_output=True, text=True, env=environment)
            self.assertNotIn("Traceback", result.stderr)
            self.assertNotIn("internal error", result.stderr)
            errors = [line for line in result.stderr.splitlines() if "error" in line]
            self.assertTrue(all(line.startswith("fish-kit: error: ") for line in errors), errors)
            self.assertTrue((output / "PelagioUpdate-12345.exe").exists(), result.stderr)
            self.assertEqual(result.returncode, 1 if errors else 0, result.stderr)
            for fish, what in made.items():
                named = [line for line in errors if f"{fish}:" in line]
                built = (output / f"PelagioUpdate-{fish.name[5:]}.exe").exists()
                with self.subTest(fish=fish.name, damage=what):
                    # Each fish is built (its damage was harmless) or named on one line.
                    self.assertEqual((built, len(named)), (not named, 0 if built else 1),
                                     named)
            refused = sum(1 for line in errors if "fish-4" in line)
            print(f"\n  {len(made)} damaged fish: {refused} refused, {len(made) - refused} "
                  "built as the damage was harmless")
            self.assertGreater(refused, len(made) // 2)

    def test_damaged_exes_are_refused_with_one_line(self):
        rng = random.Random(SEED)
        with tempfile.TemporaryDirectory() as work:
            w = Path(work)
            built = subprocess.run([KIT, "build", str(GOOD), str(w / "built")],
                                   capture_output=True, text=True)
            self.assertEqual(built.returncode, 0, built.stderr)
            good = (w / "built" / "PelagioUpdate-12345.exe").read_bytes()
            layout = damage.resource_layout(good)
            outcomes = {}
            for index in range(120):
                kind = damage.EXE_KINDS[index % len(damage.EXE_KINDS)]
                exe = w / f"damaged-{index}.exe"
                exe.write_bytes(damage.damaged_exe(good, kind, rng, layout))
                folder = w / "unpacked" / str(index)
                status, printed = unpack_in_process(exe, folder)
                with self.subTest(index=index, damage=kind):
                    self.assertNotIn("Traceback", printed)
                    self.assertNotIn("internal error", printed)
                    if status == 0:
                        self.assertEqual(len(list(folder.iterdir())), 5)
                    else:
                        self.assertEqual(status, 1, printed)
                        self.assertEqual(printed.count("\n"), 1, printed)
                        self.assertTrue(printed.startswith(f"fish-kit: error: {exe}: "), printed)
                        self.assertFalse(folder.exists(), "a refused exe left a folder")
                outcomes.setdefault(kind, []).append(status)
            self.assertEqual(sorted(p.name for p in (w / "unpacked").glob(".*")), [],
                             "staging was left behind")
            print("\n  " + ", ".join(f"{kind}: {statuses.count(1)} of {len(statuses)} refused"
                                      for kind, statuses in outcomes.items()))


if __name__ == "__main__":
    unittest.main()
