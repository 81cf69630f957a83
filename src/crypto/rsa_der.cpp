// RSA with OAEP padding on keys held as PKCS #1 DER: RSAPublicKey (modulus and
// exponent only) and RSAPrivateKey. The exported functions decode the key for
// each call; RsaKey keeps a decoded key for repeated use.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/decoder.h>
#include <openssl/encoder.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstddef>
#include <cstring>
#include <memory>

#include "CryptFunction.h"
#include "crypto/crypto_context.h"
#include "crypto/rsa_key.h"

namespace {

// OAEP with SHA-1 takes 2 * 20 + 2 bytes of every block: at most the modulus
// length minus 42 bytes of plaintext.
constexpr int kOaepOverhead = 42;
// Largest modulus OpenSSL operates on, in bytes.
constexpr int kMaxModulusLength = OPENSSL_RSA_MAX_MODULUS_BITS / 8;
constexpr int kMinKeyBits = 1024;
// Each DER key must fit the 65535-byte key buffers of the callers.
constexpr std::size_t kMaxDerLength = 65535;

constexpr unsigned char kDerSequence = 0x30;
constexpr unsigned char kDerInteger = 0x02;

// A unique_ptr deleter calling OpenSSL's free function of the type.
template <class T, void (*Free)(T*)>
struct Freeing {
    void operator()(T* object) const { Free(object); }
};
// Encoder output; cleared before it is freed because it may hold a private key.
struct DerBuffer {
    unsigned char* data = nullptr;
    std::size_t length = 0;
    DerBuffer() = default;
    DerBuffer(const DerBuffer&) = delete;
    DerBuffer& operator=(const DerBuffer&) = delete;
    ~DerBuffer() { OPENSSL_clear_free(data, length); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Freeing<EVP_PKEY, EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Freeing<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using DecoderCtxPtr = std::unique_ptr<OSSL_DECODER_CTX, Freeing<OSSL_DECODER_CTX, OSSL_DECODER_CTX_free>>;
using EncoderCtxPtr = std::unique_ptr<OSSL_ENCODER_CTX, Freeing<OSSL_ENCODER_CTX, OSSL_ENCODER_CTX_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, Freeing<BIGNUM, BN_free>>;

enum class KeyKind { kPublic, kPrivate };

int Selection(KeyKind kind)
{
    return kind == KeyKind::kPublic ? EVP_PKEY_PUBLIC_KEY : EVP_PKEY_KEYPAIR;
}

// One DER element: its tag, the length of its header and of its contents.
struct DerElement {
    unsigned char tag = 0;
    std::size_t header_length = 0;
    std::size_t content_length = 0;
};

// Reads the element header at `der` (single-byte tag, definite length). Fails
// unless the whole element lies within `available` bytes.
bool ReadDerElement(const unsigned char* der, std::size_t available, DerElement& element)
{
    if (available < 2) {
        return false;
    }
    element.tag = der[0];
    element.header_length = 2;
    element.content_length = der[1];
    if (der[1] & 0x80) {
        const std::size_t length_bytes = der[1] & 0x7f;
        if (length_bytes == 0 || length_bytes > 4 || available < 2 + length_bytes) {
            return false;
        }
        element.content_length = 0;
        for (std::size_t i = 0; i < length_bytes; ++i) {
            element.content_length = (element.content_length << 8) | der[2 + i];
        }
        element.header_length += length_bytes;
    }
    return element.content_length <= available - element.header_length;
}

// The decoder also takes the wrapped forms (SubjectPublicKeyInfo, PKCS #8),
// which are not keys of this system. PKCS #1 is a SEQUENCE that fills the whole
// buffer and opens with INTEGERs: modulus, or version and modulus; the wrapped
// forms have an algorithm identifier SEQUENCE there.
bool HasPkcs1Layout(const unsigned char* der, std::size_t length, KeyKind kind)
{
    DerElement element;
    if (!ReadDerElement(der, length, element) || element.tag != kDerSequence ||
        element.header_length + element.content_length != length) {
        return false;
    }
    const unsigned char* field = der + element.header_length;
    std::size_t remaining = element.content_length;
    const int leading_integers = kind == KeyKind::kPublic ? 1 : 2;
    for (int i = 0; i < leading_integers; ++i) {
        if (!ReadDerElement(field, remaining, element) || element.tag != kDerInteger) {
            return false;
        }
        field += element.header_length + element.content_length;
        remaining -= element.header_length + element.content_length;
    }
    return true;
}

// The key a DER buffer holds, or null; OpenSSL's errors stay behind.
PkeyPtr DecodeRsaKey(const unsigned char* der, int der_length, KeyKind kind)
{
    OSSL_LIB_CTX* libctx = vesk::crypto::LibraryContext();
    if (der == nullptr || der_length < 1 || libctx == nullptr)
        return nullptr;
    vesk::crypto::ScopedErrorMark mark;
    const auto length = static_cast<std::size_t>(der_length);
    if (!HasPkcs1Layout(der, length, kind)) {
        return nullptr;
    }
    EVP_PKEY* raw = nullptr;
    DecoderCtxPtr decoder(
        OSSL_DECODER_CTX_new_for_pkey(&raw, "DER", "type-specific", "RSA", Selection(kind), libctx, nullptr));
    if (!decoder) {
        return nullptr;
    }
    const unsigned char* data = der;
    std::size_t remaining = length;
    const int decoded = OSSL_DECODER_from_data(decoder.get(), &data, &remaining);
    PkeyPtr pkey(raw);
    // Every byte must belong to the key.
    if (decoded != 1 || remaining != 0) {
        return nullptr;
    }
    return pkey;
}

PkeyCtxPtr NewOaepContext(OSSL_LIB_CTX* libctx, EVP_PKEY* pkey, KeyKind kind)
{
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(libctx, pkey, nullptr));
    if (!ctx) {
        return nullptr;
    }
    const int init = kind == KeyKind::kPublic ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get());
    // SHA-1 for OAEP and MGF1 and an empty label: the classic OAEP encoding.
    if (init <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) <= 0 ||
        EVP_PKEY_CTX_set_rsa_oaep_md_name(ctx.get(), "SHA1", nullptr) <= 0 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md_name(ctx.get(), "SHA1", nullptr) <= 0) {
        return nullptr;
    }
    return ctx;
}

