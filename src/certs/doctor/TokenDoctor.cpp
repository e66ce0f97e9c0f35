#include "certs/doctor/TokenDoctor.h"

#include <openssl/crypto.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <p11-kit/pkcs11.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QStringList>
#include <ctime>

#include "certs/pki/AiaIssuers.h"
#include "certs/pki/BundledCertificates.h"
#include "certs/pki/Certificate.h"
#include "certs/pki/ExtensionFormat.h"
#include "certs/pki/IdentityValues.h"
#include "certs/pki/PkiNetwork.h"
#include "certs/pki/Revocation.h"
#include "certs/pki/TrustStore.h"
#include "certs/tokens/TokenAccess.h"
#include "core/Environment.h"
#include "core/u_global.h"
#include "service/Proxy.h"

namespace norvane::doctor {

namespace {

QString date(const QDateTime& when) { return when.toLocalTime().toString(QStringLiteral("dd/MM/yyyy")); }

QString nameOf(X509* certificate) { return norvane::x509NameText(X509_get_subject_name(certificate)); }

QString fingerprintOf(X509* certificate) {
    unsigned char digest[32];
    unsigned int length = sizeof digest;
    X509_digest(certificate, EVP_sha256(), digest, &length);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex(':'));
}

QString distribution() {
    QFile release(QStringLiteral("/etc/os-release"));
    if (release.open(QIODevice::ReadOnly))
        for (const QByteArray& line : release.readAll().split('\n'))
            if (line.startsWith("PRETTY_NAME="))
                return QString::fromUtf8(line.mid(12)).remove(QLatin1Char('"'));
    return QStringLiteral("desconhecida");
}

QString systemSection() {
    QString text = QStringLiteral("== Programa e sistema ==\n");
    const QString version =
        GetFileVersionText(QCoreApplication::applicationFilePath(), QStringLiteral("%d.%d.%d.%d"));
    text += QStringLiteral("Versão do programa: %1\n").arg(version.isEmpty() ? QStringLiteral("desconhecida") : version);
    struct utsname system {};
    uname(&system);
    text += QStringLiteral("Sistema: %1; kernel %2 %3 (%4)\n")
                .arg(distribution(), QString::fromUtf8(system.sysname), QString::fromUtf8(system.release),
                     QString::fromUtf8(system.machine));
    text += QStringLiteral("Qt %1; %2\n").arg(QString::fromLatin1(qVersion()),
                                               QString::fromLatin1(OpenSSL_version(OPENSSL_VERSION)));
    return text;
}

// pcscd serves the card readers through its socket: where PC/SC's clients (OpenSC) look for
// it, PCSCLITE_CSOCK_NAME when set.
QString pcscdSection() {
    const QByteArray named = qgetenv("PCSCLITE_CSOCK_NAME");
    const QByteArray path = named.isEmpty() ? QByteArray("/run/pcscd/pcscd.comm") : named;
    QString state = QStringLiteral("não está em execução (sem o serviço pcscd, leitores de cartão não são vistos; "
                                   "tokens USB com driver próprio podem funcionar)");
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd >= 0) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, path.constData(), sizeof address.sun_path);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            state = QStringLiteral("em execução");
        ::close(fd);
    }
    return QStringLiteral("== Leitores de cartão ==\npcscd: %1 (%2)\n").arg(state, QString::fromLatin1(path));
}

QStringList tokenFlagWords(const tokens::TokenReport& token) {
    QStringList words;
    if (!(token.flags & CKF_TOKEN_INITIALIZED)) words << QStringLiteral("NÃO INICIALIZADO");
    if (token.flags & CKF_LOGIN_REQUIRED) words << QStringLiteral("exige login com PIN");
    if (token.flags & CKF_PROTECTED_AUTHENTICATION_PATH) words << QStringLiteral("PIN digitado no teclado do leitor");
    if (token.flags & CKF_USER_PIN_COUNT_LOW) words << QStringLiteral("o PIN já foi digitado errado");
    if (token.flags & CKF_USER_PIN_FINAL_TRY) words << QStringLiteral("ÚLTIMA TENTATIVA antes do bloqueio do PIN");
    if (token.flags & CKF_USER_PIN_LOCKED) words << QStringLiteral("PIN BLOQUEADO (desbloqueie com o PUK)");
    if (token.flags & CKF_USER_PIN_TO_BE_CHANGED) words << QStringLiteral("o PIN deve ser trocado");
    if (token.maxPinLength >= token.minPinLength && token.maxPinLength > 0 && token.maxPinLength < 1024)
        words << QStringLiteral("PIN de %1 a %2 caracteres").arg(token.minPinLength).arg(token.maxPinLength);
    return words;
}

