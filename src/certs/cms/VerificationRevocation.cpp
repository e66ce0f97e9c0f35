// The revocation part of a signature check: each certificate of the signer's trusted chain,
// and what the verdict and the details say of it.

#include "certs/cms/VerificationReading.h"
#include "certs/pki/Revocation.h"

namespace norvane::cms::verification {

namespace {

QString instant(const QDateTime& utc) { return utc.toLocalTime().toString(QStringLiteral("dd/MM/yyyy HH:mm")); }

}  // namespace

RevocationReport revocationOf(const pki::ChainReport& now, const pki::Deadline& deadline, QStringList& reasons) {
    RevocationReport report;
    const std::vector<pki::RevocationStatus> chain = pki::checkChainRevocation(now.links, deadline);
    for (const pki::RevocationStatus& status : chain)
        report.lines << status.subject + QStringLiteral(": ") + pki::revocationText(status);
    if (const pki::RevocationStatus* revoked = pki::firstRevoked(chain)) {
        report.state = RevocationReport::State::Revoked;
        report.revokedWhat = QStringLiteral("certificado %1 revogado em %2 (motivo: %3; fonte: %4)")
                                 .arg(quoted(revoked->subject), instant(revoked->revokedAt),
                                      pki::revocationReasonText(revoked->reason), revoked->source);
        reasons << report.revokedWhat;
    } else if (pki::allGood(chain)) {
        report.state = RevocationReport::State::NotRevoked;
        report.checkedAt = chain.front().checkedAt;
    } else {
        QStringList why;
        for (const pki::RevocationStatus& status : chain)
            if (status.state == pki::RevocationState::Unknown) why << quoted(status.subject) + QStringLiteral(": ") + status.problem;
        report.why = chain.empty() ? QStringLiteral("a cadeia não tem emissor a consultar") : why.join(QStringLiteral("; "));
    }
    return report;
}

}  // namespace norvane::cms::verification
