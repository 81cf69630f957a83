// The handshake over real loopback sockets. Raw peers (raw_peer.h, and the
// raw server below) play the other role with their own record encoder and
// decoder, written from the protocol alone; only the exported cipher
// functions are shared with the library.
// Persistent server keys, pinned clients and known servers are checked at
// the end, through the public interface.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CryptFunction.h"
#include "VeskMessageSystem.h"
#include "VeskNetworkSystem.h"
#include "net/failure_reason.h"
#include "raw_peer.h"
#include "test_support.h"

using namespace VeskNetworkSystem;
using vesk_test::Bytes;

struct VeskNetworkTestAccess {
    static eCryptoAlgorithm Algorithm(const CVeskNetworkSession& session) { return session.GetCryptoAlgorithm(); }
    static Bytes Key(const CVeskNetworkSession& session)
    {
        return Bytes(session.m_CryptoKey.Data(), session.m_CryptoKey.Data() + session.m_CryptoKey.Length());
    }
    static Bytes IV(const CVeskNetworkSession& session)
    {
        return Bytes(session.m_CryptoIV.Data(), session.m_CryptoIV.Data() + session.m_CryptoIV.Length());
    }
    // Only on the parse thread, from inside a callback.
    static CVeskNetworkSession::CryptoMessages PassTypes(const CVeskNetworkSession& session)
    {
        return session.GetLastRecvCryptoMessages();
    }
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
    static int EndReason(const CVeskNetworkSession& session) { return session.GetEndReason(); }
    static vesk::net::FailureReason Failure(const CVeskNetworkSession& session)
    {
        return session.m_FailureReason.load();
    }
    static int EndReason(const VeskMessageSystem::CVeskMessageSession& handle) { return EndReason(*handle.m_ns); }
};

namespace {

using namespace vesk_test;

using Access = VeskNetworkTestAccess;
using namespace std::chrono_literals;

struct KeyPair {
    Bytes private_key;
    Bytes public_key;
};

KeyPair GenerateKeyPair(int bits)
{
    KeyPair pair{Bytes(65535), Bytes(65535)};
    int private_length = 0;
    int public_length = 0;
    EXPECT_GT(RSA_generate_key_der(bits, 65537, pair.private_key.data(), &private_length, pair.public_key.data(),
                                   &public_length),
              0);
    pair.private_key.resize(static_cast<size_t>(private_length));
    pair.public_key.resize(static_cast<size_t>(public_length));
    return pair;
}

// The raw server's own pair, made once for the whole run.
const KeyPair& RawServerKeys()
{
    static const KeyPair pair = GenerateKeyPair(1024);
    return pair;
}

std::vector<WireRecord> SplitRecords(const Bytes& stream)
{
    std::vector<WireRecord> records;
    size_t at = 0;
    while (stream.size() - at >= 6) {
        const size_t length =
            static_cast<size_t>(stream[at + 3]) << 16 | static_cast<size_t>(stream[at + 4]) << 8 | stream[at + 5];
        if (stream.size() - at - 6 < length)
            break;
        const auto begin = stream.begin() + static_cast<std::ptrdiff_t>(at);
        const auto end = begin + static_cast<std::ptrdiff_t>(6 + length);
        records.push_back(WireRecord{stream[at], Bytes(begin + 6, end), Bytes(begin, end)});
        at += 6 + length;
    }
    return records;
}

std::vector<size_t> Sizes(const std::vector<WireRecord>& records)
{
    std::vector<size_t> sizes;
    for (const WireRecord& record : records)
        sizes.push_back(record.wire.size());
    return sizes;
}

// A listening socket on an ephemeral loopback port.
int ListenOnLoopback(int* port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(0);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(fd, 8);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

int AcceptWithin(int listener, int milliseconds = 10000)
{
    pollfd waiting{listener, POLLIN, 0};
    if (poll(&waiting, 1, milliseconds) <= 0)
        return -1;
    return accept(listener, nullptr, nullptr);
}

// Relays one loopback connection and keeps every byte of both directions.
class RecordingProxy {
public:
    explicit RecordingProxy(int target_port) : m_listener(ListenOnLoopback(&m_port))
    {
        m_thread = std::thread([this, target_port] { Run(target_port); });
    }
    ~RecordingProxy()
    {
        m_stop = true;
        m_thread.join();
        close(m_listener);
    }
    std::string Port() const { return std::to_string(m_port); }
    Bytes Upstream()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_up;
    }
    Bytes Downstream()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_down;
    }

private:
    void Run(int target_port)
    {
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        int client = -1;
        while (client < 0 && !m_stop && std::chrono::steady_clock::now() < deadline)
            client = AcceptWithin(m_listener, 20);
        if (client < 0)
            return;
        const int server = ConnectTo(target_port);
        bool open = true;
        while (open && !m_stop && std::chrono::steady_clock::now() < deadline) {
            pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (poll(fds, 2, 20) <= 0)
                continue;
            for (int i = 0; i < 2 && open; ++i) {
                if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                    continue;
                unsigned char chunk[8192];
                const ssize_t n = ::recv(fds[i].fd, chunk, sizeof chunk, 0);
                if (n <= 0) {
                    open = false;
                    break;
                }
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    Bytes& log = i == 0 ? m_up : m_down;
                    log.insert(log.end(), chunk, chunk + n);
                }
                WriteAll(i == 0 ? server : client, Bytes(chunk, chunk + n));
            }
        }
        close(client);
        close(server);
    }

    int m_port = 0;
    int m_listener;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    Bytes m_up;
    Bytes m_down;
    std::thread m_thread;
};

// --- the raw server ---

// Plays the server against a library client, with its own key pair.
struct RawServerPeer : RawPeer {
    using RawPeer::RawPeer;

    Bytes FlightTwo() const
    {
        return ServerHello(static_cast<unsigned char>(algorithm)) +
               ServerKeyExchange(RawServerKeys().public_key, kStandardExponent) + ServerHelloDone();
    }

    // The records of flight 3 as they came; key and IV taken from them.
    bool ReadFlightThree(std::vector<WireRecord>* records)
    {
        const bool keyed = KeyLength(algorithm) > 0;
        if (!ReadRecords(keyed ? 3 : 2, records))
            return false;
        if (keyed) {
            const auto exchange = ParseMessage(records->front().body);
            Bytes encrypted_key;
            Bytes encrypted_iv;
            if (!exchange || exchange->type != 4)
                return false;
            size_t at = 0;
            if (!TakeField(exchange->body, &at, &encrypted_key) || !TakeField(exchange->body, &at, &encrypted_iv))
                return false;
            key = RsaDecrypt(encrypted_key);
            iv = RsaDecrypt(encrypted_iv);
        }
        return EndsWithSwitchAndFinish(*records);
    }

    Bytes FlightFour() const { return ChangeCipherSpec() + Finish(); }

    static Bytes RsaDecrypt(const Bytes& ciphertext)
    {
        Bytes out(ciphertext.size());
        const auto& keys = RawServerKeys();
        const int n = RSA_private_decrypt_der(static_cast<int>(ciphertext.size()), ciphertext.data(), out.data(),
                                              keys.private_key.data(), static_cast<int>(keys.private_key.size()));
        out.resize(n < 0 ? 0 : static_cast<size_t>(n));
        return out;
    }
};

using RecordTypes = CVeskNetworkSession::CryptoMessages;

