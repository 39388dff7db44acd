#!/usr/bin/env python3
"""The real saver's processor time while its ticker scrolls.

    bench/saver_cpu.py BUILD [--seconds 30] [--repeat 3]
    tools/bench.sh saver_cpu

Runs the release build's "Tolvar /s" on the demo provider on a private Xvfb screen of
1280 x 1024 with a window manager, waits until the layout is on the screen, lets it run a
few seconds and then reads the saver's user and system time from /proc/<pid>/stat over
the measuring time. Prints the share of one core the saver used ("saver_%", beside the
target "target_%" and their ratio), what the X server used in the same time (the cost of
showing the frames), the saver's threads, and the load average, for each run and as
medians. The ticker must have moved between the first and the last screenshot, or the
run counts as failed. --perf FILE records the first run with perf as well; --baseline TOLVAR
measures another saver program (an older build) in turn with this one.
"""

import argparse
import os
import signal
import subprocess
import sys
import time

import saverdesk

TARGET_PERCENT = 1.5
WARM_UP_S = 3.0


def band(image, top, height):
    return image.crop(0, top, image.width, height).rgb


def one_run(seconds, perf=None, saver_path=None):
    from demo import TITLE_BLUE, count_near, install_demo
    from desktop import Desktop, program, wait_for

    with Desktop(width=1280, height=1024, window_manager=True, name="cpu") as d:
        install_demo(d)
        saver = d.start(saver_path or program("Tolvar"), ["/s"], log="saver")

        def full_screen():
            for window in d.windows(pid=saver.pid):
                if d.window_geometry(window)[2:] == (d.width, d.height):
                    return window
            return None
        wait_for(full_screen, timeout=60, what="the saver's screen")
        wait_for(lambda: count_near(d.screenshot(), TITLE_BLUE) > 400, timeout=60,
                 what="the demo layout on the screen")
        # The demo layout's ticker, scaled from 1024 x 768: its lower seventh.
        top, height = d.height * 672 // 768, d.height * 96 // 768
        time.sleep(WARM_UP_S)
        before = band(d.screenshot(), top, height)
        xvfb = d._xvfb.pid
        saver_start = saverdesk.cpu_seconds(saver.pid)
        xvfb_start = saverdesk.cpu_seconds(xvfb)
        threads_start = saverdesk.thread_times(saver.pid)
        recorder = None
        if perf:
            recorder = subprocess.Popen(["perf", "record", "--call-graph=dwarf,16384", "-o", perf, "-p",
                                         str(saver.pid)], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        wall_start = time.monotonic()
        time.sleep(seconds)
        wall = time.monotonic() - wall_start
        if recorder:
            recorder.send_signal(signal.SIGINT)
            recorder.wait(timeout=60)
        saver_used = saverdesk.cpu_seconds(saver.pid) - saver_start
        xvfb_used = saverdesk.cpu_seconds(xvfb) - xvfb_start
        threads_end = saverdesk.thread_times(saver.pid)
        after = band(d.screenshot(), top, height)
        if saver.poll() is not None:
            raise RuntimeError(f"the saver ended early: {d.log_text('saver')}")
        if before == after:
            raise RuntimeError("the ticker did not move")
        threads = {name: (threads_end[name] - threads_start.get(name, 0.0)) / wall * 100
                   for name in threads_end}
        return {"saver": saver_used / wall * 100, "xvfb": xvfb_used / wall * 100,
                "threads": threads, "load": saverdesk.load_average()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", help="the build tree (release), e.g. build/release")
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--perf", metavar="FILE",
                        help="also record the saver with perf over the measuring time "
                             "(one run; read it with perf report -i FILE)")
    parser.add_argument("--baseline", metavar="TOLVAR",
                        help="another saver program (an older build) measured in turn with "
                             "this build's, each run beside the other")
    args = parser.parse_args()
    saverdesk.use_build(args.build)

    kinds = [("build", None)] + ([("baseline", os.path.abspath(args.baseline))]
                                 if args.baseline else [])
    runs = {kind: [] for kind, _ in kinds}
    for i in range(args.repeat):
        for kind, path in kinds:
            run = one_run(args.seconds, args.perf if i == 0 and kind == "build" else None, path)
            runs[kind].append(run)
            busiest = sorted(run["threads"].items(), key=lambda kv: -kv[1])[:4]
            print(f"run {i + 1} {kind}: saver_%={run['saver']:.2f} xvfb_%={run['xvfb']:.2f} "
                  f"load={run['load']}  threads: "
                  + ", ".join(f"{name}={share:.2f}" for name, share in busiest), flush=True)
    medians = {}
    for kind, _ in kinds:
        saver = saverdesk.median([r["saver"] for r in runs[kind]])
        xvfb = saverdesk.median([r["xvfb"] for r in runs[kind]])
        medians[kind] = saver
        print(f"{kind}: median of {len(runs[kind])} x {args.seconds:.0f} s: saver_%={saver:.2f} "
              f"target_%={TARGET_PERCENT} x_target={saver / TARGET_PERCENT:.2f} "
              f"xvfb_%={xvfb:.2f}")
    if args.baseline:
        print(f"x_baseline={medians['build'] / medians['baseline']:.2f}")
    print(f"load_now={saverdesk.load_average()}")
    return 0 if medians["build"] <= TARGET_PERCENT else 1


if __name__ == "__main__":
    sys.exit(main())
