// The handshake over real loopback sockets. Raw peers (raw_peer.h, and the
// raw server below) play the other role with their own record encoder and
// decoder, written from the protocol alone; only the exported cipher
// functions are shared with the library. Persistent server keys, pinned
// clients and known servers are checked at the end, through the public
// interface. Every handshake message a session refuses is a row here, with
// the reason it fails for; the hostile-peer table plays one per end reason.
#include <cctype>
#include <fstream>
#include <iterator>
#include <tuple>

#include "message_fixture.h"
#include "record/failure_reason.h"
#include "session_fixture.h"

using namespace VeskNetworkSystem;

// The listener's key material, which only a test may replace.
struct VeskNetworkTestAccess {
    static CVeskNetworkSessionListen* Listener(CVeskNetworkSessionManager& manager)
    {
        CVeskNetworkSessionListen* found = nullptr;
        manager.m_SessionListenArray.ForEach([&found](CVeskNetworkSessionListen& listener) {
            if (listener.IsUsed() && found == nullptr)
                found = &listener;
        });
        return found;
    }
    static void DropPublicKey(CVeskNetworkSessionListen& listener) { listener.m_RSAPublicKey.Clear(); }
    static vesk::net::FailureReason Failure(const CVeskNetworkSession& session)
    {
        return session.m_FailureReason.load();
    }
};

namespace {

using namespace vesk_test;
using Access = VeskNetworkTestAccess;
using Why = vesk::net::FailureReason;
using namespace std::chrono_literals;

struct KeyPair {
    Bytes private_key;
    Bytes public_key;
};

KeyPair GenerateKeyPair(int bits)
{
    KeyPair pair{Bytes(65535), Bytes(65535)};
    int lengths[2] = {};
    EXPECT_GT(
        RSA_generate_key_der(bits, 65537, pair.private_key.data(), &lengths[0], pair.public_key.data(), &lengths[1]),
        0);
    pair.private_key.resize(static_cast<size_t>(lengths[0]));
    pair.public_key.resize(static_cast<size_t>(lengths[1]));
    return pair;
}

// The pairs of the run, each made once: 1024 bits is the raw server's own
// key; 1280 bits another server's, the largest whose ciphertext a client's IV
// field takes; 2048 bits is too long for that.
const KeyPair& KeysOf(int bits)
{
    static const KeyPair pair1024 = GenerateKeyPair(1024);
    static const KeyPair pair1280 = GenerateKeyPair(1280);
    static const KeyPair pair2048 = GenerateKeyPair(2048);
    return bits == 1024 ? pair1024 : bits == 1280 ? pair1280 : pair2048;
}

std::vector<size_t> Sizes(const std::vector<WireRecord>& records)
{
    std::vector<size_t> sizes;
    for (const WireRecord& record : records)
        sizes.push_back(record.wire.size());
    return sizes;
}

Bytes Text(const char* text)
{
    return Bytes(text, text + std::strlen(text));
}

// Plays the server against a library client, with a key pair of its own.
struct RawServerPeer : RawPeer {
    RawServerPeer(int socket, eCryptoAlgorithm cipher, const KeyPair& pair = KeysOf(1024))
        : RawPeer(socket, cipher), keys(pair)
    {
    }

    // The records of flight 3 as they came; key and IV taken from them.
    bool ReadFlightThree(std::vector<WireRecord>* records)
    {
        const bool keyed = KeyLength(algorithm) > 0;
        if (!ReadRecords(keyed ? 3 : 2, records))
            return false;
        const auto exchange = ParseMessage(records->front().body, 4);
        size_t at = 0;
        if (keyed && !(exchange && TakeField(*exchange, &at, &key) && TakeField(*exchange, &at, &iv)))
            return false;
        key = RsaDecrypt(key);
        iv = RsaDecrypt(iv);
        return EndsWithSwitchAndFinish(*records);
    }

    Bytes RsaDecrypt(const Bytes& ciphertext) const
    {
        Bytes out(ciphertext.size());
        const int n = RSA_private_decrypt_der(static_cast<int>(ciphertext.size()), ciphertext.data(), out.data(),
                                              keys.private_key.data(), static_cast<int>(keys.private_key.size()));
        out.resize(n < 0 ? 0 : static_cast<size_t>(n));
        return out;
    }

