// The manager's event loop and parse threads, with real sockets on the
// loopback interface: which thread reports what, idling, waking up, several
// managers in one process and shutting down under load.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VeskNetworkSystem.h"
#include "test_support.h"

using namespace VeskNetworkSystem;

struct VeskNetworkTestAccess {
    static CVeskPool<CVeskNetworkSession>& Sessions(CVeskNetworkSessionManager& m) { return m.m_SessionArray; }
    static unsigned long ParsePasses(CVeskNetworkSessionManager& m) { return m.m_ParsePasses.load(); }
    static std::thread::id LoopThread(CVeskNetworkSessionManager& m) { return m.m_hLibEventThread.get_id(); }
    static std::thread::id ParseThread(CVeskNetworkSessionManager& m)
    {
        return m.m_ParseRecvSocketBufferThreadHandle.get_id();
    }
    static size_t SocketBytes(CVeskNetworkSession& s) { return s.m_recv_socket_buffer.Held(); }
    // Lets every sleep of the parse thread end, as the manager's shutdown does.
    static void EndSleeps(CVeskNetworkSessionManager& m)
    {
        m.m_bStopping = true;
        m.ResumeParseRecvSocketBufferThread();
    }
    // The port the listener at `index` is bound to.
    static std::string ListenPort(CVeskNetworkSessionManager& m, int index)
    {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const SOCKET s = m.m_SessionListenArray[index].GetSocket();
        if (s < 0 || getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return "";
        return std::to_string(ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port));
    }
};

namespace {

using namespace vesk_test;

using Access = VeskNetworkTestAccess;
using namespace std::chrono_literals;

// A blocking client socket connected to 127.0.0.1:port, or -1.
int RawConnect(const std::string& port)
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s >= 0 && ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return s;
    if (s >= 0)
        ::close(s);
    return -1;
}

int OpenDescriptors()
{
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr)
            ++count;
        closedir(dir);
    }
    return count;
}

struct Event {
    CVeskNetworkSession* session;
    short ev;
    void* param;
    std::thread::id thread;
};

// Every event of the sessions it was given to, with the thread that raised
// it. A session whose peer closed is released, as the message layer does.
class EventLog {
public:
    static int Record(CVeskNetworkSession* session, short ev, void* param)
    {
        auto* log = static_cast<EventLog*>(param);
        {
            std::lock_guard<std::mutex> lock(log->m_mutex);
            log->m_events.push_back(Event{session, ev, param, std::this_thread::get_id()});
        }
        if (ev == NETWORK_EVENT_CLOSE)
            session->SetUsed(false);
        return 1;
    }

    // The first event with code ev; false when none came in time.
    bool Wait(short ev, Event* out)
    {
        return WaitFor([&] {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto found = std::find_if(m_events.begin(), m_events.end(), [ev](const Event& e) { return e.ev == ev; });
            return found != m_events.end() && (*out = *found, true);
        });
    }

    size_t Count(short ev)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<size_t>(
            std::count_if(m_events.begin(), m_events.end(), [ev](const Event& e) { return e.ev == ev; }));
    }

private:
    std::mutex m_mutex;
    std::vector<Event> m_events;
};

// A manager listening on a fresh IPv4 port with its event loop running.
struct Server {
    explicit Server(ty_cbfunc_Event callback, void* param, int sessions = 4)
    {
        EXPECT_EQ(manager->CreateSessions(sessions), 1);
        EXPECT_EQ(manager->CreateListenSessions(2), 1);
        EXPECT_EQ(manager->Listen("0", AF_INET, 5, callback, param, CRYPTO_ALGORITHM_NONE), 1);
        port = Access::ListenPort(*manager, 0);
        EXPECT_FALSE(port.empty());
        EXPECT_EQ(manager->CreateParseRecvSocketBufferThread(), 1);
        EXPECT_EQ(manager->DispatchLibEvent(), 1);
    }
    std::unique_ptr<CVeskNetworkSessionManager> manager = std::make_unique<CVeskNetworkSessionManager>();
    std::string port;
};

