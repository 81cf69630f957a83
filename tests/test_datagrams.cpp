// Messages in datagrams through the public API: a client's unbound socket and
// a server's bound sockets, the rules by which a datagram finds its handler,
// and datagrams that must not take the service down.

#include "message_fixture.h"

using namespace VeskMessageSystem;
using VeskNetworkSystem::NETWORK_EVENT_READ;

namespace {

using namespace vesk_test;

using namespace std::chrono_literals;

constexpr uint32_t kPing = 7;
constexpr uint16_t kPingSize = 32;

// Records the datagram and sends it back to where it came from.
int Echo(CVeskMessageSession* session, const char* host, const char* service, const void* data, size_t size)
{
    RecordMessage(kServer, 1, host, service, data, size);
    session->sendto_udp_message(data, size, host, service);
    return 1;
}

// Set when a session event carried address bytes beyond an IPv4 address.
std::atomic<bool> g_address_tail_dirty{false};

int OnDatagramEvent(CVeskMessageSession* session, const char* host, const char* service, const void* data, size_t size)
{
    tagMessageDataSesssionEvent record;
    std::memcpy(&record, data, sizeof record);
    const auto* address = reinterpret_cast<const unsigned char*>(&record.m_SessionAddr);
    for (size_t i = sizeof(sockaddr_in); i < sizeof record.m_SessionAddr; ++i)
        g_address_tail_dirty = g_address_tail_dirty || address[i] != 0;
    RecordEvent(kServer, 0, session, host, service, data, size);
    return 1;
}

// A handler that closes the bound sockets of the service it was reached on;
// its call is recorded once they are closed.
std::string g_closing_port;
CVeskMessageSystem* g_closing_system = nullptr;

int CloseOwnSocket(CVeskMessageSession*, const char* host, const char* service, const void* data, size_t size)
{
    g_closing_system->close_udp_bind(g_closing_port.c_str());
    RecordMessage(kServer, 9, host, service, data, size);
    return 1;
}

// Both systems with datagram sockets to spare; `udp_port` is free for the
// server to bind.
class DatagramTest : public MessageSystems {
protected:
    void SetUp() override
    {
        MessageSystems::SetUp();
        g_address_tail_dirty = false;
        ASSERT_EQ(server->CreateUDPSessions(8), 1);
        ASSERT_EQ(client->CreateUDPSessions(4), 1);
    }

    // A raw datagram straight to the server's port on 127.0.0.1, from the
    // given IPv4 socket or from one opened for it.
    void SendRaw(const Bytes& bytes, int from = -1) const
    {
        const int fd = from >= 0 ? from : socket(AF_INET, SOCK_DGRAM, 0);
        const sockaddr_in address = Loopback(std::stoi(udp_port));
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (fd != from)
            close(fd);
    }

    std::string udp_port = std::to_string(FreePort(SOCK_DGRAM));
};

}  // namespace

