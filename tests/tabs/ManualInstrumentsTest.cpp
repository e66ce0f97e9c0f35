// The "IP's da Digitação Manual" tab, driven by clicks on the real window against the
// stand-in service and a SoftHSM token.

#include "app/TabControl.h"
#include "app/u_Principal.h"
#include "certs/tokens/TokenAccess.h"
#include "support/ScriptedDialogs.h"
#include "support/SignatureChecks.h"
#include "support/SoftHsmTokens.h"
#include "support/StandIn.h"
#include "support/TestPki.h"
#include "packaging/Packaging.h"
#include "tabs/Grid.h"
#include "tabs/ManualInstruments.h"

#include <QDir>
#include <QDirIterator>
#include <QRegularExpression>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

using namespace norvane::test;

namespace {

const QByteArray kUpload = "servico=instrumentoDeProtestoDigitacaoManualAtt";
constexpr int kStatusColumn = 2;

struct Panel2Controls {
    explicit Panel2Controls(TFPrincipal& w)
        : Panel2(w.findChild<QWidget*>("Panel2")),
          Button6(w.findChild<QPushButton*>("Button6")),
          Button5(w.findChild<QPushButton*>("Button5")),
          Button4(w.findChild<QPushButton*>("Button4")),
          PastaGravacao(w.findChild<QLabel*>("PastaGravacao")),
          ListView2(w.findChild<QTableView*>("ListView2")),
          Label3(w.findChild<QLabel*>("Label3")) {}
    QWidget* Panel2;
    QPushButton *Button6, *Button5, *Button4;
    QLabel* PastaGravacao;
    QTableView* ListView2;
    QLabel* Label3;
};

// Records whether the window's action controls could be pressed while the PIN was asked.
class RecordingDialogs : public ScriptedDialogs {
public:
    const norvane::ActionControls* actionControls = nullptr;
    std::vector<bool> anyEnabledAtPin;
    std::optional<QString> askPin(const QString& tokenLabel, const QString& message) override {
        bool any = false;
        for (const QWidget* control : *actionControls) any = any || control->isEnabled();
        anyEnabledAtPin.push_back(any);
        return ScriptedDialogs::askPin(tokenLabel, message);
    }
};

// The fields of a form body, decoded, in their order.
QList<QPair<QByteArray, QByteArray>> formFields(const QByteArray& body) {
    QList<QPair<QByteArray, QByteArray>> fields;
    for (const QByteArray& pair : body.split('&')) {
        const qsizetype eq = pair.indexOf('=');
        QByteArray value = pair.mid(eq + 1);
        fields.append({pair.left(eq), QByteArray::fromPercentEncoding(value.replace('+', ' '))});
    }
    return fields;
}

struct Instrument {
    QByteArray id;  // JSON text: a number or a quoted string
    QByteArray key;
    QByteArray pdf;
};

QByteArray consultation(const QList<Instrument>& instruments) {
    QByteArray json = R"({"outro":1,"dados":[)";
    for (const Instrument& i : instruments) {
        if (json.endsWith('}')) json += ',';
        json += R"({"cd_titulo_instrumento_protesto":)" + i.id + R"(,"nm_chave":")" + i.key +
                R"(","ds_instrumento_protesto_pdf_b64":")" + i.pdf.toBase64() + R"(","extra":null})";
    }
    return json + "]}";
}

// A PDF's bytes, NUL and 0xFF among them, padded to `size` with varied bytes.
QByteArray pdfBytes(int n, qsizetype size = 0) {
    QByteArray bytes = QByteArray("%PDF-1.4\n") + '\0' + '\xff' + " instrumento " + QByteArray::number(n) + "\n";
    quint32 state = quint32(n) * 2654435761u + 1;
    while (bytes.size() < size) {
        state = state * 1664525u + 1013904223u;
        bytes += char(state >> 24);
    }
    return bytes;
}

ScriptedAnswer serverError() {
    ScriptedAnswer answer = ScriptedAnswer::ok("{}");
    answer.status = "HTTP/1.1 500 Internal Server Error";
    return answer;
}

