// Connecting sessions, closing them, name lookups and the message system's
// own listen, connect and close, with real sockets on the loopback interface.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "VeskMessageSystem.h"
#include "VeskNetworkSystem.h"
#include "test_support.h"

using namespace VeskNetworkSystem;
using VeskMessageSystem::CVeskMessageSession;
using VeskMessageSystem::CVeskMessageSystem;
using VeskMessageSystem::eVeskMessageSystemCryptoAlgorithm;
using VeskMessageSystem::tagExtensionCallFunction;
using VeskMessageSystem::tagMessageDataSesssionEvent;
using VeskMessageSystem::tagVeskMessageSystemLimits;
using VeskMessageSystem::VeskMessageSystemDefaultLimits;
using VeskMessageSystem::VESKMESSYS_CRYPTO_ALGORITHM_3DES;
using VeskMessageSystem::VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT;

struct VeskNetworkTestAccess {
    static CVeskPool<CVeskNetworkSession>& Sessions(CVeskNetworkSessionManager& m) { return m.m_SessionArray; }
    static size_t SocketBytes(CVeskNetworkSession& s) { return s.m_recv_socket_buffer.Held(); }
    static CVeskNetworkSessionManager& Manager(CVeskMessageSystem& system) { return *system.m_nsm; }
    static CVeskNetworkSession* Session(const CVeskMessageSession& handle) { return handle.m_ns; }
    // Read from inside the session, as every thread that works on it does; -1
    // when it is not in use.
    static int Algorithm(CVeskNetworkSession& s)
    {
        CVeskElementEntry inside(&s);
        return inside ? s.GetCryptoAlgorithm() : -1;
    }
    static SOCKET ListenSocket(CVeskNetworkSessionManager& m, int index)
    {
        return m.m_SessionListenArray[index].GetSocket();
    }
};

namespace {

using namespace vesk_test;

using Access = VeskNetworkTestAccess;
using namespace std::chrono_literals;

// A name that cannot resolve and whose lookup never leaves the machine: its
// first label is longer than a name's label may be.
const std::string kUnresolvable = std::string(64, 'a') + ".invalid";

std::string PortOf(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return "";
    return std::to_string(ntohs(address.sin_port));
}

// A stream socket bound to 127.0.0.1 at a port of the system's choosing.
int BoundSocket()
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return s;
}

// A plain listening socket.
struct RawServer {
    RawServer() { EXPECT_EQ(::listen(fd, 8), 0); }
    ~RawServer() { ::close(fd); }

    // The next queued connection, or -1 when none came in time.
    int Accept() const
    {
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, 5000) != 1)
            return -1;
        return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    }

    int fd = BoundSocket();
    std::string port = PortOf(fd);
};

// A listener whose queue is full: backlog 0 and one connection waiting in it.
// The kernel drops every further SYN, so a connect to it gets no answer until
// the queue has room and the SYN is sent again (after 1 s, then 3 s, ...);
// without that, a blocking connect waits about two minutes.
struct FullListener {
    FullListener()
    {
        EXPECT_EQ(::listen(fd, 0), 0);
        sockaddr_in address{};
        socklen_t length = sizeof address;
        EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
        EXPECT_EQ(::connect(queued, reinterpret_cast<sockaddr*>(&address), length), 0);
        pollfd waiting{fd, POLLIN, 0};
        EXPECT_EQ(poll(&waiting, 1, 5000), 1) << "the queued connection is complete";
    }
    ~FullListener()
    {
        ::close(queued);
        ::close(fd);
    }
    // Takes the waiting connection: the queue has room again.
    void MakeRoom() const { ::close(::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC)); }

    int fd = BoundSocket();
    std::string port = PortOf(fd);
    int queued = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
};

// What the callback saw of the connect event.
struct ConnectSeen {
    static int Record(CVeskNetworkSession* session, short ev, void* param)
    {
        auto* self = static_cast<ConnectSeen*>(param);
        if (ev != NETWORK_EVENT_CONNECT)
            return 1;
        self->session = session;
        self->param = param;
        self->thread = std::this_thread::get_id();
        ++self->count;
        if (self->server != nullptr) {
            // What the server side holds at this moment.
            self->peer = self->server->Accept();
            pollfd waiting{self->peer, POLLIN, 0};
            if (poll(&waiting, 1, 5000) == 1) {
                unsigned char bytes[64];
                self->held = ::recv(self->peer, bytes, sizeof bytes, MSG_PEEK | MSG_DONTWAIT);
            }
        }
        return 1;
    }

