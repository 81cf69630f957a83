// The receive path under real threads: a server with a listener per cipher,
// raw peers (raw_peer.h) that cut their records at random points into chunks
// of random size with random pauses and runs of empty records, one raw peer
// that floods empty records, and library clients sending from application
// threads. The server's handler checks every message for order and integrity.
// Faults between the library's threads that single-threaded fuzzing cannot
// reach (a parse step that sees the ring change under it, one peer holding
// the parse thread) show here as a crash, a corrupt or missing message, a
// stall or memory growth. Sanitizer builds send for longer, since they do
// less per second, and do not measure memory.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "VeskMessageSystem.h"
#include "raw_peer.h"
#include "test_support.h"

using namespace VeskMessageSystem;

namespace {

using namespace vesk_test;
using namespace std::chrono_literals;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr auto kSendingTime = 5s;
constexpr bool kMeasuresMemory = false;
#else
constexpr auto kSendingTime = 3s;
constexpr bool kMeasuresMemory = true;
#endif

constexpr uint32_t kStressType = 7;
// Message header, stream, sequence number, checksum.
constexpr size_t kMessageFields = 20;
constexpr size_t kRawPeersPerCipher = 2;
constexpr eCryptoAlgorithm kCiphers[] = {CRYPTO_ALGORITHM_NONE, CRYPTO_ALGORITHM_3DES, CRYPTO_ALGORITHM_BLOWFISH};
// The raw peers of each cipher, the flooder, then a library client per cipher.
constexpr size_t kFlooderStream = 3 * kRawPeersPerCipher;
constexpr size_t kStreams = kFlooderStream + 1 + 3;

void Put32(unsigned char* at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t Get32(const unsigned char* at)
{
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
           static_cast<uint32_t>(at[3]) << 24;
}

// FNV-1a over stream, sequence number and filler.
uint32_t Checksum(const unsigned char* message, size_t size)
{
    uint32_t hash = 2166136261u;
    const auto mix = [&hash](const unsigned char* bytes, size_t n) {
        for (size_t i = 0; i < n; ++i)
            hash = (hash ^ bytes[i]) * 16777619u;
    };
    mix(message + 8, 8);
    mix(message + kMessageFields, size - kMessageFields);
    return hash;
}

Bytes StressMessage(uint32_t stream, uint32_t sequence, size_t size, std::mt19937& random)
{
    Bytes message(size);
    Put32(message.data(), kStressType);
    message[4] = static_cast<unsigned char>(size);
    message[5] = static_cast<unsigned char>(size >> 8);
    Put32(message.data() + 8, stream);
    Put32(message.data() + 12, sequence);
    for (size_t i = kMessageFields; i < size; ++i)
        message[i] = static_cast<unsigned char>(random());
    Put32(message.data() + 16, Checksum(message.data(), size));
    return message;
}

// What the server's handler has seen of each stream.
struct StreamCheck {
    std::atomic<uint32_t> next{0};  // the sequence number expected next
    std::atomic<uint32_t> faults{0};
};
StreamCheck g_streams[kStreams];
std::atomic<uint32_t> g_foreign{0};

// Runs on the server's parse thread for every extension message.
int CheckMessage(CVeskMessageSession*, const char*, const char*, const void* data, size_t size)
{
    const auto* message = static_cast<const unsigned char*>(data);
    const uint32_t stream = size >= kMessageFields ? Get32(message + 8) : kStreams;
    if (Get32(message) != kStressType || stream >= kStreams) {
        ++g_foreign;
        return 0;
    }
    StreamCheck& check = g_streams[stream];
    const uint32_t sequence = Get32(message + 12);
    if (sequence != check.next.load() || Get32(message + 16) != Checksum(message, size))
        ++check.faults;
    check.next = sequence + 1;
    return 0;
}

// Writes bytes as a congested or slow peer's bytes come in: in chunks of
// random size, often a few bytes only, with random pauses.
class ChoppyWriter {
public:
    ChoppyWriter(int fd, std::mt19937& random) : m_fd(fd), m_random(random) {}

    void Write(const Bytes& bytes)
    {
        for (size_t at = 0; at < bytes.size();) {
            const size_t n = std::min(ChunkSize(), bytes.size() - at);
            WriteAll(m_fd, Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                 bytes.begin() + static_cast<std::ptrdiff_t>(at + n)));
            at += n;
            Pause();
        }
    }

private:
    size_t Between(size_t low, size_t high) { return std::uniform_int_distribution<size_t>(low, high)(m_random); }
    size_t ChunkSize()
    {
        const size_t kind = Between(0, 7);
        return kind < 4 ? Between(1, 7) : kind < 6 ? Between(8, 512) : kind < 7 ? Between(513, 4096) : 20000;
    }
    void Pause()
    {
        const size_t kind = Between(0, 15);
        if (kind == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(Between(1, 300)));
        else if (kind < 4)
            std::this_thread::yield();
    }

    int m_fd;
    std::mt19937& m_random;
};

Bytes EmptyRecords(size_t n)
{
    Bytes records;
    for (size_t i = 0; i < n; ++i)
        records = records + Record(0, {});
    return records;
}

// Completes the handshake, with empty records among the handshake records,
// all written choppily.
bool Handshake(RawClientPeer& peer, ChoppyWriter& out, std::mt19937& random)
{
    out.Write(EmptyRecords(random() % 4) + ClientHello({0, 1, 2}));
    if (!peer.ReadFlightTwo())
        return false;
    out.Write(EmptyRecords(random() % 4) + peer.FlightThree());
    std::vector<WireRecord> flight_four;
    return peer.ReadFlightFour(&flight_four);
}

// Sends records of 1 to 16 messages of random size until the time is up;
// without a cipher, runs of empty records go between them. Returns the
// number of messages sent.
uint32_t PlayRawPeer(int port, eCryptoAlgorithm cipher, uint32_t stream, std::chrono::steady_clock::time_point until)
{
    std::mt19937 random(stream);
    RawClientPeer peer(ConnectTo(port));
    ChoppyWriter out(peer.fd, random);
    if (!Handshake(peer, out, random) || peer.algorithm != cipher) {
        ADD_FAILURE() << "handshake of stream " << stream;
        ::close(peer.fd);
        return 0;
    }
    uint32_t sequence = 0;
    while (std::chrono::steady_clock::now() < until) {
        Bytes records;
        for (int r = 0; r < 8; ++r) {
            if (cipher == CRYPTO_ALGORITHM_NONE && random() % 3 == 0)
                records = records + EmptyRecords(random() % 40);
            Bytes payload;
            for (size_t count = 1 + random() % 16; count > 0 && payload.size() < 17000; --count)
                payload = payload + StressMessage(stream, sequence++, kMessageFields + random() % 2000, random);
            records = records + Record(peer.DataType(), Encrypt(cipher, peer.key, peer.iv, payload));
        }
        out.Write(records);
    }
    ::close(peer.fd);
    return sequence;
}

// Floods empty records as fast as the socket takes them until the time is
// up, then sends one message, which must arrive all the same.
uint32_t PlayFlooder(int port, std::chrono::steady_clock::time_point until)
{
    std::mt19937 random(kFlooderStream);
    RawClientPeer peer(ConnectTo(port));
    ChoppyWriter out(peer.fd, random);
    if (!Handshake(peer, out, random)) {
        ADD_FAILURE() << "handshake of the flooder";
        ::close(peer.fd);
        return 0;
    }
    const Bytes burst = EmptyRecords(10000);
    while (std::chrono::steady_clock::now() < until)
        WriteAll(peer.fd, burst);
    peer.SendData(StressMessage(kFlooderStream, 0, kMessageFields, random));
    ::close(peer.fd);
    return 1;
}

// Sends messages of random size from an application thread until the time is
// up. The handle stays open: a close drops what still waits to be written.
uint32_t PlayLibraryClient(CVeskMessageSystem& client, int port, uint32_t stream,
                           std::chrono::steady_clock::time_point until, std::unique_ptr<CVeskMessageSession>& handle)
{
    std::mt19937 random(stream);
    handle.reset(client.connect("127.0.0.1", std::to_string(port).c_str()));
    if (handle == nullptr) {
        ADD_FAILURE() << "connect";
        return 0;
    }
    uint32_t sequence = 0;
    while (std::chrono::steady_clock::now() < until) {
        const Bytes message = StressMessage(stream, sequence, kMessageFields + random() % 4000, random);
        if (handle->send_message(message.data(), message.size()) <= 0) {
            ADD_FAILURE() << "send_message";
            break;
        }
        ++sequence;
        if (random() % 8 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 200));
    }
    return sequence;
}

