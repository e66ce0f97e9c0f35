// The "Assinatura em Lote" tab, driven by clicks on the real main window against a SoftHSM
// token and the HTTP stand-in.

#include "app/u_Principal.h"
#include "certs/tokens/TokenAccess.h"
#include "support/ScriptedDialogs.h"
#include "support/SignatureChecks.h"
#include "support/SoftHsmTokens.h"
#include "support/StandIn.h"
#include "support/TestPki.h"
#include "ui_u_Principal.h"
#include "tabs/BatchSigning.h"
#include "tabs/Grid.h"

#include <QDir>
#include <QFile>
#include <QFontMetrics>
#include <QFileInfo>
#include <QLocale>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>
#include <map>
#include <tuple>

using namespace norvane::test;

namespace {

const QString kIbge = QStringLiteral("3550308");
const QString kCartorio = QStringLiteral("01");

// A 23-character instrument key: IBGE code, 8 characters, office number, 6 characters.
QString key(const QString& ibge = kIbge, const QString& cartorio = kCartorio, const QString& tail = "000001") {
    return ibge + QStringLiteral("20240115") + cartorio + tail;
}

QByteArray pdf(bool pdfa = true, bool keywords = true, bool manual = false, qsizetype size = 0) {
    QByteArray bytes("%PDF-1.4\n");
    if (manual) bytes += "{\"manual\":\"1\"}\n";
    if (pdfa) bytes += "<pdfaid:part>1</pdfaid:part>\n";
    if (keywords) bytes += "/Keywords (protesto)\n";
    bytes += "%%EOF\n";
    for (int i = 0; bytes.size() < size; ++i) bytes += char('A' + i % 26);
    return bytes;
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
}

// A file whose name is given as bytes (any bytes but "/" and NUL).
void writeRawFile(const QByteArray& path, const QByteArray& bytes) {
    FILE* file = std::fopen(path.constData(), "wb");
    ASSERT_TRUE(file) << path.toStdString();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), file);
    std::fclose(file);
}

struct Row {
    QString name, size, status, observation;
    bool operator==(const Row&) const = default;
};
void PrintTo(const Row& row, std::ostream* out) {
    *out << "{" << row.name.toStdString() << " | " << row.size.toStdString() << " | " << row.status.toStdString()
         << " | " << row.observation.toStdString() << "}";
}

// Also records, at every PIN prompt, the progress line and whether any action control
// could be pressed.
class RecordingDialogs : public ScriptedDialogs {
public:
    TFPrincipal* window = nullptr;
    std::vector<QString> progressAtPin;
    std::vector<bool> anyActionEnabledAtPin;
    std::vector<bool> tabStripEnabledAtPin;
    std::optional<QString> askPin(const QString& tokenLabel, const QString& message) override {
        if (window) {
            progressAtPin.push_back(window->ui->Progresso->text());
            bool any = false;
            for (const QWidget* control : window->ActionControls) any = any || control->isEnabled();
            anyActionEnabledAtPin.push_back(any);
            tabStripEnabledAtPin.push_back(window->ui->TabControl1->Tabs()->isEnabled());
        }
        return ScriptedDialogs::askPin(tokenLabel, message);
    }
};

class BatchTab : public ::testing::Test {
protected:
    virtual bool alwaysAuthenticate() const { return false; }

    void SetUp() override {
        QLocale::setDefault(QLocale(QLocale::Portuguese, QLocale::Brazil));
        norvane::tokens::forgetPins();
        tokens.keysAlwaysAuthenticate = alwaysAuthenticate();
        tokens.addToken("Token A", {Cert::A3});
        dialogs.pickAnswers = {0};
        ASSERT_EQ(window.ListaCertificados(1), QStringLiteral("1"));
        window.cd_ibge = kIbge;
        window.nr_cartorio = kCartorio;
        window.cd_usuario = QStringLiteral("42");
        window.Ambiente = QStringLiteral("P");
        window.urlAPI = standIn.baseUrl();
        standIn.setDefault(ScriptedAnswer::ok("{\"retorno\":\"ok\"}"));
        ASSERT_TRUE(QDir().mkpath(in()) && QDir().mkpath(out()));
        dialogs.window = &window;
    }
    void TearDown() override { QLocale::setDefault(QLocale::c()); }

    QString in() const { return work.filePath("entrada"); }
    QString out() const { return work.filePath("saida"); }
    QString inFile(const QString& name) const { return in() + "/" + name; }
    QString outFile(const QString& name) const { return out() + "/" + name; }

    void click(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }
    void intake() {
        dialogs.folderAnswers = {in()};
        click(window.ui->Button1);
    }
    void chooseOutput() {
        dialogs.folderAnswers = {out()};
        click(window.ui->Button2);
    }
    void sign() { click(window.ui->Button3); }

