#!/usr/bin/python3
"""The fish kit: bad input caught with a clear error, a catalogue with bad fish, the same
bytes from any checkout path, bad exes refused by unpack, and the round trip exe -> fish
folder -> the same exe. (Signing: signing_test.py.)"""
import io
import math
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import unittest.mock
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "publisher"))
sys.path.insert(0, str(ROOT / "tests"))
import damage  # noqa: E402
from fish_kit import artwork, building, fish_folder, resources  # noqa: E402
from PIL import Image  # noqa: E402

GOOD = ROOT / "tests" / "fish-12345"
SAMPLE = ROOT / "resources" / "fish-20030"
KIT = [str(ROOT / "publisher" / "fish-kit")]


def fish_copy(parent, name, description=None):
    folder = Path(parent) / name
    shutil.copytree(GOOD, folder)
    if description is not None:
        (folder / "fish.txt").write_text(description, encoding="utf-8")
    return folder


def description(number="12345", ja="カクレクマノミ", en="Ocellaris clownfish", extra=""):
    return f"number: {number}\nname-ja: {ja}\nname-en: {en}\n{extra}"


def kit(*arguments):
    return subprocess.run(KIT + [str(a) for a in arguments], capture_output=True, text=True)


def errors_of(result):
    return [line for line in result.stderr.splitlines() if line.startswith("fish-kit: error: ")]


def pe_resources(data):
    """{(type, name, language): bytes}, read without pefile: the independent check of what
    the kit reads."""
    def u16(o): return struct.unpack_from("<H", data, o)[0]
    def u32(o): return struct.unpack_from("<I", data, o)[0]
    coff = u32(0x3C) + 4
    sections, optional = u16(coff + 2), coff + 20
    directories = optional + (96 if u16(optional) == 0x10B else 112)
    table = optional + u16(coff + 16)
    spans = [(u32(s + 12), max(u32(s + 8), u32(s + 16)), u32(s + 20))
             for s in range(table, table + 40 * sections, 40)]

    def offset(rva):
        return next(raw + rva - start for start, size, raw in spans if start <= rva < start + size)

    base = offset(u32(directories + 8 * 2))

    def entries(directory):
        count = u16(directory + 12) + u16(directory + 14)
        for e in range(directory + 16, directory + 16 + 8 * count, 8):
            key, target = u32(e), u32(e + 4)
            if key & 0x80000000:
                at = base + (key & 0x7FFFFFFF)
                key = data[at + 2:at + 2 + 2 * u16(at)].decode("utf-16-le")
            yield key, base + (target & 0x7FFFFFFF)

    return {(kind, name, language): data[offset(u32(leaf)):offset(u32(leaf)) + u32(leaf + 4)]
            for kind, names in entries(base) for name, languages in entries(names)
            for language, leaf in entries(languages)}


