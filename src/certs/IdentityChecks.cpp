// The ICP-Brasil checks of the picked certificate: its policy (A3 or not) and the CPF
// of its holder, both read from the platform's text of one extension.

#include <functional>
#include <stdexcept>

#include "core/Dialogs.h"
#include "core/ErrorText.h"
#include "certs/SigningSession.h"
#include "core/unit_esfunctions.h"
#include "certs/CAPICOM_TLB.h"

using namespace CAPICOM_TLB;

namespace {

// The text between the first "=" of a line and the next "=" or the end.
QString secondPiece(const QString& line) {
    const QStringList pieces = SplitByChar("=", line);
    if (pieces.size() < 2)
        throw std::runtime_error(
            ("A linha \"" + line.trimmed() + "\" da extensão não tem valor.").toUtf8().toStdString());
    return pieces[1];
}

// Walks every extension of that OID and hands each line of its text to `onLine`.
void walkExtension(const std::shared_ptr<ICertificate2Disp>& certificate, const QString& oid,
                   const std::function<void(const QString&)>& onLine) {
    if (!certificate) throw CapicomError(E_INVALIDARG, "Nenhum certificado foi informado.");
    const auto extensions = certificate->Extensions();
    const long count = extensions->Count();
    for (long i = 1; i <= count; ++i) {
        const auto extension = extensions->Item(i);
        if (extension->OID()->Value() != oid) continue;
        for (const QString& line : SplitByChar("\r", extension->EncodedData()->Format(true))) onLine(line);
    }
}

}  // namespace

QString norvane::SigningSession::verificaTipoCertificado(const std::shared_ptr<ICertificate2Disp>& Certificado2) {
    QString result;
    try {
        walkExtension(Certificado2, "2.5.29.32", [&](const QString& line) {
            if (line.contains("Identif")) result = secondPiece(line);
        });
    } catch (const std::exception& e) {
        norvane::dialogs().showError("Erro 1C: " + norvane::errorText(e));
    }
    return result;
}

QString norvane::SigningSession::pegaExtensaoCPFCNPJCertificado(const std::shared_ptr<ICertificate2Disp>& Certificado2) {
    QString result;
    try {
        walkExtension(Certificado2, "2.5.29.17", [&](const QString& line) {
            if (line.contains("2.16.76.1.3.1")) {
                // Tag and length, date of birth (8), then the CPF: characters 11 to 21.
                result = HexToString(secondPiece(line).remove(' ')).mid(10, 11);
            } else if (line.contains("2.16.76.1.3.3")) {
                result = QStringLiteral("0");
            }
        });
    } catch (const std::exception& e) {
        norvane::dialogs().showError("Erro 1A: " + norvane::errorText(e));
    }
    return result;
}

QString norvane::SigningSession::HexToString(const QString& H) {
    const auto digit = [](QChar c) -> int {
        const char16_t u = c.unicode();
        if (u >= '0' && u <= '9') return u - '0';
        if (u >= 'a' && u <= 'f') return u - 'a' + 10;
        if (u >= 'A' && u <= 'F') return u - 'A' + 10;
        return -1;
    };
    QString result;
    for (qsizetype i = 0; i + 1 < H.size(); i += 2) {
        const int high = digit(H[i]), low = digit(H[i + 1]);
        if (high < 0 || low < 0)
            throw std::runtime_error(
                ("\"" + H.mid(i, 2) + "\" não é um valor hexadecimal válido.").toUtf8().toStdString());
        result += QChar(static_cast<char16_t>(high * 16 + low));
    }
    return result;
}
