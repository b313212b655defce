#!/usr/bin/python3
"""Prints the benchmark's one table and rewrites bench/RESULTS.md.

Inputs: the JSON of bench/live_bench.py, the outputs of bench_frames and
bench_dual_pov, and optionally the JSON of bench/profile_ui.py.

    /usr/bin/python3 bench/report.py --live live.json --frames frames.txt \\
        --dual dual.txt [--profile profile.json] [--results bench/RESULTS.md]
"""

import argparse
import datetime
import json
import os
import platform
import re
import subprocess

# (key, plug-in's request, what obs-websocket answers the same with). The
# first four carry the round-trip goals; the other two show what limits the
# fourth.
GOAL_CASES = ("status", "scenes.list", "scene.set", "item.visible")
CASES = [
    ("status", "status", "GetVersion"),
    ("scenes.list", "scenes.list", "GetSceneList + 2 batches"),
    ("scene.set", "scene.set", "SetCurrentProgramScene"),
    ("item.visible", "item.visible toggle, program scene", "GetSceneItemId + SetSceneItemEnabled"),
    ("item.visible spaced", "item.visible toggle, program scene, 3 ms apart", "the same"),
    ("item.visible hidden", "item.visible toggle, a scene not shown", "the same"),
]


def machine():
    def run(command):
        try:
            return subprocess.run(command, capture_output=True, text=True, check=False).stdout
        except OSError:
            return ""

    model = re.search(r"Model name:\s*(.+)", run(["lscpu"]))
    with open("/proc/meminfo") as f:
        memory_kib = int(re.search(r"MemTotal:\s*(\d+)", f.read()).group(1))
    debian = ""
    if os.path.exists("/etc/debian_version"):
        with open("/etc/debian_version") as f:
            debian = f.read().strip()
    return {
        "cores": os.cpu_count(),
        "model": model.group(1).strip() if model else platform.processor(),
        "memory_gib": memory_kib / 1024 / 1024,
        "debian": debian,
        "kernel": platform.release(),
    }


def parse_frames(text):
    """The (a) 8 MiB line of bench_frames: median ms."""
    for line in text.splitlines():
        if line.startswith("(a) pongs, one consumeInput"):
            fields = line.split()
            return {"min_ms": float(fields[-3]), "median_ms": float(fields[-2]), "ns_per_frame": float(fields[-1])}
    return None


def parse_dual(text):
    """Median and p99 (us) of each bench_dual_pov case."""
    cases = {}
    for line in text.splitlines():
        match = re.match(r"(\S.*?)\s{2,}([\d.]+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)$", line)
        if match:
            cases[match.group(1)] = {"median_us": float(match.group(3)), "p99_us": float(match.group(4))}
    return cases


def parse_connections(text):
    """bench_connection_memory's rows: {stage: (heap, resident) bytes per
    connection}, and the Qt version line."""
    rows = {}
    for line in text.splitlines():
        match = re.match(r"(\S.*?)\s{2,}(-?[\d.]+)\s+(-?[\d.]+)\s+(-?[\d.]+)\s+(-?[\d.]+)\s+(-?[\d.]+)$", line)
        if match:
            rows[match.group(1)] = (float(match.group(2)), float(match.group(3)))
    return rows


def ratio(a, b):
    return a / b if b else float("inf")


def verdict(ok):
    return "met" if ok else "MISSED"


class Table:
    def __init__(self):
        self.rows = []

    def add(self, *cells):
        self.rows.append([str(cell) for cell in cells])

    def rule(self):
        self.rows.append(None)

    def text(self):
        rows = [row for row in self.rows if row is not None]
        widths = [max(len(row[i]) for row in rows if i < len(row)) for i in range(max(len(r) for r in rows))]
        lines = []
        for row in self.rows:
            if row is None:
                lines.append("-" * (sum(widths) + 2 * (len(widths) - 1)))
                continue
            cells = [cell.ljust(widths[i]) if i == 0 else cell.rjust(widths[i]) for i, cell in enumerate(row)]
            lines.append("  ".join(cells).rstrip())
        return "\n".join(lines)

    def markdown(self):
        header = self.rows[0]
        lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
        for row in self.rows[1:]:
            if row is None:
                continue
            cells = [cell.replace("|", "\\|") for cell in row + [""] * (len(header) - len(row))]
            lines.append("| " + " | ".join(cells) + " |")
        return "\n".join(lines)


