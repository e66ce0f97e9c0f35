"""The pieces of the command line's test (cli.py): the stand-in service it drives, the
program in a pseudo-terminal, and the work folders with the demo token."""

import argparse
import base64
import ctypes
import fcntl
import glob
import hashlib
import json
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import threading
import time
import traceback
import urllib.parse

PIN = "1234"
OFFICE_01 = "(01) CARTÓRIO DO 1º OFÍCIO DE PROTESTO DE TÍTULOS DE SÃO JOSÉ"
OFFICE_02 = "(02) TABELIONATO DO 2º OFÍCIO DE PROTESTO DE LETRAS E TÍTULOS DE SÃO JOSÉ"


class Failure(Exception):
    pass


def expect(condition, text):
    if not condition:
        raise Failure(text)


def log(text):
    print("cli: " + text, flush=True)


def dies_with_us():
    ctypes.CDLL(None).prctl(1, signal.SIGTERM, 0, 0, 0)  # PR_SET_PDEATHSIG


class StandIn:
    def __init__(self, args, work, version=None, delay_ms=0):
        self.store = tempfile.mkdtemp(prefix="recebidos-", dir=work)
        self.samples = tempfile.mkdtemp(prefix="exemplos-", dir=work)
        command = [sys.executable, os.path.join(args.source, "tests/support/standin/standin.py"), "--demo",
                   "--control", "--port", str(args.port), "--homologation-port", str(args.homologation_port),
                   "--version", version or args.version, "--store", self.store, "--samples", self.samples,
                   "--upload-delay-ms", str(delay_ms)]
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=open(os.path.join(work, "standin.log"), "ab"), text=True,
                                        preexec_fn=dies_with_us)
        self.lock = threading.Lock()
        expect(self.process.stdout.readline(), "the stand-in did not start (ports in use?)")

    def command(self, cmd):
        with self.lock:
            self.process.stdin.write(json.dumps(cmd) + "\n")
            self.process.stdin.flush()
            return json.loads(self.process.stdout.readline())

    def requests(self):
        return [base64.b64decode(r["raw"]) for r in self.command({"cmd": "requests"})["requests"]]

    def uploads(self):
        """The nm_chave of every upload request received, in order."""
        keys = []
        for raw in self.requests():
            fields = dict(urllib.parse.parse_qsl(raw.partition(b"\r\n\r\n")[2].decode("ascii", "replace")))
            if fields.get("servico") == "instrumentoDeProtesto":
                keys.append(fields.get("nm_chave"))
        return keys

    def accepted(self):
        """The nm_chave of every upload the stand-in answered and kept."""
        return [re.sub(r"^\d+-(.*)\.p7s\.zip$", r"\1", n) for n in sorted(os.listdir(self.store))
                if n.endswith(".p7s.zip")]

    def stop(self):
        if self.process.poll() is None:
            try:
                self.command({"cmd": "quit"})
                self.process.wait(10)
            except (OSError, ValueError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()


class Run:
    """The program in a pseudo-terminal of its own (its controlling terminal: /dev/tty), its
    standard output and error read apart. Answers each PIN prompt with the next of `pins`
    (None: Ctrl-D); with pins=None the prompts are left to the test."""

    def __init__(self, args, env, arguments, pins=(PIN,), preload=None):
        self.master, slave = os.openpty()
        env = dict(env)
        if preload:
            env.update(preload)
            env["LD_PRELOAD"] = args.shim

        def child():
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)
            dies_with_us()

        self.process = subprocess.Popen([args.program] + arguments, stdin=slave, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, env=env, preexec_fn=child)
        os.close(slave)
        self.pins = None if pins is None else list(pins)
        self.terminal = b""
        self.prompts = 0
        self.out_lines = queue.Queue()
        self.stdout = []
        self.stderr = []
        self.threads = [threading.Thread(target=self.read_terminal, daemon=True),
                        threading.Thread(target=self.read_stream, args=(self.process.stdout, self.stdout, True),
                                         daemon=True),
                        threading.Thread(target=self.read_stream, args=(self.process.stderr, self.stderr, False),
                                         daemon=True)]
        for t in self.threads:
            t.start()

    def read_terminal(self):
        while True:
            try:
                chunk = os.read(self.master, 4096)
            except OSError:
                return
            if not chunk:
                return
            self.terminal += chunk
            while self.terminal.count(b"PIN do token") > self.prompts:
                self.prompts += 1
                if self.pins is None:
                    continue
                pin = self.pins.pop(0) if self.pins else None
                time.sleep(0.1)
                try:
                    os.write(self.master, b"\x04" if pin is None else pin.encode() + b"\n")
                except OSError:
                    return

    def read_stream(self, stream, into, live):
        for line in stream:
            text = line.decode("utf-8", "replace")
            into.append(text)
            if live:
                self.out_lines.put(text)

    def ctrl_c(self):
        os.write(self.master, b"\x03")

    def wait(self, timeout=180):
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise Failure("the program did not end within %d s; stderr: %s" % (timeout, "".join(self.stderr)))
        for t in self.threads[1:]:
            t.join(10)
        try:
            os.close(self.master)
        except OSError:
            pass
        return code

    def events(self):
        return [json.loads(line) for line in self.stdout if line.strip()]

    def err(self):
        return "".join(self.stderr)


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Cli:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        token_dir = os.path.join(work, "token")
        token = subprocess.run(["bash", os.path.join(args.source, "scripts/demo-token.sh"), token_dir],
                               capture_output=True, text=True)
        expect(token.returncode == 0, "demo-token.sh: %s" % token.stderr)
        self.root = os.path.join(token_dir, "pki/root.pem")
        self.ca = os.path.join(token_dir, "pki/ca.pem")
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("QT_") and k not in ("DISPLAY", "WAYLAND_DISPLAY", "LD_PRELOAD")}
        env.update(dict(line.split("=", 1) for line in token.stdout.split("\n") if "=" in line))
        # NORVANE_LOCK_DIR: the user's lock folder, apart from other suites running at once.
        env.update(HOME=os.path.join(work, "home"), XDG_RUNTIME_DIR=os.path.join(work, "run"),
                   NORVANE_LOCK_DIR=os.path.join(work, "locks"), LANG="C.UTF-8",
                   LC_ALL="C.UTF-8")
        for name in ("home", "run"):
            os.makedirs(os.path.join(work, name), mode=0o700, exist_ok=True)
        self.env = env
        self.standin = None

    def serve(self, **kwargs):
        if self.standin:
            self.standin.stop()
        self.standin = StandIn(self.args, self.work, **kwargs)
        return self.standin

    def folders(self, name, accepted_only=True, count=None):
        """An input folder of the stand-in's samples (only the accepted ones, or all), or
        `count` copies of an accepted sample under keys of their own; and an empty output."""
        entrada = os.path.join(self.work, name, "entrada")
        saida = os.path.join(self.work, name, "saida")
        os.makedirs(entrada)
        os.makedirs(saida)
        samples = sorted(n for n in os.listdir(self.standin.samples) if n.endswith(".pdf"))
        accepted = [n for n in samples if re.fullmatch(r"\d{23}\.pdf", n)]
        if count:
            with open(os.path.join(self.standin.samples, accepted[0]), "rb") as f:
                data = f.read()
            for i in range(count):
                with open(os.path.join(entrada, "%s%06d.pdf" % (accepted[0][:17], 500001 + i)), "wb") as f:
                    f.write(data)
        else:
            for n in (accepted if accepted_only else samples):
                shutil.copy(os.path.join(self.standin.samples, n), entrada)
        return entrada, saida

    def run(self, arguments, **kwargs):
        return Run(self.args, self.env, arguments, **kwargs)

    def verify_output(self, entrada, saida):
        """Every .p7s verifies against the demo root and encloses its PDF; nothing but the
        signatures and the batch's own records is left, nothing half-written."""
        signatures = {}
        for name in sorted(os.listdir(saida)):
            path = os.path.join(saida, name)
            if name.endswith(".pdf.p7s"):
                out = path + ".conteudo"
                o = subprocess.run(["openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in", path,
                                    "-CAfile", self.root, "-certfile", self.ca, "-purpose", "any", "-out", out],
                                   capture_output=True, text=True)
                expect(o.returncode == 0 and "Verification successful" in o.stderr,
                       "%s does not verify: %s" % (name, o.stderr.strip()))
                with open(out, "rb") as f, open(os.path.join(entrada, name[:-4]), "rb") as g:
                    expect(f.read() == g.read(), "%s does not enclose its PDF" % name)
                os.remove(out)
                signatures[name[:-4]] = sha256(path)
            else:
                expect(not name.endswith(".zip") and ".p7s" not in name,
                       "a left-over file in the output folder: %s" % name)
        return signatures


def summary_of(events):
    expect(events and events[-1].get("evento") == "resumo", "no JSON summary at the end: %s" % events[-1:])
    return events[-1]


def row_events(events):
    rows = {}
    for e in events:
        if e.get("evento") != "resumo":
            for field in ("linha", "arquivo", "status", "observacao", "evento"):
                expect(field in e, "a row event without %s: %s" % (field, e))
            rows.setdefault(e["linha"], []).append(e)
    return rows
