#!/usr/bin/python3
"""Writes the seed corpus of fuzz_requests into fuzz/corpus/requests.

Each seed is: a byte saying how the message is made and who sends it, a
byte of things that happen in OBS around it, then either the message's JSON
text or, for built requests, a command/id selector byte and the "args" JSON
text (see fuzz_requests.cpp). The names are those of the target's scene
graph: scenes "Main", "Alt" and "Empty", feeds "Game", "Cam A", "Cam B",
"Cam C", the groups "Squad" and "Team/1", the overlay "Scoreboard".

    make_request_seeds.py            writes the seeds (same bytes every run)
    make_request_seeds.py --dict F   writes the libFuzzer dictionary to F
"""

import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "requests")

# Byte 0.
BUILT = 0x01
UNLINKED = 0x06
POV_TWO = 1 << 3
POV_NONE = 2 << 3
POV_ODD = 3 << 3

# Byte 1.
STUDIO = 0x01
FINISH = 0x02
RESET = 0x04
ALT = 0x08
REPLAY = 0x10
NEXT_SCENE = 0x20
RENAME = 0x40
DROP_STEPS = 0x80

COMMANDS = ["status", "replay.save", "replay.start", "replay.stop",
            "overlays.install", "scenes.list", "scene.set", "scene.current",
            "item.visible", "pov.show", "pov.hide", "dual.show", "dual.hide"]
WRONG_CASE, WITH_BLANK, NO_CMD = 13, 14, 15

# The "id" variants of built requests (high four bits of the selector).
ID_NONE, ID_7, ID_STRING, ID_FRACTION, ID_MINUS_ONE, ID_MAX = 0, 1, 2, 3, 4, 5
ID_TOO_BIG, ID_MIN, ID_TOO_SMALL, ID_HUGE, ID_TRUE, ID_NULL = 6, 7, 8, 9, 10, 11


def text(value):
    return json.dumps(value, separators=(",", ":"),
                      ensure_ascii=False).encode("utf-8")


def message(msg, around=0, how=0):
    return bytes([how & ~BUILT, around]) + (
        msg if isinstance(msg, bytes) else text(msg))


def req(cmd, args=None, around=0, how=0, rid=1):
    msg = {"op": "req", "id": rid, "cmd": cmd}
    if args is not None:
        msg["args"] = args
    return message(msg, around, how)


def built(command, id_code, args, around=0, how=0):
    body = args if isinstance(args, bytes) else text(args)
    return bytes([how | BUILT, around, (id_code << 4) | command]) + body


def cmd(name):
    return COMMANDS.index(name)


OVERLAYS = [{"name": "Chat", "url": "http://127.0.0.1:47840/chat",
             "audio": True},
            {"name": "Scoreboard", "url": "http://127.0.0.1:47840/score"}]

