#!/usr/bin/env python3
"""A full-screen GTK 3 window on a Wayland compositor that reports what
reaches it, one line each: "ready" once it has the keyboard focus, "press B X
Y" and "release B X Y" (window coordinates, which are desktop coordinates
while it is full-screen), "scroll up|down|left|right", "text HEX ..." (the
entry's code points after each change), "key NAME" for a media key (AudioRaiseVolume...). Below the entry it paints four
quadrants: red, green / blue, white. "copy TEXT" on standard input puts TEXT
on the clipboard, "paste" prints "clipboard HEX ..." with what is there;
"copy-image PATH" puts a picture file there, "paste-image" prints "image
WxH" (or "image none").
Ends when its standard input closes."""
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import Gdk, GdkPixbuf, GLib, Gtk  # noqa: E402


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def hexed(text):
    return " ".join("%x" % ord(c) for c in text)


QUADRANTS = [(1, 0, 0), (0, 1, 0), (0, 0, 1), (1, 1, 1)]


def main():
    # A blinking text cursor would keep the screen from ever being still.
    Gtk.Settings.get_default().set_property("gtk-cursor-blink", False)
    window = Gtk.Window()
    box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
    entry = Gtk.Entry()
    # Coloured boxes by CSS: no cairo bindings needed.
    css = Gtk.CssProvider()
    css.load_from_data(b"".join(b"#q%d { background-color: rgb(%d,%d,%d); }" % (i, r * 255, g * 255, b * 255)
                                for i, (r, g, b) in enumerate(QUADRANTS)))
    Gtk.StyleContext.add_provider_for_screen(Gdk.Screen.get_default(), css, Gtk.STYLE_PROVIDER_PRIORITY_APPLICATION)
    grid = Gtk.Grid(column_homogeneous=True, row_homogeneous=True)
    for i in range(4):
        quadrant = Gtk.Box()
        quadrant.set_name("q%d" % i)
        quadrant.set_hexpand(True)
        quadrant.set_vexpand(True)
        grid.attach(quadrant, i % 2, i // 2, 1, 1)
    area = Gtk.EventBox()
    area.add(grid)
    area.add_events(Gdk.EventMask.BUTTON_PRESS_MASK | Gdk.EventMask.BUTTON_RELEASE_MASK | Gdk.EventMask.SCROLL_MASK)
    # --entry-at-bottom: the recording area reaches the screen's top left corner.
    if "--entry-at-bottom" in sys.argv:
        box.pack_start(area, True, True, 0)
        box.pack_start(entry, False, False, 0)
    else:
        box.pack_start(entry, False, False, 0)
        box.pack_start(area, True, True, 0)
    window.add(box)

    def where(event):
        x, y = area.translate_coordinates(window, int(event.x), int(event.y))
        return "%d %d" % (x, y)

    def pressed(_w, event):
        if event.type == Gdk.EventType.BUTTON_PRESS:
            say("press %d %s" % (event.button, where(event)))
        return False

    def released(_w, event):
        say("release %d %s" % (event.button, where(event)))
        return False

    names = {Gdk.ScrollDirection.UP: "up", Gdk.ScrollDirection.DOWN: "down",
             Gdk.ScrollDirection.LEFT: "left", Gdk.ScrollDirection.RIGHT: "right"}

    def scrolled(_w, event):
        if event.direction in names:
            say("scroll " + names[event.direction])
        elif event.direction == Gdk.ScrollDirection.SMOOTH:
            _ok, dx, dy = event.get_scroll_deltas()
            say("smooth %g %g" % (dx, dy))
        return False

    area.connect("button-press-event", pressed)
    area.connect("button-release-event", released)
    area.connect("scroll-event", scrolled)
    entry.connect("changed", lambda e: say("text " + hexed(e.get_text())))

    # Ready once full-screen with the keyboard focus, and a frame later,
    # so that the quadrants are on screen and events land where expected.
    state = {"focus": False, "fullscreen": False, "announced": False}

    def check():
        if state["focus"] and state["fullscreen"] and not state["announced"]:
            state["announced"] = True
            GLib.timeout_add(300, lambda: say("ready") or False)

    def focused(*_args):
        state["focus"] = True
        check()
        return False

    def changed_state(_w, event):
        state["fullscreen"] = bool(event.new_window_state & Gdk.WindowState.FULLSCREEN)
        check()
        return False

    def key(_w, event):
        name = Gdk.keyval_name(event.keyval) or ""
        if name.startswith("Audio"):
            say("key " + name)
        return False

    window.connect("key-press-event", key)
    window.connect("focus-in-event", focused)
    window.connect("window-state-event", changed_state)
    window.connect("map-event", lambda *_: window.get_window().focus(Gdk.CURRENT_TIME) or False)
    clipboard = Gtk.Clipboard.get(Gdk.SELECTION_CLIPBOARD)

    def command(source, _condition):
        line = source.readline()
        if not line:
            Gtk.main_quit()
            return False
        line = line.rstrip("\n")
        if line.startswith("copy "):
            clipboard.set_text(line[5:], -1)
            clipboard.store()
            say("copied")
        elif line.startswith("copy-image "):
            clipboard.set_image(GdkPixbuf.Pixbuf.new_from_file(line[11:]))
            clipboard.store()
            say("copied")
        elif line == "paste-image":
            clipboard.request_image(
                lambda _c, image: say("image %dx%d" % (image.get_width(), image.get_height()) if image else "image none"))
        elif line == "paste":
            clipboard.request_text(lambda _c, text: say("clipboard " + hexed(text or "")))
        return True

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, command)
    window.fullscreen()
    window.show_all()
    entry.grab_focus()
    Gtk.main()


if __name__ == "__main__":
    main()
