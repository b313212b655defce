"""The link protocol against real OBS: greeting, authentication with the
token file, the status snapshot and a refused "replay.save", and refused
clients. obs-websocket gives an independent view of OBS's state."""

import re
import unittest

from . import support

STATUS_MEMBERS = {"streaming", "recording", "replayBuffer", "canvas", "povShown", "dualShown", "scene", "povSources"}
REPLAY_OFF = "OBS's replay buffer is off (Settings > Output > Replay Buffer)"
REFUSED_LINE = "[tessil-link] refused a client with a wrong token"


class Link(support.PluginTestCase):
    session_options = {"websocket": True}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.session.wait_for_log(support.WEBSOCKET_STARTED)
        cls.obs = support.ObsWebSocket()
        cls.addClassCleanup(cls.obs.close)

    def link(self):
        client = support.linked_client(self.session)
        self.addCleanup(client.close)
        return client

    def test_hello_names_plugin_and_running_obs(self):
        with support.LinkClient() as client:
            hello = client.hello
        # OBS logs its full version string ("OBS 29.0.2.1-1+b1 (linux)");
        # obs-websocket reports the numeric major.minor.patch part of it.
        logged = re.search(r"^\w+: OBS (\S+) \(linux\)$", self.session.log_text(), re.M).group(1)
        self.assertEqual(
            hello, {"op": "hello", "plugin": "tessil-link", "version": "0.1.0", "obs": logged, "protocol": 2}
        )
        numeric = self.obs.call("GetVersion")["obsVersion"]
        self.assertTrue(logged == numeric or logged.startswith(numeric + "."), (logged, numeric))

    def test_ready_holds_the_status_of_obs(self):
        client = self.link()
        ready = client.ready
        self.assertEqual(set(ready), STATUS_MEMBERS | {"op"})
        video = self.obs.call("GetVideoSettings")
        expected = {
            "op": "ready",
            "streaming": self.obs.call("GetStreamStatus")["outputActive"],
            "recording": self.obs.call("GetRecordStatus")["outputActive"],
            "replayBuffer": False,  # not enabled in the test profile
            "canvas": {"w": video["baseWidth"], "h": video["baseHeight"]},
            "povShown": False,
            "dualShown": False,
            "scene": self.obs.call("GetCurrentProgramScene")["currentProgramSceneName"],
            "povSources": [],
        }
        self.assertEqual(ready, expected)
        self.assertEqual(ready["canvas"], {"w": 1280, "h": 720})  # the profile's base size
        self.session.wait_for_log(re.escape("[tessil-link] Tessil 1.2 linked"))

    def test_status_answers_the_ready_snapshot(self):
        client = self.link()
        reply = client.request("status")
        snapshot = dict(client.ready)
        del snapshot["op"]
        self.assertEqual(reply, {"op": "res", "id": client.last_id, "ok": True, "data": snapshot})

    def test_replay_save_refused_while_replay_buffer_is_off(self):
        client = self.link()
        reply = client.request("replay.save")
        self.assertEqual(reply, {"op": "res", "id": client.last_id, "ok": False, "error": REPLAY_OFF})

    def test_refused_clients_are_denied_and_closed(self):
        token = self.session.token()
        wrong = token[:-1] + ("a" if token[-1] != "a" else "b")
        cases = {
            "one character changed": {"op": "auth", "token": wrong, "app": "tessil-e2e", "version": "1.2"},
            "token as a number": {"op": "auth", "token": 12345, "app": "tessil-e2e", "version": "1.2"},
            "request before auth": {"op": "req", "id": 1, "cmd": "status"},
        }
        for name, first_message in cases.items():
            with self.subTest(name):
                refusals = self.session.log_text().count(REFUSED_LINE)
                with support.LinkClient() as client:
                    client.send(first_message)
                    self.assertEqual(client.until_closed(), [{"op": "denied"}])
                self.session.wait_for_log("(?s)(?:%s.*?){%d}" % (re.escape(REFUSED_LINE), refusals + 1))


if __name__ == "__main__":
    unittest.main()
