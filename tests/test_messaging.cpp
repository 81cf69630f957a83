// Messaging end to end through the public interface, as an application uses
// it: a server and a client message system on loopback, logging in with each
// cipher, extension messages both ways, the rules by which handlers are
// chosen, session events in order, user lists read while logins happen,
// sending before and during the handshake, and stale handles.

#include <map>
#include <utility>

#include "message_fixture.h"

using namespace VeskMessageSystem;
using namespace VeskNetworkSystem;

namespace {

using namespace vesk_test;

using namespace std::chrono_literals;

using Messaging = MessageSystems;

// Session event handlers register under id 1; kShadowed marks those that a
// fitting handler registered before them must keep from being called.
constexpr int kEvents = 1;
constexpr int kShadowed = 8;
// The session events that open a session: the login or first message is read.
const std::vector<int> kServerOpens = {NETWORK_EVENT_ACCEPT, NETWORK_EVENT_HANDSHAKE_FINISH, NETWORK_EVENT_READ};
const std::vector<int> kClientOpens = {NETWORK_EVENT_CONNECT, NETWORK_EVENT_HANDSHAKE_FINISH, NETWORK_EVENT_READ};

// Answers every message it gets with a 24-byte message of type 7 whose tag
// is 1000 more, through the handle it was given.
constexpr int kReplier = 50;

int ReplyOnServer(CVeskMessageSession* session, const char* host, const char* service, const void* data, size_t size)
{
    RecordMessage(kServer, kReplier, host, service, data, size);
    EXPECT_GT(Send(session, Tagged(7, 24, TagOf(data, size) + 1000)), 0);
    return 0;
}

// Holds the event loop thread that runs it (a datagram handler runs there)
// until it is let go, at most ten seconds.
std::atomic<bool> g_loop_held{false};
std::atomic<bool> g_hold_loop{false};

int HoldLoopThread(CVeskMessageSession*, const char*, const char*, const void*, size_t)
{
    g_loop_held = true;
    WaitFor([] { return !g_hold_loop.load(); }, 10s);
    return 0;
}

const char* const kCipherNames[] = {"None", "TripleDES", "Blowfish"};

class MessagingByAlgorithm : public MessageSystems,
                             public ::testing::WithParamInterface<eVeskMessageSystemCryptoAlgorithm> {};

using HandlerTags = std::vector<std::pair<int, uint32_t>>;

// The handler and the tag of each message call.
HandlerTags HandlersAndTags(const std::vector<Call>& calls)
{
    HandlerTags seen;
    for (const Call& call : calls)
        if (!call.event)
            seen.emplace_back(call.handler, call.tag);
    return seen;
}

// Under each cipher: a refused login is answered and the server keeps the
// connection, the client closes it on the answer without an event of its own,
// and only then does the server see the end; a send right after connecting
// waits for the handshake, is woken when it completes (not by a periodic
// check) and returns only after the client's handshake-finished event; an
// accepted login is recorded in both user lists and extension messages then
// travel both ways, each to the handler for all types first. Records of a
// burst wait for the loop thread's next write, but a message on an idle
// session leaves at once: it reaches the server while the client's loop
// thread is held. Throughout, a session event reaches only the first handler
// whose size rule fits it.
TEST_P(MessagingByAlgorithm, LoginsAndMessagesBothWays)
{
    server->add_ExtensionCallFunction(Entry(kSessionEvent, kEventSize, OnEvent<kServer, kEvents>));
    server->add_ExtensionCallFunction(Entry(kSessionEvent, kEventSize, OnEvent<kServer, kShadowed>));
    server->add_ExtensionCallFunction(Entry(kSessionEvent, 0, OnEvent<kServer, kShadowed>));
    server->add_ExtensionCallFunction(Entry(kAllTypes, 0, OnMessage<kServer, 2>));
    server->add_ExtensionCallFunction(Entry(5, 16, ReplyOnServer));
    client->add_ExtensionCallFunction(Entry(kSessionEvent, 200, OnEvent<kClient, kShadowed>));
    client->add_ExtensionCallFunction(Entry(kSessionEvent, kEventSize, OnEvent<kClient, kEvents>));
    client->add_ExtensionCallFunction(Entry(kSessionEvent, 0, OnEvent<kClient, kShadowed>));
    client->add_ExtensionCallFunction(Entry(9, 16, HoldLoopThread));
    client->add_ExtensionCallFunction(Entry(kAllTypes, 0, OnMessage<kClient, 2>));
    client->add_ExtensionCallFunction(Entry(7, 24, OnMessage<kClient, 3>));
    ASSERT_EQ(client->CreateUDPSessions(2), 1);
    ASSERT_NO_FATAL_FAILURE(Start(GetParam()));
    const auto server_events = [] { return g_journal.Calls(kServer, kEvents); };
    const auto client_events = [] { return g_journal.Calls(kClient, kEvents); };

    for (const auto& [uid, passwd] : {std::make_pair("alice", "Wonderland"), std::make_pair("mallory", "wonderland")}) {
        SCOPED_TRACE(uid);
        g_journal.Clear();
        CVeskMessageSession* handle = Login(uid, passwd);
        ASSERT_NE(handle, nullptr);
        ASSERT_TRUE(WaitFor([&] { return !handle->is_session_used(); }));
        ASSERT_TRUE(WaitFor([&] { return server_events().size() == 4; }));
        EXPECT_EQ(EventCodes(server_events()), (std::vector<int>{NETWORK_EVENT_ACCEPT, NETWORK_EVENT_HANDSHAKE_FINISH,
                                                                 NETWORK_EVENT_READ, NETWORK_EVENT_CLOSE}));
        ASSERT_EQ(EventCodes(client_events()), kClientOpens)
            << "the answer reached the client, which saw no close from the server";
        EXPECT_LT(client_events()[2].seq, server_events()[3].seq) << "the server saw the end only after the answer";
        EXPECT_EQ(client->reference_user(uid, std::strlen(uid)).get_uid_size(), 0u);
        EXPECT_EQ(server->get_user(uid, std::strlen(uid)), nullptr);
    }

    g_journal.Clear();
    CVeskMessageSession* plain = ConnectPlain();
    ASSERT_NE(plain, nullptr);
    EXPECT_GT(Send(plain, Tagged(5, 16, 1)), 0);
    const auto returned = Clock::now();
    const long after_send = g_journal.Mark();
    const std::vector<Call> opened = client_events();
    ASSERT_GE(opened.size(), 2u) << "the send returned after the handshake-finished event";
    EXPECT_EQ(EventCodes({opened.begin(), opened.begin() + 2}),
              (std::vector<int>{NETWORK_EVENT_CONNECT, NETWORK_EVENT_HANDSHAKE_FINISH}));
    EXPECT_LT(opened[1].seq, after_send);
    EXPECT_LT(returned - opened[1].at, 250ms) << "the send returns as the handshake finishes";
    ASSERT_TRUE(WaitFor([] { return g_journal.Count(kClient, 3) == 1; }));
    EXPECT_EQ(EventCodes(server_events()), kServerOpens);
    client->close(plain);
    ASSERT_TRUE(WaitFor([&] { return server_events().size() == 4; }));
    EXPECT_EQ(server_events().back().ev, NETWORK_EVENT_CLOSE);

    g_journal.Clear();
    CVeskMessageSession* bob = LoggedIn("bob", "builder");
    ASSERT_NE(bob, nullptr);
    EXPECT_STREQ(client->reference_user("bob", 3).get_passwd(), "builder");
    ASSERT_TRUE(WaitFor([&] { return server->get_user("bob", 3) != nullptr; }));
    EXPECT_EQ(server->get_user("alice", 5), nullptr) << "only the user who logged in";
    EXPECT_EQ(EventCodes(server_events()), kServerOpens);
    EXPECT_EQ(EventCodes(client_events()), kClientOpens);
    for (uint32_t tag = 1; tag <= 3; ++tag)
        EXPECT_GT(Send(bob, Tagged(5, 16, tag)), 0);
    ASSERT_TRUE(WaitFor([] { return g_journal.Count(kClient, 3) == 3; }));
    EXPECT_EQ(HandlersAndTags(g_journal.Calls(kServer)),
              (HandlerTags{{2, 1}, {kReplier, 1}, {2, 2}, {kReplier, 2}, {2, 3}, {kReplier, 3}}));
    EXPECT_EQ(HandlersAndTags(g_journal.Calls(kClient)),
              (HandlerTags{{2, 1001}, {3, 1001}, {2, 1002}, {3, 1002}, {2, 1003}, {3, 1003}}));
    EXPECT_EQ(g_journal.Count(kServer, kShadowed) + g_journal.Count(kClient, kShadowed), 0u);
    // Events and the client's messages: whole, and the client's name the server's port.
    for (const Call& call : g_journal.Where([](const Call& c) { return c.event || c.side == kClient; })) {
        EXPECT_EQ(call.type, call.event ? kSessionEvent : 7u);
        EXPECT_EQ(call.size, call.event ? kEventSize : 24u);
        EXPECT_EQ(call.claimed, call.size);
        EXPECT_TRUE(call.side == kServer || call.service == port) << call.service;
    }

    const std::string udp_port = std::to_string(FreePort(SOCK_DGRAM));
    ASSERT_EQ(client->open_udp_bind(udp_port.c_str(), AF_INET), 1);
    g_hold_loop = true;
    g_loop_held = false;
    const std::unique_ptr<CVeskMessageSession> datagram(client->open_udp(AF_INET));
    EXPECT_GT(datagram->sendto_udp_message(Tagged(9, 16, 0).data(), 16, "127.0.0.1", udp_port.c_str()), 0);
    EXPECT_TRUE(WaitFor([] { return g_loop_held.load(); })) << "the datagram handler holds the client's loop thread";
    EXPECT_GT(Send(bob, Tagged(5, 16, 4)), 0);
    EXPECT_TRUE(WaitFor([] { return g_journal.Count(kServer, kReplier) == 4; }))
        << "the message waited for the loop thread";
    g_hold_loop = false;
}

INSTANTIATE_TEST_SUITE_P(Ciphers, MessagingByAlgorithm,
                         ::testing::Values(VESKMESSYS_CRYPTO_ALGORITHM_NONE, VESKMESSYS_CRYPTO_ALGORITHM_3DES,
                                           VESKMESSYS_CRYPTO_ALGORITHM_BLOWFISH),
                         [](const auto& tested) { return std::string(kCipherNames[tested.param]); });

TEST(MessageSystemPools, CreateRefusesANegativeCountAndASecondCreationUntilReleased)
{
    using Create = int (CVeskMessageSystem::*)(int);
    using Release = void (CVeskMessageSystem::*)();
    const std::pair<Create, Release> pools[] = {
        {&CVeskMessageSystem::CreateSessions, &CVeskMessageSystem::ReleaseSessions},
        {&CVeskMessageSystem::CreateListenSessions, &CVeskMessageSystem::ReleaseListenSessions},
        {&CVeskMessageSystem::CreateUDPSessions, &CVeskMessageSystem::ReleaseUDPSessions},
    };
    const std::unique_ptr<CVeskMessageSystem> system(VeskMessageSystemCreate());
    for (const auto& [create, release] : pools) {
        EXPECT_EQ((*system.*create)(-1), 0);
        EXPECT_EQ((*system.*create)(2), 1);
        EXPECT_EQ((*system.*create)(3), 0);
        (*system.*release)();
        (*system.*release)();
        EXPECT_EQ((*system.*create)(3), 1);
    }
}

// The server's message handler that journals under the given id.
template <int Id>
constexpr ty_ExtensionCallFunction kHandler = OnMessage<kServer, Id>;

struct DispatchRow {
    const char* rule;
    std::vector<tagExtensionCallFunction> registered;
    std::vector<Bytes> sends;
    HandlerTags calls;                              // in the order they ran
    std::vector<std::pair<int, int>> deleted = {};  // type, the result delete gives
    std::vector<Bytes> refused = {};                // sent first, each refused with nothing sent
};

// The message that ends a row, by type and tag, and its handler.
constexpr uint32_t kEndOfRow = 0x7777;
constexpr int kEndOfRowHandler = 9;

// The rules by which a message finds its handlers, one row each on the same
// logged-in session; the list is emptied between rows, so a handler a row
// did not register must not be called.
TEST_F(Messaging, MessagesReachTheHandlersTheirTypeAndSizeSelect)
{
    constexpr uint32_t kUserMessage = VESKMESSYS_MESSAGE_TYPE_USER_MESSAGE;
    constexpr uint32_t kUserState = VESKMESSYS_MESSAGE_TYPE_USER_STATE;
    const Bytes user_message = Tagged(kUserMessage, sizeof(tagMessageDataUserMessage), 0);
    const Bytes user_state = Tagged(kUserState, sizeof(tagMessageDataUserState), 0);
    const DispatchRow rows[] = {
        {"the messages of one send, in stream order, the handler for all types first",
         {{kAllTypes, 0, kHandler<1>}, {1, 12, kHandler<2>}, {2, 20, kHandler<3>}},
         {Tagged(1, 12, 1) + Tagged(2, 20, 2) + Tagged(1, 12, 3) + Tagged(3, 8, 0) + Tagged(2, 20, 5)},
         {{1, 1}, {2, 1}, {1, 2}, {3, 2}, {1, 3}, {2, 3}, {1, 0}, {1, 5}, {3, 5}}},
        {"a handler added twice is called twice; a size other than the registered one reaches only handlers for "
         "all types",
         {{kAllTypes, 0, kHandler<1>}, {5, 16, kHandler<2>}, {kAllTypes, 0, kHandler<1>}, {5, 16, kHandler<2>}},
         {Tagged(5, 20, 1), Tagged(5, 16, 2)},
         {{1, 1}, {1, 1}, {1, 2}, {1, 2}, {2, 2}, {2, 2}}},
        {"delete removes the first handler of a type, not a position",
         {{5, 16, kHandler<1>},
          {kAllTypes, 0, kHandler<2>},
          {9, 16, kHandler<3>},
          {5, 16, kHandler<4>},
          {kAllTypes, 0, kHandler<5>}},
         {Tagged(5, 16, 1) + Tagged(9, 16, 2)},
         {{5, 1}, {4, 1}, {5, 2}, {3, 2}},
         {{5, 1}, {static_cast<int>(kAllTypes), 1}, {1, 0}}},
        {"user messages, user state and types above the extension range reach no handler",
         {{kUserMessage, sizeof(tagMessageDataUserMessage), kHandler<1>},
          {kUserState, sizeof(tagMessageDataUserState), kHandler<2>},
          {0x10001, 16, kHandler<3>},
          {0x20000, 16, kHandler<4>},
          {kAllTypes, 0, kHandler<5>},
          {5, 16, kHandler<6>}},
         {user_message, user_message + Tagged(5, 16, 1), user_state + Tagged(5, 16, 2),
          Tagged(0x10000, 16, 9) + Tagged(0x10001, 16, 9) + Tagged(0x20000, 16, 9) + Tagged(5, 16, 3),
          Tagged(5, 16, 4)},
         {{5, 1}, {6, 1}, {5, 2}, {6, 2}, {5, 3}, {6, 3}, {5, 4}, {6, 4}}},
        // One send is one record of whole messages.
        {"fewer bytes than a header, or headers whose sizes do not add up to the bytes given, are refused",
         {{kAllTypes, 0, kHandler<1>}},
         {Tagged(5, 16, 2) + Tagged(6, 12, 3)},
         {{1, 2}, {1, 3}},
         {},
         {Bytes{}, Bytes{5, 0, 0, 0}, Bytes{5, 0, 0, 0, 7, 0, 0}, Tagged(5, 16, 666, 12), Tagged(5, 16, 666, 20),
          Tagged(5, 16, 666, 4), Tagged(5, 16, 666) + Tagged(5, 16, 666, 12), Tagged(5, 16, 666) + Bytes{5, 0, 0, 0}}},
    };
    ASSERT_NO_FATAL_FAILURE(Start(VESKMESSYS_CRYPTO_ALGORITHM_3DES));
    CVeskMessageSession* handle = LoggedIn("alice", "wonderland");
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->send_message(nullptr, 16), -1);
    for (const DispatchRow& row : rows) {
        SCOPED_TRACE(row.rule);
        ASSERT_EQ(server->delete_allExtensionCallFunction(), 1);
        g_journal.Clear();
        for (const tagExtensionCallFunction& entry : row.registered)
            ASSERT_EQ(server->add_ExtensionCallFunction(entry), 1);
        for (const auto& [type, result] : row.deleted)
            EXPECT_EQ(server->delete_ExtensionCallFunction(type), result) << type;
        server->add_ExtensionCallFunction(Entry(kEndOfRow, 16, OnMessage<kServer, kEndOfRowHandler>));
        for (const Bytes& sent : row.refused)
            EXPECT_EQ(Send(handle, sent), -1) << sent.size();
        for (const Bytes& sent : row.sends)
            EXPECT_GT(Send(handle, sent), 0);
        ASSERT_GT(Send(handle, Tagged(kEndOfRow, 16, kEndOfRow)), 0);

        ASSERT_TRUE(WaitFor([] { return g_journal.Count(kServer, kEndOfRowHandler) == 1; }));
        EXPECT_EQ(HandlersAndTags(g_journal.Where([](const Call& c) { return c.tag != kEndOfRow; })), row.calls);
    }
    EXPECT_TRUE(handle->is_session_used());
}

