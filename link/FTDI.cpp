#include "link/FTDI.h"

#include <algorithm>
#include <string>

TFTDI FTDI;
int32_t TFTDI::ListFailures = 0;

namespace {
// Carries why Open gave up; the reason is not shown to anyone.
class myerror {
  public:
    explicit myerror(const char* m) : message(m) {}
    const char* message;
};
}  // namespace

TFTDI::~TFTDI() {
    Close();
}

std::string TFTDI::CutDescription(const std::string& description) {
    std::string d = description.substr(0, MaxDescription);
    size_t end = d.find_first_of("\r\n");
    if (end != std::string::npos) d.resize(end);
    return d;
}

bool TFTDI::Open(const std::string& description) {
    try {
        if (IsOpen()) throw myerror("Already open");
        std::string desc = CutDescription(description);
        D2xx::Handle h = 0;
        LastStatus = D2xx::openEx(desc, D2xx::OPEN_BY_DESCRIPTION, &h);
        if (LastStatus != D2xx::OK) throw myerror("Open Failed");
        Handle = h;
        // Any one refusal fails the whole set-up.
        D2xx::Status bad = D2xx::OK;
        for (D2xx::Status s :
             {D2xx::setBaudRate(Handle, 115200),
              D2xx::setDataCharacteristics(Handle, D2xx::BITS_8, D2xx::STOP_BITS_1, D2xx::PARITY_NONE),
              D2xx::setFlowControl(Handle, D2xx::FLOW_NONE, 0x11, 0x13), D2xx::purge(Handle, D2xx::PURGE_RX),
              D2xx::setTimeouts(Handle, 10, 1000)})
            if (s != D2xx::OK) bad = s;
        if (bad != D2xx::OK) {
            LastStatus = bad;
            throw myerror("USB Device Initialization failed");
        }
        return true;
    } catch (const myerror&) {
        Close();
        return false;
    }
}

void TFTDI::Close() {
    if (!IsOpen()) return;
    D2xx::close(Handle);
    Handle = 0;
}

bool TFTDI::Write(const void* data, uint32_t count) {
    if (!IsOpen()) return false;
    uint32_t written = 0;
    LastStatus = D2xx::write(Handle, data, count, &written);
    return LastStatus == D2xx::OK && written == count;
}

bool TFTDI::ReadByte(uint8_t& b) {
    if (!IsOpen()) return false;
    uint32_t waiting = 0;
    if (D2xx::getQueueStatus(Handle, &waiting) != D2xx::OK || waiting == 0) return false;
    uint8_t got = 0;
    uint32_t n = 0;
    if (D2xx::read(Handle, &got, 1, &n) != D2xx::OK || n != 1) return false;
    b = got;
    return true;
}

uint32_t TFTDI::Read(uint8_t* buf, uint32_t max) {
    if (!IsOpen() || max == 0) return 0;
    uint32_t waiting = 0;
    if (D2xx::getQueueStatus(Handle, &waiting) != D2xx::OK || waiting == 0) return 0;
    uint32_t n = 0;
    if (D2xx::read(Handle, buf, std::min(waiting, max), &n) != D2xx::OK) return 0;
    return n;
}

uint32_t TFTDI::CreateDeviceList() {
    uint32_t n = 0;
    LastStatus = D2xx::createDeviceInfoList(&n);
    if (LastStatus != D2xx::OK) {
        ++ListFailures;
        n = 0;
    }
    DeviceCount = DevicesLeft = n;
    NextIndex = 0;
    return n;
}

std::string TFTDI::FindDevice() {
    while (DevicesLeft > 0) {
        uint32_t index = NextIndex++;
        --DevicesLeft;
        D2xx::DeviceInfo info;
        if (D2xx::getDeviceInfoDetail(index, &info) != D2xx::OK) {
            ++DetailFailures;
            continue;
        }
        if (info.id == D2xx::INSTRUMENT_DEVICE_ID) return info.description;
    }
    return "No Device Found";
}
