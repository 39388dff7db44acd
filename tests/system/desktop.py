"""A throw-away desktop for tests of the real programs.

A Desktop is a private X server (Xvfb on a free display), optionally with a window
manager (openbox) and a tray host (trayer), and a private home whose XDG folders hold
all of the programs' state. The build's own programs are found through the environment
ctest sets (TOLVAR_BIN_DIR, TOLVAR_TOOLS_DIR). Everything started through a Desktop is
ended when it closes, so a failing test leaves no process behind.

Waits are for conditions with a time-out, never for a fixed time.
"""

import array
import ctypes
import ctypes.util
import os
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zlib

BIN_DIR = os.environ.get("TOLVAR_BIN_DIR", "")
TOOLS_DIR = os.environ.get("TOLVAR_TOOLS_DIR", "")
SOURCE_DIR = os.environ.get("TOLVAR_SOURCE_DIR", "")
# Screenshots and program logs of failed runs are kept here when set.
ARTIFACT_DIR = os.environ.get("TOLVAR_ARTIFACT_DIR", "")


def program(name):
    """The build's own program or tool by name."""
    for folder in (BIN_DIR, TOOLS_DIR):
        path = os.path.join(folder, name)
        if folder and os.path.exists(path):
            return os.path.abspath(path)
    raise FileNotFoundError(f"{name} not in {BIN_DIR!r} or {TOOLS_DIR!r}")


