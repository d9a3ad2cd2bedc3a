#!/usr/bin/python3
"""Rewrites an 8-bit RGB or RGBA PNG as a palette PNG of at most 256 colours, to keep
screenshots in the repository small: each channel is rounded to a multiple of 17 (16 levels),
then the colours that remain are the palette (refused when more than 256 remain).

  png_palette.py IN.png OUT.png

Interpreter: /usr/bin/python3 with Debian's python3-numpy.
"""

import struct
import sys
import zlib

import numpy as np


def chunks(data):
    at = 8
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        yield kind, data[at + 8:at + 8 + length]
        at += 12 + length


def unfilter(raw, width, height, channels):
    stride = width * channels
    out = np.zeros((height, stride), dtype=np.uint8)
    prev = np.zeros(stride, dtype=np.int32)
    at = 0
    for y in range(height):
        kind = raw[at]
        line = np.frombuffer(raw[at + 1:at + 1 + stride], dtype=np.uint8).astype(np.int32)
        at += 1 + stride
        if kind == 0:
            cur = line
        elif kind == 2:
            cur = (line + prev) & 0xFF
        else:  # 1 (sub), 3 (average) and 4 (Paeth) depend on the pixel to the left
            cur = np.zeros(stride, dtype=np.int32)
            for x in range(stride):
                a = cur[x - channels] if x >= channels else 0
                b = prev[x]
                c = prev[x - channels] if x >= channels else 0
                if kind == 1:
                    pred = a
                elif kind == 3:
                    pred = (a + b) // 2
                else:
                    p = a + b - c
                    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                    pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                cur[x] = (line[x] + pred) & 0xFF
        out[y] = cur
        prev = cur
    return out.reshape(height, width, channels)


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def main(argv):
    data = open(argv[0], "rb").read()
    parts = list(chunks(data))
    width, height, depth, colour = struct.unpack(">IIBB", parts[0][1][:10])
    if depth != 8 or colour not in (2, 6):
        sys.exit("png_palette: only 8-bit RGB or RGBA images")
    channels = 3 if colour == 2 else 4
    raw = zlib.decompress(b"".join(body for kind, body in parts if kind == b"IDAT"))
    pixels = unfilter(raw, width, height, channels)[:, :, :3].astype(np.int32)
    pixels = (pixels + 8) // 17 * 17
    flat = pixels.reshape(-1, 3)
    colours, index = np.unique(flat, axis=0, return_inverse=True)
    if len(colours) > 256:
        sys.exit(f"png_palette: {len(colours)} colours remain")
    rows = index.astype(np.uint8).reshape(height, width)
    body = b"".join(b"\0" + row.tobytes() for row in rows)
    out = b"\x89PNG\r\n\x1a\n"
    out += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 3, 0, 0, 0))
    out += chunk(b"PLTE", colours.astype(np.uint8).tobytes())
    out += chunk(b"IDAT", zlib.compress(body, 9))
    out += chunk(b"IEND", b"")
    open(argv[1], "wb").write(out)


if __name__ == "__main__":
    main(sys.argv[1:])
