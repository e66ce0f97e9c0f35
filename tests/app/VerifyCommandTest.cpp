// "--verificar" from the command line: the program itself, with no display at all, prints the
// verdict first and ends with 0 (valid), 1 (invalid) or 2 (not read as a signature).

#include "certs/cms/Signer.h"
#include "support/ProgramRun.h"
#include "support/SignatureChecks.h"
#include "support/TestPki.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace norvane;
using namespace norvane::test;

namespace {


class VerifyCommand : public ::testing::Test {
protected:
    void SetUp() override {
        const TestPki& pki = TestPki::instance();
        document = QByteArray("%PDF-1.7 instrumento de protesto ") + QByteArray(3000, 'x');
        documentPath = write("a.pdf", document);
        const QString chain = write("cadeia.pem", readWholeFile(pki[Cert::A3].certPath) +
                                                      readWholeFile(pki[Cert::Intermediate].certPath));
        const auto signer = cms::KeyFileSigner::fromPem(pki[Cert::A3].keyPath, chain);
        signature = signer->sign(document, {QDateTime::currentDateTime(), "a.pdf", "Assinado com Assinador Norvane"});
        signaturePath = write("a.pdf.p7s", signature);
    }

    QString write(const QString& name, const QByteArray& bytes) {
        QFile file(dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        return dir.filePath(name);
    }

    // The program with no display and the test root as the only trust anchor.
    ProgramRun run(const QStringList& arguments) {
        QProcessEnvironment extra;
        extra.insert("SSL_CERT_FILE", TestPki::instance().trustFile());
        extra.insert("SSL_CERT_DIR", emptyFolder.path());
        return runWithoutDisplay(arguments, extra);
    }

    QTemporaryDir dir, emptyFolder;
    QByteArray document, signature;
    QString documentPath, signaturePath;
};

}  // namespace

TEST_F(VerifyCommand, ExitCodesAndTheVerdictFirst) {
    const ProgramRun valid = run({"--verificar", signaturePath});
    EXPECT_EQ(valid.exitCode, 0) << valid.output.toStdString() << valid.errors.toStdString();
    EXPECT_EQ(valid.firstLine(), QStringLiteral("Assinatura VÁLIDA (revogação não verificada)"));
    EXPECT_TRUE(valid.output.contains("CPF: 111.222.333-44")) << valid.output.toStdString();
    EXPECT_TRUE(valid.output.contains("Revogação: não verificada")) << valid.output.toStdString();

    const ProgramRun withDocument = run({"--verificar", signaturePath, documentPath});
    EXPECT_EQ(withDocument.exitCode, 0) << withDocument.output.toStdString();
    EXPECT_TRUE(withDocument.output.contains("idêntico, byte a byte, ao conteúdo assinado: sim"));

    QByteArray other = document;
    other[10] = 'X';
    const ProgramRun otherDocument = run({"--verificar", signaturePath, write("b.pdf", other)});
    EXPECT_EQ(otherDocument.exitCode, 1) << otherDocument.output.toStdString();
    EXPECT_EQ(otherDocument.firstLine(),
              QStringLiteral("Assinatura INVÁLIDA: o documento informado difere do conteúdo assinado"));

    QByteArray tampered = signature;
    tampered[tampered.indexOf("instrumento de protesto")] = 'I';
    const ProgramRun invalid = run({"--verificar", write("alterada.p7s", tampered)});
    EXPECT_EQ(invalid.exitCode, 1) << invalid.output.toStdString();
    EXPECT_TRUE(invalid.firstLine().startsWith("Assinatura INVÁLIDA: o conteúdo não é o que foi assinado"))
        << invalid.output.toStdString();

    const ProgramRun notCms = run({"--verificar", documentPath});
    EXPECT_EQ(notCms.exitCode, 2);
    EXPECT_TRUE(notCms.firstLine().startsWith("Não foi possível verificar a assinatura: o arquivo não é uma assinatura"))
        << notCms.output.toStdString();

    const ProgramRun truncated = run({"--verificar", write("truncada.p7s", signature.left(signature.size() - 40))});
    EXPECT_EQ(truncated.exitCode, 2);
    EXPECT_TRUE(truncated.firstLine().contains("truncado")) << truncated.output.toStdString();

    const ProgramRun missing = run({"--verificar", dir.filePath("nenhum.p7s")});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_TRUE(missing.firstLine().contains("não existe")) << missing.output.toStdString();
}

TEST_F(VerifyCommand, WrongArgumentsPrintTheUsage) {
    for (const QStringList& arguments : {QStringList{"--verificar"}, QStringList{"--verificar", "a", "b", "c"}}) {
        const ProgramRun usage = run(arguments);
        EXPECT_EQ(usage.exitCode, 2);
        EXPECT_TRUE(usage.output.isEmpty());
        EXPECT_TRUE(usage.errors.contains("Uso: NorvaneAssinadorIP --verificar ARQUIVO.p7s [DOCUMENTO]"))
            << usage.errors.toStdString();
    }
}
