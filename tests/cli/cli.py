#!/usr/bin/env python3
"""The command line (--lote) as a clerk or a cron job meets it: the real program in a
pseudo-terminal (the PIN typed there), with no display, against the stand-in service on
127.0.0.1 and the SoftHSM demo token. Each case checks the exit code, what the program
printed, what the stand-in received and what the output folder holds (every .p7s verified
with openssl against the demo root). The crash cases kill the program with SIGKILL at a
chosen point (a preloaded library, --shim) and start it again on the same folders.

    cli.py --program EXE --shim LIB --source REPO --port P --homologation-port H --version V
"""

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

from clisupport import (OFFICE_01, OFFICE_02, PIN, Cli, Failure, Run, StandIn, dies_with_us, expect, log,  # noqa: F401
                        row_events, sha256, summary_of)


# ------------------------------------------------------------------------------- cases


def arguments_and_choices(cli):
    standin = cli.serve()
    entrada, saida = cli.folders("escolhas")
    for arguments in ([], ["--lote", entrada], ["--lote", entrada, saida, "--cartorio"], ["--lote", entrada, saida,
                      "--turbo"], ["--lote", entrada, os.path.join(cli.work, "nao-existe")]):
        r = cli.run(["--lote"] + arguments[1:] if arguments else ["--lote"], pins=())
        expect(r.wait() == 64, "%s: exit %s, not 64" % (arguments, r.process.returncode))
        expect("Uso: NorvaneAssinadorIP --lote" in r.err(), "no usage text for %s: %s" % (arguments, r.err()))
    for option, text in (("--help", "Códigos de saída"), ("--versao", "versão " + cli.args.version)):
        r = cli.run([option], pins=())
        expect(r.wait() == 0 and text in "".join(r.stdout), "%s: %s %s" % (option, r.stdout, r.err()))
    expect(not standin.requests(), "a wrong argument reached the service")

    wrong_folders_and_options(cli, standin)

    # Two offices for the demo CPF: the program lists them and stops.
    r = cli.run(["--lote", entrada, saida])
    expect(r.wait() == 64, "no --cartorio with two offices: exit %s; %s" % (r.process.returncode, r.err()))
    expect(OFFICE_01 in r.err() and OFFICE_02 in r.err() and "--cartorio" in r.err(), "offices not listed: " + r.err())
    r = cli.run(["--lote", entrada, saida, "--cartorio", "07"])
    expect(r.wait() == 64 and OFFICE_01 in r.err(), "an unknown office: exit %s" % r.process.returncode)
    # An unknown certificate: the choices by thumbprint and name, before any PIN.
    r = cli.run(["--lote", entrada, saida, "--certificado", "00" * 20, "--cartorio", "01"], pins=())
    expect(r.wait() == 64, "an unknown certificate: exit %s" % r.process.returncode)
    thumb = subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha1", "-in",
                            os.path.join(cli.work, "token/pki/user.pem")], capture_output=True, text=True)
    thumbprint = thumb.stdout.strip().split("=", 1)[1].replace(":", "")
    expect(thumbprint in r.err() and "FULANO DE DEMONSTRACAO" in r.err(), "certificates not listed: " + r.err())
    expect(r.prompts == 0, "a PIN was asked before the certificate was known")
    expect(not standin.uploads() and not os.listdir(saida), "something was signed or sent without a choice")

    # Two certificates (a second token beside the demo one) and no --certificado: both listed.
    env = second_certificate(cli)
    r = Run(cli.args, env, ["--lote", entrada, saida, "--cartorio", "01"], pins=())
    expect(r.wait() == 64, "two certificates: exit %s; %s" % (r.process.returncode, r.err()))
    expect(thumbprint in r.err() and "FULANO DE DEMONSTRACAO" in r.err() and "BELTRANO DE TESTE" in r.err(),
           "the certificates are not listed: " + r.err())
    expect(r.prompts == 0 and not standin.uploads(), "a PIN was asked, or something sent, without a choice")
    log("arguments, --help, --versao and the needed choices (two offices, two certificates): 64 / 0")
    return thumbprint


