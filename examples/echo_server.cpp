// vesk-echo-server: sends every message it receives back to its sender, over
// TCP sessions and as datagrams on the same port number, and prints one line
// per session event and message, naming the user the session logged in as.
// With --require-login it serves only logged-in users; with --key it uses a
// persistent RSA key (vesk-keygen) whose fingerprint clients can pin. The
// library's log lines (why sessions ended, failed listens) go to stderr with
// a timestamp. Stops on SIGINT or SIGTERM and prints what the system counted.
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "VeskMessageSystem.h"
#include "example_common.h"
#include "example_protocol.h"

using namespace VeskMessageSystem;
using namespace vesk_example;

namespace {

const char* Transport(const CVeskMessageSession* session)
{
    return session->is_udp_session_used() ? "udp" : "tcp";
}

// The user a TCP session logged in as, "-" before its login and for
// datagrams. The buffer is the caller's: handlers run on two threads.
const char* User(const CVeskMessageSession* session, char (&uid)[CVeskMessageSession::kAuthenticatedUidCapacity])
{
    return session->get_authenticated_uid(uid, sizeof uid) ? uid : "-";
}

// Session events, TCP and datagram alike. Runs on the library's threads.
int OnSessionEvent(CVeskMessageSession* session, const char* host, const char* service, const void* data, size_t size)
{
    tagMessageDataSesssionEvent event;
    if (size < sizeof event)
        return 0;
    std::memcpy(&event, data, sizeof event);
    char uid[CVeskMessageSession::kAuthenticatedUidCapacity];
    std::printf("%s %s:%s user %s %s\n", Transport(session), host, service, User(session, uid), EventName(event.m_ev));
    return 0;
}

// Every extension message that arrives on a TCP session goes back unchanged.
// It runs on the parse thread after the session's handshake, so the answer
// is sent at once.
int OnMessage(CVeskMessageSession* session, const char* host, const char* service, const void* data, size_t size)
{
    tagMessageHeader header;
    std::memcpy(&header, data, sizeof header);
    const bool echoed = session->send_message(data, size) > 0;
    char uid[CVeskMessageSession::kAuthenticatedUidCapacity];
    std::printf("tcp %s:%s user %s message type %u, %zu bytes, %s\n", host, service, User(session, uid), header.m_type,
                size, echoed ? "echoed" : "not echoed");
    return 0;
}

// A datagram ping is answered to the address it came from. Registrations
// serve both transports, so a TCP message of this type and size comes here
// too (after OnMessage has echoed it); it is left alone.
int OnPing(CVeskMessageSession* session, const char* host, const char* service, const void* data, size_t size)
{
    if (!session->is_udp_session_used() || size < sizeof(PingMessage))
        return 0;
    PingMessage pong;
    std::memcpy(&pong, data, sizeof pong);
    pong.m_header.m_type = kPongType;
    pong.m_header.m_size = sizeof pong;
    const bool answered = session->sendto_udp_message(&pong, sizeof pong, host, service) == sizeof pong;
    std::printf("udp %s:%s ping %u, %s\n", host, service, pong.m_sequence, answered ? "answered" : "not answered");
    return 0;
}

// The library's log lines, on stderr with the local time. Runs on the
// library's threads and on the thread of a call that failed.
void LogToStderr(void* /*context*/, int level, const char* text)
{
    static const char* const kLevels[] = {"error", "warning", "info"};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::fprintf(stderr, "%s %s: %s\n", stamp, level >= 0 && level <= 2 ? kLevels[level] : "log", text);
}

// What the system counted, printed when the server stops.
void PrintCounters(const CVeskMessageSystem& system)
{
    tagVeskMessageSystemCounters counters{};
    system.get_counters(&counters);
    std::printf(
        "sessions: %llu accepted; handshakes: %llu finished, %llu failed; logins: %llu accepted, %llu refused\n",
        static_cast<unsigned long long>(counters.m_sessions_accepted),
        static_cast<unsigned long long>(counters.m_handshakes_finished),
        static_cast<unsigned long long>(counters.m_handshakes_failed),
        static_cast<unsigned long long>(counters.m_logins_accepted),
        static_cast<unsigned long long>(counters.m_logins_refused));
    for (int reason = VESK_END_NONE; reason < VESK_END_REASON_COUNT; ++reason)
        if (counters.m_sessions_ended[reason] != 0)
            std::printf("sessions ended, %s: %llu\n", VeskSessionEndReasonText(reason),
                        static_cast<unsigned long long>(counters.m_sessions_ended[reason]));
    std::printf("tcp: %llu records, %llu bytes received; %llu records, %llu bytes sent\n",
                static_cast<unsigned long long>(counters.m_records_received),
                static_cast<unsigned long long>(counters.m_bytes_received),
                static_cast<unsigned long long>(counters.m_records_sent),
                static_cast<unsigned long long>(counters.m_bytes_sent));
}

// The address families to serve: "4", "6" or "any" (both).
bool ParseFamily(const std::string& name, int& out)
{
    if (name == "4")
        out = AF_INET;
    else if (name == "6")
        out = AF_INET6;
    else if (name == "any")
        out = AF_UNSPEC;
    else
        return false;
    return true;
}

bool ParseCipher(const std::string& name, eVeskMessageSystemCryptoAlgorithm& out)
{
    if (name == "none")
        out = VESKMESSYS_CRYPTO_ALGORITHM_NONE;
    else if (name == "3des")
        out = VESKMESSYS_CRYPTO_ALGORITHM_3DES;
    else if (name == "blowfish")
        out = VESKMESSYS_CRYPTO_ALGORITHM_BLOWFISH;
    else
        return false;
    return true;
}

// Gives the system the private key of `path` (PKCS #1 DER, as vesk-keygen
// writes it) and keeps its fingerprint for the listening line.
bool UseKeyFile(CVeskMessageSystem& system, const std::string& path, std::string& fingerprint)
{
    // A server key file is a few hundred bytes.
    constexpr std::streamsize kMaxKeyFileSize = 64 * 1024;
    std::ifstream file(path, std::ios::binary);
    std::vector<unsigned char> key(static_cast<size_t>(kMaxKeyFileSize) + 1);
    file.read(reinterpret_cast<char*>(key.data()), kMaxKeyFileSize + 1);
    key.resize(static_cast<size_t>(file.gcount()));
    char text[CVeskMessageSystem::kServerKeyFingerprintSize];
    const bool used = !key.empty() && key.size() <= static_cast<size_t>(kMaxKeyFileSize) &&
                      system.set_server_key(key.data(), key.size()) == 1 &&
                      CVeskMessageSystem::server_key_fingerprint(key.data(), key.size(), text, sizeof text) == 1;
    explicit_bzero(key.data(), key.size());
    if (used)
        fingerprint = text;
    return used;
}

}  // namespace

