// The message system object: the factory, forwarding to the session
// manager's pools, the operations that still report failure, the extension
// handler list, the user record hooks, connecting with credentials, and the
// session handle.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "VeskMessageSystem.h"

using namespace VeskMessageSystem;

// The replaced allocation functions below pair malloc with free; the compiler
// cannot see that across the replacement and would warn at every new.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

// Set to make the next allocation fail, as when memory runs out.
bool g_fail_next_allocation = false;

}  // namespace

void* operator new(std::size_t size)
{
    if (g_fail_next_allocation) {
        g_fail_next_allocation = false;
        throw std::bad_alloc();
    }
    if (void* block = std::malloc(size == 0 ? 1 : size))
        return block;
    throw std::bad_alloc();
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    if (g_fail_next_allocation) {
        g_fail_next_allocation = false;
        return nullptr;
    }
    return std::malloc(size == 0 ? 1 : size);
}

void operator delete(void* block) noexcept
{
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}

struct VeskNetworkTestAccess {
    static CVeskNetworkSessionManager* Manager(CVeskMessageSystem& system) { return system.m_nsm; }
    static int Sessions(CVeskMessageSystem& system) { return system.m_nsm->m_SessionArray.Size(); }
    static int Listeners(CVeskMessageSystem& system) { return system.m_nsm->m_SessionListenArray.Size(); }
    static int Datagrams(CVeskMessageSystem& system) { return system.m_nsm->m_UDPSessionArray.Size(); }
    static void SetServiceType(CVeskMessageSystem& system, eVeskMessageSystemServiceType type)
    {
        system.m_service_type = type;
    }

    // The handler list as (type, size) in order.
    static std::vector<std::pair<uint32_t, uint16_t>> Handlers(const CVeskMessageSystem& system)
    {
        std::vector<std::pair<uint32_t, uint16_t>> handlers;
        for (const tagExtensionCallFunction& entry : *system.ExtensionCallFunctionsSnapshot())
            handlers.emplace_back(entry.m_type, entry.m_size);
        return handlers;
    }

    static int UserMessageHook(CVeskMessageSystem& system, const void* data, size_t size)
    {
        return system.parse_message_data_user_message(nullptr, data, size);
    }
    static int UserStateHook(CVeskMessageSystem& system, const void* data, size_t size)
    {
        return system.parse_message_data_user_state(nullptr, data, size);
    }

    static void Attach(CVeskMessageSession& handle, CVeskNetworkSession* session) { handle.attach_session(session); }
    static void AttachUDP(CVeskMessageSession& handle, CVeskNetworkUDPSession* datagram)
    {
        handle.attach_udp_session(datagram);
    }
    static void CloseSession(CVeskMessageSession& handle) { handle.close_session(); }
    static void CloseUDPSession(CVeskMessageSession& handle) { handle.close_udp_session(); }
    static void Adopt(CVeskNetworkSession& session, SOCKET s) { session.AdoptConnection(s, nullptr, 0); }
    static void AdoptUDP(CVeskNetworkUDPSession& datagram, SOCKET s) { datagram.AdoptSocket(s); }
};

namespace {

using Access = VeskNetworkTestAccess;
using Handlers = std::vector<std::pair<uint32_t, uint16_t>>;

constexpr uint32_t kAllExtensions = VESKMESSYS_MESSAGE_TYPE_USER_EXTENSION_ALL;
constexpr uint32_t kSessionEvent = VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT;

int IgnoreMessage(CVeskMessageSession*, const char*, const char*, const void*, size_t)
{
    return 0;
}

tagExtensionCallFunction Handler(uint32_t type, uint16_t size)
{
    return tagExtensionCallFunction{type, size, IgnoreMessage};
}

bool IsClosed(int fd)
{
    return fcntl(fd, F_GETFD) == -1 && errno == EBADF;
}

// A connected stream socket adopted by a session in use.
struct LiveSession {
    LiveSession() : session(std::make_unique<CVeskNetworkSession>())
    {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        Access::Adopt(*session, fds[0]);
        session->SetUsed(true);
    }
    ~LiveSession() { ::close(fds[1]); }

    std::unique_ptr<CVeskNetworkSession> session;
    int fds[2] = {-1, -1};
};

std::unique_ptr<CVeskMessageSystem> MakeSystem()
{
    return std::unique_ptr<CVeskMessageSystem>(VeskMessageSystemCreate());
}

}  // namespace

