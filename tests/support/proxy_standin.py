#!/usr/bin/env python3
"""A small HTTP proxy on 127.0.0.1 that stands for an office's proxy in the tests.

    python3 proxy_standin.py --log FILE [--mode pass|auth|refuse] [--user U:P]
Prints {"port": N}, then serves until stdin ends. Each request it takes is logged to FILE
as one JSON line: {"method", "target", "auth", "servico"} (auth: the Proxy-Authorization it
got; servico: the form field of that name, for the service's calls).
  pass    http requests with an absolute URI are sent on to their server, the answer comes
          back whole (the connection to the client ends with it); CONNECT opens a tunnel;
  auth    as pass for a request that brings "Proxy-Authorization: Basic" of --user,
          407 Proxy Authentication Required for any other;
  refuse  403 Forbidden for every request.
"""
import argparse
import base64
import json
import select
import socket
import socketserver
import sys
import threading
import urllib.parse


def read_head(sock):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            return None, b""
        data += chunk
        if len(data) > 1 << 20:
            return None, b""
    head, rest = data.split(b"\r\n\r\n", 1)
    return head, rest


def header(lines, name):
    for line in lines[1:]:
        key, _, value = line.partition(b":")
        if key.strip().lower() == name:
            return value.strip()
    return None


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        client = self.request
        head, rest = read_head(client)
        if head is None:
            return
        lines = head.split(b"\r\n")
        method, target, version = (lines[0].split(b" ") + [b"", b""])[:3]
        auth = header(lines, b"proxy-authorization")
        length = int(header(lines, b"content-length") or b"0")
        while method != b"CONNECT" and len(rest) < length:
            chunk = client.recv(65536)
            if not chunk:
                break
            rest += chunk
        service = urllib.parse.parse_qs(rest.decode("latin-1")).get("servico", [""])[0]
        with self.server.lock:
            with open(self.server.log, "a") as f:
                f.write(json.dumps({"method": method.decode("latin-1"), "target": target.decode("latin-1"),
                                    "auth": (auth or b"").decode("latin-1"), "servico": service}) + "\n")
        if self.server.mode == "refuse":
            return self.answer(client, b"403 Forbidden")
        if self.server.mode == "auth" and auth != b"Basic " + base64.b64encode(self.server.user.encode()):
            return self.answer(client, b"407 Proxy Authentication Required",
                               b"Proxy-Authenticate: Basic realm=\"escritorio\"\r\n")
        if method == b"CONNECT":
            host, _, port = target.decode().rpartition(":")
            try:
                upstream = socket.create_connection((host, int(port)), timeout=30)
            except OSError:
                return self.answer(client, b"502 Bad Gateway")
            client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            return self.pipe(client, upstream, rest)
        url = urllib.parse.urlsplit(target.decode("latin-1"))
        if url.scheme != "http" or not url.hostname:
            return self.answer(client, b"400 Bad Request")
        path = (url.path or "/") + ("?" + url.query if url.query else "")
        kept = [line for line in lines[1:]
                if line.split(b":")[0].strip().lower() not in (b"proxy-authorization", b"connection")]
        request = b"\r\n".join([method + b" " + path.encode("latin-1") + b" " + version] + kept +
                               [b"Connection: close"]) + b"\r\n\r\n" + rest
        try:
            upstream = socket.create_connection((url.hostname, url.port or 80), timeout=30)
        except OSError:
            return self.answer(client, b"502 Bad Gateway")
        upstream.sendall(request)
        answer = b""
        while True:
            chunk = upstream.recv(65536)
            if not chunk:
                break
            answer += chunk
        upstream.close()
        # The answer's connection ends here: say so to the client.
        answer_head, _, body = answer.partition(b"\r\n\r\n")
        answer_lines = [line for line in answer_head.split(b"\r\n")
                        if line.split(b":")[0].strip().lower() != b"connection"]
        client.sendall(b"\r\n".join(answer_lines + [b"Connection: close"]) + b"\r\n\r\n" + body)

    def answer(self, client, status, extra=b""):
        client.sendall(b"HTTP/1.1 " + status + b"\r\n" + extra + b"Content-Length: 0\r\nConnection: close\r\n\r\n")

    def pipe(self, client, upstream, pending):
        if pending:
            upstream.sendall(pending)
        ends = [client, upstream]
        while True:
            readable, _, _ = select.select(ends, [], [], 60)
            if not readable:
                break
            for sock in readable:
                data = sock.recv(65536)
                if not data:
                    upstream.close()
                    return
                (upstream if sock is client else client).sendall(data)


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--log", required=True)
    parser.add_argument("--mode", default="pass", choices=("pass", "auth", "refuse"))
    parser.add_argument("--user", default="escritorio:senha")
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()
    server = Server(("127.0.0.1", args.port), Handler)
    server.log, server.mode, server.user, server.lock = args.log, args.mode, args.user, threading.Lock()
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(json.dumps({"port": server.server_address[1]}), flush=True)
    sys.stdin.read()
    server.shutdown()


if __name__ == "__main__":
    main()
