// Messages in datagrams through the public API: a client's unbound socket and
// a server's bound sockets, the rules by which a datagram finds its handler,
// and datagrams that must not take the service down.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VeskMessageSystem.h"
#include "test_support.h"

using namespace VeskMessageSystem;
using VeskNetworkSystem::NETWORK_EVENT_READ;

namespace {

using namespace vesk_test;

using namespace std::chrono_literals;

std::string FreeUdpPort()
{
    return std::to_string(FreePort(SOCK_DGRAM));
}

bool HasIPv6Loopback()
{
    const int probe = socket(AF_INET6, SOCK_DGRAM, 0);
    if (probe < 0)
        return false;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool ok = bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    return ok;
}

struct Text {
    tagMessageHeader header;
    char text[24];
};

Text MakeText(uint32_t type, const char* text)
{
    Text message{};
    message.header.m_type = type;
    message.header.m_size = sizeof message;
    std::strncpy(message.text, text, sizeof message.text - 1);
    return message;
}

// What a handler saw, recorded by the system it is registered with.
struct Call {
    int handler;
    uint32_t type;
    size_t size;
    std::string text;
    std::string host;
    std::string service;
    short ev;
};

class Recorder {
public:
    void Add(Call call)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(std::move(call));
    }
    std::vector<Call> Calls()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    size_t Count(int handler)
    {
        size_t count = 0;
        for (const Call& call : Calls())
            count += call.handler == handler;
        return count;
    }

private:
    std::mutex m_mutex;
    std::vector<Call> m_calls;
};

// Handlers are plain functions; each test's recorder is reached through
// this pointer, and an echoing server answers through the handle it gets.
Recorder* g_recorder = nullptr;
std::atomic<bool> g_echo{false};

template <int Id>
int Record(CVeskMessageSession* session, const char* host, const char* service, const void* data, size_t size)
{
    Call call{Id, 0, size, {}, host, service, 0};
    std::memcpy(&call.type, data, sizeof call.type);
    if (size >= sizeof(Text))
        call.text = static_cast<const Text*>(data)->text;
    g_recorder->Add(call);
    if (g_echo)
        session->sendto_udp_message(data, size, host, service);
    return 1;
}

// Set when a session event carried address bytes beyond an IPv4 address.
std::atomic<bool> g_address_tail_dirty{false};

int RecordEvent(CVeskMessageSession*, const char* host, const char* service, const void* data, size_t size)
{
    tagMessageDataSesssionEvent record;
    std::memcpy(&record, data, sizeof record);
    const auto* address = reinterpret_cast<const unsigned char*>(&record.m_SessionAddr);
    for (size_t i = sizeof(sockaddr_in); i < sizeof record.m_SessionAddr; ++i)
        g_address_tail_dirty = g_address_tail_dirty || address[i] != 0;
    g_recorder->Add(Call{0, record.m_header.m_type, size, {}, host, service, record.m_ev});
    return 1;
}

// A handler that closes the bound sockets of the service it was reached on.
std::string g_closing_port;
CVeskMessageSystem* g_closing_system = nullptr;

int CloseOwnSocket(CVeskMessageSession*, const char*, const char*, const void*, size_t)
{
    g_recorder->Add(Call{9, 0, 0, {}, {}, {}, 0});
    g_closing_system->close_udp_bind(g_closing_port.c_str());
    return 1;
}

class DatagramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_recorder = &recorder;
        g_echo = false;
        for (CVeskMessageSystem* system : {server, client}) {
            ASSERT_EQ(system->CreateSessions(1), 1);
            ASSERT_EQ(system->CreateUDPSessions(4), 1);
        }
    }

    void Start()
    {
        for (CVeskMessageSystem* system : {server, client}) {
            ASSERT_EQ(system->InitSocketEvent(), 1);
            ASSERT_EQ(system->DispatchSocketEvent(), 1);
        }
    }

    void TearDown() override
    {
        delete client;
        delete server;
        g_recorder = nullptr;
    }

    // A raw datagram straight to the server's port on 127.0.0.1, from the
    // given IPv4 socket or from one opened for it.
    void SendRaw(const void* data, size_t size, int from = -1)
    {
        const int fd = from >= 0 ? from : socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(fd, data, size, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
        if (fd != from)
            close(fd);
    }

    Recorder recorder;
    CVeskMessageSystem* server = VeskMessageSystemCreate();
    CVeskMessageSystem* client = VeskMessageSystemCreate();
    std::string port = FreeUdpPort();
};