TEST(Pools, CreateRefusesANegativeCountAndASecondCreationUntilReleased)
{
    struct Pool {
        const char* name;
        int (CVeskMessageSystem::*create)(int);
        void (CVeskMessageSystem::*release)();
        int (*size)(CVeskMessageSystem&);
    };
    const Pool pools[] = {
        {"sessions", &CVeskMessageSystem::CreateSessions, &CVeskMessageSystem::ReleaseSessions, Access::Sessions},
        {"listeners", &CVeskMessageSystem::CreateListenSessions, &CVeskMessageSystem::ReleaseListenSessions,
         Access::Listeners},
        {"datagrams", &CVeskMessageSystem::CreateUDPSessions, &CVeskMessageSystem::ReleaseUDPSessions,
         Access::Datagrams},
    };
    const auto system = MakeSystem();
    ASSERT_NE(system, nullptr);
    ASSERT_NE(Access::Manager(*system), nullptr);

    for (const Pool& pool : pools) {
        SCOPED_TRACE(pool.name);
        CVeskMessageSystem& s = *system;
        EXPECT_EQ((s.*pool.create)(-1), 0);
        EXPECT_EQ(pool.size(s), 0);
        EXPECT_EQ((s.*pool.create)(2), 1);
        EXPECT_EQ((s.*pool.create)(3), 0);
        EXPECT_EQ(pool.size(s), 2);
        (s.*pool.release)();
        (s.*pool.release)();
        EXPECT_EQ(pool.size(s), 0);
        EXPECT_EQ((s.*pool.create)(3), 1);
        EXPECT_EQ(pool.size(s), 3);
    }
}

TEST(WithoutManager, NetworkOperationsFailWhileTheListsStillWork)
{
    g_fail_next_allocation = true;
    CVeskMessageSystem system;
    g_fail_next_allocation = false;

    ASSERT_EQ(Access::Manager(system), nullptr);
    EXPECT_EQ(system.CreateSessions(10), 0);
    EXPECT_EQ(system.CreateListenSessions(1), 0);
    EXPECT_EQ(system.CreateUDPSessions(1), 0);
    system.ReleaseSessions();
    system.ReleaseListenSessions();
    system.ReleaseUDPSessions();
    EXPECT_EQ(system.connect("127.0.0.1", "1"), nullptr);
    EXPECT_EQ(system.open_udp(AF_INET), nullptr);

    EXPECT_EQ(system.add_user("alice", 5, "pw", 2), 1);
    EXPECT_NE(system.get_user("alice", 5), nullptr);
    EXPECT_EQ(system.add_ExtensionCallFunction(Handler(5, 16)), 1);
    EXPECT_EQ(Access::Handlers(system), (Handlers{{5, 16}}));
}

// Add appends copies in order and keeps duplicates; delete takes a message
// type (any, also outside the extension range), not a position, and removes
// the first entry of that type.
TEST(ExtensionHandlers, AddAppendsAndDeleteTakesATypeNotAPosition)
{
    CVeskMessageSystem system;
    tagExtensionCallFunction entry = Handler(5, 16);
    EXPECT_EQ(system.add_ExtensionCallFunction(entry), 1);
    EXPECT_EQ(system.add_ExtensionCallFunction(entry), 1);
    entry.m_size = 99;
    for (const auto& added : {Handler(7, 1), Handler(kAllExtensions, 0), Handler(kSessionEvent, 140),
                              Handler(0xFFFFFFFF, 0), Handler(kAllExtensions, 8)})
        EXPECT_EQ(system.add_ExtensionCallFunction(added), 1);
    EXPECT_EQ(Access::Handlers(system), (Handlers{{5, 16},
                                                  {5, 16},
                                                  {7, 1},
                                                  {kAllExtensions, 0},
                                                  {kSessionEvent, 140},
                                                  {0xFFFFFFFF, 0},
                                                  {kAllExtensions, 8}}));

    EXPECT_EQ(system.delete_ExtensionCallFunction(1), 0);
    EXPECT_EQ(system.delete_ExtensionCallFunction(5), 1);
    EXPECT_EQ(Access::Handlers(system).front(), (std::pair<uint32_t, uint16_t>{5, 16}));
    EXPECT_EQ(system.delete_ExtensionCallFunction(5), 1);
    EXPECT_EQ(system.delete_ExtensionCallFunction(5), 0);
    EXPECT_EQ(system.delete_ExtensionCallFunction(65536), 1);
    EXPECT_EQ(system.delete_ExtensionCallFunction(static_cast<int>(kSessionEvent)), 1);
    EXPECT_EQ(system.delete_ExtensionCallFunction(-1), 1);
    EXPECT_EQ(Access::Handlers(system), (Handlers{{7, 1}, {kAllExtensions, 8}}));

    EXPECT_EQ(system.delete_allExtensionCallFunction(), 1);
    EXPECT_TRUE(Access::Handlers(system).empty());
    EXPECT_EQ(system.delete_allExtensionCallFunction(), 1);
}