def fmt(value, digits=3):
    if value is None:
        return "-"
    if value == float("inf"):
        return "inf"
    return "%.*f" % (digits, value)


def build(live, frames, dual, profile, connections=None):
    """(table, goals [(goal, met, evidence)])."""
    table = Table()
    table.add("figure", "", "plug-in", "obs-websocket", "ratio", "goal")
    goals = []

    def goal(name, ok, evidence):
        goals.append((name, ok, evidence))
        return verdict(ok)

    rt = live["round_trips"]
    for key, mine, theirs in CASES:
        if key not in rt:
            continue
        p, o = rt[key]["plugin"], rt[key]["obs-websocket"]
        table.rule()
        for level in ("p50", "p90", "p99"):
            r = ratio(p[level], o[level])
            check = ""
            if level != "p90" and key in GOAL_CASES:
                check = "<= 0.5: " + goal("round trip, %s, %s: at most 0.5 x" % (mine, level), r <= 0.5, "%.2f" % r)
            label = "round trip (ms): %s | %s" % (mine, theirs) if level == "p50" else ""
            table.add(label, level, fmt(p[level]), fmt(o[level]), fmt(r, 2), check)
    table.rule()
    table.add("  (%d sequential requests per side and case)" % live["requests"], "", "", "", "", "")

    spaced = live.get("spaced_switches")
    if spaced:
        p, o = spaced["plugin"], spaced["obs-websocket"]
        table.rule()
        for level in ("p50", "p90", "p99"):
            r = ratio(p["reply"][level], o["reply"][level])
            check = ""
            if level != "p99":
                check = "<= 1: " + goal(
                    "scene switch with OBS quiet before it, %s: no slower than SetCurrentProgramScene" % level,
                    r <= 1.0,
                    "%.2f" % r,
                )
            label = (
                "scene switch, %.0f ms quiet before each (ms): scene.set | SetCurrentProgramScene" % spaced["quiet_ms"]
                if level == "p50"
                else ""
            )
            table.add(label, level, fmt(p["reply"][level]), fmt(o["reply"][level]), fmt(r, 2), check)
        for event, label in (
            ("CurrentProgramSceneChanged", "  program changed: obs-websocket's CurrentProgramSceneChanged after the request"),
            ("scene.changed", "  program changed: the plug-in's scene.changed after the request"),
        ):
            for level in ("p50", "p90"):
                r = ratio(p[event][level], o[event][level])
                check = ""
                if level == "p50" and event == "CurrentProgramSceneChanged":
                    check = "<= 1: " + goal(
                        "program change after scene.set, p50: no later than after SetCurrentProgramScene", r <= 1.0, "%.2f" % r
                    )
                table.add(label if level == "p50" else "", level, fmt(p[event][level]), fmt(o[event][level]), fmt(r, 2), check)
        table.add("  (%d switches per side, the two servers taking turns)" % p["reply"]["n"], "", "", "", "", "")

    pl = live["pipelined"]
    p, o = pl["plugin"], pl["obs-websocket"]
    table.rule()
    table.add(
        "pipelined (s, median of %d runs): %d status | %d GetVersion" % (len(p["runs"]), pl["count"], pl["count"]),
        "time",
        fmt(p["seconds"]),
        fmt(o["seconds"]),
        fmt(ratio(p["seconds"], o["seconds"]), 3),
        "",
    )
    speedup = ratio(o["seconds"], p["seconds"])
    table.add(
        "",
        "req/s",
        "%.0f" % p["per_second"],
        "%.0f" % o["per_second"],
        "x%.1f" % speedup,
        ">= x2: " + goal("pipelined throughput: at least 2 x", speedup >= 2, "x%.1f" % speedup),
    )

    for listeners, figures in sorted(live["events"].items(), key=lambda item: int(item[0])):
        table.rule()
        which = "last" if int(listeners) > 1 else "first"
        for level in ("p50", "p90", "p99"):
            pv, ov = figures["plugin"][which][level], figures["obs-websocket"][which][level]
            r = ratio(pv, ov)
            check = ""
            if level != "p90":
                check = "<= 1: " + goal(
                    "event latency, %s client%s, %s: no worse" % (listeners, "" if listeners == "1" else "s", level), r <= 1.0, "%.3f" % r
                )
            label = (
                "event (ms), %s client%s: scene.changed | CurrentProgramSceneChanged"
                % (listeners, "s, the last to receive" if which == "last" else "")
                if level == "p50"
                else ""
            )
            table.add(label, level, fmt(pv, 2), fmt(ov, 2), fmt(r, 3), check)
        paired = figures.get("plugin minus obs-websocket")
        if paired:
            table.add(
                "  per switch: plug-in's arrival minus obs-websocket's (ms)",
                "median",
                "%+.2f" % paired[which]["p50"],
                "",
                "",
                "",
            )

    idle = live["idle"]
    table.rule()
    nones = [idle[k]["cpu_s"] for k in ("none before", "none between", "none after")]
    none_mean = sum(nones) / len(nones)
    noise = max(nones) - min(nones)
    seconds = idle["plugin"]["wall_s"]
    added_p = idle["plugin"]["cpu_s"] - none_mean
    added_o = idle["obs-websocket"]["cpu_s"] - none_mean
    table.add(
        "idle: OBS CPU (s) over %.0f s, no client (runs: %s)" % (seconds, ", ".join(fmt(n) for n in nones)),
        "mean",
        fmt(none_mean),
        fmt(none_mean),
        "",
        "",
    )
    table.add(
        "  with %d idle linked | identified clients" % idle["clients"],
        "",
        fmt(idle["plugin"]["cpu_s"]),
        fmt(idle["obs-websocket"]["cpu_s"]),
        fmt(ratio(idle["plugin"]["cpu_s"], idle["obs-websocket"]["cpu_s"]), 2),
        "",
    )
    measurable = added_p > noise
    table.add(
        "  added by the clients (spread of the no-client runs: %s s)" % fmt(noise),
        "",
        "%+.3f" % added_p,
        "%+.3f" % added_o,
        "",
        "none: "
        + goal(
            "no measurable CPU added by %d idle linked clients" % idle["clients"],
            not measurable,
            "%+.3f s over %.0f s, against a spread of %.3f s without clients" % (added_p, seconds, noise),
        ),
    )
    ui_none = [idle[k]["ui_s"] * 1000 for k in ("none before", "none between", "none after")]
    table.add(
        "  UI thread CPU (ms) over the same time (no client: %s)" % ", ".join(fmt(v, 1) for v in ui_none),
        "",
        fmt(idle["plugin"]["ui_s"] * 1000, 1),
        fmt(idle["obs-websocket"]["ui_s"] * 1000, 1),
        "",
        "",
    )
    memory = live.get("memory")
    if memory:
        per_p, per_o = memory["plugin"], memory["obs-websocket"]
        table.add(
            "memory per connection (KiB of OBS's resident set, %d connections)" % memory["clients"],
            "",
            fmt(per_p, 1),
            fmt(per_o, 1),
            fmt(ratio(per_p, per_o), 2) if per_o > 0 else "",
            "",
        )

    overlays = live.get("overlays")
    if overlays:
        table.rule()
        for entry in overlays:
            count = entry["count"]
            table.add("overlays.install of %d new overlays (s)" % count, "time", fmt(entry["seconds"]), "", "", "")
            table.add("  per overlay (ms)", "", fmt(entry["seconds"] * 1000 / count, 2), "", "", "")
            table.add("  longest wait of a status asked meanwhile (s)", "", fmt(entry["longest_status_wait_s"]), "", "", "")
            table.add("  the same request again, all updated (s)", "time", fmt(entry["again_seconds"]), "", "", "")
        by_count = {entry["count"]: entry for entry in overlays}
        if 1000 in by_count:
            took = by_count[1000]["seconds"]
            goal("1000 new overlays installed in well under a second", took < 0.5, "%.2f s" % took)
        if len(overlays) > 1:
            small, large = overlays[0], overlays[-1]
            growth = ratio(large["seconds"] / large["count"], small["seconds"] / small["count"])
            table.add(
                "  cost per overlay, %d against %d" % (large["count"], small["count"]),
                "ratio",
                fmt(growth, 2),
                "",
                "",
                "~1: " + goal("overlay installation linear (cost per overlay at most 1.5 x from %d to %d)" % (small["count"], large["count"]), growth <= 1.5, "%.2f" % growth),
            )

    if connections:
        for stage in ("linked (ready)", "idle 1 s later"):
            if stage in connections:
                heap, resident = connections[stage]
                table.add(
                    "  in-process, server side only (KiB per connection), %s: heap | resident" % stage,
                    "",
                    fmt(heap / 1024, 1),
                    fmt(resident / 1024, 1),
                    "",
                    "",
                )

    table.rule()
    for key, mine, theirs in CASES:
        if key not in rt:
            continue
        p, o = rt[key]["plugin"], rt[key]["obs-websocket"]
        table.add(
            "UI thread time per request (ms): %s | %s" % (mine, theirs) if key == CASES[0][0] else "  %s" % mine,
            "mean",
            fmt(p["ui_ms_per_request"]),
            fmt(o["ui_ms_per_request"]),
            fmt(ratio(p["ui_ms_per_request"], o["ui_ms_per_request"]), 2) if o["ui_ms_per_request"] > 0.001 else "",
            "",
        )
    if profile:
        for case, figures in profile["cases"].items():
            table.add(
                "  %s: inside the plug-in's own code (perf)" % case,
                "mean",
                fmt(figures["own_ms_per_request"]),
                "",
                "",
                "",
            )

    table.rule()
    if frames:
        table.add(
            "8 MiB tiny-frame read, one consumeInput (ms)",
            "median",
            fmt(frames["median_ms"], 2),
            "",
            "",
            "< 100: "
            + goal("8 MiB tiny-frame read well under 100 ms", frames["median_ms"] < 100, "%.2f ms" % frames["median_ms"]),
        )
    else:
        goal("8 MiB tiny-frame read well under 100 ms", False, "bench_frames gave no figure")
    tick = dual.get("tick (pop-in)") if dual else None
    last = dual.get("last tick of a pop-out") if dual else None
    if tick:
        ok = tick["median_us"] < 500 and (last is None or last["median_us"] < 500)
        evidence = "%.1f us a frame; %.1f us for the last frame of a pop-out" % (
            tick["median_us"],
            last["median_us"] if last else float("nan"),
        )
        table.add(
            "dual POV animation frame, 100 scenes of 20 items (ms)",
            "median",
            fmt(tick["median_us"] / 1000, 4),
            "",
            "",
            "< 0.5: " + goal("dual POV animation frame under 0.5 ms", ok, evidence),
        )
        if last:
            table.add("  the last frame of a pop-out (window torn down)", "median", fmt(last["median_us"] / 1000, 4), "", "", "")
    else:
        goal("dual POV animation frame under 0.5 ms", False, "bench_dual_pov gave no figure")
    return table, goals


