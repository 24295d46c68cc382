#include "ports/ZpWinsockPort.h"

#include <QCoreApplication>
#include <QString>
#include <charconv>

#include "platform/Dialogs.h"
#include "ports/ZpDataPacket.h"

namespace {

std::string trimmed(const std::string& v) {
    size_t b = 0, e = v.size();
    while (b < e && static_cast<unsigned char>(v[b]) <= 32) ++b;
    while (e > b && static_cast<unsigned char>(v[e - 1]) <= 32) --e;
    return v.substr(b, e - b);
}

void putAddr(std::string& s, uint32_t netOrder) {
    const auto* p = reinterpret_cast<const char*>(&netOrder);
    s.append(p, 4);
}
void putPort(std::string& s, uint16_t netOrder) {
    const auto* p = reinterpret_cast<const char*>(&netOrder);
    s.append(p, 2);
}

}  // namespace

TZpCustomWinsockPort::TZpCustomWinsockPort(QObject* owner) : TZpCustomComPort(owner) {
    supportedLayers_ |= layerBit(dlWinsock);
    wsPort_ = "telnet";
    wsTelnet_ = true;
    connected_ = false;
    lookup_ = std::make_unique<TZpSocket>();
    enumerateLocalAddresses();
    // The network dispatcher needs the window before the port's first open.
    if (!triggerWindow_)
        triggerWindow_ = std::make_unique<MessageWindow>(
            [this](uint32_t msg, WParam w, LParam l) -> LResult { return WindowProc(msg, w, l); });
}

TZpCustomWinsockPort::~TZpCustomWinsockPort() {
    // Closed while this class still exists, so that its own close handling runs.
    try {
        SetOpen(false);
    } catch (const std::exception&) {
    }
    delete socksPacket_;
    socksPacket_ = nullptr;
    TZpDataPacketManager::PortDestroyed(this);
}

void TZpCustomWinsockPort::enumerateLocalAddresses() {
    localAddresses_.clear();
    try {
        std::string host = lookup_->GetLocalHost();
        if (host.empty()) return;
        for (const TInAddr& a : lookup_->LookupNameAll(host)) {
            const auto* b = reinterpret_cast<const uint8_t*>(&a.S_addr);
            localAddresses_.push_back(std::to_string(b[0]) + "." + std::to_string(b[1]) + "." +
                                      std::to_string(b[2]) + "." + std::to_string(b[3]));
        }
    } catch (const EZpSocketException&) {
        // Without sockets the list stays empty.
    }
}

const std::vector<std::string>& TZpCustomWinsockPort::GetWsLocalAddresses() {
    enumerateLocalAddresses();
    return localAddresses_;
}

void TZpCustomWinsockPort::SetWsAddress(const std::string& v) {
    if (v == wsAddress_) return;
    if (portState_ == psOpen) throw EZpSocketException(9006, false, false);
    wsAddress_ = trimmed(v);
}

void TZpCustomWinsockPort::SetWsPort(const std::string& v) {
    if (v == wsPort_) return;
    if (portState_ == psOpen) throw EZpSocketException(9006, false, false);
    wsPort_ = trimmed(v);
}

void TZpCustomWinsockPort::SetWsMode(TWsMode v) {
    if (v == wsMode_) return;
    if (portState_ == psOpen) throw EZpSocketException(9006, false, false);
    wsMode_ = v;
}

void TZpCustomWinsockPort::SetUseMSRShadow(bool v) {
    if (deviceLayer_ == dlWinsock)
        useMSRShadow_ = false;
    else
        TZpCustomComPort::SetUseMSRShadow(v);
}

TZpBaseDispatcher* TZpCustomWinsockPort::ActivateDeviceLayer() {
    if (!activateHook_ && deviceLayer_ == dlWinsock)
        return new TZpWinsockDispatcher(static_cast<TZpCustomComPort*>(this));
    return TZpCustomComPort::ActivateDeviceLayer();
}

void TZpCustomWinsockPort::DeviceLayerChanged() {
    TZpCustomComPort::DeviceLayerChanged();
    if (deviceLayer_ == dlWinsock) {
        tapiMode_ = tmOff;
        SetUseMSRShadow(false);
    } else {
        tapiMode_ = tmAuto;
    }
}

