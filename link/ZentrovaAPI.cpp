#include "link/ZentrovaAPI.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "link/LogFile.h"
#include "platform/i18n.h"

TZentrovaAPI ZentrovaAPI;

namespace {

ZentrovaLink* theLink = nullptr;

const char* const QueryIdentity = "? 0123";
const char* const QueryFull = "? 123";
const char* const QueryReduced = "? 13";

// Rates: three decimals below 0.01 ml/min so that small rates are not sent as 0.00.
std::string rateText(double r) {
    return r < 0.01 ? cformat("%3.3f", r) : cformat("%3.2f", r);
}

bool refuseNonFinite(double v, const char* what) {
    if (std::isfinite(v)) return false;
    logLine(std::string("Error: ") + what + " is not a finite number; command not sent.");
    return true;
}

// Reads fields the way the C library's formatted input reads "%d", "%x" and a literal
// character, but without locale, with defined behaviour on overflow (the field fails) and
// never past the end of the text.
class FieldScanner {
  public:
    explicit FieldScanner(std::string_view s) : p_(s.data()), end_(s.data() + s.size()) {}

    bool dec(int32_t& out) {
        skipSpace();
        bool neg = sign();
        if (p_ == end_ || !isDigit(*p_)) return false;
        int64_t v = 0;
        while (p_ != end_ && isDigit(*p_)) {
            v = v * 10 + (*p_++ - '0');
            if (v > int64_t{1} << 31) return false;
        }
        if (neg) v = -v;
        if (v > std::numeric_limits<int32_t>::max()) return false;
        out = static_cast<int32_t>(v);
        return true;
    }

    bool hex(uint32_t& out) {
        skipSpace();
        bool neg = sign();
        if (end_ - p_ >= 3 && p_[0] == '0' && (p_[1] == 'x' || p_[1] == 'X') && hexValue(p_[2]) >= 0) p_ += 2;
        if (p_ == end_ || hexValue(*p_) < 0) return false;
        uint64_t v = 0;
        int d;
        while (p_ != end_ && (d = hexValue(*p_)) >= 0) {
            v = v * 16 + static_cast<uint64_t>(d);
            if (v > std::numeric_limits<uint32_t>::max()) return false;
            ++p_;
        }
        out = static_cast<uint32_t>(neg ? (~v + 1) : v);  // as the C library negates
        return true;
    }

    bool lit(char c) {
        if (p_ == end_ || *p_ != c) return false;
        ++p_;
        return true;
    }

  private:
    static bool isDigit(char c) { return c >= '0' && c <= '9'; }
    static int hexValue(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }
    void skipSpace() {
        while (p_ != end_ && (*p_ == ' ' || (*p_ >= '\t' && *p_ <= '\r'))) ++p_;
    }
    bool sign() {
        if (p_ == end_) return false;
        if (*p_ == '-') {
            ++p_;
            return true;
        }
        if (*p_ == '+') ++p_;
        return false;
    }

    const char* p_;
    const char* end_;
};

// The runtime library's decimal conversion: leading white space, optional sign, digits up to
// the first non-digit; 0 when there are none or the number does not fit 32 bits.
int32_t StrToIntSafe(std::string_view s) {
    FieldScanner sc(s);
    int32_t v = 0;
    return sc.dec(v) ? v : 0;
}

// Copies at most `cap` bytes of s into dest and terminates it; a cut never splits a UTF-8
// sequence.
void copyCut(char* dest, size_t cap, std::string_view s) {
    size_t n = s.size();
    if (n > cap) {
        n = cap;
        while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    }
    std::memcpy(dest, s.data(), n);
    dest[n] = '\0';
}

// The identity line's token reader: a "," or blank at pos is stepped over with all blanks
// after it; the field runs to the next "," or the end. Returns the position of that ",".
size_t NextToken(std::string_view line, size_t pos, std::string_view& field) {
    if (pos < line.size() && (line[pos] == ',' || line[pos] == ' ')) {
        ++pos;
        while (pos < line.size() && line[pos] == ' ') ++pos;
    }
    pos = std::min(pos, line.size());
    size_t comma = line.find(',', pos);
    if (comma == std::string_view::npos) comma = line.size();
    field = line.substr(pos, comma - pos);
    return comma;
}

}  // namespace

// ---- pump ----

double TPump::GetRate() const {
    switch (State) {
        case 1:
            return ForwardRate;
        case 2:
            return ReverseRate;
        default:
            return 0.0;
    }
}

void TPump::Forward() {
    const double r = ForwardRate;
    if (!(r > 0.0) || !std::isfinite(r)) {
        if (std::isinf(r)) logLine("Error: pump forward rate is not a finite number; pump switched off.");
        Off();
        return;
    }
    const std::string m = std::to_string(MotorNumber);
    TZentrovaAPI::Send("MS " + m + (r < 10.0 ? " 1" : " 32") + ";ML " + m + " " + rateText(r) + ";FWD " + m);
}

