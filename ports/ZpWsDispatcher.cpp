#include "ports/ZpWsDispatcher.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstring>

using namespace telnet;

namespace {
// Serial numbers of dispatchers: a posted socket message names the dispatcher it is about,
// so one left over from an earlier connection never acts on a newer one.
int32_t nextSerial = 1;
}  // namespace

// ---------------------------------------------------------------- TWsConnection

TWsConnection::TWsConnection(TZpDeviceSocket* owner, int32_t inSize, int32_t outSize) : owner_(owner) {
    in_.resize(static_cast<size_t>(std::max(inSize, 16)));
    // Room for every block the port lets through even when telnet doubles each of its bytes:
    // the port measures room in source bytes, the ring holds them encoded.
    const int32_t out = std::max(outSize, 0);
    out_.resize(static_cast<size_t>(out + std::max(out, 4096)));
    Socket = owner_->CreateSocket();
}

TWsConnection::~TWsConnection() = default;

void TWsConnection::log(uint8_t subType, uint32_t data) {
    if (Dispatcher && Dispatcher->DLoggingOn())
        Dispatcher->AddDispatchEntry(dtTelnet, subType, data, nullptr, 0);
}

int32_t TWsConnection::inUsed() const {
    int32_t size = static_cast<int32_t>(in_.size());
    if (inFull_) return size;
    return (inWrite_ - inRead_ + size) % size;
}

bool TWsConnection::peekIn(int32_t offset, uint8_t& b) const {
    if (offset >= inUsed()) return false;
    b = in_[static_cast<size_t>((inRead_ + offset) % static_cast<int32_t>(in_.size()))];
    return true;
}

void TWsConnection::consumeIn(int32_t n) {
    if (n <= 0) return;
    inRead_ = (inRead_ + n) % static_cast<int32_t>(in_.size());
    inFull_ = false;
}

void TWsConnection::fillInRing() {
    if (ConnectedSocket == -1) return;
    int32_t size = static_cast<int32_t>(in_.size());
    for (int round = 0; round < 2 && !inFull_; ++round) {
        int32_t contiguous = inWrite_ >= inRead_ ? size - inWrite_ : inRead_ - inWrite_;
        if (contiguous <= 0) break;
        int32_t n = owner_->ReadSocket(ConnectedSocket, &in_[static_cast<size_t>(inWrite_)], 0, contiguous);
        if (n <= 0) break;
        inWrite_ = (inWrite_ + n) % size;
        if (inWrite_ == inRead_) inFull_ = true;
        if (Dispatcher) Dispatcher->InputPulled();
        if (n < contiguous || ConnectedSocket == -1) break;
    }
}

int32_t TWsConnection::ReadBuf(uint8_t* buf, int32_t size) {
    if (!inFull_) fillInRing();
    if (!buf || size <= 0) return 0;
    int32_t n = 0;
    while (n < size && inUsed() > 0) {
        uint8_t b = 0, c = 0, opt = 0;
        peekIn(0, b);
        if (inSub_) {
            // Inside a subnegotiation: skipped up to and including IAC SE.
            if (b == IAC) {
                if (!peekIn(1, c)) break;
                consumeIn(2);
                if (c == SE) {
                    inSub_ = false;
                    // Only a SEND (1) asks for the name. A peer's own IS (0) is not answered:
                    // two such ends would otherwise answer each other without end.
                    if (subOption_ == OptTerminalType && subFirst_ == 1) sendTerminal();
                } else {
                    if (subLen_++ == 0) subFirst_ = c;
                }
                continue;
            }
            if (subLen_++ == 0) subFirst_ = b;
            consumeIn(1);
            continue;
        }
        if (!Telnet || (b != IAC && (BinaryOption != 0 || b != CR))) {
            buf[n++] = b;
            consumeIn(1);
            continue;
        }
        if (b == CR) {
            // CR NUL is a CR; a CR before anything else stays and the next byte is its own.
            if (!peekIn(1, c)) break;
            buf[n++] = CR;
            consumeIn(c == NUL ? 2 : 1);
            continue;
        }
        // IAC: an IAC that is the last received byte waits for more data.
        if (!peekIn(1, c)) break;
        if (c == IAC) {
            buf[n++] = IAC;
            consumeIn(2);
        } else if (c >= WILL && c <= DONT) {
            if (!peekIn(2, opt)) break;
            consumeIn(3);
            handleCommand(c, opt);
        } else if (c == SB) {
            if (!peekIn(2, opt)) break;
            consumeIn(3);
            inSub_ = true;
            subOption_ = opt;
            subLen_ = 0;
            subFirst_ = 0xFF;
        } else {
            consumeIn(2);
            log(dstTelnetCmd, c);
        }
    }
    return n;
}

