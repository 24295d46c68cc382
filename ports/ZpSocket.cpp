#include "ports/ZpSocket.h"

#include <QString>
#include <exception>

#include "platform/Dialogs.h"

TZpSocket::TZpSocket(QObject* owner) : QObject(owner) {
    api_ = ws::loadWinsock();
    loaded_ = api_ != nullptr;
    if (!loaded_) {
        startupError_ = 9002;
        ShowErrorMessage(9002);
        return;
    }
    int rc = api_->WSAStartup(0x0101, &data_);
    if (rc != 0) {
        startupError_ = rc;
        ShowErrorMessage(rc);
        return;
    }
    if ((data_.wVersion & 0xFF) != 1 || (data_.wVersion >> 8) != 1) {
        startupError_ = 9003;
        ShowErrorMessage(9003);
    }
    started();
}

void TZpSocket::started() {
    window_ = std::make_unique<MessageWindow>(
        [this](uint32_t msg, WParam w, LParam l) { return WndProc(msg, w, l); });
}

TZpSocket::~TZpSocket() {
    if (loaded_ && startupError_ != 9002) {
        api_->WSACancelBlockingCall();
        api_->WSACleanup();
    }
    window_.reset();
}

void TZpSocket::CheckLoaded() const {
    if (startupError_ != 0) throw EZpSocketException(startupError_, false, false);
}

int32_t TZpSocket::GetLastError() const {
    CheckLoaded();
    return api_->WSAGetLastError();
}
std::string TZpSocket::GetDescription() const {
    CheckLoaded();
    return data_.szDescription;
}
std::string TZpSocket::GetSystemStatus() const {
    CheckLoaded();
    return data_.szSystemStatus;
}

std::string TZpSocket::GetLocalHost() const {
    CheckLoaded();
    char buf[256] = {};
    if (api_->gethostname(buf, sizeof buf - 1) != 0) return {};
    return buf;
}

std::string TZpSocket::GetLocalAddress() const {
    CheckLoaded();
    auto all = LookupNameAll(GetLocalHost());
    return all.empty() ? std::string() : NetAddr2String(all.front());
}

uint32_t TZpSocket::htonl(uint32_t v) const {
    return CheckLoaded(), ws::wsHtonl(v);
}
uint16_t TZpSocket::htons(uint16_t v) const {
    return CheckLoaded(), ws::wsHtons(v);
}
uint32_t TZpSocket::ntohl(uint32_t v) const {
    return CheckLoaded(), ws::wsNtohl(v);
}
uint16_t TZpSocket::ntohs(uint16_t v) const {
    return CheckLoaded(), ws::wsNtohs(v);
}

std::string TZpSocket::NetAddr2String(TInAddr addr) const {
    CheckLoaded();
    return api_->inet_ntoa(addr);
}
uint32_t TZpSocket::String2NetAddr(const std::string& s) const {
    CheckLoaded();
    return api_->inet_addr(s.c_str());
}
std::string TZpSocket::LookupAddress(TInAddr addr) const {
    CheckLoaded();
    return api_->gethostbyaddr(addr);
}
std::vector<TInAddr> TZpSocket::LookupNameAll(const std::string& name) const {
    CheckLoaded();
    if (name.empty()) return {};
    return api_->gethostbyname(name.c_str());
}
uint32_t TZpSocket::LookupName(const std::string& name) const {
    auto all = LookupNameAll(name);
    return all.empty() ? 0 : all.front().S_addr;
}
std::string TZpSocket::LookupPort(uint16_t port) const {
    CheckLoaded();
    return api_->getservbyport(ws::wsHtons(port), nullptr);
}
uint16_t TZpSocket::LookupService(const std::string& name) const {
    CheckLoaded();
    if (name.empty()) return 0;
    return ws::wsNtohs(api_->getservbyname(name.c_str(), "tcp"));
}

TSocket TZpSocket::CreateSocket() {
    CheckLoaded();
    TSocket s = api_->socket(2, 1, 0);
    if (s == ws::INVALID_SOCKET) throw EZpSocketException(api_->WSAGetLastError(), false, false);
    return s;
}

TSocket TZpSocket::AcceptSocket(TSocket s, TSockAddrIn& address) {
    CheckLoaded();
    TSocket r = api_->accept(s, &address);
    if (r == ws::INVALID_SOCKET) DoError(s, api_->WSAGetLastError());
    return r;
}

namespace {
bool wouldBlock(const ws::WinsockTable* api) {
    return api->WSAGetLastError() == ws::WSAEWOULDBLOCK;
}
}  // namespace

