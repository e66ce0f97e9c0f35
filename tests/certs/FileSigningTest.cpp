// Signing a file with a key read from files (no token): the .p7s that openssl verifies and
// what the call says it wrote, the name of the .p7s, failures that leave no file, the boxes of
// the login's signature, and the platform's SignedData with a signer handed in.

#include <gtest/gtest.h>

#include <QTimeZone>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "certs/CAPICOM_TLB.h"
#include "certs/FileSignature.h"
#include "certs/cms/FileSigning.h"
#include "certs/cms/Signer.h"
#include "support/SignatureChecks.h"
#include "support/TestPki.h"

using namespace norvane;
using namespace norvane::test;

namespace {

const QDateTime kWhen = QDateTime(QDate(2024, 1, 15), QTime(10, 30, 0), QTimeZone::utc());

QByteArray sha256(const QByteArray& bytes) { return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256); }

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
}

QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

class FileSigning : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(work.isValid());
        QByteArray chain;
        for (Cert c : {Cert::A3, Cert::Intermediate}) chain += readWholeFile(pki[c].certPath);
        writeFile(work.filePath("chain.pem"), chain);
        signer = cms::KeyFileSigner::fromPem(pki[Cert::A3].keyPath, work.filePath("chain.pem"));
        // The A1 key with the A3 certificate: OpenSSL refuses to sign.
        mismatched = cms::KeyFileSigner::fromPem(pki[Cert::A1].keyPath, work.filePath("chain.pem"));
        ASSERT_TRUE(QDir(work.path()).mkdir("in") && QDir(work.path()).mkdir("out"));
        in = work.filePath("in");
        out = work.filePath("out");
    }

    // A source that hands out `use` and keeps the digests it was told.
    cms::SignerForContent source(std::shared_ptr<const cms::Signer> use) {
        return [this, use](const QByteArray& digest) {
            told.push_back(digest);
            return use;
        };
    }

    // signFile's error, or a failure of the test when it did not raise.
    cms::FileSigningError failureOf(const cms::SignerForContent& from, const QString& path, const QString& folder) {
        try {
            cms::signFile(from, path, folder, kWhen);
        } catch (const cms::FileSigningError& error) {
            return error;
        }
        ADD_FAILURE() << "signFile did not raise for " << path.toStdString();
        return cms::FileSigningError(cms::FileStep::Refused, Error(ErrorKind::Failure, "none"));
    }

    const TestPki& pki = TestPki::instance();
    QTemporaryDir work;
    QString in, out;
    std::shared_ptr<const cms::Signer> signer, mismatched;
    std::vector<QByteArray> told;
};

TEST_F(FileSigning, TheSignatureVerifiesAndTheResultSaysWhatWasWritten) {
    const QByteArray bytes = "%PDF-1.4\n" + QByteArray(70000, 'x') + "\n%%EOF\n";
    const QString pdf = in + "/Instrumento nº 7.pdf";
    writeFile(pdf, bytes);

    const std::optional<cms::SignedFile> written = cms::signFile(source(signer), pdf, out, kWhen);
    ASSERT_TRUE(written);
    EXPECT_EQ(written->signaturePath, out + "/Instrumento nº 7.pdf.p7s");
    EXPECT_EQ(written->sizeText, QString::number(bytes.size()));
    EXPECT_EQ(written->contentSha256, sha256(bytes));
    EXPECT_EQ(told, std::vector<QByteArray>{sha256(bytes)});
    EXPECT_EQ(written->signatureSha256, sha256(readWholeFile(written->signaturePath)));
    EXPECT_EQ(entries(out), QStringList{"Instrumento nº 7.pdf.p7s"});

    const VerifyResult openssl = verifyWithOpenssl(written->signaturePath, pki[Cert::Root].certPath);
    EXPECT_TRUE(openssl.ok) << openssl.log.toStdString();
    EXPECT_EQ(openssl.content, bytes);
    const SignedDataContents read = readSignedData(readWholeFile(written->signaturePath));
    EXPECT_EQ(read.documentNameDer, expectedTextAttribute("Instrumento nº 7.pdf"));
    EXPECT_EQ(read.documentDescriptionDer, expectedTextAttribute("Assinado com Assinador Norvane"));
    EXPECT_EQ(read.signingTime, kWhen);
}