    std::vector<Row> rows() const {
        std::vector<Row> result;
        QTableView* grid = window.ui->ListView1;
        for (int r = 0; r < grid->model()->rowCount(); ++r)
            result.push_back({norvane::cellText(grid, r, 0), norvane::cellText(grid, r, 1),
                              norvane::cellText(grid, r, 2), norvane::cellText(grid, r, 3)});
        return result;
    }
    QStringList statuses() const {
        QStringList result;
        for (const Row& row : rows()) result << row.status;
        return result;
    }
    QStringList keysSent() {
        QStringList result;
        for (const RecordedRequest& request : standIn.requests())
            for (const auto& [name, value] : formFields(request.body()))
                if (name == "nm_chave") result << QString::fromUtf8(value);
        return result;
    }
    // Accepted files key(..., "00000N") + ".pdf", N from 1.
    QStringList acceptedFiles(int count, qsizetype size = 0) {
        QStringList names;
        for (int i = 1; i <= count; ++i) {
            names << key(kIbge, kCartorio, QStringLiteral("%1").arg(i, 6, 10, QLatin1Char('0'))) + ".pdf";
            writeFile(inFile(names.back()), pdf(true, true, false, size + i));
        }
        return names;
    }
    // The files of the output folder but its journal and the runs' reports (tests/engine checks those).
    QStringList outputFiles() const {
        QStringList files = QDir(out()).entryList(QDir::Files | QDir::Hidden);
        files.removeAll(QStringLiteral("norvane-diario.jsonl"));
        return files.filter(QRegularExpression(QStringLiteral("^(?!relatorio-\\d{8}-\\d{6}(-\\d+)?\\.csv$)")));
    }
    // What one upload carries: its key, the name of the archive's one entry, and the content
    // that the signature in it encloses (verified with openssl against the test root).
    struct Upload {
        QString key, entry;
        QByteArray content;
    };
    Upload upload(const RecordedRequest& request) {
        Upload result;
        QByteArray archive;
        for (const auto& [name, value] : formFields(request.body())) {
            if (name == "nm_chave") result.key = QString::fromUtf8(value);
            if (name == "ds_instrumento_protesto") archive = QByteArray::fromBase64(value);
        }
        const QString zip = work.filePath("recebido.zip"), p7s = work.filePath("recebido.p7s");
        writeFile(zip, archive);
        const ToolResult python = runProgram(
            "python3", {"-c",
                        "import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1])\nassert len(z.namelist()) == 1\n"
                        "open(sys.argv[2], 'wb').write(z.read(z.namelist()[0]))\n"
                        "sys.stdout.buffer.write(z.namelist()[0].encode('utf-8'))",
                        zip, p7s});
        EXPECT_EQ(python.exitCode, 0) << python.describe().toStdString();
        result.entry = QString::fromUtf8(python.output);
        const VerifyResult verified = verifyWithOpenssl(p7s, pki[Cert::Root].certPath);
        EXPECT_TRUE(verified.ok) << verified.log.toStdString();
        result.content = verified.content;
        return result;
    }

    const TestPki& pki = TestPki::instance();
    SoftHsmTokens tokens;
    StandIn standIn;
    RecordingDialogs dialogs;
    TFPrincipal window;
    QTemporaryDir work;
};

TEST_F(BatchTab, IntakeListsSortedRowsWithSizesAndTheFirstFailingTest) {
    const QString lengthText = QStringLiteral("Nomenclatura do arquivo menor que 23 caracteres");
    const QString pdfaText = QStringLiteral("Arquivo não parece ser um PDF/A");
    // In the order the grid must show them.
    const std::vector<std::tuple<QString, QByteArray, QString>> files{
        {key("3304557") + ".pdf", pdf(), "Nomenclatura do arquivo não parece ser uma chave única (cód ibge = 3550308)"},
        {key() + ".pdf", pdf(true, true, false, 15000), ""},  // 27 characters
        {key(kIbge, kCartorio, "000003") + " segunda via.PDF", pdf(true, true, false, 128), ""},
        {key(kIbge, kCartorio, "000004") + ".pdf", pdf(false, true, true),
         "Arquivo originado da digitação manual. Por favor utilize a aba IP da Digitação Manual para efetuar a "
         "assinatura."},
        {key(kIbge, kCartorio, "000005") + ".pdf", pdf(false, true), pdfaText},
        {key(kIbge, kCartorio, "000006") + ".pdf", "%PDF-1.4 PDFA /Keywords", pdfaText},  // capitals only
        {key(kIbge, kCartorio, "000007") + ".pdf", pdf(true, false), "Arquivo não parece conter metadados"},
        {key(kIbge, kCartorio, "000008") + ".pdf", "", pdfaText},  // empty
        {key(kIbge, kCartorio, "00002") + ".pdf", pdf(), lengthText},  // 26 characters
        {key(kIbge, "02") + ".pdf", pdf(), "Nomenclatura do arquivo não parece ser uma chave única (nr cartório = 01)"},
        {"A.pdf", pdf(), lengthText},
        {"a.pdf", pdf(), lengthText},
        {"b.pdf", pdf(), lengthText},
    };
    std::vector<Row> expected;
    for (auto it = files.rbegin(); it != files.rend(); ++it) writeFile(inFile(std::get<0>(*it)), std::get<1>(*it));
    for (const auto& [name, bytes, observation] : files)
        expected.push_back({name, norvane::sizeText(bytes.size()), observation.isEmpty() ? "" : "Erro", observation});
    EXPECT_EQ(expected[1].size, QStringLiteral("14,65 Kb."));
    EXPECT_EQ(expected[2].size, QStringLiteral("0,13 Kb."));
    writeFile(inFile("." + key(kIbge, kCartorio, "000009") + ".pdf"), pdf());  // hidden
    writeFile(inFile("notas.txt"), pdf());
    ASSERT_TRUE(QDir(in()).mkdir("x.pdf"));

    chooseOutput();
    intake();
    EXPECT_EQ(window.ui->PastaEntrada->text(), in());
    EXPECT_EQ(window.ui->PastaSaida->text(), out());
    EXPECT_EQ(rows(), expected);
    EXPECT_TRUE(dialogs.boxes.empty());

    // The grid's captions; a new intake rebuilds it; a cancelled choice reads the same folder.
    QTableView* grid = window.ui->ListView1;
    ASSERT_EQ(grid->model()->columnCount(), 4);
    EXPECT_EQ(grid->model()->headerData(3, Qt::Horizontal).toString(), QStringLiteral("Observação"));
    EXPECT_GE(grid->columnWidth(0), 350);
    EXPECT_EQ(grid->columnWidth(1), 120);
    EXPECT_LE(grid->columnWidth(2), 100);
    QFile::remove(inFile("b.pdf"));
    click(window.ui->Button1);  // no answer: cancelled
    EXPECT_EQ(window.ui->PastaEntrada->text(), in());
    EXPECT_EQ(rows().size(), expected.size() - 1);

    // A folder with no PDF file: an empty grid, no box.
    dialogs.folderAnswers = {out()};
    click(window.ui->Button1);
    EXPECT_EQ(grid->model()->rowCount(), 0);
    EXPECT_TRUE(dialogs.boxes.empty());
}

