// A server message system with a user list and a client message system on
// loopback, both with running threads, and one journal of every handler call
// either made: what the message tests share.
#ifndef VESK_TESTS_MESSAGE_FIXTURE_H
#define VESK_TESTS_MESSAGE_FIXTURE_H

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>

#include "raw_peer.h"

namespace vesk_test {

using Clock = std::chrono::steady_clock;
using VeskMessageSystem::CVeskMessageSession;
using VeskMessageSystem::CVeskMessageSystem;
using VeskMessageSystem::eVeskMessageSystemCryptoAlgorithm;
using VeskMessageSystem::tagExtensionCallFunction;
using VeskMessageSystem::tagMessageDataSesssionEvent;
using VeskMessageSystem::ty_ExtensionCallFunction;

constexpr int kServer = 0;
constexpr int kClient = 1;
constexpr uint32_t kAllTypes = VeskMessageSystem::VESKMESSYS_MESSAGE_TYPE_USER_EXTENSION_ALL;
constexpr uint32_t kSessionEvent = VeskMessageSystem::VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT;
constexpr uint16_t kEventSize = sizeof(tagMessageDataSesssionEvent);

inline uint32_t LittleEndian32(const unsigned char* bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// The tag a message of 12 bytes or more carries at offset 8, else 0.
inline uint32_t TagOf(const void* data, size_t size)
{
    return size >= 12 ? LittleEndian32(static_cast<const unsigned char*>(data) + 8) : 0;
}

// An application message of the given type and length whose header claims
// `claimed` bytes (by default its length), tagged at offset 8 when it has room.
inline Bytes Tagged(uint32_t type, size_t length, uint32_t tag, int claimed = -1)
{
    const uint32_t head[] = {type, static_cast<uint16_t>(claimed >= 0 ? claimed : static_cast<int>(length)), tag};
    Bytes message(sizeof head);
    std::memcpy(message.data(), head, sizeof head);
    message.resize(length);
    return message;
}

// The byte at offset `at` of a numbered message (see WriteNumbered).
inline unsigned char NumberedFiller(uint32_t type, uint32_t stream, uint32_t seq, size_t at)
{
    return static_cast<unsigned char>(seq * 31 + stream * 7 + type + at);
}

// Message `seq` of stream `stream`: the header claiming `size` (16 or more)
// bytes, the stream at offset 8, the number at 12, then a filler that follows
// from those and the type, so that a receiver sees any byte that went astray.
// Written into `message`, whose storage a sender reuses: a load allocates
// nothing per message.
inline void WriteNumbered(Bytes& message, uint32_t type, uint32_t stream, uint32_t seq, size_t size)
{
    const uint32_t head[] = {type, static_cast<uint16_t>(size), stream, seq};
    message.resize(size);
    std::memcpy(message.data(), head, sizeof head);
    for (size_t i = sizeof head; i < size; ++i)
        message[i] = NumberedFiller(type, stream, seq, i);
}

inline Bytes Numbered(uint32_t type, uint32_t stream, uint32_t seq, size_t size)
{
    Bytes message;
    WriteNumbered(message, type, stream, seq, size);
    return message;
}

// What a receiver has seen of numbered streams: per stream the number it
// expects next, and how many messages came lost, repeated, reordered,
// damaged or of no stream. Take runs on the receiving system's parse thread
// and allocates nothing.
class NumberedStreams {
public:
    explicit NumberedStreams(size_t streams) : m_next(streams) {}

    void Take(const void* data, size_t size)
    {
        const auto* bytes = static_cast<const unsigned char*>(data);
        const uint32_t stream = TagOf(data, size);
        if (size < 16 || stream >= m_next.size()) {
            ++m_faults;
            return;
        }
        const uint32_t type = LittleEndian32(bytes);
        const uint32_t seq = LittleEndian32(bytes + 12);
        bool whole = seq == m_next[stream] && LittleEndian32(bytes + 4) == static_cast<uint16_t>(size);
        for (size_t i = 16; i < size && whole; ++i)
            whole = bytes[i] == NumberedFiller(type, stream, seq, i);
        m_faults += whole ? 0 : 1;
        m_next[stream] = seq + 1;
    }
    uint32_t Next(size_t stream) const { return m_next[stream]; }
    uint32_t Lowest() const
    {
        uint32_t lowest = UINT32_MAX;
        for (const auto& next : m_next)
            lowest = std::min(lowest, next.load());
        return lowest;
    }
    int Faults() const { return m_faults; }

private:
    std::vector<std::atomic<uint32_t>> m_next;
    std::atomic<int> m_faults{0};
};

inline void Join(std::vector<std::thread> threads)
{
    for (std::thread& thread : threads)
        thread.join();
}

inline int Send(CVeskMessageSession* session, const Bytes& bytes)
{
    return session->send_message(bytes.data(), bytes.size());
}

inline tagExtensionCallFunction Entry(uint32_t type, uint16_t size, ty_ExtensionCallFunction function)
{
    return tagExtensionCallFunction{type, size, function};
}

// One handler call as the handler saw it. For session events `ev` is the
// event and `reason` the session's end reason at that moment; `user` is the
// user its session had logged in as, "-" for none.
struct Call {
    int side = kServer;
    int handler = 0;
    long seq = 0;
    bool event = false;
    int ev = 0;
    int reason = 0;
    uint32_t type = 0;
    uint16_t claimed = 0;
    size_t size = 0;
    uint32_t tag = 0;
    std::string user;
    std::string host;
    std::string service;
    Clock::time_point at;

    std::string Peer() const { return host + " " + service; }
};

// Every handler call of both systems in the order the handlers ran; its
// sequence numbers also order a test's own steps among them (Mark).
class Journal {
public:
    void Add(Call call)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        call.seq = ++m_sequence;
        call.at = Clock::now();
        m_calls.push_back(std::move(call));
    }
    long Mark() { return ++m_sequence; }
    std::vector<Call> Calls(int side, int handler = -1) const
    {
        return Where([&](const Call& c) { return c.side == side && (handler < 0 || c.handler == handler); });
    }
    size_t Count(int side, int handler) const { return Calls(side, handler).size(); }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.clear();
    }

