"""Reads and writes PNG images with the standard library only: the screenshot test's captures
and pictures, and the skin drawn by skin/make_skin.py.

An Image holds straight RGBA bytes, row by row. Reading covers what the programs here write
(cairo, GDI+ and ImageMagick's PNG32): 8-bit RGB and RGBA images without interlacing. Writing
makes 8-bit RGBA without interlacing and without any optional chunk.
"""

import struct
import zlib


class Image:
    def __init__(self, width, height, rgba=None):
        self.width = width
        self.height = height
        self.rgba = bytearray(rgba) if rgba is not None else bytearray(width * height * 4)

    def pixel(self, x, y):
        i = (y * self.width + x) * 4
        return tuple(self.rgba[i:i + 4])

    def crop(self, left, top, width, height):
        out = Image(width, height)
        for y in range(height):
            start = ((top + y) * self.width + left) * 4
            out.rgba[y * width * 4:(y + 1) * width * 4] = self.rgba[start:start + width * 4]
        return out


def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def read_png(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError(f"{path}: not a PNG file")
    pos, idat = 8, b""
    width = height = depth = colour = interlace = None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
    if depth != 8 or interlace != 0 or colour not in (2, 6):
        raise ValueError(f"{path}: only 8-bit RGB or RGBA images without interlacing are read")
    channels = 4 if colour == 6 else 3
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous, pos = [], bytearray(stride), 0
    for _ in range(height):
        kind, line = raw[pos], bytearray(raw[pos + 1:pos + 1 + stride])
        pos += 1 + stride
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up = previous[i]
            corner = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                line[i] = (line[i] + _paeth(left, up, corner)) & 0xFF
        rows.append(line)
        previous = line
    image = Image(width, height)
    for y, line in enumerate(rows):
        if channels == 3:
            line = b"".join(line[x * 3:x * 3 + 3] + b"\xff" for x in range(width))
        image.rgba[y * width * 4:(y + 1) * width * 4] = line
    return image


def write_png(image, path, level=6):
    """Writes the image; `level` is zlib's compression level."""
    rows = b"".join(b"\0" + bytes(image.rgba[y * image.width * 4:(y + 1) * image.width * 4])
                    for y in range(image.height))

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body)))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", image.width, image.height, 8, 6, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(rows, level)))
        f.write(chunk(b"IEND", b""))


def over(top, bottom):
    """Blends straight-alpha `top` over the opaque `bottom` of the same size."""
    out = Image(bottom.width, bottom.height)
    t, b, o = top.rgba, bottom.rgba, out.rgba
    for i in range(0, len(b), 4):
        a = t[i + 3]
        for c in range(3):
            o[i + c] = (t[i + c] * a + b[i + c] * (255 - a) + 127) // 255
        o[i + 3] = 255
    return out

