#!/usr/bin/python3
"""Writes the seed corpus of fuzz_json_diff into fuzz/corpus/json_diff.

Each seed is one text as a client sends it in a frame: keys spelled in the
ways Qt's parser reads alike or apart (escapes JSON has and has not, a
backslash before each byte from 0x80 up, surrogates in pairs and alone,
raw control characters, byte order marks), repeated keys, nested objects
and arrays of objects. Run it again after changing a seed; the output is
the same on every run.
"""

import os

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "json_diff")


def obj(*members):
    return b"{" + b",".join(b'"%s":%s' % m for m in members) + b"}"


SEEDS = {
    "request": b'{"op":"req","id":1,"cmd":"item.visible",'
               b'"args":{"name":"Cam","visible":true}}',
    "auth": b'{"op":"auth","token":"fuzz-token","app":"seed",'
            b'"version":"1.0"}',
    "escapes_json_has": obj(
        (rb"\"\\\/\b\f\n\r\t", b"1"), (rb"\u0061\u00E9\u20ac", b"2"),
        (rb"\ud83d\ude00", b"[3]"), (b"a\xc3\xa9\xe2\x82\xac", b"{}")),
    "spelled_apart_same": obj((rb"\u0061", b"{}"), (b"a", b"1")),
    "pair_and_raw": obj((rb"\uD83D\uDE00", b"[]"),
                        (b"\xf0\x9f\x98\x80", b"1")),
    "repeated": b'{"a":{"b":1},"c":3,"a":4}',
    "repeated_deep": b'[{"x":[{"a":[1],"a":"x"}]}]',
    "arrays_of_objects": b'[{"a":1},{"a":1},[{"b":{"a":2,"b":3}}],"a"]',
    "many_keys": b"{" + b",".join(b'"k%d":%d' % (i, i) for i in range(40))
                 + b',"k7":{}}',
    "many_keys_nested": b"{" + b",".join(b'"k%d":0' % i for i in range(20))
                        + b',"in":{' + b",".join(b'"k%d":0' % i
                                                 for i in range(20))
                        + b"}}",
    "nested_1024": b"[" * 1023 + b"{}" + b"]" * 1023,
    "nested_objects": b'{"a":' * 200 + b"1" + b"}" * 200,
    # Surrogates escaped alone, in the wrong order, and next to U+FFFD
    # spelled without escapes, which Qt 5 takes for any of them.
    "lone_high": obj((rb"\ud800", b"{}"), (b"\xef\xbf\xbd", b"1")),
    "lone_low": obj((rb"\udc00", b"[]"), (b"\xef\xbf\xbd", b"1")),
    "lone_in_key": obj((rb"a\ud800b", b"1"), (b"a\xef\xbf\xbdb", b"2")),
    "high_high": obj((rb"\ud800\ud800", b"1"), (rb"\ud800", b"2")),
    "low_high": obj((rb"\udc00\ud800", b"1"), (rb"\ud800\udc00", b"2")),
    "high_then_escape": obj((rb"\ud800\n", b"1"), (b"\xef\xbf\xbd\n", b"2")),
    "lone_in_value": b'["\\ud800","\\udfff",{"a":"\\ud800x"}]',
    # Raw control characters: Qt 5 compares keys without escapes only
    # up to a NUL byte.
    "raw_nul": obj((b"a\x00b", b"{}"), (b"a\x00c", b"1")),
    "raw_controls": obj((b"\t", b"1"), (rb"\t", b"2"), (b"\x1f", b"3")),
    "escaped_nul": obj((rb"a\u0000b", b"1"), (rb"a\u0000c", b"2")),
    # A byte order mark at the start of a key is part of it.
    "bom_key": obj((b"\xef\xbb\xbfa", b"1"), (b"a", b"2"),
                   (rb"\ufeffa", b"3")),
    "bom_text": b"\xef\xbb\xbf" + obj((b"a", b"1")),
    # Repeats Qt misses, keeping both members (keys spelled with and
    # without escapes, next to others).
    "missed_repeat": obj((rb"\ud83d\ude00", b"0"), (b"\xf0\x9f\x98\x80", b"1"),
                         (b"a", b"2"), (rb"\ufeff", b"3")),
    "missed_repeat_bom": obj((b"\xef\xbb\xbfa", b"1"), (b"a", b"2"),
                             (rb"\ufeffa", b"2"),
                             (rb"\uD800\uDC00\ufeffa", b"3")),
    "invalid_escapes_low": obj(*((b"\\" + bytes([c]), b"%d" % c)
                                 for c in b"\x00\x01\x1fa0 'xU\x7f")),
    "bad_hex": obj((rb"\u12G4", b"1")),
}

# A backslash before each byte from 0x80 up: Qt 5 reads it as U+D7BF and
# half a surrogate pair, Qt 6 as the Latin-1 character; each seed holds
# the key in both readings after it.
for c in range(0x80, 0x100):
    SEEDS["escape_%02x" % c] = b"[" + obj(
        (b"\\" + bytes([c]), b'{"s":"x"}'), (rb"\uD7BF\uDF%02X" % c, b"1"),
        (rb"\u00%02x" % c, b"2")) + b"]"


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, data in sorted(SEEDS.items()):
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)
    print("wrote %d seeds to %s" % (len(SEEDS), OUT))


if __name__ == "__main__":
    main()