// Whether the login takes it as an e-CPF A3, and if not, why.
QString identityLine(X509* certificate) {
    const CertificateIdentity identity = readCertificateIdentity(certificate);
    if (!identity.problem.isEmpty())
        return QStringLiteral("não (a identidade não pôde ser lida: %1)").arg(identity.problem);
    const QString& policy = identity.policy;
    const QString& cpf = identity.cpf;
    if (!policy.contains(QStringLiteral("2.16.76.1.2.3")))
        return policy.isEmpty() ? QStringLiteral("não (sem política de certificado ICP-Brasil)")
                                : QStringLiteral("não (política %1: o login aceita só e-CPF A3, 2.16.76.1.2.3)").arg(policy);
    if (cpf == QLatin1String("0")) return QStringLiteral("não (é um certificado de pessoa jurídica, e-CNPJ)");
    if (cpf.size() != 11) return QStringLiteral("não (o certificado não traz o CPF do titular)");
    return QStringLiteral("sim (CPF %1.%2.%3-%4)").arg(cpf.mid(0, 3), cpf.mid(3, 3), cpf.mid(6, 3), cpf.mid(9, 2));
}

QString chainLines(const pki::ChainReport& chain, const pki::BundledCertificates& bundled) {
    QString text = QStringLiteral("  Cadeia:\n");
    for (size_t i = 0; i < chain.links.size(); ++i) {
        X509* link = chain.links[i].get();
        QString line = QStringLiteral("    %1. %2").arg(i + 1).arg(nameOf(link));
        if (i + 1 == chain.links.size() && chain.trusted) {
            bool isBundled = false;
            for (const auto& root : bundled.roots) isBundled = isBundled || X509_cmp(root.get(), link) == 0;
            line += isBundled ? QStringLiteral(" (âncora: raiz ICP-Brasil do programa)")
                              : QStringLiteral(" (âncora: repositório do sistema)");
        }
        if (const auto origin = pki::aiaOrigin(link))
            line += QStringLiteral(" (intermediária obtida pela AIA em %1, baixada em %2)")
                        .arg(origin->url, origin->fetchedAt.toLocalTime().toString(QStringLiteral("dd/MM/yyyy HH:mm")));
        if (!chain.trusted && int(i) == chain.errorDepth) line += QStringLiteral("  <- RUPTURA: %1").arg(chain.breakText);
        text += line + QLatin1Char('\n');
    }
    if (!chain.trusted && chain.errorDepth >= int(chain.links.size()))
        text += QStringLiteral("    RUPTURA: %1\n").arg(chain.breakText);
    return text;
}

// Why the pick list leaves it out (the same filters, in the same order), or that it offers it.
QString pickListLine(X509* certificate, const pki::ChainReport& chain,
                     const std::vector<pki::RevocationStatus>& revocation) {
    const uint32_t usage = X509_get_key_usage(certificate);
    if (!(usage & KU_DIGITAL_SIGNATURE))
        return QStringLiteral("não oferecido: o uso da chave não inclui assinatura digital");
    if (!(usage & KU_NON_REPUDIATION)) return QStringLiteral("não oferecido: o uso da chave não inclui não repúdio");
    const std::time_t now = std::time(nullptr);
    if (!pki::validAt(certificate, now))
        return pki::validTo(certificate) < QDateTime::currentDateTimeUtc()
                   ? QStringLiteral("não oferecido: certificado expirado")
                   : QStringLiteral("não oferecido: certificado ainda não válido");
    if (!chain.trusted)
        return QStringLiteral("não oferecido: a cadeia não chega a uma raiz confiável (%1)").arg(chain.breakText);
    if (const pki::RevocationStatus* revoked = pki::firstRevoked(revocation))
        return QStringLiteral("não oferecido: certificado «%1» revogado em %2 (motivo: %3), segundo %4")
            .arg(revoked->subject,
                 revoked->revokedAt.toLocalTime().toString(QStringLiteral("dd/MM/yyyy HH:mm")),
                 pki::revocationReasonText(revoked->reason), revoked->source);
    for (const pki::RevocationStatus& status : revocation)
        if (status.state == pki::RevocationState::Unknown && !status.nowhereToAsk)
            return QStringLiteral("oferecido (revogação não verificada: sem resposta da AC, nada é bloqueado)");
    return QStringLiteral("oferecido");
}