// The last n record types of a parse pass. A pass also holds whatever earlier
// records arrived while it ran, so only its end is certain.
RecordTypes Tail(const RecordTypes& types, size_t n)
{
    return RecordTypes(types.end() - static_cast<std::ptrdiff_t>(std::min(n, types.size())), types.end());
}

Bytes Text(const char* text)
{
    return Bytes(text, text + std::strlen(text));
}

// A manager with running threads whose sessions all report to this fixture.
class HandshakeTest : public ::testing::Test {
protected:
    struct Event {
        CVeskNetworkSession* session;
        short ev;
        int recv_result;
        Bytes payload;
        RecordTypes pass_types;  // at HANDSHAKE_FINISH
    };

    void SetUp() override
    {
        ASSERT_EQ(manager->CreateSessions(12), 1);
        ASSERT_EQ(manager->CreateListenSessions(2), 1);
        ASSERT_EQ(manager->CreateParseRecvSocketBufferThread(), 1);
        ASSERT_EQ(manager->DispatchLibEvent(), 1);
    }

    void TearDown() override
    {
        manager.reset();
        for (int fd : raw_sockets)
            close(fd);
    }

    void StartListener(eCryptoAlgorithm algorithm)
    {
        // A probed port can be taken again before the listen: listen fails, try another.
        bool listening = false;
        for (int attempt = 0; attempt < 20 && !listening; ++attempt) {
            port = FreePort();
            listening = manager->Listen(std::to_string(port).c_str(), AF_INET, 8, &HandshakeTest::OnEvent, this,
                                        algorithm) == 1;
        }
        ASSERT_TRUE(listening);
        listener = Access::Listener(*manager);
        ASSERT_NE(listener, nullptr);
    }

    Bytes ListenerPublicKey()
    {
        Bytes key(65535);
        key.resize(static_cast<size_t>(listener->GetRSAPublicKey(key.data(), static_cast<int>(key.size()))));
        return key;
    }

    int Track(int fd)
    {
        raw_sockets.push_back(fd);
        return fd;
    }

    // A raw client connected to the listener, and the session that took it.
    std::pair<int, CVeskNetworkSession*> ConnectRawClient()
    {
        const size_t before = Accepted().size();
        const int fd = Track(ConnectTo(port));
        EXPECT_TRUE(WaitFor([&] { return Accepted().size() > before; }));
        const auto accepted = Accepted();
        return {fd, accepted.size() > before ? accepted.back() : nullptr};
    }

    // A secure library client connected to a raw listening socket.
    std::pair<CVeskNetworkSession*, int> ConnectSecureToRaw(int raw_listener, int raw_port)
    {
        CVeskNetworkSession* session =
            manager->ConnectSecure("127.0.0.1", std::to_string(raw_port).c_str(), &HandshakeTest::OnEvent, this);
        EXPECT_NE(session, nullptr);
        const int fd = Track(AcceptWithin(raw_listener));
        EXPECT_GE(fd, 0);
        return {session, fd};
    }

    static int OnEvent(CVeskNetworkSession* session, short ev, void* param)
    {
        auto* self = static_cast<HandshakeTest*>(param);
        Event event{session, ev, 0, {}, {}};
        if (ev & NETWORK_EVENT_READ) {
            Bytes buffer(CVeskByteRing::kSize);
            event.recv_result = session->recv(buffer.data(), static_cast<int>(buffer.size()), 0);
            if (event.recv_result > 0)
                event.payload.assign(buffer.begin(), buffer.begin() + event.recv_result);
        }
        if (ev & NETWORK_EVENT_HANDSHAKE_FINISH)
            event.pass_types = Access::PassTypes(*session);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->events.push_back(std::move(event));
        return 1;
    }

    std::vector<Event> Events()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }

    std::vector<CVeskNetworkSession*> Accepted()
    {
        std::vector<CVeskNetworkSession*> sessions;
        for (const Event& event : Events())
            if (event.ev & NETWORK_EVENT_ACCEPT)
                sessions.push_back(event.session);
        return sessions;
    }

    // Events of one session since the given count of events.
    std::vector<Event> EventsOf(const CVeskNetworkSession* session, size_t since = 0)
    {
        std::vector<Event> mine;
        const auto all = Events();
        for (size_t i = since; i < all.size(); ++i)
            if (all[i].session == session)
                mine.push_back(all[i]);
        return mine;
    }

    size_t Mark() { return Events().size(); }

    std::optional<Event> Finish(const CVeskNetworkSession* session, size_t since = 0)
    {
        for (const Event& event : EventsOf(session, since))
            if (event.ev & NETWORK_EVENT_HANDSHAKE_FINISH)
                return event;
        return std::nullopt;
    }

    bool Finished(const CVeskNetworkSession* session, size_t since = 0)
    {
        return WaitFor([&] { return Finish(session, since).has_value(); });
    }

    bool FailedNow(const CVeskNetworkSession* session, size_t since)
    {
        for (const Event& event : EventsOf(session, since))
            if ((event.ev & NETWORK_EVENT_READ) && event.recv_result == -1)
                return true;
        return false;
    }

    // The session reported a failed record: a READ whose recv gives -1.
    bool Failed(const CVeskNetworkSession* session, size_t since = 0)
    {
        return WaitFor([&] { return FailedNow(session, since); });
    }

    Bytes Payload(const CVeskNetworkSession* session, size_t since = 0)
    {
        Bytes all;
        for (const Event& event : EventsOf(session, since))
            all = all + event.payload;
        return all;
    }

    bool Delivered(const CVeskNetworkSession* session, const Bytes& expected, size_t since = 0)
    {
        return WaitFor([&] { return Payload(session, since) == expected; });
    }

    // A library client completes a secure handshake with the listener and
    // records flow both ways; both sessions are closed afterwards.
    void ExpectFreshSecureHandshake()
    {
        const size_t mark = Mark();
        const size_t accepted_before = Accepted().size();
        CVeskNetworkSession* client =
            manager->ConnectSecure("127.0.0.1", std::to_string(port).c_str(), &HandshakeTest::OnEvent, this);
        ASSERT_NE(client, nullptr);
        ASSERT_TRUE(WaitFor([&] { return Accepted().size() > accepted_before; }));
        CVeskNetworkSession* server = Accepted().back();
        EXPECT_TRUE(Finished(client, mark)) << "the client finishes";
        EXPECT_TRUE(Finished(server, mark)) << "the server finishes";
        const Bytes ping = Text("ping"), pong = Text("pong");
        EXPECT_GE(client->send(ping.data(), 4, 0), 4);
        EXPECT_GE(server->send(pong.data(), 4, 0), 4);
        EXPECT_TRUE(Delivered(server, ping, mark));
        EXPECT_TRUE(Delivered(client, pong, mark));
        manager->Close(client);
        manager->Close(server);
    }

    std::unique_ptr<CVeskNetworkSessionManager> manager = std::make_unique<CVeskNetworkSessionManager>();
    int port = 0;
    CVeskNetworkSessionListen* listener = nullptr;
    std::vector<int> raw_sockets;
    std::mutex mutex;
    std::vector<Event> events;
};

class HandshakeByAlgorithm : public HandshakeTest, public ::testing::WithParamInterface<eCryptoAlgorithm> {};

INSTANTIATE_TEST_SUITE_P(Ciphers, HandshakeByAlgorithm,
                         ::testing::Values(CRYPTO_ALGORITHM_3DES, CRYPTO_ALGORITHM_BLOWFISH, CRYPTO_ALGORITHM_NONE),
                         [](const ::testing::TestParamInfo<eCryptoAlgorithm>& param_info) {
                             return std::string(param_info.param == CRYPTO_ALGORITHM_3DES       ? "TripleDes"
                                                : param_info.param == CRYPTO_ALGORITHM_BLOWFISH ? "Blowfish"
                                                                                                : "None");
                         });

