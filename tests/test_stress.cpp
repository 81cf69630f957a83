// The receive path under real threads: a server with a listener per cipher,
// raw peers (raw_peer.h) that cut their records at random points into chunks
// of random size with random pauses and runs of empty records, and one raw
// peer that floods empty records. The server's handler checks every message
// for order and integrity (library clients under load: test_load.cpp).
// Faults between the library's threads that single-threaded fuzzing cannot
// reach (a parse step that sees the ring change under it, one peer holding
// the parse thread) show here as a crash, a corrupt or missing message, a
// stall or memory growth. Sanitizer builds send for longer, since they do
// less per second, and do not measure memory.

#include <random>

#include "message_fixture.h"

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
constexpr size_t kHeaderSize = 16;  // message header, stream and number
constexpr size_t kRawPeersPerCipher = 2;
constexpr eCryptoAlgorithm kCiphers[] = {CRYPTO_ALGORITHM_NONE, CRYPTO_ALGORITHM_3DES, CRYPTO_ALGORITHM_BLOWFISH};
// The raw peers of each cipher, then the flooder.
constexpr size_t kFlooderStream = 3 * kRawPeersPerCipher;
constexpr size_t kStreams = kFlooderStream + 1;

// What the server's handler has seen of each stream.
NumberedStreams g_streams(kStreams);

// Handler calls that overlapped another: the loop thread and the parse
// thread both parse, but never at once.
std::atomic<int> g_inside{0};
std::atomic<int> g_overlaps{0};

// Runs on the server's loop or parse thread for every extension message.
int CheckMessage(CVeskMessageSession*, const char*, const char*, const void* data, size_t size)
{
    g_overlaps += g_inside.fetch_add(1) == 0 ? 0 : 1;
    g_streams.Take(data, size);
    g_inside.fetch_sub(1);
    return 0;
}

// Writes bytes as a congested or slow peer's bytes come in: in chunks of
// random size, often a few bytes only, with random pauses.
void WriteChoppily(int fd, const Bytes& bytes, std::mt19937& random)
{
    const auto between = [&random](size_t low, size_t high) {
        return std::uniform_int_distribution<size_t>(low, high)(random);
    };
    for (size_t at = 0; at < bytes.size();) {
        const size_t kind = between(0, 7);
        const size_t chunk = kind < 4   ? between(1, 7)
                             : kind < 6 ? between(8, 512)
                             : kind < 7 ? between(513, 4096)
                                        : 20000;
        const size_t n = std::min(chunk, bytes.size() - at);
        WriteAll(fd, Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                           bytes.begin() + static_cast<std::ptrdiff_t>(at + n)));
        at += n;
        const size_t pause = between(0, 15);
        if (pause == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(between(1, 300)));
        else if (pause < 4)
            std::this_thread::yield();
    }
}

Bytes EmptyRecords(size_t n)
{
    Bytes records;
    for (size_t i = 0; i < n; ++i)
        records = records + Record(0, {});
    return records;
}

// Completes the handshake, with empty records among the handshake records,
// all written choppily.
bool Handshake(RawClientPeer& peer, std::mt19937& random)
{
    WriteChoppily(peer.fd, EmptyRecords(random() % 4) + ClientHello({0, 1, 2}), random);
    if (!peer.ReadFlightTwo())
        return false;
    WriteChoppily(peer.fd, EmptyRecords(random() % 4) + peer.FlightThree(), random);
    std::vector<WireRecord> flight_four;
    return peer.ReadFlightFour(&flight_four);
}

// Sends records of 1 to 16 messages of random size until the time is up;
// without a cipher, runs of empty records go between them. The flooder
// instead floods empty records as fast as the socket takes them, then sends
// one message, which must arrive all the same. Returns the number of
// messages sent.
uint32_t PlayRawPeer(int port, eCryptoAlgorithm cipher, uint32_t stream, Clock::time_point until)
{
    std::mt19937 random(stream);
    RawClientPeer peer(ConnectTo(port));
    uint32_t sequence = 0;
    if (!Handshake(peer, random) || peer.algorithm != cipher) {
        ADD_FAILURE() << "handshake of stream " << stream;
    } else if (stream == kFlooderStream) {
        const Bytes burst = EmptyRecords(10000);
        while (Clock::now() < until)
            WriteAll(peer.fd, burst);
        peer.SendData(Numbered(kStressType, stream, sequence++, kHeaderSize));
    } else {
        while (Clock::now() < until) {
            Bytes records;
            for (int r = 0; r < 8; ++r) {
                if (cipher == CRYPTO_ALGORITHM_NONE && random() % 3 == 0)
                    records = records + EmptyRecords(random() % 40);
                Bytes payload;
                for (size_t count = 1 + random() % 16; count > 0 && payload.size() < 17000; --count)
                    payload = payload + Numbered(kStressType, stream, sequence++, kHeaderSize + random() % 2000);
                records = records + Record(peer.DataType(), Encrypt(cipher, peer.key, peer.iv, payload));
            }
            WriteChoppily(peer.fd, records, random);
        }
    }
    ::close(peer.fd);
    return sequence;
}

using ReceivePathStress = MessageSystems;

TEST_F(ReceivePathStress, ChoppedRecordsOfEveryCipherAndAFloodArriveWholeAndInOrder)
{
    server->ReleaseListenSessions();
    ASSERT_EQ(server->CreateListenSessions(3), 1);
    server->add_ExtensionCallFunction({kAllTypes, 0, CheckMessage});
    ASSERT_NO_FATAL_FAILURE(Start(VeskMessageSystem::VESKMESSYS_CRYPTO_ALGORITHM_NONE));
    int ports[3] = {std::stoi(port)};
    for (size_t c = 1; c < 3; ++c) {
        const std::string service = ListenOnFreePort([&](const std::string& tried) {
            return server->listen(tried.c_str(), AF_INET,
                                  static_cast<eVeskMessageSystemCryptoAlgorithm>(kCiphers[c])) == 1;
        });
        ASSERT_NE(service, "");
        ports[c] = std::stoi(service);
    }

    const long resident_before = vesk_perf::ResidentBytes();
    const auto until = Clock::now() + kSendingTime;
    std::atomic<uint32_t> sent[kStreams] = {};
    std::vector<std::thread> peers;
    for (uint32_t stream = 0; stream < kStreams; ++stream) {
        const size_t c = stream / kRawPeersPerCipher % 3;  // the flooder's cipher is the first
        peers.emplace_back([&, c, stream] { sent[stream] = PlayRawPeer(ports[c], kCiphers[c], stream, until); });
    }
    Join(std::move(peers));

    for (size_t stream = 0; stream < kStreams; ++stream) {
        SCOPED_TRACE("stream " + std::to_string(stream));
        // A stream that never got going was held up for the whole sending
        // time, by another peer holding the parse thread, or refused.
        EXPECT_GT(sent[stream].load(), 0u) << "never got going";
        EXPECT_TRUE(WaitFor([&] { return g_streams.Next(stream) == sent[stream].load(); }, 20s))
            << g_streams.Next(stream) << " of " << sent[stream].load() << " delivered";
    }
    EXPECT_EQ(g_streams.Faults(), 0) << "messages out of order, corrupt or of no stream";
    EXPECT_EQ(g_overlaps.load(), 0) << "two handlers ran at once";
    if (kMeasuresMemory) {
        EXPECT_LT(vesk_perf::ResidentBytes() - resident_before, 64l << 20) << "resident memory grew";
    }
}

}  // namespace
