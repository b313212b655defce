"""The Link dialog in real OBS, driven like a user at the keyboard: the Tools
menu entry opens it over the main window, Escape closes it without saving,
and Save with LAN access switched on restarts the link. Debian's OBS has no
browser module, so the log says once that the dock is unavailable.

On a laptop's 1280x720 screen, and on a 1920x1080 screen with Qt's scale
factor at 1.5, the dialog with a long list of sources fits the screen, as
opened and at its minimum size, with its button row clear of the list.

With TESSIL_SCREENSHOT_DIR set, the dialog's window is saved there:
link-dialog.png on a 1080p screen as it opens (docs/images/link-dialog.png
comes from this test), link-dialog-<screen>[-minimum].png on the small
screens.
"""

import contextlib
import os
import re
import struct
import time
import unittest
import zlib

from . import support

from Xlib import X, XK, Xutil  # noqa: E402  (support puts scripts/ on the path first)
from Xlib import display as xdisplay
from Xlib.ext import xtest

import obs_session  # noqa: E402

DIALOG_TITLE = "Tessil Link"
BROWSER_MISSING = (
    "[tessil-link] browser docks unavailable in this OBS build; open Tessil from Tools > Tessil Link"
)
# A 1080p screen: on a smaller one Qt caps a new window at two thirds of the
# screen height, which is less than the dialog asks for.
SCREEN = "1920x1080x24"
TIMEOUT = 10.0


def media_source(name):
    """A media source (ffmpeg_source) without a file: one of the POV kinds."""
    return {"id": "ffmpeg_source", "versioned_id": "ffmpeg_source", "name": name, "settings": {}}


def image_source(name):
    return {"id": "image_source", "versioned_id": "image_source", "name": name, "settings": {}}


def crowded_collection(count=40):
    """A squad's worth of media sources with long names: more than any
    screen shows at once in the dialog's list."""
    names = ["Team-mate %02d \u2014 squad POV capture with a long name" % (i + 1) for i in range(count)]
    items = [obs_session.scene_item(name, i + 1) for i, name in enumerate(names)]
    return obs_session.collection([obs_session.scene("Squad", items)], [media_source(name) for name in names])


def pov_collection():
    names = ["Sam (team-mate)", "Alex (team-mate)", "Replay clip"]
    items = [obs_session.scene_item(name, i + 1) for i, name in enumerate(names)]
    items.append(obs_session.scene_item("Logo", len(items) + 1))
    return obs_session.collection(
        [obs_session.scene("Gameplay", items), obs_session.scene("Starting soon")],
        [media_source(name) for name in names] + [image_source("Logo")],
    )


def wait_for(condition, timeout=TIMEOUT, what="condition"):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


@contextlib.contextmanager
def environment(**values):
    """Sets environment variables (those given as None are left alone) for
    the processes started meanwhile."""
    before = {name: os.environ.get(name) for name in values}
    os.environ.update({name: value for name, value in values.items() if value is not None})
    try:
        yield
    finally:
        for name, value in before.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


def write_png(path, width, height, rgb_rows):
    def chunk(tag, data):
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)  # 8-bit RGB
    pixels = zlib.compress(b"".join(b"\0" + row for row in rgb_rows), 9)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", pixels) + chunk(b"IEND", b""))


class Screen:
    """The X display OBS runs on, seen and typed on through XTEST."""

    def __init__(self, session):
        self.session = session
        self.display = xdisplay.Display(session.display)

    def close(self):
        self.display.close()

    def windows(self):
        pids = obs_session._process_tree(self.session.pid)
        return obs_session._windows_of(self.display, pids)

    def dialog(self):
        for window, title, viewable in self.windows():
            if title == DIALOG_TITLE and viewable:
                return window
        return None

    def main_window(self):
        return self.session.main_window(self.display)

    def key(self, name, modifiers=()):
        keycode = self.display.keysym_to_keycode
        held = [keycode(XK.string_to_keysym(m)) for m in modifiers]
        code = keycode(XK.string_to_keysym(name))
        for m in held:
            xtest.fake_input(self.display, X.KeyPress, m)
        xtest.fake_input(self.display, X.KeyPress, code)
        xtest.fake_input(self.display, X.KeyRelease, code)
        for m in reversed(held):
            xtest.fake_input(self.display, X.KeyRelease, m)
        self.display.sync()

    def focus(self, window):
        window.set_input_focus(X.RevertToParent, X.CurrentTime)
        self.display.sync()

    def open_dialog_from_tools_menu(self):
        """Alt+T opens Tools; the module's entry is the menu's last."""
        main = wait_for(self.main_window, what="OBS's main window")
        self.focus(main)
        time.sleep(0.3)
        self.key("t", ["Alt_L"])
        time.sleep(0.5)
        self.key("Up")
        self.key("Return")
        return wait_for(self.dialog, what="the Tessil Link window; windows: %r" % self.windows())

    def close_dialog(self, window):
        self.focus(window)
        self.key("Escape")
        wait_for(lambda: self.dialog() is None, what="the dialog to close")

    def box(self, window):
        """(left, top, right, bottom) of a window on the screen."""
        origin = window.translate_coords(self.display.screen().root, 0, 0)
        size = window.get_geometry()
        return (-origin.x, -origin.y, -origin.x + size.width, -origin.y + size.height)

    def screen_size(self):
        root = self.display.screen().root.get_geometry()
        return root.width, root.height

    def resize(self, window, width, height):
        """Resizes a window from outside, as a window manager does."""
        window.configure(width=width, height=height)
        self.display.sync()
        wait_for(
            lambda: (window.get_geometry().width, window.get_geometry().height) == (width, height),
            what="the window to take %dx%d" % (width, height),
        )

    def grab(self, window):
        """The window alone, as drawn, once its picture has settled: two
        grabs in a row alike."""
        previous = [None]

        def settled():
            geometry = window.get_geometry()
            image = window.get_image(0, 0, geometry.width, geometry.height, X.ZPixmap, 0xFFFFFFFF)
            current = Grab(geometry.width, geometry.height, image.data)
            same = previous[0] is not None and previous[0].rows == current.rows
            previous[0] = current
            return current if same else None

        def settled_after_a_pause():
            time.sleep(0.1)
            return settled()

        return wait_for(settled_after_a_pause, what="the window's picture to settle")


