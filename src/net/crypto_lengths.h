// Key and IV lengths of the session ciphers, by algorithm. An algorithm
// without a cipher (none, or a value outside the enumeration) has neither.
#ifndef VESK_NET_CRYPTO_LENGTHS_H
#define VESK_NET_CRYPTO_LENGTHS_H

#include "CryptFunction.h"
#include "VeskNetworkSystem.h"

namespace VeskNetworkSystem {

inline int GetCryptoKeyLength(eCryptoAlgorithm algorithm)
{
    switch (algorithm) {
        case CRYPTO_ALGORITHM_3DES:
            return get_key_length_DES_EDE3();
        case CRYPTO_ALGORITHM_BLOWFISH:
            return get_key_length_BF();
        default:
            return 0;
    }
}

inline int GetCryptoIVLength(eCryptoAlgorithm algorithm)
{
    switch (algorithm) {
        case CRYPTO_ALGORITHM_3DES:
            return get_iv_length_DES_EDE3();
        case CRYPTO_ALGORITHM_BLOWFISH:
            return get_iv_length_BF();
        default:
            return 0;
    }
}

}  // namespace VeskNetworkSystem

#endif
