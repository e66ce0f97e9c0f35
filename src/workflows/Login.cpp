// The login's rules that read the service's answer: its offices, their records and the
// context of the office chosen. No certificate and no window here (the fuzzing harness
// of the login answer builds this file alone).

#include "workflows/Login.h"

#include <QStringDecoder>

#include "core/unit_esfunctions.h"

namespace norvane {

QString formatCpf(const QString& cpf) {
    return cpf.mid(0, 3) + QLatin1Char('.') + cpf.mid(3, 3) + QLatin1Char('.') + cpf.mid(6, 3) + QLatin1Char('-') +
           cpf.mid(9, 2);
}

namespace {

QString officeName(const JsonValue& office) {
    return redecodeOfficeName(jsonText(office, QStringLiteral("nomeCartorio")));
}

QString captionOf(const Office& office) {
    return QStringLiteral("(") + office.numero + QStringLiteral(") ") + office.nome;
}

}  // namespace

std::vector<Office> officesOfAnswer(const JsonValue& answer) {
    // Copies, not references into the answer: a reference returned from a call with a
    // temporary argument is taken for a dangling one (GCC 14).
    const JsonValue root = jsonArray(answer, QStringLiteral("root"));
    std::vector<Office> offices;
    // A malformed office raises: the list of those read before it goes with it.
    if (root.size() == 1) {
        // A lone office is taken as it is: nothing chooses it, so its codCartorio is not read.
        const JsonValue& element = jsonAsObject(root[0]);
        Office office;
        office.codigoIBGE = jsonText(element, QStringLiteral("codigoIBGE"));
        office.numero = jsonText(element, QStringLiteral("numero"));
        office.codUsuario = jsonText(element, QStringLiteral("codUsuario"));
        office.nome = officeName(element);
        office.caption = captionOf(office);
        offices.push_back(std::move(office));
        return offices;
    }
    offices.reserve(root.size());
    for (const JsonValue& value : root) {
        const JsonValue& element = jsonAsObject(value);
        Office office;
        office.numero = jsonText(element, QStringLiteral("numero"));
        office.nome = officeName(element);
        office.codCartorio = jsonInteger(element, QStringLiteral("codCartorio"));
        office.codigoIBGE = jsonText(element, QStringLiteral("codigoIBGE"));
        office.codUsuario = jsonText(element, QStringLiteral("codUsuario"));
        office.caption = captionOf(office);
        offices.push_back(std::move(office));
    }
    return offices;
}

LoginContext contextForOffice(const LoginContext& login, const Office& office) {
    LoginContext context = login;
    context.cd_ibge = office.codigoIBGE;
    context.nr_cartorio = office.numero;
    context.cd_usuario = office.codUsuario;
    context.nm_cartorio = office.nome;
    return context;
}

QString redecodeOfficeName(const QString& name) {
    QByteArray bytes;
    bytes.reserve(name.size());
    for (const QChar c : name) {
        if (c.unicode() > 0xFF) return name;
        bytes.append(char(c.unicode()));
    }
    // A byte-order mark at the head is one of the name's characters, not a mark to skip.
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    const QString decoded = utf8.decode(bytes);
    return utf8.hasError() ? name : decoded;
}

namespace {
QString escapeField(QString field) {
    return field.replace(QLatin1Char('%'), QStringLiteral("%25")).replace(QLatin1Char('|'), QStringLiteral("%7C"));
}
QString unescapeField(QString field) {
    return field.replace(QStringLiteral("%7C"), QStringLiteral("|"))
        .replace(QStringLiteral("%25"), QStringLiteral("%"));
}
}  // namespace

QString joinOfficeRecord(const QStringList& fields) {
    QStringList escaped;
    for (const QString& field : fields) escaped.append(escapeField(field));
    return escaped.join(QLatin1Char('|'));
}

QStringList splitOfficeRecord(const QString& record) {
    QStringList fields;
    for (const QString& piece : SplitByChar(QStringLiteral("|"), record)) fields.append(unescapeField(piece));
    while (fields.size() < 5) fields.append(QString());
    return fields;
}

// The record holds what the context takes from the office; the CPF is not among it: the
// context keeps the one of the certificate that logged in.
QString officeRecord(const Office& office) {
    return joinOfficeRecord({office.codigoIBGE, office.numero, office.codUsuario, office.nome});
}

LoginContext contextForRecord(const LoginContext& login, const QString& record) {
    const QStringList fields = splitOfficeRecord(record);
    Office office;
    office.codigoIBGE = fields[0];
    office.numero = fields[1];
    office.codUsuario = fields[2];
    office.nome = fields[3];
    return contextForOffice(login, office);
}

}  // namespace norvane
