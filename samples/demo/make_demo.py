#!/usr/bin/env python3
"""Writes a small demo provider: the seed batch file "copylcache.bat" with a control file,
a layout (background, image, clock, buttons, message window, ticker), two channel feeds
and their pictures, all as an installer would put them into the control program's
folder ("vorlk/demo/").

    samples/demo/make_demo.py OUT [--host HOST] [--time TIME]
    cd OUT && TolvarCtrl --install demo   # seeds the cache and lists the provider
    Tolvar /s                             # shows it

--host is the content host the control file lists ("name" or "name:port"; the demo
content host, contenthost.py, serves this provider on loopback), --time the control
file's time, also its serial in the seed (no blanks: the batch file splits at them).

Pictures are plain 24-bit bitmaps drawn here, so nothing binary is kept in the tree.
The content host builds its changing documents with the same functions.
"""

import argparse

import math
import os
import struct
import sys

BRIMWALD = "#brimwald:///"


def bmp(width, height, pixel):
    """A bottom-up 24-bit bitmap; pixel(x, y) gives (r, g, b) with y = 0 at the top."""
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):
        row = bytearray()
        for x in range(width):
            r, g, b = pixel(x, y)
            row += bytes((b, g, r))
        row += bytes(stride - width * 3)
        rows.append(bytes(row))
    data = b"".join(rows)
    header = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    return header + info + data


def background(w, h):
    def pixel(x, y):
        t = y / max(h - 1, 1)
        wave = 0.5 + 0.5 * math.sin(x / 90.0 + y / 140.0)
        return (int(20 + 30 * t), int(40 + 60 * wave * (1 - t)), int(90 + 120 * (1 - t)))
    return bmp(w, h, pixel)


def disc(size, face, rim):
    c = (size - 1) / 2

    def pixel(x, y):
        d = math.hypot(x - c, y - c)
        if d > c:
            return (30, 50, 110)  # the background's colour around the face
        return rim if d > c - 4 else face
    return bmp(size, size, pixel)


def button(size, colour, mark):
    def pixel(x, y):
        edge = min(x, y, size - 1 - x, size - 1 - y)
        if edge < 2:
            return (255, 255, 255)
        if abs(x - y) < 3 or abs(x + y - size + 1) < 3:
            return mark
        return colour
    return bmp(size, size, pixel)


def thumb(w, h, hue):
    def pixel(x, y):
        return (int(hue[0] * (0.5 + x / (2 * w))), int(hue[1] * (0.5 + y / (2 * h))), hue[2])
    return bmp(w, h, pixel)


def rss(channel, items):
    entries = []
    for title, text, link, picture in items:
        content = ""
        if picture:
            content = ("<content:items><rdf:Bag><rdf:li><content:item rdf:about=\"%s\"/>"
                       "</rdf:li></rdf:Bag></content:items>" % picture)
        entries.append("  <item><title>%s</title><description>%s</description>"
                       "<link>%s</link>%s</item>" % (title, text, link, content))
    return ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"\n"
            "         xmlns=\"http://purl.org/rss/1.0/\"\n"
            "         xmlns:content=\"http://purl.org/rss/1.0/modules/content/\">\n"
            "  <channel rdf:about=\"http://example.com/\"><title>%s</title></channel>\n"
            "%s\n</rdf:RDF>\n" % (channel, "\n".join(entries)))


CONTROL = """<?xml version="1.0" encoding="UTF-8"?>
<content time="%(time)s">
  <hosts><host name="%(host)s"/></hosts>
  <layout key="demo" uri="#brimwald:///images/demo/base/layout.xml" serial="1"/>
  <topics>
    <topic id="news" serial="1" title="Nachrichten">
      <description>Meldungen aus aller Welt</description>
      <channelref id="world" displaytitle="Welt"/>
      <channelref id="tech" displaytitle="Technik"/>
    </topic>
  </topics>
  <channels>
    <channel id="world" serial="%(world)s" mandatory="true" title="Welt" uri="#brimwald:///feeds/world.xml"/>
    <channel id="tech" serial="%(tech)s" subscriptiondefault="true" title="Technik" uri="#brimwald:///feeds/tech.xml"/>
  </channels>
</content>
"""

LAYOUT = """<?xml version="1.0" encoding="UTF-8"?>
<layout compat="2">
  <configbanner src="#brimwald:///images/demo/banner.bmp" serial="1"/>
  <splashscreen src="#brimwald:///images/demo/splash.bmp" serial="1"/>
  <preview src="#brimwald:///images/demo/preview.bmp" serial="1"/>
  <tooltip>Tolvar Demo</tooltip>
  <screen width="1024" height="768" context="default" serial="1">
    <background src="#brimwald:///images/demo/bg.bmp" serial="1"/>
    <image id="logo" width="240" height="60" left="20" top="20" src="#brimwald:///images/demo/logo.bmp" serial="1"/>
    <clock width="140" height="140" left="864" top="20" colorhands="#FFFFFF" colorsecondshand="#FF4040">
      <face src="#brimwald:///images/demo/clock.bmp" serial="1"/>
    </clock>
    <messagewindow width="560" maxheight="320" minheight="120" left="232" top="200">
      <title fontface="Arial" fontsize="16" bold="true" fgcolor="#FFFFFF" bgcolor="#1F4E8C" border="2" height="26"/>
      <body fontface="Arial" fontsize="14" fgcolor="#101010" bgcolor="#F4F4F4"/>
    </messagewindow>
    <ticker width="1024" height="96" left="0" top="672" messagewidth="320">
      <title fontface="Arial" fontsize="12" fgcolor="#FFFFFF" bgcolor="#1F4E8C" border="2" height="20"/>
      <body fontface="Arial" fontsize="12" fgcolor="#101010" bgcolor="#FFFFFF"/>
    </ticker>
    <button id="#quit" width="40" height="40" left="974" top="620">
      <face context="default" tooltip="Beenden">
        <default src="#brimwald:///images/demo/quit.bmp" serial="1"/>
        <hover src="#brimwald:///images/demo/quit_h.bmp" serial="1"/>
      </face>
    </button>
  </screen>
</layout>
"""


