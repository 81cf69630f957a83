// Load: many authenticated Triple-DES clients exchange numbered messages both
// ways with one server at once. Nothing may be lost, repeated or reordered,
// the process's memory stays flat from one round to the next, and the server
// can be destroyed while traffic flows, quickly and without leaving anything
// behind.
//
// CI runs a reduced size; VESK_STRESS=1 selects the full one (200 clients,
// 1000 messages each way per round), as `make stress` does.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "VeskMessageSystem.h"
#include "test_support.h"

using namespace VeskMessageSystem;

namespace {

using namespace vesk_test;
using Clock = std::chrono::steady_clock;

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

struct LoadSize {
    int clients;
    int messages;  // each way, per client and round
};

LoadSize SizeFromEnvironment()
{
    const char* stress = std::getenv("VESK_STRESS");
    if (stress != nullptr && std::strcmp(stress, "0") != 0)
        return {200, 1000};
    return {50, 400};
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
        if (size != sizeof message) {
            ++m_faults;
            return;
        }
        std::memcpy(&message, data, sizeof message);
        if (message.client >= m_next.size()) {
            ++m_faults;
            return;
        }
        std::atomic<uint32_t>& next = m_next[message.client];
        const Numbered expected = MakeNumbered(message.header.m_type, message.client, message.seq);
        if (message.seq != next.load() || std::memcmp(&message, &expected, sizeof message) != 0) {
            ++m_faults;  // lost, repeated, reordered or damaged
            return;
        }
        next.store(message.seq + 1);
    }
    bool AllReached(uint32_t count) const
    {
        for (const auto& next : m_next)
            if (next.load() < count)
                return false;
        return true;
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
    std::atomic<int> accepted{0};
    std::atomic<bool> echo{false};
};

LoadState* g_load = nullptr;

int OnServerHello(CVeskMessageSession* session, const char*, const char*, const void* data, size_t size)
{
    Numbered hello;
    if (size != sizeof hello)
        return 0;
    std::memcpy(&hello, data, sizeof hello);
    if (hello.client < g_load->server_handles.size()) {
        g_load->server_handles[hello.client] = *session;
        g_load->hellos.fetch_add(1);
    }
    return 0;
}

int OnServerEvent(CVeskMessageSession*, const char*, const char*, const void* data, size_t)
{
    if (static_cast<const tagMessageDataSesssionEvent*>(data)->m_ev == VeskNetworkSystem::NETWORK_EVENT_ACCEPT)
        g_load->accepted.fetch_add(1);
    return 0;
}

// Whether the server accepts on `port`: listening succeeds also when the port
// was taken meanwhile, by another process's connection say.
bool ServerAccepts(const std::string& port)
{
    const int before = g_load->accepted.load();
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool accepted = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                          WaitFor([&] { return g_load->accepted.load() > before; }, std::chrono::seconds(2));
    ::close(fd);
    return accepted;
}

int OnServerMessage(CVeskMessageSession* session, const char*, const char*, const void* data, size_t size)
{
    if (g_load->echo.load()) {
        session->send_message(data, size);
        return 0;
    }
    g_load->to_server.Take(data, size);
    return 0;
}

int OnClientMessage(CVeskMessageSession*, const char*, const char*, const void* data, size_t size)
{
    g_load->to_client.Take(data, size);
    return 0;
}

long ResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// Each connection takes two descriptors in this process.
void EnsureDescriptors(int clients)
{
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const auto needed = static_cast<rlim_t>(2 * clients + 64);
    if (limit.rlim_cur >= needed)
        return;
    ASSERT_GE(limit.rlim_max, needed) << "the hard limit on descriptors is too low";
    limit.rlim_cur = needed;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
}

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Sends `count` numbered messages from `first` on, to every handle a sender
// owns: sender t takes the handles t, t + kSendersPerSide, ...
void SendRound(std::vector<CVeskMessageSession*> handles, uint32_t type, uint32_t first, uint32_t count)
{
    std::vector<std::thread> senders;
    std::atomic<int> failures{0};
    for (int t = 0; t < kSendersPerSide; ++t) {
        senders.emplace_back([&, t] {
            for (uint32_t seq = first; seq < first + count; ++seq)
                for (size_t c = static_cast<size_t>(t); c < handles.size(); c += kSendersPerSide) {
                    const Numbered message = MakeNumbered(type, static_cast<uint32_t>(c), seq);
                    if (handles[c]->send_message(&message, sizeof message) <= 0)
                        ++failures;
                }
        });
    }
    for (std::thread& sender : senders)
        sender.join();
    EXPECT_EQ(failures.load(), 0) << "sends refused";
}

// Keeps sending numbered messages from `first` on to every handle, from
// kSendersPerSide threads, until `stop` is set or every send of a pass fails.
std::vector<std::thread> KeepSending(const std::vector<CVeskMessageSession*>& handles, uint32_t type, uint32_t first,
                                     const std::atomic<bool>& stop)
{
    std::vector<std::thread> senders;
    for (int t = 0; t < kSendersPerSide; ++t) {
        senders.emplace_back([&handles, &stop, type, first, t] {
            for (uint32_t seq = first; !stop; ++seq) {
                bool any = false;
                for (size_t c = static_cast<size_t>(t); c < handles.size(); c += kSendersPerSide) {
                    const Numbered message = MakeNumbered(type, static_cast<uint32_t>(c), seq);
                    any = handles[c]->send_message(&message, sizeof message) > 0 || any;
                }
                if (!any)
                    return;
            }
        });
    }
    return senders;
}

bool AllEnded(const std::vector<CVeskMessageSession*>& handles)
{
    return std::none_of(handles.begin(), handles.end(),
                        [](CVeskMessageSession* handle) { return handle->is_session_used(); });
}

// A server and a client system with every client connected, logged in and
// known to the server by its hello.
class Load : public ::testing::Test {
protected:
    void SetUp() override
    {
        EnsureDescriptors(size.clients);
        g_load = &state;

        char path[] = "/tmp/vesk_load_users_XXXXXX";
        const int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        const std::string users = "load\tsecret\n";
        ASSERT_EQ(write(fd, users.data(), users.size()), static_cast<ssize_t>(users.size()));
        ::close(fd);

        server.reset(VeskMessageSystemCreate());
        client.reset(VeskMessageSystemCreate());
        ASSERT_EQ(server->CreateSessions(size.clients + 4), 1);
        ASSERT_EQ(server->CreateListenSessions(2), 1);
        ASSERT_EQ(client->CreateSessions(size.clients + 4), 1);
        server->add_ExtensionCallFunction({VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT, 0, OnServerEvent});
        server->add_ExtensionCallFunction({kHello, kMessageSize, OnServerHello});
        server->add_ExtensionCallFunction({kToServer, kMessageSize, OnServerMessage});
        client->add_ExtensionCallFunction({kToClient, kMessageSize, OnClientMessage});
        // The server's echoes go on each client's stream where its own
        // messages ended.
        client->add_ExtensionCallFunction({kToServer, kMessageSize, OnClientMessage});
        ASSERT_EQ(server->load_auth_user_list(path), 1);
        std::remove(path);
        ASSERT_EQ(server->InitSocketEvent(), 1);
        bool listening = false;
        for (int attempt = 0; attempt < 20 && !listening; ++attempt) {
            port = std::to_string(FreePort());
            listening = server->listen(port.c_str(), AF_INET, VESKMESSYS_CRYPTO_ALGORITHM_3DES) == 1 &&
                        server->DispatchSocketEvent() == 1 && ServerAccepts(port);
        }
        ASSERT_TRUE(listening);
        ASSERT_EQ(client->InitSocketEvent(), 1);
        ASSERT_EQ(client->DispatchSocketEvent(), 1);
        rss_start = ResidentKiB();

        // Connect and log in from several threads at once; each client says
        // hello.
        handles.resize(static_cast<size_t>(size.clients));
        const auto connect_start = Clock::now();
        std::vector<std::thread> connectors;
        for (int t = 0; t < kSendersPerSide; ++t) {
            connectors.emplace_back([this, t] {
                for (int c = t; c < size.clients; c += kSendersPerSide) {
                    auto& handle = handles[static_cast<size_t>(c)];
                    handle.reset(client->connect("127.0.0.1", port.c_str(), "load", 4, "secret", 6));
                    if (!handle)
                        continue;
                    const Numbered hello = MakeNumbered(kHello, static_cast<uint32_t>(c), 0);
                    handle->send_message(&hello, sizeof hello);
                }
            });
        }
        for (std::thread& connector : connectors)
            connector.join();
        for (const auto& handle : handles)
            ASSERT_NE(handle, nullptr);
        ASSERT_TRUE(WaitFor([&] { return state.hellos.load() == size.clients; }, kLimit));
        // An accepted login puts the user in the client's list, once however
        // many sessions log in; a refused session would be closed by its
        // client and carry none of the traffic below.
        EXPECT_TRUE(WaitFor([&] { return client->reference_user("load", 4).get_uid_size() == 4; }, kLimit));
        connect_seconds = SecondsSince(connect_start);
        for (int c = 0; c < size.clients; ++c) {
            on_client.push_back(handles[static_cast<size_t>(c)].get());
            on_server.push_back(&state.server_handles[static_cast<size_t>(c)]);
        }
    }

