#!/usr/bin/python3
"""Writes the seed corpus of fuzz_wire into fuzz/corpus/handshake_frames.

Each seed is: one byte whose low three bits count the read sizes that
follow, the read-size bytes, then the stream a client sends (see
fuzz_wire.cpp). Run it again after changing a seed; the output is the same
on every run.
"""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "handshake_frames")

KEY = b"dGhlIHNhbXBsZSBub25jZQ=="
MASK = b"\x37\xfa\x21\x3d"


def head(*extra, key=KEY, eol=b"\r\n"):
    lines = [b"GET / HTTP/1.1", b"Host: 127.0.0.1:47841",
             b"Upgrade: websocket", b"Connection: Upgrade"]
    if key is not None:
        lines.append(b"Sec-WebSocket-Key: " + key)
    lines.append(b"Sec-WebSocket-Version: 13")
    lines.extend(extra)
    return eol.join(lines) + b"\r\n\r\n"


def frame(opcode, payload, masked=True, fin=True, length_code=None):
    first = (0x80 if fin else 0) | opcode
    size = len(payload)
    if length_code is None:
        length_code = size if size <= 125 else 126 if size <= 0xFFFF else 127
    if length_code <= 125:
        length = b""
    elif length_code == 126:
        length = struct.pack(">H", size)
    else:
        length = struct.pack(">Q", size)
    mask_bit = 0x80 if masked else 0
    header = bytes([first, mask_bit | length_code]) + length
    if not masked:
        return header + payload
    body = bytes(b ^ MASK[i % 4] for i, b in enumerate(payload))
    return header + MASK + body


def text(payload, **kw):
    return frame(0x1, payload, **kw)


AUTH = b'{"op":"auth","token":"fuzz-token","app":"seed","version":"1.0"}'
REQ = b'{"op":"req","id":7,"cmd":"status"}'


def one_read(stream):
    return b"\x00" + stream


def split(sizes, stream):
    return bytes([len(sizes)]) + bytes(sizes) + stream


SEEDS = {
    "upgrade_text_ping_close": one_read(
        head() + text(AUTH) + text(REQ) + frame(0x9, b"abc")
        + frame(0x8, b"\x03\xe8bye") + text(REQ)),
    "origin_refused": one_read(head(b"Origin: null") + text(AUTH)),
    "blank_origin_accepted": one_read(head(b"Origin:   ") + text(AUTH)),
    "no_key": one_read(head(key=None) + text(AUTH)),
    "two_keys_lf_lines": one_read(
        head(b"SEC-WEBSOCKET-KEY: x3JJHMbDL1EzLkh9GBhXDw==", eol=b"\n")
        + text(AUTH)),
    # Read sizes 1, 5, 3 and 192 (code 0x85): heads and headers cut
    # everywhere, then larger pieces.
    "split_frames": split(
        [0x00, 0x04, 0x02, 0x85],
        head() + text(AUTH) + frame(0x9, b"split ping") + text(REQ)
        + frame(0xA, b"pong")),
    "length_code_126": split(
        [0x83, 0x07],
        head() + text(AUTH) + text(b'{"op":"req","id":1,"cmd":"status",'
                                   b'"pad":"' + b"x" * 180 + b'"}')),
    "length_code_127": one_read(
        head() + text(AUTH) + frame(0x9, b"p" * 130, length_code=127)
        + text(REQ, masked=False)),
    "never_complete": one_read(
        head() + text(AUTH)
        + b"\x81\xff" + struct.pack(">Q", 0x7FFFFFFFFFFFFFFF) + MASK
        + b"partial"),
    "denied_then_frames": one_read(
        head() + text(b'{"op":"auth","token":"wrong"}') + text(REQ)
        + frame(0x8, b"")),
    "fragments_and_others": one_read(
        head() + text(AUTH) + text(b'{"op":"req","id":2}', fin=False)
        + frame(0x0, b',"cmd":"status"}') + frame(0x2, b"\x00\x01")
        + text(b"[1,2]") + text(b"not json") + frame(0xB, b"reserved")),
    # Repeated keys, before and after linking: dropped unparsed.
    "repeated_keys": one_read(
        head() + text(b'{"op":{"a":[1]},"op":"auth","token":"fuzz-token"}')
        + text(AUTH) + text(b'{"a":{"b":1},"a":{"b":1},"\\u0061":"x"}')
        + text(REQ)),
    "pongs_unmasked": split(
        [0x01], head() + b"\x8a\x00" * 64 + text(AUTH, masked=False)),
}


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, data in sorted(SEEDS.items()):
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)
    print("wrote %d seeds to %s" % (len(SEEDS), OUT))


if __name__ == "__main__":
    main()
