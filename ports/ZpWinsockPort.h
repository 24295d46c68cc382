// The port component with a second device layer: with dlWin32 it is the serial port, with
// dlWinsock it carries the byte stream over one TCP connection (client or server), turns
// socket events into component events, and can reach the remote host through a SOCKS 4,
// 4a or 5 proxy.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ports/ZpComPort.h"
#include "ports/ZpSocket.h"
#include "ports/ZpWsDispatcher.h"

class TZpDataPacket;
class TZpWinsockDispatcher;

enum TZpSocksVersion : uint8_t { svNone, svSocks4, svSocks4a, svSocks5 };

// Proxy settings of a network port.
class TZpSocksServerInfo {
  public:
    const std::string& GetAddress() const { return address_; }
    void SetAddress(const std::string& v) { address_ = v; }
    const std::string& GetPassword() const { return password_; }
    void SetPassword(const std::string& v) { password_ = v; }
    uint16_t GetPort() const { return port_; }
    void SetPort(uint16_t v) { port_ = v; }
    TZpSocksVersion GetSocksVersion() const { return version_; }
    void SetSocksVersion(TZpSocksVersion v) { version_ = v; }
    const std::string& GetUserCode() const { return userCode_; }
    void SetUserCode(const std::string& v) { userCode_ = v; }
    void Assign(const TZpSocksServerInfo& o) { *this = o; }

  private:
    std::string address_, password_, userCode_;
    uint16_t port_ = 0;
    TZpSocksVersion version_ = svNone;
};

class TZpCustomWinsockPort;
using TWsAcceptEvent = std::function<void(TZpCustomWinsockPort* Sender, TInAddr Addr, bool& Accept)>;
using TWsPortNotifyEvent = std::function<void(TZpCustomWinsockPort* Sender)>;
using TWsErrorEvent = std::function<void(TZpCustomWinsockPort* Sender, int32_t ErrCode)>;

class TZpCustomWinsockPort : public TZpCustomComPort {
  public:
    explicit TZpCustomWinsockPort(QObject* owner = nullptr);
    ~TZpCustomWinsockPort() override;

    // Blanks (code 32 and below) around the value are dropped; a different value on an
    // open port raises EZpSocketException 9006.
    const std::string& GetWsAddress() const { return wsAddress_; }
    void SetWsAddress(const std::string& v);
    const std::string& GetWsPort() const { return wsPort_; }
    void SetWsPort(const std::string& v);
    TWsMode GetWsMode() const { return wsMode_; }
    void SetWsMode(TWsMode v);
    bool GetWsTelnet() const { return wsTelnet_; }
    void SetWsTelnet(bool v) { wsTelnet_ = v; }
    // The host's IPv4 addresses, enumerated again on every read.
    const std::vector<std::string>& GetWsLocalAddresses();
    void SetWsLocalAddresses(const std::vector<std::string>& v) { localAddresses_ = v; }
    int32_t GetWsLocalAddressIndex() const { return wsLocalAddressIndex_; }
    void SetWsLocalAddressIndex(int32_t v) { wsLocalAddressIndex_ = v; }
    TZpSocksServerInfo& WsSocksServerInfo() { return socks_; }
    void SetWsSocksServerInfo(const TZpSocksServerInfo& v) { socks_.Assign(v); }

    // The connect completed and the connection has not ended since.
    bool Connected() const { return connected_; }

    TWsAcceptEvent OnWsAccept;
    TWsPortNotifyEvent OnWsConnect;
    TWsPortNotifyEvent OnWsDisconnect;
    TWsErrorEvent OnWsError;

    void SetUseMSRShadow(bool v) override;

  protected:
    TZpBaseDispatcher* ActivateDeviceLayer() override;
    void DeviceLayerChanged() override;
    int32_t InitializePort() override;
    void ValidateComport() override;
    void PortOpen() override;
    void PortClose() override;
    LResult WindowProc(uint32_t msg, WParam w, LParam l) override;

    virtual bool DoAccept(TInAddr addr);
    virtual void DoConnect();
    virtual void DoDisconnect();
    virtual void DoError(int32_t errCode);

  private:
    void enumerateLocalAddresses();
    // A posted message names the dispatcher it is about (0: any); false for an earlier one.
    bool isCurrent(LParam serial) const;
    uint16_t resolvePort();                                      // network order; raises 9005
    uint32_t resolveAddress(const std::string& host, bool& ok);  // network order
    int32_t reportFailure(int32_t code);                         // OnWsError when assigned, else raises
    int32_t openProxy();
    void runProxyNegotiation();
    void expectReply(int32_t size, std::function<void(const std::string&)> handler);
    void socksFail(int32_t code);
    void sendSocks(const std::string& bytes);
    void socks4Request(bool variantA);
    void socks5Greeting();
    void socks5Request();
    void socksDone() { socksDone_ = true; }

    std::string wsAddress_;
    std::string wsPort_ = "telnet";
    TWsMode wsMode_ = wsClient;
    bool wsTelnet_ = true;
    std::vector<std::string> localAddresses_;
    int32_t wsLocalAddressIndex_ = 0;
    TZpSocksServerInfo socks_;
    TZpDataPacket* socksPacket_ = nullptr;
    bool socksDone_ = false;
    bool connected_ = false;
    int32_t socksError_ = 0;
    std::unique_ptr<TZpSocket> lookup_;  // address and service lookups
};

// The network port with its properties published; the link window holds one.
class TZpWinsockPort : public TZpCustomWinsockPort {
  public:
    explicit TZpWinsockPort(QObject* owner = nullptr) : TZpCustomWinsockPort(owner) {}
};
