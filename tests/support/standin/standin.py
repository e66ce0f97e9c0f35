#!/usr/bin/env python3
"""Stand-in for the Norvane service API, on 127.0.0.1 only (Python standard library).

Test mode (driven by tests/support/StandIn.cpp):
    python3 standin.py --control --port 0 [--upload-delay-ms N]
  Prints {"port": N} on stdout, then reads one JSON command per line on stdin and
  answers each with one JSON line:
    {"cmd": "script", "answer": {...}}  queue an answer (see Answer below)
    {"cmd": "default", "answer": {...}} answer used when the queue is empty
    {"cmd": "requests"}                 every request so far: raw bytes (Base64) and
                                        the number of the connection it came on
    {"cmd": "clear"}                    forget recorded requests and queued answers
    {"cmd": "listen", "on": false}      stop listening (connections are refused) / listen again
    {"cmd": "quit"}                     stop (so does the end of stdin)
  --upload-delay-ms N holds every upload (instrumentoDeProtesto and
  instrumentoDeProtestoDigitacaoManualAtt) N ms before its answer, as a distant service
  would (benchmarks); in either mode.

Demo mode (the service of scripts/demo.sh):
    python3 standin.py --demo --port 8765 [--homologation-port 8766] [--version 1.0.3]
                       [--store DIR] [--offices 1] [--samples DIR]
  The demo CPF (123.456.789-09, the holder of scripts/demo-token.sh) gets two notary
  offices with accented names; any other login gets a canned office (or --offices N of
  them). Each office has three manually typed instruments waiting to be signed (small
  PDF/A files), and uploads are accepted and kept in the --store folder (default:
  ./standin-received). assinadorVersao answers --version. Answers on the homologation
  port carry the three-byte prefix that the homologation service sends. --samples DIR
  also writes PDF/A files named after the first demo office's instrument keys, ready for
  the batch tab, plus one of each kind that the batch intake refuses. --files DIR serves
  GET /files/NAME from DIR, as the download host does (the update's package). The demo
  service ends when the process that started it ends.
"""

import argparse
import base64
import collections
import hashlib
import json
import os
import select
import socket
import socketserver
import struct
import sys
import threading
import time
import unicodedata
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
        self.upload_delay_ms = 0


UPLOAD_SERVICES = (b"instrumentoDeProtesto", b"instrumentoDeProtestoDigitacaoManualAtt")


