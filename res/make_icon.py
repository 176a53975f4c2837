#!/usr/bin/env python3
"""Draws the setup's icon (a steel badge with a V and a molten bar) into a 7-image .ico."""
import math
import struct
import sys

SIZES = (16, 24, 32, 48, 64, 128, 256)


def rounded_rect(x, y, lo, hi, radius):
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return math.hypot(x - cx, y - cy) - radius


def segment(x, y, ax, ay, bx, by, half_width):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(x - ax - t * dx, y - ay - t * dy) - half_width


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(len(a)))


def shade(x, y):
    """Colour (r, g, b, a), 0..1 each, of one sample at (x, y) in the unit square."""
    if rounded_rect(x, y, 0.04, 0.96, 0.2) > 0:
        return (0.0, 0.0, 0.0, 0.0)
    colour = mix((0.25, 0.38, 0.55), (0.10, 0.15, 0.24), y)
    if rounded_rect(x, y, 0.04, 0.96, 0.2) > -0.035:
        colour = (0.55, 0.65, 0.78)  # a light rim keeps the badge readable on dark taskbars
    if min(segment(x, y, 0.27, 0.24, 0.5, 0.68, 0.075),
           segment(x, y, 0.73, 0.24, 0.5, 0.68, 0.075)) < 0:
        colour = (0.92, 0.94, 0.97)
    if segment(x, y, 0.32, 0.81, 0.68, 0.81, 0.045) < 0:
        colour = (0.96, 0.55, 0.16)
    return colour + (1.0,)


def image(size):
    grid = 4 if size <= 64 else 2
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            r = g = b = a = 0.0
            for sy in range(grid):
                for sx in range(grid):
                    cr, cg, cb, ca = shade((px + (sx + 0.5) / grid) / size,
                                           (py + (sy + 0.5) / grid) / size)
                    r, g, b, a = r + cr * ca, g + cg * ca, b + cb * ca, a + ca
            n = grid * grid
            alpha = a / n
            if alpha > 0:
                r, g, b = r / a, g / a, b / a
            row += bytes((round(b * 255), round(g * 255), round(r * 255), round(alpha * 255)))
        rows.append(bytes(row))
    pixels = b"".join(reversed(rows))  # DIBs are stored bottom-up
    mask = bytes(((size + 31) // 32) * 4 * size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(pixels) + len(mask),
                         0, 0, 0, 0)
    return header + pixels + mask


def main(out):
    images = [image(size) for size in SIZES]
    offset = 6 + 16 * len(SIZES)
    directory = b""
    for size, data in zip(SIZES, images):
        edge = 0 if size == 256 else size
        directory += struct.pack("<BBBBHHII", edge, edge, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(out, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, len(SIZES)) + directory + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1])
