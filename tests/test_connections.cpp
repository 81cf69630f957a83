// Connections, with real sockets on the loopback interface: the session
// manager's event loop, listening on services and accepting their
// connections, connect and close, which thread reports what, idling and
// shutting down under load; name lookups; the message system's listen,
// connect with credentials, connect deadline, and deletion while it connects
// or runs a handler.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

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
using VeskMessageSystem::tagVeskMessageSystemLimits;
using VeskMessageSystem::VESKMESSYS_CRYPTO_ALGORITHM_3DES;

struct VeskNetworkTestAccess {
    // The moment no public operation shows: a connect has claimed its slot.
    static bool FirstSlotTaken(VeskMessageSystem::CVeskMessageSystem& system)
    {
        return !system.m_nsm->m_SessionArray[0].IsFree();
    }
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

// A name that cannot resolve and whose lookup never leaves the machine: its
// first label is longer than a name's label may be.
const std::string kUnresolvable = std::string(64, 'a') + ".invalid";

// A listener whose queue is full: backlog 0 and one connection waiting in it.
// The kernel drops every further SYN, so a connect to it gets no answer until
// the queue has room and the SYN is sent again (after 1 s, then 3 s, ...);
// without that, a blocking connect waits about two minutes.
struct FullListener {
    FullListener()
    {
        EXPECT_EQ(::listen(fd, 0), 0);
        queued = ConnectTo(port_number);
        pollfd waiting{fd, POLLIN, 0};
        EXPECT_EQ(poll(&waiting, 1, 5000), 1) << "the queued connection is complete";
    }
    ~FullListener()
    {
        ::close(queued);
        ::close(fd);
    }
    // Takes the waiting connection: the queue has room again.
    void MakeRoom() const { ::close(AcceptWithin(fd, 5000)); }

    int port_number = 0;
    int fd = ListenOnLoopback(&port_number);
    std::string port = std::to_string(port_number);
    int queued = -1;
};

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

class ListenTest : public ::testing::Test, protected ManagedSessions {
protected:
    CVeskNetworkSessionListen& Listener(int index) { return Access::Listener(*manager, index); }
    // The 140 bytes of a listener's public key storage.
    Bytes PublicKey(int index)
    {
        const unsigned char* storage = Access::PublicKeyStorage(Listener(index));
        return Bytes(storage, storage + 140);
    }
};
using ConnectTest = ListenTest;
using AcceptBurst = MessageSystems;

// How many entries a directory of /proc/self has: the process's threads or
// its open descriptors.
int Entries(const char* directory)
{
    const std::filesystem::path path = std::string("/proc/self/") + directory;
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(path), {}));
}

// Runs its action once, inside a handler of its system: on the session event
// it waits for, or on any message (event 0).
struct InsideAHandler {
    static int OnCall(CVeskMessageSession*, const char*, const char*, const void* data, size_t)
    {
        if (event == 0 || static_cast<const tagMessageDataSesssionEvent*>(data)->m_ev == event)
            if (void (*act)() = action.exchange(nullptr)) {
                act();
                done = true;
            }
        return 0;
    }
    static inline std::atomic<void (*)()> action{nullptr};
    static inline std::atomic<short> event{0};
    static inline std::atomic<CVeskMessageSystem*> system{nullptr};
    static inline std::atomic<bool> done{false};
    // The system's own port, which a login from the handler connects to, and
    // the handle it got.
    static inline std::string port;
    static inline std::atomic<CVeskMessageSession*> login{nullptr};
};

using ConnectingSystems = MessageSystems;

