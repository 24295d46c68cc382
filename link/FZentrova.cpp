#include "link/FZentrova.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QAction>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <sstream>

#include "link/FTDI.h"
#include "link/LogFile.h"
#include "link/StoredParams.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/Serial.h"
#include "platform/i18n.h"
#include "ports/ZpErrors.h"
#include "ports/ZpPortSelect.h"
#include "ports/ZpStatusLight.h"
#include "ports/ZpWinsockPort.h"

TFZentrova* FZentrova = nullptr;

int64_t TFZentrova::LastDataTime = 0;
uint8_t TFZentrova::PrevByte = 0;
uint8_t TFZentrova::PrevUSBByte = 0;
char TFZentrova::USBLineBuf[TFZentrova::LineMax + 1] = {};
int32_t TFZentrova::USBLineLen = 0;

namespace {

std::function<void(const std::string&)>& logTap() {
    static std::function<void(const std::string&)> tap;
    return tap;
}

// The device a USB converter of that description is opened as ("" when none is attached).
std::string usbDevicePath(const std::string& description) {
    const std::string wanted = TFTDI::CutDescription(description);
    uint32_t count = 0;
    if (D2xx::createDeviceInfoList(&count) != D2xx::OK) return {};
    for (uint32_t i = 0; i < count; ++i) {
        D2xx::DeviceInfo info;
        if (D2xx::getDeviceInfoDetail(i, &info) == D2xx::OK && info.description == wanted) return info.path;
    }
    return {};
}

// The program and process that hold a device (its lock), as "zentrova, process 1234"; "" when
// unknown.
std::string deviceHolder(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return {};
    // The claim on a tty is a whole-file lock; the kernel lists each with its process and
    // the device and inode of the file it locks.
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream in(line);
        std::string id, kind, mode, access, devIno;
        long pid = 0;
        if (!(in >> id >> kind) || kind == "->" || kind != "FLOCK") continue;
        if (!(in >> mode >> access >> pid >> devIno) || pid <= 0 || pid == long(::getpid())) continue;
        unsigned maj = 0, min = 0;
        unsigned long ino = 0;
        if (std::sscanf(devIno.c_str(), "%x:%x:%lu", &maj, &min, &ino) != 3) continue;
        if (maj != major(st.st_dev) || min != minor(st.st_dev) || ino != st.st_ino) continue;
        std::string name;
        std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), name);
        return (name.empty() ? std::string() : name + ", ") + "process " + std::to_string(pid);
    }
    return {};
}

bool isStatusReply(const char* cmd) {
    return std::strcmp(cmd, "? 123") == 0 || std::strcmp(cmd, "? 13") == 0;
}

}  // namespace

