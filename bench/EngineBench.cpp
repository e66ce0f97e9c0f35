// The batch engine against a token as slow as a smart card (slowtoken/: SoftHSM whose every
// signature takes T ms more) and a service as far as a real one (the stand-in holding every
// upload U ms), through the real main window:
// - a batch of 100 files of ~100 KB and a manual run of 50 instruments for (T, U) =
//   (250, 150) and (100, 300), each against the limit the slower of token and service sets,
//   n x max(T, U) (target: at most 1.15 times it), beside the sequential floor n x (T + U);
// - the longest stall of the event loop during each run, and resident memory over a batch
//   of 5 000 files (target: at most 20 MB more at the last row than at row 100).
// The no-delay comparison with the shell loop is bench_batch's.

#include "BatchInputs.h"
#include "SlowToken.h"
#include "StallMeter.h"
#include "app/u_Principal.h"
#include "engine/RowEngine.h"
#include "support/ScriptedDialogs.h"
#include "support/SoftHsmTokens.h"
#include "support/StandIn.h"
#include "support/TestPki.h"
#include "ui_u_Principal.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <stdexcept>
#include <unistd.h>

using namespace norvane::test;
using namespace norvane::bench;

namespace {

double residentMb() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly)) return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? double(fields[1].toLongLong()) * double(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0) : 0;
}

// Resident memory when the token stage reaches a row, and at the end.
class MemoryProbe : public norvane::RowObserver {
public:
    explicit MemoryProbe(int at) : at_(at) {}
    double atRow = 0, atEnd = 0, most = 0;
    void rowReached(int row) override {
        const double now = residentMb();
        most = std::max(most, now);
        if (row == at_) atRow = now;
    }
    void runEnded(const norvane::RunEnd&) override { atEnd = residentMb(); }

private:
    int at_;
};

struct Setting {
    int tokenMs;
    int uploadMs;
};

class Bench {
public:
    Bench() {
        tokens.addToken(QStringLiteral("Bench"), {Cert::A3});
        dialogs.pickAnswers = {0};
        if (window.ListaCertificados(1) != QLatin1String("1")) throw std::runtime_error("no certificate picked");
        window.cd_ibge = kIbge;
        window.nr_cartorio = QStringLiteral("01");
        window.cd_usuario = QStringLiteral("42");
        window.nm_nr_cpf = QStringLiteral("111.222.333-44");
        window.Ambiente = QStringLiteral("P");
        dialogs.pinAnswers = {QString::fromLatin1(SoftHsmTokens::kUserPin)};
        // To look at a run in progress: NORVANE_BENCH_SHOW=1 under an X server.
        if (qEnvironmentVariableIsSet("NORVANE_BENCH_SHOW")) window.show();
    }

    // A batch of `count` files through the batch tab: its time, and its longest stall.
    std::pair<double, double> batch(const Setting& setting, int count, qsizetype size, norvane::RowObserver* probe = nullptr) {
        qputenv("NORVANE_SLOW_TOKEN_MS", QByteArray::number(setting.tokenMs));
        StandIn::Options options;
        options.uploadDelayMs = setting.uploadMs;
        StandIn standIn(options);
        standIn.setDefault(ScriptedAnswer::ok("{\"retorno\":\"ok\"}"));
        window.urlAPI = standIn.baseUrl();
        const QString in = work.filePath(QStringLiteral("lote-%1").arg(++runs));
        const QString out = in + "-saida";
        writePdfs(in, count, size, 11);
        QDir().mkpath(out);
        dialogs.folderAnswers = {in};
        QTest::mouseClick(window.ui->Button1, Qt::LeftButton);
        dialogs.folderAnswers = {out};
        QTest::mouseClick(window.ui->Button2, Qt::LeftButton);
        if (probe) window.Batch->engine().addObserver(probe);
        dialogs.boxes.clear();
        StallMeter stall;
        QElapsedTimer clock;
        clock.start();
        QTest::mouseClick(window.ui->Button3, Qt::LeftButton);
        const double took = ms(clock);
        const double stallMs = stall.stopMs();
        if (probe) window.Batch->engine().removeObserver(probe);
        if (dialogs.texts() != std::vector<QString>{QStringLiteral("Processo Finalizado")} ||
            standIn.requests().size() != count)
            throw std::runtime_error("the batch did not send every file");
        QDir(in).removeRecursively();
        QDir(out).removeRecursively();
        return {took, stallMs};
    }

