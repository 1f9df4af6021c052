#!/usr/bin/env python3
"""A GTK 3 entry that takes the keyboard focus and prints each character
inserted into it as its code point in hex, one per line, after a line
"ready". GDK refreshes its XKB key map when it translates a key, as GTK
applications do. Ends when its standard input closes."""
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402


def main():
    window = Gtk.Window()
    window.set_default_size(400, 100)
    entry = Gtk.Entry()
    window.add(entry)

    def inserted(_buffer, _position, text, _count):
        for c in text:
            sys.stdout.write("%x\n" % ord(c))
        sys.stdout.flush()

    entry.get_buffer().connect("inserted-text", inserted)

    announced = []

    def focused(*_args):
        if not announced:
            announced.append(True)
            sys.stdout.write("ready\n")
            sys.stdout.flush()
        return False

    window.connect("focus-in-event", focused)
    window.connect("map-event", lambda *_: window.get_window().focus(Gdk.CURRENT_TIME) or False)

    def stdin_closed(*_args):
        Gtk.main_quit()
        return False

    GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP, stdin_closed)
    window.show_all()
    entry.grab_focus()
    Gtk.main()


if __name__ == "__main__":
    main()
