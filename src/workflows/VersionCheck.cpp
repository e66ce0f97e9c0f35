#include "workflows/VersionCheck.h"

#include "service/ServiceCall.h"

namespace norvane {

std::optional<QString> otherServiceVersion(HttpClient& client, const QString& ambiente, const QString& baseUrl,
                                           const QString& running) {
    FieldList fields;
    fields.set(QStringLiteral("servico"), kAssinadorVersao);
    const auto answer = parseAnswerObject(serviceCall(client, ambiente, baseUrl, Wrapping::A, fields));
    if (!answer) return std::nullopt;
    // Copies, not references into the answer (see officesOfAnswer).
    const JsonValue roots = jsonArray(*answer, QStringLiteral("root"));
    for (const JsonValue& element : roots) {
        const JsonValue dados = jsonObject(jsonAsObject(element), QStringLiteral("dados"));
        const QString versao = jsonText(dados, QStringLiteral("nm_nr_versao"));
        if (versao != running) return versao;
    }
    return std::nullopt;
}

}  // namespace norvane
