#!/usr/bin/env python3
"""Writes the seeds of corpus/inflate. The first byte of each picks the format (even: zlib, odd:
raw deflate), the rest is the stream: stored, fixed and dynamic blocks, several of them in one
stream, long matches, an empty stream, a preset dictionary id, and a bad Adler-32."""
import os
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "inflate")

ZLIB, RAW = b"\x00", b"\x01"


def deflate(data, level=6, wbits=15, strategy=zlib.Z_DEFAULT_STRATEGY, flushes=()):
    c = zlib.compressobj(level, zlib.DEFLATED, wbits, 8, strategy)
    out, start = b"", 0
    for cut in flushes:
        out += c.compress(data[start:cut]) + c.flush(zlib.Z_FULL_FLUSH)
        start = cut
    return out + c.compress(data[start:]) + c.flush()


def main():
    os.makedirs(OUT, exist_ok=True)
    text = b"ambient occlusion bakes light into texels; " * 12
    ramp = bytes(range(256)) * 3
    seeds = {
        "empty_zlib.bin": ZLIB + zlib.compress(b""),
        "stored_zlib.bin": ZLIB + zlib.compress(b"stored bytes, not compressed", 0),
        "fixed_raw.bin": RAW + deflate(b"abcabcabcabcabc xyz", 9, -15, zlib.Z_FIXED),
        "dynamic_zlib.bin": ZLIB + zlib.compress(text, 9),
        "huffman_only_raw.bin": RAW + deflate(ramp, 6, -15, zlib.Z_HUFFMAN_ONLY),
        "rle_zlib.bin": ZLIB + deflate(b"\x00" * 3000 + b"\x01" * 300, 6, 15, zlib.Z_RLE),
        "blocks_raw.bin": RAW + deflate(text + ramp, 1, -15, flushes=(100, 300, 600)),
        "small_window_zlib.bin": ZLIB + deflate(text, 9, 9),
        "dictionary_id_zlib.bin": ZLIB + b"\x78\xbb\x00\x00\x00\x01" + zlib.compress(b"x")[2:],
        "bad_adler_zlib.bin": ZLIB + zlib.compress(b"checksum")[:-1] + b"\x00",
    }
    for name, data in seeds.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
