#pragma once
// The reading behind a signature check: the times, names and identity of a certificate, and
// a signer's attributes, each read with OpenSSL. Shared by the check's files only.

#include <openssl/cms.h>
#include <openssl/x509.h>

#include <QDateTime>
#include <QString>
#include <memory>
#include <optional>
#include <vector>

#include "certs/cms/Verification.h"
#include "certs/pki/PkiNetwork.h"
#include "certs/pki/TrustStore.h"

namespace norvane::cms::verification {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
inline void freeCertificates(STACK_OF(X509) * stack) { sk_X509_pop_free(stack, X509_free); }
inline void freeStack(STACK_OF(X509) * stack) { sk_X509_free(stack); }
using CertificatesPtr = std::unique_ptr<STACK_OF(X509), Deleter<STACK_OF(X509), freeCertificates>>;
using StackPtr = std::unique_ptr<STACK_OF(X509), Deleter<STACK_OF(X509), freeStack>>;

std::optional<QDateTime> timeOf(const ASN1_TIME* time);
QString certificateName(X509* certificate);
// A name between «», as the texts quote it.
QString quoted(const QString& name);

std::vector<SignedAttribute> attributesOf(CMS_SignerInfo* signer, bool signedOnes);
std::optional<QDateTime> signingTimeOf(CMS_SignerInfo* signer);
// The ESS signing-certificate attributes against the signer's certificate; none when absent.
std::optional<bool> signingCertificateMatches(CMS_SignerInfo* signer, X509* certificate, STACK_OF(X509) * carried);

// Whether the chain checked is trusted and by which anchor, or where and why it breaks.
ChainStatus chainStatus(const pki::ChainReport& check, X509* signerCertificate);

// The revocation of a trusted chain (links as ChainReport gives them). A revoked certificate
// adds its reason to `reasons`.
RevocationReport revocationOf(const pki::ChainReport& now, const pki::Deadline& deadline, QStringList& reasons);

}  // namespace norvane::cms::verification