def wrong_folders_and_options(cli, standin):
    """Arguments that would otherwise reach the PIN (the office is named): the same folder
    for input and output however written, an output inside the input, a repeated option,
    an option taken as another's value, a folder name that is not UTF-8. Each is 64 with
    its reason, before any PIN or call."""
    entrada, saida = cli.folders("pastas")
    parent = os.path.dirname(entrada)
    link = os.path.join(parent, "atalho")
    os.symlink(entrada, link)
    inside = os.path.join(entrada, "assinados")
    os.mkdir(inside)
    # A name in Latin-1 bytes; beside it, the folder its U+FFFD decoding would name.
    latin1 = os.fsencode(parent) + b"/sa\xedda"
    os.mkdir(latin1)
    os.mkdir(os.path.join(parent, "sa\ufffdda"))
    office = ["--cartorio", "01"]
    cases = [
        ([entrada, entrada], "própria pasta de entrada"),
        ([entrada, entrada + "/"], "própria pasta de entrada"),
        ([entrada + "/.", os.path.join(saida, "..", "entrada")], "própria pasta de entrada"),
        ([entrada, link], "própria pasta de entrada"),
        ([link + "/", entrada], "própria pasta de entrada"),
        ([entrada, inside], "dentro da pasta de entrada"),
        ([entrada, inside + "/../assinados"], "dentro da pasta de entrada"),
        ([entrada, saida, "--json", "--json"], "opção repetida: --json"),
        ([entrada, saida, "--homologacao", "--homologacao"], "opção repetida: --homologacao"),
        ([entrada, saida, "--cartorio=02"], "opção repetida: --cartorio"),
        ([entrada, saida, "--certificado", "AB", "--certificado", "CD"], "opção repetida: --certificado"),
        ([entrada, saida, "--certificado", "--json"], "--certificado pede a impressão digital"),
        ([entrada, latin1], "não é texto UTF-8 válido: " + parent + "/sa\\xedda"),
        ([latin1, saida], "não é texto UTF-8 válido"),
    ]
    for arguments, reason in cases:
        r = cli.run(["--lote"] + arguments + office, pins=())
        expect(r.wait() == 64, "%s: exit %s, not 64; %s" % (arguments, r.process.returncode, r.err()))
        expect(reason in r.err() and "Uso: NorvaneAssinadorIP --lote" in r.err(),
               "%s: the reason is not said: %s" % (arguments, r.err()))
        expect(r.prompts == 0, "%s: a PIN was asked" % arguments)
    r = cli.run(["--lote", entrada, saida, "--cartorio", "--json"], pins=())
    expect(r.wait() == 64 and "--cartorio pede o número do cartório" in r.err() and r.prompts == 0,
           "--cartorio --json: exit %s; %s" % (r.process.returncode, r.err()))
    expect(not standin.requests() and not os.listdir(saida) and os.listdir(inside) == [],
           "wrong arguments reached the service or wrote something")
    log("same folder (/, ./, .., symlink), output inside input, repeated options, an option as a value, "
        "a name not UTF-8: 64 before any PIN")


def without_proxy(env):
    return {k: v for k, v in env.items() if k.lower() not in ("http_proxy", "https_proxy", "no_proxy", "all_proxy")}


def start_proxy(cli, mode, name):
    """The proxy stand-in (tests/support/proxy_standin.py): its process, port and log file."""
    log_file = os.path.join(cli.work, name + ".log")
    process = subprocess.Popen([sys.executable, os.path.join(cli.args.source, "tests/support/proxy_standin.py"),
                                "--log", log_file, "--mode", mode], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               text=True, preexec_fn=dies_with_us)
    port = json.loads(process.stdout.readline())["port"]
    return process, port, log_file


