#pragma once

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string_view>

// Owning handles for the OpenSSL objects this library creates, so that every path frees them.
namespace quorvantile::codesign {

struct OpenSslDeleter {
    void operator()(BIO* bio) const noexcept { BIO_free_all(bio); }
    void operator()(CMS_ContentInfo* cms) const noexcept { CMS_ContentInfo_free(cms); }
    void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
    void operator()(X509* certificate) const noexcept { X509_free(certificate); }
    void operator()(X509_STORE* store) const noexcept { X509_STORE_free(store); }
    void operator()(X509_STORE_CTX* context) const noexcept { X509_STORE_CTX_free(context); }
    // A stack owned together with the certificates in it.
    void operator()(STACK_OF(X509) * certificates) const noexcept { sk_X509_pop_free(certificates, X509_free); }
};

template<class Object> using OpenSslPointer = std::unique_ptr<Object, OpenSslDeleter>;

using BioPointer = OpenSslPointer<BIO>;
using CmsPointer = OpenSslPointer<CMS_ContentInfo>;
using DigestContextPointer = OpenSslPointer<EVP_MD_CTX>;
using KeyPointer = OpenSslPointer<EVP_PKEY>;
using CertificatePointer = OpenSslPointer<X509>;
using StorePointer = OpenSslPointer<X509_STORE>;
using StoreContextPointer = OpenSslPointer<X509_STORE_CTX>;
using CertificateStackPointer = OpenSslPointer<STACK_OF(X509)>;

// A stack that holds references it does not own (as CMS_get0_signers returns).
struct CertificateStackViewDeleter {
    void operator()(STACK_OF(X509) * certificates) const noexcept { sk_X509_free(certificates); }
};
using CertificateStackViewPointer = std::unique_ptr<STACK_OF(X509), CertificateStackViewDeleter>;

// A buffer that OpenSSL allocated for the caller.
struct OpenSslBufferDeleter {
    void operator()(unsigned char* buffer) const noexcept { OPENSSL_free(buffer); }
};
using OpenSslBufferPointer = std::unique_ptr<unsigned char, OpenSslBufferDeleter>;

// A read-only memory BIO over `bytes`, which must outlive it.
[[nodiscard]] BioPointer memoryReader(std::string_view bytes);

// A new, empty owning stack.
[[nodiscard]] CertificateStackPointer newCertificateStack();

// Adds a counted reference to `certificate`; false when the stack cannot grow.
[[nodiscard]] bool pushReference(STACK_OF(X509) * stack, X509* certificate);

// Forgets what failed inside OpenSSL, so that errors of one operation never leak into the next.
void clearOpenSslErrors() noexcept;

} // namespace quorvantile::codesign
