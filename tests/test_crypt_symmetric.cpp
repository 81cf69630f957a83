// Triple-DES and Blowfish CBC functions, their lengths and random material.
// Known answers were made with the openssl command-line tool, e.g.
//   openssl enc -des-ede3-cbc -K <key> -iv <iv>
//   openssl enc -bf-cbc -provider legacy -provider default -K <key> -iv <iv>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/provider.h>

#include <string>
#include <thread>
#include <vector>

#include "CryptFunction.h"
#include "crypto/crypto_context.h"

namespace {

using Bytes = std::vector<unsigned char>;
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

// Runs `function` into a buffer of `capacity` bytes; the bytes written, or
// nothing with `result` set to the failure.
Bytes RunCipher(CipherFunction function, const Bytes& input, const Bytes& key, int key_length, const Bytes& iv,
                long capacity, int* result)
{
    Bytes output(static_cast<std::size_t>(capacity) + 1, 0xAA);
    const unsigned char none = 0;  // empty input still comes with a valid pointer
    *result = function(output.data(), capacity, input.empty() ? &none : input.data(), static_cast<long>(input.size()),
                       key.data(), key_length, iv.data(), static_cast<int>(iv.size()));
    output.resize(*result > 0 ? static_cast<std::size_t>(*result) : 0);
    return output;
}

int ResultOf(CipherFunction function, const Bytes& input, const Bytes& key, int key_length = 24)
{
    int result = 0;
    RunCipher(function, input, key, key_length, kIv, 64, &result);
    return result;
}

// 0, 7 and 8 bytes of plaintext: padding of 8, 1 and 8 bytes.
TEST(SymmetricCbc, MatchesKnownAnswersAndRoundTrips)
{
    const struct {
        CipherFunction encrypt;
        CipherFunction decrypt;
        const Bytes& key;
        std::string plain;
        Bytes cipher;
    } rows[] = {
        {encrypt_DES_EDE3, decrypt_DES_EDE3, kDesKey, "", FromHex("d91818b74c5d4075")},
        {encrypt_DES_EDE3, decrypt_DES_EDE3, kDesKey, "The qui", FromHex("a5502e0b849be0d5")},
        {encrypt_DES_EDE3, decrypt_DES_EDE3, kDesKey, "The quic", kDesQuic},
        {encrypt_BF, decrypt_BF, kBfKey, "", FromHex("d9c0d842de39347d")},
        {encrypt_BF, decrypt_BF, kBfKey, "The qui", FromHex("1a12542d1487e230")},
        {encrypt_BF, decrypt_BF, kBfKey, "The quic", kBfQuic},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE("key of " + std::to_string(row.key.size()) + " bytes, \"" + row.plain + "\"");
        const Bytes plain(row.plain.begin(), row.plain.end());
        const int key_length = static_cast<int>(row.key.size());
        int result = 0;
        EXPECT_EQ(RunCipher(row.encrypt, plain, row.key, key_length, kIv, 64, &result), row.cipher);
        EXPECT_EQ(result, static_cast<int>(row.cipher.size()));
        EXPECT_EQ(RunCipher(row.decrypt, row.cipher, row.key, key_length, kIv, 64, &result), plain);
        EXPECT_EQ(result, static_cast<int>(plain.size()));
    }
}

// Triple-DES always reads 24 key bytes. Blowfish honours the given length
// (a non-positive one keeps the default 16): it repeats a short key over its
// schedule, so an 8-byte key K keys the cipher exactly as the 16-byte K || K
// the tool takes, while the same 8 bytes zero-padded to 16 are another key.
// With a zero IV the first block is plain Blowfish: the published 8-byte key
// vector FFFFFFFFFFFFFFFF / FFFFFFFFFFFFFFFF -> 51866FD5B85ECB8A.
TEST(SymmetricCbc, KeyLengthRules)
{
    const Bytes ones = FromHex("ffffffffffffffff");
    const struct {
        CipherFunction encrypt;
        Bytes key;
        int key_length;
        Bytes plain;
        Bytes iv;
        Bytes expected_prefix;
    } rows[] = {
        {encrypt_DES_EDE3, kDesKey, 24, kQuic, kIv, kDesQuic},
        {encrypt_DES_EDE3, kDesKey, 16, kQuic, kIv, kDesQuic},
        {encrypt_DES_EDE3, kDesKey, 0, kQuic, kIv, kDesQuic},
        {encrypt_BF, FromHex("f0e1d2c3b4a59687"), 8, kQuic, kIv, FromHex("d98512551ccd6bb4e1dd576c7dab5fa9")},
        {encrypt_BF, FromHex("f0e1d2c3b4a596870000000000000000"), 16, kQuic, kIv,
         FromHex("286ab8216b3b90697c79d903409e903c")},
        {encrypt_BF, kBfKey, 0, kQuic, kIv, kBfQuic},
        {encrypt_BF, kBfKey, -5, kQuic, kIv, kBfQuic},
        {encrypt_BF, ones, 8, ones, FromHex("0000000000000000"), FromHex("51866fd5b85ecb8a")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE("key of " + std::to_string(row.key.size()) + " bytes, length " + std::to_string(row.key_length));
        int result = 0;
        const Bytes cipher = RunCipher(row.encrypt, row.plain, row.key, row.key_length, row.iv, 16, &result);
        ASSERT_EQ(result, 16);
        EXPECT_EQ(Bytes(cipher.begin(), cipher.begin() + static_cast<long>(row.expected_prefix.size())),
                  row.expected_prefix);
    }
}

// A wrong key leaves no valid padding (the last block decrypts to ...9d under
// Triple-DES and ...a7 under Blowfish, as `openssl enc -d` reports "bad
// decrypt"); input that is not whole blocks, too small an output, null
// pointers and negative lengths are refused with nothing written; exactly
// enough room is enough.
TEST(SymmetricCbc, RefusalsWriteNothing)
{
    EXPECT_EQ(ResultOf(decrypt_DES_EDE3, kDesQuic, FromHex("1123456789abcdeffedcba987654321089abcdef01234567")), -1);
    EXPECT_EQ(ResultOf(decrypt_BF, kBfQuic, FromHex("01112233445566778899aabbccddeeff"), 16), -1);
    for (CipherFunction decrypt : {decrypt_BF, decrypt_DES_EDE3}) {
        EXPECT_EQ(ResultOf(decrypt, Bytes(12, 0x42), kDesKey), -1);
        EXPECT_EQ(ResultOf(decrypt, Bytes(), kDesKey), -1);
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
}

// Each test runs in its own process, so these are the first calls: the
// library's context is set up while several threads race for it.
TEST(SymmetricCbc, ConcurrentCallsFromTheFirstOn)
{
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (std::size_t t = 0; t < failures.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                unsigned char cipher[16];
                unsigned char back[16];
                const bool ok =
                    encrypt_BF(cipher, 16, kQuic.data(), 8, kBfKey.data(), 16, kIv.data(), 8) == 16 &&
                    decrypt_BF(back, 16, cipher, 16, kBfKey.data(), 16, kIv.data(), 8) == 8 &&
                    encrypt_DES_EDE3(cipher, 16, kQuic.data(), 8, kDesKey.data(), 24, kIv.data(), 8) == 16 &&
                    Bytes(cipher, cipher + 16) == kDesQuic;
                failures[t] += ok ? 0 : 1;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

// Failures leave nothing on the application's OpenSSL error queue, and the
// legacy provider Blowfish needs stays out of the default context.
TEST(SymmetricCbc, OpenSslStateOfTheApplicationIsLeftAlone)
{
    ERR_clear_error();
    ASSERT_EQ(ResultOf(decrypt_BF, kBfQuic, FromHex("01112233445566778899aabbccddeeff"), 16), -1);
    EXPECT_EQ(ResultOf(encrypt_DES_EDE3, Bytes(3, 1), kDesKey, 16), 8);  // refused key length
    EXPECT_EQ(ERR_peek_error(), 0ul);
    EXPECT_EQ(OSSL_PROVIDER_available(vesk::crypto::LibraryContext(), "legacy"), 1);
    EXPECT_EQ(OSSL_PROVIDER_available(nullptr, "legacy"), 0);
}

// The exported lengths; random material fills exactly what was asked.
TEST(RandomMaterial, FillsExactlyTheRequestedBytes)
{
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

}  // namespace
