// Choosing the signing certificate and finding it again by its thumbprint.

#include "certs/SigningSession.h"
#include "core/Dialogs.h"
#include "core/ErrorText.h"

using namespace CAPICOM_TLB;

namespace {

// The user's store "My" (Open reads the tokens off the GUI thread).
std::shared_ptr<ICertificates2> openMyStore() {
    auto store = CoStore::Create();
    store->Open(CAPICOM_CURRENT_USER_STORE, "My", CAPICOM_STORE_OPEN_READ_ONLY);
    return store->Certificates();
}

}  // namespace

QString norvane::SigningSession::ListaCertificados(int /*PKAcessivel: the listing is the same for every value*/) {
    try {
        std::shared_ptr<ICertificates2> certificates = openMyStore();
        certificates = certificates->Find(CAPICOM_CERTIFICATE_FIND_KEY_USAGE, 128, true);
        certificates = certificates->Find(CAPICOM_CERTIFICATE_FIND_KEY_USAGE, 64, true);
        certificates = certificates->Find(CAPICOM_CERTIFICATE_FIND_TIME_VALID, 0, true);

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
    try {
        return openMyStore()->Find(CAPICOM_CERTIFICATE_FIND_SHA1_HASH, Cert, true)->Item(1);
    } catch (const std::exception& e) {
        norvane::dialogs().showError("Erro 03: " + norvane::errorText(e));
        return nullptr;
    }
}
