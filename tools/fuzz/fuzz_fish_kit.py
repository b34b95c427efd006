#!/usr/bin/python3
"""A long fuzz pass over the fish kit, in-process: fish folders with one artwork file
damaged at random (checked as a build checks them) and damaged copies of a built exe
(unpacked). A finding is anything but the kit's own one-line refusal: a traceback, an internal
error, a refusal of more than one line, or a folder left by a refused exe. Prints the rate
and the first finding (with the seed and index that make it again) and exits 1 on one.

usage: tools/fuzz/fuzz_fish_kit.py [--seed N] [--count N] [--only artwork|exe]"""
import argparse
import contextlib
import io
import random
import shutil
import subprocess
import sys
import tempfile
import time
import traceback
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(ROOT / "publisher"))
sys.path.insert(0, str(ROOT / "tests"))
import damage  # noqa: E402
from fish_kit import cli, fish_folder  # noqa: E402

GOOD = ROOT / "tests" / "fish-12345"
ARTWORK = ("picture.png", "thumbnail.png", "icon.png")


def artwork_case(work, rng, index):
    """None, or what went wrong with one damaged fish folder."""
    name = rng.choice(ARTWORK)
    kind = rng.choice(damage.ARTWORK_KINDS)
    fish = work / f"fish-{index}"
    shutil.copytree(GOOD, fish)
    (fish / name).write_bytes(damage.damaged_artwork((GOOD / name).read_bytes(),
                                                     Path(name).suffix, kind, rng))
    try:
        fish_folder.convert(fish)
    except fish_folder.FishError as error:
        if "\n" in str(error):
            return f"{name} {kind}: a refusal of more than one line: {error!r}"
    except Exception:  # noqa: BLE001 - what the fuzzer is looking for
        return f"{name} {kind}: {traceback.format_exc().strip().splitlines()[-1]}"
    finally:
        shutil.rmtree(fish)
    return None


def exe_case(work, rng, index, good, layout):
    kind = rng.choice(damage.EXE_KINDS)
    exe = work / f"damaged-{index}.exe"
    exe.write_bytes(damage.damaged_exe(good, kind, rng, layout))
    folder = work / f"unpacked-{index}"
    printed = io.StringIO()
    try:
        with contextlib.redirect_stderr(printed):
            status = cli.main(["unpack", str(exe), str(folder)])
    except Exception:  # noqa: BLE001
        return f"exe {kind}: {traceback.format_exc().strip().splitlines()[-1]}"
    finally:
        exe.unlink()
    text = printed.getvalue()
    if "internal error" in text or "Traceback" in text:
        return f"exe {kind}: {text.strip()}"
    if status != 0 and (text.count("\n") != 1 or folder.exists()):
        return f"exe {kind}: a refusal of {text.count(chr(10))} lines, folder left: " \
               f"{folder.exists()}: {text.strip()}"
    shutil.rmtree(folder, ignore_errors=True)
    return None


def main():
    parser = argparse.ArgumentParser(description="A long fuzz pass over the fish kit.")
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--count", type=int, default=2000, help="cases of each kind")
    parser.add_argument("--only", choices=("artwork", "exe"))
    arguments = parser.parse_args()
    rng = random.Random(arguments.seed)
    print(f"fuzz: seed {arguments.seed}, {arguments.count} cases of each kind")
    with tempfile.TemporaryDirectory() as work:
        work = Path(work)
        good = layout = None
        if arguments.only != "artwork":
            subprocess.run([str(ROOT / "publisher" / "fish-kit"), "build", str(GOOD),
                            str(work / "built")], check=True, capture_output=True)
            good = (work / "built" / "PelagioUpdate-12345.exe").read_bytes()
            layout = damage.resource_layout(good)
        kinds = [k for k in ("artwork", "exe") if arguments.only in (None, k)]
        for kind in kinds:
            start = time.monotonic()
            for index in range(arguments.count):
                finding = (artwork_case(work, rng, index) if kind == "artwork" else
                           exe_case(work, rng, index, good, layout))
                if finding:
                    print(f"fuzz: FOUND at {kind} case {index} (seed {arguments.seed}): "
                          f"{finding}")
                    return 1
            elapsed = time.monotonic() - start
            print(f"fuzz: {arguments.count} {kind} cases in {elapsed:.1f} s "
                  f"({arguments.count / elapsed:.0f} a second): nothing found")
    return 0


if __name__ == "__main__":
    sys.exit(main())
