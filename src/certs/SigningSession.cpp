// The certificate of the login and what the program does with it: the pick list, the
// lookup by thumbprint, the identity checks, and the signing of a text or a file. Errors of
// each step are shown here under the step's number, and the caller gets a neutral result.

#include "certs/SigningSession.h"

#include <functional>

#include "certs/cms/FileSigning.h"
#include "certs/cms/Signer.h"
#include "certs/pki/IdentityRules.h"
#include "certs/pki/IdentityValues.h"
#include "certs/tokens/TokenAccess.h"
#include "core/Background.h"
#include "core/Dialogs.h"
#include "core/Error.h"
#include "core/ErrorText.h"
#include "core/unit_esfunctions.h"

using namespace CAPICOM_TLB;

// --- choosing the certificate ---------------------------------------------------------------

namespace {

// The user's store "My" (Open reads the tokens off the GUI thread).
std::shared_ptr<ICertificates2> openMyStore() {
    auto store = CoStore::Create();
    store->Open(CAPICOM_CURRENT_USER_STORE, "My", CAPICOM_STORE_OPEN_READ_ONLY);
    return store->Certificates();
}

}  // namespace

std::shared_ptr<ICertificates2> norvane::SigningSession::offeredCertificates() {
    std::shared_ptr<ICertificates2> certificates = openMyStore();
    certificates = certificates->Find(CAPICOM_CERTIFICATE_FIND_KEY_USAGE, 128, true);
    certificates = certificates->Find(CAPICOM_CERTIFICATE_FIND_KEY_USAGE, 64, true);
    return certificates->Find(CAPICOM_CERTIFICATE_FIND_TIME_VALID, 0, true);
}

QString norvane::noTokenText() {
    return QStringLiteral("Nenhum token ou cartão conectado. Conecte o token USB (ou o cartão, no leitor) com o "
                          "certificado digital e tente de novo.");
}

QString norvane::SigningSession::ListaCertificados(int /*PKAcessivel: the listing is the same for every value*/) {
    noToken_ = false;
    try {
        const std::shared_ptr<ICertificates2> certificates = offeredCertificates();
        // No token at all is a state of its own: one box that says what to do.
        if (certificates->Count() == 0 && !norvane::tokens::anyTokenConnected()) {
            noToken_ = true;
            norvane::dialogs().showError(
                noTokenText() +
                QStringLiteral(" Para conferir o que o programa vê do token e do leitor, use o botão \"Diagnóstico\"."));
            return noTokenText();
        }
        const auto picked =
            certificates->Select("Certificado Digital", "Por favor, escolha o certificado e clique em OK:", false);
        if (picked->Count() != 1) return QString();

        const CertificatePtr certificate = picked->Item(1);
        context_.Certificado_Nome = certificate->GetInfo(CAPICOM_INFO_SUBJECT_SIMPLE_NAME);
        context_.Certificado_Thumbprint = certificate->Thumbprint();
        context_.Certificado_SerialNumber = certificate->SerialNumber();
        Signer = CoSigner::Create();
        SignedData = CoSignedData::Create();
        Utilities = CoUtilities::Create();
        return QStringLiteral("1");
    } catch (const CapicomError& e) {
        norvane::dialogs().showError(QString::number(e.code()) + ": " + e.message());
        return e.message();
    } catch (const std::exception& e) {
        const QString message = norvane::errorText(e);
        norvane::dialogs().showError("0: " + message);
        return message;
    }
}

std::shared_ptr<ICertificate2> norvane::SigningSession::selecionaCertificado(const QString& Cert) {
    QString failure;
    auto certificate = findCertificate(Cert, &failure);
    if (!certificate) norvane::dialogs().showError(failure);
    return certificate;
}

std::shared_ptr<ICertificate2> norvane::SigningSession::findCertificate(const QString& Cert, QString* failure) {
    try {
        return openMyStore()->Find(CAPICOM_CERTIFICATE_FIND_SHA1_HASH, Cert, true)->Item(1);
    } catch (const std::exception& e) {
        if (failure) *failure = "Erro 03: " + norvane::errorText(e);
        return nullptr;
    }
}

// --- the identity checks ---------------------------------------------------------------------

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
        norvane::checkPolicyType(
            Certificado2 ? Certificado2->x509() : nullptr,
            [&](QString& read) {
                walkExtension(Certificado2, "2.5.29.32",
                              [&](const QString& text) { norvane::applyPolicyTypeRule(text, read); });
            },
            result);
    } catch (const std::exception& e) {
        norvane::dialogs().showError("Erro 1C: " + norvane::errorText(e));
    }
    return result;
}