// --- complete handshakes against a peer of the other role ---

TEST_P(HandshakeByAlgorithm, RawClientCompletesTheHandshakeWithTheServer)
{
    const eCryptoAlgorithm algorithm = GetParam();
    const bool keyed = algorithm != CRYPTO_ALGORITHM_NONE;
    StartListener(algorithm);
    auto [fd, session] = ConnectRawClient();
    ASSERT_NE(session, nullptr);
    RawClientPeer client(fd);

    WriteAll(fd, ClientHello({0, 1, 2}));
    ASSERT_TRUE(client.ReadFlightTwo());
    EXPECT_EQ(Sizes(client.flight_two), (std::vector<size_t>{11, 158, 10})) << "flight 2 is 179 bytes";
    EXPECT_EQ(client.flight_two[0].wire, (Bytes{1, 2, 0, 0, 0, 5, 1, 0, 0, 1, static_cast<unsigned char>(algorithm)}));
    const Bytes key = ListenerPublicKey();
    ASSERT_EQ(key.size(), 140u);
    EXPECT_EQ(client.flight_two[1].wire,
              (Bytes{1, 2, 0, 0, 0, 152, 2, 0, 0, 148, 0, 140} + key + Bytes{0, 4, 1, 0, 1, 0}));
    EXPECT_EQ(client.flight_two[2].wire, (Bytes{1, 2, 0, 0, 0, 4, 3, 0, 0, 0}));
    EXPECT_EQ(client.server_key, key);
    EXPECT_EQ(client.exponent, 65537u);

    // The whole of flight 3 leaves in one write.
    const Bytes flight_three = client.FlightThree();
    EXPECT_EQ(flight_three.size(), keyed ? 291u : 17u);
    WriteAll(fd, flight_three);
    std::vector<WireRecord> flight_four;
    ASSERT_TRUE(client.ReadFlightFour(&flight_four));
    EXPECT_EQ(Sizes(flight_four), (std::vector<size_t>{7, keyed ? 14u : 10u}));

    ASSERT_TRUE(Finished(session));
    // Reported from inside the Finish: the same pass had just handled the key
    // exchange and the switch, in that order.
    const auto expected_types = keyed ? RecordTypes{CRYPTO_MES_TYPE_HANDSHAKE, CRYPTO_MES_TYPE_CHANGE_CIPHER_SPEC}
                                      : RecordTypes{CRYPTO_MES_TYPE_CHANGE_CIPHER_SPEC};
    EXPECT_EQ(Tail(Finish(session)->pass_types, expected_types.size()), expected_types);
    EXPECT_EQ(session->GetCryptoStateSend(), CRYPTO_STATE_CRYPTOED);
    EXPECT_EQ(session->GetCryptoStateRecv(), CRYPTO_STATE_CRYPTOED);
    EXPECT_EQ(Access::Key(*session), client.key);
    EXPECT_EQ(Access::IV(*session), client.iv);

    const Bytes up = Text("from the raw client"), down = Text("from the library server");
    client.SendData(up);
    EXPECT_TRUE(Delivered(session, up));
    EXPECT_GE(session->send(down.data(), static_cast<int>(down.size()), 0), static_cast<int>(down.size()));
    EXPECT_EQ(client.ReadData(), std::optional<Bytes>(down));
}

TEST_P(HandshakeByAlgorithm, RawServerAnswersASecureConnect)
{
    const eCryptoAlgorithm algorithm = GetParam();
    const bool keyed = algorithm != CRYPTO_ALGORITHM_NONE;
    int raw_port = 0;
    const int raw_listener = Track(ListenOnLoopback(&raw_port));
    auto [session, fd] = ConnectSecureToRaw(raw_listener, raw_port);
    ASSERT_NE(session, nullptr);
    RawServerPeer server(fd, algorithm);

    EXPECT_EQ(ReadBytes(fd, 15), (Bytes{1, 2, 0, 0, 0, 9, 0, 0, 0, 5, 0, 3, 0, 1, 2}));
    WriteAll(fd, server.FlightTwo());
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
        EXPECT_EQ(flight_three[1].wire, (Bytes{1, 2, 0, 0, 0, 4, 5, 0, 0, 0}));
    }
    EXPECT_FALSE(Finish(session).has_value()) << "the client waits for the server's Finish";

    const Bytes flight_four = server.FlightFour();
    EXPECT_EQ(flight_four.size(), keyed ? 21u : 17u);
    WriteAll(fd, flight_four);
    ASSERT_TRUE(Finished(session));
    EXPECT_EQ(Tail(Finish(session)->pass_types, 1), RecordTypes{CRYPTO_MES_TYPE_CHANGE_CIPHER_SPEC});
    EXPECT_EQ(Access::Algorithm(*session), algorithm);
    EXPECT_EQ(Access::Key(*session), server.key);
    EXPECT_EQ(Access::IV(*session), server.iv);

    const Bytes up = Text("from the library client"), down = Text("from the raw server");
    EXPECT_GE(session->send(up.data(), static_cast<int>(up.size()), 0), static_cast<int>(up.size()));
    EXPECT_EQ(server.ReadData(), std::optional<Bytes>(up));
    server.SendData(down);
    EXPECT_TRUE(Delivered(session, down));
}

// Library to library through a relay that keeps the bytes: the flights have
// their sizes and application records are ciphertext on the wire.
TEST_P(HandshakeByAlgorithm, LibraryPeersEncryptBothDirectionsOnTheWire)
{
    const eCryptoAlgorithm algorithm = GetParam();
    const bool keyed = algorithm != CRYPTO_ALGORITHM_NONE;
    StartListener(algorithm);
    RecordingProxy proxy(port);
    CVeskNetworkSession* client =
        manager->ConnectSecure("127.0.0.1", proxy.Port().c_str(), &HandshakeTest::OnEvent, this);
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(WaitFor([&] { return !Accepted().empty(); }));
    CVeskNetworkSession* server = Accepted().back();
    ASSERT_TRUE(Finished(client));
    ASSERT_TRUE(Finished(server));
    for (CVeskNetworkSession* session : {client, server}) {
        EXPECT_EQ(session->GetCryptoStateSend(), CRYPTO_STATE_CRYPTOED);
        EXPECT_EQ(session->GetCryptoStateRecv(), CRYPTO_STATE_CRYPTOED);
        EXPECT_EQ(Access::Algorithm(*session), algorithm);
    }
    const Bytes key = Access::Key(*client), iv = Access::IV(*client);
    EXPECT_EQ(key.size(), static_cast<size_t>(KeyLength(algorithm)));
    EXPECT_EQ(Access::Key(*server), key);
    EXPECT_EQ(Access::IV(*server), iv);

    const Bytes up = Text("client to server, sixteen+"), down = Text("server to client");
    EXPECT_GE(client->send(up.data(), static_cast<int>(up.size()), 0), static_cast<int>(up.size()));
    EXPECT_GE(server->send(down.data(), static_cast<int>(down.size()), 0), static_cast<int>(down.size()));
    EXPECT_TRUE(Delivered(server, up));
    EXPECT_TRUE(Delivered(client, down));

    const auto upstream = SplitRecords(proxy.Upstream());
    const auto downstream = SplitRecords(proxy.Downstream());
    const std::vector<size_t> expected_up =
        keyed ? std::vector<size_t>{15, 270, 7, 14, 6 + 32} : std::vector<size_t>{15, 7, 10, 6 + up.size()};
    const std::vector<size_t> expected_down = keyed ? std::vector<size_t>{11, 158, 10, 7, 14, 6 + 24}
                                                    : std::vector<size_t>{11, 158, 10, 7, 10, 6 + down.size()};
    ASSERT_EQ(Sizes(upstream), expected_up);
    ASSERT_EQ(Sizes(downstream), expected_down);
    const unsigned char data_type = keyed ? 3 : 0;
    for (const auto& [record, payload] : {std::pair{upstream.back(), up}, std::pair{downstream.back(), down}}) {
        EXPECT_EQ(record.type, data_type);
        if (keyed) {
            EXPECT_NE(record.body, payload) << "ciphertext on the wire";
        }
        EXPECT_EQ(Decrypt(algorithm, key, iv, record.body), std::optional<Bytes>(payload));
    }
}

