// Bytes from the instrument: the link window's line reader (serial/TCP or USB, by the first
// byte), the validity test of status lines and the status grammar of the instrument API.
#include <QTimer>
#include <cstring>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "link/FZentrova.h"
#include "link/ZentrovaAPI.h"

namespace {
TFZentrova* linkWindow = nullptr;

void resetLink() {
    linkWindow->LineLen = 0;
    linkWindow->LineBuf[0] = 0;
    TFZentrova::USBLineLen = 0;
    TFZentrova::USBLineBuf[0] = 0;
    TFZentrova::PrevByte = TFZentrova::PrevUSBByte = 0;
    linkWindow->PendingAcks = linkWindow->PendingStatus = 0;
}

void checkText(const char* text, size_t cap, const char* what) {
    if (::strnlen(text, cap) >= cap) fuzz::fail(std::string(what) + " is not terminated");
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::ensureApp();
    linkWindow = new TFZentrova();
    linkWindow->Timer1->stop();
    TZentrovaAPI::SetLink(linkWindow);
    ZentrovaAPI.OnConnectSerial();  // installs the status parser as the link's status handler
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ZentrovaAPI = TZentrovaAPI();
    resetLink();
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const bool usb = size > 0 && (data[0] & 1);
    linkWindow->ReceiveBytes(bytes, usb);
    if (linkWindow->LastLineLen > TFZentrova::LineMax) fuzz::fail("the last line outgrew its buffer");

    // Every line through the grammar, also those the link calls malformed.
    size_t pos = 0;
    while (pos <= bytes.size()) {
        size_t end = bytes.find('\n', pos);
        if (end == std::string_view::npos) end = bytes.size();
        ZentrovaAPI.ParseLine(bytes.substr(pos, end - pos));
        pos = end + 1;
    }
    checkText(ZentrovaAPI.FirmwareVersion, sizeof ZentrovaAPI.FirmwareVersion, "the firmware version");
    checkText(ZentrovaAPI.CPLDVersion, sizeof ZentrovaAPI.CPLDVersion, "the CPLD version");
    (void)ZentrovaAPI.VersionText();
    (void)ZentrovaAPI.StatusQuery();
    resetLink();
    return 0;
}
