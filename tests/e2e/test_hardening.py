"""The link against clients that misbehave in ways that once hurt OBS itself:
a client that leaves while its request waits on a modal dialog of OBS (a
nested event loop), text frames whose keys the JSON check and Qt's parser
read differently, peers that never read what they asked for, and request
heads of millions of short lines.

Each test checks that OBS stays up, that its memory stays within a stated
bound (VmRSS and VmHWM from /proc, printed as "[hardening]" lines), and
that a fresh client still links and is answered; at the end of each class
OBS must close by itself with exit code 0, unload the plug-in and leak
nothing. One OBS per class.
"""

import json
import select
import sys
import threading
import time
import unittest

from . import load_support as load
from . import support
from .support import obs_session as obs

MIB = 1024  # KiB in a MiB: memory figures are read in KiB
DISCONNECTED = "[tessil-link] Tessil disconnected"


def report(title, **figures):
    print("\n[hardening] %s: %s" % (title, ", ".join("%s=%s" % item for item in figures.items())), file=sys.stderr)


class HardeningCase(support.PluginTestCase):
    """One OBS for the class (its exit is checked as every class's is)."""

    def assert_obs_running(self):
        exited = "OBS exited (%s)\n%s" % (self.session.proc.poll(), self.session.log_tail())
        self.assertTrue(self.session.running(), exited)

    def assert_link_serves(self):
        """OBS is up and a fresh client links and gets its "status"."""
        self.assert_obs_running()
        with support.linked_client(self.session) as client:
            reply = client.request("status")
        self.assertEqual((reply["op"], reply["id"], reply["ok"]), ("res", client.last_id, True), reply)

    def measure(self):
        """OBS's memory now, with its peak (VmHWM) set back to it."""
        load.reset_peak_memory(self.session.pid)
        return load.memory_kib(self.session.pid)

    def memory_since(self, before, title):
        """Figures since measure(): growth of VmRSS, and how far the peak
        rose above the VmRSS measure() read."""
        after = load.memory_kib(self.session.pid)
        figures = {
            "rss_before_kib": before["rss"],
            "rss_after_kib": after["rss"],
            "rss_growth_kib": after["rss"] - before["rss"],
            "peak_rise_kib": after["hwm"] - before["rss"],
        }
        report(title, **figures)
        return figures

    def log_count(self, text):
        return self.session.log_text().count(text)


# ---------------------------------------------------------------------------
# A request that runs a nested event loop: OBS's "No Sources" question
# ---------------------------------------------------------------------------

# Before it starts an output in a collection without any video source, OBS
# asks "No Sources" in a modal message box, inside the call that starts it:
# a "replay.start" request then waits in a nested event loop until the box
# is answered. Closing the box, as a window manager's close button does,
# answers "No".
NO_SOURCES = "No Sources"
EMPTY_COLLECTION = obs.collection([obs.scene("Scene"), obs.scene("Scene 2")])
# Opening and closing one dialog, with a few connections: a leak of socket
# buffers or records would not show at this size, a runaway would.
DIALOG_RSS_GROWTH_BOUND_KIB = 32 * MIB


class NestedLoopCase(HardeningCase):
    session_options = {
        "websocket": True,
        "collection": EMPTY_COLLECTION,
        "profile_ini": obs.REPLAY_BUFFER_PROFILE,
    }

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.session.wait_for_log(support.WEBSOCKET_STARTED)
        cls.obs = support.ObsWebSocket()
        cls.addClassCleanup(cls.obs.close)
        # obs-websocket refuses the status of a replay buffer the profile
        # does not enable.
        if cls.obs.call("GetReplayBufferStatus")["outputActive"]:
            raise AssertionError("the replay buffer runs already")

    def ask_replay_start(self, send):
        """Sends "replay.start" through send() and waits for OBS's
        question; a failing test does not leave it up (OBS would not close
        behind it)."""
        send()
        self.addCleanup(self.session.close_window, NO_SOURCES)
        self.assertTrue(
            self.session.window_titled(NO_SOURCES),
            "no %r dialog (OBS running: %s)\n%s" % (NO_SOURCES, self.session.running(), self.session.log_tail()),
        )

    def answer_no(self):
        self.assertTrue(self.session.close_window(NO_SOURCES), "the %r dialog did not close" % NO_SOURCES)

    def assert_replay_buffer_off(self):
        self.assertFalse(self.obs.call("GetReplayBufferStatus")["outputActive"])


