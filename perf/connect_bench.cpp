// Time to a first message: from connecting with credentials to the server's
// handler call for a message sent right after the connect, over loopback with
// Triple-DES. Each connect runs the whole handshake (the client's RSA
// encryption of the key, the server's decryption) and the login. Prints the
// median and the spread over the connects.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "VeskMessageSystem.h"
#include "perf_support.h"

using namespace VeskMessageSystem;

namespace {

using vesk_perf::FreePort;

using Clock = std::chrono::steady_clock;

constexpr int kConnects = 100;
constexpr int kWarmUp = 3;

std::atomic<long> g_received{0};
std::atomic<Clock::rep> g_received_at{0};

int OnMessage(CVeskMessageSession*, const char*, const char*, const void*, size_t)
{
    g_received_at = Clock::now().time_since_epoch().count();
    ++g_received;
    return 0;
}

bool WaitForMessage(long count)
{
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (g_received.load() < count) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

double Micros(Clock::duration duration)
{
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count()) / 1000.0;
}

}  // namespace

int main()
{
    char path[] = "/tmp/vesk_bench_users_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        std::perror("mkstemp");
        return 1;
    }
    const char users[] = "alice\twonderland\n";
    const bool written = write(fd, users, sizeof users - 1) == static_cast<ssize_t>(sizeof users - 1);
    ::close(fd);
    if (!written) {
        std::remove(path);
        return 1;
    }

    std::unique_ptr<CVeskMessageSystem> server(VeskMessageSystemCreate());
    std::unique_ptr<CVeskMessageSystem> client(VeskMessageSystemCreate());
    server->CreateSessions(16);
    server->CreateListenSessions(1);
    client->CreateSessions(16);
    server->add_ExtensionCallFunction(
        tagExtensionCallFunction{VESKMESSYS_MESSAGE_TYPE_USER_EXTENSION_ALL, 0, OnMessage});
    server->load_auth_user_list(path);
    server->InitSocketEvent();
    std::string port;
    bool listening = false;
    for (int attempt = 0; attempt < 20 && !listening; ++attempt) {
        port = std::to_string(FreePort());
        listening = server->listen(port.c_str(), AF_INET, VESKMESSYS_CRYPTO_ALGORITHM_3DES) == 1;
    }
    std::remove(path);
    if (!listening) {
        std::fprintf(stderr, "cannot listen\n");
        return 1;
    }
    server->DispatchSocketEvent();
    client->InitSocketEvent();
    client->DispatchSocketEvent();

    tagMessageHeader message{};
    message.m_type = 5;
    message.m_size = sizeof message;
    std::vector<Clock::duration> times;
    for (int i = 0; i < kWarmUp + kConnects; ++i) {
        const long before = g_received.load();
        const auto start = Clock::now();
        std::unique_ptr<CVeskMessageSession> session(
            client->connect("127.0.0.1", port.c_str(), "alice", 5, "wonderland", 10));
        if (!session || session->send_message(&message, sizeof message) <= 0 || !WaitForMessage(before + 1)) {
            std::fprintf(stderr, "connect %d failed\n", i);
            return 1;
        }
        if (i >= kWarmUp)
            times.push_back(Clock::time_point(Clock::duration(g_received_at.load())) - start);
        client->close(session.get());
    }

    std::sort(times.begin(), times.end());
    const auto at = [&times](double fraction) {
        return Micros(times[static_cast<size_t>(fraction * static_cast<double>(times.size() - 1))]);
    };
    std::printf("connect with credentials (3DES) to the server's first message handler, %d connects:\n", kConnects);
    std::printf("  median %.0f us   min %.0f us   p10 %.0f us   p90 %.0f us   max %.0f us\n", at(0.5), at(0.0), at(0.1),
                at(0.9), at(1.0));
    client.reset();
    server.reset();
    return 0;
}
