#pragma once
// The main window: header with the logged-in user and notary office, and the three
// tabs in which all signing happens. Its public fields are the login context.

#include "certs/CAPICOM_TLB.h"
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
    // The pick list over the usable certificates; records the pick and makes the signing
    // objects. "1" when one certificate was picked, the error's text after an error (shown),
    // else the empty text.
    QString ListaCertificados(int PKAcessivel);
    // The certificate of that thumbprint among the valid ones, or none ("Erro 03: " shown).
    std::shared_ptr<CAPICOM_TLB::ICertificate2> selecionaCertificado(const QString& Cert);
    // The certificate-policy identifier (the last one), or empty ("Erro 1C: " on errors).
    QString verificaTipoCertificado(const std::shared_ptr<CAPICOM_TLB::ICertificate2Disp>& Certificado2);
    // The holder's CPF, "0" for a company certificate, or empty ("Erro 1A: " on errors).
    QString pegaExtensaoCPFCNPJCertificado(const std::shared_ptr<CAPICOM_TLB::ICertificate2Disp>& Certificado2);
    // Hexadecimal digit pairs to characters (0-255); an odd last digit is ignored; a pair
    // that is not hexadecimal raises a conversion error.
    static QString HexToString(const QString& H);
    // Signing objects, made anew by every successful pick; none before the first.
    std::shared_ptr<CAPICOM_TLB::ISigner2> Signer;
    std::shared_ptr<CAPICOM_TLB::ISignedData> SignedData;
    std::shared_ptr<CAPICOM_TLB::IUtilities> Utilities;

    // --- signing engine (src/certs) ---
    // Signs a text with the certificate of thumbprint Cert: the Base64 SignedData, or the
    // empty text after the error was shown ("Erro 04: ...").
    QString AssinarString(const QString& Texto, const QString& Cert);
    // Signs the file PathArquivo into PathSalvar + its name + ".p7s": the file's size text,
    // or the empty text after the error was shown. A file that cannot be opened raises.
    QString AssinarArquivo(const QString& PathArquivo, const QString& Cert, const QString& PathSalvar);
    // Writes the bytes to FileName whole or not at all (temporary name, then rename). Raises.
    void SaveBinFile(const QString& FileName, const QByteArray& BinArray);
    // True while a signing call runs; a second one is refused meanwhile.
    bool SigningInProgress = false;

    // --- service clients (src/service) ---
    norvane::HttpClient IdHTTP2;  // uploads
    norvane::HttpClient IdHTTP3;  // consultation of manually typed instruments

    // --- tabs (src/workflows) ---
    // Individual signing (Panel3).
    struct TOpenDialog {
        QString Title;
        QString Filter;
        QString FileName;
        bool Execute();  // modal; false when the user cancelled
    } OpenDialog1{QStringLiteral("Selecione arquivo PDF para assinar em P7S"), QStringLiteral("Arquivos PDF|*.pdf"), {}};
    void SetupPanel3();
    void Button9Click();
    void Button7Click();

protected:
    void closeEvent(QCloseEvent* event) override;
    void FormClose();
};

extern TFPrincipal* FPrincipal;
