// The server's side of the handshake: an accepted session with the fixed
// listener key pair, fed client flights (and what follows them) in chunks.
//
// The first input byte chooses the listener's algorithm (its value modulo 3:
// NONE, 3DES, Blowfish); the rest is chunks (see ChunkReader).
#include "fuzz_support.h"

namespace {

using namespace vesk_fuzz;

// Takes payload out as the message layer does; the handshake's own event
// only has to arrive once, and only after the session sent its Finish.
int OnEvent(CVeskNetworkSession* session, short ev, void* /*param*/)
{
    if ((ev & NETWORK_EVENT_HANDSHAKE_FINISH) != 0)
        VESK_FUZZ_CHECK(session->GetCryptoStateSend() == CRYPTO_STATE_CRYPTOED &&
                        session->GetCryptoStateRecv() == CRYPTO_STATE_CRYPTOED);
    if ((ev & NETWORK_EVENT_READ) != 0) {
        unsigned char payload[CVeskByteRing::kSize];
        if (session->recv(payload, sizeof payload, 0) <= 0)
            session->SetUsed(false);
    }
    if ((ev & NETWORK_EVENT_CLOSE) != 0)
        session->SetUsed(false);
    return 1;
}

CVeskNetworkSessionManager& Manager()
{
    static CVeskNetworkSessionManager* manager = [] {
        auto* created = new CVeskNetworkSessionManager;
        VESK_FUZZ_CHECK(created->CreateSessions(1) == 1);
        return created;
    }();
    return *manager;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const auto algorithm = static_cast<eCryptoAlgorithm>(data[0] % 3);
    CVeskNetworkSessionListen& listener = ServerKeyHolder();

    StreamSession stream(Manager(), 40002);
    CVeskNetworkSession* session = stream.Open(OnEvent, nullptr, [&](CVeskNetworkSession& accepted) {
        Access::CopyKeys(accepted, listener);
        Access::SetAlgorithm(accepted, algorithm);
    });
    if (session != nullptr) {
        ChunkReader chunks(data + 1, size - 1);
        const uint8_t* chunk = nullptr;
        size_t length = 0;
        while (chunks.Next(&chunk, &length))
            stream.Deliver(chunk, length);
        stream.EndOfStream();
    }
    stream.Close();
    return 0;
}