def network_and_tokens(cli):
    """A batch through the office's proxy (its log of the requests), a proxy that asks for a
    password (407), and no token at all (a SoftHSM with no token; a module with no slot is
    tested in tests/workflows/NoTokenTest.cpp)."""
    standin = cli.serve()
    proxy, port, proxy_log = start_proxy(cli, "pass", "proxy")
    env = without_proxy(cli.env)
    env["http_proxy"] = "http://127.0.0.1:%d" % port
    entrada, saida = cli.folders("proxy")
    r = Run(cli.args, env, ["--lote", entrada, saida, "--cartorio", "01"])
    code = r.wait()
    proxy.stdin.close()
    proxy.wait(10)
    expect(code == 0, "a batch through the proxy: exit %s; %s" % (code, r.err()))
    with open(proxy_log) as f:
        taken = [json.loads(line) for line in f if line.strip()]
    log("the proxy's log of the batch:")
    for request in taken:
        print("    %s %s servico=%s" % (request["method"], request["target"], request["servico"]), flush=True)
    service = "http://127.0.0.1:%d/" % cli.args.port
    expect(taken and all(t["method"] == "POST" and t["target"].startswith(service) for t in taken),
           "requests not sent to the proxy with the whole address: %s" % taken)
    expect(len(taken) == len(standin.requests()), "%d through the proxy, %d at the service"
           % (len(taken), len(standin.requests())))
    expect(sorted(standin.accepted()) == sorted(p[:23] for p in os.listdir(entrada)), "uploads through the proxy")
    cli.verify_output(entrada, saida)

    proxy, port, proxy_log = start_proxy(cli, "auth", "proxy-407")
    env["http_proxy"] = "http://127.0.0.1:%d" % port
    entrada, saida = cli.folders("proxy-407")
    r = Run(cli.args, env, ["--lote", entrada, saida, "--cartorio", "01"], pins=())
    code = r.wait()
    proxy.stdin.close()
    proxy.wait(10)
    expect(code == 3, "a proxy that asks for a password: exit %s; %s" % (code, r.err()))
    expect("O proxy http://127.0.0.1:%d pede autenticação (407)" % port in r.err(), "no 407 text: " + r.err())
    expect(not os.listdir(saida), "a refused proxy left files")
    log("the refused 407: " + [l for l in r.err().splitlines() if "407" in l][0])

    # No token: SoftHSM with an empty token folder (one blank slot) ...
    blank = os.path.join(cli.work, "sem-token")
    os.makedirs(os.path.join(blank, "tokens"))
    with open(os.path.join(blank, "softhsm2.conf"), "w") as f:
        f.write("directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n"
                % os.path.join(blank, "tokens"))
    env = without_proxy(cli.env)
    env["SOFTHSM2_CONF"] = os.path.join(blank, "softhsm2.conf")
    entrada, saida = cli.folders("sem-token")
    r = Run(cli.args, env, ["--lote", entrada, saida, "--cartorio", "01"], pins=())
    code = r.wait()
    expect(code == 3, "a blank SoftHSM: exit %s; %s" % (code, r.err()))
    expect("Nenhum token ou cartão conectado. Conecte o token USB" in r.err() and
           "NorvaneAssinadorIP --diagnostico mostra o que o programa vê" in r.err(), "a blank SoftHSM: " + r.err())
    expect("Não foi possível listar" not in r.err() and r.prompts == 0, "a blank SoftHSM: " + r.err())
    log("batch through the proxy: 0 (%d requests logged); proxy 407: 3; no token: 3 with its hint" % len(taken))


