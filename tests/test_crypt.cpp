// The exported cipher functions: Triple-DES and Blowfish CBC, their lengths
// and random material; RSA with OAEP padding on PKCS #1 DER keys, key
// generation, and the key pair an application supplies for its listeners.
//
// Known answers were made with the openssl command-line tool, e.g.
//   openssl enc -des-ede3-cbc -K <key> -iv <iv>
//   openssl enc -bf-cbc -provider legacy -provider default -K <key> -iv <iv>
// and so were the fixed key pair and ciphertext in tests/data and the
// SubjectPublicKeyInfo prefix:
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
#include <openssl/provider.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "CryptFunction.h"
#include "crypto/crypto_context.h"
#include "crypto/rsa_key.h"
#include "crypto/server_key.h"
#include "raw_peer.h"

namespace {

using vesk_test::Bytes;
using vesk_test::operator+;

using CipherFunction = int (*)(unsigned char*, long, const unsigned char*, long, const unsigned char*, int,
                               const unsigned char*, int);

Bytes FromHex(const std::string& hex)
{
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

const Bytes kIv = FromHex("1234567890abcdef");
const Bytes kDesKey = FromHex("0123456789abcdeffedcba987654321089abcdef01234567");
const Bytes kBfKey = FromHex("00112233445566778899aabbccddeeff");
const Bytes kQuic = FromHex("5468652071756963");  // "The quic"
const Bytes kDesQuic = FromHex("c64e358b46fa685a8883bb25d31ab19b");
const Bytes kBfQuic = FromHex("18b4b37738cccba4ec90d297a9115f85");

// Runs `function` into a buffer of 64 bytes; its result, with what it wrote
// in `output`.
int RunCipher(CipherFunction function, const Bytes& input, const Bytes& key, int key_length, const Bytes& iv = kIv,
              Bytes* output = nullptr)
{
    Bytes written(64, 0xAA);
    const unsigned char none = 0;  // empty input still comes with a valid pointer
    const int result = function(written.data(), 64, input.empty() ? &none : input.data(),
                                static_cast<long>(input.size()), key.data(), key_length, iv.data(), 8);
    written.resize(result > 0 ? static_cast<std::size_t>(result) : 0);
    if (output != nullptr)
        *output = written;
    return result;
}

// 0, 7 and 8 bytes of plaintext take padding of 8, 1 and 8 bytes (the same
// padding for both ciphers). Triple-DES always reads 24 key bytes. Blowfish
// honours the given length (a non-positive one keeps the default 16): it
// repeats a short key over its schedule, so an 8-byte key K keys the cipher exactly as the 16-byte K || K
// the tool takes, while the same 8 bytes zero-padded to 16 are another key.
// With a zero IV the first block is plain Blowfish: the published 8-byte key
// vector FFFFFFFFFFFFFFFF / FFFFFFFFFFFFFFFF -> 51866FD5B85ECB8A.
TEST(SymmetricCbc, MatchesKnownAnswersAndRefusesWithoutWriting)
{
    const Bytes seven(kQuic.begin(), kQuic.end() - 1);
    const Bytes ones = FromHex("ffffffffffffffff");
    const struct {
        CipherFunction encrypt;
        CipherFunction decrypt;
        Bytes key;
        int key_length;
        Bytes plain;
        Bytes cipher;  // or its first block
        Bytes iv;
    } rows[] = {
        {encrypt_DES_EDE3, decrypt_DES_EDE3, kDesKey, 24, {}, FromHex("d91818b74c5d4075"), kIv},
        {encrypt_DES_EDE3, decrypt_DES_EDE3, kDesKey, 24, seven, FromHex("a5502e0b849be0d5"), kIv},
        {encrypt_DES_EDE3, decrypt_DES_EDE3, kDesKey, 24, kQuic, kDesQuic, kIv},
        {encrypt_DES_EDE3, decrypt_DES_EDE3, kDesKey, 16, kQuic, kDesQuic, kIv},
        {encrypt_DES_EDE3, decrypt_DES_EDE3, kDesKey, 0, kQuic, kDesQuic, kIv},
        {encrypt_BF, decrypt_BF, kBfKey, 16, kQuic, kBfQuic, kIv},
        {encrypt_BF, decrypt_BF, kBfKey, 0, kQuic, kBfQuic, kIv},
        {encrypt_BF, decrypt_BF, kBfKey, -5, kQuic, kBfQuic, kIv},
        {encrypt_BF, decrypt_BF, FromHex("f0e1d2c3b4a59687"), 8, kQuic, FromHex("d98512551ccd6bb4e1dd576c7dab5fa9"),
         kIv},
        {encrypt_BF, decrypt_BF, FromHex("f0e1d2c3b4a596870000000000000000"), 16, kQuic,
         FromHex("286ab8216b3b90697c79d903409e903c"), kIv},
        {encrypt_BF, decrypt_BF, ones, 8, ones, FromHex("51866fd5b85ecb8a"), Bytes(8, 0)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "key of " << row.key.size() << " bytes, length " << row.key_length
                                        << ", plaintext of " << row.plain.size());
        Bytes cipher;
        EXPECT_EQ(RunCipher(row.encrypt, row.plain, row.key, row.key_length, row.iv, &cipher),
                  static_cast<int>(row.plain.size() / 8 + 1) * 8);
        EXPECT_EQ(Bytes(cipher.begin(), cipher.begin() + static_cast<long>(row.cipher.size())), row.cipher);
        Bytes plain;
        EXPECT_EQ(RunCipher(row.decrypt, cipher, row.key, row.key_length, row.iv, &plain),
                  static_cast<int>(row.plain.size()));
        EXPECT_EQ(plain, row.plain);
    }

    // A wrong key leaves no valid padding (the last block decrypts to ...9d
    // under Triple-DES and ...a7 under Blowfish, as `openssl enc -d` reports
    // "bad decrypt"); input that is not whole blocks, too small an output,
    // null pointers and negative lengths are refused with nothing written;
    // exactly enough room is enough.
    EXPECT_EQ(RunCipher(decrypt_DES_EDE3, kDesQuic, FromHex("1123456789abcdeffedcba987654321089abcdef01234567"), 24),
              -1);
    EXPECT_EQ(RunCipher(decrypt_BF, kBfQuic, FromHex("01112233445566778899aabbccddeeff"), 16), -1);
    for (CipherFunction decrypt : {decrypt_BF, decrypt_DES_EDE3}) {
        EXPECT_EQ(RunCipher(decrypt, Bytes(12, 0x42), kDesKey, 24), -1);
        EXPECT_EQ(RunCipher(decrypt, Bytes(), kDesKey, 24), -1);
    }

    Bytes output(32, 0xAA);
    unsigned char* out = output.data();
    EXPECT_EQ(encrypt_BF(out, 15, kQuic.data(), 8, kBfKey.data(), 16, kIv.data(), 8), -1);
    EXPECT_EQ(decrypt_BF(out, 15, kBfQuic.data(), 16, kBfKey.data(), 16, kIv.data(), 8), -1);
    EXPECT_EQ(encrypt_DES_EDE3(out, 15, kQuic.data(), 8, kDesKey.data(), 24, kIv.data(), 8), -1);
    for (CipherFunction encrypt : {encrypt_BF, encrypt_DES_EDE3}) {
        EXPECT_EQ(encrypt(nullptr, 32, kQuic.data(), 8, kDesKey.data(), 24, kIv.data(), 8), -1);
        EXPECT_EQ(encrypt(out, 32, nullptr, 8, kDesKey.data(), 24, kIv.data(), 8), -1);
        EXPECT_EQ(encrypt(out, 32, kQuic.data(), 8, nullptr, 24, kIv.data(), 8), -1);
        EXPECT_EQ(encrypt(out, 32, kQuic.data(), 8, kDesKey.data(), 24, nullptr, 8), -1);
        EXPECT_EQ(encrypt(out, -1, kQuic.data(), 8, kDesKey.data(), 24, kIv.data(), 8), -1);
        EXPECT_EQ(encrypt(out, 32, kQuic.data(), -8, kDesKey.data(), 24, kIv.data(), 8), -1);
    }
    EXPECT_EQ(output, Bytes(32, 0xAA));

    EXPECT_EQ(encrypt_BF(out, 16, kQuic.data(), 8, kBfKey.data(), 16, kIv.data(), 8), 16);
    EXPECT_EQ(encrypt_BF(out, 8, kQuic.data(), 7, kBfKey.data(), 16, kIv.data(), 8), 8);
    EXPECT_EQ(decrypt_BF(out, 16, kBfQuic.data(), 16, kBfKey.data(), 16, kIv.data(), 8), 8);

    // The exported lengths; random material fills exactly what was asked.
    EXPECT_EQ(std::vector<int>(
                  {get_key_length_DES_EDE3(), get_iv_length_DES_EDE3(), get_key_length_BF(), get_iv_length_BF()}),
              std::vector<int>({24, 8, 16, 8}));
    for (auto select : {select_random_key, select_random_iv}) {
        Bytes first(32, 0);
        Bytes second(32, 0);
        select(first.data(), 24);
        select(second.data(), 24);
        EXPECT_NE(first, second);
        EXPECT_NE(Bytes(first.begin(), first.begin() + 24), Bytes(24, 0));
        EXPECT_EQ(Bytes(first.begin() + 24, first.end()), Bytes(8, 0));
        select(nullptr, 24);       // ignored
        select(first.data(), -1);  // ignored
    }
}

// Each test runs in its own process, so these are the first calls: the
// library's context is set up while several threads race for it. Failures
// then leave nothing on the application's OpenSSL error queue, and the legacy
// provider Blowfish needs stays out of the default context.
TEST(SymmetricCbc, ConcurrentFirstCallsLeaveTheApplicationsOpenSslStateAlone)
{
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (std::size_t t = 0; t < failures.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                Bytes cipher;
                const bool ok =
                    RunCipher(encrypt_BF, kQuic, kBfKey, 16) == 16 && RunCipher(decrypt_BF, kBfQuic, kBfKey, 16) == 8 &&
                    RunCipher(encrypt_DES_EDE3, kQuic, kDesKey, 24, kIv, &cipher) == 16 && cipher == kDesQuic;
                failures[t] += ok ? 0 : 1;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));

    ERR_clear_error();
    ASSERT_EQ(RunCipher(decrypt_BF, kBfQuic, FromHex("01112233445566778899aabbccddeeff"), 16), -1);
    EXPECT_EQ(RunCipher(encrypt_DES_EDE3, Bytes(3, 1), kDesKey, 16), 8);  // refused key length
    EXPECT_EQ(ERR_peek_error(), 0ul);
    EXPECT_EQ(OSSL_PROVIDER_available(vesk::crypto::LibraryContext(), "legacy"), 1);
    EXPECT_EQ(OSSL_PROVIDER_available(nullptr, "legacy"), 0);
}

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
// ciphertext the openssl tool made decrypts; what is refused gives -1.
TEST(RsaOaep, RoundTripsUpToModulusLengthMinus42AndRefusesWithMinusOne)
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

