// The new-version window: our Debian package downloaded from a local https server, checked,
// and handed to the replaced desktop handler; what is not our package of the named
// version is deleted and reported; the way out after a failure.

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QMimeDatabase>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <memory>

#include "core/Background.h"
#include "core/DesktopOpen.h"
#include "login/u_NorvaneAssinadorIP_Login.h"
#include "login/u_NovaVersao.h"
#include "service/Download.h"
#include "support/DebPackage.h"
#include "support/DownloadServer.h"
#include "support/ScriptedDialogs.h"
#include "support/StandIn.h"
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

const QString kName = QStringLiteral("NorvaneAssinadorIP_Install.deb");

class UpdateWindow : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.isValid() && server.running());
        ASSERT_EQ(TFNovaVersao::kInstallerName, kName) << "the Linux default of NORVANE_INSTALLER_NAME";
        for (const char* name : {"HOME", "XDG_CONFIG_HOME"}) saved.emplace_back(name, qgetenv(name));
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", home.filePath(".config").toUtf8());
        savedLocale = QLocale();
        QLocale::setDefault(QLocale(QLocale::Portuguese, QLocale::Brazil));
        TFNovaVersao::WaitBeforeDownloadMs = 0;
        TFNovaVersao::WaitBeforeOpenMs = 0;
        norvane::setFileOpener([this](const QString& path) {
            opened.push_back({path, readFile(path)});
            return handlerExists;
        });
    }

    void TearDown() override {
        norvane::setFileOpener({});
        TFNovaVersao::WaitBeforeDownloadMs = 5000;
        TFNovaVersao::WaitBeforeOpenMs = 2000;
        QLocale::setDefault(savedLocale);
        for (const auto& [name, value] : saved) qputenv(name, value);
        norvane::clearAbortRequest();
        FNovaVersao = nullptr;
    }

    QString target() const { return home.filePath("Downloads/" + kName); }
    QStringList downloads() const {
        return QDir(home.filePath("Downloads")).entryList(QDir::Files | QDir::Hidden);
    }

    // Serves our package of `version` (a real .deb) under the installer's name.
    QByteArray serveOurs(const QString& version, qint64 payload = 0) {
        const QString deb = served.filePath(version + ".deb");
        EXPECT_TRUE(makeDebianPackage(deb, {.version = version, .payloadBytes = payload}));
        const QByteArray bytes = readFile(deb);
        server.serve(kName, bytes);
        return bytes;
    }

    // Runs the application until it ends: by the update itself, or by closing the update
    // window once an error box was shown.
    int exec(const std::function<TFNovaVersao*()>& window) {
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, [&] {
            TFNovaVersao* update = window();
            if (update && !watched) {
                watched = true;
                QObject::connect(update->ui->ProgressBar1, &QProgressBar::valueChanged, update, [this, update](int value) {
                    progress.push_back({value, update->ui->ProgressBar1->maximum()});
                });
            }
            if (update && !dialogs.boxes.empty() && !update->updateRunning()) {
                closeBoxOffered = update->windowFlags().testFlag(Qt::WindowCloseButtonHint);
                update->close();
            }
        });
        closer.start(5);
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        limit.start(60000);
        const int code = QCoreApplication::exec();
        watched = false;
        return code;
    }

    // Shows the window as the login does, with versions 1.0.3 and 1.0.4.
    int run() {
        window = std::make_unique<TFNovaVersao>();
        FNovaVersao = window.get();
        window->DownloadBaseUrl = server.baseUrl();
        window->VersaoAtual = QStringLiteral("1.0.3");
        window->NovaVersao = QStringLiteral("1.0.4");
        window->show();
        return exec([this] { return window.get(); });
    }

    // The whole way: the login window's version check against the stand-in service,
    // which names `version`, opens the update window.
    int runFromLogin(const QString& version) {
        StandIn service;
        service.setDefault(ScriptedAnswer::ok(R"({"dados":{"nm_nr_versao":")" + version.toUtf8() + R"("}})"));
        TFLogin login(nullptr, {service.baseUrl(), service.baseUrl(), server.baseUrl()});
        login.show();
        const int code = exec([&login] { return login.NovaVersaoWindow.get(); });
        EXPECT_TRUE(login.NovaVersaoWindow) << "the version check opened the update window";
        if (login.NovaVersaoWindow) {
            label2 = login.NovaVersaoWindow->ui->Label2->text();
            label3 = login.NovaVersaoWindow->ui->Label3->text();
        }
        return code;
    }

    // A refused download or package: its box, nothing opened, nothing left, a way out.
    void expectRefused(const QString& text) {
        EXPECT_EQ(dialogs.texts(), std::vector<QString>{text});
        if (!dialogs.boxes.empty()) {
            EXPECT_EQ(dialogs.boxes[0].kind, ShownBox::Error);
        }
        EXPECT_TRUE(opened.empty());
        EXPECT_FALSE(QFile::exists(target()));
        EXPECT_TRUE(downloads().isEmpty()) << downloads().join(' ').toStdString();
        EXPECT_TRUE(closeBoxOffered);
        dialogs.boxes.clear();
        closeBoxOffered = false;
        norvane::clearAbortRequest();
    }

    QTemporaryDir home, served;
    DownloadServer server;
    std::vector<std::pair<const char*, QByteArray>> saved;
    QLocale savedLocale;
    ScriptedDialogs dialogs;
    std::unique_ptr<TFNovaVersao> window;
    bool handlerExists = true;
    std::vector<std::pair<QString, QByteArray>> opened;
    std::vector<std::pair<int, int>> progress;  // value, maximum
    bool watched = false;
    bool closeBoxOffered = false;
    QString label2, label3;
};

