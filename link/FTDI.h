// The USB transport of the link: one USB serial converter opened by its description and set
// up for the instrument's line (115200 baud, 8N1, no flow control), read byte by byte by
// polling. One program-wide object, FTDI; the configuration dialog also lists devices with it.
#pragma once
#include <cstdint>
#include <string>

#include "platform/D2xx.h"

class TFTDI {
  public:
    // Descriptions are cut to this many characters (and at the first CR or LF).
    static constexpr size_t MaxDescription = 79;

    TFTDI() = default;
    ~TFTDI();  // closes the device when it is open
    TFTDI(const TFTDI&) = delete;
    TFTDI& operator=(const TFTDI&) = delete;

    // True when the device is open and its line set up. Every failure closes the device (a
    // call made while one is open closes that one too) and returns false.
    bool Open(const std::string& description);
    void Close();
    bool IsOpen() const { return Handle != 0; }
    // True only when the device took every byte.
    bool Write(const void* data, uint32_t count);
    bool Write(const std::string& text) { return Write(text.data(), static_cast<uint32_t>(text.size())); }
    // True when a byte was waiting and has been read into b; b is untouched otherwise.
    bool ReadByte(uint8_t& b);
    // Reads what is waiting, at most max bytes; the count read (0 on failure).
    uint32_t Read(uint8_t* buf, uint32_t max);
    // Scans the attached converters; FindDevice then walks them.
    uint32_t CreateDeviceList();
    // The description of the next converter with the instrument's device ID, or "No Device Found".
    std::string FindDevice();

    // The description as Open uses it: at most 79 characters, ended at the first CR or LF.
    static std::string CutDescription(const std::string& description);

    D2xx::Handle Handle = 0;  // 0 when no device is open
    D2xx::Status LastStatus = D2xx::OK;
    int32_t DetailFailures = 0;
    uint32_t DeviceCount = 0;
    uint32_t DevicesLeft = 0;
    uint32_t NextIndex = 0;

    // Failed device-list creations, program-wide.
    static int32_t ListFailures;
};

// The program's one USB converter object.
extern TFTDI FTDI;
