// Hostile peers against a running server. Each row of the tables below is
// played by a raw client (raw_peer.h) against a message system that listens
// with Triple-DES and a user list; the server's reaction is asserted where the
// public interface shows it (session events, handler calls, what the raw
// socket receives), and after every row a well-behaved library client must
// still complete its handshake, log in and get a message echoed.
#include <cstddef>
#include <functional>

#include "message_fixture.h"

using namespace VeskMessageSystem;
using VeskNetworkSystem::NETWORK_EVENT_CLOSE;
using VeskNetworkSystem::NETWORK_EVENT_HANDSHAKE_FINISH;

namespace {

using namespace vesk_test;
using namespace std::chrono_literals;

constexpr uint32_t kEchoType = 5;
constexpr uint16_t kEchoSize = 16;
// Asks the server to close the session.
constexpr uint32_t kCloseMeType = 6;
// Asks for answers until the session's send backlog is full (at most 16 MB,
// beyond the socket buffers and the backlog), for a peer that never reads.
constexpr uint32_t kFloodMeType = 7;
constexpr int kServerSessions = 16;
// The deadlines the deadline rows set.
constexpr uint32_t kDeadlineMs = 300;
// The journal's handler ids.
constexpr int kDelivered = 1;
constexpr int kEchoed = 2;

// A 16-byte message whose header claims `claimed` bytes, tagged at offset 8.
Bytes Note(uint32_t tag, uint16_t claimed = kEchoSize, uint32_t type = kEchoType)
{
    return Tagged(type, kEchoSize, tag, claimed);
}

// The lines a system logged, each after its level.
struct LogLines {
    static void Capture(void* context, int level, const char* text)
    {
        auto* log = static_cast<LogLines*>(context);
        std::lock_guard<std::mutex> lock(log->mutex);
        log->lines.push_back(std::to_string(level) + " " + text);
    }
    bool Has(int level, const std::string& text)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::count(lines.begin(), lines.end(), std::to_string(level) + " " + text) > 0;
    }

    std::mutex mutex;
    std::vector<std::string> lines;
};

CVeskMessageSystem* g_server = nullptr;

int OnServerEvent(CVeskMessageSession* session, const char* host, const char* service, const void* data, size_t size)
{
    // Reads are not kept: a flooding peer raises one per parse pass.
    if (static_cast<const tagMessageDataSesssionEvent*>(data)->m_ev != VeskNetworkSystem::NETWORK_EVENT_READ)
        RecordEvent(kServer, 0, session, host, service, data, size);
    return 0;
}

int EchoOnServer(CVeskMessageSession* session, const char*, const char*, const void* data, size_t size)
{
    session->send_message(data, size);
    return 0;
}

// A session the server closes itself gets no close event: its end reason
// goes into the journal as if it had.
int CloseOnServer(CVeskMessageSession* session, const char* host, const char* service, const void*, size_t)
{
    g_server->close(session);
    tagMessageDataSesssionEvent end{};
    end.m_ev = NETWORK_EVENT_CLOSE;
    RecordEvent(kServer, 0, session, host, service, &end, sizeof end);
    return 0;
}

int FloodOnServer(CVeskMessageSession* session, const char*, const char*, const void*, size_t)
{
    static const Bytes answer = Note(0, 16000) + Bytes(16000 - kEchoSize, 0);
    for (int i = 0; i < 1000 && session->send_message(answer.data(), answer.size()) > 0; ++i) {
    }
    return 0;
}

// A raw client of the server under test. It connects from 127.0.0.2, so that
// its address, as the server's handlers are told it, never names a library
// client that once had the same port.
struct Intruder : RawClientPeer {
    explicit Intruder(const std::string& port) : RawClientPeer(ConnectTo(std::stoi(port), INADDR_LOOPBACK + 1))
    {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
        peer = "127.0.0.2 " + std::to_string(ntohs(local.sin_port));
    }
    ~Intruder()
    {
        if (fd >= 0)
            ::close(fd);
    }

