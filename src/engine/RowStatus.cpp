#include "engine/RowStatus.h"

namespace norvane {

QString statusText(RowStatus status) {
    switch (status) {
        case RowStatus::Waiting: return QString();
        case RowStatus::Signing: return QStringLiteral("Assinando");
        case RowStatus::Signed: return QStringLiteral("Assinado");
        case RowStatus::Sent: return QStringLiteral("Enviado");
        case RowStatus::Error: return QStringLiteral("Erro");
    }
    return QString();
}

}  // namespace norvane
