// The path from a TCP session to the application: session events and the
// payload of every read.
#include "VeskMessageSystem.h"

namespace VeskMessageSystem {

using VeskNetworkSystem::NETWORK_EVENT_CLOSE;
using VeskNetworkSystem::NETWORK_EVENT_READ;

int CVeskMessageSystem::cbfunc_Recv(CVeskNetworkSession* session, short ev, void* pParam)
{
    if (session == nullptr || pParam == nullptr)
        return 0;
    auto* system = static_cast<CVeskMessageSystem*>(pParam);
    if ((ev & NETWORK_EVENT_READ) != 0) {
        // One read takes whatever the receive ring holds, up to its size. A
        // read of nothing means the session is finished.
        unsigned char data[VeskNetworkSystem::CVeskByteRing::kSize];
        const int length = session->recv(data, sizeof data, 0);
        if (length > 0) {
            system->notify_session_event(session, ev);
            system->parse_message(session, data, length);
        } else {
            system->notify_session_event(session, NETWORK_EVENT_CLOSE);
            session->SetUsed(false);
        }
    } else {
        system->notify_session_event(session, ev);
    }
    if ((ev & NETWORK_EVENT_CLOSE) != 0)
        session->SetUsed(false);
    return 1;
}

}  // namespace VeskMessageSystem
