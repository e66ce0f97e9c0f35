#pragma once
// What the whole-run tests of the batch and manual rows share: a SoftHSM token, the stand-in
// service, the folders, and the checks every case ends with (what the stand-in received,
// what the output folder holds, what the journal says).

#include "certs/SigningSession.h"
#include "certs/tokens/TokenAccess.h"
#include "engine/Journal.h"
#include "engine/RowRules.h"
#include "engine/RunRows.h"
#include "support/ScriptedDialogs.h"
#include "support/SignatureChecks.h"
#include "support/SoftHsmTokens.h"
#include "support/StandIn.h"
#include "support/TestPki.h"
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <csignal>
#include <functional>
#include <map>
#include <set>
#include <sys/resource.h>

namespace norvane::test::batchrun {

using namespace norvane;
using namespace norvane::test;


inline const QString kIbge = QStringLiteral("3550308");
inline const QString kCartorio = QStringLiteral("01");

inline QString key(int n) { return kIbge + QStringLiteral("20240115") + kCartorio + QStringLiteral("%1").arg(n, 6, 10, QLatin1Char('0')); }

inline QByteArray pdf(int n, const QByteArray& extra = {}) {
    return "%PDF-1.4\n<pdfaid:part>1</pdfaid:part>\n/Keywords (protesto " + QByteArray::number(n) + ")\n" + extra +
           "%%EOF\n";
}

inline QByteArray sha256(const QByteArray& bytes) { return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256); }
inline QString hexOf(const QByteArray& bytes) { return QString::fromLatin1(sha256(bytes).toHex()); }

inline void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
}

// Calls the test's function on the stage's thread, before the journal is told of the change.
struct BeforeTheJournal : RowRecorder {
    std::function<void(const RowChange&)> changed;
    void record(const RowChange& change, const RowRecord&) override {
        if (changed) changed(change);
    }
};

// Calls the test's functions as the run goes.
struct Hooks : RowObserver {
    std::function<void(const RowChange&)> changed;
    std::function<void()> ended;
    void rowChanged(const RowChange& change) override {
        if (changed) changed(change);
    }
    void runEnded(const RunEnd&) override {
        if (ended) ended();
    }
};

class BatchRun : public ::testing::Test {
protected:
    void SetUp() override {
        tokens::forgetPins();
        tokens.addToken("Token A", {Cert::A3});
        dialogs.pickAnswers = {0};
        ASSERT_EQ(signing.ListaCertificados(1), QStringLiteral("1"));
        context.cd_ibge = kIbge;
        context.nr_cartorio = kCartorio;
        context.cd_usuario = QStringLiteral("42");
        context.nm_nr_cpf = QStringLiteral("123.456.789-09");
        context.nm_cartorio = QStringLiteral("1º Tabelião de Protesto");
        context.Ambiente = QStringLiteral("P");
        context.urlAPI = standIn.baseUrl();
        standIn.setDefault(ScriptedAnswer::ok("{\"retorno\":\"ok\"}"));
        dialogs.pinAnswers = {QStringLiteral("1234")};
        engine.addObserver(&hooks);
    }
    void TearDown() override { checkNothingSentTwice(); }

    QString folder(const QString& name) {
        const QString path = work.filePath(name);
        EXPECT_TRUE(QDir().mkpath(path));
        return path;
    }
    // Files key(first..first+count-1) + ".pdf" in the folder.
    QStringList inputs(const QString& in, int first, int count) {
        QStringList names;
        for (int n = first; n < first + count; ++n) {
            names << key(n) + QStringLiteral(".pdf");
            writeFile(in + "/" + names.back(), pdf(n));
        }
        return names;
    }
    // The grid as an intake fills it: every file accepted.
    void intake(const QStringList& names) {
        model.clear();
        for (const QString& name : names) {
            RowRecord row;
            row.file = name;
            row.size = QStringLiteral("1 Kb.");
            row.key = name.left(23);
            row.status = RowStatus::Waiting;
            row.observation = QString();
            model.append(row);
        }
    }
    RunOutcome runBatch(const QString& in, const QString& out) {
        return runBatchRows(engine, {context, in, out}, signing, http);
    }
    QStringList statuses() const {
        QStringList out;
        const int column = model.columnOf(RowColumn::Status);
        for (int r = 0; r < model.rowCount(); ++r) out << model.index(r, column).data().toString();
        return out;
    }

