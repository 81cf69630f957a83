// The record layer over real loopback sockets: what a session writes on the
// wire, how it cuts and delivers what it reads, and how it holds up against
// slow readers, closing peers and trickling senders.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "CryptFunction.h"
#include "VeskNetworkSystem.h"
#include "test_support.h"

using namespace VeskNetworkSystem;

struct VeskNetworkTestAccess {
    static void Encrypt(CVeskNetworkSession& session, eCryptoAlgorithm algorithm, const unsigned char* key,
                        int key_length, const unsigned char* iv)
    {
        session.SetCryptoAlgorithm(algorithm);
        session.SetCryptoKey(key, key_length);
        session.SetCryptoIV(iv, 8);
        session.SetCryptoStateRecv(CRYPTO_STATE_CRYPTOED);
        session.SetCryptoStateSend(CRYPTO_STATE_CRYPTOED);
    }
    static void SetAlgorithm(CVeskNetworkSession& session, eCryptoAlgorithm algorithm)
    {
        session.SetCryptoAlgorithm(algorithm);
    }
    // Both directions encrypted, but no key or IV was ever agreed.
    static void EncryptWithoutKey(CVeskNetworkSession& session, eCryptoAlgorithm algorithm)
    {
        session.SetCryptoAlgorithm(algorithm);
        session.SetCryptoStateRecv(CRYPTO_STATE_CRYPTOED);
        session.SetCryptoStateSend(CRYPTO_STATE_CRYPTOED);
    }
    static void AfterRecvRingLooked(CVeskNetworkSession& session, void (*hook)(CVeskNetworkSession&))
    {
        session.m_AfterRecvRingLooked.store(hook, std::memory_order_release);
    }
    static size_t SocketRingHeld(const CVeskNetworkSession& session) { return session.m_recv_socket_buffer.Held(); }
};

namespace {

using namespace vesk_test;

using Access = VeskNetworkTestAccess;
using namespace std::chrono_literals;

const unsigned char kKey[24] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
const unsigned char kIV[8] = {8, 7, 6, 5, 4, 3, 2, 1};

std::vector<unsigned char> Record(unsigned char type, const std::vector<unsigned char>& body)
{
    // Sized once: growing a 6-byte vector makes GCC 12 at -O3 warn (array-bounds).
    std::vector<unsigned char> record(6 + body.size());
    record[0] = type;
    record[1] = 2;
    record[2] = 0;
    record[3] = static_cast<unsigned char>(body.size() >> 16);
    record[4] = static_cast<unsigned char>(body.size() >> 8);
    record[5] = static_cast<unsigned char>(body.size());
    std::copy(body.begin(), body.end(), record.begin() + 6);
    return record;
}

bool NothingToRead(int fd)
{
    pollfd waiting{fd, POLLIN, 0};
    return poll(&waiting, 1, 100) == 0;
}

// A manager with running threads whose sessions report to this fixture.
// Each test gets a server session fed by a raw client socket, and a client
// session whose bytes a raw server socket reads.
class RecordLayerTest : public ::testing::Test {
protected:
    struct Event {
        CVeskNetworkSession* session;
        short ev;
        std::vector<unsigned char> payload;
        int recv_result;
    };

    void SetUp() override
    {
        ASSERT_EQ(manager->CreateSessions(4), 1);
        ASSERT_EQ(manager->CreateListenSessions(2), 1);
        ASSERT_EQ(manager->CreateParseRecvSocketBufferThread(), 1);
        ASSERT_EQ(manager->DispatchLibEvent(), 1);
        // A probed port can be taken again before the listen: listen fails, try another.
        bool listening = false;
        for (int attempt = 0; attempt < 20 && !listening; ++attempt) {
            port = std::to_string(FreePort());
            listening =
                manager->Listen(port.c_str(), AF_INET, 5, &RecordLayerTest::OnEvent, this, CRYPTO_ALGORITHM_NONE) == 1;
        }
        ASSERT_TRUE(listening);
    }

    void TearDown() override
    {
        manager.reset();
        for (int fd : raw_sockets)
            close(fd);
    }