TEST_F(BatchTab, AFileHeldOpenForWritingOrLockedStopsTheIntakeAtItsRow) {
    writeFile(inFile(key(kIbge, kCartorio, "000001") + ".pdf"), pdf(false));
    const QString held = inFile(key(kIbge, kCartorio, "000002") + ".pdf");
    writeFile(held, pdf());
    writeFile(inFile(key(kIbge, kCartorio, "000003") + ".pdf"), pdf());
    chooseOutput();

    // Another process holds the file: open for writing, an exclusive flock, a record lock.
    const std::vector<std::pair<const char*, QString>> holders{
        {"writer", "f = open(sys.argv[1], 'ab')"},
        {"flock", "f = open(sys.argv[1], 'rb'); fcntl.flock(f, fcntl.LOCK_EX)"},
        {"record lock", "f = open(sys.argv[1], 'rb'); fcntl.lockf(f, fcntl.LOCK_SH)"},
    };
    for (const auto& [what, code] : holders) {
        SCOPED_TRACE(what);
        QProcess holder;
        holder.start("python3", {"-c", "import sys, fcntl\n" + code + "\nprint('ready', flush=True)\nsys.stdin.read()",
                                 held});
        ASSERT_TRUE(holder.waitForReadyRead(10000));
        dialogs.boxes.clear();
        intake();
        holder.closeWriteChannel();
        holder.waitForFinished(10000);

        ASSERT_EQ(dialogs.boxes.size(), 1u);
        EXPECT_EQ(dialogs.boxes[0].kind, ShownBox::Error);
        EXPECT_EQ(dialogs.texts()[0], "Não foi possível abrir o arquivo " + held +
                                          ": o arquivo está em uso por outro programa.");
        // The earlier row is whole, the failing one has its name and size only, later files
        // are not listed.
        QTableView* grid = window.ui->ListView1;
        ASSERT_EQ(grid->model()->rowCount(), 2);
        EXPECT_EQ(norvane::cellText(grid, 0, 2), QStringLiteral("Erro"));
        EXPECT_EQ(norvane::cellText(grid, 1, 0), QFileInfo(held).fileName());
        EXPECT_EQ(norvane::cellText(grid, 1, 1), norvane::sizeText(pdf().size()));
        EXPECT_FALSE(norvane::hasCell(grid, 1, 2));
        EXPECT_FALSE(norvane::hasCell(grid, 1, 3));
        for (QWidget* control : window.ActionControls) EXPECT_TRUE(control->isEnabled());
    }

    // The batch stops with the error report at the row the intake did not finish.
    dialogs.boxes.clear();
    sign();
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_TRUE(dialogs.texts()[0].contains(QFileInfo(held).fileName()));
    EXPECT_NE(dialogs.texts()[0], QStringLiteral("Processo Finalizado"));
    EXPECT_TRUE(standIn.requests().isEmpty());

    // Once let go, the file is read like any other.
    dialogs.boxes.clear();
    intake();
    EXPECT_EQ(statuses(), (QStringList{"Erro", "", ""}));
    EXPECT_TRUE(dialogs.boxes.empty());
}

TEST(BatchIntakeFunctions, ListingAndContentSearch) {
    QTemporaryDir dir;
    for (const char* name : {"b.PDF", "B.pdf", "a.pdf", ".h.pdf", "c.pdf.txt", "d.pdfx"}) writeFile(dir.filePath(name), "x");
    ASSERT_TRUE(QDir(dir.path()).mkdir("e.pdf"));
    ASSERT_TRUE(QFile::link(dir.filePath("a.pdf"), dir.filePath("link.pdf")));
    EXPECT_EQ(norvane::listarArquivosDaPasta(dir.path() + "/", "*.pdf"), (QStringList{"a.pdf", "B.pdf", "b.PDF", "link.pdf"}));
    EXPECT_TRUE(norvane::listarArquivosDaPasta(dir.path() + "/nada/", "*.pdf").isEmpty());

    // A name that is not UTF-8 is named in the error, not dropped nor opened by a wrong name.
    const QByteArray latin1 = QFile::encodeName(dir.path()) + "/protesto-\xe7\xe3o.pdf";
    { FILE* f = std::fopen(latin1.constData(), "w"); ASSERT_TRUE(f); std::fclose(f); }
    try {
        norvane::listarArquivosDaPasta(dir.path() + "/", "*.pdf");
        ADD_FAILURE() << "no error";
    } catch (const norvane::FileNameError& error) {
        EXPECT_EQ(error.kind(), norvane::ErrorKind::FileNameUnusable);
        EXPECT_TRUE(QString::fromUtf8(error.what()).contains("protesto-")) << error.what();
    }
    std::remove(latin1.constData());

    // A file the search cannot open is a file error naming it.
    const auto openError = [](const QString& path) {
        try {
            norvane::readContentMarks(path);
        } catch (const norvane::Error& error) {
            EXPECT_EQ(error.kind(), norvane::ErrorKind::FileError) << error.what();
            return QString::fromUtf8(error.what());
        }
        return QStringLiteral("no error");
    };
    EXPECT_EQ(openError(dir.filePath("e.pdf")),
              "Não foi possível abrir o arquivo " + dir.filePath("e.pdf") + ": não é um arquivo comum.");
    EXPECT_TRUE(openError(dir.filePath("sumiu.pdf"))
                    .startsWith("Não foi possível abrir o arquivo " + dir.filePath("sumiu.pdf") + ": "));

    // Marks straddling the 1 MiB blocks of the reading are found as in a whole-file search.
    for (const qsizetype at : {qsizetype(1 << 20) - 3, qsizetype(1 << 20) - 7, qsizetype(3 << 20) - 1}) {
        QByteArray bytes(qsizetype(4 << 20), 'z');
        bytes.replace(at, 4, "pdfa");
        bytes.replace(at + (1 << 20), 8, "Keywords");
        bytes.replace(100, 14, "{\"manual\":\"1\"}");
        const QString path = dir.filePath("grande.pdf");
        writeFile(path, bytes);
        const norvane::ContentMarks read = norvane::readContentMarks(path);
        const norvane::ContentMarks whole = norvane::contentMarks(bytes);
        EXPECT_EQ(read.pdfa, whole.pdfa) << at;
        EXPECT_EQ(read.keywords, whole.keywords) << at;
        EXPECT_TRUE(read.pdfa && read.keywords && read.manual) << at;
    }
    EXPECT_FALSE(norvane::contentMarks("pdf a Keyword").pdfa);

    // An office number of another length never matches; the messages end with the value held.
    norvane::ContentMarks ok{false, true, true};
    const QString name = key() + ".pdf";
    EXPECT_EQ(norvane::intakeObservation(ok, name, kIbge, kCartorio), QString());
    EXPECT_EQ(norvane::intakeObservation(ok, name, kIbge, "1"),
              QStringLiteral("Nomenclatura do arquivo não parece ser uma chave única (nr cartório = 1)"));

    // Characters, not UTF-16 units; a lone surrogate is one character and is kept.
    const QString astral = QString::fromUcs4(U"\U0001F4C4");
    const QString lone(QChar(0xD800));
    EXPECT_EQ(norvane::characterCount(astral + "a" + astral), 3);
    EXPECT_EQ(norvane::characterCount(lone + "a"), 2);
    EXPECT_EQ(norvane::characterSlice(astral + "a" + astral, 1, 5), "a" + astral);
    EXPECT_EQ(norvane::characterSlice("ab" + lone, 2, 1), lone);
    EXPECT_EQ(norvane::characterSlice(u"ab", 5, 1), "");
    EXPECT_EQ(norvane::instrumentKey(QString(22, 'k') + astral + "x.pdf"), QString(22, 'k') + astral);
}