// --- what the server chooses ---

TEST_F(HandshakeTest, ServerNamesItsOwnAlgorithmWhereverTheClientListsIt)
{
    StartListener(CRYPTO_ALGORITHM_3DES);
    auto [fd, session] = ConnectRawClient();
    RawClientPeer client(fd);
    WriteAll(fd, ClientHello({2, 1}));
    ASSERT_TRUE(client.ReadFlightTwo());
    EXPECT_EQ(client.algorithm, CRYPTO_ALGORITHM_3DES);

    // A second ClientHello gets the whole of flight 2 again.
    const auto first = client.flight_two;
    WriteAll(fd, ClientHello({0, 1, 2}));
    ASSERT_TRUE(client.ReadFlightTwo());
    ASSERT_EQ(client.flight_two.size(), first.size());
    for (size_t i = 0; i < first.size(); ++i)
        EXPECT_EQ(client.flight_two[i].wire, first[i].wire);
    EXPECT_EQ(Access::Algorithm(*session), CRYPTO_ALGORITHM_3DES);
}

TEST_F(HandshakeTest, PlainConnectToACipherListenerStaysPlain)
{
    StartListener(CRYPTO_ALGORITHM_3DES);
    RecordingProxy proxy(port);
    CVeskNetworkSession* client = manager->Connect("127.0.0.1", proxy.Port().c_str(), &HandshakeTest::OnEvent, this);
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(WaitFor([&] { return !Accepted().empty(); }));
    CVeskNetworkSession* server = Accepted().back();
    const Bytes up = Text("hello"), down = Text("world");
    EXPECT_EQ(client->send(up.data(), 5, 0), 5);
    EXPECT_EQ(server->send(down.data(), 5, 0), 5);
    EXPECT_TRUE(Delivered(server, up));
    EXPECT_TRUE(Delivered(client, down));
    EXPECT_EQ(proxy.Upstream(), Record(0, up));
    EXPECT_EQ(proxy.Downstream(), Record(3, down)) << "the server's type names its cipher; the body is plain";
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(Finish(client).has_value());
    EXPECT_FALSE(Finish(server).has_value());
    for (CVeskNetworkSession* session : {client, server}) {
        EXPECT_EQ(session->GetCryptoStateSend(), CRYPTO_STATE_PLAIN);
        EXPECT_EQ(session->GetCryptoStateRecv(), CRYPTO_STATE_PLAIN);
    }
}

// --- malformed or unwelcome messages at the server ---

// A message a session refuses, and why it fails.
struct BadInput {
    const char* what;
    Bytes bytes;
    vesk::net::FailureReason reason;
};
using Why = vesk::net::FailureReason;

TEST_F(HandshakeTest, MalformedMessagesFailTheServerSessionAlone)
{
    StartListener(CRYPTO_ALGORITHM_3DES);
    const Bytes key = ListenerPublicKey();
    const Bytes encrypted_key = RsaEncrypt(Random(24), key);
    const std::vector<BadInput> cases = {
        {"a handshake body of 3 bytes", Record(1, {0, 0, 0}), Why::kMalformedHandshakeMessage},
        {"type code 6", Message(6, {}), Why::kUnknownHandshakeMessage},
        {"type code 255", Message(255, {0, 0}), Why::kUnknownHandshakeMessage},
        {"a ClientHello of 1 byte", Message(0, {0}), Why::kMalformedHandshakeMessage},
        {"an entry count past the message", Message(0, {0, 4, 0, 1, 2}), Why::kMalformedHandshakeMessage},
        {"a message longer than its record", MessageClaiming(0, 50, {0, 3, 0, 1, 2}), Why::kMalformedHandshakeMessage},
        {"an empty algorithm list", ClientHello({}), Why::kNoCommonAlgorithm},
        {"a list without the server's algorithm", ClientHello({0, 2}), Why::kNoCommonAlgorithm},
        {"a key field of 0 bytes", ClientKeyExchange({}, RsaEncrypt(Random(8), key)), Why::kKeyExchangeFailed},
        {"a key field of 321 bytes", ClientKeyExchange(Bytes(321, 7), Bytes(128, 7)), Why::kKeyExchangeFailed},
        {"an IV field of 161 bytes", ClientKeyExchange(encrypted_key, Bytes(161, 7)), Why::kKeyExchangeFailed},
        {"a key that does not decrypt", ClientKeyExchange(Bytes(128, 7), Bytes(128, 7)), Why::kKeyExchangeFailed},
        {"a ClientKeyExchange cut short", Message(4, Be16(128) + Bytes(127, 7)), Why::kKeyExchangeFailed},
        {"a Finish in the clear after the key exchange",
         ClientKeyExchange(encrypted_key, RsaEncrypt(Random(8), key)) + Message(5, {}), Why::kFinishInTheClear},
        {"a ServerKeyExchange, the client's part", ServerKeyExchange(key, kStandardExponent),
         Why::kMessageOfTheOtherRole},
        {"a ServerHelloDone, the client's part", ServerHelloDone(), Why::kMessageOfTheOtherRole},
    };
    for (const BadInput& bad : cases) {
        SCOPED_TRACE(bad.what);
        const size_t mark = Mark();
        auto [fd, session] = ConnectRawClient();
        ASSERT_NE(session, nullptr);
        WriteAll(fd, bad.bytes);
        EXPECT_TRUE(Failed(session, mark));
        EXPECT_EQ(Access::Failure(*session), bad.reason);
        EXPECT_TRUE(NothingToRead(fd)) << "nothing is answered";
        ExpectFreshSecureHandshake();
        manager->Close(session);
    }
}

TEST_F(HandshakeTest, ServerWithoutAKeyOrWithAKeyNoRecordCanCarryAnswersNothing)
{
    StartListener(CRYPTO_ALGORITHM_3DES);
    const Bytes generated = ListenerPublicKey();
    for (size_t length : {size_t{0}, size_t{19982}, size_t{19981}}) {
        SCOPED_TRACE(length);
        if (length == 0)
            Access::DropPublicKey(*listener);
        else
            ASSERT_EQ(listener->SetRSAPublicKey(Bytes(length, 0x30).data(), static_cast<int>(length)),
                      static_cast<int>(length));
        const size_t mark = Mark();
        auto [fd, session] = ConnectRawClient();
        WriteAll(fd, ClientHello({0, 1, 2}));
        if (length == 19981) {
            // The largest key whose ServerKeyExchange still fits one record.
            RawClientPeer client(fd);
            ASSERT_TRUE(client.ReadFlightTwo());
            EXPECT_EQ(Sizes(client.flight_two), (std::vector<size_t>{11, 19999, 10}));
        } else {
            EXPECT_TRUE(Failed(session, mark));
            EXPECT_TRUE(NothingToRead(fd)) << "not even the ServerHello";
        }
        manager->Close(session);
    }
    ASSERT_EQ(listener->SetRSAPublicKey(generated.data(), static_cast<int>(generated.size())), 140);
    ExpectFreshSecureHandshake();
}

