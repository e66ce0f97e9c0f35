#pragma once
// The identity values of an ICP-Brasil certificate as OpenSSL decodes its extensions: the
// holder's CPF (or the company marker) from the other-names of the subject alternative
// names, and the certificate's policy. The identity checks read the same values from the
// extensions' text; the two readings must agree, or the certificate is refused with an
// error (ErrorKind::IdentityUnreadable). Pure functions: no platform, no window.

#include <QString>
#include <functional>
#include <openssl/types.h>

namespace norvane {

// The text of an other-name value: the characters of an ASN.1 string of any string type (an
// OCTET STRING gives one character per byte, as the extension text does), whatever valid
// BER or DER form its tag and length take (long-form or indefinite lengths, a constructed
// string in pieces): OpenSSL's decoding has already made it one value. Raises when the value
// is not a string, or its bytes are not text of its type.
QString otherNameText(const ASN1_TYPE* value);

// The holder's CPF from the person data of an e-CPF (other-name 2.16.76.1.3.1: birth date in
// characters 1-8 of the value's text, CPF in 9-19; fewer characters when the value is
// shorter); "0" for a company certificate (other-name 2.16.76.1.3.3); the last of these over
// all of the certificate's subject-alternative-name extensions wins; empty when there is
// neither. Raises when such an extension does not decode whole, or a person-data value is
// not a text.
QString decodedCpf(const X509* certificate);

// The identifier of the last policy of the last certificate-policies extension; empty when
// there is none. Raises when such an extension does not decode whole.
QString decodedPolicyType(const X509* certificate);

// An identity check: `textRule` reads the value from the extensions' text into its argument
// (and may raise). `result` becomes that value when OpenSSL's decoding gives the same; a
// difference raises IdentityUnreadable naming both readings, with `result` empty. When the
// text rule raised, its error is raised again, with `result` holding what it had read if
// that agrees with the decoding, else empty. Without a certificate, the text rule's error.
void checkCpf(const X509* certificate, const std::function<void(QString&)>& textRule, QString& result);
void checkPolicyType(const X509* certificate, const std::function<void(QString&)>& textRule, QString& result);

// The identity as the login reads it from a certificate alone: the extensions' text read by
// the login's rules, checked against OpenSSL's decoding. `problem` holds the first error's
// message (the values then hold what could be read with certainty).
struct CertificateIdentity {
    QString policy, cpf, problem;
};
CertificateIdentity readCertificateIdentity(X509* certificate);

}  // namespace norvane
