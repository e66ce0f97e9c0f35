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

#include <sys/stat.h>
#include "support/ErrorOf.h"


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

void writeRaw(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

const QByteArray kHash(64, 'a');
const QByteArray kWhen = "2026-12-10T14:03:07.000-03:00";

// A send line as written by hand, with `field` set to `value` (raw JSON), or left out when
// `value` is empty.
QByteArray handLine(const QByteArray& field = {}, const QByteArray& value = {}) {
    const std::vector<std::pair<QByteArray, QByteArray>> fields{
        {"norvane", "1"},           {"evento", "\"enviado\""},       {"quando", '"' + kWhen + '"'},
        {"arquivo", "\"a.pdf\""},   {"sha256_pdf", '"' + kHash + '"'}, {"sha256_p7s", '"' + kHash + '"'},
        {"ambiente", "\"P\""},      {"cd_ibge", "\"3550308\""},      {"nr_cartorio", "\"01\""}};
    QByteArray line = "{";
    bool replaced = false;
    for (const auto& [name, written] : fields) {
        const bool that = name == field;
        replaced = replaced || that;
        if (that && value.isEmpty()) continue;
        if (line.size() > 1) line += ',';
        line += '"' + name + "\":" + (that ? value : written);
    }
    if (!replaced && !field.isEmpty()) line += ",\"" + field + "\":" + value;
    return line + "}\n";
}

TEST(Journal, OnlyARegularFileOfTheFolderIsAJournalAndNothingIsWrittenThroughALink) {
    QTemporaryDir work;
    const QString outside = work.filePath("fora.txt");
    writeRaw(outside, "linha de outro programa\nsem fim de linha");
    struct Case {
        const char* what;
        std::function<void(const QString& journal)> make;
    };
    const std::vector<Case> cases{
        {"a link to a file outside", [&](const QString& j) { ASSERT_TRUE(QFile::link(outside, j)); }},
        {"a link to /dev/zero", [](const QString& j) { ASSERT_TRUE(QFile::link("/dev/zero", j)); }},
        {"a dangling link", [&](const QString& j) { ASSERT_TRUE(QFile::link(work.filePath("nada"), j)); }},
        {"a folder", [](const QString& j) { ASSERT_TRUE(QDir().mkdir(j)); }},
        {"a pipe", [](const QString& j) { ASSERT_EQ(::mkfifo(QFile::encodeName(j).constData(), 0644), 0); }},
    };
    int n = 0;
    for (const Case& c : cases) {
        const QString folder = work.filePath(QString::number(++n));
        ASSERT_TRUE(QDir().mkdir(folder));
        const QString journal = folder + "/" + kJournalFileName;
        c.make(journal);
        const std::string error = test::errorOf([&] { Journal opened(folder); });
        EXPECT_NE(error.find("Não foi possível abrir o diário da pasta"), std::string::npos) << c.what << ": " << error;
        EXPECT_NE(error.find("Nada foi assinado nem enviado"), std::string::npos) << c.what << ": " << error;
        EXPECT_TRUE(Journal::read(journal).empty()) << c.what;
    }
    EXPECT_EQ(contents(outside), "linha de outro programa\nsem fim de linha");
    EXPECT_FALSE(QFileInfo::exists(work.filePath("nada")));
}

TEST(Journal, AWholeLastLineWithoutItsNewlineCountsAndOnlyALineThatDoesNotParseIsTorn) {
    QTemporaryDir folder;
    const QString path = folder.filePath(kJournalFileName);
    const QByteArray line = handLine();
    writeRaw(path, line.chopped(1));  // as an editor saves it
    const JournalTarget target{"P", "3550308", "01"};
    {
        Journal journal(folder.path());
        const auto sent = journal.sentFile("a.pdf", QByteArray::fromHex(kHash), target);
        ASSERT_TRUE(sent);
        EXPECT_EQ(sent->when, QDateTime::fromString(kWhen, Qt::ISODateWithMs));
        journal.append(QJsonObject{{"evento", "assinando"}, {"arquivo", "b.pdf"}}, QDateTime::currentDateTime());
    }
    EXPECT_TRUE(contents(path).startsWith(line)) << contents(path).toStdString();
    ASSERT_EQ(Journal::read(path).size(), 2u);

    // A line cut in the middle does not parse: it is cut off, the whole ones stay.
    const QByteArray whole = contents(path);
    writeRaw(path, whole + line.left(line.size() / 2));
    Journal journal(folder.path());
    EXPECT_EQ(contents(path), whole);
    EXPECT_TRUE(journal.sentFile("a.pdf", QByteArray::fromHex(kHash), target));
}

TEST(Journal, OnlyALineWhoseEveryFieldHasItsTypeAndFormCountsAsASend) {
    const JournalTarget target{"P", "3550308", "01"};
    const std::vector<std::pair<QByteArray, QByteArray>> wrong{
        {"sha256_pdf", '"' + kHash.toUpper() + '"'},
        {"sha256_pdf", '"' + QByteArray(64, 'g') + '"'},
        {"sha256_pdf", '"' + QByteArray(62, 'a') + '"'},
        {"sha256_p7s", '"' + QByteArray(63, 'a') + "A\""},
        {"sha256_p7s", {}},
        {"quando", {}},
        {"quando", "\"ontem\""},
        {"quando", "\"2026-13-40T14:03:07.000-03:00\""},
        {"quando", "12345"},
        {"arquivo", "123"},
        {"id", "\"77\""},
        {"ambiente", "1"},
        {"cd_ibge", "3550308"},
        {"nr_cartorio", "null"},
        {"norvane", "\"1\""},
    };
    for (const auto& [field, value] : wrong) {
        QTemporaryDir folder;
        writeRaw(folder.filePath(kJournalFileName), handLine(field, value));
        Journal journal(folder.path());
        EXPECT_FALSE(journal.sentFile("a.pdf", QByteArray::fromHex(kHash), target))
            << field.toStdString() << ": " << value.toStdString();
    }
    // A manual send needs its ID as a string, and its key.
    QTemporaryDir folder;
    QByteArray manual = handLine("arquivo", {});
    writeRaw(folder.filePath(kJournalFileName),
             manual.chopped(2) + ",\"id\":123,\"chave\":\"k\"}\n" + manual.chopped(2) + ",\"id\":\"77\"}\n" +
                 handLine());
    Journal journal(folder.path());
    EXPECT_FALSE(journal.sentInstrument("123", QByteArray::fromHex(kHash), target));
    EXPECT_FALSE(journal.sentInstrument("77", QByteArray::fromHex(kHash), target));
    // The well-formed line among them counts.
    EXPECT_TRUE(journal.sentFile("a.pdf", QByteArray::fromHex(kHash), target));
}

TEST(Journal, LookUpsCompareTheValuesAndKeepEveryCharacter) {
    QTemporaryDir folder;
    const QByteArray sha(32, '\x21');
    const QByteArray pdf(32, '\x22');
    const QDateTime when = QDateTime::fromString(kWhen, Qt::ISODateWithMs);
    const JournalTarget other{"P", "3550308", "01\nx"};
    const QString bom = QString(QChar(0xFEFF));
    {
        Journal journal(folder.path());
        QJsonObject line = sentLine("x\na.pdf", sha);
        journal.append(line, when);
        line = sentLine(bom + "b.pdf", sha);
        journal.append(line, when);
        QJsonObject manual = sentLine({}, pdf);
        manual.remove("arquivo");
        manual.insert("id", bom + "77");
        manual.insert("chave", bom + "k");
        manual.insert("sha256_pdf", QString::fromLatin1(pdf.toHex()));
        journal.append(manual, when);
    }
    // Written as they are: U+FEFF in UTF-8 inside the strings.
    EXPECT_TRUE(contents(folder.filePath(kJournalFileName)).contains("\"arquivo\":\"\xEF\xBB\xBF" "b.pdf\""));
    Journal journal(folder.path());
    EXPECT_TRUE(journal.sentFile("x\na.pdf", sha, kTarget));
    // "x\na.pdf" sent to office 01 is not "a.pdf" sent to office "01\nx".
    EXPECT_FALSE(journal.sentFile("a.pdf", sha, other));
    EXPECT_TRUE(journal.sentFile(bom + "b.pdf", sha, kTarget));
    EXPECT_FALSE(journal.sentFile("b.pdf", sha, kTarget));
    EXPECT_TRUE(journal.sentInstrument(bom + "77", pdf, kTarget));
    EXPECT_FALSE(journal.sentInstrument("77", pdf, kTarget));
    // The same ID with another PDF is another send.
    EXPECT_FALSE(journal.sentInstrument(bom + "77", sha, kTarget));
    const std::vector<QJsonObject> lines = Journal::read(folder.filePath(kJournalFileName));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].value("arquivo").toString(), bom + "b.pdf");
    EXPECT_EQ(lines[2].value("chave").toString(), bom + "k");
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