class Grab:
    """A window's picture as rows of RGB bytes (from the X server's BGRX)."""

    def __init__(self, width, height, bgrx):
        self.width, self.height = width, height
        stride = width * 4
        self.rows = []
        for y in range(height):
            row = bgrx[y * stride : (y + 1) * stride]
            rgb = bytearray(width * 3)
            rgb[0::3], rgb[1::3], rgb[2::3] = row[2::4], row[1::4], row[0::4]
            self.rows.append(bytes(rgb))

    def pixel(self, x, y):
        row = self.rows[y]
        return tuple(row[3 * x : 3 * x + 3])

    def plain_row(self, y, colour, tolerance=12):
        """Whether every pixel of row y is of colour, give or take."""
        row = self.rows[y]
        return all(
            abs(row[i] - colour[0]) <= tolerance
            and abs(row[i + 1] - colour[1]) <= tolerance
            and abs(row[i + 2] - colour[2]) <= tolerance
            for i in range(0, len(row), 3)
        )

    def bands_from_bottom(self):
        """The picture cut into horizontal bands, from the bottom up: runs of
        rows of the background alone (the colour of the bottom-left corner,
        the dialog's margin) and runs of rows with something drawn on them.
        A list of (plain, height)."""
        background = self.pixel(0, self.height - 1)
        bands = []
        for y in range(self.height - 1, -1, -1):
            plain = self.plain_row(y, background)
            if bands and bands[-1][0] == plain:
                bands[-1][1] += 1
            else:
                bands.append([plain, 1])
        return [tuple(band) for band in bands]

    def save_png(self, path):
        write_png(path, self.width, self.height, self.rows)


class DialogSession(support.PluginTestCase):
    """OBS with the plug-in on a screen of its own (1080p unless a class
    says otherwise), at Qt's scale factor when a class gives one."""

    session_options = {}
    screen_size = SCREEN
    scale = None

    @classmethod
    def setUpClass(cls):
        xvfb = obs_session.Xvfb(size=cls.screen_size)
        cls.addClassCleanup(xvfb.stop)
        cls.session_options = dict(cls.session_options, display=xvfb.display)
        # OBS takes its environment from this process's when it starts.
        with environment(QT_SCALE_FACTOR=cls.scale and str(cls.scale)):
            super().setUpClass()

    def setUp(self):
        self.screen = Screen(self.session)
        self.addCleanup(self.screen.close)

    def config_bytes(self):
        with open(self.session.plugin_config_path, "rb") as f:
            return f.read()

    def open_dialog(self):
        window = self.screen.open_dialog_from_tools_menu()
        # A failing test must not leave the modal dialog up: OBS would not
        # close behind it.
        self.addCleanup(lambda: self.screen.dialog() and self.screen.close_dialog(self.screen.dialog()))
        return window


