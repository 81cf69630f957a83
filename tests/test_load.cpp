// Load: many authenticated Triple-DES clients exchange numbered messages both
// ways with one server at once. Nothing may be lost, repeated or reordered,
// the process's memory stays flat from one round to the next, and either
// system can be destroyed while traffic flows, quickly and without leaving
// anything behind.
//
// CI runs a reduced size; VESK_STRESS=1 selects the full one (200 clients,
// 1000 messages each way per round), as `make stress` does.

#include <cstdlib>

#include "message_fixture.h"

namespace {

using namespace vesk_test;

constexpr uint32_t kToServer = 100;
constexpr uint32_t kToClient = 101;
constexpr uint32_t kHello = 102;
// Large enough that the warm-up round wraps every ring once, so the round
// after it touches no page for the first time.
constexpr uint16_t kMessageSize = 128;
constexpr int kSendersPerSide = 4;
constexpr std::chrono::seconds kLimit{120};

// Clients, and messages each way per client and round.
std::pair<int, int> SizeFromEnvironment()
{
    const char* stress = std::getenv("VESK_STRESS");
    return stress != nullptr && std::strcmp(stress, "0") != 0 ? std::pair(200, 1000) : std::pair(50, 400);
}

// What the handlers see; client c's messages are stream c each way.
struct Received {
    explicit Received(int clients) : to_server(clients), to_client(clients), server_handles(clients) {}
    NumberedStreams to_server;
    NumberedStreams to_client;
    // The server's handle of each client's session, taken from its hello.
    std::vector<CVeskMessageSession> server_handles;
    std::atomic<int> hellos{0};
    std::atomic<bool> echo{false};
};

// Handlers are plain functions.
Received* g_received = nullptr;

int OnServerHello(CVeskMessageSession* session, const char*, const char*, const void* data, size_t size)
{
    const uint32_t client = TagOf(data, size);
    if (client < g_received->server_handles.size()) {
        g_received->server_handles[client] = *session;
        ++g_received->hellos;
    }
    return 0;
}

int OnServerMessage(CVeskMessageSession* session, const char*, const char*, const void* data, size_t size)
{
    if (g_received->echo)
        session->send_message(data, size);
    else
        g_received->to_server.Take(data, size);
    return 0;
}

int OnClientMessage(CVeskMessageSession*, const char*, const char*, const void* data, size_t size)
{
    g_received->to_client.Take(data, size);
    return 0;
}

// Sends numbered messages `first` to `end` - 1 to every handle from
// kSendersPerSide threads (sender t takes the handles t, t + kSendersPerSide,
// ...), until `stop` is set or every send of a pass is refused; counts the
// refused sends.
std::vector<std::thread> StartSenders(const std::vector<CVeskMessageSession*>& handles, uint32_t type, uint32_t first,
                                      uint32_t end, const std::atomic<bool>& stop, std::atomic<int>& refused)
{
    std::vector<std::thread> senders;
    for (int t = 0; t < kSendersPerSide; ++t) {
        senders.emplace_back([&handles, &stop, &refused, type, first, end, t] {
            Bytes message;
            for (uint32_t seq = first; seq < end && !stop; ++seq) {
                bool any = false;
                for (size_t c = static_cast<size_t>(t); c < handles.size(); c += kSendersPerSide) {
                    WriteNumbered(message, type, static_cast<uint32_t>(c), seq, kMessageSize);
                    const bool sent = Send(handles[c], message) > 0;
                    refused += sent ? 0 : 1;
                    any = any || sent;
                }
                if (!any)
                    return;
            }
        });
    }
    return senders;
}

// The fixture's systems with room for every client, each client connected,
// logged in and known to the server by its hello.
class Load : public MessageSystems, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        vesk_perf::RaiseDescriptorLimit();
        g_received = &received;
        ASSERT_NO_FATAL_FAILURE(MessageSystems::SetUp());
        server->ReleaseSessions();
        client->ReleaseSessions();
        ASSERT_EQ(server->CreateSessions(clients + 4), 1);
        ASSERT_EQ(client->CreateSessions(clients + 4), 1);
        server->add_ExtensionCallFunction({kHello, kMessageSize, OnServerHello});
        server->add_ExtensionCallFunction({kToServer, kMessageSize, OnServerMessage});
        client->add_ExtensionCallFunction({kToClient, kMessageSize, OnClientMessage});
        // The server's echoes go on each client's stream where its own
        // messages ended.
        client->add_ExtensionCallFunction({kToServer, kMessageSize, OnClientMessage});
        ASSERT_NO_FATAL_FAILURE(Start(VeskMessageSystem::VESKMESSYS_CRYPTO_ALGORITHM_3DES));

