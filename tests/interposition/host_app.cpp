// An application that defines functions with the same names as functions the
// library exports. The library must keep calling its own: a host's
// select_random_key must never choose a session key. The program listens and
// connects over loopback with Blowfish and a login, then checks that none of
// its look-alikes was called.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "VeskMessageSystem.h"
#include "perf_support.h"

using namespace VeskMessageSystem;

static std::atomic<int> g_host_calls{0};  // calls into this program's look-alikes

void select_random_key(unsigned char* key, int b)
{
    ++g_host_calls;
    std::memset(key, 0xA5, static_cast<size_t>(b));
}

void select_random_iv(unsigned char* iv, int b)
{
    ++g_host_calls;
    std::memset(iv, 0x5A, static_cast<size_t>(b));
}

size_t _tcscnlen(const char* _String, size_t _Maximum)
{
    ++g_host_calls;
    return strnlen(_String, _Maximum);
}

static bool login_accepted(CVeskMessageSystem* client)
{
    for (int waited = 0; waited < 20000; waited += 10) {
        if (client->reference_user("alice", 5).get_uid_size() > 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// The server's user list holds alice; it is read from a file, as servers do.
static bool load_alice(CVeskMessageSystem* server)
{
    char path[] = "/tmp/vesk-interposition-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return false;
    const char line[] = "alice\tsecret\n";
    const bool written = write(fd, line, sizeof line - 1) == static_cast<ssize_t>(sizeof line - 1);
    close(fd);
    const bool loaded = written && server->load_auth_user_list(path) == 1;
    unlink(path);
    return loaded;
}

static int listen_on_free_port(CVeskMessageSystem* server, std::string* service)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        *service = std::to_string(vesk_perf::FreePort());
        if (server->listen(service->c_str(), AF_INET, VESKMESSYS_CRYPTO_ALGORITHM_BLOWFISH) == 1)
            return 1;
    }
    return 0;
}

int main()
{
    CVeskMessageSystem* server = VeskMessageSystemCreate();
    CVeskMessageSystem* client = VeskMessageSystemCreate();
    std::string service;
    if (server->CreateSessions(2) != 1 || server->CreateListenSessions(1) != 1 || client->CreateSessions(1) != 1 ||
        !load_alice(server) || server->InitSocketEvent() != 1 || client->InitSocketEvent() != 1 ||
        listen_on_free_port(server, &service) != 1 || server->DispatchSocketEvent() != 1 ||
        client->DispatchSocketEvent() != 1) {
        std::puts("FAIL: could not set up the two systems");
        return 2;
    }

    CVeskMessageSession* session = client->connect("127.0.0.1", service.c_str(), "alice", 5, "secret", 6);
    const bool logged_in = session != nullptr && login_accepted(client);
    if (session != nullptr) {
        client->close(session);
        delete session;
    }
    server->close_listen(service.c_str());
    delete client;
    delete server;

    if (!logged_in) {
        std::puts("FAIL: handshake or login did not finish");
        return 1;
    }
    if (g_host_calls != 0) {
        std::printf("FAIL: the library called the application's functions %d times\n", g_host_calls.load());
        return 1;
    }
    std::puts("the library called only its own functions");
    return 0;
}
