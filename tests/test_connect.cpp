// Connecting, with real sockets on the loopback interface: the session
// manager's connect and close, name lookups, and the message system's
// listen, connect with credentials, connect deadline, and deletion while it
// connects or runs a handler.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "VeskMessageSystem.h"
#include "VeskNetworkSystem.h"
#include "message_fixture.h"
#include "session_fixture.h"

using namespace VeskNetworkSystem;
using VeskMessageSystem::tagVeskMessageSystemLimits;
using VeskMessageSystem::VESKMESSYS_CRYPTO_ALGORITHM_3DES;

// The moment no public operation shows: a connect has claimed its slot.
struct VeskNetworkTestAccess {
    static bool FirstSlotTaken(VeskMessageSystem::CVeskMessageSystem& system)
    {
        return !system.m_nsm->m_SessionArray[0].IsFree();
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
        const sockaddr_in address = Loopback(port_number);
        EXPECT_EQ(::connect(queued, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
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
    int queued = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
};

// What the callback saw of the connect event, and what the raw server's end
// held at that moment.
struct ConnectSeen {
    explicit ConnectSeen(int raw_listener) : listener(raw_listener) {}
    static int Record(CVeskNetworkSession* session, short ev, void* param)
    {
        auto* self = static_cast<ConnectSeen*>(param);
        if (ev != NETWORK_EVENT_CONNECT)
            return 1;
        self->session = session;
        self->thread = std::this_thread::get_id();
        ++self->count;
        self->peer = AcceptWithin(self->listener, 5000);
        pollfd waiting{self->peer, POLLIN, 0};
        unsigned char bytes[64];
        if (poll(&waiting, 1, 100) == 1)
            self->held = ::recv(self->peer, bytes, sizeof bytes, MSG_PEEK | MSG_DONTWAIT);
        return 1;
    }

    int listener;
    CVeskNetworkSession* session = nullptr;
    std::thread::id thread;
    int count = 0;
    int peer = -1;
    ssize_t held = -1;
};

using ConnectTest = SessionFixture;

}  // namespace

// Failed connects report nothing and give their slot back: more of them than
// the pool has sessions leave room for the next. A connect reports on the
// calling thread before it returns: a secure one has sent its ClientHello by
// then and nothing more, a plain one sends nothing. Close frees the session
// and the peer sees the end; a second Close closes nothing that may have got
// the number meanwhile.
TEST_F(ConnectTest, ConnectReportsOnTheCallingThreadWithItsFirstRecordOnItsWay)
{
    raw_listener = Track(ListenOnLoopback(&raw_port));
    const std::string raw_service = std::to_string(raw_port);
    ConnectSeen seen{raw_listener};
    EXPECT_EQ(manager->Close(nullptr), 0);
    for (int failed = 0; failed < 12; ++failed)
        EXPECT_EQ(manager->Connect("127.0.0.1", std::to_string(FreePort()).c_str(), ConnectSeen::Record, &seen),
                  nullptr);
    EXPECT_EQ(manager->ConnectSecure(kUnresolvable.c_str(), raw_service.c_str(), ConnectSeen::Record, &seen), nullptr);
    EXPECT_EQ(seen.count, 0);
    for (const bool secure : {false, true}) {
        SCOPED_TRACE(secure ? "secure" : "plain");
        const Bytes first = secure ? ClientHello({0, 1, 2}) : Bytes();
        seen.held = -1;
        CVeskNetworkSession* session =
            manager->Connect(secure, "127.0.0.1", raw_service.c_str(), ConnectSeen::Record, &seen);
        ASSERT_NE(session, nullptr);
        EXPECT_EQ(seen.count, secure ? 2 : 1);
        EXPECT_EQ(seen.session, session);
        EXPECT_EQ(seen.thread, std::this_thread::get_id());
        ASSERT_GE(seen.peer, 0);
        EXPECT_EQ(seen.held, secure ? static_cast<ssize_t>(first.size()) : -1) << "held when the callback ran";
        EXPECT_EQ(ReadBytes(seen.peer, first.size()), first);
        EXPECT_TRUE(NothingToRead(seen.peer, 100)) << "nothing follows";

        EXPECT_EQ(manager->Close(session), 1);
        EXPECT_TRUE(WaitFor([&] { return session->IsFree(); }));
        pollfd waiting{seen.peer, POLLIN, 0};
        char byte;
        EXPECT_EQ(poll(&waiting, 1, 5000), 1);
        EXPECT_EQ(::recv(seen.peer, &byte, 1, MSG_DONTWAIT), 0) << "the peer sees the end";
        const int reused = dup(seen.peer);
        EXPECT_EQ(manager->Close(session), 1);
        EXPECT_NE(fcntl(reused, F_GETFD), -1);
        ::close(reused);
        ::close(seen.peer);
    }
}

// A signal handler installed without SA_RESTART makes blocking calls fail with
// EINTR. The connect waits for the SYN sent again while the signals come.
TEST_F(ConnectTest, ConnectGoesOnThroughSignalsThatInterruptIt)
{
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

namespace {

// Runs its action once, inside a handler of its system: on the session event
// it waits for, or on any message (event 0).
struct InsideAHandler {
    static int OnEvent(CVeskMessageSession*, const char*, const char*, const void* data, size_t)
    {
        if (static_cast<const tagMessageDataSesssionEvent*>(data)->m_ev == event)
            ActOnce();
        return 0;
    }
    static int OnMessage(CVeskMessageSession*, const char*, const char*, const void*, size_t)
    {
        ActOnce();
        return 0;
    }
    static void ActOnce()
    {
        if (void (*act)() = action.exchange(nullptr)) {
            act();
            done = true;
        }
    }
    static void Arm(short on_event, CVeskMessageSystem* on_system, void (*act)())
    {
        event = on_event;
        system = on_system;
        done = false;
        action = act;
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

int ThreadCount()
{
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<int>(std::distance(begin(tasks), end(tasks)));
}

class ConnectingSystems : public MessageSystems {
protected:
    // A system with the users and the handler, listening on a port the
    // kernel chose.
    CVeskMessageSystem* ListeningSystem(const tagExtensionCallFunction& handler, std::string* listen_port)
    {
        std::unique_ptr<CVeskMessageSystem> system(VeskMessageSystemCreate());
        if (system->CreateSessions(4) != 1 || system->CreateListenSessions(1) != 1 ||
            system->load_auth_user_list(user_list.Name()) != 1 || system->add_ExtensionCallFunction(handler) != 1 ||
            system->InitSocketEvent() != 1)
            return nullptr;
        *listen_port = ListenOnFreePort([&](const std::string& service) {
            return system->listen(service.c_str(), AF_INET, VESKMESSYS_CRYPTO_ALGORITHM_3DES) == 1;
        });
        return system->DispatchSocketEvent() == 1 ? system.release() : nullptr;
    }
};

}  // namespace

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
    SessionJournal journal;
    CVeskNetworkSessionManager unanswering;
    ASSERT_EQ(unanswering.CreateSessions(2), 1);
    ASSERT_EQ(unanswering.CreateListenSessions(1), 1);
    ASSERT_EQ(unanswering.CreateParseRecvSocketBufferThread(), 1);
    ASSERT_EQ(unanswering.DispatchLibEvent(), 1);
    const std::string unanswering_port = ListenOnFreePort([&](const std::string& service) {
        return unanswering.Listen(service.c_str(), AF_INET, 8, &SessionJournal::Record, &journal,
                                  CRYPTO_ALGORITHM_3DES) == 1;
    });
    const struct {
        const char* server;
        std::string port;
        bool credentials;  // and so a handle, whose session the deadline closes
    } rows[] = {{"accept queue full", full.port, false}, {"never answers the login", unanswering_port, true}};
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
    const tagExtensionCallFunction on_event = Entry(kSessionEvent, kEventSize, InsideAHandler::OnEvent);
    const auto log_in = [] {
        InsideAHandler::login = InsideAHandler::system.load()->connect("127.0.0.1", InsideAHandler::port.c_str(),
                                                                       "alice", 5, "wonderland", 10);
    };
    const auto remove = [] { delete InsideAHandler::system.load(); };
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
        {"delete at a message, parse thread", Entry(7, 16, InsideAHandler::OnMessage), 0, remove},
        {"delete at the connect event, application thread", on_event, NETWORK_EVENT_CONNECT, remove},
    };
    ASSERT_NO_FATAL_FAILURE(Start(VESKMESSYS_CRYPTO_ALGORITHM_3DES));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int threads_before = ThreadCount();
        CVeskMessageSystem* system = ListeningSystem(c.handler, &InsideAHandler::port);
        ASSERT_NE(system, nullptr);
        InsideAHandler::Arm(c.event, system, c.act);
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
        EXPECT_TRUE(WaitFor([&] { return ThreadCount() == threads_before; })) << "the last thread has ended";
    }
}
