// Line, modem and flow control of the dispatcher: works on its copy of the device state
// and reaches the device only through the device layer.
#include <thread>

#include "ports/ZpDispatcher.h"

namespace {
uint32_t legacyBaud(uint32_t b) {
    if (b == 0xFEFF) return 115200;
    switch (b) {
        case 0xFF10:
            return 110;
        case 0xFF11:
            return 300;
        case 0xFF12:
            return 600;
        case 0xFF13:
            return 1200;
        case 0xFF14:
            return 2400;
        case 0xFF15:
            return 4800;
        case 0xFF16:
            return 9600;
        case 0xFF17:
            return 14400;
        case 0xFF18:
            return 19200;
        case 0xFF1B:
            return 38400;
        case 0xFF1F:
            return 56000;
        case 0xFF23:
            return 128000;
        case 0xFF27:
            return 256000;
        default:
            return b;
    }
}
}  // namespace

int32_t TZpBaseDispatcher::SetLine(int32_t baud, int32_t parity, int32_t dataBits, int32_t stopBits) {
    CommState dcb;
    {
        std::lock_guard lk(dataSection_);
        GetComState(dcb_);
        dcb = dcb_;
        const uint32_t newBaud = baud == 0 ? dcb.BaudRate : static_cast<uint32_t>(baud);
        const uint8_t newParity = parity == 5 ? dcb.Parity : static_cast<uint8_t>(parity);
        const uint8_t newBits = dataBits == 9 ? dcb.ByteSize : static_cast<uint8_t>(dataBits);
        uint8_t newStop;
        if (stopBits == 3)
            newStop = dcb.StopBits;
        else if (stopBits <= 1)
            newStop = 0;
        else
            newStop = 2;
        if (newBits == 5) newStop = 1;  // five data bits go with one and a half stop bits
        dcb.Flags |= CommState::fBinary | CommState::fTXContinueOnXoff;
        dcb.Flags &= ~(CommState::fParity | CommState::fDsrSensitivity | CommState::fNull);
        if (newBaud == dcb.BaudRate && newParity == dcb.Parity && newBits == dcb.ByteSize &&
            newStop == dcb.StopBits && newBaud == lastBaud_)
            return 0;
        dcb.BaudRate = newBaud;
        dcb.Parity = newParity;
        dcb.ByteSize = newBits;
        dcb.StopBits = newStop;
    }
    WaitTxSent();
    std::lock_guard lk(dataSection_);
    return SetCommStateFix(dcb);
}

void TZpBaseDispatcher::GetLine(int32_t& baud, int32_t& parity, int32_t& dataBits, int32_t& stopBits) {
    std::lock_guard lk(dataSection_);
    GetComState(dcb_);
    baud = static_cast<int32_t>(legacyBaud(dcb_.BaudRate));
    parity = dcb_.Parity;
    dataBits = dcb_.ByteSize;
    stopBits = dcb_.StopBits != 0 ? 2 : 1;
}

int32_t TZpBaseDispatcher::SetCommStateFix(CommState& dcb) {
    std::lock_guard lk(dataSection_);
    if (!dtrAuto_) {
        dcb.Flags &= ~CommState::fDtrControlMask;
        if (dtrState_) dcb.Flags |= CommState::fDtrEnable;
    }
    if (!rtsAuto_) {
        dcb.Flags &= ~CommState::fRtsControlMask;
        if (rtsState_) dcb.Flags |= CommState::fRtsEnable;
    }
    const int32_t rc = SetComState(dcb);
    if (rc >= 0) dcb_ = dcb;
    lastBaud_ = dcb.BaudRate;
    SetDtr(dtrState_);
    if (!rs485Mode_) SetRts(rtsState_);
    return rc;
}

namespace {
// Bits a character takes on the line: start, data, parity and stop bits.
int32_t characterBits(const CommState& dcb) {
    int32_t bits = dcb.ByteSize + 2;
    if (dcb.Parity != 0) ++bits;
    if (dcb.StopBits != 0) ++bits;
    return bits;
}
}  // namespace

