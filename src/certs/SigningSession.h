#pragma once
// The certificate of the login and the signing objects made for it, with everything that
// uses them: the pick list, the lookup by thumbprint, the identity checks and the signing
// of a text or a file. These methods catch their own errors, show them (numbered) through
// the program's dialogs and return a neutral result.

#include "certs/CAPICOM_TLB.h"
#include "certs/FileSignature.h"
#include "core/Error.h"
#include "core/LoginContext.h"

#include <QByteArray>
#include <QString>
#include <memory>
#include <optional>
#include <vector>

namespace norvane {

class SigningSession : public SigningKeys {
public:
    explicit SigningSession(LoginContext& context) : context_(context) {}

    // The pick list over the usable certificates; records the pick in the login context and
    // makes the signing objects. "1" when one certificate was picked, the error's text after
    // an error (shown), else the empty text.
    QString ListaCertificados(int PKAcessivel);
    // The certificates that pick list offers: of the user's store, those for signing and
    // non-repudiation, valid today, in the store's order.
    static std::shared_ptr<CAPICOM_TLB::ICertificates2> offeredCertificates();
    // The certificate of that thumbprint among the valid ones, or none ("Erro 03: " shown).
    std::shared_ptr<CAPICOM_TLB::ICertificate2> selecionaCertificado(const QString& Cert);
    // The certificate-policy identifier (the last one), or empty ("Erro 1C: " on errors).
    QString verificaTipoCertificado(const std::shared_ptr<CAPICOM_TLB::ICertificate2Disp>& Certificado2);
    // The holder's CPF, "0" for a company certificate, or empty ("Erro 1A: " on errors).
    QString pegaExtensaoCPFCNPJCertificado(const std::shared_ptr<CAPICOM_TLB::ICertificate2Disp>& Certificado2);
    // Hexadecimal digit pairs to characters (0-255); an odd last digit is ignored; a pair
    // that is not hexadecimal raises a conversion error.
    static QString HexToString(const QString& H);

    // Signs a text with the certificate of thumbprint Cert: the Base64 SignedData, or the
    // empty text after the error was shown ("Erro 04: ...").
    QString AssinarString(const QString& Texto, const QString& Cert);
    // Signs the file PathArquivo into PathSalvar + its name + ".p7s": the file's size text,
    // or the empty text after the error was shown. A file that cannot be opened raises.
    QString AssinarArquivo(const QString& PathArquivo, const QString& Cert, const QString& PathSalvar);
    // The same signature, showing nothing: its boxes come back in the result. Callable off
    // the GUI thread (the PIN is still asked on it), one signature at a time.
    FileSignature signFile(const QString& PathArquivo, const QString& Cert, const QString& PathSalvar);
    // The lookup of selecionaCertificado, showing nothing: the certificate, or none and the
    // text of its box in `failure` ("Erro 03: ...").
    std::shared_ptr<CAPICOM_TLB::ICertificate2> findCertificate(const QString& Cert, QString* failure);
    // Writes the bytes to FileName whole or not at all (temporary name, then rename). Raises.
    static void SaveBinFile(const QString& FileName, const QByteArray& BinArray);

    // The lookups of findCertificate, for the rows of the grids (SigningKeys).
    std::shared_ptr<const cms::Signer> signerFor(const QString& thumbprint, QString* failure) override;
    // Raises InvalidArgument before the first pick: the signing objects are not made yet.
    void requireReady() const override;
    std::optional<QString> certificateBase64(const QString& thumbprint, QString* failure) override;

    // True when the last signing call failed at the PIN: the prompt was cancelled, or the
    // PIN was refused or is locked. A run over several files ends there: going on would ask
    // again for every file, or put the token at risk of being blocked.
    bool pinRefused() const { return pinRefused_; }
    // True when the last pick list found no token or card connected at all (its box said so).
    bool noTokenConnected() const { return noToken_; }

    // Signing objects, made anew by every successful pick; none before the first.
    std::shared_ptr<CAPICOM_TLB::ISigner2> Signer;
    std::shared_ptr<CAPICOM_TLB::ISignedData> SignedData;
    std::shared_ptr<CAPICOM_TLB::IUtilities> Utilities;

private:
    void showSigningError(const char* code, const std::exception& error);

    LoginContext& context_;
    bool pinRefused_ = false;
    bool noToken_ = false;
};

// The first words of what the pick list and the command line say when no token or card is
// connected; each adds where to check it.
QString noTokenText();

}  // namespace norvane