    const KeyPair& keys;
};

class HandshakeTest : public SessionFixture {
protected:
    Bytes ListenerPublicKey()
    {
        Bytes key(65535);
        key.resize(
            static_cast<size_t>(Access::Listener(*manager)->GetRSAPublicKey(key.data(), static_cast<int>(key.size()))));
        return key;
    }

    // A library client completes a secure handshake with the listener and
    // records flow both ways; both sessions are closed afterwards.
    void ExpectFreshSecureHandshake()
    {
        const size_t mark = journal.Mark();
        const auto [client, server] = ConnectLibraryClient(true);
        ASSERT_NE(server, nullptr);
        for (const auto& [from, to] : {std::make_pair(client, server), std::make_pair(server, client)}) {
            EXPECT_TRUE(journal.Finished(from, mark))
                << (from == client ? "the client finishes" : "the server finishes");
            EXPECT_GE(from->send(Text("ping").data(), 4, 0), 4);
            EXPECT_TRUE(journal.Delivered(to, Text("ping"), mark));
        }
        manager->Close(client);
        manager->Close(server);
    }

    // Records flow both ways between the raw peer and the session, under the
    // agreed key.
    void ExpectRecordsBothWays(const RawPeer& peer, CVeskNetworkSession* session)
    {
        const Bytes up = Text("from the raw peer"), down = Text("from the library");
        peer.SendData(up);
        EXPECT_TRUE(journal.Delivered(session, up));
        EXPECT_GE(session->send(down.data(), static_cast<int>(down.size()), 0), static_cast<int>(down.size()));
        EXPECT_EQ(peer.ReadData(), std::optional<Bytes>(down));
    }
};

// The test names, by cipher code.
const char* const kCipherNames[] = {"None", "TripleDes", "Blowfish"};
class HandshakeByAlgorithm : public HandshakeTest, public ::testing::WithParamInterface<eCryptoAlgorithm> {};

INSTANTIATE_TEST_SUITE_P(Ciphers, HandshakeByAlgorithm,
                         ::testing::Values(CRYPTO_ALGORITHM_3DES, CRYPTO_ALGORITHM_BLOWFISH, CRYPTO_ALGORITHM_NONE),
                         [](const auto& param_info) { return std::string(kCipherNames[param_info.param]); });

// --- complete handshakes against a peer of the other role ---

// The server names its own cipher wherever the client lists it; the raw
// client's records then decrypt under the key it chose, both ways. A library
// client completes the handshake with the raw server likewise, once the
// server's Finish came.
TEST_P(HandshakeByAlgorithm, RawPeersCompleteTheHandshakeWithTheLibrary)
{
    const eCryptoAlgorithm algorithm = GetParam();
    const bool keyed = algorithm != CRYPTO_ALGORITHM_NONE;
    StartListener(algorithm);
    auto [fd, session] = ConnectRawClient();
    ASSERT_NE(session, nullptr);
    RawClientPeer client(fd);

    WriteAll(fd, ClientHello({2, 1, 0}));
    ASSERT_TRUE(client.ReadFlightTwo());
    EXPECT_EQ(client.flight_two[0].wire, (Bytes{1, 2, 0, 0, 0, 5, 1, 0, 0, 1, static_cast<unsigned char>(algorithm)}));
    const Bytes key = ListenerPublicKey();
    ASSERT_EQ(key.size(), 140u);
    EXPECT_EQ(client.flight_two[1].wire,
              (Bytes{1, 2, 0, 0, 0, 152, 2, 0, 0, 148, 0, 140} + key + Bytes{0, 4, 1, 0, 1, 0}));
    EXPECT_EQ(client.flight_two[2].wire, (Bytes{1, 2, 0, 0, 0, 4, 3, 0, 0, 0}));

    WriteAll(fd, client.FlightThree());
    std::vector<WireRecord> flight_four;
    ASSERT_TRUE(client.ReadFlightFour(&flight_four));
    EXPECT_EQ(Sizes(flight_four), (std::vector<size_t>{7, keyed ? 14u : 10u}));
    ASSERT_TRUE(journal.Finished(session));
    EXPECT_EQ(session->GetCryptoStateSend(), CRYPTO_STATE_CRYPTOED);
    EXPECT_EQ(session->GetCryptoStateRecv(), CRYPTO_STATE_CRYPTOED);
    ExpectRecordsBothWays(client, session);

    auto [connecting, server_fd] = ConnectToRawServer(true);
    ASSERT_NE(connecting, nullptr);
    RawServerPeer server(server_fd, algorithm);
    EXPECT_EQ(ReadBytes(server_fd, 15), (Bytes{1, 2, 0, 0, 0, 9, 0, 0, 0, 5, 0, 3, 0, 1, 2}));
    WriteAll(server_fd, ServerHello(static_cast<unsigned char>(algorithm)) +
                            ServerKeyExchange(server.keys.public_key, kStandardExponent) + ServerHelloDone());
    std::vector<WireRecord> flight_three;
    ASSERT_TRUE(server.ReadFlightThree(&flight_three));
    if (keyed) {
        EXPECT_EQ(Sizes(flight_three), (std::vector<size_t>{270, 7, 14})) << "flight 3 is 291 bytes";
        const Bytes& exchange = flight_three[0].wire;
        EXPECT_EQ(Bytes(exchange.begin(), exchange.begin() + 12), (Bytes{1, 2, 0, 0, 1, 8, 4, 0, 1, 4, 0, 128}));
        EXPECT_EQ(Bytes(exchange.begin() + 140, exchange.begin() + 142), (Bytes{0, 128}));
        EXPECT_EQ(server.key.size(), static_cast<size_t>(KeyLength(algorithm)));
        EXPECT_EQ(server.iv.size(), 8u);
    } else {
        EXPECT_EQ(Sizes(flight_three), (std::vector<size_t>{7, 10})) << "flight 3 is 17 bytes";
    }
    EXPECT_FALSE(journal.Saw(connecting, NETWORK_EVENT_HANDSHAKE_FINISH)) << "the client waits for the server's Finish";
    WriteAll(server_fd, ChangeCipherSpec() + server.Finish());
    ASSERT_TRUE(journal.Finished(connecting));
    ExpectRecordsBothWays(server, connecting);
}

// --- inputs the server refuses or tolerates ---

std::string FingerprintOf(const Bytes& der)
{
    char text[CVeskMessageSystem::kServerKeyFingerprintSize] = {};
    EXPECT_EQ(CVeskMessageSystem::server_key_fingerprint(der.data(), der.size(), text, sizeof text), 1);
    return text;
}

Bytes DigestOf(const Bytes& der)
{
    const std::string hex = FingerprintOf(der);
    Bytes digest;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        digest.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return digest;
}

// Each refused message fails its session alone, for its own reason, answered
// with nothing; a fresh handshake on the same listener completes after each.
// At the server, rows after the handshake are sent under the agreed key. At a
// client pinned to the raw server's key, a flight 2 that is malformed, or not
// the pinned key under a cipher, is shown only the ClientHello. A listener
// without a key, or with one whose ServerKeyExchange no record can carry,
// sends not even the ServerHello; the largest key that fits makes a
// 19999-byte record.
TEST_F(HandshakeTest, RefusedHandshakeMessagesFailTheirSessionAloneForTheirReason)
{
    StartListener(CRYPTO_ALGORITHM_3DES);
    const Bytes key = ListenerPublicKey();
    const Bytes encrypted_key = RsaEncrypt(Random(24), key), encrypted_iv = RsaEncrypt(Random(8), key);
    const Bytes& pinned = KeysOf(1024).public_key;
    const Bytes exponent_part = Be16(4) + kStandardExponent;
    // Where the row's bytes go: to the listener at a stage of the handshake,
    // or as flight 2 to a client pinned to the raw server's key (or not).
    enum Stage { kFirst, kAfterFlightTwo, kAfterHandshake, kToPinnedClient, kToClient };
    const struct {
        const char* what;
        Stage stage;
        Bytes bytes;
        Why reason;
    } cases[] = {
        {"type code 6", kFirst, Message(6, {0, 0}), Why::kUnknownHandshakeMessage},
        {"a handshake record of 3 bytes", kFirst, Record(1, {0, 0, 0}), Why::kMalformedHandshakeMessage},
        {"a ClientHello claiming more bytes than its record", kFirst, MessageClaiming(0, 50, {0, 3, 0, 1, 2}),
         Why::kMalformedHandshakeMessage},
        {"a ClientHello of 1 byte", kFirst, Message(0, {0}), Why::kMalformedHandshakeMessage},
        {"a ClientHello whose entry count runs past it", kFirst, Message(0, {0, 4, 0, 1, 2}),
         Why::kMalformedHandshakeMessage},
        {"a ClientHello without the listener's algorithm", kFirst, ClientHello({0, 2}), Why::kNoCommonAlgorithm},
        {"a ServerHelloDone, the client's part", kFirst, ServerHelloDone(), Why::kMessageOfTheOtherRole},
        {"a key field of 0 bytes", kFirst, ClientKeyExchange({}, encrypted_iv), Why::kKeyExchangeFailed},
        {"a key field of 321 bytes", kFirst, ClientKeyExchange(Bytes(321, 7), Bytes(128, 7)), Why::kKeyExchangeFailed},
        {"an IV field of 161 bytes", kFirst, ClientKeyExchange(encrypted_key, Bytes(161, 7)), Why::kKeyExchangeFailed},
        {"a ClientKeyExchange cut short", kAfterFlightTwo, Message(4, Be16(128)), Why::kKeyExchangeFailed},
        {"a garbage ClientKeyExchange", kAfterFlightTwo, ClientKeyExchange(Random(128), Random(128)),
         Why::kKeyExchangeFailed},
        {"a Finish in the clear after the key exchange", kFirst,
         ClientKeyExchange(encrypted_key, encrypted_iv) + Message(5, {}), Why::kFinishInTheClear},
        {"a ChangeCipherSpec and Finish without a key exchange", kAfterFlightTwo,
         ChangeCipherSpec() + Record(1, Encrypt(CRYPTO_ALGORITHM_3DES, Random(24), Random(8), kFinishMessage)),
         Why::kUndecryptableRecord},
        {"a Finish again", kAfterHandshake, Message(5, {}), Why::kMessageOutOfOrder},
        {"a ClientKeyExchange again", kAfterHandshake, ClientKeyExchange(encrypted_key, encrypted_iv),
         Why::kMessageOutOfOrder},
        {"an empty ServerHello", kToPinnedClient, Message(1, {}), Why::kMalformedHandshakeMessage},
        {"algorithm 3", kToPinnedClient, ServerHello(3), Why::kUnknownAlgorithm},
        {"a modulus length one more than the bytes left", kToPinnedClient,
         Message(2, Be16(pinned.size() + exponent_part.size() + 1) + pinned + exponent_part),
         Why::kMalformedHandshakeMessage},
        {"an exponent field past the message", kToPinnedClient,
         Message(2, Be16(pinned.size()) + pinned + Be16(5) + kStandardExponent), Why::kMalformedHandshakeMessage},
        {"a ServerKeyExchange of 1 byte", kToPinnedClient, Message(2, {0}), Why::kMalformedHandshakeMessage},
        {"a ServerHelloDone claiming a byte its record lacks", kToPinnedClient,
         ServerHello(1) + ServerKeyExchange(pinned, kStandardExponent) + MessageClaiming(3, 1, {}),
         Why::kMalformedHandshakeMessage},
        {"a ServerHelloDone with no server key", kToPinnedClient, ServerHello(1) + ServerHelloDone(),
         Why::kNoServerKey},
        {"the pinned key without a cipher", kToPinnedClient,
         ServerHello(0) + ServerKeyExchange(pinned, kStandardExponent) + ServerHelloDone(),
         Why::kServerKeyWithoutCipher},
        {"the pinned key without a ServerHello", kToPinnedClient,
         ServerKeyExchange(pinned, kStandardExponent) + ServerHelloDone(), Why::kServerKeyWithoutCipher},
        {"another key", kToPinnedClient,
         ServerHello(1) + ServerKeyExchange(KeysOf(1280).public_key, kStandardExponent) + ServerHelloDone(),
         Why::kServerKeyMismatch},
        {"a ChangeCipherSpec and Finish in the clear instead of flight 2", kToPinnedClient,
         ChangeCipherSpec() + Record(1, kFinishMessage), Why::kMessageOutOfOrder},
        {"a 2048-bit key, whose ciphertext the IV field cannot take", kToClient,
         ServerHello(1) + ServerKeyExchange(KeysOf(2048).public_key, kStandardExponent) + ServerHelloDone(),
         Why::kKeyExchangeFailed},
    };
    raw_listener = Track(ListenOnLoopback(&raw_port));
    for (const auto& bad : cases) {
        SCOPED_TRACE(bad.what);
        const size_t mark = journal.Mark();
        int fd = -1;
        CVeskNetworkSession* session = nullptr;
        Bytes bytes = bad.bytes;
        if (bad.stage >= kToPinnedClient) {
            ASSERT_TRUE(manager->PinServerKey("127.0.0.1", std::to_string(raw_port).c_str(),
                                              bad.stage == kToPinnedClient ? DigestOf(pinned).data() : nullptr));
            std::tie(session, fd) = ConnectToRawServer(true);
            EXPECT_EQ(ReadBytes(fd, 15), ClientHello({0, 1, 2}));
        } else {
            std::tie(fd, session) = ConnectRawClient();
            RawClientPeer client(fd);
            ASSERT_TRUE(bad.stage != kAfterFlightTwo || client.Hello());
            ASSERT_TRUE(bad.stage != kAfterHandshake || client.Handshake());
            if (bad.stage == kAfterHandshake)
                bytes =
                    Record(1, Encrypt(client.algorithm, client.key, client.iv, Bytes(bytes.begin() + 6, bytes.end())));
        }
        ASSERT_NE(session, nullptr);
        WriteAll(fd, bytes);
        EXPECT_TRUE(journal.Failed(session, mark));
        EXPECT_EQ(Access::Failure(*session), bad.reason);
        EXPECT_TRUE(NothingToRead(fd)) << "nothing is answered";
        ExpectFreshSecureHandshake();
        manager->Close(session);
    }
    CVeskNetworkSessionListen& listener = *Access::Listener(*manager);
    const Bytes generated = ListenerPublicKey();
    for (size_t length : {size_t{0}, size_t{19982}, size_t{19981}}) {
        SCOPED_TRACE(length);
        if (length == 0)
            Access::DropPublicKey(listener);
        else
            ASSERT_EQ(listener.SetRSAPublicKey(Bytes(length, 0x30).data(), static_cast<int>(length)),
                      static_cast<int>(length));
        const size_t mark = journal.Mark();
        auto [fd, session] = ConnectRawClient();
        RawClientPeer client(fd);
        if (length == 19981) {
            ASSERT_TRUE(client.Hello());
            EXPECT_EQ(Sizes(client.flight_two), (std::vector<size_t>{11, 19999, 10}));
        } else {
            WriteAll(fd, ClientHello({0, 1, 2}));
            EXPECT_TRUE(journal.Failed(session, mark));
            EXPECT_EQ(Access::Failure(*session), length == 0 ? Why::kNoServerKey : Why::kFlightTooLarge);
            EXPECT_TRUE(NothingToRead(fd));
        }
        manager->Close(session);
    }
    ASSERT_EQ(listener.SetRSAPublicKey(generated.data(), static_cast<int>(generated.size())), 140);
    ExpectFreshSecureHandshake();
}

// --- no record decided plain after the ChangeCipherSpec ---

// Reads the server's stream through a handshake that the raw client plays:
// every record after the server's ChangeCipherSpec decrypts, and the numbered
// records come whole and in order. True once the Finish and 200 encrypted
// records were read.
bool ReadServerStreamThroughTheSwitch(RawClientPeer& client)
{
    std::vector<WireRecord> flight_two;
    bool switched = false;
    bool finished = false;
    size_t encrypted_records = 0;
    uint32_t next = 0;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!(finished && encrypted_records >= 200) && std::chrono::steady_clock::now() < deadline) {
        const auto record = ReadRecord(client.fd);
        if (!record)
            return false;
        const bool data = record->type == CRYPTO_MES_TYPE_CRYPTOED;
        const auto body = switched ? Decrypt(CRYPTO_ALGORITHM_3DES, client.key, client.iv, record->body)
                                   : std::optional<Bytes>(record->body);
        if (!body || (data && *body != Numbered(0, 0, next++, 16))) {
            ADD_FAILURE() << "a record of type " << int{record->type} << " does not decrypt or is out of order";
            return false;
        }
        if (data)
            encrypted_records += switched ? 1 : 0;
        else if (record->type == CRYPTO_MES_TYPE_CHANGE_CIPHER_SPEC)
            switched = true;
        else if (switched)
            finished = *body == kFinishMessage;
        else {
            flight_two.push_back(*record);
            if (flight_two.size() == 3) {
                if (!client.TakeFlightTwo(flight_two))
                    return false;
                WriteAll(client.fd, client.FlightThree());
            }
        }
    }
    return finished && encrypted_records >= 200;
}