void TZpCustomWinsockPort::ValidateComport() {
    if (deviceLayer_ != dlWinsock) TZpCustomComPort::ValidateComport();
}

uint16_t TZpCustomWinsockPort::resolvePort() {
    int32_t n = 0;
    const char* b = wsPort_.data();
    const char* e = b + wsPort_.size();
    auto [p, ec] = std::from_chars(b, e, n);
    if (ec != std::errc() || p != e || wsPort_.empty()) n = lookup_->LookupService(wsPort_);
    if (n <= 0 || n > 65535) throw EZpSocketException(9005, false, false);
    return ws::wsHtons(static_cast<uint16_t>(n));
}

uint32_t TZpCustomWinsockPort::resolveAddress(const std::string& host, bool& ok) {
    ok = false;
    if (host.empty()) return 0;
    uint32_t a = lookup_->String2NetAddr(host);
    if (a == 0xFFFFFFFFu && host != "255.255.255.255") a = lookup_->LookupName(host);
    ok = a != 0;
    return a;
}

int32_t TZpCustomWinsockPort::reportFailure(int32_t code) {
    if (OnWsError) {
        OnWsError(this, code);
        return -code;
    }
    throw EZpSocketException(code, false, false);
}

int32_t TZpCustomWinsockPort::InitializePort() {
    if (deviceLayer_ != dlWinsock) return TZpCustomComPort::InitializePort();
    auto* d = dynamic_cast<TZpWinsockDispatcher*>(dispatcher_);
    if (!d) return TZpCustomComPort::InitializePort();
    lookup_->CheckLoaded();
    uint32_t addr = 0;
    if (wsMode_ == wsClient) {
        d->DeviceName = "Winsock client, connect to " + wsAddress_ + " on port " + wsPort_;
        if (wsAddress_.empty()) throw EZpSocketException(10039, false, false);
        if (socks_.GetSocksVersion() != svNone) return openProxy();
        bool ok = false;
        addr = resolveAddress(wsAddress_, ok);
        if (!ok) return reportFailure(9007);
    } else {
        d->DeviceName = "Winsock server on port " + wsPort_;
    }
    uint16_t port = resolvePort();
    d->InitSocketData(wsLocalAddressIndex_, addr, port, wsMode_ == wsClient, wsTelnet_);
    d->SetWsWindow(TriggerWindow());
    int32_t r = d->InitSocket(inSize_, outSize_);
    if (r != 0) {
        int32_t code = d->SetupError() != 0 ? d->SetupError() : (r < 0 ? -r : r);
        throw EZpSocketException(code, false, false);
    }
    portState_ = psOpen;
    return 0;
}

void TZpCustomWinsockPort::PortOpen() {
    if (deviceLayer_ == dlWinsock && socks_.GetSocksVersion() != svNone) {
        try {
            runProxyNegotiation();
        } catch (...) {
            // The proxy's connection may have completed: it ends the way any close ends it,
            // with the disconnect event, before the open fails.
            try {
                DonePort();
            } catch (const std::exception&) {
            }
            throw;
        }
    }
    TZpCustomComPort::PortOpen();
}

void TZpCustomWinsockPort::PortClose() {
    TZpCustomComPort::PortClose();
    DoDisconnect();
}

bool TZpCustomWinsockPort::isCurrent(LParam serial) const {
    if (serial == 0) return true;
    auto* d = dynamic_cast<TZpWinsockDispatcher*>(dispatcher_);
    return d && portState_ == psOpen && d->Serial() == serial;
}

LResult TZpCustomWinsockPort::WindowProc(uint32_t msg, WParam w, LParam l) {
    if (msg != CM_ZPSOCKETMESSAGE && msg != CM_ZPSOCKETCLOSE) return TZpCustomComPort::WindowProc(msg, w, l);
    // Nothing a handler raises may leave the window procedure.
    try {
        if (msg == CM_ZPSOCKETCLOSE) {
            if (isCurrent(l)) SetOpen(false);
            return 0;
        }
        auto* d = dynamic_cast<TZpWinsockDispatcher*>(dispatcher_);
        int32_t code = static_cast<int32_t>(w);
        switch (code) {
            case wsEvAccepted:
                return DoAccept(TInAddr{static_cast<uint32_t>(l)}) ? 1 : 0;
            case wsEvConnected:
                DoConnect();
                return 0;
            case wsEvDisconnected:
                postMessage(TriggerWindow(), CM_ZPSOCKETCLOSE, 0, d ? d->Serial() : 0);
                return 0;
            case wsEvClientGone:
                DoDisconnect();
                return 0;
            default:
                if (isCurrent(l)) DoError(code);
                return 0;
        }
    } catch (const std::exception& e) {
        showException(QString::fromStdString(e.what()));
    }
    return 0;
}

