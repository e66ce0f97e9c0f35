#!/usr/bin/env python3
"""Stand-in for the Norvane service API, on 127.0.0.1 only (Python standard library).

Test mode (driven by tests/support/StandIn.cpp):
    python3 standin.py --control --port 0
  Prints {"port": N} on stdout, then reads one JSON command per line on stdin and
  answers each with one JSON line:
    {"cmd": "script", "answer": {...}}  queue an answer (see Answer below)
    {"cmd": "default", "answer": {...}} answer used when the queue is empty
    {"cmd": "requests"}                 every request so far: raw bytes (Base64) and
                                        the number of the connection it came on
    {"cmd": "clear"}                    forget recorded requests and queued answers
    {"cmd": "quit"}                     stop (so does the end of stdin)

Demo mode (the service of scripts/demo.sh):
    python3 standin.py --demo --port 8765 [--homologation-port 8766] [--version 1.0.3]
                       [--store DIR] [--offices 1] [--samples DIR]
  Any login gets a canned notary office (or --offices N of them), a few manually typed
  instruments wait to be signed (small PDF/A files), and uploads are accepted and kept
  in the --store folder (default: ./standin-received). assinadorVersao answers
  --version. Answers on the homologation port carry the three-byte prefix that the
  homologation service sends. --samples DIR also writes PDF/A files named after the
  office's instrument keys, ready for the batch tab.
"""

import argparse
import base64
import collections
import json
import os
import select
import socket
import socketserver
import sys
import threading
import time
import urllib.parse

CREDENTIALS = "Basic " + base64.b64encode(b"admin:Zq8mW3x#%").decode()
BOM = b"\xef\xbb\xbf"


class State:
    def __init__(self):
        self.lock = threading.Lock()
        self.requests = []
        self.answers = collections.deque()
        self.default = {"status": "HTTP/1.1 200 OK", "headers": [["Content-Type", "text/html"]], "body": ""}
        self.connections = 0
        self.stopping = threading.Event()
        self.demo = None


STATE = State()


def read_request(sock, pending):
    """Reads one request (head and body as sent); returns (raw, rest) or (None, rest)."""
    data = pending
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            return None, b""
        data += chunk
    head_end = data.index(b"\r\n\r\n") + 4
    length = 0
    for line in data[:head_end].split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip() or b"0")
    while len(data) < head_end + length:
        chunk = sock.recv(65536)
        if not chunk:
            break
        data += chunk
    return data[: head_end + length], data[head_end + length:]


def build_answer(answer):
    body = answer.get("body", "")
    body = base64.b64decode(answer["body_b64"]) if "body_b64" in answer else body.encode("utf-8")
    headers = [(k, v) for k, v in answer.get("headers", [])]
    if answer.get("content_length", True) and not any(k.lower() == "content-length" for k, _ in headers):
        headers.append(("Content-Length", str(len(body))))
    if answer.get("keep_alive"):
        headers.append(("Connection", "keep-alive"))
    head = answer.get("status", "HTTP/1.1 200 OK") + "\r\n"
    head += "".join("%s: %s\r\n" % (k, v) for k, v in headers) + "\r\n"
    return head.encode("latin-1") + body


def wait_for_close(sock):
    """Holds the connection without answering until the client leaves or we stop."""
    while not STATE.stopping.is_set():
        ready, _, _ = select.select([sock], [], [], 0.2)
        if ready:
            try:
                if not sock.recv(65536):
                    return
            except OSError:
                return


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        sock = self.request
        with STATE.lock:
            STATE.connections += 1
            connection = STATE.connections
        pending = b""
        while True:
            raw, pending = read_request(sock, pending)
            if raw is None:
                return
            with STATE.lock:
                STATE.requests.append({"raw": base64.b64encode(raw).decode(), "conn": connection,
                                       "port": self.server.server_address[1]})
                answer = STATE.answers.popleft() if STATE.answers else None
            if answer is None:
                answer = STATE.demo.answer(raw, self.server.homologation) if STATE.demo else STATE.default
            if answer.get("delay_ms"):
                time.sleep(answer["delay_ms"] / 1000.0)
            if answer.get("hang"):
                wait_for_close(sock)
                return
            data = build_answer(answer)
            cut = answer.get("close_after")
            try:
                sock.sendall(data if cut is None else data[:cut])
            except OSError:
                return
            if cut is not None or not answer.get("keep_alive"):
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                return


