// Datagram dispatch: every chunk of the input is one datagram sent from a
// loopback socket to a datagram socket of the message system, which reads it,
// reports the session event and hands it to the first handler of its type.
// The input is chunks (see Chunks).
#include <arpa/inet.h>

#include <cstring>

#include "fuzz_support.h"

namespace {

using namespace vesk_fuzz;
using namespace VeskMessageSystem;

// Answers the sender at the address texts it was given.
int OnEcho(CVeskMessageSession* session, const char* host, const char* service, const void* data, size_t size)
{
    VESK_FUZZ_CHECK(size <= g_datagram_length);
    session->sendto_udp_message(data, size, host, service);
    return 1;
}

struct Harness {
    CVeskMessageSystem* system = nullptr;
    CVeskNetworkUDPSession* datagram = nullptr;
    sockaddr_in address{};
    int sender = -1;
};

// A datagram socket of the system bound to a loopback port; opened again when
// a failed read closed it.
bool OpenDatagram(Harness& harness)
{
    if (harness.datagram != nullptr && harness.datagram->IsUsed())
        return true;
    CVeskNetworkSessionManager& manager = *Access::Manager(*harness.system);
    CVeskNetworkUDPSession* datagram = Access::ClaimDatagram(manager);
    if (datagram == nullptr)
        return false;
    sockaddr_in bound = Loopback(0);
    addrinfo ai{};
    ai.ai_family = AF_INET;
    ai.ai_socktype = SOCK_DGRAM;
    ai.ai_addr = reinterpret_cast<sockaddr*>(&bound);
    ai.ai_addrlen = sizeof bound;
    if (datagram->make_bind_socket(&ai, Access::DatagramCallback(), harness.system) < 0) {
        datagram->AbandonClaim();
        return false;
    }
    if (!Access::PublishAndWatch(*datagram))
        return false;
    socklen_t length = sizeof harness.address;
    getsockname(datagram->GetSocket(), reinterpret_cast<sockaddr*>(&harness.address), &length);
    harness.datagram = datagram;
    return true;
}

Harness& Setup()
{
    static Harness* harness = [] {
        auto* created = new Harness;
        created->system = VeskMessageSystemCreate();
        VESK_FUZZ_CHECK(created->system->CreateUDPSessions(1) == 1);
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
            created->system->add_ExtensionCallFunction(handler);
        created->sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const sockaddr_in local = Loopback(0);
        bind(created->sender, reinterpret_cast<const sockaddr*>(&local), sizeof local);
        return created;
    }();
    return *harness;
}

// Answers that came back to the sender are thrown away.
void DiscardAnswers(int fd)
{
    unsigned char answer[65536];
    while (::recv(fd, answer, sizeof answer, MSG_DONTWAIT) >= 0) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Harness& harness = Setup();
    for (const Bytes& chunk : Chunks(data, size)) {
        if (!OpenDatagram(harness))
            break;
        if (sendto(harness.sender, chunk.data(), chunk.size(), 0, reinterpret_cast<const sockaddr*>(&harness.address),
                   sizeof harness.address) < 0)
            continue;
        // The loop thread's turn: the socket is readable once the datagram is there.
        pollfd waiting{harness.datagram->GetSocket(), POLLIN, 0};
        if (poll(&waiting, 1, 1000) <= 0)
            continue;
        g_datagram_length = chunk.size();
        Access::DatagramRead(*harness.datagram);
        DiscardAnswers(harness.sender);
    }
    return 0;
}
