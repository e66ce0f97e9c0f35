// Strict JSON and every look-up the callers make. Strictness against nlohmann's own
// accept() (a number beyond a double's range taken as JSON); numbers read as text give
// their text as written.
#include <QRegularExpression>
#include <functional>
#include <optional>
#include <utility>

#include "FuzzCheck.h"
#include "service/Json.h"

using namespace norvane;

namespace {

const char* const kNames[] = {"root", "dados", "nm_nr_versao", "codigoIBGE", "numero", "codUsuario", "nomeCartorio",
                              "codCartorio", "cd_titulo_instrumento_protesto", "nm_chave",
                              "ds_instrumento_protesto_pdf_b64"};

void ignoringLookupErrors(const std::function<void()>& lookup) {
    try {
        lookup();
    } catch (const JsonError&) {
    }
}

void walk(const JsonValue& value, int depth) {
    if (depth > 64) return;
    ignoringLookupErrors([&] { jsonAsText(value); });
    ignoringLookupErrors([&] {
        const qint64 n = jsonAsInteger(value);
        if (value.is_string()) {
            static const QRegularExpression integer(QRegularExpression::anchoredPattern("-?[0-9]+"));
            const QString s = jsonAsText(value);
            FUZZ_CHECK(integer.match(s).hasMatch(), "a string that is no integer's text read as integer");
            FUZZ_CHECK(s.toLongLong() == n, "integer of a string");
        }
    });
    ignoringLookupErrors([&] { jsonAsArray(value); });
    ignoringLookupErrors([&] { jsonAsObject(value); });
    for (const char* name : kNames) {
        const QString n = QString::fromLatin1(name);
        jsonMember(value, n);
        ignoringLookupErrors([&] { jsonText(value, n); });
        ignoringLookupErrors([&] { jsonArray(value, n); });
        ignoringLookupErrors([&] { jsonObject(value, n); });
        ignoringLookupErrors([&] { jsonInteger(value, n); });
    }
    if (value.is_array() || value.is_object())
        for (const JsonValue& element : value) walk(element, depth + 1);
}

// nlohmann's acceptance, except that a number beyond a double's range (its error 406) is
// JSON all the same: it stands as 0 and the text is checked again.
class Acceptor : public nlohmann::json_sax<nlohmann::json> {
public:
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t position, const std::string& token, const nlohmann::json::exception& error) override {
        overflow = error.id == 406 ? std::optional(std::pair(position, token)) : std::nullopt;
        return false;
    }
    std::optional<std::pair<std::size_t, std::string>> overflow;
};

bool referenceAccepts(std::string text) {
    // nlohmann takes a raw U+0000 for the end of the text; JSON has no place for one.
    if (text.find('\0') != std::string::npos) return false;
    while (true) {
        Acceptor acceptor;
        if (nlohmann::json::sax_parse(text, &acceptor)) return true;
        if (!acceptor.overflow) return false;
        const auto& [end, token] = *acceptor.overflow;
        FUZZ_CHECK(end >= token.size() && text.compare(end - token.size(), token.size(), token) == 0,
                   "the overflowing number is not where nlohmann says");
        text.replace(end - token.size(), token.size(), "0 ");  // a blank: nothing after it joins the 0
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const std::string utf8 = text.toStdString();
    const auto value = jsonParse(text);
    const bool valid = referenceAccepts(utf8);
    FUZZ_CHECK(value.has_value() == valid, "strictness differs from nlohmann's accept");
    if (!value) return 0;
    if (jsonKind(*value) == "number") {
        // A lone number: its text as written, without the white space around it.
        const QString written = text.trimmed();
        FUZZ_CHECK(jsonAsText(*value) == written, "a number does not read back as written");
    }
    walk(*value, 0);
    try {
        parseAnswerObject(text);
        FUZZ_CHECK(value->is_object(), "no object accepted as answer");
    } catch (const JsonError&) {
        FUZZ_CHECK(!value->is_object(), "object refused as answer");
    }
    return 0;
}
