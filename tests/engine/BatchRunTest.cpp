// Whole runs of the batch and manual rows with their journal and report, against a SoftHSM
// token and the stand-in service: reruns, the service failing at row 10, input files changed
// under the batch, the output folder removed, a full disk, a token pulled out at row 30.
// Every case ends with three checks: what the stand-in received (no document twice), what
// the output folder holds (no half-written file; every .p7s verifies with openssl) and what
// the journal says.

#include "engine/BatchRunFixture.h"

using namespace norvane;
using namespace norvane::test;
using namespace norvane::test::batchrun;

namespace {

TEST_F(BatchRun, ARerunSendsNothingAgainAReplacedFileIsSentWithItsNewHashAndTheReportMatchesTheFiles) {
    const QString in = folder("entrada"), out = folder("saida");
    QStringList names = inputs(in, 1, 3);
    // A name that CSV must quote.
    names << key(4) + QStringLiteral(" \"segunda via\"; cópia.pdf");
    writeFile(in + "/" + names.back(), pdf(4));
    intake(names);
    const RunOutcome first = runBatch(in, out);
    EXPECT_TRUE(first.end.completed);
    EXPECT_EQ(statuses(), QStringList(4, "Enviado"));
    EXPECT_EQ(receivedIds().size(), 4);

    // The report, as Python's csv reads it: a row per grid row, the hashes of the files.
    ASSERT_FALSE(first.reportPath.isEmpty());
    EXPECT_EQ(QFileInfo(first.reportPath).dir().absolutePath(), QDir(out).absolutePath());
    const QList<QStringList> report = reportRows(first.reportPath);
    ASSERT_EQ(report.size(), 5);
    EXPECT_EQ(report[0], (QStringList{"Arquivo", "Chave", "Tamanho", "SHA-256 do PDF", "SHA-256 do .p7s", "Status",
                                      "Observação", "Assinante", "Cartório", "Ambiente", "Data e hora do envio"}));
    for (int r = 0; r < 4; ++r) {
        SCOPED_TRACE(names[r].toStdString());
        const QStringList& row = report[r + 1];
        ASSERT_EQ(row.size(), 11);
        EXPECT_EQ(row[0], names[r]);
        EXPECT_EQ(row[1], names[r].left(23));
        EXPECT_EQ(row[3], hexOf(readWholeFile(in + "/" + names[r])));
        EXPECT_EQ(row[4], hexOf(readWholeFile(out + "/" + names[r] + ".p7s")));
        EXPECT_EQ(row[5], "Enviado");
        EXPECT_TRUE(row[7].contains("123.456.789-09")) << row[7].toStdString();
        EXPECT_TRUE(row[8].contains(kIbge) && row[8].contains("(01)")) << row[8].toStdString();
        EXPECT_EQ(row[9], QStringLiteral("Produção"));
        EXPECT_TRUE(QDateTime::fromString(row[10], "dd/MM/yyyy HH:mm:ss").isValid()) << row[10].toStdString();
    }

    // The same files again, in a new grid (as after a restart): nothing is signed or sent.
    intake(names);
    const RunOutcome second = runBatch(in, out);
    EXPECT_TRUE(second.end.completed);
    EXPECT_NE(second.reportPath, first.reportPath);
    EXPECT_EQ(statuses(), QStringList(4, "Enviado"));
    for (const RowRecord& row : model.rows()) {
        EXPECT_TRUE(row.observation->startsWith(QStringLiteral("Já enviado em ")) &&
                    row.observation->endsWith(
                        QStringLiteral(" (diário da pasta de saída); para reenviar, escolha outra pasta de saída")))
            << row.observation->toStdString();
    }
    EXPECT_TRUE(receivedIds().size() == 4);
    EXPECT_EQ(dialogs.pinPrompts.size(), 1u);

    // One file replaced by other bytes under the same name: signed from them and sent.
    writeFile(in + "/" + names[1], pdf(2, "nova versao\n"));
    intake(names);
    EXPECT_TRUE(runBatch(in, out).end.completed);
    EXPECT_EQ(model.row(1).observation, kSentText);
    EXPECT_EQ(receivedIds(), (QStringList{key(1), key(2), key(3), key(4), key(2)}));
    EXPECT_EQ(received.back().second, pdf(2, "nova versao\n"));
    checkOutputFolder(in, out, names);
    auto events = journalEvents(out);
    EXPECT_EQ(events[names[0]], (QStringList{"assinando", "assinado", "enviado", "ja-enviado", "ja-enviado"}));
    EXPECT_EQ(events[names[1]], (QStringList{"assinando", "assinado", "enviado", "ja-enviado", "assinando", "assinado",
                                             "enviado"}));
    EXPECT_EQ(sentHash[names[1]], hexOf(pdf(2, "nova versao\n")));
    EXPECT_EQ(QDir(out).entryList({"relatorio-*.csv"}, QDir::Files).size(), 3);
}

TEST_F(BatchRun, TheManualTabLeavesAloneTheInstrumentsItsJournalRecordsAsSent) {
    const QString save = folder("gravacao");
    RowModel manual(RowModel::Kind::Manual);
    RowEngine manualEngine(manual);
    const auto fill = [&](const QStringList& ids) {
        manual.clear();
        for (const QString& id : ids) {
            RowRecord row;
            row.id = id;
            row.key = key(id.toInt());
            row.pdfBase64 = pdf(id.toInt()).toBase64();
            row.status = RowStatus::Waiting;
            row.observation = QString();
            manual.append(row);
        }
    };
    fill({"501", "502"});
    EXPECT_TRUE(runManualRows(manualEngine, {context, save}, signing, http).end.completed);
    fill({"501", "502", "503"});
    const RunOutcome again = runManualRows(manualEngine, {context, save}, signing, http);
    EXPECT_TRUE(again.end.completed);
    EXPECT_EQ(manual.index(0, manual.columnOf(RowColumn::Status)).data().toString(), "Enviado");
    EXPECT_TRUE(manual.row(1).observation->endsWith(
        QStringLiteral("(diário da pasta de gravação); para reenviar, escolha outra pasta de gravação")));
    EXPECT_EQ(manual.row(2).observation, kSentText);
    EXPECT_EQ(receivedIds(), (QStringList{"501", "502", "503"}));
    EXPECT_EQ(reportRows(again.reportPath).value(1).value(0), QStringLiteral("501"));

    // A corrected PDF under ID 502 is another send; 501's same PDF is still left alone.
    fill({"501", "502"});
    RowRecord corrected = manual.row(1);
    corrected.pdfBase64 = pdf(502, "corrigido\n").toBase64();
    manual.replace(1, corrected);
    EXPECT_TRUE(runManualRows(manualEngine, {context, save}, signing, http).end.completed);
    EXPECT_EQ(manual.row(0).status, RowStatus::Sent);
    EXPECT_TRUE(manual.row(0).observation->startsWith(QStringLiteral("Já enviado em ")));
    EXPECT_EQ(manual.row(1).observation, kSentText);
    EXPECT_EQ(receivedIds(), (QStringList{"501", "502", "503", "502"}));

    // The folder: the signatures (the PDFs of the instruments sent are removed).
    QStringList signatures;
    for (const QString id : {"501", "502", "503"}) {
        signatures << key(id.toInt()) + ".pdf.p7s";
        const VerifyResult verified = verifyWithOpenssl(save + "/" + signatures.back(), pki[Cert::Root].certPath);
        EXPECT_TRUE(verified.ok) << verified.log.toStdString();
        EXPECT_EQ(verified.content, id == "502" ? pdf(502, "corrigido\n") : pdf(id.toInt()));
    }
    EXPECT_EQ(QDir(save).entryList({"*.pdf*"}, QDir::Files | QDir::Hidden), signatures);
    auto events = journalEvents(save);
    EXPECT_EQ(events["501"], (QStringList{"assinando", "assinado", "enviado", "ja-enviado", "ja-enviado"}));
    EXPECT_EQ(events["502"], (QStringList{"assinando", "assinado", "enviado", "ja-enviado", "assinando", "assinado",
                                          "enviado"}));
    EXPECT_EQ(events["503"], (QStringList{"assinando", "assinado", "enviado"}));
}

// The service fails as the 10th of 12 rows is sent: the run ends there with a box that says
// why, nothing after it is sent, and the journal records the nine rows sent before.
TEST_F(BatchRun, ServiceFaultsAtRowTenEndTheRunThere) {
    struct Fault {
        const char* name;
        std::function<void(ScriptedAnswer&)> answer;  // none: the stand-in stops listening
        QString boxHas;
    };
    const std::vector<Fault> faults{
        {"connection refused", nullptr, QStringLiteral("conexão recusada")},
        {"never answers", [](ScriptedAnswer& a) { a.hang = true; }, QStringLiteral("não respondeu em 1 segundos")},
        {"closes mid-answer", [](ScriptedAnswer& a) { a.body = QByteArray(4000, 'x'); a.closeAfter = 1000; },
         QStringLiteral("foi interrompida")},
        {"redirect", [](ScriptedAnswer& a) {
             a.status = "HTTP/1.1 301 Moved Permanently";
             a.headers.append(qMakePair(QByteArray("Location"), QByteArray("http://127.0.0.1:1/assinadorNorvane/")));
         },
         QStringLiteral("redirecionamento para http://127.0.0.1:1/assinadorNorvane/")},
        {"50 MiB", [](ScriptedAnswer& a) { a.body = "{\"retorno\":\"ok\"}"; a.bodySize = 50 << 20; a.contentLength = false; },
         QStringLiteral("passa de 8 MiB")},
    };
    http.setReadTimeoutMs(1000);
    int first = 100;
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.name);
        const QString in = folder(QStringLiteral("entrada-%1").arg(first)), out = folder(QStringLiteral("saida-%1").arg(first));
        const QStringList names = inputs(in, first, 12);
        first += 100;
        intake(names);
        const int before = int(receivedIds().size());
        for (int i = 0; i < 9; ++i) standIn.script(ScriptedAnswer::ok("{}"));
        if (fault.answer) {
            ScriptedAnswer answer = ScriptedAnswer::ok("{}");
            fault.answer(answer);
            standIn.script(answer);
        } else {
            hooks.changed = [&](const RowChange& change) {
                if (change.kind == RowChange::Sent && change.row == 8) standIn.listen(false);
            };
        }
        dialogs.boxes.clear();
        const RunOutcome outcome = runBatch(in, out);
        hooks.changed = nullptr;
        standIn.listen(true);

