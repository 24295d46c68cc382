#include "link/Instrument.h"

#include <QCheckBox>
#include <QFont>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <exception>

#include "link/FZentrova.h"
#include "link/LogFile.h"
#include "link/StoredParams.h"
#include "link/ZentrovaAPI.h"
#include "platform/Dialogs.h"
#include "platform/i18n.h"

TInstrumentModule* InstrumentModule = nullptr;

namespace {

// An operator number (locale separator); false when the text is not one.
bool parseNumber(const std::string& text, double& out) {
    double v = 0.0;
    if (!tryStrToFloat(text, v)) return false;
    out = v;
    return true;
}

QString floatText(double v) {
    return QString::fromStdString(floatToStr(v));
}

}  // namespace

TInstrumentModule::TInstrumentModule(QWidget* owner) : TUxForm(owner) {
    SetCaption(_("Instrument"));
    setObjectName("InstrumentModule");
    setFont(QFont("MS Sans Serif"));
    resize(278, 208);

    RefillVol1Lbl = new QLabel(_("Refill Volume 1:"), this);
    RefillVol1 = new QLabel(_("N/I"), this);
    RefillVol1->setObjectName("RefillVol1");
    CalculateRefillVolBtn = new QPushButton(_("Calculate"), this);
    CalculateRefillVolBtn->setObjectName("CalculateRefillVolBtn");
    RefillVol2 = new QLabel(_("N/I"), this);
    RefillVol2->setObjectName("RefillVol2");
    RefillVol2Lbl = new QLabel(_("Refill Volume 2:"), this);
    Label1 = new QLabel(_("Percent Done:"), this);
    PercentDoneVal = new QLabel(_("N/I"), this);
    PercentDoneVal->setObjectName("PercentDoneVal");
    DeltaValue = new QLineEdit(QStringLiteral("5"), this);
    DeltaValue->setObjectName("DeltaValue");
    Label2 = new QLabel(_("Cooling Delta, C"), this);
    Forced5MinChkBox = new QCheckBox(_("forced 5 minutes cooling"), this);
    Forced5MinChkBox->setObjectName("Forced5MinChkBox");
    Forced5MinChkBox->setChecked(true);
    UpDown1 = new QSpinBox(this);
    UpDown1->setMinimum(0);
    UpDown1->setValue(0);
    DeltaRealValue = new QLabel(QStringLiteral("5"), this);
    DeltaRealValue->setObjectName("DeltaRealValue");
    RecFanAlwaysOn = new QCheckBox(_("Recirc Fan Always On"), this);
    RecFanAlwaysOn->setObjectName("RecFanAlwaysOn");
    RecFanAlwaysOn->setChecked(false);

    auto* grid = new QGridLayout(this);
    grid->addWidget(RefillVol1Lbl, 0, 0);
    grid->addWidget(RefillVol1, 0, 1);
    grid->addWidget(CalculateRefillVolBtn, 0, 2, 2, 1);
    grid->addWidget(RefillVol2Lbl, 1, 0);
    grid->addWidget(RefillVol2, 1, 1);
    grid->addWidget(Label1, 2, 0);
    grid->addWidget(PercentDoneVal, 2, 1);
    grid->addWidget(Label2, 3, 0);
    grid->addWidget(DeltaValue, 3, 1);
    grid->addWidget(UpDown1, 3, 2);
    grid->addWidget(DeltaRealValue, 4, 1);
    grid->addWidget(Forced5MinChkBox, 5, 0, 1, 3);
    grid->addWidget(RecFanAlwaysOn, 6, 0, 1, 3);

    connect(CalculateRefillVolBtn, &QPushButton::clicked, this,
            [this] { guarded([this] { CalculateRefillVolBtnClick(); }); });
    connect(DeltaValue, &QLineEdit::textChanged, this, [this] { guarded([this] { DeltaValueChange(); }); });

    if (!InstrumentModule) InstrumentModule = this;
    setLogHeaderSource(this);
    DataModuleCreate();
}

TInstrumentModule::~TInstrumentModule() {
    DataModuleDestroy();
    setLogHeaderSource(nullptr);
    if (InstrumentModule == this) InstrumentModule = nullptr;
}

template <class F>
void TInstrumentModule::guarded(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        showException(QString::fromUtf8(e.what()));
    } catch (...) {
        showException(_("Unknown error"));
    }
}