    // A raw client connected to the manager's listener, and the server
    // session that accepted it.
    std::pair<int, CVeskNetworkSession*> ConnectRawClient()
    {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        raw_sockets.push_back(fd);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        CVeskNetworkSession* session = nullptr;
        EXPECT_TRUE(WaitFor([&] {
            std::lock_guard<std::mutex> lock(mutex);
            for (const Event& event : events)
                if (event.ev == NETWORK_EVENT_ACCEPT)
                    session = event.session;
            return session != nullptr;
        }));
        std::lock_guard<std::mutex> lock(mutex);
        events.clear();
        return {fd, session};
    }

    // A client session connected to a raw server socket, and that socket.
    std::pair<CVeskNetworkSession*, int> ConnectToRawServer()
    {
        const int listener = socket(AF_INET, SOCK_STREAM, 0);
        raw_sockets.push_back(listener);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 1);
        socklen_t length = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        const std::string raw_port = std::to_string(ntohs(address.sin_port));
        CVeskNetworkSession* session = manager->Connect("127.0.0.1", raw_port.c_str(), &RecordLayerTest::OnEvent, this);
        const int fd = accept(listener, nullptr, nullptr);
        raw_sockets.push_back(fd);
        return {session, fd};
    }

    static int OnEvent(CVeskNetworkSession* session, short ev, void* param)
    {
        auto* self = static_cast<RecordLayerTest*>(param);
        Event event{session, ev, {}, 0};
        if (ev & NETWORK_EVENT_READ) {
            if (self->slow_reader)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            std::vector<unsigned char> buffer(CVeskByteRing::kSize);
            event.recv_result = session->recv(buffer.data(), static_cast<int>(buffer.size()), 0);
            if (event.recv_result > 0)
                event.payload.assign(buffer.begin(), buffer.begin() + event.recv_result);
        }
        if (self->on_payload && !event.payload.empty()) {
            self->on_payload(session, event.payload);
            return 1;
        }
        std::lock_guard<std::mutex> lock(self->mutex);
        self->events.push_back(std::move(event));
        return 1;
    }

    std::vector<Event> Events()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }

    std::vector<unsigned char> Received()
    {
        std::vector<unsigned char> all;
        for (const Event& event : Events())
            all.insert(all.end(), event.payload.begin(), event.payload.end());
        return all;
    }

    bool Saw(short ev)
    {
        for (const Event& event : Events())
            if (event.ev & ev)
                return true;
        return false;
    }

    std::unique_ptr<CVeskNetworkSessionManager> manager = std::make_unique<CVeskNetworkSessionManager>();
    std::string port;
    std::vector<int> raw_sockets;
    std::mutex mutex;
    std::vector<Event> events;
    std::atomic<bool> slow_reader{false};
    // Runs on the parse thread for every payload read, instead of recording it.
    std::function<void(CVeskNetworkSession*, const std::vector<unsigned char>&)> on_payload;
};

// --- the send path, as bytes on the wire ---

TEST_F(RecordLayerTest, PlainSendWritesOneRecord)
{
    auto [session, raw] = ConnectToRawServer();
    ASSERT_NE(session, nullptr);
    const unsigned char abc[3] = {0x41, 0x42, 0x43};
    EXPECT_EQ(session->send(abc, 3, 0), 3);
    EXPECT_EQ(ReadBytes(raw, 9), (std::vector<unsigned char>{0x00, 0x02, 0x00, 0x00, 0x00, 0x03, 0x41, 0x42, 0x43}));

    EXPECT_EQ(session->send(abc, 0, 0), 0);
    EXPECT_EQ(ReadBytes(raw, 6), (std::vector<unsigned char>{0x00, 0x02, 0x00, 0x00, 0x00, 0x00}));
}

