// Which cipher serves each session algorithm, and the key and IV it takes.
#ifndef VESK_CRYPTO_CIPHER_MAP_H
#define VESK_CRYPTO_CIPHER_MAP_H

#include <cstddef>
#include <iterator>

namespace vesk::crypto {

// Every cipher here works on 8-byte blocks: padding makes a ciphertext 1 to 8
// bytes longer than its plaintext.
inline constexpr size_t kBlockSize = 8;

// Numbered as the session algorithms they serve; 0 is no cipher.
enum class CipherId { kTripleDesCbc = 1, kBlowfishCbc = 2 };

struct CipherSpec {
    CipherId id;
    const char* name;  // as fetched from the library context
    int key_length;    // a session key's length, and Blowfish's default
    int iv_length;     // read whole
    // Triple-DES reads its 24 key bytes whatever length it is told.
    bool fixed_key_length;

    // The key bytes the cipher reads when told `length`.
    int KeyBytesRead(int length) const { return fixed_key_length || length <= 0 ? key_length : length; }
};

inline constexpr CipherSpec kCiphers[] = {
    {CipherId::kTripleDesCbc, "DES-EDE3-CBC", 24, 8, true},
    {CipherId::kBlowfishCbc, "BF-CBC", 16, 8, false},
};

inline size_t IndexOf(CipherId id)
{
    return static_cast<size_t>(id) - 1;
}

inline const CipherSpec& SpecOf(CipherId id)
{
    return kCiphers[IndexOf(id)];
}

// The cipher of a session algorithm as the handshake numbers it; null for
// none and for any value outside the enumeration.
inline const CipherSpec* CipherFor(int algorithm)
{
    const auto index = static_cast<size_t>(algorithm) - 1;
    return algorithm >= 1 && index < std::size(kCiphers) ? &kCiphers[index] : nullptr;
}

}  // namespace vesk::crypto

#endif
