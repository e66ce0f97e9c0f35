#!/usr/bin/env python3
"""The smart card stage: the card tests (test_card) on the stack a clerk's card goes through,
pcscd with vpcd's virtual reader, OpenSC's PKCS#11 module registered with p11-kit, and a PIV
card of ours (tests/support/card/piv_card.py) in the reader.

pcscd always serves /run/pcscd/pcscd.comm and vpcd listens on 0.0.0.0:35963, so the stage
runs in a private mount namespace (a folder of its own bound on /run/pcscd, p11-kit's module
folders holding OpenSC's and SoftHSM's registrations alone: the machine's own cards and
tokens are out of sight) and a private network namespace (nothing listens on the host, other
suites keep their ports). That takes root; without it, or without the packages, the stage
says why it was skipped.

    stage.py --tests TEST_CARD_EXE [gtest arguments...]
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77
OPENSC = "/usr/lib/x86_64-linux-gnu/pkcs11/opensc-pkcs11.so"
VPCD = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so"


def skip(reason):
    print("card: etapa do cartão pulada: " + reason, flush=True)
    sys.exit(SKIP)


def missing():
    if os.geteuid() != 0:
        return "precisa de root (namespaces de montagem e de rede para o pcscd e o leitor virtual)"
    for tool in ("pcscd", "unshare", "ip", "mount"):
        if not shutil.which(tool) and not os.path.exists("/usr/sbin/" + tool):
            return "falta o programa %s (scripts/setup.sh instala os pacotes)" % tool
    for path, package in ((OPENSC, "opensc-pkcs11"), (VPCD, "vsmartcard-vpcd")):
        if not os.path.exists(path):
            return "falta %s (pacote %s)" % (path, package)
    try:
        import cryptography  # noqa: F401  (the card's RSA key)
    except ImportError:
        return "falta o módulo Python cryptography (pacote python3-cryptography)"
    probe = subprocess.run(["unshare", "-m", "-n", "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        return "não foi possível criar namespaces: " + probe.stderr.strip()
    return None


def inside(tests, arguments):
    """In the namespaces: loopback up, a pcscd of our own, then the tests."""
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    work = tempfile.mkdtemp(prefix="norvane-card-")
    run = os.path.join(work, "pcscd")
    os.makedirs(run)
    subprocess.run(["mount", "--bind", run, "/run/pcscd"], check=True)
    # p11-kit registers OpenSC and SoftHSM (whose folder of the tests holds no token) alone.
    modules = os.path.join(work, "modules")
    os.makedirs(modules)
    for folder in ("/usr/share/p11-kit/modules", "/etc/pkcs11/modules"):
        for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
            text = open(os.path.join(folder, name), errors="replace").read() if name.endswith(".module") else ""
            if "opensc-pkcs11" in text or "softhsm" in text:
                with open(os.path.join(modules, name), "w") as f:
                    f.write(text)
    for folder in ("/usr/share/p11-kit/modules", "/etc/pkcs11/modules"):
        if os.path.isdir(folder):
            subprocess.run(["mount", "--bind", modules, folder], check=True)
    log = open(os.path.join(work, "pcscd.log"), "wb")
    command = [shutil.which("pcscd") or "/usr/sbin/pcscd", "--foreground"]
    # pcsc-lite 2 (Debian 13) asks polkit whether a client may connect; the namespace has no
    # system bus to reach polkit, so every client would be refused.
    if "--disable-polkit" in subprocess.run(command[:1] + ["--help"], capture_output=True, text=True).stdout:
        command.append("--disable-polkit")
    pcscd = subprocess.Popen(command, stdout=log, stderr=log)
    try:
        deadline = time.monotonic() + 60
        while not os.path.exists(os.path.join(run, "pcscd.comm")):
            if pcscd.poll() is not None or time.monotonic() > deadline:
                sys.exit("card: pcscd did not start; its log: " + open(log.name, errors="replace").read())
            time.sleep(0.05)
        # The card emulator runs under this same interpreter (the one that has cryptography).
        env = dict(os.environ, NORVANE_PCSCD_FOLDER=run, NORVANE_CARD_PYTHON=sys.executable)
        return subprocess.run([tests] + arguments, env=env).returncode
    finally:
        pcscd.terminate()
        try:
            pcscd.wait(20)
        except subprocess.TimeoutExpired:
            pcscd.kill()
            pcscd.wait()
        subprocess.run(["umount", "/run/pcscd"])
        shutil.rmtree(work, ignore_errors=True)


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "--inside":
        sys.exit(inside(sys.argv[2], sys.argv[3:]))
    if len(sys.argv) < 3 or sys.argv[1] != "--tests":
        sys.exit(__doc__)
    reason = missing()
    if reason:
        skip(reason)
    os.makedirs("/run/pcscd", exist_ok=True)  # where the test folder is bound (pcscd's own place)
    started = time.monotonic()
    code = subprocess.run(["unshare", "-m", "-n", sys.executable, os.path.abspath(__file__), "--inside",
                           sys.argv[2]] + sys.argv[3:]).returncode
    print("card: etapa do cartão em %.1f s" % (time.monotonic() - started), flush=True)
    sys.exit(code)


if __name__ == "__main__":
    main()
