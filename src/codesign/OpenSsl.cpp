#include "codesign/OpenSsl.h"

#include <openssl/err.h>

#include <limits>

namespace quorvantile::codesign {

BioPointer memoryReader(std::string_view bytes)
{
    if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return nullptr;
    }
    return BioPointer(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

CertificateStackPointer newCertificateStack() { return CertificateStackPointer(sk_X509_new_null()); }

bool pushReference(STACK_OF(X509) * stack, X509* certificate)
{
    if (X509_up_ref(certificate) != 1) {
        return false;
    }
    if (sk_X509_push(stack, certificate) <= 0) {
        X509_free(certificate);
        return false;
    }
    return true;
}

void clearOpenSslErrors() noexcept { ERR_clear_error(); }

} // namespace quorvantile::codesign
