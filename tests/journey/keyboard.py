#!/usr/bin/env python3
"""The clerk's day from the keyboard alone, heard as a screen reader hears it.

Runs the real program as journey.py does (X server, session bus, stand-in, demo token) but
presses only keys (xdotool key/type: no click, no accessibility action). On every window and
dialog met it checks, through AT-SPI, that each control that takes focus has a name, and
walks the Tab order (which must be the expected one and come back to its start: nothing
traps the focus). During the batch it listens for the grid's cells announcing their status.

    keyboard.py --program EXE --source REPO --screens DIR --port P --homologation-port H --version V
"""

import argparse
import os
import re
import shutil
import sys
import tempfile
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import journey as J  # noqa: E402
from journey import JourneyFailure, expect, log, xdotool  # noqa: E402

# The two environments are one stop (the checked one); the arrows move between them.
LOGIN_ORDER = ["Login com Certificado Digital", "Produção", "Diagnóstico do token e do certificado"]
OFFICE_ORDER = ["Selecione um Cartório:", "Diagnóstico do token e do certificado"]
TAB_ORDERS = {
    "Assinatura em Lote": ["Assinatura em Lote", "Pasta de Entrada", "Pasta de Saída", "Assinar", "Arquivos do lote"],
    "IP's da Digitação Manual": ["IP's da Digitação Manual", "Pasta de Gravação", "Consultar Instr Prot", "Assinar",
                                 "Instrumentos digitados"],
    # The form puts "Assinar" first on this tab.
    "Assinatura Individual": ["Assinatura Individual", "Assinar", "Selecione um arquivo PDF para assinar",
                              "Verificar uma assinatura (.p7s)"],
}


def run_quiet(command):
    return J.run(command).stdout


def key(*keys):
    xdotool("key", "--clearmodifiers", *keys)
    time.sleep(0.15)


