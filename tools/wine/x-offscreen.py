#!/usr/bin/python3
"""Keeps every top-level window of an X display in offscreen storage of its own (Composite's
automatic redirection) for as long as this runs, so that a window's pixels can be read
whole while other windows overlap it: Wine's virtual desktops all open at the screen's
corner. Prints "redirected" once in effect; ends with the X server.

usage: x-offscreen.py DISPLAY
"""
import sys

from Xlib import display, error
from Xlib.ext import composite


def main(argv):
    if len(argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    try:
        screen = display.Display(argv[0])
        composite.redirect_subwindows(screen.screen().root, composite.RedirectAutomatic)
        screen.sync()
    except (error.DisplayError, error.ConnectionClosedError) as problem:
        print(f"x-offscreen: {argv[0]}: {problem}", file=sys.stderr)
        return 1
    print("redirected", flush=True)
    try:
        while True:  # the redirection lasts as long as this connection
            screen.next_event()
    except error.ConnectionClosedError:
        return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