TFZentrova::TFZentrova(QWidget* owner) : TUxForm(owner) {
    SetCaption(_("Zentrova Test Host Version 0.0"));
    setObjectName("FZentrova");

    auto* menuBar = new QMenuBar(this);
    QMenu* menu = menuBar->addMenu(_("Zentrova"));
    ConnectSerial1 = menu->addAction(_("Connect Serial"));
    ConnectTCPIP1 = menu->addAction(_("Connect TCP/IP"));
    ConnectUSB1 = menu->addAction(_("Connect USB"));
    Disconnect1 = menu->addAction(_("Disconnect"));
    connect(ConnectSerial1, &QAction::triggered, this,
            [this] { runGuarded([this] { ConnectSerialClick(); }); });
    connect(ConnectTCPIP1, &QAction::triggered, this,
            [this] { runGuarded([this] { ConnectTCPIPClick(); }); });
    connect(ConnectUSB1, &QAction::triggered, this, [this] { runGuarded([this] { ConnectUSBClick(); }); });
    connect(Disconnect1, &QAction::triggered, this, [this] { runGuarded([this] { DisconnectClick(); }); });

    Memo = new QPlainTextEdit(this);
    Memo->setObjectName("Memo");
    Memo->setReadOnly(true);
    Memo->setMaximumBlockCount(MemoMaxLines);
    ThreadLog = new QPlainTextEdit(this);
    ThreadLog->setObjectName("ThreadLog");
    ThreadLog->setReadOnly(true);
    ThreadLog->setMaximumBlockCount(MemoMaxLines);
    ThreadLog->setMaximumHeight(80);

    SendText = new QLineEdit(this);
    SendText->setObjectName("SendText");
    Send = new QPushButton(_("Send"), this);
    Send->setDefault(true);
    ClearBtn = new QPushButton(_("Clear"), this);
    Logging = new QCheckBox(_("Logging On"), this);
    ConnLostChkBx = new QCheckBox(_("ConnLostChkBx"), this);
    connect(Send, &QPushButton::clicked, this, [this] { runGuarded([this] { SendClick(); }); });
    connect(SendText, &QLineEdit::returnPressed, this, [this] { runGuarded([this] { SendClick(); }); });
    connect(ClearBtn, &QPushButton::clicked, this, [this] { runGuarded([this] { ClearBtnClick(); }); });

    auto* lampLabel = new QLabel(_("Rx Tx"), this);
    RxLED = new TZpStatusLight(this);
    TxLED = new TZpStatusLight(this);
    RxLED->setObjectName("RxLED");
    TxLED->setObjectName("TxLED");
    // A lamp has no size hint of its own: the layout would squeeze it to nothing.
    for (TZpStatusLight* lamp : {RxLED, TxLED}) lamp->setFixedSize(lamp->size());

    StatusBar1 = new QStatusBar(this);
    StatusBar1->addWidget(new QLabel(_("Not Connected."), StatusBar1));

    auto* row = new QHBoxLayout;
    row->addWidget(SendText, 1);
    row->addWidget(Send);
    row->addWidget(ClearBtn);
    row->addWidget(Logging);
    row->addWidget(ConnLostChkBx);
    row->addWidget(lampLabel);
    row->addWidget(RxLED);
    row->addWidget(TxLED);
    auto* layout = new QVBoxLayout(this);
    layout->setMenuBar(menuBar);
    layout->addWidget(Memo, 1);
    layout->addWidget(ThreadLog);
    layout->addLayout(row);
    layout->addWidget(StatusBar1);
    resize(640, 420);

    Timer1 = new QTimer(this);
    Timer1->setInterval(500);
    connectTimer(Timer1, this, [this] { Timer1Timer(); });
    TimerCommand = new QTimer(this);
    TimerCommand->setInterval(250);
    TimerCommand->setTimerType(Qt::PreciseTimer);
    connectTimer(TimerCommand, this, [this] { TimerCommandTimer(); });

    Port = new TZpWinsockPort(this);
    Port->SetOnTriggerAvail([this](TZpCustomComPort*, uint16_t count) {
        runGuarded([this, count] { PortTriggerAvail(Port, count); });
    });
    ZpSLController1 = new TZpSLController(this);
    ZpSLController1->SetComPort(Port);
    ZpSLController1->Lights().TXDLight = TxLED;
    ZpSLController1->Lights().RXDLight = RxLED;

    FormCreate();
    TZentrovaAPI::SetLink(this);
    Timer1->start();
}

TFZentrova::~TFZentrova() {
    if (TZentrovaAPI::Link() == this) TZentrovaAPI::SetLink(nullptr);
    if (FZentrova == this) FZentrova = nullptr;
    // The USB device belongs to the link; leave nothing open behind a closed window.
    if (ConnectionType == ctUSB) FTDI.Close();
    // The lamp controller still watches the port: it goes first.
    delete ZpSLController1;
    ZpSLController1 = nullptr;
    delete Port;
    Port = nullptr;
}

void TFZentrova::FormCreate() {
    DataReceived = false;
    ConnectSerial1->setEnabled(true);
    Disconnect1->setEnabled(false);
    Logging->setChecked(true);
}

void TFZentrova::setLogTap(std::function<void(const std::string&)> tap) {
    logTap() = std::move(tap);
}

void TFZentrova::log(const std::string& text) {
    logLine(text);
    if (logTap()) logTap()(text);
}

void TFZentrova::SetOnStatusLine(std::function<void()> handler) {
    if (handler)
        OnStatusLine = [h = std::move(handler)](TFZentrova*) { h(); };
    else
        OnStatusLine = nullptr;
}

// ---------------------------------------------------------------- queue and pacing

void TFZentrova::QueueCommand(const std::string& line) {
    CommandQueue.Add(line);
    processCommandQueue();
}

void TFZentrova::ClearQueue() {
    CommandQueue.Clear();
}

