// Server key fingerprints: the SHA-256 of a PKCS #1 DER public key, as it
// travels in the ServerKeyExchange, written as 64 lowercase hex digits.
#ifndef VESK_CRYPTO_KEY_FINGERPRINT_H
#define VESK_CRYPTO_KEY_FINGERPRINT_H

#include <cstddef>

namespace vesk::crypto {

constexpr size_t kKeyDigestSize = 32;
// The hex text and its NUL.
constexpr size_t kFingerprintTextSize = 2 * kKeyDigestSize + 1;

// SHA-256 of the key bytes; false only when the digest is unavailable.
bool DigestKey(const unsigned char* der, size_t length, unsigned char (&digest)[kKeyDigestSize]);
// Writes the digest as lowercase hex and a NUL.
void FormatFingerprint(const unsigned char (&digest)[kKeyDigestSize], char (&text)[kFingerprintTextSize]);
// Reads exactly 64 hex digits (either case) and nothing else.
bool ParseFingerprint(const char* text, unsigned char (&digest)[kKeyDigestSize]);

}  // namespace vesk::crypto

#endif
