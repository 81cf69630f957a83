// The session manager's event loop, with real sockets on the loopback
// interface: listening on services and accepting their connections, which
// thread reports what, idling, several managers in one process and shutting
// down under load.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "VeskMessageSystem.h"
#include "VeskNetworkSystem.h"
#include "message_fixture.h"
#include "raw_peer.h"
#include "session_fixture.h"
#include "test_support.h"

using namespace VeskNetworkSystem;

struct VeskNetworkTestAccess {
    static CVeskNetworkSessionListen& Listener(CVeskNetworkSessionManager& m, int index)
    {
        return m.m_SessionListenArray[index];
    }
    static int ListenersInUse(CVeskNetworkSessionManager& m)
    {
        int used = 0;
        m.m_SessionListenArray.ForEach([&used](CVeskNetworkSessionListen& l) { used += l.IsUsed() ? 1 : 0; });
        return used;
    }
    static bool AcceptPaused(const CVeskNetworkSessionListen& l) { return l.m_bAcceptPaused; }
    static bool AcceptArmed(const CVeskNetworkSessionListen& l) { return l.m_ListenLibEvent.IsArmed(); }
    static const unsigned char* PublicKeyStorage(const CVeskNetworkSessionListen& l) { return l.m_RSAPublicKey.Data(); }
    static unsigned long ParsePasses(CVeskNetworkSessionManager& m) { return m.m_ParsePasses.load(); }
    static std::thread::id LoopThread(CVeskNetworkSessionManager& m) { return m.m_hLibEventThread.get_id(); }
    static std::thread::id ParseThread(CVeskNetworkSessionManager& m)
    {
        return m.m_ParseRecvSocketBufferThreadHandle.get_id();
    }
};

namespace {

using namespace vesk_test;
using Access = VeskNetworkTestAccess;
using namespace std::chrono_literals;

// A blocking client socket connected to the loopback address, or -1.
int RawConnect(int port, int family = AF_INET)
{
    sockaddr_storage address{};
    reinterpret_cast<sockaddr_in&>(address) = Loopback(port);
    if (family == AF_INET6)
        reinterpret_cast<sockaddr_in6&>(address) = {AF_INET6, htons(static_cast<uint16_t>(port)), 0, in6addr_loopback,
                                                    0};
    const int s = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return s;
    ::close(s);
    return -1;
}

std::vector<unsigned char> PublicKey(const CVeskRSAKeyMaterial& keys)
{
    std::vector<unsigned char> key(CVeskRSAKeyMaterial::kRSAKeyCapacity);
    const int length = keys.GetRSAPublicKey(key.data(), static_cast<int>(key.size()));
    key.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return key;
}

// A manager with the given pools whose sessions report into the journal; its
// loop is started by the test.
struct Listening {
    void Pools(int sessions, int listeners)
    {
        ASSERT_EQ(manager->CreateSessions(sessions), 1);
        ASSERT_EQ(manager->CreateListenSessions(listeners), 1);
    }
    int Listen(const std::string& service, int family = AF_INET)
    {
        return manager->Listen(service.c_str(), family, 5, &SessionJournal::Record, &journal, CRYPTO_ALGORITHM_NONE);
    }
    // Listens on a port the kernel chose; that port.
    int ListenOnAFreePort()
    {
        return std::stoi(ListenOnFreePort([this](const std::string& service) { return Listen(service) == 1; }));
    }
    // Pools, a listener on a port the kernel chose and the loop running; that port.
    int Start(int sessions, int listeners)
    {
        Pools(sessions, listeners);
        port = ListenOnAFreePort();
        EXPECT_EQ(manager->DispatchLibEvent(), 1);
        return port;
    }
    // As Start, with a parse thread and sessions released at their close.
    // With `idle_loop_first` the loop runs with nothing to watch for a while
    // before the listen: a loop that ended for want of events would be gone
    // by then.
    void Serve(bool idle_loop_first)
    {
        journal.release_on_close = true;
        Pools(4, 2);
        EXPECT_EQ(manager->CreateParseRecvSocketBufferThread(), 1);
        if (idle_loop_first) {
            EXPECT_EQ(manager->DispatchLibEvent(), 1);
            std::this_thread::sleep_for(100ms);
        }
        port = ListenOnAFreePort();
        EXPECT_EQ(manager->DispatchLibEvent(), 1);
    }
    CVeskNetworkSessionListen& Listener(int index) { return Access::Listener(*manager, index); }

