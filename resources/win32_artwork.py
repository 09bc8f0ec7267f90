#!/usr/bin/env python3
"""Turns the committed artwork into the Windows resources of quilupdate.exe:
the background tile into a 24-bit BMP (bitmap 104) and the icon's sizes into
one ICO (icon 128). Run by the Windows build:

    python3 resources/win32_artwork.py RESOURCES_DIR OUT_DIR
"""

import os
import struct
import sys
import zlib

ICON_SIZES = (16, 32, 48, 64)  # stored as bitmaps, which every Windows reads
PNG_ICON_SIZES = (256,)  # stored as PNG, as Windows keeps its large icons


def read_png(path):
    """Returns (width, height, rows of (r, g, b, a)) of an 8-bit RGB or RGBA,
    non-interlaced PNG; refuses anything else."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("%s is not a PNG file" % path)
    pos, header, idat = 8, None, bytearray()
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
        pos += 12 + length
    if header is None:
        raise ValueError("%s has no header" % path)
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in (2, 6) or interlace != 0:
        raise ValueError("%s: only 8-bit RGB or RGBA without interlacing is read" % path)
    channels = 4 if colour == 6 else 3
    raw = zlib.decompress(bytes(idat))
    stride = width * channels
    if len(raw) != height * (stride + 1):
        raise ValueError("%s: image data of the wrong size" % path)
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up = previous[i]
            upper_left = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - upper_left
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - upper_left)
                predictor = left if pa <= pb and pa <= pc else up if pb <= pc else upper_left
                line[i] = (line[i] + predictor) & 0xFF
            elif kind != 0:
                raise ValueError("%s: unknown row filter %d" % (path, kind))
        previous = line
        rows.append([tuple(line[x * channels:(x + 1) * channels]) + ((255,) if channels == 3 else ())
                     for x in range(width)])
    return width, height, rows


def bmp_file(width, height, rows):
    """A bottom-up 24-bit BMP file."""
    padding = (4 - width * 3 % 4) % 4
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, _ in row:
            pixels += bytes((b, g, r))
        pixels += bytes(padding)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    return header + info + pixels


def icon_bitmap(size, rows):
    """One icon image as the ICO format stores it: a 32-bit DIB of twice the
    height (colour, then the AND mask), bottom-up."""
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            colour += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    return info + colour + mask


def ico_file(images):
    """images: (size, bytes) pairs."""
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, bodies = b"", b""
    for size, body in images:
        edge = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", edge, edge, 0, 0, 1, 32, len(body), offset)
        bodies += body
        offset += len(body)
    return directory + entries + bodies


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: win32_artwork.py RESOURCES_DIR OUT_DIR")
    source, out = sys.argv[1], sys.argv[2]
    width, height, rows = read_png(os.path.join(source, "background_104.png"))
    with open(os.path.join(out, "background_104.bmp"), "wb") as f:
        f.write(bmp_file(width, height, rows))
    images = []
    for size in ICON_SIZES:
        width, height, rows = read_png(os.path.join(source, "icon_128_%d.png" % size))
        if (width, height) != (size, size):
            sys.exit("icon_128_%d.png is %dx%d" % (size, width, height))
        images.append((size, icon_bitmap(size, rows)))
    for size in PNG_ICON_SIZES:
        with open(os.path.join(source, "icon_128_%d.png" % size), "rb") as f:
            images.append((size, f.read()))
    with open(os.path.join(out, "icon_128.ico"), "wb") as f:
        f.write(ico_file(images))


if __name__ == "__main__":
    main()
