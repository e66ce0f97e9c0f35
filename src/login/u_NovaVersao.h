#pragma once
// The new-version window: downloads the installer (on Linux our Debian package), checks
// it, hands it to the desktop and ends the program.

#include <QString>
#include <QWidget>
#include <memory>

namespace norvane {
class DownloadError;
}

namespace Ui {
class TFNovaVersao;
}

class TFNovaVersao : public QWidget {
    Q_OBJECT
public:
    explicit TFNovaVersao(QWidget* parent = nullptr);
    ~TFNovaVersao() override;

    std::unique_ptr<Ui::TFNovaVersao> ui;

    // Set by the login window before it shows the window.
    QString DownloadBaseUrl;  // ends with "/files/"
    QString VersaoAtual;      // the running version
    QString NovaVersao;       // the version the service named

    // The waits before the download and before the installer is opened; the window
    // keeps painting meanwhile. (Tests shorten them.)
    static inline int WaitBeforeDownloadMs = 5000;
    static inline int WaitBeforeOpenMs = 2000;

    // The configured installer name (NORVANE_INSTALLER_NAME).
    static const QString kInstallerName;
    // A Debian package (.deb): checked before it is opened.
    static bool InstallerIsDebianPackage();
    // The user's download folder (XDG_DOWNLOAD_DIR, as xdg-user-dir DOWNLOAD gives it);
    // without one, the desktop's path with "Desktop" made "Downloads"; + the installer's
    // name. Computed afresh at every call.
    static QString TargetPath();
    // XDG_DOWNLOAD_DIR of the user's user-dirs.dirs; empty when none is set.
    static QString userDownloadFolder();
    // The box of a failed download: not published yet (404), or why it failed, in Portuguese.
    static QString FailureText(const norvane::DownloadError& error, const QString& version, const QString& url);
    // The box shown when the desktop has no handler for the downloaded package.
    static QString NoHandlerText(const QString& path);

    void FormActivate();
    bool DownloadInstaller();
    void DownloadProgress(quint32 received, quint32 total);
    void FormClose();

    bool updateRunning() const { return running_; }

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void waitPainting(int milliseconds);
    // The download, or false after the window and a box said why it failed.
    bool DownloadOrTell();
    // The package check, or false after the window and a box said why it was refused.
    bool AcceptOrTell(const QString& installer);
    // What happened, in the window: its first line and the details where the progress was.
    void ShowOutcome(const QString& title, const QString& detail);
    void offerWayOut();
    bool started_ = false;
    bool running_ = false;
};

extern TFNovaVersao* FNovaVersao;
