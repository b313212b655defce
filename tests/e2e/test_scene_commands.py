"""Scene, item and overlay commands of the link against real OBS, with
obs-websocket as the independent view of OBS's scenes, items, mute states,
source settings and transforms."""

import re
import unittest

from . import support
from .support import obs_session as obs

CANVAS = {"w": 1280, "h": 720}
NEEDS_VISIBLE = 'item.visible needs "visible": true or false, or "toggle": true'


def group(name, items):
    """A group as a scene collection holds it (under "groups")."""
    source = obs.scene(name, items)
    source["id"] = source["versioned_id"] = "group"
    source["settings"].update(custom_size=True, cx=320, cy=180)
    return source


def media_source(name):
    """A media source without a file: it has audio (a mute state) and
    draws nothing."""
    return {
        "id": "ffmpeg_source",
        "versioned_id": "ffmpeg_source",
        "name": name,
        "settings": {"is_local_file": True, "local_file": ""},
    }


# Main, bottom to top: Background, Cam, the group (Logo, Text), Cam again, Alert.
COLLECTION = obs.collection(
    [
        obs.scene(
            "Main",
            [
                obs.scene_item("Background", 1),
                obs.scene_item("Cam", 2),
                obs.scene_item("Overlay Group", 3),
                obs.scene_item("Cam", 4),
                obs.scene_item("Alert", 5),
            ],
        ),
        obs.scene("Second", [obs.scene_item("Cam", 1), obs.scene_item("Alert", 2)]),
        obs.scene("Overlays"),
    ],
    [obs.color_source(name) for name in ("Background", "Cam", "Logo", "Text")] + [media_source("Alert")],
    groups=[group("Overlay Group", [obs.scene_item("Logo", 1), obs.scene_item("Text", 2)])],
)
# A cut: a fade still running from one test into the next could report its
# scene again when it ends.
COLLECTION["current_transition"] = "Cut"