    // Damaged or short ciphertext, empty input, null arguments, keys that are
    // not exactly one PKCS #1 key of the right kind and the signature
    // directions all give -1, and leave nothing on OpenSSL's error queue.
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
// without writing the lengths; 1024 bits make a matching PKCS #1 pair (the
// handshake tests' raw servers show that such a pair works).
TEST(RsaKeyPair, GeneratedOrSuppliedLoadsAndServesThreadsDecodedOnce)
{
    using vesk::crypto::LoadServerKeyPair;
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
    // The private key's own public half and exponent are those given out.
    const auto generated = LoadServerKeyPair(private_der.data(), private_der.size());
    ASSERT_NE(generated, nullptr);
    EXPECT_EQ(generated->public_der, public_der);
    EXPECT_EQ(generated->exponent, 65537u);

    // A supplied pair is one whole PKCS #1 private key; its public half and
    // exponent are derived from it. A length beyond an int is refused before
    // the bytes are read (here one that wraps to the key's own length). Its
    // halves, decoded once, serve any number of operations from several
    // threads at once, with the results of the per-call functions.
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

    const auto decoded_private = RsaKey::DecodePrivate(kPrivateKey.data(), static_cast<int>(kPrivateKey.size()));
    const auto decoded_public = RsaKey::DecodePublic(kPublicKey.data(), static_cast<int>(kPublicKey.size()));
    ASSERT_NE(decoded_private, nullptr);
    ASSERT_NE(decoded_public, nullptr);
    Bytes plain(kModulusLength);
    EXPECT_EQ(decoded_public->Decrypt(kModulusLength, kExternalCiphertext.data(), plain.data()), -1)
        << "a public key decrypts nothing";
    EXPECT_EQ(decoded_private->Decrypt(kModulusLength, kExternalCiphertext.data(), plain.data()), 24);
    EXPECT_EQ(Slice(plain, 0, 24), Message(24));

    std::atomic<int> correct{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            const Bytes message = Message(24);
            for (int round = 0; round < 10; ++round) {
                Bytes cipher(kModulusLength);
                Bytes out(kModulusLength);
                if (decoded_public->Encrypt(24, message.data(), cipher.data()) == kModulusLength &&
                    decoded_private->Decrypt(kModulusLength, cipher.data(), out.data()) == 24 &&
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