    bool LogIn()
    {
        if (!Handshake())
            return false;
        SendData(LoginRequest("alice", "wonderland"));
        const auto answer = ReadData();
        return answer && answer->size() == sizeof(tagMessageDataUserAuthResult) &&
               LittleEndian32(answer->data() + 8) == 1;
    }
    // The tag of the next echo the server sends, or 0.
    uint32_t ReadEcho() const
    {
        const auto echo = ReadData();
        return echo && echo->size() == kEchoSize ? LittleEndian32(echo->data() + 8) : 0;
    }
    void Drop(bool reset)
    {
        if (reset) {
            const linger abort_on_close{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
        }
        ::close(fd);
        fd = -1;
    }
    // The server closes the connection without sending anything more.
    bool ClosedSilently() const
    {
        unsigned char byte = 0;
        return ReadBytes(fd, 1, 5s).empty() && ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
    }

    // The server's handler calls for this connection, all or its close
    // events; a later raw client may be given the same port.
    static constexpr bool kEndsOnly = true;
    std::vector<Call> Calls(bool ends_only = false) const
    {
        return g_journal.Where([&](const Call& c) {
            return c.seq > since && c.Peer() == peer && (!ends_only || (c.event && c.ev == NETWORK_EVENT_CLOSE));
        });
    }

    bool ServerClosed(std::chrono::milliseconds limit = 5s) const
    {
        return WaitFor([&] { return !Calls(kEndsOnly).empty(); }, limit);
    }

    std::string peer;
    const long since = g_journal.Mark();
};

// One row: what the raw client does, and the reason the server then ends the
// session with (as get_end_reason tells it), or VESK_END_NONE where it keeps
// the session; kEitherReason where the peer's close races the record before
// it. Then the tags of the messages the server delivers, and the limits the
// row sets beyond the defaults.
constexpr int kEitherReason = -1;
struct Row {
    const char* input;
    std::function<void(Intruder&)> play;
    int reason;
    std::vector<uint32_t> delivered = {};
    std::function<void(tagVeskMessageSystemLimits&)> limit = nullptr;
};

std::function<void(Intruder&)> Sends(const Bytes& bytes)
{
    return [bytes](Intruder& intruder) { WriteAll(intruder.fd, bytes); };
}

class HostilePeers : public MessageSystems {
protected:
    void SetUp() override
    {
        MessageSystems::SetUp();
        server->add_ExtensionCallFunction({VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT, 0, OnServerEvent});
        server->add_ExtensionCallFunction({kAllTypes, 0, OnMessage<kServer, kDelivered>});
        server->add_ExtensionCallFunction({kEchoType, kEchoSize, EchoOnServer});
        server->add_ExtensionCallFunction({kCloseMeType, 8, CloseOnServer});
        server->add_ExtensionCallFunction({kFloodMeType, 8, FloodOnServer});
        server->set_log_function(LogLines::Capture, &server_log);
        g_server = server.get();
        client->add_ExtensionCallFunction({kEchoType, kEchoSize, OnMessage<kClient, kEchoed>});
        Start(VESKMESSYS_CRYPTO_ALGORITHM_3DES);
    }

    // A library client completes the handshake, logs in and gets an echo.
    void ExpectServerStillServes()
    {
        client->delete_alluser();
        CVeskMessageSession* handle = LoggedIn("alice", "wonderland");
        ASSERT_NE(handle, nullptr);
        const uint32_t tag = ++next_tag;
        EXPECT_GT(Send(handle, Note(tag)), 0);
        EXPECT_TRUE(WaitFor([&] {
            const auto echoed = Tags(g_journal.Calls(kClient, kEchoed));
            return std::find(echoed.begin(), echoed.end(), tag) != echoed.end();
        })) << "echoed";
        client->close(handle);
    }