// Short records live in heap blocks of exactly their size, so the sanitizer
// build reports a hook that reads a whole record anyway.
TEST(UserRecordHooks, TakeOnlyCompleteRecords)
{
    struct Hook {
        int (*call)(CVeskMessageSystem&, const void*, size_t);
        size_t record_size;
    };
    CVeskMessageSystem system;

    for (const Hook& hook : {Hook{Access::UserMessageHook, sizeof(tagMessageDataUserMessage)},
                             Hook{Access::UserStateHook, sizeof(tagMessageDataUserState)}}) {
        SCOPED_TRACE(hook.record_size);
        const std::vector<unsigned char> whole(hook.record_size + 1);
        const std::vector<unsigned char> short_by_one(hook.record_size - 1);
        EXPECT_EQ(hook.call(system, whole.data(), whole.size()), 1);
        EXPECT_EQ(hook.call(system, whole.data(), hook.record_size), 1);
        EXPECT_EQ(hook.call(system, short_by_one.data(), short_by_one.size()), 0);
        EXPECT_EQ(hook.call(system, nullptr, hook.record_size), 0);
    }
}

namespace {

// A handle that counts its destruction.
class CountedHandle : public CVeskMessageSession {
public:
    explicit CountedHandle(int& destroyed) : m_destroyed(destroyed) {}
    ~CountedHandle() override { ++m_destroyed; }

private:
    int& m_destroyed;
};

// A system whose plain connect hands out a given session and whose
// authentication answers as told, to exercise connecting with credentials.
class ScriptedSystem : public CVeskMessageSystem {
public:
    using CVeskMessageSystem::connect;

    CVeskMessageSession* connect(const char*, const char*) override
    {
        ++connect_calls;
        if (!connect_succeeds)
            return nullptr;
        auto* handle = new CountedHandle(handles_destroyed);
        Access::Attach(*handle, connected_session);
        return handle;
    }

    bool connect_succeeds = true;
    CVeskNetworkSession* connected_session = nullptr;
    int auth_result = 1;
    int connect_calls = 0;
    int handles_destroyed = 0;
    std::vector<std::string> auth_arguments;

private:
    int auth(CVeskMessageSession* session, LPCTSTR uid, size_t, LPCTSTR passwd, size_t) override
    {
        auth_arguments = {uid, passwd};
        EXPECT_TRUE(session->is_session_used());
        return auth_result;
    }
};

}  // namespace

