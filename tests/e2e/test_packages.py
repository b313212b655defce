"""The packages of scripts/package.sh, installed as a streamer installs them.

The .deb: its name, control fields, files and lintian; installed with
apt-get, Debian's OBS loads the plug-in from the system folder and a client
links, tessil-linkctl included; apt-get remove takes every file it installed
away and leaves the user's settings and token; OBS then starts without it.
The package is removed again on every path.

The .tar.xz: its files and the functions its module imports; unpacked into
a private home with the README's commands, OBS 30.2.3 and OBS 32.2.2 each
load it and a client links; the README's uninstall commands remove it.

Run by scripts/test.sh after scripts/package.sh, with TESSIL_PACKAGES_DIR
naming the folder of the packages (dist/); skipped without it."""

import glob
import hashlib
import json
import os
import re
import shutil
import subprocess
import tarfile
import tempfile
import unittest

from . import support
from .support import obs_session as obs

PACKAGES_DIR = os.environ.get("TESSIL_PACKAGES_DIR")
COMMAND_TIMEOUT = 600
HOSTS = ("30.2.3", "32.2.2")
# Gone from OBS 32's libobs: a module that imports one cannot load there.
REMOVED_IN_OBS32 = ("obs_sceneitem_get_info", "obs_sceneitem_set_info", "obs_frontend_add_dock")