class ClientLeavesDuringNestedLoop(NestedLoopCase):
    def test_client_leaving_while_its_request_waits_on_a_dialog(self):
        before = self.measure()
        client = support.linked_client(self.session)
        self.addCleanup(client.close)
        self.ask_replay_start(lambda: client.send({"op": "req", "id": 1, "cmd": "replay.start"}))

        gone = self.log_count(DISCONNECTED)
        client.close()
        self.assertTrue(
            load.wait_until(lambda: self.log_count(DISCONNECTED) > gone, 10), "the plug-in did not see the client go"
        )
        # Tessil links again while OBS still asks: it is served meanwhile.
        self.assert_link_serves()

        self.answer_no()
        time.sleep(0.5)  # the request's handler has returned by now
        self.assert_link_serves()
        self.assert_replay_buffer_off()
        figures = self.memory_since(before, "client left during a nested event loop")
        self.assertLess(figures["rss_growth_kib"], DIALOG_RSS_GROWTH_BOUND_KIB)


class ClientStaysDuringNestedLoop(NestedLoopCase):
    def test_requests_and_pings_during_a_dialog_answered_in_order_after_it(self):
        """What a linked client sends while its request waits on the dialog
        is handled once the dialog is answered: every request and ping once,
        in the order sent, nothing before."""
        before = self.measure()
        client = load.RawClient(timeout=20)
        self.addCleanup(client.close)
        client.link(self.session.token())
        # Past the "scenes.changed" that OBS's start-up sends.
        while not client.silent_for(0.5) and not client.ended:
            while client.reader.next() is not None:
                pass
        self.ask_replay_start(lambda: client.send(load.request_frame(1, "replay.start")))

        client.send(
            load.request_frame(2, "status")
            + load.frame(b"first", load.PING)
            + load.request_frame(3, "scenes.list")
            + load.frame(b"second", load.PING)
            + load.request_frame(4, "status")
        )
        self.assertTrue(
            client.silent_for(1.0),
            "while OBS still asked: %r%s" % (bytes(client.reader.buffer[:300]), " (closed)" if client.ended else ""),
        )

        self.answer_no()
        received = []
        for _ in range(6):
            opcode, payload = client.recv_frame()
            if opcode == load.PONG:
                received.append(("pong", payload.decode()))
            else:
                message = json.loads(payload)
                received.append((message["op"], message.get("id"), message.get("ok")))
        self.assertEqual(
            received,
            [
                ("res", 1, True),
                ("res", 2, True),
                ("pong", "first"),
                ("res", 3, True),
                ("pong", "second"),
                ("res", 4, True),
            ],
        )
        # Nothing more was on its way: the next request's answer comes next.
        client.next_id = 4
        self.assertEqual(client.request("status")["id"], 5)

        self.assert_link_serves()
        self.assert_replay_buffer_off()
        figures = self.memory_since(before, "requests during a nested event loop")
        self.assertLess(figures["rss_growth_kib"], DIALOG_RSS_GROWTH_BOUND_KIB)


# ---------------------------------------------------------------------------
# Keys the JSON check and Qt's parser read differently
# ---------------------------------------------------------------------------