LEGEND = """\
Round trips: sequential requests, timed from just before the request is
written to the kernel's arrival stamp of the (last) reply. obs-websocket's
scenes.list equivalent is GetSceneList, then one RequestBatch of
GetSceneItemList for every scene and one of GetGroupSceneItemList for every
group (its fastest way here). Events: a scene switch sent through
obs-websocket, to the arrival of the plug-in's "scene.changed" and of
obs-websocket's "CurrentProgramSceneChanged" at as many subscribed clients.
UI thread time: OBS's main thread's CPU time per request (kernel accounting),
less its idle rate; "inside the plug-in's own code" is the perf share of the
plug-in's read handler without the OBS functions it calls. Ratio: plug-in /
obs-websocket; for throughput, how many times obs-websocket's.
"""


# What follows this line in RESULTS.md is written by hand (analyses, figures
# from before a change) and kept by every run.
KEPT_MARKER = "<!-- Written by hand below: kept by every run of scripts/bench.sh. -->"


def causes(live, profile):
    """Markdown paragraphs on missed goals whose cause lies outside the
    plug-in, with this run's figures as the evidence."""
    rt = live["round_trips"]
    paragraphs = []
    prof = (profile or {}).get("cases", {})

    def missed(key):
        if key not in rt:
            return False
        p, o = rt[key]["plugin"], rt[key]["obs-websocket"]
        return ratio(p["p50"], o["p50"]) > 0.5 or ratio(p["p99"], o["p99"]) > 0.5

    if missed("scene.set"):
        p, o = rt["scene.set"]["plugin"], rt["scene.set"]["obs-websocket"]
        text = (
            "**scene.set against SetCurrentProgramScene, back to back** (%.1f against %.1f ms at p50): a switch "
            "is OBS's own work on its user-interface thread, whoever asks for it. OBS starts the transition "
            "inside `obs_frontend_set_current_scene` and then, still inside the call, rebuilds its docks for "
            "the new scene, one widget per item (`QAbstractItemView::setIndexWidget`, style-sheet sizing of "
            "each item's check boxes). The plug-in answers when the transition starts; obs-websocket answers "
            "when the whole call has returned. Back to back, the next request arrives while OBS is still "
            "rebuilding the docks for the previous switch and waits for that on the same thread, so both "
            "round trips carry OBS's rebuild. OBS's main thread spends %.1f ms per scene.set and %.1f ms per "
            "SetCurrentProgramScene." % (p["p50"], o["p50"], p["ui_ms_per_request"], o["ui_ms_per_request"])
        )
        f = prof.get("scene.set")
        if f:
            text += (
                " Under perf, %.2f of the %.2f ms the UI thread spends per scene.set are inside OBS's functions "
                "that the plug-in calls (%s), and %.3f ms are the plug-in's own."
                % (f["host_ms_per_request"], f["ui_ms_per_request"], ", ".join(f["host_calls"]), f["own_ms_per_request"])
            )
        spaced = live.get("spaced_switches")
        if spaced:
            text += (
                " With OBS quiet before each switch, as a companion app switches, the plug-in answers in "
                "%.2f ms at p50 against %.2f ms."
                % (spaced["plugin"]["reply"]["p50"], spaced["obs-websocket"]["reply"]["p50"])
            )
        paragraphs.append(text)

    if missed("item.visible"):
        p, o = rt["item.visible"]["plugin"], rt["item.visible"]["obs-websocket"]
        text = (
            "**item.visible toggle in the program scene** (%.3f against %.3f ms at p50, back to back): toggling an "
            "item of the scene on show makes OBS repaint its sources dock on the user-interface thread (%.3f ms of "
            "UI thread per toggle even for obs-websocket's requests, which change the item from another thread)."
            % (p["p50"], o["p50"], o["ui_ms_per_request"])
        )
        f = prof.get("item.visible")
        if f:
            text += (
                " Under perf, the plug-in's read handler takes %.3f ms per toggle (%.3f of them in OBS's "
                "`obs_sceneitem_set_visible` and what it signals), while %.3f ms per toggle go to the rest of "
                "the UI thread: the repaint."
                % (f["handler_ms_per_request"], f["host_ms_per_request"], f["rest_ms_per_request"])
            )
        text += (
            " The plug-in's answer leaves before the repaint, but the next request, sent right away, "
            "waits on the same thread for the repaint the previous one caused; obs-websocket reads it on its "
            "own thread meanwhile."
        )
        for key, what in (("item.visible spaced", "3 ms apart, so that each finds the repaint done"),
                          ("item.visible hidden", "in a scene that is not shown, which repaints nothing")):
            if key in rt:
                q, w = rt[key]["plugin"], rt[key]["obs-websocket"]
                text += " With the toggles %s, the plug-in answers in %.3f ms at p50 (p99 %.3f) against %.3f (%.3f): ratios %.2f and %.2f." % (
                    what, q["p50"], q["p99"], w["p50"], w["p99"], ratio(q["p50"], w["p50"]), ratio(q["p99"], w["p99"])
                )
        paragraphs.append(text)
    return "\n\n".join(paragraphs)


