#include "service/Json.h"

#include <QRegularExpression>

namespace norvane {

namespace {

// Numbers that are not plain integers are kept as their text (a binary value with this
// subtype), so that they read back as written.
constexpr std::uint64_t kNumberText = 0x4E;

using DomParser = nlohmann::detail::json_sax_dom_parser<JsonValue>;

class Parser : public DomParser {
public:
    explicit Parser(JsonValue& root) : DomParser(root, false) {}

    bool number_float(JsonValue::number_float_t, const JsonValue::string_t& text) {
        JsonValue::binary_t bytes(std::vector<std::uint8_t>(text.begin(), text.end()), kNumberText);
        return DomParser::binary(bytes);
    }
    // Binary values do not occur in JSON text; the base class keeps them as they are.
};

bool isNumberText(const JsonValue& value) {
    return value.is_binary() && value.get_binary().has_subtype() && value.get_binary().subtype() == kNumberText;
}

QString numberText(const JsonValue& value) {
    const auto& bytes = value.get_binary();
    return QString::fromLatin1(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

[[noreturn]] void conversionError(const JsonValue& value, const char* target) {
    throw JsonError(QStringLiteral("Conversion from %1 to %2 is not supported")
                        .arg(jsonKind(value), QString::fromLatin1(target))
                        .toStdString());
}

const JsonValue& required(const JsonValue& object, const QString& name) {
    const JsonValue* value = jsonMember(object, name);
    if (!value) throw JsonError(QStringLiteral("Value '%1' not found").arg(name).toStdString());
    return *value;
}

bool parseInteger(const QString& text, qint64& result) {
    static const QRegularExpression integer(QStringLiteral("^-?[0-9]+$"));
    if (!integer.match(text).hasMatch()) return false;
    bool ok = false;
    result = text.toLongLong(&ok);
    return ok;
}

}  // namespace

std::optional<JsonValue> jsonParse(const QString& text) {
    const std::string utf8 = text.toStdString();
    JsonValue root;
    Parser parser(root);
    const bool ok = JsonValue::sax_parse(utf8, &parser, nlohmann::detail::input_format_t::json, true, false);
    if (!ok || parser.is_errored()) return std::nullopt;
    return root;
}

std::optional<JsonValue> parseAnswerObject(const QString& text) {
    std::optional<JsonValue> value = jsonParse(text);
    if (value && !value->is_object()) conversionError(*value, "object");
    return value;
}

QString jsonKind(const JsonValue& value) {
    if (isNumberText(value) || value.is_number()) return QStringLiteral("number");
    switch (value.type()) {
        case JsonValue::value_t::object:
            return QStringLiteral("object");
        case JsonValue::value_t::array:
            return QStringLiteral("array");
        case JsonValue::value_t::string:
            return QStringLiteral("string");
        case JsonValue::value_t::boolean:
            return QStringLiteral("boolean");
        case JsonValue::value_t::null:
            return QStringLiteral("null");
        default:
            return QStringLiteral("value");
    }
}

const JsonValue* jsonMember(const JsonValue& object, const QString& name) {
    if (!object.is_object()) return nullptr;
    const auto found = object.find(name.toStdString());
    return found == object.end() ? nullptr : &*found;
}

QString jsonText(const JsonValue& object, const QString& name) { return jsonAsText(required(object, name)); }
const JsonValue& jsonArray(const JsonValue& object, const QString& name) { return jsonAsArray(required(object, name)); }
const JsonValue& jsonObject(const JsonValue& object, const QString& name) {
    return jsonAsObject(required(object, name));
}
qint64 jsonInteger(const JsonValue& object, const QString& name) { return jsonAsInteger(required(object, name)); }

QString jsonAsText(const JsonValue& value) {
    if (isNumberText(value)) return numberText(value);
    switch (value.type()) {
        case JsonValue::value_t::string:
            return QString::fromStdString(value.get_ref<const JsonValue::string_t&>());
        case JsonValue::value_t::number_integer:
            return QString::number(value.get<qint64>());
        case JsonValue::value_t::number_unsigned:
            return QString::number(value.get<quint64>());
        case JsonValue::value_t::null:
            return QString();
        case JsonValue::value_t::boolean:
            return value.get<bool>() ? QStringLiteral("true") : QStringLiteral("false");
        default:
            conversionError(value, "string");
    }
}

const JsonValue& jsonAsArray(const JsonValue& value) {
    if (!value.is_array()) conversionError(value, "array");
    return value;
}

const JsonValue& jsonAsObject(const JsonValue& value) {
    if (!value.is_object()) conversionError(value, "object");
    return value;
}

qint64 jsonAsInteger(const JsonValue& value) {
    qint64 result = 0;
    if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<qint64>();
    if (value.is_number_unsigned() && value.get<quint64>() <= quint64(std::numeric_limits<qint64>::max()))
        return static_cast<qint64>(value.get<quint64>());
    if (value.is_string() && parseInteger(QString::fromStdString(value.get<std::string>()), result)) return result;
    conversionError(value, "integer");
}

}  // namespace norvane