// The accept is reported by the loop thread; everything after it, the close
// included, by the parse thread, after the records the peer sent before it.
TEST(EventLoopTest, AcceptOnTheLoopThreadAndCloseOnTheParseThread)
{
    EventLog log;
    Server server(EventLog::Record, &log);
    CVeskNetworkSessionManager& manager = *server.manager;
    const std::thread::id loop = Access::LoopThread(manager);
    ASSERT_NE(loop, std::thread::id());
    ASSERT_NE(loop, std::this_thread::get_id());

    EXPECT_EQ(manager.DispatchLibEvent(), 1) << "a second start is no failure";
    EXPECT_EQ(Access::LoopThread(manager), loop) << "and starts no second loop";

    const int client = RawConnect(server.port);
    ASSERT_GE(client, 0);
    Event accepted{};
    ASSERT_TRUE(log.Wait(NETWORK_EVENT_ACCEPT, &accepted));
    EXPECT_EQ(accepted.thread, loop);
    EXPECT_EQ(accepted.param, &log);
    EXPECT_EQ(accepted.session, &Access::Sessions(manager)[0]);

    ::close(client);
    Event closed{};
    ASSERT_TRUE(log.Wait(NETWORK_EVENT_CLOSE, &closed));
    EXPECT_EQ(closed.thread, Access::ParseThread(manager));
    EXPECT_EQ(closed.session, accepted.session);
    EXPECT_TRUE(WaitFor([&] { return accepted.session->IsFree(); }));
    EXPECT_EQ(log.Count(NETWORK_EVENT_CLOSE), 1u) << "a released session reports nothing more";
}

TEST(EventLoopTest, LoopStartedWithNothingToWatchKeepsRunning)
{
    EventLog log;
    CVeskNetworkSessionManager manager;
    ASSERT_EQ(manager.CreateSessions(2), 1);
    ASSERT_EQ(manager.CreateListenSessions(1), 1);
    ASSERT_EQ(manager.DispatchLibEvent(), 1);
    // Idle on purpose: a loop that ends for want of events would be gone now.
    std::this_thread::sleep_for(100ms);

    ASSERT_EQ(manager.Listen("0", AF_INET, 5, EventLog::Record, &log, CRYPTO_ALGORITHM_NONE), 1);
    const int client = RawConnect(Access::ListenPort(manager, 0));
    ASSERT_GE(client, 0);
    Event accepted{};
    EXPECT_TRUE(log.Wait(NETWORK_EVENT_ACCEPT, &accepted));
    EXPECT_EQ(accepted.thread, Access::LoopThread(manager));
    ::close(client);
}

TEST(ParseThreadTest, SleepsWhileIdleAndWakesWhenBytesArrive)
{
    EventLog log;
    Server server(EventLog::Record, &log);
    CVeskNetworkSessionManager& manager = *server.manager;
    ASSERT_EQ(manager.CreateParseRecvSocketBufferThread(), 1);
    const std::thread::id parse = Access::ParseThread(manager);
    EXPECT_EQ(manager.CreateParseRecvSocketBufferThread(), 1);
    EXPECT_EQ(Access::ParseThread(manager), parse) << "a second start starts no second thread";

    const int client = RawConnect(server.port);
    ASSERT_GE(client, 0);
    Event accepted{};
    ASSERT_TRUE(log.Wait(NETWORK_EVENT_ACCEPT, &accepted));
    ASSERT_TRUE(WaitFor([&] { return Access::ParsePasses(manager) > 0; }));

    // Idle: no pass for a while.
    const unsigned long idle = Access::ParsePasses(manager);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(Access::ParsePasses(manager), idle);

    ASSERT_EQ(::send(client, "0123456789", 10, MSG_NOSIGNAL), 10);
    EXPECT_TRUE(WaitFor([&] { return Access::SocketBytes(*accepted.session) == 10; }));
    EXPECT_TRUE(WaitFor([&] { return Access::ParsePasses(manager) > idle; }));

    // Asleep again once the passes find nothing more to do.
    unsigned long before = 0;
    EXPECT_TRUE(WaitFor([&] {
        before = Access::ParsePasses(manager);
        std::this_thread::sleep_for(50ms);
        return Access::ParsePasses(manager) == before;
    }));
    ::close(client);
}