// A client's unbound socket and a server's bound ones exchange datagrams
// over IPv4 and IPv6; the echo goes back to the host and service texts the
// handler was given. Sending needs a host and a service that resolve. Bound
// for IPv6 alone, a service is dual-stack, as the system's own sockets are:
// an IPv4 sender reaches it and hears the echo; bound for both families, each
// family has its own socket.
TEST_F(DatagramTest, ExchangeBothWaysOverIPv4AndIPv6)
{
    server->add_ExtensionCallFunction(Entry(kPing, kPingSize, Echo));
    client->add_ExtensionCallFunction(Entry(kPing, kPingSize, OnMessage<kClient, 1>));
    ASSERT_NO_FATAL_FAILURE(Start(VESKMESSYS_CRYPTO_ALGORITHM_NONE));
    const bool ipv6 = HasIPv6Loopback();
    ASSERT_EQ(server->open_udp_bind(udp_port.c_str(), AF_UNSPEC), ipv6 ? 2 : 1);
    const Bytes ping = Tagged(kPing, kPingSize, 1);
    const auto send = [&](CVeskMessageSession* socket, const char* host, const char* service) {
        return socket->sendto_udp_message(ping.data(), ping.size(), host, service);
    };

    std::unique_ptr<CVeskMessageSession> v4(client->open_udp(AF_INET));
    ASSERT_NE(v4, nullptr);
    EXPECT_TRUE(v4->is_udp_session_used());
    EXPECT_EQ(send(v4.get(), "localhost", udp_port.c_str()), kPingSize);
    ASSERT_TRUE(WaitFor([&] { return g_journal.Count(kClient, 1) == 1; })) << "the echo comes back";
    EXPECT_EQ(g_journal.Calls(kServer, 1).front().host, "127.0.0.1");
    EXPECT_EQ(send(v4.get(), nullptr, udp_port.c_str()), -1);
    EXPECT_EQ(send(v4.get(), "127.0.0.1", nullptr), -1);
    // A label of 64 characters is refused by the resolver itself, without a
    // query leaving the machine.
    EXPECT_EQ(send(v4.get(), (std::string(64, 'a') + ".invalid").c_str(), udp_port.c_str()), -1);

    if (!ipv6)
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    std::unique_ptr<CVeskMessageSession> v6(client->open_udp(AF_INET6));
    ASSERT_NE(v6, nullptr);
    EXPECT_GT(send(v6.get(), "::1", udp_port.c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return g_journal.Count(kClient, 1) == 2; }));
    EXPECT_EQ(g_journal.Calls(kServer, 1).back().host, "::1");

    const struct {
        int family;
        int sockets;
        const char* sender;
    } cases[] = {{AF_INET6, 1, "::ffff:127.0.0.1"}, {AF_UNSPEC, 2, "127.0.0.1"}};
    for (const auto& bound : cases) {
        SCOPED_TRACE(bound.family);
        udp_port = std::to_string(FreePort(SOCK_DGRAM));
        ASSERT_EQ(server->open_udp_bind(udp_port.c_str(), bound.family), bound.sockets);
        const int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        SendRaw(ping, sender);
        EXPECT_EQ(ReadBytes(sender, kPingSize, 5000ms).size(), kPingSize) << "the echo comes back";
        close(sender);
        EXPECT_EQ(g_journal.Calls(kServer, 1).back().host, bound.sender);
    }
}

