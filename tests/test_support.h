// The harness every test shares: bounded waits, ports the kernel chose, the
// raw-socket kit (listen, accept, write, read), temporary files. The
// independent record codec is raw_peer.h.
#ifndef VESK_TESTS_TEST_SUPPORT_H
#define VESK_TESTS_TEST_SUPPORT_H

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "../perf/perf_support.h"

namespace vesk_test {

using vesk_perf::FreePort;

// Polls the condition until it holds or the time is up; its last value.
template <class Predicate>
bool WaitFor(Predicate predicate, std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return predicate();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Calls listen(service) on ports the kernel chose until one succeeds (a probed
// port can be taken again before the listen); the service, or "" after 20 tries.
template <class Listen>
std::string ListenOnFreePort(Listen listen)
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        const std::string service = std::to_string(FreePort());
        if (listen(service))
            return service;
    }
    ADD_FAILURE() << "no free port accepted the listen";
    return "";
}

// A raw listening socket on a loopback port the kernel chose.
inline int ListenOnLoopback(int* port)
{
    const int fd = vesk_perf::ListenTcp("127.0.0.1", 0);
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

// Whether a socket can be bound to the IPv6 loopback address here.
inline bool HasIPv6Loopback()
{
    const int probe = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in6 address{AF_INET6, 0, 0, in6addr_loopback, 0};
    const bool bound = probe >= 0 && ::bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    return bound;
}

inline int AcceptWithin(int listener, int milliseconds = 10000)
{
    pollfd waiting{listener, POLLIN, 0};
    if (poll(&waiting, 1, milliseconds) <= 0)
        return -1;
    return accept(listener, nullptr, nullptr);
}

// A temporary file holding the given bytes (a user list, say), removed with
// the object.
class TempFile {
public:
    explicit TempFile(const std::string& contents) : m_name(::testing::TempDir() + "vesk_test_XXXXXX")
    {
        const int fd = mkstemp(m_name.data());
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
        ::close(fd);
    }
    ~TempFile() { std::remove(m_name.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const char* Name() const { return m_name.c_str(); }

private:
    std::string m_name;
};

inline void WriteAll(int fd, const std::vector<unsigned char>& bytes)
{
    ASSERT_TRUE(vesk_perf::WriteAll(fd, bytes.data(), bytes.size()));
}

// Reads exactly n bytes, or what arrived before the deadline.
inline std::vector<unsigned char> ReadBytes(int fd, size_t n,
                                            std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    std::vector<unsigned char> bytes;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (bytes.size() < n && std::chrono::steady_clock::now() < deadline) {
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, 10) <= 0)
            continue;
        unsigned char chunk[4096];
        const ssize_t got = ::recv(fd, chunk, std::min(sizeof chunk, n - bytes.size()), 0);
        if (got <= 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
}

}  // namespace vesk_test

#endif
