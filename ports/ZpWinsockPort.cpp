#include "ports/ZpWinsockPort.h"

TZpCustomWinsockPort::TZpCustomWinsockPort(QObject* owner) : TZpCustomComPort(owner) {
    supportedLayers_ |= layerBit(dlWinsock);
}
TZpCustomWinsockPort::~TZpCustomWinsockPort() = default;
void TZpCustomWinsockPort::SetWsAddress(const std::string& v) {
    wsAddress_ = v;
}
void TZpCustomWinsockPort::SetWsPort(const std::string& v) {
    wsPort_ = v;
}
void TZpCustomWinsockPort::SetWsMode(TWsMode v) {
    wsMode_ = v;
}
const std::vector<std::string>& TZpCustomWinsockPort::GetWsLocalAddresses() {
    return localAddresses_;
}
void TZpCustomWinsockPort::SetUseMSRShadow(bool v) {
    TZpCustomComPort::SetUseMSRShadow(v);
}
TZpBaseDispatcher* TZpCustomWinsockPort::ActivateDeviceLayer() {
    return TZpCustomComPort::ActivateDeviceLayer();
}
void TZpCustomWinsockPort::DeviceLayerChanged() {
    TZpCustomComPort::DeviceLayerChanged();
}
int32_t TZpCustomWinsockPort::InitializePort() {
    return TZpCustomComPort::InitializePort();
}
void TZpCustomWinsockPort::ValidateComport() {
    TZpCustomComPort::ValidateComport();
}
void TZpCustomWinsockPort::PortOpen() {
    TZpCustomComPort::PortOpen();
}
void TZpCustomWinsockPort::PortClose() {
    TZpCustomComPort::PortClose();
}
LResult TZpCustomWinsockPort::WindowProc(uint32_t msg, WParam w, LParam l) {
    return TZpCustomComPort::WindowProc(msg, w, l);
}
bool TZpCustomWinsockPort::DoAccept(TInAddr) {
    return true;
}
void TZpCustomWinsockPort::DoConnect() {}
void TZpCustomWinsockPort::DoDisconnect() {}
void TZpCustomWinsockPort::DoError(int32_t) {}
