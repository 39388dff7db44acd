#!/usr/bin/env python3
"""Writes the small metafiles the metafile tests draw and the fuzzer starts from.

Usage: make_metafiles.py OUTDIR

Every picture family is written once against a small drawing interface and emitted as
a placeable WMF (name.wmf), a WMF without the placeable header (name_plain.wmf) and an
EMF (name.emf), 240 x 96 pixels at 96 dots per inch with one logical unit per pixel
(only mapping_plain.wmf differs: its window extent of half pixels makes it 480 x 192),
so that a test can check pixels at the coordinates written here. A few more files show
the size rules and damaged input.
"""

import os
import struct
import sys

WIDTH, HEIGHT = 240, 96


def colorref(rgb):
    r, g, b = rgb
    return r | g << 8 | b << 16


def s16(*values):
    return struct.pack("<%dh" % len(values), *values)


def dib(width, height, bpp, rows, palette=None, top_down=False):
    """A BITMAPINFOHEADER, its colour table and its rows. rows: top row first, each a
    list of palette indices (bpp <= 8) or (r, g, b) tuples."""
    palette = palette or []
    header = struct.pack("<IiiHHIIiiII", 40, width, -height if top_down else height, 1, bpp,
                         0, 0, 0, 0, len(palette), 0)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    stride = (width * bpp + 31) // 32 * 4
    data = b""
    for row in (rows if top_down else reversed(rows)):
        if bpp == 24:
            line = b"".join(struct.pack("<BBB", b, g, r) for r, g, b in row)
        elif bpp == 8:
            line = bytes(row)
        elif bpp == 4:
            padded = list(row) + [0] * (len(row) % 2)
            line = bytes(padded[i] << 4 | padded[i + 1] for i in range(0, len(padded), 2))
        elif bpp == 1:
            line = b""
            for i in range(0, len(row), 8):
                chunk = list(row[i:i + 8]) + [0] * (8 - len(row[i:i + 8]))
                line += bytes([sum(bit << (7 - k) for k, bit in enumerate(chunk))])
        else:
            raise ValueError(bpp)
        data += line + b"\0" * (stride - len(line))
    return header + table, data


