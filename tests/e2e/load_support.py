"""Tools of the reliability and security tests, on plain sockets: a link
client that controls every byte it sends (half frames, resets, pipelined
requests), a latency probe that runs as a process of its own, readings of
OBS's memory and sockets from /proc, and a second host reached over a veth
pair in a network namespace made for the test.

Standard library only: the file also runs as a script, in the probe process
and inside the peer namespace:
    load_support.py probe [PORT]         token on the first line of stdin
    load_support.py peer-link HOST PORT  token on stdin; prints one JSON line
"""

import base64
import hashlib
import json
import math
import os
import select
import socket
import struct
import subprocess
import sys
import time

LINK_PORT = 47841
TIMEOUT = 10.0
BUFFER_LIMIT = 8 * 1024 * 1024  # bytes one connection may have buffered
ACCEPT_SUFFIX = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"

TEXT, CLOSE, PING, PONG = 0x1, 0x8, 0x9, 0xA


class ConnectionEnded(Exception):
    """The server closed (or reset) the connection."""


# ---------------------------------------------------------------------------
# Wire format
# ---------------------------------------------------------------------------


def upgrade_request(host="127.0.0.1", port=LINK_PORT, key=None, headers=()):
    """An RFC 6455 upgrade request head; headers are (name, value) pairs."""
    key = key or base64.b64encode(os.urandom(16)).decode()
    lines = [
        "GET / HTTP/1.1",
        "Host: %s:%d" % (host, port),
        "Upgrade: websocket",
        "Connection: Upgrade",
        "Sec-WebSocket-Key: " + key,
        "Sec-WebSocket-Version: 13",
    ]
    lines += ["%s: %s" % header for header in headers]
    return ("\r\n".join(lines) + "\r\n\r\n").encode()


def accept_value(key):
    return base64.b64encode(hashlib.sha1(key.encode() + ACCEPT_SUFFIX).digest()).decode()


def frame(payload, opcode=TEXT, mask=True):
    """One client frame (FIN set), masked unless told otherwise."""
    if isinstance(payload, str):
        payload = payload.encode()
    size = len(payload)
    head = bytes([0x80 | opcode])
    mask_bit = 0x80 if mask else 0
    if size <= 125:
        head += bytes([mask_bit | size])
    elif size <= 0xFFFF:
        head += bytes([mask_bit | 126]) + struct.pack(">H", size)
    else:
        head += bytes([mask_bit | 127]) + struct.pack(">Q", size)
    if not mask:
        return head + payload
    key = os.urandom(4)
    return head + key + masked(payload, key)