int main(int argc, char** argv)
{
    CommandLine options("vesk-echo-server", "Echoes messages over encrypted TCP sessions and datagrams.",
                        {{"port", "P", "TCP and UDP port to serve (required)"},
                         {"cipher", "NAME", "none, 3des or blowfish (default blowfish)"},
                         {"users", "FILE", "user list: one \"uid<TAB>password\" pair per line"},
                         {"family", "4|6|any", "serve IPv4, IPv6 or both (default any)"},
                         {"timeout", "SECONDS", "stop after this long (default 0: run until signalled)"},
                         {"key", "FILE",
                          "use this private key (vesk-keygen) for every listen instead of a fresh one, so that "
                          "clients can pin it"},
                         {"require-login", nullptr,
                          "serve only logged-in users: drop the messages of other sessions, close them "
                          "30 s after their handshake"}});
    const auto parsed = options.Parse(argc, argv);
    if (parsed != CommandLine::Result::kRun)
        return CommandLine::ExitStatus(parsed);
    long port = 0;
    long timeout = 0;
    eVeskMessageSystemCryptoAlgorithm cipher = VESKMESSYS_CRYPTO_ALGORITHM_BLOWFISH;
    if (!options.Require("port") || !options.Number("port", 1, 65535, 0, port) ||
        !options.Number("timeout", 0, 86400, 0, timeout))
        return 2;
    const std::string cipher_name = options.Text("cipher", "blowfish");
    if (!ParseCipher(cipher_name, cipher)) {
        options.Error("--cipher must be none, 3des or blowfish, not '" + cipher_name + "'");
        return 2;
    }
    const std::string family_name = options.Text("family", "any");
    int family = AF_UNSPEC;
    if (!ParseFamily(family_name, family)) {
        options.Error("--family must be 4, 6 or any, not '" + family_name + "'");
        return 2;
    }
    // One listener and one datagram socket per family.
    const int sockets = family == AF_UNSPEC ? 2 : 1;
    const std::string service = std::to_string(port);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    // The stop signals are blocked before the library starts its threads, so
    // that they all inherit the mask and only sigtimedwait below takes them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    std::unique_ptr<CVeskMessageSystem> system(VeskMessageSystemCreate());
    system->set_log_function(LogToStderr, nullptr);
    if (system->CreateSessions(64) != 1 || system->CreateListenSessions(sockets) != 1 ||
        system->CreateUDPSessions(sockets) != 1) {
        std::fprintf(stderr, "vesk-echo-server: cannot create the session pools\n");
        return 2;
    }
    // The first handler for session events gets them all; handlers for every
    // extension type see each TCP message; datagrams go to the first handler
    // of their exact type whose size rule they meet.
    system->add_ExtensionCallFunction({VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT, 0, OnSessionEvent});
    system->add_ExtensionCallFunction({VESKMESSYS_MESSAGE_TYPE_USER_EXTENSION_ALL, 0, OnMessage});
    system->add_ExtensionCallFunction({kPingType, sizeof(PingMessage), OnPing});
    if (options.Has("users") && system->load_auth_user_list(options.Text("users").c_str()) != 1) {
        std::fprintf(stderr,
                     "vesk-echo-server: cannot read the user list '%s' (missing, not a regular file, over 64 MiB, or "
                     "an odd number of tokens)\n",
                     options.Text("users").c_str());
        return 2;
    }
    std::string fingerprint;
    if (options.Has("key") && !UseKeyFile(*system, options.Text("key"), fingerprint)) {
        std::fprintf(stderr,
                     "vesk-echo-server: cannot use the key file '%s' (missing, or not a PKCS #1 DER RSA private key "
                     "of 1024 to 1280 bits)\n",
                     options.Text("key").c_str());
        return 2;
    }
    // Off by default: then every session's messages are echoed.
    const bool require_login = options.Has("require-login");
    tagVeskMessageSystemLimits limits = system->get_limits();
    limits.m_require_login = require_login;
    system->set_limits(limits);
    if (system->InitSocketEvent() != 1) {
        std::fprintf(stderr, "vesk-echo-server: cannot start the library's threads\n");
        return 2;
    }
    // listen() logs why it failed: a port that another program holds, say.
    if (system->listen(service.c_str(), family, cipher) != 1) {
        std::fprintf(stderr, "vesk-echo-server: cannot listen on TCP port %ld\n", port);
        return 2;
    }
    if (system->open_udp_bind(service.c_str(), family) < 1) {
        std::fprintf(stderr, "vesk-echo-server: cannot bind UDP port %ld\n", port);
        system->close_listen(service.c_str());
        return 2;
    }
    if (system->DispatchSocketEvent() != 1) {
        std::fprintf(stderr, "vesk-echo-server: cannot start the event loop\n");
        return 2;
    }
    std::printf("listening on port %ld (IPv%s): tcp (%s), udp; users: %s%s; server key: %s\n", port,
                family == AF_UNSPEC ? "4 and IPv6" : family_name.c_str(), cipher_name.c_str(),
                options.Has("users") ? options.Text("users").c_str() : "none (every login is refused)",
                require_login ? "; logins required" : "",
                fingerprint.empty() ? "fresh for this run" : fingerprint.c_str());

    // The main thread only waits; all the work happens in the handlers.
    const timespec tick = {1, 0};
    int signal_number = -1;
    for (long waited = 0; signal_number < 0 && (timeout == 0 || waited < timeout); ++waited)
        signal_number = sigtimedwait(&stop_signals, nullptr, &tick);
    std::printf("stopping (%s)\n", signal_number > 0 ? strsignal(signal_number) : "time is up");

    system->close_listen(service.c_str());
    system->close_udp_bind(service.c_str());
    PrintCounters(*system);
    system.reset();  // closes the remaining sessions and stops the threads
    std::printf("stopped\n");
    return 0;
}
