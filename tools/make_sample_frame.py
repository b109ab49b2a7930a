#!/usr/bin/env python3
"""Renders a plausible instrument screen and writes it as a 3328-byte hardcopy.

Writes two files: the hardcopy as the instrument sends it, and the BMP that it must decode to,
built here straight from the rendered dots (with the one-pixel border) so that it checks the
decoder rather than repeating it.
"""
import argparse
import math
import struct

WIDTH = HEIGHT = 160
FRAME_LENGTH = 3328

# A 3 x 5 font: each glyph is five rows of three bits, the leftmost pixel in bit 2.
FONT = {
    "0": (7, 5, 5, 5, 7), "1": (2, 6, 2, 2, 7), "2": (7, 1, 7, 4, 7), "3": (7, 1, 3, 1, 7),
    "4": (5, 5, 7, 1, 1), "5": (7, 4, 7, 1, 7), "6": (7, 4, 7, 5, 7), "7": (7, 1, 2, 2, 2),
    "8": (7, 5, 7, 5, 7), "9": (7, 5, 7, 1, 7), ".": (0, 0, 0, 0, 2), "/": (1, 1, 2, 4, 4),
    "-": (0, 0, 7, 0, 0), " ": (0, 0, 0, 0, 0), ":": (0, 2, 0, 2, 0), "=": (0, 7, 0, 7, 0),
    "A": (2, 5, 7, 5, 5), "C": (7, 4, 4, 4, 7), "D": (6, 5, 5, 5, 6), "E": (7, 4, 6, 4, 7),
    "H": (5, 5, 7, 5, 5), "K": (5, 5, 6, 5, 5), "M": (5, 7, 7, 5, 5), "R": (6, 5, 6, 5, 5),
    "S": (7, 4, 7, 1, 7), "T": (7, 2, 2, 2, 2), "U": (5, 5, 5, 5, 7), "V": (5, 5, 5, 5, 2),
    "Z": (7, 1, 2, 4, 7), "m": (0, 0, 7, 7, 5), "s": (0, 3, 6, 3, 6), "t": (2, 7, 2, 2, 3),
    "k": (4, 5, 6, 6, 5), "z": (0, 7, 1, 2, 7), "F": (7, 4, 6, 4, 4), "O": (7, 5, 5, 5, 7),
}


class Screen:
    def __init__(self):
        self.dark = [[False] * WIDTH for _ in range(HEIGHT)]

    def dot(self, x, y, dark=True):
        if 0 <= x < WIDTH and 0 <= y < HEIGHT:
            self.dark[y][x] = dark

    def hline(self, x0, x1, y):
        for x in range(x0, x1 + 1):
            self.dot(x, y)

    def vline(self, x, y0, y1):
        for y in range(y0, y1 + 1):
            self.dot(x, y)

    def text(self, x, y, s, dark=True):
        for ch in s:
            for row, bits in enumerate(FONT[ch]):
                for col in range(3):
                    if bits & (4 >> col):
                        self.dot(x + col, y + row, dark)
            x += 4

    def line(self, x0, y0, x1, y1):
        steps = max(abs(x1 - x0), abs(y1 - y0), 1)
        for i in range(steps + 1):
            self.dot(round(x0 + (x1 - x0) * i / steps), round(y0 + (y1 - y0) * i / steps))


def render():
    s = Screen()
    # Title bar, inverted.
    for y in range(2, 11):
        s.hline(2, 157, y)
    s.text(5, 4, "KRT460  CH1 500mV  2ms", dark=False)
    # Plot area: frame, dotted grid, centre axes with ticks.
    left, top, right, bottom = 14, 16, 155, 136
    s.hline(left, right, top)
    s.hline(left, right, bottom)
    s.vline(left, top, bottom)
    s.vline(right, top, bottom)
    for gx in range(left, right + 1, 14):
        for y in range(top, bottom, 4):
            s.dot(gx, y)
    for gy in range(top, bottom + 1, 15):
        for x in range(left, right, 4):
            s.dot(x, gy)
    mid = (top + bottom) // 2
    for x in range(left, right + 1, 3):
        s.vline(x, mid - 1, mid + 1)
    s.text(4, mid - 2, "0")
    s.text(2, top, "2")
    s.text(2, bottom - 4, "-2")
    # The measured trace: a damped oscillation after a step.
    prev = None
    for x in range(left + 1, right):
        t = (x - left - 8) / 18.0
        v = 0.0 if t < 0 else 1.0 - math.exp(-t * 0.35) * math.cos(t * 2.2)
        y = round(mid - v * 30)
        if prev is not None:
            s.line(prev[0], prev[1], x, y)
        prev = (x, y)
    # Readings below the plot.
    s.text(4, 142, "U=1.00V  T=8.6ms")
    s.text(4, 150, "DT=2.12ms  F=472Hz")
    s.text(118, 150, "AUTO")
    return s


def band_bytes(s, band):
    """Column bytes of one band: bit 7 is the top dot, a set bit is dark."""
    out = bytearray()
    for x in range(WIDTH):
        byte = 0
        for j in range(8):
            if s.dark[8 * band + j][x]:
                byte |= 0x80 >> j
        out.append(byte)
    return out


def hardcopy(s):
    frame = bytearray(b"\x1b@" + b"Hardcopy." + b"\r\n" + b"\x1b3\x18")
    for band in range(20):
        # ESC K: 8-dot bit image, column count 160 low byte first.
        frame += b"\x1bK\xa0\x00" + band_bytes(s, band) + b"\n"
    frame += b"\r\x1b2      "
    frame += b"\n\x1b3"  # the end marker in the last three bytes
    assert len(frame) == FRAME_LENGTH, len(frame)
    return bytes(frame)


def bitmap(s):
    rows = []
    for y in range(HEIGHT):
        row = bytearray(WIDTH // 8)
        for x in range(WIDTH):
            border = x in (0, WIDTH - 1) or y in (0, HEIGHT - 1)
            if not (s.dark[y][x] or border):
                row[x // 8] |= 0x80 >> (x % 8)
        rows.append(bytes(row))
    header = struct.pack("<2sIHHI", b"BM", 3262, 0, 0, 62)
    info = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 1, 0, 0, 0, 0, 0, 0)
    palette = bytes([0, 0, 0, 0, 255, 255, 255, 0])
    return header + info + palette + b"".join(reversed(rows))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("frame", help="hardcopy file to write (3328 bytes)")
    parser.add_argument("bmp", help="BMP file the hardcopy decodes to")
    args = parser.parse_args()
    screen = render()
    with open(args.frame, "wb") as f:
        f.write(hardcopy(screen))
    with open(args.bmp, "wb") as f:
        f.write(bitmap(screen))


if __name__ == "__main__":
    main()
