"""Shared parts of the measuring scripts that run the real saver on a private X server.

The build's programs are taken from BUILD (its src/ and tools/ folders); the private
desktop is the system tests' harness (tests/system/desktop.py), so a measurement sees the
same programs, settings and X server a system test does. The demo provider is installed
the way a user installs it ("TolvarCtrl --install demo").
"""

import os
import statistics
import sys

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "system"))


def use_build(build):
    """Points the harness at the programs of a build tree; call before importing it."""
    build = os.path.abspath(build)
    os.environ["TOLVAR_BIN_DIR"] = os.path.join(build, "src")
    os.environ["TOLVAR_TOOLS_DIR"] = os.path.join(build, "tools")
    os.environ["TOLVAR_SOURCE_DIR"] = SOURCE_DIR
    for name in ("Tolvar", "TolvarCtrl"):
        if not os.path.exists(os.path.join(build, "src", name)):
            sys.exit(f"{name} not built in {build}/src")


def clock_ticks():
    return os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid, task=None):
    """User plus system time of a process (or one of its threads) in seconds."""
    path = f"/proc/{pid}/stat" if task is None else f"/proc/{pid}/task/{task}/stat"
    with open(path, "rb") as f:
        fields = f.read().rsplit(b")", 1)[1].split()
    # After the name: state is field 3, utime 14 and stime 15 (1-based, as proc(5) counts).
    return (int(fields[11]) + int(fields[12])) / clock_ticks()


def thread_times(pid):
    """{thread name: seconds} for every thread of a process (names may repeat: summed)."""
    times = {}
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/comm", encoding="utf-8") as f:
                name = f.read().strip()
            seconds = cpu_seconds(pid, task)
        except OSError:
            continue
        key = name if task != str(pid) else name + " (main)"
        times[key] = times.get(key, 0.0) + seconds
    return times


def high_water_kib(pid):
    """VmHWM of a process: its largest resident size so far, in KiB."""
    with open(f"/proc/{pid}/status", encoding="utf-8") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def load_average():
    with open("/proc/loadavg", encoding="utf-8") as f:
        return " ".join(f.read().split()[:3])


def median(values):
    return statistics.median(values) if values else float("nan")