class ManualTab : public ::testing::Test {
protected:
    void SetUp() override {
        norvane::tokens::forgetPins();
        tokens.addToken("Token A", {Cert::A3});
        dialogs.pickAnswers = {0};
        dialogs.actionControls = &window.ActionControls;
        ASSERT_EQ(window.ListaCertificados(1), QStringLiteral("1"));
        window.Ambiente = QStringLiteral("P");
        window.urlAPI = standIn.baseUrl();
        window.nm_nr_cpf = QStringLiteral("111.222.333-44");
        window.cd_ibge = QStringLiteral("3550308");
        window.nr_cartorio = QStringLiteral("1");
        window.cd_usuario = QStringLiteral("77");
        window.findChild<TTabControl*>("TabControl1")->setTabIndex(1);
        standIn.setDefault(ScriptedAnswer::ok("{}"));
        ASSERT_TRUE(QDir().mkpath(save));
    }

    void click(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton); }
    void consult(const QByteArray& answer) {
        standIn.script(ScriptedAnswer::ok(answer));
        click(ui.Button5);
    }
    void chooseSaveFolder() {
        dialogs.folderAnswers = {save};
        click(ui.Button6);
    }
    QStringList column(int c) const {
        QStringList texts;
        for (int row = 0; row < ui.ListView2->model()->rowCount(); ++row) texts << norvane::cellText(ui.ListView2, row, c);
        return texts;
    }
    QList<QList<QPair<QByteArray, QByteArray>>> uploads() {
        QList<QList<QPair<QByteArray, QByteArray>>> found;
        for (const RecordedRequest& r : standIn.requests())
            if (r.body().startsWith(kUpload)) found.append(formFields(r.body()));
        return found;
    }
    // Every file under the work folder, relative to it, but the save folder's journal and the
    // runs' reports (tests/engine checks those).
    QStringList filesWritten() const {
        QStringList files;
        const QRegularExpression bookkeeping(QStringLiteral("(^|/)(norvane-diario\\.jsonl|relatorio-\\d{8}-\\d{6}(-\\d+)?\\.csv)$"));
        QDirIterator it(work.path(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString file = QDir(work.path()).relativeFilePath(it.next());
            if (!bookkeeping.match(file).hasMatch()) files << file;
        }
        files.sort();
        return files;
    }

    const TestPki& pki = TestPki::instance();
    SoftHsmTokens tokens;
    StandIn standIn;
    RecordingDialogs dialogs;
    TFPrincipal window;
    const Panel2Controls ui{window};
    QTemporaryDir work;
    const QString save = QDir::toNativeSeparators(work.filePath(QStringLiteral("base/gravacao")));
};

TEST_F(ManualTab, ControlsSitWhereTheFormPlacesThemAndTheLabelsDoNothing) {
    for (QWidget* c : {static_cast<QWidget*>(ui.Button6), static_cast<QWidget*>(ui.Button5),
                       static_cast<QWidget*>(ui.Button4), static_cast<QWidget*>(ui.PastaGravacao),
                       static_cast<QWidget*>(ui.ListView2)}) {
        EXPECT_EQ(c->parentWidget(), ui.Panel2);
        EXPECT_EQ(c->font().family(), QStringLiteral("Tahoma")) << c->objectName().toStdString();
    }
    EXPECT_EQ(ui.PastaGravacao->font().pixelSize(), 19);
    EXPECT_EQ(ui.Button6->geometry(), QRect(17, 8, 177, 25));
    EXPECT_EQ(ui.Button5->geometry(), QRect(17, 39, 177, 25));
    EXPECT_EQ(ui.Button4->geometry(), QRect(17, 70, 177, 25));
    EXPECT_EQ(ui.PastaGravacao->pos(), QPoint(208, 7));
    EXPECT_EQ(ui.ListView2->geometry(), QRect(16, 112, 745, 361));
    EXPECT_EQ(ui.Button6->text(), QStringLiteral("Pasta de Gravação"));
    EXPECT_EQ(ui.Button5->text(), QStringLiteral("Consultar Instr Prot"));
    EXPECT_EQ(ui.Button4->text(), QStringLiteral("Assinar"));
    const QStringList captions{"ID", "Chave Única", "Status", "Observação", "PDF"};
    ASSERT_EQ(ui.ListView2->model()->columnCount(), 5);
    for (int c = 0; c < 5; ++c) EXPECT_EQ(ui.ListView2->model()->headerData(c, Qt::Horizontal).toString(), captions[c]);
    EXPECT_EQ(ui.ListView2->columnWidth(0), 100);
    EXPECT_EQ(ui.ListView2->columnWidth(1), 300);
    EXPECT_LE(ui.ListView2->columnWidth(2), 100);
    EXPECT_GE(ui.ListView2->columnWidth(3), 300);

    // The folder choice; a cancel keeps the caption; clicking the captions does nothing.
    chooseSaveFolder();
    EXPECT_EQ(ui.PastaGravacao->text(), save);
    EXPECT_EQ(dialogs.folderTitles, std::vector<QString>{QStringLiteral("Selecione uma pasta")});
    click(ui.Button6);
    click(ui.PastaGravacao);
    window.findChild<TTabControl*>("TabControl1")->setTabIndex(2);
    click(ui.Label3);
    EXPECT_EQ(ui.PastaGravacao->text(), save);
    EXPECT_TRUE(ui.Label3->text().isEmpty());
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_TRUE(standIn.requests().isEmpty());
}

