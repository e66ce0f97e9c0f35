#pragma once
// The new-version window: downloads the installer (on Linux our Debian package), checks
// it, hands it to the desktop and ends the program.

#include <QString>
#include <QWidget>
#include <memory>

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
    // The user's Downloads folder (the desktop's path with "Desktop" made "Downloads")
    // + the installer's name; computed afresh at every call.
    static QString TargetPath();
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
    void offerWayOut();
    bool started_ = false;
    bool running_ = false;
};

extern TFNovaVersao* FNovaVersao;