// Each datagram raises one session event, carrying its sender with the
// address bytes beyond an IPv4 address zero, and reaches the first entry of
// its type whose size fits its length, with the entry's size; a user message
// by datagram reaches its handler; a short datagram reads its missing header
// bytes as zero; an empty one raises no event, calls no handler and the socket
// serves the next. Of a burst, whatever arrived arrived once. A service's
// bound sockets close by its name, also from a callback on the socket being
// closed, which leaves no event behind for its descriptor (the next socket may
// well get it again); the port can then be bound anew. A taken port and a
// service name of 32 characters are refused. A client's socket closes by its
// handle, and its element is free again.
TEST_F(DatagramTest, EachDatagramReachesTheFirstEntryThatFitsAndServicesCloseByName)
{
    server->add_ExtensionCallFunction(Entry(kSessionEvent, kEventSize, OnDatagramEvent));
    server->add_ExtensionCallFunction(Entry(kPing, 40, OnMessage<kServer, 1>));
    server->add_ExtensionCallFunction(Entry(kPing, 16, OnMessage<kServer, 2>));
    server->add_ExtensionCallFunction(Entry(kPing, 16, OnMessage<kServer, 3>));
    server->add_ExtensionCallFunction(Entry(VESKMESSYS_MESSAGE_TYPE_USER_MESSAGE, 8, OnMessage<kServer, 4>));
    server->add_ExtensionCallFunction(Entry(0, 0, OnMessage<kServer, 5>));
    ASSERT_NO_FATAL_FAILURE(Start(VESKMESSYS_CRYPTO_ALGORITHM_NONE));
    ASSERT_EQ(server->open_udp_bind(udp_port.c_str(), AF_INET), 1);
    EXPECT_EQ(server->open_udp_bind(udp_port.c_str(), AF_INET), 0) << "the port is taken";
    EXPECT_EQ(server->open_udp_bind(std::string(32, '1').c_str(), AF_INET), 0) << "a name of 32 characters";

    for (const Bytes& datagram :
         {Bytes{}, Tagged(kPing, 30, 30), Tagged(kPing, 50, 50),
          Tagged(VESKMESSYS_MESSAGE_TYPE_USER_MESSAGE, sizeof(tagMessageDataUserMessage), 0), Bytes{0, 0, 0}})
        SendRaw(datagram);
    ASSERT_TRUE(WaitFor([&] { return g_journal.Count(kServer, 5) == 1; }));
    std::this_thread::sleep_for(50ms);
    std::vector<int> handlers;
    for (const Call& call : g_journal.Calls(kServer))
        handlers.push_back(call.handler);
    EXPECT_EQ(handlers, (std::vector<int>{0, 2, 0, 1, 0, 4, 0, 5})) << "one event and the first fitting entry each";
    EXPECT_EQ(g_journal.Calls(kServer, 1)[0].size, 40u) << "the size passed is the entry's";
    EXPECT_EQ(g_journal.Calls(kServer, 2)[0].size, 16u);
    for (const Call& event : g_journal.Calls(kServer, 0)) {
        EXPECT_EQ(event.ev, NETWORK_EVENT_READ);
        EXPECT_EQ(event.size, kEventSize);
        EXPECT_EQ(event.host, "127.0.0.1");
    }
    EXPECT_FALSE(g_address_tail_dirty) << "bytes beyond the IPv4 address are zero";

    g_journal.Clear();
    std::unique_ptr<CVeskMessageSession> socket(client->open_udp(AF_INET));
    constexpr uint32_t kBurst = 200;
    for (uint32_t i = 0; i < kBurst; ++i) {
        const Bytes message = Tagged(kPing, 16, i);
        ASSERT_GT(socket->sendto_udp_message(message.data(), message.size(), "127.0.0.1", udp_port.c_str()), 0);
    }
    // Loopback may drop datagrams under load.
    WaitFor([&] { return g_journal.Count(kServer, 2) == kBurst; }, 2000ms);
    std::vector<uint32_t> tags = Tags(g_journal.Calls(kServer, 2));
    EXPECT_FALSE(tags.empty());
    EXPECT_EQ(g_journal.Count(kServer, 0), tags.size()) << "one session event per datagram";
    std::sort(tags.begin(), tags.end());
    EXPECT_EQ(std::adjacent_find(tags.begin(), tags.end()), tags.end()) << "none twice";
    client->close_udp(socket.get());
    EXPECT_FALSE(socket->is_udp_session_used());
    client->close_udp(nullptr);
    std::unique_ptr<CVeskMessageSession> again(client->open_udp(AF_INET));
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(again->is_udp_session_used());

    g_closing_system = server.get();
    g_closing_port = udp_port;
    ASSERT_EQ(server->delete_allExtensionCallFunction(), 1);
    server->add_ExtensionCallFunction(Entry(kPing, kPingSize, CloseOwnSocket));
    const Bytes message = Tagged(kPing, kPingSize, 1);
    SendRaw(message);
    ASSERT_TRUE(WaitFor([&] { return g_journal.Count(kServer, 9) == 1; }));
    SendRaw(message);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(g_journal.Count(kServer, 9), 1u) << "closed";

    server->delete_allExtensionCallFunction();
    server->add_ExtensionCallFunction(Entry(kPing, kPingSize, OnMessage<kServer, 1>));
    ASSERT_EQ(server->open_udp_bind(udp_port.c_str(), AF_INET), 1);
    for (int i = 0; i < 3; ++i)
        SendRaw(message);
    ASSERT_TRUE(WaitFor([&] { return g_journal.Count(kServer, 1) == 3; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(g_journal.Count(kServer, 1), 3u) << "one call per datagram on the reopened descriptor";
    EXPECT_EQ(g_journal.Count(kServer, 9), 1u);
}
