// The manager's event loop and parse threads, with real sockets on the
// loopback interface: which thread reports what, idling, several managers in
// one process and shutting down under load.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "VeskNetworkSystem.h"
#include "raw_peer.h"
#include "session_fixture.h"
#include "test_support.h"

using namespace VeskNetworkSystem;

struct VeskNetworkTestAccess {
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

int OpenDescriptors()
{
    const std::filesystem::directory_iterator descriptors("/proc/self/fd");
    return static_cast<int>(std::distance(begin(descriptors), end(descriptors)));
}

// A manager listening on a port the kernel chose, its threads running, its
// sessions reporting into the journal and released at their close. With
// `idle_loop_first` its loop runs with nothing to watch for a while before the
// listen: a loop that ended for want of events would be gone by then.
struct Server {
    explicit Server(bool idle_loop_first = false)
    {
        journal.release_on_close = true;
        EXPECT_EQ(manager->CreateSessions(4), 1);
        EXPECT_EQ(manager->CreateListenSessions(2), 1);
        EXPECT_EQ(manager->CreateParseRecvSocketBufferThread(), 1);
        if (idle_loop_first) {
            EXPECT_EQ(manager->DispatchLibEvent(), 1);
            std::this_thread::sleep_for(100ms);
        }
        port = std::stoi(ListenOnFreePort([this](const std::string& service) {
            return manager->Listen(service.c_str(), AF_INET, 5, &SessionJournal::Record, &journal,
                                   CRYPTO_ALGORITHM_NONE) == 1;
        }));
        EXPECT_EQ(manager->DispatchLibEvent(), 1);
    }
    SessionJournal journal;
    std::unique_ptr<CVeskNetworkSessionManager> manager = std::make_unique<CVeskNetworkSessionManager>();
    int port = 0;
};

// Each manager has its own threads, the second one's loop started before it
// had anything to watch, and a second start of either starts nothing. An
// accept is reported by the loop thread; everything after it, the close
// included, by the parse thread. One manager connects to the other. Once
// idle, the parse thread sleeps; destroying a manager while its peers write
// is quick and closes every descriptor it opened.
TEST(EventLoopTest, TwoManagersServeTheirOwnConnectionsAndOneGoesWhilePeersWrite)
{
    Server b(true);
    const int descriptors = OpenDescriptors();
    Server a;
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
    for (Server* server : {&a, &b}) {
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
    const auto start = std::chrono::steady_clock::now();
    a.manager.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    for (std::thread& writer : writers)
        writer.join();
    for (int client : clients)
        ::close(client);
    EXPECT_EQ(OpenDescriptors(), descriptors);
}

}  // namespace
