#include "certs/cms/FileSigning.h"

#include "core/SystemErrors.h"

#include <cerrno>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <algorithm>

#include "certs/cms/Signer.h"
#include "core/Background.h"
#include "core/ErrorText.h"

namespace norvane::cms {

const QString kSignatureDescription = QStringLiteral("Assinado com Assinador Norvane");

namespace {

// Large blocks: the worker reads at disk speed and still notices a quitting application.
constexpr qint64 kReadBlock = 4 * 1024 * 1024;

// The same kind and message, and the same causes: the error told again, not a new link.
Error sameError(const std::exception& failure) {
    const auto* own = dynamic_cast<const Error*>(&failure);
    if (!own) return Error(ErrorKind::Failure, errorText(failure));
    const auto causes = own->causes();
    Error copy =
        causes.empty() ? Error(own->kind(), own->message()) : Error(own->kind(), own->message(), *causes.front());
    copy.withLibraryCode(own->libraryCode());
    return copy;
}

QByteArray sha256(const QByteArray& bytes) { return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256); }

// A file's bytes and their SHA-256, or why it could not be opened. Opened, read and closed on
// the thread that reads it.
struct FileBytes {
    QByteArray bytes;
    QByteArray sha256;
    QString openError;
};

FileBytes readWholeFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {{}, {}, QStringLiteral("Não foi possível abrir o arquivo %1: %2").arg(path, fileErrorText(file, errno))};
    QByteArray bytes;
    qint64 filled = 0;
    for (;;) {
        if (abortRequested()) throw Aborted();
        // Straight into the content: room for the size the file has, in large blocks.
        if (bytes.size() - filled < kReadBlock / 4) bytes.resize(std::max<qint64>(file.size(), filled) + kReadBlock);
        const qint64 n = file.read(bytes.data() + filled, std::min<qint64>(bytes.size() - filled, kReadBlock));
        if (n < 0)
            throw Error(ErrorKind::FileError,
                        QStringLiteral("Falha ao ler o arquivo %1: %2").arg(file.fileName(), fileErrorText(file, errno)));
        if (n == 0) break;
        filled += n;
    }
    bytes.truncate(filled);
    return {bytes, sha256(bytes), {}};
}

// The file's bytes, read off the GUI thread.
FileBytes readForSigning(const QString& path) {
    FileBytes read;
    try {
        read = runInBackground([path] { return readWholeFile(path); });
    } catch (const std::exception& error) {
        throw FileSigningError(FileStep::Reading, error);
    }
    if (!read.openError.isEmpty())
        throw FileSigningError(FileStep::Opening, Error(ErrorKind::FileError, read.openError));
    return read;
}

}  // namespace

FileSigningError::FileSigningError(FileStep step, const std::exception& failure)
    : Error(sameError(failure)), step_(step) {}

QString signaturePath(const QString& folder, const QString& fileName) {
    QString path = folder;
    if (!path.isEmpty() && !path.endsWith(QLatin1Char('/')) && !path.endsWith(QDir::separator()))
        path += QDir::separator();
    return path + fileName + QStringLiteral(".p7s");
}

void saveWhole(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        throw Error(ErrorKind::FileError,
                    QStringLiteral("Não foi possível criar o arquivo %1: %2").arg(path, fileErrorText(file, errno)));
    if (file.write(bytes) != bytes.size() || !file.commit())
        throw Error(ErrorKind::FileError,
                    QStringLiteral("Não foi possível gravar o arquivo %1: %2").arg(path, fileErrorText(file, errno)));
}

std::optional<SignedFile> signFile(const SignerForContent& signerFor, const QString& path, const QString& saveFolder,
                                   const QDateTime& signingTime) {
    const SignerForBytes bySha256 = [&signerFor](const QByteArray&, const QByteArray& contentSha256) {
        return signerFor(contentSha256);
    };
    return signFile(bySha256, path, saveFolder, signingTime);
}

std::optional<SignedFile> signFile(const SignerForBytes& signerFor, const QString& path, const QString& saveFolder,
                                   const QDateTime& signingTime) {
    const QFileInfo info(path);
    const QString fileName = info.fileName();
    // A signature is not signed again (the result would claim a signature never made).
    if (info.suffix().toLower() == QLatin1String("p7s"))
        throw FileSigningError(
            FileStep::Refused,
            Error(ErrorKind::InvalidArgument,
                  QStringLiteral("O arquivo %1 já é uma assinatura (.p7s) e não será assinado novamente.")
                      .arg(fileName)));
    if (info.exists() && !info.isFile())
        throw FileSigningError(
            FileStep::Opening,
            Error(ErrorKind::FileError,
                  QStringLiteral("Não foi possível abrir o arquivo %1: não é um arquivo comum.").arg(path)));

    SignedFile written;
    // Nothing is signed after a failed reading: the bytes read would be only a part. What is
    // told, hashed, signed and measured is this one reading.
    FileBytes read = readForSigning(path);
    written.sizeText = QString::number(read.bytes.size());
    written.contentSha256 = read.sha256;

    std::shared_ptr<const Signer> signer;
    try {
        signer = signerFor(read.bytes, read.sha256);
    } catch (const std::exception& error) {
        throw FileSigningError(FileStep::Signer, error);
    }
    if (!signer) return std::nullopt;

    written.signaturePath = signaturePath(saveFolder, fileName);
    const SignedAttributeValues attributes{signingTime, fileName, kSignatureDescription};
    try {
        written.signatureSha256 =
            runInBackground([signer, content = std::move(read.bytes), attributes, target = written.signaturePath] {
                const QByteArray der = signer->sign(content, attributes);
                saveWhole(target, der);
                return sha256(der);
            });
    } catch (const std::exception& error) {
        throw FileSigningError(FileStep::Signing, error);
    }
    return written;
}

}  // namespace norvane::cms
