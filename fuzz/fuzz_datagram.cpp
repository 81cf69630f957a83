// Datagram dispatch: every chunk of the input is one datagram sent from a
// loopback socket to a datagram socket of the message system, which reads it,
// reports the session event and hands it to the first handler of its type.
// The input is chunks (see Chunks).
#include "fuzz_support.h"

using namespace vesk_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static CVeskMessageSystem& system = *[] {
        auto* created = VeskMessageSystemCreate();
        VESK_FUZZ_CHECK(created->CreateUDPSessions(1) == 1);
        const tagExtensionCallFunction handlers[] = {
            {VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT, 140, OnSessionEvent},
            Typed<1, 16, false>(),
            {2, 8, OnEcho},
            Typed<3, 600, false>(),
            Typed<0, 8, false>(),
            Typed<0xFFFF, 20000, false>(),
            Typed<VESKMESSYS_MESSAGE_TYPE_USER_MESSAGE, 1544, false>(),
            Typed<VESKMESSYS_MESSAGE_TYPE_USER_EXTENSION_ALL, 8, false>(),
        };
        for (const tagExtensionCallFunction& handler : handlers)
            created->add_ExtensionCallFunction(handler);
        return created;
    }();
    // The datagram socket, opened again when a failed read closed it, and the
    // sender (bound by its first send), whose answers are thrown away.
    static CVeskNetworkUDPSession* datagram = nullptr;
    static sockaddr_in address{};
    static const int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    for (const Bytes& chunk : Chunks(data, size)) {
        if (datagram == nullptr || !datagram->IsUsed())
            datagram = Access::OpenDatagram(system, &address);
        const auto* to = reinterpret_cast<const sockaddr*>(&address);
        if (datagram == nullptr)
            break;
        if (sendto(sender, chunk.data(), chunk.size(), 0, to, sizeof address) < 0)
            continue;
        // The loop thread's turn: the socket is readable once the datagram is there.
        pollfd waiting{datagram->GetSocket(), POLLIN, 0};
        if (poll(&waiting, 1, 1000) <= 0)
            continue;
        g_datagram_length = chunk.size();
        Access::DatagramRead(*datagram);
        unsigned char answer[65536];
        while (::recv(sender, answer, sizeof answer, MSG_DONTWAIT) >= 0) {
        }
    }
    return 0;
}