TEST_F(HandshakeTest, ChangeCipherSpecOtherThanOneLeavesReceivingPlain)
{
    StartListener(CRYPTO_ALGORITHM_3DES);
    auto [fd, session] = ConnectRawClient();
    WriteAll(fd, ChangeCipherSpec(0) + Record(0, Text("still plain")));
    EXPECT_TRUE(Delivered(session, Text("still plain")));
    EXPECT_EQ(session->GetCryptoStateRecv(), CRYPTO_STATE_PLAIN);
    EXPECT_FALSE(FailedNow(session, 0));
}

TEST_F(HandshakeTest, KeyTooLongForTheSessionLeavesTheKeyInPlace)
{
    StartListener(CRYPTO_ALGORITHM_3DES);
    auto [fd, session] = ConnectRawClient();
    RawClientPeer client(fd);
    WriteAll(fd, ClientHello({0, 1, 2}));
    ASSERT_TRUE(client.ReadFlightTwo());
    const Bytes key = Random(24), iv = Random(8), long_key = Random(40), second_iv = Random(8);
    WriteAll(fd,
             ClientKeyExchange(RsaEncrypt(key, client.server_key), RsaEncrypt(iv, client.server_key)) +
                 ClientKeyExchange(RsaEncrypt(long_key, client.server_key), RsaEncrypt(second_iv, client.server_key)) +
                 Record(0, Text("sync")));
    ASSERT_TRUE(Delivered(session, Text("sync")));
    EXPECT_FALSE(FailedNow(session, 0)) << "a 40-byte key is accepted";
    EXPECT_EQ(Access::Key(*session), key) << "and does not replace the key";
    EXPECT_EQ(Access::IV(*session), second_iv);

    // The handshake goes on with the key that stayed.
    client.key = key;
    client.iv = second_iv;
    WriteAll(fd, ChangeCipherSpec() + client.Finish());
    std::vector<WireRecord> flight_four;
    EXPECT_TRUE(client.ReadFlightFour(&flight_four));
    EXPECT_TRUE(Finished(session));
}

TEST_F(HandshakeTest, FourByteServerHelloDoneIsHandledAsSuch)
{
    int raw_port = 0;
    const int raw_listener = Track(ListenOnLoopback(&raw_port));
    auto [session, fd] = ConnectSecureToRaw(raw_listener, raw_port);
    ASSERT_EQ(ReadBytes(fd, 15).size(), 15u);
    WriteAll(fd, ServerHello(CRYPTO_ALGORITHM_BLOWFISH) +
                     ServerKeyExchange(RawServerKeys().public_key, kStandardExponent) + Record(1, {3, 0, 0, 0}));
    std::vector<size_t> sizes;
    for (int i = 0; i < 3; ++i)
        if (auto record = ReadRecord(fd))
            sizes.push_back(record->wire.size());
    EXPECT_EQ(sizes, (std::vector<size_t>{270, 7, 14}));
}

// Flight 3 and a first record in one write: each record is handled with the
// state the records before it left behind.
TEST_F(HandshakeTest, FlightThreeAndARecordInOneWriteAreHandledInOrder)
{
    StartListener(CRYPTO_ALGORITHM_3DES);
    auto [fd, session] = ConnectRawClient();
    RawClientPeer client(fd);
    WriteAll(fd, ClientHello({0, 1, 2}));
    ASSERT_TRUE(client.ReadFlightTwo());
    const Bytes flight_three = client.FlightThree();
    WriteAll(fd, flight_three + Record(3, Encrypt(CRYPTO_ALGORITHM_3DES, client.key, client.iv, Text("right after"))));
    std::vector<WireRecord> flight_four;
    EXPECT_TRUE(client.ReadFlightFour(&flight_four));
    EXPECT_TRUE(Delivered(session, Text("right after")));
    ASSERT_TRUE(Finished(session));
    EXPECT_EQ(Tail(Finish(session)->pass_types, 2),
              (RecordTypes{CRYPTO_MES_TYPE_HANDSHAKE, CRYPTO_MES_TYPE_CHANGE_CIPHER_SPEC}));
}

// --- malformed flight 2 at the client ---

TEST_F(HandshakeTest, MalformedFlightTwoFailsTheClientSessionAlone)
{
    StartListener(CRYPTO_ALGORITHM_3DES);
    int raw_port = 0;
    const int raw_listener = Track(ListenOnLoopback(&raw_port));
    const Bytes& key = RawServerKeys().public_key;
    const Bytes exponent_part = Be16(4) + kStandardExponent;
    const std::vector<BadInput> cases = {
        {"an empty ServerHello", Message(1, {}), Why::kMalformedHandshakeMessage},
        {"algorithm 3", ServerHello(3), Why::kUnknownAlgorithm},
        {"algorithm 7", ServerHello(7), Why::kUnknownAlgorithm},
        {"algorithm 255", ServerHello(255), Why::kUnknownAlgorithm},
        {"a modulus length one more than the bytes left",
         Message(2, Be16(key.size() + exponent_part.size() + 1) + key + exponent_part),
         Why::kMalformedHandshakeMessage},
        {"an exponent field past the message", Message(2, Be16(key.size()) + key + Be16(5) + kStandardExponent),
         Why::kMalformedHandshakeMessage},
        {"a ServerKeyExchange of 1 byte", Message(2, {0}), Why::kMalformedHandshakeMessage},
        {"a ServerHelloDone with no server key", ServerHello(1) + ServerHelloDone(), Why::kNoServerKey},
    };
    for (const BadInput& bad : cases) {
        SCOPED_TRACE(bad.what);
        const size_t mark = Mark();
        auto [session, fd] = ConnectSecureToRaw(raw_listener, raw_port);
        ASSERT_NE(session, nullptr);
        EXPECT_EQ(ReadBytes(fd, 15).size(), 15u);
        WriteAll(fd, bad.bytes);
        EXPECT_TRUE(Failed(session, mark));
        EXPECT_EQ(Access::Failure(*session), bad.reason);
        EXPECT_TRUE(NothingToRead(fd)) << "nothing is sent";
        ExpectFreshSecureHandshake();
        manager->Close(session);
    }
}

TEST_F(HandshakeTest, ExponentIsReadLeastSignificantByteFirstFromFourBytesAtMost)
{
    int raw_port = 0;
    const int raw_listener = Track(ListenOnLoopback(&raw_port));
    auto [session, fd] = ConnectSecureToRaw(raw_listener, raw_port);
    ASSERT_EQ(ReadBytes(fd, 15).size(), 15u);
    const Bytes& key = RawServerKeys().public_key;
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
    WriteAll(fd, ServerHello(CRYPTO_ALGORITHM_3DES));
    for (const auto& test_case : cases) {
        SCOPED_TRACE(test_case.expected);
        const size_t mark = Mark();
        WriteAll(fd, ServerKeyExchange(key, test_case.field, test_case.trailer) + Record(0, {1}));
        ASSERT_TRUE(Delivered(session, {1}, mark));
        EXPECT_EQ(session->GetRSAPublicExponent(), test_case.expected);
    }
    EXPECT_FALSE(FailedNow(session, 0));

    // The key stored with those exponents serves the rest of the handshake.
    RawServerPeer server(fd, CRYPTO_ALGORITHM_3DES);
    WriteAll(fd, ServerHelloDone());
    std::vector<WireRecord> flight_three;
    ASSERT_TRUE(server.ReadFlightThree(&flight_three));
    WriteAll(fd, server.FlightFour());
    EXPECT_TRUE(Finished(session));
}

