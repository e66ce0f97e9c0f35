// The offices of a login answer: any answer text, read as the login reads it (no charset:
// one byte one character; or UTF-8), prepared with the login's wrapping and parsed. The
// offices are taken whole or not at all, in the answer's order, each as its members say;
// the window's record of an office gives the same context as the office itself, and the
// context keeps the login's CPF.
#include <QByteArray>

#include "FuzzCheck.h"
#include "service/Answer.h"
#include "service/Json.h"
#include "workflows/Login.h"

using namespace norvane;

namespace {

const QString kCpf = QStringLiteral("111.222.333-44");

bool isText(const JsonValue* member) { return member && !member->is_object() && !member->is_array(); }

bool isInteger(const JsonValue* member) {
    if (!member) return false;
    try {
        jsonAsInteger(*member);
        return true;
    } catch (const JsonError&) {
        return false;
    }
}

// Whether the office at `element` can be read (the code only where several are listed).
bool wellFormed(const JsonValue& element, bool several) {
    if (!element.is_object()) return false;
    for (const char* name : {"codigoIBGE", "numero", "codUsuario", "nomeCartorio"})
        if (!isText(jsonMember(element, QString::fromLatin1(name)))) return false;
    return !several || isInteger(jsonMember(element, QStringLiteral("codCartorio")));
}

QStringList fieldsOf(const LoginContext& c) {
    return {c.Certificado_Nome,
            c.Certificado_Thumbprint,
            c.Certificado_SerialNumber,
            c.cd_ibge,
            c.nr_cartorio,
            c.cd_usuario,
            c.nm_nr_cpf,
            c.nm_cartorio,
            c.Ambiente,
            c.urlAPI};
}

void checkRedecoded(const QString& name, const QString& redecoded) {
    QByteArray bytes;
    for (const QChar c : name) {
        if (c.unicode() > 0xFF) {
            FUZZ_CHECK(redecoded == name, "a name beyond one byte per character changed");
            return;
        }
        bytes.append(char(c.unicode()));
    }
    // Either the bytes' UTF-8, every character kept (a leading U+FEFF too), or the name as it is.
    FUZZ_CHECK(redecoded == name || redecoded.toUtf8() == bytes, "a re-decoded name lost or changed characters");
}

void readAnswer(const QString& text) {
    std::optional<JsonValue> answer;
    try {
        answer = parseAnswerObject(prepareAnswer(text, QStringLiteral("P"), Wrapping::R));
    } catch (const JsonError&) {
        FUZZ_CHECK(false, "the login's wrapping gave no object");
    }
    if (!answer) return;

    const JsonValue* root = jsonMember(*answer, QStringLiteral("root"));
    FUZZ_CHECK(root, "the wrapping gave no root");
    bool expected = root->is_array();
    if (expected)
        for (const JsonValue& element : *root) expected = expected && wellFormed(element, root->size() > 1);

    std::vector<Office> offices;
    try {
        offices = officesOfAnswer(*answer);
    } catch (const JsonError&) {
        FUZZ_CHECK(!expected, "a well-formed answer refused");
        return;
    }
    FUZZ_CHECK(expected, "a malformed answer gave offices");
    FUZZ_CHECK(offices.size() == root->size(), "not every office of the answer");

    LoginContext login;
    login.Certificado_Nome = QStringLiteral("FULANO");
    login.nm_nr_cpf = kCpf;
    login.Ambiente = QStringLiteral("P");
    for (size_t i = 0; i < offices.size(); ++i) {
        const Office& office = offices[i];
        const JsonValue& element = (*root)[i];
        FUZZ_CHECK(office.numero == jsonText(element, QStringLiteral("numero")), "numero");
        FUZZ_CHECK(office.codigoIBGE == jsonText(element, QStringLiteral("codigoIBGE")), "codigoIBGE");
        FUZZ_CHECK(office.codUsuario == jsonText(element, QStringLiteral("codUsuario")), "codUsuario");
        const QString name = jsonText(element, QStringLiteral("nomeCartorio"));
        FUZZ_CHECK(office.nome == redecodeOfficeName(name), "nome");
        checkRedecoded(name, office.nome);
        FUZZ_CHECK(office.caption == "(" + office.numero + ") " + office.nome, "caption");
        FUZZ_CHECK(office.codCartorio ==
                       (offices.size() > 1 ? jsonInteger(element, QStringLiteral("codCartorio")) : qint64(0)),
                   "codCartorio");

        const LoginContext chosen = contextForOffice(login, office);
        FUZZ_CHECK(chosen.nm_nr_cpf == kCpf, "the context took another CPF");
        FUZZ_CHECK(fieldsOf(contextForRecord(login, officeRecord(office))) == fieldsOf(chosen),
                   "the office's record gives another context");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    readAnswer(latin1(data, size));
    readAnswer(QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size)));
    return 0;
}