TEST_F(ManualTab, ConsultationFillsTheGridOrEndsAsTheAnswerSays) {
    // While the service answers, the window paints and no action can start.
    ScriptedAnswer slow = ScriptedAnswer::ok(R"({"dados":[)"
                                             R"({"cd_titulo_instrumento_protesto":101,"nm_chave":"k1","ds_instrumento_protesto_pdf_b64":"QQ=="},)"
                                             R"({"cd_titulo_instrumento_protesto":"102","nm_chave":"k2","ds_instrumento_protesto_pdf_b64":"Qg=="},)"
                                             R"({"cd_titulo_instrumento_protesto":1.50,"nm_chave":null,"ds_instrumento_protesto_pdf_b64":"Qw==","x":[]}],"y":2})");
    slow.delayMs = 400;
    standIn.script(slow);
    std::optional<bool> enabledMeanwhile;
    QTimer::singleShot(150, [&] { enabledMeanwhile = ui.Button4->isEnabled() || ui.Button5->isEnabled(); });
    click(ui.Button5);
    EXPECT_EQ(enabledMeanwhile, std::optional<bool>(false));
    EXPECT_TRUE(ui.Button5->isEnabled());
    EXPECT_EQ(column(0), (QStringList{"101", "102", "1.50"}));
    EXPECT_EQ(column(1), (QStringList{"k1", "k2", ""}));
    EXPECT_EQ(column(2), (QStringList{"", "", ""}));
    EXPECT_EQ(column(4), (QStringList{"QQ==", "Qg==", "Qw=="}));
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].kind, ShownBox::Info);
    EXPECT_EQ(dialogs.boxes[0].text, QStringLiteral("Trazendo 3 último(s) IP(s) para ser(em) assinado(s)."));
    ASSERT_EQ(standIn.requests().size(), 1);
    EXPECT_EQ(standIn.requests()[0].body(), "servico=instrumentoDeProtestoDigitacaoManual&nm_nr_cpf=111.222.333-44"
                                            "&cd_ibge=3550308&nr_cartorio=1");

    // A call that fails leaves the grid as it was.
    standIn.script(serverError());
    click(ui.Button5);
    EXPECT_EQ(ui.ListView2->model()->rowCount(), 3);
    EXPECT_EQ(dialogs.boxes.back().kind, ShownBox::Error);

    struct Case {
        QByteArray answer;
        ShownBox::Kind kind;
        QString text;
        int rowsLeft;
    };
    const QByteArray good = R"({"cd_titulo_instrumento_protesto":"9","nm_chave":"a","ds_instrumento_protesto_pdf_b64":""})";
    const std::vector<Case> cases{
        {R"({"dados":[]})", ShownBox::Info, "Trazendo 0 último(s) IP(s) para ser(em) assinado(s).", 0},
        {R"({"outro":[1]})", ShownBox::Info, "Não foram encontrados IPs para serem assinados", 0},
        {"<html>Erro</html>", ShownBox::Error, "Ocorreu um erro.", 0},
        {R"([{"dados":[]}])", ShownBox::Error, "Conversion from array to object is not supported", 0},
        {R"({"dados":{"a":1}})", ShownBox::Error, "Conversion from object to array is not supported", 0},
        {R"({"dados":[)" + good + R"(,7]})", ShownBox::Error, "Conversion from number to object is not supported", 1},
        {R"({"dados":[)" + good + R"(,{"cd_titulo_instrumento_protesto":"8","ds_instrumento_protesto_pdf_b64":""}]})",
         ShownBox::Error, "Value 'nm_chave' not found", 1},
    };
    for (const Case& c : cases) {
        consult(consultation({{"1", "x", "p"}, {"2", "y", "q"}}));
        ASSERT_EQ(ui.ListView2->model()->rowCount(), 2);
        dialogs.boxes.clear();
        consult(c.answer);
        ASSERT_EQ(dialogs.boxes.size(), 1u) << c.answer.toStdString();
        EXPECT_EQ(dialogs.boxes[0].kind, c.kind) << c.answer.toStdString();
        EXPECT_EQ(dialogs.boxes[0].text, c.text);
        EXPECT_EQ(ui.ListView2->model()->rowCount(), c.rowsLeft) << c.answer.toStdString();
    }
}