    const RawServer* server = nullptr;
    CVeskNetworkSession* session = nullptr;
    void* param = nullptr;
    std::thread::id thread;
    int count = 0;
    int peer = -1;
    ssize_t held = -1;
};

class ConnectTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(manager.CreateSessions(2), 1);
        ASSERT_EQ(manager.DispatchLibEvent(), 1);
    }
    CVeskNetworkSession& Slot(int index) { return Access::Sessions(manager)[index]; }

    RawServer server;
    ConnectSeen seen;
    CVeskNetworkSessionManager manager;
};

// A plain connect reports on the calling thread before it returns and sends
// nothing of its own; Close frees the session and the peer sees the end.
TEST_F(ConnectTest, PlainConnectReportsOnTheCallingThreadAndCloseEndsIt)
{
    EXPECT_EQ(manager.Close(nullptr), 0);
    CVeskNetworkSession* session = manager.Connect("127.0.0.1", server.port.c_str(), ConnectSeen::Record, &seen);
    // Checked before anything else runs on this thread.
    EXPECT_EQ(seen.count, 1);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session, &Slot(0));
    EXPECT_TRUE(session->IsUsed());
    EXPECT_EQ(seen.session, session);
    EXPECT_EQ(seen.param, &seen);
    EXPECT_EQ(seen.thread, std::this_thread::get_id());

    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    pollfd waiting{peer, POLLIN, 0};
    EXPECT_EQ(poll(&waiting, 1, 100), 0);

    EXPECT_EQ(manager.Close(session), 1);
    EXPECT_FALSE(session->IsUsed());
    EXPECT_TRUE(WaitFor([&] { return session->IsFree(); }));
    char byte;
    EXPECT_EQ(poll(&waiting, 1, 5000), 1);
    EXPECT_EQ(::recv(peer, &byte, 1, MSG_DONTWAIT), 0);
    ::close(peer);
}

TEST_F(ConnectTest, SecureConnectHasSentTheClientHelloWhenItReports)
{
    seen.server = &server;
    CVeskNetworkSession* session = manager.ConnectSecure("127.0.0.1", server.port.c_str(), ConnectSeen::Record, &seen);
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(seen.count, 1);
    ASSERT_GE(seen.peer, 0);
    EXPECT_EQ(seen.held, 15) << "the record was on its way when the callback ran";

    const unsigned char expected[15] = {0x01, 0x02, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00,
                                        0x00, 0x05, 0x00, 0x03, 0x00, 0x01, 0x02};
    unsigned char received[15] = {};
    ASSERT_EQ(::recv(seen.peer, received, sizeof received, MSG_WAITALL), 15);
    EXPECT_EQ(0, std::memcmp(received, expected, sizeof expected));
    pollfd waiting{seen.peer, POLLIN, 0};
    EXPECT_EQ(poll(&waiting, 1, 100), 0) << "nothing follows it";
    ::close(seen.peer);
    EXPECT_EQ(manager.Close(session), 1);
}

TEST_F(ConnectTest, FailedConnectLeavesTheSessionFree)
{
    EXPECT_EQ(manager.Connect("127.0.0.1", std::to_string(FreePort()).c_str(), ConnectSeen::Record, &seen), nullptr);
    EXPECT_TRUE(Slot(0).IsFree());
    EXPECT_EQ(manager.ConnectSecure(kUnresolvable.c_str(), server.port.c_str(), ConnectSeen::Record, &seen), nullptr);
    EXPECT_TRUE(Slot(0).IsFree());
    EXPECT_EQ(seen.count, 0) << "a failed connect reports nothing";

    // The slot is usable again.
    CVeskNetworkSession* session = manager.Connect("127.0.0.1", server.port.c_str(), ConnectSeen::Record, &seen);
    EXPECT_EQ(session, &Slot(0));
    EXPECT_EQ(manager.Close(session), 1);
}

int Ignore(CVeskNetworkSession*, short, void*)
{
    return 1;
}

