"""The artwork in the resource table's exact forms: the dialog picture (an 8-bit BMP with a
palette of its own colours), the thumbnail (a complete 24-bit BMP file) and the icon (three
8-bit images, 32, 48 and 16 pixels, each with a palette of its own and a mask). Input already
in such a form is embedded byte for byte; any other image is converted with Pillow."""
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


def quantise(image, count=256):
    """(rows top first of palette indices, palette [(r, g, b)]) of an image in a palette of
    its own colours: Pillow's median cut, no dithering, the same on every run."""
    indexed = image.convert("RGB").quantize(count, Image.Quantize.MEDIANCUT,
                                            dither=Image.Dither.NONE)
    flat = indexed.getpalette()[:3 * count]
    palette = [tuple(flat[i:i + 3]) for i in range(0, len(flat), 3)]
    width, height = image.size
    indices = list(indexed.getdata())
    return [indices[y * width:(y + 1) * width] for y in range(height)], palette


def quantise_opaque(image, opaque):
    """quantise for an icon image: the palette is made of its opaque pixels' colours (255 at
    most) and black, which the transparent pixels take, as an icon's colour under its mask
    must be (Windows draws the screen XOR that colour there)."""
    width, height = image.size
    rgb = image.convert("RGB")
    colours = [c for c, keep in zip(rgb.getdata(), opaque) if keep]
    palette = []
    if colours:
        sample = Image.new("RGB", (len(colours), 1))
        sample.putdata(colours)
        palette = quantise(sample, 255)[1]
    black = len(palette)
    palette += [(0, 0, 0)] * (256 - len(palette))
    target = Image.new("P", (1, 1))
    target.putpalette([channel for colour in palette for channel in colour])
    indices = list(rgb.quantize(palette=target, dither=Image.Dither.NONE).getdata())
    indices = [i if keep else black for i, keep in zip(indices, opaque)]
    return [indices[y * width:(y + 1) * width] for y in range(height)], palette


def palette_bytes(palette):
    """A BMP colour table of 256 entries (blue, green, red, 0), padded with black."""
    palette = list(palette) + [(0, 0, 0)] * (256 - len(palette))
    return b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)


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
    rows, palette = quantise(image)
    pixels = indexed_pixels(rows) + b"\0" * EXTRA_PAD
    offset = FILE_HEADER_BYTES + 40 + 1024
    return (file_header(offset + len(pixels), offset) +
            info_header(width, height, 8, len(pixels), 0, 256) + palette_bytes(palette) + pixels)


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
    """One icon image: 8 bits with a palette of its own, and a mask where alpha is below
    half."""
    if image.size != (size, size):
        image = image.resize((size, size), Image.Resampling.LANCZOS)
    alpha = list(image.getchannel("A").getdata())
    rows, palette = quantise_opaque(image, [a >= 128 for a in alpha])
    xor = indexed_pixels(rows)
    mask = bytearray()
    for y in reversed(range(size)):
        line = bytearray((size + 7) // 8)
        for x in range(size):
            if alpha[y * size + x] < 128:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line + b"\0" * (-len(line) % 4)
    return (info_header(size, size * 2, 8, len(xor) + len(mask)) + palette_bytes(palette) + xor +
            mask)


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