    SessionJournal journal;
    std::unique_ptr<CVeskNetworkSessionManager> manager = std::make_unique<CVeskNetworkSessionManager>();
    int port = 0;
};

class ListenTest : public ::testing::Test, protected Listening {};
using AcceptBurst = MessageSystems;

int OpenDescriptors()
{
    const std::filesystem::directory_iterator descriptors("/proc/self/fd");
    return static_cast<int>(std::distance(begin(descriptors), end(descriptors)));
}

// A manager listening on a port the kernel chose, its threads running, its
// sessions reporting into the journal and released at their close. With
// `idle_loop_first` its loop runs with nothing to watch for a while before the
// listen: a loop that ended for want of events would be gone by then.
// What a listen answers, and how many listeners are open after it.
TEST(ListenTable, ListenSucceedsOnlyWhenThePortIsListenedOnAfterwards)
{
    int held_port = 0;
    const int held = ListenOnLoopback(&held_port);
    const int saved_stdin = dup(STDIN_FILENO);
    const struct {
        const char* what;
        int listeners;  // in the pool
        std::function<std::string(Listening&)> service;
        int result;
        int open_after;
    } cases[] = {
        {"a port another socket holds (a server that believes it listens would wait forever)", 2,
         [&](Listening&) { return std::to_string(held_port); }, 0, 0},
        {"the system's own port again: nothing more is opened", 2,
         [](Listening& test) { return std::to_string(test.ListenOnAFreePort()); }, 1, 1},
        {"a name of 32 zeros, too long for its field", 2, [](Listening&) { return std::string(32, '0'); }, 0, 0},
        {"a name of 31 zeros, port 0", 2, [](Listening&) { return std::string(31, '0'); }, 1, 1},
        {"descriptor 0 free: the listening socket may get it", 1,
         [](Listening&) {
             ::close(STDIN_FILENO);
             return std::string("0");
         },
         1, 1},
        {"an empty listener pool", 0, [](Listening&) { return std::string("0"); }, 0, 0},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.what);
        Listening test;
        ASSERT_NO_FATAL_FAILURE(test.Pools(1, row.listeners));
        EXPECT_EQ(test.Listen(row.service(test)), row.result);
        EXPECT_EQ(Access::ListenersInUse(*test.manager), row.open_after);
    }
    dup2(saved_stdin, STDIN_FILENO);
    ::close(saved_stdin);
    ::close(held);
}

bool HasIPv6Loopback()
{
    const int probe = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in6 address{AF_INET6, 0, 0, in6addr_loopback, 0};
    const bool bound = probe >= 0 && ::bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    return bound;
}

