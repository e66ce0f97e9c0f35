// The login's steps with the certificate and the service.

#include "certs/SigningSession.h"
#include "core/Dialogs.h"
#include "service/ServiceCall.h"
#include "workflows/Login.h"

namespace norvane {

std::optional<LoginResult> loginWithCertificate(SigningSession& signing, const LoginContext& pick, HttpClient& client,
                                                const LoginEnvironment& environment) {
    signing.ListaCertificados(1);
    if (signing.noTokenConnected()) return std::nullopt;  // its one box said what to do
    const auto certificate = signing.selecionaCertificado(pick.Certificado_Thumbprint);
    const QString tipo = signing.verificaTipoCertificado(certificate);
    if (!tipo.contains(QStringLiteral("2.16.76.1.2.3"))) {
        dialogs().showError(QStringLiteral("Login somente com e-CPF A3!"));
        return std::nullopt;
    }
    const QString cpf = signing.pegaExtensaoCPFCNPJCertificado(certificate);
    if (cpf == QStringLiteral("0")) {
        dialogs().showError(QStringLiteral("Login somente com e-CPF válido!"));
        return std::nullopt;
    }
    if (signing.AssinarString(QStringLiteral("login"), pick.Certificado_Thumbprint).isEmpty()) return std::nullopt;

    LoginResult login;
    login.context.Certificado_Nome = pick.Certificado_Nome;
    login.context.Certificado_Thumbprint = pick.Certificado_Thumbprint;
    login.context.Certificado_SerialNumber = pick.Certificado_SerialNumber;
    login.context.nm_nr_cpf = formatCpf(cpf);
    login.context.Ambiente = environment.ambiente;
    login.context.urlAPI = environment.baseUrl;

    FieldList fields;
    fields.set(QStringLiteral("servico"), kLogin);
    fields.set(QStringLiteral("doc"), login.context.nm_nr_cpf);
    const auto answer =
        parseAnswerObject(serviceCall(client, environment.ambiente, environment.baseUrl, Wrapping::R, fields));
    if (!answer) return std::nullopt;
    login.offices = officesOfAnswer(*answer);
    if (login.offices.empty()) {
        dialogs().showError(QStringLiteral("Usuário não encontrado!"));
        return std::nullopt;
    }
    return login;
}

}  // namespace norvane
