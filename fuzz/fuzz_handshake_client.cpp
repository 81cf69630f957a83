// The client's side of the handshake: a session that has sent its
// ClientHello, fed server flights (and what follows them) in chunks.
//
// The client chooses its key and IV at random when it answers the
// ServerHelloDone. So that recorded server flights that follow decrypt, the
// harness replaces them with the fixed key and IV once that answer has left,
// exactly as if the random choice had come out that way. The input is chunks
// (see ChunkReader).
#include "fuzz_support.h"

namespace {

using namespace vesk_fuzz;

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
    StreamSession stream(Manager(), 40003);
    CVeskNetworkSession* session = stream.Open(OnEvent, nullptr, [](CVeskNetworkSession& connecting) {
        VESK_FUZZ_CHECK(Access::SendClientHello(connecting) == 15);
    });
    if (session != nullptr) {
        ChunkReader chunks(data, size);
        const uint8_t* chunk = nullptr;
        size_t length = 0;
        bool key_pinned = false;
        while (chunks.Next(&chunk, &length)) {
            stream.Deliver(chunk, length);
            if (!key_pinned && session->IsUsed() && session->GetCryptoStateSend() == CRYPTO_STATE_CRYPTOED) {
                GiveSessionKey(*session, Access::Algorithm(*session));
                key_pinned = true;
            }
        }
        stream.EndOfStream();
    }
    stream.Close();
    return 0;
}
