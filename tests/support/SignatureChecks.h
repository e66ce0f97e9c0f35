#pragma once
// Independent checks of the signatures we write: the openssl and GnuTLS command-line
// verifiers, and a reading of the signed attributes with OpenSSL's CMS parser.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <ostream>

// Readable QString values in test failure messages.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace norvane::test {

struct ToolResult {
    int exitCode = -1;
    QByteArray output;  // stdout
    QByteArray errors;  // stderr
    QString describe() const;
};

// Runs a program to its end (no shell) and gathers what it printed.
ToolResult runProgram(const QString& program, const QStringList& arguments, int timeoutMs = 60000);

// `openssl cms -verify -inform DER -binary -CAfile root`; on success `content` holds the
// enclosed content that openssl extracted.
struct VerifyResult {
    bool ok = false;
    QByteArray content;
    QString log;
};
VerifyResult verifyWithOpenssl(const QString& p7sPath, const QString& rootPem);
// `certtool --p7-verify --inder --load-ca-certificate root`.
VerifyResult verifyWithCerttool(const QString& p7sPath, const QString& rootPem);

// What one SignedData (DER) holds, read with OpenSSL.
struct SignedDataContents {
    bool parsed = false;
    QString error;
    QByteArray content;                // enclosed content
    int signerCount = 0;
    QString digestAlgorithm;           // e.g. "sha256"
    QByteArray signingTimeDer;         // the attribute value, DER (17 0d ... 5a)
    QDateTime signingTime;             // the same, as an instant in UTC
    QByteArray documentNameDer;        // the attribute value, DER (04 .. UTF-16LE ..)
    QByteArray documentDescriptionDer;
    bool hasSigningCertificateV2 = false;
    int signedAttributeCount = 0;
    QStringList certificateSubjects;   // the certificates enclosed, one-line subject names
};
SignedDataContents readSignedData(const QByteArray& der);

// DER of an OCTET STRING holding `text` in UTF-16LE + two NUL bytes.
QByteArray expectedTextAttribute(const QString& text);

QByteArray readWholeFile(const QString& path);

}  // namespace norvane::test
