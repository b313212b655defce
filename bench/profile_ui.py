#!/usr/bin/python3
"""Where OBS's user-interface thread spends its time while a linked client
repeats one request: perf samples of OBS's main thread, with DWARF call
graphs, split into

  handler  samples inside the plug-in's read handler (LinkServer::onReadyRead:
           socket read, frames, JSON, the command, the reply);
  host     the part of those inside OBS's own functions called by the
           plug-in (libobs, the front-end API, the OBS program itself, and
           whatever they call): what any client asking OBS the same would
           cost it;
  own      handler minus host: the plug-in's own share;
  rest     every other sample of the thread: OBS's own user interface
           (repaints, its reactions to the change) and its idle work.

Run it in a network namespace of its own, like live_bench.py:

    scripts/in-netns.sh /usr/bin/python3 bench/profile_ui.py \\
        --plugin build/bench/plugin/tessil-link --output /tmp/profile.json \\
        [--cases status,scenes.list,scene.set,item.visible] [--seconds 3]

Needs perf (linux-perf) with software events; nothing here needs hardware
counters.
"""

import argparse
import json
import os
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import bench_collection  # noqa: E402
from bench_collection import obs  # noqa: E402
from live_bench import WEBSOCKET_STARTED, LinkSide, World, link_cases, log  # noqa: E402
from wsclient import LinkClient  # noqa: E402

HANDLER = "LinkServer::onReadyRead"
PLUGIN_DSO = "tessil-link.so"
HOST_DSOS = ("libobs.so", "libobs-frontend-api.so", "/usr/bin/obs", "obs-frontend-api")


def host_frame(dso):
    return any(name in dso for name in HOST_DSOS) or dso.endswith("/obs")


def parse_stacks(text):
    """Yields each sample's stack as [(symbol, dso)], leaf first."""
    stack = []
    for line in text.splitlines():
        if not line.strip():
            if stack:
                yield stack
            stack = []
            continue
        if not line.startswith((" ", "\t")):
            continue  # the sample's header line
        parts = line.strip().split(None, 1)
        if len(parts) < 2:
            continue
        rest = parts[1]
        dso = ""
        if rest.endswith(")") and "(" in rest:
            rest, dso = rest[: rest.rindex("(")].strip(), rest[rest.rindex("(") + 1 : -1]
        stack.append((rest, dso))
    if stack:
        yield stack


def classify(stacks):
    counts = {"total": 0, "handler": 0, "host": 0}
    host_calls = {}
    for stack in stacks:
        counts["total"] += 1
        if not any(symbol.startswith(HANDLER) for symbol, _ in stack):
            continue
        counts["handler"] += 1
        # The leaf-most frame of the plug-in; the frame it called, if any.
        for index, (symbol, dso) in enumerate(stack):
            if PLUGIN_DSO in dso:
                if index > 0:
                    callee_symbol, callee_dso = stack[index - 1]
                    # Walk up from the plug-in's frame: the first frame of
                    # another library says whom the plug-in called.
                    if host_frame(callee_dso):
                        counts["host"] += 1
                        name = callee_symbol.split("+")[0].split("(")[0]
                        if name.startswith("[unknown]"):
                            name = "code of %s (no symbols)" % os.path.basename(callee_dso)
                        host_calls[name] = host_calls.get(name, 0) + 1
                break
    return counts, host_calls


def profile_case(session, case, seconds, frequency, workdir):
    world = World(bench_collection.build()[1])
    side = LinkSide(LinkClient(session.token()))
    run = link_cases(side, world)[case]
    if case.startswith("item.visible"):
        # The toggled item is in the program scene, as in live_bench.py.
        side.request("scene.set", {"name": bench_collection.PROGRAM_TOGGLE_SCENE})
        time.sleep(0.3)
    for _ in range(30):
        run()
    data = os.path.join(workdir, "perf-%s.data" % case.replace(".", "-"))
    perf = subprocess.Popen(
        [
            "perf",
            "record",
            "-q",
            "-e",
            "cpu-clock",
            "-F",
            str(frequency),
            "-t",
            str(session.pid),
            "--call-graph",
            "dwarf,8192",
            "-o",
            data,
        ],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    time.sleep(0.5)
    requests = 0
    began = time.monotonic()
    while time.monotonic() - began < seconds:
        run()
        requests += 1
    perf.send_signal(2)
    perf.wait()
    side.client.close()
    script = subprocess.run(
        ["perf", "script", "-i", data, "-F", "ip,sym,dso", "--demangle"],
        capture_output=True,
        text=True,
        check=False,
    ).stdout
    counts, host_calls = classify(parse_stacks(script))
    period_ms = 1000.0 / frequency
    per_request = period_ms / max(requests, 1)
    top_calls = sorted(host_calls.items(), key=lambda item: -item[1])[:3]
    figures = {
        "requests": requests,
        "samples": counts["total"],
        "ui_ms_per_request": counts["total"] * per_request,
        "handler_ms_per_request": counts["handler"] * per_request,
        "host_ms_per_request": counts["host"] * per_request,
        "own_ms_per_request": (counts["handler"] - counts["host"]) * per_request,
        "rest_ms_per_request": (counts["total"] - counts["handler"]) * per_request,
        "host_calls": [name for name, _ in top_calls],
    }
    log(
        "profile %-12s %d requests: UI %.3f ms/request, handler %.3f (OBS calls %.3f, own %.3f), rest %.3f"
        % (
            case,
            requests,
            figures["ui_ms_per_request"],
            figures["handler_ms_per_request"],
            figures["host_ms_per_request"],
            figures["own_ms_per_request"],
            figures["rest_ms_per_request"],
        )
    )
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--output", required=True)
    parser.add_argument("--cases", default="status,scenes.list,scene.set,item.visible")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--frequency", type=int, default=2000)
    args = parser.parse_args()

    if sorted(name for _, name in socket.if_nameindex()) != ["lo"]:
        sys.exit("profile_ui: run me in a network namespace of my own (scripts/in-netns.sh)")

    collection = bench_collection.build()[0]
    session = obs.ObsSession(
        plugin_dir=args.plugin,
        websocket=True,
        collection=collection,
        global_ini={"BasicWindow": {"PreviewEnabled": False}},
        keep_root=False,
    )
    results = {"frequency": args.frequency, "cases": {}}
    with tempfile.TemporaryDirectory(prefix="tessil-profile-") as workdir:
        try:
            session.start()
            session.wait_for_log(obs.LISTEN_LINE)
            session.wait_for_log(WEBSOCKET_STARTED)
            time.sleep(1.0)
            for case in args.cases.split(","):
                # perf script needs the plug-in's file, which lives in the
                # session's root: profile while OBS runs.
                results["cases"][case] = profile_case(session, case, args.seconds, args.frequency, workdir)
        finally:
            session.stop()
            session.close()
    with open(args.output, "w") as f:
        json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
