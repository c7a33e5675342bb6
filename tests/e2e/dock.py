#!/usr/bin/python3
"""A panel for the e2e scenarios: a dock window (_NET_WM_WINDOW_TYPE_DOCK)
that reserves a strip along one screen edge with _NET_WM_STRUT_PARTIAL (and
_NET_WM_STRUT), through libX11 with ctypes (the standard library only).

    dock.py SIDE WIDTH FIRST LAST X Y W H

SIDE is left, right, top or bottom; WIDTH the pixels reserved from that edge
of the screen; FIRST and LAST the span of the edge it covers; X Y W H where
the window itself goes. Further lines on standard input, in the same form,
move it; "quit" or the end of input closes it. It prints "dock mapped" once
the window is mapped with its strut, and "dock moved" after each move.
"""

import ctypes
import ctypes.util
import sys

X = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
X.XOpenDisplay.restype = ctypes.c_void_p
X.XOpenDisplay.argtypes = [ctypes.c_char_p]
X.XDefaultRootWindow.restype = ctypes.c_ulong
X.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
X.XCreateSimpleWindow.restype = ctypes.c_ulong
X.XCreateSimpleWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                                  ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_ulong]
X.XInternAtom.restype = ctypes.c_ulong
X.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
X.XChangeProperty.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_int,
                              ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
X.XMapWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
X.XMoveResizeWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                                ctypes.c_uint]
X.XStoreName.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_char_p]
X.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
X.XDestroyWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
X.XCloseDisplay.argtypes = [ctypes.c_void_p]

PROP_MODE_REPLACE = 0
XA_ATOM, XA_CARDINAL, XA_WM_NORMAL_HINTS, XA_WM_SIZE_HINTS = 4, 6, 40, 41
US_POSITION, US_SIZE = 1, 2
SIDES = ("left", "right", "top", "bottom")
PANEL_COLOUR = 0x505058  # a grey the mascot's colours do not use


def strut(side, width, first, last):
    """The 12 values of _NET_WM_STRUT_PARTIAL for one strip."""
    values = [0] * 12
    at = SIDES.index(side)
    values[at] = width
    values[4 + 2 * at] = first
    values[5 + 2 * at] = last
    return values


def set_cardinals(dpy, window, name, values):
    data = (ctypes.c_long * len(values))(*values)  # format 32 is passed as longs
    X.XChangeProperty(dpy, window, X.XInternAtom(dpy, name, 0), XA_CARDINAL, 32, PROP_MODE_REPLACE, data,
                      len(values))


def place(dpy, window, args):
    side, width, first, last, x, y, w, h = args[0], *map(int, args[1:8])
    values = strut(side, width, first, last)
    set_cardinals(dpy, window, b"_NET_WM_STRUT_PARTIAL", values)
    set_cardinals(dpy, window, b"_NET_WM_STRUT", values[:4])
    # The place is the user's choice (USPosition): the window manager keeps
    # it instead of placing the window by its own rules.
    hints = (ctypes.c_long * 18)(US_POSITION | US_SIZE, x, y, w, h)
    X.XChangeProperty(dpy, window, XA_WM_NORMAL_HINTS, XA_WM_SIZE_HINTS, 32, PROP_MODE_REPLACE, hints, 18)
    X.XMoveResizeWindow(dpy, window, x, y, w, h)


def main():
    dpy = X.XOpenDisplay(None)
    if not dpy:
        print("dock: no display", flush=True)
        return 1
    root = X.XDefaultRootWindow(dpy)
    args = sys.argv[1:]
    x, y, w, h = map(int, args[4:8])
    window = X.XCreateSimpleWindow(dpy, root, x, y, w, h, 0, 0, PANEL_COLOUR)
    X.XStoreName(dpy, window, b"test dock")
    dock = (ctypes.c_long * 1)(X.XInternAtom(dpy, b"_NET_WM_WINDOW_TYPE_DOCK", 0))
    X.XChangeProperty(dpy, window, X.XInternAtom(dpy, b"_NET_WM_WINDOW_TYPE", 0), XA_ATOM, 32, PROP_MODE_REPLACE,
                      dock, 1)
    place(dpy, window, args)
    X.XMapWindow(dpy, window)
    X.XSync(dpy, 0)
    print("dock mapped", flush=True)
    for line in sys.stdin:
        words = line.split()
        if not words or words[0] == "quit":
            break
        place(dpy, window, words)
        X.XSync(dpy, 0)
        print("dock moved", flush=True)
    X.XDestroyWindow(dpy, window)
    X.XSync(dpy, 0)
    X.XCloseDisplay(dpy)
    return 0


if __name__ == "__main__":
    sys.exit(main())
