"""The idle start: after the control program's install of the demo provider, the
session's autostart entries started as a log-on starts them, the idle watcher starts the
registered saver in run mode once X has been idle for "ScreenSaveTimeOut" seconds; input
and a suspended X screen saver hold it off; it never starts a second copy."""

import math
import os
import shutil
import subprocess
import sys
import threading
import time
import json
import unittest

from desktop import Desktop, SOURCE_DIR, program, wait_for

DESKTOP_KEY = r"HKCU\Control Panel\Desktop"
# The demo layout's colours (samples/demo/make_demo.py).
TICKER_TITLE = (0x1F, 0x4E, 0x8C)


def demo_background(x, y, w=1024, h=768):
    t = y / (h - 1)
    wave = 0.5 + 0.5 * math.sin(x / 90.0 + y / 140.0)
    return (int(20 + 30 * t), int(40 + 60 * wave * (1 - t)), int(90 + 120 * (1 - t)))


def close(a, b, tolerance=4):
    return all(abs(p - q) <= tolerance for p, q in zip(a, b))


class IdleStartTest(unittest.TestCase):
    def setUp(self):
        self.desk = Desktop(window_manager=True, name="idle")
        self.desk.__enter__()
        self.addCleanup(self.desk.__exit__, None, None, None)
        self.reg = program("tolvar-reg")
        self.demo = os.path.join(self.desk.root, "demo")
        subprocess.run([sys.executable, os.path.join(SOURCE_DIR, "samples", "demo", "make_demo.py"),
                        self.demo], check=True)
        # The install takes the saver file from its working folder: the build's own file.
        shutil.copy2(program("Tolvar.scr"), self.demo)
        # Installed without a display: the watcher the switch starts at once has no idle
        # source, says so and ends, so the one that runs later is the log-on's.
        result = self.desk.run(program("TolvarCtrl"), ["--install", "demo"], cwd=self.demo,
                               env={"DISPLAY": ""})
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.saver = self.query(DESKTOP_KEY, "SCRNSAVE.EXE")
        self.assertTrue(os.path.isfile(self.saver), self.saver)
        self.assertEqual(self.query(DESKTOP_KEY, "ScreenSaveActive"), "1")
        entry = os.path.join(self.desk.env["XDG_CONFIG_HOME"], "autostart", "tolvar-idle.desktop")
        self.assertTrue(os.path.isfile(entry))
        self.log = os.path.join(self.desk.home, ".local", "state", "tolvar", "idle.log")
        wait_for(lambda: "No idle source" in self.idle_log(), timeout=30,
                 what="the watcher without a display to say it has no idle source")
        self.desk.run(self.reg, ["add", DESKTOP_KEY, "/v", "ScreenSaveTimeOut", "/t", "REG_SZ",
                                 "/d", "2", "/f"], check=True)

    def query(self, key, name):
        out = self.desk.run(self.reg, ["query", key, "/v", name], check=True).stdout
        # "    NAME    REG_SZ    VALUE"
        for line in out.splitlines():
            parts = line.split(None, 2)
            if len(parts) == 3 and parts[0] == name:
                return parts[2].strip()
        self.fail(f"{name} not in {out!r}")

    def idle_log(self):
        try:
            with open(self.log, encoding="utf-8") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def log_on(self):
        commands = self.desk.autostart_commands()
        self.assertIn([program("tolvar-idle")], commands)
        self.desk.start_autostart()
        wait_for(lambda: "Watching the idle time through the X server" in self.idle_log(),
                 timeout=30, what="the log-on's idle watcher")

    def savers(self):
        return self.desk.processes_of(self.saver)

    def wait_for_saver(self, timeout=60):
        return wait_for(self.savers, timeout=timeout, what="the saver to start")

    def test_idle_session_shows_the_demo_screen_once(self):
        self.log_on()
        pids = self.wait_for_saver()
        with open(f"/proc/{pids[0]}/cmdline", "rb") as f:
            self.assertEqual(f.read().split(b"\0")[1], b"/s")

        def demo_on_screen():
            shot = self.desk.screenshot()
            background = all(close(shot.pixel(x, y), demo_background(x, y))
                             for x, y in ((100, 400), (900, 400), (120, 600)))
            ticker = shot.region_colours(0, 672, 1024, 96)
            return background and bytes(TICKER_TITLE) in ticker

        wait_for(demo_on_screen, timeout=60, what="the demo layout on the screen", interval=0.5)
        self.desk.screenshot(save_as="idle-start.png")

        # Input ends the idle period; the next one finds the saver running.
        self.desk.xdotool("mousemove", 500, 300)
        wait_for(lambda: "A screen saver runs already; none started." in self.idle_log(),
                 timeout=30, what="the next idle period to find the saver running")
        self.assertEqual(len(self.savers()), 1)
        self.assertEqual(self.idle_log().count("Started the screen saver"), 1)

    def test_input_every_second_holds_it_off(self):
        # A move every half second from before the log-on: never idle for 2 s.
        stop = threading.Event()

        def move():
            x = 300
            while not stop.is_set():
                x = 301 if x == 300 else 300
                self.desk.xdotool("mousemove", x, 300)
                stop.wait(0.5)  # paces the input

        mover = threading.Thread(target=move)
        mover.start()
        try:
            self.log_on()
            # Three times the wait, and the watcher looks about once a second.
            end = time.monotonic() + 6
            while time.monotonic() < end:
                self.assertEqual(self.savers(), [])
                time.sleep(0.2)  # paces the checks; nothing is waited for
        finally:
            stop.set()
            mover.join()
        self.assertNotIn("Started the screen saver", self.idle_log())
        # The same session left alone starts it.
        self.wait_for_saver()

    def test_suspended_x_screen_saver_holds_it_off(self):
        # The server's own timeout of 1 s lets the watcher see the suspension.
        helper = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(__file__),
                                                                "xss_suspend.py"), "1"],
                                  env=self.desk.env, stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        self.addCleanup(lambda: helper.poll() is None and helper.kill())
        self.assertEqual(helper.stdout.readline().strip(), "suspended")
        self.log_on()
        wait_for(lambda: "the X screen saver is suspended" in self.idle_log(), timeout=30,
                 what="the watcher to see the suspension")
        self.assertEqual(self.savers(), [])
        # The player ends: the still idle session gets its saver.
        helper.stdin.close()
        helper.wait(timeout=10)
        self.wait_for_saver()

    def test_desktop_idle_service_and_its_inhibitor(self):
        system_python = "/usr/bin/python3"
        check = subprocess.run([system_python, "-c", "import dbus, gi"], capture_output=True)
        if check.returncode != 0:
            self.skipTest("the system's Python lacks python3-dbus or python3-gi (tools/setup.sh)")
        state_file = os.path.join(self.desk.root, "idle-state.json")

        def set_state(**values):
            current = {"last_input": time.time() - 3600, "inhibited": False, "active": False}
            if os.path.exists(state_file):
                with open(state_file, encoding="utf-8") as f:
                    current = json.load(f)
            current.update(values)
            with open(state_file + ".new", "w", encoding="utf-8") as f:
                json.dump(current, f)
            os.replace(state_file + ".new", state_file)

        # Idle for an hour, with a presentation holding idle off.
        set_state(inhibited=True)
        socket = os.path.join(self.desk.root, "session-bus")
        address = "unix:path=" + socket
        self.desk.start("dbus-daemon", ["--session", "--nofork", "--address=" + address],
                        log="dbus-daemon")
        wait_for(lambda: os.path.exists(socket), what="the session bus")
        # A Wayland session: the X server's idle time is not the session's.
        self.desk.env.update({"DBUS_SESSION_BUS_ADDRESS": address,
                              "WAYLAND_DISPLAY": "wayland-test"})
        service = subprocess.Popen([system_python, os.path.join(os.path.dirname(__file__),
                                                                "gnome_idle_service.py"),
                                    state_file], env=self.desk.env, stdout=subprocess.PIPE,
                                   text=True)
        self.addCleanup(lambda: service.poll() is None and (service.kill(), service.wait()))
        self.assertEqual(service.stdout.readline().strip(), "ready")

        self.desk.start_autostart()
        wait_for(lambda: "(org.gnome.Mutter.IdleMonitor)" in self.idle_log(), timeout=30,
                 what="the watcher to use the desktop's idle monitor")
        wait_for(lambda: "an idle inhibitor of the session" in self.idle_log(), timeout=30,
                 what="the watcher to see the inhibitor")
        self.assertEqual(self.savers(), [])
        # The presentation ends; the session is still idle.
        set_state(inhibited=False)
        self.wait_for_saver()


if __name__ == "__main__":
    unittest.main()
