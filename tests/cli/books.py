"""The journal and the inputs at their edges, through the real program (cases of cli.py):
a journal that is a symbolic link, a journal whose last line lacks its newline, and input
files changed after the intake read them."""

import json
import os
import re

from cli import JOURNAL, expect, journal_of, log, row_events, summary_of


def linked_journal(cli):
    """A journal that is a link (to a file outside, to /dev/zero): refused, exit 2, nothing
    signed or sent, nothing written through the link."""
    standin = cli.serve()
    outside = os.path.join(cli.work, "fora.txt")
    with open(outside, "wb") as f:
        f.write(b"linha de outro programa\nsem fim de linha")
    for target, name in ((outside, "link-fora"), ("/dev/zero", "link-zero")):
        entrada, saida = cli.folders(name)
        os.symlink(target, os.path.join(saida, JOURNAL))
        before = len(standin.uploads())
        r = cli.run(["--lote", entrada, saida, "--cartorio", "01", "--json"])
        expect(r.wait(timeout=120) == 2, "%s: exit %s; %s" % (name, r.process.returncode, r.err()))
        expect("Não foi possível abrir o diário da pasta" in r.err() and "link simbólico" in r.err(),
               "%s: the message: %s" % (name, r.err()))
        expect(len(standin.uploads()) == before, "%s: something was sent" % name)
        expect(sorted(os.listdir(saida)) == [JOURNAL], "%s: the output folder holds %s" % (name, os.listdir(saida)))
    with open(outside, "rb") as f:
        expect(f.read() == b"linha de outro programa\nsem fim de linha", "the file outside was written")
    log("a journal that is a link (to a file outside, to /dev/zero): 2, nothing written")


def unterminated_journal(cli):
    """A journal saved by an editor (its last line without the newline): the last file it
    records as sent is not sent again."""
    standin = cli.serve()
    entrada, saida = cli.folders("sem-fim-de-linha")
    r = cli.run(["--lote", entrada, saida, "--cartorio", "01"])
    expect(r.wait() == 0, "the first run: exit %s; %s" % (r.process.returncode, r.err()))
    path = os.path.join(saida, JOURNAL)
    with open(path, "rb") as f:
        lines = f.read().split(b"\n")[:-1]
    last = json.loads(lines[-1])
    expect(last["evento"] == "enviado", "the journal's last line: %s" % last)
    with open(path, "wb") as f:
        f.write(b"\n".join(lines))
    before = len(standin.uploads())
    r = cli.run(["--lote", entrada, saida, "--cartorio", "01", "--json"])
    expect(r.wait() == 0, "the rerun: exit %s; %s" % (r.process.returncode, r.err()))
    expect(len(standin.uploads()) == before, "sent again: %s" % standin.uploads()[before:])
    for number, told in row_events(r.events()).items():
        expect([e["evento"] for e in told] == ["ja-enviado"], "row %d: %s" % (number, told))
        expect(told[-1]["observacao"].endswith("; para reenviar, escolha outra pasta de saída"), told[-1])
    with open(path, "rb") as f:
        kept = f.read()
    expect(kept.startswith(b"\n".join(lines) + b"\n"), "the last line was not kept whole")
    expect(len(journal_of(saida)) == len(lines) + 5, "the journal: %s" % journal_of(saida)[-6:])
    log("a journal without its last newline: its last send counts, nothing sent again")


def changed_inputs(cli):
    """Files emptied, cut in half or replaced by text after the intake: "Erro" with why,
    nothing of them sent, exit 1; the others are sent."""
    standin = cli.serve(delay_ms=300)
    entrada, saida = cli.folders("mudados", count=8)
    pdfs = sorted(os.listdir(entrada))
    r = cli.run(["--lote", entrada, saida, "--cartorio", "01", "--json"])
    while json.loads(r.out_lines.get(timeout=120)).get("evento") != "enviado":
        pass
    with open(os.path.join(entrada, pdfs[5]), "r+b") as f:
        f.truncate(0)
    with open(os.path.join(entrada, pdfs[6]), "r+b") as f:
        f.truncate(os.path.getsize(os.path.join(entrada, pdfs[6])) // 2)
    size = os.path.getsize(os.path.join(entrada, pdfs[7]))
    with open(os.path.join(entrada, pdfs[7]), "wb") as f:
        f.write(b"x" * size)
    expect(r.wait() == 1, "changed inputs: exit %s; %s" % (r.process.returncode, r.err()))
    summary = summary_of(r.events())
    expect(summary["erros"] == 3 and summary["enviados"] == 5, "summary: %s" % summary)
    rows = row_events(r.events())
    for number in (6, 7, 8):
        last = rows[number][-1]
        expect(last["status"] == "Erro" and last["observacao"].startswith(
            "O arquivo mudou depois da leitura da pasta de entrada ("), "row %d: %s" % (number, last))
        expect(not os.path.exists(os.path.join(saida, pdfs[number - 1] + ".p7s")), "row %d was signed" % number)
    expect(re.search(r"agora tem 0[.,]00 Kb\.", rows[6][-1]["observacao"]), rows[6][-1])
    expect("PDF/A" in rows[8][-1]["observacao"], rows[8][-1])
    expect(sorted(standin.accepted()) == sorted(p[:23] for p in pdfs[:5]), "uploads: %s" % standin.accepted())
    log("three inputs changed after the intake: Erro, not sent, exit 1")


def unwritable_report(cli):
    """The output folder is moved away while the last upload is on its way: the run ends at
    that row (its send cannot be recorded) and, last, says that no report was written: a line
    on the standard error and the summary's relatorio_erro."""
    cli.serve(delay_ms=400)
    entrada, saida = cli.folders("sem-relatorio", count=3)
    r = cli.run(["--lote", entrada, saida, "--cartorio", "01", "--json"])
    while True:
        event = json.loads(r.out_lines.get(timeout=120))
        if event.get("evento") == "assinado" and event.get("linha") == 3:
            break
    os.rename(saida, saida + "-movida")
    expect(r.wait() == 2, "the folder moved: exit %s; %s" % (r.process.returncode, r.err()))
    summary = summary_of(r.events())
    said = "Não foi possível gravar o relatório do lote na pasta " + saida
    expect(summary.get("relatorio_erro", "").startswith(said) and "relatorio" not in summary, "summary: %s" % summary)
    expect(r.err().rstrip("\n").split("\n")[-1].startswith(said), "the last line: " + r.err())
    log("the output folder moved during the last upload: 2, the missing report said last")


CASES = {"diario-link": linked_journal, "diario-sem-fim": unterminated_journal, "mudados": changed_inputs,
         "relatorio": unwritable_report}
