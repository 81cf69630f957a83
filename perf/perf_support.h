// What the benchmark tools share: options, clocks, CPU and memory readings,
// the report row, a message system serving or connecting over loopback, the
// roles of a tool that sets the library beside bare TCP, bare TCP sockets for
// the baselines, and the wire records both sides cut.
// The tests take FreePort from here too.
#ifndef VESK_PERF_PERF_SUPPORT_H
#define VESK_PERF_PERF_SUPPORT_H

#include <arpa/inet.h>
#include <getopt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "VeskMessageSystem.h"

namespace vesk_perf {

// A TCP (or, with SOCK_DGRAM, UDP) port on 127.0.0.1 that was free a moment
// ago.
inline int FreePort(int socket_type = SOCK_STREAM)
{
    const int probe = socket(AF_INET, socket_type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
}

using Clock = std::chrono::steady_clock;

inline double SecondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// CPU time of the whole process (every thread), in seconds.
inline double ProcessCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

inline double ThreadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Resident set size of this process in bytes.
inline long ResidentBytes()
{
    long pages_total = 0;
    long pages_resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr)
        return 0;
    const int fields = std::fscanf(statm, "%ld %ld", &pages_total, &pages_resident);
    std::fclose(statm);
    return fields == 2 ? pages_resident * sysconf(_SC_PAGESIZE) : 0;
}

// The value below which the fraction q of the samples lie.
inline double Percentile(std::vector<double> samples, double q)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    return samples[static_cast<size_t>(q * static_cast<double>(samples.size() - 1) + 0.5)];
}

// Many concurrent sessions need two descriptors each in one process.
inline void RaiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// An option a benchmark tool takes: "--name VALUE", or a flag without a value.
struct OptionSpec {
    const char* name;        // without the leading "--"
    const char* value_name;  // nullptr for a flag
    const char* help;
};

// What the tools with a server and a client side take (see RoleOptions).
inline std::vector<OptionSpec> WithRoleOptions(std::vector<OptionSpec> own, const char* count_help)
{
    own.insert(own.begin(), {{"role", "server|client|both", "this process's part (default both: one process)"},
                             {"host", "H", "the server's IPv4 address (default 127.0.0.1)"},
                             {"port", "P", "the library's port (bare TCP, where measured, on P + 1)"},
                             {"count", "N", count_help},
                             {"cipher", "none|3des|blowfish", "the listener's cipher"}});
    return own;
}

// The tool's options, read with getopt_long before anything runs: --help
// prints the usage and exits 0; an unknown option, a missing value or a
// stray argument exits 2 after the usage. A flag reads as "1". Every tool
// takes --no-header (no table header, for scripts/bench.sh).
class Options {
public:
    Options(int argc, char** argv, const char* summary, std::vector<OptionSpec> accepted)
        : m_accepted(std::move(accepted))
    {
        m_accepted.push_back({"no-header", nullptr, "leave out the table header"});
        enum : int { kHelp = 'h', kFirstOption = 256 };
        std::vector<option> table;
        for (size_t i = 0; i < m_accepted.size(); ++i)
            table.push_back({m_accepted[i].name, m_accepted[i].value_name != nullptr ? required_argument : no_argument,
                             nullptr, kFirstOption + static_cast<int>(i)});
        table.push_back({"help", no_argument, nullptr, kHelp});
        table.push_back({nullptr, 0, nullptr, 0});
        opterr = 0;  // the messages below name the option and show the usage
        for (;;) {
            const int previous = optind;
            const int found = getopt_long(argc, argv, ":h", table.data(), nullptr);
            if (found == -1)
                break;
            if (found == kHelp) {
                PrintUsage(stdout, argv[0], summary);
                std::exit(0);
            }
            if (found == ':' || found == '?') {
                std::fprintf(stderr, "%s: %s '%s'\n", argv[0], found == ':' ? "missing value for" : "unknown option",
                             argv[previous]);
                PrintUsage(stderr, argv[0], summary);
                std::exit(2);
            }
            const OptionSpec& option = m_accepted[static_cast<size_t>(found - kFirstOption)];
            m_values[option.name] = option.value_name != nullptr ? optarg : "1";
        }
        if (optind < argc) {
            std::fprintf(stderr, "%s: unexpected argument '%s'\n", argv[0], argv[optind]);
            PrintUsage(stderr, argv[0], summary);
            std::exit(2);
        }
    }
    std::string Text(const std::string& name, const std::string& fallback) const
    {
        const auto found = m_values.find(name);
        return found == m_values.end() ? fallback : found->second;
    }
    long Number(const std::string& name, long fallback) const
    {
        const auto found = m_values.find(name);
        return found == m_values.end() ? fallback : std::strtol(found->second.c_str(), nullptr, 10);
    }
    double Real(const std::string& name, double fallback) const
    {
        const auto found = m_values.find(name);
        return found == m_values.end() ? fallback : std::strtod(found->second.c_str(), nullptr);
    }
    bool Has(const std::string& name) const { return m_values.count(name) != 0; }

private:
    void PrintUsage(std::FILE* out, const char* program, const char* summary) const
    {
        std::fprintf(out, "usage: %s [options]\n%s\noptions:\n", program, summary);
        for (const OptionSpec& option : m_accepted) {
            const std::string left = std::string("--") + option.name +
                                     (option.value_name != nullptr ? std::string(" ") + option.value_name : "");
            std::fprintf(out, "  %-30s %s\n", left.c_str(), option.help);
        }
        std::fprintf(out, "  %-30s %s\n", "--help", "show this text");
    }