void TInstrumentModule::DataModuleCreate() {
    PressureUnit = 0;
    LoadSettings(true);
    Channel1 = new TPumpChannel;
    Channel2 = new TPumpChannel;
    Channel1->Init(1, &ZentrovaAPI.Pump1, &ZentrovaAPI.Valve1);
    Channel2->Init(2, &ZentrovaAPI.Pump2, &ZentrovaAPI.Valve2);
    Channel1->Speed = RefillSpeed;
    Channel2->Speed = RefillSpeed;
    SinglePump = false;
}

void TInstrumentModule::DataModuleDestroy() {
    delete Channel1;
    Channel1 = nullptr;
    delete Channel2;
    Channel2 = nullptr;
}

// ---------------------------------------------------------------- settings and connection

bool TInstrumentModule::LoadSettings(bool keepLink) {
    const std::string key = TStoredParams::InstrumentRegistryKey();
    IP = TStoredParams::ReadRegistryString(key, "IP");
    USB = TStoredParams::ReadRegistryString(key, "USB");
    const std::string unit = TStoredParams::ReadRegistryString(key, "PressureMeasure");
    if (unit == "bar")
        PressureUnit = 1;
    else if (unit == "psi")
        PressureUnit = 2;
    try {
        ConnectMethod = TStoredParams::ReadRegistryInteger(key, "ConnectMethod");
    } catch (const std::exception&) {
        ConnectMethod = 1;
        messageBox(_("Connection Method not defined. Please, reinstall the software."), _("Error"),
                   MsgButtons::OK);
    }
    try {
        RefillSpeed = TStoredParams::ReadRegistryInteger(key, "RefillSpeed");
    } catch (const std::exception&) {
        RefillSpeed = DefaultRefillSpeed;
    }
    if (!keepLink && FZentrova) FZentrova->DisconnectClick();
    return true;
}

void TInstrumentModule::Reconnect() {
    if (!FZentrova) return;
    if (FZentrova->IsConnected()) {
        FZentrova->DisconnectClick();
        return;
    }
    FZentrova->ConnectionType = ConnectMethod;
    switch (ConnectMethod) {
        case TFZentrova::ctTCPIP:
            FZentrova->IPAddress = IP;
            FZentrova->ConnectTCPIPClick();
            break;
        case TFZentrova::ctSerial:
            FZentrova->ConnectSerialClick();
            break;
        case TFZentrova::ctUSB:
            FZentrova->USBDeviceName = USB;
            FZentrova->ConnectUSBClick();
            break;
        default:
            break;
    }
}

bool TInstrumentModule::IsConnectionAlive() {
    return FZentrova && FZentrova->IsConnectionAlive();
}

void TInstrumentModule::ShowCommunicationWindow() {
    if (!FZentrova) return;
    FZentrova->IPAddress = IP;
    FZentrova->Show();
}

bool TInstrumentModule::StopUSBPolling() {
    if (!FZentrova || !FZentrova->TimerCommand) return true;
    FZentrova->TimerCommand->stop();
    return !FZentrova->TimerCommand->isActive();
}

void TInstrumentModule::ClearCommandQueue() {
    TZentrovaAPI::ClearCommandQueue();
}

void TInstrumentModule::SyncPumpCount() {
    SinglePump = ZentrovaAPI.Pump2Absent;
}

// ---------------------------------------------------------------- getters

double TInstrumentModule::GetPump1Volume() const {
    return ZentrovaAPI.Pump1.GetVolume();
}
double TInstrumentModule::GetPump2Volume() const {
    return ZentrovaAPI.Pump2.GetVolume();
}
double TInstrumentModule::GetPump1Pressure() const {
    return ZentrovaAPI.Pump1.GetPressure();
}
double TInstrumentModule::GetPump2Pressure() const {
    return ZentrovaAPI.Pump2.GetPressure();
}
double TInstrumentModule::GetPump1Rate() const {
    return ZentrovaAPI.Pump1.GetRate();
}
double TInstrumentModule::GetPump2Rate() const {
    return ZentrovaAPI.Pump2.GetRate();
}
double TInstrumentModule::GetColumnTemperature() const {
    return ZentrovaAPI.Column.GetTemperature();
}
double TInstrumentModule::GetReactorTemperature() const {
    return ZentrovaAPI.Reactor.GetTemperature();
}
double TInstrumentModule::GetColumnSetPoint() const {
    return ZentrovaAPI.Column.GetSetPoint();
}
double TInstrumentModule::GetReactorSetPoint() const {
    return ZentrovaAPI.Reactor.GetSetPoint();
}
bool TInstrumentModule::GetRelayInput() const {
    return ZentrovaAPI.RelayInput;
}
uint32_t TInstrumentModule::GetInstrumentNumber() const {
    return ZentrovaAPI.SerialNumber;
}
std::string TInstrumentModule::GetVersionText() const {
    return ZentrovaAPI.VersionText();
}