// The client's IV field takes a ciphertext of at most 160 bytes: a 1280-bit
// server key is the largest that works.
TEST_F(HandshakeTest, ServerKeyLongerThanTheIVFieldFailsAtServerHelloDone)
{
    StartListener(CRYPTO_ALGORITHM_3DES);
    for (int bits : {1280, 2048}) {
        SCOPED_TRACE(bits);
        const KeyPair pair = GenerateKeyPair(bits);
        ASSERT_GT(listener->SetRSAPrivateKey(pair.private_key.data(), static_cast<int>(pair.private_key.size())), 0);
        ASSERT_GT(listener->SetRSAPublicKey(pair.public_key.data(), static_cast<int>(pair.public_key.size())), 0);
        const size_t mark = Mark();
        RecordingProxy proxy(port);
        CVeskNetworkSession* client =
            manager->ConnectSecure("127.0.0.1", proxy.Port().c_str(), &HandshakeTest::OnEvent, this);
        ASSERT_NE(client, nullptr);
        const size_t modulus = static_cast<size_t>(bits / 8);
        if (bits == 1280) {
            ASSERT_TRUE(Finished(client, mark));
            const auto upstream = SplitRecords(proxy.Upstream());
            ASSERT_GE(upstream.size(), 2u);
            EXPECT_EQ(upstream[1].wire.size(), 6 + 4 + 2 + modulus + 2 + modulus);
        } else {
            EXPECT_TRUE(Failed(client, mark));
            std::this_thread::sleep_for(100ms);
            EXPECT_EQ(proxy.Upstream(), ClientHello({0, 1, 2})) << "nothing after the ClientHello";
            EXPECT_EQ(Sizes(SplitRecords(proxy.Downstream())),
                      (std::vector<size_t>{11, 18 + pair.public_key.size(), 10}));
        }
        manager->Close(client);
    }
}

// --- no record decided plain after the ChangeCipherSpec ---

Bytes Numbered(uint64_t n)
{
    Bytes payload(16, 0xA5);
    for (int i = 0; i < 8; ++i)
        payload[static_cast<size_t>(i)] = static_cast<unsigned char>(n >> (8 * i));
    return payload;
}

std::optional<uint64_t> NumberOf(const Bytes& payload)
{
    if (payload.size() != 16 || !std::equal(payload.begin() + 8, payload.end(), Bytes(8, 0xA5).begin()))
        return std::nullopt;
    uint64_t n = 0;
    for (int i = 0; i < 8; ++i)
        n |= static_cast<uint64_t>(payload[static_cast<size_t>(i)]) << (8 * i);
    return n;
}

// The server's application sends as fast as it can while the handshake runs;
// the raw client checks that every record after the server's ChangeCipherSpec
// decrypts, and that none is lost or repeated.
TEST_F(HandshakeTest, ApplicationSendingDuringTheHandshakeNeverPutsPlainAfterTheSwitch)
{
    StartListener(CRYPTO_ALGORITHM_3DES);
    // The window is narrow: many short rounds, bounded in count and time.
    constexpr int kRounds = 100;
    const auto give_up = std::chrono::steady_clock::now() + 15s;
    for (int round = 0; round < kRounds && !HasFailure() && std::chrono::steady_clock::now() < give_up; ++round) {
        SCOPED_TRACE(round);
        auto [fd, session] = ConnectRawClient();
        ASSERT_NE(session, nullptr);
        std::atomic<bool> stop{false};
        std::atomic<bool> done{false};
        std::thread sender([&, server = session] {
            for (uint64_t n = 0; n < 1000000 && !stop; ++n)
                if (server->send(Numbered(n).data(), 16, 0) < 0)
                    break;
            done = true;
        });

        RawClientPeer client(fd);
        bool finished = false;
        size_t encrypted_records = 0;
        const auto read_stream = [&, fd = fd] {
            WriteAll(fd, ClientHello({0, 1, 2}));
            std::vector<WireRecord> flight_two;
            bool switched = false;
            std::optional<uint64_t> last;
            const auto deadline = std::chrono::steady_clock::now() + 20s;
            while (!(finished && encrypted_records >= 200) && std::chrono::steady_clock::now() < deadline) {
                const auto record = ReadRecord(fd);
                ASSERT_TRUE(record.has_value());
                std::optional<Bytes> body = record->body;
                if (switched)
                    body = Decrypt(CRYPTO_ALGORITHM_3DES, client.key, client.iv, record->body);
                const auto plain_number = NumberOf(record->body);
                ASSERT_TRUE(body.has_value())
                    << "a record of type " << int{record->type} << " after the ChangeCipherSpec and "
                    << encrypted_records << " encrypted records does not decrypt"
                    << (plain_number ? "; it is plain record " + std::to_string(*plain_number) : std::string());
                if (record->type == CRYPTO_MES_TYPE_CRYPTOED) {
                    const auto n = NumberOf(*body);
                    ASSERT_TRUE(n.has_value()) << "an application record that is neither plain nor encrypted";
                    ASSERT_EQ(*n, last ? *last + 1 : 0) << "records stay whole and in order";
                    last = n;
                    encrypted_records += switched ? 1 : 0;
                } else if (record->type == CRYPTO_MES_TYPE_CHANGE_CIPHER_SPEC) {
                    ASSERT_EQ(record->wire, ChangeCipherSpec());
                    switched = true;
                } else {
                    ASSERT_EQ(record->type, CRYPTO_MES_TYPE_HANDSHAKE);
                    if (switched) {
                        EXPECT_EQ(*body, kFinishMessage);
                        finished = true;
                        continue;
                    }
                    flight_two.push_back(*record);
                    if (flight_two.size() == 3) {
                        ASSERT_TRUE(client.TakeFlightTwo(flight_two));
                        WriteAll(fd, client.FlightThree());
                    }
                }
            }
        };
        read_stream();
        EXPECT_TRUE(finished);
        EXPECT_GE(encrypted_records, 200u);
        stop = true;
        // The sender may be blocked on a full socket: keep draining.
        WaitFor([&, fd = fd] {
            unsigned char drain[65536];
            while (::recv(fd, drain, sizeof drain, MSG_DONTWAIT) > 0) {
            }
            return done.load();
        });
        sender.join();
        manager->Close(session);
    }
}

// --- persistent server keys and pinned clients ---

using VeskMessageSystem::CVeskMessageSession;
using VeskMessageSystem::CVeskMessageSystem;

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

// The other key pair the tests need, made once.
const KeyPair& OtherKeys()
{
    static const KeyPair pair = GenerateKeyPair(1024);
    return pair;
}