# Two keys that Qt 5's parser takes for one, while a check that reads them
# another way sees two: a backslash and the raw byte 0x80 (not UTF-8: that
# is the point), and an escaped pair of code units. Qt 5 leaks the value a
# repeated key replaces: here a 1 MiB string per frame.
DIFFERENTLY_READ_KEYS = b'[{"\\\x80":{"s":"' + b"x" * (1 << 20) + b'"},"\\uD7BF\\uDF80":1}]'
DIFFERENTLY_READ_FRAMES = 120
# 120 MiB of such frames pass through OBS 1 MiB at a time; what they may
# leave behind (allocator caches, one frame's buffers) is far less than what
# leaking each frame's string would keep: 120 MiB or more.
KEYS_RSS_GROWTH_BOUND_KIB = 64 * MIB


class KeysReadDifferently(HardeningCase):
    def test_unlinked_frames_with_differently_read_keys_leave_no_memory_behind(self):
        with load.RawClient(timeout=60) as client:
            client.connect()
            client.handshake()
            # Warm up: buffers of a 1 MiB frame, dropped unanswered (an array).
            client.send(load.frame(b'["' + b"y" * (1 << 20) + b'"]') + load.frame(b"warm", load.PING))
            self.assertEqual(client.recv_frame(), (load.PONG, b"warm"))
            time.sleep(0.2)
            before = self.measure()

            data = load.frame(DIFFERENTLY_READ_KEYS)
            begin = time.monotonic()
            # A few frames at a time, each group followed by a ping: the
            # input OBS has not handled yet stays under the 8 MiB a
            # connection may buffer, however slowly OBS parses. Handled in
            # order: once the pong is back, every frame before it was, and
            # none of them got an answer.
            for group in range(0, DIFFERENTLY_READ_FRAMES, 4):
                mark = b"after %d" % group
                client.send(data * min(4, DIFFERENTLY_READ_FRAMES - group) + load.frame(mark, load.PING))
                self.assertEqual(client.recv_frame(timeout=60), (load.PONG, mark))
            seconds = time.monotonic() - begin
        time.sleep(0.3)
        figures = self.memory_since(
            before,
            "%d frames with differently read keys (%.1f s)" % (DIFFERENTLY_READ_FRAMES, seconds),
        )
        self.assert_link_serves()
        self.assertLess(figures["rss_growth_kib"], KEYS_RSS_GROWTH_BOUND_KIB)


# ---------------------------------------------------------------------------
# Peers that do not read what they asked for
# ---------------------------------------------------------------------------

# Scenes with long names: each "scenes.list" answer is about 11 KB, for a
# request of about 60 bytes.
LISTED_SCENES = ["Scene %03d, named at length so that the list of scenes is large" % i for i in range(120)]
PEER_COLLECTION = obs.collection([obs.scene(name) for name in LISTED_SCENES])
# A connection may leave 16 MiB of output untaken: past that the plug-in
# reads nothing more of it until the peer takes its data, and closes it when
# it stays past that for 10 s. It closes neither before this (the peer is
# given time to catch up) nor later than this after its client stopped
# reading.
CLOSED_NOT_BEFORE_SECONDS = 5
CLOSED_BY_SECONDS = 25
# Three connections with up to 16 MiB of output each, their unread input and
# the allocator's slack; keeping everything they asked for (several hundred
# MiB) is far above it.
PEER_PEAK_RISE_BOUND_KIB = 96 * MIB
# A small receive buffer: what the client does not read stays with OBS.
SMALL_RECEIVE_BUFFER = 4096
READ_PACE_BYTES = 64 * 1024  # a slow reader takes this much per 2 ms


def ping_flood(count=300, size=1 << 20):
    """count pings of size bytes, as chunks to send."""
    ping = load.frame(b"f" * size, load.PING)
    return [ping] * count


def request_flood(count=10000):
    """count "scenes.list" requests: about 600 KB that ask for about
    110 MB."""
    return [b"".join(load.request_frame(request_id, "scenes.list") for request_id in range(1, count + 1))]