        EXPECT_FALSE(outcome.end.completed);
        EXPECT_EQ(outcome.end.endedAt, 9);
        const QStringList after = statuses();
        EXPECT_EQ(after.mid(0, 9), QStringList(9, "Enviado"));
        EXPECT_EQ(after[9], "Assinado");
        EXPECT_TRUE(after[10] == "" || after[10] == "Assinado") << after[10].toStdString();
        EXPECT_EQ(after[11], "");
        ASSERT_EQ(dialogs.boxes.size(), 1u);
        EXPECT_TRUE(dialogs.texts()[0].contains(fault.boxHas)) << dialogs.texts()[0].toStdString();
        // The report is written also when an error ended the run.
        EXPECT_EQ(reportRows(outcome.reportPath).size(), 13);

        QStringList sentKeys;
        for (int i = 0; i < (fault.answer ? 10 : 9); ++i) sentKeys << names[i].left(23);
        EXPECT_EQ(receivedSince(before), sentKeys);
        QStringList signedNames = names.mid(0, 10);
        if (after[10] == "Assinado") signedNames << names[10];
        checkOutputFolder(in, out, signedNames);
        auto events = journalEvents(out);
        for (int i = 0; i < 9; ++i) EXPECT_EQ(events[names[i]], (QStringList{"assinando", "assinado", "enviado"}));
        EXPECT_EQ(events[names[9]], (QStringList{"assinando", "assinado", "interrompido"}));
        EXPECT_EQ(events.count(names[11]), 0u);

