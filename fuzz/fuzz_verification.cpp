// The check of a signature on any bytes, against OpenSSL's own verification of the same
// message. First byte: bit 0 set, a document follows the message, whose length the next two
// bytes give (big-endian); the message is the rest otherwise.
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>

#include <QByteArray>
#include <QString>
#include <memory>
#include <optional>

#include "FuzzCheck.h"
#include "certs/cms/Verification.h"
#include "certs/pki/PkiNetwork.h"

using namespace norvane;

namespace {

// OpenSSL's verdict on the signatures and digests alone (no chain): true when every signer
// verifies over the enclosed content, or over the document when one is given.
bool opensslSignaturesHold(const QByteArray& der, const std::optional<QByteArray>& document) {
    const auto* p = reinterpret_cast<const unsigned char*>(der.constData());
    std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
        d2i_CMS_ContentInfo(nullptr, &p, long(der.size())), CMS_ContentInfo_free);
    if (!cms) return false;
    std::unique_ptr<BIO, decltype(&BIO_free)> content(
        document ? BIO_new_mem_buf(document->constData(), int(document->size())) : nullptr, BIO_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> sink(BIO_new(BIO_s_null()), BIO_free);
    const bool ok = CMS_verify(cms.get(), nullptr, nullptr, content.get(), sink.get(),
                               CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY) == 1;
    ERR_clear_error();
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A certificate of the input may name AIA, OCSP or LCR addresses: nothing is fetched.
    static const bool offline = [] {
        pki::NetworkSettings settings;
        settings.enabled = false;
        pki::setNetworkSettings(settings);
        qputenv("XDG_CACHE_HOME", "/tmp/norvane-fuzz-cache");
        return true;
    }();
    (void)offline;
    if (size < 3) return 0;
    const bool withDocument = data[0] & 1;
    const QByteArray rest(reinterpret_cast<const char*>(data + 3), qsizetype(size - 3));
    const qsizetype length = qsizetype(data[1]) << 8 | data[2];
    const QByteArray signature = withDocument ? rest.left(length) : rest;
    std::optional<QByteArray> document;
    if (withDocument) document = rest.mid(std::min(length, rest.size()));

    const cms::VerificationResult result = cms::verifySignatureBytes(signature, document);
    const QString text = cms::verificationText(result);
    FUZZ_CHECK(text.section('\n', 0, 0) == cms::verdictLine(result), "the verdict is not the first line");
    FUZZ_CHECK(result.reasons.isEmpty() == (result.verdict == cms::Verdict::Valid), "reasons and verdict disagree");
    FUZZ_CHECK(text.endsWith(QStringLiteral("\n")), "text not ended by a line break");

    // What we found of the signatures and digests agrees with OpenSSL's own check.
    bool oursHold = !result.signers.empty() && (!result.detached || document);
    for (const cms::SignerReport& signer : result.signers)
        oursHold = oursHold && signer.signatureValid == true && signer.digestMatches == true;
    if (!signature.startsWith("-----BEGIN")) {
        const bool theirs = opensslSignaturesHold(signature, result.detached ? document : std::nullopt);
        FUZZ_CHECK(oursHold == theirs, "signature and digest checks disagree with OpenSSL's");
    }
    if (result.verdict == cms::Verdict::Valid) FUZZ_CHECK(oursHold, "valid with a check that failed");
    return 0;
}
