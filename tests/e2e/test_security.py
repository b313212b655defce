"""Who can reach the link, against real OBS: web pages in a real browser
(headless Chromium) cannot, other hosts can only with LAN access on (a
second host in a network namespace of the test's own), and a client without
the token gets "denied" and nothing else: none of its requests reaches
OBS."""

import http.server
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.parse

from . import load_support as load
from . import support
from .support import obs_session as obs

CHROMIUM = "/usr/bin/chromium"
CHROMIUM_FLAGS = [
    "--headless",
    "--no-sandbox",
    "--disable-gpu",
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
]
BROWSER_SECONDS = 30
REFUSED_LINE = "[tessil-link] refused a client with a wrong token"
DENIED = (load.TEXT, b'{"op":"denied"}')


# ---------------------------------------------------------------------------
# Servers of the browser test: the page, a plain echo WebSocket server, and
# a relay to the link that records both directions
# ---------------------------------------------------------------------------

# Opens each target in turn and reports what happened to it, then "done".
PAGE = """<!doctype html>
<title>link reachability</title>
<script>
const results = "http://127.0.0.1:%(http_port)d/result";
function report(label, outcome) {
  new Image().src = results + "?label=" + encodeURIComponent(label) + "&outcome=" + encodeURIComponent(outcome);
}
function attempt(label, url) {
  return new Promise((resolve) => {
    const seen = [];
    const finish = () => { report(label, seen.join(",")); resolve(); };
    const timer = setTimeout(() => { seen.push("timeout"); finish(); }, 5000);
    let socket;
    try { socket = new WebSocket(url); } catch (e) { seen.push("throw"); clearTimeout(timer); finish(); return; }
    socket.onopen = () => { seen.push("open"); socket.send("hello from the page"); };
    socket.onmessage = (m) => { seen.push("message:" + m.data); socket.close(1000); };
    socket.onerror = () => { seen.push("error"); };
    socket.onclose = (e) => { seen.push("close:" + e.code); clearTimeout(timer); finish(); };
  });
}
(async () => {
  await attempt("link", "ws://127.0.0.1:%(link_port)d");
  await attempt("relay", "ws://127.0.0.1:%(relay_port)d");
  await attempt("echo", "ws://127.0.0.1:%(echo_port)d");
  report("done", "1");
})();
</script>
"""


