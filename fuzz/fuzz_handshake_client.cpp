// The client's side of the handshake: a session that has sent its
// ClientHello, fed server flights (and what follows them) in chunks.
//
// The client chooses its key and IV at random when it answers the
// ServerHelloDone. So that recorded server flights that follow decrypt, the
// harness replaces them with the fixed key and IV once that answer has left,
// exactly as if the random choice had come out that way. The input is chunks
// (see Chunks).
#include "fuzz_support.h"

using namespace vesk_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    StreamSession stream(Access::OneSessionPool());
    CVeskNetworkSession* session = stream.Open(OnStreamEvent, nullptr, [](CVeskNetworkSession& connecting) {
        VESK_FUZZ_CHECK(Access::SendClientHello(connecting) == 15);
    });
    bool key_pinned = session == nullptr;
    for (const Bytes& chunk : Chunks(data, size)) {
        stream.Deliver(chunk);
        if (!key_pinned && session->IsUsed() && session->GetCryptoStateSend() == CRYPTO_STATE_CRYPTOED) {
            Access::PinFixedKey(*session);
            key_pinned = true;
        }
    }
    stream.EndOfStream();
    return 0;
}
