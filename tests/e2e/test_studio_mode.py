"""Scene, item and POV commands of the link in studio mode, with OBS's
"Duplicate Scene" on, judged by the program picture that OBS records.

With "Duplicate Scene" on, OBS puts a private copy of the scene on program
whenever it transitions to it (and when studio mode is switched on), and
obs-websocket's scene requests see only the scenes of the preview side. So
each test records the program output and reads the frames back
(program_output): every scene holds a beacon whose colour the test changes
before each step, and the picture each step settled on is compared with
what it should be at points all over the canvas. obs-websocket drives OBS
(studio mode, transitions, the recording) and tells when a step's work is
done on the preview side.

The canvas is small (640 by 360, recorded at that size) and every source is
a colour source, which draws at once: "Own View" blue; the squad POV feeds
"Cam A" red, which the user has cropped to 4:3 and fitted to the canvas,
and "Cam B" green, full-screen; a white "Badge"; the scenes "Lobby" yellow
and "Break" magenta. Main also holds a hidden dual POV window of Cam A,
saved there by the plug-in in an earlier session, as any collection does
once the dual POV has been used.
"""

import contextlib
import time
import types
import unittest

from . import program_output
from . import support
from .support import obs_session as obs

CANVAS = (640, 360)
COLOURS = {
    "blue": (0, 0, 255),
    "red": (255, 0, 0),
    "green": (0, 255, 0),
    "yellow": (255, 255, 0),
    "magenta": (255, 0, 255),
    "white": (255, 255, 255),
    # A window of "Cam A" at half opacity over the own view: OBS blends in
    # linear light, so half red over blue is this (one window; two windows
    # stacked would be about (225, 0, 137)).
    "half red": (188, 0, 188),
}
FEED_COLOUR = {"Cam A": "red", "Cam B": "green"}
# The part of each feed the user shows (Cam A cropped by 80 on both sides).
FEED_VISIBLE = {"Cam A": (480, 360), "Cam B": (640, 360)}
CAM_A_CROP = 80
BADGE = (400, 280, 464, 344)
BEACON = (576, 296, 640, 360)

POINTS = program_output.grid(CANVAS, 48)
POINTS["badge"] = (432, 312)
POINTS["beacon"] = (608, 328)
# A point that only a scene's own background covers (no window, no badge).
VIEW = "312,168"

# Scene item ids of Main: everything else there is a dual POV window.
OWN_VIEW_ID, CAM_A_ID, CAM_B_ID, BADGE_ID, BEACON_ID, SAVED_WINDOW_ID = 1, 2, 3, 4, 5, 6
USER_ITEM_IDS = {OWN_VIEW_ID, CAM_A_ID, CAM_B_ID, BADGE_ID, BEACON_ID}
MARKER = "tessil-link-dual-pov"

# obs-websocket's EventSubscription bit of the transition events.
TRANSITION_EVENTS = 1 << 4
# Seconds: the picture of each step is held this long on program before the
# next step, so that the recording surely holds it for several frames.
HOLD = 0.4
# Seconds given to a beacon change to reach the picture before the step acts.
BEACON_LEAD = 0.1
WAIT = 10.0
POLL = 0.02
POP_IN = 0.48


def colour_source(name, colour, width=CANVAS[0], height=CANVAS[1]):
    return obs.color_source(name, width, height, program_output.obs_color(COLOURS[colour]))


def full_screen(source_name, item_id, **fields):
    """A feed as the user places it: hidden, fitted to the whole canvas."""
    return obs.scene_item(
        source_name,
        item_id,
        visible=False,
        bounds_type=2,
        bounds={"x": float(CANVAS[0]), "y": float(CANVAS[1])},
        **fields,
    )


def beacon_item(item_id):
    return obs.scene_item("Beacon", item_id, pos={"x": float(BEACON[0]), "y": float(BEACON[1])})


def window_box(feed, x=0.012, y=0.19, w=0.26):
    """The dual POV window of feed at rest for a layout: its top-left corner
    at (x, y) of the canvas, w of the canvas wide, as tall as the part of
    the feed the user shows."""
    width = CANVAS[0] * w
    visible_width, visible_height = FEED_VISIBLE[feed]
    left, top = CANVAS[0] * x, CANVAS[1] * y
    return (left, top, left + width, top + width * visible_height / visible_width)


