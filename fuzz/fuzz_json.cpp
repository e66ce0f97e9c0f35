// Strict JSON and every look-up the callers make. Strictness against nlohmann's own
// accept(); numbers read as text give their text as written.
#include <QRegularExpression>
#include <functional>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const std::string utf8 = text.toStdString();
    const auto value = jsonParse(text);
    // nlohmann takes a raw U+0000 for the end of the text; JSON has no place for one.
    const bool valid = nlohmann::json::accept(utf8) && utf8.find('\0') == std::string::npos;
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