class BadInput(unittest.TestCase):
    def test_each_bad_input_names_the_folder_and_the_field(self):
        def replace(name, data):
            return lambda f: (f / name).write_bytes(data)

        def image(name, size, mode="RGB"):
            return lambda f: Image.new(mode, size).save(f / name)

        def remove(name):
            return lambda f: (f / name).unlink()

        def disguised(name, size, kind):
            # An image of another format under the name: decoded only as its name says.
            return lambda f: Image.new("RGBA" if kind == "PNG" else "RGB", size).save(
                f / name, format=kind)

        cases = [
            ("data.vmf", remove("data.vmf"), "cannot be read"),
            ("data.vmf", replace("data.vmf", b""), "is empty"),
            ("picture", remove("picture.png"), "missing"),
            ("picture", image("picture.bmp", (96, 42)), "picture.png and picture.bmp both exist"),
            ("picture.png", replace("picture.png", b"not a picture"), "is not a PNG image"),
            ("picture.png", image("picture.png", (97, 42)), "expected 96 x 42 pixels, found 97 x 42"),
            ("thumbnail.png", image("thumbnail.png", (74, 31)), "expected 74 x 32 pixels, found 74 x 31"),
            ("icon", image("icon.png", (40, 40), "RGBA"), "at least 48 pixels, found 40 x 40"),
            ("icon", image("icon.png", (64, 48), "RGBA"), "square"),
            # Refused by its declared size before its pixels are decoded.
            ("icon.png", image("icon.png", (1025, 1025), "RGBA"),
             "declares 1025 x 1025 pixels; at most 1024 x 1024 are used"),
            ("picture.png", disguised("picture.png", (96, 42), "BMP"), "is not a PNG image"),
            ("icon.png", disguised("icon.png", (64, 64), "GIF"), "is not a PNG image"),
            ("thumbnail.png", disguised("thumbnail.png", (74, 32), "TIFF"), "is not a PNG image"),
            ("number", description(number="1234567"), "1 to 6 digits"),
            ("number", description(number="0x12"), "plain decimal"),
            ("number", description(number=""), "plain decimal"),
            ("name-ja", description(ja="カクレ\u2603"), "U+2603"),
            ("name-ja", description(ja=""), "is empty"),
            # The name control's bound at its edge: 22 bytes are built (below), 23 and 24 not.
            ("name-ja", description(ja="カクレクマノミカクレクa"), "23 bytes"),
            ("name-ja", description(ja="カクレクマノミカクレクマ"), "24 bytes"),
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
                    with self.assertRaises(fish_folder.FishError) as caught:
                        fish_folder.convert(folder)
                    message = str(caught.exception)
                    self.assertIn(f"{folder}: {field}", message)
                    self.assertIn(problem, message)
                    self.assertNotIn("\n", message)
            edge = fish_copy(parent, "edge", description(ja="カクレクマノミカクレク"))
            self.assertEqual(len(fish_folder.convert(edge)["name"]), 22)

    def test_build_check_names_every_problem_of_a_fish_and_writes_nothing(self):
        with tempfile.TemporaryDirectory() as work:
            catalogue = Path(work) / "catalogue"
            fish_copy(catalogue, "a-good")
            bad = fish_copy(catalogue, "b-bad", description(number="12346",
                                                            ja="カクレクマノミカクレクマノミ",
                                                            extra="colour: orange\n"))
            Image.new("RGB", (100, 42)).save(bad / "picture.png")
            (bad / "data.vmf").write_bytes(b"")
            output = Path(work) / "out"
            result = kit("build", "--check", catalogue, output)
            self.assertEqual(result.returncode, 1, result.stderr)
            self.assertEqual(errors_of(result), [
                f"fish-kit: error: {bad}: fish.txt: line 4: unknown key 'colour' (expected "
                "number, name-ja, name-en)",
                f"fish-kit: error: {bad}: name-ja: 28 bytes in code page 932; the name control "
                "shows 22 (11 full-width characters)",
                f"fish-kit: error: {bad}: picture.png: expected 96 x 42 pixels, found 100 x 42",
                f"fish-kit: error: {bad}: data.vmf: is empty: the install would write nothing",
            ])
            self.assertIn("1 good, 1 bad; nothing was built", result.stderr)
            self.assertEqual(list(Path(work).iterdir()), [catalogue], "something was written")
            self.assertEqual(kit("build", "--check", catalogue / "a-good").returncode, 0)
            self.assertEqual(kit("build", catalogue).returncode, 2, "OUTPUT is needed to build")


def icon_images(ico):
    """{size: RGBA image} of an .ico file as an image tool reads it (Pillow applies the
    masks of 8-bit images as transparency)."""
    with Image.open(io.BytesIO(ico)) as opened:
        return {size: opened.ico.getimage((size, size)).convert("RGBA")
                for size in artwork.ICON_SIZES}


def fixed_palette_rms(image):
    """The RMS error per channel of the image in the kit's former fixed palette (a 6x6x6 cube,
    16 greys, 24 sea blues) by nearest colour: the measure the palettes of their own beat."""
    palette = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    palette += [(i * 17, i * 17, i * 17) for i in range(16)]
    palette += [(20 + i * 2, 80 + i * 3, 150 + i * 2) for i in range(24)]
    pixels = list(image.convert("RGB").getdata())
    error = sum(min(sum((a - b) ** 2 for a, b in zip(c, p)) for p in palette) for c in pixels)
    return math.sqrt(error / (3 * len(pixels)))


def rms(converted, source, where=None):
    """The RMS error per channel between two images of one size (only where where is true)."""
    pairs = [(a, b) for k, (a, b) in enumerate(zip(converted.convert("RGB").getdata(),
                                                   source.convert("RGB").getdata()))
             if where is None or where[k]]
    return math.sqrt(sum((x - y) ** 2 for a, b in pairs for x, y in zip(a, b)) / (3 * len(pairs)))


def opaque_pixels(image, opaque):
    """The opaque pixels of an image, as an image of one row."""
    pixels = [c for c, keep in zip(image.convert("RGB").getdata(), opaque) if keep]
    row = Image.new("RGB", (len(pixels), 1))
    row.putdata(pixels)
    return row


def drawn_artwork(size, seed, flat=False):
    """Artwork as a designer draws it: a smooth gradient ground with shaded shapes, or with
    flat, a few flat colours; RGBA, the shapes opaque on a clear ground for an icon."""
    rng = random.Random(seed)
    width, height = size
    ground = [rng.randrange(256) for _ in range(6)]
    image = Image.new("RGBA", size)
    shapes = [(rng.uniform(0.2, 0.8) * width, rng.uniform(0.2, 0.8) * height,
               rng.uniform(0.15, 0.35) * min(size), [rng.randrange(256) for _ in range(3)])
              for _ in range(3)]
    for y in range(height):
        for x in range(width):
            t = (x + y) / (width + height)
            colour = [round(ground[i] * (1 - t) + ground[i + 3] * t) for i in range(3)]
            if flat:
                colour = ground[:3] if x < width // 2 else ground[3:]
            for cx, cy, radius, shade in shapes:
                d = math.hypot(x - cx, y - cy) / radius
                if d <= 1:
                    light = 1 if flat else 0.45 + 0.55 * (1 - d) ** 0.7
                    colour = [round(c * light) for c in shade]
            image.putpixel((x, y), (*colour, 255))
    return image


class Artwork(unittest.TestCase):
    def test_converted_artwork_keeps_its_own_colours(self):
        """A palette of the image's own (median cut, no dithering) is at most half as far from
        the source as the fixed palette on drawn artwork, and no farther on flat colours; the
        same bytes on every run."""
        for seed in range(3):
            for flat in (False, True):
                with self.subTest(seed=seed, flat=flat):
                    source = drawn_artwork(artwork.PICTURE_SIZE, seed, flat)
                    converted = artwork.bmp8(source)
                    self.assertEqual(converted, artwork.bmp8(source), "not deterministic")
                    with Image.open(io.BytesIO(converted)) as picture:
                        ours = rms(picture, source)
                    fixed = fixed_palette_rms(source)
                    print(f"  picture {seed}{' flat' if flat else ''}: RMS {ours:.2f}, fixed "
                          f"palette {fixed:.2f}")
                    self.assertLessEqual(ours, fixed if flat else fixed / 2)
                    # An icon: drawn shapes on a clear ground, at each of its three sizes.
                    icon = drawn_artwork((64, 64), seed, flat)
                    icon.putalpha(Image.new("L", icon.size, 0))
                    icon.paste(drawn_artwork((40, 40), seed + 7, flat), (12, 12))
                    for size, image in icon_images(artwork.ico(icon)).items():
                        resized = icon.resize((size, size), Image.Resampling.LANCZOS)
                        opaque = [a >= 128 for a in resized.getdata(3)]
                        ours = rms(image, resized, opaque)
                        fixed = fixed_palette_rms(opaque_pixels(resized, opaque))
                        self.assertLessEqual(ours, fixed if flat else fixed / 2, f"icon {size}")

    def test_icon_is_transparent_exactly_where_the_alpha_is_below_half(self):
        def converted_icon(parent, name, image):
            folder = fish_copy(parent, name)
            image.save(folder / "icon.png")
            return icon_images(fish_folder.convert(folder)["payload"]["fish.ico"])

        with tempfile.TemporaryDirectory() as parent:
            # A whole icon of one alpha, on each side of half (128 of 255) and near 0.
            for alpha in (0, 15, 16, 17, 100, 127, 128, 129, 200, 255):
                images = converted_icon(parent, f"alpha-{alpha}",
                                        Image.new("RGBA", (64, 64), (200, 60, 30, alpha)))
                for size, image in images.items():
                    with self.subTest(alpha=alpha, size=size):
                        self.assertEqual(set(image.getdata(3)), {0 if alpha < 128 else 255})
            # Where on the icon: the top left quarter clear, the rest opaque.
            quarter = Image.new("RGBA", (96, 96), (200, 60, 30, 255))
            quarter.paste((200, 60, 30, 0), (0, 0, 48, 48))
            for size, image in converted_icon(parent, "quarter", quarter).items():
                a, b = size // 4, 3 * size // 4
                with self.subTest(size=size):
                    self.assertEqual([image.getpixel(p)[3] for p in ((a, a), (b, a), (a, b), (b, b))],
                                     [0, 255, 255, 255])
                    # Windows draws the screen XOR the colour under the mask: it must be black.
                    self.assertEqual(image.getpixel((a, a))[:3], (0, 0, 0), "under the mask")


class Catalogue(unittest.TestCase):
    def test_builds_the_good_fish_and_lists_every_error(self):
        with tempfile.TemporaryDirectory() as work:
            catalogue = Path(work) / "catalogue"
            fish_copy(catalogue, "a-clownfish")
            fish_copy(catalogue, "b-second", description(number="12346"))
            (fish_copy(catalogue, "c-empty", description(number="12347")) / "data.vmf").write_bytes(b"")
            fish_copy(catalogue, "d-same-number")
            output = Path(work) / "out"
            result = kit("build", catalogue, output)
            self.assertEqual(result.returncode, 1, result.stderr)
            self.assertEqual(sorted(p.name for p in output.iterdir()),
                             ["PelagioUpdate-12345.exe", "PelagioUpdate-12346.exe", "summary.tsv"])
            errors = errors_of(result)
            self.assertEqual(len(errors), 2, result.stderr)
            self.assertIn("c-empty: data.vmf: is empty", errors[0])
            self.assertIn("d-same-number: number: 12345 is also the number of", errors[1])
            self.assertIn("fish-kit: built 2 of 2", result.stderr)
            summary = (output / "summary.tsv").read_text(encoding="utf-8").splitlines()
            self.assertEqual(len(summary), 5)
            self.assertTrue(summary[1].startswith("12345\tカクレクマノミ\tOcellaris clownfish\t"))
            for exe, folder in (("PelagioUpdate-12345.exe", "a-clownfish"),
                                ("PelagioUpdate-12346.exe", "b-second")):
                # Elevation asked for by the manifest, not guessed from the name.
                self.assertEqual(pe_resources((output / exe).read_bytes())[(24, 1, 1033)],
                                 (ROOT / "resources" / "updater.manifest").read_bytes())
                fish = fish_folder.convert(catalogue / folder)
                self.assertEqual(resources.check_exe(output / exe, fish), [])

    def test_output_holds_exactly_what_its_summary_lists(self):
        with tempfile.TemporaryDirectory() as work:
            catalogue = Path(work) / "catalogue"
            for index, number in enumerate(("12345", "12346", "12347")):
                fish_copy(catalogue, f"fish-{index}", description(number=number))
            output = Path(work) / "release"
            self.assertEqual(kit("build", catalogue, output).returncode, 0)
            # A second run over two of them, one of which fails now, into the same release.
            again = Path(work) / "again"
            shutil.copytree(catalogue / "fish-0", again / "fish-0")
            shutil.copytree(catalogue / "fish-1", again / "fish-1")
            (again / "fish-1" / "data.vmf").write_bytes(b"")
            result = kit("build", again, output)
            self.assertEqual(result.returncode, 1, result.stderr)
            self.assertEqual(errors_of(result), [
                f"fish-kit: error: {again / 'fish-1'}: data.vmf: is empty: the install would "
                f"write nothing (its exe from an earlier run, {output / 'PelagioUpdate-12346.exe'}"
                ", was removed)"])
            self.assertIn("kept 1 exe of fish not in this run: PelagioUpdate-12347.exe",
                          result.stderr)
            exes = sorted(p.name for p in output.glob("*.exe"))
            self.assertEqual(exes, ["PelagioUpdate-12345.exe", "PelagioUpdate-12347.exe"])
            rows = [line.split("\t") for line in
                    (output / "summary.tsv").read_text(encoding="utf-8").splitlines()[1:]]
            self.assertEqual([row[5] for row in rows if row[0] != "-"], exes)
            self.assertEqual(len(rows), 3, "two exes and the error")
            verified = kit("verify", output, "--catalogue", catalogue)
            self.assertNotIn("summary.tsv", verified.stderr)

    def test_same_fish_same_bytes_from_any_checkout_path(self):
        sources = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-co", "--exclude-standard"],
                                 capture_output=True, text=True, check=True).stdout.split()
        exes = []
        with tempfile.TemporaryDirectory() as work:
            for checkout in ("first", "somewhere/else/second"):
                copy = Path(work) / checkout
                for name in filter(lambda n: (ROOT / n).exists(), sources):
                    (copy / name).parent.mkdir(parents=True, exist_ok=True)
                    shutil.copy2(ROOT / name, copy / name)
                # Each checkout in its own build tree (the kit's default, in the checkout).
                environment = {k: v for k, v in os.environ.items() if k != "FISH_KIT_WORK"}
                subprocess.run([str(copy / "publisher" / "fish-kit"), "build", str(GOOD),
                                str(copy / "out")], check=True, capture_output=True,
                               env=environment)
                exes.append((copy / "out" / "PelagioUpdate-12345.exe").read_bytes())
        self.assertEqual(len(exes[0]), len(exes[1]))
        self.assertTrue(exes[0] == exes[1], "two checkouts built different bytes")


