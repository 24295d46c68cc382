// The device layer of the dispatcher for one TCP connection. It runs no threads: a 50-ms
// timer and the socket notifications, both on the GUI thread, pull received data into the
// input ring and run the trigger checks. Each open network port owns one connection with
// its own input and output rings and the telnet rules (negotiation, IAC doubling, CR NUL).
#pragma once
#include <QTimer>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ports/ZpDispatcher.h"
#include "ports/ZpSocket.h"

class TZpWinsockDispatcher;

// Telnet bytes.
namespace telnet {
constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr uint8_t OptBinary = 0, OptEcho = 1, OptSuppressGoAhead = 3, OptTerminalType = 24;
constexpr uint8_t CR = 13, LF = 10, NUL = 0;
}  // namespace telnet

// The socket message as the network dispatcher sends it to the port's window (wParam =
// event code or socket error code), and the deferred close the port posts itself.
constexpr uint32_t CM_ZPSOCKETMESSAGE = 0x0B11;
constexpr uint32_t CM_ZPSOCKETCLOSE = 0x0B12;
// Event codes of the socket message; any other value is a socket error code.
constexpr int32_t wsEvAccepted = 8, wsEvConnected = 16, wsEvDisconnected = 32, wsEvClientGone = 48;

enum TWsConnectionState : uint8_t { wcsNotConnected = 0, wcsConnected = 1 };

// One network port's connection: the data socket, the two rings and the telnet state.
class TWsConnection {
  public:
    TWsConnection(class TZpDeviceSocket* owner, int32_t inSize, int32_t outSize);
    ~TWsConnection();
    TWsConnection(const TWsConnection&) = delete;
    TWsConnection& operator=(const TWsConnection&) = delete;

    // Reads what the socket holds into the input ring, then delivers up to size decoded
    // bytes to buf; the result is the count delivered.
    int32_t ReadBuf(uint8_t* buf, int32_t size);
    // Queues len bytes (encoded) and sends what the socket takes; returns the source bytes taken.
    int32_t WriteBuf(const uint8_t* buf, int32_t len);
    int32_t GetInChars();
    int32_t GetOutChars();
    void FlushInBuffer();
    void FlushOutBuffer();
    // Closes the accepted socket of a server, then the own socket.
    void Shutdown();
    void SetState(TWsConnectionState s);
    TWsConnectionState State() const { return state_; }
    bool Connected() const { return state_ == wcsConnected; }
    // Bytes waiting in the output ring.
    int32_t OutRingUsed() const;

    int32_t OutCount = 0;
    TSocket ConnectedSocket = -1;
    TZpWinsockDispatcher* Dispatcher = nullptr;
    bool Client = false;
    bool Telnet = false;
    TSocket Socket = -1;       // the own socket
    uint8_t BinaryOption = 0;  // 0 off, 2 on

  private:
    int32_t inUsed() const;
    void fillInRing();
    bool peekIn(int32_t offset, uint8_t& b) const;
    void consumeIn(int32_t n);
    void handleCommand(uint8_t verb, uint8_t option);
    void sendCommand(uint8_t verb, uint8_t option);
    void sendTerminal();
    void sendRaw(const std::string& bytes);
    int32_t outFree() const;
    void putOut(uint8_t b);
    void flushOut();
    void log(uint8_t subType, uint32_t data);

    class TZpDeviceSocket* owner_;
    TWsConnectionState state_ = wcsNotConnected;
    std::vector<uint8_t> in_;
    int32_t inRead_ = 0, inWrite_ = 0;
    bool inFull_ = false;
    std::vector<uint8_t> out_;
    int32_t outRead_ = 0, outWrite_ = 0;
    bool outFull_ = false;
    // A subnegotiation in progress (its bytes are skipped until IAC SE).
    bool inSub_ = false;
    int32_t subLen_ = 0;
    uint8_t subOption_ = 0, subFirst_ = 0;
};

