"""An updater exe's resource table, read with pefile, and its check against a fish."""
import re

import pefile

from . import artwork
from .files import UnreadableFile, read_bounded
from .fish_folder import DATA_BYTES_MAX
from .workspace import ROOT

RT_ICON, RT_BITMAP, RT_DIALOG, RT_RCDATA, RT_GROUP_ICON, RT_MANIFEST = 3, 2, 5, 10, 14, 24
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
# The application manifest every updater carries (elevation asked for, the systems named);
# exes built by kits before it have none.
MANIFEST_KEY = (RT_MANIFEST, 1, 1033)
MANIFEST = (ROOT / "resources" / "updater.manifest").read_bytes()
NO_MANIFEST = ("has no application manifest (built by an older kit): Windows takes it for a "
               "setup program by its name; rebuild it to add one")
# The data file's name as the exe carries it, in code page 932: "Fish\PG<number>.vmf".
DATA_FILE_NAME = re.compile(rb"Fish\\PG([1-9][0-9]{0,5})\.vmf\0")


# An updater carries its fish's data file and a few hundred kilobytes besides.
EXE_BYTES_MAX = DATA_BYTES_MAX + (4 << 20)


class ExeError(Exception):
    """An exe that cannot be read as an updater: what is wrong with it, on one line."""


def _key(entry):
    return str(entry.name) if entry.name is not None else entry.id


def _entries(entry):
    """The entries of a resource directory entry's subdirectory (none for a leaf)."""
    directory = getattr(entry, "directory", None)
    return directory.entries if directory else []


def _library_reason(error):
    """What pefile (or the structures it gave) said of bad data, on one line."""
    text = getattr(error, "value", None) or str(error) or type(error).__name__
    return " ".join(str(text).split())


def parse_pe(data, directories=()):
    """A pefile view of a PE file with the named data directories parsed. pefile raises
    many kinds of exception on damaged files: each is an ExeError here."""
    try:
        pe = pefile.PE(data=data, fast_load=True)
        if directories:
            pe.parse_data_directories(
                directories=[pefile.DIRECTORY_ENTRY[name] for name in directories])
    except Exception as error:  # noqa: BLE001 - any failure to parse is the file's
        raise ExeError(f"not a Windows program ({_library_reason(error)})")
    return pe


def parse_updater(data):
    """A pefile view of an exe with its resources parsed: what read_resources and
    certificate_table read, parsed once. Raises ExeError."""
    return parse_pe(data, ["IMAGE_DIRECTORY_ENTRY_RESOURCE"])


def read_resources(data, pe=None):
    """{(type, name, language): bytes} of a PE file's resources (from its parse_updater view,
    when given)."""
    pe = pe or parse_updater(data)
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        raise ExeError("has no resources")
    found = {}
    try:
        for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
            for name in _entries(kind):
                for language in _entries(name):
                    entry = getattr(getattr(language, "data", None), "struct", None)
                    key = (_key(kind), _key(name), language.id)
                    if entry is None:
                        raise ExeError(f"resource {key} is a directory, not data (a damaged "
                                       "resource table?)")
                    data_bytes = pe.get_data(entry.OffsetToData, entry.Size)
                    if len(data_bytes) != entry.Size:
                        raise ExeError(f"resource {key} is cut short: {len(data_bytes)} of "
                                       f"{entry.Size} bytes (a truncated file?)")
                    found[key] = data_bytes
    except ExeError:
        raise
    except Exception as error:  # noqa: BLE001 - entries that point outside the file and the like
        raise ExeError(f"its resource table cannot be read ({_library_reason(error)})")
    return found


def certificate_table(data, pe=None):
    """The bytes of a PE file's certificate table (its Authenticode signatures), or None
    when it has none (from a pefile view of it, when given)."""
    pe = pe or parse_pe(data)
    try:
        entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    except (AttributeError, IndexError):
        return None
    # The table's "address" is a file offset, not an RVA.
    if entry.VirtualAddress == 0 or entry.Size == 0:
        return None
    table = data[entry.VirtualAddress:entry.VirtualAddress + entry.Size]
    if len(table) != entry.Size:
        raise ExeError("its certificate table runs past the end of the file")
    return table


def is_signed(data):
    return certificate_table(data) is not None


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
    if MANIFEST_KEY in found and found[MANIFEST_KEY] != MANIFEST:
        problems.append(f"resource {MANIFEST_KEY}: its application manifest is not the kit's")
    problems += [f"unexpected resource {key}" for key in found
                 if key not in FIXED_SIZES and key not in PAYLOAD and key not in DIALOGS and
                 key != MANIFEST_KEY]
    return problems


def table_notes(found):
    """What is worth saying of a sound resource table: an exe of an older kit, without the
    manifest."""
    return [] if MANIFEST_KEY in found else [NO_MANIFEST]


def payload_problems(found, fish):
    """Resources of the fish's payload whose bytes are not the fish's."""
    return [f"resource {key}: its bytes differ from the fish's"
            for key, payload_name in PAYLOAD.items()
            if key in found and found[key] != fish["payload"][payload_name]]


def summary_row(exe):
    """(number, Japanese name, English name, exe name) of an updater, as summary.tsv lists
    it. Raises ExeError."""
    data = read_exe(exe)
    found = read_resources(data)
    problems = table_problems(found)
    number = fish_number(data)
    if problems or number is None:
        raise ExeError(problems[0] if problems else "it carries no fish number")
    return (number, found[(RT_RCDATA, "DATA.TXT", 1028)][:-2].decode("cp932", "replace"),
            found[(RT_RCDATA, "DATA.TXT1", 1028)].decode("ascii", "replace"), exe.name)


def read_exe(exe):
    """The bytes of an exe, refused by its size before it is read. Raises ExeError."""
    try:
        return read_bounded(exe, EXE_BYTES_MAX)
    except UnreadableFile as error:
        raise ExeError(str(error))


def check_exe(exe, fish, notes=None):
    """Problems of a built exe's resource table against the fixed forms and the fish; what
    is worth saying besides is added to notes."""
    try:
        found = read_resources(read_exe(exe))
    except ExeError as error:
        return [f"resources cannot be read: {error}"]
    if notes is not None:
        notes += table_notes(found)
    return table_problems(found) + payload_problems(found, fish)
