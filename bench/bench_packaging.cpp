// EncodeFile + percent-encoding of a 50 MiB file against coreutils base64 on the same
// file, in the same run. Then the plain encoders of the program beside the earlier fast
// ones (SSE2, pair table, huge pages) at the size that travels (a .p7s.zip field of about
// 270 KB) and at 50 MiB.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "FastEncoders.h"
#include "packaging/Packaging.h"
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

    // Plain against fast, on the same bytes.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return 1;
    const QByteArray whole = file.readAll();
    for (const qsizetype size : {qsizetype(270 * 1024), kSize}) {
        const QByteArray data = whole.left(size);
        const int repeats = size < 1024 * 1024 ? 200 : 3;
        const auto timeOf = [&](auto&& work) {
            std::vector<double> runs;
            for (int round = 0; round < kRounds; ++round) {
                QElapsedTimer timer;
                timer.start();
                for (int r = 0; r < repeats; ++r) work();
                runs.push_back(timer.nsecsElapsed() / 1e6 / repeats);
            }
            return median(runs);
        };
        const QByteArray text = EncodeBase64Lines(data);
        if (text != fast::encodeBase64LinesFast(data)) return 2;
        QByteArray plainForm, fastForm;
        norvane::appendPercentEncodedUtf8(plainForm, text);
        fast::appendPercentEncodedFast(fastForm, text);
        if (plainForm != fastForm) return 3;
        const double base64Plain = timeOf([&] { EncodeBase64Lines(data).size(); });
        const double base64Fast = timeOf([&] { fast::encodeBase64LinesFast(data).size(); });
        const double formPlain = timeOf([&] {
            QByteArray out;
            norvane::appendPercentEncodedUtf8(out, text);
        });
        const double formFast = timeOf([&] {
            QByteArray out;
            fast::appendPercentEncodedFast(out, text);
        });
        std::printf("%lld bytes: Base64 plain %.3f ms, fast %.3f ms (%.2fx); percent-encoding plain %.3f ms, "
                    "fast %.3f ms (%.2fx)\n",
                    static_cast<long long>(size), base64Plain, base64Fast, base64Plain / base64Fast, formPlain,
                    formFast, formPlain / formFast);
    }
    return 0;
}