int32_t TZpBaseDispatcher::TxSentDelayMs() {
    CommState dcb;
    {
        std::lock_guard lk(dataSection_);
        GetComState(dcb_);
        dcb = dcb_;
    }
    const uint32_t baud = legacyBaud(dcb.BaudRate);
    if (baud == 0) return 0;
    int64_t t = static_cast<int64_t>(10000000 / baud) * characterBits(dcb) * 18;
    if (t < 10000) t *= 2;
    return static_cast<int32_t>((t + 9999) / 10000);
}

int64_t TZpBaseDispatcher::SendTimeMs(int64_t chars) {
    CommState dcb;
    {
        std::lock_guard lk(dataSection_);
        dcb = dcb_;
    }
    const uint32_t baud = legacyBaud(dcb.BaudRate);
    if (baud == 0 || chars <= 0) return 0;
    return (chars * characterBits(dcb) * 1000 + baud - 1) / baud;
}

void TZpBaseDispatcher::WaitTxSent() {
    for (int i = 0; i < 5000; ++i) {
        int32_t used;
        {
            std::lock_guard o(outputSection_);
            used = outBuff_.empty() ? 0 : OutRingUsed();
        }
        // The driver's own queue counts too: bytes there have not left either.
        if (used == 0) used = DeviceOutQueue();
        if (used == 0) break;
        SleepMs(2);
    }
    const int32_t ms = TxSentDelayMs();
    if (ms > 0) SleepMs(ms);
}