TEST_F(UpdateWindow, DownloadsReplacesTheOldInstallerOpensItAndEnds) {
    // The service names 1.0.4; its package carries 1.0.4.1.
    const QByteArray package = serveOurs("1.0.4.1", 300 * 1024);
    QDir().mkpath(home.filePath("Downloads"));
    writeFile(target(), "an installer of an earlier run");

    EXPECT_EQ(runFromLogin("1.0.4"), 0);
    EXPECT_TRUE(dialogs.boxes.empty()) << dialogs.boxes[0].text.toStdString();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].first, target());
    EXPECT_TRUE(opened[0].second == package) << "the whole package, when it is opened";
    EXPECT_EQ(readFile(target()), package);
    EXPECT_EQ(downloads(), QStringList{kName});
    EXPECT_TRUE(norvane::abortRequested()) << "the application was told to end";

    // Progress in order, ending at the whole size.
    ASSERT_GE(progress.size(), 2u);
    for (size_t i = 1; i < progress.size(); ++i) EXPECT_LE(progress[i - 1].first, progress[i].first);
    EXPECT_EQ(progress.back(), std::make_pair(int(package.size()), int(package.size())));
    const QString kb = QLocale().toString(package.size() / 1024.0, 'f', 2);
    EXPECT_EQ(label2, kb + " Kb. / " + kb + " Kb.");
    EXPECT_EQ(label3, QStringLiteral("Versão atual: " NORVANE_VERSION_TEXT " --  Nova versão: 1.0.4"));
}

// With the stand-in naming 1.0.4: each file that is not our package of that version.
TEST_F(UpdateWindow, AnythingButOurPackageOfTheNamedVersionIsDeletedAndReported) {
    const QString gone = "\nO arquivo foi apagado: " + target();

    serveOurs("1.0.3.7");
    EXPECT_EQ(runFromLogin("1.0.4"), 0);
    expectRefused("O pacote baixado é da versão 1.0.3.7, e não da versão 1.0.4 anunciada pelo serviço." + gone);

    ASSERT_TRUE(makeDebianPackage(served.filePath("outro.deb"), {.package = "outro-programa", .version = "1.0.4"}));
    server.serve(kName, readFile(served.filePath("outro.deb")));
    EXPECT_EQ(runFromLogin("1.0.4"), 0);
    expectRefused("O arquivo baixado não é o pacote do assinador (norvane-assinador-ip): é o pacote "
                  "\"outro-programa\", versão 1.0.4." + gone);

    // A server that answers its error page with 200 under the package's name.
    server.serve(kName, "<!DOCTYPE html>\n<html><body><h1>Página não encontrada</h1></body></html>\n");
    EXPECT_EQ(runFromLogin("1.0.4"), 0);
    expectRefused("O arquivo baixado não é um pacote Debian: é uma página HTML." + gone);

    // The Windows installer under the Linux name.
    server.serve(kName, QByteArray("MZ\x90\x00", 4) + QByteArray(4096, 'w'));
    EXPECT_EQ(runFromLogin("1.0.4"), 0);
    expectRefused("O arquivo baixado não é um pacote Debian: é um programa do Windows." + gone);
}

