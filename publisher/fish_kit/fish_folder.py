"""A fish folder: its description, the checks of every field, and the payload (the six files
and fish.h) that one updater embeds.

  fish.txt       UTF-8 lines "key: value": number, name-ja, name-en (nothing else)
  data.vmf       the fish's data file from the host's own tools, not empty
  picture        the dialog picture, 96 x 42: picture.png, or picture.bmp
  thumbnail      the installed thumbnail, 74 x 32: thumbnail.png, or thumbnail.bmp
  icon           square, at least 48 pixels, transparent where alpha is below half:
                 icon.png, icon.bmp, or icon.ico

A picture.bmp, thumbnail.bmp or icon.ico already in the resource table's exact form (what
`unpack` writes) is embedded byte for byte; any other image is converted.
"""
import io
import os
import re
import warnings
from pathlib import Path

from PIL import Image, UnidentifiedImageError

from . import artwork
from .files import UnreadableFile, read_bounded

KEYS = ("number", "name-ja", "name-en")
# The Japanese name control shows one line of 148 pixels; at 13 pixels per full-width
# character (10-point dialog font at 96 dpi) that is 11 characters, the sample's 22 bytes.
NAME_BYTES_MAX = 22
# The largest data file a fish may have: 300 times the sample's, far more than any fish needs,
# and well within what one resource and one write of the updater can carry.
DATA_BYTES_MAX = 64 << 20
# Files are refused by their size before they are read: fish.txt holds three short lines; an
# artwork file of the largest image used (an icon of 1024 x 1024, 32 bits, uncompressed) is
# 4 MiB; and an icon is drawn from at most 1024 x 1024 pixels (the picture and thumbnail
# have fixed sizes), checked before the pixels are decoded.
DESCRIPTION_BYTES_MAX = 64 << 10
ARTWORK_BYTES_MAX = 16 << 20
ICON_PIXELS_MAX = 1024
IMAGE_FORMATS = {".png": ["PNG"], ".bmp": ["BMP"], ".ico": ["ICO"]}
ARTWORK = {  # stem: the suffixes it may have, and the check of an exact form
    "picture": ((".png", ".bmp"), artwork.is_exact_picture),
    "thumbnail": ((".png", ".bmp"), artwork.is_exact_thumbnail),
    "icon": ((".png", ".bmp", ".ico"), artwork.is_exact_icon),
}


class FishError(Exception):
    """One bad input: "FOLDER: FIELD: what is wrong"."""

    def __init__(self, folder, field, problem):
        super().__init__(f"{folder}: {field}: {problem}")
        self.folder, self.field, self.problem = folder, field, problem

    def lines(self):
        """Each problem on a line of its own."""
        return [str(self)]


class FishErrors(FishError):
    """Every problem of one fish folder, found in one pass; it reads as the first."""

    def __init__(self, problems):
        first = problems[0]
        super().__init__(first.folder, first.field, first.problem)
        self.problems = problems

    def lines(self):
        return [str(problem) for problem in self.problems]


def description_text(number, name_ja, name_en):
    return f"number: {number}\nname-ja: {name_ja}\nname-en: {name_en}\n"


def read_description(folder, problems):
    """The fields of fish.txt that are given once; each problem of the file is added to
    problems."""
    try:
        text = read_file(folder, "fish.txt", DESCRIPTION_BYTES_MAX).decode("utf-8")
    except UnicodeDecodeError:
        problems.append(FishError(folder, "fish.txt", "is not UTF-8"))
        return {}
    except FishError as problem:
        problems.append(problem)
        return {}
    fields, repeated = {}, set()
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip():
            continue
        key, colon, value = line.partition(":")
        key = key.strip()
        if not colon or key not in KEYS:
            problems.append(FishError(folder, "fish.txt", f"line {number}: unknown key {key!r} "
                                      f"(expected {', '.join(KEYS)})"))
        elif key in fields:
            if key not in repeated:
                problems.append(FishError(folder, key, "given twice"))
            repeated.add(key)
        else:
            fields[key] = value.strip()
    for key in KEYS:
        if key not in fields:
            problems.append(FishError(folder, key, "missing from fish.txt"))
    return {key: value for key, value in fields.items() if key not in repeated}


def check_number(folder, number):
    if not re.fullmatch(r"[1-9][0-9]{0,5}", number):
        raise FishError(folder, "number", f"{number!r} is not a plain decimal of 1 to 6 digits")
    return number


def check_name_ja(folder, name):
    """The Japanese name in code page 932."""
    if not name:
        raise FishError(folder, "name-ja", "is empty")
    for char in name:
        try:
            char.encode("cp932")
        except UnicodeEncodeError:
            raise FishError(folder, "name-ja", f"{char!r} (U+{ord(char):04X}) has no code "
                            "page 932 form")
    encoded = name.encode("cp932")
    if len(encoded) > NAME_BYTES_MAX:
        raise FishError(folder, "name-ja", f"{len(encoded)} bytes in code page 932; the name "
                        f"control shows {NAME_BYTES_MAX} (11 full-width characters)")
    return encoded


def check_name_en(folder, english):
    if not english or not all(" " <= c <= "~" for c in english):
        raise FishError(folder, "name-en", "must be printable ASCII and not empty")
    return english.encode("ascii")


