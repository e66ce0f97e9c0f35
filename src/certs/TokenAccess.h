#pragma once
// The PKCS#11 side of the certificate platform: every token that p11-kit's proxy module
// reaches, through libp11. One module context serves the whole program; it is loaded
// anew at every look at the tokens, so that a token plugged in or pulled out since the
// last look is seen. PINs typed by the user are kept in memory for the run, per token,
// so that the reload never asks for a PIN twice.

#include <QByteArray>
#include <functional>
#include <memory>
#include <vector>

#include "certs/CAPICOM_TLB.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace norvane::tokens {

struct TokenCertificate {
    std::shared_ptr<X509> certificate;
    CAPICOM_TLB::TokenLocation location;
};

// Every certificate object of every present token, read now.
std::vector<TokenCertificate> readCertificates();

// Runs `use` with the private key whose CKA_ID is `where.id` on the token `where` names,
// logging in first when the token needs it. Throws CapicomError: NTE_BAD_KEYSET when the
// token or the key is not there; distinct errors for a wrong or locked PIN and a
// cancelled prompt. Callable from any thread (the PIN is asked on the GUI thread).
QByteArray withPrivateKey(const CAPICOM_TLB::TokenLocation& where, const std::function<QByteArray(EVP_PKEY*)>& use);

// Forgets the PINs kept for this run.
void forgetPins();

}  // namespace norvane::tokens
