// The parent's application: both include styles, and the library it runs
// with is the one it was built against.
#include <vesk/VeskMessageSystem.h>

#include <cstdio>
#include <cstring>

#include "CryptFunction.h"

int main()
{
    VeskMessageSystem::CVeskMessageSystem* system = VeskMessageSystemCreate();
    const bool sized = system->CreateSessions(1) == 1 && get_key_length_BF() > 0;
    delete system;
    if (!sized || std::strcmp(VeskVersion(), VESK_VERSION_STRING) != 0)
        return 1;
    std::printf("libvesk %s inside a parent project\n", VeskVersion());
    return 0;
}
