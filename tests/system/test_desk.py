"""The programs on a desktop with a window manager: boxes over the running saver, the Esc
that closes one, the subscription dialog with many topics, the tray icon."""

import os
import re
import subprocess
import sys
import unittest

from desktop import ARTIFACT_DIR, Desktop, SOURCE_DIR, program, wait_for

# Eight topics, each offering the demo's optional channel.
TOPICS = ["Nachrichten", "Sport", "Wirtschaft", "Kultur", "Wissenschaft", "Reisen",
          "Gesundheit", "Unterhaltung"]


def window_origin(desk, window):
    """The screen position of a window's own area (xdotool's may be the frame's)."""
    out = desk.run("xwininfo", ["-id", str(window)], timeout=10).stdout
    x = int(re.search(r"Absolute upper-left X:\s+(-?\d+)", out).group(1))
    y = int(re.search(r"Absolute upper-left Y:\s+(-?\d+)", out).group(1))
    return x, y


def make_provider(desk, eight_topics=False):
    """The demo provider seeded into the desktop's cache; returns the program folder."""
    out = os.path.join(desk.root, "install")
    subprocess.run([sys.executable, os.path.join(SOURCE_DIR, "samples", "demo", "make_demo.py"),
                    out], check=True)
    if eight_topics:
        path = os.path.join(out, "vorlk", "demo", "control.xml")
        with open(path, encoding="utf-8") as f:
            xml = f.read()
        topics = "".join(
            '<topic id="t%d" serial="1" title="%s"><description>Alles über %s</description>'
            '<channelref id="tech" displaytitle="Technik"/></topic>' % (i, t, t)
            for i, t in enumerate(TOPICS))
        xml = re.sub(r"<topics>.*</topics>", "<topics>" + topics + "</topics>", xml, flags=re.S)
        with open(path, "w", encoding="utf-8") as f:
            f.write(xml)
    desk.run(program("TolvarCtrl"), ["--install", "demo"], cwd=out, check=True, timeout=120)
    return out


