#!/usr/bin/env python3
"""Draws the Login Manager's key emblem and writes manager/res/VelkorFIDO2_GUI.ico.

Thirteen images: 48, 32, 24 and 16 pixels at 4 and at 8 bits per pixel, and 256, 48, 32,
24 and 16 pixels at 32 bits per pixel (the 256-pixel one as PNG). Standard library only.
Usage: manager-make-icon.py [output.ico]
"""
import os
import struct
import sys
import zlib

FILL = (0xE8, 0xB0, 0x28)    # gold
EDGE = (0x6B, 0x45, 0x05)    # dark brown
SAMPLES = 4                  # per axis, for the 32-bit images' edges


def inside(x, y):
    """The key in the unit square: a ring-shaped bow, a shaft and two teeth."""
    dx, dy = x - 0.30, y - 0.50
    r2 = dx * dx + dy * dy
    if 0.085 ** 2 <= r2 <= 0.235 ** 2:
        return True
    if 0.48 <= x <= 0.94 and 0.44 <= y <= 0.56:
        return True
    if 0.70 <= x <= 0.78 and 0.56 <= y <= 0.74:
        return True
    if 0.84 <= x <= 0.94 and 0.56 <= y <= 0.68:
        return True
    return False


def coverage(size):
    """Share of each pixel inside the key, rows top to bottom."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            hits = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    hits += inside((px + (sx + 0.5) / SAMPLES) / size, (py + (sy + 0.5) / SAMPLES) / size)
            row.append(hits / (SAMPLES * SAMPLES))
        rows.append(row)
    return rows


def classify(size):
    """0 background, 1 edge, 2 fill for every pixel."""
    cov = coverage(size)
    width = max(1, size // 24)
    kinds = []
    for py in range(size):
        row = []
        for px in range(size):
            if cov[py][px] < 0.5:
                row.append(0)
                continue
            edge = False
            for ny in range(py - width, py + width + 1):
                for nx in range(px - width, px + width + 1):
                    if not (0 <= nx < size and 0 <= ny < size) or cov[ny][nx] < 0.5:
                        edge = True
            row.append(1 if edge else 2)
        kinds.append(row)
    return kinds, cov


def rgba(size):
    kinds, cov = classify(size)
    pixels = []
    for py in range(size):
        row = []
        for px in range(size):
            alpha = int(round(cov[py][px] * 255))
            colour = FILL if kinds[py][px] == 2 else EDGE
            row.append(colour + (alpha,))
        pixels.append(row)
    return pixels


def and_mask(opaque_rows, size):
    stride = ((size + 31) // 32) * 4
    data = b""
    for row in reversed(opaque_rows):
        bits = bytearray(stride)
        for px, opaque in enumerate(row):
            if not opaque:
                bits[px // 8] |= 0x80 >> (px % 8)
        data += bytes(bits)
    return data


def dib_header(size, bits, colours):
    xor_stride = ((size * bits + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    image = (xor_stride + and_stride) * size
    return struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, image, 0, 0, colours, 0)


def paletted(size, bits):
    kinds, _ = classify(size)
    if bits == 4:
        # The standard 16-colour palette: dark yellow edge, yellow fill.
        vga = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
               (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
               (255, 0, 255), (0, 255, 255), (255, 255, 255)]
        palette, index = vga, {0: 0, 1: 3, 2: 11}
    else:
        palette = [(0, 0, 0), EDGE, FILL] + [(0, 0, 0)] * 253
        index = {0: 0, 1: 1, 2: 2}
    data = dib_header(size, bits, len(palette))
    data += b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in palette)
    stride = ((size * bits + 31) // 32) * 4
    for row in reversed(kinds):
        line = bytearray(stride)
        for px, kind in enumerate(row):
            value = index[kind]
            if bits == 8:
                line[px] = value
            else:
                line[px // 2] |= value << (4 if px % 2 == 0 else 0)
        data += bytes(line)
    return data + and_mask([[k != 0 for k in row] for row in kinds], size)


def truecolour(size):
    pixels = rgba(size)
    data = dib_header(size, 32, 0)
    for row in reversed(pixels):
        data += b"".join(struct.pack("<BBBB", b, g, r, a) for (r, g, b, a) in row)
    return data + and_mask([[p[3] >= 128 for p in row] for row in pixels], size)


def png(size):
    pixels = rgba(size)
    raw = b"".join(b"\x00" + b"".join(bytes(p) for p in row) for row in pixels)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "manager", "res", "VelkorFIDO2_GUI.ico")
    images = []  # (size, bits, colour count, bytes)
    for bits in (4, 8):
        for size in (48, 32, 24, 16):
            images.append((size, bits, 16 if bits == 4 else 0, paletted(size, bits)))
    images.append((256, 32, 0, png(256)))
    for size in (48, 32, 24, 16):
        images.append((size, 32, 0, truecolour(size)))

    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    body = b""
    for size, bits, colours, data in images:
        side = 0 if size == 256 else size
        directory += struct.pack("<BBBBHHII", side, side, colours, 0, 1, bits, len(data), offset + len(body))
        body += data
    with open(target, "wb") as handle:
        handle.write(directory + body)


if __name__ == "__main__":
    main()