// The consultation's answer carries every waiting PDF: 100 of 150 KB pass 8 MiB by far,
// and all of them are listed, each PDF whole.
TEST_F(ManualTab, AConsultationOfAHundredInstrumentsOf150KBIsListedWhole) {
    QByteArray answer = R"({"dados":[)";
    QStringList ids, pdfs;
    for (int i = 0; i < 100; ++i) {
        QByteArray pdf(150 * 1024, '\0');
        for (qsizetype j = 0; j < pdf.size(); ++j) pdf[j] = char((i * 31 + j * 7) & 0xFF);
        ids << QString::number(5000 + i);
        pdfs << QString::fromLatin1(pdf.toBase64());
        answer += (i ? "," : "") + QByteArray(R"({"cd_titulo_instrumento_protesto":)") + ids.back().toLatin1() +
                  R"(,"nm_chave":"k)" + QByteArray::number(i) + R"(","ds_instrumento_protesto_pdf_b64":")" +
                  pdfs.back().toLatin1() + "\"}";
    }
    answer += "]}";
    ASSERT_GT(answer.size(), 8 << 20);
    consult(answer);
    ASSERT_EQ(dialogs.boxes.size(), 1u) << dialogs.boxes[0].text.toStdString();
    EXPECT_EQ(dialogs.boxes[0].text, QStringLiteral("Trazendo 100 último(s) IP(s) para ser(em) assinado(s)."));
    ASSERT_EQ(ui.ListView2->model()->rowCount(), 100);
    EXPECT_EQ(column(0), ids);
    EXPECT_TRUE(column(4) == pdfs) << "a PDF differs from the one sent";
}