// Names whose bytes are not plain: a U+FEFF that is a character of the name, a valid name
// holding U+FFFD beside a name that is not UTF-8 and shows the same, incomplete UTF-8
// sequences. Each row reads and signs its own file, or is an "Erro" row of its own; no file
// is signed twice or in another's place.
TEST_F(BatchTab, EveryRowOpensExactlyTheFileItNames) {
    const QString bom(QChar(0xFEFF)), replacement(QChar(0xFFFD));
    const QString plain = key(kIbge, kCartorio, "000001") + ".pdf";
    const QString bomInside = key(kIbge, kCartorio, "000001") + bom + ".pdf";
    const QString bomFirst = bom + plain;
    const QString withReplacement = key(kIbge, kCartorio, "000002") + replacement + ".pdf";
    const std::map<QString, QByteArray> originals{{plain, pdf(true, true, false, 1001)},
                                                  {bomInside, pdf(true, true, false, 1002)},
                                                  {bomFirst, pdf(false, true, false, 1003)},
                                                  {withReplacement, pdf(true, true, false, 1004)}};
    for (const auto& [name, bytes] : originals) writeFile(inFile(name), bytes);
    const QByteArray folder = QFile::encodeName(in()) + "/";
    // Not UTF-8: a byte that shows as the U+FFFD above, a stem that ends in an incomplete
    // sequence, and a name that ends in one after ".pdf" (so not a PDF's name: not listed).
    writeRawFile(folder + key(kIbge, kCartorio, "000002").toUtf8() + "\xff.pdf", pdf(true, true, false, 1005));
    writeRawFile(folder + key(kIbge, kCartorio, "000003").toUtf8() + "\xe2\x82.pdf", pdf(true, true, false, 1006));
    writeRawFile(folder + plain.toUtf8() + "\xc3", pdf(true, true, false, 1007));
    writeRawFile(folder + plain.toUtf8() + "\xf0\x9f\x98", pdf(true, true, false, 1008));

    chooseOutput();
    intake();
    const auto notUtf8 = [&](const QString& shown) {
        return "O nome do arquivo \"" + shown + "\" na pasta " + in() +
               "/ não é um texto UTF-8 válido; renomeie o arquivo e leia a pasta novamente.";
    };
    const QString shownFf = key(kIbge, kCartorio, "000002") + replacement + ".pdf";
    const QString shownIncomplete = key(kIbge, kCartorio, "000003") + replacement + replacement + ".pdf";
    const std::vector<Row> expected{
        {plain, norvane::sizeText(1001), "", ""},
        {bomInside, norvane::sizeText(1002), "", ""},
        {withReplacement, norvane::sizeText(1004), "", ""},
        {shownFf, norvane::sizeText(1005), "Erro", notUtf8(shownFf)},
        {shownIncomplete, norvane::sizeText(1006), "Erro", notUtf8(shownIncomplete)},
        {bomFirst, norvane::sizeText(1003), "Erro", "Arquivo não parece ser um PDF/A"},  // its own bytes
    };
    EXPECT_EQ(rows(), expected);
    EXPECT_TRUE(dialogs.boxes.empty()) << dialogs.texts()[0].toStdString();

    dialogs.pinAnswers = {QStringLiteral("1234")};
    sign();
    EXPECT_EQ(statuses(), (QStringList{"Enviado", "Enviado", "Enviado", "Erro", "Erro", "Erro"}));
    EXPECT_EQ(dialogs.texts(), std::vector<QString>{QStringLiteral("Processo Finalizado")});
    const QList<RecordedRequest> requests = standIn.requests();
    ASSERT_EQ(requests.size(), 3);
    const QStringList signedNames{plain, bomInside, withReplacement};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(signedNames[i].toStdString());
        const Upload sent = upload(requests[i]);
        EXPECT_EQ(sent.entry, signedNames[i] + ".p7s");
        EXPECT_EQ(sent.content, originals.at(signedNames[i]));
        EXPECT_EQ(sent.key, norvane::instrumentKey(signedNames[i]));
        EXPECT_EQ(readWholeFile(outFile(signedNames[i] + ".p7s")), readWholeFile(work.filePath("recebido.p7s")));
    }
    QStringList signatures = outputFiles();
    signatures.sort();
    QStringList wanted{plain + ".p7s", bomInside + ".p7s", withReplacement + ".p7s"};
    wanted.sort();
    EXPECT_EQ(signatures, wanted);
}

