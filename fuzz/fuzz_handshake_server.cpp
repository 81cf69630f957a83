// The server's side of the handshake: an accepted session with the fixed
// listener key pair, fed client flights (and what follows them) in chunks.
//
// The first input byte chooses the listener's algorithm (its value modulo 3:
// NONE, 3DES, Blowfish); the rest is chunks (see Chunks).
#include "fuzz_support.h"

using namespace vesk_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const auto algorithm = static_cast<eCryptoAlgorithm>(data[0] % 3);
    StreamSession stream(Access::OneSessionPool());
    stream.Open(OnStreamEvent, nullptr,
                [&](CVeskNetworkSession& accepted) { Access::AcceptWithFixedKeyPair(accepted, algorithm); });
    for (const Bytes& chunk : Chunks(data + 1, size - 1))
        stream.Deliver(chunk);
    stream.EndOfStream();
    return 0;
}