// A cell that a spreadsheet would run as a formula is written as text: an apostrophe before
// it, and quoted; Python's csv reads it back with the apostrophe.
TEST(RunReport, CellsThatLookLikeFormulasAreWrittenAsText) {
    QTemporaryDir folder;
    RowModel model(RowModel::Kind::Batch);
    RowRecord row;
    row.file = QStringLiteral("=HYPERLINK(\"http://x\";\"a\").pdf");
    row.key = QStringLiteral("+5511");
    row.size = QStringLiteral("-1");
    row.status = RowStatus::Error;
    row.observation = QStringLiteral("@SUM(A1)");
    model.append(row);
    row.file = QStringLiteral("\tcmd.pdf");
    row.key = QStringLiteral("\rx");
    row.size = QStringLiteral("1,00 Kb.");
    row.observation = QStringLiteral("a=b-c");
    model.append(row);
    LoginContext context;
    context.Certificado_Nome = QStringLiteral("=FULANO");
    const QByteArray text = RunReport(model, context, folder.path()).text();
    EXPECT_TRUE(text.contains("\r\n\"'=HYPERLINK(\"\"http://x\"\";\"\"a\"\").pdf\";\"'+5511\";\"'-1\";;;Erro;\"'@SUM(A1)\";"
                              "\"'=FULANO\";"))
        << text.toStdString();
    // Only the first character counts.
    EXPECT_TRUE(text.contains("\r\n\"'\tcmd.pdf\";\"'\rx\";1,00 Kb.;;;Erro;a=b-c;")) << text.toStdString();
}

}  // namespace