TEST_F(ManualTab, SignsAndSendsEveryRowThenLeavesSentRowsAlone) {
    click(ui.Button4);
    chooseSaveFolder();
    click(ui.Button4);
    EXPECT_EQ(dialogs.texts(), (std::vector<QString>{"Selecione a pasta de gravação dos arquivos",
                                                     "Não existem arquivos para assinar"}));
    EXPECT_EQ(dialogs.boxes[1].kind, ShownBox::Error);

    consult(consultation({{"501", "chave1", pdfBytes(1)}, {"\"502\"", "chave2", pdfBytes(2)}, {"503", "chave3", pdfBytes(3)}}));
    dialogs.boxes.clear();
    standIn.clear();
    dialogs.pinAnswers = {QStringLiteral("1234")};
    click(ui.Button4);
    EXPECT_TRUE(dialogs.boxes.empty()) << dialogs.texts().front().toStdString();
    EXPECT_EQ(dialogs.pinPrompts.size(), 1u);
    EXPECT_EQ(dialogs.anyEnabledAtPin, std::vector<bool>{false});
    EXPECT_EQ(column(2), (QStringList{"Enviado", "Enviado", "Enviado"}));
    EXPECT_EQ(column(3), (QStringList(3, "Enviado pra Norvane")));

    const QList<QByteArray> names{"servico", "cd_titulo_instrumento_protesto", "ds_instrumento_protesto_b64",
                                  "ds_certificado_digital_b64"};
    const auto sent = uploads();
    ASSERT_EQ(sent.size(), 3);
    for (int i = 0; i < 3; ++i) {
        QList<QByteArray> order;
        for (const auto& field : sent[i]) order << field.first;
        EXPECT_EQ(order, names);
        EXPECT_EQ(sent[i][0].second, "instrumentoDeProtestoDigitacaoManualAtt");
        EXPECT_EQ(sent[i][1].second, QByteArray::number(501 + i));
        EXPECT_EQ(QByteArray::fromBase64(sent[i][3].second), pki[Cert::A3].der);
        const QString p7s = save + QStringLiteral("/chave%1.pdf.p7s").arg(i + 1);
        const QByteArray signature = DecodeBase64Lenient(sent[i][2].second);
        EXPECT_EQ(signature, readWholeFile(p7s));
        const VerifyResult verified = verifyWithOpenssl(p7s, pki[Cert::Root].certPath);
        EXPECT_TRUE(verified.ok) << verified.log.toStdString();
        EXPECT_EQ(verified.content, pdfBytes(i + 1));
    }
    // The signatures stay; the PDFs, accepted by the service, are gone; no temporary file is left.
    EXPECT_EQ(filesWritten(), (QStringList{"base/gravacao/chave1.pdf.p7s", "base/gravacao/chave2.pdf.p7s",
                                           "base/gravacao/chave3.pdf.p7s"}));

    // Every row sent: nothing happens, nothing is shown.
    standIn.clear();
    click(ui.Button4);
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_TRUE(standIn.requests().isEmpty());
}

TEST_F(ManualTab, ARefusedUploadIsRetriedAndARaisedErrorEndsTheRun) {
    chooseSaveFolder();
    consult(consultation({{"1", "um", pdfBytes(1)}, {"2", "dois", pdfBytes(2)}, {"3", "tres", pdfBytes(3)}}));
    standIn.script(ScriptedAnswer::ok("{}"));
    standIn.script(ScriptedAnswer::ok("<html><body>Erro</body></html>"));
    dialogs.pinAnswers = {QStringLiteral("1234")};
    click(ui.Button4);
    EXPECT_EQ(column(2), (QStringList{"Enviado", "Erro", "Enviado"}));
    EXPECT_EQ(column(3), (QStringList{"Enviado pra Norvane", "Erro ao enviar pra Norvane", "Enviado pra Norvane"}));
    EXPECT_TRUE(QFileInfo::exists(save + "/dois.pdf"));
    EXPECT_TRUE(QFileInfo::exists(save + "/dois.pdf.p7s"));

    standIn.clear();
    click(ui.Button4);
    ASSERT_EQ(uploads().size(), 1);
    EXPECT_EQ(uploads()[0][1].second, "2");
    EXPECT_EQ(column(2), (QStringList(3, "Enviado")));
    EXPECT_FALSE(QFileInfo::exists(save + "/dois.pdf"));

    // An HTTP error ends the run at its row: "Assinado" there, the rows after it untouched.
    consult(consultation({{"4", "quatro", pdfBytes(4)}, {"5", "cinco", pdfBytes(5)}}));
    dialogs.boxes.clear();
    standIn.script(serverError());
    click(ui.Button4);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_TRUE(dialogs.texts()[0].contains("500")) << dialogs.texts()[0].toStdString();
    // The row after it may have been signed meanwhile.
    EXPECT_EQ(column(2)[0], QStringLiteral("Assinado"));
    EXPECT_TRUE(column(2)[1] == "" || column(2)[1] == "Assinado") << column(2)[1].toStdString();

    // A PDF that cannot be written (its name is taken by a folder) ends the run as well.
    QFile::remove(save + "/cinco.pdf");
    ASSERT_TRUE(QDir().mkpath(save + "/cinco.pdf"));
    dialogs.boxes.clear();
    click(ui.Button4);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_TRUE(dialogs.texts()[0].contains("cinco.pdf")) << dialogs.texts()[0].toStdString();
    EXPECT_EQ(column(2), (QStringList{"Enviado", "Assinando"}));
}

