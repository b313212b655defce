"""Loading and unloading the plug-in in real OBS: log lines, the listening
port, config.json and the token file, and the token across restarts."""

import json
import os
import re
import socket
import stat
import unittest

from . import support


class Run:
    """What one OBS start showed, gathered while OBS ran and after it closed."""

    def __init__(self, session):
        session.start()
        try:
            session.wait_for_log(support.LOADED)
            session.wait_for_log(support.LISTENING)
            self.connect_error = None
            try:
                socket.create_connection(support.LINK_ADDRESS, timeout=5).close()
            except OSError as error:
                self.connect_error = error
            self.files = {}
            for path in (session.plugin_config_path, session.token_path):
                with open(path, "rb") as f:
                    self.files[path] = (f.read(), stat.S_IMODE(os.fstat(f.fileno()).st_mode))
            self.config = json.loads(self.files[session.plugin_config_path][0])
            self.token_bytes = self.files[session.token_path][0]
        finally:
            session.stop()
        self.log = session.log_text()
        self.leaks = session.leaks_of_ours()
        self.forced = session.forced
        self.exit_code = session.exit_code


class LoadAndRestart(unittest.TestCase):
    """One private OBS configuration, started twice; the token file is
    deleted between the starts."""

    @classmethod
    def setUpClass(cls):
        session = support.plugin_session()
        cls.addClassCleanup(session.close)
        cls.session = session
        cls.first = Run(session)
        os.remove(session.token_path)
        cls.second = Run(session)
        cls.runs = {"first start": cls.first, "second start": cls.second}

    def test_logs_load_listen_and_unload(self):
        for name, run in self.runs.items():
            with self.subTest(name):
                for line in (
                    "[tessil-link] Tessil Link loaded (version 0.1.0)",
                    "[tessil-link] waiting for Tessil on ws://127.0.0.1:47841",
                    support.UNLOADED,
                ):
                    self.assertIn(line, run.log)
                self.assertLess(run.log.index(support.UNLOADED), run.log.index("Number of memory leaks"))

    def test_closes_cleanly_without_leaks(self):
        for name, run in self.runs.items():
            with self.subTest(name):
                self.assertIsNone(run.forced, "OBS had to be killed")
                self.assertEqual(run.exit_code, 0)
                self.assertEqual(run.leaks, 0)

    def test_link_port_accepts_connections(self):
        for name, run in self.runs.items():
            with self.subTest(name):
                self.assertIsNone(run.connect_error)

    def test_first_start_writes_defaults_and_new_token(self):
        token = self.first.config["token"]
        self.assertEqual(len(token), 28)
        self.assertTrue(set(token) <= set(support.TOKEN_ALPHABET), token)
        expected = {
            "token": token,
            "port": 47841,
            "allowLan": False,
            "dockShown": False,
            "appUrl": "http://127.0.0.1:47840",
            "povSources": [],
        }
        self.assertEqual(self.first.config, expected)

    def test_token_file_holds_the_token_alone(self):
        for name, run in self.runs.items():
            with self.subTest(name):
                # No byte-order mark, no line end: exactly the token's bytes.
                self.assertEqual(run.token_bytes, run.config["token"].encode("utf-8"))

    def test_files_are_private(self):
        for name, run in self.runs.items():
            for path, (_, mode) in run.files.items():
                with self.subTest(name, file=os.path.basename(path)):
                    self.assertEqual(oct(mode), oct(0o600))

    def test_second_start_keeps_token_and_rewrites_token_file(self):
        self.assertEqual(self.second.config["token"], self.first.config["token"])
        self.assertEqual(self.second.token_bytes, self.first.token_bytes)


class HandMadeToken(support.PluginTestCase):
    """A token edited by hand in config.json is used and written as it is."""

    session_options = {"plugin_config": {"token": "hand-made"}}

    def test_token_kept_and_written_to_token_file(self):
        self.assertEqual(self.session.plugin_config()["token"], "hand-made")
        with open(self.session.token_path, "rb") as f:
            self.assertEqual(f.read(), b"hand-made")


class PortFromConfig(support.PluginTestCase):
    """A config.json holding only a port: that port, and a new token saved."""

    # Below the system's ephemeral ports (32768-60999): the suite's own
    # client connections take their local ports from there, and one still
    # in TIME_WAIT on the configured port would make OBS's listen fail.
    PORT = 27850
    session_options = {"plugin_config": {"port": PORT}}
    listening = re.escape("[tessil-link] waiting for Tessil on ws://127.0.0.1:%d" % PORT)

    def test_listens_on_configured_port(self):
        socket.create_connection(("127.0.0.1", self.PORT), timeout=5).close()
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(support.LINK_ADDRESS, timeout=5).close()

    def test_new_token_saved_with_port(self):
        config = self.session.plugin_config()
        self.assertEqual(config["port"], self.PORT)
        self.assertEqual(len(config["token"]), 28)
        self.assertEqual(self.session.token(), config["token"])


if __name__ == "__main__":
    unittest.main()