CVeskMessageSession g_last_sender;

int RecordLastSender(CVeskMessageSession* session, const char* host, const char* service, const void* data, size_t size)
{
    g_last_sender = *session;  // before the journal entry that the test waits for
    RecordMessage(kServer, 2, host, service, data, size, session);
    return 0;
}

// "tag user" for each message of type 5, "handshake user" and "close user"
// for those events, in the order the server's handlers saw them.
std::vector<std::string> UsersSeen()
{
    std::vector<std::string> seen;
    for (const Call& call : g_journal.Calls(kServer)) {
        if (call.handler == 2)
            seen.push_back(std::to_string(call.tag) + " " + call.user);
        if (call.event && (call.ev == NETWORK_EVENT_HANDSHAKE_FINISH || call.ev == NETWORK_EVENT_CLOSE))
            seen.push_back((call.ev == NETWORK_EVENT_CLOSE ? "close " : "handshake ") + call.user);
    }
    return seen;
}

// Sessions on the library's threads while the application works beside them.
// A user logs in again and again while another thread reads and changes both
// systems' user lists: the user keeps one entry on each side, which does not
// move. Each session sends a message, waits for it to arrive, sends another
// and closes at once: on the server each session's calls run ACCEPT,
// HANDSHAKE_FINISH, READ, its messages in the order sent, and CLOSE last.
// Then, under the login policy, the server's handlers see only the messages of
// sessions that have logged in, each naming its user; a stranger's, before its
// login or after a refused one, reach no handler, and a stranger that never
// logs in is closed once the login deadline has passed.
TEST_F(Messaging, SessionsStayInOrderUserListsStaySoundAndTheLoginPolicyHolds)
{
    server->add_ExtensionCallFunction(Entry(kSessionEvent, kEventSize, OnEvent<kServer, kEvents>));
    server->add_ExtensionCallFunction(Entry(kAllTypes, 0, OnMessage<kServer, 2>));
    ASSERT_NO_FATAL_FAILURE(Start(VESKMESSYS_CRYPTO_ALGORITHM_BLOWFISH));
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        const auto deadline = Clock::now() + 60s;
        for (long i = 0; i < 5000000 && !stop && Clock::now() < deadline; ++i) {
            CVeskMessageSystem& system = i % 2 == 0 ? *server : *client;
            const bool present = system.get_user("alice", 5) != nullptr;
            EXPECT_TRUE(!present || system.reference_user("alice", 5).get_uid_size() == 5u);
            if (i % 16 == 0) {
                system.add_user("zed", 3, "pw", 2);
                system.delete_user("zed", 3);
            }
        }
    });
    constexpr uint32_t kLogins = 200;
    const CVeskMessageUser* entry = nullptr;
    for (uint32_t i = 0; i < kLogins; ++i) {
        SCOPED_TRACE(i);
        CVeskMessageSession* handle = Login("alice", "wonderland");
        ASSERT_NE(handle, nullptr);
        // The server handles the login before the message sent after it.
        EXPECT_GT(Send(handle, Tagged(5, 16, 2 * i)), 0);
        ASSERT_TRUE(WaitFor([&] { return g_journal.Count(kServer, 2) == 2 * i + 1; }));
        entry = i == 0 ? server->get_user("alice", 5) : entry;
        EXPECT_EQ(server->get_user("alice", 5), entry) << "a login again reuses the user's entry";
        EXPECT_GT(Send(handle, Tagged(6, 12, 2 * i + 1)), 0);
        client->close(handle);
        handles.clear();
    }
    stop = true;
    reader.join();
    for (CVeskMessageSystem* system : {server.get(), client.get()}) {
        EXPECT_EQ(system->delete_user("alice", 5), 1);
        EXPECT_EQ(system->delete_user("alice", 5), 0) << "one entry however many logins";
    }
    EXPECT_EQ(server->get_user("zed", 3), nullptr);

    const auto closed = [](const Call& call) { return call.ev == NETWORK_EVENT_CLOSE; };
    ASSERT_TRUE(WaitFor([&] { return g_journal.Where(closed).size() == kLogins; }));
    std::map<std::string, std::vector<Call>> by_peer;
    for (const Call& call : g_journal.Calls(kServer))
        by_peer[call.service].push_back(call);
    EXPECT_EQ(by_peer.size(), kLogins);
    for (const auto& [peer, calls] : by_peer) {
        SCOPED_TRACE(peer);
        ASSERT_GE(calls.size(), 6u);
        EXPECT_EQ(EventCodes({calls.begin(), calls.begin() + 3}), kServerOpens);
        for (size_t i = 3; i + 1 < calls.size(); ++i)
            EXPECT_TRUE(!calls[i].event || calls[i].ev == NETWORK_EVENT_READ) << i;
        EXPECT_EQ(calls.back().ev, NETWORK_EVENT_CLOSE);
        const std::vector<uint32_t> tags = Tags(calls);
        EXPECT_TRUE(tags.size() == 2 && tags[1] == tags[0] + 1) << ::testing::PrintToString(tags);
    }

    tagVeskMessageSystemLimits limits = server->get_limits();
    limits.m_require_login = true;
    limits.m_login_deadline_ms = 250;
    ASSERT_EQ(server->set_limits(limits), 1);
    ASSERT_EQ(server->delete_allExtensionCallFunction(), 1);
    server->add_ExtensionCallFunction(Entry(kAllTypes, 0, OnMessage<kServer, 1>));
    server->add_ExtensionCallFunction(Entry(5, 16, RecordLastSender));
    server->add_ExtensionCallFunction(Entry(kSessionEvent, kEventSize, OnEvent<kServer, kEvents>));
    g_journal.Clear();
    CVeskMessageSession* carol = LoggedIn("carol", "singer");
    ASSERT_NE(carol, nullptr);
    ASSERT_GT(Send(carol, Tagged(5, 16, 5)), 0);
    const std::vector<std::string> carol_seen = {"handshake -", "5 carol"};
    ASSERT_TRUE(WaitFor([&] { return UsersSeen() == carol_seen; }));
    const CVeskMessageSession on_server = g_last_sender;
    EXPECT_EQ(UserOf(&on_server), "carol");
    char uid[CVeskMessageSession::kAuthenticatedUidCapacity] = "?";
    EXPECT_TRUE(carol->get_authenticated_uid(uid, sizeof uid));
    EXPECT_STREQ(uid, "carol") << "the client's side knows its user too";
    EXPECT_FALSE(carol->get_authenticated_uid(uid, 5)) << "no room for the id and its NUL";
    EXPECT_STREQ(uid, "") << "emptied";

    struct Row {
        const char* who;
        Bytes sent;  // by a client connected without a login
        std::vector<std::string> seen;
    };
    const Row rows[] = {
        {"a stranger who logs in later",
         Tagged(5, 16, 1) + LoginRequest("alice", "wonderland") + Tagged(5, 16, 2),
         {"handshake -", "2 alice"}},
        // The client closes its session on the refusal's answer.
        {"a stranger refused, then logged in",
         LoginRequest("bob", "wrong") + Tagged(5, 16, 3) + LoginRequest("bob", "builder") + Tagged(5, 16, 4),
         {"handshake -", "4 bob", "close bob"}},
        // Closed by the login deadline; the logged-in session, older, stays.
        {"a stranger who says nothing", {}, {"handshake -", "close -"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.who);
        g_journal.Clear();
        CVeskMessageSession* stranger = ConnectPlain();
        ASSERT_NE(stranger, nullptr);
        if (!row.sent.empty()) {
            ASSERT_GT(Send(stranger, row.sent), 0);
        }
        ASSERT_TRUE(WaitFor([&] { return UsersSeen().size() >= row.seen.size(); }, 10s));
        EXPECT_EQ(UsersSeen(), row.seen);
        EXPECT_EQ(Tags(g_journal.Calls(kServer, 1)), Tags(g_journal.Calls(kServer, 2)))
            << "the handler for all types saw no more";
    }
    EXPECT_TRUE(carol->is_session_used());

    // The id goes with the session, on both sides.
    client->close(carol);
    EXPECT_FALSE(carol->get_authenticated_uid(uid, sizeof uid));
    ASSERT_TRUE(WaitFor([&] { return !on_server.is_session_used(); }));
    EXPECT_EQ(UserOf(&on_server), "-");
    ASSERT_TRUE(WaitFor([&] { return UsersSeen().back() == "close carol"; })) << "still known in its close event";
}