void TFZentrova::processCommandQueue() {
    const int64_t now = appClock().seconds();
    // The clock's time-out also counts time the process spent stopped: a halt continued after a
    // stop would send on before the replies it still owes were read, and lose count of them.
    const bool owed = PendingAcks >= 1 || PendingStatus >= 1;
    if (owed && (RepliesAwaitedByPacer || now <= LastSendTime + ReplyTimeout)) return;
    if (!IsConnected() || CommandQueue.Count() == 0) return;
    const char* next = CommandQueue.Next();
    if (!next) return;
    const std::string cmd(next);
    const bool sent = SendToPort(cmd + "\r");
    const std::string record = sent ? cmd : SendFailedText + cmd;
    // A reply owed past its time-out is given up: only this command's reply is awaited now.
    // Kept, a lost status reply would hold every later command for the whole time-out, since
    // a command's prompt never lowers it: a stop's heaters would go off many seconds late.
    if (owed) PendingAcks = PendingStatus = 0;
    if (isStatusReply(cmd.c_str())) {
        if (PendingStatus < 1) PendingStatus = 1;
    } else {
        if (PendingAcks < 1) PendingAcks = 1;
    }
    LastSendTime = now;
    if (Logging->isChecked()) appendMemo(record, true);
    log(record);
}

bool TFZentrova::SendToPort(const std::string& text) {
    if (FTDI.IsOpen()) {
        const bool ok = FTDI.Write(text);
        setLamp(TxLED, true);
        TxCountdown = 1;
        if (Logging->isChecked()) {
            // The command's own line end would add a blank line after it.
            std::string_view line(text);
            while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
            ThreadLog->appendPlainText(QString::fromUtf8(line.data(), qsizetype(line.size())));
        }
        return ok;
    }
    try {
        if (Port && Port->GetOpen()) {
            Port->PutString(text);
            return true;
        }
    } catch (const std::exception&) {
        return false;  // the caller records the failure
    }
    return false;
}

bool TFZentrova::IsConnected() const {
    if (FTDI.IsOpen()) return true;
    if (Port && Port->GetOpen()) return true;
    return false;
}

bool TFZentrova::IsConnectionAlive() {
    const int64_t now = appClock().seconds();
    if (DataReceived && !ConnLostChkBx->isChecked()) {
        LastDataTime = now;
        DataReceived = false;
        return true;
    }
    const bool alive = !(now > LastDataTime + AliveSeconds);
    DataReceived = false;
    return alive;
}

void TFZentrova::Timer1Timer() {
    const std::string counts = Guard.Report(appClock().monotonicMs(), LineMax);
    if (!counts.empty()) log(counts);
    if (IsConnected() && !CommandQueue.IsLast(StatusQuery))
        QueueCommand(StatusQuery);
    else
        processCommandQueue();
}

// ---------------------------------------------------------------- receiving

void TFZentrova::resetReceiveState() {
    // A new connection owes no replies of the old one: the queue (the halt, after a reconnect)
    // leaves without waiting out their time-outs.
    PendingAcks = 0;
    PendingStatus = 0;
    LineLen = 0;
    LineBuf[0] = 0;
    USBLineLen = 0;
    USBLineBuf[0] = 0;
    PrevByte = 0;
    PrevUSBByte = 0;
    lineBroken_[0] = lineBroken_[1] = false;
    nulAt_[0] = nulAt_[1] = -1;
}

void TFZentrova::receiveChunk(const uint8_t* bytes, size_t n, Transport t, const TZpWinsockPort* port) {
    chunkMs_ = appClock().monotonicMs();
    const size_t kept = Guard.Take(n, chunkMs_);
    for (size_t i = 0; i < kept; ++i) {
        // A handler may close the port: what is left of its bytes belongs to no link.
        if (port && !port->GetOpen()) return;
        receiveByte(bytes[i], t);
    }
    if (kept < n) {
        // The line in progress lost bytes: neither its head nor its tail is read as a line.
        (t == Transport::USB ? USBLineLen : LineLen) = 0;
        lineBroken_[t == Transport::USB] = true;
        nulAt_[t == Transport::USB] = -1;
        (t == Transport::USB ? PrevUSBByte : PrevByte) = 0;
    }
}

