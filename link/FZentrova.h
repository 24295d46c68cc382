// The program's one link to the instrument: a small terminal window (normally hidden) that
// owns the transport (serial or TCP/IP through the port component, or the USB converter),
// the command queue, the pacing of commands against the instrument's replies, the byte-by-byte
// line reader and the link-alive test. Everything runs on the GUI thread.
#pragma once
#include <QString>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "link/CommandQueue.h"
#include "link/ReceiveGuard.h"
#include "link/ZentrovaAPI.h"
#include "unicode/UxForms.h"

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class QTimer;
class TZpWinsockPort;
class TZpSLController;
class TZpStatusLight;

class TFZentrova : public TUxForm, public ZentrovaLink {
    Q_OBJECT
  public:
    static constexpr int32_t LineMax = 4000;    // characters of a received line kept
    static constexpr int MemoMaxLines = 2000;   // lines the terminal keeps
    static constexpr int32_t ReplyTimeout = 3;  // seconds a reply is awaited before sending anyway
    static constexpr int32_t AliveSeconds = 10;
    static constexpr int USBPollMs = 20;
    // Bytes a USB poll reads at most: many times what the line carries in a poll.
    static constexpr uint32_t USBPollBytes = 4096;
    static constexpr const char* SendFailedText = "processCommandQueue: Failed! while pushing to Port: ";
    static constexpr const char* MalformedText = "Error: Malformed status line!!! See above.";

    enum ConnectionKind : int32_t { ctNone = 0, ctTCPIP = 1, ctSerial = 2, ctUSB = 3 };

    explicit TFZentrova(QWidget* owner = nullptr);  // runs FormCreate
    ~TFZentrova() override;

    // ZentrovaLink
    void QueueCommand(const std::string& line) override;
    void ClearQueue() override;
    void SetStatusQuery(const std::string& query) override { StatusQuery = query; }
    std::string_view LastLine() const override { return std::string_view(LastLineBuf, LastLineLen); }
    void SetOnStatusLine(std::function<void()> handler) override;
    void ReportLineFault(const std::string& text) override;

    void processCommandQueue();
    bool SendToPort(const std::string& text);
    bool IsConnected() const;
    bool IsConnectionAlive();

    void ConnectSerialClick();
    void ConnectTCPIPClick();
    void ConnectUSBClick();
    void DisconnectClick();
    void SendClick();
    void ClearBtnClick();
    void FormCreate();

    // Serial/TCP receive handler: takes exactly count bytes from the port.
    void PortTriggerAvail(TZpWinsockPort* port, uint16_t count);
    void PollUSB();
    // Takes bytes as if they had arrived on the USB link (usb) or the port, in order.
    void ReceiveBytes(std::string_view bytes, bool usb);
    void Timer1Timer();
    void TimerCommandTimer();

    static bool IsValidStatusLine(std::string_view text);
    static int CountCommas(std::string_view text);

    // The "COM" setting: a port number from all digits after "COM" (1 when there are none, 0 when
    // too large for a port), or
    // a device path when the value starts with "/".
    struct ComSetting {
        int number = 1;
        std::string path;
    };
    static ComSetting ParseComSetting(const std::string& value);

    // Fields the instrument state writes before connecting.
    std::string IPAddress;
    std::string USBDeviceName;
    int32_t ConnectionType = ctNone;

    // Called with the window for each valid status line.
    std::function<void(TFZentrova* Sender)> OnStatusLine;

    // Pacing state.
    TCommandQueue CommandQueue;
    std::string StatusQuery;
    bool DataReceived = false;
    int32_t PendingAcks = 0;
    int32_t PendingStatus = 0;
    // Set while the halt is paced out on the way out: the pacer alone decides, by the time the
    // process ran, when an awaited reply is given up.
    bool RepliesAwaitedByPacer = false;
    int64_t LastSendTime = 0;  // whole seconds of appClock() at the last send
    int32_t RxCountdown = 0, TxCountdown = 0;

    // Bounds the reader under a flood and counts what it leaves out.
    TReceiveGuard Guard;

    // The line being assembled from serial/TCP bytes, and the last complete line of either transport.
    char LineBuf[LineMax + 1] = {};
    int32_t LineLen = 0;
    char LastLineBuf[LineMax + 1] = {};
    int32_t LastLineLen = 0;

    // Program-wide receive state: time of the last data (0 = none yet), the previous byte of
    // each transport and the USB line.
    static int64_t LastDataTime;
    static uint8_t PrevByte, PrevUSBByte;
    static char USBLineBuf[LineMax + 1];
    static int32_t USBLineLen;

    // Components.
    TZpWinsockPort* Port = nullptr;
    TZpSLController* ZpSLController1 = nullptr;
    TZpStatusLight* TxLED = nullptr;
    TZpStatusLight* RxLED = nullptr;
    QPlainTextEdit* Memo = nullptr;
    QPlainTextEdit* ThreadLog = nullptr;
    QLineEdit* SendText = nullptr;
    QPushButton* Send = nullptr;
    QPushButton* ClearBtn = nullptr;
    QCheckBox* Logging = nullptr;
    QCheckBox* ConnLostChkBx = nullptr;
    QTimer* Timer1 = nullptr;
    QTimer* TimerCommand = nullptr;
    QAction* ConnectSerial1 = nullptr;
    QAction* ConnectTCPIP1 = nullptr;
    QAction* ConnectUSB1 = nullptr;
    QAction* Disconnect1 = nullptr;
    QStatusBar* StatusBar1 = nullptr;

    // Lamp state (for the USB link, which drives the lamps itself).
    bool TxLit() const;
    bool RxLit() const;

    // Every line the link writes to the daily log also goes here (tests).
    static void setLogTap(std::function<void(const std::string&)> tap);

    // Why the link cannot connect while another program holds its port ("" while nothing
    // holds it): logged and shown once when it begins, not on every try.
    const QString& HeldPortText() const { return heldText_; }

  private:
    enum class Transport { Port, USB };
    // A run of received bytes: those within the guard's budget are read, the rest dropped.
    // Reading stops when the port given is closed by a handler.
    void receiveChunk(const uint8_t* bytes, size_t n, Transport t, const TZpWinsockPort* port = nullptr);
    void receiveByte(uint8_t b, Transport t);
    // holdsNul: the line held a NUL byte at len, where its text ends.
    void lineComplete(const char* line, int32_t len, Transport t, bool holdsNul);
    void resetReceiveState();
    bool openPort();
    void closePortQuietly(const char* where, const std::exception& e);
    void closePort();  // whatever the port raises stays here
    void afterPortConnect();
    void appendMemo(const std::string& text, bool sent);
    void setLamp(TZpStatusLight* lamp, bool lit);
    void countDown(int32_t& countdown, TZpStatusLight* lamp);
    void log(const std::string& text);
    // A connect failed: logged once until the next connect succeeds or the failure changes.
    void connectFailed(const std::string& text);
    void connectSucceeded();
    // Another program holds the port named `what` (device path): said once, in the log and on screen.
    void portHeld(const QString& what, const std::string& path);

    std::string lastFailure_;  // the connect failure logged last
    QString heldText_;
    int64_t chunkMs_ = 0;  // arrival time of the bytes being read
    // Bytes were dropped inside the line being assembled: it ends unread at its line feed.
    bool lineBroken_[2] = {false, false};
    // Where the first NUL stood in the line being assembled (-1: none).
    int32_t nulAt_[2] = {-1, -1};
    // The line being handed on was shown and logged (not left out under a flood).
    bool lineLogged_ = true;
};

// The link window, created at start-up.
extern TFZentrova* FZentrova;
