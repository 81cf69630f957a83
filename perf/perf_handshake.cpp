// Handshakes per second with fresh connections, and the server's CPU time
// per handshake beside the CPU time of the two RSA-OAEP decryptions that a
// handshake needs on the server (the symmetric key and the IV), measured
// alone with a key decoded once. The server runs in a process of its own so
// that its CPU time is its own.
//
//   vesk_perf_handshake                             forks the server
//   vesk_perf_handshake --role server --port 7300 --count 300
//   vesk_perf_handshake --role client --host 127.0.0.1 --port 7300 --count 300
//
// The server prints its rows after --warm-up + --count handshakes (default
// 20 + 300) and exits; the client prints the rate. Option: --cipher.
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <sys/wait.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "CryptFunction.h"
#include "perf_support.h"

using namespace VeskMessageSystem;
using namespace vesk_perf;

namespace {

struct Finished {
    std::mutex mutex;
    std::condition_variable changed;
    long count = 0;
    // Server: process CPU time when the warm-up ended and when the run ended.
    double cpu_at_start = 0;
    double cpu_at_end = 0;
    long warm_up = 0;
    long total = 0;
    // The count a waiter waits for: the handler wakes no one before, so the
    // server's CPU holds no wake-ups of the benchmark's own.
    long awaited = 0;
} g_finished;

int OnSessionEvent(CVeskMessageSession*, const char*, const char*, const void* data, size_t)
{
    tagMessageDataSesssionEvent event;
    std::memcpy(&event, data, sizeof event);
    if ((event.m_ev & VeskNetworkSystem::NETWORK_EVENT_HANDSHAKE_FINISH) == 0)
        return 0;
    {
        std::lock_guard<std::mutex> lock(g_finished.mutex);
        ++g_finished.count;
        if (g_finished.count == g_finished.warm_up)
            g_finished.cpu_at_start = ProcessCpuSeconds();
        if (g_finished.count == g_finished.total)
            g_finished.cpu_at_end = ProcessCpuSeconds();
        if (g_finished.count < g_finished.awaited)
            return 0;
    }
    g_finished.changed.notify_all();
    return 0;
}

bool WaitForFinished(long count)
{
    std::unique_lock<std::mutex> lock(g_finished.mutex);
    g_finished.awaited = count;
    return g_finished.changed.wait_for(lock, std::chrono::seconds(10), [count] { return g_finished.count >= count; });
}

// CPU seconds of one pair of RSA-OAEP decryptions (a 24-byte key and an
// 8-byte IV) with a 1024-bit key that was decoded once.
double TwoDecryptionsSeconds(long pairs)
{
    EVP_PKEY* key = EVP_RSA_gen(1024);
    if (key == nullptr)
        return 0;
    const auto encrypt = [key](size_t length) {
        std::vector<unsigned char> plain(length, 0x33);
        std::vector<unsigned char> sealed(256);
        size_t sealed_length = sealed.size();
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
        EVP_PKEY_encrypt_init(ctx);
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING);
        EVP_PKEY_encrypt(ctx, sealed.data(), &sealed_length, plain.data(), plain.size());
        EVP_PKEY_CTX_free(ctx);
        sealed.resize(sealed_length);
        return sealed;
    };
    const std::vector<unsigned char> sealed[2] = {encrypt(static_cast<size_t>(get_key_length_DES_EDE3())),
                                                  encrypt(static_cast<size_t>(get_iv_length_DES_EDE3()))};
    unsigned char plain[256];
    const double start = ThreadCpuSeconds();
    for (long i = 0; i < pairs; ++i) {
        for (const auto& one : sealed) {
            EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
            size_t plain_length = sizeof plain;
            EVP_PKEY_decrypt_init(ctx);
            EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING);
            EVP_PKEY_decrypt(ctx, plain, &plain_length, one.data(), one.size());
            EVP_PKEY_CTX_free(ctx);
        }
    }
    const double seconds = (ThreadCpuSeconds() - start) / static_cast<double>(pairs);
    EVP_PKEY_free(key);
    return seconds;
}

// The sizes of a Triple-DES handshake's four flights: ClientHello, the
// server's hello with its key, the key exchange with the Finish, the
// server's Finish.
constexpr size_t kFlightSizes[4] = {15, 179, 291, 21};

// The floor under the server's CPU per handshake: process CPU per bare TCP
// connection on `port` that carries the same four flights (blocking reads,
// one write per flight) and is closed by the client, after `warm_up`; -1
// when a connection could not be served.
double BareConnectionSeconds(int port, long warm_up, long count)
{
    const int listener = ListenTcp("0.0.0.0", port);
    if (listener < 0)
        return -1;
    unsigned char flight[512] = {};
    double start = 0;
    for (long i = 0; i < warm_up + count; ++i) {
        if (i == warm_up)
            start = ProcessCpuSeconds();
        const int fd = accept(listener, nullptr, nullptr);
        const bool carried = fd >= 0 && ReadExactly(fd, flight, kFlightSizes[0]) &&
                             WriteAll(fd, flight, kFlightSizes[1]) && ReadExactly(fd, flight, kFlightSizes[2]) &&
                             WriteAll(fd, flight, kFlightSizes[3]) && recv(fd, flight, 1, 0) == 0;
        if (fd >= 0)
            close(fd);
        if (!carried) {
            close(listener);
            return -1;
        }
    }
    close(listener);
    return (ProcessCpuSeconds() - start) / static_cast<double>(count);
}

