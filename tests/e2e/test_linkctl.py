"""tessil-linkctl against real OBS: it finds the token file of the OBS
session by itself, asks for the status and the scenes, switches scenes,
sends a raw command, reports a failing command, and prints events. The
example session of the README is run as it stands.

TESSIL_LINKCTL names the built tool; without it the Qt 5 build's
build/qt5/tools/linkctl/tessil-linkctl is used."""

import json
import os
import re
import select
import shlex
import subprocess
import time
import unittest

from . import support
from .support import obs_session as obs

RUN_TIMEOUT = 30
LINKED = re.escape("[tessil-link] Tessil 0.1.0 linked")

COLLECTION = obs.default_collection()
# A cut: one "scene.changed" per switch, a frame later.
COLLECTION["current_transition"] = "Cut"


def linkctl_path():
    path = os.path.abspath(
        os.environ.get("TESSIL_LINKCTL")
        or os.path.join(support.REPO, "build", "qt5", "tools", "linkctl", "tessil-linkctl")
    )
    if not os.access(path, os.X_OK):
        raise RuntimeError("no built tessil-linkctl at %s (set TESSIL_LINKCTL)" % path)
    return path


class LinkctlCase(support.PluginTestCase):
    """Runs the built tool against the class's OBS."""

    @classmethod
    def setUpClass(cls):
        cls.tool = linkctl_path()
        super().setUpClass()

    def run_tool(self, *arguments):
        """Runs the tool as OBS's user would (the session's HOME and
        XDG_CONFIG_HOME, no --url, no --token)."""
        return subprocess.run(
            [self.tool, *arguments],
            env=self.session.environment(),
            stdin=subprocess.DEVNULL,
            capture_output=True,
            timeout=RUN_TIMEOUT,
        )

    def reply(self, result, exit_code=0):
        """The one line of JSON the tool printed, after checking its exit
        code and that it printed nothing else."""
        self.assertEqual(result.returncode, exit_code, result.stderr.decode(errors="replace"))
        lines = result.stdout.decode().splitlines()
        self.assertEqual(len(lines), 1, result.stdout)
        return json.loads(lines[0])

    def link(self):
        client = support.linked_client(self.session)
        self.addCleanup(client.close)
        return client

    def current_scene(self):
        with support.linked_client(self.session) as client:
            return client.ready["scene"]

    def start_events(self, *options):
        """Starts "tessil-linkctl events" and returns it once it has linked."""
        linked_lines = len(re.findall(LINKED, self.session.log_text()))
        events = subprocess.Popen(
            [self.tool, "events", *options],
            env=self.session.environment(),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        self.addCleanup(self._end, events)
        deadline = time.monotonic() + RUN_TIMEOUT
        while len(re.findall(LINKED, self.session.log_text())) == linked_lines:
            if events.poll() is not None:
                self.fail("the tool ended before linking: %r" % events.stderr.read())
            if time.monotonic() > deadline:
                self.fail("the tool did not link")
            time.sleep(0.02)
        return events

    @staticmethod
    def _end(process):
        if process.poll() is None:
            process.kill()
        process.communicate()


class Linkctl(LinkctlCase):
    session_options = {"collection": COLLECTION}

    def test_status_uses_the_token_file_and_answers_the_snapshot(self):
        result = self.run_tool("status")
        reply = self.reply(result)
        self.assertEqual(result.stderr, b"")
        snapshot = self.link().request("status")["data"]
        self.assertEqual(reply, {"op": "res", "id": 1, "ok": True, "data": snapshot})
        # The tool linked with its own name and version.
        self.session.wait_for_log(LINKED)

    def test_raw_status_is_status(self):
        raw = self.reply(self.run_tool("raw", "status"))
        plain = self.reply(self.run_tool("status"))
        self.assertEqual(raw, plain)
        self.assertTrue(raw["ok"])

    def test_scenes_lists_the_collection(self):
        reply = self.reply(self.run_tool("scenes"))
        self.assertEqual(
            reply,
            {
                "op": "res",
                "id": 1,
                "ok": True,
                "data": {
                    "current": self.current_scene(),
                    "scenes": [{"name": "Scene", "items": ["Colour"]}, {"name": "Scene 2", "items": []}],
                },
            },
        )

    def test_scene_switches_and_obs_follows(self):
        before = self.current_scene()
        other = "Scene 2" if before == "Scene" else "Scene"
        client = self.link()
        client.wait_quiet()
        self.addCleanup(self.run_tool, "scene", before)

        reply = self.reply(self.run_tool("scene", other))
        self.assertEqual(reply, {"op": "res", "id": 1, "ok": True, "data": {"previous": before}})
        client.next_event("scene.changed", name=other)
        self.assertEqual(client.request("status")["data"]["scene"], other)

    def test_failing_scene_exits_with_one_and_the_error(self):
        before = self.current_scene()
        result = self.run_tool("scene", "Nope")
        reply = self.reply(result, exit_code=1)
        self.assertEqual(
            reply,
            {"op": "res", "id": 1, "ok": False, "error": "no scene named Nope", "data": {"previous": before}},
        )
        self.assertEqual(result.stderr, b"tessil-linkctl: no scene named Nope\n")
        self.assertEqual(self.current_scene(), before)

    def test_events_prints_a_scene_change(self):
        before = self.current_scene()
        other = "Scene 2" if before == "Scene" else "Scene"
        client = self.link()
        client.wait_quiet()
        self.addCleanup(self.run_tool, "scene", before)

        events = self.start_events("--count", "1")
        self.assertTrue(client.request("scene.set", {"name": other})["ok"])
        out, err = events.communicate(timeout=RUN_TIMEOUT)
        self.assertEqual(events.returncode, 0, err)
        lines = out.decode().splitlines()
        self.assertEqual([json.loads(line) for line in lines], [{"op": "event", "event": "scene.changed", "name": other}])




def readme_session():
    """The tessil-linkctl example session of the README, one argument list
    per line."""
    return [shlex.split(line) for line in support.readme_block("The same from a terminal")]


def hidden_feed(name, item_id):
    return obs.scene_item(name, item_id, visible=False, bounds_type=2, bounds={"x": 1280.0, "y": 720.0})


README_COLLECTION = obs.collection(
    [
        obs.scene("Starting Soon", [obs.scene_item("Own View", 1)]),
        obs.scene("Gameplay", [obs.scene_item("Own View", 1), hidden_feed("Mate 1", 2), hidden_feed("Mate 2", 3)]),
    ],
    [obs.color_source(name) for name in ("Own View", "Mate 1", "Mate 2")],
)
README_COLLECTION["current_transition"] = "Cut"


class ReadmeSession(LinkctlCase):
    """The README's example, in a collection like the one it assumes: a
    "Gameplay" scene with two team-mates' feeds as squad POV sources."""

    session_options = {
        "collection": README_COLLECTION,
        "plugin_config": {"povSources": [{"name": "Mate 1"}, {"name": "Mate 2"}]},
    }
    # What "status" shows once each command has had its effect.
    EFFECTS = {
        ("scene", "Gameplay"): ("scene", "Gameplay"),
        ("pov", "show"): ("povShown", True),
        ("pov", "hide"): ("povShown", False),
        ("dual", "show"): ("dualShown", True),
        ("dual", "hide"): ("dualShown", False),
    }

    def test_every_command_of_the_readme_session_works(self):
        session = readme_session()
        self.assertEqual({line[0] for line in session}, {"tessil-linkctl"})
        client = support.linked_client(self.session)
        self.addCleanup(client.close)
        for line in session:
            arguments = line[1:]
            with self.subTest(" ".join(line)):
                if arguments == ["events"]:
                    self.check_events(client)
                    continue
                reply = self.reply(self.run_tool(*arguments))
                self.assertTrue(reply["ok"], reply)
                effect = self.EFFECTS.get(tuple(arguments[:2]))
                if effect:
                    key, value = effect
                    self.wait_for_status(client, key, value)

    def check_events(self, client):
        """"events" prints what happens, one JSON object per line, until it
        is stopped."""
        events = self.start_events()
        self.assertTrue(client.request("scene.set", {"name": "Starting Soon"})["ok"])
        readable, _, _ = select.select([events.stdout], [], [], RUN_TIMEOUT)
        self.assertTrue(readable, "events printed nothing")
        line = events.stdout.readline()
        self.assertEqual(json.loads(line), {"op": "event", "event": "scene.changed", "name": "Starting Soon"})
        self.assertIsNone(events.poll(), "events ended by itself")

    def wait_for_status(self, client, key, value, timeout=RUN_TIMEOUT):
        deadline = time.monotonic() + timeout
        while True:
            status = client.request("status")["data"]
            if status[key] == value:
                return
            if time.monotonic() > deadline:
                self.fail("status %s is %r, not %r" % (key, status[key], value))
            time.sleep(0.05)


if __name__ == "__main__":
    unittest.main()
