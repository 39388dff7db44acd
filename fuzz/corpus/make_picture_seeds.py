#!/usr/bin/env python3
"""Writes the seed corpora of the picture fuzz targets: small GIF files (fuzz/corpus/gif/),
BMP and JPEG files (fuzz/corpus/picture/, the first byte choosing the reader and the JPEG
divisor, as picture_fuzz.cpp reads it) and the metafiles of the metafile tests
(fuzz/corpus/metafile/, written by tests/data/metafile/make_metafiles.py). JPEGs are made
with cjpeg (libjpeg-turbo-progs).
Run from anywhere: python3 fuzz/corpus/make_picture_seeds.py"""

import os
import struct
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def lzw_codes(min_code_size, pixels):
    clear = 1 << min_code_size
    codes = [clear]
    table = {}
    nxt = clear + 2
    cur = None
    for p in pixels:
        if cur is None:
            cur = p
            continue
        key = (cur, p)
        if key in table:
            cur = table[key]
            continue
        codes.append(cur)
        if nxt < 4096:
            table[key] = nxt
            nxt += 1
        else:
            codes.append(clear)
            table = {}
            nxt = clear + 2
        cur = p
    if cur is not None:
        codes.append(cur)
    codes.append(clear + 1)
    return codes


def pack_codes(min_code_size, codes):
    clear = 1 << min_code_size
    size = min_code_size + 1
    nxt = clear + 2
    have_prev = False
    out = bytearray()
    buf = 0
    bits = 0
    for c in codes:
        buf |= (c & ((1 << size) - 1)) << bits
        bits += size
        while bits >= 8:
            out.append(buf & 0xFF)
            buf >>= 8
            bits -= 8
        if c == clear:
            size = min_code_size + 1
            nxt = clear + 2
            have_prev = False
        elif c == clear + 1:
            pass
        elif not have_prev:
            have_prev = True
        elif nxt < 4096:
            nxt += 1
            if nxt == (1 << size) and nxt < 4096:
                size += 1
    if bits:
        out.append(buf & 0xFF)
    return bytes(out)


def sub_blocks(data, size=255):
    out = bytearray()
    for i in range(0, len(data), size):
        chunk = data[i:i + size]
        out.append(len(chunk))
        out += chunk
    out.append(0)
    return bytes(out)


def table(n):
    return b"".join(bytes(((i * 53) & 255, (i * 101) & 255, (i * 197) & 255)) for i in range(n))


def gif(width, height, frames, bits=2, global_table=True, extensions=b""):
    out = bytearray(b"GIF89a")
    packed = ((bits - 1) << 4) | ((0x80 | (bits - 1)) if global_table else 0)
    out += struct.pack("<HHBBB", width, height, packed, 0, 0)
    if global_table:
        out += table(1 << bits)
    out += extensions
    for f in frames:
        left, top, w, h = f["rect"]
        if "control" in f:
            disposal, delay, transparent = f["control"]
            out += b"\x21\xF9\x04" + bytes([(disposal << 2) | (1 if transparent >= 0 else 0)])
            out += struct.pack("<HB", delay, max(transparent, 0)) + b"\x00"
        flags = 0x40 if f.get("interlaced") else 0
        local = f.get("local", 0)
        if local:
            flags |= 0x80 | (local - 1)
        out += b"," + struct.pack("<HHHHB", left, top, w, h, flags)
        if local:
            out += table(1 << local)
        code_size = max(2, local or bits)
        pixels = [(x * 3 + y * 5) % (1 << (local or bits)) for y in range(h) for x in range(w)]
        out += bytes([code_size]) + sub_blocks(pack_codes(code_size, lzw_codes(code_size, pixels)),
                                               f.get("block", 255))
    out += b";"
    return bytes(out)


