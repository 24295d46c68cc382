// Stream sockets for the network port: non-blocking BSD sockets behind a table of entry
// points (tests install their own table to force start-up failures), Winsock-style error
// numbers mapped from errno, and asynchronous readiness posted to a window as a socket
// message. Socket handles are ids that are never reused, so a message still queued for a
// closed socket can never reach a newer one.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/MessageWindow.h"

namespace ws {

using TSocket = int32_t;
constexpr TSocket INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

constexpr uint32_t CM_ZPSOCKET = 0x0B11;  // the socket message

// Select events (low word of the message's lParam; the error is in the high word).
enum : uint16_t { FD_READ = 1, FD_WRITE = 2, FD_OOB = 4, FD_ACCEPT = 8, FD_CONNECT = 16, FD_CLOSE = 32 };

// Option levels and names as the callers pass them.
constexpr int SOL_SOCKET_WS = 0xFFFF;
constexpr int SO_REUSEADDR_WS = 4;
constexpr int IPPROTO_TCP_WS = 6;
constexpr int TCP_NODELAY_WS = 1;

// Error numbers.
enum : int {
    WSAEINTR = 10004,
    WSAEBADF = 10009,
    WSAEACCES = 10013,
    WSAEFAULT = 10014,
    WSAEINVAL = 10022,
    WSAEMFILE = 10024,
    WSAEWOULDBLOCK = 10035,
    WSAEINPROGRESS = 10036,
    WSAEALREADY = 10037,
    WSAENOTSOCK = 10038,
    WSAEDESTADDRREQ = 10039,
    WSAEMSGSIZE = 10040,
    WSAEPROTOTYPE = 10041,
    WSAENOPROTOOPT = 10042,
    WSAEPROTONOSUPPORT = 10043,
    WSAESOCKTNOSUPPORT = 10044,
    WSAEOPNOTSUPP = 10045,
    WSAEPFNOSUPPORT = 10046,
    WSAEAFNOSUPPORT = 10047,
    WSAEADDRINUSE = 10048,
    WSAEADDRNOTAVAIL = 10049,
    WSAENETDOWN = 10050,
    WSAENETUNREACH = 10051,
    WSAENETRESET = 10052,
    WSAECONNABORTED = 10053,
    WSAECONNRESET = 10054,
    WSAENOBUFS = 10055,
    WSAEISCONN = 10056,
    WSAENOTCONN = 10057,
    WSAESHUTDOWN = 10058,
    WSAETOOMANYREFS = 10059,
    WSAETIMEDOUT = 10060,
    WSAECONNREFUSED = 10061,
    WSAELOOP = 10062,
    WSAENAMETOOLONG = 10063,
    WSAEHOSTDOWN = 10064,
    WSAEHOSTUNREACH = 10065,
    WSASYSNOTREADY = 10091,
    WSAVERNOTSUPPORTED = 10092,
    WSANOTINITIALISED = 10093,
    WSAHOST_NOT_FOUND = 11001,
    WSATRY_AGAIN = 11002,
    WSANO_RECOVERY = 11003,
    WSANO_DATA = 11004,
};

// A stream socket takes at most kRecvSliceBytes in each kRecvSliceMs (about 1 MB a second):
// beyond that recv says "would block" and readiness is reported again in the next slice.
constexpr int64_t kRecvSliceMs = 100;
constexpr int64_t kRecvSliceBytes = 100 * 1024;

// Maps an errno value to its error number (unknown values give WSAEINVAL... never 0).
int mapErrno(int err);

struct TInAddr {
    uint32_t S_addr = 0;  // network order
};

// The 16-byte address record.
struct TSockAddrIn {
    uint16_t sin_family = 2;
    uint16_t sin_port = 0;  // network order
    TInAddr sin_addr;
    char sin_zero[8] = {};
};
static_assert(sizeof(TSockAddrIn) == 16);

struct TWSAData {
    uint16_t wVersion = 0;
    uint16_t wHighVersion = 0;
    std::string szDescription;
    std::string szSystemStatus;
    uint16_t iMaxSockets = 0;
    uint16_t iMaxUdpDg = 0;
};

// The entry points the port library calls. A null entry counts as missing.
struct WinsockTable {
    TSocket (*accept)(TSocket s, TSockAddrIn* addr);
    int (*bind)(TSocket s, const TSockAddrIn* addr);
    int (*closesocket)(TSocket s);
    int (*connect)(TSocket s, const TSockAddrIn* addr);
    int (*listen)(TSocket s, int backlog);
    int (*recv)(TSocket s, void* buf, int len, int flags);
    int (*send)(TSocket s, const void* buf, int len, int flags);
    int (*setsockopt)(TSocket s, int level, int optname, const void* optval, int optlen);
    int (*shutdown)(TSocket s, int how);
    TSocket (*socket)(int af, int type, int protocol);
    // Readiness within timeoutMs: 1 ready, 0 not, -1 error.
    int (*select)(TSocket s, bool forWrite, int timeoutMs);
    // Addresses of a host name (empty when not found).
    std::vector<TInAddr> (*gethostbyname)(const char* name);
    std::string (*gethostbyaddr)(TInAddr addr);
    int (*gethostname)(char* name, int len);
    // Port of a service in network order, 0 when not found.
    uint16_t (*getservbyname)(const char* name, const char* proto);
    std::string (*getservbyport)(uint16_t portNetOrder, const char* proto);
    uint32_t (*inet_addr)(const char* cp);  // 0xFFFFFFFF (INADDR_NONE) when not dotted
    std::string (*inet_ntoa)(TInAddr addr);
    int (*WSAStartup)(uint16_t version, TWSAData* data);
    int (*WSACleanup)();
    void (*WSASetLastError)(int err);
    int (*WSAGetLastError)();
    int (*WSACancelBlockingCall)();
    // Readiness of s is posted as msg to wnd (wParam = socket, lParam = event | error << 16);
    // events 0 cancels.
    int (*WSAAsyncSelect)(TSocket s, WindowHandle wnd, uint32_t msg, int32_t events);
};

// The table of the real sockets.
const WinsockTable& systemWinsockTable();
// The table the library uses: the installed one, else the real one. Null: none at all.
const WinsockTable* loadWinsock();
// Test hooks: install another table (nullptr = back to the real one); simulate a missing library.
void setWinsockTable(const WinsockTable* table);
void setWinsockMissing(bool missing);

// Builders and readers of the message's lParam.
inline int32_t wsaMakeSelectReply(uint16_t event, uint16_t error) {
    return static_cast<int32_t>(static_cast<uint32_t>(event) | (static_cast<uint32_t>(error) << 16));
}
inline int32_t wsaMakeSyncReply(uint16_t buflen, uint16_t error) {
    return wsaMakeSelectReply(buflen, error);
}
inline uint16_t wsaGetSelectEvent(int64_t l) {
    return static_cast<uint16_t>(static_cast<uint64_t>(l) & 0xFFFF);
}
inline uint16_t wsaGetSelectError(int64_t l) {
    return static_cast<uint16_t>((static_cast<uint64_t>(l) >> 16) & 0xFFFF);
}
inline uint16_t wsaGetAsyncBuflen(int64_t l) {
    return wsaGetSelectEvent(l);
}
inline uint16_t wsaGetAsyncError(int64_t l) {
    return wsaGetSelectError(l);
}

uint32_t wsHtonl(uint32_t v);
uint16_t wsHtons(uint16_t v);
uint32_t wsNtohl(uint32_t v);
uint16_t wsNtohs(uint16_t v);

}  // namespace ws
