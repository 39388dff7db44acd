#!/usr/bin/env python3
"""The real saver's first full frame on a small and on a large cache.

    bench/first_frame.py BUILD [--repeat 5]
    tools/bench.sh first_frame

Writes two providers with the demo layout: 3 channels x 5 items and 50 channels x 30
items, every item with a JPEG thumbnail of its own (160 x 120), installs each with
"TolvarCtrl --install demo" on a private Xvfb screen of 1280 x 1024 with a window
manager, and starts the release build's "Tolvar /s" on it again and again, in turn. The
time of one start runs from the moment the process is started to the line the saver
writes to stderr when TOLVAR_TRACE_FIRST_FRAME is set: once its window is mapped, every
widget of the layout has been painted and the ticker shows its cells. A screenshot right
then must show the layout. Prints each start, the medians, the large cache's over the
small one's ("x_3x5", target at most 1.3), the processor time the saver used until its
first frame (steadier than the wall time on a busy machine), the saver's resident
high-water mark (VmHWM) at the first frame and after a few seconds of scrolling, and the
load average.
"""

import argparse
import os
import shutil
import subprocess
import sys
import threading
import time

import saverdesk

SMALL = (3, 5)
LARGE = (50, 30)
TARGET_RATIO = 1.3
TARGET_MS = 300
TARGET_MIB = 80
SCROLL_S = 5.0
BRIMWALD = "#brimwald:///"


def ppm(width, height, seed):
    """A picture with some detail (so the JPEG is not trivially small), as PPM bytes."""
    rows = bytearray()
    for y in range(height):
        for x in range(width):
            rows += bytes(((x * 3 + seed * 7) % 256, (y * 5 + seed * 13) % 256,
                           ((x ^ y) + seed) % 256))
    return b"P6\n%d %d\n255\n" % (width, height) + bytes(rows)


def write_provider(work, channels, items):
    """The demo provider with channels x items, each item with a thumbnail of its own."""
    sys.path.insert(0, os.path.join(saverdesk.SOURCE_DIR, "samples", "demo"))
    import make_demo

    folder = make_demo.write_demo(work)
    cjpeg = shutil.which("cjpeg")
    if cjpeg is None:
        sys.exit("first_frame.py: cjpeg (libjpeg-turbo-progs) is needed for the thumbnails")
    adds = []
    refs = []
    defs = []
    for c in range(channels):
        entries = []
        for i in range(items):
            name = f"p{c}_{i}.jpg"
            jpeg = subprocess.run([cjpeg, "-quality", "85"], input=ppm(160, 120, c * 31 + i),
                                  capture_output=True, check=True).stdout
            with open(os.path.join(folder, name), "wb") as f:
                f.write(jpeg)
            key = BRIMWALD + "images/" + name
            adds.append((name, "1", key))
            entries.append((f"Meldung {i} aus Kanal {c}, mit einem Titel, der umbricht",
                            f"Ein Text zur Meldung {i}.", f"https://example.com/{c}/{i}", key))
        feed = f"c{c}.xml"
        with open(os.path.join(folder, feed), "w", encoding="utf-8") as f:
            f.write(make_demo.rss(f"Kanal {c}", entries))
        adds.append((feed, "1", BRIMWALD + "feeds/" + feed))
        refs.append(f'<channelref id="c{c}" displaytitle="Kanal {c}"/>')
        defs.append(f'<channel id="c{c}" serial="1" mandatory="true" title="Kanal {c}" '
                    f'uri="{BRIMWALD}feeds/{feed}"/>')
    control = make_demo.control_file()
    start, end = control.index("<topics>"), control.index("</channels>") + len("</channels>")
    control = (control[:start] + '<topics><topic id="news" serial="1" title="Nachrichten">'
               + "".join(refs) + "</topic></topics><channels>" + "".join(defs) + "</channels>"
               + control[end:])
    with open(os.path.join(folder, "control.xml"), "w", encoding="utf-8") as f:
        f.write(control)
    with open(os.path.join(folder, "copylcache.bat"), encoding="utf-8", newline="") as f:
        lines = f.read().split("\r\n")
    # The demo's own two feeds and their pictures are not named by this control file.
    lines = [line for line in lines if not any(n in line for n in ("world.xml", "tech.xml"))]
    register = lines.index("%QRX% -register demo demo")
    lines[register:register] = ["%%QRX%% -add %s %s %s" % add for add in adds]
    with open(os.path.join(folder, "copylcache.bat"), "w", encoding="utf-8", newline="") as f:
        f.write("\r\n".join(lines))