TEST_F(RecordLayerTest, EncryptedBodiesArePaddedAndMatchTheCipherFunctions)
{
    auto [session, raw] = ConnectToRawServer();
    Access::Encrypt(*session, CRYPTO_ALGORITHM_3DES, kKey, 24, kIV);
    const std::vector<unsigned char> five = {1, 2, 3, 4, 5};
    EXPECT_EQ(session->send(five.data(), 5, 0), 8);
    const auto record = ReadBytes(raw, 14);
    ASSERT_EQ(record.size(), 14u);
    EXPECT_EQ((std::vector<unsigned char>(record.begin(), record.begin() + 6)),
              (std::vector<unsigned char>{0x03, 0x02, 0x00, 0x00, 0x00, 0x08}));
    unsigned char expected[16];
    ASSERT_EQ(encrypt_DES_EDE3(expected, sizeof expected, five.data(), 5, kKey, 24, kIV, 8), 8);
    EXPECT_EQ(0, std::memcmp(record.data() + 6, expected, 8));

    const std::vector<unsigned char> eight(8, 0x77);
    EXPECT_EQ(session->send(eight.data(), 8, 0), 16);
    const auto first = ReadBytes(raw, 22);
    EXPECT_EQ(session->send(eight.data(), 8, 0), 16);
    const auto second = ReadBytes(raw, 22);
    EXPECT_EQ(first, second) << "every record starts afresh from the session key and IV";
}

TEST_F(RecordLayerTest, BlowfishBeforeTheSendingSwitchGoesPlainAsTypeThree)
{
    auto [session, raw] = ConnectToRawServer();
    Access::SetAlgorithm(*session, CRYPTO_ALGORITHM_BLOWFISH);
    const unsigned char bytes[2] = {9, 9};
    EXPECT_EQ(session->send(bytes, 2, 0), 2);
    EXPECT_EQ(ReadBytes(raw, 8), (std::vector<unsigned char>{0x03, 0x02, 0x00, 0x00, 0x00, 0x02, 9, 9}));
}

TEST_F(RecordLayerTest, PayloadsThePeerCouldNeverTakeAreRefused)
{
    auto [session, raw] = ConnectToRawServer();
    std::vector<unsigned char> big(20000, 1);
    EXPECT_EQ(session->send(big.data(), 19994, 0), -1);
    EXPECT_EQ(session->send(big.data(), -1, 0), -1);
    EXPECT_TRUE(NothingToRead(raw));
    EXPECT_EQ(session->send(big.data(), 19993, 0), 19993);
    EXPECT_EQ(ReadBytes(raw, 19999).size(), 19999u);

    Access::Encrypt(*session, CRYPTO_ALGORITHM_BLOWFISH, kKey, 16, kIV);
    EXPECT_EQ(session->send(big.data(), 19992, 0), -1);
    EXPECT_TRUE(NothingToRead(raw));
    EXPECT_EQ(session->send(big.data(), 19991, 0), 19992) << "the session goes on";
}

