// The certificate of the login and what the program does with it: the pick list, the
// lookup by thumbprint, the identity checks, and the signing of a text or a file. Errors of
// each step are shown here under the step's number, and the caller gets a neutral result.

#include "certs/SigningSession.h"

#include <openssl/evp.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <algorithm>
#include <functional>

#include "certs/pki/IdentityRules.h"
#include "certs/pki/IdentityValues.h"
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

QString norvane::SigningSession::ListaCertificados(int /*PKAcessivel: the listing is the same for every value*/) {
    try {
        const std::shared_ptr<ICertificates2> certificates = offeredCertificates();
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

const QString kKeyText = QStringLiteral(
    "Chave do certificado não encontrada. Por favor confirme se o cartão ou token USB do certificado "
    "selecionado está conectado ao seu computador ou remova e insira-o novamente.");
const QString kDescription = QStringLiteral("Assinado com Assinador Norvane");

// Large blocks: the worker reads at disk speed and still notices a quitting application.
constexpr qint64 kReadBlock = 4 * 1024 * 1024;

// What the user reads after the error code: the key text when the private key could not be
// reached, otherwise the error's own message.
QString messageOf(const std::exception& error) {
    return norvane::kindOf(error) == norvane::ErrorKind::KeyUnreachable ? kKeyText : norvane::errorText(error);
}

QString coded(const char* code, const QString& message) {
    return QStringLiteral("Erro %1: ").arg(QLatin1String(code)) + message;
}

void showCoded(const char* code, const QString& message) { norvane::dialogs().showError(coded(code, message)); }

QByteArray sha256(const QByteArray& bytes) {
    QByteArray digest(32, Qt::Uninitialized);
    unsigned int size = 0;
    if (EVP_Digest(bytes.constData(), size_t(bytes.size()), reinterpret_cast<unsigned char*>(digest.data()), &size,
                   EVP_sha256(), nullptr) != 1)
        return QByteArray();
    return digest;
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
    add(CAPICOM_AUTHENTICATED_ATTRIBUTE_DOCUMENT_DESCRIPTION, kDescription);
}

// The certificate lookup failed (and said why): a certificate that is not in the store any
// more is, for the signature, a key that cannot be reached (its token was pulled out).
void requireSignerCertificate(const ISigner2& signer) {
    if (!signer.Certificate()) throw CapicomError(NTE_BAD_KEYSET, kKeyText);
}

void requireSigningObjects(const norvane::SigningSession& session) {
    if (!session.Signer || !session.SignedData || !session.Utilities)
        throw norvane::Error(norvane::ErrorKind::InvalidArgument,
                             "Nenhum certificado foi escolhido: faça o login com o certificado antes de assinar.");
}

// A file's bytes, or why it could not be opened. Opened, read and closed on the thread that
// reads it.
struct FileBytes {
    QByteArray bytes;
    QString openError;
};

FileBytes readWholeFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {{}, QStringLiteral("Não foi possível abrir o arquivo %1: %2").arg(path, file.errorString())};
    QByteArray bytes;
    qint64 filled = 0;
    for (;;) {
        if (norvane::abortRequested()) throw norvane::Aborted();
        // Straight into the content: room for the size the file has, in large blocks.
        if (bytes.size() - filled < kReadBlock / 4) bytes.resize(std::max<qint64>(file.size(), filled) + kReadBlock);
        const qint64 n = file.read(bytes.data() + filled, std::min<qint64>(bytes.size() - filled, kReadBlock));
        if (n < 0)
            throw norvane::Error(
                norvane::ErrorKind::FileError,
                QStringLiteral("Falha ao ler o arquivo %1: %2").arg(file.fileName(), file.errorString()));
        if (n == 0) break;
        filled += n;
    }
    bytes.truncate(filled);
    return {bytes, {}};
}

// The file's bytes, read off the GUI thread; nothing when the reading failed (its box is in
// `result`). A file that cannot be opened raises.
std::optional<QByteArray> readForSigning(const QString& path, norvane::FileSignature& result) {
    FileBytes read;
    try {
        read = norvane::runInBackground([path] { return readWholeFile(path); });
    } catch (const std::exception& error) {
        result.errors.push_back(coded("09", norvane::errorText(error)));
        result.failure = norvane::kindOf(error);
        return std::nullopt;
    }
    if (!read.openError.isEmpty()) throw norvane::Error(norvane::ErrorKind::FileError, read.openError);
    return std::move(read.bytes);
}

// Where the signature of the file goes: the save folder, the file's name and ".p7s".
QString signatureTarget(const QString& PathSalvar, const QString& fileName) {
    QString folder = PathSalvar;
    if (!folder.isEmpty() && !folder.endsWith(QLatin1Char('/')) && !folder.endsWith(QDir::separator()))
        folder += QDir::separator();
    return folder + fileName + QStringLiteral(".p7s");
}

// Signs the content set on the session's objects and saves the signature whole at `target`,
// off the GUI thread; the SHA-256 of what was saved.
QByteArray signAndSave(const norvane::SigningSession& session, const QString& target) {
    requireSignerCertificate(*session.Signer);
    const auto signer = session.Signer;
    const auto signedData = session.SignedData;
    const auto utilities = session.Utilities;
    return norvane::runInBackground([signer, signedData, utilities, target] {
        const BinaryString signedMessage = signedData->Sign(signer, false, CAPICOM_ENCODE_BINARY);
        norvane::SigningSession::SaveBinFile(target, utilities->BinaryStringToByteArray(signedMessage));
        return sha256(signedMessage);
    });
}

}  // namespace

