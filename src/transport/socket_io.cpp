// Small helpers over socket calls: non-blocking mode, name resolution, connect with a deadline, address text.
#include "transport/socket_io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

namespace vesk::net {

bool SetNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

ResolvedAddresses::ResolvedAddresses(const char* hostname, const char* service, int family, int socktype)
    : m_Head(nullptr)
{
    addrinfo hints{};
    hints.ai_flags = hostname == nullptr ? AI_PASSIVE : 0;
    hints.ai_family = family;
    hints.ai_socktype = socktype;
    int result;
    do
        result = getaddrinfo(hostname, service, &hints, &m_Head);
    while (result == EAI_SYSTEM && errno == EINTR);
    if (result != 0)
        m_Head = nullptr;
}

ResolvedAddresses::~ResolvedAddresses()
{
    if (m_Head != nullptr)
        freeaddrinfo(m_Head);
}

Deadline::Deadline(uint32_t ms)
    : m_At(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms)), m_bSet(ms != 0)
{
}

int Deadline::PollTimeout() const
{
    if (!m_bSet)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_At - std::chrono::steady_clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool ConnectAndWait(int fd, const addrinfo& address, const Deadline& deadline)
{
    // A connect interrupted by a signal goes on in the background, as one in
    // progress does: either way its outcome is waited for.
    if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0)
        return true;
    if (errno != EINPROGRESS && errno != EINTR)
        return false;
    pollfd connecting{fd, POLLOUT, 0};
    const int ready = RetryInterrupted([&] { return poll(&connecting, 1, deadline.PollTimeout()); });
    int error = 0;
    socklen_t length = sizeof error;
    return ready == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

AddressText::AddressText(const sockaddr* address)
{
    char host[INET6_ADDRSTRLEN] = "";
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        std::snprintf(text, sizeof text, "%s:%u", host, static_cast<unsigned>(ntohs(v4->sin_port)));
    } else if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
        std::snprintf(text, sizeof text, "[%s]:%u", host, static_cast<unsigned>(ntohs(v6->sin6_port)));
    } else {
        std::snprintf(text, sizeof text, "unknown");
    }
}

}  // namespace vesk::net
