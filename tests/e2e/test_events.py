"""Events relayed to a linked client from real OBS, with obs-websocket
driving OBS independently: scene switches, renames, hotkeys, the replay
buffer, recording, streaming (to ffmpeg listening for RTMP on loopback), and
OBS closing. Hotkey bindings from config.json are pressed on the X server
and written back when OBS closes, and work again, with the same token, after
a restart."""

import os
import shutil
import subprocess
import time
import unittest

from Xlib import X, XK
from Xlib import display as xdisplay
from Xlib.ext import xtest

from . import support
from .support import obs_session as obs

# Three coalescing delays: long enough for a second "scenes.changed" to show.
QUIET_SECONDS = 0.75
RENAMABLE = ("Renamable 1", "Renamable 2", "Renamable 3", "Renamable 4")

COLLECTION = obs.collection(
    [
        obs.scene("Scene", [obs.scene_item("Colour", 1), obs.scene_item("Filtered", 2)]),
        obs.scene("Scene 2", [obs.scene_item(name, i + 1) for i, name in enumerate(RENAMABLE)]),
    ],
    [obs.color_source(name) for name in ("Colour", "Filtered") + RENAMABLE],
)
# A cut: one "scene.changed" per switch, a frame later, with nothing left
# running into the next switch.
COLLECTION["current_transition"] = "Cut"


RTMP_URL = "rtmp://127.0.0.1:1935/live"
STREAM_KEY = "tessil"


def event(event_name, **members):
    return dict({"op": "event", "event": event_name}, **members)


