#pragma once
// Strict JSON parsing of prepared answers and the look-ups that callers make on them.
// A number keeps its text as written in the answer.

#include <QByteArrayView>
#include <QString>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include "core/Error.h"

namespace norvane {

using JsonValue = nlohmann::json;

// A look-up that misses, or a value of another kind than asked.
class JsonError : public Error {
public:
    explicit JsonError(const std::string& message) : Error(ErrorKind::ServiceError, QString::fromStdString(message)) {}
};

// Strict standard JSON; an invalid text gives no value (not an error). A number too
// large for a double (1e400) is JSON like any other, and keeps its text.
std::optional<JsonValue> jsonParse(const QString& text);
// The same of UTF-8 bytes, read where they are.
std::optional<JsonValue> jsonParseUtf8(QByteArrayView utf8);

// A prepared answer: invalid JSON gives no value; valid JSON that is not an object
// is an error.
std::optional<JsonValue> parseAnswerObject(const QString& text);
std::optional<JsonValue> parseAnswerObjectUtf8(QByteArrayView utf8);

// "object", "array", "string", "number", "boolean" or "null".
QString jsonKind(const JsonValue& value);

// Member by name; nullptr when the object has none (or the value is no object).
const JsonValue* jsonMember(const JsonValue& object, const QString& name);

// Members by name: absent gives "Value '<name>' not found"; another kind gives
// "Conversion from <kind> to <kind> is not supported".
QString jsonText(const JsonValue& object, const QString& name);
const JsonValue& jsonArray(const JsonValue& object, const QString& name);
const JsonValue& jsonObject(const JsonValue& object, const QString& name);
qint64 jsonInteger(const JsonValue& object, const QString& name);

// The same conversions of a value itself (an array's element, for instance).
// Text: a string as it is, a number as written, null as the empty text, a boolean as
// "true"/"false". Integer: an integer number, or a string holding an integer's text.
QString jsonAsText(const JsonValue& value);
const JsonValue& jsonAsArray(const JsonValue& value);
const JsonValue& jsonAsObject(const JsonValue& value);
qint64 jsonAsInteger(const JsonValue& value);

}  // namespace norvane