TEST_F(FileSigning, TheSignaturesNameIsTheFolderTheFilesNameAndP7s) {
    EXPECT_EQ(cms::signaturePath("/saida", "a.pdf"), "/saida/a.pdf.p7s");
    EXPECT_EQ(cms::signaturePath("/saida/", "a.pdf"), "/saida/a.pdf.p7s");
    EXPECT_EQ(cms::signaturePath(QString(), "a.pdf"), "a.pdf.p7s");
    EXPECT_EQ(cms::signaturePath("/saida", "chave.pdf"), "/saida/chave.pdf.p7s");
}

TEST_F(FileSigning, AFailureLeavesNoFileAndAnEarlierSignatureAsItWas) {
    const QString pdf = in + "/a.pdf";
    writeFile(pdf, "%PDF-1.4\nprimeiro\n");
    ASSERT_TRUE(cms::signFile(source(signer), pdf, out, kWhen));
    const QByteArray earlier = readWholeFile(out + "/a.pdf.p7s");
    writeFile(pdf, "%PDF-1.4\nsegundo\n");

    // The key refuses: nothing replaces the earlier signature, no temporary file is left.
    cms::FileSigningError failed = failureOf(source(mismatched), pdf, out);
    EXPECT_EQ(failed.step(), cms::FileStep::Signing);
    EXPECT_EQ(failed.kind(), ErrorKind::CryptoError);
    EXPECT_FALSE(failed.causes().empty()) << "OpenSSL's errors stay its causes";
    EXPECT_EQ(readWholeFile(out + "/a.pdf.p7s"), earlier);
    EXPECT_EQ(entries(out), QStringList{"a.pdf.p7s"});

    // A save folder that does not exist.
    failed = failureOf(source(signer), pdf, work.filePath("nao-existe"));
    EXPECT_EQ(failed.step(), cms::FileStep::Signing);
    EXPECT_EQ(failed.kind(), ErrorKind::FileError);
    EXPECT_FALSE(QFileInfo::exists(work.filePath("nao-existe")));

    // No signer: nothing is signed or written, and that is no error.
    told.clear();
    EXPECT_FALSE(cms::signFile(source(nullptr), pdf, out, kWhen));
    EXPECT_EQ(told.size(), 1u);
    EXPECT_EQ(readWholeFile(out + "/a.pdf.p7s"), earlier);

    // The source raises: its kind is kept.
    failed = failureOf(
        [](const QByteArray&) -> std::shared_ptr<const cms::Signer> {
            throw Error(ErrorKind::PinLocked, "PIN bloqueado");
        },
        pdf, out);
    EXPECT_EQ(failed.step(), cms::FileStep::Signer);
    EXPECT_EQ(failed.kind(), ErrorKind::PinLocked);
    EXPECT_EQ(failed.message(), "PIN bloqueado");
    EXPECT_EQ(entries(out), QStringList{"a.pdf.p7s"});
}

TEST_F(FileSigning, WhatCannotBeReadIsToldByItsStepBeforeAnySignerIsAsked) {
    told.clear();
    writeFile(in + "/a.pdf.P7S", "assinatura");
    cms::FileSigningError failed = failureOf(source(signer), in + "/a.pdf.P7S", out);
    EXPECT_EQ(failed.step(), cms::FileStep::Refused);
    EXPECT_EQ(failed.kind(), ErrorKind::InvalidArgument);
    EXPECT_EQ(failed.message(), "O arquivo a.pdf.P7S já é uma assinatura (.p7s) e não será assinado novamente.");

    failed = failureOf(source(signer), in + "/sumiu.pdf", out);
    EXPECT_EQ(failed.step(), cms::FileStep::Opening);
    EXPECT_EQ(failed.kind(), ErrorKind::FileError);
    EXPECT_TRUE(failed.message().startsWith("Não foi possível abrir o arquivo " + in + "/sumiu.pdf")) << failed.what();

    failed = failureOf(source(signer), in, out);
    EXPECT_EQ(failed.step(), cms::FileStep::Opening);
    EXPECT_EQ(failed.message(), "Não foi possível abrir o arquivo " + in + ": não é um arquivo comum.");

    failed = failureOf(source(signer), "/proc/self/mem", out);
    EXPECT_EQ(failed.step(), cms::FileStep::Reading);
    EXPECT_TRUE(failed.message().startsWith("Falha ao ler o arquivo /proc/self/mem")) << failed.what();

    EXPECT_TRUE(told.empty());
    EXPECT_TRUE(entries(out).isEmpty());
}

