// The demo service, through the real client: what the login, the version check and the
// two tabs will see, in both environments.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>

#include "packaging/Packaging.h"
#include "service/ServiceCall.h"
#include "support/StandIn.h"

using namespace norvane;
using norvane::test::StandIn;

namespace {

FieldList fields(std::initializer_list<std::pair<const char*, QString>> list) {
    FieldList result;
    for (const auto& [name, value] : list) result.set(QString::fromLatin1(name), value);
    return result;
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return file.readAll();
}

}  // namespace

TEST(DemoService, ServesAnOfficeManualInstrumentsAndKeepsUploads) {
    QTemporaryDir store;
    StandIn::Options options;
    options.demo = true;
    options.version = "1.0.3";
    options.store = store.path();
    options.homologationPort = true;
    StandIn demo(options);
    HttpClient client;

    for (const auto& [ambiente, url] :
         {std::pair{QStringLiteral("P"), demo.baseUrl()}, std::pair{QStringLiteral("H"), demo.homologationBaseUrl()}}) {
        SCOPED_TRACE(ambiente.toStdString());
        const auto version =
            parseAnswerObject(serviceCall(client, ambiente, url, fields({{"servico", kAssinadorVersao}})));
        ASSERT_TRUE(version);
        const JsonValue versions = jsonArray(*version, "root");
        ASSERT_EQ(versions.size(), 1u);
        EXPECT_EQ(jsonText(jsonObject(versions[0], "dados"), "nm_nr_versao"), "1.0.3");

        const auto login = parseAnswerObject(
            serviceCall(client, ambiente, url, fields({{"servico", kLogin}, {"doc", "123.456.789-01"}})));
        ASSERT_TRUE(login);
        const JsonValue offices = jsonArray(*login, "root");
        ASSERT_EQ(offices.size(), 1u);
        EXPECT_EQ(jsonText(offices[0], "codigoIBGE"), "3550308");
        EXPECT_EQ(jsonText(offices[0], "numero"), "01");
        EXPECT_EQ(jsonInteger(offices[0], "codCartorio"), 101);
        // UTF-8 without a charset: one character per byte, as the login re-decodes it.
        EXPECT_EQ(QString::fromUtf8(jsonText(offices[0], "nomeCartorio").toLatin1()),
                  QString::fromUtf8("1º Tabelião de Protesto de Letras e Títulos"));
    }

    const FieldList consult = fields({{"servico", kDigitacaoManual},
                                      {"nm_nr_cpf", "123.456.789-01"},
                                      {"cd_ibge", "3550308"},
                                      {"nr_cartorio", "01"}});
    const auto listed = parseAnswerObject(serviceCall(client, "H", demo.homologationBaseUrl(), consult));
    ASSERT_TRUE(listed);
    const JsonValue instruments = jsonArray(*listed, "dados");
    ASSERT_EQ(instruments.size(), 3u);
    const QString id = jsonText(instruments[0], "cd_titulo_instrumento_protesto");
    const QString key = jsonText(instruments[0], "nm_chave");
    EXPECT_EQ(key.size(), 23);
    EXPECT_TRUE(key.startsWith("3550308"));
    EXPECT_EQ(key.mid(15, 2), "01");

    // The PDF passes what the intake looks for, and carries the manual-typing marker.
    QTemporaryDir folder;
    const QString pdf = folder.filePath(key + ".pdf");
    SaveBase64ToFile(jsonText(instruments[0], "ds_instrumento_protesto_pdf_b64").toLatin1(), pdf);
    const QByteArray bytes = readFile(pdf);
    EXPECT_TRUE(bytes.startsWith("%PDF-1.4"));
    EXPECT_TRUE(bytes.contains("pdfa"));
    EXPECT_TRUE(bytes.contains("Keywords"));
    EXPECT_TRUE(bytes.contains("{\"manual\":\"1\"}"));
    EXPECT_TRUE(bytes.trimmed().endsWith("%%EOF"));

    // A signed manual instrument is accepted, kept, and no longer listed.
    const QByteArray signature = "assinatura de teste\r\n+/=";
    QFile::remove(folder.filePath("sig.p7s"));
    {
        QFile file(folder.filePath("sig.p7s"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(signature);
    }
    FieldList upload;
    upload.set("servico", kDigitacaoManualAtt);
    upload.set("cd_titulo_instrumento_protesto", id);
    upload.set("ds_instrumento_protesto_b64", EncodeFile(folder.filePath("sig.p7s")));
    upload.set("ds_certificado_digital_b64", QStringLiteral("MIIB"));
    EXPECT_TRUE(parseAnswerObject(serviceCall(client, "P", demo.baseUrl(), upload)));
    const auto relisted = parseAnswerObject(serviceCall(client, "P", demo.baseUrl(), consult));
    ASSERT_TRUE(relisted);
    EXPECT_EQ(jsonArray(*relisted, "dados").size(), 2u);

    // A batch upload: the zipped signature is kept as received.
    ASSERT_TRUE(Zipa({folder.filePath("sig.p7s")}, folder.filePath("sig.p7s.zip")));
    FieldList batch;
    batch.set("servico", kInstrumentoDeProtesto);
    batch.set("ds_instrumento_protesto", EncodeFile(folder.filePath("sig.p7s.zip")));
    batch.set("nm_chave", key);
    batch.set("cd_usuario", QStringLiteral("1234"));
    batch.set("ds_certificado_digital_b64", QStringLiteral("MIIB"));
    EXPECT_TRUE(parseAnswerObject(serviceCall(client, "P", demo.baseUrl(), batch)));

    const QStringList kept = QDir(store.path()).entryList(QDir::Files, QDir::Name);
    ASSERT_EQ(kept.size(), 2) << kept.join(' ').toStdString();
    EXPECT_EQ(kept[0], "001-manual-" + id + ".p7s");
    EXPECT_EQ(readFile(store.filePath(kept[0])), signature);
    EXPECT_EQ(kept[1], "002-" + key + ".p7s.zip");
    EXPECT_EQ(readFile(store.filePath(kept[1])), readFile(folder.filePath("sig.p7s.zip")));
}

namespace {

// The number of the first intake test that a batch file fails for an office (0: none).
int firstRefusal(const QString& name, const QByteArray& bytes, const QString& ibge, const QString& numero) {
    if (bytes.contains("{\"manual\":\"1\"}")) return 1;
    if (!bytes.contains("pdfa")) return 2;
    if (!bytes.contains("Keywords")) return 3;
    if (name.size() < 27) return 4;
    if (name.left(7) != ibge) return 5;
    if (name.mid(15, 2) != numero) return 6;
    return 0;
}

}  // namespace

TEST(DemoService, TheDemoHolderHasTwoOfficesWithInstrumentsAndSamplesUnderTheirKeys) {
    QTemporaryDir samples;
    StandIn::Options options;
    options.demo = true;
    options.samples = samples.path();
    StandIn demo(options);
    HttpClient client;

    const auto login = parseAnswerObject(
        serviceCall(client, "P", demo.baseUrl(), fields({{"servico", kLogin}, {"doc", "123.456.789-09"}})));
    ASSERT_TRUE(login);
    const JsonValue offices = jsonArray(*login, "root");
    ASSERT_EQ(offices.size(), 2u);
    const QString names[] = {QString::fromUtf8("CARTÓRIO DO 1º OFÍCIO DE PROTESTO DE TÍTULOS DE SÃO JOSÉ"),
                             QString::fromUtf8("TABELIONATO DO 2º OFÍCIO DE PROTESTO DE LETRAS E TÍTULOS DE SÃO JOSÉ")};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(jsonText(offices[i], "codigoIBGE"), "4216602");
        EXPECT_EQ(jsonText(offices[i], "numero"), QStringLiteral("0%1").arg(i + 1));
        EXPECT_EQ(QString::fromUtf8(jsonText(offices[i], "nomeCartorio").toLatin1()), names[i]);
    }
    EXPECT_NE(jsonInteger(offices[0], "codCartorio"), jsonInteger(offices[1], "codCartorio"));

    // Each office's manual instruments carry its keys and decode to PDFs.
    for (const QString& numero : {QStringLiteral("01"), QStringLiteral("02")}) {
        SCOPED_TRACE(numero.toStdString());
        const auto listed = parseAnswerObject(serviceCall(client, "P", demo.baseUrl(),
                                                          fields({{"servico", kDigitacaoManual},
                                                                  {"nm_nr_cpf", "123.456.789-09"},
                                                                  {"cd_ibge", "4216602"},
                                                                  {"nr_cartorio", numero}})));
        ASSERT_TRUE(listed);
        const JsonValue instruments = jsonArray(*listed, "dados");
        ASSERT_EQ(instruments.size(), 3u);
        for (const JsonValue& instrument : instruments) {
            const QString key = jsonText(instrument, "nm_chave");
            EXPECT_EQ(key.size(), 23);
            EXPECT_EQ(key.left(7), "4216602");
            EXPECT_EQ(key.mid(15, 2), numero);
            const QByteArray pdf =
                QByteArray::fromBase64(jsonText(instrument, "ds_instrumento_protesto_pdf_b64").toLatin1());
            EXPECT_TRUE(pdf.startsWith("%PDF-")) << key.toStdString();
            EXPECT_TRUE(pdf.contains("{\"manual\":\"1\"}"));
        }
    }

    // The sample folder: files the first office's intake accepts, and one of each refusal.
    const QMap<QString, int> refusals{{"-digitacao-manual", 1}, {"-sem-pdfa", 2},       {"-sem-metadados", 3},
                                      {"-vazio", 2},            {"-curto", 4},          {"-outro-municipio", 5},
                                      {"-outro-cartorio", 6}};
    QMap<int, int> seen;
    const QStringList files = QDir(samples.path()).entryList({"*.pdf"}, QDir::Files, QDir::Name);
    for (const QString& name : files) {
        SCOPED_TRACE(name.toStdString());
        const QByteArray bytes = readFile(samples.filePath(name));
        int expected = 0;
        for (auto it = refusals.begin(); it != refusals.end(); ++it)
            if (name.endsWith(it.key() + ".pdf")) expected = it.value();
        EXPECT_EQ(firstRefusal(name, bytes, "4216602", "01"), expected);
        if (!bytes.isEmpty()) {
            EXPECT_TRUE(bytes.startsWith("%PDF-"));
        }
        ++seen[expected];
    }
    EXPECT_GE(seen.value(0), 3);
    for (int rule = 1; rule <= 6; ++rule) EXPECT_GE(seen.value(rule), 1) << "refusal " << rule;
    // What the first office refuses for its number, the second office takes.
    const QStringList other = QDir(samples.path()).entryList({"*-outro-cartorio.pdf"}, QDir::Files);
    ASSERT_EQ(other.size(), 1);
    EXPECT_EQ(firstRefusal(other[0], readFile(samples.filePath(other[0])), "4216602", "02"), 0);
}
