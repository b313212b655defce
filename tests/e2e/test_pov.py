"""Squad POV and dual POV commands of the link against real OBS.

Two feeds, "Cam A" (4:3) and "Cam B" (16:9), are the squad POV sources in
config.json and sit hidden and full-screen in both scenes, as a user places
them. obs-websocket is the independent view of OBS: scene items, their
transforms, the filters on the feeds, and (through its input events, since
colour sources have no audio for GetInputMute) the feeds' mute states.

Deferred steps and animations are waited for with generous deadlines. That
something has not happened yet is asserted only when OBS was asked early
enough for the answer to be certain; on a slower run that check is left
out rather than guessed.
"""

import re
import time
import unittest

from . import support
from .support import obs_session as obs

CANVAS = (1280, 720)
FEEDS = {"Cam A": (320, 240), "Cam B": (320, 180)}
SCENES = ("Main", "Second")
FILTER = "Tessil Link · Dual POV opacity"
MARKER = "tessil-link-dual-pov"
# The resting layout that "dual.show" uses without arguments.
DEFAULT_LAYOUT = {"x": 0.012, "y": 0.19, "w": 0.26}
# Seconds within which a deferred step or an animation has surely finished.
WAIT = 5.0
POLL = 0.02
# Kept from a deadline when telling that something has not happened yet.
MARGIN = 0.02


def full_screen(source_name, item_id):
    """A feed as the user places it: hidden, fitted to the whole canvas."""
    return obs.scene_item(
        source_name, item_id, visible=False, bounds_type=2, bounds={"x": float(CANVAS[0]), "y": float(CANVAS[1])}
    )


COLLECTION = obs.collection(
    [
        obs.scene("Main", [obs.scene_item("Own View", 1), full_screen("Cam A", 2), full_screen("Cam B", 3)]),
        obs.scene("Second", [full_screen("Cam B", 1), full_screen("Cam A", 2)]),
    ],
    [obs.color_source("Own View", 64, 36)] + [obs.color_source(name, *size) for name, size in FEEDS.items()],
)
COLLECTION["current_transition"] = "Cut"
PLUGIN_CONFIG = {"povSources": [{"name": name} for name in FEEDS]}
# The user's own items by scene and item id; any other item is a window.
USER_ITEMS = {("Main", 2): "Cam A", ("Main", 3): "Cam B", ("Second", 1): "Cam B", ("Second", 2): "Cam A"}


def showing(feed=None):
    """Visibility of the user's feed items with one feed (or none) shown."""
    return {"%s: %s" % (scene, name): name == feed for (scene, _), name in USER_ITEMS.items()}


def window_transform(feed, x, y, w):
    """The resting transform of a window of feed for a layout, as
    obs-websocket reports it, rounded."""
    source_width, source_height = FEEDS[feed]
    width = CANVAS[0] * w
    return rounded(
        {
            "positionX": CANVAS[0] * x,
            "positionY": CANVAS[1] * y,
            "rotation": 0.0,
            "scaleX": 1.0,
            "scaleY": 1.0,
            "alignment": 5,
            "boundsType": "OBS_BOUNDS_SCALE_INNER",
            "boundsAlignment": 0,
            "boundsWidth": width,
            "boundsHeight": source_height * width / source_width,
        }
    )


TRANSFORM_FIELDS = (
    "positionX",
    "positionY",
    "rotation",
    "scaleX",
    "scaleY",
    "alignment",
    "boundsType",
    "boundsAlignment",
    "boundsWidth",
    "boundsHeight",
)


def opacity_filter(opacity):
    """The filters of a feed whose window has an opacity (None: none), as
    listed by filters()."""
    return [] if opacity is None else [(FILTER, "color_filter_v2", {"opacity": opacity}, True)]


def rounded(transform):
    """The fields of TRANSFORM_FIELDS in transform, numbers to 0.01 pixel:
    OBS keeps them as single-precision floats."""
    return {
        key: round(value, 2) if isinstance(value, float) else value
        for key, value in transform.items()
        if key in TRANSFORM_FIELDS
    }


