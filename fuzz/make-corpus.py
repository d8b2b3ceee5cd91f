#!/usr/bin/env python3
"""Writes the fuzzers' seed inputs into fuzz/corpus/: a few well-formed payloads and streams
that lead the fuzzers straight into every frame type and codec value type."""
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))


def size(n):
    if n < 254:
        return bytes([n])
    if n <= 0xFFFF:
        return b"\xfe" + struct.pack("<H", n)
    return b"\xff" + struct.pack("<I", n)


def string(s):
    b = s.encode()
    return b"\x07" + size(len(b)) + b


def frame(kind, body):
    return struct.pack("<IB", len(body) + 1, kind) + body


def message(mid, channel, payload):
    c = channel.encode()
    return frame(1, struct.pack("<IH", mid, len(c)) + c + payload)


def reply(mid, payload):
    return frame(2, struct.pack("<I", mid) + payload)


call = string("launchAtStartupIsEnabled") + b"\x00"
# {"port": 7890, "rate": 0.5 (aligned to 8 from the message start), "ids": int32 list, "big": int64}
args = (b"\x0d" + size(4) + string("port") + b"\x03" + struct.pack("<i", 7890) + string("rate"))
args += b"\x06" + b"\x00" * ((-(len(string("m")) + len(args) + 1)) % 8) + struct.pack("<d", 0.5)
args += string("ids") + b"\x09" + size(2)
args += b"\x00" * ((-(len(string("m")) + len(args))) % 4) + struct.pack("<ii", 1, 2)
args += string("big") + b"\x04" + struct.pack("<q", 1 << 40)

CLIENT = b"/opt/Client.app/Contents/MacOS/client"


def entry(executable, text):
    return bytes([len(executable)]) + executable + text


seeds = {
    "CodecFuzzer": {
        "call_null": call,
        "call_map": string("m") + args,
        "success_false": b"\x00\x02",
        "error": b"\x01" + string("E") + string("went wrong") + b"\x0c" + size(2) + b"\x01\x00",
        "nested_list": b"\x0c\x01\x0c\x01\x0c\x00",
    },
    "FrameReaderFuzzer": {
        # first byte seeds the chunk sizes
        "hello": b"\x01" + frame(3, b"net.proxyhost.client"),
        "call_and_reply": b"\x07" + message(1, "launch_at_startup", call) + reply(1, b"\x00\x02"),
        "empty_reply": b"\x10" + reply(9, b""),
        "bad_type": b"\x03" + reply(2, b"\x00\x01") + frame(9, b"xx"),
    },
    "ProxyhostctlJsonFuzzer": {
        "proxy_args": b'{"services": ["Wi-Fi", "Ethernet"], "host": "127.0.0.1", "port": 7890, "enable": true}',
        "numbers": b"[0, -1, 2147483648, -9223372036854775809, 18446744073709551615, 1.5e300, -0.0, 1e400]",
        "nesting": b'[[[[{"a": [], "a": {"b": null}}]]]]',
        "escapes": b'"\\u00e9\\ud83d\\ude00\\n\\u0000"',
        "not_json": b"{'a': 1,}",
    },
    "DesktopEntryFuzzer": {
        # first byte: the length of the executable path that follows; then the entry's text
        "written": entry(CLIENT, b"[Desktop Entry]\nType=Application\nName=Client\nExec=" + CLIENT + b"\nTerminal=false\n"),
        "quoted_exec": entry(b'/home/me/My Apps/100% "x"',
                             b'[Desktop Entry]\nType=Application\nExec="/home/me/My Apps/100%% \\\\"x\\\\"" %U\n'),
        "switched_off": entry(CLIENT, b"# comment\n[Desktop Entry]\r\nType=Application\r\nExec=" + CLIENT +
                              b"\r\nHidden=true\r\nX-GNOME-Autostart-enabled=false\r\n[Desktop Action quit]\nExec=x\n"),
        "no_group": entry(CLIENT, b"Type=Application\nExec=" + CLIENT + b"\n"),
        "escapes": entry(b"/opt/new\nline\tand\\back",
                         b'[Desktop Entry]\nType=Application\nName=a\\sb\\tc\nExec="/opt/new\\nline\\tand\\\\\\\\back"\n'),
        "empty": entry(b"", b""),
    },
}

for target, files in seeds.items():
    folder = os.path.join(here, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