def saved_window(source_name, item_id, crop):
    """A dual POV window as the plug-in leaves it in a saved collection:
    hidden, marked, at the resting layout, with the crop of the user's item
    of the feed, just above that item."""
    left, top, right, bottom = window_box(source_name)
    return obs.scene_item(
        source_name,
        item_id,
        visible=False,
        private_settings={MARKER: True},
        pos={"x": left, "y": top},
        bounds_type=2,
        bounds={"x": right - left, "y": bottom - top},
        crop_left=crop,
        crop_right=crop,
    )


COLLECTION = obs.collection(
    [
        obs.scene(
            "Main",
            [
                obs.scene_item("Own View", OWN_VIEW_ID),
                full_screen("Cam A", CAM_A_ID, crop_left=CAM_A_CROP, crop_right=CAM_A_CROP),
                saved_window("Cam A", SAVED_WINDOW_ID, CAM_A_CROP),
                full_screen("Cam B", CAM_B_ID),
                obs.scene_item("Badge", BADGE_ID, visible=False, pos={"x": float(BADGE[0]), "y": float(BADGE[1])}),
                beacon_item(BEACON_ID),
            ],
        ),
        obs.scene("Lobby", [obs.scene_item("Lobby Colour", 1), beacon_item(2)]),
        obs.scene("Break", [obs.scene_item("Break Colour", 1), beacon_item(2)]),
    ],
    [
        colour_source("Own View", "blue"),
        colour_source("Cam A", "red"),
        colour_source("Cam B", "green"),
        colour_source("Badge", "white", BADGE[2] - BADGE[0], BADGE[3] - BADGE[1]),
        obs.color_source("Beacon", BEACON[2] - BEACON[0], BEACON[3] - BEACON[1], 0xFF000000),
        colour_source("Lobby Colour", "yellow"),
        colour_source("Break Colour", "magenta"),
    ],
)
COLLECTION["current_transition"] = "Cut"

SESSION_OPTIONS = {
    "websocket": True,
    "collection": COLLECTION,
    "plugin_config": {"povSources": [{"name": "Cam A"}, {"name": "Cam B"}]},
    # OBS's default, stated: studio mode puts a copy of the scene on program.
    "global_ini": {"BasicWindow": {"SceneDuplicationMode": True}},
    # Recorded at the canvas size, with x264 at its fastest and a bitrate
    # at which flat colours come back within a unit or two.
    "profile_ini": {
        "Video": {"BaseCX": CANVAS[0], "BaseCY": CANVAS[1], "OutputCX": CANVAS[0], "OutputCY": CANVAS[1]},
        "SimpleOutput": {
            "RecQuality": "Stream",
            "StreamEncoder": "x264",
            "RecEncoder": "x264",
            "Preset": "ultrafast",
            "VBitrate": 4000,
        },
    },
}


# -- pictures ----------------------------------------------------------------


def picture(background, *shapes):
    """A Picture with the beacon left out of the judging."""
    return program_output.Picture(background, *shapes, (None, BEACON))


OWN_VIEW = picture("blue")
BADGE_SHOWN = picture("blue", ("white", BADGE))


def window(feed, colour=None, **layout):
    """The own view with the window of feed at rest."""
    return picture("blue", (colour or FEED_COLOUR[feed], window_box(feed, **layout)))


def squad_pov(feed):
    """A feed full-screen as the user placed it: Cam A keeps its crop, so
    the own view shows beside it."""
    if feed == "Cam A":
        return picture("blue", ("red", (CAM_A_CROP, 0, CANVAS[0] - CAM_A_CROP, CANVAS[1])))
    return picture(FEED_COLOUR[feed])


