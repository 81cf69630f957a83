// libzmq, the peer library users compare with, measured on this machine in
// the same run as the library: PUSH/PULL throughput at 64 B, 1 KiB and
// 16 KiB (sender and receiver on two threads over loopback TCP), the REQ/REP
// round trip of 64 bytes, and connect to first message, plain and CURVE.
// Each figure is printed beside the library's figure of the same run, read
// from the file that the other tools filled (VESK_PERF_FIGURES), with the
// ratio library / libzmq and the target.
//
//   VESK_PERF_FIGURES=f vesk_perf_thr ...; vesk_perf_zmq --figures f
//
// Options: --seconds S per throughput run (default 1), --rounds N (best of
// N, default 3), --count N round trips and connects (default 2000).
#include <zmq.h>

#include "perf_support.h"

using namespace vesk_perf;

namespace {

// A libzmq context for one measurement; terminated when it goes.
class Context {
public:
    Context() : m_context(zmq_ctx_new()) {}
    ~Context() { zmq_ctx_term(m_context); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    void* get() const { return m_context; }

private:
    void* m_context;
};

// A socket that drops what it still holds when closed.
class Socket {
public:
    Socket(const Context& context, int type) : m_socket(zmq_socket(context.get(), type))
    {
        const int linger = 0;
        zmq_setsockopt(m_socket, ZMQ_LINGER, &linger, sizeof linger);
    }
    ~Socket() { zmq_close(m_socket); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    void* get() const { return m_socket; }
    // Binds to a free loopback port; the endpoint, or an empty text.
    std::string BindLoopback()
    {
        if (zmq_bind(m_socket, "tcp://127.0.0.1:*") != 0)
            return {};
        char endpoint[256];
        size_t length = sizeof endpoint;
        zmq_getsockopt(m_socket, ZMQ_LAST_ENDPOINT, endpoint, &length);
        return endpoint;
    }

private:
    void* m_socket;
};

// The end of a throughput run: a message of one byte.
constexpr size_t kEndSize = 1;

// PUSH/PULL messages/s of `size` bytes: the sender sends for `seconds`, then
// the end; the rate counts from the first to the last message received. 0
// when the run failed.
double PushPullRate(size_t size, double seconds)
{
    Context context;
    Socket pull(context, ZMQ_PULL);
    const std::string endpoint = pull.BindLoopback();
    if (endpoint.empty())
        return 0;
    // Closed only after the receiver has taken the end: closing drops what
    // it still queues.
    Socket push(context, ZMQ_PUSH);
    if (zmq_connect(push.get(), endpoint.c_str()) != 0)
        return 0;
    std::thread sender([&push, size, seconds] {
        const std::vector<unsigned char> message(size, 0x5A);
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        for (long sent = 0; sent % 256 != 0 || Clock::now() < end; ++sent)
            zmq_send(push.get(), message.data(), message.size(), 0);
        zmq_send(push.get(), message.data(), kEndSize, 0);
    });
    std::vector<unsigned char> buffer(size);
    long received = 0;
    Clock::time_point first;
    Clock::time_point last;
    for (;;) {
        const int n = zmq_recv(pull.get(), buffer.data(), buffer.size(), 0);
        if (n < 0)
            break;
        if (static_cast<size_t>(n) == kEndSize && size != kEndSize)
            break;
        last = Clock::now();
        if (received++ == 0)
            first = last;
    }
    sender.join();
    return received > 1 ? static_cast<double>(received - 1) / SecondsBetween(first, last) : 0;
}

// REQ/REP round trips of 64 bytes, in microseconds.
std::vector<double> RequestReplyRoundTrips(long count)
{
    Context context;
    Socket reply(context, ZMQ_REP);
    const std::string endpoint = reply.BindLoopback();
    if (endpoint.empty())
        return {};
    const long warm_up = count / 10 + 10;
    std::thread echo([&reply, warm_up, count] {
        unsigned char buffer[64];
        for (long i = 0; i < warm_up + count; ++i) {
            const int n = zmq_recv(reply.get(), buffer, sizeof buffer, 0);
            if (n < 0 || zmq_send(reply.get(), buffer, static_cast<size_t>(n), 0) < 0)
                return;
        }
    });
    Socket request(context, ZMQ_REQ);
    std::vector<double> micros;
    if (zmq_connect(request.get(), endpoint.c_str()) == 0) {
        unsigned char ping[64] = {};
        for (long i = 0; i < warm_up + count; ++i) {
            const auto start = Clock::now();
            if (zmq_send(request.get(), ping, sizeof ping, 0) < 0 || zmq_recv(request.get(), ping, sizeof ping, 0) < 0)
                break;
            if (i >= warm_up)
                micros.push_back(SecondsBetween(start, Clock::now()) * 1e6);
        }
    }
    echo.join();
    return micros;
}

// CURVE keys of one side, as Z85 text.
struct CurveKeys {
    char public_key[41] = {};
    char secret_key[41] = {};
    bool Make() { return zmq_curve_keypair(public_key, secret_key) == 0; }
};

// From creating and connecting a PUSH socket to the server's PULL receiving
// the message sent right after it, in milliseconds, one fresh connection
// after another; with `curve`, both ends authenticate and encrypt with
// CURVE (the keys made beforehand, as the library's are).
std::vector<double> ConnectToFirstMessage(long count, bool curve)
{
    CurveKeys server_keys;
    CurveKeys client_keys;
    if (curve && (!server_keys.Make() || !client_keys.Make()))
        return {};
    Context context;
    Socket pull(context, ZMQ_PULL);
    if (curve) {
        const int on = 1;
        zmq_setsockopt(pull.get(), ZMQ_CURVE_SERVER, &on, sizeof on);
        zmq_setsockopt(pull.get(), ZMQ_CURVE_SECRETKEY, server_keys.secret_key, 40);
    }
    const std::string endpoint = pull.BindLoopback();
    if (endpoint.empty())
        return {};
    std::vector<double> millis;
    for (long i = 0; i < count; ++i) {
        const auto start = Clock::now();
        Socket push(context, ZMQ_PUSH);
        if (curve) {
            zmq_setsockopt(push.get(), ZMQ_CURVE_SERVERKEY, server_keys.public_key, 40);
            zmq_setsockopt(push.get(), ZMQ_CURVE_PUBLICKEY, client_keys.public_key, 40);
            zmq_setsockopt(push.get(), ZMQ_CURVE_SECRETKEY, client_keys.secret_key, 40);
        }
        unsigned char message[64] = {};
        if (zmq_connect(push.get(), endpoint.c_str()) != 0 || zmq_send(push.get(), message, sizeof message, 0) < 0 ||
            zmq_recv(pull.get(), message, sizeof message, 0) < 0)
            return {};
        millis.push_back(SecondsBetween(start, Clock::now()) * 1e3);
    }
    return millis;
}

// One comparison: the library's figure from the figures file beside
// libzmq's.
struct Beside {
    std::string library_figure;
    std::string figure;
    double peer;
    std::string unit;
    std::string peer_name;
    bool higher_is_better;
    double target;
};

bool PrintBeside(const std::string& figures, const Beside& beside)
{
    double library = 0;
    if (!RecordedFigure(figures, beside.library_figure, &library) || beside.peer <= 0) {
        std::printf("| %s | %s | %s | - | - | %s |\n", beside.figure.c_str(),
                    library > 0 ? Amount(library, beside.unit).c_str() : "not measured",
                    beside.peer > 0 ? Amount(beside.peer, beside.unit).c_str() : "libzmq failed",
                    beside.target > 0 ? "MISSED" : "-");
        return beside.target <= 0;
    }
    PrintRow(Row{beside.figure, library, beside.unit, beside.peer, beside.peer_name, beside.higher_is_better,
                 beside.target});
    return true;
}

struct SizeTarget {
    size_t size;
    const char* name;
    double target;
};

constexpr SizeTarget kSizes[] = {{64, "64 B", 1.0}, {1024, "1 KiB", 1.2}, {16384, "16 KiB", 1.2}};

}  // namespace

int main(int argc, char** argv)
{
    const Options options(argc, argv, "libzmq beside the library's figures of the same run.",
                          {{"figures", "FILE", "the library's figures (VESK_PERF_FIGURES of the other tools)"},
                           {"seconds", "S", "seconds per throughput run (default 1)"},
                           {"rounds", "N", "throughput: best of N runs (default 3)"},
                           {"count", "N", "round trips and connects (default 2000)"}});
    const std::string figures = options.Text("figures", "");
    const double seconds = options.Real("seconds", 1);
    const long rounds = std::max(1L, options.Number("rounds", 3));
    const long count = std::max(10L, options.Number("count", 2000));
    if (!options.Has("no-header"))
        PrintTableHeader();
    bool ok = true;
    for (const SizeTarget& size : kSizes) {
        double best = 0;
        for (long round = 0; round < rounds; ++round)
            best = std::max(best, PushPullRate(size.size, seconds));
        ok &= PrintBeside(figures, {std::string("plain ") + size.name + " messages/s",
                                    std::string("plain ") + size.name + " messages/s vs libzmq", best, "msg/s",
                                    "libzmq PUSH/PULL", true, size.target});
    }
    const double round_trip = Percentile(RequestReplyRoundTrips(count), 0.5);
    ok &= PrintBeside(figures, {"round trip 64 B p50", "round trip 64 B p50 vs libzmq", round_trip, "us",
                                "libzmq REQ/REP", false, 0.6});
    const long connects = std::max(10L, count / 10);
    const double plain = Percentile(ConnectToFirstMessage(connects, false), 0.5);
    ok &= PrintBeside(figures, {"connect to first message, median", "connect to first message, median vs libzmq plain",
                                plain, "ms", "libzmq plain", false, 0});
    const double curve = Percentile(ConnectToFirstMessage(connects, true), 0.5);
    ok &= PrintBeside(figures, {"connect to first message, median", "connect to first message, median vs libzmq CURVE",
                                curve, "ms", "libzmq CURVE", false, 0});
    return ok ? 0 : 1;
}
