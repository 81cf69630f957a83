// Listening on services and accepting their connections, with real sockets on
// the loopback interface.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VeskMessageSystem.h"
#include "VeskNetworkSystem.h"
#include "test_support.h"

using namespace VeskNetworkSystem;

struct VeskNetworkTestAccess {
    static CVeskPool<CVeskNetworkSessionListen>& Listeners(CVeskNetworkSessionManager& m)
    {
        return m.m_SessionListenArray;
    }
    static ty_cbfunc_Event Callback(const CVeskNetworkSession& s) { return s.m_cbfunc_Event; }
    static void* Param(const CVeskNetworkSession& s) { return s.m_cbfunc_EventParam; }
    static eCryptoAlgorithm Algorithm(const CVeskNetworkSession& s) { return s.GetCryptoAlgorithm(); }
    static bool AcceptPaused(const CVeskNetworkSessionListen& l) { return l.m_bAcceptPaused; }
    static bool AcceptArmed(const CVeskNetworkSessionListen& l) { return l.m_ListenLibEvent.IsArmed(); }
    static const unsigned char* PublicKeyStorage(const CVeskNetworkSessionListen& l) { return l.m_RSAPublicKey.Data(); }
    static CVeskNetworkSessionManager& Manager(VeskMessageSystem::CVeskMessageSystem& system) { return *system.m_nsm; }
    template <class Holder>
    static const void* DecodedKey(const Holder& holder)
    {
        return holder.m_DecodedPrivateKey.get();
    }
};

namespace {

using namespace vesk_test;

using Access = VeskNetworkTestAccess;
using namespace std::chrono_literals;
using Key = std::vector<unsigned char>;

// The loopback address of a family with a port.
sockaddr_storage Loopback(int family, int port)
{
    sockaddr_storage address{};
    if (family == AF_INET6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<uint16_t>(port));
        in6->sin6_addr = in6addr_loopback;
    } else {
        auto* in = reinterpret_cast<sockaddr_in*>(&address);
        in->sin_family = AF_INET;
        in->sin_port = htons(static_cast<uint16_t>(port));
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    return address;
}

socklen_t LengthOf(int family)
{
    return family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

int PortOf(const sockaddr_storage& address)
{
    return address.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port)
                                         : ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

// A blocking client socket connected to the loopback address, or -1.
int RawConnect(int port, int family = AF_INET)
{
    const int s = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_storage address = Loopback(family, port);
    if (s >= 0 && ::connect(s, reinterpret_cast<const sockaddr*>(&address), LengthOf(family)) == 0)
        return s;
    if (s >= 0)
        ::close(s);
    return -1;
}

int LocalPort(int fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    return getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 ? PortOf(address) : -1;
}

// A port that nothing listens on for IPv4 or IPv6 at the moment; 0 when the
// machine has no IPv6 loopback.
int FreeDualPort()
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int v6 = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage address = Loopback(AF_INET6, 0);
        if (v6 < 0 || ::bind(v6, reinterpret_cast<sockaddr*>(&address), LengthOf(AF_INET6)) != 0) {
            ::close(v6);
            return 0;
        }
        const int port = LocalPort(v6);
        const int v4 = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        address = Loopback(AF_INET, port);
        const bool free4 = ::bind(v4, reinterpret_cast<sockaddr*>(&address), LengthOf(AF_INET)) == 0;
        ::close(v4);
        ::close(v6);
        if (free4)
            return port;
    }
    return -1;
}