    template <class Predicate>
    std::vector<Call> Where(Predicate predicate) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<Call> selected;
        std::copy_if(m_calls.begin(), m_calls.end(), std::back_inserter(selected), predicate);
        return selected;
    }

private:
    mutable std::mutex m_mutex;
    std::atomic<long> m_sequence{0};
    std::vector<Call> m_calls;
};

// Handlers are plain functions, so they reach the journal through a global.
inline Journal g_journal;

inline std::vector<int> EventCodes(const std::vector<Call>& calls)
{
    std::vector<int> codes;
    for (const Call& call : calls)
        if (call.event)
            codes.push_back(call.ev);
    return codes;
}

inline std::vector<uint32_t> Tags(const std::vector<Call>& calls)
{
    std::vector<uint32_t> tags;
    for (const Call& call : calls)
        if (!call.event)
            tags.push_back(call.tag);
    return tags;
}

inline std::string UserOf(const CVeskMessageSession* session)
{
    char uid[CVeskMessageSession::kAuthenticatedUidCapacity];
    return session != nullptr && session->get_authenticated_uid(uid, sizeof uid) ? uid : "-";
}

// A handler call as the handler saw it; a session event record, like a
// message, begins with a message header.
inline Call HandlerCall(int side, int handler, const CVeskMessageSession* session, const char* host,
                        const char* service, const void* data, size_t size)
{
    Call call;
    call.side = side;
    call.handler = handler;
    call.user = UserOf(session);
    call.size = size;
    call.host = host != nullptr ? host : "";
    call.service = service != nullptr ? service : "";
    if (size >= 8) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        call.type = LittleEndian32(bytes);
        call.claimed = static_cast<uint16_t>(bytes[4] | bytes[5] << 8);
    }
    call.tag = TagOf(data, size);
    return call;
}