class Ears(J.Screen):
    """The journey's screen, read without touching it, plus what a screen reader is told."""

    def __init__(self, pyatspi, process, shots):
        super().__init__(pyatspi, process, shots)
        self.heard = []
        from gi.repository import GLib
        self.context = GLib.MainContext.default()
        self.a.Registry.registerEventListener(self.hear, "object:property-change:accessible-name")
        # The focus as a screen reader follows it: from the events (Qt's states of hidden
        # controls are not kept up to date).
        self.focus = None
        self.a.Registry.registerEventListener(self.follow, "object:state-changed:focused")

    def hear(self, event):
        try:
            cell = event.source
            if J.role_of(cell) == "table cell":
                # Qt names the cell, not its new text: which cell spoke is what is kept.
                table = cell.parent.queryTable()
                at = cell.getIndexInParent()
                self.heard.append((table.getRowAtIndex(at), table.getColumnDescription(table.getColumnAtIndex(at))))
        except Exception:
            pass

    def follow(self, event):
        if event.detail1:
            self.focus = event.source

    def pump(self):
        while self.context.iteration(False):
            pass
        self.window_manager()

    def wait(self, what, probe, timeout=J.CEILING, answer_pin=False):
        def listening():
            self.pump()
            return probe()
        return super().wait(what, listening, timeout, answer_pin)

    def answer_pin_box(self):
        """The PIN prompt opens with its field focused: the PIN, then Enter."""
        box = self.window(name="PIN do certificado")
        if box is None:
            return False
        self.check_names(box, "the PIN prompt")
        field = self.find(box, role="password text")
        expect(field is not None and field.name.startswith("Digite o PIN"), "the PIN field is not named by its text")
        self.wait("the PIN field focused", lambda: field.getState().contains(self.a.STATE_FOCUSED), 10)
        if self.pin_prompts == 0:  # "OK" takes no focus while the PIN is too short
            self.tab_order(box, [field.name, "Cancelar"], "PIN prompt")
        xdotool("type", "--delay", "30", J.PIN)
        key("Return")
        self.pin_prompts += 1
        self.wait("the PIN box to close", lambda: self.window(name="PIN do certificado") is None, 10)
        return True

    def window_manager(self):
        """What a window manager does when a window comes up or the one above it goes: the
        keyboard's input goes to the top window shown (the X server here has none)."""
        windows = self.windows()
        if not windows or any(w.getState().contains(self.a.STATE_ACTIVE) for w in windows):
            return
        ids = run_quiet(["xdotool", "search", "--onlyvisible", "--pid", str(self.process.pid)]).split()
        if ids:
            run_quiet(["xdotool", "windowfocus", "--sync", ids[-1]])

    def focus_name(self):
        """The name of the control with the focus (the grid, the list or the tab strip of a
        focused item; the strip says its selected tab), or None."""
        self.pump()
        try:
            acc = self.focus
            if J.role_of(acc) in ("table cell", "list item", "page tab"):
                acc = acc.parent
            return acc.name if J.role_of(acc) != "page tab list" else self.selected_tab(acc)
        except Exception:
            return None

    def focused_name(self, window=None):
        return self.wait("a focused control", self.focus_name, 10)

    def moved_from(self, window, name):
        now = self.focus_name()
        return now if now != name else None

    def selected_tab(self, strip):
        for i in range(strip.childCount):
            tab = strip.getChildAtIndex(i)
            if tab is not None and tab.getState().contains(self.a.STATE_SELECTED):
                return tab.name
        return strip.name

    def check_names(self, window, what):
        """Every shown control that takes focus says what it is."""
        nameless = []
        for acc in self.walk(window):
            try:
                state = acc.getState()
                if not state.contains(self.a.STATE_FOCUSABLE) or not self.showing(acc):
                    continue
                if J.role_of(acc) in ("table cell", "list item", "page tab"):
                    continue  # items: named by their own text, which may be empty
                if not (acc.name or "").strip():
                    nameless.append("%s in %s" % (J.role_of(acc), J.role_of(acc.parent)))
            except Exception:
                continue
        expect(not nameless, "%s has focusable controls without a name: %s" % (what, nameless))

    def tab_order(self, window, expected, what):
        """Tab from the current control around the window and back: the order, as names."""
        start = self.focused_name(window)
        order = [start]
        for _ in range(len(expected) + 3):
            key("Tab")
            name = self.wait("the focus to leave %r on Tab" % order[-1], lambda: self.moved_from(window, order[-1]), 5)
            if name == start:
                break
            order.append(name)
        cycle = order[order.index(expected[0]):] + order[:order.index(expected[0])] if expected[0] in order else order
        expect(cycle == expected, "%s: Tab goes through %s, not %s" % (what, cycle, expected))
        log("%s: Tab order %s" % (what, " -> ".join(cycle)))

    def focus_on(self, window, name, limit=8):
        for _ in range(limit):
            self.pump()
            now = self.focused_name(window)
            if now == name:
                return
            key("Tab")
            self.wait("the focus to leave %r on Tab" % now, lambda: self.moved_from(window, now), 5)
        raise JourneyFailure("Tab never reaches %r; on screen:\n%s" % (name, self.describe()))

    def press_key(self, window, name, how="Return"):
        self.wait("%r enabled" % name,
                  lambda: self.find(window, name=name) is not None
                  and self.find(window, name=name).getState().contains(self.a.STATE_ENABLED), 30)
        self.focus_on(window, name)
        key(how)

    def type_path(self, title, path):
        """A folder or file dialog opens with the focus in its path box: the path, then Enter."""
        dialog = self.wait("the dialog %r" % title, lambda: self.window(name=title), 15)
        self.check_names(dialog, "the dialog %r" % title)
        field = self.find(dialog, role="text")
        self.wait("the path box focused", lambda: field.getState().contains(self.a.STATE_FOCUSED), 10)
        key("ctrl+a")
        xdotool("type", "--delay", "5", path)
        key("Return")
        self.wait("the dialog %r to close" % title, lambda: self.window(name=title) is None, 10)

    def read_box(self, text, timeout=J.CEILING, answer_pin=False):
        """A box is read (its text is a label of an alert) and closed with Enter."""
        _, box = self.box(text, timeout, answer_pin)
        self.check_names(box, "the box %r" % text)
        key("Return")
        self.wait("the box %r to close" % text, lambda: box not in self.windows(), 10)

    def main_window(self, version):
        return self.wait("the main window", lambda: self.window(name=J.TITLE + " - v." + version), 30)