// A character beyond U+FFFF is one character of the name (two UTF-16 units): it counts once
// in the length test, does not shift characters 16-17, and is never cut in half in nm_chave.
TEST_F(BatchTab, NameRulesCountCharactersBeyondUtf16Units) {
    const QString astral = QString::fromUcs4(U"\U0001F4C4");
    const QString shifted = kIbge + "2024011" + astral + kCartorio + "000001.pdf";        // 27 characters
    const QString tooShort = key(kIbge, kCartorio, "0000" + astral) + ".pdf";              // 26 characters, 27 units
    const QString lastOfKey = key(kIbge, kCartorio, "00000" + astral) + ".pdf";           // the key's 23rd character
    for (const QString& name : {shifted, tooShort, lastOfKey}) writeFile(inFile(name), pdf());
    chooseOutput();
    intake();
    EXPECT_EQ(rows(), (std::vector<Row>{
                          {lastOfKey, norvane::sizeText(pdf().size()), "", ""},
                          {tooShort, norvane::sizeText(pdf().size()), "Erro",
                           "Nomenclatura do arquivo menor que 23 caracteres"},
                          {shifted, norvane::sizeText(pdf().size()), "", ""},
                      }));
    dialogs.pinAnswers = {QStringLiteral("1234")};
    sign();
    EXPECT_EQ(statuses(), (QStringList{"Enviado", "Erro", "Enviado"}));
    EXPECT_EQ(keysSent(), (QStringList{key(kIbge, kCartorio, "00000" + astral),
                                       kIbge + "2024011" + astral + kCartorio + "000001"}));
}

TEST_F(BatchTab, ABatchSignsZipsAndSendsEveryAcceptedRowWithItsFiveFields) {
    const QStringList names = acceptedFiles(3);
    writeFile(inFile(key(kIbge, "09") + ".pdf"), pdf());  // refused at the intake
    std::map<QString, QByteArray> originals;
    for (const QString& name : names) originals[name] = readWholeFile(inFile(name));
    chooseOutput();
    intake();
    ASSERT_EQ(statuses(), (QStringList{"", "", "", "Erro"}));

    dialogs.pinAnswers = {QStringLiteral("1234")};
    sign();
    EXPECT_EQ(statuses(), (QStringList{"Enviado", "Enviado", "Enviado", "Erro"}));
    EXPECT_EQ(rows()[0].observation, QStringLiteral("Enviado pra Norvane"));
    // The status column grew with its words (it was fitted to "Erro" at the intake).
    QTableView* grid = window.ui->ListView1;
    EXPECT_GE(grid->columnWidth(2), QFontMetrics(grid->font()).horizontalAdvance(QStringLiteral("Enviado")));
    EXPECT_LE(grid->columnWidth(2), 100);
    ASSERT_EQ(dialogs.texts(), std::vector<QString>{QStringLiteral("Processo Finalizado")});
    EXPECT_EQ(dialogs.boxes[0].kind, ShownBox::Info);
    // One PIN prompt, asked while every action control was locked, with the progress shown.
    EXPECT_EQ(dialogs.pinPrompts.size(), 1u);
    EXPECT_EQ(dialogs.progressAtPin, std::vector<QString>{QStringLiteral("1 de 4")});
    EXPECT_EQ(dialogs.anyActionEnabledAtPin, std::vector<bool>{false});
    // The other tabs can be looked at meanwhile.
    EXPECT_EQ(dialogs.tabStripEnabledAtPin, std::vector<bool>{true});
    EXPECT_TRUE(window.ui->Progresso->text().isEmpty());
    for (QWidget* control : window.ActionControls) EXPECT_TRUE(control->isEnabled());

    const QList<RecordedRequest> requests = standIn.requests();
    ASSERT_EQ(requests.size(), 3);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(names[i].toStdString());
        const auto fields = formFields(requests[i].body());
        ASSERT_EQ(fields.size(), 5);
        QStringList order;
        for (const auto& field : fields) order << field.first;
        EXPECT_EQ(order, (QStringList{"servico", "ds_instrumento_protesto", "nm_chave", "cd_usuario",
                                      "ds_certificado_digital_b64"}));
        EXPECT_EQ(fields[0].second, "instrumentoDeProtesto");
        EXPECT_EQ(fields[2].second, names[i].left(23).toUtf8());
        EXPECT_EQ(fields[3].second, "42");
        EXPECT_EQ(QByteArray::fromBase64(fields[4].second), pki[Cert::A3].der);

        // The archive: accepted by unzip and Python, one entry "<name>.p7s" that verifies
        // with the original PDF as content.
        const QString zip = work.filePath("recebido.zip");
        writeFile(zip, QByteArray::fromBase64(fields[1].second));
        const ToolResult unzip = runProgram("unzip", {"-t", zip});
        EXPECT_EQ(unzip.exitCode, 0) << unzip.describe().toStdString();
        const ToolResult python = runProgram(
            "python3", {"-c",
                        "import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1])\nassert z.testzip() is None\n"
                        "print(z.namelist())\nopen(sys.argv[2], 'wb').write(z.read(z.namelist()[0]))",
                        zip, work.filePath("entrada.p7s")});
        EXPECT_EQ(python.exitCode, 0) << python.describe().toStdString();
        EXPECT_EQ(python.output.trimmed(), "['" + names[i].toUtf8() + ".p7s']");
        const VerifyResult verified = verifyWithOpenssl(work.filePath("entrada.p7s"), pki[Cert::Root].certPath);
        EXPECT_TRUE(verified.ok) << verified.log.toStdString();
        EXPECT_EQ(verified.content, originals[names[i]]);
        EXPECT_EQ(readWholeFile(outFile(names[i] + ".p7s")), readWholeFile(work.filePath("entrada.p7s")));
        EXPECT_EQ(readWholeFile(inFile(names[i])), originals[names[i]]);  // the input is untouched
    }
    EXPECT_EQ(outputFiles(), (QStringList{names[0] + ".p7s", names[1] + ".p7s", names[2] + ".p7s"}));

    // A grid of "Enviado" and "Erro" only: nothing is signed, the end is still told.
    standIn.clear();
    dialogs.boxes.clear();
    sign();
    EXPECT_EQ(dialogs.texts(), std::vector<QString>{QStringLiteral("Processo Finalizado")});
    EXPECT_TRUE(standIn.requests().isEmpty());
    EXPECT_EQ(dialogs.pinPrompts.size(), 1u);
}

