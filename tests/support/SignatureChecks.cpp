#include "support/SignatureChecks.h"

#include <QTimeZone>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <memory>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

namespace norvane::test {

QString ToolResult::describe() const {
    return QStringLiteral("exit %1\nstdout: %2\nstderr: %3")
        .arg(exitCode)
        .arg(QString::fromUtf8(output.left(2000)), QString::fromUtf8(errors.left(2000)));
}

ToolResult runProgram(const QString& program, const QStringList& arguments, int timeoutMs) {
    QProcess process;
    process.start(program, arguments);
    ToolResult result;
    if (!process.waitForStarted(timeoutMs)) {
        result.errors = "could not start " + program.toUtf8();
        return result;
    }
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        result.errors = "timed out: " + program.toUtf8();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.output = process.readAllStandardOutput();
    result.errors = process.readAllStandardError();
    return result;
}

VerifyResult verifyWithOpenssl(const QString& p7sPath, const QString& rootPem) {
    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("content.bin"));
    const ToolResult run = runProgram(QStringLiteral("openssl"),
                                   {"cms", "-verify", "-inform", "DER", "-binary", "-in", p7sPath,
                                    "-CAfile", rootPem, "-out", out});
    VerifyResult result;
    result.log = run.describe();
    result.ok = run.exitCode == 0 && run.errors.contains("Verification successful");
    if (result.ok) result.content = readWholeFile(out);
    return result;
}

VerifyResult verifyWithCerttool(const QString& p7sPath, const QString& rootPem) {
    const ToolResult run = runProgram(QStringLiteral("certtool"), {"--p7-verify", "--inder", "--infile", p7sPath,
                                                                "--load-ca-certificate", rootPem});
    VerifyResult result;
    result.log = run.describe();
    result.ok = run.exitCode == 0;
    return result;
}

namespace {

QByteArray typeDer(const ASN1_TYPE* value) {
    if (!value) return {};
    const int length = i2d_ASN1_TYPE(value, nullptr);
    if (length <= 0) return {};
    QByteArray der(length, Qt::Uninitialized);
    auto* out = reinterpret_cast<unsigned char*>(der.data());
    i2d_ASN1_TYPE(value, &out);
    return der;
}

QByteArray attributeDer(CMS_SignerInfo* signer, const ASN1_OBJECT* oid) {
    const int index = CMS_signed_get_attr_by_OBJ(signer, oid, -1);
    if (index < 0) return {};
    X509_ATTRIBUTE* attribute = CMS_signed_get_attr(signer, index);
    if (X509_ATTRIBUTE_count(attribute) != 1) return {};
    return typeDer(X509_ATTRIBUTE_get0_type(attribute, 0));
}

}  // namespace

SignedDataContents readSignedData(const QByteArray& der) {
    SignedDataContents result;
    const auto* in = reinterpret_cast<const unsigned char*>(der.constData());
    std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
        d2i_CMS_ContentInfo(nullptr, &in, static_cast<long>(der.size())), &CMS_ContentInfo_free);
    if (!cms) {
        result.error = QStringLiteral("not a DER CMS message");
        return result;
    }
    if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
        result.error = QStringLiteral("not SignedData");
        return result;
    }
    if (reinterpret_cast<const unsigned char*>(der.constData()) + der.size() != in) {
        result.error = QStringLiteral("bytes after the message");
        return result;
    }
    if (ASN1_OCTET_STRING** content = CMS_get0_content(cms.get()); content && *content)
        result.content = QByteArray(reinterpret_cast<const char*>(ASN1_STRING_get0_data(*content)),
                                    ASN1_STRING_length(*content));

    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
    result.signerCount = sk_CMS_SignerInfo_num(signers);
    if (result.signerCount >= 1) {
        CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(signers, 0);
        X509_ALGOR* digest = nullptr;
        CMS_SignerInfo_get0_algs(signer, nullptr, nullptr, &digest, nullptr);
        if (digest) {
            const ASN1_OBJECT* oid = nullptr;
            X509_ALGOR_get0(&oid, nullptr, nullptr, digest);
            result.digestAlgorithm = QString::fromLatin1(OBJ_nid2sn(OBJ_obj2nid(oid)));
        }
        result.signedAttributeCount = CMS_signed_get_attr_count(signer);

        std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> timeOid(OBJ_txt2obj("1.2.840.113549.1.9.5", 1),
                                                                          &ASN1_OBJECT_free);
        std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> nameOid(OBJ_txt2obj("1.3.6.1.4.1.311.88.2.1", 1),
                                                                          &ASN1_OBJECT_free);
        std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> descOid(OBJ_txt2obj("1.3.6.1.4.1.311.88.2.2", 1),
                                                                          &ASN1_OBJECT_free);
        result.signingTimeDer = attributeDer(signer, timeOid.get());
        result.documentNameDer = attributeDer(signer, nameOid.get());
        result.documentDescriptionDer = attributeDer(signer, descOid.get());
        result.hasSigningCertificateV2 =
            CMS_signed_get_attr_by_NID(signer, NID_id_smime_aa_signingCertificateV2, -1) >= 0;

        const int index = CMS_signed_get_attr_by_OBJ(signer, timeOid.get(), -1);
        if (index >= 0) {
            const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(CMS_signed_get_attr(signer, index), 0);
            if (value && (value->type == V_ASN1_UTCTIME || value->type == V_ASN1_GENERALIZEDTIME)) {
                struct tm tm {};
                if (ASN1_TIME_to_tm(value->value.asn1_string, &tm))
                    result.signingTime = QDateTime(QDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday),
                                                   QTime(tm.tm_hour, tm.tm_min, tm.tm_sec), QTimeZone::utc());
            }
        }
    }

    STACK_OF(X509)* certs = CMS_get1_certs(cms.get());
    for (int i = 0; i < sk_X509_num(certs); ++i) {
        char line[512];
        X509_NAME_oneline(X509_get_subject_name(sk_X509_value(certs, i)), line, sizeof line);
        result.certificateSubjects << QString::fromUtf8(line);
    }
    sk_X509_pop_free(certs, X509_free);
    result.parsed = true;
    return result;
}

QByteArray expectedTextAttribute(const QString& text) {
    QByteArray value;
    for (const QChar c : text) {
        value.append(static_cast<char>(c.unicode() & 0xff));
        value.append(static_cast<char>(c.unicode() >> 8));
    }
    value.append(2, '\0');
    QByteArray der;
    der.append('\x04');
    if (value.size() < 128) {
        der.append(static_cast<char>(value.size()));
    } else if (value.size() < 256) {
        der.append('\x81');
        der.append(static_cast<char>(value.size()));
    } else {
        der.append('\x82');
        der.append(static_cast<char>(value.size() >> 8));
        der.append(static_cast<char>(value.size() & 0xff));
    }
    return der + value;
}

QByteArray readWholeFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

}  // namespace norvane::test
