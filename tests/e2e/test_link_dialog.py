"""The Link dialog in real OBS, driven like a user at the keyboard: the Tools
menu entry opens it over the main window, Escape closes it without saving,
and Save with LAN access switched on restarts the link. Debian's OBS has no
browser module, so the log says once that the dock is unavailable.

With TESSIL_SCREENSHOT_DIR set, the open dialog is saved there as
link-dialog.png (docs/images/link-dialog.png comes from this test).
"""

import os
import re
import struct
import time
import unittest
import zlib

from . import support

from Xlib import X, XK  # noqa: E402  (support puts scripts/ on the path first)
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

    def save_png(self, path, window, margin=48):
        """The window and some of what is around it."""
        root = self.display.screen().root
        screen = root.get_geometry()
        box = self.box(window)
        left, top = max(0, box[0] - margin), max(0, box[1] - margin)
        right, bottom = min(screen.width, box[2] + margin), min(screen.height, box[3] + margin)
        width, height = right - left, bottom - top
        image = root.get_image(left, top, width, height, X.ZPixmap, 0xFFFFFFFF)
        rows = []
        stride = width * 4
        for y in range(height):
            bgrx = image.data[y * stride : (y + 1) * stride]
            rgb = bytearray(width * 3)
            rgb[0::3], rgb[1::3], rgb[2::3] = bgrx[2::4], bgrx[1::4], bgrx[0::4]
            rows.append(bytes(rgb))
        write_png(path, width, height, rows)


class DialogSession(support.PluginTestCase):
    """OBS with the plug-in on a 1080p screen of its own."""

    session_options = {}

    @classmethod
    def setUpClass(cls):
        xvfb = obs_session.Xvfb(size=SCREEN)
        cls.addClassCleanup(xvfb.stop)
        cls.session_options = dict(cls.session_options, display=xvfb.display)
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
        folder = os.environ.get("TESSIL_SCREENSHOT_DIR")
        if folder:
            os.makedirs(folder, exist_ok=True)
            self.screen.save_png(os.path.join(folder, "link-dialog.png"), dialog)

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
