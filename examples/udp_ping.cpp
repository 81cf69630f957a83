// vesk-udp-ping: sends ping datagrams to an echo server and prints each
// answer with its round-trip time, and the summary also when SIGINT or
// SIGTERM stops it early. Exit status: 0 every ping was answered, 1 some were
// not, 2 any other failure, 128 + the signal's number when a signal stopped it.
#include <netdb.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "VeskMessageSystem.h"
#include "example_common.h"
#include "example_protocol.h"

using namespace VeskMessageSystem;
using namespace vesk_example;
using Clock = std::chrono::steady_clock;

namespace {

// Answers arrive on the event loop thread; this hands them to the main thread.
struct PongMailbox {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<uint32_t> sequences;
    std::string from;
    bool stopped = false;
};
PongMailbox g_mailbox;

int OnPong(CVeskMessageSession*, const char* host, const char* service, const void* data, size_t size)
{
    PingMessage pong;
    if (size < sizeof pong)
        return 0;
    std::memcpy(&pong, data, sizeof pong);
    {
        std::lock_guard<std::mutex> lock(g_mailbox.mutex);
        g_mailbox.sequences.push_back(pong.m_sequence);
        g_mailbox.from = std::string(host) + ":" + service;
    }
    g_mailbox.arrived.notify_one();
    return 0;
}

bool Answered(uint32_t sequence)
{
    for (uint32_t received : g_mailbox.sequences)
        if (received == sequence)
            return true;
    return false;
}

// The family of the first address `host` resolves to, so that the socket
// that sends can reach it (IPv4 or IPv6); 0 when it does not resolve.
int FamilyOf(const std::string& host, const std::string& service)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* addresses = nullptr;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &addresses) != 0)
        return 0;
    const int family = addresses->ai_family;
    freeaddrinfo(addresses);
    return family;
}

}  // namespace

int main(int argc, char** argv)
{
    CommandLine options("vesk-udp-ping", "Sends ping datagrams to vesk-echo-server and times the answers.",
                        {{"host", "H", "server host name or address, IPv4 or IPv6 (default 127.0.0.1)"},
                         {"port", "P", "server port (required)"},
                         {"count", "N", "pings to send (default 4)"}},
                        "\nexit status: 0 every ping answered, 1 some not answered, 2 any other failure,\n"
                        "128 + N stopped by signal N (the summary is printed first)\n");
    const auto parsed = options.Parse(argc, argv);
    if (parsed != CommandLine::Result::kRun)
        return CommandLine::ExitStatus(parsed);
    long port = 0, count = 0;
    if (!options.Require("port") || !options.Number("port", 1, 65535, 0, port) ||
        !options.Number("count", 1, 100000, 4, count))
        return 2;
    const std::string host = options.Text("host", "127.0.0.1");
    const std::string service = std::to_string(port);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int family = FamilyOf(host, service);
    if (family == 0) {
        std::fprintf(stderr, "vesk-udp-ping: cannot resolve '%s'\n", host.c_str());
        return 2;
    }

    // A stop signal ends the pinging; the summary is printed all the same.
    int stop_signal = 0;
    const StopSignals stop_signals([&stop_signal](int signal_number) {
        {
            std::lock_guard<std::mutex> lock(g_mailbox.mutex);
            g_mailbox.stopped = true;
            stop_signal = signal_number;
        }
        g_mailbox.arrived.notify_one();
    });

    std::unique_ptr<CVeskMessageSystem> system(VeskMessageSystemCreate());
    if (system->CreateUDPSessions(1) != 1) {
        std::fprintf(stderr, "vesk-udp-ping: cannot create the datagram pool\n");
        return 2;
    }
    // A datagram reaches the first handler of its type that asks for no more
    // bytes than it carries.
    system->add_ExtensionCallFunction({kPongType, sizeof(PingMessage), OnPong});
    if (system->InitSocketEvent() != 1) {
        std::fprintf(stderr, "vesk-udp-ping: cannot start the library's threads\n");
        return 2;
    }
    // Answers come back to the unbound socket that sent the pings.
    std::unique_ptr<CVeskMessageSession> socket(system->open_udp(family));
    if (!socket || system->DispatchSocketEvent() != 1) {
        std::fprintf(stderr, "vesk-udp-ping: cannot open a datagram socket\n");
        if (socket)
            system->close_udp(socket.get());
        return 2;
    }

    std::vector<long> round_trips;
    long sent = 0;
    for (uint32_t sequence = 0; sequence < static_cast<uint32_t>(count); ++sequence) {
        const PingMessage ping = {{kPingType, sizeof(PingMessage), 0}, sequence, 0};
        std::unique_lock<std::mutex> lock(g_mailbox.mutex);
        if (g_mailbox.stopped)
            break;
        ++sent;
        const auto sent_at = Clock::now();
        if (socket->sendto_udp_message(&ping, sizeof ping, host.c_str(), service.c_str()) != sizeof ping) {
            std::printf("ping %u: cannot send to %s:%s\n", sequence, host.c_str(), service.c_str());
            continue;
        }
        if (!g_mailbox.arrived.wait_for(lock, std::chrono::seconds(1),
                                        [sequence] { return Answered(sequence) || g_mailbox.stopped; })) {
            std::printf("ping %u: no answer\n", sequence);
            continue;
        }
        if (!Answered(sequence)) {
            std::printf("ping %u: stopped before the answer\n", sequence);
            continue;
        }
        const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent_at);
        round_trips.push_back(static_cast<long>(elapsed.count()));
        std::printf("ping %u: answer from %s in %ld us\n", sequence, g_mailbox.from.c_str(), round_trips.back());
    }
    std::printf("%zu of %ld pings answered\n", round_trips.size(), sent);
    PrintRoundTrips(round_trips);

    system->close_udp(socket.get());
    socket.reset();
    system.reset();
    std::lock_guard<std::mutex> lock(g_mailbox.mutex);
    if (g_mailbox.stopped)
        return InterruptedStatus(stop_signal);
    return static_cast<long>(round_trips.size()) == count ? 0 : 1;
}