TEST_F(DatagramTest, ClientAndServerExchangeBothWaysOverIPv4AndIPv6)
{
    server->add_ExtensionCallFunction({7, sizeof(Text), Record<1>});
    client->add_ExtensionCallFunction({8, sizeof(Text), Record<2>});
    Start();
    const bool ipv6 = HasIPv6Loopback();
    ASSERT_EQ(server->open_udp_bind(port.c_str(), AF_UNSPEC), ipv6 ? 2 : 1);

    // The server answers with a type-8 copy to the host and service texts it
    // was given.
    g_echo = false;
    std::unique_ptr<CVeskMessageSession> v4(client->open_udp(AF_INET));
    ASSERT_NE(v4, nullptr);
    EXPECT_TRUE(v4->is_udp_session_used());
    const Text ping = MakeText(7, "ping");
    EXPECT_EQ(v4->sendto_udp_message(&ping, sizeof ping, "127.0.0.1", port.c_str()), static_cast<int>(sizeof ping));
    ASSERT_TRUE(WaitFor([&] { return recorder.Count(1) == 1; }));
    const Call received = recorder.Calls().front();
    EXPECT_EQ(received.text, "ping");
    EXPECT_EQ(received.host, "127.0.0.1");

    // Answer through a server-side handle made from what the handler saw.
    std::unique_ptr<CVeskMessageSession> server_side(server->open_udp(AF_INET));
    const Text pong = MakeText(8, "pong");
    EXPECT_EQ(server_side->sendto_udp_message(&pong, sizeof pong, received.host.c_str(), received.service.c_str()),
              static_cast<int>(sizeof pong));
    ASSERT_TRUE(WaitFor([&] { return recorder.Count(2) == 1; }));

    if (!ipv6)
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    std::unique_ptr<CVeskMessageSession> v6(client->open_udp(AF_INET6));
    ASSERT_NE(v6, nullptr);
    EXPECT_GT(v6->sendto_udp_message(&ping, sizeof ping, "::1", port.c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return recorder.Count(1) == 2; }));
    EXPECT_EQ(recorder.Calls().back().host, "::1");
}

// Bound for IPv6 alone, a service is dual-stack, as the system's own sockets
// are: an IPv4 sender reaches it and gets its answer. Bound for both families,
// each family has its own socket.
TEST_F(DatagramTest, IPv4SenderReachesAServiceBoundForIPv6AndHearsItsAnswer)
{
    if (!HasIPv6Loopback())
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    server->add_ExtensionCallFunction({7, sizeof(Text), Record<1>});
    Start();
    g_echo = true;
    const struct {
        int family;
        int sockets;
        const char* sender;
    } cases[] = {{AF_INET6, 1, "::ffff:127.0.0.1"}, {AF_UNSPEC, 2, "127.0.0.1"}};
    for (const auto& bound : cases) {
        SCOPED_TRACE(bound.family);
        port = FreeUdpPort();
        ASSERT_EQ(server->open_udp_bind(port.c_str(), bound.family), bound.sockets);
        const int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const Text ping = MakeText(7, "ping");
        SendRaw(&ping, sizeof ping, sender);
        EXPECT_EQ(ReadBytes(sender, sizeof ping, 5000ms).size(), sizeof ping) << "the answer comes back";
        close(sender);
        ASSERT_FALSE(recorder.Calls().empty());
        EXPECT_EQ(recorder.Calls().back().host, bound.sender);
    }
    g_echo = false;
}

TEST_F(DatagramTest, HandlerEchoReachesTheSender)
{
    server->add_ExtensionCallFunction({7, sizeof(Text), Record<1>});
    client->add_ExtensionCallFunction({7, sizeof(Text), Record<2>});
    Start();
    ASSERT_EQ(server->open_udp_bind(port.c_str(), AF_INET), 1);
    std::unique_ptr<CVeskMessageSession> socket(client->open_udp(AF_INET));
    g_echo = true;
    const Text ping = MakeText(7, "echo me");
    socket->sendto_udp_message(&ping, sizeof ping, "localhost", port.c_str());
    // The server's handler echoes, and so does the client's: both see it.
    EXPECT_TRUE(WaitFor([&] { return recorder.Count(1) >= 1 && recorder.Count(2) >= 1; }));
    g_echo = false;
}

