// vesk-echo-client: logs in to an echo server, sends messages one at a time,
// checks that each comes back unchanged and prints round-trip figures.
// Exit status: 0 all echoes came back, 1 login refused, 2 any other failure.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VeskMessageSystem.h"
#include "example_common.h"
#include "example_protocol.h"

using namespace VeskMessageSystem;
using namespace vesk_example;
using Clock = std::chrono::steady_clock;

namespace {

// Handlers are plain functions; this is how the echo handler, on the parse
// thread, hands a message to the main thread.
struct EchoMailbox {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<unsigned char> message;
    bool full = false;
    bool closed = false;
};
EchoMailbox g_mailbox;

int OnSessionEvent(CVeskMessageSession*, const char* host, const char* service, const void* data, size_t size)
{
    tagMessageDataSesssionEvent event;
    if (size < sizeof event)
        return 0;
    std::memcpy(&event, data, sizeof event);
    if (event.m_ev != VeskNetworkSystem::NETWORK_EVENT_READ)
        std::printf("%s:%s %s\n", host, service, EventName(event.m_ev));
    if (event.m_ev == VeskNetworkSystem::NETWORK_EVENT_CLOSE) {
        {
            std::lock_guard<std::mutex> lock(g_mailbox.mutex);
            g_mailbox.closed = true;
        }
        g_mailbox.arrived.notify_one();
    }
    return 0;
}

int OnEcho(CVeskMessageSession*, const char*, const char*, const void* data, size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    {
        std::lock_guard<std::mutex> lock(g_mailbox.mutex);
        g_mailbox.message.assign(bytes, bytes + size);
        g_mailbox.full = true;
    }
    g_mailbox.arrived.notify_one();
    return 0;
}

// connect() with credentials waits for the handshake without a time limit: a
// peer that accepts and then says nothing would hold the client forever.
class Watchdog {
public:
    Watchdog(std::chrono::seconds limit, const char* what)
        : m_thread([this, limit, what] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_done.wait_for(lock, limit, [this] { return m_cancelled; })) {
                  std::fprintf(stderr, "vesk-echo-client: %s: no answer\n", what);
                  std::_Exit(2);
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_cancelled = true;
        }
        m_done.notify_one();
        m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_cancelled = false;
    std::thread m_thread;
};

std::vector<unsigned char> MakeMessage(uint32_t sequence, size_t size)
{
    std::vector<unsigned char> message(size);
    const tagMessageHeader header = {kEchoType, static_cast<uint16_t>(size), 0};
    std::memcpy(message.data(), &header, sizeof header);
    for (size_t i = sizeof header; i < size; ++i)
        message[i] = static_cast<unsigned char>(sequence + i);
    if (size >= sizeof header + sizeof sequence)
        std::memcpy(message.data() + sizeof header, &sequence, sizeof sequence);
    return message;
}

}  // namespace

int main(int argc, char** argv)
{
    CommandLine options("vesk-echo-client", "Logs in to vesk-echo-server and measures message round trips.",
                        {{"host", "H", "server host (default 127.0.0.1)"},
                         {"port", "P", "server port (required)"},
                         {"user", "U", "user id (required)"},
                         {"password", "W", "password (required)"},
                         {"count", "N", "messages to send (default 10)"},
                         {"size", "S", "bytes per message, 8 to 19991 (default 64)"}});
    const auto parsed = options.Parse(argc, argv);
    if (parsed != CommandLine::Result::kRun)
        return parsed == CommandLine::Result::kHelp ? 0 : 2;
    long port = 0, count = 0, size = 0;
    if (!options.Require("port") || !options.Require("user") || !options.Require("password") ||
        !options.Number("port", 1, 65535, 0, port) || !options.Number("count", 1, 1000000, 10, count) ||
        !options.Number("size", kMinMessageSize, kMaxMessageSize, 64, size))
        return 2;
    const std::string host = options.Text("host", "127.0.0.1");
    const std::string service = std::to_string(port);
    const std::string user = options.Text("user");
    const std::string password = options.Text("password");
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    std::unique_ptr<CVeskMessageSystem> system(VeskMessageSystemCreate());
    if (system->CreateSessions(1) != 1) {
        std::fprintf(stderr, "vesk-echo-client: cannot create the session pool\n");
        return 2;
    }
    // An exact-type handler takes messages whose m_size equals its own.
    system->add_ExtensionCallFunction({VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT, 0, OnSessionEvent});
    system->add_ExtensionCallFunction({kEchoType, static_cast<uint16_t>(size), OnEcho});
    // The event loop must run before a connect with credentials, which waits
    // for the handshake.
    if (system->InitSocketEvent() != 1 || system->DispatchSocketEvent() != 1) {
        std::fprintf(stderr, "vesk-echo-client: cannot start the library's threads\n");
        return 2;
    }

    std::unique_ptr<CVeskMessageSession> session;
    {
        Watchdog watchdog(std::chrono::seconds(10), "handshake");
        session.reset(system->connect(host.c_str(), service.c_str(), user.c_str(), user.size(), password.c_str(),
                                      password.size()));
    }
    if (!session) {
        std::fprintf(stderr, "vesk-echo-client: cannot connect to %s:%s\n", host.c_str(), service.c_str());
        return 2;
    }
    // The answer to the login arrives on the parse thread: an accepted user
    // appears in the system's user list, a refused session is closed.
    const auto login_deadline = Clock::now() + std::chrono::seconds(3);
    bool accepted = false;
    while (!(accepted = system->reference_user(user.c_str(), user.size()).get_uid_size() > 0) &&
           session->is_session_used() && Clock::now() < login_deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!accepted) {
        const bool refused = !session->is_session_used();
        std::puts(refused ? "login refused" : "no answer to the login");
        if (!refused)
            system->close(session.get());
        return refused ? 1 : 2;
    }
    std::printf("login accepted for user %s\n", user.c_str());

    std::vector<long> round_trips;
    std::string failure;
    for (uint32_t sequence = 0; sequence < static_cast<uint32_t>(count) && failure.empty(); ++sequence) {
        const std::vector<unsigned char> message = MakeMessage(sequence, static_cast<size_t>(size));
        std::unique_lock<std::mutex> lock(g_mailbox.mutex);
        g_mailbox.full = false;
        const auto sent_at = Clock::now();
        if (session->send_message(message.data(), message.size()) <= 0) {
            failure = "cannot send message " + std::to_string(sequence);
        } else if (!g_mailbox.arrived.wait_for(lock, std::chrono::seconds(2),
                                               [] { return g_mailbox.full || g_mailbox.closed; })) {
            failure = "no echo of message " + std::to_string(sequence);
        } else if (!g_mailbox.full) {
            failure = "the server closed the session";
        } else if (g_mailbox.message != message) {
            failure = "echo of message " + std::to_string(sequence) + " differs";
        } else {
            const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent_at);
            round_trips.push_back(static_cast<long>(elapsed.count()));
        }
    }
    std::printf("%zu of %ld messages of %ld bytes echoed\n", round_trips.size(), count, size);
    PrintRoundTrips(round_trips);

    if (session->is_session_used())
        system->close(session.get());
    session.reset();
    system.reset();
    if (!failure.empty()) {
        std::fprintf(stderr, "vesk-echo-client: %s\n", failure.c_str());
        return 2;
    }
    return 0;
}