    // What the stand-in received so far (also before a clear): nm_chave (or the manual ID)
    // with the SHA-256 of the document its signature encloses.
    void collect() {
        for (const RecordedRequest& request : standIn.requests()) {
            QString id;
            QByteArray p7s;
            for (const auto& [name, value] : formFields(request.body())) {
                if (name == "nm_chave" || name == "cd_titulo_instrumento_protesto") id = QString::fromUtf8(value);
                if (name == "ds_instrumento_protesto") p7s = unzipOne(QByteArray::fromBase64(value));
                if (name == "ds_instrumento_protesto_b64") p7s = QByteArray::fromBase64(value);
            }
            received.push_back({id, readSignedData(p7s).content});
        }
        standIn.clear();
    }
    QStringList receivedIds() {
        collect();
        QStringList ids;
        for (const auto& [id, content] : received) ids << id;
        return ids;
    }
    // What was received since `from` things had been.
    QStringList receivedSince(int from) { return receivedIds().mid(from); }
    // The one entry of an upload's archive, read by Python's zipfile.
    QByteArray unzipOne(const QByteArray& archive) {
        const QString zip = work.filePath("recebido.zip");
        writeFile(zip, archive);
        const ToolResult python = runProgram(
            "python3", {"-c", "import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1])\nassert len(z.namelist()) == 1\n"
                              "sys.stdout.buffer.write(z.read(z.namelist()[0]))",
                        zip});
        EXPECT_EQ(python.exitCode, 0) << python.describe().toStdString();
        return python.output;
    }
    // No document reached the service twice.
    void checkNothingSentTwice() {
        collect();
        std::set<std::pair<QString, QByteArray>> seen;
        for (const auto& [id, content] : received) {
            EXPECT_FALSE(content.isEmpty()) << id.toStdString();
            EXPECT_TRUE(seen.insert({id, sha256(content)}).second) << "sent twice: " << id.toStdString();
        }
    }

    // The output folder holds the .p7s of these inputs (each verifies with openssl and
    // encloses the input's bytes now), the journal and the reports, nothing else.
    void checkOutputFolder(const QString& in, const QString& out, const QStringList& signedNames) {
        QStringList expected;
        for (const QString& name : signedNames) {
            expected << name + QStringLiteral(".p7s");
            const VerifyResult verified = verifyWithOpenssl(out + "/" + name + ".p7s", pki[Cert::Root].certPath);
            EXPECT_TRUE(verified.ok) << name.toStdString() << verified.log.toStdString();
            EXPECT_EQ(verified.content, readWholeFile(in + "/" + name)) << name.toStdString();
        }
        QStringList found;
        for (const QString& file : QDir(out).entryList(QDir::Files | QDir::Hidden))
            if (file != kJournalFileName && !(file.startsWith(QStringLiteral("relatorio-")) && file.endsWith(QStringLiteral(".csv"))))
                found << file;
        expected.sort();
        EXPECT_EQ(found, expected);
    }

    // The journal's events by file (or ID), in order; the last SHA-256 of the PDF sent.
    std::map<QString, QStringList> journalEvents(const QString& out) {
        std::map<QString, QStringList> events;
        const QByteArray bytes = readWholeFile(out + "/" + kJournalFileName);
        EXPECT_TRUE(bytes.isEmpty() || bytes.endsWith('\n'));
        const std::vector<QJsonObject> lines = Journal::read(out + "/" + kJournalFileName);
        EXPECT_EQ(qsizetype(lines.size()), bytes.count('\n'));  // every line whole and ours
        for (const QJsonObject& line : lines) {
            const QString row = line.contains("id") ? line.value("id").toString() : line.value("arquivo").toString();
            events[row] << line.value("evento").toString();
            if (line.value("evento").toString() == QLatin1String("enviado")) {
                sentHash[row] = line.value("sha256_pdf").toString();
                EXPECT_EQ(line.value("ambiente").toString(), context.Ambiente);
                EXPECT_EQ(line.value("cd_ibge").toString() + line.value("nr_cartorio").toString(), kIbge + kCartorio);
            }
        }
        return events;
    }

    // The report as Python's csv module reads it.
    QList<QStringList> reportRows(const QString& path) {
        const ToolResult python = runProgram(
            "python3", {"-c", "import csv, json, sys\nwith open(sys.argv[1], encoding='utf-8-sig', newline='') as f:\n"
                              "    print(json.dumps(list(csv.reader(f, delimiter=';'))))",
                        path});
        EXPECT_EQ(python.exitCode, 0) << python.describe().toStdString();
        QList<QStringList> rows;
        for (const QJsonValue& row : QJsonDocument::fromJson(python.output).array()) rows << row.toVariant().toStringList();
        return rows;
    }

    const TestPki& pki = TestPki::instance();
    ScriptedDialogs dialogs;
    SoftHsmTokens tokens;
    StandIn standIn;
    LoginContext context;
    SigningSession signing{context};
    HttpClient http;
    RowModel model{RowModel::Kind::Batch};
    RowEngine engine{model};
    Hooks hooks;
    QTemporaryDir work;
    std::vector<std::pair<QString, QByteArray>> received;
    std::map<QString, QString> sentHash;
};

}  // namespace norvane::test::batchrun
