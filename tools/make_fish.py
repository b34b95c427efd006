#!/usr/bin/env python3
"""Draws the sample fish (a threespot dascyllus on a sea-blue ground) and writes the payload
files the build embeds: picture.bmp, fish.ico, data.bmp, data.vmf, data.txt, data.txt1.

Deterministic: the same script writes the same bytes every time.
usage: make_fish.py OUTPUT_DIR
"""
import math
import struct
import sys
from pathlib import Path

SUPERSAMPLE = 4


def clamp(v, lo=0.0, hi=1.0):
    return max(lo, min(hi, v))


def sea(x, y):
    """Sea-blue ground: lighter near the surface, with soft light bands."""
    t = clamp(y)
    band = 0.5 + 0.5 * math.sin(9.0 * x + 5.0 * y)
    r = 60 - 40 * t + 10 * band * (1 - t)
    g = 150 - 70 * t + 18 * band * (1 - t)
    b = 205 - 55 * t + 12 * band * (1 - t)
    return (r, g, b)


def fish_layer(u, v):
    """Colour and coverage of the fish at fish coordinates (length 1, head left, y down).
    Returns None outside the fish."""
    # Deep, rounded body with a blunt head.
    bx, by = u / 0.5, v / 0.37
    body = abs(bx) ** 2.2 + abs(by) ** 2.0 <= 1.0
    peduncle = 0.35 <= u <= 0.62 and abs(v) <= 0.11
    tail = 0.58 <= u <= 0.82 and abs(v) <= 0.09 + (u - 0.58) * 1.1
    fork = u > 0.74 and abs(v) < (u - 0.74) * 1.6
    tail = tail and not fork
    top = -0.37 * math.sqrt(max(0.0, 1 - abs(u / 0.5) ** 2.2))
    dorsal = -0.2 <= u <= 0.5 and top - 0.13 * (1 - abs(u - 0.12) / 0.4) <= v <= top + 0.01
    anal = 0.08 <= u <= 0.48 and -top - 0.01 <= v <= -top + 0.10 * (1 - abs(u - 0.3) / 0.25)
    pelvic = -0.18 <= u <= -0.02 and -top - 0.01 <= v <= -top + 0.12 * (u + 0.18) / 0.16
    if not (body or peduncle or tail or dorsal or anal or pelvic):
        return None
    if body or peduncle:
        sheen = clamp(-v / 0.37)
        colour = (18 + 30 * sheen, 20 + 34 * sheen, 26 + 46 * sheen)
    else:
        colour = (34, 38, 48)  # fins: dark grey, a little lighter than the body
    # The three white spots: one on the forehead, one each side of the back (one shows).
    for cx, cy, radius in ((-0.33, -0.21, 0.055), (0.12, -0.2, 0.085)):
        if (u - cx) ** 2 + (v - cy) ** 2 <= radius ** 2:
            colour = (245, 246, 240)
    # Eye with a small highlight.
    if (u + 0.36) ** 2 + (v + 0.05) ** 2 <= 0.06 ** 2:
        colour = (110, 120, 140)
    if (u + 0.36) ** 2 + (v + 0.05) ** 2 <= 0.042 ** 2:
        colour = (8, 8, 12)
        if (u + 0.375) ** 2 + (v + 0.065) ** 2 <= 0.015 ** 2:
            colour = (200, 210, 220)
    return colour


def render(width, height, fish_box):
    """RGB rows (top first) of the fish placed by fish_box = (centre x, centre y, length)."""
    centre_x, centre_y, length = fish_box
    rows = []
    for py in range(height):
        row = []
        for px in range(width):
            acc = [0.0, 0.0, 0.0]
            for sy in range(SUPERSAMPLE):
                for sx in range(SUPERSAMPLE):
                    x = px + (sx + 0.5) / SUPERSAMPLE
                    y = py + (sy + 0.5) / SUPERSAMPLE
                    colour = fish_layer((x - centre_x) / length + 0.16, (y - centre_y) / length)
                    if colour is None:
                        colour = sea(x / width, y / height)
                    for i in range(3):
                        acc[i] += colour[i]
            n = SUPERSAMPLE * SUPERSAMPLE
            row.append(tuple(int(round(clamp(c / n, 0, 255))) for c in acc))
        rows.append(row)
    return rows