// The client of BareConnectionSeconds.
bool RunBareConnections(const std::string& host, int port, long connections)
{
    unsigned char flight[512] = {};
    for (long i = 0; i < connections; ++i) {
        const int fd = ConnectTcp(host, port);
        const bool carried = fd >= 0 && WriteAll(fd, flight, kFlightSizes[0]) &&
                             ReadExactly(fd, flight, kFlightSizes[1]) && WriteAll(fd, flight, kFlightSizes[2]) &&
                             ReadExactly(fd, flight, kFlightSizes[3]);
        if (fd >= 0)
            close(fd);
        if (!carried)
            return false;
    }
    return true;
}

// Says that it listens on `ready_fd` when that is open, else on the output.
int RunServer(const std::string& port, eVeskMessageSystemCryptoAlgorithm algorithm, long warm_up, long count,
              bool header, int ready_fd)
{
    g_finished.warm_up = warm_up;
    g_finished.total = warm_up + count;
    {
        MessageSystem server(16);
        server.AddHandler(VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT, 0, OnSessionEvent);
        if (server.Listen(port, algorithm).empty()) {
            std::fprintf(stderr, "cannot listen on %s\n", port.c_str());
            return 1;
        }
        if (ready_fd >= 0) {
            const bool told = write(ready_fd, "r", 1) == 1;
            close(ready_fd);
            if (!told)
                return 1;
        } else {
            std::printf("listening on %s (bare TCP on the next port afterwards)\n", port.c_str());
            std::fflush(stdout);
        }
        std::unique_lock<std::mutex> lock(g_finished.mutex);
        g_finished.awaited = g_finished.total;
        g_finished.changed.wait(lock, [] { return g_finished.count >= g_finished.total; });
    }
    const double per_handshake = (g_finished.cpu_at_end - g_finished.cpu_at_start) / static_cast<double>(count);
    const double bare = BareConnectionSeconds(std::stoi(port) + 1, warm_up, count);
    if (bare < 0) {
        std::fprintf(stderr, "the bare connections on port %d were not served\n", std::stoi(port) + 1);
        return 1;
    }
    const double decryptions = TwoDecryptionsSeconds(200);
    if (header)
        PrintTableHeader();
    PrintRow(Row{"server CPU per handshake", per_handshake * 1e6, "us", decryptions * 1e6, "two RSA decryptions", false,
                 1.2});
    PrintRow(Row{"server CPU per bare TCP connection with the same flights", bare * 1e6, "us", 0, "", false, 0});
    PrintRow(Row{"server CPU per handshake above the bare connection's", (per_handshake - bare) * 1e6, "us",
                 decryptions * 1e6, "two RSA decryptions", false, 0});
    return 0;
}

int RunClient(const std::string& host, const std::string& port, long warm_up, long count, bool header)
{
    MessageSystem client(16, 0);
    client.AddHandler(VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT, 0, OnSessionEvent);
    client.StartClient();
    Clock::time_point start;
    for (long i = 0; i < warm_up + count; ++i) {
        if (i == warm_up)
            start = Clock::now();
        std::unique_ptr<CVeskMessageSession> session;
        for (int attempt = 0; attempt < 50 && !session; ++attempt) {
            session.reset(client->connect(host.c_str(), port.c_str()));
            if (!session)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (!session || !WaitForFinished(i + 1)) {
            std::fprintf(stderr, "handshake %ld did not finish\n", i);
            return 1;
        }
        client->close(session.get());
    }
    const double rate = static_cast<double>(count) / SecondsBetween(start, Clock::now());
    if (!RunBareConnections(host, std::stoi(port) + 1, warm_up + count)) {
        std::fprintf(stderr, "a bare connection did not carry its flights\n");
        return 1;
    }
    const double decryptions = TwoDecryptionsSeconds(200);
    if (header)
        PrintTableHeader();
    PrintRow(Row{"handshakes/s, fresh connections one after another", rate, "/s", 1 / decryptions,
                 "two RSA decryptions/s", true, 0});
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const Options options(argc, argv,
                          "Handshakes per second with fresh connections, and the server's CPU time per handshake\n"
                          "beside that of the two RSA-OAEP decryptions a handshake needs.\n",
                          WithRoleOptions({{"warm-up", "N", "handshakes before the measured ones (default 20)"}},
                                          "measured handshakes (default 300)"));
    RoleOptions run;
    if (!run.Read(options, 300, "3des"))
        return 2;
    const long warm_up = options.Number("warm-up", 20);
    const bool header = !options.Has("no-header");
    if (run.role == "server")
        return RunServer(options.Text("port", "7300"), run.algorithm, warm_up, run.count, header, -1);
    if (run.role == "client")
        return RunClient(run.host, options.Text("port", "7300"), warm_up, run.count, header);
    // The server in a child process, which tells on a pipe once it listens;
    // its table row goes to the shared standard output.
    const std::string port = std::to_string(FreePort());
    int ready[2];
    if (pipe(ready) != 0)
        return 1;
    std::fflush(stdout);
    const pid_t server = fork();
    if (server == 0) {
        close(ready[0]);
        const int status = RunServer(port, run.algorithm, warm_up, run.count, false, ready[1]);
        std::fflush(stdout);
        std::exit(status);
    }
    close(ready[1]);
    char word = 0;
    const bool started = read(ready[0], &word, 1) == 1;
    close(ready[0]);
    if (!started) {
        std::fprintf(stderr, "the server did not start\n");
        return 1;
    }
    if (header)
        PrintTableHeader();
    const int status = RunClient(run.host, port, warm_up, run.count, false);
    int server_status = 0;
    waitpid(server, &server_status, 0);
    return status != 0 ? status : WEXITSTATUS(server_status);
}