SEEDS = {
    # Linking and the envelope.
    "auth_right_token": message(
        {"op": "auth", "token": "fuzz-token", "app": "Tessil",
         "version": "1.2"}, how=UNLINKED),
    "auth_wrong_token": message(
        {"op": "auth", "token": "fuzz-tokeN"}, how=UNLINKED),
    "auth_token_number": message({"op": "auth", "token": 7}, how=UNLINKED),
    "req_before_auth": message({"op": "req", "id": 1, "cmd": "status"},
                               how=UNLINKED),
    "second_auth_ignored": message({"op": "auth", "token": "fuzz-token"}),
    "other_ops_ignored": message({"op": "event", "event": "hotkey"}),
    "no_op": message({"id": 1, "cmd": "status"}),
    "op_not_text": message({"op": ["req"], "cmd": "status"}),
    "req_without_id": message({"op": "req", "cmd": "replay.start"}),
    "id_as_string": req("replay.stop", rid="7"),
    "id_fraction": req("status", rid=7.5),
    "id_too_big": req("status", rid=2147483648),
    "id_min": req("status", rid=-2147483648),
    "no_cmd": message({"op": "req", "id": 4}),
    "cmd_capital": req("Status"),
    "cmd_number": message({"op": "req", "id": 2, "cmd": 5}),
    "args_array": message({"op": "req", "id": 2, "cmd": "dual.show",
                           "args": [1, 2]}),

    # Status and replay.
    "status": req("status"),
    "replay_save_off": req("replay.save"),
    "replay_save_on": req("replay.save", around=REPLAY),
    "replay_start": req("replay.start", {"ignored": True}),

    # Overlays.
    "overlays_two": req("overlays.install", {"sources": OVERLAYS}),
    "overlays_odd_elements": req(
        "overlays.install",
        {"sources": [1, None, {"name": ""}, {"name": "Cam A", "url": 5},
                     {"name": "Tessil \u00b7 chat"}, [], "x"]}),
    "overlays_object": req("overlays.install",
                           {"sources": {"name": "Chat"}}),
    "overlays_no_scene": req("overlays.install", {"sources": OVERLAYS},
                             around=ALT | NEXT_SCENE),

    # Scenes.
    "scenes_list": req("scenes.list"),
    "scene_set_alt": req("scene.set", {"name": "Alt"}),
    "scene_current_main": req("scene.current", {"name": "Main"}),
    "scene_set_empty_name": req("scene.set", {"name": ""}),
    "scene_set_wrong_case": req("scene.set", {"name": "main"}),
    "scene_set_not_text": req("scene.set", {"name": ["Alt"]}),
    "scene_set_studio": req("scene.set", {"name": "Empty"}, around=STUDIO),
    "scenes_list_studio": req("scenes.list", around=STUDIO | NEXT_SCENE),

    # Item visibility.
    "item_hide_game": req("item.visible", {"name": "Game", "visible": False}),
    "item_toggle_cam": req("item.visible", {"name": "Cam A", "toggle": True}),
    "item_group_path": req("item.visible",
                           {"name": "Squad/Cam A", "visible": True}),
    "item_slash_group": req("item.visible",
                            {"name": "Team/1/Cam C", "visible": True,
                             "scene": "Alt"}),
    "item_group_child": req("item.visible",
                            {"name": "Cam C", "toggle": True,
                             "visible": "x"}),
    "item_all_scenes": req("item.visible",
                           {"name": "Cam B", "visible": False,
                            "allScenes": True}),
    "item_nowhere": req("item.visible",
                        {"name": "Nope", "visible": True, "allScenes": True,
                         "scene": "Alt"}),
    "item_no_scene": req("item.visible",
                         {"scene": "Nope", "name": "Game", "visible": True}),
    "item_visible_string": req("item.visible",
                               {"name": "Cam A", "visible": "true"}),
    "item_no_name": req("item.visible", {"toggle": True}),
    "item_studio": req("item.visible", {"name": "Cam B", "visible": True},
                       around=STUDIO),
    "item_reserved": req("item.visible",
                         {"name": "Tessil \u00b7 chat", "toggle": True}),

    # Squad POV.
    "pov_show": req("pov.show", {"slot": 0}),
    "pov_show_clamped": req("pov.show", {"slot": -3}),
    "pov_show_late": req("pov.show", {"slot": 7, "delayMs": 3}),
    "pov_show_far": req("pov.show", {"slot": 1, "delayMs": 1000000}),
    "pov_show_none": req("pov.show", {"slot": 0}, how=POV_NONE),
    "pov_show_odd_list": req("pov.show", {"slot": 1}, how=POV_ODD),
    "pov_show_dropped": req("pov.show", {"slot": 1, "delayMs": 1},
                            around=DROP_STEPS),
    "pov_hide": req("pov.hide"),
    "pov_hide_min_shown": req("pov.hide", {"delayMs": 200,
                                           "minShownMs": 5000}),
    "pov_hide_negative": req("pov.hide", {"delayMs": -5,
                                          "minShownMs": -2147483648}),
    "pov_show_studio": req("pov.show", {"slot": 1}, around=STUDIO),

    # Dual POV.
    "dual_show": req("dual.show"),
    "dual_show_clamped": req("dual.show",
                             {"slot": 1, "x": -0.5, "y": 2, "w": 0.001,
                              "opacity": 0}),
    "dual_show_faded": req("dual.show", {"opacity": 0.5, "x": 0.7}),
    "dual_show_strings": req("dual.show",
                             {"opacity": "0.5", "slot": "1", "w": None}),
    "dual_show_extremes": req("dual.show",
                              {"x": 1e308, "w": 1e-300, "y": -0.0,
                               "opacity": 0.9995}),
    "dual_show_finished": req("dual.show", {"slot": 1}, around=FINISH),
    "dual_show_missing": req("dual.show", {"slot": 1}, how=POV_ODD),
    "dual_show_renamed": req("dual.show", {"slot": 1}, around=RENAME),
    "dual_show_next_scene": req("dual.show", around=NEXT_SCENE),
    "dual_show_studio": req("dual.show", {"opacity": 0.3}, around=STUDIO),
    "dual_show_reset": req("dual.show", around=RESET),
    "dual_show_alt_gone": req("dual.show", around=ALT),
    "dual_hide": req("dual.hide"),
    "dual_hide_finished": req("dual.hide", around=FINISH),

    # Built requests: each command with its id variants.
    "built_status": built(cmd("status"), ID_FRACTION, {}),
    "built_replay_save": built(cmd("replay.save"), ID_STRING, b"",
                               around=REPLAY),
    "built_overlays": built(cmd("overlays.install"), ID_MAX,
                            {"sources": OVERLAYS[:1]}),
    "built_scene_set": built(cmd("scene.set"), ID_TOO_BIG, {"name": "Alt"}),
    "built_scene_current": built(cmd("scene.current"), ID_MIN,
                                 {"name": "Empty"}),
    "built_item_visible": built(cmd("item.visible"), ID_TOO_SMALL,
                                {"name": "Squad", "toggle": True}),
    "built_pov_show": built(cmd("pov.show"), ID_HUGE,
                            {"slot": 2147483647, "delayMs": 0}),
    "built_pov_hide": built(cmd("pov.hide"), ID_TRUE,
                            {"delayMs": 2147483647}),
    "built_dual_show": built(cmd("dual.show"), ID_NULL,
                             {"slot": 1, "opacity": 0.4}),
    "built_dual_hide": built(cmd("dual.hide"), ID_MINUS_ONE, b"[]"),
    "built_wrong_case": built(WRONG_CASE, ID_7, {}),
    "built_with_blank": built(WITH_BLANK, ID_NONE, {}),
    "built_no_cmd": built(NO_CMD, 15, b"not json"),

    # Regression: a rename right after scenes were deleted (studio copy,
    # "Alt") once raced with libobs's destroy thread; the target now lets
    # the destruction finish first.
    "studio_alt_rename": bytes([0x6F, 0x6F, 0x03, 0xE4]),
}

