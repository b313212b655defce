"""What the end-to-end tests share: the plug-in under test and OBS sessions.

TESSIL_PLUGIN_DIR names the built plug-in folder
(<dir>/bin/64bit/tessil-link.so, <dir>/data/locale/en-US.ini); without it the
Qt 5 build's folder, build/qt5/plugin/tessil-link, is used.
"""

import os
import re
import socket
import sys
import unittest

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(REPO, "scripts"))

import obs_session  # noqa: E402  (needs the path above)

LINK_ADDRESS = ("127.0.0.1", obs_session.LINK_PORT)
LOADED = re.escape("[tessil-link] Tessil Link loaded (version 0.1.0)")
LISTENING = re.escape("[tessil-link] waiting for Tessil on ws://127.0.0.1:47841")
UNLOADED = "[tessil-link] Tessil Link unloaded"
TOKEN_ALPHABET = "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnpqrstuvwxyz23456789"


def plugin_dir():
    path = os.path.abspath(
        os.environ.get("TESSIL_PLUGIN_DIR") or os.path.join(REPO, "build", "qt5", "plugin", "tessil-link")
    )
    library = os.path.join(path, "bin", "64bit", "tessil-link.so")
    if not os.path.isfile(library):
        raise RuntimeError("no built plug-in at %s (set TESSIL_PLUGIN_DIR)" % library)
    return path


def require_private_network():
    """The tests bind fixed ports and start OBS, which reaches for the
    internet at load: they run only where loopback is the sole interface."""
    interfaces = sorted(name for _, name in socket.if_nameindex())
    if interfaces != ["lo"]:
        raise RuntimeError(
            "network interfaces %s besides lo: run the end-to-end tests through "
            "scripts/in-netns.sh" % ", ".join(i for i in interfaces if i != "lo")
        )


def plugin_session(**options):
    """An ObsSession with the plug-in under test installed (not started)."""
    require_private_network()
    return obs_session.ObsSession(plugin_dir=plugin_dir(), **options)


def check_clean_stop(session):
    """After stop(): OBS closed by itself, the plug-in unloaded, no leaks."""
    problems = []
    if session.forced:
        problems.append("OBS had to be killed (%s)" % session.forced)
    if UNLOADED not in session.log_text():
        problems.append("no %r in the log" % UNLOADED)
    if session.leak_count() != 0:
        problems.append("memory leaks: %s" % session.leak_count())
    if problems:
        raise AssertionError("; ".join(problems) + "\n" + session.log_tail())


class PluginTestCase(unittest.TestCase):
    """One OBS with the plug-in for all tests of the class, listening before
    the first test. Closing it at the end is checked with check_clean_stop.
    Options for ObsSession go in session_options; listening is the log
    line (a regular expression) awaited before the tests."""

    session_options = {}
    listening = LISTENING

    @classmethod
    def setUpClass(cls):
        cls.session = plugin_session(**cls.session_options)
        cls.addClassCleanup(cls.session.close)
        cls.session.start()
        cls.session.wait_for_log(cls.listening)

    @classmethod
    def tearDownClass(cls):
        cls.session.stop()
        check_clean_stop(cls.session)