def masked(payload, key):
    """payload XOR the repeated 4-byte key (as one big integer: fast for
    frames of megabytes)."""
    if not payload:
        return b""
    size = len(payload)
    stream = (key * (size // 4 + 1))[:size]
    return (int.from_bytes(payload, "big") ^ int.from_bytes(stream, "big")).to_bytes(size, "big")


def json_frame(message):
    return frame(json.dumps(message, separators=(",", ":")))


def request_frame(request_id, cmd, args=None):
    message = {"op": "req", "id": request_id, "cmd": cmd}
    if args is not None:
        message["args"] = args
    return json_frame(message)


class FrameReader:
    """Cuts frames out of received bytes: the server's (never masked), or
    a client's (masked: the payload is returned unmasked)."""

    def __init__(self):
        self.buffer = bytearray()

    def feed(self, data):
        self.buffer += data

    def next(self):
        """(opcode, payload) of the next complete frame, or None."""
        buffer = self.buffer
        if len(buffer) < 2:
            return None
        length, offset = buffer[1] & 0x7F, 2
        if length == 126:
            if len(buffer) < 4:
                return None
            length, offset = struct.unpack_from(">H", buffer, 2)[0], 4
        elif length == 127:
            if len(buffer) < 10:
                return None
            length, offset = struct.unpack_from(">Q", buffer, 2)[0], 10
        key = None
        if buffer[1] & 0x80:
            if len(buffer) < offset + 4:
                return None
            key, offset = bytes(buffer[offset : offset + 4]), offset + 4
        if len(buffer) < offset + length:
            return None
        opcode = buffer[0] & 0x0F
        payload = bytes(buffer[offset : offset + length])
        if key:
            payload = masked(payload, key)
        del buffer[: offset + length]
        return opcode, payload


# ---------------------------------------------------------------------------
# A link client on a plain socket
# ---------------------------------------------------------------------------


class RawClient:
    """A blocking link client on a plain TCP socket: connect() and
    handshake() are separate, and raw bytes can be sent at any point."""

    def __init__(self, host="127.0.0.1", port=LINK_PORT, timeout=TIMEOUT, family=socket.AF_INET, receive_buffer=None):
        """receive_buffer: a small SO_RCVBUF, set before connecting, keeps
        the kernel from soaking up what the client does not read."""
        self.host, self.port, self.timeout = host, port, timeout
        self.sock = socket.socket(family, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if receive_buffer is not None:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self.sock.settimeout(timeout)
        self.reader = FrameReader()
        self.next_id = 0
        self.ended = False

    # -- connection --------------------------------------------------------

    def connect(self):
        self.sock.connect((self.host, self.port))
        return self

    @property
    def local_port(self):
        return self.sock.getsockname()[1]

    def handshake(self, headers=()):
        """Upgrade request, the 101 answer, and the "hello" message."""
        key = base64.b64encode(os.urandom(16)).decode()
        self.send(upgrade_request(self.host, self.port, key, headers))
        head = self._read_head()
        if not head.startswith(b"HTTP/1.1 101 ") or accept_value(key).encode() not in head:
            raise AssertionError("not upgraded: %r" % head)
        hello = self.recv_json()
        if hello.get("op") != "hello":
            raise AssertionError("expected hello, got %r" % hello)
        return hello

    def _read_head(self):
        deadline = time.monotonic() + self.timeout
        while b"\r\n\r\n" not in self.reader.buffer:
            self._receive(deadline)
        head, _, rest = bytes(self.reader.buffer).partition(b"\r\n\r\n")
        self.reader.buffer = bytearray(rest)
        return head

    def link(self, token, version="1.2"):
        """Connects, upgrades and authenticates; returns "ready"."""
        self.connect()
        self.handshake()
        self.send_json({"op": "auth", "token": token, "app": "tessil-load", "version": version})
        ready = self.recv_json()
        if ready.get("op") != "ready":
            raise AssertionError("not linked: %r" % ready)
        return ready

    # -- sending -----------------------------------------------------------

    def send(self, data):
        self.sock.sendall(data)

    def send_json(self, message):
        self.send(json_frame(message))

    def request(self, cmd, args=None):
        """Sends one request and returns its reply; events on the way are
        skipped."""
        self.next_id += 1
        self.send(request_frame(self.next_id, cmd, args))
        while True:
            message = self.recv_json()
            if message.get("op") == "res":
                if message.get("id") != self.next_id:
                    raise AssertionError("reply %r to request %d" % (message, self.next_id))
                return message

    # -- receiving ---------------------------------------------------------

    def _receive(self, deadline):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise TimeoutError("nothing from the server within %g s" % self.timeout)
        self.sock.settimeout(remaining)
        try:
            data = self.sock.recv(1 << 16)
        except ConnectionResetError:
            data = b""
        except socket.timeout:
            raise TimeoutError("nothing from the server within %g s" % self.timeout) from None
        finally:
            self.sock.settimeout(self.timeout)
        if not data:
            self.ended = True
            raise ConnectionEnded()
        self.reader.feed(data)

    def recv_frame(self, timeout=None):
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        while True:
            got = self.reader.next()
            if got is not None:
                return got
            self._receive(deadline)

    def recv_json(self, timeout=None):
        """The next text frame as JSON (pongs and close frames raise)."""
        opcode, payload = self.recv_frame(timeout)
        if opcode != TEXT:
            raise AssertionError("frame with opcode %#x: %r" % (opcode, payload))
        return json.loads(payload)

    def wait_ended(self, timeout=TIMEOUT):
        """Reads until the server ends the connection; returns the frames
        that came before. Raises TimeoutError if it stays open."""
        frames = []
        deadline = time.monotonic() + timeout
        while True:
            got = self.reader.next()
            if got is not None:
                frames.append(got)
                continue
            try:
                self._receive(deadline)
            except ConnectionEnded:
                return frames

    def silent_for(self, seconds):
        """True when nothing at all arrives for seconds and the connection
        stays open."""
        self.sock.settimeout(seconds)
        try:
            data = self.sock.recv(1 << 16)
        except socket.timeout:
            return True
        except ConnectionResetError:
            data = b""
        finally:
            self.sock.settimeout(self.timeout)
        if not data:
            self.ended = True
        self.reader.feed(data)
        return False

    # -- ending ------------------------------------------------------------

    def reset(self):
        """Ends the connection with a TCP reset instead of a FIN."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


# ---------------------------------------------------------------------------
# Figures
# ---------------------------------------------------------------------------


def percentile(values, fraction):
    """The nearest-rank percentile of values (fraction 0.5, 0.99, ...)."""
    if not values:
        return None
    ordered = sorted(values)
    rank = min(len(ordered), max(1, math.ceil(fraction * len(ordered))))
    return ordered[rank - 1]


def summary(latencies):
    """Count, p50, p99 and maximum of latencies in seconds, as milliseconds."""
    if not latencies:
        return {"count": 0, "p50_ms": None, "p99_ms": None, "max_ms": None}
    return {
        "count": len(latencies),
        "p50_ms": round(percentile(latencies, 0.50) * 1000, 2),
        "p99_ms": round(percentile(latencies, 0.99) * 1000, 2),
        "max_ms": round(max(latencies) * 1000, 2),
    }


def rss_kib(pid):
    """VmRSS of a process, in KiB."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS for %d" % pid)


def memory_kib(pid):
    """{"rss": VmRSS, "hwm": VmHWM} of a process, in KiB. VmHWM is the
    peak of VmRSS since the process started or since reset_peak_memory."""
    fields = {"VmRSS:": "rss", "VmHWM:": "hwm"}
    found = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            name = line.split(":", 1)[0] + ":"
            if name in fields:
                found[fields[name]] = int(line.split()[1])
    if len(found) != len(fields):
        raise RuntimeError("no VmRSS or VmHWM for %d" % pid)
    return found


def reset_peak_memory(pid):
    """Sets a process's VmHWM back to its current VmRSS (Linux 4.0 and
    later), so that the peak of what follows can be read."""
    with open("/proc/%d/clear_refs" % pid, "w") as f:
        f.write("5")


def open_sockets(pid):
    """How many sockets a process holds open."""
    count = 0
    for entry in os.listdir("/proc/%d/fd" % pid):
        try:
            if os.readlink("/proc/%d/fd/%s" % (pid, entry)).startswith("socket:"):
                count += 1
        except OSError:
            pass  # closed meanwhile
    return count


def connections_to(port):
    """TCP sockets of this network namespace whose local port is port and
    that are not listening: {remote port: bytes received and not yet read
    by the owner}."""
    found = {}
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                rows = f.read().splitlines()[1:]
        except OSError:
            continue
        for row in rows:
            fields = row.split()
            local, remote, state, queues = fields[1], fields[2], fields[3], fields[4]
            if int(local.rsplit(":", 1)[1], 16) != port or state == "0A":  # 0A: LISTEN
                continue
            found[int(remote.rsplit(":", 1)[1], 16)] = int(queues.split(":")[1], 16)
    return found


def server_socket(port, remote_port):
    """The socket of this network namespace that serves the connection
    from remote_port to the local port, while a process holds it:
    {"state": TCP state (hex, as the kernel lists it), "unread": bytes
    received and not yet read by its owner, "unsent": bytes sent and not
    yet acknowledged by the peer}; None once no process holds it (closed,
    or an orphan the kernel finishes alone)."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                rows = f.read().splitlines()[1:]
        except OSError:
            continue
        for row in rows:
            fields = row.split()
            local, remote, state, queues, inode = fields[1], fields[2], fields[3], fields[4], fields[9]
            if int(local.rsplit(":", 1)[1], 16) != port or int(remote.rsplit(":", 1)[1], 16) != remote_port:
                continue
            if state == "0A" or inode == "0":  # listening, or no longer a process's
                continue
            unsent, unread = queues.split(":")
            return {"state": state, "unread": int(unread, 16), "unsent": int(unsent, 16)}
    return None


def wait_until(condition, timeout, step=0.02):
    """Polls condition until it returns something true; returns the last
    value (false when timeout passed)."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


# ---------------------------------------------------------------------------
# The latency probe: a linked client in a process of its own
# ---------------------------------------------------------------------------

PROBE_INTERVAL = 0.005  # seconds between the end of one round trip and the next request
PROBE_LIMIT_SECONDS = 900  # the probe ends by itself after this long


def _probe_main(port):
    """Links, then sends "status" one at a time until told to stop, checking
    that each reply is the one for the request in flight. Lines on stdin:
    "mark NAME" starts a new segment of figures, "stop" ends; each answers
    with one JSON line about the segment that ended."""
    token = sys.stdin.readline().rstrip("\n")
    client = RawClient(port=port)
    client.link(token)
    print(json.dumps({"linked": True}), flush=True)

    segment, latencies, errors, events = "start", [], [], 0
    began = time.monotonic()
    stdin = sys.stdin.fileno()
    pending = b""
    while time.monotonic() - began < PROBE_LIMIT_SECONDS:
        readable, _, _ = select.select([stdin], [], [], PROBE_INTERVAL)
        if readable:
            data = os.read(stdin, 4096)
            pending += data
            stop = not data
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                command = line.decode().split(" ", 1)
                report = {"segment": segment, "errors": errors, "events": events, "latencies": latencies}
                print(json.dumps(report), flush=True)
                latencies, errors, events = [], [], 0
                if command[0] == "stop":
                    stop = True
                else:
                    segment = command[1] if len(command) > 1 else ""
            if stop:
                break
        client.next_id += 1
        request_id = client.next_id
        sent = time.monotonic()
        try:
            client.send(request_frame(request_id, "status"))
            while True:
                message = client.recv_json()
                if message.get("op") == "event":
                    events += 1
                    continue
                break
        except (OSError, ConnectionEnded, TimeoutError, AssertionError, ValueError) as error:
            errors.append("request %d: %r" % (request_id, error))
            print(json.dumps({"segment": segment, "errors": errors, "events": events, "latencies": latencies}))
            return 1
        latencies.append(time.monotonic() - sent)
        if message.get("op") != "res" or message.get("id") != request_id or message.get("ok") is not True:
            errors.append("request %d answered by %r" % (request_id, message))
    client.close()
    return 0


class Probe:
    """Runs _probe_main in a child process: its timing is then not disturbed
    by the load that the test process itself generates."""

    def __init__(self, token, port=LINK_PORT):
        self.proc = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "probe", str(port)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        self.proc.stdin.write(token + "\n")
        self.proc.stdin.flush()
        line = self._line(TIMEOUT)
        if not json.loads(line).get("linked"):
            raise AssertionError("probe not linked: %r" % line)

    def _line(self, timeout):
        readable, _, _ = select.select([self.proc.stdout], [], [], timeout)
        if not readable:
            raise TimeoutError("the probe did not answer within %g s" % timeout)
        line = self.proc.stdout.readline()
        if not line:
            raise AssertionError("the probe exited (%s)" % self.proc.wait())
        return line

    def mark(self, name):
        """Starts segment name; returns the report of the one it ends."""
        self.proc.stdin.write("mark %s\n" % name)
        self.proc.stdin.flush()
        return json.loads(self._line(30))

    def stop(self):
        """Ends the probe; returns the report of its last segment."""
        try:
            self.proc.stdin.write("stop\n")
            self.proc.stdin.flush()
            return json.loads(self._line(30))
        finally:
            self.close()

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
                self.proc.wait(10)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()


# ---------------------------------------------------------------------------
# A second host: a network namespace joined to this one by a veth pair
# ---------------------------------------------------------------------------


def _ip(*args):
    return subprocess.run(["ip"] + list(args), capture_output=True, text=True, timeout=20)


class PeerNamespace:
    """A network namespace tessil-peer-<pid> joined to the current one by a
    veth pair: host_address here, peer_address there, both /30 and made for
    the test. remove() deletes the namespace, and with it the pair."""

    def __init__(self, host_address="10.231.0.1", peer_address="10.231.0.2"):
        self.name = "tessil-peer-%d" % os.getpid()
        self.host_link = "tsl%dh" % (os.getpid() % 1000000)
        self.peer_link = "tsl%dp" % (os.getpid() % 1000000)
        self.host_address, self.peer_address = host_address, peer_address
        self.created = False

    def create(self):
        steps = [
            ("netns", "add", self.name),
            ("link", "add", self.host_link, "type", "veth", "peer", "name", self.peer_link, "netns", self.name),
            ("addr", "add", self.host_address + "/30", "dev", self.host_link),
            ("link", "set", self.host_link, "up"),
            ("-n", self.name, "addr", "add", self.peer_address + "/30", "dev", self.peer_link),
            ("-n", self.name, "link", "set", self.peer_link, "up"),
            ("-n", self.name, "link", "set", "lo", "up"),
        ]
        for step in steps:
            result = _ip(*step)
            if result.returncode != 0:
                self.remove()
                raise OSError("ip %s: %s" % (" ".join(step), result.stderr.strip()))
            if step[:2] == ("netns", "add"):
                self.created = True
        return self

    def run(self, args, stdin="", timeout=30):
        """Runs a command inside the peer namespace."""
        return subprocess.run(
            ["ip", "netns", "exec", self.name] + list(args),
            input=stdin,
            capture_output=True,
            text=True,
            timeout=timeout,
        )

    def python(self, *args, stdin="", timeout=30):
        """Runs this file as a script in the peer namespace; returns the
        JSON object it prints."""
        result = self.run([sys.executable, os.path.abspath(__file__)] + list(args), stdin, timeout)
        if result.returncode != 0:
            raise AssertionError("peer script failed: %s" % result.stderr)
        return json.loads(result.stdout)

    def remove(self):
        # Deleting one end of the pair deletes both at once; a namespace is
        # dismantled in the background once deleted.
        if _ip("link", "show", "dev", self.host_link).returncode == 0:
            _ip("link", "del", self.host_link)
        if self.created:
            _ip("netns", "del", self.name)
            self.created = False


def _peer_link_main(host, port):
    """From another host: connect, upgrade and authenticate. Prints what
    happened as one JSON object: {"connect": "refused"} or the messages."""
    token = sys.stdin.readline().rstrip("\n")
    client = RawClient(host, port, timeout=5)
    try:
        client.connect()
    except ConnectionRefusedError:
        print(json.dumps({"connect": "refused"}))
        return 0
    except OSError as error:
        print(json.dumps({"connect": "error", "error": repr(error)}))
        return 0
    result = {"connect": "ok"}
    try:
        result["hello"] = client.handshake()
        client.send_json({"op": "auth", "token": token, "app": "tessil-peer", "version": "1.2"})
        result["auth"] = client.recv_json()
        if result["auth"].get("op") == "ready":
            result["status"] = client.request("status")
    except (OSError, ConnectionEnded, TimeoutError, AssertionError) as error:
        result["error"] = repr(error)
    client.close()
    print(json.dumps(result))
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["probe"]:
        sys.exit(_probe_main(int(sys.argv[2]) if len(sys.argv) > 2 else LINK_PORT))
    if sys.argv[1:2] == ["peer-link"]:
        sys.exit(_peer_link_main(sys.argv[2], int(sys.argv[3])))
    print(__doc__, file=sys.stderr)
    sys.exit(2)