def keyboard_journey(args, session, work, pyatspi):
    shots = args.screens
    folders = {n: os.path.join(work, n) for n in
               ("exemplos", "assinados", "digitacao-manual", "recebidos", "home", "run", "token")}
    for path in folders.values():
        os.makedirs(path, mode=0o700, exist_ok=True)
    token = J.run(["bash", os.path.join(args.source, "scripts/demo-token.sh"), folders["token"]])
    expect(token.returncode == 0, "demo-token.sh: %s" % token.stderr)
    token_env = dict(line.split("=", 1) for line in token.stdout.split("\n") if "=" in line)
    session.start_x()
    pyatspi.Registry.getDesktop(0)
    session.start_standin(args.version, folders["recebidos"], folders["exemplos"])
    accepted = sorted(n for n in os.listdir(folders["exemplos"]) if re.fullmatch(r"\d{23}\.pdf", n))

    program = session.start_program(session.program_env(token_env), "program")
    ui = Ears(pyatspi, program, shots)

    # --- login: Enter on the button, Enter on the certificate, the PIN, the office from the list
    login = ui.wait("the login window", lambda: ui.window(name=J.TITLE, with_text="Login com Certificado Digital"), 60)
    expect(J.role_of(login) == "frame", "the login window reads as a %s" % J.role_of(login))
    ui.wait("the version check", lambda: any(b"assinadorVersao" in r for r in session.standin_requests()), 20)
    ui.check_names(login, "the login window")
    ui.tab_order(login, LOGIN_ORDER, "login window")
    ui.focus_on(login, "Produção")
    for arrow, checked in (("Right", "Homologação"), ("Left", "Produção")):
        key(arrow)
        ui.wait("%r checked by the arrows" % checked, lambda: ui.find(login, role="radio button", name=checked)
                .getState().contains(pyatspi.STATE_CHECKED), 10)
    ui.press_key(login, "Diagnóstico do token e do certificado")
    doctor = ui.wait("the token doctor", lambda: ui.window(name="Diagnóstico do token e do certificado"), 60)
    ui.check_names(doctor, "the token doctor")
    ui.tab_order(doctor, ["Relatório do diagnóstico", "Copiar", "Salvar...", "Fechar"], "token doctor")
    key("Escape")
    ui.wait("the token doctor to close", lambda: ui.window(name="Diagnóstico do token e do certificado") is None, 10)
    ui.wait("the focus back on \"Diagnóstico\"",
            lambda: ui.focused_name(login) == "Diagnóstico do token e do certificado", 10)
    ui.press_key(login, "Login com Certificado Digital")
    pick = ui.wait("the certificate choice", lambda: ui.window(name="Certificado Digital"), 30)
    ui.check_names(pick, "the certificate choice")
    ui.wait("the certificate list focused", lambda: ui.focused_name(pick) == "Certificados", 10)
    ui.tab_order(pick, ["Certificados", "OK", "Cancelar"], "certificate choice")
    key("Return")
    ui.wait("the PIN box", lambda: ui.window(name="PIN do certificado"), 30)
    expect(ui.answer_pin_box(), "the PIN box could not be answered")
    combo = ui.wait("the office choice focused",
                    lambda: ui.find(login, role="combo box", name="Selecione um Cartório:"), 60)
    labels = [r for r in combo.getRelationSet() if r.getRelationType() == pyatspi.RELATION_LABELLED_BY]
    expect(labels and labels[0].getTarget(0).name == "Selecione um Cartório:",
           "the office list is not labelled by \"Selecione um Cartório:\"")
    ui.check_names(login, "the office choice")
    ui.tab_order(login, OFFICE_ORDER, "office choice")
    ui.focus_on(login, "Selecione um Cartório:")
    key("alt+Down")
    ui.wait("the office list open", lambda: ui.find(ui.app(), role="list item", name=J.OFFICE_01), 10)
    def selected():
        for name in (J.OFFICE_01, J.OFFICE_02):
            item = ui.find(ui.app(), role="list item", name=name)
            if item is not None and item.getState().contains(pyatspi.STATE_SELECTED):
                return name
        return None
    for _ in range(3):  # the arrows walk the list until (01) is the one selected
        if selected() == J.OFFICE_01:
            break
        key("Up" if selected() == J.OFFICE_02 else "Down")
        time.sleep(0.3)
    expect(selected() == J.OFFICE_01, "the arrows do not reach office (01)")
    J.screenshot(shots, "k1-office-choice")
    key("Return")
    main = ui.main_window(args.version)
    expect(J.role_of(main) == "frame", "the main window reads as a %s" % J.role_of(main))
    label = ui.find(main, role="label", contains="Cartório: ")
    expect(label is not None and label.name == "Cartório: " + J.OFFICE_01, "the office chosen is not (01)")

    # --- the batch tab
    ui.check_names(main, "the tab %r" % "Assinatura em Lote")
    ui.tab_order(main, TAB_ORDERS["Assinatura em Lote"], "tab Assinatura em Lote")
    ui.press_key(main, "Pasta de Entrada", "space")
    ui.type_path("Selecione uma pasta", folders["exemplos"])
    grid = ui.find(main, role="table", name="Arquivos do lote")
    expect(grid is not None, "no grid named \"Arquivos do lote\"")
    ui.wait("the 12 samples in the grid", lambda: len(ui.rows(grid)) == 12, 30)
    table = grid.queryTable()
    cell = table.getAccessibleAt(0, 2)
    at = cell.getIndexInParent()
    expect(table.getColumnHeader(table.getColumnAtIndex(at)).name == "Status" and table.getRowAtIndex(at) == 0,
           "a cell of the grid does not lead to its column header")
    ui.wait("the focus back on \"Pasta de Entrada\"", lambda: ui.focused_name(main) == "Pasta de Entrada", 10)
    ui.press_key(main, "Pasta de Saída")
    ui.type_path("Selecione uma pasta", folders["assinados"])
    ui.heard.clear()
    ui.press_key(main, "Assinar", "space")
    ui.read_box("Processo Finalizado", 90, answer_pin=True)
    rows = {r[0]: r for r in ui.rows(grid)}
    for name in accepted:
        expect(rows[name][2:4] == ["Enviado", "Enviado pra Norvane"], "batch row %s: %s" % (name, rows[name]))
    # Each file's status cell spoke at each step ("Assinando", "Assinado", "Enviado"), and its
    # Observação at least once ("Enviado pra Norvane").
    names = [r[0] for r in ui.rows(grid)]
    for name in accepted:
        row = names.index(name)
        expect(ui.heard.count((row, "Status")) >= 3 and ui.heard.count((row, "Observação")) >= 1,
               "the row of %s was not announced at each step: %s" % (name, ui.heard))
    J.screenshot(shots, "k2-batch")
    log("batch by keyboard: %d sent, statuses announced" % len(accepted))

    # --- the manual instruments tab
    key("ctrl+Tab")
    ui.wait("the manual tab", lambda: ui.find(main, role="push button", name="Consultar Instr Prot"), 10)
    ui.check_names(main, "the tab %r" % "IP's da Digitação Manual")
    ui.tab_order(main, TAB_ORDERS["IP's da Digitação Manual"], "tab IP's da Digitação Manual")
    ui.press_key(main, "Pasta de Gravação")
    ui.type_path("Selecione uma pasta", folders["digitacao-manual"])
    ui.press_key(main, "Consultar Instr Prot")
    ui.read_box("Trazendo 3 último(s) IP(s) para ser(em) assinado(s).", 30)
    grid = ui.find(main, role="table", name="Instrumentos digitados")
    expect(grid is not None and len(ui.rows(grid)) == 3, "the manual grid lacks its name or its 3 rows")
    ui.press_key(main, "Assinar")
    ui.wait("every manual instrument sent", lambda: all(r[2] == "Enviado" for r in ui.rows(grid)), 90,
            answer_pin=True)
    J.screenshot(shots, "k3-manual")
    log("manual by keyboard: 3 sent")

    # --- one file on the third tab, and its check
    key("ctrl+Tab")
    ui.wait("the individual tab", lambda: ui.find(main, role="push button", name="Verificar uma assinatura (.p7s)"), 10)
    ui.check_names(main, "the tab %r" % "Assinatura Individual")
    ui.tab_order(main, TAB_ORDERS["Assinatura Individual"], "tab Assinatura Individual")
    one = os.path.join(folders["exemplos"], accepted[0])
    ui.press_key(main, "Selecione um arquivo PDF para assinar")
    ui.type_path("Selecione arquivo PDF para assinar em P7S", one)
    ui.press_key(main, "Assinar")
    done = "Arquivo assinado com sucesso em: " + one + ".p7s"
    ui.wait("the line %r" % done, lambda: ui.find(main, role="label", name=done), 60, answer_pin=True)
    ui.press_key(main, "Verificar uma assinatura (.p7s)")
    ui.type_path("Selecione a assinatura (.p7s) a verificar", one + ".p7s")
    check = ui.wait("the verification window", lambda: ui.window(name="Verificação de assinatura"), 30)
    ui.check_names(check, "the verification window")
    ui.tab_order(check, ["Detalhes da verificação", "Comparar com documento...", "Copiar", "Fechar"],
                 "verification window")
    key("Return")  # "Fechar" is its default button
    ui.wait("the verification window to close", lambda: ui.window(name="Verificação de assinatura") is None, 10)
    J.screenshot(shots, "k4-individual")
    log("individual by keyboard: %s.p7s signed and checked; %d PIN prompt(s)" % (one, ui.pin_prompts))


