// A sockets table whose receive side is fed from a byte queue: one socket, no blocking, the
// last error kept as the real table keeps it. The send side is the caller's.
#pragma once

#include <deque>

#include "platform/Winsock.h"

namespace fakefeed {

inline std::deque<char> incoming;
inline int lastErr = 0;

inline ws::TSocket socket(int, int, int) {
    return 500;
}
inline int close(ws::TSocket) {
    return 0;
}
inline int recv(ws::TSocket, void* buf, int len, int) {
    if (incoming.empty()) {
        lastErr = ws::WSAEWOULDBLOCK;
        return ws::SOCKET_ERROR;
    }
    int n = 0;
    auto* p = static_cast<char*>(buf);
    while (n < len && !incoming.empty()) {
        p[n++] = incoming.front();
        incoming.pop_front();
    }
    return n;
}
inline int lastError() {
    return lastErr;
}
inline void setLastError(int e) {
    lastErr = e;
}

// The system table with the fed receive side and the given send.
inline ws::WinsockTable table(int (*send)(ws::TSocket, const void*, int, int)) {
    ws::WinsockTable t = ws::systemWinsockTable();
    t.socket = socket;
    t.closesocket = close;
    t.recv = recv;
    t.send = send;
    t.WSAGetLastError = lastError;
    t.WSASetLastError = setLastError;
    return t;
}

}  // namespace fakefeed
