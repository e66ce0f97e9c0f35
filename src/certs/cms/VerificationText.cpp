// The Portuguese text of a signature check: the verdict first, then the details. The
// command line prints it and the window shows it.

#include <QStringList>
#include <cstdlib>

#include "certs/cms/Verification.h"
#include "certs/pki/ExtensionFormat.h"

namespace norvane::cms {

QString whenText(const QDateTime& utc) {
    if (!utc.isValid()) return QStringLiteral("(data ilegível)");
    const QDateTime local = utc.toLocalTime();
    const int offset = local.offsetFromUtc();
    const QString zone = offset == 0 ? QStringLiteral("UTC")
                                     : QStringLiteral("UTC%1%2:%3")
                                           .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                                           .arg(std::abs(offset) / 3600, 2, 10, QLatin1Char('0'))
                                           .arg(std::abs(offset) % 3600 / 60, 2, 10, QLatin1Char('0'));
    return local.toString(QStringLiteral("dd/MM/yyyy HH:mm:ss")) + QStringLiteral(" (") + zone + QLatin1Char(')');
}

QString dayText(const QDateTime& utc) {
    return utc.isValid() ? utc.toLocalTime().toString(QStringLiteral("dd/MM/yyyy")) : QStringLiteral("(data ilegível)");
}

namespace {

QString cpfText(const SignerReport& signer) {
    if (signer.cpf == QLatin1String("0")) return QStringLiteral("não tem (certificado de pessoa jurídica, e-CNPJ)");
    if (signer.cpf.isEmpty()) return QStringLiteral("não encontrado no certificado");
    if (signer.cpf.size() == 11)
        return signer.cpf.left(3) + '.' + signer.cpf.mid(3, 3) + '.' + signer.cpf.mid(6, 3) + '-' + signer.cpf.mid(9);
    return signer.cpf;
}

QString policyText(const QString& policy) {
    if (policy.isEmpty()) return QStringLiteral("nenhuma política ICP-Brasil");
    if (policy.contains(QLatin1String("2.16.76.1.2.3"))) return policy + QStringLiteral(" (ICP-Brasil A3)");
    if (policy.contains(QLatin1String("2.16.76.1.2.1"))) return policy + QStringLiteral(" (ICP-Brasil A1)");
    return policy;
}

QString yesNo(const std::optional<bool>& value, const QString& yes, const QString& no, const QString& none) {
    return !value ? none : *value ? yes : no;
}

}  // namespace

QString verdictLine(const VerificationResult& result) {
    switch (result.verdict) {
        case Verdict::Valid: {
            bool checked = !result.signers.empty();
            for (const SignerReport& signer : result.signers)
                checked = checked && signer.revocation.state == RevocationReport::State::NotRevoked;
            if (!checked) return QStringLiteral("Assinatura VÁLIDA (revogação não verificada)");
            return QStringLiteral("Assinatura VÁLIDA (revogação verificada em %1: não revogado)")
                .arg(result.signers.front().revocation.checkedAt.toLocalTime().toString(
                    QStringLiteral("dd/MM/yyyy HH:mm")));
        }
        case Verdict::Invalid:
            return QStringLiteral("Assinatura INVÁLIDA: ") + lineSafeText(result.reasons.join(QStringLiteral("; ")));
        case Verdict::Unreadable:
            break;
    }
    return QStringLiteral("Não foi possível verificar a assinatura: ") +
           (result.reasons.isEmpty() ? QStringLiteral("erro desconhecido") : lineSafeText(result.reasons.constFirst()));
}

// The certification chain of a signer's certificate, link by link.
QString chainText(const SignerReport& signer) {
    QString out;
    const auto line = [&out](const QString& text) { out += text + '\n'; };
    line(QStringLiteral("  Cadeia de certificação:"));
    for (size_t i = 0; i < signer.chain.size(); ++i) {
        const ChainLink& link = signer.chain[i];
        QString text = QStringLiteral("    %1. %2, válido de %3 a %4")
                           .arg(i + 1)
                           .arg(link.subject, dayText(link.validFrom), dayText(link.validTo));
        if (signer.now.trusted && i + 1 == signer.chain.size())
            text += signer.now.anchor == Anchor::IcpBrasil
                        ? QStringLiteral(" (raiz ICP-Brasil confiável, fornecida com o programa)")
                        : QStringLiteral(" (raiz confiável do repositório do sistema)");
        else if (link.selfSigned)
            text += QStringLiteral(" (raiz)");
        if (!link.fetchedFrom.isEmpty()) text += QStringLiteral(" (obtido pela internet em %1)").arg(link.fetchedFrom);
        line(text);
    }
    return out;
}

// One signer's part of the text: who, when, what was checked and the attributes.
QString signerText(const SignerReport& signer, int index, bool numbered) {
    QString out;
    const auto line = [&out](const QString& text) { out += text + '\n'; };
    line(QString());
    line(numbered ? QStringLiteral("Signatário %1: ").arg(index) + signer.name
                  : QStringLiteral("Signatário: ") + signer.name);
    if (signer.certificateFound) {
        line(QStringLiteral("  CPF: ") + cpfText(signer));
        line(QStringLiteral("  Política do certificado: ") + policyText(signer.policy));
        if (!signer.identityProblem.isEmpty())
            line(QStringLiteral("  Leitura da identidade: ") + signer.identityProblem);
    }
    line(QStringLiteral("  Data e hora da assinatura: ") +
         (signer.signingTime ? whenText(*signer.signingTime)
                             : QStringLiteral("não informada (sem o atributo de data e hora)")));
    if (signer.hasSignedAttributes) {
        line(QStringLiteral("  Assinatura sobre os atributos assinados: ") +
             yesNo(signer.signatureValid, QStringLiteral("válida"), QStringLiteral("INVÁLIDA"),
                   QStringLiteral("não verificada (sem o certificado do signatário)")));
        line(QStringLiteral("  Resumo %1 do conteúdo: ").arg(signer.digestAlgorithm) +
             yesNo(signer.digestMatches, QStringLiteral("confere com o assinado"),
                   QStringLiteral("NÃO confere com o assinado"), QStringLiteral("não verificado (sem o documento)")));
    } else {
        line(QStringLiteral("  Sem atributos assinados: a assinatura cobre o resumo %1 do conteúdo diretamente")
                 .arg(signer.digestAlgorithm));
        line(QStringLiteral("  Assinatura sobre o conteúdo: ") + yesNo(signer.signatureValid, QStringLiteral("válida"),
                                                                       QStringLiteral("INVÁLIDA"),
                                                                       QStringLiteral("não verificada")));
    }
    if (signer.signingCertificateMatches)
        line(QStringLiteral("  Atributo do certificado do signatário (CAdES): ") +
             (*signer.signingCertificateMatches ? QStringLiteral("corresponde ao certificado")
                                                : QStringLiteral("NÃO corresponde ao certificado")));
    if (signer.certificateFound) {
        line(QStringLiteral("  Certificado na data da assinatura: ") +
             (!signer.atSigningTime           ? QStringLiteral("não verificado (a assinatura não tem data)")
              : signer.atSigningTime->trusted ? QStringLiteral("válido, com cadeia confiável")
                                              : QStringLiteral("INVÁLIDO: ") + signer.atSigningTime->problem));
        line(QStringLiteral("  Certificado hoje: ") + (signer.now.trusted
                                                           ? QStringLiteral("válido, com cadeia confiável")
                                                           : QStringLiteral("INVÁLIDO: ") + signer.now.problem));
        out += chainText(signer);
        if (!signer.now.trusted) line(QStringLiteral("    interrompida: ") + signer.now.problem);
        if (!signer.revocation.lines.isEmpty()) line(QStringLiteral("  Revogação, certificado por certificado:"));
        for (const QString& text : signer.revocation.lines) line(QStringLiteral("    ") + text);
    }
    line(QStringLiteral("  Atributos assinados:") +
         (signer.signedAttributes.empty() ? QStringLiteral(" nenhum") : QString()));
    for (const SignedAttribute& attribute : signer.signedAttributes)
        line(QStringLiteral("    %1 (%2)%3")
                 .arg(attribute.name, attribute.oid,
                      attribute.value.isEmpty() ? QString() : QStringLiteral(": ") + attribute.value));
    line(QStringLiteral("  Atributos não assinados:") +
         (signer.unsignedAttributes.empty() ? QStringLiteral(" nenhum") : QString()));
    for (const SignedAttribute& attribute : signer.unsignedAttributes)
        line(QStringLiteral("    %1 (%2)").arg(attribute.name, attribute.oid));
    return out;
}

// The closing line on revocation: verified, revoked, or not verified and why.
QString revocationSummary(const VerificationResult& result) {
    QStringList why;
    QDateTime checkedAt;
    for (const SignerReport& signer : result.signers) {
        switch (signer.revocation.state) {
            case RevocationReport::State::Revoked:
                return QStringLiteral("Revogação: %1.\n").arg(signer.revocation.revokedWhat);
            case RevocationReport::State::NotRevoked:
                checkedAt = signer.revocation.checkedAt;
                break;
            case RevocationReport::State::NotChecked:
                if (!signer.revocation.why.isEmpty()) why << signer.revocation.why;
                break;
        }
    }
    if (why.isEmpty() && checkedAt.isValid())
        return QStringLiteral("Revogação: verificada em %1: nenhum certificado da cadeia está revogado.\n")
            .arg(checkedAt.toLocalTime().toString(QStringLiteral("dd/MM/yyyy HH:mm")));
    return QStringLiteral("Revogação: não verificada (%1). Sem a consulta, nada foi bloqueado.\n")
        .arg(why.isEmpty() ? QStringLiteral("nada a consultar") : why.join(QStringLiteral("; ")));
}

QString verificationText(const VerificationResult& result) {
    QString out = verdictLine(result) + '\n';
    const auto line = [&out](const QString& text) { out += text + '\n'; };
    line(QString());
    if (!result.signaturePath.isEmpty()) line(QStringLiteral("Arquivo: ") + result.signaturePath);
    if (result.verdict == Verdict::Unreadable && result.reasons.size() > 1)
        for (qsizetype i = 1; i < result.reasons.size(); ++i) line(QStringLiteral("Também: ") + result.reasons[i]);
    if (result.signers.empty() && result.contentSize < 0 && !result.detached) return out;

    if (result.detached)
        line(QStringLiteral("Conteúdo: destacado (o documento não está dentro da assinatura)"));
    else
        line(QStringLiteral("Conteúdo: incluído na assinatura, %1 bytes").arg(result.contentSize));
    if (!result.documentPath.isEmpty()) {
        line(QStringLiteral("Documento informado: ") + result.documentPath);
        if (!result.detached)
            line(QStringLiteral("  idêntico, byte a byte, ao conteúdo assinado: ") +
                 yesNo(result.documentMatches, QStringLiteral("sim"), QStringLiteral("NÃO"),
                       QStringLiteral("não verificado")));
    }
    for (const QString& note : result.notes) line(QStringLiteral("Observação: ") + note);

    for (size_t i = 0; i < result.signers.size(); ++i)
        out += signerText(result.signers[i], int(i + 1), result.signers.size() > 1);
    line(QString());
    out += revocationSummary(result);
    return out;
}

}  // namespace norvane::cms
