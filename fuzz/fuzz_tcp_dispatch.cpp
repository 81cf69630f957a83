// The message layer's receive handler: the bytes of each chunk arrive as the
// payload of data records on a session whose events go to the message
// system, which cuts them into messages and dispatches them to the
// authentication handlers and the extension handlers.
//
// The first input byte sets up the session (bits 0-1): a plain session
// without a handshake, or one whose handshake has finished with NONE, 3DES or
// Blowfish (the fixed key); the harness then writes the records as that peer
// would. The rest is chunks (see Chunks), each one payload.
#include "fuzz_support.h"

namespace {

using namespace vesk_fuzz;

// Every extension message whose whole size lies in the read.
int OnAnyExtension(CVeskMessageSession* /*session*/, const char* /*host*/, const char* /*service*/, const void* data,
                   size_t size)
{
    VESK_FUZZ_CHECK(size >= sizeof(tagMessageHeader) && size == Header(data).m_size);
    VESK_FUZZ_CHECK(Header(data).m_type <= VESKMESSYS_MESSAGE_TYPE_USER_EXTENSION_END);
    g_sink = Touch(data, size);
    return 1;
}

int OnNeverOverTcp(CVeskMessageSession* /*session*/, const char* /*host*/, const char* /*service*/,
                   const void* /*data*/, size_t /*size*/)
{
    // User messages and other library types are dropped on TCP sessions.
    VESK_FUZZ_CHECK(false);
    return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const int mode = data[0] & 3;
    const bool finished = mode != 0;
    const auto algorithm = static_cast<eCryptoAlgorithm>(finished ? mode - 1 : 0);
    static CVeskMessageSystem& system = *[] {
        auto* created = VeskMessageSystemCreate();
        VESK_FUZZ_CHECK(created->CreateSessions(1) == 1);
        const tagExtensionCallFunction handlers[] = {
            {VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT, 140, OnSessionEvent},
            {VESKMESSYS_MESSAGE_TYPE_USER_EXTENSION_ALL, 0, OnAnyExtension},
            Typed<1, 16, true>(),
            Typed<1, 16, true>(),
            {2, 8, OnEcho},
            Typed<3, 600, true>(),
            Typed<0xFFFF, 20000, true>(),
            Typed<0, 8, true>(),
            {VESKMESSYS_MESSAGE_TYPE_USER_MESSAGE, 1544, OnNeverOverTcp},
            {VESKMESSYS_MESSAGE_TYPE_USER_STATE, 584, OnNeverOverTcp},
        };
        for (const tagExtensionCallFunction& handler : handlers)
            created->add_ExtensionCallFunction(handler);
        Access::AuthUsers(*created).add_user("alice", 5, "wonderland", 10);
        Access::AuthUsers(*created).add_user("bob", 3, "", 0);
        return created;
    }();
    // Logins of earlier inputs are forgotten.
    system.delete_alluser();
    g_can_answer = finished;

    StreamSession stream(Access::Manager(system));
    CVeskNetworkSession* session = stream.Open(Access::MessageCallback(), &system, [&](CVeskNetworkSession& opened) {
        Access::UseFixedKey(opened, algorithm, finished, finished);
    });
    if (session == nullptr)
        return 0;
    if (finished)
        Access::ReportHandshakeFinished(*session);
    const size_t capacity = algorithm != CRYPTO_ALGORITHM_NONE ? kMaxEncryptedPayload : kMaxPlainPayload;
    for (const Bytes& chunk : Chunks(data + 1, size - 1)) {
        if (!session->IsUsed())
            break;
        const Bytes payload(chunk.begin(), chunk.begin() + static_cast<long>(std::min(chunk.size(), capacity)));
        if (!payload.empty())
            stream.Deliver(FixedKeyData(algorithm, payload));
    }
    // The peer closes: the message layer reports it and releases the session.
    stream.EndOfStream();
    return 0;
}
