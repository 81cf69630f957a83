// The raw peers of the loopback tests: a record encoder and decoder written
// from the protocol alone, the exported ciphers used as record ciphers, and a
// raw client that plays the handshake against the library's listener. Only
// the exported cipher functions are shared with the library.
#ifndef VESK_TESTS_RAW_PEER_H
#define VESK_TESTS_RAW_PEER_H

#include <cstdint>
#include <cstring>
#include <optional>

#include "CryptFunction.h"
#include "VeskMessageSystem.h"
#include "VeskNetworkSystem.h"
#include "test_support.h"

namespace vesk_test {

using Bytes = std::vector<unsigned char>;
using VeskNetworkSystem::CRYPTO_ALGORITHM_3DES;
using VeskNetworkSystem::CRYPTO_ALGORITHM_BLOWFISH;
using VeskNetworkSystem::CRYPTO_ALGORITHM_NONE;
using VeskNetworkSystem::eCryptoAlgorithm;

// --- the encoder ---

inline Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes Be16(size_t value)
{
    return {static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
}

inline Bytes Be24(size_t value)
{
    return {static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 8),
            static_cast<unsigned char>(value)};
}

inline Bytes Record(unsigned char type, const Bytes& body)
{
    return Bytes{type, 2, 0} + Be24(body.size()) + body;
}

// A handshake record whose header claims `claimed` body bytes.
inline Bytes MessageClaiming(unsigned char type, size_t claimed, const Bytes& body)
{
    return Record(1, Bytes{type} + Be24(claimed) + body);
}

inline Bytes Message(unsigned char type, const Bytes& body)
{
    return MessageClaiming(type, body.size(), body);
}

inline Bytes ClientHello(const Bytes& offered)
{
    return Message(0, Be16(offered.size()) + offered);
}
inline Bytes ServerHello(unsigned char algorithm)
{
    return Message(1, {algorithm});
}
inline Bytes ServerKeyExchange(const Bytes& key, const Bytes& exponent, const Bytes& trailer = {})
{
    return Message(2, Be16(key.size()) + key + Be16(exponent.size()) + exponent + trailer);
}
inline Bytes ServerHelloDone()
{
    return Message(3, {});
}
inline Bytes ClientKeyExchange(const Bytes& key, const Bytes& iv)
{
    return Message(4, Be16(key.size()) + key + Be16(iv.size()) + iv);
}
inline Bytes ChangeCipherSpec(unsigned char data = 1)
{
    return Record(2, {data});
}

inline const Bytes kStandardExponent = {0x01, 0x00, 0x01, 0x00};
inline const Bytes kFinishMessage = {5, 0, 0, 0};

// --- the exported ciphers as record ciphers ---

inline int KeyLength(eCryptoAlgorithm algorithm)
{
    return algorithm == CRYPTO_ALGORITHM_3DES ? 24 : algorithm == CRYPTO_ALGORITHM_BLOWFISH ? 16 : 0;
}

// The input encrypted or decrypted (unchanged without a cipher), or nothing
// when the cipher refuses it.
inline std::optional<Bytes> CipherRecordBody(bool encrypt, eCryptoAlgorithm algorithm, const Bytes& key,
                                             const Bytes& iv, const Bytes& input)
{
    if (algorithm == CRYPTO_ALGORITHM_NONE)
        return input;
    const bool des = algorithm == CRYPTO_ALGORITHM_3DES;
    const auto run = encrypt ? (des ? encrypt_DES_EDE3 : encrypt_BF) : (des ? decrypt_DES_EDE3 : decrypt_BF);
    Bytes out(input.size() + 8);
    const int n = run(out.data(), static_cast<long>(out.size()), input.data(), static_cast<long>(input.size()),
                      key.data(), static_cast<int>(key.size()), iv.data(), static_cast<int>(iv.size()));
    if (n < 0)
        return std::nullopt;
    out.resize(static_cast<size_t>(n));
    return out;
}

inline Bytes Encrypt(eCryptoAlgorithm algorithm, const Bytes& key, const Bytes& iv, const Bytes& plain)
{
    return CipherRecordBody(true, algorithm, key, iv, plain).value_or(Bytes());
}

inline std::optional<Bytes> Decrypt(eCryptoAlgorithm algorithm, const Bytes& key, const Bytes& iv, const Bytes& body)
{
    return CipherRecordBody(false, algorithm, key, iv, body);
}

inline Bytes Random(size_t n)
{
    Bytes bytes(n);
    select_random_key(bytes.data(), static_cast<int>(n));
    return bytes;
}

inline Bytes RsaEncrypt(const Bytes& plain, const Bytes& public_key)
{
    Bytes out(1024);
    const int n = RSA_public_encrypt_der(static_cast<int>(plain.size()), plain.data(), out.data(), public_key.data(),
                                         static_cast<int>(public_key.size()));
    out.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return out;
}

// --- the decoder ---

struct WireRecord {
    unsigned char type = 0;
    Bytes body;
    Bytes wire;  // header and body as they travelled
};

// Reads a field with a 2-byte length at *at, staying within the body.
inline bool TakeField(const Bytes& body, size_t* at, Bytes* field)
{
    if (body.size() - *at < 2)
        return false;
    const size_t length = static_cast<size_t>(body[*at]) << 8 | body[*at + 1];
    if (body.size() - *at - 2 < length)
        return false;
    const auto begin = body.begin() + static_cast<std::ptrdiff_t>(*at + 2);
    field->assign(begin, begin + static_cast<std::ptrdiff_t>(length));
    *at += 2 + length;
    return true;
}

// The body of a handshake message of the given type that fills its record.
inline std::optional<Bytes> ParseMessage(const Bytes& record_body, unsigned char type)
{
    if (record_body.size() < 4 || record_body[0] != type)
        return std::nullopt;
    const size_t claimed =
        static_cast<size_t>(record_body[1]) << 16 | static_cast<size_t>(record_body[2]) << 8 | record_body[3];
    if (claimed != record_body.size() - 4)
        return std::nullopt;
    return Bytes(record_body.begin() + 4, record_body.end());
}

// --- raw sockets ---

inline std::optional<WireRecord> ReadRecord(int fd)
{
    const Bytes header = ReadBytes(fd, 6);
    if (header.size() != 6)
        return std::nullopt;
    const size_t length = static_cast<size_t>(header[3]) << 16 | static_cast<size_t>(header[4]) << 8 | header[5];
    const Bytes body = ReadBytes(fd, length);
    if (body.size() != length)
        return std::nullopt;
    return WireRecord{header[0], body, header + body};
}

inline bool NothingToRead(int fd, int milliseconds = 150)
{
    pollfd waiting{fd, POLLIN, 0};
    return poll(&waiting, 1, milliseconds) == 0;
}

inline sockaddr_in Loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A socket connected to the loopback port; bound first to a local address
// of 127/8 when one is given.
inline int ConnectTo(int port, in_addr_t local_address = INADDR_ANY)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local = Loopback(0);
    local.sin_addr.s_addr = htonl(local_address);
    if (local_address != INADDR_ANY) {
        EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local), 0);
    }
    const sockaddr_in address = Loopback(port);
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    return fd;
}