TEST_F(ConnectTest, ClosingWhileTheLoopReadsTheSessionIsSafe)
{
    for (int round = 0; round < 200; ++round) {
        CVeskNetworkSession* session = manager.Connect("127.0.0.1", server.port.c_str(), Ignore, nullptr);
        ASSERT_NE(session, nullptr) << round;
        const int peer = server.Accept();
        ASSERT_GE(peer, 0) << round;
        std::thread writer(WriteUntilClosed, peer);
        EXPECT_TRUE(WaitFor([&] { return Access::SocketBytes(*session) > 0; })) << round;
        EXPECT_EQ(manager.Close(session), 1);
        writer.join();
        ::close(peer);
        ASSERT_TRUE(WaitFor([&] { return Slot(0).IsFree(); })) << round;
    }
}

void Interrupted(int) {}

// A signal handler installed without SA_RESTART makes blocking calls fail with
// EINTR. The connect waits for the SYN sent again while the signals come.
TEST_F(ConnectTest, ConnectGoesOnThroughSignalsThatInterruptIt)
{
    const FullListener full;
    struct sigaction interrupting {};
    interrupting.sa_handler = Interrupted;
    sigemptyset(&interrupting.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &interrupting, &previous), 0);

    std::atomic<bool> returned{false};
    CVeskNetworkSession* session = nullptr;
    std::thread connecting([&] {
        session = manager.Connect("127.0.0.1", full.port.c_str(), Ignore, nullptr);
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
    EXPECT_EQ(manager.Close(session), 1);
}

TEST(NsLookupTest, DottedAddressIsTakenAsItIsAndAFailureWritesNothing)
{
    in_addr address{};
    EXPECT_EQ(nslookup("127.0.0.1", &address), 1);
    EXPECT_EQ(address.s_addr, htonl(INADDR_LOOPBACK));
    address.s_addr = 0x01020304;
    EXPECT_EQ(nslookup(kUnresolvable.c_str(), &address), 0);
    EXPECT_EQ(address.s_addr, 0x01020304u);
}

TEST(NsLookupTest, ConcurrentLookupsDoNotDisturbEachOther)
{
    in_addr probe{};
    if (nslookup("localhost", &probe) != 1 || probe.s_addr != htonl(INADDR_LOOPBACK))
        GTEST_SKIP() << "localhost does not resolve to 127.0.0.1 here";
    constexpr int kThreads = 8;
    std::vector<int> results(kThreads, -1);
    std::vector<in_addr> addresses(kThreads, in_addr{});
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            for (int n = 0; n < 20 && results[i] != 0; ++n) {
                results[i] = nslookup("localhost", &addresses[i]);
                if (addresses[i].s_addr != htonl(INADDR_LOOPBACK))
                    results[i] = 0;
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(results[i], 1) << i;
        EXPECT_EQ(addresses[i].s_addr, htonl(INADDR_LOOPBACK)) << i;
    }
}

// A message system listening on a port of its own and connected to itself.
class MessageSystemTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(system.CreateSessions(4), 1);
        ASSERT_EQ(system.CreateListenSessions(4), 1);
        ASSERT_EQ(system.InitSocketEvent(), 1);
    }
    void TearDown() override { delete handle; }

    // Listens with the algorithm value on the next listener, connects, and
    // returns the server's side of the connection, or null.
    CVeskNetworkSession* ListenAndConnect(int algorithm, int listener)
    {
        if (system.listen("0", AF_INET, static_cast<eVeskMessageSystemCryptoAlgorithm>(algorithm)) != 1 ||
            system.DispatchSocketEvent() != 1)
            return nullptr;
        const std::string port = PortOf(Access::ListenSocket(manager(), listener));
        handle = system.connect("127.0.0.1", port.c_str());
        if (handle == nullptr)
            return nullptr;
        CVeskNetworkSession* server_side = nullptr;
        WaitFor([&] {
            // Only a session set up to the end can be entered.
            Access::Sessions(manager()).ForEach([&](CVeskNetworkSession& s) {
                CVeskElementEntry inside(&s);
                if (inside && &s != Access::Session(*handle))
                    server_side = &s;
            });
            return server_side != nullptr;
        });
        return server_side;
    }
    CVeskNetworkSessionManager& manager() { return Access::Manager(system); }
    bool AllFree()
    {
        bool free = true;
        Access::Sessions(manager()).ForEach([&free](CVeskNetworkSession& s) { free = free && s.IsFree(); });
        return free;
    }

    CVeskMessageSystem system;
    CVeskMessageSession* handle = nullptr;
};

