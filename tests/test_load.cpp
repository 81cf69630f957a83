// Load: many authenticated Triple-DES clients exchange numbered messages both
// ways with one server at once. Nothing may be lost, repeated or reordered,
// the process's memory stays flat from one round to the next, and either
// system can be destroyed while traffic flows, quickly and without leaving
// anything behind.
//
// CI runs a reduced size; VESK_STRESS=1 selects the full one (200 clients,
// 1000 messages each way per round), as `make stress` does.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "VeskMessageSystem.h"
#include "test_support.h"

using namespace VeskMessageSystem;

namespace {

using namespace vesk_test;
using vesk_perf::Clock;

constexpr uint32_t kToServer = 100;
constexpr uint32_t kToClient = 101;
constexpr uint32_t kHello = 102;
// Large enough that the warm-up round wraps every ring once, so the round
// after it touches no page for the first time.
constexpr uint16_t kMessageSize = 128;
constexpr int kSendersPerSide = 4;
#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer's own history of accesses grows with the run.
constexpr bool kResidentSizeIsMeaningful = false;
#else
constexpr bool kResidentSizeIsMeaningful = true;
#endif

// Clients, and messages each way per client and round.
std::pair<int, int> SizeFromEnvironment()
{
    const char* stress = std::getenv("VESK_STRESS");
    return stress != nullptr && std::strcmp(stress, "0") != 0 ? std::pair(200, 1000) : std::pair(50, 400);
}

// A numbered message of client `client`; its filler follows from the number,
// so a receiver sees any byte that went astray.
struct Numbered {
    tagMessageHeader header;
    uint32_t client;
    uint32_t seq;
    unsigned char filler[kMessageSize - 16];
};
static_assert(sizeof(Numbered) == kMessageSize, "no padding");

Numbered MakeNumbered(uint32_t type, uint32_t client, uint32_t seq)
{
    Numbered message{};
    message.header.m_type = type;
    message.header.m_size = kMessageSize;
    message.client = client;
    message.seq = seq;
    for (size_t i = 0; i < sizeof message.filler; ++i)
        message.filler[i] = static_cast<unsigned char>(seq * 31 + client + i);
    return message;
}

// What one side has received: per client, the next number it expects.
class Stream {
public:
    explicit Stream(int clients) : m_next(static_cast<size_t>(clients)) {}

