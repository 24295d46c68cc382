#include "ui/MainFormCommands.h"

#include "ui/MainForm.h"

TMainForm& TMainFormCommands::self() {
    return static_cast<TMainForm&>(*this);
}
const TMainForm& TMainFormCommands::self() const {
    return static_cast<const TMainForm&>(*this);
}
void TMainFormCommands::SetupCommands(TUxForm* /*form*/) {}
void TMainFormCommands::ImportExportClick() {}
void TMainFormCommands::Exit1Click() {}
void TMainFormCommands::Enable1Click() {}
void TMainFormCommands::RefillPumpClick() {}
void TMainFormCommands::RefillPump1Click() {}
void TMainFormCommands::RefillPump2Click() {}
void TMainFormCommands::RefillBothPumpsClick() {}
void TMainFormCommands::FlushPumpClick() {}
void TMainFormCommands::FlushPump1Click() {}
void TMainFormCommands::FlushPump2Click() {}
void TMainFormCommands::FlushBothPumpsClick() {}
void TMainFormCommands::EmptyPumpClick() {}
void TMainFormCommands::EmptyPump1Click() {}
void TMainFormCommands::EmptyPump2Click() {}
void TMainFormCommands::EmptyBothPumpsClick() {}
void TMainFormCommands::Pump1OnClick() {}
void TMainFormCommands::Pump2OnClick() {}
void TMainFormCommands::BothPumpsOnClick() {}
void TMainFormCommands::BothPumpsOffClick() {}
void TMainFormCommands::EditDelete1Click() {}
void TMainFormCommands::EditMethod1Click() {}
void TMainFormCommands::Pring1Click() {}
void TMainFormCommands::SequenceTable1Click() {}
void TMainFormCommands::Load1Click() {}
void TMainFormCommands::StartSequence1Click() {}
void TMainFormCommands::StopSequence1Click() {}
void TMainFormCommands::Print1Click() {}
void TMainFormCommands::Configure1Click() {}
void TMainFormCommands::FlushInstrument1Click() {}
void TMainFormCommands::ChangeSeal1Click() {}
void TMainFormCommands::PrepareforStorageShipping1Click() {}
void TMainFormCommands::ReactorTemperatureCalibrationClick() {}
void TMainFormCommands::ColumnTemperatureCalibrationClick() {}
void TMainFormCommands::TestPressure1Click() {}
void TMainFormCommands::Pump11Click() {}
void TMainFormCommands::Pump21Click() {}
void TMainFormCommands::BothPumps1Click() {}
void TMainFormCommands::SystemPressureTest1Click() {}
void TMainFormCommands::StopReset1Click() {}
void TMainFormCommands::Index1Click() {}
void TMainFormCommands::SendLogToSupport1Click() {}
void TMainFormCommands::About1Click() {}
void TMainFormCommands::StopBtnImgMouseDown(Qt::MouseButton /*button*/) {}
void TMainFormCommands::Control1Click() {}
void TMainFormCommands::Sequence1Click() {}
void TMainFormCommands::Instrument1Click() {}
void TMainFormCommands::Help1Click() {}
void TMainFormCommands::UpdateMenus(uint8_t /*mode*/) {}
void TMainFormCommands::StatusBar1OnDrawPanel(QPainter& /*canvas*/, int /*panelIndex*/,
                                              const QRect& /*rect*/) {}
void TMainFormCommands::FormKeyDown(int& /*key*/, Qt::KeyboardModifiers /*shift*/) {}
bool TMainFormCommands::SetInstrumentEnabled(bool /*enable*/) {
    return false;
}
bool TMainFormCommands::EnsureEnabled() {
    return false;
}
bool TMainFormCommands::IsPumpOn(int /*pump*/) {
    return false;
}
bool TMainFormCommands::StopSequence() {
    return false;
}
void TMainFormCommands::SetDefaultSequence(const std::string& /*name*/) {}
bool TMainFormCommands::ApplyConfiguration() {
    return false;
}
bool TMainFormCommands::StartRefillPump(int /*pump*/) {
    return false;
}
bool TMainFormCommands::StartRefillBoth() {
    return false;
}
bool TMainFormCommands::StartFlushPump(int /*pump*/) {
    return false;
}
bool TMainFormCommands::StartFlushBoth() {
    return false;
}
bool TMainFormCommands::StartEmptyPump(int /*pump*/) {
    return false;
}
bool TMainFormCommands::StartEmptyBoth() {
    return false;
}
bool TMainFormCommands::StartPumpPressureTest(int /*mask*/) {
    return false;
}
bool TMainFormCommands::StartSystemPressureTest() {
    return false;
}
bool TMainFormCommands::StartInstrumentFlush() {
    return false;
}
bool TMainFormCommands::StartSealChange() {
    return false;
}
QString TMainFormCommands::StatusText(int /*panel*/) const {
    return {};
}
void TMainFormCommands::SetStatusText(int /*panel*/, const QString& /*text*/) {}
void TMainFormCommands::pumpToggle(int) {}
bool TMainFormCommands::refillCheck(int, const QString&) {
    return false;
}
