// Small helpers over the socket calls the transport makes.
#ifndef VESK_TRANSPORT_SOCKET_IO_H
#define VESK_TRANSPORT_SOCKET_IO_H

#include <netdb.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

namespace vesk::net {

bool SetNonBlocking(int fd);

// Makes a call again while a signal interrupted it (EINTR, which a handler
// installed without SA_RESTART causes); its last result. Not for close(),
// which has given up the descriptor even when it reports EINTR.
template <class Call>
auto RetryInterrupted(Call call) -> decltype(call())
{
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR)
            return result;
    }
}

// The addresses a host and service resolve to, in the resolver's order; a
// null host stands for this host's wildcard addresses, to bind to. None when
// the names do not resolve.
class ResolvedAddresses {
public:
    ResolvedAddresses(const char* hostname, const char* service, int family, int socktype);
    ~ResolvedAddresses();
    ResolvedAddresses(const ResolvedAddresses&) = delete;
    ResolvedAddresses& operator=(const ResolvedAddresses&) = delete;

    addrinfo* First() const { return m_Head; }

private:
    addrinfo* m_Head;
};

// A moment a wait must not pass; none when made from 0 milliseconds.
class Deadline {
public:
    explicit Deadline(uint32_t ms);
    // What poll takes: -1 without a deadline, 0 once it has passed.
    int PollTimeout() const;

private:
    std::chrono::steady_clock::time_point m_At;
    bool m_bSet;
};

// Connects a non-blocking stream socket and waits until the connection is
// made (true), has failed, or the deadline has passed. Signals do not end the
// wait; shutting the socket down from another thread does.
bool ConnectAndWait(int fd, const addrinfo& address, const Deadline& deadline);

// An IPv4 or IPv6 address and port as log lines show them, numeric:
// "127.0.0.1:5000", "[::1]:5000"; "unknown" for other families.
struct AddressText {
    explicit AddressText(const sockaddr* address);
    char text[64];
};

}  // namespace vesk::net

#endif