class PovCase(support.Polling, support.LinkRequests, support.PluginTestCase):
    session_options = {"websocket": True, "collection": COLLECTION, "plugin_config": PLUGIN_CONFIG}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.session.wait_for_log(support.WEBSOCKET_STARTED)
        cls.obs = support.ObsWebSocket(event_subscriptions=support.ObsWebSocket.INPUT_EVENTS)
        cls.addClassCleanup(cls.obs.close)

    def setUp(self):
        self.client = support.linked_client(self.session)
        self.addCleanup(self.client.close)
        self.mutes = {}

    # -- what obs-websocket sees -------------------------------------------

    def scene_items(self):
        """Every item of both scenes, bottom to top, with "sceneName"."""
        items = []
        for scene in SCENES:
            listed = self.obs.call("GetSceneItemList", sceneName=scene)["sceneItems"]
            for item in sorted(listed, key=lambda item: item["sceneItemIndex"]):
                items.append(dict(item, sceneName=scene))
        return items

    def feeds(self, items=None):
        """Visibility of the user's feed items: {"Main: Cam A": bool, ...}."""
        return {
            "%s: %s" % (item["sceneName"], item["sourceName"]): item["sceneItemEnabled"]
            for item in items or self.scene_items()
            if (item["sceneName"], item["sceneItemId"]) in USER_ITEMS
        }

    def windows(self, items=None):
        """The items the plug-in added: {"Main: Cam A": [visible, ...]}."""
        windows = {}
        for item in items or self.scene_items():
            if item["sourceName"] != "Own View" and (item["sceneName"], item["sceneItemId"]) not in USER_ITEMS:
                windows.setdefault("%s: %s" % (item["sceneName"], item["sourceName"]), []).append(
                    item["sceneItemEnabled"]
                )
        return windows

    def window_id(self, feed):
        """The id of feed's one window in Main."""
        ids = [
            item["sceneItemId"]
            for item in self.scene_items()
            if item["sceneName"] == "Main"
            and item["sourceName"] == feed
            and ("Main", item["sceneItemId"]) not in USER_ITEMS
        ]
        self.assertEqual(len(ids), 1, "windows of %s in Main" % feed)
        return ids[0]

    def window_state(self, item_id):
        enabled = self.obs.call("GetSceneItemEnabled", sceneName="Main", sceneItemId=item_id)["sceneItemEnabled"]
        transform = self.obs.call("GetSceneItemTransform", sceneName="Main", sceneItemId=item_id)
        return {"visible": enabled, "transform": rounded(transform["sceneItemTransform"])}

    def filters(self, feed):
        """The filters on a feed: (name, kind, settings, enabled)."""
        return [
            (f["filterName"], f["filterKind"], f["filterSettings"], f["filterEnabled"])
            for f in self.obs.call("GetSourceFilterList", sourceName=feed)["filters"]
        ]

    def watch_mutes(self):
        """Forget the mute changes seen so far; mutes_seen reports later ones."""
        self.obs.take_events()
        self.mutes = {}

    def mutes_seen(self):
        """The last mute state reported for each feed since watch_mutes."""
        for event in self.obs.take_events():
            if event["eventType"] == "InputMuteStateChanged":
                self.mutes[event["eventData"]["inputName"]] = event["eventData"]["inputMuted"]
        return {name: muted for name, muted in self.mutes.items() if name in FEEDS}

    # -- waiting -------------------------------------------------------------

    def wait_for_rest(self, item_id, transform, since):
        """Waits until the window rests: visible with the given transform,
        the pop-in's 480 ms over (from since) and the transform unchanged
        over a few frames, since the animation passes the resting size on
        its way to a slight overshoot."""
        at_rest = {"visible": True, "transform": transform}
        deadline = time.monotonic() + WAIT
        while True:
            state = self.window_state(item_id)
            if state == at_rest and time.monotonic() - since > 0.55:
                time.sleep(0.1)
                if self.window_state(item_id) == at_rest:
                    return
            elif time.monotonic() > deadline:
                self.assertEqual(state, at_rest)
            time.sleep(POLL)

    def show_window(self, args, reply_data):
        """dual.show with args, from own view; returns the window's item id
        once the window rests at the default layout."""
        sent = time.monotonic()
        self.assertEqual(self.request("dual.show", args), {"ok": True, "data": reply_data})
        item_id = self.window_id(reply_data["source"])
        self.wait_for_rest(item_id, window_transform(reply_data["source"], **DEFAULT_LAYOUT), sent)
        return item_id

    def log_after(self, offset):
        return self.session.log_text()[offset:]

    def assert_logged(self, line, offset, count=1):
        """line (without the plug-in's prefix) is in the log after offset,
        count times in the end."""
        pattern = re.escape("[tessil-link] " + line) + "$"
        self.session.wait_for_log("(?m)" + pattern, timeout=WAIT, start=offset)
        self.assertEqual(len(re.findall("(?m)" + pattern, self.log_after(offset))), count, line)

    def back_to_own_view(self):
        """Takes the window and any full-screen POV away and waits until
        OBS shows it: nothing of the feeds visible, no opacity filter."""
        self.assertEqual(self.request("dual.hide"), {"ok": True})
        self.assertEqual(self.request("pov.hide"), {"ok": True})
        self.wait_until(self.feeds, showing(None))
        self.wait_until(lambda: all(not v for vs in self.windows().values() for v in vs), True)
        self.wait_until(lambda: [self.filters(feed) for feed in FEEDS], [[], []])
        self.assertEqual(self.flags(), {"povShown": False, "dualShown": False})


