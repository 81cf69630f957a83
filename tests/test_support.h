// Helpers the loopback tests share: bounded waits, free ports, raw socket I/O.
#ifndef VESK_TESTS_TEST_SUPPORT_H
#define VESK_TESTS_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
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

inline void WriteAll(int fd, const std::vector<unsigned char>& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        ASSERT_GT(n, 0);
        sent += static_cast<size_t>(n);
    }
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

// Writes to a socket until the peer is gone or ten seconds have passed.
inline void WriteUntilClosed(int fd)
{
    const std::vector<char> chunk(4096, 'w');
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (::send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return;
        pollfd waiting{fd, POLLOUT, 0};
        poll(&waiting, 1, 10);
    }
}

}  // namespace vesk_test

#endif
