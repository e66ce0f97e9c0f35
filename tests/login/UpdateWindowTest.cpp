// The new-version window: the installer downloaded from a local https server, opened
// through the replaced desktop handler, and the way out after a failure.

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <memory>

#include "core/Background.h"
#include "core/DesktopOpen.h"
#include "login/u_NovaVersao.h"
#include "service/Download.h"
#include "support/ScriptedDialogs.h"
#include "support/SoftHsmTokens.h"
#include "ui_u_NovaVersao.h"

using namespace norvane::test;

namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<absent>");
}

class UpdateWindow : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.isValid() && served.isValid());
        for (const char* name : {"HOME", "XDG_CONFIG_HOME"}) saved.emplace_back(name, qgetenv(name));
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", home.filePath(".config").toUtf8());
        savedLocale = QLocale();
        QLocale::setDefault(QLocale(QLocale::Portuguese, QLocale::Brazil));
        TFNovaVersao::WaitBeforeDownloadMs = 0;
        TFNovaVersao::WaitBeforeOpenMs = 0;
        norvane::setFileOpener([this](const QString& path) {
            opened.push_back({path, readFile(path)});
            return true;
        });

        // A certificate for 127.0.0.1 that only these tests trust.
        cert = served.filePath("server.pem");
        const QString key = served.filePath("server.key");
        runTool("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-days", "2",
                            "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
        norvane::setDownloadTrustFile(cert);
        server.start("python3", {NORVANE_TEST_SUPPORT_DIR "/download_server.py", "--cert", cert, "--key", key, "--dir",
                                 served.path()});
        ASSERT_TRUE(server.waitForReadyRead(10000));
        const int port = QJsonDocument::fromJson(server.readLine()).object().value("port").toInt();
        ASSERT_GT(port, 0);
        baseUrl = QStringLiteral("https://127.0.0.1:%1/files/").arg(port);
    }

    void TearDown() override {
        server.closeWriteChannel();
        server.waitForFinished(5000);
        norvane::setFileOpener({});
        norvane::setDownloadTrustFile({});
        TFNovaVersao::WaitBeforeDownloadMs = 5000;
        TFNovaVersao::WaitBeforeOpenMs = 2000;
        QLocale::setDefault(savedLocale);
        for (const auto& [name, value] : saved) qputenv(name, value);
        norvane::clearAbortRequest();
        FNovaVersao = nullptr;
    }

    QString target() const { return home.filePath("Downloads/NorvaneAssinadorIP_Install.exe"); }

    // Shows the window as the login does and runs the application until it ends: by the
    // update itself, or by closing the window once an error box was shown.
    int run() {
        window = std::make_unique<TFNovaVersao>();
        FNovaVersao = window.get();
        window->DownloadBaseUrl = baseUrl;
        window->VersaoAtual = QStringLiteral("1.0.3");
        window->NovaVersao = QStringLiteral("1.0.4");
        QObject::connect(window->ui->ProgressBar1, &QProgressBar::valueChanged, window.get(), [this](int value) {
            progress.push_back({value, window->ui->ProgressBar1->maximum()});
        });
        window->show();
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, [this] {
            if (!dialogs.boxes.empty() && !window->updateRunning()) {
                closeBoxOffered = window->windowFlags().testFlag(Qt::WindowCloseButtonHint);
                window->close();
            }
        });
        closer.start(50);
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        limit.start(60000);
        return QCoreApplication::exec();
    }

    QTemporaryDir home, served;
    std::vector<std::pair<const char*, QByteArray>> saved;
    QLocale savedLocale;
    QString cert, baseUrl;
    QProcess server;
    ScriptedDialogs dialogs;
    std::unique_ptr<TFNovaVersao> window;
    std::vector<std::pair<QString, QByteArray>> opened;
    std::vector<std::pair<int, int>> progress;  // value, maximum
    bool closeBoxOffered = false;
};