// Failed connects report nothing and give their slot back: more of them than
// the pool has sessions leave room for the next. A connect reports on the
// calling thread before it returns: a secure one has sent its ClientHello by
// then and nothing more, a plain one sends nothing. Close frees the session
// and the peer sees the end; a second Close closes nothing that may have got
// the number meanwhile. A signal handler installed without SA_RESTART makes
// blocking calls fail with EINTR: the connect waits for the SYN sent again
// while the signals come.
TEST_F(ConnectTest, ConnectReportsOnTheCallingThreadAndGoesOnThroughSignals)
{
    Serve(4, 2);
    int raw_port = 0;
    const int raw_listener = ListenOnLoopback(&raw_port);
    const std::string raw_service = std::to_string(raw_port);
    // At the connect event: the raw server's end, and what it held then.
    int peer = -1;
    ssize_t held = -1;
    journal.OnEvent([&](const SessionJournal::Event& event) {
        if (event.ev == NETWORK_EVENT_CONNECT) {
            peer = AcceptWithin(raw_listener, 5000);
            pollfd waiting{peer, POLLIN, 0};
            unsigned char bytes[64];
            if (poll(&waiting, 1, 100) == 1)
                held = ::recv(peer, bytes, sizeof bytes, MSG_PEEK | MSG_DONTWAIT);
        }
        return false;
    });
    const auto connect = [&](bool secure, const std::string& host, const std::string& service) {
        return manager->Connect(secure, host.c_str(), service.c_str(), &SessionJournal::Record, &journal);
    };
    EXPECT_EQ(manager->Close(nullptr), 0);
    for (int failed = 0; failed < 5; ++failed)
        EXPECT_EQ(connect(false, "127.0.0.1", std::to_string(FreePort())), nullptr);
    EXPECT_EQ(connect(true, kUnresolvable, raw_service), nullptr);
    EXPECT_EQ(journal.Count(NETWORK_EVENT_CONNECT), 0u);
    for (const bool secure : {false, true}) {
        SCOPED_TRACE(secure ? "secure" : "plain");
        const Bytes first = secure ? ClientHello({0, 1, 2}) : Bytes();
        held = -1;
        const size_t mark = journal.Mark();
        CVeskNetworkSession* session = connect(secure, "127.0.0.1", raw_service);
        ASSERT_NE(session, nullptr);
        EXPECT_EQ(journal.Count(NETWORK_EVENT_CONNECT), secure ? 2u : 1u);
        const auto connected = journal.First(session, NETWORK_EVENT_CONNECT, mark);
        ASSERT_TRUE(connected.has_value());
        EXPECT_EQ(connected->thread, std::this_thread::get_id());
        ASSERT_GE(peer, 0);
        EXPECT_EQ(held, secure ? static_cast<ssize_t>(first.size()) : -1) << "held when the callback ran";
        EXPECT_EQ(ReadBytes(peer, first.size()), first);
        EXPECT_TRUE(NothingToRead(peer, 100)) << "nothing follows";

        EXPECT_EQ(manager->Close(session), 1);
        EXPECT_TRUE(WaitFor([&] { return session->IsFree(); }));
        char byte;
        EXPECT_TRUE(ReadBytes(peer, 1, 5s).empty() && ::recv(peer, &byte, 1, MSG_DONTWAIT) == 0)
            << "the peer sees the end";
        const int reused = dup(peer);
        EXPECT_EQ(manager->Close(session), 1);
        EXPECT_NE(fcntl(reused, F_GETFD), -1);
        ::close(reused);
        ::close(peer);
    }
    journal.OnEvent(nullptr);
    ::close(raw_listener);

    const FullListener full;
    struct sigaction interrupting {};
    interrupting.sa_handler = [](int) {};
    sigemptyset(&interrupting.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &interrupting, &previous), 0);

    std::atomic<bool> returned{false};
    CVeskNetworkSession* session = nullptr;
    std::thread connecting([&] {
        session = manager->Connect("127.0.0.1", full.port.c_str(), &SessionJournal::Record, &journal);
        returned = true;
    });
    const auto room_at = std::chrono::steady_clock::now() + 200ms;
    bool room = false;
    while (!returned) {
        pthread_kill(connecting.native_handle(), SIGUSR1);
        if (!room && std::chrono::steady_clock::now() >= room_at) {
            full.MakeRoom();
            room = true;
        }
        std::this_thread::sleep_for(1ms);
    }
    connecting.join();
    sigaction(SIGUSR1, &previous, nullptr);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(manager->Close(session), 1);
}

