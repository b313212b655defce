"""The benchmark's scene collection: 30 scenes of 10 to 20 items, ten of
them holding a group of four, all colour sources (cheap to draw under
software OpenGL), with a cut as the transition."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))

import obs_session as obs  # noqa: E402  (needs the path above)

SCENE_COUNT = 30
SOURCE_COUNT = 60
GROUP_COUNT = 10
GROUP_SIZE = 4

# The pair that "scene.set" switches between.
SWITCH_SCENES = ("Scene 01", "Scene 02")
# The scene whose top-most item "item.visible" toggles while it is the
# program scene, and one that is not shown.
PROGRAM_TOGGLE_SCENE = "Scene 01"
HIDDEN_TOGGLE_SCENE = "Scene 10"


def scene_name(index):
    return "Scene %02d" % (index + 1)


def source_name(index):
    return "Source %02d" % (index + 1)


def group_name(index):
    return "Group %02d" % (index + 1)


def items_in_scene(index):
    """10 to 20 items, varying from scene to scene."""
    return 10 + (index * 7) % 11


def group(name, items):
    source = obs.scene(name, items)
    source["id"] = source["versioned_id"] = "group"
    source["settings"].update(custom_size=True, cx=320, cy=180)
    return source


def build():
    """(collection dict, {scene name: top-level source names bottom to top},
    {group name: child names bottom to top})."""
    sources = [
        obs.color_source(source_name(i), width=160, height=90, color=0xFF000000 | (i * 0x0A1B2C) & 0xFFFFFF)
        for i in range(SOURCE_COUNT)
    ]
    groups, group_children = [], {}
    for g in range(GROUP_COUNT):
        children = [source_name((g * 5 + k) % SOURCE_COUNT) for k in range(GROUP_SIZE)]
        groups.append(group(group_name(g), [obs.scene_item(child, k + 1) for k, child in enumerate(children)]))
        group_children[group_name(g)] = children

    scenes, layout = [], {}
    for s in range(SCENE_COUNT):
        count = items_in_scene(s)
        names = [source_name((s * 3 + k * 2) % SOURCE_COUNT) for k in range(count)]
        if s < GROUP_COUNT:
            names[count // 2] = group_name(s)  # the group among the items
        items = [
            obs.scene_item(name, k + 1, pos={"x": float(40 * k % 1120), "y": float(30 * k % 630)})
            for k, name in enumerate(names)
        ]
        scenes.append(obs.scene(scene_name(s), items))
        layout[scene_name(s)] = names

    collection = obs.collection(scenes, sources, name="Bench", groups=groups)
    collection["current_transition"] = "Cut"
    return collection, layout, group_children


def toggle_target(layout, scene):
    """(scene, source) of the item that "item.visible" toggles in a scene."""
    return scene, layout[scene][-1]


def item_count(layout, group_children):
    top = sum(len(names) for names in layout.values())
    inner = sum(len(group_children[name]) for names in layout.values() for name in names if name in group_children)
    return top, inner
