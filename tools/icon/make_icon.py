#!/usr/bin/env python3
"""Draws the updater's window icon: a blue rounded badge with a white arrow
dropping into a tray, 64 x 64 pixels, 8-bit RGBA, not interlaced.

Regenerate the committed picture from the repository root with

    python3 tools/icon/make_icon.py src/res/icon.png

Only the standard library is used. The drawing is pure arithmetic, so the
pixels are the same everywhere; the compressed bytes depend only on zlib.
"""

import struct
import sys
import zlib
from pathlib import Path

SIZE = 64
SUBSAMPLES = 4  # per axis; 16 samples per pixel smooth the edges

BADGE_TOP = (0x4F, 0xA3, 0xF7)
BADGE_BOTTOM = (0x1C, 0x5F, 0xC4)
BADGE_RIM = (0x14, 0x47, 0x96)
GLYPH = (0xFF, 0xFF, 0xFF)

BADGE_MIN, BADGE_MAX, BADGE_RADIUS, RIM_WIDTH = 2.0, 62.0, 12.0, 1.5


def badge_distance(x, y):
    """Distance from the badge's outline, negative inside."""
    centre = (BADGE_MIN + BADGE_MAX) / 2
    half = (BADGE_MAX - BADGE_MIN) / 2 - BADGE_RADIUS
    dx = max(abs(x - centre) - half, 0.0)
    dy = max(abs(y - centre) - half, 0.0)
    if dx > 0.0 and dy > 0.0:
        return (dx * dx + dy * dy) ** 0.5 - BADGE_RADIUS
    return max(abs(x - centre), abs(y - centre)) - (BADGE_MAX - BADGE_MIN) / 2


def in_triangle(x, y, a, b, c):
    def side(p, q):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])

    s1, s2, s3 = side(a, b), side(b, c), side(c, a)
    return (s1 >= 0 and s2 >= 0 and s3 >= 0) or (s1 <= 0 and s2 <= 0 and s3 <= 0)


def in_glyph(x, y):
    shaft = 27.0 <= x <= 37.0 and 11.0 <= y <= 30.0
    head = in_triangle(x, y, (17.0, 28.0), (47.0, 28.0), (32.0, 43.0))
    tray_floor = 16.0 <= x <= 48.0 and 47.0 <= y <= 52.0
    tray_walls = 38.0 <= y <= 52.0 and (16.0 <= x <= 21.0 or 43.0 <= x <= 48.0)
    return shaft or head or tray_floor or tray_walls


def sample(x, y):
    """Premultiplied RGBA of one sample point, components 0..1."""
    distance = badge_distance(x, y)
    if distance > 0.0:
        return (0.0, 0.0, 0.0, 0.0)
    if in_glyph(x, y):
        colour = GLYPH
    elif distance > -RIM_WIDTH:
        colour = BADGE_RIM
    else:
        t = (y - BADGE_MIN) / (BADGE_MAX - BADGE_MIN)
        colour = tuple(top + (bottom - top) * t for top, bottom in zip(BADGE_TOP, BADGE_BOTTOM))
    return (colour[0] / 255.0, colour[1] / 255.0, colour[2] / 255.0, 1.0)


def render():
    rows = []
    step = 1.0 / SUBSAMPLES
    for py in range(SIZE):
        row = bytearray()
        for px in range(SIZE):
            total = [0.0, 0.0, 0.0, 0.0]
            for sy in range(SUBSAMPLES):
                for sx in range(SUBSAMPLES):
                    s = sample(px + (sx + 0.5) * step, py + (sy + 0.5) * step)
                    for i in range(4):
                        total[i] += s[i]
            count = SUBSAMPLES * SUBSAMPLES
            alpha = total[3] / count
            if alpha == 0.0:
                row += bytes(4)
                continue
            # Un-premultiply so that edge pixels keep the colour of the shape.
            rgb = [min(255, int(total[i] / total[3] * 255.0 + 0.5)) for i in range(3)]
            row += bytes(rgb + [min(255, int(alpha * 255.0 + 0.5))])
        rows.append(bytes(row))
    return rows


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def filter_rows(rows, bpp=4):
    """Picks per row the filter with the smallest sum of absolute values,
    the usual heuristic that makes deflate's job easier."""
    out = bytearray()
    previous = bytes(len(rows[0]))
    for row in rows:
        candidates = []
        for kind in range(5):
            filtered = bytearray()
            for i, value in enumerate(row):
                left = row[i - bpp] if i >= bpp else 0
                up = previous[i]
                upper_left = previous[i - bpp] if i >= bpp else 0
                predictor = (0, left, up, (left + up) // 2, paeth(left, up, upper_left))[kind]
                filtered.append((value - predictor) & 0xFF)
            cost = sum(v if v < 128 else 256 - v for v in filtered)
            candidates.append((cost, kind, filtered))
        cost, kind, filtered = min(candidates, key=lambda c: (c[0], c[1]))
        out.append(kind)
        out += filtered
        previous = row
    return bytes(out)


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def png_bytes():
    # Width, height, bit depth 8, colour type 6 (RGBA), deflate, adaptive filtering, no interlace.
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    data = zlib.compress(filter_rows(render()), 9)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", data) + chunk(b"IEND", b"")


def main():
    default = Path(__file__).resolve().parents[2] / "src" / "res" / "icon.png"
    target = Path(sys.argv[1]) if len(sys.argv) > 1 else default
    target.write_bytes(png_bytes())


if __name__ == "__main__":
    main()
