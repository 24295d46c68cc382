#include "platform/Winsock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>

#include "platform/Clock.h"

namespace ws {

int mapErrno(int err) {
    switch (err) {
        case EINTR:
            return WSAEINTR;
        case EBADF:
            return WSAEBADF;
        case EACCES:
            return WSAEACCES;
        case EPERM:
            return WSAEACCES;
        case EFAULT:
            return WSAEFAULT;
        case EINVAL:
            return WSAEINVAL;
        case EMFILE:
        case ENFILE:
            return WSAEMFILE;
        case EAGAIN:
            return WSAEWOULDBLOCK;
        case EINPROGRESS:
            return WSAEWOULDBLOCK;  // a non-blocking connect under way
        case EALREADY:
            return WSAEALREADY;
        case ENOTSOCK:
            return WSAENOTSOCK;
        case EDESTADDRREQ:
            return WSAEDESTADDRREQ;
        case EMSGSIZE:
            return WSAEMSGSIZE;
        case EPROTOTYPE:
            return WSAEPROTOTYPE;
        case ENOPROTOOPT:
            return WSAENOPROTOOPT;
        case EPROTONOSUPPORT:
            return WSAEPROTONOSUPPORT;
        case ESOCKTNOSUPPORT:
            return WSAESOCKTNOSUPPORT;
        case EOPNOTSUPP:
            return WSAEOPNOTSUPP;
        case EPFNOSUPPORT:
            return WSAEPFNOSUPPORT;
        case EAFNOSUPPORT:
            return WSAEAFNOSUPPORT;
        case EADDRINUSE:
            return WSAEADDRINUSE;
        case EADDRNOTAVAIL:
            return WSAEADDRNOTAVAIL;
        case ENETDOWN:
            return WSAENETDOWN;
        case ENETUNREACH:
            return WSAENETUNREACH;
        case ENETRESET:
            return WSAENETRESET;
        case ECONNABORTED:
            return WSAECONNABORTED;
        case EPIPE:
            return WSAECONNABORTED;
        case ECONNRESET:
            return WSAECONNRESET;
        case ENOBUFS:
        case ENOMEM:
            return WSAENOBUFS;
        case EISCONN:
            return WSAEISCONN;
        case ENOTCONN:
            return WSAENOTCONN;
        case ESHUTDOWN:
            return WSAESHUTDOWN;
        case ETOOMANYREFS:
            return WSAETOOMANYREFS;
        case ETIMEDOUT:
            return WSAETIMEDOUT;
        case ECONNREFUSED:
            return WSAECONNREFUSED;
        case ELOOP:
            return WSAELOOP;
        case ENAMETOOLONG:
            return WSAENAMETOOLONG;
        case EHOSTDOWN:
            return WSAEHOSTDOWN;
        case EHOSTUNREACH:
            return WSAEHOSTUNREACH;
        default:
            return WSAEINVAL;
    }
}

namespace {

thread_local int lastError = 0;

void setError(int e) {
    lastError = e;
}
void setErrno() {
    lastError = mapErrno(errno);
}

// One open socket: its descriptor and its asynchronous-selection state.
struct SocketState {
    int fd = -1;
    WindowHandle wnd = 0;
    uint32_t msg = 0;
    int32_t events = 0;
    bool listening = false;
    bool connecting = false;
    bool connected = false;
    bool closeSeen = false;
    bool writeWanted = false;  // a send would have blocked: FD_WRITE when room returns
    std::unique_ptr<QSocketNotifier> rd, wr;
    // Bytes received in the current slice of time; past the slice's share nothing more is
    // read until the next slice (a resume is scheduled), so a flooding peer is slowed down by
    // its own connection instead of taking the event loop.
    int64_t sliceStart = INT64_MIN;
    int64_t sliceBytes = 0;
    bool resumeScheduled = false;
};

std::map<TSocket, std::unique_ptr<SocketState>>& sockets() {
    static std::map<TSocket, std::unique_ptr<SocketState>> m;
    return m;
}
TSocket nextHandle = 100;

SocketState* find(TSocket s) {
    auto it = sockets().find(s);
    return it == sockets().end() ? nullptr : it->second.get();
}

void post(TSocket s, SocketState* st, uint16_t event, int error) {
    if (st->wnd != 0 && (st->events & event))
        postMessage(st->wnd, st->msg, static_cast<WParam>(s),
                    wsaMakeSelectReply(event, static_cast<uint16_t>(error)));
}

void setRead(SocketState* st, bool on) {
    if (st->rd) st->rd->setEnabled(on);
}
void setWrite(SocketState* st, bool on) {
    if (st->wr) st->wr->setEnabled(on);
}

// What is left of the current slice's share.
int64_t sliceLeft(SocketState* st) {
    const int64_t now = appClock().monotonicMs();
    if (st->sliceStart == INT64_MIN || now - st->sliceStart >= kRecvSliceMs || now < st->sliceStart) {
        st->sliceStart = now;
        st->sliceBytes = 0;
    }
    return std::max<int64_t>(0, kRecvSliceBytes - st->sliceBytes);
}

void armRead(TSocket s, SocketState* st);

// Reading waits for the next slice: the read notifier is off until then.
void pauseRead(TSocket s, SocketState* st) {
    setRead(st, false);
    if (st->resumeScheduled) return;
    st->resumeScheduled = true;
    const int64_t wait =
        std::clamp<int64_t>(kRecvSliceMs - (appClock().monotonicMs() - st->sliceStart), 1, kRecvSliceMs);
    QTimer::singleShot(std::chrono::milliseconds(wait), [s] {
        SocketState* st = find(s);
        if (!st) return;  // handles are never reused: a closed socket stays gone
        st->resumeScheduled = false;
        armRead(s, st);
    });
}

// The read notifier back on, unless this slice's share is spent.
void armRead(TSocket s, SocketState* st) {
    if (!st->wnd || st->closeSeen || st->connecting || st->listening) return;
    if (sliceLeft(st) == 0)
        pauseRead(s, st);
    else
        setRead(st, true);
}

void onReadable(TSocket s) {
    SocketState* st = find(s);
    if (!st) return;
    setRead(st, false);  // re-armed by the next accept or recv, as the readiness contract asks
    if (st->listening) {
        post(s, st, FD_ACCEPT, 0);
        return;
    }
    char c;
    ssize_t n = ::recv(st->fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
        post(s, st, FD_READ, 0);
    } else if (n == 0) {
        st->closeSeen = true;
        post(s, st, FD_CLOSE, 0);
    } else if (errno == EAGAIN || errno == EINTR) {
        setRead(st, true);
    } else {
        st->closeSeen = true;
        post(s, st, FD_CLOSE, mapErrno(errno));
    }
}

void onWritable(TSocket s) {
    SocketState* st = find(s);
    if (!st) return;
    setWrite(st, false);
    if (st->connecting) {
        st->connecting = false;
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(st->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        if (err != 0) {
            post(s, st, FD_CONNECT, mapErrno(err));
            return;
        }
        st->connected = true;
        post(s, st, FD_CONNECT, 0);
        setRead(st, true);
        st->writeWanted = false;
        post(s, st, FD_WRITE, 0);
        return;
    }
    if (st->writeWanted) {
        st->writeWanted = false;
        post(s, st, FD_WRITE, 0);
    }
}

void armNotifiers(TSocket s, SocketState* st) {
    if (!st->rd) {
        st->rd = std::make_unique<QSocketNotifier>(st->fd, QSocketNotifier::Read);
        QObject::connect(st->rd.get(), &QSocketNotifier::activated, [s] { onReadable(s); });
        st->wr = std::make_unique<QSocketNotifier>(st->fd, QSocketNotifier::Write);
        QObject::connect(st->wr.get(), &QSocketNotifier::activated, [s] { onWritable(s); });
    }
    if (st->closeSeen) {
        setRead(st, false);
        setWrite(st, false);
        return;
    }
    setRead(st, !st->connecting);
    setWrite(st, st->connecting || st->writeWanted);
}

sockaddr_in toNative(const TSockAddrIn* a) {
    sockaddr_in n{};
    n.sin_family = AF_INET;
    n.sin_port = a->sin_port;
    n.sin_addr.s_addr = a->sin_addr.S_addr;
    return n;
}

// --- the real entry points ---

TSocket sysSocket(int af, int type, int protocol) {
    if (af != 2 || type != 1) {
        setError(WSAEAFNOSUPPORT);
        return INVALID_SOCKET;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        setErrno();
        return INVALID_SOCKET;
    }
    TSocket h = nextHandle++;
    auto st = std::make_unique<SocketState>();
    st->fd = fd;
    sockets()[h] = std::move(st);
    return h;
}

int sysClose(TSocket s) {
    auto it = sockets().find(s);
    if (it == sockets().end()) {
        setError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    std::unique_ptr<SocketState> st = std::move(it->second);
    sockets().erase(it);
    st->rd.reset();
    st->wr.reset();
    ::close(st->fd);
    return 0;
}

int sysBind(TSocket s, const TSockAddrIn* a) {
    SocketState* st = find(s);
    if (!st) return setError(WSAENOTSOCK), SOCKET_ERROR;
    sockaddr_in n = toNative(a);
    if (::bind(st->fd, reinterpret_cast<sockaddr*>(&n), sizeof n) != 0) return setErrno(), SOCKET_ERROR;
    return 0;
}

int sysConnect(TSocket s, const TSockAddrIn* a) {
    SocketState* st = find(s);
    if (!st) return setError(WSAENOTSOCK), SOCKET_ERROR;
    sockaddr_in n = toNative(a);
    if (::connect(st->fd, reinterpret_cast<sockaddr*>(&n), sizeof n) == 0) {
        // Loopback may connect at once; the connect event still follows, as for any other.
        st->connecting = st->wnd != 0;
        st->connected = !st->connecting;
        if (st->wnd) armNotifiers(s, st);
        return 0;
    }
    if (errno != EINPROGRESS) return setErrno(), SOCKET_ERROR;
    st->connecting = true;
    if (st->wnd) armNotifiers(s, st);
    setError(WSAEWOULDBLOCK);
    return SOCKET_ERROR;
}

int sysListen(TSocket s, int backlog) {
    SocketState* st = find(s);
    if (!st) return setError(WSAENOTSOCK), SOCKET_ERROR;
    if (::listen(st->fd, backlog) != 0) return setErrno(), SOCKET_ERROR;
    st->listening = true;
    if (st->wnd) armNotifiers(s, st);
    return 0;
}

TSocket sysAccept(TSocket s, TSockAddrIn* addr) {
    SocketState* st = find(s);
    if (!st) return setError(WSAENOTSOCK), INVALID_SOCKET;
    sockaddr_in n{};
    socklen_t len = sizeof n;
    int fd = ::accept4(st->fd, reinterpret_cast<sockaddr*>(&n), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    int err = errno;
    if (st->wnd) setRead(st, true);
    if (fd < 0) {
        setError(mapErrno(err));
        return INVALID_SOCKET;
    }
    if (addr) {
        addr->sin_family = 2;
        addr->sin_port = n.sin_port;
        addr->sin_addr.S_addr = n.sin_addr.s_addr;
    }
    TSocket h = nextHandle++;
    auto ns = std::make_unique<SocketState>();
    ns->fd = fd;
    ns->connected = true;
    // An accepted socket inherits the listening socket's selection.
    ns->wnd = st->wnd;
    ns->msg = st->msg;
    ns->events = st->events;
    SocketState* raw = ns.get();
    sockets()[h] = std::move(ns);
    if (raw->wnd) armNotifiers(h, raw);
    return h;
}

int sysRecv(TSocket s, void* buf, int len, int flags) {
    SocketState* st = find(s);
    if (!st) return setError(WSAENOTSOCK), SOCKET_ERROR;
    if (st->connecting) return setError(WSAENOTCONN), SOCKET_ERROR;
    const int64_t left = (flags & MSG_PEEK) ? len : sliceLeft(st);
    if (left == 0 && len > 0) {
        if (st->wnd && !st->closeSeen) pauseRead(s, st);
        setError(WSAEWOULDBLOCK);
        return SOCKET_ERROR;
    }
    ssize_t n = ::recv(st->fd, buf, static_cast<size_t>(std::min<int64_t>(len, left)), flags | MSG_DONTWAIT);
    int err = errno;
    if (n > 0 && !(flags & MSG_PEEK)) st->sliceBytes += n;
    if (st->wnd && !st->closeSeen) armRead(s, st);
    if (n < 0) {
        setError(mapErrno(err));
        return SOCKET_ERROR;
    }
    return static_cast<int>(n);
}

int sysSend(TSocket s, const void* buf, int len, int flags) {
    SocketState* st = find(s);
    if (!st) return setError(WSAENOTSOCK), SOCKET_ERROR;
    if (st->connecting) {
        // Nothing goes out before the connect completes; the caller keeps the data.
        st->writeWanted = true;
        setError(WSAEWOULDBLOCK);
        return SOCKET_ERROR;
    }
    ssize_t n = ::send(st->fd, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
        int err = errno;
        if (err == EAGAIN) {
            st->writeWanted = true;
            if (st->wnd) setWrite(st, true);
        }
        setError(mapErrno(err));
        return SOCKET_ERROR;
    }
    return static_cast<int>(n);
}

int sysSetsockopt(TSocket s, int level, int optname, const void* optval, int optlen) {
    SocketState* st = find(s);
    if (!st) return setError(WSAENOTSOCK), SOCKET_ERROR;
    int nlevel, nopt;
    if (level == SOL_SOCKET_WS && optname == SO_REUSEADDR_WS) {
        nlevel = SOL_SOCKET;
        nopt = SO_REUSEADDR;
    } else if (level == IPPROTO_TCP_WS && optname == TCP_NODELAY_WS) {
        nlevel = IPPROTO_TCP;
        nopt = TCP_NODELAY;
    } else {
        setError(WSAENOPROTOOPT);
        return SOCKET_ERROR;
    }
    int v = 0;
    if (optval && optlen > 0) v = (*static_cast<const uint8_t*>(optval)) != 0 ? 1 : 0;
    if (optval && optlen >= 4) std::memcpy(&v, optval, 4);
    if (::setsockopt(st->fd, nlevel, nopt, &v, sizeof v) != 0) return setErrno(), SOCKET_ERROR;
    return 0;
}

int sysShutdown(TSocket s, int how) {
    SocketState* st = find(s);
    if (!st) return setError(WSAENOTSOCK), SOCKET_ERROR;
    int h = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR;
    if (::shutdown(st->fd, h) != 0) return setErrno(), SOCKET_ERROR;
    return 0;
}

int sysSelect(TSocket s, bool forWrite, int timeoutMs) {
    SocketState* st = find(s);
    if (!st) return setError(WSAENOTSOCK), SOCKET_ERROR;
    pollfd p{st->fd, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    int r = ::poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
    if (r < 0) return setErrno(), SOCKET_ERROR;
    return r > 0 ? 1 : 0;
}

std::vector<TInAddr> sysGetHostByName(const char* name) {
    std::vector<TInAddr> out;
    if (!name || !*name) return out;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int rc = ::getaddrinfo(name, nullptr, &hints, &res);
    if (rc != 0) {
        setError(rc == EAI_AGAIN ? WSATRY_AGAIN : WSAHOST_NOT_FOUND);
        return out;
    }
    for (addrinfo* p = res; p && out.size() < 256; p = p->ai_next) {
        auto* a = reinterpret_cast<sockaddr_in*>(p->ai_addr);
        bool dup = false;
        for (auto& o : out) dup = dup || o.S_addr == a->sin_addr.s_addr;
        if (!dup) out.push_back(TInAddr{a->sin_addr.s_addr});
    }
    ::freeaddrinfo(res);
    return out;
}

std::string sysGetHostByAddr(TInAddr addr) {
    sockaddr_in n{};
    n.sin_family = AF_INET;
    n.sin_addr.s_addr = addr.S_addr;
    char host[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&n), sizeof n, host, sizeof host, nullptr, 0,
                      NI_NAMEREQD) != 0) {
        setError(WSAHOST_NOT_FOUND);
        return {};
    }
    return host;
}

int sysGetHostName(char* name, int len) {
    if (::gethostname(name, static_cast<size_t>(len)) != 0) return setErrno(), SOCKET_ERROR;
    return 0;
}

uint16_t sysGetServByName(const char* name, const char* proto) {
    servent se{};
    servent* res = nullptr;
    char buf[1024];
    if (::getservbyname_r(name, proto, &se, buf, sizeof buf, &res) != 0 || !res) return 0;
    return static_cast<uint16_t>(res->s_port);
}

std::string sysGetServByPort(uint16_t port, const char* proto) {
    servent se{};
    servent* res = nullptr;
    char buf[1024];
    if (::getservbyport_r(port, proto, &se, buf, sizeof buf, &res) != 0 || !res) return {};
    return res->s_name;
}

uint32_t sysInetAddr(const char* cp) {
    return cp ? ::inet_addr(cp) : 0xFFFFFFFFu;
}

std::string sysInetNtoa(TInAddr a) {
    char buf[INET_ADDRSTRLEN];
    in_addr n{a.S_addr};
    ::inet_ntop(AF_INET, &n, buf, sizeof buf);
    return buf;
}

int sysStartup(uint16_t version, TWSAData* data) {
    if (data) {
        data->wVersion = version < 0x0101 ? version : 0x0101;
        data->wHighVersion = 0x0101;
        data->szDescription = "BSD sockets";
        data->szSystemStatus = "Running";
        data->iMaxSockets = 1024;
        data->iMaxUdpDg = 0;
    }
    return 0;
}
int sysCleanup() {
    return 0;
}
void sysSetLastError(int e) {
    lastError = e;
}
int sysGetLastError() {
    return lastError;
}
int sysCancelBlocking() {
    return 0;
}

int sysAsyncSelect(TSocket s, WindowHandle wnd, uint32_t msg, int32_t events) {
    SocketState* st = find(s);
    if (!st) return setError(WSAENOTSOCK), SOCKET_ERROR;
    st->wnd = events ? wnd : 0;
    st->msg = msg;
    st->events = events;
    if (!st->wnd) {
        st->rd.reset();
        st->wr.reset();
        return 0;
    }
    armNotifiers(s, st);
    return 0;
}

const WinsockTable kSystem = {
    sysAccept,        sysBind,        sysClose,         sysConnect,       sysListen,         sysRecv,
    sysSend,          sysSetsockopt,  sysShutdown,      sysSocket,        sysSelect,         sysGetHostByName,
    sysGetHostByAddr, sysGetHostName, sysGetServByName, sysGetServByPort, sysInetAddr,       sysInetNtoa,
    sysStartup,       sysCleanup,     sysSetLastError,  sysGetLastError,  sysCancelBlocking, sysAsyncSelect,
};

const WinsockTable* installed = nullptr;
bool missing = false;

bool complete(const WinsockTable& t) {
    const void* const* p = reinterpret_cast<const void* const*>(&t);
    for (size_t i = 0; i < sizeof(WinsockTable) / sizeof(void*); ++i)
        if (!p[i]) return false;
    return true;
}

}  // namespace

const WinsockTable& systemWinsockTable() {
    return kSystem;
}

const WinsockTable* loadWinsock() {
    if (missing) return nullptr;
    const WinsockTable* t = installed ? installed : &kSystem;
    return complete(*t) ? t : nullptr;
}

void setWinsockTable(const WinsockTable* table) {
    installed = table;
}
void setWinsockMissing(bool m) {
    missing = m;
}

uint32_t wsHtonl(uint32_t v) {
    return htonl(v);
}
uint16_t wsHtons(uint16_t v) {
    return htons(v);
}
uint32_t wsNtohl(uint32_t v) {
    return ntohl(v);
}
uint16_t wsNtohs(uint16_t v) {
    return ntohs(v);
}

}  // namespace ws
