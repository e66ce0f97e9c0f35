#!/usr/bin/env python3
"""The demo journey, end to end, as a user meets the program.

Runs the real executable (built with its service URLs on 127.0.0.1) under an X server of
its own and drives it with the mouse and the keyboard (xdotool): start; a second start
refused; login with the demo token's PIN; the office choice; the batch of the sample
folder; the consultation and signing of the manual instruments; the individual signing of
one file and the check of its signature; close. Then it checks what the stand-in service received and the files on disk
with independent verifiers, and that no temporary file was left behind. A second run, with
the service naming another version, shows the update window.

Controls are found through the accessibility tree (AT-SPI, pyatspi) by their texts, which
also reads the grids and labels; every click and every key goes through xdotool.
Screenshots of what the user sees go to --screens.

    journey.py --program EXE --source REPO --screens DIR --port P --homologation-port H --version V
"""

import argparse
import base64
import ctypes
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback
import urllib.parse
import zipfile

PIN = "1234"
DEMO_CPF = "123.456.789-09"
OFFICE_01 = "(01) CARTÓRIO DO 1º OFÍCIO DE PROTESTO DE TÍTULOS DE SÃO JOSÉ"
OFFICE_02 = "(02) TABELIONATO DO 2º OFÍCIO DE PROTESTO DE LETRAS E TÍTULOS DE SÃO JOSÉ"
TITLE = "Norvane - Assinador de Instrumento de Protesto"


# The ceiling of a wait for the program: sized for the sanitizer build on a busy two-core
# machine (a wait ends as soon as its event comes, so a passing run takes no longer).
CEILING = 120.0


class JourneyFailure(Exception):
    pass


def log(text):
    print("journey: " + text, flush=True)


# ------------------------------------------------------------------ processes and the X server


def dies_with_us():
    """Run in each child before it starts: it gets SIGTERM when this script ends, even when
    the test's time-out kills the script."""
    ctypes.CDLL(None).prctl(1, signal.SIGTERM, 0, 0, 0)  # PR_SET_PDEATHSIG


class Session:
    """The X server, the stand-in, the programs: everything started here is ended here."""

    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.processes = []
        self.display = None
        self.standin = None

    def start_bus(self):
        """The accessibility tree travels on a session bus of this run's own. The services it
        starts (the accessibility bus and registry) become ours to reap when it ends."""
        ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
        bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"], stdout=subprocess.PIPE,
                               stderr=open(os.path.join(self.work, "bus.log"), "wb"), text=True,
                               preexec_fn=dies_with_us)
        self.processes.append(bus)
        address = bus.stdout.readline().strip()
        if not address:
            raise JourneyFailure("dbus-daemon did not start (see %s/bus.log)" % self.work)
        os.environ["DBUS_SESSION_BUS_ADDRESS"] = address

    def start_x(self):
        read, write = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x800x24", "-nolisten", "tcp",
                                 "-noreset"], pass_fds=(write,), stdout=subprocess.DEVNULL,
                                stderr=open(os.path.join(self.work, "xvfb.log"), "wb"), preexec_fn=dies_with_us)
        os.close(write)
        self.processes.append(xvfb)
        number = b""
        deadline = time.time() + 20
        while not number.endswith(b"\n") and time.time() < deadline:
            chunk = os.read(read, 16)
            if not chunk:
                break
            number += chunk
        os.close(read)
        if not number.strip():
            raise JourneyFailure("Xvfb did not start (see %s/xvfb.log)" % self.work)
        self.display = ":" + number.strip().decode()
        os.environ["DISPLAY"] = self.display
        log("X server on %s" % self.display)

    def start_standin(self, version, store, samples):
        self.stop_standin()
        script = os.path.join(self.args.source, "tests/support/standin/standin.py")
        self.standin = subprocess.Popen(
            [sys.executable, script, "--demo", "--control", "--port", str(self.args.port), "--homologation-port",
             str(self.args.homologation_port), "--version", version, "--store", store, "--samples", samples],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=open(os.path.join(self.work, "standin.log"), "ab"),
            text=True, preexec_fn=dies_with_us)
        self.processes.append(self.standin)
        first = self.standin.stdout.readline()
        if not first:
            raise JourneyFailure("the stand-in did not start (ports %d/%d in use?); see %s/standin.log"
                                 % (self.args.port, self.args.homologation_port, self.work))

    def standin_requests(self):
        self.standin.stdin.write('{"cmd": "requests"}\n')
        self.standin.stdin.flush()
        reply = json.loads(self.standin.stdout.readline())
        return [base64.b64decode(r["raw"]) for r in reply["requests"]]

    def stop_standin(self):
        if self.standin and self.standin.poll() is None:
            try:
                self.standin.stdin.write('{"cmd": "quit"}\n')
                self.standin.stdin.flush()
                self.standin.wait(10)
            except (OSError, subprocess.TimeoutExpired):
                self.standin.kill()
                self.standin.wait()
        self.standin = None

    def program_env(self, token_env):
        env = {k: v for k, v in os.environ.items() if not k.startswith("QT_")}
        env.update(token_env)
        env.update(DISPLAY=self.display, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                   HOME=os.path.join(self.work, "home"), XDG_RUNTIME_DIR=os.path.join(self.work, "run"),
                   NORVANE_LOCK_DIR=os.path.join(self.work, "locks"),
                   LANG="C.UTF-8", LC_ALL="C.UTF-8")
        return env

    def start_program(self, env, name):
        out = open(os.path.join(self.work, name + ".log"), "wb")
        process = subprocess.Popen([self.args.program], env=env, stdout=out, stderr=subprocess.STDOUT,
                                   cwd=os.path.join(self.work, "home"), preexec_fn=dies_with_us)
        self.processes.append(process)
        return process

    def end(self):
        self.stop_standin()
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        deadline = time.time() + 5  # the bus's services end with it
        while time.time() < deadline:
            try:
                pid, _ = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                break
            if pid == 0:
                time.sleep(0.1)


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


