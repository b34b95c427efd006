#!/usr/bin/python3
"""The fish kit's preview over two fish: each one's Japanese and German dialog and its
completion message as PNGs of the windows, the contact sheet naming both, and the name's
fit as measured in the real name controls: the second fish's 7 characters fit, the sample's
11 full-width characters are wider than the Japanese name control with the prefix's fonts
(IPAGothic, linked into the dialog's Arial) and wrap onto a second line of the German edit."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from PIL import Image

sys.path.insert(0, str(Path(__file__).resolve().parent))
import browser  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
KIT = str(ROOT / "publisher" / "fish-kit")
DIALOG_SIZE = (408, 170)


class Preview(unittest.TestCase):
    def test_two_fish_dialogs_sheet_and_fit(self):
        with tempfile.TemporaryDirectory() as work:
            catalogue, output = Path(work) / "catalogue", Path(work) / "preview"
            shutil.copytree(ROOT / "resources" / "fish-20030", catalogue / "sample")
            shutil.copytree(ROOT / "tests" / "fish-12345", catalogue / "second")
            # A designer's broken export: the sheet shows its error among the good fish.
            broken = catalogue / "broken"
            shutil.copytree(ROOT / "tests" / "fish-12345", broken)
            (broken / "fish.txt").write_text((broken / "fish.txt").read_text(
                encoding="utf-8").replace("12345", "12399"), encoding="utf-8")
            picture = bytearray((broken / "picture.png").read_bytes())
            picture[40] ^= 0xFF  # inside a chunk: its CRC no longer matches
            (broken / "picture.png").write_bytes(picture)
            # A work folder of its own: the other kit tests build in the default one.
            environment = dict(os.environ, FISH_KIT_WORK=os.environ.get(
                "PREVIEW_KIT_WORK", str(ROOT / "build" / "preview-test-kit")))
            result = subprocess.run([KIT, "preview", str(catalogue), str(output)],
                                    capture_output=True, text=True, env=environment)
            self.assertEqual(result.returncode, 1, result.stderr)
            errors = [line for line in result.stderr.splitlines() if "error" in line]
            self.assertEqual(len(errors), 1, result.stderr)
            self.assertIn(f"{broken}: picture.png: ", errors[0])
            for number in ("20030", "12345"):
                for name in ("dialog-ja", "dialog-de"):
                    with Image.open(output / number / f"{name}.png") as picture:
                        self.assertEqual(picture.size, DIALOG_SIZE, f"{number} {name}")
                        # Not a blank capture: the dialog's frame, caption, picture and text.
                        self.assertGreater(len(picture.getcolors(65536) or []), 20,
                                           f"{number} {name} is nearly one colour")
                with Image.open(output / number / "message.png") as picture:
                    self.assertGreater(picture.size[0] * picture.size[1], 0)
            html = (output / "sheet.html").read_text(encoding="utf-8")
            for text in ("20030", "ミツボシクロスズメダイ", "12345", "カクレクマノミ"):
                self.assertIn(text, html)
            self.assertTrue((output / "sheet.png").stat().st_size > 0)
            # As a browser shows the page: every picture loads, at its file's own size.
            images, text = browser.shown_images(output / "sheet.html")
            self.assertEqual(len(images), 6, images)
            for source, loaded, natural, shown in images:
                self.assertTrue(loaded, f"{source} did not load")
                with Image.open(output / source) as picture:
                    self.assertEqual(natural, picture.size, source)
                self.assertEqual(shown, natural, f"{source} is shown at another size")
            self.assertIn(f"{broken}: picture.png: ", text)
            self.assertEqual(list(Path(work).glob(".*")), [], "staging left beside OUTPUT")
            fit = {}
            for line in (output / "fit.tsv").read_text(encoding="utf-8").splitlines()[1:]:
                fields = line.split("\t")
                fit[(fields[0], fields[2])] = fields[-1]
            self.assertTrue(fit[("12345", "ja")].startswith("fits"), fit)
            self.assertTrue(fit[("20030", "ja")].startswith("does not fit"), fit)
            self.assertEqual(fit[("12345", "de")], "fits: 1 line of 4 shown")
            self.assertEqual(fit[("20030", "de")], "fits: 2 lines of 4 shown")
            warnings = [line for line in result.stderr.splitlines() if "does not fit" in line]
            self.assertEqual(len(warnings), 1, result.stderr)
            self.assertIn("20030", warnings[0])
            # As a release gate, --strict makes a name that does not fit an error.
            strict = subprocess.run([KIT, "preview", "--strict", str(catalogue / "sample"),
                                     str(Path(work) / "strict")], capture_output=True,
                                    text=True, env=environment)
            self.assertEqual(strict.returncode, 1, strict.stderr)
            errors = [line for line in strict.stderr.splitlines() if "error" in line]
            self.assertEqual(len(errors), 1, strict.stderr)
            self.assertTrue(errors[0].startswith(
                f"fish-kit: error: {catalogue / 'sample'}: name-ja: 20030 ミツボシクロスズメダイ: "
                "the name does not fit the Japanese name control"), errors[0])


if __name__ == "__main__":
    sys.exit(unittest.main())
