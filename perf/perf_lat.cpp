// Round-trip latency of a 64-byte message that the server's handler echoes
// with send_message, beside a bare TCP ping-pong of the same record over
// blocking sockets. Prints p50 and p99.
//
//   vesk_perf_lat                                   both ends in one process
//   vesk_perf_lat --role server --port 7100 [--cipher none]
//   vesk_perf_lat --role client --host 127.0.0.1 --port 7100
//
// The server echoes with the library on --port and bare on --port + 1 until
// it is stopped. Options: --count N round trips (default 5000), --cipher.
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "perf_support.h"

using namespace VeskMessageSystem;
using namespace vesk_perf;

namespace {

constexpr uint32_t kPingType = 7;
constexpr size_t kPingSize = 64;

int OnServerPing(CVeskMessageSession* session, const char*, const char*, const void* data, size_t size)
{
    session->send_message(data, size);
    return 0;
}

struct Pong {
    std::mutex mutex;
    std::condition_variable arrived;
    uint64_t count = 0;
} g_pong;

int OnClientPong(CVeskMessageSession*, const char*, const char*, const void*, size_t)
{
    {
        std::lock_guard<std::mutex> lock(g_pong.mutex);
        ++g_pong.count;
    }
    g_pong.arrived.notify_one();
    return 0;
}

// Round trips in microseconds; empty when an echo did not come back.
std::vector<double> LibraryRoundTrips(const std::string& host, const std::string& port, long count)
{
    MessageSystem client(4, 0);
    client.AddHandler(kPingType, kPingSize, OnClientPong);
    client.StartClient();
    std::unique_ptr<CVeskMessageSession> session(client->connect(host.c_str(), port.c_str()));
    if (!session)
        return {};
    const std::vector<unsigned char> ping = MakeMessage(kPingType, kPingSize);
    std::vector<double> micros;
    const long warm_up = count / 10 + 10;
    for (long i = 0; i < warm_up + count; ++i) {
        uint64_t expected = 0;
        {
            std::lock_guard<std::mutex> lock(g_pong.mutex);
            expected = g_pong.count + 1;
        }
        const auto start = Clock::now();
        if (session->send_message(ping.data(), ping.size()) <= 0)
            return {};
        std::unique_lock<std::mutex> lock(g_pong.mutex);
        if (!g_pong.arrived.wait_for(lock, std::chrono::seconds(5), [expected] { return g_pong.count >= expected; }))
            return {};
        if (i >= warm_up)
            micros.push_back(SecondsBetween(start, Clock::now()) * 1e6);
    }
    client->close(session.get());
    return micros;
}

void BareEcho(int fd)
{
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    unsigned char record[kRecordHeader + kPingSize];
    while (ReadExactly(fd, record, kRecordHeader) &&
           ReadExactly(fd, record + kRecordHeader, RecordBodyLength(record)) &&
           WriteAll(fd, record, kRecordHeader + RecordBodyLength(record))) {
    }
    close(fd);
}

std::vector<double> BareRoundTrips(const std::string& host, int port, long count)
{
    const int fd = ConnectTcp(host, port);
    if (fd < 0)
        return {};
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const std::vector<unsigned char> ping = MakeMessage(kPingType, kPingSize);
    std::vector<unsigned char> record;
    FrameRecord(&record, ping.data(), ping.size());
    std::vector<unsigned char> echo(record.size());
    std::vector<double> micros;
    const long warm_up = count / 10 + 10;
    for (long i = 0; i < warm_up + count; ++i) {
        const auto start = Clock::now();
        if (::send(fd, record.data(), record.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(record.size()) ||
            !ReadExactly(fd, echo.data(), echo.size())) {
            close(fd);
            return {};
        }
        if (i >= warm_up)
            micros.push_back(SecondsBetween(start, Clock::now()) * 1e6);
    }
    close(fd);
    return micros;
}

// Echoes bare records on every connection until the process ends.
void ServeBare(int listener)
{
    for (;;) {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0)
            return;
        std::thread(BareEcho, fd).detach();
    }
}

int Report(const std::vector<double>& library, const std::vector<double>& bare)
{
    if (library.empty() || bare.empty()) {
        std::fprintf(stderr, "a round trip did not complete\n");
        return 1;
    }
    PrintRow(Row{"round trip 64 B p50", Percentile(library, 0.5), "us", Percentile(bare, 0.5), "bare TCP ping-pong",
                 false, 1.5});
    PrintRow(Row{"round trip 64 B p99", Percentile(library, 0.99), "us", Percentile(bare, 0.99), "bare TCP ping-pong",
                 false, 0});
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const Options options(argc, argv,
                          "Round-trip latency of a 64-byte message echoed by the server's handler, beside a bare\n"
                          "TCP ping-pong of the same record. Prints p50 and p99.\n",
                          WithRoleOptions({}, "round trips (default 5000)"));
    RoleOptions run;
    if (!run.Read(options, 5000, "none"))
        return 2;
    const Comparison comparison{LibraryRoundTrips, BareRoundTrips, ServeBare, Report};
    if (run.role == "client")
        return CompareAgainstServer(comparison, run, static_cast<int>(options.Number("port", 7100)));
    MessageSystem server(4);
    server.AddHandler(kPingType, kPingSize, OnServerPing);
    const std::string port = server.Listen(run.role == "server" ? options.Text("port", "7100") : "", run.algorithm);
    if (port.empty()) {
        std::fprintf(stderr, "cannot listen\n");
        return 1;
    }
    const int bare_port = run.role == "server" ? std::stoi(port) + 1 : FreePort();
    const int bare_listener = ListenTcp(run.host, bare_port);
    if (bare_listener < 0) {
        std::fprintf(stderr, "cannot listen on %d\n", bare_port);
        return 1;
    }
    return ServeOrCompare(comparison, options, run, "echoing", port, bare_port, bare_listener);
}