def xdotool(*words):
    result = run(["xdotool", *words])
    if result.returncode != 0:
        raise JourneyFailure("xdotool %s: %s" % (" ".join(words), result.stderr.strip()))
    return result.stdout


def screenshot(folder, name):
    path = os.path.join(folder, name + ".png")
    result = run(["import", "-window", "root", path])
    if result.returncode != 0:
        raise JourneyFailure("screenshot %s: %s" % (name, result.stderr.strip()))
    log("screenshot %s" % path)


def close_window(title):
    """What a window manager does when the user clicks the close box: WM_DELETE_WINDOW."""
    pattern = "^" + re.sub(r"([.^$*+?()\[\]{}|\\])", r"\\\1", title) + "$"
    ids = [w for w in xdotool("search", "--onlyvisible", "--name", pattern).split() if w]
    if not ids:
        raise JourneyFailure("no window titled %r to close" % title)
    x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
    x11.XFlush.argtypes = [ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                    ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 19)]

    display = x11.XOpenDisplay(None)
    if not display:
        raise JourneyFailure("cannot open the X display to close %r" % title)
    for window in ids:
        event = ClientMessage()
        event.type = 33  # ClientMessage
        event.window = int(window)
        event.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
        event.format = 32
        event.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
        event.data[1] = 0  # CurrentTime
        x11.XSendEvent(display, int(window), 0, 0, ctypes.byref(event))
    x11.XFlush(display)
    x11.XCloseDisplay(display)


# ------------------------------------------------------------------ the user's eyes: AT-SPI