def is_upload(raw):
    """True for a request whose form names one of the upload services."""
    body = raw[raw.find(b"\r\n\r\n") + 4:]
    for pair in body.split(b"&"):
        name, _, value = pair.partition(b"=")
        if name == b"servico":
            return value in UPLOAD_SERVICES
    return False


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
    if answer.get("body_size"):  # a large body made here rather than sent over the control channel
        size = int(answer["body_size"])
        body = ((body or b"x") * (size // len(body or b"x") + 1))[:size]
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


def trickle(sock, data, interval_ms):
    """Sends the answer one byte every interval_ms, as a server that never times out the
    client's idle limit yet never finishes; until the client leaves or we stop."""
    for i in range(len(data)):
        if STATE.stopping.wait(interval_ms / 1000.0):
            return
        try:
            sock.sendall(data[i:i + 1])
        except OSError:
            return
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


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
            if STATE.upload_delay_ms and is_upload(raw):
                time.sleep(STATE.upload_delay_ms / 1000.0)
            if answer.get("hang"):
                wait_for_close(sock)
                return
            data = build_answer(answer)
            cut = answer.get("close_after")
            if answer.get("trickle_ms"):
                trickle(sock, data, answer["trickle_ms"])
                return
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

# The demo's glyphs: a 5 x 7 dot font drawn as filled squares (a Type 3 font is embedded
# by nature, as PDF/A wants every font to be). Text is upper-cased and stripped of accents
# before drawing; anything else is drawn as a space.
GLYPHS = """
A 01110 10001 10001 11111 10001 10001 10001
B 11110 10001 10001 11110 10001 10001 11110
C 01110 10001 10000 10000 10000 10001 01110
D 11100 10010 10001 10001 10001 10010 11100
E 11111 10000 10000 11110 10000 10000 11111
F 11111 10000 10000 11110 10000 10000 10000
G 01110 10001 10000 10111 10001 10001 01111
H 10001 10001 10001 11111 10001 10001 10001
I 01110 00100 00100 00100 00100 00100 01110
J 00111 00010 00010 00010 00010 10010 01100
K 10001 10010 10100 11000 10100 10010 10001
L 10000 10000 10000 10000 10000 10000 11111
M 10001 11011 10101 10101 10001 10001 10001
N 10001 10001 11001 10101 10011 10001 10001
O 01110 10001 10001 10001 10001 10001 01110
P 11110 10001 10001 11110 10000 10000 10000
Q 01110 10001 10001 10001 10101 10010 01101
R 11110 10001 10001 11110 10100 10010 10001
S 01111 10000 10000 01110 00001 00001 11110
T 11111 00100 00100 00100 00100 00100 00100
U 10001 10001 10001 10001 10001 10001 01110
V 10001 10001 10001 10001 10001 01010 00100
W 10001 10001 10001 10101 10101 10101 01010
X 10001 10001 01010 00100 01010 10001 10001
Y 10001 10001 01010 00100 00100 00100 00100
Z 11111 00001 00010 00100 01000 10000 11111
0 01110 10001 10011 10101 11001 10001 01110
1 00100 01100 00100 00100 00100 00100 01110
2 01110 10001 00001 00010 00100 01000 11111
3 11111 00010 00100 00010 00001 10001 01110
4 00010 00110 01010 10010 11111 00010 00010
5 11111 10000 11110 00001 00001 10001 01110
6 00110 01000 10000 11110 10001 10001 01110
7 11111 00001 00010 00100 01000 01000 01000
8 01110 10001 10001 01110 10001 10001 01110
9 01110 10001 10001 01111 00001 00010 01100
- 00000 00000 00000 11111 00000 00000 00000
. 00000 00000 00000 00000 00000 01100 01100
: 00000 01100 01100 00000 01100 01100 00000
/ 00000 00001 00010 00100 01000 10000 00000
( 00010 00100 01000 01000 01000 00100 00010
) 01000 00100 00010 00010 00010 00100 01000
"""


def glyph_procs():
    procs = {32: b"600 0 0 0 0 0 d1"}
    for line in GLYPHS.strip().splitlines():
        char, *rows = line.split()
        squares = []
        for r, row in enumerate(rows):
            c = 0
            while c < 5:  # one rectangle per run of dots
                if row[c] == "1":
                    start = c
                    while c < 5 and row[c] == "1":
                        c += 1
                    squares.append("%d %d %d 100 re" % (start * 100, (6 - r) * 100, (c - start) * 100))
                else:
                    c += 1
        procs[ord(char)] = ("600 0 0 0 500 700 d1 " + " ".join(squares) + " f").encode("ascii")
    return procs


def drawable(text):
    plain = unicodedata.normalize("NFKD", text).encode("ascii", "ignore").decode().upper()
    return "".join(ch if ch == " " or ord(ch) in GLYPH_PROCS else " " for ch in plain)


GLYPH_PROCS = glyph_procs()


def srgb_profile():
    """A small ICC v2 display profile of sRGB (D50 colorants, gamma 2.2): the output intent."""
    def s15(v):
        return struct.pack(">i", round(v * 65536))

    def xyz(x, y, z):
        return b"XYZ \0\0\0\0" + s15(x) + s15(y) + s15(z)

    name = b"sRGB IEC61966-2.1 (Norvane demo)"
    tags = [
        (b"desc", b"desc\0\0\0\0" + struct.pack(">I", len(name) + 1) + name + b"\0" + bytes(4 + 4 + 2 + 1 + 67)),
        (b"cprt", b"text\0\0\0\0" + b"No copyright, use freely\0"),
        (b"wtpt", xyz(0.9642, 1.0, 0.8249)),
        (b"rXYZ", xyz(0.4361, 0.2225, 0.0139)),
        (b"gXYZ", xyz(0.3851, 0.7169, 0.0971)),
        (b"bXYZ", xyz(0.1431, 0.0606, 0.7141)),
        (b"rTRC", b"curv\0\0\0\0" + struct.pack(">IH", 1, 0x0233) + b"\0\0"),
        (b"gTRC", None),
        (b"bTRC", None),
    ]
    table, data = b"", b""
    offset = 128 + 4 + 12 * len(tags)
    shared = None
    for signature, body in tags:
        if body is None:  # the three tone curves are one
            table += signature + struct.pack(">II", *shared)
            continue
        while len(data) % 4:
            data += b"\0"
        shared = (offset + len(data), len(body))
        table += signature + struct.pack(">II", *shared)
        data += body
    size = 128 + 4 + len(table) + len(data)
    header = (struct.pack(">I", size) + b"\0\0\0\0" + struct.pack(">I", 0x02100000) + b"mntrRGB XYZ "
              + struct.pack(">6H", 2024, 1, 1, 0, 0, 0) + b"acsp" + bytes(4 + 4 + 4 + 4 + 8)
              + struct.pack(">I", 0) + s15(0.9642) + s15(1.0) + s15(0.8249) + bytes(4 + 44))
    return header + struct.pack(">I", len(tags)) + table + data


SRGB_PROFILE = srgb_profile()


def pdf_text(text):
    """A PDF text string in UTF-16BE (accents survive in the document information)."""
    return b"<FEFF" + text.encode("utf-16-be").hex().upper().encode("ascii") + b">"


def pdf_document(title, keywords, lines=(), pdfa=True):
    """A one-page PDF/A-1b: XMP metadata that identifies it and repeats the document
    information, an sRGB output intent, an embedded (Type 3) font and a file ID.
    keywords=None leaves every "Keywords" entry out; pdfa=False makes a plain PDF with no
    PDF/A identification and no output intent."""
    def xml(s):
        return s.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")

    stamp = time.gmtime()
    xmp_date = time.strftime("%Y-%m-%dT%H:%M:%SZ", stamp)
    pdf_date = time.strftime("D:%Y%m%d%H%M%SZ", stamp).encode("ascii")
    producer = "Norvane stand-in"
    descriptions = [
        '<rdf:Description rdf:about="" xmlns:dc="http://purl.org/dc/elements/1.1/">'
        '<dc:title><rdf:Alt><rdf:li xml:lang="x-default">%s</rdf:li></rdf:Alt></dc:title></rdf:Description>' % xml(title),
        '<rdf:Description rdf:about="" xmlns:xmp="http://ns.adobe.com/xap/1.0/">'
        "<xmp:CreateDate>%s</xmp:CreateDate><xmp:ModifyDate>%s</xmp:ModifyDate></rdf:Description>"
        % (xmp_date, xmp_date),
        '<rdf:Description rdf:about="" xmlns:pdf="http://ns.adobe.com/pdf/1.3/"><pdf:Producer>%s</pdf:Producer>%s'
        "</rdf:Description>" % (producer, "" if keywords is None else "<pdf:Keywords>%s</pdf:Keywords>" % xml(keywords)),
    ]
    if pdfa:
        descriptions.insert(0, '<rdf:Description rdf:about="" xmlns:pdfaid="http://www.aiim.org/pdfa/ns/id/">'
                               "<pdfaid:part>1</pdfaid:part><pdfaid:conformance>B</pdfaid:conformance></rdf:Description>")
    xmp = ('<?xpacket begin="\ufeff" id="W5M0MpCehiHzreSzNTczkc9d"?>\n'
           '<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">\n'
           + "\n".join(descriptions) + '\n</rdf:RDF></x:xmpmeta>\n<?xpacket end="w"?>').encode("utf-8")

    def literal(s):
        return s.replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)")

    heading, lines = drawable("Instrumento de Protesto"), [drawable(text) for text in lines]
    content = "0.12 0.31 0.55 RG 2 w 50 50 495 742 re S 0.07 0.18 0.34 rg BT /F1 16 Tf 72 740 Td (%s) Tj ET 0 g" % (
        literal(heading))
    y = 700
    for text in lines:
        content += " BT /F1 9 Tf 72 %d Td (%s) Tj ET" % (y, literal(text))
        y -= 18
    content = content.encode("ascii")

    codes = sorted({ord(ch) for ch in heading + "".join(lines)})  # the glyphs this page draws
    first, last = codes[0], codes[-1]
    widths = " ".join("600" if c in GLYPH_PROCS else "0" for c in range(first, last + 1))
    differences = " ".join("%d /g%d" % (c, c) for c in codes)
    # Objects 1-8, then one per glyph; the output intent's profile last.
    glyph_numbers = {c: 9 + i for i, c in enumerate(codes)}
    profile_number = 9 + len(codes)
    info = b"<< /Title " + pdf_text(title) + b" /Producer (" + producer.encode("ascii") + b")"
    if keywords is not None:
        info += b" /Keywords " + pdf_text(keywords)
    info += b" /CreationDate (" + pdf_date + b") /ModDate (" + pdf_date + b") >>"
    catalog = b"<< /Type /Catalog /Pages 2 0 R /Metadata 6 0 R"
    if pdfa:
        catalog += (b" /OutputIntents [<< /Type /OutputIntent /S /GTS_PDFA1 /OutputConditionIdentifier "
                    b"(sRGB IEC61966-2.1) /Info (sRGB IEC61966-2.1) /DestOutputProfile %d 0 R >>]" % profile_number)
    objects = [
        catalog + b" >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Resources << /Font << /F1 4 0 R >> >> "
        b"/Contents 5 0 R >>",
        ("<< /Type /Font /Subtype /Type3 /FontBBox [0 0 500 700] /FontMatrix [0.001 0 0 0.001 0 0] "
         "/CharProcs 8 0 R /Encoding << /Type /Encoding /Differences [%s] >> /FirstChar %d /LastChar %d "
         "/Widths [%s] >>" % (differences, first, last, widths)).encode("ascii"),
        b"<< /Length %d >>\nstream\n" % len(content) + content + b"\nendstream",
        b"<< /Type /Metadata /Subtype /XML /Length %d >>\nstream\n" % len(xmp) + xmp + b"\nendstream",
        info,
        ("<< %s >>" % " ".join("/g%d %d 0 R" % (c, glyph_numbers[c]) for c in codes)).encode("ascii"),
    ]
    for c in codes:
        objects.append(b"<< /Length %d >>\nstream\n" % len(GLYPH_PROCS[c]) + GLYPH_PROCS[c] + b"\nendstream")
    objects.append(b"<< /N 3 /Length %d >>\nstream\n" % len(SRGB_PROFILE) + SRGB_PROFILE + b"\nendstream")

    out = bytearray(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
    offsets = []
    for number, body in enumerate(objects, start=1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    ident = hashlib.md5(bytes(out)).hexdigest().upper().encode("ascii")
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    for offset in offsets:
        out += b"%010d 00000 n \n" % offset
    out += b"trailer\n<< /Size %d /Root 1 0 R /Info 7 0 R /ID [<%s><%s>] >>\nstartxref\n%d\n%%%%EOF\n" % (
        len(objects) + 1, ident, ident, xref)
    return bytes(out)


MANUAL_MARKER = '{"manual":"1"}'


class Demo:
    # The demo token's holder (scripts/demo-token.sh) works at two offices of one town.
    DEMO_CPF = "123.456.789-09"
    DEMO_OFFICES = [
        {"codigoIBGE": "4216602", "numero": "01", "codUsuario": "5101", "codCartorio": 4201,
         "nomeCartorio": "CARTÓRIO DO 1º OFÍCIO DE PROTESTO DE TÍTULOS DE SÃO JOSÉ"},
        {"codigoIBGE": "4216602", "numero": "02", "codUsuario": "5102", "codCartorio": 4202,
         "nomeCartorio": "TABELIONATO DO 2º OFÍCIO DE PROTESTO DE LETRAS E TÍTULOS DE SÃO JOSÉ"},
    ]
    # Every other CPF gets this office (or --offices N like it).
    OFFICE = {"codigoIBGE": "3550308", "numero": "01", "codUsuario": "1234",
              "nomeCartorio": "1º Tabelião de Protesto de Letras e Títulos", "codCartorio": 101}
    MANUAL_PER_OFFICE = 3

    def __init__(self, version, store, offices, files=None):
        self.version = version
        self.store = store
        self.files = files
        self.lock = threading.Lock()
        os.makedirs(store, exist_ok=True)
        self.offices = []
        for i in range(max(1, offices)):
            office = dict(self.OFFICE)
            if i:
                office.update(numero="%02d" % (i + 1), codUsuario=str(1234 + i), codCartorio=101 + i,
                              nomeCartorio="%dº Tabelião de Protesto de Letras e Títulos" % (i + 1))
            self.offices.append(office)
        self.manual = {}  # (codigoIBGE, numero) -> the office's instruments waiting, by ID
        self.next_id = 1001
        self.received = 0

    @staticmethod
    def key(office, n):
        # 23 characters: IBGE code (7), date (8), office number (2), sequence (6).
        return office["codigoIBGE"] + time.strftime("%Y%m%d") + office["numero"] + "%06d" % n

    def office_named(self, ibge, numero):
        for office in self.DEMO_OFFICES + self.offices:
            if office["codigoIBGE"] == ibge and office["numero"] == numero:
                return office
        return {"codigoIBGE": ibge, "numero": numero, "nomeCartorio": "Cartório %s" % numero}

    def waiting(self, ibge, numero):
        """The office's manually typed instruments still waiting (made at the first consultation)."""
        pool = self.manual.get((ibge, numero))
        if pool is None:
            office = self.office_named(ibge, numero)
            pool = self.manual[(ibge, numero)] = collections.OrderedDict()
            for n in range(1, self.MANUAL_PER_OFFICE + 1):
                key = self.key(office, n)
                pdf = pdf_document("Instrumento %s" % key, MANUAL_MARKER,
                                   [office["nomeCartorio"], "Chave: " + key, "Digitado no sistema Norvane",
                                    "Demonstracao - sem valor legal"])
                ident = self.next_id
                self.next_id += 1
                pool[str(ident)] = {"cd_titulo_instrumento_protesto": ident, "nm_chave": key,
                                    "ds_instrumento_protesto_pdf_b64": base64.b64encode(pdf).decode()}
        return pool

    def write_samples(self, folder):
        """PDFs for the batch tab, named with the first demo office's keys: some that the
        intake accepts and one of each kind that it refuses. The files of an earlier run
        (listed in the folder's .amostras) are replaced."""
        os.makedirs(folder, exist_ok=True)
        manifest = os.path.join(folder, ".amostras")
        if os.path.exists(manifest):
            with open(manifest, encoding="utf-8") as f:
                for name in f.read().split("\n"):
                    if name and os.path.basename(name) == name:
                        try:
                            os.remove(os.path.join(folder, name))
                        except FileNotFoundError:
                            pass
        office, other = self.DEMO_OFFICES
        keywords = "protesto; instrumento"
        samples = {}

        def document(key, **kwargs):
            return pdf_document("Instrumento %s" % key, kwargs.pop("keywords", keywords),
                                [office["nomeCartorio"], "Chave: " + key, "Demonstracao - sem valor legal"], **kwargs)

        for n in range(1, 6):
            key = self.key(office, 100 + n)
            samples[key + ".pdf"] = document(key)
        key = self.key(office, 201)
        samples[key + "-digitacao-manual.pdf"] = document(key, keywords=MANUAL_MARKER)
        key = self.key(office, 202)
        samples[key + "-sem-pdfa.pdf"] = document(key, pdfa=False)
        key = self.key(office, 203)
        samples[key + "-sem-metadados.pdf"] = document(key, keywords=None)
        samples[self.key(office, 204) + "-vazio.pdf"] = b""
        samples[office["codigoIBGE"] + "-curto.pdf"] = document(office["codigoIBGE"])
        key = "3550308" + self.key(office, 205)[7:]
        samples[key + "-outro-municipio.pdf"] = document(key)
        key = self.key(other, 206)
        samples[key + "-outro-cartorio.pdf"] = document(key)
        for name, data in samples.items():
            path = os.path.join(folder, name)
            with open(path + ".tmp", "wb") as f:
                f.write(data)
            os.replace(path + ".tmp", path)
        with open(manifest + ".tmp", "w", encoding="utf-8") as f:
            f.write("\n".join(sorted(samples)) + "\n")
        os.replace(manifest + ".tmp", manifest)

    def keep(self, name, data):
        with self.lock:
            self.received += 1
            path = os.path.join(self.store, "%03d-%s" % (self.received, name.replace("/", "_")))
        tmp = path + ".tmp"
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, path)
        print("stand-in: recebido %s" % path, file=sys.stderr, flush=True)

    def download(self, path):
        """GET /files/NAME: the file NAME of the --files folder, as a download host serves it."""
        name = os.path.basename(urllib.parse.unquote(path[len("/files/"):].split("?")[0]))
        full = os.path.join(self.files, name) if name else ""
        if not full or not os.path.isfile(full):
            return {"status": "HTTP/1.1 404 Not Found", "headers": [["Content-Type", "text/html"]],
                    "body": "<html><body>404 Not Found</body></html>"}
        with open(full, "rb") as f:
            data = f.read()
        return {"status": "HTTP/1.1 200 OK", "headers": [["Content-Type", "application/octet-stream"]],
                "body_b64": base64.b64encode(data).decode()}

    def answer(self, raw, homologation):
        head, _, body = raw.partition(b"\r\n\r\n")
        method, _, target = head.split(b"\r\n")[0].decode("latin-1").partition(" ")
        target = target.split(" ")[0]
        if self.files and method == "GET" and target.startswith("/files/"):
            return self.download(target)
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
            payload = self.DEMO_OFFICES if fields.get("doc") == self.DEMO_CPF else self.offices
        elif service == "instrumentoDeProtesto":
            self.keep("%s.p7s.zip" % fields.get("nm_chave", "sem-chave"),
                      base64.b64decode(fields.get("ds_instrumento_protesto", "")))
            payload = {"status": "ok", "mensagem": "Instrumento recebido"}
        elif service == "instrumentoDeProtestoDigitacaoManual":
            with self.lock:
                pool = self.waiting(fields.get("cd_ibge", ""), fields.get("nr_cartorio", ""))
                payload = {"dados": list(pool.values())} if pool else {}
        elif service == "instrumentoDeProtestoDigitacaoManualAtt":
            ident = fields.get("cd_titulo_instrumento_protesto", "")
            self.keep("manual-%s.p7s" % ident, base64.b64decode(fields.get("ds_instrumento_protesto_b64", "")))
            with self.lock:
                for pool in self.manual.values():
                    pool.pop(ident, None)
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


SERVERS = []  # [port, homologation, server or None]


def listen(on):
    """Closes the listening sockets (a connection is then refused) or opens them again on the same ports."""
    for entry in SERVERS:
        port, homologation, server = entry
        if not on and server is not None:
            server.shutdown()
            server.server_close()
            entry[2] = None
        elif on and server is None:
            entry[2] = Server(port, homologation)
            serve(entry[2])


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
            elif cmd == "listen":
                listen(command.get("on", True))
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
    parser.add_argument("--files", default=None, help="demo: serve GET /files/NAME from this folder")
    parser.add_argument("--control", action="store_true", help="read commands on stdin (tests)")
    parser.add_argument("--upload-delay-ms", type=int, default=0, help="hold every upload this long")
    args = parser.parse_args()
    STATE.upload_delay_ms = max(0, args.upload_delay_ms)

    servers = [Server(args.port)]
    if args.homologation_port is not None:
        servers.append(Server(args.homologation_port, homologation=True))
    if args.demo:
        STATE.demo = Demo(args.version, os.path.abspath(args.store), args.offices,
                          os.path.abspath(args.files) if args.files else None)
        if args.samples:
            STATE.demo.write_samples(args.samples)
    for server in servers:
        serve(server)
        SERVERS.append([server.server_address[1], server.homologation, server])
    print(json.dumps({"port": servers[0].server_address[1],
                      "homologation_port": servers[1].server_address[1] if len(servers) > 1 else None}), flush=True)
    try:
        if not args.demo or args.control:
            command_loop()
        else:
            # The demo service ends with whoever started it, even when that one was killed.
            parent = os.getppid()
            while os.getppid() == parent:
                time.sleep(0.5)
    except KeyboardInterrupt:
        pass
    finally:
        STATE.stopping.set()
        for _, _, server in SERVERS:
            if server is not None:
                server.shutdown()
                server.server_close()


if __name__ == "__main__":
    main()
