// Triple-DES or Blowfish CBC over one record body at a time.
#ifndef VESK_CRYPTO_RECORD_CIPHER_H
#define VESK_CRYPTO_RECORD_CIPHER_H

#include <openssl/types.h>

#include <cstddef>

#include "crypto/crypto_context.h"

namespace vesk::crypto {

// Every record is enciphered afresh from the session key and IV, byte for byte
// as the cipher functions do it. The context is keyed once per key and only
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
    int Encrypt(CipherId id, const unsigned char* key, int key_length, const unsigned char* iv, const unsigned char* in,
                size_t n, unsigned char* out);
    // The plain bytes written to `out`, which holds n bytes; -1 when the body
    // is not whole blocks or its padding does not check.
    int Decrypt(CipherId id, const unsigned char* key, int key_length, const unsigned char* iv, const unsigned char* in,
                size_t n, unsigned char* out);
    // Wipes the key schedule and the remembered key.
    void Forget();

private:
    bool Prepare(CipherId id, int enc, const unsigned char* key, int key_length, const unsigned char* iv);
    int Run(CipherId id, int enc, const unsigned char* key, int key_length, const unsigned char* iv,
            const unsigned char* in, size_t n, unsigned char* out);

    static constexpr int kMaxKeyLength = 32;

    EVP_CIPHER_CTX* m_ctx = nullptr;
    bool m_keyed = false;
    CipherId m_id = CipherId::kTripleDesCbc;
    int m_enc = 0;
    int m_key_length = 0;
    unsigned char m_key[kMaxKeyLength] = {};
};

}  // namespace vesk::crypto

#endif
