#!/usr/bin/python3
"""Draws the sample fish (a threespot dascyllus on a sea-blue ground) and writes it as a fish
folder for the fish kit (publisher/fish-kit): fish.txt, data.vmf, picture.png, thumbnail.png and icon.png.

Deterministic: the same script writes the same bytes every time.
usage: make_fish.py OUTPUT_DIR
"""
import io
import math
import struct
import sys
from pathlib import Path

from PIL import Image

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


def rounded_tile(size, x, y):
    """Inside of the icon's rounded square tile."""
    r = size * 0.18
    cx = min(max(x, r), size - r)
    cy = min(max(y, r), size - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def picture(rows, alpha=None):
    """A Pillow image of RGB rows (top first), with an alpha test when given."""
    height, width = len(rows), len(rows[0])
    image = Image.new("RGBA" if alpha else "RGB", (width, height))
    image.putdata([(*c, 255 if alpha(x, y) else 0) if alpha else c
                   for y, row in enumerate(rows) for x, c in enumerate(row)])
    return image


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


def png(image):
    out = io.BytesIO()
    image.save(out, "PNG")
    return out.getvalue()


def main():
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    files = {
        "fish.txt": "number: 20030\nname-ja: ミツボシクロスズメダイ\n"
                    "name-en: Threespot dascyllus\n".encode("utf-8"),
        "data.vmf": sample_data(201830),
        "picture.png": png(picture(render(96, 42, fish_box(96, 42, 0.98)))),
        "thumbnail.png": png(picture(render(74, 32, fish_box(74, 32, 0.98)))),
        # The 32 and 16 pixel icons are resampled from this one by the kit.
        "icon.png": png(picture(render(48, 48, fish_box(48, 48, 0.98)),
                                lambda x, y: rounded_tile(48, x + 0.5, y + 0.5))),
    }
    for name, data in files.items():
        (out / name).write_bytes(data)


if __name__ == "__main__":
    main()
