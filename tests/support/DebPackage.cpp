#include "support/DebPackage.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

namespace norvane::test {

bool makeDebianPackage(const QString& output, const DebOptions& options) {
    QTemporaryDir tree;
    if (!tree.isValid()) return false;
    QDir(tree.path()).mkpath(QStringLiteral("DEBIAN"));
    QFile control(tree.filePath(QStringLiteral("DEBIAN/control")));
    if (!control.open(QIODevice::WriteOnly)) return false;
    control.write(QStringLiteral("Package: %1\nVersion: %2\nArchitecture: all\nMaintainer: Testes <testes@example.org>\n"
                                 "Description: pacote de teste\n")
                      .arg(options.package, options.version)
                      .toUtf8());
    control.close();
    if (options.payloadBytes > 0) {
        const QString folder = tree.filePath(QStringLiteral("usr/share/") + options.package);
        QDir().mkpath(folder);
        QFile payload(folder + QStringLiteral("/carga.bin"));
        if (!payload.open(QIODevice::WriteOnly)) return false;
        QByteArray bytes(options.payloadBytes, Qt::Uninitialized);
        for (char& c : bytes) c = char(QRandomGenerator::global()->bounded(256));
        payload.write(bytes);
    }
    QProcess dpkg;
    dpkg.setProcessChannelMode(QProcess::MergedChannels);
    dpkg.start(QStringLiteral("dpkg-deb"), {QStringLiteral("--root-owner-group"), QStringLiteral("-Z") + options.compression,
                                            QStringLiteral("--build"), tree.path(), output});
    const bool ok = dpkg.waitForFinished(60000) && dpkg.exitStatus() == QProcess::NormalExit && dpkg.exitCode() == 0;
    EXPECT_TRUE(ok) << "dpkg-deb: " << dpkg.readAll().toStdString();
    return ok;
}

}  // namespace norvane::test
