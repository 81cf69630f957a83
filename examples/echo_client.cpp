// vesk-echo-client: logs in to an echo server, sends messages one at a time,
// checks that each comes back unchanged and prints round-trip figures, also
// when SIGINT or SIGTERM stops it early. The password comes from
// VESK_PASSWORD or --password-file, never from the command line. With --pin
// it talks only to the server whose key has that fingerprint; with
// --known-servers it remembers a server's key at the first contact and
// requires it afterwards.
#include <atomic>
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

// The exit statuses, as --help and README list them.
enum ExitStatus : int {
    kAllEchoed = 0,
    kLoginRefused = 1,
    kOtherFailure = 2,
    kCannotConnect = 3,
    kClosedInHandshake = 4,
    kNoAnswer = 5,
    kServerKeyMismatch = 6,
};

const char kExitStatusHelp[] =
    "\nexit status:\n"
    "  0  login accepted and every echo came back\n"
    "  1  login refused (the server closed the session after the handshake)\n"
    "  2  bad arguments, an echo missing or different, any other failure\n"
    "  3  cannot connect (unknown host, nothing listening)\n"
    "  4  the server closed the connection before the handshake finished, or (with\n"
    "     --pin or --known-servers) chose no cipher\n"
    "  5  no answer to the handshake or to the login within --timeout\n"
    "  6  (with --pin or --known-servers) the server showed a key other than the\n"
    "     pinned or known one\n"
    "  128 + N  stopped by signal N (the summary is printed first)\n";

// What the session's events told so far. Set on the library's threads (the
// connect event on the thread that connects), read by the main thread.
std::atomic<bool> g_connected{false};
std::atomic<bool> g_handshake_finished{false};

