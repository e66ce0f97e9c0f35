#include "login/u_NovaVersao.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QLocale>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <limits>

#include "app/ErrorReport.h"
#include "app/Fonts.h"
#include "core/Background.h"
#include "core/DesktopOpen.h"
#include "core/Dialogs.h"
#include "core/Error.h"
#include "core/Environment.h"
#include "core/u_global.h"
#include "service/Download.h"
#include "service/PackageCheck.h"
#include "ui_u_NovaVersao.h"

TFNovaVersao* FNovaVersao = nullptr;

const QString TFNovaVersao::kInstallerName = QStringLiteral(NORVANE_INSTALLER_NAME);

namespace {

QFont arial(int pixelSize, bool narrow = false) {
    QFont font;
    if (narrow)
        font.setFamilies({QStringLiteral("Arial Narrow"), QStringLiteral("Liberation Sans Narrow"),
                          QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Arial"),
                          QStringLiteral("Liberation Sans")});
    else
        font.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
    font.setPixelSize(pixelSize);
    return font;
}

QString kilobytes(quint32 bytes) {
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return locale.toString(double(bytes) / 1024.0, 'f', 2);
}

}  // namespace

TFNovaVersao::TFNovaVersao(QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui::TFNovaVersao>()) {
    ui->setupUi(this);
    setFont(norvane::tahoma(11));
    ui->Label1->setFont(arial(16));
    ui->Label3->setFont(arial(16));
    ui->Label2->setFont(arial(13, true));
    setFixedSize(size());
    // No buttons in the title bar: the update runs to its end.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::CustomizeWindowHint);
    setAttribute(Qt::WA_QuitOnClose, false);
    DownloadBaseUrl = norvane::downloadBaseUrl();
    if (const QScreen* screen = QApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

TFNovaVersao::~TFNovaVersao() = default;

QString TFNovaVersao::TargetPath() {
    QString folder = userDownloadFolder();
    if (folder.isEmpty()) {
        // No download folder of the user's own: the Downloads beside the desktop, or the desktop.
        folder = GetSpecialFolder(QStringLiteral("desktop"));
        folder.replace(QStringLiteral("Desktop"), QStringLiteral("Downloads"));
    }
    return folder + QDir::separator() + kInstallerName;
}

QString TFNovaVersao::userDownloadFolder() {
    // As xdg-user-dir DOWNLOAD reads it: XDG_DOWNLOAD_DIR of user-dirs.dirs, "$HOME/..." or an
    // absolute path; the home folder itself means there is none.
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty()) config = QDir::homePath() + QStringLiteral("/.config");
    QFile file(config + QStringLiteral("/user-dirs.dirs"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return QString();
    QString folder;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (!line.startsWith(QStringLiteral("XDG_DOWNLOAD_DIR="))) continue;
        folder = line.mid(int(qstrlen("XDG_DOWNLOAD_DIR="))).remove(QLatin1Char('"'));
        if (folder.startsWith(QStringLiteral("$HOME"))) folder = QDir::homePath() + folder.mid(5);
    }
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/'))) folder.chop(1);
    if (!folder.startsWith(QLatin1Char('/')) || QDir(folder) == QDir::home()) return QString();
    return QDir::toNativeSeparators(folder);
}

QString TFNovaVersao::FailureText(const norvane::DownloadError& error, const QString& version, const QString& url) {
    if (error.kind() == norvane::DownloadError::Kind::NotFound)
        return QStringLiteral("O pacote da versão %1 ainda não foi publicado; tente mais tarde ou fale com o suporte")
            .arg(version);
    return QStringLiteral("O download da nova versão falhou. %1\nEndereço: %2").arg(error.reason(), url);
}

void TFNovaVersao::ShowOutcome(const QString& title, const QString& detail) {
    ui->Label1->setText(title);
    ui->ProgressBar1->setVisible(false);
    ui->Label2->setGeometry(32, 64, 420, 80);
    ui->Label2->setWordWrap(true);
    ui->Label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    ui->Label2->setText(detail);
}

bool TFNovaVersao::InstallerIsDebianPackage() {
    return kInstallerName.endsWith(QStringLiteral(".deb"), Qt::CaseInsensitive);
}

QString TFNovaVersao::NoHandlerText(const QString& path) {
    const QFileInfo file(path);
    return QStringLiteral(
               "Nenhum instalador de programas foi encontrado para abrir o pacote da nova versão.\n\n"
               "O pacote foi baixado em:\n%1\n\n"
               "Para instalá-lo, abra um terminal na pasta %2 e execute:\n"
               "sudo apt install ./%3")
        .arg(QDir::toNativeSeparators(path), QDir::toNativeSeparators(file.absolutePath()), file.fileName());
}

bool TFNovaVersao::event(QEvent* event) {
    // The update starts when the window is first activated; shown is taken as activated
    // too, for desktops that do not activate a window that is shown.
    if (!started_ && (event->type() == QEvent::WindowActivate || event->type() == QEvent::Show))
        QMetaObject::invokeMethod(this, norvane::guard([this] { FormActivate(); }), Qt::QueuedConnection);
    return QWidget::event(event);
}

void TFNovaVersao::waitPainting(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
    if (norvane::abortRequested()) throw norvane::Aborted();
}

void TFNovaVersao::FormActivate() {
    // One update per window: a second activation (also the one after an error box) is ignored.
    if (started_) return;
    started_ = true;
    running_ = true;
    struct End {
        TFNovaVersao* window;
        bool terminated = false;
        ~End() {
            window->running_ = false;
            if (!terminated) window->offerWayOut();
        }
    } end{this};

    ui->Label3->setText(QStringLiteral("Versão atual: ") + VersaoAtual + QStringLiteral(" -- ") +
                        QStringLiteral(" Nova versão: ") + NovaVersao);
    ui->Label3->adjustSize();
    ui->Label3->setVisible(true);
    waitPainting(WaitBeforeDownloadMs);

    const QString old = TargetPath();
    if (QFile::exists(old) && !QFile::remove(old))
        throw norvane::Error(norvane::ErrorKind::FileError,
                             QStringLiteral("Não foi possível apagar o instalador anterior: %1").arg(old));

    if (DownloadOrTell() && QFile::exists(TargetPath())) {
        const QString installer = TargetPath();
        // Only our package of the version the service named is ever opened; anything else
        // (an error page saved under the name, another package or version) is deleted and
        // reported.
        if (InstallerIsDebianPackage() && !AcceptOrTell(installer)) return;
        waitPainting(WaitBeforeOpenMs);
        if (!norvane::openWithDefaultHandler(installer)) {
            if (!InstallerIsDebianPackage())
                throw norvane::Error(norvane::ErrorKind::ProgramMissing,
                                     QStringLiteral("Não foi possível abrir o instalador: %1").arg(installer));
            // No software installer on this desktop: the user installs it himself.
            norvane::dialogs().showInfo(NoHandlerText(installer));
        }
        end.terminated = true;
        norvane::requestAbort();
        QApplication::quit();
    }
}

bool TFNovaVersao::DownloadOrTell() {
    const QString url = DownloadBaseUrl + kInstallerName;
    try {
        return DownloadInstaller();
    } catch (const norvane::DownloadError& error) {
        const QString text = FailureText(error, NovaVersao, url);
        if (error.kind() == norvane::DownloadError::Kind::NotFound)
            ShowOutcome(QStringLiteral("A nova versão ainda não foi publicada."), text);
        else
            ShowOutcome(QStringLiteral("O download da nova versão falhou."),
                        error.reason() + QStringLiteral("\nTente de novo mais tarde; se persistir, fale com o suporte."));
        norvane::dialogs().showError(text);
        return false;
    }
}

bool TFNovaVersao::AcceptOrTell(const QString& installer) {
    const QString version = NovaVersao;
    try {
        norvane::runInBackground([installer, version] { norvane::acceptDownloadedPackage(installer, version); });
        return true;
    } catch (const norvane::PackageRefused& refused) {
        ShowOutcome(QStringLiteral("O pacote baixado foi recusado e apagado."),
                    refused.message().section(QLatin1Char('\n'), 0, 0) +
                        QStringLiteral("\nNada foi instalado. Tente mais tarde ou fale com o suporte."));
        norvane::dialogs().showError(refused.message());
        return false;
    }
}

bool TFNovaVersao::DownloadInstaller() {
    const QString url = DownloadBaseUrl + kInstallerName;
    const QString target = TargetPath();
    // Progress arrives from the transfer's thread and is shown here in the order it came.
    const QPointer<TFNovaVersao> window(FNovaVersao ? FNovaVersao : this);
    norvane::runInBackground([url, target, window] {
        norvane::downloadFile(url, target, [window](quint64 received, quint64 total) {
            constexpr quint64 most = std::numeric_limits<quint32>::max();
            const quint32 r = quint32(std::min(received, most));
            const quint32 t = quint32(std::min(total, most));
            // Posted to the application object, and the window looked at only on its own thread.
            QMetaObject::invokeMethod(
                qApp,
                [window, r, t] {
                    if (window) window->DownloadProgress(r, t);
                },
                Qt::QueuedConnection);
        });
    });
    return true;
}

void TFNovaVersao::DownloadProgress(quint32 received, quint32 total) {
    // A progress bar counts in int: very large sizes are shown in kilobytes.
    const int shift = total > quint32(std::numeric_limits<int>::max()) ? 10 : 0;
    ui->ProgressBar1->setMaximum(int(total >> shift));
    ui->ProgressBar1->setValue(int(std::min(received, total) >> shift));
    ui->Label2->setText(kilobytes(total) + QStringLiteral(" Kb. / ") + kilobytes(received) + QStringLiteral(" Kb."));
    ui->Label2->adjustSize();
}

void TFNovaVersao::offerWayOut() {
    // After a failed update the window can be closed, which ends the application.
    if (windowFlags() & Qt::WindowCloseButtonHint) return;
    const bool visible = isVisible();
    setWindowFlag(Qt::WindowCloseButtonHint, true);
    if (visible) show();
}

void TFNovaVersao::FormClose() {
    norvane::requestAbort();
    QApplication::quit();
}

void TFNovaVersao::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    FormClose();
}