// Whether the peer of fd closed within the time limit.
bool SeesEndOfStream(int fd)
{
    pollfd waiting{fd, POLLIN, 0};
    char byte;
    return poll(&waiting, 1, 5000) == 1 && ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

// A copy of a public or private key; empty when there is none.
Key Copy(const CVeskRSAKeyMaterial& keys, int (CVeskRSAKeyMaterial::*get)(unsigned char*, int) const)
{
    Key key(CVeskRSAKeyMaterial::kRSAKeyCapacity);
    const int length = (keys.*get)(key.data(), static_cast<int>(key.size()));
    key.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return key;
}
Key PublicKey(const CVeskRSAKeyMaterial& keys)
{
    return Copy(keys, &CVeskRSAKeyMaterial::GetRSAPublicKey);
}
Key PrivateKey(const CVeskRSAKeyMaterial& keys)
{
    return Copy(keys, &CVeskRSAKeyMaterial::GetRSAPrivateKey);
}

// The sessions accepted through a callback, in order, with their peers' ports.
class Accepted {
public:
    static int Record(CVeskNetworkSession* session, short ev, void* param)
    {
        auto* self = static_cast<Accepted*>(param);
        if (ev == NETWORK_EVENT_CLOSE)
            session->SetUsed(false);
        if (ev != NETWORK_EVENT_ACCEPT)
            return 1;
        sockaddr_storage peer{};
        session->GetSocketAddr(&peer);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_sessions.emplace_back(session, PortOf(peer));
        return 1;
    }

    // The n-th accepted session (from 1), or null when it did not come in time.
    CVeskNetworkSession* Wait(size_t n)
    {
        if (!WaitFor([&] { return Count() >= n; }))
            return nullptr;
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_sessions[n - 1].first;
    }

    size_t Count()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_sessions.size();
    }

    // Whether a session was accepted for a peer on this port in time.
    bool WaitPeer(int port)
    {
        return WaitFor([&] {
            std::lock_guard<std::mutex> lock(m_mutex);
            return std::any_of(m_sessions.begin(), m_sessions.end(),
                               [port](const auto& s) { return s.second == port; });
        });
    }

private:
    std::mutex m_mutex;
    std::vector<std::pair<CVeskNetworkSession*, int>> m_sessions;
};

class ListenTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(manager.CreateSessions(4), 1);
        ASSERT_EQ(manager.CreateListenSessions(4), 1);
        ASSERT_EQ(manager.DispatchLibEvent(), 1);
    }

    int Listen(const std::string& service, int family = AF_INET, eCryptoAlgorithm algorithm = CRYPTO_ALGORITHM_NONE)
    {
        return manager.Listen(service.c_str(), family, 5, Accepted::Record, &accepted, algorithm);
    }
    CVeskNetworkSessionListen& Listener(int index) { return Access::Listeners(manager)[index]; }
    int Port(int index) { return LocalPort(Listener(index).GetSocket()); }
    int ListenersInUse()
    {
        int used = 0;
        Access::Listeners(manager).ForEach([&used](CVeskNetworkSessionListen& l) { used += l.IsUsed() ? 1 : 0; });
        return used;
    }

    Accepted accepted;
    CVeskNetworkSessionManager manager;
};

TEST_F(ListenTest, AcceptedSessionCarriesWhatTheListenerWasGiven)
{
    const eCryptoAlgorithm algorithms[] = {CRYPTO_ALGORITHM_NONE, CRYPTO_ALGORITHM_3DES, CRYPTO_ALGORITHM_BLOWFISH};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(algorithms[i]);
        // Each its own service name, on a port of its own.
        ASSERT_EQ(Listen(std::string(i + 1, '0'), AF_INET, algorithms[i]), 1);
        CVeskNetworkSessionListen& listener = Listener(static_cast<int>(i));
        ASSERT_TRUE(listener.IsUsed());
        EXPECT_EQ(listener.GetCryptoAlgorithm(), algorithms[i]);

        const int client = RawConnect(Port(static_cast<int>(i)));
        ASSERT_GE(client, 0);
        CVeskNetworkSession* session = accepted.Wait(i + 1);
        ASSERT_NE(session, nullptr);
        // Read from inside the session, as every thread that works on it does.
        CVeskElementEntry inside(session);
        ASSERT_TRUE(inside);
        EXPECT_EQ(Access::Callback(*session), &Accepted::Record);
        EXPECT_EQ(Access::Param(*session), &accepted);
        EXPECT_EQ(Access::Algorithm(*session), algorithms[i]);
        EXPECT_EQ(PublicKey(*session).size(), 140u);
        EXPECT_EQ(PublicKey(*session), PublicKey(listener));
        EXPECT_EQ(PrivateKey(*session), PrivateKey(listener));
        ASSERT_NE(Access::DecodedKey(listener), nullptr) << "the listener decodes its key once";
        EXPECT_EQ(Access::DecodedKey(*session), Access::DecodedKey(listener)) << "and its sessions share it";
        EXPECT_EQ(session->GetRSAPublicExponent(), 65537u);
        sockaddr_storage peer{};
        session->GetSocketAddr(&peer);
        EXPECT_EQ(peer.ss_family, AF_INET);
        EXPECT_EQ(PortOf(peer), LocalPort(client)) << "the peer's address is kept";
        ::close(client);
    }
}