class Events(support.PluginTestCase):
    session_options = {
        "websocket": True,
        "collection": COLLECTION,
        # Simple output with the replay buffer enabled, encoded with x264
        # (always there, needs no GPU).
        "profile_ini": obs.REPLAY_BUFFER_PROFILE,
        "stream_service": {"type": "rtmp_custom", "settings": {"server": RTMP_URL, "key": STREAM_KEY}},
    }

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.session.wait_for_log(support.WEBSOCKET_STARTED)
        cls.obs = support.ObsWebSocket()
        cls.addClassCleanup(cls.obs.close)

    def setUp(self):
        self.client = support.linked_client(self.session)
        self.addCleanup(self.client.close)

    def test_scene_switch_sends_new_name(self):
        for name in ("Scene 2", "Scene"):
            with self.subTest(name):
                self.obs.call("SetCurrentProgramScene", sceneName=name)
                self.assertEqual(self.client.next_event("scene.changed"), event("scene.changed", name=name))

    def test_renames_send_one_coalesced_scenes_changed(self):
        cases = {"one input": RENAMABLE[:1], "three inputs at once": RENAMABLE[1:]}
        for case, names in cases.items():
            with self.subTest(case):
                self.client.wait_quiet()
                for name in names:
                    self.obs.call("SetInputName", inputName=name, newInputName=name + " (renamed)")
                self.assertEqual(self.client.next_event(), event("scenes.changed"))
                self.assertEqual(self.client.events_within(QUIET_SECONDS), [])

    def test_filter_rename_sends_nothing(self):
        self.obs.call("CreateSourceFilter", sourceName="Filtered", filterName="Tint", filterKind="color_filter_v2")
        self.client.wait_quiet()
        self.obs.call("SetSourceFilterName", sourceName="Filtered", filterName="Tint", newFilterName="Tint 2")
        self.assertEqual(self.client.events_within(QUIET_SECONDS), [])

    def test_hotkeys_triggered_by_obs_websocket(self):
        for action in ("clip", "replay", "pov"):
            with self.subTest(action):
                self.obs.call("TriggerHotkeyByName", hotkeyName="tessil.link." + action)
                self.assertEqual(self.client.next_event("hotkey"), event("hotkey", action=action))
        self.assertEqual(support.qt_thread_warnings(self.session.log_text()), [])

    def test_replay_buffer_started_saved_and_stopped(self):
        client = self.client
        self.obs.call("StartReplayBuffer")
        self.addCleanup(self._stop_replay_buffer)
        self.assertEqual(client.next_event("replay.started"), event("replay.started"))
        self.assertTrue(client.request("status")["data"]["replayBuffer"])

        self.obs.call("SaveReplayBuffer")
        saved = client.next_event("replay.saved", timeout=30)
        self.assertEqual(set(saved), {"op", "event", "path"})
        self.assertEqual(saved["path"], self.obs.call("GetLastReplayBufferReplay")["savedReplayPath"])
        self.assertEqual(os.path.dirname(saved["path"]), self.session.recordings_dir)
        self.assertGreater(os.path.getsize(saved["path"]), 0)

        # The same through the link: the answer only says the save was asked.
        self.assertEqual(client.request("replay.save"), {"op": "res", "id": client.last_id, "ok": True})
        saved = client.next_event("replay.saved", timeout=30)
        self.assertTrue(os.path.isfile(saved["path"]), saved)

        self.obs.call("StopReplayBuffer")
        self.assertEqual(client.next_event("replay.stopped", timeout=30), event("replay.stopped"))
        self.assertFalse(client.request("status")["data"]["replayBuffer"])

    def _stop_replay_buffer(self):
        self._stop_output("GetReplayBufferStatus", "StopReplayBuffer")

    def test_replay_buffer_started_and_stopped_through_the_link(self):
        client = self.client
        self.addCleanup(self._stop_replay_buffer)
        self.assertEqual(client.request("replay.start"), {"op": "res", "id": client.last_id, "ok": True})
        self.assertEqual(client.next_event("replay.started", timeout=30), event("replay.started"))
        self.assertTrue(self.obs.call("GetReplayBufferStatus")["outputActive"])

        self.assertEqual(client.request("replay.stop"), {"op": "res", "id": client.last_id, "ok": True})
        self.assertEqual(client.next_event("replay.stopped", timeout=30), event("replay.stopped"))
        self.assertFalse(self.obs.call("GetReplayBufferStatus")["outputActive"])

    def test_recording_started_and_stopped(self):
        self.check_output_events(
            ("record.started", "record.stopped"), "recording", ("StartRecord", "StopRecord", "GetRecordStatus")
        )

    def test_streaming_started_and_stopped(self):
        # ffmpeg takes one RTMP publisher and discards what it sends.
        listener = subprocess.Popen(
            [shutil.which("ffmpeg") or "ffmpeg", "-nostdin", "-loglevel", "error", "-listen", "1",
             "-i", "%s/%s" % (RTMP_URL, STREAM_KEY), "-f", "null", "-"],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        self.addCleanup(obs.end_process, listener)
        support.wait_for_listener(1935)
        self.check_output_events(
            ("stream.started", "stream.stopped"), "streaming", ("StartStream", "StopStream", "GetStreamStatus")
        )

    def check_output_events(self, events, status_key, requests):
        """An output started and stopped by obs-websocket (its start, stop
        and status requests): the link sends the started and the stopped
        event, and "status" follows."""
        started, stopped = events
        start, stop, status = requests
        client = self.client
        self.obs.call(start)
        self.addCleanup(self._stop_output, status, stop)
        self.assertEqual(client.next_event(started, timeout=30), event(started))
        self.assertTrue(client.request("status")["data"][status_key])

        self.obs.call(stop)
        self.assertEqual(client.next_event(stopped, timeout=30), event(stopped))
        self.assertFalse(client.request("status")["data"][status_key])

    def _stop_output(self, status, stop):
        """Stops an output a test left running and waits until OBS has let
        go of every output: they share one encoder, and OBS ignores a start
        while an output still finishes with it. The front-end calls an
        output stopped (and refuses to stop it) a little before libobs is
        done with it."""
        if self.obs.call(status)["outputActive"]:
            try:
                self.obs.call(stop)
            except support.ObsRequestError:
                pass  # already stopping
        deadline = time.monotonic() + 30
        while any(output["outputActive"] for output in self.obs.call("GetOutputList")["outputs"]):
            if time.monotonic() > deadline:
                raise AssertionError("OBS's outputs still active 30 s after %s" % stop)
            time.sleep(0.02)


HOTKEY_BINDINGS = [
    {"keys": [{"key": "OBS_KEY_F13"}]},
    {"keys": [{"shift": True, "key": "OBS_KEY_F14"}]},
    {"keys": [{"key": "OBS_KEY_F9"}]},
]


def press_key(display_name, keysym_name, until):
    """Holds a key down on the X server until until() returns a value
    (libobs polls the keyboard), then releases it; returns that value."""
    connection = xdisplay.Display(display_name)
    try:
        keycode = connection.keysym_to_keycode(XK.string_to_keysym(keysym_name))
        xtest.fake_input(connection, X.KeyPress, keycode)
        connection.sync()
        try:
            return until()
        finally:
            xtest.fake_input(connection, X.KeyRelease, keycode)
            connection.sync()
    finally:
        connection.close()


class Run:
    """One OBS start: linked with the token file, F9 (bound to the third
    hotkey, pov) pressed and released on the X server, OBS closed with the
    client still linked."""

    def __init__(self, session):
        session.start()
        try:
            session.wait_for_log(support.LISTENING)
            self.token = session.token()
            client = support.linked_client(session)
            # The link is up before OBS has finished loading: the
            # "scenes.changed" that its start-up sends could otherwise come
            # while the key is down or before "obs.exit".
            client.wait_quiet()
            try:
                self.pressed = press_key(session.display, "F9", client.next_event)
            finally:
                session.stop()
                self.after_press = client.until_closed()
                client.close()
        finally:
            if session.running():
                session.stop()
        self.config = session.plugin_config()
        self.log = session.log_text()
        self.leaks = session.leaks_of_ours()
        self.forced = session.forced
        self.unloaded = support.UNLOADED in self.log


class RestartKeepsTokenAndHotkeys(unittest.TestCase):
    """Bindings in config.json before the first start, no token yet; OBS
    started twice on the same configuration."""

    @classmethod
    def setUpClass(cls):
        cls.session = support.plugin_session(plugin_config={"hotkeys": HOTKEY_BINDINGS})
        cls.addClassCleanup(cls.session.close)
        cls.runs = {"first start": Run(cls.session)}
        cls.runs["second start"] = Run(cls.session)

    def test_bound_key_sends_hotkey_event(self):
        for name, run in self.runs.items():
            with self.subTest(name):
                self.assertEqual(run.pressed, event("hotkey", action="pov"))

    def test_exit_sent_before_connection_closes(self):
        # The key's release sends nothing; "obs.exit" is the last message.
        for name, run in self.runs.items():
            with self.subTest(name):
                self.assertEqual(run.after_press, [event("obs.exit")])

    def test_bindings_written_back_in_order(self):
        for name, run in self.runs.items():
            with self.subTest(name):
                self.assertEqual(run.config["hotkeys"], HOTKEY_BINDINGS)

    def test_token_made_once_and_kept(self):
        first, second = self.runs.values()
        self.assertEqual(len(first.token), 28)
        self.assertEqual(second.token, first.token)
        self.assertEqual(second.config["token"], first.token)

    def test_no_qt_thread_warnings(self):
        for name, run in self.runs.items():
            with self.subTest(name):
                self.assertEqual(support.qt_thread_warnings(run.log), [])

    def test_closes_cleanly(self):
        for name, run in self.runs.items():
            with self.subTest(name):
                self.assertIsNone(run.forced, "OBS had to be killed")
                self.assertTrue(run.unloaded)
                self.assertEqual(run.leaks, 0)


if __name__ == "__main__":
    unittest.main()
