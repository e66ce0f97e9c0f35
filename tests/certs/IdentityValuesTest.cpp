// The identity values read from OpenSSL's decoding of a certificate, and the identity checks
// that must agree with it, on certificates whose other-names and policies are written in the
// valid BER and DER forms a CA could use, and in forms where the text and the decoding part.

#include <gtest/gtest.h>

#include <stdexcept>

#include "certs/CAPICOM_TLB.h"
#include "certs/SigningSession.h"
#include "certs/pki/IdentityValues.h"
#include "core/Error.h"
#include "support/BerEncodings.h"
#include "support/ScriptedDialogs.h"
#include "support/SignatureChecks.h"

using namespace norvane::test;
namespace ber = norvane::test::ber;

namespace {

constexpr const char* kPerson = "2.16.76.1.3.1";
constexpr const char* kCompany = "2.16.76.1.3.3";
// Birth date, CPF, NIS, RG, issuer of the RG: the longest person data (55 characters).
const QByteArray kPersonData = "15081985" "12345678909" "10987654321" "000000012345678" "SSPSP";

class IdentityValues : public ::testing::Test {
protected:
    CAPICOM_TLB::CertificatePtr certificate(const std::vector<QByteArray>& names,
                                            const std::vector<QByteArray>& policies = {}) {
        std::vector<std::pair<int, QByteArray>> extensions;
        if (!policies.empty()) extensions.emplace_back(NID_certificate_policies, ber::sequenceOf(policies));
        if (!names.empty()) extensions.emplace_back(NID_subject_alt_name, ber::sequenceOf(names));
        return std::make_shared<CAPICOM_TLB::ICertificate2>(ber::certificateWith(extensions, key.get()),
                                                            CAPICOM_TLB::TokenLocation{});
    }
    // The CPF check, and the boxes it showed.
    std::pair<QString, std::vector<QString>> cpf(const CAPICOM_TLB::CertificatePtr& cert) {
        dialogs.boxes.clear();
        const QString result = session.pegaExtensaoCPFCNPJCertificado(cert);
        return {result, dialogs.texts()};
    }
    std::pair<QString, std::vector<QString>> type(const CAPICOM_TLB::CertificatePtr& cert) {
        dialogs.boxes.clear();
        const QString result = session.verificaTipoCertificado(cert);
        return {result, dialogs.texts()};
    }

    std::shared_ptr<EVP_PKEY> key = ber::signingKey();
    ScriptedDialogs dialogs;
    norvane::LoginContext context;
    norvane::SigningSession session{context};
};

using Boxes = std::vector<QString>;

}  // namespace