int32_t TZpSocket::BindSocket(TSocket s, const TSockAddrIn& address) {
    CheckLoaded();
    int r = api_->bind(s, &address);
    if (r == ws::SOCKET_ERROR) DoError(s, api_->WSAGetLastError());
    return r;
}
int32_t TZpSocket::ConnectSocket(TSocket s, const TSockAddrIn& address) {
    CheckLoaded();
    int r = api_->connect(s, &address);
    if (r == ws::SOCKET_ERROR && !wouldBlock(api_)) DoError(s, api_->WSAGetLastError());
    return r;
}
int32_t TZpSocket::CloseSocket(TSocket s) {
    CheckLoaded();
    int r = api_->closesocket(s);
    if (r == ws::SOCKET_ERROR) DoError(s, api_->WSAGetLastError());
    return r;
}
int32_t TZpSocket::ListenSocket(TSocket s, int32_t backlog) {
    CheckLoaded();
    int r = api_->listen(s, backlog);
    if (r == ws::SOCKET_ERROR && !wouldBlock(api_)) DoError(s, api_->WSAGetLastError());
    return r;
}
int32_t TZpSocket::ReadSocket(TSocket s, void* buf, int32_t flags, int32_t size) {
    CheckLoaded();
    int r = api_->recv(s, buf, size, flags);
    if (r == ws::SOCKET_ERROR && !wouldBlock(api_)) DoError(s, api_->WSAGetLastError());
    return r;
}
int32_t TZpSocket::WriteSocket(TSocket s, const void* buf, int32_t flags, int32_t size) {
    CheckLoaded();
    int r = api_->send(s, buf, size, flags);
    if (r == ws::SOCKET_ERROR && !wouldBlock(api_)) DoError(s, api_->WSAGetLastError());
    return r;
}
int32_t TZpSocket::ShutdownSocket(TSocket s, int32_t how) {
    CheckLoaded();
    int r = api_->shutdown(s, how);
    if (r == ws::SOCKET_ERROR && !wouldBlock(api_)) DoError(s, api_->WSAGetLastError());
    return r;
}
int32_t TZpSocket::SetSocketOptions(TSocket s, int32_t level, int32_t optName, const void* optVal,
                                    int32_t optLen) {
    CheckLoaded();
    int r = api_->setsockopt(s, level, optName, optVal, optLen);
    if (r == ws::SOCKET_ERROR) DoError(s, api_->WSAGetLastError());
    return r;
}
int32_t TZpSocket::SetAsyncStyles(TSocket s, int32_t styles) {
    CheckLoaded();
    int r = api_->WSAAsyncSelect(s, GetHandle(), ws::CM_ZPSOCKET, styles);
    if (r == ws::SOCKET_ERROR) DoError(s, api_->WSAGetLastError());
    return r;
}
bool TZpSocket::CanReadSocket(TSocket s, int32_t timeoutMs) {
    CheckLoaded();
    return api_->select(s, false, timeoutMs) > 0;
}
bool TZpSocket::CanWriteSocket(TSocket s, int32_t timeoutMs) {
    CheckLoaded();
    return api_->select(s, true, timeoutMs) > 0;
}

void TZpSocket::CMZPSocketMessage(TSocket s, LParam l) {
    int32_t err = ws::wsaGetSelectError(l);
    if (err != 0) {
        DoError(s, err);
        return;
    }
    switch (ws::wsaGetSelectEvent(l)) {
        case ws::FD_ACCEPT:
            DoAccept(s);
            break;
        case ws::FD_CONNECT:
            DoConnect(s);
            break;
        case ws::FD_CLOSE:
            DoDisconnect(s);
            break;
        case ws::FD_READ:
            DoRead(s);
            break;
        case ws::FD_WRITE:
            DoWrite(s);
            break;
        default:
            break;
    }
}

LResult TZpSocket::WndProc(uint32_t msg, WParam w, LParam l) {
    if (msg == 17) return 1;  // the session may end
    if (msg != ws::CM_ZPSOCKET) return 0;
    // Nothing raised by a handler may leave the window procedure: it goes to the error box.
    try {
        CMZPSocketMessage(static_cast<TSocket>(w), l);
    } catch (const std::exception& e) {
        showException(QString::fromStdString(e.what()));
    }
    return 0;
}

void TZpSocket::DoAccept(TSocket s) {
    if (OnWsAccept) OnWsAccept(this, s);
}
void TZpSocket::DoConnect(TSocket s) {
    if (OnWsConnect) OnWsConnect(this, s);
}
void TZpSocket::DoDisconnect(TSocket s) {
    if (OnWsDisconnect) OnWsDisconnect(this, s);
}
void TZpSocket::DoError(TSocket s, int32_t errCode) {
    if (OnWsError)
        OnWsError(this, s, errCode);
    else
        throw EZpSocketException(errCode, false, false);
}
void TZpSocket::DoRead(TSocket s) {
    if (OnWsRead) OnWsRead(this, s);
}
void TZpSocket::DoWrite(TSocket s) {
    if (OnWsWrite) OnWsWrite(this, s);
}
