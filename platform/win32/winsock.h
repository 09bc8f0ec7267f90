// Winsock 2 with room for more sockets in a select set than its default 64.
#pragma once

#ifndef FD_SETSIZE
#define FD_SETSIZE 1024
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
// after winsock2.h
#include <windows.h>

namespace platform::win32 {

// Socket ids travel as ints; a SOCKET value fits.
inline SOCKET ToSocket(int id) { return id < 0 ? INVALID_SOCKET : static_cast<SOCKET>(id); }
inline int FromSocket(SOCKET s) { return s == INVALID_SOCKET ? -1 : static_cast<int>(s); }

}  // namespace platform::win32
