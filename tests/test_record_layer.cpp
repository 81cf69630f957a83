// The record layer over real loopback sockets: what a session writes on the
// wire, how it cuts and delivers what it reads, and how it holds up against
// slow readers, closing peers and trickling senders. Malformed records are
// the hostile-peer table's and the fuzz corpora's.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "VeskNetworkSystem.h"
#include "raw_peer.h"
#include "session_fixture.h"
#include "test_support.h"

using namespace VeskNetworkSystem;

struct VeskNetworkTestAccess {
    // Both directions encrypted, but no key or IV was ever agreed.
    static void EncryptWithoutKey(CVeskNetworkSession& session, eCryptoAlgorithm algorithm)
    {
        session.SetCryptoAlgorithm(algorithm);
        session.SetCryptoStateRecv(CRYPTO_STATE_CRYPTOED);
        session.SetCryptoStateSend(CRYPTO_STATE_CRYPTOED);
    }
    // While a hook is set, only the parse thread parses, so that the loop
    // thread stays free to read what the hook waits for.
    static void AfterRecvRingLooked(CVeskNetworkSession& session, void (*hook)(CVeskNetworkSession&))
    {
        session.m_Manager->m_bLoopThreadMayParse = hook == nullptr;
        session.m_AfterRecvRingLooked.store(hook, std::memory_order_release);
    }
    static size_t SocketRingHeld(const CVeskNetworkSession& session) { return session.m_recv_socket_buffer.Held(); }
};