    std::vector<OptionSpec> m_accepted;
    std::map<std::string, std::string> m_values;
};

// One line of the report table. A "higher" target is met when the ratio
// reaches it; a "lower" one when the ratio (or, without a baseline, the
// figure) stays at or below it.
struct Row {
    std::string figure;
    double value;
    std::string unit;
    double baseline;  // 0: the target is on the figure itself
    std::string baseline_name;
    bool higher_is_better;
    double target;
    bool target_on_ratio = true;
};

inline void PrintTableHeader()
{
    std::printf("| figure | library | baseline | ratio | target | result |\n");
    std::printf("|---|---|---|---|---|---|\n");
}

inline std::string Amount(double value, const std::string& unit)
{
    char text[64];
    if (value >= 100)
        std::snprintf(text, sizeof text, "%.0f %s", value, unit.c_str());
    else if (value >= 1)
        std::snprintf(text, sizeof text, "%.2f %s", value, unit.c_str());
    else
        std::snprintf(text, sizeof text, "%.4f %s", value, unit.c_str());
    return text;
}

// The file named by VESK_PERF_FIGURES, when set, gets every figure printed
// as "figure<TAB>value" lines, so that a later tool of the same run (the
// comparison with libzmq) can set its own figures beside the library's.
inline void RecordFigure(const Row& row)
{
    const char* path = std::getenv("VESK_PERF_FIGURES");
    if (path == nullptr || *path == '\0')
        return;
    if (FILE* figures = std::fopen(path, "a")) {
        std::fprintf(figures, "%s\t%.9g\n", row.figure.c_str(), row.value);
        std::fclose(figures);
    }
}

// The value of `figure` in the file of RecordFigure (the latest one); false
// when it has none.
inline bool RecordedFigure(const std::string& path, const std::string& figure, double* value)
{
    FILE* figures = std::fopen(path.c_str(), "r");
    if (figures == nullptr)
        return false;
    bool found = false;
    char line[512];
    while (std::fgets(line, sizeof line, figures) != nullptr) {
        char* tab = std::strchr(line, '\t');
        if (tab == nullptr || std::string(line, tab) != figure)
            continue;
        *value = std::strtod(tab + 1, nullptr);
        found = true;
    }
    std::fclose(figures);
    return found;
}