class Screen:
    """What one running program shows, read through AT-SPI."""

    def __init__(self, pyatspi, process, shots):
        self.a = pyatspi
        self.process = process
        self.shots = shots
        self.pin_prompts = 0

    def app(self):
        desktop = self.a.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            try:
                if app is not None and app.get_process_id() == self.process.pid:
                    return app
            except Exception:
                continue
        return None

    def windows(self):
        app = self.app()
        if app is None:
            return []
        out = []
        for i in range(app.childCount):
            w = app.getChildAtIndex(i)
            if w is not None and self.showing(w):
                out.append(w)
        return out

    def showing(self, acc):
        try:
            if not acc.getState().contains(self.a.STATE_SHOWING):
                return False
            e = acc.queryComponent().getExtents(self.a.DESKTOP_COORDS)
            return e.width > 0 and e.height > 0
        except Exception:
            return False

    def walk(self, acc, depth=0):
        if acc is None or depth > 40:
            return
        yield acc
        try:
            count = acc.childCount
        except Exception:
            return
        if count > 2000:  # a grid's cells are read through its table, not walked
            return
        for i in range(count):
            try:
                child = acc.getChildAtIndex(i)
            except Exception:
                continue
            yield from self.walk(child, depth + 1)

    def find(self, root, role=None, name=None, contains=None, showing=True):
        for acc in self.walk(root):
            try:
                if role and role_of(acc) != role:
                    continue
                if name is not None and acc.name != name:
                    continue
                if contains is not None and contains not in (acc.name or ""):
                    continue
            except Exception:
                continue
            if showing and not self.showing(acc):
                continue
            return acc
        return None

    def window(self, role=None, name=None, with_text=None):
        for w in self.windows():
            try:
                if role and role_of(w) != role:
                    continue
                if name is not None and w.name != name:
                    continue
            except Exception:
                continue
            if with_text is not None and self.find(w, name=with_text) is None:
                continue
            return w
        return None

    def describe(self):
        lines = []
        for w in self.windows():
            lines.append("  %s %r" % (role_of(w), w.name))
            for acc in self.walk(w):
                try:
                    if role_of(acc) in ("label", "push button", "page tab") and acc.name and self.showing(acc):
                        lines.append("      %s %r" % (role_of(acc), acc.name))
                except Exception:
                    pass
        return "\n".join(lines) or "  (no window)"

    def wait(self, what, probe, timeout=CEILING, answer_pin=False):
        """Polls probe() until it gives something; a PIN box met meanwhile gets the PIN
        when answer_pin (a token may ask for it again at a signature). Returns as soon as it
        comes; the ceiling is never below CEILING, whatever a caller names: every wait is for
        the program's work, which the sanitizer build on a busy machine makes slow."""
        timeout = max(timeout, CEILING)
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.process.poll() is not None:
                raise JourneyFailure("the program ended (code %s) while waiting for %s"
                                     % (self.process.returncode, what))
            if answer_pin and self.answer_pin_box():
                continue
            try:
                found = probe()
            except Exception:
                found = None
            if found:
                return found
            time.sleep(0.2)
        try:
            screenshot(self.shots, "failure")
        except JourneyFailure:
            pass
        raise JourneyFailure("waited %.0f s for %s; on screen:\n%s" % (timeout, what, self.describe()))

    def answer_pin_box(self):
        box = self.window(name="PIN do certificado")
        if box is None:
            return False
        field = self.find(box, role="password text") or self.find(box, role="text")
        if field is None:
            return False
        self.click(field)
        xdotool("key", "--clearmodifiers", "ctrl+a")
        xdotool("type", "--delay", "30", PIN)
        xdotool("key", "Return")
        self.pin_prompts += 1
        self.wait("the PIN box to close", lambda: self.window(name="PIN do certificado") is None, 10)
        return True

    def center(self, acc):
        e = acc.queryComponent().getExtents(self.a.DESKTOP_COORDS)
        return e.x + e.width // 2, e.y + e.height // 2

    def click(self, acc):
        x, y = self.center(acc)
        xdotool("mousemove", "--sync", str(x), str(y))
        xdotool("click", "1")

    def button(self, window, caption):
        """A shown button that takes clicks (action buttons are off while an action runs)."""
        def probe():
            found = self.find(window, role="push button", name=caption)
            return found if found is not None and found.getState().contains(self.a.STATE_ENABLED) else None
        return self.wait("the button %r, enabled" % caption, probe, 30)

    def press(self, window, caption):
        self.click(self.button(window, caption))

    def box(self, text, timeout=CEILING, answer_pin=False):
        """Waits for a message box with exactly this text; returns (caption, box)."""
        def probe():
            for w in self.windows():
                if role_of(w) == "alert" and self.find(w, role="label", name=text):
                    return w
            return None
        found = self.wait("the box %r" % text, probe, timeout, answer_pin)
        return found.name, found

    def close_box(self, box):
        self.click(self.find(box, role="push button", name="OK"))
        deadline = time.time() + 10
        while self.process.poll() is None and box in self.windows():  # a box may be the program's last word
            if time.time() > deadline:
                raise JourneyFailure("the box %r did not close on OK" % box.name)
            time.sleep(0.1)

    def open_tab(self, window, caption, shows):
        """Clicks the tab until its panel shows (the tab bar takes no click while an action ends)."""
        deadline = time.time() + 30
        while time.time() < deadline:
            tab = self.find(window, role="page tab", name=caption)
            if tab is not None and tab.getState().contains(self.a.STATE_ENABLED):
                self.click(tab)
                end = time.time() + 3
                while time.time() < end:
                    if self.find(window, role="push button", name=shows):
                        return
                    time.sleep(0.1)
            time.sleep(0.2)
        raise JourneyFailure("the tab %r did not open; on screen:\n%s" % (caption, self.describe()))

    def answer_path_dialog(self, title, path):
        """A folder or file dialog: the path typed into its name box, then Enter."""
        dialog = self.wait("the dialog %r" % title, lambda: self.window(name=title), 15)
        field = self.wait("the name box of %r" % title, lambda: self.find(dialog, role="text"), 10)
        self.click(field)
        xdotool("key", "--clearmodifiers", "ctrl+a")
        xdotool("type", "--delay", "5", path)
        xdotool("key", "Return")
        self.wait("the dialog %r to close" % title, lambda: self.window(name=title) is None, 10)

    def label_text(self, window, prefix):
        acc = self.find(window, role="label", contains=prefix)
        return acc.name if acc is not None else None

    def table(self, window):
        grid = self.find(window, role="table")
        if grid is None:
            raise JourneyFailure("no grid on screen:\n%s" % self.describe())
        return grid

    def rows(self, grid):
        t = grid.queryTable()
        out = []
        for r in range(t.nRows):
            row = []
            for c in range(t.nColumns):
                cell = t.getAccessibleAt(r, c)
                row.append(cell.name if cell is not None else "")
            out.append(row)
        return out

    def headers(self, grid):
        t = grid.queryTable()
        return [t.getColumnDescription(c) for c in range(t.nColumns)]