bool TZpCustomWinsockPort::DoAccept(TInAddr addr) {
    bool accept = true;
    if (OnWsAccept) OnWsAccept(this, addr, accept);
    return accept;
}

void TZpCustomWinsockPort::DoConnect() {
    connected_ = true;
    if (OnWsConnect) OnWsConnect(this);
}

void TZpCustomWinsockPort::DoDisconnect() {
    bool fire = connected_ || wsMode_ == wsServer;
    connected_ = false;
    if (fire && OnWsDisconnect) OnWsDisconnect(this);
}

void TZpCustomWinsockPort::DoError(int32_t errCode) {
    const bool broken = errCode == ws::WSAENETRESET || errCode == ws::WSAECONNABORTED ||
                        errCode == ws::WSAECONNRESET || errCode == ws::WSAECONNREFUSED;
    if (wsMode_ == wsClient) {
        // Any error before the connect completed ends the port too: such a socket never
        // carries data.
        auto* d = dynamic_cast<TZpWinsockDispatcher*>(dispatcher_);
        if ((broken || !connected_) && portState_ == psOpen)
            postMessage(TriggerWindow(), CM_ZPSOCKETCLOSE, 0, d ? d->Serial() : 0);
    } else if (broken) {
        DoDisconnect();
    }
    if (OnWsError) OnWsError(this, errCode);
}

// ---------------------------------------------------------------- proxy negotiation

int32_t TZpCustomWinsockPort::openProxy() {
    auto* d = dynamic_cast<TZpWinsockDispatcher*>(dispatcher_);
    delete socksPacket_;
    socksPacket_ = new TZpDataPacket();
    socksPacket_->SetComPort(this);
    socksPacket_->SetEnabled(false);
    socksDone_ = false;
    socksError_ = 0;
    bool ok = false;
    uint32_t addr = resolveAddress(socks_.GetAddress(), ok);
    if (!ok) {
        socksDone_ = true;
        return reportFailure(9007);
    }
    // The negotiation's bytes are binary: telnet rules apply only once it is done.
    d->InitSocketData(wsLocalAddressIndex_, addr, ws::wsHtons(socks_.GetPort()), true, false);
    d->SetWsWindow(TriggerWindow());
    int32_t r = d->InitSocket(inSize_, outSize_);
    if (r != 0) {
        socksDone_ = true;
        // The error event hears that the proxy cannot be reached (9007); raised, the failure
        // keeps its own code.
        if (OnWsError) return reportFailure(9007);
        throw EZpSocketException(d->SetupError() != 0 ? d->SetupError() : (r < 0 ? -r : r), false, false);
    }
    portState_ = psOpen;
    return 0;
}

void TZpCustomWinsockPort::sendSocks(const std::string& bytes) {
    if (auto* d = dispatcher_) d->PutString(bytes);
}

void TZpCustomWinsockPort::expectReply(int32_t size, std::function<void(const std::string&)> handler) {
    TZpDataPacket* p = socksPacket_;
    p->SetEnabled(false);
    p->SetAutoEnable(false);
    p->SetStartCond(scAnyData);
    p->SetEndCond(ecPacketSize);
    p->SetPacketSize(size);
    p->OnStringPacket = [p, handler](TZpDataPacket*, const std::string& data) {
        p->SetEnabled(false);
        handler(data);
    };
    p->OnTimeout = [this](TZpDataPacket*) { socksFail(ws::WSAETIMEDOUT); };
    p->SetEnabled(true);
}

void TZpCustomWinsockPort::socksFail(int32_t code) {
    socksError_ = code;
    socksDone_ = true;
}