class SquadAndDualPov(PovCase):
    def setUp(self):
        super().setUp()
        self.addCleanup(self.back_to_own_view)

    # -- dual POV ----------------------------------------------------------

    def test_dual_show_pops_a_muted_window_in_above_the_feed(self):
        offset = len(self.session.log_text())
        self.watch_mutes()
        sent = time.monotonic()
        reply = self.request("dual.show", {})
        self.assertEqual(reply, {"ok": True, "data": {"source": "Cam A", "slot": 0, "shown": True}})
        item_id = self.window_id("Cam A")
        rest = window_transform("Cam A", **DEFAULT_LAYOUT)
        early = self.window_state(item_id)
        if time.monotonic() - sent < 0.15:
            # The pop-in reaches the resting size only after 40 % of its 480 ms.
            self.assertLess(early["transform"]["boundsWidth"], rest["boundsWidth"])
        self.wait_for_rest(item_id, rest, sent)

        items = self.scene_items()
        main = [(item["sourceName"], item["sceneItemId"]) for item in items if item["sceneName"] == "Main"]
        # Directly above the user's own item of the same feed.
        self.assertEqual(main, [("Own View", 1), ("Cam A", 2), ("Cam A", item_id), ("Cam B", 3)])
        self.assertEqual(self.windows(items), {"Main: Cam A": [True]})
        self.assertEqual(self.feeds(items), showing(None))
        self.wait_until(lambda: self.mutes_seen().get("Cam A"), True)
        self.assertEqual(self.filters("Cam A"), [])
        self.assertEqual(self.flags(), {"povShown": False, "dualShown": True})
        self.assert_logged("dual POV: Cam A in the small window", offset)
        # Added once in the whole run: a later show reuses the window.
        self.assert_logged("dual POV: added the window for Cam A to scene Main", 0)

        offset = len(self.session.log_text())
        self.assertEqual(self.request("dual.hide"), {"ok": True})
        self.wait_until(lambda: self.window_state(item_id)["visible"], False)
        self.assertEqual(self.windows(), {"Main: Cam A": [False]})
        self.assertEqual(self.flags(), {"povShown": False, "dualShown": False})
        self.assert_logged("dual POV: off", offset)

    def test_dual_show_again_changes_the_resting_window_in_place(self):
        item_id = self.show_window({"opacity": 0.5}, {"source": "Cam A", "slot": 0, "shown": True})
        self.assertEqual(self.filters("Cam A"), opacity_filter(0.5))
        self.assertEqual(
            self.obs.call("GetSourceFilter", sourceName="Cam A", filterName=FILTER)["filterSettings"],
            {"opacity": 0.5},
        )
        steps = [
            # args, layout after, opacity filter after (None: no filter)
            ({"opacity": 1.0}, DEFAULT_LAYOUT, None),
            ({"x": 0.5, "y": 0.25, "w": 0.1, "opacity": 0.05}, {"x": 0.5, "y": 0.25, "w": 0.1}, 0.1),
            ({"x": -0.5, "w": 0.001, "opacity": 0.5}, {"x": 0.0, "y": 0.19, "w": 0.02}, 0.5),
            ({"y": 2, "w": 3, "opacity": 2}, {"x": 0.012, "y": 1.0, "w": 1.0}, None),
            ({"opacity": "0.5"}, DEFAULT_LAYOUT, None),
        ]
        for args, layout, opacity in steps:
            with self.subTest(args=args):
                reply = self.request("dual.show", args)
                self.assertEqual(reply, {"ok": True, "data": {"source": "Cam A", "slot": 0, "shown": True}})
                # At once, without a pop: the reply follows the change.
                self.assertEqual(
                    self.window_state(item_id), {"visible": True, "transform": window_transform("Cam A", **layout)}
                )
                self.assertEqual(self.filters("Cam A"), opacity_filter(opacity))
                self.assertEqual(self.windows(), {"Main: Cam A": [True]})

        self.request("dual.show", {"opacity": 0.5})
        self.assertEqual(self.filters("Cam A"), opacity_filter(0.5))
        self.assertEqual(self.request("dual.hide"), {"ok": True})
        self.wait_until(lambda: self.window_state(item_id)["visible"], False)
        self.wait_until(lambda: self.filters("Cam A"), [])
        self.assertEqual(self.filters("Cam B"), [])

    # -- squad POV -----------------------------------------------------------

    def check_not_yet(self, sent, delay, feeds, flags):
        """Halfway through a step's delay (delay seconds from sent), the
        feeds and flags are still as given; unless OBS answered too late to
        tell."""
        time.sleep(max(0.0, sent + delay / 2 - time.monotonic()))
        seen = (self.feeds(), self.flags())
        if time.monotonic() - sent < delay - MARGIN:
            self.assertEqual(seen, (feeds, flags))

    def test_pov_show_and_hide_wait_for_their_delays(self):
        offset = len(self.session.log_text())
        self.watch_mutes()
        sent = time.monotonic()
        self.assertEqual(self.request("pov.show", {"slot": 1, "delayMs": 300}), {"ok": True})
        self.check_not_yet(sent, 0.3, showing(None), {"povShown": False, "dualShown": False})
        self.wait_until(self.feeds, showing("Cam B"))
        self.wait_until(self.mutes_seen, {"Cam A": True, "Cam B": False})
        self.assertEqual(self.flags(), {"povShown": True, "dualShown": False})
        self.assert_logged("POV: showing Cam B", offset)

        offset = len(self.session.log_text())
        self.watch_mutes()
        sent = time.monotonic()
        self.assertEqual(self.request("pov.hide", {"delayMs": 200, "minShownMs": 0}), {"ok": True})
        self.check_not_yet(sent, 0.2, showing("Cam B"), {"povShown": True, "dualShown": False})
        self.wait_until(self.feeds, showing(None))
        self.wait_until(self.mutes_seen, {"Cam A": True, "Cam B": True})
        self.assertEqual(self.flags(), {"povShown": False, "dualShown": False})
        self.assert_logged("POV: back to your own view", offset)

    def test_pov_show_clamps_the_slot_and_the_latest_request_wins(self):
        for slot, feed in ((7, "Cam B"), (-3, "Cam A"), (1, "Cam B"), (0, "Cam A")):
            with self.subTest(slot=slot):
                self.watch_mutes()
                self.assertEqual(self.request("pov.show", {"slot": slot}), {"ok": True})
                self.wait_until(self.feeds, showing(feed))
                other = "Cam B" if feed == "Cam A" else "Cam A"
                self.wait_until(self.mutes_seen, {feed: False, other: True})
                # A window of the feed, if any, is no full-screen item.
                self.assertTrue(all(not v for vs in self.windows().values() for v in vs))

        offset = len(self.session.log_text())
        sent = time.monotonic()
        self.assertEqual(self.request("pov.show", {"slot": 1, "delayMs": 600}), {"ok": True})
        self.assertEqual(self.request("pov.show", {"slot": 0}), {"ok": True})
        self.assert_logged("POV: showing Cam A", offset)
        time.sleep(max(0.0, sent + 1.0 - time.monotonic()))
        self.assertEqual(self.feeds(), showing("Cam A"))
        self.assertNotIn("POV: showing Cam B", self.log_after(offset))

    # -- where they meet -----------------------------------------------------

    def test_dual_window_makes_way_for_a_full_screen_pov_and_comes_back(self):
        item_id = self.show_window({"opacity": 0.5}, {"source": "Cam A", "slot": 0, "shown": True})
        rest = window_transform("Cam A", **DEFAULT_LAYOUT)

        offset = len(self.session.log_text())
        self.watch_mutes()
        self.assertEqual(self.request("pov.show", {"slot": 0}), {"ok": True})
        self.wait_until(self.feeds, showing("Cam A"))
        # The window of the same feed is hidden and the fade is off the
        # feed that is now full-screen.
        self.assertEqual(self.window_state(item_id)["visible"], False)
        self.assertEqual(self.filters("Cam A"), [])
        self.wait_until(self.mutes_seen, {"Cam A": False, "Cam B": True})
        self.assertEqual(self.flags(), {"povShown": True, "dualShown": True})
        self.assert_logged("dual POV: making way for the full-screen swap", offset)

        # Asked for during the full-screen POV, the window waits for its end.
        reply = self.request("dual.show", {"opacity": 0.5})
        self.assertEqual(reply, {"ok": True, "data": {"source": "Cam A", "slot": 0, "shown": False}})
        self.assertEqual(self.window_state(item_id)["visible"], False)
        self.assertEqual(self.filters("Cam A"), [])

        offset = len(self.session.log_text())
        sent = time.monotonic()
        self.assertEqual(self.request("pov.hide", {"delayMs": 300}), {"ok": True})
        self.check_not_yet(sent, 0.3, showing("Cam A"), {"povShown": True, "dualShown": True})
        while True:
            items = self.scene_items()
            seen = time.monotonic()
            if self.feeds(items) == showing(None) or seen - sent > WAIT:
                break
            time.sleep(POLL)
        self.assertEqual(self.feeds(items), showing(None))
        # The hide step has run (by seen, and not before sent + 0.3): the
        # window is back 500 ms after it, so not before sent + 0.8.
        time.sleep(max(0.0, min(seen + 0.2, sent + 0.7) - time.monotonic()))
        waiting = self.window_state(item_id)["visible"]
        if time.monotonic() - sent < 0.3 + 0.5 - MARGIN:
            self.assertEqual(waiting, False)
        self.wait_for_rest(item_id, rest, sent + 0.3 + 0.5)
        self.assertEqual(self.filters("Cam A"), opacity_filter(0.5))
        self.wait_until(lambda: self.mutes_seen().get("Cam A"), True)
        self.assertEqual(self.flags(), {"povShown": False, "dualShown": True})
        self.assert_logged("POV: back to your own view", offset)
        self.assert_logged("dual POV: back after the full-screen swap", offset)


