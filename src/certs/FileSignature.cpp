#include "certs/FileSignature.h"

#include <QDateTime>
#include <QFileInfo>
#include <exception>

#include "certs/cms/FileSigning.h"
#include "certs/cms/Signer.h"
#include "core/ErrorText.h"

namespace norvane {

namespace {

QString coded(const char* code, const QString& message) {
    return QStringLiteral("Erro %1: ").arg(QLatin1String(code)) + message;
}

// The box of a signature that failed at that step.
void tellFailure(FileSignature& result, const cms::FileSigningError& error) {
    result.failure = error.kind();
    switch (error.step()) {
        case cms::FileStep::Refused:
            result.errors.push_back(error.message());
            break;
        case cms::FileStep::Opening:
        case cms::FileStep::Reading:
            result.errors.push_back(coded("09", error.message()));
            break;
        case cms::FileStep::Signer:
            result.errors.push_back(coded("13", error.message()));
            break;
        case cms::FileStep::Signing:
            result.errors.push_back(signingErrorText("11", error));
            break;
    }
}

}  // namespace

QString keyUnreachableText() {
    return QStringLiteral(
        "Chave do certificado não encontrada. Por favor confirme se o cartão ou token USB do certificado "
        "selecionado está conectado ao seu computador ou remova e insira-o novamente.");
}

QString signingErrorText(const char* code, const std::exception& error) {
    return coded(code, kindOf(error) == ErrorKind::KeyUnreachable ? keyUnreachableText() : errorText(error));
}

FileSignature signFileWith(SigningKeys& keys, const QString& thumbprint, const QString& path, const QString& saveFolder,
                           const BeforeSigning& beforeSigning) {
    const QDateTime signingTime = QDateTime::currentDateTime();
    FileSignature result;
    const auto fail = [&result](const char* code, const std::exception& error) {
        result.errors.push_back(signingErrorText(code, error));
        result.failure = kindOf(error);
    };
    std::exception_ptr refusal;  // what `beforeSigning` raised: it reaches the caller as it is
    bool declined = false;
    const cms::SignerForBytes signerFor = [&](const QByteArray& content,
                                              const QByteArray& contentSha256) -> std::shared_ptr<const cms::Signer> {
        result.contentSha256 = contentSha256;
        try {
            declined = beforeSigning && !beforeSigning(content, contentSha256);
        } catch (...) {
            refusal = std::current_exception();
        }
        if (declined || refusal) return nullptr;
        // Its own failure is told by the lookup ("Erro 03"); the signature then fails for
        // want of a key and says so.
        std::shared_ptr<const cms::Signer> signer;
        try {
            QString lookupFailure;
            signer = keys.signerFor(thumbprint, &lookupFailure);
            if (!signer) result.errors.push_back(lookupFailure);
        } catch (const std::exception& error) {
            // Fires only if the lookup itself raises; today it tells its own "Erro 03" instead.
            fail("10", error);
        }
        keys.requireReady();
        result.signaturePath = cms::signaturePath(saveFolder, QFileInfo(path).fileName());
        if (!signer) fail("11", Error(ErrorKind::KeyUnreachable, keyUnreachableText()));
        return signer;
    };

    std::optional<cms::SignedFile> written;
    try {
        written = cms::signFile(signerFor, path, saveFolder, signingTime);
    } catch (const cms::FileSigningError& error) {
        // A file that cannot be opened reaches the caller.
        if (error.step() == cms::FileStep::Opening) throw;
        tellFailure(result, error);
        return result;
    }
    if (refusal) std::rethrow_exception(refusal);
    if (!written) return declined ? FileSignature{} : result;
    result.sizeText = written->sizeText;
    result.signatureSha256 = written->signatureSha256;
    result.failure.reset();
    return result;
}

}  // namespace norvane
