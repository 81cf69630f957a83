// RSA with OAEP padding on PKCS #1 DER keys, key generation, and the key pair
// an application supplies for its listeners.
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

#include <atomic>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "CryptFunction.h"
#include "crypto/rsa_key.h"
#include "crypto/server_key.h"
#include "raw_peer.h"

namespace {

using vesk_test::Bytes;
using vesk_test::operator+;

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

// The bytes 00 01 02 ... of the given length.
Bytes Message(std::size_t length)
{
    Bytes message(length);
    std::iota(message.begin(), message.end(), 0);
    return message;
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t to)
{
    return Bytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(to));
}

// The ciphertext, or nothing when refused.
Bytes PublicEncrypt(const Bytes& plain, const Bytes& key)
{
    Bytes cipher(kModulusLength);
    const int result = RSA_public_encrypt_der(static_cast<int>(plain.size()), plain.data(), cipher.data(), key.data(),
                                              static_cast<int>(key.size()));
    EXPECT_TRUE(result == -1 || result == kModulusLength) << result;
    return result == kModulusLength ? cipher : Bytes();
}

// Decrypts into a buffer of the largest OAEP plaintext followed by guard bytes
// that must stay untouched; the result, with the plaintext in `plain`.
int PrivateDecrypt(const Bytes& cipher, const Bytes& key, Bytes* plain = nullptr)
{
    Bytes buffer(kMaxPlainLength + 16, 0xAA);
    const int result = RSA_private_decrypt_der(static_cast<int>(cipher.size()), cipher.data(), buffer.data(),
                                               key.data(), static_cast<int>(key.size()));
    EXPECT_EQ(Slice(buffer, kMaxPlainLength, buffer.size()), Bytes(16, 0xAA));
    if (plain != nullptr)
        *plain = Slice(buffer, 0, result > 0 ? static_cast<std::size_t>(result) : 0);
    return result;
}

// OAEP is randomised; plaintext is limited to the modulus length minus 42;
// ciphertext the openssl tool made decrypts.
TEST(RsaOaep, RoundTripsUpToModulusLengthMinus42)
{
    Bytes plain;
    EXPECT_EQ(PrivateDecrypt(kExternalCiphertext, kPrivateKey, &plain), 24);
    EXPECT_EQ(plain, Message(24));

    EXPECT_NE(PublicEncrypt(Message(24), kPublicKey), PublicEncrypt(Message(24), kPublicKey));
    for (const std::size_t length : {1, 24, kMaxPlainLength}) {
        EXPECT_EQ(PrivateDecrypt(PublicEncrypt(Message(length), kPublicKey), kPrivateKey, &plain),
                  static_cast<int>(length));
        EXPECT_EQ(plain, Message(length));
    }
    EXPECT_EQ(PublicEncrypt(Message(kMaxPlainLength + 1), kPublicKey), Bytes());
}

// Damaged or short ciphertext, empty input, null arguments, keys that are not
// exactly one PKCS #1 key of the right kind and the signature directions all
// give -1, and leave nothing on OpenSSL's error queue.
TEST(RsaOaep, RefusalsGiveMinusOne)
{
    ERR_clear_error();
    Bytes damaged = kExternalCiphertext;
    damaged[kModulusLength / 2] ^= 0x01;
    EXPECT_EQ(PrivateDecrypt(damaged, kPrivateKey), -1);
    EXPECT_EQ(PrivateDecrypt(Slice(kExternalCiphertext, 0, kModulusLength - 1), kPrivateKey), -1);

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

    for (const Bytes& key :
         {kPublicKey + Bytes{0}, Slice(kPublicKey, 0, kPublicKey.size() - 1), kSpkiPrefix + kPublicKey, kPrivateKey})
        EXPECT_EQ(PublicEncrypt(from, key), Bytes());
    for (const Bytes& key : {kPrivateKey + Bytes{0}, Slice(kPrivateKey, 0, kPrivateKey.size() - 1), kPublicKey})
        EXPECT_EQ(PrivateDecrypt(kExternalCiphertext, key), -1);
    EXPECT_EQ(ERR_peek_error(), 0ul);
}

