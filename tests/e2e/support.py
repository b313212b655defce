"""What the end-to-end tests share: the plug-in under test, OBS sessions,
and WebSocket clients for the link and for obs-websocket.

TESSIL_PLUGIN_DIR names the built plug-in folder
(<dir>/bin/64bit/tessil-link.so, <dir>/data/locale/en-US.ini); without it the
Qt 5 build's folder, build/qt5/plugin/tessil-link, is used.
"""

import asyncio
import json
import os
import queue
import re
import socket
import sys
import threading
import time
import unittest

import websockets

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(REPO, "scripts"))

import obs_session  # noqa: E402  (needs the path above)

LINK_ADDRESS = ("127.0.0.1", obs_session.LINK_PORT)
LOADED = re.escape("[tessil-link] Tessil Link loaded (version 0.1.0)")
LISTENING = re.escape("[tessil-link] waiting for Tessil on ws://127.0.0.1:47841")
UNLOADED = "[tessil-link] Tessil Link unloaded"
TOKEN_ALPHABET = "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnpqrstuvwxyz23456789"


def plugin_dir():
    path = os.path.abspath(
        os.environ.get("TESSIL_PLUGIN_DIR") or os.path.join(REPO, "build", "qt5", "plugin", "tessil-link")
    )
    library = os.path.join(path, "bin", "64bit", "tessil-link.so")
    if not os.path.isfile(library):
        raise RuntimeError("no built plug-in at %s (set TESSIL_PLUGIN_DIR)" % library)
    return path


def machine_obs():
    """The suite runs in the OBS installed on the machine (Debian's), not in
    one of the OBS hosts named by TESSIL_OBS_BINARY."""
    return not os.environ.get("TESSIL_OBS_BINARY")


# The README's commands build for the OBS installed on the machine and start
# it: they are tried in that OBS, not again in each host.
only_in_machine_obs = unittest.skipUnless(
    machine_obs(), "the README's commands build for and run the OBS installed on the machine"
)


def require_private_network():
    """The tests bind fixed ports and start OBS, which reaches for the
    internet at load: they run only where loopback is the sole interface."""
    interfaces = sorted(name for _, name in socket.if_nameindex())
    if interfaces != ["lo"]:
        raise RuntimeError(
            "network interfaces %s besides lo: run the end-to-end tests through "
            "scripts/in-netns.sh" % ", ".join(i for i in interfaces if i != "lo")
        )


