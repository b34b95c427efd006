"""An updater exe's resource table, read with pefile, and its check against a fish."""
import re
from pathlib import Path

import pefile

from . import artwork

RT_ICON, RT_BITMAP, RT_DIALOG, RT_RCDATA, RT_GROUP_ICON = 3, 2, 5, 10, 14
# (type, name, language) of the fixed forms, with their sizes.
FIXED_SIZES = {
    (RT_GROUP_ICON, 101, 1033): 48,
    (RT_ICON, 1, 1033): artwork.ICON_IMAGE_BYTES[32],
    (RT_ICON, 2, 1033): artwork.ICON_IMAGE_BYTES[48],
    (RT_ICON, 3, 1033): artwork.ICON_IMAGE_BYTES[16],
    (RT_BITMAP, 102, 1028): artwork.PICTURE_RESOURCE_BYTES,
}
PAYLOAD = {  # the fish's own resources and the payload files they come from
    (RT_RCDATA, "DATA.VMF", 1028): "data.vmf",
    (RT_RCDATA, "DATA.BMP", 1028): "data.bmp",
    (RT_RCDATA, "DATA.TXT", 1028): "data.txt",
    (RT_RCDATA, "DATA.TXT1", 1028): "data.txt1",
}
DIALOGS = {(RT_DIALOG, "UPDATEDLG", 1031), (RT_DIALOG, "UPDATEDLG", 1041),
           (RT_DIALOG, "UPDATEDLG_", 1033)}
# The data file's name as the exe carries it, in code page 932: "Fish\PG<number>.vmf".
DATA_FILE_NAME = re.compile(rb"Fish\\PG([1-9][0-9]{0,5})\.vmf\0")


class ExeError(Exception):
    """An exe that cannot be read as an updater: what is wrong with it, on one line."""


def _key(entry):
    return str(entry.name) if entry.name is not None else entry.id


def _entries(entry):
    """The entries of a resource directory entry's subdirectory (none for a leaf)."""
    directory = getattr(entry, "directory", None)
    return directory.entries if directory else []


def read_resources(data):
    """{(type, name, language): bytes} of a PE file's resources."""
    try:
        pe = pefile.PE(data=data, fast_load=True)
        pe.parse_data_directories(
            directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    except pefile.PEFormatError as error:
        raise ExeError(f"not a Windows program ({error.value})")
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        raise ExeError("has no resources")
    found = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in _entries(kind):
            for language in _entries(name):
                entry = language.data.struct
                data_bytes = pe.get_data(entry.OffsetToData, entry.Size)
                key = (_key(kind), _key(name), language.id)
                if len(data_bytes) != entry.Size:
                    raise ExeError(f"resource {key} is cut short: {len(data_bytes)} of "
                                   f"{entry.Size} bytes (a truncated file?)")
                found[key] = data_bytes
    return found


def fish_number(data):
    """The fish number from the data file name the exe carries, or None."""
    numbers = set(DATA_FILE_NAME.findall(data))
    return numbers.pop().decode("ascii") if len(numbers) == 1 else None


def table_problems(found):
    """Problems of a resource table against the fixed forms, whatever the fish."""
    problems = []
    for key, size in FIXED_SIZES.items():
        if key not in found:
            problems.append(f"resource {key} is missing")
        elif len(found[key]) != size:
            problems.append(f"resource {key}: expected {size} bytes, found {len(found[key])}")
    for key in PAYLOAD:
        if key not in found:
            problems.append(f"resource {key} is missing")
    thumbnail = found.get((RT_RCDATA, "DATA.BMP", 1028))
    if thumbnail is not None and len(thumbnail) != artwork.THUMBNAIL_BYTES:
        problems.append(f"resource {(RT_RCDATA, 'DATA.BMP', 1028)}: expected "
                        f"{artwork.THUMBNAIL_BYTES} bytes, found {len(thumbnail)}")
    problems += [f"dialog {key} is missing" for key in sorted(DIALOGS) if key not in found]
    problems += [f"unexpected resource {key}" for key in found
                 if key not in FIXED_SIZES and key not in PAYLOAD and key not in DIALOGS]
    return problems


def check_exe(exe, fish):
    """Problems of a built exe's resource table against the fixed forms and the fish."""
    try:
        found = read_resources(Path(exe).read_bytes())
    except (OSError, ExeError) as error:
        return [f"resources cannot be read: {error}"]
    problems = table_problems(found)
    for key, payload_name in PAYLOAD.items():
        if key in found and found[key] != fish["payload"][payload_name]:
            problems.append(f"resource {key}: its bytes differ from the fish's")
    return problems