TEST_F(ManualTab, ACancelledOrWrongPinEndsTheRunAtItsRow) {
    chooseSaveFolder();
    consult(consultation({{"1", "um", pdfBytes(1)}, {"2", "dois", pdfBytes(2)}, {"3", "tres", pdfBytes(3)}}));
    for (const std::optional<QString>& pin : {std::optional<QString>(), std::optional<QString>("9999")}) {
        dialogs.boxes.clear();
        dialogs.pinPrompts.clear();
        standIn.clear();
        dialogs.pinAnswers = {pin, QStringLiteral("1234")};
        click(ui.Button4);
        EXPECT_EQ(dialogs.pinPrompts.size(), 1u);
        EXPECT_EQ(dialogs.boxes.size(), 1u);
        EXPECT_EQ(column(2), (QStringList{"Assinando", "", ""}));
        EXPECT_TRUE(uploads().isEmpty());
        EXPECT_EQ(filesWritten(), QStringList{"base/gravacao/um.pdf"});
    }
    // The next press signs every row, asking for the PIN once.
    dialogs.pinPrompts.clear();
    dialogs.pinAnswers = {QStringLiteral("1234")};
    click(ui.Button4);
    EXPECT_EQ(dialogs.pinPrompts.size(), 1u);
    EXPECT_EQ(column(2), (QStringList(3, "Enviado")));
}

TEST_F(ManualTab, ASignatureOver204800BytesIsRefusedAndRetriedAtTheNextPress) {
    chooseSaveFolder();
    // What a signature adds to a PDF of this size, for a key of this length.
    consult(consultation({{"1", "medida", pdfBytes(0, 150000)}}));
    dialogs.pinAnswers = {QStringLiteral("1234")};
    click(ui.Button4);
    const qint64 overhead = QFileInfo(save + "/medida.pdf.p7s").size() - 150000;
    ASSERT_GT(overhead, 0);

    consult(consultation({{"2", "limit1", pdfBytes(1, 204800 - overhead)}, {"3", "limit2", pdfBytes(2, 204801 - overhead)}}));
    standIn.clear();
    click(ui.Button4);
    ASSERT_EQ(QFileInfo(save + "/limit1.pdf.p7s").size(), 204800);
    ASSERT_EQ(QFileInfo(save + "/limit2.pdf.p7s").size(), 204801);
    EXPECT_EQ(column(2), (QStringList{"Enviado", "Erro"}));
    EXPECT_EQ(column(3)[1], QStringLiteral("Arquivo assinado maior que 200 Kb."));
    EXPECT_EQ(uploads().size(), 1);

    QFile::remove(save + "/limit2.pdf.p7s");
    click(ui.Button4);
    EXPECT_TRUE(QFileInfo::exists(save + "/limit2.pdf.p7s"));
    EXPECT_EQ(column(2), (QStringList{"Enviado", "Erro"}));
    EXPECT_EQ(uploads().size(), 1);
}