// The process-wide socket that owns every connection and routes its notifications.
class TZpDeviceSocket : public TZpSocket {
  public:
    TZpDeviceSocket();
    ~TZpDeviceSocket() override;
    std::string TerminalName = "vt100";
    void LockList() { listLock_.lock(); }
    void UnLockList() { listLock_.unlock(); }
    TWsConnection* FindConnection(TSocket s);
    TSocket TweakSocket(TSocket s);
    TWsConnection* AddConnection(int32_t inSize, int32_t outSize);
    void RemoveConnection(TWsConnection* c);
    size_t ConnectionCount() const { return connections_.size(); }
    // Sends the socket message to a dispatcher's own window.
    void DoDispMessage(TWsConnection* c, int32_t event, LParam value);

  protected:
    void DoAccept(TSocket s) override;
    void DoConnect(TSocket s) override;
    void DoDisconnect(TSocket s) override;
    void DoError(TSocket s, int32_t errCode) override;
    void DoRead(TSocket s) override;
    void DoWrite(TSocket s) override;

  private:
    std::recursive_mutex listLock_;
    std::vector<std::unique_ptr<TWsConnection>> connections_;
    TSocket cacheSocket_ = -1;
    TWsConnection* cacheConn_ = nullptr;
};

// The device socket (created on first use; freed when the application ends). A device
// socket that failed to start is made again while it holds no connection.
TZpDeviceSocket& ZpDeviceSocket();

class TZpWinsockDispatcher : public TZpBaseDispatcher {
  public:
    explicit TZpWinsockDispatcher(void* owner);
    ~TZpWinsockDispatcher() override;

    void InitSocketData(int32_t localAddress, uint32_t address, uint16_t port, bool client, bool isTelnet);
    // The window that receives the socket events of this port (the port's trigger window).
    void SetWsWindow(WindowHandle wnd) { wsWindow_ = wnd; }
    WindowHandle WsWindow() const { return wsWindow_; }

    int32_t EscapeComFunction(int32_t func) override;
    int32_t FlushCom(int32_t queue) override;
    int32_t GetComError(CommStatus& stat) override;
    int32_t GetComState(CommState& dcb) override;
    int32_t ReadCom(uint8_t* buf, int32_t size) override;
    int32_t SetComState(CommState& dcb) override;
    int32_t WriteCom(const uint8_t* buf, int32_t size) override;
    bool WaitComEvent(uint32_t& evtMask) override;
    bool SetupCom(int32_t inSize, int32_t outSize) override;
    void StartDispatcher() override;
    void StopDispatcher() override;
    int32_t OpenCom(const char* comName, int32_t inQueue, int32_t outQueue) override;
    int32_t CloseCom() override;
    int32_t ProcessCommunications() override;

    // One round: read input, then (wParam 0, no notification running) the trigger checks.
    int32_t Dispatcher(uint32_t msg, WParam w, LParam l);
    // Sends the socket message (event code, value) to the port's window, with the
    // notify-pending flag set meanwhile; returns the window's answer.
    LResult DoWsMessage(int32_t event, LParam value);
    WindowHandle DispatcherWindow() const { return window_ ? window_->handle() : 0; }
    TWsConnection* Connection();
    // Posts a socket error to the port's window (during set-up it fails the open instead).
    void PostError(int32_t errCode);
    // Tells this dispatcher apart from earlier ones in posted messages.
    int32_t Serial() const { return serial_; }
    // The error that made OpenCom or SetupCom fail (a socket error number).
    int32_t SetupError() const { return setupError_; }
    // The connection became connected (or not): DCD follows it.
    void ConnectionStateChanged(bool connected);
    // Received bytes were read from the socket: unless this round is reading them itself, a
    // round is posted so that the triggers see them now, not at the next timer tick.
    void InputPulled();

    TSockAddrIn RemoteAddress;
    TSockAddrIn LocalAddress;
    bool Client = true;
    bool Telnet = true;

  private:
    bool reentry_ = false;
    bool roundReading_ = false;
    bool roundPosted_ = false;
    int32_t serial_;
    std::shared_ptr<bool> alive_;
    int32_t setupError_ = 0;
    bool inSetup_ = false;
    WindowHandle wsWindow_ = 0;
    std::unique_ptr<MessageWindow> window_;
    std::unique_ptr<QTimer> timer_;
};