void TFZentrova::receiveByte(uint8_t b, Transport t) {
    uint8_t& prev = t == Transport::USB ? PrevUSBByte : PrevByte;
    if (b == '>') {
        if (PendingAcks > 0) {
            --PendingAcks;
            processCommandQueue();
        }
    } else if (b == '3' && prev == '?') {
        if (PendingStatus > 0) {
            --PendingStatus;
            processCommandQueue();
        }
    } else if (b == '!') {
        if (PendingAcks > 0) --PendingAcks;
        if (PendingStatus > 0) --PendingStatus;
        processCommandQueue();
    }
    prev = b;

    char* buf = t == Transport::USB ? USBLineBuf : LineBuf;
    int32_t& len = t == Transport::USB ? USBLineLen : LineLen;
    if (b == '\n') {
        // Copy out first: the handlers below may receive more bytes of this transport.
        char line[LineMax + 1];
        const int32_t n = len;
        std::memcpy(line, buf, static_cast<size_t>(n));
        line[n] = 0;
        len = 0;
        buf[0] = 0;
        if (t == Transport::USB) DataReceived = true;
        bool& broken = lineBroken_[t == Transport::USB];
        int32_t& nulAt = nulAt_[t == Transport::USB];
        const int32_t textEnd = nulAt;
        nulAt = -1;
        if (broken) {
            broken = false;
            return;
        }
        lineComplete(line, textEnd >= 0 ? textEnd : n, t, textEnd >= 0);
    } else if (b == '\r') {
        // CR ends nothing
    } else if (b == 0) {
        // A NUL ends the line's text: what follows it is never joined to what stands before.
        // The byte itself is not kept; the line is refused at its line feed.
        Guard.NulDropped(chunkMs_);
        if (nulAt_[t == Transport::USB] < 0) nulAt_[t == Transport::USB] = len;
    } else if (len < LineMax) {
        buf[len++] = static_cast<char>(b);
        buf[len] = 0;
    } else {
        Guard.CutDropped(chunkMs_);
    }
}

void TFZentrova::lineComplete(const char* line, int32_t len, Transport, bool holdsNul) {
    std::memcpy(LastLineBuf, line, static_cast<size_t>(len));
    LastLineBuf[len] = 0;
    LastLineLen = len;
    const std::string text(line, static_cast<size_t>(len));
    // A line cut by a NUL is malformed whatever its head holds: its readings are not whole.
    const bool valid = !holdsNul && IsValidStatusLine(text);
    // Under a flood most lines are counted rather than shown and logged.
    lineLogged_ = Guard.LineShown(chunkMs_);
    if (lineLogged_) {
        if (Logging->isChecked()) appendMemo(text, false);
        // Overlong lines are logged cut; a flood of bad lines is counted rather than logged.
        if (const auto entry = receivedLogEntry(text, valid, len >= LineMax)) {
            log(*entry);
            if (!valid) log(MalformedText);
        }
    }
    if (valid && OnStatusLine) OnStatusLine(this);
}

void TFZentrova::ReportLineFault(const std::string& text) {
    // A fault of a line left out under a flood is left out with it: the line's count covers both.
    if (lineLogged_) log(text);
}

void TFZentrova::PortTriggerAvail(TZpWinsockPort* port, uint16_t count) {
    DataReceived = true;
    uint8_t block[4096];
    for (uint16_t done = 0; done < count;) {
        const auto n = static_cast<uint16_t>(std::min<size_t>(count - done, sizeof block));
        try {
            if (!port || !port->GetOpen()) return;
            port->GetBlock(block, n);
        } catch (const std::exception& e) {
            log(std::string("PortTriggerAvail: ") + e.what());
            return;
        }
        done = static_cast<uint16_t>(done + n);
        receiveChunk(block, n, Transport::Port, port);
    }
}

void TFZentrova::ReceiveBytes(std::string_view bytes, bool usb) {
    if (!usb) DataReceived = true;
    receiveChunk(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                 usb ? Transport::USB : Transport::Port);
}

void TFZentrova::PollUSB() {
    // Bounded so that a device that never stops sending cannot hold the GUI thread.
    uint8_t block[USBPollBytes];
    const uint32_t n = FTDI.IsOpen() ? FTDI.Read(block, USBPollBytes) : 0;
    if (n > 0) {
        receiveChunk(block, n, Transport::USB);
        setLamp(RxLED, true);
        RxCountdown = 1;
    } else {
        countDown(RxCountdown, RxLED);
    }
    countDown(TxCountdown, TxLED);
}

void TFZentrova::TimerCommandTimer() {
    if (FTDI.IsOpen()) PollUSB();
    // A second count-down per tick: a lamp lit by this poll goes out before the next one.
    if (FTDI.IsOpen()) {
        countDown(RxCountdown, RxLED);
        countDown(TxCountdown, TxLED);
    }
}

void TFZentrova::countDown(int32_t& countdown, TZpStatusLight* lamp) {
    if (countdown == 0) return;
    if (--countdown == 0) setLamp(lamp, false);
}

void TFZentrova::setLamp(TZpStatusLight* lamp, bool lit) {
    if (lamp && lamp->GetLit() != lit) lamp->SetLit(lit);
}