def wait_for(predicate, timeout=10.0, what="condition", interval=0.05):
    """Polls predicate until it returns a true value (returned) or timeout passes."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise TimeoutError(f"timed out after {timeout:.1f} s waiting for {what}")
        time.sleep(interval)


class Image:
    """A screenshot: width x height pixels as (r, g, b)."""

    def __init__(self, width, height, rgb):
        self.width = width
        self.height = height
        self.rgb = rgb  # bytes, 3 per pixel, rows top to bottom
        self._packed = None

    def crop(self, x, y, w, h):
        """The rectangle (clipped to the picture) as a picture of its own."""
        x0, y0 = max(0, x), max(0, y)
        x1, y1 = min(self.width, x + w), min(self.height, y + h)
        if x1 <= x0 or y1 <= y0:
            return Image(0, 0, b"")
        stride = self.width * 3
        rows = [self.rgb[row * stride + x0 * 3:row * stride + x1 * 3] for row in range(y0, y1)]
        return Image(x1 - x0, y1 - y0, b"".join(rows))

    def _packed_pixels(self):
        # One machine word per pixel, so exact colours are counted at C speed.
        if self._packed is None:
            n = self.width * self.height
            words = bytearray(n * 4)
            if sys.byteorder == "little":
                words[0::4], words[1::4], words[2::4] = (self.rgb[0::3], self.rgb[1::3],
                                                         self.rgb[2::3])
            else:
                words[3::4], words[2::4], words[1::4] = (self.rgb[0::3], self.rgb[1::3],
                                                         self.rgb[2::3])
            self._packed = array.array("I", bytes(words))
        return self._packed

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.rgb[i:i + 3])

    def region_colours(self, x, y, w, h):
        """The set of distinct colours in a rectangle."""
        colours = set()
        for row in range(max(0, y), min(self.height, y + h)):
            start = (row * self.width + max(0, x)) * 3
            end = (row * self.width + min(self.width, x + w)) * 3
            line = self.rgb[start:end]
            for i in range(0, len(line), 3):
                colours.add(bytes(line[i:i + 3]))
        return colours

    def count(self, colour, tolerance=0):
        """How many pixels are within tolerance of colour (r, g, b)."""
        r0, g0, b0 = colour
        if tolerance == 0 and array.array("I").itemsize == 4:
            return self._packed_pixels().count(r0 | g0 << 8 | b0 << 16)
        n = 0
        data = self.rgb
        for i in range(0, len(data), 3):
            if (abs(data[i] - r0) <= tolerance and abs(data[i + 1] - g0) <= tolerance
                    and abs(data[i + 2] - b0) <= tolerance):
                n += 1
        return n

    def paste(self, other, x, y):
        """Copies other over this image with its top left corner at (x, y), clipped.

        A window of another depth than the root's reads back black in a root screenshot;
        its own screenshot pasted where it lies shows the screen as the user sees it."""
        rgb = bytearray(self.rgb)
        for row in range(other.height):
            ty = y + row
            if ty < 0 or ty >= self.height:
                continue
            left = max(0, x)
            right = min(self.width, x + other.width)
            if left >= right:
                continue
            src = (row * other.width + (left - x)) * 3
            dst = (ty * self.width + left) * 3
            rgb[dst:dst + (right - left) * 3] = other.rgb[src:src + (right - left) * 3]
        self.rgb = bytes(rgb)
        return self

    def save_png(self, path):
        raw = bytearray()
        stride = self.width * 3
        for row in range(self.height):
            raw.append(0)
            raw += self.rgb[row * stride:(row + 1) * stride]

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

        # The artifact folder may not exist yet when this test is the first to save.
        os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
        with open(path, "wb") as out:
            out.write(b"\x89PNG\r\n\x1a\n")
            out.write(chunk(b"IHDR", struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0)))
            out.write(chunk(b"IDAT", zlib.compress(bytes(raw), 6)))
            out.write(chunk(b"IEND", b""))


def _unescape_desktop_value(value):
    """The escapes of a string value in a desktop entry (\\s \\n \\t \\r \\\\)."""
    out = []
    i = 0
    while i < len(value):
        c = value[i]
        if c == "\\" and i + 1 < len(value):
            out.append({"s": " ", "n": "\n", "t": "\t", "r": "\r", "\\": "\\"}.get(
                value[i + 1], "\\" + value[i + 1]))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


def parse_xwd(data):
    """Decodes the ZPixmap TrueColor dumps xwd writes (24 and 32 bits per pixel)."""
    (header_size, _version, pixmap_format, depth, width, height, _xoffset, byte_order,
     _unit, _bit_order, _pad, bits_per_pixel, bytes_per_line, _visual_class, red_mask,
     green_mask, blue_mask, _bits_per_rgb, _colormap_entries, ncolors, _ww, _wh, _wx, _wy,
     _bw) = struct.unpack(">25I", data[:100])
    if pixmap_format != 2 or bits_per_pixel not in (24, 32) or depth < 24:
        raise ValueError(f"unsupported xwd dump: format {pixmap_format}, {bits_per_pixel} bpp")
    offset = header_size + ncolors * 12
    step = bits_per_pixel // 8
    fmt = "<I" if byte_order == 0 else ">I"

    def shift_of(mask):
        return (mask & -mask).bit_length() - 1

    rs, gs, bs = shift_of(red_mask), shift_of(green_mask), shift_of(blue_mask)
    rgb = bytearray(width * height * 3)
    if (step == 4 and byte_order == 0 and (red_mask, green_mask, blue_mask)
            == (0xFF0000, 0xFF00, 0xFF) and bytes_per_line == width * 4):
        # The usual 32-bit dump, taken apart by slicing instead of pixel by pixel.
        raw = data[offset:offset + height * bytes_per_line]
        rgb[0::3], rgb[1::3], rgb[2::3] = raw[2::4], raw[1::4], raw[0::4]
        return Image(width, height, bytes(rgb))
    o = 0
    for row in range(height):
        line = data[offset + row * bytes_per_line:offset + row * bytes_per_line + width * step]
        for col in range(width):
            chunk = line[col * step:col * step + step]
            if step == 3:
                chunk += b"\0" if byte_order == 0 else b""
                if byte_order != 0:
                    chunk = b"\0" + chunk
            value = struct.unpack(fmt, chunk)[0]
            rgb[o] = (value & red_mask) >> rs
            rgb[o + 1] = (value & green_mask) >> gs
            rgb[o + 2] = (value & blue_mask) >> bs
            o += 3
    return Image(width, height, bytes(rgb))


class Desktop:
    """A private X session and home; use as a context manager."""

    def __init__(self, width=1024, height=768, window_manager=False, tray=False,
                 name="desktop"):
        self.width = width
        self.height = height
        self.name = name
        self.root = tempfile.mkdtemp(prefix=f"tolvar-{name}-")
        self.home = os.path.join(self.root, "home")
        self.logs = os.path.join(self.root, "logs")
        for folder in (self.home, self.logs):
            os.makedirs(folder)
        runtime = os.path.join(self.root, "run")
        os.makedirs(runtime, mode=0o700)
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM",
                                 "DBUS_SESSION_BUS_ADDRESS", "XSCREENSAVER_WINDOW")}
        self.env.update({
            "HOME": self.home,
            "XDG_CONFIG_HOME": os.path.join(self.home, ".config"),
            "XDG_DATA_HOME": os.path.join(self.home, ".local", "share"),
            "XDG_CACHE_HOME": os.path.join(self.home, ".cache"),
            "XDG_RUNTIME_DIR": runtime,
            "QT_QPA_PLATFORM": "xcb",
            # Same layout on every machine: no scaling, no desktop theme.
            "QT_SCALE_FACTOR": "1",
            "QT_AUTO_SCREEN_SCALE_FACTOR": "0",
        })
        # Under the sanitizers: leaks of system libraries that live as long as the process
        # are no finding of ours.
        # ctest names the file already; a run by hand gets the same.
        lsan = self.env.get("LSAN_OPTIONS", "")
        if "suppressions=" not in lsan:
            suppressions = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                        "lsan.supp")
            self.env["LSAN_OPTIONS"] = (lsan + ":" if lsan else "") + "suppressions=" + suppressions
        self._processes = []
        self._logfiles = []
        self._xvfb = None
        self._want_wm = window_manager
        self._want_tray = tray

    # -- session --------------------------------------------------------------------

    def __enter__(self):
        # A session that fails to come up ends what it started, as a finished one does.
        try:
            self._start_session()
        except BaseException:
            self.__exit__(*sys.exc_info())
            raise
        return self

    def _start_session(self):
        read_end, write_end = os.pipe()
        xvfb_log = open(os.path.join(self.logs, "xvfb.log"), "wb")
        self._logfiles.append(xvfb_log)
        self._xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
             f"{self.width}x{self.height}x24", "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=xvfb_log)
        os.close(write_end)
        number = b""
        with os.fdopen(read_end, "rb") as pipe:
            while not number.endswith(b"\n"):
                byte = pipe.read(1)
                if not byte:
                    raise RuntimeError("Xvfb did not start")
                number += byte
        self.display = ":" + number.decode().strip()
        self.env["DISPLAY"] = self.display
        if self._want_wm:
            self.start("openbox", ["--sm-disable"], log="openbox")
            # Generous: on a machine busy with a parallel build and test run they can take
            # many seconds to come up.
            wait_for(lambda: "_NET_SUPPORTING_WM_CHECK(WINDOW)" in self.xprop_root(),
                     timeout=30, what="the window manager")
        if self._want_tray:
            self._start_tray_host()

    def _start_tray_host(self):
        # Once in a few full runs on a busy machine trayer made its panel and never mapped
        # it (still unmapped minutes later), where a fresh one is up in well under a
        # second; so a tray host that does not show is replaced, a loaded machine still
        # having a minute in all.
        args = ["--edge", "top", "--align", "right", "--widthtype", "request", "--height",
                "24", "--SetDockType", "true"]
        for attempt in range(3):
            proc = self.start("trayer", args, log="trayer")
            try:
                wait_for(lambda: self.tray_owned(), timeout=20, what="the tray host")
                return
            except TimeoutError:
                if attempt == 2:
                    raise
                self._end(proc)
                self._processes.remove(proc)

    def __exit__(self, exc_type, exc, tb):
        for proc in reversed(self._processes):
            self._end(proc)
        if self._xvfb:
            self._end(self._xvfb)
        for f in self._logfiles:
            f.close()
        if exc_type is not None and ARTIFACT_DIR:
            target = os.path.join(ARTIFACT_DIR, os.path.basename(self.root))
            shutil.copytree(self.logs, target, dirs_exist_ok=True)
        shutil.rmtree(self.root, ignore_errors=True)
        return False

    @staticmethod
    def _end(proc):
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()

    # -- programs -------------------------------------------------------------------

    def start(self, prog, args=(), log=None, env=None, cwd=None):
        """Starts a program of the session; its output goes to logs/<log>.log."""
        path = prog if os.sep in prog else (shutil.which(prog, path=self.env.get("PATH")) or prog)
        name = log or os.path.basename(prog)
        out = open(os.path.join(self.logs, f"{name}.log"), "ab")
        self._logfiles.append(out)
        full_env = dict(self.env)
        if env:
            full_env.update(env)
        proc = subprocess.Popen([path, *args], env=full_env, cwd=cwd or self.home,
                                stdout=out, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL)
        self._processes.append(proc)
        return proc

    def run(self, prog, args=(), timeout=60, env=None, cwd=None, check=False):
        """Runs a program to its end; returns the CompletedProcess (text output)."""
        full_env = dict(self.env)
        if env:
            full_env.update(env)
        result = subprocess.run([prog, *args], env=full_env, cwd=cwd or self.home,
                                capture_output=True, text=True, timeout=timeout,
                                stdin=subprocess.DEVNULL)
        if check and result.returncode != 0:
            raise AssertionError(f"{prog} {' '.join(args)} exited {result.returncode}:\n"
                                 f"{result.stdout}{result.stderr}")
        return result

    def log_text(self, name):
        path = os.path.join(self.logs, f"{name}.log")
        if not os.path.exists(path):
            return ""
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stop(self, proc, sig=signal.SIGTERM, timeout=10):
        """Sends sig and waits for the exit; returns the exit code."""
        if proc.poll() is None:
            proc.send_signal(sig)
        return proc.wait(timeout=timeout)

    # -- log-on -------------------------------------------------------------------------

    def autostart_commands(self):
        """The argument vectors of $XDG_CONFIG_HOME/autostart/*.desktop, read the way a
        desktop session reads them: the Exec line of [Desktop Entry], value escapes
        undone, then split with its quoting rules; field codes dropped, "%%" kept as "%";
        entries with Hidden=true or without Exec skipped."""
        folder = os.path.join(self.env["XDG_CONFIG_HOME"], "autostart")
        commands = []
        if not os.path.isdir(folder):
            return commands
        for name in sorted(os.listdir(folder)):
            if not name.endswith(".desktop"):
                continue
            values = {}
            group = None
            with open(os.path.join(folder, name), encoding="utf-8") as f:
                for line in f:
                    line = line.rstrip("\n")
                    if line.startswith("["):
                        group = line.strip()
                    elif group == "[Desktop Entry]" and "=" in line and not line.startswith("#"):
                        key, value = line.split("=", 1)
                        values[key.strip()] = value.strip()
            if values.get("Hidden") == "true" or "Exec" not in values:
                continue
            exec_value = _unescape_desktop_value(values["Exec"])
            argv = []
            for word in shlex.split(exec_value, posix=True):
                if len(word) == 2 and word[0] == "%" and word != "%%":
                    continue  # a field code such as %f or %u
                argv.append(word.replace("%%", "%"))
            if argv:
                commands.append(argv)
        return commands

    def start_autostart(self):
        """Starts every autostart entry as the session's log-on does; returns the
        processes (their output in logs/autostart-<program>.log)."""
        procs = []
        for argv in self.autostart_commands():
            procs.append(self.start(argv[0], argv[1:],
                                    log="autostart-" + os.path.basename(argv[0])))
        return procs

    def processes_of(self, path):
        """Process ids whose program (first argument) is path: the copies of one file
        this session runs, whoever started them."""
        pids = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    argv = f.read().split(b"\0")
                with open(f"/proc/{entry}/stat", "rb") as f:
                    state = f.read().rsplit(b")", 1)[1].split()[0]
            except OSError:
                continue
            if argv and argv[0].decode(errors="replace") == path and state != b"Z":
                pids.append(int(entry))
        return pids

    # -- X ----------------------------------------------------------------------------

    def xprop_root(self):
        return self.run("xprop", ["-root"], timeout=10).stdout

    def tray_owned(self):
        # trayer maps its panel once it owns the tray selection.
        return bool(self.windows(class_name="trayer"))

    def windows(self, name=None, class_name=None, pid=None, visible=True):
        """Window ids (int) matching a title pattern, a WM_CLASS pattern or a pid."""
        args = ["search"]
        if visible:
            args.append("--onlyvisible")
        if pid is not None:
            args += ["--pid", str(pid)]
        if name is not None:
            args += ["--name", name]
        elif class_name is not None:
            args += ["--class", class_name]
        elif pid is None:
            args += ["--name", "."]
        result = self.run("xdotool", args, timeout=10)
        return [int(w) for w in result.stdout.split()]

    def window_geometry(self, window):
        """(x, y, width, height) of a window on the screen."""
        out = self.run("xdotool", ["getwindowgeometry", "--shell", str(window)],
                       timeout=10).stdout
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return (int(values["X"]), int(values["Y"]), int(values["WIDTH"]),
                int(values["HEIGHT"]))

    def xdotool(self, *args):
        return self.run("xdotool", [str(a) for a in args], timeout=10, check=True)

    def click(self, x, y, button=1, repeat=1):
        self.xdotool("mousemove", "--sync", x, y)
        self.xdotool("click", "--repeat", repeat, "--delay", 80, button)

    def key(self, *keys, window=None):
        args = ["key"]
        if window is not None:
            args += ["--window", window]
        self.xdotool(*args, *keys)

    def screenshot(self, save_as=None, window="root"):
        """The screen (or one window) now; saved as PNG under the artifacts when asked."""
        args = ["-silent"] + (["-root"] if window == "root" else ["-id", str(window)])
        # xwd asks about every window on the screen: one that goes away meanwhile (a
        # saver ending) fails it with BadWindow, so such a shot is taken again.
        for attempt in range(5):
            result = subprocess.run(["xwd", *args], env=self.env, capture_output=True,
                                    timeout=20)
            if result.returncode == 0:
                break
            if attempt == 4 or b"BadWindow" not in result.stderr:
                raise subprocess.CalledProcessError(result.returncode, ["xwd", *args],
                                                    result.stdout, result.stderr)
        data = result.stdout
        image = parse_xwd(data)
        if save_as:
            folder = ARTIFACT_DIR or self.logs
            os.makedirs(folder, exist_ok=True)
            image.save_png(os.path.join(folder, save_as))
        return image


# -- a window of the test's own, as a screen-saver host makes one --------------------------

_xlib = None


def _libx11():
    global _xlib
    if _xlib is None:
        lib = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
        lib.XOpenDisplay.restype = ctypes.c_void_p
        lib.XOpenDisplay.argtypes = [ctypes.c_char_p]
        lib.XDefaultRootWindow.restype = ctypes.c_ulong
        lib.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        lib.XCreateSimpleWindow.restype = ctypes.c_ulong
        lib.XCreateSimpleWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int,
                                            ctypes.c_int, ctypes.c_uint, ctypes.c_uint,
                                            ctypes.c_uint, ctypes.c_ulong, ctypes.c_ulong]
        for name in ("XMapWindow", "XUnmapWindow", "XDestroyWindow"):
            getattr(lib, name).argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        lib.XStoreName.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_char_p]
        lib.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        lib.XCloseDisplay.argtypes = [ctypes.c_void_p]
        lib.XForceScreenSaver.argtypes = [ctypes.c_void_p, ctypes.c_int]
        _xlib = lib
    return _xlib


class XWindow:
    """A plain X window of the test, filled with one colour; it lives until close().

    A screen-saver host makes such a window and hands its id to the saver."""

    def __init__(self, display, x, y, width, height, colour=(255, 0, 255), title=None):
        lib = _libx11()
        self._lib = lib
        self._dpy = lib.XOpenDisplay(display.encode())
        if not self._dpy:
            raise RuntimeError(f"cannot open display {display}")
        r, g, b = colour
        pixel = (r << 16) | (g << 8) | b  # a 24-bit TrueColor visual, as Xvfb gives
        self.id = lib.XCreateSimpleWindow(self._dpy, lib.XDefaultRootWindow(self._dpy), x, y,
                                          width, height, 0, 0, pixel)
        if title:
            lib.XStoreName(self._dpy, self.id, title.encode())
        lib.XMapWindow(self._dpy, self.id)
        lib.XSync(self._dpy, 0)

    def mark_as_virtual_root(self):
        """Marks the window as the screen's virtual root, as a host marks the window it
        put over the screen ("__SWM_VROOT" naming the window itself)."""
        lib = self._lib
        lib.XInternAtom.restype = ctypes.c_ulong
        lib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        lib.XChangeProperty.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong,
                                        ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                        ctypes.c_void_p, ctypes.c_int]
        atom = lib.XInternAtom(self._dpy, b"__SWM_VROOT", 0)
        value = (ctypes.c_ulong * 1)(self.id)  # format 32 travels as longs in Xlib
        xa_window, prop_mode_replace = 33, 0
        lib.XChangeProperty(self._dpy, self.id, atom, xa_window, 32, prop_mode_replace,
                            ctypes.cast(value, ctypes.c_void_p), 1)
        lib.XSync(self._dpy, 0)

    def destroy(self):
        """Destroys the window (a host that went away); the connection stays."""
        if self.id:
            self._lib.XDestroyWindow(self._dpy, self.id)
            self._lib.XSync(self._dpy, 0)
            self.id = 0

    def close(self):
        if self._dpy:
            self.destroy()
            self._lib.XCloseDisplay(self._dpy)
            self._dpy = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


def force_x_screen_saver(display, on):
    """Switches the X server's own screen saver on (as its time-out would) or off."""
    lib = _libx11()
    dpy = lib.XOpenDisplay(display.encode())
    if not dpy:
        raise RuntimeError(f"cannot open display {display}")
    try:
        lib.XForceScreenSaver(dpy, 1 if on else 0)  # ScreenSaverActive / ScreenSaverReset
        lib.XSync(dpy, 0)
    finally:
        lib.XCloseDisplay(dpy)
