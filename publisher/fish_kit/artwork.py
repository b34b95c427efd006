"""The artwork in the resource table's exact forms: the dialog picture (an 8-bit BMP with the
build's palette), the thumbnail (a complete 24-bit BMP file) and the icon (three 8-bit
images, 32, 48 and 16 pixels, with masks). Input already in such a form is embedded byte for
byte; any other image is converted with Pillow."""
import struct

from PIL import Image

PICTURE_SIZE = (96, 42)
THUMBNAIL_SIZE = (74, 32)
ICON_SIZES = (32, 48, 16)  # the order of the icon directory
# Sizes in the resource table: the bitmap resource (a BMP file less its 14-byte file header),
# the thumbnail file and the three icon images.
PICTURE_RESOURCE_BYTES = 5098
THUMBNAIL_BYTES = 7224
ICON_IMAGE_BYTES = {32: 2216, 48: 3752, 16: 1384}
PIXELS_PER_METRE = 2834
# Headers plus pixel rows come to 2 bytes less than the resource table's sizes; the pixel
# data is padded as editors do, with the size fields kept consistent.
EXTRA_PAD = 2
FILE_HEADER_BYTES = 14
INFO_HEADER_BYTES = 40


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


def file_header(size, offset):
    return struct.pack("<2sIHHI", b"BM", size, 0, 0, offset)


def indexed_pixels(rows):
    """Bottom-up 8-bit rows, each padded to 4 bytes."""
    out = bytearray()
    for row in reversed(rows):
        out += bytes(row) + b"\0" * (-len(row) % 4)
    return bytes(out)


def bmp8(image):
    width, height = image.size
    pixels = indexed_pixels(quantise(image)) + b"\0" * EXTRA_PAD
    offset = FILE_HEADER_BYTES + 40 + 1024
    return (file_header(offset + len(pixels), offset) +
            info_header(width, height, 8, len(pixels), 0, 256) + palette_bytes() + pixels)


def bmp24(image):
    width, height = image.size
    rgb = list(image.convert("RGB").getdata())
    pixels = bytearray()
    for y in reversed(range(height)):
        line = b"".join(struct.pack("<BBB", b, g, r) for r, g, b in rgb[y * width:(y + 1) * width])
        pixels += line + b"\0" * (-len(line) % 4)
    pixels += b"\0" * EXTRA_PAD
    offset = FILE_HEADER_BYTES + 40
    return (file_header(offset + len(pixels), offset) +
            info_header(width, height, 24, len(pixels), PIXELS_PER_METRE) + bytes(pixels))


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


def ico_file(entries):
    """An .ico file of (directory fields, image) pairs; the fields are width, height, colour
    count, reserved, planes and bits per pixel, as a group icon resource holds them."""
    out = struct.pack("<HHH", 0, 1, len(entries))
    offset = 6 + 16 * len(entries)
    for fields, data in entries:
        out += struct.pack("<BBBBHHII", *fields, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in entries)


def ico(image):
    return ico_file([((size % 256, size % 256, 0, 0, 1, 8), icon_image(image, size))
                     for size in ICON_SIZES])


# --- Recognising input that is in the exact form already -------------------------------------

def _bitmap_info(data, at):
    """(width, height, planes, bits, compression) of a BITMAPINFOHEADER, or None."""
    if len(data) < at + 40 or struct.unpack_from("<I", data, at)[0] != 40:
        return None
    width, height, planes, bits, compression = struct.unpack_from("<iiHHI", data, at + 4)
    return width, height, planes, bits, compression


def is_exact_picture(data):
    """An 8-bit, uncompressed, bottom-up 96 x 42 BMP file whose resource form (the file less
    its file header) has the table's size."""
    return (data[:2] == b"BM" and len(data) == FILE_HEADER_BYTES + PICTURE_RESOURCE_BYTES and
            _bitmap_info(data, FILE_HEADER_BYTES) == (*PICTURE_SIZE, 1, 8, 0))


def is_exact_thumbnail(data):
    """A complete 24-bit, uncompressed 74 x 32 BMP file of the table's size, at 2834 pixels
    per metre both ways."""
    return (data[:2] == b"BM" and len(data) == THUMBNAIL_BYTES and
            _bitmap_info(data, FILE_HEADER_BYTES) == (*THUMBNAIL_SIZE, 1, 24, 0) and
            struct.unpack_from("<ii", data, FILE_HEADER_BYTES + 24) ==
            (PIXELS_PER_METRE, PIXELS_PER_METRE))


def ico_images(data):
    """[(directory fields, image bytes)] of an .ico file, or None if it is not one."""
    if len(data) < 6 or struct.unpack_from("<HHH", data, 0)[:2] != (0, 1):
        return None
    count = struct.unpack_from("<H", data, 4)[0]
    if len(data) < 6 + 16 * count:
        return None
    images = []
    for i in range(count):
        *fields, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        if offset + size > len(data):
            return None
        images.append((tuple(fields), data[offset:offset + size]))
    return images


def is_exact_icon(data):
    """Three 8-bit images of 32, 48 and 16 pixels, in that order, each with its mask and of
    the table's size."""
    images = ico_images(data)
    if not images or len(images) != len(ICON_SIZES):
        return False
    for size, (_, image) in zip(ICON_SIZES, images):
        if (len(image) != ICON_IMAGE_BYTES[size] or
                _bitmap_info(image, 0) != (size, 2 * size, 1, 8, 0)):
            return False
    return True
