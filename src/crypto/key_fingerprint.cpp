// Server key fingerprints: the SHA-256 of a DER public key, and its hex text both ways.
#include "crypto/key_fingerprint.h"

#include <openssl/evp.h>

#include <algorithm>

#include "crypto/crypto_context.h"

namespace vesk::crypto {
namespace {

int HexValue(char digit)
{
    if (digit >= '0' && digit <= '9')
        return digit - '0';
    if (digit >= 'a' && digit <= 'f')
        return digit - 'a' + 10;
    if (digit >= 'A' && digit <= 'F')
        return digit - 'A' + 10;
    return -1;
}

}  // namespace

bool DigestKey(const unsigned char* der, size_t length, unsigned char (&digest)[kKeyDigestSize])
{
    OSSL_LIB_CTX* libctx = LibraryContext();
    if (libctx == nullptr || der == nullptr)
        return false;
    ScopedErrorMark mark;
    size_t digest_length = 0;
    return EVP_Q_digest(libctx, "SHA256", nullptr, der, length, digest, &digest_length) == 1 &&
           digest_length == kKeyDigestSize;
}

void FormatFingerprint(const unsigned char (&digest)[kKeyDigestSize], char (&text)[kFingerprintTextSize])
{
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < kKeyDigestSize; ++i) {
        text[2 * i] = kDigits[digest[i] >> 4];
        text[2 * i + 1] = kDigits[digest[i] & 0x0F];
    }
    text[2 * kKeyDigestSize] = '\0';
}

bool ParseFingerprint(const char* text, unsigned char (&digest)[kKeyDigestSize])
{
    if (text == nullptr)
        return false;
    unsigned char parsed[kKeyDigestSize];
    for (size_t i = 0; i < kKeyDigestSize; ++i) {
        // A NUL fails here and stops the reading.
        const int high = HexValue(text[2 * i]);
        const int low = high < 0 ? -1 : HexValue(text[2 * i + 1]);
        if (low < 0)
            return false;
        parsed[i] = static_cast<unsigned char>(high << 4 | low);
    }
    if (text[2 * kKeyDigestSize] != '\0')
        return false;
    std::copy(parsed, parsed + kKeyDigestSize, digest);
    return true;
}

}  // namespace vesk::crypto