        // Refused, the 10th row never reached the service: the next press sends it and the rest.
        if (!fault.answer) {
            dialogs.boxes.clear();
            EXPECT_TRUE(runBatch(in, out).end.completed);
            EXPECT_EQ(statuses(), QStringList(12, "Enviado"));
            EXPECT_EQ(receivedSince(before + 9), (QStringList{names[9].left(23), names[10].left(23), names[11].left(23)}));
        }
    }
}

// Files changed under the batch, between the intake and their signature: one replaced (its new
// bytes are signed and sent, and the journal has their hash), one deleted (the run ends there).
TEST_F(BatchRun, AnInputReplacedOrDeletedBeforeItsSignature) {
    const QString in = folder("entrada"), out = folder("saida");
    const QStringList names = inputs(in, 1, 6);
    intake(names);
    hooks.changed = [&](const RowChange& change) {
        if (change.kind != RowChange::Signed) return;
        // Row i + 1's signature begins only after row i's change was told.
        if (change.row == 1) writeFile(in + "/" + names[2], pdf(3, "trocado\n"));
        if (change.row == 3) QFile::remove(in + "/" + names[4]);
    };
    const RunOutcome outcome = runBatch(in, out);
    EXPECT_EQ(outcome.end.endedAt, 4);
    // The deleted one ends "Erro" and says why (the box's text).
    EXPECT_EQ(statuses(), (QStringList{"Enviado", "Enviado", "Enviado", "Enviado", "Erro", ""}));
    ASSERT_FALSE(dialogs.texts().empty());
    EXPECT_EQ(model.row(4).observation, dialogs.texts()[0]);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_TRUE(dialogs.texts()[0].contains(names[4])) << dialogs.texts()[0].toStdString();
    EXPECT_EQ(receivedIds(), (QStringList{key(1), key(2), key(3), key(4)}));
    EXPECT_EQ(received[2].second, pdf(3, "trocado\n"));
    checkOutputFolder(in, out, names.mid(0, 4));
    auto events = journalEvents(out);
    EXPECT_EQ(sentHash[names[2]], hexOf(pdf(3, "trocado\n")));
    EXPECT_EQ(events[names[4]], (QStringList{"assinando", "erro", "interrompido"}));
}

