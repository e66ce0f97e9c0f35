#pragma once
// The login window: the application's main window until the end of the run.

#include <QString>
#include <QWidget>
#include <memory>
#include <optional>

#include "core/LoginContext.h"
#include "certs/SigningSession.h"
#include "service/Form.h"
#include "service/HttpClient.h"
#include "tabs/ActionLock.h"
#include "workflows/Login.h"

namespace Ui {
class TFLogin;
}
class TFNovaVersao;

namespace norvane {

// The addresses the login uses: the two environments' service base URLs and the
// installer's download base URL (the program's configured ones unless a test says else).
struct LoginUrls {
    QString producao;
    QString homologacao;
    QString download;
    static LoginUrls configured();
};

}  // namespace norvane

class TFLogin : public QWidget {
    Q_OBJECT
public:
    explicit TFLogin(QWidget* parent = nullptr, const norvane::LoginUrls& urls = norvane::LoginUrls::configured());
    ~TFLogin() override;

    std::unique_ptr<Ui::TFLogin> ui;

    norvane::HttpClient IdHTTP1;  // version check and login

    // State of the login unit.
    QString VersionText;
    QString AmbienteSelecionado;   // "P" or "H"
    QString UrlSelecionada;        // its service base URL
    norvane::FieldList Cartorios;  // office list: codCartorio -> office record (norvane::officeRecord)
    // The login whose offices the list shows, until one is chosen.
    std::optional<norvane::LoginContext> ContextoLogin;

    // Btn_Login and the two radio buttons: locked while the version check or a login runs.
    norvane::ActionControls ActionControls;

    // The update window made by the version check (also FNovaVersao), if any.
    std::unique_ptr<TFNovaVersao> NovaVersaoWindow;

    // The certificate session that the pick goes into, and the context it records the pick
    // in: the main window's, whose signing objects sign afterwards. Until given one, the
    // window uses a session of its own.
    void useSession(norvane::SigningSession& signing, const norvane::LoginContext& pick);

    void FormCreate();
    void FormShow();
    void RadioButton1Click();
    void RadioButton2Click();
    void Btn_LoginClick();
    void ComboBox1Select();

signals:
    // The login ended with an office chosen: the context of the run (the window is hidden).
    void loggedIn(const norvane::LoginContext& context);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void enterMainWindow(const norvane::LoginContext& context);
    norvane::LoginUrls urls_;
    bool shown_ = false;
    norvane::LoginContext ownPick_;
    norvane::SigningSession ownSigning_{ownPick_};
    norvane::SigningSession* signing_ = &ownSigning_;
    const norvane::LoginContext* pick_ = &ownPick_;
};

extern TFLogin* FLogin;