TEST_F(UpdateWindow, DownloadsReplacesTheOldInstallerOpensItAndEnds) {
    QByteArray installer(300 * 1024 + 17, Qt::Uninitialized);
    for (char& c : installer) c = char(QRandomGenerator::global()->bounded(256));
    writeFile(served.filePath("NorvaneAssinadorIP_Install.exe"), installer);
    QDir().mkpath(home.filePath("Downloads"));
    writeFile(target(), "an installer of an earlier run");

    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(dialogs.boxes.empty()) << dialogs.boxes[0].text.toStdString();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].first, target());
    EXPECT_TRUE(opened[0].second == installer) << "the whole file, when it is opened";
    EXPECT_EQ(readFile(target()), installer);
    EXPECT_EQ(QDir(home.filePath("Downloads")).entryList(QDir::Files | QDir::Hidden),
              QStringList{"NorvaneAssinadorIP_Install.exe"});
    EXPECT_TRUE(norvane::abortRequested()) << "the application was told to end";

    // Progress in order, ending at the whole size.
    ASSERT_GE(progress.size(), 2u);
    for (size_t i = 1; i < progress.size(); ++i) EXPECT_LE(progress[i - 1].first, progress[i].first);
    EXPECT_EQ(progress.back(), std::make_pair(int(installer.size()), int(installer.size())));
    EXPECT_EQ(window->ui->Label2->text(), QStringLiteral("300,02 Kb. / 300,02 Kb."));
    EXPECT_EQ(window->ui->Label3->text(), QStringLiteral("Versão atual: 1.0.3 --  Nova versão: 1.0.4"));
    EXPECT_TRUE(window->ui->Label3->isVisibleTo(window.get()));
}

TEST_F(UpdateWindow, AnEmptyInstallerIsOpenedToo) {
    writeFile(served.filePath("NorvaneAssinadorIP_Install.exe"), "");
    EXPECT_EQ(run(), 0);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].second, QByteArray());
    EXPECT_TRUE(QFile::exists(target()));
}

TEST_F(UpdateWindow, AFailedDownloadLeavesNoFileAndAWindowThatCanBeClosed) {
    const QString url = baseUrl + "NorvaneAssinadorIP_Install.exe";
    const auto failed = [&] {
        EXPECT_EQ(run(), 0) << "closing the window ends the application";
        EXPECT_EQ(dialogs.texts(), std::vector<QString>{"Error downloading URL: " + url});
        EXPECT_TRUE(opened.empty());
        EXPECT_FALSE(QFile::exists(target()));
        EXPECT_TRUE(QDir(home.filePath("Downloads")).entryList(QDir::Files | QDir::Hidden).isEmpty());
        EXPECT_TRUE(closeBoxOffered);
        dialogs.boxes.clear();
        norvane::clearAbortRequest();
    };
    QDir().mkpath(home.filePath("Downloads"));
    writeFile(target(), "old");
    failed();  // 404: nothing served
    writeFile(served.filePath("NorvaneAssinadorIP_Install.exe.cut"), QByteArray(200000, 'x'));
    failed();  // the connection cut halfway
    QFile::remove(served.filePath("NorvaneAssinadorIP_Install.exe.cut"));
    writeFile(served.filePath("NorvaneAssinadorIP_Install.exe"), "x");
    norvane::setDownloadTrustFile({});  // the system's store does not know the test certificate
    failed();
}

TEST_F(UpdateWindow, TheWaitsKeepTheirLengthWhileTheWindowPaints) {
    TFNovaVersao::WaitBeforeDownloadMs = 5000;
    TFNovaVersao::WaitBeforeOpenMs = 2000;
    writeFile(served.filePath("NorvaneAssinadorIP_Install.exe"), "MZ");
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(100);
    QElapsedTimer elapsed;
    elapsed.start();
    EXPECT_EQ(run(), 0);
    EXPECT_GE(elapsed.elapsed(), 7000);
    EXPECT_GE(ticks, 50) << "events were served during the waits";
    EXPECT_EQ(opened.size(), 1u);
}

TEST_F(UpdateWindow, TargetIsTheDownloadsFolderBesideTheDesktop) {
    EXPECT_EQ(TFNovaVersao::TargetPath(), target());
    // A desktop whose path has no "Desktop": the installer goes onto the desktop itself.
    QDir().mkpath(home.filePath(".config"));
    writeFile(home.filePath(".config/user-dirs.dirs"), "XDG_DESKTOP_DIR=\"$HOME/Mesa\"\n");
    EXPECT_EQ(TFNovaVersao::TargetPath(), home.filePath("Mesa/NorvaneAssinadorIP_Install.exe"));
}

}  // namespace
