# Whether a PNG (one-bit grey, as KRT460.exe and krt460 write them) shows the picture of a
# 160 x 160 one-bit BMP, each dot enlarged to the whole scale the PNG's size gives.
# Usage: png_shows_bmp.py PICTURE.png REFERENCE.bmp; the exit status is 0 when it does.
import struct, sys, zlib

png, bmp = open(sys.argv[1], "rb").read(), open(sys.argv[2], "rb").read()
chunks, pos = {}, 8
while pos < len(png):
    length, kind = struct.unpack(">I4s", png[pos:pos + 8])
    chunks[kind] = chunks.get(kind, b"") + png[pos + 8:pos + 8 + length]
    pos += 12 + length
header, idat = chunks[b"IHDR"], chunks[b"IDAT"]
width, height, depth, colour = struct.unpack(">IIBB", header[:10])
scale = width // 160
assert scale >= 1 and (width, height, depth, colour) == (160 * scale, 160 * scale, 1, 0), header
raw, stride, rows, previous = zlib.decompress(idat), width // 8, [], bytes(width // 8)
for y in range(height):
    kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
    for i in range(stride):
        left, up, corner = (line[i - 1] if i else 0), previous[i], (previous[i - 1] if i else 0)
        p = left + up - corner
        paeth = left if abs(p - left) <= min(abs(p - up), abs(p - corner)) else up if abs(p - up) <= abs(p - corner) else corner
        line[i] = (line[i] + [0, left, up, (left + up) // 2, paeth][kind]) & 0xFF
    rows.append(bytes(line))
    previous = line

white = lambda x, y: bmp[62 + (159 - y) * 20 + x // 8] >> (7 - x % 8) & 1  # BMP rows run bottom-up
expected = [bytes(sum(white((b * 8 + i) // scale, y // scale) << (7 - i) for i in range(8))
                  for b in range(stride)) for y in range(height)]
sys.exit(0 if rows == expected else 1)
