#include "core/Environment.h"

namespace norvane {

bool isProducao(const QString& ambiente) { return ambiente == kProducao; }

QString environmentLabel(const QString& ambiente) {
    return isProducao(ambiente) ? QStringLiteral("Produção") : QStringLiteral("Homologação");
}

QString environmentBaseUrl(const QString& ambiente) {
    return isProducao(ambiente) ? QStringLiteral(NORVANE_URL_PRODUCAO) : QStringLiteral(NORVANE_URL_HOMOLOGACAO);
}

QString downloadBaseUrl() { return QStringLiteral(NORVANE_URL_DOWNLOAD); }

}  // namespace norvane
