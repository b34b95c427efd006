#!/usr/bin/python3
"""Fish kit: checks a fish folder, converts it into the payload an updater embeds, and builds
checked updaters for one fish or a whole catalogue of fish folders.

A fish folder holds:
  fish.txt       UTF-8 lines "key: value": number, name-ja, name-en (nothing else)
  data.vmf       the fish's data file from the host's own tools, not empty
  picture.png    the dialog picture, 96 x 42 (or picture.bmp)
  thumbnail.png  the installed thumbnail, 74 x 32 (or thumbnail.bmp)
  icon.png       square, at least 48 pixels; its alpha gives the icon's mask (or icon.bmp)

usage: fish_kit.py payload FISH_FOLDER OUTPUT_DIR
       fish_kit.py build SOURCE OUTPUT [--pkcs12 FILE --password-file FILE] [--jobs N]
       fish_kit.py check-exe EXE FISH_FOLDER

`payload` writes the six payload files and fish.h (the build runs it). Catalogue builds keep
their build tree in build/fish-kit, or in FISH_KIT_WORK. `build` builds one fish
folder, or every fish folder under a catalogue folder, into OUTPUT: one checked (and, when
asked, signed) PelagioUpdate-NUMBER.exe per good fish and summary.tsv; it lists every error
and exits 1 if any fish was bad. Run it with /usr/bin/python3 (Debian's Pillow).
"""
import hashlib
import multiprocessing
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

from PIL import Image

ROOT = Path(__file__).resolve().parent.parent
KEYS = ("number", "name-ja", "name-en")
PICTURE_SIZE = (96, 42)
THUMBNAIL_SIZE = (74, 32)
ICON_SIZES = (32, 48, 16)  # the order of the icon directory
# The Japanese name control shows one line of 148 pixels; at 13 pixels per full-width
# character (10-point dialog font at 96 dpi) that is 11 characters, the sample's 22 bytes.
NAME_BYTES_MAX = 22
# Headers plus pixel rows come to 2 bytes less than the resource table's sizes; the pixel
# data is padded as editors do, with the size fields kept consistent.
EXTRA_PAD = 2


class FishError(Exception):
    """One bad input: "FOLDER: FIELD: what is wrong"."""

    def __init__(self, folder, field, problem):
        super().__init__(f"{folder}: {field}: {problem}")


def palette():
    """256 colours: a 6x6x6 cube, 16 greys and 24 sea blues."""
    colours = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    colours += [(i * 17, i * 17, i * 17) for i in range(16)]
    colours += [(20 + i * 2, 80 + i * 3, 150 + i * 2) for i in range(24)]
    return colours


PALETTE = palette()


def quantise(image):
    """Rows (top first) of palette indices: each pixel's nearest palette colour, the lowest
    index on a tie (Pillow's own quantiser breaks ties differently)."""
    cache = {}

    def nearest(c):
        if c not in cache:
            cache[c] = min(range(len(PALETTE)),
                           key=lambda i: sum((a - b) ** 2 for a, b in zip(c, PALETTE[i])))
        return cache[c]

    width, height = image.size
    pixels = list(image.convert("RGB").getdata())
    return [[nearest(c) for c in pixels[y * width:(y + 1) * width]] for y in range(height)]


def palette_bytes():
    return b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)


def info_header(width, height, bits, image_size, ppm=0, colours_used=0):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, image_size, ppm, ppm,
                       colours_used, 0)


def indexed_pixels(rows):
    """Bottom-up 8-bit rows, each padded to 4 bytes."""
    out = bytearray()
    for row in reversed(rows):
        out += bytes(row) + b"\0" * (-len(row) % 4)
    return bytes(out)


def bmp8(image):
    width, height = image.size
    pixels = indexed_pixels(quantise(image)) + b"\0" * EXTRA_PAD
    offset = 14 + 40 + 1024
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return header + info_header(width, height, 8, len(pixels), 0, 256) + palette_bytes() + pixels


def bmp24(image):
    width, height = image.size
    rgb = list(image.convert("RGB").getdata())
    pixels = bytearray()
    for y in reversed(range(height)):
        line = b"".join(struct.pack("<BBB", b, g, r) for r, g, b in rgb[y * width:(y + 1) * width])
        pixels += line + b"\0" * (-len(line) % 4)
    pixels += b"\0" * EXTRA_PAD
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    return header + info_header(width, height, 24, len(pixels), 2834) + bytes(pixels)