class Wmf:
    """Records of a 16-bit metafile; objects take the lowest free slot, as on playback."""

    def __init__(self):
        self.records = []
        self.slots = []
        self.max_slots = 0

    def rec(self, function, params=b""):
        if len(params) % 2:
            params += b"\0"
        self.records.append(struct.pack("<IH", 3 + len(params) // 2, function) + params)

    def _new(self):
        for i, used in enumerate(self.slots):
            if not used:
                self.slots[i] = True
                return i
        self.slots.append(True)
        self.max_slots = max(self.max_slots, len(self.slots))
        return len(self.slots) - 1

    # state
    def window_org(self, x, y): self.rec(0x020B, s16(y, x))
    def window_ext(self, x, y): self.rec(0x020C, s16(y, x))
    def viewport_org(self, x, y): self.rec(0x020D, s16(y, x))
    def viewport_ext(self, x, y): self.rec(0x020E, s16(y, x))
    def map_mode(self, mode): self.rec(0x0103, s16(mode))
    def bk_mode(self, mode): self.rec(0x0102, s16(mode))
    def bk_color(self, rgb): self.rec(0x0201, struct.pack("<I", colorref(rgb)))
    def text_color(self, rgb): self.rec(0x0209, struct.pack("<I", colorref(rgb)))
    def text_align(self, align): self.rec(0x012E, s16(align))
    def fill_mode(self, mode): self.rec(0x0106, s16(mode))
    def save(self): self.rec(0x001E)
    def restore(self, n=-1): self.rec(0x0127, s16(n))

    # objects
    def pen(self, style, width, rgb):
        self.rec(0x02FA, struct.pack("<HhhI", style, width, 0, colorref(rgb)))
        return self._new()

    def brush(self, style, rgb, hatch=0):
        self.rec(0x02FC, struct.pack("<HIH", style, colorref(rgb), hatch))
        return self._new()

    def font(self, height, face, weight=400, italic=0, escapement=0):
        name = face.encode("cp1252") + b"\0"
        self.rec(0x02FB, struct.pack("<hhhhhBBBBBBBB", height, 0, escapement, escapement,
                                     weight, italic, 0, 0, 0, 0, 0, 0, 0) + name)
        return self._new()

    def palette(self):
        self.rec(0x00F7, struct.pack("<HH", 0x300, 1) + b"\0\0\0\0")
        return self._new()

    def select(self, index): self.rec(0x012D, s16(index))

    def delete(self, index):
        self.rec(0x01F0, s16(index))
        self.slots[index] = False

    # drawing
    def move_to(self, x, y): self.rec(0x0214, s16(y, x))
    def line_to(self, x, y): self.rec(0x0213, s16(y, x))
    def rectangle(self, l, t, r, b): self.rec(0x041B, s16(b, r, t, l))
    def ellipse(self, l, t, r, b): self.rec(0x0418, s16(b, r, t, l))
    def round_rect(self, l, t, r, b, w, h): self.rec(0x061C, s16(h, w, b, r, t, l))

    def arc(self, kind, l, t, r, b, xs, ys, xe, ye):
        function = {"arc": 0x0817, "pie": 0x081A, "chord": 0x0830}[kind]
        self.rec(function, s16(ye, xe, ys, xs, b, r, t, l))

    def polyline(self, points):
        self.rec(0x0325, s16(len(points)) + b"".join(s16(x, y) for x, y in points))

    def polygon(self, points):
        self.rec(0x0324, s16(len(points)) + b"".join(s16(x, y) for x, y in points))

    def poly_polygon(self, polygons):
        self.rec(0x0538, s16(len(polygons)) + b"".join(s16(len(p)) for p in polygons) +
                 b"".join(s16(x, y) for p in polygons for x, y in p))

    def text(self, x, y, text):
        data = text.encode("cp1252")
        padded = data + b"\0" * (len(data) % 2)
        self.rec(0x0521, s16(len(data)) + padded + s16(y, x))

    def ext_text(self, x, y, text, options=0, rect=None, dx=None):
        data = text.encode("cp1252")
        params = s16(y, x, len(data), options)
        if rect:
            params += s16(*rect)
        params += data
        if dx:
            params += b"\0" * (len(data) % 2) + s16(*dx)
        self.rec(0x0A32, params)

    def stretch_dib(self, x, y, w, h, info, bits, src=None):
        width, height = struct.unpack_from("<ii", info, 4)
        sx, sy, sw, sh = src or (0, 0, width, abs(height))
        self.rec(0x0F43, struct.pack("<IH", 0x00CC0020, 0) +
                 s16(sh, sw, sy, sx, h, w, y, x) + info + bits)

    def dib_stretch_blt(self, x, y, w, h, info, bits, src=None):
        width, height = struct.unpack_from("<ii", info, 4)
        sx, sy, sw, sh = src or (0, 0, width, abs(height))
        self.rec(0x0B41, struct.pack("<I", 0x00CC0020) +
                 s16(sh, sw, sy, sx, h, w, y, x) + info + bits)

    def pat_blt(self, x, y, w, h, rop=0x00F00021):
        self.rec(0x061D, struct.pack("<I", rop) + s16(h, w, y, x))

    def intersect_clip(self, l, t, r, b): self.rec(0x0416, s16(b, r, t, l))
    def exclude_clip(self, l, t, r, b): self.rec(0x0415, s16(b, r, t, l))

    def bytes(self, placeable=True, bounds=(0, 0, WIDTH, HEIGHT), inch=96, objects=None):
        body = b"".join(self.records) + struct.pack("<IH", 3, 0)
        max_record = max([len(r) // 2 for r in self.records] + [3])
        n_objects = self.max_slots if objects is None else objects
        header = struct.pack("<HHHIHIH", 1, 9, 0x300, (18 + len(body)) // 2, n_objects,
                             max_record, 0)
        out = header + body
        if placeable:
            head = struct.pack("<IHhhhhHI", 0x9AC6CDD7, 0, *bounds, inch, 0)
            checksum = 0
            for (word,) in struct.iter_unpack("<H", head):
                checksum ^= word
            out = head + struct.pack("<H", checksum) + out
        return out


class Emf:
    """Records of an enhanced metafile; object handles from 1 up, the lowest free first."""

    def __init__(self):
        self.records = []
        self.handles = [True]  # handle 0 is the metafile itself

    def rec(self, kind, payload=b""):
        payload += b"\0" * (-len(payload) % 4)
        self.records.append(struct.pack("<II", kind, 8 + len(payload)) + payload)

    def _new(self):
        for i, used in enumerate(self.handles):
            if not used:
                self.handles[i] = True
                return i
        self.handles.append(True)
        return len(self.handles) - 1

    def window_org(self, x, y): self.rec(10, struct.pack("<ii", x, y))
    def window_ext(self, x, y): self.rec(9, struct.pack("<ii", x, y))
    def viewport_org(self, x, y): self.rec(12, struct.pack("<ii", x, y))
    def viewport_ext(self, x, y): self.rec(11, struct.pack("<ii", x, y))
    def map_mode(self, mode): self.rec(17, struct.pack("<I", mode))
    def bk_mode(self, mode): self.rec(18, struct.pack("<I", mode))
    def bk_color(self, rgb): self.rec(25, struct.pack("<I", colorref(rgb)))
    def text_color(self, rgb): self.rec(24, struct.pack("<I", colorref(rgb)))
    def text_align(self, align): self.rec(22, struct.pack("<I", align))
    def fill_mode(self, mode): self.rec(19, struct.pack("<I", mode))
    def save(self): self.rec(33)
    def restore(self, n=-1): self.rec(34, struct.pack("<i", n))

    def pen(self, style, width, rgb):
        h = self._new()
        self.rec(38, struct.pack("<IIiiI", h, style, width, 0, colorref(rgb)))
        return h

    def brush(self, style, rgb, hatch=0):
        h = self._new()
        self.rec(39, struct.pack("<IIII", h, style, colorref(rgb), hatch))
        return h

    def font(self, height, face, weight=400, italic=0, escapement=0):
        h = self._new()
        name = face.encode("utf-16-le")[:62]
        name += b"\0" * (64 - len(name))
        logfont = struct.pack("<iiiiiBBBBBBBB", height, 0, escapement, escapement, weight,
                              italic, 0, 0, 0, 0, 0, 0, 0) + name
        self.rec(82, struct.pack("<I", h) + logfont)
        return h

    def palette(self):
        h = self._new()
        self.rec(49, struct.pack("<IHH", h, 0x300, 1) + b"\0\0\0\0")
        return h

    def select(self, index): self.rec(37, struct.pack("<I", index))

    def delete(self, index):
        self.rec(40, struct.pack("<I", index))
        self.handles[index] = False

    def move_to(self, x, y): self.rec(27, struct.pack("<ii", x, y))
    def line_to(self, x, y): self.rec(54, struct.pack("<ii", x, y))
    def rectangle(self, l, t, r, b): self.rec(43, struct.pack("<iiii", l, t, r, b))
    def ellipse(self, l, t, r, b): self.rec(42, struct.pack("<iiii", l, t, r, b))

    def round_rect(self, l, t, r, b, w, h):
        self.rec(44, struct.pack("<iiiiii", l, t, r, b, w, h))

    def arc(self, kind, l, t, r, b, xs, ys, xe, ye):
        self.rec({"arc": 45, "chord": 46, "pie": 47}[kind],
                 struct.pack("<iiiiiiii", l, t, r, b, xs, ys, xe, ye))

    def _bounds(self, points):
        xs = [p[0] for p in points] or [0]
        ys = [p[1] for p in points] or [0]
        return struct.pack("<iiii", min(xs), min(ys), max(xs), max(ys))

    def polyline(self, points):
        # The 16-bit form, as most writers emit it for small coordinates.
        self.rec(87, self._bounds(points) + struct.pack("<I", len(points)) +
                 b"".join(s16(x, y) for x, y in points))

    def polygon(self, points):
        self.rec(3, self._bounds(points) + struct.pack("<I", len(points)) +
                 b"".join(struct.pack("<ii", x, y) for x, y in points))

    def poly_polygon(self, polygons):
        flat = [p for poly in polygons for p in poly]
        self.rec(91, self._bounds(flat) + struct.pack("<II", len(polygons), len(flat)) +
                 b"".join(struct.pack("<I", len(p)) for p in polygons) +
                 b"".join(s16(x, y) for x, y in flat))

    def _text(self, x, y, text, options, rect, dx):
        data = text.encode("utf-16-le")
        data += b"\0" * (-len(data) % 4)
        fixed = 76
        rect = rect or (0, 0, 0, 0)
        payload = (struct.pack("<iiii", 0, 0, 0, 0) + struct.pack("<Iff", 1, 1.0, 1.0) +
                   struct.pack("<iiIII", x, y, len(text), fixed, options) +
                   struct.pack("<iiii", *rect) + struct.pack("<I", fixed + len(data) if dx else 0))
        self.rec(84, payload + data + (struct.pack("<%di" % len(dx), *dx) if dx else b""))

    def text(self, x, y, text): self._text(x, y, text, 0, None, None)

    def ext_text(self, x, y, text, options=0, rect=None, dx=None):
        self._text(x, y, text, options, rect, dx)

    def stretch_dib(self, x, y, w, h, info, bits, src=None):
        width, height = struct.unpack_from("<ii", info, 4)
        sx, sy, sw, sh = src or (0, 0, width, abs(height))
        fixed = 80
        payload = (struct.pack("<iiii", x, y, x + w, y + h) +
                   struct.pack("<iiiiii", x, y, sx, sy, sw, sh) +
                   struct.pack("<IIII", fixed, len(info), fixed + len(info), len(bits)) +
                   struct.pack("<IIii", 0, 0x00CC0020, w, h))
        self.rec(81, payload + info + bits)

    def dib_stretch_blt(self, x, y, w, h, info, bits, src=None):
        width, height = struct.unpack_from("<ii", info, 4)
        sx, sy, sw, sh = src or (0, 0, width, abs(height))
        fixed = 108
        payload = (struct.pack("<iiii", x, y, x + w, y + h) +
                   struct.pack("<iiiiIii", x, y, w, h, 0x00CC0020, sx, sy) +
                   struct.pack("<ffffff", 1, 0, 0, 1, 0, 0) +
                   struct.pack("<IIIIII", 0, 0, fixed, len(info), fixed + len(info), len(bits)) +
                   struct.pack("<ii", sw, sh))
        self.rec(77, payload + info + bits)

    def pat_blt(self, x, y, w, h, rop=0x00F00021):
        payload = (struct.pack("<iiii", x, y, x + w, y + h) +
                   struct.pack("<iiiiIii", x, y, w, h, rop, 0, 0) +
                   struct.pack("<ffffff", 1, 0, 0, 1, 0, 0) + struct.pack("<IIIIII", 0, 0, 0, 0, 0, 0))
        self.rec(76, payload)

    def intersect_clip(self, l, t, r, b): self.rec(30, struct.pack("<iiii", l, t, r, b))
    def exclude_clip(self, l, t, r, b): self.rec(29, struct.pack("<iiii", l, t, r, b))

    # curves and paths
    def bezier16(self, points, to=False):
        self.rec(88 if to else 85, self._bounds(points) + struct.pack("<I", len(points)) +
                 b"".join(s16(x, y) for x, y in points))

    def bezier(self, points, to=False):
        self.rec(5 if to else 2, self._bounds(points) + struct.pack("<I", len(points)) +
                 b"".join(struct.pack("<ii", x, y) for x, y in points))

    def begin_path(self): self.rec(59)
    def end_path(self): self.rec(60)
    def close_figure(self): self.rec(61)
    def fill_path(self): self.rec(62, struct.pack("<iiii", 0, 0, 0, 0))
    def stroke_fill_path(self): self.rec(63, struct.pack("<iiii", 0, 0, 0, 0))
    def stroke_path(self): self.rec(64, struct.pack("<iiii", 0, 0, 0, 0))
    def abort_path(self): self.rec(68)
    def select_clip_path(self, mode): self.rec(67, struct.pack("<I", mode))

    def ext_select_clip(self, mode, rects):
        if rects is None:
            self.rec(75, struct.pack("<II", 0, mode))
            return
        xs = [r[0] for r in rects] + [r[2] for r in rects]
        ys = [r[1] for r in rects] + [r[3] for r in rects]
        data = (struct.pack("<IIII", 32, 1, len(rects), 16 * len(rects)) +
                struct.pack("<iiii", min(xs), min(ys), max(xs), max(ys)) +
                b"".join(struct.pack("<iiii", *r) for r in rects))
        self.rec(75, struct.pack("<II", len(data), mode) + data)

    # transforms: x' = m11 x + m21 y + dx, y' = m12 x + m22 y + dy
    def world(self, m11, m12, m21, m22, dx, dy):
        self.rec(35, struct.pack("<ffffff", m11, m12, m21, m22, dx, dy))

    def modify_world(self, mode, m11=1, m12=0, m21=0, m22=1, dx=0, dy=0):
        self.rec(36, struct.pack("<ffffffI", m11, m12, m21, m22, dx, dy, mode))

    def gradient(self, mode, vertices, shapes):
        flat = [(x, y) for x, y, _ in vertices]
        payload = self._bounds(flat) + struct.pack("<III", len(vertices), len(shapes), mode)
        for x, y, (r, g, b) in vertices:
            payload += struct.pack("<iiHHHH", x, y, r << 8, g << 8, b << 8, 0)
        for shape in shapes:
            payload += struct.pack("<%dI" % len(shape), *shape)
        self.rec(118, payload)

    def alpha_blend(self, x, y, w, h, info, bits, alpha, source_alpha=False):
        width, height = struct.unpack_from("<ii", info, 4)
        fixed = 108
        payload = (struct.pack("<iiii", x, y, x + w, y + h) +
                   struct.pack("<iiii", x, y, w, h) +
                   struct.pack("<BBBB", 0, 0, alpha, 1 if source_alpha else 0) +
                   struct.pack("<ii", 0, 0) + struct.pack("<ffffff", 1, 0, 0, 1, 0, 0) +
                   struct.pack("<IIIIII", 0, 0, fixed, len(info), fixed + len(info), len(bits)) +
                   struct.pack("<ii", width, abs(height)))
        self.rec(114, payload + info + bits)

    def mask_blt(self, x, y, w, h, rop, info, bits, mask_info, mask_bits):
        fixed = 128
        src = fixed
        mask = src + len(info) + len(bits)
        payload = (struct.pack("<iiii", x, y, x + w, y + h) +
                   struct.pack("<iiiiIii", x, y, w, h, rop, 0, 0) +
                   struct.pack("<ffffff", 1, 0, 0, 1, 0, 0) +
                   struct.pack("<IIIIII", 0, 0, src, len(info), src + len(info), len(bits)) +
                   struct.pack("<iiIIIII", 0, 0, 0, mask, len(mask_info), mask + len(mask_info),
                               len(mask_bits)))
        self.rec(78, payload + info + bits + mask_info + mask_bits)

    def bytes(self, frame=None, device=(960, 960), millimetres=(254, 254)):
        # The frame in hundredths of a millimetre of the picture at 96 dpi.
        frame = frame or (0, 0, WIDTH * 2540 // 96, HEIGHT * 2540 // 96)
        eof = struct.pack("<IIIII", 14, 20, 0, 16, 20)
        body = b"".join(self.records) + eof
        header_size = 88
        total = header_size + len(body)
        header = (struct.pack("<II", 1, header_size) +
                  struct.pack("<iiii", 0, 0, WIDTH - 1, HEIGHT - 1) +
                  struct.pack("<iiii", *frame) +
                  struct.pack("<IIIIHHIIIiiii", 0x464D4520, 0x10000, total,
                              len(self.records) + 2, len(self.handles), 0, 0, 0, 0,
                              device[0], device[1], millimetres[0], millimetres[1]))
        assert len(header) == header_size
        return header + body


RED, GREEN, BLUE = (255, 0, 0), (0, 160, 0), (0, 0, 255)
BLACK, WHITE, YELLOW = (0, 0, 0), (255, 255, 255), (255, 255, 0)


def begin(p):
    # As drawing programs write it: the window over the whole picture.
    p.window_org(0, 0)
    p.window_ext(WIDTH, HEIGHT)


def lines(p):
    begin(p)
    p.select(p.pen(0, 1, RED))
    p.move_to(10, 10)
    p.line_to(30, 10)
    p.polyline([(10, 20), (30, 20), (30, 40)])
    thick = p.pen(0, 5, BLUE)
    p.select(thick)
    p.move_to(60, 20)
    p.line_to(100, 20)
    p.select(p.pen(5, 1, RED))  # null pen: nothing
    p.move_to(10, 60)
    p.line_to(50, 60)


def shapes(p):
    begin(p)
    p.select(p.pen(0, 1, BLACK))
    p.select(p.brush(0, BLUE))
    p.rectangle(10, 10, 30, 20)
    p.ellipse(40, 10, 60, 30)
    p.round_rect(70, 10, 110, 40, 16, 16)
    p.select(p.brush(1, RED))  # hollow brush: outline only
    p.rectangle(120, 10, 140, 30)
    p.select(p.brush(2, RED, 0))  # horizontal hatch, transparent background
    p.bk_mode(1)
    p.rectangle(150, 10, 190, 50)


def polygons(p):
    begin(p)
    p.select(p.pen(5, 0, BLACK))
    p.select(p.brush(0, GREEN))
    p.polygon([(10, 10), (50, 10), (10, 50)])
    square = [(60, 10), (100, 10), (100, 50), (60, 50)]
    inner = [(70, 20), (90, 20), (90, 40), (70, 40)]
    p.poly_polygon([square, inner])  # alternate: the inner square stays empty
    p.fill_mode(2)
    p.poly_polygon([[(x + 50, y) for x, y in square], [(x + 50, y) for x, y in inner]])


def arcs(p):
    begin(p)
    p.select(p.pen(0, 1, BLACK))
    p.select(p.brush(0, RED))
    # Counter-clockwise from the right (3 o'clock) to the top (12 o'clock): the top-right
    # quarter.
    p.arc("pie", 10, 10, 50, 50, 50, 30, 30, 10)
    p.arc("chord", 60, 10, 100, 50, 100, 30, 60, 30)  # the upper half
    p.arc("arc", 110, 10, 150, 50, 150, 30, 110, 30)


def text(p):
    begin(p)
    p.select(p.font(-20, "Arial"))
    p.text_color(BLACK)
    p.bk_mode(1)
    p.text(10, 10, "HHHHHHHHHH")
    p.text_color(BLUE)
    p.bk_color(YELLOW)
    p.ext_text(10, 60, "H", 2, (5, 55, 40, 90))  # opaque rectangle in the background colour
    p.ext_text(100, 60, "HHH", 0, None, [30, 30, 30])  # placed 30 pixels apart
    p.text_align(2)  # right-aligned at its reference point
    p.text(230, 60, "HH")


def bitmap(p):
    begin(p)
    info, bits = dib(2, 2, 24, [[RED, GREEN], [BLUE, WHITE]])
    p.stretch_dib(10, 10, 20, 20, info, bits)
    info, bits = dib(4, 2, 4, [[0, 1, 2, 3], [3, 2, 1, 0]], [BLACK, RED, GREEN, BLUE])
    p.dib_stretch_blt(40, 10, 40, 20, info, bits)
    info, bits = dib(8, 1, 1, [[1, 0, 1, 0, 1, 0, 1, 0]], [WHITE, BLACK])
    p.dib_stretch_blt(90, 10, 16, 4, info, bits)
    # Only the top right pixel of the first bitmap (green): the source rectangle of a
    # bitmap handed over whole counts its rows from the bottom.
    info, bits = dib(2, 2, 24, [[RED, GREEN], [BLUE, WHITE]])
    p.stretch_dib(120, 10, 10, 20, info, bits, src=(1, 1, 1, 1))
    p.select(p.brush(0, BLUE))
    p.pat_blt(150, 10, 10, 10)


def mapping(p):
    # Logical units of half a pixel, the origin at 100,100.
    p.map_mode(8)
    p.viewport_org(0, 0)
    p.viewport_ext(WIDTH, HEIGHT)
    p.window_org(100, 100)
    p.window_ext(WIDTH * 2, HEIGHT * 2)
    p.select(p.pen(5, 0, BLACK))
    p.select(p.brush(0, BLUE))
    p.rectangle(120, 120, 160, 160)  # pixels 10..30
    p.save()
    p.window_org(0, 0)
    p.select(p.brush(0, RED))
    p.restore()
    p.rectangle(200, 120, 240, 160)  # still blue and mapped as before: pixels 50..70


def objects(p):
    begin(p)
    first = p.pen(0, 1, RED)
    p.brush(0, GREEN)
    p.delete(first)
    reused = p.pen(0, 1, BLUE)  # takes the freed slot
    p.select(reused)
    p.select(1 if isinstance(p, Wmf) else 2)  # the green brush
    p.rectangle(10, 10, 30, 30)
    p.palette()
    p.select(250)  # no such object: ignored
    p.rectangle(40, 10, 60, 30)


FAMILIES = [lines, shapes, polygons, arcs, text, bitmap, mapping, objects]


def clipping(p):
    # Both formats: a clip rectangle, a hole, each undone by restoring the saved state.
    begin(p)
    p.select(p.pen(5, 0, BLACK))
    p.save()
    p.intersect_clip(10, 10, 50, 50)
    p.select(p.brush(0, BLUE))
    p.rectangle(0, 0, 241, 97)
    p.restore()
    p.save()
    p.exclude_clip(80, 20, 100, 40)
    p.select(p.brush(0, GREEN))
    p.rectangle(60, 10, 121, 51)
    p.restore()
    if isinstance(p, Emf):
        p.save()
        p.ext_select_clip(5, [(130, 10, 150, 30), (160, 10, 180, 30)])
        p.select(p.brush(0, RED))
        p.rectangle(125, 5, 186, 61)
        p.restore()
        p.save()
        p.begin_path()
        p.ellipse(190, 10, 230, 50)
        p.end_path()
        p.select_clip_path(5)
        p.select(p.brush(0, YELLOW))
        p.rectangle(185, 5, 236, 56)
        p.restore()
    p.select(p.brush(0, BLACK))
    p.rectangle(0, 70, 241, 81)  # no clip left


# Families of records only the enhanced format has.
R = 30
K = round(R * 0.5523)


def beziers(p):
    begin(p)
    p.select(p.pen(5, 0, BLACK))
    p.select(p.brush(0, RED))
    # A circle of radius 30 round 40,48, as drawing programs write one: four curves.
    cx, cy = 40, 48
    p.begin_path()
    p.move_to(cx + R, cy)
    p.bezier([(cx + R, cy - K), (cx + K, cy - R), (cx, cy - R),
              (cx - K, cy - R), (cx - R, cy - K), (cx - R, cy),
              (cx - R, cy + K), (cx - K, cy + R), (cx, cy + R),
              (cx + K, cy + R), (cx + R, cy + K), (cx + R, cy)], to=True)
    p.close_figure()
    p.end_path()
    p.fill_path()
    p.select(p.pen(0, 1, BLUE))
    p.bezier16([(100, 80), (130, 0), (160, 96), (190, 20)])
    p.move_to(200, 80)
    p.bezier16([(210, 10), (230, 10), (235, 80)], to=True)


def paths(p):
    begin(p)
    p.select(p.pen(0, 1, BLACK))
    p.select(p.brush(0, GREEN))
    p.begin_path()
    p.rectangle(10, 10, 60, 50)
    p.end_path()
    p.stroke_fill_path()
    p.select(p.pen(0, 1, RED))
    p.begin_path()
    p.move_to(80, 10)
    p.line_to(120, 50)
    p.line_to(80, 50)
    p.close_figure()
    p.end_path()
    p.stroke_path()
    p.begin_path()
    p.rectangle(150, 10, 200, 50)
    p.abort_path()
    p.fill_path()  # nothing: the path was dropped


def transform(p):
    begin(p)
    p.select(p.pen(5, 0, BLACK))
    p.select(p.brush(0, BLUE))
    p.world(2, 0, 0, 2, 10, 10)
    p.rectangle(0, 0, 20, 10)  # pixels 10,10 to 50,30
    c = 0.70710677
    p.world(c, c, -c, c, 120, 48)  # turned by 45 degrees round 120,48
    p.select(p.brush(0, RED))
    p.rectangle(-20, -20, 20, 20)
    p.modify_world(1)
    p.modify_world(4, dx=180, dy=20)
    p.modify_world(2, 2, 0, 0, 2)  # scaled first, then moved
    p.select(p.brush(0, GREEN))
    p.rectangle(0, 0, 10, 10)  # pixels 180,20 to 200,40


def gradient(p):
    begin(p)
    p.gradient(0, [(10, 10, RED), (110, 40, BLUE)], [(0, 1)])
    p.gradient(1, [(10, 50, GREEN), (110, 90, WHITE)], [(0, 1)])
    p.gradient(2, [(130, 10, RED), (230, 10, GREEN), (180, 90, BLUE)], [(0, 1, 2)])


def blend(p):
    begin(p)
    p.select(p.pen(5, 0, BLACK))
    p.select(p.brush(0, BLUE))
    p.rectangle(10, 10, 111, 51)
    info, bits = dib(2, 2, 24, [[RED, RED], [RED, RED]])
    p.alpha_blend(10, 10, 50, 40, info, bits, 128)
    # Premultiplied half-transparent green over white.
    header = struct.pack("<IiiHHIIiiII", 40, 1, 1, 1, 32, 0, 0, 0, 0, 0, 0)
    p.alpha_blend(130, 10, 40, 40, header, struct.pack("<BBBB", 0, 128, 0, 128), 255, True)


def maskblt(p):
    begin(p)
    p.select(p.pen(5, 0, BLACK))
    p.select(p.brush(0, BLUE))
    p.rectangle(10, 10, 51, 31)
    info, bits = dib(4, 2, 24, [[RED] * 4, [RED] * 4])
    mask_info, mask_bits = dib(4, 2, 1, [[1, 0, 1, 0], [0, 1, 0, 1]], [BLACK, WHITE])
    p.world(10, 0, 0, 10, 10, 10)  # each bitmap pixel 10 x 10
    # Foreground: the source where the mask is set; background: what is there.
    p.mask_blt(0, 0, 4, 2, 0xAACC0020, info, bits, mask_info, mask_bits)


EMF_FAMILIES = [beziers, paths, transform, gradient, blend, maskblt]


def write(folder, name, data):
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    for family in FAMILIES:
        w, e = Wmf(), Emf()
        family(w)
        family(e)
        write(folder, family.__name__ + ".wmf", w.bytes())
        write(folder, family.__name__ + ".emf", e.bytes())
        write(folder, family.__name__ + "_plain.wmf", w.bytes(placeable=False))

    w, e = Wmf(), Emf()
    clipping(w)
    clipping(e)
    write(folder, "clipping.wmf", w.bytes())
    write(folder, "clipping.emf", e.bytes())
    for family in EMF_FAMILIES:
        e = Emf()
        family(e)
        write(folder, family.__name__ + ".emf", e.bytes())

    # Damaged files the system still draws: a WMF whose header counts more than the
    # file holds, one cut inside its last drawing record, and an EMF whose one bitmap
    # record has a colour table shorter than its header counts.
    w = Wmf()
    shapes(w)
    whole = w.bytes()
    longer = bytearray(whole)
    size = struct.unpack_from("<I", longer, 22 + 6)[0]
    struct.pack_into("<I", longer, 22 + 6, size + 1000)
    write(folder, "counted_long.wmf", bytes(longer))
    last = len(w.records[-1])
    write(folder, "cut.wmf", whole[:len(whole) - 6 - last + 8])
    e = Emf()
    begin(e)
    e.select(e.pen(5, 0, BLACK))
    e.select(e.brush(0, BLUE))
    e.rectangle(10, 10, 31, 31)
    info, bits = dib(4, 2, 4, [[0, 1, 2, 3], [3, 2, 1, 0]], [BLACK, RED, GREEN, BLUE])
    e.dib_stretch_blt(40, 10, 40, 20, info[:40 + 8], bits)  # two of its four colours
    info, bits = dib(2, 2, 24, [[RED, GREEN], [BLUE, WHITE]])
    e.stretch_dib(100, 10, 20, 20, info, bits)
    write(folder, "short_table.emf", e.bytes())

    # Size rules.
    w = Wmf()
    w.window_org(0, 0)
    w.window_ext(2880, 1440)
    write(folder, "size_twips.wmf", w.bytes(bounds=(0, 0, 2880, 1440), inch=1440))  # 192 x 96
    w = Wmf()
    w.window_ext(60, 40)
    write(folder, "size_plain.wmf", w.bytes(placeable=False))  # 60 x 40
    w = Wmf()
    w.select(0)
    write(folder, "size_none.wmf", w.bytes(placeable=False))  # 0 x 0
    e = Emf()
    write(folder, "size_frame.emf", e.bytes(frame=(0, 0, 2540, 1270)))  # 96 x 48
    write(folder, "size_offset.emf", e.bytes(frame=(1000, 2000, 3540, 4540), device=(1920, 1080),
                                            millimetres=(508, 286)))  # 96 x 96


if __name__ == "__main__":
    main()
