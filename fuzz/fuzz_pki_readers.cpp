// The readers of what the network brings for a chain: issuer certificates (DER, PEM, a
// certs-only PKCS#7), LCRs and OCSP answers. First byte: 0 certificates, 1 LCR, 2 OCSP; the
// rest is the input. What is read re-encodes and reads back the same; a DER input is read
// exactly when OpenSSL's own decoder takes it.
#include <openssl/ocsp.h>
#include <openssl/x509.h>

#include <QByteArray>

#include "FuzzCheck.h"
#include "certs/pki/PkiReaders.h"

using namespace norvane;

namespace {

template <typename T, int (*Encode)(const T*, unsigned char**)>
QByteArray encoded(const T* value) {
    unsigned char* der = nullptr;
    const int n = Encode(value, &der);
    QByteArray bytes(reinterpret_cast<const char*>(der), n > 0 ? n : 0);
    OPENSSL_free(der);
    return bytes;
}

void certificates(const QByteArray& input) {
    const auto read = pki::readCertificates(input);
    FUZZ_CHECK(read.size() <= size_t(pki::kMaxCertificatesRead), "more certificates than the bound");
    for (const auto& certificate : read) {
        FUZZ_CHECK(certificate != nullptr, "a null certificate in the list");
        const QByteArray der = encoded<X509, i2d_X509>(certificate.get());
        FUZZ_CHECK(!der.isEmpty(), "a certificate read does not encode");
        const auto again = pki::readCertificates(der);
        FUZZ_CHECK(again.size() == 1 && X509_cmp(again.front().get(), certificate.get()) == 0,
                   "a certificate's own DER does not read back the same");
    }
}

void list(const QByteArray& input) {
    const auto crl = pki::readCrl(input.constData(), input.size());
    if (!input.contains("-----BEGIN ")) {
        const auto* p = reinterpret_cast<const unsigned char*>(input.constData());
        X509_CRL* theirs = d2i_X509_CRL(nullptr, &p, long(input.size()));
        FUZZ_CHECK((theirs != nullptr) == (crl != nullptr), "an LCR read differently from OpenSSL's decoder");
        X509_CRL_free(theirs);
    }
    if (!crl) return;
    const QByteArray der = encoded<X509_CRL, i2d_X509_CRL>(crl.get());
    FUZZ_CHECK(!der.isEmpty(), "an LCR read does not encode");
    FUZZ_CHECK(pki::readCrl(der.constData(), der.size()) != nullptr, "an LCR's own DER does not read back");
}

void answer(const QByteArray& input) {
    const auto response = pki::readOcspResponse(input);
    const auto* p = reinterpret_cast<const unsigned char*>(input.constData());
    OCSP_RESPONSE* theirs = input.isEmpty() ? nullptr : d2i_OCSP_RESPONSE(nullptr, &p, long(input.size()));
    FUZZ_CHECK((theirs != nullptr) == (response != nullptr), "an OCSP answer read differently from OpenSSL's decoder");
    OCSP_RESPONSE_free(theirs);
    if (!response) return;
    OCSP_BASICRESP* basic = OCSP_response_get1_basic(response.get());
    FUZZ_CHECK(basic == nullptr || OCSP_response_status(response.get()) >= 0, "a basic answer with no status");
    OCSP_BASICRESP_free(basic);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const QByteArray input(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    switch (data[0] % 3) {
        case 0: certificates(input); break;
        case 1: list(input); break;
        default: answer(input); break;
    }
    return 0;
}