        // Connect and log in from several threads at once; each client says
        // hello.
        handles.resize(static_cast<size_t>(clients));
        std::vector<std::thread> connectors;
        for (int t = 0; t < kSendersPerSide; ++t) {
            connectors.emplace_back([this, t] {
                for (int c = t; c < clients; c += kSendersPerSide) {
                    auto& handle = handles[static_cast<size_t>(c)];
                    handle.reset(client->connect("127.0.0.1", port.c_str(), "alice", 5, "wonderland", 10));
                    if (handle)
                        Send(handle.get(), Numbered(kHello, static_cast<uint32_t>(c), 0, kMessageSize));
                }
            });
        }
        Join(std::move(connectors));
        ASSERT_EQ(std::count(handles.begin(), handles.end(), nullptr), 0);
        ASSERT_TRUE(WaitFor([&] { return received.hellos == clients; }, kLimit));
        // An accepted login puts the user in the client's list, once however
        // many sessions log in; a refused session would be closed by its
        // client and carry none of the traffic below.
        EXPECT_TRUE(WaitFor([&] { return client->reference_user("alice", 5).get_uid_size() == 5; }, kLimit));
        for (int c = 0; c < clients; ++c) {
            on_client.push_back(handles[static_cast<size_t>(c)].get());
            on_server.push_back(&received.server_handles[static_cast<size_t>(c)]);
        }
    }

    // One round: both streams at once, until everything has arrived.
    void Round(uint32_t first)
    {
        const uint32_t end = first + static_cast<uint32_t>(messages);
        const std::atomic<bool> go_on{false};
        std::atomic<int> refused{0};
        std::vector<std::thread> up = StartSenders(on_client, kToServer, first, end, go_on, refused);
        Join(StartSenders(on_server, kToClient, first, end, go_on, refused));
        Join(std::move(up));
        EXPECT_EQ(refused, 0) << "sends refused";
        for (const NumberedStreams* stream : {&received.to_server, &received.to_client})
            EXPECT_TRUE(WaitFor([&] { return stream->Lowest() >= end; }, kLimit)) << "lowest " << stream->Lowest();
        EXPECT_EQ(received.to_server.Faults() + received.to_client.Faults(), 0)
            << "lost, repeated, reordered or damaged";
    }

    const int clients = SizeFromEnvironment().first;
    const int messages = SizeFromEnvironment().second;
    // Outlives the systems, which the fixture destroys first.
    Received received{clients};
    std::vector<CVeskMessageSession*> on_client;
    std::vector<CVeskMessageSession*> on_server;
};

// After the rounds, traffic flows one way while one system is destroyed:
// the clients send and the server echoes every message while the server goes
// (its application stops sending first, as it must), or the server's
// application streams to every client while the client system goes. The
// other system's senders must learn that the sessions have ended and stop,
// whether they were writing or waiting.
TEST_P(Load, ManyClientsExchangeNumberedMessagesAndOneSystemGoesWhileTrafficFlows)
{
    const auto count = static_cast<uint32_t>(messages);
    Round(0);
    [[maybe_unused]] const long rss_warm = vesk_perf::ResidentBytes() / 1024;
    Round(count);
    // The messages of a round allocate nothing that stays; the slack covers
    // the allocator's and AddressSanitizer's own bookkeeping. ThreadSanitizer's
    // own history of accesses grows with the run.
#if !defined(__SANITIZE_THREAD__)
    EXPECT_LT(vesk_perf::ResidentBytes() / 1024 - rss_warm, 4096) << "KiB grown over a round after the warm-up";
#endif

    const bool server_goes = GetParam();
    received.echo = server_goes;
    std::atomic<bool> stop{false};
    std::atomic<int> refused{0};
    const std::vector<CVeskMessageSession*>& sending = server_goes ? on_client : on_server;
    std::vector<std::thread> senders =
        StartSenders(sending, server_goes ? kToServer : kToClient, 2 * count, UINT32_MAX, stop, refused);
    const uint32_t before_teardown = received.to_client.Lowest();
    EXPECT_TRUE(WaitFor([&] { return received.to_client.Lowest() > before_teardown; }, kLimit))
        << "traffic flows before the teardown";
    if (!server_goes)
        handles.clear();
    // Seconds taken by what `step` does.
    const auto seconds = [](auto step) {
        const auto start = Clock::now();
        step();
        return vesk_perf::SecondsBetween(start, Clock::now());
    };
    EXPECT_LT(seconds([&] { (server_goes ? server : client).reset(); }), 1.0) << "destroying a system under traffic";
    const auto all_ended = [&sending] {
        return std::none_of(sending.begin(), sending.end(), [](auto* handle) { return handle->is_session_used(); });
    };
    EXPECT_TRUE(WaitFor(all_ended, std::chrono::seconds(10))) << "every session of the other system ends with it";
    EXPECT_LT(seconds([&] {
                  stop = true;
                  Join(std::move(senders));
              }),
              1.0)
        << "no sender stays blocked on a session that has ended";
    handles.clear();
    EXPECT_LT(seconds([&] { (server_goes ? client : server).reset(); }), 1.0);
    EXPECT_EQ(received.to_client.Faults(), 0) << "lost, repeated, reordered or damaged";
}

INSTANTIATE_TEST_SUITE_P(ServerOrClientSystem, Load, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& tested) {
                             return tested.param ? "ServerGoes" : "ClientSystemGoes";
                         });

}  // namespace
