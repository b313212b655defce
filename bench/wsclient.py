"""The benchmark's WebSocket client: one machinery for the link and for
obs-websocket, so that what the client itself costs is the same on both
sides of every comparison.

A blocking TCP socket with TCP_NODELAY, the RFC 6455 upgrade written by
hand, client frames masked with the all-zero key (valid, and free: the
payload goes out as it is), and frames cut from one receive buffer.

Times: the socket has SO_TIMESTAMPNS set, so every receive carries the
kernel's arrival time of its data (CLOCK_REALTIME, nanoseconds). A message
is stamped with the arrival of the read that completed it; a round trip is
that stamp minus time.time_ns() taken just before the request was written.
The client's own wake-up and decoding after the reply arrived are left out.
"""

import base64
import json
import os
import socket
import struct
import time

SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)
ZERO_KEY = b"\x00\x00\x00\x00"
READ_SIZE = 1 << 20

OP_TEXT = 0x1
OP_CLOSE = 0x8
OP_PING = 0x9


class Closed(Exception):
    """The server closed the connection."""


def frame(payload, opcode=OP_TEXT):
    """One final, masked client frame (all-zero key)."""
    size = len(payload)
    if size < 126:
        head = struct.pack("!BB", 0x80 | opcode, 0x80 | size)
    elif size < 65536:
        head = struct.pack("!BBH", 0x80 | opcode, 0x80 | 126, size)
    else:
        head = struct.pack("!BBQ", 0x80 | opcode, 0x80 | 127, size)
    return head + ZERO_KEY + payload


def json_frame(message):
    return frame(json.dumps(message, separators=(",", ":")).encode())


class WsClient:
    def __init__(self, port, subprotocol=None, host="127.0.0.1", timeout=10.0):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.buffer = bytearray()
        self.offset = 0
        self.stamp = 0  # arrival of the last read, ns
        self.received = []  # complete messages: (stamp, payload bytes)
        self.next_index = 0

        key = base64.b64encode(os.urandom(16)).decode()
        head = [
            "GET / HTTP/1.1",
            "Host: %s:%d" % (host, port),
            "Upgrade: websocket",
            "Connection: Upgrade",
            "Sec-WebSocket-Key: " + key,
            "Sec-WebSocket-Version: 13",
        ]
        if subprotocol:
            head.append("Sec-WebSocket-Protocol: " + subprotocol)
        self.sock.sendall(("\r\n".join(head) + "\r\n\r\n").encode())
        while b"\r\n\r\n" not in self.buffer:
            self._read()
        end = self.buffer.index(b"\r\n\r\n") + 4
        if not self.buffer.startswith(b"HTTP/1.1 101"):
            raise ConnectionError("upgrade refused: %r" % bytes(self.buffer[:end]))
        del self.buffer[:end]
        self._cut_frames()

    def fileno(self):
        return self.sock.fileno()

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    # -- reading ------------------------------------------------------------

    def _read(self):
        data, ancillary, _, _ = self.sock.recvmsg(READ_SIZE, 64)
        if not data:
            raise Closed()
        for level, kind, payload in ancillary:
            if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                seconds, nanoseconds = struct.unpack("qq", payload[:16])
                self.stamp = seconds * 1_000_000_000 + nanoseconds
        self.buffer += data

    def _cut_frames(self):
        """Moves every complete frame of the buffer to self.received."""
        buffer = self.buffer
        offset = self.offset
        size = len(buffer)
        while size - offset >= 2:
            opcode = buffer[offset] & 0x0F
            length = buffer[offset + 1] & 0x7F
            header = 2
            if length == 126:
                if size - offset < 4:
                    break
                length = struct.unpack_from("!H", buffer, offset + 2)[0]
                header = 4
            elif length == 127:
                if size - offset < 10:
                    break
                length = struct.unpack_from("!Q", buffer, offset + 2)[0]
                header = 10
            if size - offset - header < length:
                break
            start = offset + header
            offset = start + length
            if opcode == OP_TEXT:
                self.received.append((self.stamp, bytes(buffer[start:offset])))
            elif opcode == OP_CLOSE:
                raise Closed()
            elif opcode == OP_PING:
                self.sock.sendall(frame(bytes(buffer[start:offset]), 0xA))
        if offset > 65536 or offset == size:
            del buffer[:offset]
            offset = 0
        self.offset = offset

    def pump(self):
        """One read (blocking) and the frames it completed."""
        self._read()
        self._cut_frames()

    def pending(self):
        return len(self.received) - self.next_index

    def next_raw(self):
        """The next message as (arrival stamp, payload bytes)."""
        while self.next_index >= len(self.received):
            self.pump()
        message = self.received[self.next_index]
        self.next_index += 1
        if self.next_index > 4096:
            del self.received[: self.next_index]
            self.next_index = 0
        return message

    def next_json(self):
        stamp, payload = self.next_raw()
        return stamp, json.loads(payload)

    def drain(self):
        """Drops what was already received and decoded."""
        self.received = []
        self.next_index = 0

    # -- writing ------------------------------------------------------------

    def send_bytes(self, data):
        """Writes prepared frames; returns the time taken just before, ns."""
        start = time.time_ns()
        self.sock.sendall(data)
        return start

    def send_json(self, message):
        return self.send_bytes(json_frame(message))


class LinkClient(WsClient):
    """A linked client of the plug-in: hello, auth, ready."""

    def __init__(self, token, port=47841):
        super().__init__(port)
        _, self.hello = self.next_json()
        self.send_json({"op": "auth", "token": token, "app": "tessil-bench", "version": "bench"})
        _, self.ready = self.next_json()
        if self.ready.get("op") != "ready":
            raise ConnectionError("not linked: %r" % (self.ready,))


class ObsWebSocketClient(WsClient):
    """An identified obs-websocket 5 client (no authentication)."""

    SCENE_EVENTS = 1 << 2

    def __init__(self, port=4455, event_subscriptions=0):
        super().__init__(port, subprotocol="obswebsocket.json")
        _, hello = self.next_json()
        if hello.get("op") != 0:
            raise ConnectionError("no Hello: %r" % (hello,))
        self.send_json({"op": 1, "d": {"rpcVersion": 1, "eventSubscriptions": event_subscriptions}})
        _, identified = self.next_json()
        if identified.get("op") != 2:
            raise ConnectionError("not identified: %r" % (identified,))
