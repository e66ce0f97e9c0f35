#!/usr/bin/env python3
"""A small https file server on 127.0.0.1 for the installer download tests.

    python3 download_server.py --cert C --key K --dir D
Prints {"port": N}, then serves GET /files/<name> from D until stdin ends:
  D/<name>       the file, with Content-Length, in pieces (so that progress is reported);
  D/<name>.cut   Content-Length of the whole file, half of it sent, then the connection closed;
  otherwise      404.
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
        data = open(whole, "rb").read()
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        for at in range(0, len(data), 32768):
            self.wfile.write(data[at:at + 32768])
            self.wfile.flush()
            time.sleep(0.02)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--dir", required=True)
    args = parser.parse_args()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.folder = args.dir
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(json.dumps({"port": server.server_address[1]}), flush=True)
    sys.stdin.read()
    server.shutdown()


if __name__ == "__main__":
    main()