class KitFault(unittest.TestCase):
    def test_a_fault_of_the_kit_fails_only_the_fish_it_struck(self):
        real = fish_folder.convert

        def faulty(folder):
            if Path(folder).name == "b-struck":
                return {}["number"]  # a bug of the kit's own
            return real(folder)

        with tempfile.TemporaryDirectory() as work:
            catalogue = Path(work) / "catalogue"
            good = fish_copy(catalogue, "a-good")
            struck = fish_copy(catalogue, "b-struck", description(number="12346"))
            os.environ["FISH_KIT_WORK"] = str(Path(work) / "kit")
            self.addCleanup(os.environ.pop, "FISH_KIT_WORK")
            with unittest.mock.patch.object(building, "convert", faulty):
                found, errors = building.check_fish([good, struck], 2)
            self.assertEqual(list(found), ["12345"])
            self.assertEqual(len(errors), 1, errors)
            self.assertIn(f"{struck}: internal error while checking the fish (KeyError: "
                          "'number'): a fault of the kit; the traceback is in", errors[0][1])
            log = (Path(work) / "kit" / "internal-errors.log").read_text()
            self.assertIn("Traceback (most recent call last)", log)
            self.assertIn("in faulty", log)


def pillow_pixels(path):
    with Image.open(path) as image:
        return image.size, list(image.convert("RGB").getdata())


