// The whole request path of an upload with a 270 KB field (Base64 of a 200 KB
// signature) to the stand-in service on 127.0.0.1: median milliseconds per call.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "packaging/Packaging.h"
#include "service/ServiceCall.h"
#include "support/StandIn.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    constexpr int kCalls = 40;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("a.pdf.p7s"));
    {
        QByteArray data(200 * 1024, Qt::Uninitialized);
        QRandomGenerator generator(7);
        generator.fillRange(reinterpret_cast<quint32*>(data.data()), data.size() / 4);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size()) return 1;
    }

    norvane::test::StandIn standIn;
    standIn.setDefault(norvane::test::ScriptedAnswer::ok("{\"status\":\"ok\"}"));
    norvane::HttpClient client;
    std::vector<double> times;
    qsizetype fieldSize = 0;
    for (int i = 0; i < kCalls; ++i) {
        QElapsedTimer timer;
        timer.start();
        norvane::FieldList fields;
        fields.set(QStringLiteral("servico"), norvane::kInstrumentoDeProtesto);
        const QByteArray text = EncodeFile(path);
        fieldSize = text.size();
        fields.set(QStringLiteral("ds_instrumento_protesto"), text);
        fields.set(QStringLiteral("nm_chave"), QStringLiteral("35503082026120901000001"));
        fields.set(QStringLiteral("cd_usuario"), QStringLiteral("1234"));
        fields.set(QStringLiteral("ds_certificado_digital_b64"), QStringLiteral("MIIB+w=="));
        const QString answer = norvane::serviceCall(client, QStringLiteral("P"), standIn.baseUrl(), fields);
        if (!norvane::parseAnswerObject(answer)) return 1;
        times.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::sort(times.begin(), times.end());
    std::printf("upload with a %lld-character field to the stand-in: median %.2f ms per call (%d calls)\n",
                static_cast<long long>(fieldSize), times[times.size() / 2], kCalls);
    return 0;
}