class ToolsMenuEntry(DialogSession):
    session_options = {
        "collection": pov_collection(),
        "plugin_config": {"povSources": [{"name": "Sam (team-mate)"}]},
    }

    def test_opens_the_dialog_over_the_main_window(self):
        client = support.linked_client(self.session)  # the status line shows a link
        self.addCleanup(client.close)
        config_before = self.config_bytes()

        dialog = self.open_dialog()
        main = self.screen.main_window()
        transient_for = dialog.get_wm_transient_for()
        self.assertIsNotNone(transient_for, "the dialog has no parent window")
        self.assertEqual(transient_for.id, main.id)
        # Placed over the main window.
        dialog_box, main_box = self.screen.box(dialog), self.screen.box(main)
        self.assertTrue(
            main_box[0] <= dialog_box[0] and dialog_box[2] <= main_box[2] and main_box[1] <= dialog_box[1],
            "dialog at %r, main window at %r" % (dialog_box, main_box),
        )
        self.assertGreaterEqual(dialog_box[2] - dialog_box[0], 460)

        time.sleep(1.2)  # one status refresh, so the link shows
        save_screenshot(self.screen.grab(dialog), "link-dialog.png")

        self.screen.close_dialog(dialog)
        self.assertEqual(self.config_bytes(), config_before)

        # A second opening builds a new dialog.
        self.screen.close_dialog(self.open_dialog())
        self.assertEqual(self.config_bytes(), config_before)
        self.assertNotIn("Tessil disconnected", self.session.log_text())

    def test_logs_once_that_the_browser_dock_is_unavailable(self):
        self.session.wait_for_log(re.escape(BROWSER_MISSING))
        self.assertEqual(self.session.log_text().count(BROWSER_MISSING), 1)
        self.assertNotIn("Tessil dock ready", self.session.log_text())


def save_screenshot(grab, name):
    folder = os.environ.get("TESSIL_SCREENSHOT_DIR")
    if folder:
        os.makedirs(folder, exist_ok=True)
        grab.save_png(os.path.join(folder, name))


class SmallScreen(DialogSession):
    """A laptop's 1280x720 screen, and a list longer than it."""

    screen_size = "1280x720x24"
    session_options = {"collection": crowded_collection()}

    def test_the_dialog_fits_the_screen_and_lays_out_fully(self):
        scale = self.scale or 1
        dialog = self.open_dialog()
        screen_width, screen_height = self.screen.screen_size()

        # What the dialog asks of the window manager: never more than the
        # screen, and no narrower than its 460 pixels (so the scale is on).
        hints = dialog.get_wm_normal_hints()
        self.assertTrue(hints.flags & Xutil.PMaxSize, "no maximum size: %r" % hints)
        for asked, screen in (
            (hints.max_width, screen_width),
            (hints.max_height, screen_height),
            (hints.min_width, screen_width),
            (hints.min_height, screen_height),
        ):
            self.assertLessEqual(asked, screen, hints)
        self.assertGreaterEqual(hints.min_width, int(460 * scale))

        sizes = [("as opened", None), ("minimum", (hints.min_width, hints.min_height))]
        for what, size in sizes:
            with self.subTest(what):
                if size:
                    self.screen.resize(dialog, *size)
                box = self.screen.box(dialog)
                self.assertTrue(
                    0 <= box[0] and 0 <= box[1] and box[2] <= screen_width and box[3] <= screen_height,
                    "the dialog at %r leaves the %dx%d screen" % (box, screen_width, screen_height),
                )
                grab = self.screen.grab(dialog)
                save_screenshot(
                    grab,
                    "link-dialog-%s%s%s.png"
                    % (
                        self.screen_size.rsplit("x", 1)[0],
                        "-scale-%g" % scale if self.scale else "",
                        "-minimum" if size else "",
                    ),
                )
                # From the bottom up: the margin, the button row, the
                # spacing above it, then the list. A list running under
                # the buttons leaves no spacing: the band of the buttons
                # reaches up to the top of the list.
                bands = grab.bands_from_bottom()
                self.assertGreaterEqual(len(bands), 4, bands)
                (margin_plain, margin), (buttons_plain, buttons), (gap_plain, gap) = bands[:3]
                self.assertTrue(margin_plain and not buttons_plain and gap_plain, bands[:4])
                self.assertGreater(margin, 0)
                self.assertGreater(gap, 0)
                self.assertGreaterEqual(buttons, 16 * scale, "no button row: %r" % (bands[:4],))
                self.assertLessEqual(buttons, 60 * scale, "the button row runs into something: %r" % (bands[:4],))


class ScaledScreen(SmallScreen):
    """A 1080p screen at Qt's scale factor 1.5: 1280x720 as Qt lays out."""

    screen_size = "1920x1080x24"
    scale = 1.5


class SaveFromTheDialog(DialogSession):
    def test_allowing_lan_saves_and_restarts_the_link(self):
        client = support.linked_client(self.session)
        self.addCleanup(client.close)
        dialog = self.open_dialog()
        self.screen.focus(dialog)
        # The token field has the focus; Show and Copy come next, then the
        # LAN check box.
        for _ in range(3):
            self.screen.key("Tab")
        self.screen.key("space")
        self.screen.key("Return")  # Save, the dialog's default button
        wait_for(lambda: self.screen.dialog() is None, what="Save to close the dialog")

        self.session.wait_for_log(re.escape("[tessil-link] waiting for Tessil on ws://0.0.0.0:47841"))
        self.assertTrue(self.session.plugin_config()["allowLan"])
        client.until_closed()


if __name__ == "__main__":
    unittest.main()
