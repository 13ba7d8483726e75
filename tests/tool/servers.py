#!/usr/bin/python3
"""Small servers for the tool's transfer checks, each on a free loopback port that it prints
on its first line of output once it listens (so nobody waits for it to start).

  servers.py http [ADDR]    scripted HTTP on ADDR (127.0.0.1 unless told; "::1"): /esc (a
                            reason phrase with escape sequences), /auth (the Authorization header echoed as the body), /big (4 MiB),
                            /moved?code=C&to=URL (a redirect), /loop (redirects to itself),
                            /method (echoes the method and body), /host (echoes Host),
                            /agents (every User-Agent value, joined by |),
                            /blob (300 kB, honours Range: bytes=N-; 416 from its end on), /norange (the same, whole),
                            /keep (HTTP/1.1, length given, connection kept open), /chunked (the
                            same blob in chunks, kept open), /continue (100 Continue first),
                            /stall (part of a body, then silence), /reset (part, then a reset)
  servers.py ftp-odd        scripted FTP: logs anyone in, answers PASV with 331 and RETR of
                            anything with a 550 whose text holds escape sequences, REST with a 450
  servers.py pyftpd DIR [HOST [PORT]]
                            pyftpdlib serving DIR to joe/secret (writable) and anonymous,
                            on 127.0.0.1 or HOST (::1), at PORT or a free one
  servers.py dns6 HOST      a name server on HOST:53 (a loopback address) that gives every
                            name the IPv6 address ::1 and no IPv4 address; prints 53
  servers.py inetd CMD...   runs CMD (vsftpd with listen=NO) per connection on the socket,
                            and writes "connection" to stderr for each
"""
import socket
import socketserver
import sys
import struct
import threading
import urllib.parse

# Bytes every byte value, in an order that repeats rarely: what /blob serves.
BLOB = bytes((i * 7 + i // 251) & 0xFF for i in range(300000))


class HttpHandler(socketserver.StreamRequestHandler):
    def handle(self):
        head = b""
        while not head.endswith(b"\r\n\r\n"):
            line = self.rfile.readline(65536)
            if not line:
                return
            head += line
        method, target = head.split(b" ")[:2]
        fields = {}
        for line in head.split(b"\r\n")[1:]:
            if b":" in line:
                name, value = line.split(b":", 1)
                fields.setdefault(name.strip().lower(), value.strip())
        auth = fields.get(b"authorization", b"")
        data = self.rfile.read(int(fields.get(b"content-length", b"0")))
        path, _, query = target.partition(b"?")
        args = dict(urllib.parse.parse_qsl(query.decode()))
        if path == b"/moved":
            self.wfile.write(b"HTTP/1.0 %s Moved\r\nLocation: %s\r\n\r\n" % (args["code"].encode(), args["to"].encode()))
        elif path == b"/loop":
            self.wfile.write(b"HTTP/1.0 302 Found\r\nLocation: /loop\r\n\r\n")
        elif path == b"/method":
            body = method + b" " + data.rstrip(b"\r\n")
            self.wfile.write(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))
        elif path in (b"/host", b"/agents"):
            # /agents: every User-Agent line's value, so a second one shows.
            agents = [line.split(b":", 1)[1].strip() for line in head.split(b"\r\n") if line.lower().startswith(b"user-agent:")]
            body = fields.get(b"host", b"") if path == b"/host" else b"|".join(agents)
            self.wfile.write(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))
        elif path in (b"/blob", b"/norange"):
            start = 0
            wanted = fields.get(b"range", b"")
            if path == b"/blob" and wanted.startswith(b"bytes=") and wanted.endswith(b"-"):
                start = int(wanted[6:-1])
            rest = BLOB[start:]
            status = b"206 Partial Content\r\nContent-Range: bytes %d-%d/%d" % (start, len(BLOB) - 1, len(BLOB)) if start else b"200 OK"
            if start >= len(BLOB):
                status, rest = b"416 Range Not Satisfiable\r\nContent-Range: bytes */%d" % len(BLOB), b"nothing left\n"
            self.wfile.write(b"HTTP/1.0 %s\r\nContent-Length: %d\r\n\r\n%s" % (status, len(rest), rest))
        elif path == b"/keep":
            self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(BLOB), BLOB))
            self.rfile.read()  # until the client closes
        elif path == b"/chunked":
            self.wfile.write(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
            for at in range(0, len(BLOB), 70000):
                piece = BLOB[at:at + 70000]
                self.wfile.write(b"%x;n=1\r\n%s\r\n" % (len(piece), piece))
            self.wfile.write(b"0\r\nX-Done: yes\r\n\r\n")
            self.rfile.read()
        elif path == b"/continue":
            self.wfile.write(b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\nafter\n")
        elif path in (b"/stall", b"/reset"):
            self.wfile.write(b"HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\npart")
            self.wfile.flush()
            if path == b"/reset":
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                self.connection.close()
            else:
                self.rfile.read()
        elif target == b"/esc":
            self.wfile.write(b"HTTP/1.0 404 Gone\x1b]0;owned\x07\x1b[2J\r\nX-Note: a\x1bb\r\n\r\n")
        elif target == b"/auth":
            self.wfile.write(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(auth), auth))
        elif target == b"/big":
            body = b"x" * (4 << 20)
            self.wfile.write(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body))
            try:
                self.wfile.write(body)
            except OSError:
                pass
        else:
            self.wfile.write(b"HTTP/1.0 404 Not Found\r\n\r\n")


