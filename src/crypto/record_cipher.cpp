// The one CBC core, and the record layer's cipher: a context keyed once per
// key, its IV set again for each record.
#include "crypto/record_cipher.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <climits>
#include <cstring>

#include "crypto/crypto_context.h"

namespace vesk::crypto {

bool KeyCbc(EVP_CIPHER_CTX* ctx, const CipherSpec& cipher, int enc, const unsigned char* key, int key_length,
            const unsigned char* iv)
{
    const EVP_CIPHER* evp_cipher = Cipher(cipher.id);
    // The cipher first, then the key length, then key and IV: Blowfish is
    // keyed with as many bytes as it is told.
    return evp_cipher != nullptr && EVP_CipherInit_ex2(ctx, evp_cipher, nullptr, nullptr, enc, nullptr) == 1 &&
           EVP_CIPHER_CTX_set_key_length(ctx, cipher.KeyBytesRead(key_length)) == 1 &&
           EVP_CipherInit_ex2(ctx, nullptr, key, iv, enc, nullptr) == 1;
}

int RunCbc(EVP_CIPHER_CTX* ctx, const unsigned char* in, size_t n, unsigned char* out)
{
    const bool whole_blocks = n != 0 && n % kBlockSize == 0;
    if (n > INT_MAX - kBlockSize || (EVP_CIPHER_CTX_is_encrypting(ctx) == 0 && !whole_blocks))
        return -1;
    int update_length = 0;
    if (EVP_CipherUpdate(ctx, out, &update_length, in, static_cast<int>(n)) != 1)
        return -1;
    int final_length = 0;
    if (EVP_CipherFinal_ex(ctx, out + update_length, &final_length) != 1)
        return -1;
    return update_length + final_length;
}

RecordCipher::~RecordCipher()
{
    Forget();
    EVP_CIPHER_CTX_free(m_Context);
}

void RecordCipher::Forget()
{
    if (m_Context != nullptr)
        EVP_CIPHER_CTX_reset(m_Context);
    OPENSSL_cleanse(m_Key, sizeof m_Key);
    m_KeyLength = 0;
    m_bKeyed = false;
}

bool RecordCipher::Prepare(const CipherSpec& cipher, int enc, const unsigned char* key, int key_length,
                           const unsigned char* iv)
{
    const bool same_key = m_bKeyed && m_CipherId == cipher.id && m_Enc == enc && m_KeyLength == key_length &&
                          CRYPTO_memcmp(m_Key, key, static_cast<size_t>(key_length)) == 0;
    if (same_key)
        return EVP_CipherInit_ex2(m_Context, nullptr, nullptr, iv, enc, nullptr) == 1;
    if (m_Context == nullptr && (m_Context = EVP_CIPHER_CTX_new()) == nullptr)
        return false;
    Forget();
    if (!KeyCbc(m_Context, cipher, enc, key, key_length, iv))
        return false;
    std::memcpy(m_Key, key, static_cast<size_t>(key_length));
    m_KeyLength = key_length;
    m_CipherId = cipher.id;
    m_Enc = enc;
    m_bKeyed = true;
    return true;
}

int RecordCipher::Run(const CipherSpec& cipher, int enc, const unsigned char* key, int key_length,
                      const unsigned char* iv, int iv_length, const unsigned char* in, size_t n, unsigned char* out)
{
    // A session holds only the key bytes its peer agreed to: a key shorter
    // than the cipher reads (Triple-DES reads 24) is refused rather than read
    // past, and an empty key or a short IV is never used.
    if (key == nullptr || iv == nullptr || key_length < 1 || key_length > kMaxKeyLength ||
        cipher.KeyBytesRead(key_length) > key_length || iv_length < cipher.iv_length)
        return -1;
    ScopedErrorMark mark;
    if (!Prepare(cipher, enc, key, key_length, iv))
        return -1;
    return RunCbc(m_Context, in, n, out);
}

int RecordCipher::Encrypt(const CipherSpec& cipher, const unsigned char* key, int key_length, const unsigned char* iv,
                          int iv_length, const unsigned char* in, size_t n, unsigned char* out)
{
    return Run(cipher, 1, key, key_length, iv, iv_length, in, n, out);
}

int RecordCipher::Decrypt(const CipherSpec& cipher, const unsigned char* key, int key_length, const unsigned char* iv,
                          int iv_length, const unsigned char* in, size_t n, unsigned char* out)
{
    return Run(cipher, 0, key, key_length, iv, iv_length, in, n, out);
}

}  // namespace vesk::crypto
