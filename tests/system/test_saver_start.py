"""Starting the saver the ways a user does, with the build's own programs and saver file:
the tray icon's double click and its menu, "TolvarCtrl -s" and "-c", a second start of
the saver's dialogs and of the control program (each brings the first forward), and
whether "a screen saver runs" (only while the saver's screen is shown, or the desktop's
own saver is on; not while only the dialogs are open)."""

import os
import signal
import unittest

from demo import (TITLE_BLUE, count_near, install_demo, screen_saver_state, set_switch)
from desktop import Desktop, XWindow, force_x_screen_saver, program, wait_for

SAVER_TITLE = "^Tolvar$"
DIALOG_TITLE = "^Tolvar-Konfiguration$"
DEBUG_TITLE = "^TolvarCtrl - Debug-Fenster$"


class SaverStart(unittest.TestCase):
    def setUp(self):
        self.d = Desktop(name="start", window_manager=True, tray=True).__enter__()
        self.addCleanup(self.d.__exit__, None, None, None)
        self.work = install_demo(self.d)
        set_switch(self.d, "ShowTNAIcon")
        set_switch(self.d, "ShowDebug")

    # -- helpers ----------------------------------------------------------------------

    def shot(self, name):
        return self.d.screenshot(save_as=name)

    def pid_of(self, window):
        out = self.d.run("xdotool", ["getwindowpid", str(window)]).stdout.strip()
        return int(out) if out.isdigit() else None

    def saver_window(self):
        """The saver's full-screen window, when one is shown."""
        for window in self.d.windows(name=SAVER_TITLE):
            if self.d.window_geometry(window)[2:] == (self.d.width, self.d.height):
                return window
        return None

    def wait_for_saver_screen(self, shot):
        """Waits until the saver covers the screen with the demo layout."""
        window = wait_for(self.saver_window, timeout=30, what="the saver's screen")
        wait_for(lambda: count_near(self.d.screenshot(), TITLE_BLUE) > 400, timeout=30,
                 what="the demo layout on the screen")
        self.shot(shot)
        state = wait_for(lambda: (s := screen_saver_state(self.d))["running"] and s,
                         timeout=10, what="a screen saver running")
        self.assertTrue(state["saverScreenShown"])
        return window

    def end_saver(self, window):
        """Esc ends the saver; afterwards no screen saver runs."""
        self.d.xdotool("windowactivate", "--sync", window)
        self.d.key("Escape")
        wait_for(lambda: not self.d.windows(name=SAVER_TITLE) or self.saver_window() is None,
                 timeout=20, what="the saver's end")
        wait_for(lambda: not screen_saver_state(self.d)["running"], timeout=10,
                 what="no screen saver running")

    def start_resident(self):
        ctrl = self.d.start(program("TolvarCtrl"), [], log="ctrl", cwd=self.work)

        def embedded_icon():
            # The icon's window once the tray host on the top edge has taken it in.
            for window in self.d.windows(pid=ctrl.pid, name=SAVER_TITLE):
                x, y, w, h = self.d.window_geometry(window)
                if y < 30 and w < 64:
                    return window
            return None
        icon = wait_for(embedded_icon, timeout=30, what="the tray icon")
        # The splash goes after a second; the tray menu belongs to its window, so a menu
        # opened before would close with it.
        wait_for(lambda: not self.d.windows(name="^Brimwald Tolvar$"), timeout=30,
                 what="the end of the splash")
        return ctrl, icon

    def click_icon(self, icon, button=1, repeat=1):
        x, y, w, h = self.d.window_geometry(icon)
        # The pointer leaves the icon first: a move onto where it already is never ends.
        self.d.xdotool("mousemove", 400, 400)
        self.d.click(x + w // 2, y + h // 2, button=button, repeat=repeat)

    def open_tray_menu(self, ctrl, icon):
        """Opens the tray menu and highlights its first item from the keyboard."""
        def menu():
            for m in self.d.windows(pid=ctrl.pid, name="."):
                geometry = self.d.window_geometry(m)
                if geometry[2] > 100:
                    return geometry
            return None
        # On a loaded machine a click can reach the icon before it takes input: click
        # again while no menu came.
        for _ in range(3):
            self.click_icon(icon, button=3)
            try:
                x, y, w, h = wait_for(menu, timeout=10, what="the tray menu")
                break
            except TimeoutError:
                continue
        else:
            self.fail("the tray menu does not open")

        def first_highlighted():
            r, g, b = self.d.screenshot().pixel(x + w // 2, y + 10)
            return b > r + 40
        # A key before the menu holds the keyboard is lost: Down again until it shows.
        for _ in range(5):
            self.d.key("Down")
            try:
                wait_for(first_highlighted, timeout=3, what="the first item highlighted")
                return
            except TimeoutError:
                continue
        self.fail("the tray menu takes no keys")

    def menu_keys(self, *keys):
        # One key at a time, as a user types them: the menu moves its highlight per key.
        self.d.xdotool("key", "--delay", 150, *keys)

    def active_window(self):
        out = self.d.run("xdotool", ["getactivewindow"]).stdout.strip()
        return int(out) if out.isdigit() else None

    def activate_other_window(self):
        """Another window takes the focus, as the user working elsewhere."""
        other = XWindow(self.d.display, 20, 40, 300, 200, (0, 160, 0), title="elsewhere")
        self.addCleanup(other.close)
        wait_for(lambda: self.d.windows(name="^elsewhere$"), what="the other window")
        self.d.xdotool("windowactivate", "--sync", other.id)
        wait_for(lambda: self.active_window() == other.id, what="the other window active")
        return other

    # -- the tests ----------------------------------------------------------------------

    def test_tray_double_click_and_menu_show_the_saver(self):
        ctrl, icon = self.start_resident()
        self.assertFalse(screen_saver_state(self.d)["running"])

        self.click_icon(icon, repeat=2)
        window = self.wait_for_saver_screen("tray-double-click.png")
        self.end_saver(window)

        # The menu's first item, "Bildschirmschoner öffnen".
        self.open_tray_menu(ctrl, icon)
        self.shot("tray-menu.png")
        self.menu_keys("Return")
        window = self.wait_for_saver_screen("tray-menu-open-saver.png")
        self.end_saver(window)
        self.assertIsNone(ctrl.poll(), self.d.log_text("ctrl"))

    def test_activate_switch_shows_the_saver_and_stays_resident(self):
        ctrl = self.d.start(program("TolvarCtrl"), ["-s"], log="ctrl", cwd=self.work)
        window = self.wait_for_saver_screen("ctrl-s.png")
        # The run goes on to the resident program: its tray icon is there.
        wait_for(lambda: self.d.windows(pid=ctrl.pid, name=SAVER_TITLE), timeout=30,
                 what="the tray icon after -s")
        self.end_saver(window)
        self.assertIsNone(ctrl.poll(), self.d.log_text("ctrl"))

    def test_config_switch_opens_the_dialogs_and_a_second_start_brings_them_forward(self):
        # Started, not run to its end here: the dialogs it opens keep its output open.
        command = self.d.start(program("TolvarCtrl"), ["-c"], log="ctrl-c", cwd=self.work)
        self.assertEqual(command.wait(timeout=60), 0, self.d.log_text("ctrl-c"))
        dialog = wait_for(lambda: self.d.windows(name=DIALOG_TITLE), timeout=30,
                          what="the saver's dialogs")[0]
        self.shot("ctrl-c-dialogs.png")
        # Only the dialogs are open: no screen saver runs.
        state = screen_saver_state(self.d)
        self.assertFalse(state["running"], state)
        self.assertFalse(state["saverScreenShown"], state)

        self.activate_other_window()
        self.assertNotEqual(self.active_window(), dialog)
        second = self.d.run(state["registered"], ["/c"], timeout=30)
        self.assertEqual(second.returncode, 4, second.stderr)
        wait_for(lambda: self.active_window() == dialog, timeout=10,
                 what="the first dialog brought forward")
        self.shot("second-dialog-start.png")
        self.assertEqual(len(self.d.windows(name=DIALOG_TITLE)), 1)

    def test_second_control_start_brings_the_first_forward(self):
        ctrl, icon = self.start_resident()
        # The log window from the tray menu: "Debug-Fenster" is its fifth item.
        self.open_tray_menu(ctrl, icon)
        self.menu_keys("Down", "Down", "Down", "Down", "Return")
        debug = wait_for(lambda: self.d.windows(name=DEBUG_TITLE), timeout=20,
                         what="the log window")[0]

        self.activate_other_window()
        second = self.d.run(program("TolvarCtrl"), [], cwd=self.work, timeout=60)
        self.assertEqual(second.returncode, 4, second.stderr)
        wait_for(lambda: self.active_window() == debug, timeout=10,
                 what="the first copy's window brought forward")
        self.shot("second-ctrl-start.png")
        self.assertIsNone(ctrl.poll(), self.d.log_text("ctrl"))

    def test_the_desktops_own_screen_saver_counts_as_running(self):
        self.assertFalse(screen_saver_state(self.d)["running"])
        force_x_screen_saver(self.d.display, True)
        state = wait_for(lambda: (s := screen_saver_state(self.d))["running"] and s,
                         timeout=10, what="the X server's saver seen")
        self.assertTrue(state["desktopSaverOn"])
        self.assertFalse(state["saverScreenShown"])
        force_x_screen_saver(self.d.display, False)
        wait_for(lambda: not screen_saver_state(self.d)["running"], timeout=10,
                 what="the X server's saver off again")


if __name__ == "__main__":
    unittest.main()


class FreshAccount(unittest.TestCase):
    """Nothing installed, no resident start yet: "-s" still starts the build's saver."""

    def test_activate_switch_on_a_fresh_account_starts_the_saver(self):
        with Desktop(name="fresh", window_manager=True) as d:
            ctrl = d.start(program("TolvarCtrl"), ["-s"], log="ctrl")
            # Without any provider the saver says its installation is incomplete: the
            # box is its own, captioned with its name.
            box = wait_for(lambda: [w for w in d.windows(name=SAVER_TITLE)
                                    if d.run("xdotool", ["getwindowpid", str(w)]).stdout.strip()
                                    != str(ctrl.pid)],
                           timeout=60, what="a window of the started saver")
            self.assertTrue(box)
            self.assertNotIn("no saver file", d.log_text("ctrl"))
            d.screenshot(save_as="fresh-s.png")