class DualPovAtExit(PovCase):
    def test_window_and_filter_stay_and_are_saved_at_exit(self):
        item_id = self.show_window({"slot": 1, "opacity": 0.5}, {"source": "Cam B", "slot": 1, "shown": True})
        self.session.stop()
        support.check_clean_stop(self.session)

        sources = {source["name"]: source for source in self.session.saved_collection()["sources"]}
        windows = {
            scene: [item for item in sources[scene]["settings"]["items"] if MARKER in item["private_settings"]]
            for scene in SCENES
        }
        self.assertEqual(
            {scene: [item["name"] for item in items] for scene, items in windows.items()},
            {"Main": ["Cam B"], "Second": []},
        )
        window = windows["Main"][0]
        self.assertEqual((window["id"], window["private_settings"], window["visible"]), (item_id, {MARKER: True}, True))
        saved = {
            "positionX": window["pos"]["x"],
            "positionY": window["pos"]["y"],
            "rotation": window["rot"],
            "scaleX": window["scale"]["x"],
            "scaleY": window["scale"]["y"],
            "alignment": window["align"],
            "boundsType": {2: "OBS_BOUNDS_SCALE_INNER"}.get(window["bounds_type"], window["bounds_type"]),
            "boundsAlignment": window["bounds_align"],
            "boundsWidth": window["bounds"]["x"],
            "boundsHeight": window["bounds"]["y"],
        }
        self.assertEqual(rounded(saved), window_transform("Cam B", **DEFAULT_LAYOUT))
        # OBS saves a filter's kind without its version in "id".
        self.assertEqual(
            [(f["name"], f["id"], f["versioned_id"], f["settings"]) for f in sources["Cam B"].get("filters", [])],
            [(FILTER, "color_filter", "color_filter_v2", {"opacity": 0.5})],
        )
        self.assertTrue(sources["Cam B"]["muted"])
        self.assertNotIn("filters", sources["Cam A"])