class ResultServer:
    """HTTP on 127.0.0.1 (a free port): serves the page at /page.html and
    collects the page's reports from /result."""

    def __init__(self):
        self.page = b""
        self.results = {}
        self.requests = []
        self.done = threading.Event()
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                url = urllib.parse.urlsplit(self.path)
                outer.requests.append(url.path)
                if url.path == "/page.html":
                    self.send_response(200)
                    self.send_header("Content-Type", "text/html")
                    self.send_header("Content-Length", str(len(outer.page)))
                    self.end_headers()
                    self.wfile.write(outer.page)
                    return
                if url.path == "/result":
                    query = urllib.parse.parse_qs(url.query)
                    label, outcome = query["label"][0], query["outcome"][0]
                    outer.results[label] = outcome
                    if label == "done":
                        outer.done.set()
                self.send_response(204)
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def reset(self, page):
        self.page = page.encode()
        self.results = {}
        self.done.clear()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class TcpService:
    """A listening socket on 127.0.0.1 (a free port) that hands each
    accepted connection to serve() on a thread of its own."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return  # closed
            connection.settimeout(10)
            threading.Thread(target=self._serve, args=(connection,), daemon=True).start()

    def _serve(self, connection):
        try:
            self.serve(connection)
        except OSError:
            pass
        finally:
            connection.close()

    def close(self):
        self.listener.close()


def read_head(connection):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = connection.recv(4096)
        if not chunk:
            raise OSError("closed before the end of the head")
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    return head, rest


class EchoServer(TcpService):
    """A WebSocket server that accepts any upgrade, whatever its Origin,
    and answers the first text message with "echo:" and the message."""

    def __init__(self):
        self.heads = []
        super().__init__()

    def serve(self, connection):
        head, rest = read_head(connection)
        self.heads.append(head)
        key = re.search(rb"(?im)^sec-websocket-key:\s*(\S+)", head).group(1).decode()
        connection.sendall(
            b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            b"Sec-WebSocket-Accept: " + load.accept_value(key).encode() + b"\r\n\r\n"
        )
        reader = load.FrameReader()
        reader.feed(rest)
        while True:
            got = reader.next()
            if got is None:
                chunk = connection.recv(4096)
                if not chunk:
                    return
                reader.feed(chunk)
                continue
            opcode, payload = got
            if opcode == load.TEXT:
                connection.sendall(load.frame(b"echo:" + payload, mask=False))
            elif opcode == load.CLOSE:  # echoed with the peer's status code
                connection.sendall(load.frame(payload[:2], load.CLOSE, mask=False))
                return


class RecordingRelay(TcpService):
    """Forwards each connection to the link and records what went each
    way, and whether the link ended the connection."""

    def __init__(self):
        self.records = []
        super().__init__()

    def serve(self, connection):
        record = {"to_link": b"", "from_link": b"", "link_ended": False}
        self.records.append(record)
        link = socket.create_connection(("127.0.0.1", obs.LINK_PORT), timeout=10)

        def link_to_client():
            try:
                while True:
                    data = link.recv(65536)
                    if not data:
                        break
                    record["from_link"] += data
                    connection.sendall(data)
            except OSError:
                pass
            record["link_ended"] = True
            try:
                connection.shutdown(socket.SHUT_WR)
            except OSError:
                pass

        back = threading.Thread(target=link_to_client, daemon=True)
        back.start()
        try:
            while True:
                data = connection.recv(65536)
                if not data:
                    break
                record["to_link"] += data
                link.sendall(data)
        except OSError:
            pass
        back.join(10)
        link.close()


def run_chromium(url, done, timeout=BROWSER_SECONDS):
    """Runs headless Chromium on url with a fresh profile until done is set
    (or timeout); returns the tail of its output."""
    if not os.path.exists(CHROMIUM):
        raise AssertionError("no %s: install Debian's chromium package (scripts/setup.sh)" % CHROMIUM)
    home = tempfile.mkdtemp(prefix="tessil-chromium-")
    output_path = os.path.join(home, "output.txt")
    try:
        with open(output_path, "wb") as output:
            browser = subprocess.Popen(
                [CHROMIUM] + CHROMIUM_FLAGS + ["--user-data-dir=" + os.path.join(home, "profile"), url],
                stdin=subprocess.DEVNULL,
                stdout=output,
                stderr=subprocess.STDOUT,
                env=dict(os.environ, HOME=home),
                start_new_session=True,  # its helpers share its process group
            )
        try:
            done.wait(timeout)
        finally:
            group = browser.pid
            os.killpg(group, signal.SIGTERM)
            try:
                browser.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(group, signal.SIGKILL)
                browser.wait()
        with open(output_path, "rb") as f:
            return "\n".join(f.read().decode("utf-8", "replace").splitlines()[-20:])
    finally:
        shutil.rmtree(home, ignore_errors=True)


class BrowserPages(support.PluginTestCase):
    """A page served from loopback, and one opened from a file, each try the
    link, the link through a relay that records the bytes, and an echo
    server that ignores Origin (the page's own means work)."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.pages = ResultServer()
        cls.addClassCleanup(cls.pages.close)
        cls.echo = EchoServer()
        cls.addClassCleanup(cls.echo.close)
        cls.relay = RecordingRelay()
        cls.addClassCleanup(cls.relay.close)
        page = PAGE % {
            "http_port": cls.pages.port,
            "link_port": obs.LINK_PORT,
            "relay_port": cls.relay.port,
            "echo_port": cls.echo.port,
        }
        folder = tempfile.mkdtemp(prefix="tessil-page-")
        cls.addClassCleanup(shutil.rmtree, folder, True)
        with open(os.path.join(folder, "page.html"), "w") as f:
            f.write(page)
        cls.runs = {}
        for kind, url in (
            ("served page", "http://127.0.0.1:%d/page.html" % cls.pages.port),
            ("file page", "file://" + os.path.join(folder, "page.html")),
        ):
            cls.pages.reset(page)
            heads, records = len(cls.echo.heads), len(cls.relay.records)
            output = run_chromium(url, cls.pages.done)
            cls.runs[kind] = {
                "results": dict(cls.pages.results),
                "echo_heads": cls.echo.heads[heads:],
                "relayed": cls.relay.records[records:],
                "output": output,
            }

    def test_pages_ran_in_the_browser(self):
        self.assertIn("/page.html", self.pages.requests)
        for kind, run in self.runs.items():
            with self.subTest(kind):
                self.assertEqual(run["results"].get("done"), "1", run["output"])

    def test_page_reaches_a_server_that_ignores_origin(self):
        for kind, run in self.runs.items():
            with self.subTest(kind):
                self.assertEqual(run["results"].get("echo"), "open,message:echo:hello from the page,close:1000")
                self.assertEqual(len(run["echo_heads"]), 1)
                self.assertRegex(run["echo_heads"][0].decode(), r"(?im)^origin: \S+")

    def test_page_cannot_open_the_link(self):
        for kind, run in self.runs.items():
            for target in ("link", "relay"):
                with self.subTest(kind=kind, target=target):
                    self.assertEqual(run["results"].get(target), "error,close:1006")

    def test_link_answers_the_browser_nothing_and_closes(self):
        origins = {"served page": "http://127.0.0.1:%d" % self.pages.port, "file page": "null"}
        for kind, run in self.runs.items():
            with self.subTest(kind):
                self.assertEqual(len(run["relayed"]), 1)
                record = run["relayed"][0]
                self.assertIn("\r\nOrigin: %s\r\n" % origins[kind], record["to_link"].decode())
                self.assertEqual(record["from_link"], b"")
                self.assertTrue(record["link_ended"])

    def test_browser_request_without_its_origin_line_is_accepted(self):
        """The Origin line is what the link refuses: the same request
        without it is upgraded."""
        head = self.runs["served page"]["relayed"][0]["to_link"].split(b"\r\n\r\n")[0]
        stripped = b"\r\n".join(line for line in head.split(b"\r\n") if not line.lower().startswith(b"origin:"))
        key = re.search(rb"(?im)^sec-websocket-key:\s*(\S+)", head).group(1).decode()
        with load.RawClient().connect() as client:
            client.send(stripped + b"\r\n\r\n")
            answer = client._read_head()
            self.assertTrue(answer.startswith(b"HTTP/1.1 101 "), answer)
            self.assertIn(("Sec-WebSocket-Accept: " + load.accept_value(key)).encode(), answer)
            self.assertEqual(client.recv_json()["op"], "hello")

    def test_origin_headers_refused_without_an_answer(self):
        cases = {
            "a web site": ("Origin", "https://example.com"),
            "a page on this machine": ("Origin", "http://127.0.0.1:8080"),
            "a file page": ("Origin", "null"),
            "an extension": ("Origin", "chrome-extension://abcdefghijklmnop"),
            "the header in capitals": ("ORIGIN", "http://localhost"),
            "the header in lower case": ("origin", "http://localhost"),
        }
        for case, header in cases.items():
            with self.subTest(case):
                with load.RawClient().connect() as client:
                    client.send(load.upgrade_request(headers=[header]))
                    self.assertEqual(client.wait_ended(), [])
                    self.assertEqual(bytes(client.reader.buffer), b"")


# ---------------------------------------------------------------------------
# A second host
# ---------------------------------------------------------------------------


class LanAccess(unittest.TestCase):
    """OBS here; a peer host in a namespace of its own behind a veth pair.
    With "allowLan" false the system refuses the peer's connection; with it
    true the peer links with the token, and is denied without it."""

    @classmethod
    def setUpClass(cls):
        cls.session = support.plugin_session(plugin_config={"allowLan": False})
        cls.addClassCleanup(cls.session.close)
        cls.peer = load.PeerNamespace()
        try:
            cls.peer.create()
        except OSError as error:
            raise unittest.SkipTest("cannot make a peer network namespace here: %s" % error)
        cls.addClassCleanup(cls.peer.remove)

    def start(self, allow_lan):
        self.session.prepare()
        config = self.session.plugin_config()
        config["allowLan"] = allow_lan
        self.session.write_plugin_config(config)
        self.session.start()
        self.addCleanup(self.stop_cleanly)
        address = "0.0.0.0" if allow_lan else "127.0.0.1"
        self.session.wait_for_log(re.escape("[tessil-link] waiting for Tessil on ws://%s:47841" % address))
        return self.session.token()

    def stop_cleanly(self):
        self.session.stop()
        support.check_clean_stop(self.session)

    def peer_link(self, token):
        return self.peer.python("peer-link", self.peer.host_address, str(obs.LINK_PORT), stdin=token + "\n")

    def test_lan_off_connection_refused_by_the_system(self):
        token = self.start(allow_lan=False)
        self.assertEqual(self.peer_link(token), {"connect": "refused"})
        # The same address from this host is refused too; loopback links.
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection((self.peer.host_address, obs.LINK_PORT), timeout=5).close()
        with load.RawClient() as client:
            self.assertEqual(client.link(token)["op"], "ready")

    def test_lan_on_peer_links_with_the_token(self):
        token = self.start(allow_lan=True)
        result = self.peer_link(token)
        self.assertEqual(result["connect"], "ok")
        self.assertEqual(result["hello"]["plugin"], "tessil-link")
        self.assertEqual(result["auth"]["op"], "ready")
        self.assertTrue(result["status"]["ok"])
        self.assertEqual(result["status"]["data"]["canvas"], {"w": 1280, "h": 720})
        wrong = self.peer_link(token[:-1] + ("a" if token[-1] != "a" else "b"))
        self.assertEqual(wrong["auth"], {"op": "denied"})
        self.assertNotIn("status", wrong)
        with load.RawClient() as client:
            self.assertEqual(client.link(token)["op"], "ready")


# ---------------------------------------------------------------------------
# Refused clients
# ---------------------------------------------------------------------------

COLLECTION = obs.collection(
    [obs.scene("Scene", [obs.scene_item("Colour", 1)]), obs.scene("Scene 2")],
    [obs.color_source("Colour")],
)
COLLECTION["current_transition"] = "Cut"


def auth(token, **extra):
    message = {"op": "auth", "token": token, "app": "tessil-e2e", "version": "1.2"}
    message.update(extra)
    return message


def early(request_id, cmd, args=None):
    message = {"op": "req", "id": request_id, "cmd": cmd}
    if args is not None:
        message["args"] = args
    return message


class Refusals(support.PluginTestCase):
    """First messages without the right token. Each gets {"op":"denied"},
    one log line and the end of the connection; the replay buffer (enabled
    in the profile) and the current scene show that none of them acted."""

    session_options = {
        "websocket": True,
        "collection": COLLECTION,
        "profile_ini": obs.REPLAY_BUFFER_PROFILE,
    }

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.session.wait_for_log(support.WEBSOCKET_STARTED)
        cls.obs = support.ObsWebSocket()
        cls.addClassCleanup(cls.obs.close)
        cls.token = cls.session.token()

    def setUp(self):
        self.observer = support.linked_client(self.session)
        self.addCleanup(self.observer.close)
        self.observer.wait_quiet()

    def refusals(self):
        return self.session.log_text().count(REFUSED_LINE)

    def assert_obs_untouched(self):
        self.assertEqual(self.obs.call("GetCurrentProgramScene")["currentProgramSceneName"], "Scene")
        self.assertFalse(self.obs.call("GetReplayBufferStatus")["outputActive"])
        self.assertEqual(self.observer.events_within(1.0), [])

    def test_wrong_first_messages_denied_with_one_log_line_each(self):
        token = self.token
        other_char = "a" if token[-1] != "a" else "b"
        cases = {
            "one character changed": [auth(token[:-1] + other_char)],
            "one character more": [auth(token + "a")],
            "one character less": [auth(token[:-1])],
            "other letter case": [auth(token.swapcase())],
            "surrounding white space": [auth(" %s\n" % token)],
            "empty token": [auth("")],
            "no token": [{"op": "auth", "app": "tessil-e2e", "version": "1.2"}],
            "token as a number": [auth(12345)],
            "token as null": [auth(None)],
            "token in an array": [auth([token])],
            "op in capitals": [dict(auth(token), op="AUTH")],
            "no op": [{"token": token}],
            "status before auth": [early(1, "status")],
            "replay.start before auth": [early(1, "replay.start")],
            "scene.set before auth": [early(1, "scene.set", {"name": "Scene 2"})],
            "requests and then the right token, in one write": [
                early(1, "scene.set", {"name": "Scene 2"}),
                early(2, "replay.start"),
                auth(token),
                early(3, "scene.set", {"name": "Scene 2"}),
            ],
        }
        for case, messages in cases.items():
            with self.subTest(case):
                before = self.refusals()
                with load.RawClient() as client:
                    client.connect()
                    client.handshake()
                    client.send(b"".join(load.json_frame(message) for message in messages))
                    self.assertEqual(client.wait_ended(), [DENIED])
                load.wait_until(lambda: self.refusals() > before, 10)
                time.sleep(0.1)  # a second line would be written by now
                self.assertEqual(self.refusals(), before + 1)
        self.assert_obs_untouched()

    def test_request_in_the_upgrade_write_is_denied(self):
        before = self.refusals()
        with load.RawClient() as client:
            client.connect()
            client.send(load.upgrade_request() + load.json_frame(early(1, "scene.set", {"name": "Scene 2"})))
            head = client._read_head()
            self.assertTrue(head.startswith(b"HTTP/1.1 101 "), head)
            hello = client.recv_json()
            self.assertEqual(hello["op"], "hello")
            self.assertEqual(client.wait_ended(), [DENIED])
        load.wait_until(lambda: self.refusals() > before, 10)
        time.sleep(0.1)
        self.assertEqual(self.refusals(), before + 1)
        self.assert_obs_untouched()

    def test_same_requests_act_once_linked(self):
        """The control: what the refused clients sent does change OBS when
        it comes from a linked client."""
        with load.RawClient() as client:
            client.link(self.token)
            self.addCleanup(self.restore)
            self.assertTrue(client.request("scene.set", {"name": "Scene 2"})["ok"])
            self.assertTrue(client.request("replay.start")["ok"])
            seen = set()
            while not {"scene.changed", "replay.started"} <= seen:
                seen.add(self.observer.next_event(timeout=30)["event"])
        self.assertEqual(self.obs.call("GetCurrentProgramScene")["currentProgramSceneName"], "Scene 2")
        self.assertTrue(self.obs.call("GetReplayBufferStatus")["outputActive"])

    def restore(self):
        if self.obs.call("GetReplayBufferStatus")["outputActive"]:
            self.obs.call("StopReplayBuffer")
            self.observer.next_event("replay.stopped", timeout=30)
        self.obs.call("SetCurrentProgramScene", sceneName="Scene")
        self.observer.next_event("scene.changed", name="Scene")


if __name__ == "__main__":
    unittest.main()
