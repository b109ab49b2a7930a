#!/usr/bin/env python3
"""Makes the program's pictures: the three status lamps, the icon and the sample screen.

Run from the repository's top folder; writes into res/. The sample screen is the sample
hardcopy (samples/sample_hardcopy.bmp) in the colours of a reflective LCD.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# The 16 colours of the standard Windows palette, as (red, green, blue).
VGA = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
    (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
    (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, GREY, RED, GREEN, YELLOW = 0, 7, 9, 10, 11

LAMP_WIDTH, LAMP_HEIGHT = 17, 39
DISC_ROWS = (5, 7, 9, 9, 9, 9, 9, 7, 5)  # widths of the nine rows of a lamp, centred on column 8
LAMP_TOPS = (3, 15, 27)  # top, middle, bottom lamp


def packed_4bit_rows(pixels, width):
    """Rows bottom-up, two pixels a byte (the left one in the high nibble), padded to 4 bytes."""
    stride = ((width * 4 + 31) // 32) * 4
    out = bytearray()
    for row in reversed(pixels):
        line = bytearray(stride)
        for x, index in enumerate(row):
            line[x // 2] |= index << (4 if x % 2 == 0 else 0)
        out += line
    return bytes(out)


def palette_bytes(palette):
    return b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in palette)


def bmp_4bit(pixels, palette):
    height, width = len(pixels), len(pixels[0])
    bits = packed_4bit_rows(pixels, width)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 4, 0, len(bits), 0, 0, 16, 0)
    offset = 14 + len(info) + 64
    header = struct.pack("<2sIHHI", b"BM", offset + len(bits), 0, 0, offset)
    return header + info + palette_bytes(palette) + bits


def lamp(lit):
    """lit: index of the lit lamp (0 top, 1 middle, 2 bottom) and its colour."""
    position, colour = lit
    pixels = [[BLACK] * LAMP_WIDTH for _ in range(LAMP_HEIGHT)]
    for n, top in enumerate(LAMP_TOPS):
        for dy, width in enumerate(DISC_ROWS):
            for x in range(8 - width // 2, 8 + width // 2 + 1):
                pixels[top + dy][x] = colour if n == position else GREY
    return bmp_4bit(pixels, VGA)


def read_mono_bmp(path):
    with open(path, "rb") as f:
        data = f.read()
    offset, = struct.unpack_from("<I", data, 10)
    width, height = struct.unpack_from("<ii", data, 18)
    stride = ((width + 31) // 32) * 4
    rows = []
    for y in range(height):
        start = offset + (height - 1 - y) * stride
        rows.append([(data[start + x // 8] >> (7 - x % 8)) & 1 for x in range(width)])
    return rows  # 1: white, 0: black; row 0 at the top


def sample_screen():
    # A reflective LCD: grey-green glass, blue-black dots, a faint shadow of each dot.
    palette = list(VGA)
    palette[1] = (168, 186, 150)  # glass
    palette[2] = (40, 48, 72)  # dot
    palette[3] = (140, 158, 126)  # shadow
    glass, dot, shadow = 1, 2, 3
    mono = read_mono_bmp(os.path.join(ROOT, "samples", "sample_hardcopy.bmp"))
    size = len(mono)
    pixels = [[glass] * size for _ in range(size)]
    for y in range(size):
        for x in range(size):
            if mono[y][x] == 0:
                pixels[y][x] = dot
            elif x > 0 and y > 0 and mono[y - 1][x - 1] == 0:
                pixels[y][x] = shadow
    return bmp_4bit(pixels, palette)


def icon_image(size):
    """A small instrument: dark case, LCD, a trace across it."""
    pixels = [[BLACK] * size for _ in range(size)]
    scale = size / 32
    for y in range(size):
        for x in range(size):
            inside_case = 1 * scale <= x < 31 * scale and 3 * scale <= y < 29 * scale
            screen = 4 * scale <= x < 24 * scale and 6 * scale <= y < 26 * scale
            if screen:
                pixels[y][x] = GREEN
            elif inside_case:
                pixels[y][x] = 8
    for y in range(int(8 * scale), int(25 * scale), max(1, int(6 * scale))):
        pixels[y][int(27 * scale)] = YELLOW
    trace = [20, 20, 19, 14, 9, 8, 11, 15, 17, 16, 13, 12, 13, 14, 14, 14, 14, 14, 14, 14]
    for i in range(len(trace) - 1):
        x = int((4 + i) * scale)
        low, high = sorted((trace[i], trace[i + 1]))
        for level in range(low, max(low + 1, high)):
            pixels[int(level * scale)][x] = BLACK
    xor = packed_4bit_rows(pixels, size)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytes(mask_stride * size)  # every pixel opaque
    info = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 4, 0, len(xor) + len(mask), 0, 0,
                       16, 0)
    return info + palette_bytes(VGA) + xor + mask


def icon():
    images = [icon_image(32), icon_image(16)]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for size, image in zip((32, 16), images):
        entries += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(image), offset)
        offset += len(image)
    return directory + entries + b"".join(images)


def main():
    outputs = {
        "lamp_idle.bmp": lamp((2, YELLOW)),
        "lamp_receiving.bmp": lamp((1, GREEN)),
        "lamp_received.bmp": lamp((0, RED)),
        "sample_screen.bmp": sample_screen(),
        "krt460.ico": icon(),
    }
    for name, data in outputs.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
