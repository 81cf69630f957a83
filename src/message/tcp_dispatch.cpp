// The path from a TCP session to the application: session events and the
// messages cut out of every read.
#include <cstring>

#include "VeskMessageSystem.h"
#include "message/session_events.h"
#include "record/byte_reader.h"

namespace VeskMessageSystem {
namespace {

using VeskNetworkSystem::NETWORK_EVENT_CLOSE;
using VeskNetworkSystem::NETWORK_EVENT_HANDSHAKE_FINISH;
using VeskNetworkSystem::NETWORK_EVENT_READ;

constexpr size_t kMessageHeaderSize = sizeof(tagMessageHeader);

// The 8-byte header at the start of `bytes`; false when fewer bytes are left.
bool ReadHeader(const unsigned char* bytes, size_t length, tagMessageHeader* header)
{
    vesk::net::ByteReader reader(bytes, length);
    header->m_padding = 0;
    return reader.ReadU32LE(&header->m_type) && reader.ReadU16LE(&header->m_size) && reader.Remaining() >= 2;
}

}  // namespace

int CVeskMessageSystem::cbfunc_Recv(CVeskNetworkSession* session, short ev, void* pParam)
{
    if (session == nullptr || pParam == nullptr)
        return 0;
    auto* system = static_cast<CVeskMessageSystem*>(pParam);
    if ((ev & NETWORK_EVENT_READ) != 0) {
        // One read takes whatever the receive ring holds. A read of nothing
        // means the session is finished.
        unsigned char data[VeskNetworkSystem::CVeskByteRing::kSize];
        const int length = session->recv(data, sizeof data, 0);
        if (length > 0) {
            system->notify_session_event(session, ev);
            // A handler that deleted the system leaves nothing of it to use.
            if (CVeskNetworkSessionManager::DisposedOnThisThread())
                return 1;
            system->parse_message(session, data, length);
        } else {
            system->notify_session_event(session, NETWORK_EVENT_CLOSE);
            session->SetUsed(false);
        }
    } else {
        if ((ev & NETWORK_EVENT_HANDSHAKE_FINISH) != 0)
            system->StartLoginDeadline(session);
        system->notify_session_event(session, ev);
    }
    if ((ev & NETWORK_EVENT_CLOSE) != 0)
        session->SetUsed(false);
    return 1;
}

int CVeskMessageSystem::notify_session_event(CVeskNetworkSession* session, short ev)
{
    sockaddr_storage address;
    session->GetSocketAddr(&address);
    CVeskMessageSession handle;
    handle.attach_session(session);
    DeliverSessionEvent(*ExtensionCallFunctionsSnapshot(), handle, ev, reinterpret_cast<const sockaddr*>(&address),
                        sizeof address);
    return 1;
}

// Cuts one read into messages. Every read starts at a message boundary; a
// header that is cut short or claims fewer than 8 bytes ends the cut, so no
// byte beyond the read is looked at and the cut always moves forward.
int CVeskMessageSystem::parse_message(CVeskNetworkSession* session, const unsigned char* buf, int num)
{
    if (num <= 0 || buf == nullptr)
        return 0;
    struct BuiltIn {
        uint32_t type;
        int (CVeskMessageSystem::*handler)(CVeskNetworkSession*, const void*, size_t);
        uint16_t size;
    };
    static const BuiltIn kBuiltIns[] = {
        {VESKMESSYS_MESSAGE_TYPE_USER_AUTH_REQUSET, &CVeskMessageSystem::parse_message_data_user_auth_request,
         sizeof(tagMessageDataUserAuthRequest)},
        {VESKMESSYS_MESSAGE_TYPE_USER_AUTH_RESULT, &CVeskMessageSystem::parse_message_data_user_auth_result,
         sizeof(tagMessageDataUserAuthResult)},
    };
    sockaddr_storage address;
    session->GetSocketAddr(&address);
    const PeerTexts peer(reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const auto handlers = ExtensionCallFunctionsSnapshot();
    // A login in this very read counts for the messages behind it.
    const bool login_required = RequiresLogin(session);

    const auto total = static_cast<size_t>(num);
    size_t read_seek = 0;
    while (read_seek < total) {
        const size_t remaining = total - read_seek;
        const unsigned char* message = buf + read_seek;
        tagMessageHeader header;
        if (!ReadHeader(message, remaining, &header) || header.m_size < kMessageHeaderSize)
            break;
        bool taken = false;
        for (const BuiltIn& row : kBuiltIns) {
            if (header.m_type == row.type && header.m_size == row.size && remaining >= row.size) {
                if ((this->*row.handler)(session, message, row.size) == 0)
                    return 0;
                taken = true;
                break;
            }
        }
        if (!taken && header.m_type <= VESKMESSYS_MESSAGE_TYPE_USER_EXTENSION_END &&
            (!login_required || session->IsLoggedIn())) {
            // Handlers for every extension type see the message first, then
            // those registered for its type and size.
            for (const bool every_type : {true, false}) {
                for (const tagExtensionCallFunction& entry : *handlers) {
                    const bool registered = every_type ? entry.m_type == VESKMESSYS_MESSAGE_TYPE_USER_EXTENSION_ALL
                                                       : entry.m_type == header.m_type && entry.m_size == header.m_size;
                    if (!registered || header.m_size > remaining || entry.m_call_func == nullptr)
                        continue;
                    CVeskMessageSession handle;
                    handle.attach_session(session);
                    entry.m_call_func(&handle, peer.host, peer.service, message, header.m_size);
                    if (CVeskNetworkSessionManager::DisposedOnThisThread())
                        return 1;
                }
            }
        }
        read_seek += header.m_size;
    }
    return 1;
}

}  // namespace VeskMessageSystem