TEST_F(IdentityValues, EveryValidEncodingOfThePersonDataGivesItsCpf) {
    struct Case {
        const char* what;
        ber::StringForm form;
        ber::WrapperForms wrappers;
    };
    const std::vector<Case> cases{
        {"OCTET STRING, DER", {0x04}, {}},
        {"PrintableString, DER", {0x13}, {}},
        {"UTF8String", {0x0C}, {}},
        {"IA5String", {0x16}, {}},
        {"VisibleString", {0x1A}, {}},
        {"T61String", {0x14}, {}},
        {"long-form length in one byte", {0x04, 1}, {}},
        {"long-form length in four bytes", {0x13, 4}, {}},
        {"constructed in three pieces", {0x04, 0, {3, 10}}, {}},
        {"constructed, indefinite length, long-form pieces", {0x13, ber::kIndefinite, {8, 11}, 2}, {}},
        {"indefinite wrappers", {0x04}, {ber::kIndefinite, ber::kIndefinite}},
        {"long-form wrappers", {0x04, 2}, {3, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto cert = certificate({ber::email("a@b.br"), ber::otherName(kPerson, ber::stringValue(kPersonData, c.form),
                                                                            c.wrappers)});
        EXPECT_EQ(norvane::decodedCpf(cert->x509()), "12345678909");
        EXPECT_EQ(cpf(cert), std::make_pair(QString("12345678909"), Boxes{}));
    }
    // Only digits fit a NumericString; shorter person data gives what it has after the birth date.
    EXPECT_EQ(cpf(certificate({ber::otherName(kPerson, ber::stringValue("1508198512345678909", {0x12, 1}))})),
              std::make_pair(QString("12345678909"), Boxes{}));
    EXPECT_EQ(cpf(certificate({ber::otherName(kPerson, ber::stringValue("1508198512345", {0x04, 0, {4}}))})),
              std::make_pair(QString("12345"), Boxes{}));
    EXPECT_EQ(cpf(certificate({ber::otherName(kPerson, ber::stringValue("15081985", {0x13}))})),
              std::make_pair(QString(), Boxes{}));
}

TEST_F(IdentityValues, CompanyMarkerAndTheLastNameWin) {
    const QByteArray person = ber::otherName(kPerson, ber::stringValue(kPersonData, {0x04, 1}));
    const QByteArray company = ber::otherName(kCompany, ber::stringValue("12345678000199", {0x13, ber::kIndefinite, {7}}));
    const QByteArray other = ber::otherName("2.16.76.1.3.4", ber::stringValue("0101199099988877766", {0x04}));
    EXPECT_EQ(cpf(certificate({person, company, other})), std::make_pair(QString("0"), Boxes{}));
    EXPECT_EQ(cpf(certificate({company, person, ber::dnsName("2.16.76.1.3.3.exemplo.br")})),
              std::make_pair(QString("12345678909"), Boxes{}));
    EXPECT_EQ(cpf(certificate({other, ber::email("a@b.br")})), std::make_pair(QString(), Boxes{}));
    EXPECT_EQ(cpf(certificate({})), std::make_pair(QString(), Boxes{}));
}

TEST_F(IdentityValues, PoliciesInEveryFormGiveTheLastIdentifier) {
    const auto cert = certificate(
        {}, {ber::policy("2.16.76.1.2.1.9", "http://exemplo.br/dpc", {ber::kIndefinite}),
             ber::policy("2.16.76.1.2.3.10", {}, {2})});
    EXPECT_EQ(norvane::decodedPolicyType(cert->x509()), "2.16.76.1.2.3.10");
    EXPECT_EQ(type(cert), std::make_pair(QString("2.16.76.1.2.3.10"), Boxes{}));
    EXPECT_EQ(type(certificate({ber::email("a@b.br")})), std::make_pair(QString(), Boxes{}));
}

// Where the extension text and the decoding part, or the decoding fails, the check says so
// in its box and gives nothing: the certificate is never taken for someone by one reading alone.
TEST_F(IdentityValues, ADisagreementOrAnUndecodableValueIsAnErrorNeverASilentPick) {
    const auto refused = [](const QString& read, const QString& decoded) {
        return QString("Erro 1A: O CPF do certificado não pôde ser lido com segurança: o texto da extensão dá \"%1\" e a "
                       "decodificação do valor dá \"%2\". O certificado não pode ser usado.")
            .arg(read, decoded);
    };
    // Two bytes a character: the text's bytes 11-21 are not the CPF.
    QByteArray bmp;
    for (const char c : kPersonData) bmp += QByteArray(1, '\0') + c;
    EXPECT_EQ(cpf(certificate({ber::otherName(kPerson, ber::stringValue(bmp, {0x1E}))})),
              std::make_pair(QString(), Boxes{refused("\\x001\\x009\\x008\\x005\\x001\\x00", "12345678909")}));
    // A value of 128 characters or more: DER writes its length in two bytes, and the text rule's
    // fixed position falls one character early.
    const QByteArray longData = kPersonData + QByteArray(80, 'A');
    EXPECT_EQ(cpf(certificate({ber::otherName(kPerson, ber::stringValue(longData, {0x04}))})),
              std::make_pair(QString(), Boxes{refused("51234567890", "12345678909")}));
    // Not a string at all.
    const auto [integer, integerBoxes] = cpf(certificate({ber::otherName(kPerson, ber::tlv(0x02, "\x01\x02"))}));
    EXPECT_EQ(integer, "");
    EXPECT_EQ(integerBoxes, Boxes{"Erro 1A: O valor dos dados do titular (2.16.76.1.3.1) no certificado não é um texto."});
    // Bytes after the end of the names: not what a CA writes.
    const auto cert = std::make_shared<CAPICOM_TLB::ICertificate2>(
        ber::certificateWith({{NID_subject_alt_name,
                               ber::sequenceOf({ber::otherName(kPerson, ber::stringValue(kPersonData, {0x04}))}) + "\x05"}},
                             key.get()),
        CAPICOM_TLB::TokenLocation{});
    EXPECT_EQ(cpf(cert), std::make_pair(QString(), Boxes{"Erro 1A: A extensão de nomes alternativos do certificado "
                                                         "(2.5.29.17) não pôde ser decodificada."}));
    const auto policies = std::make_shared<CAPICOM_TLB::ICertificate2>(
        ber::certificateWith({{NID_certificate_policies, ber::sequenceOf({ber::policy("2.16.76.1.2.3.1")}) + QByteArray(1, 0)}},
                             key.get()),
        CAPICOM_TLB::TokenLocation{});
    EXPECT_EQ(type(policies), std::make_pair(QString(), Boxes{"Erro 1C: A extensão de políticas do certificado "
                                                              "(2.5.29.32) não pôde ser decodificada."}));

    // The kind tells the caller, without its text, that the identity could not be read.
    QString result = "antes";
    try {
        norvane::checkCpf(certificate({ber::otherName(kPerson, ber::stringValue(longData, {0x04}))})->x509(),
                          [](QString& read) { read = "51234567890"; }, result);
        ADD_FAILURE() << "no error";
    } catch (const norvane::Error& error) {
        EXPECT_EQ(error.kind(), norvane::ErrorKind::IdentityUnreadable);
    }
    EXPECT_EQ(result, "");
    // An error of the text rule is raised again; what it had read stays only when the decoding agrees.
    const auto person = certificate({ber::otherName(kPerson, ber::stringValue(kPersonData, {0x04}))});
    const auto failing = [](const QString& held) {
        return [held](QString& read) {
            read = held;
            throw std::runtime_error("linha sem valor");
        };
    };
    EXPECT_THROW(norvane::checkCpf(person->x509(), failing("12345678909"), result), std::runtime_error);
    EXPECT_EQ(result, "12345678909");
    EXPECT_THROW(norvane::checkCpf(person->x509(), failing("99999999999"), result), std::runtime_error);
    EXPECT_EQ(result, "");
}