void TWsConnection::handleCommand(uint8_t verb, uint8_t option) {
    switch (verb) {
        case WILL:
            log(dstTelnetRecvWill, option);
            if (option == OptBinary) {
                sendCommand(DO, option);
                BinaryOption = 2;
            } else if (option == OptEcho || option == OptSuppressGoAhead) {
                sendCommand(DO, option);
            } else {
                sendCommand(DONT, option);
            }
            break;
        case WONT:
            log(dstTelnetRecvWont, option);
            sendCommand(DONT, option);
            if (option == OptBinary) BinaryOption = 0;
            break;
        case DO:
            log(dstTelnetRecvDo, option);
            if (option == OptBinary) {
                sendCommand(WILL, option);
                BinaryOption = 2;
            } else if (option == OptTerminalType) {
                sendCommand(WILL, option);
            } else {
                sendCommand(WONT, option);
            }
            break;
        case DONT:
            log(dstTelnetRecvDont, option);
            sendCommand(WONT, option);
            if (option == OptBinary) BinaryOption = 0;
            break;
        default:
            break;
    }
}

void TWsConnection::sendCommand(uint8_t verb, uint8_t option) {
    uint8_t sub = verb == DO     ? dstTelnetSendDo
                  : verb == DONT ? dstTelnetSendDont
                  : verb == WILL ? dstTelnetSendWill
                                 : dstTelnetSendWont;
    log(sub, option);
    sendRaw(std::string{static_cast<char>(IAC), static_cast<char>(verb), static_cast<char>(option)});
}

void TWsConnection::sendTerminal() {
    log(dstTelnetSendTermType, 0);
    std::string s{static_cast<char>(IAC), static_cast<char>(SB), static_cast<char>(OptTerminalType), '\0'};
    s += owner_->TerminalName;
    s += static_cast<char>(IAC);
    s += static_cast<char>(SE);
    sendRaw(s);
}

void TWsConnection::sendRaw(const std::string& bytes) {
    // Answers go straight to the socket, ahead of any data still queued.
    if (ConnectedSocket == -1) return;
    owner_->WriteSocket(ConnectedSocket, bytes.data(), 0, static_cast<int32_t>(bytes.size()));
}

int32_t TWsConnection::OutRingUsed() const {
    int32_t size = static_cast<int32_t>(out_.size());
    if (outFull_) return size;
    return (outWrite_ - outRead_ + size) % size;
}

int32_t TWsConnection::outFree() const {
    return static_cast<int32_t>(out_.size()) - OutRingUsed();
}

void TWsConnection::putOut(uint8_t b) {
    out_[static_cast<size_t>(outWrite_)] = b;
    outWrite_ = (outWrite_ + 1) % static_cast<int32_t>(out_.size());
    if (outWrite_ == outRead_) outFull_ = true;
}

void TWsConnection::flushOut() {
    // Nothing goes out before the connection exists; the data waits in the ring.
    if (ConnectedSocket == -1) return;
    int32_t size = static_cast<int32_t>(out_.size());
    while (OutRingUsed() > 0 && ConnectedSocket != -1) {
        int32_t contiguous = outWrite_ > outRead_ ? outWrite_ - outRead_ : size - outRead_;
        int32_t n = owner_->WriteSocket(ConnectedSocket, &out_[static_cast<size_t>(outRead_)], 0, contiguous);
        if (n <= 0) break;
        outRead_ = (outRead_ + n) % size;
        outFull_ = false;
    }
}

