#!/usr/bin/env python3
"""A small https file server on 127.0.0.1 for the installer download tests.

    python3 download_server.py --cert C --key K --dir D
Prints {"port": N, "plain_port": M}, then serves GET /files/<name> from D until stdin
ends, over https on port N and over plain http on port M:
  D/<name>.redirect   a redirect (302) to the URL that the file holds;
  D/<name>.cut        Content-Length of the whole file, half of it sent, then the connection closed;
  D/<name>.nolength   the file without Content-Length, ended by closing the connection;
  D/<name>            the file, with Content-Length, in pieces (so that progress is reported);
  otherwise           404.
"""
import argparse
import http.server
import json
import os
import ssl
import sys
import threading
import time


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        name = os.path.basename(self.path.split("?")[0])
        whole = os.path.join(self.server.folder, name)
        cut = whole + ".cut"
        if self.path.startswith("/files/") and os.path.isfile(whole + ".redirect"):
            location = open(whole + ".redirect").read().strip()
            self.send_response(302)
            self.send_header("Location", location)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if self.path.startswith("/files/") and os.path.isfile(whole + ".nolength"):
            data = open(whole + ".nolength", "rb").read()
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Connection", "close")
            self.end_headers()
            for at in range(0, len(data), 32768):
                self.wfile.write(data[at:at + 32768])
                self.wfile.flush()
            self.close_connection = True
            # Without a length, the end of the body is the end of the connection: over TLS,
            # its closing handshake (close_notify), as a server does, or a client cannot
            # tell it from a cut transfer (newer curl refuses it).
            if isinstance(self.connection, ssl.SSLSocket):
                try:
                    self.connection.settimeout(5)
                    self.connection.unwrap()
                except (OSError, ValueError):
                    pass
            return
        if self.path.startswith("/files/") and os.path.isfile(cut):
            data = open(cut, "rb").read()
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data[: len(data) // 2])
            self.wfile.flush()
            self.close_connection = True
            return
        if not self.path.startswith("/files/") or not os.path.isfile(whole):
            body = b"<html><body>404 Not Found</body></html>"
            self.send_response(404)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(os.path.getsize(whole)))
        self.end_headers()
        with open(whole, "rb") as f:
            while True:
                piece = f.read(32768)
                if not piece:
                    break
                self.wfile.write(piece)
                self.wfile.flush()
                time.sleep(0.02)


class Server(http.server.ThreadingHTTPServer):
    def handle_error(self, request, client_address):
        # A client that stops reading (a download refused halfway) is expected.
        if isinstance(sys.exc_info()[1], OSError):
            return
        super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--dir", required=True)
    args = parser.parse_args()
    server = Server(("127.0.0.1", 0), Handler)
    server.folder = args.dir
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    plain = Server(("127.0.0.1", 0), Handler)
    plain.folder = args.dir
    for each in (server, plain):
        threading.Thread(target=each.serve_forever, daemon=True).start()
    print(json.dumps({"port": server.server_address[1], "plain_port": plain.server_address[1]}), flush=True)
    sys.stdin.read()
    server.shutdown()
    plain.shutdown()


if __name__ == "__main__":
    main()