// Sends from the events that open a session (accept, connect) and from the
// handshake-finished event a message of type 9 tagged with the event and side:
// refused at once from the first two, sent from the last.
template <int Side>
int SendFromEvent(CVeskMessageSession* session, const char* host, const char* service, const void* data, size_t size)
{
    const int ev = RecordEvent(Side, kEvents, session, host, service, data, size);
    if (ev != NETWORK_EVENT_ACCEPT && ev != NETWORK_EVENT_CONNECT && ev != NETWORK_EVENT_HANDSHAKE_FINISH)
        return 0;
    const auto start = Clock::now();
    const int result = Send(session, Tagged(9, 12, static_cast<uint32_t>(ev + Side)));
    EXPECT_LT(Clock::now() - start, 500ms) << "refused without waiting";
    EXPECT_EQ(result > 0 ? 1 : result, ev == NETWORK_EVENT_HANDSHAKE_FINISH ? 1 : -1) << "side " << Side << ", " << ev;
    return 0;
}

// Where nothing can carry the handshake while the caller would wait, sending
// is refused at once: from the accept event on a library thread, inside the
// connect event (the caller's own connect carries it) and on a system whose
// threads were not started. The session counts as finished when its event is
// raised: a greeting sent from that handler leaves, on both sides. Sends
// waiting for a handshake that never comes hold their session and end when it
// is released: the application closes it, the peer does, or the system is
// destroyed, and the senders then leave without touching what it freed. A
// handle without a session is refused.
TEST_F(Messaging, SendsTheHandshakeCannotCarryAreRefusedOrEndWithTheirSession)
{
    server->add_ExtensionCallFunction(Entry(kSessionEvent, kEventSize, SendFromEvent<kServer>));
    client->add_ExtensionCallFunction(Entry(kSessionEvent, kEventSize, SendFromEvent<kClient>));
    server->add_ExtensionCallFunction(Entry(9, 12, OnMessage<kServer, 2>));
    client->add_ExtensionCallFunction(Entry(9, 12, OnMessage<kClient, 2>));
    ASSERT_NO_FATAL_FAILURE(Start(VESKMESSYS_CRYPTO_ALGORITHM_3DES));
    ASSERT_NE(ConnectPlain(), nullptr);

    ASSERT_TRUE(WaitFor([] { return g_journal.Count(kServer, 2) == 1 && g_journal.Count(kClient, 2) == 1; }));
    EXPECT_EQ(Tags(g_journal.Calls(kServer, 2)), std::vector<uint32_t>{NETWORK_EVENT_HANDSHAKE_FINISH + kClient});
    EXPECT_EQ(Tags(g_journal.Calls(kClient, 2)), std::vector<uint32_t>{NETWORK_EVENT_HANDSHAKE_FINISH + kServer});
    EXPECT_EQ(EventCodes(g_journal.Calls(kServer, kEvents)), kServerOpens);
    EXPECT_EQ(EventCodes(g_journal.Calls(kClient, kEvents)), kClientOpens);
    for (const bool init : {false, true}) {
        SCOPED_TRACE(init ? "before DispatchSocketEvent" : "before InitSocketEvent");
        const std::unique_ptr<CVeskMessageSystem> caller(VeskMessageSystemCreate());
        ASSERT_EQ(caller->CreateSessions(2), 1);
        EXPECT_EQ(init ? caller->InitSocketEvent() : 1, 1);
        const auto start = Clock::now();
        const std::unique_ptr<CVeskMessageSession> handle(caller->connect("127.0.0.1", port.c_str()));
        EXPECT_EQ(handle ? Send(handle.get(), Tagged(5, 16, 1)) : -1, -1);
        EXPECT_LT(Clock::now() - start, 2s) << "refused without waiting";
    }

    CVeskMessageSession empty;
    EXPECT_EQ(Send(&empty, Tagged(5, 16, 1)), -1);
    EXPECT_EQ(empty.sendto_udp_message(Tagged(5, 16, 1).data(), 16, "127.0.0.1", port.c_str()), -1);
    // A listener that accepts but never answers, so no handshake finishes.
    int silent_port = 0;
    const int silent = ListenOnLoopback(&silent_port);
    constexpr size_t kSenders = 3;
    enum Release { kApplicationCloses, kPeerCloses, kSystemDestroyed };
    for (const Release release : {kApplicationCloses, kPeerCloses, kSystemDestroyed}) {
        SCOPED_TRACE(release);
        std::vector<CVeskMessageSession*> waiting;
        std::vector<int> peers;
        for (size_t i = 0; i < kSenders; ++i) {
            waiting.push_back(Keep(client->connect("127.0.0.1", std::to_string(silent_port).c_str())));
            ASSERT_NE(waiting.back(), nullptr);
            peers.push_back(AcceptWithin(silent));
        }
        std::atomic<size_t> calling{0};
        std::atomic<size_t> done{0};
        std::vector<int> results(kSenders, 1);
        std::vector<std::thread> senders;
        for (size_t i = 0; i < kSenders; ++i)
            senders.emplace_back([&, i] {
                ++calling;
                results[i] = Send(waiting[i], Tagged(5, 16, 1));
                ++done;
            });
        ASSERT_TRUE(WaitFor([&] { return calling.load() == kSenders; }));
        std::this_thread::sleep_for(50ms);  // lets the sends reach their wait
        EXPECT_EQ(done.load(), 0u);

        const auto released = Clock::now();
        for (size_t i = 0; i < kSenders; ++i)
            if (release == kApplicationCloses)
                client->close(waiting[i]);
            else if (release == kPeerCloses)
                ::close(std::exchange(peers[i], -1));
        if (release == kSystemDestroyed)
            client.reset();
        const bool ended = WaitFor([&] { return done.load() == kSenders; });
        const auto took = Clock::now() - released;
        for (size_t i = 0; !ended && client != nullptr && i < kSenders; ++i)
            client->close(waiting[i]);  // frees the senders before the join
        Join(std::move(senders));
        for (const int peer : peers)
            ::close(peer);
        EXPECT_TRUE(ended);
        for (size_t i = 0; i < kSenders; ++i) {
            EXPECT_LE(results[i], 0);
            EXPECT_FALSE(waiting[i]->is_session_used());
        }
        if (release != kSystemDestroyed) {
            EXPECT_EQ(results, std::vector<int>(kSenders, 0));
            EXPECT_LT(took, 250ms) << "woken by the release, not by a periodic check";
        }
    }
    ::close(silent);
}

