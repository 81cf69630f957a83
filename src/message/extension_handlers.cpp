#include <algorithm>
#include <cstring>

#include "VeskMessageSystem.h"

namespace VeskMessageSystem {

namespace {

// Copies a whole record, or nothing when fewer bytes than the record holds
// were handed over.
template <class Record>
int CopyCompleteRecord(const void* pMessageData, size_t nMessageData, Record& record)
{
    if (pMessageData == nullptr || nMessageData < sizeof record)
        return 0;
    std::memcpy(&record, pMessageData, sizeof record);
    return 1;
}

}  // namespace

int CVeskMessageSystem::add_ExtensionCallFunction(const tagExtensionCallFunction& ExtensionCallFunction)
{
    m_ExtensionCallFunctionArray.push_back(ExtensionCallFunction);
    return 1;
}

int CVeskMessageSystem::delete_ExtensionCallFunction(int type)
{
    // `type` is a message type, not a position, compared as the unsigned
    // 32-bit value it stands for.
    const auto message_type = static_cast<uint32_t>(type);
    const auto found =
        std::find_if(m_ExtensionCallFunctionArray.begin(), m_ExtensionCallFunctionArray.end(),
                     [message_type](const tagExtensionCallFunction& entry) { return entry.m_type == message_type; });
    if (found == m_ExtensionCallFunctionArray.end())
        return 0;
    m_ExtensionCallFunctionArray.erase(found);
    return 1;
}

int CVeskMessageSystem::delete_allExtensionCallFunction()
{
    m_ExtensionCallFunctionArray.clear();
    return 1;
}

// The library gives user messages and user state no meaning of its own; the
// hooks only take a copy of a complete record.
int CVeskMessageSystem::parse_message_data_user_message(CVeskNetworkSession* /*session*/, const void* pMessageData,
                                                        size_t nMessageData)
{
    tagMessageDataUserMessage message;
    return CopyCompleteRecord(pMessageData, nMessageData, message);
}

int CVeskMessageSystem::parse_message_data_user_state(CVeskNetworkSession* /*session*/, const void* pMessageData,
                                                      size_t nMessageData)
{
    tagMessageDataUserState state;
    return CopyCompleteRecord(pMessageData, nMessageData, state);
}

}  // namespace VeskMessageSystem