    void TearDown() override
    {
        handles.clear();
        client.reset();
        server.reset();
        g_load = nullptr;
    }

    // One round: both streams at once, until everything has arrived.
    double Round(uint32_t first)
    {
        const auto start = Clock::now();
        const auto messages = static_cast<uint32_t>(size.messages);
        std::thread up([&] { SendRound(on_client, kToServer, first, messages); });
        std::thread down([&] { SendRound(on_server, kToClient, first, messages); });
        up.join();
        down.join();
        EXPECT_TRUE(WaitFor([&] { return state.to_server.AllReached(first + messages); }, kLimit))
            << "client to server, lowest count " << state.to_server.Lowest();
        EXPECT_TRUE(WaitFor([&] { return state.to_client.AllReached(first + messages); }, kLimit))
            << "server to client, lowest count " << state.to_client.Lowest();
        EXPECT_EQ(state.to_server.Faults(), 0) << "client to server: lost, repeated, reordered or damaged";
        EXPECT_EQ(state.to_client.Faults(), 0) << "server to client: lost, repeated, reordered or damaged";
        return SecondsSince(start);
    }

    // Times destroying one of the two systems.
    static double Destroy(std::unique_ptr<CVeskMessageSystem>& system)
    {
        const auto start = Clock::now();
        system.reset();
        return SecondsSince(start);
    }