bool ValidOperationArguments(int flen, const unsigned char* from, const unsigned char* to, const unsigned char* key,
                             int key_length)
{
    return flen > 0 && from != nullptr && to != nullptr && key != nullptr && key_length >= 1;
}

bool EncodeKey(EVP_PKEY* pkey, KeyKind kind, DerBuffer& out)
{
    EncoderCtxPtr encoder(OSSL_ENCODER_CTX_new_for_pkey(pkey, Selection(kind), "DER", "type-specific", nullptr));
    return encoder && OSSL_ENCODER_to_data(encoder.get(), &out.data, &out.length) == 1 && out.data != nullptr;
}

}  // namespace

namespace vesk::crypto {

std::shared_ptr<const RsaKey> RsaKey::DecodePrivate(const unsigned char* der, int der_length)
{
    PkeyPtr pkey = DecodeRsaKey(der, der_length, KeyKind::kPrivate);
    return pkey ? std::shared_ptr<const RsaKey>(new RsaKey(pkey.release(), true)) : nullptr;
}

std::shared_ptr<const RsaKey> RsaKey::DecodePublic(const unsigned char* der, int der_length)
{
    PkeyPtr pkey = DecodeRsaKey(der, der_length, KeyKind::kPublic);
    return pkey ? std::shared_ptr<const RsaKey>(new RsaKey(pkey.release(), false)) : nullptr;
}

RsaKey::~RsaKey()
{
    EVP_PKEY_free(m_PKey);
}

int RsaKey::Encrypt(int flen, const unsigned char* from, unsigned char* to) const
{
    if (flen <= 0 || from == nullptr || to == nullptr)
        return -1;
    ScopedErrorMark mark;
    const int modulus_length = EVP_PKEY_get_size(m_PKey);
    if (modulus_length <= kOaepOverhead || modulus_length > kMaxModulusLength || flen > modulus_length - kOaepOverhead)
        return -1;
    PkeyCtxPtr ctx = NewOaepContext(LibraryContext(), m_PKey, KeyKind::kPublic);
    if (!ctx)
        return -1;
    // The ciphertext is exactly as long as the modulus.
    auto written = static_cast<std::size_t>(modulus_length);
    if (EVP_PKEY_encrypt(ctx.get(), to, &written, from, static_cast<std::size_t>(flen)) <= 0)
        return -1;
    return static_cast<int>(written);
}

int RsaKey::Decrypt(int flen, const unsigned char* from, unsigned char* to) const
{
    if (!m_bPrivate || flen <= 0 || from == nullptr || to == nullptr)
        return -1;
    ScopedErrorMark mark;
    const int modulus_length = EVP_PKEY_get_size(m_PKey);
    if (modulus_length <= kOaepOverhead || modulus_length > kMaxModulusLength)
        return -1;
    PkeyCtxPtr ctx = NewOaepContext(LibraryContext(), m_PKey, KeyKind::kPrivate);
    if (!ctx)
        return -1;
    // OpenSSL wants room for a whole block; decrypt on the stack so that `to`
    // never receives more than the largest OAEP plaintext.
    unsigned char plain[kMaxModulusLength];
    auto written = static_cast<std::size_t>(modulus_length);
    int result = -1;
    if (EVP_PKEY_decrypt(ctx.get(), plain, &written, from, static_cast<std::size_t>(flen)) > 0 &&
        written <= static_cast<std::size_t>(modulus_length - kOaepOverhead)) {
        std::memcpy(to, plain, written);
        result = static_cast<int>(written);
    }
    OPENSSL_cleanse(plain, static_cast<std::size_t>(modulus_length));
    return result;
}

int RsaKey::ModulusLength() const
{
    return EVP_PKEY_get_size(m_PKey);
}

bool RsaKey::PublicExponent(uint32_t* exponent) const
{
    ScopedErrorMark mark;
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(m_PKey, OSSL_PKEY_PARAM_RSA_E, &raw) != 1)
        return false;
    const BignumPtr value(raw);
    if (BN_num_bits(value.get()) > 32)
        return false;
    *exponent = static_cast<uint32_t>(BN_get_word(value.get()));
    return true;
}