class SceneCommands(support.LinkRequests, support.PluginTestCase):
    session_options = {"websocket": True, "collection": COLLECTION}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.session.wait_for_log(support.WEBSOCKET_STARTED)
        cls.obs = support.ObsWebSocket()
        cls.addClassCleanup(cls.obs.close)

    def setUp(self):
        self.client = support.linked_client(self.session)
        self.addCleanup(self.client.close)

    # -- what obs-websocket sees -------------------------------------------

    def current_scene(self):
        return self.obs.call("GetCurrentProgramScene")["currentProgramSceneName"]

    def items(self, container, is_group=False):
        """Items of a scene or group, bottom to top (sceneItemIndex 0 is the
        bottom)."""
        request = "GetGroupSceneItemList" if is_group else "GetSceneItemList"
        items = self.obs.call(request, sceneName=container)["sceneItems"]
        return sorted(items, key=lambda item: item["sceneItemIndex"])

    def listed_names(self, scene):
        """A scene's item names top-most first, each group followed by its
        children as "group/child", every name once."""
        names = []
        for item in reversed(self.items(scene)):
            candidates = [item["sourceName"]]
            if item["isGroup"]:
                group_name = item["sourceName"]
                children = reversed(self.items(group_name, is_group=True))
                candidates += ["%s/%s" % (group_name, child["sourceName"]) for child in children]
            names += [name for name in candidates if name not in names]
        return names

    # -- scenes.list -------------------------------------------------------

    def test_scenes_list_matches_obs(self):
        reply = self.request("scenes.list")
        self.assertEqual(set(reply), {"ok", "data"})
        self.assertTrue(reply["ok"])
        # obs-websocket numbers scenes from the bottom of OBS's list.
        scenes = sorted(self.obs.call("GetSceneList")["scenes"], key=lambda s: -s["sceneIndex"])
        expected = {
            "current": self.current_scene(),
            "scenes": [{"name": s["sceneName"], "items": self.listed_names(s["sceneName"])} for s in scenes],
        }
        self.assertEqual(reply["data"], expected)
        listed = {scene["name"]: scene["items"] for scene in reply["data"]["scenes"]}
        self.assertEqual(list(listed)[:2], ["Main", "Second"])
        self.assertEqual(
            listed["Main"],
            ["Alert", "Cam", "Overlay Group", "Overlay Group/Text", "Overlay Group/Logo", "Background"],
        )
        self.assertEqual(listed["Second"], ["Alert", "Cam"])

    # -- scene.set and scene.current ---------------------------------------

    def test_scene_set_and_scene_current(self):
        if self.current_scene() != "Main":
            self.obs.call("SetCurrentProgramScene", sceneName="Main")
            self.client.next_event("scene.changed", name="Main")
        switched = lambda previous: {"ok": True, "data": {"previous": previous}}  # noqa: E731
        failed = lambda error: {"ok": False, "error": error, "data": {"previous": "Main"}}  # noqa: E731
        steps = [
            # command, args, reply without envelope, current scene after
            ("scene.set", {"name": "Second"}, switched("Main"), "Second"),
            ("scene.current", {"name": "Main"}, switched("Second"), "Main"),
            ("scene.set", {"name": "Main"}, switched("Main"), "Main"),
            ("scene.set", {"name": "main"}, failed("no scene named main"), "Main"),
            ("scene.current", {"name": "Nowhere"}, failed("no scene named Nowhere"), "Main"),
            ("scene.set", {}, failed("no scene name given"), "Main"),
        ]
        for cmd, args, reply, current in steps:
            with self.subTest(cmd=cmd, args=args):
                before = self.current_scene()
                self.assertEqual(self.request(cmd, args), reply)
                self.assertEqual(self.current_scene(), current)
                if current != before:
                    self.client.next_event("scene.changed", name=current)
        log = self.session.log_text()
        self.assertIn("[tessil-link] scene: Main -> Second", log)
        self.assertIn("[tessil-link] scene: Second -> Main", log)
        self.assertNotIn("[tessil-link] scene: Main -> Main", log)

    # -- item.visible ------------------------------------------------------

    def visibility(self):
        """Visibility of the items of interest (bottom to top) and mute
        states, as obs-websocket reports them."""
        state = {}
        for container, is_group in (("Main", False), ("Second", False), ("Overlay Group", True)):
            for item in self.items(container, is_group):
                state.setdefault("%s: %s" % (container, item["sourceName"]), []).append(item["sceneItemEnabled"])
        state["muted: Alert"] = self.obs.call("GetInputMute", inputName="Alert")["inputMuted"]
        return state

    def hide_top_cam_of_main(self):
        top_cam = [item for item in self.items("Main") if item["sourceName"] == "Cam"][-1]
        self.obs.call(
            "SetSceneItemEnabled", sceneName="Main", sceneItemId=top_cam["sceneItemId"], sceneItemEnabled=False
        )

    def test_item_visible(self):
        self.obs.call("SetCurrentProgramScene", sceneName="Main")
        found = lambda visible: {"ok": True, "data": {"found": True, "visible": visible}}  # noqa: E731
        failed = lambda error: {"ok": False, "error": error, "data": {"found": False}}  # noqa: E731
        steps = [
            # args (or a change made through obs-websocket), reply, state changes
            ({"name": "Cam", "visible": False, "scene": "Main"}, found(False), {"Main: Cam": [False, False]}),
            # A true "toggle" wins over "visible".
            ({"name": "Cam", "toggle": True, "visible": False}, found(True), {"Main: Cam": [True, True]}),
            (self.hide_top_cam_of_main, None, {"Main: Cam": [True, False]}),
            # Toggle follows the first match (the bottom one, shown): all hidden.
            ({"name": "Cam", "toggle": True}, found(False), {"Main: Cam": [False, False]}),
            ({"name": "Cam", "visible": True}, found(True), {"Main: Cam": [True, True]}),
            ({"name": "Overlay Group/Logo", "visible": False}, found(False), {"Overlay Group: Logo": [False]}),
            ({"name": "Logo", "visible": True, "scene": "Main"}, found(True), {"Overlay Group: Logo": [True]}),
            ({"name": "Alert", "visible": False, "scene": "Second"}, found(False), {"Second: Alert": [False]}),
            (
                {"name": "Alert", "visible": False, "allScenes": True, "scene": "Nowhere"},
                found(False),
                {"Main: Alert": [False], "muted: Alert": True},
            ),
            (
                {"name": "Alert", "visible": True, "allScenes": True},
                found(True),
                {"Main: Alert": [True], "Second: Alert": [True], "muted: Alert": False},
            ),
            ({"visible": True}, failed("no source name given"), {}),
            ({"name": "Ghost", "visible": True}, failed("no source named Ghost in scene Main"), {}),
            (
                {"name": "Ghost", "visible": True, "scene": "Second"},
                failed("no source named Ghost in scene Second"),
                {},
            ),
            ({"name": "Cam", "visible": False, "scene": "Nowhere"}, failed("no scene named Nowhere"), {}),
            (
                {"name": "Ghost", "visible": False, "allScenes": True, "scene": "Main"},
                failed("no source named Ghost in any scene"),
                {},
            ),
            ({"name": "Cam"}, {"ok": False, "error": NEEDS_VISIBLE}, {}),
            ({"name": "Cam", "visible": "false"}, {"ok": False, "error": NEEDS_VISIBLE}, {}),
        ]
        expected = self.visibility()
        self.assertEqual(
            expected,
            {
                "Main: Background": [True],
                "Main: Cam": [True, True],
                "Main: Overlay Group": [True],
                "Main: Alert": [True],
                "Second: Cam": [True],
                "Second: Alert": [True],
                "Overlay Group: Logo": [True],
                "Overlay Group: Text": [True],
                "muted: Alert": False,
            },
        )
        for args, reply, changes in steps:
            with self.subTest(args=args if isinstance(args, dict) else args.__name__):
                if callable(args):
                    args()
                else:
                    self.assertEqual(self.request("item.visible", args), reply)
                expected.update(changes)
                self.assertEqual(self.visibility(), expected)

    # -- overlays.install --------------------------------------------------

    def test_overlays_install(self):
        self.obs.call("SetCurrentProgramScene", sceneName="Overlays")
        sources = [
            {"name": "Tessil Chat", "url": "http://127.0.0.1:47840/overlay/chat"},
            {"name": "Tessil Alerts", "url": "http://127.0.0.1:47840/overlay/alerts", "audio": True},
        ]
        first = self.request("overlays.install", {"sources": sources})
        self.assertEqual(first, {"ok": True, "data": {"added": 2, "updated": 0}})
        kinds = {i["inputName"]: i["inputKind"] for i in self.obs.call("GetInputList")["inputs"]}
        for source in sources:
            with self.subTest(source["name"]):
                self.assertEqual(kinds[source["name"]], "browser_source")
                settings = self.obs.call("GetInputSettings", inputName=source["name"])["inputSettings"]
                self.assertEqual(
                    settings,
                    {
                        "url": source["url"],
                        "width": CANVAS["w"],
                        "height": CANVAS["h"],
                        "reroute_audio": source.get("audio", False),
                        "shutdown": False,
                        "restart_when_active": False,
                    },
                )
                self.assertEqual(
                    self.placement("Overlays", source["name"]),
                    {
                        "positionX": 0.0,
                        "positionY": 0.0,
                        "boundsType": "OBS_BOUNDS_SCALE_INNER",
                        "boundsWidth": float(CANVAS["w"]),
                        "boundsHeight": float(CANVAS["h"]),
                    },
                )

        second = self.request("overlays.install", {"sources": sources})
        self.assertEqual(second, {"ok": True, "data": {"added": 0, "updated": 2}})
        names = sorted(item["sourceName"] for item in self.items("Overlays"))
        self.assertEqual(names, ["Tessil Alerts", "Tessil Chat"])
        self.session.wait_for_log(re.escape("[tessil-link] overlays: 0 added, 2 updated"))
        self.assertIn("[tessil-link] overlays: 2 added, 0 updated", self.session.log_text())

    def placement(self, scene, source_name):
        item_id = self.obs.call("GetSceneItemId", sceneName=scene, sourceName=source_name)["sceneItemId"]
        transform = self.obs.call("GetSceneItemTransform", sceneName=scene, sceneItemId=item_id)
        keys = ("positionX", "positionY", "boundsType", "boundsWidth", "boundsHeight")
        return {key: transform["sceneItemTransform"][key] for key in keys}

if __name__ == "__main__":
    unittest.main()
