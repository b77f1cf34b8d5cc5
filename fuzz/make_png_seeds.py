#!/usr/bin/env python3
"""Writes the small PNG files of corpus/png_read: one of each colour type, several depths,
filters and both interlace methods, tRNS, an ancillary chunk, stored and compressed data."""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "png_read")


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]


def rows(width, height, bits_per_pixel, interlaced, filters):
    """Filtered-looking rows: the filter bytes vary, the row bytes are a simple pattern (the
    reader undoes whatever filter is named, so any bytes are valid)."""
    passes = ADAM7 if interlaced else [(0, 0, 1, 1)]
    out = bytearray()
    n = 0
    for x0, y0, dx, dy in passes:
        pw = (width - x0 + dx - 1) // dx if x0 < width else 0
        ph = (height - y0 + dy - 1) // dy if y0 < height else 0
        if pw == 0 or ph == 0:
            continue
        length = (pw * bits_per_pixel + 7) // 8
        for _ in range(ph):
            out.append(filters[n % len(filters)])
            out.extend((n * 37 + i * 11) & 0xFF for i in range(length))
            n += 1
    return bytes(out)


def png(width, height, depth, colour, interlaced=False, extra=(), filters=(0, 1, 2, 3, 4), level=9):
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour]
    header = struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, 1 if interlaced else 0)
    data = zlib.compress(rows(width, height, channels * depth, interlaced, filters), level)
    chunks = [chunk(b"IHDR", header)] + [chunk(k, v) for k, v in extra] + [chunk(b"IDAT", data), chunk(b"IEND", b"")]
    return b"\x89PNG\r\n\x1a\n" + b"".join(chunks)


SEEDS = {
    "rgb8.png": png(3, 2, 8, 2),
    "rgba8_interlaced.png": png(5, 4, 8, 6, interlaced=True),
    "palette4_interlaced_trns.png": png(9, 9, 4, 3, interlaced=True,
                                        extra=[(b"PLTE", bytes(range(48))), (b"tRNS", bytes([0, 128, 255]))]),
    "grey1.png": png(3, 3, 1, 0, filters=(0,)),
    "grey16_trns.png": png(2, 2, 16, 0, extra=[(b"tRNS", b"\x12\xab")]),
    "grey_alpha16_text.png": png(4, 3, 16, 4, extra=[(b"tEXt", b"Comment\x00seed")]),
    "rgb16_stored.png": png(2, 3, 16, 2, extra=[(b"tRNS", bytes(6))], level=0),
}

if __name__ == "__main__":
    os.makedirs(OUT, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)