def icon_image(image, size):
    """One icon image: 8 bits with the palette, and a mask where alpha is below half."""
    if image.size != (size, size):
        image = image.resize((size, size), Image.Resampling.LANCZOS)
    xor = indexed_pixels(quantise(image))
    alpha = list(image.getchannel("A").getdata())
    mask = bytearray()
    for y in reversed(range(size)):
        line = bytearray((size + 7) // 8)
        for x in range(size):
            if alpha[y * size + x] < 128:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line + b"\0" * (-len(line) % 4)
    return info_header(size, size * 2, 8, len(xor) + len(mask)) + palette_bytes() + xor + mask


def ico(image):
    images = [(size, icon_image(image, size)) for size in ICON_SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 8, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def read_description(folder):
    path = folder / "fish.txt"
    try:
        text = path.read_bytes().decode("utf-8")
    except OSError as error:
        raise FishError(folder, "fish.txt", f"cannot be read ({error.strerror})")
    except UnicodeDecodeError:
        raise FishError(folder, "fish.txt", "is not UTF-8")
    fields = {}
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip():
            continue
        key, colon, value = line.partition(":")
        key = key.strip()
        if not colon or key not in KEYS:
            raise FishError(folder, "fish.txt", f"line {number}: unknown key {key!r} "
                            f"(expected {', '.join(KEYS)})")
        if key in fields:
            raise FishError(folder, key, "given twice")
        fields[key] = value.strip()
    for key in KEYS:
        if key not in fields:
            raise FishError(folder, key, "missing from fish.txt")
    return fields


def check_identity(folder, fields):
    number = fields["number"]
    if not re.fullmatch(r"[1-9][0-9]{0,5}", number):
        raise FishError(folder, "number", f"{number!r} is not a plain decimal of 1 to 6 digits")
    name = fields["name-ja"]
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
    english = fields["name-en"]
    if not english or not all(" " <= c <= "~" for c in english):
        raise FishError(folder, "name-en", "must be printable ASCII and not empty")
    return number, encoded, english.encode("ascii")


def load_image(folder, stem, size=None):
    for suffix in (".png", ".bmp"):
        path = folder / (stem + suffix)
        if path.exists():
            break
    else:
        raise FishError(folder, stem, f"{stem}.png or {stem}.bmp is missing")
    try:
        with Image.open(path) as opened:
            image = opened.convert("RGBA")
    except (OSError, ValueError) as error:
        raise FishError(folder, path.name, f"cannot be read as an image ({error})")
    if size and image.size != size:
        raise FishError(folder, path.name, f"expected {size[0]} x {size[1]} pixels, found "
                        f"{image.size[0]} x {image.size[1]}")
    return image


def convert(folder):
    """The checked fish: its identity and the six payload files' bytes."""
    folder = Path(folder)
    if not folder.is_dir():
        raise FishError(folder, "folder", "does not exist")
    fields = read_description(folder)
    number, name, english = check_identity(folder, fields)
    try:
        data = (folder / "data.vmf").read_bytes()
    except OSError as error:
        raise FishError(folder, "data.vmf", f"cannot be read ({error.strerror})")
    if not data:
        raise FishError(folder, "data.vmf", "is empty: the install would write nothing")
    picture = load_image(folder, "picture", PICTURE_SIZE)
    thumbnail = load_image(folder, "thumbnail", THUMBNAIL_SIZE)
    icon = load_image(folder, "icon")
    if icon.size[0] != icon.size[1] or icon.size[0] < 48:
        raise FishError(folder, "icon", f"expected a square of at least 48 pixels, found "
                        f"{icon.size[0]} x {icon.size[1]}")
    payload = {
        "picture.bmp": bmp8(picture),
        "data.bmp": bmp24(thumbnail),
        "fish.ico": ico(icon),
        "data.vmf": data,
        "data.txt": name + b"\r\n",
        "data.txt1": english,
    }
    return {"number": number, "name": name, "english": english, "payload": payload}


def fish_header(fish):
    name = "".join(f"\\x{b:02X}" for b in fish["name"])
    return (f"// The fish this build carries, written by tools/fish_kit.py.\n#pragma once\n\n"
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


# --- The built exe's resource table -------------------------------------------------------

def pe_resources(data):
    """{(type, name, language): bytes} of a PE file's resource section."""
    def u16(o): return struct.unpack_from("<H", data, o)[0]
    def u32(o): return struct.unpack_from("<I", data, o)[0]
    if data[:2] != b"MZ" or data[u32(0x3C):u32(0x3C) + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    coff = u32(0x3C) + 4
    sections, optional = u16(coff + 2), coff + 20
    directories = optional + (96 if u16(optional) == 0x10B else 112)
    rsrc_rva = u32(directories + 8 * 2)
    table = optional + u16(coff + 16)
    spans = [(u32(s + 12), max(u32(s + 8), u32(s + 16)), u32(s + 20))
             for s in range(table, table + 40 * sections, 40)]

    def offset(rva):
        for start, size, raw in spans:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f"RVA {rva:#x} in no section")

    base = offset(rsrc_rva)

    def entries(directory):
        count = u16(directory + 12) + u16(directory + 14)
        for e in range(directory + 16, directory + 16 + 8 * count, 8):
            key, target = u32(e), u32(e + 4)
            if key & 0x80000000:
                at = base + (key & 0x7FFFFFFF)
                key = data[at + 2:at + 2 + 2 * u16(at)].decode("utf-16-le")
            yield key, target

    found = {}
    for kind, names in entries(base):
        for name, languages in entries(base + (names & 0x7FFFFFFF)):
            for language, leaf in entries(base + (languages & 0x7FFFFFFF)):
                at = base + leaf
                start = offset(u32(at))
                found[(kind, name, language)] = data[start:start + u32(at + 4)]
    return found


def check_exe(exe, fish):
    """Problems of a built exe's resource table against the fixed forms and the fish."""
    payload = fish["payload"]
    expected = {
        (14, 101, 1033): 48, (3, 1, 1033): 2216, (3, 2, 1033): 3752, (3, 3, 1033): 1384,
        (2, 102, 1028): 5098,
        (10, "DATA.VMF", 1028): payload["data.vmf"],
        (10, "DATA.BMP", 1028): payload["data.bmp"],
        (10, "DATA.TXT", 1028): payload["data.txt"],
        (10, "DATA.TXT1", 1028): payload["data.txt1"],
    }
    dialogs = {(5, "UPDATEDLG", 1031), (5, "UPDATEDLG", 1041), (5, "UPDATEDLG_", 1033)}
    try:
        found = pe_resources(Path(exe).read_bytes())
    except (OSError, ValueError, struct.error) as error:
        return [f"resources cannot be read: {error}"]
    problems = []
    for key, want in expected.items():
        got = found.get(key)
        if got is None:
            problems.append(f"resource {key} is missing")
        elif isinstance(want, int) and len(got) != want:
            problems.append(f"resource {key}: expected {want} bytes, found {len(got)}")
        elif isinstance(want, bytes) and got != want:
            problems.append(f"resource {key}: its bytes differ from the fish's")
    problems += [f"dialog {key} is missing" for key in dialogs if key not in found]
    problems += [f"unexpected resource {key}" for key in found
                 if key not in expected and key not in dialogs]
    if len(payload["data.bmp"]) != 7224:
        problems.append(f"thumbnail: expected 7224 bytes, found {len(payload['data.bmp'])}")
    return problems


# --- Building --------------------------------------------------------------------------------

def fish_folders(source):
    source = Path(source)
    if (source / "fish.txt").exists():
        return [source]
    return sorted(p for p in source.iterdir() if p.is_dir() and not p.name.startswith("."))


def checked(folder):
    """The converted fish, or the error's text (for a worker process)."""
    try:
        return folder, convert(folder)
    except FishError as error:
        return folder, str(error)


def build(source, output, pkcs12=None, password_file=None, jobs=None):
    output = Path(output)
    good, errors = {}, []
    with multiprocessing.Pool(int(jobs) if jobs else None) as pool:
        results = pool.map(checked, fish_folders(source))
    for folder, fish in results:
        if isinstance(fish, str):
            errors.append((folder, fish))
            continue
        if fish["number"] in good:
            errors.append((folder, str(FishError(folder, "number", f"{fish['number']} is "
                                                 f"also the number of {good[fish['number']][0]}"))))
            continue
        good[fish["number"]] = (folder, fish)

    work = Path(os.environ.get("FISH_KIT_WORK", ROOT / "build" / "fish-kit"))
    listing = work / "fish_list.cmake"
    work.mkdir(parents=True, exist_ok=True)
    # The payloads are converted already (in checking them): the build only compiles and links.
    lines = []
    for number, (folder, fish) in sorted(good.items()):
        payload = work / "payload" / number
        write_payload(fish, payload)
        lines.append(f'add_fish_updater(PelagioUpdate-{number} "{folder.resolve().as_posix()}" '
                     f'PAYLOAD "{payload.as_posix()}")\n')
    if not listing.exists() or listing.read_text() != "".join(lines):
        listing.write_text("".join(lines))
    built = {}
    if good:
        tree = work / "i686"
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(tree), "-G", "Ninja",
                        f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/toolchain-i686-w64-mingw32.cmake",
                        "-DCMAKE_BUILD_TYPE=MinSizeRel", f"-DPELAGIO_FISH_LIST={listing}"],
                       check=True, stdout=subprocess.DEVNULL)
        command = ["cmake", "--build", str(tree), "--target"]
        command += [f"PelagioUpdate-{number}" for number in good]
        if jobs:
            command += ["-j", str(jobs)]
        # -k 0: one fish that fails to build does not stop the others.
        subprocess.run(command + ["--", "-k", "0"], stdout=subprocess.DEVNULL)
        for number, (folder, fish) in good.items():
            exe = tree / "bin" / f"PelagioUpdate-{number}.exe"
            problems = [] if exe.exists() else ["the build made no exe"]
            problems = problems or check_exe(exe, fish)
            if problems:
                errors.append((folder, f"{folder}: exe: {problems[0]}"))
            else:
                built[number] = exe

    output.mkdir(parents=True, exist_ok=True)
    rows = []
    for number, exe in sorted(built.items()):
        folder, fish = good[number]
        target = output / exe.name
        with tempfile.TemporaryDirectory(dir=output) as staging:
            staged = Path(staging) / exe.name
            if pkcs12:
                result = subprocess.run(
                    ["osslsigncode", "sign", "-pkcs12", str(pkcs12), "-readpass",
                     str(password_file), "-h", "sha256", "-in", str(exe), "-out", str(staged)],
                    capture_output=True, text=True)
                if result.returncode != 0:
                    errors.append((folder, f"{folder}: signing: "
                                   f"{(result.stdout + result.stderr).strip().splitlines()[-1]}"))
                    continue
                problems = check_exe(staged, fish)
                if problems:
                    errors.append((folder, f"{folder}: signed exe: {problems[0]}"))
                    continue
            else:
                shutil.copyfile(exe, staged)
            os.replace(staged, target)
        data = target.read_bytes()
        rows.append("\t".join([number, fish["name"].decode("cp932"), fish["english"].decode(),
                               str(len(data)), hashlib.sha256(data).hexdigest(), target.name]))
    rows += ["\t".join(["-", "-", "-", "-", "-", message]) for _, message in errors]
    summary = "number\tname-ja\tname-en\tbytes\tsha256\texe or error\n" + "".join(
        row + "\n" for row in rows)
    (output / "summary.tsv").write_text(summary, encoding="utf-8")
    print(summary, end="")
    for _, message in errors:
        print(f"fish_kit: {message}", file=sys.stderr)
    return 1 if errors else 0


def main(argv):
    if len(argv) >= 3 and argv[0] == "payload":
        try:
            write_payload(convert(argv[1]), argv[2])
        except FishError as error:
            print(f"fish_kit: {error}", file=sys.stderr)
            return 1
        return 0
    if len(argv) == 3 and argv[0] == "check-exe":
        try:
            problems = check_exe(argv[1], convert(argv[2]))
        except FishError as error:
            problems = [str(error)]
        for problem in problems:
            print(f"fish_kit: {argv[1]}: {problem}", file=sys.stderr)
        return 1 if problems else 0
    if len(argv) >= 3 and argv[0] == "build":
        options = dict(zip(argv[3::2], argv[4::2]))
        unknown = set(options) - {"--pkcs12", "--password-file", "--jobs"}
        if not unknown and ("--pkcs12" in options) == ("--password-file" in options):
            return build(argv[1], argv[2], options.get("--pkcs12"),
                         options.get("--password-file"), options.get("--jobs"))
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
