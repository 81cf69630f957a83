// Triple-DES and Blowfish in CBC mode with PKCS #5 padding, over caller
// buffers. Every call keys a fresh cipher context from the given key and IV, so
// no CBC state carries over between calls.
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <memory>

#include "CryptFunction.h"
#include "crypto/crypto_context.h"
#include "crypto/record_cipher.h"

namespace {

using vesk::crypto::CipherId;
using vesk::crypto::SpecOf;

constexpr long kBlockSize = vesk::crypto::kBlockSize;
// EVP takes int lengths and the result is an int: the padded ciphertext must fit.
constexpr long kMaxInputLength = INT_MAX - kBlockSize;

struct CipherCtxDeleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

enum class Direction { kDecrypt = 0, kEncrypt = 1 };

// Runs one whole CBC encryption or decryption and returns the number of bytes
// written to `out`, or -1. Nothing is written when the arguments are refused.
// The key is read as the cipher reads it: Triple-DES 24 bytes whatever length
// it is told, Blowfish as many as it is told, or its default of 16 for a
// length of 0 or less.
int RunOnce(CipherId id, Direction direction, unsigned char* out, long out_size, const unsigned char* in,
            long in_length, const unsigned char* key, int key_length, const unsigned char* iv)
{
    if (out == nullptr || in == nullptr || key == nullptr || iv == nullptr || in_length < 0 ||
        in_length > kMaxInputLength) {
        return -1;
    }
    // Padding adds 1 to 8 bytes; a plaintext is shorter than its ciphertext.
    if (out_size < (direction == Direction::kEncrypt ? (in_length / kBlockSize + 1) * kBlockSize : in_length)) {
        return -1;
    }
    vesk::crypto::ScopedErrorMark mark;
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || !vesk::crypto::KeyCbc(ctx.get(), SpecOf(id), static_cast<int>(direction), key, key_length, iv)) {
        return -1;
    }
    return vesk::crypto::RunCbc(ctx.get(), in, static_cast<size_t>(in_length), out);
}

// A cipher the library context cannot give has no lengths.
int KeyLength(CipherId id)
{
    return vesk::crypto::Cipher(id) != nullptr ? SpecOf(id).key_length : 0;
}

int IvLength(CipherId id)
{
    return vesk::crypto::Cipher(id) != nullptr ? SpecOf(id).iv_length : 0;
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
    return RunOnce(CipherId::kTripleDesCbc, Direction::kEncrypt, encrypt_data, encrypt_data_length, plain_data,
                   plain_data_length, crypto_key, crypto_key_length, crypto_iv);
}

int decrypt_DES_EDE3(unsigned char* decrypt_data, long decrypt_data_length, const unsigned char* encrypt_data,
                     long encrypt_data_length, const unsigned char* crypto_key, int crypto_key_length,
                     const unsigned char* crypto_iv, int /*crypto_iv_length*/)
{
    return RunOnce(CipherId::kTripleDesCbc, Direction::kDecrypt, decrypt_data, decrypt_data_length, encrypt_data,
                   encrypt_data_length, crypto_key, crypto_key_length, crypto_iv);
}

int encrypt_BF(unsigned char* encrypt_data, long encrypt_data_length, const unsigned char* plain_data,
               long plain_data_length, const unsigned char* crypto_key, int crypto_key_length,
               const unsigned char* crypto_iv, int /*crypto_iv_length*/)
{
    return RunOnce(CipherId::kBlowfishCbc, Direction::kEncrypt, encrypt_data, encrypt_data_length, plain_data,
                   plain_data_length, crypto_key, crypto_key_length, crypto_iv);
}

int decrypt_BF(unsigned char* decrypt_data, long decrypt_data_length, const unsigned char* encrypt_data,
               long encrypt_data_length, const unsigned char* crypto_key, int crypto_key_length,
               const unsigned char* crypto_iv, int /*crypto_iv_length*/)
{
    return RunOnce(CipherId::kBlowfishCbc, Direction::kDecrypt, decrypt_data, decrypt_data_length, encrypt_data,
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
