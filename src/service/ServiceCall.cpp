#include "service/ServiceCall.h"

#include "core/Background.h"

namespace norvane {

Wrapping wrappingOf(const QString& servico) {
    if (servico == kLogin) return Wrapping::R;
    if (servico == kDigitacaoManual) return Wrapping::N;
    return Wrapping::A;
}

QString serviceCall(HttpClient& client, const QString& ambiente, const QString& baseUrl, Wrapping wrapping,
                    const FieldList& fields) {
    const QByteArray body = encodeForm(fields);
    // A failed call keeps its connection: the next call of the client goes out on it
    // when the server allowed keep-alive, or replaces it.
    const HttpAnswer answer = runInBackground([&] { return client.post(baseUrl, body); });
    const QString prepared = prepareAnswer(decodeAnswerBody(answer.body, answer.contentType), ambiente, wrapping);
    client.closeConnection();
    return prepared;
}

std::optional<JsonValue> serviceCallParsed(HttpClient& client, const QString& ambiente, const QString& baseUrl,
                                           const FieldList& fields, AnswerSize size) {
    const QByteArray body = encodeForm(fields);
    const Wrapping wrapping = wrappingOf(fields.value(QStringLiteral("servico")));
    const HttpAnswer answer = runInBackground([&] { return client.post(baseUrl, body, size); });
    client.closeConnection();
    if (wrapping == Wrapping::N)
        if (const auto utf8 = preparedUtf8(answer.body, answer.contentType, ambiente))
            return jsonParseUtf8(*utf8);
    return jsonParse(prepareAnswer(decodeAnswerBody(answer.body, answer.contentType), ambiente, wrapping));
}

QString serviceCall(HttpClient& client, const QString& ambiente, const QString& baseUrl, const FieldList& fields) {
    return serviceCall(client, ambiente, baseUrl, wrappingOf(fields.value(QStringLiteral("servico"))), fields);
}

}  // namespace norvane