// A login request as it travels, header first.
inline Bytes LoginRequest(const char* uid, const char* passwd)
{
    VeskMessageSystem::tagMessageDataUserAuthRequest request{};
    request.m_header.m_type = VeskMessageSystem::VESKMESSYS_MESSAGE_TYPE_USER_AUTH_REQUSET;
    request.m_header.m_size = sizeof request;
    std::strncpy(request.m_uid, uid, sizeof request.m_uid - 1);
    std::strncpy(request.m_passwd, passwd, sizeof request.m_passwd - 1);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&request);
    return Bytes(bytes, bytes + sizeof request);
}

// --- raw peers ---

// What both raw peers share: the socket, the cipher and the agreed key.
struct RawPeer {
    RawPeer(int socket, eCryptoAlgorithm cipher) : fd(socket), algorithm(cipher) {}

    int fd;
    eCryptoAlgorithm algorithm;
    Bytes key;
    Bytes iv;

    bool ReadRecords(int count, std::vector<WireRecord>* records) const
    {
        for (int i = 0; i < count; ++i) {
            auto record = ReadRecord(fd);
            if (!record)
                return false;
            records->push_back(*record);
        }
        return true;
    }
    Bytes Finish() const { return Record(1, Encrypt(algorithm, key, iv, kFinishMessage)); }
    // A ChangeCipherSpec, then a Finish under the agreed key, end the records.
    bool EndsWithSwitchAndFinish(const std::vector<WireRecord>& records) const
    {
        if (records.size() < 2 || records[records.size() - 2].wire != ChangeCipherSpec() || records.back().type != 1)
            return false;
        return Decrypt(algorithm, key, iv, records.back().body) == std::optional<Bytes>(kFinishMessage);
    }
    unsigned char DataType() const { return algorithm == CRYPTO_ALGORITHM_NONE ? 0 : 3; }
    Bytes DataRecord(const Bytes& payload) const { return Record(DataType(), Encrypt(algorithm, key, iv, payload)); }
    void SendData(const Bytes& payload) const { WriteAll(fd, DataRecord(payload)); }
    std::optional<Bytes> ReadData() const
    {
        auto record = ReadRecord(fd);
        if (!record || record->type != DataType())
            return std::nullopt;
        return Decrypt(algorithm, key, iv, record->body);
    }
};