// What sessions take besides the plain handshake. A peer that starts with
// data gets no handshake: plain records both ways, the server's of the type
// that names its cipher. A ChangeCipherSpec other than 1 before it leaves
// receiving plain. A second key exchange with a 40-byte key is accepted but
// leaves the key in place (its IV is taken), and flight 3 with a first record
// in one write is handled in order: the handshake finishes and the record
// decrypts under the first key.
TEST_F(HandshakeTest, SessionsTakePlainPeersRepeatedKeyExchangesRacingSendsAndOddExponents)
{
    StartListener(CRYPTO_ALGORITHM_3DES);
    auto [plain_fd, plain] = ConnectRawClient();
    WriteAll(plain_fd, ChangeCipherSpec(0) + Record(0, Text("hello")));
    EXPECT_TRUE(journal.Delivered(plain, Text("hello")));
    EXPECT_EQ(plain->send(Text("world").data(), 5, 0), 5);
    EXPECT_EQ(ReadBytes(plain_fd, 11), Record(3, Text("world")));
    EXPECT_FALSE(journal.Saw(plain, NETWORK_EVENT_HANDSHAKE_FINISH));
    EXPECT_EQ(plain->GetCryptoStateSend(), CRYPTO_STATE_PLAIN);
    EXPECT_EQ(plain->GetCryptoStateRecv(), CRYPTO_STATE_PLAIN);
    auto [fd, session] = ConnectRawClient();
    RawClientPeer client(fd);
    ASSERT_TRUE(client.Hello());
    client.key = Random(24);
    client.iv = Random(8);
    const auto sealed = [&](const Bytes& secret) { return RsaEncrypt(secret, client.server_key); };
    WriteAll(fd, ClientKeyExchange(sealed(client.key), sealed(Random(8))) +
                     ClientKeyExchange(sealed(Random(40)), sealed(client.iv)) + ChangeCipherSpec() + client.Finish() +
                     Record(3, Encrypt(CRYPTO_ALGORITHM_3DES, client.key, client.iv, Text("right after"))));
    std::vector<WireRecord> flight_four;
    EXPECT_TRUE(client.ReadFlightFour(&flight_four));
    EXPECT_TRUE(journal.Delivered(session, Text("right after")));
    EXPECT_TRUE(journal.Finished(session));
    EXPECT_FALSE(journal.FailedNow(session));

    // The server's application sends as fast as it can while the handshake
    // runs: no record decided plain comes after the ChangeCipherSpec.
    // The window is narrow: many short rounds, bounded in count and time.
    const auto give_up = std::chrono::steady_clock::now() + 15s;
    for (int round = 0; round < 100 && !HasFailure() && std::chrono::steady_clock::now() < give_up; ++round) {
        SCOPED_TRACE(round);
        auto [racing_fd, racing] = ConnectRawClient();
        ASSERT_NE(racing, nullptr);
        std::atomic<bool> stop{false};
        std::atomic<bool> done{false};
        std::thread sender([&, server = racing] {
            for (uint32_t n = 0; n < 1000000 && !stop; ++n)
                if (server->send(Numbered(0, 0, n, 16).data(), 16, 0) < 0)
                    break;
            done = true;
        });
        RawClientPeer racer(racing_fd);
        WriteAll(racing_fd, ClientHello({0, 1, 2}));
        EXPECT_TRUE(ReadServerStreamThroughTheSwitch(racer));
        stop = true;
        // The sender may be blocked on a full socket: keep draining.
        WaitFor([&, fd = racing_fd] {
            unsigned char drain[65536];
            while (::recv(fd, drain, sizeof drain, MSG_DONTWAIT) > 0) {
            }
            return done.load();
        });
        sender.join();
        manager->Close(racing);
    }

    // The exponent is read least significant byte first, from four bytes at
    // most. The client's IV field takes a ciphertext of at most 160 bytes: a
    // 1280-bit server key is the largest that works (a longer one is refused
    // above).
    auto [connecting, server_fd] = ConnectToRawServer(true);
    ASSERT_EQ(ReadBytes(server_fd, 15).size(), 15u);
    const struct {
        Bytes field;
        Bytes trailer;
        unsigned long expected;
    } cases[] = {
        {{0x01, 0x00, 0x01, 0x00, 0x7F}, {}, 65537},
        {{0x00, 0x00, 0x00, 0x55}, {}, 0x55000000},
        {{0x01, 0x00, 0x01}, {}, 65537},
        {{0x03, 0x00, 0x00, 0x00}, {9, 9, 9}, 3},
    };
    WriteAll(server_fd, ServerHello(CRYPTO_ALGORITHM_3DES));
    for (const auto& test_case : cases) {
        SCOPED_TRACE(test_case.expected);
        const size_t mark = journal.Mark();
        WriteAll(server_fd,
                 ServerKeyExchange(KeysOf(1280).public_key, test_case.field, test_case.trailer) + Record(0, {1}));
        ASSERT_TRUE(journal.Delivered(connecting, {1}, mark));
        EXPECT_EQ(connecting->GetRSAPublicExponent(), test_case.expected);
    }
    // The key stored with those exponents serves the rest of the handshake.
    RawServerPeer server(server_fd, CRYPTO_ALGORITHM_3DES, KeysOf(1280));
    WriteAll(server_fd, ServerHelloDone());
    std::vector<WireRecord> flight_three;
    ASSERT_TRUE(server.ReadFlightThree(&flight_three));
    EXPECT_EQ(Sizes(flight_three), (std::vector<size_t>{6 + 4 + 2 + 160 + 2 + 160, 7, 14}));
    WriteAll(server_fd, ChangeCipherSpec() + server.Finish());
    EXPECT_TRUE(journal.Finished(connecting));
    EXPECT_FALSE(journal.FailedNow(connecting));
}