void TPump::Reverse() {
    const double r = ReverseRate;
    if (!std::isfinite(r)) {
        logLine("Error: pump reverse rate is not a finite number; pump switched off.");
        Off();
        return;
    }
    const std::string m = std::to_string(MotorNumber);
    TZentrovaAPI::Send("MS " + m + (r < 10.0 ? " 1" : " 32") + ";ML " + m + " " + rateText(r) + ";RVS " + m);
}

void TPump::Off() {
    TZentrovaAPI::Send("OFF " + std::to_string(MotorNumber));
}

void TPump::SetStopPressure(double p) {
    if (refuseNonFinite(p, "stop pressure")) return;
    TZentrovaAPI::Send("STOPPRESSURE " + std::to_string(ChannelNumber) + " " + cformat("%3.2f", p));
}

void TPump::UpdateStatus(int32_t volume, uint32_t state, uint32_t limits, int32_t pressure) {
    Volume = volume * 0.00001;
    Pressure = pressure * 0.001;
    State = static_cast<uint8_t>(state);
    LimitA = (limits & 2) != 0;
    LimitB = (limits & 1) != 0;
}

// ---- valve ----

void TValve::MoveTo(int8_t position) {
    InPosition = false;
    CommandedPosition = position;
    TZentrovaAPI::Send("VALVE " + std::to_string(ValveNumber) + " " + std::to_string(position));
}

void TValve::UpdateStatus(uint32_t position, bool settled) {
    Position = static_cast<int8_t>(static_cast<uint8_t>(position));
    InPosition = Position == CommandedPosition && settled;
}

// ---- heaters ----

void THeater::SetSetPoint(double) {}
void THeater::SetHMax(double) {}
void THeater::SetHeat(bool) {}
void THeater::SetForceHeat(bool) {}
void THeater::UpdateStatus(int32_t, int32_t b, bool, bool) {
    Temperature = b * 0.1;
}

void TColumn::SetSetPoint(double t) {
    if (refuseNonFinite(t, "column set point")) return;
    SetPoint = t;
    TZentrovaAPI::Send(cformat("CSETPOINT %4.1f", t));
}

void TColumn::SetHMax(double t) {
    if (refuseNonFinite(t, "column maximum")) return;
    TZentrovaAPI::Send(cformat("CHMAX %4.1f", t));
}

void TColumn::SetHeat(bool on) {
    if (!on) SetPoint = -100.0;
    TZentrovaAPI::Send(on ? "CHEAT ON" : "CHEAT OFF");
}

void TColumn::SetForceHeat(bool on) {
    TZentrovaAPI::Send(on ? "CFORCEHEAT ON" : "CFORCEHEAT OFF");
}

void TColumn::SetRecircFan(bool on) {
    TZentrovaAPI::Send(on ? "RFAN ON" : "RFAN OFF");
}

void TColumn::SetDoor(bool open) {
    DoorOpen = open;
    TZentrovaAPI::Send(open ? "DOOR OPEN" : "DOOR CLOSE");
}

void TColumn::SetColumnFan(bool on) {
    ColumnFanOn = on;
    TZentrovaAPI::Send(on ? "CFAN ON" : "CFAN OFF");
}

void TReactor::SetSetPoint(double t) {
    if (refuseNonFinite(t, "reactor set point")) return;
    SetPoint = t;
    TZentrovaAPI::Send(cformat("RSETPOINT %4.1f", t));
}

void TReactor::SetHMax(double t) {
    if (refuseNonFinite(t, "reactor maximum")) return;
    TZentrovaAPI::Send(cformat("RHMAX %4.1f", t));
}

void TReactor::SetHeat(bool on) {
    if (!on) SetPoint = -100.0;
    TZentrovaAPI::Send(on ? "RHEAT ON" : "RHEAT OFF");
}

void TReactor::SetForceHeat(bool on) {
    TZentrovaAPI::Send(on ? "RFORCEHEAT ON" : "RFORCEHEAT OFF");
}

// ---- the instrument ----

TZentrovaAPI::TZentrovaAPI() {
    Pump1.MotorNumber = 0;
    Pump2.MotorNumber = 2;
}

void ZentrovaLink::ReportLineFault(const std::string& text) {
    logLine(text);
}

void TZentrovaAPI::SetLink(ZentrovaLink* link) {
    theLink = link;
}
ZentrovaLink* TZentrovaAPI::Link() {
    return theLink;
}

void TZentrovaAPI::onConnect() {
    if (theLink) theLink->SetOnStatusLine([this] { ParseStatusLine(); });
    IdentityWanted = true;
    ChooseStatusQuery();
}

void TZentrovaAPI::OnConnectSerial() {
    onConnect();
}
void TZentrovaAPI::OnConnectTCPIP() {
    onConnect();
}
void TZentrovaAPI::OnConnectUSB() {
    onConnect();
}