// An output folder gone after it was chosen: one box says so before anything is signed,
// rather than a failed signature per row followed by "Processo Finalizado".
TEST_F(BatchTab, AnOutputFolderGoneBeforeTheBatchStopsItWithOneBox) {
    acceptedFiles(3);
    chooseOutput();
    intake();
    ASSERT_TRUE(QDir(out()).removeRecursively());
    dialogs.pinAnswers = {QStringLiteral("1234")};
    sign();
    EXPECT_EQ(dialogs.texts(), std::vector<QString>{"Não foi possível abrir o diário da pasta " + out() +
                                                    ": a pasta não existe (foi removida ou renomeada?). Nada foi "
                                                    "assinado nem enviado."});
    EXPECT_EQ(statuses(), (QStringList{"", "", ""}));
    EXPECT_TRUE(dialogs.pinPrompts.empty());
    EXPECT_TRUE(standIn.requests().isEmpty());
}

// A folder holds one environment's sends: a homologation batch into a folder with production
// sends (and the other way round) is refused with one box, and its signatures stay as they were.
TEST_F(BatchTab, AnOutputFolderWithTheOtherEnvironmentsSendsIsRefusedWithOneBox) {
    acceptedFiles(2);
    const auto signatureIn = [&](const QString& folder) {
        QFile file(folder + "/" + rows()[0].name + ".p7s");
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    for (const QString& first : {QStringLiteral("P"), QStringLiteral("H")}) {
        const QString folder = work.filePath("saida-" + first);
        const QString other = first == "P" ? QStringLiteral("H") : QStringLiteral("P");
        ASSERT_TRUE(QDir().mkpath(folder));
        dialogs.folderAnswers = {folder};
        click(window.ui->Button2);
        window.Ambiente = first;
        // Homologation's answers carry three characters before the JSON.
        standIn.setDefault(ScriptedAnswer::ok(first == "H" ? "xyz{\"retorno\":\"ok\"}" : "{\"retorno\":\"ok\"}"));
        intake();
        dialogs.pinAnswers = {QStringLiteral("1234")};
        sign();
        ASSERT_EQ(statuses(), (QStringList{"Enviado", "Enviado"}));
        const QByteArray signature = signatureIn(folder);
        ASSERT_FALSE(signature.isEmpty());
        const qsizetype sent = standIn.requests().size();

        window.Ambiente = other;
        dialogs.boxes.clear();
        intake();
        sign();
        const auto label = [](const QString& a) {
            return a == "P" ? QStringLiteral("Produção") : QStringLiteral("Homologação");
        };
        EXPECT_EQ(dialogs.texts(), std::vector<QString>{"A pasta de saída " + folder + " guarda arquivos enviados ao "
                                                        "ambiente de " + label(first) + " (veja norvane-diario.jsonl); "
                                                        "o ambiente agora é " + label(other) + ". Escolha outra pasta "
                                                        "de saída. Nada foi assinado nem enviado."});
        EXPECT_EQ(statuses(), (QStringList{"", ""}));
        EXPECT_EQ(standIn.requests().size(), sent) << "sent to " << other.toStdString();
        EXPECT_EQ(signatureIn(folder), signature) << "the signature of " << first.toStdString() << " was overwritten";
    }
}

TEST_F(BatchTab, StartMessagesAndAnEmptyGrid) {
    sign();
    EXPECT_EQ(dialogs.texts(), std::vector<QString>{QStringLiteral("Selecione a pasta de entrada")});
    intake();  // an empty folder
    dialogs.boxes.clear();
    sign();
    EXPECT_EQ(dialogs.texts(), std::vector<QString>{QStringLiteral("Selecione a pasta de saída")});
    EXPECT_EQ(dialogs.boxes[0].kind, ShownBox::Error);
    chooseOutput();
    dialogs.boxes.clear();
    sign();
    EXPECT_EQ(dialogs.texts(), std::vector<QString>{QStringLiteral("Processo Finalizado")});
}

TEST_F(BatchTab, AnswersAreJudgedPerFileAndAnHttpErrorEndsTheBatchAtItsRow) {
    const QStringList names = acceptedFiles(4);
    chooseOutput();
    intake();
    standIn.script(ScriptedAnswer::ok("<html><body>Erro interno</body></html>"));
    standIn.script(ScriptedAnswer::ok(""));
    ScriptedAnswer failure = ScriptedAnswer::ok("falhou");
    failure.status = "HTTP/1.1 500 Internal Server Error";
    standIn.script(failure);
    dialogs.pinAnswers = {QStringLiteral("1234")};
    sign();
    // The row after the one that ended the batch may have been signed meanwhile.
    const QStringList after = statuses();
    ASSERT_EQ(after.size(), 4);
    EXPECT_EQ(after.mid(0, 3), (QStringList{"Erro", "Enviado", "Assinado"}));
    EXPECT_TRUE(after[3] == "" || after[3] == "Assinado") << after[3].toStdString();
    EXPECT_EQ(rows()[0].observation, QStringLiteral("Erro ao enviar pra Norvane"));
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].kind, ShownBox::Error);
    EXPECT_TRUE(dialogs.texts()[0].contains("500")) << dialogs.texts()[0].toStdString();
    EXPECT_EQ(keysSent(), (QStringList{names[0].left(23), names[1].left(23), names[2].left(23)}));
    // No archive is left, also for the row whose upload failed.
    QStringList signatures{names[0] + ".p7s", names[1] + ".p7s", names[2] + ".p7s"};
    if (after[3] == "Assinado") signatures << names[3] + ".p7s";
    EXPECT_EQ(outputFiles(), signatures);

    // The next press takes up the rows left "Assinado" and "".
    standIn.clear();
    dialogs.boxes.clear();
    sign();
    EXPECT_EQ(statuses(), (QStringList{"Erro", "Enviado", "Enviado", "Enviado"}));
    EXPECT_EQ(keysSent(), (QStringList{names[2].left(23), names[3].left(23)}));
    EXPECT_EQ(dialogs.texts(), std::vector<QString>{QStringLiteral("Processo Finalizado")});
}