TEST_F(ListenTest, EveryListenerHasItsOwnKeysZeroedWhenClosed)
{
    ASSERT_EQ(Listen("0"), 1);
    ASSERT_EQ(Listen("00"), 1);
    const Key first = PublicKey(Listener(0));
    const Key second = PublicKey(Listener(1));
    ASSERT_EQ(first.size(), 140u);
    ASSERT_EQ(second.size(), 140u);
    EXPECT_NE(first, second);
    EXPECT_NE(PrivateKey(Listener(0)), PrivateKey(Listener(1)));
    const int closed_port = Port(0);

    manager.CloseListen("0");
    EXPECT_TRUE(Listener(0).IsFree());
    EXPECT_EQ(Listener(0).GetSocket(), -1);
    EXPECT_TRUE(PublicKey(Listener(0)).empty());
    EXPECT_TRUE(PrivateKey(Listener(0)).empty());
    EXPECT_EQ(Listener(0).GetRSAPublicExponent(), 0u);
    EXPECT_EQ(Listener(0).GetCryptoAlgorithm(), CRYPTO_ALGORITHM_NONE);
    EXPECT_STREQ(Listener(0).GetListenService(), "0") << "the name is kept";
    const unsigned char* storage = Access::PublicKeyStorage(Listener(0));
    EXPECT_EQ(std::vector<unsigned char>(storage, storage + 140), std::vector<unsigned char>(140, 0));
    EXPECT_EQ(RawConnect(closed_port), -1);

    // The other name stays open with its keys.
    EXPECT_TRUE(Listener(1).IsUsed());
    EXPECT_EQ(PublicKey(Listener(1)), second);
    const int client = RawConnect(Port(1));
    EXPECT_GE(client, 0);
    EXPECT_NE(accepted.Wait(1), nullptr);
    ::close(client);
}

// Listening for IPv6 alone gives one dual-stack listener, as the system's own
// sockets are, which IPv4 clients reach too; listening for both families
// gives each its own listener. CloseListen closes every listener of the name.
TEST_F(ListenTest, IPv6AndDualListenersTakeClientsOfBothFamilies)
{
    const struct {
        int family;
        int listeners;
    } cases[] = {{AF_INET6, 1}, {AF_UNSPEC, 2}};
    for (const auto& listen : cases) {
        SCOPED_TRACE(listen.family);
        // A connection elsewhere on the machine may take the probed port
        // before the listen does (one family is then skipped); such a port is
        // let go.
        int port = 0;
        std::string service;
        for (int attempt = 0; attempt < 5 && ListenersInUse() != listen.listeners; ++attempt) {
            if (!service.empty())
                manager.CloseListen(service.c_str());
            port = FreeDualPort();
            if (port == 0)
                GTEST_SKIP() << "no IPv6 loopback";
            ASSERT_GT(port, 0);
            service = std::to_string(port);
            Listen(service, listen.family);  // fails too when the port was taken meanwhile
        }
        ASSERT_EQ(ListenersInUse(), listen.listeners);

        for (int family : {AF_INET, AF_INET6}) {
            SCOPED_TRACE(family);
            const int client = RawConnect(port, family);
            ASSERT_GE(client, 0);
            EXPECT_TRUE(accepted.WaitPeer(LocalPort(client)));
            ::close(client);
        }

        manager.CloseListen(service.c_str());
        EXPECT_EQ(ListenersInUse(), 0);
        for (int i = 0; i < listen.listeners; ++i)
            EXPECT_TRUE(PublicKey(Listener(i)).empty()) << i;
        EXPECT_EQ(RawConnect(port, AF_INET), -1);
        EXPECT_EQ(RawConnect(port, AF_INET6), -1);
    }
}