TEST_F(UpdateWindow, AnEmptyInstallerIsNotOpened) {
    server.serve(kName, "");
    EXPECT_EQ(run(), 0);
    expectRefused("O arquivo baixado não é um pacote Debian: é um arquivo vazio.\nO arquivo foi apagado: " + target());
}

TEST_F(UpdateWindow, ARedirectFromHttpsToHttpIsRefused) {
    serveOurs("1.0.4.1");
    server.serve(kName + ".redirect", (server.plainBaseUrl() + kName).toUtf8());
    EXPECT_EQ(runFromLogin("1.0.4"), 0);
    expectRefused("O download da nova versão falhou. O servidor redirecionou o download para um endereço sem https; "
                  "o download foi recusado.\nEndereço: " + server.baseUrl() + kName);
    // The same redirect within https is followed.
    server.serve(kName + ".redirect", (server.baseUrl() + "pacote-1.0.4.1.deb").toUtf8());
    server.serve("pacote-1.0.4.1.deb", readFile(served.filePath("1.0.4.1.deb")));
    EXPECT_EQ(runFromLogin("1.0.4"), 0);
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_EQ(opened.size(), 1u);
}

TEST_F(UpdateWindow, WithNoInstallerOnTheDesktopTheBoxSaysHowToInstallIt) {
    handlerExists = false;
    const QByteArray package = serveOurs("1.0.4.2");
    EXPECT_EQ(runFromLogin("1.0.4"), 0);
    ASSERT_EQ(opened.size(), 1u) << "the desktop was asked first";
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].kind, ShownBox::Info);
    EXPECT_EQ(dialogs.boxes[0].text,
              "Nenhum instalador de programas foi encontrado para abrir o pacote da nova versão.\n\n"
              "O pacote foi baixado em:\n" + target() + "\n\n"
              "Para instalá-lo, abra um terminal na pasta " + home.filePath("Downloads") + " e execute:\n"
              "sudo apt install ./NorvaneAssinadorIP_Install.deb");
    EXPECT_EQ(readFile(target()), package) << "the package stays for the user";
    EXPECT_TRUE(norvane::abortRequested()) << "the application was told to end";
}

TEST_F(UpdateWindow, AFailedDownloadLeavesNoFileAndAWindowThatCanBeClosed) {
    const QString url = server.baseUrl() + kName;
    // The box and the window say what happened, in Portuguese.
    const auto failed = [&](const QString& box, const QString& title, const QString& detail) {
        EXPECT_EQ(run(), 0) << "closing the window ends the application";
        expectRefused(box);
        EXPECT_EQ(window->ui->Label1->text(), title);
        EXPECT_TRUE(window->ui->Label2->text().startsWith(detail)) << window->ui->Label2->text().toStdString();
        EXPECT_TRUE(window->ui->ProgressBar1->isHidden()) << "a full bar after a failure";
    };
    QDir().mkpath(home.filePath("Downloads"));
    writeFile(target(), "old");
    // 404: nothing served yet.
    const QString notYet =
        QStringLiteral("O pacote da versão 1.0.4 ainda não foi publicado; tente mais tarde ou fale com o suporte");
    failed(notYet, QStringLiteral("A nova versão ainda não foi publicada."), notYet);
    server.serve(kName + ".cut", QByteArray(200000, 'x'));
    const QString cut = QStringLiteral("A transferência foi interrompida antes do fim.");
    failed("O download da nova versão falhou. " + cut + "\nEndereço: " + url,
           QStringLiteral("O download da nova versão falhou."), cut);
    server.remove(kName + ".cut");
    serveOurs("1.0.4.1");
    norvane::setDownloadTrustFile({});  // the system's store does not know the test certificate
    const QString untrusted = QStringLiteral("O certificado do servidor 127.0.0.1 não é confiável.");
    failed("O download da nova versão falhou. " + untrusted + "\nEndereço: " + url,
           QStringLiteral("O download da nova versão falhou."), untrusted);
    norvane::setDownloadTrustFile(server.certificate());
}

TEST_F(UpdateWindow, ARefusedPackageIsToldInTheWindowWithWhatToDo) {
    serveOurs("1.0.3.7");
    EXPECT_EQ(run(), 0);
    expectRefused("O pacote baixado é da versão 1.0.3.7, e não da versão 1.0.4 anunciada pelo serviço.\n"
                  "O arquivo foi apagado: " + target());
    EXPECT_EQ(window->ui->Label1->text(), QStringLiteral("O pacote baixado foi recusado e apagado."));
    EXPECT_EQ(window->ui->Label2->text(),
              QStringLiteral("O pacote baixado é da versão 1.0.3.7, e não da versão 1.0.4 anunciada pelo serviço.\n"
                             "Nada foi instalado. Tente mais tarde ou fale com o suporte."));
    EXPECT_TRUE(window->ui->ProgressBar1->isHidden());
}

