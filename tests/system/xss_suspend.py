#!/usr/bin/env python3
"""Holds the X server's screen saver suspended, the way a video player does
(XScreenSaverSuspend through the MIT-SCREEN-SAVER extension), until its standard input
closes; the server lifts the suspension when this client goes.

    xss_suspend.py [TIMEOUT]    also sets the server's own screen-saver timeout (seconds)

Prints "suspended" once the server has handled the requests.
"""

import ctypes
import sys


class Cookie(ctypes.Structure):
    _fields_ = [("sequence", ctypes.c_uint)]


def main():
    xcb = ctypes.CDLL("libxcb.so.1")
    saver = ctypes.CDLL("libxcb-screensaver.so.0")
    libc = ctypes.CDLL(None)
    xcb.xcb_connect.restype = ctypes.c_void_p
    xcb.xcb_connect.argtypes = [ctypes.c_char_p, ctypes.c_void_p]
    xcb.xcb_connection_has_error.argtypes = [ctypes.c_void_p]
    xcb.xcb_flush.argtypes = [ctypes.c_void_p]
    xcb.xcb_set_screen_saver.restype = Cookie
    xcb.xcb_set_screen_saver.argtypes = [ctypes.c_void_p, ctypes.c_int16, ctypes.c_int16,
                                         ctypes.c_uint8, ctypes.c_uint8]
    xcb.xcb_get_screen_saver.restype = Cookie
    xcb.xcb_get_screen_saver.argtypes = [ctypes.c_void_p]
    xcb.xcb_get_screen_saver_reply.restype = ctypes.c_void_p
    xcb.xcb_get_screen_saver_reply.argtypes = [ctypes.c_void_p, Cookie, ctypes.c_void_p]
    saver.xcb_screensaver_suspend.restype = Cookie
    saver.xcb_screensaver_suspend.argtypes = [ctypes.c_void_p, ctypes.c_uint32]
    libc.free.argtypes = [ctypes.c_void_p]

    connection = xcb.xcb_connect(None, None)
    if xcb.xcb_connection_has_error(connection):
        sys.exit("xss_suspend: cannot reach the X server")
    if len(sys.argv) > 1:
        # Default blanking and exposures (2), no cycling.
        xcb.xcb_set_screen_saver(connection, int(sys.argv[1]), 0, 2, 2)
    saver.xcb_screensaver_suspend(connection, 1)
    # A round trip: the requests before it are done when its answer comes.
    reply = xcb.xcb_get_screen_saver_reply(connection, xcb.xcb_get_screen_saver(connection),
                                           None)
    if not reply:
        sys.exit("xss_suspend: the X server did not answer")
    libc.free(reply)
    print("suspended", flush=True)
    sys.stdin.read()


if __name__ == "__main__":
    main()