class DualPovAcrossRestarts(PovCase):
    """What the streamer last asked for is what the next start shows: no
    window frozen mid-way, no opacity filter left on a feed."""

    def restart(self):
        """Closes OBS the normal way and starts it again on the same
        configuration; the link and obs-websocket are joined again."""
        self.client.close()
        self.obs.close()
        self.session.stop()
        support.check_clean_stop(self.session)
        saved = self.session.saved_collection()
        self.session.start()
        self.session.wait_for_log(support.LISTENING)
        self.session.wait_for_log(support.WEBSOCKET_STARTED)
        self.obs = support.ObsWebSocket(event_subscriptions=support.ObsWebSocket.INPUT_EVENTS)
        self.addCleanup(self.obs.close)
        self.client = support.linked_client(self.session)
        self.addCleanup(self.client.close)
        return {source["name"]: source for source in saved["sources"]}

    def test_a_hide_under_way_and_a_resting_window_do_not_come_back(self):
        cases = [
            # (what, dual.show arguments, then dual.hide, the source)
            ("closed 100 ms into the pop-out", {"slot": 0, "opacity": 0.4}, True, "Cam A"),
            ("closed while the window rests", {"slot": 1, "opacity": 0.5}, False, "Cam B"),
        ]
        for what, args, hide, feed in cases:
            with self.subTest(what):
                self.show_window(args, {"source": feed, "slot": args["slot"], "shown": True})
                if hide:
                    self.assertEqual(self.request("dual.hide"), {"ok": True})
                    time.sleep(0.1)
                saved = self.restart()
                if hide:
                    # Finished before OBS saved: hidden, the fade off.
                    windows = [
                        item
                        for item in saved["Main"]["settings"]["items"]
                        if MARKER in item["private_settings"] and item["name"] == feed
                    ]
                    self.assertEqual([item["visible"] for item in windows], [False])
                    self.assertNotIn("filters", saved[feed])
                self.wait_until(lambda: {name: self.filters(name) for name in FEEDS}, {name: [] for name in FEEDS})
                self.wait_until(
                    lambda: any(visible for states in self.windows().values() for visible in states), False
                )
                self.assertEqual(self.flags(), {"povShown": False, "dualShown": False})
                # The team-mate's full-screen POV goes out at full opacity.
                self.assertEqual(self.request("pov.show", {"slot": args["slot"]})["ok"], True)
                self.wait_until(self.feeds, showing(feed))
                self.assertEqual(self.filters(feed), [])
                self.back_to_own_view()


if __name__ == "__main__":
    unittest.main()
