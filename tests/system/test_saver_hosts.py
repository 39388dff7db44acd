"""The saver inside a screen-saver host's window: "-window-id N", "-root" with the
window in XSCREENSAVER_WINDOW, the host's SIGTERM, a host that goes away, and bad
switches. The host here is the test: it makes a plain X window and starts the build's
own saver with the switches a host uses, after the build's control program has installed
the demo provider as a user would."""

import os
import signal
import unittest

import desktop
from demo import TITLE_BLUE, count_near, install_demo, near
from desktop import Desktop, XWindow, program, wait_for

HOST_COLOUR = (255, 0, 255)


class SaverInAHostsWindow(unittest.TestCase):
    def setUp(self):
        self.d = Desktop(name="hosts").__enter__()
        self.addCleanup(self.d.__exit__, None, None, None)
        install_demo(self.d)

    def shows_demo_in(self, x, y, w, h, shot):
        """The screenshot when the rectangle shows the demo's title blue and none of the
        host's own colour (saved as shot), else None."""
        image = self.d.screenshot()
        blue = count_near(image, TITLE_BLUE, x, y, w, h)
        host = count_near(image, HOST_COLOUR, x, y, w, h, tolerance=0)
        if blue > 50 and host == 0:
            folder = desktop.ARTIFACT_DIR or self.d.logs
            os.makedirs(folder, exist_ok=True)
            image.save_png(os.path.join(folder, shot))
            return image
        return None

    def run_in_host(self, args, env=None, shot="host.png"):
        window = XWindow(self.d.display, 100, 80, 640, 480, HOST_COLOUR)
        self.addCleanup(window.close)
        env = dict(env or {})
        env = {k: (v.format(id=window.id) if isinstance(v, str) else v) for k, v in env.items()}
        args = [hex(window.id) if a == "hex" else a.format(id=window.id) for a in args]
        saver = self.d.start(program("Tolvar"), args, log="saver", env=env)
        image = wait_for(lambda: saver.poll() is not None or
                         self.shows_demo_in(100, 80, 640, 480, shot),
                         timeout=60, what="the saver drawn into the host's window")
        self.assertIsNone(saver.poll(), self.d.log_text("saver"))
        # Only the host's window is drawn into: the screen around it stays black.
        for point in ((20, 20), (900, 700), (99, 300), (741, 300)):
            self.assertEqual(image.pixel(*point), (0, 0, 0), point)
        # The screen is built for the window's size: the ticker's title bar runs along
        # the window's bottom, inside it.
        self.assertTrue(any(near(image.pixel(x, y), TITLE_BLUE)
                            for x in range(110, 730, 10) for y in range(480, 560)))
        return window, saver

    def test_window_id_draws_into_that_window_and_sigterm_ends_with_zero(self):
        # Decimal as written by hand, hexadecimal as the hosts write window numbers.
        for spelling, number in (("-window-id", "{id}"), ("--window-id", "hex")):
            with self.subTest(spelling):
                window, saver = self.run_in_host([spelling, number],
                                                 shot=f"window-id{spelling}.png")
                self.assertEqual(self.d.stop(saver, signal.SIGTERM), 0,
                                 self.d.log_text("saver"))
                window.close()

    def test_root_takes_the_window_from_the_hosts_variable(self):
        window, saver = self.run_in_host(["-root"], env={"XSCREENSAVER_WINDOW": "{id}"},
                                         shot="xscreensaver-window.png")
        self.assertEqual(self.d.stop(saver, signal.SIGTERM), 0, self.d.log_text("saver"))

    def test_root_finds_the_virtual_root_a_host_marked(self):
        window = XWindow(self.d.display, 100, 80, 640, 480, HOST_COLOUR)
        self.addCleanup(window.close)
        window.mark_as_virtual_root()
        saver = self.d.start(program("Tolvar"), ["-root"], log="saver")
        wait_for(lambda: saver.poll() is not None or
                 self.shows_demo_in(100, 80, 640, 480, "virtual-root.png"),
                 timeout=60, what="the saver in the virtual root")
        self.assertEqual(self.d.stop(saver, signal.SIGTERM), 0, self.d.log_text("saver"))

    def test_root_without_a_host_covers_the_screen(self):
        saver = self.d.start(program("Tolvar"), ["-root"], log="saver")
        wait_for(lambda: saver.poll() is not None or
                 self.shows_demo_in(0, 0, self.d.width, self.d.height, "root.png"),
                 timeout=60, what="the saver over the whole screen")
        image = self.d.screenshot()
        # The ticker's title bar along the screen's bottom edge.
        self.assertGreater(count_near(image, TITLE_BLUE, 0, 660, self.d.width, 40), 100)
        self.assertEqual(self.d.stop(saver, signal.SIGTERM), 0, self.d.log_text("saver"))

    def test_a_host_window_that_goes_away_ends_the_saver(self):
        window, saver = self.run_in_host(["-window-id", "{id}"])
        window.destroy()
        self.assertEqual(saver.wait(timeout=15), 0, self.d.log_text("saver"))

    def test_bad_host_switches_say_why_and_show_nothing(self):
        cases = (
            (["-window-id"], 2, "needs the number of a window"),
            (["-window-id", "12ab"], 2, "needs the number of a window"),
            (["--window-id", "0"], 2, "needs the number of a window"),
            (["-window-id", "4000000"], 3, "is no window to draw into"),
        )
        for args, code, text in cases:
            with self.subTest(args=args):
                result = self.d.run(program("Tolvar"), args, timeout=30)
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertIn(text, result.stderr)


if __name__ == "__main__":
    unittest.main()