def project_version():
    with open(os.path.join(support.REPO, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"project\(tessil-link VERSION (\S+)", f.read()).group(1)


VERSION = project_version()


def run(args, **options):
    return subprocess.run(args, capture_output=True, text=True, timeout=COMMAND_TIMEOUT, **options)


def skip_or_fail(message):
    """Skips, but fails under CI, which must run every part."""
    if os.environ.get("CI"):
        raise AssertionError(message)
    raise unittest.SkipTest(message)


def data_files():
    """The plug-in's data files, relative to its data folder."""
    folder = os.path.join(support.REPO, "data")
    found = {"manifest.json"}
    for parent, _, names in os.walk(folder):
        found.update(os.path.relpath(os.path.join(parent, name), folder) for name in names)
    return found


def loaded_module_paths(pid):
    """The tessil-link.so files mapped into a process."""
    with open("/proc/%d/maps" % pid) as f:
        return {line.split()[-1] for line in f if line.rstrip().endswith("/tessil-link.so")}


def versions_seen(session, client):
    """The version as the log's "loaded" line and the link's hello give it."""
    loaded = re.search(r"\[tessil-link\] Tessil Link loaded \(version (\S+)\)", session.log_text())
    return {"log": loaded and loaded.group(1), "hello": client.hello.get("version")}


packages_needed = unittest.skipUnless(
    PACKAGES_DIR, "TESSIL_PACKAGES_DIR names no packages (scripts/package.sh, then scripts/test.sh)"
)


@packages_needed
class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        support.require_private_network()
        cls.multiarch = run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"], check=True).stdout.strip()
        cls.arch = run(["dpkg", "--print-architecture"], check=True).stdout.strip()
        cls.module = "/usr/lib/%s/obs-plugins/tessil-link.so" % cls.multiarch
        cls.data = "/usr/share/obs/obs-plugins/tessil-link"
        cls.doc = "/usr/share/doc/tessil-link"
        cls.check_machine()

        debs = glob.glob(os.path.join(PACKAGES_DIR, "tessil-link_*.deb"))
        if len(debs) != 1:
            raise AssertionError("not one .deb in %s: %s" % (PACKAGES_DIR, debs))
        cls.deb = debs[0]
        fields = run(["dpkg-deb", "-f", cls.deb], check=True).stdout
        cls.fields = dict(re.findall(r"^(\S+): (.*)$", fields, re.M))
        listing = run(["dpkg-deb", "-c", cls.deb], check=True).stdout.splitlines()
        cls.contents = {line.split()[-1].lstrip(".") for line in listing if not line.startswith("d")}
        cls.lintian = run(["lintian", "--fail-on", "error", cls.deb])

        cls.addClassCleanup(cls.remove_package)
        cls.installed = cls.apt("install", "./" + os.path.basename(cls.deb))
        if cls.installed.returncode != 0:
            raise AssertionError("apt-get install failed:\n" + cls.installed.stdout + cls.installed.stderr)
        cls.installed_paths = run(["dpkg", "-L", "tessil-link"], check=True).stdout.split()
        with open(os.path.join(cls.data, "manifest.json"), encoding="utf-8") as f:
            cls.manifest = json.load(f)

        cls.session = obs.ObsSession(host=obs.ObsHost("/usr/bin/obs"))  # no plug-in folder
        cls.addClassCleanup(cls.session.close)
        cls.session.start()
        try:
            cls.session.wait_for_log(support.LISTENING)
            cls.mapped = loaded_module_paths(cls.session.pid)
            with support.linked_client(cls.session) as client:
                cls.status = client.request("status")
                cls.versions = versions_seen(cls.session, client)
            env = dict(os.environ, HOME=cls.session.home, XDG_CONFIG_HOME=cls.session.config_home)
            cls.linkctl_status = run(["/usr/bin/tessil-linkctl", "status"], env=env)
            cls.linkctl_version = run(["/usr/bin/tessil-linkctl", "--version"], env=env)
        finally:
            cls.session.stop()
        cls.stop_problems = cls.clean_stop_problems()
        cls.user_files = {path: cls.digest(path) for path in (cls.session.plugin_config_path, cls.session.token_path)}

        cls.removed = cls.apt("remove", "tessil-link")
        cls.left_behind = [path for path in cls.installed_paths if os.path.isfile(path)]
        cls.folders_left = [path for path in (cls.data, cls.doc) if os.path.exists(path)]
        cls.user_files_after = {path: cls.digest(path) for path in cls.user_files}
        cls.session.start()
        cls.session.stop()
        cls.removed_log = cls.session.log_text()

    @classmethod
    def check_machine(cls):
        """Skips where a tessil-link is installed already: it is neither
        overwritten nor mistaken for the package's."""
        if not os.access("/var/lib/dpkg", os.W_OK):
            skip_or_fail("installing a package needs root")
        state = run(["dpkg-query", "-W", "-f", "${db:Status-Status}", "tessil-link"]).stdout
        if state and state != "not-installed":
            skip_or_fail("a tessil-link package is on this machine already (%s): remove it to test the package" % state)
        for path in (cls.module, cls.data, "/usr/bin/tessil-linkctl"):
            if os.path.lexists(path):
                skip_or_fail("%s is on this machine and no package installed it: the test does not overwrite it" % path)

    @classmethod
    def apt(cls, *args):
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        return run(
            ["apt-get", "-y", "-o", "DPkg::Lock::Timeout=300"] + list(args), cwd=os.path.dirname(cls.deb), env=env
        )

    @classmethod
    def remove_package(cls):
        state = run(["dpkg-query", "-W", "-f", "${db:Status-Status}", "tessil-link"]).stdout
        if state and state != "not-installed":
            if cls.apt("remove", "tessil-link").returncode != 0:
                run(["dpkg", "--purge", "tessil-link"])

    @classmethod
    def clean_stop_problems(cls):
        try:
            support.check_clean_stop(cls.session)
        except AssertionError as error:
            return str(error)
        return None

    @staticmethod
    def digest(path):
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()

    def test_name_and_control_fields(self):
        self.assertEqual(os.path.basename(self.deb), "tessil-link_%s_%s.deb" % (VERSION, self.arch))
        self.assertEqual(self.fields["Package"], "tessil-link")
        self.assertEqual(self.fields["Version"], VERSION)
        self.assertEqual(self.fields["Architecture"], self.arch)
        self.assertRegex(self.fields["Maintainer"], r"^[^<>]+ <[^<>@]+@[^<>@]+>$")
        self.assertTrue(self.fields["Description"].strip())
        depends = [item.strip() for item in self.fields["Depends"].split(",")]
        self.assertIn("obs-studio (>= 29)", depends)
        self.assertIn("obs-studio (<< 30)", depends)
        # From the binaries (dpkg-shlibdeps): libobs and Qt 5.
        self.assertTrue(any(item.startswith("libobs0 ") for item in depends), depends)
        self.assertTrue(any(item.startswith("libqt5core5a ") for item in depends), depends)

    def test_files_in_the_system_layout(self):
        expected = {
            self.module,
            "/usr/bin/tessil-linkctl",
            "/usr/share/man/man1/tessil-linkctl.1.gz",
            self.doc + "/copyright",
            self.doc + "/changelog.gz",
        }
        expected.update(os.path.join(self.data, name) for name in data_files())
        self.assertEqual(self.contents, expected)

    def test_lintian_finds_no_errors(self):
        self.assertEqual(self.lintian.returncode, 0, self.lintian.stdout + self.lintian.stderr)

    def test_debian_obs_loads_it_from_the_system_folder_and_a_client_links(self):
        self.assertFalse(os.path.exists(self.session.plugins_dir))
        self.assertEqual(self.mapped, {self.module})
        self.assertTrue(self.status["ok"], self.status)
        self.assertIsNone(self.stop_problems)

    def test_installed_tessil_linkctl_links(self):
        self.assertEqual(self.linkctl_status.returncode, 0, self.linkctl_status.stderr)
        self.assertTrue(json.loads(self.linkctl_status.stdout)["ok"])

    def test_every_part_reports_the_project_version(self):
        self.assertEqual(self.manifest["version"], VERSION)
        self.assertEqual(self.versions, {"log": VERSION, "hello": VERSION})
        self.assertEqual(self.linkctl_version.stdout, "tessil-linkctl %s\n" % VERSION)

    def test_remove_takes_its_files_and_leaves_the_users_settings(self):
        self.assertEqual(self.removed.returncode, 0, self.removed.stdout + self.removed.stderr)
        self.assertEqual(self.left_behind, [])
        self.assertEqual(self.folders_left, [])
        self.assertEqual(self.user_files_after, self.user_files)

    def test_obs_starts_without_it_after_removal(self):
        self.assertIn(obs.SHUTTING_DOWN, self.removed_log)
        self.assertNotIn("[tessil-link]", self.removed_log)


@packages_needed
class PluginArchive(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        support.require_private_network()
        name = "tessil-link-%s-linux-x86_64.tar.xz" % VERSION
        cls.archive = os.path.join(PACKAGES_DIR, name)
        if not os.path.isfile(cls.archive):
            skip_or_fail("no %s in %s (scripts/package.sh makes it where the OBS 30.2.3 host is)" % (name, PACKAGES_DIR))
        with tarfile.open(cls.archive) as archive:
            cls.members = {member.name for member in archive.getmembers() if member.isfile()}
            work = tempfile.mkdtemp(prefix="tessil-archive-")
            cls.addClassCleanup(shutil.rmtree, work, ignore_errors=True)
            archive.extract("tessil-link/bin/64bit/tessil-link.so", work)
        module = os.path.join(work, "tessil-link", "bin", "64bit", "tessil-link.so")
        cls.undefined = set(run(["nm", "-D", "--undefined-only", "--format=just-symbols", module]).stdout.split())
        cls.dynamic = run(["readelf", "-d", module], check=True).stdout
        cls.runs = {}
        for version in HOSTS:
            binary = "/opt/obs-%s/bin/obs" % version
            if os.access(binary, os.X_OK):
                cls.runs[version] = cls.run_in(binary)
            elif os.environ.get("CI"):
                raise AssertionError("no OBS host at %s" % binary)

    @classmethod
    def run_in(cls, binary):
        """Unpacks the archive into a private home with the README's
        commands, runs this OBS with it, and removes it again with the
        README's commands: what was seen."""
        session = obs.ObsSession(host=obs.ObsHost(binary))
        cls.addClassCleanup(session.close)
        session.prepare()
        seen = {"install": cls.readme_lines("### OBS 30.1 and newer", session)}
        installed = os.path.join(session.plugins_dir, "tessil-link")
        seen["module"] = os.path.join(installed, "bin", "64bit", "tessil-link.so")
        session.start()
        try:
            session.wait_for_log(support.LISTENING)
            seen["mapped"] = loaded_module_paths(session.pid)
            with support.linked_client(session) as client:
                seen["status"] = client.request("status")
                seen["versions"] = versions_seen(session, client)
        finally:
            session.stop()
        try:
            support.check_clean_stop(session)
            seen["stop"] = None
        except AssertionError as error:
            seen["stop"] = str(error)
        seen["uninstall"] = cls.readme_lines("## Uninstalling", session)
        seen["left"] = os.path.exists(installed)
        session.start()
        session.stop()
        seen["after"] = session.log_text()
        return seen

    @staticmethod
    def readme_lines(after, session):
        """Runs the README's command block after `after` in the session's
        home, from the folder of the packages; returns the failures."""
        env = dict(os.environ, HOME=session.home)
        env.pop("XDG_CONFIG_HOME", None)
        failures = []
        for line in support.readme_block(after):
            result = run(["bash", "-c", line], cwd=PACKAGES_DIR, env=env, stdin=subprocess.DEVNULL)
            if result.returncode != 0:
                failures.append("%s: %s" % (line, result.stderr))
        return failures

    def host_run(self, version):
        if version not in self.runs:
            self.skipTest("no OBS %s host (../shared/hosts/install-obs-host.sh %s)" % (version, version))
        return self.runs[version]

    def test_files_of_the_plugin_folder(self):
        expected = {"tessil-link/bin/64bit/tessil-link.so"}
        expected.update("tessil-link/data/" + name for name in data_files())
        self.assertEqual(self.members, expected)

    def test_module_imports_nothing_obs32_removed(self):
        self.assertIn("obs_sceneitem_set_info2", self.undefined)
        self.assertIn("obs_frontend_add_dock_by_id", self.undefined)
        self.assertEqual(self.undefined & set(REMOVED_IN_OBS32), set())

    def test_module_is_a_qt6_build_with_no_build_paths(self):
        self.assertIn("[libQt6Core.so.6]", self.dynamic)
        self.assertNotIn("libQt5", self.dynamic)
        self.assertNotRegex(self.dynamic, r"R(UN)?PATH")

    def test_obs_30_and_32_load_it_and_a_client_links(self):
        for version in HOSTS:
            with self.subTest(obs=version):
                seen = self.host_run(version)
                self.assertEqual(seen["install"], [])
                self.assertEqual(seen["mapped"], {seen["module"]})
                self.assertTrue(seen["status"]["ok"], seen["status"])
                self.assertEqual(seen["versions"], {"log": VERSION, "hello": VERSION})
                self.assertIsNone(seen["stop"])

    def test_removing_the_folder_removes_it(self):
        for version in HOSTS:
            with self.subTest(obs=version):
                seen = self.host_run(version)
                self.assertEqual(seen["uninstall"], [])
                self.assertFalse(seen["left"])
                self.assertIn(obs.SHUTTING_DOWN, seen["after"])
                self.assertNotIn("[tessil-link]", seen["after"])


if __name__ == "__main__":
    unittest.main()