// A pinned client shows the raw server its ClientHello and nothing else when
// flight 2 is not the pinned key under a cipher.
TEST_F(HandshakeTest, PinnedClientSendsNothingAfterTheClientHelloButToThePinnedKeyUnderACipher)
{
    StartListener(CRYPTO_ALGORITHM_3DES);
    int raw_port = 0;
    const int raw_listener = Track(ListenOnLoopback(&raw_port));
    const Bytes& pinned = RawServerKeys().public_key;
    ASSERT_TRUE(manager->PinServerKey("127.0.0.1", std::to_string(raw_port).c_str(), DigestOf(pinned).data()));
    struct Case {
        const char* what;
        Bytes flight;
        int reason;
    };
    const std::vector<Case> cases = {
        {"the pinned key without a cipher",
         ServerHello(0) + ServerKeyExchange(pinned, kStandardExponent) + ServerHelloDone(),
         VeskMessageSystem::VESK_END_HANDSHAKE_FAILED},
        {"the pinned key without a ServerHello", ServerKeyExchange(pinned, kStandardExponent) + ServerHelloDone(),
         VeskMessageSystem::VESK_END_HANDSHAKE_FAILED},
        {"another key",
         ServerHello(1) + ServerKeyExchange(OtherKeys().public_key, kStandardExponent) + ServerHelloDone(),
         VeskMessageSystem::VESK_END_SERVER_KEY_MISMATCH},
        {"a ChangeCipherSpec and Finish in the clear instead of flight 2",
         ChangeCipherSpec() + Record(1, kFinishMessage), VeskMessageSystem::VESK_END_HANDSHAKE_FAILED},
    };
    // Each case in a session slot of its own, so each reason read is its own.
    std::vector<CVeskNetworkSession*> failed;
    for (const Case& bad : cases) {
        SCOPED_TRACE(bad.what);
        const size_t mark = Mark();
        auto [session, fd] = ConnectSecureToRaw(raw_listener, raw_port);
        ASSERT_NE(session, nullptr);
        EXPECT_EQ(ReadBytes(fd, 15), ClientHello({0, 1, 2}));
        WriteAll(fd, bad.flight);
        EXPECT_TRUE(Failed(session, mark));
        EXPECT_TRUE(NothingToRead(fd)) << "no key exchange, no switch, no Finish";
        EXPECT_EQ(Access::EndReason(*session), bad.reason);
        failed.push_back(session);
    }
    // Unpinned endpoints are not affected.
    ExpectFreshSecureHandshake();
    for (CVeskNetworkSession* session : failed)
        manager->Close(session);
}

// Server and client systems through the public interface; the servers log
// in alice and echo every message of the application's types.
class ServerKeys : public ::testing::Test {
protected:
    struct Server {
        std::unique_ptr<CVeskMessageSystem> system;
        std::string port;
    };

    void SetUp() override
    {
        char path[] = "/tmp/vesk_users_XXXXXX";
        const int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        user_file = path;
        const std::string users = "alice\tsecret\n";
        ASSERT_EQ(write(fd, users.data(), users.size()), static_cast<ssize_t>(users.size()));
        close(fd);
        g_echoes = 0;
    }

    void TearDown() override
    {
        std::remove(user_file.c_str());
        handles.clear();
    }

    static int Echo(CVeskMessageSession* session, const char*, const char*, const void* data, size_t size)
    {
        session->send_message(data, size);
        return 0;
    }
    static int CountEcho(CVeskMessageSession*, const char*, const char*, const void*, size_t)
    {
        ++g_echoes;
        return 0;
    }

    // A server with the given persistent key (none: a fresh one), listening.
    Server StartServer(const Bytes& private_key)
    {
        Server server{std::unique_ptr<CVeskMessageSystem>(VeskMessageSystemCreate()), {}};
        CVeskMessageSystem& system = *server.system;
        EXPECT_EQ(system.CreateSessions(4), 1);
        EXPECT_EQ(system.CreateListenSessions(1), 1);
        EXPECT_EQ(system.load_auth_user_list(user_file.c_str()), 1);
        system.add_ExtensionCallFunction({VeskMessageSystem::VESKMESSYS_MESSAGE_TYPE_USER_EXTENSION_ALL, 0, Echo});
        if (!private_key.empty()) {
            EXPECT_EQ(system.set_server_key(private_key.data(), private_key.size()), 1);
        }
        EXPECT_EQ(system.InitSocketEvent(), 1);
        bool listening = false;
        for (int attempt = 0; attempt < 20 && !listening; ++attempt) {
            server.port = std::to_string(FreePort());
            listening = system.listen(server.port.c_str(), AF_INET,
                                      VeskMessageSystem::VESKMESSYS_CRYPTO_ALGORITHM_BLOWFISH) == 1;
        }
        EXPECT_TRUE(listening);
        EXPECT_EQ(system.DispatchSocketEvent(), 1);
        return server;
    }

    std::unique_ptr<CVeskMessageSystem> StartClient()
    {
        std::unique_ptr<CVeskMessageSystem> client(VeskMessageSystemCreate());
        EXPECT_EQ(client->CreateSessions(4), 1);
        client->add_ExtensionCallFunction({kEchoType, 12, CountEcho});
        EXPECT_EQ(client->InitSocketEvent(), 1);
        EXPECT_EQ(client->DispatchSocketEvent(), 1);
        return client;
    }

    CVeskMessageSession* Login(CVeskMessageSystem& client, const std::string& port)
    {
        CVeskMessageSession* handle = client.connect("127.0.0.1", port.c_str(), "alice", 5, "secret", 6);
        if (handle != nullptr)
            handles.emplace_back(handle);
        return handle;
    }

    // Logged in as alice, and one message echoed.
    void ExpectLoginAndEcho(CVeskMessageSystem& client, const std::string& port)
    {
        const int echoes = g_echoes;
        CVeskMessageSession* handle = Login(client, port);
        ASSERT_NE(handle, nullptr);
        EXPECT_TRUE(WaitFor([&] { return client.reference_user("alice", 5).get_uid_size() == 5; }));
        const unsigned char message[12] = {kEchoType, 0, 0, 0, 12, 0, 0, 0, 'p', 'i', 'n', 'g'};
        EXPECT_GT(handle->send_message(message, sizeof message), 0);
        EXPECT_TRUE(WaitFor([&] { return g_echoes > echoes; }));
        client.close(handle);
    }

    static constexpr unsigned char kEchoType = 42;
    static inline std::atomic<int> g_echoes{0};
    std::string user_file;
    std::vector<std::unique_ptr<CVeskMessageSession>> handles;
};