    // Called on the receiving system's parse thread.
    void Take(const void* data, size_t size)
    {
        Numbered message;
        std::memcpy(&message, data, std::min(size, sizeof message));
        const Numbered expected = MakeNumbered(message.header.m_type, message.client, message.seq);
        if (size != sizeof message || message.client >= m_next.size() || message.seq != m_next[message.client] ||
            std::memcmp(&message, &expected, sizeof message) != 0) {
            ++m_faults;  // lost, repeated, reordered or damaged
            return;
        }
        m_next[message.client] = message.seq + 1;
    }
    uint32_t Lowest() const
    {
        uint32_t lowest = UINT32_MAX;
        for (const auto& next : m_next)
            lowest = std::min(lowest, next.load());
        return lowest;
    }
    int Faults() const { return m_faults.load(); }

private:
    std::vector<std::atomic<uint32_t>> m_next;
    std::atomic<int> m_faults{0};
};

// The state the handlers reach; handlers are plain functions.
struct LoadState {
    explicit LoadState(int clients) : to_server(clients), to_client(clients), server_handles(clients) {}
    Stream to_server;
    Stream to_client;
    // The server's handle of each client's session, taken from its hello.
    std::vector<CVeskMessageSession> server_handles;
    std::atomic<int> hellos{0};
    std::atomic<bool> echo{false};
};

LoadState* g_load = nullptr;

int OnServerHello(CVeskMessageSession* session, const char*, const char*, const void* data, size_t size)
{
    Numbered hello;
    std::memcpy(&hello, data, std::min(size, sizeof hello));
    if (size == sizeof hello && hello.client < g_load->server_handles.size()) {
        g_load->server_handles[hello.client] = *session;
        g_load->hellos.fetch_add(1);
    }
    return 0;
}

int OnServerMessage(CVeskMessageSession* session, const char*, const char*, const void* data, size_t size)
{
    if (g_load->echo.load())
        session->send_message(data, size);
    else
        g_load->to_server.Take(data, size);
    return 0;
}

int OnClientMessage(CVeskMessageSession*, const char*, const char*, const void* data, size_t size)
{
    g_load->to_client.Take(data, size);
    return 0;
}

double SecondsSince(Clock::time_point start)
{
    return vesk_perf::SecondsBetween(start, Clock::now());
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
            for (uint32_t seq = first; seq < end && !stop; ++seq) {
                bool any = false;
                for (size_t c = static_cast<size_t>(t); c < handles.size(); c += kSendersPerSide) {
                    const Numbered message = MakeNumbered(type, static_cast<uint32_t>(c), seq);
                    const bool sent = handles[c]->send_message(&message, sizeof message) > 0;
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

void Join(std::vector<std::thread> threads)
{
    for (std::thread& thread : threads)
        thread.join();
}

// A server and a client system with every client connected, logged in and
// known to the server by its hello.
class Load : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        vesk_perf::RaiseDescriptorLimit();
        g_load = &state;
        server.reset(VeskMessageSystemCreate());
        client.reset(VeskMessageSystemCreate());
        ASSERT_EQ(server->CreateSessions(clients + 4), 1);
        ASSERT_EQ(server->CreateListenSessions(2), 1);
        ASSERT_EQ(client->CreateSessions(clients + 4), 1);
        server->add_ExtensionCallFunction({kHello, kMessageSize, OnServerHello});
        server->add_ExtensionCallFunction({kToServer, kMessageSize, OnServerMessage});
        client->add_ExtensionCallFunction({kToClient, kMessageSize, OnClientMessage});
        // The server's echoes go on each client's stream where its own
        // messages ended.
        client->add_ExtensionCallFunction({kToServer, kMessageSize, OnClientMessage});
        ASSERT_EQ(server->load_auth_user_list(TempFile("load\tsecret\n").Name()), 1);
        ASSERT_EQ(server->InitSocketEvent(), 1);
        ASSERT_EQ(server->DispatchSocketEvent(), 1);
        port = ListenOnFreePort([&](const std::string& service) {
            return server->listen(service.c_str(), AF_INET, VESKMESSYS_CRYPTO_ALGORITHM_3DES) == 1;
        });
        ASSERT_FALSE(port.empty());
        ASSERT_EQ(client->InitSocketEvent(), 1);
        ASSERT_EQ(client->DispatchSocketEvent(), 1);

        // Connect and log in from several threads at once; each client says
        // hello.
        handles.resize(static_cast<size_t>(clients));
        std::vector<std::thread> connectors;
        for (int t = 0; t < kSendersPerSide; ++t) {
            connectors.emplace_back([this, t] {
                for (int c = t; c < clients; c += kSendersPerSide) {
                    auto& handle = handles[static_cast<size_t>(c)];
                    handle.reset(client->connect("127.0.0.1", port.c_str(), "load", 4, "secret", 6));
                    const Numbered hello = MakeNumbered(kHello, static_cast<uint32_t>(c), 0);
                    if (handle)
                        handle->send_message(&hello, sizeof hello);
                }
            });
        }
        Join(std::move(connectors));
        ASSERT_EQ(std::count(handles.begin(), handles.end(), nullptr), 0);
        ASSERT_TRUE(WaitFor([&] { return state.hellos.load() == clients; }, kLimit));
        // An accepted login puts the user in the client's list, once however
        // many sessions log in; a refused session would be closed by its
        // client and carry none of the traffic below.
        EXPECT_TRUE(WaitFor([&] { return client->reference_user("load", 4).get_uid_size() == 4; }, kLimit));
        for (int c = 0; c < clients; ++c) {
            on_client.push_back(handles[static_cast<size_t>(c)].get());
            on_server.push_back(&state.server_handles[static_cast<size_t>(c)]);
        }
    }

    void TearDown() override
    {
        handles.clear();
        client.reset();
        server.reset();
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
        EXPECT_EQ(refused.load(), 0) << "sends refused";
        EXPECT_TRUE(WaitFor([&] { return state.to_server.Lowest() >= end; }, kLimit))
            << "client to server, lowest count " << state.to_server.Lowest();
        EXPECT_TRUE(WaitFor([&] { return state.to_client.Lowest() >= end; }, kLimit))
            << "server to client, lowest count " << state.to_client.Lowest();
        EXPECT_EQ(state.to_server.Faults(), 0) << "client to server: lost, repeated, reordered or damaged";
        EXPECT_EQ(state.to_client.Faults(), 0) << "server to client: lost, repeated, reordered or damaged";
    }

    static constexpr std::chrono::seconds kLimit{120};
    const int clients = SizeFromEnvironment().first;
    const int messages = SizeFromEnvironment().second;
    LoadState state{clients};
    std::unique_ptr<CVeskMessageSystem> server;
    std::unique_ptr<CVeskMessageSystem> client;
    std::vector<std::unique_ptr<CVeskMessageSession>> handles;
    std::vector<CVeskMessageSession*> on_client;
    std::vector<CVeskMessageSession*> on_server;
    std::string port;
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
    const long rss_warm = vesk_perf::ResidentBytes() / 1024;
    Round(count);
    const long rss_after = vesk_perf::ResidentBytes() / 1024;
    // The messages of a round allocate nothing that stays; the slack covers
    // the allocator's and AddressSanitizer's own bookkeeping.
    if (kResidentSizeIsMeaningful) {
        EXPECT_LT(rss_after - rss_warm, 4096) << "KiB grown over a round after the warm-up";
    }

    const bool server_goes = GetParam();
    state.echo = server_goes;
    std::atomic<bool> stop{false};
    std::atomic<int> refused{0};
    const std::vector<CVeskMessageSession*>& sending = server_goes ? on_client : on_server;
    std::vector<std::thread> senders =
        StartSenders(sending, server_goes ? kToServer : kToClient, 2 * count, UINT32_MAX, stop, refused);
    const uint32_t before_teardown = state.to_client.Lowest();
    EXPECT_TRUE(WaitFor([&] { return state.to_client.Lowest() > before_teardown; }, kLimit))
        << "traffic flows before the teardown";
    if (!server_goes)
        handles.clear();
    // Times destroying one of the two systems.
    const auto destroy = [](std::unique_ptr<CVeskMessageSystem>& system) {
        const auto start = Clock::now();
        system.reset();
        return SecondsSince(start);
    };
    EXPECT_LT(destroy(server_goes ? server : client), 1.0) << "destroying a system under traffic";
    EXPECT_TRUE(WaitFor(
        [&] {
            return std::none_of(sending.begin(), sending.end(), [](auto* handle) { return handle->is_session_used(); });
        },
        std::chrono::seconds(10)))
        << "every session of the other system ends with it";
    const auto stopping = Clock::now();
    stop = true;
    Join(std::move(senders));
    EXPECT_LT(SecondsSince(stopping), 1.0) << "no sender stays blocked on a session that has ended";
    handles.clear();
    EXPECT_LT(destroy(server_goes ? client : server), 1.0);
    EXPECT_EQ(state.to_client.Faults(), 0) << "lost, repeated, reordered or damaged";
}

INSTANTIATE_TEST_SUITE_P(ServerOrClientSystem, Load, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& tested) {
                             return tested.param ? "ServerGoes" : "ClientSystemGoes";
                         });

}  // namespace