TEST_F(BatchTab, ASignatureOfExactly204800BytesIsSentAndOneByteMoreIsRefused) {
    // The signature's overhead over the content, for a name of the same length.
    const QString probeFolder = work.filePath("sonda");
    ASSERT_TRUE(QDir().mkpath(probeFolder));
    const QString probe = probeFolder + "/" + key(kIbge, kCartorio, "999999") + ".pdf";
    writeFile(probe, pdf(true, true, false, 200000));
    dialogs.pinAnswers = {QStringLiteral("1234")};
    ASSERT_FALSE(window.AssinarArquivo(probe, window.Certificado_Thumbprint, probeFolder + "/").isEmpty());
    const qint64 overhead = QFileInfo(probe + ".p7s").size() - 200000;

    const QString exact = key(kIbge, kCartorio, "000001") + ".pdf";
    const QString over = key(kIbge, kCartorio, "000002") + ".pdf";
    writeFile(inFile(exact), pdf(true, true, false, 204800 - overhead));
    writeFile(inFile(over), pdf(true, true, false, 204801 - overhead));
    chooseOutput();
    intake();
    sign();
    EXPECT_EQ(QFileInfo(outFile(exact + ".p7s")).size(), 204800);
    EXPECT_EQ(QFileInfo(outFile(over + ".p7s")).size(), 204801);
    EXPECT_EQ(rows()[0].status, QStringLiteral("Enviado"));
    EXPECT_EQ(rows()[1], (Row{over, rows()[1].size, "Erro", "Arquivo assinado maior que 200 Kb."}));
    EXPECT_EQ(keysSent(), QStringList{exact.left(23)});
    EXPECT_EQ(dialogs.texts(), std::vector<QString>{QStringLiteral("Processo Finalizado")});
}

// The token is pulled out as the third of ten rows is taken up: the batch ends there with
// the key's one box, nothing more is sent, and once the token is back the next press goes on
// from that row.
TEST_F(BatchTab, ATokenPulledOutMidBatchEndsItAtItsRowWithOneBoxAndTheNextPressGoesOnFromThere) {
    const QStringList names = acceptedFiles(10);
    chooseOutput();
    intake();
    bool pulled = false;
    QObject::connect(window.ui->ListView1->model(), &QAbstractItemModel::dataChanged, [&](const QModelIndex& index) {
        if (!pulled && index.row() == 2 && index.column() == 2 && index.data().toString() == "Assinando") {
            pulled = true;
            tokens.removeToken("Token A");
        }
    });
    dialogs.pinAnswers = {QStringLiteral("1234")};
    sign();
    QStringList expected(10, QString());
    expected[0] = expected[1] = "Enviado";
    expected[2] = "Assinando";
    EXPECT_EQ(statuses(), expected);
    EXPECT_EQ(keysSent(), (QStringList{names[0].left(23), names[1].left(23)}));
    EXPECT_EQ(dialogs.texts(), std::vector<QString>{QStringLiteral(
                                   "Erro 11: Chave do certificado não encontrada. Por favor confirme se o cartão ou "
                                   "token USB do certificado selecionado está conectado ao seu computador ou remova e "
                                   "insira-o novamente.")});
    // Nothing half-written, no temporary file.
    EXPECT_EQ(outputFiles(), (QStringList{names[0] + ".p7s", names[1] + ".p7s"}));

    // The token is back.
    tokens.addToken("Token A", {Cert::A3});
    standIn.clear();
    dialogs.boxes.clear();
    dialogs.pinAnswers = {QStringLiteral("1234")};
    sign();
    EXPECT_EQ(statuses(), QStringList(10, "Enviado"));
    QStringList rest;
    for (int i = 2; i < 10; ++i) rest << names[i].left(23);
    EXPECT_EQ(keysSent(), rest);
    EXPECT_EQ(dialogs.texts(), std::vector<QString>{QStringLiteral("Processo Finalizado")});
}

// The certificate goes between the signature and its upload: the lookup before the upload
// finds nothing, and the batch ends at that row, left "Assinado".
TEST_F(BatchTab, ACertificateGoneBeforeTheUploadEndsTheBatchAtItsSignedRow) {
    const QStringList names = acceptedFiles(2);
    chooseOutput();
    intake();
    QTableView* grid = window.ui->ListView1;
    QObject::connect(grid->model(), &QAbstractItemModel::dataChanged, [&](const QModelIndex& index) {
        if (index.column() == 2 && index.data().toString() == QStringLiteral("Assinado"))
            tokens.removeToken("Token A");
    });
    dialogs.pinAnswers = {QStringLiteral("1234")};
    sign();
    EXPECT_EQ(statuses(), (QStringList{"Assinado", ""}));
    EXPECT_TRUE(standIn.requests().isEmpty());
    const std::vector<QString> texts = dialogs.texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_TRUE(texts[0].startsWith("Erro 03: ")) << texts[0].toStdString();
    EXPECT_EQ(outputFiles(), QStringList{names[0] + ".p7s"});
}

