#!/usr/bin/env python3
"""Runs a test command with the machine's own tokens out of its sight, so that a card or
token plugged in (a developer's e-CPF) changes nothing in what the tests see:

- p11-kit's module registrations are those of the tests alone: SoftHSM's (the tests' tokens
  are SoftHSM tokens in folders of their own), nothing else (no OpenSC, no vendor driver
  registered on the machine);
- pcscd's socket folder is an empty one: no card reader is seen, also by a vendor driver
  that the program finds by itself.

This is done in a private mount namespace (folders bound over /usr/share/p11-kit/modules,
/etc/pkcs11 and /run/pcscd); as root with `unshare -m`, otherwise in a user namespace of
one's own (`unshare -r -m`). Where neither is possible the command runs as it is, saying so.
The program itself is untouched: it reads every token of the machine.

    own_tokens.py COMMAND [ARGUMENTS...]
"""
import os
import shutil
import subprocess
import sys
import tempfile

MODULE_FOLDERS = ("/usr/share/p11-kit/modules", "/etc/pkcs11/modules")


def softhsm_registration():
    """The text of SoftHSM's module file as the machine registers it (or none)."""
    for folder in MODULE_FOLDERS:
        if not os.path.isdir(folder):
            continue
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            if name.endswith(".module") and os.path.isfile(path):
                text = open(path, errors="replace").read()
                if any(line.strip().startswith("module:") and "softhsm" in line for line in text.splitlines()):
                    return name, text
    return None


def exit_code(returncode):
    """A child's end as an exit code (killed by signal N: 128 + N, as a shell says it)."""
    return returncode if returncode >= 0 else 128 - returncode


def inside(command):
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    work = tempfile.mkdtemp(prefix="norvane-own-tokens-")
    try:
        modules = os.path.join(work, "modules")
        empty = os.path.join(work, "empty")
        os.makedirs(modules)
        os.makedirs(empty)
        registration = softhsm_registration()
        if registration:
            with open(os.path.join(modules, registration[0]), "w") as f:
                f.write(registration[1])
        for folder in MODULE_FOLDERS:
            if os.path.isdir(folder):
                subprocess.run(["mount", "--bind", modules if folder.startswith("/usr") else empty, folder],
                               check=True)
        if os.path.isfile("/etc/pkcs11/pkcs11.conf"):
            blank = os.path.join(work, "pkcs11.conf")
            open(blank, "w").close()
            subprocess.run(["mount", "--bind", blank, "/etc/pkcs11/pkcs11.conf"], check=True)
        if os.path.isdir("/run/pcscd"):
            subprocess.run(["mount", "--bind", empty, "/run/pcscd"], check=True)
        env = dict(os.environ, NORVANE_OWN_TOKENS="1")
        env.pop("PCSCLITE_CSOCK_NAME", None)
        return exit_code(subprocess.run(command, env=env).returncode)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    if sys.argv[1] == "--inside":
        sys.exit(inside(sys.argv[2:]))
    command = sys.argv[1:]
    if os.environ.get("NORVANE_OWN_TOKENS") == "1":  # already out of sight
        os.execvp(command[0], command)
    for unshare in (["unshare", "-m"], ["unshare", "-r", "-m"]):
        if subprocess.run(unshare + ["true"], capture_output=True).returncode == 0:
            sys.exit(exit_code(subprocess.run(unshare + [sys.executable, os.path.abspath(__file__), "--inside"] +
                                              command).returncode))
    print("own_tokens: no private mount namespace here; the tests also see the machine's own tokens",
          file=sys.stderr, flush=True)
    os.execvp(command[0], command)


if __name__ == "__main__":
    main()