def bmp(width, height, bpp):
    stride = ((width * bpp + 31) // 32) * 4
    palette = b""
    if bpp <= 8:
        palette = b"".join(bytes((i * 40 & 255, i * 90 & 255, i * 150 & 255, 0)) for i in range(1 << bpp))
    rows = bytearray()
    for y in range(height):
        row = bytearray(stride)
        for x in range(width):
            if bpp == 24:
                row[3 * x:3 * x + 3] = bytes((x * 20 & 255, y * 30 & 255, 128))
            elif bpp == 8:
                row[x] = (x + y) & 255
            elif bpp == 4:
                row[x // 2] |= ((x + y) & 15) << (4 if x % 2 == 0 else 0)
            elif bpp == 1:
                if (x + y) % 2:
                    row[x // 8] |= 0x80 >> (x % 8)
        rows += row
    offset = 14 + 40 + len(palette)
    header = struct.pack("<2sIHHI", b"BM", offset + len(rows), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bpp, 0, len(rows), 2835, 2835, 0, 0)
    return header + info + palette + bytes(rows)


def bmp_file(info, rows):
    """A BMP file of the given header, masks and colour table, and rows."""
    offset = 14 + len(info)
    return struct.pack("<2sIHHI", b"BM", offset + len(rows), 0, 0, offset) + info + rows


def info_header(width, height, bpp, compression=0, colours=0):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, bpp, compression, 0, 0, 0, colours, 0)


def bmp_classes():
    """The bitmap classes the system reads its own way: 16-bit 5-5-5 and 5-6-5, masks of
    4 and 10 bits, OS/2 1.x headers with a short palette, and run-length rows."""
    masks = lambda *m: struct.pack("<%dI" % len(m), *m)
    yield "b16.bin", bmp_file(info_header(5, 3, 16), bytes(range(32)) * 2)
    yield "b565.bin", bmp_file(info_header(4, 2, 16, 3) + masks(0xF800, 0x07E0, 0x001F),
                               bytes(range(16)))
    yield "b444.bin", bmp_file(info_header(3, 2, 16, 3) + masks(0x0F00, 0x00F0, 0x000F),
                               bytes(range(16)))
    yield "b101010.bin", bmp_file(info_header(3, 2, 32, 3) + masks(0x3FF00000, 0xFFC00, 0x3FF),
                                  bytes(range(24)))
    yield "bv5.bin", bmp_file(struct.pack("<IiiHHIIiiII", 124, 2, 2, 1, 32, 3, 0, 0, 0, 0, 0) +
                              masks(0xFF0000, 0xFF00, 0xFF, 0xFF000000) + bytes(124 - 56),
                              bytes(range(16)))
    yield "bos2.bin", bmp_file(struct.pack("<IHHHH", 12, 4, 2, 1, 8) + bytes(range(9)),
                               bytes([3, 2, 1, 0, 0, 1, 2, 3]))
    yield "brle8.bin", bmp_file(info_header(6, 3, 8, 1, 4) + bytes(range(16)),
                                bytes([3, 1, 0, 0, 0, 3, 1, 2, 3, 0, 0, 2, 1, 1, 2, 2, 0, 1]))
    yield "brle4.bin", bmp_file(info_header(6, 3, 4, 2, 4) + bytes(range(16)),
                                bytes([5, 0x12, 0, 0, 0, 4, 0x12, 0x30, 0, 0, 0, 1]))


def jpeg(width, height, extra_args):
    ppm = b"P6 %d %d 255\n" % (width, height)
    ppm += bytes(v for y in range(height) for x in range(width)
                 for v in ((x * 9) & 255, (y * 7) & 255, ((x + y) * 5) & 255))
    with tempfile.NamedTemporaryFile(suffix=".ppm") as f:
        f.write(ppm)
        f.flush()
        return subprocess.run(["cjpeg", "-quality", "60"] + extra_args + [f.name],
                              check=True, capture_output=True).stdout


def write(folder, name, data):
    os.makedirs(os.path.join(HERE, folder), exist_ok=True)
    with open(os.path.join(HERE, folder, name), "wb") as f:
        f.write(data)


def main():
    write("gif", "single.gif", gif(8, 6, [{"rect": (0, 0, 8, 6)}]))
    write("gif", "onebit.gif", gif(11, 3, [{"rect": (0, 0, 11, 3)}], bits=1))
    write("gif", "interlaced.gif", gif(5, 9, [{"rect": (0, 0, 5, 9), "interlaced": True}], bits=4))
    write("gif", "animated.gif", gif(6, 6, [
        {"rect": (0, 0, 6, 6), "control": (1, 10, -1)},
        {"rect": (1, 1, 3, 3), "control": (2, 5, 2)},
        {"rect": (2, 2, 4, 4), "control": (3, 0, 1), "local": 3},
        {"rect": (0, 0, 2, 2), "control": (0, 7, -1), "block": 3},
    ], bits=3, extensions=b"\x21\xFE\x03abc\x00\x21\xFF\x0bNETSCAPE2.0\x03\x01\x00\x00\x00"))
    write("gif", "nocolours.gif", gif(4, 4, [{"rect": (0, 0, 4, 4)}], global_table=False))
    write("gif", "outside.gif", gif(4, 4, [{"rect": (2, 2, 5, 5)}]))
    # picture_fuzz: first byte even = BMP, odd = JPEG with divisor byte >> 1.
    write("picture", "b24.bin", b"\x00" + bmp(7, 5, 24))
    write("picture", "b8.bin", b"\x00" + bmp(9, 4, 8))
    write("picture", "b4.bin", b"\x00" + bmp(5, 3, 4))
    write("picture", "b1.bin", b"\x00" + bmp(13, 2, 1))
    for name, data in bmp_classes():
        write("picture", name, b"\x00" + data)
    write("picture", "j1.bin", b"\x03" + jpeg(24, 16, []))
    write("picture", "j2.bin", b"\x05" + jpeg(33, 17, ["-progressive"]))
    write("picture", "j8.bin", b"\x11" + jpeg(40, 24, ["-grayscale"]))
    metafiles = os.path.join(HERE, "..", "..", "tests", "data", "metafile", "make_metafiles.py")
    subprocess.run(["python3", metafiles, os.path.join(HERE, "metafile")], check=True)


if __name__ == "__main__":
    main()
