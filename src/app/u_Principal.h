#pragma once
// The main window: header with the logged-in user and notary office, and the three
// tabs in which all signing happens. Its public fields are the login context.

#include "certs/SigningSession.h"
#include "core/LoginContext.h"
#include "service/HttpClient.h"
#include "tabs/ActionLock.h"
#include "tabs/BatchSigning.h"
#include "tabs/IndividualSigning.h"
#include "tabs/ManualInstruments.h"

#include <QString>
#include <QWidget>
#include <memory>

namespace Ui {
class TFPrincipal;
}

class TFPrincipal : public QWidget, public norvane::LoginContext {
    Q_OBJECT
public:
    explicit TFPrincipal(QWidget* parent = nullptr);
    ~TFPrincipal() override;

    // The login context (norvane::LoginContext) is public: Certificado_Nome, ..., urlAPI.

    // The running program's version (major.minor.release).
    QString VersionText;

    std::unique_ptr<Ui::TFPrincipal> ui;

    void FormCreate();
    void TabControl1Change();

    // The end of the login: takes its context, names the user, the office and the
    // environment in the header and shows the window.
    void enterWithLogin(const norvane::LoginContext& contexto);

    // Every control of every tab that starts an action: locked as a whole by each action.
    norvane::ActionControls ActionControls;

    // --- certificates: the signing objects and what uses them (src/certs) ---
    norvane::SigningSession Signing{*this};
    QString ListaCertificados(int PKAcessivel) { return Signing.ListaCertificados(PKAcessivel); }
    std::shared_ptr<CAPICOM_TLB::ICertificate2> selecionaCertificado(const QString& Cert) {
        return Signing.selecionaCertificado(Cert);
    }
    QString verificaTipoCertificado(const std::shared_ptr<CAPICOM_TLB::ICertificate2Disp>& Certificado2) {
        return Signing.verificaTipoCertificado(Certificado2);
    }
    QString pegaExtensaoCPFCNPJCertificado(const std::shared_ptr<CAPICOM_TLB::ICertificate2Disp>& Certificado2) {
        return Signing.pegaExtensaoCPFCNPJCertificado(Certificado2);
    }
    static QString HexToString(const QString& H) { return norvane::SigningSession::HexToString(H); }
    QString AssinarString(const QString& Texto, const QString& Cert) { return Signing.AssinarString(Texto, Cert); }
    QString AssinarArquivo(const QString& PathArquivo, const QString& Cert, const QString& PathSalvar) {
        return Signing.AssinarArquivo(PathArquivo, Cert, PathSalvar);
    }
    void SaveBinFile(const QString& FileName, const QByteArray& BinArray) {
        norvane::SigningSession::SaveBinFile(FileName, BinArray);
    }

    // --- service clients (src/service) ---
    norvane::HttpClient IdHTTP2;  // uploads
    norvane::HttpClient IdHTTP3;  // consultation of manually typed instruments

    // --- tabs (src/workflows) ---
    std::unique_ptr<norvane::BatchSigningTab> Batch;  // Panel1
    void Button1Click() { Batch->Button1Click(); }
    void Button2Click() { Batch->Button2Click(); }
    void Button3Click() { Batch->Button3Click(); }
    std::unique_ptr<norvane::IndividualSigningTab> Individual;  // Panel3
    void Button9Click() { Individual->Button9Click(); }
    void Button7Click() { Individual->Button7Click(); }
    // Checks a signature (.p7s) chosen by the user, or dropped on the window.
    void ButtonVerificarClick();

    std::unique_ptr<norvane::ManualInstrumentsTab> Manual;  // Panel2
    void Button6Click() { Manual->Button6Click(); }
    void Button5Click() { Manual->Button5Click(); }
    void pegaIPDigitacaoManual() { Manual->pegaIPDigitacaoManual(); }
    void Button4Click() { Manual->Button4Click(); }
    // Click of the save folder's caption, and of Label3 on the third tab: nothing happens.
    void PastaGravacaoClick() {}

protected:
    void SetupPanel1();
    void SetupPanel3();
    void SetupPanel2();
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void FormClose();
    // A long user or office name in the header is shown whole: its font shrinks to fit.
    void fitHeaderLabels();
};

extern TFPrincipal* FPrincipal;