class OddFtpHandler(socketserver.StreamRequestHandler):
    def handle(self):
        self.wfile.write(b"220 odd server\r\n")
        replies = {b"USER": b"331 password\r\n", b"PASS": b"230 in\r\n", b"TYPE": b"200 ok\r\n",
                   b"PASV": b"331 not now\r\n", b"PORT": b"200 ok\r\n", b"REST": b"450 cannot resume\r\n", b"RETR": b"550 \x1b]0;owned\x07no\x1b[2J file\r\n"}
        for line in self.rfile:
            self.wfile.write(replies.get(line.split(b" ")[0].strip().upper(), b"502 no\r\n"))


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


class Server6(Server):
    address_family = socket.AF_INET6


def serve(handler, address="127.0.0.1"):
    server = (Server6 if ":" in address else Server)((address, 0), handler)
    print(server.server_address[1], flush=True)
    server.serve_forever()


def pyftpd(folder, host="127.0.0.1", port="0"):
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer
    import logging
    logging.basicConfig(level=logging.CRITICAL)
    authorizer = DummyAuthorizer()
    authorizer.add_user("joe", "secret", folder, perm="elradfmw")
    authorizer.add_anonymous(folder)
    FTPHandler.authorizer = authorizer
    FTPHandler.auth_failed_timeout = 0.05  # a wrong password is answered at once
    server = FTPServer((host, int(port)), FTPHandler)
    print(server.socket.getsockname()[1], flush=True)
    server.serve_forever()


def dns6(host):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((host, 53))
    print(53, flush=True)
    while True:
        query, peer = sock.recvfrom(512)
        # The question is copied back: the name's labels, its type and class.
        end = 12
        while end < len(query) and query[end] != 0:
            end += 1 + query[end]
        question = query[12:end + 5]
        if len(query) < 12 or len(question) < 5:
            continue
        qtype = struct.unpack("!H", question[-4:-2])[0]
        answers = b""
        if qtype == 28:  # AAAA: ::1; an A question finds none (no error: the name exists)
            answers = b"\xc0\x0c" + struct.pack("!HHIH", 28, 1, 60, 16) + socket.inet_pton(socket.AF_INET6, "::1")
        header = query[:2] + struct.pack("!HHHHH", 0x8180, 1, 1 if answers else 0, 0, 0)
        sock.sendto(header + question + answers, peer)


def inetd(command):
    import signal
    import subprocess
    children = []

    def stop(*_):
        for child in children:
            if child.poll() is None:
                child.kill()
                child.wait()
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    print(listener.getsockname()[1], flush=True)
    while True:
        conn, _ = listener.accept()
        print("connection", file=sys.stderr, flush=True)
        children.append(subprocess.Popen(command, stdin=conn, stdout=conn))
        children = [c for c in children if c.poll() is None]
        conn.close()


if __name__ == "__main__":
    mode = sys.argv[1]
    if mode == "http":
        serve(HttpHandler, *sys.argv[2:3])
    elif mode == "ftp-odd":
        serve(OddFtpHandler)
    elif mode == "pyftpd":
        pyftpd(*sys.argv[2:5])
    elif mode == "dns6":
        dns6(sys.argv[2])
    elif mode == "inetd":
        inetd(sys.argv[2:])