inline void RecordMessage(int side, int handler, const char* host, const char* service, const void* data, size_t size,
                          const CVeskMessageSession* session = nullptr)
{
    g_journal.Add(HandlerCall(side, handler, session, host, service, data, size));
}

// Records a session event; the event's code.
inline int RecordEvent(int side, int handler, const CVeskMessageSession* session, const char* host, const char* service,
                       const void* data, size_t size)
{
    tagMessageDataSesssionEvent record;
    std::memcpy(&record, data, sizeof record);
    Call call = HandlerCall(side, handler, session, host, service, data, size);
    call.event = true;
    call.ev = record.m_ev;
    call.reason = session != nullptr ? session->get_end_reason() : 0;
    g_journal.Add(call);
    return call.ev;
}

template <int Side, int Id>
int OnMessage(CVeskMessageSession* session, const char* host, const char* service, const void* data, size_t size)
{
    RecordMessage(Side, Id, host, service, data, size, session);
    return 0;
}

template <int Side, int Id>
int OnEvent(CVeskMessageSession* session, const char* host, const char* service, const void* data, size_t size)
{
    RecordEvent(Side, Id, session, host, service, data, size);
    return 0;
}

// A server message system with the users alice, bob and carol and a client
// message system. Tests register their handlers first, as an application
// does, then Start both: the server listens on a port the kernel chose.
class MessageSystems : public ::testing::Test {
protected:
    static constexpr const char* kUsers = "alice\twonderland\nbob\tbuilder\ncarol\tsinger\n";

    void SetUp() override
    {
        g_journal.Clear();
        server.reset(VeskMessageSystemCreate());
        client.reset(VeskMessageSystemCreate());
        ASSERT_EQ(server->CreateSessions(16), 1);
        ASSERT_EQ(server->CreateListenSessions(2), 1);
        ASSERT_EQ(client->CreateSessions(16), 1);
    }

    void TearDown() override
    {
        for (const auto& handle : handles)
            if (client != nullptr && handle->is_session_used())
                client->close(handle.get());
        client.reset();
        server.reset();
        handles.clear();
    }

    void Start(eVeskMessageSystemCryptoAlgorithm algorithm)
    {
        ASSERT_EQ(server->load_auth_user_list(user_list.Name()), 1);
        ASSERT_EQ(server->InitSocketEvent(), 1);
        port = ListenOnFreePort(
            [&](const std::string& service) { return server->listen(service.c_str(), AF_INET, algorithm) == 1; });
        ASSERT_FALSE(port.empty());
        ASSERT_EQ(server->DispatchSocketEvent(), 1);
        ASSERT_EQ(client->InitSocketEvent(), 1);
        ASSERT_EQ(client->DispatchSocketEvent(), 1);
    }

    // The test's handles are closed and freed after it.
    CVeskMessageSession* Keep(CVeskMessageSession* handle)
    {
        if (handle != nullptr)
            handles.emplace_back(handle);
        return handle;
    }

    CVeskMessageSession* Login(const char* uid, const char* passwd)
    {
        return Keep(client->connect("127.0.0.1", port.c_str(), uid, std::strlen(uid), passwd, std::strlen(passwd)));
    }

    CVeskMessageSession* ConnectPlain() { return Keep(client->connect("127.0.0.1", port.c_str())); }

    // Logs in and waits until the client has been told it is accepted.
    CVeskMessageSession* LoggedIn(const char* uid, const char* passwd)
    {
        CVeskMessageSession* handle = Login(uid, passwd);
        EXPECT_NE(handle, nullptr);
        EXPECT_TRUE(WaitFor([&] { return client->reference_user(uid, std::strlen(uid)).get_uid_size() > 0; }));
        return handle;
    }

    TempFile user_list{kUsers};
    std::unique_ptr<CVeskMessageSystem> server;
    std::unique_ptr<CVeskMessageSystem> client;
    std::vector<std::unique_ptr<CVeskMessageSession>> handles;
    std::string port;
};

}  // namespace vesk_test

#endif