void norvane::SigningSession::showSigningError(const char* code, const std::exception& error) {
    pinRefused_ = norvane::isPinProblem(norvane::kindOf(error));
    showCoded(code, messageOf(error));
}

QString norvane::SigningSession::AssinarString(const QString& Texto, const QString& Cert) {
    const QDateTime signingTime = QDateTime::currentDateTime();
    pinRefused_ = false;
    try {
        const CertificatePtr certificate = selecionaCertificado(Cert);
        requireSigningObjects(*this);
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
    const QDateTime signingTime = QDateTime::currentDateTime();
    FileSignature result;
    const auto fail = [&result](const char* code, const std::exception& error) {
        result.errors.push_back(coded(code, messageOf(error)));
        result.failure = norvane::kindOf(error);
    };
    const QString sizeText = GetFileSizeText(PathArquivo, false);
    const QString fileName = QFileInfo(PathArquivo).fileName();

    // A signature file is not signed again (the result would claim a signature never made).
    if (QFileInfo(PathArquivo).suffix().toLower() == QLatin1String("p7s")) {
        result.errors.push_back(
            QStringLiteral("O arquivo %1 já é uma assinatura (.p7s) e não será assinado novamente.").arg(fileName));
        result.failure = norvane::ErrorKind::InvalidArgument;
        return result;
    }

    // Not caught: a file that cannot be opened ends the call and reaches the caller.
    // A pipe or a device would block the open or never end the read: only plain files are signed.
    if (QFileInfo(PathArquivo).exists() && !QFileInfo(PathArquivo).isFile())
        throw norvane::Error(
            norvane::ErrorKind::FileError,
            QStringLiteral("Não foi possível abrir o arquivo %1: não é um arquivo comum.").arg(PathArquivo));

    // Reading. Nothing is signed after a failed reading: the bytes read would be only a part.
    std::optional<QByteArray> read = readForSigning(PathArquivo, result);
    if (!read) return result;
    QByteArray content = std::move(*read);
    result.contentSha256 = sha256(content);

    // Certificate. Its own failure is told by the lookup ("Erro 03"); the later stages then
    // run without a certificate and report what fails.
    CertificatePtr certificate;
    try {
        QString lookupFailure;
        certificate = findCertificate(Cert, &lookupFailure);
        if (!certificate) result.errors.push_back(lookupFailure);
    } catch (const std::exception& error) {
        // Fires only if the lookup itself raises; today it tells its own "Erro 03" instead.
        fail("10", error);
    }

    // Preparing. A failure here leaves the content or the attributes of an earlier call in
    // the signing objects, so nothing is signed after it.
    try {
        requireSigningObjects(*this);
        Signer->SetCertificate(certificate);
        // The bytes read, shared: the binary string is the bytes themselves.
        SignedData->SetBinaryContent(Utilities->ByteArrayToBinaryString(content));
        content = QByteArray();
        addAttributes(*Signer, signingTime, fileName);
    } catch (const std::exception& error) {
        result.errors.push_back(coded("13", norvane::errorText(error)));
        result.failure = norvane::kindOf(error);
        return result;
    }

    // Signing and saving.
    try {
        result.signaturePath = signatureTarget(PathSalvar, fileName);
        result.signatureSha256 = signAndSave(*this, result.signaturePath);
        result.sizeText = sizeText;
        result.failure.reset();
    } catch (const std::exception& error) {
        fail("11", error);
    }
    return result;
}

// --- saving --------------------------------------------------------------------------------------

// A .p7s appears whole or not at all: QSaveFile writes a temporary file beside the target
// and renames it over the target only once every byte is on disk, so a failed write
// leaves an earlier file of that name as it was.
void norvane::SigningSession::SaveBinFile(const QString& FileName, const QByteArray& BinArray) {
    QSaveFile file(FileName);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        throw norvane::Error(
            norvane::ErrorKind::FileError,
            QStringLiteral("Não foi possível criar o arquivo %1: %2").arg(FileName, file.errorString()));
    if (file.write(BinArray) != BinArray.size() || !file.commit())
        throw norvane::Error(
            norvane::ErrorKind::FileError,
            QStringLiteral("Não foi possível gravar o arquivo %1: %2").arg(FileName, file.errorString()));
}