def second_certificate(cli):
    """A copy of the demo token store with a second token holding another e-CPF-like
    certificate under a root of its own, added to a copy of the trust bundle."""
    base = os.path.join(cli.work, "token")
    dest = os.path.join(cli.work, "token-2")
    if not os.path.isdir(dest):
        shutil.copytree(base, dest)
        pki = os.path.join(dest, "pki2")
        os.makedirs(pki)
        script = """
set -e
cd "$1"
openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -days 3650 -subj "/C=BR/CN=AC Raiz Segunda" \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout user.key -out user.csr -subj "/C=BR/CN=BELTRANO DE TESTE:98765432100" 2>/dev/null
printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,nonRepudiation\ncertificatePolicies=2.16.76.1.2.3.99\n' >ext
openssl x509 -req -in user.csr -CA root.pem -CAkey root.key -CAcreateserial -out user.pem -days 365 -extfile ext 2>/dev/null
openssl pkcs8 -topk8 -nocrypt -in user.key -out user.p8
openssl x509 -in user.pem -outform DER -out user.der
export SOFTHSM2_CONF="$2"
softhsm2-util --init-token --free --label Segundo --pin 5678 --so-pin 567890 >/dev/null
softhsm2-util --import user.p8 --token Segundo --label segundo --id 01 --pin 5678 >/dev/null
pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --token-label Segundo --login --pin 5678 \
  --write-object user.der --type cert --id 01 --label segundo >/dev/null
"""
        conf = os.path.join(dest, "softhsm2.conf")
        with open(conf, "w") as f:
            f.write("directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n"
                    % os.path.join(dest, "tokens"))
        made = subprocess.run(["bash", "-c", script, "second", pki, conf], capture_output=True, text=True)
        expect(made.returncode == 0, "the second token: %s" % made.stderr)
        with open(os.path.join(dest, "trust.pem"), "ab") as f, open(os.path.join(pki, "root.pem"), "rb") as g:
            f.write(g.read())
    env = dict(cli.env)
    env.update(SOFTHSM2_CONF=os.path.join(dest, "softhsm2.conf"), SSL_CERT_FILE=os.path.join(dest, "trust.pem"))
    return env


def login_failures(cli):
    standin = cli.serve()
    entrada, saida = cli.folders("login")
    r = cli.run(["--lote", entrada, saida, "--cartorio", "01"], pins=("0000",))
    expect(r.wait() == 3, "a wrong PIN: exit %s; %s" % (r.process.returncode, r.err()))
    expect(r.prompts == 1, "the wrong PIN was asked %d times" % r.prompts)
    r = cli.run(["--lote", entrada, saida, "--cartorio", "01"], pins=(None,))
    expect(r.wait() == 3, "a cancelled PIN: exit %s; %s" % (r.process.returncode, r.err()))
    # Ctrl-C at the prompt: the terminal gets its echo back.
    r = cli.run(["--lote", entrada, saida, "--cartorio", "01"], pins=None)
    deadline = time.time() + 60
    while b"PIN do token" not in r.terminal and time.time() < deadline:
        time.sleep(0.1)
    r.ctrl_c()
    r.process.wait(60)
    expect(termios.tcgetattr(r.master)[3] & termios.ECHO, "the terminal was left without echo")
    expect(r.wait() == 130, "Ctrl-C at the PIN prompt: exit %s; %s" % (r.process.returncode, r.err()))
    expect(not standin.uploads() and not os.listdir(saida), "a failed login signed or sent something")
    expect(not any(b"servico=login" in q for q in standin.requests()), "the service was asked without the key test")

    standin = cli.serve(version="9.9.9")
    r = cli.run(["--lote", entrada, saida, "--cartorio", "01"], pins=())
    expect(r.wait() == 5, "another version: exit %s; %s" % (r.process.returncode, r.err()))
    expect("9.9.9" in r.err() and r.prompts == 0, "the other version is not named, or a PIN was asked: " + r.err())
    log("wrong PIN and cancel: 3; Ctrl-C at the prompt: 130; the service names 9.9.9: 5")


