#!/usr/bin/python3
"""tessil-link against obs-websocket in one real OBS: round trips, pipelined
throughput, event latency, idle cost and the user-interface thread's time
per request. Writes every figure as JSON; bench/report.py prints the table.

Run it in a network namespace of its own (scripts/in-netns.sh): OBS binds
47841 and 4455, and obs-websocket runs without authentication.

    scripts/in-netns.sh /usr/bin/python3 bench/live_bench.py \\
        --plugin build/bench/plugin/tessil-link --output /tmp/live.json

Both servers are driven by the same client code (bench/wsclient.py) and
their requests are interleaved in blocks, so that load from elsewhere on the
machine falls on both alike. Round trips are timed from just before the
request is written to the kernel's arrival stamp of the reply.

The user-interface thread is OBS's main thread (its id is OBS's process id);
its CPU time comes from /proc/<pid>/task/<pid>/schedstat (the kernel's
per-thread run time, the figure perf's task-clock reads), less the time the
thread spends with no client at all, measured first.
"""

import argparse
import json
import os
import platform
import re
import selectors
import socket
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import bench_collection  # noqa: E402
from bench_collection import obs  # noqa: E402
from wsclient import LinkClient, ObsWebSocketClient, json_frame  # noqa: E402

WEBSOCKET_STARTED = r"\[obs-websocket\] \[WebSocketServer::Start\] Server started successfully"
OWS_ALL_EVENTS = (1 << 11) - 1  # obs-websocket's EventSubscription::All


def log(text):
    print("live_bench: " + text, file=sys.stderr, flush=True)


def percentile(values, fraction):
    """Nearest-rank percentile of a list of numbers."""
    ordered = sorted(values)
    if not ordered:
        return None
    rank = max(1, int(round(fraction * len(ordered) + 0.5)))
    return ordered[min(rank, len(ordered)) - 1]


def spread(values_ns):
    """p50/p90/p99 in milliseconds."""
    return {
        "n": len(values_ns),
        "p50": percentile(values_ns, 0.50) / 1e6,
        "p90": percentile(values_ns, 0.90) / 1e6,
        "p99": percentile(values_ns, 0.99) / 1e6,
    }


def median(values):
    ordered = sorted(values)
    middle = len(ordered) // 2
    if len(ordered) % 2:
        return ordered[middle]
    return (ordered[middle - 1] + ordered[middle]) / 2


# ---------------------------------------------------------------------------
# OBS's process, as the kernel sees it
# ---------------------------------------------------------------------------


