// The edges of a batch run: an input that changed after the intake read it, and a report that
// cannot be written. Against a SoftHSM token and the stand-in service, with the real intake.

#include "engine/BatchIntake.h"
#include "engine/BatchRunFixture.h"

using namespace norvane;
using namespace norvane::test;
using namespace norvane::test::batchrun;

namespace {

const QString kChanged = QStringLiteral("O arquivo mudou depois da leitura da pasta de entrada (");

// Emptied, cut in half, replaced by text of the same size (no PDF/A mark), marked as typed by
// hand (the same size): each is "Erro" with why, and nothing of it is signed or sent. The
// file left as it was is signed and sent, and the report gives the size of its bytes signed.
TEST_F(BatchRun, AnInputThatNoLongerPassesTheIntakeAtItsSignatureIsAnErrorAndNothingOfItIsSent) {
    const QString in = folder("entrada"), out = folder("saida");
    const QStringList names = inputs(in, 1, 5);
    model.clear();
    ASSERT_FALSE(intakeFolder(model, in, context));
    ASSERT_EQ(statuses(), QStringList(5, ""));

    writeFile(in + "/" + names[0], "");
    writeFile(in + "/" + names[1], pdf(2).left(pdf(2).size() / 2));
    writeFile(in + "/" + names[2], QByteArray(pdf(3).size(), 'x'));
    const QByteArray mark = "{\"manual\":\"1\"}";
    writeFile(in + "/" + names[3], QByteArray(pdf(4)).replace(0, mark.size(), mark));
    const RunOutcome outcome = runBatch(in, out);

    EXPECT_TRUE(outcome.end.completed);
    EXPECT_EQ(statuses(), (QStringList{"Erro", "Erro", "Erro", "Erro", "Enviado"}));
    for (int r = 0; r < 4; ++r)
        EXPECT_TRUE(model.row(r).observation->startsWith(kChanged)) << model.row(r).observation->toStdString();
    EXPECT_TRUE(model.row(0).observation->contains("agora tem " + sizeText(0)));
    EXPECT_TRUE(model.row(1).observation->contains("agora tem " + sizeText(pdf(2).size() / 2)));
    EXPECT_TRUE(model.row(2).observation->contains("Arquivo não parece ser um PDF/A"));
    EXPECT_TRUE(model.row(3).observation->contains("Arquivo originado da digitação manual"));
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_EQ(receivedIds(), QStringList{key(5)});
    EXPECT_EQ(received[0].second, pdf(5));
    checkOutputFolder(in, out, {names[4]});
    auto events = journalEvents(out);
    for (int r = 0; r < 4; ++r) EXPECT_EQ(events[names[r]], (QStringList{"assinando", "erro"}));

    const QList<QStringList> report = reportRows(outcome.reportPath);
    ASSERT_EQ(report.size(), 6);
    EXPECT_EQ(report[5][2], sizeText(pdf(5).size()));
    EXPECT_EQ(report[5][3], hexOf(pdf(5)));
    EXPECT_EQ(report[1][5], QStringLiteral("Erro"));
    EXPECT_TRUE(report[1][3].isEmpty());
}

// The listed size no longer matters once the bytes are read: the report gives the size of the
// bytes signed, whatever the grid said before.
TEST_F(BatchRun, TheReportGivesTheSizeOfTheBytesSigned) {
    const QString in = folder("entrada"), out = folder("saida");
    const QStringList names = inputs(in, 1, 1);
    intake(names);  // listed as "1 Kb.", size unknown
    const RunOutcome outcome = runBatch(in, out);
    ASSERT_TRUE(outcome.end.completed);
    EXPECT_EQ(model.row(0).size, sizeText(pdf(1).size()));
    EXPECT_EQ(reportRows(outcome.reportPath).value(1).value(2), sizeText(pdf(1).size()));
}

// The output folder is gone when the report is to be written: the run says so in its
// outcome (the window's last box, the command line's last line), and every row has a
// status and a reason.
TEST_F(BatchRun, AReportThatCannotBeWrittenIsSaidAndEveryRowEndsWithAReason) {
    const QString in = folder("entrada"), out = folder("saida");
    const QStringList names = inputs(in, 1, 3);
    intake(names);
    hooks.changed = [&](const RowChange& change) {
        if (change.kind == RowChange::Signed && change.row == 0) QFile::remove(in + "/" + names[1]);
    };
    hooks.ended = [&] { ASSERT_TRUE(QDir().rename(out, out + "-movida")); };
    const RunOutcome outcome = runBatch(in, out);
    EXPECT_EQ(outcome.end.endedAt, 1);
    EXPECT_TRUE(outcome.reportPath.isEmpty());
    EXPECT_TRUE(outcome.reportError.startsWith("Não foi possível gravar o relatório do lote na pasta " + out))
        << outcome.reportError.toStdString();
    // The deleted input: "Erro" and why; the row after it untouched.
    EXPECT_EQ(statuses(), (QStringList{"Enviado", "Erro", ""}));
    EXPECT_TRUE(model.row(1).observation->contains(names[1])) << model.row(1).observation->toStdString();
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.texts()[0], *model.row(1).observation);
    EXPECT_EQ(receivedIds(), QStringList{key(1)});
}

}  // namespace
