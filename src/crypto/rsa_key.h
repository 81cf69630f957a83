// An RSA key decoded once from PKCS #1 DER and used for any number of OAEP
// operations, from any thread (every operation takes a context of its own).
#ifndef VESK_CRYPTO_RSA_KEY_H
#define VESK_CRYPTO_RSA_KEY_H

#include <openssl/types.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace vesk::crypto {

class RsaKey {
public:
    // Null unless the bytes are exactly one PKCS #1 RSAPrivateKey.
    static std::shared_ptr<const RsaKey> DecodePrivate(const unsigned char* der, int der_length);
    // Null unless the bytes are exactly one PKCS #1 RSAPublicKey.
    static std::shared_ptr<const RsaKey> DecodePublic(const unsigned char* der, int der_length);

    ~RsaKey();
    RsaKey(const RsaKey&) = delete;
    RsaKey& operator=(const RsaKey&) = delete;

    // As RSA_public_encrypt_der: writes the modulus length, or -1.
    int Encrypt(int flen, const unsigned char* from, unsigned char* to) const;
    // As RSA_private_decrypt_der: writes at most modulus length - 42 bytes; the
    // plaintext length, or -1.
    int Decrypt(int flen, const unsigned char* from, unsigned char* to) const;

    // Bytes of the modulus.
    int ModulusLength() const;
    // The public exponent; false when it does not fit 32 bits.
    bool PublicExponent(uint32_t* exponent) const;
    // The PKCS #1 RSAPublicKey of the key, private or public.
    bool EncodePublic(std::vector<unsigned char>* der) const;
    // Whether the parts of a private key belong together (its primes, its
    // exponents and its modulus): DER can be well formed and still wrong.
    bool IsConsistentPrivateKey() const;

private:
    RsaKey(EVP_PKEY* pkey, bool is_private) : m_PKey(pkey), m_bPrivate(is_private) {}

    EVP_PKEY* m_PKey;
    bool m_bPrivate;
};

}  // namespace vesk::crypto

#endif