// Each listener has keys of its own; closing one zeroes its keys and leaves
// the other listening with its own. Listening for IPv6 alone gives one
// dual-stack listener, as the system's own sockets are, which IPv4 clients
// reach too; listening for both families gives each its own listener.
// CloseListen closes every listener of the name.
TEST_F(ListenTest, ListenersHaveTheirOwnKeysAndTakeClientsOfTheirFamilies)
{
    const int closed_port = Start(8, 4);
    const int open_port = ListenOnAFreePort();
    const auto second = PublicKey(Listener(1));
    ASSERT_EQ(second.size(), 140u);
    EXPECT_NE(PublicKey(Listener(0)), second);

    manager->CloseListen(std::to_string(closed_port).c_str());
    EXPECT_TRUE(Listener(0).IsFree());
    const unsigned char* storage = Access::PublicKeyStorage(Listener(0));
    EXPECT_EQ(std::vector<unsigned char>(storage, storage + 140), std::vector<unsigned char>(140, 0));
    EXPECT_EQ(RawConnect(closed_port), -1);
    EXPECT_EQ(PublicKey(Listener(1)), second);
    const int open_client = RawConnect(open_port);
    EXPECT_NE(journal.WaitAccepted(1), nullptr);
    ::close(open_client);
    manager->CloseListen(std::to_string(open_port).c_str());

    if (!HasIPv6Loopback())
        GTEST_SKIP() << "no IPv6 loopback";
    const struct {
        int family;
        int listeners;
    } cases[] = {{AF_INET6, 1}, {AF_UNSPEC, 2}};
    size_t accepted = 1;
    for (const auto& listen : cases) {
        SCOPED_TRACE(listen.family);
        // A probed port that another socket takes for one family before the
        // listen is let go.
        const std::string service = ListenOnFreePort([&](const std::string& candidate) {
            if (Listen(candidate, listen.family) == 1 && Access::ListenersInUse(*manager) == listen.listeners)
                return true;
            manager->CloseListen(candidate.c_str());
            return false;
        });
        ASSERT_FALSE(service.empty());
        const int port = std::stoi(service);
        for (int family : {AF_INET, AF_INET6}) {
            SCOPED_TRACE(family);
            const int client = RawConnect(port, family);
            ASSERT_GE(client, 0);
            EXPECT_NE(journal.WaitAccepted(++accepted), nullptr);
            ::close(client);
        }
        manager->CloseListen(service.c_str());
        EXPECT_EQ(Access::ListenersInUse(*manager), 0);
        EXPECT_EQ(RawConnect(port, AF_INET), -1);
        EXPECT_EQ(RawConnect(port, AF_INET6), -1);
    }
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
    Pools(4, 1);
    ASSERT_EQ(manager->DispatchLibEvent(), 1);
    HeldAccept held;
    const auto listen = [&](const std::string& service) {
        return manager->Listen(service.c_str(), AF_INET, 5, HeldAccept::Hold, &held, CRYPTO_ALGORITHM_NONE) == 1;
    };
    const std::string service = ListenOnFreePort(listen);
    const int first = RawConnect(std::stoi(service));
    ASSERT_GE(first, 0);
    ASSERT_TRUE(WaitFor([&] { return held.holding.load(); }));
    std::thread closer([&] { manager->CloseListen(service.c_str()); });
    // Gives the closer time to reach the handler that is still running.
    std::this_thread::sleep_for(100ms);
    held.released = true;
    closer.join();
    EXPECT_TRUE(Listener(0).IsFree());
    EXPECT_FALSE(Access::AcceptArmed(Listener(0))) << "no event is left for the closed listener";

    // A descriptor kept open, so that the new listening socket does not get
    // the old one's number back.
    const int spare = dup(first);
    ASSERT_TRUE(listen(service));
    const int second = RawConnect(std::stoi(service));
    EXPECT_GE(second, 0);
    EXPECT_TRUE(WaitFor([&] { return held.accepts == 2; }));
    ::close(second);
    ::close(spare);
    ::close(first);
}