int32_t TWsConnection::WriteBuf(const uint8_t* buf, int32_t len) {
    int32_t taken = 0;
    if (buf && len > 0) {
        bool encode = Telnet && (std::memchr(buf, IAC, static_cast<size_t>(len)) ||
                                 (BinaryOption == 0 && std::memchr(buf, CR, static_cast<size_t>(len))));
        if (encode) {
            for (int32_t i = 0; i < len; ++i) {
                uint8_t b = buf[i];
                // A CR whose next byte is not LF goes out as CR NUL at once, also when it ends
                // the block: a command's trailing CR is never held back.
                bool crNul = b == CR && BinaryOption == 0 && !(i + 1 < len && buf[i + 1] == LF);
                int32_t need = (b == IAC || crNul) ? 2 : 1;
                if (outFree() < need) break;
                putOut(b);
                if (b == IAC) putOut(IAC);
                if (crNul) putOut(NUL);
                ++taken;
            }
        } else {
            taken = std::min(len, outFree());
            for (int32_t i = 0; i < taken; ++i) putOut(buf[i]);
        }
        // Only what the ring took counts as sent; the caller learns of the rest from the result.
        OutCount += taken;
    }
    flushOut();
    return taken;
}

int32_t TWsConnection::GetInChars() {
    if (!inFull_ && Connected()) fillInRing();
    return inUsed();
}

int32_t TWsConnection::GetOutChars() {
    // The count restarts only once the ring is found empty; bytes a call sends still count.
    if (Connected() && OutRingUsed() == 0) {
        OutCount = 0;
        return 0;
    }
    WriteBuf(nullptr, 0);
    return OutCount;
}

void TWsConnection::FlushInBuffer() {
    inRead_ = inWrite_ = 0;
    inFull_ = false;
    inSub_ = false;
}

void TWsConnection::FlushOutBuffer() {
    outRead_ = outWrite_ = 0;
    outFull_ = false;
    OutCount = 0;
}

void TWsConnection::SetState(TWsConnectionState s) {
    state_ = s;
    if (Dispatcher) Dispatcher->ConnectionStateChanged(s == wcsConnected);
}

void TWsConnection::Shutdown() {
    if (!Client && ConnectedSocket != -1 && ConnectedSocket != Socket) owner_->CloseSocket(ConnectedSocket);
    ConnectedSocket = -1;
    if (Socket != -1) owner_->CloseSocket(Socket);
    Socket = -1;
    state_ = wcsNotConnected;
}

// ---------------------------------------------------------------- TZpDeviceSocket

namespace {
TZpDeviceSocket* deviceSocket = nullptr;

// Objects whose own code may still be on the stack when they are done with: freed on the
// next turn of the event loop, or when the application ends.
struct Graveyard {
    std::vector<std::unique_ptr<TWsConnection>> connections;
    std::vector<std::unique_ptr<MessageWindow>> windows;
    std::vector<std::unique_ptr<QTimer>> timers;
    bool scheduled = false;
};
Graveyard& graveyard() {
    static Graveyard g;
    return g;
}
void emptyGraveyard() {
    Graveyard& g = graveyard();
    g.scheduled = false;
    auto c = std::move(g.connections);
    auto w = std::move(g.windows);
    auto t = std::move(g.timers);
}
void scheduleGraveyard() {
    Graveyard& g = graveyard();
    if (g.scheduled) return;
    g.scheduled = true;
    QTimer::singleShot(0, [] { emptyGraveyard(); });
}

void freeDeviceSocket() {
    emptyGraveyard();
    delete deviceSocket;
    deviceSocket = nullptr;
    emptyGraveyard();
}
}  // namespace

TZpDeviceSocket& ZpDeviceSocket() {
    if (deviceSocket && deviceSocket->StartupError() != 0 && deviceSocket->ConnectionCount() == 0) {
        delete deviceSocket;
        deviceSocket = nullptr;
    }
    if (!deviceSocket) {
        static bool routineAdded = false;
        deviceSocket = new TZpDeviceSocket();
        if (!routineAdded && QCoreApplication::instance()) {
            qAddPostRoutine(freeDeviceSocket);
            routineAdded = true;
        }
    }
    return *deviceSocket;
}