inline void PrintRow(const Row& row)
{
    const bool against_baseline = row.baseline > 0;
    const bool on_ratio = against_baseline && row.target_on_ratio;
    const double measure = on_ratio ? row.value / row.baseline : row.value;
    const bool met = row.target <= 0 || (row.higher_is_better ? measure >= row.target : measure <= row.target);
    std::string baseline = "-";
    std::string ratio = "-";
    if (against_baseline) {
        baseline = Amount(row.baseline, row.unit) + " (" + row.baseline_name + ")";
        char text[32];
        std::snprintf(text, sizeof text, "%.2f", row.value / row.baseline);
        ratio = text;
    }
    std::string target = "-";
    if (row.target > 0) {
        char text[64];
        if (on_ratio)
            std::snprintf(text, sizeof text, "%s %.2f x", row.higher_is_better ? ">=" : "<=", row.target);
        else
            std::snprintf(text, sizeof text, "%s %s",
                          row.higher_is_better ? ">=" : "<=", Amount(row.target, row.unit).c_str());
        target = text;
    }
    RecordFigure(row);
    std::printf("| %s | %s | %s | %s | %s | %s |\n", row.figure.c_str(), Amount(row.value, row.unit).c_str(),
                baseline.c_str(), ratio.c_str(), target.c_str(),
                row.target <= 0 ? "-"
                : met           ? "met"
                                : "MISSED");
    std::fflush(stdout);
}

// Cipher names as the tools take them.
inline bool ParseCipher(const std::string& name, VeskMessageSystem::eVeskMessageSystemCryptoAlgorithm* algorithm)
{
    if (name == "none")
        *algorithm = VeskMessageSystem::VESKMESSYS_CRYPTO_ALGORITHM_NONE;
    else if (name == "3des")
        *algorithm = VeskMessageSystem::VESKMESSYS_CRYPTO_ALGORITHM_3DES;
    else if (name == "blowfish")
        *algorithm = VeskMessageSystem::VESKMESSYS_CRYPTO_ALGORITHM_BLOWFISH;
    else
        return false;
    return true;
}

// What the tools with a server and a client side read alike: --role
// (server, client or the default both), --count, --host (default 127.0.0.1)
// and --cipher.
struct RoleOptions {
    // False, after saying so on the error output, for an unknown cipher or
    // role.
    bool Read(const Options& options, long default_count, const std::string& default_cipher)
    {
        role = options.Text("role", "both");
        count = options.Number("count", default_count);
        host = options.Text("host", "127.0.0.1");
        if (!ParseCipher(options.Text("cipher", default_cipher), &algorithm)) {
            std::fprintf(stderr, "unknown cipher\n");
            return false;
        }
        if (role != "server" && role != "client" && role != "both") {
            std::fprintf(stderr, "--role server|client|both\n");
            return false;
        }
        return true;
    }

    std::string role;
    long count = 0;
    std::string host;
    VeskMessageSystem::eVeskMessageSystemCryptoAlgorithm algorithm =
        VeskMessageSystem::VESKMESSYS_CRYPTO_ALGORITHM_NONE;
};

// A message system with its pools and threads, listening or ready to
// connect. Destroying it stops its threads.
class MessageSystem {
public:
    explicit MessageSystem(int sessions, int listeners = 1) : m_system(VeskMessageSystemCreate())
    {
        m_system->CreateSessions(sessions);
        m_system->CreateListenSessions(listeners);
    }
    VeskMessageSystem::CVeskMessageSystem* operator->() { return m_system.get(); }

    void AddHandler(uint32_t type, uint16_t size, VeskMessageSystem::ty_ExtensionCallFunction handler)
    {
        m_system->add_ExtensionCallFunction(VeskMessageSystem::tagExtensionCallFunction{type, size, handler});
    }
    // Listens on `port`, or on a free port when it is empty; the port taken,
    // or an empty text when listening failed.
    std::string Listen(const std::string& port, VeskMessageSystem::eVeskMessageSystemCryptoAlgorithm algorithm)
    {
        m_system->InitSocketEvent();
        std::string taken;
        for (int attempt = 0; attempt < 20 && taken.empty(); ++attempt) {
            const std::string candidate = port.empty() ? std::to_string(FreePort()) : port;
            if (m_system->listen(candidate.c_str(), AF_INET, algorithm) == 1)
                taken = candidate;
            else if (!port.empty())
                break;
        }
        if (!taken.empty())
            m_system->DispatchSocketEvent();
        return taken;
    }
    void StartClient()
    {
        m_system->InitSocketEvent();
        m_system->DispatchSocketEvent();
    }

private:
    std::unique_ptr<VeskMessageSystem::CVeskMessageSystem> m_system;
};