// Lowers the soft descriptor limit to the lowest free descriptor, so that no
// new one can be had; the destructor restores it.
class DescriptorsExhausted {
public:
    DescriptorsExhausted()
    {
        getrlimit(RLIMIT_NOFILE, &m_saved);
        const int lowest_free = dup(STDIN_FILENO);
        ::close(lowest_free);
        rlimit lowered = m_saved;
        lowered.rlim_cur = static_cast<rlim_t>(lowest_free);
        setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~DescriptorsExhausted() { setrlimit(RLIMIT_NOFILE, &m_saved); }
    DescriptorsExhausted(const DescriptorsExhausted&) = delete;
    DescriptorsExhausted& operator=(const DescriptorsExhausted&) = delete;

private:
    rlimit m_saved{};
};

// A queued connection waits while no descriptor or no session is free for
// it: its listener stays readable, so the loop must wait rather than retry
// on every pass, and accept it once one is back. A connect meanwhile fails at
// once for want of a descriptor.
TEST_F(ListenTest, QueuedClientWaitsForADescriptorAndASession)
{
    const int port = Start(2, 1);
    // One client is accepted while descriptors are plenty: UBSan opens a pipe
    // to check a type the first time it meets it, which it could not do later.
    const int first = RawConnect(port);
    CVeskNetworkSession* session = journal.WaitAccepted(1);
    ASSERT_NE(session, nullptr);
    const int second = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(second, 0);
    const sockaddr_in address = Loopback(port);
    double busy = 0;
    {
        DescriptorsExhausted exhausted;
        ASSERT_EQ(::connect(second, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(manager->Connect("127.0.0.1", std::to_string(port).c_str(), &SessionJournal::Record, &journal),
                  nullptr);
        const double before = vesk_perf::ProcessCpuSeconds();
        std::this_thread::sleep_for(1s);
        busy = vesk_perf::ProcessCpuSeconds() - before;
        EXPECT_EQ(journal.Count(NETWORK_EVENT_ACCEPT), 1u);
    }
    EXPECT_LT(busy, 0.3) << "CPU seconds spent in one second while no descriptor was left";
    EXPECT_NE(journal.WaitAccepted(2), nullptr) << "accepted once descriptors are back";

    const int third = RawConnect(port);
    ASSERT_GE(third, 0) << "the kernel queues the connection";
    ASSERT_TRUE(WaitFor([&] { return Access::AcceptPaused(Listener(0)); }));
    EXPECT_EQ(journal.Count(NETWORK_EVENT_ACCEPT), 2u);
    EXPECT_EQ(manager->Close(session), 1);
    pollfd waiting{first, POLLIN, 0};
    char byte;
    EXPECT_TRUE(poll(&waiting, 1, 5000) == 1 && ::recv(first, &byte, 1, MSG_DONTWAIT) == 0)
        << "the client sees the end";
    EXPECT_NE(journal.WaitAccepted(3), nullptr) << "accepted once a session is free";
    for (int fd : {first, second, third})
        ::close(fd);
}

// Connections that arrive all at once find room in the kernel's queue, so
// none waits a second for its SYN to be sent again, and the server takes
// them all promptly.
TEST_F(AcceptBurst, ConnectionsArrivingAtOnceAreAllTakenPromptly)
{
    constexpr size_t kClients = 200;
    server->ReleaseSessions();
    ASSERT_EQ(server->CreateSessions(256), 1);
    ASSERT_EQ(server->add_ExtensionCallFunction(Entry(kSessionEvent, kEventSize, OnEvent<kServer, 1>)), 1);
    ASSERT_NO_FATAL_FAILURE(Start(VeskMessageSystem::VESKMESSYS_CRYPTO_ALGORITHM_NONE));

    const auto start = Clock::now();
    std::vector<pollfd> clients;
    const sockaddr_in address = Loopback(std::stoi(port));
    for (size_t i = 0; i < kClients; ++i) {
        clients.push_back({::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0), POLLOUT, 0});
        ::connect(clients.back().fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    size_t connected = 0;
    for (pollfd& waiting : clients)
        connected += poll(&waiting, 1, 5000) == 1 ? 1 : 0;
    EXPECT_EQ(connected, kClients);
    EXPECT_LT(Clock::now() - start, 1s) << "no SYN was dropped for a full queue";
    const auto accepts = [] { return g_journal.Where([](const Call& c) { return c.ev == NETWORK_EVENT_ACCEPT; }); };
    EXPECT_TRUE(WaitFor([&] { return accepts().size() == kClients; })) << accepts().size() << " accepted";
    for (const pollfd& waiting : clients)
        ::close(waiting.fd);
}

// Each manager has its own threads, the second one's loop started before it
// had anything to watch, and a second start of either starts nothing. An
// accept is reported by the loop thread; everything after it, the close
// included, by the parse thread. One manager connects to the other. Once
// idle, the parse thread sleeps; destroying a manager while its peers write
// is quick and closes every descriptor it opened.
TEST(EventLoopTest, TwoManagersServeTheirOwnConnectionsAndOneGoesWhilePeersWrite)
{
    Listening b;
    b.Serve(true);
    const int descriptors = OpenDescriptors();
    Listening a;
    a.Serve(false);
    const std::thread::id loop = Access::LoopThread(*a.manager);
    const std::thread::id parse = Access::ParseThread(*a.manager);
    ASSERT_NE(loop, Access::LoopThread(*b.manager));
    EXPECT_EQ(a.manager->DispatchLibEvent(), 1) << "a second start is no failure";
    EXPECT_EQ(a.manager->CreateParseRecvSocketBufferThread(), 1);
    EXPECT_EQ(Access::LoopThread(*a.manager), loop) << "and starts no second loop";
    EXPECT_EQ(Access::ParseThread(*a.manager), parse) << "nor a second parse thread";
    CVeskNetworkSession* outgoing =
        b.manager->Connect("127.0.0.1", std::to_string(a.port).c_str(), &SessionJournal::Record, &b.journal);
    ASSERT_NE(outgoing, nullptr);
    ASSERT_NE(a.journal.WaitAccepted(1), nullptr);
    for (Listening* server : {&a, &b}) {
        const int client = ConnectTo(server->port);
        CVeskNetworkSession* accepted = server->journal.WaitAccepted(server == &a ? 2 : 1);
        ASSERT_NE(accepted, nullptr);
        EXPECT_EQ(server->journal.First(accepted, NETWORK_EVENT_ACCEPT)->thread, Access::LoopThread(*server->manager));
        ::close(client);
        ASSERT_TRUE(server->journal.Closed(accepted));
        EXPECT_EQ(server->journal.First(accepted, NETWORK_EVENT_CLOSE)->thread, Access::ParseThread(*server->manager));
        EXPECT_TRUE(WaitFor([&] { return accepted->IsFree(); }));
        EXPECT_EQ(server->journal.Count(NETWORK_EVENT_CLOSE), 1u) << "a released session reports nothing more";
    }
    EXPECT_EQ(a.journal.Count(NETWORK_EVENT_ACCEPT), 2u);
    EXPECT_EQ(b.journal.Count(NETWORK_EVENT_ACCEPT), 1u);
    EXPECT_EQ(b.journal.Count(NETWORK_EVENT_CONNECT), 1u);
    EXPECT_EQ(b.manager->Close(outgoing), 1);
    EXPECT_TRUE(WaitFor([&] {
        const unsigned long before = Access::ParsePasses(*a.manager);
        std::this_thread::sleep_for(50ms);
        return Access::ParsePasses(*a.manager) == before;
    })) << "the parse thread sleeps once its passes find nothing to do";

    std::mutex mutex;
    std::set<CVeskNetworkSession*> read;
    a.journal.OnPayload([&](CVeskNetworkSession* session, const Bytes&) {
        std::lock_guard<std::mutex> lock(mutex);
        read.insert(session);
    });
    constexpr size_t kClients = 4;
    std::vector<int> clients;
    std::vector<std::thread> writers;
    for (size_t i = 0; i < kClients; ++i) {
        clients.push_back(ConnectTo(a.port));
        // Records until the manager is gone.
        writers.emplace_back([fd = clients.back()] {
            const Bytes record = Record(0, Bytes(4000, 'w'));
            while (::send(fd, record.data(), record.size(), MSG_NOSIGNAL) > 0) {
            }
        });
    }
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return read.size() == kClients;
    })) << "every session is being read";
    const auto start = Clock::now();
    a.manager.reset();
    EXPECT_LT(Clock::now() - start, 1s);
    for (std::thread& writer : writers)
        writer.join();
    for (int client : clients)
        ::close(client);
    EXPECT_EQ(OpenDescriptors(), descriptors);
}

}  // namespace