bool RsaKey::EncodePublic(std::vector<unsigned char>* der) const
{
    ScopedErrorMark mark;
    DerBuffer encoded;
    if (!EncodeKey(m_PKey, KeyKind::kPublic, encoded))
        return false;
    der->assign(encoded.data, encoded.data + encoded.length);
    return true;
}

bool RsaKey::IsConsistentPrivateKey() const
{
    if (!m_bPrivate)
        return false;
    ScopedErrorMark mark;
    const PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(LibraryContext(), m_PKey, nullptr));
    return ctx && EVP_PKEY_check(ctx.get()) == 1;
}

}  // namespace vesk::crypto

int RSA_public_encrypt_der(int flen, const unsigned char* from, unsigned char* to, const unsigned char* public_key,
                           int public_key_length)
{
    if (!ValidOperationArguments(flen, from, to, public_key, public_key_length))
        return -1;
    const auto key = vesk::crypto::RsaKey::DecodePublic(public_key, public_key_length);
    return key ? key->Encrypt(flen, from, to) : -1;
}

int RSA_private_decrypt_der(int flen, const unsigned char* from, unsigned char* to, const unsigned char* private_key,
                            int private_key_length)
{
    if (!ValidOperationArguments(flen, from, to, private_key, private_key_length))
        return -1;
    const auto key = vesk::crypto::RsaKey::DecodePrivate(private_key, private_key_length);
    return key ? key->Decrypt(flen, from, to) : -1;
}

// OAEP is an encryption padding only: signing with the private key and
// recovering with the public key are not defined for it.
int RSA_private_encrypt_der(int /*flen*/, const unsigned char* /*from*/, unsigned char* /*to*/,
                            const unsigned char* /*private_key*/, int /*private_key_length*/)
{
    return -1;
}

int RSA_public_decrypt_der(int /*flen*/, const unsigned char* /*from*/, unsigned char* /*to*/,
                           const unsigned char* /*public_key*/, int /*public_key_length*/)
{
    return -1;
}

int RSA_generate_key_der(int bits, unsigned long e, unsigned char* private_key, int* private_key_length,
                         unsigned char* public_key, int* public_key_length)
{
    if (bits < kMinKeyBits || private_key == nullptr || private_key_length == nullptr) {
        return -1;
    }
    if (public_key == nullptr) {
        return 0;
    }
    // A key above OpenSSL's modulus limit could never be used.
    if (public_key_length == nullptr || bits > OPENSSL_RSA_MAX_MODULUS_BITS) {
        return -1;
    }
    OSSL_LIB_CTX* libctx = vesk::crypto::LibraryContext();
    if (libctx == nullptr) {
        return -1;
    }
    vesk::crypto::ScopedErrorMark mark;

    BignumPtr exponent(BN_new());
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(libctx, "RSA", nullptr));
    if (!exponent || !ctx || BN_set_word(exponent.get(), e) != 1 || EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) <= 0 ||
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), exponent.get()) <= 0) {
        return -1;
    }
    EVP_PKEY* raw = nullptr;
    const int generated = EVP_PKEY_generate(ctx.get(), &raw);
    PkeyPtr pkey(raw);
    if (generated <= 0 || !pkey) {
        return -1;
    }

    // Both encodings are made and measured before either buffer is touched.
    DerBuffer private_der;
    DerBuffer public_der;
    if (!EncodeKey(pkey.get(), KeyKind::kPrivate, private_der) ||
        !EncodeKey(pkey.get(), KeyKind::kPublic, public_der) || private_der.length > kMaxDerLength ||
        public_der.length > kMaxDerLength) {
        return -1;
    }
    *private_key_length = static_cast<int>(private_der.length);
    std::memcpy(private_key, private_der.data, private_der.length);
    *public_key_length = static_cast<int>(public_der.length);
    std::memcpy(public_key, public_der.data, public_der.length);
    return static_cast<int>(private_der.length + public_der.length);
}
