// The exported text functions and the numeric address text of a socket address.
#include "message/text_functions.h"

#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "VeskMessageSystem.h"

int _tcscmp(const char* _s1, const char* _s2)
{
    return std::strcmp(_s1, _s2);
}

char* _tcsncpy_s(char* _Destination, size_t _Destination_size_chars, const char* _Source, size_t /*_Count*/)
{
    return std::strncpy(_Destination, _Source, _Destination_size_chars);
}

size_t _tcscnlen(const char* _String, size_t _Maximum)
{
    return strnlen(_String, _Maximum);
}

namespace VeskMessageSystem {

namespace {

// The size of the address structure of the family that `sa` names, or 0 when
// the family is unknown or `salen` is too short to hold even the family field.
socklen_t FamilyStructureSize(const sockaddr* sa, socklen_t salen)
{
    if (salen < offsetof(sockaddr, sa_family) + sizeof sa->sa_family)
        return 0;
    switch (sa->sa_family) {
        case AF_INET:
            return sizeof(sockaddr_in);
        case AF_INET6:
            return sizeof(sockaddr_in6);
        default:
            return 0;
    }
}

socklen_t ClampToSocklen(size_t length)
{
    return static_cast<socklen_t>(std::min<size_t>(length, std::numeric_limits<socklen_t>::max()));
}

bool NumericNameInfo(const sockaddr* sa, socklen_t salen, char* host, size_t hostlen, char* serv, size_t servlen)
{
    const socklen_t structure_size = FamilyStructureSize(sa, salen);
    if (structure_size == 0 || salen < structure_size)
        return false;
    return getnameinfo(sa, structure_size, host, ClampToSocklen(hostlen), serv, ClampToSocklen(servlen),
                       NI_NUMERICHOST | NI_NUMERICSERV) == 0;
}

}  // namespace

void addr2str(const sockaddr* sa, socklen_t salen, char* host, size_t hostlen, char* serv, size_t servlen)
{
    if (sa == nullptr || host == nullptr || serv == nullptr)
        return;
    if (NumericNameInfo(sa, salen, host, hostlen, serv, servlen))
        return;
    std::snprintf(host, hostlen, "%s", "unknown");
    std::snprintf(serv, servlen, "%s", "unknown");
}

}  // namespace VeskMessageSystem
