"""Damaged copies of good files, as a designer's broken export or a broken download gives
them, drawn from a seeded random source: artwork files (PNG, BMP, ICO) and updater exes."""
import struct
import zlib

import pefile

ARTWORK_KINDS = ("truncated", "header", "body", "random", "empty", "huge")
EXE_KINDS = ("truncated", "header", "flipped", "random", "directory", "data entry",
             "loop", "section table")


def flipped(data, rng, start, end, count):
    data = bytearray(data)
    end = min(end, len(data))
    for _ in range(count):
        if start < end:
            data[rng.randrange(start, end)] ^= rng.randrange(1, 256)
    return bytes(data)


def huge_png(data, rng):
    """The IHDR chunk declares a huge size, its CRC made right again."""
    width, height = rng.choice([(30000, 30000), (65535, 1), (1, 2**31 - 1), (4097, 4097)])
    chunk = b"IHDR" + struct.pack(">II", width, height) + data[24:29]
    return data[:12] + chunk + struct.pack(">I", zlib.crc32(chunk)) + data[33:]


def huge_bmp(data, rng):
    width, height = rng.choice([(30000, 30000), (-5, 42), (96, -2**31), (2**31 - 1, 1)])
    return data[:18] + struct.pack("<ii", width, height) + data[26:]


def huge_ico(data, rng):
    """The first image's own header declares a huge size."""
    offset = struct.unpack_from("<I", data, 18)[0]
    size = rng.choice([30000, 2**30, -7])
    return data[:offset + 4] + struct.pack("<ii", size, 2 * size) + data[offset + 12:]


HUGE = {".png": huge_png, ".bmp": huge_bmp, ".ico": huge_ico}


def damaged_artwork(data, suffix, kind, rng):
    if kind == "truncated":
        return data[:rng.randrange(1, len(data))]
    if kind == "header":
        return flipped(data, rng, 0, 64, rng.randrange(1, 5))
    if kind == "body":
        return flipped(data, rng, 64, len(data), rng.randrange(1, 9))
    if kind == "random":
        return rng.randbytes(rng.randrange(1, 4096))
    if kind == "empty":
        return b""
    return HUGE[suffix](data, rng)


def resource_layout(data):
    """(file offset of the resource section, its size, file offsets of its directory
    entries, file offsets of its data entries) of a good exe."""
    pe = pefile.PE(data=data)
    section = next(s for s in pe.sections if s.Name.rstrip(b"\0") == b".rsrc")
    base = section.PointerToRawData
    rva = section.VirtualAddress
    entries, leaves = [], []

    def walk(directory):
        for entry in directory.entries:
            entries.append(entry.struct.get_file_offset())
            if hasattr(entry, "directory"):
                walk(entry.directory)
            else:
                leaves.append(entry.data.struct.get_file_offset())

    walk(pe.DIRECTORY_ENTRY_RESOURCE)
    return base, section.SizeOfRawData, rva, entries, leaves


def damaged_exe(data, kind, rng, layout):
    base, size, _, entries, leaves = layout
    if kind == "truncated":
        return data[:rng.randrange(1, len(data))]
    if kind == "header":
        return flipped(data, rng, 0, 0x400, rng.randrange(1, 5))
    if kind == "flipped":
        return flipped(data, rng, 0, len(data), rng.randrange(1, 17))
    if kind == "random":
        return rng.randbytes(rng.randrange(64, 8192))
    if kind == "directory":
        return flipped(data, rng, base, base + min(size, 1024), rng.randrange(1, 9))
    out = bytearray(data)
    if kind == "data entry":
        # A resource's data entry points outside the file, or claims more bytes than it has.
        leaf = rng.choice(leaves)
        field = rng.choice([0, 4])
        struct.pack_into("<I", out, leaf + field, rng.choice(
            [0xFFFFFFF0, len(data) * 4, 0x7FFFFFFF, rng.randrange(2**32)]))
    elif kind == "loop":
        # A subdirectory entry points back at the root (or at its own table).
        entry = rng.choice(entries)
        struct.pack_into("<I", out, entry + 4, 0x80000000 | rng.choice([0, 16, 24]))
    else:  # section table: the resource section's raw offset or size out of the file
        pe = pefile.PE(data=data, fast_load=True)
        section = next(s for s in pe.sections if s.Name.rstrip(b"\0") == b".rsrc")
        at = section.get_file_offset() + rng.choice([16, 20])  # SizeOfRawData, PointerToRawData
        struct.pack_into("<I", out, at, rng.choice([len(data) * 2, 0xFFFFFE00, 0]))
    return bytes(out)


def without_manifest(data):
    """An updater as kits before the application manifest built it: the manifest's type (the
    last of the resource root's id entries, 24) taken out of the resource table."""
    pe = pefile.PE(data=data)
    root = pe.DIRECTORY_ENTRY_RESOURCE
    assert root.entries[-1].id == 24, "the manifest is not the last resource type"
    root.struct.NumberOfIdEntries -= 1
    return bytes(pe.write())