TEST(ParseThreadTest, WakeUpThatCameWhileAwakeIsKept)
{
    CVeskNetworkSessionManager manager;
    std::atomic<int> returned{0};
    manager.ResumeParseRecvSocketBufferThread();
    std::thread sleeper([&] {
        manager.SuspendParseRecvSocketBufferThread();
        ++returned;
        manager.SuspendParseRecvSocketBufferThread();
        ++returned;
    });
    EXPECT_TRUE(WaitFor([&] { return returned == 1; })) << "the earlier wake-up was lost";

    // The kept wake-up was used up: the next sleep lasts until a new one.
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(returned, 1);
    manager.ResumeParseRecvSocketBufferThread();
    EXPECT_TRUE(WaitFor([&] { return returned == 2; }));
    Access::EndSleeps(manager);
    sleeper.join();
}

TEST(EventLoopTest, TwoManagersServeTheirOwnListenersAndConnections)
{
    EventLog log_a;
    EventLog log_b;
    Server a(EventLog::Record, &log_a);
    Server b(EventLog::Record, &log_b);
    ASSERT_NE(Access::LoopThread(*a.manager), Access::LoopThread(*b.manager));

    const int client = RawConnect(a.port);
    ASSERT_GE(client, 0);
    Event accepted{};
    ASSERT_TRUE(log_a.Wait(NETWORK_EVENT_ACCEPT, &accepted));
    EXPECT_EQ(accepted.session, &Access::Sessions(*a.manager)[0]);
    EXPECT_EQ(accepted.thread, Access::LoopThread(*a.manager));

    // b connects to a: b reports the connect, a the second accept.
    CVeskNetworkSession* outgoing = b.manager->Connect("127.0.0.1", a.port.c_str(), EventLog::Record, &log_b);
    ASSERT_NE(outgoing, nullptr);
    EXPECT_EQ(outgoing, &Access::Sessions(*b.manager)[0]);
    EXPECT_EQ(log_b.Count(NETWORK_EVENT_CONNECT), 1u);
    EXPECT_TRUE(WaitFor([&] { return log_a.Count(NETWORK_EVENT_ACCEPT) == 2; }));
    EXPECT_TRUE(Access::Sessions(*a.manager)[1].IsUsed());

    const int client_b = RawConnect(b.port);
    ASSERT_GE(client_b, 0);
    ASSERT_TRUE(log_b.Wait(NETWORK_EVENT_ACCEPT, &accepted));
    EXPECT_EQ(accepted.session, &Access::Sessions(*b.manager)[1]);
    EXPECT_EQ(accepted.thread, Access::LoopThread(*b.manager));
    EXPECT_EQ(log_a.Count(NETWORK_EVENT_ACCEPT), 2u);
    EXPECT_EQ(log_b.Count(NETWORK_EVENT_ACCEPT), 1u);

    EXPECT_EQ(b.manager->Close(outgoing), 1);
    ::close(client);
    ::close(client_b);
}

int CountAccepts(CVeskNetworkSession*, short ev, void* param)
{
    if (ev == NETWORK_EVENT_ACCEPT)
        ++*static_cast<std::atomic<int>*>(param);
    return 1;
}

TEST(EventLoopTest, DestroyingWhilePeersWriteIsQuickAndClosesEverything)
{
    {
        // First use of the resolver and the key generator, which may keep
        // descriptors of their own for the rest of the process.
        std::atomic<int> warm{0};
        Server warm_up(CountAccepts, &warm);
    }
    const int descriptors = OpenDescriptors();
    std::atomic<int> accepts{0};
    auto server = std::make_unique<Server>(CountAccepts, &accepts);
    ASSERT_EQ(server->manager->CreateParseRecvSocketBufferThread(), 1);

    constexpr int kClients = 4;
    std::vector<int> clients;
    std::vector<std::thread> writers;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(RawConnect(server->port));
        ASSERT_GE(clients.back(), 0);
        writers.emplace_back(WriteUntilClosed, clients.back());
    }
    ASSERT_TRUE(WaitFor([&] { return accepts == kClients; }));
    CVeskPool<CVeskNetworkSession>& sessions = Access::Sessions(*server->manager);
    ASSERT_TRUE(WaitFor([&] {
        for (int i = 0; i < kClients; ++i)
            if (Access::SocketBytes(sessions[i]) == 0)
                return false;
        return true;
    })) << "every session is being read";

    const auto start = std::chrono::steady_clock::now();
    server.reset();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, 1s);

    for (std::thread& writer : writers)
        writer.join();
    for (int client : clients)
        ::close(client);
    EXPECT_EQ(OpenDescriptors(), descriptors);
}

}  // namespace
