#!/usr/bin/env python3
"""Draws kavelo's icon, a database drum on a blue tile, as a Windows .ico
file with a 32x32 and a 16x16 image of 16 colours."""

import struct
import sys

# The 16 colours of the classic Windows palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, NAVY, SILVER, GREY, BLUE, WHITE = 0, 4, 7, 8, 12, 15


def pixel(x, y):
    """Colour index at (x, y) in the unit square, or None for transparent."""
    if not (0.06 <= x <= 0.94 and 0.06 <= y <= 0.94):
        return None
    if x < 0.10 or x > 0.90 or y < 0.10 or y > 0.90:
        return NAVY  # the tile's border
    # The drum: a column with elliptic top and bottom and two bands.
    cx, rx, ry = 0.5, 0.30, 0.09
    top, bottom = 0.26, 0.74
    inside_x = abs(x - cx) <= rx
    ellipse = lambda cy: ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2
    if ellipse(top) <= 1.0:
        return WHITE if ellipse(top) <= 0.55 else SILVER
    if inside_x and top <= y <= bottom or ellipse(bottom) <= 1.0:
        for band in (0.42, 0.58):
            if ellipse(band) <= 1.0 and y >= band:
                return GREY
        return WHITE if x < cx - rx * 0.6 else SILVER
    return BLUE


def image(size):
    rows = [[pixel((i + 0.5) / size, (j + 0.5) / size) for i in range(size)]
            for j in range(size)]
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0,
                         16, 0)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in PALETTE)
    colour_stride = (size * 4 + 31) // 32 * 4
    mask_stride = (size + 31) // 32 * 4
    colours, mask = b"", b""
    for row in reversed(rows):  # bottom-up, as in every DIB
        line = bytearray(colour_stride)
        bits = bytearray(mask_stride)
        for i, value in enumerate(row):
            index = BLACK if value is None else value
            line[i // 2] |= index << (4 if i % 2 == 0 else 0)
            if value is None:
                bits[i // 8] |= 0x80 >> (i % 8)
        colours += bytes(line)
        mask += bytes(bits)
    return header + palette + colours + mask


def main(path):
    images = [image(32), image(16)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip((32, 16), images):
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1])