def install(d, channels, items):
    from desktop import program
    work = os.path.join(d.root, "provider")
    write_provider(work, channels, items)
    result = d.run(program("TolvarCtrl"), ["--install", "demo"], cwd=work, timeout=300)
    if result.returncode != 0:
        sys.exit(f"--install demo exited {result.returncode}:\n{result.stdout}{result.stderr}")


def one_start(d):
    """Starts the saver once; returns (ms to the first frame, its processor ms by then,
    VmHWM KiB then, VmHWM KiB a few seconds later)."""
    from demo import TITLE_BLUE, count_near
    from desktop import program

    env = dict(d.env)
    env["TOLVAR_TRACE_FIRST_FRAME"] = "1"
    marker = threading.Event()

    started = time.monotonic()
    proc = subprocess.Popen([program("Tolvar"), "/s"], env=env, cwd=d.home,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    arrived = [None]

    def read():
        for line in proc.stderr:
            if b"Tolvar: first frame" in line and arrived[0] is None:
                arrived[0] = time.monotonic()
                marker.set()
    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    try:
        if not marker.wait(timeout=60):
            raise RuntimeError("the saver wrote no first-frame line")
        ms = (arrived[0] - started) * 1000
        # The processor time the start took (all threads): less at the mercy of a busy
        # machine than the wall time.
        cpu_ms = saverdesk.cpu_seconds(proc.pid) * 1000
        hwm_first = saverdesk.high_water_kib(proc.pid)
        if count_near(d.screenshot(), TITLE_BLUE) <= 400:
            raise RuntimeError("the layout is not on the screen at the first frame")
        time.sleep(SCROLL_S)
        hwm_later = saverdesk.high_water_kib(proc.pid)
        return ms, cpu_ms, hwm_first, hwm_later
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        reader.join(timeout=5)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", help="the build tree (release), e.g. build/release")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    saverdesk.use_build(args.build)
    from desktop import Desktop

    results = {SMALL: [], LARGE: []}
    desks = {}
    try:
        for size in (SMALL, LARGE):
            desk = Desktop(width=1280, height=1024, window_manager=True,
                           name=f"frame{size[0]}x{size[1]}").__enter__()
            desks[size] = desk
            install(desk, *size)
            one_start(desk)  # the files read once into the page cache, as on a used machine
        for i in range(args.repeat):
            for size in (SMALL, LARGE):
                ms, cpu_ms, first, later = one_start(desks[size])
                results[size].append((ms, first, later, cpu_ms))
                print(f"start {i + 1} {size[0]}x{size[1]}: first_frame_ms={ms:.0f} "
                      f"cpu_ms={cpu_ms:.0f} "
                      f"hwm_MiB={first / 1024:.1f} hwm_after_{SCROLL_S:.0f}s_MiB={later / 1024:.1f} "
                      f"load={saverdesk.load_average()}", flush=True)
    finally:
        for desk in desks.values():
            desk.__exit__(None, None, None)

    med = {size: saverdesk.median([r[0] for r in rows]) for size, rows in results.items()}
    cpu = {size: saverdesk.median([r[3] for r in rows]) for size, rows in results.items()}
    hwm = {size: max(r[2] for r in rows) / 1024 for size, rows in results.items()}
    ratio = med[LARGE] / med[SMALL]
    print(f"median of {args.repeat}: 3x5 first_frame_ms={med[SMALL]:.0f}  "
          f"50x30 first_frame_ms={med[LARGE]:.0f} (target < {TARGET_MS})  "
          f"x_3x5={ratio:.2f} (target <= {TARGET_RATIO})  "
          f"50x30 hwm_MiB={hwm[LARGE]:.1f} (target < {TARGET_MIB})  3x5 hwm_MiB={hwm[SMALL]:.1f}  "
          f"cpu_ms 3x5={cpu[SMALL]:.0f} 50x30={cpu[LARGE]:.0f} x_3x5={cpu[LARGE] / cpu[SMALL]:.2f}  "
          f"load_now={saverdesk.load_average()}")
    ok = ratio <= TARGET_RATIO and med[LARGE] < TARGET_MS and hwm[LARGE] < TARGET_MIB
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