// A user list file that lasts as long as the object.
struct UserFile {
    UserFile() { std::ofstream(path) << "alice\twonderland\n"; }
    ~UserFile() { std::remove(path.c_str()); }
    std::string path = "/tmp/vesk_connect_users_" + std::to_string(getpid());
};

// A session-event handler that connects with credentials when it sees its
// event, once.
struct LoginFromHandler {
    static int OnEvent(CVeskMessageSession*, const char*, const char*, const void* data, size_t)
    {
        const auto* record = static_cast<const tagMessageDataSesssionEvent*>(data);
        if (record->m_ev == event && !fired.exchange(true))
            handle = system->connect("127.0.0.1", port.c_str(), "alice", 5, "wonderland", 10);
        return 0;
    }
    static CVeskMessageSystem* system;
    static std::string port;
    static short event;
    static std::atomic<bool> fired;
    static std::atomic<CVeskMessageSession*> handle;
};
CVeskMessageSystem* LoginFromHandler::system = nullptr;
std::string LoginFromHandler::port;
short LoginFromHandler::event = 0;
std::atomic<bool> LoginFromHandler::fired{false};
std::atomic<CVeskMessageSession*> LoginFromHandler::handle{nullptr};

// Each algorithm value reaches the accepted session (an unknown one listens
// without a cipher); closing the handle frees the client's session and the
// server closes its side at the end of the stream.
TEST_F(MessageSystemTest, ListensWithTheAlgorithmValueConnectsAndCloses)
{
    using namespace VeskMessageSystem;
    const struct {
        int value;
        eCryptoAlgorithm algorithm;
    } cases[] = {{VESKMESSYS_CRYPTO_ALGORITHM_3DES, CRYPTO_ALGORITHM_3DES},
                 {VESKMESSYS_CRYPTO_ALGORITHM_BLOWFISH, CRYPTO_ALGORITHM_BLOWFISH},
                 {VESKMESSYS_CRYPTO_ALGORITHM_NONE, CRYPTO_ALGORITHM_NONE},
                 {3, CRYPTO_ALGORITHM_NONE}};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(cases[i].value);
        CVeskNetworkSession* server_side = ListenAndConnect(cases[i].value, i);
        ASSERT_NE(server_side, nullptr);
        ASSERT_NE(handle, nullptr);
        EXPECT_TRUE(handle->is_session_used());
        EXPECT_EQ(Access::Algorithm(*server_side), cases[i].algorithm);
        if (cases[i].algorithm != CRYPTO_ALGORITHM_NONE) {
            EXPECT_TRUE(WaitFor([&] { return server_side->GetCryptoStateSend() == CRYPTO_STATE_CRYPTOED; }))
                << "the handshake ran to its end";
        }
        system.close(handle);
        EXPECT_FALSE(handle->is_session_used());
        EXPECT_TRUE(WaitFor([&] { return AllFree(); }));
        delete handle;
        handle = nullptr;
    }
}

// Connecting with credentials inside a handler, on the event loop thread
// (accept) and on the parse thread (handshake finished): the login request
// leaves once the new session's handshake has finished, and the server (this
// same system) takes the user in.
TEST_F(MessageSystemTest, ConnectWithCredentialsInsideAHandlerLogsIn)
{
    const UserFile users;
    ASSERT_EQ(system.load_auth_user_list(users.path.c_str()), 1);
    ASSERT_EQ(
        system.add_ExtensionCallFunction(tagExtensionCallFunction{
            VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT, sizeof(tagMessageDataSesssionEvent), LoginFromHandler::OnEvent}),
        1);
    ASSERT_EQ(system.listen("0", AF_INET, VESKMESSYS_CRYPTO_ALGORITHM_3DES), 1);
    ASSERT_EQ(system.DispatchSocketEvent(), 1);
    LoginFromHandler::system = &system;
    LoginFromHandler::port = PortOf(Access::ListenSocket(manager(), 0));
    for (const short event : {NETWORK_EVENT_ACCEPT, NETWORK_EVENT_HANDSHAKE_FINISH}) {
        SCOPED_TRACE(event);
        system.delete_alluser();
        LoginFromHandler::event = event;
        LoginFromHandler::fired = false;
        handle = system.connect("127.0.0.1", LoginFromHandler::port.c_str());
        ASSERT_NE(handle, nullptr);
        ASSERT_TRUE(WaitFor([] { return LoginFromHandler::handle != nullptr; }));
        std::unique_ptr<CVeskMessageSession> login(LoginFromHandler::handle.exchange(nullptr));
        EXPECT_TRUE(WaitFor([&] { return system.reference_user("alice", 5).get_uid_size() > 0; }))
            << "the login reached the server";
        EXPECT_TRUE(login->is_session_used());
        system.close(login.get());
        system.close(handle);
        delete handle;
        handle = nullptr;
        EXPECT_TRUE(WaitFor([&] { return AllFree(); }));
    }
}