class Flood(threading.Thread):
    """Sends chunks on the client's socket as fast as the peer takes them.
    Reads nothing, or only read_bytes once read_after seconds have passed.
    Ends when that is done, the connection ended, or SECONDS passed."""

    SECONDS = 40

    def __init__(self, client, chunks, read_after=None, read_bytes=0):
        super().__init__(daemon=True)
        self.client, self.chunks = client, chunks
        self.total = sum(len(chunk) for chunk in chunks)
        self.read_after, self.to_read = read_after, read_bytes
        self.sent = 0
        self.read = 0
        self.error = None
        self.stop = threading.Event()

    def run(self):
        sock = self.client.sock
        sock.setblocking(False)
        begin = time.monotonic()
        pending = [memoryview(chunk) for chunk in self.chunks]
        while not self.stop.is_set() and time.monotonic() - begin < self.SECONDS:
            reading = self.read_after is not None and time.monotonic() - begin >= self.read_after
            reading = reading and self.read < self.to_read
            if not pending and not reading and (self.read_after is None or self.read >= self.to_read):
                return
            readable, writable, _ = select.select([sock] if reading else [], [sock] if pending else [], [], 0.05)
            try:
                if readable:
                    data = sock.recv(min(65536, self.to_read - self.read))
                    if not data:
                        return
                    self.read += len(data)
                if writable:
                    count = sock.send(pending[0])
                    self.sent += count
                    pending[0] = pending[0][count:]
                    if not pending[0]:
                        pending.pop(0)
            except BlockingIOError:
                continue
            except OSError as error:  # reset by OBS
                self.error = error
                return


