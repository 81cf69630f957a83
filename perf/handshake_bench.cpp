// Cost of one secure handshake on loopback: a library client connects to a
// library listener with Triple-DES, and the time from the connect call until
// both ends have reported the end of the handshake is measured. Prints the
// median, the 99th percentile and the extremes over a run of connects.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "VeskNetworkSystem.h"
#include "perf_support.h"

using namespace VeskNetworkSystem;

namespace {

using vesk_perf::FreePort;

std::atomic<CVeskNetworkSession*> g_accepted{nullptr};
std::atomic<int> g_finished{0};

int OnEvent(CVeskNetworkSession* session, short ev, void*)
{
    if (ev & NETWORK_EVENT_ACCEPT)
        g_accepted = session;
    if (ev & NETWORK_EVENT_HANDSHAKE_FINISH)
        ++g_finished;
    return 1;
}

// Waits up to 5 s; false when the condition never came.
template <class Predicate>
bool WaitFor(Predicate predicate)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    return true;
}

}  // namespace

int main()
{
    constexpr int kConnects = 200;
    CVeskNetworkSessionManager manager;
    manager.CreateSessions(4);
    manager.CreateListenSessions(1);
    manager.CreateParseRecvSocketBufferThread();
    manager.DispatchLibEvent();
    const std::string port = std::to_string(FreePort());
    if (manager.Listen(port.c_str(), AF_INET, 16, OnEvent, nullptr, CRYPTO_ALGORITHM_3DES) != 1) {
        std::fprintf(stderr, "listen failed\n");
        return 1;
    }

    std::vector<double> micros;
    for (int i = 0; i < kConnects; ++i) {
        g_accepted = nullptr;
        g_finished = 0;
        const auto start = std::chrono::steady_clock::now();
        CVeskNetworkSession* client = manager.ConnectSecure("127.0.0.1", port.c_str(), OnEvent, nullptr);
        if (client == nullptr || !WaitFor([] { return g_finished.load() == 2 && g_accepted.load() != nullptr; })) {
            std::fprintf(stderr, "handshake %d did not finish\n", i);
            return 1;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        manager.Close(client);
        manager.Close(g_accepted.load());
    }

    std::sort(micros.begin(), micros.end());
    const auto at = [&micros](double q) {
        return micros[static_cast<size_t>(q * static_cast<double>(micros.size() - 1))];
    };
    std::printf("secure handshake, 3des, %d connects: median %.0f us  p99 %.0f us  min %.0f us  max %.0f us\n",
                kConnects, at(0.5), at(0.99), micros.front(), micros.back());
    return 0;
}