QString validityLine(X509* certificate) {
    const QDateTime from = pki::validFrom(certificate), to = pki::validTo(certificate);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QString state;
    if (now < from)
        state = QStringLiteral("ainda não válido");
    else if (now > to)
        state = QStringLiteral("expirado há %1 dia(s)").arg(to.daysTo(now));
    else
        state = QStringLiteral("%1 dia(s) restante(s)").arg(now.daysTo(to));
    return QStringLiteral("  Validade: de %1 a %2 (%3)\n").arg(date(from), date(to), state);
}

QString revocationLines(const pki::ChainReport& chain, const std::vector<pki::RevocationStatus>& revocation) {
    if (!chain.trusted) return QStringLiteral("  Revogação: não verificada (a cadeia não chega a uma raiz confiável)\n");
    QString text = QStringLiteral("  Revogação:\n");
    for (size_t i = 0; i < revocation.size(); ++i)
        text += QStringLiteral("    %1. %2: %3\n").arg(i + 1).arg(revocation[i].subject, pki::revocationText(revocation[i]));
    return text;
}

QString certificateSection(const std::vector<tokens::ModuleReport>& modules) {
    const auto bundled = pki::bundledCertificates();
    const pki::Deadline deadline(pki::kReportBudgetMs);
    QString text = QStringLiteral("== Certificados ==\n");
    int count = 0;
    for (const auto& module : modules) {
        for (const auto& token : module.readers) {
            if (!token.present) continue;
            pki::ChainVerifier chains(token.certificates);
            for (const auto& held : token.certificates) {
                X509* certificate = held.get();
                QStringList fetchProblems;
                chains.completeWithAia(certificate, deadline, &fetchProblems);
                const pki::ChainReport chain = chains.report(certificate);
                const std::vector<pki::RevocationStatus> revocation =
                    chain.trusted ? pki::checkChainRevocation(chain.links, deadline) : std::vector<pki::RevocationStatus>{};
                text += QStringLiteral("Certificado %1 (token \"%2\")\n").arg(++count).arg(token.label);
                text += QStringLiteral("  Titular: %1\n").arg(nameOf(certificate));
                text += QStringLiteral("  Emissor: %1\n").arg(norvane::x509NameText(X509_get_issuer_name(certificate)));
                text += QStringLiteral("  Número de série: %1\n").arg(pki::serialNumberOf(certificate));
                text += validityLine(certificate);
                text += QStringLiteral("  e-CPF A3: %1\n").arg(identityLine(certificate));
                text += chainLines(chain, *bundled);
                for (const QString& problem : fetchProblems)
                    text += QStringLiteral("    AIA: %1\n").arg(problem);
                text += revocationLines(chain, revocation);
                text += QStringLiteral("  Lista de escolha do login: %1\n").arg(pickListLine(certificate, chain, revocation));
            }
        }
    }
    if (count == 0) text += QStringLiteral("Nenhum certificado foi encontrado nos tokens.\n");
    return text;
}

