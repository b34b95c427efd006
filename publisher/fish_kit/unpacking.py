"""Unpacking: a shipped updater exe back into a fish folder, its artwork in the resource
table's exact forms, so that building the folder embeds the very same bytes."""
import glob
import os
import shutil
import struct
from pathlib import Path

from . import artwork, resources, staging
from .fish_folder import description_text


def picture_file(bitmap):
    """A BMP file of a bitmap resource: the resource with the file header put back, its
    pixel offset past the header and the palette."""
    if artwork._bitmap_info(bitmap, 0) != (*artwork.PICTURE_SIZE, 1, 8, 0):
        raise resources.ExeError("bitmap 102 is not a 96 x 42 picture of 8 bits per pixel")
    colours = struct.unpack_from("<I", bitmap, 32)[0] or 256
    if colours > 256:
        raise resources.ExeError(f"bitmap 102 declares {colours} colours, more than 8 bits "
                                 "can index")
    offset = artwork.FILE_HEADER_BYTES + artwork.INFO_HEADER_BYTES + 4 * colours
    return artwork.file_header(artwork.FILE_HEADER_BYTES + len(bitmap), offset) + bitmap


def icon_file(found):
    """The .ico file of group icon 101: its directory's fields, and the images it names."""
    group = found[(resources.RT_GROUP_ICON, 101, 1033)]
    reserved, kind, count = struct.unpack_from("<HHH", group, 0)
    if (reserved, kind) != (0, 1) or len(group) != 6 + 14 * count:
        raise resources.ExeError("group icon 101 is not an icon directory")
    entries = []
    for i in range(count):
        *fields, size, image_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        # windres writes a reserved byte of 0, and planes or bits of 0 as values of its own.
        if fields[3] != 0 or fields[4] == 0 or fields[5] == 0:
            raise resources.ExeError(f"group icon 101: entry {i + 1} has fields a build cannot "
                                     f"reproduce (reserved {fields[3]}, planes {fields[4]}, "
                                     f"bits {fields[5]})")
        image = found.get((resources.RT_ICON, image_id, 1033))
        if image is None or len(image) != size:
            raise resources.ExeError(f"icon image {image_id} of group icon 101 is missing or "
                                     f"not of its {size} bytes")
        entries.append((tuple(fields), image))
    return artwork.ico_file(entries)


def fish_folder_files(exe, notes=None):
    """{file name: bytes} of the fish folder an updater exe carries; what is worth saying of
    the exe (an older kit's, without a manifest) is added to notes."""
    data = resources.read_exe(exe)
    found = resources.read_resources(data)
    if notes is not None:
        notes += resources.table_notes(found)
    problems = resources.table_problems(found)
    if problems:
        raise resources.ExeError(problems[0])
    number = resources.fish_number(data)
    if number is None:
        raise resources.ExeError("no fish number: the data file name Fish\\PG<number>.vmf "
                                 "is not in it (or more than one is)")
    name_file = found[(resources.RT_RCDATA, "DATA.TXT", 1028)]
    if not name_file.endswith(b"\r\n"):
        raise resources.ExeError("DATA.TXT does not end with CR LF")
    try:
        name_ja = name_file[:-2].decode("cp932")
        name_en = found[(resources.RT_RCDATA, "DATA.TXT1", 1028)].decode("ascii")
    except UnicodeDecodeError as error:
        raise resources.ExeError(f"a name is not code page 932 or ASCII text ({error.reason})")
    # fish.txt must give back the very bytes: one line each, no edge blanks, one encoding.
    for label, name in (("DATA.TXT", name_ja), ("DATA.TXT1", name_en)):
        if name != name.strip() or any(ord(c) < 0x20 for c in name):
            raise resources.ExeError(f"{label}: the name {name!r} has blanks at an end or "
                                     "control characters, which fish.txt cannot hold")
    if name_ja.encode("cp932") != name_file[:-2]:
        raise resources.ExeError("DATA.TXT: the name has characters of two code page 932 "
                                 "forms; written again it would differ")
    return {
        "fish.txt": description_text(number, name_ja, name_en).encode("utf-8"),
        "data.vmf": found[(resources.RT_RCDATA, "DATA.VMF", 1028)],
        "picture.bmp": picture_file(found[(resources.RT_BITMAP, 102, 1028)]),
        "thumbnail.bmp": found[(resources.RT_RCDATA, "DATA.BMP", 1028)],
        "icon.ico": icon_file(found),
    }


def unpack(exe, folder, notes=None):
    """Writes the fish folder of exe into folder, which must not exist or be empty; the
    folder appears whole or not at all, also when the run is killed. Raises ExeError."""
    folder = Path(folder)
    files = fish_folder_files(exe, notes)
    try:
        with staging.staged(folder) as stage:
            if folder.exists() and (not folder.is_dir() or any(folder.iterdir())):
                raise resources.ExeError(f"{folder} exists and is not an empty folder")
            remove_old_staging(folder, files)
            written = stage / "fish"
            written.mkdir()
            for name, data in files.items():
                (written / name).write_bytes(data)
            if folder.exists():
                folder.rmdir()
            os.replace(written, folder)
    except staging.InUse as problem:
        raise resources.ExeError(f"{folder}: {problem}")
    return files


def remove_old_staging(folder, files):
    """Removes what the kit's earlier versions left beside folder when they were killed
    while they unpacked into it: .NAME-XXXXXXXX folders of fish folder files."""
    for path in folder.parent.glob(f".{glob.escape(folder.name)}-*"):
        if path.is_dir() and not path.is_symlink() and all(
                entry.name in files for entry in path.iterdir()):
            shutil.rmtree(path)
