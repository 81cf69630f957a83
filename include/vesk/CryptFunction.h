/// @file
/// Cipher primitives over plain byte buffers: Triple-DES and Blowfish in CBC
/// mode with PKCS #5 padding, random keys and IVs, and RSA with OAEP padding on
/// keys held as PKCS #1 DER.
///
/// Every function is stateless and thread-safe. Symmetric functions return the
/// number of bytes written, or -1; the output size is checked (ciphertext takes
/// 8 * (n / 8 + 1) bytes, plaintext at most the ciphertext length).
#ifndef VESK_CRYPT_FUNCTION_H
#define VESK_CRYPT_FUNCTION_H

#include "VeskTypedefNoneWin32.h"

/// @name Symmetric ciphers
/// Each call is one whole CBC run from `crypto_iv` (8 bytes are read; the IV
/// length argument is not used). Triple-DES reads a 24-byte key, Blowfish as
/// many bytes as `crypto_key_length` gives. -1 for null buffers, a
/// negative length, an output buffer too small, or (decrypting) ciphertext
/// that is not whole 8-byte blocks or whose padding is wrong.
/// @{

/// Encrypts `plain_data` with Triple-DES (EDE3) into `encrypt_data`: the
/// ciphertext length, or -1.
VESK_API int encrypt_DES_EDE3(unsigned char* encrypt_data, long encrypt_data_length, const unsigned char* plain_data,
                              long plain_data_length, const unsigned char* crypto_key, int crypto_key_length,
                              const unsigned char* crypto_iv, int crypto_iv_length);
/// Decrypts Triple-DES ciphertext into `decrypt_data`: the plaintext length,
/// or -1.
VESK_API int decrypt_DES_EDE3(unsigned char* decrypt_data, long decrypt_data_length, const unsigned char* encrypt_data,
                              long encrypt_data_length, const unsigned char* crypto_key, int crypto_key_length,
                              const unsigned char* crypto_iv, int crypto_iv_length);
/// Encrypts `plain_data` with Blowfish into `encrypt_data`: the ciphertext
/// length, or -1.
VESK_API int encrypt_BF(unsigned char* encrypt_data, long encrypt_data_length, const unsigned char* plain_data,
                        long plain_data_length, const unsigned char* crypto_key, int crypto_key_length,
                        const unsigned char* crypto_iv, int crypto_iv_length);
/// Decrypts Blowfish ciphertext into `decrypt_data`: the plaintext length, or
/// -1.
VESK_API int decrypt_BF(unsigned char* decrypt_data, long decrypt_data_length, const unsigned char* encrypt_data,
                        long encrypt_data_length, const unsigned char* crypto_key, int crypto_key_length,
                        const unsigned char* crypto_iv, int crypto_iv_length);
/// @}

/// Triple-DES's key length in bytes: 24.
VESK_API int get_key_length_DES_EDE3();
/// Triple-DES's IV length in bytes: 8.
VESK_API int get_iv_length_DES_EDE3();
/// Blowfish's default key length in bytes: 16.
VESK_API int get_key_length_BF();
/// Blowfish's IV length in bytes: 8.
VESK_API int get_iv_length_BF();

/// Fills `b` bytes of `key` from the cryptographic random generator; nothing
/// for a null buffer or `b` below 1.
VESK_API void select_random_key(unsigned char* key, int b);
/// Fills `b` bytes of `iv` as select_random_key() does.
VESK_API void select_random_iv(unsigned char* iv, int b);

/// @name RSA
/// RSA with OAEP padding (SHA-1, MGF1 with SHA-1, empty label). Only public-key
/// encryption and private-key decryption are defined for OAEP; the other two
/// directions always fail with -1. Keys are PKCS #1 DER (RSAPublicKey,
/// RSAPrivateKey); other encodings are refused with -1.
/// @{

/// Encrypts `flen` bytes (at most the modulus length minus 42) of `from`
/// into `to`, which takes the modulus length: the ciphertext length, or -1.
VESK_API int RSA_public_encrypt_der(int flen, const unsigned char* from, unsigned char* to,
                                    const unsigned char* public_key, int public_key_length);
/// Decrypts `flen` bytes of ciphertext into `to`, which takes the modulus
/// length minus 42: the plaintext length, or -1.
VESK_API int RSA_private_decrypt_der(int flen, const unsigned char* from, unsigned char* to,
                                     const unsigned char* private_key, int private_key_length);
/// Not defined for OAEP: always -1.
VESK_API int RSA_private_encrypt_der(int flen, const unsigned char* from, unsigned char* to,
                                     const unsigned char* private_key, int private_key_length);
/// Not defined for OAEP: always -1.
VESK_API int RSA_public_decrypt_der(int flen, const unsigned char* from, unsigned char* to,
                                    const unsigned char* public_key, int public_key_length);

/// @}

/// Generates a key pair of `bits` (at least 1024) with public exponent `e` and
/// writes both halves as PKCS #1 DER. Each output buffer must hold 65535 bytes.
/// Returns the sum of the two lengths, 0 when public_key is null, or -1.
VESK_API int RSA_generate_key_der(int bits, unsigned long e, unsigned char* private_key, int* private_key_length,
                                  unsigned char* public_key, int* public_key_length);

#endif