TEST_F(ListenTest, SecondListenOnTheSamePortOpensNothingAndSucceeds)
{
    ASSERT_EQ(Listen("0"), 1);
    const std::string port = std::to_string(Port(0));
    EXPECT_EQ(Listen(port), 1);
    EXPECT_EQ(ListenersInUse(), 1);
}

// A port another socket holds is a failure, not a silent success: a server
// that believes it listens would wait for connections that never come.
TEST_F(ListenTest, PortHeldByAnotherSocketFails)
{
    const int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    socklen_t length = sizeof address;
    getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
    EXPECT_EQ(Listen(std::to_string(ntohs(address.sin_port))), 0);
    EXPECT_EQ(ListenersInUse(), 0);
    close(holder);
}

TEST_F(ListenTest, ServiceNamesMustFitTheirField)
{
    // Zeros and nothing else name port 0, whatever their number.
    EXPECT_EQ(Listen(std::string(32, '0')), 0);
    EXPECT_EQ(ListenersInUse(), 0);
    EXPECT_EQ(Listen(std::string(31, '0')), 1);
    ASSERT_EQ(ListenersInUse(), 1);
    EXPECT_STREQ(Listener(0).GetListenService(), std::string(31, '0').c_str());
}

// Holds the first accept's report until released, so that the listener can
// be closed while its accept handler still runs.
struct HeldAccept {
    static int Hold(CVeskNetworkSession*, short ev, void* param)
    {
        auto* self = static_cast<HeldAccept*>(param);
        if (ev != NETWORK_EVENT_ACCEPT || self->accepts++ > 0)
            return 1;
        self->holding = true;
        WaitFor([self] { return self->released.load(); });
        return 1;
    }
    std::atomic<int> accepts{0};
    std::atomic<bool> holding{false};
    std::atomic<bool> released{false};
};

TEST_F(ListenTest, ListenerClosedDuringAnAcceptCanBeListenedOnAgain)
{
    HeldAccept held;
    ASSERT_EQ(manager.Listen("0", AF_INET, 5, HeldAccept::Hold, &held, CRYPTO_ALGORITHM_NONE), 1);
    const int first = RawConnect(Port(0));
    ASSERT_GE(first, 0);
    ASSERT_TRUE(WaitFor([&] { return held.holding.load(); }));
    std::thread closer([&] { manager.CloseListen("0"); });
    // Gives the closer time to reach the handler that is still running.
    std::this_thread::sleep_for(100ms);
    held.released = true;
    closer.join();
    EXPECT_TRUE(Listener(0).IsFree());
    EXPECT_FALSE(Access::AcceptArmed(Listener(0))) << "no event is left for the closed listener";

    // A descriptor kept open, so that the new listening socket does not get
    // the old one's number back.
    const int spare = dup(first);
    ASSERT_EQ(manager.Listen("0", AF_INET, 5, HeldAccept::Hold, &held, CRYPTO_ALGORITHM_NONE), 1);
    ASSERT_TRUE(Listener(0).IsUsed());
    const int second = RawConnect(Port(0));
    EXPECT_GE(second, 0);
    EXPECT_TRUE(WaitFor([&] { return held.accepts == 2; }));
    ::close(second);
    ::close(spare);
    ::close(first);
}