// A server that finishes the handshake and never answers a login: a bare
// session manager, whose sessions have no message layer above them.
struct SilentLoginServer {
    SilentLoginServer()
    {
        EXPECT_EQ(manager.CreateSessions(2), 1);
        EXPECT_EQ(manager.CreateListenSessions(1), 1);
        EXPECT_EQ(manager.CreateParseRecvSocketBufferThread(), 1);
        EXPECT_EQ(manager.DispatchLibEvent(), 1);
        EXPECT_EQ(manager.Listen("0", AF_INET, 8, Ignore, nullptr, CRYPTO_ALGORITHM_3DES), 1);
    }
    std::string Port() { return PortOf(Access::ListenSocket(manager, 0)); }

    CVeskNetworkSessionManager manager;
};

// connect gives up after the connect deadline: on a TCP connect the peer's
// full accept queue leaves unanswered, and with credentials on a server that
// accepts and never speaks, or never answers the login, whose session is
// closed once the deadline has passed.
TEST_F(MessageSystemTest, ConnectGivesUpAfterItsDeadline)
{
    constexpr auto kDeadline = 300ms;
    tagVeskMessageSystemLimits limits = VeskMessageSystemDefaultLimits();
    limits.m_connect_deadline_ms = static_cast<uint32_t>(kDeadline.count());
    ASSERT_EQ(system.set_limits(limits), 1);
    ASSERT_EQ(system.DispatchSocketEvent(), 1);
    const FullListener full;
    const RawServer mute;
    SilentLoginServer unanswering;
    struct Row {
        const char* server;
        std::string port;
        bool credentials;
        bool returns_handle;
    };
    const Row rows[] = {
        {"accept queue full", full.port, false, false},
        {"accepts and never speaks", mute.port, true, false},
        {"never answers the login", unanswering.Port(), true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.server);
        const auto start = std::chrono::steady_clock::now();
        handle = row.credentials ? system.connect("127.0.0.1", row.port.c_str(), "alice", 5, "wonderland", 10)
                                 : system.connect("127.0.0.1", row.port.c_str());
        ASSERT_EQ(handle != nullptr, row.returns_handle);
        if (handle != nullptr) {
            EXPECT_TRUE(WaitFor([&] { return !handle->is_session_used(); })) << "closed by the deadline";
        }
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, kDeadline - 50ms);
        EXPECT_LT(waited, 5s);
        delete handle;
        handle = nullptr;
        EXPECT_TRUE(WaitFor([&] { return AllFree(); }));
    }
}

int ThreadCount()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0)
            return std::stoi(line.substr(8));
    return -1;
}

// A handler that deletes its own system: on a session event it waits for, or
// on any message (event 0).
int IgnoreMessage(CVeskMessageSession*, const char*, const char*, const void*, size_t)
{
    return 0;
}

struct DeleteFromHandler {
    static int OnEvent(CVeskMessageSession*, const char*, const char*, const void* data, size_t)
    {
        if (static_cast<const tagMessageDataSesssionEvent*>(data)->m_ev == event)
            DeleteOnce();
        return 0;
    }
    static int OnMessage(CVeskMessageSession*, const char*, const char*, const void*, size_t)
    {
        DeleteOnce();
        return 0;
    }
    static void DeleteOnce()
    {
        if (CVeskMessageSystem* doomed = system.exchange(nullptr)) {
            delete doomed;
            deleted = true;
        }
    }
    static std::atomic<CVeskMessageSystem*> system;
    static short event;
    static std::atomic<bool> deleted;
};
std::atomic<CVeskMessageSystem*> DeleteFromHandler::system{nullptr};
short DeleteFromHandler::event = 0;
std::atomic<bool> DeleteFromHandler::deleted{false};

