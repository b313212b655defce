"""The harness's telling of what OBS does at exit from what the plug-in
does: OBS 32's own exit leak and front-end error lines, on log excerpts
shaped as OBS 30.2.3 and 32.2.2 write them."""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

import obs_session  # noqa: E402  (needs the path above)
from tests.e2e import support  # noqa: E402

LOADED = """info: Switched to scene 'Scene'
info: ------------------------------------------------
info: Loaded scenes:
info: - scene 'Scene':
info:     - source: 'Colour' (color_source_v3)
info:     - source: 'Own' (color_source_v3)
info: - scene 'Scene 2':
info: - scene 'Scene 3':
info:     - source: 'Badge' (color_source_v3)
info:     - source: 'Colour' (color_source_v3)
info: ------------------------------------------------
info: ==== Shutting down ==================================================
debug: source 'Scene' destroyed
"""


def exit_log(cleared, not_cleared, freed_last):
    """A log in which OBS's clearing freed `cleared`, named `not_cleared`
    as left, and libobs freed `freed_last` after "Freeing OBS context
    data"."""
    lines = [LOADED.rstrip("\n")]
    lines += ["debug: source '%s' destroyed" % name for name in cleared]
    if not_cleared:
        lines += ["error: Not all sources were cleared when clearing scene data:", ""]
        lines += ["- %s" % name for name in not_cleared] + [""]
    else:
        lines.append("info: All scene data cleared")
    lines.append("info: Freeing OBS context data")
    lines += ["debug: source '%s' destroyed" % name for name in freed_last]
    return "\n".join(lines) + "\n"


class ObsExitLeak(unittest.TestCase):
    def test_cases(self):
        every_scene = ["Scene 2", "Scene 3", "Colour", "Own", "Badge"]
        cases = [
            # (what, cleared, not cleared, freed last, leaks, exit code, expected)
            ("no leak at all", every_scene, [], [], 0, 0, None),
            ("an empty scene skipped", ["Colour", "Own", "Scene 3", "Badge"], [], ["Scene 2"], 4, 0, ["Scene 2"]),
            ("freed by its canvas, no count of sources left", ["Colour", "Scene 3", "Badge"], [], ["Scene 2"], 3, 0,
             ["Scene 2"]),
            ("a scene with items skipped", ["Scene 2"], ["Badge"], ["Scene 3", "Badge", "Colour"], 6, 0, ["Scene 3"]),
            ("OBS crashed freeing them", ["Scene 2"], ["Badge"], ["Badge"], None, -11, ["Scene 3"]),
            ("a renamed input of the skipped scene", ["Scene 2", "Own"], ["Badge (renamed)"],
             ["Scene 3", "Badge (renamed)", "Colour"], 6, 0, ["Scene 3"]),
            ("every scene cleared, a source left", every_scene, [], ["Tessil · Overlay"], 1, 0, None),
            ("a source only cleared scenes held, freed last", ["Colour", "Scene 3", "Badge"], [], ["Scene 2", "Own"], 5,
             0, None),
            ("a source only cleared scenes held, not cleared", ["Colour", "Scene 3", "Badge"], ["Own"], ["Scene 2"], 5,
             0, None),
            ("a cleared scene freed last", ["Colour", "Own", "Scene 3", "Badge"], [], ["Scene 2", "Scene"], 8, 0, None),
            ("a crash with every scene cleared", every_scene, [], [], None, -11, None),
            ("a leak count and a non-zero exit", ["Colour", "Scene 3", "Badge"], [], ["Scene 2"], 4, 1, None),
            ("no count and a clean exit", ["Colour", "Scene 3", "Badge"], [], ["Scene 2"], None, 0, None),
        ]
        for what, cleared, not_cleared, freed, leaks, exit_code, expected in cases:
            with self.subTest(what):
                log = exit_log(cleared, not_cleared, freed)
                self.assertEqual(obs_session.obs_exit_leak(log, leaks, exit_code), expected)

    def test_a_log_without_debug_lines_is_not_explained(self):
        log = LOADED.replace("debug: source 'Scene' destroyed\n", "") + "info: Freeing OBS context data\n"
        self.assertIsNone(obs_session.obs_exit_leak(log, 4))


class Host:
    def __init__(self, version):
        self.version = version

    frontend_errors_before_unload = obs_session.ObsHost.frontend_errors_before_unload


TRIED = "error: Tried to call obs_frontend_remove_event_callback with no callbacks!"
SENTINEL = "error: No crash sentinel location set for crash handler"
WEBSOCKET = "info: [obs-websocket] [obs_module_unload] Shutting down..."


class FrontendErrorsAtExit(unittest.TestCase):
    def test_cases(self):
        cases = [
            # (host, lines around the unload, errors that are the plug-in's)
            ((30, 2, 3), [WEBSOCKET, TRIED], 0),
            ((30, 2, 3), [TRIED, support.UNLOADED, WEBSOCKET, TRIED], 1),
            ((32, 2, 2), [SENTINEL, TRIED, support.UNLOADED, WEBSOCKET, TRIED], 0),
            ((32, 2, 2), [SENTINEL, TRIED, TRIED, support.UNLOADED], 1),
        ]
        for version, lines, ours in cases:
            with self.subTest(version=version, lines=lines):
                found = support.frontend_errors_of_ours("\n".join(lines), Host(version))
                self.assertEqual(len(found), ours, found)


if __name__ == "__main__":
    unittest.main()
