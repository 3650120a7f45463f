#pragma once
// The platform's IPv4 and IPv6 address structures (in_addr, in6_addr). Only the types are
// used by portable code, and only through memcpy of their 4 and 16 bytes, because their
// member names differ between Winsock and BSD sockets.

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#endif

static_assert(sizeof(in_addr) == 4);
static_assert(sizeof(in6_addr) == 16);
