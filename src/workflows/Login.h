#pragma once
// Login with a certificate, without a window: the certificate's pick and checks, the key
// test, the call of the login service and the offices of its answer, each given back as a
// value. The login window shows the offices and hands the context of the chosen one to
// the main window.

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

#include "core/LoginContext.h"
#include "service/Json.h"

namespace norvane {

class HttpClient;
class SigningSession;

// One notary office of the login answer.
struct Office {
    qint64 codCartorio = 0;  // read only when the answer lists several offices (0 otherwise)
    QString numero;
    QString nome;  // nomeCartorio, re-decoded (redecodeOfficeName)
    QString codigoIBGE;
    QString codUsuario;
    QString caption;  // "(" + numero + ") " + nome: the office as the list names it
};

// A login that got as far as the service's offices.
struct LoginResult {
    // The certificate picked, its CPF (ddd.ddd.ddd-dd) and the environment; no office yet.
    LoginContext context;
    // One or more, in the answer's order.
    std::vector<Office> offices;
};

// The environment of a login: its code ("P" or "H") and its service base URL.
struct LoginEnvironment {
    QString ambiente;
    QString baseUrl;
};

// The login with a certificate: the pick (recorded by `signing` in `pick`, the context it
// was made with), the type and CPF checks, the key test (a signature of "login"), the
// login service's call for the CPF and the offices of its answer. Nothing when the login
// stopped: a refusal or an answer without offices after its box ("Login somente com e-CPF
// A3!", "Login somente com e-CPF válido!", "Usuário não encontrado!"), a failed key test
// after the signing's own box, an answer that is not JSON without one. Errors of the call
// and of a malformed answer are raised; then nothing of the answer is given back.
std::optional<LoginResult> loginWithCertificate(SigningSession& signing, const LoginContext& pick, HttpClient& client,
                                                const LoginEnvironment& environment);

// The CPF as the service knows it: characters 1-3, ".", 4-6, ".", 7-9, "-", 10-11, each
// cut from what is there.
QString formatCpf(const QString& cpf);

// The offices of a prepared login answer (an object whose "root" is an array), in order.
// Taken whole or not at all: an office with a member missing or of the wrong kind raises
// JsonError, and no office of that answer is given back.
std::vector<Office> officesOfAnswer(const JsonValue& answer);

// The login's context completed with the office: its IBGE code, number, the user's code
// at the service and its name. The CPF stays the one of the login's certificate.
LoginContext contextForOffice(const LoginContext& login, const Office& office);

// The office name of a login answer, re-decoded: each character turned back into the
// byte it came from (the answer was decoded one byte one character when it named no
// charset) and those bytes decoded as UTF-8, every character kept (a leading U+FEFF
// too). A character beyond one byte (the answer named a charset), or bytes that are not
// UTF-8, keep the name as it is.
QString redecodeOfficeName(const QString& name);

// The login window's list of offices holds each office under its codCartorio as a record
// of text fields, kept apart whatever they hold ("|" included).
QString joinOfficeRecord(const QStringList& fields);
QStringList splitOfficeRecord(const QString& record);
// The record of an office and the context for the office of a record.
QString officeRecord(const Office& office);
LoginContext contextForRecord(const LoginContext& login, const QString& record);

}  // namespace norvane
