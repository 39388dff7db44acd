#!/usr/bin/python3
"""A desktop's idle service on a test's private session bus, as GNOME offers it: the
idle monitor (org.gnome.Mutter.IdleMonitor GetIdletime), the session manager's
inhibitors (org.gnome.SessionManager IsInhibited) and its screen saver
(org.gnome.ScreenSaver GetActive). The answers come from a JSON state file read at each
call: {"last_input": epoch seconds, "inhibited": bool, "active": bool}.

    gnome_idle_service.py STATE_FILE

Needs python3-dbus and python3-gi (the system's Python). Prints "ready" once every name
is owned.
"""

import json
import sys
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

STATE = sys.argv[1]


def state():
    with open(STATE, encoding="utf-8") as f:
        return json.load(f)


class IdleMonitor(dbus.service.Object):
    @dbus.service.method("org.gnome.Mutter.IdleMonitor", in_signature="", out_signature="t")
    def GetIdletime(self):
        return dbus.UInt64(max(0, int((time.time() - state()["last_input"]) * 1000)))


class SessionManager(dbus.service.Object):
    @dbus.service.method("org.gnome.SessionManager", in_signature="u", out_signature="b")
    def IsInhibited(self, flags):
        return bool(state()["inhibited"]) and bool(flags & 8)


class ScreenSaver(dbus.service.Object):
    @dbus.service.method("org.gnome.ScreenSaver", in_signature="", out_signature="b")
    def GetActive(self):
        return bool(state()["active"])


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    names = [dbus.service.BusName(name, bus) for name in (
        "org.gnome.Mutter.IdleMonitor", "org.gnome.SessionManager", "org.gnome.ScreenSaver")]
    objects = [IdleMonitor(bus, "/org/gnome/Mutter/IdleMonitor/Core"),
               SessionManager(bus, "/org/gnome/SessionManager"),
               ScreenSaver(bus, "/org/gnome/ScreenSaver")]
    print("ready", flush=True)
    GLib.MainLoop().run()
    del names, objects


if __name__ == "__main__":
    main()