class Server(socketserver.ThreadingMixIn, socketserver.TCPServer):
    allow_reuse_address = True
    daemon_threads = True

    def __init__(self, port, homologation=False):
        super().__init__(("127.0.0.1", port), Handler)
        self.homologation = homologation


# ---------------------------------------------------------------------------- demo


def pdf_document(title, keywords):
    """A one-page PDF with a PDF/A-1b identification in its XMP metadata."""
    xmp = (
        '<?xpacket begin="\ufeff" id="W5M0MpCehiHzreSzNTczkc9d"?>\n'
        '<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">\n'
        '<rdf:Description rdf:about="" xmlns:pdfaid="http://www.aiim.org/pdfa/ns/id/">'
        "<pdfaid:part>1</pdfaid:part><pdfaid:conformance>B</pdfaid:conformance></rdf:Description>\n"
        '<rdf:Description rdf:about="" xmlns:dc="http://purl.org/dc/elements/1.1/">'
        '<dc:title><rdf:Alt><rdf:li xml:lang="x-default">%s</rdf:li></rdf:Alt></dc:title></rdf:Description>\n'
        '<rdf:Description rdf:about="" xmlns:pdf="http://ns.adobe.com/pdf/1.3/">'
        "<pdf:Keywords>%s</pdf:Keywords></rdf:Description>\n"
        '</rdf:RDF></x:xmpmeta>\n<?xpacket end="w"?>' % (title, keywords.replace("&", "&amp;").replace("<", "&lt;"))
    ).encode("utf-8")
    text = ("BT /F1 14 Tf 72 760 Td (Instrumento de Protesto) Tj 0 -24 Td (%s) Tj ET" % title).encode("latin-1")

    def literal(s):
        return s.replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)")

    objects = [
        b"<< /Type /Catalog /Pages 2 0 R /Metadata 6 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Resources << /Font << /F1 4 0 R >> >> "
        b"/Contents 5 0 R >>",
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        b"<< /Length %d >>\nstream\n" % len(text) + text + b"\nendstream",
        b"<< /Type /Metadata /Subtype /XML /Length %d >>\nstream\n" % len(xmp) + xmp + b"\nendstream",
        ("<< /Title (%s) /Keywords (%s) /Producer (Norvane stand-in) >>"
         % (literal(title), literal(keywords))).encode("latin-1"),
    ]
    out = bytearray(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
    offsets = []
    for number, body in enumerate(objects, start=1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    for offset in offsets:
        out += b"%010d 00000 n \n" % offset
    out += b"trailer\n<< /Size %d /Root 1 0 R /Info 7 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    return bytes(out)


class Demo:
    OFFICE = {"codigoIBGE": "3550308", "numero": "01", "codUsuario": "1234",
              "nomeCartorio": "1º Tabelião de Protesto de Letras e Títulos", "codCartorio": 101}

    def __init__(self, version, store, offices):
        self.version = version
        self.store = store
        self.lock = threading.Lock()
        os.makedirs(store, exist_ok=True)
        self.offices = []
        for i in range(max(1, offices)):
            office = dict(self.OFFICE)
            if i:
                office.update(numero="%02d" % (i + 1), codUsuario=str(1234 + i), codCartorio=101 + i,
                              nomeCartorio="%dº Tabelião de Protesto de Letras e Títulos" % (i + 1))
            self.offices.append(office)
        self.manual = collections.OrderedDict()
        for n in range(1, 4):
            key = self.key(self.offices[0], n)
            pdf = pdf_document("Instrumento %s" % key, '{"manual":"1"}')
            self.manual[str(1000 + n)] = {"cd_titulo_instrumento_protesto": 1000 + n, "nm_chave": key,
                                          "ds_instrumento_protesto_pdf_b64": base64.b64encode(pdf).decode()}
        self.received = 0

    @staticmethod
    def key(office, n):
        # 23 characters: IBGE code (7), date (8), office number (2), sequence (6).
        return office["codigoIBGE"] + time.strftime("%Y%m%d") + office["numero"] + "%06d" % n

    def write_samples(self, folder):
        os.makedirs(folder, exist_ok=True)
        for n in range(1, 4):
            key = self.key(self.offices[0], 100 + n)
            with open(os.path.join(folder, key + ".pdf"), "wb") as f:
                f.write(pdf_document("Instrumento %s" % key, "protesto"))

    def keep(self, name, data):
        with self.lock:
            self.received += 1
            path = os.path.join(self.store, "%03d-%s" % (self.received, name.replace("/", "_")))
        tmp = path + ".tmp"
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, path)
        print("stand-in: recebido %s" % path, file=sys.stderr, flush=True)

    def answer(self, raw, homologation):
        head, _, body = raw.partition(b"\r\n\r\n")
        authorization = ""
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"authorization":
                authorization = value.strip().decode("latin-1")
        if authorization != CREDENTIALS:
            return {"status": "HTTP/1.1 401 Unauthorized", "headers": [["Content-Type", "text/html"]],
                    "body": "<html><body>401 Unauthorized</body></html>"}
        fields = dict(urllib.parse.parse_qsl(body.decode("ascii", "replace"), keep_blank_values=True))
        service = fields.get("servico", "")
        if service == "assinadorVersao":
            payload = {"dados": {"nm_nr_versao": self.version}}
        elif service == "login":
            payload = self.offices
        elif service == "instrumentoDeProtesto":
            self.keep("%s.p7s.zip" % fields.get("nm_chave", "sem-chave"),
                      base64.b64decode(fields.get("ds_instrumento_protesto", "")))
            payload = {"status": "ok", "mensagem": "Instrumento recebido"}
        elif service == "instrumentoDeProtestoDigitacaoManual":
            with self.lock:
                payload = {"dados": list(self.manual.values())} if self.manual else {}
        elif service == "instrumentoDeProtestoDigitacaoManualAtt":
            ident = fields.get("cd_titulo_instrumento_protesto", "")
            self.keep("manual-%s.p7s" % ident, base64.b64decode(fields.get("ds_instrumento_protesto_b64", "")))
            with self.lock:
                self.manual.pop(ident, None)
            payload = {"status": "ok", "mensagem": "Instrumento recebido"}
        else:
            return {"status": "HTTP/1.1 404 Not Found", "headers": [["Content-Type", "text/html"]],
                    "body": "<html><body>404 Not Found</body></html>"}
        # The service sends UTF-8 without naming a charset.
        data = json.dumps(payload, ensure_ascii=False).encode("utf-8")
        if homologation:
            data = BOM + data
        return {"status": "HTTP/1.1 200 OK", "headers": [["Content-Type", "text/html"]],
                "body_b64": base64.b64encode(data).decode()}


# ---------------------------------------------------------------------------- main


def serve(server):
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True)
    thread.start()
    return thread