class PeersThatDoNotRead(HardeningCase):
    session_options = {"collection": PEER_COLLECTION}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.token = cls.session.token()
        # Past the "scenes.changed" that OBS's start-up sends.
        time.sleep(0.5)

    def open_client(self, linked):
        client = load.RawClient(timeout=30, receive_buffer=SMALL_RECEIVE_BUFFER)
        self.addCleanup(client.close)
        if linked:
            client.link(self.token)
        else:
            client.connect()
            client.handshake()
        return client

    def test_peers_that_never_read_are_paused_then_closed(self):
        """An unlinked client pinging with 1 MiB pings and linked ones
        asking "scenes.list" over and over, all of them no longer reading:
        OBS stops reading them once their output is over the limit, and
        closes them when they take nothing more; meanwhile OBS's memory
        stays bounded."""
        cases = {
            # 300 MiB cannot all be sent once OBS stops reading.
            "unlinked, 300 pings of 1 MiB": (False, ping_flood(), {}, True),
            # The requests fit in the sockets' buffers: only OBS's memory
            # shows that it stopped answering them.
            "linked, 10,000 scenes.list": (True, request_flood(), {}, False),
            # Takes part of its output once OBS has stopped reading it (its
            # output then falls back under the limit), then stops for good.
            "linked, 10,000 scenes.list, 4 MiB read after 2 s": (
                True,
                request_flood(),
                {"read_after": 2.0, "read_bytes": 4 * 1024 * 1024},
                False,
            ),
        }
        before = self.measure()
        floods = {}
        for case, (linked, chunks, reading, _) in cases.items():
            floods[case] = Flood(self.open_client(linked), chunks, **reading)
        begin = time.monotonic()
        for flood in floods.values():
            flood.start()
        closed_after = {}
        while time.monotonic() - begin < CLOSED_BY_SECONDS and len(closed_after) < len(floods):
            for case, flood in floods.items():
                if case not in closed_after and load.server_socket(load.LINK_PORT, flood.client.local_port) is None:
                    closed_after[case] = time.monotonic() - begin
            time.sleep(0.05)
        figures = self.memory_since(before, "peers that stopped reading")
        for flood in floods.values():
            flood.stop.set()
            flood.join(10)
            flood.client.close()
        for case, flood in floods.items():
            report(
                "never reads: " + case,
                sent_mib=round(flood.sent / 1048576, 1),
                of_mib=round(flood.total / 1048576, 1),
                read_mib=round(flood.read / 1048576, 1),
                closed_after_s=round(closed_after[case], 2) if case in closed_after else "never",
                send_error=repr(flood.error),
            )
        for case, flood in floods.items():
            with self.subTest(case):
                if cases[case][3]:  # the flood blocks
                    self.assertLess(flood.sent, flood.total, "OBS read everything the client sent")
                self.assertIn(case, closed_after, "OBS did not close the connection within %d s" % CLOSED_BY_SECONDS)
                self.assertGreaterEqual(closed_after[case], CLOSED_NOT_BEFORE_SECONDS)
        self.assertLess(figures["peak_rise_kib"], PEER_PEAK_RISE_BOUND_KIB)
        self.assert_link_serves()

    def test_slow_readers_get_everything_in_order(self):
        """A client that sends much more than the output limit and reads
        only after a pause, then slowly: OBS holds back, and every pong and
        answer comes, once, in order, with its payload."""
        pings = 48
        requests = 4000
        cases = {
            "unlinked, %d pings of 1 MiB" % pings: (
                False,
                [load.frame(b"%08d" % i + b"s" * ((1 << 20) - 8), load.PING) for i in range(pings)],
                [(load.PONG, b"%08d" % i) for i in range(pings)],
            ),
            "linked, %d scenes.list" % requests: (
                True,
                [b"".join(load.request_frame(i, "scenes.list") for i in range(1, requests + 1))],
                [(load.TEXT, i) for i in range(1, requests + 1)],
            ),
        }
        for case, (linked, chunks, expected) in cases.items():
            with self.subTest(case):
                before = self.measure()
                client = self.open_client(linked)
                sender = threading.Thread(target=client.send, args=(b"".join(chunks),), daemon=True)
                begin = time.monotonic()
                sender.start()
                time.sleep(2.0)  # more than the limit is asked for meanwhile
                received = []
                reader = client.reader
                unpaced = 0
                while len(received) < len(expected):
                    got = reader.next()
                    if got is None:
                        held = len(reader.buffer)
                        client._receive(time.monotonic() + 30)
                        unpaced += len(reader.buffer) - held
                        if unpaced >= READ_PACE_BYTES:  # about 32 MiB/s
                            time.sleep(0.002)
                            unpaced = 0
                        continue
                    opcode, payload = got
                    if opcode == load.PONG:
                        self.assertEqual(len(payload), 1 << 20)
                        self.assertEqual(payload[8:], b"s" * ((1 << 20) - 8))
                        received.append((opcode, payload[:8]))
                    else:
                        message = json.loads(payload)
                        if message.get("op") == "event":
                            continue
                        self.assertTrue(message["ok"] and len(message["data"]["scenes"]) == len(LISTED_SCENES))
                        received.append((opcode, message["id"]))
                seconds = time.monotonic() - begin
                sender.join(30)
                self.assertFalse(sender.is_alive())
                self.assertEqual(received, expected)
                self.assertTrue(client.silent_for(0.3), "more came than was asked for")
                figures = self.memory_since(before, "slow reader: %s (%.1f s)" % (case, seconds))
                self.assertLess(figures["peak_rise_kib"], PEER_PEAK_RISE_BOUND_KIB)
                client.close()
        self.assert_link_serves()


# ---------------------------------------------------------------------------
# Request heads of millions of short lines
# ---------------------------------------------------------------------------

HEAD_LIMIT = load.BUFFER_LIMIT  # a head may fill the whole buffer
# An 8 MiB head is held once, in the connection's buffer (and may pass
# through a socket buffer on its way); anything per line (a copy of each of
# 4 million lines) goes far past this.
HEAD_PEAK_RISE_BOUND_KIB = 48 * MIB
# The longest round trip a linked client may see while OBS takes in such a
# head: a stall of OBS's user interface bound, with room for a busy 2-core
# machine (the handling itself should be a few milliseconds).
HEAD_STALL_BOUND_MS = 250


