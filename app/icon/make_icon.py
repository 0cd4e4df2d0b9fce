#!/usr/bin/python3
"""Draws the setup program's icon and writes it as a Windows .ico (16 to 256 pixels).

  make_icon.py OUTPUT.ico           write the icon
  make_icon.py --check OUTPUT.ico   exit 1 when the file differs from what this script draws

The drawing: a handheld (Morvane) on a blue tile, with a green badge carrying a down arrow (a
driver going onto it). Shapes are in a 256-unit square and every size is drawn from them with
supersampling, so the small sizes stay sharp. Pure Python, deterministic output.
"""
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 64, 256)


def rounded(x0, y0, x1, y1, r):
    def inside(x, y):
        if x < x0 or x > x1 or y < y0 or y > y1:
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def polygon(points):
    def inside(x, y):
        hit = False
        j = len(points) - 1
        for i, (xi, yi) in enumerate(points):
            xj, yj = points[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                hit = not hit
            j = i
        return hit
    return inside


def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


TILE_TOP, TILE_BOTTOM = (0x2A, 0x7F, 0xC8), (0x17, 0x4A, 0x86)
LAYERS = [
    (rounded(8, 8, 248, 248, 44), None),  # the tile: a vertical gradient
    (rounded(52, 30, 188, 226, 26), (0xF4, 0xF6, 0xF8)),  # the handheld
    (rounded(70, 48, 170, 122, 8), (0x1C, 0x2B, 0x3A)),  # its screen
    (union(rounded(84, 150, 132, 166, 3), rounded(100, 134, 116, 182, 3)), (0x2E, 0x3D, 0x4C)),  # D-pad
    (circle(152, 148, 11), (0xE0, 0x4F, 0x5F)),  # A and B
    (circle(166, 174, 11), (0xF2, 0xB1, 0x34)),
    (circle(190, 194, 54), (0xFF, 0xFF, 0xFF)),  # the badge's ring
    (circle(190, 194, 46), (0x2F, 0xA8, 0x52)),  # the badge
    (polygon([(180, 160), (200, 160), (200, 192), (216, 192), (190, 224), (164, 192), (180, 192)]),
     (0xFF, 0xFF, 0xFF)),  # its down arrow
]


def colour_at(x, y):
    out = None
    for shape, colour in LAYERS:
        if shape(x, y):
            if colour is None:
                t = y / 256.0
                colour = tuple(round(a + (b - a) * t) for a, b in zip(TILE_TOP, TILE_BOTTOM))
            out = colour
    return out


def render(size):
    """Rows of (r, g, b, a), top row first."""
    samples = 2 if size >= 128 else 4
    step = 256.0 / size
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = n = 0
            for sy in range(samples):
                for sx in range(samples):
                    c = colour_at((px + (sx + 0.5) / samples) * step, (py + (sy + 0.5) / samples) * step)
                    if c:
                        r, g, b, n = r + c[0], g + c[1], b + c[2], n + 1
            total = samples * samples
            row.append((r // n, g // n, b // n, 255 * n // total) if n else (0, 0, 0, 0))
        rows.append(row)
    return rows


def png(rows):
    size = len(rows)
    raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def dib(rows):
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((p[2], p[1], p[0], p[3])) for row in reversed(rows) for p in row)
    stride = ((size + 31) // 32) * 4  # the AND mask: all zero, the alpha channel decides
    return header + pixels + b"\0" * (stride * size)


def icon():
    images = [png(render(s)) if s >= 256 else dib(render(s)) for s in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def main(argv):
    check = "--check" in argv
    paths = [a for a in argv if a != "--check"]
    if len(paths) != 1:
        sys.stderr.write(__doc__)
        return 2
    data = icon()
    if check:
        try:
            same = open(paths[0], "rb").read() == data
        except OSError:
            same = False
        if not same:
            sys.stderr.write("make_icon.py: %s is not what this script draws: run it to rewrite the file\n" % paths[0])
        return 0 if same else 1
    with open(paths[0], "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
