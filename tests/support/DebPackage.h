#pragma once
// Real Debian packages for the update tests, made with dpkg-deb.

#include <QString>

namespace norvane::test {

struct DebOptions {
    QString package = QStringLiteral("norvane-assinador-ip");
    QString version = QStringLiteral("1.0.4.1");
    qint64 payloadBytes = 0;                  // random bytes in a file of the package
    QString compression = QStringLiteral("xz");  // dpkg-deb -Z: gzip, xz, zstd, none
};

// Builds the package into `output` (a path ending in .deb or not); fails the test and
// returns false when dpkg-deb fails.
bool makeDebianPackage(const QString& output, const DebOptions& options = {});

}  // namespace norvane::test
