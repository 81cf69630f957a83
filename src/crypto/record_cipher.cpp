// The record layer's CBC cipher: a context keyed once per key, its IV set again for each record.
#include "crypto/record_cipher.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <climits>
#include <cstring>

namespace vesk::crypto {

RecordCipher::~RecordCipher()
{
    Forget();
    EVP_CIPHER_CTX_free(m_ctx);
}

void RecordCipher::Forget()
{
    if (m_ctx != nullptr)
        EVP_CIPHER_CTX_reset(m_ctx);
    OPENSSL_cleanse(m_key, sizeof m_key);
    m_key_length = 0;
    m_keyed = false;
}

bool RecordCipher::Prepare(CipherId id, int enc, const unsigned char* key, int key_length, const unsigned char* iv)
{
    const bool same_key = m_keyed && m_id == id && m_enc == enc && m_key_length == key_length &&
                          CRYPTO_memcmp(m_key, key, static_cast<size_t>(key_length)) == 0;
    if (same_key)
        return EVP_CipherInit_ex2(m_ctx, nullptr, nullptr, iv, enc, nullptr) == 1;

    const EVP_CIPHER* cipher = Cipher(id);
    if (cipher == nullptr)
        return false;
    if (m_ctx == nullptr && (m_ctx = EVP_CIPHER_CTX_new()) == nullptr)
        return false;
    Forget();
    // As the cipher functions do it: the cipher, then the key length (which
    // Triple-DES refuses unless it is 24), then key and IV.
    if (EVP_CipherInit_ex2(m_ctx, cipher, nullptr, nullptr, enc, nullptr) != 1)
        return false;
    EVP_CIPHER_CTX_set_key_length(m_ctx, key_length);
    if (EVP_CipherInit_ex2(m_ctx, nullptr, key, iv, enc, nullptr) != 1)
        return false;
    std::memcpy(m_key, key, static_cast<size_t>(key_length));
    m_key_length = key_length;
    m_id = id;
    m_enc = enc;
    m_keyed = true;
    return true;
}

int RecordCipher::Run(CipherId id, int enc, const unsigned char* key, int key_length, const unsigned char* iv,
                      const unsigned char* in, size_t n, unsigned char* out)
{
    // Triple-DES reads 24 key bytes whatever length it is given, so a shorter
    // key is refused rather than read past; an empty key is never used.
    const int needed = id == CipherId::kTripleDesCbc ? 24 : 1;
    if (key == nullptr || iv == nullptr || key_length < needed || key_length > kMaxKeyLength || n > INT_MAX - 8)
        return -1;
    ScopedErrorMark mark;
    if (!Prepare(id, enc, key, key_length, iv))
        return -1;
    int update_length = 0;
    if (EVP_CipherUpdate(m_ctx, out, &update_length, in, static_cast<int>(n)) != 1)
        return -1;
    int final_length = 0;
    if (EVP_CipherFinal_ex(m_ctx, out + update_length, &final_length) != 1)
        return -1;
    return update_length + final_length;
}

int RecordCipher::Encrypt(CipherId id, const unsigned char* key, int key_length, const unsigned char* iv,
                          const unsigned char* in, size_t n, unsigned char* out)
{
    return Run(id, 1, key, key_length, iv, in, n, out);
}

int RecordCipher::Decrypt(CipherId id, const unsigned char* key, int key_length, const unsigned char* iv,
                          const unsigned char* in, size_t n, unsigned char* out)
{
    if (n == 0 || n % 8 != 0)
        return -1;
    return Run(id, 0, key, key_length, iv, in, n, out);
}

}  // namespace vesk::crypto
