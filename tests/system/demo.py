"""The demo provider installed with the build's own control program, as a new user
would: samples/demo/make_demo.py writes it into a folder, "TolvarCtrl --install demo"
run there seeds the cache, lists the provider and installs and registers the saver."""

import json
import os
import subprocess
import sys

import desktop
from desktop import program

# The demo layout's title bars (message window and ticker).
TITLE_BLUE = (0x1F, 0x4E, 0x8C)


def install_demo(d):
    """Writes the demo provider into the desktop's folder and installs it; returns the
    folder."""
    work = os.path.join(d.root, "demo")
    subprocess.run([sys.executable, os.path.join(desktop.SOURCE_DIR, "samples", "demo",
                                                 "make_demo.py"), work],
                   check=True, capture_output=True)
    result = d.run(program("TolvarCtrl"), ["--install", "demo"], cwd=work)
    if result.returncode != 0:
        raise AssertionError(f"--install demo exited {result.returncode}:\n"
                             f"{result.stdout}{result.stderr}")
    return work


def set_switch(d, name, value="true"):
    """A System switch in the machine hive, as an installation puts it there."""
    d.run(program("tolvar-reg"), ["add", r"HKLM\Software\Brimwald\Tolvar\System", "/v", name,
                                  "/d", value, "/f"], check=True)


def screen_saver_state(d):
    """What "tolvar-inspect screensaver" tells: the registered saver, whether a screen
    saver runs as the control program decides it."""
    out = d.run(program("tolvar-inspect"), ["screensaver"], check=True).stdout
    return json.loads(out)


def near(pixel, colour, tolerance=8):
    return all(abs(a - b) <= tolerance for a, b in zip(pixel, colour))


def count_near(image, colour, x=0, y=0, w=None, h=None, step=4, tolerance=8):
    """Pixels near colour in a rectangle, sampled every step pixels."""
    w = image.width - x if w is None else w
    h = image.height - y if h is None else h
    return sum(1 for yy in range(y, y + h, step) for xx in range(x, x + w, step)
               if near(image.pixel(xx, yy), colour, tolerance))
