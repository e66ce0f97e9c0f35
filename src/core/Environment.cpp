#include "core/Environment.h"

#ifndef NORVANE_CALL_DEADLINE_S
#define NORVANE_CALL_DEADLINE_S 600
#endif

namespace norvane {

bool isProducao(const QString& ambiente) { return ambiente == kProducao; }

QString environmentLabel(const QString& ambiente) {
    return isProducao(ambiente) ? QStringLiteral("Produção") : QStringLiteral("Homologação");
}

QString environmentBaseUrl(const QString& ambiente) {
    return isProducao(ambiente) ? QStringLiteral(NORVANE_URL_PRODUCAO) : QStringLiteral(NORVANE_URL_HOMOLOGACAO);
}

QString downloadBaseUrl() { return QStringLiteral(NORVANE_URL_DOWNLOAD); }

qint64 serviceCallDeadlineMs() { return qint64(NORVANE_CALL_DEADLINE_S) * 1000; }

}  // namespace norvane