// A system listening on a port of its own, with sessions to spare.
std::unique_ptr<CVeskMessageSystem> ListeningSystem(const tagExtensionCallFunction& handler, std::string* port)
{
    std::unique_ptr<CVeskMessageSystem> system(VeskMessageSystemCreate());
    if (system->CreateSessions(4) != 1 || system->CreateListenSessions(1) != 1 ||
        system->add_ExtensionCallFunction(handler) != 1 || system->InitSocketEvent() != 1 ||
        system->listen("0", AF_INET, VESKMESSYS_CRYPTO_ALGORITHM_3DES) != 1 || system->DispatchSocketEvent() != 1)
        return nullptr;
    *port = PortOf(Access::ListenSocket(Access::Manager(*system), 0));
    return system;
}

// Deleting the system inside one of its handlers, on each thread a handler
// runs on: the process goes on, and the system's last thread ends once it has
// finished the teardown (the sanitizer build sees any leak or late use). The
// peer connects to the doomed system, or, for the connect event, the doomed
// system connects to the peer and its connect returns null.
TEST(DeleteInsideAHandler, TheSystemGoesAndTheProcessGoesOn)
{
    constexpr uint16_t kEventSize = sizeof(tagMessageDataSesssionEvent);
    const tagExtensionCallFunction on_event{VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT, kEventSize,
                                            DeleteFromHandler::OnEvent};
    const struct {
        const char* name;
        tagExtensionCallFunction handler;
        short event;
    } cases[] = {
        {"accept event, event loop thread", on_event, NETWORK_EVENT_ACCEPT},
        {"handshake finished, parse thread", on_event, NETWORK_EVENT_HANDSHAKE_FINISH},
        {"message, parse thread", {7, 16, DeleteFromHandler::OnMessage}, 0},
        {"connect event, application thread", on_event, NETWORK_EVENT_CONNECT},
    };
    std::string peer_port;
    const auto peer = ListeningSystem(tagExtensionCallFunction{7, 16, IgnoreMessage}, &peer_port);
    ASSERT_NE(peer, nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int threads_before = ThreadCount();
        std::string port;
        auto doomed = ListeningSystem(c.handler, &port);
        ASSERT_NE(doomed, nullptr);
        DeleteFromHandler::event = c.event;
        DeleteFromHandler::deleted = false;
        DeleteFromHandler::system = doomed.release();

        if (c.event == NETWORK_EVENT_CONNECT) {
            CVeskMessageSystem* system = DeleteFromHandler::system;
            EXPECT_EQ(system->connect("127.0.0.1", peer_port.c_str()), nullptr);
        } else {
            // An accept handler may delete the system before the peer's
            // connect has sent its first record.
            std::unique_ptr<CVeskMessageSession> handle(peer->connect("127.0.0.1", port.c_str()));
            if (c.event == 0) {
                ASSERT_NE(handle, nullptr);
                unsigned char message[16] = {7, 0, 0, 0, 16};
                EXPECT_GT(handle->send_message(message, sizeof message), 0);
            }
            ASSERT_TRUE(WaitFor([] { return DeleteFromHandler::deleted.load(); }));
            if (handle != nullptr)
                peer->close(handle.get());
        }
        EXPECT_TRUE(DeleteFromHandler::deleted);
        EXPECT_TRUE(WaitFor([&] { return ThreadCount() == threads_before; })) << "the last thread has ended";
    }
}

// A connect to a peer that never answers holds its session; deleting the
// system ends it at once, and the connect returns null.
TEST(DeleteWhileConnecting, EndsTheConnectAtOnce)
{
    const FullListener full;
    CVeskMessageSystem* system = VeskMessageSystemCreate();
    ASSERT_EQ(system->CreateSessions(1), 1);
    ASSERT_EQ(system->InitSocketEvent(), 1);
    ASSERT_EQ(system->DispatchSocketEvent(), 1);
    CVeskNetworkSession& slot = Access::Sessions(Access::Manager(*system))[0];

    std::atomic<bool> returned{false};
    CVeskMessageSession* handle = nullptr;
    std::thread connecting([&] {
        handle = system->connect("127.0.0.1", full.port.c_str());
        returned = true;
    });
    ASSERT_TRUE(WaitFor([&] { return !slot.IsFree(); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(returned) << "the peer does not answer";

    const auto start = std::chrono::steady_clock::now();
    delete system;
    const auto took = std::chrono::steady_clock::now() - start;
    connecting.join();
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 2000);
    EXPECT_EQ(handle, nullptr);
}

}  // namespace