// The output folder goes away mid-batch (removed, or moved elsewhere), or the disk fills up:
// the record of a sent row cannot be written, and the run ends at that row with a box that
// says so; no half-written file is left and the journal still reads.
TEST_F(BatchRun, AnOutputFolderGoneOrAFullDiskEndsTheRunWithAJournalThatStillReads) {
    enum Case { Removed, Moved, Full };
    int first = 100;
    for (const Case what : {Removed, Moved, Full}) {
        SCOPED_TRACE(what);
        const QString in = folder(QStringLiteral("entrada-%1").arg(first)), out = folder(QStringLiteral("saida-%1").arg(first));
        const QStringList names = inputs(in, first, 10);
        first += 100;
        intake(names);
        const int before = int(receivedIds().size());
        struct rlimit saved {};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        // Told before the journal: row 5's send is the first line that cannot be written.
        BeforeTheJournal beforeTheJournal;
        engine.addRecorder(&beforeTheJournal);
        beforeTheJournal.changed = [&](const RowChange& change) {
            if (change.kind != RowChange::Sent || change.row != 5) return;
            // Row 6's signature may be written meanwhile: removed until the folder is gone.
            for (int i = 0; what == Removed && i < 100 && QFileInfo::exists(out); ++i) QDir(out).removeRecursively();
            if (what == Moved) QDir().rename(out, out + "-movida");
            if (what == Full) {
                struct rlimit small = saved;
                small.rlim_cur = rlim_t(QFileInfo(out + "/" + kJournalFileName).size() + 40);
                setrlimit(RLIMIT_FSIZE, &small);
            }
        };
        hooks.ended = [&] { setrlimit(RLIMIT_FSIZE, &saved); };
        dialogs.boxes.clear();
        const RunOutcome outcome = runBatch(in, out);
        engine.removeRecorder(&beforeTheJournal);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);
        hooks.changed = nullptr;
        hooks.ended = nullptr;

        EXPECT_EQ(outcome.end.endedAt, 5);
        ASSERT_FALSE(dialogs.boxes.empty());
        EXPECT_TRUE(dialogs.texts()[0].startsWith(QStringLiteral("O serviço aceitou o arquivo ") + names[5] +
                                                  QStringLiteral(", mas o envio não pôde ser registrado. Não foi possível "
                                                                 "gravar o diário ")))
            << dialogs.texts()[0].toStdString();
        EXPECT_EQ(statuses().mid(0, 6), QStringList(6, "Enviado"));
        QStringList sentKeys;
        for (int i = 0; i < 6; ++i) sentKeys << names[i].left(23);
        EXPECT_EQ(receivedSince(before), sentKeys);
        if (what == Removed) {
            EXPECT_FALSE(QFileInfo::exists(out));  // nothing made it again
            EXPECT_TRUE(outcome.reportPath.isEmpty());
            continue;
        }
        const QString kept = what == Moved ? out + "-movida" : out;
        // Rows 0-5 are signed; row 6 may have been signed meanwhile.
        QStringList signedNames = names.mid(0, 6);
        if (QFileInfo::exists(kept + "/" + names[6] + ".p7s")) signedNames << names[6];
        checkOutputFolder(in, kept, signedNames);
        auto events = journalEvents(kept);
        for (int i = 0; i < 5; ++i) EXPECT_EQ(events[names[i]], (QStringList{"assinando", "assinado", "enviado"}));
        EXPECT_EQ(events[names[5]].mid(0, 2), (QStringList{"assinando", "assinado"}));
        EXPECT_FALSE(events[names[5]].contains("enviado"));
        if (what == Full) {
            EXPECT_FALSE(outcome.reportPath.isEmpty());
        }
    }
}