    // Plays each row on a fresh raw connection. A row the server closes on
    // gets no answer to its last input and delivers nothing; a row it keeps
    // open delivers exactly the row's tags.
    void PlayRows(const std::vector<Row>& rows)
    {
        for (const Row& row : rows) {
            SCOPED_TRACE(row.input);
            tagVeskMessageSystemLimits limits = VeskMessageSystemDefaultLimits();
            if (row.limit)
                row.limit(limits);
            ASSERT_EQ(server->set_limits(limits), 1);
            const tagVeskMessageSystemCounters before = SettledCounters();
            Intruder intruder(port);
            row.play(intruder);
            if (row.reason == VESK_END_NONE) {
                // The row has had its answers, so a closed session would be
                // reported by now.
                EXPECT_TRUE(intruder.Calls(Intruder::kEndsOnly).empty()) << "the session stays open";
            } else {
                EXPECT_TRUE(intruder.fd < 0 || intruder.ClosedSilently()) << "closed without an answer";
                EXPECT_TRUE(intruder.ServerClosed()) << "the server reports the session closed";
                if (row.reason != kEitherReason)
                    ExpectEndCountedAndLogged(intruder, row.reason, before);
            }
            EXPECT_EQ(Tags(intruder.Calls()), row.delivered);
            const auto events = EventCodes(intruder.Calls());
            EXPECT_LE(std::count(events.begin(), events.end(), NETWORK_EVENT_HANDSHAKE_FINISH), 1)
                << "the handshake ends once";
            ExpectServerStillServes();
        }
    }

    // The session's one close event tells the reason, the reason's counter
    // grows by one and the log names the peer and the reason.
    void ExpectEndCountedAndLogged(const Intruder& intruder, int reason, const tagVeskMessageSystemCounters& before)
    {
        std::vector<int> reasons;
        for (const Call& end : intruder.Calls(Intruder::kEndsOnly))
            reasons.push_back(end.reason);
        EXPECT_EQ(reasons, std::vector<int>{reason});
        std::string peer = intruder.peer;
        peer[peer.find(' ')] = ':';
        const std::string line = "session " + peer + " ended: " + VeskSessionEndReasonText(reason);
        const bool ordinary = reason == VESK_END_PEER_CLOSED || reason == VESK_END_CLOSED_BY_APPLICATION;
        EXPECT_TRUE(WaitFor([&] { return server_log.Has(ordinary ? VESK_LOG_INFO : VESK_LOG_WARNING, line); }, 30s))
            << line;
        const tagVeskMessageSystemCounters after = SettledCounters();
        EXPECT_EQ(after.m_sessions_ended[reason] - before.m_sessions_ended[reason], 1u);
        EXPECT_EQ(after.m_handshakes_failed - before.m_handshakes_failed,
                  reason == VESK_END_HANDSHAKE_FAILED ? 1u : 0u);
    }

    // The server's counters once every session it opened has ended.
    tagVeskMessageSystemCounters SettledCounters() const
    {
        tagVeskMessageSystemCounters counters{};
        EXPECT_TRUE(WaitFor([&] {
            server->get_counters(&counters);
            uint64_t ended = 0;
            for (const uint64_t count : counters.m_sessions_ended)
                ended += count;
            return ended == counters.m_sessions_accepted + counters.m_sessions_connected;
        })) << "every session counted as ended";
        return counters;
    }