namespace {

using namespace vesk_test;
using Access = VeskNetworkTestAccess;
using namespace std::chrono_literals;

using RecordLayerTest = SessionFixture;

// --- the send path, as bytes on the wire ---

// A plain send writes one record and refuses what the peer could never take;
// it fails on a reset peer and on a released session. A direction switched
// to encrypted without an agreed key never falls back to enciphering with
// whatever the key storage holds. An application thread that sends faster
// than its peer reads is held back once the backlog is full, and every record
// still arrives whole and in order; destruction lets go of a waiting sender.
TEST_F(RecordLayerTest, PlainSendWritesOneRecordAndHoldsBackASenderAheadOfItsReader)
{
    auto [session, raw] = ConnectToRawServer();
    const unsigned char abc[3] = {0x41, 0x42, 0x43};
    EXPECT_EQ(session->send(abc, 3, 0), 3);
    EXPECT_EQ(ReadBytes(raw, 9), (Bytes{0x00, 0x02, 0x00, 0x00, 0x00, 0x03, 0x41, 0x42, 0x43}));
    EXPECT_EQ(session->send(abc, 0, 0), 0);
    EXPECT_EQ(ReadBytes(raw, 6), (Bytes{0x00, 0x02, 0x00, 0x00, 0x00, 0x00}));

    const Bytes big(20000, 1);
    EXPECT_EQ(session->send(big.data(), 19994, 0), -1);
    EXPECT_EQ(session->send(big.data(), -1, 0), -1);
    EXPECT_EQ(session->send(nullptr, 3, 0), -1);
    EXPECT_TRUE(NothingToRead(raw));
    EXPECT_EQ(session->send(big.data(), 19993, 0), 19993);
    EXPECT_EQ(ReadBytes(raw, 19999).size(), 19999u);

    struct sigaction before {};
    sigaction(SIGPIPE, nullptr, &before);
    const linger reset{1, 0};
    setsockopt(raw, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    CloseRaw(raw);
    int result = 0;
    uint64_t accepted = 0;
    const uint64_t counted_before = manager->GetCounters().records_sent.load();
    // The first write may still be accepted before the reset is known.
    for (int attempt = 0; attempt < 50 && result >= 0; ++attempt) {
        result = session->send(abc, 1, 0);
        accepted += result >= 0 ? 1 : 0;
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(result, -1) << "the process lives on and the write reports the failure";
    EXPECT_EQ(manager->GetCounters().records_sent.load() - counted_before, accepted) << "a failed write is not sent";
    struct sigaction after {};
    sigaction(SIGPIPE, nullptr, &after);
    EXPECT_EQ(before.sa_handler, after.sa_handler) << "no process-wide signal setting changes";
    manager->Close(session);
    EXPECT_EQ(session->send(abc, 1, 0), -1);

    auto [keyless, keyless_raw] = ConnectToRawServer();
    Access::EncryptWithoutKey(*keyless, CRYPTO_ALGORITHM_3DES);
    EXPECT_EQ(keyless->send(abc, 3, 0), -1);
    EXPECT_TRUE(NothingToRead(keyless_raw));

    auto [sender, reader] = ConnectToRawServer();
    constexpr size_t kBody = 10000;
    constexpr size_t kRecords = 1500;  // 15 MB: beyond the socket buffers and the backlog
    // Record i carries i in its first bytes.
    std::vector<Bytes> bodies(kRecords, Bytes(kBody, 0x5a));
    Bytes expected;
    for (size_t i = 0; i < kRecords; ++i) {
        std::memcpy(bodies[i].data(), &i, sizeof i);
        expected = std::move(expected) + Record(0, bodies[i]);
    }
    std::atomic<size_t> sent{0};
    std::thread sending([&, sender = sender] {
        for (const Bytes& body : bodies) {
            if (sender->send(body.data(), static_cast<int>(kBody), 0) != static_cast<int>(kBody))
                return;
            ++sent;
        }
    });
    std::this_thread::sleep_for(500ms);
    EXPECT_LT(sent.load(), kRecords) << "the sender is held back while nobody reads";
    const Bytes stream = ReadBytes(reader, expected.size(), 60s);
    sending.join();
    EXPECT_TRUE(stream == expected) << "every record whole and in order";

    std::atomic<bool> returned{false};
    std::thread waiting([&, sender = sender] {
        while (sender->send(bodies[0].data(), static_cast<int>(kBody), 0) >= 0) {
        }
        returned = true;
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(returned.load());
    const auto destroyed_at = std::chrono::steady_clock::now();
    manager.reset();
    waiting.join();
    EXPECT_LT(std::chrono::steady_clock::now() - destroyed_at, 1s);
}

// Bodies are padded to the block, match the exported cipher functions under
// the agreed key, and start afresh from the key and IV with every record.
// An empty encrypted record fails the session.
TEST_F(RecordLayerTest, EncryptedSendPadsMatchesTheCipherAndRefusesWhatThePeerCouldNeverTake)
{
    StartListener(CRYPTO_ALGORITHM_BLOWFISH);
    auto [fd, session] = ConnectRawClient();
    RawClientPeer client(fd);
    WriteAll(fd, ClientHello({0, 1, 2}));
    ASSERT_TRUE(client.ReadFlightTwo());
    WriteAll(fd, client.FlightThree());
    std::vector<WireRecord> flight_four;
    ASSERT_TRUE(client.ReadFlightFour(&flight_four));
    ASSERT_TRUE(journal.Finished(session));
    const Bytes five = {1, 2, 3, 4, 5}, eight(8, 0x77), big(20000, 1);
    EXPECT_EQ(session->send(five.data(), 5, 0), 8);
    EXPECT_EQ(client.ReadData(), std::optional<Bytes>(five));
    EXPECT_EQ(session->send(eight.data(), 8, 0), 16);
    const auto first = ReadBytes(client.fd, 22);
    EXPECT_EQ(session->send(eight.data(), 8, 0), 16);
    EXPECT_EQ(ReadBytes(client.fd, 22), first);

    EXPECT_EQ(session->send(big.data(), 19992, 0), -1);
    EXPECT_TRUE(NothingToRead(client.fd));
    EXPECT_EQ(session->send(big.data(), 19991, 0), 19992) << "the session goes on";
    EXPECT_EQ(client.ReadData(), std::optional<Bytes>(Bytes(big.begin(), big.begin() + 19991)));
    WriteAll(client.fd, Record(3, {}));
    EXPECT_TRUE(journal.Failed(session)) << "an empty encrypted record has no padding";
}

// --- the receive path, from a raw peer ---

// What arrives while the parse thread is between looking at the socket ring
// and cutting a record from it.
struct MidStepArrival {
    int raw = -1;
    Bytes bytes;
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

// One session, in turn: a parse step works on what the socket ring held when
// it looked, so a record whose header had not all arrived is never taken for
// complete. A record is delivered once complete; several in one read arrive in
// order, carrying the ring's points around its end; an empty record raises
// nothing; the largest body is taken. A body that trickles in a byte at a time
// does not make the parse thread spin. A slow reader and full rings lose
// nothing. Records sent just before a close all arrive before it. A record
// that could never fit, or that no agreed key can decrypt, fails its session.
TEST_F(RecordLayerTest, RecordsArriveWholeAndInOrderAndBeforeTheCloseOrFailTheSession)
{
    StartListener();
    auto [raw, session] = ConnectRawClient();
    const Bytes hundred(100, 0x5a);
    const Bytes split = Record(0, hundred);
    g_mid_step.raw = raw;
    g_mid_step.bytes.assign(split.begin() + 3, split.begin() + 16);
    Access::AfterRecvRingLooked(*session, &ArriveAfterThreeBytesWereLooked);
    WriteAll(raw, Bytes(split.begin(), split.begin() + 3));
    ASSERT_TRUE(WaitFor([] { return g_mid_step.arrived.load(); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(journal.Payload(session).empty()) << "the body is not complete yet";
    WriteAll(raw, Bytes(split.begin() + 16, split.end()));
    EXPECT_TRUE(journal.Delivered(session, hundred));

    size_t mark = journal.Mark();
    Bytes stream = Record(0, {});
    Bytes expected;
    for (unsigned char i = 0; i < 12; ++i) {
        expected = expected + Bytes(7000, i);
        stream = stream + Record(0, Bytes(7000, i));
    }
    // A header, then a body, cut between reads.
    for (const auto& [from, to] : {std::pair{0, 10}, std::pair{10, 20}}) {
        WriteAll(raw, Bytes(stream.begin() + from, stream.begin() + to));
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(journal.Payload(session, mark).empty()) << "the first record is not complete yet";
    WriteAll(raw, Bytes(stream.begin() + 20, stream.end()));
    EXPECT_TRUE(journal.Delivered(session, expected, mark));
    for (const auto& event : journal.EventsOf(session, mark))
        EXPECT_FALSE((event.ev & NETWORK_EVENT_READ) && event.recv_result <= 0) << "an empty record raises no READ";
    // An empty record that ends what has arrived is complete as it stands.
    WriteAll(raw, Record(0, {}));
    std::this_thread::sleep_for(50ms);
    const Bytes largest(kMaxRecordBody, 7);
    WriteAll(raw, Record(0, {1, 2, 3}) + Record(0, largest));
    EXPECT_TRUE(journal.Delivered(session, expected + Bytes{1, 2, 3} + largest, mark));

    mark = journal.Mark();
    WriteAll(raw, {0, 2, 0, 0, 0, 4});
    const double cpu_before = vesk_perf::ProcessCpuSeconds();
    for (unsigned char byte = 1; byte <= 3; ++byte) {
        std::this_thread::sleep_for(1s);
        WriteAll(raw, {byte});
    }
    EXPECT_LT(vesk_perf::ProcessCpuSeconds() - cpu_before, 0.3) << "CPU seconds spent over three seconds of trickle";
    WriteAll(raw, {4});
    EXPECT_TRUE(journal.Delivered(session, {1, 2, 3, 4}, mark));

    // A fast sender and a slow reader: the rings fill, reading pauses, TCP
    // holds the sender. Then records of 16 KiB, which leave room for one at a
    // time in the socket ring, so that reading passes from the loop thread to
    // the parse thread and back: in bursts, so that the socket runs dry and is
    // handed back often, and without pauses, so that it never is.
    // Each stream: `total` bytes in records of the given sizes, a pause after
    // some, read by a reader that stalls every `stall_every` reads (0: never);
    // every byte arrives, in order, and the session stays open. Byte i of a
    // stream is i % 251.
    const auto stream_arrives_whole = [&, session = session, raw = raw](size_t total, auto next_size, auto pause_after,
                                                                        int stall_every) {
        std::atomic<size_t> received{0}, mismatches{0};
        std::atomic<int> reads{0};
        journal.OnEvent([&](const SessionJournal::Event& event) {
            if (event.payload.empty())
                return false;
            if (stall_every > 0 && reads.fetch_add(1) % stall_every == 0)
                std::this_thread::sleep_for(2ms);
            size_t at = received.load();
            for (unsigned char byte : event.payload)
                mismatches += byte != static_cast<unsigned char>(at++ % 251);
            received = at;
            return true;
        });
        size_t sent = 0;
        for (size_t record = 0; sent < total; ++record) {
            Bytes body(std::min(next_size(), total - sent));
            for (unsigned char& byte : body)
                byte = static_cast<unsigned char>(sent++ % 251);
            WriteAll(raw, Record(0, body));
            if (pause_after(record))
                std::this_thread::sleep_for(1ms);
        }
        EXPECT_TRUE(WaitFor([&] { return received.load() == total; }, 120s)) << received.load();
        EXPECT_EQ(mismatches.load(), 0u);
        EXPECT_FALSE(journal.Saw(session, NETWORK_EVENT_CLOSE));
        EXPECT_TRUE(session->IsUsed());
        journal.OnEvent(nullptr);
    };
    std::mt19937 random(42);
    std::uniform_int_distribution<size_t> size(1, kMaxRecordBody);
    stream_arrives_whole(
        50u << 20, [&] { return size(random); }, [](size_t) { return false; }, 64);
    constexpr size_t kRecords = 3000;
    stream_arrives_whole(
        kRecords * 16384, [] { return size_t{16384}; },
        [](size_t record) { return record < kRecords / 2 && record % 20 == 19; }, 0);

    // Also when the parse thread itself reads the end from a paused socket:
    // it is held at the first record until the ring is full and the peer has
    // gone.
    std::atomic<bool> held{true};
    std::atomic<size_t> delivered{0};
    journal.OnEvent([&](const SessionJournal::Event& event) {
        while (held && !event.payload.empty())
            std::this_thread::sleep_for(1ms);
        delivered += event.payload.size();
        return !event.payload.empty();
    });
    stream.clear();
    for (int i = 0; i < 60; ++i)
        stream = stream + Record(0, Bytes(1000, static_cast<unsigned char>(i)));
    WriteAll(raw, stream);
    CloseRaw(raw);
    // Time for the loop thread to fill the ring and pause; the assertions
    // below hold either way.
    std::this_thread::sleep_for(200ms);
    held = false;
    EXPECT_TRUE(journal.Closed(session));
    journal.OnEvent(nullptr);
    EXPECT_TRUE(journal.EventsOf(session).back().ev & NETWORK_EVENT_CLOSE) << "nothing follows the close";
    EXPECT_EQ(delivered, 60000u);

    // A header declaring one byte more than the largest body fails the session
    // without waiting for a body that could never fit; so does an encrypted
    // record on a direction switched to encrypted without an agreed key.
    auto [too_long_raw, too_long] = ConnectRawClient();
    WriteAll(too_long_raw, Bytes{0, 2, 0} + Be24(kMaxRecordBody + 1));
    EXPECT_TRUE(journal.Failed(too_long));
    auto [keyless_raw, keyless] = ConnectRawClient();
    Access::EncryptWithoutKey(*keyless, CRYPTO_ALGORITHM_BLOWFISH);
    WriteAll(keyless_raw, Record(3, Bytes(8, 0x11)));
    EXPECT_TRUE(journal.Failed(keyless));
}

}  // namespace
