#pragma once
// The two service environments. Every test of the code compares with "P": any other
// code counts as homologation.

#include <QString>

namespace norvane {

inline const QString kProducao = QStringLiteral("P");
inline const QString kHomologacao = QStringLiteral("H");

bool isProducao(const QString& ambiente);
// "Produção" or "Homologação".
QString environmentLabel(const QString& ambiente);
// Base URL of the service API, ending in "/".
QString environmentBaseUrl(const QString& ambiente);
// Base URL of the installer download, ending in "/files/".
QString downloadBaseUrl();

}  // namespace norvane
