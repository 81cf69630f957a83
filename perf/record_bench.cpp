// Per-record cost of the record layer on loopback: one session sends records
// as fast as it can, the accepted session's callback takes the payload out.
// Prints records/s, MB/s and microseconds per record for each body size and
// cipher.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "VeskNetworkSystem.h"
#include "perf_support.h"

using namespace VeskNetworkSystem;

struct VeskNetworkTestAccess {
    static void Encrypt(CVeskNetworkSession& session, eCryptoAlgorithm algorithm)
    {
        static const unsigned char key[24] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,
                                              13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
        static const unsigned char iv[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        session.SetCryptoAlgorithm(algorithm);
        session.SetCryptoKey(key, algorithm == CRYPTO_ALGORITHM_3DES ? 24 : 16);
        session.SetCryptoIV(iv, 8);
        session.SetCryptoStateRecv(CRYPTO_STATE_CRYPTOED);
        session.SetCryptoStateSend(CRYPTO_STATE_CRYPTOED);
    }
};

namespace {

using vesk_perf::FreePort;

std::atomic<size_t> g_received{0};
std::atomic<CVeskNetworkSession*> g_accepted{nullptr};

int OnEvent(CVeskNetworkSession* session, short ev, void*)
{
    if (ev & NETWORK_EVENT_ACCEPT)
        g_accepted = session;
    if (ev & NETWORK_EVENT_READ) {
        static thread_local std::vector<unsigned char> buffer(CVeskByteRing::kSize);
        const int n = session->recv(buffer.data(), static_cast<int>(buffer.size()), 0);
        if (n > 0)
            g_received += static_cast<size_t>(n);
    }
    return 1;
}

const char* Name(eCryptoAlgorithm algorithm)
{
    return algorithm == CRYPTO_ALGORITHM_NONE ? "none" : algorithm == CRYPTO_ALGORITHM_3DES ? "3des" : "blowfish";
}

void Run(eCryptoAlgorithm algorithm, size_t body, size_t total_bytes)
{
    CVeskNetworkSessionManager manager;
    manager.CreateSessions(4);
    manager.CreateListenSessions(1);
    manager.CreateParseRecvSocketBufferThread();
    manager.DispatchLibEvent();
    const std::string port = std::to_string(FreePort());
    manager.Listen(port.c_str(), AF_INET, 5, OnEvent, nullptr, CRYPTO_ALGORITHM_NONE);
    g_accepted = nullptr;
    g_received = 0;
    CVeskNetworkSession* client = manager.Connect("127.0.0.1", port.c_str(), OnEvent, nullptr);
    while (g_accepted.load() == nullptr)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (algorithm != CRYPTO_ALGORITHM_NONE) {
        VeskNetworkTestAccess::Encrypt(*client, algorithm);
        VeskNetworkTestAccess::Encrypt(*g_accepted.load(), algorithm);
    }
    const std::vector<unsigned char> payload(body, 0x5A);
    const size_t records = total_bytes / body;
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < records; ++i)
        client->send(payload.data(), static_cast<int>(body), 0);
    while (g_received.load() < records * body)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%-9s %6zu B  %9.0f records/s  %8.1f MB/s  %7.2f us/record\n", Name(algorithm), body,
                static_cast<double>(records) / seconds, static_cast<double>(records * body) / seconds / 1e6,
                seconds * 1e6 / static_cast<double>(records));
}

}  // namespace

int main()
{
    for (eCryptoAlgorithm algorithm : {CRYPTO_ALGORITHM_NONE, CRYPTO_ALGORITHM_3DES, CRYPTO_ALGORITHM_BLOWFISH})
        for (size_t body : {size_t{1024}, size_t{16384}})
            Run(algorithm, body, algorithm == CRYPTO_ALGORITHM_3DES ? (64u << 20) / 4 : (64u << 20));
}
