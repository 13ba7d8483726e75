#!/usr/bin/env python3
"""An echo server against a peer that sends and does not read.

usage: echo_flood.py example|tool SERVER_BINARY [TOTAL_MIB [LIMIT_MIB]]

Starts the server (the quick-start example, or `tavsock server --echo`) as a process of its
own. A flooding peer sends framed messages without reading until the server stops taking them
(it has paused reading that connection), while a second client must still get its echo. Then
the flooder reads the echoes while it sends the rest, TOTAL_MIB (default 1024) in all, and
must get every echo back. The server's peak resident memory (VmHWM) must stay under LIMIT_MIB
(default 64; 0 checks nothing, for builds whose allocator keeps freed memory on purpose).
Every wait is bounded; the server is stopped on the way out.
"""
import os
import select
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

STALL_SECONDS = 2.0  # no room to send for this long: the server stopped reading
DEADLINE_SECONDS = 240.0
PAYLOAD = 64 * 1024 - 6


def fail(message):
    print("echo_flood: " + message, file=sys.stderr)
    sys.exit(1)


def peak_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    fail("no VmHWM for the server")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_server(kind, binary, port):
    if kind == "example":
        argv = [binary, str(port)]
    else:
        argv = [binary, "server", str(port), "--begin", "<B>", "--end", "<E>", "--echo"]
    errors = tempfile.TemporaryFile()
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=errors)
    # The server says it listens before it runs its queue; its other output is not needed.
    ready, _, _ = select.select([proc.stdout], [], [], 15)
    line = proc.stdout.readline() if ready else b""
    if b"listening" not in line:
        proc.kill()
        proc.wait()
        errors.seek(0)
        fail("server did not start: %r %r" % (line, errors.read()))

    # The rest of its output is drained, or a full pipe would stall the server.
    def drain():
        while proc.stdout.read(1 << 16):
            pass

    threading.Thread(target=drain, daemon=True).start()
    return proc


def echo_of(kind, text):
    return b"<B>" + (b"echo: " if kind == "example" else b"") + text + b"<E>"


def second_client_served(kind, port):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as c:
        c.sendall(b"<B>hello<E>")
        want = echo_of(kind, b"hello")
        got = b""
        end = time.monotonic() + 10
        while len(got) < len(want) and time.monotonic() < end:
            chunk = c.recv(4096)
            if not chunk:
                break
            got += chunk
        return got == want


def main():
    kind, binary = sys.argv[1], sys.argv[2]
    total = (int(sys.argv[3]) if len(sys.argv) > 3 else 1024) << 20
    limit_kib = (int(sys.argv[4]) if len(sys.argv) > 4 else 64) * 1024
    port = free_port()
    proc = start_server(kind, binary, port)
    try:
        message = b"<B>" + b"x" * PAYLOAD + b"<E>"
        echo_size = len(echo_of(kind, b"x" * PAYLOAD))
        count = total // len(message)
        flood = socket.create_connection(("127.0.0.1", port))
        flood.setblocking(False)
        deadline = time.monotonic() + DEADLINE_SECONDS
        sent = 0  # bytes of the whole stream of `count` messages
        stream_size = count * len(message)

        def send_some():
            nonlocal sent
            at = sent % len(message)
            n = flood.send(message[at:] + message * 3)
            sent = min(stream_size, sent + n)

        # Phase 1: send without reading until the server takes no more.
        while sent < stream_size:
            _, writable, _ = select.select([], [flood], [], STALL_SECONDS)
            if not writable:
                break
            try:
                send_some()
            except BlockingIOError:
                pass
            if time.monotonic() > deadline:
                fail("phase 1 did not end")
        stalled_at = sent
        peak_stalled = peak_kib(proc.pid)
        if not second_client_served(kind, port):
            fail("a second client was not served while the flooder did not read")

        # Phase 2: read the echoes while sending the rest.
        received = 0
        want = count * echo_size
        while received < want:
            wr = [flood] if sent < stream_size else []
            readable, writable, _ = select.select([flood], wr, [], 10)
            if not readable and not writable:
                fail("no progress: sent %d of %d, received %d of %d" % (sent, stream_size, received, want))
            if readable:
                data = flood.recv(1 << 20)
                if not data:
                    fail("the server closed the connection")
                received += len(data)
            if writable:
                try:
                    send_some()
                except BlockingIOError:
                    pass
            if time.monotonic() > deadline:
                fail("phase 2 did not end: received %d of %d" % (received, want))
        flood.close()
        peak = peak_kib(proc.pid)
        print("%s: stalled after %d MiB unread; %d MiB sent, %d MiB echoed; peak RSS %d KiB (%d KiB when stalled)"
              % (kind, stalled_at >> 20, sent >> 20, received >> 20, peak, peak_stalled))
        if limit_kib and peak >= limit_kib:
            fail("peak RSS %d KiB is not under %d KiB" % (peak, limit_kib))
        if stalled_at >= stream_size:
            fail("the server never stopped reading")
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


if __name__ == "__main__":
    main()