// The pinned server is served; one with another key (the stand-in for a man
// in the middle) sees the ClientHello and nothing more, and the session ends
// for the mismatch. An unpinned client logs in to both.
TEST_F(ServerKeys, PinnedClientTalksOnlyToTheServerWithThePinnedKey)
{
    const Server pinned = StartServer(RawServerKeys().private_key);
    const Server other = StartServer(OtherKeys().private_key);
    RecordingProxy proxy(std::stoi(other.port));
    auto client = StartClient();
    const std::string fingerprint = FingerprintOf(RawServerKeys().public_key);
    ASSERT_EQ(client->pin_server_key("127.0.0.1", pinned.port.c_str(), fingerprint.c_str()), 1);
    ASSERT_EQ(client->pin_server_key("127.0.0.1", proxy.Port().c_str(), fingerprint.c_str()), 1);

    ASSERT_NO_FATAL_FAILURE(ExpectLoginAndEcho(*client, pinned.port));
    EXPECT_EQ(Login(*client, proxy.Port()), nullptr);
    EXPECT_EQ(proxy.Upstream(), ClientHello({0, 1, 2})) << "neither key material nor the login left";
    EXPECT_EQ(Sizes(SplitRecords(proxy.Downstream())), (std::vector<size_t>{11, 158, 10}));

    // Without credentials the session is returned and ends for the mismatch.
    ASSERT_EQ(client->pin_server_key("127.0.0.1", other.port.c_str(), fingerprint.c_str()), 1);
    std::unique_ptr<CVeskMessageSession> plain(client->connect("127.0.0.1", other.port.c_str()));
    ASSERT_NE(plain, nullptr);
    EXPECT_TRUE(WaitFor([&] { return !plain->is_session_used(); }));
    EXPECT_EQ(Access::EndReason(*plain), VeskMessageSystem::VESK_END_SERVER_KEY_MISMATCH);

    auto unpinned = StartClient();
    ASSERT_NO_FATAL_FAILURE(ExpectLoginAndEcho(*unpinned, pinned.port));
    ASSERT_NO_FATAL_FAILURE(ExpectLoginAndEcho(*unpinned, other.port));
    // Removing the pin lets the pinned client in as well.
    ASSERT_EQ(client->pin_server_key("127.0.0.1", other.port.c_str(), nullptr), 1);
    ASSERT_NO_FATAL_FAILURE(ExpectLoginAndEcho(*client, other.port));
}

// The independent raw client sees the persistent key in every listen's
// ServerKeyExchange, in the flights it always had, and completes the
// handshake.
TEST_F(ServerKeys, RawClientCompletesTheHandshakeWithAPersistentKey)
{
    Server server = StartServer(RawServerKeys().private_key);
    for (int listen = 0; listen < 2; ++listen) {
        SCOPED_TRACE(listen);
        if (listen > 0) {
            server.system->close_listen(server.port.c_str());
            ASSERT_EQ(server.system->listen(server.port.c_str(), AF_INET,
                                            VeskMessageSystem::VESKMESSYS_CRYPTO_ALGORITHM_BLOWFISH),
                      1);
        }
        const int fd = ConnectTo(std::stoi(server.port));
        RawClientPeer client(fd);
        WriteAll(fd, ClientHello({0, 1, 2}));
        ASSERT_TRUE(client.ReadFlightTwo());
        EXPECT_EQ(Sizes(client.flight_two), (std::vector<size_t>{11, 158, 10}));
        EXPECT_EQ(client.server_key, RawServerKeys().public_key);
        EXPECT_EQ(client.exponent, 65537u);
        WriteAll(fd, client.FlightThree());
        std::vector<WireRecord> flight_four;
        EXPECT_TRUE(client.ReadFlightFour(&flight_four));
        close(fd);
    }
}

std::string ReadText(const std::string& path)
{
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteText(const std::string& path, const std::string& text)
{
    std::ofstream(path) << text;
}

// A client learns a server's key at the first contact, writes it to the
// file, and requires it afterwards: of the file's entries as of the learned
// ones. A file it cannot parse is refused whole.
TEST_F(ServerKeys, KnownServersAreLearnedOnFirstContactAndRequiredAfter)
{
    char folder[] = "/tmp/vesk_known_XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string path = std::string(folder) + "/known_servers";
    Server first = StartServer(RawServerKeys().private_key);
    const Server other = StartServer(OtherKeys().private_key);
    const std::string fingerprint = FingerprintOf(RawServerKeys().public_key);
    const std::string listed = "127.0.0.1 " + other.port + " " + fingerprint + "\n";
    WriteText(path, "# servers\n\n" + listed);
    auto client = StartClient();
    ASSERT_EQ(client->set_known_servers_file(path.c_str()), 1);

    ASSERT_NO_FATAL_FAILURE(ExpectLoginAndEcho(*client, first.port));
    const std::string learned = "127.0.0.1 " + first.port + " " + fingerprint + "\n";
    EXPECT_EQ(ReadText(path), listed + learned);
    EXPECT_EQ(Login(*client, other.port), nullptr) << "the file's entry is required";
    // The server changes its key on the same port: the learned one is required.
    ASSERT_EQ(first.system->set_server_key(OtherKeys().private_key.data(), OtherKeys().private_key.size()), 1);
    first.system->close_listen(first.port.c_str());
    ASSERT_EQ(
        first.system->listen(first.port.c_str(), AF_INET, VeskMessageSystem::VESKMESSYS_CRYPTO_ALGORITHM_BLOWFISH), 1);
    EXPECT_EQ(Login(*client, first.port), nullptr);
    EXPECT_EQ(ReadText(path), listed + learned) << "nothing learned over a known key";

    const std::vector<std::string> malformed = {
        "127.0.0.1 " + other.port + "\n",
        "127.0.0.1 " + other.port + " " + fingerprint + " extra\n",
        "127.0.0.1 " + other.port + " " + fingerprint.substr(1) + "\n",
        std::string(256, 'h') + " 1 " + fingerprint + "\n",
    };
    for (const std::string& text : malformed) {
        SCOPED_TRACE(text);
        WriteText(path, listed + text);
        EXPECT_EQ(client->set_known_servers_file(path.c_str()), 0);
    }
    EXPECT_EQ(client->set_known_servers_file(folder), 0) << "a folder";
    std::remove(path.c_str());
    rmdir(folder);
}

TEST_F(ServerKeys, KeysAndFingerprintsThatCannotServeAreRefused)
{
    const Bytes& good = RawServerKeys().private_key;
    Bytes trailing = good;
    trailing.push_back(0);
    Bytes altered = good;
    altered[altered.size() / 2] ^= 0x01;
    const KeyPair too_long = GenerateKeyPair(2048);
    std::unique_ptr<CVeskMessageSystem> system(VeskMessageSystemCreate());
    const std::vector<std::pair<const char*, Bytes>> keys = {
        {"random bytes", Random(600)},       {"a public key", RawServerKeys().public_key},
        {"a trailing byte", trailing},       {"one bit changed", altered},
        {"2048 bits", too_long.private_key}, {"a cut key", Bytes(good.begin(), good.begin() + 100)},
    };
    for (const auto& [what, key] : keys) {
        SCOPED_TRACE(what);
        EXPECT_EQ(system->set_server_key(key.data(), key.size()), 0);
    }
    EXPECT_EQ(system->set_server_key(good.data(), good.size()), 1);
    EXPECT_EQ(system->set_server_key(nullptr, 0), 1) << "back to a fresh key per listen";

    const std::string fingerprint = FingerprintOf(good);
    EXPECT_EQ(fingerprint, FingerprintOf(RawServerKeys().public_key)) << "a pair has one fingerprint";
    std::string upper = fingerprint;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(system->pin_server_key("localhost", "1", upper.c_str()), 1);
    const std::vector<std::string> fingerprints = {"", fingerprint.substr(1), fingerprint + "0",
                                                   "z" + fingerprint.substr(1),
                                                   fingerprint.substr(0, 2) + ":" + fingerprint.substr(2, 62)};
    for (const std::string& bad : fingerprints) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(system->pin_server_key("localhost", "1", bad.c_str()), 0);
    }
    EXPECT_EQ(system->pin_server_key(nullptr, "1", fingerprint.c_str()), 0);
    char small[CVeskMessageSystem::kServerKeyFingerprintSize - 1];
    EXPECT_EQ(CVeskMessageSystem::server_key_fingerprint(good.data(), good.size(), small, sizeof small), 0);
    EXPECT_EQ(CVeskMessageSystem::server_key_fingerprint(trailing.data(), trailing.size(), nullptr, 0), 0);
}

}  // namespace