// A datagram reaches the first entry of its type whose size fits its length,
// with the entry's size; a user message by datagram reaches its handler; a
// short datagram reads its missing header bytes as zero.
TEST_F(DatagramTest, DatagramsFindTheFirstEntryThatFits)
{
    server->add_ExtensionCallFunction({7, 40, Record<1>});
    server->add_ExtensionCallFunction({7, 16, Record<2>});
    server->add_ExtensionCallFunction({7, 16, Record<3>});
    server->add_ExtensionCallFunction({VESKMESSYS_MESSAGE_TYPE_USER_MESSAGE, 8, Record<4>});
    server->add_ExtensionCallFunction({0, 0, Record<5>});
    Start();
    ASSERT_EQ(server->open_udp_bind(port.c_str(), AF_INET), 1);

    unsigned char thirty[30] = {7, 0, 0, 0, 30, 0};
    SendRaw(thirty, sizeof thirty);
    ASSERT_TRUE(WaitFor([&] { return recorder.Count(2) == 1; }));
    unsigned char fifty[50] = {7, 0, 0, 0, 50, 0};
    SendRaw(fifty, sizeof fifty);
    ASSERT_TRUE(WaitFor([&] { return recorder.Count(1) == 1; }));
    tagMessageDataUserMessage message{};
    message.m_header.m_type = VESKMESSYS_MESSAGE_TYPE_USER_MESSAGE;
    message.m_header.m_size = sizeof message;
    SendRaw(&message, sizeof message);
    EXPECT_TRUE(WaitFor([&] { return recorder.Count(4) == 1; }));
    const unsigned char short_datagram[3] = {0, 0, 0};
    SendRaw(short_datagram, sizeof short_datagram);
    EXPECT_TRUE(WaitFor([&] { return recorder.Count(5) == 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(recorder.Count(3), 0u) << "only the first matching entry is called";
    for (const Call& call : recorder.Calls()) {
        if (call.handler <= 2) {
            EXPECT_EQ(call.size, call.handler == 1 ? 40u : 16u) << "the size passed is the entry's";
        }
    }
}

TEST_F(DatagramTest, EmptyDatagramLeavesTheSocketServing)
{
    server->add_ExtensionCallFunction({VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT, 140, RecordEvent});
    server->add_ExtensionCallFunction({7, sizeof(Text), Record<1>});
    Start();
    ASSERT_EQ(server->open_udp_bind(port.c_str(), AF_INET), 1);
    SendRaw("", 0);
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(recorder.Calls().empty()) << "no event and no handler for an empty datagram";
    const Text after = MakeText(7, "after");
    SendRaw(&after, sizeof after);
    ASSERT_TRUE(WaitFor([&] { return recorder.Count(1) == 1; }));
    const std::vector<Call> calls = recorder.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].handler, 0);
    EXPECT_EQ(calls[0].ev, NETWORK_EVENT_READ);
    EXPECT_EQ(calls[0].host, "127.0.0.1");
}

TEST_F(DatagramTest, SessionEventCarriesTheSenderAndZerosBeyondIt)
{
    g_address_tail_dirty = false;
    server->add_ExtensionCallFunction({VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT, 140, RecordEvent});
    Start();
    ASSERT_EQ(server->open_udp_bind(port.c_str(), AF_INET), 1);
    const Text message = MakeText(7, "x");
    SendRaw(&message, sizeof message);
    ASSERT_TRUE(WaitFor([&] { return recorder.Count(0) == 1; }));
    EXPECT_EQ(recorder.Calls().front().size, 140u);
    EXPECT_FALSE(g_address_tail_dirty) << "bytes beyond the IPv4 address are zero";
}

// A callback that closes its own socket leaves no event behind for its
// descriptor, which the next socket may well get again.
TEST_F(DatagramTest, CallbackClosingItsSocketLeavesNothingArmed)
{
    g_closing_system = server;
    g_closing_port = port;
    server->add_ExtensionCallFunction({7, sizeof(Text), CloseOwnSocket});
    Start();
    ASSERT_EQ(server->open_udp_bind(port.c_str(), AF_INET), 1);
    const Text message = MakeText(7, "close");
    SendRaw(&message, sizeof message);
    ASSERT_TRUE(WaitFor([&] { return recorder.Count(9) == 1; }));

    const std::string other = FreeUdpPort();
    server->delete_allExtensionCallFunction();
    server->add_ExtensionCallFunction({7, sizeof(Text), Record<1>});
    ASSERT_EQ(server->open_udp_bind(other.c_str(), AF_INET), 1);
    port = other;
    for (int i = 0; i < 3; ++i)
        SendRaw(&message, sizeof message);
    ASSERT_TRUE(WaitFor([&] { return recorder.Count(1) == 3; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(recorder.Count(1), 3u) << "one call per datagram on the reopened descriptor";
    EXPECT_EQ(recorder.Count(9), 1u);
}

TEST_F(DatagramTest, BurstGivesOneEventAndOneCallPerDatagram)
{
    server->add_ExtensionCallFunction({VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT, 0, RecordEvent});
    server->add_ExtensionCallFunction({7, sizeof(Text), Record<1>});
    Start();
    ASSERT_EQ(server->open_udp_bind(port.c_str(), AF_INET), 1);
    std::unique_ptr<CVeskMessageSession> socket(client->open_udp(AF_INET));
    constexpr int kBurst = 200;
    for (int i = 0; i < kBurst; ++i) {
        const Text message = MakeText(7, std::to_string(i).c_str());
        ASSERT_GT(socket->sendto_udp_message(&message, sizeof message, "127.0.0.1", port.c_str()), 0);
    }
    // Loopback may drop datagrams under load; whatever arrived arrived once.
    WaitFor([&] { return recorder.Count(1) == kBurst; }, 2000ms);
    const size_t handled = recorder.Count(1);
    EXPECT_GT(handled, 0u);
    EXPECT_EQ(recorder.Count(0), handled) << "one session event per datagram";
    std::vector<int> seen(kBurst, 0);
    for (const Call& call : recorder.Calls())
        if (call.handler == 1)
            ++seen[std::stoi(call.text)];
    for (int count : seen)
        EXPECT_LE(count, 1);
}

// (A handle of a TCP session has no datagram socket: SessionHandle.SendingIsRefused.)
TEST_F(DatagramTest, SendingNeedsAHostAndAServiceThatResolve)
{
    Start();
    std::unique_ptr<CVeskMessageSession> socket(client->open_udp(AF_INET));
    const Text message = MakeText(7, "x");
    EXPECT_EQ(socket->sendto_udp_message(&message, sizeof message, nullptr, port.c_str()), -1);
    EXPECT_EQ(socket->sendto_udp_message(&message, sizeof message, "127.0.0.1", nullptr), -1);
    // A label of 64 characters is refused by the resolver itself, without a
    // query leaving the machine.
    const std::string unresolvable = std::string(64, 'a') + ".invalid";
    EXPECT_EQ(socket->sendto_udp_message(&message, sizeof message, unresolvable.c_str(), port.c_str()), -1);
}

TEST_F(DatagramTest, CloseByServiceAndReopen)
{
    server->add_ExtensionCallFunction({7, sizeof(Text), Record<1>});
    Start();
    const std::string other = FreeUdpPort();
    ASSERT_EQ(server->open_udp_bind(port.c_str(), AF_INET), 1);
    ASSERT_EQ(server->open_udp_bind(other.c_str(), AF_INET), 1);
    EXPECT_EQ(server->open_udp_bind(port.c_str(), AF_INET), 0) << "the port is taken";
    EXPECT_EQ(server->open_udp_bind(std::string(32, '1').c_str(), AF_INET), 0) << "a name of 32 characters";

    server->close_udp_bind(port.c_str());
    const Text message = MakeText(7, "lost");
    SendRaw(&message, sizeof message);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(recorder.Count(1), 0u);

    // The element is free again and the port can be bound anew.
    ASSERT_EQ(server->open_udp_bind(port.c_str(), AF_INET), 1);
    SendRaw(&message, sizeof message);
    EXPECT_TRUE(WaitFor([&] { return recorder.Count(1) == 1; }));

    std::unique_ptr<CVeskMessageSession> socket(client->open_udp(AF_INET));
    client->close_udp(socket.get());
    EXPECT_FALSE(socket->is_udp_session_used());
    std::unique_ptr<CVeskMessageSession> again(client->open_udp(AF_INET));
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(again->is_udp_session_used());
}

}  // namespace