def head_of_short_lines(size, head_lines=(), terminated=True):
    """A request head of exactly size bytes: the request line, then "a\\n"
    lines, then (when terminated) "\\r\\n", head_lines and the blank line."""
    start = b"GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n" % load.LINK_PORT
    # "a\n" then "\r\n": an empty line that does not end the head.
    end = b"\r\n" + b"".join(line + b"\r\n" for line in head_lines) + b"\r\n" if terminated else b""
    filler = size - len(start) - len(end)
    if filler % 2:  # one more space before the host, which is trimmed
        start = start.replace(b"Host: ", b"Host:  ")
        filler -= 1
    head = start + b"a\n" * (filler // 2) + end
    assert len(head) == size
    return head


def upgrade_lines(key):
    return [
        b"Upgrade: websocket",
        b"Connection: Upgrade",
        b"Sec-WebSocket-Key: " + key.encode(),
        b"Sec-WebSocket-Version: 13",
    ]


class LargeRequestHeads(HardeningCase):
    def test_head_of_short_lines_costs_little_memory_and_no_stall(self):
        cases = {
            # Refused for lack of a key: closed without an answer.
            "complete, without a key": True,
            # Held open, silent, at exactly the limit.
            "unfinished": False,
        }
        probe = load.Probe(self.session.token())
        self.addCleanup(probe.close)
        for case, terminated in cases.items():
            with self.subTest(case):
                head = head_of_short_lines(HEAD_LIMIT, terminated=terminated)
                time.sleep(0.2)
                before = self.measure()
                probe.mark(case)
                with load.RawClient(timeout=30) as client:
                    client.connect()
                    client.send(head)
                    if terminated:
                        self.assertEqual(client.wait_ended(), [])
                    else:
                        port = client.local_port
                        read = load.wait_until(lambda: load.connections_to(load.LINK_PORT).get(port) == 0, 20)
                        self.assertTrue(read, "OBS did not read the head")
                        self.assertTrue(client.silent_for(0.3), "answered or closed at the limit")
                time.sleep(0.3)  # round trips after the head too
                segment = probe.mark("between")
                figures = self.memory_since(before, "8 MiB head of 2-byte lines, " + case)
                latencies = load.summary(segment["latencies"])
                report("probe during the 8 MiB head, " + case, **latencies)
                self.assertEqual(segment["errors"], [])
                self.assertGreater(latencies["count"], 0)
                self.assertLess(latencies["max_ms"], HEAD_STALL_BOUND_MS)
                self.assertLess(figures["peak_rise_kib"], HEAD_PEAK_RISE_BOUND_KIB)
        self.assertEqual(probe.stop()["errors"], [])
        self.assert_link_serves()

    def test_upgrade_head_of_short_lines_up_to_the_limit(self):
        """An upgrade request of exactly the limit, most of it "a\\n" lines
        before the key, is upgraded and links; one byte more is closed
        without an answer."""
        cases = {"exactly the limit": HEAD_LIMIT, "one byte more": HEAD_LIMIT + 1}
        for case, size in cases.items():
            with self.subTest(case):
                before = self.measure()
                key = "dGhlIHNhbXBsZSBub25jZQ=="
                with load.RawClient(timeout=30) as client:
                    client.connect()
                    client.send(head_of_short_lines(size, upgrade_lines(key)))
                    if size > HEAD_LIMIT:
                        self.assertEqual(client.wait_ended(), [])
                    else:
                        head = client._read_head()
                        self.assertTrue(head.startswith(b"HTTP/1.1 101 "), head)
                        self.assertIn(("Sec-WebSocket-Accept: " + load.accept_value(key)).encode(), head)
                        self.assertEqual(client.recv_json()["op"], "hello")
                        token = self.session.token()
                        client.send_json({"op": "auth", "token": token, "app": "tessil-e2e", "version": "1.2"})
                        self.assertEqual(client.recv_json()["op"], "ready")
                        self.assertTrue(client.request("status")["ok"])
                figures = self.memory_since(before, "upgrade head of 2-byte lines, " + case)
                self.assertLess(figures["peak_rise_kib"], HEAD_PEAK_RISE_BOUND_KIB)
        self.assert_link_serves()


if __name__ == "__main__":
    unittest.main()
