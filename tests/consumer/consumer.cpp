// An application built against the installed library: checks that it runs
// with the version it was built against, creates the system, sizes its pools,
// registers a handler, uses the exported helpers and deletes the system. It
// includes the headers both ways an application may.
#include <vesk/VeskMessageSystem.h>

#include <cstdio>
#include <cstring>

#include "CryptFunction.h"

using namespace VeskMessageSystem;

static int on_message(CVeskMessageSession*, const char*, const char*, const void*, size_t)
{
    return 1;
}

int main()
{
    if (std::strcmp(VeskVersion(), VESK_VERSION_STRING) != 0)
        return 5;
    CVeskMessageSystem* system = VeskMessageSystemCreate();
    if (system->CreateSessions(4) != 1 || system->CreateListenSessions(1) != 1 || system->CreateUDPSessions(1) != 1)
        return 1;
    tagExtensionCallFunction handler = {7, 16, on_message};
    if (system->add_ExtensionCallFunction(handler) != 1 || system->add_user("alice", 5, "secret", 6) != 1)
        return 2;
    CVeskMessageUser alice = system->reference_user("alice", 5);
    if (std::strcmp(alice.get_passwd(), "secret") != 0 || get_key_length_DES_EDE3() != 24)
        return 3;
    unsigned char key[16] = {1, 2, 3};
    unsigned char iv[8] = {};
    unsigned char cipher[16];
    if (encrypt_BF(cipher, sizeof cipher, key, 3, key, 16, iv, 8) != 8)
        return 4;
    system->ReleaseSessions();
    delete system;
    std::puts("consumer ok");
    return 0;
}