TZpDeviceSocket::TZpDeviceSocket() : TZpSocket(nullptr) {}

TZpDeviceSocket::~TZpDeviceSocket() {
    for (auto& c : connections_) {
        c->Dispatcher = nullptr;
        if (Loaded() && StartupError() == 0) c->Shutdown();
    }
    connections_.clear();
}

TWsConnection* TZpDeviceSocket::FindConnection(TSocket s) {
    std::lock_guard<std::recursive_mutex> g(listLock_);
    if (s == -1) return nullptr;
    if (cacheConn_ && cacheSocket_ == s) return cacheConn_;
    for (auto& c : connections_) {
        if (c->ConnectedSocket == s || c->Socket == s) {
            cacheSocket_ = s;
            cacheConn_ = c.get();
            return c.get();
        }
    }
    return nullptr;
}

TSocket TZpDeviceSocket::TweakSocket(TSocket s) {
    TWsConnection* c = FindConnection(s);
    return c ? c->Socket : -1;
}

TWsConnection* TZpDeviceSocket::AddConnection(int32_t inSize, int32_t outSize) {
    std::lock_guard<std::recursive_mutex> g(listLock_);
    connections_.push_back(std::make_unique<TWsConnection>(this, inSize, outSize));
    return connections_.back().get();
}

void TZpDeviceSocket::RemoveConnection(TWsConnection* c) {
    std::lock_guard<std::recursive_mutex> g(listLock_);
    cacheConn_ = nullptr;
    cacheSocket_ = -1;
    auto it = std::find_if(connections_.begin(), connections_.end(), [c](auto& p) { return p.get() == c; });
    if (it == connections_.end()) return;
    // Freed once the current notification has unwound: a handler may close the port while
    // the connection's own code is still on the stack.
    (*it)->Dispatcher = nullptr;
    graveyard().connections.push_back(std::move(*it));
    connections_.erase(it);
    scheduleGraveyard();
}

void TZpDeviceSocket::DoDispMessage(TWsConnection* c, int32_t event, LParam value) {
    if (!c || !c->Dispatcher) return;
    WindowHandle w = c->Dispatcher->DispatcherWindow();
    if (w) sendMessage(w, ws::CM_ZPSOCKET, static_cast<WParam>(event), value);
}

void TZpDeviceSocket::DoAccept(TSocket s) {
    TWsConnection* c = FindConnection(s);
    if (c && c->Dispatcher && c->Socket == s) {
        TZpWinsockDispatcher* d = c->Dispatcher;
        TSockAddrIn addr{};
        if (c->ConnectedSocket != -1) {
            // One client at a time: a second one is accepted and closed at once.
            TSocket extra = AcceptSocket(s, addr);
            if (extra != ws::INVALID_SOCKET) CloseSocket(extra);
        } else {
            TSocket ns = AcceptSocket(s, addr);
            if (ns != ws::INVALID_SOCKET) {
                d->RemoteAddress = addr;
                c->ConnectedSocket = ns;
            } else {
                d->RemoteAddress.sin_addr.S_addr = 0;
            }
            // The port hears of a failed accept too (address 0); without a socket nothing connects.
            LResult r = d->DoWsMessage(wsEvAccepted, static_cast<LParam>(d->RemoteAddress.sin_addr.S_addr));
            c = FindConnection(s);
            if (ns != ws::INVALID_SOCKET && c && c->ConnectedSocket == ns) {
                if (r != 1) {
                    CloseSocket(ns);
                    c->ConnectedSocket = -1;
                    if (c->Dispatcher) c->Dispatcher->RemoteAddress.sin_addr.S_addr = 0;
                } else {
                    c->SetState(wcsConnected);
                }
            }
        }
    }
    TZpSocket::DoAccept(s);
}

void TZpDeviceSocket::DoConnect(TSocket s) {
    TWsConnection* c = FindConnection(s);
    if (c && c->Dispatcher) {
        c->SetState(wcsConnected);
        if (c->Client) c->ConnectedSocket = c->Socket;
        TZpWinsockDispatcher* d = c->Dispatcher;
        d->DoWsMessage(wsEvConnected, 0);
        // Anything queued before the connect completed goes out now.
        c = FindConnection(s);
        if (c && c->Dispatcher) c->WriteBuf(nullptr, 0);
    }
    TZpSocket::DoConnect(s);
}

