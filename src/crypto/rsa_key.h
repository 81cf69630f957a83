// An RSA key decoded once from PKCS #1 DER and used for any number of OAEP
// operations, from any thread (every operation takes a context of its own).
#ifndef VESK_CRYPTO_RSA_KEY_H
#define VESK_CRYPTO_RSA_KEY_H

#include <openssl/types.h>

#include <memory>

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

private:
    RsaKey(EVP_PKEY* pkey, bool is_private) : m_pkey(pkey), m_private(is_private) {}

    EVP_PKEY* m_pkey;
    bool m_private;
};

}  // namespace vesk::crypto

#endif
