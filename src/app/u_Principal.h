#pragma once
// The main window: header with the logged-in user and notary office, and the three
// tabs in which all signing happens. Its public fields are the login context.

#include "service/HttpClient.h"

#include <QString>
#include <QWidget>
#include <memory>

namespace Ui {
class TFPrincipal;
}

class TFPrincipal : public QWidget {
    Q_OBJECT
public:
    explicit TFPrincipal(QWidget* parent = nullptr);
    ~TFPrincipal() override;

    // Login context: empty until login fills it, never changed afterwards.
    QString Certificado_Nome;
    QString Certificado_Thumbprint;
    QString Certificado_SerialNumber;
    QString cd_ibge;
    QString nr_cartorio;
    QString cd_usuario;
    QString nm_nr_cpf;
    QString Ambiente;
    QString urlAPI;

    // The running program's version (major.minor.release).
    QString VersionText;

    std::unique_ptr<Ui::TFPrincipal> ui;

    void FormCreate();
    void TabControl1Change();

    // --- certificates (src/certs): listing, selection, identity checks, signing objects ---

    // --- signing engine (src/certs) ---

    // --- service clients (src/service) ---
    norvane::HttpClient IdHTTP2;  // uploads
    norvane::HttpClient IdHTTP3;  // consultation of manually typed instruments

    // --- tabs (src/workflows) ---

protected:
    void closeEvent(QCloseEvent* event) override;
    void FormClose();
};

extern TFPrincipal* FPrincipal;
