#!/usr/bin/env python3
"""Draws the main window's background tile (bitmap 104) and the program's
icon (icon 128) as PNG files next to this script.

Deterministic: fixed seeds and no library beyond Python's own, so running it
again gives the same bytes. The outputs are committed; ui/quil_artwork.qrc
embeds them.

    python3 resources/make_artwork.py
"""

import math
import os
import random
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def write_png(path, width, height, rows, alpha):
    """rows: list of rows, each a list of (r, g, b[, a]) tuples of 0..255."""
    raw = bytearray()
    for row in rows:
        raw.append(0)  # filter: none
        for px in row:
            raw.extend(px if alpha else px[:3])
    colour_type = 6 if alpha else 2

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def clamp(v):
    return max(0, min(255, int(round(v))))


def circular_blur(values, radius):
    n = len(values)
    out = []
    for i in range(n):
        total = 0.0
        for d in range(-radius, radius + 1):
            total += values[(i + d) % n]
        out.append(total / (2 * radius + 1))
    return out


def background_tile(size=128):
    """Light brushed aluminium: horizontal grain that wraps on all four edges,
    bright enough for black and blue text."""
    rng = random.Random(104)
    # Each row's own brightness, smoothed across neighbouring rows (wrapping),
    # gives the broad bands of a brushed sheet.
    row_level = circular_blur([rng.gauss(0.0, 3.2) for _ in range(size)], 1)
    rows = []
    for y in range(size):
        # Fine grain along the row, smeared horizontally into streaks.
        grain = circular_blur([rng.gauss(0.0, 5.0) for _ in range(size)], 6)
        # Slow swells whose periods divide the tile width, so the edges meet.
        phases = [rng.uniform(0.0, 2.0 * math.pi) for _ in range(3)]
        row = []
        for x in range(size):
            swell = sum(0.9 / (k + 1) * math.sin(2.0 * math.pi * (k + 1) * x / size + phases[k]) for k in range(3))
            speck = rng.gauss(0.0, 0.9)
            v = 213.0 + row_level[y] + grain[x] + swell + speck
            row.append((clamp(v - 3), clamp(v - 1), clamp(v + 2)))
        rows.append(row)
    return rows


# Icon shapes in unit coordinates (0..1), painted in order; each returns the
# colour at a point inside it, or None outside.

def rounded_rect(x0, y0, x1, y1, r, colour):
    def shape(u, v):
        if not (x0 <= u <= x1 and y0 <= v <= y1):
            return None
        cx = min(max(u, x0 + r), x1 - r)
        cy = min(max(v, y0 + r), y1 - r)
        if (u - cx) ** 2 + (v - cy) ** 2 > r * r:
            return None
        return colour(u, v) if callable(colour) else colour
    return shape


def ring(cx, cy, r_out, r_in, colour):
    def shape(u, v):
        d2 = (u - cx) ** 2 + (v - cy) ** 2
        if r_in * r_in <= d2 <= r_out * r_out:
            return colour(u, v) if callable(colour) else colour
        return None
    return shape


def disc(cx, cy, r, colour):
    return ring(cx, cy, r, 0.0, colour)


def thick_line(x0, y0, x1, y1, half_width, colour):
    dx, dy = x1 - x0, y1 - y0
    length2 = dx * dx + dy * dy

    def shape(u, v):
        t = max(0.0, min(1.0, ((u - x0) * dx + (v - y0) * dy) / length2))
        px, py = x0 + t * dx, y0 + t * dy
        if (u - px) ** 2 + (v - py) ** 2 <= half_width * half_width:
            return colour(u, v) if callable(colour) else colour
        return None
    return shape


def mix(a, b, t):
    t = max(0.0, min(1.0, t))
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def icon_shapes(size):
    """A flash chip with pins on four sides and an amber Q on its top."""
    small = size <= 16
    body0, body1 = (0.15, 0.85) if small else (0.19, 0.81)
    pin_count = 3 if small else 4
    pin_len = body0 - 0.03
    pin_half = 0.045 if small else 0.035
    shapes = []

    # Pins first, so the body covers their inner ends.
    span = body1 - body0
    for i in range(pin_count):
        c = body0 + span * (i + 1) / (pin_count + 1)
        metal = lambda u, v: (196, 200, 206)
        shapes.append(rounded_rect(0.03, c - pin_half, body0 + 0.02, c + pin_half, 0.01, metal))
        shapes.append(rounded_rect(body1 - 0.02, c - pin_half, 0.97, c + pin_half, 0.01, metal))
        if not small:
            shapes.append(rounded_rect(c - pin_half, 0.03, c + pin_half, body0 + 0.02, 0.01, metal))
            shapes.append(rounded_rect(c - pin_half, body1 - 0.02, c + pin_half, 0.97, 0.01, metal))
    del pin_len

    edge = 0.035 if size <= 32 else 0.02
    shapes.append(rounded_rect(body0, body0, body1, body1, 0.07, (92, 100, 112)))
    shapes.append(rounded_rect(body0 + edge, body0 + edge, body1 - edge, body1 - edge, 0.06,
                               lambda u, v: mix((66, 73, 84), (28, 31, 37), (v - body0) / span)))
    if not small:
        shapes.append(disc(body0 + 0.085, body0 + 0.085, 0.028, (150, 156, 166)))

    amber_top, amber_bottom = (255, 196, 70), (232, 128, 20)
    amber = lambda u, v: mix(amber_top, amber_bottom, (v - 0.3) / 0.42)
    thickness = 0.085 if small else 0.065
    r_out = 0.205 if small else 0.19
    shapes.append(ring(0.49, 0.48, r_out, r_out - thickness, amber))
    shapes.append(thick_line(0.54, 0.55, 0.70, 0.71, thickness / 2 + (0.01 if small else 0.005), amber))
    return shapes


def render_icon(size):
    shapes = icon_shapes(size)
    samples = 8 if size <= 32 else 4
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(samples):
                for sx in range(samples):
                    u = (x + (sx + 0.5) / samples) / size
                    v = (y + (sy + 0.5) / samples) / size
                    colour = None
                    for shape in shapes:
                        c = shape(u, v)
                        if c is not None:
                            colour = c
                    if colour is not None:
                        acc[0] += colour[0]
                        acc[1] += colour[1]
                        acc[2] += colour[2]
                        acc[3] += 1.0
            n = samples * samples
            cover = acc[3] / n
            if cover == 0.0:
                row.append((0, 0, 0, 0))
            else:
                row.append((clamp(acc[0] / acc[3]), clamp(acc[1] / acc[3]), clamp(acc[2] / acc[3]),
                            clamp(cover * 255)))
        rows.append(row)
    return rows


def main():
    tile = background_tile(128)
    write_png(os.path.join(HERE, "background_104.png"), 128, 128, tile, alpha=False)
    # 16 to 64 for the window; 128 and 256 too for the desktop's icon theme.
    for size in (16, 32, 48, 64, 128, 256):
        write_png(os.path.join(HERE, "icon_128_%d.png" % size), size, size, render_icon(size), alpha=True)


if __name__ == "__main__":
    main()
