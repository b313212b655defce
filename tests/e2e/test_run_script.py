"""The README's first command, scripts/run.sh, as CI and a user without a
desktop run it: it builds (nothing to do after the suite's own build),
starts OBS headless with a private configuration, serves the link until the
given time is up, then closes OBS and reports a clean exit."""

import os
import re
import select
import subprocess
import time
import unittest

from . import support

SECONDS = 10
TIMEOUT = 600  # a build from scratch included


@support.only_in_machine_obs
class RunScript(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        support.require_private_network()
        env = {key: value for key, value in os.environ.items() if key != "DISPLAY"}
        env["CI"] = "1"
        cls.process = subprocess.Popen(
            ["bash", "scripts/run.sh", "--seconds", str(SECONDS)],
            cwd=support.REPO,
            env=env,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
        )
        cls.addClassCleanup(cls.end)
        cls.lines = []
        cls.status = None
        cls.link_error = None
        if cls.read_until("Stopping in"):
            try:
                token = re.search(r"^Token: +(\S+)$", "\n".join(cls.lines), re.M).group(1)
                with support.LinkClient() as client:
                    ready = client.link(token)
                    cls.status = client.request("status") if ready.get("op") == "ready" else ready
            except Exception as error:  # reported by the tests
                cls.link_error = error
        cls.read_until(None)
        cls.exit_code = cls.process.wait(timeout=120)
        cls.output = "\n".join(cls.lines)

    @classmethod
    def read_until(cls, marker):
        """Collects output lines until one starts with marker (None: until
        the end); False when the output ended first."""
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            readable, _, _ = select.select([cls.process.stdout], [], [], 1.0)
            if not readable:
                continue
            line = cls.process.stdout.readline()
            if not line:
                return False
            cls.lines.append(line.decode(errors="replace").rstrip("\n"))
            if marker is not None and cls.lines[-1].startswith(marker):
                return True
        return False

    @classmethod
    def end(cls):
        # SIGTERM makes the script close OBS the way a user does.
        support.obs_session.end_process(cls.process, grace=60)
        cls.process.stdout.close()

    def test_serves_the_link_on_loopback(self):
        self.assertIn("Tessil Link: ws://127.0.0.1:47841", self.output)
        self.assertIsNone(self.link_error)
        self.assertIsNotNone(self.status, self.output)
        self.assertTrue(self.status.get("ok"), self.status)

    def test_stops_by_itself_and_reports_a_clean_exit(self):
        self.assertEqual(self.exit_code, 0, self.output)
        self.assertIn("Number of memory leaks: 0 (clean)", self.output)
        self.assertIn("OBS exit code: 0", self.output)


if __name__ == "__main__":
    unittest.main()