TEST_F(RecordLayerTest, SendFailsOnAReleasedSessionAndOnAResetPeer)
{
    auto [session, raw] = ConnectToRawServer();
    struct sigaction before {};
    sigaction(SIGPIPE, nullptr, &before);

    linger reset{1, 0};
    setsockopt(raw, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(raw);
    raw_sockets.erase(std::find(raw_sockets.begin(), raw_sockets.end(), raw));
    const unsigned char byte = 1;
    int result = 0;
    // The first write may still be accepted before the reset is known.
    for (int attempt = 0; attempt < 50 && result >= 0; ++attempt) {
        result = session->send(&byte, 1, 0);
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(result, -1) << "the process lives on and the write reports the failure";

    struct sigaction after {};
    sigaction(SIGPIPE, nullptr, &after);
    EXPECT_EQ(before.sa_handler, after.sa_handler) << "no process-wide signal setting changes";

    manager->Close(session);
    EXPECT_EQ(session->send(&byte, 1, 0), -1);
}

// A direction switched to encrypted without an agreed key never falls back to
// enciphering with whatever the key storage holds.
TEST_F(RecordLayerTest, EncryptedDirectionWithoutAKeyFailsInsteadOfGuessing)
{
    auto [session, raw] = ConnectToRawServer();
    Access::EncryptWithoutKey(*session, CRYPTO_ALGORITHM_3DES);
    const unsigned char bytes[4] = {1, 2, 3, 4};
    EXPECT_EQ(session->send(bytes, 4, 0), -1);
    EXPECT_TRUE(NothingToRead(raw));

    auto [client, accepted] = ConnectRawClient();
    Access::EncryptWithoutKey(*accepted, CRYPTO_ALGORITHM_BLOWFISH);
    WriteAll(client, Record(3, std::vector<unsigned char>(8, 0x11)));
    EXPECT_TRUE(WaitFor([&, accepted = accepted] {
        for (const Event& event : Events())
            if (event.session == accepted && event.ev == NETWORK_EVENT_READ && event.recv_result == -1)
                return true;
        return false;
    }));
}

// --- the receive path, from a raw peer ---

TEST_F(RecordLayerTest, RecordSplitAcrossReadsIsDeliveredOnceComplete)
{
    auto [raw, session] = ConnectRawClient();
    const auto record = Record(0, {'h', 'e', 'l', 'l', 'o'});
    WriteAll(raw, std::vector<unsigned char>(record.begin(), record.begin() + 4));
    std::this_thread::sleep_for(50ms);
    WriteAll(raw, std::vector<unsigned char>(record.begin() + 4, record.begin() + 8));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(Received().empty());
    WriteAll(raw, std::vector<unsigned char>(record.begin() + 8, record.end()));
    EXPECT_TRUE(WaitFor([&] { return Received().size() == 5; }));
    EXPECT_EQ(Received(), (std::vector<unsigned char>{'h', 'e', 'l', 'l', 'o'}));
}

// What arrives while the parse thread is between looking at the socket ring
// and cutting a record from it.
struct MidStepArrival {
    int raw = -1;
    std::vector<unsigned char> bytes;
    std::atomic<bool> arrived{false};
} g_mid_step;

// Runs on the parse thread once it has looked at a ring holding 3 bytes:
// the loop thread appends the next bytes before the step goes on.
void ArriveAfterThreeBytesWereLooked(CVeskNetworkSession& session)
{
    if (Access::SocketRingHeld(session) != 3)
        return;
    Access::AfterRecvRingLooked(session, nullptr);
    WriteAll(g_mid_step.raw, g_mid_step.bytes);
    EXPECT_TRUE(WaitFor([&] { return Access::SocketRingHeld(session) == 3 + g_mid_step.bytes.size(); }));
    g_mid_step.arrived = true;
}

// A parse step works on what the socket ring held when it looked: bytes the
// loop thread appends meanwhile wait for the next step, so a record whose
// header had not all arrived is never taken for complete.
TEST_F(RecordLayerTest, BytesArrivingDuringAParseStepWaitForTheNextStep)
{
    auto [raw, session] = ConnectRawClient();
    const std::vector<unsigned char> body(100, 0x5a);
    const auto record = Record(0, body);
    g_mid_step.raw = raw;
    g_mid_step.bytes.assign(record.begin() + 3, record.begin() + 16);
    Access::AfterRecvRingLooked(*session, &ArriveAfterThreeBytesWereLooked);
    WriteAll(raw, std::vector<unsigned char>(record.begin(), record.begin() + 3));
    ASSERT_TRUE(WaitFor([] { return g_mid_step.arrived.load(); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(Received().empty()) << "the body is not complete yet";
    WriteAll(raw, std::vector<unsigned char>(record.begin() + 16, record.end()));
    EXPECT_TRUE(WaitFor([&] { return Received().size() == body.size(); }));
    EXPECT_EQ(Received(), body);
    EXPECT_FALSE(Saw(NETWORK_EVENT_CLOSE));
    EXPECT_EQ(session->recv(nullptr, 0, 0), 0) << "the session has not failed";
}

TEST_F(RecordLayerTest, SeveralRecordsInOneReadArriveInOrderAcrossTheRingsEnd)
{
    auto [raw, session] = ConnectRawClient();
    std::vector<unsigned char> stream;
    std::vector<unsigned char> expected;
    // 7000-byte records carry the read and write points around the ring.
    for (int i = 0; i < 12; ++i) {
        std::vector<unsigned char> body(7000, static_cast<unsigned char>(i));
        expected.insert(expected.end(), body.begin(), body.end());
        const auto record = Record(0, body);
        stream.insert(stream.end(), record.begin(), record.end());
    }
    WriteAll(raw, stream);
    EXPECT_TRUE(WaitFor([&] { return Received().size() == expected.size(); }));
    EXPECT_EQ(Received(), expected);
    EXPECT_FALSE(Saw(NETWORK_EVENT_CLOSE));
}

TEST_F(RecordLayerTest, EmptyPlainRecordDeliversNothingButEncryptedOneFails)
{
    auto [raw, session] = ConnectRawClient();
    WriteAll(raw, Record(0, {}));
    WriteAll(raw, Record(0, {7}));
    EXPECT_TRUE(WaitFor([&] { return Received().size() == 1; }));
    EXPECT_FALSE(Saw(NETWORK_EVENT_CLOSE));

    Access::Encrypt(*session, CRYPTO_ALGORITHM_3DES, kKey, 24, kIV);
    WriteAll(raw, Record(3, {}));
    EXPECT_TRUE(WaitFor([&] {
        for (const Event& event : Events())
            if (event.ev == NETWORK_EVENT_READ && event.recv_result == -1)
                return true;
        return false;
    }));
}

TEST_F(RecordLayerTest, EncryptedRecordsAreDecryptedToTheirPlainLength)
{
    auto [raw, session] = ConnectRawClient();
    Access::Encrypt(*session, CRYPTO_ALGORITHM_BLOWFISH, kKey, 16, kIV);
    const std::vector<unsigned char> five = {10, 20, 30, 40, 50};
    std::vector<unsigned char> body(8);
    ASSERT_EQ(encrypt_BF(body.data(), 8, five.data(), 5, kKey, 16, kIV, 8), 8);
    WriteAll(raw, Record(3, body));
    EXPECT_TRUE(WaitFor([&] { return Received().size() == 5; }));
    EXPECT_EQ(Received(), five) << "the padding never reaches the receive ring";
}

TEST_F(RecordLayerTest, UnknownTypeAndOversizedBodyFailTheSessionAtOnce)
{
    auto [raw, session] = ConnectRawClient();
    WriteAll(raw, Record(7, {1, 2, 3}));
    EXPECT_TRUE(WaitFor([&] { return Saw(NETWORK_EVENT_READ); }));
    EXPECT_EQ(Events().front().recv_result, -1);

    // The failed session stays failed until its owner releases it.
    manager->Close(session);
    auto [raw2, session2] = ConnectRawClient();
    // A header declaring 19994 body bytes, with no body behind it.
    WriteAll(raw2, {0, 2, 0, 0x4E, 0x1A, 0x00});
    EXPECT_TRUE(WaitFor([&] { return Saw(NETWORK_EVENT_READ); })) << "no waiting for a body that cannot fit";
    EXPECT_EQ(Events().front().session, session2);
    EXPECT_EQ(Events().front().recv_result, -1);
}

TEST_F(RecordLayerTest, RecordsSentJustBeforeACloseAreDeliveredFirst)
{
    auto [raw, session] = ConnectRawClient();
    std::vector<unsigned char> stream;
    for (int i = 0; i < 200; ++i) {
        const auto record = Record(0, std::vector<unsigned char>(1000, static_cast<unsigned char>(i)));
        stream.insert(stream.end(), record.begin(), record.end());
    }
    WriteAll(raw, stream);
    close(raw);
    raw_sockets.erase(std::find(raw_sockets.begin(), raw_sockets.end(), raw));
    ASSERT_TRUE(WaitFor([&] { return Saw(NETWORK_EVENT_CLOSE); }));

    size_t delivered = 0;
    bool closed = false;
    for (const Event& event : Events()) {
        EXPECT_FALSE(closed) << "nothing follows the close";
        delivered += event.payload.size();
        closed = closed || (event.ev & NETWORK_EVENT_CLOSE) != 0;
    }
    EXPECT_EQ(delivered, 200000u);
}

// A fast sender and a slow reader: the rings fill, reading pauses, TCP holds
// the sender, and every byte still arrives in order.
TEST_F(RecordLayerTest, SlowReaderLosesNothingOfFiftyMegabytes)
{
    constexpr size_t kTotal = 50u << 20;
    std::atomic<size_t> received{0};
    std::atomic<size_t> mismatches{0};
    std::atomic<int> reads{0};
    on_payload = [&](CVeskNetworkSession*, const std::vector<unsigned char>& payload) {
        // Every 64th read sleeps, long enough for both rings to fill.
        if (reads.fetch_add(1) % 64 == 0)
            std::this_thread::sleep_for(2ms);
        size_t at = received.load();
        for (unsigned char byte : payload)
            mismatches += byte != static_cast<unsigned char>(at++ % 251);
        received = at;
    };
    auto [raw, session] = ConnectRawClient();
    std::thread sender([raw = raw] {
        std::mt19937 random(42);
        std::uniform_int_distribution<size_t> size(1, kMaxRecordBody);
        size_t sent = 0;
        std::vector<unsigned char> record;
        while (sent < kTotal) {
            const size_t n = std::min(size(random), kTotal - sent);
            std::vector<unsigned char> body(n);
            for (size_t i = 0; i < n; ++i)
                body[i] = static_cast<unsigned char>((sent + i) % 251);
            WriteAll(raw, Record(0, body));
            sent += n;
        }
    });
    sender.join();
    EXPECT_TRUE(WaitFor([&] { return received.load() == kTotal; }, 120s)) << received.load();
    EXPECT_EQ(mismatches.load(), 0u);
    EXPECT_FALSE(Saw(NETWORK_EVENT_CLOSE));
    EXPECT_TRUE(session->IsUsed());
}

// Records of 16 KiB leave room for one at a time in the socket ring, so the
// ring is full most of the time and reading passes from the loop thread to
// the parse thread and back: in bursts, so that the socket runs dry and is
// handed back often, and without pauses, so that it never is.
TEST_F(RecordLayerTest, LargeRecordsFillingTheRingArriveWholeAndInOrder)
{
    constexpr size_t kBody = 16384;
    constexpr size_t kRecords = 3000;
    std::atomic<size_t> received{0};
    std::atomic<size_t> mismatches{0};
    on_payload = [&](CVeskNetworkSession*, const std::vector<unsigned char>& payload) {
        size_t at = received.load();
        for (unsigned char byte : payload) {
            const size_t record = at / kBody;
            mismatches += byte != static_cast<unsigned char>(record * 7 + at % kBody % 13);
            ++at;
        }
        received = at;
    };
    auto [raw, session] = ConnectRawClient();
    std::thread sender([raw = raw] {
        for (size_t record = 0; record < kRecords; ++record) {
            std::vector<unsigned char> body(kBody);
            for (size_t i = 0; i < kBody; ++i)
                body[i] = static_cast<unsigned char>(record * 7 + i % 13);
            WriteAll(raw, Record(0, body));
            if (record < kRecords / 2 && record % 20 == 19)
                std::this_thread::sleep_for(1ms);
        }
    });
    sender.join();
    EXPECT_TRUE(WaitFor([&] { return received.load() == kRecords * kBody; }, 120s)) << received.load();
    EXPECT_EQ(mismatches.load(), 0u);
    EXPECT_FALSE(Saw(NETWORK_EVENT_CLOSE));
    EXPECT_TRUE(session->IsUsed());
}

double ProcessCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// A body that trickles in a byte at a time must not make the parse thread
// spin between the bytes.
TEST_F(RecordLayerTest, TricklingBodyCostsNoCpu)
{
    auto [raw, session] = ConnectRawClient();
    WriteAll(raw, {0, 2, 0, 0, 0, 4});
    const double cpu_before = ProcessCpuSeconds();
    const auto wall_before = std::chrono::steady_clock::now();
    for (unsigned char byte = 1; byte <= 3; ++byte) {
        std::this_thread::sleep_for(1s);
        WriteAll(raw, {byte});
    }
    const double cpu = ProcessCpuSeconds() - cpu_before;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
    EXPECT_LT(cpu, 0.1 * wall) << "cpu " << cpu << " s over " << wall << " s";
    WriteAll(raw, {4});
    EXPECT_TRUE(WaitFor([&] { return Received().size() == 4; }));
}

// --- peers that stop reading ---

// Cuts the records of a byte stream; false at the first one that is not a
// plain record of the expected counter.
bool RecordsCountUp(const std::vector<unsigned char>& stream, size_t body_size, size_t* records)
{
    size_t at = 0;
    for (*records = 0; at + 6 + body_size <= stream.size(); ++*records, at += 6 + body_size) {
        const unsigned char* record = stream.data() + at;
        const size_t length = (size_t{record[3]} << 16) | (size_t{record[4]} << 8) | record[5];
        if (record[0] != 0 || length != body_size || std::memcmp(record + 6, records, sizeof *records) != 0)
            return false;
    }
    return at == stream.size();
}

// An application thread that sends faster than its peer reads is held back
// once the session's backlog is full, and every record still arrives whole
// and in order when the peer reads again.
TEST_F(RecordLayerTest, SenderAheadOfItsReaderWaitsAndLosesNothing)
{
    auto [session, raw] = ConnectToRawServer();
    constexpr size_t kBody = 10000;
    constexpr size_t kRecords = 1500;  // 15 MB: beyond the socket buffers and the backlog
    std::atomic<size_t> sent{0};
    std::thread sender([&, session = session] {
        std::vector<unsigned char> body(kBody, 0x5a);
        for (size_t i = 0; i < kRecords; ++i) {
            std::memcpy(body.data(), &i, sizeof i);
            if (session->send(body.data(), static_cast<int>(kBody), 0) != static_cast<int>(kBody))
                return;
            ++sent;
        }
    });
    std::this_thread::sleep_for(500ms);
    EXPECT_LT(sent.load(), kRecords) << "the sender is held back while nobody reads";
    const auto stream = ReadBytes(raw, kRecords * (6 + kBody), 60s);
    sender.join();
    size_t records = 0;
    EXPECT_TRUE(RecordsCountUp(stream, kBody, &records)) << "record " << records;
    EXPECT_EQ(records, kRecords);
}

// The parse thread answers for every session; a peer that never reads its
// answers must not hold it. Its session ends once its backlog is full, and
// the other sessions are served all along.
TEST_F(RecordLayerTest, PeerThatNeverReadsIsCutOffWithoutStallingOthers)
{
    const std::vector<unsigned char> answer(16384, 0xaa);
    on_payload = [&](CVeskNetworkSession* session, const std::vector<unsigned char>& payload) {
        // A one-byte request is echoed; every two-byte one asks for 64 KiB.
        if (payload.size() == 1) {
            session->send(payload.data(), 1, 0);
            return;
        }
        for (size_t i = 0; i < payload.size() / 2 * 4; ++i)
            session->send(answer.data(), static_cast<int>(answer.size()), 0);
    };
    const int small_buffer = 4096;
    auto [silent, silent_session] = ConnectRawClient();
    setsockopt(silent, SOL_SOCKET, SO_RCVBUF, &small_buffer, sizeof small_buffer);
    auto [reader, reader_session] = ConnectRawClient();
    ASSERT_NE(silent_session, reader_session);

    std::thread flood([silent = silent] {
        // The server may cut this peer off before every request is written.
        const std::vector<unsigned char> request = Record(0, {1, 2});
        for (int i = 0; i < 400; ++i)
            if (::send(silent, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
                return;
    });
    for (unsigned char i = 0; i < 50; ++i) {
        WriteAll(reader, Record(0, {i}));
        ASSERT_EQ(ReadBytes(reader, 7, 2s), (std::vector<unsigned char>{0, 2, 0, 0, 0, 1, i})) << "ping " << int{i};
    }
    flood.join();
    EXPECT_TRUE(WaitFor([&, silent_session = silent_session] {
        for (const Event& event : Events())
            if (event.session == silent_session && (event.ev & NETWORK_EVENT_CLOSE))
                return true;
        return false;
    })) << "the silent peer's session is reported closed";
    WriteAll(reader, Record(0, {7}));
    EXPECT_EQ(ReadBytes(reader, 7, 2s), (std::vector<unsigned char>{0, 2, 0, 0, 0, 1, 7}));
}

// Destruction lets go of an application thread waiting for backlog room.
TEST_F(RecordLayerTest, DestructionReleasesASenderWaitingForRoom)
{
    auto [session, raw] = ConnectToRawServer();
    std::atomic<bool> returned{false};
    std::thread sender([&, session = session] {
        const std::vector<unsigned char> body(kMaxRecordBody, 1);
        while (session->send(body.data(), static_cast<int>(body.size()), 0) >= 0) {
        }
        returned = true;
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(returned.load());
    const auto before = std::chrono::steady_clock::now();
    manager.reset();
    sender.join();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    EXPECT_TRUE(returned.load());
}

}  // namespace
