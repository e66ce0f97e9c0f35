#pragma once
// The login window: the application's main window until the end of the run.

#include <QString>
#include <QWidget>
#include <memory>

#include "service/Form.h"
#include "service/HttpClient.h"
#include "workflows/ActionLock.h"

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

// The office name of a login answer, re-decoded: each character turned back into the
// byte it came from (the answer was decoded one byte one character when it named no
// charset) and those bytes decoded as UTF-8. A character beyond one byte (the answer
// named a charset), or bytes that are not UTF-8, keep the name as it is.
QString redecodeOfficeName(const QString& name);

// The office record: five fields kept apart whatever they hold ("|" included).
QString joinOfficeRecord(const QStringList& fields);
QStringList splitOfficeRecord(const QString& record);

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
    norvane::FieldList Cartorios;  // office list: codCartorio -> office record

    // Btn_Login and the two radio buttons: locked while the version check or a login runs.
    norvane::ActionControls ActionControls;

    // The update window made by the version check (also FNovaVersao), if any.
    std::unique_ptr<TFNovaVersao> NovaVersaoWindow;

    void FormCreate();
    void FormShow();
    void RadioButton1Click();
    void RadioButton2Click();
    void Btn_LoginClick();
    void ComboBox1Select();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void enterMainWindow();
    norvane::LoginUrls urls_;
    bool shown_ = false;
};

extern TFLogin* FLogin;