std::string TZentrovaAPI::StatusQuery() const {
    if (IdentityWanted) return QueryIdentity;
    return ReducedQuery ? QueryReduced : QueryFull;
}

void TZentrovaAPI::ChooseStatusQuery() {
    if (theLink) theLink->SetStatusQuery(StatusQuery());
}

void TZentrovaAPI::Send(const std::string& text) {
    if (theLink)
        theLink->QueueCommand(text);
    else
        logLine("TZentrovaAPI::Send: no link, command dropped: " + text);
}

void TZentrovaAPI::ClearCommandQueue() {
    if (theLink) theLink->ClearQueue();
}

std::string TZentrovaAPI::VersionText() const {
    return std::string("FW version ") + FirmwareVersion + "; CPLD version " + CPLDVersion;
}

void TZentrovaAPI::ParseStatusLine() {
    if (theLink) ParseLine(theLink->LastLine());
}

bool TZentrovaAPI::ParseLine(std::string_view line) {
    // The line as the fixed line buffer holds it: up to the first NUL, at most 4000 characters.
    size_t nul = line.find('\0');
    if (nul != std::string_view::npos) line = line.substr(0, nul);
    if (line.size() > LineLimit) line = line.substr(0, LineLimit);

    size_t q = line.find_first_not_of('>');
    if (q == std::string_view::npos || line[q] != '?' || q + 1 >= line.size()) return false;
    const char part = line[q + 1];
    if (part < '0' || part > '3') return false;
    // The fields start three characters after the "?", whatever stands after the part digit.
    const std::string_view fields = line.substr(std::min(q + 3, line.size()));
    bool ok;
    switch (part) {
        case '0':
            // From a comma on, so that an empty first field reads as empty.
            ok = parseIdentity(q + 2 < line.size() && line[q + 2] == ',' ? line.substr(q + 2) : fields);
            break;
        case '1':
        case '2':
            ok = parsePump(part - '0', fields);
            break;
        default:
            ok = parseHeaters(fields);
            break;
    }
    if (!ok) {
        const std::string text =
            std::string("Error: Status line ?") + part + " does not convert; readings kept.";
        if (theLink)
            theLink->ReportLineFault(text);
        else
            logLine(text);
    }
    return ok;
}

bool TZentrovaAPI::parseIdentity(std::string_view s) {
    std::string_view f[10];
    size_t pos = 0;
    for (auto& field : f) pos = NextToken(s, pos, field);
    copyCut(FirmwareVersion, IdentityChars, f[0]);
    copyCut(CPLDVersion, IdentityChars, f[1]);
    SerialNumber = static_cast<uint32_t>(StrToIntSafe(f[5]));
    ReducedQuery = StrToIntSafe(f[6]) != 0;
    IdentityWanted = false;
    ChooseStatusQuery();
    return true;
}

bool TZentrovaAPI::parsePump(int part, std::string_view s) {
    // "%d,%x,%x,%d,%x,%d,%x,%x,%x,%x,%x"
    FieldScanner sc(s);
    int32_t f1, f4, f6;
    uint32_t f2, f3, f5, f7, f8, f9, f10, f11;
    if (!(sc.dec(f1) && sc.lit(',') && sc.hex(f2) && sc.lit(',') && sc.hex(f3) && sc.lit(',') && sc.dec(f4) &&
          sc.lit(',') && sc.hex(f5) && sc.lit(',') && sc.dec(f6) && sc.lit(',') && sc.hex(f7) &&
          sc.lit(',') && sc.hex(f8) && sc.lit(',') && sc.hex(f9) && sc.lit(',') && sc.hex(f10) &&
          sc.lit(',') && sc.hex(f11)))
        return false;
    TPump& pump = part == 1 ? Pump1 : Pump2;
    TValve& valve = part == 1 ? Valve1 : Valve2;
    pump.UpdateStatus(f1, f2, f3, f4);
    valve.UpdateStatus(f7, f9 != 0);
    if (part == 2) Pump2Absent = f3 == 3;
    return true;
}

bool TZentrovaAPI::parseHeaters(std::string_view s) {
    // "%d,%d,%d,%d,%d,%x"
    FieldScanner sc(s);
    int32_t a, b, c, d, e;
    uint32_t f;
    if (!(sc.dec(a) && sc.lit(',') && sc.dec(b) && sc.lit(',') && sc.dec(c) && sc.lit(',') && sc.dec(d) &&
          sc.lit(',') && sc.dec(e) && sc.lit(',') && sc.hex(f)))
        return false;
    THeater& column = Column;
    THeater& reactor = Reactor;
    column.UpdateStatus(a, b, e & 1, e & 2);
    reactor.UpdateStatus(c, d, e & 4, e & 8);
    RelayInput = (f & 16) != 0;
    return true;
}