// --- persistent server keys and pinned clients, through the public interface ---

constexpr auto kBlowfish = VeskMessageSystem::VESKMESSYS_CRYPTO_ALGORITHM_BLOWFISH;

// The message systems; the server's listener has the raw server's key.
class ServerKeys : public MessageSystems {
protected:
    void SetUp() override
    {
        MessageSystems::SetUp();
        ASSERT_EQ(server->set_server_key(KeysOf(1024).private_key.data(), KeysOf(1024).private_key.size()), 1);
        Start(kBlowfish);
    }

    // A fresh login, which the client is told it was accepted for.
    void ExpectLogin()
    {
        client->delete_alluser();
        LoggedIn("alice", "wonderland");
    }
    CVeskMessageSession* LoginAt(const std::string& service)
    {
        return Keep(client->connect("127.0.0.1", service.c_str(), "alice", 5, "wonderland", 10));
    }
    // The listener again, with the server's key as it is now.
    void Relisten()
    {
        server->close_listen(port.c_str());
        ASSERT_EQ(server->listen(port.c_str(), AF_INET, kBlowfish), 1);
    }
};

// The pinned server is served; one with another key (a raw stand-in for a
// man in the middle) sees the ClientHello and nothing more, with credentials
// or without; a session returned ends for the mismatch. Removing the pin
// lets the client in anywhere. Keys and fingerprints that cannot serve are
// refused.
TEST_F(ServerKeys, PinnedClientTalksOnlyToTheServerWithThePinnedKey)
{
    const std::string fingerprint = FingerprintOf(KeysOf(1024).public_key);
    ASSERT_EQ(client->pin_server_key("127.0.0.1", port.c_str(), fingerprint.c_str()), 1);
    ExpectLogin();
    // The persistent key serves every listen, not only the first.
    Relisten();
    ExpectLogin();

    int raw_port = 0;
    const int impostor = ListenOnLoopback(&raw_port);
    const std::string raw_service = std::to_string(raw_port);
    ASSERT_EQ(client->pin_server_key("127.0.0.1", raw_service.c_str(), fingerprint.c_str()), 1);
    std::atomic<bool> answer{true};
    std::thread impostor_side([&] {
        for (int connection = 0; connection < 2; ++connection) {
            const int fd = AcceptWithin(impostor);
            EXPECT_EQ(ReadBytes(fd, 15), ClientHello({0, 1, 2}));
            WaitFor([&] { return answer.load(); });
            WriteAll(
                fd, ServerHello(2) + ServerKeyExchange(KeysOf(1280).public_key, kStandardExponent) + ServerHelloDone());
            EXPECT_TRUE(ReadBytes(fd, 1).empty()) << "neither key material nor the login left";
            close(fd);
        }
    });
    EXPECT_EQ(LoginAt(raw_service), nullptr);
    // Answered only once the connect has returned the session.
    answer = false;
    CVeskMessageSession* plain = Keep(client->connect("127.0.0.1", raw_service.c_str()));
    answer = true;
    impostor_side.join();
    close(impostor);
    ASSERT_NE(plain, nullptr);
    EXPECT_TRUE(WaitFor([&] { return !plain->is_session_used(); }));
    EXPECT_EQ(plain->get_end_reason(), VeskMessageSystem::VESK_END_SERVER_KEY_MISMATCH);

    ASSERT_EQ(client->pin_server_key("127.0.0.1", port.c_str(), FingerprintOf(KeysOf(1280).public_key).c_str()), 1);
    EXPECT_EQ(LoginAt(port), nullptr);
    ASSERT_EQ(client->pin_server_key("127.0.0.1", port.c_str(), nullptr), 1);
    ExpectLogin();

    const Bytes& good = KeysOf(1024).private_key;
    const Bytes trailing = good + Bytes{0};
    Bytes altered = good;
    altered[altered.size() / 2] ^= 0x01;
    const std::pair<const char*, Bytes> keys[] = {
        {"random bytes", Random(600)},           {"a public key", KeysOf(1024).public_key},
        {"a trailing byte", trailing},           {"one bit changed", altered},
        {"2048 bits", KeysOf(2048).private_key}, {"a cut key", Bytes(good.begin(), good.begin() + 100)},
    };
    for (const auto& [what, key] : keys)
        EXPECT_EQ(server->set_server_key(key.data(), key.size()), 0) << what;
    // The largest key that serves: the server takes a client's encrypted
    // fields of 160 bytes.
    ASSERT_EQ(server->set_server_key(KeysOf(1280).private_key.data(), KeysOf(1280).private_key.size()), 1);
    Relisten();
    ExpectLogin();
    EXPECT_EQ(server->set_server_key(nullptr, 0), 1) << "back to a fresh key per listen";

    EXPECT_EQ(FingerprintOf(good), fingerprint) << "a pair has one fingerprint";
    std::string upper = fingerprint;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    EXPECT_EQ(server->pin_server_key("localhost", "1", upper.c_str()), 1);
    const std::string fingerprints[] = {"", fingerprint.substr(1), fingerprint + "0", "z" + fingerprint.substr(1),
                                        fingerprint.substr(0, 2) + ":" + fingerprint.substr(2, 62)};
    for (const std::string& bad : fingerprints)
        EXPECT_EQ(server->pin_server_key("localhost", "1", bad.c_str()), 0) << bad;
    EXPECT_EQ(server->pin_server_key(nullptr, "1", fingerprint.c_str()), 0);
    char small[CVeskMessageSystem::kServerKeyFingerprintSize - 1];
    EXPECT_EQ(CVeskMessageSystem::server_key_fingerprint(good.data(), good.size(), small, sizeof small), 0);
    EXPECT_EQ(CVeskMessageSystem::server_key_fingerprint(trailing.data(), trailing.size(), nullptr, 0), 0);
}