def batches(cli, thumbprint):
    standin = cli.serve(delay_ms=50)
    # All accepted, with --json, the certificate named: 0.
    entrada, saida = cli.folders("todos")
    r = cli.run(["--lote", entrada, saida, "--cartorio", "01", "--json", "--certificado", thumbprint.lower()])
    expect(r.wait() == 0, "an accepted batch: exit %s; %s" % (r.process.returncode, r.err()))
    expect(PIN.encode() not in r.terminal, "the PIN was echoed on the terminal")
    events = r.events()
    summary = summary_of(events)
    pdfs = sorted(os.listdir(entrada))
    expect(summary["codigo_saida"] == 0 and summary["enviados"] == len(pdfs) == 5, "summary: %s" % summary)
    expect(os.path.dirname(summary.get("relatorio", "")) == saida and os.path.isfile(summary["relatorio"]),
           "no report in the output folder: %s" % summary)
    signatures = cli.verify_output(entrada, saida)
    rows = row_events(events)
    expect(len(rows) == 5, "rows told: %s" % sorted(rows))
    for number, told in rows.items():
        kinds = [e["evento"] for e in told]
        expect(kinds == ["assinando", "assinado", "enviado"], "row %d told %s" % (number, kinds))
        signed = told[1]
        expect(signed["sha256_p7s"] == signatures[signed["arquivo"]], "row %d: the .p7s hash differs" % number)
        expect(signed["sha256_pdf"] == sha256(os.path.join(entrada, signed["arquivo"])), "row %d: PDF hash" % number)
        expect(told[2]["status"] == "Enviado" and told[2]["observacao"] == "Enviado pra Norvane", told[2])
        expect(re.match(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}", signed["hora"]), "time: %s" % signed["hora"])
    expect(sorted(standin.accepted()) == sorted(p[:23] for p in pdfs), "uploads: %s" % standin.accepted())
    expect(len(re.findall(r"^\[\d/5\] .*: Enviado", r.err(), re.M)) == 5, "progress lines: " + r.err())
    log("five accepted files, --json: 0, each .p7s verified, hashes as told")
    production = (entrada, saida)

    # Intake errors, in homologation, in text: 1.
    entrada, saida = cli.folders("erros", accepted_only=False)
    before = len(standin.uploads())
    r = cli.run(["--lote", entrada, saida, "--cartorio", "01", "--homologacao"])
    expect(r.wait() == 1, "a batch with intake errors: exit %s; %s" % (r.process.returncode, r.err()))
    expect("Arquivo não parece ser um PDF/A" in r.err() and "7 com erro" in "".join(r.stdout),
           "output: %s %s" % (r.stdout, r.err()))
    # Each row's line says its status: the intake's errors as they were, the rest sent.
    expect(len(re.findall(r"^\[\d+/12\] .*: Erro - ", r.err(), re.M)) == 7 and
           len(re.findall(r"^\[\d+/12\] .*: Enviado - Enviado pra Norvane$", r.err(), re.M)) == 5,
           "progress lines: " + r.err())
    expect(len(standin.uploads()) - before == 5, "uploads in homologation: %d" % (len(standin.uploads()) - before))
    expect(any(q.find(b"servico=login") >= 0 for q in standin.requests()), "no login call")
    cli.verify_output(entrada, saida)
    log("seven intake errors, homologation: 1")
    other_environments(cli, production, (entrada, saida))

    # The service fails after the first upload: 2, nothing sent after the failing row.
    entrada, saida = cli.folders("falha", count=12)
    before = len(standin.accepted())
    r = cli.run(["--lote", entrada, saida, "--cartorio", "01", "--json"])
    while True:
        line = r.out_lines.get(timeout=120)
        if json.loads(line).get("evento") == "enviado":
            break
    standin.command({"cmd": "script", "answer": {"status": "HTTP/1.1 500 Internal Server Error", "body": "erro"}})
    expect(r.wait() == 2, "a service error mid-batch: exit %s; %s" % (r.process.returncode, r.err()))
    summary = summary_of(r.events())
    expect(not summary["concluido"] and 0 < summary["enviados"] < 12, "summary: %s" % summary)
    expect(len(standin.accepted()) - before == summary["enviados"], "the stand-in kept another count")
    if summary["linha_final"] <= 10:  # the last row was never taken up
        expect(re.search(r"^\[12/12\] \S+\.pdf: não assinado$", r.err(), re.M), "progress lines: " + r.err())
    cli.verify_output(entrada, saida)
    log("the service fails at row %d: 2" % summary["linha_final"])

    # Ctrl-C on the terminal during a batch: 130, every file whole.
    standin = cli.serve(delay_ms=200)
    entrada, saida = cli.folders("ctrl-c", count=30)
    r = cli.run(["--lote", entrada, saida, "--cartorio", "01", "--json"])
    while json.loads(r.out_lines.get(timeout=120)).get("evento") != "enviado":
        pass
    r.ctrl_c()
    expect(r.wait() == 130, "Ctrl-C: exit %s; %s" % (r.process.returncode, r.err()))
    sent = len(standin.accepted())
    expect(0 < sent < 30, "Ctrl-C did not stop the batch (%d sent)" % sent)
    cli.verify_output(entrada, saida)
    log("Ctrl-C after %d uploads: 130, nothing half-written" % sent)


def other_environments(cli, production, homologation):
    """An output folder whose journal records sends to one environment is refused to a run
    of the other, with 64, before any PIN, its signatures left as they are."""
    for (entrada, saida), flags, recorded in ((production, ["--homologacao"], "Produção"),
                                              (homologation, [], "Homologação")):
        before = {n: sha256(os.path.join(saida, n)) for n in os.listdir(saida) if n.endswith(".p7s")}
        requests = len(cli.standin.requests())
        r = cli.run(["--lote", entrada, saida, "--cartorio", "01"] + flags, pins=())
        expect(r.wait() == 64, "%s sends, the other environment: exit %s; %s" % (recorded, r.process.returncode,
                                                                                 r.err()))
        expect("guarda arquivos enviados ao ambiente de %s" % recorded in r.err() and "Escolha outra pasta de saída"
               in r.err() and r.prompts == 0, "the refusal is not said: " + r.err())
        expect(len(cli.standin.requests()) == requests, "the refused run called the service")
        expect(before and {n: sha256(os.path.join(saida, n)) for n in os.listdir(saida) if n.endswith(".p7s")}
               == before, "the refused run changed the signatures")
    log("a folder of production sends refused to homologation, and the other way round: 64")


def second_instance(cli):
    cli.serve()
    entrada, saida = cli.folders("instancia")
    first = cli.run(["--lote", entrada, saida, "--cartorio", "01"], pins=None)
    deadline = time.time() + 60
    while b"PIN do token" not in first.terminal and time.time() < deadline:
        time.sleep(0.1)
    expect(b"PIN do token" in first.terminal, "the first copy never asked for its PIN: " + first.err())
    second = cli.run(["--lote", entrada, saida, "--cartorio", "01"], pins=())
    expect(second.wait() == 4, "a second copy: exit %s; %s" % (second.process.returncode, second.err()))
    expect(first.process.poll() is None, "the first copy ended meanwhile")
    expect("mais de uma instância" in second.err(), "second copy's message: " + second.err())
    # The same user's cron job: no session (no XDG_RUNTIME_DIR, no display), a bare environment.
    cron_env = {k: v for k, v in cli.env.items()
                if k in ("HOME", "LOGNAME", "USER", "PATH", "SHELL", "NORVANE_LOCK_DIR", "LANG")
                or k.startswith("SOFTHSM") or k == "SSL_CERT_FILE"}
    cron = Run(cli.args, cron_env, ["--lote", entrada, saida, "--cartorio", "01"], pins=())
    expect(cron.wait() == 4 and "mais de uma instância" in cron.err(),
           "a cron copy while the first runs: exit %s; %s" % (cron.process.returncode, cron.err()))
    os.write(first.master, b"\x04")
    expect(first.wait() == 3, "the first copy, its PIN cancelled: exit %s" % first.process.returncode)
    log("a second copy while the first asks its PIN, also from a cron session: 4")


def trickling_service(cli):
    """A service that answers an upload one byte every 2 s keeps the 60 s idle limit fed
    for ever; the call's deadline (20 s in this build, 10 minutes in the program's) ends
    it, and with it the batch: 2, its reason in Portuguese."""
    standin = cli.serve(delay_ms=300)
    entrada, saida = cli.folders("prazo", count=12)
    r = cli.run(["--lote", entrada, saida, "--cartorio", "01", "--json"])
    while json.loads(r.out_lines.get(timeout=120)).get("evento") != "enviado":
        pass
    standin.command({"cmd": "script", "answer": {"status": "HTTP/1.1 200 OK", "body": "x" * 100, "trickle_ms": 2000}})
    expect(r.wait(timeout=100) == 2, "a trickling service: exit %s; %s" % (r.process.returncode, r.err()))
    expect(re.search(r"O serviço \(127\.0\.0\.1:\d+\) não concluiu a resposta em 20 segundos; a chamada foi "
                     r"interrompida\.", r.err()), "the deadline is not said: " + r.err())
    summary = summary_of(r.events())
    expect(not summary["concluido"] and 0 < summary["enviados"] < 12, "summary: %s" % summary)
    cli.verify_output(entrada, saida)
    log("a service trickling one byte every 2 s: the call ends at its deadline, 2")


JOURNAL = "norvane-diario.jsonl"


def journal_of(saida):
    path = os.path.join(saida, JOURNAL)
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        lines = f.read().split(b"\n")
    return [json.loads(line) for line in lines if line.strip()]


def sent_in_journal(saida):
    return [e["arquivo"] for e in journal_of(saida) if e.get("evento") == "enviado"]


def rerun_and_check(cli, name, entrada, saida, expected_again):
    """Starts the program again on the same folders; it must send what the first run did not
    and nothing that the journal records as sent. `expected_again`: the one file whose
    upload the journal could not know about (it may be sent twice), or None."""
    standin = cli.standin
    journaled = sent_in_journal(saida)
    before = standin.accepted()
    r = cli.run(["--lote", entrada, saida, "--cartorio", "01", "--json"])
    expect(r.wait() == 0, "%s, the rerun: exit %s; %s" % (name, r.process.returncode, r.err()))
    rows = row_events(r.events())
    pdfs = sorted(os.listdir(entrada))
    for number, told in rows.items():
        kinds = [e["evento"] for e in told]
        if told[0]["arquivo"] in journaled:
            expect(kinds == ["ja-enviado"] and told[-1]["status"] == "Enviado",
                   "%s: row %d, sent before, was taken up again: %s" % (name, number, kinds))
        else:
            expect(kinds[-1] == "enviado", "%s: row %d not sent by the rerun: %s" % (name, number, kinds))
    accepted = standin.accepted()
    keys = [p[:23] for p in pdfs]
    expect(sorted(set(accepted)) == keys, "%s: the stand-in lacks %s" % (name, sorted(set(keys) - set(accepted))))
    twice = sorted(k for k in set(accepted) if accepted.count(k) > 1)
    allowed = [expected_again[:23]] if expected_again else []
    expect(all(k in allowed for k in twice) and all(accepted.count(k) <= 2 for k in twice),
           "%s: sent more than once: %s (only %s may be)" % (name, twice, allowed))
    signatures = cli.verify_output(entrada, saida)
    expect(sorted(signatures) == pdfs, "%s: signatures missing for %s" % (name, sorted(set(pdfs) - set(signatures))))
    sends = sent_in_journal(saida)
    expect(sorted(set(sends)) == pdfs, "%s: the journal lacks sends of %s" % (name, sorted(set(pdfs) - set(sends))))
    for e in journal_of(saida):
        if e.get("evento") == "enviado":
            expect(e["sha256_p7s"] == signatures[e["arquivo"]] or sends.count(e["arquivo"]) > 1,
                   "%s: the journal's hash of %s is not the file's" % (name, e["arquivo"]))
    log("%s: %d sent before the kill, the rerun sent the rest; sent twice: %s" % (name, len(before), twice or "none"))
    return twice


def in_flight(saida, pdfs):
    """The first file the journal does not record as sent: the one upload that may have
    reached the service without the journal knowing."""
    sent = set(sent_in_journal(saida))
    return next((p for p in pdfs if p not in sent), None)


def crashes(cli):
    # SIGKILL once row 20 of 50 was sent: its upload is answered and journaled, the 21st
    # is held by the service and never answered.
    standin = cli.serve(delay_ms=300)
    entrada, saida = cli.folders("queda-20", count=50)
    pdfs = sorted(os.listdir(entrada))
    r = cli.run(["--lote", entrada, saida, "--cartorio", "01", "--json"])
    deadline = time.time() + 240
    while len(standin.uploads()) < 20 and time.time() < deadline and r.process.poll() is None:
        time.sleep(0.02)
    standin.command({"cmd": "script", "answer": {"hang": True}})
    while pdfs[19] not in sent_in_journal(saida) and time.time() < deadline:
        time.sleep(0.02)
    time.sleep(0.3)
    r.process.kill()
    r.wait()
    expect(standin.accepted() == [p[:23] for p in pdfs[:20]], "before the kill: %s" % standin.accepted())
    expect(sent_in_journal(saida) == pdfs[:20], "the journal before the rerun: %s" % sent_in_journal(saida))
    twice = rerun_and_check(cli, "killed after row 20 of 50", entrada, saida, None)
    expect(not twice, "a row was sent twice")

    # SIGKILL right after row 5's .p7s was put in place, before the journal knew of it.
    standin = cli.serve(delay_ms=100)
    entrada, saida = cli.folders("queda-p7s", count=10)
    pdfs = sorted(os.listdir(entrada))
    r = cli.run(["--lote", entrada, saida, "--cartorio", "01", "--json"],
                preload={"NORVANE_KILL_PLACED": "/" + pdfs[4] + ".p7s"})
    expect(r.wait() == -signal.SIGKILL, "the kill at the .p7s did not come: exit %s" % r.process.returncode)
    expect(os.path.exists(os.path.join(saida, pdfs[4] + ".p7s")), "row 5's .p7s is not there")
    expect(not any(e.get("arquivo") == pdfs[4] and e.get("evento") == "assinado" for e in journal_of(saida)),
           "the journal knew of row 5's signature")
    rerun_and_check(cli, "killed at row 5's .p7s", entrada, saida, in_flight(saida, pdfs))

    # SIGKILL as the journal was to record row 7 as sent: the service has it, the journal not.
    standin = cli.serve(delay_ms=100)
    entrada, saida = cli.folders("queda-diario", count=10)
    pdfs = sorted(os.listdir(entrada))
    r = cli.run(["--lote", entrada, saida, "--cartorio", "01", "--json"],
                preload={"NORVANE_KILL_WRITE": "/" + JOURNAL,
                         "NORVANE_KILL_WRITE_HAS": '"arquivo":"%s"|"evento":"enviado"' % pdfs[6]})
    expect(r.wait() == -signal.SIGKILL, "the kill at the journal did not come: exit %s" % r.process.returncode)
    expect(pdfs[6][:23] in standin.accepted() and pdfs[6] not in sent_in_journal(saida),
           "row 7 should be sent and not journaled")
    twice = rerun_and_check(cli, "killed before row 7's sent line", entrada, saida, pdfs[6])
    expect(twice == [pdfs[6][:23]], "row 7, unknown to the journal, was not sent again: %s" % twice)


def main():
    parser = argparse.ArgumentParser()
    for name in ("--program", "--shim", "--source", "--version"):
        parser.add_argument(name, required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--homologation-port", type=int, required=True)
    parser.add_argument("--only", default="")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="norvane-cli-")
    cli = Cli(args, work)
    ok = False
    try:
        import books  # the journal and the inputs at their edges
        wanted = args.only.split(",") if args.only else ["escolhas", "login", "rede", "lotes", "instancia", "prazo",
                                                          "queda", *books.CASES]
        thumbprint = arguments_and_choices(cli)
        cases = {"login": lambda: login_failures(cli), "rede": lambda: network_and_tokens(cli),
                 "lotes": lambda: batches(cli, thumbprint),
                 "instancia": lambda: second_instance(cli), "prazo": lambda: trickling_service(cli),
                 "queda": lambda: crashes(cli)}
        cases.update({name: (lambda case: lambda: case(cli))(case) for name, case in books.CASES.items()})
        for name in wanted:
            if name in cases:
                cases[name]()
        ok = True
    except Exception:
        traceback.print_exc()
        print("cli: work folder kept: %s" % work, flush=True)
    finally:
        if cli.standin:
            cli.standin.stop()
    if ok:
        shutil.rmtree(work, ignore_errors=True)
        log("passed")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
