// The library's version text.
#include "VeskVersion.h"

const char* VeskVersion()
{
    return VESK_VERSION_STRING;
}