def artwork_file(folder, stem):
    suffixes, _ = ARTWORK[stem]
    found = [folder / (stem + suffix) for suffix in suffixes if (folder / (stem + suffix)).exists()]
    if not found:
        raise FishError(folder, stem, f"{' or '.join(stem + s for s in suffixes)} is missing")
    if len(found) > 1:
        raise FishError(folder, stem, f"{' and '.join(p.name for p in found)} both exist: "
                        "keep one")
    return found[0]


def read_file(folder, name, limit):
    """A file of the fish folder, refused by its size (or for not being a plain file)
    before it is read."""
    try:
        return read_bounded(folder / name, limit)
    except UnreadableFile as error:
        raise FishError(folder, name, str(error))


def load_image(folder, name, data, size=None, largest=None):
    """The image of an artwork file as RGBA. Its declared size is checked before its pixels
    are decoded: exactly size, or at most largest on each side."""
    formats = IMAGE_FORMATS[Path(name).suffix.lower()]
    try:
        with warnings.catch_warnings():
            # Pillow only warns of images past its own bound: refuse them as well.
            warnings.simplefilter("error", Image.DecompressionBombWarning)
            # Only the format its name says: no other decoder (nor Ghostscript) is started.
            with Image.open(io.BytesIO(data), formats=formats) as opened:
                width, height = opened.size
                if size and (width, height) != size:
                    raise FishError(folder, name, f"expected {size[0]} x {size[1]} pixels, "
                                    f"found {width} x {height}")
                if largest and (width > largest or height > largest):
                    raise FishError(folder, name, f"declares {width} x {height} pixels; at "
                                    f"most {largest} x {largest} are used")
                return opened.convert("RGBA")
    except FishError:
        raise
    except UnidentifiedImageError:
        raise FishError(folder, name, f"is not a {formats[0]} image")
    except (Image.DecompressionBombError, Image.DecompressionBombWarning) as error:
        raise FishError(folder, name, f"declares far more pixels than an updater uses ({error})")
    except Exception as error:  # noqa: BLE001 - Pillow raises many kinds on damaged files
        raise FishError(folder, name, f"cannot be read as an image ({type(error).__name__}: "
                        f"{' '.join(str(error).split()) or 'no details'})")


def artwork_bytes(folder, stem, convert, size=None):
    """The artwork's bytes in its exact form: the file itself when it is in that form,
    else the image converted."""
    path = artwork_file(folder, stem)
    data = read_file(folder, path.name, ARTWORK_BYTES_MAX)
    if ARTWORK[stem][1](data):
        return data
    image = load_image(folder, path.name, data, size, None if size else ICON_PIXELS_MAX)
    if stem == "icon" and (image.size[0] != image.size[1] or image.size[0] < 48):
        raise FishError(folder, "icon", f"expected a square of at least 48 pixels, found "
                        f"{image.size[0]} x {image.size[1]}")
    return convert(image)


def read_data(folder):
    data = read_file(folder, "data.vmf", DATA_BYTES_MAX)
    if not data:
        raise FishError(folder, "data.vmf", "is empty: the install would write nothing")
    return data


def fish_number(folder):
    """The fish number fish.txt gives, or None: to name a bad fish's exe."""
    fields = read_description(Path(folder), [])
    try:
        return check_number(folder, fields["number"]) if "number" in fields else None
    except FishError:
        return None


def convert(folder):
    """The checked fish: its identity and the six payload files' bytes. Every field and
    file is checked: a bad fish raises FishErrors with each of its problems."""
    folder = Path(folder)
    if not folder.is_dir():
        raise FishError(folder, "folder", "does not exist")
    problems = []

    def checked(check, *arguments):
        try:
            return check(folder, *arguments)
        except FishError as problem:
            problems.append(problem)
            return None

    fields = read_description(folder, problems)
    number = checked(check_number, fields["number"]) if "number" in fields else None
    name = checked(check_name_ja, fields["name-ja"]) if "name-ja" in fields else None
    english = checked(check_name_en, fields["name-en"]) if "name-en" in fields else None
    payload = {
        "picture.bmp": checked(artwork_bytes, "picture", artwork.bmp8, artwork.PICTURE_SIZE),
        "data.bmp": checked(artwork_bytes, "thumbnail", artwork.bmp24, artwork.THUMBNAIL_SIZE),
        "fish.ico": checked(artwork_bytes, "icon", artwork.ico),
        "data.vmf": checked(read_data),
    }
    if problems:
        raise FishErrors(problems)
    payload.update({"data.txt": name + b"\r\n", "data.txt1": english})
    return {"number": number, "name": name, "english": english, "payload": payload}


def fish_header(fish):
    name = "".join(f"\\x{b:02X}" for b in fish["name"])
    return (f"// The fish this build carries, written by the fish kit.\n#pragma once\n\n"
            f"#define FISH_NUMBER \"{fish['number']}\"\n"
            f"#define FISH_BASE_NAME \"PG{fish['number']}\"\n"
            f"#define FISH_DATA_FILE \"Fish\\\\PG{fish['number']}.vmf\"\n"
            f"#define FISH_NAME \"{name}\"\n"
            f"#define FISH_DATA_SIZE {len(fish['payload']['data.vmf'])}\n")


def write_payload(fish, out):
    """Writes the payload files and fish.h, each whole or not at all."""
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    files = dict(fish["payload"])
    files["fish.h"] = fish_header(fish).encode("ascii")
    for name, data in files.items():
        target = out / name
        if target.exists() and target.read_bytes() == data:
            continue  # unchanged files keep their time, so nothing rebuilds for nothing
        temporary = out / (name + ".tmp")
        temporary.write_bytes(data)
        os.replace(temporary, target)