TEST(ListenPoolTest, EmptyListenerPoolRefuses)
{
    Accepted accepted;
    CVeskNetworkSessionManager manager;
    ASSERT_EQ(manager.CreateListenSessions(0), 1);
    EXPECT_EQ(manager.Listen("0", AF_INET, 5, Accepted::Record, &accepted, CRYPTO_ALGORITHM_NONE), 0);
}

// One listener with a pool of `sessions`; the port it listens on.
class AcceptQueueTest : public ::testing::Test {
protected:
    int Listen(int sessions)
    {
        EXPECT_EQ(manager.CreateSessions(sessions), 1);
        EXPECT_EQ(manager.CreateListenSessions(1), 1);
        EXPECT_EQ(manager.Listen("0", AF_INET, 5, Accepted::Record, &accepted, CRYPTO_ALGORITHM_NONE), 1);
        return LocalPort(Access::Listeners(manager)[0].GetSocket());
    }

    Accepted accepted;
    CVeskNetworkSessionManager manager;
};

TEST_F(AcceptQueueTest, ClientWaitsForAFreeSessionWhileThePoolIsFull)
{
    const int port = Listen(1);
    ASSERT_EQ(manager.DispatchLibEvent(), 1);
    const int first = RawConnect(port);
    ASSERT_GE(first, 0);
    CVeskNetworkSession* session = accepted.Wait(1);
    ASSERT_NE(session, nullptr);

    const int second = RawConnect(port);
    ASSERT_GE(second, 0) << "the kernel queues the connection";
    ASSERT_TRUE(WaitFor([&] { return Access::AcceptPaused(Access::Listeners(manager)[0]); }));
    EXPECT_EQ(accepted.Count(), 1u);

    EXPECT_EQ(manager.Close(session), 1);
    EXPECT_TRUE(SeesEndOfStream(first));
    ASSERT_NE(accepted.Wait(2), nullptr) << "the queued client is accepted once a session is free";
    EXPECT_TRUE(accepted.WaitPeer(LocalPort(second)));
    ::close(first);
    ::close(second);
}

