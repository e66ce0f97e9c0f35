#include "service/Json.h"

#include <QRegularExpression>
#include <QStringDecoder>
#include <charconv>
#include <cstring>
#include <string>
#include <vector>

namespace norvane {

namespace {

// Numbers whose text is not the plain decimal of an integer (fractions, exponents,
// "-0", integers too large) are kept as their text (a binary value with this subtype),
// so that they read back as written.
constexpr std::uint64_t kNumberText = 0x4E;

struct NumberToken {
    size_t at;
    std::string text;
};

// The text of every number of a JSON text, in order, with its place. In valid JSON only
// numbers hold "-" or digits outside strings.
std::vector<NumberToken> numberTokens(std::string_view text) {
    std::vector<NumberToken> tokens;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            size_t j = i;
            while (j < text.size() && std::strchr("0123456789+-.eE", text[j]) && text[j] != '\0') ++j;
            tokens.push_back({i, std::string(text.substr(i, j - i))});
            i = j - 1;
        }
    }
    return tokens;
}

// True when the text is one number as JSON writes them.
bool jsonNumberForm(const std::string& text) {
    static const QRegularExpression form(
        QRegularExpression::anchoredPattern(QStringLiteral("-?(0|[1-9][0-9]*)(\\.[0-9]+)?([eE][+-]?[0-9]+)?")));
    return form.match(QString::fromLatin1(text.data(), qsizetype(text.size()))).hasMatch();
}

// The parser refuses a number beyond a double's range ("number overflow"), though it is
// JSON. Such a number is parsed as 0 and read back as its text (the Builder holds it):
// the copy of the text is made only when one is there.
std::optional<std::string> withoutOverflow(std::string_view text, const std::vector<NumberToken>& numbers) {
    std::optional<std::string> changed;
    for (auto it = numbers.rbegin(); it != numbers.rend(); ++it) {
        double value = 0;
        const char* end = it->text.data() + it->text.size();
        if (std::from_chars(it->text.data(), end, value).ec != std::errc::result_out_of_range ||
            !jsonNumberForm(it->text))
            continue;
        if (!changed) changed.emplace(text);
        changed->replace(it->at, it->text.size(), 1, '0');
    }
    return changed;
}

// Builds the value from the parser's events, with the numbers' texts at hand.
class Builder : public nlohmann::json_sax<JsonValue> {
public:
    Builder(JsonValue& root, const std::vector<NumberToken>& numbers) : root_(root), numbers_(numbers) {}

    bool null() override { return put(nullptr); }
    bool boolean(bool value) override { return put(value); }
    bool number_integer(number_integer_t value) override { return integer(value); }
    bool number_unsigned(number_unsigned_t value) override { return integer(value); }
    bool number_float(number_float_t, const string_t& text) override {
        nextNumber();
        return putText(text);
    }
    bool string(string_t& value) override { return put(std::move(value)); }
    bool binary(binary_t& value) override { return put(JsonValue::binary(std::move(value))); }
    bool start_object(std::size_t) override { return open(JsonValue::object()); }
    bool key(string_t& name) override {
        key_ = std::move(name);
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(JsonValue::array()); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::json::exception&) override { return false; }

private:
    template <class T>
    bool integer(T value) {
        const std::string text = nextNumber();
        return text.empty() || text == std::to_string(value) ? put(value) : putText(text);
    }
    std::string nextNumber() { return next_ < numbers_.size() ? numbers_[next_++].text : std::string(); }
    bool putText(const std::string& text) {
        return put(JsonValue::binary(std::vector<std::uint8_t>(text.begin(), text.end()), kNumberText));
    }
    JsonValue* place(JsonValue value) {
        if (stack_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        JsonValue& top = *stack_.back();
        if (top.is_array()) {
            top.push_back(std::move(value));
            return &top.back();
        }
        JsonValue& slot = top[key_];
        slot = std::move(value);
        return &slot;
    }
    bool put(JsonValue value) {
        place(std::move(value));
        return true;
    }
    bool open(JsonValue container) {
        stack_.push_back(place(std::move(container)));
        return true;
    }
    bool close() {
        stack_.pop_back();
        return true;
    }

    JsonValue& root_;
    const std::vector<NumberToken>& numbers_;
    size_t next_ = 0;
    std::vector<JsonValue*> stack_;
    std::string key_;
};

// UTF-8 to text; a leading U+FEFF is a character of the string, not a mark.
QString fromUtf8(const std::string& utf8) {
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    return decoder.decode(QByteArrayView(utf8.data(), qsizetype(utf8.size())));
}

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
    static const QRegularExpression integer(QRegularExpression::anchoredPattern(QStringLiteral("-?[0-9]+")));
    if (!integer.match(text).hasMatch()) return false;
    bool ok = false;
    result = text.toLongLong(&ok);
    return ok;
}

}  // namespace

std::optional<JsonValue> jsonParseUtf8(QByteArrayView bytes) {
    const std::string_view utf8(bytes.data(), size_t(bytes.size()));
    // A raw U+0000 is never JSON; the parser would take it for the end of the text.
    if (utf8.find('\0') != std::string_view::npos) return std::nullopt;
    const std::vector<NumberToken> numbers = numberTokens(utf8);
    const std::optional<std::string> changed = withoutOverflow(utf8, numbers);
    const std::string_view parsed = changed ? std::string_view(*changed) : utf8;
    JsonValue root;
    Builder builder(root, numbers);
    if (!JsonValue::sax_parse(parsed.begin(), parsed.end(), &builder)) return std::nullopt;
    return root;
}

std::optional<JsonValue> jsonParse(const QString& text) { return jsonParseUtf8(text.toUtf8()); }

std::optional<JsonValue> parseAnswerObjectUtf8(QByteArrayView utf8) {
    std::optional<JsonValue> value = jsonParseUtf8(utf8);
    if (value && !value->is_object()) conversionError(*value, "object");
    return value;
}

std::optional<JsonValue> parseAnswerObject(const QString& text) { return parseAnswerObjectUtf8(text.toUtf8()); }

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
            return fromUtf8(value.get_ref<const JsonValue::string_t&>());
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
    if (value.is_string() && parseInteger(fromUtf8(value.get<std::string>()), result)) return result;
    if (isNumberText(value) && parseInteger(numberText(value), result)) return result;  // "-0"
    conversionError(value, "integer");
}

}  // namespace norvane