void TZpBaseDispatcher::SleepMs(int32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int32_t TZpBaseDispatcher::SetDtr(bool on) {
    std::lock_guard lk(dataSection_);
    if (dtrAuto_) return 0;
    if (EscapeComFunction(on ? SETDTR : CLRDTR) < 0) return -1002;
    dtrState_ = on;
    return 0;
}

int32_t TZpBaseDispatcher::SetRts(bool on) {
    std::lock_guard lk(dataSection_);
    if (rtsAuto_) return 0;
    if (EscapeComFunction(on ? SETRTS : CLRRTS) < 0) return -1002;
    rtsState_ = on;
    return 0;
}

int32_t TZpBaseDispatcher::SetModem(bool dtr, bool rts) {
    int32_t rc = SetDtr(dtr);
    if (rc == 0) rc = SetRts(rts);
    return rc;
}

// A break is a transmission too: RTS is keyed for it by hand, as no driver keys it for a
// break, and also while RTS is under the driver's control (no SetRts, which leaves it alone).
void TZpBaseDispatcher::KeyForBreak(bool on) {
    bool rs485;
    {
        std::lock_guard lk(dataSection_);
        rs485 = rs485Mode_;
    }
    if (!rs485) return;
    if (on)
        EscapeComFunction(SETRTS);
    else if (OutBuffUsed() == 0 && !rtsKeyed_.load())
        EscapeComFunction(CLRRTS);
}

int32_t TZpBaseDispatcher::SendBreak(int32_t ticks, bool yield) {
    KeyForBreak(true);
    EscapeComFunction(SETBREAK);
    DelayTicks(ticks, yield);
    EscapeComFunction(CLRBREAK);
    KeyForBreak(false);
    return 0;
}

int32_t TZpBaseDispatcher::SetBreak(bool on) {
    KeyForBreak(true);
    EscapeComFunction(on ? SETBREAK : CLRBREAK);
    if (!on) KeyForBreak(false);
    return 0;
}

uint8_t TZpBaseDispatcher::GetModemStatusPrim(uint8_t clearMask) {
    std::lock_guard lk(dataSection_);
    modemStatus_ = static_cast<uint8_t>((modemStatus_ & 0x0F) | (GetCommModemStatus() & 0xF0));
    if (ringSeen_.exchange(false)) modemStatus_ |= 4;
    const uint8_t r = modemStatus_;
    modemStatus_ &= clearMask;
    return r;
}

bool TZpBaseDispatcher::CheckCTS() {
    return (GetModemStatusPrim(0xFE) & 0x10) != 0;
}
bool TZpBaseDispatcher::CheckDSR() {
    return (GetModemStatusPrim(0xFD) & 0x20) != 0;
}
bool TZpBaseDispatcher::CheckRI() {
    return (GetModemStatusPrim(0xFB) & 0x40) != 0;
}
bool TZpBaseDispatcher::CheckDCD() {
    return (GetModemStatusPrim(0xF7) & 0x80) != 0;
}
bool TZpBaseDispatcher::CheckDeltaCTS() {
    return (GetModemStatusPrim(0xFE) & 1) != 0;
}
bool TZpBaseDispatcher::CheckDeltaDSR() {
    return (GetModemStatusPrim(0xFD) & 2) != 0;
}
bool TZpBaseDispatcher::CheckDeltaRI() {
    return (GetModemStatusPrim(0xFB) & 4) != 0;
}
bool TZpBaseDispatcher::CheckDeltaDCD() {
    return (GetModemStatusPrim(0xF7) & 8) != 0;
}

void TZpBaseDispatcher::MapEventsToMS(uint32_t) {
    std::lock_guard lk(dataSection_);
    const uint8_t old = modemStatus_;
    const uint8_t now = GetModemStatusPrim(0xFF);
    modemStatus_ = static_cast<uint8_t>(now | (((old ^ now) >> 4) & 0x0F));
}

void TZpBaseDispatcher::RefreshStatus() {
    std::lock_guard lk(dataSection_);
    comStatus_ = {};
    lastError_ |= (static_cast<uint32_t>(GetComError(comStatus_)) & 0x1F) | heldErrors_.exchange(0);
}

int32_t TZpBaseDispatcher::GetLineError() {
    std::lock_guard lk(dataSection_);
    lastError_ |= heldErrors_.exchange(0);
    int32_t r = 0;
    if (lastError_ & CE_RXOVER)
        r = 1;
    else if (lastError_ & CE_OVERRUN)
        r = 2;
    else if (lastError_ & CE_RXPARITY)
        r = 3;
    else if (lastError_ & CE_FRAME)
        r = 4;
    else if (lastError_ & CE_BREAK)
        r = 9;
    if (r != 0) lastError_ &= ~(CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME);
    return r;
}

bool TZpBaseDispatcher::CheckLineBreak() {
    std::lock_guard lk(dataSection_);
    lastError_ |= heldErrors_.exchange(0);
    const bool b = (lastError_ & CE_BREAK) != 0;
    lastError_ &= ~CE_BREAK;
    return b;
}

int32_t TZpBaseDispatcher::HWFlowOptions(int32_t bufferFull, int32_t bufferResume, uint32_t options) {
    std::lock_guard lk(dataSection_);
    if (bufferResume > bufferFull || bufferFull > inQue_) return -1002;
    CommState dcb = dcb_;
    GetComState(dcb);
    dcb.Flags &= ~(CommState::fOutxCtsFlow | CommState::fOutxDsrFlow | CommState::fDtrControlMask |
                   CommState::fRtsControlMask);
    dtrAuto_ = rtsAuto_ = false;
    if (options & 1) {
        dcb.Flags |= CommState::fDtrHandshake;
        dtrAuto_ = true;
    } else if (dtrState_)
        dcb.Flags |= CommState::fDtrEnable;
    // RTS handshake asked for wins over the RS-485 toggle: the port leaves RS-485 right after
    // this call (a setter of the component), which does not write the state again, so a toggle
    // kept here would leave the line without the handshake the port then believes in: no input
    // flow control (the device's CRTSCTS stays off), and input lost to overruns.
    if (options & 2) {
        dcb.Flags |= CommState::fRtsHandshake;
        rtsAuto_ = true;
    } else if (rs485Mode_) {
        dcb.Flags |= CommState::fRtsToggle;
        rtsAuto_ = true;
    } else if (rtsState_)
        dcb.Flags |= CommState::fRtsEnable;
    dcb.XoffLim = static_cast<uint16_t>(inQue_ - bufferFull);
    dcb.XonLim = static_cast<uint16_t>(bufferResume);
    if (options & 4) dcb.Flags |= CommState::fOutxDsrFlow;
    if (options & 8) dcb.Flags |= CommState::fOutxCtsFlow;
    return SetCommStateFix(dcb);
}

int32_t TZpBaseDispatcher::HWFlowState() {
    std::lock_guard lk(dataSection_);
    const uint32_t f = dcb_.Flags;
    const bool dtrHs = (f & CommState::fDtrControlMask) == CommState::fDtrHandshake;
    const bool rtsHs = (f & CommState::fRtsControlMask) == CommState::fRtsHandshake;
    const bool dsrFlow = (f & CommState::fOutxDsrFlow) != 0;
    const bool ctsFlow = (f & CommState::fOutxCtsFlow) != 0;
    if (!dtrHs && !rtsHs && !dsrFlow && !ctsFlow) return 1;
    int32_t r = 2;
    if (dtrHs || rtsHs) {
        RefreshStatus();
        if (dsrFlow && (comStatus_.Flags & 2)) r = 3;
        if (ctsFlow && (comStatus_.Flags & 1)) r = 4;
    }
    return r;
}

int32_t TZpBaseDispatcher::SWFlowEnable(int32_t bufferFull, int32_t bufferResume, uint32_t options) {
    std::lock_guard lk(dataSection_);
    if (bufferResume > bufferFull || bufferFull > inQue_) return -1002;
    CommState dcb = dcb_;
    GetComState(dcb);
    if (options & 2) {
        dcb.Flags |= CommState::fInX;
        dcb.XoffLim = static_cast<uint16_t>(inQue_ - bufferFull);
        dcb.XonLim = static_cast<uint16_t>(bufferResume);
    }
    if (options & 1) dcb.Flags |= CommState::fOutX;
    if (options & 3) {
        dcb.XonChar = 17;
        dcb.XoffChar = 19;
    }
    return SetCommStateFix(dcb);
}

int32_t TZpBaseDispatcher::SWFlowDisable() {
    std::lock_guard lk(dataSection_);
    CommState dcb = dcb_;
    GetComState(dcb);
    dcb.Flags &= ~(CommState::fInX | CommState::fOutX);
    return SetCommStateFix(dcb);
}

int32_t TZpBaseDispatcher::SWFlowState() {
    std::lock_guard lk(dataSection_);
    if ((dcb_.Flags & (CommState::fInX | CommState::fOutX)) == 0) return 1;
    RefreshStatus();
    const bool held = (comStatus_.Flags & 8) != 0;
    const bool sent = (comStatus_.Flags & 16) != 0;
    if (held && sent) return 8;
    if (held) return 6;
    if (sent) return 7;
    return 2;
}

int32_t TZpBaseDispatcher::SWFlowChars(char onChar, char offChar) {
    std::lock_guard lk(dataSection_);
    CommState dcb = dcb_;
    GetComState(dcb);
    dcb.XonChar = onChar;
    dcb.XoffChar = offChar;
    return SetCommStateFix(dcb);
}

void TZpBaseDispatcher::GetFlowOptions(uint32_t& hwOpts, uint32_t& swOpts, int32_t&, int32_t&, char& onChar,
                                       char& offChar) {
    std::lock_guard lk(dataSection_);
    GetComState(dcb_);
    const uint32_t f = dcb_.Flags;
    hwOpts = 0;
    if ((f & CommState::fDtrControlMask) == CommState::fDtrHandshake) hwOpts |= 1;
    if ((f & CommState::fRtsControlMask) == CommState::fRtsHandshake) hwOpts |= 2;
    if (f & CommState::fOutxDsrFlow) hwOpts |= 4;
    if (f & CommState::fOutxCtsFlow) hwOpts |= 8;
    swOpts = 0;
    if (f & CommState::fInX) swOpts |= 2;
    if (f & CommState::fOutX) swOpts |= 1;
    onChar = dcb_.XonChar;
    offChar = dcb_.XoffChar;
}