def profile_text(profile):
    if not profile:
        return ""
    lines = [
        "UI-thread profile of the plug-in's requests in the same kind of OBS (perf, %d Hz, "
        "samples of OBS's main thread while one client repeats one request):" % profile["frequency"],
        "",
        "| request | requests | UI thread ms per request | in the plug-in's read handler | "
        "of which in OBS calls | plug-in's own | rest of the UI thread (OBS) |",
        "|---|---|---|---|---|---|---|",
    ]
    for case, f in profile["cases"].items():
        lines.append(
            "| %s | %d | %.3f | %.3f | %.3f (%s) | %.3f | %.3f |"
            % (
                case,
                f["requests"],
                f["ui_ms_per_request"],
                f["handler_ms_per_request"],
                f["host_ms_per_request"],
                ", ".join(f["host_calls"]) or "-",
                f["own_ms_per_request"],
                f["rest_ms_per_request"],
            )
        )
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--live", required=True)
    parser.add_argument("--frames")
    parser.add_argument("--dual")
    parser.add_argument("--profile")
    parser.add_argument("--connections", help="output of bench_connection_memory")
    parser.add_argument("--results", help="Markdown file to rewrite with this run")
    parser.add_argument("--seconds", type=float, help="wall time of the whole run")
    args = parser.parse_args()

    with open(args.live) as f:
        live = json.load(f)
    frames = dual = profile = None
    if args.frames and os.path.exists(args.frames):
        with open(args.frames) as f:
            frames = parse_frames(f.read())
    if args.dual and os.path.exists(args.dual):
        with open(args.dual) as f:
            dual = parse_dual(f.read())
    if args.profile and os.path.exists(args.profile):
        with open(args.profile) as f:
            profile = json.load(f)

    connections = None
    if args.connections and os.path.exists(args.connections):
        with open(args.connections) as f:
            connections = parse_connections(f.read())
    table, goals = build(live, frames, dual, profile, connections)
    info = machine()
    versions = live.get("versions", {})
    now = datetime.datetime.now().astimezone()
    title = "tessil-link against obs-websocket %s in one OBS %s run" % (
        versions.get("obs-websocket") or "?",
        versions.get("obs") or "?",
    )
    print(title)
    print(table.text())
    print()
    print(LEGEND)
    for goal, ok, evidence in goals:
        print("%-7s %s (%s)" % (verdict(ok), goal, evidence))
    if args.seconds:
        print("whole run: %.0f s" % args.seconds)

    if not args.results:
        return
    collection = live["collection"]
    described = (
        "- Date: %s\n"
        "- Machine: %d cores (%s), %.0f GiB RAM, Debian %s (Linux %s)\n"
        "- OBS %s with obs-websocket %s, software OpenGL (%s), preview off, a cut as the transition\n"
        "- Scene collection: %d scenes, %d top-level items (%d groups of 4 children), colour sources only\n"
        "- Plug-in: the Qt 5 build, RelWithDebInfo\n"
        "- Whole run of scripts/bench.sh: %s\n"
        % (
            now.strftime("%Y-%m-%d %H:%M %Z"),
            info["cores"],
            info["model"],
            info["memory_gib"],
            info["debian"],
            info["kernel"],
            versions.get("obs") or "?",
            versions.get("obs-websocket") or "?",
            versions.get("renderer") or "llvmpipe",
            collection["scenes"],
            collection["top_level_items"],
            collection["groups"],
            "%.0f s" % args.seconds if args.seconds else "-",
        )
    )
    goal_lines = "\n".join(
        "| %s | %s | %s |" % (goal, "met" if ok else "**missed**", evidence) for goal, ok, evidence in goals
    )
    notes = causes(live, profile)
    if notes:
        notes = "## Goals missed for reasons outside the plug-in\n\n" + notes + "\n"
    kept = ""
    if os.path.exists(args.results):
        with open(args.results) as f:
            previous = f.read()
        if KEPT_MARKER in previous:
            kept = previous[previous.index(KEPT_MARKER) :]
    with open(args.results, "w") as f:
        f.write(
            "# Benchmark results\n\n"
            "The latest run of `scripts/bench.sh` (see README.md); the file is rewritten by every run.\n\n"
            + described
            + "\n## Figures\n\n"
            + "Times in milliseconds unless a row says otherwise; ratio is plug-in / obs-websocket "
            "(for throughput, obs-websocket's time / the plug-in's).\n\n"
            + table.markdown()
            + "\n\n"
            + LEGEND
            + "\n## Goals\n\n| goal | | figure |\n|---|---|---|\n"
            + goal_lines
            + "\n\n"
            + profile_text(profile)
            + ("\n" + notes if notes else "")
            + ("\n" + kept if kept else "")
        )


if __name__ == "__main__":
    main()