TEST_F(ManualTab, UnfitKeysAndEmptyPdfsAreRowErrorsAndSameKeysOverwriteEachOther) {
    chooseSaveFolder();
    const QByteArray longKey(241, 'k');
    consult(consultation({{"1", "../x", pdfBytes(1)},
                          {"2", "a/b", pdfBytes(2)},
                          {"3", "..", pdfBytes(3)},
                          {"4", "", pdfBytes(4)},
                          {"5", "c\\\\d", pdfBytes(5)},
                          {"6", "e\\u0001f", pdfBytes(6)},
                          {"7", longKey, pdfBytes(7)},
                          {"8", "vazio", ""},
                          {"9", "igual", pdfBytes(9)},
                          {"10", "igual", pdfBytes(10)}}));
    dialogs.boxes.clear();
    dialogs.pinAnswers = {QStringLiteral("1234")};
    click(ui.Button4);
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_EQ(column(2), (QStringList(8, "Erro") << "Enviado" << "Enviado"));
    const QStringList shown{"\"../x\"", "\"a/b\"", "\"..\"", "\"\"", "\"c\\d\"", "\"e\\x01f\"", "\"" + longKey + "\""};
    for (int row = 0; row < shown.size(); ++row) {
        EXPECT_TRUE(column(3)[row].startsWith("Chave única inválida")) << column(3)[row].toStdString();
        EXPECT_TRUE(column(3)[row].endsWith(shown[row])) << column(3)[row].toStdString();
    }
    EXPECT_EQ(column(3)[7], QStringLiteral("O PDF do instrumento veio vazio do serviço; nada foi assinado."));

    // Nothing was written outside the folder; the later row of a key replaced the earlier one's files.
    EXPECT_EQ(filesWritten(), QStringList{"base/gravacao/igual.pdf.p7s"});
    EXPECT_EQ(verifyWithOpenssl(save + "/igual.pdf.p7s", pki[Cert::Root].certPath).content, pdfBytes(10));
    const auto sent = uploads();
    ASSERT_EQ(sent.size(), 2);
    EXPECT_EQ(sent[0][1].second, "9");
    EXPECT_EQ(sent[1][1].second, "10");
}

// The token is pulled out as the third of five instruments is taken up: the run ends there
// with one box, nothing more is sent, and once the token is back the next press goes on.
TEST_F(ManualTab, ATokenPulledOutMidRunEndsItAtItsRowWithOneBoxAndTheNextPressGoesOnFromThere) {
    chooseSaveFolder();
    consult(consultation({{"1", "um", pdfBytes(1)},
                          {"2", "dois", pdfBytes(2)},
                          {"3", "tres", pdfBytes(3)},
                          {"4", "quatro", pdfBytes(4)},
                          {"5", "cinco", pdfBytes(5)}}));
    bool pulled = false;
    QObject::connect(ui.ListView2->model(), &QAbstractItemModel::dataChanged, [&](const QModelIndex& index) {
        if (!pulled && index.row() == 2 && index.column() == kStatusColumn && index.data().toString() == "Assinando") {
            pulled = true;
            tokens.removeToken("Token A");
        }
    });
    dialogs.boxes.clear();
    standIn.clear();
    dialogs.pinAnswers = {QStringLiteral("1234")};
    click(ui.Button4);
    EXPECT_EQ(column(2), (QStringList{"Enviado", "Enviado", "Assinando", "", ""}));
    const auto sent = uploads();
    ASSERT_EQ(sent.size(), 2);
    EXPECT_EQ(sent[0][1].second, "1");
    EXPECT_EQ(sent[1][1].second, "2");
    EXPECT_EQ(dialogs.texts(), std::vector<QString>{QStringLiteral(
                                   "Erro 11: Chave do certificado não encontrada. Por favor confirme se o cartão ou "
                                   "token USB do certificado selecionado está conectado ao seu computador ou remova e "
                                   "insira-o novamente.")});
    // The signatures sent, and the PDF of the row that ended the run; nothing half-written.
    EXPECT_EQ(filesWritten(), (QStringList{"base/gravacao/dois.pdf.p7s", "base/gravacao/tres.pdf",
                                           "base/gravacao/um.pdf.p7s"}));

    tokens.addToken("Token A", {Cert::A3});
    standIn.clear();
    dialogs.boxes.clear();
    dialogs.pinAnswers = {QStringLiteral("1234")};
    click(ui.Button4);
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_EQ(column(2), QStringList(5, "Enviado"));
    ASSERT_EQ(uploads().size(), 3);
    EXPECT_EQ(uploads()[0][1].second, "3");
}

