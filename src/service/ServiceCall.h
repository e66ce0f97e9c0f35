#pragma once
// The one way the program talks to the service: a form POST with Basic authentication
// to the environment's base URL, whose answer is prepared for JSON parsing.

#include <QString>

#include "service/Answer.h"
#include "service/Form.h"
#include "service/HttpClient.h"
#include "service/Json.h"

namespace norvane {

// The five services (the value of the field "servico").
inline const QString kAssinadorVersao = QStringLiteral("assinadorVersao");
inline const QString kLogin = QStringLiteral("login");
inline const QString kInstrumentoDeProtesto = QStringLiteral("instrumentoDeProtesto");
inline const QString kDigitacaoManual = QStringLiteral("instrumentoDeProtestoDigitacaoManual");
inline const QString kDigitacaoManualAtt = QStringLiteral("instrumentoDeProtestoDigitacaoManualAtt");

// The wrapping rule of a service: login R, the manual consultation N, the others A.
Wrapping wrappingOf(const QString& servico);

// Makes the call and returns the prepared answer. The transfer runs off the GUI thread
// while the caller waits in a local event loop, so the window keeps painting; quitting
// the application aborts it. Errors (connection, transfer, HTTP status) are raised.
QString serviceCall(HttpClient& client, const QString& ambiente, const QString& baseUrl, Wrapping wrapping,
                    const FieldList& fields);

// The same, with the wrapping rule of the service named in the field "servico".
QString serviceCall(HttpClient& client, const QString& ambiente, const QString& baseUrl, const FieldList& fields);

// The call's answer prepared and parsed, as jsonParse(serviceCall(...)) gives it, within the
// bound of `size`. An answer of rule N that is UTF-8 as received is parsed from the
// received bytes: no decoded copy of a large answer is made.
std::optional<JsonValue> serviceCallParsed(HttpClient& client, const QString& ambiente, const QString& baseUrl,
                                           const FieldList& fields, AnswerSize size);

}  // namespace norvane
