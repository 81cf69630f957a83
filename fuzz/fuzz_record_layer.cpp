// The record cutter and the receive path, fed a byte stream in chunks.
//
// The first input byte sets up the session:
//   bits 0-1  the algorithm: NONE, 3DES, Blowfish, or the unknown value 3
//   bit 2     the receiving direction starts encrypted (with the fixed key)
//   bits 3-4  how much the reader takes per data event: all, 1, 64 or 4096
//             bytes, so that payload waits for room in the receive ring
//   bit 5     the peer closes its sending direction after the last chunk
// The rest is chunks (see Chunks).
#include "fuzz_support.h"

using namespace vesk_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t config = data[0];
    const auto algorithm = static_cast<eCryptoAlgorithm>(config & 3);
    static const int kTakes[4] = {static_cast<int>(CVeskByteRing::kSize), 1, 64, 4096};
    int take = kTakes[(config >> 3) & 3];

    StreamSession stream(Access::OneSessionPool());
    stream.Open(OnStreamEvent, &take,
                [&](CVeskNetworkSession& opened) { Access::UseFixedKey(opened, algorithm, (config & 4) != 0, false); });
    for (const Bytes& chunk : Chunks(data + 1, size - 1))
        stream.Deliver(chunk);
    if ((config & 32) != 0)
        stream.EndOfStream();
    return 0;
}
