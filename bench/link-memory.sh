#!/usr/bin/env bash
# Host memory under abusive engine-link clients, measured from outside with /usr/bin/time -v.
#   bench/link-memory.sh [PROXYHOST_BINARY]     (default: build/bin/proxyhost)
# Two runs, each a fresh host:
#   flood: four clients send calls as fast as the host takes them and never read a reply; then they
#          go. Prints the host's RSS while they hang on and after they have gone.
#   big:   one client sends one 16 MiB method call whose arguments are a list of 16 million nulls,
#          and reads the reply.
# For each, the host's peak RSS ("Maximum resident set size" at exit, SIGTERM).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
host="${1:-$root/build/bin/proxyhost}"
work="$(mktemp -d /tmp/link-memory-XXXXXX)"
trap 'rm -rf "$work"' EXIT

rss() { awk '/^VmRSS/ {printf "%d MiB", $2 / 1024}' "/proc/$1/status" 2>/dev/null || echo "gone"; }

run() {
  local scenario="$1"
  local dir="$work/$scenario"
  mkdir -p "$dir/home" "$dir/config"
  env -u XDG_RUNTIME_DIR HOME="$dir/home" XDG_CONFIG_HOME="$dir/config" \
    PROXYHOST_ENGINE_SOCKET="$dir/engine.sock" \
    /usr/bin/time -v -o "$dir/time.txt" "$host" >"$dir/host.log" 2>&1 &
  local timepid=$!
  for _ in $(seq 100); do [ -S "$dir/engine.sock" ] && break; sleep 0.1; done
  local pid
  pid="$(pgrep -P "$timepid")"
  python3 - "$scenario" "$dir/engine.sock" "$pid" <<'PY'
import socket, struct, sys, threading, time

scenario, path, pid = sys.argv[1], sys.argv[2], sys.argv[3]

def rss():
    try:
        for line in open(f"/proc/{pid}/status"):
            if line.startswith("VmRSS"):
                return f"{int(line.split()[1]) // 1024} MiB"
    except OSError:
        return "gone"

def string(s):
    b = s.encode()
    assert len(b) < 254
    return b"\x07" + bytes([len(b)]) + b

def message(mid, channel, payload):
    c = channel.encode()
    body = struct.pack("<BIH", 1, mid, len(c)) + c + payload
    return struct.pack("<I", len(body)) + body

def connect():
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.connect(path)
    return s

if scenario == "flood":
    # Many calls per send: the host answers each (empty reply: nobody handles the channel).
    batch = b"".join(message(i, "bench/flood", string("m") + b"\x00") for i in range(1000))
    clients, sent = [], [0] * 4
    def flood(n):
        s = connect()
        clients.append(s)
        s.settimeout(3)  # the host has stopped reading us, or has closed
        try:
            while sent[n] < 400 << 20:
                s.sendall(batch)
                sent[n] += len(batch)
        except OSError:
            pass
    threads = [threading.Thread(target=flood, args=(n,)) for n in range(4)]
    for t in threads: t.start()
    for t in threads: t.join()
    print(f"flood: sent {sum(sent) >> 20} MiB of calls in all; host RSS with the clients still there: {rss()}")
    for s in clients: s.close()
    time.sleep(2)
    print(f"flood: host RSS 2 s after the clients went: {rss()}")
else:
    n = (16 << 20) - 64
    call = string("launchAtStartupIsEnabled") + b"\x0c\xff" + struct.pack("<I", n) + b"\x00" * n
    s = connect()
    s.sendall(message(1, "launch_at_startup", call))
    s.settimeout(60)
    got = b""
    while True:  # the hello, then the reply
        chunk = s.recv(1 << 16)
        if not chunk: break
        got += chunk
        if len(got) >= 4 and struct.unpack("<I", got[:4])[0] + 4 < len(got):
            rest = got[struct.unpack("<I", got[:4])[0] + 4:]
            if len(rest) >= 4 and len(rest) >= struct.unpack("<I", rest[:4])[0] + 4: break
    print(f"big: reply received; host RSS now: {rss()}")
PY
  kill -TERM "$pid"
  wait "$timepid" || true
  echo "$scenario: host peak RSS $(awk -F': ' '/Maximum resident/ {printf "%d MiB", $2 / 1024}' "$dir/time.txt")"
}

run flood
run big