QString modulesSection(const std::vector<tokens::ModuleReport>& modules) {
    QString text = QStringLiteral("== Drivers de token (módulos PKCS#11) ==\n");
    for (const auto& module : modules) {
        text += QStringLiteral("- %1 (%2): %3\n")
                    .arg(module.path, module.origin,
                         module.loaded ? QStringLiteral("carregado")
                                       : QStringLiteral("falhou: %1").arg(module.problem.isEmpty()
                                                                              ? QStringLiteral("motivo desconhecido")
                                                                              : module.problem));
    }
    const QStringList registered = tokens::p11KitRegisteredModules();
    text += QStringLiteral("Registrados no p11-kit: %1\n")
                .arg(registered.isEmpty() ? QStringLiteral("nenhum") : registered.join(QStringLiteral(", ")));
    text += QStringLiteral("\n== Leitores e tokens ==\n");
    int readers = 0;
    int present = 0;
    for (const auto& module : modules) {
        for (const auto& token : module.readers) {
            ++readers;
            present += token.present ? 1 : 0;
            if (!token.present) {
                text += QStringLiteral("Leitor \"%1\": sem token\n").arg(token.reader);
                continue;
            }
            text += QStringLiteral("Leitor \"%1\": token \"%2\"\n").arg(token.reader, token.label);
            text += QStringLiteral("  Fabricante: %1; modelo: %2; número de série: %3\n")
                        .arg(token.manufacturer, token.model, token.serial);
            const QStringList flags = tokenFlagWords(token);
            if (!flags.isEmpty()) text += QStringLiteral("  Situação: %1\n").arg(flags.join(QStringLiteral("; ")));
            text += QStringLiteral("  Certificados: %1\n").arg(token.certificates.size());
        }
    }
    if (readers == 0) text += QStringLiteral("Nenhum leitor ou token foi encontrado.\n");
    if (present == 0)
        text += QStringLiteral("Situação: nenhum token ou cartão conectado (conecte o token USB ou o cartão e "
                               "faça o diagnóstico de novo).\n");
    return text;
}

// How the program reaches the service and the downloads: directly or through a proxy.
QString networkSection() {
    QString text = QStringLiteral("== Rede (proxy) ==\n");
    text += QStringLiteral("Serviço (produção): %1\n").arg(proxyLine(QUrl(environmentBaseUrl(kProducao))));
    text += QStringLiteral("Serviço (homologação): %1\n").arg(proxyLine(QUrl(environmentBaseUrl(kHomologacao))));
    text += QStringLiteral("Atualizações: %1\n").arg(proxyLine(QUrl(downloadBaseUrl())));
    return text;
}

QString anchorsSection() {
    const auto bundled = pki::bundledCertificates();
    QString text = QStringLiteral("== Âncoras de confiança ==\n");
    text += QStringLiteral("Repositório do sistema: %1 e %2\n").arg(pki::systemAnchorsFile(), pki::systemAnchorsFolder());
    text += QStringLiteral("Raízes ICP-Brasil do programa (%1):\n")
                .arg(bundled->folder.isEmpty() ? QStringLiteral("pasta não encontrada: %1").arg(pki::bundledCertificatesFolder())
                                               : bundled->folder);
    for (const auto& root : bundled->roots)
        text += QStringLiteral("  %1, SHA-256 %2\n").arg(pki::simpleName(X509_get_subject_name(root.get())),
                                                          fingerprintOf(root.get()));
    text += QStringLiteral("  e %1 autoridades intermediárias\n").arg(bundled->intermediates.size());
    text += QStringLiteral("Intermediárias que faltam: buscadas pela AIA do certificado (nunca usadas como âncora).\n");
    text += QStringLiteral("Revogação: OCSP, ou a LCR da AC, guardados até a próxima atualização em %1.\n")
                .arg(pki::cacheFolder());
    text += QStringLiteral("Sem rede (ou com o serviço da AC fora do ar) nada é bloqueado: a revogação fica "
                           "\"não verificada\" e o certificado continua oferecido.\n");
    return text;
}

}  // namespace

QString diagnosticReport() {
    const std::vector<tokens::ModuleReport> modules = tokens::describeModules();
    QString text = QStringLiteral("Diagnóstico do Assinador Norvane, %1\n\n")
                       .arg(QDateTime::currentDateTime().toString(QStringLiteral("dd/MM/yyyy HH:mm:ss")));
    text += systemSection() + QLatin1Char('\n');
    text += pcscdSection() + QLatin1Char('\n');
    text += networkSection() + QLatin1Char('\n');
    text += modulesSection(modules) + QLatin1Char('\n');
    text += certificateSection(modules) + QLatin1Char('\n');
    text += anchorsSection();
    return text;
}

}  // namespace norvane::doctor