TEST_F(AcceptQueueTest, ConnectionResetBeforeAcceptDoesNotStallTheLoop)
{
    const int port = Listen(8);
    // Reset while queued, before the loop runs at all.
    for (int i = 0; i < 3; ++i) {
        const int client = RawConnect(port);
        ASSERT_GE(client, 0);
        const linger abort{1, 0};
        ASSERT_EQ(setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
        ::close(client);
    }
    ASSERT_EQ(manager.DispatchLibEvent(), 1);

    const int client = RawConnect(port);
    ASSERT_GE(client, 0);
    EXPECT_TRUE(accepted.WaitPeer(LocalPort(client))) << "a later client is still accepted";
    ::close(client);
}

// Lowers the soft descriptor limit just above the descriptors open now and
// takes every descriptor left below it; the destructor gives all back.
class DescriptorsExhausted {
public:
    DescriptorsExhausted()
    {
        getrlimit(RLIMIT_NOFILE, &m_saved);
        const int probe = dup(STDIN_FILENO);
        ::close(probe);
        rlimit lowered = m_saved;
        lowered.rlim_cur = static_cast<rlim_t>(probe) + 8;
        setrlimit(RLIMIT_NOFILE, &lowered);
        for (int fd = dup(STDIN_FILENO); fd >= 0; fd = dup(STDIN_FILENO))
            m_taken.push_back(fd);
    }
    ~DescriptorsExhausted()
    {
        for (int fd : m_taken)
            ::close(fd);
        setrlimit(RLIMIT_NOFILE, &m_saved);
    }
    DescriptorsExhausted(const DescriptorsExhausted&) = delete;
    DescriptorsExhausted& operator=(const DescriptorsExhausted&) = delete;

private:
    rlimit m_saved{};
    std::vector<int> m_taken;
};

// A connection that cannot be accepted for lack of descriptors stays queued,
// so its listener stays readable: the loop must wait rather than retry on
// every pass, and accept it once descriptors are back.
TEST_F(AcceptQueueTest, LoopWaitsWhileDescriptorsAreExhausted)
{
    const int port = Listen(4);
    ASSERT_EQ(manager.DispatchLibEvent(), 1);
    // One client is accepted while descriptors are plenty: UBSan opens a pipe
    // to check a type the first time it meets it, which it could not do later.
    const int first = RawConnect(port);
    ASSERT_GE(first, 0);
    ASSERT_NE(accepted.Wait(1), nullptr);
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(client, 0);
    const sockaddr_storage address = Loopback(AF_INET, port);
    double busy = 0;
    {
        DescriptorsExhausted exhausted;
        ASSERT_EQ(::connect(client, reinterpret_cast<const sockaddr*>(&address), LengthOf(AF_INET)), 0);
        const double before = vesk_perf::ProcessCpuSeconds();
        std::this_thread::sleep_for(1s);
        busy = vesk_perf::ProcessCpuSeconds() - before;
        EXPECT_EQ(accepted.Count(), 1u);
    }
    EXPECT_LT(busy, 0.3) << "CPU seconds spent in one second while no descriptor was left";
    EXPECT_TRUE(accepted.WaitPeer(LocalPort(client))) << "accepted once descriptors are back";
    ::close(client);
    ::close(first);
}

std::atomic<int> g_burst_accepts{0};

int CountAccepts(VeskMessageSystem::CVeskMessageSession*, const char*, const char*, const void* data, size_t)
{
    if (static_cast<const VeskMessageSystem::tagMessageDataSesssionEvent*>(data)->m_ev == NETWORK_EVENT_ACCEPT)
        ++g_burst_accepts;
    return 0;
}

// Connections that arrive all at once find room in the kernel's queue, so
// none waits a second for its SYN to be sent again, and the server takes
// them all promptly.
TEST(AcceptBurst, ConnectionsArrivingAtOnceAreAllTakenPromptly)
{
    using namespace VeskMessageSystem;
    constexpr int kClients = 200;
    CVeskMessageSystem server;
    ASSERT_EQ(server.CreateSessions(256), 1);
    ASSERT_EQ(server.CreateListenSessions(1), 1);
    ASSERT_EQ(server.add_ExtensionCallFunction({VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT, 0, CountAccepts}), 1);
    ASSERT_EQ(server.InitSocketEvent(), 1);
    ASSERT_EQ(server.listen("0", AF_INET, VESKMESSYS_CRYPTO_ALGORITHM_NONE), 1);
    ASSERT_EQ(server.DispatchSocketEvent(), 1);
    const int port = LocalPort(Access::Listeners(Access::Manager(server))[0].GetSocket());

    const auto start = std::chrono::steady_clock::now();
    std::vector<pollfd> clients;
    for (int i = 0; i < kClients; ++i) {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ASSERT_GE(s, 0);
        const sockaddr_storage address = Loopback(AF_INET, port);
        ::connect(s, reinterpret_cast<const sockaddr*>(&address), LengthOf(AF_INET));
        clients.push_back({s, POLLOUT, 0});
    }
    size_t connected = 0;
    while (connected < clients.size() && std::chrono::steady_clock::now() - start < 5s) {
        if (poll(clients.data(), clients.size(), 10) <= 0)
            continue;
        for (pollfd& client : clients)
            if ((client.revents & POLLOUT) != 0 && client.events != 0) {
                client.events = 0;
                ++connected;
            }
    }
    const auto all_connected = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(connected, clients.size());
    EXPECT_LT(all_connected, 1s) << "no SYN was dropped for a full queue";
    EXPECT_TRUE(WaitFor([] { return g_burst_accepts == kClients; })) << g_burst_accepts << " accepted";
    for (const pollfd& client : clients)
        ::close(client.fd);
}

}  // namespace