TEST_F(UpdateWindow, TheWaitsKeepTheirLengthWhileTheWindowPaints) {
    TFNovaVersao::WaitBeforeDownloadMs = 5000;
    TFNovaVersao::WaitBeforeOpenMs = 2000;
    serveOurs("1.0.4");
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
    EXPECT_EQ(TFNovaVersao::TargetPath(), home.filePath("Mesa/" + kName));
    // A Portuguese desktop: the user's download folder, as xdg-user-dir DOWNLOAD names it.
    writeFile(home.filePath(".config/user-dirs.dirs"),
              "# xdg-user-dirs\nXDG_DESKTOP_DIR=\"$HOME/Área de trabalho\"\nXDG_DOWNLOAD_DIR=\"$HOME/Baixados\"\n");
    EXPECT_EQ(TFNovaVersao::TargetPath(), home.filePath("Baixados/" + kName));
    writeFile(home.filePath(".config/user-dirs.dirs"), "XDG_DOWNLOAD_DIR=\"" + home.filePath("outra/pasta").toUtf8() + "/\"\n");
    EXPECT_EQ(TFNovaVersao::TargetPath(), home.filePath("outra/pasta/" + kName));
    // The home folder itself means none: the desktop's rule again.
    writeFile(home.filePath(".config/user-dirs.dirs"), "XDG_DESKTOP_DIR=\"$HOME/Mesa\"\nXDG_DOWNLOAD_DIR=\"$HOME/\"\n");
    EXPECT_EQ(TFNovaVersao::TargetPath(), home.filePath("Mesa/" + kName));
}

}  // namespace

// The desktop's own opener asks xdg-mime for the handler of .deb files first: with none,
// nothing is started and the window gives its box.
TEST(DesktopHandler, IsTheOneXdgMimeNamesForDebianPackages) {
    QTemporaryDir xdg;
    std::vector<std::pair<const char*, QByteArray>> saved;
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_CONFIG_DIRS", "XDG_DATA_HOME", "XDG_DATA_DIRS",
                             "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION"})
        saved.emplace_back(name, qgetenv(name));
    qputenv("XDG_CONFIG_HOME", xdg.filePath("config").toUtf8());
    qputenv("XDG_CONFIG_DIRS", xdg.filePath("etc").toUtf8());
    qputenv("XDG_DATA_HOME", xdg.filePath("data").toUtf8());
    qputenv("XDG_DATA_DIRS", xdg.filePath("share").toUtf8());
    qunsetenv("XDG_CURRENT_DESKTOP");
    qunsetenv("DESKTOP_SESSION");
    // The system's MIME database stays in sight, its applications do not.
    QDir().mkpath(xdg.filePath("share"));
    if (QFileInfo::exists("/usr/share/mime")) QFile::link("/usr/share/mime", xdg.filePath("share/mime"));
    const QString deb = xdg.filePath(kName);
    ASSERT_TRUE(makeDebianPackage(deb));
    ASSERT_EQ(QMimeDatabase().mimeTypeForFile(deb).name(), QStringLiteral("application/vnd.debian.binary-package"));

    EXPECT_EQ(norvane::defaultHandlerFor(deb), std::optional<QString>(QString()));
    EXPECT_FALSE(norvane::openWithDefaultHandler(deb)) << "no handler: nothing is started";

    QDir().mkpath(xdg.filePath("data/applications"));
    QDir().mkpath(xdg.filePath("config"));
    writeFile(xdg.filePath("data/applications/instalador-teste.desktop"),
              "[Desktop Entry]\nType=Application\nName=Instalador\nExec=true %f\n"
              "MimeType=application/vnd.debian.binary-package;\n");
    writeFile(xdg.filePath("config/mimeapps.list"),
              "[Default Applications]\napplication/vnd.debian.binary-package=instalador-teste.desktop\n");
    EXPECT_EQ(norvane::defaultHandlerFor(deb), std::optional<QString>(QStringLiteral("instalador-teste.desktop")));

    for (const auto& [name, value] : saved) {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
}