class ObsProcess:
    def __init__(self, pid):
        self.pid = pid

    def ui_ns(self):
        """Run time of the main (user-interface) thread, ns."""
        with open("/proc/%d/task/%d/schedstat" % (self.pid, self.pid)) as f:
            return int(f.read().split()[0])

    def cpu_ns(self):
        """Run time of every thread, ns."""
        total = 0
        for task in os.listdir("/proc/%d/task" % self.pid):
            try:
                with open("/proc/%d/task/%s/schedstat" % (self.pid, task)) as f:
                    total += int(f.read().split()[0])
            except (OSError, ValueError, IndexError):
                pass  # a thread that ended meanwhile
        # Threads that ended are in the process's own figures only.
        return max(total, self._process_ticks_ns())

    def _process_ticks_ns(self):
        with open("/proc/%d/stat" % self.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        ticks = int(fields[11]) + int(fields[12])  # utime + stime
        return ticks * 1_000_000_000 // os.sysconf("SC_CLK_TCK")

    def rss_kib(self):
        with open("/proc/%d/status" % self.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0


# ---------------------------------------------------------------------------
# The two sides: one request of each kind, timed the same way
# ---------------------------------------------------------------------------


class LinkSide:
    """Requests to the plug-in; events that arrive meanwhile are skipped."""

    def __init__(self, client):
        self.client = client
        self.last_id = 0

    def request(self, cmd, args=None):
        """(round trip ns, reply)."""
        self.last_id += 1
        message = {"op": "req", "id": self.last_id, "cmd": cmd}
        if args is not None:
            message["args"] = args
        data = json_frame(message)
        start = self.client.send_bytes(data)
        while True:
            stamp, reply = self.client.next_json()
            if reply.get("op") == "res" and reply.get("id") == self.last_id:
                break
        if not reply.get("ok"):
            raise RuntimeError("%s failed: %r" % (cmd, reply))
        return stamp - start, reply


class ObsWebSocketSide:
    """Requests to obs-websocket: one at a time, or a stage of several sent
    together (as a client with promises in flight would) and awaited all."""

    def __init__(self, client):
        self.client = client
        self.last_id = 0

    def _frame(self, request_type, data):
        self.last_id += 1
        request_id = str(self.last_id)
        message = {"op": 6, "d": {"requestType": request_type, "requestId": request_id, "requestData": data or {}}}
        return request_id, json_frame(message)

    def stage(self, requests):
        """Sends [(type, data)] at once; (start ns, last arrival ns,
        [responseData in request order])."""
        ids, frames = [], []
        for request_type, data in requests:
            request_id, frame = self._frame(request_type, data)
            ids.append(request_id)
            frames.append(frame)
        start = self.client.send_bytes(b"".join(frames))
        waiting = {request_id: index for index, request_id in enumerate(ids)}
        results = [None] * len(ids)
        stamp = start
        while waiting:
            stamp, message = self.client.next_json()
            if message.get("op") != 7:
                continue
            response = message["d"]
            index = waiting.pop(response.get("requestId"), None)
            if index is None:
                continue
            if not response.get("requestStatus", {}).get("result"):
                raise RuntimeError("%s failed: %r" % (response.get("requestType"), response))
            results[index] = response.get("responseData") or {}
        return start, stamp, results

    def request(self, request_type, data=None):
        start, stamp, results = self.stage([(request_type, data)])
        return stamp - start, results[0]

    def batch(self, requests):
        """One RequestBatch of [(type, data)], run in order by the server;
        (start ns, arrival ns, [responseData in request order])."""
        self.last_id += 1
        request_id = "b%d" % self.last_id
        message = {
            "op": 8,
            "d": {
                "requestId": request_id,
                "requests": [{"requestType": kind, "requestData": data or {}} for kind, data in requests],
            },
        }
        start = self.client.send_bytes(json_frame(message))
        while True:
            stamp, message = self.client.next_json()
            if message.get("op") == 9 and message["d"].get("requestId") == request_id:
                break
        results = []
        for response in message["d"]["results"]:
            if not response.get("requestStatus", {}).get("result"):
                raise RuntimeError("%s failed: %r" % (response.get("requestType"), response))
            results.append(response.get("responseData") or {})
        return start, stamp, results


class World:
    """What both sides share: OBS's current scene and the toggled items."""

    def __init__(self, layout):
        self.current = bench_collection.SWITCH_SCENES[0]
        self.toggles = {
            where: {"target": bench_collection.toggle_target(layout, scene), "visible": True}
            for where, scene in (
                ("program", bench_collection.PROGRAM_TOGGLE_SCENE),
                ("hidden", bench_collection.HIDDEN_TOGGLE_SCENE),
            )
        }

    def other_scene(self):
        first, second = bench_collection.SWITCH_SCENES
        return second if self.current == first else first


SPACING_SECONDS = 0.003


def spaced(request, *args):
    """A request that finds OBS's user-interface thread at rest: OBS has
    finished repainting what the previous one changed."""
    time.sleep(SPACING_SECONDS)
    return request(*args)


def link_cases(side, world):
    def status():
        return side.request("status")[0]

    def scenes_list():
        return side.request("scenes.list")[0]

    def scene_set():
        target = world.other_scene()
        took, _ = side.request("scene.set", {"name": target})
        world.current = target
        return took

    def item_visible(where):
        toggle = world.toggles[where]
        scene, source = toggle["target"]
        took, reply = side.request("item.visible", {"scene": scene, "name": source, "toggle": True})
        toggle["visible"] = reply["data"]["visible"]
        return took

    return {
        "status": status,
        "scenes.list": scenes_list,
        "scene.set": scene_set,
        "item.visible": lambda: item_visible("program"),
        "item.visible spaced": lambda: spaced(item_visible, "program"),
        "item.visible hidden": lambda: item_visible("hidden"),
    }


def websocket_cases(side, world):
    def get_version():
        return side.request("GetVersion")[0]

    def scene_list():
        # What a client needs for the answer of "scenes.list": the scenes,
        # the items of each, then the children of each group. Each stage
        # is one RequestBatch, obs-websocket's fastest way here (separate
        # requests, one after the other or all in flight, take longer).
        start, stamp, (scenes,) = side.stage([("GetSceneList", None)])
        _, stamp, item_lists = side.batch(
            [("GetSceneItemList", {"sceneName": entry["sceneName"]}) for entry in scenes["scenes"]]
        )
        groups = []
        for items in item_lists:
            groups.extend(item["sourceName"] for item in items["sceneItems"] if item.get("isGroup"))
        if groups:
            _, stamp, _ = side.batch([("GetGroupSceneItemList", {"sceneName": name}) for name in groups])
        return stamp - start

    def set_program_scene():
        target = world.other_scene()
        took, _ = side.request("SetCurrentProgramScene", {"sceneName": target})
        world.current = target
        return took

    def toggle_item(where):
        toggle = world.toggles[where]
        scene, source = toggle["target"]
        start, _, (found,) = side.stage([("GetSceneItemId", {"sceneName": scene, "sourceName": source})])
        enabled = not toggle["visible"]
        _, stamp, _ = side.stage(
            [
                (
                    "SetSceneItemEnabled",
                    {"sceneName": scene, "sceneItemId": found["sceneItemId"], "sceneItemEnabled": enabled},
                )
            ]
        )
        toggle["visible"] = enabled
        return stamp - start

    return {
        "status": get_version,
        "scenes.list": scene_list,
        "scene.set": set_program_scene,
        "item.visible": lambda: toggle_item("program"),
        "item.visible spaced": lambda: spaced(toggle_item, "program"),
        "item.visible hidden": lambda: toggle_item("hidden"),
    }


CASES = ("status", "scenes.list", "scene.set", "item.visible", "item.visible spaced", "item.visible hidden")


# ---------------------------------------------------------------------------
# Phases
# ---------------------------------------------------------------------------


def idle_ui_rate(process, seconds=3.0):
    """UI-thread ns per wall ns with no client connected."""
    wall = time.monotonic_ns()
    ui = process.ui_ns()
    time.sleep(seconds)
    return (process.ui_ns() - ui) / (time.monotonic_ns() - wall)


def round_trips(process, link_side, ows_side, world, count, block, idle_rate):
    """Sequential round trips of every case, both sides in alternating
    blocks; the UI thread's time per request from the same blocks."""
    sides = {"plugin": link_cases(link_side, world), "obs-websocket": websocket_cases(ows_side, world)}
    results = {}
    for case in CASES:
        began = time.monotonic()
        if case == "item.visible":
            # Its item is in the program scene, as a streamer's would be.
            ows_side.request("SetCurrentProgramScene", {"sceneName": bench_collection.PROGRAM_TOGGLE_SCENE})
            world.current = bench_collection.PROGRAM_TOGGLE_SCENE
            time.sleep(0.3)
        timings = {"plugin": [], "obs-websocket": []}
        ui_time = {"plugin": 0, "obs-websocket": 0}
        wall_time = {"plugin": 0, "obs-websocket": 0}
        for warm in ("plugin", "obs-websocket"):
            for _ in range(20):
                sides[warm][case]()
        order = ["plugin", "obs-websocket"]
        while len(timings["plugin"]) < count:
            for side in order:
                run = sides[side][case]
                n = min(block, count - len(timings[side]))
                wall = time.monotonic_ns()
                ui = process.ui_ns()
                for _ in range(n):
                    timings[side].append(run())
                ui_time[side] += process.ui_ns() - ui
                wall_time[side] += time.monotonic_ns() - wall
            order.reverse()
        results[case] = {}
        for side in ("plugin", "obs-websocket"):
            figures = spread(timings[side])
            figures["ui_ms_per_request"] = max(0.0, ui_time[side] - idle_rate * wall_time[side]) / count / 1e6
            results[case][side] = figures
        log(
            "%-13s plug-in p50 %.3f ms, obs-websocket p50 %.3f ms (%.0f s)"
            % (case, results[case]["plugin"]["p50"], results[case]["obs-websocket"]["p50"], time.monotonic() - began)
        )
    return results


def drain_frames(client, count, marker):
    """Reads until `count` messages holding `marker` arrived; the last
    arrival stamp."""
    seen = 0
    stamp = 0
    while seen < count:
        stamp, payload = client.next_raw()
        if marker in payload:
            seen += 1
    return stamp


def pipelined(link_client, ows_client, count, runs):
    status = b"".join(json_frame({"op": "req", "id": i + 1, "cmd": "status"}) for i in range(count))
    version = b"".join(
        json_frame({"op": 6, "d": {"requestType": "GetVersion", "requestId": "p%d" % i}}) for i in range(count)
    )
    took = {"plugin": [], "obs-websocket": []}
    for run in range(runs):
        order = [("plugin", link_client, status, b'"op":"res"'), ("obs-websocket", ows_client, version, b'"op":7')]
        if run % 2:
            order.reverse()
        for side, client, data, marker in order:
            client.drain()
            start = client.send_bytes(data)
            end = drain_frames(client, count, marker)
            took[side].append(end - start)
    results = {}
    for side, values in took.items():
        seconds = median(values) / 1e9
        results[side] = {"seconds": seconds, "per_second": count / seconds, "runs": [v / 1e9 for v in values]}
    log(
        "pipelined: plug-in %.3f s, obs-websocket %.3f s"
        % (results["plugin"]["seconds"], results["obs-websocket"]["seconds"])
    )
    return results


def settle(selector, clients):
    """Reads whatever the clients still receive until 0.2 s pass quietly,
    and forgets it."""
    while True:
        ready = selector.select(0.2)
        if not ready:
            break
        for key, _ in ready:
            key.fileobj.pump()
    for client in clients:
        client.drain()


def event_latency(token, listeners, switches):
    """Scene switches made through obs-websocket; arrival of the plug-in's
    "scene.changed" at each of `listeners` linked clients and of
    obs-websocket's "CurrentProgramSceneChanged" at as many of its own."""
    controller = ObsWebSocketSide(ObsWebSocketClient())
    links = [LinkClient(token) for _ in range(listeners)]
    owss = [ObsWebSocketClient(event_subscriptions=ObsWebSocketClient.SCENE_EVENTS) for _ in range(listeners)]
    selector = selectors.DefaultSelector()
    for client in links:
        selector.register(client, selectors.EVENT_READ, "plugin")
    for client in owss:
        selector.register(client, selectors.EVENT_READ, "obs-websocket")

    first, second = bench_collection.SWITCH_SCENES
    # Start from a known scene, then switch back and forth.
    controller.request("SetCurrentProgramScene", {"sceneName": first})
    current = first
    settle(selector, links + owss)
    arrivals = {"plugin": {"first": [], "last": []}, "obs-websocket": {"first": [], "last": []}}
    paired = {"first": [], "last": []}
    for _ in range(switches):
        target = second if current == first else first
        marker = {
            "plugin": b'"name":"%s"' % target.encode(),
            "obs-websocket": b'"sceneName":"%s"' % target.encode(),
        }
        start = controller.client.send_json(
            {"op": 6, "d": {"requestType": "SetCurrentProgramScene", "requestId": "e", "requestData": {"sceneName": target}}}
        )
        got = {"plugin": [], "obs-websocket": []}
        waiting = set(links + owss)
        deadline = time.monotonic() + 10
        while waiting and time.monotonic() < deadline:
            for key, _ in selector.select(1.0):
                client = key.fileobj
                client.pump()
                while client.pending():
                    stamp, payload = client.next_raw()
                    if client in waiting and marker[key.data] in payload:
                        waiting.discard(client)
                        got[key.data].append(stamp - start)
        if waiting:
            raise RuntimeError("%d listeners missed the switch to %s" % (len(waiting), target))
        controller.client.next_raw()  # the answer to the switch
        current = target
        for side in got:
            arrivals[side]["first"].append(min(got[side]))
            arrivals[side]["last"].append(max(got[side]))
        # The same switch reaches both: their difference leaves out how
        # long OBS itself took to switch.
        paired["first"].append(min(got["plugin"]) - min(got["obs-websocket"]))
        paired["last"].append(max(got["plugin"]) - max(got["obs-websocket"]))
        time.sleep(0.08)

    selector.close()
    for client in links + owss + [controller.client]:
        client.close()
    results = {}
    for side, values in arrivals.items():
        results[side] = {"first": spread(values["first"]), "last": spread(values["last"])}
    results["plugin minus obs-websocket"] = {
        "first": {"p50": median(paired["first"]) / 1e6, "mean": sum(paired["first"]) / len(paired["first"]) / 1e6},
        "last": {"p50": median(paired["last"]) / 1e6, "mean": sum(paired["last"]) / len(paired["last"]) / 1e6},
    }
    log(
        "events, %d listener(s): plug-in p50 %.2f ms, obs-websocket p50 %.2f ms (last arrival), "
        "plug-in minus obs-websocket per switch: median %.3f ms"
        % (
            listeners,
            results["plugin"]["last"]["p50"],
            results["obs-websocket"]["last"]["p50"],
            results["plugin minus obs-websocket"]["last"]["p50"],
        )
    )
    return results


QUIET_SECONDS = 0.1


def spaced_switches(token, switches, quiet=QUIET_SECONDS):
    """Scene switches as a companion app makes them: one at a time, OBS
    quiet for `quiet` seconds before each, the two servers taking turns.
    For each switch: the reply, and the arrival of the plug-in's
    "scene.changed" and of obs-websocket's "CurrentProgramSceneChanged" at a
    listener of each (the moment OBS's program changed, seen two ways)."""
    link = LinkSide(LinkClient(token))
    ows = ObsWebSocketSide(ObsWebSocketClient())
    link_listener = LinkClient(token)
    ows_listener = ObsWebSocketClient(event_subscriptions=ObsWebSocketClient.SCENE_EVENTS)
    selector = selectors.DefaultSelector()
    selector.register(link.client, selectors.EVENT_READ, "reply")
    selector.register(ows.client, selectors.EVENT_READ, "reply")
    selector.register(link_listener, selectors.EVENT_READ, "scene.changed")
    selector.register(ows_listener, selectors.EVENT_READ, "CurrentProgramSceneChanged")

    first, second = bench_collection.SWITCH_SCENES
    ows.request("SetCurrentProgramScene", {"sceneName": first})
    current = first
    time.sleep(0.3)
    settle(selector, [link.client, ows.client, link_listener, ows_listener])
    figures = {side: {"reply": [], "scene.changed": [], "CurrentProgramSceneChanged": []} for side in ("plugin", "obs-websocket")}
    for index in range(2 * switches + 4):
        target = second if current == first else first
        # P, O, O, P, P, O, ...: each side switches to each of the two
        # scenes (10 and 17 items) equally often.
        side = "plugin" if (index + 1) // 2 % 2 == 0 else "obs-websocket"
        time.sleep(quiet)
        if side == "plugin":
            link.last_id += 1
            expected = (link.client, lambda m, i=link.last_id: m.get("op") == "res" and m.get("id") == i)
            start = link.client.send_json({"op": "req", "id": link.last_id, "cmd": "scene.set", "args": {"name": target}})
        else:
            request_id, frame = ows._frame("SetCurrentProgramScene", {"sceneName": target})
            expected = (ows.client, lambda m, i=request_id: m.get("op") == 7 and m["d"].get("requestId") == i)
            start = ows.client.send_bytes(frame)
        got = {}
        deadline = time.monotonic() + 10
        while len(got) < 3 and time.monotonic() < deadline:
            for key, _ in selector.select(1.0):
                client = key.fileobj
                client.pump()
                while client.pending():
                    stamp, message = client.next_json()
                    if key.data == "reply":
                        if client is expected[0] and expected[1](message):
                            got["reply"] = stamp - start
                    elif key.data == "scene.changed":
                        if message.get("event") == "scene.changed" and message.get("name") == target:
                            got["scene.changed"] = stamp - start
                    elif message.get("op") == 5 and message["d"].get("eventData", {}).get("sceneName") == target:
                        got["CurrentProgramSceneChanged"] = stamp - start
        if len(got) < 3:
            raise RuntimeError("switch to %s: only %s arrived" % (target, sorted(got)))
        current = target
        if index >= 4:  # the first two of each side warm up
            for what, value in got.items():
                figures[side][what].append(value)
    selector.close()
    for client in (link.client, ows.client, link_listener, ows_listener):
        client.close()
    results = {side: {what: spread(values) for what, values in kinds.items()} for side, kinds in figures.items()}
    results["quiet_ms"] = quiet * 1000
    log(
        "spaced switches: reply p50 plug-in %.2f ms, obs-websocket %.2f ms; program changed (obs-websocket's event) "
        "p50 %.2f ms after scene.set, %.2f ms after SetCurrentProgramScene"
        % (
            results["plugin"]["reply"]["p50"],
            results["obs-websocket"]["reply"]["p50"],
            results["plugin"]["CurrentProgramSceneChanged"]["p50"],
            results["obs-websocket"]["CurrentProgramSceneChanged"]["p50"],
        )
    )
    return results


def overlay_installs(token, counts):
    """One "overlays.install" of `count` new overlays into a scene of its
    own, while a second client asks "status" one request after another (the
    longest of those waits is how long OBS's user-interface thread was
    held); then, once OBS has settled, the same request again."""
    results = []
    for index, count in enumerate(counts):
        installer = LinkSide(LinkClient(token))
        scene = bench_collection.scene_name(bench_collection.SCENE_COUNT - 1 - index)
        installer.request("scene.set", {"name": scene})
        time.sleep(0.5)
        sources = [{"name": "Overlay %d-%d" % (count, i), "url": "http://127.0.0.1:9/%d" % i} for i in range(count)]

        asker = LinkSide(LinkClient(token))
        waits = []
        stop = threading.Event()

        def ask():
            while not stop.is_set():
                waits.append(asker.request("status")[0])

        thread = threading.Thread(target=ask)
        thread.start()
        time.sleep(0.2)
        took, reply = installer.request("overlays.install", {"sources": sources})
        time.sleep(0.2)
        stop.set()
        thread.join()
        time.sleep(2.0)
        again, reply_again = installer.request("overlays.install", {"sources": sources})
        installer.client.close()
        asker.client.close()
        entry = {
            "count": count,
            "seconds": took / 1e9,
            "added": reply["data"].get("added"),
            "longest_status_wait_s": max(waits) / 1e9 if waits else None,
            "again_seconds": again / 1e9,
            "again_updated": reply_again["data"].get("updated"),
        }
        results.append(entry)
        log(
            "overlays.install of %d new: %.3f s (%.2f ms each), longest status wait %.3f s; again %.3f s"
            % (count, entry["seconds"], entry["seconds"] * 1000 / count, entry["longest_status_wait_s"], entry["again_seconds"])
        )
        time.sleep(1.0)
    return results


def idle_cost(process, token, clients, seconds):
    """OBS's CPU time over `seconds` with no client, with `clients` linked
    idle clients, with as many idle obs-websocket clients, and with none
    again."""

    def measure():
        time.sleep(1.0)  # let the connections settle
        cpu, ui, wall = process.cpu_ns(), process.ui_ns(), time.monotonic_ns()
        time.sleep(seconds)
        wall = time.monotonic_ns() - wall
        return {
            "cpu_s": (process.cpu_ns() - cpu) / 1e9,
            "ui_s": (process.ui_ns() - ui) / 1e9,
            "wall_s": wall / 1e9,
        }

    results = {"none before": measure()}
    links = [LinkClient(token) for _ in range(clients)]
    results["plugin"] = measure()
    for client in links:
        client.close()
    time.sleep(0.5)
    results["none between"] = measure()
    owss = [ObsWebSocketClient(event_subscriptions=OWS_ALL_EVENTS) for _ in range(clients)]
    results["obs-websocket"] = measure()
    for client in owss:
        client.close()
    results["none after"] = measure()
    log(
        "idle: CPU %.3f s none, %.3f s with %d linked, %.3f s none, %.3f s with %d obs-websocket, %.3f s none"
        % (
            results["none before"]["cpu_s"],
            results["plugin"]["cpu_s"],
            clients,
            results["none between"]["cpu_s"],
            results["obs-websocket"]["cpu_s"],
            clients,
            results["none after"]["cpu_s"],
        )
    )
    return results


def memory_per_connection(process, token, clients):
    """Growth of OBS's resident set with `clients` linked clients, then
    with as many obs-websocket clients on top: nothing is freed between
    the two, so neither reuses memory the other gave back."""
    time.sleep(1.0)
    base = process.rss_kib()
    links = [LinkClient(token) for _ in range(clients)]
    time.sleep(1.0)
    with_links = process.rss_kib()
    owss = [ObsWebSocketClient(event_subscriptions=OWS_ALL_EVENTS) for _ in range(clients)]
    time.sleep(1.0)
    with_both = process.rss_kib()
    for client in links + owss:
        client.close()
    results = {
        "clients": clients,
        "plugin": (with_links - base) / clients,
        "obs-websocket": (with_both - with_links) / clients,
    }
    log(
        "memory per connection: plug-in %.1f KiB, obs-websocket %.1f KiB"
        % (results["plugin"], results["obs-websocket"])
    )
    return results


# ---------------------------------------------------------------------------


def versions(session):
    """OBS's version, obs-websocket's and the renderer, from OBS's log."""
    text = session.log_text()
    found = {}
    for name, pattern in (
        ("obs", r"OBS (\S+) \(linux\)"),
        ("obs-websocket", r"\[obs-websocket\] \[obs_module_load\] .*\(Version: ([^ |)]+)"),
        ("renderer", r"Loading up OpenGL on adapter (.+)"),
    ):
        match = re.search(pattern, text)
        found[name] = match.group(1).strip() if match else None
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--plugin", required=True, help="built plug-in folder (.../plugin/tessil-link)")
    parser.add_argument("--output", required=True, help="JSON file for the figures")
    parser.add_argument("--requests", type=int, default=2000, help="round trips per case and side")
    parser.add_argument("--block", type=int, default=100, help="requests per side before switching sides")
    parser.add_argument("--pipelined", type=int, default=5000)
    parser.add_argument("--pipelined-runs", type=int, default=5)
    parser.add_argument("--switches", type=int, default=60, help="scene switches per event-latency figure")
    parser.add_argument("--spaced-switches", type=int, default=150, help="switches per side, OBS quiet before each")
    parser.add_argument("--overlays", default="100,300,1000", help="overlay counts of the install series")
    parser.add_argument("--idle-clients", type=int, default=100)
    parser.add_argument("--idle-seconds", type=float, default=10.0)
    parser.add_argument("--memory-clients", type=int, default=200)
    args = parser.parse_args()

    interfaces = sorted(name for _, name in socket.if_nameindex())
    if interfaces != ["lo"]:
        sys.exit("live_bench: run me in a network namespace of my own (scripts/in-netns.sh)")

    collection, layout, group_children = bench_collection.build()
    top, inner = bench_collection.item_count(layout, group_children)
    session = obs.ObsSession(
        plugin_dir=args.plugin,
        websocket=True,
        collection=collection,
        global_ini={"BasicWindow": {"PreviewEnabled": False}},
    )
    began = time.monotonic()
    results = {
        "collection": {
            "scenes": len(layout),
            "top_level_items": top,
            "group_children": inner,
            "groups": len(group_children),
        },
        "requests": args.requests,
    }
    try:
        session.start()
        session.wait_for_log(obs.LISTEN_LINE)
        session.wait_for_log(WEBSOCKET_STARTED)
        process = ObsProcess(session.pid)
        token = session.token()
        log("OBS started (pid %d); the scene collection has %d scenes, %d items" % (session.pid, len(layout), top + inner))
        time.sleep(1.0)

        results["ui_idle_fraction"] = idle_ui_rate(process)
        link = LinkClient(token)
        ows = ObsWebSocketClient()
        world = World(layout)
        ObsWebSocketSide(ows).request("SetCurrentProgramScene", {"sceneName": world.current})
        results["round_trips"] = round_trips(
            process, LinkSide(link), ObsWebSocketSide(ows), world, args.requests, args.block, results["ui_idle_fraction"]
        )
        link.close()
        ows.close()

        link = LinkClient(token)
        ows = ObsWebSocketClient()
        results["pipelined"] = pipelined(link, ows, args.pipelined, args.pipelined_runs)
        results["pipelined"]["count"] = args.pipelined
        link.close()
        ows.close()

        results["spaced_switches"] = spaced_switches(token, args.spaced_switches)

        results["events"] = {}
        for listeners in (1, 50):
            results["events"][str(listeners)] = event_latency(token, listeners, args.switches)

        results["idle"] = idle_cost(process, token, args.idle_clients, args.idle_seconds)
        results["idle"]["clients"] = args.idle_clients
        results["memory"] = memory_per_connection(process, token, args.memory_clients)
        # Last: it leaves OBS with many more sources.
        results["overlays"] = overlay_installs(token, [int(n) for n in args.overlays.split(",") if n])
        results["versions"] = versions(session)
    finally:
        session.stop()
        results["obs_exit_code"] = session.exit_code
        results["obs_leaks"] = session.leak_count()
        results["obs_forced"] = session.forced
        session.close()
    results["seconds"] = time.monotonic() - began
    results["python"] = platform.python_version()
    with open(args.output, "w") as f:
        json.dump(results, f, indent=1)
    log("done in %.0f s" % results["seconds"])


if __name__ == "__main__":
    main()