def imagemagick_pixels(path):
    return subprocess.run(["convert", str(path), "rgb:-"], capture_output=True,
                          check=True).stdout


class Unpack(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.w = Path(cls.work.name)
        catalogue = cls.w / "catalogue"
        shutil.copytree(SAMPLE, catalogue / "sample")
        shutil.copytree(GOOD, catalogue / "second")
        result = kit("build", catalogue, cls.w / "built")
        assert result.returncode == 0, result.stderr
        cls.exes = {number: cls.w / "built" / f"PelagioUpdate-{number}.exe"
                    for number in ("20030", "12345")}

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def test_round_trip_gives_the_same_exe(self):
        for number, exe in self.exes.items():
            with self.subTest(fish=number):
                folder = self.w / f"unpacked-{number}"
                result = kit("unpack", exe, folder)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(sorted(p.name for p in folder.iterdir()),
                                 ["data.vmf", "fish.txt", "icon.ico", "picture.bmp",
                                  "thumbnail.bmp"])
                self.assertTrue(artwork.is_exact_picture((folder / "picture.bmp").read_bytes()))
                # Any image tool reads it as the picture the build embedded.
                embedded = self.w / f"embedded-{number}.bmp"
                embedded.write_bytes(fish_folder.convert(
                    SAMPLE if number == "20030" else GOOD)["payload"]["picture.bmp"])
                for reader in (pillow_pixels, imagemagick_pixels):
                    self.assertEqual(reader(folder / "picture.bmp"), reader(embedded),
                                     f"{reader.__name__}: picture.bmp shows another picture")
                self.assertTrue(artwork.is_exact_icon((folder / "icon.ico").read_bytes()))
                fish = fish_folder.convert(folder)
                self.assertEqual(fish["number"], number)
                rebuilt = kit("build", folder, self.w / f"rebuilt-{number}")
                self.assertEqual(rebuilt.returncode, 0, rebuilt.stderr)
                again = self.w / f"rebuilt-{number}" / exe.name
                original, copy = exe.read_bytes(), again.read_bytes()
                # Every resource, read independently of the kit, then the whole exe.
                before, after = pe_resources(original), pe_resources(copy)
                self.assertEqual(sorted(before, key=str), sorted(after, key=str))
                for key in before:
                    self.assertTrue(before[key] == after[key], f"resource {key} differs")
                self.assertEqual(before, resources.read_resources(original))
                self.assertTrue(original == copy, "the rebuilt exe differs")

    def test_an_older_kits_exe_without_a_manifest_unpacks_and_gains_one(self):
        old = self.w / "older-kit.exe"
        old.write_bytes(damage.without_manifest(self.exes["12345"].read_bytes()))
        before = pe_resources(old.read_bytes())
        self.assertNotIn(resources.MANIFEST_KEY, before)
        note = f"fish-kit: {old}: has no application manifest (built by an older kit)"
        folder = self.w / "older-kit"
        for result in (kit("unpack", old, folder), kit("check-exe", old, GOOD)):
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertIn(note, result.stderr)
        rebuilt = kit("build", folder, self.w / "older-rebuilt")
        self.assertEqual(rebuilt.returncode, 0, rebuilt.stderr)
        after = pe_resources((self.w / "older-rebuilt" / "PelagioUpdate-12345.exe").read_bytes())
        self.assertEqual(after.pop(resources.MANIFEST_KEY), resources.MANIFEST)
        self.assertEqual(after, before, "the fish's resources changed")

    def test_check_exe_gives_one_verdict_in_the_publishers_words(self):
        exe = self.exes["20030"]
        result = kit("check-exe", exe, SAMPLE)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "fish-kit: PelagioUpdate-20030.exe is fish 20030 "
                         "(ミツボシクロスズメダイ), as the folder says\n")
        with tempfile.TemporaryDirectory() as parent:
            renamed = shutil.copytree(SAMPLE, Path(parent) / "renamed")
            text = (renamed / "fish.txt").read_text(encoding="utf-8")
            (renamed / "fish.txt").write_text(text.replace("ミツボシ", "ヨスジ"), encoding="utf-8")
            cases = [
                (GOOD, ["another fish number: the exe is fish 20030, the folder fish 12345",
                        "another Japanese name", "another English name",
                        "other artwork: the picture, thumbnail, icon", "another data file"]),
                (renamed, ["another Japanese name: the exe's is ミツボシクロスズメダイ, the "
                           "folder's ヨスジクロスズメダイ"]),
            ]
            for folder, differences in cases:
                with self.subTest(folder=folder.name):
                    result = kit("check-exe", exe, folder)
                    self.assertEqual(result.returncode, 1, result.stderr)
                    self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
                    self.assertTrue(result.stderr.startswith(
                        f"fish-kit: error: {exe}: is not the fish of {folder}: "), result.stderr)
                    for difference in differences:
                        self.assertIn(difference, result.stderr)
                    self.assertEqual(result.stderr.count(";") + 1, len(differences))

    def test_each_bad_exe_is_refused_with_one_line(self):
        good = self.exes["20030"].read_bytes()
        found = resources.read_resources(good)

        def patched(old, new):
            self.assertEqual(good.count(old), 1)
            return good.replace(old, new)

        def bitmap_size_changed():
            data = bytearray(good)
            leaf = good.find(struct.pack("<I", 5098))  # the bitmap's data entry holds its size
            self.assertEqual(good.count(struct.pack("<I", 5098)), 1)
            data[leaf:leaf + 4] = struct.pack("<I", 5096)
            return bytes(data)

        self.assertIn((resources.RT_BITMAP, 102, 1028), found)
        cases = [
            ("not a Windows program", b"MZ but nothing else"),
            ("not a Windows program", b"#!/bin/sh\necho not an exe\n" * 10),
            ("cut short", good[:len(good) - 100000]),
            ("DATA.TXT1', 1028) is missing", patched("DATA.TXT1".encode("utf-16-le"),
                                                     "DATA.TXT2".encode("utf-16-le"))),
            ("expected 5098 bytes, found 5096", bitmap_size_changed()),
            ("no fish number", patched(b"Fish\\PG20030.vmf\0", b"Fish\\XX20030.vmf\0")),
            ("its application manifest is not the kit's",
             patched(b'level="requireAdministrator"', b'level="asInvoker"           ')),
        ]
        for index, (problem, data) in enumerate(cases):
            with self.subTest(problem=problem):
                exe = self.w / f"bad-{index}.exe"
                exe.write_bytes(data)
                folder = self.w / "bad" / f"fish-{index}"
                result = kit("unpack", exe, folder)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertEqual(result.stderr.count("\n"), 1, result.stderr)
                self.assertTrue(result.stderr.startswith(f"fish-kit: error: {exe}: "),
                                result.stderr)
                self.assertIn(problem, result.stderr)
                self.assertFalse(folder.exists(), "a folder was written")
                self.assertEqual(list((self.w / "bad").glob(".*")) if (self.w / "bad").exists()
                                 else [], [], "a half-written folder was left")
        occupied = self.w / "occupied"
        occupied.mkdir()
        (occupied / "notes.txt").write_text("mine\n")
        result = kit("unpack", self.exes["20030"], occupied)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("exists and is not an empty folder", result.stderr)
        self.assertEqual([p.name for p in occupied.iterdir()], ["notes.txt"])
        self.assertEqual(kit("unpack", self.exes["20030"]).returncode, 2, "usage error")


if __name__ == "__main__":
    unittest.main()