// Connecting with credentials gives a handle only to a client system whose
// connect gave a session in use that then authenticated; otherwise the handle
// is deleted and a refused session closed.
TEST(ConnectWithCredentials, HandleOnlyForAConnectedAndAuthenticatedSession)
{
    enum class Slot { kNone, kEnded, kLive };
    const struct {
        const char* name;
        bool connects;
        Slot slot;
        int auth_result;
        bool server;
        int connect_calls;
        bool authenticates;
        bool handle;
    } cases[] = {
        {"connect fails", false, Slot::kNone, 1, false, 1, false, false},
        {"session not in use", true, Slot::kEnded, 1, false, 1, false, false},
        {"authentication refused", true, Slot::kLive, 0, false, 1, true, false},
        {"authenticated", true, Slot::kLive, 1, false, 1, true, true},
        {"server system", true, Slot::kLive, 1, true, 0, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSystem system;
        LiveSession live;
        CVeskNetworkSession ended;
        system.connect_succeeds = c.connects;
        system.connected_session = c.slot == Slot::kLive ? live.session.get() : &ended;
        system.auth_result = c.auth_result;
        if (c.server)
            Access::SetServiceType(system, VESKMESSYS_SERVICE_TYPE_SERVER);

        std::unique_ptr<CVeskMessageSession> handle(system.connect("host", "1", "alice", 5, "secret", 6));

        EXPECT_EQ(system.connect_calls, c.connect_calls);
        const std::vector<std::string> sent = {"alice", "secret"};
        EXPECT_EQ(system.auth_arguments, c.authenticates ? sent : std::vector<std::string>());
        ASSERT_EQ(handle != nullptr, c.handle);
        if (c.handle) {
            EXPECT_TRUE(handle->is_session_used());
            EXPECT_EQ(system.handles_destroyed, 0);
            handle.reset();
        }
        EXPECT_EQ(system.handles_destroyed, c.connect_calls == 1 && c.connects ? 1 : 0);
        if (c.slot == Slot::kLive && c.connect_calls == 1) {
            EXPECT_EQ(live.session->IsUsed(), c.handle);
            EXPECT_EQ(IsClosed(live.fds[0]), !c.handle);
        }
    }
}

// A handle compares by both its references and the lives they name, and is in
// use while the life it names lasts, whoever occupies the slot afterwards.
TEST(SessionHandle, ComparesBothReferencesAndNamesOneLifeOfTheSlot)
{
    CVeskNetworkSession tcp_a;
    CVeskNetworkSession tcp_b;
    CVeskNetworkUDPSession shared_udp;
    CVeskMessageSession a;
    CVeskMessageSession b;
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a.is_session_used());
    EXPECT_FALSE(a.is_udp_session_used());

    tcp_a.SetUsed(true);
    tcp_b.SetUsed(true);
    shared_udp.SetUsed(true);
    Access::Attach(a, &tcp_a);
    Access::AttachUDP(a, &shared_udp);
    Access::Attach(b, &tcp_b);
    Access::AttachUDP(b, &shared_udp);
    EXPECT_TRUE(a != b);
    EXPECT_FALSE(a == b);
    const CVeskMessageSession copied(a);
    EXPECT_TRUE(copied == a);
    CVeskMessageSession target;
    const CVeskMessageSession returned = (target = b);
    EXPECT_TRUE(target == b);
    EXPECT_TRUE(returned == b);

    EXPECT_TRUE(a.is_session_used());
    EXPECT_TRUE(a.is_udp_session_used());
    tcp_a.SetUsed(false);
    EXPECT_FALSE(a.is_session_used());
    tcp_a.SetUsed(true);
    EXPECT_FALSE(a.is_session_used()) << "the slot's next life is another session";
    CVeskMessageSession next;
    Access::Attach(next, &tcp_a);
    EXPECT_TRUE(next.is_session_used());
    EXPECT_TRUE(next != a);

    Access::AttachUDP(b, nullptr);
    Access::Attach(a, &tcp_b);
    EXPECT_TRUE(a != b);
}

TEST(SessionHandle, CloseReleasesTheSlotButKeepsTheReference)
{
    LiveSession live;
    CVeskNetworkUDPSession udp;
    const int udp_fd = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(udp_fd, 0);
    Access::AdoptUDP(udp, udp_fd);
    udp.SetUsed(true);
    CVeskMessageSession handle;
    Access::Attach(handle, live.session.get());
    Access::AttachUDP(handle, &udp);
    const CVeskMessageSession before(handle);

    Access::CloseSession(handle);
    EXPECT_FALSE(handle.is_session_used());
    EXPECT_TRUE(handle.is_udp_session_used());
    EXPECT_TRUE(IsClosed(live.fds[0]));

    Access::CloseUDPSession(handle);
    EXPECT_FALSE(handle.is_udp_session_used());
    EXPECT_TRUE(IsClosed(udp_fd));
    EXPECT_TRUE(handle == before);

    CVeskMessageSession empty;
    Access::CloseSession(empty);
    Access::CloseUDPSession(empty);
}

// A session whose handshake nothing carries (it has no manager) refuses at
// once, as a handle without a session does.
TEST(SessionHandle, SendingIsRefused)
{
    const char message[8] = {0, 0, 0, 0, 8, 0, 0, 0};
    LiveSession live;
    CVeskMessageSession handle;
    EXPECT_EQ(handle.send_message(message, sizeof message), -1);
    EXPECT_EQ(handle.sendto_udp_message(message, sizeof message, "127.0.0.1", "1"), -1);

    Access::Attach(handle, live.session.get());
    EXPECT_EQ(handle.send_message(message, sizeof message), -1);
    EXPECT_EQ(handle.sendto_udp_message(message, sizeof message, "127.0.0.1", "1"), -1);
}
