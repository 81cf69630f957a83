// Cipher primitives over plain byte buffers: Triple-DES and Blowfish in CBC
// mode with PKCS #5 padding, random keys and IVs, and RSA with OAEP padding on
// keys held as PKCS #1 DER.
//
// Every function is stateless and thread-safe. Symmetric functions return the
// number of bytes written, or -1; the output size is checked (ciphertext takes
// 8 * (n / 8 + 1) bytes, plaintext at most the ciphertext length).
#ifndef VESK_CRYPT_FUNCTION_H
#define VESK_CRYPT_FUNCTION_H

#include "VeskTypedefNoneWin32.h"

VESK_API int encrypt_DES_EDE3(unsigned char* encrypt_data, long encrypt_data_length, const unsigned char* plain_data,
                              long plain_data_length, const unsigned char* crypto_key, int crypto_key_length,
                              const unsigned char* crypto_iv, int crypto_iv_length);
VESK_API int decrypt_DES_EDE3(unsigned char* decrypt_data, long decrypt_data_length, const unsigned char* encrypt_data,
                              long encrypt_data_length, const unsigned char* crypto_key, int crypto_key_length,
                              const unsigned char* crypto_iv, int crypto_iv_length);
VESK_API int encrypt_BF(unsigned char* encrypt_data, long encrypt_data_length, const unsigned char* plain_data,
                        long plain_data_length, const unsigned char* crypto_key, int crypto_key_length,
                        const unsigned char* crypto_iv, int crypto_iv_length);
VESK_API int decrypt_BF(unsigned char* decrypt_data, long decrypt_data_length, const unsigned char* encrypt_data,
                        long encrypt_data_length, const unsigned char* crypto_key, int crypto_key_length,
                        const unsigned char* crypto_iv, int crypto_iv_length);

VESK_API int get_key_length_DES_EDE3();
VESK_API int get_iv_length_DES_EDE3();
VESK_API int get_key_length_BF();
VESK_API int get_iv_length_BF();

VESK_API void select_random_key(unsigned char* key, int b);
VESK_API void select_random_iv(unsigned char* iv, int b);

// RSA with OAEP padding (SHA-1, MGF1 with SHA-1, empty label). Only public-key
// encryption and private-key decryption are defined for OAEP; the other two
// directions always fail with -1.
VESK_API int RSA_public_encrypt_der(int flen, const unsigned char* from, unsigned char* to,
                                    const unsigned char* public_key, int public_key_length);
VESK_API int RSA_private_decrypt_der(int flen, const unsigned char* from, unsigned char* to,
                                     const unsigned char* private_key, int private_key_length);
VESK_API int RSA_private_encrypt_der(int flen, const unsigned char* from, unsigned char* to,
                                     const unsigned char* private_key, int private_key_length);
VESK_API int RSA_public_decrypt_der(int flen, const unsigned char* from, unsigned char* to,
                                    const unsigned char* public_key, int public_key_length);

// Generates a key pair of `bits` (at least 1024) with public exponent `e` and
// writes both halves as PKCS #1 DER. Each output buffer must hold 65535 bytes.
// Returns the sum of the two lengths, 0 when public_key is null, or -1.
VESK_API int RSA_generate_key_der(int bits, unsigned long e, unsigned char* private_key, int* private_key_length,
                                  unsigned char* public_key, int* public_key_length);

#endif