// A dotted address is taken as it is, a name is looked up, and a failure
// writes nothing.
TEST(NsLookupTest, LookupsAnswerAndAFailureWritesNothing)
{
    in_addr address{};
    EXPECT_EQ(nslookup("127.0.0.1", &address), 1);
    EXPECT_EQ(address.s_addr, htonl(INADDR_LOOPBACK));
    address.s_addr = 0x01020304;
    EXPECT_EQ(nslookup(kUnresolvable.c_str(), &address), 0);
    EXPECT_EQ(address.s_addr, 0x01020304u);
    EXPECT_EQ(nslookup("localhost", &address), 1);
    EXPECT_EQ(address.s_addr, htonl(INADDR_LOOPBACK));
}

// connect gives up after the connect deadline: on a TCP connect the peer's
// full accept queue leaves unanswered, and with credentials on a server that
// never answers the login, whose session is closed once the deadline has
// passed. Without a deadline, deleting the system ends such a connect. A
// listener of an unknown algorithm value has no cipher, as a raw client sees
// in the ServerHello (the known values are the stress run's listeners).
TEST_F(ConnectingSystems, ConnectGivesUpAfterItsDeadlineOrWhenTheSystemGoes)
{
    constexpr auto kDeadline = 300ms;
    tagVeskMessageSystemLimits limits = client->get_limits();
    limits.m_connect_deadline_ms = static_cast<uint32_t>(kDeadline.count());
    ASSERT_EQ(client->set_limits(limits), 1);
    ASSERT_NO_FATAL_FAILURE(Start(static_cast<eVeskMessageSystemCryptoAlgorithm>(3)));
    RawClientPeer peer(ConnectTo(std::stoi(port)));
    WriteAll(peer.fd, ClientHello({0, 1, 2}));
    ASSERT_TRUE(peer.ReadFlightTwo());
    EXPECT_EQ(peer.algorithm, CRYPTO_ALGORITHM_NONE);
    ::close(peer.fd);

    const FullListener full;
    // A bare session manager finishes the handshake and has no message layer
    // to answer a login.
    ManagedSessions unanswering;
    unanswering.listener_cipher = CRYPTO_ALGORITHM_3DES;
    unanswering.Serve(2, 1);
    const struct {
        const char* server;
        std::string port;
        bool credentials;  // and so a handle, whose session the deadline closes
    } rows[] = {{"accept queue full", full.port, false},
                {"never answers the login", std::to_string(unanswering.port), true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.server);
        const auto start = Clock::now();
        CVeskMessageSession* handle =
            Keep(row.credentials ? client->connect("127.0.0.1", row.port.c_str(), "alice", 5, "wonderland", 10)
                                 : client->connect("127.0.0.1", row.port.c_str()));
        ASSERT_EQ(handle != nullptr, row.credentials);
        if (handle != nullptr) {
            EXPECT_TRUE(WaitFor([&] { return !handle->is_session_used(); })) << "closed by the deadline";
        }
        const auto waited = Clock::now() - start;
        EXPECT_GE(waited, kDeadline - 50ms);
        EXPECT_LT(waited, 5s);
    }

    // The server has no deadline of its own: its connect to the full queue
    // waits until deleting the system ends it at once.
    std::atomic<bool> returned{false};
    CVeskMessageSession* handle = nullptr;
    std::thread connecting([&, system = server.get()] {
        handle = system->connect("127.0.0.1", full.port.c_str());
        returned = true;
    });
    ASSERT_TRUE(WaitFor([&] { return Access::FirstSlotTaken(*server); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(returned) << "the peer does not answer";
    const auto start = Clock::now();
    server.reset();
    EXPECT_LT(Clock::now() - start, 2s);
    connecting.join();
    EXPECT_EQ(handle, nullptr);
}

// Inside one of a system's handlers, on each thread a handler runs on, the
// server connects to it and the handler acts. Connecting with credentials
// (the system logging in to itself): the login request leaves once the new
// session's handshake has finished, and the user is taken in. Deleting the
// system: the process goes on, and the system's last thread ends once it has
// finished the teardown (the sanitizer build sees any leak or late use); for
// the connect event, the system connects to the server instead and its
// connect returns null.
TEST_F(ConnectingSystems, ActingInsideAHandlerLogsInOrDeletesTheSystem)
{
    const tagExtensionCallFunction on_event = Entry(kSessionEvent, kEventSize, InsideAHandler::OnCall);
    void (*const log_in)() = [] {
        InsideAHandler::login = InsideAHandler::system.load()->connect("127.0.0.1", InsideAHandler::port.c_str(),
                                                                       "alice", 5, "wonderland", 10);
    };
    void (*const remove)() = [] { delete InsideAHandler::system.load(); };
    const struct {
        const char* name;
        tagExtensionCallFunction handler;
        short event;
        void (*act)();
    } cases[] = {
        {"log in at the accept event, event loop thread", on_event, NETWORK_EVENT_ACCEPT, log_in},
        {"log in at handshake finished, parse thread", on_event, NETWORK_EVENT_HANDSHAKE_FINISH, log_in},
        {"delete at the accept event, event loop thread", on_event, NETWORK_EVENT_ACCEPT, remove},
        {"delete at handshake finished, parse thread", on_event, NETWORK_EVENT_HANDSHAKE_FINISH, remove},
        {"delete at a message, parse thread", Entry(7, 16, InsideAHandler::OnCall), 0, remove},
        {"delete at the connect event, application thread", on_event, NETWORK_EVENT_CONNECT, remove},
    };
    ASSERT_NO_FATAL_FAILURE(Start(VESKMESSYS_CRYPTO_ALGORITHM_3DES));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int threads_before = Entries("task");
        // A system with the users and the handler, listening on a port the
        // kernel chose.
        CVeskMessageSystem* system = VeskMessageSystemCreate();
        ASSERT_EQ(system->CreateSessions(4), 1);
        ASSERT_EQ(system->CreateListenSessions(1), 1);
        ASSERT_EQ(system->load_auth_user_list(user_list.Name()), 1);
        ASSERT_EQ(system->add_ExtensionCallFunction(c.handler), 1);
        ASSERT_EQ(system->InitSocketEvent(), 1);
        InsideAHandler::port = ListenOnFreePort([&](const std::string& service) {
            return system->listen(service.c_str(), AF_INET, VESKMESSYS_CRYPTO_ALGORITHM_3DES) == 1;
        });
        ASSERT_EQ(system->DispatchSocketEvent(), 1);
        InsideAHandler::event = c.event;
        InsideAHandler::system = system;
        InsideAHandler::done = false;
        InsideAHandler::action = c.act;
        if (c.event == NETWORK_EVENT_CONNECT) {
            EXPECT_EQ(system->connect("127.0.0.1", port.c_str()), nullptr);
        } else {
            // An accept handler may delete the system before the peer's
            // connect has sent its first record.
            std::unique_ptr<CVeskMessageSession> handle(server->connect("127.0.0.1", InsideAHandler::port.c_str()));
            if (c.event == 0) {
                ASSERT_NE(handle, nullptr);
                EXPECT_GT(Send(handle.get(), Tagged(7, 16, 0)), 0);
            }
            ASSERT_TRUE(WaitFor([] { return InsideAHandler::done.load(); }));
            if (handle != nullptr)
                server->close(handle.get());
        }
        EXPECT_TRUE(InsideAHandler::done);
        if (c.act == log_in) {
            std::unique_ptr<CVeskMessageSystem> kept(system);
            std::unique_ptr<CVeskMessageSession> login(InsideAHandler::login.exchange(nullptr));
            ASSERT_NE(login, nullptr);
            EXPECT_TRUE(WaitFor([&] { return kept->reference_user("alice", 5).get_uid_size() > 0; }))
                << "the login reached the server";
            EXPECT_TRUE(login->is_session_used());
            kept->close(login.get());
        }
        EXPECT_TRUE(WaitFor([&] { return Entries("task") == threads_before; })) << "the last thread has ended";
    }
}

// What a listen answers, and how many listeners are open after it.
TEST(ListenTable, ListenSucceedsOnlyWhenThePortIsListenedOnAfterwards)
{
    int held_port = 0;
    const int held = ListenOnLoopback(&held_port);
    const int saved_stdin = dup(STDIN_FILENO);
    const struct {
        const char* what;
        int listeners;  // in the pool
        std::function<std::string(ManagedSessions&)> service;
        int result;
        int open_after;
    } cases[] = {
        {"a port another socket holds (a server that believes it listens would wait forever)", 2,
         [&](ManagedSessions&) { return std::to_string(held_port); }, 0, 0},
        {"the system's own port again: nothing more is opened", 2,
         [](ManagedSessions& test) { return std::to_string(test.ListenOnAFreePort()); }, 1, 1},
        {"a name of 32 zeros, too long for its field", 2, [](ManagedSessions&) { return std::string(32, '0'); }, 0, 0},
        {"a name of 31 zeros, port 0", 2, [](ManagedSessions&) { return std::string(31, '0'); }, 1, 1},
        {"descriptor 0 free: the listening socket may get it", 1,
         [](ManagedSessions&) {
             ::close(STDIN_FILENO);
             return std::string("0");
         },
         1, 1},
        {"an empty listener pool", 0, [](ManagedSessions&) { return std::string("0"); }, 0, 0},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.what);
        ManagedSessions test;
        ASSERT_NO_FATAL_FAILURE(test.Pools(1, row.listeners));
        EXPECT_EQ(test.Listen(row.service(test)), row.result);
        EXPECT_EQ(Access::ListenersInUse(*test.manager), row.open_after);
    }
    dup2(saved_stdin, STDIN_FILENO);
    ::close(saved_stdin);
    ::close(held);
}

// Each listener has keys of its own. Closing one while its accept handler
// still runs zeroes its keys, leaves no event behind and the other listening
// with its own, and its port can be listened on again. Listening for IPv6
// alone gives one dual-stack listener, as the system's own sockets are, which
// IPv4 clients reach too; listening for both families gives each its own
// listener. CloseListen closes every listener of the name.
TEST_F(ListenTest, ListenersHaveTheirOwnKeysCloseDuringAnAcceptAndTakeClientsOfTheirFamilies)
{
    // The first accept's report is held until released, so that the listener
    // can be closed while its accept handler still runs.
    std::atomic<int> accepts{0};
    std::atomic<bool> holding{false}, released{false};
    journal.OnEvent([&](const SessionJournal::Event& event) {
        if (event.ev == NETWORK_EVENT_ACCEPT && accepts++ == 0) {
            holding = true;
            WaitFor([&] { return released.load(); });
        }
        return false;
    });
    Serve(8, 2);
    const std::string service = std::to_string(port);
    const int open_port = ListenOnAFreePort();
    const Bytes second = PublicKey(1);
    EXPECT_NE(PublicKey(0), second);

    const int first = RawConnect(port);
    ASSERT_GE(first, 0);
    ASSERT_TRUE(WaitFor([&] { return holding.load(); }));
    std::thread closer([&] { manager->CloseListen(service.c_str()); });
    // Gives the closer time to reach the handler that is still running.
    std::this_thread::sleep_for(100ms);
    released = true;
    closer.join();
    EXPECT_TRUE(Listener(0).IsFree());
    EXPECT_FALSE(Access::AcceptArmed(Listener(0))) << "no event is left for the closed listener";
    EXPECT_EQ(PublicKey(0), Bytes(140, 0));
    EXPECT_EQ(RawConnect(port), -1);
    EXPECT_EQ(PublicKey(1), second);
    const int open_client = RawConnect(open_port);
    EXPECT_NE(journal.WaitAccepted(2), nullptr);
    manager->CloseListen(std::to_string(open_port).c_str());

    // A descriptor kept open, so that the new listening socket does not get
    // the old one's number back.
    const int spare = dup(first);
    ASSERT_EQ(Listen(service), 1);
    const int again = RawConnect(port);
    EXPECT_GE(again, 0);
    EXPECT_TRUE(WaitFor([&] { return accepts == 3; }));
    journal.OnEvent(nullptr);
    manager->CloseListen(service.c_str());
    for (int fd : {open_client, first, spare, again})
        ::close(fd);

    if (!HasIPv6Loopback())
        GTEST_SKIP() << "no IPv6 loopback";
    const struct {
        int family;
        int listeners;
    } cases[] = {{AF_INET6, 1}, {AF_UNSPEC, 2}};
    size_t accepted = 3;
    for (const auto& listen : cases) {
        SCOPED_TRACE(listen.family);
        // A probed port that another socket takes for one family before the
        // listen is let go.
        const std::string dual = ListenOnFreePort([&](const std::string& candidate) {
            if (Listen(candidate, listen.family) == 1 && Access::ListenersInUse(*manager) == listen.listeners)
                return true;
            manager->CloseListen(candidate.c_str());
            return false;
        });
        ASSERT_FALSE(dual.empty());
        const int dual_port = std::stoi(dual);
        for (int family : {AF_INET, AF_INET6}) {
            SCOPED_TRACE(family);
            const int client = RawConnect(dual_port, family);
            ASSERT_GE(client, 0);
            EXPECT_NE(journal.WaitAccepted(++accepted), nullptr);
            ::close(client);
        }
        manager->CloseListen(dual.c_str());
        EXPECT_EQ(Access::ListenersInUse(*manager), 0);
        EXPECT_EQ(RawConnect(dual_port, AF_INET), -1);
        EXPECT_EQ(RawConnect(dual_port, AF_INET6), -1);
    }
}

// A queued connection waits while no descriptor or no session is free for
// it: its listener stays readable, so the loop must wait rather than retry
// on every pass, and accept it once one is back. A connect meanwhile fails at
// once for want of a descriptor.
TEST_F(ListenTest, QueuedClientWaitsForADescriptorAndASession)
{
    Serve(2, 1);
    // One client is accepted while descriptors are plenty: UBSan opens a pipe
    // to check a type the first time it meets it, which it could not do later.
    const int first = RawConnect(port);
    CVeskNetworkSession* session = journal.WaitAccepted(1);
    ASSERT_NE(session, nullptr);
    const int second = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(second, 0);
    const sockaddr_in address = Loopback(port);
    // The soft descriptor limit lowered to the lowest free descriptor: no new
    // one can be had until it is restored.
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit lowered = saved;
    lowered.rlim_cur = static_cast<rlim_t>(dup(STDIN_FILENO));
    ::close(static_cast<int>(lowered.rlim_cur));
    setrlimit(RLIMIT_NOFILE, &lowered);
    EXPECT_EQ(::connect(second, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(manager->Connect("127.0.0.1", std::to_string(port).c_str(), &SessionJournal::Record, &journal), nullptr);
    const double before = vesk_perf::ProcessCpuSeconds();
    std::this_thread::sleep_for(1s);
    const double busy = vesk_perf::ProcessCpuSeconds() - before;
    EXPECT_EQ(journal.Count(NETWORK_EVENT_ACCEPT), 1u);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_LT(busy, 0.3) << "CPU seconds spent in one second while no descriptor was left";
    EXPECT_NE(journal.WaitAccepted(2), nullptr) << "accepted once descriptors are back";

    const int third = RawConnect(port);
    ASSERT_GE(third, 0) << "the kernel queues the connection";
    ASSERT_TRUE(WaitFor([&] { return Access::AcceptPaused(Listener(0)); }));
    EXPECT_EQ(journal.Count(NETWORK_EVENT_ACCEPT), 2u);
    EXPECT_EQ(manager->Close(session), 1);
    char byte;
    EXPECT_TRUE(ReadBytes(first, 1, 5s).empty() && ::recv(first, &byte, 1, MSG_DONTWAIT) == 0)
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

// A manager whose loop started before it had anything to watch still serves,
// and a second start starts nothing. An accept is reported by the loop thread;
// everything after it, the close included, by the parse thread, and a
// released session reports nothing more. Once idle, the parse thread sleeps;
// destroying the manager while its peers write is quick and closes every
// descriptor it opened.
TEST(EventLoopTest, AManagerIdleFirstServesAndGoesWhilePeersWrite)
{
    const int descriptors = Entries("fd");
    ManagedSessions server;
    server.Serve(4, 2, true);
    const std::thread::id loop = Access::LoopThread(*server.manager);
    const std::thread::id parse = Access::ParseThread(*server.manager);
    EXPECT_EQ(server.manager->DispatchLibEvent(), 1) << "a second start is no failure";
    EXPECT_EQ(server.manager->CreateParseRecvSocketBufferThread(), 1);
    EXPECT_EQ(Access::LoopThread(*server.manager), loop) << "and starts no second loop";
    EXPECT_EQ(Access::ParseThread(*server.manager), parse) << "nor a second parse thread";
    const int client = ConnectTo(server.port);
    CVeskNetworkSession* accepted = server.journal.WaitAccepted(1);
    ASSERT_NE(accepted, nullptr);
    EXPECT_EQ(server.journal.First(accepted, NETWORK_EVENT_ACCEPT)->thread, loop);
    ::close(client);
    ASSERT_TRUE(server.journal.Closed(accepted));
    EXPECT_EQ(server.journal.First(accepted, NETWORK_EVENT_CLOSE)->thread, loop)
        << "the loop thread parses a lone read itself while the parse thread sleeps";
    EXPECT_TRUE(WaitFor([&] { return accepted->IsFree(); }));
    EXPECT_EQ(server.journal.Count(NETWORK_EVENT_ACCEPT | NETWORK_EVENT_CLOSE), 2u) << "one accept, one close";
    EXPECT_TRUE(WaitFor([&] {
        const unsigned long before = Access::ParsePasses(*server.manager);
        std::this_thread::sleep_for(50ms);
        return Access::ParsePasses(*server.manager) == before;
    })) << "the parse thread sleeps once its passes find nothing to do";

    std::mutex mutex;
    std::set<CVeskNetworkSession*> read;
    server.journal.OnEvent([&](const SessionJournal::Event& event) {
        if (event.payload.empty())
            return false;
        std::lock_guard<std::mutex> lock(mutex);
        read.insert(event.session);
        return true;
    });
    constexpr size_t kClients = 4;
    // Each writes records until the manager is gone.
    std::vector<std::thread> writers;
    for (size_t i = 0; i < kClients; ++i)
        writers.emplace_back([fd = ConnectTo(server.port)] {
            const Bytes record = Record(0, Bytes(4000, 'w'));
            while (::send(fd, record.data(), record.size(), MSG_NOSIGNAL) > 0) {
            }
            ::close(fd);
        });
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return read.size() == kClients;
    })) << "every session is being read";
    const auto start = Clock::now();
    server.manager.reset();
    EXPECT_LT(Clock::now() - start, 1s);
    for (std::thread& writer : writers)
        writer.join();
    EXPECT_EQ(Entries("fd"), descriptors);
}

}  // namespace