TEST(ReceivePathStress, ChoppedRecordsOfEveryCipherAndAFloodArriveWholeAndInOrder)
{
    std::unique_ptr<CVeskMessageSystem> server(VeskMessageSystemCreate());
    ASSERT_EQ(server->CreateSessions(16), 1);
    ASSERT_EQ(server->CreateListenSessions(3), 1);
    server->add_ExtensionCallFunction({VESKMESSYS_MESSAGE_TYPE_USER_EXTENSION_ALL, 0, CheckMessage});
    ASSERT_EQ(server->InitSocketEvent(), 1);
    ASSERT_EQ(server->DispatchSocketEvent(), 1);
    int ports[3] = {};
    for (size_t c = 0; c < 3; ++c) {
        for (int attempt = 0; attempt < 20 && ports[c] == 0; ++attempt) {
            const int port = FreePort();
            if (server->listen(std::to_string(port).c_str(), AF_INET,
                               static_cast<eVeskMessageSystemCryptoAlgorithm>(kCiphers[c])) == 1)
                ports[c] = port;
        }
        ASSERT_NE(ports[c], 0);
    }
    std::unique_ptr<CVeskMessageSystem> client(VeskMessageSystemCreate());
    ASSERT_EQ(client->CreateSessions(4), 1);
    ASSERT_EQ(client->InitSocketEvent(), 1);
    ASSERT_EQ(client->DispatchSocketEvent(), 1);
    std::unique_ptr<CVeskMessageSession> handles[3];

    const long resident_before = vesk_perf::ResidentBytes();
    const auto until = std::chrono::steady_clock::now() + kSendingTime;
    std::atomic<uint32_t> sent[kStreams] = {};
    std::vector<std::thread> peers;
    for (size_t c = 0; c < 3; ++c) {
        for (size_t p = 0; p < kRawPeersPerCipher; ++p) {
            const uint32_t stream = static_cast<uint32_t>(c * kRawPeersPerCipher + p);
            peers.emplace_back([&, c, stream] { sent[stream] = PlayRawPeer(ports[c], kCiphers[c], stream, until); });
        }
        const uint32_t stream = static_cast<uint32_t>(kFlooderStream + 1 + c);
        peers.emplace_back(
            [&, c, stream] { sent[stream] = PlayLibraryClient(*client, ports[c], stream, until, handles[c]); });
    }
    peers.emplace_back([&] { sent[kFlooderStream] = PlayFlooder(ports[0], until); });
    for (std::thread& peer : peers)
        peer.join();

    for (size_t stream = 0; stream < kStreams; ++stream) {
        SCOPED_TRACE("stream " + std::to_string(stream));
        // A stream that never got going was held up for the whole sending
        // time, by another peer holding the parse thread.
        EXPECT_GT(sent[stream].load(), 0u) << "never got going";
        EXPECT_TRUE(WaitFor([&] { return g_streams[stream].next.load() == sent[stream].load(); }, 20s))
            << g_streams[stream].next.load() << " of " << sent[stream].load() << " delivered";
        EXPECT_EQ(g_streams[stream].faults.load(), 0u) << "messages out of order or corrupt";
    }
    EXPECT_EQ(g_foreign.load(), 0u);
    if (kMeasuresMemory) {
        EXPECT_LT(vesk_perf::ResidentBytes() - resident_before, 64l << 20) << "resident memory grew";
    }
}

}  // namespace