# ------------------------------------------------------------------ independent checks


def verify_p7s(path, root, ca, content=None):
    """openssl and GnuTLS both verify the signature against the demo root; returns the
    signed content."""
    out = path + ".verified"
    o = run(["openssl", "cms", "-verify", "-inform", "DER", "-binary", "-in", path, "-CAfile", root,
             "-certfile", ca, "-out", out])
    if o.returncode != 0 or "Verification successful" not in o.stderr:
        raise JourneyFailure("openssl cms -verify %s: %s" % (path, o.stderr.strip()))
    with open(out, "rb") as f:
        signed = f.read()
    os.remove(out)
    g = run(["certtool", "--p7-verify", "--inder", "--infile", path, "--load-ca-certificate", root])
    if g.returncode != 0:
        raise JourneyFailure("certtool --p7-verify %s: %s%s" % (path, g.stdout.strip(), g.stderr.strip()))
    if content is not None and signed != content:
        raise JourneyFailure("%s does not enclose the document it was made from" % path)
    return signed


def files_in(folder):
    return sorted(os.listdir(folder))


def request_fields(raw):
    head, _, body = raw.partition(b"\r\n\r\n")
    return dict(urllib.parse.parse_qsl(body.decode("ascii", "replace"), keep_blank_values=True))


# Role names as at-spi2-core has long written them: 2.56 says "button" where older
# releases say "push button"; the journeys ask for a role by either.
ROLE_ALIASES = {"button": "push button"}


def role_of(acc):
    name = acc.getRoleName()
    return ROLE_ALIASES.get(name, name)


def expect(condition, text):
    if not condition:
        raise JourneyFailure(text)


# ------------------------------------------------------------------ the journey


