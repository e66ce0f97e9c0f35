// The ICP-Brasil checks of the picked certificate: its policy (A3 or not) and the CPF
// of its holder, both read from the platform's text of one extension.

#include <functional>

#include "core/Dialogs.h"
#include "core/ErrorText.h"
#include "certs/SigningSession.h"
#include "certs/CAPICOM_TLB.h"
#include "certs/pki/IdentityRules.h"
#include "certs/pki/IdentityValues.h"

using namespace CAPICOM_TLB;

namespace {

// Hands the text of every extension of that OID to `onText`.
void walkExtension(const std::shared_ptr<ICertificate2Disp>& certificate, const QString& oid,
                   const std::function<void(const QString&)>& onText) {
    if (!certificate) throw CapicomError(E_INVALIDARG, "Nenhum certificado foi informado.");
    const auto extensions = certificate->Extensions();
    const long count = extensions->Count();
    for (long i = 1; i <= count; ++i) {
        const auto extension = extensions->Item(i);
        if (extension->OID()->Value() == oid) onText(extension->EncodedData()->Format(true));
    }
}

}  // namespace

QString norvane::SigningSession::verificaTipoCertificado(const std::shared_ptr<ICertificate2Disp>& Certificado2) {
    QString result;
    try {
        // The text's reading must agree with OpenSSL's decoding, or the check fails.
        norvane::checkPolicyType(Certificado2 ? Certificado2->x509() : nullptr, [&](QString& read) {
            walkExtension(Certificado2, "2.5.29.32", [&](const QString& text) { norvane::applyPolicyTypeRule(text, read); });
        }, result);
    } catch (const std::exception& e) {
        norvane::dialogs().showError("Erro 1C: " + norvane::errorText(e));
    }
    return result;
}

QString norvane::SigningSession::pegaExtensaoCPFCNPJCertificado(const std::shared_ptr<ICertificate2Disp>& Certificado2) {
    QString result;
    try {
        // The text's reading must agree with OpenSSL's decoding, or the check fails.
        norvane::checkCpf(Certificado2 ? Certificado2->x509() : nullptr, [&](QString& read) {
            walkExtension(Certificado2, "2.5.29.17", [&](const QString& text) { norvane::applyCpfRule(text, read); });
        }, result);
    } catch (const std::exception& e) {
        norvane::dialogs().showError("Erro 1A: " + norvane::errorText(e));
    }
    return result;
}

QString norvane::SigningSession::HexToString(const QString& H) { return norvane::hexToString(H); }
