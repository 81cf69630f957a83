// Handler registrations as published snapshots, and the hooks for user messages and user state.
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

std::shared_ptr<const CVeskMessageSystem::ExtensionCallFunctions> CVeskMessageSystem::ExtensionCallFunctionsSnapshot()
    const
{
    // The list is made on first registration; until then it is empty.
    static const auto kNoHandlers = std::make_shared<const ExtensionCallFunctions>();
    auto handlers = std::atomic_load(&m_ExtensionCallFunctionArray);
    return handlers != nullptr ? handlers : kNoHandlers;
}

namespace {

// Writers copy the list, change the copy and publish it; a dispatch that runs
// meanwhile goes on with the list it started with.
template <class Change>
int ChangeHandlers(std::mutex& writers, std::shared_ptr<const std::vector<tagExtensionCallFunction>>& published,
                   Change change)
{
    std::lock_guard<std::mutex> lock(writers);
    const auto current = std::atomic_load(&published);
    auto next = current != nullptr ? std::make_shared<std::vector<tagExtensionCallFunction>>(*current)
                                   : std::make_shared<std::vector<tagExtensionCallFunction>>();
    const int result = change(*next);
    if (result != 0)
        std::atomic_store(&published, std::shared_ptr<const std::vector<tagExtensionCallFunction>>(std::move(next)));
    return result;
}

}  // namespace

int CVeskMessageSystem::add_ExtensionCallFunction(const tagExtensionCallFunction& ExtensionCallFunction)
{
    return ChangeHandlers(m_ExtensionCallFunctionMutex, m_ExtensionCallFunctionArray,
                          [&ExtensionCallFunction](ExtensionCallFunctions& handlers) {
                              handlers.push_back(ExtensionCallFunction);
                              return 1;
                          });
}

int CVeskMessageSystem::delete_ExtensionCallFunction(int type)
{
    // `type` is a message type, not a position, compared as the unsigned
    // 32-bit value it stands for.
    const auto message_type = static_cast<uint32_t>(type);
    return ChangeHandlers(
        m_ExtensionCallFunctionMutex, m_ExtensionCallFunctionArray, [message_type](ExtensionCallFunctions& handlers) {
            const auto found = std::find_if(
                handlers.begin(), handlers.end(),
                [message_type](const tagExtensionCallFunction& entry) { return entry.m_type == message_type; });
            if (found == handlers.end())
                return 0;
            handlers.erase(found);
            return 1;
        });
}

int CVeskMessageSystem::delete_allExtensionCallFunction()
{
    return ChangeHandlers(m_ExtensionCallFunctionMutex, m_ExtensionCallFunctionArray,
                          [](ExtensionCallFunctions& handlers) {
                              handlers.clear();
                              return 1;
                          });
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
