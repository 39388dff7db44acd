#!/usr/bin/env python3
"""A demo content host on loopback: serves the demo provider the way a content host does.

    samples/demo/contenthost.py OUT [--port N] [--period SECONDS] [--port-file FILE]

It listens on 127.0.0.1 (a free port unless --port names one), writes the demo provider
into OUT/vorlk/demo with make_demo.py, its control file listing this host as
"127.0.0.1:PORT", and then serves:

- POST /feeds/content.php: the control file (the request's form fields are recorded);
- GET of every other object of the provider (layout, pictures) from that folder, and the
  two channel feeds built afresh for the current generation of news.

The news change over time: every --period seconds (180 by default, 0 never) a new
generation begins, with new items in the world channel, a new picture for them and new
serials for that channel and the control file, so the next synchronisation brings news.
The tech channel keeps the serial of the first generation.

The first generation already differs from the seeded cache (the seed's channel serials are
"1"), so the first synchronisation fetches both feeds. Serials grow with the time, so a
provider seeded again on a later run is newer than anything an earlier run fetched.

Tests import this module: ContentHost runs in a thread, records every request, begins a
generation on request (advance), and can stall one object in mid-body (stall). Only
Python's standard library is used.
"""

import argparse
import datetime
import http.server
import os
import select
import signal
import socket
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_demo  # noqa: E402

SCHEME = "#brimwald://"
CONTROL_PATH = "/feeds/content.php"
WORLD_PATH = "/feeds/world.xml"
TECH_PATH = "/feeds/tech.xml"

# One colour per generation for the news pictures, so a screenshot tells generations apart.
NEWS_COLOURS = [(250, 40, 200), (40, 220, 230), (250, 220, 20), (120, 240, 60), (250, 120, 30)]
NEWS_PER_GENERATION = 3

CONTENT_TYPES = {".xml": "text/xml", ".bmp": "image/bmp", ".gif": "image/gif",
                 ".jpg": "image/jpeg", ".png": "image/png", ".wmf": "application/x-msmetafile"}


def news_colour(generation):
    return NEWS_COLOURS[(generation - 1) % len(NEWS_COLOURS)]


def news_picture_path(generation):
    return "/images/news/%d.bmp" % generation


class Request:
    """One request as the host saw it."""

    def __init__(self, method, target, headers, body):
        self.method = method
        self.target = target
        parsed = urllib.parse.urlsplit(target)
        self.path = parsed.path
        self.query = urllib.parse.parse_qs(parsed.query, keep_blank_values=True)
        # The raw query too: the key parameter holds commas that a form decoder keeps,
        # but a "+" would become a blank.
        self.raw_query = parsed.query
        self.headers = headers
        self.body = body
        self.fields = {}
        if method == "POST":
            for pair in body.decode("utf-8", "replace").split("&"):
                name, _, value = pair.partition("=")
                self.fields[name] = value
        self.started = time.monotonic()
        self.ended = None
        self.aborted = False  # the client went away before the whole body was sent

    def __repr__(self):
        return "%s %s" % (self.method, self.target)


