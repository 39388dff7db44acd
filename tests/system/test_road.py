"""The road of one synchronisation with both real programs.

A private desktop (Xvfb, window manager, tray host) and the demo content host on loopback
(samples/demo/contenthost.py, which records every request). The steps run in order and
build on each other: seeding, the resident start with its tray icon and first
synchronisation, the saver showing the channels' items, new serials on the host, a feed
that stalls in mid-body, a synchronisation with nothing new, and a click on an item that
reaches the control program and its opener.

A synchronisation is triggered with "TolvarCtrl --sync"; the control program drops a
trigger that comes while a cycle is still being finished, so a trigger is repeated until
the host sees the cycle's control-file request. A cycle has ended when the control
program logs its last line.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import desktop
from desktop import Desktop, program, wait_for

sys.path.insert(0, os.path.join(desktop.SOURCE_DIR, "samples", "demo"))
import contenthost  # noqa: E402

CONTROL = contenthost.CONTROL_PATH
WORLD = contenthost.WORLD_PATH
TECH = contenthost.TECH_PATH
TIMEOUT_S = 3  # "ActLANTimeout": each send and each stall of a body
TITLE_BLUE = (0x1F, 0x4E, 0x8C)  # the demo layout's title bars
TICKER = (0, 672, 1024, 96)
MESSAGE_WINDOW = (232, 200, 560, 320)
CYCLE_END = re.compile(r"^TolvarCtrl log: (You have \d+ new messages\.|Connection terminated\.|"
                       r"Synchronization aborted\.)$", re.M)

RECORDING_OPENER = """#!/bin/sh
# Records what it is asked to open instead of opening it.
printf '%s\\n' "$*" >> "$TOLVAR_TEST_OPENED"
"""


class Road(unittest.TestCase):
    """One desktop for all steps; the test methods run in name order."""

    @classmethod
    def setUpClass(cls):
        cls.t0 = time.monotonic()
        cls.work = tempfile.mkdtemp(prefix="tolvar-road-")
        cls.host = contenthost.ContentHost(os.path.join(cls.work, "provider")).start()
        cls.desk = Desktop(window_manager=True, tray=True, name="road").__enter__()
        d = cls.desk
        opener_dir = os.path.join(cls.work, "bin")
        os.makedirs(opener_dir)
        opener = os.path.join(opener_dir, "xdg-open")
        with open(opener, "w") as f:
            f.write(RECORDING_OPENER)
        os.chmod(opener, 0o755)
        cls.opened = os.path.join(cls.work, "opened.txt")
        d.env["PATH"] = opener_dir + os.pathsep + d.env.get("PATH", "")
        d.env["TOLVAR_TEST_OPENED"] = cls.opened
        cls.ctrl_path = program("TolvarCtrl")
        cls.saver_path = program("Tolvar")
        cls.data = os.path.join(d.env["XDG_DATA_HOME"], "Brimwald Tolvar")
        cls.cache = os.path.join(cls.data, "Cache")
        cls.ctrl = None
        cls.saver = None
        cls.cycles = []  # per cycle: its requests, its duration, its log
        cls.snapshots = {}

    @classmethod
    def tearDownClass(cls):
        try:
            if cls.ctrl is not None and cls.ctrl.poll() is None:
                cls.desk.run(cls.ctrl_path, ["--quit"], timeout=20)
                try:
                    cls.ctrl.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    pass
        finally:
            if desktop.ARTIFACT_DIR:
                shutil.copytree(cls.desk.logs, os.path.join(desktop.ARTIFACT_DIR, "road-logs"),
                                dirs_exist_ok=True)
            cls.desk.__exit__(None, None, None)
            cls.host.stop()
            print("\nroad: %d cycles, whole run %.1f s" % (len(cls.cycles),
                                                            time.monotonic() - cls.t0),
                  file=sys.stderr)
            for i, c in enumerate(cls.cycles, 1):
                print("road: cycle %d: %.2f s, %d requests: %s"
                      % (i, c["seconds"], len(c["requests"]),
                         ", ".join("%s %s%s" % (r.method, r.path,
                                                 " (given up after %.1f s)" % (r.ended - r.started)
                                                 if r.aborted and r.ended else "")
                                   for r in c["requests"])),
                      file=sys.stderr)

    # -- helpers ----------------------------------------------------------------------

    def reg(self, *args):
        self.desk.run(program("tolvar-reg"), list(args), timeout=20, check=True)

    def reg_query(self, key, name):
        out = self.desk.run(program("tolvar-reg"), ["query", key, "/v", name], timeout=20,
                            check=True).stdout
        match = re.search(re.escape(name) + r"\s+REG_\w+\s+(.*)", out)
        return match.group(1).strip() if match else None

    def ctrl_log(self):
        return self.desk.log_text("ctrl")

    def cycle_ends(self):
        return len(CYCLE_END.findall(self.ctrl_log()))

    def index(self):
        """The entries of "cache.dir" as (file, serial, uri)."""
        with open(os.path.join(self.cache, "cache.dir"), encoding="utf-8") as f:
            return [tuple(line.split("|", 2)) for line in f.read().splitlines() if line]

    def cache_files(self):
        return {n for n in os.listdir(self.cache) if not n.startswith("cache.dir")}

    def latest(self, uri):
        serials = [serial for _, serial, u in self.index() if u == uri]
        return max(serials) if serials else None

    def assert_cache_consistent(self):
        entries = self.index()
        named = {file for file, _, _ in entries}
        files = self.cache_files()
        self.assertEqual(named - files, set(), "entries naming missing files")
        self.assertEqual(files - named, set(), "files no entry names")

    def sync(self):
        """Triggers one cycle and waits for its end; returns its requests."""
        start_index = self.host.request_count()
        ends = self.cycle_ends()
        started = time.monotonic()

        def posted():
            return any(r.method == "POST" for r in self.host.requests_since(start_index))

        def trigger_taken():
            self.desk.run(self.ctrl_path, ["--sync"], timeout=20)
            try:
                wait_for(posted, timeout=2.0, what="the control-file request")
                return True
            except TimeoutError:
                return False

        wait_for(trigger_taken, timeout=20, what="a synchronisation to start", interval=0)
        wait_for(lambda: self.cycle_ends() > ends, timeout=TIMEOUT_S * 4 + 15,
                 what="the end of the cycle")
        requests = self.host.requests_since(start_index)
        self.cycles.append({"requests": requests, "seconds": time.monotonic() - started})
        return requests

    def screen(self, name=None):
        return self.desk.screenshot(save_as=name)

    def news_pixels(self, image, generation):
        return image.count(contenthost.news_colour(generation))

    def wait_for_news_on_screen(self, generation, name):
        """The first screenshot showing pictures of that generation's items (saved)."""
        def shown():
            image = self.screen()
            if self.news_pixels(image, generation) >= 400:
                return image
            # The message window rotates every 4 s and the ticker scrolls slowly: the
            # saver's forward key steps on to the next item at once.
            self.desk.key("Right")
            return None

        image = wait_for(shown, timeout=30, what="items of generation %d on screen" % generation,
                         interval=0.3)
        folder = desktop.ARTIFACT_DIR or self.desk.logs
        os.makedirs(folder, exist_ok=True)
        image.save_png(os.path.join(folder, name))
        return image

    def assert_requests(self, requests, expected):
        self.assertEqual(sorted((r.method, r.path) for r in requests), sorted(expected),
                         "requests: %s" % requests)
        for r in requests:
            self.assertEqual(r.raw_query, "key=demo", r)
            self.assertEqual(r.headers.get("Host"), self.host.host_entry, r)

    # -- the steps --------------------------------------------------------------------

    def test_1_seeding(self):
        d = self.desk
        # The System switches an installation writes, and the user's settings of this run.
        settings = os.path.join(self.work, "settings.reg")
        values = (("ActLANSys", 1), ("ActLANAlwaysOn", 1), ("ActLANTolvar", 0),
                  ("ActLANAutoInterval", 0), ("ActDUNAutoInterval", 0),
                  ("ActLANTimeout", TIMEOUT_S), ("ActLANThumbs", 1), ("MessageInterval", 4),
                  ("TickerSpeed", 1))
        with open(settings, "w", encoding="utf-8") as f:
            f.write("Tolvar Registry 1\n\n[HKEY_LOCAL_MACHINE\\Software\\Brimwald\\Tolvar\\System]\n"
                    "\"ShowTNAIcon\"=\"true\"\n\"ShowDebug\"=\"true\"\n\n"
                    "[HKEY_CURRENT_USER\\Software\\Brimwald\\Tolvar]\n")
            f.writelines('"%s"=dword:%08x\n' % (name, value) for name, value in values)
        self.reg("import", settings)
        self.assertEqual(self.reg_query(r"HKLM\Software\Brimwald\Tolvar\System", "ShowTNAIcon"),
                         "true")

        result = d.run(self.ctrl_path, ["--install", "demo"], cwd=self.host.out, timeout=60)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        uris = {u for _, _, u in self.index()}
        self.assertIn("#brimwald:///feeds/content.php", uris)
        self.assertIn("#brimwald:///images/demo/base/layout.xml", uris)
        self.assertEqual(len(self.index()), 15)
        self.assertEqual(self.reg_query(r"HKLM\Software\Brimwald\Tolvar\Providers", "demo"),
                         "demo")
        self.assert_cache_consistent()
        self.assertEqual(self.host.request_count(), 0)

    def test_2_resident_start_and_clean_sync(self):
        d = self.desk
        started = time.monotonic()
        type(self).ctrl = d.start(self.ctrl_path, [], log="ctrl", cwd=self.host.out)
        # The tray icon: a small window of the program, docked in the tray host.
        wait_for(lambda: any(d.window_geometry(w)[2] <= 64 and d.window_geometry(w)[3] <= 64
                             for w in d.windows(pid=self.ctrl.pid)),
                 timeout=20, what="the tray icon")
        # The first cycle starts by itself after the splash.
        wait_for(lambda: self.cycle_ends() >= 1, timeout=30, what="the first cycle")
        requests = self.host.requests_since(0)
        self.cycles.append({"requests": requests, "seconds": time.monotonic() - started})
        self.assertIn("TolvarCtrl log: Synchronization finished.", self.ctrl_log())
        self.assert_requests(requests, [("POST", CONTROL), ("GET", WORLD), ("GET", TECH),
                                        ("GET", contenthost.news_picture_path(1))])
        post = requests[0]
        self.assertEqual((post.method, post.path), ("POST", CONTROL))
        self.assertEqual(list(post.fields), ["host_id", "user_id", "client_version",
                                             "subscriptions"])
        machine_id = self.reg_query(r"HKLM\Software\Brimwald\Tolvar", "SysHostID")
        user_id = self.reg_query(r"HKCU\Software\Brimwald\Tolvar", "SysUserID")
        self.assertEqual(post.fields["host_id"], machine_id)
        self.assertEqual(post.fields["user_id"], user_id)
        self.assertRegex(post.fields["client_version"], r"^\d+\.\d+\.\d+\.\d+$")
        # No subscriptions file before the first cycle; the cycle writes it.
        self.assertEqual(post.fields["subscriptions"], "")
        with open(os.path.join(self.data, "subscriptions.dir"), encoding="utf-8") as f:
            self.assertEqual(set(f.read().split()), {"world", "tech"})

        serials = self.host.serials()
        self.assertEqual(self.latest("#brimwald://" + WORLD), serials["world"])
        self.assertEqual(self.latest("#brimwald://" + TECH), serials["tech"])
        self.assertEqual(self.latest("#brimwald:///feeds/content.php"), serials["time"])
        self.assertIsNotNone(self.latest("#brimwald://" + contenthost.news_picture_path(1)))
        self.assert_cache_consistent()

    def test_3_saver_shows_the_items(self):
        d = self.desk
        started = time.monotonic()
        type(self).saver = d.start(self.saver_path, ["/s"], log="saver")
        wait_for(lambda: d.windows(name="^Tolvar$"), timeout=20, what="the saver's window")
        print("road: saver window after %.1f s" % (time.monotonic() - started), file=sys.stderr)
        image = self.wait_for_news_on_screen(1, "road-saver.png")
        window = image.crop(*MESSAGE_WINDOW)
        self.assertGreater(window.count(TITLE_BLUE), 560 * 20, "the message window's title bar")
        self.assertGreater(window.count((0xF4, 0xF4, 0xF4)), 1000, "the message window's body")
        self.assertGreater(window.count((0x10, 0x10, 0x10), tolerance=40), 20, "its text")
        ticker = image.crop(*TICKER)
        self.assertGreater(ticker.count(TITLE_BLUE), 1000, "the ticker's title bars")
        self.assertGreater(ticker.count((255, 255, 255)), 1000, "the ticker's bodies")
        self.assertIsNone(self.saver.poll())

    def test_4_new_serials_fetch_only_what_changed(self):
        self.host.advance()
        requests = self.sync()
        self.assert_requests(requests, [("POST", CONTROL), ("GET", WORLD),
                                        ("GET", contenthost.news_picture_path(2))])
        self.assertEqual(self.latest("#brimwald://" + WORLD), self.host.serials()["world"])
        self.assert_cache_consistent()
        # The running saver reloads and shows the new items.
        self.wait_for_news_on_screen(2, "road-new-items.png")
        self.assertIsNone(self.saver.poll())

    def test_5_stalled_feed(self):
        index_before = self.index()
        world_before = self.latest("#brimwald://" + WORLD)
        self.host.advance()
        self.host.stall(WORLD)
        started = time.monotonic()
        try:
            requests = self.sync()
        finally:
            self.host.release()
        elapsed = time.monotonic() - started
        stalled = [r for r in requests if r.path == WORLD]
        # The working host fails, and the host list (the same host) is tried once more.
        self.assertEqual(len(stalled), 2, requests)
        for r in stalled:
            self.assertTrue(r.aborted, "the client gave the stalled body up")
            # Each attempt ends after one stall of the configured time-out.
            self.assertGreaterEqual(r.ended - r.started, TIMEOUT_S * 0.8)
            self.assertLess(r.ended - r.started, TIMEOUT_S + 5)
        self.assertLess(elapsed, TIMEOUT_S * len(stalled) + 10, "the cycle's length")
        self.assertIn("InternetReadFile for", self.ctrl_log())
        self.assertEqual(self.latest("#brimwald://" + WORLD), world_before)
        self.assertNotIn(("GET", contenthost.news_picture_path(3)),
                         [(r.method, r.path) for r in requests])
        self.assert_cache_consistent()
        # The feed's versions and their pictures are those of before the cycle.
        def feed_and_pictures(entries):
            return {e for e in entries if e[2] == "#brimwald://" + WORLD
                    or e[2].startswith("#brimwald:///images/news/")}
        self.assertEqual(feed_and_pictures(self.index()), feed_and_pictures(index_before))
        # The items already shown stay on screen.
        image = self.wait_for_news_on_screen(2, "road-stalled.png")
        self.assertEqual(self.news_pixels(image, 3), 0)
        self.assertIsNone(self.saver.poll())

        # The next clean cycle recovers.
        requests = self.sync()
        self.assert_requests(requests, [("POST", CONTROL), ("GET", WORLD),
                                        ("GET", contenthost.news_picture_path(3))])
        self.assertEqual(self.latest("#brimwald://" + WORLD), self.host.serials()["world"])
        self.assert_cache_consistent()
        self.wait_for_news_on_screen(3, "road-recovered.png")

    def test_6_nothing_new_is_one_request(self):
        files = {n: os.stat(os.path.join(self.cache, n)).st_mtime_ns
                 for n in self.cache_files() | {"cache.dir"}}
        requests = self.sync()
        after = {n: os.stat(os.path.join(self.cache, n)).st_mtime_ns
                 for n in self.cache_files() | {"cache.dir"}}
        type(self).snapshots["nothing-new"] = (files, after)
        self.assert_requests(requests, [("POST", CONTROL)])

    # An unchanged control file is neither stored nor recorded again.
    def test_7_nothing_new_writes_no_file(self):
        files, after = self.snapshots["nothing-new"]
        self.assertEqual(after, files)
        self.assert_cache_consistent()
        entries = self.index()
        self.assertEqual(len({(s, u) for _, s, u in entries}), len(entries),
                         "a key and serial recorded twice")

    def test_8_click_reaches_the_opener(self):
        d = self.desk
        x, y = MESSAGE_WINDOW[0] + 200, MESSAGE_WINDOW[1] + 60

        def opened():
            if os.path.exists(self.opened):
                with open(self.opened, encoding="utf-8") as f:
                    return f.read().split()
            return None

        def click():
            # An item without a link does nothing: step on to the next one then.
            if self.saver.poll() is None:
                d.click(x, y)
            try:
                return wait_for(opened, timeout=1.5, what="the opener")
            except TimeoutError:
                if self.saver.poll() is None:
                    d.key("Right")
                return None

        urls = wait_for(click, timeout=30, what="a click that opens a link", interval=0)
        self.assertEqual(len(urls), 1, urls)
        self.assertRegex(urls[0], r"^https://example\.com/")
        self.assertIn('TolvarCtrl log: Received URL "%s"' % urls[0], self.ctrl_log())
        # A link click without Shift ends the saver.
        self.assertEqual(self.saver.wait(timeout=10), 0)


if __name__ == "__main__":
    unittest.main()