void TZpCustomWinsockPort::runProxyNegotiation() {
    socksError_ = 0;
    try {
        if (socks_.GetSocksVersion() == svSocks5)
            socks5Greeting();
        else
            socks4Request(socks_.GetSocksVersion() == svSocks4a);
    } catch (const EZpSocketException& e) {
        socksFail(e.ErrorCode);
    }
    while (!socksDone_ && portState_ == psOpen && !QCoreApplication::closingDown())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, TickMs);
    if (!socksDone_ && portState_ != psOpen) socksError_ = ws::WSAECONNABORTED;
    delete socksPacket_;
    socksPacket_ = nullptr;
    if (socksError_ == 0) {
        if (auto* c = dynamic_cast<TZpWinsockDispatcher*>(dispatcher_); c && c->Connection())
            c->Connection()->Telnet = wsTelnet_;
        return;
    }
    // The failure is reported here, outside any notification: through the error event when
    // one is assigned (the useless connection then closes), else as the open's exception.
    if (OnWsError) {
        auto* d = dynamic_cast<TZpWinsockDispatcher*>(dispatcher_);
        if (portState_ == psOpen) postMessage(TriggerWindow(), CM_ZPSOCKETCLOSE, 0, d ? d->Serial() : 0);
        OnWsError(this, socksError_);
        return;
    }
    throw EZpSocketException(socksError_, false, false);
}

void TZpCustomWinsockPort::socks4Request(bool variantA) {
    uint16_t port = resolvePort();
    if (wsAddress_.empty()) throw EZpSocketException(10039, false, false);
    std::string req{4, 1};
    putPort(req, port);
    if (variantA) {
        req += std::string{0, 0, 0, 1};
        req += socks_.GetUserCode();
        req += '\0';
        req += wsAddress_;
        req += '\0';
    } else {
        bool ok = false;
        uint32_t addr = resolveAddress(wsAddress_, ok);
        if (!ok) throw EZpSocketException(9007, false, false);
        putAddr(req, addr);
        req += socks_.GetUserCode();
        req += '\0';
    }
    expectReply(8, [this](const std::string& r) {
        uint8_t status = static_cast<uint8_t>(r[1]);
        int32_t code = status == 90   ? 0
                       : status == 91 ? 9008
                       : status == 92 ? 9009
                       : status == 93 ? 9010
                                      : 9011;
        if (code)
            socksFail(code);
        else
            socksDone();
    });
    sendSocks(req);
}

void TZpCustomWinsockPort::socks5Greeting() {
    expectReply(2, [this](const std::string& r) {
        uint8_t method = static_cast<uint8_t>(r[1]);
        try {
            if (method == 0) {
                socks5Request();
            } else if (method == 2) {
                const std::string& u = socks_.GetUserCode();
                const std::string& pw = socks_.GetPassword();
                std::string sub{1, static_cast<char>(u.size() & 0xFF)};
                sub += u.substr(0, 255);
                sub += static_cast<char>(pw.size() & 0xFF);
                sub += pw.substr(0, 255);
                expectReply(2, [this](const std::string& a) {
                    if (a[1] != 0) return socksFail(9011);
                    try {
                        socks5Request();
                    } catch (const EZpSocketException& e) {
                        socksFail(e.ErrorCode);
                    }
                });
                sendSocks(sub);
            } else {
                socksFail(9011);
            }
        } catch (const EZpSocketException& e) {
            socksFail(e.ErrorCode);
        }
    });
    sendSocks(std::string{5, 2, 0, 2});
}

void TZpCustomWinsockPort::socks5Request() {
    uint16_t port = resolvePort();
    if (wsAddress_.empty()) throw EZpSocketException(10039, false, false);
    bool ok = false;
    uint32_t addr = resolveAddress(wsAddress_, ok);
    if (!ok) throw EZpSocketException(9007, false, false);
    std::string req{5, 1, 0, 1};
    putAddr(req, addr);
    putPort(req, port);
    expectReply(5, [this](const std::string& r) {
        uint8_t rep = static_cast<uint8_t>(r[1]);
        if (rep != 0) return socksFail(rep >= 1 && rep <= 8 ? 9011 + rep : 9011);
        uint8_t atyp = static_cast<uint8_t>(r[3]);
        int32_t rest = atyp == 1 ? 5 : atyp == 3 ? static_cast<uint8_t>(r[4]) + 2 : atyp == 4 ? 17 : -1;
        if (rest < 0) return socksFail(9020);
        expectReply(rest, [this](const std::string&) { socksDone(); });
    });
    sendSocks(req);
}