def command_loop():
    for line in sys.stdin:
        line = line.strip()
        if not line:
            continue
        command = json.loads(line)
        cmd = command.get("cmd")
        reply = {"ok": True}
        with STATE.lock:
            if cmd == "script":
                STATE.answers.append(command["answer"])
            elif cmd == "default":
                STATE.default = command["answer"]
            elif cmd == "requests":
                reply["requests"] = list(STATE.requests)
            elif cmd == "clear":
                STATE.requests.clear()
                STATE.answers.clear()
            elif cmd == "quit":
                print(json.dumps(reply), flush=True)
                return
            else:
                reply = {"ok": False, "error": "unknown command %r" % cmd}
        print(json.dumps(reply), flush=True)


def main():
    parser = argparse.ArgumentParser(description="Stand-in for the Norvane service API (127.0.0.1 only).")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--homologation-port", type=int, default=None)
    parser.add_argument("--demo", action="store_true")
    parser.add_argument("--version", default="1.0.3")
    parser.add_argument("--store", default="standin-received")
    parser.add_argument("--offices", type=int, default=1)
    parser.add_argument("--samples", default=None)
    parser.add_argument("--control", action="store_true", help="read commands on stdin (tests)")
    args = parser.parse_args()

    servers = [Server(args.port)]
    if args.homologation_port is not None:
        servers.append(Server(args.homologation_port, homologation=True))
    if args.demo:
        STATE.demo = Demo(args.version, os.path.abspath(args.store), args.offices)
        if args.samples:
            STATE.demo.write_samples(args.samples)
    for server in servers:
        serve(server)
    print(json.dumps({"port": servers[0].server_address[1],
                      "homologation_port": servers[1].server_address[1] if len(servers) > 1 else None}), flush=True)
    try:
        if not args.demo or args.control:
            command_loop()
        else:
            while True:
                time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        STATE.stopping.set()
        for server in servers:
            server.shutdown()
            server.server_close()


if __name__ == "__main__":
    main()
