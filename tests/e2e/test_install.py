"""The README's own commands for installing into one's OBS by hand and for
uninstalling, run as they stand: a fresh build from a copy of the source
tree, installed into a private home; Debian's OBS then loads the plug-in from
the per-user folder, links and closes cleanly. After the uninstall commands
OBS starts without it."""

import os
import shutil
import subprocess
import tempfile
import unittest

from . import support
from .support import obs_session as obs

BUILD_TIMEOUT = 1200


def source_copy(folder):
    """The source tree as a user has it after cloning: everything tracked,
    no build folder."""
    files = subprocess.run(
        ["git", "-C", support.REPO, "ls-files", "-z"], check=True, capture_output=True
    ).stdout.decode().split("\0")
    for name in filter(None, files):
        target = os.path.join(folder, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(os.path.join(support.REPO, name), target)


@support.only_in_machine_obs
class InstallByHand(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        support.require_private_network()
        cls.work = tempfile.mkdtemp(prefix="tessil-install-")
        cls.addClassCleanup(shutil.rmtree, cls.work, ignore_errors=True)
        cls.source = os.path.join(cls.work, "tessil-link")
        source_copy(cls.source)

        cls.session = obs.ObsSession()  # no plug-in folder of the tests
        cls.addClassCleanup(cls.session.close)
        cls.session.prepare()
        cls.env = dict(os.environ, HOME=cls.session.home)
        cls.env.pop("XDG_CONFIG_HOME", None)

        cls.installed = cls.run_lines(support.readme_block("By hand"), cls.source)
        # A failed build would otherwise show only as OBS not loading it.
        failed = [(line, stderr) for line, code, stderr in cls.installed if code != 0]
        if failed:
            raise AssertionError("install command failed: %s\n%s" % failed[0])
        cls.plugin_folder = os.path.join(cls.session.home, ".config", "obs-studio", "plugins", "tessil-link")
        cls.files = sorted(
            os.path.relpath(os.path.join(folder, name), cls.plugin_folder)
            for folder, _, names in os.walk(cls.plugin_folder)
            for name in names
        )

        cls.session.start()
        try:
            cls.session.wait_for_log(support.LISTENING)
            with support.linked_client(cls.session) as client:
                cls.status = client.request("status")
        finally:
            cls.session.stop()
        cls.installed_log = cls.session.log_text()
        cls.installed_leaks = cls.session.leak_count()
        cls.installed_forced = cls.session.forced

        cls.uninstalled = cls.run_lines(support.readme_block("## Uninstalling"), cls.session.home)
        cls.session.start()
        cls.session.stop()
        cls.uninstalled_log = cls.session.log_text()

    @classmethod
    def run_lines(cls, lines, folder):
        results = []
        for line in lines:
            result = subprocess.run(
                ["bash", "-c", line],
                cwd=folder,
                env=cls.env,
                stdin=subprocess.DEVNULL,
                capture_output=True,
                timeout=BUILD_TIMEOUT,
            )
            results.append((line, result.returncode, result.stderr.decode(errors="replace")[-2000:]))
        return results

    def test_install_commands_succeed(self):
        for line, code, stderr in self.installed:
            with self.subTest(line):
                self.assertEqual(code, 0, stderr)

    def test_plugin_folder_layout(self):
        self.assertIn(os.path.join("bin", "64bit", "tessil-link.so"), self.files)
        for locale in ("en-US", "de-DE", "fr-FR", "es-ES"):
            self.assertIn(os.path.join("data", "locale", locale + ".ini"), self.files)

    def test_obs_loads_the_installed_plugin_and_links(self):
        self.assertIn("[tessil-link] Tessil Link loaded (version 0.1.0)", self.installed_log)
        self.assertTrue(self.status["ok"], self.status)

    def test_obs_closes_cleanly(self):
        self.assertIsNone(self.installed_forced, "OBS had to be killed")
        self.assertIn(support.UNLOADED, self.installed_log)
        self.assertEqual(self.installed_leaks, 0)

    def test_uninstall_removes_plugin_settings_and_token(self):
        for line, code, stderr in self.uninstalled:
            with self.subTest(line):
                self.assertEqual(code, 0, stderr)
        self.assertFalse(os.path.exists(self.plugin_folder))
        self.assertFalse(os.path.exists(self.session.plugin_config_dir))
        self.assertFalse(os.path.exists(self.session.token_path))

    def test_obs_starts_without_the_plugin_after_uninstalling(self):
        self.assertIn(obs.SHUTTING_DOWN, self.uninstalled_log)
        self.assertNotIn("[tessil-link]", self.uninstalled_log)
        self.assertEqual(self.session.leak_count(), 0)


if __name__ == "__main__":
    unittest.main()