bool TFZentrova::TxLit() const {
    return TxLED->GetLit();
}

bool TFZentrova::RxLit() const {
    return RxLED->GetLit();
}

int TFZentrova::CountCommas(std::string_view text) {
    int n = 0;
    const size_t end = std::min<size_t>(text.size(), LineMax);
    for (size_t i = 0; i < end; ++i) {
        const auto c = static_cast<uint8_t>(text[i]);
        if (c >= 128) break;
        if (c == ',') ++n;
    }
    return n;
}

bool TFZentrova::IsValidStatusLine(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && text[i] == '>') ++i;
    if (i >= text.size() || text[i] != '?') return false;
    if (i + 1 >= text.size()) return false;
    int need = 0;
    switch (text[i + 1]) {
        case '0':
            need = 5;
            break;
        case '1':
        case '2':
            need = 12;
            break;
        case '3':
            need = 7;
            break;
        default:
            return false;
    }
    return CountCommas(text.substr(i)) >= need;
}

// ---------------------------------------------------------------- terminal

void TFZentrova::appendMemo(const std::string& text, bool sent) {
    // The view follows new lines unless the operator has scrolled back to read.
    QScrollBar* bar = Memo->verticalScrollBar();
    const bool follow = bar->value() == bar->maximum();
    // Appended as a paragraph of the edit, then coloured: a block inserted through a cursor
    // leaves memory behind when the line cap drops the oldest block, so a terminal that
    // runs for days would grow with every line.
    Memo->appendPlainText(QString::fromUtf8(text.data(), qsizetype(text.size())));
    QTextCharFormat fmt;
    fmt.setForeground(sent ? QColor(Qt::red) : QColor(Qt::blue));
    QTextCursor c(Memo->document());
    c.movePosition(QTextCursor::End);
    c.movePosition(QTextCursor::StartOfBlock, QTextCursor::KeepAnchor);
    c.setCharFormat(fmt);
    if (follow) bar->setValue(bar->maximum());
}

void TFZentrova::SendClick() {
    if (IsConnected()) QueueCommand(SendText->text().toStdString());
}

void TFZentrova::ClearBtnClick() {
    Memo->clear();
}

// ---------------------------------------------------------------- connecting

TFZentrova::ComSetting TFZentrova::ParseComSetting(const std::string& value) {
    ComSetting s;
    if (!value.empty() && value[0] == '/') {
        s.path = value;
        return s;
    }
    // "COM12": every digit from the fourth character on; no digits (or anything after them)
    // reads as port 1. A number no port can have reads as 0, which names no port. Not only
    // the first two digits: "COM123" would open port 12, another device than the one set,
    // and send it the instrument's commands.
    if (value.size() > 3) {
        size_t i = 3;
        int64_t n = 0;
        for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i)
            if (n <= 0xFFFF) n = n * 10 + (value[i] - '0');
        if (i > 3 && i == value.size()) s.number = n <= 0xFFFF ? static_cast<int>(n) : 0;
    }
    return s;
}

bool TFZentrova::openPort() {
    // Shared by serial and TCP/IP; raises what the port raises.
    Port->RemoveAllTriggers();
    Port->FlushInBuffer();
    Port->FlushOutBuffer();
    Port->SetOpen(true);
    if (Port->GetOpen()) ZpSLController1->SetMonitoring(true);
    Disconnect1->setEnabled(Port->GetOpen());
    return Port->GetOpen();
}

// A port that failed half-way is closed again; nothing of it escapes.
void TFZentrova::closePortQuietly(const char* where, const std::exception& e) {
    closePort();
    connectFailed(std::string(where) + ": " + e.what());
}

void TFZentrova::closePort() {
    try {
        Port->SetOpen(false);
    } catch (const std::exception&) {
    }
}

void TFZentrova::connectFailed(const std::string& text) {
    // Logged although a failed open is otherwise silent: an open that raises (a device that
    // is no tty, an address that does not resolve) would keep the link down for good with no
    // trace of why, and the service engineer has only the log to find it.
    // The main loop tries again every second or two: the same failure is news only once.
    if (text == lastFailure_) return;
    lastFailure_ = text;
    log(text);
}

void TFZentrova::connectSucceeded() {
    lastFailure_.clear();
    heldText_.clear();
}