// Fewer than 1024 bits, an unusable exponent or a missing output is refused
// without writing the lengths; 1024 bits make a working PKCS #1 pair.
TEST(RsaKeyGeneration, MakesAWorkingPkcs1PairOf1024Bits)
{
    Bytes private_key(65535, 0);
    Bytes public_key(65535, 0);
    int private_length = -7;
    int public_length = -7;
    const auto generate = [&](int bits, unsigned long exponent) {
        return RSA_generate_key_der(bits, exponent, private_key.data(), &private_length, public_key.data(),
                                    &public_length);
    };
    for (const auto& [bits, exponent] :
         std::vector<std::pair<int, unsigned long>>{{1023, 65537}, {0, 65537}, {1024, 4}, {1024, 1}, {1024, 0}})
        EXPECT_EQ(generate(bits, exponent), -1) << bits << " bits, exponent " << exponent;
    EXPECT_EQ(RSA_generate_key_der(1024, 65537, nullptr, &private_length, public_key.data(), &public_length), -1);
    EXPECT_EQ(RSA_generate_key_der(1024, 65537, private_key.data(), nullptr, public_key.data(), &public_length), -1);
    EXPECT_EQ(RSA_generate_key_der(1024, 65537, private_key.data(), &private_length, nullptr, &public_length), 0);
    EXPECT_EQ(RSA_generate_key_der(1024, 65537, private_key.data(), &private_length, public_key.data(), nullptr), -1);
    EXPECT_EQ(std::make_pair(private_length, public_length), std::make_pair(-7, -7));

    const int total = generate(1024, 65537);
    ASSERT_EQ(total, private_length + public_length);
    // RSAPublicKey: SEQUENCE (137) { INTEGER (129: 00 + 128-byte modulus), INTEGER (3) }.
    ASSERT_EQ(public_length, 140);
    const Bytes public_der = Slice(public_key, 0, 140);
    const Bytes private_der = Slice(private_key, 0, static_cast<std::size_t>(private_length));
    // The private key's own public half, exponent and modulus length are those given out.
    const auto pair = vesk::crypto::LoadServerKeyPair(private_der.data(), private_der.size());
    ASSERT_NE(pair, nullptr);
    EXPECT_EQ(pair->public_der, public_der);
    EXPECT_EQ(pair->exponent, 65537u);
    EXPECT_EQ(pair->modulus_length, kModulusLength);
    Bytes plain;
    EXPECT_EQ(PrivateDecrypt(PublicEncrypt(Message(24), public_der), private_der, &plain), 24);
    EXPECT_EQ(plain, Message(24));
    EXPECT_EQ(PrivateDecrypt(kExternalCiphertext, private_der), -1);  // another key
}

// A supplied pair is one whole PKCS #1 private key; its public half and
// exponent are derived from it. A length beyond an int is refused before the
// bytes are read (here one that wraps to the key's own length). Its halves,
// decoded once, serve any number of operations from several threads at once,
// with the results of the per-call functions.
TEST(ServerKeyPair, LoadsOnlyAWholePrivateKeyDecodedOnceForAllThreads)
{
    using vesk::crypto::LoadServerKeyPair;
    using vesk::crypto::RsaKey;
    EXPECT_EQ(LoadServerKeyPair(nullptr, kPrivateKey.size()), nullptr);
    EXPECT_EQ(LoadServerKeyPair(kPrivateKey.data(), 0), nullptr);
    EXPECT_EQ(LoadServerKeyPair(kPrivateKey.data(), (std::size_t{1} << 32) + kPrivateKey.size()), nullptr);
    EXPECT_EQ(LoadServerKeyPair(kPublicKey.data(), kPublicKey.size()), nullptr);
    const auto pair = LoadServerKeyPair(kPrivateKey.data(), kPrivateKey.size());
    ASSERT_NE(pair, nullptr);
    EXPECT_EQ(pair->private_der, kPrivateKey);
    EXPECT_EQ(pair->public_der, kPublicKey);
    EXPECT_EQ(pair->exponent, 65537u);
    EXPECT_EQ(pair->modulus_length, kModulusLength);

    const auto private_key = RsaKey::DecodePrivate(kPrivateKey.data(), static_cast<int>(kPrivateKey.size()));
    const auto public_key = RsaKey::DecodePublic(kPublicKey.data(), static_cast<int>(kPublicKey.size()));
    ASSERT_NE(private_key, nullptr);
    ASSERT_NE(public_key, nullptr);
    Bytes plain(kModulusLength);
    EXPECT_EQ(public_key->Decrypt(kModulusLength, kExternalCiphertext.data(), plain.data()), -1)
        << "a public key decrypts nothing";
    EXPECT_EQ(private_key->Decrypt(kModulusLength, kExternalCiphertext.data(), plain.data()), 24);
    EXPECT_EQ(Slice(plain, 0, 24), Message(24));

    std::atomic<int> correct{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            const Bytes message = Message(24);
            for (int round = 0; round < 10; ++round) {
                Bytes cipher(kModulusLength);
                Bytes out(kModulusLength);
                if (public_key->Encrypt(24, message.data(), cipher.data()) == kModulusLength &&
                    private_key->Decrypt(kModulusLength, cipher.data(), out.data()) == 24 &&
                    Slice(out, 0, 24) == message)
                    ++correct;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(correct.load(), 40);
}

}  // namespace
