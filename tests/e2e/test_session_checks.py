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
info: - scene 'Scene 2':
info: ------------------------------------------------
info: ==== Shutting down ==================================================
debug: source 'Scene' destroyed
debug: source 'Colour' destroyed
info: All scene data cleared
"""


def exit_log(freed_last, remaining):
    lines = [LOADED, "info: Freeing OBS context data"]
    lines += ["debug: source '%s' destroyed" % name for name in freed_last]
    lines.insert(2, "info: \t%d source(s) were remaining" % remaining)
    return "\n".join(lines) + "\n"


class ObsExitLeak(unittest.TestCase):
    def test_cases(self):
        cases = [
            # (what, sources freed last, "were remaining", leaks, expected)
            ("an empty scene of the collection", ["Scene 2"], 1, 4, ["Scene 2"]),
            ("no leak at all", [], 0, 0, None),
            ("a scene with items", ["Scene"], 1, 4, None),
            ("a source that is not a scene of the collection", ["Tessil · Overlay"], 1, 4, None),
            ("more leaks than the scene's", ["Scene 2"], 1, 5, None),
            ("more sources remaining than freed", ["Scene 2"], 2, 4, None),
        ]
        for what, freed, remaining, leaks, expected in cases:
            with self.subTest(what):
                self.assertEqual(obs_session.obs_exit_leak(exit_log(freed, remaining), leaks), expected)

    def test_a_log_without_debug_lines_is_not_explained(self):
        log = LOADED + "info: Freeing OBS context data\ninfo: \t1 source(s) were remaining\n"
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