class StudioMode(support.Polling, support.LinkRequests, support.PluginTestCase):
    """One OBS for the file. Every test starts in studio mode with Main on
    program and preview, a fresh program copy of it, a Cut as the
    transition, the own view only, and the beacon at step 0."""

    WAIT = WAIT

    session_options = SESSION_OPTIONS
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.session.wait_for_log(support.WEBSOCKET_STARTED)
        cls.obs = support.ObsWebSocket(event_subscriptions=TRANSITION_EVENTS)
        cls.addClassCleanup(cls.obs.close)

    def setUp(self):
        self.client = support.linked_client(self.session)
        self.addCleanup(self.client.close)
        self.expected = []
        self.start_from_own_view()

    def start_from_own_view(self):
        self.assertEqual(self.request("dual.hide"), {"ok": True})
        self.assertEqual(self.request("pov.hide"), {"ok": True})
        self.wait_until(self.feeds_shown, [])
        self.wait_until(self.windows_shown, [])
        self.set_studio_mode(False)
        self.obs.call("SetCurrentSceneTransition", transitionName="Cut")
        self.obs.call("SetCurrentProgramScene", sceneName="Main")
        self.obs.call("SetSceneItemEnabled", sceneName="Main", sceneItemId=BADGE_ID, sceneItemEnabled=False)
        self.set_beacon(0)
        # Switched on, studio mode puts a new copy of Main on program.
        self.set_studio_mode(True)
        self.assertEqual(
            (
                self.obs.call("GetCurrentProgramScene")["currentProgramSceneName"],
                self.obs.call("GetCurrentPreviewScene")["currentPreviewSceneName"],
            ),
            ("Main", "Main"),
        )
        self.assertEqual(self.flags(), {"povShown": False, "dualShown": False})

    # -- OBS through obs-websocket (the preview side) ------------------------

    def set_studio_mode(self, enabled):
        # obs-websocket switches studio mode on OBS's UI thread and waits.
        self.obs.call("SetStudioModeEnabled", studioModeEnabled=enabled)
        self.assertEqual(self.obs.call("GetStudioModeEnabled")["studioModeEnabled"], enabled)

    def set_beacon(self, number):
        colour = program_output.obs_color(program_output.BEACON_CODES[number])
        self.obs.call("SetInputSettings", inputName="Beacon", inputSettings={"color": colour})

    def main_items(self):
        return self.obs.call("GetSceneItemList", sceneName="Main")["sceneItems"]

    def feeds_shown(self):
        """The feeds whose own items in Main are visible."""
        return sorted(
            item["sourceName"]
            for item in self.main_items()
            if item["sceneItemId"] in (CAM_A_ID, CAM_B_ID) and item["sceneItemEnabled"]
        )

    def windows_shown(self):
        """(source, transform) of every visible window in Main."""
        return [
            (item["sourceName"], item["sceneItemTransform"])
            for item in self.main_items()
            if item["sceneItemId"] not in USER_ITEM_IDS and item["sceneItemEnabled"]
        ]


    def wait_for_window_at_rest(self, feed, w, since):
        """Waits until Main's window of feed is visible, w of the canvas
        wide, and still over a few frames, once its pop-in (from since) is
        over."""
        deadline = time.monotonic() + WAIT

        def resting():
            return [
                round(transform["boundsWidth"], 2)
                for source, transform in self.windows_shown()
                if source == feed
            ] == [round(CANVAS[0] * w, 2)]

        while True:
            if time.monotonic() - since > POP_IN + 0.05 and resting():
                time.sleep(0.1)
                if resting():
                    return
            if time.monotonic() > deadline:
                self.fail("no window of %s at rest in Main: %r" % (feed, self.windows_shown()))
            time.sleep(POLL)

    def take_transition_events(self):
        return [event["eventType"] for event in self.obs.take_events()]

    def wait_for_transition_end(self):
        """Waits for the end of a transition started since the last
        take_transition_events."""
        deadline = time.monotonic() + WAIT
        while "SceneTransitionEnded" not in self.take_transition_events():
            if time.monotonic() > deadline:
                self.fail("no end of the transition within %g s" % WAIT)
            time.sleep(POLL)
        self.wait_until(lambda: self.obs.call("GetCurrentSceneTransitionCursor")["transitionCursor"], 1.0)

    # -- steps and the recording ---------------------------------------------

    @contextlib.contextmanager
    def recording(self, start=OWN_VIEW):
        """Records the program while the body runs its steps; afterwards
        the returned object's steps hold the frames of each step."""
        self.expected = [("at the start", start)]
        program = types.SimpleNamespace()
        with program_output.Recording(self.obs, self.session.recordings_dir) as recording:
            time.sleep(HOLD)
            yield program
            time.sleep(HOLD)
        program.steps = program_output.Steps(program_output.read_points(recording.path, CANVAS, POINTS))

    def step(self, label, settled):
        """Starts the next step: the last one's picture held, the beacon
        moved on. settled is the Picture the program should settle on."""
        time.sleep(HOLD)
        self.expected.append((label, settled))
        self.set_beacon(len(self.expected) - 1)
        time.sleep(BEACON_LEAD)

    def assert_program(self, program):
        """Each step's last frame shows the picture the step should have
        settled on."""
        self.assertEqual(len(program.steps), len(self.expected), "steps seen on program")
        wrong = {}
        for number, (label, settled) in enumerate(self.expected):
            differences = settled.differences(program.steps.last(number), POINTS, COLOURS)
            if differences:
                wrong["step %d, %s" % (number, label)] = differences
        self.assertEqual(wrong, {}, "the program picture after each step")

    def colours_at(self, program, point):
        """The colour names of a point in every frame, repeats collapsed."""
        frames = program.steps.all_frames()
        return program_output.collapse(program_output.name_of(frame[point], COLOURS) for frame in frames)

    # -- dual POV and squad POV steps ----------------------------------------

    def show_window(self, args, feed):
        sent = time.monotonic()
        slot = args.get("slot", 0)
        self.assertEqual(
            self.request("dual.show", args), {"ok": True, "data": {"source": feed, "slot": slot, "shown": True}}
        )
        self.wait_for_window_at_rest(feed, args.get("w", 0.26), sent)

    def hide_window(self):
        self.assertEqual(self.request("dual.hide"), {"ok": True})
        self.wait_until(self.windows_shown, [])

    def show_pov(self, slot, feed):
        self.assertEqual(self.request("pov.show", {"slot": slot}), {"ok": True})
        self.wait_until(self.feeds_shown, [feed])

    def hide_pov(self):
        self.assertEqual(self.request("pov.hide"), {"ok": True})
        self.wait_until(self.feeds_shown, [])

    # -- the tests -----------------------------------------------------------

    def test_scene_set_changes_the_program_and_waits_for_a_running_fade(self):
        # Long enough that the second request surely lands inside the fade,
        # even when OBS's UI thread is slow to take it on a busy machine.
        self.obs.call("SetCurrentSceneTransition", transitionName="Fade")
        self.obs.call("SetCurrentSceneTransitionDuration", transitionDuration=3000)
        with self.recording() as program:
            self.step("scene.set Lobby, then Break during the fade", picture("yellow"))
            self.take_transition_events()
            self.assertEqual(self.request("scene.set", {"name": "Lobby"}), {"ok": True, "data": {"previous": "Main"}})
            deadline = time.monotonic() + WAIT
            cursor = 0.0
            while cursor <= 0.0 and time.monotonic() < deadline:
                cursor = self.obs.call("GetCurrentSceneTransitionCursor")["transitionCursor"]
            self.assertLess(cursor, 1.0, "the fade to Lobby is over before it was seen running")
            self.assertEqual(
                self.request("scene.set", {"name": "Break"}),
                {
                    "ok": False,
                    "error": "OBS is in the middle of a transition; try again",
                    "data": {"previous": "Lobby"},
                },
            )
            self.wait_for_transition_end()
            self.assertEqual(self.obs.call("GetCurrentProgramScene")["currentProgramSceneName"], "Lobby")

            self.step("scene.set Break after the fade", picture("magenta"))
            self.assertEqual(self.request("scene.set", {"name": "Break"}), {"ok": True, "data": {"previous": "Lobby"}})
            self.wait_for_transition_end()
            self.assertEqual(self.obs.call("GetCurrentProgramScene")["currentProgramSceneName"], "Break")
        self.assert_program(program)
        # Two real fades, each through mixed colours, and nothing of Break
        # before Lobby was fully on program.
        mixed = program_output.BETWEEN
        self.assertEqual(self.colours_at(program, VIEW), ["blue", mixed, "yellow", mixed, "magenta"])
        log = self.session.log_text()
        self.assertIn("[tessil-link] scene: Main -> Lobby", log)
        self.assertEqual(log.count("[tessil-link] scene: Lobby -> Break"), 1)

    def test_item_visible_changes_the_program_at_once(self):
        # A fade as the transition: the item must not come through one.
        self.obs.call("SetCurrentSceneTransition", transitionName="Fade")
        self.obs.call("SetCurrentSceneTransitionDuration", transitionDuration=1000)
        found = lambda visible: {"ok": True, "data": {"found": True, "visible": visible}}  # noqa: E731
        steps = [
            # label, item.visible arguments, reply, program picture after
            ("visible", {"name": "Badge", "visible": True}, found(True), BADGE_SHOWN),
            # The first item found is the preview's, visible: all hidden.
            ("toggle", {"name": "Badge", "toggle": True}, found(False), OWN_VIEW),
            ("visible in Main", {"name": "Badge", "visible": True, "scene": "Main"}, found(True), BADGE_SHOWN),
            ("hidden", {"name": "Badge", "visible": False}, found(False), OWN_VIEW),
        ]
        with self.recording() as program:
            # Shown on the preview side only, the badge stays off program:
            # program shows a copy of Main.
            self.step("badge shown through obs-websocket", OWN_VIEW)
            self.obs.call("SetSceneItemEnabled", sceneName="Main", sceneItemId=BADGE_ID, sceneItemEnabled=True)
            for label, args, reply, settled in steps:
                self.step("item.visible " + label, settled)
                self.assertEqual(self.request("item.visible", args), reply)
        self.assert_program(program)
        # At once: no frame between shown and hidden, no scene change.
        self.assertEqual(self.colours_at(program, "badge"), ["blue", "white", "blue", "white", "blue"])
        self.assertEqual(self.colours_at(program, VIEW), ["blue"])

    def test_pov_show_and_hide_swap_the_program_picture(self):
        with self.recording() as program:
            self.step("pov.show Cam B", squad_pov("Cam B"))
            self.show_pov(1, "Cam B")
            self.step("pov.show Cam A", squad_pov("Cam A"))
            self.show_pov(0, "Cam A")
            self.step("pov.hide", OWN_VIEW)
            self.hide_pov()
        self.assert_program(program)

    def test_dual_show_and_hide_put_the_window_on_program(self):
        with self.recording() as program:
            self.step("dual.show Cam A", window("Cam A", w=0.4))
            self.show_window({"slot": 0, "w": 0.4}, "Cam A")
            self.step("dual.show Cam B elsewhere", window("Cam B", x=0.5, y=0.3, w=0.3))
            self.show_window({"slot": 1, "x": 0.5, "y": 0.3, "w": 0.3}, "Cam B")
            self.step("dual.hide", OWN_VIEW)
            self.hide_window()
        self.assert_program(program)

    def test_window_goes_on_behaving_after_a_new_program_copy(self):
        half = {"w": 0.4, "opacity": 0.5}
        with self.recording() as program:
            self.step("dual.show at half opacity", window("Cam A", "half red", w=0.4))
            self.show_window(half, "Cam A")
            # Preview (Main) to program: program gets a new copy of Main,
            # with the window in it.
            self.step("studio mode transition", window("Cam A", "half red", w=0.4))
            self.take_transition_events()
            self.obs.call("TriggerStudioModeTransition")
            self.wait_for_transition_end()
            self.step("dual.hide", OWN_VIEW)
            self.hide_window()
            # One window again, at the same opacity (two stacked would be
            # redder) and with the feed's crop.
            self.step("dual.show again", window("Cam A", "half red", w=0.4))
            self.show_window(half, "Cam A")
            # Moved in place: nothing stays behind where it was.
            self.step("dual.show moved", window("Cam A", "half red", x=0.5, w=0.4))
            self.show_window(dict(half, x=0.5), "Cam A")
            self.step("dual.hide again", OWN_VIEW)
            self.hide_window()
            # The user's own item of the feed keeps its crop.
            self.step("pov.show Cam A", squad_pov("Cam A"))
            self.show_pov(0, "Cam A")
            self.step("pov.hide", OWN_VIEW)
            self.hide_pov()
        self.assert_program(program)

    def test_studio_mode_switched_while_the_window_is_shown(self):
        with self.recording() as program:
            self.step("dual.show", window("Cam A", w=0.4))
            self.show_window({"w": 0.4}, "Cam A")
            self.step("studio mode off", window("Cam A", w=0.4))
            self.set_studio_mode(False)
            self.step("dual.hide", OWN_VIEW)
            self.hide_window()
            self.step("dual.show outside studio mode", window("Cam A", w=0.4))
            self.show_window({"w": 0.4}, "Cam A")
            self.step("studio mode on", window("Cam A", w=0.4))
            self.set_studio_mode(True)
            self.step("dual.hide in studio mode", OWN_VIEW)
            self.hide_window()
            self.step("studio mode off again", OWN_VIEW)
            self.set_studio_mode(False)
            self.step("studio mode on again", OWN_VIEW)
            self.set_studio_mode(True)
        self.assert_program(program)

    def test_studio_mode_switched_while_a_squad_pov_is_on(self):
        with self.recording() as program:
            self.step("pov.show Cam B", squad_pov("Cam B"))
            self.show_pov(1, "Cam B")
            self.step("studio mode off", squad_pov("Cam B"))
            self.set_studio_mode(False)
            self.step("pov.hide", OWN_VIEW)
            self.hide_pov()
            self.step("pov.show Cam A outside studio mode", squad_pov("Cam A"))
            self.show_pov(0, "Cam A")
            self.step("studio mode on", squad_pov("Cam A"))
            self.set_studio_mode(True)
            self.step("pov.hide in studio mode", OWN_VIEW)
            self.hide_pov()
            self.step("studio mode off again", OWN_VIEW)
            self.set_studio_mode(False)
            self.step("studio mode on again", OWN_VIEW)
            self.set_studio_mode(True)
        self.assert_program(program)


if __name__ == "__main__":
    unittest.main()