// Plays the client against the library's listener.
struct RawClientPeer : RawPeer {
    explicit RawClientPeer(int socket) : RawPeer(socket, CRYPTO_ALGORITHM_NONE) {}

    std::vector<WireRecord> flight_two;
    Bytes server_key;

    bool ReadFlightTwo()
    {
        std::vector<WireRecord> records;
        return ReadRecords(3, &records) && TakeFlightTwo(records);
    }

    // A ClientHello offering every cipher, answered by flight 2.
    bool Hello()
    {
        WriteAll(fd, ClientHello({0, 1, 2}));
        return ReadFlightTwo();
    }

    // The whole handshake, up to the server's Finish.
    bool Handshake()
    {
        if (!Hello())
            return false;
        WriteAll(fd, FlightThree());
        std::vector<WireRecord> flight_four;
        return ReadFlightFour(&flight_four);
    }

    // ServerHello, ServerKeyExchange and ServerHelloDone, taken apart.
    bool TakeFlightTwo(const std::vector<WireRecord>& records)
    {
        flight_two = records;
        const auto hello = ParseMessage(records[0].body, 1);
        const auto exchange = ParseMessage(records[1].body, 2);
        const auto done = ParseMessage(records[2].body, 3);
        if (!hello || hello->size() != 1 || !exchange || !done || !done->empty())
            return false;
        algorithm = static_cast<eCryptoAlgorithm>(hello->front());
        Bytes exponent;
        size_t at = 0;
        return TakeField(*exchange, &at, &server_key) && TakeField(*exchange, &at, &exponent);
    }

    // A fresh key and IV for the chosen cipher under the server's key, the
    // switch and the Finish.
    Bytes FlightThree()
    {
        Bytes flight;
        key.clear();
        iv.clear();
        if (KeyLength(algorithm) > 0) {
            key = Random(static_cast<size_t>(KeyLength(algorithm)));
            iv = Random(8);
            flight = ClientKeyExchange(RsaEncrypt(key, server_key), RsaEncrypt(iv, server_key));
        }
        return flight + ChangeCipherSpec() + Finish();
    }

    bool ReadFlightFour(std::vector<WireRecord>* records) const
    {
        return ReadRecords(2, records) && EndsWithSwitchAndFinish(*records);
    }
};

}  // namespace vesk_test

#endif