// The login's keys as a grid's rows see them, over the file signer.
struct FileKeys : SigningKeys {
    std::shared_ptr<const cms::Signer> signer;
    bool ready = true;
    std::shared_ptr<const cms::Signer> signerFor(const QString& thumbprint, QString* failure) override {
        if (!signer) *failure = "Erro 03: nenhum certificado " + thumbprint;
        return signer;
    }
    void requireReady() const override {
        if (!ready) throw Error(ErrorKind::InvalidArgument, "Nenhum certificado foi escolhido.");
    }
    std::optional<QString> certificateBase64(const QString&, QString*) override { return std::nullopt; }
};

TEST_F(FileSigning, TheLoginsSignatureTellsEachFailureInItsNumberedBoxes) {
    const QString pdf = in + "/a.pdf";
    writeFile(pdf, "%PDF-1.4\nconteudo\n");
    FileKeys keys;

    // Not found: the lookup's box, then the key's.
    FileSignature result = signFileWith(keys, "AB12", pdf, out);
    EXPECT_EQ(result.errors,
              (std::vector<QString>{"Erro 03: nenhum certificado AB12", "Erro 11: " + keyUnreachableText()}));
    EXPECT_TRUE(result.keyUnreachable());
    EXPECT_FALSE(result.signedFile());

    keys.ready = false;
    result = signFileWith(keys, "AB12", pdf, out);
    EXPECT_EQ(result.errors,
              (std::vector<QString>{"Erro 03: nenhum certificado AB12", "Erro 13: Nenhum certificado foi escolhido."}));
    EXPECT_EQ(result.failure, ErrorKind::InvalidArgument);

    keys.ready = true;
    keys.signer = mismatched;
    result = signFileWith(keys, "AB12", pdf, out);
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_TRUE(result.errors[0].startsWith("Erro 11: Falha ao incluir o signatário: "))
        << result.errors[0].toStdString();
    EXPECT_EQ(result.failure, ErrorKind::CryptoError);
    EXPECT_TRUE(entries(out).isEmpty());

    // Declined once the bytes are read: nothing signed, nothing to show.
    keys.signer = signer;
    QByteArray seen;
    QByteArray seenBytes;
    result = signFileWith(keys, "AB12", pdf, out, [&](const QByteArray& content, const QByteArray& digest) {
        seenBytes = content;
        seen = digest;
        return false;
    });
    EXPECT_EQ(seen, sha256("%PDF-1.4\nconteudo\n"));
    EXPECT_EQ(seenBytes, "%PDF-1.4\nconteudo\n");
    EXPECT_TRUE(result.errors.empty());
    EXPECT_FALSE(result.failure);
    EXPECT_TRUE(entries(out).isEmpty());

    result = signFileWith(keys, "AB12", pdf, out, [](const QByteArray&, const QByteArray&) { return true; });
    EXPECT_TRUE(result.signedFile());
    EXPECT_TRUE(result.errors.empty());
    EXPECT_EQ(result.signaturePath, out + "/a.pdf.p7s");
    EXPECT_EQ(result.contentSha256, seen);
    EXPECT_EQ(result.signatureSha256, sha256(readWholeFile(result.signaturePath)));
}

TEST_F(FileSigning, ThePlatformsSignedDataSignsWithASignerHandedIn) {
    using namespace CAPICOM_TLB;
    auto platformSigner = CoSigner::Create();
    platformSigner->SetCertificate(std::make_shared<ICertificate2>(signer->certificate(), TokenLocation{}));
    platformSigner->SetKeySigner(signer);
    auto data = CoSignedData::Create();
    data->SetBinaryContent(QByteArray("%PDF-1.4\nplataforma\n"));
    const QString p7s = out + "/plataforma.p7s";
    cms::saveWhole(p7s, data->Sign(platformSigner, false, CAPICOM_ENCODE_BINARY));
    const VerifyResult openssl = verifyWithOpenssl(p7s, pki[Cert::Root].certPath);
    EXPECT_TRUE(openssl.ok) << openssl.log.toStdString();
    EXPECT_EQ(openssl.content, "%PDF-1.4\nplataforma\n");

    // The key handed in refuses: the platform's code of a failed cryptography.
    platformSigner->SetKeySigner(mismatched);
    try {
        data->Sign(platformSigner, false, CAPICOM_ENCODE_BINARY);
        ADD_FAILURE() << "a key that does not match must fail";
    } catch (const CapicomError& error) {
        EXPECT_EQ(error.code(), NTE_FAIL);
        EXPECT_EQ(error.kind(), ErrorKind::CryptoError);
    }
}

}  // namespace