def readme_block(after):
    """The lines of the first ```sh block after the text `after` in the
    README."""
    with open(os.path.join(REPO, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    match = re.search(re.escape(after) + r".*?```sh\n(.*?)```", readme, re.S)
    if not match:
        raise AssertionError("no command block after %r in README.md" % after)
    return [line for line in match.group(1).splitlines() if line.strip()]


def plugin_session(**options):
    """An ObsSession with the plug-in under test installed (not started)."""
    require_private_network()
    return obs_session.ObsSession(plugin_dir=plugin_dir(), **options)


def frontend_errors_of_ours(log, host=None):
    """Error lines OBS 30 and later log when a module calls the front-end API
    after the exit event (it is gone by then), when the plug-in made them:
    the plug-in logs nothing else while it unloads, so its own come right
    before its unload line, after those OBS itself logs as its main window
    goes (ObsHost.frontend_errors_before_unload). (OBS's bundled
    obs-websocket makes such a call at its own unload, after ours.)"""
    host = host or obs_session.current_host()
    lines = log.splitlines()
    if UNLOADED not in log:
        return []
    end = next(i for i, line in enumerate(lines) if UNLOADED in line)
    begin = end
    while begin > 0 and "Tried to call obs_frontend_" in lines[begin - 1]:
        begin -= 1
    ours = lines[begin + host.frontend_errors_before_unload : end]
    return ["the plug-in made OBS log %r at unload" % line.strip() for line in ours]


def check_clean_stop(session):
    """After stop(): OBS closed by itself, the plug-in unloaded, no leaks."""
    problems = []
    if session.forced:
        problems.append("OBS had to be killed (%s)" % session.forced)
    if UNLOADED not in session.log_text():
        problems.append("no %r in the log" % UNLOADED)
    obs_own = session.obs_exit_leak()
    if obs_own:
        # OBS 32's own (see ObsHost.leaves_a_scene_at_exit): told, not failed.
        print(
            "\nOBS %s left scene(s) %s to libobs at exit: leaks %s, exit code %s, its own"
            % (session.host.version_text, ", ".join(obs_own), session.leak_count(), session.exit_code),
            file=sys.stderr,
            flush=True,
        )
    else:
        if session.exit_code != 0:
            # A signal shows as a negative code (a crash while exiting,
            # often before the leak count is logged).
            problems.append("OBS exited with code %s" % session.exit_code)
        if session.leak_count() != 0:
            problems.append("memory leaks: %s" % session.leak_count())
    problems.extend(frontend_errors_of_ours(session.log_text(), session.host))
    if problems:
        raise AssertionError("; ".join(problems) + "\n" + session.log_tail())


def wait_for_listener(port, timeout=10.0):
    """Waits until a TCP socket listens on port (read from /proc/net/tcp, so
    that no connection is used up: some servers take exactly one)."""
    deadline = time.monotonic() + timeout
    wanted = ":%04X" % port
    while time.monotonic() < deadline:
        with open("/proc/net/tcp") as table:
            for line in table.readlines()[1:]:
                fields = line.split()
                if fields[1].endswith(wanted) and fields[3] == "0A":  # LISTEN
                    return
        time.sleep(0.05)
    raise AssertionError("nothing listens on port %d after %g s" % (port, timeout))


class PluginTestCase(unittest.TestCase):
    """One OBS with the plug-in for all tests of the class, listening before
    the first test. Closing it at the end is checked with check_clean_stop.
    Options for ObsSession go in session_options; listening is the log
    line (a regular expression) awaited before the tests."""

    session_options = {}
    listening = LISTENING

    @classmethod
    def setUpClass(cls):
        cls.session = plugin_session(**cls.session_options)
        cls.addClassCleanup(cls.session.close)
        cls.session.start()
        cls.session.wait_for_log(cls.listening)

    @classmethod
    def tearDownClass(cls):
        cls.session.stop()
        check_clean_stop(cls.session)


class Polling:
    """For test cases that wait for OBS to reach a state: wait_until polls
    every POLL seconds for at most WAIT (a class may set its own)."""

    WAIT = 5.0
    POLL = 0.02

    def wait_until(self, probe, expected, timeout=None):
        """Polls probe() until it gives expected; fails with the last value
        after timeout seconds (WAIT when not given)."""
        deadline = time.monotonic() + (self.WAIT if timeout is None else timeout)
        while True:
            value = probe()
            if value == expected or time.monotonic() > deadline:
                self.assertEqual(value, expected)
                return
            time.sleep(self.POLL)


class LinkRequests:
    """For test cases with a linked client in self.client."""

    def request(self, cmd, args=None):
        """The reply without its envelope ("op", "id")."""
        reply = self.client.request(cmd, args)
        self.assertEqual((reply.pop("op"), reply.pop("id")), ("res", self.client.last_id))
        return reply

    def flags(self):
        data = self.request("status")["data"]
        return {"povShown": data["povShown"], "dualShown": data["dualShown"]}


# ---------------------------------------------------------------------------
# WebSocket clients: the link protocol and obs-websocket 5
# ---------------------------------------------------------------------------

LINK_URI = "ws://127.0.0.1:%d" % obs_session.LINK_PORT
WEBSOCKET_URI = "ws://127.0.0.1:%d" % obs_session.WEBSOCKET_PORT
WEBSOCKET_STARTED = re.escape("[obs-websocket] [WebSocketServer::Start] Server started successfully")
TIMEOUT = 10.0


class Closed(Exception):
    """The server closed the connection."""


class JsonWebSocket:
    """A websockets client run on an event loop of its own in a background
    thread, with blocking calls for the tests. Every text frame is decoded
    as JSON and queued as it arrives, so nothing waits on the test to read
    it (frames sent while OBS is closing are all kept); the end of the
    connection is queued as a Closed."""

    def __init__(self, uri, timeout=TIMEOUT, **options):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()
        self.messages = queue.Queue()
        self.closed = False
        try:
            self.ws = self._call(
                lambda: websockets.connect(uri, ping_interval=None, close_timeout=1, **options), timeout
            )
        except BaseException:
            self._stop_loop()
            raise
        self.reader = asyncio.run_coroutine_threadsafe(self._read(), self.loop)

    def _call(self, make, timeout=TIMEOUT):
        """Runs make() on the loop (websockets binds to the running loop)
        and waits for the awaitable it returns."""

        async def run():
            return await make()

        return asyncio.run_coroutine_threadsafe(run(), self.loop).result(timeout)

    async def _read(self):
        try:
            async for text in self.ws:
                try:
                    self.messages.put(json.loads(text))
                except ValueError:
                    self.messages.put(AssertionError("a frame that is not JSON: %r" % text))
        except websockets.ConnectionClosed:
            pass
        self.messages.put(Closed(self.ws.close_code))

    def send(self, message):
        self._call(lambda: self.ws.send(json.dumps(message)))

    def recv(self, timeout=TIMEOUT):
        """The next message; raises Closed at the end of the connection and
        TimeoutError when nothing came within timeout."""
        if self.closed:
            raise Closed()
        try:
            message = self.messages.get(timeout=timeout)
        except queue.Empty:
            raise TimeoutError("no message within %g s" % timeout) from None
        if isinstance(message, Closed):
            self.closed = True
        if isinstance(message, Exception):
            raise message
        return message

    def close(self):
        if self.loop.is_closed():
            return
        try:
            self._call(self.ws.close, 5)
            self.reader.result(5)
        except Exception:
            pass
        self._stop_loop()

    def _stop_loop(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(5)
        self.loop.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


class LinkClient(JsonWebSocket):
    """A Tessil-side client of the link. The first message, "hello", is
    kept in self.hello. Events that arrive while a request waits for its
    answer are kept, in order, for next_event."""

    def __init__(self, uri=LINK_URI, timeout=TIMEOUT):
        super().__init__(uri, timeout)
        self.hello = self.recv(timeout)
        self.events = []
        self.last_id = 0

    def link(self, token, app="tessil-e2e", version="1.2"):
        """Sends "auth" and returns the answer ("ready" or "denied")."""
        self.send({"op": "auth", "token": token, "app": app, "version": version})
        return self.recv()

    def request(self, cmd, args=None, timeout=TIMEOUT):
        """Sends one "req" and returns its whole "res" message."""
        self.last_id += 1
        message = {"op": "req", "id": self.last_id, "cmd": cmd}
        if args is not None:
            message["args"] = args
        self.send(message)
        deadline = time.monotonic() + timeout
        while True:
            reply = self.recv(max(0.0, deadline - time.monotonic()))
            if reply.get("op") == "res" and reply.get("id") == self.last_id:
                return reply
            if reply.get("op") != "event":
                raise AssertionError("unexpected message while waiting for res %d: %r" % (self.last_id, reply))
            self.events.append(reply)

    def next_event(self, event_name=None, timeout=TIMEOUT, **members):
        """The next event, kept ones first; with an event name (and members),
        the next of that name (holding those members), skipping others."""
        deadline = time.monotonic() + timeout
        while True:
            while self.events:
                event = self.events.pop(0)
                if (event_name is None or event.get("event") == event_name) and all(
                    event.get(key) == value for key, value in members.items()
                ):
                    return event
            message = self.recv(max(0.0, deadline - time.monotonic()))
            if message.get("op") != "event":
                raise AssertionError("unexpected message while waiting for an event: %r" % message)
            self.events.append(message)

    def events_within(self, seconds):
        """Every event kept or received from now until seconds have passed."""
        deadline = time.monotonic() + seconds
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                break
            try:
                self.events.append(self.recv(remaining))
            except (TimeoutError, Closed):
                break
        events, self.events = self.events, []
        return events

    def until_closed(self, timeout=TIMEOUT):
        """Every message, kept events first, until the server closes the
        connection."""
        messages, self.events = self.events, []
        deadline = time.monotonic() + timeout
        while True:
            try:
                messages.append(self.recv(max(0.0, deadline - time.monotonic())))
            except Closed:
                return messages

    def wait_quiet(self, quiet=0.5, timeout=TIMEOUT):
        """Drops events until none has come for quiet seconds, e.g. a
        coalesced "scenes.changed" still on its way from OBS's start."""
        deadline = time.monotonic() + timeout
        self.events = []
        while time.monotonic() < deadline:
            try:
                self.recv(quiet)
            except TimeoutError:
                return
        raise AssertionError("events kept coming for %g s" % timeout)


def linked_client(session):
    """A LinkClient authenticated with the session's token file."""
    client = LinkClient()
    ready = client.link(session.token())
    if ready.get("op") != "ready":
        client.close()
        raise AssertionError("not linked: %r" % ready)
    client.ready = ready
    return client


class ObsRequestError(AssertionError):
    def __init__(self, request_type, status):
        super().__init__("%s failed: %r" % (request_type, status))
        self.status = status


class ObsWebSocket(JsonWebSocket):
    """A minimal obs-websocket 5 client (no authentication): Hello,
    Identify, Identified, then requests one at a time.

    No events by default. With event_subscriptions (obs-websocket's
    EventSubscription bits, such as INPUT_EVENTS), the events of those
    categories are kept, in order of arrival, in self.events as their "d"
    objects, whether they arrive while a request waits for its answer or
    are collected by take_events."""

    # obs-websocket 5's EventSubscription bit of input events (mute, volume, ...)
    INPUT_EVENTS = 1 << 3

    def __init__(self, uri=WEBSOCKET_URI, timeout=TIMEOUT, event_subscriptions=0):
        super().__init__(uri, timeout, subprotocols=["obswebsocket.json"])
        self.events = []
        self.expect(0)  # Hello
        self.send({"op": 1, "d": {"rpcVersion": 1, "eventSubscriptions": event_subscriptions}})
        self.expect(2)  # Identified
        self.last_id = 0

    def take_events(self):
        """Every event kept or already received, oldest first; none are kept
        afterwards. obs-websocket hands events to a thread pool for sending,
        so an event may arrive after the answer to a later request."""
        while True:
            try:
                message = self.messages.get_nowait()
            except queue.Empty:
                break
            if isinstance(message, Closed):
                self.messages.put(message)  # for the next recv
                break
            if isinstance(message, Exception):
                raise message
            if message.get("op") != 5:
                raise AssertionError("obs-websocket: a message outside a request: %r" % (message,))
            self.events.append(message["d"])
        events, self.events = self.events, []
        return events

    def expect(self, op):
        """The "d" of the next message other than an event; events on the
        way are kept."""
        while True:
            message = self.recv()
            if message.get("op") == 5 and op != 5:
                self.events.append(message["d"])
                continue
            if message.get("op") != op:
                raise AssertionError("obs-websocket: expected op %d, got %r" % (op, message))
            return message["d"]

    # obs-websocket 5.5 and later answer "not ready" until OBS has finished
    # loading, which can come after "Startup complete" is logged.
    NOT_READY = 207
    READY_TIMEOUT = 20.0

    def call(self, request_type, **data):
        """Runs one request and returns its responseData ({} when none)."""
        deadline = time.monotonic() + self.READY_TIMEOUT
        while True:
            try:
                return self._call_once(request_type, data)
            except ObsRequestError as error:
                if error.status.get("code") != self.NOT_READY or time.monotonic() > deadline:
                    raise
                time.sleep(0.1)

    def _call_once(self, request_type, data):
        self.last_id += 1
        request_id = str(self.last_id)
        self.send({"op": 6, "d": {"requestType": request_type, "requestId": request_id, "requestData": data}})
        while True:
            response = self.expect(7)
            if response.get("requestId") == request_id:
                break
        status = response.get("requestStatus", {})
        if not status.get("result"):
            raise ObsRequestError(request_type, status)
        return response.get("responseData") or {}


QT_THREAD_WARNINGS = (
    "QSocketNotifier",
    "Cannot create children for a parent that is in a different thread",
    "QObject::",
    "QBasicTimer",
    "QTimer can only be used with threads started with QThread",
)


def qt_thread_warnings(log):
    """Lines of an OBS log in which Qt complains about threads."""
    return [line for line in log.splitlines() if any(warning in line for warning in QT_THREAD_WARNINGS)]
