#include "certs/pki/BundledCertificates.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <mutex>

namespace norvane::pki {

namespace {

std::mutex mutex;
QString folderForTesting;

std::vector<std::shared_ptr<X509>> readPemCertificates(const QString& path) {
    std::vector<std::shared_ptr<X509>> out;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return out;
    const QByteArray pem = file.readAll();
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())), BIO_free);
    while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr))
        out.emplace_back(certificate, X509_free);
    ERR_clear_error();  // the end of the text reads as an error
    return out;
}

QStringList rootFiles(const QDir& folder) {
    return folder.entryList({QStringLiteral("raiz-*.pem")}, QDir::Files, QDir::Name);
}

QByteArray stateOf(const QString& folder) {
    QByteArray state = folder.toUtf8() + '\n';
    const QDir dir(folder);
    const QStringList names = rootFiles(dir) << QStringLiteral("intermediarias.pem");
    for (const QString& name : names) {
        const QFileInfo info(dir.filePath(name));
        if (!info.exists()) continue;
        state += name.toUtf8() + ' ' + QByteArray::number(info.size()) + ' ' +
                 QByteArray::number(info.lastModified().toMSecsSinceEpoch()) + '\n';
    }
    return state;
}

}  // namespace

QString bundledCertificatesFolder() {
    {
        const std::lock_guard lock(mutex);
        if (!folderForTesting.isEmpty()) return folderForTesting;
    }
    if (QCoreApplication::instance()) {
        // A build tree: beside the executable (or one folder up, for its tests). Installed: the
        // data folder of the same prefix.
        const QDir program(QCoreApplication::applicationDirPath());
        for (const QString& candidate : {program.filePath(QStringLiteral("icp-brasil")),
                                         program.filePath(QStringLiteral("../icp-brasil")),
                                         program.filePath(QStringLiteral("../share/" NORVANE_PACKAGE_NAME "/icp-brasil"))})
            if (QFileInfo(candidate).isDir()) return QDir::cleanPath(candidate);
    }
    return QStringLiteral(NORVANE_DATA_DIR "/icp-brasil");
}

std::shared_ptr<const BundledCertificates> bundledCertificates() {
    static std::shared_ptr<const BundledCertificates> read;
    const QString folder = bundledCertificatesFolder();
    const QByteArray state = stateOf(folder);
    const std::lock_guard lock(mutex);
    if (read && read->state == state) return read;
    auto fresh = std::make_shared<BundledCertificates>();
    fresh->state = state;
    const QDir dir(folder);
    if (dir.exists()) {
        fresh->folder = folder;
        for (const QString& name : rootFiles(dir))
            for (auto& root : readPemCertificates(dir.filePath(name))) fresh->roots.push_back(std::move(root));
        fresh->intermediates = readPemCertificates(dir.filePath(QStringLiteral("intermediarias.pem")));
    }
    read = std::move(fresh);
    return read;
}

void setBundledCertificatesFolderForTesting(const QString& folder) {
    const std::lock_guard lock(mutex);
    folderForTesting = folder;
}

}  // namespace norvane::pki
