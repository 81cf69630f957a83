// Triple-DES and Blowfish in CBC mode with PKCS #5 padding, over caller
// buffers. Every call keys a fresh cipher context from the given key and IV, so
// no CBC state carries over between calls.
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <memory>

#include "CryptFunction.h"
#include "crypto/crypto_context.h"

namespace {

using vesk::crypto::CipherId;

// Both ciphers work on 8-byte blocks and read exactly 8 IV bytes.
constexpr long kBlockSize = 8;
// EVP takes int lengths and the result is an int: the padded ciphertext must fit.
constexpr long kMaxInputLength = INT_MAX - kBlockSize;

struct CipherCtxDeleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

enum class Direction { kDecrypt = 0, kEncrypt = 1 };

// Runs one whole CBC encryption or decryption and returns the number of bytes
// written to `out`, or -1. Nothing is written when the arguments are refused.
int RunCbc(CipherId id, Direction direction, unsigned char* out, long out_size, const unsigned char* in, long in_length,
           const unsigned char* key, int key_length, const unsigned char* iv)
{
    if (out == nullptr || in == nullptr || key == nullptr || iv == nullptr || out_size < 0 || in_length < 0 ||
        in_length > kMaxInputLength) {
        return -1;
    }
    if (direction == Direction::kEncrypt) {
        // Padding adds 1 to 8 bytes.
        if (out_size < (in_length / kBlockSize + 1) * kBlockSize) {
            return -1;
        }
    } else {
        // Ciphertext is a non-empty run of whole blocks; the plaintext is shorter.
        if (in_length == 0 || in_length % kBlockSize != 0 || out_size < in_length) {
            return -1;
        }
    }
    const EVP_CIPHER* cipher = vesk::crypto::Cipher(id);
    if (cipher == nullptr) {
        return -1;
    }

    vesk::crypto::ScopedErrorMark mark;
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx) {
        return -1;
    }
    const int enc = static_cast<int>(direction);
    // The cipher first, then the key length, then key and IV: Blowfish is keyed
    // with as many bytes as the caller gives. A length the cipher refuses (any
    // but 24 for Triple-DES) is ignored and the cipher's own length stays; a
    // length of 0 or less keeps the default as well.
    if (EVP_CipherInit_ex2(ctx.get(), cipher, nullptr, nullptr, enc, nullptr) != 1) {
        return -1;
    }
    if (key_length > 0) {
        EVP_CIPHER_CTX_set_key_length(ctx.get(), key_length);
    }
    if (EVP_CipherInit_ex2(ctx.get(), nullptr, key, iv, enc, nullptr) != 1) {
        return -1;
    }

    int update_length = 0;
    if (EVP_CipherUpdate(ctx.get(), out, &update_length, in, static_cast<int>(in_length)) != 1) {
        return -1;
    }
    int final_length = 0;
    if (EVP_CipherFinal_ex(ctx.get(), out + update_length, &final_length) != 1) {
        return -1;
    }
    return update_length + final_length;
}

int KeyLength(CipherId id)
{
    const EVP_CIPHER* cipher = vesk::crypto::Cipher(id);
    return cipher != nullptr ? EVP_CIPHER_get_key_length(cipher) : 0;
}

int IvLength(CipherId id)
{
    const EVP_CIPHER* cipher = vesk::crypto::Cipher(id);
    return cipher != nullptr ? EVP_CIPHER_get_iv_length(cipher) : 0;
}

void FillRandom(unsigned char* buffer, int length)
{
    if (buffer == nullptr || length <= 0) {
        return;
    }
    OSSL_LIB_CTX* libctx = vesk::crypto::LibraryContext();
    if (libctx == nullptr) {
        return;
    }
    vesk::crypto::ScopedErrorMark mark;
    RAND_bytes_ex(libctx, buffer, static_cast<size_t>(length), 0);
}

}  // namespace

int encrypt_DES_EDE3(unsigned char* encrypt_data, long encrypt_data_length, const unsigned char* plain_data,
                     long plain_data_length, const unsigned char* crypto_key, int crypto_key_length,
                     const unsigned char* crypto_iv, int /*crypto_iv_length*/)
{
    return RunCbc(CipherId::kTripleDesCbc, Direction::kEncrypt, encrypt_data, encrypt_data_length, plain_data,
                  plain_data_length, crypto_key, crypto_key_length, crypto_iv);
}

int decrypt_DES_EDE3(unsigned char* decrypt_data, long decrypt_data_length, const unsigned char* encrypt_data,
                     long encrypt_data_length, const unsigned char* crypto_key, int crypto_key_length,
                     const unsigned char* crypto_iv, int /*crypto_iv_length*/)
{
    return RunCbc(CipherId::kTripleDesCbc, Direction::kDecrypt, decrypt_data, decrypt_data_length, encrypt_data,
                  encrypt_data_length, crypto_key, crypto_key_length, crypto_iv);
}

int encrypt_BF(unsigned char* encrypt_data, long encrypt_data_length, const unsigned char* plain_data,
               long plain_data_length, const unsigned char* crypto_key, int crypto_key_length,
               const unsigned char* crypto_iv, int /*crypto_iv_length*/)
{
    return RunCbc(CipherId::kBlowfishCbc, Direction::kEncrypt, encrypt_data, encrypt_data_length, plain_data,
                  plain_data_length, crypto_key, crypto_key_length, crypto_iv);
}

int decrypt_BF(unsigned char* decrypt_data, long decrypt_data_length, const unsigned char* encrypt_data,
               long encrypt_data_length, const unsigned char* crypto_key, int crypto_key_length,
               const unsigned char* crypto_iv, int /*crypto_iv_length*/)
{
    return RunCbc(CipherId::kBlowfishCbc, Direction::kDecrypt, decrypt_data, decrypt_data_length, encrypt_data,
                  encrypt_data_length, crypto_key, crypto_key_length, crypto_iv);
}

int get_key_length_DES_EDE3()
{
    return KeyLength(CipherId::kTripleDesCbc);
}

int get_iv_length_DES_EDE3()
{
    return IvLength(CipherId::kTripleDesCbc);
}

int get_key_length_BF()
{
    return KeyLength(CipherId::kBlowfishCbc);
}

int get_iv_length_BF()
{
    return IvLength(CipherId::kBlowfishCbc);
}

void select_random_key(unsigned char* key, int b)
{
    FillRandom(key, b);
}

void select_random_iv(unsigned char* iv, int b)
{
    FillRandom(iv, b);
}