// Handlers are plain functions; this is how the echo handler, on the parse
// thread, hands a message to the main thread, and how a stop signal ends the
// exchange.
struct EchoMailbox {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<unsigned char> message;
    bool full = false;
    bool closed = false;
    bool exchanging = false;  // past the login: a stop signal ends the exchange
    int stop_signal = 0;
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
    if (event.m_ev == VeskNetworkSystem::NETWORK_EVENT_CONNECT)
        g_connected.store(true);
    if (event.m_ev == VeskNetworkSystem::NETWORK_EVENT_HANDSHAKE_FINISH)
        g_handshake_finished.store(true);
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

// Before the exchange a stop signal ends the tool at once; during it, the
// exchange stops and the summary is printed.
void OnStopSignal(int signal_number)
{
    {
        std::lock_guard<std::mutex> lock(g_mailbox.mutex);
        g_mailbox.stop_signal = signal_number;
        if (!g_mailbox.exchanging) {
            std::fprintf(stderr, "vesk-echo-client: stopped by %s before the login was answered\n",
                         strsignal(signal_number));
            std::_Exit(InterruptedStatus(signal_number));
        }
    }
    g_mailbox.arrived.notify_one();
}

// connect() with credentials waits for the handshake without a time limit: a
// peer that accepts and then says nothing would hold the client forever.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit)
        : m_thread([this, limit] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_done.wait_for(lock, limit, [this] { return m_cancelled; })) {
                  std::fprintf(stderr, "vesk-echo-client: no answer to the handshake\n");
                  std::_Exit(kNoAnswer);
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

// Waits for the answer to the login: an accepted user appears in the
// system's user list, a refused session is closed. Prints the outcome; the
// exit status, or kAllEchoed when the login was accepted.
int AwaitLogin(CVeskMessageSystem& system, CVeskMessageSession& session, const std::string& user,
               std::chrono::seconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (system.reference_user(user.c_str(), user.size()).get_uid_size() == 0) {
        if (!session.is_session_used()) {
            if (!g_handshake_finished.load()) {
                std::puts("the server closed the connection before the handshake finished");
                return kClosedInHandshake;
            }
            std::puts("login refused");
            return kLoginRefused;
        }
        if (Clock::now() >= deadline) {
            std::puts(g_handshake_finished.load() ? "no answer to the login" : "no answer to the handshake");
            system.close(&session);
            return kNoAnswer;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::printf("login accepted for user %s\n", user.c_str());
    return kAllEchoed;
}

// Whether the one session this system made ended because the server showed
// another key. Its end is counted once the library's threads have let go of
// it, which may be just after connect() returned.
bool EndedForServerKey(CVeskMessageSystem& system)
{
    tagVeskMessageSystemCounters counters{};
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    for (;;) {
        system.get_counters(&counters);
        uint64_t ended = 0;
        for (const uint64_t count : counters.m_sessions_ended)
            ended += count;
        if (ended >= counters.m_sessions_connected || Clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return counters.m_sessions_ended[VESK_END_SERVER_KEY_MISMATCH] > 0;
}

}  // namespace

int main(int argc, char** argv)
{
    CommandLine options("vesk-echo-client",
                        "Logs in to vesk-echo-server and measures message round trips.\n"
                        "The password is read from --password-file or else from VESK_PASSWORD.",
                        {{"host", "H", "server host name or address, IPv4 or IPv6 (default 127.0.0.1)"},
                         {"port", "P", "server port (required)"},
                         {"user", "U", "user id (required)"},
                         {"password-file", "FILE", "read the password from the first line of FILE"},
                         {"password", "W", nullptr},
                         {"count", "N", "messages to send (default 10)"},
                         {"size", "S", "bytes per message, 8 to 19991 (default 64)"},
                         {"timeout", "SECONDS", "wait this long for the handshake and the login (default 10)"},
                         {"pin", "FINGERPRINT",
                          "accept only the server key with this fingerprint (vesk-keygen), and only with a "
                          "cipher: nothing, not even the login, goes to another"},
                         {"known-servers", "FILE",
                          "without --pin: remember the server's key in FILE at the first contact, require it "
                          "afterwards"}},
                        kExitStatusHelp);
    const auto parsed = options.Parse(argc, argv);
    if (parsed != CommandLine::Result::kRun)
        return CommandLine::ExitStatus(parsed);
    if (options.Has("password")) {
        options.Error(
            "--password is not accepted (other users see the command line): "
            "set VESK_PASSWORD or give --password-file FILE");
        return kOtherFailure;
    }
    long port = 0, count = 0, size = 0, timeout = 0;
    std::string password;
    if (!options.Require("port") || !options.Require("user") || !options.Number("port", 1, 65535, 0, port) ||
        !options.Number("count", 1, 1000000, 10, count) ||
        !options.Number("size", kMinMessageSize, kMaxMessageSize, 64, size) ||
        !options.Number("timeout", 1, 3600, 10, timeout) || !ReadPassword(options, password))
        return kOtherFailure;
    const std::string host = options.Text("host", "127.0.0.1");
    const std::string service = std::to_string(port);
    const std::string user = options.Text("user");
    const std::chrono::seconds answer_limit(timeout);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const StopSignals stop_signals(OnStopSignal);

    std::unique_ptr<CVeskMessageSystem> system(VeskMessageSystemCreate());
    if (system->CreateSessions(1) != 1) {
        std::fprintf(stderr, "vesk-echo-client: cannot create the session pool\n");
        return kOtherFailure;
    }
    if (options.Has("pin") && system->pin_server_key(host.c_str(), service.c_str(), options.Text("pin").c_str()) != 1) {
        options.Error("--pin must be 64 hex digits, not '" + options.Text("pin") + "'");
        return kOtherFailure;
    }
    if (options.Has("known-servers") && system->set_known_servers_file(options.Text("known-servers").c_str()) != 1) {
        options.Error("cannot use '" + options.Text("known-servers") +
                      "' as the known-servers file (not a regular file, or a line that is not \"HOST SERVICE "
                      "FINGERPRINT\")");
        return kOtherFailure;
    }
    const bool pinned = options.Has("pin") || options.Has("known-servers");
    // An exact-type handler takes messages whose m_size equals its own.
    system->add_ExtensionCallFunction({VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT, 0, OnSessionEvent});
    system->add_ExtensionCallFunction({kEchoType, static_cast<uint16_t>(size), OnEcho});
    // The event loop must run before a connect with credentials, which waits
    // for the handshake.
    if (system->InitSocketEvent() != 1 || system->DispatchSocketEvent() != 1) {
        std::fprintf(stderr, "vesk-echo-client: cannot start the library's threads\n");
        return kOtherFailure;
    }

    std::unique_ptr<CVeskMessageSession> session;
    {
        Watchdog watchdog(answer_limit);
        session.reset(system->connect(host.c_str(), service.c_str(), user.c_str(), user.size(), password.c_str(),
                                      password.size()));
    }
    // The connect event comes before connect() returns, once the connection
    // stands: without it nothing answered; with it, the session ended in
    // the handshake.
    if (!session && !g_connected.load()) {
        std::fprintf(stderr, "vesk-echo-client: cannot connect to %s port %s\n", host.c_str(), service.c_str());
        return kCannotConnect;
    }
    if (!session) {
        if (EndedForServerKey(*system)) {
            std::puts("the server's key is not the pinned or known one");
            return kServerKeyMismatch;
        }
        std::puts(pinned ? "the handshake failed: the server chose no cipher or closed the connection"
                         : "the server closed the connection before the handshake finished");
        return kClosedInHandshake;
    }
    const int login = AwaitLogin(*system, *session, user, answer_limit);
    if (login != kAllEchoed)
        return login;

    std::vector<long> round_trips;
    std::string failure;
    {
        std::lock_guard<std::mutex> lock(g_mailbox.mutex);
        g_mailbox.exchanging = true;
    }
    for (uint32_t sequence = 0; sequence < static_cast<uint32_t>(count) && failure.empty(); ++sequence) {
        const std::vector<unsigned char> message = MakeMessage(sequence, static_cast<size_t>(size));
        std::unique_lock<std::mutex> lock(g_mailbox.mutex);
        if (g_mailbox.stop_signal != 0)
            break;
        g_mailbox.full = false;
        const auto sent_at = Clock::now();
        if (session->send_message(message.data(), message.size()) <= 0) {
            failure = "cannot send message " + std::to_string(sequence);
        } else if (!g_mailbox.arrived.wait_for(lock, std::chrono::seconds(2), [] {
                       return g_mailbox.full || g_mailbox.closed || g_mailbox.stop_signal != 0;
                   })) {
            failure = "no echo of message " + std::to_string(sequence);
        } else if (g_mailbox.full && g_mailbox.message != message) {
            failure = "echo of message " + std::to_string(sequence) + " differs";
        } else if (g_mailbox.full) {
            const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent_at);
            round_trips.push_back(static_cast<long>(elapsed.count()));
        } else if (g_mailbox.closed) {
            failure = "the server closed the session";
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
        return kOtherFailure;
    }
    std::lock_guard<std::mutex> lock(g_mailbox.mutex);
    return g_mailbox.stop_signal != 0 ? InterruptedStatus(g_mailbox.stop_signal) : kAllEchoed;
}
