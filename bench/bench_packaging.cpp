// EncodeFile + percent-encoding of a 50 MiB file against coreutils base64 on the same
// file, in the same run. Target: ratio <= 1.5.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "certs/Packaging.h"
#include "service/Form.h"

namespace {

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    constexpr qsizetype kSize = 50 * 1024 * 1024;
    constexpr int kRounds = 5;

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bench.p7s"));
    {
        QByteArray data(kSize, Qt::Uninitialized);
        QRandomGenerator generator(42);
        generator.fillRange(reinterpret_cast<quint32*>(data.data()), kSize / 4);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(data) != kSize) return 1;
    }

    std::vector<double> ours, coreutils, encodeOnly;
    qsizetype encodedSize = 0;
    for (int round = 0; round < kRounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        {
            norvane::FieldList fields;
            fields.set(QStringLiteral("ds_instrumento_protesto_b64"), EncodeFile(path));
            encodedSize = norvane::encodeForm(fields).size();
        }
        ours.push_back(timer.nsecsElapsed() / 1e6);
        timer.restart();
        if (EncodeFile(path).isEmpty()) return 1;
        encodeOnly.push_back(timer.nsecsElapsed() / 1e6);

        QProcess base64;
        base64.setStandardOutputFile(QProcess::nullDevice());
        timer.restart();
        base64.start(QStringLiteral("base64"), {QStringLiteral("-w"), QStringLiteral("76"), path});
        base64.waitForFinished(-1);
        coreutils.push_back(timer.nsecsElapsed() / 1e6);
        if (base64.exitCode() != 0) return 1;
    }
    const double a = median(ours), b = median(coreutils);
    std::printf("EncodeFile + percent-encoding, 50 MiB: %.1f ms (form text %lld bytes)\n", a,
                static_cast<long long>(encodedSize));
    std::printf("  of which EncodeFile alone:           %.1f ms\n", median(encodeOnly));
    std::printf("coreutils base64 -w 76, 50 MiB:       %.1f ms\n", b);
    std::printf("ratio: %.2f (target <= 1.50)\n", a / b);
    return 0;
}