// The token is pulled out as the 30th row is taken up: the run ends there with the key's box.
// Put back, a new grid of the same files (as after a restart) goes on from row 30: the rows
// before show "Enviado" from the journal and are not sent again.
TEST_F(BatchRun, ATokenPulledOutAtRowThirtyAndPutBackGoesOnFromThereWithoutResending) {
    const QString in = folder("entrada"), out = folder("saida");
    const QStringList names = inputs(in, 1, 32);
    intake(names);
    hooks.changed = [&](const RowChange& change) {
        if (change.kind == RowChange::Signing && change.row == 29) tokens.removeToken("Token A");
    };
    const RunOutcome outcome = runBatch(in, out);
    hooks.changed = nullptr;
    EXPECT_EQ(outcome.end.endedAt, 29);
    QStringList expected = QStringList(29, "Enviado") << "Assinando" << "" << "";
    EXPECT_EQ(statuses(), expected);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_TRUE(dialogs.texts()[0].startsWith(QStringLiteral("Erro 11: Chave do certificado não encontrada."))) << dialogs.texts()[0].toStdString();
    EXPECT_EQ(receivedIds().size(), 29);
    checkOutputFolder(in, out, names.mid(0, 29));
    auto events = journalEvents(out);
    EXPECT_EQ(events[names[28]], (QStringList{"assinando", "assinado", "enviado"}));
    EXPECT_EQ(events[names[29]], (QStringList{"assinando", "interrompido"}));

    tokens.addToken("Token A", {Cert::A3});
    dialogs.boxes.clear();
    dialogs.pinAnswers = {QStringLiteral("1234")};
    intake(names);
    EXPECT_TRUE(runBatch(in, out).end.completed);
    EXPECT_EQ(statuses(), QStringList(32, "Enviado"));
    EXPECT_TRUE(model.row(28).observation->startsWith(QStringLiteral("Já enviado em ")));
    EXPECT_EQ(model.row(29).observation, kSentText);
    EXPECT_EQ(receivedIds().size(), 32);
    EXPECT_TRUE(dialogs.boxes.empty());
    checkOutputFolder(in, out, names);
    events = journalEvents(out);
    EXPECT_EQ(events[names[0]], (QStringList{"assinando", "assinado", "enviado", "ja-enviado"}));
    EXPECT_EQ(events[names[29]], (QStringList{"assinando", "interrompido", "assinando", "assinado", "enviado"}));
}

}  // namespace