    static constexpr std::chrono::seconds kLimit{120};
    const LoadSize size = SizeFromEnvironment();
    LoadState state{size.clients};
    std::unique_ptr<CVeskMessageSystem> server;
    std::unique_ptr<CVeskMessageSystem> client;
    std::vector<std::unique_ptr<CVeskMessageSession>> handles;
    std::vector<CVeskMessageSession*> on_client;
    std::vector<CVeskMessageSession*> on_server;
    std::string port;
    long rss_start = 0;
    double connect_seconds = 0;
};

TEST_F(Load, ManyClientsExchangeNumberedMessagesAndTheServerGoesWhileTrafficFlows)
{
    const auto messages = static_cast<uint32_t>(size.messages);
    const double warm_up_seconds = Round(0);
    const long rss_warm = ResidentKiB();
    const double round_seconds = Round(messages);
    const long rss_after = ResidentKiB();
    // The messages of a round allocate nothing that stays; the slack covers
    // the allocator's and AddressSanitizer's own bookkeeping.
    if (kResidentSizeIsMeaningful) {
        EXPECT_LT(rss_after - rss_warm, 4096) << "KiB grown over a round after the warm-up";
    }

    // The server's application stops sending, as it must before the server
    // goes; the clients keep sending and the server echoes every message.
    state.echo = true;
    std::atomic<bool> stop{false};
    std::vector<std::thread> senders = KeepSending(on_client, kToServer, 2 * messages, stop);
    const uint32_t before_teardown = state.to_client.Lowest();
    EXPECT_TRUE(WaitFor([&] { return state.to_client.Lowest() > before_teardown; }, kLimit))
        << "echoes flow before the server goes";
    const double server_destroy_seconds = Destroy(server);
    EXPECT_LT(server_destroy_seconds, 1.0) << "destroying the server under traffic";

    // The clients' sends fail once their sessions have ended.
    EXPECT_TRUE(WaitFor([&] { return AllEnded(on_client); }, std::chrono::seconds(10)))
        << "every client session ends with the server";
    stop = true;
    for (std::thread& sender : senders)
        sender.join();
    handles.clear();
    const double client_destroy_seconds = Destroy(client);
    EXPECT_LT(client_destroy_seconds, 1.0);
    EXPECT_EQ(state.to_client.Faults(), 0) << "echoes: lost, repeated, reordered or damaged";

    const double round_messages = 2.0 * size.clients * size.messages;
    std::printf(
        "load: %d clients x %d messages each way per round; connect and login %.2f s; warm-up round %.2f s; "
        "measured round %.0f messages in %.2f s, %.0f messages/s; RSS %ld KiB at start, %ld after warm-up, %ld after "
        "the round (%+ld); server destroyed under traffic in %.3f s, client system in %.3f s\n",
        size.clients, size.messages, connect_seconds, warm_up_seconds, round_messages, round_seconds,
        round_messages / round_seconds, rss_start, rss_warm, rss_after, rss_after - rss_warm, server_destroy_seconds,
        client_destroy_seconds);
}

// The other way round: the server's application streams to every client
// while the client system is destroyed. Its senders must learn that the
// sessions have ended and stop, whether they were writing or waiting.
TEST_F(Load, ClientSystemGoesWhileTheServerStreamsToIt)
{
    Round(0);
    std::atomic<bool> stop{false};
    std::vector<std::thread> senders = KeepSending(on_server, kToClient, static_cast<uint32_t>(size.messages), stop);
    const uint32_t before_teardown = state.to_client.Lowest();
    EXPECT_TRUE(WaitFor([&] { return state.to_client.Lowest() > before_teardown; }, kLimit))
        << "the stream flows before the clients go";
    handles.clear();
    const double client_destroy_seconds = Destroy(client);
    EXPECT_LT(client_destroy_seconds, 1.0) << "destroying the client system under traffic";

    EXPECT_TRUE(WaitFor([&] { return AllEnded(on_server); }, std::chrono::seconds(10)))
        << "every server session ends with its client";
    const auto stopping = Clock::now();
    stop = true;
    for (std::thread& sender : senders)
        sender.join();
    EXPECT_LT(SecondsSince(stopping), 1.0) << "no sender stays blocked on a session that has ended";
    const double server_destroy_seconds = Destroy(server);
    EXPECT_LT(server_destroy_seconds, 1.0);
    EXPECT_EQ(state.to_client.Faults(), 0);
    std::printf("load: client system destroyed under traffic in %.3f s, server afterwards in %.3f s\n",
                client_destroy_seconds, server_destroy_seconds);
}

}  // namespace
