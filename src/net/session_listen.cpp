#include <openssl/crypto.h>
#include <unistd.h>

#include <vector>

#include "CryptFunction.h"
#include "VeskNetworkSystem.h"

namespace VeskNetworkSystem {

CVeskNetworkSessionListen::CVeskNetworkSessionListen()
    : m_ListenSocket(-1),
      m_EventBase(nullptr),
      m_ListenService{},
      m_ListenAddr(),
      m_cbfunc_Event(nullptr),
      m_cbfunc_EventParam(nullptr),
      m_CryptoAlgorithm(CRYPTO_ALGORITHM_NONE)
{
}

CVeskNetworkSessionListen::~CVeskNetworkSessionListen()
{
    SetUsed(false);
}

void CVeskNetworkSessionListen::SetUsed(bool bFlag)
{
    StoreUsed(bFlag);
    if (!bFlag)
        Close();
}

void CVeskNetworkSessionListen::SetListenService(const char* service)
{
    // Always terminated: a name of 32 characters or more is cut to 31.
    if (service == nullptr)
        return;
    std::memset(m_ListenService, 0, sizeof m_ListenService);
    std::memcpy(m_ListenService, service, strnlen(service, sizeof m_ListenService - 1));
}

int CVeskNetworkSessionListen::GenerateRSAKey(int bits, unsigned long e)
{
    m_RSAPublicExponent = e;
    // Generation costs milliseconds; the scratch stays off the caller's stack.
    std::vector<unsigned char> scratch(2 * static_cast<size_t>(kRSAKeyCapacity));
    unsigned char* private_key = scratch.data();
    unsigned char* public_key = private_key + kRSAKeyCapacity;
    int private_length = 0;
    int public_length = 0;
    int result = RSA_generate_key_der(bits, e, private_key, &private_length, public_key, &public_length);
    if (result > 0 &&
        (m_RSAPrivateKey.Set(private_key, private_length) < 0 || m_RSAPublicKey.Set(public_key, public_length) < 0))
        result = -1;
    OPENSSL_cleanse(private_key, static_cast<size_t>(kRSAKeyCapacity));
    return result;
}

void CVeskNetworkSessionListen::SetLibEvent(short libevent, ty_libevent_handler fn, void* arg)
{
    m_ListenLibEvent.Set(m_EventBase, GetSocket(), libevent, fn, arg);
}

void CVeskNetworkSessionListen::Close()
{
    // Service name, callback and parameter stay: the next Listen overwrites them.
    const SOCKET s = m_ListenSocket.exchange(-1, std::memory_order_acq_rel);
    if (s < 0)
        return;
    DelLibEvent();
    ::close(s);
    m_CryptoAlgorithm = CRYPTO_ALGORITHM_NONE;
    ClearRSAKeyMaterial();
}

}  // namespace VeskNetworkSystem
