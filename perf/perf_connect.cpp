// Connect to first message: the time from calling connect with credentials
// until the server's handler receives the first message sent right after it,
// median over many fresh connects (each runs the whole handshake and the
// login). Beside it, a bare TCP connect whose first record reaches a reading
// server. The server stamps the arrival with the monotonic clock, which both
// processes share on one host.
//
//   vesk_perf_connect                               both ends in one process
//   vesk_perf_connect --role server --port 7200 [--cipher 3des]
//   vesk_perf_connect --role client --host 127.0.0.1 --port 7200
//
// The server answers on --port (library) and --port + 1 (bare TCP) until it
// is stopped. Options: --count N connects (default 200), --cipher.
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "perf_support.h"

using namespace VeskMessageSystem;
using namespace vesk_perf;

namespace {

constexpr uint32_t kFirstType = 9;
constexpr uint32_t kStampType = 10;
constexpr size_t kFirstSize = 16;

const char kUser[] = "alice";
const char kPassword[] = "wonderland";

int64_t NowNanos()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// Answers the first message with the time it arrived.
int OnFirstMessage(CVeskMessageSession* session, const char*, const char*, const void*, size_t)
{
    const std::vector<unsigned char> stamp = MakeMessage(kStampType, kFirstSize, static_cast<uint64_t>(NowNanos()));
    session->send_message(stamp.data(), stamp.size());
    return 0;
}

struct Stamp {
    std::mutex mutex;
    std::condition_variable arrived;
    uint64_t count = 0;
    int64_t nanos = 0;
} g_stamp;

int OnStamp(CVeskMessageSession*, const char*, const char*, const void* data, size_t)
{
    {
        std::lock_guard<std::mutex> lock(g_stamp.mutex);
        g_stamp.nanos = static_cast<int64_t>(MessageTag(data));
        ++g_stamp.count;
    }
    g_stamp.arrived.notify_one();
    return 0;
}

// Milliseconds from each connect to the server's handler; empty on failure.
std::vector<double> LibraryConnects(const std::string& host, const std::string& port, long count)
{
    MessageSystem client(8, 0);
    client.AddHandler(kStampType, kFirstSize, OnStamp);
    client.StartClient();
    const std::vector<unsigned char> first = MakeMessage(kFirstType, kFirstSize);
    std::vector<double> millis;
    const long warm_up = 3;
    for (long i = 0; i < warm_up + count; ++i) {
        uint64_t expected = 0;
        {
            std::lock_guard<std::mutex> lock(g_stamp.mutex);
            expected = g_stamp.count + 1;
        }
        const int64_t start = NowNanos();
        std::unique_ptr<CVeskMessageSession> session(
            client->connect(host.c_str(), port.c_str(), kUser, sizeof kUser - 1, kPassword, sizeof kPassword - 1));
        if (!session || session->send_message(first.data(), first.size()) <= 0)
            return {};
        int64_t arrived = 0;
        {
            std::unique_lock<std::mutex> lock(g_stamp.mutex);
            if (!g_stamp.arrived.wait_for(lock, std::chrono::seconds(5),
                                          [expected] { return g_stamp.count >= expected; }))
                return {};
            arrived = g_stamp.nanos;
        }
        if (i >= warm_up)
            millis.push_back(static_cast<double>(arrived - start) / 1e6);
        client->close(session.get());
    }
    return millis;
}

std::vector<double> BareConnects(const std::string& host, int port, long count)
{
    const std::vector<unsigned char> first = MakeMessage(kFirstType, kFirstSize);
    std::vector<unsigned char> record;
    FrameRecord(&record, first.data(), first.size());
    std::vector<double> millis;
    for (long i = 0; i < count; ++i) {
        const int64_t start = NowNanos();
        const int fd = ConnectTcp(host, port);
        int64_t arrived = 0;
        const bool answered =
            fd >= 0 && WriteAll(fd, record.data(), record.size()) && ReadExactly(fd, &arrived, sizeof arrived);
        if (fd >= 0)
            close(fd);
        if (!answered)
            return {};
        millis.push_back(static_cast<double>(arrived - start) / 1e6);
    }
    return millis;
}

// Reads the first record of every connection and answers with its arrival.
void ServeBare(int listener)
{
    for (;;) {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0)
            return;
        unsigned char record[kRecordHeader + kFirstSize];
        if (ReadExactly(fd, record, sizeof record)) {
            const int64_t arrived = NowNanos();
            WriteAll(fd, &arrived, sizeof arrived);
        }
        close(fd);
    }
}

// A user list with the one user the client logs in as; removed once loaded.
bool LoadUsers(MessageSystem& server)
{
    char path[] = "/tmp/vesk_perf_users_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return false;
    const std::string line = std::string(kUser) + "\t" + kPassword + "\n";
    const bool written = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    close(fd);
    const bool loaded = written && server->load_auth_user_list(path) == 1;
    std::remove(path);
    return loaded;
}

int Report(const std::vector<double>& library, const std::vector<double>& bare)
{
    if (library.empty() || bare.empty()) {
        std::fprintf(stderr, "a connect did not reach the server's handler\n");
        return 1;
    }
    Row median{"connect to first message, median",
               Percentile(library, 0.5),
               "ms",
               Percentile(bare, 0.5),
               "bare TCP connect + record",
               false,
               2};
    median.target_on_ratio = false;
    PrintRow(median);
    PrintRow(Row{"connect to first message, p90", Percentile(library, 0.9), "ms", Percentile(bare, 0.9),
                 "bare TCP connect + record", false, 0});
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const Options options(argc, argv,
                          "Connect to first message: connect with credentials until the server's handler has the\n"
                          "first message, beside a bare TCP connect and first record. Median over fresh connects.\n",
                          WithRoleOptions({}, "connects to time (default 200)"));
    RoleOptions run;
    if (!run.Read(options, 200, "3des"))
        return 2;
    const Comparison comparison{LibraryConnects, BareConnects, ServeBare, Report};
    if (run.role == "client")
        return CompareAgainstServer(comparison, run, static_cast<int>(options.Number("port", 7200)));
    MessageSystem server(16);
    server.AddHandler(kFirstType, kFirstSize, OnFirstMessage);
    if (!LoadUsers(server)) {
        std::fprintf(stderr, "cannot write the user list\n");
        return 1;
    }
    const std::string port = server.Listen(run.role == "server" ? options.Text("port", "7200") : "", run.algorithm);
    const int bare_port = port.empty() ? 0 : run.role == "server" ? std::stoi(port) + 1 : FreePort();
    const int bare_listener = port.empty() ? -1 : ListenTcp(run.host, bare_port);
    if (bare_listener < 0) {
        std::fprintf(stderr, "cannot listen\n");
        return 1;
    }
    return ServeOrCompare(comparison, options, run, "serving", port, bare_port, bare_listener);
}