void TZpDeviceSocket::DoDisconnect(TSocket s) {
    TWsConnection* c = FindConnection(s);
    if (c && c->Dispatcher) {
        // Whatever arrived before the close is still delivered.
        DoDispMessage(c, ws::FD_READ, 0);
        c = FindConnection(s);
    }
    if (c && c->Dispatcher) {
        TZpWinsockDispatcher* d = c->Dispatcher;
        d->RemoteAddress.sin_addr.S_addr = 0;
        bool clientGone = s != c->Socket;
        c->ConnectedSocket = -1;
        c->SetState(wcsNotConnected);
        if (clientGone) {
            d->DoWsMessage(wsEvClientGone, 0);
            CloseSocket(s);
        } else {
            d->DoWsMessage(wsEvDisconnected, 0);
        }
    }
    TZpSocket::DoDisconnect(s);
}

void TZpDeviceSocket::DoError(TSocket s, int32_t errCode) {
    // A socket error is posted to the port: it reaches the port's error event from the
    // event loop, never as an exception out of a notification.
    TWsConnection* c = FindConnection(s);
    if (c && c->Dispatcher && !c->Client && s == c->ConnectedSocket && s != c->Socket &&
        (errCode == ws::WSAENETRESET || errCode == ws::WSAECONNABORTED || errCode == ws::WSAECONNRESET)) {
        // A server's client whose connection broke is gone as surely as one that closed it: the
        // server forgets it and takes the next one. The port hears of it through the error alone.
        c->Dispatcher->RemoteAddress.sin_addr.S_addr = 0;
        c->ConnectedSocket = -1;
        c->SetState(wcsNotConnected);
        {
            std::lock_guard<std::recursive_mutex> g(listLock_);
            cacheConn_ = nullptr;
            cacheSocket_ = -1;
        }
        CloseSocket(s);
    }
    // Errors of a server's accepted client reach the port as well as those of its own socket:
    // the client is forgotten above, and without the error the port would never learn that it
    // is gone; it would go on sending to no one, its bytes lost without a word.
    if (c && c->Dispatcher) c->Dispatcher->PostError(errCode);
    if (OnWsError) OnWsError(this, s, errCode);
}

void TZpDeviceSocket::DoRead(TSocket s) {
    TWsConnection* c = FindConnection(s);
    if (c) DoDispMessage(c, ws::FD_READ, 0);
    TZpSocket::DoRead(s);
}

void TZpDeviceSocket::DoWrite(TSocket s) {
    TWsConnection* c = FindConnection(s);
    if (c && c->Dispatcher) c->WriteBuf(nullptr, 0);
    TZpSocket::DoWrite(s);
}

// ---------------------------------------------------------------- TZpWinsockDispatcher

TZpWinsockDispatcher::TZpWinsockDispatcher(void* owner) : TZpBaseDispatcher(owner), serial_(nextSerial++) {
    alive_ = std::make_shared<bool>(true);
}

TZpWinsockDispatcher::~TZpWinsockDispatcher() {
    *alive_ = false;
    // The device layer ends here: the base class cannot reach these operations any more.
    if (Connection()) CloseCom();
    cidValue_ = -1;
    StopDispatcher();
}

void TZpWinsockDispatcher::InitSocketData(int32_t, uint32_t address, uint16_t port, bool client,
                                          bool isTelnet) {
    RemoteAddress = TSockAddrIn{};
    RemoteAddress.sin_port = port;
    RemoteAddress.sin_addr.S_addr = address;
    LocalAddress = TSockAddrIn{};
    LocalAddress.sin_port = client ? 0 : port;
    Client = client;
    Telnet = isTelnet;
}

TWsConnection* TZpWinsockDispatcher::Connection() {
    if (!deviceSocket || DeviceHandle() < 0) return nullptr;
    TWsConnection* c = deviceSocket->FindConnection(DeviceHandle());
    return c && c->Dispatcher == this ? c : nullptr;
}