DEFAULT_HOST = "content.example"
DEFAULT_TIME = "2026-12-10 08:00"

WORLD_ITEMS = [
    ("Ruhiger Wintertag", "Im ganzen Land bleibt es heute trocken und kalt, mit Sonne am Nachmittag.",
     "https://example.com/wetter", BRIMWALD + "images/t1.bmp"),
    ("Neue Brücke eröffnet", "Nach drei Jahren Bauzeit ist die Brücke über den Fluss für den Verkehr frei.",
     "https://example.com/bruecke", BRIMWALD + "images/t2.bmp"),
    ("Konzert im Park", "Das Orchester spielt am Samstag unter freiem Himmel.", "", None),
]
TECH_ITEMS = [
    ("Schnellere Netze", "Die Stadtwerke bauen das Glasfasernetz in zwei weiteren Vierteln aus.",
     "https://example.com/netz", BRIMWALD + "images/t3.bmp"),
    ("Roboter im Lager", "Ein Versandhändler testet selbstfahrende Regale.", "https://example.com/lager", None),
]


def control_file(host=DEFAULT_HOST, time=DEFAULT_TIME, world="1", tech="1"):
    """The control file listing one content host, with the channels' serials."""
    return CONTROL % {"host": host, "time": time, "world": world, "tech": tech}


def world_feed(news=()):
    """The world channel: news items (title, text, link, picture key) before the standing ones."""
    return rss("Welt", list(news) + WORLD_ITEMS)


def tech_feed():
    return rss("Technik", TECH_ITEMS)


def solid(width, height, colour):
    """A flat picture with a white frame: its colour is easy to find on a screenshot."""
    def pixel(x, y):
        if min(x, y, width - 1 - x, height - 1 - y) < 3:
            return (255, 255, 255)
        return colour
    return bmp(width, height, pixel)


def write_demo(out, host=DEFAULT_HOST, time=DEFAULT_TIME, control_serial="1"):
    """Writes the provider into OUT/vorlk/demo; returns that folder."""
    folder = os.path.join(out, "vorlk", "demo")
    os.makedirs(folder, exist_ok=True)

    def write(name, data):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data.encode("utf-8") if isinstance(data, str) else data)

    pictures = {
        "bg.bmp": background(1024, 768),
        "logo.bmp": bmp(240, 60, lambda x, y: (240, 200, 60) if (x // 12 + y // 12) % 2 else (200, 140, 20)),
        "clock.bmp": disc(140, (20, 40, 90), (220, 220, 220)),
        "quit.bmp": button(40, (170, 30, 30), (255, 255, 255)),
        "quit_h.bmp": button(40, (230, 60, 60), (255, 255, 255)),
        "banner.bmp": background(480, 60),
        "splash.bmp": background(400, 300),
        "preview.bmp": background(152, 112),
        "t1.bmp": thumb(96, 72, (255, 120, 40)),
        "t2.bmp": thumb(96, 72, (60, 200, 120)),
        "t3.bmp": thumb(96, 72, (120, 90, 255)),
    }
    for name, data in pictures.items():
        write(name, data)
    write("control.xml", control_file(host, time))
    write("layout.xml", LAYOUT)
    write("world.xml", world_feed())
    write("tech.xml", tech_feed())

    lines = ["@echo off", "rem Seeds the demo provider's cache; read by TolvarCtrl, never run."]
    adds = [
        ("control.xml", control_serial, "#brimwald:///feeds/content.php"),
        ("layout.xml", "1", "#brimwald:///images/demo/base/layout.xml"),
        ("world.xml", "1", "#brimwald:///feeds/world.xml"),
        ("tech.xml", "1", "#brimwald:///feeds/tech.xml"),
        ("t1.bmp", "1", "#brimwald:///images/t1.bmp"),
        ("t2.bmp", "1", "#brimwald:///images/t2.bmp"),
        ("t3.bmp", "1", "#brimwald:///images/t3.bmp"),
    ] + [(name, "1", "#brimwald:///images/demo/" + name)
         for name in ("bg.bmp", "logo.bmp", "clock.bmp", "quit.bmp", "quit_h.bmp", "banner.bmp",
                      "splash.bmp", "preview.bmp")]
    for file, serial, uri in adds:
        lines.append("%%QRX%% -add %s %s %s" % (file, serial, uri))
    lines.append("%QRX% -register demo demo")
    write("copylcache.bat", "\r\n".join(lines) + "\r\n")
    return folder


def main():
    parser = argparse.ArgumentParser(description="Writes the demo provider into OUT/vorlk/demo.")
    parser.add_argument("out")
    parser.add_argument("--host", default=DEFAULT_HOST, help="the content host the control file lists")
    parser.add_argument("--time", help="the control file's time, also its serial in the seed")
    args = parser.parse_args()
    if args.time is not None and (not args.time or any(c.isspace() for c in args.time)):
        sys.exit("make_demo.py: --time must be a text without blanks")
    if not args.host or any(c.isspace() or c in "\"<>&" for c in args.host):
        sys.exit("make_demo.py: --host must be a host name, optionally with \":port\"")
    if args.time is None:
        write_demo(args.out, args.host)
    else:
        write_demo(args.out, args.host, args.time, args.time)


if __name__ == "__main__":
    main()