// A client learns a server's key at the first contact, writes it to the
// file, and requires it afterwards: of the file's entries as of the learned
// ones. A file it cannot parse is refused whole.
TEST_F(ServerKeys, KnownServersAreLearnedOnFirstContactAndRequiredAfter)
{
    // A second listener, under another key.
    ASSERT_EQ(server->set_server_key(KeysOf(1280).private_key.data(), KeysOf(1280).private_key.size()), 1);
    const std::string other = ListenOnFreePort(
        [&](const std::string& service) { return server->listen(service.c_str(), AF_INET, kBlowfish) == 1; });
    const std::string fingerprint = FingerprintOf(KeysOf(1024).public_key);
    const std::string listed = "127.0.0.1 " + other + " " + fingerprint + "\n";
    TempFile known("# servers\n\n" + listed);
    ASSERT_EQ(client->set_known_servers_file(known.Name()), 1);
    const auto known_text = [&known] {
        std::ifstream file(known.Name());
        return std::string(std::istreambuf_iterator<char>(file), {});
    };

    ExpectLogin();
    const std::string learned = "127.0.0.1 " + port + " " + fingerprint + "\n";
    EXPECT_EQ(known_text(), listed + learned);
    EXPECT_EQ(LoginAt(other), nullptr) << "the file's entry is required";
    // The first listener takes the other key too: the learned one is required.
    Relisten();
    EXPECT_EQ(LoginAt(port), nullptr);
    EXPECT_EQ(known_text(), listed + learned) << "nothing learned over a known key";

    const std::string malformed[] = {
        "127.0.0.1 " + other + "\n",
        "127.0.0.1 " + other + " " + fingerprint + " extra\n",
        "127.0.0.1 " + other + " " + fingerprint.substr(1) + "\n",
        std::string(256, 'h') + " 1 " + fingerprint + "\n",
    };
    for (const std::string& text : malformed)
        EXPECT_EQ(client->set_known_servers_file(TempFile(listed + text).Name()), 0) << text;
    EXPECT_EQ(client->set_known_servers_file(::testing::TempDir().c_str()), 0) << "a folder";
}

}  // namespace
