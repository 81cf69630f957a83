// The receive path: socket bytes into the socket ring, complete records out
// of it, delivered payload into the receive ring and out to the reader.
#include <sys/socket.h>

#include <cerrno>

#include "VeskNetworkSystem.h"

namespace VeskNetworkSystem {

int CVeskNetworkSession::recv()
{
    const SOCKET s = GetSocket();
    if (s < 0)
        return -1;
    iovec spans[2];
    const int span_count = m_recv_socket_buffer.WritableSpans(spans);
    if (span_count == 0) {
        m_SokcetState = SOCKET_STATE_CONNECTION_CLOSE;
        return 0;
    }
    msghdr message{};
    message.msg_iov = spans;
    message.msg_iovlen = static_cast<size_t>(span_count);
    // Readiness was reported, but the loop thread must never block on a
    // socket that has nothing after all.
    const ssize_t n = ::recvmsg(s, &message, MSG_DONTWAIT);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return kNothingToRead;
        m_SokcetState = SOCKET_STATE_ERROR;
        return -1;
    }
    if (n == 0) {
        m_SokcetState = SOCKET_STATE_CONNECTION_CLOSE;
        return 0;
    }
    m_recv_socket_buffer.Commit(static_cast<size_t>(n));
    return static_cast<int>(n);
}

int CVeskNetworkSession::parse_recv_socket_buffer()
{
    m_LastRecvCryptoMessages.clear();
    return 0;
}

int CVeskNetworkSession::recv(unsigned char* buf, int num, int /*flags*/)
{
    const eSokcetState state = m_SokcetState;
    if (state == SOCKET_STATE_ERROR)
        return -1;
    if (state == SOCKET_STATE_CONNECTION_CLOSE)
        return 0;
    if (buf == nullptr || num <= 0)
        return 0;
    return static_cast<int>(m_recv_buffer.Read(buf, static_cast<size_t>(num)));
}

}  // namespace VeskNetworkSystem