def journey(args, session, work, pyatspi):
    shots = args.screens
    folders = {name: os.path.join(work, name) for name in
               ("exemplos", "assinados", "digitacao-manual", "recebidos", "home", "run", "token")}
    for name, path in folders.items():
        os.makedirs(path, mode=0o700, exist_ok=True)

    token = run(["bash", os.path.join(args.source, "scripts/demo-token.sh"), folders["token"]])
    expect(token.returncode == 0, "demo-token.sh: %s" % token.stderr)
    token_env = dict(line.split("=", 1) for line in token.stdout.split("\n") if "=" in line)
    root = os.path.join(folders["token"], "pki/root.pem")
    ca = os.path.join(folders["token"], "pki/ca.pem")

    session.start_x()
    pyatspi.Registry.getDesktop(0)  # the accessibility registry runs before the programs start
    env = session.program_env(token_env)

    session.start_standin(args.version, folders["recebidos"], folders["exemplos"])
    samples = [n for n in files_in(folders["exemplos"]) if n.endswith(".pdf")]
    accepted = sorted(n for n in samples if re.fullmatch(r"\d{23}\.pdf", n))
    expect(len(accepted) == 5 and len(samples) == 12, "unexpected demo samples: %s" % samples)
    originals = {}
    for n in samples:
        with open(os.path.join(folders["exemplos"], n), "rb") as f:
            originals[n] = f.read()

    # --- start: the login window
    first = session.start_program(env, "program")
    ui = Screen(pyatspi, first, shots)
    login = ui.wait("the login window", lambda: ui.window(name=TITLE, with_text="Login com Certificado Digital"), 60)
    expect(ui.find(login, role="label", name="v. %s" % args.version),
           "the login window shows no \"v. %s\"" % args.version)
    expect(ui.find(login, role="radio button", name="Produção").getState().contains(pyatspi.STATE_CHECKED),
           "\"Produção\" is not checked at start")
    ui.wait("the version check", lambda: any(b"servico=assinadorVersao" in r for r in session.standin_requests()), 20)
    time.sleep(0.5)
    expect(ui.window(name=TITLE + " - Nova Versão") is None, "the update window opened with the same version")
    screenshot(shots, "01-login")

    # --- a second start is refused with the box, and ends
    second = session.start_program(env, "second")
    other = Screen(pyatspi, second, shots)
    caption, box = other.box("Não é permitido rodar mais de uma instância do programa", 30)
    expect(caption == "Programa em execução", "the second start's box is captioned %r" % caption)
    expect(len(other.windows()) == 1, "the second start shows more than its box:\n%s" % other.describe())
    screenshot(shots, "02-second-start")
    other.close_box(box)
    try:
        code = second.wait(15)
    except subprocess.TimeoutExpired:
        raise JourneyFailure("the second start did not end after its box")
    expect(code == 0, "the second start ended with code %s" % code)
    expect(first.poll() is None and ui.window(name=TITLE, with_text="Login com Certificado Digital"),
           "the running copy was disturbed by the second start")
    log("second start refused")

    # --- login: certificate, PIN, two offices
    ui.press(login, "Login com Certificado Digital")
    pick = ui.wait("the certificate choice", lambda: ui.window(name="Certificado Digital"), 30)
    holder = ui.wait("the demo certificate in the list",
                     lambda: ui.find(pick, contains="FULANO DE DEMONSTRACAO"), 10)
    ui.click(holder)
    ui.press(pick, "OK")
    ui.wait("the PIN box", lambda: ui.window(name="PIN do certificado"), 30)
    expect(ui.answer_pin_box(), "the PIN box could not be answered")
    combo = ui.wait("the office choice", lambda: ui.find(login, role="combo box"), 60)
    expect(ui.find(login, role="label", name="Selecione um Cartório:"), "no \"Selecione um Cartório:\"")
    expect(ui.find(login, role="push button", name="Login com Certificado Digital") is None,
           "the login button is still shown beside the office choice")
    ui.click(combo)
    item = ui.wait("the office list", lambda: ui.find(ui.app(), role="list item", name=OFFICE_01), 10)
    expect(ui.find(ui.app(), role="list item", name=OFFICE_02), "office (02) is not offered")
    screenshot(shots, "03-office-choice")
    ui.click(item)

    main_title = TITLE + " - v." + args.version
    main = ui.wait("the main window", lambda: ui.window(name=main_title), 30)
    expect(ui.window(name=TITLE) is None, "the login window is still shown beside the main window")
    header = {p: ui.label_text(main, p) for p in ("Usuário: ", "Cartório: ", "Ambiente: ")}
    expect(header["Usuário: "] and "FULANO DE DEMONSTRACAO" in header["Usuário: "], "header: %s" % header)
    expect(header["Cartório: "] == "Cartório: " + OFFICE_01, "header: %s" % header)
    expect(header["Ambiente: "] == "Ambiente: Produção", "header: %s" % header)
    log("logged in: %s" % header)

    # --- the batch tab
    ui.press(main, "Pasta de Entrada")
    ui.answer_path_dialog("Selecione uma pasta", folders["exemplos"])
    grid = ui.table(main)
    ui.wait("the 12 samples in the grid", lambda: len(ui.rows(grid)) == 12, 30)
    expect(ui.headers(grid)[:4] == ["Arquivo", "Tamanho", "Status", "Observação"],
           "batch grid headers: %s" % ui.headers(grid))
    listed = {r[0]: r for r in ui.rows(grid)}
    expect(sorted(listed) == sorted(samples), "the grid lists %s" % sorted(listed))
    for name, row in listed.items():
        if name in accepted:
            expect(row[2] == "" and row[3] == "", "accepted sample %s shows %s" % (name, row))
        else:
            expect(row[2] == "Erro" and row[3], "refused sample %s shows %s" % (name, row))
        expect(row[1].endswith(" Kb."), "size text of %s: %r" % (name, row[1]))
    ui.press(main, "Pasta de Saída")
    ui.answer_path_dialog("Selecione uma pasta", folders["assinados"])
    ui.press(main, "Assinar")
    caption, box = ui.box("Processo Finalizado", 90, answer_pin=True)
    rows = {r[0]: r for r in ui.rows(grid)}
    for name in accepted:
        expect(rows[name][2:4] == ["Enviado", "Enviado pra Norvane"], "batch row %s: %s" % (name, rows[name]))
    screenshot(shots, "04-batch-finished")
    ui.close_box(box)
    screenshot(shots, "04-batch")
    log("batch: %d sent" % len(accepted))

    # --- the manual instruments tab
    ui.open_tab(main, "IP's da Digitação Manual", "Consultar Instr Prot")
    ui.press(main, "Pasta de Gravação")
    ui.answer_path_dialog("Selecione uma pasta", folders["digitacao-manual"])
    ui.press(main, "Consultar Instr Prot")
    caption, box = ui.box("Trazendo 3 último(s) IP(s) para ser(em) assinado(s).", 30)
    ui.close_box(box)
    grid = ui.table(main)
    manual = ui.rows(grid)
    expect(len(manual) == 3, "manual grid: %s" % manual)
    expect(ui.headers(grid)[:4] == ["ID", "Chave Única", "Status", "Observação"],
           "manual headers: %s" % ui.headers(grid))
    ui.press(main, "Assinar")
    ui.wait("every manual instrument sent",
            lambda: all(r[2] == "Enviado" and r[3] == "Enviado pra Norvane" for r in ui.rows(grid)), 90,
            answer_pin=True)
    manual = ui.rows(grid)
    screenshot(shots, "05-manual")
    log("manual: %s" % [(r[0], r[1], r[2]) for r in manual])

    # --- the individual tab: one file, signed beside itself
    ui.open_tab(main, "Assinatura Individual", "Selecione um arquivo PDF para assinar")
    one = os.path.join(folders["exemplos"], accepted[0])
    ui.press(main, "Selecione um arquivo PDF para assinar")
    ui.answer_path_dialog("Selecione arquivo PDF para assinar em P7S", one)
    ui.wait("the chosen file's path", lambda: ui.find(main, role="label", name=one), 10)
    ui.press(main, "Assinar")
    done = "Arquivo assinado com sucesso em: " + one + ".p7s"
    ui.wait("the line %r" % done, lambda: ui.find(main, role="label", name=done), 60, answer_pin=True)
    screenshot(shots, "06-individual")
    log("individual: %s.p7s" % one)

    # --- the same tab: the signature just made, checked in the window
    ui.press(main, "Verificar uma assinatura (.p7s)")
    ui.answer_path_dialog("Selecione a assinatura (.p7s) a verificar", one + ".p7s")
    verdict = "Assinatura VÁLIDA (revogação não verificada)"
    check = ui.wait("the verification window with %r" % verdict,
                    lambda: ui.window(name="Verificação de assinatura", with_text=verdict), 30)
    screenshot(shots, "06-verification")
    ui.press(check, "Fechar")
    ui.wait("the verification window to close", lambda: ui.window(name="Verificação de assinatura") is None, 10)
    log("verified in the window: %s" % verdict)

    # --- close: the main window's close box ends the program
    close_window(main_title)
    try:
        code = first.wait(20)
    except subprocess.TimeoutExpired:
        raise JourneyFailure("the program did not end when its main window was closed")
    expect(code == 0, "the program ended with code %s" % code)
    log("closed; %d PIN prompt(s) in all" % ui.pin_prompts)

    # --- what the stand-in received
    requests = [request_fields(r) for r in session.standin_requests()]
    logins = [r for r in requests if r.get("servico") == "login"]
    expect(len(logins) == 1 and logins[0].get("doc") == DEMO_CPF, "login requests: %s" % logins)
    uploads = [r for r in requests if r.get("servico") == "instrumentoDeProtesto"]
    expect(sorted(r.get("nm_chave") for r in uploads) == [n[:23] for n in accepted],
           "batch uploads: %s" % [r.get("nm_chave") for r in uploads])
    user_pem = os.path.join(folders["token"], "pki/user.pem")
    with open(user_pem) as f:
        user_b64 = "".join(l for l in f.read().split("\n") if l and not l.startswith("-----"))
    for r in uploads:
        expect(r.get("cd_usuario") == "5101", "batch upload with cd_usuario %r" % r.get("cd_usuario"))
        expect(r.get("ds_certificado_digital_b64", "").replace("\r", "").replace("\n", "") == user_b64,
               "batch upload without the signer's certificate")
    consult = [r for r in requests if r.get("servico") == "instrumentoDeProtestoDigitacaoManual"]
    expect(len(consult) == 1 and consult[0].get("nm_nr_cpf") == DEMO_CPF and consult[0].get("cd_ibge") == "4216602"
           and consult[0].get("nr_cartorio") == "01", "manual consultation: %s" % consult)
    manual_ids = sorted(r[0] for r in manual)
    attached = [r for r in requests if r.get("servico") == "instrumentoDeProtestoDigitacaoManualAtt"]
    expect(sorted(r.get("cd_titulo_instrumento_protesto") for r in attached) == manual_ids,
           "manual uploads: %s" % [r.get("cd_titulo_instrumento_protesto") for r in attached])

    received = files_in(folders["recebidos"])
    zips = [n for n in received if re.fullmatch(r"\d{3}-\d{23}\.p7s\.zip", n)]
    manual_files = [n for n in received if re.fullmatch(r"\d{3}-manual-\d+\.p7s", n)]
    expect(len(zips) == 5 and len(manual_files) == 3 and len(received) == 8, "the stand-in keeps %s" % received)
    for n in zips:
        path = os.path.join(folders["recebidos"], n)
        t = run(["unzip", "-t", path])
        expect(t.returncode == 0 and "No errors detected" in t.stdout, "unzip -t %s: %s" % (n, t.stdout + t.stderr))
        with zipfile.ZipFile(path) as z:
            expect(z.testzip() is None, "zipfile finds a bad entry in %s" % n)
            names = z.namelist()
            key = n[4:27]
            expect(names == [key + ".pdf.p7s"], "%s holds %s" % (n, names))
            inner = z.read(names[0])
        with open(os.path.join(folders["assinados"], names[0]), "rb") as f:
            expect(f.read() == inner, "the uploaded %s differs from the one in the output folder" % names[0])
        verify_p7s(os.path.join(folders["assinados"], names[0]), root, ca, originals[key + ".pdf"])
    keys = {r[0]: r[1] for r in manual}
    for n in manual_files:
        ident = re.fullmatch(r"\d{3}-manual-(\d+)\.p7s", n).group(1)
        kept = os.path.join(folders["digitacao-manual"], keys[ident] + ".pdf.p7s")
        with open(os.path.join(folders["recebidos"], n), "rb") as a, open(kept, "rb") as b:
            expect(a.read() == b.read(), "the uploaded signature of %s differs from %s" % (ident, kept))
        signed = verify_p7s(kept, root, ca)
        expect(signed.startswith(b"%PDF-") and b'{"manual":"1"}' in signed and keys[ident].encode() in signed,
               "the signature of %s does not enclose its instrument's PDF" % ident)
    verify_p7s(one + ".p7s", root, ca, originals[accepted[0]])

    # --- nothing else left anywhere: every folder holds exactly what the user expects
    # Beside the signatures, each folder holds its journal and the report of each run.
    for folder, signatures in (("assinados", [n + ".p7s" for n in accepted]),
                               ("digitacao-manual", [k + ".pdf.p7s" for k in keys.values()])):
        held = files_in(folders[folder])
        reports = [n for n in held if re.fullmatch(r"relatorio-\d{8}-\d{6}(-\d+)?\.csv", n)]
        expect("norvane-diario.jsonl" in held and reports,
               "%s: no journal or report: %s" % (folder, held))
        expect(sorted(n for n in held if n != "norvane-diario.jsonl" and n not in reports) == sorted(signatures),
               "%s: %s" % (folder, held))
    expect(files_in(folders["exemplos"]) == sorted(samples + [".amostras", accepted[0] + ".p7s"]),
           "input folder: %s" % files_in(folders["exemplos"]))
    for n in samples:
        with open(os.path.join(folders["exemplos"], n), "rb") as f:
            expect(f.read() == originals[n], "the input file %s was changed" % n)
    log("stand-in and disk checked: %d batch, %d manual, 1 individual signature verified"
        % (len(zips), len(manual_files)))

    # --- the update window: the service names another version
    session.start_standin(args.update_version, os.path.join(work, "recebidos-2"), os.path.join(work, "exemplos-2"))
    third = session.start_program(env, "update")
    up = Screen(pyatspi, third, shots)
    update = up.wait("the update window", lambda: up.window(name=TITLE + " - Nova Versão"), 60)
    text = "Versão atual: %s --  Nova versão: %s" % (args.version, args.update_version)
    up.wait("the line %r" % text, lambda: up.find(update, role="label", name=text), 10)
    expect(up.find(update, role="label", name="Uma nova versão está disponível... Aguarde o download..."),
           "the update window lacks its first line")
    screenshot(shots, "07-update")
    third.terminate()
    third.wait(10)
    log("update window shown for %s -> %s" % (args.version, args.update_version))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--screens", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--homologation-port", type=int, required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--update-version", default="1.0.4")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    args = parser.parse_args()
    args.program, args.source, args.screens = (os.path.abspath(p) for p in (args.program, args.source, args.screens))

    for tool in ("Xvfb", "xdotool", "import", "dbus-daemon", "openssl", "certtool", "unzip"):
        if shutil.which(tool) is None:
            print("journey: %s is missing (scripts/setup.sh installs it)" % tool, file=sys.stderr)
            return 1

    shutil.rmtree(args.screens, ignore_errors=True)
    os.makedirs(args.screens)
    work = tempfile.mkdtemp(prefix="norvane-journey-")
    session = Session(args, work)
    started = time.time()
    status = 1
    try:
        session.start_bus()
        try:
            import pyatspi  # after the bus: it connects to the session bus of this run
        except ImportError:
            raise JourneyFailure("pyatspi is missing for %s (Debian package python3-pyatspi; scripts/setup.sh "
                                 "installs it)" % sys.executable)
        journey(args, session, work, pyatspi)
        status = 0
        log("passed in %.0f s; screenshots in %s" % (time.time() - started, args.screens))
    except JourneyFailure as failure:
        print("journey: FAILED: %s" % failure, file=sys.stderr)
    except Exception:
        traceback.print_exc()
    finally:
        session.end()
        if status != 0:
            for name in ("program.log", "second.log", "update.log", "standin.log", "bus.log"):
                path = os.path.join(work, name)
                if os.path.exists(path):
                    with open(path, errors="replace") as f:
                        tail = f.read()[-3000:]
                    if tail.strip():
                        print("---- %s\n%s" % (name, tail), file=sys.stderr)
        if args.keep or status != 0:
            print("journey: work folder kept: %s" % work, file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)
    return status


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(main())