void TInstrumentModule::SetColumnSetPoint(double t) {
    THeater& column = ZentrovaAPI.Column;
    column.SetSetPoint(t);
}

void TInstrumentModule::SetReactorSetPoint(double t) {
    THeater& reactor = ZentrovaAPI.Reactor;
    reactor.SetSetPoint(t);
}

int32_t TInstrumentModule::GetRunSeconds() {
    switch (RunState) {
        case 34:
            return RunClock.SecondsElapsed();
        case 3:
        case 4:
        case 5:
        case 7:
        case 8:
        case 9:
        case 10:
        case 11:
        case 12:
        case 13:
        case 14:
        case 15:
        case 16:
        case 17:
        case 18:
        case 19:
        case 31:
        case 32:
        case 37:
            if (EquilTimer.IsExpired()) return 0;
            return -EquilTimer.SecondsLeft();
        default:
            return 0;
    }
}

// ---------------------------------------------------------------- current method and sequence

bool TInstrumentModule::GetSequenceParams() {
    bool ok;
    {
        CSequenceNames store;
        ok = store.LoadSequence(Sequence);
    }
    logLine("#GetSequenceParams(): " + Sequence.Name.toStdString());
    return ok;
}

bool TInstrumentModule::GetMethodParams() {
    if (Sequence.Name.isEmpty()) {
        logLine("#GetMethodParams(): no default sequence");
        return false;
    }
    const int32_t lines = Sequence.MethodList.GetCount();
    if (LineIndex >= lines || LineIndex < 0) {
        logLine("#GetMethodParams(): error: iSequenceItem out of bound: " + std::to_string(LineIndex) +
                "; Sequence: " + Sequence.Name.toStdString() + "; Methods: " + std::to_string(lines));
        LineIndex = lines > 0 ? (LineIndex < 0 ? 0 : lines - 1) : 0;
        // A sequence without lines has no line 0: reading it is an out-of-range read. No method
        // is named, so the current one stays as it is and the result says so.
        if (lines == 0) return false;
    }
    Method.Name = Sequence.MethodList.Get(LineIndex).toStdString();
    bool loaded;
    {
        CMethodNames store;
        loaded = store.LoadMethod(Method);
    }
    logLine("#GetMethodParams(): " + Method.Name + (loaded ? "" : " (not stored)"));
    // A method that is not stored leaves an emptied record: set points -100.0, no run time, no
    // flows. Reported as loaded, a run would take it for the line's method and send
    // CSETPOINT -100.0 and a run of nothing; Enable would refuse it only as an unreadable
    // column temperature. The result says that the line's method is missing.
    return loaded;
}

double TInstrumentModule::RefillVolumeForRun(int pump, double extraMinutes) const {
    return RefillVolumeForRun(Method, pump, extraMinutes);
}

double TInstrumentModule::RefillVolumeForRun(const TMethodINIParams& method, int pump, double extraMinutes) {
    if (pump != 1 && pump != 2) return DefaultRefillVolume;
    double f0 = 0.0, runtime = 0.0;
    if (!parseNumber(pump == 1 ? method.Pump1Flow : method.Pump2Flow, f0) ||
        !parseNumber(method.Runtime, runtime)) {
        f0 = 0.0;
        runtime = 0.0;
    }
    if (runtime == 0.0) return DefaultRefillVolume;

    double v = extraMinutes * f0;
    double f = f0;
    double tPrev = 0.0;
    const std::vector<std::string>& flows = pump == 1 ? method.Pump1FlowList : method.Pump2FlowList;
    const size_t rows = method.PumpTimeList.size();
    for (size_t i = 0; i < rows; ++i) {
        double t = 0.0, rowFlow = 0.0;
        // The run skips a row whose time or flow for this pump does not read and keeps the
        // previous flow: the estimate follows the same rule, or the syringe empties mid-run.
        if (!parseNumber(method.PumpTimeList[i], t)) continue;
        if (i >= flows.size() || !parseNumber(flows[i], rowFlow)) continue;
        v += (t - tPrev) * f;
        f = rowFlow;
        tPrev = t;
    }
    if (tPrev < runtime) v += (runtime - tPrev) * f;
    if (f0 == 0.0 && v != 0.0) v += 3.0;
    return v;
}

