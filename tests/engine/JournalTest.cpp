// The journal of an output folder and the report of a run, as files: what a crash or a
// foreign line leaves is read past, a second run on the same folder is refused, and two
// reports of one second keep both. (A line that cannot be written: tests/engine/BatchRunTest.)

#include "core/Error.h"
#include "engine/Journal.h"
#include "engine/RowRules.h"
#include "engine/RunReport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>


using namespace norvane;

namespace {

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const JournalTarget kTarget{QStringLiteral("P"), QStringLiteral("3550308"), QStringLiteral("01")};

QJsonObject sentLine(const QString& name, const QByteArray& sha) {
    return QJsonObject{{"evento", "enviado"},           {"arquivo", name},
                       {"sha256_pdf", QString::fromLatin1(sha.toHex())}, {"sha256_p7s", QString(64, '0')},
                       {"ambiente", kTarget.ambiente}, {"cd_ibge", kTarget.cdIbge},
                       {"nr_cartorio", kTarget.nrCartorio}};
}

TEST(Journal, ATornLastLineAndForeignLinesAreSkippedAndNewLinesStartClean) {
    QTemporaryDir folder;
    const QString path = folder.filePath(kJournalFileName);
    const QByteArray sha(32, '\x11');
    const QDateTime when = QDateTime::fromString(QStringLiteral("2026-12-10T14:03:07.000-03:00"), Qt::ISODateWithMs);
    {
        Journal journal(folder.path());
        journal.append(sentLine(QStringLiteral("a.pdf"), sha), when);
    }
    const QByteArray whole = contents(path);
    ASSERT_TRUE(whole.endsWith('\n'));
    // Someone else's line, an object of another program, then a line torn by a crash.
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write("isto nao e json\n{\"evento\":\"enviado\",\"arquivo\":\"b.pdf\"}\n{\"norvane\":1,\"evento\":\"envi");
    file.close();

    Journal journal(folder.path());
    const auto sent = journal.sentFile(QStringLiteral("a.pdf"), sha, kTarget);
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->when, when);
    EXPECT_EQ(sent->inputSha256, sha);
    // Another environment, another office, other bytes, another name: not this send.
    EXPECT_FALSE(journal.sentFile(QStringLiteral("a.pdf"), sha, {QStringLiteral("H"), kTarget.cdIbge, kTarget.nrCartorio}));
    EXPECT_FALSE(journal.sentFile(QStringLiteral("a.pdf"), sha, {kTarget.ambiente, kTarget.cdIbge, QStringLiteral("02")}));
    EXPECT_FALSE(journal.sentFile(QStringLiteral("a.pdf"), QByteArray(32, '\x12'), kTarget));
    EXPECT_FALSE(journal.sentFile(QStringLiteral("b.pdf"), sha, kTarget));
    // The torn tail is gone at the opening; the next line follows the last whole one.
    EXPECT_EQ(contents(path), whole + "isto nao e json\n{\"evento\":\"enviado\",\"arquivo\":\"b.pdf\"}\n");
    journal.append(QJsonObject{{"evento", "assinando"}, {"arquivo", "c.pdf"}}, when);
    const std::vector<QJsonObject> lines = Journal::read(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].value("arquivo").toString(), QStringLiteral("c.pdf"));
    EXPECT_EQ(lines[1].value("quando").toString(), QStringLiteral("2026-12-10T14:03:07.000-03:00"));

    // A second run on the same folder waits for this one to end.
    try {
        Journal second(folder.path());
        ADD_FAILURE() << "a second journal of the folder was opened";
    } catch (const Error& error) {
        EXPECT_EQ(error.kind(), ErrorKind::FileError);
        EXPECT_TRUE(error.message().contains(QStringLiteral("outro lote"))) << error.what();
    }
    // A folder that is not there: nothing can be recorded, so nothing is done.
    try {
        Journal missing(folder.filePath(QStringLiteral("nao-existe")));
        ADD_FAILURE() << "a journal was opened in a missing folder";
    } catch (const Error& error) {
        EXPECT_EQ(error.kind(), ErrorKind::FileError);
        EXPECT_TRUE(error.message().contains(QStringLiteral("a pasta não existe"))) << error.what();
    }
}

TEST(RunReport, TwoReportsOfTheSameSecondAreBothKeptAndFieldsAreQuoted) {
    QTemporaryDir folder;
    RowModel model(RowModel::Kind::Batch);
    RowRecord row;
    row.file = QStringLiteral("x;\"y\".pdf");
    row.status = RowStatus::Error;
    row.observation = QStringLiteral("linha 1\nlinha 2");
    model.append(row);
    LoginContext context;
    context.Ambiente = QStringLiteral("H");
    const RunReport report(model, context, folder.path());
    const QDateTime when = QDateTime::fromString(QStringLiteral("2026-12-10T14:03:07"), Qt::ISODate);
    const QString first = report.write(when);
    const QString second = report.write(when);
    EXPECT_EQ(QFileInfo(first).fileName(), QStringLiteral("relatorio-20261210-140307.csv"));
    EXPECT_EQ(QFileInfo(second).fileName(), QStringLiteral("relatorio-20261210-140307-2.csv"));
    EXPECT_TRUE(QFileInfo(first).permissions().testFlag(QFileDevice::ReadOther));
    const QByteArray text = contents(first);
    EXPECT_EQ(text, contents(second));
    EXPECT_TRUE(text.startsWith("\xEF\xBB\xBF" "Arquivo;Chave;Tamanho;SHA-256 do PDF;")) << text.toStdString();
    EXPECT_TRUE(text.contains("\r\n\"x;\"\"y\"\".pdf\";;;;;Erro;\"linha 1\nlinha 2\";")) << text.toStdString();
    // Nothing else is left in the folder (no temporary file).
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

}  // namespace