def main():
    parser = argparse.ArgumentParser()
    for name in ("--program", "--source", "--screens", "--version"):
        parser.add_argument(name, required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--homologation-port", type=int, required=True)
    args = parser.parse_args()
    args.program, args.source, args.screens = (os.path.abspath(p) for p in (args.program, args.source, args.screens))
    shutil.rmtree(args.screens, ignore_errors=True)
    os.makedirs(args.screens)
    work = tempfile.mkdtemp(prefix="norvane-keyboard-")
    session = J.Session(args, work)
    status = 1
    try:
        session.start_bus()
        import pyatspi
        keyboard_journey(args, session, work, pyatspi)
        status = 0
        log("keyboard journey passed; screenshots in %s" % args.screens)
    except JourneyFailure as failure:
        print("keyboard: FAILED: %s" % failure, file=sys.stderr)
    except Exception:
        traceback.print_exc()
    finally:
        session.end()
        if status != 0:
            for name in ("program.log", "standin.log"):
                path = os.path.join(work, name)
                if os.path.exists(path):
                    with open(path, errors="replace") as f:
                        print("---- %s\n%s" % (name, f.read()[-3000:]), file=sys.stderr)
            print("keyboard: work folder kept: %s" % work, file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)
    return status


if __name__ == "__main__":
    J.signal.signal(J.signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(main())