// A 500 at row 2 that comes late: row 3 is signed meanwhile and stays "Assinado", nothing
// is sent after row 2; a row failing at once after it shows no box: row 2's is the last.
TEST_F(ManualTab, AnErrorEndingTheRunLeavesTheRowSignedMeanwhileSignedAndItsBoxIsTheLast) {
    chooseSaveFolder();
    const QList<Instrument> instruments{{"1", "um", pdfBytes(1)}, {"2", "dois", pdfBytes(2)},
                                        {"3", "tres", pdfBytes(3)}, {"4", "quatro", pdfBytes(4)}};
    consult(consultation(instruments));
    ScriptedAnswer late = serverError();
    late.delayMs = 600;
    standIn.clear();
    standIn.script(ScriptedAnswer::ok("{}"));
    standIn.script(late);
    dialogs.boxes.clear();
    dialogs.pinAnswers = {QStringLiteral("1234")};
    click(ui.Button4);
    EXPECT_EQ(column(2), (QStringList{"Enviado", "Assinado", "Assinado", ""}));
    ASSERT_EQ(uploads().size(), 2);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_TRUE(dialogs.texts()[0].contains("500")) << dialogs.texts()[0].toStdString();

    // Again, with row 3's PDF unwritable (a folder holds its name): row 2's 500 ends the run,
    // and row 3's failure, which came first in time, shows no box after it.
    // Instrument 1 is not sent again: the save folder's journal records it as sent.
    consult(consultation(instruments));
    QFile::remove(save + "/tres.pdf");
    ASSERT_TRUE(QDir().mkpath(save + "/tres.pdf"));
    standIn.clear();
    standIn.script(late);
    dialogs.boxes.clear();
    click(ui.Button4);
    EXPECT_EQ(column(2), (QStringList{"Enviado", "Assinado", "Assinando", ""}));
    EXPECT_TRUE(column(3)[0].startsWith(QStringLiteral("Já enviado em "))) << column(3)[0].toStdString();
    EXPECT_EQ(uploads().size(), 1);
    const std::vector<QString> texts = dialogs.texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_TRUE(texts[0].contains("500")) << texts[0].toStdString();
}

TEST(ManualInstrumentKeys, FitKeysNameFilesAndOthersAreNamed) {
    for (const QString& key : {QStringLiteral("35503080000000000101abc"), QStringLiteral("Protesto ção 10:30"),
                               QStringLiteral("..."), QString(240, QLatin1Char('k'))})
        EXPECT_EQ(norvane::invalidKeyText(key), QString()) << key.toStdString();
    // The limit counts the bytes of the name on disk.
    EXPECT_NE(norvane::invalidKeyText(QString(121, QChar(0x00E7))), QString());
    EXPECT_EQ(norvane::invalidKeyText(QString(120, QChar(0x00E7))), QString());
    EXPECT_EQ(norvane::invalidKeyText(QString(QChar(0xD800))),
              QStringLiteral("Chave única inválida para nome de arquivo (contém caractere inválido): \"") + QChar(0xD800) + "\"");
    EXPECT_EQ(norvane::invalidKeyText(QString(QChar(0))),
              QStringLiteral("Chave única inválida para nome de arquivo (contém caractere de controle): \"\\x00\""));
}

}  // namespace

namespace {

TEST_F(ManualTab, AKeyThatAsksForItsPinAtEveryUseIsAskedOncePerRun) {
    tokens.removeToken("Token A");
    tokens.keysAlwaysAuthenticate = true;
    tokens.addToken("Token B", {Cert::A3});
    norvane::tokens::forgetPins();
    chooseSaveFolder();
    consult(consultation({{"1", "um", pdfBytes(1)}, {"2", "dois", pdfBytes(2)}, {"3", "tres", pdfBytes(3)}}));
    dialogs.boxes.clear();
    dialogs.pinAnswers = {QStringLiteral("1234"), QStringLiteral("1234"), QStringLiteral("1234")};
    click(ui.Button4);
    EXPECT_TRUE(dialogs.boxes.empty()) << dialogs.texts().front().toStdString();
    EXPECT_EQ(dialogs.pinPrompts.size(), 1u);
    EXPECT_EQ(column(2), (QStringList(3, "Enviado")));
}

}  // namespace