class DeskTest(unittest.TestCase):
    def test_box_over_the_saver_and_its_esc(self):
        with Desktop(window_manager=True, name="desk-box") as desk:
            make_provider(desk)
            # A dial-up connection is set up: the saver's dial asks first, over its screen.
            reg = program("tolvar-reg")
            desk.run(reg, ["add", "HKLM\\System\\Dialup", "/v", "Name", "/d", "Modem", "/f"],
                     check=True)
            desk.run(reg, ["add", "HKLM\\System\\Dialup", "/v", "Dial", "/d", "true", "/f"],
                     check=True)
            saver = desk.start(program("Tolvar"), ["/s"], log="saver")
            screen = wait_for(lambda: desk.windows(name="^Tolvar$"), timeout=60,
                              what="the saver's screen")[0]
            self.assertEqual(desk.window_geometry(screen)[2:], (desk.width, desk.height))
            desk.run(program("tolvar-ipc"), ["send", "IPC_DIAL_REQUEST"], check=True)
            box = wait_for(lambda: desk.windows(name="DFÜ-Verbindung"), timeout=30,
                           what="the dial prompt")[0]
            _, _, w, h = desk.window_geometry(box)
            x, y = window_origin(desk, box)
            # The box is painted and on top of the saver in the stacking order.
            wait_for(lambda: desk.screenshot(window=box).pixel(w // 2, h - 12) != (0, 0, 0),
                     what="the box painted")
            stacking = desk.xprop_root().split("_NET_CLIENT_LIST_STACKING(WINDOW): window id #")[1]
            order = [int(v, 16) for v in stacking.split("\n")[0].split(",")]
            self.assertGreater(order.index(box), order.index(screen), "the box is above")
            shot = desk.screenshot().paste(desk.screenshot(window=box), x, y)
            shot.save_png(os.path.join(ARTIFACT_DIR or desk.logs, "desk-saver-with-box.png"))
            face = shot.pixel(x + 10, y + h - 8)  # the box face, left of the buttons
            self.assertTrue(all(c > 150 for c in face), f"a light box face: {face}")
            props = desk.run("xprop", ["-id", str(box), "WM_TRANSIENT_FOR", "_NET_WM_STATE"]).stdout
            self.assertIn("window id #", props, "the saver is the box's parent")
            self.assertIn("_NET_WM_STATE_ABOVE", props)
            # Esc closes the box on its press; its release must not end the saver.
            desk.key("Escape", window=box)
            wait_for(lambda: not desk.windows(name="DFÜ-Verbindung"), what="the box to close")
            self.assertIsNone(saver.poll(), "the saver runs on")
            self.assertTrue(desk.windows(name="^Tolvar$"))
            desk.screenshot(save_as="desk-saver-after-esc.png")
            # A keystroke of its own still ends it (sent again while the window manager may
            # still be handing the focus back from the box).
            def ended():
                if saver.poll() is None:
                    # Unchecked: the window is gone once the saver ended after a key before.
                    desk.run("xdotool", ["key", "--window", str(screen), "Escape"], timeout=10)
                return saver.poll() is not None
            wait_for(ended, timeout=30, interval=1.0, what="Esc to end the saver")
            self.assertEqual(saver.wait(timeout=30), 0)

    def test_subscription_dialog_with_eight_topics(self):
        with Desktop(window_manager=True, name="desk-topics") as desk:
            make_provider(desk, eight_topics=True)
            dialog_proc = desk.start(program("Tolvar"), ["/c"], log="config")
            dialog = wait_for(lambda: desk.windows(name="Tolvar-Konfiguration"), timeout=60,
                              what="the subscription dialog")[0]
            _, _, w, h = desk.window_geometry(dialog)
            x, y = window_origin(desk, dialog)
            wait_for(lambda: desk.screenshot(window=dialog).pixel(w // 2, h - 10) != (0, 0, 0),
                     what="the dialog painted")
            shot = desk.screenshot().paste(desk.screenshot(window=dialog), x, y)
            shot.save_png(os.path.join(ARTIFACT_DIR or desk.logs, "desk-config-eight-topics.png"))
            self.assertIsNone(dialog_proc.poll())
            # Esc cancels the dialog and ends the configuration run.
            desk.key("Escape", window=dialog)
            self.assertEqual(dialog_proc.wait(timeout=30), 0)

    def test_tray_icon_with_a_tray_host(self):
        with Desktop(window_manager=True, tray=True, name="desk-tray") as desk:
            out = make_provider(desk)
            desk.run(program("tolvar-reg"),
                     ["add", "HKLM\\Software\\Brimwald\\Tolvar\\System", "/v", "ShowTNAIcon",
                      "/d", "true", "/f"], check=True)
            ctrl = desk.start(program("TolvarCtrl"), ["--quiet"], log="ctrl", cwd=out)
            wait_for(lambda: desk.windows(pid=ctrl.pid, visible=False), timeout=60,
                     what="the control program's windows")
            self.assertNotIn("no notification area", desk.log_text("ctrl"))
            desk.run(program("TolvarCtrl"), ["--quit"], cwd=out)
            self.assertEqual(ctrl.wait(timeout=30), 0)

    def test_no_tray_host_is_one_line(self):
        with Desktop(window_manager=True, name="desk-notray") as desk:
            out = make_provider(desk)
            desk.run(program("tolvar-reg"),
                     ["add", "HKLM\\Software\\Brimwald\\Tolvar\\System", "/v", "ShowTNAIcon",
                      "/d", "true", "/f"], check=True)
            ctrl = desk.start(program("TolvarCtrl"), ["--quiet"], log="ctrl", cwd=out)
            line = "TolvarCtrl: ShowTNAIcon is on, but this session has no notification area"
            wait_for(lambda: line in desk.log_text("ctrl"), timeout=60, what="the line")
            self.assertEqual(desk.log_text("ctrl").count(line), 1)
            desk.run(program("TolvarCtrl"), ["--quit"], cwd=out)
            self.assertEqual(ctrl.wait(timeout=30), 0)


if __name__ == "__main__":
    unittest.main()
