#pragma once
// The ICP-Brasil certificates the program ships as data files: the roots (raiz-*.pem),
// trusted for choosing and signing certificates beside the system's store, never added to
// it and never used for TLS; and the intermediate CAs (intermediarias.pem), used to build
// chains. Found beside the executable (a build tree), else in the installed data folder.

#include <QByteArray>
#include <QString>
#include <memory>
#include <vector>

typedef struct x509_st X509;

namespace norvane::pki {

struct BundledCertificates {
    QString folder;  // where they were read (empty: no folder found)
    std::vector<std::shared_ptr<X509>> roots;
    std::vector<std::shared_ptr<X509>> intermediates;
    QByteArray state;  // what the files were when read: another state means other certificates
};

// The folder looked in: beside the executable, else the data folder of its prefix
// (/usr/bin -> /usr/share/norvane-assinador-ip), else the configured data folder.
QString bundledCertificatesFolder();

// The bundled certificates, read again only when the folder's files change.
std::shared_ptr<const BundledCertificates> bundledCertificates();

// For tests only: where the bundled certificates are looked for (empty: as the program does).
void setBundledCertificatesFolderForTesting(const QString& folder);

}  // namespace norvane::pki