// Logged and shown although a failed open is otherwise silent: while another program holds
// the port the instrument stays unattended, and only the operator can end that; in silence
// the link would just never come up.
void TFZentrova::portHeld(const QString& what, const std::string& path) {
    const std::string holder = deviceHolder(path);
    // A holder that can no longer be named is letting go (another copy ending): no news after
    // the one that was said.
    if (holder.empty() && !heldText_.isEmpty()) return;
    // One pass over the text: a path with "%" in it is shown as it is.
    const QString text =
        _("The instrument's connection %1 is in use by another program%2. Another copy of "
          "this program may be set to the same connection. This copy connects as soon as "
          "it is free.")
            .arg(what, holder.empty() ? QString() : " (" + QString::fromStdString(holder) + ")");
    if (text == heldText_) return;
    heldText_ = text;
    lastFailure_.clear();
    log("#link: " + text.toStdString());
    // Shown from the event loop, not from inside the connect that the main loop is making.
    QTimer::singleShot(0, this,
                       [text] { messageBox(text, _("Warning"), MsgButtons::OK, mrOk, MsgIcon::Warning); });
}

void TFZentrova::afterPortConnect() {
    ConnectSerial1->setEnabled(false);
    ConnectTCPIP1->setEnabled(false);
    Disconnect1->setEnabled(true);
    Logging->setChecked(true);
}

void TFZentrova::ConnectSerialClick() {
    const std::string com = TStoredParams::ReadRegistryString(TStoredParams::InstrumentRegistryKey(), "COM");
    const ComSetting setting = ParseComSetting(com);
    try {
        const bool available = setting.path.empty() ? IsPortAvailable(static_cast<unsigned>(setting.number))
                                                    : IsPortAvailable(setting.path);
        if (!available) return;
        Port->SetOpen(false);
        Port->SetComDevice(setting.path);
        if (setting.path.empty()) Port->SetComNumber(static_cast<uint16_t>(setting.number));
        Port->SetDeviceLayer(dlWin32);
        if (!openPort()) return;
        resetReceiveState();
    } catch (const EAlreadyOpen&) {
        closePort();
        const std::string path = setting.path.empty() ? serialDevicePath(com) : setting.path;
        portHeld(QString::fromStdString(com) +
                     (path.empty() || path == com ? QString() : " (" + QString::fromStdString(path) + ")"),
                 path);
        return;
    } catch (const std::exception& e) {
        closePortQuietly("ConnectSerialClick", e);
        return;
    }
    connectSucceeded();
    ConnectionType = ctSerial;
    afterPortConnect();
    ZentrovaAPI.OnConnectSerial();
}

void TFZentrova::ConnectTCPIPClick() {
    try {
        Port->SetOpen(false);
        Port->SetDeviceLayer(dlWinsock);
        Port->SetWsPort("192");
        Port->SetWsAddress(IPAddress);
        Port->SetWsMode(wsClient);
        if (!openPort()) return;
        resetReceiveState();
    } catch (const std::exception& e) {
        closePortQuietly("ConnectTCPIPClick", e);
        return;
    }
    connectSucceeded();
    ConnectionType = ctTCPIP;
    afterPortConnect();
    ZentrovaAPI.OnConnectTCPIP();
}

void TFZentrova::ConnectUSBClick() {
    if (USBDeviceName.empty()) return;
    if (!FTDI.Open(USBDeviceName)) {
        // Held by another program: the converter is there but its tty is claimed.
        const std::string path = usbDevicePath(USBDeviceName);
        if (FTDI.LastStatus == D2xx::DEVICE_NOT_OPENED && !path.empty() &&
            probeSerialDevice(path) == SERIAL_ERROR_ACCESS_DENIED)
            portHeld(fillFirst(_("USB \"%s\""), QString::fromStdString(USBDeviceName)) + " (" +
                         QString::fromStdString(path) + ")",
                     path);
        return;
    }
    connectSucceeded();
    resetReceiveState();
    ConnectionType = ctUSB;
    ZentrovaAPI.OnConnectUSB();
    TimerCommand->setInterval(USBPollMs);
    TimerCommand->start();
    DataReceived = true;
}

void TFZentrova::DisconnectClick() {
    switch (ConnectionType) {
        case ctTCPIP:
        case ctSerial:
            try {
                Port->SetOpen(false);
            } catch (const std::exception& e) {
                log(std::string("DisconnectClick: ") + e.what());
            }
            break;
        case ctUSB:
            FTDI.Close();
            TimerCommand->stop();
            break;
        default:
            break;
    }
    Disconnect1->setEnabled(false);
    ConnectTCPIP1->setEnabled(true);
    ConnectSerial1->setEnabled(true);
}
