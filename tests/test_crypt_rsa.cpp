// RSA with OAEP padding on PKCS #1 DER keys, and key generation.
//
// The fixed key pair and ciphertext in tests/data and the SubjectPublicKeyInfo
// prefix were made outside the library with the openssl command-line tool:
//   openssl genrsa -out key.pem 1024
//   openssl rsa -in key.pem -traditional -outform DER -out rsa_private.der
//   openssl rsa -in key.pem -RSAPublicKey_out -outform DER -out rsa_public.der
//   openssl rsa -in key.pem -pubout -out spki.pem
//   openssl pkeyutl -encrypt -pubin -inkey spki.pem -pkeyopt rsa_padding_mode:oaep -in message.bin
//       -out rsa_oaep_24_bytes.bin
// (OAEP with SHA-1 and MGF1-SHA-1, the tool's default), where message.bin holds
// the 24 bytes 00 01 02 ... 17.
#include <gtest/gtest.h>

#include <openssl/err.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "CryptFunction.h"
#include "crypto/rsa_key.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes ReadData(const char* name)
{
    std::ifstream file(std::string(VESK_TEST_DATA_DIR) + "/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// PKCS #1 RSAPrivateKey and RSAPublicKey, 1024 bits, exponent 65537.
const Bytes kPrivateKey = ReadData("rsa_private.der");
const Bytes kPublicKey = ReadData("rsa_public.der");
// The 24 bytes 00..17 under kPublicKey.
const Bytes kExternalCiphertext = ReadData("rsa_oaep_24_bytes.bin");

// SubjectPublicKeyInfo header wrapping an RSAPublicKey of 140 bytes (the form
// `openssl rsa -pubout` writes): not a key of this system.
const Bytes kSpkiPrefix = {0x30, 0x81, 0x9f, 0x30, 0x0d, 0x06, 0x09, 0x2a, 0x86, 0x48, 0x86,
                           0xf7, 0x0d, 0x01, 0x01, 0x01, 0x05, 0x00, 0x03, 0x81, 0x8d, 0x00};

constexpr int kModulusLength = 128;
constexpr int kMaxPlainLength = kModulusLength - 42;

Bytes Message(std::size_t length)
{
    Bytes message(length);
    for (std::size_t i = 0; i < length; ++i) {
        message[i] = static_cast<unsigned char>(i);
    }
    return message;
}

int PublicEncrypt(const Bytes& plain, Bytes& cipher, const Bytes& key)
{
    cipher.assign(kModulusLength, 0);
    return RSA_public_encrypt_der(static_cast<int>(plain.size()), plain.data(), cipher.data(), key.data(),
                                  static_cast<int>(key.size()));
}

// Decrypts into a buffer of the largest OAEP plaintext followed by guard bytes;
// fails the test if the guard is touched.
int PrivateDecrypt(const Bytes& cipher, Bytes& plain, const Bytes& key)
{
    Bytes buffer(kMaxPlainLength + 16, 0xAA);
    const int result = RSA_private_decrypt_der(static_cast<int>(cipher.size()), cipher.data(), buffer.data(),
                                               key.data(), static_cast<int>(key.size()));
    EXPECT_EQ(Bytes(buffer.begin() + kMaxPlainLength, buffer.end()), Bytes(16, 0xAA));
    plain.assign(buffer.begin(), buffer.begin() + (result > 0 ? result : 0));
    return result;
}

TEST(RsaOaep, DecryptsCiphertextMadeByTheOpenSslTool)
{
    Bytes plain;
    EXPECT_EQ(PrivateDecrypt(kExternalCiphertext, plain, kPrivateKey), 24);
    EXPECT_EQ(plain, Message(24));
}

// OAEP is randomised; plaintext is limited to the modulus length minus 42.
TEST(RsaOaep, RoundTripsUpToModulusLengthMinus42)
{
    const Bytes key = Message(24);
    Bytes first;
    Bytes second;
    Bytes plain;
    ASSERT_EQ(PublicEncrypt(key, first, kPublicKey), kModulusLength);
    ASSERT_EQ(PublicEncrypt(key, second, kPublicKey), kModulusLength);
    EXPECT_NE(first, second);
    EXPECT_EQ(PrivateDecrypt(first, plain, kPrivateKey), 24);
    EXPECT_EQ(plain, key);
    EXPECT_EQ(PrivateDecrypt(second, plain, kPrivateKey), 24);
    EXPECT_EQ(plain, key);

    ASSERT_EQ(PublicEncrypt(Message(kMaxPlainLength), first, kPublicKey), kModulusLength);
    EXPECT_EQ(PrivateDecrypt(first, plain, kPrivateKey), kMaxPlainLength);
    EXPECT_EQ(plain, Message(kMaxPlainLength));
    EXPECT_EQ(PublicEncrypt(Message(kMaxPlainLength + 1), first, kPublicKey), -1);
}

// Damaged or short ciphertext, empty input, null arguments and the signature
// directions all give -1, and leave nothing on OpenSSL's error queue.
TEST(RsaOaep, RefusalsGiveMinusOne)
{
    ERR_clear_error();
    Bytes cipher = kExternalCiphertext;
    cipher[kModulusLength / 2] ^= 0x01;
    Bytes plain;
    EXPECT_EQ(PrivateDecrypt(cipher, plain, kPrivateKey), -1);
    EXPECT_EQ(PrivateDecrypt(Bytes(kExternalCiphertext.begin(), kExternalCiphertext.end() - 1), plain, kPrivateKey),
              -1);

    const Bytes from = Message(24);
    unsigned char to[kModulusLength];
    const int public_length = static_cast<int>(kPublicKey.size());
    const int private_length = static_cast<int>(kPrivateKey.size());
    EXPECT_EQ(RSA_public_encrypt_der(0, from.data(), to, kPublicKey.data(), public_length), -1);
    EXPECT_EQ(RSA_public_encrypt_der(-1, from.data(), to, kPublicKey.data(), public_length), -1);
    EXPECT_EQ(RSA_public_encrypt_der(24, nullptr, to, kPublicKey.data(), public_length), -1);
    EXPECT_EQ(RSA_public_encrypt_der(24, from.data(), nullptr, kPublicKey.data(), public_length), -1);
    EXPECT_EQ(RSA_public_encrypt_der(24, from.data(), to, nullptr, public_length), -1);
    EXPECT_EQ(RSA_public_encrypt_der(24, from.data(), to, kPublicKey.data(), 0), -1);
    EXPECT_EQ(RSA_private_decrypt_der(0, kExternalCiphertext.data(), to, kPrivateKey.data(), private_length), -1);
    EXPECT_EQ(RSA_private_decrypt_der(kModulusLength, kExternalCiphertext.data(), to, kPrivateKey.data(), 0), -1);
    EXPECT_EQ(RSA_private_encrypt_der(24, from.data(), to, kPrivateKey.data(), private_length), -1);
    EXPECT_EQ(RSA_public_decrypt_der(kModulusLength, kExternalCiphertext.data(), to, kPublicKey.data(), public_length),
              -1);
    EXPECT_EQ(PublicEncrypt(from, cipher, Bytes(kPublicKey.begin(), kPublicKey.end() - 1)), -1);
    EXPECT_EQ(ERR_peek_error(), 0ul);
}

TEST(RsaDerKeys, OnlyExactPkcs1KeysAreAccepted)
{
    const Bytes message = Message(24);
    Bytes cipher;
    Bytes plain;

    Bytes trailing = kPublicKey;
    trailing.push_back(0x00);
    EXPECT_EQ(PublicEncrypt(message, cipher, trailing), -1);
    EXPECT_EQ(PublicEncrypt(message, cipher, Bytes(kPublicKey.begin(), kPublicKey.end() - 1)), -1);
    Bytes spki = kSpkiPrefix;
    spki.insert(spki.end(), kPublicKey.begin(), kPublicKey.end());
    EXPECT_EQ(PublicEncrypt(message, cipher, spki), -1);
    EXPECT_EQ(PublicEncrypt(message, cipher, kPrivateKey), -1);

    trailing = kPrivateKey;
    trailing.push_back(0x00);
    EXPECT_EQ(PrivateDecrypt(kExternalCiphertext, plain, trailing), -1);
    EXPECT_EQ(PrivateDecrypt(kExternalCiphertext, plain, Bytes(kPrivateKey.begin(), kPrivateKey.end() - 1)), -1);
    EXPECT_EQ(PrivateDecrypt(kExternalCiphertext, plain, kPublicKey), -1);
}

class RsaKeyGeneration : public ::testing::Test {
protected:
    int Generate(int bits, unsigned long e)
    {
        return RSA_generate_key_der(bits, e, private_key.data(), &private_length, public_key.data(), &public_length);
    }

    Bytes private_key = Bytes(65535, 0);
    Bytes public_key = Bytes(65535, 0);
    int private_length = -7;
    int public_length = -7;
};

TEST_F(RsaKeyGeneration, MakesAWorkingPkcs1PairOf1024Bits)
{
    const int total = Generate(1024, 65537);
    ASSERT_EQ(total, private_length + public_length);

    // RSAPublicKey: SEQUENCE (137) { INTEGER (129: 00 + 128-byte modulus), INTEGER 65537 }.
    ASSERT_EQ(public_length, 140);
    const Bytes public_der(public_key.begin(), public_key.begin() + public_length);
    EXPECT_EQ(Bytes(public_der.begin(), public_der.begin() + 7), Bytes({0x30, 0x81, 0x89, 0x02, 0x81, 0x81, 0x00}));
    EXPECT_GE(public_der[7], 0x80);  // the modulus has all 1024 bits
    EXPECT_EQ(Bytes(public_der.end() - 5, public_der.end()), Bytes({0x02, 0x03, 0x01, 0x00, 0x01}));

    // RSAPrivateKey: SEQUENCE { INTEGER 0 (version), the same modulus, ... }.
    EXPECT_GT(private_length, 600);
    EXPECT_LT(private_length, 620);
    const Bytes private_der(private_key.begin(), private_key.begin() + private_length);
    EXPECT_EQ(Bytes(private_der.begin(), private_der.begin() + 2), Bytes({0x30, 0x82}));
    EXPECT_EQ(Bytes(private_der.begin() + 4, private_der.begin() + 7), Bytes({0x02, 0x01, 0x00}));
    EXPECT_EQ(Bytes(private_der.begin() + 7, private_der.begin() + 7 + 132),
              Bytes(public_der.begin() + 3, public_der.begin() + 3 + 132));

    Bytes cipher;
    Bytes plain;
    ASSERT_EQ(PublicEncrypt(Message(24), cipher, public_der), kModulusLength);
    EXPECT_EQ(PrivateDecrypt(cipher, plain, private_der), 24);
    EXPECT_EQ(plain, Message(24));
    EXPECT_EQ(PrivateDecrypt(kExternalCiphertext, plain, private_der), -1);  // another key
}

// A key decoded once serves any number of operations, from several threads
// at once, with the results of the per-call functions.
TEST(RsaKeyDecodedOnce, ServesConcurrentOperations)
{
    const auto private_key =
        vesk::crypto::RsaKey::DecodePrivate(kPrivateKey.data(), static_cast<int>(kPrivateKey.size()));
    const auto public_key = vesk::crypto::RsaKey::DecodePublic(kPublicKey.data(), static_cast<int>(kPublicKey.size()));
    ASSERT_NE(private_key, nullptr);
    ASSERT_NE(public_key, nullptr);

    Bytes plain(kModulusLength);
    EXPECT_EQ(
        public_key->Decrypt(static_cast<int>(kExternalCiphertext.size()), kExternalCiphertext.data(), plain.data()), -1)
        << "a public key decrypts nothing";

    std::vector<std::thread> threads;
    std::atomic<int> correct{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < 10; ++round) {
                const Bytes message = Message(24);
                Bytes cipher(kModulusLength);
                Bytes out(kModulusLength);
                if (public_key->Encrypt(24, message.data(), cipher.data()) != kModulusLength)
                    continue;
                if (private_key->Decrypt(kModulusLength, cipher.data(), out.data()) == 24 &&
                    std::equal(message.begin(), message.end(), out.begin()))
                    ++correct;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(correct.load(), 40);
    EXPECT_EQ(
        private_key->Decrypt(static_cast<int>(kExternalCiphertext.size()), kExternalCiphertext.data(), plain.data()),
        24);
}

// Fewer than 1024 bits, an unusable exponent or a missing output is refused,
// and a refused request writes no lengths.
TEST_F(RsaKeyGeneration, RefusedRequests)
{
    EXPECT_EQ(Generate(1023, 65537), -1);
    EXPECT_EQ(Generate(0, 65537), -1);
    EXPECT_EQ(RSA_generate_key_der(1024, 65537, nullptr, &private_length, public_key.data(), &public_length), -1);
    EXPECT_EQ(RSA_generate_key_der(1024, 65537, private_key.data(), nullptr, public_key.data(), &public_length), -1);
    EXPECT_EQ(RSA_generate_key_der(1024, 65537, private_key.data(), &private_length, nullptr, &public_length), 0);
    EXPECT_EQ(RSA_generate_key_der(1024, 65537, private_key.data(), &private_length, public_key.data(), nullptr), -1);
    EXPECT_EQ(private_length, -7);
    EXPECT_EQ(public_length, -7);
    EXPECT_EQ(Generate(1024, 4), -1);
    EXPECT_EQ(Generate(1024, 1), -1);
    EXPECT_EQ(Generate(1024, 0), -1);
}

}  // namespace