void TZpWinsockDispatcher::ConnectionStateChanged(bool connected) {
    if (connected)
        modemStatus_ = static_cast<uint8_t>(modemStatus_ | 0x80);
    else
        modemStatus_ = static_cast<uint8_t>(modemStatus_ & ~0x80);
}

int32_t TZpWinsockDispatcher::EscapeComFunction(int32_t) {
    return 0;
}

int32_t TZpWinsockDispatcher::FlushCom(int32_t queue) {
    if (TWsConnection* c = Connection()) {
        if (queue == 0) c->FlushOutBuffer();
        if (queue == 1) c->FlushInBuffer();
    }
    return 0;
}

int32_t TZpWinsockDispatcher::GetComError(CommStatus& stat) {
    stat.Flags = 0;
    TWsConnection* c = Connection();
    stat.InQueue = c ? static_cast<uint32_t>(c->GetInChars()) : 0;
    stat.OutQueue = c ? static_cast<uint32_t>(c->GetOutChars()) : 0;
    // Socket errors go to the port's error event; they are never serial line-error bits.
    // Only a failed set-up reports its error here, so that the open fails with it.
    return dispActive_ ? 0 : setupError_;
}

int32_t TZpWinsockDispatcher::GetComState(CommState& dcb) {
    dcb.BaudRate = 19200;
    dcb.ByteSize = 8;
    dcb.Parity = 0;
    dcb.StopBits = 1;
    return 0;
}

int32_t TZpWinsockDispatcher::ReadCom(uint8_t* buf, int32_t size) {
    TWsConnection* c = Connection();
    if (!c || !c->Connected()) return 0;
    return c->ReadBuf(buf, size);
}

int32_t TZpWinsockDispatcher::SetComState(CommState&) {
    return 0;
}

int32_t TZpWinsockDispatcher::WriteCom(const uint8_t* buf, int32_t size) {
    TWsConnection* c = Connection();
    if (!c) return -1;
    return c->WriteBuf(buf, size);
}

bool TZpWinsockDispatcher::WaitComEvent(uint32_t&) {
    return true;
}

bool TZpWinsockDispatcher::SetupCom(int32_t, int32_t) {
    TWsConnection* c = Connection();
    if (!c) return false;
    TZpDeviceSocket& ds = *deviceSocket;
    setupError_ = 0;
    inSetup_ = true;
    bool ok = false;
    auto failed = [&](int32_t r) { return r == ws::SOCKET_ERROR && ds.GetLastError() != ws::WSAEWOULDBLOCK; };
    do {
        int32_t one = 1;
        if (failed(ds.SetSocketOptions(c->Socket, ws::SOL_SOCKET_WS, ws::SO_REUSEADDR_WS, &one, 4))) break;
        // Commands are a few bytes each: they go out at once, not gathered. Prompt-to-command
        // time over loopback (bench_tcp_latency, BM_PromptToCommand): mean 27 us, median 25 us
        // with it; mean 63 us, median 30 us without.
        if (failed(ds.SetSocketOptions(c->Socket, ws::IPPROTO_TCP_WS, ws::TCP_NODELAY_WS, &one, 4))) break;
        if (failed(ds.BindSocket(c->Socket, LocalAddress))) break;
        if (failed(ds.SetAsyncStyles(
                c->Socket, ws::FD_READ | ws::FD_WRITE | ws::FD_ACCEPT | ws::FD_CONNECT | ws::FD_CLOSE)))
            break;
        if (Client) {
            if (failed(ds.ConnectSocket(c->Socket, RemoteAddress))) break;
        } else {
            if (failed(ds.ListenSocket(c->Socket, 5))) break;
        }
        c->Client = Client;
        c->Telnet = Telnet;
        ok = true;
    } while (false);
    if (!ok && setupError_ == 0) setupError_ = ds.GetLastError();
    inSetup_ = false;
    return ok;
}

void TZpWinsockDispatcher::PostError(int32_t errCode) {
    if (inSetup_) {
        // A failure while the socket is being set up fails the open itself.
        setupError_ = errCode;
        return;
    }
    if (wsWindow_) postMessage(wsWindow_, CM_ZPSOCKETMESSAGE, static_cast<WParam>(errCode), serial_);
}

