// The library's own OpenSSL context and the ciphers fetched from it.
//
// libvesk never loads providers into the application's default context: it
// keeps a private OSSL_LIB_CTX with the "default" and "legacy" providers
// (Blowfish lives in "legacy") and takes every cipher, key and random byte from
// it. The context and the ciphers are created once, on first use, and live
// until the process ends; they are immutable and shared by all threads.
#ifndef VESK_CRYPTO_CRYPTO_CONTEXT_H
#define VESK_CRYPTO_CRYPTO_CONTEXT_H

#include <openssl/types.h>

#include "crypto/cipher_map.h"

namespace vesk::crypto {

// The private context; null only if it could not be created.
OSSL_LIB_CTX* LibraryContext();

// The cipher fetched once from LibraryContext(); null when it is unavailable.
// Owned by the library: never free it. Use it with a per-thread EVP_CIPHER_CTX.
const EVP_CIPHER* Cipher(CipherId id);

// Removes, when it goes out of scope, the OpenSSL errors that the calling
// thread queued during its lifetime, so that failures inside the library never
// reach the application's error queue. Errors queued before are kept.
class ScopedErrorMark {
public:
    ScopedErrorMark();
    ~ScopedErrorMark();
    ScopedErrorMark(const ScopedErrorMark&) = delete;
    ScopedErrorMark& operator=(const ScopedErrorMark&) = delete;
};

}  // namespace vesk::crypto

#endif
