// The library's private OpenSSL context, the ciphers fetched from it once, and the error-queue guard.
#include "crypto/crypto_context.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

namespace vesk::crypto {
namespace {

// Deliberately never freed: OpenSSL's own exit handler may already have torn
// the library down when static destructors run.
struct Context {
    OSSL_LIB_CTX* libctx = nullptr;
    EVP_CIPHER* ciphers[std::size(kCiphers)] = {};
};

Context MakeContext()
{
    ScopedErrorMark mark;
    Context context;
    context.libctx = OSSL_LIB_CTX_new();
    if (context.libctx == nullptr) {
        return context;
    }
    // Loading a provider explicitly switches off the automatic fallback to
    // "default", so both are loaded. The provider handles stay loaded for the
    // life of the context.
    OSSL_PROVIDER_load(context.libctx, "default");
    OSSL_PROVIDER_load(context.libctx, "legacy");
    for (const CipherSpec& cipher : kCiphers)
        context.ciphers[IndexOf(cipher.id)] = EVP_CIPHER_fetch(context.libctx, cipher.name, nullptr);
    return context;
}

const Context& TheContext()
{
    static const Context context = MakeContext();
    return context;
}

}  // namespace

OSSL_LIB_CTX* LibraryContext()
{
    return TheContext().libctx;
}

const EVP_CIPHER* Cipher(CipherId id)
{
    return TheContext().ciphers[IndexOf(id)];
}

ScopedErrorMark::ScopedErrorMark()
{
    ERR_set_mark();
}

ScopedErrorMark::~ScopedErrorMark()
{
    ERR_pop_to_mark();
}

}  // namespace vesk::crypto
