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

// 0, 7 and 8 bytes of plaintext take padding of 8, 1 and 8 bytes. Triple-DES
// always reads 24 key bytes. Blowfish honours the given length (a
// non-positive one keeps the default 16): it repeats a short key over its
// schedule, so an 8-byte key K keys the cipher exactly as the 16-byte K || K
// the tool takes, while the same 8 bytes zero-padded to 16 are another key.
// With a zero IV the first block is plain Blowfish: the published 8-byte key
// vector FFFFFFFFFFFFFFFF / FFFFFFFFFFFFFFFF -> 51866FD5B85ECB8A.
TEST(SymmetricCbc, MatchesKnownAnswersAndRoundTrips)
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
        {encrypt_BF, decrypt_BF, kBfKey, 16, {}, FromHex("d9c0d842de39347d"), kIv},
        {encrypt_BF, decrypt_BF, kBfKey, 16, seven, FromHex("1a12542d1487e230"), kIv},
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
}

// A wrong key leaves no valid padding (the last block decrypts to ...9d under
// Triple-DES and ...a7 under Blowfish, as `openssl enc -d` reports "bad
// decrypt"); input that is not whole blocks, too small an output, null
// pointers and negative lengths are refused with nothing written; exactly
// enough room is enough.
TEST(SymmetricCbc, RefusalsWriteNothing)
{
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
