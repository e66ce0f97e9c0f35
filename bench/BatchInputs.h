#pragma once
// The input files of the batch benchmarks: PDF-like bytes with the intake's marks inside,
// named as the intake accepts them for the benchmarks' office.

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QString>
#include <stdexcept>

namespace norvane::bench {

inline const QString kIbge = QStringLiteral("3550308");

inline QString keyName(int i) {
    return kIbge + QStringLiteral("20240115") + QStringLiteral("01") +
           QStringLiteral("%1.pdf").arg(i, 6, 10, QLatin1Char('0'));
}

inline QByteArray pdfBytes(qsizetype size, QRandomGenerator& generator) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes) c = char('a' + generator.bounded(26));
    bytes.replace(0, 9, "%PDF-1.4\n");
    bytes.replace(size / 3, 24, "<pdfaid:part>1</pdfaid:p");
    bytes.replace(size / 2, 9, "/Keywords");
    return bytes;
}

// `count` files of `size` bytes in the folder (made when missing), the same at every run.
inline void writePdfs(const QString& folder, int count, qsizetype size, quint32 seed) {
    QDir().mkpath(folder);
    QRandomGenerator generator(seed);
    for (int i = 0; i < count; ++i) {
        QFile file(folder + "/" + keyName(i));
        if (!file.open(QIODevice::WriteOnly) || file.write(pdfBytes(size, generator)) != size)
            throw std::runtime_error("cannot write input");
    }
}

inline double ms(const QElapsedTimer& clock) { return double(clock.nsecsElapsed()) / 1e6; }

}  // namespace norvane::bench