// A tool that sets samples of the library beside samples of bare TCP. Its
// server answers with the library on one port and bare on another; its
// client measures both against it. Milliseconds or microseconds alike: the
// report knows the unit. An empty list is a failed measurement.
struct Comparison {
    using Samples = std::vector<double>;
    Samples (*library)(const std::string& host, const std::string& port, long count);
    Samples (*bare)(const std::string& host, int port, long count);
    // Accepts bare connections until the listener is shut down.
    void (*serve_bare)(int listener);
    // Prints the rows; the exit status of the tool.
    int (*report)(const Samples& library, const Samples& bare);
};

// The client of a two-process run: the library on `port`, bare on the next.
inline int CompareAgainstServer(const Comparison& comparison, const RoleOptions& run, int port)
{
    const auto library = comparison.library(run.host, std::to_string(port), run.count);
    const auto bare = comparison.bare(run.host, port + 1, run.count);
    PrintTableHeader();
    return comparison.report(library, bare);
}

// Once the library listens on `port` and bare on `bare_listener`: with role
// "server" serves bare connections until stopped, after a line that says
// where (`serving` names what the server does); otherwise measures both
// here, the bare server on a thread of its own.
inline int ServeOrCompare(const Comparison& comparison, const Options& options, const RoleOptions& run,
                          const char* serving, const std::string& port, int bare_port, int bare_listener)
{
    if (run.role == "server") {
        std::printf("%s on %s (library) and %d (bare TCP)\n", serving, port.c_str(), bare_port);
        std::fflush(stdout);
        comparison.serve_bare(bare_listener);
        return 0;
    }
    std::thread bare_server(comparison.serve_bare, bare_listener);
    const auto library = comparison.library(run.host, port, run.count);
    const auto bare = comparison.bare(run.host, bare_port, run.count);
    // Ends the accept the bare server is blocked in.
    shutdown(bare_listener, SHUT_RDWR);
    bare_server.join();
    close(bare_listener);
    if (!options.Has("no-header"))
        PrintTableHeader();
    return comparison.report(library, bare);
}

// Bare TCP for the baselines: blocking sockets, one call per record, no
// socket options beyond what a plain program would set.
inline int ListenTcp(const std::string& host, int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 64) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline int ConnectTcp(const std::string& host, int port)
{
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    for (;;) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, host.c_str(), &address.sin_addr);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            return fd;
        close(fd);
        if (Clock::now() > deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

inline bool WriteAll(int fd, const void* data, size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

inline bool ReadExactly(int fd, void* data, size_t size)
{
    auto* bytes = static_cast<unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = ::recv(fd, bytes, size, 0);
        if (n <= 0)
            return false;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// A record as the library frames it: the 6-byte header, then the body.
constexpr size_t kRecordHeader = 6;

inline void FrameRecord(std::vector<unsigned char>* record, const void* body, size_t size)
{
    record->resize(kRecordHeader + size);
    unsigned char* out = record->data();
    out[0] = 0;  // plain data
    out[1] = 2;
    out[2] = 0;
    out[3] = static_cast<unsigned char>(size >> 16);
    out[4] = static_cast<unsigned char>(size >> 8);
    out[5] = static_cast<unsigned char>(size);
    std::memcpy(out + kRecordHeader, body, size);
}

inline size_t RecordBodyLength(const unsigned char* header)
{
    return static_cast<size_t>(header[3]) << 16 | static_cast<size_t>(header[4]) << 8 | header[5];
}

// A message of `size` bytes with its 8-byte header; the rest is a fixed
// pattern with room for a 64-bit tag right after the header.
inline std::vector<unsigned char> MakeMessage(uint32_t type, size_t size, uint64_t tag = 0)
{
    std::vector<unsigned char> message(size, 0x5A);
    VeskMessageSystem::tagMessageHeader header{};
    header.m_type = type;
    header.m_size = static_cast<uint16_t>(size);
    std::memcpy(message.data(), &header, sizeof header);
    if (size >= sizeof header + sizeof tag)
        std::memcpy(message.data() + sizeof header, &tag, sizeof tag);
    return message;
}

inline uint64_t MessageTag(const void* message)
{
    uint64_t tag = 0;
    std::memcpy(&tag, static_cast<const unsigned char*>(message) + sizeof(VeskMessageSystem::tagMessageHeader),
                sizeof tag);
    return tag;
}

}  // namespace vesk_perf

#endif