// A handle names one session for its whole life. Once that session has ended
// (closed and its slot taken by the next connection, or its pool released)
// the handle reports failure for every operation, closing it again reaches no
// other session, and copies taken while it lived stay equal to it; the same
// holds for datagram handles.
TEST_F(Messaging, StaleHandleReachesNothing)
{
    server->add_ExtensionCallFunction(Entry(kAllTypes, 0, OnMessage<kServer, 1>));
    client->ReleaseSessions();
    ASSERT_EQ(client->CreateSessions(1), 1) << "one slot, so the next connection takes it";
    ASSERT_EQ(client->CreateUDPSessions(1), 1);
    ASSERT_NO_FATAL_FAILURE(Start(VESKMESSYS_CRYPTO_ALGORITHM_BLOWFISH));
    using Handle = std::unique_ptr<CVeskMessageSession>;
    // The slots a closed session leaves are free once its release has ended.
    const auto open_both = [&](Handle* tcp, Handle* udp) {
        return WaitFor([&] {
            if (*tcp == nullptr)
                tcp->reset(client->connect("127.0.0.1", port.c_str()));
            if (*udp == nullptr)
                udp->reset(client->open_udp(AF_INET));
            return *tcp != nullptr && *udp != nullptr;
        });
    };
    const auto expect_stale = [&](const Handle& tcp, const Handle& udp, const CVeskMessageSession& copy) {
        const Bytes stray = Tagged(5, 16, 666);
        EXPECT_FALSE(tcp->is_session_used());
        EXPECT_FALSE(udp->is_udp_session_used());
        EXPECT_LE(Send(tcp.get(), stray), 0);
        EXPECT_EQ(udp->sendto_udp_message(stray.data(), stray.size(), "127.0.0.1", port.c_str()), -1);
        client->close(tcp.get());
        client->close_udp(udp.get());
        EXPECT_TRUE(copy == *tcp);
    };

    Handle first;
    Handle first_datagram;
    ASSERT_TRUE(open_both(&first, &first_datagram));
    const CVeskMessageSession first_copy(*first);
    client->close(first.get());
    client->close_udp(first_datagram.get());
    Handle second;
    Handle second_datagram;
    ASSERT_TRUE(open_both(&second, &second_datagram));
    expect_stale(first, first_datagram, first_copy);
    EXPECT_FALSE(*first == *second);
    EXPECT_FALSE(*first_datagram == *second_datagram);
    EXPECT_TRUE(second->is_session_used()) << "closing the stale handle left the new session alone";
    EXPECT_TRUE(second_datagram->is_udp_session_used());
    EXPECT_GT(Send(second.get(), Tagged(5, 16, 1)), 0);
    ASSERT_TRUE(WaitFor([&] { return g_journal.Count(kServer, 1) == 1; }));

    const CVeskMessageSession second_copy(*second);
    client->close(second.get());
    client->close_udp(second_datagram.get());
    client->ReleaseSessions();
    client->ReleaseUDPSessions();
    expect_stale(second, second_datagram, second_copy);
    EXPECT_EQ(Tags(g_journal.Calls(kServer, 1)), std::vector<uint32_t>{1}) << "nothing of the stale handles";
}

}  // namespace
