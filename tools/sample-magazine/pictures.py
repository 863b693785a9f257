"""Small real pictures for the sample magazine: PNG and GIF written here, JPEG taken from jpeg/.

Every picture is a valid file that a browser shows. The PNG and GIF writers need nothing but the
standard library; the JPEG files in jpeg/ were made once with ImageMagick's convert and are varied here
by a comment segment, so that every sample picture has bytes of its own.
"""

import math
import os
import random
import struct
import zlib

JPEG_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "jpeg")
JPEG_NAMES = ("forest.jpg", "plasma.jpg", "sky.jpg", "sun.jpg")

_jpeg_cache = {}


def _png_chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data
            + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def png_from_rows(width, height, rows, level=9):
    """An 8-bit RGB PNG from height rows of width*3 bytes each."""
    raw = b"".join(b"\x00" + row for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + _png_chunk(b"IHDR", header)
            + _png_chunk(b"IDAT", zlib.compress(raw, level)) + _png_chunk(b"IEND", b""))


def _mix(c1, c2, t):
    return bytes(int(a + (b - a) * t) for a, b in zip(c1, c2))


def _palette_color(seed):
    rnd = random.Random(seed)
    return (rnd.randrange(20, 236), rnd.randrange(20, 236), rnd.randrange(20, 236))


def drawn_png(seed, width=180, height=120):
    """A vertical two-colour gradient with a disc and a band: different for every seed."""
    rnd = random.Random(seed * 7919 + 1)
    top, bottom = _palette_color(seed), _palette_color(seed + 1000)
    disc = _palette_color(seed + 2000)
    band = _palette_color(seed + 3000)
    cx, cy = rnd.randrange(width // 4, width * 3 // 4), rnd.randrange(height // 4, height * 3 // 4)
    radius = rnd.randrange(min(width, height) // 6, min(width, height) // 3)
    band_top = rnd.randrange(0, height - 12)
    rows = []
    for y in range(height):
        row = bytearray(_mix(top, bottom, y / max(1, height - 1)) * width)
        if band_top <= y < band_top + 10:
            row[0:width * 3] = bytes(band) * width
        dy = y - cy
        if abs(dy) < radius:
            half = int(math.sqrt(radius * radius - dy * dy))
            left, right = max(0, cx - half), min(width, cx + half)
            row[left * 3:right * 3] = bytes(disc) * (right - left)
        rows.append(bytes(row))
    return png_from_rows(width, height, rows)


def noise_png(seed, size):
    """A PNG of random pixels whose file is about size bytes (random pixels do not compress)."""
    rnd = random.Random(seed)
    width = 128
    height = max(1, size // (width * 3 + 1))
    rows = [rnd.randbytes(width * 3) for _ in range(height)]
    return png_from_rows(width, height, rows, level=1)


def _gif_lzw_literals(pixels):
    """LZW data for 8-bit pixels in which every pixel is sent as a literal code of 9 bits.

    A clear code goes out before the decoder's table would need 10-bit codes, so the code size never
    grows: simple, valid for every decoder, and about 9/8 of the pixel count in size.
    """
    clear, end = 256, 257
    out = bytearray()
    acc = nbits = 0

    def put(code):
        nonlocal acc, nbits
        acc |= code << nbits
        nbits += 9
        while nbits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            nbits -= 8

    for start in range(0, len(pixels), 250):
        put(clear)
        for value in pixels[start:start + 250]:
            put(value)
    put(end)
    if nbits:
        out.append(acc & 0xFF)
    return bytes(out)


def gif_from_pixels(width, height, palette, pixels):
    """A GIF89a of 8-bit palette indices; palette holds 256 RGB triples."""
    data = _gif_lzw_literals(pixels)
    blocks = b"".join(bytes([len(data[i:i + 255])]) + data[i:i + 255] for i in range(0, len(data), 255))
    return (b"GIF89a" + struct.pack("<HHBBB", width, height, 0xF7, 0, 0)
            + b"".join(bytes(c) for c in palette)
            + b"\x2c" + struct.pack("<HHHHB", 0, 0, width, height, 0)
            + b"\x08" + blocks + b"\x00" + b"\x3b")


def _banded_palette(seed):
    """256 colours that swing between two colours eight times, so that neighbouring indices make bands."""
    a, b = _palette_color(seed + 4000), _palette_color(seed + 5000)
    return [tuple(_mix(a, b, abs(i % 32 - 16) / 16)) for i in range(256)]


def drawn_gif(seed, width=120, height=90):
    """Concentric rings in a two-colour palette: different for every seed."""
    palette = _banded_palette(seed)
    cx, cy = width / 2, height / 2
    step = 3 + seed % 5
    pixels = bytearray(width * height)
    for y in range(height):
        for x in range(width):
            distance = math.hypot(x - cx, y - cy)
            pixels[y * width + x] = int(distance * step) % 256
    return gif_from_pixels(width, height, palette, bytes(pixels))


def noise_gif(seed, size):
    """A GIF of random pixels whose file is about size bytes."""
    rnd = random.Random(seed)
    width = 128
    height = max(1, int(size / 1.13) // width)
    return gif_from_pixels(width, height, _banded_palette(seed), rnd.randbytes(width * height))


def _jpeg_base(index):
    name = JPEG_NAMES[index % len(JPEG_NAMES)]
    if name not in _jpeg_cache:
        with open(os.path.join(JPEG_DIR, name), "rb") as f:
            _jpeg_cache[name] = f.read()
    return _jpeg_cache[name]


def _jpeg_comment(text):
    return b"\xff\xfe" + struct.pack(">H", len(text) + 2) + text


def labelled_jpeg(seed, size=0):
    """One of the checked-in JPEGs with a comment segment naming the seed right after the start-of-image
    marker; padded by further comment segments to about size bytes when size is larger than the file."""
    base = _jpeg_base(seed)
    extra = _jpeg_comment(b"Skerrow sample picture %d" % seed)
    missing = size - len(base) - len(extra)
    filler = b"sample magazine filler "
    while missing > 4:
        length = min(missing - 4, 60000)
        extra += _jpeg_comment((filler * (length // len(filler) + 1))[:length])
        missing -= length + 4
    return base[:2] + extra + base[2:]


def picture(kind, seed, size=0):
    """A picture of the given kind ("png", "gif" or "jpg"); a drawn one when size is 0, otherwise one of
    about size bytes."""
    if kind == "png":
        return noise_png(seed, size) if size else drawn_png(seed)
    if kind == "gif":
        return noise_gif(seed, size) if size else drawn_gif(seed)
    if kind == "jpg":
        return labelled_jpeg(seed, size)
    raise ValueError("unknown picture kind: " + kind)