bool TInstrumentModule::PumpsHoldEnoughForRun() {
    // The first run uses the method of the sequence's first line; judge against that one.
    TMethodINIParams first;
    const TMethodINIParams* judged = &Method;
    if (!Sequence.Name.isEmpty() && Sequence.MethodList.GetCount() > 0) {
        first.Name = Sequence.MethodList.Get(0).toStdString();
        CMethodNames store;
        store.LoadMethod(first);
        judged = &first;
    }
    if (judged->IsFlushMethod()) return true;
    if (ZentrovaAPI.Pump1.GetVolume() < RefillVolumeForRun(*judged, 1, 15)) return false;
    if (!SinglePump && ZentrovaAPI.Pump2.GetVolume() < RefillVolumeForRun(*judged, 2, 15)) return false;
    return true;
}

// ---------------------------------------------------------------- enable and disable

bool TInstrumentModule::EnableInstrument() {
    const bool sequenceLoaded = GetSequenceParams();
    // A sequence without lines has no method to read (line 0 of an empty list): refused with
    // its own reason rather than the out-of-range read.
    if (sequenceLoaded && Sequence.MethodList.GetCount() == 0) {
        EnableErrorText = fillFirst(_("Sequence \"%s\" has no lines."), Sequence.Name);
        Enabled = false;
        return false;
    }
    if (!(sequenceLoaded && GetMethodParams())) {
        EnableErrorText = _("Default Method Not Specified or Incorrect!");
        Enabled = false;
        return false;
    }
    bool ok = true;
    double columnT = 0.0, reactorT = 0.0;
    if (!parseNumber(Method.ColumnT, columnT)) {
        EnableErrorText = _("Default Column Temperature not readable!");
        ok = false;
    }
    if (!parseNumber(Method.ReactorT, reactorT)) {
        EnableErrorText = _("Default Reactor Temperature not readable!");
        ok = false;
    }
    if (ok) {
        THeater& column = ZentrovaAPI.Column;
        THeater& reactor = ZentrovaAPI.Reactor;
        column.SetHMax(125.0);
        column.SetSetPoint(columnT);
        column.SetHeat(true);
        reactor.SetHMax(135.0);
        reactor.SetSetPoint(reactorT);
        reactor.SetHeat(true);
    }
    Enabled = ok;
    return ok;
}

bool TInstrumentModule::DisableInstrument() {
    THeater& column = ZentrovaAPI.Column;
    THeater& reactor = ZentrovaAPI.Reactor;
    column.SetHeat(false);
    reactor.SetHeat(false);
    // Both pumps whatever rate they report: a pump whose start is not reported yet (or that a
    // procedure would move on its next step) would run on while the screen says it is off.
    StopPumps();
    if (ZentrovaAPI.Column.ColumnFanOn) {
        // A cooling phase switched the recirculation fan off; it comes back on as the end of a
        // cooling phase leaves it, or later runs that need no cooling would go without it.
        ZentrovaAPI.Column.SetColumnFan(false);
        ZentrovaAPI.Column.SetDoor(false);
        ZentrovaAPI.Column.SetRecircFan(true);
    }
    Enabled = false;
    return true;
}

// ---------------------------------------------------------------- service window

void TInstrumentModule::CalculateRefillVolBtnClick() {
    RefillVol1->setText(floatText(RefillVolume(1)));
    RefillVol2->setText(floatText(RefillVolume(2)));
    PercentDoneVal->setText(QString::number(PercentDone));
}

void TInstrumentModule::DeltaValueChange() {
    CoolingDelta = strToIntDef(DeltaValue->text().toStdString(), 0);
    DeltaRealValue->setText(floatText(CoolingDelta));
}