DICTIONARY = [
    '"op"', '"req"', '"auth"', '"token"', '"fuzz-token"', '"app"',
    '"version"', '"id"', '"cmd"', '"args"', '"true"', "true", "false",
    "null", '"slot"', '"delayMs"', '"minShownMs"', '"x"', '"y"', '"w"',
    '"opacity"', '"name"', '"scene"', '"visible"', '"toggle"',
    '"allScenes"', '"sources"', '"url"', '"audio"', '"Main"', '"Alt"',
    '"Empty"', '"Game"', '"Cam A"', '"Cam B"', '"Cam B2"', '"Cam C"',
    '"Squad"', '"Squad/Cam A"', '"Team/1"', '"Team/1/Cam C"',
    '"Scoreboard"', '"Ghost"', '"Tessil \u00b7 chat"', "2147483647",
    "-2147483648", "2147483648", "1e308", "-0.5", "0.999", "1000000",
]
DICTIONARY += ['"%s"' % name for name in COMMANDS]


def quoted(token):
    """One libFuzzer dictionary token: quotes and backslashes escaped, bytes
    outside printable ASCII as \\xNN."""
    out = ""
    for b in token.encode("utf-8"):
        if b in (0x22, 0x5C):
            out += "\\" + chr(b)
        elif 0x20 <= b < 0x7F:
            out += chr(b)
        else:
            out += "\\x%02X" % b
    return '"' + out + '"'


def write_dictionary(path):
    with open(path, "w") as f:
        for i, token in enumerate(DICTIONARY):
            f.write("kw%d=%s\n" % (i, quoted(token)))


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--dict":
        write_dictionary(sys.argv[2])
        return
    os.makedirs(OUT, exist_ok=True)
    for name, data in sorted(SEEDS.items()):
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)
    print("wrote %d seeds to %s" % (len(SEEDS), OUT))


if __name__ == "__main__":
    main()