class Generation:
    def __init__(self, number, stamp):
        self.number = number
        self.stamp = stamp  # datetime of its start

    @property
    def control_time(self):
        # No blanks (the seed batch file splits at them); text order is time order.
        return self.stamp.strftime("%Y-%m-%dT%H:%M:%S.") + "%03d" % (self.stamp.microsecond // 1000)

    @property
    def serial(self):
        return self.stamp.strftime("%Y%m%d%H%M%S") + "%03d" % (self.stamp.microsecond // 1000)


class ContentHost:
    """The demo provider served on 127.0.0.1; start() binds, stop() ends."""

    def __init__(self, out, port=0, period=0.0):
        self.out = out
        self.period = period
        self.lock = threading.Lock()
        self.requests = []
        self.started_at = datetime.datetime.now()
        self._stalls = {}
        self._release = threading.Event()
        self._stop = threading.Event()
        self._generations = []
        self._server = http.server.ThreadingHTTPServer(("127.0.0.1", port), self._handler())
        self._server.daemon_threads = True
        self.port = self._server.server_address[1]
        self.host_entry = "127.0.0.1:%d" % self.port
        self._threads = []

    # -- set-up ---------------------------------------------------------------------

    def write_demo(self):
        """Writes the provider with this host in its control file; returns its folder."""
        seed_time = self.started_at.strftime("%Y-%m-%dT%H:%M:%S")
        self.folder = make_demo.write_demo(self.out, self.host_entry, seed_time, seed_time)
        self._objects = self._read_seed(self.folder)
        with self.lock:
            self._generations = [Generation(1, self._next_stamp())]
        return self.folder

    @staticmethod
    def _read_seed(folder):
        """Path -> file of every object the seed batch file adds."""
        objects = {}
        with open(os.path.join(folder, "copylcache.bat"), encoding="utf-8") as f:
            for line in f.read().splitlines():
                parts = line.split(" ", 4)
                if len(parts) == 5 and parts[0] == "%QRX%" and parts[1] == "-add":
                    _, _, file, _serial, uri = parts
                    if uri.startswith(SCHEME):
                        objects[uri[len(SCHEME):]] = os.path.join(folder, file)
        return objects

    def _next_stamp(self):
        now = datetime.datetime.now()
        if self._generations and now <= self._generations[-1].stamp:
            now = self._generations[-1].stamp + datetime.timedelta(milliseconds=1)
        seed = self.started_at.replace(microsecond=0)
        if now <= seed:
            now = seed + datetime.timedelta(milliseconds=1)
        return now

    def start(self):
        if not hasattr(self, "_objects"):
            self.write_demo()
        serve = threading.Thread(target=self._server.serve_forever, name="contenthost",
                                 daemon=True)
        serve.start()
        self._threads.append(serve)
        if self.period > 0:
            ticker = threading.Thread(target=self._advance_every_period, daemon=True)
            ticker.start()
            self._threads.append(ticker)
        return self

    def stop(self):
        self._stop.set()
        self._release.set()
        self._server.shutdown()
        self._server.server_close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    def _advance_every_period(self):
        while not self._stop.wait(self.period):
            self.advance()

    # -- what changes ---------------------------------------------------------------

    def advance(self):
        """Begins the next generation of news; returns its number."""
        with self.lock:
            generation = Generation(self._generations[-1].number + 1, self._next_stamp())
            self._generations.append(generation)
            return generation.number

    @property
    def generation(self):
        with self.lock:
            return self._generations[-1]

    def serials(self):
        """The serials the control file lists now: world, tech and the control file's time."""
        with self.lock:
            current = self._generations[-1]
            first = self._generations[0]
        return {"world": current.serial, "tech": first.serial, "time": current.control_time}

    def stall(self, path):
        """Every GET of path sends half its body and then nothing until release()."""
        with self.lock:
            self._stalls[path] = True
            self._release.clear()

    def release(self):
        with self.lock:
            self._stalls.clear()
        self._release.set()

    def requests_since(self, index):
        with self.lock:
            return list(self.requests[index:])

    def request_count(self):
        with self.lock:
            return len(self.requests)

    # -- documents ------------------------------------------------------------------

    def control_document(self):
        s = self.serials()
        return make_demo.control_file(self.host_entry, s["time"], s["world"], s["tech"])

    def world_document(self, generation):
        colour = news_colour(generation.number)
        when = generation.stamp.strftime("%H:%M:%S")
        news = [("Meldung %d.%d" % (generation.number, i),
                 "Neu um %s: die %d. Meldung der %d. Ausgabe, Bild in Farbe %s."
                 % (when, i, generation.number, "#%02X%02X%02X" % colour),
                 "https://example.com/neu/%d/%d" % (generation.number, i),
                 SCHEME + news_picture_path(generation.number))
                for i in range(1, NEWS_PER_GENERATION + 1)]
        return make_demo.world_feed(news)

    def document(self, method, path):
        """(status, content type, body) for a request."""
        if method == "POST":
            if path == CONTROL_PATH:
                return 200, "text/xml", self.control_document().encode("utf-8")
            return 404, "text/plain", b"not here"
        if path == WORLD_PATH:
            return 200, "text/xml", self.world_document(self.generation).encode("utf-8")
        if path == TECH_PATH:
            return 200, "text/xml", make_demo.tech_feed().encode("utf-8")
        if path.startswith("/images/news/") and path.endswith(".bmp"):
            try:
                number = int(path[len("/images/news/"):-len(".bmp")])
            except ValueError:
                number = 0
            if 1 <= number <= self.generation.number:
                return 200, "image/bmp", make_demo.solid(96, 72, news_colour(number))
        file = self._objects.get(path)
        if file is None or path == CONTROL_PATH:
            return 404, "text/plain", b"not here"
        with open(file, "rb") as f:
            body = f.read()
        return 200, CONTENT_TYPES.get(os.path.splitext(file)[1].lower(), "application/octet-stream"), body

    # -- HTTP -----------------------------------------------------------------------

    def _handler(self):
        host = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, fmt, *args):  # the recorded requests are the log
                pass

            def _serve(self, method):
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length else b""
                request = Request(method, self.path, dict(self.headers.items()), body)
                with host.lock:
                    host.requests.append(request)
                    stall = method == "GET" and host._stalls.get(request.path, False)
                status, content_type, data = host.document(method, request.path)
                self.send_response(status, "OK" if status == 200 else "Not Found")
                self.send_header("Content-Type", content_type)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                try:
                    if stall:
                        self.wfile.write(data[:len(data) // 2])
                        self.wfile.flush()
                        request.aborted = host._wait_for_release_or_close(self.connection)
                        if request.aborted:
                            self.close_connection = True
                            return
                    self.wfile.write(data[len(data) // 2:] if stall else data)
                    self.wfile.flush()
                except OSError:
                    request.aborted = True
                    self.close_connection = True
                finally:
                    request.ended = time.monotonic()

            def do_GET(self):
                self._serve("GET")

            def do_POST(self):
                self._serve("POST")

        return Handler

    def _wait_for_release_or_close(self, connection):
        """True when the client closed the connection before release() (or stop())."""
        while not self._release.is_set():
            readable, _, _ = select.select([connection], [], [], 0.05)
            if readable:
                try:
                    if connection.recv(1, socket.MSG_PEEK) == b"":
                        return True
                except OSError:
                    return True
        return self._stop.is_set()


def main():
    parser = argparse.ArgumentParser(description="Serves the demo provider on 127.0.0.1.")
    parser.add_argument("out", help="folder that receives the provider (OUT/vorlk/demo)")
    parser.add_argument("--port", type=int, default=0, help="port to listen on (default: a free one)")
    parser.add_argument("--period", type=float, default=180.0,
                        help="seconds between generations of news (0: never)")
    parser.add_argument("--port-file", help="written with the port once the host listens")
    args = parser.parse_args()

    try:
        host = ContentHost(args.out, args.port, args.period)
    except OSError as e:
        sys.exit("contenthost.py: cannot listen on 127.0.0.1:%d: %s" % (args.port, e))
    host.write_demo()
    host.start()
    print("content host: http://%s/ serves %s (news every %s)"
          % (host.host_entry, host.folder,
             "%g s" % args.period if args.period > 0 else "never"), flush=True)
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as f:
            f.write("%d\n" % host.port)
        os.replace(args.port_file + ".tmp", args.port_file)

    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    seen = 0
    generation = host.generation.number
    while not done.wait(0.2):
        for r in host.requests_since(seen):
            print("content host: %s %s" % (r.method, r.target), flush=True)
        seen = host.request_count()
        if host.generation.number != generation:
            generation = host.generation.number
            print("content host: generation %d of the news begins (world serial %s)"
                  % (generation, host.serials()["world"]), flush=True)
    host.stop()


if __name__ == "__main__":
    main()