void TZpWinsockDispatcher::StartDispatcher() {
    if (dispActive_) throw EZPException(std::string("Dispatcher already started"));
    dispActive_ = true;
    timer_ = std::make_unique<QTimer>();
    timer_->setInterval(50);
    std::weak_ptr<bool> alive = alive_;
    timer_->callOnTimeout([this, alive] {
        if (auto a = alive.lock(); a && *a) Dispatcher(0, 0, static_cast<LParam>(ZpTimeGetTime()));
    });
    timer_->start();
    window_ = std::make_unique<MessageWindow>([this, alive](uint32_t msg, WParam, LParam l) -> LResult {
        auto a = alive.lock();
        if (!a || !*a) return 0;
        if (msg == ws::CM_ZPSOCKET) Dispatcher(ws::CM_ZPSOCKET, 0, l);
        return 0;
    });
}

void TZpWinsockDispatcher::StopDispatcher() {
    if (!dispActive_) return;
    // The timer and the window may be the callers: they are freed once the call has unwound.
    if (timer_) {
        timer_->stop();
        graveyard().timers.push_back(std::move(timer_));
    }
    if (window_) graveyard().windows.push_back(std::move(window_));
    scheduleGraveyard();
    dispActive_ = false;
}

int32_t TZpWinsockDispatcher::OpenCom(const char*, int32_t inQueue, int32_t outQueue) {
    TZpDeviceSocket& ds = ZpDeviceSocket();
    try {
        ds.CheckLoaded();
        ds.LockList();
        TWsConnection* c = nullptr;
        try {
            c = ds.AddConnection(inQueue, outQueue);
        } catch (...) {
            ds.UnLockList();
            throw;
        }
        ds.UnLockList();
        c->Dispatcher = this;
        cidValue_ = c->Socket;
        return c->Socket;
    } catch (const EZpSocketException& e) {
        setupError_ = e.ErrorCode;
        return -e.ErrorCode;
    }
}

int32_t TZpWinsockDispatcher::CloseCom() {
    TWsConnection* c = Connection();
    if (!c) return -1;
    deviceSocket->LockList();
    c->Shutdown();
    deviceSocket->RemoveConnection(c);
    deviceSocket->UnLockList();
    ConnectionStateChanged(false);
    return 0;
}

int32_t TZpWinsockDispatcher::ProcessCommunications() {
    return Dispatcher(0, 1, 0);
}

void TZpWinsockDispatcher::InputPulled() {
    if (roundReading_ || roundPosted_ || !window_) return;
    roundPosted_ = postMessage(window_->handle(), ws::CM_ZPSOCKET, 0, 0);
}

int32_t TZpWinsockDispatcher::Dispatcher(uint32_t msg, WParam w, LParam) {
    if (msg == ws::CM_ZPSOCKET) roundPosted_ = false;
    if (reentry_) return 0;
    reentry_ = true;
    if (!closePending_) {
        roundReading_ = true;
        RefreshStatus();
        if (comStatus_.InQueue > 0) ExtractData();
        roundReading_ = false;
        if (w != 0 && InBuffUsed() > 0) InputPulled();
        if (w == 0 && !notifyPending_) {
            ClearStatusHit();
            while (CheckTriggers() && !closePending_) {
            }
            if (StatusHit()) ResetStatusHits();
        } else if (DLoggingOn()) {
            AddDispatchEntry(dtError, 0, 0, nullptr, 0);
        }
    }
    reentry_ = false;
    if (closePending_) DonePortPrim();
    return 0;
}

LResult TZpWinsockDispatcher::DoWsMessage(int32_t event, LParam value) {
    if (!wsWindow_) return 0;
    bool wasOn = false, dummy = false;
    SetEventBusy(wasOn, true);
    LResult r = sendMessage(wsWindow_, CM_ZPSOCKETMESSAGE, static_cast<WParam>(event), value);
    SetEventBusy(dummy, wasOn);
    // A close asked for by the handler is finished here, unless an outer notification runs.
    if (closePending_ && !wasOn && !reentry_) DonePortPrim();
    return r;
}