QString norvane::SigningSession::pegaExtensaoCPFCNPJCertificado(
    const std::shared_ptr<ICertificate2Disp>& Certificado2) {
    QString result;
    try {
        // The text's reading must agree with OpenSSL's decoding, or the check fails.
        norvane::checkCpf(
            Certificado2 ? Certificado2->x509() : nullptr,
            [&](QString& read) {
                walkExtension(Certificado2, "2.5.29.17",
                              [&](const QString& text) { norvane::applyCpfRule(text, read); });
            },
            result);
    } catch (const std::exception& e) {
        norvane::dialogs().showError("Erro 1A: " + norvane::errorText(e));
    }
    return result;
}

QString norvane::SigningSession::HexToString(const QString& H) { return norvane::hexToString(H); }

// --- signing -----------------------------------------------------------------------------------

namespace {

void showCoded(const char* code, const std::exception& error) {
    norvane::dialogs().showError(norvane::signingErrorText(code, error));
}

// The three attributes of every signature, each added as soon as it is complete.
void addAttributes(ISigner2& signer, const QDateTime& signingTime, const QString& documentName) {
    const auto add = [&](long name, const QVariant& value) {
        auto attribute = CoAttribute::Create();
        attribute->SetName(name);
        attribute->SetValue(value);
        signer.AuthenticatedAttributes()->Add(attribute);
    };
    add(CAPICOM_AUTHENTICATED_ATTRIBUTE_SIGNING_TIME, signingTime);
    add(CAPICOM_AUTHENTICATED_ATTRIBUTE_DOCUMENT_NAME, documentName);
    add(CAPICOM_AUTHENTICATED_ATTRIBUTE_DOCUMENT_DESCRIPTION, norvane::cms::kSignatureDescription);
}

// The certificate lookup failed (and said why): a certificate that is not in the store any
// more is, for the signature, a key that cannot be reached (its token was pulled out).
void requireSignerCertificate(const ISigner2& signer) {
    if (!signer.Certificate()) throw CapicomError(NTE_BAD_KEYSET, norvane::keyUnreachableText());
}

}  // namespace

void norvane::SigningSession::requireReady() const {
    if (!Signer || !SignedData || !Utilities)
        throw norvane::Error(norvane::ErrorKind::InvalidArgument,
                             "Nenhum certificado foi escolhido: faça o login com o certificado antes de assinar.");
}

std::shared_ptr<const norvane::cms::Signer> norvane::SigningSession::signerFor(const QString& thumbprint,
                                                                               QString* failure) {
    const CertificatePtr certificate = findCertificate(thumbprint, failure);
    return certificate ? certificate->keySigner() : nullptr;
}

std::optional<QString> norvane::SigningSession::certificateBase64(const QString& thumbprint, QString* failure) {
    const CertificatePtr certificate = findCertificate(thumbprint, failure);
    if (!certificate) return std::nullopt;
    return certificate->Export(CAPICOM_ENCODE_BASE64);
}

void norvane::SigningSession::showSigningError(const char* code, const std::exception& error) {
    pinRefused_ = norvane::isPinProblem(norvane::kindOf(error));
    showCoded(code, error);
}

QString norvane::SigningSession::AssinarString(const QString& Texto, const QString& Cert) {
    const QDateTime signingTime = QDateTime::currentDateTime();
    pinRefused_ = false;
    try {
        const CertificatePtr certificate = selecionaCertificado(Cert);
        requireReady();
        Signer->SetCertificate(certificate);
        SignedData = CoSignedData::Create();
        SignedData->SetContent(Texto);
        addAttributes(*Signer, signingTime, QStringLiteral("temp.txt"));
        requireSignerCertificate(*Signer);
        const auto signer = Signer;
        const auto signedData = SignedData;
        return QString::fromLatin1(norvane::runInBackground(
            [signer, signedData] { return signedData->Sign(signer, false, CAPICOM_ENCODE_BASE64); }));
    } catch (const std::exception& error) {
        showSigningError("04", error);
        return QString();
    }
}

QString norvane::SigningSession::AssinarArquivo(const QString& PathArquivo, const QString& Cert,
                                                const QString& PathSalvar) {
    const FileSignature signature = signFile(PathArquivo, Cert, PathSalvar);
    for (const QString& error : signature.errors) norvane::dialogs().showError(error);
    pinRefused_ = signature.pinProblem();
    return signature.sizeText;
}

norvane::FileSignature norvane::SigningSession::signFile(const QString& PathArquivo, const QString& Cert,
                                                         const QString& PathSalvar) {
    // Not caught: a file that cannot be opened ends the call and reaches the caller.
    return norvane::signFileWith(*this, Cert, PathArquivo, PathSalvar);
}

// --- saving --------------------------------------------------------------------------------------

// A .p7s appears whole or not at all (see cms::saveWhole).
void norvane::SigningSession::SaveBinFile(const QString& FileName, const QByteArray& BinArray) {
    norvane::cms::saveWhole(FileName, BinArray);
}
