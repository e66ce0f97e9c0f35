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
// The longest a service call may take, whole (10 minutes; a build for tests may take less).
qint64 serviceCallDeadlineMs();

}  // namespace norvane
