// A non-visual socket component over the sockets entry-point table: it starts the
// library, owns the hidden window that receives the asynchronous socket notifications,
// turns them into six events, and wraps the socket calls with one error rule.
#pragma once
#include <arpa/inet.h>

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/MessageWindow.h"
#include "platform/Winsock.h"
#include "ports/ZpErrors.h"

// The byte-order conversions are members here; the C library's optimising macros of the
// same names would rewrite them (the library functions remain).
#undef htonl
#undef htons
#undef ntohl
#undef ntohs

using ws::TInAddr;
using ws::TSockAddrIn;
using ws::TSocket;

enum TWsMode { wsClient, wsServer };

class TZpSocket;
using TWsNotifyEvent = std::function<void(TZpSocket* sender, TSocket socket)>;
using TWsSocketErrorEvent = std::function<void(TZpSocket* sender, TSocket socket, int32_t errCode)>;

class TZpSocket : public QObject {
  public:
    explicit TZpSocket(QObject* owner = nullptr);
    ~TZpSocket() override;

    TWsNotifyEvent OnWsAccept, OnWsConnect, OnWsDisconnect, OnWsRead, OnWsWrite;
    TWsSocketErrorEvent OnWsError;

    // Raises EZpSocketException with the start-up error when the library did not start.
    void CheckLoaded() const;
    bool Loaded() const { return loaded_; }
    int32_t StartupError() const { return startupError_; }

    int32_t GetLastError() const;
    WindowHandle GetHandle() const { return window_ ? window_->handle() : 0; }
    std::string GetDescription() const;
    std::string GetSystemStatus() const;
    std::string GetLocalHost() const;
    std::string GetLocalAddress() const;

    uint32_t htonl(uint32_t v) const;
    uint16_t htons(uint16_t v) const;
    uint32_t ntohl(uint32_t v) const;
    uint16_t ntohs(uint16_t v) const;
    std::string NetAddr2String(TInAddr addr) const;
    uint32_t String2NetAddr(const std::string& s) const;  // INADDR_NONE when not dotted
    std::string LookupAddress(TInAddr addr) const;
    uint32_t LookupName(const std::string& name) const;  // network order, 0 when not found
    std::vector<TInAddr> LookupNameAll(const std::string& name) const;
    std::string LookupPort(uint16_t port) const;
    uint16_t LookupService(const std::string& name) const;  // host order, 0 when not found

    TSocket CreateSocket();
    TSocket AcceptSocket(TSocket s, TSockAddrIn& address);
    int32_t BindSocket(TSocket s, const TSockAddrIn& address);
    int32_t ConnectSocket(TSocket s, const TSockAddrIn& address);
    int32_t CloseSocket(TSocket s);
    int32_t ListenSocket(TSocket s, int32_t backlog);
    int32_t ReadSocket(TSocket s, void* buf, int32_t flags, int32_t size);
    int32_t WriteSocket(TSocket s, const void* buf, int32_t flags, int32_t size);
    int32_t ShutdownSocket(TSocket s, int32_t how);
    int32_t SetSocketOptions(TSocket s, int32_t level, int32_t optName, const void* optVal, int32_t optLen);
    int32_t SetAsyncStyles(TSocket s, int32_t styles);
    bool CanReadSocket(TSocket s, int32_t timeoutMs);
    bool CanWriteSocket(TSocket s, int32_t timeoutMs);

    // The socket message as the window receives it (exceptions pass to the caller).
    void CMZPSocketMessage(TSocket s, LParam l);

  protected:
    virtual void DoAccept(TSocket s);
    virtual void DoConnect(TSocket s);
    virtual void DoDisconnect(TSocket s);
    virtual void DoError(TSocket s, int32_t errCode);
    virtual void DoRead(TSocket s);
    virtual void DoWrite(TSocket s);
    virtual void ShowErrorMessage(int32_t) {}
    LResult WndProc(uint32_t msg, WParam w, LParam l);

    const ws::WinsockTable* api_ = nullptr;

  private:
    void started();
    std::unique_ptr<MessageWindow> window_;
    bool loaded_ = false;
    int32_t startupError_ = 0;
    ws::TWSAData data_;
};