    // A manual run of `count` instruments: its time (the run alone, not the consultation).
    std::pair<double, double> manual(const Setting& setting, int count, qsizetype size) {
        qputenv("NORVANE_SLOW_TOKEN_MS", QByteArray::number(setting.tokenMs));
        StandIn::Options options;
        options.uploadDelayMs = setting.uploadMs;
        StandIn standIn(options);
        standIn.setDefault(ScriptedAnswer::ok("{}"));
        window.urlAPI = standIn.baseUrl();
        QRandomGenerator generator(13);
        QByteArray json = "{\"dados\":[";
        for (int i = 0; i < count; ++i) {
            if (i) json += ',';
            json += "{\"cd_titulo_instrumento_protesto\":" + QByteArray::number(1000 + i) + ",\"nm_chave\":\"" +
                    keyName(i).left(23).toLatin1() + "\",\"ds_instrumento_protesto_pdf_b64\":\"" +
                    pdfBytes(size, generator).toBase64() + "\"}";
        }
        json += "]}";
        standIn.script(ScriptedAnswer::ok(json));
        const QString folder = work.filePath(QStringLiteral("manual-%1").arg(++runs));
        QDir().mkpath(folder);
        dialogs.folderAnswers = {folder};
        QTest::mouseClick(window.ui->Button6, Qt::LeftButton);
        QTest::mouseClick(window.ui->Button5, Qt::LeftButton);
        standIn.clear();
        dialogs.boxes.clear();
        StallMeter stall;
        QElapsedTimer clock;
        clock.start();
        QTest::mouseClick(window.ui->Button4, Qt::LeftButton);
        const double took = ms(clock);
        const double stallMs = stall.stopMs();
        if (!dialogs.boxes.empty() || standIn.requests().size() != count)
            throw std::runtime_error("the manual run did not send every instrument");
        QDir(folder).removeRecursively();
        return {took, stallMs};
    }

    ScriptedDialogs dialogs;
    SoftHsmTokens tokens;
    TFPrincipal window;
    QTemporaryDir work;
    int runs = 0;
};

bool report(const char* what, int count, const Setting& s, double took, double stallMs) {
    const double limit = double(count) * std::max(s.tokenMs, s.uploadMs);
    const double sequential = double(count) * (s.tokenMs + s.uploadMs);
    const double ratio = took / limit;
    std::printf(
        "%s of %d, T = %d ms, U = %d ms: %.0f ms (%.1f ms/row); n x max(T, U) = %.0f ms, ours/that %.3f "
        "(target <= 1.15); sequential floor n x (T + U) = %.0f ms, ours/that %.3f; longest stall %.1f ms\n",
        what, count, s.tokenMs, s.uploadMs, took, took / count, limit, ratio, sequential, took / sequential, stallMs);
    return ratio <= 1.15 && stallMs <= 100;
}

int run(const std::string& registration) {
    std::printf("Batch engine benchmark (slow token %s)\n", registration.c_str());
    Bench bench;
    const qsizetype size = 100 * 1024;
    bool met = true;

    // The slow token is the one signing: one file takes at least T.
    {
        QElapsedTimer clock;
        clock.start();
        bench.batch({300, 0}, 1, size);
        if (ms(clock) < 300) throw std::runtime_error("the signatures do not go through the slow token");
    }
    for (const Setting& setting : {Setting{250, 150}, Setting{100, 300}}) {
        const auto [batchMs, batchStall] = bench.batch(setting, 100, size);
        met = report("batch", 100, setting, batchMs, batchStall) && met;
        const auto [manualMs, manualStall] = bench.manual(setting, 50, size);
        met = report("manual run", 50, setting, manualMs, manualStall) && met;
    }

    // Memory over a long batch (files of ~20 KB, so that the stand-in's record of every
    // upload stays small), with neither delay.
    constexpr int kLong = 5000;
    MemoryProbe probe(99);
    const auto [longMs, longStall] = bench.batch({0, 0}, kLong, 20 * 1024, &probe);
    const double growth = probe.atEnd - probe.atRow;
    std::printf(
        "batch of %d files of ~20 KB without delays: %.0f ms (%.2f ms/row), longest stall %.1f ms; resident memory "
        "%.1f MB at row 100, %.1f MB at the last row, growth %.1f MB (target <= 20), most %.1f MB\n",
        kLong, longMs, longMs / kLong, longStall, probe.atRow, probe.atEnd, growth, probe.most);
    met = met && growth <= 20 && longStall <= 100;
    std::printf("Targets (runs <= 1.15 x n x max(T, U), stalls <= 100 ms, memory growth <= 20 MB): %s\n",
                met ? "met" : "NOT met");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string registration;
    try {
        registration = slowtoken::registerSlowToken(NORVANE_SLOW_TOKEN_MODULE_PATH);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "benchmark failed: %s\n", error.what());
        return 1;
    }
    if (qgetenv("QT_QPA_PLATFORM").isEmpty()) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    try {
        return run(registration);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "benchmark failed: %s\n", error.what());
        return 1;
    }
}