    LogLines server_log;
    uint32_t next_tag = 0x10000;
};

// One record or handshake message out of place, malformed or garbled for
// each way a live server ends a session over it, before the handshake and
// after the login. The handshake table names the reason of every refused
// message; the fuzz corpora hold more of the same kinds.
std::vector<Row> RefusedRows()
{
    const auto after_login = [](std::function<Bytes(Intruder&)> last) {
        return [last](Intruder& intruder) {
            ASSERT_TRUE(intruder.LogIn());
            WriteAll(intruder.fd, last(intruder));
        };
    };
    return {
        {"a ChangeCipherSpec first, then a data record", Sends(ChangeCipherSpec() + Record(3, Bytes(16, 1))),
         VESK_END_BAD_RECORD},
        {"record type 4", Sends(Record(4, {1})), VESK_END_BAD_RECORD},
        {"record type 4, then reset at once",
         [](Intruder& i) {
             WriteAll(i.fd, Record(4, {1}));
             i.Drop(true);
         },
         kEitherReason},
        {"a ClientHello without the server's algorithm", Sends(ClientHello({0, 2})), VESK_END_HANDSHAKE_FAILED},
        {"after the login, a record whose body never comes, until the peer goes",
         [](Intruder& i) {
             ASSERT_TRUE(i.LogIn());
             WriteAll(i.fd, Bytes{3, 2, 0} + Be24(100) + Bytes(10, 1));
             EXPECT_TRUE(NothingToRead(i.fd, 200)) << "the server waits";
             i.Drop(false);
         },
         VESK_END_PEER_CLOSED},
        {"an encrypted record that does not decrypt", after_login([](Intruder&) { return Record(3, Random(16)); }),
         VESK_END_BAD_RECORD},
        {"a Finish again after the handshake", after_login([](Intruder& i) { return i.Finish(); }),
         VESK_END_HANDSHAKE_FAILED},
    };
}

// A row that ends a session ends it for one reason, silently. The server's
// handle tells the reason in the close event (or after closing the session
// itself), the reason's counter grows by one and the log names the peer and
// the reason; a client's connect deadline and a client system deleted with a
// session open are told on the client's side, and a listen that fails goes to
// the log function, never to stderr. Other rows are inputs the server answers,
// or skips, and goes on. A ClientHello followed by bytes its record holds
// beyond the message, or a second one before the key exchange, is answered,
// and the handshake goes on; one after the handshake is answered too, in the
// clear as every handshake record, and changes nothing. A login answer is the
// server's to give: one sent to the server adds no user to its list. A message
// header that claims fewer than 8 bytes, or more than its read holds, ends the
// cut of that read: the message before it arrives and is echoed, the rest of
// the read is dropped, and the next read is cut afresh. Connections dropped
// anywhere are closed and deliver nothing. First, one session's handshake,
// login and echo: the records and bytes each way, headers included, as the
// raw peer wrote and read them.
TEST_F(HostilePeers, EverySessionEndsSilentlyForItsReasonOrGoesOnPastWhatTheServerSkips)
{
    const tagVeskMessageSystemCounters before = SettledCounters();
    {
        Intruder intruder(port);
        ASSERT_TRUE(intruder.Handshake());
        const Bytes requests = intruder.DataRecord(LoginRequest("alice", "wonderland")) +
                               intruder.DataRecord(LoginRequest("alice", "guess")) + intruder.DataRecord(Note(1));
        WriteAll(intruder.fd, requests);
        std::vector<WireRecord> answers;
        ASSERT_TRUE(intruder.ReadRecords(3, &answers));
        // The ClientHello is 15 bytes, flight 3 291, flight 4 21.
        uint64_t bytes_sent = 21;
        for (const auto* records : {&intruder.flight_two, &answers})
            for (const WireRecord& record : *records)
                bytes_sent += record.wire.size();
        tagVeskMessageSystemCounters after{};
        EXPECT_TRUE(WaitFor([&] {
            server->get_counters(&after);
            return after.m_records_received - before.m_records_received == 1 + 3 + 3;
        }));
        EXPECT_EQ(after.m_sessions_accepted - before.m_sessions_accepted, 1u);
        EXPECT_EQ(after.m_handshakes_finished - before.m_handshakes_finished, 1u);
        EXPECT_EQ(after.m_logins_accepted - before.m_logins_accepted, 1u);
        EXPECT_EQ(after.m_logins_refused - before.m_logins_refused, 1u);
        EXPECT_EQ(after.m_bytes_received - before.m_bytes_received, 15 + 291 + requests.size());
        EXPECT_EQ(after.m_records_sent - before.m_records_sent, 3u + 2u + 3u);
        EXPECT_EQ(after.m_bytes_sent - before.m_bytes_sent, bytes_sent);
    }

    const Row more[] = {
        {"silent from the start",
         [](Intruder&) {},
         VESK_END_HANDSHAKE_DEADLINE,
         {},
         [](tagVeskMessageSystemLimits& l) { l.m_handshake_deadline_ms = kDeadlineMs; }},
        {"silent after the handshake, logins required",
         [](Intruder& i) { ASSERT_TRUE(i.Handshake()); },
         VESK_END_LOGIN_DEADLINE,
         {},
         [](tagVeskMessageSystemLimits& l) {
             l.m_require_login = true;
             l.m_login_deadline_ms = kDeadlineMs;
         }},
        {"silent after the login",
         [](Intruder& i) { ASSERT_TRUE(i.LogIn()); },
         VESK_END_IDLE_DEADLINE,
         {},
         [](tagVeskMessageSystemLimits& l) { l.m_idle_deadline_ms = kDeadlineMs; }},
        {"four guesses in one record, closed after the third refusal",
         [](Intruder& i) {
             ASSERT_TRUE(i.Handshake());
             const Bytes guess = LoginRequest("alice", "guess");
             i.SendData(guess + guess + guess + guess);
             for (int n = 0; n < 3; ++n) {
                 const auto answer = i.ReadData();
                 ASSERT_TRUE(answer && answer->size() == sizeof(tagMessageDataUserAuthResult));
                 EXPECT_EQ(LittleEndian32(answer->data() + 8), 0u) << "refused";
             }
         },
         VESK_END_REFUSED_LOGINS},
        // The answers it asked for are the server's last words.
        {"asking for answers it never reads",
         [](Intruder& i) {
             const int small_buffer = 4096;
             setsockopt(i.fd, SOL_SOCKET, SO_RCVBUF, &small_buffer, sizeof small_buffer);
             ASSERT_TRUE(i.LogIn());
             i.SendData(Note(0, 8, kFloodMeType));
             EXPECT_TRUE(i.ServerClosed(30s));
             i.Drop(true);
         },
         VESK_END_SEND_BACKLOG_FULL,
         {0}},
        {"asking the server to close it",
         [](Intruder& i) {
             ASSERT_TRUE(i.LogIn());
             i.SendData(Note(0, 8, kCloseMeType));
         },
         VESK_END_CLOSED_BY_APPLICATION,
         {0}},
        {"a ClientHello shorter than its record, then another",
         [](Intruder& i) {
             WriteAll(i.fd, Record(1, Bytes{0} + Be24(5) + Bytes{0, 3, 0, 1, 2} + Bytes{9, 9, 9}));
             ASSERT_TRUE(i.ReadFlightTwo());
             ASSERT_TRUE(i.LogIn());
             i.SendData(Note(1));
             EXPECT_EQ(i.ReadEcho(), 1u);
         },
         VESK_END_NONE,
         {1}},
        {"a ClientHello again after the handshake",
         [](Intruder& i) {
             ASSERT_TRUE(i.LogIn());
             const Bytes hello = ClientHello({0, 1, 2});
             WriteAll(i.fd, Record(1, Encrypt(i.algorithm, i.key, i.iv, Bytes(hello.begin() + 6, hello.end()))));
             std::vector<WireRecord> flight_two;
             ASSERT_TRUE(i.ReadRecords(3, &flight_two));
             EXPECT_EQ(flight_two[0].wire, i.flight_two[0].wire) << "answered again, in the clear";
             i.SendData(Note(3));
             EXPECT_EQ(i.ReadEcho(), 3u) << "under the key agreed first";
         },
         VESK_END_NONE,
         {3}},
        {"a login answer accepting mallory, sent to the server",
         [](Intruder& i) {
             ASSERT_TRUE(i.Handshake());
             // An answer of result 1 for mallory.
             Bytes forged = Tagged(VESKMESSYS_MESSAGE_TYPE_USER_AUTH_RESULT, sizeof(tagMessageDataUserAuthResult), 1);
             std::memcpy(forged.data() + offsetof(tagMessageDataUserAuthResult, m_uid), "mallory", 7);
             i.SendData(forged + Note(4));
             EXPECT_EQ(i.ReadEcho(), 4u) << "the message after the answer is served";
             EXPECT_EQ(g_server->reference_user("mallory", 7).get_uid_size(), 0u) << "no user added";
         },
         VESK_END_NONE,
         {4}},
    };
    std::vector<Row> rows = RefusedRows();
    rows.insert(rows.end(), std::begin(more), std::end(more));
    // What follows a first message in its read.
    const std::pair<const char*, Bytes> cut_ends[] = {
        {"a message header claiming 0 bytes", Note(77, 0) + Note(78)},
        {"a message header claiming 7 bytes", Note(77, 7) + Note(78)},
        {"a message header claiming 60000 bytes, beyond its read", Note(77, 60000) + Note(78)},
        {"5 bytes left after the last message, short of a header", Bytes{5, 0, 0, 0, 16}},
    };
    for (const auto& [input, rest] : cut_ends)
        rows.push_back({input,
                        [rest = rest](Intruder& i) {
                            ASSERT_TRUE(i.LogIn());
                            i.SendData(Note(5) + rest);
                            EXPECT_EQ(i.ReadEcho(), 5u);
                            i.SendData(Note(6));
                            EXPECT_EQ(i.ReadEcho(), 6u) << "the message after the malformed one is dropped";
                        },
                        VESK_END_NONE,
                        {5, 6}});

    // Connections closed or reset at every point of the handshake and the
    // login: the good conversation, step by step, and each row goes away in
    // the middle of one step's writing, or before it. Each step reads the
    // server's answer to the step before, then gives what to write next.
    const std::function<Bytes(Intruder&)> steps[] = {
        [](Intruder&) {
            return ClientHello({0, 1, 2});
        },
        [](Intruder& i) {
            EXPECT_TRUE(i.ReadFlightTwo());
            return i.FlightThree();  // ClientKeyExchange 270 bytes, ChangeCipherSpec 7, Finish 14
        },
        [](Intruder& i) {
            std::vector<WireRecord> four;
            EXPECT_TRUE(i.ReadFlightFour(&four));
            return i.DataRecord(LoginRequest("alice", "wonderland"));
        },
        [](Intruder& i) {
            EXPECT_TRUE(i.ReadData().has_value());
            return i.DataRecord(Note(1));
        },
    };
    constexpr size_t kAll = SIZE_MAX;
    const struct {
        const char* where;
        size_t step;
        size_t written;  // of the step's bytes
    } points[] = {
        {"right after connecting", 0, 0},
        {"in the middle of the ClientHello", 0, 7},
        {"in the middle of the ClientKeyExchange", 1, 100},
        {"after the ChangeCipherSpec", 1, 277},
        {"after the Finish", 1, kAll},
        {"in the middle of the login request", 2, 100},
        {"after the login request", 2, kAll},
        {"in the middle of a data record", 3, 10},
    };
    for (const bool reset : {false, true})
        for (const auto& point : points)
            rows.push_back({point.where,
                            [=, &steps](Intruder& i) {
                                SCOPED_TRACE(reset ? "reset" : "closed");
                                for (size_t step = 0; step < point.step; ++step)
                                    WriteAll(i.fd, steps[step](i));
                                const Bytes last = steps[point.step](i);
                                WriteAll(i.fd,
                                         Bytes(last.begin(), last.begin() + std::min(point.written, last.size())));
                                i.Drop(reset);
                            },
                            reset ? VESK_END_RESET : kEitherReason});
    PlayRows(rows);

    // A server that takes the connection and never answers.
    int silent_port = 0;
    const int silent = ListenOnLoopback(&silent_port);
    const std::string silent_service = std::to_string(silent_port);
    LogLines client_log;
    client->set_log_function(LogLines::Capture, &client_log);
    tagVeskMessageSystemLimits limits = VeskMessageSystemDefaultLimits();
    limits.m_connect_deadline_ms = kDeadlineMs;
    ASSERT_EQ(client->set_limits(limits), 1);
    EXPECT_EQ(client->connect("127.0.0.1", silent_service.c_str(), "alice", 5, "wonderland", 10), nullptr);
    EXPECT_TRUE(WaitFor([&] {
        return client_log.Has(VESK_LOG_WARNING, "session 127.0.0.1:" + silent_service + " ended: connect deadline");
    }));
    tagVeskMessageSystemCounters counters{};
    client->get_counters(&counters);
    EXPECT_EQ(counters.m_sessions_ended[VESK_END_CONNECT_DEADLINE], 1u);

    // The silent server's port is taken: listening there fails.
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(server->listen(silent_service.c_str(), AF_INET, VESKMESSYS_CRYPTO_ALGORITHM_3DES), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "nothing on stderr";
    ::close(silent);
    EXPECT_TRUE(server_log.Has(VESK_LOG_ERROR, "listen on 0.0.0.0:" + silent_service + ": Address already in use"));

    // The client system goes with a session open.
    ASSERT_EQ(client->set_limits(VeskMessageSystemDefaultLimits()), 1);
    CVeskMessageSession* open = ConnectPlain();
    ASSERT_NE(open, nullptr);
    client.reset();
    EXPECT_EQ(open->get_end_reason(), VESK_END_SYSTEM_STOPPED) << "the handle outlives its system";
    EXPECT_TRUE(client_log.Has(VESK_LOG_INFO, "session 127.0.0.1:" + port + " ended: system stopped"));
}

// Sanitizer builds blur resident memory with shadow memory and quarantine.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMeasuresMemory = false;
#else
constexpr bool kMeasuresMemory = true;
#endif

// The server goes on serving good clients through three crowds, and closes
// every session of the hostile ones. Peers that
// hold every session but one and stop in the middle of the handshake are all
// closed by the handshake deadline, and a good client gets a session; the
// one whose handshake finished outlives that deadline. Several raw clients
// play the refused rows over and over at once while library clients log in:
// every hostile session is closed and delivers nothing. A peer that floods
// full-size records as fast as it can holds only its own session: meanwhile
// another peer completes its handshake, login and echo within 5 s (a few
// milliseconds without the flood), and the server's memory does not grow with
// the number of records. The flood's records fill both rings (their payload,
// zeros, is a message header that ends the cut); the stress test floods empty
// ones.
TEST_F(HostilePeers, StalledManyAndFloodingPeersLeaveTheServerServing)
{
    tagVeskMessageSystemLimits limits = VeskMessageSystemDefaultLimits();
    limits.m_handshake_deadline_ms = kDeadlineMs;
    ASSERT_EQ(server->set_limits(limits), 1);
    {
        Intruder finished(port);
        ASSERT_TRUE(finished.Handshake());
        std::vector<std::unique_ptr<Intruder>> stalled;
        for (int i = 1; i < kServerSessions; ++i) {
            stalled.push_back(std::make_unique<Intruder>(port));
            ASSERT_TRUE(stalled.back()->Hello());
        }
        for (const auto& intruder : stalled)
            EXPECT_TRUE(intruder->ClosedSilently()) << "closed by the deadline";
        ExpectServerStillServes();
        std::this_thread::sleep_for(std::chrono::milliseconds(kDeadlineMs));
        EXPECT_TRUE(NothingToRead(finished.fd, 0)) << "still open";
    }
    ASSERT_EQ(server->set_limits(VeskMessageSystemDefaultLimits()), 1);

    const std::vector<Row> rows = RefusedRows();
    constexpr size_t kIntruders = 4;
    std::vector<std::thread> intruders;
    for (size_t t = 0; t < kIntruders; ++t)
        intruders.emplace_back([&, t] {
            for (size_t n = t; n < 2 * rows.size(); n += kIntruders) {
                Intruder intruder(port);
                rows[n % rows.size()].play(intruder);
            }
        });
    for (int i = 0; i < 4; ++i)
        ExpectServerStillServes();
    Join(std::move(intruders));
    SettledCounters();
    EXPECT_TRUE(g_journal.Where([](const Call& c) { return c.host == "127.0.0.2" && !c.event; }).empty())
        << "no raw client had a message delivered";

    ExpectServerStillServes();
    const long resident_before = vesk_perf::ResidentBytes();
    Intruder flooder(port);
    const Bytes record = Record(0, Bytes(VeskNetworkSystem::kMaxPlainPayload, 0));
    Bytes burst;
    while (burst.size() < 65536)
        burst = burst + record;
    std::atomic<size_t> sent{0};
    // A blocking send writes whole bursts until the socket is shut down.
    std::thread flood([&] {
        while (::send(flooder.fd, burst.data(), burst.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(burst.size()))
            sent += burst.size();
    });
    EXPECT_TRUE(WaitFor([&] { return sent.load() > (16u << 20); }, 30s)) << "the flood is under way";
    const auto started = std::chrono::steady_clock::now();
    ExpectServerStillServes();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s) << "handshake, login and echo";
    shutdown(flooder.fd, SHUT_RDWR);
    flood.join();
    EXPECT_TRUE(flooder.ServerClosed());
    if (kMeasuresMemory) {
        EXPECT_LT(vesk_perf::ResidentBytes() - resident_before, 4l << 20) << "resident memory grew";
    }
}

}  // namespace
