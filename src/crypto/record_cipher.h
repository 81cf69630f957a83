// CBC with PKCS #5 padding, one whole run from a given IV: the core behind
// both the stateless cipher functions and the record layer's RecordCipher.
#ifndef VESK_CRYPTO_RECORD_CIPHER_H
#define VESK_CRYPTO_RECORD_CIPHER_H

#include <openssl/types.h>

#include <cstddef>

#include "crypto/cipher_map.h"

namespace vesk::crypto {

// Keys `ctx` for `cipher` in direction `enc` (1 encrypts) with the key bytes
// the cipher reads when told `key_length`, and sets the IV.
bool KeyCbc(EVP_CIPHER_CTX* ctx, const CipherSpec& cipher, int enc, const unsigned char* key, int key_length,
            const unsigned char* iv);
// Runs n bytes through a keyed context, padding included: the bytes written to
// `out`, which holds n + 8 bytes, or -1. A ciphertext that is not whole blocks
// or whose padding does not check is refused.
int RunCbc(EVP_CIPHER_CTX* ctx, const unsigned char* in, size_t n, unsigned char* out);

// Every record is enciphered afresh from the session key and IV through the
// same core as the cipher functions. The context is keyed once per key and only
// its IV is set again for each record, so no record pays for a key schedule or
// a cipher lookup. One object serves one direction of one session; it is not
// shared between threads.
class RecordCipher {
public:
    RecordCipher() = default;
    ~RecordCipher();
    RecordCipher(const RecordCipher&) = delete;
    RecordCipher& operator=(const RecordCipher&) = delete;

    // The bytes written to `out`, which holds n + 8 bytes; -1 on failure.
    int Encrypt(const CipherSpec& cipher, const unsigned char* key, int key_length, const unsigned char* iv,
                int iv_length, const unsigned char* in, size_t n, unsigned char* out);
    // The plain bytes written to `out`, which holds n bytes; -1 on failure.
    int Decrypt(const CipherSpec& cipher, const unsigned char* key, int key_length, const unsigned char* iv,
                int iv_length, const unsigned char* in, size_t n, unsigned char* out);
    // Wipes the key schedule and the remembered key.
    void Forget();

private:
    bool Prepare(const CipherSpec& cipher, int enc, const unsigned char* key, int key_length, const unsigned char* iv);
    int Run(const CipherSpec& cipher, int enc, const unsigned char* key, int key_length, const unsigned char* iv,
            int iv_length, const unsigned char* in, size_t n, unsigned char* out);

    static constexpr int kMaxKeyLength = 32;

    EVP_CIPHER_CTX* m_Context = nullptr;
    bool m_bKeyed = false;
    CipherId m_CipherId = CipherId::kTripleDesCbc;
    int m_Enc = 0;
    int m_KeyLength = 0;
    unsigned char m_Key[kMaxKeyLength] = {};
};

}  // namespace vesk::crypto

#endif