// The PIN in a batch: a cancelled or refused PIN ends the batch at its row.
TEST_F(BatchTab, ACancelledOrWrongPinEndsTheBatchAtTheFirstRowThenOnePromptSignsAll) {
    acceptedFiles(5);
    chooseOutput();
    intake();
    const auto tokenFlags = [&] {
        return QString::fromUtf8(runTool("pkcs11-tool", {"--module", SoftHsmTokens::softHsmModule(), "--list-token-slots"}));
    };
    const QStringList untouched{"Assinando", "", "", "", ""};

    dialogs.pinAnswers = {std::nullopt};
    sign();
    EXPECT_EQ(statuses(), untouched);
    EXPECT_EQ(dialogs.pinPrompts.size(), 1u);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_TRUE(dialogs.texts()[0].startsWith("Erro 11: ")) << dialogs.texts()[0].toStdString();
    EXPECT_TRUE(standIn.requests().isEmpty());
    EXPECT_TRUE(outputFiles().isEmpty());
    EXPECT_FALSE(tokenFlags().contains("user PIN count low"));

    dialogs.boxes.clear();
    dialogs.pinAnswers = {QStringLiteral("9999")};
    sign();
    EXPECT_EQ(statuses(), untouched);
    EXPECT_EQ(dialogs.pinPrompts.size(), 2u);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_TRUE(dialogs.texts()[0].contains("PIN incorreto")) << dialogs.texts()[0].toStdString();
    EXPECT_TRUE(standIn.requests().isEmpty());
    EXPECT_TRUE(outputFiles().isEmpty());
    // SoftHSM keeps no counter, only the flag that a wrong PIN was tried since the last login.
    EXPECT_TRUE(tokenFlags().contains("user PIN count low"));

    dialogs.boxes.clear();
    dialogs.pinAnswers = {QStringLiteral("1234")};
    sign();
    EXPECT_EQ(statuses(), (QStringList(5, "Enviado")));
    EXPECT_EQ(dialogs.pinPrompts.size(), 3u);
    EXPECT_EQ(dialogs.texts(), std::vector<QString>{QStringLiteral("Processo Finalizado")});
    EXPECT_EQ(standIn.requests().size(), 5);
}

// The token stage signs the next row while a row is being sent. A 500 at row 2 whose answer
// comes late: row 3 is signed meanwhile and stays "Assinado", nothing is sent after row 2,
// and the next press sends both.
TEST_F(BatchTab, AnErrorEndingTheBatchLeavesTheRowSignedMeanwhileSignedAndSendsNothingAfterIt) {
    const QStringList names = acceptedFiles(5);
    chooseOutput();
    intake();
    standIn.script(ScriptedAnswer::ok("{}"));
    ScriptedAnswer late = ScriptedAnswer::ok("falhou");
    late.status = "HTTP/1.1 500 Internal Server Error";
    late.delayMs = 600;
    standIn.script(late);
    dialogs.pinAnswers = {QStringLiteral("1234")};
    sign();
    EXPECT_EQ(statuses(), (QStringList{"Enviado", "Assinado", "Assinado", "", ""}));
    EXPECT_EQ(keysSent(), (QStringList{names[0].left(23), names[1].left(23)}));
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_TRUE(dialogs.texts()[0].contains("500")) << dialogs.texts()[0].toStdString();
    EXPECT_EQ(outputFiles(), (QStringList{names[0] + ".p7s", names[1] + ".p7s", names[2] + ".p7s"}));

    standIn.clear();
    dialogs.boxes.clear();
    sign();
    EXPECT_EQ(statuses(), QStringList(5, "Enviado"));
    EXPECT_EQ(keysSent(), (QStringList{names[1].left(23), names[2].left(23), names[3].left(23), names[4].left(23)}));
    EXPECT_EQ(dialogs.texts(), std::vector<QString>{QStringLiteral("Processo Finalizado")});
}

// Row 2's upload fails late while row 3 fails at once (its file is gone): row 2's box is the
// only one and the last; row 3 ends "Erro" and says why without a box; nothing is sent after
// row 2.
TEST_F(BatchTab, WhenTwoRowsFailOnlyTheBoxOfTheRowThatEndedTheRunIsShown) {
    const QStringList names = acceptedFiles(4);
    chooseOutput();
    intake();
    ASSERT_TRUE(QFile::remove(inFile(names[2])));
    standIn.script(ScriptedAnswer::ok("{}"));
    ScriptedAnswer late = ScriptedAnswer::ok("falhou");
    late.status = "HTTP/1.1 500 Internal Server Error";
    late.delayMs = 600;
    standIn.script(late);
    dialogs.pinAnswers = {QStringLiteral("1234")};
    sign();
    EXPECT_EQ(statuses(), (QStringList{"Enviado", "Assinado", "Erro", ""}));
    EXPECT_EQ(keysSent(), (QStringList{names[0].left(23), names[1].left(23)}));
    const std::vector<QString> texts = dialogs.texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_TRUE(texts[0].contains("500")) << texts[0].toStdString();
    EXPECT_EQ(rows()[1].observation, texts[0]);
    EXPECT_TRUE(rows()[2].observation.contains(names[2])) << rows()[2].observation.toStdString();
}

// The output folder is moved away once the last row is sent: the report cannot be written,
// and the window says so in the run's last box, after "Processo Finalizado".
TEST_F(BatchTab, AReportThatCannotBeWrittenIsTheRunsLastBox) {
    acceptedFiles(2);
    chooseOutput();
    intake();
    bool moved = false;
    QObject::connect(window.ui->ListView1->model(), &QAbstractItemModel::dataChanged, [&](const QModelIndex& index) {
        if (!moved && index.row() == 1 && index.siblingAtColumn(2).data().toString() == "Enviado")
            moved = QDir().rename(out(), out() + "-movida");
    });
    dialogs.pinAnswers = {QStringLiteral("1234")};
    sign();
    ASSERT_TRUE(moved);
    EXPECT_EQ(statuses(), QStringList(2, "Enviado"));
    const std::vector<QString> texts = dialogs.texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], QStringLiteral("Processo Finalizado"));
    EXPECT_TRUE(texts[1].startsWith("Não foi possível gravar o relatório do lote na pasta " + out()))
        << texts[1].toStdString();
}

class BatchTabAlwaysAuthenticate : public BatchTab {
protected:
    bool alwaysAuthenticate() const override { return true; }
};

TEST_F(BatchTabAlwaysAuthenticate, AKeyThatWantsThePinForEverySignatureStillAsksOnce) {
    acceptedFiles(5);
    chooseOutput();
    intake();
    dialogs.pinAnswers = {QStringLiteral("1234")};  // a second prompt would be cancelled
    sign();
    EXPECT_EQ(statuses(), (QStringList(5, "Enviado")));
    EXPECT_EQ(dialogs.pinPrompts.size(), 1u);
    EXPECT_EQ(dialogs.texts(), std::vector<QString>{QStringLiteral("Processo Finalizado")});
}

}  // namespace