def fish_box(width, height, scale):
    """Places a fish of the given length (as a share of the image) in the image's centre."""
    length = min(width / 1.35, height / 0.95) * scale
    return (width / 2, height / 2, length)


def palette():
    """256 colours: a 6x6x6 cube, 16 greys and 24 sea blues."""
    colours = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    colours += [(i * 17, i * 17, i * 17) for i in range(16)]
    colours += [(20 + i * 2, 80 + i * 3, 150 + i * 2) for i in range(24)]
    return colours


def quantise(rows, colours):
    cache = {}

    def nearest(c):
        if c not in cache:
            cache[c] = min(range(len(colours)),
                           key=lambda i: sum((a - b) ** 2 for a, b in zip(c, colours[i])))
        return cache[c]

    return [[nearest(c) for c in row] for row in rows]


def palette_bytes(colours):
    return b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in colours)


def info_header(width, height, bits, image_size, ppm=0, colours_used=0):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, image_size, ppm, ppm,
                       colours_used, 0)


def indexed_pixels(indices):
    """Bottom-up 8-bit rows, each padded to 4 bytes."""
    out = b""
    for row in reversed(indices):
        line = bytes(row)
        out += line + b"\0" * (-len(line) % 4)
    return out


def bmp8(rows, colours, extra_pad):
    height, width = len(rows), len(rows[0])
    pixels = indexed_pixels(quantise(rows, colours)) + b"\0" * extra_pad
    offset = 14 + 40 + 1024
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    info = info_header(width, height, 8, len(pixels), 0, 256)
    return header + info + palette_bytes(colours) + pixels


def bmp24(rows, ppm, extra_pad):
    height, width = len(rows), len(rows[0])
    pixels = b""
    for row in reversed(rows):
        line = b"".join(struct.pack("<BBB", b, g, r) for r, g, b in row)
        pixels += line + b"\0" * (-len(line) % 4)
    pixels += b"\0" * extra_pad
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    return header + info_header(width, height, 24, len(pixels), ppm) + pixels


def rounded_tile(size, x, y):
    """Inside of the icon's rounded square tile."""
    r = size * 0.18
    cx = min(max(x, r), size - r)
    cy = min(max(y, r), size - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def icon_image(size, colours):
    rows = render(size, size, fish_box(size, size, 0.98))
    xor = indexed_pixels(quantise(rows, colours))
    mask = b""
    for py in reversed(range(size)):
        bits = 0
        line = b""
        for px in range(size):
            transparent = not rounded_tile(size, px + 0.5, py + 0.5)
            bits = (bits << 1) | transparent
            if px % 8 == 7:
                line += bytes([bits])
                bits = 0
        mask += line + b"\0" * (-len(line) % 4)
    info = info_header(size, size * 2, 8, len(xor) + len(mask))
    return info + palette_bytes(colours) + xor + mask


def ico(images):
    sizes = [size for size, _ in images]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 8, len(data), offset)
        offset += len(data)
    assert sizes == [32, 48, 16]
    return out + b"".join(data for _, data in images)


def sample_data(size):
    """Placeholder for the host's fish data: a text saying what it is, then xorshift bytes."""
    head = (b"PELAGIO2 SAMPLE FISH DATA 20030\r\n"
            b"Sample data for testing the updater; not a real fish file.\r\n\x1a")
    out = bytearray(head)
    state = 0x2003_0001
    while len(out) < size:
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        out += struct.pack("<I", state)
    return bytes(out[:size])


def main():
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    colours = palette()
    # Headers plus pixel rows come to 2 bytes less than the sizes the resource table needs;
    # the pixel data is padded as editors do, with the size fields kept consistent.
    files = {
        "picture.bmp": bmp8(render(96, 42, fish_box(96, 42, 0.98)), colours, 2),
        "data.bmp": bmp24(render(74, 32, fish_box(74, 32, 0.98)), 2834, 2),
        "fish.ico": ico([(s, icon_image(s, colours)) for s in (32, 48, 16)]),
        "data.vmf": sample_data(201830),
        "data.txt": "ミツボシクロスズメダイ\r\n".encode("cp932"),
        "data.txt1": b"Threespot dascyllus",
    }
    for name, data in files.items():
        (out / name).write_bytes(data)


if __name__ == "__main__":
    main()
