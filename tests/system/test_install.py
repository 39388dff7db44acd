"""The install: `cmake --install` of this build tree into a fresh prefix, then the
programs started the way a user starts them, from the installed files only: the menu
entry's command shows the tray icon on an account that never had the System switches,
and the installed control program finds the saver file and the manual beside itself."""

import os
import shlex
import subprocess
import tempfile
import unittest

from desktop import Desktop, program, wait_for

BUILD_DIR = os.environ.get("TOLVAR_BUILD_DIR", "")
CMAKE = os.environ.get("TOLVAR_CMAKE", "cmake")
TITLE = "^Tolvar$"


@unittest.skipUnless(BUILD_DIR, "needs TOLVAR_BUILD_DIR (run through ctest)")
class Install(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = tempfile.mkdtemp(prefix="tolvar-prefix-")
        result = subprocess.run([CMAKE, "--install", BUILD_DIR, "--prefix", cls.prefix],
                                capture_output=True, text=True, timeout=120)
        if result.returncode != 0:
            raise AssertionError(f"cmake --install failed:\n{result.stdout}{result.stderr}")

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["rm", "-rf", cls.prefix], check=False)

    def path(self, *parts):
        return os.path.join(self.prefix, *parts)

    def test_the_layout_keeps_the_programs_files_together(self):
        programs = self.path("libexec", "tolvar")
        for name in ("Tolvar", "TolvarCtrl", "Tolvar.scr", "tolvar-idle", "tolvar-start"):
            self.assertTrue(os.access(os.path.join(programs, name), os.X_OK), name)
        self.assertTrue(os.path.isfile(os.path.join(programs, "manual.htm")))
        # The saver file is the saver program itself.
        with open(os.path.join(programs, "Tolvar"), "rb") as a, \
                open(os.path.join(programs, "Tolvar.scr"), "rb") as b:
            self.assertEqual(a.read(), b.read())
        for name in ("Tolvar", "TolvarCtrl"):
            link = self.path("bin", name)
            self.assertTrue(os.path.islink(link), name)
            self.assertEqual(os.path.realpath(link), os.path.join(programs, name))
        self.assertTrue(os.access(self.path("bin", "tolvar-reg"), os.X_OK))
        for rel in (("share", "applications", "TolvarCtrl.desktop"),
                    ("share", "icons", "hicolor", "scalable", "apps", "tolvar.svg"),
                    ("share", "xscreensaver", "config", "Tolvar.xml")):
            self.assertTrue(os.path.isfile(self.path(*rel)), rel)

    def test_the_menu_entry_shows_the_tray_icon_on_a_fresh_account(self):
        with open(self.path("share", "applications", "TolvarCtrl.desktop"), encoding="utf-8") as f:
            exec_line = next(line for line in f if line.startswith("Exec="))
        command = shlex.split(exec_line[len("Exec="):].strip())
        self.assertTrue(os.path.isabs(command[0]), command)
        with Desktop(name="install", window_manager=True, tray=True) as d:
            ctrl = d.start(command[0], command[1:], log="ctrl")

            def embedded_icon():
                # TolvarCtrl replaces the start script's process (exec): the same pid.
                for window in d.windows(pid=ctrl.pid, name=TITLE):
                    x, y, w, h = d.window_geometry(window)
                    if y < 30 and w < 64:
                        return window
                return None
            wait_for(embedded_icon, timeout=60, what="the installed program's tray icon")
            d.screenshot(save_as="install-tray.png")
            # The resident start copied the installed saver file into the Windows folder.
            windows = os.path.join(d.env["XDG_DATA_HOME"], "tolvar-system", "Windows")
            wait_for(lambda: os.path.exists(os.path.join(windows, "Tolvar.scr")), timeout=30,
                     what="the saver file copied")
            d.run(self.path("bin", "TolvarCtrl"), ["--quit"], timeout=30)
            self.assertEqual(ctrl.wait(timeout=30), 0, d.log_text("ctrl"))
            # A second start keeps what the first one (or the user) set.
            reg = d.run(self.path("bin", "tolvar-reg"),
                        ["query", r"HKLM\Software\Brimwald\Tolvar\System", "/v", "ShowTNAIcon"])
            self.assertIn("true", reg.stdout)


if __name__ == "__main__":
    unittest.main()
